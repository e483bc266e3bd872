#include "app/http/remote_lanternpost_client.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/http/request_signing.h"
#include "platform/crypto/base64.h"
#include "platform/keychain/memory_store.h"

extern char** environ;

namespace pavonix::http {
namespace {

using ClientKind = RemoteLanternpostClientError::Kind;

const Bytes kSecret = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90, 0xA0, 0xB0,
                       0xC0, 0xD0, 0xE0, 0xF0, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                       0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0xFF, 0xFE};

Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

RemoteLanternpostTarget targetAt(std::string host, std::int64_t port) {
    RemoteLanternpostTarget target;
    target.id = "lpt_testtarget";
    target.name = "Stage";
    target.host = std::move(host);
    target.port = port;
    target.pairID = "lpp_testpair";
    return target;
}

// Records the request and answers with a canned reply.
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
    RemoteHTTPTransportResponse reply;
    reply.outcome = RemoteHTTPTransportResponse::Outcome::response;
    reply.statusCode = status;
    reply.body = bytes(body);
    reply.bodyTruncated = truncated;
    return reply;
}

// Sends through the client and drains the main queue until the completion has run there.
template <class T>
RemoteLanternpostResult<T> sendAndWait(const RemoteLanternpostClient& client, const std::string& path,
                                       const std::string& method, const Bytes& body,
                                       const RemoteLanternpostTarget& target) {
    struct State {
        std::optional<RemoteLanternpostResult<T>> result;
        bool onMainThread = false;
    };
    auto state = std::make_shared<State>();
    client.sendSigned<T>(path, method, body, target, [state](RemoteLanternpostResult<T> result) {
        state->onMainThread = dispatch::isMainThread();
        state->result.emplace(std::move(result));
    });
    EXPECT_TRUE(dispatch::runMainQueue([&] { return state->result.has_value(); }, std::chrono::seconds(20)));
    EXPECT_TRUE(state->onMainThread);
    if (!state->result) return RemoteLanternpostFailure(RemoteTransportError{"no completion"});
    return std::move(*state->result);
}

class RemoteLanternpostClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        dispatch::setMainThread();
        keychain::setProcessKeychain({primary, nullptr});
        primary->add({std::string(remoteTargetsKeychainService), "lpt_testtarget"}, kSecret);
    }

    template <class T = CommandResult>
    RemoteLanternpostResult<T> sendFake(const std::string& path = "/show/next", const Bytes& body = {}) {
        return sendAndWait<T>(RemoteLanternpostClient(fake), path, "POST", body, targetAt("10.0.0.2", 8090));
    }

    std::shared_ptr<keychain::MemoryStore> primary = std::make_shared<keychain::MemoryStore>();
    std::shared_ptr<FakeTransport> fake = std::make_shared<FakeTransport>();
};

