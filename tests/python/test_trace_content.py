"""What a traced block looks like in both formats, read back independently."""

import asyncio
import threading
import types

import pytest

import morvex
import tracefiles
from conftest import traced



@pytest.fixture
def trace_of(tmp_path, fmt):
    """trace_of(fn) runs fn under a tracer and returns the decoded trace."""
    return lambda fn: traced(tmp_path, fmt, fn)


def main_events(t):
    return t.thread_events("MainThread")


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


class Shape:
    def area(self):
        return 1

    @staticmethod
    def unit():
        return Shape()


def outer():
    def inner():
        return 2

    return inner()


def test_plain_calls_recursion_and_qualnames(trace_of):
    square = lambda x: x * x  # noqa: E731

    def body():
        fib(6)
        Shape.unit().area()
        outer()
        square(3)

    t = trace_of(body)
    evs = main_events(t)
    tracefiles.assert_nested(evs)
    names = [s.name for s in evs if s.phase == "B"]
    assert names.count("fib") == 25
    for expected in ["Shape.unit", "Shape.area", "outer", "outer.<locals>.inner",
                     "test_plain_calls_recursion_and_qualnames.<locals>.<lambda>",
                     "test_plain_calls_recursion_and_qualnames.<locals>.body"]:
        assert expected in names
    # Exactly one process, whose id is ours.
    import os
    assert t.pids == {os.getpid()}
    assert t.dropped == {}


def test_an_empty_block_gives_a_finished_trace_without_function_events(tmp_path, fmt):
    path = tmp_path / "empty"
    with morvex.Tracer(str(path), fmt):
        pass
    t = tracefiles.read(path, fmt)
    # Not even morvex's own work around the block is recorded.
    assert t.names() == []
    assert all(evs == [] for evs in t.events.values())


def gen(n):
    for i in range(n):
        yield i


def test_generators_end_at_yield_and_begin_again_at_resume(trace_of, fmt):
    t = trace_of(lambda: list(gen(3)))
    evs = main_events(t)
    tracefiles.assert_nested(evs)
    gen_slices = [s for s in tracefiles.spans(evs) if s.name == "gen"]
    # start, then a resume after each of the three yields; each slice ends
    # (at a yield, the last at the return) before the next begins
    assert len(gen_slices) == 4
    assert all(s.end is not None for s in gen_slices)
    assert all(a.end <= b.begin for a, b in zip(gen_slices, gen_slices[1:]))
    assert len({s.depth for s in gen_slices}) == 1
    if fmt == "json":
        kinds = [s.kind for s in evs if s.name == "gen"]
        assert kinds == ["start", "yield", "resume", "yield", "resume", "yield", "resume", "return"]


def test_exceptions_unwind_through_frames(trace_of, fmt):
    def fails():
        raise KeyError("x")

    def middle():
        fails()

    def body():
        try:
            middle()
        except KeyError:
            pass

    evs = main_events(trace_of(body))
    tracefiles.assert_nested(evs)
    if fmt == "json":
        assert [(s.name.split(".")[-1], s.kind) for s in evs if s.kind == "unwind"] == [
            ("fails", "unwind"),
            ("middle", "unwind"),
        ]
    names = [s.name for s in evs if s.phase == "B"]
    assert names.index("test_exceptions_unwind_through_frames.<locals>.middle") < names.index(
        "test_exceptions_unwind_through_frames.<locals>.fails")


def catcher():
    try:
        yield 1
    except ValueError:
        yield 2


def test_throw_into_a_generator_begins_a_slice(trace_of, fmt):
    def body():
        g = catcher()
        next(g)
        g.throw(ValueError("in"))
        g.close()

    evs = main_events(trace_of(body))
    tracefiles.assert_nested(evs)
    if fmt == "json":
        kinds = [s.kind for s in evs if s.name == "catcher"]
        assert kinds == ["start", "yield", "throw", "yield", "throw", "unwind"]
    else:
        assert sum(1 for s in evs if s.phase == "B" and s.name == "catcher") == 3


async def leaf(i):
    await asyncio.sleep(0)
    return i


async def gather():
    return sum(await asyncio.gather(*(leaf(i) for i in range(4))))


def test_coroutines_under_asyncio(trace_of):
    t = trace_of(lambda: asyncio.run(gather()))
    evs = main_events(t)
    tracefiles.assert_nested(evs, allow_open=False)
    names = [s.name for s in evs if s.phase == "B"]
    # each leaf starts once and resumes after its sleep
    assert names.count("leaf") == 8
    assert "gather" in names


def test_a_thread_name_text_cannot_carry_is_kept_escaped(trace_of, fmt):
    # A lone surrogate (a name made from undecodable bytes) is not UTF-8.
    def body():
        w = threading.Thread(target=fib, args=(2,), name="odd-\udc80")
        w.start()
        w.join()

    t = trace_of(body)
    assert "odd-\\udc80" in t.thread_names.values()


def test_named_threads_and_threads_without_a_usable_name(trace_of, fmt):
    def body():
        workers = [threading.Thread(target=fib, args=(4,), name=f"worker-{i}") for i in range(3)]
        # "Dummy-N" is what threading calls threads it did not start; like an
        # empty name it is not worth keeping.
        for name in ("Dummy-7", ""):
            w = threading.Thread(target=fib, args=(3,))
            w.name = name
            workers.append(w)
        for w in workers:
            w.start()
        for w in workers:
            w.join()

    t = trace_of(body)
    for i in range(3):
        evs = t.thread_events(f"worker-{i}")
        assert [s.name for s in evs if s.phase == "B"].count("fib") == 9
        tracefiles.assert_nested(evs)
    assert sorted(t.thread_names.values()) == ["MainThread", "worker-0", "worker-1", "worker-2"]
    unnamed = [k for k in t.events if k not in t.thread_names]
    assert len(unnamed) == 2
    for k in unnamed:
        assert [s.name for s in t.events[k] if s.phase == "B"].count("fib") == 5


def renamed(fn, qualname):
    return types.FunctionType(fn.__code__.replace(co_qualname=qualname), globals())


def plain():
    return 1


@pytest.mark.parametrize("qualname", ["", 'we"ird\\name\twith\x01ctl and \u00e9\u4e2d'])
def test_unusual_qualnames_survive(trace_of, fmt, qualname):
    f = renamed(plain, qualname)
    names = trace_of(f).names()
    # Both formats show an empty name as "<unknown>".
    assert (qualname or "<unknown>") in names


def test_a_long_run_crosses_many_batches_without_loss(trace_of):
    def body():
        for _ in range(3):
            fib(18)  # ~25k events per call

    t = trace_of(body)
    assert t.names().count("fib") == 3 * 8361
    assert t.dropped == {}
