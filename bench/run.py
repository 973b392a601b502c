"""Benchmark of the six _io_rs functions: per atom, against the pure Python
loop, NumPy's text routines and the same C++ routine without Python.

    python -m bench.run --floor build/bench-native/io_rs_floor [--quick]

Prints one table per function and the targets; writes the same figures to
bench/out/results.json and bench/out/tables.txt and the chart to
bench/out/speedups.png. Exits 1 when a baseline's result differs from the
module's (the figures are still written).
"""

import argparse
import os
import platform
import sys
import time
from pathlib import Path

import numpy as np

from . import chart, floor, memory, report, targets, timing
from .cases import CASES, Block, Size, difference, same

ROOT = Path(__file__).resolve().parent.parent


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--floor", type=Path, required=True, help="the io_rs_floor program")
    p.add_argument("--out", type=Path, default=ROOT / "bench" / "out")
    p.add_argument("--atoms", type=int, default=100_000, help="atoms of the large block")
    p.add_argument("--block-atoms", type=int, default=64)
    p.add_argument("--calls", type=int, default=10_000, help="calls of --block-atoms atoms")
    p.add_argument("--baseline-calls", type=int, default=500, help="of those, made by the slow baselines")
    p.add_argument("--min-time", type=float, default=0.05, help="seconds per repeat, at least")
    p.add_argument("--budget", type=float, default=0.6, help="seconds of repeats per measurement, roughly")
    p.add_argument("--no-memory", action="store_true")
    p.add_argument("--memory-baselines", action="store_true", help="also measure the memory of pure Python and NumPy")
    p.add_argument("--quick", action="store_true", help="small sizes and short repeats: checks that it all runs")
    args = p.parse_args(argv)
    if args.quick:
        args.atoms, args.calls, args.baseline_calls = 4_096, 200, 50
        args.min_time, args.budget = 0.005, 0.02
    return args


def per_atom(t: timing.Timing, atoms: int, calls: int) -> dict:
    d = t.as_dict()
    scale = 1e9 / (atoms * calls)
    d.update(calls=calls, ns_per_atom=d["median"] * scale, ns_per_atom_min=d["minimum"] * scale, ns_per_atom_max=d["maximum"] * scale)
    return d


def check(module_out, baseline_out) -> str:
    for i, (m, b) in enumerate(zip(module_out, baseline_out)):
        for who, r in (("_io_rs", m), ("the baseline", b)):
            if isinstance(r, Exception):
                return f"call {i}: {who} raised {type(r).__name__}: {r}"
        if not same(m, b):
            return f"call {i}: {difference(m, b)}"
    return "identical"


def calling(fn, calls):
    """One timed run: every call, results dropped as they come."""

    def run():
        for a in calls:
            fn(*a)

    return run


def run_all(fn, calls):
    """Every call's result (or exception), and the seconds they all took."""
    out = []
    start = time.perf_counter()
    for a in calls:
        try:
            out.append(fn(*a))
        except Exception as e:  # reported as a difference, not a crash of the benchmark
            out.append(e)
    return out, time.perf_counter() - start


