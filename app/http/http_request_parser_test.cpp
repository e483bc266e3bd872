#include "app/http/http_request_parser.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <string_view>

namespace pavonix::http {
namespace {

using Kind = HTTPParseResult::Kind;
using namespace std::string_view_literals;

std::string bodyOf(const HTTPRequest& request) { return {request.body.begin(), request.body.end()}; }

// One leading blank line is skipped, runs of spaces separate like one, names are lower-cased and
// values trimmed (tabs and Unicode space separators too), a line without a colon is ignored, and
// the last of two equal names wins.
TEST(HTTPRequestParser, RequestLineAndHeaders) {
    const auto result = parseHTTPRequest(
        "\r\nget  /x?y=1   HTTP/1.1 extra\r\nX-One:\t a b \xC2\xA0\r\nno colon here\r\n"
        "X-One: second\r\nEmpty:\r\n\r\nbody");
    ASSERT_EQ(result.kind, Kind::complete);
    EXPECT_EQ(result.request.method, "get");
    EXPECT_EQ(result.request.path, "/x?y=1");
    EXPECT_EQ(result.request.headers, (std::map<std::string, std::string>{{"x-one", "second"}, {"empty", ""}}));
    EXPECT_EQ(bodyOf(result.request), "");
}

// What whole requests become: the body that Content-Length announces, incomplete, or invalid when
// they can never be a request or their head's meaning is open (the command would run with a body
// other than the one sent).
TEST(HTTPRequestParser, BodiesAndRefusals) {
    const std::string post = "POST /a HTTP/1.1\r\n";
    struct Case {
        std::string bytes;
        Kind kind;
        std::string body = "";
    };
    const Case cases[] = {
        {post + "Content-Length: 10\r\n\r\n12345", Kind::incomplete},
        {post + "Content-Length: 10\r\n\r\n0123456789GET / HTTP/1.1\r\n\r\n", Kind::complete, "0123456789"},
        {post + "Content-Length: abc\r\n\r\nxyz", Kind::complete},  // no number, no body
        {post + "Content-Length: +3\r\n\r\nxyz", Kind::complete, "xyz"},
        {post + "Content-Length: -0\r\n\r\n", Kind::complete},
        {post + "Content-Length: 3\r\nContent-Length: 3\r\n\r\nxyz", Kind::complete, "xyz"},
        {post + "Transfer-Encoding: identity\r\n\r\n", Kind::complete},
        {"GET / HTTP/1.1\n\n", Kind::incomplete},  // bare line feeds never end the head
        {"\r\n\r\n", Kind::invalid},
        {"GET\r\n\r\n", Kind::invalid},
        {"GET /\xFF HTTP/1.1\r\n\r\n", Kind::invalid},
        {"GET /\xC0\xAF HTTP/1.1\r\n\r\n", Kind::invalid},      // overlong
        {"GET /\xED\xA0\x80 HTTP/1.1\r\n\r\n", Kind::invalid},  // surrogate
    };
    for (const Case& c : cases) {
        const auto result = parseHTTPRequest(c.bytes);
        EXPECT_EQ(result.kind, c.kind) << c.bytes;
        EXPECT_EQ(bodyOf(result.request), c.body) << c.bytes;
    }
    // Among them folded lines, and values that C string code or another reader would cut or split
    // elsewhere.
    for (std::string_view lines : std::initializer_list<std::string_view>{"Content-Length: -1", "Content-Length: 9223372036854775808", "Content-Length: 1048577",
                              "Content-Length: 123456789012345678901234567890", "Transfer-Encoding: chunked",
                              "Transfer-Encoding : chunked", "Transfer-Encoding\t: chunked", " Transfer-Encoding: chunked",
                              "Transfer-Encoding: chunked\r\nTransfer-Encoding: identity",
                              "Content-Length: 0\r\nContent-Length: 4", "Host: a.example\r\nHost: b.example",
                              "Host: 127.0.0.1\0\0\0\0:8090"sv, "Host: 127.0.0.1\t:8090", "Host: local\x7Fhost",
                              "X-Note: a\0b"sv, "X-Note: a\rHost: evil.example", "X-Note: a\nHost: evil.example",
                              "X-Note: a\r\n folded", "X-Note: a\r\n\tTransfer-Encoding: chunked"}) {
        EXPECT_EQ(parseHTTPRequest(post + std::string(lines) + "\r\n\r\nbody").kind, Kind::invalid) << lines;
    }
}

// A head or body that can never fit is refused as soon as that is known.
TEST(HTTPRequestParser, SizeLimitsAreExact) {
    const std::string line = "GET / HTTP/1.1\r\nX: ";
    const std::string fits = line + std::string(64 * 1024 - line.size(), 'a');
    EXPECT_EQ(parseHTTPRequest(fits + "\r\n\r\n").kind, Kind::complete);
    EXPECT_EQ(parseHTTPRequest(fits + "a\r\n\r\n").kind, Kind::invalid);
    EXPECT_EQ(parseHTTPRequest(fits + "\r\n\r").kind, Kind::incomplete);
    EXPECT_EQ(parseHTTPRequest(fits + "aaaa").kind, Kind::invalid);
    const std::string mebibyte = "POST /a HTTP/1.1\r\n" "Content-Length: 1048576\r\n\r\n" + std::string(1 << 20, ' ');
    EXPECT_EQ(parseHTTPRequest(mebibyte).kind, Kind::complete);
}

// Once the head has come only the body is held (peers stalling with a long head and a declared
// body pay for what they send), and a spent reader holds nothing.
TEST(HTTPRequestParser, AReaderHoldsOnlyTheMissingBody) {
    const std::string head = "POST /a HTTP/1.1\r\nX-Pad: " + std::string(1000, 'p') + "\r\nContent-Length: 10\r\n\r\n";
    HTTPRequestReader reader;
    EXPECT_EQ(reader.append(head + "123"), Kind::incomplete);
    EXPECT_EQ(reader.head().headers.at("content-length"), "10");
    EXPECT_EQ(reader.bufferedBytes(), 3u);
    EXPECT_EQ(reader.unfinishedBodyBytes(), 3u);
    EXPECT_EQ(reader.append("4567890extra"), Kind::complete);
    EXPECT_EQ(reader.unfinishedBodyBytes(), 0u);
    EXPECT_EQ(bodyOf(reader.takeRequest()), "1234567890");

    HTTPRequestReader dropped;
    dropped.append(head + "12345");
    dropped.discard();
    EXPECT_EQ(dropped.bufferedBytes(), 0u);
    EXPECT_EQ(dropped.append("67890"), Kind::invalid);
}

}  // namespace
}  // namespace pavonix::http
