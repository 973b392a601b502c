"""Whole files through the io_rs package, from a path on disk, against the
_io_rs_buffers calls it makes on the same bytes and against the pure-Python
reading and writing a host package would otherwise do.

    python -m bench.package_files [--quick] [--out bench/out]

The files are those of bench/whole_file.py, written to a temporary directory
(so they sit in the page cache). Readers: io_rs.read_* on the path; the
_io_rs_buffers function the package calls, on the file's bytes read once
before timing (the difference is the package's overhead: opening, mapping,
the header, building the result); and pure Python (open, readlines, split,
float() per field, numpy.array). Writers: io_rs.write_* to a path against
pure Python (%-formatting, join, one write). Every reader's arrays are
checked to be bit-identical, and every writer's file byte-identical, before
anything is timed. Prints a table; writes package_files.json.
"""

import argparse
import json
import sys
import tempfile
from collections.abc import Callable
from pathlib import Path

import numpy as np

import _io_rs_buffers
import io_rs

from . import timing
from .whole_file import File, files, line_offset, poscar, xdatcar, xyz

ROOT = Path(__file__).resolve().parent.parent
# The package's overhead over the _io_rs_buffers calls, on files of one frame
# of this many atoms or more (many small frames add the cost of a result
# object per frame, which the table shows but the goal leaves out).
OVERHEAD_GOAL = 10.0
GOAL_ATOMS = 100_000


def _floats(lines: list[str], first: int = 0) -> list[list[float]]:
    return [[float(value) for value in line.split()[first:first + 3]] for line in lines]


def pure_poscar(path: Path) -> np.ndarray:
    with open(path) as f:
        lines = f.readlines()
    natoms = sum(int(count) for count in lines[6].split())
    at = 8 if lines[7].lstrip()[:1] not in "Ss" else 9
    return np.array(_floats(lines[at:at + natoms]))


def pure_xdatcar(path: Path) -> np.ndarray:
    with open(path) as f:
        lines = f.readlines()
    natoms = sum(int(count) for count in lines[6].split())
    frames = [_floats(lines[at + 1:at + 1 + natoms]) for at in range(7, len(lines), natoms + 1)]
    return np.array(frames).reshape(len(frames), natoms, 3)


def pure_xyz(path: Path) -> np.ndarray:
    with open(path) as f:
        lines = f.readlines()
    rows, symbols, at = [], [], 0
    while at < len(lines):
        natoms = int(lines[at])
        block = lines[at + 2:at + 2 + natoms]
        symbols += [line.split(None, 1)[0] for line in block]
        rows += _floats(block, 1)
        at += 2 + natoms
    return np.array(rows).reshape(-1, 3)


def _header(comment: str, lattice: np.ndarray, species: list[str], counts: list[int]) -> list[str]:
    widths = [max(4, len(name) + 1, len(str(count)) + 1) for name, count in zip(species, counts)]
    return [f"{comment}\n", " %19.16f\n" % 1.0, *(" %19.16f %19.16f %19.16f\n" % tuple(row) for row in lattice.tolist()),
            "".join(f"{name:>{w}}" for name, w in zip(species, widths)) + "\n",
            "".join(f"{count:>{w}}" for count, w in zip(counts, widths)) + "\n"]


def write_pure_poscar(path: Path, p: io_rs.Poscar) -> None:
    out = _header(p.comment, p.lattice, p.species, p.counts) + ["Cartesian\n" if p.cartesian else "Direct\n"]
    out += [" %19.16f %19.16f %19.16f\n" % (x, y, z) for x, y, z in p.positions.tolist()]
    with open(path, "wb") as f:
        f.write("".join(out).encode())


def write_pure_xdatcar(path: Path, x: io_rs.Xdatcar) -> None:
    out = _header(x.comment, x.lattice, x.species, x.counts)
    for number, frame in zip(x.numbers.tolist(), x.frames.tolist()):
        out.append("Direct configuration=%6d\n" % number)
        out += ["  %11.8f %11.8f %11.8f\n" % (a, b, c) for a, b, c in frame]
    with open(path, "wb") as f:
        f.write("".join(out).encode())


