"""pytest --morvex DIR: a small suite run in a subprocess, its traces read back."""

import json
import os
import re

import pytest

import tracefiles
from perfetto.protos.perfetto.trace import perfetto_trace_pb2 as pb

pytest_plugins = ["pytester"]

SUITE = '''
import os
import sys

import pytest


def work(n):
    return n


@pytest.fixture
def resource():
    work(1)
    yield "ready"
    work(2)


@pytest.fixture
def breaks_on_teardown():
    yield
    raise RuntimeError("teardown broke")


def test_passes():
    assert work(1) == 1


def test_fails():
    assert work(1) == 2


def test_uses_fixture(resource):
    assert resource == "ready"


@pytest.mark.parametrize("v", {params!r}, ids=str)
def test_param(v):
    work(v)


def test_ünïcode():
    work(0)


def test_profiler_slot():
    # The tool the run under test is expected to leave in the slot.
    assert sys.monitoring.get_tool(sys.monitoring.PROFILER_ID) == (os.environ["EXPECT_HOLDER"] or None)


@pytest.mark.skip
def test_skipped():
    pass


@pytest.mark.xfail(strict=True)
def test_xfails():
    assert work(1) == 2


@pytest.mark.xfail(strict=True)
def test_xpasses_strictly():
    pass


def test_teardown_errors(breaks_on_teardown):
    pass
'''

# Ids that clean up to the same characters, differ only in case, or share
# the first hundreds of characters.
PARAMS = ["a b", "a/b", "a_b", "A_B", "x::y[0]", "x" * 300, "x" * 299 + "y"]
IDS = (["test_passes", "test_fails", "test_uses_fixture"]
       + [f"test_param[{p}]" for p in PARAMS]
       + ["test_ünïcode", "test_profiler_slot", "test_skipped", "test_xfails",
          "test_xpasses_strictly", "test_teardown_errors"])
NODEIDS = [f"test_suite.py::{i}" for i in IDS]
OUTCOMES = dict(passed=12, failed=2, errors=1, skipped=1, xfailed=1)
FAILED = {"test_suite.py::test_fails", "test_suite.py::test_xpasses_strictly",
          "test_suite.py::test_teardown_errors"}
EXTENSIONS = {"protobuf": ".pftrace", "json": ".json"}
SAFE_NAME = re.compile(r"[A-Za-z0-9_.-]+-[0-9a-f]{10}\.(pftrace|json)")

# The suite's runs wait for their writers rather than drop events, whatever
# the load: what these tests read back (the phase spans, the test bodies)
# must be there. The plugin has no option for it, so every Tracer the run
# creates, the plugin's included, is made lossless here.
LOSSLESS = """
import functools
import morvex

morvex.Tracer = functools.partial(morvex.Tracer, lossless=True)
"""


@pytest.fixture
def suite(pytester, monkeypatch):
    pytester.makepyfile(test_suite=SUITE.format(params=PARAMS))
    pytester.makeconftest(LOSSLESS)
    monkeypatch.setenv("EXPECT_HOLDER", "morvex")
    return pytester


def run(pytester, *args):
    return pytester.runpytest_subprocess("-p", "no:cacheprovider", *args)


def morvex_lines(result):
    return [line for line in result.outlines + result.errlines if line.startswith("morvex:")]


def traced_test(path, fmt):
    """The test a trace belongs to, as its phase spans name it."""
    events = tracefiles.read(path, fmt).thread_events("MainThread")
    ids = {s.args["test"] for s in events if s.cat == "user" and s.phase == "B"}
    assert len(ids) == 1, (path, ids)
    return ids.pop()


def traces_by_test(directory, fmt):
    files = sorted(directory.iterdir())
    by_test = {traced_test(f, fmt): f for f in files}
    assert len(by_test) == len(files), "two files for one test"
    return by_test


def phase_spans(path, fmt):
    """The main thread's phase spans and function slices, apart; checks they
    nest and that nothing was lost."""
    trace = tracefiles.read(path, fmt)
    assert trace.dropped == {} and trace.lost() == 0, path
    events = trace.thread_events("MainThread")
    tracefiles.assert_nested(events)
    tracefiles.assert_time_ordered(events)
    begins = [e for e in events if e.phase == "B"]
    pairs = list(zip(begins, tracefiles.spans(events)))
    phases = [span for e, span in pairs if e.cat == "user"]
    functions = [span for e, span in pairs if e.cat != "user"]
    return phases, functions


