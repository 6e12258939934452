"""DLL planting: a DLL named like a system DLL that is not one of Windows'
KnownDLLs, lying next to the installer and in its current directory, is never
loaded. Wine is told to prefer such DLLs from the program's folder
(WINEDLLOVERRIDES=NAME=n,b), as Windows does for every DLL that is not a
KnownDLL; a control program that binds the DLLs the ordinary way does load
them, so the test can fail."""

import glob
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import installer_facts as facts
import velmor_test as vt
from https_server import HttpsServer
import test_ca

INSTALLER = os.environ["VELMOR_INSTALLER"]
PINNED_INSTALLER = os.environ["VELMOR_INSTALLER_PINNED"]
PROBE = os.environ["VELMOR_PLANT_PROBE"]
PLANTED = os.environ["VELMOR_PLANTED_DLLS"].split(",")
ABSENT_PROBE = os.environ["VELMOR_ABSENT_PROBE"]
ABSENT_DLL = os.environ["VELMOR_ABSENT_DLL"]

# KnownDLLs of both Windows 7 and Windows 10: always loaded from System32.
KNOWN_DLLS = {
    "advapi32", "clbcatq", "comdlg32", "difxapi", "gdi32", "imagehlp", "imm32", "kernel32",
    "msctf", "msvcrt", "normaliz", "nsi", "ole32", "oleaut32", "psapi", "rpcrt4", "sechost",
    "setupapi", "shell32", "shlwapi", "user32", "wldap32", "ws2_32",
}


def load_time_imports(program):
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", program], check=True,
                          stdout=subprocess.PIPE, text=True).stdout
    return {name.lower()[:-4] for name in re.findall(r"DLL Name: (\S+)", dump)}


def delay_loaded():
    folder = os.path.join(vt.SOURCE_DIR, "cmake", "delayload")
    return {os.path.basename(path)[:-4] for path in glob.glob(os.path.join(folder, "*.def"))}


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


class DllPlantingTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp()
        self.app = os.path.join(self.root, "Downloads")
        self.cwd = os.path.join(self.root, "cwd")
        self.markers = os.path.join(self.root, "markers")
        for folder in (self.app, self.cwd, self.markers):
            os.makedirs(folder)
        for dll in PLANTED:
            shutil.copy(dll, self.app)
            shutil.copy(dll, self.cwd)
        names = [os.path.basename(dll)[:-4] for dll in PLANTED]
        self.env = {
            "VELMOR_PLANT_MARKER_DIR": windows_path(self.markers),
            "WINEDLLOVERRIDES": ",".join(names) + "=n,b;mscoree,mshtml=",
        }

    def tearDown(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def loaded(self):
        return sorted(name[:-7] for name in os.listdir(self.markers))

    def test_every_dll_bound_at_load_time_is_a_known_dll(self):
        imports = load_time_imports(INSTALLER)
        self.assertTrue(imports, "no imports read")
        self.assertEqual(imports - KNOWN_DLLS, set())
        planted = {os.path.basename(dll)[:-4] for dll in PLANTED}
        self.assertEqual(delay_loaded(), planted, "every delay-loaded DLL is planted")

    def test_control_program_loads_the_planted_dlls(self):
        probe = shutil.copy(PROBE, self.app)
        code, _ = vt.run(probe, cwd=self.cwd, env=self.env)
        self.assertEqual(code, 0)
        self.assertEqual(self.loaded(), sorted(os.path.basename(d)[:-4] for d in PLANTED))

    def test_a_dll_system32_lacks_is_never_loaded_by_name(self):
        probe = shutil.copy(ABSENT_PROBE, self.app)
        shutil.copy(ABSENT_DLL, self.app)
        env = dict(self.env, WINEDLLOVERRIDES="velmorabsent=n,b;mscoree,mshtml=")
        # Control: by name, the file beside the program is found and loaded.
        self.assertEqual(vt.run(probe, "byname", cwd=self.cwd, env=env)[0], 0)
        self.assertEqual(self.loaded(), ["velmorabsent"])
        os.remove(os.path.join(self.markers, "velmorabsent.loaded"))
        # Through the delay-load hook, the load fails instead.
        self.assertEqual(vt.run(probe, cwd=self.cwd, env=env)[0], 3)
        self.assertEqual(self.loaded(), [])

    def test_installer_loads_none_of_them(self):
        # The test variant that pins a publisher downloads an unsigned package
        # from a local server, so WinHTTP, the hashing DLL and the signature
        # check's DLLs are loaded and used before the download failure box
        # shows and the markers are looked at.
        installer = shutil.copy(PINNED_INSTALLER, self.app)
        cert = test_ca.make_server_cert(os.environ["VELMOR_TEST_CA_DIR"], self.root, "plant")
        with HttpsServer(*cert, port=facts.test_port()) as server:
            for path in facts.PACKAGE_PATHS.values():
                server.add_file(path, data=b"not a program" * 1000)
            process = vt.start(installer, cwd=self.cwd, env=self.env)
            try:
                self.assertIsNotNone(vt.wait_window(), "installer window")
                box = vt.wait_box(caption=facts.CAPTION, text=facts.DOWNLOAD_FAILED,
                                  click="cancel", timeout_ms=50000)
                self.assertIsNotNone(box, "download failure box")
                self.assertTrue(vt.click_close())
                self.assertEqual(vt.wait_exit(process), 0)
            finally:
                vt.stop(process)
        self.assertEqual(self.loaded(), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
