#include "osc/osc_server.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "sockets/socket_address.h"

namespace pavonix::osc {

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

std::shared_ptr<OSCServer> OSCServer::make(dispatch::QueuePtr queue) {
    auto server = std::make_shared<OSCServer>(Token{}, queue ? std::move(queue) : dispatch::mainQueue());
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

void OSCServer::debug(const std::string& line) const {
    if (auto receiver = debugDelegate.lock()) receiver->handleDebugMessage(line);
}

std::string OSCServer::describe(const QueueUdpSocket& socket) const { return "QueueUdpSocket " + objectText(&socket); }

// ---- Configuration ------------------------------------------------------------------------------

void OSCServer::stopAndHandOn() {
    for (const auto& group : joinedMulticastGroups_) {
        SocketError error;
        if (!udpSocket_->leaveMulticast(group, &error)) debug(error.description);
    }
    udpSocket_->stopListening();
}

void OSCServer::setInterface(const std::string& interface) {
    stopAndHandOn();
    udpSocket_->interface = interface.empty() ? std::nullopt : std::optional<std::string>(interface);
    interface_ = interface;
}

void OSCServer::setPort(std::uint16_t port) {
    stopAndHandOn();
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
    if (!udpSocket_->startListening(&error)) {
        debug(error.description);
        return error;
    }
    return std::nullopt;
}

void OSCServer::stopListening() { stopAndHandOn(); }

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
    if (auto receiver = debugDelegate.lock()) {
        receiver->handleDebugMessage("UDP Socket: " + describe(socket) + " didReceiveData of Length: " +
                                     std::to_string(data.size()) + ", fromAddress " + renderBytes(address.size()));
    }
    auto destination = delegate.lock();
    if (!destination) return;
    // A reply goes back to the sender's host on the server's own port, as OSC peers expect.
    auto reply = std::make_shared<OSCSocket>(QueueUdpSocket::make(weak_from_this(), dispatch::mainQueue()));
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
