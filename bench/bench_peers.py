"""Per-event overhead of morvex on real programs, side by side with the
sys.monitoring floor and with other Python tracers and profilers.

    python bench/bench_peers.py [--reps N] [--workloads a,b] [--configs a,b]
                                [--quick] [--json PATH] [--keep-traces DIR]

Every run is a fresh process (bench/peers_child.py) that times one workload
under one configuration; only the workload is timed, never start-up, imports,
warm-up or the tool's exit. Repetitions go round-robin over the
configurations and the best time of each is kept. tools/bench-peers.sh sets
up the environment this needs (`make bench-peers`).
"""

import argparse
import importlib
import json
import math
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import bench_overhead  # noqa: E402
import peers_workloads  # noqa: E402
from peers_child import CONFIGS  # noqa: E402

CHILD = os.path.join(HERE, "peers_child.py")
MORVEX = ("morvex-pb", "morvex-json", "morvex-spool", "morvex-compress")
# Configurations whose added cost is compared with the floor's. With C calls
# morvex records more than the Python events the others count.
OVER_FLOOR = ("stamp",) + MORVEX + ("morvex-c-calls", "morvex-tasks")
READER = os.path.join(HERE, "peers_traces.py")
# The reader of each configuration's trace (see peers_traces.py).
READERS = {"morvex-pb": "morvex-pb", "morvex-json": "morvex-json", "morvex-spool": "morvex-pb",
           "morvex-compress": "morvex-pb", "morvex-c-calls": "morvex-pb",
           "morvex-tasks": "morvex-pb",
           "viztracer": "viztracer", "viztracer-big": "viztracer"}
# What each configuration needs importable besides the workloads.
MODULES = {"morvex-pb": "morvex", "morvex-json": "morvex", "morvex-spool": "morvex",
           "morvex-compress": "morvex", "morvex-c-calls": "morvex", "morvex-tasks": "morvex",
           "yappi": "yappi",
           "pyinstrument": "pyinstrument", "viztracer": "viztracer",
           "viztracer-big": "viztracer"}


def parse_args(argv):
    p = argparse.ArgumentParser(
        description="Times real workloads untraced, under the sys.monitoring floor, under "
                    "morvex (both formats) and under cProfile, yappi, pyinstrument and viztracer.",
        epilog=f"workloads: {', '.join(peers_workloads.BY_NAME)}; "
               f"configurations: {', '.join(CONFIGS)}")
    p.add_argument("--reps", type=int, help="runs of each configuration; the best counts "
                   "(default 3, 1 with --quick)")
    p.add_argument("--workloads", help="comma-separated workloads (default: all; richards "
                   "with --quick)")
    p.add_argument("--configs", help="comma-separated configurations (default: all; "
                   "untraced is always run)")
    p.add_argument("--scale", type=int, default=1,
                   help="multiply every workload's iterations by this (default 1)")
    p.add_argument("--quick", action="store_true",
                   help="a smoke run: one workload, one repetition")
    p.add_argument("--viztracer-entries", type=int, default=20_000_000,
                   help="buffer of the big-buffer viztracer run (default 20,000,000)")
    p.add_argument("--json", metavar="PATH", help="also write the results as JSON ('-' for "
                   "standard output, which then carries nothing else)")
    p.add_argument("--keep-traces", metavar="DIR",
                   help="keep every trace file in DIR (by default each is deleted once read)")
    args = p.parse_args(argv)
    if args.reps is None:
        args.reps = 1 if args.quick else 3
    default_workloads = "richards" if args.quick else ",".join(peers_workloads.BY_NAME)
    args.workloads = _choose(p, "workload", args.workloads or default_workloads,
                             peers_workloads.BY_NAME)
    configs = _choose(p, "configuration", args.configs or ",".join(CONFIGS), CONFIGS)
    args.configs = ["untraced"] + [c for c in configs if c != "untraced"]
    if args.reps < 1 or args.scale < 1 or args.viztracer_entries < 1:
        p.error("--reps, --scale and --viztracer-entries take positive numbers")
    return args


def _choose(parser, what, text, known):
    names = [n.strip() for n in text.split(",") if n.strip()]
    unknown = [n for n in names if n not in known]
    if unknown or not names:
        parser.error(f"unknown {what} {', '.join(unknown) or '(none given)'}; "
                     f"choose from {', '.join(known)}")
    return list(dict.fromkeys(names))


def _importable(name):
    try:
        importlib.import_module(name)
    except ImportError:
        return False
    return True


