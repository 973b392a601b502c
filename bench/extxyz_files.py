"""Extended XYZ through the io_rs package, side by side in one run with the
extxyz package (its C parser and C writer, its fastest settings), on two
generated files:

    (a) one frame of 200 000 atoms: species, pos and forces with 8 decimals,
        a few info keys
    (b) a training set of 50 000 frames of 20 to 40 atoms: Lattice, pbc,
        energy, a 9-value stress, a string label; species, pos and forces

    python -m bench.extxyz_files [--quick] [--out bench/out]

Readers from the file's path, on one thread: io_rs.read_extxyz, extxyz.read_dicts, and
io_rs.read_xyz (the plain XYZ reader: species and positions only) on the same
bytes; _io_rs_buffers.read_extxyz_frames on the bytes in memory, the C++
reading alone with the arrays it makes. Writers to a path: io_rs.write_extxyz
with decimals=None and decimals=8, extxyz.write_dicts. Before timing, every
reader's positions and forces are checked to be bit-identical, and each
writer's file to read back equal. Prints a table and the targets; writes
extxyz_files.json. Exits 1 when results differ; a missed target is reported.
"""

import argparse
import json
import sys
import tempfile
from pathlib import Path

import numpy as np

import _io_rs_buffers
import io_rs

from . import timing

ROOT = Path(__file__).resolve().parent.parent

# (name, measured speed-up over the package, at least)
READ_A, READ_B, WRITE, WRITE_DECIMALS, BUFFERS_OVER = 2.0, 3.0, 3.0, 6.0, 1.3


def frames_a(atoms: int, rng: np.random.Generator) -> list[io_rs.ExtxyzFrame]:
    species = rng.choice(np.array(["H", "C", "O", "Fe"]), atoms)
    arrays = {"species": species, "pos": rng.uniform(-50, 50, (atoms, 3)), "forces": rng.normal(0, 1, (atoms, 3))}
    info = {"energy": -123456.789, "step": 42, "config_type": "liquid"}
    return [io_rs.ExtxyzFrame(atoms, info, arrays, np.diag([100.0, 100.0, 100.0]), np.ones(3, dtype=bool))]


def frames_b(count: int, rng: np.random.Generator) -> list[io_rs.ExtxyzFrame]:
    frames = []
    for k in range(count):
        n = int(rng.integers(20, 41))
        arrays = {"species": rng.choice(np.array(["Si", "O", "H"]), n), "pos": rng.uniform(0, 10, (n, 3)),
                  "forces": rng.normal(0, 1, (n, 3))}
        info = {"energy": float(rng.normal(-300, 10)), "stress": rng.normal(0, 0.1, 9),
                "config_type": f"set{k % 7}"}
        frames.append(io_rs.ExtxyzFrame(n, info, arrays, rng.uniform(9, 11, (3, 3)), np.ones(3, dtype=bool)))
    return frames


def stacked(frames, key: str, of) -> np.ndarray:
    return np.concatenate([of(f)[key] for f in frames])


def measure(key: str, title: str, frames: list[io_rs.ExtxyzFrame], directory: Path, args) -> dict:
    import extxyz

    path = directory / f"{key}.xyz"
    io_rs.write_extxyz(path, frames, decimals=8)
    data = path.read_bytes()
    atoms = sum(f.natoms for f in frames)
    theirs = extxyz.read_dicts(str(path))
    theirs = theirs if isinstance(theirs, list) else [theirs]
    ours = io_rs.read_extxyz(path)
    checks = {}
    for column in ("pos", "forces"):
        a, b = stacked(ours, column, lambda f: f.arrays), stacked(theirs, column, lambda f: f.arrays)
        checks[f"read {column}"] = "identical" if np.array_equal(a.view(np.uint64), b.view(np.uint64)) else "differs"
    plain = io_rs.read_xyz(path)
    plain = plain if isinstance(plain, list) else [plain]
    checks["plain XYZ pos"] = ("identical" if np.array_equal(np.concatenate([f.positions for f in plain]),
                                                             stacked(ours, "pos", lambda f: f.arrays)) else "differs")
    out = directory / "written.xyz"
    for decimals in (None, 8):
        io_rs.write_extxyz(out, ours, decimals=decimals)
        back = io_rs.read_extxyz(out)
        same = all(np.array_equal(x.arrays["pos"], y.arrays["pos"]) for x, y in zip(back, ours))
        checks[f"write decimals={decimals}"] = "identical" if same else "differs"

    def fresh(write):
        return lambda: (out.unlink(missing_ok=True), write())[1]

    # One thread: the targets compare one core with one core.
    read = {"io_rs": lambda: io_rs.read_extxyz(path, threads=1),
            "extxyz": lambda: extxyz.read_dicts(str(path)),
            "_io_rs_buffers (bytes)": lambda: _io_rs_buffers.read_extxyz_frames(data),
            "io_rs.read_xyz": lambda: io_rs.read_xyz(path, threads=1)}
    write = {"io_rs": fresh(lambda: io_rs.write_extxyz(out, ours)),
             "io_rs decimals=8": fresh(lambda: io_rs.write_extxyz(out, ours, decimals=8)),
             "extxyz": fresh(lambda: extxyz.write_dicts(str(out), theirs))}
    timed_read = timing.measure_together({n: timing.PythonRun(r) for n, r in read.items()},
                                         min_time=args.min_time, budget=args.budget)
    timed_write = timing.measure_together({n: timing.PythonRun(w) for n, w in write.items()},
                                          min_time=args.min_time, budget=args.budget)
    per = atoms if len(frames) == 1 else len(frames)
    unit = "ns/atom" if len(frames) == 1 else "us/frame"
    scale = 1e9 if unit == "ns/atom" else 1e6
    return {"title": title, "atoms": atoms, "frames": len(frames), "bytes": len(data), "unit": unit, "checks": checks,
            "read": {n: t.median * scale / per for n, t in timed_read.items()},
            "write": {n: t.median * scale / per for n, t in timed_write.items()}}


