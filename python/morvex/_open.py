"""Shows a trace in Perfetto's web UI (`morvex open`, `morvex run --open`).

The UI, loaded from https://ui.perfetto.dev, fetches a trace from a URL it
is given; it accepts URLs of 127.0.0.1:9001. A UI served from this machine
(http://localhost or http://127.0.0.1, any port: how Perfetto is used
offline) takes any address. This serves the one file on 127.0.0.1 to web
pages of those origins and of those the caller names, until Ctrl-C, or with
`once` until one page has received it whole, and points a browser at the UI
with the trace's URL. Each delivery, refusal and cut-off transfer is one
line on standard output.

A delivery counts once every byte has reached the client: its system has
acknowledged them all (as far as this system can tell), or it closed the
connection having read them. A client that went away midway only gets a
line saying so.

Each connection is served on a thread of its own: a browser opens
connections it may never send a request on (a preconnect), and one of those
must not keep the UI's real request waiting. A connection idle for
IDLE_SECONDS is closed; those still open when serving ends are cut, so that
nothing is left running behind the caller.
"""

import errno
import fcntl
import http.server
import os
import re
import select
import socket
import struct
import sys
import termios
import threading
import time
import urllib.parse
import webbrowser

UI = "https://ui.perfetto.dev"
# The only port ui.perfetto.dev fetches traces from.
UI_PORT = 9001
# A UI on this machine, on any port.
LOCAL_ORIGIN = re.compile(r"http://(localhost|127\.0\.0\.1)(:[0-9]{1,5})?")
WEB_ORIGIN = re.compile(r"https?://[A-Za-z0-9.:\[\]-]+")
IDLE_SECONDS = 60
# How often the serving loop looks whether serving should end, and a sent
# trace whether the client has it all.
POLL_SECONDS = 0.2
CHECK_SECONDS = 0.02
# Characters of a refused origin shown: a header can be long.
SHOWN_ORIGIN = 100


class PortInUse(OSError):
    def __init__(self, port):
        super().__init__(f"port {port} is in use (by another morvex open?); ui.perfetto.dev "
                         f"fetches traces only from port {UI_PORT}, a local Perfetto UI from any "
                         "port (--port)")
        self.errno = errno.EADDRINUSE


def _unacknowledged(sock):
    """Bytes sent on `sock` its peer has not acknowledged; None where the
    system does not say."""
    try:
        return struct.unpack("i", fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, b"\0" * 4))[0]
    except (AttributeError, OSError):
        return None


def _shown_origin(origin):
    """A header's text as a terminal line takes it: printable ASCII."""
    text = "".join(c if c.isascii() and c.isprintable() else f"\\x{ord(c):02x}" for c in origin)
    return text if len(text) <= SHOWN_ORIGIN else text[:SHOWN_ORIGIN - 3] + "..."


class _Handler(http.server.BaseHTTPRequestHandler):
    timeout = IDLE_SECONDS

    def _origin(self):
        """The page asking: its origin, "" when the request names none (not
        a browser's page), or None when it is refused (and answered so)."""
        origin = self.headers.get("Origin")
        if origin is None:
            return ""
        if self.server.allows(origin):
            return origin
        shown = _shown_origin(origin)
        # Only what --origin takes is worth suggesting ("null" is not).
        hint = f" (--origin {shown} allows it)" if WEB_ORIGIN.fullmatch(origin) else ""
        self.server.say(f"Refused {self.server.shown} to {shown}: not an allowed origin{hint}.")
        self.send_error(403, "Origin not allowed")
        return None

    def _cors(self, origin):
        if origin:
            self.send_header("Access-Control-Allow-Origin", origin)
        self.send_header("Vary", "Origin")
        self.send_header("Cache-Control", "no-cache")

    def do_OPTIONS(self):  # the UI may ask first
        origin = self._origin()
        if origin is None:
            return
        self.send_response(200)
        self._cors(origin)
        self.send_header("Access-Control-Allow-Methods", "GET")
        # Chrome asks before a public page reads from this machine.
        if self.headers.get("Access-Control-Request-Private-Network") == "true":
            self.send_header("Access-Control-Allow-Private-Network", "true")
        self.end_headers()

    def do_GET(self):
        # Compared as bytes: a file name need not be UTF-8.
        if urllib.parse.unquote_to_bytes(self.path) != b"/" + self.server.name:
            self.send_error(404)
            return
        origin = self._origin()
        if origin is None:
            return
        try:
            f = open(self.server.path, "rb")
        except OSError as e:  # deleted or replaced while it was being served
            self.send_error(404)
            self.server.fail(e)
            return
        with f:
            size = os.fstat(f.fileno()).st_size
            self.send_response(200)
            self._cors(origin)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(size))
            self.end_headers()
            # Straight from the file: a trace of gigabytes is never in memory.
            try:
                sent = self.connection.sendfile(f, 0, size)
            except (ConnectionError, TimeoutError):
                self.server.cut(origin)
                return
        if sent < size:
            self.server.fail(OSError(f"{self.server.shown} shrank while it was being sent"))
            return
        if not self._received():
            self.server.cut(origin)
            return
        self.server.delivered(origin)

    def _received(self):
        """Waits until the client has every byte sent, or cannot have."""
        sock = self.connection
        deadline = time.monotonic() + IDLE_SECONDS
        while True:
            if _unacknowledged(sock) == 0:
                return True
            readable, _, _ = select.select([sock], [], [], CHECK_SECONDS)
            if readable:
                try:
                    data = sock.recv(1 << 16)
                except OSError:  # reset: it went away with bytes unread
                    return False
                if not data:
                    # Closed: after reading it all, or midway with bytes
                    # still on their way, which it will never read.
                    return _unacknowledged(sock) in (0, None)
            if time.monotonic() > deadline:
                # Not a word from it, and bytes still unacknowledged (or
                # no way to know): it is not reading.
                return False

    def log_message(self, format, *args):  # quiet: the lines of the server say it all
        pass


