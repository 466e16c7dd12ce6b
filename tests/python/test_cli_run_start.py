"""Under `morvex run` the trace starts at the program: the main thread's first
slice is the script's (or module's) `<module>`, nothing of runpy or of
morvex's own preparation is recorded, --max-depth counts from `<module>`,
processes the program starts begin at their own code, and an uncaught
exception shows the frames `python` shows."""

import inspect
import json
import pkgutil
import re
import runpy
import sys
import textwrap
import zipfile

import pytest

import morvex._launch
import tracefiles
from conftest import MORVEX, write_script
from conftest import run as run_command
from test_cli import LAUNCHERS, launcher_command

# What the program reports (as python runs it too), then its own work.
PROGRAM = """\
import json, sys

def work():
    return sum(range(10))

work()
main = sys.modules["__main__"]
print(json.dumps({"argv": sys.argv, "path0": sys.path[0], "name": __name__, "file": __file__,
                  "found_as": __spec__ and __spec__.name, "main": main.__dict__ is globals(),
                  "builtins": type(__builtins__).__name__}))
"""


def launcher_names():
    """Every function and method of runpy, pkgutil and morvex's preparation."""
    names = set()
    for module in (runpy, pkgutil, morvex._launch):
        for obj in vars(module).values():
            if getattr(obj, "__module__", None) != module.__name__:
                continue
            if inspect.isfunction(obj):
                names.add(obj.__qualname__)
            elif inspect.isclass(obj):
                names.update(m.__qualname__ for m in vars(obj).values() if inspect.isfunction(m))
    assert {"run_path", "_run_code", "get_importer", "prepare"} <= names
    return names


LAUNCHER = launcher_names()


def make_target(tmp_path, kind, text=PROGRAM):
    """Writes the program as `kind` runs it; the command-line words that run it."""
    if kind == "script":
        write_script(tmp_path / "app.py", text)
        return ["app.py"]
    if kind in ("module", "package"):
        (tmp_path / "pkg").mkdir()
        (tmp_path / "pkg" / "__init__.py").write_text("")
        write_script(tmp_path / "pkg" / ("tool.py" if kind == "module" else "__main__.py"), text)
        return ["-m", "pkg.tool" if kind == "module" else "pkg"]
    if kind == "directory":
        (tmp_path / "appdir").mkdir()
        write_script(tmp_path / "appdir" / "__main__.py", text)
        return ["appdir"]
    assert kind == "zip"
    with zipfile.ZipFile(tmp_path / "app.zip", "w") as z:
        z.writestr("__main__.py", textwrap.dedent(text))
    return ["app.zip"]


KINDS = ["script", "module", "package", "directory", "zip"]


def traced_run(tmp_path, target, *options, expect=0):
    r = run_command(MORVEX + ["run", "-o", "t.json", "-f", "json", "--lossless", *options,
                              *target], cwd=tmp_path)
    assert r.returncode == expect, r.stderr
    t = tracefiles.read(tmp_path / "t.json", "json")
    for evs in t.events.values():
        tracefiles.assert_time_ordered(evs)
    return r, t


def main_spans(t, pid):
    return tracefiles.spans(t.events[(pid, pid)])


@pytest.mark.parametrize("kind", KINDS)
def test_the_trace_starts_at_the_programs_module(tmp_path, kind):
    r, t = traced_run(tmp_path, make_target(tmp_path, kind))
    (pid,) = t.pids
    tracefiles.assert_nested(t.events[(pid, pid)])
    spans = main_spans(t, pid)
    assert spans[0].name == "<module>"
    # Everything the main thread recorded happened inside the program.
    assert [s.name for s in spans if s.depth == 0] == ["<module>"]
    assert [s.depth for s in spans if s.name == "work"] == [1]
    assert LAUNCHER.isdisjoint(t.names())


