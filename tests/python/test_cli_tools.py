"""Reading a trace: morvex report, morvex convert and morvex open, on traces
of programs whose call structure is known."""

import io
import json
import os
import pstats
import resource
import signal
import socket
import subprocess
import sys
import threading
import urllib.error
import urllib.parse
import urllib.request

import pytest

import morvex
from conftest import MORVEX, environment
from conftest import run as run_command
from morvex._core import cli_main


def leaf():
    return 1


def mid(n):
    return sum(leaf() for _ in range(n))


def rec(n):
    return 0 if n == 0 else rec(n - 1) + 1


def gen():
    for _ in range(3):
        yield leaf()


def program():
    for _ in range(10):
        mid(5)
    rec(4)
    list(gen())
    t = threading.Thread(target=mid, args=(3,), name="worker")
    t.start()
    t.join()


@pytest.fixture(scope="module", params=["protobuf", "json"])
def trace(request, tmp_path_factory):
    path = tmp_path_factory.mktemp("traces") / ("t.json" if request.param == "json" else "t.pftrace")
    # Lossless: the tests count the calls.
    with morvex.Tracer(str(path), request.param, lossless=True):
        program()
    return request.param, path


def rows(path, *args):
    out = run_command(MORVEX + ["report", str(path), "--json", "--top", "0", *args],
                      check=True).stdout
    return json.loads(out)


def row(rows_, name, **where):
    found = [r for r in rows_ if r["function"].rsplit(".", 1)[-1] == name
             and all(r[k] == v for k, v in where.items())]
    assert len(found) == 1, (name, found)
    return found[0]


def test_report_counts_calls_exactly(trace):
    fmt, path = trace
    r = rows(path)
    assert row(r, "mid")["calls"] == 11
    assert row(r, "leaf")["calls"] == 10 * 5 + 3 + 3
    # Recursion: every call counted, the time once.
    rec_row = row(r, "rec")
    assert rec_row["calls"] == 5 and rec_row["primitive_calls"] == 1
    assert rec_row["total_ns"] == rec_row["max_ns"]
    # A generator's time counts between resume and yield; its resumptions
    # are not calls, in either format.
    assert row(r, "gen")["calls"] == 1
    for x in r:
        assert 0 <= x["self_ns"] <= x["total_ns"] and x["max_ns"] <= x["total_ns"]
    assert row(r, "mid")["file"] == __file__
    assert row(r, "mid")["line"] == mid.__code__.co_firstlineno


def test_report_per_thread(trace):
    _, path = trace
    r = rows(path, "--threads")
    worker = [x for x in r if x["thread"] == "worker"]
    assert row(worker, "mid")["calls"] == 1
    assert row(worker, "leaf")["calls"] == 3
    assert {x["pid"] for x in r} == {os.getpid()}
    text = run_command(MORVEX + ["report", str(path), "--threads", "--top", "5"],
                       check=True).stdout
    assert "worker (pid" in text and "MainThread (pid" in text


def test_report_reads_the_format_from_the_content(trace, tmp_path):
    fmt, path = trace
    renamed = tmp_path / "no-extension"
    renamed.write_bytes(path.read_bytes())
    assert row(rows(renamed), "mid")["calls"] == 11


def record_ends(data, fmt):
    """Offsets at which a trace could end whole: a cut there cannot be seen."""
    if fmt == "json":
        # Records are objects of names, numbers and strings: a cut just after a
        # letter or digit is inside one.
        return {i for i in range(len(data) + 1) if i == 0 or not data[i - 1:i].isalnum()}
    ends, at = {0}, 0
    while at < len(data):  # TracePacket framing: tag, varint length, payload
        at, length, shift = at + 1, 0, 0
        while True:
            length |= (data[at] & 0x7F) << shift
            at, shift = at + 1, shift + 7
            if data[at - 1] < 0x80:
                break
        at += length
        ends.add(at)
    return ends


