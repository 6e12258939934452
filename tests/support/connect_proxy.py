"""A small HTTP proxy on 127.0.0.2 for the tests: it tunnels CONNECT
requests (mapping host names that resolve nowhere else to local ports),
logs every CONNECT, and serves a proxy auto-config script at /proxy.pac.
With logon=True it answers every CONNECT with 407, offering Negotiate and
NTLM, and never tunnels.

It listens on 127.0.0.2, not on the servers' 127.0.0.1: Wine's WinHTTP
sends no CONNECT to a proxy on the target's own host, only the request."""

import socket
import socketserver
import struct
import subprocess
import threading

# The user's proxy settings, as Windows' settings write them: the binary value
# DefaultConnectionSettings, whose flags say what is set.
CONNECTIONS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections"
DIRECT, FIXED_PROXY, PROXY_SCRIPT, AUTO_DETECT = 1, 2, 4, 8


def connection_settings(flags, proxy="", bypass="", script=""):
    """The value's bytes: version 0x46, a change counter, the flags, then the
    proxy list, the bypass list and the script's URL, each an 8-bit string
    after its length, and the fields Windows adds after them, zero here."""
    data = struct.pack("<III", 0x46, 1, flags)
    for text in (proxy, bypass, script):
        data += struct.pack("<I", len(text)) + text.encode("ascii")
    return data + bytes(32)


def write_user_proxy(env, settings):
    """Writes the settings (connection_settings' bytes) into the user's
    registry of the Wine prefix that env names, or removes them for None."""
    command = ["wine", "reg", "delete", CONNECTIONS, "/v", "DefaultConnectionSettings", "/f"]
    if settings is not None:
        command = ["wine", "reg", "add", CONNECTIONS, "/v", "DefaultConnectionSettings",
                   "/t", "REG_BINARY", "/d", settings.hex(), "/f"]
    result = subprocess.run(command, env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if settings is not None and result.returncode != 0:
        raise RuntimeError("wine reg add failed")


class _Handler(socketserver.StreamRequestHandler):
    timeout = 30  # a client that says nothing is let go

    def handle(self):
        owner = self.server.owner
        line = self.rfile.readline(8192).decode("latin-1").strip()
        while self.rfile.readline(8192) not in (b"\r\n", b"\n", b""):
            pass
        method, _, rest = line.partition(" ")
        target = rest.rsplit(" ", 1)[0]
        if method == "GET" and target.endswith("/proxy.pac"):
            owner._record("GET " + target)
            body = owner.script.encode()
            self.wfile.write(b"HTTP/1.1 200 OK\r\nContent-Type: application/x-ns-proxy-autoconfig"
                             b"\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % len(body) + body)
            return
        if method != "CONNECT":
            self.wfile.write(b"HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n"
                             b"Connection: close\r\n\r\n")
            return
        owner._record("CONNECT " + target)
        if owner.logon:
            self.wfile.write(b"HTTP/1.1 407 Proxy Authentication Required\r\n"
                             b"Proxy-Authenticate: Negotiate\r\nProxy-Authenticate: NTLM\r\n"
                             b"Content-Length: 0\r\nConnection: close\r\n\r\n")
            return
        host, _, port = target.rpartition(":")
        host, port = owner.hosts.get(host, (host, int(port)))
        try:
            upstream = socket.create_connection((host, port), timeout=10)
        except OSError:
            self.wfile.write(b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n")
            return
        with upstream:
            self.wfile.write(b"HTTP/1.1 200 Connection established\r\n\r\n")
            self.wfile.flush()
            _pipe(self.connection, upstream)


def _pipe(a, b):
    def copy(source, sink):
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    break
                sink.sendall(data)
        except OSError:
            pass
        try:
            sink.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    other = threading.Thread(target=copy, args=(b, a), daemon=True)
    other.start()
    copy(a, b)
    other.join()


class _Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


class ConnectProxy:
    """hosts maps a host name to (address, port) to connect to instead;
    script is the body of /proxy.pac."""

    def __init__(self, hosts=None, script="", logon=False):
        self.hosts = dict(hosts or {})
        self.script = script
        self.logon = logon
        self._log = []
        self._lock = threading.Lock()
        self._server = _Server(("127.0.0.2", 0), _Handler)
        self._server.owner = self
        self.port = self._server.server_address[1]
        self.address = "127.0.0.2:%d" % self.port

    def _record(self, entry):
        with self._lock:
            self._log.append(entry)

    def log(self):
        """What was asked of the proxy so far: "CONNECT host:port" and "GET path"."""
        with self._lock:
            return list(self._log)

    def connects(self):
        return [entry for entry in self.log() if entry.startswith("CONNECT ")]

    def __enter__(self):
        threading.Thread(target=self._server.serve_forever, daemon=True).start()
        return self

    def __exit__(self, *exc):
        self._server.shutdown()
        self._server.server_close()
