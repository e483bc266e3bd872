// A TCP listener over a non-blocking socket, driven on a dispatch queue.
//
// Its states follow the life of a listening socket as the HTTP server expects to see it:
// setup while it is being prepared, ready once it accepts, failed with the errno of a bind or
// listen that did not work (EADDRINUSE for a taken port), cancelled after cancel(). `waiting`
// is part of the vocabulary for callers but this implementation never enters it: a socket either
// binds or fails.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>

#include "platform/dispatch/dispatch.h"
#include "platform/net/connection.h"

namespace pavonix::net {

class Listener : public std::enable_shared_from_this<Listener> {
public:
    enum class State { setup, waiting, ready, failed, cancelled };

    struct Parameters {
        // A numeric address binds that address only. Without one the listener takes every
        // interface: IPv6 "::" with IPV6_V6ONLY off (IPv4 peers arrive mapped), else IPv4.
        std::optional<std::string> localAddress;
        std::uint16_t port = 0;  // 0: any free port, see port()
        int backlog = 511;
    };

    using StateHandler = std::function<void(State, std::error_code)>;
    using ConnectionHandler = std::function<void(ConnectionPtr)>;

    static std::shared_ptr<Listener> make(Parameters parameters);
    ~Listener();

    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Both may be set or cleared (nullptr) from any thread; handlers run on the queue.
    void setStateHandler(StateHandler handler);
    void setNewConnectionHandler(ConnectionHandler handler);

    // Binds and listens at once (so port() is known when start returns), then reports the
    // states on the queue. New connections are handed over unstarted.
    void start(dispatch::QueuePtr queue);

    // Stops accepting before it returns: the port is free for a new listener at once. The socket
    // itself is closed a moment later on the queue; `cancelled` is reported there.
    void cancel();

    // The bound port once start() has succeeded, else 0.
    std::uint16_t port() const;

private:
    explicit Listener(Parameters parameters);
    void handleAcceptable();
    void report(State state, std::error_code error);
    std::error_code openSocket();

    Parameters parameters_;
    dispatch::QueuePtr queue_;
    dispatch::SourcePtr source_;
    bool sourceSuspended_ = true;

    mutable std::mutex mutex_;
    int fd_ = -1;
    std::uint16_t boundPort_ = 0;
    bool cancelled_ = false;
    StateHandler stateHandler_;
    ConnectionHandler connectionHandler_;
};
using ListenerPtr = std::shared_ptr<Listener>;

}  // namespace pavonix::net
