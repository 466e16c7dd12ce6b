"""Chrome trace-event JSON in and out: morvex report and convert read the
object form other tools write, with complete ("X") events, and convert
writes strict JSON that any parser loads and that reports as its source."""

import json
import threading

import pytest

import morvex
from conftest import MORVEX
from conftest import run as run_command


def leaf():
    return 1


def gen():
    for _ in range(4):
        yield leaf()


def rec(n):
    return 0 if n == 0 else rec(n - 1) + 1


def work(n):
    for _ in range(n):
        sum(gen())
    rec(3)


def program():
    threads = [threading.Thread(target=work, args=(5 + i,), name=f"worker-{i}") for i in range(3)]
    for t in threads:
        t.start()
    work(2)
    for t in threads:
        t.join()


@pytest.fixture(scope="module", params=["protobuf", "json"])
def source(request, tmp_path_factory):
    path = tmp_path_factory.mktemp("src") / ("t.json" if request.param == "json" else "t.pftrace")
    # Lossless: the converted trace must hold the very same slices.
    with morvex.Tracer(str(path), request.param, lossless=True):
        program()
    return path


def report(path, *args):
    top = [] if "--summary" in args else ["--top", "0"]
    r = run_command(MORVEX + ["report", str(path), *top, *args], check=True)
    # The first lines name the file and its format; the rest is what it holds.
    return [line for line in r.stdout.splitlines() if not line.startswith("Trace ")]


def test_a_converted_trace_loads_as_json_and_reports_as_its_source(source, tmp_path):
    out = tmp_path / "out.json"
    r = run_command(MORVEX + ["convert", str(source), "-o", str(out)], check=True)
    assert r.stderr == ""  # no progress on a pipe, nothing to warn about
    with open(out, encoding="utf-8") as f:
        doc = json.load(f)
    assert isinstance(doc, dict) and isinstance(doc["traceEvents"], list)
    begins = [e for e in doc["traceEvents"] if e.get("cat") == "py" and e["ph"] == "B"]
    assert begins and all(set(e["args"]) == {"file", "line", "kind"} for e in begins)
    kinds = {e["name"].rsplit(".", 1)[-1]: set() for e in begins}
    for e in begins:
        kinds[e["name"].rsplit(".", 1)[-1]].add(e["args"]["kind"])
    assert kinds["gen"] == {"start", "resume"}
    assert kinds["leaf"] == {"start"}
    names = {e["args"]["name"] for e in doc["traceEvents"] if e["name"] == "thread_name"}
    assert {"worker-0", "worker-1", "worker-2", "MainThread"} <= names
    for view in ([], ["--threads"], ["--json"], ["--threads", "--json"], ["--summary"]):
        assert report(out, *view) == report(source, *view), view


def test_convert_writes_json_when_asked_whatever_the_name(source, tmp_path):
    out = tmp_path / "trace.txt"
    run_command(MORVEX + ["convert", str(source), "-o", str(out), "--to", "json"], check=True)
    assert json.loads(out.read_text(encoding="utf-8"))["displayTimeUnit"] == "ns"


def test_names_of_any_bytes_become_strict_json(tmp_path):
    # GIVEN a trace whose names hold bytes that are not UTF-8 and control
    # characters (a foreign writer's, or a damaged file's)
    source = tmp_path / "odd.json"
    source.write_bytes(
        b'[{"name":"f\xff\xfe","cat":"py","ph":"B","ts":1,"pid":1,"tid":1,'
        b'"args":{"file":"a\\u0007\\"b.py","line":2,"kind":"start"}},'
        b'{"name":"f\xff\xfe","cat":"py","ph":"E","ts":3,"pid":1,"tid":1},'
    )
    out = tmp_path / "out.json"
    # WHEN it is converted THEN the output is strict JSON, the bad bytes
    # replaced, the rest kept
    run_command(MORVEX + ["convert", str(source), "-o", str(out)], check=True)
    doc = json.loads(out.read_bytes().decode("utf-8", errors="strict"))
    (begin,) = [e for e in doc["traceEvents"] if e.get("ph") == "B"]
    assert begin["name"] == "f\ufffd\ufffd"
    assert begin["args"]["file"] == 'a\x07"b.py'
    assert report(out, "--json") == report(source, "--json")


def test_complete_events_in_the_object_form_report_right(tmp_path):
    # GIVEN the object form as other tools write it: metadata, a display
    # unit, and complete events written as each slice ends (children first)
    def x(name, ts, dur, tid=7):
        return {"name": name, "ph": "X", "ts": ts, "dur": dur, "pid": 1, "tid": tid,
                "cat": "function", "args": {"depth": 0}}
    doc = {
        "metadata": {"version": "0.16", "traceEvents": "not these"},
        "displayTimeUnit": "ns",
        "traceEvents": [
            x("inner", 12, 3), x("inner", 16, 2), x("middle", 11, 8), x("outer", 10, 20),
            x("outer", 40, 5), x("other", 0, 100, tid=8),
            {"name": "thread_name", "ph": "M", "pid": 1, "tid": 7, "args": {"name": "main"}},
        ],
        "viztracer_metadata": {"overflow": False},
    }
    path = tmp_path / "foreign.json"
    path.write_text(json.dumps(doc, indent=1))
    # WHEN it is reported THEN every slice nests by time
    rows = {r["function"]: r for r in json.loads(
        run_command(MORVEX + ["report", str(path), "--json", "--top", "0"], check=True).stdout)}
    want = {"outer": (2, 25000, 17000), "middle": (1, 8000, 3000), "inner": (2, 5000, 5000),
            "other": (1, 100000, 100000)}
    assert {k: (r["calls"], r["total_ns"], r["self_ns"]) for k, r in rows.items()} == want
    # AND a complete event without a duration is named, not silently lost
    doc["traceEvents"].append({"name": "broken", "ph": "X", "ts": 50, "pid": 1, "tid": 7})
    path.write_text(json.dumps(doc))
    r = run_command(MORVEX + ["report", str(path)], check=True)
    assert r.stdout.startswith(
        '1 complete ("X") event had no valid duration and was skipped.\n')


def test_help_names_the_json_kind(capsys):
    r = run_command(MORVEX + ["convert", "--help"], check=True)
    assert "json" in r.stdout and ".json" in r.stdout
