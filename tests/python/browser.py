"""Headless Chromium driven through the DevTools protocol, for the tests that check what a
browser makes of our files (the SVG flame graph's script). No dependency beyond the chromium
program: the protocol goes over the pipe Chromium opens with --remote-debugging-pipe (commands
in on fd 3, answers and events out on fd 4, each message JSON ended by a NUL byte)."""
import base64
import fcntl
import json
import os
import select
import shutil
import subprocess
import tempfile
import time

CANDIDATES = ("chromium", "chromium-browser", "google-chrome", "google-chrome-stable")


def find_chromium():
    for name in CANDIDATES:
        path = shutil.which(name)
        if path:
            return path
    return None


class BrowserError(RuntimeError):
    pass


def browser_environment():
    """This process's environment less what a sanitized test run preloads:
    the browser is not ours to run under AddressSanitizer."""
    return {k: v for k, v in os.environ.items()
            if k != "LD_PRELOAD" and not k.startswith(("ASAN_", "UBSAN_", "LSAN_"))}


class Page:
    """One tab of a fresh headless browser, `width` x `height` CSS pixels."""

    def __init__(self, width=1400, height=900, timeout=60.0):
        program = find_chromium()
        if program is None:
            raise BrowserError("no chromium on PATH")
        self.timeout = timeout
        self._profile = tempfile.TemporaryDirectory(prefix="morvex-chromium-",
                                                    ignore_cleanup_errors=True)
        to_browser_r, self._to_browser = os.pipe()
        self._from_browser, from_browser_w = os.pipe()
        # Above the numbers the child needs, so that placing one cannot close the other.
        high_r = fcntl.fcntl(to_browser_r, fcntl.F_DUPFD_CLOEXEC, 10)
        high_w = fcntl.fcntl(from_browser_w, fcntl.F_DUPFD_CLOEXEC, 10)
        for fd in (to_browser_r, from_browser_w):
            os.close(fd)

        def place_pipes():
            os.dup2(high_r, 3)
            os.dup2(high_w, 4)

        self._proc = subprocess.Popen(
            [program, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--remote-debugging-pipe", f"--user-data-dir={self._profile.name}",
             f"--window-size={width},{height}", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=place_pipes, close_fds=False, env=browser_environment())
        os.close(high_r)
        os.close(high_w)
        self._buffer = b""
        self._next_id = 0
        self._session = None
        try:
            target = self.call("Target.createTarget", url="about:blank")["targetId"]
            self._session = self.call("Target.attachToTarget", targetId=target,
                                      flatten=True)["sessionId"]
            self.call("Emulation.setDeviceMetricsOverride", width=width, height=height,
                      deviceScaleFactor=1, mobile=False)
        except BaseException:
            self.close()
            raise

    def _read_message(self, deadline):
        while b"\0" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise BrowserError("no answer from chromium in time")
            ready, _, _ = select.select([self._from_browser], [], [], left)
            if not ready:
                continue
            chunk = os.read(self._from_browser, 1 << 20)
            if not chunk:
                raise BrowserError("chromium closed its end of the pipe")
            self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(message)

    def call(self, method, **params):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params}
        if self._session is not None:
            message["sessionId"] = self._session
        data = json.dumps(message).encode() + b"\0"
        while data:
            data = data[os.write(self._to_browser, data):]
        deadline = time.monotonic() + self.timeout
        while True:
            answer = self._read_message(deadline)
            if answer.get("id") == self._next_id:
                if "error" in answer:
                    raise BrowserError(f"{method}: {answer['error']}")
                return answer.get("result", {})

    def open(self, path):
        """Loads a local file and returns once its load event has fired."""
        self.call("Page.navigate", url="file://" + os.path.abspath(path))
        deadline = time.monotonic() + self.timeout
        while self.js("document.readyState") != "complete":
            if time.monotonic() > deadline:
                raise BrowserError(f"{path} did not load in time")
            time.sleep(0.05)

    def js(self, expression):
        """The value of a JavaScript expression (JSON-able), or BrowserError with its exception."""
        r = self.call("Runtime.evaluate", expression=expression, returnByValue=True,
                      awaitPromise=True)
        if "exceptionDetails" in r:
            raise BrowserError(f"{expression}: {r['exceptionDetails']}")
        return r["result"].get("value")

    def click(self, x, y):
        for kind in ("mouseMoved", "mousePressed", "mouseReleased"):
            self.call("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left",
                      clickCount=1)

    def type_text(self, text):
        self.call("Input.insertText", text=text)

    def key(self, key, code, key_code):
        for kind in ("keyDown", "keyUp"):
            self.call("Input.dispatchKeyEvent", type=kind, key=key, code=code,
                      windowsVirtualKeyCode=key_code)

    def resize(self, width, height):
        self.call("Emulation.setDeviceMetricsOverride", width=width, height=height,
                  deviceScaleFactor=1, mobile=False)

    def screenshot(self, path):
        shot = self.call("Page.captureScreenshot", format="png", captureBeyondViewport=True)
        with open(path, "wb") as f:
            f.write(base64.b64decode(shot["data"]))

    def close(self):
        try:
            if self._proc.poll() is None:
                # Asked rather than signalled, so that its helper processes end with it and
                # leave the profile directory alone.
                self._session = None
                try:
                    self.call("Browser.close")
                    self._proc.wait(10)
                except (BrowserError, OSError, subprocess.TimeoutExpired):
                    self._proc.kill()
                    self._proc.wait()
        finally:
            for fd in (self._to_browser, self._from_browser):
                try:
                    os.close(fd)
                except OSError:
                    pass
            self._profile.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
