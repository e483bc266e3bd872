#include "app/remote/remote_lanternpost_client.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "platform/crypto/base64.h"
#include "platform/keychain/memory_store.h"
#include "platform/testing/temporary_folder.h"
#include "platform/testing/wait_until.h"

namespace pavonix::remote {
namespace {

const Bytes kSecret = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90, 0xA0, 0xB0, 0xC0, 0xD0, 0xE0, 0xF0, 0x01,
                       0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0xFF, 0xFE};
const std::string kAccount = "lpt_testtarget";

Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

RemoteLanternpostTarget targetAt(std::string host, std::int64_t port) {
    return {kAccount, "Stage", std::move(host), port, "lpp_testpair", {}, RemoteLanternpostTransport::http, {}};
}

// Sends through the client and drains the main queue until the completion has run there.
template <class T = CommandResult>
RemoteLanternpostResult<T> sendAndWait(const RemoteLanternpostClient& client, const std::string& path,
                                       const std::string& method, const Bytes& body,
                                       const RemoteLanternpostTarget& target) {
    auto state = std::make_shared<std::pair<std::optional<RemoteLanternpostResult<T>>, bool>>();
    client.sendSigned<T>(path, method, body, target, [state](RemoteLanternpostResult<T> result) {
        state->second = dispatch::isMainThread();
        state->first.emplace(std::move(result));
    });
    EXPECT_TRUE(dispatch::runMainQueue([&] { return state->first.has_value(); }, std::chrono::seconds(20)));
    EXPECT_TRUE(state->second) << "completion off the main thread";
    if (!state->first) return RemoteLanternpostFailure(RemoteTransportError{"no completion"});
    return std::move(*state->first);
}

template <class T = CommandResult>
RemoteLanternpostResult<T> send(const RemoteLanternpostClient& client, const PresentationCommand& command,
                                const RemoteLanternpostTarget& target) {
    const auto request = RemoteLanternpostClient::request(command);
    return sendAndWait<T>(client, request.path, request.method, request.body, target);
}

// Records requests and answers with a canned reply.
class FakeTransport final : public RemoteHTTPTransport {
public:
    RemoteHTTPTransportResponse perform(const RemoteHTTPTransportRequest& request) override {
        std::lock_guard lock(mutex);
        requests.push_back(request);
        return reply;
    }
    std::mutex mutex;
    std::vector<RemoteHTTPTransportRequest> requests;
    RemoteHTTPTransportResponse reply;
};

RemoteHTTPTransportResponse httpReply(int status, std::string_view body, bool truncated = false) {
    return {RemoteHTTPTransportResponse::Outcome::response, status, bytes(body), truncated, {}};
}

// A TCP socket bound to a free loopback port, and that port.
int loopbackSocket() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    return fd;
}
int boundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

class RemoteLanternpostClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        dispatch::setMainThread();
        keychain::setProcessKeychain({primary, nullptr});
        primary->add({std::string(remoteTargetsKeychainService), kAccount}, kSecret);
    }
    void setSecret(const Bytes& secret) { primary->update({std::string(remoteTargetsKeychainService), kAccount}, secret); }

    std::shared_ptr<keychain::MemoryStore> primary = std::make_shared<keychain::MemoryStore>();
    std::shared_ptr<FakeTransport> fake = std::make_shared<FakeTransport>();
};

// Commands without arguments go out bare; their paths are pinned end to end against the signature
// checker and the real server below.
TEST(RemoteLanternpostRequestTest, ArgumentsTravelAsCompactJSON) {
    using Request = RemoteLanternpostHTTPRequest;
    auto request = [](const PresentationCommand& command) { return RemoteLanternpostClient::request(command); };
    EXPECT_EQ(request(PresentationCommand::start()), (Request{"POST", "/start", {}}));
    EXPECT_EQ(request(PresentationCommand::goToSlideNumber(12)),
              (Request{"POST", "/goto/slide/number", bytes(R"({"number":12})")}));
    EXPECT_EQ(request(PresentationCommand::goToSlideNamed("#Caf\xC3\xA9 \"Q\"")),
              (Request{"POST", "/goto/slide/named", bytes("{\"name\":\"#Caf\xC3\xA9 \\\"Q\\\"\"}")}));
}

