"""What the opt-in features cost, and what they save. Targets, on a quiet
machine (ratios measured in one run):

  filters      a hot path in an excluded module: <= 1.10x untraced after
               warm-up (the interpreter stops calling for excluded code);
               min_duration="100us" on a call-heavy workload: a file >= 20x
               smaller than unfiltered, wall time within 10%, nothing dropped
  lossless     16 threads in tight call loops: nothing dropped in either
               format; prints the slowdown next to the default mode
  annotations  morvex.instant when no trace runs: <= 100 ns a call
  threads      thread starts under a trace: the time per 1,000 starts does
               not grow with the number of threads started before

    python bench/bench_features.py [filters|lossless|annotations|threads]...

Every run is in this process, best of ROUNDS (default 5) where timed.
"""

import os
import sys
import tempfile
import textwrap
import threading
import time

import morvex

ROUNDS = int(os.environ.get("ROUNDS", "5"))
OUT = tempfile.mkdtemp(prefix="mvfeatures-")


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def best(fn, rounds=ROUNDS):
    times = []
    for _ in range(rounds):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def traced(fn, fmt="protobuf", **options):
    """Wall time of fn under a trace (the trace's finishing excluded), the
    file's size and the events it says were dropped."""
    path = os.path.join(OUT, "t." + ("json" if fmt == "json" else "pftrace"))
    tracer = morvex.Tracer(path, fmt, **options)
    tracer.start()
    t0 = time.perf_counter()
    fn()
    elapsed = time.perf_counter() - t0
    tracer.stop()
    return elapsed, os.path.getsize(path), dropped(path, fmt)


def dropped(path, fmt):
    data = open(path, "rb").read()
    if fmt == "json":
        marker = b'"name":"morvex_dropped_events"'
        if marker not in data:
            return 0
        start = data.rfind(b'{"args":{"count":', 0, data.index(marker))
        return int(data[start + 17:data.index(b"}", start)])
    at = data.rfind(b"morvex: ")
    if at < 0 or b"events dropped" not in data[at:at + 60]:
        return 0
    return int(data[at + 8:data.index(b" ", at + 8)])


def filters():
    root = tempfile.mkdtemp(prefix="mvhot-")
    with open(os.path.join(root, "hotmod.py"), "w") as f:
        f.write(textwrap.dedent("""
            def leaf(x):
                return x + 1

            def hot(n):
                total = 0
                for i in range(n):
                    total += leaf(i)
                return total
        """))
    sys.path.insert(0, root)
    import hotmod

    def work():
        hotmod.hot(2_000_000)

    work()
    base = best(work)
    excluded = min(traced(work, exclude="hotmod")[0] for _ in range(ROUNDS))
    full = min(traced(work)[0] for _ in range(ROUNDS))
    print(f"filters: a hot loop in an excluded module ({2_000_000:,} calls)")
    print(f"  untraced {base * 1e3:7.1f} ms   excluded {excluded * 1e3:7.1f} ms "
          f"({excluded / base:.2f}x; target <= 1.10x)   traced {full * 1e3:7.1f} ms "
          f"({full / base:.2f}x)")

    def calls():
        for _ in range(40):
            fib(18)
        time.sleep(0.002)  # a few slices that last

    runs = {"unfiltered": {}, 'min_duration="100us"': {"min_duration": "100us"}}
    results = {name: min((traced(calls, **o) for _ in range(ROUNDS)), key=lambda r: r[0])
               for name, o in runs.items()}
    (t_all, size_all, drop_all), (t_min, size_min, drop_min) = results.values()
    print("filters: a call-heavy workload (40 x fib(18))")
    print(f"  unfiltered        {t_all * 1e3:7.1f} ms  {size_all:>12,} bytes  dropped {drop_all}")
    print(f'  min_duration=100us {t_min * 1e3:6.1f} ms  {size_min:>12,} bytes  dropped {drop_min}'
          f"   ({size_all / max(size_min, 1):.0f}x smaller, target >= 20x; wall "
          f"{t_min / t_all:.2f}x, target <= 1.10x)")


def lossless():
    def work():
        for _ in range(30):
            fib(17)

    def threads():
        ts = [threading.Thread(target=work) for _ in range(16)]
        for t in ts:
            t.start()
        for t in ts:
            t.join()

    base = best(threads, rounds=3)
    print(f"lossless: 16 threads x 30 x fib(17) ({16 * 30 * 2 * 5167:,} events); untraced "
          f"{base * 1e3:.0f} ms")
    for fmt in ("protobuf", "json"):
        for lossless_ in (False, True):
            t, size, lost = min((traced(threads, fmt, lossless=lossless_) for _ in range(3)),
                                key=lambda r: r[0])
            print(f"  {fmt:8} {'lossless' if lossless_ else 'default ':8}  {t * 1e3:7.0f} ms "
                  f"({t / base:.2f}x untraced)  dropped {lost:>9,}")


def annotations():
    n = 1_000_000
    instant = morvex.instant

    def calls():
        for _ in range(n):
            instant("x")

    def loop():
        for _ in range(n):
            pass

    per_call = (best(calls) - best(loop)) / n
    print(f"annotations: morvex.instant with no trace running: {per_call * 1e9:.0f} ns a call "
          f"(target <= 100 ns)")


def threads():
    path = os.path.join(OUT, "threads.pftrace")

    def leaf():
        return 1

    print("threads: time per 1,000 thread starts under a trace, as threads accumulate")
    with morvex.Tracer(path):
        for block in range(20):
            t0 = time.perf_counter()
            for _ in range(1000):
                t = threading.Thread(target=leaf)
                t.start()
                t.join()
            if block % 4 == 0 or block == 19:
                print(f"  after {(block + 1) * 1000:6,} threads: "
                      f"{(time.perf_counter() - t0) * 1e3:6.0f} ms")


SECTIONS = {"filters": filters, "lossless": lossless, "annotations": annotations,
            "threads": threads}

if __name__ == "__main__":
    wanted = sys.argv[1:] or list(SECTIONS)
    print(f"Python {sys.version.split()[0]}, best of {ROUNDS}")
    for name in wanted:
        SECTIONS[name]()
