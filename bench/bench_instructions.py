"""Instructions per event, counted by callgrind: the figure to hold changes
against on a shared machine, where times move with the load and these do
not.

    python bench/bench_instructions.py [--small N] [--large N] [--workload builtins]

Runs fib(small) and fib(large) under valgrind's callgrind, each thread
counted apart (--separate-threads=yes), untraced, under the two floors (an
empty builtin METH_FASTCALL callback and an empty object with its own
vectorcall slot, bench/floor) and under morvex in both formats, with
compressed protobuf and with C calls (c_calls=True: fib makes no C call,
but every call of it reports CALL) (lossless, so the writer threads handle
every event), and under cProfile (builtins included, as by default). The
difference between the two sizes, divided by the
difference in events, leaves out everything a run costs once (imports,
starting and finishing the trace). With --workload builtins the program
is a loop of N calls of a builtin (abs) instead, and the figures are per
call: what a C call costs with c_calls, and without. With the name of a
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
           "morvex compress", "morvex c-calls", "cprofile")


def builtins(n):
    for i in range(n):
        abs(i)


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def events(n):
    # fib(n) makes 2 * fib(n + 1) - 1 calls; each is a start and a return.
    return 2 * (2 * fib(n + 1) - 1)


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
    work = {"fib": fib, "builtins": builtins}.get(workload) or peers_steps(workload)
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
        # compress: a protobuf trace, deflated; c-calls: protobuf, with C calls.
        options = {"compress": {"compress": True}, "c-calls": {"c_calls": True}}.get(fmt, {})
        fmt = "protobuf" if fmt in ("compress", "c-calls") else fmt
        with morvex.Tracer(os.path.join(out_dir, f"t-{n}.{fmt}"), fmt, lossless=True, **options):
            work(n)
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
    ap.add_argument("--workload", choices=("fib", "builtins", *peers_workloads.BY_NAME),
                    default="fib", help="fib (the default), a loop of N calls of a builtin, "
                    "counted per call, or N steps of a bench_peers workload")
    ap.add_argument("--configs", help="comma-separated configurations (default: all)")
    a = ap.parse_args()
    configs = tuple(a.configs.split(",")) if a.configs else CONFIGS
    if configs[0] != "untraced" or not set(configs) <= set(CONFIGS):
        ap.error(f"--configs: untraced first, then any of {', '.join(CONFIGS[1:])}")
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
    per_event = {}
    for config in configs:
        small = measure(config, a.small, floor_dir, work, a.workload)
        large = measure(config, a.large, floor_dir, work, a.workload)
        per_event[config] = ((large[0] - small[0]) / n_events, (large[1] - small[1]) / n_events)
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
