// Remote targets: another instance, added by pasting the setup URL it showed. The URL's secret
// goes into the keychain (service "com.vrel.Lanternpost.remote-targets", account = target id);
// the target record that the settings keep holds host, port and pair identifier only.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "app/core/keychain.h"
#include "app/core/pairing_records.h"
#include "app/remote/http_pairing_store.h"

namespace pavonix::remote {

inline constexpr std::string_view kRemoteTargetIDPrefix = "lpt_";

class RemoteLanternpostTargetError : public std::exception {
public:
    enum class Kind {
        keychain,
        invalidSetupURL,
        unsupportedSetupURL,
        unsupportedAlgorithm,
        unsupportedBluetoothProtocol,
        invalidBluetoothPairingPayload,
        missingSecret,
        randomBytes,
        // The secret is there but cannot be read now (an unreadable keychain file, a Secret
        // Service that does not answer): no reason to remove the device.
        unreadableSecret,
    };

    // `detail`: for keychain, where the keychain keeps the secrets; for unreadableSecret, why it
    // cannot be read (both the keychain's failure() text).
    RemoteLanternpostTargetError(Kind kind, KeychainStatus status = 0, std::string detail = {});
    static RemoteLanternpostTargetError keychain(KeychainStatus status, std::string where = {}) {
        return {Kind::keychain, status, std::move(where)};
    }
    static RemoteLanternpostTargetError unreadableSecret(std::string problem) {
        return {Kind::unreadableSecret, 0, std::move(problem)};
    }

    Kind kind() const { return kind_; }
    KeychainStatus status() const { return status_; }
    // The fixed text of the case; never contains any part of the URL or secret.
    std::string description() const;
    const char* what() const noexcept override { return description_.c_str(); }

    friend bool operator==(const RemoteLanternpostTargetError& a, const RemoteLanternpostTargetError& b) {
        return a.kind_ == b.kind_ && (a.kind_ != Kind::keychain || a.status_ == b.status_);
    }

private:
    Kind kind_;
    KeychainStatus status_;
    std::string detail_;
    std::string description_;
};

// The content of a parsed setup URL.
struct RemoteLanternpostSetup {
    std::string host;
    std::int64_t port = 0;
    std::string pairID;
    Bytes secret;
    std::string algorithm;
    std::string version;
    std::optional<std::string> deviceName;

    // {"pavonix", "lanternpost"}.
    static const std::set<std::string, std::less<>>& supportedSchemes();

    // Reads a setup URL; throws RemoteLanternpostTargetError. In order: trimmed text; URL
    // syntax; scheme; host "pair" (invalidSetupURL); version "1" (unsupportedSetupURL);
    // algorithm "HMAC-SHA256" (unsupportedAlgorithm); then host item, port 1-65535, pairId,
    // secret (invalidSetupURL). A host item that is not a plain host name or IP address, a pair
    // identifier with anything but visible ASCII, and a secret that decodes to no bytes, are
    // refused as invalidSetupURL too.
    static RemoteLanternpostSetup parse(std::string_view urlString);

    friend bool operator==(const RemoteLanternpostSetup&, const RemoteLanternpostSetup&) = default;
};

// A host that can be put into a request URL as it is: a host name (letters, digits, "-", ".",
// "_", "~" or non-ASCII letters), an IPv4 address, or an IPv6 address with or without brackets.
// No URL delimiter, white space or control character.
bool isUsableRemoteHost(std::string_view host);

// A pair identifier that can travel in a request header: visible ASCII only, so that no line
// break or control character can reach the header block.
bool isUsablePairID(std::string_view pairID);

// `count` bytes from the source; throws RemoteLanternpostTargetError randomBytes.
Bytes makeRandomBytes(std::size_t count, const RandomByteSource& random = systemRandomByteSource());

// Parses the URL, draws the target id, saves the secret under it in the process keychain and
// returns the target (transport http). The name is the trimmed given name, else the URL's device
// name, else "". Throws RemoteLanternpostTargetError; nothing is saved when parsing fails.
RemoteLanternpostTarget makeRemoteLanternpostTarget(std::string_view setupURLString, std::string_view name,
                                                    Date createdAt,
                                                    const RandomByteSource& random = systemRandomByteSource());

}  // namespace pavonix::remote
