"""What the real program tells the user when its settings file goes wrong, through the lines that
PAVONIX_DEBUG=1 prints: a settings folder it may not write to makes a provider change answer
that it holds only for now and shows the save error until a later write succeeds; a truncated
settings file is told as set aside."""

import glob
import json
import os
import shutil
import unittest

from harness import ProgramFixture, free_port, request, require

SAVE_FAILED = ("Pavonix: notice: Settings could not be saved: creating a temporary settings file: "
               "Permission denied.")


class NoticeTest(ProgramFixture):
    def without_root_file_access(self):
        """A prefix that runs the program without root's right to ignore file modes, when the
        tests run as root; folder modes then bind it as they bind a user."""
        if os.geteuid() != 0:
            return []
        require(shutil.which("setpriv") is not None, "setpriv (util-linux)")
        return ["setpriv", "--inh-caps=-all", "--bounding-set=-dac_override,-dac_read_search,-fowner"]

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

    def test_a_truncated_settings_file_is_told_as_set_aside(self):
        require(shutil.which("unshare") is not None, "unshare (util-linux)")
        self.write_settings('{"httpAuthenticationEnabled": tr')
        # On the default ports, so in a network of its own.
        program = self.start(prefix=["unshare", "--net"] if os.geteuid() == 0 else [])
        line = program.wait_for("Pavonix: notice: Settings could not be read;")[0]
        [aside] = glob.glob(glob.escape(self.settings_path) + ".corrupt-*")
        self.assertEqual(line, "Pavonix: notice: Settings could not be read; they were set aside as %s. Request "
                               "signing is on until you change it." % aside)
        self.assertEqual(program.quit(), 0)


if __name__ == "__main__":
    unittest.main()
