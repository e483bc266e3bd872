#include "osc/osc_client.h"

#include <utility>

#include "osc/osc_server.h"

namespace pavonix::osc {

using sockets::QueueTcpSocket;
using sockets::QueueTcpSocketPtr;
using sockets::QueueUdpSocket;
using sockets::SocketError;

std::shared_ptr<OSCClient> OSCClient::make() { return std::make_shared<OSCClient>(Token{}); }

void OSCClient::debug(const std::string& line) const {
    if (auto receiver = debugDelegate.lock()) receiver->handleDebugMessage(line);
}

std::string OSCClient::describe() const { return socket_ ? socket_->description() : "No Socket"; }

void OSCClient::setUseTCP(bool useTCP) {
    useTCP_ = useTCP;
    destroySocket();
}

void OSCClient::setInterface(const std::string& interface) {
    interface_ = interface.empty() ? std::nullopt : std::optional<std::string>(interface);
    if (socket_) socket_->interface = interface_;
}

void OSCClient::setHost(const std::string& host) {
    host_ = host.empty() ? std::nullopt : std::optional<std::string>(host);
    if (socket_) socket_->host = host_;
}

void OSCClient::setPort(std::uint16_t port) {
    port_ = port;
    if (socket_) socket_->port = port;
}

void OSCClient::createSocket() {
    auto self = weak_from_this();
    if (useTCP_) {
        socket_ = std::make_shared<OSCSocket>(QueueTcpSocket::create(self, dispatch::mainQueue()));
        readState_ = OSCStreamState{socket_};
    } else {
        socket_ = std::make_shared<OSCSocket>(QueueUdpSocket::make(self, dispatch::mainQueue()));
    }
    socket_->interface = interface_;
    socket_->host = host_;
    socket_->port = port_;
}

void OSCClient::destroySocket() {
    readState_ = OSCStreamState{};
    if (socket_) socket_->disconnect();
    socket_.reset();
}

void OSCClient::resetStream() {
    readData_.clear();
    readState_.danglingESC = false;
    readState_.discardingFrame = false;
}

bool OSCClient::connect(SocketError* error) {
    if (!socket_) createSocket();
    if (!socket_->connect(error)) return false;
    if (useTCP_) socket_->tcpSocket()->readData(-1, 0);
    return true;
}

void OSCClient::disconnect() {
    if (socket_) socket_->disconnect();
    resetStream();
}

void OSCClient::send(const OSCPacket& packet) {
    if (!socket_) {
        createSocket();
        if (!socket_->connect()) {
            debug("Could not send establish connection to send packet.");
        } else if (useTCP_) {
            socket_->tcpSocket()->readData(-1, 0);
        }
    }
    if (useTCP_) {
        socket_->tcpSocket()->readData(-1, 0);
        socket_->sendTCP(packet, streamFraming);
    } else {
        socket_->sendUDP(packet);
    }
}

// ---- Reports ------------------------------------------------------------------------------------

void OSCClient::socketDidConnectToHost(const QueueTcpSocketPtr&, const std::string& host, std::uint16_t port) {
    debug("Client Socket: " + describe() + " didConnectToHost: " + host + ":" + std::to_string(port));
    if (auto receiver = delegate.lock()) receiver->clientDidConnect(*this);
}

void OSCClient::socketDidReadData(const QueueTcpSocketPtr& socket, const sockets::ReadData& data, std::int64_t tag) {
    debug("Client Socket: " + describe() + " didRead Data of length: " + std::to_string(data.size()) +
          ", withTag: " + std::to_string(tag));
    auto receiver = delegate.lock();
    if (!receiver) return;
    if (auto failure = OSCParser().translate(data.view(), streamFraming, readData_, readState_, *receiver)) {
        debug("Error: " + std::string(oscParserErrorName(*failure)));
        return;  // read again only when the next connect or send asks
    }
    socket->readData(-1, tag);
}

void OSCClient::socketDidWriteData(const QueueTcpSocketPtr&, std::int64_t tag) {
    debug("Client Socket: " + describe() + " didWriteDataWithTag: " + std::to_string(tag));
}

void OSCClient::socketDidCloseReadStream(const QueueTcpSocketPtr&) {
    debug("Client Socket: " + describe() + " didCloseReadStream");
    resetStream();
}

void OSCClient::socketDidDisconnect(const QueueTcpSocketPtr&, const std::optional<SocketError>& error) {
    debug("Client Socket: " + describe() + " didDisconnect, withError: " + renderOptionalErrorPlain(error));
    resetStream();
    if (auto receiver = delegate.lock()) receiver->clientDidDisconnect(*this);
}

void OSCClient::udpSocketDidSend(QueueUdpSocket&, std::int64_t tag) {
    debug("UDP Socket: " + describe() + " didSendDataWithTag: " + std::to_string(tag));
}

void OSCClient::udpSocketDidNotSend(QueueUdpSocket&, std::int64_t tag, const SocketError& error) {
    debug("UDP Socket: " + describe() + " didNotSendDataWithTag: " + std::to_string(tag) +
          ", dueToError: " + renderOptionalError(error));
}

void OSCClient::udpSocketDidClose(QueueUdpSocket&, const std::optional<SocketError>& error) {
    debug("UDP Socket: " + describe() + " Did Close. With Error: " + renderOptionalError(error));
}

}  // namespace pavonix::osc
