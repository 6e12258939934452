"""Helpers for driving the whole installation under Wine: prefix copies with
a chosen Windows version, the runtime folders, the browser hook, the local
package server and the record the test setup programs leave."""

import collections
import csv
import grp
import io
import os
import pwd
import shutil
import socket
import subprocess
import tempfile
import time

import installer_facts as facts
import velmor_test as vt
import connect_proxy
from https_server import HttpsServer, windows_path
import test_ca

PORT = facts.test_port()
INSTALLER = os.environ["VELMOR_INSTALLER_TESTHOST"]
# The same installer, downloading from a host name that only the tests'
# proxy resolves (to the local server).
PROXIED_INSTALLER = os.environ["VELMOR_INSTALLER_PROXIED"]
PROXIED_HOST = os.environ["VELMOR_PROXIED_HOST"]
# The same installer, pinning the key in PUBLISHER_KEY (made by the build).
PINNED_INSTALLER = os.environ["VELMOR_INSTALLER_PINNED"]
PUBLISHER_KEY = os.environ["VELMOR_TEST_PUBLISHER_KEY_FILE"]
PUBLISHER_DIGEST = os.environ["VELMOR_TEST_PUBLISHER_KEY"]
FAKE_SETUP = {name: os.environ["VELMOR_FAKE_SETUP_" + name.upper()]
              for name in ("win7", "release", "ebwebview")}
ATTACKER = os.environ["VELMOR_ATTACKER"]
PACKAGE_PATHS = facts.PACKAGE_PATHS
SAVE_NAME = facts.SAVE_NAME
CAPTION = facts.CAPTION
DOWNLOAD_FAILED = facts.DOWNLOAD_FAILED
LAUNCH_FAILED = facts.LAUNCH_FAILED
FIRST_ROOT = "Program Files (x86)/Microsoft/EdgeWebView/Application"
SECOND_ROOT = "Program Files/Microsoft/EdgeWebView/Application"
PBM_GETPOS = 0x0408


class Prefix(vt.PrefixCopy):
    """A copy of the build's prefix that reports the given Windows version,
    with no runtime folders and a browser hook that records every URL it is
    asked to open."""

    def __init__(self, version):
        super().__init__()
        self.version = version

    def __enter__(self):
        super().__enter__()
        self.clear_runtime()
        assert vt.quiet(["wine", "winecfg", "-v", self.version], self.env) == 0
        self.browser_log = os.path.join(self.folder, "browser.log")
        browser = os.path.join(self.folder, "browser.sh")
        with open(browser, "w") as f:
            f.write('#!/bin/sh\nprintf "%%s\\n" "$*" >> "%s"\n' % self.browser_log)
        os.chmod(browser, 0o755)
        assert vt.quiet(["wine", "reg", "add", r"HKCU\Software\Wine\WineBrowser", "/v", "Browsers",
                      "/t", "REG_SZ", "/d", browser, "/f"], self.env) == 0
        return self

    def set_user_proxy(self, settings):
        """The user's proxy settings (connection_settings' bytes; None: none)."""
        connect_proxy.write_user_proxy(self.env, settings)

    def drive_c(self, relative):
        return os.path.join(self.path, "drive_c", relative)

    def profile(self, relative=""):
        """A path in the prefix user's profile folder (Wine names it after $USER)."""
        user = os.environ.get("USER") or pwd.getpwuid(os.getuid()).pw_name
        return os.path.join(self.drive_c("users"), user, relative)

    def clear_runtime(self):
        for root in (FIRST_ROOT, SECOND_ROOT):
            shutil.rmtree(os.path.dirname(self.drive_c(root)), ignore_errors=True)

    def plant(self, relative, folder=False):
        """A file (or a folder) at relative, under drive C:."""
        path = self.drive_c(relative)
        if folder:
            os.makedirs(path, exist_ok=True)
        else:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(b"marker")

    def opened_urls(self):
        if not os.path.exists(self.browser_log):
            return []
        with open(self.browser_log) as f:
            return f.read().split()

    def reset(self):
        self.clear_runtime()
        if os.path.exists(self.browser_log):
            os.remove(self.browser_log)


_certificate = None


