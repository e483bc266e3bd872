// Private to the two halves of QueueUdpSocket (queue_udp_socket.cpp: life cycle, binding,
// receiving; udp_send.cpp: sending, connecting, multicast, broadcast).
#pragma once

#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "sockets/queue_udp_socket.h"

namespace pavonix::sockets {

// A queued datagram.
struct QueueUdpPacket {
    virtual ~QueueUdpPacket() = default;
};

struct QueueUdpSendPacket final : QueueUdpPacket {
    QueueUdpSendPacket(QueueUdpSocket::Bytes data, double timeout, std::int64_t tag)
        : buffer(std::move(data)), timeout(timeout), tag(tag) {}

    QueueUdpSocket::Bytes buffer;
    double timeout;  // seconds; negative waits forever
    std::int64_t tag;
    bool resolveInProgress = false;
    bool filterInProgress = false;
    // A host or an address came with the datagram (a connected socket refuses those).
    bool destinationGiven = false;
    std::vector<QueueUdpSocket::Bytes> resolvedAddresses;
    std::optional<SocketError> resolveError;
    QueueUdpSocket::Bytes address;
    int addressFamily = 0;
};

// A connect request, queued among the datagrams so that those sent before it go out first.
struct QueueUdpSpecialPacket final : QueueUdpPacket {
    bool resolveInProgress = false;
    std::vector<QueueUdpSocket::Bytes> addresses;
    std::optional<SocketError> error;
};

namespace udp {

// State bits of QueueUdpSocket::flags_.
inline constexpr std::uint32_t kSocketsCreated = 0x1;
inline constexpr std::uint32_t kBound = 0x2;
inline constexpr std::uint32_t kConnecting = 0x4;
inline constexpr std::uint32_t kConnected = 0x8;
inline constexpr std::uint32_t kReceiveOnce = 0x10;
inline constexpr std::uint32_t kReceiveContinuous = 0x20;
inline constexpr std::uint32_t kIPv4Deactivated = 0x40;
inline constexpr std::uint32_t kIPv6Deactivated = 0x80;
inline constexpr std::uint32_t kCloseAfterSends = 0x8000;
inline constexpr std::uint32_t kReceiveFlipFlop = 0x10000;

// Configuration bits of QueueUdpSocket::config_.
inline constexpr std::uint16_t kIPv4Disabled = 0x1;
inline constexpr std::uint16_t kIPv6Disabled = 0x2;
inline constexpr std::uint16_t kPreferIPv4 = 0x4;
inline constexpr std::uint16_t kPreferIPv6 = 0x8;

inline constexpr int kIPv4 = 0;  // index into QueueUdpSocket::sockets_
inline constexpr int kIPv6 = 1;

// Misuse by the calling code.
inline constexpr const char* kNotOnSocketQueueText = "Must be dispatched on socketQueue";
inline constexpr const char* kInvalidLogicText = "Invalid logic";
inline constexpr const char* kFilterQueueText = "Must provide a dispatch_queue in which to run the filter block.";

SocketError badConfigError(std::string message);
SocketError badParamError(std::string message);
SocketError sendTimeoutError();
SocketError socketClosedError();
SocketError otherError(std::string message);

inline bool fail(SocketError* out, SocketError error) {
    if (out) *out = std::move(error);
    return false;
}

inline constexpr const char* kUnknownInterfaceText =
    "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.";

// A whole IPv4 or IPv6 socket address cut to its exact size (16 or 28 bytes); nothing for a
// buffer too short for its family or of another family, which no system call may see.
std::optional<Bytes> exactAddress(ByteView address);

}  // namespace udp

template <typename F>
auto QueueUdpSocket::runSync(F&& f) const {
    using Result = std::invoke_result_t<F&>;
    if (onSocketQueue()) return f();
    if constexpr (std::is_void_v<Result>) {
        socketQueue_->sync([&f] { f(); });
    } else {
        std::optional<Result> result;
        socketQueue_->sync([&f, &result] { result.emplace(f()); });
        return std::move(*result);
    }
}

template <typename F>
void QueueUdpSocket::notify(F&& call) {
    auto delegate = delegate_.lock();
    if (!delegate || !delegateQueue_) return;
    delegateQueue_->async([self = shared_from_this(), delegate = std::move(delegate),
                           call = std::forward<F>(call)]() mutable { call(*delegate, *self); });
}

}  // namespace pavonix::sockets
