#include "osc/osc_server.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "sockets/socket_address.h"

namespace pavonix::osc {

using sockets::QueueTcpSocket;
using sockets::QueueTcpSocketPtr;
using sockets::QueueUdpSocket;
using sockets::SocketError;

namespace {

std::string renderBytes(std::size_t size) { return std::to_string(size) + " bytes"; }

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

std::shared_ptr<OSCServer> OSCServer::make(dispatch::QueuePtr queue) {
    auto server = std::make_shared<OSCServer>(Token{}, queue ? std::move(queue) : dispatch::mainQueue());
    server->tcpSocket_ = std::make_shared<OSCSocket>(QueueTcpSocket::create(server->weak_from_this(), server->queue_));
    server->udpSocket_ = std::make_shared<OSCSocket>(QueueUdpSocket::make(server->weak_from_this(), server->queue_));
    return server;
}

OSCServer::OSCServer(Token, dispatch::QueuePtr queue) : queue_(std::move(queue)) {}

OSCServer::~OSCServer() {
    for (const auto& group : joinedMulticastGroups_) {
        SocketError error;
        if (!udpSocket_->leaveMulticast(group, &error)) debug(error.description);
    }
    stopListening();
}

std::shared_ptr<OSCDebugDelegate> OSCServer::trafficReceiver() const {
    auto receiver = debugDelegate.lock();
    return receiver && receiver->wantsTrafficLines() ? receiver : nullptr;
}

void OSCServer::debug(const std::string& line) const {
    if (auto receiver = debugDelegate.lock()) receiver->handleDebugMessage(line);
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
        if (!udpSocket_->leaveMulticast(group, &error)) debug(error.description);
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
    if (!udpSocket_->reusePort(flag, &error)) debug("Error: " + error.description);
    reusePort_ = flag;
}

// ---- Listening ----------------------------------------------------------------------------------

std::optional<SocketError> OSCServer::startListening() {
    SocketError error;
    if (!tcpSocket_->startListening(&error) || !udpSocket_->startListening(&error)) {
        debug(error.description);
        return error;
    }
    return std::nullopt;
}

void OSCServer::stopListening() {
    stopAndHandOn();
    closeConnections();
}

void OSCServer::closeConnections() {
    std::map<std::int64_t, Connection> closing;
    onQueue([&] { closing.swap(connections_); });
    for (auto& [index, connection] : closing) connection.socket->disconnect();
}

std::size_t OSCServer::connectionCount() const {
    std::size_t count = 0;
    onQueue([&] { count = connections_.size(); });
    return count;
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
    if (connections_.size() >= kMaxConnections) {
        newSocket->disconnect();
        return;
    }
    auto wrapper = std::make_shared<OSCSocket>(newSocket);
    wrapper->host = newSocket->connectedHost();
    wrapper->port = newSocket->connectedPort();
    Connection& connection = connections_[activeIndex_];
    connection.state.socket = wrapper;
    connection.socket = std::move(wrapper);
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
    if (auto failure = OSCParser().translate(data.view(), connection.framing.value_or(streamFraming), connection.buffer,
                                             connection.state, *destination)) {
        debug("Error: " + std::string(oscParserErrorName(*failure)));
        // A peer that sends what cannot be parsed is not read again; closing it, rather than
        // leaving it open and unread, frees its place.
        socket->disconnect();
        return;
    }
    socket->readData(-1, tag);
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
    debug("TCP Socket: " + describe(socket.get()) + " didDisconnect, withError: " + renderOptionalErrorPlain(error));
    if (!socket) return;  // closed by its own destruction: its entry is already gone
    if (socket == tcpSocket_->tcpSocket()) {
        debug("Server disconnecting its own listening TCP Socket");
        return;
    }
    for (auto it = connections_.begin(); it != connections_.end(); ++it) {
        if (it->second.socket->tcpSocket() == socket) {
            connections_.erase(it);
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
    debug("UDP Socket: " + describe(socket) + " didNotConnect, dueToError: " + renderOptionalError(error));
}

void OSCServer::udpSocketDidSend(QueueUdpSocket& socket, std::int64_t tag) {
    debug("UDP Socket: " + describe(socket) + " didSendDataWithTag: " + std::to_string(tag));
}

void OSCServer::udpSocketDidNotSend(QueueUdpSocket& socket, std::int64_t tag, const SocketError& error) {
    debug("UDP Socket: " + describe(socket) + " didNotSendDataWithTag: " + std::to_string(tag) +
          ", dueToError: " + renderOptionalError(error));
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
        debug("Error: Unrecognized data " + renderBytes(data.size()));
    } else {
        debug("Other error: " + std::string(oscParserErrorName(*failure)));
    }
}

void OSCServer::udpSocketDidClose(QueueUdpSocket& socket, const std::optional<SocketError>& error) {
    debug("UDP Socket: " + describe(socket) + " Did Close. With Error: " + renderOptionalError(error));
}

}  // namespace pavonix::osc
