#include "osc/osc_socket.h"

#include <utility>

namespace pavonix::osc {

using sockets::SocketError;

bool oscBroadcastFlag(const std::vector<sockets::Interface>& interfaces, std::string_view interface,
                      const std::optional<std::string>& host) {
    for (const auto& entry : interfaces) {
        if (entry.name() != interface) continue;
        const auto& broadcast = entry.broadcastAddress();
        if (host && (host == broadcast || *host == "255.255.255.255")) return true;
        if (!host && !broadcast) return true;
    }
    return false;
}

OSCSocket::OSCSocket(std::shared_ptr<sockets::QueueTcpSocket> socket) : tcp_(std::move(socket)) {}

OSCSocket::OSCSocket(std::shared_ptr<sockets::QueueUdpSocket> socket) : udp_(std::move(socket)) {}

OSCSocket::OSCSocket(std::function<std::shared_ptr<sockets::QueueUdpSocket>()> makeSocket)
    : makeUDP_(std::move(makeSocket)) {}

const std::shared_ptr<sockets::QueueUdpSocket>& OSCSocket::udpSocket() const {
    if (!udp_ && makeUDP_) {
        udp_ = makeUDP_();
        makeUDP_ = nullptr;
    }
    return udp_;
}

OSCSocket::~OSCSocket() {
    if (tcp_) {
        tcp_->setDelegate({});
        tcp_->disconnect();
    }
    if (udp_) udp_->setDelegate({});
}

bool OSCSocket::isConnected() const {
    if (tcp_) return tcp_->isConnected();
    return udp_ && udp_->isConnected();  // an unmade reply socket is not connected
}

void OSCSocket::debug(const std::string& line) const {
    if (auto receiver = delegate.lock()) receiver->handleDebugMessage(line);
}

bool OSCSocket::startListening(SocketError* error) {
    if (tcp_) {
        if (interface) {
            debug("TCP Socket - Start Listening on Interface: " + *interface + ", withPort: " + std::to_string(port));
            return tcp_->acceptOnInterface(*interface, port, error);
        }
        debug("TCP Socket - Start Listening on Port: " + std::to_string(port));
        return tcp_->acceptOnPort(port, error);
    }
    if (!udpSocket()) return true;
    if (interface) {
        debug("UDP Socket - Start Listening on Interface: " + *interface + ", withPort: " + std::to_string(port));
    } else {
        debug("UDP Socket - Start Listening on Port: " + std::to_string(port));
    }
    return udp_->bindToPort(port, interface, error) && udp_->beginReceiving(error);
}

bool OSCSocket::startListening(const std::vector<std::string>& groups, SocketError* error) {
    if (!udpSocket()) return true;
    debug("UDP Socket - Start Listening on Port: " + std::to_string(port));
    if (!udp_->bindToPort(port, error) || !udp_->beginReceiving(error)) return false;
    for (const auto& group : groups) {
        if (!udp_->joinMulticastGroup(group, interface, error)) return false;
        debug("UDP Socket - Joined Multicast Group: " + group);
    }
    return true;
}

bool OSCSocket::joinMulticast(const std::string& group, SocketError* error) {
    if (!udpSocket()) return true;
    if (!udp_->joinMulticastGroup(group, interface, error)) return false;
    debug("UDP Socket - Joined Multicast Group: " + group);
    return true;
}

bool OSCSocket::leaveMulticast(const std::string& group, SocketError* error) {
    if (!udpSocket()) return true;
    if (!udp_->leaveMulticastGroup(group, interface, error)) return false;
    debug("UDP Socket - Left Multicast Group: " + group);
    return true;
}

void OSCSocket::stopListening() {
    if (tcp_) {
        // A listening socket has nothing to write, so this is the disconnect after pending writes,
        // done at once so that the descriptors' close (see below) is queued before the next block.
        tcp_->disconnect();
        tcp_->performBlock([] {});
        debug("TCP Socket - Stop Listening)");
    } else if (udp_) {
        udp_->close();
        // The descriptors close in the sources' cancel handlers, queued on the socket queue by
        // close(): once a block after them has run, the port is free for the next bind.
        udp_->performBlock([] {});
        debug("UDP Socket - Stop Listening)");
    }
}

bool OSCSocket::connect(SocketError* error) {
    if (!tcp_ || !host) return true;
    return tcp_->connectToHost(*host, port, -1, interface.value_or(""), error);
}

void OSCSocket::disconnect() {
    if (tcp_) tcp_->disconnect();
}

bool OSCSocket::reusePort(bool flag, SocketError* error) { return !udpSocket() || udp_->enableReusePort(flag, error); }

void OSCSocket::sendTCP(const OSCPacket& packet, OSCTCPStreamFraming framing) {
    if (!tcp_) return;
    const auto bytes = packet.packetData();
    if (bytes.empty()) return;
    auto framed = oscFramedPacket(bytes, framing);
    const auto length = static_cast<std::int64_t>(framed.size());
    tcp_->writeData(std::move(framed), kTimeout, length);
}

void OSCSocket::sendUDP(const OSCPacket& packet) {
    if (!udpSocket()) return;
    if (interface) {
        const bool broadcast = oscBroadcastFlag(sockets::Interface::allInterfaces(), *interface, host);
        if (!udp_->enableBroadcast(broadcast)) {
            debug(std::string("Could not ") + (broadcast ? "Enable" : "Disable") + " the broadcast flag on UDP Socket.");
        }
        if (!udp_->bindToPort(0, interface)) debug("Warning: " + description() + " unable to bind interface");
    }
    if (!host) return;
    udp_->sendData(packet.packetData(), *host, port, kTimeout, 0);
    udp_->closeAfterSending();
}

std::string OSCSocket::description() const {
    const std::string place = (host ? *host : std::string("No Host")) + ":" + std::to_string(port);
    if (tcp_) return "TCP Socket " + place + " isConnected = " + (tcp_->isConnected() ? "true" : "false");
    return "UDP Socket " + place;
}

}  // namespace pavonix::osc
