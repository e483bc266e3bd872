"""Starting the HTTP test server (PAVONIX_HTTP_TEST_SERVER) or the program (PAVONIX_PROGRAM) and
talking raw HTTP to it, signing requests as a paired client does, and hosts of the test's own in
network namespaces."""

import base64
import hashlib
import hmac
import json
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

TWO_HOSTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "platform", "testing", "two_hosts.sh")


def require(condition, what):
    """Skips the test when a tool is missing, or fails it in CI where every tool must be there."""
    if condition:
        return
    if os.environ.get("CI", "").lower() in ("1", "true", "yes"):
        raise AssertionError("missing in CI: " + what)
    raise unittest.SkipTest("missing: " + what)


def wait_until(condition, timeout=20):
    """Waits (bounded) until `condition()` holds; whether it did."""
    deadline = time.monotonic() + timeout
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.05)
    return condition()


def spawn(command, **popen_arguments):
    """A child process in a session of its own, so that end() reaches whatever it starts too."""
    return subprocess.Popen(command, start_new_session=True, **popen_arguments)


def end(process, timeout=15):
    """Ends a process of spawn() and what it started (SIGTERM to its group, SIGKILL to what is left
    `timeout` seconds later or once it has ended); its exit status."""
    def signal_group(number):
        try:
            os.killpg(process.pid, number)
        except ProcessLookupError:
            pass
    if process.poll() is None:
        signal_group(signal.SIGTERM)
    try:
        return process.wait(timeout=timeout)
    finally:
        signal_group(signal.SIGKILL)
        process.wait()


