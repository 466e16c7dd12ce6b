"""Functions that share a name, and generators, read the same from both formats.

GIVEN a program whose two modules each define `parse`, and a generator
iterated several times, traced once in each format,
THEN report, pstats and collapsed stacks keep the two `parse`s apart with
their own file and line, count the generator's resumes as no calls, and
give identical rows from the Perfetto trace and the JSON trace.
"""

from __future__ import annotations

import importlib.util
import json
import pstats

import morvex
import pytest
from conftest import MORVEX
from conftest import run as run_command

MODULE_A = """\
def parse(n):
    return n + 1
"""

# Blank lines put b.parse on another first line than a.parse.
MODULE_B = """\



def parse(n):
    return n * 2


def tokens():
    for i in range(10):
        yield parse(i)
"""


def load(path, name):
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def traces(tmp_path_factory):
    root = tmp_path_factory.mktemp("same_names")
    (root / "a.py").write_text(MODULE_A)
    (root / "b.py").write_text(MODULE_B)
    a = load(root / "a.py", "same_names_a")
    b = load(root / "b.py", "same_names_b")

    def program():
        for i in range(30):
            a.parse(i)
        for i in range(35):
            b.parse(i)
        for _ in range(4):
            for _ in b.tokens():
                pass

    out = {}
    for fmt, name in (("protobuf", "t.pftrace"), ("json", "t.json")):
        path = root / name
        # Lossless: the rows are compared call for call.
        with morvex.Tracer(str(path), fmt, lossless=True):
            program()
        out[fmt] = path
    return root, a, b, out


def report_rows(path):
    text = run_command(MORVEX + ["report", str(path), "--json", "--top", "0"], check=True).stdout
    return json.loads(text)


def test_report_rows_are_right_and_the_same_from_both_formats(traces):
    root, a, b, paths = traces
    by_format = {}
    for fmt, path in paths.items():
        rows = {
            (r["function"], r["file"], r["line"]): (r["calls"], r["primitive_calls"])
            for r in report_rows(path)
            if r["file"].startswith(str(root))
        }
        by_format[fmt] = rows
    a_parse = ("parse", a.__file__, a.parse.__code__.co_firstlineno)
    b_parse = ("parse", b.__file__, b.parse.__code__.co_firstlineno)
    tokens = ("tokens", b.__file__, b.tokens.__code__.co_firstlineno)
    # Four generators started, each resumed ten times (the last resume
    # ends in the return): four calls. b.parse: 35 direct calls and 10 from
    # each generator.
    assert by_format["json"] == {a_parse: (30, 30), b_parse: (75, 75), tokens: (4, 4)}
    assert by_format["protobuf"] == by_format["json"]


def test_pstats_and_collapsed_keep_same_named_functions_apart(traces, tmp_path):
    root, a, b, paths = traces
    for fmt, path in paths.items():
        prof = tmp_path / f"{fmt}.prof"
        run_command(MORVEX + ["convert", str(path), "-o", str(prof)], check=True)
        stats = pstats.Stats(str(prof)).stats
        calls = {
            (file, line): cc
            for (file, line, name), (cc, *_rest) in stats.items()
            if name == "parse"
        }
        assert calls == {
            (a.__file__, a.parse.__code__.co_firstlineno): 30,
            (b.__file__, b.parse.__code__.co_firstlineno): 75,
        }, fmt

        folded = tmp_path / f"{fmt}.folded"
        run_command(MORVEX + ["convert", str(path), "-o", str(folded)], check=True)
        leaves = {
            line.rsplit(" ", 1)[0].split(";")[-1]
            for line in folded.read_text().splitlines()
            if ";" in line
        }
        parse_frames = {leaf for leaf in leaves if leaf.startswith("parse")}
        assert len(parse_frames) == 2, (fmt, parse_frames)
