// An asynchronous UDP socket: up to two datagram sockets (IPv4 and IPv6) driven by a private serial
// socket queue, with every event delivered to a weakly held delegate on a queue its owner names.
//
// All state lives on the socket queue. Public calls from any thread go through it: inline when the
// caller already runs there (or on a queue marked with markSocketQueueTargetQueue), otherwise by a
// synchronous hop for calls with a result and an asynchronous one for setters without.
//
// Linux notes:
// - No socket sets SO_REUSEADDR: on Linux it lets any other socket that sets it too, of any user,
//   bind the same port, and unicast datagrams then go to the one bound last, so another user could
//   take every datagram meant for a listener. Sharing a port (several receivers of one multicast
//   group) is asked for with enableReusePort, which Linux keeps to sockets of the same user.
// - The IPv6 socket is IPv6-only, so IPv4 senders always arrive on the IPv4 socket as IPv4
//   addresses.
// - FIONREAD on a datagram socket gives only the size of the next datagram, so a receive turn
//   reads until the socket answers EAGAIN rather than counting bytes down.
// - Socket addresses are byte buffers as socket_address.h describes them (sockaddr_in, 16 bytes;
//   sockaddr_in6, 28 bytes); its helpers turn them into host and port.
#pragma once

#include <any>
#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <netinet/in.h>

#include "platform/dispatch/dispatch.h"
#include "sockets/socket_address.h"
#include "sockets/socket_error.h"

namespace pavonix::sockets {

inline constexpr std::string_view kQueueUdpSocketErrorDomain = "QueueUdpSocketErrorDomain";

enum class QueueUdpSocketErrorCode : int {
    badConfig = 1,    // misuse that the caller can fix (bind twice, no delegate, ...)
    badParam = 2,     // a host, address, group or interface that cannot be used
    sendTimeout = 3,  // "Send operation timed out"
    closed = 4,       // "Socket closed"
    other = 5,        // no address of a usable family
};

class QueueUdpSocket;

// Every method is optional; each runs on the delegate queue.
class QueueUdpSocketDelegate {
public:
    using Bytes = sockets::Bytes;
    virtual ~QueueUdpSocketDelegate() = default;

    virtual void udpSocketDidConnect(QueueUdpSocket& /*socket*/, const Bytes& /*address*/) {}
    virtual void udpSocketDidNotConnect(QueueUdpSocket& /*socket*/, const SocketError& /*error*/) {}
    virtual void udpSocketDidSend(QueueUdpSocket& /*socket*/, std::int64_t /*tag*/) {}
    virtual void udpSocketDidNotSend(QueueUdpSocket& /*socket*/, std::int64_t /*tag*/, const SocketError& /*error*/) {}
    // `address` is the sender's socket address; `filterContext` what the receive filter left in
    // its context (empty without a filter).
    virtual void udpSocketDidReceive(QueueUdpSocket& /*socket*/, const Bytes& /*data*/, const Bytes& /*address*/,
                                     const std::any& /*filterContext*/) {}
    // `error` is empty for a close the owner asked for.
    virtual void udpSocketDidClose(QueueUdpSocket& /*socket*/, const std::optional<SocketError>& /*error*/) {}
};

struct QueueUdpPacket;
struct QueueUdpSendPacket;
struct QueueUdpSpecialPacket;

class QueueUdpSocket : public std::enable_shared_from_this<QueueUdpSocket> {
    struct Token {};

public:
    using Bytes = sockets::Bytes;
    // Answers whether the datagram is delivered; may leave a value in `context` for the delegate.
    using ReceiveFilter = std::function<bool(const Bytes& data, const Bytes& address, std::any& context)>;
    // Answers whether the datagram goes out; a refused one is reported as sent.
    using SendFilter = std::function<bool(const Bytes& data, const Bytes& address, std::int64_t tag)>;

    // Without a socket queue the socket makes its own serial queue "QueueUdpSocket". A global
    // (concurrent) queue is refused.
    static std::shared_ptr<QueueUdpSocket> make(std::weak_ptr<QueueUdpSocketDelegate> delegate = {},
                                                dispatch::QueuePtr delegateQueue = nullptr,
                                                dispatch::QueuePtr socketQueue = nullptr);
    QueueUdpSocket(Token, std::weak_ptr<QueueUdpSocketDelegate> delegate, dispatch::QueuePtr delegateQueue,
                   dispatch::QueuePtr socketQueue);
    // Closes without a close report: the delegate cannot be handed an object that is going away.
    ~QueueUdpSocket();
    QueueUdpSocket(const QueueUdpSocket&) = delete;
    QueueUdpSocket& operator=(const QueueUdpSocket&) = delete;

    // ---- Delegate and queues (setters are asynchronous unless `synchronously`) ----
    std::weak_ptr<QueueUdpSocketDelegate> delegate() const;
    void setDelegate(std::weak_ptr<QueueUdpSocketDelegate> delegate, bool synchronously = false);
    dispatch::QueuePtr delegateQueue() const;
    void setDelegateQueue(dispatch::QueuePtr queue, bool synchronously = false);
    void setDelegate(std::weak_ptr<QueueUdpSocketDelegate> delegate, dispatch::QueuePtr queue,
                     bool synchronously = false);