def test_report_keeps_nan_counter_samples_out_of_the_range(tmp_path):
    path = tmp_path / "c.pftrace"
    with morvex.Tracer(str(path), lossless=True):
        for v in (float("nan"), 1.0, 3.0, float("nan")):
            morvex.counter("load", v)
        morvex.counter("broken", float("nan"))
    r = run_command(MORVEX + ["report", str(path)], check=True)
    pid = os.getpid()
    assert f"  load (pid {pid}): 4 samples (2 NaN), 1 to 3, last NaN\n" in r.stdout
    assert f"  broken (pid {pid}): 1 sample, NaN\n" in r.stdout


def test_a_cut_off_trace_still_gives_a_report(trace, tmp_path):
    fmt, path = trace
    data = path.read_bytes()
    ends = record_ends(data, fmt)
    cut = tmp_path / "cut"
    for at in (len(data) // 3, len(data) // 2 + 7, len(data) - 5):
        while at in ends:
            at += 1
        cut.write_bytes(data[:at])
        r = run_command(MORVEX + ["report", str(cut)])
        assert r.returncode == 0, r.stderr
        assert "cut off" in r.stdout or "truncated" in r.stdout


@pytest.mark.parametrize("text", ["hello\n", "\n\n\n", "[1,2,3]"])
def test_not_a_trace_is_one_line_and_status_1(tmp_path, text):
    bad = tmp_path / "notes.txt"
    bad.write_text(text)
    for command in (["report", str(bad)], ["convert", str(bad), "-o", str(tmp_path / "x.svg")]):
        r = run_command(MORVEX + command)
        assert r.returncode == 1
        assert r.stderr.startswith("morvex: error: ") and len(r.stderr.splitlines()) == 1
        assert "is not a morvex trace" in r.stderr
    assert not (tmp_path / "x.svg").exists()
    # For callers in Python, morvex's errors are exceptions.
    with pytest.raises(OSError, match="is not a morvex trace"):
        cli_main(["morvex", "report", str(bad)])


def test_an_output_whose_name_says_no_kind_is_a_usage_error_before_anything_is_read(tmp_path):
    # GIVEN an output name convert cannot tell a kind from, and no --to
    # (the trace need not even exist: the arguments are wrong before it is read)
    out = tmp_path / "out.txt"
    command = ["convert", str(tmp_path / "missing.pftrace"), "-o", str(out)]
    # WHEN the command line runs it THEN it answers as to any usage error
    r = subprocess.run(MORVEX + command, capture_output=True, text=True)
    assert r.returncode == 2, r.stderr
    assert r.stderr.startswith("error: cannot tell the output kind from the name " + str(out))
    assert "Usage: " in r.stderr and "convert" in r.stderr
    # WHEN Python calls it THEN it is a ValueError, not an I/O error
    with pytest.raises(ValueError, match="cannot tell the output kind") as e:
        cli_main(["morvex", *command])
    assert not isinstance(e.value, OSError)
    assert not out.exists()


def test_a_json_trace_of_a_run_that_recorded_nothing_is_an_empty_trace(tmp_path):
    path = tmp_path / "empty.json"
    with morvex.Tracer(str(path), "json"):
        pass
    # The writer's whole output: the bracket and where the run lies in time.
    text = path.read_text()
    [clock] = json.loads(text[:-1] + "]")
    assert clock["name"] == "morvex_clock" and clock["ph"] == "M", clock
    lone = tmp_path / "lone.json"
    lone.write_text("[")  # what runs wrote before they said where they lie
    for p in (path, lone):
        r = run_command(MORVEX + ["report", str(p)])
        assert r.returncode == 0, r.stderr
        assert "Events     0\n" in r.stdout and "No function slices were recorded." in r.stdout


def test_pstats_loads_with_exact_call_counts(trace, tmp_path):
    _, path = trace
    out = tmp_path / "t.prof"
    assert cli_main(["morvex", "convert", str(path), "-o", str(out)]) == 0
    stats = pstats.Stats(str(out)).stats
    by_name = {}
    for (filename, line, name), (cc, nc, tt, ct, callers) in stats.items():
        by_name.setdefault(name.rsplit(".", 1)[-1], []).append((cc, nc, tt, ct, callers))
    (rec_stats,) = by_name["rec"]
    assert rec_stats[:2] == (1, 5)  # primitive calls, all calls
    assert sum(s[1] for s in by_name["mid"]) == 11
    assert all(s[2] <= s[3] for v in by_name.values() for s in v)


def test_pstats_of_an_empty_or_cut_trace_loads_or_is_refused(trace, tmp_path):
    """pstats.Stats refuses an empty profile: such a conversion must fail, not
    report success over a file pstats cannot load."""
    _, path = trace
    data = path.read_bytes()
    empty = tmp_path / "empty.json"
    with morvex.Tracer(str(empty), "json"):
        pass
    cut = tmp_path / "cut"
    out = tmp_path / "out.prof"
    sources = [(empty, None)] + [(cut, at) for at in (2, 60, len(data) // 2, len(data) - 3)]
    refused = 0
    for source, at in sources:
        if at is not None:
            cut.write_bytes(data[:at])
        r = run_command(MORVEX + ["convert", str(source), "-o", str(out)])
        if r.returncode == 0:
            pstats.Stats(str(out))
            out.unlink()
            continue
        refused += 1
        assert r.returncode == 1
        assert r.stderr == (f"morvex: error: cannot write {out}: {source} holds no function "
                            "slices, and pstats cannot load an empty profile\n")
        assert not out.exists()
    assert refused >= 2  # the empty trace, and a cut before the first slice


@pytest.mark.parametrize("name,check", [
    ("t.folded", lambda text: all(line.rsplit(" ", 1)[1].isdigit() for line in text.splitlines())),
    ("t.speedscope.json", lambda text: json.loads(text)["$schema"].startswith("https://www.speedscope")),
    ("t.svg", lambda text: text.startswith("<?xml") or text.startswith("<svg")),
])
def test_convert_picks_the_kind_from_the_name(trace, tmp_path, name, check):
    _, path = trace
    out = tmp_path / name
    r = run_command(MORVEX + ["convert", str(path), "-o", str(out)])
    assert r.returncode == 0, r.stderr
    assert check(out.read_text())


def test_convert_collapsed_stacks_add_up_to_the_traced_time(trace, tmp_path):
    _, path = trace
    out = tmp_path / "stacks"
    assert cli_main(["morvex", "convert", str(path), "-o", str(out), "--to", "collapsed"]) == 0
    lines = out.read_text().splitlines()
    assert any(line.startswith("worker;") for line in lines)
    frames = {frame.split(" (")[0] for line in lines for frame in line.rsplit(" ", 1)[0].split(";")}
    assert {"mid", "leaf", "rec"} <= frames
    total = sum(int(r["self_ns"]) for r in rows(path))
    assert sum(int(line.rsplit(" ", 1)[1]) for line in lines) == total


def test_convert_writes_into_what_it_cannot_replace(trace, tmp_path):
    """A FIFO or a link is written through, never renamed over (a device such as
    /dev/null takes the FIFO's way; renaming over it would replace it)."""
    _, path = trace
    plain = tmp_path / "plain.folded"
    assert cli_main(["morvex", "convert", str(path), "-o", str(plain)]) == 0
    expected = plain.read_bytes()

    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    got = []

    def read_fifo():
        # A daemon: if the FIFO was renamed over, nothing will ever open it.
        reader = threading.Thread(target=lambda: got.append(fifo.read_bytes()), daemon=True)
        reader.start()
        return reader

    reader = read_fifo()
    r = run_command(MORVEX + ["convert", str(path), "-o", str(fifo), "--to", "collapsed"])
    reader.join(10)
    assert r.returncode == 0, r.stderr
    assert fifo.is_fifo() and got == [expected]
    # speedscope spills to a scratch file, which must not go beside a FIFO
    # (or into /dev).
    reader = read_fifo()
    assert cli_main(["morvex", "convert", str(path), "-o", str(fifo), "--to", "speedscope"]) == 0
    reader.join(60)
    assert json.loads(got[1])["$schema"].startswith("https://www.speedscope")

    # A link stays a link; the file it points to is replaced and keeps its mode.
    target = tmp_path / "target.folded"
    target.write_text("old")
    target.chmod(0o600)
    link = tmp_path / "link.folded"
    link.symlink_to(target.name)
    assert cli_main(["morvex", "convert", str(path), "-o", str(link)]) == 0
    assert link.is_symlink() and target.read_bytes() == expected
    assert target.stat().st_mode & 0o777 == 0o600
    dangling = tmp_path / "dangling.folded"
    dangling.symlink_to("made-through-link.folded")
    assert cli_main(["morvex", "convert", str(path), "-o", str(dangling)]) == 0
    assert dangling.is_symlink() and (tmp_path / "made-through-link.folded").read_bytes() == expected
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "dangling.folded", "link.folded", "made-through-link.folded", "pipe", "plain.folded",
        "target.folded"]


def deep(n):
    return 0 if n == 0 else deep(n - 1)


def test_collapsed_stacks_of_a_deep_recursion_that_do_not_fit_leave_nothing(tmp_path):
    trace_path = tmp_path / "deep.pftrace"
    with morvex.Tracer(str(trace_path), lossless=True):
        deep(600)
    out = tmp_path / "deep.folded"
    assert cli_main(["morvex", "convert", str(trace_path), "-o", str(out)]) == 0
    lines = out.read_text().splitlines()
    # One line per depth, each spelling out its whole stack: several MB.
    frame = f"deep ({__file__}:{deep.__code__.co_firstlineno})"
    assert [line.rsplit(" ", 1)[0] for line in lines] == [
        ";".join(["MainThread"] + [frame] * d) for d in range(1, 602)]
    assert out.stat().st_size > 4 << 20
    out.unlink()

    # A file-size limit stops the writing part way, as a full disk does.
    def limit_file_size():
        resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))

    r = run_command(MORVEX + ["convert", str(trace_path), "-o", str(out)],
                    preexec_fn=limit_file_size)
    assert r.returncode == 1
    assert r.stderr == f"morvex: error: cannot write {out}: File too large\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["deep.pftrace"]


