"""Test certificates made with openssl: a test CA that the build's Wine prefix
trusts (see trust-ca.cpp), and server certificates signed by it or by a CA
that nobody trusts.

    python3 test_ca.py make-ca DIR          # DIR/ca.pem, ca.key, ca.der (kept if present)
    python3 test_ca.py server DIR OUT NAME  # OUT/NAME.pem and NAME.key for 127.0.0.1
    python3 test_ca.py trust DIR PREFIX TRUST_CA_EXE
        # make-ca, then trust DIR/ca.der in the Wine PREFIX, wait until the
        # prefix's registry is on disk, check it, and leave DIR/.trusted

Nothing here touches the host's own trust store."""

import datetime
import os
import subprocess
import sys
import tempfile

DEFAULT_HOSTS = ("127.0.0.1", "localhost")


def _openssl(*args, cwd=None):
    result = subprocess.run(["openssl", *args], cwd=cwd, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if result.returncode != 0:
        raise RuntimeError("openssl %s failed: %s" % (args[0], result.stderr.decode(errors="replace")))


def make_ca(directory, name="Velmor Test CA"):
    """Creates DIR/ca.pem, ca.key and ca.der unless ca.der exists; returns the paths."""
    os.makedirs(directory, exist_ok=True)
    pem, key, der = (os.path.join(directory, n) for n in ("ca.pem", "ca.key", "ca.der"))
    if not os.path.exists(der):
        _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", pem,
                 "-days", "3650", "-subj", "/CN=" + name,
                 "-addext", "basicConstraints=critical,CA:TRUE",
                 "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        _openssl("x509", "-in", pem, "-outform", "DER", "-out", der + ".tmp")
        os.replace(der + ".tmp", der)
    return {"pem": pem, "key": key, "der": der}


def _stamp(moment):
    return moment.strftime("%Y%m%d%H%M%SZ")


def make_server_cert(ca_dir, out_dir, name, hosts=DEFAULT_HOSTS, expired=False,
                     code_signing=False, key=None):
    """Signs a server certificate for hosts (IP addresses go in as IP and DNS
    names) with the CA in ca_dir; expired=True gives one that ended last year;
    code_signing=True gives a code-signing certificate for hosts[0] as the
    publisher's name instead; key, an existing private key's path, is
    certified instead of a new one. Returns (certificate path, key path)."""
    os.makedirs(out_dir, exist_ok=True)
    cert = os.path.join(out_dir, name + ".pem")
    given_key, key = key, os.path.join(out_dir, name + ".key")
    now = datetime.datetime.now(datetime.timezone.utc)
    if expired:
        start, end = now - datetime.timedelta(days=400), now - datetime.timedelta(days=365)
    else:
        start, end = now - datetime.timedelta(days=1), now + datetime.timedelta(days=365)
    purpose = "extendedKeyUsage = codeSigning\n"
    alt_names = []
    for host in hosts if not code_signing else ():
        if host.replace(".", "").isdigit():
            alt_names.append("IP:" + host)
        alt_names.append("DNS:" + host)
    with tempfile.TemporaryDirectory() as work:
        config = os.path.join(work, "ca.cnf")
        with open(os.path.join(work, "index.txt"), "w"):
            pass
        with open(os.path.join(work, "serial"), "w") as f:
            f.write("%016X\n" % int.from_bytes(os.urandom(8), "big"))
        with open(config, "w") as f:
            f.write(f"""[ca]
default_ca = test
[test]
database = {work}/index.txt
serial = {work}/serial
new_certs_dir = {work}
certificate = {ca_dir}/ca.pem
private_key = {ca_dir}/ca.key
default_md = sha256
policy = anything
unique_subject = no
copy_extensions = none
x509_extensions = server
[anything]
commonName = supplied
[server]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
""" + (purpose if code_signing else
       "extendedKeyUsage = serverAuth\nsubjectAltName = %s\n" % ",".join(alt_names)))
        csr = os.path.join(work, "server.csr")
        if given_key:
            key = given_key
            _openssl("req", "-new", "-key", key, "-out", csr, "-subj", "/CN=" + hosts[0])
        else:
            _openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr,
                     "-subj", "/CN=" + hosts[0])
        _openssl("ca", "-batch", "-config", config, "-in", csr, "-out", cert, "-notext",
                 "-startdate", _stamp(start), "-enddate", _stamp(end))
    return cert, key


def _wine(prefix, *args):
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    # Output to nowhere: Wine's background helpers would hold a pipe open.
    code = subprocess.run(["wine", *args], env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
    # The registry reaches the prefix's files when the wineserver ends.
    subprocess.run(["wineserver", "-w"], env=env, check=False)
    return code


def trust(directory, prefix, tool):
    """Makes the CA and trusts it in prefix's user Root store (trust-ca.cpp
    says why that store); raises when it did not stick."""
    ca = make_ca(directory)
    der = "Z:" + os.path.abspath(ca["der"])
    if _wine(prefix, tool, der) != 0:
        raise RuntimeError("trust-ca could not add the test CA to %s" % prefix)
    if _wine(prefix, tool, "--check", der) != 0:
        raise RuntimeError("the test CA is not in the Root store of %s after adding it" % prefix)
    with open(os.path.join(directory, ".trusted"), "w"):
        pass


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "trust":
        trust(sys.argv[2], sys.argv[3], sys.argv[4])
        sys.exit(0)
    if len(sys.argv) == 3 and sys.argv[1] == "make-ca":
        print(make_ca(sys.argv[2])["der"])
    elif len(sys.argv) == 5 and sys.argv[1] == "server":
        print(*make_server_cert(sys.argv[2], sys.argv[3], sys.argv[4]))
    else:
        sys.exit(__doc__)