    // ---- Configuration (kept across close; sizes count when set before the sockets exist) ----
    bool isIPv4Enabled() const;
    void setIPv4Enabled(bool enabled);
    bool isIPv6Enabled() const;
    void setIPv6Enabled(bool enabled);
    bool isIPv4Preferred() const;
    bool isIPv6Preferred() const;
    bool isIPVersionNeutral() const;
    void setPreferIPv4();
    void setPreferIPv6();
    void setIPVersionNeutral();
    std::uint16_t maxReceiveIPv4BufferSize() const;
    void setMaxReceiveIPv4BufferSize(std::uint16_t size);
    std::uint32_t maxReceiveIPv6BufferSize() const;
    void setMaxReceiveIPv6BufferSize(std::uint32_t size);
    // Also the size of the kernel's send and receive buffers of new sockets.
    std::uint16_t maxSendBufferSize() const;
    void setMaxSendBufferSize(std::uint16_t size);
    std::shared_ptr<void> userData() const;
    void setUserData(std::shared_ptr<void> data);

    // ---- State ----
    // Of the IPv4 socket when it exists, else of the IPv6 socket; empty, empty, 0 when unbound.
    Bytes localAddress() const;
    std::string localHost() const;
    std::uint16_t localPort() const;
    Bytes localAddressIPv4() const;
    std::string localHostIPv4() const;
    std::uint16_t localPortIPv4() const;
    Bytes localAddressIPv6() const;
    std::string localHostIPv6() const;
    std::uint16_t localPortIPv6() const;
    Bytes connectedAddress() const;
    std::string connectedHost() const;
    std::uint16_t connectedPort() const;
    bool isConnected() const;
    bool isClosed() const;
    // Whether the family's socket exists (before any socket exists: whether it is enabled).
    bool isIPv4() const;
    bool isIPv6() const;

    // ---- Binding (true on success; otherwise false and the error) ----
    bool bindToPort(std::uint16_t port, SocketError* error = nullptr);
    // `interface`: nothing (every interface), "localhost" or "loopback", an interface name or one
    // of its numeric addresses.
    bool bindToPort(std::uint16_t port, const std::optional<std::string>& interface, SocketError* error = nullptr);
    bool bindToAddress(const Bytes& address, SocketError* error = nullptr);
    bool enableReusePort(bool flag, SocketError* error = nullptr);

    // ---- Receiving ----
    bool receiveOnce(SocketError* error = nullptr);
    bool beginReceiving(SocketError* error = nullptr);
    void pauseReceiving();
    // A filter needs a queue to run on; an empty filter removes it. Asynchronous filters run
    // while the socket goes on reading.
    void setReceiveFilter(ReceiveFilter filter, dispatch::QueuePtr queue, bool isAsynchronous = true);

    // ---- Sending (asynchronous; an empty datagram is ignored; a negative time-out waits forever) ----
    // Each datagram ends in one report, sent or not sent; a failing datagram never closes the socket.
    void sendData(Bytes data, std::int64_t tag);
    // To the connected peer.
    void sendData(Bytes data, double timeout, std::int64_t tag);
    void sendData(Bytes data, const std::string& host, std::uint16_t port, double timeout, std::int64_t tag);
    void sendData(Bytes data, const Bytes& address, double timeout, std::int64_t tag);
    void setSendFilter(SendFilter filter, dispatch::QueuePtr queue, bool isAsynchronous = true);

    // ---- Connecting (one peer; true once the request is queued, the outcome reaches the delegate) ----
    bool connectToHost(const std::string& host, std::uint16_t port, SocketError* error = nullptr);
    bool connectToAddress(const Bytes& address, SocketError* error = nullptr);

    // ---- Multicast and broadcast ----
    bool joinMulticastGroup(const std::string& group, SocketError* error = nullptr);
    bool joinMulticastGroup(const std::string& group, const std::optional<std::string>& interface,
                            SocketError* error = nullptr);
    bool leaveMulticastGroup(const std::string& group, SocketError* error = nullptr);
    bool leaveMulticastGroup(const std::string& group, const std::optional<std::string>& interface,
                             SocketError* error = nullptr);
    bool sendIPv4MulticastOnInterface(const std::string& interface, SocketError* error = nullptr);
    bool sendIPv6MulticastOnInterface(const std::string& interface, SocketError* error = nullptr);
    bool enableBroadcast(bool flag, SocketError* error = nullptr);

    // ---- Closing ----
    void close();
    // Closes once every queued datagram has been sent or reported.
    void closeAfterSending();

