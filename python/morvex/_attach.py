"""`morvex attach PID`: a tracer started inside a running CPython 3.14+.

The attaching side (`main`) checks what it can before it touches the
process (its own Python, the process's Python version, ptrace rights),
listens on a Unix socket in a private directory of its own, and has the
interpreter's remote-execution hook (`sys.remote_exec`, PEP 768) run a small
script in the process. That script runs on the process's main thread at its
next safe point, in a namespace of its own so that the program's
`__main__` never sees a name of ours; it connects back, imports morvex (the
process's own, or this one's when the process's Python has the very ABI
this one was built for) and hands over to `serve`.

`serve` starts a `Tracer` and answers, one JSON object a line: "started",
"refused" (with the reason: an output that cannot be opened, a profiler
slot another tool holds), and at the end "finished" (with the counts) or
"failed". It stops the tracer when the attacher says "stop", when the
attacher is gone (the socket reaches its end: a killed attacher leaves no
tracer running), or when the process exits (an atexit function, so that the
trace is finished and said to be before the process goes).

A script that never runs (a main thread blocked in a C call for longer than
the attacher waits) finds the socket gone when it finally does: it removes
the directory and starts nothing.
"""

import atexit
import errno
import json
import os
import platform
import re
import select
import selectors
import shutil
import signal
import socket
import sys
import sysconfig
import tempfile
import threading
import time

# How long the process may take to run the script: it runs only once the
# main thread executes Python code again.
START_TIMEOUT = 10.0

CAP_SYS_PTRACE = 19


class AttachError(RuntimeError):
    """What stopped an attach, as one line; `status` is the exit status."""

    def __init__(self, message, status=1):
        super().__init__(message)
        self.status = status


class _NeverStarted(AttachError):
    """The script is still pending in the process."""


def _say(line):
    try:
        sys.stderr.write(line + "\n")
        sys.stderr.flush()
    except (OSError, ValueError, AttributeError):
        pass


def main(pid, output, format, options, duration, *, errors_as_lines=False):
    """Traces process `pid` into `output` for `duration` seconds (None: until
    Ctrl-C or its exit); the exit status. Errors are one line on stderr with
    `errors_as_lines`, AttachError otherwise."""
    try:
        return _attach(pid, output, format, options, duration)
    except AttachError as e:
        if not errors_as_lines:
            raise
        _say(f"morvex: error: {e}")
        return e.status


# --- the attaching side ---------------------------------------------------


def _check_own_python():
    if sys.implementation.name != "cpython" or not hasattr(sys, "remote_exec"):
        v = sys.version_info
        raise AttachError(
            "attach needs CPython 3.14 or newer, whose sys.remote_exec reaches into a running "
            f"process; this morvex runs on {platform.python_implementation()} "
            f"{v.major}.{v.minor}.{v.micro}",
            2)


def _process_uid(pid):
    try:
        return os.stat(f"/proc/{pid}").st_uid
    except FileNotFoundError:
        raise AttachError(f"no process with id {pid}") from None
    except OSError:
        return None


def _capabilities():
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("CapEff:"):
                    return int(line.split()[1], 16)
    except (OSError, ValueError, IndexError):
        pass
    return None


def _ptrace_scope():
    try:
        with open("/proc/sys/kernel/yama/ptrace_scope") as f:
            return f.read().strip()
    except OSError:
        return None


