"""The whole installation: the real installer (built to download from the
local test server) under Wine and Xvfb, in prefix copies that report
Windows 7, 10 or Vista, with test setup programs served as the packages."""

import collections
import contextlib
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

import install_e2e as e2e
import test_ca
from connect_proxy import (AUTO_DETECT, DIRECT, FIXED_PROXY, PROXY_SCRIPT, ConnectProxy,
                           connection_settings)

SUPPORT_URL = os.environ["VELMOR_SUPPORT_URL"]


def opened(prefix):
    # winebrowser hands the URL on in canonical form, with a "/" for the empty path.
    return [url.rstrip("/") for url in prefix.opened_urls()]


# One deadline per case, instead of a timeout per wait: a case that has not
# ended by then hangs, and the cases after it are not run, so that a hang fails
# the run within a minute or two and names the case.
DEADLINE = 90
_hung = []


class InPrefix(unittest.TestCase):
    """A prefix copy reporting the class's Windows version, shared by its
    tests, and the deadline of each case (a test, or a row of a table)."""

    version = "win10"

    @classmethod
    def setUpClass(cls):
        cls.prefix = e2e.Prefix(cls.version).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.prefix.__exit__(None, None, None)

    def setUp(self):
        if _hung:
            self.skipTest("not run: %s hung" % _hung[0])
        signal.signal(signal.SIGALRM, self._expire)
        self._start_deadline(self.id())

    def tearDown(self):
        signal.alarm(0)

    def _start_deadline(self, name):
        self._case = name
        signal.alarm(DEADLINE)

    def _expire(self, *_):
        _hung.append(self._case)
        raise TimeoutError("%s hangs: not ended after %d s" % (self._case, DEADLINE))

    @contextlib.contextmanager
    def case(self, name):
        """One row of a table: a subtest with a deadline of its own. After a
        hang the table ends there."""
        if _hung:
            raise unittest.SkipTest("not run: %s hung" % _hung[0])
        with self.subTest(name):
            self._start_deadline("%s [%s]" % (self.id(), name))
            yield


class PackageChoice:
    """Mixin: one installation in the class's prefix, with the runtime
    planted as given; returns the run and the paths the server was asked for."""

    def install(self, planted=(), folders=(), trace=False,
                channels="trace+file,trace+path,trace+winhttp", host=None, during=None, runs=None):
        """host: the server (default: ours); during(run) acts while the
        installer runs; runs: the setup that runs (default: the one fetched).
        Returns the path fetched and the trace."""
        self.prefix.reset()
        for path in planted:
            self.prefix.plant(path)
        for path in folders:
            self.prefix.plant(path, folder=True)
        trace_file = os.path.join(self.prefix.folder, "trace-%d.txt" % time.monotonic_ns())
        with host or e2e.package_server() as server, \
                e2e.Run(self.prefix, trace=trace_file if trace else None, channels=channels) as run:
            if during:
                during(run)
            self.assertEqual(e2e.vt.wait_exit(run.process, timeout=None), 0)
            paths = [r.path for r in server.requests()]
        self.assertEqual(len(paths), 1, paths)
        records = run.setup_records()
        self.assertEqual([r["event"] for r in records], ["start", "end"])
        chosen = [runs] if runs else [n for n, path in e2e.PACKAGE_PATHS.items() if path == paths[0]]
        self.assertEqual([records[0]["package"]], chosen, "the setup that ran is the one fetched")
        traced = ""
        if trace:
            with open(trace_file, encoding="utf-8", errors="replace") as f:
                traced = f.read()
        return paths[0], traced


# WinHTTP's trace of WINHTTP_OPTION_SECURE_PROTOCOLS (84) being set.
SETS_SECURE_PROTOCOLS = re.compile(r"WinHttpSetOption \w+, 84,")

RUNTIME_EXE_FIRST_ROOT = e2e.FIRST_ROOT + "/120.0.2210.91/msedgewebview2.exe"
RUNTIME_DLL_SECOND_ROOT = e2e.SECOND_ROOT + "/121.0.2277.83/EmbeddedBrowserWebView.dll"

# A row behind haproxy: what is done to the origins before the download and
# once its first MB is written (then the origin serving it is stopped), the
# resumption's status, and the setup that runs (default: the one fetched).
OriginLost = collections.namedtuple("OriginLost", "before mid status runs",
                                    defaults=(None, None, "206", None))


class Windows7Test(InPrefix, PackageChoice):
    version = "win7"

    def test_win7_package_and_the_runtime_folders_are_not_looked_at(self):
        path, trace = self.install(planted=[RUNTIME_EXE_FIRST_ROOT, RUNTIME_DLL_SECOND_ROOT],
                                   trace=True)
        self.assertEqual(path, e2e.PACKAGE_PATHS["win7"])
        self.assertIn(e2e.SAVE_NAME, trace, "the file trace is working")
        self.assertNotIn("EdgeWebView", trace)
        self.assertTrue(SETS_SECURE_PROTOCOLS.search(trace), "TLS 1.1 and 1.2 not asked for")


