"""Instructions per event, counted by callgrind: the figure to hold changes
against on a shared machine, where times move with the load and these do
not.

    python bench/bench_instructions.py [--small N] [--large N] [--workload builtins|async-tree|NAME]

Runs fib(small) and fib(large) under valgrind's callgrind, each thread
counted apart (--separate-threads=yes), untraced, under the two floors (an
empty builtin METH_FASTCALL callback and an empty object with its own
vectorcall slot, bench/floor) and under morvex in both formats, with
compressed protobuf, with C calls (c_calls=True: fib makes no C call,
but every call of it reports CALL) and with asyncio task tracks
(async_tasks=True) (lossless, so the writer threads handle every event),
and under cProfile (builtins included, as by default). The
difference between the two sizes, divided by the
difference in events, leaves out everything a run costs once (imports,
starting and finishing the trace). With --workload builtins the program
is a loop of N calls of a builtin (abs) instead, and the figures are per
call: what a C call costs with c_calls, and without. With async-tree it is
a tree of asyncio tasks --small and --large deep (like pyperformance's
async_tree; 4 and 5 make sense), counted per event as morvex protobuf
recorded them. With the name of a
workload of bench_peers.py (float, richards, ...) it runs that many steps
of it (--small 1 --large 2 makes sense), and the figures are per step, with
the traced thread's instructions as a multiple of the untraced run's. Per
event:
  - traced thread: instructions beyond the untraced run's;
  - background: every other thread's (morvex's exporter and serializer).
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
           "morvex compress", "morvex c-calls", "morvex tasks", "cprofile")


def builtins(n):
    for i in range(n):
        abs(i)


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


def peers_steps(workload):
    """n steps of a bench_peers workload, its inputs built and one step run
    before: what is measured is the steps alone."""
    import peers_workloads
    step = peers_workloads.prepare(peers_workloads.BY_NAME[workload])
    step()

    def steps(n):
        for _ in range(n):
            step()
    return steps


def child(config, n, floor_dir, out_dir, workload="fib"):
    """One measured run, inside valgrind."""
    if workload == "async-tree":
        import asyncio  # noqa: F401  imported before any measured run, as by a real program
    work = ({"fib": fib, "builtins": builtins, "async-tree": async_tree}.get(workload)
            or peers_steps(workload))
    if config == "untraced":
        work(n)
        return
    if config == "cprofile":
        import cProfile
        with cProfile.Profile(builtins=True):
            work(n)
        return
    if config.startswith("morvex"):
        import morvex
        fmt = config.split()[1]
        # compress: a protobuf trace, deflated; c-calls: protobuf, with C
        # calls; tasks: protobuf, with asyncio task tracks.
        options = {"compress": {"compress": True}, "c-calls": {"c_calls": True},
                   "tasks": {"async_tasks": True}}.get(fmt, {})
        fmt = fmt if fmt in ("protobuf", "json") else "protobuf"
        tracer = morvex.Tracer(os.path.join(out_dir, f"t-{n}.{fmt}"), fmt, lossless=True,
                               **options)
        with tracer:
            work(n)
        with open(os.path.join(out_dir, f"events-{config.replace(' ', '-')}-{n}"), "w") as f:
            f.write(str(tracer.events))
        return
    sys.path.insert(0, floor_dir)
    import _mvfloor
    from bench_overhead import as_profiler
    cb = _mvfloor.callback() if config == "builtin floor" else _mvfloor.vectorcall_callback()
    with as_profiler(cb):
        work(n)


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
    prefix = os.path.join(work, f"{config.replace(' ', '-')}-{workload}-{n}.out")
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
    import peers_workloads
    ap.add_argument("--workload",
                    choices=("fib", "builtins", "async-tree", *peers_workloads.BY_NAME),
                    default="fib", help="fib (the default), a loop of N calls of a builtin, "
                    "counted per call, a tree of asyncio tasks N deep, or N steps of a "
                    "bench_peers workload")
    ap.add_argument("--configs", help="comma-separated configurations (default: all)")
    a = ap.parse_args()
    configs = tuple(a.configs.split(",")) if a.configs else CONFIGS
    if configs[0] != "untraced" or not set(configs) <= set(CONFIGS):
        ap.error(f"--configs: untraced first, then any of {', '.join(CONFIGS[1:])}")
    if a.workload == "async-tree" and "morvex protobuf" not in configs:
        ap.error("--workload async-tree counts events as 'morvex protobuf' records them")
    if a.small >= a.large:
        ap.error("--small must be less than --large")
    from bench_overhead import build_floor
    work = tempfile.mkdtemp(prefix="mvinstr-")
    floor_dir = os.path.join(work, "floor")
    os.makedirs(floor_dir)
    build_floor(floor_dir)
    sys.path.remove(floor_dir)
    per_step = a.workload not in ("fib", "builtins")
    if per_step:
        n_events = a.large - a.small
        what = f"{a.small} to {a.large} steps of {a.workload}; instructions per step"
    elif a.workload == "builtins":
        n_events = a.large - a.small
        what = f"builtins({a.small}) to builtins({a.large}): {n_events:,} calls of abs apart; " \
               "instructions per call"
    else:
        n_events = events(a.large) - events(a.small)
        what = f"fib({a.small}) to fib({a.large}): {n_events:,} events apart; " \
               "instructions per event"
    measured = {config: (measure(config, a.small, floor_dir, work, a.workload),
                         measure(config, a.large, floor_dir, work, a.workload))
                for config in configs}
    if a.workload == "async-tree":
        def counted(n):
            with open(os.path.join(work, f"events-morvex-protobuf-{n}")) as f:
                return int(f.read())
        n_events = counted(a.large) - counted(a.small)
        what = f"async tree {a.small} to {a.large} deep: {n_events:,} events apart; " \
               "instructions per event"
    per_event = {config: ((large[0] - small[0]) / n_events, (large[1] - small[1]) / n_events)
                 for config, (small, large) in measured.items()}
    base = per_event["untraced"][0]
    floor = per_event["builtin floor"][0] - base if "builtin floor" in per_event else None
    print(f"Python {sys.version.split()[0]}, {what}")
    print(f"  {'':18s} {'traced thread':>14s} "
          f"{'x untraced' if per_step else 'x builtin floor':>16s} {'background':>11s}")
    for config in configs[1:]:
        traced, background = per_event[config]
        traced -= base
        if per_step:
            traced += base  # the whole step's, as a multiple of the untraced one's
            ratio = f"{traced / base:15.2f}x"
        else:
            ratio = f"{traced / floor:16.2f}" if floor else f"{'':16s}"
        print(f"  {config:18s} {traced:14.1f} {ratio} {background:11.1f}")


if __name__ == "__main__":
    main()