    // ---- Queue access ----
    // Code running on `queue` (a target of the socket queue) then counts as running on the socket queue.
    void markSocketQueueTargetQueue(const dispatch::QueuePtr& queue);
    void unmarkSocketQueueTargetQueue(const dispatch::QueuePtr& queue);
    void performBlock(const dispatch::Block& block);
    // -1 unless called on the socket queue.
    int socketFD() const;
    int socket4FD() const;
    int socket6FD() const;

private:
    // One family's datagram socket and its two sources; fd -1 when absent.
    struct FamilySocket {
        int fd = -1;
        dispatch::SourcePtr sendSource;
        dispatch::SourcePtr receiveSource;
        bool sendSuspended = true;
        bool receiveSuspended = true;
        bool canAcceptBytes = false;
        // Non-zero while a datagram may be waiting (the read source said so and no read has
        // come back empty since).
        std::size_t bytesAvailable = 0;
        Bytes cachedLocalAddress;
        std::string cachedLocalHost;
        std::uint16_t cachedLocalPort = 0;
        Bytes receiveBuffer;
    };
    enum class MulticastRequest { join, leave };

    bool onSocketQueue() const;
    void assertOnSocketQueue() const;
    template <typename F>
    auto runSync(F&& f) const;
    void runAsync(dispatch::Block block);

    // Notifications: each loads the delegate on the socket queue and posts the call.
    template <typename F>
    void notify(F&& call);
    void notifyDidClose(std::optional<SocketError> error);

    bool preOp(SocketError* error) const;
    bool preBind(SocketError* error) const;
    bool preConnect(SocketError* error) const;
    bool createSockets(bool ipv4, bool ipv6, SocketError* error);
    bool createSocketsForEnabledFamilies(SocketError* error);
    // The pre-operation check, then the sockets of every enabled family unless they exist.
    bool preOpWithSockets(SocketError* error);
    void setUpSources(int index);
    void closeSockets();
    void closeWithError(std::optional<SocketError> error, bool report = true);
    void resumeReadSource(int index);
    void suspendReadSource(int index);
    void resumeWriteSource(int index);
    void suspendWriteSource(int index);
    bool bindInternal(const std::optional<Bytes>& address4, const std::optional<Bytes>& address6, SocketError* error);
    // kIPv4, kIPv6, or -1 for the IPv4 socket when it exists, else the IPv6 one; fills the cache.
    const FamilySocket& localEnd(int which) const;
    void closeFamily(int index);

    // Receiving.
    bool startReceiving(std::uint32_t mode, SocketError* error);
    void doReceive();
    void receiveLoop();
    enum class ReadResult { delivered, dropped, filtering, wouldBlock, failed };
    ReadResult readOne(int index);
    // Collects a datagram for the delegate; flushDeliveries posts what was collected in one block.
    void deliver(Bytes data, Bytes address, std::any context);
    void flushDeliveries();
    struct Delivery {
        Bytes data;
        Bytes address;
        std::any context;
    };
    std::vector<Delivery> pendingDeliveries_;
    void afterAsyncFilter(bool delivered);
    void releaseInFlight(std::size_t bytes);

    // Sending.
    void enqueue(std::shared_ptr<QueueUdpPacket> packet);
    void maybeDequeueSend();
    void doPreSend();
    void doSend();
    void endCurrentSend();
    void setUpSendTimer(double timeout);
    void maybeConnect();
    void resolveHost(const std::string& host, std::uint16_t port,
                     std::function<void(std::vector<Bytes>, std::optional<SocketError>)> completion);
    std::optional<std::pair<Bytes, int>> chooseAddress(const std::vector<Bytes>& addresses, SocketError* error) const;
    bool performMulticastRequest(MulticastRequest request, const std::string& group,
                                 const std::optional<std::string>& interface, SocketError* error);

    std::weak_ptr<QueueUdpSocketDelegate> delegate_;
    dispatch::QueuePtr delegateQueue_;
    ReceiveFilter receiveFilter_;
    dispatch::QueuePtr receiveFilterQueue_;
    bool receiveFilterAsync_ = true;
    SendFilter sendFilter_;
    dispatch::QueuePtr sendFilterQueue_;
    bool sendFilterAsync_ = true;

    std::uint32_t flags_ = 0;
    std::uint16_t config_ = 0;
    std::uint16_t max4ReceiveSize_ = 65535;
    std::uint32_t max6ReceiveSize_ = 65535;
    std::uint16_t maxSendSize_ = 65535;

    mutable std::array<FamilySocket, 2> sockets_;  // IPv4, IPv6 (mutable: the local-address cache)
    dispatch::QueuePtr socketQueue_;
    dispatch::SourcePtr sendTimer_;
    std::shared_ptr<QueueUdpPacket> currentSend_;
    std::deque<std::shared_ptr<QueueUdpPacket>> sendQueue_;
    std::uint32_t pendingFilterOperations_ = 0;
    bool dequeuing_ = false;  // maybeDequeueSend's loop is running

    Bytes cachedConnectedAddress_;
    std::string cachedConnectedHost_;
    std::uint16_t cachedConnectedPort_ = 0;
    int cachedConnectedFamily_ = 0;

    std::shared_ptr<void> userData_;

    // Bytes read but not yet handed to the delegate (or refused by a filter). Reading stops while
    // it is above the limit, so a slow delegate queue leaves the excess in the kernel's buffer,
    // where the kernel drops it, instead of growing memory here.
    std::atomic<std::size_t> inFlightBytes_{0};
    std::atomic<bool> throttled_{false};
};

}  // namespace pavonix::sockets
