"""Lossless runs: a thread that outruns the writers waits for them instead of
losing events; nothing may deadlock, and process exit still works."""

import sys
import threading

import pytest

import morvex
import tracefiles
from conftest import run, write_script


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


CALLS_FIB_15 = 1973  # calls of fib(15), each a start and a return


@pytest.mark.parametrize("fmt", ["protobuf", "json"])
def test_sixteen_threads_in_tight_loops_lose_nothing(tmp_path, fmt):
    path = tmp_path / "t"

    def work():
        for _ in range(12):
            fib(15)

    with morvex.Tracer(str(path), fmt, lossless=True):
        threads = [threading.Thread(target=work, name=f"w{i}") for i in range(16)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    t = tracefiles.read(path, fmt)
    assert t.dropped == {}
    for i in range(16):
        events = t.thread_events(f"w{i}")
        assert sum(1 for s in events if s.phase == "B" and s.name == "fib") == 12 * CALLS_FIB_15
        tracefiles.assert_nested(events)


def run_script(tmp_path, body, timeout=120):
    script = write_script(tmp_path / "scenario.py", body)
    return run([sys.executable, str(script)], cwd=tmp_path, timeout=timeout)


@pytest.mark.forks
def test_a_forked_child_of_a_lossless_run_is_lossless_too(tmp_path):
    r = run_script(tmp_path, """
        import os, morvex
        def fib(n): return n if n < 2 else fib(n - 1) + fib(n - 2)
        with morvex.Tracer("t.json", "json", lossless=True):
            pid = os.fork()
            for _ in range(30):
                fib(15)
            if pid == 0:
                os._exit(0)
            os.waitpid(pid, 0)
        print(pid)
    """)
    assert r.returncode == 0, r.stderr
    t = tracefiles.read(tmp_path / "t.json", "json")
    assert len(t.pids) == 2 and t.dropped == {}
    for pid in t.pids:
        assert t.names(pid).count("fib") == 30 * CALLS_FIB_15


@pytest.mark.parametrize("ending", ["return", "os._exit(0)", "sys.exit(0)"])
def test_the_process_still_exits_while_a_thread_keeps_recording(tmp_path, ending):
    # A daemon thread records as fast as it can into a lossless run that the
    # program never stops; the interpreter must still be able to exit.
    r = run_script(tmp_path, f"""
        import os, sys, threading, time, morvex
        def fib(n): return n if n < 2 else fib(n - 1) + fib(n - 2)
        spinning = threading.Event()
        def spin():
            # Until the process ends, in practice: the bound is for one that does not.
            for i in range(10_000_000):
                fib(12)
                if i == 1000:  # some 900,000 events: buffers filled many times over
                    spinning.set()
        morvex.Tracer("t.json", "json", lossless=True).start()
        threading.Thread(target=spin, daemon=True).start()
        assert spinning.wait(50)
        def main():
            {ending}
        main()
    """, timeout=60)
    assert r.returncode == 0, r.stderr
    assert (tmp_path / "t.json").stat().st_size > 1