class Windows10Test(InPrefix, PackageChoice):
    version = "win10"

    def test_runtime_decides_between_release_and_ebwebview(self):
        cases = [
            ("exe in a version folder of the first root", [RUNTIME_EXE_FIRST_ROOT], [],
             e2e.PACKAGE_PATHS["release"]),
            ("only the dll, under the second root", [RUNTIME_DLL_SECOND_ROOT], [],
             e2e.PACKAGE_PATHS["release"]),
            ("neither root", [], [], e2e.PACKAGE_PATHS["ebwebview"]),
            ("a root holding only files", [e2e.FIRST_ROOT + "/msedgewebview2.exe"], [],
             e2e.PACKAGE_PATHS["ebwebview"]),
            ("a marker that is a folder", [], [e2e.FIRST_ROOT + "/1.0/msedgewebview2.exe"],
             e2e.PACKAGE_PATHS["release"]),
            ("a marker only deeper down", [e2e.FIRST_ROOT + "/1.0/x/msedgewebview2.exe"], [],
             e2e.PACKAGE_PATHS["ebwebview"]),
            # Debian's nginx as the host: packages of a few MB; or of 32 MB,
            # and nginx stopped once the first MB is written, then started.
            ("the runtime present, from nginx", [RUNTIME_EXE_FIRST_ROOT], [],
             e2e.PACKAGE_PATHS["release"], 3, False),
            ("neither root, from nginx stopped mid-download", [], [],
             e2e.PACKAGE_PATHS["ebwebview"], 32, True),
            # Two nginx origins behind haproxy, packages of 4 MB: one lost
            # mid-download; the other's package at another time; a new
            # package (the release setup) published to both mid-download.
            ("neither root, an origin lost mid-download", [], [],
             e2e.PACKAGE_PATHS["ebwebview"], 4, OriginLost()),
            ("neither root, origins that disagree", [], [], e2e.PACKAGE_PATHS["ebwebview"], 4,
             OriginLost(before=lambda host: host.publish("ebwebview", e2e.FAKE_SETUP["ebwebview"],
                                                         time.time(), host.origins[1:]),
                        status="200")),
            ("neither root, a new package mid-download", [], [], e2e.PACKAGE_PATHS["ebwebview"], 4,
             OriginLost(mid=lambda host: host.publish("ebwebview", e2e.FAKE_SETUP["release"]),
                        status="200", runs="release")),
        ]
        for name, planted, folders, expected, *nginx in cases:
            with self.case(name):
                host = during = None
                lost = nginx and isinstance(nginx[1], OriginLost) and nginx[1]
                if lost:
                    host = e2e.Balancer(self.prefix.folder, nginx[0])
                    lost.before and lost.before(host)
                    during = lambda run: host.lose_origin_once(
                        run.saved(), 1 << 20, lost.mid and (lambda: lost.mid(host)))
                elif nginx:
                    host = e2e.NginxHost(self.prefix.folder, nginx[0])
                    during = nginx[1] and (lambda run: host.restart_once(run.saved(), 1 << 20))
                path, trace = self.install(planted, folders, trace=(name == "neither root"),
                                           host=host, during=during, runs=lost and lost.runs)
                self.assertEqual(path, expected)
                if lost:
                    # The origin lost is out of the rotation; the resumption
                    # answered whole, by the other; what both origins sent,
                    # as a share of the package.
                    self.assertEqual(sorted(host.states), ["DOWN", "UP"])
                    [(_, _, _, status, sent, _)] = host.requests()
                    share = sum(host.sent) / (nginx[0] << 20)
                    self.assertEqual(status, lost.status)
                    if status == "206":
                        self.assertLess(share, 1.1)
                    else:
                        self.assertEqual((int(sent), share < 2), (nginx[0] << 20, True), share)
                elif during:
                    # Answered whole: only the rest, from where the file ended.
                    [(_, _, asked, status, sent, _)] = host.requests()
                    start = int(asked.partition("=")[2].rstrip("-") or 0)
                    self.assertEqual((status, start > 0, start + int(sent)),
                                     ("206", True, nginx[0] << 20))
                if trace:
                    # Here the runtime is looked for: the trace sees both roots.
                    self.assertIn("EdgeWebView", trace)
                    # Elsewhere the TLS setting is an allow-list: never set.
                    self.assertIn("WinHttpOpen", trace, "the WinHTTP trace is working")
                    self.assertIsNone(SETS_SECURE_PROTOCOLS.search(trace), "TLS protocols set")


class VistaTest(InPrefix, PackageChoice):
    version = "vista"

    def test_older_than_windows7_is_decided_by_the_runtime(self):
        path, _ = self.install(planted=[RUNTIME_EXE_FIRST_ROOT])
        self.assertEqual(path, e2e.PACKAGE_PATHS["release"])
        path, _ = self.install()
        self.assertEqual(path, e2e.PACKAGE_PATHS["ebwebview"])


