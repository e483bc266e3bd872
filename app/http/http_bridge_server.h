// The program's HTTP/1.1 server: one request per connection, one reply, then the connection
// closes.
//
// Threads: the listener, the connections, the parser, authentication and routing run on the
// server's serial queue; the model's handlers run on the main thread (MainExecutor); replies are
// written back on the server's queue. Status reports reach the main thread as tasks of their own,
// each carrying the server's id so that the model can ignore a server it has already replaced.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include "app/core/bridge_server_status.h"
#include "app/http/http_request_authenticator.h"
#include "app/http/http_request_parser.h"
#include "app/http/http_routes.h"
#include "platform/dispatch/dispatch.h"
#include "platform/net/listener.h"

namespace pavonix::http {

class HTTPBridgeServerError : public std::runtime_error {
public:
    enum class Kind { startFailed, invalidPort };
    static HTTPBridgeServerError startFailed(const std::string& text) { return {Kind::startFailed, text}; }
    static HTTPBridgeServerError invalidPort() { return {Kind::invalidPort, "Invalid HTTP port."}; }

    Kind kind() const { return kind_; }
    std::string description() const { return what(); }

private:
    HTTPBridgeServerError(Kind kind, const std::string& text) : std::runtime_error(text), kind_(kind) {}
    Kind kind_;
};

// Bounds on what one peer can make the server hold. Real clients send their head in one packet,
// so the head gets a shorter time than a body.
struct HTTPServerLimits {
    HTTPParseLimits parse;                                               // 64 KiB head, 1 MiB body
    std::chrono::milliseconds headTimeout = std::chrono::seconds(10);      // from accept to a complete head
    std::chrono::milliseconds bodyIdleTimeout = std::chrono::seconds(10);  // between two reads of a missing body
    std::chrono::milliseconds requestTimeout = std::chrono::seconds(30);   // from accept to a complete request
    std::chrono::milliseconds replyTimeout = std::chrono::seconds(30);     // to write the reply out
    // Body bytes of unfinished requests, all connections together. Past it the connection that
    // holds the most is closed, so that stalled uploads cannot pile up one body limit each.
    std::size_t maxUnfinishedBodyBytes = 16 * 1024 * 1024;
    // Open at once. At the cap a new connection takes the place of one of the group (below) that
    // holds the most: its oldest connection that has been answered and only drains, else its
    // oldest whose request is still unfinished (head or body), else its oldest whose reply is
    // still being written, so that idle or stalling peers cannot lock others out. Requests being
    // handled keep their places; when every place is busy with one, the new connection is closed.
    std::size_t maxConnections = 256;
    // Open at once from one group of peers: one IPv4 address, one IPv6 /64, or all of loopback
    // (net::addressGroup). A group's newcomer past it takes the place of the group's own oldest,
    // in the order above, so that one host flooding heads turns over only its own places.
    std::size_t maxConnectionsPerGroup = 32;
};

struct HTTPBridgeServerConfiguration {
    std::uint16_t port = 8090;                 // 0 picks a free port (tests); see boundPort()
    std::optional<std::string> listenAddress;  // numeric IPv4; absent: every interface
    std::string listenDisplayName = "all interfaces";
    HTTPServerLimits limits;
    // The name Host headers may give this machine besides IP literals and localhost (see
    // isCrossSiteRequest); absent: the kernel's host name at each request.
    std::optional<std::string> machineHostName;
};

// serverID is the reporting server's id(); states and texts as in BridgeServerStatus.
using HTTPStatusHandler = std::function<void(std::uint64_t serverID, BridgeServerStatus status)>;

class HTTPBridgeServer : public std::enable_shared_from_this<HTTPBridgeServer> {
public:
    static std::shared_ptr<HTTPBridgeServer> make(HTTPBridgeServerConfiguration configuration,
                                                  HTTPBridgeHandlers handlers, HTTPStatusHandler statusHandler,
                                                  std::shared_ptr<HTTPRequestAuthenticator> authenticator,
                                                  dispatch::QueuePtr queue);
    ~HTTPBridgeServer();

