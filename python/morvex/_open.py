"""Shows a trace in Perfetto's web UI (`morvex open`, `morvex run --open`).

The UI, loaded from https://ui.perfetto.dev, fetches a trace from a URL it
is given; it accepts URLs of 127.0.0.1:9001. This serves the one file there,
to the UI's origin only, until it has been fetched once (or Ctrl-C), and
points a browser at the UI with the trace's URL.
"""

import http.server
import os
import sys
import urllib.parse
import webbrowser

UI = "https://ui.perfetto.dev"


class _Handler(http.server.BaseHTTPRequestHandler):
    def _cors(self):
        self.send_header("Access-Control-Allow-Origin", UI)
        self.send_header("Cache-Control", "no-cache")

    def do_OPTIONS(self):  # the UI may ask first
        self.send_response(200)
        self._cors()
        self.send_header("Access-Control-Allow-Methods", "GET")
        self.end_headers()

    def do_GET(self):
        if urllib.parse.unquote(self.path) != "/" + self.server.name:
            self.send_error(404)
            return
        with open(self.server.path, "rb") as f:
            data = f.read()
        self.send_response(200)
        self._cors()
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)
        self.server.fetched = True

    def log_message(self, format, *args):  # quiet: the one line below says it all
        pass


def serve(path, port=9001, browser=True):
    """Serves `path` until it was fetched once; returns the exit status."""
    path = os.fspath(path)
    if not os.path.isfile(path):
        raise FileNotFoundError(f"no trace file {path!r}")
    name = os.path.basename(path)
    server = http.server.HTTPServer(("127.0.0.1", port), _Handler)
    server.path, server.name, server.fetched = path, name, False
    trace_url = f"http://127.0.0.1:{port}/{urllib.parse.quote(name)}"
    url = f"{UI}/#!/?url={trace_url}"
    print(f"Serving {path} at {trace_url} until Perfetto's UI fetches it (Ctrl-C stops).",
          flush=True)
    if not browser or not webbrowser.open(url):
        print(f"Open {url}", flush=True)
    try:
        while not server.fetched:
            server.handle_request()
    except KeyboardInterrupt:
        return 130
    finally:
        server.server_close()
    return 0
