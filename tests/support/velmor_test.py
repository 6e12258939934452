"""Helpers for the Python test drivers: run Windows programs under Wine in the
build's prefix, look at their windows with wintool, answer their message
boxes, and read the Xvfb screen."""

import io
import os
import subprocess
import time

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


def start(program, *args, cwd=None, prefix=None, env=None):
    """Starts a Windows program under Wine and returns its Popen. Its output
    goes nowhere, so that Wine's helpers never hold a pipe of ours open."""
    return subprocess.Popen(
        ["wine", program, *args], cwd=cwd, env=wine_env(prefix, env),
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


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


def wait_window(class_name="VelmorInstaller", timeout_ms=20000, prefix=None):
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


def click_up(x, y, class_name="VelmorInstaller", prefix=None):
    code, _ = wintool("lbuttonup", class_name, str(x), str(y), prefix=prefix)
    return code == 0


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


def screenshot():
    """The whole Xvfb screen as a PIL image."""
    from PIL import Image
    png = subprocess.run(["import", "-window", "root", "png:-"], check=True,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout
    return Image.open(io.BytesIO(png)).convert("RGB")


def settle(seconds=0.7):
    """Gives Wine time to get a repaint onto the X screen."""
    time.sleep(seconds)
