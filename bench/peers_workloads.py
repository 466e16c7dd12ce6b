"""The workloads of bench_peers.py: benchmarks from the `pyperformance`
package (its benchmark sources ship as data files, bm_<name>/run_benchmark.py)
and fib(27), each as one step of work repeated a fixed number of times.

Each step calls a benchmark's own core function directly, never pyperf's
runner, so the benchmark child process controls start-up, warm-up and timing.
The counts keep each workload near 0.1-0.3 s untraced (CPython 3.13 on a
2-core x86-64 VM) and under about 4.5 million Python events, so that a
trace in the JSON format stays under about a gigabyte.
"""

import argparse
import types
import os
from dataclasses import dataclass
from typing import Callable


@dataclass(frozen=True)
class Workload:
    name: str
    iterations: int
    step: str  # what one iteration does, for the report
    # Given the loaded benchmark module (None for our own), returns one step.
    make: Callable[[object], Callable[[], object]]
    bm: str | None = None  # pyperformance benchmark directory, bm_<bm>


def benchmarks_dir():
    try:
        import pyperformance
    except ImportError:
        raise SystemExit("error: the pyperformance package is not installed "
                         "(tools/bench-peers.sh installs it)") from None
    return os.path.join(os.path.dirname(pyperformance.__file__), "data-files", "benchmarks")


def load_benchmark(bm):
    path = os.path.join(benchmarks_dir(), "bm_" + bm, "run_benchmark.py")
    module = types.ModuleType("bm_" + bm)
    module.__file__ = path
    with open(path, encoding="utf-8") as f:
        exec(compile(f.read(), path, "exec"), module.__dict__)
    return module


def _richards(m):
    def step():
        if not m.Richards().run(1):
            raise AssertionError("richards computed a wrong result")
    return step


class _CapturingRunner:
    """Stands in for pyperf.Runner where a benchmark builds its inputs inside
    main(runner, args): keeps the function it would have timed."""

    def __init__(self):
        self.metadata = {}
        self.step = None

    def bench_func(self, name, func, *args):
        self.step = lambda: func(*args)


def _chaos(m):
    runner = _CapturingRunner()
    args = argparse.Namespace(thickness=m.DEFAULT_THICKNESS, width=m.DEFAULT_WIDTH,
                              height=m.DEFAULT_HEIGHT, iterations=m.DEFAULT_ITERATIONS,
                              filename=None, rng_seed=m.DEFAULT_RNG_SEED)
    m.main(runner, args)
    return runner.step


def _fib(_):
    import bench_overhead
    return lambda: bench_overhead.fib(27)


WORKLOADS = [
    Workload("fib", 3, "fib(27)", _fib),
    Workload("richards", 3, "Richards().run(1)", _richards, "richards"),
    Workload("raytrace", 1, "bench_raytrace at 72x72",
             lambda m: lambda: m.bench_raytrace(1, 72, 72, None), "raytrace"),
    Workload("go", 1, "versus_cpu()", lambda m: m.versus_cpu, "go"),
    Workload("chaos", 1, "create_image_chaos, default size", _chaos, "chaos"),
    Workload("generators", 1, "bench_generators(1)",
             lambda m: lambda: m.bench_generators(1), "generators"),
    Workload("nqueens", 1, "bench_n_queens(8)", lambda m: lambda: m.bench_n_queens(8), "nqueens"),
    Workload("deltablue", 40, "delta_blue(100)", lambda m: lambda: m.delta_blue(100), "deltablue"),
    Workload("hexiom", 30, "main(1, level 25)",
             lambda m: lambda: m.main(1, m.DEFAULT_LEVEL), "hexiom"),
    Workload("float", 2, "benchmark(100000 points)", lambda m: lambda: m.benchmark(m.POINTS),
             "float"),
    Workload("coroutines", 6, "bench_coroutines(1)",
             lambda m: lambda: m.bench_coroutines(1), "coroutines"),
]

BY_NAME = {w.name: w for w in WORKLOADS}


def prepare(workload):
    """One step of the workload, ready to call, with its inputs built."""
    module = load_benchmark(workload.bm) if workload.bm else None
    return workload.make(module)
