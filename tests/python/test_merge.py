"""Several traces on one timeline: the wall-clock anchor each run records,
`morvex merge`, and `morvex report` of several traces."""

import json
import socket
import time

import pytest

import morvex
import tracefiles
from conftest import MORVEX
from conftest import run as run_command


def main():
    return sum(range(1000))


def traced_run(path, fmt):
    # Lossless: the tests look for every main() slice.
    with morvex.Tracer(str(path), fmt, lossless=True):
        main()


@pytest.fixture(scope="module")
def runs_a_second_apart(tmp_path_factory):
    """GIVEN two runs of one process (so with one pid), a second apart, one
    trace of each format."""
    d = tmp_path_factory.mktemp("merge")
    first, second = d / "rank0.pftrace", d / "rank1.json"
    traced_run(first, "protobuf")
    time.sleep(1)  # the distance the merged trace must show
    traced_run(second, "json")
    return first, second


def main_starts(t):
    """pid -> the start of its main() slice, in ns."""
    starts = {}
    for (pid, _), evs in t.events.items():
        for s in evs:
            if s.phase == "B" and s.name.endswith("main"):
                starts[pid] = s.ts
    return starts


def test_each_run_records_its_anchor_and_host(runs_a_second_apart):
    first, second = runs_a_second_apart
    a = tracefiles.read_perfetto(first)
    b = tracefiles.read_json(second)
    [(host_a, real_a)] = a.anchors.values()
    [(host_b, real_b)] = b.anchors.values()
    assert host_a == host_b == socket.gethostname()
    # Anchors are wall-clock readings of the runs' starts.
    assert real_a < real_b <= time.time_ns()
    assert 1.0 <= (real_b - real_a) / 1e9 < 1.0 + 5  # a loaded machine may be slow


def test_merge_shows_the_runs_main_slices_as_far_apart_as_they_ran(runs_a_second_apart, tmp_path):
    first, second = runs_a_second_apart
    out = tmp_path / "all.json"
    # WHEN they are merged
    r = run_command(MORVEX + ["merge", str(first), str(second), "-o", str(out)])
    assert r.returncode == 0, r.stderr
    # THEN each keeps its process, named after its host and file
    merged = tracefiles.read_json(out)
    starts = main_starts(merged)
    assert len(starts) == 2, starts
    names = merged.process_names
    [pid_a] = [p for p, n in names.items() if n.endswith("(rank0.pftrace)")]
    [pid_b] = [p for p, n in names.items() if n.endswith("(rank1.json)")]
    assert pid_a != pid_b
    assert socket.gethostname() in names[pid_a]
    # ... each main thread still its process's main thread
    assert {k for k in merged.thread_names if merged.thread_names[k] == "MainThread"} == {
        (pid_a, pid_a), (pid_b, pid_b)}
    # ... and the main slices lie as far apart as the anchors say: a second
    # and the little more the second run took to start.
    a = tracefiles.read_perfetto(first)
    b = tracefiles.read_json(second)
    [(_, real_a)] = a.anchors.values()
    [(_, real_b)] = b.anchors.values()
    expected = (real_b + main_starts(b).popitem()[1]) - (real_a + main_starts(a).popitem()[1])
    apart = starts[pid_b] - starts[pid_a]
    assert abs(apart - expected) <= 1, (apart, expected)  # JSON keeps whole ns
    assert 1.0 <= apart / 1e9 < 1.0 + 5
    # The summary says how the clocks were aligned, and the pid that moved.
    assert "+0.000000 s" in r.stderr and "clocks were synchronised" in r.stderr, r.stderr
    assert f"pid {pid_a} is {pid_b} here" in r.stderr, r.stderr
    assert "warning" not in r.stderr


def test_the_merged_trace_reads_back_with_every_slice(runs_a_second_apart, tmp_path):
    first, second = runs_a_second_apart
    out = tmp_path / "all.json"
    assert run_command(MORVEX + ["merge", str(first), str(second), "-o", str(out)]).returncode == 0
    rows = json.loads(run_command(MORVEX + ["report", str(out), "--json", "--top", "0"],
                                  check=True).stdout)
    both = json.loads(run_command(MORVEX + ["report", str(first), str(second), "--json", "--top", "0"],
                                  check=True).stdout)
    # The merged trace and the two read as one give the same figures.
    key = lambda r: (r["function"], r["calls"], r["total_ns"], r["self_ns"])
    assert sorted(map(key, rows)) == sorted(map(key, both))
    [row] = [r for r in rows if r["function"].endswith("main")]
    assert row["calls"] == 2


