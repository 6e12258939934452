"""A real HTTPS server on 127.0.0.1 for the tests, on Python's standard library.

    from https_server import HttpsServer
    with HttpsServer(cert, key) as server:          # port=0: a free port
        server.add_file("/pkg", data=b"...")         # or file="/path", rate=, delay=
        server.add_route("/odd", lambda request: request.send_error(500))
        ... fetch server.url("/pkg") ...
        server.requests()                            # what arrived, in order

Besides the registered routes the server answers scenario routes, chosen by
the path itself; the first segment is a tag of the caller's choice (so that a
test finds its own requests in the log), the rest names the scenario:

    /TAG/bytes/N              200, N bytes of a fixed pattern, Content-Length
    /TAG/chunked/N            200, N bytes, chunked, no Content-Length
    /TAG/short/N/ANNOUNCED    200, Content-Length ANNOUNCED, N bytes, then close
    /TAG/reset/N/ANNOUNCED    the same, then a TCP reset instead of a close
    /TAG/chunked-short/N      chunked, N bytes, then close without the last chunk
    /TAG/chunked-reset/N      the same, then a TCP reset
    /TAG/garbage/N            200, chunked, N bytes, then bytes that are no TLS record
    /TAG/hangup/X             closes the connection without any response
    /TAG/status/CODE          that status, no body for 1xx/204/304
    /TAG/redirect/CODE/REST   that status, Location https://127.0.0.1:PORT/TAG/REST
    /TAG/bare/CODE            that status without a Location header
    /TAG/location/CODE?VALUE  that status with Location VALUE, percent-decoded
                              (so that it may hold a "#", which no client sends)
    /TAG/long-location/CODE/UNITS   Location of exactly UNITS characters
                                    pointing at /TAG/bytes/... on this server
    /TAG/resumable/MODE/N     N bytes with Accept-Ranges and a strong ETag; the
                              first response breaks off after 30 %, and a
                              request with a Range and a matching If-Range
                              gets a 206 with the rest. MODE changes that:
                                drop      as said
                                ignore    ranges are ignored: 200, whole body
                                etag      the body (and its ETag) changed after
                                          the first response
                                badrange  the first 206 names the wrong range
                                nototal   the 206 gives the length as "*"
                                always    every response breaks off after
                                          10 % of the file
                                weak      a weak ETag only
                                longetag  an ETag of 1200 characters
                                silent    no answer to the second request
                                lastmod-new  no ETag; Last-Modified is now
                                lastmod-old  no ETag; Last-Modified a day ago
                                gone      404 to every later request

Run as a script it serves until killed and prints its port:
    python3 https_server.py CERT KEY [--port N] [--file URLPATH=FILE ...] [--log FILE]
"""

import argparse
import collections
import email.utils
import fcntl
import http.server
import os
import socket
import ssl
import struct
import sys
import termios
import threading
import time
import urllib.parse

Request = collections.namedtuple("Request", "method path user_agent client_port range")

_CYCLE = bytes(range(251)) * 1045  # a little over 256 KiB


def pattern_bytes(size, offset=0):
    """The fixed content of the scenario bodies: byte i is (i mod 251)."""
    out = bytearray()
    while len(out) < size:
        start = (offset + len(out)) % 251
        out += _CYCLE[start:start + min(size - len(out), len(_CYCLE) - 251)]
    return bytes(out)