def targets(entries: dict) -> list[dict]:
    rows = []

    def row(name, measured, goal, at_least=True):
        rows.append({"target": name, "measured": measured, "goal": goal,
                     "met": measured >= goal if at_least else measured <= goal})
    for key, e in entries.items():
        r, w = e["read"], e["write"]
        row(f"{key}: read vs extxyz", r["extxyz"] / r["io_rs"], READ_A if key == "a" else READ_B)
        row(f"{key}: write vs extxyz", w["extxyz"] / w["io_rs"], WRITE)
        row(f"{key}: write decimals=8 vs extxyz", w["extxyz"] / w["io_rs decimals=8"], WRITE_DECIMALS)
        if key == "a":
            row(f"{key}: read, package over the C++ call on bytes", r["io_rs"] / r["_io_rs_buffers (bytes)"],
                BUFFERS_OVER, at_least=False)
    return rows


def table(entries: dict, goals: list[dict]) -> str:
    out = ["Extended XYZ, medians; read from the path (buffers: the C++ call on bytes in memory)"]
    for e in entries.values():
        out.append(f"\n{e['title']}  ({e['bytes'] / 1e6:.1f} MB, {e['unit']})")
        out.append("  read:  " + "  ".join(f"{n} {v:.2f}" for n, v in e["read"].items()))
        out.append("  write: " + "  ".join(f"{n} {v:.2f}" for n, v in e["write"].items()))
        out.append("  checks: " + ", ".join(f"{n} {v}" for n, v in e["checks"].items()))
    out.append("\nTargets")
    for g in goals:
        sign = ">=" if "over" not in g["target"] else "<="
        out.append(f"  {'met ' if g['met'] else 'MISS'} {g['target']:<52}{g['measured']:7.2f}x  (goal {sign} {g['goal']})")
    return "\n".join(out)


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--out", type=Path, default=ROOT / "bench" / "out")
    p.add_argument("--quick", action="store_true", help="small files and short repeats: checks that it all runs")
    p.add_argument("--min-time", type=float, default=0.05)
    p.add_argument("--budget", type=float, default=1.0)
    args = p.parse_args(argv)
    try:
        import extxyz  # noqa: F401
    except ImportError:
        print("extended XYZ: the extxyz package is not installed; skipped")
        return 0
    atoms, count = (200_000, 50_000) if not args.quick else (5_000, 500)
    if args.quick:
        args.min_time, args.budget = 0.005, 0.02
    rng = np.random.default_rng(18)
    with tempfile.TemporaryDirectory(prefix="io_rs_bench_") as directory:
        entries = {"a": measure("a", f"(a) one frame of {atoms} atoms", frames_a(atoms, rng), Path(directory), args),
                   "b": measure("b", f"(b) {count} frames of 20-40 atoms", frames_b(count, rng), Path(directory), args)}
    goals = targets(entries)
    print(table(entries, goals))
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "extxyz_files.json").write_text(json.dumps({"files": entries, "targets": goals}, indent=1))
    bad = [f"{key}: {name}" for key, e in entries.items() for name, v in e["checks"].items() if v != "identical"]
    if bad:
        print("\nResults differ:\n  " + "\n  ".join(bad), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
