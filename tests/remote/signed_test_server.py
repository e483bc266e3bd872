#!/usr/bin/env python3
"""A stand-in for another instance's HTTP server, for the desktop test of remote devices.

It checks every request's signature on its own (hmac, hashlib; nothing shared with the C++ side),
answers a signed request as an instance answers a command and any other with 401, and appends one
JSON line per request to the log file: method, path and whether the signature verified.

    signed_test_server.py --pair-id ID --secret BASE64URL --log FILE

Listens on 127.0.0.1 on a free port, prints "PORT <n>", and serves until terminated.
"""
import argparse
import base64
import hashlib
import hmac
import http.server
import json
import time


def b64url(data):
    return base64.urlsafe_b64encode(data).decode().rstrip("=")


def make_handler(pair_id, secret, log_path):
    seen_nonces = set()

    class Handler(http.server.BaseHTTPRequestHandler):
        def verified(self, body):
            header = lambda name: self.headers.get("x-pavonix-" + name, "")
            timestamp, nonce = header("timestamp"), header("nonce")
            text = "\n".join(["PAVONIX-HMAC-SHA256", self.command, self.path, b64url(hashlib.sha256(body).digest()),
                              timestamp, nonce])
            expected = b64url(hmac.new(secret, text.encode(), hashlib.sha256).digest())
            fresh = timestamp.isdigit() and abs(time.time() - int(timestamp)) <= 120 and nonce not in seen_nonces
            seen_nonces.add(nonce)
            return header("pair-id") == pair_id and fresh and hmac.compare_digest(expected, header("signature"))

        def do_POST(self):
            body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
            verified = self.verified(body)
            with open(log_path, "a") as log:
                log.write(json.dumps({"method": self.command, "path": self.path, "verified": verified}) + "\n")
            answer = {"status": "ok", "command": self.path, "message": "Ran " + body.decode()} if verified else \
                {"status": "failed", "message": "Authentication required."}
            data = json.dumps(answer).encode()
            self.send_response(200 if verified else 401)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        do_GET = do_POST

    return Handler


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--pair-id", required=True)
    parser.add_argument("--secret", required=True)
    parser.add_argument("--log", required=True)
    options = parser.parse_args()
    secret = base64.urlsafe_b64decode(options.secret + "=" * (-len(options.secret) % 4))
    server = http.server.HTTPServer(("127.0.0.1", 0), make_handler(options.pair_id, secret, options.log))
    print("PORT", server.server_address[1], flush=True)
    server.serve_forever()
