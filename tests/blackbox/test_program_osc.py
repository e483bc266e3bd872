"""The real program behind its OSC port: datagrams over UDP (raw, and from oscsend as an independent
sender) become commands of the model, observed in the "last command" lines that PAVONIX_DEBUG=1
prints to stderr. On Linux every provider answers "failed", which is fine here: the line shows that
the command reached the model, with its display text and the source "OSC"."""

import os
import shutil
import socket
import struct
import subprocess
import time
import unittest

from harness import require
from test_program_http import ProgramFixture, free_port

LINE = "Pavonix: last command OSC: failed "


def osc_string(text):
    data = text.encode() + b"\0"
    return data + b"\0" * (-len(data) % 4)


def osc_message(address, *arguments):
    """A message; each argument is (tag, value): i, f, s, or T/F/N/I without a value."""
    tags, payload = ",", b""
    for tag, value in arguments:
        tags += tag
        if tag == "i":
            payload += struct.pack(">i", value)
        elif tag == "f":
            payload += struct.pack(">f", value)
        elif tag == "s":
            payload += osc_string(value)
    return osc_string(address) + osc_string(tags) + payload


def slip(packet):
    escaped = packet.replace(b"\xdb", b"\xdb\xdd").replace(b"\xc0", b"\xdb\xdc")
    return b"\xc0" + escaped + b"\xc0"


def osc_bundle(*elements, time_tag=1):
    out = osc_string("#bundle") + struct.pack(">Q", time_tag)
    for element in elements:
        out += struct.pack(">i", len(element)) + element
    return out


