"""`morvex attach`: a tracer started inside a running process through
sys.remote_exec (CPython 3.14+), and the one-line refusals everywhere else.

The processes attached to are children of this test, looping over a
function of a known name; they say "ready" on their standard output once
they loop, and the attacher says it is tracing on its standard error: the
tests wait for those lines, never for a time."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import time

import pytest

import tracefiles
from conftest import MORVEX, TIMEOUT, environment
from conftest import run as run_command

ATTACHABLE = sys.version_info >= (3, 14)
needs_attach = pytest.mark.skipif(not ATTACHABLE, reason="sys.remote_exec is CPython 3.14+")


def attach_command(pid, output, *options):
    return [*MORVEX, "attach", str(pid), "-o", str(output), *options]


def one_error_line(result):
    assert "Traceback" not in result.stderr, result.stderr
    lines = result.stderr.splitlines()
    assert len(lines) == 1, result.stderr
    assert lines[0].startswith("morvex: error: "), lines[0]
    return lines[0]


class TestArguments:
    @pytest.mark.parametrize("args, said", [
        (["attach", "-o", "t.pftrace"], "<PID>"),
        (["attach", "123"], "--output <OUTPUT>"),
        (["attach", "12x", "-o", "t"], "invalid value '12x' for '<PID>'"),
        (["attach", "0", "-o", "t"], "invalid value '0' for '<PID>'"),
        (["attach", "1", "-o", "t", "--duration", "0"], "invalid value '0' for '--duration"),
        (["attach", "1", "-o", "t", "--duration", "3x"], "invalid value '3x' for '--duration"),
        (["attach", "1", "-o", "t", "--duration", "m"], "invalid value 'm' for '--duration"),
        (["attach", "1", "-o", "t", "--duration", "-2s"], "for '--duration"),
        (["attach", "1", "-o", "t", "--max-depth", "0"], "'--max-depth <N>'"),
        (["attach", "1", "-o", "t", "-f", "json", "--compress"], "'--compress' applies"),
        (["attach", "1", "-o", "t", "-m", "x"], "unexpected argument '-m'"),
    ])
    def test_usage_errors(self, tmp_path, args, said):
        r = run_command([*MORVEX, *args], cwd=tmp_path)
        assert r.returncode == 2, r.stderr
        assert said in r.stderr
        assert "Traceback" not in r.stderr
        assert list(tmp_path.iterdir()) == []

    def test_help_names_the_options(self):
        r = run_command([*MORVEX, "attach", "--help"])
        assert r.returncode == 0
        for option in ("--duration", "--include", "--lossless", "--spool", "--compress", "PID"):
            assert option in r.stdout
        assert "attach" in run_command([*MORVEX, "--help"]).stdout


@pytest.mark.skipif(ATTACHABLE, reason="refused below CPython 3.14 only")
class TestOlderPython:
    # Accepted forms of --duration reach the refusal, not a usage error.
    @pytest.mark.parametrize("duration", ["10s", "500ms", "2m", "1.5", "0.5m"])
    def test_one_line_status_2(self, tmp_path, duration):
        child = subprocess.Popen([sys.executable, "-c", "input()"], stdin=subprocess.PIPE)
        try:
            r = run_command(attach_command(child.pid, tmp_path / "t.pftrace", "--duration",
                                           duration))
        finally:
            child.communicate(b"\n", timeout=TIMEOUT)
        assert r.returncode == 2, r.stderr
        line = one_error_line(r)
        v = sys.version_info
        assert "needs CPython 3.14 or newer" in line
        assert line.endswith(f"this morvex runs on CPython {v.major}.{v.minor}.{v.micro}")
        assert not (tmp_path / "t.pftrace").exists()

    def test_python_callers_get_it_raised(self):
        from morvex._core import cli_main
        with pytest.raises(RuntimeError, match="needs CPython 3.14"):
            cli_main(["morvex", "attach", "1", "-o", "t.pftrace"])


LOOP = """
import sys, time
{before}
def attach_target_work():
    return sum(range(200))
