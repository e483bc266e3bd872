"""The real program behind its HTTP API: commands run through the application model, the settings
file decides the port at each start, a bad port shows as the server's failed status, settings are
written on quit, and a pairing kept in the settings and the keychain file signs requests from
another host (a network namespace of the test's own).

The program is PAVONIX_PROGRAM; it takes no command line, so each test writes its settings file and
learns the server's state from the status lines that PAVONIX_DEBUG=1 prints to stderr.

Peers that hold connections open without finishing a request lock no one out, and a settings file
too deep to handle is kept aside rather than crashing the program."""

import glob
import json
import os
import resource
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import unittest

from harness import NamespacePair, b64url, build_request, parse_response, read_all, signed_headers

PAIR_ID = "lpp_AAECAwQFBgcICQoL"
SECRET = bytes(range(32))
HTTP_AUTH_SERVICE = "com.vrel.Lanternpost.http-auth"


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def descriptors_back(pid, baseline):
    """Waits (bounded) until the program holds no more descriptors than it did at `baseline`."""
    deadline = time.monotonic() + 20
    while len(os.listdir("/proc/%d/fd" % pid)) > baseline and time.monotonic() < deadline:
        time.sleep(0.05)
    return len(os.listdir("/proc/%d/fd" % pid)) <= baseline


def answered_within_a_second(port):
    with socket.create_connection(("127.0.0.1", port), timeout=1) as sock:
        sock.sendall(b"GET /health HTTP/1.1\r\n\r\n")
        return parse_response(read_all(sock)).status


class Program:
    """One run of the program over a settings folder that outlives it."""

    def __init__(self, home, prefix=()):
        binary = os.environ.get("PAVONIX_PROGRAM")
        if not binary:
            raise AssertionError("PAVONIX_PROGRAM is not set")
        env = {key: value for key, value in os.environ.items() if key not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env.update({
            "HOME": home, "XDG_CONFIG_HOME": os.path.join(home, "config"), "XDG_DATA_HOME": os.path.join(home, "data"),
            "XDG_RUNTIME_DIR": os.path.join(home, "run"), "QT_QPA_PLATFORM": "offscreen", "PAVONIX_DEBUG": "1",
            "PAVONIX_KEYCHAIN": "file",
        })
        os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700, exist_ok=True)
        self.process = subprocess.Popen([*prefix, binary], env=env, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, text=True)
        self.lines = []
        self.changed = threading.Condition()
        threading.Thread(target=self._collect, daemon=True).start()

    def _collect(self):
        for line in iter(self.process.stderr.readline, ""):
            with self.changed:
                self.lines.append(line.rstrip("\n"))
                self.changed.notify_all()

    def http_status(self, timeout=20):
        """The first settled HTTP status line: running or failed."""
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                for line in self.lines:
                    if line.startswith(("Pavonix: HTTP server Running", "Pavonix: HTTP server Failed")):
                        return line
                remaining = deadline - time.monotonic()
                if remaining <= 0 or self.process.poll() is not None:
                    raise AssertionError("no HTTP status: %s" % "\n".join(self.lines))
                self.changed.wait(remaining)

    def quit(self):
        self.process.terminate()
        try:
            return self.process.wait(timeout=15)
        finally:
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait()
            self.process.stderr.close()


class ProgramFixture(unittest.TestCase):
    """A private home for each test: settings, keychain file and runtime folder."""

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="pavonix-program-")
        os.chmod(self.home, 0o755)  # the program may run in another namespace, as the same user
        self.addCleanup(shutil.rmtree, self.home, True)
        self.settings_path = os.path.join(self.home, "config", "Pavonix", "settings.json")

    def write_settings(self, **values):
        os.makedirs(os.path.dirname(self.settings_path), exist_ok=True)
        with open(self.settings_path, "w") as out:
            json.dump(values, out)

    def read_settings(self):
        with open(self.settings_path) as stored:
            return json.load(stored)

    def start(self, prefix=()):
        program = Program(self.home, prefix)
        self.addCleanup(program.quit)
        return program


