#include "app/http/http_bridge_server.h"

#include <algorithm>
#include <array>
#include <functional>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "app/http/http_request_origin.h"
#include "app/network/network_listen_port.h"

namespace pavonix::http {

namespace {

std::atomic<std::uint64_t> nextServerID{1};

constexpr std::size_t kReadSize = 65536;

}  // namespace

std::shared_ptr<HTTPBridgeServer> HTTPBridgeServer::make(HTTPBridgeServerConfiguration configuration,
                                                         HTTPBridgeHandlers handlers, HTTPStatusHandler statusHandler,
                                                         std::shared_ptr<HTTPRequestAuthenticator> authenticator,
                                                         dispatch::QueuePtr queue) {
    return std::shared_ptr<HTTPBridgeServer>(new HTTPBridgeServer(std::move(configuration), std::move(handlers),
                                                                  std::move(statusHandler), std::move(authenticator),
                                                                  std::move(queue)));
}

HTTPBridgeServer::HTTPBridgeServer(HTTPBridgeServerConfiguration configuration, HTTPBridgeHandlers handlers,
                                   HTTPStatusHandler statusHandler,
                                   std::shared_ptr<HTTPRequestAuthenticator> authenticator, dispatch::QueuePtr queue)
    : id_(nextServerID.fetch_add(1)),
      configuration_(std::move(configuration)),
      handlers_(std::make_shared<const HTTPBridgeHandlers>(std::move(handlers))),
      statusHandler_(std::move(statusHandler)),
      authenticator_(std::move(authenticator)),
      queue_(queue ? std::move(queue) : dispatch::makeSerialQueue("com.vrel.Lanternpost.http")) {}

HTTPBridgeServer::~HTTPBridgeServer() {
    if (listener_) {
        listener_->setStateHandler(nullptr);
        listener_->setNewConnectionHandler(nullptr);
        listener_->cancel();
    }
}

std::uint16_t HTTPBridgeServer::boundPort() const {
    std::lock_guard lock(mutex_);
    return listener_ ? listener_->port() : 0;
}

std::string HTTPBridgeServer::portInUseText() const { return network::portInUseMessage("HTTP", configuration_.port); }

void HTTPBridgeServer::start() {
    net::ListenerPtr listener;
    {
        std::lock_guard lock(mutex_);
        if (listener_) return;
        listener = net::Listener::make({configuration_.listenAddress, configuration_.port});
        listener_ = listener;
    }
    reportStatus(BridgeServerStatus::State::starting, "Starting on " + configuration_.listenDisplayName + ", port " +
                                                          std::to_string(configuration_.port));
    std::weak_ptr<HTTPBridgeServer> weak = weak_from_this();
    std::weak_ptr<net::Listener> weakListener = listener;
    listener->setStateHandler([weak, weakListener](net::Listener::State state, std::error_code error) {
        auto self = weak.lock();
        auto current = weakListener.lock();
        if (self && current) self->handleListenerState(current, state, error);
    });
    listener->setNewConnectionHandler([weak](net::ConnectionPtr connection) {
        if (auto self = weak.lock()) self->accept(std::move(connection));
        // Otherwise the connection is dropped here, which closes it.
    });
    listener->start(queue_);
}

void HTTPBridgeServer::stop() {
    net::ListenerPtr listener;
    {
        std::lock_guard lock(mutex_);
        listener = std::move(listener_);
        listener_.reset();
    }
    if (listener) {
        listener->setStateHandler(nullptr);
        listener->setNewConnectionHandler(nullptr);
        listener->cancel();  // the port is free when this returns
    }
    reportStatus(BridgeServerStatus::State::stopped, "Stopped");
}

void HTTPBridgeServer::handleListenerState(const net::ListenerPtr& listener, net::Listener::State state,
                                           std::error_code error) {
    using State = BridgeServerStatus::State;
    const auto dropListener = [&] {
        listener->setStateHandler(nullptr);
        listener->cancel();
        std::lock_guard lock(mutex_);
        if (listener_ == listener) listener_.reset();
    };
    switch (state) {
        case net::Listener::State::setup:
            reportStatus(State::starting, "Preparing listener");
            return;
        case net::Listener::State::waiting:
            if (network::isAddressInUseError(error)) {
                reportStatus(State::failed, portInUseText());
                dropListener();
            } else {
                reportStatus(State::starting, error.message());
            }
            return;
        case net::Listener::State::ready:
            reportStatus(State::running, "Listening on " + configuration_.listenDisplayName + ", port " +
                                             std::to_string(listener->port()));
            return;
        case net::Listener::State::failed:
            reportStatus(State::failed, network::isAddressInUseError(error) ? portInUseText() : error.message());
            dropListener();
            return;
        case net::Listener::State::cancelled:
            reportStatus(State::stopped, "Stopped");
            return;
    }
    reportStatus(State::failed, "Unknown listener state");
}

struct HTTPBridgeServer::Exchange {
    Exchange(net::ConnectionPtr accepted, const HTTPParseLimits& limits, PeerGroups::iterator peerGroup)
        : connection(accepted), reader(limits), acceptedAt(dispatch::Clock::now()),
          host(accepted->remoteEndpoint().host()), group(peerGroup) {}

