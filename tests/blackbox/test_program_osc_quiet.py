"""A controller over OSC/TCP that stays quiet while the presenter talks about one slide keeps its
connection: the command it sends after 40 s of silence runs. A module of its own, so that its wait
runs beside the other black-box tests instead of after them."""

import time
import unittest

from harness import connect
from test_program_osc import OSCProgramFixture, osc_message, slip

QUIET_SECONDS = 40


class QuietControllerTest(OSCProgramFixture):
    def test_a_quiet_slip_controller_keeps_its_connection(self):
        self.start_with_osc()
        with connect(self.osc_port) as sock:
            sock.sendall(slip(osc_message("/show/next")))
            self.assertEqual(self.commands(1), ["Show next"])
            time.sleep(QUIET_SECONDS)
            sock.sendall(slip(osc_message("/show/previous")))
            self.assertEqual(self.commands(2)[-1], "Show previous")
            sock.sendall(slip(osc_message("/stop")))
            self.assertEqual(self.commands(3)[-1], "Stop")


if __name__ == "__main__":
    unittest.main()
