"""The real program over settings and keychain files that go wrong: a truncated settings file, one
with the signing switch twice, one it may not read, a link to a file that is not there and a file in
the settings folder's place each leave request signing on for a peer on another host (the first is
set aside, the others left exactly as they were), and each is told with the advice that fits it, as
is a keychain file open to other users; a settings file that is a link stays one, and the file it leads to is written; a
settings folder it may not write to makes a peer's choice answer that it holds for now and is told
until a write succeeds; FIFOs in the files' places neither hang the start nor keep SIGTERM from
ending it; two copies of the program on one settings file keep each other's changes; and a keyring
still starting when the program starts keeps its secrets, refused meanwhile and served once it answers
(PAVONIX_DEBUG=1 prints what the user is told)."""

import contextlib
import fcntl
import glob
import json
import os
import pathlib
import shutil
import signal
import stat
import subprocess
import sys
import time
import unittest

from harness import ProgramFixture, Response, build_request, free_port, request, require, signed_headers, wait_until

HERE = os.path.dirname(os.path.abspath(__file__))
HARNESS = os.path.join(HERE, "harness.py")  # run as a script: one exchange with HOST PORT
WITH_XVFB = os.path.join(HERE, "..", "..", "platform", "x11", "testing", "with_xvfb.sh")
DEFAULT_PORT = 8090


