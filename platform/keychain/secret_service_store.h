// Items in the Secret Service (GNOME Keyring, KWallet and others) through libsecret.
//
// Items carry the attributes "service" and "account", so `secret-tool lookup service S account
// A` finds them. Nothing here ever prompts: an item of a locked collection is there but cannot be
// read (interactionNotAllowed), nor updated or removed, and a write into a locked default
// collection is refused with interactionNotAllowed. Every call is bounded: it is cancelled after
// the time-out (the D-Bus default would be 25 seconds, and a stalled keyring daemon otherwise
// blocks forever), and then reports notAvailable. Once a question
// has gone unanswered, calls fail at once until the service answers again (problem() always asks,
// and one call per two time-outs does too), so that no caller waits for a service known to be
// stalled.
#pragma once

#include <atomic>
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
    // Never asks the service: the words of problem() that the status stands for.
    std::string failure(Status status) const override;

    // For tests: locks the default collection (locking never prompts).
    Status lockDefaultCollection();

    // Whether the last question went unanswered: the service is there but does not answer.
    bool stalled() const { return stalled_; }

private:
    friend class ServiceLock;
    friend class CallDeadline;
    // For read, add, update and remove: whether to fail at once instead of asking a service that
    // let the last question go unanswered.
    bool skipStalled() const;
    std::chrono::milliseconds timeout_;
    mutable std::atomic<bool> stalled_{false};
    mutable std::atomic<std::int64_t> lastAsked_{0};  // steady clock, milliseconds
    // One call at a time, so add-then-update sequences of this process stay apart; a caller
    // waits no longer than the time-out for its turn. (A mutex and a flag rather than a
    // timed_mutex, whose clock-based waits the thread sanitizer cannot follow.)
    std::mutex mutex_;
    std::condition_variable turn_;
    bool busy_ = false;
};

// True when a session bus address is known (DBUS_SESSION_BUS_ADDRESS or $XDG_RUNTIME_DIR/bus).
bool sessionBusConfigured();

// Whether a Secret Service is on the session bus: its name has an owner, or the bus can start it.
// Asks the bus daemon only, never the service (which may still be starting); false when no bus
// answers within the time-out.
bool secretServiceOnBus(std::chrono::milliseconds timeout);

}  // namespace pavonix::keychain