@pytest.mark.parametrize("kind", KINDS)
def test_the_program_sees_what_python_shows_it(tmp_path, kind):
    target = make_target(tmp_path, kind)
    plain = run_command([sys.executable, *target], cwd=tmp_path)
    assert plain.returncode == 0, plain.stderr
    r, _ = traced_run(tmp_path, target)
    assert json.loads(r.stdout) == json.loads(plain.stdout)
    assert json.loads(r.stdout)["main"]


@pytest.mark.parametrize("target", [["app.py"], ["-m", "app"]], ids=["script", "module"])
def test_max_depth_counts_from_the_programs_module(tmp_path, target):
    write_script(tmp_path / "app.py", """
        def a():
            b()

        def b():
            c()

        def c():
            pass

        a()
    """)
    _, t = traced_run(tmp_path, target, "--max-depth", "2")
    (pid,) = t.pids
    assert [s.name for s in main_spans(t, pid)] == ["<module>", "a"]
    # b and c: a start and a return each.
    assert t.filters[pid]["max_depth_events"] == 4


CHILDREN = """\
import json, os, subprocess, sys

def forked_work():
    return 1

def parent_work():
    return 2

parent_work()
pids = {}
pid = os.fork()
if pid == 0:
    forked_work()
    os._exit(0)
os.waitpid(pid, 0)
pids["fork"] = pid
for name, args in [("script", ["kid.py"]), ("module", ["-m", "kid"]),
                   ("code", ["-c", "import kid"])]:
    out = subprocess.run([sys.executable, *args], check=True, capture_output=True, text=True)
    pids[name] = int(out.stdout)
with open("pids.json", "w") as f:
    json.dump(pids, f)
"""

KID = """\
import os

def kid_work():
    # site called os.path.join too, before the child's run began.
    return os.path.join("a", "b")

kid_work()
print(os.getpid())
"""


@pytest.mark.forks
def test_processes_the_program_starts_begin_at_their_own_code(tmp_path):
    write_script(tmp_path / "kid.py", KID)
    target = make_target(tmp_path, "script", CHILDREN)
    _, t = traced_run(tmp_path, target)
    pids = json.loads((tmp_path / "pids.json").read_text())
    parent = (t.pids - set(pids.values())).pop()
    assert t.pids == {parent, *pids.values()}
    assert main_spans(t, parent)[0].name == "<module>"
    # The fork child goes on in the program's code: its first slice is the
    # first call it makes, not the interpreter's after-fork hooks.
    assert [s.name for s in main_spans(t, pids["fork"])] == ["forked_work"]
    for kind in ("script", "module", "code"):
        spans = main_spans(t, pids[kind])
        # Not site's .pth processing, nor runpy for -m.
        assert spans[0].name == "<module>", (kind, [s.name for s in spans])
        assert spans[0].depth == 0 and spans[0].end is not None
        names = [s.name for s in spans]
        assert "kid_work" in names and "join" in names
    assert LAUNCHER.isdisjoint(t.names())


# ---- tracebacks ----------------------------------------------------------

FAILING = """\
def failing():
    raise ValueError("boom")

def outer():
    failing()

outer()
"""


def frames(stderr):
    """The traceback's frame lines, as (file, line, function)."""
    return re.findall(r'^  File "(.*)", line (\d+), in (.*)$', stderr, re.M)


@pytest.mark.parametrize("launcher", LAUNCHERS)
@pytest.mark.parametrize("kind", KINDS)
def test_a_traceback_lists_the_frames_python_lists(tmp_path, launcher, kind):
    target = make_target(tmp_path, kind, FAILING)
    plain = run_command([sys.executable, *target], cwd=tmp_path)
    traced = run_command(launcher_command(launcher) + ["run", "-o", "t.pb", *target],
                         cwd=tmp_path)
    assert traced.returncode == plain.returncode == 1
    assert traced.stdout == plain.stdout
    seen = frames(traced.stderr)
    assert [f[2] for f in seen] == ["<module>", "outer", "failing"]
    if kind == "script":
        assert traced.stderr == plain.stderr
    else:
        # python runs these through runpy's frames; morvex runs the code itself.
        assert seen == [f for f in frames(plain.stderr) if f[0] != "<frozen runpy>"]
        assert traced.stderr.splitlines()[-1] == plain.stderr.splitlines()[-1]


