"""The Tracer object as Python code sees it: arguments, errors, lifecycle,
environment variables, the profiler slot."""

import errno
import os
import sys
import textwrap
import threading
from pathlib import Path

import pytest

import morvex
import morvex._core as core
import tracefiles
from conftest import CHILD_VARIABLES, reap
from conftest import run as run_command

PROFILER = sys.monitoring.PROFILER_ID


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def run_python(code, timeout=60):
    """Runs code in a fresh interpreter (for process-wide first-time state)."""
    return run_command([sys.executable, "-c", textwrap.dedent(code)], timeout=timeout)


class TestModule:
    def test_all_lists_the_exports_in_order(self):
        assert core.__all__ == ["Tracer", "cli_main", "_before_fork", "_after_fork_in_parent",
                                "_after_fork_in_child"]
        assert not hasattr(core, "Callbacks")
        assert morvex.Tracer is core.Tracer
        assert morvex.cli_main is core.cli_main

    def test_tracer_type(self):
        assert core.Tracer.__module__ == "morvex._core"
        assert core.Tracer.__name__ == "Tracer"
        assert core.Tracer.__text_signature__ == (
            "(output, format=..., *, include=None, exclude=None, max_depth=None,"
            " min_duration=None, lossless=False, spool=False, compress=False,"
            " c_calls=False, async_tasks=False)")
        with pytest.raises(TypeError):
            class Sub(core.Tracer):  # noqa: F841
                pass
        t = core.Tracer("x")
        with pytest.raises(AttributeError):
            t.anything = 1
        with pytest.raises(TypeError):
            import weakref
            weakref.ref(t)

    def test_docstrings(self):
        assert core.cli_main.__text_signature__ == "(argv)"
        assert core._before_fork.__doc__.startswith("Stop delivering callbacks before the address")
        assert core._after_fork_in_child.__doc__.startswith("Start the child's own trace.")
        assert core.Tracer._enter_as_child.__doc__.startswith("Enter as a process that exec'd")
        assert core.Tracer.__exit__.__text_signature__ == "($self, _exc_type, _exc_val, _exc_tb)"


    @pytest.mark.parametrize("gil", ["own", "shared"])
    def test_another_interpreter_cannot_import_it(self, tmp_path, gil):
        # The module's types and state are the process's, built by the first
        # interpreter: another one, with a lock of its own or sharing the
        # main one's, must be refused, not handed them.
        inside = textwrap.dedent("""
            import sys
            sys.path[:] = PATH
            try:
                import morvex._core
            except ImportError as e:
                answer = "refused: " + str(e)
            else:
                answer = "imported"
            with open(OUT, "w") as f:
                f.write(answer)
        """)
        r = run_python(f"""
            import sys
            gil = {gil!r}
            try:
                import _interpreters as interpreters
                config = interpreters.new_config("isolated", gil=gil,
                                                 use_main_obmalloc=gil == "shared")
                interp = interpreters.create(config)
            except ImportError:
                try:
                    import _xxsubinterpreters as interpreters
                except ImportError:
                    interpreters = None
                if interpreters is None or gil == "shared":
                    # 3.12's module makes extensions checked only with an own lock
                    print("no subinterpreters")
                    raise SystemExit(0)
                interp = interpreters.create(isolated=True)
            import morvex._core  # the main interpreter may
            out = {str(tmp_path / "answer")!r}
            code = {inside!r}.replace("PATH", repr(sys.path)).replace("OUT", repr(out))
            interpreters.run_string(interp, code)
            interpreters.destroy(interp)
            print(open(out).read())
        """)
        assert r.returncode == 0, r.stderr
        if r.stdout.strip() == "no subinterpreters":
            pytest.skip("no subinterpreter of this kind here")
        assert r.stdout.startswith("refused: "), r.stdout
        assert "does not support loading in subinterpreters" in r.stdout


