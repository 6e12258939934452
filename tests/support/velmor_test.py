"""Helpers for the Python test drivers: run Windows programs under Wine in the
build's prefix, look at their windows with wintool, answer their message
boxes, and read the Xvfb screen."""

import io
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import installer_facts as facts

SOURCE_DIR = os.environ.get("VELMOR_SOURCE_DIR", "")
BUILD_DIR = os.environ.get("VELMOR_BUILD_DIR", "")
WINE_PREFIX = os.environ.get("VELMOR_WINE_PREFIX", "")
WINTOOL = os.environ.get("VELMOR_WINTOOL", "")
WINE_RUN = os.path.join(SOURCE_DIR, "cmake", "wine-run")

WS_POPUP = 0x80000000
WS_VISIBLE = 0x10000000
WS_CLIPSIBLINGS = 0x04000000


def wine_env(prefix=None, extra=None):
    env = dict(os.environ)
    env.update({
        "WINEPREFIX": prefix or WINE_PREFIX,
        "WINEDEBUG": env.get("WINEDEBUG", "-all"),
        "WINEDLLOVERRIDES": env.get("WINEDLLOVERRIDES", "mscoree,mshtml="),
        "LANG": "zh_CN.UTF-8",
        "LC_ALL": "zh_CN.UTF-8",
    })
    if extra:
        env.update(extra)
    return env


def start(program, *args, cwd=None, prefix=None, env=None, stderr=None):
    """Starts a Windows program under Wine and returns its Popen. Its output
    goes nowhere (stderr may go to a file of the caller's), so that Wine's
    helpers never hold a pipe of ours open."""
    return subprocess.Popen(
        ["wine", program, *args], cwd=cwd, env=wine_env(prefix, env),
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
        stderr=stderr if stderr is not None else subprocess.DEVNULL)


def quiet(command, env, timeout=120):
    """Runs a Wine command with its output going nowhere (see start)."""
    return subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=timeout).returncode


class PrefixCopy:
    """A copy of the build's prefix in a scratch folder, with a wineserver of
    its own that stays up, booted with its output going nowhere: afterwards
    run() may read a program's output through a pipe. On exit the server is
    stopped and the folder removed. extra_env (a user name, say) applies to
    everything run in it through self.env, the boot included."""

    def __init__(self, extra_env=None):
        self.extra_env = extra_env

    def __enter__(self):
        self.folder = tempfile.mkdtemp(prefix="velmor-prefix-")
        self.path = os.path.join(self.folder, "wine")
        subprocess.run(["cp", "-a", WINE_PREFIX, self.path], check=True)
        self.env = wine_env(self.path, self.extra_env)
        quiet(["wineserver", "-p"], self.env)
        quiet(["wine", "cmd.exe", "/c", "exit"], self.env)
        return self

    def __exit__(self, *exc):
        quiet(["wineserver", "-k"], self.env)
        quiet(["wineserver", "-w"], self.env)
        shutil.rmtree(self.folder, ignore_errors=True)


def run(program, *args, cwd=None, prefix=None, env=None, timeout=60):
    """Runs a Windows program to its end; returns (exit code, stdout text)."""
    result = subprocess.run(
        [WINE_RUN, prefix or WINE_PREFIX, program, *args], cwd=cwd,
        env=wine_env(prefix, env), stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=timeout)
    return result.returncode, result.stdout.decode("utf-8", "replace")


def parse_pairs(text):
    """wintool's "key=value" lines as a dict; repeated keys collect into lists."""
    pairs = {}
    for line in text.splitlines():
        if "=" not in line:
            continue
        key, value = line.split("=", 1)
        if key in pairs:
            if not isinstance(pairs[key], list):
                pairs[key] = [pairs[key]]
            pairs[key].append(value)
        else:
            pairs[key] = value
    return pairs


def wintool(*args, prefix=None, timeout=60):
    """Runs wintool; returns (exit code, dict of its output)."""
    code, out = run(WINTOOL, *args, prefix=prefix, timeout=timeout)
    return code, parse_pairs(out)


def wait_window(class_name=facts.WINDOW_CLASS, timeout_ms=20000, prefix=None):
    code, info = wintool("window", class_name, "--visible", "--timeout", str(timeout_ms),
                         prefix=prefix)
    return info if code == 0 else None


def wait_box(caption=None, text=None, click="none", timeout_ms=20000, prefix=None):
    """Waits for a visible message box, optionally clicks it; returns its
    description or None when none came in time."""
    args = ["box", "--click", click, "--timeout", str(timeout_ms)]
    if caption is not None:
        args += ["--caption", caption]
    if text is not None:
        args += ["--text", text]
    code, info = wintool(*args, prefix=prefix)
    return info if code == 0 else None


def click_up(x, y, class_name=facts.WINDOW_CLASS, prefix=None):
    code, _ = wintool("lbuttonup", class_name, str(x), str(y), prefix=prefix)
    return code == 0


def click_close(prefix=None):
    """A left-button release on the middle of the close glyph's hotspot."""
    return click_up(*facts.CLOSE_POINT, prefix=prefix)


def wait_exit(process, timeout=30):
    """The exit code, or None when the process is still running after timeout."""
    try:
        return process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        return None


def stop(process):
    if process.poll() is None:
        process.kill()
        process.wait()


def build_tree(build_dir):
    """For scripts: installs what is missing and builds everything into
    build_dir, as scripts/test does, so that they work on a fresh clone."""
    source = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
    subprocess.run([os.path.join(source, "scripts", "install-deps")], check=True)
    for step in (["--preset", "mingw", "-B", build_dir], ["--build", build_dir]):
        subprocess.run(["cmake", *step], cwd=source, check=True, stdout=subprocess.DEVNULL)


def rerun_in_wine_session(prefix):
    """For scripts: runs this script again inside cmake/wine-session (once),
    so that Wine's background helpers never hold a pipe of the script's open."""
    if os.environ.get("VELMOR_IN_WINE_SESSION") == "1":
        return
    source = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
    sys.exit(subprocess.call(
        [os.path.join(source, "cmake", "wine-session"), prefix, sys.executable,
         os.path.realpath(sys.argv[0]), *sys.argv[1:]],
        env=dict(os.environ, VELMOR_IN_WINE_SESSION="1")))


def screenshot():
    """The whole Xvfb screen as a PIL image."""
    from PIL import Image
    png = subprocess.run(["import", "-window", "root", "png:-"], check=True,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout
    return Image.open(io.BytesIO(png)).convert("RGB")


def settle(seconds=0.7):
    """Gives Wine time to get a repaint onto the X screen."""
    time.sleep(seconds)
