// Generic-password items addressed by service and account, the Linux stand-in for the macOS
// Keychain. Status numbers are the macOS ones, so callers and stored error texts keep their
// meaning: 0 success, -25299 duplicate item, -25300 not found.
//
// Three stores implement one small interface: the Secret Service (libsecret; never prompts,
// every call bounded in time), a private file for systems with no Secret Service, and
// an in-memory store for tests. A keychain pairs a primary store with a legacy one: readers that
// miss an item in the primary look in the legacy store and copy a found item over, which moves
// secrets from the file into the Secret Service once one is available.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pavonix::keychain {

using Bytes = std::vector<std::uint8_t>;
using Status = std::int32_t;

inline constexpr Status success = 0;
inline constexpr Status ioError = -36;                   // errSecIO
inline constexpr Status badParameter = -50;              // errSecParam
inline constexpr Status notAvailable = -25291;           // errSecNotAvailable: no answer in time
inline constexpr Status noSuchKeychain = -25294;         // errSecNoSuchKeychain: no collection
inline constexpr Status invalidKeychain = -25295;        // errSecInvalidKeychain: unsafe/corrupt file
inline constexpr Status duplicateItem = -25299;          // errSecDuplicateItem
inline constexpr Status itemNotFound = -25300;           // errSecItemNotFound
inline constexpr Status interactionNotAllowed = -25308;  // errSecInteractionNotAllowed: locked

inline constexpr std::chrono::milliseconds defaultTimeout{3000};

// Why a call failed, in words a user of this system can act on ("no Secret Service answered" for
// -25291); empty for success and for statuses that are no failure of the keychain itself.
std::string_view reason(Status status);
// The status as the user reads it after "Status ": its number, then the reason in parentheses
// when there is one: "-25291 (no Secret Service answered)".
std::string statusText(Status status);

struct ItemKey {
    std::string service;
    std::string account;
    friend bool operator==(const ItemKey&, const ItemKey&) = default;
};

class Store {
public:
    virtual ~Store() = default;
    // Shown to the user: which store holds the secrets.
    virtual std::string name() const = 0;
    // success with the item's bytes in `out`, itemNotFound, or an error.
    virtual Status read(const ItemKey& key, Bytes& out) = 0;
    // duplicateItem when the item exists.
    virtual Status add(const ItemKey& key, const Bytes& data) = 0;
    // itemNotFound when the item does not exist.
    virtual Status update(const ItemKey& key, const Bytes& data) = 0;
    // itemNotFound when the item does not exist.
    virtual Status remove(const ItemKey& key) = 0;
    // Why the store cannot be used as it stands (for example an unsafe, over-long or damaged
    // file, or a Secret Service that does not answer), for the user; empty when nothing is known
    // to be wrong. May block up to the store's time-out: not for the main thread.
    virtual std::optional<std::string> problem() const { return std::nullopt; }
    // Why a call that ended with `status` failed, for the user: where the secrets are (the file's
    // path, the Secret Service) and, where the store knows it, what is wrong there, in the words
    // of problem(). Never waits for a service.
    virtual std::string failure(Status status) const;
};

struct Keychain {
    std::shared_ptr<Store> primary;
    std::shared_ptr<Store> legacy;  // may be null: nothing to migrate from
    std::string name() const;
};

// The keychain of this system: the Secret Service when one is on the session bus (with the file as
// legacy store), otherwise the file alone. A service still starting, or stalled, stays the store:
// its secrets must not be taken for missing, nor new ones put in the file. The bus daemon is asked,
// within `timeout`. PAVONIX_KEYCHAIN=secret-service|file|memory forces a choice (black-box tests
// use it to stay off the user's keyring).
Keychain systemKeychain(std::chrono::milliseconds timeout = defaultTimeout);

// The process-wide keychain; chosen with systemKeychain() on first use unless one was set.
Keychain processKeychain();
void setProcessKeychain(Keychain keychain);

}  // namespace pavonix::keychain
