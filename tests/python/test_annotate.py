"""The program marks its own timeline: spans, instants and counters; and
Tracer.start()/stop() for runs that don't fit a with block."""

import os
import sys
import threading

import pytest

import morvex
import tracefiles
from conftest import CHILD_VARIABLES, traced


def leaf():
    return 1


def short_names(events):
    """(phase, last part of the name) of each event, ends as "E"."""
    return [(s.phase, s.name.rsplit(".", 1)[-1] if s.name else None) for s in events]


def test_spans_nest_with_the_function_slices_around_and_inside_them(tmp_path, fmt):
    def body():
        with morvex.span("load", path="/etc/x", n=3, ratio=0.5, ok=True, none=None) as s:
            leaf()
            morvex.instant("mark", where="inside")
        assert s.name == "load"
        leaf()

    t = traced(tmp_path, fmt, body)
    evs = t.thread_events("MainThread")
    got = short_names(evs)
    if fmt == "protobuf":  # slice ends carry no name there
        got = [(p, None if p == "E" else n) for p, n in got]
        expected = [("B", "body"), ("B", "load"), ("B", "leaf"), ("E", None), ("i", "mark"),
                    ("E", None), ("B", "leaf"), ("E", None), ("E", None)]
    else:
        expected = [("B", "body"), ("B", "load"), ("B", "leaf"), ("E", "leaf"), ("i", "mark"),
                    ("E", "load"), ("B", "leaf"), ("E", "leaf"), ("E", "body")]
    assert got == expected
    load = next(s for s in evs if s.name == "load")
    assert load.cat == "user"
    assert load.args == {"path": "/etc/x", "n": 3, "ratio": 0.5, "ok": True, "none": None}
    assert next(s for s in evs if s.name == "mark").args == {"where": "inside"}


@morvex.span
def decorated(x):
    return leaf() + x


class Service:
    @morvex.span("handle", kind="method")
    def handle(self, x):
        return leaf() + x


def test_span_decorates_functions_and_methods(tmp_path, fmt):
    assert decorated.__name__ == "decorated"
    assert decorated.__wrapped__.__name__ == "decorated"
    assert decorated.__doc__ is None

    def body():
        assert decorated(1) == 2
        assert Service().handle(2) == 3
        with pytest.raises(TypeError):
            decorated()  # the span still ends

    t = traced(tmp_path, fmt, body)
    spans = {s.name: s for s in tracefiles.spans(t.thread_events("MainThread"))}
    assert spans["decorated"].depth == 1
    assert spans["handle"].depth == 1
    events = t.thread_events("MainThread")
    assert next(s for s in events if s.name == "handle").args == {"kind": "method"}
    assert [s.name for s in events if s.phase == "B" and s.cat == "user"] == [
        "decorated", "handle", "decorated"]


def test_counters_are_one_track_per_name_and_process(tmp_path, fmt):
    def body():
        for i in range(5):
            morvex.counter("queue", i)
        morvex.counter("load", 0.25)
        morvex.counter("queue", 2**40)

    t = traced(tmp_path, fmt, body)
    pid = os.getpid()
    assert sorted(t.counters) == [(pid, "load"), (pid, "queue")]
    assert [v for _, v in t.counters[(pid, "queue")]] == [0, 1, 2, 3, 4, 2**40]
    assert [v for _, v in t.counters[(pid, "load")]] == [0.25]
    times = [ts for ts, _ in t.counters[(pid, "queue")]]
    assert times == sorted(times)


def test_a_bool_counter_value_is_the_number_1_or_0_in_both_formats(tmp_path, fmt):
    def body():
        morvex.counter("busy", True)
        morvex.counter("busy", False)

    values = [v for _, v in traced(tmp_path, fmt, body).counters[(os.getpid(), "busy")]]
    assert values == [1, 0] and all(type(v) is int for v in values)


