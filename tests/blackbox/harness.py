"""Starting a server process and talking raw HTTP to it.

The server under test is one command line, built by server_command(); today it is the HTTP test
server with fake handlers (PAVONIX_HTTP_TEST_SERVER), later the full program can take its place.
"""

import base64
import hashlib
import hmac
import os
import random
import shutil
import socket
import subprocess
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))


def in_ci():
    return os.environ.get("CI", "").lower() in ("1", "true", "yes")


def require(condition, what):
    """Skips the test when a tool is missing, or fails it in CI where every tool must be there."""
    if condition:
        return
    if in_ci():
        raise AssertionError("missing in CI: " + what)
    raise unittest.SkipTest("missing: " + what)


def server_command(*args):
    """The command line of the server under test, with extra flags."""
    binary = os.environ.get("PAVONIX_HTTP_TEST_SERVER")
    if not binary:
        raise AssertionError("PAVONIX_HTTP_TEST_SERVER is not set")
    return [binary, "--port", "0", *args]


class Server:
    """A running server process; `port` is the one it announced."""

    def __init__(self, *args, prefix=(), host="127.0.0.1"):
        self.host = host
        self.process = subprocess.Popen(
            [*prefix, *server_command(*args)],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        self.stderr_lines = []
        self._stderr_reader = threading.Thread(target=self._collect_stderr, daemon=True)
        self._stderr_reader.start()
        self.port = self._read_port()

    def _collect_stderr(self):
        for line in self.process.stderr:
            self.stderr_lines.append(line)

    def _read_port(self):
        deadline = time.monotonic() + 20
        result = {}

        def read():
            line = self.process.stdout.readline()
            result["line"] = line

        reader = threading.Thread(target=read, daemon=True)
        reader.start()
        reader.join(max(0.0, deadline - time.monotonic()))
        line = result.get("line", "")
        if not line.startswith("PORT "):
            if self.process.poll() is None:
                self.process.kill()
            raise AssertionError("server did not start: %r %s" % (line, "".join(self.stderr_lines)))
        return int(line.split()[1])

    def stop(self):
        """Ends the server; a server that had already died, or that dies unclean (a sanitizer
        report, a crash), fails the test with its error output."""
        died_early = self.process.poll() is not None
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self._stderr_reader.join(5)
        for stream in (self.process.stdout, self.process.stderr):
            if stream and not stream.closed:
                stream.close()
        if died_early or self.process.returncode != 0:
            raise AssertionError("server ended with %s%s:\n%s" % (
                self.process.returncode, " before it was stopped" if died_early else "",
                "".join(self.stderr_lines)[-4000:]))
        return self.process.returncode

    def connect(self, timeout=10.0, receive_buffer=None):
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if receive_buffer:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        sock.settimeout(timeout)
        sock.connect((self.host, self.port))
        return sock

    def exchange(self, data, pieces=None, pause=0.0, timeout=10.0):
        """Sends `data` (optionally cut into pieces, with a pause between them) and reads to the end."""
        with self.connect(timeout) as sock:
            if pieces is None:
                sock.sendall(data)
            else:
                for piece in pieces:
                    sock.sendall(piece)
                    if pause:
                        time.sleep(pause)
            return read_all(sock)

    def request(self, method, path, body=b"", headers=None, **kwargs):
        return parse_response(self.exchange(build_request(method, path, body, headers), **kwargs))


def build_request(method, path, body=b"", headers=None, host="127.0.0.1"):
    if isinstance(body, str):
        body = body.encode()
    lines = ["%s %s HTTP/1.1" % (method, path)]
    all_headers = {"Host": host}
    if body:
        all_headers["Content-Length"] = str(len(body))
    all_headers.update(headers or {})
    for name, value in all_headers.items():
        if value is not None:
            lines.append("%s: %s" % (name, value))
    return ("\r\n".join(lines) + "\r\n\r\n").encode() + body


def read_all(sock):
    chunks = []
    while True:
        try:
            chunk = sock.recv(65536)
        except ConnectionResetError:
            break
        if not chunk:
            break
        chunks.append(chunk)
    return b"".join(chunks)


class Response:
    def __init__(self, raw):
        self.raw = raw
        head, _, self.body = raw.partition(b"\r\n\r\n")
        lines = head.decode("utf-8").split("\r\n")
        self.status_line = lines[0] if lines else ""
        parts = self.status_line.split(" ", 2)
        self.status = int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else 0
        self.header_lines = lines[1:]
        self.headers = {}
        for line in self.header_lines:
            name, _, value = line.partition(":")
            self.headers[name.strip().lower()] = value.strip()

    def json(self):
        import json

        return json.loads(self.body.decode("utf-8"))


def parse_response(raw):
    return Response(raw)


# ---- Request signing, as a paired client does it ------------------------------------------------

def b64url(data):
    return base64.urlsafe_b64encode(data).decode().rstrip("=")


def signed_headers(secret, pair_id, method, path, body=b"", timestamp=None, nonce=None,
                   algorithm="PAVONIX-HMAC-SHA256"):
    if isinstance(body, str):
        body = body.encode()
    timestamp = str(int(time.time())) if timestamp is None else str(timestamp)
    nonce = nonce or b64url(os.urandom(16))
    canonical = "\n".join([algorithm, method.upper(), path, b64url(hashlib.sha256(body).digest()), timestamp, nonce])
    signature = b64url(hmac.new(secret, canonical.encode(), hashlib.sha256).digest())
    return {
        "X-Pavonix-Pair-ID": pair_id,
        "X-Pavonix-Timestamp": timestamp,
        "X-Pavonix-Nonce": nonce,
        "X-Pavonix-Signature": signature,
    }


# ---- Hosts of our own: two network namespaces joined by a veth pair ------------------------------

class NamespacePair:
    """A server namespace (10.231.0.1) and a client namespace (10.231.0.2), names unique to the run."""

    SERVER_ADDRESS = "10.231.0.1"
    CLIENT_ADDRESS = "10.231.0.2"

    def __init__(self):
        require(shutil.which("ip") is not None, "iproute2 (ip)")
        require(os.geteuid() == 0, "root, for network namespaces")
        tag = "%05d%04x" % (os.getpid() % 100000, random.randrange(0x10000))
        self.server_ns = "pvx-srv-" + tag
        self.client_ns = "pvx-cli-" + tag
        self.server_if = "pvs" + tag
        self.client_if = "pvc" + tag
        self.created = []
        try:
            self._run("ip", "netns", "add", self.server_ns)
            self.created.append(self.server_ns)
            self._run("ip", "netns", "add", self.client_ns)
            self.created.append(self.client_ns)
            self._run("ip", "link", "add", self.server_if, "type", "veth", "peer", "name", self.client_if)
            self._run("ip", "link", "set", self.server_if, "netns", self.server_ns)
            self._run("ip", "link", "set", self.client_if, "netns", self.client_ns)
            self._run("ip", "-n", self.server_ns, "addr", "add", self.SERVER_ADDRESS + "/30", "dev", self.server_if)
            self._run("ip", "-n", self.client_ns, "addr", "add", self.CLIENT_ADDRESS + "/30", "dev", self.client_if)
            for ns, interface in ((self.server_ns, self.server_if), (self.client_ns, self.client_if)):
                self._run("ip", "-n", ns, "link", "set", "lo", "up")
                self._run("ip", "-n", ns, "link", "set", interface, "up")
        except Exception:
            self.close()
            raise

    @staticmethod
    def _run(*command):
        result = subprocess.run(command, capture_output=True, text=True)
        if result.returncode != 0:
            message = "%s: %s" % (" ".join(command), result.stderr.strip())
            if in_ci():
                raise AssertionError(message)
            raise unittest.SkipTest(message)

    def server_prefix(self):
        return ["ip", "netns", "exec", self.server_ns]

    def client_exchange(self, port, data, timeout=10):
        """Sends raw bytes from the client namespace to the server and returns the raw reply."""
        result = subprocess.run(
            ["ip", "netns", "exec", self.client_ns, sys.executable, os.path.join(HERE, "raw_client.py"),
             self.SERVER_ADDRESS, str(port)],
            input=data, capture_output=True, timeout=timeout,
        )
        if result.returncode != 0:
            raise AssertionError("client failed: %s" % result.stderr.decode(errors="replace"))
        return result.stdout

    def close(self):
        for ns in reversed(self.created):
            subprocess.run(["ip", "netns", "del", ns], capture_output=True)
        self.created = []
