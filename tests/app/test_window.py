"""The real installer window under Wine on a 1366 x 768 Xvfb screen: class,
style, placement, the close hotspot, what it paints, and the missing picture.

The installers under test fetch their package from the local test server,
which holds every request unanswered while the tests look at the window: no
progress moves and no failure box covers it."""

import os
import tempfile
import threading
import unittest

import installer_facts as facts
import test_ca
import velmor_test as vt
from https_server import HttpsServer
from PIL import Image

INSTALLER = os.environ["VELMOR_INSTALLER"]
NO_BACKGROUND = os.environ["VELMOR_INSTALLER_NOBACKGROUND"]
ORIGIN = (403, 229)
WHITE = (255, 255, 255)


# Each test is over within seconds; the hold ends (and the installer's
# download fails) only after that, and before the installer's 30-second wait.
HOLD_SECONDS = 25
_released = threading.Event()
_server = None


def setUpModule():
    global _server
    certificates = tempfile.mkdtemp(prefix="velmor-window-cert-")
    cert = test_ca.make_server_cert(os.environ["VELMOR_TEST_CA_DIR"], certificates, "window")
    _server = HttpsServer(*cert, port=facts.test_port())

    def hold(request):
        _released.wait(HOLD_SECONDS)
        request.hang_up()

    for path in facts.PACKAGE_PATHS.values():
        _server.add_route(path, hold)
    _server.start()


def tearDownModule():
    _released.set()
    _server.stop()


class Installer:
    """The installer running in a scratch current directory, killed if a test leaves it."""

    def __init__(self, program=INSTALLER):
        self.program = program

    def __enter__(self):
        self.folder = tempfile.TemporaryDirectory()
        self.process = vt.start(self.program, cwd=self.folder.name)
        return self

    def __exit__(self, *exc):
        vt.stop(self.process)
        self.folder.cleanup()


def window_pixels(shot):
    return shot.crop((ORIGIN[0], ORIGIN[1], ORIGIN[0] + 560, ORIGIN[1] + 310))


def count(image, box, colour):
    region = image.crop(box)
    return sum(1 for pixel in region.getdata() if pixel == colour)


