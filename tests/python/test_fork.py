"""Tracing across os.fork() and into child processes.

Every scenario runs in a fresh interpreter under a timeout, so a hang fails
the test instead of CI, and each script reaps the children it forks.
"""

import json
import os
import sys
import textwrap

import pytest

import morvex._core as core
import tracefiles
from conftest import environment, write_script
from conftest import run as run_command

pytestmark = pytest.mark.forks

PRELUDE = """
import json, os, select, sys, threading, time
import morvex._core as core

def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)

def before_fork_marker(): pass
def child_work(): return fib(7)
def parent_after(): return fib(6)

# A bound on any one wait of a scenario, well inside the test's own.
WAIT = 50

def reap(pid):
    # Waits for the child to end (readable pidfd), within the bound.
    fd = os.pidfd_open(pid)
    try:
        assert select.select([fd], [], [], WAIT)[0], f"child {pid} still runs"
    finally:
        os.close(fd)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0, status

def join(thread):
    thread.join(WAIT)
    assert not thread.is_alive(), f"{thread.name} still runs"
"""


def run(tmp_path, body, timeout=60):
    script = write_script(tmp_path / "scenario.py", PRELUDE + textwrap.dedent(body))
    r = run_command([sys.executable, str(script)], cwd=tmp_path, timeout=timeout)
    assert r.returncode == 0, r.stdout + r.stderr
    lines = [line for line in r.stdout.splitlines() if line.startswith("{")]
    return json.loads(lines[-1]) if lines else None


def events_of(trace, pid, name):
    return [s for (p, _), evs in trace.events.items() if p == pid for s in evs if s.name == name]


@pytest.mark.parametrize("fmt", ["json", "protobuf"])
def test_forked_child_continues_the_trace_in_the_same_file(tmp_path, fmt):
    info = run(tmp_path, f"""
        path = os.path.join(os.getcwd(), "t")
        with core.Tracer(path, "{fmt}", lossless=True):
            before_fork_marker()
            pid = os.fork()
            if pid == 0:
                child_work()
        if pid == 0:
            os._exit(0)
        reap(pid)
        print(json.dumps({{"path": path, "parent": os.getpid(), "child": pid}}))
    """)
    parent, child = info["parent"], info["child"]
    data = open(info["path"], "rb").read()
    t = tracefiles.read(info["path"], fmt)
    assert t.pids == {parent, child}
    # The forking thread is a new thread in the child, with the child's id.
    assert {tid for (pid, tid) in t.events if pid == child} == {child}
    assert {tid for (pid, tid) in t.events if pid == parent} == {parent}
    assert events_of(t, parent, "before_fork_marker")
    assert not events_of(t, child, "before_fork_marker")
    assert len([s for s in events_of(t, child, "fib") if s.phase == "B"]) == 41
    assert not events_of(t, parent, "child_work")
    # The child's slices lie after what the parent did before the fork.
    marker_ts = events_of(t, parent, "before_fork_marker")[0].ts
    assert min(s.ts for s in events_of(t, child, "child_work")) > marker_ts
    for (pid, _), evs in t.events.items():
        tracefiles.assert_time_ordered(evs)
    if fmt == "json":
        assert data.count(b"[") == 1 and data.startswith(b"[")
    else:
        from perfetto.protos.perfetto.trace import perfetto_trace_pb2 as pb
        trace = pb.Trace()
        trace.ParseFromString(data)
        seqs = {}
        for p in trace.packet:
            if p.HasField("track_descriptor"):
                d = p.track_descriptor
                owner = d.process.pid if d.HasField("process") else d.thread.pid
                seqs.setdefault(owner, set()).add(p.trusted_packet_sequence_id)
        assert seqs[parent] == {1, 2}
        base = (child * 128) % 2**32
        assert seqs[child] == {base + 1, base + 2}


def test_second_and_third_forks_and_a_grandchild(tmp_path):
    info = run(tmp_path, """
        path = os.path.join(os.getcwd(), "t.json")
        kids = []
        with core.Tracer(path, "json"):
            for i in range(3):
                pid = os.fork()
                if pid == 0:
                    child_work()
                    if i == 2:  # the third child forks once more
                        grand = os.fork()
                        if grand == 0:
                            fib(5)
                            kids.clear()
                            kids.append(-1)
                            break
                        reap(grand)
                        kids.append(grand)
                    break
                kids.append(pid)
            else:
                pid = None
                parent_after()
        if pid == 0 or (kids and kids[0] == -1):
            print(json.dumps({"kids": kids}))
            os._exit(0)
        for k in kids:
            reap(k)
        print(json.dumps({"path": path, "parent": os.getpid(), "kids": kids}))
    """)
    t = tracefiles.read(info["path"], "json")
    assert len(info["kids"]) == 3
    # The third child's own output was not printed; its grandchild is in the
    # file as a fifth process.
    assert len(t.pids) == 5
    assert info["parent"] in t.pids and set(info["kids"]) <= t.pids