def inside(inner, outer):
    return (outer.begin <= inner.begin and inner.end <= outer.end
            and inner.depth > outer.depth)


def test_each_test_gets_a_trace_of_its_phases(suite, fmt):
    args = ["--morvex", "traces"] + (["--morvex-format", "json"] if fmt == "json" else [])
    result = run(suite, *args)
    result.assert_outcomes(**OUTCOMES)
    directory = suite.path / "traces"
    assert morvex_lines(result) == [f"morvex: {len(NODEIDS)} traces in {directory}"]

    by_test = traces_by_test(directory, fmt)
    assert sorted(by_test) == sorted(NODEIDS)
    names = [p.name for p in by_test.values()]
    for name in names:
        assert SAFE_NAME.fullmatch(name), name
        assert len(name) < 150
    assert len({n.casefold() for n in names}) == len(names)
    ext = EXTENSIONS[fmt]
    assert by_test["test_suite.py::test_passes"].name.startswith("test_suite.py__test_passes-")
    assert by_test["test_suite.py::test_param[a/b]"].name.startswith("test_suite.py__test_param_a_b_-")
    assert all(n.endswith(ext) for n in names)

    for nodeid, path in by_test.items():
        phases, functions = phase_spans(path, fmt)
        skipped = nodeid.endswith("test_skipped")
        assert [p.name for p in phases] == (["setup", "teardown"] if skipped else
                                           ["setup", "call", "teardown"]), nodeid
        assert len({p.depth for p in phases}) == 1
        assert all(a.end <= b.begin for a, b in zip(phases, phases[1:]))
        if skipped:
            continue
        setup, call, teardown = phases
        test_name = nodeid.split("::")[1].split("[")[0]
        body = [f for f in functions if f.name.endswith(test_name)]
        assert len(body) == 1 and inside(body[0], call), nodeid
        if nodeid.endswith("test_uses_fixture"):
            first, second = [f for f in functions if f.name.endswith("resource")]
            assert inside(first, setup) and inside(second, teardown)


def test_keep_failed_keeps_the_traces_of_failed_and_errored_tests(suite, fmt):
    result = run(suite, "--morvex", "traces", "--morvex-format", fmt, "--morvex-keep", "failed")
    result.assert_outcomes(**OUTCOMES)
    directory = suite.path / "traces"
    assert set(traces_by_test(directory, fmt)) == FAILED
    deleted = len(NODEIDS) - len(FAILED)
    assert morvex_lines(result) == [
        f"morvex: 3 traces in {directory} (failed tests only; {deleted} of passed or skipped "
        "tests deleted)"]


def test_without_the_option_nothing_is_traced_or_created(suite, monkeypatch):
    monkeypatch.setenv("EXPECT_HOLDER", "")
    before = sorted(suite.path.rglob("*"))
    result = run(suite)
    result.assert_outcomes(**OUTCOMES)  # test_profiler_slot found the slot free
    assert morvex_lines(result) == []
    # Beside pytester's own: the run's temporary directory and its output.
    after = [p for p in suite.path.rglob("*")
             if not re.fullmatch(r"runpytest-\w+|stdout|stderr", p.relative_to(suite.path).parts[0])
             and "__pycache__" not in p.parts]
    assert sorted(after) == before


