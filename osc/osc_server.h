// The receiving side of the OSC library: one UDP socket and one TCP socket on the same port. Every
// datagram and every framed packet of every accepted TCP connection is parsed and handed whole to
// the packet destination; everything the server observes is told to the debug delegate as one line
// of text. What TCP peers can hold is bounded (OSCServerLimits): the connections open at once, those
// of one address group, and the bytes of unfinished frames. A controller may stay quiet for as long
// as its presenter talks: no timer closes a connection, and keep-alive probes find peers that
// vanished without a close.
//
// Threads: the socket reports, the parsing and both receivers run on the delegate queue given at
// construction, one at a time; the connection table lives there. Starting, stopping and the
// setters run on the caller's thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "osc/osc_packet.h"
#include "osc/osc_parser.h"
#include "osc/osc_socket.h"
#include "platform/dispatch/dispatch.h"
#include "platform/net/endpoint.h"
#include "sockets/queue_tcp_socket.h"
#include "sockets/queue_udp_socket.h"

namespace pavonix::osc {

// Bounds on what TCP peers can make the server hold, so that idle or stalling peers cannot lock
// others out or fill the memory.
struct OSCServerLimits {
    // Open at once. At the cap a newcomer closes a connection of the address group holding the
    // most, within it of the address holding the most: one that never delivered a complete packet,
    // else the one idle the longest.
    std::size_t maxConnections = 256;
    // Open at once from one address group (net::addressGroup: an IPv4 address, an IPv6 /64, all
    // of loopback), so that a party with many addresses cannot take every place. A newcomer past
    // it closes one of its own group's, picked as above.
    std::size_t maxConnectionsPerGroup = 32;
    // Bytes held for unfinished frames by all connections together, counted as the room their
    // buffers take; past it, the connection holding the most is closed.
    std::size_t maxUnfinishedBytes = std::size_t{16} << 20;
};

class OSCServer : public sockets::QueueTcpSocketDelegate,
                  public sockets::QueueUdpSocketDelegate,
                  public std::enable_shared_from_this<OSCServer> {
    struct Token {};

public:
    // `queue` is the delegate queue of both sockets; null means the main queue.
    static std::shared_ptr<OSCServer> make(dispatch::QueuePtr queue = nullptr, OSCServerLimits limits = {});
    OSCServer(Token, dispatch::QueuePtr queue, OSCServerLimits limits);
    // Leaves the joined groups and stops listening.
    ~OSCServer() override;
    OSCServer(const OSCServer&) = delete;
    OSCServer& operator=(const OSCServer&) = delete;

    // Each setter stops the server first and leaves it stopped.
    const std::string& interface() const { return interface_; }
    void setInterface(const std::string& interface);
    std::uint16_t port() const { return port_; }
    void setPort(std::uint16_t port);
    bool reusePort() const { return reusePort_; }
    void setReusePort(bool flag);

    // Held weakly: the receivers usually own the server.
    std::weak_ptr<OSCPacketDestination> delegate;
    std::weak_ptr<OSCDebugDelegate> debugDelegate;
    // With SLIP, a connection whose first byte is 0 is read as length-prefixed instead: no OSC
    // packet or SLIP frame starts with 0, while a length prefix under 16 MiB always does. Common
    // senders (liblo's oscsend among them) frame TCP that way.
    OSCTCPStreamFraming streamFraming = OSCTCPStreamFraming::SLIP;
    // The address group a peer host's connections count in (see OSCServerLimits); set before
    // listening. Tests give loopback hosts groups of their own.
    std::function<std::string(const std::string& host)> addressGroupOf = net::addressGroup;

    // TCP, then UDP. A failure becomes a debug line; it is also answered, so that the owner can
    // tell a server that listens from one that does not.
    std::optional<sockets::SocketError> startListening();
    // Stops TCP, leaves the joined groups, closes UDP, and closes the accepted connections too, so
    // that a stopped server hears nobody. The port is free when this returns.
    void stopListening();
    // UDP alone, joining each group.
    bool startListening(const std::vector<std::string>& groups, sockets::SocketError* error = nullptr);
    bool joinMulticast(const std::string& group, sockets::SocketError* error = nullptr);
    bool leaveMulticast(const std::string& group, sockets::SocketError* error = nullptr);

    const std::shared_ptr<OSCSocket>& tcpSocket() const { return tcpSocket_; }
    const std::shared_ptr<OSCSocket>& udpSocket() const { return udpSocket_; }
    // The UDP port actually bound (port 0 picks one); 0 when not listening.
    std::uint16_t boundUDPPort() const;
    // Accepted connections that are still open, and the bytes their unfinished frames hold (read
    // on the delegate queue).
    std::size_t connectionCount() const;
    std::size_t unfinishedBytes() const;

    // ---- TCP socket reports (delegate queue) ----
    void socketDidAcceptNewSocket(const sockets::QueueTcpSocketPtr& listener,
                                  const sockets::QueueTcpSocketPtr& newSocket) override;
    void socketDidConnectToHost(const sockets::QueueTcpSocketPtr& socket, const std::string& host,
                                std::uint16_t port) override;
    void socketDidReadData(const sockets::QueueTcpSocketPtr& socket, const sockets::ReadData& data,
                           std::int64_t tag) override;
    void socketDidReadPartialData(const sockets::QueueTcpSocketPtr& socket, std::size_t length,
                                  std::int64_t tag) override;
    void socketDidWriteData(const sockets::QueueTcpSocketPtr& socket, std::int64_t tag) override;
    void socketDidWritePartialData(const sockets::QueueTcpSocketPtr& socket, std::size_t length,
                                   std::int64_t tag) override;
    double shouldTimeoutRead(const sockets::QueueTcpSocketPtr& socket, std::int64_t tag, double elapsed,
                             std::size_t bytesDone) override;
    double shouldTimeoutWrite(const sockets::QueueTcpSocketPtr& socket, std::int64_t tag, double elapsed,
                              std::size_t bytesDone) override;
    void socketDidCloseReadStream(const sockets::QueueTcpSocketPtr& socket) override;
    void socketDidDisconnect(const sockets::QueueTcpSocketPtr& socket,
                             const std::optional<sockets::SocketError>& error) override;
    void socketDidSecure(const sockets::QueueTcpSocketPtr& socket) override;

    // ---- UDP socket reports (delegate queue) ----
    void udpSocketDidConnect(sockets::QueueUdpSocket& socket, const Bytes& address) override;
    void udpSocketDidNotConnect(sockets::QueueUdpSocket& socket, const sockets::SocketError& error) override;
    void udpSocketDidSend(sockets::QueueUdpSocket& socket, std::int64_t tag) override;
    void udpSocketDidNotSend(sockets::QueueUdpSocket& socket, std::int64_t tag,
                             const sockets::SocketError& error) override;
    void udpSocketDidReceive(sockets::QueueUdpSocket& socket, const Bytes& data, const Bytes& address,
                             const std::any& filterContext) override;
    void udpSocketDidClose(sockets::QueueUdpSocket& socket, const std::optional<sockets::SocketError>& error) override;

private:
    // One accepted connection: its wrapper, its not yet parsed bytes and its framing state.
    struct Connection {
        std::shared_ptr<OSCSocket> socket;
        std::string group;  // the peer's address group
        std::string host;   // the peer's address
        OSCFrameBuffer buffer;
        OSCStreamState state;
        std::optional<OSCTCPStreamFraming> framing;  // decided by the first byte read
        bool delivered = false;                      // a complete packet came
        std::list<std::int64_t>::iterator idlePlace;
        std::size_t heldBytes = 0;  // the room `buffer` takes, as counted in unfinishedBytes_
    };
    using Connections = std::map<std::int64_t, Connection>;

    void stopAndHandOn();
    void closeConnections();
    // Takes the connection out of the table and closes it without a report back.
    void closeConnection(Connections::iterator connection, const std::string& why);
    void forgetConnection(Connections::iterator connection);
    // The connection a newcomer replaces: one of `group` when given, else of any group.
    Connections::iterator evictionPick(const std::string* group);
    void noteHeldBytes(Connection& connection);
    // Closes the connections holding the most until the unfinished frames fit the bound again.
    void enforceUnfinishedBytes();
    // Runs `work` on the delegate queue and waits for it (inline when already there).
    void onQueue(const dispatch::Block& work) const;
    void debug(const std::string& line, OSCDebugLineKind kind = OSCDebugLineKind::trace) const;
    std::shared_ptr<OSCDebugDelegate> trafficReceiver() const;
    std::string describe(const sockets::QueueUdpSocket& socket) const;
    std::string describe(const sockets::QueueTcpSocket* socket) const;

    const dispatch::QueuePtr queue_;
    const OSCServerLimits limits_;
    std::shared_ptr<OSCSocket> tcpSocket_;
    std::shared_ptr<OSCSocket> udpSocket_;
    // Delegate queue only.
    Connections connections_;
    std::list<std::int64_t> idleOrder_;  // connection numbers, the one idle the longest first
    std::unordered_map<std::string, std::size_t> groupConnections_;  // open connections by address group
    std::unordered_map<std::string, std::size_t> hostConnections_;   // and by address
    std::size_t unfinishedBytes_ = 0;
    std::int64_t activeIndex_ = 0;
    std::vector<std::string> joinedMulticastGroups_;
    std::string interface_ = "localhost";
    std::uint16_t port_ = 0;
    bool reusePort_ = false;
};

// "nil", or "Optional(\"<description>\")": how an optional socket error shows in a debug line.
std::string renderOptionalError(const std::optional<sockets::SocketError>& error);
// "nil", or "Optional(<description>)": the same in a disconnect line.
std::string renderOptionalErrorPlain(const std::optional<sockets::SocketError>& error);

}  // namespace pavonix::osc