class TestConstruction:
    @pytest.mark.parametrize("fmt", ["JSON", " json", "json ", "", "perfetto", "Protobuf"])
    def test_unknown_formats(self, fmt):
        with pytest.raises(ValueError) as e:
            core.Tracer("x", fmt)
        assert str(e.value) == "unknown format: " + fmt

    @pytest.mark.parametrize("args,kwargs,param", [
        ((1,), {}, "output"),
        ((b"x",), {}, "output"),
        (("x", None), {}, "format"),
        (("x",), {"format": 3}, "format"),
        ((), {"output": None}, "output"),
    ])
    def test_non_str_arguments_name_the_parameter(self, args, kwargs, param):
        with pytest.raises(TypeError) as e:
            core.Tracer(*args, **kwargs)
        assert param in str(e.value)

    @pytest.mark.parametrize("fmt,canonical", [("pb", "protobuf"), ("proto", "protobuf"),
                                               ("protobuf", "protobuf"), ("json", "json")])
    def test_accepted_formats_and_the_child_variables(self, tmp_path, fmt, canonical):
        path = str(tmp_path / "t")
        with core.Tracer(path, fmt):
            assert os.environ["MORVEX_CHILD_OUTPUT"] == path
            assert os.environ["MORVEX_CHILD_FORMAT"] == canonical
            fib(3)
        tracefiles.read(path, canonical)  # decodes in the canonical format


class TestLifecycle:
    def test_profiler_slot_is_held_during_a_run_only(self, tmp_path):
        t = core.Tracer(str(tmp_path / "t.pftrace"))
        assert t.__enter__() is t
        assert sys.monitoring.get_tool(PROFILER) == "morvex"
        assert t.__exit__(None, None, None) is False
        assert sys.monitoring.get_tool(PROFILER) is None

    def test_exit_when_idle_and_twice(self, tmp_path):
        t = core.Tracer(str(tmp_path / "t.json"), "json")
        with pytest.raises(RuntimeError, match="^tracer is not tracing$"):
            t.__exit__(None, None, None)
        t.__enter__()
        t.__exit__(None, None, None)
        with pytest.raises(RuntimeError, match="^tracer is not tracing$"):
            t.__exit__(None, None, None)

    @pytest.mark.forks
    def test_exit_of_an_idle_tracer_changes_nothing(self, tmp_path):
        path = tmp_path / "a.json"
        running = core.Tracer(str(path), "json")
        idle = core.Tracer(str(tmp_path / "b.json"), "json")
        running.__enter__()
        try:
            exported = {v: os.environ.get(v) for v in CHILD_VARIABLES}
            with pytest.raises(RuntimeError, match="^tracer is not tracing$"):
                idle.__exit__()
            assert {v: os.environ.get(v) for v in CHILD_VARIABLES} == exported
            # The running trace still follows its forked children.
            pid = os.fork()
            if pid == 0:
                fib(3)
                running.__exit__()
                os._exit(0)
            assert reap(pid) == 0
        finally:
            running.__exit__()
        t = tracefiles.read(path, "json")
        assert t.names(pid).count("fib") == 5

    def test_exit_arguments(self, tmp_path):
        t = core.Tracer(str(tmp_path / "t.json"), "json")
        t.__enter__()
        with pytest.raises(TypeError, match="_exc_type"):
            t.__exit__(1, None, None)
        with pytest.raises(TypeError):
            t.__exit__(None, None, None, None)
        with pytest.raises(TypeError):
            t.__exit__(bogus=1)
        # An exception triple is accepted and never suppresses the exception.
        assert t.__exit__(_exc_type=KeyError, _exc_val=KeyError("k"), _exc_tb=None) is False

    def test_exception_in_the_block_propagates_after_the_trace_is_finished(self, tmp_path):
        path = tmp_path / "t.json"
        with pytest.raises(ZeroDivisionError):
            with core.Tracer(str(path), "json"):
                fib(4)
                1 / 0
        assert "fib" in tracefiles.read(path, "json").names()

    def test_reentering_recreates_the_file(self, tmp_path):
        path = tmp_path / "t.json"
        t = core.Tracer(str(path), "json")
        with t:
            fib(5)
        first = tracefiles.read(path, "json").names().count("fib")
        with t:
            fib(2)
        text = path.read_text()
        assert text.count("[") == 1
        assert tracefiles.read(path, "json").names().count("fib") == 3
        assert first == 15

    def test_missing_directory_raises_oserror_and_frees_the_slot(self, tmp_path, monkeypatch):
        # A variable that was there before (say, from a parent's trace) is
        # put back; the ones that were not are not left behind.
        monkeypatch.setenv("MORVEX_CHILD_OUTPUT", "from-a-parent")
        t = core.Tracer(str(tmp_path / "no" / "such" / "t.json"), "json")
        with pytest.raises(OSError) as e:
            t.__enter__()
        # As Python raises it for a file it cannot open, naming the file.
        assert type(e.value) is FileNotFoundError
        assert e.value.filename == str(tmp_path / "no" / "such" / "t.json")
        assert e.value.errno == errno.ENOENT
        assert str(e.value) == f"[Errno 2] No such file or directory: '{e.value.filename}'"
        assert sys.monitoring.get_tool(PROFILER) is None
        assert os.environ["MORVEX_CHILD_OUTPUT"] == "from-a-parent"
        monkeypatch.delenv("MORVEX_CHILD_OUTPUT")
        assert not any(v in os.environ for v in CHILD_VARIABLES)

    def test_an_output_that_cannot_be_written_is_named_too(self, tmp_path):
        # A directory, as the file that cannot be written to: root writes any other.
        with pytest.raises(IsADirectoryError) as e:
            core.Tracer(tmp_path, "json").__enter__()
        assert e.value.filename == str(tmp_path)
        assert sys.monitoring.get_tool(PROFILER) is None

    @pytest.mark.parametrize("make_path", [Path, str])
    def test_output_is_a_str_or_a_path_like(self, tmp_path, make_path):
        # A name that is not valid UTF-8 arrives as the bytes it was.
        name = os.fsdecode(b"tr\xe9ce.json")
        with core.Tracer(make_path(tmp_path / name), "json"):
            fib(2)
        assert os.listdir(tmp_path) == [name]
        assert tracefiles.read(tmp_path / name, "json").names().count("fib") == 3

    @pytest.mark.parametrize("bad", [3, None, ["t.json"], b"t.json"])
    def test_output_of_another_type_is_a_type_error_naming_it(self, bad):
        with pytest.raises(TypeError, match="'output' must be str or os.PathLike"):
            core.Tracer(bad)

    @pytest.mark.parametrize("fmt", ["json", "protobuf"])
    def test_enter_as_child_appends_and_leaves_the_variables(self, tmp_path, fmt):
        path = tmp_path / "t"
        with core.Tracer(str(path), fmt):
            fib(3)
        before = path.read_bytes()
        child = core.Tracer(str(path), fmt)
        os.environ["MORVEX_CHILD_OUTPUT"] = "untouched"
        try:
            assert child._enter_as_child() is child
            assert os.environ["MORVEX_CHILD_OUTPUT"] == "untouched"
            assert "MORVEX_CHILD_FORMAT" not in os.environ
            fib(4)
            child.__exit__()
        finally:
            os.environ.pop("MORVEX_CHILD_OUTPUT", None)
        data = path.read_bytes()
        assert data.startswith(before)
        t = tracefiles.read(path, fmt)
        assert t.names().count("fib") == 5 + 9


