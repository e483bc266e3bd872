"""Authentication seen from the wire: the loopback exemption and its Host/Origin rule, and signed
requests from another host (a network namespace of the test's own) with replay and time refusals."""

import json
import os
import time
import unittest

from harness import NamespacePair, Server, b64url, build_request, parse_response, signed_headers

PAIR_ID = "pair-one"
SECRET = bytes(range(32))
AUTH_FLAG = ["--auth", PAIR_ID + ":" + b64url(SECRET)]
REFUSED = {"status": "failed", "message": "Authentication required."}


class LoopbackRuleTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server(*AUTH_FLAG)
        cls.open_server = Server()  # authentication off

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.open_server.stop()

    def get(self, server, headers, path="/health"):
        return parse_response(server.exchange(build_request("GET", path, headers=headers)))

    def test_loopback_clients_that_name_this_machine_pass_unsigned(self):
        port = self.server.port
        for headers in [{"Host": None}, {"Host": "127.0.0.1:%d" % port}, {"Host": "localhost:%d" % port},
                        {"Host": "LOCALHOST"}, {"Host": "127.0.0.1:%d" % port, "Origin": "http://127.0.0.1:%d" % port}]:
            with self.subTest(headers=headers):
                self.assertEqual(self.get(self.server, headers).status, 200)

    def test_browser_pages_of_other_sites_are_refused(self):
        port = self.server.port
        for headers in [{"Host": "rebound.example:%d" % port},
                        {"Host": "127.0.0.1:%d" % port, "Origin": "http://evil.example"},
                        {"Host": "127.0.0.1:%d" % port, "Origin": "http://127.0.0.1:1"},
                        {"Host": "127.0.0.1:%d" % port, "Origin": "null"}]:
            with self.subTest(headers=headers):
                response = self.get(self.server, headers)
                self.assertEqual((response.status, response.json()), (401, REFUSED))
        # The control page refuses with its HTML page.
        page = self.get(self.server, {"Host": "rebound.example"}, path="/index.html")
        self.assertEqual(page.status, 401)
        self.assertEqual(page.headers["content-type"], "text/html; charset=utf-8")
        self.assertIn(b"Unable to open controls from this client.", page.body)
        self.assertEqual(page.headers["x-frame-options"], "DENY")
        # A POST that a page could send is refused before it reaches the command router.
        response = parse_response(self.server.exchange(build_request(
            "POST", "/nowhere", headers={"Origin": "http://evil.example"})))
        self.assertEqual((response.status, response.json()), (401, REFUSED))

    def test_without_authentication_nothing_changes(self):
        response = self.get(self.open_server, {"Host": "rebound.example", "Origin": "http://evil.example"})
        self.assertEqual(response.status, 200)


class RemotePeerTest(unittest.TestCase):
    """Server and client in two namespaces joined by a veth pair: the client is not loopback."""

    @classmethod
    def setUpClass(cls):
        cls.hosts = NamespacePair()
        try:
            cls.server = Server(*AUTH_FLAG, prefix=cls.hosts.server_prefix())
        except Exception:
            cls.hosts.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.hosts.close()

    def send(self, method, path, body=b"", headers=None):
        data = build_request(method, path, body, headers, host=NamespacePair.SERVER_ADDRESS)
        return parse_response(self.hosts.client_exchange(self.server.port, data))

    def test_unsigned_and_badly_signed_requests_are_refused(self):
        response = self.send("GET", "/health")
        self.assertEqual((response.status, response.json()), (401, REFUSED))
        self.assertEqual(self.send("GET", "/").status, 401)
        self.assertIn(b"Unable to open controls", self.send("GET", "/").body)
        wrong = signed_headers(os.urandom(32), PAIR_ID, "GET", "/health")
        self.assertEqual(self.send("GET", "/health", headers=wrong).status, 401)
        unknown = signed_headers(SECRET, "someone-else", "GET", "/health")
        self.assertEqual(self.send("GET", "/health", headers=unknown).status, 401)
        # The signature covers the target exactly as sent.
        moved = signed_headers(SECRET, PAIR_ID, "GET", "/health")
        self.assertEqual(self.send("GET", "/health?x=1", headers=moved).status, 401)

    def test_signed_requests_pass_once(self):
        body = json.dumps({"number": 3})
        headers = signed_headers(SECRET, PAIR_ID, "post", "/goto/slide/number", body)
        response = self.send("post", "/goto/slide/number", body, headers)
        self.assertEqual(response.status, 200)
        self.assertEqual(response.json()["command"], "Go to slide 3")
        # The same nonce again is a replay.
        replay = self.send("post", "/goto/slide/number", body, headers)
        self.assertEqual((replay.status, replay.json()), (401, REFUSED))
        # The legacy identifier still verifies.
        legacy = signed_headers(SECRET, PAIR_ID, "GET", "/health", algorithm="LANTERNPOST-HMAC-SHA256")
        self.assertEqual(self.send("GET", "/health", headers=legacy).status, 200)
        # Accepted nonces are kept for minutes, so their length is bounded.
        for length, status in [(128, 200), (129, 401)]:
            headers = signed_headers(SECRET, PAIR_ID, "GET", "/health", nonce="n" * length)
            self.assertEqual(self.send("GET", "/health", headers=headers).status, status)

    def test_stale_and_future_timestamps_are_refused(self):
        now = int(time.time())
        for timestamp in [now - 300, now + 300, "%d " % now, "soon"]:
            with self.subTest(timestamp=timestamp):
                headers = signed_headers(SECRET, PAIR_ID, "GET", "/health", timestamp=timestamp)
                self.assertEqual(self.send("GET", "/health", headers=headers).status, 401)
        headers = signed_headers(SECRET, PAIR_ID, "GET", "/health", timestamp=now - 60)
        self.assertEqual(self.send("GET", "/health", headers=headers).status, 200)


if __name__ == "__main__":
    unittest.main()