@pytest.mark.parametrize("holder,conftest", [
    ("cProfile", "import cProfile\n"
                 "PROFILE = cProfile.Profile()\n"
                 "def pytest_configure(config):\n"
                 "    PROFILE.enable()\n"),
    # As under `morvex run -m pytest`: the whole run is traced already.
    ("morvex", "import morvex\n"
               "TRACER = morvex.Tracer('whole.json', 'json')\n"
               "def pytest_configure(config):\n"
               "    TRACER.start()\n"
               "def pytest_unconfigure(config):\n"
               "    TRACER.stop()\n"),
])
def test_a_taken_profiler_slot_is_refused_once(suite, monkeypatch, holder, conftest):
    suite.makeconftest(LOSSLESS + conftest)
    monkeypatch.setenv("EXPECT_HOLDER", holder)
    result = run(suite, "--morvex", "traces")
    result.assert_outcomes(**OUTCOMES)
    lines = morvex_lines(result)
    reason = f"the sys.monitoring profiler slot is held by '{holder}'"
    assert len(lines) == 2, lines
    assert lines[0].startswith(f"morvex: not tracing the tests: {reason}")
    assert lines[1].startswith(f"morvex: 0 traces in {suite.path / 'traces'}; not traced: {reason}")
    assert list((suite.path / "traces").iterdir()) == []
    if holder == "morvex":
        whole = tracefiles.read(suite.path / "whole.json", "json")
        assert "test_passes" in whole.names()
        assert whole.dropped == {}
        assert not [s for evs in whole.events.values() for s in evs if s.cat == "user"]


def test_a_trace_that_cannot_be_opened_stops_tracing_once(suite, monkeypatch):
    from morvex.pytest_plugin import trace_file_name

    monkeypatch.setenv("EXPECT_HOLDER", "")  # test_profiler_slot comes after the third

    directory = suite.path / "traces"
    # Where the third test's trace would go, a directory.
    blocked = directory / trace_file_name(NODEIDS[2], ".pftrace")
    blocked.mkdir(parents=True)
    result = run(suite, "--morvex", "traces")
    result.assert_outcomes(**OUTCOMES)
    lines = morvex_lines(result)
    assert len(lines) == 2, lines
    assert lines[0].startswith(f"morvex: not tracing from {NODEIDS[2]} on: ")
    assert lines[1].startswith(f"morvex: 2 traces in {directory}; not traced: ")
    traced = [p for p in directory.iterdir() if p != blocked]
    assert sorted(traced_test(p, "protobuf") for p in traced) == sorted(NODEIDS[:2])


@pytest.mark.parametrize("keep", ["all", "failed"])
def test_traces_that_cannot_be_written_are_removed_and_said_once(suite, keep):
    from morvex.pytest_plugin import trace_file_name

    # A full disk for a passing and a failing test: their files lead to /dev/full.
    directory = suite.path / "traces"
    directory.mkdir()
    full = [directory / trace_file_name(n, ".pftrace") for n in NODEIDS[:2]]
    for path in full:
        path.symlink_to("/dev/full")
    result = run(suite, "--morvex", "traces", "--morvex-keep", keep)
    result.assert_outcomes(**OUTCOMES)

    assert not any(os.path.lexists(p) for p in full)
    assert os.path.exists("/dev/full")
    written = set(NODEIDS[2:]) if keep == "all" else FAILED - set(NODEIDS[:2])
    assert set(traces_by_test(directory, "protobuf")) == written
    lines = morvex_lines(result)
    assert len(lines) == 2, lines
    assert lines[0] == (f"morvex: the trace of {NODEIDS[0]} could not be written (No space left "
                        "on device (os error 28)); its file is removed, as is any trace that "
                        "cannot be written")
    summary = f"morvex: {len(written)} traces in {directory}"
    if keep == "failed":
        deleted = len(NODEIDS) - len(FAILED) - 1
        summary += f" (failed tests only; {deleted} of passed or skipped tests deleted)"
    assert lines[1] == (summary + f"; 2 could not be written ({full[0].name}: No space left on "
                        "device (os error 28))")


@pytest.mark.parametrize("args,traced", [
    (["-x"], NODEIDS[:2]),
    (["-k", "test_passes or fixture"], [NODEIDS[0], NODEIDS[2]]),
    (["-p", "no:logging", "-s", "-k", "test_uses_fixture"], [NODEIDS[2]]),
])
def test_pytest_options_choose_the_traced_tests(suite, args, traced):
    result = run(suite, "--morvex", "traces", *args)
    directory = suite.path / "traces"
    assert sorted(traces_by_test(directory, "protobuf")) == sorted(traced)
    for path in directory.iterdir():
        phases, _ = phase_spans(path, "protobuf")
        assert [p.name for p in phases] == ["setup", "call", "teardown"]
    assert morvex_lines(result) == [f"morvex: {len(traced)} trace{'s' * (len(traced) > 1)} in "
                                    f"{directory}"]