class StorageTest(ProgramFixture):
    def folder_entries(self):
        return sorted(os.listdir(os.path.dirname(self.settings_path)))

    def test_a_settings_file_that_cannot_be_used_leaves_signing_on_for_a_peer(self):
        # Either way the program runs on defaults: the default port, in the namespace's network.
        network = self.two_hosts()
        command = lambda: network.request(DEFAULT_PORT, "POST", "/show/next").status

        # Truncated.
        self.write_settings('{"httpAuthenticationEnabled": false, "httpPort": 8090')
        program = self.start(prefix=network.server_prefix)
        self.assertIn("Running", program.http_status())
        self.assertEqual(command(), 401)
        [aside] = glob.glob(glob.escape(self.settings_path) + ".corrupt-*")
        program.wait_for("Pavonix: notice: Settings could not be read and were set aside: the earlier settings and "
                         "pairings are in %s. Require Paired Devices is on until you turn it off." % aside)
        self.assertEqual(program.quit(), 0)
        self.assertEqual(self.read_settings(), {"httpAuthenticationEnabled": True}, "and on at the next start")
        self.assertEqual(len(glob.glob(glob.escape(self.settings_path) + ".corrupt-*")), 1)

        # The switch twice: as unclear as a wrong type, so on.
        self.write_settings('{"httpAuthenticationEnabled": true, "httpAuthenticationEnabled": false}')
        program = self.start(prefix=network.server_prefix)
        self.assertIn("Running", program.http_status())
        self.assertEqual(command(), 401)
        self.assertEqual(program.quit(), 0)

        # Unreadable (mode 000): not the content's fault, so nothing moves and nothing is written.
        shutil.rmtree(os.path.dirname(self.settings_path))
        text = json.dumps({"httpAuthenticationEnabled": False, "presentationProvider": "powerPoint"})
        self.write_settings(text)
        os.chmod(self.settings_path, 0)
        # And a keychain file open to other users, which is told as well.
        keychain = os.path.join(self.home, "data", "Pavonix", "keychain.json")
        os.makedirs(os.path.dirname(keychain), mode=0o700, exist_ok=True)
        with open(keychain, "w") as out:
            out.write('{"version": 1, "items": []}')
        os.chmod(keychain, 0o644)
        program = self.start(prefix=network.server_prefix + self.without_root_file_access())
        self.assertIn("Running", program.http_status())
        self.assertEqual(command(), 401)
        program.wait_for("Pavonix: notice: Settings could not be read from %s: Permission denied. Nothing was changed "
                         "on disk; check the permissions of the file and its folder." % self.settings_path)
        program.wait_for("Pavonix: notice: Pairing secrets could not be read: %s: Open to other users (mode 0644)."
                         % keychain)
        self.assertEqual(program.quit(), 0)
        self.assertEqual(stat.S_IMODE(os.stat(self.settings_path).st_mode), 0)
        with open(self.settings_path) as kept:
            self.assertEqual(kept.read(), text)
        self.assertEqual(self.folder_entries(), ["settings.json"])

        # A link to a volume not mounted yet, and XDG_CONFIG_HOME naming a file: not a first start.
        unmounted = os.path.join(self.home, "unmounted", "settings.json")
        config = os.path.dirname(os.path.dirname(self.settings_path))

        def dangling_link():
            os.remove(self.settings_path)
            os.symlink(unmounted, self.settings_path)
            return lambda: self.assertEqual((os.readlink(self.settings_path), self.folder_entries()),
                                            (unmounted, ["settings.json"]))

        def config_is_a_file():
            shutil.rmtree(config)
            with open(config, "w") as out:
                out.write("mine")
            return lambda: self.assertEqual(pathlib.Path(config).read_text(), "mine")

        # The advice fits the fault: a link that leads nowhere is mended where it leads.
        for make, reason in ((dangling_link, "%s links to %s, which does not exist. Nothing was changed on disk; create "
                                             "what the link leads to, or remove the link." % (self.settings_path, unmounted)),
                             (config_is_a_file, "%s is not a folder" % config)):
            unchanged = make()
            program = self.start(prefix=network.server_prefix)
            self.assertIn("Running", program.http_status())
            self.assertEqual(command(), 401)
            [notice] = program.wait_for("Pavonix: notice: Settings could not be read")
            self.assertIn(reason, notice)
            self.assertEqual(program.quit(), 0)
            unchanged()

    def test_a_read_only_settings_folder_is_told_until_a_write_succeeds(self):
        port = free_port()
        self.write_settings(httpPort=port, oscEnabled=False)
        folder = os.path.dirname(self.settings_path)
        os.chmod(folder, 0o555)
        self.addCleanup(os.chmod, folder, 0o755)
        program = self.start(prefix=self.without_root_file_access())
        self.assertIn("Running", program.http_status())
        select = lambda provider: request(port, "POST", "/provider/select", json.dumps({"provider": provider})).json()
        # The peer is told why without this machine's paths; the user is told where and what to check.
        failed = "Settings could not be saved: creating the new settings file: Permission denied."
        told = ("Settings could not be saved to %s: creating the new settings file: Permission denied. Check the "
                "permissions of that file and its folder, and the free space on the disk." % self.settings_path)
        # The choice is written in the background, the answer waiting for no disk: the failure is
        # told the user as it happens, and the peer at its next choice.
        select("keynote")
        program.wait_for("Pavonix: notice: " + told)
        chosen = select("powerPoint")
        self.assertEqual((chosen["status"], chosen["message"]), ("failed", "Selected PowerPoint for now. " + failed))
        # Once the folder takes it, the next change is written in the background and the notice goes.
        os.chmod(folder, 0o755)
        self.assertEqual(select("googleSlides")["status"], "failed", "answered before that write")
        program.wait_for("Pavonix: notice gone: " + told)
        self.assertEqual(self.read_settings()["presentationProvider"], "googleSlides")
        self.assertEqual(program.quit(), 0)
        self.assertEqual(program.lines.count("Pavonix: notice: " + told), 1, "told once")

    def test_a_settings_file_kept_elsewhere_through_a_link_is_written_there(self):
        port = free_port()
        kept = os.path.join(self.home, "dotfiles", "settings.json")
        os.makedirs(os.path.dirname(kept))
        with open(kept, "w") as out:
            json.dump({"httpPort": port, "oscEnabled": False}, out)
        os.makedirs(os.path.dirname(self.settings_path))
        os.symlink(kept, self.settings_path)
        program = self.start()
        self.assertIn("Running", program.http_status())
        chosen = request(port, "POST", "/provider/select", json.dumps({"provider": "powerPoint"})).json()
        self.assertEqual(chosen["status"], "ok", chosen)
        written = lambda: json.loads(pathlib.Path(kept).read_text()).get("presentationProvider") == "powerPoint"
        self.assertTrue(wait_until(written), "written in the background")
        self.assertEqual(os.readlink(self.settings_path), kept)
        self.assertEqual(program.quit(), 0)
        self.assertEqual(sorted(os.listdir(os.path.dirname(kept))), ["settings.json"])

    def test_fifos_in_place_of_the_files_neither_hang_the_start_nor_block_sigterm(self):
        require(shutil.which("unshare") is not None, "unshare (util-linux)")
        os.makedirs(os.path.dirname(self.settings_path))
        os.mkfifo(self.settings_path, 0o600)
        keychain = os.path.join(self.home, "data", "Pavonix", "keychain.json")
        os.makedirs(os.path.dirname(keychain), mode=0o700)
        os.mkfifo(keychain, 0o600)
        # The defaults hold: the default ports, so in a network of its own.
        program = self.start(prefix=["unshare", "--net"] if os.geteuid() == 0 else [])
        self.assertIn("Running", program.http_status())
        self.assertEqual(program.quit(), 0)
        self.assertTrue(stat.S_ISFIFO(os.stat(self.settings_path).st_mode))
        self.assertTrue(stat.S_ISFIFO(os.stat(keychain).st_mode))

    def test_two_copies_on_one_settings_file_keep_each_others_changes(self):
        require(os.geteuid() == 0 and shutil.which("unshare") and shutil.which("nsenter"), "root, unshare and nsenter")
        require(shutil.which("xmessage") is not None, "xmessage (x11-utils)")
        display = self.private_display()
        titles = ["Deck One - Google Slides", "Deck Two - Google Slides"]
        for title in titles:
            self.spawn(["xmessage", "-title", title, title], env=dict(os.environ, DISPLAY=display), stderr=subprocess.DEVNULL)

        port = free_port()
        self.write_settings(httpPort=port, oscEnabled=False, presentationProvider="googleSlides", fromAnOlderVersion=[1])
        first = self.start()
        # The second on the same port, in a network of its own (loopback up); it sees the X
        # server's windows.
        second = self.start(prefix=["unshare", "--net", "sh", "-c", 'ip link set lo up && exec "$0" "$@"',
                                    "env", "DISPLAY=" + display])
        self.assertIn("Running", first.http_status())
        self.assertIn("Running", second.http_status())
        ask = lambda prefix, method, path, body=b"": Response(subprocess.run(
            [*prefix, sys.executable, HARNESS, "127.0.0.1", str(port)], input=build_request(method, path, body),
            capture_output=True, timeout=10, check=True).stdout).json()
        ask_first = lambda *request: ask([], *request)
        ask_second = lambda *request: ask(["nsenter", "--net=/proc/%d/ns/net" % second.process.pid], *request)
        stored = lambda: {key: value for key, value in self.read_settings().items()
                          if key in ("presentationProvider", "googleSlidesWindowTitle", "fromAnOlderVersion")}
        expect = lambda provider, title: self.assertTrue(wait_until(lambda: stored() == {
            "presentationProvider": provider, "googleSlidesWindowTitle": title, "fromAnOlderVersion": [1]}), stored())

        windows = {w["title"]: w["windowID"] for w in ask_second("GET", "/windows")["windows"]}
        select = lambda title: self.assertEqual(ask_second("POST", "/windows/select", json.dumps({"windowID": windows[title]}))["status"], "ok")
        select(titles[0])
        expect("googleSlides", titles[0])
        self.assertEqual(ask_first("POST", "/provider/select", '{"provider": "powerPoint"}')["status"], "ok")
        expect("powerPoint", titles[0])  # the first did not write its old window choice back
        select(titles[1])  # the second still drives Google Slides: it has not written since
        expect("powerPoint", titles[1])  # nor the second its old provider
        self.assertEqual(ask_second("GET", "/health")["presentationProvider"], "powerPoint", "taken in at its write")
        self.assertEqual(second.quit(), 0)
        self.assertEqual(first.quit(), 0)
        expect("powerPoint", titles[1])

    def test_a_pairing_another_copy_wrote_just_before_this_ones_stays_on_disk(self):
        require(all(os.environ.get(name) for name in ("PAVONIX_FAKE_BLUEZ", "PAVONIX_DBUS_DAEMON", "PAVONIX_PYTHON3")),
                "the stand-in bluetoothd (run through ctest)")
        debian_python = os.environ["PAVONIX_PYTHON3"]  # with python3-dbus, as the stand-in needs
        fake = self.spawn([debian_python, os.environ["PAVONIX_FAKE_BLUEZ"]], stdout=subprocess.PIPE, text=True)
        self.addCleanup(fake.stdout.close)
        bus = fake.stdout.readline().strip()
        require(bus.startswith("unix:"), "the stand-in bluetoothd")
        self.write_settings(httpPort=free_port(), oscEnabled=False, bluetoothEnabled=True, bluetoothDiscoverable=True)
        program = self.start(extra_env={"DBUS_SYSTEM_BUS_ADDRESS": bus})
        program.wait_for("Pavonix: Bluetooth server Running")

        # Another copy pairs its phone, under the settings lock as every copy writes...
        theirs = json.dumps({"createdAt": 786000000.5, "id": "lpb_theirs", "name": "Pavonix"}, sort_keys=True,
                            separators=(",", ":"))
        lock = os.open(os.path.join(os.path.dirname(self.settings_path), ".settings.lock"), os.O_RDWR | os.O_CREAT, 0o600)
        try:
            fcntl.flock(lock, fcntl.LOCK_EX)
            settings = self.read_settings()
            settings["bluetoothPairedDevices"] = [theirs]
            with open(self.settings_path + ".tmp-theirs", "w") as out:
                json.dump(settings, out)
            os.replace(self.settings_path + ".tmp-theirs", self.settings_path)
        finally:
            os.close(lock)
        # ... and 0.1 s later, long before this copy looks at the file again, a phone pairs here.
        time.sleep(0.1)
        subprocess.run([debian_python, "-c", """if True:
            import sys, dbus
            central = dbus.Interface(dbus.bus.BusConnection(sys.argv[1]).get_object("org.pavonix.FakeCentral", "/pavonix/test"),
                                     "org.pavonix.FakeCentral")
            central.Read("dev_11_22_33_44_55_66", "31E28A2A-9E0F-493B-9335-28B4F3B30AC6", dbus.UInt16(0))""", bus],
                       check=True, timeout=20)
        stored = lambda: self.read_settings().get("bluetoothPairedDevices", [])
        self.assertTrue(wait_until(lambda: len(stored()) == 2), stored())
        self.assertEqual(stored()[0], theirs)
        self.assertEqual(program.quit(), 0)
        self.assertEqual(stored()[0], theirs)

    def test_a_keyring_still_starting_keeps_its_secrets_and_answers_once_it_does(self):
        network = self.two_hosts()
        bus, keyring = self.private_keyring()
        pair_id, secret = "lpp_KeyringPairing", b"s3cret-of-a-phone-paired-before!"
        self.store_http_pairing(pair_id, secret, oscEnabled=False)
        keychain = os.path.join(self.home, "data", "Pavonix", "keychain.json")
        os.remove(keychain)  # the secret is in the keyring alone
        subprocess.run(["secret-tool", "store", "--label=Phone", "service", "com.vrel.Lanternpost.http-auth",
                        "account", pair_id], input=secret, env=bus, check=True, timeout=10)
        os.kill(keyring, signal.SIGSTOP)  # as a keyring daemon still starting at login
        stopped = time.monotonic()
        program = self.start(prefix=network.server_prefix, extra_env={
            "PAVONIX_KEYCHAIN": "", "DBUS_SESSION_BUS_ADDRESS": bus["DBUS_SESSION_BUS_ADDRESS"]})
        self.assertIn("Running", program.http_status())
        answers = []
        phone = lambda: answers.append(network.request(DEFAULT_PORT, "POST", "/show/previous", headers=signed_headers(
            secret, pair_id, "POST", "/show/previous")).status) or answers[-1]
        silent = ("Pavonix: notice: Pairing secrets could not be read: the Secret Service does not answer (is the "
                  "desktop's keyring running?).")
        self.assertTrue(wait_until(lambda: phone() and silent in program.lines and time.monotonic() >= stopped + 6,
                                   timeout=30), program.lines[-20:])
        self.assertEqual(set(answers), {401}, "refused while the keyring is silent, never served from elsewhere")
        os.kill(keyring, signal.SIGCONT)
        self.assertTrue(wait_until(lambda: phone() == 200, timeout=15), answers[-5:])
        program.wait_for("Pavonix: notice gone: Pairing secrets could not be read")
        self.assertEqual(program.quit(), 0)
        self.assertFalse(os.path.exists(keychain) and json.loads(pathlib.Path(keychain).read_text()).get("items"))

    def private_keyring(self):
        """A private session bus with an unlocked gnome-keyring on it, both ended with the test: the
        environment that reaches them, and the keyring daemon's process id. The bus listens on a path,
        so that a program in a network namespace of the test's own reaches it too."""
        require(all(shutil.which(tool) for tool in ("dbus-daemon", "dbus-send", "gnome-keyring-daemon", "secret-tool")),
                "dbus, gnome-keyring and secret-tool")
        folder = pathlib.Path(self.home, "keyring")
        (folder / ".local" / "share" / "keyrings").mkdir(parents=True)
        (folder / "bus.conf").write_text(
            '<busconfig><type>session</type><listen>unix:dir=%s</listen><policy context="default"><allow own="*"/>'
            '<allow send_destination="*"/><allow receive_sender="*"/></policy></busconfig>' % folder)
        daemon = self.spawn(["dbus-daemon", "--config-file=%s" % (folder / "bus.conf"), "--nofork",
                             "--print-address=1"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.addCleanup(daemon.stdout.close)
        env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=daemon.stdout.readline().strip(), HOME=str(folder),
                   XDG_DATA_HOME=str(folder / ".local" / "share"), XDG_RUNTIME_DIR=str(folder))
        # A password lets it make its login collection without a prompt; it leaves once it has forked.
        subprocess.run(["gnome-keyring-daemon", "--unlock", "--components=secrets", "--replace"], input="pw", env=env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True, timeout=20, text=True)
        owner = lambda: subprocess.run(
            ["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus", "/",
             "org.freedesktop.DBus.GetConnectionUnixProcessID", "string:org.freedesktop.secrets"],
            env=env, capture_output=True, text=True).stdout.split()
        self.assertTrue(wait_until(lambda: "uint32" in owner(), timeout=10), "no keyring daemon on the bus")
        pid = int(owner()[-1])

        def end_keyring():
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGCONT)
                os.kill(pid, signal.SIGTERM)
        self.addCleanup(end_keyring)
        return env, pid

    def private_display(self):
        """An X server with a window manager for this test; its display name."""
        # The servers stay up until the command ends: at the end of the test, when its input closes.
        # They are left to stop by themselves before their group is ended, so that with_xvfb.sh
        # also removes its folder.
        server = self.spawn(["bash", WITH_XVFB, "sh", "-c", 'echo "$DISPLAY"; read -r _'], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)
        self.addCleanup(server.stdout.close)
        self.addCleanup(server.wait, 20)
        self.addCleanup(server.stdin.close)
        display = server.stdout.readline().strip()
        require(display.startswith(":"), "a private X server (with_xvfb.sh)")
        return display


if __name__ == "__main__":
    unittest.main()
