"""asyncio tasks on tracks of their own (async_tasks=True), read back
independently in both formats."""

import asyncio
import gc
import re
import threading
import weakref

import pytest

import morvex
import tracefiles
from conftest import MORVEX, run, trace_path, traced

TASK_BIT = 0x80000000


def crunch(n):
    return sum(range(n))


async def leaf(i):
    await asyncio.sleep(0)
    return crunch(100 + i)


async def worker(rounds):
    for k in range(rounds):
        await leaf(k)


async def three_workers():
    tasks = [asyncio.create_task(worker(3), name=f"worker-{i}") for i in range(3)]
    await asyncio.gather(*tasks)


def tracks_named(t, name):
    return [key for key, n in t.thread_names.items() if n == name]


def begun(events):
    """Names of the slices begun, without the qualname of a test's locals."""
    return [s.name.rsplit("<locals>.", 1)[-1] for s in events if s.phase == "B"]


class TestTaskTracks:
    def test_three_named_tasks_get_three_tracks_with_their_slices(self, tmp_path, fmt):
        # GIVEN three named tasks awaiting plain coroutines that call a
        # function WHEN traced with async_tasks THEN each task has a track
        # of its own, named after it, holding its coroutine's slices with
        # everything they awaited and called; the thread's track holds none
        t = traced(tmp_path, fmt, lambda: asyncio.run(three_workers()), async_tasks=True)
        (main,) = tracks_named(t, "MainThread")
        for i in range(3):
            (key,) = tracks_named(t, f"worker-{i}")
            assert key[1] & TASK_BIT and key[0] == main[0]
            names = begun(t.events[key])
            # The first step starts worker, later ones resume it; each
            # round's leaf is awaited from it, and calls crunch.
            assert names.count("worker") == 4
            assert names.count("leaf") == 6 and names.count("crunch") == 3
            assert set(names) <= {"worker", "leaf", "crunch", "sleep", "__sleep0"}
            if fmt == "protobuf":
                assert t.task_parents[key] == main
        main_names = begun(t.events[main])
        assert not {"worker", "leaf", "crunch"} & set(main_names)
        assert "Handle._run" in main_names and "BaseEventLoop._run_once" in main_names
        # asyncio.run's own task runs three_workers on a track of its own.
        (key,) = [k for k, evs in t.events.items() if "three_workers" in begun(evs)]
        assert key != main

    def test_steps_begin_at_the_coroutine_and_end_at_its_yield(self, tmp_path, fmt):
        # Each step is a slice of the task's outermost coroutine (a call, then
        # resumes), closed before the loop runs anything else.
        t = traced(tmp_path, fmt, lambda: asyncio.run(three_workers()), async_tasks=True)
        (key,) = tracks_named(t, "worker-1")
        depth = 0
        outer = []
        for s in t.events[key]:
            if s.phase == "B":
                if depth == 0:
                    outer.append((s.name, s.call))
                depth += 1
            elif s.phase == "E":
                depth -= 1
        assert outer == [("worker", True)] + [("worker", False)] * 3

    def test_without_the_option_no_task_has_a_track(self, tmp_path, fmt):
        t = traced(tmp_path, fmt, lambda: asyncio.run(three_workers()))
        assert all(not tid & TASK_BIT for _, tid in t.events)
        assert "worker" in begun(t.thread_events("MainThread"))

    def test_a_task_renamed_keeps_the_name_it_was_first_seen_with(self, tmp_path, fmt):
        async def renamed():
            await asyncio.sleep(0)
            asyncio.current_task().set_name("after")
            await asyncio.sleep(0)

        async def main():
            await asyncio.create_task(renamed(), name="before")

        t = traced(tmp_path, fmt, lambda: asyncio.run(main()), async_tasks=True)
        (key,) = tracks_named(t, "before")
        assert begun(t.events[key]).count("renamed") == 3
        assert tracks_named(t, "after") == []


    def test_step_edges_are_not_counted_as_events(self, tmp_path, fmt):
        # The records that bracket a step are the tracer's own: the run's
        # event count is the trace's begins and ends, as without tasks.
        path = trace_path(tmp_path, fmt)
        tracer = morvex.Tracer(str(path), fmt, lossless=True, async_tasks=True)
        with tracer:
            asyncio.run(three_workers())
        t = tracefiles.read(path, fmt)
        assert tracer.dropped == 0
        assert tracer.events == sum(s.phase in "BE" for evs in t.events.values() for s in evs)


