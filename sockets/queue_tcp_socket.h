// The queue-based asynchronous TCP socket.
//
// A socket owns at most one IPv4, one IPv6 and one unix-domain descriptor and a private serial
// socket queue on which every state change happens. Callers use it from any thread without
// blocking on the network; everything it has to say arrives as calls to a weakly held delegate,
// always asynchronously on the delegate queue that the owner names. A socket listens (and turns
// each incoming connection into a new connected socket), or connects; a connected socket serves
// reads and writes as two first-in-first-out queues of packets.
//
// Misuse by calling code (an internal step off the socket queue, a concurrent socket queue) stops
// the program through dispatch::preconditionFailure; network input never reaches those checks.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "sockets/socket_address.h"
#include "sockets/socket_error.h"
#include "sockets/tcp_packets.h"
#include "sockets/tls_session.h"

namespace pavonix::sockets {

inline constexpr std::string_view kQueueTcpSocketErrorDomain = "QueueTcpSocketErrorDomain";

enum class QueueTcpSocketErrorCode : int {
    badConfig = 1,
    badParam = 2,
    connectTimeout = 3,
    readTimeout = 4,
    writeTimeout = 5,
    readMaxedOut = 6,
    closed = 7,
    other = 8,
};

// An error of the socket's own domain; the codes 3 to 7 carry their fixed texts.
SocketError queueTcpSocketError(QueueTcpSocketErrorCode code, std::string description = {});

// Terminators for readDataToData.
inline const Bytes kCRLFData{'\r', '\n'};
inline const Bytes kCRData{'\r'};
inline const Bytes kLFData{'\n'};
inline const Bytes kZeroData{0};

class QueueTcpSocket;
using QueueTcpSocketPtr = std::shared_ptr<QueueTcpSocket>;

// Every report has an empty default, so a delegate implements only what it needs; a report it
// leaves alone is skipped. Reports run on the delegate queue, never on the caller's stack.
class QueueTcpSocketDelegate {
public:
    virtual ~QueueTcpSocketDelegate() = default;

    // A socket queue for the connection from `address` (the new socket takes it over), or null
    // for a new serial queue of its own.
    virtual dispatch::QueuePtr newSocketQueueForConnection(const Bytes& /*address*/,
                                                          const QueueTcpSocketPtr& /*listener*/) {
        return nullptr;
    }
    // The new socket lives as long as the delegate keeps it.
    virtual void socketDidAcceptNewSocket(const QueueTcpSocketPtr& /*listener*/,
                                          const QueueTcpSocketPtr& /*newSocket*/) {}
    virtual void socketDidConnectToHost(const QueueTcpSocketPtr& /*socket*/, const std::string& /*host*/,
                                        std::uint16_t /*port*/) {}
    virtual void socketDidConnectToUrl(const QueueTcpSocketPtr& /*socket*/, const std::string& /*path*/) {}
    virtual void socketDidReadData(const QueueTcpSocketPtr& /*socket*/, const ReadData& /*data*/,
                                   std::int64_t /*tag*/) {}
    virtual void socketDidReadPartialData(const QueueTcpSocketPtr& /*socket*/, std::size_t /*length*/,
                                          std::int64_t /*tag*/) {}
    virtual void socketDidWriteData(const QueueTcpSocketPtr& /*socket*/, std::int64_t /*tag*/) {}
    virtual void socketDidWritePartialData(const QueueTcpSocketPtr& /*socket*/, std::size_t /*length*/,
                                           std::int64_t /*tag*/) {}
    // Seconds to extend a timed-out read or write by; 0 or less lets it fail.
    virtual double shouldTimeoutRead(const QueueTcpSocketPtr& /*socket*/, std::int64_t /*tag*/,
                                     double /*elapsed*/, std::size_t /*bytesDone*/) {
        return 0;
    }
    virtual double shouldTimeoutWrite(const QueueTcpSocketPtr& /*socket*/, std::int64_t /*tag*/,
                                      double /*elapsed*/, std::size_t /*bytesDone*/) {
        return 0;
    }
    // The peer ended its stream while writes stay possible (half-duplex mode).
    virtual void socketDidCloseReadStream(const QueueTcpSocketPtr& /*socket*/) {}
    // The socket closed after having been started. `socket` is null when the close came from the
    // socket's destruction; `error` is empty for a requested close.
    virtual void socketDidDisconnect(const QueueTcpSocketPtr& /*socket*/,
                                     const std::optional<SocketError>& /*error*/) {}
    virtual void socketDidSecure(const QueueTcpSocketPtr& /*socket*/) {}
    // Manual trust evaluation: decide on `trust` and call `completion` once, from any thread
    // (true continues the handshake, false closes). Return false when not deciding: the socket
    // then closes, as it does for a delegate that leaves this alone.
    virtual bool socketDidReceiveTrust(const QueueTcpSocketPtr& /*socket*/, const TlsPeerTrust& /*trust*/,
                                       std::function<void(bool)> /*completion*/) {
        return false;
    }
};
using QueueTcpSocketDelegateWeak = std::weak_ptr<QueueTcpSocketDelegate>;

struct TcpProgress {
    std::int64_t tag = 0;
    std::uint64_t bytesDone = 0;
    std::uint64_t total = 0;
    float fraction = 0;  // NaN when nothing is in progress
};

class QueueTcpSocket : public std::enable_shared_from_this<QueueTcpSocket> {
    struct Private {};

public:
    // Without a socket queue the socket makes a serial queue labelled "QueueTcpSocket".
    static QueueTcpSocketPtr create(QueueTcpSocketDelegateWeak delegate = {},
                                    dispatch::QueuePtr delegateQueue = nullptr,
                                    dispatch::QueuePtr socketQueue = nullptr);
    // Adopts a connected IPv4 or IPv6 descriptor (taking ownership); the connect report follows.
    // Null with the error when the descriptor's peer cannot be read or has another family (the
    // descriptor then stays the caller's).
    static QueueTcpSocketPtr fromConnectedSocketFD(int fd, QueueTcpSocketDelegateWeak delegate,
                                                   dispatch::QueuePtr delegateQueue,
                                                   dispatch::QueuePtr socketQueue = nullptr,
                                                   SocketError* error = nullptr);