class TestSlotAlreadyTaken:
    """Entering while the profiler slot is taken raises the interpreter's own
    error and touches neither a file nor the environment."""

    def test_another_tool_holds_the_slot(self, tmp_path):
        path = tmp_path / "t.json"
        sys.monitoring.use_tool_id(PROFILER, "someone-else")
        try:
            # The interpreter's words, and who to stop first.
            with pytest.raises(ValueError,
                               match=r'^tool \d+ is already in use \(held by "someone-else"\)$'):
                core.Tracer(str(path), "json").__enter__()
        finally:
            sys.monitoring.free_tool_id(PROFILER)
        assert not path.exists()
        assert "MORVEX_CHILD_OUTPUT" not in os.environ

    @pytest.mark.parametrize("same_tracer", [True, False])
    def test_a_live_trace_is_never_wiped(self, tmp_path, same_tracer):
        path = tmp_path / "t.json"
        first = core.Tracer(str(path), "json")
        first.__enter__()
        try:
            fib(6)
            second = first if same_tracer else core.Tracer(str(path), "json")
            with pytest.raises(ValueError, match='already in use \\(held by "morvex"\\)$'):
                second.__enter__()
            assert os.environ["MORVEX_CHILD_OUTPUT"] == str(path)
            fib(2)
            assert sys.monitoring.get_tool(PROFILER) == "morvex"
        finally:
            first.__exit__()
        assert tracefiles.read(path, "json").names().count("fib") == 25 + 3


