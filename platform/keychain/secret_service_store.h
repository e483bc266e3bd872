// Items in the Secret Service (GNOME Keyring, KWallet and others) through libsecret.
//
// Items carry the attributes "service" and "account", so `secret-tool lookup service S account
// A` finds them. Nothing here ever prompts: items of a locked collection read as not found, and
// a write into a locked default collection is refused with interactionNotAllowed. Every call is
// bounded: it is cancelled after the time-out (the D-Bus default would be 25 seconds, and a
// stalled keyring daemon otherwise blocks forever), and then reports notAvailable.
#pragma once

#include <chrono>
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

    // For tests: locks the default collection (locking never prompts).
    Status lockDefaultCollection();

private:
    std::chrono::milliseconds timeout_;
    // Keeps add-then-update sequences of this process apart; waits no longer than the time-out.
    std::timed_mutex mutex_;
};

// True when a session bus address is known (DBUS_SESSION_BUS_ADDRESS or $XDG_RUNTIME_DIR/bus).
bool sessionBusConfigured();

}  // namespace pavonix::keychain
