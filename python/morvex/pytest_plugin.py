"""pytest --morvex DIR: a trace of every test, with its setup, call and teardown marked.

pytest loads this module (the pytest11 entry point) in every run of an
environment that has morvex; on its own it only adds the options. The
tracing lives on a TracePerTest object, registered when --morvex is given.

Each test's pytest_runtest_protocol is one morvex run, written to
DIR/<file-safe test id>.pftrace (or .json). The phases are spans opened by
hook wrappers, which are generators: traced, a wrapper's yield would end its
own slice and with it the span opened inside, so this module's code is left
out of every trace (`exclude=__name__`).

What to record takes the options of `morvex run` (--morvex-include and the
rest), with the same values, checked by the Tracer they are given to.

Under pytest-xdist each worker traces the tests it runs; the controller adds
up what the workers report (`workeroutput`) for the summary line and the
slowest tests.
"""

from __future__ import annotations

import argparse
import hashlib
import heapq
import os
import re
import sys
import time
from pathlib import Path

import pytest

import morvex

EXTENSIONS = {"protobuf": ".pftrace", "json": ".json"}
# Characters of the test id a file name keeps; the hash covers the rest.
SLUG_LENGTH = 120
# Bytes of the test id given to the phase spans: one event carries 4 KiB.
ID_ARG_BYTES = 2000
# Slowest traced tests the closing summary names unless told.
SLOWEST = 5
# Characters of a bad value an error shows, as `morvex run` shows them.
SHOWN_CHARS = 60
# What a test's traced time is measured with, in nanoseconds.
clock = time.perf_counter_ns


def shown(value: str) -> str:
    return value if len(value) <= SHOWN_CHARS else value[:SHOWN_CHARS - 1] + "\u2026"


def refusal(error: ValueError) -> str:
    """What the Tracer found wrong with a value, without its own option names."""
    text = str(error)
    # "min_duration: why", or "include pattern 'x': why" (no reason has ": " in it).
    if text.startswith("min_duration: "):
        return text.removeprefix("min_duration: ")
    return text.rpartition(": ")[2]


def whole_number(value: str, limit: int) -> int | None:
    """A number of decimal digits below `limit`, as `morvex run` reads them."""
    digits = value.lstrip("0") or "0"
    # Length first: int() refuses thousands of digits with a message of its own.
    if not (value.isascii() and value.isdigit() and len(digits) <= len(str(limit))):
        return None
    n = int(digits)
    return n if n < limit else None


def pattern_list(value: str) -> list[str]:
    """--morvex-include and --morvex-exclude: patterns separated by commas."""
    patterns = value.split(",")
    for pattern in patterns:
        try:
            # Checked by what will take them: one set of rules, in its words.
            morvex.Tracer(os.devnull, include=pattern)
        except ValueError as e:
            why = refusal(e)
            if pattern != value and pattern:  # one of several: say which
                why = f"'{shown(pattern)}': {why}"
            raise argparse.ArgumentTypeError(f"invalid value '{shown(value)}': {why}") from None
    return patterns


def max_depth(value: str) -> int:
    # 32 bits, as `morvex run` takes it; the Tracer caps it.
    n = whole_number(value, 1 << 32)
    if not n:
        raise argparse.ArgumentTypeError(
            f"invalid value '{shown(value)}': a whole number of frames, at least 1")
    return n


def min_duration(value: str) -> str:
    try:
        morvex.Tracer(os.devnull, min_duration=value)
    except ValueError as e:
        raise argparse.ArgumentTypeError(refusal(e)) from None
    return value


def slowest_count(value: str) -> int:
    n = whole_number(value, 1 << 32)
    if n is None:
        raise argparse.ArgumentTypeError(f"invalid value '{shown(value)}': a whole number of tests")
    return n


