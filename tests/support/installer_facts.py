"""What the test drivers and scripts know of the installer, read from the
installer's own sources, so that each fact has one copy: the texts, names and
package paths are the C++ constants of install/package.h, install/worker.h and
app/window.h; the close glyph's point is the middle of its hotspot there; the
tests' server port is the one a build compiled into its test installers."""

import os
import re

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))


def _constants(*headers):
    """The `inline constexpr` strings and integers of the headers, by name."""
    found = {}
    pattern = re.compile(r'inline constexpr (?:char|wchar_t|int) (k\w+)(?:\[\])? = L?(?:"([^"\\]*)"|(\d+));')
    for header in headers:
        with open(os.path.join(SOURCE_DIR, header), encoding="utf-8") as f:
            for name, text, number in pattern.findall(f.read()):
                found[name] = text if not number else int(number)
    return found


_k = _constants("install/package.h", "install/worker.h", "app/window.h")

PACKAGE_PATHS = {"win7": _k["kWin7PackagePath"], "release": _k["kStandardPackagePath"],
                 "ebwebview": _k["kNoRuntimePackagePath"]}
SAVE_NAME = _k["kSaveFileName"]
CAPTION = _k["kPromptCaption"]
DOWNLOAD_FAILED = _k["kDownloadFailureText"]
LAUNCH_FAILED = _k["kLaunchFailureText"]
SUPPORT_ADDRESS = _k["kSupportAddressText"]
WINDOW_CLASS = _k["kWindowClassName"]
WINDOW_TITLE = _k["kWindowTitle"]
WINDOW_SIZE = (_k["kWindowWidth"], _k["kWindowHeight"])
PROGRESS_BAR_ID = _k["kProgressBarId"]
BACKGROUND_MISSING = _k["kBackgroundMissingText"]
BACKGROUND_MISSING_CAPTION = _k["kBackgroundMissingCaption"]

# The hotspot's bounds in client coordinates, all inclusive, and its middle,
# where a click closes the window.
_side, _margin = _k["kCloseHotspotSide"], _k["kCloseHotspotMargin"]
HOTSPOT = (WINDOW_SIZE[0] - _margin - (_side - 1), _margin, WINDOW_SIZE[0] - _margin,
           _margin + _side - 1)
CLOSE_POINT = ((HOTSPOT[0] + HOTSPOT[2]) // 2, (HOTSPOT[1] + HOTSPOT[3]) // 2)


def test_port(build_dir=None):
    """The tests' server port: VELMOR_TEST_PORT as ctest sets it, or else
    the one in build_dir's CMake cache."""
    if os.environ.get("VELMOR_TEST_PORT"):
        return int(os.environ["VELMOR_TEST_PORT"])
    with open(os.path.join(build_dir, "CMakeCache.txt")) as f:
        return int(re.search(r"^VELMOR_TEST_PORT:\w+=(\d+)$", f.read(), re.M).group(1))
