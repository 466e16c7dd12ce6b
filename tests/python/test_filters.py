"""Recording less: include/exclude patterns, max_depth, min_duration.

Programs import small packages made in a temporary directory, traced in both
formats and read back with the independent readers of tracefiles.
"""

import json
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import morvex
import tracefiles
from conftest import reap, traced

PACKAGES = {
    "app/__init__.py": "",
    "app/core.py": """
        import json
        from vendorlib import helper

        def handle(n):
            return [step(i) for i in range(n)]

        def step(i):
            return helper.double(json.dumps({"i": i}))
    """,
    "vendorlib/__init__.py": "",
    "vendorlib/helper.py": """
        def double(text):
            return inner(text) * 2

        def inner(text):
            return text
    """,
}


@pytest.fixture(scope="module")
def packages(tmp_path_factory):
    root = tmp_path_factory.mktemp("pkgs")
    for name, text in PACKAGES.items():
        (root / name).parent.mkdir(exist_ok=True)
        (root / name).write_text(textwrap.dedent(text))
    sys.path.insert(0, str(root))
    import app.core  # noqa: F401
    yield root
    sys.path.remove(str(root))


def names(t):
    return set(t.names())


def work():
    import app.core
    app.core.handle(3)


@pytest.mark.parametrize("options,recorded,left_out", [
    ({"include": "app"}, {"handle", "step"}, {"double", "inner", "dumps", "work"}),
    ({"include": ["app.core", "vendorlib"]}, {"handle", "step", "double", "inner"}, {"dumps"}),
    ({"exclude": ":stdlib"}, {"handle", "step", "double", "work"}, {"dumps", "JSONEncoder.encode"}),
    ({"exclude": ["*/vendorlib/*"]}, {"handle", "step", "dumps"}, {"double", "inner"}),
    ({"include": "app", "exclude": "app.core"}, set(), {"handle", "step", "double"}),
    # The test module runs as itself, not as the traced script.
    ({"include": "__main__"}, set(), {"handle", "work"}),
])
def test_include_and_exclude_decide_per_code_object(tmp_path, fmt, packages, options, recorded,
                                                   left_out):
    t = traced(tmp_path, fmt, work, open_slices=True, **options)
    assert recorded <= names(t)
    assert not (left_out & names(t))
    # The trace says what was left out, apart from lost events.
    report = t.filters[os.getpid()]
    for key in ("include", "exclude"):
        given = options.get(key)
        if given:
            assert report[key] == (given if isinstance(given, str) else ",".join(given))
    assert report["filtered_functions"] > 0
    assert t.dropped == {}


def test_a_run_without_filters_after_one_with_them_misses_nothing(tmp_path, fmt, packages):
    # The first run switches the left-out locations off with DISABLE; the
    # second must see them again.
    t = traced(tmp_path, fmt, work, open_slices=True, exclude="app")
    assert not ({"handle", "step"} & names(t))
    t = traced(tmp_path, fmt, work, open_slices=True)
    assert t.names().count("step") == 3
    assert t.filters == {}


def test_unwinding_through_left_out_code_stays_nested(tmp_path, fmt, packages):
    def fails():
        import vendorlib.helper
        vendorlib.helper.inner(None) + 1

    def body():
        for _ in range(3):
            try:
                fails()
            except TypeError:
                pass

    t = traced(tmp_path, fmt, body, open_slices=True, exclude="vendorlib")
    assert "inner" not in names(t)
    assert [n.rsplit(".", 1)[-1] for n in t.names()].count("fails") == 3


def nest(n):
    return 1 if n == 0 else nest(n - 1) + 1


def test_max_depth_records_the_outer_frames_only(tmp_path, fmt):
    def body():
        nest(10)
        nest(1)

    t = traced(tmp_path, fmt, body, open_slices=True, max_depth=3)
    evs = t.thread_events("MainThread")
    depths = [s.depth for s in tracefiles.spans(evs)]
    assert max(depths) == 2, "depth counts from the frames the trace saw begin"
    # body, then nest at depths 2 and 3, twice
    assert t.names().count("nest") == 4
    # nest(10)'s frames at depths 4 to 12, begin and end each
    assert t.filters[os.getpid()] == {"max_depth": 3, "max_depth_events": 2 * 9}