    QueueTcpSocket(Private, QueueTcpSocketDelegateWeak delegate, dispatch::QueuePtr delegateQueue,
                   dispatch::QueuePtr socketQueue);
    ~QueueTcpSocket();
    QueueTcpSocket(const QueueTcpSocket&) = delete;
    QueueTcpSocket& operator=(const QueueTcpSocket&) = delete;

    // ---- Delegate and configuration (setters are asynchronous unless asked otherwise) ----------
    std::shared_ptr<QueueTcpSocketDelegate> delegate() const;
    void setDelegate(QueueTcpSocketDelegateWeak delegate, bool synchronously = false);
    dispatch::QueuePtr delegateQueue() const;
    void setDelegateQueue(dispatch::QueuePtr queue, bool synchronously = false);
    void setDelegateAndQueue(QueueTcpSocketDelegateWeak delegate, dispatch::QueuePtr queue,
                             bool synchronously = false);

    bool isIPv4Enabled() const;
    void setIPv4Enabled(bool enabled);
    bool isIPv6Enabled() const;
    void setIPv6Enabled(bool enabled);
    bool isIPv4PreferredOverIPv6() const;
    void setIPv4PreferredOverIPv6(bool preferred);
    bool autoDisconnectOnClosedReadStream() const;
    void setAutoDisconnectOnClosedReadStream(bool enabled);
    double alternateAddressDelay() const;
    void setAlternateAddressDelay(double seconds);
    std::shared_ptr<void> userData() const;
    void setUserData(std::shared_ptr<void> data);

    // ---- State --------------------------------------------------------------------------------
    bool isDisconnected() const;
    bool isConnected() const;
    // Of the IPv4 descriptor when there is one, else the IPv6 one; nothing without either.
    std::optional<std::string> connectedHost() const;
    std::uint16_t connectedPort() const;
    std::optional<std::string> localHost() const;
    std::uint16_t localPort() const;
    // The raw peer / local address; the IPv6 descriptor's when both exist.
    std::optional<Bytes> connectedAddress() const;
    std::optional<Bytes> localAddress() const;
    // The peer path of a unix-domain connection.
    std::optional<std::string> connectedUrl() const;
    bool isIPv4() const;
    bool isIPv6() const;
    bool isSecure() const;

    // On the socket queue only (performBlock or a report on a queue targeting it); off it the
    // descriptors read -1 and the rest nothing.
    std::optional<std::string> connectedHost4() const;
    std::optional<std::string> connectedHost6() const;
    std::uint16_t connectedPort4() const;
    std::uint16_t connectedPort6() const;
    std::optional<std::string> localHost4() const;
    std::optional<std::string> localHost6() const;
    std::uint16_t localPort4() const;
    std::uint16_t localPort6() const;
    int socketFD() const;
    int socket4FD() const;
    int socket6FD() const;

    // Runs the block on the socket queue: inline when already there, else synchronously.
    void performBlock(const dispatch::Block& block);
    // Code running on `queue` (a target queue of the socket queue) then counts as on the socket
    // queue, so that calls from there run inline instead of waiting on themselves.
    void markSocketQueueTargetQueue(const dispatch::QueuePtr& queue);
    void unmarkSocketQueueTargetQueue(const dispatch::QueuePtr& queue);