class WindowTest(unittest.TestCase):
    def test_class_style_size_and_place(self):
        with Installer() as installer:
            info = vt.wait_window()
            self.assertIsNotNone(info, "no installer window")
            self.assertEqual(info["class"], facts.WINDOW_CLASS)
            self.assertEqual(info["title"], facts.WINDOW_TITLE)
            style = int(info["style"])
            # Windows itself adds WS_CLIPSIBLINGS to every top-level window.
            self.assertEqual(style & ~(vt.WS_VISIBLE | vt.WS_CLIPSIBLINGS), vt.WS_POPUP, hex(style))
            self.assertEqual(int(info["exstyle"]), 0)
            self.assertEqual((int(info["left"]), int(info["top"])), ORIGIN)
            self.assertEqual((int(info["width"]), int(info["height"])), (560, 310))
            self.assertEqual((int(info["client_width"]), int(info["client_height"])), (560, 310))
            self.assertEqual(info["child_class"], "msctls_progress32")
            self.assertEqual(info["child_id"], str(facts.PROGRESS_BAR_ID))
            self.assertTrue(vt.click_close())
            self.assertEqual(vt.wait_exit(installer.process), 0)

    def test_hotspot_corners_close_with_exit_code_0(self):
        for x, y in [facts.HOTSPOT[:2], facts.HOTSPOT[2:]]:
            with self.subTest(x=x, y=y), Installer() as installer:
                self.assertIsNotNone(vt.wait_window())
                self.assertTrue(vt.click_up(x, y))
                self.assertEqual(vt.wait_exit(installer.process), 0)

    def test_release_beside_the_hotspot_does_nothing(self):
        with Installer() as installer:
            self.assertIsNotNone(vt.wait_window())
            left, top, right, bottom = facts.HOTSPOT
            middle_x, middle_y = facts.CLOSE_POINT
            for x, y in [(left - 1, middle_y), (right + 1, middle_y), (middle_x, top - 1),
                         (middle_x, bottom + 1)]:
                self.assertTrue(vt.click_up(x, y))
            self.assertIsNone(vt.wait_exit(installer.process, timeout=2))
            self.assertIsNotNone(vt.wait_window(timeout_ms=1000), "window gone after a miss")
            self.assertTrue(vt.click_close())
            self.assertEqual(vt.wait_exit(installer.process), 0)

    def test_paints_picture_glyph_text_and_empty_bar(self):
        picture = Image.open(os.path.join(vt.SOURCE_DIR, "res", "background.bmp")).convert("RGB")
        red = picture.getpixel((facts.CLOSE_POINT[0], 5))
        with Installer() as installer:
            self.assertIsNotNone(vt.wait_window())
            vt.settle()
            shot = window_pixels(vt.screenshot())
            shot.save(os.path.join(vt.BUILD_DIR, "window-shot.png"))
            # The picture, one to one, wherever no text is drawn on it.
            body = (0, 0, 500, 270)
            same = sum(1 for a, b in zip(shot.crop(body).getdata(), picture.crop(body).getdata())
                       if a == b)
            self.assertGreater(same, 0.999 * 500 * 270)
            # A white "X" inside its rectangle, on the plain red corner.
            self.assertGreater(count(shot, facts.HOTSPOT, WHITE), 4)
            self.assertEqual(count(shot, (500, 0, 560, 8), red), 60 * 8)
            # The progress text in the bottom strip, left-aligned.
            self.assertGreater(count(shot, (8, 276, 120, 300), WHITE), 40)
            self.assertEqual(count(shot, (300, 276, 560, 298), WHITE), 0)
            # The bar, empty: white from end to end.
            self.assertGreater(count(shot, (2, 304, 558, 306), WHITE), 0.95 * 556 * 2)
            vt.click_close()
            self.assertEqual(vt.wait_exit(installer.process), 0)


class MissingPictureTest(unittest.TestCase):
    COLORS = r"HKCU\Control Panel\Colors"

    def setUp(self):
        # A dark window colour, so that the white glyph and text can be seen on it.
        vt.run("reg", "add", self.COLORS, "/v", "Window", "/t", "REG_SZ", "/d", "0 0 128", "/f")

    def tearDown(self):
        vt.run("reg", "add", self.COLORS, "/v", "Window", "/t", "REG_SZ", "/d", "255 255 255", "/f")

    def test_two_boxes_then_window_colour_with_glyph_and_text(self):
        with Installer(NO_BACKGROUND) as installer:
            first = vt.wait_box(caption=facts.BACKGROUND_MISSING_CAPTION, text=facts.BACKGROUND_MISSING, click="ok")
            self.assertIsNotNone(first, "first box missing")
            self.assertEqual(first["owner"], "0")
            self.assertEqual(first["has_icon"], "1")
            self.assertEqual(first["button"], "1")  # OK only
            second = vt.wait_box(caption=facts.BACKGROUND_MISSING_CAPTION, text=facts.BACKGROUND_MISSING, click="ok")
            self.assertIsNotNone(second, "second box missing")
            self.assertEqual(second["owner_class"], facts.WINDOW_CLASS)
            self.assertIsNotNone(vt.wait_window())
            vt.settle()
            shot = window_pixels(vt.screenshot())
            shot.save(os.path.join(vt.BUILD_DIR, "window-nobackground-shot.png"))
            navy = (0, 0, 128)
            self.assertGreater(count(shot, (0, 0, 500, 270), navy), 0.999 * 500 * 270)
            self.assertGreater(count(shot, facts.HOTSPOT, WHITE), 4)
            self.assertGreater(count(shot, (8, 276, 120, 300), WHITE), 40)
            self.assertIsNone(vt.wait_box(timeout_ms=500), "a third box")
            vt.click_close()
            self.assertEqual(vt.wait_exit(installer.process), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
