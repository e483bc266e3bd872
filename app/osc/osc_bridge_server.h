// The program's OSC front end: one OSC server on one port (UDP, and TCP with SLIP framing) whose
// messages, also those inside bundles at any depth, become presentation commands for the model.
// Nothing is ever sent back to an OSC client.
//
// Threads: packets and debug lines arrive on the bridge's serial queue "com.vrel.Lanternpost.osc";
// every command and every status report becomes a task of its own on the main thread, in arrival
// order. start() and stop() run on the main thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>

#include "app/core/bridge_server_status.h"
#include "app/core/command_router.h"
#include "app/core/presentation_command.h"
#include "app/network/network_listen.h"
#include "osc/osc_bundle.h"
#include "osc/osc_message.h"
#include "osc/osc_server.h"
#include "platform/dispatch/dispatch.h"

namespace pavonix::oscbridge {

// serverID is the reporting bridge's id(), so that an owner can ignore a bridge it replaced.
using OSCStatusHandler = std::function<void(std::uint64_t serverID, BridgeServerStatus status)>;
using OSCCommandHandler = std::function<CommandResult(const PresentationCommand&)>;

// A start that failed outright; what() is the failed status text.
class OSCBridgeStartError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The message's arguments in the router's own terms; the bool markers become bools, nil and
// impulse their marker types.
std::vector<CommandArgument> commandArguments(const osc::OSCMessage& message);

class OSCBridgeServer : public osc::OSCPacketDestination,
                        public osc::OSCDebugDelegate,
                        public std::enable_shared_from_this<OSCBridgeServer> {
    struct Token {};

public:
    static constexpr std::string_view queueLabel = "com.vrel.Lanternpost.osc";
    // Commands waiting for the main thread beyond this many are dropped, so that a flood of
    // datagrams cannot grow the main queue without bound; the status says so once per flood.
    static constexpr std::size_t kMaxWaitingCommands = 1024;
    // The longest peer text quoted in the status.
    static constexpr std::size_t kMaxProblemCharacters = 200;

    static std::shared_ptr<OSCBridgeServer> make(std::uint16_t port, network::ServerListenBinding listenBinding,
                                                 OSCCommandHandler commandHandler, OSCStatusHandler statusHandler);
    OSCBridgeServer(Token, std::uint16_t port, network::ServerListenBinding listenBinding,
                    OSCCommandHandler commandHandler, OSCStatusHandler statusHandler);
    ~OSCBridgeServer() override;
    OSCBridgeServer(const OSCBridgeServer&) = delete;
    OSCBridgeServer& operator=(const OSCBridgeServer&) = delete;

    // Reports starting, listens, reports running. A failure to listen is reported as failed
    // (the port-in-use text when the port is taken), nothing stays open, and the text is thrown
    // as OSCBridgeStartError.
    void start();
    // Stops listening, closes the accepted connections and ignores whatever the server still
    // reports; commands not yet run are dropped. The port is free when this returns. The owner
    // reports the stopped status itself.
    void stop();

    std::uint64_t id() const { return id_; }
    const std::shared_ptr<osc::OSCServer>& server() const { return server_; }
    const network::ServerListenBinding& listenBinding() const { return listenBinding_; }

    // ---- The server's receivers (bridge queue) ----
    void handleMessage(std::shared_ptr<osc::OSCMessage> message) override;
    void handleBundle(std::shared_ptr<osc::OSCBundle> bundle) override;
    // Lines without a kind tell the status nothing.
    void handleDebugMessage(std::string_view line) override;
    // Only a failure of the server's own sockets sets the failed status. A problem with what a
    // peer sent is no failure of the server, which goes on serving: the status stays running and
    // its detail names the last such problem.
    void handleDebugLine(std::string_view line, osc::OSCDebugLineKind kind) override;
    // Traffic lines never tell of a failure.
    bool wantsTrafficLines() const override { return false; }

private:
    void post(BridgeServerStatus::State state, std::string detail);
    // At most one such report waits for the main thread at a time; it takes the latest text.
    void notePeerProblem(std::string_view problem);
    void route(const osc::OSCMessage& message);
    void handleBundleAtDepth(const osc::OSCBundle& bundle);
    std::string placeText() const;

    const std::uint64_t id_;
    const std::uint16_t port_;
    const network::ServerListenBinding listenBinding_;
    const std::string listenDisplayName_;
    const OSCStatusHandler statusHandler_;
    const dispatch::QueuePtr queue_;
    std::shared_ptr<osc::OSCServer> server_;

    // Shared with the main-thread tasks, which may outlive the bridge.
    struct Flow {
        OSCCommandHandler commandHandler;
        std::atomic<bool> stopped{false};
        std::atomic<std::size_t> waiting{0};
        std::atomic<bool> floodReported{false};
        // The state this bridge reported last, as of the report's posting.
        std::atomic<BridgeServerStatus::State> state{BridgeServerStatus::State::stopped};
        std::mutex problemMutex;
        std::string lastProblem;     // under problemMutex
        bool problemPosted = false;  // under problemMutex
    };
    const std::shared_ptr<Flow> flow_ = std::make_shared<Flow>();
};

}  // namespace pavonix::oscbridge