TEST(RemoteLanternpostRequestTest, EachCommandHasItsPathAndBody) {
    using Request = RemoteLanternpostHTTPRequest;
    EXPECT_EQ(RemoteLanternpostClient::request(PresentationCommand::start()), (Request{"POST", "/start", {}}));
    EXPECT_EQ(RemoteLanternpostClient::request(PresentationCommand::start(true)),
              (Request{"POST", "/start", bytes(R"({"fromBeginning":true})")}));
    EXPECT_EQ(RemoteLanternpostClient::request(PresentationCommand::goToSlideNumber(12)),
              (Request{"POST", "/goto/slide/number", bytes(R"({"number":12})")}));
    EXPECT_EQ(RemoteLanternpostClient::request(PresentationCommand::goToSlideNamed("#Caf\xC3\xA9 \"Q\"")),
              (Request{"POST", "/goto/slide/named", bytes("{\"name\":\"#Caf\xC3\xA9 \\\"Q\\\"\"}")}));
    EXPECT_EQ(RemoteLanternpostClient::request(PresentationCommand::stop()), (Request{"POST", "/stop", {}}));
    EXPECT_EQ(RemoteLanternpostClient::request(PresentationCommand::showNext()), (Request{"POST", "/show/next", {}}));
    EXPECT_EQ(RemoteLanternpostClient::request(PresentationCommand::showPrevious()),
              (Request{"POST", "/show/previous", {}}));
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

TEST_F(RemoteLanternpostClientTest, SignsWhatItSendsAndAddsAContentTypeOnlyToABody) {
    fake->reply = httpReply(200, R"({"status":"ok","command":"Show next","message":"Done"})");
    auto result = sendFake();
    ASSERT_TRUE(result.hasValue()) << result.failure().description();
    EXPECT_EQ(result.value(), (CommandResult{ResultStatus::ok, "Show next", "Done"}));
    sendFake("/goto/slide/number", bytes(R"({"number":3})"));

    ASSERT_EQ(fake->requests.size(), 2u);
    for (const auto& request : fake->requests) {
        std::map<std::string, std::string> headers(request.headers.begin(), request.headers.end());
        EXPECT_EQ(request.timeout, std::chrono::seconds(60));
        EXPECT_EQ(headers.count("Content-Type"), request.body.empty() ? 0u : 1u);
        EXPECT_EQ(headers["X-Pavonix-Pair-ID"], "lpp_testpair");
        EXPECT_EQ(headers["X-Pavonix-Nonce"].size(), 22u);
        const std::string path = request.url.substr(request.url.find('/', 7));
        const auto signature = decodeRequestSignature(headers["X-Pavonix-Signature"]);
        ASSERT_TRUE(signature);
        EXPECT_TRUE(requestSignatureMatches(kSecret, "POST", path, requestBodyHash(request.body),
                                            headers["X-Pavonix-Timestamp"], headers["X-Pavonix-Nonce"], *signature));
    }
    EXPECT_EQ(fake->requests[1].headers.front(), (std::pair<std::string, std::string>{"Content-Type", "application/json"}));
    auto nonceOf = [](const RemoteHTTPTransportRequest& request) {
        for (const auto& [name, value] : request.headers) {
            if (name == "X-Pavonix-Nonce") return value;
        }
        return std::string();
    };
    EXPECT_NE(nonceOf(fake->requests[0]), nonceOf(fake->requests[1]));
}

TEST_F(RemoteLanternpostClientTest, FailuresBeforeTheNetworkSendNothing) {
    primary->remove({std::string(remoteTargetsKeychainService), "lpt_testtarget"});
    auto missing = sendFake();
    ASSERT_FALSE(missing.hasValue());
    EXPECT_EQ(missing.failure().description(),
              "The saved pairing secret is missing. Remove this remote device and add it again.");

    primary->add({std::string(remoteTargetsKeychainService), "lpt_testtarget"}, kSecret);
    RemoteLanternpostClient noRandom(fake, [](std::size_t) { return std::optional<Bytes>(); });
    auto random = sendAndWait<CommandResult>(noRandom, "/stop", "POST", {}, targetAt("10.0.0.2", 8090));
    ASSERT_TRUE(random.failure().as<RemoteLanternpostTargetError>());
    EXPECT_EQ(random.failure().description(), "Unable to generate secure random bytes.");

    auto target = targetAt("10.0.0.2", 8090);
    target.pairID = "lpp_x\r\nX-Injected: 1";
    auto injected = sendAndWait<CommandResult>(RemoteLanternpostClient(fake), "/stop", "POST", {}, target);
    EXPECT_EQ(injected.failure().description(), "The remote Pavonix address is invalid.");
    EXPECT_TRUE(fake->requests.empty());
}

TEST_F(RemoteLanternpostClientTest, RepliesBecomeTheirErrors) {
    const std::pair<RemoteHTTPTransportResponse, std::string> cases[] = {
        {httpReply(404, R"({"status":"failed","message":"Unknown command route: /x"})"), "Unknown command route: /x"},
        {httpReply(401, R"({"message":"Authentication required."})"), "Authentication required."},
        {httpReply(502, "<html>Bad gateway</html>"), "HTTP 502"},
        {httpReply(500, R"({"message":7})"), "HTTP 500"},
        {httpReply(200, "not json"), "The remote Pavonix returned an unreadable response."},
        {httpReply(200, R"({"status":"ok"})"), "The remote Pavonix returned an unreadable response."},
        {httpReply(200, R"({"status":"ok","command":"","message":""})", true),
         "The remote Pavonix returned an unreadable response."},
        {{RemoteHTTPTransportResponse::Outcome::notHTTP, 0, {}, false, {}},
         "The remote Pavonix did not return a valid HTTP response."},
        {{RemoteHTTPTransportResponse::Outcome::failed, 0, {}, false, "The request timed out."}, "The request timed out."},
    };
    for (const auto& [reply, text] : cases) {
        fake->reply = reply;
        auto result = sendFake();
        ASSERT_FALSE(result.hasValue()) << text;
        EXPECT_EQ(result.failure().description(), text);
    }
    // A command that ran but failed over there is an answer, not an error.
    fake->reply = httpReply(200, R"({"status":"failed","command":"Stop","message":"No show."})");
    EXPECT_EQ(sendFake().value(), (CommandResult{ResultStatus::failed, "Stop", "No show."}));
}

// ---- Against an independent signature checker (tests/remote/signed_test_server.py) ----------

class PythonServer {
public:
    bool start(const std::string& pairID, const Bytes& secret, const std::string& logPath) {
        int out[2];
        if (pipe(out) != 0) return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        const std::string secretText = crypto::base64urlEncode(secret);
        std::vector<std::string> args{"python3", PAVONIX_REMOTE_TEST_SERVER_SCRIPT, "--pair-id", pairID,
                                      "--secret", secretText, "--log", logPath};
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        const int spawned = posix_spawnp(&pid_, "python3", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (spawned != 0) {
            pid_ = -1;
            close(out[0]);
            return false;
        }
        std::string line;
        pollfd fd{out[0], POLLIN, 0};
        char c = 0;
        while (line.find('\n') == std::string::npos && poll(&fd, 1, 10000) == 1 && read(out[0], &c, 1) == 1) {
            line.push_back(c);
        }
        close(out[0]);
        if (!line.starts_with("PORT ")) return false;
        port = std::atoi(line.c_str() + 5);
        return port > 0;
    }
    ~PythonServer() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    int port = 0;

private:
    pid_t pid_ = -1;
};

class RemoteLanternpostLoopbackTest : public RemoteLanternpostClientTest {
protected:
    void SetUp() override {
        RemoteLanternpostClientTest::SetUp();
        if (std::system("command -v python3 >/dev/null 2>&1") != 0) {
            if (std::getenv("CI") != nullptr && std::string(std::getenv("CI")) == "true") FAIL() << "python3 missing";
            GTEST_SKIP() << "python3 is not installed";
        }
        log = std::filesystem::temp_directory_path() / ("pavonix-remote-" + std::to_string(getpid()) + ".log");
        std::filesystem::remove(log);
        ASSERT_TRUE(server.start("lpp_testpair", kSecret, log));
        target = targetAt("127.0.0.1", server.port);
    }
    void TearDown() override { std::filesystem::remove(log); }

    std::vector<Json> logged() {
        std::vector<Json> lines;
        std::ifstream in(log);
        for (std::string line; std::getline(in, line);) lines.push_back(*parseJSON(line));
        return lines;
    }

    PythonServer server;
    std::filesystem::path log;
    RemoteLanternpostTarget target;
    RemoteLanternpostClient client;
};

TEST_F(RemoteLanternpostLoopbackTest, ForwardedRequestsArriveSignedAndTheirAnswersDecode) {
    auto command = sendAndWait<CommandResult>(client, "/show/next", "POST", {}, target);
    ASSERT_TRUE(command.hasValue()) << command.failure().description();
    EXPECT_EQ(command.value(), (CommandResult{ResultStatus::ok, "/show/next", "Ran {}"}));

    const auto start = RemoteLanternpostClient::request(PresentationCommand::start(true));
    auto started = sendAndWait<CommandResult>(client, start.path, start.method, start.body, target);
    ASSERT_TRUE(started.hasValue()) << started.failure().description();
    EXPECT_EQ(started.value().message, R"(Ran {"fromBeginning": true})");

    auto health = sendAndWait<RemoteLanternpostHealth>(client, "/health", "GET", {}, target);
    ASSERT_TRUE(health.hasValue()) << health.failure().description();
    EXPECT_EQ(health.value(), (RemoteLanternpostHealth{"ok", "keynote", "Keynote"}));
    auto slides = sendAndWait<SlideListResult>(client, "/slides", "GET", {}, target);
    ASSERT_TRUE(slides.hasValue()) << slides.failure().description();
    EXPECT_EQ(slides.value().slides.at(0).name, "Intro");

    const auto lines = logged();
    ASSERT_EQ(lines.size(), 4u);
    for (const Json& line : lines) EXPECT_TRUE(line["verified"].get<bool>()) << line.dump();
    // Exactly the headers the scheme names, nothing curl would add by default.
    const Json& empty = lines[0]["headers"];
    EXPECT_FALSE(empty.contains("content-type"));
    EXPECT_FALSE(empty.contains("expect"));
    EXPECT_FALSE(empty.contains("accept"));
    EXPECT_EQ(lines[1]["headers"]["content-type"], "application/json");
    EXPECT_EQ(lines[1]["body"], R"({"fromBeginning":true})");
    EXPECT_FALSE(lines[1]["headers"].contains("expect"));
    EXPECT_EQ(lines[2]["method"], "GET");
}

TEST_F(RemoteLanternpostLoopbackTest, RefusalsAndBrokenRepliesGiveTheirErrors) {
    primary->update({std::string(remoteTargetsKeychainService), "lpt_testtarget"}, Bytes(32, 0x55));
    auto refused = sendAndWait<CommandResult>(client, "/stop", "POST", {}, target);
    ASSERT_FALSE(refused.hasValue());
    EXPECT_EQ(refused.failure().description(), "Authentication required.");
    EXPECT_FALSE(logged().at(0)["verified"].get<bool>());
    primary->update({std::string(remoteTargetsKeychainService), "lpt_testtarget"}, kSecret);

    EXPECT_EQ(sendAndWait<CommandResult>(client, "/not-json", "GET", {}, target).failure().description(),
              "The remote Pavonix returned an unreadable response.");
    EXPECT_EQ(sendAndWait<CommandResult>(client, "/bad-gateway", "GET", {}, target).failure().description(),
              "HTTP 502");
    EXPECT_EQ(sendAndWait<CommandResult>(client, "/not-http", "GET", {}, target).failure().description(),
              "The remote Pavonix did not return a valid HTTP response.");
    EXPECT_EQ(sendAndWait<CommandResult>(client, "/unknown", "POST", {}, target).failure().description(),
              "Unknown command route: /unknown");

    // A loopback port that nothing listens on.
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    close(fd);
    auto unreachable = sendAndWait<CommandResult>(client, "/stop", "POST", {}, targetAt("127.0.0.1", ntohs(address.sin_port)));
    ASSERT_TRUE(unreachable.failure().as<RemoteTransportError>());
    EXPECT_EQ(unreachable.failure().description(), "Could not connect to the server.");
}


// ---- Against the real HTTP server on another host (tests/remote/remote_instance_netns_test.sh) --

class RemoteInstanceNetnsTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* peer = std::getenv("PAVONIX_REMOTE_PEER");
        const char* pair = std::getenv("PAVONIX_REMOTE_PAIR");
        const char* secret = std::getenv("PAVONIX_REMOTE_SECRET");
        if (peer == nullptr || pair == nullptr || secret == nullptr) GTEST_SKIP() << "run by remote_instance_netns_test.sh";
        dispatch::setMainThread();
        keychain::setProcessKeychain({primary, nullptr});
        const std::string address = peer;
        const auto colon = address.rfind(':');
        target = targetAt(address.substr(0, colon), std::stoll(address.substr(colon + 1)));
        target.pairID = pair;
        primary->add({std::string(remoteTargetsKeychainService), target.id}, *crypto::base64urlDecode(secret));
    }

    RemoteLanternpostResult<CommandResult> send(const PresentationCommand& command) {
        const auto request = RemoteLanternpostClient::request(command);
        return sendAndWait<CommandResult>(client, request.path, request.method, request.body, target);
    }

    std::shared_ptr<keychain::MemoryStore> primary = std::make_shared<keychain::MemoryStore>();
    RemoteLanternpostClient client;
    RemoteLanternpostTarget target;
};

