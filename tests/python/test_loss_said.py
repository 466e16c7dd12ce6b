"""A run that loses events says so: one line at the end of `morvex run`,
counting every process that wrote into the trace; the Tracer's counts; and
`morvex report --summary --json` for scripts.

Loss is forced without depending on the machine's speed: the traced program
holds the trace file's lock (flock), which the writers take for every write.
While it does, nothing reaches the file, the buffers fill, and everything
the threads record beyond them is dropped - whatever the speed of the
machine, as long as they record more than the buffers hold.
"""

import json
import os
import re
import signal
import subprocess
import sys
import textwrap

import pytest

import morvex
import tracefiles
from conftest import MORVEX, TIMEOUT, environment, run

# Calls per hot thread: two events each, three threads - several times what
# the pipeline and the rings of three threads can hold.
CALLS = 400_000

# Holds the trace's lock while three threads run hot, so that the writers
# stand still.
HOT = """
    import fcntl, os, sys, threading

    def leaf(x):
        return x

    def hot(calls):
        for i in range(calls):
            leaf(i)

    def stalled(path, calls):
        fd = os.open(path, os.O_WRONLY)
        fcntl.flock(fd, fcntl.LOCK_EX)
        try:
            threads = [threading.Thread(target=hot, args=(calls,)) for _ in range(3)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        finally:
            fcntl.flock(fd, fcntl.LOCK_UN)
            os.close(fd)

    if __name__ == "__main__":
        stalled(sys.argv[1], int(sys.argv[2]))
"""

LINE = re.compile(r"morvex: (\d+) of (\d+) events dropped in (\S+)(?: by (\d+) of (\d+) "
                  r"processes)? \((.*)\)(; --lossless keeps every event)?")


def write(path, text):
    path.write_text(textwrap.dedent(text))
    return path


def loss_line(stderr):
    """The one line that says what was lost, parsed."""
    lines = [line for line in stderr.splitlines() if " events dropped in " in line]
    assert len(lines) == 1, stderr
    m = LINE.fullmatch(lines[0])
    assert m, lines[0]
    return m


def test_a_json_run_of_three_hot_threads_that_loses_events_says_so(tmp_path):
    write(tmp_path / "hot.py", HOT)
    temp = tmp_path / "temp"
    temp.mkdir()
    r = run(MORVEX + ["run", "-f", "json", "-o", "t.json", "hot.py", "t.json", str(CALLS)],
            cwd=tmp_path, env=environment(TMPDIR=str(temp)), timeout=300)
    assert r.returncode == 0, r.stderr
    # The tally the processes tell their counts to is gone with the run.
    assert os.listdir(temp) == []
    # Nothing else on stderr: that one line.
    assert len(r.stderr.splitlines()) == 1, r.stderr
    m = loss_line(r.stderr)
    t = tracefiles.read(tmp_path / "t.json", "json")
    (pid,) = t.pids
    dropped, recorded = int(m[1]), int(m[2])
    # As many as the trace's own record says, of at least what the threads made.
    assert dropped == t.dropped[pid] > 0
    assert recorded >= 3 * 2 * CALLS and recorded > dropped
    assert m[3] == "t.json" and m[4] is None
    assert m[6] == "the writers fell behind" and m[7]
    # The same count the gaps in the trace add up to.
    assert t.lost() == dropped


@pytest.mark.parametrize("lossless", [False, True])
def test_a_run_that_loses_nothing_prints_nothing_new(tmp_path, fmt, lossless):
    # A few hundred events fit the buffers of a thread many times over.
    write(tmp_path / "app.py", HOT.replace("int(sys.argv[2])", "100"))
    options = ["--lossless"] if lossless else []
    r = run(MORVEX + ["run", "-f", fmt, "-o", "t", *options, "app.py", "t"], cwd=tmp_path)
    assert (r.returncode, r.stderr) == (0, "")
    assert tracefiles.read(tmp_path / "t", fmt).dropped == {}


