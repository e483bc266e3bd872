#!/usr/bin/env python3
"""A stand-in for another instance's HTTP server, for the remote-instance client's tests.

It checks every request's signature on its own (hmac, hashlib; nothing shared with the C++ side),
answers like an instance would, and appends one JSON line per request to the log file:
method, path, headers (lower-cased names), body text, and whether the signature verified.

    signed_test_server.py --pair-id ID --secret BASE64URL --log FILE

Listens on 127.0.0.1 on a free port, prints "PORT <n> PID <pid>", and serves until terminated.
Besides the command routes, /health and /slides it has three faulty routes: /not-json answers
200 with text, /bad-gateway 502 with an HTML page, /not-http a line that is not HTTP at all.
"""
import argparse
import base64
import hashlib
import hmac
import http.server
import json
import os
import sys
import time

ALGORITHMS = ("PAVONIX-HMAC-SHA256", "LANTERNPOST-HMAC-SHA256")
COMMANDS = {"/start", "/stop", "/show/next", "/show/previous", "/goto/slide/number", "/goto/slide/named"}


def b64url(data):
    return base64.urlsafe_b64encode(data).decode().rstrip("=")


def b64url_decode(text):
    return base64.b64decode(text.replace("-", "+").replace("_", "/") + "=" * (-len(text) % 4), validate=True)


def make_handler(pair_id, secret, log_path):
    seen_nonces = set()

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.0"

        def log_message(self, *args):
            pass

        def header(self, name):
            return self.headers.get("x-pavonix-" + name) or self.headers.get("x-lanternpost-" + name)

        def verify(self, body):
            if self.header("pair-id") != pair_id:
                return "unknown pair"
            timestamp, nonce, signature = self.header("timestamp"), self.header("nonce"), self.header("signature")
            if not (timestamp and nonce and signature):
                return "missing header"
            if abs(time.time() - float(timestamp)) > 120:
                return "stale timestamp"
            body_hash = b64url(hashlib.sha256(body).digest())
            for algorithm in ALGORITHMS:
                text = "\n".join([algorithm, self.command.upper(), self.path, body_hash, timestamp, nonce])
                expected = hmac.new(secret, text.encode(), hashlib.sha256).digest()
                if hmac.compare_digest(expected, b64url_decode(signature)):
                    if nonce in seen_nonces:
                        return "replayed nonce"
                    seen_nonces.add(nonce)
                    return None
            return "bad signature"

        def reply(self, status, payload, content_type="application/json"):
            data = payload if isinstance(payload, bytes) else json.dumps(payload, sort_keys=True).encode()
            self.send_response(status)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(data)))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(data)

        def handle_any(self):
            body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
            problem = self.verify(body)
            with open(log_path, "a") as log:
                log.write(json.dumps({"method": self.command, "path": self.path,
                                      "headers": {k.lower(): v for k, v in self.headers.items()},
                                      "body": body.decode("utf-8", "replace"), "verified": problem is None,
                                      "problem": problem}) + "\n")
            if problem:
                return self.reply(401, {"status": "failed", "message": "Authentication required."})
            if self.path == "/not-json":
                return self.reply(200, b"this is not JSON", "text/plain")
            if self.path == "/bad-gateway":
                return self.reply(502, b"<html><body>Bad gateway</body></html>", "text/html")
            if self.path == "/not-http":
                self.wfile.write(b"NOT HTTP AT ALL\r\n\r\n")
                return
            if self.path == "/health":
                return self.reply(200, {"status": "ok", "presentationProvider": "keynote",
                                        "presentationProviderName": "Keynote"})
            if self.path == "/slides":
                return self.reply(200, {"status": "ok", "message": "Loaded slides.", "slides": [
                    {"number": 1, "name": "Intro", "notes": "Hello", "hasExplicitName": True}]})
            if self.command == "POST" and self.path in COMMANDS:
                arguments = json.loads(body) if body else {}
                return self.reply(200, {"status": "ok", "command": self.path,
                                        "message": "Ran " + json.dumps(arguments, sort_keys=True)})
            return self.reply(404, {"status": "failed", "message": "Unknown command route: " + self.path})

        do_GET = do_POST = do_PUT = handle_any

    return Handler


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--pair-id", required=True)
    parser.add_argument("--secret", required=True)
    parser.add_argument("--log", required=True)
    options = parser.parse_args()
    handler = make_handler(options.pair_id, b64url_decode(options.secret), options.log)
    server = http.server.HTTPServer(("127.0.0.1", 0), handler)
    print("PORT", server.server_address[1], "PID", os.getpid(), flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