TEST(RemoteLanternpostRequestTest, URLsAreFormedOnlyFromUsableParts) {
    EXPECT_EQ(RemoteLanternpostClient::url("/health", targetAt("192.168.1.20", 8090)), "http://192.168.1.20:8090/health");
    EXPECT_EQ(RemoteLanternpostClient::url("slides", targetAt("studio.local", 1)), "http://studio.local:1/slides");
    EXPECT_EQ(RemoteLanternpostClient::url("/", targetAt("fe80::1", 65535)), "http://[fe80::1]:65535/");
    EXPECT_EQ(RemoteLanternpostClient::url("/", targetAt("[::1]", 80)), "http://[::1]:80/");
    // Stored records are not trusted either: they may predate the setup URL's host check.
    for (const auto& target : {targetAt("", 80), targetAt("a/b", 80), targetAt("a b", 80), targetAt("h\r\nX: y", 80),
                               targetAt("evil@host", 80), targetAt("host", 0), targetAt("host", 65536)}) {
        EXPECT_THROW(RemoteLanternpostClient::url("/health", target), RemoteLanternpostClientError) << target.host;
    }
    for (const std::string path : {"/a b", "/a?b", "/a#b", "/a%zz", "/a\nb"}) {
        EXPECT_THROW(RemoteLanternpostClient::url(path, targetAt("host", 80)), RemoteLanternpostClientError) << path;
    }
}

TEST_F(RemoteLanternpostClientTest, FailuresBeforeTheNetworkSendNothing) {
    RemoteLanternpostClient client(fake);
    primary->remove({std::string(remoteTargetsKeychainService), kAccount});
    EXPECT_EQ(send(client, PresentationCommand::stop(), targetAt("10.0.0.2", 80)).failure().description(),
              "The saved pairing secret is missing. Remove this remote device and add it again.");

    primary->add({std::string(remoteTargetsKeychainService), kAccount}, kSecret);
    RemoteLanternpostClient noRandom(fake, [](std::size_t) { return std::optional<Bytes>(); });
    auto random = send(noRandom, PresentationCommand::stop(), targetAt("10.0.0.2", 80));
    EXPECT_TRUE(random.failure().as<RemoteLanternpostTargetError>());
    EXPECT_EQ(random.failure().description(), "Unable to generate secure random bytes.");

    auto target = targetAt("10.0.0.2", 80);
    target.pairID = "lpp_x\r\nX-Injected: 1";
    EXPECT_EQ(send(client, PresentationCommand::stop(), target).failure().description(),
              "The remote Pavonix address is invalid.");
    EXPECT_TRUE(fake->requests.empty());
}

TEST_F(RemoteLanternpostClientTest, RepliesBecomeAnswersOrTheirErrors) {
    const std::pair<RemoteHTTPTransportResponse, std::string> cases[] = {
        {httpReply(500, R"({"message":7})"), "HTTP 500"},
        {httpReply(200, R"({"status":"ok"})"), "The remote Pavonix returned an unreadable response."},
        {httpReply(200, R"({"status":"ok","command":"","message":""})", true),
         "The remote Pavonix returned an unreadable response."},
        {{RemoteHTTPTransportResponse::Outcome::failed, 0, {}, false, "The request timed out."}, "The request timed out."},
    };
    RemoteLanternpostClient client(fake);
    for (const auto& [reply, text] : cases) {
        fake->reply = reply;
        EXPECT_EQ(send(client, PresentationCommand::stop(), targetAt("10.0.0.2", 80)).failure().description(), text);
    }
    // A command that ran but failed over there is an answer, not an error.
    fake->reply = httpReply(200, R"({"status":"failed","command":"Stop","message":"No show."})");
    EXPECT_EQ(send(client, PresentationCommand::stop(), targetAt("10.0.0.2", 80)).value(),
              (CommandResult{ResultStatus::failed, "Stop", "No show."}));
    EXPECT_EQ(fake->requests.back().timeout, std::chrono::seconds(60));
}