def write_pure_xyz(path: Path, frames: list[io_rs.XyzFrame]) -> None:
    out = []
    for frame in frames:
        out.append(f"{len(frame.symbols)}\n{frame.comment}\n")
        out += ["%-2s %22.15f %22.15f %22.15f\n" % (s, x, y, z)
                for s, (x, y, z) in zip(frame.symbols, frame.positions.tolist())]
    with open(path, "wb") as f:
        f.write("".join(out).encode())


def cases(f: File, path: Path) -> tuple[dict[str, Callable], dict[str, Callable], Callable]:
    """The readers and writers of one file, and a function giving a reader's
    result as one array (the positions of every frame)."""
    data = path.read_bytes()  # once, before timing: the buffers readers see the bytes the package maps
    out = path.parent / "written"

    def fresh(write: Callable[[Path], None]) -> Callable[[], None]:
        # A new file each time: ext4 flushes a file truncated and written again
        # when it is closed, which would time the disk instead of the writer.
        return lambda: (out.unlink(missing_ok=True), write(out))[1]
    if f.key == "poscar":
        start = line_offset(data, 8)
        read = {"io_rs package": lambda: io_rs.read_poscar(path),
                "_io_rs_buffers": lambda: _io_rs_buffers.read_poscar_block(data, start, f.atoms, False),
                "pure Python": lambda: pure_poscar(path)}
        poscar = io_rs.read_poscar(path)
        write = {"io_rs package": fresh(lambda o: io_rs.write_poscar(o, poscar)),
                 "pure Python": fresh(lambda o: write_pure_poscar(o, poscar))}
        return read, write, lambda r: r.positions if isinstance(r, io_rs.Poscar) else r[0] if isinstance(r, tuple) else r
    if f.key.startswith("xdatcar"):
        start = line_offset(data, 7)
        read = {"io_rs package": lambda: io_rs.read_xdatcar(path),
                "_io_rs_buffers": lambda: _io_rs_buffers.read_xdatcar_frames(data, start, f.atoms),
                "pure Python": lambda: pure_xdatcar(path)}
        xdatcar = io_rs.read_xdatcar(path)
        write = {"io_rs package": fresh(lambda o: io_rs.write_xdatcar(o, xdatcar)),
                 "pure Python": fresh(lambda o: write_pure_xdatcar(o, xdatcar))}
        return read, write, lambda r: r.frames if isinstance(r, io_rs.Xdatcar) else r[0] if isinstance(r, tuple) else r
    read = {"io_rs package": lambda: io_rs.read_xyz(path),
            "_io_rs_buffers": lambda: _io_rs_buffers.read_xyz_frames(data),
            "pure Python": lambda: pure_xyz(path)}
    frames = io_rs.read_xyz(path)
    write = {"io_rs package": fresh(lambda o: io_rs.write_xyz(o, frames)),
             "pure Python": fresh(lambda o: write_pure_xyz(o, frames))}
    return read, write, lambda r: (np.concatenate([x.positions for x in r]) if isinstance(r, list)
                                   else r[2] if isinstance(r, tuple) else r)


def identical(a: np.ndarray, b: np.ndarray) -> bool:
    return a.shape == b.shape and a.dtype == b.dtype and np.array_equal(a.view(np.uint64), b.view(np.uint64))