class RoadsTest(InPrefix):
    """Success and failure roads, in one Windows 10 prefix reset per case."""

    version = "win10"

    def setUp(self):
        super().setUp()
        self.prefix.reset()

    def padded_setup(self, megabytes):
        # Bytes after a program's image do not stop it from running.
        with open(e2e.FAKE_SETUP["ebwebview"], "rb") as f:
            return f.read() + bytes(megabytes * 1024 * 1024)

    def test_success_progress_hide_wait_delete_close(self):
        package = self.padded_setup(3)
        with e2e.package_server({"ebwebview": package}, rate=1024 * 1024), \
                e2e.Run(self.prefix, setup_seconds=4) as run:
            self.assertIsNotNone(run.wait_window())
            samples, end = run.progress_samples()
            self.assertEqual(end, "hidden")
            self.assertEqual(samples, sorted(samples), "progress never goes back")
            self.assertTrue(any(0 < v < 100 for v in samples), samples)
            self.assertGreater(len(set(samples)), 3, samples)

            started = run.wait_for_record("start")
            self.assertIsNotNone(started, "the setup program did not run")
            self.assertEqual(started["installer_window"], "hidden")
            self.assertEqual(started["arguments"], "0")
            self.assertEqual(started["cwd"].rstrip("\\").lower(),
                             e2e.windows_path(run.directory).lower())
            self.assertTrue(started["self"].lower().endswith("\\" + e2e.SAVE_NAME))
            # While it runs, the installer waits, alive, and the file is there.
            time.sleep(2)
            self.assertIsNone(run.process.poll(), "the installer did not wait for the setup")
            self.assertTrue(os.path.exists(run.saved()))
            with open(run.saved(), "rb") as f:
                self.assertEqual(f.read(), package)
            self.assertEqual(e2e.vt.wait_exit(run.process, timeout=None), 0)
            self.assertIsNotNone(run.wait_for_record("end", timeout=1))
            self.assertFalse(os.path.exists(run.saved()), "setup file left behind")
            self.assertEqual(os.listdir(run.directory), [])
            self.assertEqual(self.prefix.opened_urls(), [])

    def test_any_folder_a_user_starts_in(self):
        """A drive's root (a USB stick's), a link (Downloads moved elsewhere)
        at the path's end or before it, followed only with the desktop
        shell's token: the test variant takes its own, or none."""
        folder = tempfile.mkdtemp(prefix="started-", dir=self.prefix.folder)
        apps = os.path.join(folder, "apps")
        os.mkdir(apps)
        drive = os.path.join(self.prefix.path, "dosdevices", "y:")
        linked = self.prefix.profile("Downloads-moved")
        in_c = "C:\\" + os.path.relpath(linked, self.prefix.drive_c("")).replace("/", "\\")
        shell = {"VELMOR_TEST_OWN_TOKEN_AS_SHELLS": "1"}
        rows = [
            # (the link made to the folder, where the installer starts, its
            # environment, its current directory there, the folder the setup
            # program ran from; None: the download fails)
            ("the root of a drive", drive, folder, {}, "Y:\\", "Y:\\"),
            ("a folder that is a link", linked, linked, shell, in_c,
             e2e.windows_path(folder) + "\\"),
            ("a folder in a link", linked, linked + "/apps", shell, in_c + "\\apps",
             e2e.windows_path(apps) + "\\"),
            ("a folder in a link, no desktop shell", linked, linked + "/apps",
             {"VELMOR_TEST_NO_DESKTOP_SHELL": "1"}, None, None),
        ]
        for name, link, start, env, cwd, ran_in in rows:
            with self.case(name):
                self.prefix.reset()
                os.symlink(folder, link)
                try:
                    run = e2e.Run(self.prefix, directory=start, env=env)
                    with e2e.package_server(), run:
                        self.assertEqual(run.ended_or_failed(), cwd is not None)
                    if cwd:
                        [started, _] = run.setup_records()
                        self.assertEqual(started["cwd"].lower(), cwd.lower())
                        self.assertEqual(started["self"].lower(), (ran_in + e2e.SAVE_NAME).lower())
                    self.assertEqual([os.listdir(folder), os.listdir(apps)], [["apps"], []],
                                     "the setup file was left")
                finally:
                    os.remove(link)

    def test_a_leftover_setup_file_is_overwritten(self):
        run = e2e.Run(self.prefix)
        with open(run.saved(), "wb") as f:
            f.write(b"an old, broken download" * 1000)
        with e2e.package_server(), run:
            self.assertEqual(e2e.vt.wait_exit(run.process, timeout=None), 0)
        self.assertEqual([r["package"] for r in run.setup_records()], ["ebwebview"] * 2)
        self.assertFalse(os.path.exists(run.saved()))

    def test_a_file_a_scanner_reads_never_keeps_its_name(self):
        """A scanner (or the indexer) reads a file, sharing even its deletion:
        deleting it only marks it while the scanner reads on, and its name
        stays taken. The installer frees the name at once, so a new file can
        take it, and the file goes once the scanner lets go."""
        listed = self.prefix.profile(".velmor/config.toml")
        rows = [
            # (what is held, when: "start", or the setup program's "end")
            ("a leftover setup file", "start"),
            ("the setup file as the setup program ends", "end"),
            ("a leftover temporary list", "start"),
        ]
        for held, when in rows:
            with self.case(held):
                self.prefix.reset()
                shutil.rmtree(self.prefix.profile(".velmor"), ignore_errors=True)
                run = e2e.Run(self.prefix, setup_seconds=2)
                path = listed + ".tmp" if "list" in held else run.saved()
                os.makedirs(os.path.dirname(path), exist_ok=True)
                if when == "start":
                    with open(path, "wb") as f:
                        f.write(b"left by an earlier run" * 100)
                marker = run.setup_log + ".scanning"
                scanner = None

                def scan():
                    process = e2e.vt.start(e2e.ATTACKER, "scan", e2e.windows_path(path), "60",
                                           e2e.windows_path(marker), prefix=self.prefix.path)
                    while not os.path.exists(marker):  # the case's deadline ends a hang
                        time.sleep(0.05)
                    return process
                try:
                    if when == "start":
                        scanner = scan()
                    with e2e.package_server(), run:
                        if when == "end":
                            self.assertIsNotNone(run.wait_for_record("start"), "no setup ran")
                            scanner = scan()
                        self.assertTrue(run.ended_or_failed(), "the download failed")
                    self.assertFalse(os.path.exists(path), "the name is still taken")
                    self.assertEqual([r["event"] for r in run.setup_records()], ["start", "end"])
                    with open(listed, "rb") as f:
                        self.assertIn(b'product_id = "2"', f.read())
                finally:
                    if scanner:
                        e2e.vt.stop(scanner)
                # Once the scanner lets go, nothing is left beside the list.
                deadline = time.monotonic() + 5
                while (os.listdir(run.directory) or len(os.listdir(os.path.dirname(listed))) > 1) \
                        and time.monotonic() < deadline:
                    time.sleep(0.05)
                self.assertEqual(os.listdir(run.directory), [])
                self.assertEqual(os.listdir(os.path.dirname(listed)), ["config.toml"])

    def test_404_cancel_opens_nothing_and_the_window_stays(self):
        with e2e.package_server({}), e2e.Run(self.prefix) as run:
            box = run.wait_box(e2e.DOWNLOAD_FAILED, click="cancel")
            self.assertIsNotNone(box, "no download failure box")
            self.assertEqual(box["owner_class"], e2e.facts.WINDOW_CLASS)
            self.assertEqual(box["has_icon"], "1")
            self.assertEqual(box["button"], ["1", "2"])  # OK and Cancel
            time.sleep(1.5)
            self.assertIsNone(run.process.poll(), "the installer ended by itself")
            self.assertIsNotNone(run.wait_window(timeout_ms=2000), "the window did not stay")
            self.assertEqual(self.prefix.opened_urls(), [])
            self.assertTrue(run.click_close())
            self.assertEqual(e2e.vt.wait_exit(run.process, timeout=None), 0)
        self.assertEqual(run.setup_records(), [])

    def test_broken_body_ok_opens_support_and_keeps_the_last_progress(self):
        def half_then_hang_up(request):
            request.send_body(lambda offset, count: bytes(count), 100000, announced=200000)
            request.hang_up()

        server = e2e.package_server({})
        server.add_route(e2e.PACKAGE_PATHS["ebwebview"], half_then_hang_up)
        with server, e2e.Run(self.prefix) as run:
            # Broken off every time: asked for five times more, 31 s of waits.
            self.assertIsNotNone(run.wait_box(e2e.DOWNLOAD_FAILED, click="ok", timeout_ms=60000))
            self.assertEqual(len(server.requests()), 6)
            time.sleep(1.5)
            self.assertEqual(opened(self.prefix), [SUPPORT_URL])
            self.assertIsNotNone(run.wait_window(timeout_ms=2000), "the window did not stay")
            self.assertEqual(run.progress(), 50)
            self.assertIsNone(run.process.poll())
            self.assertTrue(run.click_close())
            self.assertEqual(e2e.vt.wait_exit(run.process, timeout=None), 0)
        self.assertFalse(os.path.exists(run.saved()), "an incomplete download was kept")

    def test_nothing_listening_is_a_download_failure(self):
        with e2e.Run(self.prefix) as run:
            self.assertIsNotNone(run.wait_box(e2e.DOWNLOAD_FAILED, click="ok"))
            time.sleep(1.5)
            self.assertEqual(opened(self.prefix), [SUPPORT_URL])
            self.assertIsNotNone(run.wait_window(timeout_ms=2000))
            self.assertTrue(run.click_close())
            self.assertEqual(e2e.vt.wait_exit(run.process, timeout=None), 0)

    def test_save_file_that_cannot_be_created_is_a_download_failure(self):
        run = e2e.Run(self.prefix)
        os.mkdir(run.saved())  # a folder where the file should go
        with e2e.package_server(), run:
            self.assertIsNotNone(run.wait_box(e2e.DOWNLOAD_FAILED, click="cancel"))
            self.assertIsNotNone(run.wait_window(timeout_ms=2000))
            self.assertTrue(run.click_close())
            self.assertEqual(e2e.vt.wait_exit(run.process, timeout=None), 0)
        self.assertTrue(os.path.isdir(run.saved()))
        self.assertEqual(run.setup_records(), [])

    def test_without_a_desktop_shell_in_time_the_address_is_shown_and_nothing_started(self):
        address = e2e.facts.SUPPORT_ADDRESS + "\\n" + SUPPORT_URL
        rows = [
            ("no desktop shell", {"VELMOR_TEST_NO_DESKTOP_SHELL": "1"}),
            # A shell that is busy or hung: the installer waits 5 s for it.
            ("a shell that does not answer", {"VELMOR_TEST_SHELL_DELAY_MS": "60000"}),
        ]
        for name, env in rows:
            with self.case(name):
                self.prefix.reset()
                trace = os.path.join(self.prefix.folder, "exec-%d.txt" % time.monotonic_ns())
                with e2e.package_server({}), e2e.Run(self.prefix, env=env, trace=trace,
                                                     channels="trace+exec") as run:
                    self.assertIsNotNone(run.wait_box(e2e.DOWNLOAD_FAILED, click="ok"))
                    answered = time.monotonic()
                    box = run.wait_box(address, click="none", timeout_ms=15000)
                    self.assertIsNotNone(box, "no box with the support page's address")
                    self.assertLess(time.monotonic() - answered, 10, "the shell was waited for")
                    self.assertEqual(box["owner_class"], e2e.facts.WINDOW_CLASS)
                    self.assertEqual(box["has_icon"], "1")
                    self.assertEqual(box["button"], "1")  # OK alone
                    self.assertIsNotNone(run.wait_box(address, click="ok"))
                    time.sleep(1.5)
                    self.assertEqual(self.prefix.opened_urls(), [])
                    self.assertIsNotNone(run.wait_window(timeout_ms=2000), "the window did not stay")
                    self.assertTrue(run.click_close())
                    self.assertEqual(e2e.vt.wait_exit(run.process, timeout=None), 0)
                with open(trace, encoding="utf-8", errors="replace") as f:
                    self.assertNotIn("ShellExecute", f.read(), "the installer started something")

    def test_closing_mid_download_leaves_no_file(self):
        with e2e.package_server({"ebwebview": self.padded_setup(3)}, rate=256 * 1024), \
                e2e.Run(self.prefix) as run:
            self.assertIsNotNone(run.wait_window())
            while not os.path.exists(run.saved()):  # the case's deadline ends a hang
                time.sleep(0.05)
            time.sleep(0.5)
            self.assertTrue(run.click_close())
            self.assertEqual(e2e.vt.wait_exit(run.process, timeout=None), 0)
        deadline = time.monotonic() + 5
        while os.path.exists(run.saved()) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertFalse(os.path.exists(run.saved()), "a partial download was left")
        self.assertEqual(run.setup_records(), [])

    def test_a_scanner_holding_the_fresh_file_is_waited_for_a_while(self):
        for seconds, runs in [(2, True), (30, False)]:
            with self.case("held %d s" % seconds):
                self.prefix.reset()
                run = e2e.Run(self.prefix, hold_at="download-closed")
                locked = run.setup_log + ".locked"
                with e2e.package_server(), run:
                    self.assertTrue(run.wait_held(), "the download did not finish")
                    scanner = e2e.vt.start(e2e.ATTACKER, "lock", e2e.windows_path(run.saved()),
                                           str(seconds), e2e.windows_path(locked),
                                           prefix=self.prefix.path)
                    try:
                        while not os.path.exists(locked):  # the case's deadline ends a hang
                            time.sleep(0.05)
                        run.release()
                        if runs:
                            self.assertEqual(e2e.vt.wait_exit(run.process, timeout=40), 0)
                        else:
                            self.assertIsNotNone(run.wait_box(e2e.DOWNLOAD_FAILED, click="cancel"))
                            self.assertIsNone(run.process.poll())
                    finally:
                        e2e.vt.stop(scanner)
                events = [r["event"] for r in run.setup_records()]
                self.assertEqual(events, ["start", "end"] if runs else [])

    def test_a_package_that_is_not_a_program_is_a_launch_failure(self):
        package = b"This is a text file, not a program.\r\n" * 100
        with e2e.package_server({"ebwebview": package}), e2e.Run(self.prefix) as run:
            box = run.wait_box(e2e.LAUNCH_FAILED, click="none")
            self.assertIsNotNone(box, "no launch failure box")
            self.assertFalse(run.wait_window(timeout_ms=500), "window visible behind the box")
            self.assertIsNone(run.process.poll())
            self.assertIsNotNone(run.wait_box(e2e.LAUNCH_FAILED, click="ok"))
            self.assertEqual(e2e.vt.wait_exit(run.process, timeout=None), 0)
            with open(run.saved(), "rb") as f:
                self.assertEqual(f.read(), package, "the downloaded file stays")
        time.sleep(1)
        self.assertEqual(opened(self.prefix), [SUPPORT_URL])


