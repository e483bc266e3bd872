"""The real program behind its OSC port: datagrams over UDP, and oscsend as an independent sender
over UDP and TCP, become commands of the model, observed in the "last command" lines that
PAVONIX_DEBUG=1 prints to stderr. On Linux every provider answers "failed", which is fine here: the
line shows that the command reached the model, with its display text and the source "OSC". The
addresses, argument kinds and refused arguments are pinned by the command router's tests, malformed
packets by the parser's, SLIP streams cut anywhere and clients closed for garbage by the OSC
server's, a flood beyond the backlog by the bridge's."""

import shutil
import socket
import struct
import subprocess
import time
import unittest

from harness import ProgramFixture, free_port, require

LINE = "Pavonix: last command OSC: failed "


def osc_string(text):
    data = text.encode() + b"\0"
    return data + b"\0" * (-len(data) % 4)


def osc_message(address, *arguments):
    """A message; each argument is (tag, value): i, f, s, or T without a value."""
    tags, payload = ",", b""
    for tag, value in arguments:
        tags += tag
        payload += {"i": lambda: struct.pack(">i", value), "f": lambda: struct.pack(">f", value),
                    "s": lambda: osc_string(value), "T": lambda: b""}[tag]()
    return osc_string(address) + osc_string(tags) + payload


def osc_bundle(*elements, time_tag=1):
    return osc_string("#bundle") + struct.pack(">Q", time_tag) + b"".join(
        struct.pack(">i", len(element)) + element for element in elements)


class OSCProgramTest(ProgramFixture):
    def start_with_osc(self):
        self.osc_port = free_port()
        self.write_settings(httpPort=free_port(), oscPort=self.osc_port)
        self.program = self.start()
        self.program.wait_for("Pavonix: OSC server Running: Listening on all interfaces, port %d" % self.osc_port)

    def commands(self, count, timeout=20):
        return [line[len(LINE):].split(":")[0] for line in self.program.wait_for(LINE, count, timeout)]

    def send(self, *datagrams):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
            for datagram in datagrams:
                sock.sendto(datagram, ("127.0.0.1", self.osc_port))

    def test_datagrams_and_bundles_run_in_order_and_bad_packets_change_nothing(self):
        self.start_with_osc()
        future = (int(time.time()) + 2208988800 + 3600) << 32  # an hour ahead: not waited for
        self.send(
            b"not osc at all",
            osc_message("/unknown/address"),
            osc_bundle(osc_message("/start"),
                       osc_bundle(osc_message("/show/next"), osc_message("/show/previous"), time_tag=future),
                       osc_message("/stop"), time_tag=future),
            osc_bundle(),
            osc_message("/keynote/goto/slide/number", ("f", 9.0)),
            osc_message("/goto/slide/named", ("s", "# Intro")),
            osc_message("/start", ("T", None)),
        )
        self.assertEqual(self.commands(7), ["Start", "Show next", "Show previous", "Stop", "Go to slide 9",
                                            'Go to slide named "Intro"', "Start from first slide"])
        self.assertEqual(self.program.process.poll(), None)

    def test_oscsend_is_heard(self):
        require(shutil.which("oscsend") is not None, "oscsend (liblo-tools)")
        self.start_with_osc()
        port = str(self.osc_port)
        for count, command in enumerate([["localhost", port, "/goto/slide/number", "i", "7"],
                                         ["osc.udp://127.0.0.1:" + port, "/keynote/goto/slide/named", "s", "Summary"],
                                         ["osc.tcp://127.0.0.1:" + port, "/show/previous"]], 1):
            subprocess.run(["oscsend", *command], check=True, timeout=10)
            self.commands(count)
        self.assertEqual(self.commands(3), ["Go to slide 7", 'Go to slide named "Summary"', "Show previous"])


if __name__ == "__main__":
    unittest.main()
