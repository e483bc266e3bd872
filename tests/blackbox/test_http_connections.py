"""The HTTP server seen from the wire: the read loop, and the time limits and bounds one peer cannot
exceed. Routes, texts, the parser's rules and the loopback rule are pinned by the C++ tests; here
what only real sockets show, against one server with short time limits (so waiting for them stays
quick) and room for four connections."""

import socket
import time
import unittest

from harness import Response, Server, build_request, connect, exchange, read_all

TIMEOUT = 1.0
INVALID = {"status": "failed", "message": "Invalid HTTP request."}
INCOMPLETE = {"status": "failed", "message": "Incomplete HTTP request."}
HEALTH = b"GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"


class ConnectionTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server("--request-timeout-ms", "1000", "--reply-timeout-ms", "1000", "--slides", "60000",
                            "--max-connections", "4")

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def exchange(self, data, **kwargs):
        return Response(exchange(self.server.port, data, **kwargs))

    def test_pieces_and_one_reply_per_connection(self):
        data = build_request("POST", "/goto/slide/number", '{"number":4}')
        response = self.exchange(data, pieces=[data[i:i + 1] for i in range(len(data))], pause=0.002)
        self.assertEqual(response.json()["command"], "Go to slide 4")
        raw = exchange(self.server.port, HEALTH + build_request("POST", "/show/next"))
        self.assertEqual((raw.count(b"HTTP/1.1 "), Response(raw).json()["status"]), (1, "ok"))

    def test_size_limits(self):
        # A head over 64 KiB is refused before any CR LF CR LF; the largest body, 1 MiB, is read.
        line = b"GET /health HTTP/1.1\r\nX-Pad: "
        self.assertEqual(self.exchange(line + b"a" * (65536 - len(line)) + b"aaaa").json(), INVALID)
        body = b'{"number":6}' + b" " * (1048576 - 12)
        response = self.exchange(b"POST /goto/slide/number HTTP/1.1\r\nContent-Length: 1048576\r\n\r\n" + body)
        self.assertEqual(response.json()["command"], "Go to slide 6")

    def test_request_not_complete_when_the_peer_ends_or_in_time(self):
        # A peer that ends its side is answered at once; one that stays, once its time is up. (That
        # a slow client completing in time is served shows in the program's test.)
        post = b"POST /start HTTP/1.1\r\nContent-Length: 10\r\n\r\n"
        for partial, ends in [(post + b"12345", True), (b"", False), (b"GET /health HT", False), (post + b"ab", False)]:
            with self.subTest(partial=partial), connect(self.server.port) as sock:
                started = time.monotonic()
                sock.sendall(partial)
                if ends:
                    sock.shutdown(socket.SHUT_WR)
                response = Response(read_all(sock))
                self.assertEqual((response.status, response.json()), (400, INCOMPLETE))
                self.assertGreater(time.monotonic() - started, 0 if ends else TIMEOUT * 0.8)

    def test_reply_not_read_in_time_is_dropped(self):
        # About 5 MB of slide list into a client that reads nothing for a while.
        with connect(self.server.port, receive_buffer=4096) as sock:
            sock.sendall(build_request("GET", "/slides"))
            # The first bytes show the reply is being written; a slow machine may take long to build it.
            first = sock.recv(1)
            time.sleep(TIMEOUT * 3)
            # Meanwhile the server answers others.
            self.assertEqual(self.exchange(HEALTH).status, 200)
            raw = first + read_all(sock)
        head, _, body = raw.partition(b"\r\n\r\n")
        self.assertIn(b"200 OK", head)
        self.assertLess(len(body), int(Response(raw).headers["content-length"]))

    def test_answered_peers_that_never_close_hold_no_place(self):
        for sock in [connect(self.server.port, timeout=5) for _ in range(4)]:
            self.addCleanup(sock.close)
            sock.sendall(b"GET\r\n\r\n")
            self.assertEqual(Response(sock.recv(65536)).json(), INVALID)
        # They only drain: a new client takes the place of one of them.
        self.assertEqual(self.exchange(HEALTH, timeout=5).status, 200)


if __name__ == "__main__":
    unittest.main()