def closed_port(host="127.0.0.1"):
    with socket.socket() as s:
        s.bind((host, 0))
        return s.getsockname()[1]


class ProxyTest(InPrefix):
    """The user's proxy settings, written as Windows' settings write them,
    and a CONNECT proxy on 127.0.0.1 that logs what it is asked for. The
    proxied installer downloads from a name that only the proxy resolves."""

    version = "win10"

    def tearDown(self):
        self.prefix.set_user_proxy(None)
        super().tearDown()

    def install_through(self, settings, installer):
        """One installation with the given settings; True when the setup
        program ran, False when the download failure box came."""
        self.prefix.reset()
        self.prefix.set_user_proxy(settings)
        with e2e.package_server() as server, e2e.Run(self.prefix, installer=installer) as run:
            ran = run.ended_or_failed()
            if ran:
                self.assertEqual(run.process.returncode, 0)
                self.assertEqual([r["event"] for r in run.setup_records()], ["start", "end"])
                self.assertEqual(len(server.requests()), 1, server.requests())
            else:
                self.assertEqual(run.setup_records(), [])
                self.assertTrue(run.click_close())
                self.assertEqual(e2e.vt.wait_exit(run.process, timeout=None), 0)
        return ran

    def test_the_download_takes_the_road_the_users_settings_name(self):
        proxied = "CONNECT %s:%d" % (e2e.PROXIED_HOST, e2e.PORT)
        direct_host = "CONNECT 127.0.0.1:%d" % e2e.PORT
        script = ('function FindProxyForURL(url, host) {\n'
                  '  return host == "%s" ? "PROXY %%s" : "DIRECT";\n}\n' % e2e.PROXIED_HOST)
        settings = connection_settings
        dead = "127.0.0.2:%d" % closed_port("127.0.0.2")  # where the proxy would be
        cases = [
            # name, the proxy asks for a logon, settings given the proxy's
            # address, the proxied installer, the setup runs, what the proxy saw
            ("a fixed proxy", False,
             lambda p: settings(DIRECT | FIXED_PROXY, proxy=p), True, True, [proxied]),
            ("a per-scheme list", False,
             lambda p: settings(FIXED_PROXY, proxy="http=%s;https=%s" % (dead, p)), True,
             True, [proxied]),
            ("a proxy script over HTTP", False,
             lambda p: settings(DIRECT | PROXY_SCRIPT, script="http://%s/proxy.pac" % p),
             True, True, ["GET /proxy.pac", proxied]),
            # Wine hands on only the first proxy of a script's answer: a
            # list shows only as the fixed setting.
            ("a list whose first proxy is down", False,
             lambda p: settings(FIXED_PROXY, proxy="%s;%s" % (dead, p)), True, True, [proxied]),
            ("the host on the bypass list", False,
             lambda p: settings(FIXED_PROXY, proxy=p, bypass="*.example;127.0.0.*"), False,
             True, []),
            ("only auto-detection", False,
             lambda p: settings(DIRECT | AUTO_DETECT), False, True, []),
            ("no proxy set", False, lambda p: settings(DIRECT), False, True, []),
            ("the proxied host with no proxy set", False,
             lambda p: settings(DIRECT), True, False, []),
            ("a proxy that is not listening", False,
             lambda p: settings(FIXED_PROXY, proxy=dead), False, True, []),
            ("a proxy that asks for a logon", True,
             lambda p: settings(FIXED_PROXY, proxy=p), False, False, [direct_host]),
        ]
        for name, logon, make, through_proxy, runs, seen in cases:
            with self.case(name):
                installer = e2e.PROXIED_INSTALLER if through_proxy else e2e.INSTALLER
                with ConnectProxy(hosts={e2e.PROXIED_HOST: ("127.0.0.1", e2e.PORT)},
                                  logon=logon) as proxy:
                    proxy.script = script % proxy.address
                    self.assertEqual(self.install_through(make(proxy.address), installer),
                                     runs)
                    # A refused CONNECT may be asked once more.
                    self.assertEqual(sorted(set(proxy.log())), sorted(seen))