    // ---- Listening ------------------------------------------------------------------------------
    bool acceptOnPort(std::uint16_t port, SocketError* error = nullptr);
    // `interface`: empty for every interface, "localhost"/"loopback", an interface name or one of
    // its numeric addresses, optionally followed by ":port" (see resolveInterfaceDescription).
    bool acceptOnInterface(std::string_view interface, std::uint16_t port, SocketError* error = nullptr);
    // Listens on a unix-domain socket at `path`; a socket file left there is replaced, any other
    // file is not touched.
    bool acceptOnUrl(std::string_view path, SocketError* error = nullptr);
    // A listener stops accepting while this many accepted connections wait for their hand-over on
    // the delegate queue, and goes on once the delegate has taken half of them: a delegate queue
    // that falls behind then holds a bounded number of descriptors, and later connections wait in
    // the system's backlog instead.
    static constexpr std::size_t kMaxAcceptsAwaitingHandOver = 32;

    // ---- Connecting (timeout in seconds, negative for none) ------------------------------------
    bool connectToHost(std::string_view host, std::uint16_t port, double timeout = -1,
                       std::string_view interface = {}, SocketError* error = nullptr);
    bool connectToAddress(const Bytes& address, double timeout = -1, std::string_view interface = {},
                          SocketError* error = nullptr);
    bool connectToUrl(std::string_view path, double timeout = -1, SocketError* error = nullptr);
    // The resolved addresses of a service, each tried until one starts.
    bool connectToAddresses(const std::vector<Bytes>& addresses, SocketError* error = nullptr);
    // Blocking name look-up for stream sockets (see sockets::lookupHost).
    static LookupResult lookupHost(std::string_view host, std::uint16_t port);

    // ---- Reading and writing (timeout in seconds, negative for none) ---------------------------
    // Whatever is available; with a caller's buffer the bytes go in at `offset` and the report
    // views them there.
    void readData(double timeout, std::int64_t tag);
    void readData(double timeout, std::shared_ptr<Bytes> buffer, std::size_t offset, std::int64_t tag,
                  std::size_t maxLength = 0);
    void readDataToLength(std::size_t length, double timeout, std::int64_t tag,
                          std::shared_ptr<Bytes> buffer = nullptr, std::size_t offset = 0);
    // Up to and including `terminator`; with a maximum length the read fails once that many bytes
    // came without it.
    void readDataToData(Bytes terminator, double timeout, std::int64_t tag, std::size_t maxLength = 0,
                        std::shared_ptr<Bytes> buffer = nullptr, std::size_t offset = 0);
    // The bytes are not copied and must not change until their write is reported.
    void writeData(std::shared_ptr<const Bytes> data, double timeout, std::int64_t tag);
    void writeData(Bytes data, double timeout, std::int64_t tag);

    // Switches to TLS once every read and write requested before has completed in plain text;
    // those requested after run encrypted. Dropped unless connected, not yet switching and not
    // disconnecting. Setting failures and handshake failures close the socket with their error.
    void startTLS(TlsSettings settings = {});

    TcpProgress progressOfRead() const;
    TcpProgress progressOfWrite() const;

    // ---- Disconnecting --------------------------------------------------------------------------
    void disconnect();
    // New reads and writes are dropped; the socket closes once the named queues are done.
    void disconnectAfterReading();
    void disconnectAfterWriting();
    void disconnectAfterReadingAndWriting();

private:
    struct ConnectAttempt;

    bool isOnSocketQueue() const;
    void assertOnSocketQueue() const;
    template <typename F>
    auto onSocketQueue(F&& f) const -> decltype(f());
    void inlineOrAsync(dispatch::Block block);
    // The configuration bits are read and set on the socket queue, like every other state.
    bool configBitClear(std::uint16_t bit) const;
    void setConfigBitClear(std::uint16_t bit, bool clear);

    // Reports, built on the socket queue and run on the delegate queue.
    template <typename F>
    void report(F&& call);

    void closeWithError(std::optional<SocketError> error);
    void maybeClose();
    void emptyQueues();
    void disconnectAfter(std::uint32_t bits);

    // Listening.
    // The refusals before accepting or connecting; unix-domain sockets skip the family test.
    std::optional<SocketError> startPreconditions(bool accepting, bool checkFamilies) const;
    int createListeningSocket(int domain, const Bytes& address, SocketError& error);
    dispatch::SourcePtr makeAcceptSource(int fd);
    // 0 once a connection was taken, else the errno of the failed accept.
    int doAccept(int listenFD);
    bool acceptGateClosed() const;
    // Suspends or resumes the accept sources to match acceptGateClosed().
    void updateAcceptGate();