def signalled_while_reading(tmp_path, command, sig):
    """Runs `morvex COMMAND` on a FIFO and sends `sig` once it reads a trace
    that has not ended yet; its status, standard output and standard error."""
    fifo = tmp_path / "in.fifo"
    os.mkfifo(fifo)
    p = subprocess.Popen(MORVEX + [command[0], str(fifo), *command[1:]], cwd=tmp_path,
                         env=environment(),
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        # Opening returns once morvex has opened the other end: it is reading.
        with open(fifo, "w") as writer:
            writer.write('[{"name":"f","cat":"py","ph":"B","ts":1.000,"pid":1,"tid":1},\n')
            writer.flush()
            for _ in range(10):
                p.send_signal(sig)
                try:  # again, should it land just before a read that waits
                    out, err = p.communicate(timeout=5)
                    return p.returncode, out, err
                except subprocess.TimeoutExpired:
                    pass
        raise AssertionError(f"morvex {command[0]} went on reading after {sig!r}")
    finally:
        p.kill()
        p.wait(timeout=10)
        fifo.unlink()


@pytest.mark.parametrize("command", [["report"], ["convert", "-o", "out.folded"],
                                     ["convert", "-o", "out.speedscope.json"]])
def test_ctrl_c_stops_reading_as_it_stops_run(tmp_path, command):
    status, out, err = signalled_while_reading(tmp_path, command, signal.SIGINT)
    # As `morvex run` and python itself: KeyboardInterrupt, and death by SIGINT.
    assert status == -signal.SIGINT, err
    assert err.rstrip().endswith("KeyboardInterrupt")
    assert out == ""
    assert os.listdir(tmp_path) == []  # no output, no temporary file


def test_sigterm_while_converting_leaves_no_temporary_file(tmp_path):
    status, _, _ = signalled_while_reading(tmp_path, ["convert", "-o", "out.folded"],
                                           signal.SIGTERM)
    assert status == -signal.SIGTERM
    assert os.listdir(tmp_path) == []


UI = "https://ui.perfetto.dev"


def fetch(url, origin=UI, method="GET"):
    """A request as a web page of `origin` makes it (None: as curl does);
    the status, headers and body."""
    request = urllib.request.Request(url, method=method,
                                     headers={"Origin": origin} if origin else {})
    try:
        with urllib.request.urlopen(request, timeout=10) as response:
            return response.status, response.headers, response.read()
    except urllib.error.HTTPError as e:
        with e:
            return e.code, e.headers, e.read()


def test_open_serves_the_trace_once_to_perfettos_ui(trace, tmp_path):
    _, path = trace
    p = subprocess.Popen(MORVEX + ["open", str(path), "--no-browser", "--port", "9017", "--once"],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                         env=environment())
    try:
        first = p.stdout.readline()
        assert first == (f"Serving {path} at http://127.0.0.1:9017/{path.name} until "
                         "Perfetto's UI fetches it (Ctrl-C stops).\n")
        url = p.stdout.readline().split()[-1]
        assert url.startswith("https://ui.perfetto.dev/#!/?url=http://127.0.0.1:9017/")
        status, headers, body = fetch(url.split("url=", 1)[1])
        assert status == 200 and body == path.read_bytes()
        assert headers["Access-Control-Allow-Origin"] == UI
        assert p.wait(timeout=10) == 0
        assert p.stdout.read() == f"Delivered {path} to {UI}.\n"
    finally:
        p.kill()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def morvex_open(path, *options):
    """`morvex open` serving `path` (str or bytes); the process and the
    trace's URL, once it serves. Once-only unless options are given."""
    port = free_port()
    p = subprocess.Popen(MORVEX + ["open", path, "--no-browser", "--port", str(port),
                                   *(options or ["--once"])],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                         env=environment())
    p.stdout.readline()
    return p, p.stdout.readline().split()[-1].split("url=", 1)[1]


def test_open_serves_the_ui_behind_an_idle_connection(trace):
    # As a browser's preconnect: connected first, and never a word said.
    _, path = trace
    p, url = morvex_open(str(path))
    try:
        with socket.create_connection(("127.0.0.1", urllib.parse.urlsplit(url).port)):
            assert fetch(url)[2] == path.read_bytes()
            assert p.wait(timeout=10) == 0
        assert p.stderr.read() == ""
    finally:
        p.kill()


def test_open_serves_a_file_whose_name_is_not_utf8(tmp_path):
    path = os.fsencode(tmp_path) + b"/t\xff.json"
    data = bytes(range(256)) * 5000  # more than one read's worth
    with open(path, "wb") as f:
        f.write(data)
    p, url = morvex_open(path)
    try:
        assert url.endswith("/t%FF.json")
        assert fetch(url)[2] == data
        assert p.wait(timeout=10) == 0
        assert p.stderr.read() == ""
    finally:
        p.kill()


def test_open_of_a_trace_deleted_meanwhile_fails_in_one_line(tmp_path):
    path = tmp_path / "t.json"
    path.write_text("[]")
    p, url = morvex_open(str(path))
    try:
        path.unlink()
        assert fetch(url)[0] == 404
        assert p.wait(timeout=10) == 1
        assert p.stderr.read() == ("morvex: error: cannot serve the trace: [Errno 2] No such file "
                                   f"or directory: '{path}'\n")
    finally:
        p.kill()


def test_open_serves_every_allowed_page_until_ctrl_c(tmp_path):
    path = tmp_path / "t.pftrace"
    data = os.urandom(300_000)
    path.write_bytes(data)
    p, url = morvex_open(str(path), "--origin", "https://Perfetto.Example.com:8443/")
    try:
        allowed = [UI, "http://localhost:10000", "http://127.0.0.1:8080", "http://localhost",
                   "https://perfetto.example.com:8443", UI]
        for origin in allowed:
            status, headers, body = fetch(url, origin)
            assert (status, body) == (200, data), origin
            # The page's own origin: a browser takes no other.
            assert headers["Access-Control-Allow-Origin"] == origin
            assert headers["Vary"] == "Origin"
            # Said once the page has it all.
            assert p.stdout.readline() == f"Delivered {path} to {origin}.\n"
        refused = ["https://perfetto.example.com", "http://localhost.example.com",
                   "https://localhost:10000"]
        for origin in refused:
            status, headers, _ = fetch(url, origin)
            assert status == 403 and "Access-Control-Allow-Origin" not in headers, origin
            assert p.stdout.readline() == (f"Refused {path} to {origin}: not an allowed origin "
                                           f"(--origin {origin} allows it).\n")
        # What --origin cannot name is not suggested; what a terminal would
        # act on is escaped.
        for origin, shown in (("null", "null"), ("http://x\x1b[2J", "http://x\\x1b[2J")):
            assert fetch(url, origin)[0] == 403
            assert p.stdout.readline() == f"Refused {path} to {shown}: not an allowed origin.\n"
        # A preflight is answered as the request it precedes.
        status, headers, _ = fetch(url, "http://localhost:3000", "OPTIONS")
        assert status == 200 and headers["Access-Control-Allow-Origin"] == "http://localhost:3000"
        assert fetch(url, "https://evil.example", "OPTIONS")[0] == 403
        assert p.stdout.readline().startswith(f"Refused {path} to https://evil.example")
        # curl, or a browser's address bar: served, and said apart.
        assert fetch(url, None)[2] == data
        assert p.stdout.readline() == (f"Sent {path} to a client outside a web page "
                                       "(no Origin header).\n")
        assert fetch(url.replace("t.pftrace", "other"))[0] == 404
        assert p.poll() is None
        p.send_signal(signal.SIGINT)
        # Ctrl-C is how serving ends: done, not failed.
        assert p.wait(timeout=10) == 0
        assert p.stdout.read() == f"Stopped after {len(allowed)} deliveries.\n"
        assert p.stderr.read() == ""
    finally:
        p.kill()


def cut_fetch(url, origin):
    """A page that goes away after the first bytes of the trace."""
    parts = urllib.parse.urlsplit(url)
    with socket.socket() as s:
        # A small window: the server cannot have sent it all when this closes.
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.connect(("127.0.0.1", parts.port))
        s.sendall(f"GET {parts.path} HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: {origin}\r\n\r\n"
                  .encode())
        assert s.recv(1000).startswith(b"HTTP/1.0 200 OK")


# Cut while the file is still being sent, or once it all is on its way
# (sent, not yet taken in: a small window holds it up).
@pytest.mark.parametrize("size", [16 << 20, 32 << 10])
def test_open_once_waits_for_a_whole_delivery_to_a_page(tmp_path, size):
    # Nothing but a page that gets all of the trace ends it: not a cut
    # transfer, a refused page, a wrong address, or curl.
    path = tmp_path / "t.pftrace"
    data = os.urandom(size)
    path.write_bytes(data)
    p, url = morvex_open(str(path), "--once")
    try:
        cut_fetch(url, "http://localhost:3000")
        assert p.stdout.readline() == ("Not delivered to http://localhost:3000: the connection "
                                       "ended before the whole trace was sent.\n")
        assert fetch(url, "https://evil.example")[0] == 403
        assert fetch(url.replace("t.pftrace", "x"))[0] == 404
        assert fetch(url, None)[2] == data
        assert fetch(url, "http://127.0.0.1:3000")[2] == data
        assert p.wait(timeout=10) == 0
        lines = p.stdout.read().splitlines()
        assert lines[0].startswith("Refused ")
        assert lines[1:] == [f"Sent {path} to a client outside a web page (no Origin header).",
                             f"Delivered {path} to http://127.0.0.1:3000."]
        assert p.stderr.read() == ""
    finally:
        p.kill()


def test_ctrl_c_before_a_once_delivery_is_an_interruption(tmp_path):
    path = tmp_path / "t.json"
    path.write_text("[]")
    p, _ = morvex_open(str(path), "--once")
    try:
        p.send_signal(signal.SIGINT)
        assert p.wait(timeout=10) == 130
        assert p.stdout.read() == "" and p.stderr.read() == ""
    finally:
        p.kill()


def test_open_on_a_busy_port_says_so_in_one_line(tmp_path):
    path = tmp_path / "t.json"
    path.write_text("[]")
    with socket.socket() as holder:
        holder.bind(("127.0.0.1", 0))
        holder.listen()
        port = holder.getsockname()[1]
        r = run_command(MORVEX + ["open", str(path), "--no-browser", "--port", str(port)])
    assert r.returncode == 1
    assert r.stdout == ""
    assert r.stderr == (f"morvex: error: cannot serve the trace: port {port} is in use (by "
                        "another morvex open?); ui.perfetto.dev fetches traces only from port "
                        "9001, a local Perfetto UI from any port (--port)\n")


def test_run_open_serves_once_on_perfettos_port(tmp_path, monkeypatch):
    # A run ends by itself: it serves as `morvex open --once` does.
    calls = []
    monkeypatch.setattr("morvex._open.serve",
                        lambda *args, **kwargs: calls.append((args, kwargs)) or 0)
    monkeypatch.chdir(tmp_path)
    (tmp_path / "app.py").write_text("pass\n")
    assert cli_main(["morvex", "run", "--open", "-o", "t.json", "-f", "json", "app.py"]) == 0
    assert calls == [(("t.json", 9001),
                      {"browser": True, "once": True, "origins": ()})]


def test_help_of_every_subcommand(capsys):
    for command, words in (("report", "--sort <KEY>"), ("convert", "--to <KIND>"),
                           ("open", "--origin <URL>")):
        assert cli_main(["morvex", "help", command]) == 0
        assert words in capsys.readouterr().out


# ---- functions that share a name, and a generator, in every output ----

TWIN_A = "def parse(x):\n    return x + 1\n"
TWIN_B = "\n\ndef parse(x):\n    return x * 2\n"


def tokens(n):
    for i in range(n):
        yield i


@pytest.fixture(scope="module", params=["protobuf", "json"])
def twins(request, tmp_path_factory):
    """Two modules with a function `parse` each (at lines 1 and 3), imported
    while tracing, parse called 3 and 5 times, and a generator run to its
    end 4 times, yielding 10 values each."""
    import importlib.machinery
    import types
    root = tmp_path_factory.mktemp("twins")
    files = {}
    for name, text in (("twin_a", TWIN_A), ("twin_b", TWIN_B)):
        (root / name).mkdir()
        files[name] = str(root / name / "util.py")
        (root / name / "util.py").write_text(text)
    path = root / ("t.json" if request.param == "json" else "t.pftrace")

    def load(name):
        module = types.ModuleType(f"{name}_{request.param}")
        importlib.machinery.SourceFileLoader(module.__name__, files[name]).exec_module(module)
        return module

    with morvex.Tracer(str(path), request.param, lossless=True):
        a, b = load("twin_a"), load("twin_b")
        for i in range(3):
            a.parse(i)
        for i in range(5):
            b.parse(i)
        for _ in range(4):
            for _ in tokens(10):
                pass
    return path, files["twin_a"], files["twin_b"]


def test_same_named_functions_and_a_generator_in_the_report(twins):
    path, file_a, file_b = twins
    r = rows(path)
    parse_a = row(r, "parse", file=file_a)
    parse_b = row(r, "parse", file=file_b)
    assert (parse_a["line"], parse_a["calls"], parse_a["resumes"]) == (1, 3, 0)
    assert (parse_b["line"], parse_b["calls"], parse_b["resumes"]) == (3, 5, 0)
    gen = row(r, "tokens")
    # Each run: a start, then ten resumes, the last of which returns.
    assert (gen["calls"], gen["primitive_calls"], gen["resumes"]) == (4, 4, 40)
    assert gen["file"] == __file__ and gen["line"] == tokens.__code__.co_firstlineno
    for f in (file_a, file_b):
        assert row(r, "<module>", file=f)["calls"] == 1
    # Sorted by calls, the calls decide: 5 calls of parse come before 4 of tokens.
    by_calls = [x["function"] for x in rows(path, "--sort", "calls")]
    assert by_calls.index("parse") < by_calls.index("tokens")

    text = run_command(MORVEX + ["report", str(path), "--top", "0"],
                       env=environment(COLUMNS="250"), check=True).stdout
    table = text.splitlines()
    head = next(line for line in table if line.startswith("function "))
    assert head.split() == ["function", "location", "calls", "resumes", "total", "self", "mean",
                            "max"]

    def cells(name, location):
        (line,) = [x for x in table if x.split()[:2] == [name, location]]
        return line.split()[2:4]

    assert cells("parse", f"{file_a}:1") == ["3", "0"]
    assert cells("parse", f"{file_b}:3") == ["5", "0"]
    assert cells("tokens", f"{__file__}:{tokens.__code__.co_firstlineno}") == ["4", "40"]
    assert "Resumes: slices begun by resuming a generator" in text


def test_same_named_functions_and_a_generator_in_every_conversion(twins, tmp_path):
    path, file_a, file_b = twins
    gen_line = tokens.__code__.co_firstlineno
    # pstats: (file, line, name) keys, and print_stats shows file:line(name).
    out = tmp_path / "t.prof"
    assert cli_main(["morvex", "convert", str(path), "-o", str(out)]) == 0
    stats = pstats.Stats(str(out))
    assert stats.stats[(file_a, 1, "parse")][:2] == (3, 3)
    assert stats.stats[(file_b, 3, "parse")][:2] == (5, 5)
    assert stats.stats[(__file__, gen_line, "tokens")][:2] == (4, 4)
    assert not [k for k in stats.stats if k[0] == "~"]
    printed = io.StringIO()
    pstats.Stats(str(out), stream=printed).print_stats()
    for where in (f"{file_a}:1(parse)", f"{file_b}:3(parse)", f"{file_a}:1(<module>)",
                  f"{__file__}:{gen_line}(tokens)"):
        assert where in printed.getvalue()

    # Collapsed stacks: a frame per function, its self time the report's.
    self_ns = {(x["function"], x["file"], x["line"]): x["self_ns"] for x in rows(path)}
    out = tmp_path / "t.folded"
    assert cli_main(["morvex", "convert", str(path), "-o", str(out)]) == 0
    per_frame = {}
    for line in out.read_text().splitlines():
        stack, ns = line.rsplit(" ", 1)
        leaf = stack.split(";")[-1]
        per_frame[leaf] = per_frame.get(leaf, 0) + int(ns)
    assert per_frame[f"parse ({file_a}:1)"] == self_ns[("parse", file_a, 1)]
    assert per_frame[f"parse ({file_b}:3)"] == self_ns[("parse", file_b, 3)]
    assert per_frame[f"tokens ({__file__}:{gen_line})"] == self_ns[("tokens", __file__, gen_line)]

    # speedscope: a frame per function with its file and line; every slice
    # of the generator opens its frame.
    out = tmp_path / "t.speedscope.json"
    assert cli_main(["morvex", "convert", str(path), "-o", str(out)]) == 0
    doc = json.loads(out.read_text())
    frames = doc["shared"]["frames"]
    index = {(f["name"], f.get("file"), f.get("line")): i for i, f in enumerate(frames)}
    assert len(index) == len(frames)
    assert ("parse", file_a, 1) in index and ("parse", file_b, 3) in index
    gen_frame = index[("tokens", __file__, gen_line)]
    opens = sum(1 for p in doc["profiles"] for e in p["events"]
                if e["type"] == "O" and e["frame"] == gen_frame)
    assert opens == 4 + 40

    # SVG: one frame per function, titled with its location.
    out = tmp_path / "t.svg"
    assert cli_main(["morvex", "convert", str(path), "-o", str(out)]) == 0
    svg = out.read_text()
    assert svg.count("<g><title>parse\n") == 2
    assert f"<g><title>parse\n{file_a}:1\n" in svg and f"<g><title>parse\n{file_b}:3\n" in svg
    assert "calls 4, resumes 40</title>" in svg
