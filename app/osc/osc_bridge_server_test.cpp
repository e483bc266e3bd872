#include "app/osc/osc_bridge_server.h"

#include <gtest/gtest.h>

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

TEST_F(OSCBridgeTest, OnlyLinesThatTellOfAFailureSetTheFailedStatus) {
    for (const auto& [line, fails] : std::vector<std::pair<std::string, bool>>{
             {"Error: cantParseOSCString", true},
             {"UDP Socket: s didNotSendDataWithTag: 0, dueToError: Optional(\"x\")", true},
             {"UDP Socket: s Did Close. With Error: Optional(\"Bad file descriptor\")", true},
             {"UDP Socket: s Did Close. With Error: nil", false},
             {"TCP Socket: s didDisconnect, withError: Optional(Socket closed)", false},
             {"TCP Socket: s didRead Data of length: 12, withTag: 0", false},
         }) {
        statuses.clear();
        bridge->handleDebugMessage(line);
        pavonix::testing::settleMainQueue();
        EXPECT_EQ(statuses, (fails ? std::vector<BridgeServerStatus>{{State::failed, line}} : std::vector<BridgeServerStatus>{}))
            << line;
    }
    // A routing error reaches the status only when its text says "error".
    statuses.clear();
    bridge->handleMessage(std::make_shared<OSCMessage>("/ERROR/here"));
    pavonix::testing::settleMainQueue();
    EXPECT_EQ(statuses, (std::vector<BridgeServerStatus>{{State::failed, "Unknown command route: /ERROR/here"}}));
    EXPECT_TRUE(commands.empty());
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
