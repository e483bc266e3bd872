#include "app/http/http_bridge_server.h"

#include <utility>

#include "app/http/http_loopback.h"
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

void HTTPBridgeServer::accept(net::ConnectionPtr connection) {
    if (openConnections_.load() >= configuration_.limits.maxConnections) {
        connection->forceCancel();  // never started: closes the socket now
        return;
    }
    ++openConnections_;
    std::weak_ptr<HTTPBridgeServer> weak = weak_from_this();
    std::weak_ptr<net::Connection> weakConnection = connection;
    connection->setStateHandler([weak, weakConnection](net::Connection::State state, std::error_code) {
        if (state == net::Connection::State::failed) {
            if (auto strong = weakConnection.lock()) strong->cancel();
        } else if (state == net::Connection::State::cancelled) {
            if (auto self = weak.lock()) --self->openConnections_;
        }
    });
    connection->start(queue_);
    connection->setDeadline(configuration_.limits.requestTimeout, [weak, weakConnection] {
        auto strong = weakConnection.lock();
        if (!strong) return;
        if (auto self = weak.lock()) {
            self->send(errorReply(HTTPStatus::badRequest(), "Incomplete HTTP request."), strong);
        } else {
            strong->forceCancel();
        }
    });
    receive(weak, connection, std::make_shared<HTTPRequestReader>(configuration_.limits.parse));
}

void HTTPBridgeServer::receive(const std::weak_ptr<HTTPBridgeServer>& server, const net::ConnectionPtr& connection,
                               const std::shared_ptr<HTTPRequestReader>& reader) {
    connection->receive(1, kReadSize, [server, connection, reader](std::string data, bool isComplete,
                                                                   std::error_code error) {
        auto self = server.lock();
        if (!self) {
            connection->cancel();
            return;
        }
        switch (reader->append(data)) {
            case HTTPParseResult::Kind::complete:
                // A request that became complete is routed even when the peer has ended its side.
                connection->clearDeadline();
                self->route(reader->takeRequest(), connection);
                return;
            case HTTPParseResult::Kind::invalid:
                self->send(errorReply(HTTPStatus::badRequest(), "Invalid HTTP request."), connection);
                return;
            case HTTPParseResult::Kind::incomplete:
                if (!isComplete && !error) {
                    receive(server, connection, reader);
                    return;
                }
                self->send(errorReply(HTTPStatus::badRequest(), "Incomplete HTTP request."), connection);
                return;
        }
    });
}

void HTTPBridgeServer::route(HTTPRequest request, const net::ConnectionPtr& connection) {
    if (authenticator_) {
        const bool loopback = isLoopbackRequest(connection->remoteEndpoint(), request);
        if (!authenticator_->authenticate(request, loopback).accepted()) {
            send(unauthorizedReply(request), connection);
            return;
        }
    }
    auto decision = routeRequest(request);
    if (auto* reply = std::get_if<HTTPReply>(&decision)) {
        send(*reply, connection);
        return;
    }
    dispatch::MainExecutor::post([self = shared_from_this(), connection, work = std::get<HandlerWork>(std::move(decision))] {
        auto reply = std::make_shared<HTTPReply>(performHandlerWork(work, *self->handlers_));
        self->queue_->async([self, connection, reply] { self->send(*reply, connection); });
    });
}

void HTTPBridgeServer::send(const HTTPReply& reply, const net::ConnectionPtr& connection) {
    std::weak_ptr<net::Connection> weakConnection = connection;
    // A peer that does not read its reply must not hold the connection for ever.
    connection->setDeadline(configuration_.limits.replyTimeout, [weakConnection] {
        if (auto strong = weakConnection.lock()) strong->forceCancel();
    });
    connection->send(reply.bytes, true, [connection](std::error_code) { connection->cancel(); });
}

void HTTPBridgeServer::reportStatus(BridgeServerStatus::State state, std::string detail) {
    dispatch::MainExecutor::post([self = shared_from_this(), state, detail = std::move(detail)] {
        if (self->statusHandler_) self->statusHandler_(self->id_, BridgeServerStatus{state, detail});
    });
}

}  // namespace pavonix::http