def test_report_of_several_traces_keeps_their_processes_apart(runs_a_second_apart):
    first, second = runs_a_second_apart
    r = run_command(MORVEX + ["report", str(first), str(second), "--threads"])
    assert r.returncode == 0, r.stderr
    assert "(rank0.pftrace)" in r.stdout and "(rank1.json)" in r.stdout, r.stdout
    assert r.stdout.count("MainThread (pid") >= 2, r.stdout


def test_an_input_without_anchor_is_placed_at_zero_with_a_warning(runs_a_second_apart, tmp_path):
    first, _ = runs_a_second_apart
    old = tmp_path / "old.json"
    # A trace as runs wrote it before they recorded where they lie.
    old.write_text('[{"name":"main","cat":"py","ph":"B","ts":5.0,"pid":7,"tid":7,'
                   '"args":{"file":"x.py","line":1,"kind":"start"}},'
                   '{"name":"main","cat":"py","ph":"E","ts":9.0,"pid":7,"tid":7,'
                   '"args":{"file":"x.py","line":1,"kind":"return"}},')
    out = tmp_path / "all.json"
    r = run_command(MORVEX + ["merge", str(first), str(old), "-o", str(out)])
    assert r.returncode == 0, r.stderr
    assert f"warning: {old} has no wall-clock anchor" in r.stderr, r.stderr
    merged = tracefiles.read_json(out)
    assert main_starts(merged)[7] == 5000
    assert 7 not in merged.anchors


@pytest.mark.parametrize("args, status, words", [
    # As report and convert: 1 for a trace that cannot be read, 2 for usage.
    (["merge", "missing.pftrace", "-o", "out.json"], 1, "cannot read missing.pftrace"),
    (["merge", "a.pftrace"], 2, "--output <OUT>"),
])
def test_bad_merges_say_why_in_one_line(tmp_path, args, status, words):
    r = run_command(MORVEX + args, cwd=tmp_path)
    assert r.returncode == status, (r.returncode, r.stderr)
    assert words in r.stderr
    if status == 1:
        assert r.stderr.count("\n") == 1, r.stderr
    assert not (tmp_path / "out.json").exists()


def test_a_compressed_trace_carries_its_anchor_and_merges(runs_a_second_apart, tmp_path):
    _, second = runs_a_second_apart
    packed = tmp_path / "packed.pftrace"
    with morvex.Tracer(str(packed), compress=True, lossless=True):
        main()
    [(host, _)] = tracefiles.read_perfetto(packed).anchors.values()
    assert host == socket.gethostname()
    out = tmp_path / "all.json"
    r = run_command(MORVEX + ["merge", str(second), str(packed), "-o", str(out)])
    assert r.returncode == 0, r.stderr
    starts = main_starts(tracefiles.read_json(out))
    assert len(starts) == 2, starts
    [packed_pid] = [p for p, n in tracefiles.read_json(out).process_names.items()
                    if n.endswith("(packed.pftrace)")]
    # The compressed run came after the JSON one.
    assert starts[packed_pid] == max(starts.values()) > min(starts.values())


def test_instants_keep_their_names_and_threads_through_a_merge(tmp_path):
    # GIVEN runs in both formats marking instants on two threads
    import threading
    inputs = []
    for name, fmt in (("a.pftrace", "protobuf"), ("b.json", "json")):
        path = tmp_path / name
        with morvex.Tracer(str(path), fmt, lossless=True):
            morvex.instant(f"main-{fmt}")
            w = threading.Thread(target=morvex.instant, args=(f"worker-{fmt}",), name="w")
            w.start()
            w.join()
        inputs.append(path)
    out = tmp_path / "all.json"
    # WHEN merged THEN each instant is on its own thread, named as marked
    r = run_command(MORVEX + ["merge", *map(str, inputs), "-o", str(out)])
    assert r.returncode == 0, r.stderr
    merged = tracefiles.read_json(out)
    marked = {s.name: merged.thread_names[key] for key, evs in merged.events.items()
              for s in evs if s.phase == "i"}
    assert marked == {"main-protobuf": "MainThread", "worker-protobuf": "w",
                      "main-json": "MainThread", "worker-json": "w"}