@pytest.mark.parametrize("args,words", [
    (["--morvex", "d", "--morvex-format", "yaml"], "argument --morvex-format: invalid choice: 'yaml'"),
    (["--morvex", "d", "--morvex-keep", "passed"], "argument --morvex-keep: invalid choice: 'passed'"),
    (["--morvex", "d", "--morvex-lossless=yes"],
     "argument --morvex-lossless: ignored explicit argument 'yes'"),
    (["--morvex", "d", "--morvex-slowest", "x"],
     "argument --morvex-slowest: invalid value 'x': a whole number of tests"),
    (["-p", "no:morvex", "--morvex", "d"], "unrecognized arguments: --morvex"),
    (["--morvex", "a_file/d"], "--morvex: cannot create "),
])
def test_bad_options_are_usage_errors(suite, args, words):
    suite.path.joinpath("a_file").write_text("")
    result = run(suite, *args)
    assert result.ret == pytest.ExitCode.USAGE_ERROR
    assert words in result.stderr.str()
    assert not (suite.path / "d").exists()
    assert morvex_lines(result) == []


def test_help_lists_the_options(pytester):
    result = run(pytester, "--help")
    assert result.ret == 0
    result.stdout.fnmatch_lines([
        "morvex: a function trace of each test:",
        "  --morvex=DIR*trace each test*",
        "  --morvex-format={protobuf,json}",
        "*trace format: protobuf*json*",
        "  --morvex-keep={all,failed}",
        "*keep the traces of all tests*",
        "  --morvex-include=PATTERN",
        "*record only code that matches*",
        "  --morvex-exclude=PATTERN",
        "*leave out code that matches*",
        "  --morvex-max-depth=N*record calls at most N frames deep*",
        "  --morvex-min-duration=DURATION",
        "*leave out calls shorter than DURATION*",
        "  --morvex-lossless*wait for the trace writers*",
        "  --morvex-compress*write the Perfetto traces deflated*",
        "  --morvex-c-calls*record calls of builtins*",
        "  --morvex-async-tasks*asyncio task's coroutine slices*",
        "  --morvex-slowest=N*name the N tests that took longest traced*",
    ])


# ---- what to record, as `morvex run` takes it -------------------------------

# Values `morvex run` refuses, and the option of each for both commands.
BAD_VALUES = [
    ("include", "app,a b"),
    ("include", "app,"),
    ("exclude", ":std"),
    ("exclude", "x" * 80 + " y"),
    ("max-depth", "0"),
    ("max-depth", "x"),
    ("max-depth", "4294967296"),
    ("max-depth", "+3"),
    ("max-depth", "9" * 5000),
    ("min-duration", "5 parsecs"),
    ("min-duration", "-1ms"),
]


def run_refusal(option, value, capsys):
    """Why `morvex run` refuses the value: its message without the option's name."""
    from morvex._core import cli_main

    capsys.readouterr()  # what came before
    assert cli_main(["morvex", "run", "-o", "t.pb", f"--{option}={value}", "x.py"]) == 2
    first = capsys.readouterr().err.splitlines()[0]
    # "error: invalid value 'V' for '--OPTION <X>': WHY", or for a duration
    # "error: WHY for '--min-duration <DURATION>'".
    m = (re.fullmatch(r"error: (.*) for '--min-duration <DURATION>'", first)
         or re.fullmatch(r"error: invalid value ('.*') for '--[a-z-]+ <[A-Z]+>'(: .*)", first))
    assert m, first
    return "".join(m.groups()) if option != "min-duration" else m.group(1)


def test_what_morvex_run_refuses_is_a_usage_error_in_its_words(pytester, capsys):
    for option, value in BAD_VALUES:
        why = run_refusal(option, value, capsys)
        result = run(pytester, "--morvex", "d", f"--morvex-{option}={value}")
        assert result.ret == pytest.ExitCode.USAGE_ERROR
        line = [w for w in result.errlines if "error: argument" in w]
        expected = f"argument --morvex-{option}: " + (
            why if option == "min-duration" else "invalid value " + why)
        assert line and line[0].endswith(expected), (line, expected)
        assert not (pytester.path / "d").exists()