def test_each_thread_marks_its_own_track(tmp_path, fmt):
    def work(i):
        with morvex.span("job", worker=i):
            leaf()
            morvex.instant("step", worker=i)

    def body():
        threads = [threading.Thread(target=work, args=(i,), name=f"w{i}") for i in range(3)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()

    t = traced(tmp_path, fmt, body)
    for i in range(3):
        evs = t.thread_events(f"w{i}")
        marks = [s for s in evs if s.cat == "user"]
        assert [(s.phase, s.name, s.args["worker"]) for s in marks if s.phase != "E"] == [
            ("B", "job", i), ("i", "step", i)]


@pytest.mark.parametrize("call,error,words", [
    (lambda: morvex.span(3), TypeError, "span name must be a str, not int"),
    (lambda: morvex.instant(None), TypeError, "instant name must be a str"),
    (lambda: morvex.instant("x", obj=object()), TypeError, "argument 'obj' must be a str, int"),
    (lambda: morvex.span("x", items=[1]), TypeError, "argument 'items'"),
    (lambda: morvex.instant("x", big=2**70), OverflowError, "'big'"),
    (lambda: morvex.counter("q", "3"), TypeError, "counter value must be an int or a float"),
    (lambda: morvex.counter(1, 3), TypeError, "counter name must be a str"),
    (lambda: morvex.counter("q"), TypeError, "missing 1 required"),
    (lambda: morvex.instant("x", "y"), TypeError, "1 positional argument"),
    (lambda: morvex.span("x", s="a" * 5000), ValueError, "4096 bytes"),
    (lambda: morvex.span("x")(3), TypeError, "decorates a callable"),
    (lambda: morvex.counter("q", 2**64), OverflowError, "counter value does not fit 64 bits"),
    (lambda: morvex.counter("q", -2**63 - 1), OverflowError, "does not fit 64 bits"),
    # Names an event cannot carry; the message shows the start of the name only.
    (lambda: morvex.instant("n" * 2**20), ValueError, "instant 'nnnn"),
    (lambda: morvex.instant("n" * 4094), ValueError, "4096 bytes"),
    (lambda: morvex.instant("\udcff" * 700), ValueError, "4096 bytes"),  # escaped, 6 bytes each
    (lambda: morvex.counter("n" * 2**20, 1), ValueError, "counter name 'nnnn"),
    (lambda: morvex.span("n" * 2**20), ValueError, "span 'nnnn"),
    (lambda: morvex.span("n" * 2**20, a=1), ValueError, "4096 bytes"),
    (lambda: morvex.instant("x", **{"k" * 2**20: object()}), TypeError, "argument 'kkkk"),
])
def test_bad_names_and_arguments_are_refused_tracing_or_not(tmp_path, call, error, words):
    for running in (False, True):
        tracer = morvex.Tracer(str(tmp_path / "t.json"), "json")
        if running:
            tracer.start()
        try:
            with pytest.raises(error) as e:
                call()
            assert words in str(e.value)
            assert len(str(e.value)) < 300
        finally:
            if running:
                tracer.stop()


def test_the_limits_are_the_same_tracing_or_not(tmp_path, fmt):
    # The longest name one event carries with nothing else: 4,096 bytes less
    # its length field and argument count.
    longest = "é" * 2046 + "x"
    extremes = [-2**63, 2**63 - 1]

    def body():
        morvex.instant(longest)
        for v in extremes:
            morvex.counter("edge", v)
        morvex.counter("huge", 2.0**64)

    body()  # untraced: nothing refused either
    t = traced(tmp_path, fmt, body)
    assert [s.name for s in t.thread_events("MainThread") if s.phase == "i"] == [longest]
    assert [v for _, v in t.counters[(os.getpid(), "edge")]] == extremes
    assert [v for _, v in t.counters[(os.getpid(), "huge")]] == [2.0**64]


def test_idle_they_do_nothing(tmp_path):
    assert morvex.instant("x", a=1) is None
    assert morvex.counter("q", 1) is None
    with morvex.span("idle") as s:
        pass
    assert repr(s) == "<morvex.span 'idle'>"
    assert decorated(1) == 2


def test_start_and_stop_are_enter_and_exit(tmp_path, fmt):
    path = tmp_path / "t"
    tracer = morvex.Tracer(str(path), fmt)
    assert tracer.start() is tracer
    assert sys.monitoring.get_tool(sys.monitoring.PROFILER_ID) == "morvex"
    assert os.environ["MORVEX_CHILD_OUTPUT"] == str(path)
    leaf()
    with pytest.raises(ValueError):
        tracer.start()  # one run at a time
    assert tracer.stop() is False
    assert not any(v in os.environ for v in CHILD_VARIABLES)
    with pytest.raises(RuntimeError, match="^tracer is not tracing$"):
        tracer.stop()
    assert tracefiles.read(path, fmt).names().count("leaf") == 1


def test_a_span_a_generator_yields_out_of_runs_on_around_the_block(tmp_path, fmt):
    import contextlib

    @contextlib.contextmanager
    def cm_span(name):
        with morvex.span(name):
            yield

    def inside():
        return 1

    def after():
        return 2

    def body():
        with morvex.span("outer"):
            with cm_span("inner"):
                inside()
            after()

    t = traced(tmp_path, fmt, body)
    spans = tracefiles.spans(t.thread_events("MainThread"))

    def around(name):
        s = next(x for x in spans if x.name and x.name.endswith(name))
        return [x.name for x in spans if x.begin <= s.begin and s.end <= x.end and x is not s]

    # The block's body lies in a piece of "inner", and "after" in "outer" only.
    assert "inner" in around("inside")
    assert "outer" in around("after") and "inner" not in around("after")
    assert [x.name for x in spans if x.name == "outer"] == ["outer"]
