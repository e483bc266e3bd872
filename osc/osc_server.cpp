#include "osc/osc_server.h"

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "sockets/socket_address.h"

namespace pavonix::osc {

using sockets::QueueTcpSocket;
using sockets::QueueTcpSocketPtr;
using sockets::QueueUdpSocket;
using sockets::SocketError;

namespace {

std::string renderBytes(std::size_t size) { return std::to_string(size) + " bytes"; }

// A buffer that once took a large frame gives its room back, so an idle connection holds little.
constexpr std::size_t kKeptBufferCapacity = 4096;

// Counts what the parser delivers: a read that completes a packet keeps its connection alive.
class CountingDestination final : public OSCPacketDestination {
public:
    explicit CountingDestination(OSCPacketDestination& inner) : inner_(inner) {}
    void handleMessage(std::shared_ptr<OSCMessage> message) override {
        ++delivered;
        inner_.handleMessage(std::move(message));
    }
    void handleBundle(std::shared_ptr<OSCBundle> bundle) override {
        ++delivered;
        inner_.handleBundle(std::move(bundle));
    }
    std::size_t delivered = 0;

private:
    OSCPacketDestination& inner_;
};

std::string objectText(const void* object) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", object);
    return text;
}

}  // namespace

std::string renderOptionalError(const std::optional<SocketError>& error) {
    return error ? "Optional(\"" + error->description + "\")" : "nil";
}

std::string renderOptionalErrorPlain(const std::optional<SocketError>& error) {
    return error ? "Optional(" + error->description + ")" : "nil";
}

std::shared_ptr<OSCServer> OSCServer::make(dispatch::QueuePtr queue, OSCServerLimits limits) {
    auto server = std::make_shared<OSCServer>(Token{}, queue ? std::move(queue) : dispatch::mainQueue(), limits);
    server->tcpSocket_ = std::make_shared<OSCSocket>(QueueTcpSocket::create(server->weak_from_this(), server->queue_));
    server->udpSocket_ = std::make_shared<OSCSocket>(QueueUdpSocket::make(server->weak_from_this(), server->queue_));
    return server;
}

OSCServer::OSCServer(Token, dispatch::QueuePtr queue, OSCServerLimits limits)
    : queue_(std::move(queue)), limits_(limits) {}

OSCServer::~OSCServer() {
    for (const auto& group : joinedMulticastGroups_) {
        SocketError error;
        if (!udpSocket_->leaveMulticast(group, &error)) debug(error.description, OSCDebugLineKind::serverFailure);
    }
    stopListening();
    if (idleTimer_) idleTimer_->cancel();
}

std::shared_ptr<OSCDebugDelegate> OSCServer::trafficReceiver() const {
    auto receiver = debugDelegate.lock();
    return receiver && receiver->wantsTrafficLines() ? receiver : nullptr;
}

void OSCServer::debug(const std::string& line, OSCDebugLineKind kind) const {
    if (auto receiver = debugDelegate.lock()) receiver->handleDebugLine(line, kind);
}

std::string OSCServer::describe(const QueueUdpSocket& socket) const { return "QueueUdpSocket " + objectText(&socket); }

std::string OSCServer::describe(const QueueTcpSocket* socket) const { return "QueueTcpSocket " + objectText(socket); }

void OSCServer::onQueue(const dispatch::Block& work) const {
    const bool here = queue_->isCurrent() || (queue_ == dispatch::mainQueue() && dispatch::isMainThread());
    here ? work() : queue_->sync(work);
}

// ---- Configuration ------------------------------------------------------------------------------

void OSCServer::stopAndHandOn() {
    tcpSocket_->stopListening();
    for (const auto& group : joinedMulticastGroups_) {
        SocketError error;
        if (!udpSocket_->leaveMulticast(group, &error)) debug(error.description, OSCDebugLineKind::serverFailure);
    }
    udpSocket_->stopListening();
}

void OSCServer::setInterface(const std::string& interface) {
    stopAndHandOn();
    const auto text = interface.empty() ? std::nullopt : std::optional<std::string>(interface);
    tcpSocket_->interface = text;
    udpSocket_->interface = text;
    interface_ = interface;
}

void OSCServer::setPort(std::uint16_t port) {
    stopAndHandOn();
    tcpSocket_->port = port;
    udpSocket_->port = port;
    port_ = port;
}

void OSCServer::setReusePort(bool flag) {
    stopAndHandOn();
    SocketError error;
    if (!udpSocket_->reusePort(flag, &error)) debug("Error: " + error.description, OSCDebugLineKind::serverFailure);
    reusePort_ = flag;
}

// ---- Listening ----------------------------------------------------------------------------------