def test_max_depth_counts_every_threads_cut_events_exactly(tmp_path, fmt):
    # GIVEN threads that each go deeper than max_depth: some end before the
    # run does, one is still alive when it stops. The standard library is
    # left out, so each thread's depth counts from nest's first frame.
    cut_done = threading.Event()
    release = threading.Event()

    def lingering():
        nest(10)
        cut_done.set()
        release.wait()

    def body():
        ended = [threading.Thread(target=nest, args=(10,)) for _ in range(3)]
        for t in ended:
            t.start()
        for t in ended:
            t.join()
        alive.start()
        cut_done.wait()
        nest(10)

    alive = threading.Thread(target=lingering)
    try:
        t = traced(tmp_path, fmt, body, open_slices=True, max_depth=2,
                   exclude=":stdlib")
    finally:
        release.set()
        alive.join()
    # WHEN the run stops THEN every thread's cut events are counted, begin
    # and end each: nest(10)'s frames 3 to 11 deep on the three that ended;
    # 3 to 12 deep under lingering and under body
    assert t.filters[os.getpid()]["max_depth_events"] == 3 * 2 * 9 + 2 * 2 * 10
    # AND a later run on the same thread counts its own only: nest(5)'s
    # frames 3 to 7 deep under the lambda
    t = traced(tmp_path, fmt, lambda: nest(5), max_depth=2, exclude=":stdlib")
    assert t.filters[os.getpid()]["max_depth_events"] == 2 * 5


def test_frames_running_before_the_trace_never_make_the_depth_negative(tmp_path, fmt):
    path = tmp_path / "t"

    def outer():
        tracer = morvex.Tracer(str(path), fmt, max_depth=1)
        tracer.start()
        return tracer  # the return of a frame begun before the trace

    tracer = outer()
    nest(2)
    tracer.stop()
    t = tracefiles.read(path, fmt)
    assert t.names() == ["nest"]