def _no_rights(pid):
    """Why this process may not ptrace `pid`, as best /proc tells."""
    caps = _capabilities()
    can = caps is not None and bool(caps >> CAP_SYS_PTRACE & 1)
    scope = _ptrace_scope()
    uid = _process_uid(pid)
    if scope == "3":
        why = "kernel.yama.ptrace_scope is 3, which forbids attaching to any process"
    elif scope == "2" and not can:
        why = ("kernel.yama.ptrace_scope is 2: only a process with CAP_SYS_PTRACE may attach "
               "(run morvex as root)")
    elif uid is not None and uid != os.geteuid() and not can:
        why = f"it runs as another user (uid {uid}): run morvex as that user or as root"
    elif scope == "1" and not can:
        why = ("kernel.yama.ptrace_scope is 1: only a parent may attach to its children "
               "(run morvex as root, or set kernel.yama.ptrace_scope=0 with sysctl)")
    elif not can:
        why = ("this process lacks CAP_SYS_PTRACE, which containers leave out by default "
               "(docker run --cap-add=SYS_PTRACE)")
    else:
        why = "the system refused even with CAP_SYS_PTRACE (a security module?)"
    return AttachError(f"no ptrace rights over process {pid}: {why}")


_VERSION_IN_NAME = re.compile(r"python(\d+)\.(\d+)")


def _target_version(pid):
    """(major, minor) of the process's Python as its executable's name or the
    libpython it maps says, or None when neither says."""
    try:
        exe = os.readlink(f"/proc/{pid}/exe")
    except FileNotFoundError:
        raise AttachError(f"no process with id {pid}") from None
    except PermissionError:
        raise _no_rights(pid) from None
    except OSError:
        exe = ""
    m = _VERSION_IN_NAME.search(os.path.basename(exe))
    if m:
        return int(m[1]), int(m[2])
    try:
        with open(f"/proc/{pid}/maps") as f:
            for line in f:
                m = re.search(r"/libpython(\d+)\.(\d+)", line)
                if m:
                    return int(m[1]), int(m[2])
    except PermissionError:
        raise _no_rights(pid) from None
    except OSError:
        pass
    return None


def _chain(exc):
    seen = set()
    while exc is not None and id(exc) not in seen:
        seen.add(id(exc))
        yield exc
        exc = exc.__cause__ or exc.__context__


def _remote_exec_error(pid, exc):
    """sys.remote_exec's failure, told as what the user can do about it."""
    for e in _chain(exc):
        if isinstance(e, ProcessLookupError) or getattr(e, "errno", None) == errno.ESRCH:
            return AttachError(f"no process with id {pid}")
        if isinstance(e, PermissionError) or getattr(e, "errno", None) in (errno.EPERM,
                                                                             errno.EACCES):
            return _no_rights(pid)
    text = " ".join(str(exc).split())
    if "not enabled" in text:
        return AttachError(
            f"remote debugging is disabled in process {pid} (it runs with -X disable-remote-debug "
            "or PYTHON_DISABLE_REMOTE_DEBUG set, or on a Python built without it)")
    v = sys.version_info
    return AttachError(f"cannot attach to process {pid} (is it CPython {v.major}.{v.minor}?): "
                       f"{text or type(exc).__name__}")


_PROGRAM = r'''
import json, socket, sys, sysconfig

def _connect(config):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        s.connect(config["channel"])
    except OSError:
        s.close()
        # The attacher stopped waiting for this script: nothing starts.
        import shutil
        shutil.rmtree(config["dir"], ignore_errors=True)
        return None
    return s

def _import(config, tell):
    """morvex._attach, and where it came from: None for the process's own."""
    try:
        import morvex._attach as found
        return found, None
    except ImportError as e:
        missing = e
    here = [sysconfig.get_config_var("SOABI"), sys.implementation.cache_tag]
    if here != config["abi"]:
        tell(refused="morvex cannot be imported there (%s), and the attaching morvex is built for "
                     "%s, not its %s" % (missing, config["abi"][0], here[0]))
        return None, None
    sys.path.insert(0, config["path"])
    try:
        import morvex._attach as found
    finally:
        try:
            sys.path.remove(config["path"])
        except ValueError:
            pass
    return found, config["path"]

def _run(config):
    s = _connect(config)
    if s is None:
        return
    def tell(**message):
        s.sendall((json.dumps(message) + "\n").encode())
    try:
        found, source = _import(config, tell)
        if found is not None:
            found.serve(s, config, source)
            return
    except BaseException as e:
        try:
            tell(refused="%s: %s" % (type(e).__name__, e))
        except OSError:
            pass
    s.close()

_run(CONFIG)
'''


