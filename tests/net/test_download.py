"""Starts the HTTPS test servers (one trusted, three with bad certificates)
and runs test_net_download.exe under Wine against them."""

import os
import resource
import signal
import socket
import subprocess
import sys
import tempfile

import velmor_test
from https_server import HttpsServer, windows_path
from test_ca import make_ca, make_server_cert

CA_DIR = os.environ["VELMOR_TEST_CA_DIR"]
PROGRAM = os.environ["VELMOR_NET_DOWNLOAD_TEST"]


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def full_disk_run(env, *args):
    def limit():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (64 * 1024, resource.RLIM_INFINITY))
    result = subprocess.run(
        [velmor_test.WINE_RUN, velmor_test.WINE_PREFIX, PROGRAM, *args],
        env=velmor_test.wine_env(extra=env), preexec_fn=limit, stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=120)
    return result.returncode, result.stdout.decode("utf-8", "replace")


def volume_root():
    """Drive R: of the build's prefix, a folder beside the prefix: a volume
    root to save into. The link is made once and kept, so that a test that
    copies the prefix meanwhile never sees it come and go."""
    folder = os.path.join(os.path.dirname(velmor_test.WINE_PREFIX), "volume-root")
    os.makedirs(folder, exist_ok=True)
    drive = os.path.join(velmor_test.WINE_PREFIX, "dosdevices", "r:")
    if not os.path.lexists(drive):
        os.symlink(folder, drive)
    return "R:\\"


def main():
    with tempfile.TemporaryDirectory(prefix="velmor-net-") as work:
        certs = os.path.join(work, "certs")
        good = make_server_cert(CA_DIR, certs, "good")
        wrong_host = make_server_cert(CA_DIR, certs, "wronghost", hosts=("other.example",))
        expired = make_server_cert(CA_DIR, certs, "expired", expired=True)
        stranger = os.path.join(work, "stranger-ca")
        make_ca(stranger, name="Stranger CA")
        untrusted = make_server_cert(stranger, certs, "untrusted")
        saves = os.path.join(work, "saves")
        os.makedirs(saves)
        log = os.path.join(work, "requests.log")

        with HttpsServer(*good, log_path=log) as server, \
                HttpsServer(*wrong_host) as wrong, \
                HttpsServer(*expired) as old, \
                HttpsServer(*untrusted) as strange:
            env = {
                "VELMOR_NET_BASE": server.base_url,
                "VELMOR_NET_LOG": windows_path(log),
                "VELMOR_NET_WORKDIR": windows_path(saves),
                "VELMOR_NET_ROOT": volume_root(),
                "VELMOR_NET_UNTRUSTED": strange.base_url,
                "VELMOR_NET_WRONGHOST": wrong.base_url,
                "VELMOR_NET_EXPIRED": old.base_url,
                "VELMOR_NET_CLOSED": "https://127.0.0.1:%d" % closed_port(),
            }
            args = sys.argv[1:] or []
            code, output = velmor_test.run(PROGRAM, *args, env=env, timeout=240)
            print(output)
            if code == 0 and not args:
                # Again, for the test that needs a full disk: any file the
                # program grows past 64 KiB fails to grow further.
                code, output = full_disk_run(
                    dict(env, VELMOR_NET_FSIZE_LIMITED="1"),
                    "--gtest_filter=Download.WriteFailureRemovesThePartialFile")
                print(output)
            if code != 0:
                print("requests seen by the server:")
                for request in server.requests():
                    print("  ", request)
            return 0 if code == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
