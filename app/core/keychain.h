// The program's keychain functions: generic-password items addressed by service and account, in
// the process keychain of platform/keychain (the Secret Service, or a private file where none
// answers; tests inject an in-memory one with pavonix::keychain::setProcessKeychain).
//
// A data-protection query addresses the primary store, a legacy query the legacy store. Readers
// that miss an item in the primary look once more with the legacy query and copy a found item
// over (keychainReadDataMigratingLegacy does both steps).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "app/core/json_coding.h"
#include "platform/keychain/keychain.h"

namespace pavonix {

using KeychainStatus = keychain::Status;  // 0 success, -25299 duplicate item, -25300 not found

inline constexpr std::string_view httpAuthKeychainService = "com.vrel.Lanternpost.http-auth";
inline constexpr std::string_view bluetoothAuthKeychainService =
    "com.vrel.Lanternpost.bluetooth-auth";
inline constexpr std::string_view remoteTargetsKeychainService =
    "com.vrel.Lanternpost.remote-targets";

struct KeychainQuery {
    std::string service;
    std::string account;
    bool useDataProtectionKeychain = true;

    friend bool operator==(const KeychainQuery&, const KeychainQuery&) = default;
};

// The query of an item in the data-protection (primary) keychain. Performs no keychain call.
KeychainQuery keychainQuery(std::string_view service, std::string_view account);
// The same item in the legacy keychain.
KeychainQuery legacyKeychainQuery(std::string_view service, std::string_view account);

// The item's bytes; nothing on any failure or when the item holds no bytes. Never prompts, never
// throws, never waits longer than the keychain's time-out.
std::optional<Bytes> keychainReadData(const KeychainQuery& query);

// Adds the item to the primary keychain, or updates its bytes when it exists. Returns the final
// status (0 on success). Never throws.
KeychainStatus keychainSaveData(const Bytes& data, std::string_view service,
                                std::string_view account);

// Deletes the item. A data-protection query also deletes the legacy copy, so that a removed
// pairing's secret cannot come back through the legacy read. Returns 0 when an item was
// deleted, -25300 when there was none, another status on failure.
KeychainStatus keychainDeleteData(const KeychainQuery& query);

// Reads the primary item; when it is missing, reads the legacy item and, when found, saves it
// into the primary keychain (that save's status is ignored) and returns it.
std::optional<Bytes> keychainReadDataMigratingLegacy(std::string_view service,
                                                     std::string_view account);

// What a read found: the item's bytes (success), no item in either keychain (itemNotFound; an item
// without bytes counts as none), or why it could not be read: the status of the keychain that failed
// and its failure() text. A secret that cannot be read is not missing.
struct KeychainItemRead {
    KeychainStatus status = keychain::itemNotFound;
    Bytes data;
    std::string problem;
};
// keychainReadDataMigratingLegacy, telling a missing item from an unreadable one.
KeychainItemRead keychainReadItemMigratingLegacy(std::string_view service, std::string_view account);

// Why saving into the primary keychain ended with `status`, naming where it keeps the secrets (the
// store's failure() text).
std::string keychainSaveProblem(KeychainStatus status);

// Which keychain holds the secrets, for the user: "Secret Service", "File (/path)", ...
std::string keychainBackendName();

}  // namespace pavonix
