#include "osc/osc_server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <tuple>
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
// One read takes at most this much: the bytes of a read wait on the heap until the delegate queue
// gets to them, and many peers sending large frames at once would otherwise leave the heap
// holding their sum after they are gone.
constexpr std::size_t kReadChunkBytes = 16 * 1024;

// A peer that vanished without a close (a laptop shut, a phone gone from the network) is found by
// the system's probes after about two quiet minutes and its place freed; a quiet controller that
// is still there answers them and keeps its connection.
void enableKeepAlive(int fd) {
    const int on = 1, idleSeconds = 60, intervalSeconds = 10, probes = 6;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}

void readNext(const QueueTcpSocketPtr& socket, std::int64_t tag) { socket->readData(-1, nullptr, 0, tag, kReadChunkBytes); }

// Counts what the parser delivers: a read that completes a packet makes its connection the least
// idle, and one that never did goes first when places run out.
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
        groupConnections_.clear();
        hostConnections_.clear();
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
    const auto group = groupConnections_.find(connection->second.group);
    if (--group->second == 0) groupConnections_.erase(group);
    const auto host = hostConnections_.find(connection->second.host);
    if (--host->second == 0) hostConnections_.erase(host);
    connections_.erase(connection);
}

OSCServer::Connections::iterator OSCServer::evictionPick(const std::string* group) {
    // From the group holding the most: were it the idlest of all, a party that opens connections
    // faster than another sends would push out every connection of the other, and were it any
    // that never delivered, one with a few addresses whose connections each send a packet would
    // push out every controller between its connect and its first command. Within that group, one
    // of the address holding the most (a group can be a whole LAN's IPv6 /64, or all of loopback,
    // where one flooding address must not push out its neighbours); of those, one that never
    // delivered goes first, then the idlest, so that a controller still sending stays.
    const auto rank = [&](const Connection& connection) {
        return std::tuple(-static_cast<std::ptrdiff_t>(groupConnections_.at(connection.group)),
                          -static_cast<std::ptrdiff_t>(hostConnections_.at(connection.host)), connection.delivered);
    };
    auto pick = connections_.end();
    for (const auto index : idleOrder_) {
        const auto connection = connections_.find(index);
        if (group && connection->second.group != *group) continue;
        if (pick == connections_.end() || rank(connection->second) < rank(pick->second)) pick = connection;
    }
    return pick;
}

void OSCServer::noteHeldBytes(Connection& connection) {
    auto& buffer = connection.buffer;
    // The room a buffer takes stays within twice what it holds.
    if (buffer.capacity() > kKeptBufferCapacity && buffer.capacity() > 2 * buffer.size()) buffer.shrink_to_fit();
    unfinishedBytes_ = unfinishedBytes_ - connection.heldBytes + buffer.capacity();
    connection.heldBytes = buffer.capacity();
}

void OSCServer::enforceUnfinishedBytes() {
    while (unfinishedBytes_ > limits_.maxUnfinishedBytes) {
        const auto largest = std::max_element(connections_.begin(), connections_.end(), [](const auto& a, const auto& b) {
            return a.second.heldBytes < b.second.heldBytes;
        });
        closeConnection(largest, "closed: its unfinished frame is the largest while they hold too much");
    }
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
    if (limits_.maxConnections == 0 || limits_.maxConnectionsPerGroup == 0) {
        newSocket->setDelegate({});
        newSocket->disconnect();
        return;
    }
    auto wrapper = std::make_shared<OSCSocket>(newSocket);
    // One trip to the new socket's queue for all three.
    newSocket->performBlock([&] {
        wrapper->host = newSocket->connectedHost();
        wrapper->port = newSocket->connectedPort();
        enableKeepAlive(newSocket->socketFD());
    });
    std::string host = wrapper->host.value_or("");
    auto group = addressGroupOf(host);
    // A newcomer takes the place of a connection that idles, so that idle peers cannot keep
    // everyone else out; past its group's share, of its own group, so that a party with many
    // connections cannot push out the others.
    const auto held = groupConnections_.find(group);
    if (held != groupConnections_.end() && held->second >= limits_.maxConnectionsPerGroup) {
        closeConnection(evictionPick(&group), "closed: its place went to a newcomer of its address group");
    } else if (connections_.size() >= limits_.maxConnections) {
        closeConnection(evictionPick(nullptr), "closed: its place went to a newcomer");
    }
    ++groupConnections_[group];
    ++hostConnections_[host];
    Connection& connection = connections_[activeIndex_];
    connection.state.socket = wrapper;
    connection.socket = std::move(wrapper);
    connection.group = std::move(group);
    connection.host = std::move(host);
    connection.idlePlace = idleOrder_.insert(idleOrder_.end(), activeIndex_);
    readNext(newSocket, activeIndex_);
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
        connection.delivered = true;
        idleOrder_.splice(idleOrder_.end(), idleOrder_, connection.idlePlace);
    }
    noteHeldBytes(connection);
    enforceUnfinishedBytes();
    if (connections_.contains(tag)) readNext(socket, tag);
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