std::optional<SocketError> OSCServer::startListening() {
    SocketError error;
    if (!tcpSocket_->startListening(&error) || !udpSocket_->startListening(&error)) {
        debug(error.description, OSCDebugLineKind::serverFailure);
        return error;
    }
    return std::nullopt;
}

void OSCServer::stopListening() {
    stopAndHandOn();
    closeConnections();
}

void OSCServer::closeConnections() {
    Connections closing;
    onQueue([&] {
        closing.swap(connections_);
        idleOrder_.clear();
        unfinishedBytes_ = 0;
    });
    for (auto& [index, connection] : closing) connection.socket->disconnect();
}

std::size_t OSCServer::connectionCount() const {
    std::size_t count = 0;
    onQueue([&] { count = connections_.size(); });
    return count;
}

std::size_t OSCServer::unfinishedBytes() const {
    std::size_t bytes = 0;
    onQueue([&] { bytes = unfinishedBytes_; });
    return bytes;
}

// ---- Connection table -----------------------------------------------------------------------------

void OSCServer::closeConnection(Connections::iterator connection, const std::string& why) {
    const auto socket = connection->second.socket->tcpSocket();
    debug("TCP Socket: " + describe(socket.get()) + " " + why);
    forgetConnection(connection);
    // Packets may still hold the wrapper as their reply socket, so the socket is closed here and
    // not left to the wrapper. Its own report would find no entry and say so: it is not asked for.
    socket->setDelegate({});
    socket->disconnect();
}

void OSCServer::forgetConnection(Connections::iterator connection) {
    unfinishedBytes_ -= connection->second.heldBytes;
    idleOrder_.erase(connection->second.idlePlace);
    connections_.erase(connection);
}

OSCServer::Connections::iterator OSCServer::evictionPick() {
    // Were it the idlest of all, a peer that opens connections faster than another sends would
    // push out every connection of the other; taken from the host holding the most, its
    // connections push out only its own.
    static const std::string kNoHost;
    const auto hostOf = [](const Connection& connection) -> std::string_view {
        return connection.socket->host ? *connection.socket->host : kNoHost;
    };
    std::unordered_map<std::string_view, std::size_t> perHost;
    std::size_t most = 0;
    for (const auto& [index, connection] : connections_) most = std::max(most, ++perHost[hostOf(connection)]);
    for (const auto index : idleOrder_) {
        const auto connection = connections_.find(index);
        if (perHost[hostOf(connection->second)] == most) return connection;
    }
    return connections_.find(idleOrder_.front());
}

void OSCServer::noteHeldBytes(Connection& connection) {
    auto& buffer = connection.buffer;
    // The room a buffer takes stays within twice what it holds.
    if (buffer.capacity() > kKeptBufferCapacity && buffer.capacity() > 2 * buffer.size()) buffer.shrink_to_fit();
    unfinishedBytes_ = unfinishedBytes_ - connection.heldBytes + buffer.size();
    connection.heldBytes = buffer.size();
}

void OSCServer::enforceUnfinishedBytes() {
    while (unfinishedBytes_ > limits_.maxUnfinishedBytes) {
        const auto largest = std::max_element(connections_.begin(), connections_.end(), [](const auto& a, const auto& b) {
            return a.second.heldBytes < b.second.heldBytes;
        });
        closeConnection(largest, "closed: its unfinished frame is the largest while they hold too much");
    }
}

void OSCServer::armIdleTimer() {
    if (idleOrder_.empty()) return;
    if (!idleTimer_) {
        idleTimer_ = dispatch::Source::makeTimer(queue_);
        idleTimer_->setEventHandler([weak = weak_from_this()] {
            if (const auto self = weak.lock()) self->closeIdleConnections();
        });
        idleTimer_->resume();
    }
    const auto due = connections_.at(idleOrder_.front()).lastPacket + limits_.idleTimeout;
    idleTimer_->setTimer(std::max(due - dispatch::Clock::now(), dispatch::Clock::duration::zero()));
}

void OSCServer::closeIdleConnections() {
    const auto now = dispatch::Clock::now();
    while (!idleOrder_.empty()) {
        const auto oldest = connections_.find(idleOrder_.front());
        if (now - oldest->second.lastPacket < limits_.idleTimeout) break;
        closeConnection(oldest, "closed: no complete packet for " +
                                    std::to_string(limits_.idleTimeout.count()) + " ms");
    }
    armIdleTimer();
}

bool OSCServer::startListening(const std::vector<std::string>& groups, SocketError* error) {
    joinedMulticastGroups_ = groups;
    return udpSocket_->startListening(groups, error);
}

bool OSCServer::joinMulticast(const std::string& group, SocketError* error) {
    if (!udpSocket_->joinMulticast(group, error)) return false;
    if (std::find(joinedMulticastGroups_.begin(), joinedMulticastGroups_.end(), group) == joinedMulticastGroups_.end())
        joinedMulticastGroups_.push_back(group);
    return true;
}

