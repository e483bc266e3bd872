"""The real program behind its OSC port: datagrams over UDP, and oscsend as an independent sender
over UDP and TCP, become commands of the model, observed in the "last command" lines that
PAVONIX_DEBUG=1 prints to stderr. On Linux every provider answers "failed", which is fine here: the
line shows that the command reached the model, with its display text and the source "OSC". The
addresses, argument kinds and refused arguments are pinned by the command router's tests, malformed
packets by the parser's, SLIP streams cut anywhere, clients closed for garbage, the connection cap,
the places of one address group and the bound on unfinished frames by the OSC server's, a flood beyond the backlog
by the bridge's. Here: what an attacker on the port can do to the whole program (descriptors,
memory, other senders, the status)."""

import json
import errno
import os
import select
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest

from harness import ProgramFixture, answer, connect, free_port, require, wait_until

LINE = "Pavonix: last command OSC: failed "
FLOOD_SECONDS = 6
# The flooding host's addresses: many of one IPv6 /64, and a few IPv4 ones, each with the
# program's own address on their network.
FLOOD_SOURCES = ([("fd77:5c::%x" % n, "fd77:5c::1") for n in range(2, 302)] +
                 [("10.232.0.%d" % n, "10.232.0.1") for n in range(2, 18)])
# A sanitizer build keeps freed memory aside for a while (its quarantine) and gives it back to the
# system lazily; either would hide whether the program gave its memory back after an attack.
PROMPT_RELEASE = {"ASAN_OPTIONS": ":".join(filter(None, [
    os.environ.get("ASAN_OPTIONS", ""), "quarantine_size_mb=1", "thread_local_quarantine_size_kb=64",
    "allocator_release_to_os_interval_ms=100"]))}


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


def slip(packet):
    return b"\xc0" + packet.replace(b"\xdb", b"\xdb\xdd").replace(b"\xc0", b"\xdb\xdc") + b"\xc0"


