// libFuzzer target for the request parser: any bytes, whole or cut into pieces, must give the same
// answer, never read out of range, and never yield a request beyond the limits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "app/http/http_request_parser.h"

using namespace pavonix::http;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte picks the limits (small ones let short inputs reach them) and the cut size.
    const std::uint8_t control = data[0];
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    HTTPParseLimits limits;
    if (control & 1) {
        limits.maxHeadBytes = 64;
        limits.maxBodyBytes = 32;
    }

    const HTTPParseResult whole = parseHTTPRequest(bytes, limits);
    if (whole.kind == HTTPParseResult::Kind::complete) {
        if (whole.request.body.size() > limits.maxBodyBytes) std::abort();
        if (whole.request.method.empty() || whole.request.path.empty()) std::abort();
    }

    const std::size_t step = 1 + (control >> 1);
    HTTPRequestReader reader(limits);
    HTTPParseResult::Kind kind = HTTPParseResult::Kind::incomplete;
    for (std::size_t at = 0; at < bytes.size() && kind == HTTPParseResult::Kind::incomplete; at += step) {
        kind = reader.append(bytes.substr(at, step));
    }
    if (kind != whole.kind) std::abort();
    if (kind == HTTPParseResult::Kind::complete && !(reader.takeRequest() == whole.request)) std::abort();
    return 0;
}
