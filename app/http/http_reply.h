// The bytes of every reply the HTTP server writes: status line, the four headers in their fixed
// order, and the body. One request per connection, so every reply says "Connection: close". HTML
// replies add two headers that forbid framing the page.
#pragma once

#include <string>
#include <string_view>

#include "app/core/json_coding.h"
#include "app/core/presentation_provider.h"

namespace pavonix::http {

struct HTTPStatus {
    int code;
    std::string_view reason;

    static constexpr HTTPStatus ok() { return {200, "OK"}; }
    static constexpr HTTPStatus badRequest() { return {400, "Bad Request"}; }
    static constexpr HTTPStatus unauthorized() { return {401, "Unauthorized"}; }
    static constexpr HTTPStatus forbidden() { return {403, "Forbidden"}; }
    static constexpr HTTPStatus notFound() { return {404, "Not Found"}; }
    static constexpr HTTPStatus methodNotAllowed() { return {405, "Method Not Allowed"}; }

    bool operator==(const HTTPStatus&) const = default;
};

// A reply ready to be written: its status (kept for tests and logs) and its complete bytes.
struct HTTPReply {
    HTTPStatus status;
    std::string bytes;
};


// The body is pretty-printed with keys in ascending order and always valid UTF-8: texts that reached
// us from other programs with invalid bytes are repaired with U+FFFD rather than failing the reply.
HTTPReply jsonReply(HTTPStatus status, const Json& value);
HTTPReply htmlReply(HTTPStatus status, std::string_view html);
// {"message": message, "status": "failed"}.
HTTPReply errorReply(HTTPStatus status, std::string_view message);
// {"presentationProvider", "presentationProviderName", "status": "ok"}.
HTTPReply healthReply(PresentationProvider provider);

// The page shown on a control-page path when the client may not use the controls. Takes nothing
// from the request.
std::string_view unauthorizedPageHTML();

}  // namespace pavonix::http