class TestTasksThatEndBadly:
    def test_cancelled_and_raising_tasks_end_their_slices(self, tmp_path, fmt):
        # GIVEN a task cancelled while it awaits and one that raises WHEN
        # traced THEN both tracks are well nested (traced checks) and hold
        # the frames the exception unwound.
        async def sleeper():
            await inner_wait()

        async def inner_wait():
            await asyncio.sleep(10)

        async def failing():
            await asyncio.sleep(0)
            raise ValueError("no")

        async def main():
            s = asyncio.create_task(sleeper(), name="sleeper")
            f = asyncio.create_task(failing(), name="failing")
            await asyncio.sleep(0)
            s.cancel()
            for task in (s, f):
                with pytest.raises((asyncio.CancelledError, ValueError)):
                    await task

        t = traced(tmp_path, fmt, lambda: asyncio.run(main()), async_tasks=True)
        (sleeper_key,) = tracks_named(t, "sleeper")
        names = begun(t.events[sleeper_key])
        assert names.count("inner_wait") >= 2  # its call, and the throw of CancelledError
        (failing_key,) = tracks_named(t, "failing")
        assert begun(t.events[failing_key]).count("failing") == 2

    def test_a_tracer_stopped_mid_step_keeps_every_track_nested(self, tmp_path, fmt):
        # The tracer starts and stops inside a task's step: the step's
        # frames still running are left open at the end, as a thread's are,
        # on the task's track; nothing after the stop is made up.
        path = trace_path(tmp_path, fmt)

        async def step():
            tracer = morvex.Tracer(str(path), fmt, lossless=True, async_tasks=True)
            tracer.start()
            await asyncio.create_task(child(tracer), name="child")

        async def child(tracer):
            crunch(10)
            await asyncio.sleep(0)
            tracer.stop()
            crunch(20)

        asyncio.run(step())
        t = tracefiles.read(path, fmt)
        for events in t.events.values():
            tracefiles.assert_nested(events, allow_open=True)
        (key,) = tracks_named(t, "child")
        assert begun(t.events[key]) == ["child", "crunch", "sleep", "__sleep0", "child", "sleep",
                                        "__sleep0"]
        ends = sum(s.phase == "E" for s in t.events[key])
        assert ends == 6, "only the second step's child is still running at the stop"


class TestLoopsAndLifetimes:
    def test_tasks_of_loops_in_two_threads_go_under_their_own_threads(self, tmp_path, fmt):
        def loop_in_thread(n):
            async def job():
                await asyncio.sleep(0)
                crunch(n)

            async def main():
                await asyncio.gather(*(asyncio.create_task(job(), name=f"job-{n}-{i}")
                                       for i in range(2)))

            asyncio.run(main())

        def both():
            ts = [threading.Thread(target=loop_in_thread, args=(n,), name=f"loop-{n}")
                  for n in (1, 2)]
            for th in ts:
                th.start()
            for th in ts:
                th.join()

        t = traced(tmp_path, fmt, both, async_tasks=True)
        for n in (1, 2):
            (thread,) = tracks_named(t, f"loop-{n}")
            for i in range(2):
                (key,) = tracks_named(t, f"job-{n}-{i}")
                assert begun(t.events[key]).count("job") == 2
                if fmt == "protobuf":
                    assert t.task_parents[key] == thread

    def test_tasks_are_not_kept_alive(self, tmp_path):
        refs = []

        async def short():
            await asyncio.sleep(0)

        async def main():
            for _ in range(3):
                task = asyncio.create_task(short())
                refs.append(weakref.ref(task))
                await task

        def body():
            asyncio.run(main())
            gc.collect()
            assert [r() for r in refs] == [None] * 3

        traced(tmp_path, "json", body, async_tasks=True)

    def test_with_max_depth_the_cut_frames_stay_out_of_task_tracks(self, tmp_path, fmt):
        # Depth counts from where the thread began: crunch, under the
        # coroutine and the loop's frames, lies deeper than 7.
        t = traced(tmp_path, fmt, lambda: asyncio.run(three_workers()), async_tasks=True,
                   max_depth=7)
        assert "crunch" not in t.names()
        for events in t.events.values():
            tracefiles.assert_nested(events)


class TestOptionSpelling:
    def test_async_tasks_is_keyword_only_and_a_truth_value(self, tmp_path):
        with pytest.raises(TypeError):
            morvex.Tracer(str(tmp_path / "t.pftrace"), "protobuf", None, None, None, None, None,
                          None, None, True)
        assert "async_tasks=False" in morvex.Tracer.__text_signature__

    def test_run_async_tasks(self, tmp_path):
        script = tmp_path / "s.py"
        script.write_text(
            "import asyncio\n"
            "async def w(): await asyncio.sleep(0)\n"
            "async def main():\n"
            "    await asyncio.gather(*(asyncio.create_task(w(), name=f'w{i}') for i in range(3)))\n"
            "asyncio.run(main())\n")
        out = tmp_path / "t.pftrace"
        r = run(MORVEX + ["run", "--async-tasks", "--lossless", "-o", str(out), str(script)],
                cwd=tmp_path)
        assert r.returncode == 0, r.stderr
        t = tracefiles.read(out, "protobuf")
        for i in range(3):
            (key,) = tracks_named(t, f"w{i}")
            # The resume comes back through sleep's frames it yielded from.
            assert begun(t.events[key]) == ["w", "sleep", "__sleep0"] * 2
        r = run(MORVEX + ["report", "--summary", str(out)], cwd=tmp_path)
        assert r.returncode == 0, r.stderr
        # A task's track is titled by its number, never by the id it reads with.
        assert re.search(r"^  w0 \(pid \d+, task \d+\): ", r.stdout, re.M), r.stdout
        help_text = run(MORVEX + ["run", "--help"], cwd=tmp_path).stdout
        assert "--async-tasks" in help_text