@pytest.mark.forks
def test_the_line_counts_forked_children_and_started_processes(tmp_path):
    # The run's own process loses nothing; a Python process it starts and a
    # child it forks each lose while they hold the lock.
    write(tmp_path / "hot.py", HOT)
    write(tmp_path / "family.py", f"""
        import os, subprocess, sys
        import hot

        print(os.getpid(), flush=True)
        subprocess.run([sys.executable, "hot.py", "t.pftrace", "{CALLS}"], check=True)
        pid = os.fork()
        if pid == 0:
            hot.stalled("t.pftrace", {CALLS})
            # Out through the run, as the parent goes: the child tells its
            # counts and leaves the saying to the parent.
            sys.exit(0)
        os.waitpid(pid, 0)
    """)
    r = run(MORVEX + ["run", "-o", "t.pftrace", "family.py"], cwd=tmp_path, timeout=300)
    assert r.returncode == 0, r.stderr
    m = loss_line(r.stderr)
    t = tracefiles.read(tmp_path / "t.pftrace", "protobuf")
    assert len(t.pids) == 3
    lossy = {pid for pid, n in t.dropped.items() if n}
    # By pid, not by order: pids wrap around.
    assert lossy == t.pids - {int(r.stdout.split()[0])}
    assert int(m[1]) == sum(t.dropped.values())
    assert int(m[2]) >= 2 * 3 * 2 * CALLS
    assert (m[4], m[5]) == ("2", "3")


