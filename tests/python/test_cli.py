"""The command line: `cli_main` called in-process, and the `morvex` console
script and `python -m morvex` run as real processes.

Traced programs are written into the test's directory. Each reports what it
saw (its __name__, sys.argv, sys.path[0]) into report.json beside itself, so
the same programs serve in-process and in subprocesses.
"""

import json
import os
import re
import sys
import types
import uuid
from pathlib import Path

import pytest

import morvex
import tracefiles
from morvex._core import Tracer, cli_main

from conftest import CHILD_VARIABLES as CHILD_VARS
from conftest import run

ABOUT = "Trace a Python script with sys.monitoring; emit Perfetto-compatible output."
RUN_ABOUT = "Run a script under the tracer"
MODULE_HELP = ("Run a library module as a script, like `python -m`. Every following argument "
               "belongs to the module")
TOP_HELP = [ABOUT, "<COMMAND>", "run", RUN_ABOUT, "help", "-h, --help"]
RUN_HELP = [
    RUN_ABOUT,
    "-o, --output <OUTPUT>", "Output file path",
    "-f, --format <FORMAT>", "Output format", "[default: protobuf]",
    "[possible values: json, protobuf]",
    "-m, --module <MODULE>...", MODULE_HELP,
    "<SCRIPT>", "Python script to run",
    "[SCRIPT_ARGS]...", "Arguments forwarded to the script",
    "-h, --help",
]

# A traced program. `{ending}` is its last statement.
PROGRAM = """\
import json, os, sys
from pathlib import Path

def traced_function(n):
    return n if n < 2 else traced_function(n - 1) + traced_function(n - 2)

def last_call():
    return 0

def failing():
    raise ValueError("boom")

traced_function(5)
Path(__file__).with_name("report.json").write_text(json.dumps(
    {{"name": __name__, "argv": sys.argv, "path0": sys.path[0]}}))
probe = sys.modules.get("cli_probe")
if probe is not None:
    probe.argv_lists.append(sys.argv)
last_call()
{ending}
"""

# traced_function(5) makes this many calls.
FIB5_CALLS = 15


def write_program(path, ending="pass"):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(PROGRAM.format(ending=ending))
    return path


def report(directory):
    return json.loads((Path(directory) / "report.json").read_text())


def begun(trace, name):
    return trace.names().count(name)


def trace_of(path, fmt):
    trace = tracefiles.read(path, fmt)
    for events in trace.events.values():
        tracefiles.assert_nested(events)
    return trace