bool OSCServer::leaveMulticast(const std::string& group, SocketError* error) {
    if (!udpSocket_->leaveMulticast(group, error)) return false;
    auto found = std::find(joinedMulticastGroups_.begin(), joinedMulticastGroups_.end(), group);
    if (found != joinedMulticastGroups_.end()) joinedMulticastGroups_.erase(found);
    return true;
}

std::uint16_t OSCServer::boundUDPPort() const { return udpSocket_->udpSocket()->localPort(); }

// ---- TCP reports --------------------------------------------------------------------------------

void OSCServer::socketDidAcceptNewSocket(const QueueTcpSocketPtr& listener, const QueueTcpSocketPtr& newSocket) {
    debug("TCP Socket: " + describe(listener.get()) + " didAcceptNewSocket: " + describe(newSocket.get()) + ")");
    if (limits_.maxConnections == 0) {
        newSocket->setDelegate({});
        newSocket->disconnect();
        return;
    }
    // A newcomer takes the place of a connection idle the longest, so that idle peers cannot
    // keep everyone else out.
    if (connections_.size() >= limits_.maxConnections) {
        closeConnection(evictionPick(), "closed: idle the longest when a new connection came");
    }
    auto wrapper = std::make_shared<OSCSocket>(newSocket);
    // One trip to the new socket's queue for both.
    newSocket->performBlock([&] {
        wrapper->host = newSocket->connectedHost();
        wrapper->port = newSocket->connectedPort();
    });
    const bool wasEmpty = connections_.empty();
    Connection& connection = connections_[activeIndex_];
    connection.state.socket = wrapper;
    connection.socket = std::move(wrapper);
    connection.lastPacket = dispatch::Clock::now();
    connection.idlePlace = idleOrder_.insert(idleOrder_.end(), activeIndex_);
    if (wasEmpty) armIdleTimer();
    newSocket->readData(-1, activeIndex_);
    ++activeIndex_;
}

void OSCServer::socketDidConnectToHost(const QueueTcpSocketPtr& socket, const std::string& host, std::uint16_t port) {
    debug("TCP Socket: " + describe(socket.get()) + " didConnectToHost: " + host + ":" + std::to_string(port));
}

void OSCServer::socketDidReadData(const QueueTcpSocketPtr& socket, const sockets::ReadData& data, std::int64_t tag) {
    auto destination = delegate.lock();
    if (!destination) return;
    if (auto receiver = trafficReceiver()) {
        receiver->handleDebugMessage("TCP Socket: " + describe(socket.get()) + " didRead Data of length: " +
                                     std::to_string(data.size()) + ", withTag: " + std::to_string(tag));
    }
    auto found = connections_.find(tag);
    if (found == connections_.end()) return;
    Connection& connection = found->second;
    if (!connection.framing && !data.empty()) {
        const bool lengthPrefixed = streamFraming == OSCTCPStreamFraming::SLIP && data.view().front() == 0;
        connection.framing = lengthPrefixed ? OSCTCPStreamFraming::PLH : streamFraming;
    }
    CountingDestination counting(*destination);
    if (auto failure = OSCParser().translate(data.view(), connection.framing.value_or(streamFraming), connection.buffer,
                                             connection.state, counting)) {
        debug("Error: " + std::string(oscParserErrorName(*failure)), OSCDebugLineKind::peerProblem);
        // A peer that sends what cannot be parsed is not read again; closing it, rather than
        // leaving it open and unread, frees its place.
        closeConnection(found, "closed: its stream cannot be parsed");
        return;
    }
    if (counting.delivered > 0) {
        connection.lastPacket = dispatch::Clock::now();
        idleOrder_.splice(idleOrder_.end(), idleOrder_, connection.idlePlace);
    }
    noteHeldBytes(connection);
    enforceUnfinishedBytes();
    if (connections_.contains(tag)) socket->readData(-1, tag);
}

void OSCServer::socketDidReadPartialData(const QueueTcpSocketPtr& socket, std::size_t length, std::int64_t tag) {
    debug("TCP Socket: " + describe(socket.get()) + " didReadPartialDataOfLength: " + std::to_string(length) +
          ", withTag: " + std::to_string(tag));
}

void OSCServer::socketDidWriteData(const QueueTcpSocketPtr& socket, std::int64_t tag) {
    debug("TCP Socket: " + describe(socket.get()) + " didWriteDataWithTag: " + std::to_string(tag));
}

void OSCServer::socketDidWritePartialData(const QueueTcpSocketPtr& socket, std::size_t length, std::int64_t tag) {
    debug("TCP Socket: " + describe(socket.get()) + " didWritePartialDataOfLength: " + std::to_string(length) +
          ", withTag: " + std::to_string(tag));
}