def measure(f: File, directory: Path, args) -> dict:
    path = directory / f.key
    path.write_bytes(f.text)
    read, write, positions = cases(f, path)
    reference = positions(read["_io_rs_buffers"]())
    checks = {name: "identical" if identical(positions(r()), reference) else "differs" for name, r in read.items()}
    written = {}
    for name, w in write.items():
        w()
        written[name] = (directory / "written").read_bytes()
    write_checks = {name: "identical" if b == written["io_rs package"] else "differs" for name, b in written.items()}
    atoms = f.atoms * f.frames
    timed = timing.measure_together({n: timing.PythonRun(r) for n, r in read.items()},
                                    min_time=args.min_time, budget=args.budget)
    timed_write = timing.measure_together({n: timing.PythonRun(w) for n, w in write.items()},
                                          min_time=args.min_time, budget=args.budget)
    ns = {name: t.median * 1e9 / atoms for name, t in timed.items()}
    return {"title": f.title, "atoms": atoms, "frames": f.frames, "bytes": len(f.text), "checks": checks, "write_checks": write_checks,
            "read_ns_per_atom": ns,
            "read_spread": {name: [t.q1 * 1e9 / atoms, t.q3 * 1e9 / atoms] for name, t in timed.items()},
            "write_ns_per_atom": {name: t.median * 1e9 / atoms for name, t in timed_write.items()},
            "package_overhead_percent": 100.0 * (ns["io_rs package"] / ns["_io_rs_buffers"] - 1.0)}


def table(entries: dict) -> str:
    head = (f"{'file':<36}{'package':>9}{'buffers':>9}{'overhead':>10}{'pure Py':>9}{'speedup':>9}"
            f"{'write':>8}{'pure Py':>9}{'speedup':>9}  checks")
    out = ["Reading and writing whole files, ns per atom (medians); overhead = package over the "
           "_io_rs_buffers calls on the same bytes", head]
    for e in entries.values():
        r, w = e["read_ns_per_atom"], e["write_ns_per_atom"]
        ok = all(v == "identical" for checks in (e["checks"], e["write_checks"]) for v in checks.values())
        out.append(f"{e['title']:<36}{r['io_rs package']:9.1f}{r['_io_rs_buffers']:9.1f}"
                   f"{e['package_overhead_percent']:9.1f}%{r['pure Python']:9.0f}"
                   f"{r['pure Python'] / r['io_rs package']:8.1f}x{w['io_rs package']:8.1f}{w['pure Python']:9.0f}"
                   f"{w['pure Python'] / w['io_rs package']:8.1f}x  {'identical' if ok else 'DIFFER'}")
    return "\n".join(out)


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--out", type=Path, default=ROOT / "bench" / "out")
    p.add_argument("--quick", action="store_true", help="small files and short repeats: checks that it all runs")
    p.add_argument("--min-time", type=float, default=0.05)
    p.add_argument("--budget", type=float, default=0.5)
    p.add_argument("--atoms", type=int, help="instead: one POSCAR, one-frame XDATCAR and one-frame XYZ of this size")
    args = p.parse_args(argv)
    if args.quick:
        args.min_time, args.budget = 0.005, 0.02
    with tempfile.TemporaryDirectory(prefix="io_rs_bench_") as directory:
        chosen = [poscar(args.atoms), xdatcar(1, args.atoms), xyz(1, args.atoms)] if args.atoms else files(args.quick)
        entries = {f.key: measure(f, Path(directory), args) for f in chosen}
    goals = [{"file": key, "overhead_percent": e["package_overhead_percent"], "goal": OVERHEAD_GOAL,
              "met": e["package_overhead_percent"] <= OVERHEAD_GOAL}
             for key, e in entries.items() if e["frames"] == 1 and e["atoms"] >= GOAL_ATOMS]
    text = table(entries)
    if goals:
        text += (f"\n\nPackage overhead on one-frame files of {GOAL_ATOMS} atoms or more "
                 f"(goal: at most {OVERHEAD_GOAL:.0f} %)\n")
        text += "\n".join(f"  {'met ' if g['met'] else 'MISS'} {g['file']:<24}{g['overhead_percent']:6.1f} %"
                          for g in goals)
    print(text)
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "package_files.json").write_text(json.dumps({"files": entries, "goals": goals}, indent=1))
    bad = [f"{key}: {name}" for key, e in entries.items() for checks in (e["checks"], e["write_checks"])
           for name, v in checks.items() if v != "identical"]
    if bad:
        print("\nResults differ from the package's:\n  " + "\n  ".join(bad), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