def check_imports(configs):
    needed = {MODULES[c] for c in configs if c in MODULES} | {"pyperf"}
    missing = sorted(m for m in needed if not _importable(m))
    peers_workloads.benchmarks_dir()
    if missing:
        sys.exit(f"error: {', '.join(missing)} not installed in {sys.prefix} "
                 "(tools/bench-peers.sh installs them)")


def versions():
    from importlib import metadata
    found = {}
    for dist in ("morvex", "pyperformance", "yappi", "pyinstrument", "viztracer"):
        try:
            found[dist] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            pass
    return found


def child_env():
    # A stray trace of the benchmark's own would make every child join it.
    env = {k: v for k, v in os.environ.items() if not k.startswith("MORVEX_")}
    env["PYTHONHASHSEED"] = "0"  # the same work in every run
    return env


def run_child(args, workload, config, trace, work_dir, floor_dir):
    """Runs one child; returns its result dict with peak RSS, or an error."""
    result_path = os.path.join(work_dir, "result.json")
    log_path = os.path.join(work_dir, "child.log")
    for path in (result_path, trace):
        if path and os.path.exists(path):
            os.unlink(path)
    argv = [sys.executable, CHILD, "--config", config, "--workload", workload.name,
            "--iterations", str(workload.iterations * args.scale), "--result", result_path,
            "--floor-dir", floor_dir, "--viztracer-entries", str(args.viztracer_entries)]
    if trace:
        argv += ["--trace", trace]
    actions = [(os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
               (os.POSIX_SPAWN_OPEN, 1, log_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644),
               (os.POSIX_SPAWN_DUP2, 1, 2)]
    # Linux counts the spawning process's peak RSS into the child's ru_maxrss.
    parent_peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    pid = os.posix_spawn(sys.executable, argv, child_env(), file_actions=actions)
    _, status, usage = os.wait4(pid, 0)
    code = os.waitstatus_to_exitcode(status)
    if code != 0 or not os.path.exists(result_path):
        with open(log_path, errors="replace") as f:
            tail = f.read()[-2000:]
        return {"error": f"exit status {code}:\n{tail}"}
    with open(result_path) as f:
        result = json.load(f)
    result["max_rss_kib"] = usage.ru_maxrss
    result["parent_max_rss_kib"] = parent_peak
    # No higher than the parent's: the figure may be the parent's, so the
    # child's own high-water mark stands in.
    result["rss_masked"] = usage.ru_maxrss <= parent_peak
    result["peak_rss_kib"] = result["vm_hwm_kib"] if result["rss_masked"] else usage.ru_maxrss
    return result


def read_trace(config, trace, result):
    result["trace_bytes"] = os.path.getsize(trace)
    # In a process of its own: see peers_traces.py.
    read = subprocess.run([sys.executable, READER, READERS[config], trace],
                          capture_output=True, text=True)
    if read.returncode != 0:
        result["error"] = f"reading {trace}: {read.stderr.strip()[-2000:]}"
    else:
        result.update(json.loads(read.stdout))


def run_all(args, floor_dir, work_dir):
    runs = {w: {c: [] for c in args.configs} for w in args.workloads}
    n = len(args.configs)
    for rep in range(args.reps):
        # Rotated each repetition so that no tool always follows the same one.
        order = [args.configs[(i + rep) % n] for i in range(n)]
        for name in args.workloads:
            workload = peers_workloads.BY_NAME[name]
            line = []
            for config in order:
                ext = CONFIGS[config][2]
                trace = None
                if ext:
                    trace_dir = args.keep_traces or work_dir
                    trace = os.path.join(trace_dir, f"{name}-{config}-r{rep + 1}{ext}")
                result = run_child(args, workload, config, trace, work_dir, floor_dir)
                if trace and "error" not in result:
                    read_trace(config, trace, result)
                if trace and not args.keep_traces and os.path.exists(trace):
                    os.unlink(trace)
                runs[name][config].append(result)
                if "error" in result:
                    print(f"\n{name} under {config} failed: {result['error']}", file=sys.stderr)
                    line.append(f"{config} FAILED")
                else:
                    line.append(f"{config} {result['run_s'] * 1e3:.0f}")
            print(f"[{rep + 1}/{args.reps}] {name} (ms): {', '.join(line)}", file=sys.stderr)
    return runs


def summarize(args, runs):
    """Best-of figures per workload and configuration, and the geomeans."""
    workloads = {}
    for name, by_config in runs.items():
        w = peers_workloads.BY_NAME[name]
        ok = {c: [r for r in rs if "error" not in r] for c, rs in by_config.items()}
        # The program's Python events: what morvex recorded plus what it dropped.
        totals = sorted({r["events"] + r["dropped"] for c in MORVEX if c in ok for r in ok[c]})
        events = totals[-1] if totals else None
        configs = {}
        for c, good in ok.items():
            entry = {"label": CONFIGS[c][0], "runs": by_config[c],
                     "failures": len(by_config[c]) - len(good)}
            if good:
                best = min(good, key=lambda r: r["run_s"])
                entry.update(best_s=best["run_s"], cpu_s=best["cpu_s"],
                             best_main_cpu_s=min(r["main_cpu_s"] for r in good),
                             exit_s=min(r["exit_s"] for r in good),
                             peak_rss_kib=max(r["peak_rss_kib"] for r in good),
                             rss_masked=any(r["rss_masked"] for r in good))
                for key in ("trace_bytes", "events", "overflow"):
                    if key in best:
                        entry[key] = best[key]
                if any("dropped" in r for r in good):
                    entry["dropped_worst"] = max(r.get("dropped", 0) for r in good)
            configs[c] = entry
        base = configs["untraced"].get("best_s")
        for c, e in configs.items():
            if base and "best_s" in e:
                e["slowdown"] = e["best_s"] / base
                if events:
                    e["added_ns_per_event"] = (e["best_s"] - base) / events * 1e9
        viz, big = configs.get("viztracer", {}), configs.get("viztracer-big", {})
        if viz.get("overflow") and "events" in big and not big.get("overflow"):
            viz["dropped_worst"] = big["events"] - viz["events"]
        workloads[name] = {"iterations": w.iterations * args.scale, "step": w.step,
                           "events": events, "event_totals_seen": totals,
                           "morvex_over_floor": _over_floor(configs, "best_s"),
                           "morvex_over_floor_main_cpu": _over_floor(configs, "best_main_cpu_s"),
                           "configs": configs}
    geomean = {"slowdown": {}}
    for c in args.configs:
        geomean["slowdown"][c] = _geomean(
            [w["configs"][c].get("slowdown") for w in workloads.values()])
    # Per ratio, the workloads its geomean leaves out: no ratio, or noise
    # made it not positive.
    geomean["left_out"] = {}
    for key in ("morvex_over_floor", "morvex_over_floor_main_cpu"):
        geomean[key], geomean["left_out"][key] = {}, {}
        for c in OVER_FLOOR:
            values = [w[key].get(c) for w in workloads.values()]
            geomean[key][c] = _geomean(values)
            geomean["left_out"][key][c] = sum(1 for v in values if not v or v <= 0)
    return workloads, geomean


def _over_floor(configs, key):
    """(T_c - T_untraced) / (T_floor - T_untraced) for the stamp and both morvex formats."""
    base = configs["untraced"].get(key)
    floor = configs.get("floor", {}).get(key)
    if base is None or floor is None or floor <= base:
        return {}
    return {c: (configs[c][key] - base) / (floor - base)
            for c in OVER_FLOOR if key in configs.get(c, {})}


def _geomean(values):
    values = [v for v in values if v and v > 0]
    return math.exp(sum(map(math.log, values)) / len(values)) if values else None


def table(header, rows):
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    lines = []
    for r in [header] + rows:
        cells = [str(r[0]).ljust(widths[0])] + [str(v).rjust(w) for v, w in zip(r[1:], widths[1:])]
        lines.append("  " + "  ".join(cells).rstrip())
    return "\n".join(lines)


def _fmt(value, form, missing="-"):
    return missing if value is None else format(value, form)


def _dropped(e):
    if "dropped_worst" in e:
        return f"{e['dropped_worst']:,}"
    return "overflow" if e.get("overflow") else ("0" if "events" in e else "-")


def report(args, workloads, geomean, meta):
    out = [f"Python {meta['python']}, {meta['cpus']} CPUs, load average "
           f"{meta['load_before']} before and {meta['load_after']} after; best of {args.reps} "
           f"fresh processes per configuration; full run took {meta['elapsed_s']:.0f} s.",
           ", ".join(f"{k} {v}" for k, v in meta["versions"].items())]
    for name, w in workloads.items():
        events = w["events"]
        out.append(f"\n{name}: {w['iterations']} x {w['step']}; "
                   + (f"{events:,} Python events (slice begins + ends in the morvex protobuf/json "
                      "traces, plus any dropped)" if events else "Python events not counted "
                      "(no morvex configuration run)"))
        if len(w["event_totals_seen"]) > 1:
            out.append(f"  note: the morvex runs saw different event totals: "
                       f"{', '.join(f'{t:,}' for t in w['event_totals_seen'])}")
        rows = []
        for c, e in w["configs"].items():
            if "best_s" not in e:
                rows.append([e["label"], "FAILED"] + [""] * 9)
                continue
            rows.append([e["label"], _fmt(e["best_s"] * 1e3, ",.1f"),
                         _fmt(e["cpu_s"] * 1e3, ",.0f"),
                         _fmt(e["best_main_cpu_s"] * 1e3, ",.0f"),
                         _fmt(e.get("slowdown"), ".2f") + "x",
                         "-" if c == "untraced" else _fmt(e.get("added_ns_per_event"), ".1f"),
                         _fmt(e["exit_s"] * 1e3, ",.1f"),
                         _fmt(e.get("trace_bytes") and e["trace_bytes"] / 2**20, ",.1f"),
                         _fmt(e.get("events"), ","), _dropped(e),
                         _fmt(e["peak_rss_kib"] / 1024, ",.0f")
                         + ("~" if e["rss_masked"] else "")])
        out.append(table(["configuration", "wall ms", "CPU ms", "main CPU ms", "slowdown",
                          "+ns/event", "exit ms", "trace MiB", "trace events", "dropped",
                          "peak RSS MiB"], rows))
        r, rc = w["morvex_over_floor"], w["morvex_over_floor_main_cpu"]
        if r:
            out.append("  added cost / floor's added cost: " + ", ".join(
                f"{CONFIGS[c][0]} {v:.2f}x"
                + (f" (main-thread CPU {rc[c]:.2f}x)" if c in rc else "") for c, v in r.items()))
        big = w["configs"].get("viztracer-big", {})
        if big.get("overflow"):
            out.append(f"  viztracer's big buffer overflowed: raise --viztracer-entries "
                       f"(now {args.viztracer_entries:,})")
        for c, e in w["configs"].items():
            if e["failures"]:
                out.append(f"  {e['label']}: {e['failures']} of {len(e['runs'])} runs failed")
    shown = [c for c in args.configs if c != "untraced"]
    out.append("\nSlowdown vs untraced (best wall times); added cost over the floor's "
               "(wall, and main-thread CPU):")
    ratios = [(key, c) for key in ("morvex_over_floor", "morvex_over_floor_main_cpu")
              for c in OVER_FLOOR if c in args.configs]
    header = ["workload"] + shown + [c.replace("morvex-", "") + "/floor"
                                     + (" cpu" if key.endswith("cpu") else "")
                                     for key, c in ratios]
    rows = []
    for name, w in workloads.items():
        row = [name] + [_fmt(w["configs"][c].get("slowdown"), ".2f") for c in shown]
        rows.append(row + [_fmt(w[key].get(c), ".2f") for key, c in ratios])
    row = ["geomean"] + [_fmt(geomean["slowdown"][c], ".2f") for c in shown]
    marked = [(key, c) for key, c in ratios
              if geomean[key][c] is not None and geomean["left_out"][key][c]]
    rows.append(row + [_fmt(geomean[key][c], ".2f") + ("*" if (key, c) in marked else "")
                       for key, c in ratios])
    out.append(table(header, rows))
    if marked:
        out.append("  * leaves out the workloads without a positive ratio (noise: the floor "
                   "or morvex no slower than untraced)")
    if any(e.get("rss_masked") for w in workloads.values() for e in w["configs"].values()):
        out.append("\n~: wait4's ru_maxrss was no higher than this script's own peak, which "
                   "Linux counts into every child it spawns; the child's own VmHWM is shown")
    return "\n".join(out)


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    check_imports(args.configs)
    if args.keep_traces:
        os.makedirs(args.keep_traces, exist_ok=True)
    started = time.monotonic()
    load_before = "%.1f" % os.getloadavg()[0]
    work_dir = tempfile.mkdtemp(prefix="mvpeers-")
    try:
        floor_dir = os.path.join(work_dir, "floor")
        os.mkdir(floor_dir)
        bench_overhead.build_floor(floor_dir)
        runs = run_all(args, floor_dir, work_dir)
    finally:
        shutil.rmtree(work_dir, ignore_errors=True)
    meta = {"python": sys.version.split()[0], "cpus": os.cpu_count(), "versions": versions(),
            "load_before": load_before, "load_after": "%.1f" % os.getloadavg()[0],
            "elapsed_s": time.monotonic() - started, "reps": args.reps,
            "scale": args.scale, "viztracer_entries": args.viztracer_entries}
    workloads, geomean = summarize(args, runs)
    if args.json != "-":
        print(report(args, workloads, geomean, meta))
    if args.json:
        doc = {"meta": meta, "workloads": workloads, "geomean": geomean}
        if args.json == "-":
            json.dump(doc, sys.stdout, indent=1)
            print()
        else:
            with open(args.json, "w") as f:
                json.dump(doc, f, indent=1)
    failed = any(e["failures"] for w in workloads.values() for e in w["configs"].values())
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