def test_an_interrupted_lossless_run_says_what_the_interruption_cost(tmp_path):
    # Ctrl-C ends every lossless wait of the run: what finds no room from
    # then on is lost, counted and said. The process itself ignores it (a
    # handler set before the run, which the run keeps), so that the program
    # runs on to the end whenever the signal comes.
    write(tmp_path / "hot.py", HOT)
    write(tmp_path / "app.py", f"""
        import hot

        print("ready", flush=True)
        hot.stalled("t.json", {CALLS})
    """)
    launcher = ("import signal, sys; signal.signal(signal.SIGINT, lambda *_: None); "
                "from morvex import cli_main; "
                "sys.exit(cli_main(['morvex', *sys.argv[1:]], _errors_as_lines=True))")
    p = subprocess.Popen([sys.executable, "-c", launcher,
                          "run", "--lossless", "-f", "json", "-o", "t.json", "app.py"],
                         cwd=tmp_path, env=environment(), stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
    try:
        assert p.stdout.readline() == "ready\n"
        p.send_signal(signal.SIGINT)
        _, err = p.communicate(timeout=TIMEOUT)
    finally:
        p.kill()
        p.wait()
    assert p.returncode == 0, err
    assert err.startswith("morvex: trace incomplete: interrupted")
    m = loss_line(err)
    t = tracefiles.read(tmp_path / "t.json", "json")
    assert int(m[1]) == sum(t.dropped.values()) > 0
    # Lossless already: the line blames the interruption, not the writers.
    assert m[6] == "the lossless wait was interrupted" and m[7] is None


class TestTracerCounts:
    def test_none_until_a_run_has_ended_and_while_one_runs(self, tmp_path):
        t = morvex.Tracer(tmp_path / "t.json", "json", lossless=True)
        assert (t.events, t.dropped) == (None, None)
        with t:
            assert (t.events, t.dropped) == (None, None)
            write(tmp_path / "x", "")
        assert t.dropped == 0 and t.events > 0
        with pytest.raises(AttributeError):
            t.dropped = 1

    def test_events_count_what_the_run_recorded(self, tmp_path):
        def fib(n):
            return n if n < 2 else fib(n - 1) + fib(n - 2)

        def counted(n):
            t = morvex.Tracer(tmp_path / f"{n}.json", "json", lossless=True)
            with t:
                fib(n)
            return t.events

        # fib(10) makes 177 calls, fib(12) 465; the rest of a run is the same.
        assert counted(12) - counted(10) == 2 * (465 - 177)

    def test_dropped_is_what_the_trace_records(self, tmp_path, fmt):
        sys.path.insert(0, str(write(tmp_path / "hot.py", HOT).parent))
        try:
            import hot
            path = tmp_path / "t"
            t = morvex.Tracer(path, fmt)
            with t:
                hot.stalled(path, CALLS)
        finally:
            sys.path.remove(str(tmp_path))
            sys.modules.pop("hot", None)
        trace = tracefiles.read(path, fmt)
        assert t.dropped == sum(trace.dropped.values()) > 0
        assert t.events >= 3 * 2 * CALLS


class TestSummary:
    def summary(self, path):
        r = run(MORVEX + ["report", "--summary", "--json", str(path)])
        assert (r.returncode, r.stderr) == (0, ""), r.stderr
        return json.loads(r.stdout)

    def test_a_known_trace(self, tmp_path, fmt):
        import threading

        def leaf():
            pass

        def work(n):
            for _ in range(n):
                leaf()

        path = tmp_path / "t"
        with morvex.Tracer(path, fmt, lossless=True, include=__name__, max_depth=5):
            worker = threading.Thread(target=work, args=(7,), name="worker")
            worker.start()
            worker.join()
            work(3)
        s = self.summary(path)
        t = tracefiles.read(path, fmt)
        assert s["file"] == str(path) and s["file_size"] == path.stat().st_size
        assert s["format"] == fmt
        assert (s["dropped"], s["lost_gaps"], s["damage"]) == (0, 0, None)
        assert s["events"] == sum(len(evs) for evs in t.events.values())
        assert s["first_ts"] <= s["last_ts"]
        (pid,) = t.pids
        assert [(p["pid"], p["dropped"]) for p in s["processes"]] == [(pid, 0)]
        filters = s["filters"]
        assert filters == s["processes"][0]["filters"] | {"same_options": True}
        assert (filters["include"], filters["exclude"], filters["max_depth"]) == (__name__, None, 5)
        threads = {th["name"]: th for th in s["threads"]}
        assert set(threads) == {"MainThread", "worker"}
        # work and 7 leaf calls on the worker; on the main thread work, 3
        # leaf calls, and what this test runs of its own module.
        assert threads["worker"]["slices"] == 8
        assert threads["MainThread"]["slices"] >= 4
        for th in s["threads"]:
            assert th["pid"] == pid and th["first_ts"] <= th["last_ts"]
            assert 0 < th["traced_ns"] <= th["last_ts"] - th["first_ts"]
        assert s["notes"] and s["notes"][0].startswith("Filtered while recording")

    def test_a_trace_that_lost_events_and_was_cut_off(self, tmp_path):
        path = tmp_path / "t.json"
        write(tmp_path / "hot.py", HOT)
        r = run(MORVEX + ["run", "-f", "json", "-o", str(path), "hot.py", str(path), str(CALLS)],
                cwd=tmp_path, timeout=300)
        s = self.summary(path)
        (pid,) = tracefiles.read(path, "json").pids
        assert s["dropped"] == s["processes"][0]["dropped"] == int(loss_line(r.stderr)[1])
        assert s["lost_gaps"] > 0 and s["filters"] is None
        assert s["notes"][0].endswith("events were dropped while tracing; figures are lower bounds.")
        # A process killed while writing leaves a record cut short.
        size = path.stat().st_size
        with open(path, "r+b") as f:
            f.truncate(size - 30)
        s = self.summary(path)
        assert s["damage"]["kind"] == "cut_off" and 0 < s["damage"]["offset"] < size - 30

    def test_the_text_summary_and_options_that_make_no_sense_with_it(self, tmp_path):
        path = tmp_path / "t.json"
        with morvex.Tracer(path, "json", lossless=True):
            pass
        r = run(MORVEX + ["report", "--summary", str(path)])
        assert r.returncode == 0 and r.stdout.startswith(f"Trace      {path} (JSON, ")
        assert "\nDropped    none\n" in r.stdout and "\nFilters    none\n" in r.stdout
        for option in (["--top", "3"], ["--sort", "total"], ["--threads"], ["--pid", "1"]):
            r = run(MORVEX + ["report", "--summary", *option, str(path)])
            assert r.returncode == 2 and r.stdout == ""
            assert f"the argument '{option[0]}" in r.stderr and "'--summary'" in r.stderr
