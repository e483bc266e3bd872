// Paired devices, remote targets and the credentials the request verifiers use. The records are
// kept in the settings store as compact JSON with sorted keys (dates in seconds since
// 2001-01-01); their secrets live in the keychain (app/core/keychain.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/core/date.h"
#include "app/core/json_coding.h"

namespace pavonix {

// A pair identifier and its shared HMAC key; what both request verifiers check against.
struct HTTPAuthCredential {
    std::string pairID;
    Bytes secret;

    friend bool operator==(const HTTPAuthCredential&, const HTTPAuthCredential&) = default;
};

// One HTTP pairing. Keys "createdAt", "id", "name", all required.
struct HTTPPairedDevice {
    std::string id;  // "lpp_" + 16 base64url characters; also the keychain account
    std::string name;
    Date createdAt;

    friend bool operator==(const HTTPPairedDevice&, const HTTPPairedDevice&) = default;
};

// What a new HTTP pairing hands out once. Its setup URL is built in app/http. Deliberately
// without a JSON coding: the secret is shown to the user and must never be stored or logged.
struct HTTPPairingSetup {
    HTTPPairedDevice device;
    std::string secret;  // the 32 secret bytes as unpadded base64url text

    friend bool operator==(const HTTPPairingSetup&, const HTTPPairingSetup&) = default;
};

enum class RemoteLanternpostTransport { http, bluetooth };
inline constexpr RemoteLanternpostTransport allRemoteLanternpostTransports[] = {
    RemoteLanternpostTransport::http, RemoteLanternpostTransport::bluetooth};
std::string_view rawValue(RemoteLanternpostTransport transport);

// A saved remote instance. Decoding: "id", "name", "pairID", "createdAt" required; "host"
// defaults to "", "port" to 0, "transport" to http; "bluetoothPeripheralIdentifier" optional
// (a UUID text, written in upper case, left out when absent).
struct RemoteLanternpostTarget {
    std::string id;  // "lpt_" + 16 base64url characters; also the keychain account
    std::string name;
    std::string host;
    std::int64_t port = 0;
    std::string pairID;
    Date createdAt;
    RemoteLanternpostTransport transport = RemoteLanternpostTransport::http;
    std::optional<std::string> bluetoothPeripheralIdentifier;

    friend bool operator==(const RemoteLanternpostTarget&,
                           const RemoteLanternpostTarget&) = default;
};

// How a target is named to the user: its trimmed name, else "Bluetooth" for a Bluetooth target,
// else host ":" port.
std::string remoteTargetLabel(const RemoteLanternpostTarget& target);

// An instance's answer to GET /health. "status" required; the two provider keys optional and
// left out when absent.
struct RemoteLanternpostHealth {
    std::string status;
    std::optional<std::string> presentationProvider;
    std::optional<std::string> presentationProviderName;

    friend bool operator==(const RemoteLanternpostHealth&,
                           const RemoteLanternpostHealth&) = default;
};

// A paired Bluetooth remote. "id", "name", "createdAt" required; "lastSeenAt" optional (null reads
// as absent, never written as null).
struct BluetoothPairedDevice {
    std::string id;  // "lpb_" + 16 base64url characters; also the keychain account
    std::string name;
    Date createdAt;
    std::optional<Date> lastSeenAt;

    friend bool operator==(const BluetoothPairedDevice&, const BluetoothPairedDevice&) = default;
};

// The canonical upper-case form of a UUID text (8-4-4-4-12 hex digits), or nothing.
std::optional<std::string> canonicalUUID(std::string_view text);

void to_json(Json& json, const HTTPPairedDevice& device);
void from_json(const Json& json, HTTPPairedDevice& device);
void to_json(Json& json, RemoteLanternpostTransport transport);
void from_json(const Json& json, RemoteLanternpostTransport& transport);
void to_json(Json& json, const RemoteLanternpostTarget& target);
void from_json(const Json& json, RemoteLanternpostTarget& target);
void to_json(Json& json, const RemoteLanternpostHealth& health);
void from_json(const Json& json, RemoteLanternpostHealth& health);
void to_json(Json& json, const BluetoothPairedDevice& device);
void from_json(const Json& json, BluetoothPairedDevice& device);

}  // namespace pavonix