def bench_size(case, size, block, floor_inputs, args, log):
    impls = case.implementations()
    module_calls = block.calls(case, size, size.calls)
    baseline_calls = module_calls[: size.baseline_calls]
    # Untimed: the results must agree before their speeds are compared.
    module_out, _ = run_all(impls["module"], baseline_calls)
    numpy_expected = [r if isinstance(r, Exception) or case.numpy_part is None else r[case.numpy_part] for r in module_out]
    python_out, python_first = run_all(impls["python"], baseline_calls)
    numpy_out, numpy_first = run_all(impls["numpy"], baseline_calls)
    checks = {"python": check(module_out, python_out), "numpy": check(numpy_expected, numpy_out)}
    module_fails = any(isinstance(r, Exception) for r in module_out)
    del module_out, numpy_expected, python_out, numpy_out

    runs = {
        "python": timing.PythonRun(calling(impls["python"], baseline_calls), python_first),
        "numpy": timing.PythonRun(calling(impls["numpy"], baseline_calls), numpy_first),
        "floor": floor.FloorRun(args.floor, case, size, floor_inputs[case.key]),
    }
    if module_fails:
        log(f"  {case.key}: _io_rs fails, only the baselines are timed")
    else:
        runs = {"module": timing.PythonRun(calling(impls["module"], module_calls))} | runs
    measured = timing.measure_together(runs, min_time=args.min_time, budget=args.budget)
    calls_made = {"module": size.calls, "python": len(baseline_calls), "numpy": len(baseline_calls), "floor": size.calls}
    timings = {name: per_atom(t, size.atoms_per_call, calls_made[name]) for name, t in measured.items()}

    result = {
        "label": size.label,
        "atoms_per_call": size.atoms_per_call,
        "calls": size.calls,
        "baseline_calls": size.baseline_calls,
        "checks": checks,
        "timings": timings,
    }
    if "module" in timings:
        m = timings["module"]["ns_per_atom"]
        result["speedup"] = {k: timings[k]["ns_per_atom"] / m for k in ("python", "numpy")}
        result["module_over_floor"] = m / timings["floor"]["ns_per_atom"]
    log(f"  {case.key:<18} {size.label:<22} module {timings.get('module', {}).get('ns_per_atom', float('nan')):8.1f} ns/atom")
    return result


def environment():
    return {
        "python": sys.version.split()[0],
        "numpy": np.__version__,
        "machine": platform.machine(),
        "cpus": os.cpu_count(),
        "load_average": os.getloadavg(),
        "time": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
    }


def main(argv=None):
    args = parse_args(argv if argv is not None else sys.argv[1:])
    started = time.perf_counter()

    def log(message):
        print(f"[{time.perf_counter() - started:6.1f}s] {message}", file=sys.stderr, flush=True)

    sizes = (
        Size(targets.BIG, f"{args.atoms} atoms", args.atoms, 1, 1),
        Size(targets.SMALL, f"{args.calls} x {args.block_atoms} atoms", args.block_atoms, args.calls, args.baseline_calls),
    )
    log(f"generating blocks of {args.atoms} atoms")
    block = Block(args.atoms)
    floor_inputs = floor.write_inputs(block, args.out / "data")
    results = {"environment": environment(), "settings": {k: str(v) if isinstance(v, Path) else v for k, v in vars(args).items()}, "cases": {}}
    for case in CASES:
        entry = {"key": case.key, "function": case.function, "variant": case.variant, "title": case.title, "numpy_name": case.numpy_name, "sizes": {}}
        for size in sizes:
            entry["sizes"][size.key] = bench_size(case, size, block, floor_inputs, args, log)
        results["cases"][case.key] = entry
    if not args.no_memory:
        log("memory probes")
        for case in CASES:
            results["cases"][case.key]["memory"] = memory.measure(
                case, floor_inputs[case.key], ROOT, ("module", "python", "numpy") if args.memory_baselines else ("module",)
            )
    results["targets"] = targets.evaluate(results)
    results["environment"]["seconds"] = time.perf_counter() - started

    tables = "\n\n".join(
        [report.header(results)] + [report.case_table(e) for e in results["cases"].values()] + [report.target_table(results["targets"])]
    )
    print("\n" + tables)
    report.write_json(results, args.out / "results.json")
    (args.out / "tables.txt").write_text(tables + "\n")
    chart.draw(results, args.out / "speedups.png")
    log(f"wrote results.json, tables.txt and speedups.png in {args.out}")

    differing = [
        f"{key} {size}: {impl}: {verdict}"
        for key, entry in results["cases"].items()
        for size, s in entry["sizes"].items()
        for impl, verdict in s["checks"].items()
        if verdict != "identical"
    ]
    if differing:
        print("\nResults differ from _io_rs (figures written, but not comparable):", file=sys.stderr)
        for line in differing:
            print(f"  {line}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