def _no_body(code):
    return code < 200 or code in (204, 304)


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep-alive allowed, so reuse would show
    server_version = "VelmorTestServer"

    def log_message(self, *args):
        pass

    def do_GET(self):
        # A target in absolute form names the same resource (clients send it
        # to a proxy, and Wine sends it through a proxy's tunnel too).
        if self.path.lower().startswith(("https://", "http://")):
            target = urllib.parse.urlsplit(self.path)
            self.path = (target.path or "/") + ("?" + target.query if target.query else "")
        self.server.owner._log(self)
        self.server.owner._dispatch(self)

    do_HEAD = do_GET
    do_POST = do_GET

    # Helpers for route handlers.
    def send_simple(self, code, body=b"", headers=()):
        self.send_response(code)
        for name, value in headers:
            self.send_header(name, value)
        if not _no_body(code):
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if not _no_body(code) and self.command != "HEAD":
            self.wfile.write(body)

    def send_body(self, source, size, chunked=False, rate=None, announced=None,
                  last_chunk=True, status=200, headers=()):
        """Sends a 200 (or status) with size bytes from source(offset, count);
        announced overrides the Content-Length, last_chunk=False leaves a
        chunked body unfinished; headers are added."""
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        for name, value in headers:
            self.send_header(name, value)
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Content-Length", str(size if announced is None else announced))
        self.end_headers()
        offset = 0
        started = time.monotonic()
        while offset < size:
            count = min(256 * 1024 if rate is None else max(1, min(rate // 10, 65536)),
                        size - offset)
            data = source(offset, count)
            if chunked:
                self.wfile.write(b"%x\r\n" % len(data) + data + b"\r\n")
            else:
                self.wfile.write(data)
            offset += count
            if rate:
                ahead = offset / rate - (time.monotonic() - started)
                if ahead > 0:
                    time.sleep(ahead)
        if chunked and last_chunk:
            self.wfile.write(b"0\r\n\r\n")
        self.wfile.flush()

    def hang_up(self, reset=False):
        """Ends the connection now; reset=True sends a TCP RST."""
        self.wfile.flush()
        self.close_connection = True
        raw = self.connection
        if reset:
            # A reset makes the client's system drop what its program has not
            # read yet: wait until the client acknowledged everything and had
            # a moment to read it, so that the reset lands mid-body.
            deadline = time.monotonic() + 5
            while time.monotonic() < deadline:
                unsent = fcntl.ioctl(raw.fileno(), termios.TIOCOUTQ, struct.pack("i", 0))
                if struct.unpack("i", unsent)[0] == 0:
                    break
                time.sleep(0.01)
            time.sleep(0.2)
            # Linger 0: closing sends RST, with no TLS goodbye before it.
            raw.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            raw.close()
        else:
            try:
                raw.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        pass  # broken connections are what some scenarios are about


class HttpsServer:
    def __init__(self, certfile, keyfile, port=0, host="127.0.0.1", log_path=None):
        self.host = host
        self._routes = {}
        self._served = {}
        self._log_lock = threading.Lock()
        self._requests = []
        self._log_path = log_path
        self._server = _Server((host, port), _Handler, bind_and_activate=True)
        self._server.owner = self
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(certfile, keyfile)
        self._server.socket = context.wrap_socket(self._server.socket, server_side=True)
        self.port = self._server.server_address[1]
        self._thread = None
        if log_path:
            open(log_path, "w").close()

    # Life.
    def start(self):
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()
        return self

    def stop(self):
        self._server.shutdown()
        self._server.server_close()
        if self._thread:
            self._thread.join()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    @property
    def base_url(self):
        return "https://%s:%d" % (self.host, self.port)

    def url(self, path):
        return self.base_url + path

    # Routes.
    def add_route(self, path, handler):
        """handler(request) answers GETs of exactly path (query excluded);
        request is the BaseHTTPRequestHandler, with send_simple, send_body
        and hang_up added."""
        self._routes[path] = handler

    def add_file(self, path, data=None, file=None, delay=0.0, rate=None, chunked=False):
        """Serves bytes or a file's contents with status 200; delay seconds
        before the response, rate bytes per second at most."""
        if file is not None:
            size = os.path.getsize(file)

            def source(offset, count):
                with open(file, "rb") as f:
                    f.seek(offset)
                    return f.read(count)
        else:
            size = len(data)

            def source(offset, count):
                return data[offset:offset + count]

        def handler(request):
            if delay:
                time.sleep(delay)
            if file is not None:
                with open(file, "rb") as f:  # one open for the whole body
                    request.send_body(lambda o, c: f.read(c), size, chunked=chunked, rate=rate)
            else:
                request.send_body(source, size, chunked=chunked, rate=rate)

        self.add_route(path, handler)

    # The log.
    def requests(self, prefix=""):
        with self._log_lock:
            return [r for r in self._requests if r.path.startswith(prefix)]

    def clear(self):
        with self._log_lock:
            self._requests.clear()

    def _log(self, request):
        entry = Request(request.command, request.path, request.headers.get("User-Agent", ""),
                        request.client_address[1], request.headers.get("Range", ""))
        with self._log_lock:
            self._requests.append(entry)
            if self._log_path:
                with open(self._log_path, "a", encoding="utf-8", newline="\n") as f:
                    f.write("%d\t%s\t%s\t%s\t%s\n" % (entry.client_port, entry.method, entry.path,
                                                      entry.user_agent, entry.range))

    # Dispatch.
    def _dispatch(self, request):
        path, _, query = request.path.partition("?")
        handler = self._routes.get(path)
        if handler:
            handler(request)
            return
        if not self._scenario(request, path, query):
            request.send_simple(404, b"no such route\n")

    def _resumable(self, request, path, mode, size):
        with self._log_lock:
            count, modified = self._served.get(path, (0, time.time()))
            count += 1
            self._served[path] = (count, modified)
        if mode == "gone" and count > 1:
            request.send_simple(404)
            return
        if mode == "silent" and count == 2:
            time.sleep(60)  # far past the client's bound
            request.hang_up()
            return
        changed = mode == "etag" and count > 1
        shift = 7 if changed else 0
        if mode.startswith("lastmod"):
            age = 86400 if mode == "lastmod-old" else 0
            validator = email.utils.formatdate(modified - age, usegmt=True)
            headers = [("Accept-Ranges", "bytes"), ("Last-Modified", validator)]
        else:
            validator = ('"v2"' if changed else '"v1"') if mode != "weak" else 'W/"v1"'
            if mode == "longetag":  # within Wine's 1460-byte header line
                validator = '"%s"' % ("v" * 1198)
            headers = [("Accept-Ranges", "bytes"), ("ETag", validator)]
        asked = request.headers.get("Range", "")
        start = None
        if (mode != "ignore" and asked.startswith("bytes=") and asked.endswith("-")
                and request.headers.get("If-Range") == validator):
            start = int(asked[len("bytes="):-1])
        if start is None:
            cut = size * 3 // 10 if count == 1 else size // 10 if mode == "always" else size
            request.send_body(lambda o, c: pattern_bytes(c, o + shift), cut, announced=size,
                              headers=headers)
        else:
            first = start + 1 if mode == "badrange" and count == 2 else start
            total = "*" if mode == "nototal" else str(size)
            headers.append(("Content-Range", "bytes %d-%d/%s" % (first, size - 1, total)))
            rest = size - start
            cut = min(rest, size // 10) if mode == "always" else rest
            request.send_body(lambda o, c: pattern_bytes(c, start + o), cut, announced=rest,
                              status=206, headers=headers)
        if cut < (size if start is None else size - start):
            request.hang_up()

    def _scenario(self, request, path, query):
        parts = path.split("/")
        if len(parts) < 4 or parts[0] != "":
            return False
        tag, kind, args = parts[1], parts[2], parts[3:]
        try:
            if kind == "bytes":
                size = int(args[0])
                request.send_body(lambda o, c: pattern_bytes(c, o), size)
            elif kind == "chunked":
                size = int(args[0])
                request.send_body(lambda o, c: pattern_bytes(c, o), size, chunked=True)
            elif kind in ("short", "reset"):
                size, announced = int(args[0]), int(args[1])
                request.send_body(lambda o, c: pattern_bytes(c, o), size, announced=announced)
                request.hang_up(reset=(kind == "reset"))
            elif kind == "garbage":
                size = int(args[0])
                request.send_body(lambda o, c: pattern_bytes(c, o), size, chunked=True,
                                  last_chunk=False)
                # Past TLS, onto the connection itself: the client's next
                # read fails to decrypt.
                os.write(request.connection.fileno(), b"\x17\x03\x03\x00\x20" + bytes(32))
                time.sleep(0.5)
                request.hang_up()
            elif kind == "hangup":
                request.hang_up()
            elif kind in ("chunked-short", "chunked-reset"):
                size = int(args[0])
                request.send_body(lambda o, c: pattern_bytes(c, o), size, chunked=True,
                                  last_chunk=False)
                request.hang_up(reset=(kind == "chunked-reset"))
            elif kind == "status":
                code = int(args[0])
                request.send_simple(code, b"" if _no_body(code) else b"status body\n")
            elif kind == "redirect":
                target = "%s/%s/%s" % (self.base_url, tag, "/".join(args[1:]))
                request.send_simple(int(args[0]), headers=[("Location", target)])
            elif kind == "bare":
                request.send_simple(int(args[0]))
            elif kind == "location":
                request.send_simple(int(args[0]),
                                    headers=[("Location", urllib.parse.unquote(query))])
            elif kind == "resumable":
                self._resumable(request, path, args[0], int(args[1]))
            elif kind == "long-location":
                units = int(args[1])
                start = "%s/%s/bytes/100/" % (self.base_url, tag)
                if units < len(start):
                    return False
                request.send_simple(int(args[0]),
                                    headers=[("Location", start + "x" * (units - len(start)))])
            else:
                return False
        except (ValueError, IndexError):
            return False
        return True


def windows_path(path):
    """How a Windows program under Wine names a Linux path."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def main(argv=None):
    parser = argparse.ArgumentParser(description="HTTPS test server on 127.0.0.1")
    parser.add_argument("cert")
    parser.add_argument("key")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--file", action="append", default=[], metavar="URLPATH=FILE")
    parser.add_argument("--log", help="append one line per request: port, method, path, agent")
    args = parser.parse_args(argv)
    server = HttpsServer(args.cert, args.key, port=args.port, log_path=args.log)
    for item in args.file:
        route, _, file = item.partition("=")
        server.add_file(route, file=file)
    server.start()
    print(server.port, flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass
    finally:
        server.stop()


if __name__ == "__main__":
    sys.exit(main())
