"""Instructions per event, counted by callgrind: the figure to hold changes
against on a shared machine, where times move with the load and these do
not.

    python bench/bench_instructions.py [--small N] [--large N] [--async-tree]

Runs fib(small) and fib(large) under valgrind's callgrind, each thread
counted apart (--separate-threads=yes), untraced, under the two floors (an
empty builtin METH_FASTCALL callback and an empty object with its own
vectorcall slot, bench/floor) and under morvex in both formats and with
compressed protobuf (lossless, so the writer threads handle every event). The difference between the two
sizes, divided by the difference in events, leaves out everything a run
costs once (imports, starting and finishing the trace). Per event:
  - traced thread: instructions beyond the untraced run's;
  - background: every other thread's (morvex's exporter and serializer).
"morvex tasks" is protobuf with async_tasks=True. With --async-tree the
program is a tree of asyncio tasks instead of fib (like pyperformance's
async_tree: every node gathers three children, each leaf sleeps once and
computes a little), sized by its depth, and the events are the ones the
protobuf run counted.
"""

import argparse
import glob
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CONFIGS = ("untraced", "builtin floor", "vectorcall floor", "morvex protobuf", "morvex json",
           "morvex compress", "morvex tasks")


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def events(n):
    # fib(n) makes 2 * fib(n + 1) - 1 calls; each is a start and a return.
    return 2 * (2 * fib(n + 1) - 1)


async def tree(depth):
    import asyncio
    if depth == 0:
        await asyncio.sleep(0)
        return fib(6)
    return sum(await asyncio.gather(*(tree(depth - 1) for _ in range(3))))


def async_tree(depth):
    import asyncio
    asyncio.run(tree(depth))


def child(config, n, floor_dir, out_dir, workload):
    """One measured run, inside valgrind."""
    if workload == "async":
        import asyncio  # noqa: F401  imported before any measured run, as by a real program
    program = async_tree if workload == "async" else fib
    if config == "untraced":
        program(n)
        return
    if config.startswith("morvex"):
        import morvex
        fmt = config.split()[1]
        # compress: a protobuf trace, deflated; tasks: with async_tasks.
        options = {"compress": {"compress": True}, "tasks": {"async_tasks": True}}.get(fmt, {})
        fmt = fmt if fmt in ("protobuf", "json") else "protobuf"
        tracer = morvex.Tracer(os.path.join(out_dir, f"t-{n}.{fmt}"), fmt, lossless=True,
                               **options)
        with tracer:
            program(n)
        with open(os.path.join(out_dir, f"events-{config.replace(' ', '-')}-{n}"), "w") as f:
            f.write(str(tracer.events))
        return
    sys.path.insert(0, floor_dir)
    import _mvfloor
    from bench_overhead import as_profiler
    cb = _mvfloor.callback() if config == "builtin floor" else _mvfloor.vectorcall_callback()
    with as_profiler(cb):
        program(n)


def thread_totals(prefix):
    """Instructions per thread of one callgrind run: {thread number: count}."""
    totals = {}
    for path in glob.glob(prefix + "*"):
        m = re.search(r"-(\d+)$", path)
        if not m:
            continue
        with open(path) as f:
            for line in f:
                if line.startswith("summary:") or line.startswith("totals:"):
                    totals[int(m.group(1))] = int(line.split()[1])
                    break
    return totals


def measure(config, n, floor_dir, work, workload):
    prefix = os.path.join(work, f"{config.replace(' ', '-')}-{n}.out")
    subprocess.run(
        ["valgrind", "--tool=callgrind", "--separate-threads=yes", "--quiet",
         f"--callgrind-out-file={prefix}.%p", sys.executable, os.path.abspath(__file__),
         "--child", config, str(n), floor_dir, work, workload],
        check=True,
        # A fixed hash seed: string hashing otherwise moves the count a little
        # from run to run.
        env=dict(os.environ, PYTHONHASHSEED="0",
                 PYTHONPATH=HERE + os.pathsep + os.environ.get("PYTHONPATH", "")))
    totals = thread_totals(prefix + ".")
    main = totals.get(1, 0)
    return main, sum(v for k, v in totals.items() if k != 1)


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5], sys.argv[6])
        return
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--small", type=int, default=20, help="the smaller fib (default 20)")
    ap.add_argument("--large", type=int, default=22, help="the larger fib (default 22)")
    ap.add_argument("--async-tree", action="store_true",
                    help="a tree of asyncio tasks, --small and --large deep (default 4 and 5)")
    a = ap.parse_args()
    workload = "async" if a.async_tree else "fib"
    if a.async_tree and (a.small, a.large) == (20, 22):
        a.small, a.large = 4, 5
    if a.small >= a.large:
        ap.error("--small must be less than --large")
    from bench_overhead import build_floor
    work = tempfile.mkdtemp(prefix="mvinstr-")
    floor_dir = os.path.join(work, "floor")
    os.makedirs(floor_dir)
    build_floor(floor_dir)
    sys.path.remove(floor_dir)
    measured = {}
    for config in CONFIGS:
        measured[config] = (measure(config, a.small, floor_dir, work, workload),
                            measure(config, a.large, floor_dir, work, workload))
    if a.async_tree:
        def counted(n):
            with open(os.path.join(work, f"events-morvex-protobuf-{n}")) as f:
                return int(f.read())
        n_events = counted(a.large) - counted(a.small)
    else:
        n_events = events(a.large) - events(a.small)
    per_event = {config: ((large[0] - small[0]) / n_events, (large[1] - small[1]) / n_events)
                 for config, (small, large) in measured.items()}
    base = per_event["untraced"][0]
    floor = per_event["builtin floor"][0] - base
    sizes = (f"async tree {a.small} to {a.large} deep" if a.async_tree
             else f"fib({a.small}) to fib({a.large})")
    print(f"Python {sys.version.split()[0]}, {sizes}: "
          f"{n_events:,} events apart; instructions per event")
    print(f"  {'':18s} {'traced thread':>14s} {'x builtin floor':>16s} {'background':>11s}")
    for config in CONFIGS[1:]:
        traced, background = per_event[config]
        traced -= base
        print(f"  {config:18s} {traced:14.1f} {traced / floor:16.2f} {background:11.1f}")


if __name__ == "__main__":
    main()
