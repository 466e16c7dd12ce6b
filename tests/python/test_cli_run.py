"""`morvex run` beyond the basics: threads that outlive the script, Ctrl-C,
options that record less, and morvex's own errors as one line."""

import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

import tracefiles
from conftest import MORVEX, environment, write_script
from conftest import run as run_command

def run(tmp_path, args, script):
    write_script(tmp_path / "app.py", script)
    return run_command(MORVEX + ["run", *args, "app.py"], cwd=tmp_path)


NON_DAEMON = """
    import threading

    def fib(n):
        return n if n < 2 else fib(n - 1) + fib(n - 2)

    def worker():
        for _ in range(20):
            fib(15)

    threading.Thread(target=worker, name="late").start()
"""


@pytest.mark.parametrize("fmt", ["protobuf", "json"])
def test_threads_that_outlive_the_script_are_waited_for_and_traced(tmp_path, fmt):
    r = run(tmp_path, ["-o", "t", "-f", fmt, "--lossless"], NON_DAEMON)
    assert r.returncode == 0, r.stderr
    t = tracefiles.read(tmp_path / "t", fmt)
    assert t.names().count("fib") == 20 * 1973
    assert t.dropped == {}
    # The main thread's waiting at shutdown is not the program's.
    assert "_shutdown" not in t.names()


INTERRUPTED = """
    import threading, time

    def worker():
        # Returns once the interpreter's shutdown has begun: the script has
        # ended and the main thread is on its way into the wait for us.
        threading.main_thread().join()
        print(threading.get_native_id(), flush=True)
        time.sleep(3600)

    threading.Thread(target=worker).start()
"""

# The system calls a thread of a program under test is seen blocked in, by
# their numbers on each machine.
SYSCALLS = {"x86_64": dict(write=1, futex=202, clock_nanosleep=230),
            "aarch64": dict(write=64, futex=98, clock_nanosleep=115)}


def blocked_in(pid, tid):
    """The system call a thread sleeps in, by name, with its arguments (or
    None: the thread runs, or is gone)."""
    try:
        fields = Path(f"/proc/{pid}/task/{tid}/syscall").read_text().split()
    except OSError:
        return None
    names = {n: name for name, n in SYSCALLS[os.uname().machine].items()}
    if not fields[0].isdigit() or int(fields[0]) not in names:
        return None
    return names[int(fields[0])], [int(a, 16) for a in fields[1:7]]


def waiting_for(pid, worker):
    """Whether the main thread of `pid` blocks in its wait for `worker`.
    Waiting for the GIL is a futex wait too, but always a timed one, and
    nobody holds the GIL once the worker sleeps."""
    main, sleeper = blocked_in(pid, pid), blocked_in(pid, worker)
    # futex's arguments: uaddr, op, val, timeout
    return (sleeper is not None and sleeper[0] == "clock_nanosleep"
            and main is not None and main[0] == "futex" and main[1][3] == 0)


def writing_to(pid, path):
    """Whether a thread of `pid` blocks writing to `path`."""
    for task in Path(f"/proc/{pid}/task").iterdir():
        call = blocked_in(pid, task.name)
        if call is not None and call[0] == "write":
            try:
                if os.readlink(f"/proc/{pid}/fd/{call[1][0]}") == str(path):
                    return True
            except OSError:
                pass
    return False


