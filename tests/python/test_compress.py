"""Compressed Perfetto traces (compress=True) read with the official schema
and Python's zlib: the slices of the plain trace, at trace-clock times, from
bundles that forked children and child processes write beside the parent's."""

import json
import sys
import zlib

import pytest

import morvex
import tracefiles
from conftest import run as run_command
from conftest import traced, write_script
from perfetto.protos.perfetto.trace import perfetto_trace_pb2 as pb


def workload():
    def fib(n):
        return n if n < 2 else fib(n - 1) + fib(n - 2)

    def gen():
        yield fib(5)
        yield fib(4)

    for i in range(200):
        with morvex.span("round", i=i):
            fib(8)
            morvex.instant("half", i=i)
            list(gen())
        morvex.counter("rounds", i)


def outer_packets(path):
    trace = pb.Trace()
    trace.ParseFromString(open(path, "rb").read())
    return list(trace.packet)


def test_holds_the_slices_of_the_plain_trace_at_trace_clock_times(tmp_path):
    (tmp_path / "plain").mkdir()
    (tmp_path / "packed").mkdir()
    plain = traced(tmp_path / "plain", "protobuf", workload)
    packed = traced(tmp_path / "packed", "protobuf", workload, compress=True)
    [p_events] = [evs for evs in plain.events.values() if evs]
    [z_events] = [evs for evs in packed.events.values() if evs]
    assert len(z_events) > 20_000
    shape = lambda evs: [(s.phase, s.name, s.cat, s.args, s.file, s.line, s.call)  # noqa: E731
                         for s in evs]
    assert shape(z_events) == shape(p_events)
    # User events are timed on the sequence's clock like the rest.
    [(_, p_counter)] = plain.counters.items()
    [(_, z_counter)] = packed.counters.items()
    assert [v for _, v in z_counter] == [v for _, v in p_counter] == list(range(200))
    assert all(z_events[0].ts <= ts <= z_events[-1].ts for ts, _ in z_counter)
    # Deltas summed from the right start: both runs begin and last alike on
    # the clock of their run (a bundle's deltas summed twice, or from 0, would
    # not).
    assert 0 < z_events[0].ts < 20 * max(p_events[0].ts, 10**7)
    plain_span = p_events[-1].ts - p_events[0].ts
    packed_span = z_events[-1].ts - z_events[0].ts
    assert packed_span < 20 * plain_span and plain_span < 20 * packed_span
    # Every packet of the file is a bundle, and it is several times smaller.
    packets = outer_packets(tmp_path / "packed" / "t.pftrace")
    assert packets and all(p.HasField("compressed_packets") for p in packets)
    sizes = [len(zlib.decompress(p.compressed_packets)) for p in packets]
    assert len(sizes) > 2 and max(sizes) <= 128 * 1024
    plain_size = (tmp_path / "plain" / "t.pftrace").stat().st_size
    assert (tmp_path / "packed" / "t.pftrace").stat().st_size * 4 < plain_size


def test_only_a_perfetto_trace_is_compressed(tmp_path):
    with pytest.raises(ValueError, match="compress"):
        morvex.Tracer(str(tmp_path / "t.json"), "json", compress=True)