TEST_F(RemoteLanternpostClientTest, AStalledHostHoldsOnlyAFewWorkersAndNeverDelaysAnotherTarget) {
    // Stands for a host that swallows packets (10.0.0.2: blocks until released) beside one that answers.
    struct StalledTransport final : RemoteHTTPTransport {
        RemoteHTTPTransportResponse perform(const RemoteHTTPTransportRequest& request) override {
            std::unique_lock lock(mutex);
            const bool silent = request.url.find("10.0.0.2") != std::string::npos;
            if (!silent) return httpReply(200, R"({"status":"ok","command":"Stop","message":""})");
            peak = std::max(peak, ++running);
            released.wait(lock, [&] { return open; });
            --running;
            return httpReply(200, R"({"status":"ok","command":"Show next","message":""})");
        }
        std::mutex mutex;
        std::condition_variable released;
        std::size_t running = 0, peak = 0;
        bool open = false;
    };
    auto stalled = std::make_shared<StalledTransport>();
    RemoteLanternpostClient client(stalled);
    const std::size_t perTarget = RemoteLanternpostClient::kMaxConcurrentRequestsPerTarget;
    auto answered = std::make_shared<std::size_t>(0);
    for (std::size_t i = 0; i < 3 * perTarget; ++i) {
        client.sendSigned<CommandResult>("/show/next", "POST", {}, targetAt("10.0.0.2", 80),
                                         [answered](RemoteLanternpostResult<CommandResult> result) {
                                             *answered += result.hasValue();
                                         });
    }
    auto running = [&] {
        std::lock_guard lock(stalled->mutex);
        return stalled->running;
    };
    ASSERT_TRUE(testing::waitUntil([&] { return running() == perTarget; }, std::chrono::seconds(10)));

    // Another target, while every place of the silent one is taken and more wait behind them.
    auto other = targetAt("10.0.0.3", 80);
    other.id = "lpt_othertarget";
    primary->add({std::string(remoteTargetsKeychainService), other.id}, kSecret);
    EXPECT_EQ(send(client, PresentationCommand::stop(), other).value().command, "Stop");

    {
        std::lock_guard lock(stalled->mutex);
        stalled->open = true;
    }
    stalled->released.notify_all();
    EXPECT_TRUE(dispatch::runMainQueue([&] { return *answered == 3 * perTarget; }, std::chrono::seconds(10)));
    EXPECT_EQ(stalled->peak, perTarget);
}

TEST(CurlTransportTest, GivesUpAtItsTimeOut) {
    // A listener that never accepts: the connection completes in the kernel, no reply comes.
    const int fd = loopbackSocket();
    ASSERT_EQ(listen(fd, 1), 0);
    RemoteHTTPTransportRequest request{"GET", "http://127.0.0.1:" + std::to_string(boundPort(fd)) + "/health", {}, {},
                                       std::chrono::milliseconds(300)};
    const auto reply = makeCurlTransport()->perform(request);
    close(fd);
    EXPECT_EQ(reply.outcome, RemoteHTTPTransportResponse::Outcome::failed);
    EXPECT_EQ(reply.errorDescription, "The request timed out.");
}

// ---- Against an independent signature checker (tests/remote/signed_test_server.py) ----------

class RemoteLanternpostLoopbackTest : public RemoteLanternpostClientTest {
protected:
    void SetUp() override {
        RemoteLanternpostClientTest::SetUp();
        if (std::system("command -v python3 >/dev/null 2>&1") != 0) {
            const char* ci = std::getenv("CI");
            if (ci != nullptr && std::string(ci) == "true") FAIL() << "python3 is missing";
            GTEST_SKIP() << "python3 is not installed";
        }
        const std::string command = "exec python3 " PAVONIX_REMOTE_TEST_SERVER_SCRIPT " --pair-id lpp_testpair --secret " +
                                    crypto::base64urlEncode(kSecret) + " --log " + log().string();
        server = popen(command.c_str(), "r");
        int port = 0;
        ASSERT_TRUE(server != nullptr && std::fscanf(server, "PORT %d PID %d", &port, &serverPID) == 2);
        target = targetAt("127.0.0.1", port);
    }
    void TearDown() override {
        if (serverPID > 0) kill(serverPID, SIGTERM);
        if (server != nullptr) pclose(server);
    }

    std::vector<Json> logged() {
        std::vector<Json> lines;
        std::istringstream in(testing::readFile(log()));
        for (std::string line; std::getline(in, line);) lines.push_back(*parseJSON(line));
        return lines;
    }

    FILE* server = nullptr;
    int serverPID = 0;
    std::filesystem::path log() const { return folder / "requests.log"; }
    testing::TemporaryFolder folder{"pavonix-remote"};
    RemoteLanternpostTarget target;
    RemoteLanternpostClient client;
};

