// Items in the Secret Service (GNOME Keyring, KWallet and others) through libsecret.
//
// Items carry the attributes "service" and "account", so `secret-tool lookup service S account
// A` finds them. Nothing here ever prompts: items of a locked collection read as not found, and
// a write into a locked default collection is refused with interactionNotAllowed. Every call is
// bounded: it is cancelled after the time-out (the D-Bus default would be 25 seconds, and a
// stalled keyring daemon otherwise blocks forever), and then reports notAvailable.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/keychain/keychain.h"

namespace pavonix::keychain {

class SecretServiceStore final : public Store {
public:
    explicit SecretServiceStore(std::chrono::milliseconds timeout = defaultTimeout);

    // Whether a Secret Service answers on the session bus within the time-out. Never starts a
    // bus of its own (no D-Bus autolaunch).
    bool available();

    std::string name() const override { return "Secret Service"; }
    Status read(const ItemKey& key, Bytes& out) override;
    Status add(const ItemKey& key, const Bytes& data) override;
    Status update(const ItemKey& key, const Bytes& data) override;
    Status remove(const ItemKey& key) override;
    // Asks the service itself over the session bus (one short call, bounded by the time-out), so
    // a service that went away while the program runs is told, and so is its return.
    std::optional<std::string> problem() const override;

    // For tests: locks the default collection (locking never prompts).
    Status lockDefaultCollection();

private:
    friend class ServiceLock;
    std::chrono::milliseconds timeout_;
    // One call at a time, so add-then-update sequences of this process stay apart; a caller
    // waits no longer than the time-out for its turn. (A mutex and a flag rather than a
    // timed_mutex, whose clock-based waits the thread sanitizer cannot follow.)
    std::mutex mutex_;
    std::condition_variable turn_;
    bool busy_ = false;
};

// True when a session bus address is known (DBUS_SESSION_BUS_ADDRESS or $XDG_RUNTIME_DIR/bus).
bool sessionBusConfigured();

}  // namespace pavonix::keychain
