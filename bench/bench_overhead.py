"""Per-event overhead of morvex next to the floor: an empty C METH_FASTCALL
callback registered with sys.monitoring for the same six events, and an
empty object with its own vectorcall slot (the cheaper way in, which morvex's
callbacks take). Two more reference callbacks add what any timestamping
tracer must do per event (read the counter, store 8 bytes), to show how much
of the gap is that.

Wall time is the traced thread's; process CPU adds every thread's, morvex's
writer threads included, counted until the trace is finished: on a machine
with no spare CPU that is what the program pays.

    python bench/bench_overhead.py [N]

Builds the floor extension next to itself (with the interpreter's own
compiler settings), then, in this one process, times fib(N) untraced, under
the floor callbacks, and under morvex (both formats), alternating rounds and
keeping the best of each. Overhead per event = (traced - untraced) / events.
"""

import contextlib
import os
import subprocess
import sys
import sysconfig
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
EVENTS = ("PY_START", "PY_RETURN", "PY_YIELD", "PY_RESUME", "PY_UNWIND", "PY_THROW")


def build_floor(out_dir=None):
    """Builds the floor extension into out_dir (a new temporary directory by
    default), puts that directory first on sys.path and returns the module."""
    out_dir = out_dir or tempfile.mkdtemp(prefix="mvfloor-")
    target = os.path.join(out_dir, "_mvfloor" + sysconfig.get_config_var("EXT_SUFFIX"))
    cc = os.environ.get("CC", "cc")
    subprocess.run([cc, "-O2", "-shared", "-fPIC", "-I", sysconfig.get_paths()["include"],
                    os.path.join(HERE, "floor", "_mvfloor.c"), "-o", target], check=True)
    sys.path.insert(0, out_dir)
    import _mvfloor
    return _mvfloor


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def calls(n):
    return 1 if n < 2 else 1 + calls(n - 1) + calls(n - 2)


def timed(n):
    t0 = time.perf_counter()
    fib(n)
    return time.perf_counter() - t0


def with_cpu(run):
    """(wall time of fib, process CPU from before the setup to after the
    teardown) of one run."""
    c0 = time.process_time()
    wall = run()
    return wall, time.process_time() - c0


@contextlib.contextmanager
def as_profiler(cb):
    """`cb` registered with sys.monitoring as the profiler for the six events."""
    mon = sys.monitoring
    tool = mon.PROFILER_ID
    mon.use_tool_id(tool, "bench")
    mask = 0
    for name in EVENTS:
        bit = getattr(mon.events, name)
        mon.register_callback(tool, bit, cb)
        mask |= bit
    mon.set_events(tool, mask)
    try:
        yield
    finally:
        mon.set_events(tool, 0)
        for name in EVENTS:
            mon.register_callback(tool, getattr(mon.events, name), None)
        mon.free_tool_id(tool)


def under_callback(cb, n):
    """fib(n) with `cb` registered as the profiler for the six events."""
    with as_profiler(cb):
        return timed(n)


def under_cprofile(n):
    import cProfile
    prof = cProfile.Profile()
    prof.enable()
    try:
        return timed(n)
    finally:
        prof.disable()


def under_morvex(n, fmt, path, **options):
    import morvex
    with morvex.Tracer(path, fmt, **options):
        return timed(n)


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 27
    rounds = int(os.environ.get("ROUNDS", "7"))
    floor = build_floor()
    events = 2 * calls(n)
    out = tempfile.mkdtemp(prefix="mvbench-")
    best = {}
    best_cpu = {}
    runs = {
        "untraced": lambda: timed(n),
        "floor (empty C callback)": lambda: under_callback(floor.callback(), n),
        "vectorcall floor": lambda: under_callback(floor.vectorcall_callback(), n),
        "floor + counter + store": lambda: under_callback(floor.stamp_callback(), n),
        "vectorcall + counter + store": lambda: under_callback(floor.vectorcall_stamp_callback(), n),
        "morvex protobuf": lambda: under_morvex(n, "protobuf", os.path.join(out, "t.pftrace")),
        "morvex json": lambda: under_morvex(n, "json", os.path.join(out, "t.json")),
        "morvex protobuf, spooled": lambda: under_morvex(n, "protobuf", os.path.join(out, "s.pftrace"),
                                                         spool=True),
        "Python no-op callback": lambda: under_callback(lambda *args: None, n),
        "cProfile": lambda: under_cprofile(n),
    }
    timed(n)  # warm up
    for _ in range(rounds):
        for name, run in runs.items():
            wall, cpu = with_cpu(run)
            best[name] = min(best.get(name, float("inf")), wall)
            best_cpu[name] = min(best_cpu.get(name, float("inf")), cpu)
    base, base_cpu = best["untraced"], best_cpu["untraced"]
    print(f"Python {sys.version.split()[0]}, fib({n}): {events:,} events, best of {rounds}")
    print(f"  {'':30s} {'wall':>9s} {'process CPU':>12s}   overhead per event: wall, CPU")
    per_event, per_event_cpu = {}, {}
    for name, t in best.items():
        per_event[name] = (t - base) / events * 1e9
        per_event_cpu[name] = (best_cpu[name] - base_cpu) / events * 1e9
        extra = ("" if name == "untraced" else
                 f"   {per_event[name]:6.1f} ns, {per_event_cpu[name]:6.1f} ns")
        print(f"  {name:30s} {t * 1e3:6.1f} ms {best_cpu[name] * 1e3:9.1f} ms{extra}")
    floor_ns = per_event["floor (empty C callback)"]
    floor_cpu = per_event_cpu["floor (empty C callback)"]
    for name in list(runs)[2:]:
        print(f"  {name}: {per_event[name] / floor_ns:.2f}x the floor in wall time, "
              f"{per_event_cpu[name] / floor_cpu:.2f}x in CPU")


if __name__ == "__main__":
    main()