def signed(program, certificate):
    """program's bytes signed by scripts/sign with certificate (cert, key),
    and the publisher key digest that scripts/sign printed."""
    with tempfile.TemporaryDirectory() as work:
        path = os.path.join(work, "setup.exe")
        with open(path, "wb") as f:
            f.write(program)
        printed = subprocess.run([os.path.join(e2e.vt.SOURCE_DIR, "scripts", "sign"), path,
                                  *certificate], check=True, stdout=subprocess.PIPE, text=True)
        with open(path, "rb") as f:
            return f.read(), printed.stdout.rsplit(": ", 1)[-1].strip()


class PublisherTest(InPrefix):
    """A build that pins its publisher's key starts only a setup program
    signed with that key; a build without keys starts any. The keys and
    signatures are throwaway ones made here (the pinned key by the build)."""

    version = "win10"

    def packages(self):
        work = tempfile.mkdtemp(dir=self.prefix.folder)
        ca = os.path.join(work, "ca")
        test_ca.make_ca(ca, name="Velmor Throwaway Signing CA")
        pinned = test_ca.make_server_cert(ca, work, "pinned", hosts=("Velmor Test Publisher",),
                                          code_signing=True, key=e2e.PUBLISHER_KEY)
        other = test_ca.make_server_cert(ca, work, "other", hosts=("Someone Else",),
                                         code_signing=True)
        with open(e2e.FAKE_SETUP["ebwebview"], "rb") as f:
            program = f.read()
        with_pinned, digest = signed(program, pinned)
        # What scripts/sign prints is the digest the build pins.
        self.assertEqual(digest, e2e.PUBLISHER_DIGEST)
        changed = bytearray(with_pinned)
        # A letter of the DOS stub's message: covered by the signature, and
        # harmless to the program itself.
        stub = changed.index(b"This program cannot")
        changed[stub] ^= 0x20
        return [("signed with the pinned key", with_pinned, True),
                ("signed with another key", signed(program, other)[0], False),
                ("unsigned", program, False),
                ("changed after signing", bytes(changed), False)]

    def install(self, installer, package):
        """True when the setup program ran, False when the download failure
        box came (and then neither the program ran nor a file stayed)."""
        self.prefix.reset()
        with e2e.package_server({"ebwebview": package}), \
                e2e.Run(self.prefix, installer=installer) as run:
            ran = run.ended_or_failed()
            if not ran:
                self.assertTrue(run.click_close())
                self.assertEqual(e2e.vt.wait_exit(run.process, timeout=None), 0)
        self.assertEqual([r["event"] for r in run.setup_records()], ["start", "end"] if ran else [],
                         "the installer's exit code: %s" % run.process.returncode)
        self.assertFalse(os.path.exists(run.saved()), "the setup file was left")
        return ran

    def test_only_the_pinned_publisher_runs_and_without_keys_any(self):
        for name, package, pinned_runs in self.packages():
            with self.case("pinned build, " + name):
                self.assertEqual(self.install(e2e.PINNED_INSTALLER, package), pinned_runs)
            with self.case("build without keys, " + name):
                self.assertTrue(self.install(e2e.INSTALLER, package))