class OSCProgramTest(ProgramFixture):
    def start_with_osc(self, **settings):
        self.osc_port = free_port()
        self.write_settings(httpPort=free_port(), oscPort=self.osc_port, **settings)
        program = self.start()
        self.wait_for(program, "Pavonix: OSC server Running: Listening on all interfaces, port %d" % self.osc_port)
        return program

    def wait_for(self, program, wanted, count=1, timeout=20):
        """The lines starting with `wanted` once `count` of them have come."""
        deadline = time.monotonic() + timeout
        with program.changed:
            while True:
                found = [line for line in program.lines if line.startswith(wanted)]
                if len(found) >= count:
                    return found
                remaining = deadline - time.monotonic()
                if remaining <= 0 or program.process.poll() is not None:
                    raise AssertionError("waited for %d of %r:\n%s" % (count, wanted, "\n".join(program.lines[-40:])))
                program.changed.wait(remaining)

    def commands(self, program, count):
        return [line[len(LINE):].split(":")[0] for line in self.wait_for(program, LINE, count)]

    def send(self, *datagrams):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
            for datagram in datagrams:
                sock.sendto(datagram, ("127.0.0.1", self.osc_port))

    def test_every_command_address_and_argument_kind_over_udp(self):
        program = self.start_with_osc()
        sent = [
            (osc_message("/start"), "Start"),
            (osc_message("/keynote/start", ("i", 1)), "Start from first slide"),
            (osc_message("/start", ("T", None)), "Start from first slide"),
            (osc_message("/start", ("s", "first")), "Start from first slide"),
            (osc_message("/start", ("f", 0.0)), "Start"),
            (osc_message("/stop"), "Stop"),
            (osc_message("/keynote/stop"), "Stop"),
            (osc_message("/show/next"), "Show next"),
            (osc_message("/keynote/show/next"), "Show next"),
            (osc_message("/show/previous"), "Show previous"),
            (osc_message("/keynote/show/previous"), "Show previous"),
            (osc_message("/goto/slide/number", ("i", 3)), "Go to slide 3"),
            (osc_message("/keynote/goto/slide/number", ("f", 4.0)), "Go to slide 4"),
            (osc_message("/goto/slide/number", ("s", " 5 ")), "Go to slide 5"),
            (osc_message("/goto/slide/named", ("s", "# Intro")), 'Go to slide named "Intro"'),
            (osc_message("/keynote/goto/slide/named", ("s", "End")), 'Go to slide named "End"'),
        ]
        # One at a time: the kernel may reorder nothing on loopback, but waiting keeps a failure readable.
        for count, (datagram, _) in enumerate(sent, 1):
            self.send(datagram)
            self.wait_for(program, LINE, count)
        self.assertEqual(self.commands(program, len(sent)), [text for _, text in sent])

    def test_bundles_run_every_message_in_order_and_bad_packets_change_nothing(self):
        program = self.start_with_osc()
        future = (int(time.time()) + 2208988800 + 3600) << 32  # an hour ahead: not waited for
        self.send(
            b"not osc at all",
            osc_message("/unknown/address"),
            osc_message("/goto/slide/number", ("i", 0)),     # not a slide number
            osc_message("/goto/slide/number"),                 # no number
            osc_string("/show/next")[:-1],                     # cut short
            osc_bundle(osc_message("/start"),
                       osc_bundle(osc_message("/show/next"), osc_message("/show/previous"), time_tag=future),
                       osc_message("/stop"), time_tag=future),
            osc_bundle(),
            osc_message("/goto/slide/number", ("i", 9)),
        )
        self.assertEqual(self.commands(program, 5), ["Start", "Show next", "Show previous", "Stop", "Go to slide 9"])
        self.assertEqual(program.process.poll(), None)

    def test_a_burst_of_a_thousand_datagrams_runs_in_order(self):
        program = self.start_with_osc()
        self.send(*(osc_message("/goto/slide/number", ("i", n)) for n in range(1, 1001)))
        # The closing marker may itself be dropped by a full loopback buffer: send it until it runs.
        for _ in range(40):
            self.send(osc_message("/stop"))
            try:
                self.wait_for(program, LINE + "Stop", timeout=0.5)
                break
            except AssertionError:
                continue
        self.wait_for(program, LINE + "Stop")
        numbers = [int(text.rsplit(" ", 1)[1]) for text in self.commands(program, 1) if text.startswith("Go to slide")]
        # Loopback may drop datagrams when its buffer is full; whatever arrives runs in order.
        self.assertEqual(numbers, sorted(numbers))
        self.assertGreater(len(numbers), 0)

    def test_every_command_over_a_tcp_slip_stream_cut_anywhere(self):
        program = self.start_with_osc()
        stream = b"".join(slip(packet) for packet in (
            osc_message("/start", ("i", 1)),
            osc_message("/keynote/show/next"),
            osc_message("/show/previous"),
            osc_message("/keynote/goto/slide/number", ("i", 192)),  # 0xC0 (END) inside the frame
            osc_message("/goto/slide/number", ("i", 219)),          # 0xDB (ESC)
            osc_message("/goto/slide/named", ("s", "Close")),
            osc_bundle(osc_message("/stop"), osc_bundle(osc_message("/keynote/start")), time_tag=1 << 62),
        ))
        with socket.create_connection(("127.0.0.1", self.osc_port), timeout=10) as sock:
            for offset in range(0, len(stream), 7):  # pieces that cut frames, escapes and words
                sock.sendall(stream[offset:offset + 7])
            self.assertEqual(self.commands(program, 8), ["Start from first slide", "Show next", "Show previous",
                                                         "Go to slide 192", "Go to slide 219",
                                                         'Go to slide named "Close"', "Stop", "Start"])
        # A client that sends what is not OSC is closed; the others go on.
        with socket.create_connection(("127.0.0.1", self.osc_port), timeout=10) as bad:
            bad.sendall(slip(b"garbage"))
            self.assertEqual(bad.recv(1), b"")
        with socket.create_connection(("127.0.0.1", self.osc_port), timeout=10) as good:
            good.sendall(slip(osc_message("/stop")))
            self.assertEqual(self.commands(program, 9)[-1], "Stop")
        self.assertEqual(program.process.poll(), None)

    def test_oscsend_is_heard(self):
        require(shutil.which("oscsend") is not None, "oscsend (liblo-tools)")
        program = self.start_with_osc()
        subprocess.run(["oscsend", "localhost", str(self.osc_port), "/goto/slide/number", "i", "7"], check=True,
                       timeout=10)
        subprocess.run(["oscsend", "osc.udp://127.0.0.1:%d" % self.osc_port, "/keynote/goto/slide/named", "s",
                        "Summary"], check=True, timeout=10)
        self.assertEqual(self.commands(program, 2), ["Go to slide 7", 'Go to slide named "Summary"'])
        subprocess.run(["oscsend", "osc.tcp://127.0.0.1:%d" % self.osc_port, "/show/previous"], check=True, timeout=10)
        self.assertEqual(self.commands(program, 3)[-1], "Show previous")

    def test_osc_off_in_the_settings_file_means_nothing_listens(self):
        port = free_port()
        self.write_settings(httpPort=free_port(), oscPort=port, oscEnabled=False)
        program = self.start()
        self.wait_for(program, "Pavonix: HTTP server Running")
        self.assertIn("Pavonix: OSC server Stopped: Stopped", program.lines)
        self.assertNotIn("Running", " ".join(line for line in program.lines if "OSC server" in line))
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
            sock.bind(("0.0.0.0", port))  # free: nobody holds it


if __name__ == "__main__":
    unittest.main()
