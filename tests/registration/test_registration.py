"""Registration in a fresh copy of the build's prefix whose user has a Chinese
name: the real installer has recorded the product by the time its window
shows, and a list write that fails part-way leaves the old list intact."""

import os
import resource
import signal
import subprocess
import tempfile
import unittest

import velmor_test as vt

INSTALLER = os.environ["VELMOR_INSTALLER"]
LIST_TOOL = os.environ["VELMOR_LIST_TOOL"]
USER = "张三"


def record(name, product, distributor):
    return ('[[software]]\r\nname = "%s"\r\nproduct_id = "%s"\r\ndistributor_id = "%s"\r\n'
            % (name, product, distributor)).encode()


class FreshPrefixTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # The copy's own server is started here without any limit: a
        # size-limited program must never be the one that starts it. Wine
        # makes a new user's profile folder when that user first runs a
        # program (on Windows it exists before anybody logs on): the copy's
        # boot runs as that user.
        cls.env = {"USER": USER, "LOGNAME": USER}
        cls.copy = vt.PrefixCopy(cls.env).__enter__()
        cls.prefix = cls.copy.path
        cls.profile = os.path.join(cls.prefix, "drive_c", "users", USER)

    @classmethod
    def tearDownClass(cls):
        cls.copy.__exit__(None, None, None)

    def test_installer_registers_before_its_window_shows(self):
        profile = self.profile
        self.assertTrue(os.path.isdir(profile), "no profile folder")
        self.assertFalse(os.path.exists(os.path.join(profile, ".velmor")))
        with tempfile.TemporaryDirectory() as cwd:
            process = vt.start(INSTALLER, cwd=cwd, prefix=self.prefix, env=self.env)
            try:
                self.assertIsNotNone(vt.wait_window(prefix=self.prefix), "no installer window")
                with open(os.path.join(profile, ".velmor", "config.toml"), "rb") as f:
                    self.assertEqual(f.read(), record("velmorOFD转换器", "2", "1"))
            finally:
                vt.stop(process)

    def write_list(self, windows_path, records, size_limit):
        """Runs list_tool; with a size limit, any file it grows past that
        many bytes fails to grow further, as on a full disk."""
        def limit():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (size_limit, resource.RLIM_INFINITY))
        result = subprocess.run(
            [vt.WINE_RUN, self.prefix, LIST_TOOL, "write", windows_path, str(records)],
            env=vt.wine_env(self.prefix, self.env), preexec_fn=limit if size_limit else None,
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            timeout=60)
        self.assertEqual(result.returncode, 0)

    def test_write_failing_part_way_keeps_the_old_list(self):
        folder = os.path.join(self.prefix, "drive_c", "软件列表")
        os.makedirs(folder)
        path = os.path.join(folder, "config.toml")
        old = record("other", "5", "") + record("kept", "6", "9")
        # (records written, file size limit, whether the new list replaces the old)
        cases = [(200, 4096, False), (20, 4096, True), (200, None, True)]
        for records, size_limit, replaced in cases:
            with self.subTest(records=records, size_limit=size_limit):
                with open(path, "wb") as f:
                    f.write(old)
                self.write_list("C:\\软件列表\\config.toml", records, size_limit)
                new = b"".join(record("product %d" % i, str(100 + i), "7")
                               for i in range(records))
                self.assertGreater(len(new), len(old))
                with open(path, "rb") as f:
                    self.assertEqual(f.read(), new if replaced else old)
                self.assertEqual(os.listdir(folder), ["config.toml"])


if __name__ == "__main__":
    unittest.main()