def interrupt(command, cwd):
    p = subprocess.Popen(command, cwd=cwd, env=environment(), stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
    try:
        line = p.stdout.readline()
        assert line, "the program ended before its worker spoke"
        worker = int(line)
        # A few system calls away at most once the worker has spoken; the
        # bound is for a main thread that never gets there.
        for _ in range(10_000):
            if waiting_for(p.pid, worker):
                break
            time.sleep(0.001)
        else:
            pytest.fail("the main thread never waited for the worker")
        p.send_signal(signal.SIGINT)
        # The worker sleeps for an hour: an end within the timeout is one
        # that did not wait for it.
        out, err = p.communicate(timeout=60)
    finally:
        if p.poll() is None:
            p.kill()
            p.communicate()
    return p.returncode, err


def test_ctrl_c_while_threads_run_behaves_as_under_python(tmp_path):
    (tmp_path / "app.py").write_text(textwrap.dedent(INTERRUPTED))
    python = interrupt([sys.executable, "app.py"], tmp_path)
    traced = interrupt(MORVEX + ["run", "-o", "t.pftrace", "app.py"], tmp_path)
    assert traced == python
    assert "KeyboardInterrupt" in traced[1]
    assert (tmp_path / "t.pftrace").stat().st_size > 0


BUSY = """
    import sys
    import morvex

    def leaf(x):
        return x + 1

    def loop():
        print("started", flush=True)
        # Until interrupted; the bound is for a test that never does.
        for i in range(100_000_000):
            leaf(i)

    if sys.argv[1:] == ["api"]:
        with morvex.Tracer("t.fifo", lossless=sys.argv[0] == "lossless"):
            loop()
    else:
        loop()
"""


@pytest.mark.parametrize("how", ["run", "api"])
@pytest.mark.parametrize("lossless", [True, False], ids=["lossless", "default"])
def test_ctrl_c_twice_ends_a_run_whose_output_nobody_reads(tmp_path, how, lossless):
    (tmp_path / "app.py").write_text(textwrap.dedent(BUSY))
    os.mkfifo(tmp_path / "t.fifo")
    if how == "run":
        command = MORVEX + ["run", "-o", "t.fifo"] + (["--lossless"] if lossless else [])
        command += ["app.py"]
    else:
        (tmp_path / "lossless").symlink_to("app.py")
        command = [sys.executable, "lossless" if lossless else "app.py", "api"]
    # Holds the FIFO open and never reads it: the writer blocks for good
    # once the pipe is full, and a lossless run's threads wait on it.
    holder = os.open(tmp_path / "t.fifo", os.O_RDONLY | os.O_NONBLOCK)
    try:
        p = subprocess.Popen(command, cwd=tmp_path, env=environment(), stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
        assert p.stdout.readline() == "started\n"
        # Interrupted before the pipe is full, the run could finish whole.
        # How many bytes fill it depends on the sizes of the writes (each
        # that does not fit in the last page starts a new one): full is
        # when the writer blocks.
        for _ in range(60_000):  # it fills in well under a minute
            assert p.poll() is None
            if writing_to(p.pid, tmp_path / "t.fifo"):
                break
            time.sleep(0.001)
        else:
            pytest.fail("the writer never blocked on the pipe")
        interrupts = 0
        while p.poll() is None and interrupts < 4:
            p.send_signal(signal.SIGINT)
            interrupts += 1
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                pass
        if p.poll() is None:
            p.kill()
        err = p.communicate(timeout=10)[1]
    finally:
        os.close(holder)
    assert interrupts <= 2, (interrupts, err)
    assert p.returncode == -signal.SIGINT, err
    assert err.count("morvex: trace incomplete") == 1, (interrupts, err)
    assert err.rstrip().endswith("KeyboardInterrupt"), err


FILTERED = """
    import json

    def keep(n):
        return [json.dumps(i) for i in range(n)]

    def deep(n):
        return 0 if n == 0 else deep(n - 1)

    keep(3)
    deep(10)
"""


@pytest.mark.parametrize("fmt", ["protobuf", "json"])
def test_the_options_that_record_less(tmp_path, fmt):
    r = run(tmp_path, ["-o", "t", "-f", fmt, "--exclude", ":stdlib,json", "--max-depth=4",
                       "--min-duration", "0us", "--lossless"], FILTERED)
    assert r.returncode == 0, r.stderr
    t = tracefiles.read(tmp_path / "t", fmt)
    names = t.names()
    assert "keep" in names and "dumps" not in names
    # <module> at depth 1, deep at 2, 3 and 4
    assert names.count("deep") == 3
    (pid,) = t.pids
    assert t.filters[pid]["exclude"] == ":stdlib,json"
    assert t.filters[pid]["max_depth"] == 4
    assert t.filters[pid]["max_depth_events"] == 2 * 8


def test_bad_option_values_are_usage_errors_and_run_nothing(tmp_path):
    r = run(tmp_path, ["-o", "t", "--exclude", "a b"], "open('ran', 'w')")
    assert r.returncode == 2
    assert "invalid value 'a b' for '--exclude <PATTERN>'" in r.stderr
    assert not (tmp_path / "ran").exists() and not (tmp_path / "t").exists()


@pytest.mark.parametrize("option,value,words", [
    # As the system hands over a name that is not UTF-8.
    ("--include", os.fsdecode(b"app,mod\xff"), "'mod\ufffd': not UTF-8 text"),
    ("--exclude", "a b" * 20000, "invalid value 'a ba b"),  # an argument holds 128 KiB
])
def test_bad_patterns_are_one_short_line(tmp_path, option, value, words):
    r = run(tmp_path, ["-o", "t", option, value], "open('ran', 'w')")
    assert r.returncode == 2
    assert r.stderr.startswith("error: ") and words in r.stderr
    assert "Traceback" not in r.stderr and len(r.stderr) < 1000
    assert not (tmp_path / "ran").exists() and not (tmp_path / "t").exists()


def test_the_help_lists_every_option(tmp_path):
    r = run_command(MORVEX + ["run", "--help"])
    for option in ("--include <PATTERN>", "--exclude <PATTERN>", "--max-depth <N>",
                   "--min-duration <DURATION>", "--lossless", "--open"):
        assert option in r.stdout


def test_a_program_that_cannot_start_tracing_says_why_in_one_line(tmp_path):
    # Another tool holds the profiler slot when morvex tries to take it.
    (tmp_path / "sitecustomize.py").write_text(
        "import sys\nsys.monitoring.use_tool_id(sys.monitoring.PROFILER_ID, 'other')\n")
    env = environment(PYTHONPATH=str(tmp_path))
    (tmp_path / "app.py").write_text("open('ran', 'w')\n")
    r = run_command(MORVEX + ["run", "-o", "t.pftrace", "app.py"], cwd=tmp_path, env=env)
    assert r.returncode == 1
    assert r.stderr.startswith("morvex: error: cannot start tracing: ")
    assert "already in use" in r.stderr and len(r.stderr.splitlines()) == 1
    assert not Path(tmp_path / "ran").exists()
