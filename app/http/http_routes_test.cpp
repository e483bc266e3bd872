#include "app/http/http_routes.h"

#include <gtest/gtest.h>

#include "app/http/http_loopback.h"

namespace pavonix::http {
namespace {

HTTPRequest request(std::string method, std::string path, std::string body = {},
                    std::map<std::string, std::string> headers = {}) {
    return {std::move(method), std::move(path), std::move(headers), Bytes(body.begin(), body.end())};
}

struct Parsed {
    std::string statusLine;
    std::vector<std::string> headers;
    std::string body;
};

Parsed parse(const HTTPReply& reply) {
    Parsed out;
    const auto headEnd = reply.bytes.find("\r\n\r\n");
    std::string head = reply.bytes.substr(0, headEnd);
    out.body = reply.bytes.substr(headEnd + 4);
    std::size_t at = 0;
    while (at <= head.size()) {
        auto end = head.find("\r\n", at);
        if (end == std::string::npos) end = head.size();
        (out.statusLine.empty() ? out.statusLine : out.headers.emplace_back()) = head.substr(at, end - at);
        at = end + 2;
    }
    return out;
}

// The header order, sorted keys, UTF-8 repair and the window routes' 404 are pinned on the wire by
// tests/blackbox; here what the wire cannot reach: handlers that are missing or throw.
TEST(HTTPReplies, AMissingOrThrowingHandlerStillGivesAWellFormedAnswer) {
    HTTPBridgeHandlers handlers;
    handlers.presentationProvider = [] { return PresentationProvider::googleSlides; };
    handlers.windowSelection = [](std::int64_t) -> PresentationWindowSelectionResult { throw std::logic_error("x"); };
    for (auto route : {HandlerWork::Route::windowSelection, HandlerWork::Route::slides}) {
        auto reply = parse(performHandlerWork(HandlerWork{route}, handlers));
        EXPECT_EQ(reply.statusLine, "HTTP/1.1 200 OK");
        EXPECT_EQ(Json::parse(reply.body)["status"], "failed");
    }
}

TEST(HTTPReplies, RefusalIsTheHTMLPageOnlyForControlPageGets) {
    auto page = parse(unauthorizedReply(request("get", "/index.html")));
    EXPECT_EQ(page.statusLine, "HTTP/1.1 401 Unauthorized");
    EXPECT_EQ(page.headers[0], "Content-Type: text/html; charset=utf-8");
    EXPECT_NE(page.body.find("Unable to open controls from this client."), std::string::npos);
    auto json = parse(unauthorizedReply(request("POST", "/")));
    EXPECT_EQ(json.body, "{\n  \"message\": \"Authentication required.\",\n  \"status\": \"failed\"\n}");
}

TEST(HTTPLoopback, HostAndOriginMustNameThisMachine) {
    const auto loopback = *net::Endpoint::fromNumericHost("127.0.0.1", 40000);
    const auto remote = *net::Endpoint::fromNumericHost("10.0.0.2", 40000);
    using H = std::map<std::string, std::string>;
    const auto allowed = [&](const net::Endpoint& peer, H headers) {
        return isLoopbackRequest(peer, request("GET", "/health", {}, std::move(headers)));
    };
    EXPECT_TRUE(allowed(loopback, {}));
    EXPECT_FALSE(allowed(remote, {}));
    EXPECT_FALSE(allowed(remote, {{"host", "127.0.0.1:8090"}}));
    EXPECT_TRUE(allowed(loopback, {{"host", "127.3.2.1:8090"}}));
    EXPECT_TRUE(allowed(loopback, {{"host", "LOCALHOST"}}));
    EXPECT_TRUE(allowed(*net::Endpoint::fromNumericHost("::1", 1), {{"host", "[::1]:8090"}}));
    EXPECT_FALSE(allowed(loopback, {{"host", "[::2]:8090"}}));
    EXPECT_FALSE(allowed(loopback, {{"host", "[127.0.0.1]:8090"}}));
    EXPECT_FALSE(allowed(loopback, {{"host", "evil.example:8090"}}));  // a name rebound to 127.0.0.1
    EXPECT_FALSE(allowed(loopback, {{"host", "127.0.0.1:8090x"}}));
    EXPECT_TRUE(allowed(loopback, {{"host", "localhost:8090"}, {"origin", "http://localhost:8090"}}));
    EXPECT_TRUE(allowed(loopback, {{"host", "localhost"}, {"origin", "http://LOCALHOST:80"}}));
    EXPECT_FALSE(allowed(loopback, {{"host", "127.0.0.1:8090"}, {"origin", "http://evil.example"}}));
    EXPECT_FALSE(allowed(loopback, {{"host", "127.0.0.1:8090"}, {"origin", "http://127.0.0.1:9000"}}));
    EXPECT_FALSE(allowed(loopback, {{"host", "127.0.0.1:8090"}, {"origin", "null"}}));
    EXPECT_FALSE(allowed(loopback, {{"origin", "http://127.0.0.1:8090"}}));
}

}  // namespace
}  // namespace pavonix::http