def _script(config):
    # One expression statement: whatever namespace the interpreter runs the
    # script in (the program's __main__), nothing is bound there.
    program = _PROGRAM.replace("CONFIG", repr(config))
    return ("exec(%r, {'__name__': '__morvex_attach__', '__builtins__': __builtins__})\n"
            % program)


class _Channel:
    """The attacher's end: the listening socket, then the one connection,
    read a line at a time, with the process's end watched beside it."""

    def __init__(self, path, pid):
        self.pid = pid
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(path)
        self.listener.listen(1)
        self.conn = None
        self.buffer = b""
        self.selector = selectors.DefaultSelector()
        self.selector.register(self.listener, selectors.EVENT_READ)
        try:
            self.pidfd = os.pidfd_open(pid)
            self.selector.register(self.pidfd, selectors.EVENT_READ)
        except (AttributeError, OSError):
            self.pidfd = None

    def close(self):
        self.selector.close()
        for s in (self.conn, self.listener):
            if s is not None:
                s.close()
        if self.pidfd is not None:
            os.close(self.pidfd)

    def _accept(self):
        self.conn, _ = self.listener.accept()
        self.selector.unregister(self.listener)
        self.selector.register(self.conn, selectors.EVENT_READ)

    def gone(self):
        """Whether the process has ended."""
        if self.pidfd is None:
            try:
                os.kill(self.pid, 0)
            except ProcessLookupError:
                return True
            except OSError:
                pass
            return False
        return bool(select.select([self.pidfd], [], [], 0)[0])

    def next(self, deadline):
        """The next message; None at the deadline; "end" once the
        connection has ended or, before it began, the process has."""
        while b"\n" not in self.buffer:
            timeout = None if deadline is None else max(0.0, deadline - time.monotonic())
            # With no pidfd to wake us, look at the process now and then.
            if self.pidfd is None:
                timeout = 0.25 if timeout is None else min(timeout, 0.25)
            ready = self.selector.select(timeout)
            if not ready:
                if self.conn is None and self.gone():
                    return "end"
                if deadline is not None and time.monotonic() >= deadline:
                    return None
                continue
            # The process's end last: what it said before it ended counts.
            for key, _ in sorted(ready, key=lambda r: r[0].fileobj is self.pidfd):
                if key.fileobj is self.listener:
                    self._accept()
                elif key.fileobj is self.conn:
                    try:
                        data = self.conn.recv(65536)
                    except OSError:
                        data = b""
                    if not data:
                        return "end"
                    self.buffer += data
                elif self.conn is None:
                    # The process ended before its script connected.
                    return "end"
                else:
                    # Its end closes the connection too: read that.
                    self.selector.unregister(self.pidfd)
        line, _, self.buffer = self.buffer.partition(b"\n")
        try:
            message = json.loads(line)
        except ValueError:
            message = None
        return message if isinstance(message, dict) else {"failed": "a garbled answer"}

    def send(self, text):
        try:
            self.conn.sendall(text.encode())
        except OSError:
            pass  # the process is gone: its end finished the trace


def _events_line(pid, output, message, how):
    events, dropped = message.get("events"), message.get("dropped")
    counted = "" if events is None else f": {events} events"
    line = f"morvex: process {pid} {how} {output}{counted}"
    if dropped:
        hint = "" if message.get("lossless") else "; --lossless keeps every event"
        line += f"\nmorvex: {dropped} of {events} events dropped in {output}{hint}"
    return line