    HTTPBridgeServer(const HTTPBridgeServer&) = delete;
    HTTPBridgeServer& operator=(const HTTPBridgeServer&) = delete;

    // Starts listening; the outcome arrives as status reports. Throws HTTPBridgeServerError. A
    // second start while listening does nothing.
    void start();
    // Stops listening and reports "Stopped". The port is free again when this returns; open
    // connections finish their one exchange.
    void stop();

    // Unique within the process, increasing with every server made.
    std::uint64_t id() const { return id_; }
    // The port listened on (useful with port 0), 0 when not listening.
    std::uint16_t boundPort() const;
    // Connections accepted and not yet closed. On the server's queue, or for tests.
    std::size_t openConnectionCount() const { return openConnections_.load(); }
    // Body bytes held for unfinished requests, all connections together. For tests.
    std::size_t unfinishedBodyBytes() const { return unfinishedBodyBytes_.load(); }

private:
    HTTPBridgeServer(HTTPBridgeServerConfiguration configuration, HTTPBridgeHandlers handlers,
                     HTTPStatusHandler statusHandler, std::shared_ptr<HTTPRequestAuthenticator> authenticator,
                     dispatch::QueuePtr queue);

    void handleListenerState(const net::ListenerPtr& listener, net::Listener::State state, std::error_code error);
    void accept(net::ConnectionPtr connection);
    // One connection's single exchange; defined in the .cpp.
    struct Exchange;
    using ExchangePtr = std::shared_ptr<Exchange>;
    using ExchangeList = std::list<ExchangePtr>;

    static void receive(const std::weak_ptr<HTTPBridgeServer>& server, const ExchangePtr& exchange);
    bool admit(const ExchangePtr& exchange);
    void route(HTTPRequest request, const ExchangePtr& exchange);
    void send(const HTTPReply& reply, const ExchangePtr& exchange);
    void setIncompleteDeadline(const ExchangePtr& exchange, dispatch::Clock::duration delay);
    dispatch::Clock::duration bodyDeadline(const ExchangePtr& exchange) const;
    // The places of one group of peers, with its connections that may give theirs up.
    struct PeerGroup {
        std::size_t places = 0;  // open connections, those being handled included
        // Oldest first: requests that have not fully arrived (head or body), replies still being
        // written (a peer may stop reading), and answered connections that only drain.
        ExchangeList unfinished;
        ExchangeList replying;
        ExchangeList answered;
    };
    using PeerGroups = std::map<std::string, PeerGroup>;

    // Closes a connection so that one of `group` can open; false when no place can be freed.
    bool makeRoom(const std::string& group);
    bool closeOneIdleConnection(PeerGroup& group);
    void closeLargestUnfinishedBodies();
    void list(const ExchangePtr& exchange, ExchangeList PeerGroup::*into);
    void unlist(const ExchangePtr& exchange);
    // Brings unfinishedBodyBytes_ in line with what the exchange's reader holds now.
    void account(const ExchangePtr& exchange);
    // The exchange's request is no longer read: its bytes go, and it leaves the unfinished list.
    void finishReading(const ExchangePtr& exchange);
    void reportStatus(BridgeServerStatus::State state, std::string detail);
    std::string portInUseText() const;

    const std::uint64_t id_;
    const HTTPBridgeServerConfiguration configuration_;
    const std::shared_ptr<const HTTPBridgeHandlers> handlers_;
    const HTTPStatusHandler statusHandler_;
    const std::shared_ptr<HTTPRequestAuthenticator> authenticator_;
    const dispatch::QueuePtr queue_;

    mutable std::mutex mutex_;
    net::ListenerPtr listener_;
    std::atomic<std::size_t> openConnections_{0};
    std::atomic<std::size_t> unfinishedBodyBytes_{0};  // written on the server's queue only
    // On the server's queue only: every group with an open connection.
    PeerGroups groups_;
};

}  // namespace pavonix::http
