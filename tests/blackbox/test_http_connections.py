"""The HTTP server seen from the wire: the read loop, the time limits and bounds one peer cannot
exceed, and the loopback exemption from authentication. Routes, texts and the parser's rules are
pinned by the C++ tests; here what only real sockets show."""

import socket
import threading
import time
import unittest

from harness import Server, b64url, build_request, parse_response, read_all

INVALID = {"status": "failed", "message": "Invalid HTTP request."}
INCOMPLETE = {"status": "failed", "message": "Incomplete HTTP request."}
HEALTH = b"GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"


class ServerTest(unittest.TestCase):
    """One server for the class, started with its FLAGS."""

    FLAGS = ()

    @classmethod
    def setUpClass(cls):
        cls.server = Server(*cls.FLAGS)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def exchange(self, data, **kwargs):
        return parse_response(self.server.exchange(data, **kwargs))


class ReadLoopTest(ServerTest):
    FLAGS = ("--slow-command-ms", "3000")

    def test_pieces_one_reply_per_connection_and_peers_that_stop_sending(self):
        data = build_request("POST", "/goto/slide/number", '{"number":4}')
        response = self.exchange(data, pieces=[data[i:i + 1] for i in range(len(data))], pause=0.002)
        self.assertEqual(response.json()["command"], "Go to slide 4")
        raw = self.server.exchange(HEALTH + build_request("POST", "/show/next"))
        self.assertEqual((raw.count(b"HTTP/1.1 "), parse_response(raw).json()["status"]), (1, "ok"))
        # The peer ends its side before the request is complete (bare line feeds never end a head).
        for partial in [b"GET /health HTTP/1.1\n\n", b"POST /start HTTP/1.1\r\nContent-Length: 10\r\n\r\n12345"]:
            with self.subTest(partial=partial), self.server.connect() as sock:
                sock.sendall(partial)
                sock.shutdown(socket.SHUT_WR)
                response = parse_response(read_all(sock))
                self.assertEqual((response.status, response.json()), (400, INCOMPLETE))

    def test_size_limits(self):
        # A head over 64 KiB is refused before any CR LF CR LF; the largest body, 1 MiB, is read.
        line = b"GET /health HTTP/1.1\r\nX-Pad: "
        self.assertEqual(self.exchange(line + b"a" * (65536 - len(line)) + b"aaaa").json(), INVALID)
        body = b'{"number":6}' + b" " * (1048576 - 12)
        response = self.exchange(b"POST /goto/slide/number HTTP/1.1\r\nContent-Length: 1048576\r\n\r\n" + body)
        self.assertEqual(response.json()["command"], "Go to slide 6")

    def test_server_queue_keeps_answering_while_a_handler_is_slow(self):
        # The slow command holds the main thread for three seconds; a request that needs no
        # handler is answered meanwhile.
        slow = threading.Thread(target=self.server.request, args=("POST", "/goto/slide/named", '{"name":"slow"}'))
        slow.start()
        time.sleep(0.2)
        self.assertEqual(self.exchange(b"GET\r\n\r\n").json(), INVALID)
        self.assertTrue(slow.is_alive())
        slow.join()


class LimitsTest(ServerTest):
    """Short time limits, so that waiting for them stays quick."""

    TIMEOUT = 1.0
    FLAGS = ("--request-timeout-ms", "1000", "--reply-timeout-ms", "1000", "--slides", "60000")

    def test_request_not_complete_in_time(self):
        for partial in [b"", b"GET /health HT", b"POST /start HTTP/1.1\r\nContent-Length: 5\r\n\r\nab"]:
            with self.subTest(partial=partial):
                started = time.monotonic()
                with self.server.connect() as sock:
                    sock.sendall(partial)
                    response = parse_response(read_all(sock))
                self.assertEqual((response.status, response.json()), (400, INCOMPLETE))
                self.assertGreater(time.monotonic() - started, self.TIMEOUT * 0.8)
        # A slow but steady client that completes in time is served.
        half = len(HEALTH) // 2
        self.assertEqual(self.exchange(HEALTH, pieces=[HEALTH[:half], HEALTH[half:]], pause=0.5).status, 200)

    def test_reply_not_read_in_time_is_dropped(self):
        # About 5 MB of slide list into a client that reads nothing for a while.
        with self.server.connect(receive_buffer=4096) as sock:
            sock.sendall(build_request("GET", "/slides"))
            # The first bytes show the reply is being written; a slow machine may take long to build it.
            first = sock.recv(1)
            time.sleep(self.TIMEOUT * 3)
            # Meanwhile the server answers others.
            self.assertEqual(self.exchange(HEALTH).status, 200)
            raw = first + read_all(sock)
        head, _, body = raw.partition(b"\r\n\r\n")
        self.assertIn(b"200 OK", head)
        self.assertLess(len(body), int(parse_response(raw).headers["content-length"]))


class ConnectionCapTest(ServerTest):
    FLAGS = ("--max-connections", "4")

    def test_answered_peers_that_never_close_hold_no_place(self):
        for sock in [self.server.connect(timeout=5) for _ in range(4)]:
            self.addCleanup(sock.close)
            sock.sendall(b"GET\r\n\r\n")
            self.assertEqual(parse_response(sock.recv(65536)).json(), INVALID)
        # They only drain: a new client takes the place of one of them.
        self.assertEqual(self.exchange(HEALTH, timeout=5).status, 200)


class LoopbackRuleTest(ServerTest):
    """Authentication on: unsigned requests pass only when they come from and name this machine."""

    FLAGS = ("--auth", "pair-one:" + b64url(bytes(32)))

    def test_browser_pages_of_other_sites_are_refused(self):
        port = self.server.port
        for method, headers, status in [
                ("GET", {"Host": None}, 200),
                ("GET", {"Host": "localhost:%d" % port, "Origin": "http://localhost:%d" % port}, 200),
                ("GET", {"Host": "rebound.example:%d" % port}, 401),
                # Refused before it reaches the command router.
                ("POST", {"Origin": "http://evil.example"}, 401)]:
            with self.subTest(headers=headers):
                response = self.server.request(method, "/health" if method == "GET" else "/nowhere", headers=headers)
                self.assertEqual(response.status, status)
        self.assertEqual(response.json(), {"status": "failed", "message": "Authentication required."})


if __name__ == "__main__":
    unittest.main()