class TestFailingRegistration:
    @pytest.mark.parametrize("method,fail_on_call", [("register_callback", 3),
                                                     ("set_events", 1)])
    def test_failed_enable_undoes_itself(self, tmp_path, monkeypatch, method, fail_on_call):
        real = getattr(sys.monitoring, method)
        calls = []

        def flaky(*args):
            calls.append(args)
            if len(calls) == fail_on_call:
                raise RuntimeError("injected")
            return real(*args)

        monkeypatch.setattr(sys.monitoring, method, flaky)
        path = tmp_path / "t.json"
        with pytest.raises(RuntimeError, match="^injected$"):
            core.Tracer(str(path), "json").__enter__()
        monkeypatch.undo()
        assert not any(v in os.environ for v in CHILD_VARIABLES)
        assert sys.monitoring.get_tool(PROFILER) is None
        # No callback is left behind.
        for event in ("PY_START", "PY_RETURN", "PY_YIELD"):
            assert sys.monitoring.register_callback(
                PROFILER, getattr(sys.monitoring.events, event), None) is None
        # The output holds a finished trace with no function events.
        assert tracefiles.read(path, "json").names() == []
        with core.Tracer(str(path), "json"):
            fib(2)
        assert tracefiles.read(path, "json").names().count("fib") == 3

    @pytest.mark.parametrize("method", ["set_events", "register_callback"])
    def test_a_failing_disable_still_frees_the_slot(self, tmp_path, monkeypatch, method):
        # GIVEN a run, and a step of the disable sequence that fails
        path = tmp_path / "t.json"
        t = core.Tracer(str(path), "json")
        t.__enter__()
        fib(3)
        calls = []

        def failing(*args):
            calls.append(args)
            raise RuntimeError(f"injected {len(calls)}")

        monkeypatch.setattr(sys.monitoring, method, failing)
        # WHEN the run stops
        try:
            with pytest.raises(RuntimeError, match="^injected 1$"):
                t.__exit__()
        finally:
            monkeypatch.undo()
            # THEN every step was taken: the first failure is what was raised,
            # the steps after it ran anyway, and the tool id is free.
            assert sys.monitoring.get_tool(PROFILER) is None
            sys.monitoring.use_tool_id(PROFILER, "cleanup")
            sys.monitoring.set_events(PROFILER, 0)
            for event in ("PY_START", "PY_RETURN", "PY_YIELD", "PY_RESUME", "PY_UNWIND",
                          "PY_THROW"):
                sys.monitoring.register_callback(PROFILER, getattr(sys.monitoring.events, event),
                                                 None)
            sys.monitoring.free_tool_id(PROFILER)
        # every callback was asked to go, even after the first refusal
        assert len(calls) == (1 if method == "set_events" else 6)
        assert not any(v in os.environ for v in CHILD_VARIABLES)
        assert tracefiles.read(path, "json").names().count("fib") == 5
        # and a later run starts
        with core.Tracer(str(path), "json"):
            fib(2)
        assert tracefiles.read(path, "json").names().count("fib") == 3

    def test_fork_hook_registration_failure_starts_nothing(self):
        # Loaded under a name other than morvex._core, the first enter cannot
        # register its fork hooks.
        r = run_python("""
            import os, sys, tempfile
            import morvex._core as real
            # The same file (the loader sees through the link), as top-level _core.
            where = tempfile.mkdtemp()
            os.symlink(real.__file__, os.path.join(where, os.path.basename(real.__file__)))
            sys.path.insert(0, where)
            sys.modules["morvex"] = None   # makes "morvex._core" unimportable
            del sys.modules["morvex._core"]
            import _core as other
            assert other is not real
            path = os.path.join(tempfile.mkdtemp(), "t.json")
            t = other.Tracer(path, "json")
            try:
                t.__enter__()
            except ImportError as e:
                print("import error:", type(e).__name__)
            print("slot:", sys.monitoring.get_tool(sys.monitoring.PROFILER_ID))
            names = [open(f"/proc/self/task/{t}/comm").read().strip()
                     for t in os.listdir("/proc/self/task")]
            print("threads:", sorted(n for n in names if n.startswith("morvex")))
            print("file:", os.path.exists(path))
            # later enters no longer try to register, and work
            with other.Tracer(path, "json"):
                pass
            print("again:", open(path).read())
        """)
        assert r.returncode == 0, r.stderr
        assert "import error: ModuleNotFoundError" in r.stdout
        assert "slot: None" in r.stdout
        assert "threads: []" in r.stdout
        assert "file: False" in r.stdout
        assert "again: [" in r.stdout


