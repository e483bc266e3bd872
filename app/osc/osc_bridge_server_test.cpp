#include "app/osc/osc_bridge_server.h"

#include <gtest/gtest.h>

#include <functional>

#include "app/core/command_router.h"
#include "platform/dispatch/testing/main_queue_scope.h"

namespace pavonix::oscbridge {
namespace {

using osc::OSCMessage;
using State = BridgeServerStatus::State;

class OSCBridgeTest : public ::testing::Test {
protected:
    pavonix::testing::MainQueueScope mainQueue;
    std::vector<std::string> commands;
    std::vector<BridgeServerStatus> statuses;
    const std::shared_ptr<OSCBridgeServer> bridge = OSCBridgeServer::make(
        0, network::ServerListenBinding{"127.0.0.1", "127.0.0.1", "localhost (127.0.0.1)"},
        [this](const PresentationCommand& command) {
            commands.push_back(command.displayText());
            return CommandResult::ok(command, "done");
        },
        [this](std::uint64_t, BridgeServerStatus status) { statuses.push_back(status); });
};

TEST_F(OSCBridgeTest, OnlyFailuresOfTheServersOwnSocketsSetTheFailedStatus) {
    using Kind = osc::OSCDebugLineKind;
    bridge->start();
    pavonix::testing::settleMainQueue();
    const std::string running = "Listening on localhost (127.0.0.1), port 0";
    const auto statusesAfter = [&](const std::function<void()>& step) {
        statuses.clear();
        step();
        pavonix::testing::settleMainQueue();
        return statuses;
    };
    using Statuses = std::vector<BridgeServerStatus>;
    EXPECT_EQ(statusesAfter([&] {
                  bridge->handleDebugLine("Error: Server couldn't find the Socket", Kind::trace);
                  bridge->handleDebugMessage("Error: a line without a kind");
              }),
              Statuses{});
    // A peer's problem keeps the status running; its detail names the last one, without control
    // characters and cut to 200 characters.
    EXPECT_EQ(statusesAfter([&] {
                  bridge->handleDebugLine("Error: unrecognisedData", Kind::peerProblem);
                  bridge->handleMessage(std::make_shared<OSCMessage>("/error\x1B[2J" + std::string(300, 'x')));
              }),
              (Statuses{{State::running, running + "; Unknown command route: /error[2J" + std::string(168, 'x')}}));

    const std::string failure = "UDP Socket: s Did Close. With Error: Optional(\"Bad file descriptor\")";
    EXPECT_EQ(statusesAfter([&] { bridge->handleDebugLine(failure, Kind::serverFailure); }),
              (Statuses{{State::failed, failure}}));
    // Neither a peer's problem nor a flood brings a failed server back to running.
    EXPECT_EQ(statusesAfter([&] {
                  bridge->handleMessage(std::make_shared<OSCMessage>("/error"));
                  for (std::size_t i = 0; i <= OSCBridgeServer::kMaxWaitingCommands; ++i)
                      bridge->handleMessage(std::make_shared<OSCMessage>("/stop"));
              }),
              Statuses{});
    EXPECT_EQ(commands.size(), OSCBridgeServer::kMaxWaitingCommands);
}

TEST_F(OSCBridgeTest, AStoppedBridgeIgnoresEverythingEvenWhatWasQueued) {
    bridge->start();
    pavonix::testing::settleMainQueue();
    statuses.clear();
    bridge->handleMessage(std::make_shared<OSCMessage>("/stop"));  // queued before the stop
    bridge->stop();
    bridge->handleMessage(std::make_shared<OSCMessage>("/start"));
    bridge->handleDebugMessage("Error: late");
    pavonix::testing::settleMainQueue();
    EXPECT_TRUE(commands.empty());
    EXPECT_TRUE(statuses.empty());
}

TEST_F(OSCBridgeTest, AFloodBeyondTheBacklogIsDroppedWithOneStatusLine) {
    bridge->start();
    pavonix::testing::settleMainQueue();
    statuses.clear();
    for (std::size_t i = 1; i <= OSCBridgeServer::kMaxWaitingCommands + 100; ++i)
        bridge->handleMessage(std::make_shared<OSCMessage>("/goto/slide/number", std::vector<osc::OSCValue>{std::int32_t(i)}));
    pavonix::testing::settleMainQueue();
    ASSERT_EQ(commands.size(), OSCBridgeServer::kMaxWaitingCommands);
    EXPECT_EQ(commands.back(), "Go to slide " + std::to_string(OSCBridgeServer::kMaxWaitingCommands));
    EXPECT_EQ(statuses, (std::vector<BridgeServerStatus>{
                            {State::running, "Listening on localhost (127.0.0.1), port 0; too many OSC messages at once, some were dropped"}}));
    // Once the backlog has drained, commands run again.
    bridge->handleMessage(std::make_shared<OSCMessage>("/stop"));
    pavonix::testing::settleMainQueue();
    EXPECT_EQ(commands.back(), "Stop");
}

}  // namespace
}  // namespace pavonix::oscbridge
