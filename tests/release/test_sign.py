"""Signing a release: scripts/sign gives the real installer an Authenticode
SHA-256 signature with a throwaway code-signing certificate under a throwaway
CA; osslsigncode verifies it against that CA only, and a signed file that was
changed afterwards fails. Wine's WinVerifyTrust checks the signature's digest
(but not the chain: it accepts a CA it does not trust, so that is not tested)."""

import os
import shutil
import subprocess
import tempfile
import unittest

import velmor_test as vt
from https_server import windows_path
import test_ca

INSTALLER = os.environ["VELMOR_INSTALLER"]
VERIFY_TRUST = os.environ["VELMOR_VERIFY_TRUST"]
SIGN = os.path.join(vt.SOURCE_DIR, "scripts", "sign")
NO_SIGNATURE = "800b0100"  # TRUST_E_NOSIGNATURE
BAD_DIGEST = "80096010"  # TRUST_E_BAD_DIGEST


def osslsigncode_verify(exe, ca):
    result = subprocess.run(["osslsigncode", "verify", "-CAfile", ca, "-in", exe],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    return result.returncode, result.stdout.decode("utf-8", "replace")


class SignTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="velmor-sign-")
        ca_dir = os.path.join(self.work, "ca")
        self.ca = test_ca.make_ca(ca_dir, name="Velmor Throwaway Signing CA")["pem"]
        self.other_ca = test_ca.make_ca(os.path.join(self.work, "other"), name="Other CA")["pem"]
        self.cert, self.key = test_ca.make_server_cert(
            ca_dir, self.work, "publisher", hosts=("Velmor Test Publisher",), code_signing=True)

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def copy(self, name):
        return shutil.copy(INSTALLER, os.path.join(self.work, name))

    def test_signed_installer_verifies_and_a_changed_one_does_not(self):
        signed = self.copy("signed.exe")
        subprocess.run([SIGN, signed, self.cert, self.key], check=True,
                       stdout=subprocess.DEVNULL)
        code, report = osslsigncode_verify(signed, self.ca)
        self.assertEqual(code, 0, report)
        self.assertIn("Message digest algorithm  : SHA256", report)
        self.assertIn("Signature verification: ok", report)
        self.assertNotEqual(osslsigncode_verify(signed, self.other_ca)[0], 0,
                            "verified against a CA that did not sign it")

        changed = os.path.join(self.work, "changed.exe")
        shutil.copy(signed, changed)
        with open(changed, "r+b") as f:
            f.seek(4096)  # in the code, far from the signature at the end
            byte = f.read(1)
            f.seek(4096)
            f.write(bytes([byte[0] ^ 0xFF]))
        self.assertNotEqual(osslsigncode_verify(changed, self.ca)[0], 0)

        unsigned = self.copy("unsigned.exe")
        for exe, expected in ((signed, "00000000"), (changed, BAD_DIGEST),
                              (unsigned, NO_SIGNATURE)):
            with self.subTest(os.path.basename(exe)):
                self.assertEqual(vt.run(VERIFY_TRUST, windows_path(exe))[1].strip(),
                                 expected)


if __name__ == "__main__":
    unittest.main(verbosity=2)