def pytest_addoption(parser):
    group = parser.getgroup("morvex", "morvex: a function trace of each test")
    group.addoption(
        "--morvex", metavar="DIR", dest="morvex_dir", default=None,
        help="trace each test (its setup, call and teardown) into DIR/<test id>.pftrace, "
             "or .json with --morvex-format=json; DIR is created if missing")
    group.addoption(
        "--morvex-format", dest="morvex_format", choices=tuple(EXTENSIONS), default="protobuf",
        help="trace format: protobuf (Perfetto, the default) or json (Chrome trace events)")
    group.addoption(
        "--morvex-keep", dest="morvex_keep", choices=("all", "failed"), default="all",
        help="keep the traces of all tests (the default), or only of tests that failed or "
             "errored in setup, call or teardown")
    group.addoption(
        "--morvex-include", metavar="PATTERN", dest="morvex_include", action="append",
        type=pattern_list, default=None,
        help="record only code that matches: a module and its submodules (myapp, myapp.db), a "
             "path glob (*/vendor/*) or :stdlib, :site-packages. Repeat it, or separate "
             "patterns with commas")
    group.addoption(
        "--morvex-exclude", metavar="PATTERN", dest="morvex_exclude", action="append",
        type=pattern_list, default=None,
        help="leave out code that matches, as --morvex-include matches")
    group.addoption(
        "--morvex-max-depth", metavar="N", dest="morvex_max_depth", type=max_depth, default=None,
        help="record calls at most N frames deep (counted from where each thread entered the "
             "test's trace)")
    group.addoption(
        "--morvex-min-duration", metavar="DURATION", dest="morvex_min_duration",
        type=min_duration, default=None,
        help="leave out calls shorter than DURATION (seconds, or with a unit: 50us, 1.5ms, 2s) "
             "with everything inside them")
    group.addoption(
        "--morvex-lossless", dest="morvex_lossless", action="store_true", default=False,
        help="make the tests wait for the trace writers instead of losing events when they "
             "fall behind")
    group.addoption(
        "--morvex-compress", dest="morvex_compress", action="store_true", default=False,
        help="write the Perfetto traces deflated, with incremental timestamps: several times "
             "smaller, for some CPU")
    group.addoption(
        "--morvex-c-calls", dest="morvex_c_calls", action="store_true", default=False,
        help="record calls of builtins, methods of C types and other callables that are not "
             "Python functions as slices of their own")
    group.addoption(
        "--morvex-async-tasks", dest="morvex_async_tasks", action="store_true", default=False,
        help="put each asyncio task's coroutine slices on a track of its own, named after the "
             "task, under its thread's track")
    group.addoption(
        "--morvex-slowest", metavar="N", dest="morvex_slowest", type=slowest_count,
        default=SLOWEST,
        help=f"name the N tests that took longest traced, with their traces, at the end "
             f"(default: {SLOWEST}; 0: none)")


def pytest_configure(config):
    option = config.getoption("morvex_dir")
    if option is None:
        return
    directory = Path(config.invocation_params.dir, option).resolve()
    try:
        directory.mkdir(parents=True, exist_ok=True)
    except OSError as e:
        raise pytest.UsageError(f"--morvex: cannot create {directory}: {e.strerror}") from None
    plugin = TracePerTest(config, directory, config.getoption("morvex_format"),
                          config.getoption("morvex_keep"), tracer_options(config),
                          config.getoption("morvex_slowest"))
    config.pluginmanager.register(plugin, "morvex-per-test")


def tracer_options(config) -> dict:
    """The Tracer's keyword arguments the options ask for."""
    # This module's hooks stay out whatever else is asked (see above).
    options = {"exclude": [__name__]}
    for option, key in (("morvex_include", "include"), ("morvex_exclude", "exclude")):
        for patterns in config.getoption(option) or ():
            options.setdefault(key, []).extend(patterns)
    for option, key in (("morvex_max_depth", "max_depth"),
                        ("morvex_min_duration", "min_duration")):
        if (value := config.getoption(option)) is not None:
            options[key] = value
    if config.getoption("morvex_lossless"):
        options["lossless"] = True
    if config.getoption("morvex_compress"):
        options["compress"] = True
    if config.getoption("morvex_c_calls"):
        options["c_calls"] = True
    if config.getoption("morvex_async_tasks"):
        options["async_tasks"] = True
    return options