class _Server(http.server.ThreadingHTTPServer):
    timeout = POLL_SECONDS

    def __init__(self, address, path, once, origins):
        try:
            super().__init__(address, _Handler)
        except OSError as e:
            if e.errno == errno.EADDRINUSE:
                raise PortInUse(address[1]) from None
            raise
        self.path = path
        self.name = os.fsencode(os.path.basename(path))
        self.shown = _shown(path)
        self.once = once
        self.origins = {UI, *origins}
        self.deliveries = 0
        self.closing = False
        self.done = threading.Event()
        self.failure = None
        self._lock = threading.Lock()
        self._open = set()  # connections being served

    def allows(self, origin):
        # Compared as browsers write origins: in lower case, without a path.
        origin = origin.lower()
        return origin in self.origins or LOCAL_ORIGIN.fullmatch(origin) is not None

    def say(self, line):
        with self._lock:
            _say(line)

    def delivered(self, origin):
        if not origin:
            # curl, or a browser's address bar: no UI that asked for it.
            self.say(f"Sent {self.shown} to a client outside a web page (no Origin header).")
            return
        with self._lock:
            self.deliveries += 1
            _say(f"Delivered {self.shown} to {origin}.")
        if self.once:
            self.done.set()

    def cut(self, origin):
        if self.closing:  # cut by the server itself, which is done
            return
        self.say(f"Not delivered to {origin or 'a client'}: the connection ended before the "
                 "whole trace was sent.")

    def fail(self, error):
        with self._lock:
            self.failure = self.failure or error
        self.done.set()

    def process_request(self, request, client_address):
        with self._lock:
            self._open.add(request)
        super().process_request(request, client_address)

    def shutdown_request(self, request):
        with self._lock:
            self._open.discard(request)
        super().shutdown_request(request)

    def handle_error(self, request, client_address):
        error = sys.exception()
        # A client that went away or said nothing for too long: another may come.
        if not isinstance(error, (ConnectionError, TimeoutError)):
            self.fail(error)

    def cut_connections(self):
        """Ends what each open connection waits for, so its thread returns."""
        with self._lock:
            self.closing = True
            connections = list(self._open)
        for c in connections:
            try:
                c.shutdown(socket.SHUT_RDWR)
            except OSError:  # closed meanwhile
                pass


def _shown(path):
    """The path as text that any terminal takes: undecodable bytes escaped."""
    return os.fsencode(path).decode(sys.getfilesystemencoding(), "backslashreplace")


def _say(line):
    try:
        print(line, flush=True)
    except UnicodeEncodeError:  # a stream in a narrower encoding
        encoding = sys.stdout.encoding or "ascii"
        print(line.encode(encoding, "backslashreplace").decode(encoding), flush=True)


def serve(path, port=UI_PORT, browser=True, *, once=False, origins=()):
    """Serves `path` until Ctrl-C, or with `once` until it was delivered to a
    web page; returns the exit status. `origins`: pages allowed beside
    Perfetto's and local ones, as their Origin header writes them. Raises
    OSError when it cannot be served (PortInUse when the port is taken)."""
    path = os.fspath(path)
    if not os.path.isfile(path):
        raise FileNotFoundError(f"no trace file {path!r}")
    server = _Server(("127.0.0.1", port), path, once, origins)
    trace_url = f"http://127.0.0.1:{port}/{urllib.parse.quote(server.name)}"
    url = f"{UI}/#!/?url={trace_url}"
    interrupted = False
    try:
        if once:
            _say(f"Serving {server.shown} at {trace_url} until Perfetto's UI fetches it "
                 "(Ctrl-C stops).")
        else:
            _say(f"Serving {server.shown} at {trace_url} to Perfetto's UI, or one on this "
                 "machine, until Ctrl-C.")
        if not browser or not webbrowser.open(url):
            _say(f"Open {url}")
        while not server.done.is_set():
            server.handle_request()
    except KeyboardInterrupt:
        interrupted = True
    finally:
        server.cut_connections()
        server.server_close()  # and waits for the connections' threads
    if server.failure is not None:
        raise server.failure
    if not interrupted:
        return 0
    if once:  # stopped before it was done
        return 130
    n = server.deliveries
    _say(f"Stopped after {n} deliver{'y' if n == 1 else 'ies'}.")
    return 0