    // Connecting.
    std::optional<SocketError> preConnect(std::string_view interface);
    bool connectWithAddresses(const std::optional<Bytes>& address4, const std::optional<Bytes>& address6,
                              SocketError& error);
    void lookupDidFinish(std::uint64_t generation, LookupResult result);
    void startAttempt(const std::shared_ptr<ConnectAttempt>& attempt, std::uint64_t generation);
    void attemptDidFinish(const std::shared_ptr<ConnectAttempt>& attempt, int errnoValue,
                          std::uint64_t generation);
    void dropAttempt(const std::shared_ptr<ConnectAttempt>& attempt);
    void didConnect(std::uint64_t generation);
    void startConnectTimeout(double timeout);
    void endConnectTimeout();
    void setupReadAndWriteSources(int fd);

    // Reading and writing.
    int connectedFD() const;
    // The transport under the packet engines: bytes straight from and to the descriptor. A TLS
    // layer sits here.
    ssize_t readFromDescriptor(std::uint8_t* buffer, std::size_t length);
    ssize_t writeToDescriptor(const std::uint8_t* buffer, std::size_t length);
    void suspendReadSource();
    void resumeReadSource();
    void suspendWriteSource();
    void resumeWriteSource();
    void enqueueRead(std::shared_ptr<TcpReadPacket> packet);
    void maybeDequeueRead();
    void doReadData();
    void doReadEOF();
    void completeCurrentRead();
    void endCurrentRead();
    void maybeDequeueWrite();
    void doWriteData();
    void completeCurrentWrite();
    void endCurrentWrite();
    // TLS.
    void maybeStartTLS();
    void tlsHandshakeRead();
    void continueTlsHandshake();
    void askTrust();
    void trustDecided(std::uint64_t generation, bool trusted);
    void finishTlsHandshake();
    // Sends what the TLS layer has for the wire; false while some stays (the write source then
    // waits for room) or on a failure, which sets `error`.
    bool flushTlsOutput(std::optional<SocketError>& error);
    // Decrypts what the descriptor (up to `estimate` bytes) and the TLS layer hold into the
    // pre-buffer; sets `eof` at the peer's end and `error` on a failure.
    void fillPreBufferFromTls(std::size_t estimate, bool& eof, std::optional<SocketError>& error);
    dispatch::SourcePtr makeTimeoutTimer(bool forRead, double timeout);
    void doReadTimeout();
    void doWriteTimeout();
    // The answer counts only while the same packet is still current and paused.
    void readTimeoutAnswered(const std::weak_ptr<TcpReadPacket>& packet, double extension);
    void writeTimeoutAnswered(const std::weak_ptr<TcpWritePacket>& packet, double extension);

    std::optional<std::string> peerHost(int fd) const;
    std::uint16_t peerPort(int fd) const;
    std::optional<std::string> sockHost(int fd) const;
    std::uint16_t sockPort(int fd) const;

    // Only ever touched on the socket queue.
    std::uint32_t flags_ = 0;
    std::uint16_t config_ = 0;
    QueueTcpSocketDelegateWeak delegate_;
    dispatch::QueuePtr delegateQueue_;
    int socket4FD_ = -1;
    int socket6FD_ = -1;
    int socketUN_ = -1;
    std::string socketPath_;
    std::uint64_t stateIndex_ = 0;
    std::optional<Bytes> connectInterface4_;
    std::optional<Bytes> connectInterface6_;
    const dispatch::QueuePtr socketQueue_;
    dispatch::SourcePtr accept4Source_;
    dispatch::SourcePtr accept6Source_;
    dispatch::SourcePtr acceptUNSource_;
    // Raised by an accept on the socket queue, lowered by the hand-over on the delegate queue.
    std::atomic<std::size_t> acceptsAwaitingHandOver_{0};
    bool acceptSourcesSuspended_ = false;
    dispatch::SourcePtr connectTimer_;
    std::vector<std::shared_ptr<ConnectAttempt>> attempts_;
    dispatch::SourcePtr readSource_;
    dispatch::SourcePtr writeSource_;
    dispatch::SourcePtr readTimer_;
    dispatch::SourcePtr writeTimer_;
    std::deque<std::shared_ptr<TcpReadPacket>> readQueue_;
    std::deque<std::shared_ptr<TcpWritePacket>> writeQueue_;
    std::shared_ptr<TcpReadPacket> currentRead_;
    std::shared_ptr<TcpWritePacket> currentWrite_;
    std::size_t socketFDBytesAvailable_ = 0;
    TcpPreBuffer preBuffer_{4096};
    std::unique_ptr<TlsSession> tls_;
    int lastTlsHandshakeStatus_ = 0;
    std::shared_ptr<void> userData_;
    double alternateAddressDelay_ = 0.3;
    // Its address is the queue-specific key that marks the socket queue and its target queues.
    const char isOnSocketQueueKey_ = 0;
};

}  // namespace pavonix::sockets
