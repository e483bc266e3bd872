#include "app/remote/remote_lanternpost_client.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <future>

#include "app/core/text.h"
#include "app/http/http_request_authenticator.h"
#include "platform/crypto/base64.h"
#include "platform/keychain/memory_store.h"
#include "platform/net/testing/loopback.h"
#include "platform/testing/wait_until.h"

namespace pavonix::remote {
namespace {

const Bytes kSecret(32, 0x5A);
const std::string kAccount = "lpt_testtarget";

RemoteLanternpostTarget targetAt(std::string host, std::int64_t port) {
    return {kAccount, "Stage", std::move(host), port, "lpp_testpair", {}, RemoteLanternpostTransport::http, {}};
}

// Sends through the client and drains the main queue until the completion has run there.
RemoteLanternpostResult<CommandResult> send(const RemoteLanternpostClient& client, const PresentationCommand& command,
                                            const RemoteLanternpostTarget& target) {
    using Result = RemoteLanternpostResult<CommandResult>;
    const auto request = RemoteLanternpostClient::request(command);
    auto state = std::make_shared<std::pair<std::optional<Result>, bool>>();
    client.sendSigned<CommandResult>(request.path, request.method, request.body, target, [state](Result result) {
        state->second = dispatch::isMainThread();
        state->first.emplace(std::move(result));
    });
    EXPECT_TRUE(dispatch::runMainQueue([&] { return state->first.has_value(); }, std::chrono::seconds(20)));
    EXPECT_TRUE(state->second) << "completion off the main thread";
    if (!state->first) return RemoteLanternpostFailure(RemoteTransportError{"no completion"});
    return std::move(*state->first);
}

// Records requests and answers with a canned reply. Requests to `stalledHost` stand for a host
// that swallows packets: they block until `open`.
struct FakeTransport final : RemoteHTTPTransport {
    RemoteHTTPTransportResponse perform(const RemoteHTTPTransportRequest& request) override {
        std::unique_lock lock(mutex);
        requests.push_back(request);
        if (!stalledHost.empty() && request.url.find(stalledHost) != std::string::npos) {
            peak = std::max(peak, ++running);
            released.wait(lock, [&] { return open; });
            --running;
        }
        return reply;
    }
    std::mutex mutex;
    std::vector<RemoteHTTPTransportRequest> requests;
    RemoteHTTPTransportResponse reply;
    std::string stalledHost;
    std::condition_variable released;
    std::size_t running = 0, peak = 0;
    bool open = false;
};

RemoteHTTPTransportResponse httpReply(int status, std::string_view body, bool truncated = false) {
    return {RemoteHTTPTransportResponse::Outcome::response, status, Bytes(body.begin(), body.end()), truncated, {}};
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

// The other instance's routes read exactly these paths and keys.
TEST(RemoteLanternpostRequestTest, EachCommandGoesToItsRouteWithItsArgumentsAsCompactJSON) {
    using Command = PresentationCommand;
    const auto bytes = [](std::string_view text) { return Bytes(text.begin(), text.end()); };
    const std::pair<Command, RemoteLanternpostHTTPRequest> cases[] = {
        {Command::start(), {"POST", "/start", {}}},
        {Command::start(true), {"POST", "/start", bytes(R"({"fromBeginning":true})")}},
        {Command::stop(), {"POST", "/stop", {}}},
        {Command::showNext(), {"POST", "/show/next", {}}},
        {Command::showPrevious(), {"POST", "/show/previous", {}}},
        {Command::goToSlideNumber(12), {"POST", "/goto/slide/number", bytes(R"({"number":12})")}},
        {Command::goToSlideNamed("#Caf\xC3\xA9 \"Q\""),
         {"POST", "/goto/slide/named", bytes("{\"name\":\"#Caf\xC3\xA9 \\\"Q\\\"\"}")}},
    };
    for (const auto& [command, request] : cases) {
        const auto got = RemoteLanternpostClient::request(command);
        EXPECT_EQ(got, request) << command.displayText() << ": " << got.path << " "
                                << std::string(got.body.begin(), got.body.end());
    }
}

// Stored records are not trusted: they may predate the setup URL's host check.
TEST(RemoteLanternpostRequestTest, URLsAreFormedOnlyFromUsableParts) {
    EXPECT_EQ(RemoteLanternpostClient::url("/health", targetAt("192.168.1.20", 8090)), "http://192.168.1.20:8090/health");
    EXPECT_EQ(RemoteLanternpostClient::url("slides", targetAt("studio.local", 1)), "http://studio.local:1/slides");
    EXPECT_EQ(RemoteLanternpostClient::url("/", targetAt("fe80::1", 65535)), "http://[fe80::1]:65535/");
    EXPECT_EQ(RemoteLanternpostClient::url("/", targetAt("[::1]", 80)), "http://[::1]:80/");
    // The kinds of host refused are pinned with the setup URL, which shares the check.
    for (const auto& target : {targetAt("", 80), targetAt("h\r\nX: y", 80), targetAt("host", 0), targetAt("host", 65536)}) {
        EXPECT_THROW(RemoteLanternpostClient::url("/health", target), RemoteLanternpostClientError) << target.host;
    }
    for (const std::string path : {"/a b", "/a?b", "/a#b", "/a%zz", "/a\nb"}) {
        EXPECT_THROW(RemoteLanternpostClient::url(path, targetAt("host", 80)), RemoteLanternpostClientError) << path;
    }
}

// A missing secret is pinned through the model, with the real client.
TEST_F(RemoteLanternpostClientTest, FailuresBeforeTheNetworkSendNothingAndRepliesBecomeAnswersOrErrors) {
    RemoteLanternpostClient noRandom(fake, [](std::size_t) { return std::optional<Bytes>(); });
    EXPECT_EQ(send(noRandom, PresentationCommand::stop(), targetAt("10.0.0.2", 80)).failure().description(),
              "Unable to generate secure random bytes.");
    RemoteLanternpostClient client(fake);
    auto target = targetAt("10.0.0.2", 80);
    target.pairID = "lpp_x\r\nX-Injected: 1";
    EXPECT_EQ(send(client, PresentationCommand::stop(), target).failure().description(),
              "The remote Pavonix address is invalid.");
    EXPECT_TRUE(fake->requests.empty());

    using Outcome = RemoteHTTPTransportResponse::Outcome;
    const std::string unreadable = "The remote Pavonix returned an unreadable response.";
    const std::pair<RemoteHTTPTransportResponse, std::string> cases[] = {
        {httpReply(500, R"({"message":7})"), "HTTP 500"},
        {httpReply(502, "<html><body>Bad gateway</body></html>"), "HTTP 502"},
        {httpReply(401, R"({"status":"failed","message":"Authentication required."})"), "Authentication required."},
        {httpReply(200, R"({"status":"ok"})"), unreadable},
        {httpReply(200, "this is not JSON"), unreadable},
        {httpReply(200, R"({"status":"ok","command":"","message":""})", true), unreadable},
        {{Outcome::notHTTP, 0, {}, false, {}}, "The remote Pavonix did not return a valid HTTP response."},
        {{Outcome::failed, 0, {}, false, "The request timed out."}, "The request timed out."},
    };
    for (const auto& [reply, text] : cases) {
        fake->reply = reply;
        EXPECT_EQ(send(client, PresentationCommand::stop(), targetAt("10.0.0.2", 80)).failure().description(), text);
    }
    // A command that ran but failed over there is an answer, not an error.
    fake->reply = httpReply(200, R"({"status":"failed","command":"Start","message":"No show."})");
    EXPECT_EQ(send(client, PresentationCommand::start(true), targetAt("10.0.0.2", 80)).value(),
              (CommandResult{ResultStatus::failed, "Start", "No show."}));
    // Only a body gets a content type; the rest are the four of the signature.
    EXPECT_EQ(fake->requests.back().headers.front(),
              (std::pair<std::string, std::string>{"Content-Type", "application/json"}));
    EXPECT_EQ(fake->requests.front().headers.size(), 4u);
    // The server's verifier accepts what went out: the path and body are signed as sent.
    const auto& sent = fake->requests.back();
    std::map<std::string, std::string> headers;
    for (const auto& [name, value] : sent.headers) headers[asciiLowercased(name)] = value;
    http::HTTPRequestAuthenticator verifier({true, {{"lpp_testpair", kSecret}}});
    const http::HTTPRequest received{sent.method, sent.url.substr(sent.url.find("/start")), headers, sent.body};
    EXPECT_TRUE(verifier.authenticate(received, false).accepted()) << sent.url;
}

TEST_F(RemoteLanternpostClientTest, AStalledHostHoldsOnlyAFewWorkersAndNeverDelaysAnotherTarget) {
    // 10.0.0.2 swallows packets; 10.0.0.3 answers.
    fake->stalledHost = "10.0.0.2";
    fake->reply = httpReply(200, R"({"status":"ok","command":"Stop","message":""})");
    RemoteLanternpostClient client(fake);
    const std::size_t perTarget = RemoteLanternpostClient::kMaxConcurrentRequestsPerTarget;
    auto answered = std::make_shared<std::size_t>(0);
    for (std::size_t i = 0; i < 3 * perTarget; ++i) {
        client.sendSigned<CommandResult>("/show/next", "POST", {}, targetAt("10.0.0.2", 80),
                                         [answered](RemoteLanternpostResult<CommandResult> result) {
                                             *answered += result.hasValue();
                                         });
    }
    const auto allPlacesTaken = [&] {
        std::lock_guard lock(fake->mutex);
        return fake->running == perTarget;
    };
    ASSERT_TRUE(testing::waitUntil(allPlacesTaken, std::chrono::seconds(10)));

    // Another target, while every place of the silent one is taken and more wait behind them.
    auto other = targetAt("10.0.0.3", 80);
    other.id = "lpt_othertarget";
    primary->add({std::string(remoteTargetsKeychainService), other.id}, kSecret);
    EXPECT_EQ(send(client, PresentationCommand::stop(), other).value().command, "Stop");

    {
        std::lock_guard lock(fake->mutex);
        fake->open = true;
    }
    fake->released.notify_all();
    EXPECT_TRUE(dispatch::runMainQueue([&] { return *answered == 3 * perTarget; }, std::chrono::seconds(10)));
    EXPECT_EQ(fake->peak, perTarget);
}

// One POST through the curl transport to a loopback port that answers with the raw `reply`;
// without one the port listens but accepts nothing (the kernel completes the connection, no
// answer comes), and when not listening it refuses. Gives what the transport made of it.
std::string curlExchange(bool listening, const std::optional<std::string>& reply,
                         std::size_t limit = kMaxRemoteReplyBytes) {
    const int fd = testing::bindLoopback(AF_INET, SOCK_STREAM);
    EXPECT_EQ(listening ? listen(fd, 1) : 0, 0);
    const std::string host = "127.0.0.1:" + std::to_string(testing::boundPort(fd));
    const auto timeout = std::chrono::milliseconds(reply ? 20000 : 300);
    auto exchange = std::async(std::launch::async, [&] {
        const RemoteHTTPTransportRequest request{"POST", "http://" + host + "/stop", {{"X-Pavonix-Nonce", "n"}}, {}, timeout};
        return makeCurlTransport(limit)->perform(request);
    });
    if (listening && reply) {
        const int connection = accept(fd, nullptr, nullptr);
        std::string received;
        char buffer[4096];
        ssize_t n = 0;
        // The head first, so that the answer never overtakes the request; then all until the client closes.
        while (received.find("\r\n\r\n") == std::string::npos && (n = recv(connection, buffer, sizeof buffer, 0)) > 0) {
            received.append(buffer, static_cast<std::size_t>(n));
        }
        ::send(connection, reply->data(), reply->size(), MSG_NOSIGNAL);
        shutdown(connection, SHUT_WR);
        while ((n = recv(connection, buffer, sizeof buffer, 0)) > 0) received.append(buffer, static_cast<std::size_t>(n));
        close(connection);
        // No "Expect", "Accept" or form content type of curl's own beside the headers it was given.
        EXPECT_EQ(received, "POST /stop HTTP/1.1\r\nHost: " + host + "\r\nX-Pavonix-Nonce: n\r\nContent-Length: 0\r\n\r\n");
    }
    const RemoteHTTPTransportResponse response = exchange.get();
    close(fd);
    using Outcome = RemoteHTTPTransportResponse::Outcome;
    if (response.outcome == Outcome::notHTTP) return "not HTTP";
    if (response.outcome == Outcome::failed) return response.errorDescription;
    if (response.bodyTruncated) return std::to_string(response.statusCode) + " (truncated)";
    return std::to_string(response.statusCode) + " " + std::string(response.body.begin(), response.body.end());
}

TEST(CurlTransportTest, SendsOnlyTheGivenHeadersAndTellsEveryKindOfReplyApart) {
    EXPECT_EQ(curlExchange(true, "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 6\r\n\r\n<html>"), "502 <html>");
    // A reply larger than the transport takes is never handed on as if it were whole.
    EXPECT_EQ(curlExchange(true, "HTTP/1.0 200 OK\r\n\r\n" + std::string(64, 'x'), 16), "200 (truncated)");
    EXPECT_EQ(curlExchange(true, "NOT HTTP AT ALL\r\n\r\n"), "not HTTP");
    EXPECT_EQ(curlExchange(true, std::nullopt), "The request timed out.");
    EXPECT_EQ(curlExchange(false, std::nullopt), "Could not connect to the server.");
}

// Run by tests/remote/remote_instance_netns_test.sh: the real HTTP server on another host, where
// its loopback exemption does not apply and every request must carry a valid signature.
TEST_F(RemoteLanternpostClientTest, RealServerOnAnotherHostVerifiesRunsAndAnswers) {
    const char* host = std::getenv("PAVONIX_REMOTE_HOST");
    if (host == nullptr) GTEST_SKIP() << "run by remote_instance_netns_test.sh";
    auto target = targetAt(host, std::stoll(std::getenv("PAVONIX_REMOTE_PORT")));
    target.pairID = std::getenv("PAVONIX_REMOTE_PAIR_ID");
    setSecret(*crypto::base64urlDecode(std::getenv("PAVONIX_REMOTE_SECRET")));
    RemoteLanternpostClient client;

    // Each command reaches its own route with the arguments that route reads, signed as sent (an
    // escaped, non-ASCII name among them).
    for (const auto& command : {PresentationCommand::showNext(), PresentationCommand::start(true),
                                PresentationCommand::goToSlideNumber(4),
                                PresentationCommand::goToSlideNamed("Caf\xC3\xA9 \"Q\"")}) {
        auto result = send(client, command, target);
        ASSERT_TRUE(result.hasValue()) << command.displayText() << ": " << result.failure().description();
        EXPECT_EQ(result.value(), CommandResult::ok(command, "Done: " + command.displayText()));
    }
    setSecret(Bytes(32, 7));
    EXPECT_EQ(send(client, PresentationCommand::stop(), target).failure().description(), "Authentication required.");
}

}  // namespace
}  // namespace pavonix::remote