def test_fork_from_a_thread_other_than_the_one_that_entered(tmp_path):
    info = run(tmp_path, """
        path = os.path.join(os.getcwd(), "t.pftrace")
        result = {}
        def forker():
            pid = os.fork()
            if pid == 0:
                child_work()
                core.Tracer  # the child's run was started by the hooks
                t.__exit__()
                os._exit(0)
            reap(pid)
            result["child"] = pid
        with core.Tracer(path) as t:
            th = threading.Thread(target=forker, name="forker")
            th.start()
            join(th)
            parent_after()
        print(json.dumps({"path": path, "parent": os.getpid(), **result}))
    """)
    t = tracefiles.read(info["path"], "protobuf")
    assert t.pids == {info["parent"], info["child"]}
    assert events_of(t, info["child"], "child_work")
    assert events_of(t, info["parent"], "parent_after")


def test_many_forks_while_other_threads_call_functions(tmp_path):
    info = run(tmp_path, """
        path = os.path.join(os.getcwd(), "t.json")
        # Each fork lets every worker make a few more calls: they call
        # functions between and across the forks, and the trace stays small.
        room = threading.Condition()
        forks = [0]
        def busy():
            for calls in range(5 * 51):
                with room:
                    assert room.wait_for(lambda: calls < 5 * (forks[0] + 1), WAIT)
                fib(10)
        with core.Tracer(path, "json", lossless=True) as t:
            workers = [threading.Thread(target=busy, name=f"busy-{i}") for i in range(3)]
            for w in workers: w.start()
            pids = []
            for i in range(50):
                pid = os.fork()
                if pid == 0:
                    fib(3)
                    t.__exit__()
                    os._exit(0)
                pids.append(pid)
                with room:
                    forks[0] += 1
                    room.notify_all()
            for pid in pids:
                reap(pid)
            for w in workers: join(w)
        print(json.dumps({"path": path, "parent": os.getpid(), "pids": pids}))
    """)
    t = tracefiles.read(info["path"], "json")
    assert t.pids == {info["parent"], *info["pids"]}
    for i in range(3):
        events = t.thread_events(f"busy-{i}")
        tracefiles.assert_time_ordered(events)
        # Every call of fib(10) is 177 of fib.
        assert [s.name for s in events if s.phase == "B"].count("fib") == 5 * 51 * 177


def test_events_in_the_fork_window_are_not_recorded_in_the_parent(tmp_path):
    info = run(tmp_path, """
        def in_window(): pass
        def after_window(): pass
        # Registered before the tracer's own hooks: our "before" runs after
        # the tracer stopped its callbacks, our "after" before it resumed them.
        os.register_at_fork(before=in_window, after_in_parent=in_window)
        path = os.path.join(os.getcwd(), "t.json")
        with core.Tracer(path, "json") as t:
            pid = os.fork()
            if pid == 0:
                t.__exit__()
                os._exit(0)
            after_window()
        reap(pid)
        print(json.dumps({"path": path, "parent": os.getpid()}))
    """)
    t = tracefiles.read(info["path"], "json")
    assert not events_of(t, info["parent"], "in_window")
    assert events_of(t, info["parent"], "after_window")


def test_fork_without_a_running_tracer_does_nothing(tmp_path):
    info = run(tmp_path, """
        path = os.path.join(os.getcwd(), "t.json")
        pid = os.fork()          # no tracer ever entered: hooks not registered
        if pid == 0:
            os._exit(0 if not os.path.exists(path) else 3)
        reap(pid)
        with core.Tracer(path, "json"):
            fib(3)
        size = os.path.getsize(path)
        pid = os.fork()          # after the exit: the hooks return at once
        if pid == 0:
            fib(4)
            os._exit(0)
        reap(pid)
        print(json.dumps({"size": size, "after": os.path.getsize(path),
                          "slot": sys.monitoring.get_tool(sys.monitoring.PROFILER_ID)}))
    """)
    assert info["size"] == info["after"]
    assert info["slot"] is None


def test_subprocess_and_multiprocessing_children_join_the_trace(tmp_path):
    (tmp_path / "child.py").write_text("def child_script_work():\n    return sum(range(10))\n"
                                       "child_script_work()\nimport os\nprint(os.getpid())\n")
    info = run(tmp_path, """
        import multiprocessing, subprocess
        def spawned_work():
            return fib(5)
        if __name__ == "__main__":
            path = os.path.join(os.getcwd(), "t.pftrace")
            with core.Tracer(path):
                before_fork_marker()
                out = subprocess.run([sys.executable, "child.py"], capture_output=True,
                                     text=True, check=True, timeout=60).stdout
                ctx = multiprocessing.get_context("spawn")
                p = ctx.Process(target=spawned_work)
                p.start()
                p.join(60)
                assert p.exitcode == 0
            print(json.dumps({"path": path, "parent": os.getpid(),
                              "sub": int(out.strip()), "spawned": p.pid}))
    """, timeout=120)
    t = tracefiles.read(info["path"], "protobuf")
    assert {info["parent"], info["sub"], info["spawned"]} <= t.pids
    assert events_of(t, info["sub"], "child_script_work")
    assert events_of(t, info["spawned"], "spawned_work")
    # Children write on the parent's timeline.
    marker = events_of(t, info["parent"], "before_fork_marker")[0].ts
    assert min(s.ts for s in events_of(t, info["sub"], "child_script_work")) > marker
    # Without the variables nothing joins the trace.
    assert "MORVEX_CHILD_OUTPUT" not in os.environ