def test_two_threads_entering_and_exiting_one_tracer_do_not_deadlock():
    r = run_python("""
        import os, sys, tempfile, threading
        import morvex._core as core
        def fib(n): return n if n < 2 else fib(n - 1) + fib(n - 2)
        t = core.Tracer(os.path.join(tempfile.mkdtemp(), "t.json"), "json")
        outcomes = []
        def cycle():
            for _ in range(30):
                for step in (t.__enter__, lambda: fib(12), t.__exit__):
                    try:
                        step()
                    except (RuntimeError, ValueError) as e:
                        outcomes.append(str(e))
        workers = [threading.Thread(target=cycle) for _ in range(3)]
        for w in workers: w.start()
        for w in workers: w.join()
        try:
            t.__exit__()
        except RuntimeError:
            pass
        print("done", sys.monitoring.get_tool(sys.monitoring.PROFILER_ID))
    """, timeout=120)
    assert r.returncode == 0, r.stderr
    assert "done None" in r.stdout


def test_tracing_a_thread_started_before_the_run(tmp_path):
    """A thread that exists before the run joins it on its first event."""
    go, ran, stop = threading.Event(), threading.Event(), threading.Event()

    def worker():
        if not go.wait(60):
            return
        for _ in range(100_000):  # until told to stop, within a bound
            fib(8)
            ran.set()
            if stop.is_set():
                break

    # A daemon: should the test fail before it is told, it holds up nothing.
    w = threading.Thread(target=worker, name="early", daemon=True)
    w.start()
    path = tmp_path / "t.json"
    with core.Tracer(str(path), "json", lossless=True):
        go.set()
        assert ran.wait(60)
        stop.set()
        w.join(60)
        assert not w.is_alive()
    t = tracefiles.read(path, "json")
    assert "fib" in [s.name for s in t.thread_events("early")]


class TestCallbacks:
    """The registered callbacks, called directly."""

    def registered(self, event):
        bit = getattr(sys.monitoring.events, event)
        cb = sys.monitoring.register_callback(PROFILER, bit, None)
        sys.monitoring.register_callback(PROFILER, bit, cb)
        return cb

    def test_callbacks_return_none_and_tolerate_missing_arguments(self, tmp_path):
        path = tmp_path / "t.json"
        with core.Tracer(str(path), "json"):
            start = self.registered("PY_START")
            names = [self.registered(e).__name__ for e in
                     ("PY_START", "PY_RETURN", "PY_YIELD", "PY_RESUME", "PY_UNWIND", "PY_THROW")]
            assert start() is None  # no code object: nothing recorded
            assert start(fib.__code__, 0) is None
        assert names == ["_mv_py_start", "_mv_py_return", "_mv_py_yield", "_mv_py_resume",
                         "_mv_py_unwind", "_mv_py_throw"]
        assert repr(start) == "<morvex callback _mv_py_start>"
        assert start.__qualname__ == "_mv_py_start"
        with pytest.raises(TypeError):
            type(start)()
        t = tracefiles.read(path, "json")
        assert t.names().count("fib") == 1

    def test_a_run_never_takes_the_code_ids_of_the_run_before(self, tmp_path):
        # Ids are given per run in order of first sight. The first run's last
        # event is x's return, x's id there being 2; the second run's first
        # event is x's start, and there x must be resolved afresh, not take
        # the id 2 the thread's cache of its last code still holds.
        def a():
            pass

        def b():
            pass

        def x():
            pass

        first, second = tmp_path / "1.json", tmp_path / "2.json"
        with core.Tracer(str(first), "json", lossless=True):
            b()
            a()
            x()
        with core.Tracer(str(second), "json", lossless=True):
            x()
            b()
            a()
        names = [[n.rsplit(".", 1)[-1] for n in tracefiles.read(p, "json").names()]
                 for p in (first, second)]
        assert names == [["b", "a", "x"], ["x", "b", "a"]]

    def test_unreadable_code_attributes_fall_back_to_defaults(self, tmp_path):
        class Odd:
            co_qualname = 123          # not a str
            co_firstlineno = -5        # negative
            # no co_filename at all

        class Huge:
            co_qualname = "huge"
            co_filename = "h.py"
            co_firstlineno = 2**40     # too large for 32 bits

        path = tmp_path / "t.json"
        odd, huge = Odd(), Huge()
        with core.Tracer(str(path), "json"):
            start = self.registered("PY_START")
            start(odd, 0)
            start(huge, 0)
            assert sys.exc_info() == (None, None, None)
        import json
        records = json.loads(path.read_text()[:-1] + "]")
        events = [r for r in records if r["ph"] == "B"]
        by_name = {r["name"]: r["args"] for r in events}
        assert by_name["<unknown>"] == {"file": "", "line": 0, "kind": "start"}
        assert by_name["huge"] == {"file": "h.py", "line": 0, "kind": "start"}