FILTERED_APP = {
    "app/__init__.py": "",
    "app/core.py": "def compute(n):\n    return inner(n)\n\n\ndef inner(n):\n    return n\n",
    "app/vendor.py": "def noise():\n    return 0\n",
    "test_app.py": "from app import core, vendor\n\n\ndef test_app():\n"
                   "    vendor.noise()\n    assert core.compute(1) == 1\n",
    # Every Tracer the plugin makes for a test, with what it was given.
    "conftest.py": "import json, os, morvex\n"
                   "REAL = morvex.Tracer\n"
                   "def recording(output, *args, **kwargs):\n"
                   "    if output != os.devnull:  # not one that checks an option\n"
                   "        with open('tracers.jsonl', 'a') as f:\n"
                   "            f.write(json.dumps(kwargs) + '\\n')\n"
                   "    return REAL(output, *args, **kwargs)\n"
                   "morvex.Tracer = recording\n",
}


@pytest.fixture
def filtered_app(pytester):
    for name, text in FILTERED_APP.items():
        path = pytester.path / name
        path.parent.mkdir(exist_ok=True)
        path.write_text(text)
    return pytester


def test_filter_options_shape_each_trace_as_morvex_runs_do(filtered_app, fmt):
    result = run(filtered_app, "--morvex", "traces", "--morvex-format", fmt,
                 "--morvex-include", "app,test_app", "--morvex-exclude", "app.vendor",
                 "--morvex-max-depth", "2", "--morvex-min-duration=1ns", "--morvex-lossless")
    result.assert_outcomes(passed=1)
    (path,) = (filtered_app.path / "traces").iterdir()
    phases, functions = phase_spans(path, fmt)
    assert [p.name for p in phases] == ["setup", "call", "teardown"]
    # Depth counts from the first recorded frame: compute's callee is too deep.
    assert [(f.name.rsplit(".", 1)[-1], f.depth - phases[1].depth) for f in functions] == [
        ("test_app", 1), ("compute", 2)]
    (filters,) = tracefiles.read(path, fmt).filters.values()
    assert {k: filters[k] for k in ("include", "exclude", "max_depth", "min_duration_ns")} == {
        "include": "app,test_app", "exclude": "morvex.pytest_plugin,app.vendor",
        "max_depth": 2, "min_duration_ns": 1}
    made = (filtered_app.path / "tracers.jsonl").read_text().splitlines()
    assert [json.loads(line)["lossless"] for line in made] == [True]


def test_without_filter_options_tracers_are_made_as_before(filtered_app):
    result = run(filtered_app, "--morvex", "traces")
    result.assert_outcomes(passed=1)
    made = (filtered_app.path / "tracers.jsonl").read_text().splitlines()
    assert [json.loads(line) for line in made] == [{"exclude": ["morvex.pytest_plugin"]}]


def test_compress_writes_each_trace_in_bundles_that_read_as_before(filtered_app):
    result = run(filtered_app, "--morvex", "traces", "--morvex-compress", "--morvex-lossless")
    result.assert_outcomes(passed=1)
    (path,) = (filtered_app.path / "traces").iterdir()
    trace = pb.Trace()
    trace.ParseFromString(path.read_bytes())
    assert trace.packet and all(p.HasField("compressed_packets") for p in trace.packet)
    phases, functions = phase_spans(path, "protobuf")
    assert [p.name for p in phases] == ["setup", "call", "teardown"]
    assert "compute" in {f.name.rsplit(".", 1)[-1] for f in functions}
    made = (filtered_app.path / "tracers.jsonl").read_text().splitlines()
    assert [json.loads(line)["compress"] for line in made] == [True]


