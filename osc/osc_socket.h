// One TCP or UDP socket of the OSC library together with the address it listens on or talks to:
// the server's listening sockets, its accepted connections and reply sockets, and the client's
// transport all speak through it. It never receives; received bytes go to the delegate of the
// wrapped socket (the server or the client).
//
// Thread-safe as far as the wrapped sockets are: the wrapper keeps no lock, so its own fields are
// set by one owner (the server or client) before the socket is shared.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "osc/osc_packet.h"
#include "osc/osc_parser.h"
#include "sockets/interface.h"
#include "sockets/queue_tcp_socket.h"
#include "sockets/queue_udp_socket.h"

namespace pavonix::osc {

// Whether a datagram from `interface` to `host` goes out as a broadcast: when one of the entries
// named `interface` has `host` as its broadcast address, when `host` is "255.255.255.255", or when
// neither host nor broadcast address is known.
bool oscBroadcastFlag(const std::vector<sockets::Interface>& interfaces, std::string_view interface,
                      const std::optional<std::string>& host);

class OSCSocket {
public:
    // Every write and send gives up after this long.
    static constexpr double kTimeout = 3.0;

    explicit OSCSocket(std::shared_ptr<sockets::QueueTcpSocket> socket);
    explicit OSCSocket(std::shared_ptr<sockets::QueueUdpSocket> socket);
    // A UDP wrapper whose socket is made by `makeSocket` when it is first used: a reply socket
    // attached to every received datagram costs nothing unless someone replies.
    explicit OSCSocket(std::function<std::shared_ptr<sockets::QueueUdpSocket>()> makeSocket);
    // Detaches the wrapped socket from its delegate; a TCP socket is disconnected.
    ~OSCSocket();
    OSCSocket(const OSCSocket&) = delete;
    OSCSocket& operator=(const OSCSocket&) = delete;

    const std::shared_ptr<sockets::QueueTcpSocket>& tcpSocket() const { return tcp_; }
    const std::shared_ptr<sockets::QueueUdpSocket>& udpSocket() const;
    bool isTCPSocket() const { return tcp_ != nullptr; }
    bool isUDPSocket() const { return tcp_ == nullptr; }
    bool isConnected() const;

    // An interface name or one of its addresses; absent: every interface.
    std::optional<std::string> interface;
    std::optional<std::string> host{"localhost"};
    std::uint16_t port = 0;
    std::weak_ptr<OSCDebugDelegate> delegate;

    // Listens (TCP) or binds and receives (UDP) on `port`; false with the socket's error.
    bool startListening(sockets::SocketError* error = nullptr);
    // UDP: binds `port` on every interface, receives, then joins each group in order; the first
    // failure ends it and the groups joined before stay joined. TCP: nothing.
    bool startListening(const std::vector<std::string>& groups, sockets::SocketError* error = nullptr);
    bool joinMulticast(const std::string& group, sockets::SocketError* error = nullptr);
    bool leaveMulticast(const std::string& group, sockets::SocketError* error = nullptr);
    // TCP: disconnects once pending writes are out. UDP: closes. The port is free when this returns.
    void stopListening();
    // TCP with a host: connects without a time-out; false when it cannot start.
    bool connect(sockets::SocketError* error = nullptr);
    void disconnect();
    bool reusePort(bool flag, sockets::SocketError* error = nullptr);

    // Empty packets are not sent. TCP writes the framed packet with its length as the tag.
    void sendTCP(const OSCPacket& packet, OSCTCPStreamFraming framing);
    // One datagram to host:port, then the socket closes: a UDP wrapper sends once.
    void sendUDP(const OSCPacket& packet);

    // "TCP Socket localhost:9000 isConnected = false", "UDP Socket No Host:0".
    std::string description() const;

private:
    void debug(const std::string& line) const;

    std::shared_ptr<sockets::QueueTcpSocket> tcp_;
    // Made on first use when a maker is given; the owner uses the wrapper from one thread at a time.
    mutable std::shared_ptr<sockets::QueueUdpSocket> udp_;
    mutable std::function<std::shared_ptr<sockets::QueueUdpSocket>()> makeUDP_;
};

}  // namespace pavonix::osc
