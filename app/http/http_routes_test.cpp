#include "app/http/http_routes.h"

#include <gtest/gtest.h>

#include "app/http/http_request_origin.h"
#include "app/http/testing/fake_presentation_model.h"

namespace pavonix::http {
namespace {

using enum PresentationProvider;

HTTPRequest request(std::string method, std::string path, std::string body = {},
                    std::map<std::string, std::string> headers = {}) {
    return {std::move(method), std::move(path), std::move(headers), Bytes(body.begin(), body.end())};
}

std::string bodyOf(const HTTPReply& reply) { return reply.bytes.substr(reply.bytes.find("\r\n\r\n") + 4); }

// Every route and alias with the status and the reply's fields: a JSON object whose members must
// all be in the reply, or a text the HTML page must hold.
TEST(HTTPRoutes, EveryRouteAliasAndRefusal) {
    struct Case {
        PresentationProvider provider;
        const char* method;
        std::vector<std::string> paths;
        std::vector<std::string> bodies;
        int status;
        std::string expected;
    };
    const std::string googleOnly = R"({"status":"failed","message":"Window selection is only available for Google Slides."})";
    const Case cases[] = {
        {keynote, "GET", {"/", "/index.html", "/keynote", "/keynote/", "/index.html?x=1"}, {""}, 200, "Controlling Keynote"},
        {googleSlides, "get", {"/"}, {""}, 200, "Controlling Google Slides"},
        {keynote, "GET", {"/health", "/keynote/health", "/health?x=1", "/he%61lth"}, {""}, 200,
         R"({"status":"ok","presentationProvider":"keynote","presentationProviderName":"Keynote"})"},
        {keynote, "GET", {"/slides", "/keynote/slides"}, {""}, 200,
         R"({"slides":[{"number":1,"name":"Intro","notes":"Caf\ufffd","hasExplicitName":true}]})"},
        {keynote, "GET", {"/windows", "/google-slides/windows"}, {""}, 404, googleOnly},
        {powerPoint, "POST", {"/windows/select"}, {R"({"windowID":11})"}, 404, googleOnly},
        {googleSlides, "GET", {"/windows", "/google-slides/windows"}, {""}, 200, R"({"message":"Found 2 windows."})"},
        {googleSlides, "POST", {"/windows/select", "/google-slides/windows/select"}, {R"({"windowID":12})"}, 200,
         R"({"selectedWindowID":12})"},
        {googleSlides, "POST", {"/windows/select"}, {R"({"windowID":0})"}, 200, R"({"selectedWindowID":0})"},
        {googleSlides, "POST", {"/windows/select"},
         {"", "{}", R"({"windowID":"7"})", R"({"windowID":1.5})", R"({"windowID":null})", "[12]", "not json"}, 400,
         R"({"status":"failed","message":"Missing required parameter: windowID"})"},
        {googleSlides, "POST", {"/windows/select"}, {R"({"windowID":-1})"}, 400,
         R"({"status":"failed","message":"Invalid parameter: windowID"})"},
        {keynote, "POST", {"/presentation/provider/select", "/provider/select"}, {R"({"provider":"powerPoint"})"}, 200,
         R"({"status":"ok","presentationProvider":"powerPoint","presentationProviderName":"PowerPoint"})"},
        {keynote, "POST", {"/provider/select"}, {"", "{}", R"({"provider":"PowerPoint"})", R"({"provider":null})", "{"}, 400,
         R"({"status":"failed","message":"Missing required parameter: provider"})"},
        // Which command a route names is the command router's; here that it reaches the handler with
        // its body, and each refusal's status. (A failed command's 200 shows in the program's test.)
        {keynote, "POST", {"/show/next", "/keynote/show/next"}, {""}, 200, R"({"status":"ok","command":"Show next"})"},
        {keynote, "POST", {"/goto/slide/named"}, {R"({"name":"# Intro"})"}, 200, R"({"command":"Go to slide named \"Intro\""})"},
        {keynote, "GET", {"/Health"}, {""}, 405, R"({"status":"failed","message":"Only POST requests are supported for commands."})"},
        {keynote, "POST", {"/health"}, {""}, 404, R"({"message":"Unknown command route: /health"})"},
        {keynote, "POST", {"/goto/slide/number"}, {"{}"}, 400, R"({"message":"Missing required parameter: number"})"},
        {keynote, "POST", {"/goto/slide/number"}, {R"({"number":0})"}, 400, R"({"message":"Invalid parameter: number"})"},
        {keynote, "POST", {"/goto/slide/number"}, {"{oops"}, 400, R"({"message":"Request body must be valid JSON."})"},
    };
    for (const Case& c : cases) {
        for (const auto& path : c.paths) {
            for (const auto& body : c.bodies) {
                SCOPED_TRACE(std::string(c.method) + " " + path + " " + body);
                testing::FakePresentationModel model;
                model.provider = c.provider;
                model.slideCount = 1;
                const auto decision = routeRequest(request(c.method, path, body));
                const auto* direct = std::get_if<HTTPReply>(&decision);
                const auto reply = direct ? *direct : performHandlerWork(std::get<HandlerWork>(decision), model.handlers());
                EXPECT_EQ(reply.status.code, c.status);
                if (c.expected.front() != '{') {
                    EXPECT_NE(bodyOf(reply).find(c.expected), std::string::npos);
                    continue;
                }
                const auto answer = Json::parse(bodyOf(reply));
                const auto expected = Json::parse(c.expected);
                for (const auto& [key, value] : expected.items()) EXPECT_EQ(answer[key], value) << key;
            }
        }
    }
}

TEST(HTTPReplies, AMissingOrThrowingHandlerStillGivesAWellFormedAnswer) {
    HTTPBridgeHandlers handlers;
    handlers.presentationProvider = [] { return PresentationProvider::googleSlides; };
    handlers.windowSelection = [](std::int64_t) -> PresentationWindowSelectionResult { throw std::logic_error("x"); };
    for (auto route : {HandlerWork::Route::windowSelection, HandlerWork::Route::slides}) {
        const auto reply = performHandlerWork(HandlerWork{route}, handlers);
        EXPECT_EQ(reply.status.code, 200);
        EXPECT_EQ(Json::parse(bodyOf(reply))["status"], "failed");
    }
}

// The whole reply: header order, pretty-printed body with sorted keys; pages may not be framed by
// other sites (clickjacking).
TEST(HTTPReplies, RefusalIsTheHTMLPageOnlyForControlPageGets) {
    EXPECT_EQ(unauthorizedReply(request("POST", "/")).bytes,
              "HTTP/1.1 401 Unauthorized\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: 65\r\n"
              "Cache-Control: no-store\r\nConnection: close\r\n\r\n"
              "{\n  \"message\": \"Authentication required.\",\n  \"status\": \"failed\"\n}");
    const auto page = unauthorizedReply(request("get", "/index.html")).bytes;
    const auto head = page.substr(0, page.find("\r\n\r\n") + 4);
    EXPECT_EQ(head, "HTTP/1.1 401 Unauthorized\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                        std::to_string(page.size() - head.size()) +
                        "\r\nCache-Control: no-store\r\nConnection: close\r\nX-Frame-Options: DENY\r\n"
                        "Content-Security-Policy: frame-ancestors 'none'\r\n\r\n");
    EXPECT_NE(page.find("Unable to open controls from this client."), std::string::npos);
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

// A browser names the page's site in Origin and the name it resolved in Host; whatever the
// authentication switch, a request from another site or through a rebound name is refused.
TEST(HTTPCrossSite, ForeignOriginsAndRebindingHostsAreRefused) {
    using H = std::map<std::string, std::string>;
    const auto crossSite = [](H headers, std::string_view machine = "Presenter-Box") {
        return isCrossSiteRequest(request("POST", "/show/next", {}, std::move(headers)), machine);
    };
    for (const H& sameSite : std::initializer_list<H>{
             {}, {{"host", "127.0.0.1:8090"}}, {{"host", "192.168.1.5"}}, {{"host", "[::1]:8090"}}, {{"host", "[fe80::1]"}},
             {{"host", "LOCALHOST."}}, {{"host", "presenter-box"}}, {{"host", "Presenter-Box.local:8090"}},
             {{"host", "presenter-box.local."}}, {{"host", ""}, {"origin", "http://evil.example"}},
             {{"origin", "http://evil.example"}},  // no browser leaves out Host
             {{"host", "10.0.0.2:8090"}, {"origin", "HTTP://10.0.0.2:8090"}}, {{"host", "localhost"}, {"origin", "http://localhost:80"}}}) {
        EXPECT_FALSE(crossSite(sameSite)) << ::testing::PrintToString(sameSite);
    }
    for (const H& foreign : std::initializer_list<H>{
             {{"host", "evil.example:8090"}}, {{"host", "presenter-box.example"}}, {{"host", "127.0.0.1.nip.io"}},
             {{"host", "presenter-box.local.evil.example"}}, {{"host", "evil.local"}}, {{"host", "box.local"}},
             {{"host", "[127.0.0.1]"}}, {{"host", "2130706433"}},
             {{"host", "127.0.0.1:8090x"}}, {{"host", "localhost"}, {"origin", "null"}},
             {{"host", "localhost"}, {"origin", "http"}}, {{"host", "localhost"}, {"origin", "HTTPS"}},
             {{"host", "localhost"}, {"origin", "http://"}},
             {{"host", "127.0.0.1:8090"}, {"origin", "http://evil.example"}},
             {{"host", "127.0.0.1:8090"}, {"origin", "https://127.0.0.1:8090"}},
             {{"host", "127.0.0.1:8090"}, {"origin", "http://127.0.0.1"}},
             {{"host", "127.0.0.1:8090"}, {"origin", "http://127.0.0.1:8090/page"}}}) {
        EXPECT_TRUE(crossSite(foreign)) << ::testing::PrintToString(foreign);
    }
    // A machine known by a longer name answers multicast DNS under its first label.
    EXPECT_FALSE(crossSite({{"host", "box.lan"}}, "box.lan"));
    EXPECT_FALSE(crossSite({{"host", "box.local"}}, "box.lan"));
    EXPECT_TRUE(crossSite({{"host", "local"}}, ""));
}

}  // namespace
}  // namespace pavonix::http