def test_child_hook_costs_nothing_without_the_variable(tmp_path):
    env = {k: v for k, v in os.environ.items() if not k.startswith("MORVEX_")}
    r = run_command([sys.executable, "-c", "import sys; print('morvex' in sys.modules, "
                     "'morvex._child' in sys.modules)"], env=env)
    assert r.stdout.split() == ["False", "False"]


def test_a_broken_child_hook_never_breaks_the_child(tmp_path):
    env = environment(MORVEX_CHILD_OUTPUT=str(tmp_path / "no" / "dir" / "t"),
                      MORVEX_CHILD_FORMAT="bogus")
    r = run_command([sys.executable, "-c", "print('fine')"], env=env)
    assert r.returncode == 0 and r.stdout == "fine\n" and r.stderr == ""


@pytest.mark.parametrize("method", ["fork", "forkserver"])
def test_multiprocessing_children_finish_their_part(tmp_path, method):
    # Both end their children with os._exit, past atexit.
    info = run(tmp_path, f"""
        import multiprocessing
        def worker_work():
            return fib(6)
        if __name__ == "__main__":
            path = os.path.join(os.getcwd(), "t.json")
            with core.Tracer(path, "json", lossless=True):
                ctx = multiprocessing.get_context("{method}")
                procs = [ctx.Process(target=worker_work) for _ in range(2)]
                for p in procs: p.start()
                for p in procs: p.join(60)
                assert all(p.exitcode == 0 for p in procs)
            print(json.dumps({{"path": path, "kids": [p.pid for p in procs]}}))
    """, timeout=120)
    t = tracefiles.read(info["path"], "json")
    for kid in info["kids"]:
        assert len([s for s in events_of(t, kid, "worker_work") if s.phase == "B"]) == 1


def test_a_traced_program_may_start_its_own_morvex_run(tmp_path):
    (tmp_path / "inner.py").write_text("def inner_work():\n    return 1\ninner_work()\n")
    info = run(tmp_path, """
        import subprocess
        path = os.path.join(os.getcwd(), "outer.json")
        with core.Tracer(path, "json"):
            r = subprocess.run([sys.executable, "-m", "morvex", "run", "-o", "inner.json",
                                "-f", "json", "inner.py"], capture_output=True, text=True,
                               timeout=60)
        print(json.dumps({"path": path, "rc": r.returncode, "err": r.stderr}))
    """, timeout=120)
    assert info["rc"] == 0, info["err"]
    inner = tracefiles.read(tmp_path / "inner.json", "json")
    assert "inner_work" in inner.names()
    assert "inner_work" not in tracefiles.read(info["path"], "json").names()


@pytest.mark.parametrize("fmt", ["json", "protobuf"])
def test_os_exit_finishes_the_trace_first(tmp_path, fmt):
    # A forked child ends with os._exit, the usual idiom; so does the parent
    # itself. Neither loses what its threads still buffered.
    script = tmp_path / "scenario.py"
    script.write_text(PRELUDE + textwrap.dedent(f"""
        path = os.path.join(os.getcwd(), "t")
        tracer = core.Tracer(path, "{fmt}", lossless=True)
        tracer.start()
        pid = os.fork()
        if pid == 0:
            for _ in range(10):
                child_work()
            os._exit(0)
        reap(pid)
        with open("pids", "w") as f:
            json.dump({{"parent": os.getpid(), "child": pid}}, f)
        for _ in range(10):
            fib(12)
        os._exit(3)
    """))
    r = run_command([sys.executable, str(script)], cwd=tmp_path)
    assert r.returncode == 3, r.stderr
    pids = json.loads((tmp_path / "pids").read_text())
    t = tracefiles.read(tmp_path / "t", fmt)
    assert len([s for s in events_of(t, pids["child"], "child_work") if s.phase == "B"]) == 10
    assert len([s for s in events_of(t, pids["parent"], "fib") if s.phase == "B"]) == 10 * 465
    assert t.dropped == {}


def test_os_exit_is_put_back_when_the_run_stops(tmp_path):
    real = os._exit
    with core.Tracer(str(tmp_path / "t.json"), "json"):
        assert os._exit is not real
        assert os._exit.__name__ == "_exit"
    assert os._exit is real
    # A replacement someone made during the run is theirs to keep.
    try:
        with core.Tracer(str(tmp_path / "t.json"), "json"):
            os._exit = mine = lambda status: None
        assert os._exit is mine
    finally:
        os._exit = real