class Process:
    """A child process whose output, standard and error alike, is collected line by line, to wait
    for and to report."""

    def __init__(self, command, env=None):
        self.process = spawn(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.lines = []
        self.reader = threading.Thread(target=self._collect, daemon=True)
        self.reader.start()

    def _collect(self):
        for line in self.process.stdout:
            self.lines.append(line.rstrip("\n"))

    def wait_for(self, prefixes, count=1, timeout=20):
        """The lines starting with one of `prefixes` once `count` of them have come."""
        found = lambda: [line for line in list(self.lines) if line.startswith(prefixes)]
        if not wait_until(lambda: len(found()) >= count or self.process.poll() is not None, timeout) or len(found()) < count:
            raise AssertionError("waited for %d of %r:\n%s" % (count, prefixes, "\n".join(self.lines[-40:])))
        return found()

    def quit(self):
        """Ends the process, and what it started, and returns its exit status."""
        try:
            return end(self.process)
        finally:
            self.reader.join(5)
            self.process.stdout.close()


class Server(Process):
    """The HTTP test server on a port of its choosing, on 127.0.0.1."""

    def __init__(self, *args):
        super().__init__([os.environ["PAVONIX_HTTP_TEST_SERVER"], "--port", "0", *args])
        self.port = int(self.wait_for("status: Running: ")[0].rsplit(" ", 1)[1])

    def stop(self):
        """Ends the server; one that had died already, or dies unclean (a sanitizer report, a crash),
        fails the test with its error output."""
        died_early = self.process.poll() is not None
        status = self.quit()
        if died_early or status != 0:
            raise AssertionError("server ended with %s%s:\n%s" % (
                status, " before it was stopped" if died_early else "", "\n".join(self.lines)[-4000:]))


def connect(port, timeout=10.0, receive_buffer=None, host="127.0.0.1"):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if receive_buffer:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    sock.settimeout(timeout)
    sock.connect((host, port))
    return sock


def exchange(port, data, pieces=None, pause=0.0, timeout=10.0, host="127.0.0.1"):
    """Sends `data` (optionally cut into pieces, with a pause between them) and reads to the end."""
    with connect(port, timeout, host=host) as sock:
        for piece in pieces or [data]:
            sock.sendall(piece)
            time.sleep(pause)
        return read_all(sock)


def request(port, method, path, body=b"", timeout=10.0):
    return Response(exchange(port, build_request(method, path, body), timeout=timeout))


def build_request(method, path, body=b"", headers=None, host="127.0.0.1"):
    body = body.encode() if isinstance(body, str) else body
    all_headers = {"Host": host, **({"Content-Length": len(body)} if body else {}), **(headers or {})}
    head = ["%s %s HTTP/1.1" % (method, path)] + ["%s: %s" % item for item in all_headers.items()]
    return ("\r\n".join(head) + "\r\n\r\n").encode() + body


def read_all(sock):
    chunks = []
    try:
        while chunk := sock.recv(65536):
            chunks.append(chunk)
    except ConnectionResetError:
        pass
    return b"".join(chunks)


class Response:
    def __init__(self, raw):
        head, _, self.body = raw.partition(b"\r\n\r\n")
        lines = head.decode("utf-8").split("\r\n")
        self.status = int(lines[0][9:12]) if lines[0][9:12].isdigit() else 0
        self.headers = {name.strip().lower(): value.strip() for name, _, value in (line.partition(":") for line in lines[1:])}

    def json(self):
        return json.loads(self.body)


# ---- Request signing, as a paired client does it ------------------------------------------------

def b64url(data):
    return base64.urlsafe_b64encode(data).decode().rstrip("=")


def signed_headers(secret, pair_id, method, path, body=b"", timestamp=None, nonce=None):
    if isinstance(body, str):
        body = body.encode()
    timestamp = str(int(time.time())) if timestamp is None else str(timestamp)
    nonce = nonce or b64url(os.urandom(16))
    canonical = "\n".join(["PAVONIX-HMAC-SHA256", method.upper(), path, b64url(hashlib.sha256(body).digest()),
                           timestamp, nonce])
    signature = b64url(hmac.new(secret, canonical.encode(), hashlib.sha256).digest())
    names = ("X-Pavonix-Pair-ID", "X-Pavonix-Timestamp", "X-Pavonix-Nonce", "X-Pavonix-Signature")
    return dict(zip(names, (pair_id, timestamp, nonce, signature)))


# ---- Hosts of our own: two network namespaces joined by a veth pair ------------------------------

class NamespacePair:
    """A server namespace (10.231.0.1) and a client namespace (10.231.0.2), names unique to the run;
    add_client() adds a second client."""

    SERVER_ADDRESS = "10.231.0.1"
    CLIENT_ADDRESS = "10.231.0.2"
    SECOND_SERVER_ADDRESS = "10.231.0.5"
    SECOND_CLIENT_ADDRESS = "10.231.0.6"

    def __init__(self):
        require(shutil.which("ip") is not None, "iproute2 (ip)")
        require(os.geteuid() == 0, "root, for network namespaces")
        self.tag = tag = "%05d%04x" % (os.getpid() % 100000, random.randrange(0x10000))
        self.server_ns, self.client_ns = "pvx-srv-" + tag, "pvx-cli-" + tag
        self.namespaces = [self.server_ns, self.client_ns]
        self.server_prefix = ["ip", "netns", "exec", self.server_ns]
        result = subprocess.run(["bash", "-c", '. "$0" && two_hosts "$@"', TWO_HOSTS, self.server_ns, self.client_ns,
                                 "pvs" + tag, "pvc" + tag, self.SERVER_ADDRESS, self.CLIENT_ADDRESS],
                                capture_output=True, text=True)
        if result.returncode != 0:
            require(False, "network namespaces: " + result.stderr.strip())

    def request(self, port, method, path, body=b"", headers=None):
        """A request from the client namespace to the server; its reply."""
        result = subprocess.run(
            ["ip", "netns", "exec", self.client_ns, sys.executable, os.path.abspath(__file__), self.SERVER_ADDRESS, str(port)],
            input=build_request(method, path, body, headers, host=self.SERVER_ADDRESS), capture_output=True, timeout=10,
        )
        if result.returncode != 0:
            raise AssertionError("client failed: %s" % result.stderr.decode(errors="replace"))
        return Response(result.stdout)

    def add_client(self):
        """A second client host, joined to the server by a veth pair of its own: the server is
        SECOND_SERVER_ADDRESS to it, and it is SECOND_CLIENT_ADDRESS. Its namespace's name."""
        namespace, server_side, client_side = "pvx-cl2-" + self.tag, "pvt" + self.tag, "pvu" + self.tag
        self.namespaces.append(namespace)
        for step in [["netns", "add", namespace],
                     ["link", "add", server_side, "type", "veth", "peer", "name", client_side],
                     ["link", "set", server_side, "netns", self.server_ns],
                     ["link", "set", client_side, "netns", namespace],
                     ["-n", self.server_ns, "addr", "add", self.SECOND_SERVER_ADDRESS + "/30", "dev", server_side],
                     ["-n", namespace, "addr", "add", self.SECOND_CLIENT_ADDRESS + "/30", "dev", client_side],
                     ["-n", self.server_ns, "link", "set", server_side, "up"],
                     ["-n", namespace, "link", "set", "lo", "up"], ["-n", namespace, "link", "set", client_side, "up"]]:
            result = subprocess.run(["ip", *step], capture_output=True, text=True)
            if result.returncode != 0:
                subprocess.run(["ip", "link", "del", server_side], capture_output=True)  # when not yet moved
                require(False, "network namespaces: " + result.stderr.strip())
        return namespace

    def add_addresses(self, count):
        """`count` more addresses of the first client (10.231.1.1 onwards, routed by the server through
        CLIENT_ADDRESS), as one host may hold; the addresses."""
        addresses = ["10.231.1.%d" % number for number in range(1, count + 1)]
        for step in [["-n", self.client_ns, "addr", "add", address + "/32", "dev", "pvc" + self.tag] for address in addresses] + \
                [["-n", self.server_ns, "route", "add", "10.231.1.0/24", "via", self.CLIENT_ADDRESS]]:
            result = subprocess.run(["ip", *step], capture_output=True, text=True)
            require(result.returncode == 0, "network namespaces: " + result.stderr.strip())
        return addresses

    def close(self):
        for ns in self.namespaces:
            subprocess.run(["ip", "netns", "del", ns], capture_output=True)


def answer(child, timeout=90):
    """The JSON that a child of ProgramFixture.run_in printed, once it has ended well (within `timeout` seconds)."""
    out, _ = child.communicate(timeout=timeout)
    if child.returncode != 0:
        raise AssertionError("a child in a namespace ended with %d" % child.returncode)
    return json.loads(out)


# ---- The program itself -------------------------------------------------------------------------

def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


class Program(Process):
    """One run of the program over a settings folder that outlives it. The program takes no command
    line; it tells its state in the status lines that PAVONIX_DEBUG=1 prints to stderr."""

    def __init__(self, home, prefix=(), extra_env=None):
        env = {key: value for key, value in os.environ.items() if key not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env.update({
            "HOME": home, "XDG_CONFIG_HOME": os.path.join(home, "config"), "XDG_DATA_HOME": os.path.join(home, "data"),
            "XDG_RUNTIME_DIR": os.path.join(home, "run"), "QT_QPA_PLATFORM": "offscreen", "PAVONIX_DEBUG": "1",
            "PAVONIX_KEYCHAIN": "file", **(extra_env or {}),
        })
        os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700, exist_ok=True)
        super().__init__([*prefix, os.environ["PAVONIX_PROGRAM"]], env)

    def http_status(self):
        """The first settled HTTP status line: running or failed."""
        return self.wait_for(("Pavonix: HTTP server Running", "Pavonix: HTTP server Failed"))[0]


class ProgramFixture(unittest.TestCase):
    """A private home for each test: settings, keychain file and runtime folder."""

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="pavonix-program-")
        os.chmod(self.home, 0o755)  # the program may run in another namespace, as the same user
        self.addCleanup(shutil.rmtree, self.home, True)
        self.settings_path = os.path.join(self.home, "config", "Pavonix", "settings.json")

    def write_settings(self, text=None, **values):
        os.makedirs(os.path.dirname(self.settings_path), exist_ok=True)
        with open(self.settings_path, "w") as out:
            out.write(json.dumps(values) if text is None else text)

    def read_settings(self):
        with open(self.settings_path) as stored:
            return json.load(stored)

    def store_http_pairing(self, pair_id, secret, **settings):
        """Settings with authentication on and one paired HTTP device, its secret in the keychain file."""
        self.write_settings(httpAuthenticationEnabled=True, httpPairedDevices=[
            json.dumps({"createdAt": 786000000.5, "id": pair_id, "name": "Phone"}, sort_keys=True, separators=(",", ":"))],
            **settings)
        keychain = os.path.join(self.home, "data", "Pavonix")
        os.makedirs(keychain, mode=0o700, exist_ok=True)
        with open(os.open(os.path.join(keychain, "keychain.json"), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as out:
            json.dump({"version": 1, "items": [{"service": "com.vrel.Lanternpost.http-auth", "account": pair_id,
                                                "data": secret.hex()}]}, out)

    def without_root_file_access(self):
        """A prefix that runs the program without root's right to ignore file modes, when the
        tests run as root; file and folder modes then bind it as they bind a user."""
        if os.geteuid() != 0:
            return []
        require(shutil.which("setpriv") is not None, "setpriv (util-linux)")
        return ["setpriv", "--inh-caps=-all", "--bounding-set=-dac_override,-dac_read_search,-fowner"]

    def two_hosts(self):
        hosts = NamespacePair()
        self.addCleanup(hosts.close)
        return hosts

    def start(self, prefix=(), extra_env=None):
        program = Program(self.home, prefix, extra_env)
        self.addCleanup(program.quit)
        return program

    def spawn(self, command, **popen_arguments):
        """A child process that is ended, with what it started, when the test ends (see end())."""
        child = spawn(command, **popen_arguments)
        self.addCleanup(end, child)
        return child

    def run_in(self, namespace, script, *command):
        """`script`'s own command line (its __main__) as a child process in `namespace`; see answer()."""
        return self.spawn(["ip", "netns", "exec", namespace, sys.executable, os.path.abspath(script), *map(str, command)],
                          stdout=subprocess.PIPE, text=True)


if __name__ == "__main__":
    # Inside the client namespace (NamespacePair.request): stdin to HOST PORT, the reply to stdout.
    sys.stdout.buffer.write(exchange(int(sys.argv[2]), sys.stdin.buffer.read(), host=sys.argv[1]))