def _attach(pid, output, format, options, duration):
    _check_own_python()
    if pid == os.getpid():
        raise AttachError("that is this morvex's own process", 2)
    version = _target_version(pid)
    ours = sys.version_info[:2]
    if version is not None and version != ours:
        raise AttachError(
            f"process {pid} runs Python {version[0]}.{version[1]}, and this morvex runs on "
            f"{ours[0]}.{ours[1]}: attach with a morvex installed for Python "
            f"{version[0]}.{version[1]} (3.14 or newer)", 2)
    output = os.path.abspath(output)
    uid = _process_uid(pid)
    try:
        work = tempfile.mkdtemp(prefix="morvex-attach-")
    except OSError as e:
        raise AttachError(f"cannot make a directory to talk to process {pid} in: {e}") from None
    channel = None
    try:
        channel_path = os.path.join(work, "channel")
        try:
            channel = _Channel(channel_path, pid)
        except OSError as e:
            # A Unix socket's path has room for about a hundred bytes.
            raise AttachError(f"cannot listen on {channel_path}: {e} (a shorter TMPDIR helps)"
                              ) from None
        script = os.path.join(work, "start.py")
        package_dir = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        config = {
            "channel": channel_path, "dir": work, "output": output, "format": format,
            "options": dict(options), "path": package_dir,
            "abi": [sysconfig.get_config_var("SOABI"), sys.implementation.cache_tag],
        }
        with open(script, "w", encoding="utf-8") as f:
            f.write(_script(config))
        if uid is not None and uid != os.geteuid():
            # A process of another user (we may ptrace it: root) must
            # reach the socket and read the script in our private directory.
            for p in (work, channel_path, script):
                os.chown(p, uid, -1)
        try:
            sys.remote_exec(pid, script)
        except Exception as e:
            raise _remote_exec_error(pid, e) from None
        with _terminate_as_interrupt():
            return _follow(channel, pid, output, options, duration)
    except _NeverStarted:
        # The process reads the script when it runs it at last, and finds
        # no one to answer: it removes the directory then.
        channel.close()
        channel = None
        try:
            os.unlink(channel_path)
            keep = True
        except OSError:
            keep = False
        if not keep:
            shutil.rmtree(work, ignore_errors=True)
        work = None
        raise
    finally:
        if channel is not None:
            channel.close()
        if work is not None:
            shutil.rmtree(work, ignore_errors=True)


class _terminate_as_interrupt:
    """SIGTERM (`timeout`, a service manager) stops the trace as Ctrl-C does,
    where nothing else handles it: the process finishes the trace, and the
    attacher says so before it goes."""

    def __enter__(self):
        self.previous = None
        try:
            if signal.getsignal(signal.SIGTERM) == signal.SIG_DFL:
                self.previous = signal.signal(signal.SIGTERM, self._interrupt)
        except ValueError:  # not the main thread
            pass
        return self

    @staticmethod
    def _interrupt(signum, frame):
        raise KeyboardInterrupt

    def __exit__(self, *exc):
        if self.previous is not None:
            signal.signal(signal.SIGTERM, self.previous)
        return False


def _follow(channel, pid, output, options, duration):
    try:
        message = channel.next(time.monotonic() + START_TIMEOUT)
    except KeyboardInterrupt:
        raise _NeverStarted("interrupted before tracing started", 130) from None
    if message is None:
        raise _NeverStarted(
            f"process {pid} did not start tracing within {START_TIMEOUT:g} s: its main thread "
            "runs no Python code (blocked in a long call?)")
    if message == "end":
        raise AttachError(f"process {pid} ended before tracing started")
    if "refused" in message:
        raise AttachError(f"process {pid} cannot trace: {message['refused']}")
    if "started" not in message:
        raise AttachError(f"process {pid} answered what this morvex does not know: {message}")
    source = message.get("source")
    where = "its own morvex" if source is None else f"morvex from {source}"
    until = "until Ctrl-C" if duration is None else f"for {duration:g} s (Ctrl-C stops sooner)"
    deadline = None if duration is None else time.monotonic() + duration
    stopped = False
    try:
        # Ctrl-C from the moment the user can know that tracing runs.
        _say(f"morvex: tracing process {pid} (Python {message.get('python', '?')}, {where}) "
             f"into {output} {until}")
        message = channel.next(deadline)
    except KeyboardInterrupt:
        message = None
    if message is None:
        channel.send("stop\n")
        stopped = True
        try:
            message = channel.next(None)
        except KeyboardInterrupt:
            raise AttachError(f"stopped waiting; process {pid} still finishes {output}") from None
    lossless = bool(options.get("lossless"))
    if message == "end":
        raise AttachError(
            f"process {pid} ended without saying that it finished {output} (os._exit or a "
            f"signal?); `morvex report --summary {output}` tells whether it is whole")
    if "failed" in message:
        raise AttachError(f"process {pid} could not finish {output}: {message['failed']}")
    message["lossless"] = lossless
    how = "wrote" if stopped or message.get("finished") != "exit" else "exited and finished"
    _say(_events_line(pid, output, message, how))
    return 0