def test_min_duration_leaves_out_short_slices_with_what_is_inside(tmp_path, fmt):
    # A loaded machine can stop any call for longer than the cut-off, so
    # which nest() slices are short is measured, not assumed: each call is
    # timed around it, and one that took under half the cut-off there is
    # certainly short in the trace (the slice lies within it; the half leaves
    # room for the trace clock's calibration). slow() certainly is not.
    took = []  # ns of each nest() call, body's then slow's

    def slow():
        start = time.monotonic_ns()
        nest(3)
        took.append(time.monotonic_ns() - start)
        time.sleep(0.02)

    def body():
        for _ in range(50):
            start = time.monotonic_ns()
            nest(5)
            took.append(time.monotonic_ns() - start)
        slow()

    cut = 5_000_000
    t = traced(tmp_path, fmt, body, open_slices=True, min_duration="5ms")
    kept = tracefiles.spans(t.thread_events("MainThread"))
    short = [s.name.rsplit(".", 1)[-1] for s in kept]
    assert [n for n in short if n != "nest"] == ["body", "slow"]
    # (A microsecond of slack for the JSON timestamps' rounding.)
    assert all(s.end - s.begin >= cut - 1_000 for s in kept)
    # Only calls that were not certainly short can have left anything, and
    # as a rule none did. slow() comes last: what follows it is its own.
    in_slow = short.index("slow")
    calls = [s.depth for s in kept[:in_slow] if s.depth == 1]
    assert len(calls) <= sum(ns >= cut // 2 for ns in took[:50])
    assert len(kept) - in_slow - 1 <= (took[50] >= cut // 2) * 4
    kept_nest = short.count("nest")
    report = t.filters[os.getpid()]
    assert report["min_duration_ns"] == cut
    # Every slice is either kept or counted as left out, begin and end.
    assert report["min_duration_events"] == 2 * (50 * 6 + 4 - kept_nest)


@pytest.mark.parametrize("value,ns", [(0.001, 1_000_000), (2, 2_000_000_000), ("150us", 150_000),
                                      ("1.5ms", 1_500_000), ("2s", 2_000_000_000)])
def test_min_duration_takes_seconds_or_a_unit(tmp_path, value, ns):
    t = traced(tmp_path, "json", lambda: None, open_slices=True, min_duration=value)
    assert t.filters[os.getpid()]["min_duration_ns"] == ns


@pytest.mark.parametrize("options,error,words", [
    ({"include": ""}, ValueError, "''"),
    ({"include": ["app", 3]}, TypeError, "3"),
    ({"include": 3}, TypeError, "include must be a str or an iterable"),
    ({"exclude": ":std"}, ValueError, ":stdlib"),
    ({"exclude": "a b"}, ValueError, "'a b'"),
    ({"max_depth": 0}, ValueError, "at least 1"),
    ({"max_depth": 2.5}, TypeError, "max_depth must be an int"),
    ({"max_depth": True}, TypeError, "max_depth"),
    ({"min_duration": "5 fortnights"}, ValueError, "5 fortnights"),
    ({"min_duration": -1}, ValueError, "-1"),
    ({"min_duration": [1]}, TypeError, "min_duration"),
    # Patterns no name can match, named by their repr, and only the start of a long one.
    ({"include": "a\udcffb"}, ValueError, "include pattern 'a\\udcffb': a surrogate"),
    ({"include": "a\0b"}, ValueError, "include pattern 'a\\x00b': a NUL character matches no"),
    ({"exclude": ["app", "*/x\0/*"]}, ValueError, "exclude pattern '*/x\\x00/*': a NUL"),
    ({"exclude": "a b" * 100000}, ValueError, "exclude pattern 'a ba b"),
    ({"exclude": ":" + "s" * 100000}, ValueError, "(the named sets are :stdlib and :site-"),
    ({"include": b"app"}, TypeError, "include patterns must be str, not bytes (b'app')"),
    ({"include": ["app", bytearray(b"x")]}, TypeError, "not bytearray (bytearray(b'x'))"),
    ({"min_duration": "5\udcffs"}, ValueError, "min_duration: invalid duration '5\\udcffs'"),
])
def test_bad_options_are_refused_before_anything_is_created(tmp_path, options, error, words):
    path = tmp_path / "t.json"
    with pytest.raises(error) as e:
        morvex.Tracer(str(path), "json", **options)
    assert words in str(e.value)
    assert len(str(e.value)) < 300
    assert not path.exists()


def test_options_are_keyword_only():
    with pytest.raises(TypeError):
        morvex.Tracer("t", "json", "app")


CHILD = """
import os, sys
sys.path.insert(0, {root!r})
import app.core
app.core.handle(2)
"""


@pytest.mark.forks
def test_child_processes_and_forks_use_the_same_filters(tmp_path, fmt, packages):
    child_script = tmp_path / "child.py"
    child_script.write_text(CHILD.format(root=str(packages)))
    path = tmp_path / "t"
    with morvex.Tracer(str(path), fmt, exclude=["vendorlib", ":stdlib"], max_depth=4):
        assert json.loads(os.environ["MORVEX_CHILD_OPTIONS"]) == {
            "exclude": ["vendorlib", ":stdlib"], "max_depth": 4}
        subprocess.run([sys.executable, str(child_script)], check=True, timeout=60)
        pid = os.fork()
        if pid == 0:
            work()
            os._exit(0)
        assert reap(pid) == 0
    t = tracefiles.read(path, fmt)
    assert len(t.pids) == 3
    for p in t.pids - {os.getpid()}:
        assert "step" in t.names(p)
        assert "double" not in t.names(p)
        assert t.filters[p]["exclude"] == "vendorlib,:stdlib"


def test_no_option_no_record_and_no_variable(tmp_path, fmt):
    with morvex.Tracer(str(tmp_path / "t"), fmt):
        assert "MORVEX_CHILD_OPTIONS" not in os.environ
    assert tracefiles.read(tmp_path / "t", fmt).filters == {}