def test_c_calls_are_slices_of_each_trace(filtered_app):
    result = run(filtered_app, "--morvex", "traces", "--morvex-c-calls", "--morvex-lossless",
                 "--morvex-format", "json")
    result.assert_outcomes(passed=1)
    (path,) = (filtered_app.path / "traces").iterdir()
    assert "c_call" in {s.kind for evs in tracefiles.read(path, "json").events.values()
                        for s in evs}
    made = (filtered_app.path / "tracers.jsonl").read_text().splitlines()
    assert [json.loads(line)["c_calls"] for line in made] == [True]


def test_async_tasks_reaches_each_tests_tracer(filtered_app):
    result = run(filtered_app, "--morvex", "traces", "--morvex-async-tasks")
    result.assert_outcomes(passed=1)
    made = (filtered_app.path / "tracers.jsonl").read_text().splitlines()
    assert [json.loads(line).get("async_tasks") for line in made] == [True]


def test_a_long_minimum_leaves_every_call_out(filtered_app):
    result = run(filtered_app, "--morvex", "traces", "--morvex-min-duration", "3600s",
                 "--morvex-lossless")
    result.assert_outcomes(passed=1)
    (path,) = (filtered_app.path / "traces").iterdir()
    trace = tracefiles.read(path, "protobuf")
    # The phase spans too: a span is a slice like any other.
    assert not any(trace.events.values())
    (filters,) = trace.filters.values()
    assert filters["min_duration_ns"] == 3600 * 10**9 and filters["min_duration_events"] > 0


# ---- the slowest tests ----------------------------------------------------

# Each test's traced time is what its `takes` mark says: the plugin's clock
# is one that the test's call moves on by that much.
TIMED_CONFTEST = """
import pytest
import morvex.pytest_plugin

NOW = [0]
morvex.pytest_plugin.clock = lambda: NOW[0]


def pytest_configure(config):
    config.addinivalue_line("markers", "takes(seconds): the traced time of the test")


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_call(item):
    NOW[0] += int(item.get_closest_marker("takes").args[0] * 1e9)
"""

TIMED_SUITE = """
import pytest


@pytest.mark.takes(0.25)
def test_quick():
    pass


@pytest.mark.takes(3.5)
def test_slowest():
    pass


@pytest.mark.takes(2.0)
def test_slow_and_failing():
    assert False


@pytest.mark.takes(0.5)
@pytest.mark.parametrize("n", range(4))
def test_middling(n):
    pass


@pytest.mark.takes(1.25)
def test_slow():
    pass
"""


@pytest.fixture
def timed(pytester):
    pytester.makeconftest(TIMED_CONFTEST)
    pytester.makepyfile(test_timed=TIMED_SUITE)
    return pytester


def slowest_section(result):
    """The lines of the closing section that names the slowest tests."""
    lines = result.outlines
    starts = [i for i, line in enumerate(lines) if " morvex: slowest " in line]
    if not starts:
        return None
    end = next(i for i in range(starts[0] + 1, len(lines)) if lines[i].startswith("morvex: "))
    return [lines[starts[0]].strip("= ")] + lines[starts[0] + 1:end]


def named(seconds, test, directory="traces"):
    from morvex.pytest_plugin import trace_file_name

    nodeid = f"test_timed.py::{test}"
    return f"{seconds} {nodeid}  {directory}/{trace_file_name(nodeid, '.pftrace')}"


@pytest.mark.parametrize("args,expected", [
    ([], ["morvex: slowest 5 traced tests", named("3.50s", "test_slowest"),
          named("2.00s", "test_slow_and_failing"), named("1.25s", "test_slow"),
          named("0.50s", "test_middling[0]"), named("0.50s", "test_middling[1]")]),
    (["--morvex-slowest", "2"], ["morvex: slowest 2 traced tests", named("3.50s", "test_slowest"),
                                 named("2.00s", "test_slow_and_failing")]),
    # Deleted traces are not named.
    (["--morvex-keep", "failed"], ["morvex: slowest 1 traced test",
                                   named("2.00s", "test_slow_and_failing")]),
    (["--morvex-slowest", "0"], None),
])
def test_the_summary_names_the_slowest_traced_tests_and_their_traces(timed, args, expected):
    result = run(timed, "--morvex", "traces", *args)
    result.assert_outcomes(passed=7, failed=1)
    assert slowest_section(result) == expected
    for line in expected or []:
        if not line.startswith("morvex:"):
            assert (timed.path / line.split("  ")[-1]).is_file()


