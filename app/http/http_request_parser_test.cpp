#include "app/http/http_request_parser.h"

#include <gtest/gtest.h>

#include <string>

namespace pavonix::http {
namespace {

using Kind = HTTPParseResult::Kind;

std::string bodyOf(const HTTPRequest& request) { return {request.body.begin(), request.body.end()}; }

TEST(HTTPRequestParser, RequestLineAndHeaders) {
    auto result = parseHTTPRequest("GET /health HTTP/1.1\r\n\r\n");
    ASSERT_EQ(result.kind, Kind::complete);
    EXPECT_EQ(result.request.method, "GET");
    EXPECT_EQ(result.request.path, "/health");
    EXPECT_TRUE(result.request.headers.empty());
    EXPECT_TRUE(result.request.body.empty());

    // One leading blank line is skipped, runs of spaces separate like one, names are lower-cased
    // and values trimmed (tabs and Unicode space separators too), a line without a colon is
    // ignored, and the last of two equal names wins.
    result = parseHTTPRequest(
        "\r\nget  /x?y=1   HTTP/1.1 extra\r\nX-One:\t a b \xC2\xA0\r\nno colon here\r\n"
        "X-One: second\r\nEmpty:\r\n\r\nbody");
    ASSERT_EQ(result.kind, Kind::complete);
    EXPECT_EQ(result.request.method, "get");
    EXPECT_EQ(result.request.path, "/x?y=1");
    EXPECT_EQ(result.request.headers.at("x-one"), "second");
    EXPECT_EQ(result.request.headers.at("empty"), "");
    EXPECT_EQ(bodyOf(result.request), "");
}

TEST(HTTPRequestParser, RefusesWhatCanNeverBeARequest) {
    EXPECT_EQ(parseHTTPRequest("\r\n\r\n").kind, Kind::invalid);
    EXPECT_EQ(parseHTTPRequest("GET\r\n\r\n").kind, Kind::invalid);
    EXPECT_EQ(parseHTTPRequest("GET /\xFF HTTP/1.1\r\n\r\n").kind, Kind::invalid);
    EXPECT_EQ(parseHTTPRequest("GET /\xC0\xAF HTTP/1.1\r\n\r\n").kind, Kind::invalid);  // overlong
    EXPECT_EQ(parseHTTPRequest("GET /\xED\xA0\x80 HTTP/1.1\r\n\r\n").kind, Kind::invalid);  // surrogate
    // Bare line feeds never end the head.
    EXPECT_EQ(parseHTTPRequest("GET / HTTP/1.1\n\n").kind, Kind::incomplete);
}

TEST(HTTPRequestParser, BodyFollowsContentLength) {
    const std::string head = "POST /start HTTP/1.1\r\nContent-Length: 10\r\n\r\n";
    EXPECT_EQ(parseHTTPRequest(head + "12345").kind, Kind::incomplete);
    auto result = parseHTTPRequest(head + "0123456789GET / HTTP/1.1\r\n\r\n");
    ASSERT_EQ(result.kind, Kind::complete);
    EXPECT_EQ(bodyOf(result.request), "0123456789");

    // Text that is no number means no body; so does a missing header.
    result = parseHTTPRequest("POST /a HTTP/1.1\r\nContent-Length: abc\r\n\r\nxyz");
    ASSERT_EQ(result.kind, Kind::complete);
    EXPECT_EQ(bodyOf(result.request), "");
    result = parseHTTPRequest("POST /a HTTP/1.1\r\nContent-Length: +3\r\n\r\nxyz");
    ASSERT_EQ(result.kind, Kind::complete);
    EXPECT_EQ(bodyOf(result.request), "xyz");
    EXPECT_EQ(parseHTTPRequest("POST /a HTTP/1.1\r\nContent-Length: -0\r\n\r\n").kind, Kind::complete);
}

// A head or body that can never become a request is refused as soon as that is known; a head whose
// meaning is open is refused rather than guessed at, since the command would run with a body other
// than the one sent.
TEST(HTTPRequestParser, BoundsAndHeadsWhoseMeaningIsOpen) {
    const std::string line = "GET / HTTP/1.1\r\nX: ";
    const std::string fits = line + std::string(64 * 1024 - line.size(), 'a');
    EXPECT_EQ(parseHTTPRequest(fits + "\r\n\r\n").kind, Kind::complete);
    EXPECT_EQ(parseHTTPRequest(fits + "a\r\n\r\n").kind, Kind::invalid);
    EXPECT_EQ(parseHTTPRequest(fits + "\r\n\r").kind, Kind::incomplete);
    EXPECT_EQ(parseHTTPRequest(fits + "aaaa").kind, Kind::invalid);
    const std::string mebibyte = "POST /a HTTP/1.1\r\nContent-Length: 1048576\r\n\r\n" + std::string(1 << 20, ' ');
    EXPECT_EQ(parseHTTPRequest(mebibyte).kind, Kind::complete);
    const auto post = [](const std::string& lines) { return parseHTTPRequest("POST /a HTTP/1.1\r\n" + lines + "\r\n\r\nbody").kind; };
    EXPECT_EQ(post("Content-Length: 4\r\nContent-Length: 4"), Kind::complete);
    EXPECT_EQ(post("Transfer-Encoding: identity"), Kind::complete);
    for (const char* lines : {"Content-Length: -1", "Content-Length: 9223372036854775808", "Content-Length: 1048577",
                              "Content-Length: 123456789012345678901234567890", "Transfer-Encoding: chunked",
                              "Transfer-Encoding : chunked", "Transfer-Encoding\t: chunked", " Transfer-Encoding: chunked",
                              "Transfer-Encoding: chunked\r\nTransfer-Encoding: identity",
                              "Content-Length: 0\r\nContent-Length: 4", "Host: a.example\r\nHost: b.example"}) {
        EXPECT_EQ(post(lines), Kind::invalid) << lines;
    }
}

}  // namespace
}  // namespace pavonix::http
