"""Whether a writer keeps up with one hot thread.

Traces a loop that calls an empty function for about a second under
morvex.Tracer(path, "json") (or a Perfetto trace, plain or compressed), then
reads the trace: the function events it holds and the count of its
dropped-events record. Also prints the CPU time of the traced thread and of
morvex's two writer threads during the loop, which says whether the writers
had a core to themselves. With several formats the runs take turns, so that
a change in the machine's load falls on all of them alike.

    python bench/bench_json_hot.py [--seconds S] [--output PATH] [--runs N]
                                   [--format json|protobuf|compress ...]
"""

import argparse
import json
import os
import re
import subprocess
import sys
import time

import morvex

EVENT_MARK = b'"cat":"py"'
DROPPED = re.compile(rb'\{"args":\{"count":(\d+)\},"name":"morvex_dropped_events"')


def tiny():
    pass


def hot_loop(seconds):
    calls = 0
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        for _ in range(1000):
            tiny()
        calls += 1000
    return calls


def thread_cpu():
    """{tid: (name, user seconds, system seconds)} for this process's threads."""
    tick = os.sysconf("SC_CLK_TCK")
    out = {}
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            with open(f"/proc/self/task/{tid}/comm") as f:
                name = f.read().strip()
        except OSError:  # the thread ended meanwhile
            continue
        out[tid] = (name, int(fields[11]) / tick, int(fields[12]) / tick)
    return out


def read_trace(path):
    """Function events in the trace, and the events it says were dropped."""
    events = 0
    keep = len(EVENT_MARK) - 1
    tail = b""
    with open(path, "rb") as f:
        # Counted in chunks: the trace runs to gigabytes.
        while chunk := f.read(1 << 24):
            data = tail + chunk
            events += data.count(EVENT_MARK)
            tail = data[-keep:]
        size = f.tell()
        # The end-of-run records are the last ones written.
        f.seek(max(0, size - (1 << 16)))
        found = DROPPED.search(f.read())
    return events, int(found.group(1)) if found else 0


def read_perfetto(path):
    """The same, for a Perfetto trace, as morvex's reader counts them."""
    out = subprocess.run([sys.executable, "-m", "morvex", "report", "--summary", "--json", path],
                         check=True, capture_output=True, text=True).stdout
    summary = json.loads(out)
    return summary["events"], summary["dropped"]


def run_once(path, seconds, fmt):
    options = {"compress": True} if fmt == "compress" else {}
    with morvex.Tracer(path, "json" if fmt == "json" else "protobuf", **options):
        before = thread_cpu()
        calls = hot_loop(seconds)
        after = thread_cpu()
    cpu = []
    for tid, (name, user, system) in sorted(after.items()):
        _, user0, system0 = before.get(tid, (name, 0, 0))
        if user - user0 + system - system0 > 0:
            cpu.append(f"{name} {user - user0:.2f}+{system - system0:.2f}")
    events, dropped = read_trace(path) if fmt == "json" else read_perfetto(path)
    size = os.path.getsize(path)
    os.unlink(path)
    share = 100 * dropped / max(1, events + dropped)
    print(f"{fmt:8s} {calls} calls: {events} events recorded, {dropped} dropped ({share:.1f}%),"
          f" {size / 1e6:.0f} MB")
    print("  CPU s (user+sys) during the loop: " + ", ".join(cpu))
    return dropped


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=1.0, help="length of the loop (1.0)")
    parser.add_argument("--output", default="/tmp/morvex_bench_json_hot.json",
                        help="trace file, removed after each run (%(default)s)")
    parser.add_argument("--runs", type=int, default=1, help="runs of each format (1)")
    parser.add_argument("--format", action="append", choices=("json", "protobuf", "compress"),
                        help="writer to load; repeat to take turns (json)")
    args = parser.parse_args()
    if args.seconds <= 0 or args.runs < 1:
        parser.error("--seconds must be positive and --runs at least 1")
    formats = args.format or ["json"]
    lossless = dict.fromkeys(formats, 0)
    for _ in range(args.runs):
        for fmt in formats:
            lossless[fmt] += run_once(args.output, args.seconds, fmt) == 0
    for fmt in formats:
        print(f"{fmt}: {lossless[fmt]} of {args.runs} runs lost nothing")


if __name__ == "__main__":
    main()
