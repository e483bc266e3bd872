"""The real program behind its HTTP API: commands run through the application model, it prints the
control page's address without a display, the settings file decides the port at each start and
keeps the provider choice, OSC switched off leaves its port free, a bad port shows as the server's
failed status, and a pairing kept in the settings and the keychain file signs requests from
another host (a network namespace of the test's own). Peers that hold connections open without
finishing a request lock no one out, and a settings file too deep to handle is kept aside rather
than crashing the program."""

import glob
import json
import os
import resource
import socket
import time
import unittest

from harness import ProgramFixture, Response, connect, free_port, read_all, request, signed_headers, wait_until

PAIR_ID = "lpp_AAECAwQFBgcICQoL"
SECRET = bytes(range(32))


class ProgramTest(ProgramFixture):
    def test_commands_reach_the_model_and_the_settings_file_is_read_and_written(self):
        first, second, osc_port = free_port(), free_port(), free_port()
        self.write_settings(httpPort=first, oscPort=osc_port, oscEnabled=False)
        program = self.start()
        self.assertEqual(program.http_status(), "Pavonix: HTTP server Running: Listening on all interfaces, port %d" % first)
        program.wait_for("Pavonix: OSC server Stopped: Stopped")
        # Without a display, standard output says where to go, and what is off.
        self.assertIn(" or http://127.0.0.1:%d/" % first, program.wait_for("Pavonix: HTTP: Listening")[0])
        program.wait_for("Pavonix: OSC is switched off in the settings.")
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
            sock.bind(("0.0.0.0", osc_port))  # OSC off: nobody holds its port
        # With no stored choice the program starts on the one provider that works on Linux.
        self.assertEqual(request(first, "GET", "/health").json()["presentationProvider"], "googleSlides")
        request(first, "POST", "/provider/select", json.dumps({"provider": "keynote"}))
        answer = request(first, "POST", "/show/next")
        self.assertEqual((answer.status, answer.json()), (200, {"status": "failed", "command": "Show next",
                                                                "message": "Keynote can only be controlled on macOS."}))
        chosen = request(first, "POST", "/provider/select", json.dumps({"provider": "powerPoint"}))
        self.assertEqual(chosen.json()["message"], "Selected PowerPoint.")
        self.assertEqual(program.quit(), 0)
        with self.assertRaises(OSError):
            socket.create_connection(("127.0.0.1", first), timeout=2).close()
        # The choice was written on quit; the port in the settings file is used at the next start.
        self.write_settings(**dict(self.read_settings(), httpPort=second))
        program = self.start()
        self.assertIn("port %d" % second, program.http_status())
        self.assertEqual(request(second, "GET", "/health").json()["presentationProvider"], "powerPoint")
        # A port out of range shows as the server's failed status (the range rule is the model's).
        self.assertEqual(program.quit(), 0)
        self.write_settings(httpPort=65536)
        self.assertEqual(self.start().http_status(), "Pavonix: HTTP server Failed: HTTP port must be between 1 and 65535.")

    def test_a_stored_pairing_signs_requests_from_another_host(self):
        network = self.two_hosts()
        port = free_port()
        self.store_http_pairing(PAIR_ID, SECRET, httpPort=port)
        program = self.start(prefix=network.server_prefix)
        self.assertIn("Running", program.http_status())

        send = lambda headers: network.request(port, "POST", "/show/previous", headers=headers)
        headers = signed_headers(SECRET, PAIR_ID, "POST", "/show/previous")
        signed = send(headers)
        self.assertEqual((signed.status, signed.json()["command"]), (200, "Show previous"))
        # A signature is enough by whatever name the client reached this machine.
        by_name = send({**signed_headers(SECRET, PAIR_ID, "POST", "/show/previous"), "Host": "vm.lan:%d" % port})
        self.assertEqual((by_name.status, by_name.json()["command"]), (200, "Show previous"))
        # The same nonce again is a replay; the server's clock judges the timestamp.
        for refused in [headers, {}, signed_headers(bytes(32), PAIR_ID, "POST", "/show/previous"),
                        signed_headers(SECRET, PAIR_ID, "POST", "/show/previous", timestamp=int(time.time()) - 300)]:
            self.assertEqual(send(refused).status, 401)

    def test_idle_and_trickling_peers_lock_no_one_out(self):
        limits = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(4096, limits[1]), limits[1]))  # for 1,000 peers
        self.addCleanup(resource.setrlimit, resource.RLIMIT_NOFILE, limits)
        port = free_port()
        self.write_settings(httpPort=port, oscEnabled=False)
        program = self.start()
        self.assertIn("Running", program.http_status())
        self.assertEqual(request(port, "GET", "/health", timeout=1).status, 200)
        descriptors = lambda: len(os.listdir("/proc/%d/fd" % program.process.pid))
        baseline = descriptors()

        idle = [connect(port) for _ in range(1000)]
        self.assertEqual(request(port, "GET", "/health", timeout=1).status, 200)
        for sock in idle:
            sock.close()
        self.assertTrue(wait_until(lambda: descriptors() <= baseline))

        # One byte every 3 seconds: each peer is let go at its 10-second head limit (answered or
        # closed), while a body that keeps coming at that pace is read for up to the 30 seconds a
        # request with its body may take.
        trickling = [connect(port) for _ in range(300)]
        for sock in trickling:
            sock.setblocking(False)
        slow_body = connect(port)
        slow_body.sendall(b"POST /goto/slide/number HTTP/1.1\r\nContent-Length: 12\r\n\r\n")
        body = b'{"number":4}'
        self.assertEqual(request(port, "GET", "/health", timeout=1).status, 200)
        deadline = time.monotonic() + 20
        while trickling and time.monotonic() < deadline:
            slow_body.sendall(body[:1])
            body = body[1:]
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
        slow_body.sendall(body)
        self.assertEqual(Response(read_all(slow_body)).json()["command"], "Go to slide 4")
        slow_body.close()
        self.assertTrue(wait_until(lambda: descriptors() <= baseline))

    def test_a_settings_file_nested_too_deep_is_kept_aside(self):
        # The program then listens on the default port: in a network namespace of its own.
        network = self.two_hosts()
        self.write_settings('{"httpPort": 1, "x": %s%s}' % ("[" * 200000, "]" * 200000))
        program = self.start(prefix=network.server_prefix)
        self.assertEqual(program.http_status(), "Pavonix: HTTP server Running: Listening on all interfaces, port 8090")
        # Request signing is on until the user changes it, and the new file keeps it on.
        refused = network.request(8090, "POST", "/provider/select", json.dumps({"provider": "googleSlides"}))
        self.assertEqual(refused.status, 401)
        self.assertEqual(program.quit(), 0)
        self.assertEqual(self.read_settings(), {"httpAuthenticationEnabled": True})
        self.assertEqual(len(glob.glob(self.settings_path + ".corrupt-*")), 1)


if __name__ == "__main__":
    unittest.main()
