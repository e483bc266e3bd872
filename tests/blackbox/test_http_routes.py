"""Every route and alias, every error code and text, and the shape of every reply."""

import json
import unittest

from harness import Server

HEADER_ORDER = ["Content-Type", "Content-Length", "Cache-Control", "Connection"]
# Pages must not be framed by other sites (clickjacking).
FRAMING = {"X-Frame-Options": "DENY", "Content-Security-Policy": "frame-ancestors 'none'"}


class RoutesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def setUp(self):
        self.select_provider("keynote")

    def select_provider(self, provider):
        response = self.server.request("POST", "/provider/select", json.dumps({"provider": provider}))
        self.assertEqual(response.status, 200)

    def assert_reply(self, response, status, content_type="application/json; charset=utf-8"):
        self.assertEqual(response.status, status, response.raw[:300])
        html = content_type.startswith("text/html")
        self.assertEqual([line.split(":")[0] for line in response.header_lines],
                         HEADER_ORDER + (list(FRAMING) if html else []))
        if html:
            self.assertEqual({name: response.headers[name.lower()] for name in FRAMING}, FRAMING)
        self.assertEqual(response.headers["content-type"], content_type)
        self.assertEqual(int(response.headers["content-length"]), len(response.body))
        self.assertEqual(response.headers["cache-control"], "no-store")
        self.assertEqual(response.headers["connection"], "close")

    def assert_error(self, response, status, message):
        self.assert_reply(response, status)
        self.assertEqual(response.json(), {"status": "failed", "message": message})
        # Pretty-printed with sorted keys.
        self.assertLess(response.body.index(b'"message"'), response.body.index(b'"status"'))
        self.assertIn(b"\n", response.body)

    def test_control_page_paths_serve_the_page_for_the_current_provider(self):
        for path in ["/", "/index.html", "/keynote", "/keynote/", "/index.html?x=1"]:
            response = self.server.request("GET", path)
            self.assert_reply(response, 200, "text/html; charset=utf-8")
            self.assertIn(b"Controlling Keynote", response.body)
        self.select_provider("googleSlides")
        self.assertIn(b"Controlling Google Slides", self.server.request("get", "/").body)

    def test_health_and_slides_with_their_aliases(self):
        for path in ["/health", "/keynote/health", "/health?x=1", "/he%61lth"]:
            response = self.server.request("GET", path)
            self.assert_reply(response, 200)
            self.assertEqual(response.json(), {"status": "ok", "presentationProvider": "keynote",
                                               "presentationProviderName": "Keynote"})
            self.assertEqual(list(json.loads(response.body)), sorted(json.loads(response.body)))
        for path in ["/slides", "/keynote/slides"]:
            response = self.server.request("GET", path)
            self.assert_reply(response, 200)
            slides = response.json()["slides"]
            self.assertEqual([s["number"] for s in slides], [1, 2, 3])
            self.assertEqual(slides[0], {"number": 1, "name": "Intro", "notes": "Welcome everyone.",
                                         "hasExplicitName": True})
            # A name with invalid UTF-8 from another program is repaired, not an empty reply.
            self.assertEqual(slides[1]["name"], "Caf\ufffd")

    def test_window_routes_only_for_google_slides(self):
        for path in ["/windows", "/google-slides/windows"]:
            self.assert_error(self.server.request("GET", path), 404,
                              "Window selection is only available for Google Slides.")
        self.assert_error(self.server.request("POST", "/windows/select", '{"windowID":11}'), 404,
                          "Window selection is only available for Google Slides.")
        self.select_provider("googleSlides")
        for path in ["/windows", "/google-slides/windows"]:
            response = self.server.request("GET", path)
            self.assert_reply(response, 200)
            self.assertEqual([w["windowID"] for w in response.json()["windows"]], [11, 12])
            self.assertEqual(response.json()["windows"][0]["displaySection"], "googleSlides")
        for path in ["/windows/select", "/google-slides/windows/select"]:
            response = self.server.request("POST", path, '{"windowID":12}')
            self.assert_reply(response, 200)
            self.assertEqual(response.json(), {"status": "ok", "message": "Selected window 12.", "selectedWindowID": 12})
        self.assertEqual(self.server.request("GET", "/windows").json()["selectedWindowID"], 12)
        # Zero passes the body check; the handler answers for itself (with 200).
        response = self.server.request("POST", "/windows/select", '{"windowID":0}')
        self.assertEqual((response.status, response.json()["status"]), (200, "failed"))

    def test_window_selection_body_checks(self):
        self.select_provider("googleSlides")
        missing = "Missing required parameter: windowID"
        for body in ["", "{}", '{"windowID":"7"}', '{"windowID":1.5}', '{"windowID":null}', "[12]", "not json"]:
            with self.subTest(body=body):
                self.assert_error(self.server.request("POST", "/windows/select", body), 400, missing)
        self.assert_error(self.server.request("POST", "/windows/select", '{"windowID":-1}'), 400,
                          "Invalid parameter: windowID")

    def test_provider_selection(self):
        for path in ["/presentation/provider/select", "/provider/select"]:
            response = self.server.request("POST", path, '{"provider":"powerPoint"}')
            self.assert_reply(response, 200)
            self.assertEqual(response.json(), {"status": "ok", "message": "Selected PowerPoint.",
                                               "presentationProvider": "powerPoint",
                                               "presentationProviderName": "PowerPoint"})
        self.assertEqual(self.server.request("GET", "/health").json()["presentationProvider"], "powerPoint")
        for body in ["", "{}", '{"provider":"PowerPoint"}', '{"provider":null}', '{"provider":3}', "{"]:
            with self.subTest(body=body):
                self.assert_error(self.server.request("POST", "/provider/select", body), 400,
                                  "Missing required parameter: provider")

    def test_command_routes(self):
        cases = [
            ("/start", "", "Start"),
            ("/start", '{"fromBeginning":true}', "Start from first slide"),
            ("/stop", "", "Stop"),
            ("/show/next", "", "Show next"),
            ("/show/previous", "", "Show previous"),
            ("/goto/slide/number", '{"number":4}', "Go to slide 4"),
            ("/goto/slide/named", '{"name":"# Intro"}', 'Go to slide named "Intro"'),
            ("/keynote/show/next", "", "Show next"),
        ]
        for path, body, command in cases:
            with self.subTest(path=path, body=body):
                response = self.server.request("POST", path, body)
                self.assert_reply(response, 200)
                self.assertEqual(response.json(), {"status": "ok", "command": command, "message": "Done: " + command})
        # A failed command is still answered 200.
        response = self.server.request("POST", "/goto/slide/number", '{"number":13}')
        self.assert_reply(response, 200)
        self.assertEqual(response.json()["status"], "failed")
        self.assertEqual(response.json()["message"], "Slide 13 is unlucky.")

    def test_command_router_errors(self):
        self.assert_error(self.server.request("GET", "/Health"), 405, "Only POST requests are supported for commands.")
        self.assert_error(self.server.request("HEAD", "/nowhere"), 405, "Only POST requests are supported for commands.")
        self.assert_error(self.server.request("POST", "/health"), 404, "Unknown command route: /health")
        self.assert_error(self.server.request("POST", "/nowhere?x=1"), 404, "Unknown command route: /nowhere?x=1")
        self.assert_error(self.server.request("POST", "/goto/slide/number", "{}"), 400,
                          "Missing required parameter: number")
        self.assert_error(self.server.request("POST", "/goto/slide/number", '{"number":0}'), 400,
                          "Invalid parameter: number")
        self.assert_error(self.server.request("POST", "/goto/slide/named", "{}"), 400, "Missing required parameter: name")
        self.assert_error(self.server.request("POST", "/goto/slide/number", "{oops"), 400,
                          "Request body must be valid JSON.")


if __name__ == "__main__":
    unittest.main()