def test_forked_children_and_child_processes_write_bundles_of_their_own(tmp_path):
    script = write_script(tmp_path / "scenario.py", """
        import os, subprocess, sys
        import morvex._core as core

        def fib(n):
            return n if n < 2 else fib(n - 1) + fib(n - 2)

        def child_work():
            return fib(14)

        write_script = "def fib(n):\\n    return n if n < 2 else fib(n - 1) + fib(n - 2)\\nfib(12)\\n"
        open("child.py", "w").write(write_script)
        kids = []
        with core.Tracer("t.pftrace", compress=True, lossless=True):
            for _ in range(3):
                pid = os.fork()
                if pid == 0:
                    child_work()
                    break
                kids.append(pid)
            else:
                subprocess.run([sys.executable, "child.py"], check=True)
                fib(15)
        if pid == 0:
            os._exit(0)
        for pid in kids:
            _, status = os.waitpid(pid, 0)
            assert os.waitstatus_to_exitcode(status) == 0
        print(os.getpid(), *kids)
    """)
    r = run_command([sys.executable, str(script)], cwd=tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr
    parent, *kids = map(int, r.stdout.split())
    path = tmp_path / "t.pftrace"
    assert all(p.HasField("compressed_packets") for p in outer_packets(path))
    t = tracefiles.read(path, "protobuf")
    assert len(t.pids) == 5 and {parent, *kids} < t.pids

    def fib_calls(pid):
        return sum(1 for (p, _), evs in t.events.items() if p == pid for s in evs
                   if s.name == "fib" and s.phase == "B")

    assert fib_calls(parent) == 1973
    assert [fib_calls(k) for k in kids] == [1219] * 3
    [child_process] = t.pids - {parent, *kids}
    assert fib_calls(child_process) == 465
    for (pid, _), evs in t.events.items():
        # A child process's run ends inside the hook that ends it.
        tracefiles.assert_nested(evs, allow_open=pid == child_process)
        tracefiles.assert_time_ordered(evs)


def test_morvex_run_compress_reports_the_rows_of_the_plain_trace(tmp_path):
    script = write_script(tmp_path / "prog.py", """
        def fib(n):
            return n if n < 2 else fib(n - 1) + fib(n - 2)
        fib(16)
    """)
    rows = {}
    for name, extra in (("plain", []), ("packed", ["--compress"])):
        out = tmp_path / f"{name}.pftrace"
        r = run_command([sys.executable, "-m", "morvex", "run", "--lossless", *extra,
                         "-o", str(out), str(script)], cwd=tmp_path)
        assert r.returncode == 0, r.stderr
        rep = run_command([sys.executable, "-m", "morvex", "report", str(out)], cwd=tmp_path)
        assert rep.returncode == 0, rep.stderr
        rows[name] = [line.split()[:3] for line in rep.stdout.splitlines()
                      if line.startswith(("fib ", "<module> "))]
    assert rows["packed"] == rows["plain"] and rows["plain"][0][2] == "3,193/1"


def frame(packet_bytes):
    """A Trace.packet field holding packet_bytes."""
    return pb.Trace(packet=[pb.TracePacket.FromString(packet_bytes)]).SerializeToString()


def bundle(payload):
    return pb.Trace(packet=[pb.TracePacket(compressed_packets=payload)]).SerializeToString()


def summary(path, cwd):
    r = run_command([sys.executable, "-m", "morvex", "report", "--summary", "--json", str(path)],
                    cwd=cwd)
    assert r.returncode == 0, r.stderr
    return json.loads(r.stdout)


def test_reads_bundles_other_writers_make_and_refuses_broken_ones(tmp_path):
    plain = tmp_path / "t.pftrace"
    with morvex.Tracer(str(plain), lossless=True):
        workload()
    packets = [p.SerializeToString() for p in outer_packets(plain)]
    framed = b"".join(frame(p) for p in packets)
    # Far more than any bundle morvex writes: the reader's buffer must grow.
    assert len(framed) > 512 * 1024
    want = summary(plain, tmp_path)

    whole = tmp_path / "whole.pftrace"
    whole.write_bytes(bundle(zlib.compress(framed, 9)))
    got = summary(whole, tmp_path)
    assert got["events"] == want["events"] > 20_000 and got["damage"] is None
    assert got["threads"] == want["threads"]
    # Bundles and bare packets may follow one another.
    mixed = tmp_path / "mixed.pftrace"
    half = len(packets) // 2
    mixed.write_bytes(bundle(zlib.compress(b"".join(frame(p) for p in packets[:half])))
                      + b"".join(frame(p) for p in packets[half:]))
    assert summary(mixed, tmp_path)["threads"] == want["threads"]

    head = bundle(zlib.compress(b"".join(frame(p) for p in packets[:half])))
    stream = zlib.compress(b"".join(frame(p) for p in packets[half:]))
    broken = {
        "trailing bytes after the stream": stream + b"\0\0",
        "the stream cut short": stream[:-5],
        "a bundle inside a bundle": zlib.compress(bundle(stream)),
        "a packet cut by the stream's end": zlib.compress(frame(packets[-1])[:-1]),
        # 80 MB of empty packets: more than the reader holds of one record.
        "too large inflated": zlib.compress(b"\x0a\x00" * (40 << 20)),
    }
    for what, payload in broken.items():
        path = tmp_path / "broken.pftrace"
        path.write_bytes(head + bundle(payload))
        got = summary(path, tmp_path)
        assert got["damage"] is not None and "corrupt" in json.dumps(got["damage"]), what
        assert got["damage"]["offset"] == len(head), what
        # Everything before the broken bundle is read.
        assert 0 < got["events"] < want["events"], what