def test_a_failing_parent_package_shows_its_own_frames(tmp_path):
    (tmp_path / "pkg").mkdir()
    write_script(tmp_path / "pkg" / "__init__.py", FAILING)
    (tmp_path / "pkg" / "tool.py").write_text("print('ran')\n")
    plain = run_command([sys.executable, "-m", "pkg.tool"], cwd=tmp_path)
    traced = run_command(MORVEX + ["run", "-o", "t.pb", "-m", "pkg.tool"], cwd=tmp_path)
    assert traced.returncode == plain.returncode == 1
    assert traced.stdout == plain.stdout == ""
    assert frames(traced.stderr) == [f for f in frames(plain.stderr) if f[0] != "<frozen runpy>"]
    assert [f[2] for f in frames(traced.stderr)] == ["<module>", "outer", "failing"]


def test_a_script_that_does_not_compile_is_shown_as_python_shows_it(tmp_path):
    (tmp_path / "app.py").write_text("x = (\n")
    plain = run_command([sys.executable, "app.py"], cwd=tmp_path)
    traced = run_command(MORVEX + ["run", "-o", "t.pb", "app.py"], cwd=tmp_path)
    assert traced.returncode == plain.returncode == 1
    assert traced.stderr == plain.stderr
    assert "SyntaxError" in traced.stderr and "Traceback" not in traced.stderr


def test_the_programs_own_excepthook_gets_its_frames(tmp_path):
    write_script(tmp_path / "app.py", """
        import sys, traceback

        def hook(exc_type, exc, tb):
            names = [f.name for f in traceback.extract_tb(tb)]
            print(exc_type.__name__, names, [f.name for f in traceback.extract_tb(exc.__traceback__)])

        sys.excepthook = hook

        def failing():
            raise KeyError(1)

        failing()
    """)
    plain = run_command([sys.executable, "app.py"], cwd=tmp_path)
    traced = run_command(MORVEX + ["run", "-o", "t.pb", "app.py"], cwd=tmp_path)
    assert traced.returncode == plain.returncode == 1
    assert traced.stdout == plain.stdout == "KeyError ['<module>', 'failing'] ['<module>', 'failing']\n"


@pytest.mark.parametrize("kind", ["script", "module", "directory", "zip"])
def test_sys_is_put_back_after_an_in_process_run(tmp_path, monkeypatch, kind):
    from morvex._core import cli_main
    monkeypatch.chdir(tmp_path)
    target = make_target(tmp_path, kind, """
        import sys
        seen = sys.modules["cli_start_probe"]
        seen.main_is_mine = sys.modules["__main__"].__dict__ is globals()
        seen.argv0 = sys.argv[0]
        seen.path0 = sys.path[0]
    """)
    seen = type(sys)("cli_start_probe")
    monkeypatch.setitem(sys.modules, "cli_start_probe", seen)
    main, argv, path = sys.modules["__main__"], sys.argv, list(sys.path)
    try:
        assert cli_main(["morvex", "run", "-o", "t.pb", *target]) == 0
    finally:
        for name in [m for m in sys.modules if m == "pkg" or m.startswith("pkg.")]:
            del sys.modules[name]
    assert seen.main_is_mine
    assert seen.argv0 == {"script": "app.py", "module": str(tmp_path / "pkg" / "tool.py"),
                          "directory": "appdir", "zip": "app.zip"}[kind]
    assert seen.path0 == str(tmp_path / ("appdir" if kind == "directory" else "app.zip")
                             if kind in ("directory", "zip") else tmp_path)
    assert sys.modules["__main__"] is main
    assert sys.argv is argv and sys.path == path