TEST_F(RemoteInstanceNetnsTest, TheServerVerifiesRunsAndAnswersForwardedRequests) {
    for (const auto& command : {PresentationCommand::showNext(), PresentationCommand::start(true),
                                PresentationCommand::goToSlideNumber(4),
                                PresentationCommand::goToSlideNamed("Caf\xC3\xA9 \"Q\"")}) {
        auto result = send(command);
        ASSERT_TRUE(result.hasValue()) << result.failure().description();
        EXPECT_EQ(result.value(), CommandResult::ok(command, "Done: " + command.displayText()));
    }
    // Failed over there, yet a proper answer.
    auto unlucky = send(PresentationCommand::goToSlideNumber(13));
    ASSERT_TRUE(unlucky.hasValue()) << unlucky.failure().description();
    EXPECT_EQ(unlucky.value().message, "Slide 13 is unlucky.");

    auto health = sendAndWait<RemoteLanternpostHealth>(client, "/health", "GET", {}, target);
    ASSERT_TRUE(health.hasValue()) << health.failure().description();
    EXPECT_EQ(health.value().status, "ok");
    auto slides = sendAndWait<SlideListResult>(client, "/slides", "GET", {}, target);
    ASSERT_TRUE(slides.hasValue()) << slides.failure().description();
    EXPECT_EQ(slides.value().slides.size(), 3u);

    primary->update({std::string(remoteTargetsKeychainService), target.id}, Bytes(32, 7));
    auto refused = send(PresentationCommand::stop());
    ASSERT_FALSE(refused.hasValue());
    EXPECT_EQ(refused.failure().description(), "Authentication required.");
}

}  // namespace
}  // namespace pavonix::http