@pytest.fixture
def in_tmp(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.fixture
def unchanged_sys():
    """The caller's sys.argv object and sys.path come back after every call."""
    argv, argv_copy, path = sys.argv, list(sys.argv), list(sys.path)
    yield
    assert sys.argv is argv
    assert sys.argv == argv_copy
    assert sys.path == path


@pytest.fixture
def probe(monkeypatch):
    """Lets an in-process program hand over the very sys.argv list it saw."""
    p = types.SimpleNamespace(argv_lists=[])
    monkeypatch.setitem(sys.modules, "cli_probe", p)
    return p


# ---- help and usage ------------------------------------------------------


@pytest.mark.parametrize("argv", [["morvex"], ["/usr/local/bin/morvex"], []])
def test_nothing_after_the_program_name_shows_help_on_stderr(capsys, unchanged_sys, argv):
    assert cli_main(argv) == 2
    out, err = capsys.readouterr()
    assert out == ""
    assert "Usage: morvex <COMMAND>" in err
    for text in TOP_HELP:
        assert text in err


@pytest.mark.parametrize("tail,expected", [
    (["--help"], TOP_HELP),
    (["-h"], TOP_HELP),
    (["help"], TOP_HELP),
    (["help", "run"], RUN_HELP),
    (["run", "--help"], RUN_HELP),
    (["run", "-h"], RUN_HELP),
    (["run", "-o", "t.pb", "-f", "json", "--help"], RUN_HELP),
    (["run", "-o", "t.pb", "app.py", "-h"], RUN_HELP),
    (["help", "help"], ["Print this message or the help of the given subcommand(s)"]),
])
def test_requested_help_goes_to_stdout(capsys, in_tmp, unchanged_sys, tail, expected):
    assert cli_main(["morvex", *tail]) == 0
    out, err = capsys.readouterr()
    assert err == ""
    for text in expected:
        assert text in out
    assert not (in_tmp / "t.pb").exists()


@pytest.mark.parametrize("launcher", ["morvex", "python -m morvex"])
@pytest.mark.parametrize("flag", ["--version", "-V"])
def test_version_is_the_packages_on_stdout_with_status_0(tmp_path, launcher, flag):
    # One version for the command, the module and the installed package.
    import importlib.metadata
    r = run(launcher_command(launcher) + [flag], tmp_path)
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout == f"morvex {morvex.__version__}\n"
    assert morvex.__version__ == importlib.metadata.version("morvex")
    assert re.fullmatch(r"\d+\.\d+\.\d+\S*", morvex.__version__)


def test_top_help_and_run_help_differ(capsys):
    cli_main(["morvex", "--help"])
    top = capsys.readouterr().out
    cli_main(["morvex", "help", "run"])
    run_help = capsys.readouterr().out
    assert ABOUT in top and ABOUT not in run_help
    assert "--output" in run_help and "--output" not in top


@pytest.mark.parametrize("tail,fragments", [
    (["run", "app.py"], ["required", "--output <OUTPUT>"]),
    (["run", "-o", "t.pb"], ["required", "<SCRIPT|--module <MODULE>...>"]),
    (["run"], ["--output <OUTPUT>", "<SCRIPT|--module <MODULE>...>"]),
    (["run", "-o", "t.pb", "-f", "JSON", "app.py"],
     ["invalid value 'JSON'", "--format <FORMAT>", "json, protobuf", "similar value exists: 'json'"]),
    (["run", "-o", "t.pb", "-f", "pb", "app.py"], ["invalid value 'pb'", "json, protobuf"]),
    (["run", "-o", "t.pb", "--format=", "app.py"], ["invalid value ''"]),
    (["run", "-o", "t.pb", "--outptu", "x", "app.py"],
     ["unexpected argument '--outptu'", "similar argument exists: '--output'"]),
    (["run", "-o", "t.pb", "-x", "app.py"], ["unexpected argument '-x'", "'-- -x'"]),
    (["run", "-o", "t.pb", "-m"], ["a value is required for '--module <MODULE>...'"]),
    (["run", "-o"], ["a value is required for '--output <OUTPUT>'"]),
    (["run", "-o", "-f", "json", "app.py"], ["a value is required for '--output <OUTPUT>'"]),
    (["run", "-o", "t.pb", "app.py", "-m", "json.tool"], ["'--module <MODULE>...' cannot be used"]),
    (["run", "-o", "t.pb", "app.py", "--module=json.tool"], ["cannot be used with '<SCRIPT>'"]),
    (["run", "-o", "a.pb", "--output", "b.pb", "app.py"], ["'--output <OUTPUT>' cannot be used multiple times"]),
    (["run", "-f", "json", "-o", "t.pb", "-f", "json", "app.py"], ["'--format <FORMAT>' cannot be used multiple"]),
    (["run", "--help=yes"], ["unexpected value 'yes' for '--help'"]),
    (["rn", "-o", "t.pb", "app.py"], ["unrecognized subcommand 'rn'", "similar subcommand exists: 'run'"]),
    (["app.py"], ["unrecognized subcommand 'app.py'"]),
    (["--versoin"], ["unexpected argument '--versoin'", "similar argument exists: '--version'"]),
    (["-v"], ["unexpected argument '-v'"]),
    (["--"], ["a subcommand is required"]),
    (["help", "nope"], ["unrecognized subcommand 'nope'"]),
])
def test_usage_errors_go_to_stderr_and_run_nothing(capsys, in_tmp, unchanged_sys, tail, fragments):
    write_program(in_tmp / "app.py")
    assert cli_main(["morvex", *tail]) == 2
    out, err = capsys.readouterr()
    assert out == ""
    assert err.startswith("error: ")
    for text in fragments:
        assert text in err
    assert "Usage: morvex" in err
    assert "--help'" in err
    assert sorted(p.name for p in in_tmp.iterdir()) == ["app.py"]


@pytest.mark.parametrize("argv0,name", [
    ("/usr/local/bin/morvex-dev", "morvex-dev"),
    ("relative/dir/tracer", "tracer"),
    ("tracer", "tracer"),
    ("/trailing/slash/", "slash"),
    ("python3 -m morvex", "python3 -m morvex"),
    ("", "morvex"),
])
def test_program_name_is_the_last_path_component(capsys, argv0, name):
    assert cli_main([argv0, "--help"]) == 0
    assert f"Usage: {name} <COMMAND>" in capsys.readouterr().out
    assert cli_main([argv0, "run"]) == 2
    err = capsys.readouterr().err
    assert f"Usage: {name} run " in err
    assert f"try '{name} run --help'" in err


@pytest.mark.parametrize("call,fragment", [
    (lambda: cli_main("morvex run -o t.pb app.py"), "Can't extract `str` to `Vec`"),
    (lambda: cli_main(["morvex", 1]), "'int' object"),
    (lambda: cli_main(["morvex", b"run"]), "'bytes' object"),
    (lambda: cli_main(42), "'int' object"),
    (lambda: cli_main(None), "'NoneType' object"),
    (lambda: cli_main(), "missing 1 required positional argument: 'argv'"),
    (lambda: cli_main(["morvex"], ["morvex"]), "takes 1 positional argument"),
    (lambda: cli_main(["morvex"], argv=["morvex"]), "multiple values for argument 'argv'"),
    (lambda: cli_main(args=["morvex"]), "unexpected keyword argument 'args'"),
])
def test_argv_must_be_a_sequence_of_str(capsys, unchanged_sys, call, fragment):
    with pytest.raises(TypeError) as e:
        call()
    assert fragment in str(e.value)
    assert capsys.readouterr() == ("", "")


@pytest.mark.parametrize("argv", [
    ("morvex", "--help"),
    ["morvex", "--help"],
])
def test_any_sequence_of_str_and_the_keyword_form_are_accepted(capsys, argv):
    assert cli_main(argv) == 0
    assert cli_main(argv=argv) == 0
    assert capsys.readouterr().out.count(ABOUT) == 2


# ---- runs ----------------------------------------------------------------


@pytest.mark.parametrize("tail,expected_argv", [
    (["app.py"], ["app.py"]),
    (["app.py", "--verbose", "-x", "1"], ["app.py", "--verbose", "-x", "1"]),
    # From the script's first argument on, everything is the script's.
    (["app.py", "x", "-o", "y", "-m", "z", "--help", "-f", "JSON"],
     ["app.py", "x", "-o", "y", "-m", "z", "--help", "-f", "JSON"]),
    # Right after the script only whole option words are ours.
    (["app.py", "-fast", "-oops"], ["app.py", "-fast", "-oops"]),
    (["app.py", "--formats", "-"], ["app.py", "--formats", "-"]),
    (["app.py", "--", "-m", "x"], ["app.py", "-m", "x"]),
    (["--", "app.py", "-m", "--"], ["app.py", "-m", "--"]),
    (["app.py", "\udcff\udcfe", "é"], ["app.py", "\udcff\udcfe", "é"]),
    (["--", "-dash.py", "-h"], ["-dash.py", "-h"]),
])
def test_the_script_sees_its_own_argv(in_tmp, unchanged_sys, tail, expected_argv):
    script = expected_argv[0]
    write_program(in_tmp / script)
    assert cli_main(["morvex", "run", "-o", "t.json", "-f", "json", *tail]) == 0
    seen = report(in_tmp)
    assert seen["argv"] == expected_argv
    assert seen["name"] == "__main__"
    assert begun(trace_of(in_tmp / "t.json", "json"), "traced_function") == FIB5_CALLS
    for var in CHILD_VARS:
        assert var not in os.environ


def test_options_between_the_script_and_its_arguments_are_ours(in_tmp, unchanged_sys):
    write_program(in_tmp / "app.py")
    assert cli_main(["morvex", "run", "app.py", "-o", "t.json", "--format=json", "a"]) == 0
    assert report(in_tmp)["argv"] == ["app.py", "a"]
    assert begun(trace_of(in_tmp / "t.json", "json"), "traced_function") == FIB5_CALLS


def test_a_module_gets_every_argument_after_m(in_tmp, unchanged_sys, probe):
    # A fresh package name: runpy leaves the package imported.
    pkg = "clipkg_" + uuid.uuid4().hex
    write_program(in_tmp / pkg / "tool.py")
    (in_tmp / pkg / "__init__.py").write_text("")
    try:
        # The working directory is searched first, as by `python -m`.
        assert cli_main(["morvex", "run", "-o", "t.pb", "-m", f"{pkg}.tool", "-v", "--output",
                         "x"]) == 0
    finally:
        for name in [m for m in sys.modules if m.startswith(pkg)]:
            del sys.modules[name]
    seen = report(in_tmp / pkg)
    assert seen["name"] == "__main__"
    # runpy puts the module's file in place of its name while it runs...
    assert seen["argv"] == [str(in_tmp / pkg / "tool.py"), "-v", "--output", "x"]
    assert seen["path0"] == str(in_tmp)
    # ...and puts the name back into the list that was handed to it.
    (argv_list,) = probe.argv_lists
    assert argv_list == [f"{pkg}.tool", "-v", "--output", "x"]
    assert not (in_tmp / "x").exists()
    assert begun(trace_of(in_tmp / "t.pb", "protobuf"), "traced_function") == FIB5_CALLS


def test_a_module_runs_from_a_working_directory_that_is_gone(tmp_path, monkeypatch):
    pkg = "clipkg_" + uuid.uuid4().hex
    write_program(tmp_path / "lib" / pkg / "tool.py")
    (tmp_path / "lib" / pkg / "__init__.py").write_text("")
    monkeypatch.syspath_prepend(str(tmp_path / "lib"))
    gone = tmp_path / "gone"
    gone.mkdir()
    monkeypatch.chdir(gone)
    gone.rmdir()
    path = list(sys.path)
    try:
        assert cli_main(["morvex", "run", "-o", str(tmp_path / "t.pb"), "-m", f"{pkg}.tool"]) == 0
    finally:
        for name in [m for m in sys.modules if m.startswith(pkg)]:
            del sys.modules[name]
    assert sys.path == path
    assert report(tmp_path / "lib" / pkg)["name"] == "__main__"


def test_the_scripts_directory_is_searched_first(in_tmp, unchanged_sys):
    sub = in_tmp / "sub"
    write_program(sub / "app.py", ending="import sibling; assert sibling.VALUE == 7")
    (sub / "sibling.py").write_text("VALUE = 7\n")
    assert cli_main(["morvex", "run", "-o", "t.pb", "sub/app.py"]) == 0
    assert report(sub)["path0"] == str(sub)
    sys.modules.pop("sibling", None)


@pytest.mark.parametrize("fmt_args,fmt", [
    ([], "protobuf"),
    (["-f", "protobuf"], "protobuf"),
    (["--format", "json"], "json"),
    (["-f", "json"], "json"),
    (["--format=json"], "json"),
    (["-fjson"], "json"),
    (["-f=json"], "json"),
])
def test_format_choice(in_tmp, fmt_args, fmt):
    write_program(in_tmp / "app.py")
    assert cli_main(["morvex", "run", "-o", "t", *fmt_args, "app.py"]) == 0
    data = (in_tmp / "t").read_bytes()
    assert data.startswith(b"[") == (fmt == "json")
    assert begun(trace_of(in_tmp / "t", fmt), "traced_function") == FIB5_CALLS


@pytest.mark.parametrize("ending,raised,code", [
    ("pass", None, None),
    ("sys.argv = ['replaced']; sys.argv.append('more')", None, None),
    ("sys.exit()", SystemExit, None),
    ("sys.exit(0)", SystemExit, 0),
    ("sys.exit(3)", SystemExit, 3),
    ("sys.exit('bye')", SystemExit, "bye"),
    ("failing()", ValueError, None),
])
@pytest.mark.parametrize("fmt", ["json", "protobuf"])
def test_the_programs_outcome_comes_after_a_finished_trace(in_tmp, unchanged_sys, ending, raised,
                                                           code, fmt):
    write_program(in_tmp / "app.py", ending)
    argv = ["morvex", "run", "-o", "t", "-f", fmt, "app.py"]
    if raised is None:
        assert cli_main(argv) == 0
    else:
        with pytest.raises(raised) as e:
            cli_main(argv)
        if raised is SystemExit:
            assert e.value.code == code
    for var in CHILD_VARS:
        assert var not in os.environ
    # The program's last call was recorded, so the final flush happened.
    trace = trace_of(in_tmp / "t", fmt)
    assert begun(trace, "last_call") == 1
    if fmt == "json":
        kinds = [s.kind for evs in trace.events.values() for s in evs if s.name == "failing"]
        assert kinds == (["start", "unwind"] if raised is ValueError else [])


def test_a_missing_script_is_raised_after_the_trace_is_finished(in_tmp, unchanged_sys):
    with pytest.raises(FileNotFoundError) as e:
        cli_main(["morvex", "run", "-o", "t.json", "-f", "json", "missing.py"])
    assert "missing.py" in str(e.value)
    trace_of(in_tmp / "t.json", "json")


def test_an_output_that_cannot_be_opened_is_raised_and_nothing_runs(in_tmp, unchanged_sys):
    write_program(in_tmp / "app.py")
    try:
        with pytest.raises(FileNotFoundError) as e:
            cli_main(["morvex", "run", "-o", str(in_tmp / "no" / "dir" / "t.pb"), "app.py"])
        assert "No such file or directory" in str(e.value)
        assert e.value.filename == str(in_tmp / "no" / "dir" / "t.pb")
        assert not (in_tmp / "report.json").exists()
    finally:
        # A start that fails after exporting the child variables leaves them set.
        for var in CHILD_VARS:
            os.environ.pop(var, None)


def test_an_output_with_a_null_byte_is_refused_as_tracer_refuses_it(in_tmp, unchanged_sys):
    write_program(in_tmp / "app.py")
    with pytest.raises(ValueError, match="^argument 'output' contains a null byte$"):
        cli_main(["morvex", "run", "-o", "t\0.pb", "app.py"])
    with pytest.raises(ValueError, match="^argument 'output' contains a null byte$"):
        Tracer("t\0.pb")
    assert not (in_tmp / "report.json").exists()
    assert not any(var in os.environ for var in CHILD_VARS)


def test_a_taken_profiler_slot_is_raised_and_nothing_runs(in_tmp, unchanged_sys):
    write_program(in_tmp / "app.py")
    sys.monitoring.use_tool_id(sys.monitoring.PROFILER_ID, "someone else")
    try:
        with pytest.raises(ValueError, match='already in use \\(held by "someone else"\\)$'):
            cli_main(["morvex", "run", "-o", "t.pb", "app.py"])
    finally:
        sys.monitoring.free_tool_id(sys.monitoring.PROFILER_ID)
    assert not (in_tmp / "report.json").exists()


@pytest.mark.parametrize("ending", ["pass", "sys.exit(0)", "failing()"])
def test_a_trace_that_cannot_be_finished_outranks_the_programs_outcome(in_tmp, unchanged_sys,
                                                                       ending):
    assert os.path.exists("/dev/full")
    write_program(in_tmp / "app.py", ending)
    with pytest.raises(OSError) as e:
        cli_main(["morvex", "run", "-o", "/dev/full", "app.py"])
    assert "No space left on device" in str(e.value)
    assert report(in_tmp)["argv"] == ["app.py"]
    expected_context = {"pass": type(None), "sys.exit(0)": SystemExit, "failing()": ValueError}
    assert type(e.value.__context__) is expected_context[ending]


# ---- the launchers -------------------------------------------------------


def launcher_command(launcher):
    if launcher == "morvex":
        exe = Path(sys.executable).parent / "morvex"
        assert exe.is_file(), f"the console script is not installed beside {sys.executable}"
        return [str(exe)]
    return [sys.executable, "-m", "morvex"]


def launcher_name(launcher):
    return "morvex" if launcher == "morvex" else f"{Path(sys.executable).name} -m morvex"


LAUNCHERS = ["morvex", "python -m morvex"]


@pytest.mark.parametrize("launcher", LAUNCHERS)
@pytest.mark.parametrize("tail,code,expected", [
    ([], 2, TOP_HELP),
    (["--help"], 0, TOP_HELP),
    (["help", "run"], 0, RUN_HELP),
    (["run", "--help"], 0, RUN_HELP),
    (["run", "app.py"], 2, ["error: ", "--output <OUTPUT>"]),
    (["run", "-o", "t.pb", "-f", "JSON", "app.py"], 2, ["error: ", "invalid value 'JSON'"]),
])
def test_launcher_streams_and_status_for_help_and_usage(tmp_path, launcher, tail, code, expected):
    write_program(tmp_path / "app.py")
    r = run(launcher_command(launcher) + tail, tmp_path)
    assert r.returncode == code, r.stderr
    shown, other = (r.stdout, r.stderr) if code == 0 else (r.stderr, r.stdout)
    assert other == ""
    for text in expected:
        assert text in shown
    assert f"Usage: {launcher_name(launcher)}" in shown
    assert sorted(p.name for p in tmp_path.iterdir()) == ["app.py"]


@pytest.mark.parametrize("launcher", LAUNCHERS)
@pytest.mark.parametrize("ending", [
    "pass",
    "sys.exit()",
    "sys.exit(0)",
    "sys.exit(3)",
    "sys.exit(True)",
    "sys.exit('bye')",
    "sys.exit([1, 2])",
    "failing()",
])
def test_launcher_status_is_what_python_gives_the_script(tmp_path, launcher, ending):
    write_program(tmp_path / "app.py", ending)
    plain = run([sys.executable, "app.py"], tmp_path)
    traced = run(launcher_command(launcher) + ["run", "-o", "t.pb", "app.py"], tmp_path)
    assert traced.returncode == plain.returncode, traced.stderr
    assert traced.stdout == plain.stdout
    assert traced.stderr.splitlines()[-1:] == plain.stderr.splitlines()[-1:]
    assert begun(trace_of(tmp_path / "t.pb", "protobuf"), "last_call") == 1


@pytest.mark.parametrize("launcher", LAUNCHERS)
def test_launcher_runs_a_script_with_its_arguments_as_json(tmp_path, launcher):
    write_program(tmp_path / "app.py")
    r = run(launcher_command(launcher) +
                    ["run", "-o", "t.json", "-f", "json", "app.py", "--verbose", "-x", "1"], tmp_path)
    assert r.returncode == 0, r.stderr
    assert report(tmp_path)["argv"] == ["app.py", "--verbose", "-x", "1"]
    assert begun(trace_of(tmp_path / "t.json", "json"), "traced_function") == FIB5_CALLS


@pytest.mark.parametrize("launcher", LAUNCHERS)
def test_launcher_runs_a_module_with_arguments_that_look_like_ours(tmp_path, launcher):
    write_program(tmp_path / "pkg" / "tool.py", ending="print('module ran')")
    (tmp_path / "pkg" / "__init__.py").write_text("")
    r = run(launcher_command(launcher) +
                    ["run", "-o", "t.pb", "-m", "pkg.tool", "-v", "--output", "x", "-h"], tmp_path)
    assert r.returncode == 0, r.stderr
    assert r.stdout == "module ran\n"
    seen = report(tmp_path / "pkg")
    assert seen["argv"] == [str(tmp_path / "pkg" / "tool.py"), "-v", "--output", "x", "-h"]
    assert seen["name"] == "__main__"
    assert not (tmp_path / "x").exists()
    assert begun(trace_of(tmp_path / "t.pb", "protobuf"), "traced_function") == FIB5_CALLS


@pytest.mark.parametrize("launcher", LAUNCHERS)
@pytest.mark.parametrize("target, start, end", [
    (["missing.py"], "cannot run script: [Errno 2] No such file or directory: '", "missing.py'"),
    (["."], "cannot run script: can't find '__main__' module in '", "'"),
    (["-m", "no_such_module"], "cannot run module: No module named no_such_module", ""),
])
def test_launcher_reports_a_program_that_cannot_be_run_in_one_line(tmp_path, launcher, target,
                                                                   start, end):
    r = run(launcher_command(launcher) + ["run", "-o", "t.pb", *target], tmp_path)
    assert r.returncode == 1
    assert r.stderr.startswith("morvex: error: " + start)
    assert r.stderr.endswith(end + "\n") and r.stderr.count("\n") == 1
    trace_of(tmp_path / "t.pb", "protobuf")


@pytest.mark.parametrize("launcher", LAUNCHERS)
def test_launcher_keeps_the_programs_own_import_errors(tmp_path, launcher):
    # Raised by the program's code, not by the search for it: python's traceback.
    (tmp_path / "app.py").write_text("import no_such_module\n")
    r = run(launcher_command(launcher) + ["run", "-o", "t.pb", "app.py"], tmp_path)
    assert r.returncode == 1
    assert 'app.py", line 1, in <module>' in r.stderr
    assert r.stderr.endswith("ModuleNotFoundError: No module named 'no_such_module'\n")


@pytest.mark.parametrize("launcher", LAUNCHERS)
def test_launcher_reports_an_output_that_cannot_be_opened(tmp_path, launcher):
    write_program(tmp_path / "app.py")
    r = run(launcher_command(launcher) + ["run", "-o", "no/dir/t.pb", "app.py"], tmp_path)
    assert r.returncode == 1
    # One line naming the path, not a traceback of morvex's own entry point.
    assert r.stderr == ("morvex: error: cannot open trace file 'no/dir/t.pb': "
                        "No such file or directory (os error 2)\n")
    assert not (tmp_path / "report.json").exists()


@pytest.mark.parametrize("ending,status,shown", [
    ("pass", 1, None),
    ("sys.exit(0)", 1, None),
    ("sys.exit('bye')", 1, "bye\n"),
    ("failing()", 1, "ValueError: boom"),
])
def test_launcher_reports_a_trace_that_cannot_be_finished(tmp_path, ending, status, shown):
    write_program(tmp_path / "app.py", ending)
    r = run(launcher_command("morvex") + ["run", "-o", "/dev/full", "app.py"], tmp_path)
    assert r.returncode == status
    lines = r.stderr.splitlines()
    assert lines[-1] == ("morvex: error: the trace could not be finished: "
                         "No space left on device (os error 28)")
    # The program's own traceback, if any, comes first, as python prints it.
    if shown is None:
        assert len(lines) == 1
    else:
        assert shown.strip() in r.stderr.split("morvex: error")[0]
        assert "Traceback" in r.stderr or shown == "bye\n"


def test_the_example_traces_threads_generators_and_exceptions(tmp_path):
    demo = Path(__file__).resolve().parents[2] / "examples" / "demo.py"
    r = run(launcher_command("morvex") + ["run", "-o", "t.json", "-f", "json", str(demo)],
                    tmp_path)
    assert r.returncode == 0, r.stderr
    trace = trace_of(tmp_path / "t.json", "json")
    assert {"parser-0", "parser-1", "parser-2"} <= set(trace.thread_names.values())
    kinds = {s.kind for evs in trace.events.values() for s in evs}
    assert kinds == {"start", "return", "yield", "resume", "unwind", "throw"}
    assert "running_average" in trace.names()
