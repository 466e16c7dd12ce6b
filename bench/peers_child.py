"""One run of bench_peers.py: a workload under one configuration, in a
process of its own, started by bench_peers.py.

    python bench/peers_child.py --config morvex-pb --workload richards \\
        --iterations 2 --trace T --result R.json [--floor-dir D] [--viztracer-entries N]

Builds the workload's inputs, runs one step untraced to warm up, starts the
tool, times the workload alone, stops the tool (timed apart: for the tracers
that is writing out the trace) and writes {"run_s", "exit_s", "start_s", ...}
to the result file, with the CPU time all the process's threads spent during
run_s (cpu_s; the main thread's alone: main_cpu_s). Start-up, imports and
warm-up are never in run_s.
"""

import argparse
import contextlib
import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import peers_workloads  # noqa: E402


def _reference(callback):
    """A profiler from one of _mvfloor's callbacks ("callback" or "stamp_callback")."""
    def make(args):
        import bench_overhead
        sys.path.insert(0, args.floor_dir)
        import _mvfloor
        return bench_overhead.as_profiler(getattr(_mvfloor, callback)())
    return make


def _morvex(fmt, **options):
    def make(args):
        import morvex
        return morvex.Tracer(args.trace, fmt, **options)
    return make


def _cprofile(_):
    import cProfile
    return cProfile.Profile()


@contextlib.contextmanager
def _yappi(_):
    import yappi
    yappi.start()
    try:
        yield
    finally:
        yappi.stop()


def _pyinstrument(_):
    import pyinstrument
    return pyinstrument.Profiler()


def _viztracer(big):
    def make(args):
        from viztracer import VizTracer
        # The settings `viztracer script.py` uses when it saves (a raw dump
        # from C, no source files embedded); tracing itself is the default.
        kwargs = dict(verbose=0, output_file=args.trace, dump_raw=True, file_info=False)
        if big:
            kwargs["tracer_entries"] = args.viztracer_entries
        return VizTracer(**kwargs)
    return make


# id: (label in the report, tool factory, extension of its trace file or None)
CONFIGS = {
    "untraced": ("untraced", lambda _: contextlib.nullcontext(), None),
    "floor": ("floor (empty C callback)", _reference("callback"), None),
    # What any timestamping tracer must add to the floor: the least morvex can cost.
    "stamp": ("floor + counter + store", _reference("stamp_callback"), None),
    "morvex-pb": ("morvex protobuf", _morvex("protobuf"), ".pftrace"),
    "morvex-json": ("morvex json", _morvex("json"), ".json"),
    # The writer threads only set the events aside; the trace is written at the exit.
    "morvex-spool": ("morvex protobuf, spooled", _morvex("protobuf", spool=True), ".pftrace"),
    # Deflated bundles, incremental timestamps.
    "morvex-compress": ("morvex protobuf, compressed", _morvex("protobuf", compress=True),
                        ".pftrace"),
    # C calls as slices too: what cProfile shows by default (builtins=True).
    "morvex-c-calls": ("morvex protobuf, C calls", _morvex("protobuf", c_calls=True),
                       ".pftrace"),
    # Each asyncio task's steps on a track of its own (these workloads run none).
    "morvex-tasks": ("morvex protobuf, task tracks", _morvex("protobuf", async_tasks=True),
                     ".pftrace"),
    "cprofile": ("cProfile", _cprofile, None),
    "yappi": ("yappi", _yappi, None),
    "pyinstrument": ("pyinstrument", _pyinstrument, None),
    "viztracer": ("viztracer, 1M buffer", _viztracer(False), ".json"),
    "viztracer-big": ("viztracer, big buffer", _viztracer(True), ".json"),
}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--config", required=True, choices=CONFIGS)
    parser.add_argument("--workload", required=True, choices=peers_workloads.BY_NAME)
    parser.add_argument("--iterations", type=int, required=True)
    parser.add_argument("--trace", help="trace file of the tools that write one")
    parser.add_argument("--result", required=True)
    parser.add_argument("--floor-dir", help="directory holding the built _mvfloor extension")
    parser.add_argument("--viztracer-entries", type=int, default=0)
    args = parser.parse_args(argv)

    step = peers_workloads.prepare(peers_workloads.BY_NAME[args.workload])
    iterations = range(args.iterations)
    step()
    tool = CONFIGS[args.config][1](args)

    t0 = time.perf_counter()
    tool.__enter__()
    c1, m1 = time.process_time(), time.thread_time()
    t1 = time.perf_counter()
    for _ in iterations:
        step()
    t2 = time.perf_counter()
    c2, m2 = time.process_time(), time.thread_time()
    tool.__exit__(None, None, None)
    t3 = time.perf_counter()

    with open(args.result, "w") as f:
        json.dump({"start_s": t1 - t0, "run_s": t2 - t1, "exit_s": t3 - t2,
                   "cpu_s": c2 - c1, "main_cpu_s": m2 - m1, "vm_hwm_kib": peak_rss_kib()}, f)


def peak_rss_kib():
    """This process's own high-water mark, to cross-check the parent's wait4 figure."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return None


if __name__ == "__main__":
    main()