def certificate():
    """The server certificate for 127.0.0.1 and the proxied host name, signed
    by the prefix's test CA."""
    global _certificate
    if _certificate is None:
        out = tempfile.mkdtemp(prefix="velmor-e2e-cert-")
        _certificate = test_ca.make_server_cert(os.environ["VELMOR_TEST_CA_DIR"], out, "e2e",
                                                hosts=test_ca.DEFAULT_HOSTS + (PROXIED_HOST,))
    return _certificate


def package_server(packages=None, **add_file_options):
    """A server on the installer's port; packages maps package names to bytes
    (default: the three test setup programs)."""
    server = HttpsServer(*certificate(), port=PORT)
    if packages is None:
        packages = {}
        for name, program in FAKE_SETUP.items():
            with open(program, "rb") as f:
                packages[name] = f.read()
    for name, data in packages.items():
        server.add_file(PACKAGE_PATHS[name], data=data, **add_file_options)
    return server


# Around the server block, as in Debian's nginx.conf (sendfile, gzip), with
# all that nginx writes in its own folder, and a rate, so that a download
# is still under way well after its first MB (nginx lets a second's worth go
# at once: about 1 s for 32 MB at 32 MB/s).
NGINX_MAIN = """user {user} {group}; pid {f}/pid; events {{}}
http {{ sendfile on; gzip on; limit_rate {rate};
    log_format velmor "$request_method $uri $http_range $status $body_bytes_sent $request_completion";
    access_log {f}/access.log velmor;
    client_body_temp_path {f}/t1; proxy_temp_path {f}/t2; fastcgi_temp_path {f}/t3;
    uwsgi_temp_path {f}/t4; scgi_temp_path {f}/t5;
{block}}}"""
NginxRequest = collections.namedtuple("NginxRequest", "method path range status sent completed")


class NginxHost:
    """Debian's nginx on the installer's port (or the one given) with the
    shipped server block (deploy/nginx), only its port, TLS files and
    document root filled in and its IPv6 address left out, serving the test
    setup programs padded (sparsely) to the size given."""

    def __init__(self, folder, megabytes, port=PORT, rate="32m"):
        self.folder = tempfile.mkdtemp(prefix="nginx-", dir=folder)
        self.port = port
        self.root = root = os.path.join(self.folder, "root")
        os.makedirs(root + "/velmor-ofd")
        for name, program in FAKE_SETUP.items():
            shutil.copy(program, root + PACKAGE_PATHS[name])
            os.truncate(root + PACKAGE_PATHS[name], megabytes << 20)
        with open(os.path.join(vt.SOURCE_DIR, "deploy", "nginx", "velmor-downloads.conf")) as f:
            block = f.read()
        for shipped, ours in zip(["listen 443 ", "listen [::]:443 ssl;",
                                  "/etc/ssl/velmor/fullchain.pem", "/etc/ssl/velmor/privkey.pem",
                                  "/srv/velmor-downloads"],
                                 ["listen 127.0.0.1:%d " % port, "", *certificate(), root]):
            assert block.count(shipped) == 1, "the shipped server block changed: " + shipped
            block = block.replace(shipped, ours)
        self.command = ["/usr/sbin/nginx", "-p", self.folder, "-e", self.folder + "/error.log",
                        "-c", self.folder + "/nginx.conf"]
        with open(self.command[-1], "w") as f:
            f.write(NGINX_MAIN.format(f=self.folder, block=block, user=pwd.getpwuid(os.getuid())[0],
                                      group=grp.getgrgid(os.getgid())[0], rate=rate))

    def start(self):
        subprocess.run(self.command, check=True)  # back once it listens
        return self

    def stop(self):
        """A fast shutdown: open connections are cut, mid-body too."""
        subprocess.run(self.command + ["-s", "stop"], check=True)
        while self.running():
            time.sleep(0.01)

    def running(self):
        return os.path.exists(self.folder + "/pid")

    def restart_once(self, path, size):
        """Stops and starts again once the file at path has size bytes."""
        wait_for_size(path, size)
        self.stop()
        self.start()

    __enter__ = start

    def __exit__(self, *exc):
        self.stop()

    def requests(self):
        """Those answered whole: a cut-off one is left out, where it is logged."""
        with open(self.folder + "/access.log") as f:
            return [r for r in (NginxRequest(*line.split()) for line in f) if r.completed == "OK"]


def wait_for_size(path, size):
    while not os.path.exists(path) or os.path.getsize(path) < size:
        time.sleep(0.01)  # the case's deadline ends a hang


