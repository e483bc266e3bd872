// One accepted TCP connection over a non-blocking socket, driven on a dispatch queue.
//
// After start(), every operation runs on the connection's queue (a call from another thread hops
// there), and every handler and completion is delivered there. Sends use MSG_NOSIGNAL, so a peer
// that has gone away shows up as an error, never as SIGPIPE.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>

#include "platform/dispatch/dispatch.h"
#include "platform/net/endpoint.h"

namespace pavonix::net {

class Connection : public std::enable_shared_from_this<Connection> {
public:
    enum class State { setup, ready, failed, cancelled };

    using StateHandler = std::function<void(State, std::error_code)>;
    // Bytes read (possibly none), whether the peer has ended its side, and an error if any.
    using ReceiveCompletion = std::function<void(std::string data, bool isComplete, std::error_code)>;
    using SendCompletion = std::function<void(std::error_code)>;

    // How long cancel() keeps reading (and discarding) after a final send, so that the peer gets
    // our FIN and not a reset before it has read the reply.
    static constexpr dispatch::Clock::duration kDrainTime = std::chrono::seconds(2);
    static constexpr std::size_t kDrainBytes = 256 * 1024;

    // Takes ownership of a connected, non-blocking socket.
    static std::shared_ptr<Connection> adopt(int fd, Endpoint remote);
    ~Connection();

    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Set before start(). The handler is dropped once the connection has reported `cancelled`.
    void setStateHandler(StateHandler handler);
    // A started connection keeps itself alive until it has been cancelled (or has failed and been
    // cancelled): every started connection must end in cancel() or forceCancel().
    void start(dispatch::QueuePtr queue);

    // One receive at a time; the completion runs once at least `minimum` bytes (or the end of the
    // stream, or an error) have arrived, with at most `maximum` bytes.
    void receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion);
    // Queues bytes; with `isComplete` the write side is shut down once they are out.
    void send(std::string data, bool isComplete, SendCompletion completion);

    // Ends the connection. After a final send has gone out, input is drained for a short while
    // first; otherwise the socket is closed at once. Reports `cancelled` either way.
    void cancel();
    // Closes at once, without draining (a peer that would not read its reply).
    void forceCancel();

    // Runs `onExpire` on the connection's queue after `delay`, unless replaced, cleared or the
    // connection has closed by then. One deadline per connection.
    void setDeadline(dispatch::Clock::duration delay, dispatch::Block onExpire);
    void clearDeadline();

    const Endpoint& remoteEndpoint() const { return remote_; }
    const dispatch::QueuePtr& queue() const { return queue_; }

private:
    Connection(int fd, Endpoint remote);
    struct Impl;
    friend struct Impl;
    friend class DeadlineReaper;

    void onQueue(dispatch::Block block);
    void armRead();
    void disarmRead();
    void handleReadable();
    void deliverReceive(bool isComplete, std::error_code error);
    void flush();
    void fail(std::error_code error);
    void close(State finalState, std::error_code error);
    void reportState(State state, std::error_code error);
    void fireDeadline(std::uint64_t token);

    Endpoint remote_;
    dispatch::QueuePtr queue_;
    std::unique_ptr<Impl> impl_;
};
using ConnectionPtr = std::shared_ptr<Connection>;

}  // namespace pavonix::net