TEST_F(RemoteLanternpostLoopbackTest, ForwardedRequestsArriveSignedAndTheirAnswersDecode) {
    auto next = send(client, PresentationCommand::showNext(), target);
    ASSERT_TRUE(next.hasValue()) << next.failure().description();
    EXPECT_EQ(next.value(), (CommandResult{ResultStatus::ok, "/show/next", "Ran {}"}));
    auto start = send(client, PresentationCommand::start(true), target);
    ASSERT_TRUE(start.hasValue()) << start.failure().description();
    EXPECT_EQ(start.value().message, R"(Ran {"fromBeginning": true})");
    auto health = sendAndWait<RemoteLanternpostHealth>(client, "/health", "GET", {}, target);
    ASSERT_TRUE(health.hasValue()) << health.failure().description();
    EXPECT_EQ(health.value(), (RemoteLanternpostHealth{"ok", "keynote", "Keynote"}));
    auto slides = sendAndWait<SlideListResult>(client, "/slides", "GET", {}, target);
    ASSERT_TRUE(slides.hasValue()) << slides.failure().description();
    EXPECT_EQ(slides.value().slides.at(0).name, "Intro");

    // Every request verified (each with a fresh nonce), and only the headers the scheme names.
    const auto lines = logged();
    ASSERT_EQ(lines.size(), 4u);
    for (const Json& line : lines) {
        EXPECT_TRUE(line["verified"].get<bool>()) << line.dump();
        EXPECT_FALSE(line["headers"].contains("expect") || line["headers"].contains("accept")) << line.dump();
    }
    EXPECT_FALSE(lines[0]["headers"].contains("content-type"));
    EXPECT_EQ(lines[1]["headers"]["content-type"], "application/json");
    EXPECT_EQ(lines[1]["body"], R"({"fromBeginning":true})");
    EXPECT_EQ(lines[2]["method"], "GET");
}

TEST_F(RemoteLanternpostLoopbackTest, RefusalsAndBrokenRepliesGiveTheirErrors) {
    setSecret(Bytes(32, 0x55));
    EXPECT_EQ(send(client, PresentationCommand::stop(), target).failure().description(), "Authentication required.");
    EXPECT_FALSE(logged().at(0)["verified"].get<bool>());
    setSecret(kSecret);

    const std::pair<std::string, std::string> cases[] = {
        {"/not-json", "The remote Pavonix returned an unreadable response."},
        {"/bad-gateway", "HTTP 502"},
        {"/not-http", "The remote Pavonix did not return a valid HTTP response."},
        {"/unknown", "Unknown command route: /unknown"},
    };
    for (const auto& [path, text] : cases) {
        EXPECT_EQ(sendAndWait(client, path, "POST", {}, target).failure().description(), text) << path;
    }
    // A reply larger than the transport takes is never decoded from its first part.
    RemoteLanternpostClient small(makeCurlTransport(16));
    EXPECT_EQ(sendAndWait<RemoteLanternpostHealth>(small, "/health", "GET", {}, target).failure().description(),
              "The remote Pavonix returned an unreadable response.");

    const int fd = loopbackSocket();  // a loopback port that nothing listens on
    const int port = boundPort(fd);
    close(fd);
    auto unreachable = send(client, PresentationCommand::stop(), targetAt("127.0.0.1", port));
    EXPECT_TRUE(unreachable.failure().as<RemoteTransportError>());
    EXPECT_EQ(unreachable.failure().description(), "Could not connect to the server.");
}

// ---- Against the real HTTP server on another host (tests/remote/remote_instance_netns_test.sh) --

TEST_F(RemoteLanternpostClientTest, RealServerOnAnotherHostVerifiesRunsAndAnswers) {
    const char* peer = std::getenv("PAVONIX_REMOTE_PEER");  // host:port:pairID:secret
    if (peer == nullptr) GTEST_SKIP() << "run by remote_instance_netns_test.sh";
    std::vector<std::string> parts;
    std::istringstream fields(peer);
    for (std::string part; std::getline(fields, part, ':');) parts.push_back(part);
    ASSERT_EQ(parts.size(), 4u);
    auto target = targetAt(parts[0], std::stoll(parts[1]));
    target.pairID = parts[2];
    setSecret(*crypto::base64urlDecode(parts[3]));
    RemoteLanternpostClient client;

    for (const auto& command : {PresentationCommand::showNext(), PresentationCommand::start(true),
                                PresentationCommand::goToSlideNamed("Caf\xC3\xA9 \"Q\"")}) {
        auto result = send(client, command, target);
        ASSERT_TRUE(result.hasValue()) << result.failure().description();
        EXPECT_EQ(result.value(), CommandResult::ok(command, "Done: " + command.displayText()));
    }
    EXPECT_EQ(send(client, PresentationCommand::goToSlideNumber(13), target).value().message, "Slide 13 is unlucky.");
    EXPECT_EQ(sendAndWait<SlideListResult>(client, "/slides", "GET", {}, target).value().slides.size(), 3u);
    setSecret(Bytes(32, 7));
    EXPECT_EQ(send(client, PresentationCommand::stop(), target).failure().description(), "Authentication required.");
}

}  // namespace
}  // namespace pavonix::remote
