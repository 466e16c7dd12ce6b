"""C calls (c_calls=True): builtins, methods of C types and other callables
that are not Python functions as slices of their own, nested around the
Python code they call back, read back in both formats with the independent
readers of tracefiles."""

import functools
import json
import math
import threading

import morvex
import tracefiles
from conftest import MORVEX, traced
from conftest import run as run_command


def key(x):
    return -x


def tree(events):
    """One thread's slices as (name, [children]) pairs, in order."""
    root = []
    stack = [root]
    for s in events:
        if s.phase == "B":
            node = (s.name, [])
            stack[-1].append(node)
            stack.append(node[1])
        elif s.phase == "E":
            stack.pop()
    return root


def flattened(nodes):
    for node in nodes:
        yield node
        yield from flattened(node[1])


def main_events(t):
    return t.thread_events("MainThread")


def program():
    for _ in range(7):
        sorted([3, 1, 2], key=key)
    items = [3, 2, 1]
    items.sort()
    try:
        int("x")
    except ValueError:
        pass


def test_sorted_key_list_sort_and_a_raising_int(tmp_path, fmt):
    t = traced(tmp_path, fmt, program, c_calls=True)
    top = tree(main_events(t))
    assert [name for name, _ in top] == ["program"]
    calls = top[0][1]
    sorts = [children for name, children in calls if name == "sorted"]
    assert len(sorts) == 7
    assert all(children == [("key", [])] * 3 for children in sorts)
    assert ("list.sort", []) in calls and ("int", []) in calls
    begins = [s for s in main_events(t) if s.phase == "B" and s.name in ("sorted", "int")]
    assert {(s.file, s.line, s.call) for s in begins} == {("", 0, True)}
    if fmt == "json":
        kinds = {s.kind for s in main_events(t)}
        assert {"c_call", "c_return"} <= kinds


def test_off_by_default(tmp_path, fmt):
    t = traced(tmp_path, fmt, program)
    assert set(t.names()) == {"program", "key"}


class Items(list):
    pass


def names_program():
    items = Items()  # a class defined in Python: no C call
    append = items.append
    append(1)  # a bound builtin, of a subclass
    list.append(items, 2)  # its descriptor
    items.append(3)
    dict.fromkeys("ab")
    math.sqrt(4.0)
    functools.partial(max, 1)(2)
    json.dumps([1])


class PythonCallable:
    def __call__(self):
        return 1


class PythonClass:
    def __init__(self):
        self.x = 1


def python_callables():
    PythonCallable()()
    PythonClass()
    key(x=1)  # a keyword call reports C_RETURN for a Python function too
    functools.reduce(lambda a, b: a + b, [1, 2, 3])


def test_names_as_users_know_them(tmp_path, fmt):
    t = traced(tmp_path, fmt, names_program, c_calls=True)
    names = t.names()
    # Bound or through the descriptor, one function with one name.
    assert names.count("list.append") == 3
    assert not any("Items" in name for name in names)
    for expected in ("dict.fromkeys", "math.sqrt", "functools.partial",
                     "functools.partial.__call__", "isinstance", "str.join"):
        assert expected in names, (expected, names)
    assert not any(name.startswith("morvex") for name in names), names


def test_python_code_is_not_a_c_call(tmp_path, fmt):
    t = traced(tmp_path, fmt, python_callables, c_calls=True)
    top = tree(main_events(t))
    assert top == [("python_callables", [
        ("PythonCallable.__call__", []),
        ("PythonClass.__init__", []),
        ("key", []),
        ("_functools.reduce", [("python_callables.<locals>.<lambda>", [])] * 2),
    ])]


def raising_key(x):
    raise KeyError(x)


def raises_through_c():
    try:
        sorted([2, 1], key=raising_key)
    except KeyError:
        pass
    try:
        list(map(raising_key, [1]))
    except KeyError:
        pass


def test_an_exception_through_a_c_call_ends_it(tmp_path, fmt):
    t = traced(tmp_path, fmt, raises_through_c, c_calls=True)
    raised = ("raising_key", [("KeyError", [])])
    assert tree(main_events(t)) == [("raises_through_c", [
        ("sorted", [raised]),
        ("map", []),
        ("list", [raised]),
    ])]