def test_the_slowest_traces_outside_the_run_directory_are_named_in_full(timed, tmp_path):
    directory = tmp_path / "elsewhere"
    result = run(timed, "--morvex", str(directory), "--morvex-slowest", "1")
    assert slowest_section(result) == ["morvex: slowest 1 traced test",
                                       named("3.50s", "test_slowest", str(directory))]


def test_xdist_workers_slowest_tests_are_ranked_together(timed):
    pytest.importorskip("xdist")
    result = run(timed, "--morvex", "traces", "-n", "2", "--morvex-slowest", "3")
    result.assert_outcomes(passed=7, failed=1)
    assert slowest_section(result) == [
        "morvex: slowest 3 traced tests", named("3.50s", "test_slowest"),
        named("2.00s", "test_slow_and_failing"), named("1.25s", "test_slow")]


def test_coverage_on_sys_monitoring_runs_alongside(suite, monkeypatch):
    pytest.importorskip("pytest_cov")
    monkeypatch.setenv("COVERAGE_CORE", "sysmon")
    suite.makepyfile(test_coverage="""
        import sys

        def test_coverage_holds_its_slot():
            assert sys.monitoring.get_tool(sys.monitoring.COVERAGE_ID) == "coverage.py"
    """)
    result = run(suite, "--morvex", "traces", "--cov", str(suite.path), "--cov-report", "term",
                 "-k", "test_passes or coverage")
    result.assert_outcomes(passed=2)
    result.stdout.fnmatch_lines(["test_coverage.py * 100%"])
    directory = suite.path / "traces"
    assert sorted(traces_by_test(directory, "protobuf")) == [
        "test_coverage.py::test_coverage_holds_its_slot", "test_suite.py::test_passes"]


def test_xdist_workers_trace_their_tests_and_the_controller_counts_them(suite):
    pytest.importorskip("xdist")
    result = run(suite, "--morvex", "traces", "--morvex-keep", "failed", "-n", "2")
    result.assert_outcomes(**OUTCOMES)
    directory = suite.path / "traces"
    assert set(traces_by_test(directory, "protobuf")) == FAILED
    assert morvex_lines(result) == [
        f"morvex: 3 traces in {directory} (failed tests only; {len(NODEIDS) - 3} of passed or "
        "skipped tests deleted)"]


# A test that outruns the writers: it holds its own trace's lock, which they
# take for every write, while three threads run hot (see test_loss_said.py).
LOSSY_SUITE = '''
import fcntl, os, threading

from morvex.pytest_plugin import EXTENSIONS, trace_file_name


def leaf(x):
    return x


def hot():
    for i in range(400_000):
        leaf(i)


def test_outruns_the_writers(request):
    plugin = request.config.pluginmanager.get_plugin("morvex-per-test")
    path = plugin.directory / trace_file_name(request.node.nodeid, EXTENSIONS[plugin.format])
    fd = os.open(path, os.O_WRONLY)
    fcntl.flock(fd, fcntl.LOCK_EX)
    try:
        threads = [threading.Thread(target=hot) for _ in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        fcntl.flock(fd, fcntl.LOCK_UN)
        os.close(fd)


def test_quiet():
    leaf(1)
'''


@pytest.mark.parametrize("xdist", [False, True])
def test_the_closing_line_counts_the_traces_that_lost_events(pytester, xdist):
    if xdist:
        pytest.importorskip("xdist")
    pytester.makepyfile(test_lossy=LOSSY_SUITE)
    result = run(pytester, "--morvex", "traces", *(["-n", "2"] if xdist else []))
    result.assert_outcomes(passed=2)
    directory = pytester.path / "traces"
    assert morvex_lines(result) == [
        f"morvex: 2 traces in {directory}; 1 of them lost events (the writers fell behind; "
        "lossless mode keeps every event)"]
    lossy = directory / next(p for p in os.listdir(directory) if "outruns" in p)
    assert sum(tracefiles.read(lossy, "protobuf").dropped.values()) > 0
