"""What the real program tells the user when it cannot save its settings, through the lines that
PAVONIX_DEBUG=1 prints: a settings folder it may not write to makes a provider change answer that
it holds only for now and shows the save error until a later write succeeds. Files it cannot read
at start are told in the storage tests' runs."""

import json
import os
import unittest

from harness import ProgramFixture, free_port, request

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


if __name__ == "__main__":
    unittest.main()
