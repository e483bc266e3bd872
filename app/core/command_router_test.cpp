#include "app/core/command_router.h"

#include <bit>
#include <limits>
#include <random>
#include <tuple>

#include <gtest/gtest.h>

namespace pavonix {
// Readable failure messages.
void PrintTo(const CommandRouteError& error, std::ostream* os) { *os << error.description(); }

namespace {

using Error = CommandRouteError;
using Args = std::vector<CommandArgument>;

PresentationCommand post(std::string_view target, std::string_view body = "") {
    return CommandRouter::command("POST", target, body);
}

// The error an HTTP request (method, target, body) or an OSC message (address, arguments) ends in.
template <class... Request>
Error routeError(const Request&... request) {
    try {
        CommandRouter::command(request...);
    } catch (const Error& error) {
        return error;
    }
    ADD_FAILURE() << "no error";
    return Error::invalidJSON();
}

Error httpError(std::string_view method, std::string_view target, std::string_view body = "") {
    return routeError(method, target, body);
}

TEST(CommandRouterTest, EveryRouteAndAliasOverHTTPAndOSC) {
    // Path, HTTP body, OSC arguments, command.
    const std::tuple<std::string, const char*, Args, PresentationCommand> routes[] = {
        {"/start", "{}", {}, PresentationCommand::start()},
        {"/stop", "{}", {}, PresentationCommand::stop()},
        {"/show/next", "", {}, PresentationCommand::showNext()},
        {"/show/previous", "{}", {}, PresentationCommand::showPrevious()},
        {"/goto/slide/number", R"({"number": 7})", {std::int32_t{7}}, PresentationCommand::goToSlideNumber(7)},
        {"/goto/slide/named", R"({"name": "Intro"})", {std::string("Intro")}, PresentationCommand::goToSlideNamed("Intro")},
    };
    for (const auto& [route, body, args, command] : routes) {
        for (const std::string& path : {route, "/keynote" + route}) {
            EXPECT_EQ(post(path, body), command) << path;
            EXPECT_EQ(CommandRouter::command(path, args), command) << path;
        }
    }
}

TEST(CommandRouterTest, HTTPMethodAndPathRules) {
    // The method is checked first, whatever the path.
    EXPECT_EQ(httpError("GET", "/unknown"), Error::methodNotAllowed());
    EXPECT_EQ(httpError("", "/stop"), Error::methodNotAllowed());
    EXPECT_EQ(CommandRouter::command("pOsT", "/stop", ""), PresentationCommand::stop());

    // The query is ignored for matching, and an unknown route is quoted as received.
    EXPECT_EQ(post("/show/next?source=remote#x"), PresentationCommand::showNext());
    EXPECT_EQ(post("http://127.0.0.1:8090/keynote/stop"), PresentationCommand::stop());
    EXPECT_EQ(post("/show%2Fnext"), PresentationCommand::showNext());
    for (const char* path : {"/health?x=1", "/Start", "/start/", "/keynote", "/keynote/keynote/stop",
                             "/bad%zzescape", "/cut%4", ""}) {
        EXPECT_EQ(httpError("POST", path), Error::unknownRoute(path)) << path;
    }

    // Bodies: empty or blank is no parameter; anything else must be a JSON object.
    EXPECT_EQ(post("/stop", " \r\n"), PresentationCommand::stop());
    for (const char* body : {"garbage", "[]", "7", R"({"number": 7)"}) {
        EXPECT_EQ(httpError("POST", "/goto/slide/number", body), Error::invalidJSON()) << body;
    }
    // The route is looked at before the body.
    EXPECT_EQ(httpError("POST", "/nope", "garbage"), Error::unknownRoute("/nope"));
}

TEST(CommandRouterTest, HTTPStartFlags) {
    // Any of the three keys set to a JSON true, and only a JSON true, starts from the first slide.
    const std::pair<const char*, bool> cases[] = {
        {R"({"fromBeginning": true})", true}, {R"({"fromFirstSlide": true})", true},
        {R"({"firstSlide": true})", true}, {R"({"fromBeginning": false, "firstSlide": true})", true},
        {R"({"fromFirstSlide": false})", false}, {R"({"fromBeginning": "true"})", false},
        {R"({"fromBeginning": 1})", false}, {R"({"other": true})", false}};
    for (const auto& [body, fromFirstSlide] : cases) {
        EXPECT_EQ(post("/start", body), PresentationCommand::start(fromFirstSlide)) << body;
    }
}

TEST(CommandRouterTest, HTTPSlideNumber) {
    const auto path = "/goto/slide/number";
    EXPECT_EQ(post(path, R"({"number": 1})"), PresentationCommand::goToSlideNumber(1));
    EXPECT_EQ(post(path, R"({"number": 12.0})"), PresentationCommand::goToSlideNumber(12));
    EXPECT_EQ(post(path, R"({"number": 9223372036854775807})"),
              PresentationCommand::goToSlideNumber(INT64_MAX));
    for (const char* body : {"", "{}", R"({"number": null})"}) {
        EXPECT_EQ(httpError("POST", path, body), Error::missingParameter("number")) << body;
    }
    // The parser refuses numbers beyond the range of a double outright.
    EXPECT_EQ(httpError("POST", path, R"({"number": 1e400})"), Error::invalidJSON());
    for (const char* bad : {"0", "-3", "1.5", "\"7\"", "true", "[7]", "1e300", "-1e300",
                            "9223372036854775808", "18446744073709551616",
                            "123456789012345678901234567890"}) {
        EXPECT_EQ(httpError("POST", path, std::string(R"({"number": )") + bad + "}"),
                  Error::invalidParameter("number"))
            << bad;
    }
}

TEST(CommandRouterTest, HTTPSlideName) {
    const auto path = "/goto/slide/named";
    EXPECT_EQ(post(path, R"({"name": "  #Intro\n"})"), PresentationCommand::goToSlideNamed("Intro"));
    EXPECT_EQ(post(path, R"({"name": "Caf\u00e9"})"), PresentationCommand::goToSlideNamed("Caf\xC3\xA9"));
    for (const char* body : {"", R"({"name": null})", R"({"name": " ## "})", R"({"name": "\u3000"})"}) {
        EXPECT_EQ(httpError("POST", path, body), Error::missingParameter("name")) << body;
    }
    for (const char* body : {R"({"name": 5})", R"({"name": ["Intro"]})"}) {
        EXPECT_EQ(httpError("POST", path, body), Error::invalidParameter("name")) << body;
    }
}

TEST(CommandRouterTest, OSCStartArguments) {
    const auto start = [](Args args) { return CommandRouter::command("/start", args).fromFirstSlide(); };
    // Only the first argument counts.
    const std::pair<Args, bool> cases[] = {
        {{}, false}, {{false, true}, false}, {{true}, true}, {{false}, false}, {{std::int32_t{1}}, true},
        {{std::int32_t{-2}}, true}, {{std::int32_t{0}}, false}, {{0.5f}, true}, {{0.0f}, false},
        {{std::numeric_limits<float>::quiet_NaN()}, false}, {{std::numeric_limits<double>::infinity()}, true},
        {{CommandArgumentNil{}}, false}, {{CommandArgumentImpulse{}}, false}, {{Bytes{1}}, false}};
    for (const auto& [args, expected] : cases) {
        EXPECT_EQ(start(args), expected) << (args.empty() ? -1 : static_cast<int>(args[0].index()));
    }
    for (const char* yes : {"true", "YES", " 1 ", "First", "beginning", "fromBeginning",
                            "FROMBEGINNING\n"}) {
        EXPECT_TRUE(start({std::string(yes)})) << yes;
    }
    for (const char* no : {"", "no", "false", "0", "2", "from beginning", "truex"}) {
        EXPECT_FALSE(start({std::string(no)})) << no;
    }
}

TEST(CommandRouterTest, OSCSlideNumberArguments) {
    const auto number = [](CommandArgument argument) {
        return CommandRouter::command("/goto/slide/number", Args{std::move(argument)});
    };
    EXPECT_EQ(number(std::int32_t{3}), PresentationCommand::goToSlideNumber(3));
    EXPECT_EQ(number(std::int64_t{1} << 40), PresentationCommand::goToSlideNumber(std::int64_t{1} << 40));
    EXPECT_EQ(number(4.0f), PresentationCommand::goToSlideNumber(4));
    EXPECT_EQ(number(5.0), PresentationCommand::goToSlideNumber(5));
    EXPECT_EQ(number(std::string(" 007 ")), PresentationCommand::goToSlideNumber(7));
    EXPECT_EQ(routeError("/goto/slide/number", Args{}), Error::missingParameter("number"));
    const CommandArgument bad[] = {
        std::int32_t{0}, std::int32_t{-1}, 4.5f, 0.0f, 1e30f,
        std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
        std::numeric_limits<double>::max(), std::string("0"), std::string("-3"), std::string("+3"),
        std::string("3a"), std::string(""), std::string("99999999999999999999"), true,
        CommandArgumentNil{}, CommandArgumentImpulse{}, CommandArgumentTimeTag{1}, Bytes{7}};
    for (const auto& argument : bad) {
        EXPECT_EQ(routeError("/goto/slide/number", Args{argument}), Error::invalidParameter("number"))
            << argument.index();
    }
}

TEST(CommandRouterTest, OSCSlideNameArguments) {
    EXPECT_EQ(CommandRouter::command("/goto/slide/named", Args{std::string("#Intro")}),
              PresentationCommand::goToSlideNamed("Intro"));
    EXPECT_EQ(routeError("/goto/slide/named", Args{}), Error::missingParameter("name"));
    EXPECT_EQ(routeError("/goto/slide/named", Args{std::string(" # ")}),
              Error::missingParameter("name"));
    EXPECT_EQ(routeError("/goto/slide/named", Args{std::int32_t{3}}), Error::invalidParameter("name"));
    EXPECT_EQ(routeError("/goto/slide/named", Args{Bytes{'I', 'n'}}), Error::invalidParameter("name"));
    // Invalid UTF-8 is replaced so the name can be shown and sent on as JSON.
    EXPECT_EQ(CommandRouter::command("/goto/slide/named", Args{std::string("A\xFF")}).slideName(),
              "A\xEF\xBF\xBD");
}

TEST(CommandRouterTest, OSCAddressRules) {
    EXPECT_EQ(CommandRouter::command("/stop", Args{std::string("ignored"), 1.0f}),
              PresentationCommand::stop());
    EXPECT_EQ(CommandRouter::command("/show/previous", Args{CommandArgumentNil{}}),
              PresentationCommand::showPrevious());
    // No OSC pattern matching and no query handling: addresses match exactly.
    for (const char* address : {"/st*", "/show/{next,previous}", "/show/nex?", "/stop?x=1", "stop",
                                "/STOP", ""}) {
        EXPECT_EQ(routeError(address, Args{}), Error::unknownRoute(address)) << address;
    }
}

TEST(CommandRouterTest, HostileInputNeverCrashes) {
    // Deep nesting and invalid UTF-8 in bodies are refused by parseJSON (JSONCodingTest); in
    // routes the bytes are repaired before they are quoted back.
    const Error unknown = httpError("POST", "/\xFF\xFE");
    EXPECT_EQ(unknown.description(), "Unknown command route: /\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(routeError("/\xC3", Args{}).value(), "/\xEF\xBF\xBD");
    // Large and odd bodies.
    std::string big = R"({"name": ")" + std::string(1 << 20, 'x') + R"("})";
    EXPECT_EQ(post("/goto/slide/named", big).slideName().size(), std::size_t{1} << 20);
    EXPECT_EQ(httpError("POST", "/start", std::string("\0\0\0", 3)), Error::invalidJSON());
    EXPECT_EQ(httpError("POST", "/goto/slide/number", R"({"number": NaN})"), Error::invalidJSON());
    EXPECT_EQ(httpError("POST", "/goto/slide/number", R"({"number": 1, "number": 0})"),
              Error::invalidParameter("number"));  // the last duplicate wins, as in the parser
    Bytes bytes{'{', '}'};
    EXPECT_EQ(CommandRouter::command("POST", "/stop", bytes), PresentationCommand::stop());
}

TEST(CommandRouterTest, RandomInputOnlyEverThrowsRouteErrors) {
    // Mutations of valid requests: everything must end as a command or a CommandRouteError.
    std::mt19937 random(20260101);
    const std::string seeds[] = {R"({"number": 7})", R"({"name": "#Intro"})",
                                 R"({"fromBeginning": true, "x": [1, {"y": null}]})", "{}"};
    const char* paths[] = {"/start", "/goto/slide/number", "/goto/slide/named", "/keynote/stop"};
    for (int i = 0; i < 20000; ++i) {
        std::string body = seeds[random() % std::size(seeds)];
        std::string path = paths[random() % std::size(paths)];
        for (int m = 0, n = 1 + random() % 4; m < n; ++m) {
            std::string& target = random() % 4 == 0 ? path : body;
            const std::size_t at = target.empty() ? 0 : random() % target.size();
            switch (random() % 3) {
            case 0: target.insert(at, 1, static_cast<char>(random())); break;
            case 1: if (!target.empty()) target.erase(at, 1); break;
            default: if (!target.empty()) target[at] = static_cast<char>(random()); break;
            }
        }
        try {
            CommandRouter::command("POST", path, body);
        } catch (const CommandRouteError&) {
        }
        const std::uint32_t bits = random();
        const CommandArgument pool[] = {body, static_cast<std::int32_t>(bits),
                                        std::bit_cast<float>(bits), bits % 2 == 0};
        Args args;
        for (int a = 0, n = random() % 3; a < n; ++a) args.push_back(pool[random() % std::size(pool)]);
        try {
            CommandRouter::command(path, args);
        } catch (const CommandRouteError&) {
        }
    }
}

}  // namespace
}  // namespace pavonix