# --- the process's side ---------------------------------------------------


def serve(sock, config, source):
    """Runs in the traced process, on its main thread, from the injected
    script: starts the tracer and leaves a thread waiting for the word to
    stop it."""
    from morvex import Tracer

    lock = threading.Lock()
    state = {"tracer": None, "done": False}

    def tell(**message):
        sock.sendall((json.dumps(message) + "\n").encode())

    # Once the tracer runs, every Python function called is the trace's: the
    # stop comes first, in the frames that were running before the start
    # (the listener's, the one atexit calls), and all else after it.
    def answer(tracer, reason, error):
        # Under the lock: the process's exit and the word to stop may come
        # at once, and the answer goes before the socket's end.
        atexit.unregister(at_exit)
        if tracer is not None:
            # Stopped already (its exit hook): the counts are its own.
            if error is None or tracer.events is not None:
                message = {"finished": reason}
            else:
                message = {"failed": f"{type(error).__name__}: {error}"}
            message.update(events=tracer.events, dropped=tracer.dropped)
            try:
                tell(**message)
            except OSError:
                pass
        try:
            sock.shutdown(socket.SHUT_RDWR)  # wakes the listener
        except OSError:
            pass

    # Inline in both, not one shared function: a call here would be the
    # trace's (the tracer still runs), and the trace would hold our stop.
    def at_exit():
        with lock:
            tracer, state["tracer"], state["done"] = state["tracer"], None, True
            error = None
            if tracer is not None:
                try:
                    tracer.stop()
                except Exception as e:
                    error = e
            answer(tracer, "exit", error)

    def listen():
        while True:
            try:
                data = sock.recv(4096)
            except OSError:
                data = b""
            if not data or b"\n" in data:
                break
        with lock:
            tracer, state["tracer"], state["done"] = state["tracer"], None, True
            error = None
            if tracer is not None:
                try:
                    tracer.stop()
                except Exception as e:
                    error = e
            answer(tracer, "stop" if data else "gone", error)
        sock.close()
        if not data:
            # An attacher that was killed could not remove its directory.
            shutil.rmtree(config["dir"], ignore_errors=True)

    v = sys.version_info
    started = (json.dumps({"started": True, "source": source,
                           "python": f"{v.major}.{v.minor}.{v.micro}"}) + "\n").encode()
    # Before the tracer starts, so that its frames are not the trace's.
    threading.Thread(target=listen, name="morvex attach", daemon=True).start()
    try:
        tracer = Tracer(config["output"], config["format"], **config["options"])
        tracer.start()
    except Exception as e:
        text = str(e)
        if isinstance(e, OSError) and e.filename is not None:
            text = f"cannot open trace file '{e.filename}': {e.strerror}"
        try:
            tell(refused=text)
        except OSError:
            pass
        with lock:
            state["done"] = True
            answer(None, "refused", None)
        return
    # From here on, no call of a Python function before the word is out.
    with lock:
        abandoned = state["done"]
        if not abandoned:
            state["tracer"] = tracer
            atexit.register(at_exit)
            try:
                sock.sendall(started)
            except OSError:
                pass  # the listener sees the end and stops the tracer
    if abandoned:  # the attacher left while the tracer started
        tracer.stop()
