#include "app/osc/osc_bridge_server.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "app/core/command_router.h"
#include "osc/osc_time_tag.h"
#include "platform/dispatch/testing/main_queue_scope.h"
#include "sockets/testing/udp_recorder.h"

namespace pavonix::oscbridge {
namespace {

using osc::OSCBundle;
using osc::OSCMessage;
using State = BridgeServerStatus::State;

class OSCBridgeTest : public ::testing::Test {
protected:
    std::shared_ptr<OSCBridgeServer> makeBridge(std::uint16_t port) {
        return OSCBridgeServer::make(
            port, network::ServerListenBinding{"127.0.0.1", "127.0.0.1", "localhost (127.0.0.1)"},
            [this](const PresentationCommand& command) {
                commands.push_back(command.displayText());
                return CommandResult::ok(command, "done");
            },
            [this](std::uint64_t, BridgeServerStatus status) { statuses.push_back(status); });
    }
    void settle() { pavonix::testing::settleMainQueue(); }

    pavonix::testing::MainQueueScope mainQueue;
    std::vector<std::string> commands;
    std::vector<BridgeServerStatus> statuses;
};

TEST_F(OSCBridgeTest, BundlesRunEveryMessageDepthFirstWhateverTheirTimeTags) {
    auto bridge = makeBridge(0);
    const auto future = osc::OSCTimeTag::fromDate(osc::OSCDate(std::chrono::system_clock::now() + std::chrono::hours(24)));
    auto message = [](std::string address, std::vector<osc::OSCValue> arguments = {}) {
        return std::make_shared<OSCMessage>(address, std::move(arguments));
    };
    bridge->handleBundle(std::make_shared<OSCBundle>(
        std::vector<std::shared_ptr<osc::OSCPacket>>{
            message("/start", {osc::OSCArgument::oscTrue}),
            std::make_shared<OSCBundle>(std::vector<std::shared_ptr<osc::OSCPacket>>{
                                            message("/goto/slide/number", {std::string(" 4 ")}),
                                            message("/keynote/show/next")},
                                        future),
            message("/goto/slide/named", {std::string("# Intro")})},
        future));
    bridge->handleBundle(std::make_shared<OSCBundle>(std::vector<std::shared_ptr<osc::OSCPacket>>{}));
    settle();
    EXPECT_EQ(commands, (std::vector<std::string>{"Start from first slide", "Go to slide 4", "Show next",
                                                  "Go to slide named \"Intro\""}));
    EXPECT_TRUE(statuses.empty());
}

TEST_F(OSCBridgeTest, OnlyLinesThatTellOfAFailureSetTheFailedStatus) {
    auto bridge = makeBridge(0);
    struct Case {
        std::string line;
        bool fails;
    };
    for (const Case& c : std::vector<Case>{
             {"Error: cantParseOSCString", true},
             {"UDP Socket: s didNotSendDataWithTag: 0, dueToError: Optional(\"x\")", true},
             {"UDP Socket: s Did Close. With Error: Optional(\"Bad file descriptor\")", true},
             {"UDP Socket: s Did Close. With Error: nil", false},
             {"TCP Socket: s didDisconnect, withError: Optional(Socket closed)", false},
             {"TCP Socket: s didRead Data of length: 12, withTag: 0", false},
         }) {
        statuses.clear();
        bridge->handleDebugMessage(c.line);
        settle();
        const std::vector<BridgeServerStatus> expected =
            c.fails ? std::vector<BridgeServerStatus>{{State::failed, c.line}} : std::vector<BridgeServerStatus>{};
        EXPECT_EQ(statuses, expected) << c.line;
    }
    // A routing error reaches the status only when its text says "error".
    statuses.clear();
    bridge->handleMessage(std::make_shared<OSCMessage>("/nothing/here"));
    bridge->handleMessage(std::make_shared<OSCMessage>("/ERROR/here"));
    settle();
    EXPECT_EQ(statuses, (std::vector<BridgeServerStatus>{{State::failed, "Unknown command route: /ERROR/here"}}));
    EXPECT_TRUE(commands.empty());
}

TEST_F(OSCBridgeTest, StartReportsWhereItListensAndAStoppedBridgeIgnoresEverything) {
    auto bridge = makeBridge(0);
    bridge->start();
    settle();
    EXPECT_EQ(statuses, (std::vector<BridgeServerStatus>{{State::starting, "Starting on localhost (127.0.0.1), port 0"},
                                                         {State::running, "Listening on localhost (127.0.0.1), port 0"}}));
    statuses.clear();
    bridge->handleMessage(std::make_shared<OSCMessage>("/stop"));  // queued before the stop
    bridge->stop();
    bridge->handleMessage(std::make_shared<OSCMessage>("/start"));
    bridge->handleDebugMessage("Error: late");
    settle();
    EXPECT_TRUE(commands.empty());
    EXPECT_TRUE(statuses.empty());
}

TEST_F(OSCBridgeTest, APortInUseIsAFailedStartWithThePortInUseText) {
    const int blocker = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ::getsockname(blocker, reinterpret_cast<sockaddr*>(&address), &length);
    const std::uint16_t port = ntohs(address.sin_port);

    auto bridge = makeBridge(port);
    const std::string text = "OSC port " + std::to_string(port) + " is currently in use.";
    try {
        bridge->start();
        ADD_FAILURE() << "started on a port in use";
    } catch (const OSCBridgeStartError& error) {
        EXPECT_EQ(error.what(), text);
    }
    settle();
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back(), (BridgeServerStatus{State::failed, text}));
    ::close(blocker);
}

TEST_F(OSCBridgeTest, AFloodBeyondTheBacklogIsDroppedWithOneStatusLine) {
    auto bridge = makeBridge(0);
    const std::size_t sent = OSCBridgeServer::kMaxWaitingCommands + 100;
    for (std::size_t i = 0; i < sent; ++i) {
        bridge->handleMessage(std::make_shared<OSCMessage>("/goto/slide/number", std::vector<osc::OSCValue>{std::int32_t(i + 1)}));
    }
    settle();
    ASSERT_EQ(commands.size(), OSCBridgeServer::kMaxWaitingCommands);
    EXPECT_EQ(commands.back(), "Go to slide " + std::to_string(OSCBridgeServer::kMaxWaitingCommands));
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses.front().state, State::running);
    // Once the backlog has drained, commands run again.
    bridge->handleMessage(std::make_shared<OSCMessage>("/stop"));
    settle();
    EXPECT_EQ(commands.back(), "Stop");
}

}  // namespace
}  // namespace pavonix::oscbridge
