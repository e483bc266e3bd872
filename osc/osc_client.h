// The sending side of the OSC library: packets to one host and port over UDP or TCP (framed), and,
// over TCP, whatever the peer sends back parsed for the delegate. The program itself makes no
// client; it is part of the library for other users of it.
//
// Threads: socket reports arrive on the main queue; use the client from the main thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "osc/osc_packet.h"
#include "osc/osc_parser.h"
#include "osc/osc_socket.h"
#include "sockets/queue_tcp_socket.h"
#include "sockets/queue_udp_socket.h"

namespace pavonix::osc {

class OSCClient;

// Connection notices, and the packets a TCP peer sends back.
class OSCClientDelegate : public OSCPacketDestination {
public:
    virtual void clientDidConnect(OSCClient& client) = 0;
    virtual void clientDidDisconnect(OSCClient& client) = 0;
};

class OSCClient : public sockets::QueueTcpSocketDelegate,
                  public sockets::QueueUdpSocketDelegate,
                  public std::enable_shared_from_this<OSCClient> {
    struct Token {};

public:
    static std::shared_ptr<OSCClient> make();
    explicit OSCClient(Token) {}

    std::shared_ptr<void> userData;
    std::weak_ptr<OSCClientDelegate> delegate;
    std::weak_ptr<OSCDebugDelegate> debugDelegate;
    OSCTCPStreamFraming streamFraming = OSCTCPStreamFraming::SLIP;

    bool isConnected() const { return socket_ && socket_->isConnected(); }
    bool useTCP() const { return useTCP_; }
    // Drops the current socket: the next connect or send makes one of the other kind.
    void setUseTCP(bool useTCP);
    const std::optional<std::string>& interface() const { return interface_; }
    // An empty text means none; the current socket takes the new value at once, as do host and port.
    void setInterface(const std::string& interface);
    const std::optional<std::string>& host() const { return host_; }
    void setHost(const std::string& host);
    std::uint16_t port() const { return port_; }
    void setPort(std::uint16_t port);

    // Makes the socket when there is none and connects it (TCP); over TCP a read follows.
    bool connect(sockets::SocketError* error = nullptr);
    void disconnect();
    // Makes and connects the socket on first use; connection failures become debug lines.
    void send(const OSCPacket& packet);

    // ---- Socket reports (main queue) ----
    void socketDidConnectToHost(const sockets::QueueTcpSocketPtr& socket, const std::string& host,
                                std::uint16_t port) override;
    void socketDidReadData(const sockets::QueueTcpSocketPtr& socket, const sockets::ReadData& data,
                           std::int64_t tag) override;
    void socketDidWriteData(const sockets::QueueTcpSocketPtr& socket, std::int64_t tag) override;
    void socketDidCloseReadStream(const sockets::QueueTcpSocketPtr& socket) override;
    void socketDidDisconnect(const sockets::QueueTcpSocketPtr& socket,
                             const std::optional<sockets::SocketError>& error) override;
    void udpSocketDidSend(sockets::QueueUdpSocket& socket, std::int64_t tag) override;
    void udpSocketDidNotSend(sockets::QueueUdpSocket& socket, std::int64_t tag,
                             const sockets::SocketError& error) override;
    void udpSocketDidClose(sockets::QueueUdpSocket& socket, const std::optional<sockets::SocketError>& error) override;

private:
    void createSocket();
    void destroySocket();
    void resetStream();
    void debug(const std::string& line) const;
    std::string describe() const;

    std::shared_ptr<OSCSocket> socket_;
    OSCFrameBuffer readData_;
    OSCStreamState readState_;
    bool useTCP_ = false;
    std::optional<std::string> interface_;
    std::optional<std::string> host_{"localhost"};
    std::uint16_t port_ = 24601;
};

}  // namespace pavonix::osc
