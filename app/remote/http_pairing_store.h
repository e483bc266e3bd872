// HTTP pairings: a pair identifier and a 32-byte secret per paired client. The secret lives in
// the keychain (service "com.vrel.Lanternpost.http-auth", account = pair identifier) and leaves
// the program only once, in the pairing setup URL shown to the user; the device record that the
// settings keep holds no secret.
//
// Setup URL: pavonix://pair?version=1&host=H&port=P&pairId=ID&secret=S&algorithm=HMAC-SHA256
// [&deviceName=N], items in this order; read back by RemoteLanternpostSetup::parse.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/keychain.h"
#include "app/core/pairing_records.h"

namespace pavonix::remote {

inline constexpr std::string_view kHTTPPairIDPrefix = "lpp_";
inline constexpr std::size_t kPairIDRandomByteCount = 12;
inline constexpr std::size_t kPairingSecretByteCount = 32;
inline constexpr std::string_view kDefaultPairedDeviceName = "Paired Device";

inline constexpr std::string_view kSetupURLScheme = "pavonix";
inline constexpr std::string_view kLegacySetupURLScheme = "lanternpost";
inline constexpr std::string_view kSetupURLHost = "pair";
inline constexpr std::string_view kSetupURLVersion = "1";
inline constexpr std::string_view kSetupURLAlgorithm = "HMAC-SHA256";

// `count` bytes of secure random material, or nothing when the source cannot deliver. Injected
// so that tests can make the source fail.
using RandomByteSource = std::function<std::optional<Bytes>(std::size_t count)>;
RandomByteSource systemRandomByteSource();

class HTTPPairingStoreError : public std::exception {
public:
    enum class Kind { keychain, randomBytes };

    // `where`: the keychain's failure() text, told after the status.
    static HTTPPairingStoreError keychain(KeychainStatus status, std::string where = {}) {
        return {Kind::keychain, status, std::move(where)};
    }
    static HTTPPairingStoreError randomBytes() { return {Kind::randomBytes, 0}; }

    Kind kind() const { return kind_; }
    KeychainStatus status() const { return status_; }
    // "Unable to save pairing secret in Keychain. Status -25291 (no Secret Service answered)."
    // followed by " Keychain: " and `where` and "." when given; or "Unable to generate secure
    // random bytes."
    std::string description() const;
    const char* what() const noexcept override { return description_.c_str(); }

    friend bool operator==(const HTTPPairingStoreError& a, const HTTPPairingStoreError& b) {
        return a.kind_ == b.kind_ && (a.kind_ != Kind::keychain || a.status_ == b.status_);
    }

private:
    HTTPPairingStoreError(Kind kind, KeychainStatus status, std::string where = {});
    Kind kind_;
    KeychainStatus status_;
    std::string where_;
    std::string description_;
};

// Where a failed save of a secret leaves it, after the sentence that says so: " Keychain: " and the
// keychain's failure() text and "." (nothing for no text).
std::string keychainWhere(const std::string& where);

// Works on the process keychain (app/core/keychain.h); tests install an in-memory one.
class HTTPPairingStore {
public:
    explicit HTTPPairingStore(RandomByteSource random = systemRandomByteSource());

    // A new pair identifier and secret; the secret is saved in the keychain before the setup is
    // returned. The name is trimmed; an empty one becomes "Paired Device". Throws
    // HTTPPairingStoreError (randomBytes before anything is saved, keychain with the status).
    HTTPPairingSetup createPairing(std::string_view name, Date now) const;

    // One credential per device whose secret can be read, in the devices' order. A secret found
    // only in the legacy keychain is copied into the primary one. Never throws.
    static std::vector<HTTPAuthCredential> credentials(const std::vector<HTTPPairedDevice>& devices);

    // Throws HTTPPairingStoreError::randomBytes when the source fails.
    Bytes randomBytes(std::size_t count) const;

private:
    RandomByteSource random_;
};

// The setup URL of a new pairing. The device name is trimmed and written only when something is
// left. Nothing when no URL can be formed (the port range is not checked here).
std::optional<std::string> setupURL(const HTTPPairingSetup& setup, std::string_view host, std::int64_t port,
                                    const std::optional<std::string>& deviceName);

}  // namespace pavonix::remote
