"""The read loop and the parser seen from the wire, and the bounds one peer cannot exceed."""

import socket
import threading
import time
import unittest

from harness import Server, build_request, parse_response, read_all

INVALID = {"status": "failed", "message": "Invalid HTTP request."}
INCOMPLETE = {"status": "failed", "message": "Incomplete HTTP request."}
HEALTH = b"GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"


class ParsingTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server("--slow-command-ms", "3000")

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def exchange(self, data, **kwargs):
        return parse_response(self.server.exchange(data, **kwargs))

    def test_one_byte_per_write_head_and_body(self):
        data = build_request("POST", "/goto/slide/number", '{"number":4}')
        response = self.exchange(data, pieces=[data[i:i + 1] for i in range(len(data))], pause=0.002)
        self.assertEqual(response.json()["command"], "Go to slide 4")

    def test_leading_blank_line_duplicate_headers_and_extra_bytes(self):
        self.assertEqual(self.exchange(b"\r\n" + HEALTH).status, 200)
        # Two blank lines leave nothing before the first CR LF CR LF: not a request.
        self.assertEqual(self.exchange(b"\r\n\r\n" + HEALTH).json(), INVALID)
        # Two equal Content-Length lines are one; bytes after the body are ignored.
        response = self.exchange(b"POST /goto/slide/number HTTP/1.1\r\nContent-Length: 12\r\n"
                                 b"Content-Length: 12\r\n\r\n{\"number\":5}trailing garbage")
        self.assertEqual(response.json()["command"], "Go to slide 5")

    def test_two_requests_in_one_write_get_one_reply(self):
        raw = self.server.exchange(HEALTH + build_request("POST", "/show/next"))
        self.assertEqual(raw.count(b"HTTP/1.1 "), 1)
        self.assertEqual(parse_response(raw).json()["status"], "ok")

    def test_malformed_heads(self):
        self.assertEqual(self.exchange(b"GET\r\n\r\n").json(), INVALID)
        self.assertEqual(self.exchange(b"GET /\xff HTTP/1.1\r\n\r\n").json(), INVALID)
        self.assertEqual(self.exchange(b"GET  /health   HTTP/1.1\r\nno colon\r\n\r\n").status, 200)
        # Bare line feeds never end the head; the peer ending its side makes it incomplete.
        with self.server.connect() as sock:
            sock.sendall(b"GET /health HTTP/1.1\n\n")
            sock.shutdown(socket.SHUT_WR)
            self.assertEqual(parse_response(read_all(sock)).json(), INCOMPLETE)
        with self.server.connect() as sock:
            sock.sendall(b"POST /start HTTP/1.1\r\nContent-Length: 10\r\n\r\n12345")
            sock.shutdown(socket.SHUT_WR)
            response = parse_response(read_all(sock))
            self.assertEqual((response.status, response.json()), (400, INCOMPLETE))

    def test_bodies_that_cannot_be_read_are_refused(self):
        for value in ["-1", "9223372036854775808", "123456789012345678901234567890", "1048577"]:
            with self.subTest(value=value):
                response = self.exchange(("POST /start HTTP/1.1\r\nContent-Length: %s\r\n\r\n" % value).encode())
                self.assertEqual((response.status, response.json()), (400, INVALID))
        # Chunked bodies are not supported: refused rather than run with an empty body.
        response = self.exchange(b"POST /goto/slide/number HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                                 b"c\r\n{\"number\":4}\r\n0\r\n\r\n")
        self.assertEqual((response.status, response.json()), (400, INVALID))
        self.assertEqual(self.exchange(b"GET /health HTTP/1.1\r\nTransfer-Encoding: identity\r\n\r\n").status, 200)

    def test_heads_whose_meaning_is_open_are_refused(self):
        # Each line would otherwise be dropped or overruled, and the command run with a body other
        # than the one sent; the one reply is the refusal, so no command ran.
        for lines in [b"Transfer-Encoding : chunked", b"Transfer-Encoding\t: chunked", b" Transfer-Encoding: chunked",
                      b"Transfer-Encoding: chunked\r\nTransfer-Encoding: identity",
                      b"Content-Length: 0\r\nContent-Length: 12", b"Host: a.example\r\nHost: b.example"]:
            with self.subTest(lines=lines):
                response = self.exchange(b"POST /goto/slide/number HTTP/1.1\r\n" + lines + b"\r\n\r\n"
                                         b"c\r\n{\"number\":4}\r\n0\r\n\r\n")
                self.assertEqual((response.status, response.json()), (400, INVALID))

    def test_size_limits(self):
        # A head just under 64 KiB is fine; one byte more is refused, before any CR LF CR LF.
        line = b"GET /health HTTP/1.1\r\nX-Pad: "
        fits = line + b"a" * (65536 - len(line))
        self.assertEqual(self.exchange(fits + b"\r\n\r\n").status, 200)
        with self.server.connect() as sock:
            sock.sendall(fits + b"aaaa")  # no end of head, and none can come in time
            self.assertEqual(parse_response(read_all(sock)).json(), INVALID)
        # The largest body is 1 MiB.
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


class LimitsTest(unittest.TestCase):
    """A server with short time limits, so that waiting for them stays quick."""

    TIMEOUT = 1.0

    @classmethod
    def setUpClass(cls):
        cls.server = Server("--request-timeout-ms", "1000", "--reply-timeout-ms", "1000", "--slides", "60000")

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

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
        data = build_request("GET", "/health")
        half = len(data) // 2
        self.assertEqual(parse_response(self.server.exchange(data, pieces=[data[:half], data[half:]], pause=0.5)).status,
                         200)

    def test_reply_not_read_in_time_is_dropped(self):
        # About 5 MB of slide list into a client that reads nothing for a while.
        with self.server.connect(receive_buffer=4096) as sock:
            sock.sendall(build_request("GET", "/slides"))
            # The first bytes show the reply is being written; a slow machine may take long to build it.
            first = sock.recv(1)
            time.sleep(self.TIMEOUT * 3)
            # Meanwhile the server answers others.
            self.assertEqual(parse_response(self.server.exchange(HEALTH)).status, 200)
            raw = first + read_all(sock)
        head, _, body = raw.partition(b"\r\n\r\n")
        self.assertIn(b"200 OK", head)
        declared = int(parse_response(raw).headers["content-length"])
        self.assertLess(len(body), declared)


class ConnectionCapTest(unittest.TestCase):
    def test_answered_peers_that_never_close_hold_no_place(self):
        server = Server("--max-connections", "4")
        self.addCleanup(server.stop)
        for sock in [server.connect(timeout=5) for _ in range(4)]:
            self.addCleanup(sock.close)
            sock.sendall(b"GET\r\n\r\n")
            self.assertEqual(parse_response(sock.recv(65536)).json(), INVALID)
        # They only drain: a new client takes the place of one of them.
        self.assertEqual(parse_response(server.exchange(HEALTH, timeout=5)).status, 200)


if __name__ == "__main__":
    unittest.main()