def gen():
    for i in range(2):
        yield abs(-i)


def generators_and_threads():
    list(gen())
    worker = threading.Thread(target=sorted, args=([2, 1],), name="worker")
    worker.start()
    worker.join()


def test_generators_and_threads(tmp_path, fmt):
    t = traced(tmp_path, fmt, generators_and_threads, c_calls=True)
    top = tree(main_events(t))
    listed = top[0][1][0]
    assert listed[0] == "list"
    assert listed[1] == [("gen", [("range", []), ("abs", [])]), ("gen", [("abs", [])]), ("gen", [])]
    assert ("sorted", []) in flattened(tree(t.thread_events("worker")))


def test_filters_match_c_calls_by_module(tmp_path, fmt):
    t = traced(tmp_path, fmt, names_program, c_calls=True, exclude=["math", "functools"])
    names = t.names()
    assert "math.sqrt" not in names and "functools.partial" not in names
    assert "list.append" in names and "dict.fromkeys" in names
    t = traced(tmp_path, fmt, names_program, c_calls=True, include=["math"])
    assert set(t.names()) == {"math.sqrt"}


def test_max_depth_counts_c_calls(tmp_path, fmt):
    t = traced(tmp_path, fmt, program, c_calls=True, max_depth=2)
    assert set(t.names()) == {"program", "range", "sorted", "list.sort", "int"}


def test_a_run_that_begins_or_ends_inside_a_c_call(tmp_path, fmt):
    path = tmp_path / ("t.json" if fmt == "json" else "t.pftrace")
    tracer = morvex.Tracer(str(path), fmt, c_calls=True, lossless=True)

    def starts(x):
        if x == 1:
            tracer.start()
        return x

    def stops(x):
        if x == 1:
            tracer.stop()
        return x

    # Began inside the first sorted: its return matches no call and is left
    # out. Ended inside the second: its begin is all there is of it.
    sorted([2, 1], key=starts)
    len("after")
    sorted([2, 1], key=stops)
    t = tracefiles.read(path, fmt)
    events = main_events(t)
    tracefiles.assert_nested(events, allow_open=True)
    names = [s.name for s in events if s.phase == "B"]
    assert names[:2] == ["len", "sorted"], names
    # A later run starts clean: nothing left of the one stopped mid-call.
    t = traced(tmp_path, fmt, program, c_calls=True)
    assert tree(main_events(t))[0][0] == "program"


def test_report_and_convert_show_c_calls(tmp_path, fmt):
    t = traced(tmp_path, fmt, program, c_calls=True)
    path = tmp_path / ("t.json" if fmt == "json" else "t.pftrace")
    rows = json.loads(run_command(MORVEX + ["report", str(path), "--json", "--top", "0"],
                                  check=True).stdout)
    by_name = {r["function"]: r for r in rows}
    assert by_name["sorted"]["calls"] == 7
    assert by_name["key"]["calls"] == 21
    assert by_name["list.sort"]["calls"] == 1
    collapsed = tmp_path / "t.collapsed"
    run_command(MORVEX + ["convert", str(path), "-o", str(collapsed)], check=True)
    assert any(";sorted;key " in line for line in collapsed.read_text().splitlines())


def test_cli_flag(tmp_path):
    script = tmp_path / "s.py"
    script.write_text("for _ in range(3):\n    sorted([2, 1])\n")
    out = tmp_path / "t.json"
    run_command(MORVEX + ["run", "--c-calls", "--lossless", "-f", "json", "-o", str(out),
                          str(script)], check=True)
    assert tracefiles.read(out, "json").names().count("sorted") == 3
    help_text = run_command(MORVEX + ["run", "--help"], check=True).stdout
    assert "--c-calls" in help_text


def test_classes_made_while_tracing_are_not_kept_alive(tmp_path, fmt):
    import gc
    import weakref
    refs = []

    def makes_classes():
        for _ in range(3):
            made = type("Made", (dict,), {})
            made()  # a class defined at run time: its call is no C call
            refs.append(weakref.ref(made))
            del made
        gc.collect()
        assert [r() for r in refs] == [None] * 3

    t = traced(tmp_path, fmt, makes_classes, c_calls=True)
    assert "Made" not in t.names() and "type" in t.names()