def free_port():
    """A port no one listens on, for an origin behind the installer's."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# Before the shipped configuration, as Debian's global section is: haproxy
# in the foreground, all it writes in its own folder.
HAPROXY_GLOBAL = """global
    pidfile {f}/pid
    stats socket {f}/stats
    log stdout format raw local0
"""


class Balancer:
    """Debian's haproxy on the installer's port with the shipped
    configuration (deploy/haproxy), only its addresses filled in and its
    IPv6 one left out, in front of two NginxHost origins on ports of their
    own, at 1 MB/s so that little is under way when one is stopped. Their
    packages are put in place by deploy/publish, at one time an hour ago."""

    def __init__(self, folder, megabytes):
        self.folder = tempfile.mkdtemp(prefix="haproxy-", dir=folder)
        self.size = megabytes << 20
        self.origins = [NginxHost(folder, megabytes, free_port(), "1m") for _ in range(2)]
        for name, program in FAKE_SETUP.items():
            self.publish(name, program, when=time.time() - 3600)
        with open(os.path.join(vt.SOURCE_DIR, "deploy", "haproxy", "velmor-downloads.cfg")) as f:
            config = f.read()
        for shipped, ours in [("    bind :::443 v6only\n", ""), ("bind :443", "bind 127.0.0.1:%d" % PORT),
                              *[("192.0.2.1%d:443" % n, "127.0.0.1:%d" % origin.port)
                                for n, origin in enumerate(self.origins, 1)]]:
            assert config.count(shipped) == 1, "the shipped configuration changed: " + shipped
            config = config.replace(shipped, ours)
        self.config = os.path.join(self.folder, "haproxy.cfg")
        with open(self.config, "w") as f:
            f.write(HAPROXY_GLOBAL.format(f=self.folder) + config)

    def publish(self, name, program, when=None, origins=None):
        """deploy/publish: program, padded to the packages' size, as the
        package name on the origins given (default: all), at the time given
        (default: the padded file's, now)."""
        package = os.path.join(self.folder, "%s-%d" % (name, time.monotonic_ns()))
        shutil.copy(program, package)
        os.truncate(package, self.size)
        subprocess.run([os.path.join(vt.SOURCE_DIR, "deploy", "publish"),
                        *(["--time", "@%d" % when] if when else []), package,
                        PACKAGE_PATHS[name].lstrip("/"), *[o.root for o in origins or self.origins]],
                       check=True, stdout=subprocess.DEVNULL)

    def start(self):
        for origin in self.origins:
            origin.start()
        with open(self.folder + "/haproxy.log", "ab") as log:
            self.process = subprocess.Popen(["/usr/sbin/haproxy", "-db", "-f", self.config],
                                            stdout=log, stderr=subprocess.STDOUT)
        while self.process.poll() is None:  # listening once its statistics answer
            try:
                self.stats()
                return self
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("haproxy did not start: see " + self.folder + "/haproxy.log")

    def stop(self):
        # Its counters end with it: what each origin sent, and whether it is
        # in the rotation (UP) or taken out (DOWN).
        final = self.stats()
        self.sent, self.states = [int(s["bout"]) for s in final], [s["status"] for s in final]
        self.process.terminate()
        self.process.wait()
        for origin in self.origins:
            if origin.running():
                origin.stop()

    __enter__ = start

    def __exit__(self, *exc):
        self.stop()

    def stats(self):
        """haproxy's counters for each origin, in order: bytes sent (bout),
        connections open (scur)..."""
        with socket.socket(socket.AF_UNIX) as s:
            s.connect(self.folder + "/stats")
            s.sendall(b"show stat\n")
            text = b"".join(iter(lambda: s.recv(65536), b"")).decode()
        rows = {r["addr"]: r for r in csv.DictReader(io.StringIO(text.lstrip("# ")))}
        return [rows["127.0.0.1:%d" % origin.port] for origin in self.origins]

    def lose_origin_once(self, path, size, before=None):
        """Once the file at path has size bytes, calls before() and then
        stops the origin that serves the download."""
        wait_for_size(path, size)
        if before:
            before()
        [serving] = [o for o, s in zip(self.origins, self.stats()) if s["scur"] != "0"]
        serving.stop()

    def requests(self):
        """Those the origins answered whole, but for the health checks."""
        return [r for origin in self.origins for r in origin.requests() if r.method == "GET"]


class Run:
    """One installer run in a fresh current directory of its own."""

    def __init__(self, prefix, setup_seconds=0, trace=None, directory=None, env=None,
                 channels="trace+file,trace+path", hold_at=None, installer=INSTALLER):
        """trace: a file for Wine's debug output of the given channels.
        hold_at: a point where the test installer waits (see wait_held)."""
        self.prefix = prefix
        self.installer = installer
        # A space in the folder, as in "C:\Users\John Smith\Downloads".
        self.directory = directory or tempfile.mkdtemp(prefix="cwd x-", dir=prefix.folder)
        self.setup_log = os.path.join(prefix.folder, os.path.basename(self.directory) + ".log")
        self.trace = trace
        self.channels = channels
        self.setup_seconds = setup_seconds
        self.env = dict(env or {})
        self.marker = self.setup_log + ".held"
        if hold_at:
            self.env.update({"VELMOR_TEST_HOLD_AT": hold_at,
                             "VELMOR_TEST_HOLD_FILE": windows_path(self.marker)})

    def start(self):
        # PWD keeps a directory that is a link as it is named: Wine takes it
        # where it leads to the same folder.
        env = {"VELMOR_SETUP_LOG": windows_path(self.setup_log),
               "VELMOR_FAKE_SETUP_SECONDS": str(self.setup_seconds), "PWD": self.directory,
               **self.env}
        if not self.trace:
            self.process = vt.start(self.installer, cwd=self.directory, prefix=self.prefix.path,
                                    env=env)
            return self
        env["WINEDEBUG"] = "-all," + self.channels
        with open(self.trace, "wb") as trace:
            self.process = vt.start(self.installer, cwd=self.directory, prefix=self.prefix.path,
                                    env=env, stderr=trace)
        return self

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        vt.stop(self.process)

    def ended_or_failed(self):
        """True once the installer ends by itself, False once the download
        failure box comes (it is answered with Cancel, so the window stays).
        No timeout: the test case's deadline ends a hang."""
        while True:
            if self.process.poll() is not None:
                return True
            if self.wait_box(DOWNLOAD_FAILED, click="cancel", timeout_ms=500):
                return False

    def wait_held(self, timeout=30):
        """True once the installer waits at its hold point."""
        deadline = time.monotonic() + timeout
        while not os.path.exists(self.marker):
            if time.monotonic() > deadline or self.process.poll() is not None:
                return False
            time.sleep(0.02)
        return True

    def release(self):
        """Lets the installer go on from its hold point."""
        os.remove(self.marker)

    def saved(self):
        return os.path.join(self.directory, SAVE_NAME)

    def setup_records(self):
        """The test setup programs' lines, each a dict."""
        if not os.path.exists(self.setup_log):
            return []
        with open(self.setup_log, encoding="utf-8") as f:
            return [dict(field.split("=", 1) for field in line.rstrip("\n").split("\t"))
                    for line in f if line.strip()]

    def wait_for_record(self, event, timeout=30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for record in self.setup_records():
                if record["event"] == event:
                    return record
            time.sleep(0.1)
        return None

    # wintool, in this run's prefix.
    def wait_window(self, timeout_ms=20000):
        return vt.wait_window(timeout_ms=timeout_ms, prefix=self.prefix.path)

    def wait_box(self, text, click, timeout_ms=30000):
        return vt.wait_box(caption=CAPTION, text=text, click=click, timeout_ms=timeout_ms,
                           prefix=self.prefix.path)

    def click_close(self):
        return vt.click_close(prefix=self.prefix.path)

    def window_hidden(self, timeout_ms=10000):
        code, _ = vt.wintool("gone", facts.WINDOW_CLASS, "--timeout", str(timeout_ms),
                             prefix=self.prefix.path)
        return code == 0

    def progress_samples(self, timeout_ms=30000):
        """Progress-bar positions, sampled until the window hides."""
        _, info = vt.wintool("sample", facts.WINDOW_CLASS, str(facts.PROGRESS_BAR_ID), str(PBM_GETPOS), "--timeout",
                             str(timeout_ms), "--interval", "30", prefix=self.prefix.path,
                             timeout=timeout_ms / 1000 + 30)
        values = info.get("value", [])
        values = values if isinstance(values, list) else [values]
        return [int(v) for v in values], info.get("end")

    def progress(self):
        values, _ = self.progress_samples(timeout_ms=200)
        return values[-1] if values else None
