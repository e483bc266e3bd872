// State and configuration bits and member templates of QueueTcpSocket, shared by its source
// files only.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <type_traits>

#include "sockets/queue_tcp_socket.h"

namespace pavonix::sockets::tcp {

enum Flag : std::uint32_t {
    kSocketStarted = 1u << 0,
    kConnected = 1u << 1,
    kForbidReadsWrites = 1u << 2,
    kReadsPaused = 1u << 3,
    kWritesPaused = 1u << 4,
    kDisconnectAfterReads = 1u << 5,
    kDisconnectAfterWrites = 1u << 6,
    kSocketCanAcceptBytes = 1u << 7,
    kReadSourceSuspended = 1u << 8,
    kWriteSourceSuspended = 1u << 9,
    kQueuedTLS = 1u << 10,
    kStartingReadTLS = 1u << 11,
    kStartingWriteTLS = 1u << 12,
    kSocketSecure = 1u << 13,
    kSocketHasReadEOF = 1u << 14,
    kReadStreamClosed = 1u << 15,
    kDealloc = 1u << 16,
};

enum Config : std::uint16_t {
    kIPv4Disabled = 1u << 0,
    kIPv6Disabled = 1u << 1,
    kPreferIPv6 = 1u << 2,
    kAllowHalfDuplexConnection = 1u << 3,
};

inline constexpr const char* kNotOnSocketQueueText = "Must be dispatched on socketQueue";

inline dispatch::Clock::duration seconds(double value) {
    return std::chrono::duration_cast<dispatch::Clock::duration>(std::chrono::duration<double>(value));
}

}  // namespace pavonix::sockets::tcp

// ---- Member templates shared by the socket's source files ---------------------------------------

namespace pavonix::sockets {

template <typename F>
auto QueueTcpSocket::onSocketQueue(F&& f) const -> decltype(f()) {
    using Result = decltype(f());
    if (isOnSocketQueue()) return f();
    if constexpr (std::is_void_v<Result>) {
        socketQueue_->sync([&] { f(); });
    } else {
        std::optional<Result> result;
        socketQueue_->sync([&] { result.emplace(f()); });
        return std::move(*result);
    }
}

// `call(delegate, socket)` runs on the delegate queue with the delegate held for its duration.
// The socket argument is null once the socket is being destroyed.
template <typename F>
void QueueTcpSocket::report(F&& call) {
    auto delegate = delegate_.lock();
    if (!delegate || !delegateQueue_) return;
    delegateQueue_->async([delegate = std::move(delegate), self = weak_from_this().lock(),
                           call = std::forward<F>(call)] { call(*delegate, self); });
}

}  // namespace pavonix::sockets
