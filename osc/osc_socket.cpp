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

OSCSocket::OSCSocket(std::shared_ptr<sockets::QueueUdpSocket> socket) : udp_(std::move(socket)) {}

OSCSocket::~OSCSocket() {
    if (udp_) udp_->setDelegate({});
}

bool OSCSocket::isConnected() const { return udp_ && udp_->isConnected(); }

void OSCSocket::debug(const std::string& line) const {
    if (auto receiver = delegate.lock()) receiver->handleDebugMessage(line);
}

bool OSCSocket::startListening(SocketError* error) {
    if (!udp_) return true;
    if (interface) {
        debug("UDP Socket - Start Listening on Interface: " + *interface + ", withPort: " + std::to_string(port));
    } else {
        debug("UDP Socket - Start Listening on Port: " + std::to_string(port));
    }
    return udp_->bindToPort(port, interface, error) && udp_->beginReceiving(error);
}

bool OSCSocket::startListening(const std::vector<std::string>& groups, SocketError* error) {
    if (!udp_) return true;
    debug("UDP Socket - Start Listening on Port: " + std::to_string(port));
    if (!udp_->bindToPort(port, error) || !udp_->beginReceiving(error)) return false;
    for (const auto& group : groups) {
        if (!udp_->joinMulticastGroup(group, interface, error)) return false;
        debug("UDP Socket - Joined Multicast Group: " + group);
    }
    return true;
}

bool OSCSocket::joinMulticast(const std::string& group, SocketError* error) {
    if (!udp_) return true;
    if (!udp_->joinMulticastGroup(group, interface, error)) return false;
    debug("UDP Socket - Joined Multicast Group: " + group);
    return true;
}

bool OSCSocket::leaveMulticast(const std::string& group, SocketError* error) {
    if (!udp_) return true;
    if (!udp_->leaveMulticastGroup(group, interface, error)) return false;
    debug("UDP Socket - Left Multicast Group: " + group);
    return true;
}

void OSCSocket::stopListening() {
    if (udp_) {
        udp_->close();
        // The descriptors close in the sources' cancel handlers, queued on the socket queue by
        // close(): once a block after them has run, the port is free for the next bind.
        udp_->performBlock([] {});
        debug("UDP Socket - Stop Listening)");
    }
}

bool OSCSocket::connect(SocketError*) { return true; }

void OSCSocket::disconnect() {}

bool OSCSocket::reusePort(bool flag, SocketError* error) { return !udp_ || udp_->enableReusePort(flag, error); }

void OSCSocket::sendTCP(const OSCPacket&, OSCTCPStreamFraming) {}

void OSCSocket::sendUDP(const OSCPacket& packet) {
    if (!udp_) return;
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
    return "UDP Socket " + place;
}

}  // namespace pavonix::osc
