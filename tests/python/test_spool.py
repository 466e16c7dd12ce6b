"""Spooled runs: the raw events are set aside while the program runs and the
trace is written when the run ends; the trace must hold what a run written
as it goes holds, in every process of the run, and nothing of the spool may
be left behind."""

import os
import sys
import threading

import pytest

import morvex
import tracefiles
from conftest import MORVEX, run, traced, write_script


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


CALLS_FIB_15 = 1973


def gen(n):
    for i in range(n):
        yield fib(i)


def workload():
    def work():
        for _ in range(5):
            fib(15)
            sum(gen(12))

    threads = [threading.Thread(target=work, name=f"w{i}") for i in range(4)]
    for t in threads:
        t.start()
    work()
    for t in threads:
        t.join()


def slices(t, thread):
    return [(e.phase, e.name) for e in t.thread_events(thread)]


def test_a_spooled_trace_holds_what_a_written_one_does(tmp_path, fmt):
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    written = traced(tmp_path / "a", fmt, workload)
    spooled = traced(tmp_path / "b", fmt, workload, spool=True)
    assert spooled.dropped == {}
    for name in ["MainThread"] + [f"w{i}" for i in range(4)]:
        assert slices(spooled, name) == slices(written, name)
        begins = [e.name for e in spooled.thread_events(name) if e.phase == "B"]
        assert begins.count("fib") == 5 * (CALLS_FIB_15 + sum(calls(i) for i in range(12)))
    # The spool had no name, and is gone with the run.
    assert sorted(os.listdir(tmp_path / "b")) == [trace_name(fmt)]


def calls(n):
    """Calls fib(n) makes, itself included."""
    return 1 if n < 2 else 1 + calls(n - 1) + calls(n - 2)


def trace_name(fmt):
    return "t.json" if fmt == "json" else "t.pftrace"


def test_a_tracer_reports_its_events_after_a_spooled_run(tmp_path):
    tracer = morvex.Tracer(str(tmp_path / "t.pftrace"), spool=True, lossless=True)
    with tracer:
        fib(15)
    assert tracer.dropped == 0
    assert tracer.events >= 2 * CALLS_FIB_15
    t = tracefiles.read(tmp_path / "t.pftrace", "protobuf")
    assert t.names().count("fib") == CALLS_FIB_15


@pytest.mark.forks
def test_every_process_of_a_spooled_run_writes_its_own_part(tmp_path):
    script = write_script(tmp_path / "app.py", """
        import os, subprocess, sys
        def fib(n): return n if n < 2 else fib(n - 1) + fib(n - 2)
        pid = os.fork()
        fib(15)
        if pid == 0:
            os._exit(0)
        os.waitpid(pid, 0)
        subprocess.run([sys.executable, "-c",
                        "def fib(n): return n if n < 2 else fib(n - 1) + fib(n - 2)\\nfib(15)"],
                       check=True)
    """)
    r = run(MORVEX + ["run", "-o", "t.pftrace", "--spool", "--lossless", str(script)],
            cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    t = tracefiles.read(tmp_path / "t.pftrace", "protobuf")
    assert len(t.pids) == 3 and t.dropped == {}
    for pid in t.pids:
        assert t.names(pid).count("fib") == CALLS_FIB_15
    assert sorted(os.listdir(tmp_path)) == ["app.py", "t.pftrace"]


def test_the_run_option_is_listed():
    r = run(MORVEX + ["run", "--help"])
    assert "--spool" in r.stdout