def reset(sock):
    """Closes with a reset instead of an orderly end."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def bind_as_another_user(address, port):
    """The errno of binding a UDP socket to (address, port) with both reuse options set, as the
    user nobody; 0 when the bind succeeds."""
    pid = os.fork()
    if pid == 0:
        code = 0
        try:
            os.setgid(65534)
            os.setuid(65534)
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
                sock.bind((address, port))
        except OSError as error:
            code = error.errno or 1
        os._exit(code)
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])


def descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def resident_mib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    raise AssertionError("no VmRSS for %d" % pid)


class OSCProgramFixture(ProgramFixture):
    def start_with_osc(self, extra_env=None):
        self.osc_port = free_port()
        self.write_settings(httpPort=free_port(), oscPort=self.osc_port)
        self.program = self.start(extra_env=extra_env)
        self.program.wait_for("Pavonix: OSC server Running: Listening on all interfaces, port %d" % self.osc_port)

    def commands(self, count, timeout=20):
        return [line[len(LINE):].split(":")[0] for line in self.program.wait_for(LINE, count, timeout)]

    def send_tcp(self, packet):
        with connect(self.osc_port) as sock:
            sock.sendall(slip(packet))

    def settled_resident_mib(self):
        """Resident memory once the descriptors have come back down (the connections are gone)."""
        pid = self.program.process.pid
        self.assertTrue(wait_until(lambda: descriptors(pid) <= self.baseline_descriptors + 5, 30), descriptors(pid))
        return resident_mib(pid)

    def note_memory(self, attack, before):
        after = self.settled_resident_mib()
        print("\n%s: resident %.1f MiB before, %.1f MiB after" % (attack, before, after), flush=True)
        self.assertLess(after - before, 20, attack)

    def send(self, *datagrams):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
            for datagram in datagrams:
                sock.sendto(datagram, ("127.0.0.1", self.osc_port))


class OSCProgramTest(OSCProgramFixture):
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
        # Another user cannot take the port to receive the datagrams meant for the program.
        require(os.geteuid() == 0, "root, to bind as another user")
        for address in ["0.0.0.0", "127.0.0.1"]:
            self.assertEqual(bind_as_another_user(address, self.osc_port), errno.EADDRINUSE, address)

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

    def test_idle_connections_do_not_lock_a_sender_out(self):
        # 300 connections that send nothing, renewed as the program drops them, while a sender
        # over TCP is served within a second, again and again.
        self.start_with_osc(PROMPT_RELEASE)
        pid = self.program.process.pid
        self.baseline_descriptors = descriptors(pid)
        before = resident_mib(pid)
        idle = [connect(self.osc_port) for _ in range(300)]
        renewed = 0
        try:
            deadline = time.monotonic() + 6
            for number in range(1, 1000):
                if time.monotonic() > deadline:
                    break
                readable, _, _ = select.select(idle, [], [], 0)
                for sock in readable:  # closed by the program: its place is taken again
                    idle.remove(sock)
                    sock.close()
                    idle.append(connect(self.osc_port))
                    renewed += 1
                self.send_tcp(osc_message("/goto/slide/number", ("i", number)))
                self.assertEqual(self.commands(number, timeout=1.0)[-1], "Go to slide %d" % number)
            self.assertGreater(renewed, 40)  # beyond the cap the idlest went, each time
        finally:
            for sock in idle:
                sock.close()
        self.note_memory("300 idle connections", before)

    def test_unfinished_frames_leave_no_memory_behind(self):
        # 300 connections, each sending 200 KiB of a SLIP frame that never ends, then closing.
        self.start_with_osc(PROMPT_RELEASE)
        pid = self.program.process.pid
        self.baseline_descriptors = descriptors(pid)
        before = resident_mib(pid)
        frame = b"\xc0" + osc_message("/frame") + b"x" * (200 << 10)
        attackers = [connect(self.osc_port) for _ in range(300)]
        for sock in attackers:
            try:
                sock.sendall(frame)
            except OSError:
                pass  # closed by the program for a newcomer
        for sock in attackers:
            reset(sock)
        self.send_tcp(osc_message("/show/next"))
        self.assertEqual(self.commands(1), ["Show next"])
        self.note_memory("300 unfinished frames of 200 KiB", before)

    def test_connection_churn_keeps_descriptors_bounded_and_the_program_answering(self):
        # Six clients connect, send a few bytes and reset, 5,000 times each.
        self.start_with_osc(PROMPT_RELEASE)
        pid = self.program.process.pid
        self.baseline_descriptors = descriptors(pid)
        before = resident_mib(pid)
        most, done, stop = [0], [], threading.Event()

        def watch():
            while not stop.is_set():
                most[0] = max(most[0], descriptors(pid))
                time.sleep(0.01)

        def churn():
            cycles, deadline = 0, time.monotonic() + 120
            while cycles < 5000 and time.monotonic() < deadline:
                try:
                    sock = connect(self.osc_port, timeout=5)
                    sock.sendall(b"\xc0/show")
                    reset(sock)
                except OSError:
                    pass  # a connect the full backlog held back too long: the next one goes on
                cycles += 1
            done.append(cycles)

        watcher = threading.Thread(target=watch)
        watcher.start()
        started = time.monotonic()
        clients = [threading.Thread(target=churn) for _ in range(6)]
        for client in clients:
            client.start()
        try:
            self.send(osc_message("/show/next"))  # answered during the churn
            self.assertEqual(self.commands(1, timeout=10), ["Show next"])
            for client in clients:
                client.join()
        finally:
            stop.set()
            watcher.join()
        print("\n30,000 connect-send-reset cycles in %.1f s, at most %d descriptors"
              % (time.monotonic() - started, most[0]), flush=True)
        self.assertEqual(sum(done), 30000)
        self.assertLess(most[0], 1000)
        self.send_tcp(osc_message("/show/previous"))
        self.assertEqual(self.commands(2, timeout=5)[-1], "Show previous")
        self.note_memory("30,000 connection cycles", before)

    def test_a_flood_from_many_addresses_does_not_push_out_a_controller_elsewhere(self):
        # Far more connections than the program's places, each delivering a packet, renewed as the
        # program closes them, while a controller at another address sends a command every 0.2 s
        # on a connection of its own each time, as one-shot senders do: every command runs.
        network = self.two_hosts()
        flooding = network.add_client()
        for namespace, device, addresses in ((network.server_ns, "pvt", {server for _, server in FLOOD_SOURCES}),
                                             (flooding, "pvu", [source for source, _ in FLOOD_SOURCES])):
            subprocess.run(["ip", "-n", namespace, "-batch", "-"], check=True, text=True, input="".join(
                "addr add %s dev %s%s\n" % (address + ("/64 nodad" if ":" in address else "/24"), device, network.tag)
                for address in addresses))
        self.osc_port = free_port()
        self.write_settings(httpPort=free_port(), oscPort=self.osc_port)
        self.program = self.start(prefix=network.server_prefix)
        self.program.wait_for("Pavonix: OSC server Running")
        # The commands these children run are at the end of this file.
        flood = self.run_in(flooding, __file__, "flood", self.osc_port, FLOOD_SECONDS)
        controller = self.run_in(network.client_ns, __file__, "oneshot", network.SERVER_ADDRESS, self.osc_port, FLOOD_SECONDS)
        sent = answer(controller)["sent"]
        closed = answer(flood)["closed"]
        self.assertGreater(closed, 1000)  # the flood was real: its places turned over again and again
        self.assertEqual(len(self.commands(sent, timeout=10)), sent)

    def test_a_peers_problems_leave_the_status_running_and_print_escaped(self):
        self.start_with_osc()
        running = "Pavonix: OSC server Running: Listening on all interfaces, port %d; " % self.osc_port
        self.send(osc_message("/error"))
        self.program.wait_for(running + "Unknown command route: /error")
        with connect(self.osc_port) as sock:  # a stream that cannot be parsed
            sock.sendall(b"\xc0garbage\xc0")
            self.assertEqual(sock.recv(1), b"")
        self.program.wait_for(running + "Error: unrecognisedData")
        self.send(osc_message("/error\x1b[2J\nFake line"),
                  osc_message("/goto/slide/named", ("s", "\x1b[31mRed\nPavonix: fake")))
        self.program.wait_for(running + "Unknown command route: /error[2JFake line")
        line = self.program.wait_for(LINE + "Go to slide named")[0]
        self.assertIn('Go to slide named "\\u001B[31mRed\\nPavonix: fake"', line)
        self.assertFalse([line for line in self.program.lines if "\x1b" in line or line.startswith("Fake")])
        self.assertFalse([line for line in self.program.lines if line.startswith("Pavonix: OSC server Failed")])


def flood(port, seconds):
    """Connections that each send a packet, from every address of FLOOD_SOURCES in turn, for
    `seconds`; how many of them the program closed."""
    held, closed, deadline = [], 0, time.monotonic() + seconds
    while time.monotonic() < deadline:
        for source, server in FLOOD_SOURCES:
            if time.monotonic() > deadline:
                break
            try:
                sock = socket.create_connection((server, port), timeout=2, source_address=(source, 0))
                sock.sendall(slip(osc_message("/flood")))
                sock.setblocking(False)
                held.append(sock)
            except OSError:
                pass
            if len(held) < 400:
                continue
            for sock in held[:]:
                try:
                    if sock.recv(1):
                        continue
                except BlockingIOError:
                    continue
                except OSError:
                    pass
                closed += 1
                held.remove(sock)
                sock.close()
    return {"closed": closed}


def oneshot(host, port, seconds):
    """/show/next every 0.2 s for `seconds`, each on a new connection; how many were sent."""
    sent, deadline = 0, time.monotonic() + seconds
    while time.monotonic() < deadline:
        with socket.create_connection((host, port), timeout=2) as sock:
            sock.sendall(slip(osc_message("/show/next")))
        sent += 1
        time.sleep(0.2)
    return {"sent": sent}


if __name__ == "__main__":
    # Inside a namespace of the test's own (ProgramFixture.run_in): one command, its answer as JSON.
    command, arguments = sys.argv[1], sys.argv[2:]
    numbers = [int(value) if value.isdigit() else value for value in arguments]
    print(json.dumps({"flood": flood, "oneshot": oneshot}[command](*numbers)))