attach_target_work()
print("ready", flush=True)
while True:
    attach_target_work()
    time.sleep(0.001)
"""

# Loops until the file named by its argument exists, then works once more
# (under the tracer, whenever it started) and exits normally.
LOOP_UNTIL = """
import os, sys, time
def attach_target_work():
    return sum(range(200))
print("ready", flush=True)
while not os.path.exists(sys.argv[1]):
    attach_target_work()
    time.sleep(0.001)
attach_target_work()
"""


class Looping:
    """A child process looping over attach_target_work, started and ready."""

    def __init__(self, source, *args, python=sys.executable, flags=()):
        self.proc = subprocess.Popen([python, *flags, "-c", textwrap.dedent(source), *args],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, env=environment())
        line = self.proc.stdout.readline()
        assert line == "ready\n", line + self.proc.stderr.read()
        self.pid = self.proc.pid

    def end(self):
        if self.proc.poll() is None:
            self.proc.kill()
        _, err = self.proc.communicate(timeout=TIMEOUT)
        return err


@pytest.fixture
def looping():
    started = []

    def start(source=LOOP.format(before=""), *args, **kwargs):
        child = Looping(source, *args, **kwargs)
        started.append(child)
        return child

    yield start
    for child in started:
        child.end()


class Attacher:
    """`morvex attach` started in the background; `tracing()` waits for it to
    say that it traces (or to fail)."""

    def __init__(self, command):
        self.proc = subprocess.Popen(command, stderr=subprocess.PIPE, text=True,
                                     env=environment())
        self.first = ""

    def tracing(self):
        self.first = self.proc.stderr.readline()
        assert "morvex: tracing process" in self.first, self.first + self.finish()[1]

    def finish(self):
        _, err = self.proc.communicate(timeout=TIMEOUT)
        return self.proc.returncode, self.first + err


def check_trace(path, fmt, pid):
    t = tracefiles.read(path, fmt)
    assert t.pids == {pid}
    for evs in t.events.values():
        tracefiles.assert_time_ordered(evs)
    assert "attach_target_work" in t.names(pid)
    return t


@needs_attach
class TestAttach:
    def test_traces_a_looping_process(self, tmp_path, looping, fmt):
        child = looping()
        out = tmp_path / ("t.json" if fmt == "json" else "t.pftrace")
        r = run_command(attach_command(child.pid, out, "-f", fmt, "--duration", "1s",
                                       "--lossless"))
        assert r.returncode == 0, r.stderr
        assert "Traceback" not in r.stderr
        assert f"morvex: tracing process {child.pid}" in r.stderr
        assert "its own morvex" in r.stderr
        assert f"morvex: process {child.pid} wrote {out}: " in r.stderr
        t = check_trace(out, fmt, child.pid)
        # Nothing of the attach's own: it stops the tracer before it calls
        # anything.
        assert set(t.names(child.pid)) == {"attach_target_work"}
        # The process goes on as before, tracer gone.
        assert child.proc.poll() is None

    def test_options_reach_the_tracer(self, tmp_path, looping):
        child = looping()
        out = tmp_path / "t.pftrace"
        r = run_command(attach_command(child.pid, out, "--duration", "300ms", "--lossless",
                                       "--exclude", "__main__", "--compress"))
        assert r.returncode == 0, r.stderr
        t = tracefiles.read(out, "protobuf")
        assert "attach_target_work" not in t.names()
        assert t.filters[child.pid].get("exclude") == "__main__"

    def test_relative_output_is_the_attachers(self, tmp_path, looping):
        child = looping()
        r = run_command(attach_command(child.pid, "rel.pftrace", "--duration", "200ms"),
                        cwd=tmp_path)
        assert r.returncode == 0, r.stderr
        assert (tmp_path / "rel.pftrace").stat().st_size > 0

    @pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
    def test_ctrl_c_stops_and_finishes(self, tmp_path, looping, sig):
        child = looping()
        out = tmp_path / "t.pftrace"
        attacher = Attacher(attach_command(child.pid, out, "--lossless"))
        attacher.tracing()
        attacher.proc.send_signal(sig)
        status, err = attacher.finish()
        assert status == 0, err
        assert f"wrote {out}" in err
        check_trace(out, "protobuf", child.pid)

    def test_process_exiting_while_attached_leaves_a_whole_trace(self, tmp_path, looping):
        flag = tmp_path / "stop"
        child = looping(LOOP_UNTIL, str(flag))
        out = tmp_path / "t.json"
        attacher = Attacher(attach_command(child.pid, out, "-f", "json", "--lossless"))
        attacher.tracing()
        flag.touch()
        status, err = attacher.finish()
        assert status == 0, err
        assert f"process {child.pid} exited and finished {out}" in err
        assert child.proc.wait(timeout=TIMEOUT) == 0
        assert "Traceback" not in child.end()
        check_trace(out, "json", child.pid)

    def test_killed_attacher_stops_the_tracer(self, tmp_path, looping):
        # The process's tracer stops when the attacher is gone: the next
        # attach finds the profiler slot free again.
        child = looping()
        out = tmp_path / "t.pftrace"
        attacher = Attacher(attach_command(child.pid, out))
        attacher.tracing()
        attacher.proc.kill()
        attacher.finish()
        r = run_command(attach_command(child.pid, tmp_path / "again.pftrace", "--duration",
                                       "200ms"))
        assert r.returncode == 0, r.stderr
        tracefiles.read(out, "protobuf")  # finished, whole

    def test_package_from_the_attacher(self, tmp_path, looping):
        # Without site-packages the process cannot import morvex; the same
        # interpreter takes the attacher's.
        child = looping(flags=("-S",))
        out = tmp_path / "t.pftrace"
        r = run_command(attach_command(child.pid, out, "--duration", "300ms", "--lossless"))
        assert r.returncode == 0, r.stderr
        import morvex
        assert f"morvex from {os.path.dirname(os.path.dirname(morvex.__file__))}" in r.stderr
        check_trace(out, "protobuf", child.pid)


@needs_attach
class TestRefusals:
    def test_profiler_slot_holder_named(self, tmp_path, looping):
        child = looping(LOOP.format(before="sys.monitoring.use_tool_id("
                                           "sys.monitoring.PROFILER_ID, 'other')"))
        r = run_command(attach_command(child.pid, tmp_path / "t.pftrace", "--duration", "1s"))
        assert r.returncode == 1
        line = one_error_line(r)
        assert f"process {child.pid} cannot trace" in line
        assert 'held by "other"' in line
        assert child.proc.poll() is None

    def test_output_that_cannot_be_opened(self, tmp_path, looping):
        child = looping()
        out = tmp_path / "missing" / "t.pftrace"
        r = run_command(attach_command(child.pid, out, "--duration", "1s"))
        assert r.returncode == 1
        assert f"cannot open trace file '{out}'" in one_error_line(r)

    @pytest.mark.parametrize("how", ["-X", "PYTHON_DISABLE_REMOTE_DEBUG"])
    def test_remote_debugging_disabled(self, tmp_path, looping, monkeypatch, how):
        if how == "-X":
            child = looping(flags=("-X", "disable-remote-debug"))
        else:
            monkeypatch.setenv(how, "1")
            child = looping()
            monkeypatch.delenv(how)
        r = run_command(attach_command(child.pid, tmp_path / "t.pftrace"))
        assert r.returncode == 1
        assert "remote debugging is disabled" in one_error_line(r)

    @pytest.mark.skipif(os.geteuid() != 0, reason="needs root to attach as another user")
    def test_no_ptrace_rights(self, tmp_path, looping):
        # An attacher of another user, without CAP_SYS_PTRACE, may not
        # reach a process of root's.
        nobody = {"cwd": "/", "user": 65534, "group": 65534, "extra_groups": []}
        if run_command([sys.executable, "-c", "import morvex"], **nobody).returncode != 0:
            pytest.skip("this morvex is not readable to other users")
        child = looping()
        r = run_command(attach_command(child.pid, "t.pftrace"), **nobody)
        assert r.returncode == 1
        line = one_error_line(r)
        assert f"no ptrace rights over process {child.pid}: it runs as another user (uid 0)" in line

    def test_socket_path_too_long(self, tmp_path, looping):
        child = looping()
        deep = tmp_path / ("d" * 120)
        deep.mkdir()
        r = run_command(attach_command(child.pid, tmp_path / "t.pftrace"),
                        env=environment(TMPDIR=str(deep)))
        assert r.returncode == 1
        assert "a shorter TMPDIR helps" in one_error_line(r)
        assert os.listdir(deep) == []
        assert child.proc.poll() is None

    def test_no_such_process(self, tmp_path):
        gone = subprocess.Popen([sys.executable, "-c", "pass"])
        gone.wait()
        r = run_command(attach_command(gone.pid, tmp_path / "t.pftrace"))
        assert r.returncode == 1
        assert f"no process with id {gone.pid}" in one_error_line(r)

    def test_not_a_python_process(self, tmp_path):
        sleeper = subprocess.Popen(["sleep", "60"])
        try:
            r = run_command(attach_command(sleeper.pid, tmp_path / "t.pftrace"))
        finally:
            sleeper.kill()
            sleeper.wait()
        assert r.returncode == 1
        assert f"cannot attach to process {sleeper.pid}" in one_error_line(r)

    def test_other_minor_version(self, tmp_path, looping):
        v = sys.version_info
        others = [p for m in (v.minor - 1, v.minor + 1) if m >= 14
                  for p in [shutil.which(f"python3.{m}")] if p]
        if not others:
            pytest.skip("no other CPython 3.14+ here")
        child = looping(python=others[0], flags=("-S",))
        r = run_command(attach_command(child.pid, tmp_path / "t.pftrace"))
        assert r.returncode == 2
        line = one_error_line(r)
        assert f"process {child.pid} runs Python 3." in line
        assert f"this morvex runs on {v.major}.{v.minor}" in line

    def test_main_thread_blocked(self, tmp_path, looping, monkeypatch):
        # A main thread that runs no Python code: the attach gives up, and
        # the script, when it runs at last, starts nothing and cleans up.
        child = looping("import sys\nprint('ready', flush=True)\nsys.stdin.read()\n"
                        "for _ in range(1000): sum(range(10))\nprint('done')\n")
        wait_until_sleeping(child.pid)  # in the read: no bytecode runs
        from morvex import _attach
        monkeypatch.setattr(_attach, "START_TIMEOUT", 0.5)
        temp = tempfile.gettempdir()
        before = set(os.listdir(temp))
        with pytest.raises(_attach.AttachError, match="did not start tracing within 0.5 s"):
            _attach.main(child.pid, str(tmp_path / "t.pftrace"), "protobuf", {}, None)
        (work,) = [d for d in set(os.listdir(temp)) - before if d.startswith("morvex-attach-")]
        assert os.listdir(os.path.join(temp, work)) == ["start.py"]
        out, err = child.proc.communicate("", timeout=TIMEOUT)
        assert (child.proc.returncode, out, err) == (0, "done\n", "")
        assert not (tmp_path / "t.pftrace").exists()
        assert not os.path.exists(os.path.join(temp, work))


def wait_until_sleeping(pid):
    """Until the (single-threaded) process sleeps in a system call. Nothing
    announces that: its state is looked at until it says so."""
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        with open(f"/proc/{pid}/stat") as f:
            if f.read().rsplit(")", 1)[1].split()[0] == "S":
                return
        time.sleep(0.01)
    pytest.fail(f"process {pid} never slept")
