#include "app/http/http_reply.h"

namespace pavonix::http {

namespace {

HTTPReply makeReply(HTTPStatus status, std::string_view contentType, std::string_view body,
                    std::string_view extraHeaders = {}) {
    std::string bytes;
    bytes.reserve(160 + body.size());
    bytes += "HTTP/1.1 ";
    bytes += std::to_string(status.code);
    bytes += ' ';
    bytes += status.reason;
    bytes += "\r\nContent-Type: ";
    bytes += contentType;
    bytes += "\r\nContent-Length: ";
    bytes += std::to_string(body.size());
    bytes += "\r\nCache-Control: no-store\r\nConnection: close\r\n";
    bytes += extraHeaders;
    bytes += "\r\n";
    bytes += body;
    return {status, std::move(bytes)};
}

}  // namespace

HTTPReply jsonReply(HTTPStatus status, const Json& value) {
    return makeReply(status, "application/json; charset=utf-8", encodeJSON(value, 2));
}

HTTPReply htmlReply(HTTPStatus status, std::string_view html) {
    // Another site that frames the page could lure clicks onto its buttons, which act with this
    // browser's loopback or network standing.
    return makeReply(status, "text/html; charset=utf-8", html,
                     "X-Frame-Options: DENY\r\nContent-Security-Policy: frame-ancestors 'none'\r\n");
}

HTTPReply errorReply(HTTPStatus status, std::string_view message) {
    return jsonReply(status, Json{{"status", "failed"}, {"message", std::string(message)}});
}

HTTPReply healthReply(PresentationProvider provider) {
    return jsonReply(HTTPStatus::ok(), Json{{"status", "ok"},
                                            {"presentationProvider", std::string(rawValue(provider))},
                                            {"presentationProviderName", std::string(displayName(provider))}});
}

std::string_view unauthorizedPageHTML() {
    static constexpr std::string_view page = R"HTML(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Pavonix</title>
<style>
:root {
  color-scheme: light dark;
  --background: #f7f7f4;
  --panel: #ffffff;
  --text: #1b1b1f;
  --muted: #62646d;
  --line: #deded8;
}
@media (prefers-color-scheme: dark) {
  :root {
    --background: #151616;
    --panel: #202222;
    --text: #f3f4f1;
    --muted: #abadb4;
    --line: #343637;
  }
}
* { box-sizing: border-box; }
body {
  margin: 0;
  min-height: 100vh;
  display: flex;
  align-items: center;
  justify-content: center;
  padding: 24px;
  background: var(--background);
  color: var(--text);
  font: 15px -apple-system, BlinkMacSystemFont, "Segoe UI", system-ui, sans-serif;
}
main {
  width: 100%;
  max-width: 420px;
  padding: 24px;
  background: var(--panel);
  border: 1px solid var(--line);
  border-radius: 8px;
  text-align: center;
}
h1 { margin: 0 0 8px; font-size: 22px; }
p { margin: 0; color: var(--muted); }
</style>
</head>
<body>
<main>
<h1>Pavonix</h1>
<p>Unable to open controls from this client.</p>
</main>
</body>
</html>
)HTML";
    return page;
}

}  // namespace pavonix::http