class AttackTest(InPrefix):
    """What an unelevated program of the same user can do to the files the
    elevated installer writes and runs: each case is a real attack by a
    second process, or a planted link, and the installer stays sound."""

    version = "win10"

    def padded_setup(self, megabytes):
        with open(e2e.FAKE_SETUP["ebwebview"], "rb") as f:
            return f.read() + bytes(megabytes * 1024 * 1024)

    def attacker(self, run):
        """Starts a program that writes the "release" test setup over the
        download whenever it can; returns its process and log."""
        log = run.setup_log + ".attack"
        process = e2e.vt.start(e2e.ATTACKER, "write", e2e.windows_path(run.saved()),
                               e2e.windows_path(e2e.FAKE_SETUP["release"]),
                               e2e.windows_path(log), prefix=self.prefix.path)
        return process, log

    def download_attacked(self, pause_ms):
        """The attacker runs while a 3 MB package downloads (and, when
        pause_ms is set, while the test installer pauses before it checks
        the finished file). Returns the run, whether the download failure box
        came, and whether the attacker managed to write."""
        run = e2e.Run(self.prefix, env={"VELMOR_TEST_PAUSE_BEFORE_CHECK_MS": str(pause_ms)})
        attack, log = self.attacker(run)
        try:
            with e2e.package_server({"ebwebview": self.padded_setup(3)}, rate=1024 * 1024), run:
                failed = not run.ended_or_failed()
        finally:
            e2e.vt.stop(attack)
        return run, failed, os.path.exists(log)

    def overwrite_during_the_download(self):
        run, failed, _ = self.download_attacked(pause_ms=0)
        ran = [r["package"] for r in run.setup_records()]
        self.assertEqual(ran, [] if failed else ["ebwebview"] * 2, "only the download may run")

    def change_after_close(self):
        run, failed, written = self.download_attacked(pause_ms=3000)
        self.assertTrue(written, "the attacker did not get to write in the pause")
        self.assertTrue(failed, "a changed download must be a download failure")
        self.assertEqual(run.setup_records(), [])
        self.assertFalse(os.path.exists(run.saved()), "the changed file was left")

    def planted_hard_link(self):
        victim = self.prefix.drive_c("windows/system32/velmor-victim.dat")
        with open(victim, "wb") as f:
            f.write(b"a system file" * 100)
        run = e2e.Run(self.prefix)
        os.link(victim, run.saved())
        with e2e.package_server(), run:
            self.assertEqual(e2e.vt.wait_exit(run.process, timeout=None), 0)
        with open(victim, "rb") as f:
            self.assertEqual(f.read(), b"a system file" * 100, "written through the link")
        self.assertEqual([r["package"] for r in run.setup_records()], ["ebwebview"] * 2)

    def swapped_before_the_check(self, verb):
        """Once the download is closed, a second program renames it away and
        gives its name to a file of its own with the same bytes: a hard link
        to a program elsewhere (which the attacker wants started from there),
        or a copy."""
        victim = self.prefix.drive_c("windows/system32/velmor-victim.exe")
        shutil.copy(e2e.FAKE_SETUP["ebwebview"], victim)
        with open(victim, "rb") as f:
            before = f.read()
        run = e2e.Run(self.prefix, hold_at="download-closed")
        with e2e.package_server(), run:
            self.assertTrue(run.wait_held(), "the download did not finish")
            saved = e2e.windows_path(run.saved())
            for args in (("rename", saved, saved + ".away"),
                         (verb, e2e.windows_path(victim), saved)):
                self.assertEqual(e2e.vt.run(e2e.ATTACKER, *args, prefix=self.prefix.path)[0], 0)
            run.release()
            self.assertFalse(run.ended_or_failed(), "the other file was started")
        self.assertEqual(run.setup_records(), [])
        with open(victim, "rb") as f:
            self.assertEqual(f.read(), before, "the other file was changed")

    def two_installers_in_one_folder(self):
        first = e2e.Run(self.prefix)
        second = e2e.Run(self.prefix, directory=first.directory)
        with e2e.package_server({"ebwebview": self.padded_setup(3)}, rate=1024 * 1024), first:
            deadline = time.monotonic() + 20
            while not os.path.exists(first.saved()) and time.monotonic() < deadline:
                time.sleep(0.05)
            with second:
                self.assertIsNotNone(second.wait_box(e2e.DOWNLOAD_FAILED, click="cancel"),
                                     "the second installer must fail to create the file")
                self.assertEqual(e2e.vt.wait_exit(first.process, timeout=None), 0)
        self.assertEqual([r["event"] for r in first.setup_records()], ["start", "end"])

    def registration_left_alone(self, plant, untouched):
        """plant() prepares the profile; after the window has shown (the
        registration is done by then) untouched() checks that nothing was
        written through the planted name."""
        plant()
        with e2e.Run(self.prefix) as run:
            self.assertIsNotNone(run.wait_window(timeout_ms=30000), "no installer window")
        untouched()

    def profile_folder_link(self):
        target = self.prefix.drive_c("windows/system32/velmor-target")
        os.makedirs(target)
        self.registration_left_alone(
            lambda: os.symlink(target, self.prefix.profile(".velmor")),
            lambda: self.assertEqual(os.listdir(target), [], "written into the link's target"))

    def list_file_link(self):
        victim = self.prefix.drive_c("windows/system32/velmor-victim.toml")
        listed = self.prefix.profile(".velmor/config.toml")

        def plant():
            os.makedirs(os.path.dirname(listed))
            with open(victim, "wb") as f:
                f.write(b'[[software]]\nproduct_id = "9"\n')
            os.link(victim, listed)

        def untouched():
            with open(victim, "rb") as f:
                self.assertEqual(f.read(), b'[[software]]\nproduct_id = "9"\n')
            self.assertTrue(os.path.samefile(victim, listed), "the link was replaced")
            self.assertEqual(os.listdir(os.path.dirname(listed)), ["config.toml"])

        self.registration_left_alone(plant, untouched)

    def huge_list(self):
        listed = self.prefix.profile(".velmor/config.toml")
        before = []

        def plant():
            os.makedirs(os.path.dirname(listed))
            with open(listed, "wb") as f:
                f.truncate(2 << 30)  # sparse: no disk is used
            before.append(os.stat(listed))

        def untouched():
            after = os.stat(listed)
            self.assertEqual((after.st_ino, after.st_size, after.st_mtime_ns),
                             (before[0].st_ino, before[0].st_size, before[0].st_mtime_ns))

        self.registration_left_alone(plant, untouched)

    def velmor_renamed_for_a_link(self):
        """While the installer holds .velmor, a second program renames it away
        and a link to a folder in system32 takes its name."""
        target = self.prefix.drive_c("windows/system32/velmor-held-target")
        os.makedirs(target)
        velmor = self.prefix.profile(".velmor")
        with e2e.Run(self.prefix, hold_at="folder-held") as run:
            self.assertTrue(run.wait_held(), "the registration did not reach its hold")
            code, _ = e2e.vt.run(e2e.ATTACKER, "rename", e2e.windows_path(velmor),
                                 e2e.windows_path(velmor + "-away"), prefix=self.prefix.path)
            if code == 0:
                os.symlink(target, velmor)
            run.release()
            self.assertIsNotNone(run.wait_window(timeout_ms=30000), "no installer window")
        self.assertEqual(os.listdir(target), [], "written into the link's target")
        self.assertNotEqual(code, 0, "the held folder was renamed away")
        with open(os.path.join(velmor, "config.toml"), "rb") as f:
            self.assertIn(b'product_id = "2"', f.read())

    @contextlib.contextmanager
    def read_by_another_program(self, path):
        """A second program holds path open to read it, as fopen(path, "r")
        does: without delete sharing, so that path cannot be replaced."""
        holding = path + ".reader"
        reader = e2e.vt.start(e2e.ATTACKER, "hold", e2e.windows_path(path), "60",
                              e2e.windows_path(holding), prefix=self.prefix.path)
        try:
            while not os.path.exists(holding):  # the case's deadline ends a hang
                time.sleep(0.05)
            yield
        finally:
            e2e.vt.stop(reader)
            os.remove(holding)

    def list_held_open_then_swapped_for_a_hard_link(self):
        """A reader holds config.toml open, so the list is written in place;
        just before that its name becomes a hard link to a system32 file."""
        victim = self.prefix.drive_c("windows/system32/velmor-victim.toml")
        listed = self.prefix.profile(".velmor/config.toml")
        os.makedirs(os.path.dirname(listed))
        with open(victim, "wb") as f:
            f.write(b'[[software]]\nproduct_id = "9"\n')
        with open(listed, "wb") as f:
            f.write(b'[[software]]\nproduct_id = "5"\n')
        with self.read_by_another_program(listed), \
                e2e.Run(self.prefix, hold_at="before-in-place") as run:
            self.assertTrue(run.wait_held(), "the list was not about to be written in place")
            os.remove(listed)
            os.link(victim, listed)
            run.release()
            self.assertIsNotNone(run.wait_window(timeout_ms=30000), "no installer window")
        with open(victim, "rb") as f:
            self.assertEqual(f.read(), b'[[software]]\nproduct_id = "9"\n', "written through the link")
        self.assertTrue(os.path.samefile(victim, listed), "the link was replaced")

    def list_held_open_and_added_to(self):
        """A reader holds config.toml open, so the list is written in place;
        just before that, another program adds a record to it: it stays."""
        listed = self.prefix.profile(".velmor/config.toml")
        os.makedirs(os.path.dirname(listed))
        with open(listed, "wb") as f:
            f.write(b'[[software]]\r\nproduct_id = "5"\r\n')
        with self.read_by_another_program(listed), \
                e2e.Run(self.prefix, hold_at="before-in-place") as run:
            self.assertTrue(run.wait_held(), "the list was not about to be written in place")
            with open(listed, "ab") as f:
                f.write(b'[[software]]\r\nproduct_id = "6"\r\n')
            run.release()
            self.assertIsNotNone(run.wait_window(timeout_ms=30000), "no installer window")
        with open(listed, "rb") as f:
            left = f.read()
        for record in (b'product_id = "5"', b'product_id = "6"', b'product_id = "2"'):
            self.assertIn(record, left)

    def list_in_place_killed_after_its_first_write(self):
        """The list is written in place, and the installer killed right after
        its first write there: every record of the old list is still there."""
        listed = self.prefix.profile(".velmor/config.toml")
        os.makedirs(os.path.dirname(listed))
        old = (b'[[software]]\r\nname = "ours"\r\nproduct_id = "2"\r\ndistributor_id = "7"\r\n'
               b'[[software]]\r\nname = "other"\r\nproduct_id = "5"\r\n')
        with open(listed, "wb") as f:
            f.write(old)
        with self.read_by_another_program(listed), \
                e2e.Run(self.prefix, hold_at="in-place-copy-written") as run:
            self.assertTrue(run.wait_held(), "the list was not written in place")
            e2e.vt.stop(run.process)
        with open(listed, "rb") as f:
            left = f.read()
        self.assertTrue(left.startswith(old), left)
        self.assertIn(b'product_id = "2"\r\ndistributor_id = "1"', left, "nothing was written")

    def list_grown_after_its_size_was_read(self):
        listed = self.prefix.profile(".velmor/config.toml")
        os.makedirs(os.path.dirname(listed))
        with open(listed, "wb") as f:
            f.write(b'[[software]]\nproduct_id = "5"\n')
        with e2e.Run(self.prefix, hold_at="before-read") as run:
            self.assertTrue(run.wait_held(), "the registration did not reach the read")
            with open(listed, "r+b") as f:
                f.truncate(2 << 30)  # sparse: no disk is used
            grown = os.stat(listed)
            run.release()
            self.assertIsNotNone(run.wait_window(timeout_ms=30000), "no installer window")
            self.assertIsNone(run.process.poll(), "the installer ended")
        after = os.stat(listed)
        self.assertEqual((after.st_ino, after.st_size, after.st_mtime_ns),
                         (grown.st_ino, grown.st_size, grown.st_mtime_ns))

    def test_attacks_by_an_unelevated_program(self):
        cases = [
            ("overwrite during the download", self.overwrite_during_the_download),
            ("change after the download is closed", self.change_after_close),
            ("the save name planted as a hard link", self.planted_hard_link),
            ("the download swapped for a hard link before the check",
             lambda: self.swapped_before_the_check("link")),
            ("the download swapped for a copy before the check",
             lambda: self.swapped_before_the_check("copy")),
            ("two installers in one folder", self.two_installers_in_one_folder),
            (".velmor is a link to another folder", self.profile_folder_link),
            ("config.toml is a link to another file", self.list_file_link),
            ("a 2 GiB config.toml", self.huge_list),
            (".velmor renamed away for a link while held", self.velmor_renamed_for_a_link),
            ("config.toml held open, then swapped for a hard link",
             self.list_held_open_then_swapped_for_a_hard_link),
            ("config.toml grown past 1 MiB after its size was read",
             self.list_grown_after_its_size_was_read),
            ("config.toml held open, the installer killed mid-write",
             self.list_in_place_killed_after_its_first_write),
            ("config.toml held open, a record added before the write",
             self.list_held_open_and_added_to),
        ]
        for name, case in cases:
            with self.case(name):
                self.prefix.reset()
                for velmor in (self.prefix.profile(".velmor"), self.prefix.profile(".velmor-away")):
                    if os.path.islink(velmor):
                        os.remove(velmor)
                    shutil.rmtree(velmor, ignore_errors=True)
                case()


if __name__ == "__main__":
    unittest.main(verbosity=2)