class ProgramTest(ProgramFixture):
    def request(self, port, method, path, body=b"", headers=None):
        with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
            sock.sendall(build_request(method, path, body, headers))
            return parse_response(read_all(sock))

    def test_commands_run_through_the_model_and_the_provider_choice_is_kept(self):
        port = free_port()
        self.write_settings(httpPort=port)
        program = self.start()
        self.assertEqual(program.http_status(), "Pavonix: HTTP server Running: Listening on all interfaces, port %d" % port)
        health = self.request(port, "GET", "/health")
        self.assertEqual(health.json(), {"status": "ok", "presentationProvider": "keynote",
                                         "presentationProviderName": "Keynote"})
        answer = self.request(port, "POST", "/show/next")
        self.assertEqual(answer.status, 200)
        self.assertEqual(answer.json(), {"status": "failed", "command": "Show next",
                                         "message": "Keynote can only be controlled on macOS."})
        number = self.request(port, "POST", "/goto/slide/number", json.dumps({"number": 3}))
        self.assertEqual(number.json()["command"], "Go to slide 3")
        chosen = self.request(port, "POST", "/provider/select", json.dumps({"provider": "powerPoint"}))
        self.assertEqual(chosen.json()["message"], "Selected PowerPoint.")
        self.assertEqual(program.quit(), 0)
        self.assertEqual(self.read_settings()["presentationProvider"], "powerPoint")
        with self.assertRaises(OSError):
            socket.create_connection(("127.0.0.1", port), timeout=2).close()

    def test_the_port_in_the_settings_file_is_used_at_the_next_start(self):
        first, second = free_port(), free_port()
        self.write_settings(httpPort=first)
        program = self.start()
        self.assertIn("port %d" % first, program.http_status())
        self.assertEqual(program.quit(), 0)
        self.write_settings(httpPort=second)
        program = self.start()
        self.assertIn("port %d" % second, program.http_status())
        self.assertEqual(self.request(second, "GET", "/health").status, 200)

    def test_a_port_out_of_range_shows_as_the_failed_status(self):
        # The range rule itself is pinned by the model's tests; this is the path to the status.
        self.write_settings(httpPort=65536, oscEnabled=False)
        program = self.start()
        self.assertEqual(program.http_status(), "Pavonix: HTTP server Failed: HTTP port must be between 1 and 65535.")
        self.assertEqual(program.quit(), 0)

    def test_a_stored_pairing_signs_requests_from_another_host(self):
        network = NamespacePair()
        self.addCleanup(network.close)
        port = free_port()
        self.write_settings(httpPort=port, httpAuthenticationEnabled=True, httpPairedDevices=[
            json.dumps({"createdAt": 786000000.5, "id": PAIR_ID, "name": "Phone"}, sort_keys=True,
                       separators=(",", ":"))])
        keychain = os.path.join(self.home, "data", "Pavonix")
        os.makedirs(keychain, mode=0o700)
        with open(os.open(os.path.join(keychain, "keychain.json"), os.O_WRONLY | os.O_CREAT, 0o600), "w") as out:
            json.dump({"version": 1, "items": [{"service": HTTP_AUTH_SERVICE, "account": PAIR_ID,
                                                "data": SECRET.hex()}]}, out)
        program = self.start(prefix=network.server_prefix())
        self.assertIn("Running", program.http_status())

        def send(headers):
            raw = network.client_exchange(port, build_request("POST", "/show/previous", headers=headers,
                                                              host=network.SERVER_ADDRESS))
            return parse_response(raw)

        self.assertEqual(send({}).status, 401)
        signed = send(signed_headers(SECRET, PAIR_ID, "POST", "/show/previous"))
        self.assertEqual(signed.status, 200)
        self.assertEqual(signed.json()["command"], "Show previous")
        wrong = send(signed_headers(bytes(32), PAIR_ID, "POST", "/show/previous"))
        self.assertEqual(wrong.status, 401)

    def test_idle_and_trickling_peers_lock_no_one_out(self):
        limits = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(4096, limits[1]), limits[1]))  # for 1,000 peers
        self.addCleanup(resource.setrlimit, resource.RLIMIT_NOFILE, limits)
        port = free_port()
        self.write_settings(httpPort=port, oscEnabled=False)
        program = self.start()
        self.assertIn("Running", program.http_status())
        self.assertEqual(answered_within_a_second(port), 200)
        baseline = len(os.listdir("/proc/%d/fd" % program.process.pid))
        connect = lambda: socket.create_connection(("127.0.0.1", port), timeout=10)

        idle = [connect() for _ in range(1000)]
        self.assertEqual(answered_within_a_second(port), 200)
        for sock in idle:
            sock.close()
        self.assertTrue(descriptors_back(program.process.pid, baseline))

        # One byte every 3 seconds: each peer is let go at its 10-second head limit (answered or
        # closed), well before the 30 seconds a request with its body may take.
        trickling = [connect() for _ in range(300)]
        for sock in trickling:
            sock.setblocking(False)
        slow_body = connect()
        slow_body.sendall(b"POST /goto/slide/number HTTP/1.1\r\nContent-Length: 12\r\n\r\n")
        self.assertEqual(answered_within_a_second(port), 200)
        deadline = time.monotonic() + 20
        while trickling and time.monotonic() < deadline:
            for sock in list(trickling):
                try:
                    sock.send(b"G")
                    sock.recv(1, socket.MSG_PEEK)
                except BlockingIOError:
                    continue  # still held
                except OSError:
                    pass
                trickling.remove(sock)
                sock.close()
            time.sleep(3)
        self.assertEqual(trickling, [])
        slow_body.sendall(b'{"number":4}')
        self.assertEqual(parse_response(read_all(slow_body)).json()["command"], "Go to slide 4")
        slow_body.close()
        self.assertTrue(descriptors_back(program.process.pid, baseline))

    def test_a_settings_file_nested_too_deep_is_kept_aside(self):
        # The program then listens on the default port: in a network namespace of its own.
        network = NamespacePair()
        self.addCleanup(network.close)
        os.makedirs(os.path.dirname(self.settings_path))
        with open(self.settings_path, "w") as out:
            out.write('{"httpPort": 1, "x": %s%s}' % ("[" * 200000, "]" * 200000))
        program = self.start(prefix=network.server_prefix())
        self.assertEqual(program.http_status(), "Pavonix: HTTP server Running: Listening on all interfaces, port 8090")
        chosen = parse_response(network.client_exchange(8090, build_request(
            "POST", "/provider/select", json.dumps({"provider": "googleSlides"}), host=network.SERVER_ADDRESS)))
        self.assertEqual(chosen.json()["message"], "Selected Google Slides.")
        self.assertEqual(program.quit(), 0)
        self.assertEqual(self.read_settings()["presentationProvider"], "googleSlides")
        self.assertEqual(len(glob.glob(self.settings_path + ".corrupt-*")), 1)


if __name__ == "__main__":
    unittest.main()
