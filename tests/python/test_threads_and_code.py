"""Many threads, reused ids and code that comes and goes."""

import gc
import sys
import textwrap

import pytest

import morvex
import tracefiles
from conftest import run
from perfetto.protos.perfetto.trace import perfetto_trace_pb2 as pb


@pytest.mark.forks
def test_two_processes_of_400_threads_never_share_a_sequence(tmp_path):
    # Past its first 125 threads a process puts the rest on one sequence of
    # its own block of ids; with pid * 128 + n for every thread, neighbouring
    # pids would mix their threads' names and tracks.
    script = tmp_path / "s.py"
    script.write_text(textwrap.dedent("""
        import os, threading, morvex
        def leaf(i): return i
        def many():
            ts = [threading.Thread(target=leaf, args=(i,), name=f"t{i}") for i in range(400)]
            for t in ts: t.start()
            for t in ts: t.join()
        with morvex.Tracer("t.pftrace"):
            kids = []
            for _ in range(2):
                pid = os.fork()
                if pid == 0:
                    many()
                    os._exit(0)
                kids.append(pid)
            for k in kids:
                os.waitpid(k, 0)
        print(*kids)
    """))
    r = run([sys.executable, str(script)], cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    kids = [int(p) for p in r.stdout.split()]
    trace = pb.Trace()
    trace.ParseFromString((tmp_path / "t.pftrace").read_bytes())
    owner = {}  # sequence -> pid, from the descriptors written on it
    for p in trace.packet:
        if p.HasField("track_descriptor"):
            d = p.track_descriptor
            pid = d.process.pid if d.HasField("process") else d.thread.pid
            assert owner.setdefault(p.trusted_packet_sequence_id, pid) == pid, "a shared sequence"
    t = tracefiles.read(tmp_path / "t.pftrace", "protobuf")  # every name and track resolves
    for kid in kids:
        names = {n for (pid, tid), n in t.thread_names.items() if pid == kid}
        assert names >= {f"t{i}" for i in range(400)}
        for i in range(400):
            (events,) = [evs for (pid, tid), evs in t.events.items()
                         if pid == kid and t.thread_names.get((pid, tid)) == f"t{i}"]
            assert [s.name for s in events if s.phase == "B"].count("leaf") == 1


def test_code_objects_are_not_kept_alive_and_a_new_one_is_never_taken_for_a_dead_one(tmp_path):
    # Functions made and dropped one after another: their code objects die
    # and new ones take their addresses. Each must show under its own name.
    path = tmp_path / "t.json"
    names = []
    with morvex.Tracer(str(path), "json"):
        for i in range(300):
            namespace = {}
            exec(f"def made_{i}():\n    return {i}\n", namespace)
            f = namespace[f"made_{i}"]
            code = f.__code__
            before = sys.getrefcount(code)
            f()
            assert sys.getrefcount(code) == before, "the trace holds no reference"
            names.append(f.__name__)
            del f, namespace, code
            gc.collect()
    t = tracefiles.read(path, "json")
    assert [n for n in t.names() if n.startswith("made_")] == names
