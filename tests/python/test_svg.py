"""The SVG flame graph of `morvex convert`: what the file holds, read as XML, and what a browser
makes of it (its search, zoom and width), in headless Chromium when the machine has one."""

import json
import re
import threading
import xml.etree.ElementTree as ET

import pytest

import morvex
from browser import Page, find_chromium
from conftest import MORVEX
from conftest import run as run_command
from morvex._core import cli_main

SVG = "{http://www.w3.org/2000/svg}"
WORKERS = 6


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def worker(n):
    fib(n)


def program():
    threads = [threading.Thread(target=worker, args=(15,), name=f"w{i}") for i in range(WORKERS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


@pytest.fixture(scope="module")
def trace(tmp_path_factory):
    path = tmp_path_factory.mktemp("svg") / "t.pftrace"
    # Lossless: the tests count the calls.
    with morvex.Tracer(str(path), "protobuf", lossless=True):
        program()
    return path


def convert(trace_path, out, *options):
    assert cli_main(["morvex", "convert", str(trace_path), "-o", str(out), *options]) == 0
    return ET.parse(out).getroot()


def graphs(root):
    return [e for e in root.iter(SVG + "svg") if e.get("class") == "graph"]


def frames(graph):
    """(title lines, rect) of each frame of a graph, in the file's order."""
    out = []
    for g in graph.findall(SVG + "g"):
        title, rect = g.find(SVG + "title"), g.find(SVG + "rect")
        assert title is not None and rect is not None
        out.append((title.text.split("\n"), rect))
    return out


def by_id(root, ident):
    found = [e for e in root.iter() if e.get("id") == ident]
    assert len(found) == 1, ident
    return found[0]


def test_many_threads_are_one_graph_of_merged_stacks_or_a_graph_each(trace, tmp_path):
    # GIVEN a trace of 7 threads with slices (MainThread and the workers),
    # more than the 4 drawn apart unasked
    # WHEN it is converted THEN the file is well-formed XML with one graph,
    # under a root frame, whose fib frames add up every worker's
    root = convert(trace, tmp_path / "all.svg")
    assert root.tag == SVG + "svg" and root.get("width") == "1200.0"
    assert root.get("viewBox") == f"0 0 1200.0 {root.get('height')}"
    [graph] = graphs(root)
    drawn = frames(graph)
    assert drawn[0][0][0] == "all threads"
    assert drawn[0][1].get("x") == "0%" and drawn[0][1].get("width") == "100%"
    workers = [lines for lines, _ in drawn if lines[0] == "worker"]
    assert len(workers) == 1
    assert workers[0][1].endswith(f"test_svg.py:{worker.__code__.co_firstlineno}")
    assert f"calls {WORKERS}" in workers[0][2]
    top_fib = [lines for lines, _ in drawn if lines[0] == "fib"][0]
    assert top_fib[1].endswith(f"test_svg.py:{fib.__code__.co_firstlineno}")
    assert re.search(rf"calls {WORKERS}\b", top_fib[2]), top_fib
    heading = [e.text for e in root.iter(SVG + "text") if e.get("class") == "h"]
    assert len(heading) == 1 and heading[0].startswith("All 7 threads (pid ")

    # The same file drawn a graph per thread: seven graphs, one fib each
    # thread that ran it, titled with that thread's calls.
    root = convert(trace, tmp_path / "apart.svg", "--svg-per-thread")
    apart = graphs(root)
    assert len(apart) == 7
    headings = [e.text for e in root.iter(SVG + "text") if e.get("class") == "h"]
    assert sum(h.startswith("w") for h in headings) == WORKERS
    assert all("all threads" not in lines[0] for g in apart for lines, _ in frames(g))
    tops = [[lines for lines, _ in frames(g) if lines[0] == "fib"] for g in apart]
    assert sum(bool(t) for t in tops) == WORKERS
    assert all(t[0][2].endswith(", calls 1") for t in tops if t)


def test_the_file_carries_its_script_and_says_what_it_merged_away(tmp_path):
    # GIVEN a trace whose main (10 ms) calls 2,000 functions of 1 us, each
    # 0.01% of the width, then one of 8 ms
    def frame(name, line, begin, end):
        return [{"name": name, "ph": "B", "ts": begin, "pid": 1, "tid": 1,
                 "args": {"file": "/app/a.py", "line": line}},
                {"name": name, "ph": "E", "ts": end, "pid": 1, "tid": 1}]
    main = frame("main", 1, 0, 10_000)
    events = main[:1]
    for i in range(2000):
        events += frame(f"small{i}", 10 + i, i, i + 1)
    events += frame("big", 5, 2000, 10_000) + main[1:]
    path = tmp_path / "t.json"
    path.write_text(json.dumps(events))
    # WHEN it is converted
    out = tmp_path / "t.svg"
    root = convert(path, out)
    # THEN two frames are drawn, the small ones are said to be merged, and
    # main's title says what it holds of them
    [graph] = graphs(root)
    drawn = frames(graph)
    assert [lines[0] for lines, _ in drawn] == ["main", "big"]
    assert drawn[0][0][-1] == "with 2,000 callees too narrow to draw: 2.00 ms"
    assert by_id(root, "merged").text == ("2,000 stacks narrower than 0.1% of the width are drawn "
                                          "as part of their callers: 2.00 ms (20.0%) of the time.")
    assert out.stat().st_size < 20_000  # 2,000 frames drawn would take 300 kB
    # The script is in the file, and the controls it runs wait for it.
    [script] = list(root.iter(SVG + "script"))
    assert "function zoom(" in script.text and "getElementById('search')" in script.text
    assert by_id(root, "controls").get("display") == "none"
    assert by_id(root, "search").tag == "{http://www.w3.org/1999/xhtml}input"
    assert by_id(root, "reset").text == "Reset zoom"


def test_svg_per_thread_is_for_an_svg_and_listed_in_help(trace, tmp_path, capsys):
    out = tmp_path / "t.folded"
    r = run_command(MORVEX + ["convert", str(trace), "-o", str(out), "--svg-per-thread"])
    assert r.returncode == 2
    assert r.stderr.startswith("error: the argument '--svg-per-thread' needs an SVG output, "
                               "not collapsed\n")
    assert not out.exists()
    assert cli_main(["morvex", "convert", "--help"]) == 0
    assert "--svg-per-thread" in capsys.readouterr().out


# ---- in a browser ----------------------------------------------------------

FRAME_BOX = """(() => {
  for (const g of document.querySelectorAll('svg.graph > g')) {
    if (g.firstElementChild.textContent.split('\\n')[0] !== %s) continue;
    const r = g.querySelector('rect').getBoundingClientRect();
    return {x: r.x, y: r.y, width: r.width, height: r.height,
            shown: g.getAttribute('display') !== 'none', dimmed: g.classList.contains('a'),
            hit: g.classList.contains('m')};
  }
  return null;
})()"""

GRAPH_BOX = """(() => {
  const r = document.querySelector('svg.graph').getBoundingClientRect();
  return {x: r.x, width: r.width};
})()"""

# Every label shown against its frame: [label, its width, the frame's width].
LABELS = """Array.from(document.querySelectorAll('svg.graph > g'))
  .filter(g => g.getAttribute('display') !== 'none' && g.querySelector('text'))
  .map(g => [g.querySelector('text').textContent, g.querySelector('text').getComputedTextLength(),
             g.querySelector('rect').getBoundingClientRect().width])"""


def frame_box(page, label):
    return page.js(FRAME_BOX % json.dumps(label))


def center(box):
    return box["x"] + box["width"] / 2, box["y"] + box["height"] / 2


@pytest.mark.skipif(find_chromium() is None, reason="needs chromium")
def test_search_and_zoom_work_in_a_browser(trace, tmp_path):
    out = tmp_path / "t.svg"
    convert(trace, out)
    fib_ns = sum(r["total_ns"] for r in json.loads(run_command(
        MORVEX + ["report", str(trace), "--json", "--top", "0"], check=True).stdout)
        if r["function"] == "fib")
    traced_ns = sum(t["traced_ns"] for t in json.loads(run_command(
        MORVEX + ["report", str(trace), "--summary", "--json"], check=True).stdout)["threads"])
    with Page(1400, 900) as page:
        page.open(out)
        page.screenshot(tmp_path / "loaded.png")
        assert (tmp_path / "loaded.png").read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
        assert page.js("document.getElementById('controls').getAttribute('display')") is None
        assert page.js("document.documentElement.getBoundingClientRect().width") == 1400

        # Typing into the search box marks every fib frame and gives their
        # share, each stretch counted once however deep the recursion
        # (which the report's total counts once too).
        page.click(*center(page.js(
            "document.getElementById('search').getBoundingClientRect().toJSON()")))
        page.type_text("FIB")
        shown = page.js("document.getElementById('matched').textContent")
        m = re.fullmatch(r"Matched: (\d+\.\d)% of the time \(.+\) in (\d+) frames", shown)
        assert m, shown
        assert abs(float(m[1]) - 100 * fib_ns / traced_ns) <= 0.0501, (shown, fib_ns, traced_ns)
        hits = page.js("document.querySelectorAll('svg.graph > g.m').length")
        assert hits == int(m[2]) and hits >= 1
        assert frame_box(page, "fib")["hit"] and not frame_box(page, "worker")["hit"]

        # Clicking worker zooms into it: it and its callers span the graph,
        # its callees widen by as much, the main thread's frames hide.
        graph = page.js(GRAPH_BOX)
        before_worker, before_fib = frame_box(page, "worker"), frame_box(page, "fib")
        assert before_worker["width"] < graph["width"] - 10
        page.click(*center(before_worker))
        zoomed_worker, zoomed_fib = frame_box(page, "worker"), frame_box(page, "fib")
        assert zoomed_worker["x"] == pytest.approx(graph["x"], abs=1)
        assert zoomed_worker["width"] == pytest.approx(graph["width"], abs=1)
        assert frame_box(page, "all threads")["dimmed"]
        assert frame_box(page, "all threads")["width"] == pytest.approx(graph["width"], abs=1)
        assert zoomed_fib["width"] / graph["width"] == pytest.approx(
            before_fib["width"] / before_worker["width"], abs=0.01)
        assert not frame_box(page, "program")["shown"]
        page.screenshot(tmp_path / "zoomed.png")

        # A narrower window: the graph follows it and every label fits its
        # frame again.
        page.resize(600, 900)
        page.js("new Promise(done => requestAnimationFrame(() => requestAnimationFrame(done)))")
        assert page.js(GRAPH_BOX)["width"] < 600
        labels = page.js(LABELS)
        assert labels
        assert all(width <= frame + 0.5 for _, width, frame in labels), labels
        page.resize(1400, 900)
        page.js("new Promise(done => requestAnimationFrame(() => requestAnimationFrame(done)))")

        # Reset zoom puts everything back where it was.
        page.click(*center(page.js(
            "document.getElementById('reset').getBoundingClientRect().toJSON()")))
        after = frame_box(page, "worker")
        assert after == {k: pytest.approx(v, abs=0.01) for k, v in before_worker.items()}
        assert frame_box(page, "program")["shown"]
