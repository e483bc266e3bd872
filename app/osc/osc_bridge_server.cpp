#include "app/osc/osc_bridge_server.h"

#include <cerrno>
#include <optional>
#include <type_traits>
#include <utility>

#include "app/core/text.h"
#include "app/network/network_listen_port.h"

namespace pavonix::oscbridge {

namespace {

std::atomic<std::uint64_t> nextBridgeID{1};

CommandArgument commandArgument(const osc::OSCValue& value) {
    return std::visit(
        [](const auto& v) -> CommandArgument {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, osc::OSCBlob>) {
                return v.bytes;
            } else if constexpr (std::is_same_v<T, osc::OSCTimeTag>) {
                std::uint64_t packed = 0;
                for (auto byte : v.data()) packed = packed << 8 | byte;
                return CommandArgumentTimeTag{packed};
            } else if constexpr (std::is_same_v<T, osc::OSCArgument>) {
                switch (v) {
                    case osc::OSCArgument::oscTrue: return true;
                    case osc::OSCArgument::oscFalse: return false;
                    case osc::OSCArgument::oscImpulse: return CommandArgumentImpulse{};
                    default: return CommandArgumentNil{};
                }
            } else {
                return v;
            }
        },
        value);
}

}  // namespace

std::vector<CommandArgument> commandArguments(const osc::OSCMessage& message) {
    std::vector<CommandArgument> arguments;
    arguments.reserve(message.arguments().size());
    for (const auto& value : message.arguments()) arguments.push_back(commandArgument(value));
    return arguments;
}

std::shared_ptr<OSCBridgeServer> OSCBridgeServer::make(std::uint16_t port, network::ServerListenBinding listenBinding,
                                                       OSCCommandHandler commandHandler,
                                                       OSCStatusHandler statusHandler) {
    auto bridge = std::make_shared<OSCBridgeServer>(Token{}, port, std::move(listenBinding), std::move(commandHandler),
                                                    std::move(statusHandler));
    bridge->server_ = osc::OSCServer::make(bridge->queue_);
    bridge->server_->setPort(port);
    if (bridge->listenBinding_.oscInterface) bridge->server_->setInterface(*bridge->listenBinding_.oscInterface);
    bridge->server_->delegate = bridge->weak_from_this();
    bridge->server_->debugDelegate = bridge->weak_from_this();
    return bridge;
}

OSCBridgeServer::OSCBridgeServer(Token, std::uint16_t port, network::ServerListenBinding listenBinding,
                                 OSCCommandHandler commandHandler, OSCStatusHandler statusHandler)
    : id_(nextBridgeID.fetch_add(1)),
      port_(port),
      listenBinding_(std::move(listenBinding)),
      listenDisplayName_(listenBinding_.displayName),
      statusHandler_(std::move(statusHandler)),
      queue_(dispatch::makeSerialQueue(std::string(queueLabel))) {
    flow_->commandHandler = std::move(commandHandler);
}

OSCBridgeServer::~OSCBridgeServer() { flow_->stopped = true; }

std::string OSCBridgeServer::placeText() const { return listenDisplayName_ + ", port " + std::to_string(port_); }

void OSCBridgeServer::post(BridgeServerStatus::State state, std::string detail) {
    flow_->state = state;
    dispatch::MainExecutor::post([handler = statusHandler_, id = id_, state, detail = std::move(detail)] {
        if (handler) handler(id, BridgeServerStatus{state, detail});
    });
}

void OSCBridgeServer::start() {
    using State = BridgeServerStatus::State;
    post(State::starting, "Starting on " + placeText());
    if (auto error = server_->startListening()) {
        server_->stopListening();
        const bool inUse = error->isPosix(EADDRINUSE) || network::isPortInUse(port_, listenBinding_.address, true);
        std::string text = inUse ? network::portInUseMessage("OSC", port_) : error->description;
        post(State::failed, text);
        throw OSCBridgeStartError(text);
    }
    post(State::running, "Listening on " + placeText());
}

void OSCBridgeServer::stop() {
    flow_->stopped = true;
    server_->stopListening();
}

void OSCBridgeServer::handleMessage(std::shared_ptr<osc::OSCMessage> message) {
    if (!flow_->stopped) route(*message);
}

void OSCBridgeServer::handleBundle(std::shared_ptr<osc::OSCBundle> bundle) {
    if (!flow_->stopped) handleBundleAtDepth(*bundle);
}

void OSCBridgeServer::handleBundleAtDepth(const osc::OSCBundle& bundle) {
    // The parser bounds the nesting, so the recursion is bounded too.
    for (const auto& element : bundle.elements()) {
        if (auto message = dynamic_cast<const osc::OSCMessage*>(element.get())) {
            route(*message);
        } else if (auto inner = dynamic_cast<const osc::OSCBundle*>(element.get())) {
            handleBundleAtDepth(*inner);
        }
    }
}

void OSCBridgeServer::route(const osc::OSCMessage& message) {
    std::optional<PresentationCommand> command;
    try {
        command = CommandRouter::command(message.addressPattern(), commandArguments(message));
    } catch (const CommandRouteError& error) {
        notePeerProblem(error.description());
        return;
    }
    if (flow_->waiting.load() >= kMaxWaitingCommands) {
        if (!flow_->floodReported.exchange(true)) notePeerProblem("too many OSC messages at once, some were dropped");
        return;
    }
    ++flow_->waiting;
    dispatch::MainExecutor::post([flow = flow_, command = std::move(*command)] {
        if (!flow->stopped && flow->commandHandler) flow->commandHandler(command);
        if (--flow->waiting == 0) flow->floodReported = false;
    });
}

void OSCBridgeServer::handleDebugMessage(std::string_view) {}

void OSCBridgeServer::handleDebugLine(std::string_view line, osc::OSCDebugLineKind kind) {
    if (flow_->stopped) return;
    switch (kind) {
        case osc::OSCDebugLineKind::trace: return;
        case osc::OSCDebugLineKind::peerProblem: notePeerProblem(line); return;
        case osc::OSCDebugLineKind::serverFailure:
            // A failure to start is start()'s to report, with the port-in-use text.
            if (flow_->state == BridgeServerStatus::State::running || flow_->state == BridgeServerStatus::State::failed)
                post(BridgeServerStatus::State::failed, withoutControlCharacters(line, kMaxProblemCharacters));
            return;
    }
}

void OSCBridgeServer::notePeerProblem(std::string_view problem) {
    if (flow_->stopped) return;
    {
        std::lock_guard lock(flow_->problemMutex);
        flow_->lastProblem = withoutControlCharacters(problem, kMaxProblemCharacters);
        if (flow_->problemPosted) return;
        flow_->problemPosted = true;
    }
    dispatch::MainExecutor::post([flow = flow_, handler = statusHandler_, id = id_, place = "Listening on " + placeText()] {
        std::string problem;
        {
            std::lock_guard lock(flow->problemMutex);
            problem = std::move(flow->lastProblem);
            flow->problemPosted = false;
        }
        // Whatever else was reported meanwhile (a failure, a stop) stands.
        if (flow->stopped || flow->state != BridgeServerStatus::State::running || !handler) return;
        handler(id, BridgeServerStatus{BridgeServerStatus::State::running, place + "; " + problem});
    });
}

}  // namespace pavonix::oscbridge