    std::weak_ptr<net::Connection> connection;  // it keeps itself alive until it closes
    HTTPRequestReader reader;
    const dispatch::Clock::time_point acceptedAt;
    const std::string host;
    // Holds one of the group's places until closed; the group is gone once its last place is.
    const PeerGroups::iterator group;
    std::size_t countedBodyBytes = 0;  // this exchange's share of unfinishedBodyBytes_
    bool headArrived = false;
    bool closed = false;
    ExchangeList* listedIn = nullptr;  // one of its group's lists (never once closed), or none
    ExchangeList::iterator position;
};

void HTTPBridgeServer::list(const ExchangePtr& exchange, ExchangeList PeerGroup::*into) {
    unlist(exchange);
    if (exchange->closed) return;
    ExchangeList& list = exchange->group->second.*into;
    exchange->position = list.insert(list.end(), exchange);
    exchange->listedIn = &list;
}

void HTTPBridgeServer::unlist(const ExchangePtr& exchange) {
    if (!exchange->listedIn) return;
    exchange->listedIn->erase(exchange->position);
    exchange->listedIn = nullptr;
}

void HTTPBridgeServer::account(const ExchangePtr& exchange) {
    const std::size_t held = exchange->reader.unfinishedBodyBytes();
    unfinishedBodyBytes_.store(unfinishedBodyBytes_.load() - exchange->countedBodyBytes + held);
    exchange->countedBodyBytes = held;
}

void HTTPBridgeServer::finishReading(const ExchangePtr& exchange) {
    exchange->reader.discard();
    account(exchange);
    if (exchange->listedIn && exchange->listedIn == &exchange->group->second.unfinished) unlist(exchange);
}

bool HTTPBridgeServer::closeOneIdleConnection(PeerGroup& group) {
    const std::array<ExchangeList*, 3> lists{&group.answered, &group.unfinished, &group.replying};
    // Within a group the address holding the most gives way first: a group can be a whole LAN (its
    // IPv6 /64) or all of loopback, where one flooding address must not push out its neighbours.
    std::map<std::string, std::size_t> perHost;
    for (const ExchangeList* list : lists) {
        for (const ExchangePtr& exchange : *list) ++perHost[exchange->host];
    }
    std::vector<std::size_t> counts;
    for (const auto& [host, count] : perHost) counts.push_back(count);
    std::sort(counts.begin(), counts.end(), std::greater<>());
    counts.erase(std::unique(counts.begin(), counts.end()), counts.end());
    for (const std::size_t count : counts) {
        for (ExchangeList* list : lists) {
            for (auto it = list->begin(); it != list->end();) {
                ExchangePtr victim = *it++;
                if (perHost[victim->host] != count) continue;
                finishReading(victim);
                unlist(victim);
                if (auto connection = victim->connection.lock()) {
                    connection->forceCancel();
                    return true;
                }
            }
        }
    }
    return false;
}

void HTTPBridgeServer::closeLargestUnfinishedBodies() {
    while (unfinishedBodyBytes_.load() > configuration_.limits.maxUnfinishedBodyBytes) {
        ExchangePtr victim;
        for (const auto& [name, group] : groups_) {
            for (const ExchangePtr& exchange : group.unfinished) {
                if (!victim || exchange->countedBodyBytes > victim->countedBodyBytes) victim = exchange;
            }
        }
        if (!victim) return;
        finishReading(victim);
        if (auto connection = victim->connection.lock()) connection->forceCancel();
    }
}

bool HTTPBridgeServer::makeRoom(const std::string& newcomer) {
    const HTTPServerLimits& limits = configuration_.limits;
    if (auto own = groups_.find(newcomer); own != groups_.end() && own->second.places >= limits.maxConnectionsPerGroup) {
        return closeOneIdleConnection(own->second);
    }
    if (openConnections_.load() < limits.maxConnections) return true;
    // The group that gives up a place: the one holding the most, and among equals the one whose
    // candidate comes first in the order of closing, then the oldest.
    const auto candidate = [](const PeerGroup& group) -> std::optional<std::pair<int, dispatch::Clock::time_point>> {
        int rank = 0;
        for (const ExchangeList* list : {&group.answered, &group.unfinished, &group.replying}) {
            if (!list->empty()) return std::pair{rank, list->front()->acceptedAt};
            ++rank;
        }
        return std::nullopt;
    };
    while (true) {
        PeerGroup* chosen = nullptr;
        std::pair<int, dispatch::Clock::time_point> chosenCandidate;
        for (auto& [name, group] : groups_) {
            const auto mine = candidate(group);
            if (!mine) continue;
            if (!chosen || group.places > chosen->places || (group.places == chosen->places && *mine < chosenCandidate)) {
                chosen = &group;
                chosenCandidate = *mine;
            }
        }
        if (!chosen) return false;  // every place serves a request being handled
        if (closeOneIdleConnection(*chosen)) return true;
    }
}

void HTTPBridgeServer::accept(net::ConnectionPtr connection) {
    const std::string groupName = net::addressGroup(connection->remoteEndpoint().host());
    if (!makeRoom(groupName)) {
        connection->forceCancel();  // never started: closes the socket now
        return;
    }
    ++openConnections_;
    const auto group = groups_.try_emplace(groupName).first;
    ++group->second.places;
    auto exchange = std::make_shared<Exchange>(connection, configuration_.limits.parse, group);
    list(exchange, &PeerGroup::unfinished);
    std::weak_ptr<HTTPBridgeServer> weak = weak_from_this();
    std::weak_ptr<net::Connection> weakConnection = connection;
    // The handler is dropped when the connection closes, which ends its hold on the exchange.
    connection->setStateHandler([weak, weakConnection, exchange](net::Connection::State state, std::error_code) {
        if (state == net::Connection::State::failed) {
            if (auto strong = weakConnection.lock()) strong->cancel();
        } else if (state == net::Connection::State::cancelled) {
            exchange->closed = true;
            if (auto self = weak.lock()) {
                self->finishReading(exchange);
                self->unlist(exchange);
                --self->openConnections_;
                if (--exchange->group->second.places == 0) self->groups_.erase(exchange->group);
            }
        }
    });
    connection->start(queue_);
    setIncompleteDeadline(exchange, std::min(configuration_.limits.headTimeout, configuration_.limits.requestTimeout));
    receive(weak, exchange);
}

void HTTPBridgeServer::setIncompleteDeadline(const ExchangePtr& exchange, dispatch::Clock::duration delay) {
    auto connection = exchange->connection.lock();
    if (!connection) return;
    std::weak_ptr<HTTPBridgeServer> weak = weak_from_this();
    std::weak_ptr<Exchange> weakExchange = exchange;
    connection->setDeadline(delay, [weak, weakExchange] {
        auto strong = weakExchange.lock();
        if (!strong) return;
        if (auto self = weak.lock()) {
            self->send(errorReply(HTTPStatus::badRequest(), "Incomplete HTTP request."), strong);
        } else if (auto connection = strong->connection.lock()) {
            connection->forceCancel();
        }
    });
}

dispatch::Clock::duration HTTPBridgeServer::bodyDeadline(const ExchangePtr& exchange) const {
    // A body must keep coming, and the whole request keeps its time counted from the accept.
    const dispatch::Clock::duration left =
        configuration_.limits.requestTimeout - (dispatch::Clock::now() - exchange->acceptedAt);
    return std::clamp<dispatch::Clock::duration>(left, dispatch::Clock::duration::zero(),
                                                 configuration_.limits.bodyIdleTimeout);
}

void HTTPBridgeServer::receive(const std::weak_ptr<HTTPBridgeServer>& server, const ExchangePtr& exchange) {
    auto connection = exchange->connection.lock();
    if (!connection) return;
    connection->receive(1, kReadSize, [server, exchange](std::string data, bool isComplete, std::error_code error) {
        auto self = server.lock();
        if (!self) {
            if (auto connection = exchange->connection.lock()) connection->cancel();
            return;
        }
        if (exchange->closed) return;
        const auto kind = exchange->reader.append(data);
        self->account(exchange);
        if (!exchange->headArrived && exchange->reader.hasHead() && kind != HTTPParseResult::Kind::invalid) {
            exchange->headArrived = true;
            // Refused on its head alone: none of its body is waited for.
            if (!self->admit(exchange)) return;
        }
        switch (kind) {
            case HTTPParseResult::Kind::complete:
                // A request that became complete is routed even when the peer has ended its side.
                if (auto connection = exchange->connection.lock()) connection->clearDeadline();
                self->unlist(exchange);  // being handled: no longer a candidate for closing
                self->route(exchange->reader.takeRequest(), exchange);
                return;
            case HTTPParseResult::Kind::invalid:
                self->send(errorReply(HTTPStatus::badRequest(), "Invalid HTTP request."), exchange);
                return;
            case HTTPParseResult::Kind::incomplete:
                if (!isComplete && !error) {
                    if (exchange->headArrived) self->setIncompleteDeadline(exchange, self->bodyDeadline(exchange));
                    self->closeLargestUnfinishedBodies();
                    if (!exchange->closed) receive(server, exchange);
                    return;
                }
                self->send(errorReply(HTTPStatus::badRequest(), "Incomplete HTTP request."), exchange);
                return;
        }
    });
}

bool HTTPBridgeServer::admit(const ExchangePtr& exchange) {
    const HTTPRequest& head = exchange->reader.head();
    auto connection = exchange->connection.lock();
    if (!connection) return false;
    const bool loopback = isLoopbackRequest(connection->remoteEndpoint(), head);
    // No page of another site can sign, so a request that must be signed and says it is will be
    // judged by its signature alone, by whatever name it reaches this machine. What is let in
    // without one (authentication off, the loopback exemption) keeps to the Host and Origin rule,
    // and so does the control page, which a browser shows under the name it asked for.
    const bool judgedBySignature = authenticator_ && authenticator_->requiresSignature(loopback) &&
                                   HTTPRequestAuthenticator::carriesSignature(head) && !isControlPageRequest(head);
    const std::string machineHostName =
        configuration_.machineHostName ? *configuration_.machineHostName : currentMachineHostName();
    if (!judgedBySignature && isCrossSiteRequest(head, machineHostName)) {
        send(errorReply(HTTPStatus::forbidden(), "Cross-site request refused."), exchange);
        return false;
    }
    if (authenticator_ && !authenticator_->mayAuthenticate(head, loopback)) {
        send(unauthorizedReply(head), exchange);
        return false;
    }
    return true;
}

void HTTPBridgeServer::route(HTTPRequest request, const ExchangePtr& exchange) {
    auto connection = exchange->connection.lock();
    if (!connection) return;
    if (authenticator_) {
        const bool loopback = isLoopbackRequest(connection->remoteEndpoint(), request);
        if (!authenticator_->authenticate(request, loopback).accepted()) {
            send(unauthorizedReply(request), exchange);
            return;
        }
    }
    auto decision = routeRequest(request);
    if (auto* reply = std::get_if<HTTPReply>(&decision)) {
        send(*reply, exchange);
        return;
    }
    dispatch::MainExecutor::post([self = shared_from_this(), exchange, work = std::get<HandlerWork>(std::move(decision))] {
        auto reply = std::make_shared<HTTPReply>(performHandlerWork(work, *self->handlers_));
        self->queue_->async([self, exchange, reply] { self->send(*reply, exchange); });
    });
}

void HTTPBridgeServer::send(const HTTPReply& reply, const ExchangePtr& exchange) {
    auto connection = exchange->connection.lock();
    if (!connection) return;
    finishReading(exchange);
    list(exchange, &PeerGroup::replying);
    std::weak_ptr<net::Connection> weakConnection = connection;
    // A peer that does not read its reply must not hold the connection for ever.
    connection->setDeadline(configuration_.limits.replyTimeout, [weakConnection] {
        if (auto strong = weakConnection.lock()) strong->forceCancel();
    });
    std::weak_ptr<HTTPBridgeServer> weak = weak_from_this();
    connection->send(reply.bytes, true, [weak, exchange, connection](std::error_code) {
        // Answered: from here on the connection only drains, and may give its place to a new one.
        if (auto self = weak.lock()) self->list(exchange, &PeerGroup::answered);
        connection->cancel();
    });
}

void HTTPBridgeServer::reportStatus(BridgeServerStatus::State state, std::string detail) {
    dispatch::MainExecutor::post([self = shared_from_this(), state, detail = std::move(detail)] {
        if (self->statusHandler_) self->statusHandler_(self->id_, BridgeServerStatus{state, detail});
    });
}

}  // namespace pavonix::http