double OSCServer::shouldTimeoutRead(const QueueTcpSocketPtr& socket, std::int64_t tag, double, std::size_t) {
    debug("TCP Socket: " + describe(socket.get()) + " shouldTimeoutReadWithTag: " + std::to_string(tag));
    return 0;
}

double OSCServer::shouldTimeoutWrite(const QueueTcpSocketPtr& socket, std::int64_t tag, double, std::size_t) {
    debug("TCP Socket: " + describe(socket.get()) + " shouldTimeoutWriteWithTag: " + std::to_string(tag));
    return 0;
}

void OSCServer::socketDidCloseReadStream(const QueueTcpSocketPtr& socket) {
    debug("TCP Socket: " + describe(socket.get()) + " didCloseReadStream");
}

void OSCServer::socketDidDisconnect(const QueueTcpSocketPtr& socket, const std::optional<SocketError>& error) {
    const bool listener = socket && socket == tcpSocket_->tcpSocket();
    // A client going away, with whatever error, is its own business; the listener failing is not.
    debug("TCP Socket: " + describe(socket.get()) + " didDisconnect, withError: " + renderOptionalErrorPlain(error),
          listener && error ? OSCDebugLineKind::serverFailure : OSCDebugLineKind::trace);
    if (!socket) return;  // closed by its own destruction: its entry is already gone
    if (listener) {
        debug("Server disconnecting its own listening TCP Socket");
        return;
    }
    for (auto it = connections_.begin(); it != connections_.end(); ++it) {
        if (it->second.socket->tcpSocket() == socket) {
            forgetConnection(it);
            return;
        }
    }
    // Connections closed by a stop have left the table already.
    if (!tcpSocket_->tcpSocket()->isDisconnected()) {
        debug("Error: Server couldn't find the Socket associated with the disconnecting TCP Socket");
    }
}

void OSCServer::socketDidSecure(const QueueTcpSocketPtr& socket) {
    debug("TCP Socket: " + describe(socket.get()) + " didSecure");
}

// ---- UDP reports --------------------------------------------------------------------------------

void OSCServer::udpSocketDidConnect(QueueUdpSocket& socket, const Bytes& address) {
    debug("UDP Socket: " + describe(socket) + " didConnectToAddress " + renderBytes(address.size()));
}

void OSCServer::udpSocketDidNotConnect(QueueUdpSocket& socket, const SocketError& error) {
    debug("UDP Socket: " + describe(socket) + " didNotConnect, dueToError: " + renderOptionalError(error),
          OSCDebugLineKind::serverFailure);
}

void OSCServer::udpSocketDidSend(QueueUdpSocket& socket, std::int64_t tag) {
    debug("UDP Socket: " + describe(socket) + " didSendDataWithTag: " + std::to_string(tag));
}

void OSCServer::udpSocketDidNotSend(QueueUdpSocket& socket, std::int64_t tag, const SocketError& error) {
    debug("UDP Socket: " + describe(socket) + " didNotSendDataWithTag: " + std::to_string(tag) +
          ", dueToError: " + renderOptionalError(error), OSCDebugLineKind::serverFailure);
}

void OSCServer::udpSocketDidReceive(QueueUdpSocket& socket, const Bytes& data, const Bytes& address,
                                    const std::any&) {
    if (auto receiver = trafficReceiver()) {
        receiver->handleDebugMessage("UDP Socket: " + describe(socket) + " didReceiveData of Length: " +
                                     std::to_string(data.size()) + ", fromAddress " + renderBytes(address.size()));
    }
    auto destination = delegate.lock();
    if (!destination) return;
    // A reply goes back to the sender's host on the server's own port, as OSC peers expect.
    auto reply = std::make_shared<OSCSocket>([weak = weak_from_this()] {
        return QueueUdpSocket::make(weak, dispatch::mainQueue());
    });
    reply->interface = udpSocket_->interface;
    reply->host = sockets::hostFromAddress(address);
    reply->port = port_;
    const auto failure = OSCParser().process(data, *destination, std::move(reply));
    if (!failure) return;
    if (*failure == OSCParserError::unrecognisedData) {
        debug("Error: Unrecognized data " + renderBytes(data.size()), OSCDebugLineKind::peerProblem);
    } else {
        debug("Other error: " + std::string(oscParserErrorName(*failure)), OSCDebugLineKind::peerProblem);
    }
}

void OSCServer::udpSocketDidClose(QueueUdpSocket& socket, const std::optional<SocketError>& error) {
    const bool receiverFailed = error && &socket == udpSocket_->udpSocket().get();
    debug("UDP Socket: " + describe(socket) + " Did Close. With Error: " + renderOptionalError(error),
          receiverFailed ? OSCDebugLineKind::serverFailure : OSCDebugLineKind::trace);
}

}  // namespace pavonix::osc