def trace_file_name(nodeid: str, extension: str) -> str:
    """A name for a test's trace that any file system takes and no other
    test gets: the id's safe characters, cut to a readable length, and a
    hash of the whole id, which tells apart ids that read the same once
    cleaned, cut or case-folded."""
    slug = re.sub(r"[^A-Za-z0-9_.-]", "_", nodeid)[:SLUG_LENGTH].lstrip(".")
    digest = hashlib.sha1(nodeid.encode("utf-8", "surrogatepass")).hexdigest()[:10]
    return f"{slug}-{digest}{extension}"


def plural(n: int, word: str) -> str:
    return f"{n} {word}{'' if n == 1 else 's'}"


class TracePerTest:
    def __init__(self, config, directory: Path, fmt: str, keep: str, options: dict,
                 slowest: int):
        self.config = config
        self.directory = directory
        self.format = fmt
        self.keep_failed = keep == "failed"
        self.options = options
        self.slowest_count = slowest
        self.tracer = None  # the running test's, if it is traced
        self.began = 0  # clock() when the running test's trace began
        self.failed = False  # a report of the running test failed
        self.test_id = ""
        self.started = 0  # tests traced so far in this process
        self.told_unwritten = False  # said that a trace could not be written
        # What the summary line tells; under xdist, the workers' added up.
        self.stats = {"kept": 0, "deleted": 0, "unfinished": 0, "lossy": 0, "error": None,
                      "refused": None}
        # The slowest tests with a kept trace: [seconds traced, test id, trace path].
        self.slowest = []

    # ---- one test ----------------------------------------------------------

    @pytest.hookimpl(wrapper=True, tryfirst=True)
    def pytest_runtest_protocol(self, item):
        path = self.directory / trace_file_name(item.nodeid, EXTENSIONS[self.format])
        self.tracer = self.start(path, item.nodeid)
        self.failed = False
        self.test_id = item.nodeid.encode("utf-8", "backslashreplace")[:ID_ARG_BYTES].decode(
            "utf-8", "ignore")
        completed = False
        try:
            result = yield
            completed = True
            return result
        finally:
            tracer, self.tracer = self.tracer, None
            if tracer is not None:
                # An interrupted test (Ctrl-C, pytest.exit) never counts as passed.
                self.finish(tracer, path, item.nodeid, passed=completed and not self.failed)

    @pytest.hookimpl(wrapper=True, tryfirst=True)
    def pytest_runtest_setup(self, item):
        return (yield from self.phase("setup"))

    @pytest.hookimpl(wrapper=True, tryfirst=True)
    def pytest_runtest_call(self, item):
        return (yield from self.phase("call"))

    @pytest.hookimpl(wrapper=True, tryfirst=True)
    def pytest_runtest_teardown(self, item, nextitem):
        return (yield from self.phase("teardown"))

    def phase(self, name):
        if self.tracer is None:
            return (yield)
        with morvex.span(name, test=self.test_id):
            return (yield)

    def pytest_runtest_logreport(self, report):
        # A failure or error in any phase; an xfail is a skip, a strict
        # xpass a failure, as pytest counts them.
        if report.failed:
            self.failed = True

    def start(self, path: Path, nodeid: str):
        if self.stats["refused"] is not None:
            return None
        holder = sys.monitoring.get_tool(sys.monitoring.PROFILER_ID)
        try:
            if holder is not None:
                raise ValueError(f"the sys.monitoring profiler slot is held by {holder!r}"
                                 + (" (a trace of the whole run, such as morvex run's)"
                                    if holder == "morvex" else ""))
            tracer = morvex.Tracer(path, self.format, **self.options).start()
        except (ValueError, OSError) as e:
            self.refuse(nodeid, str(e))
            return None
        self.started += 1
        self.began = clock()
        return tracer

    def refuse(self, nodeid: str, reason: str):
        """Says once why the tests from `nodeid` on run untraced."""
        self.stats["refused"] = reason
        where = f"from {nodeid} on" if self.started else "the tests"
        self.warn(f"morvex: not tracing {where}: {reason}")

    def warn(self, line: str):
        reporter = self.config.pluginmanager.get_plugin("terminalreporter")
        if reporter is not None:
            reporter.write_line(line, yellow=True)
        else:
            print(line, file=sys.stderr)

    def finish(self, tracer, path: Path, nodeid: str, passed: bool):
        traced = (clock() - self.began) / 1e9
        try:
            tracer.stop()
        except (OSError, RuntimeError) as e:  # a full disk, say: the tests go on
            # What did get written is no trace: leave no file that passes for one,
            # whatever --morvex-keep says.
            self.unwritten(path, nodeid, e, self.remove(path))
            return
        if not (passed and self.keep_failed):
            self.stats["kept"] += 1
            # A test that outran the writers has a trace with holes in it.
            self.stats["lossy"] += bool(tracer.dropped)
            self.rank([[traced, nodeid, str(path)]])
        elif (error := self.remove(path)) is None:
            self.stats["deleted"] += 1
        else:
            self.stats["unfinished"] += 1
            self.stats["error"] = self.stats["error"] or f"{path.name}: {error}"

    @staticmethod
    def remove(path: Path) -> OSError | None:
        try:
            path.unlink(missing_ok=True)
        except OSError as e:
            return e
        return None

    def unwritten(self, path: Path, nodeid: str, error: Exception, not_removed: OSError | None):
        self.stats["unfinished"] += 1
        self.stats["error"] = self.stats["error"] or f"{path.name}: {error}"
        if self.told_unwritten:  # the summary line counts the rest
            return
        self.told_unwritten = True
        fate = ("its file is removed" if not_removed is None
                else f"its file could not be removed either ({not_removed})")
        self.warn(f"morvex: the trace of {nodeid} could not be written ({error}); {fate}, "
                  "as is any trace that cannot be written")

    # ---- the summary -------------------------------------------------------

    def rank(self, tests: list):
        self.slowest = heapq.nlargest(self.slowest_count, self.slowest + tests,
                                      key=lambda t: t[0])

    def pytest_sessionfinish(self, session):
        workeroutput = getattr(self.config, "workeroutput", None)
        if workeroutput is not None:
            workeroutput["morvex"] = dict(self.stats, slowest=self.slowest)

    @pytest.hookimpl(optionalhook=True)
    def pytest_testnodedown(self, node, error):
        theirs = getattr(node, "workeroutput", {}).get("morvex")
        if theirs is None:
            return
        for key in ("kept", "deleted", "unfinished", "lossy"):
            self.stats[key] += theirs.get(key, 0)
        for key in ("error", "refused"):
            self.stats[key] = self.stats[key] or theirs[key]
        self.rank(theirs.get("slowest", []))

    def pytest_terminal_summary(self, terminalreporter):
        if self.slowest:
            self.name_slowest(terminalreporter)
        s = self.stats
        line = f"morvex: {plural(s['kept'], 'trace')} in {self.directory}"
        if self.keep_failed:
            line += f" (failed tests only; {s['deleted']} of passed or skipped tests deleted)"
        if s["lossy"]:
            line += (f"; {s['lossy']} of them lost events (the writers fell behind; "
                     "lossless mode keeps every event)")
        if s["unfinished"]:
            line += f"; {s['unfinished']} could not be written ({s['error']})"
        if s["refused"] is not None:
            line += f"; not traced: {s['refused']}"
        terminalreporter.write_line(line)

    def name_slowest(self, terminalreporter):
        n = len(self.slowest)
        terminalreporter.write_sep("=", f"morvex: slowest {plural(n, 'traced test')}")
        here = self.config.invocation_params.dir
        for seconds, nodeid, path in self.slowest:
            # As short as it can be said from where pytest was run.
            relative = os.path.relpath(path, here)
            shown = path if relative.startswith(os.pardir + os.sep) else relative
            terminalreporter.write_line(f"{seconds:.2f}s {nodeid}  {shown}")
