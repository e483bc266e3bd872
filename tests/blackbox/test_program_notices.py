"""What the real program tells the user when its settings or keychain file goes wrong, through the
lines that PAVONIX_DEBUG=1 prints: a settings folder it may not write to makes a provider change
answer that it holds only for now and shows the save error until a later write succeeds; a
truncated settings file is told as set aside, one it may not read as left alone, and a keychain
file open to other users as unusable."""

import glob
import json
import os
import shutil
import unittest

from harness import ProgramFixture, free_port, request, require

SAVE_FAILED = ("Pavonix: notice: Settings could not be saved: creating a temporary settings file: "
               "Permission denied.")


class NoticeTest(ProgramFixture):
    def test_a_read_only_settings_folder_shows_the_save_error_until_a_write_succeeds(self):
        port = free_port()
        self.write_settings(httpPort=port, oscEnabled=False)
        folder = os.path.dirname(self.settings_path)
        os.chmod(folder, 0o555)
        self.addCleanup(os.chmod, folder, 0o755)
        program = self.start(prefix=self.without_root_file_access())
        self.assertIn("Running", program.http_status())

        chosen = request(port, "POST", "/provider/select", json.dumps({"provider": "powerPoint"})).json()
        self.assertEqual((chosen["status"], chosen["message"], chosen["presentationProvider"]), (
            "failed", "Selected PowerPoint for now. " + SAVE_FAILED[len("Pavonix: notice: "):], "powerPoint"))
        program.wait_for(SAVE_FAILED)

        # The next change is written in the background once the folder can take it, and the
        # notice goes.
        os.chmod(folder, 0o755)
        chosen = request(port, "POST", "/provider/select", json.dumps({"provider": "googleSlides"})).json()
        self.assertEqual(chosen["status"], "failed", "the peer is answered before that write")
        program.wait_for("Pavonix: notice gone: " + SAVE_FAILED[len("Pavonix: notice: "):])
        self.assertEqual(self.read_settings()["presentationProvider"], "googleSlides")
        self.assertEqual(program.quit(), 0)
        self.assertEqual(len([line for line in program.lines if line == SAVE_FAILED]), 1, "told once")

    def in_a_network_of_its_own(self):
        """A prefix for a program that listens on the default ports."""
        if os.geteuid() != 0:
            return []
        require(shutil.which("unshare") is not None, "unshare (util-linux)")
        return ["unshare", "--net"]

    def test_a_truncated_settings_file_is_told_as_set_aside(self):
        self.write_settings('{"httpAuthenticationEnabled": tr')
        program = self.start(prefix=self.in_a_network_of_its_own())
        line = program.wait_for("Pavonix: notice: Settings could not be read;")[0]
        [aside] = glob.glob(glob.escape(self.settings_path) + ".corrupt-*")
        self.assertEqual(line, "Pavonix: notice: Settings could not be read; they were set aside as %s. Request "
                               "signing is on until you change it." % aside)
        self.assertEqual(program.quit(), 0)

    def test_an_unreadable_settings_file_and_an_open_keychain_file_are_told(self):
        self.write_settings(httpAuthenticationEnabled=False)
        os.chmod(self.settings_path, 0)
        keychain = os.path.join(self.home, "data", "Pavonix", "keychain.json")
        os.makedirs(os.path.dirname(keychain), mode=0o700)
        with open(keychain, "w") as out:
            out.write('{"version": 1, "items": []}')
        os.chmod(keychain, 0o644)
        program = self.start(prefix=self.in_a_network_of_its_own() + self.without_root_file_access())
        program.wait_for("Pavonix: notice: Settings could not be read: Permission denied. Nothing was changed on disk.")
        program.wait_for("Pavonix: notice: Pairing secrets could not be read: %s: Open to other users (mode 0644)."
                         % keychain)
        self.assertEqual(program.quit(), 0)


if __name__ == "__main__":
    unittest.main()
