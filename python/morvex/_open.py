"""Shows a trace in Perfetto's web UI (`morvex open`, `morvex run --open`).

The UI, loaded from https://ui.perfetto.dev, fetches a trace from a URL it
is given; it accepts URLs of 127.0.0.1:9001. This serves the one file there,
to the UI's origin only, until it has been fetched once (or Ctrl-C), and
points a browser at the UI with the trace's URL.

Each connection is served on a thread of its own: a browser opens
connections it may never send a request on (a preconnect), and one of those
must not keep the UI's real request waiting. A connection idle for
IDLE_SECONDS is closed; those still open when the trace has been fetched are
cut, so that nothing is left running behind the caller.
"""

import http.server
import os
import socket
import sys
import threading
import urllib.parse
import webbrowser

UI = "https://ui.perfetto.dev"
IDLE_SECONDS = 60
# How often the serving loop looks whether the trace has been fetched.
POLL_SECONDS = 0.2


class _Handler(http.server.BaseHTTPRequestHandler):
    timeout = IDLE_SECONDS

    def _cors(self):
        self.send_header("Access-Control-Allow-Origin", UI)
        self.send_header("Cache-Control", "no-cache")

    def do_OPTIONS(self):  # the UI may ask first
        self.send_response(200)
        self._cors()
        self.send_header("Access-Control-Allow-Methods", "GET")
        self.end_headers()

    def do_GET(self):
        # Compared as bytes: a file name need not be UTF-8.
        if urllib.parse.unquote_to_bytes(self.path) != b"/" + self.server.name:
            self.send_error(404)
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
            self._cors()
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(size))
            self.end_headers()
            # Straight from the file: a trace of gigabytes is never in memory.
            sent = self.connection.sendfile(f, 0, size)
        if sent < size:
            self.server.fail(OSError(f"{self.server.shown} shrank while it was being sent"))
            return
        self.server.fetched()

    def log_message(self, format, *args):  # quiet: the one line below says it all
        pass


class _Server(http.server.ThreadingHTTPServer):
    timeout = POLL_SECONDS

    def __init__(self, address, path):
        super().__init__(address, _Handler)
        self.path = path
        self.name = os.fsencode(os.path.basename(path))
        self.shown = _shown(path)
        self.done = threading.Event()
        self.failure = None
        self._lock = threading.Lock()
        self._open = set()  # connections being served

    def fetched(self):
        self.done.set()

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


def serve(path, port=9001, browser=True):
    """Serves `path` until it was fetched once; returns the exit status.
    Raises OSError when it cannot be served."""
    path = os.fspath(path)
    if not os.path.isfile(path):
        raise FileNotFoundError(f"no trace file {path!r}")
    server = _Server(("127.0.0.1", port), path)
    trace_url = f"http://127.0.0.1:{port}/{urllib.parse.quote(server.name)}"
    url = f"{UI}/#!/?url={trace_url}"
    try:
        _say(f"Serving {server.shown} at {trace_url} until Perfetto's UI fetches it "
             "(Ctrl-C stops).")
        if not browser or not webbrowser.open(url):
            _say(f"Open {url}")
        while not server.done.is_set():
            server.handle_request()
    except KeyboardInterrupt:
        return 130
    finally:
        server.cut_connections()
        server.server_close()  # and waits for the connections' threads
    if server.failure is not None:
        raise server.failure
    return 0
