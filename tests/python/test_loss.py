"""Runs that lose events: the trace says where each thread lost them, and
stays true around the gaps - well nested, and no call drawn around calls it
never made or longer than it ran."""

import os
import textwrap

import pytest

import tracefiles
from conftest import MORVEX, run

# A hot loop the writers cannot keep up with on one CPU.
HOT_LOOP = """
    import threading, time

    def leaf(x):
        return x + 1

    def mid(i):
        return leaf(i) + leaf(i)

    def top(seconds):
        end = time.perf_counter() + seconds
        i = 0
        while time.perf_counter() < end:
            mid(i)
            i += 1

    worker = threading.Thread(target=top, args=(0.1,), name="worker")
    worker.start()
    top(0.2)
    worker.join()
"""


def one_cpu():
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})


@pytest.mark.parametrize("fmt", ["protobuf", "json"])
def test_a_run_that_drops_says_where_and_stays_true_around_the_gaps(tmp_path, fmt):
    (tmp_path / "app.py").write_text(textwrap.dedent(HOT_LOOP))
    r = run(MORVEX + ["run", "-o", "t", "-f", fmt, "app.py"], cwd=tmp_path, timeout=300,
            preexec_fn=one_cpu)
    assert r.returncode == 0, r.stderr
    t = tracefiles.read(tmp_path / "t", fmt)
    (pid,) = t.pids
    # Every lost event is told where it was lost, and the end says as many.
    assert t.lost() == t.dropped.get(pid, 0)
    for key, events in t.events.items():
        tracefiles.assert_nested(events)
        tracefiles.assert_time_ordered(events)
        # leaf calls nothing and mid only leaf: a gap closes what ended in it
        # instead of leaving it open for later calls to nest in.
        stack = []
        for s in events:
            if s.phase == "B":
                if stack and stack[-1] == "leaf":
                    pytest.fail(f"{s.name} inside leaf on thread {key}")
                if stack and stack[-1] == "mid":
                    assert s.name in ("leaf", tracefiles.LOST), s.name
                stack.append(s.name)
            elif s.phase == "E":
                stack.pop()
