"""Whole files, from the bytes of a file in the page cache to arrays, and
whole trajectories back to bytes. Every reader of one file is checked to
give the same arrays before any is timed.

    python -m bench.whole_file [--quick] [--out bench/out]

Readers: _io_rs_buffers straight from the bytes; the six _io_rs functions
behind a line split (decode, split, one call per block); the six functions
alone on lines split beforehand (the module's own parse time of the same
atoms); pandas.read_csv(sep=r"\\s+", engine="c") and numpy.loadtxt on the
numeric lines alone. Writers: _io_rs_buffers against the six functions
joined. Prints a table per file and the targets; writes whole_file.json.
"""

import argparse
import io
import json
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

import numpy as np

import _io_rs
import _io_rs_buffers

from . import data, timing

ROOT = Path(__file__).resolve().parent.parent
CELL = "  10.0000000000000000   0.0000000000000000   0.0000000000000000\n" \
       "   0.0000000000000000  10.0000000000000000   0.0000000000000000\n" \
       "   0.0000000000000000   0.0000000000000000  10.0000000000000000\n"


@dataclass
class File:
    key: str
    title: str
    atoms: int  # per frame
    frames: int
    text: bytes = b""
    readers: dict[str, Callable] = field(default_factory=dict)
    prepared: dict[str, Callable] = field(default_factory=dict)  # timed without their preparation


def line_offset(text: bytes, lines: int) -> int:
    """The offset of the line after the first `lines` lines."""
    offset = 0
    for _ in range(lines):
        offset = text.index(b"\n", offset) + 1
    return offset


def frame_blocks(lines, frames, atoms):
    return [lines[k * atoms:(k + 1) * atoms] for k in range(frames)]


def poscar(atoms: int) -> File:
    lines = data.poscar_lines(atoms, selective=False)
    text = (f"bench\n1.0\n{CELL}H\n{atoms}\nCartesian\n" + "".join(lines)).encode()
    f = File("poscar", f"POSCAR, cartesian, {atoms} atoms", atoms, 1, text)
    numeric = "".join(lines).encode()
    f.readers = {
        "_io_rs_buffers": lambda: _io_rs_buffers.read_poscar_block(text, line_offset(text, 8), atoms, False)[0],
        "line split + _io_rs": lambda: _io_rs.parse_poscar_positions_rs(text.decode().splitlines()[8:8 + atoms], False)[0],
        "pandas.read_csv": lambda: read_csv(numeric, 3),
        "numpy.loadtxt": lambda: np.loadtxt(io.BytesIO(numeric), ndmin=2),
    }
    f.prepared = {"_io_rs alone": lambda: (lambda: _io_rs.parse_poscar_positions_rs(lines, False)[0])}
    return f


def xdatcar(frames: int, atoms: int) -> File:
    lines = data.xdatcar_lines(frames * atoms)
    blocks = frame_blocks(lines, frames, atoms)
    body = "".join(f"Direct configuration={k + 1:6d}\n" + "".join(block) for k, block in enumerate(blocks))
    text = (f"bench\n1.0\n{CELL}H\n{atoms}\n" + body).encode()
    f = File(f"xdatcar_{frames}x{atoms}", f"XDATCAR, {frames} frames x {atoms} atoms", atoms, frames, text)
    numeric = "".join(lines).encode()

    def split():
        all_lines = text.decode().splitlines()
        return np.stack([_io_rs.parse_xdatcar_coords_rs(all_lines[8 + k * (atoms + 1):7 + (k + 1) * (atoms + 1)])
                         for k in range(frames)])

    f.readers = {
        "_io_rs_buffers": lambda: _io_rs_buffers.read_xdatcar_frames(text, line_offset(text, 7), atoms)[0],
        "line split + _io_rs": split,
        "pandas.read_csv": lambda: read_csv(numeric, 3).reshape(frames, atoms, 3),
        "numpy.loadtxt": lambda: np.loadtxt(io.BytesIO(numeric), ndmin=2).reshape(frames, atoms, 3),
    }
    f.prepared = {"_io_rs alone": lambda: (lambda: np.stack([_io_rs.parse_xdatcar_coords_rs(b) for b in blocks]))}
    return f


def xyz(frames: int, atoms: int) -> File:
    lines = data.xyz_lines(frames * atoms)
    blocks = frame_blocks(lines, frames, atoms)
    text = "".join(f"{atoms}\nframe {k}\n" + "".join(block) for k, block in enumerate(blocks)).encode()
    f = File(f"xyz_{frames}x{atoms}", f"XYZ, {frames} frames x {atoms} atoms", atoms, frames, text)
    numeric = "".join(lines).encode()

    def split():
        all_lines = text.decode().splitlines()
        return np.concatenate([_io_rs.parse_xyz_block_rs(all_lines[2 + k * (atoms + 2):(k + 1) * (atoms + 2)])[1]
                               for k in range(frames)])

    f.readers = {
        "_io_rs_buffers": lambda: _io_rs_buffers.read_xyz_frames(text)[2],
        "line split + _io_rs": split,
        "pandas.read_csv": lambda: read_csv(numeric, 4)[:, 1:].astype(np.float64),
        "numpy.loadtxt": lambda: np.loadtxt(io.BytesIO(numeric), usecols=(1, 2, 3), ndmin=2),
    }
    f.prepared = {"_io_rs alone": lambda: (lambda: np.concatenate([_io_rs.parse_xyz_block_rs(b)[1] for b in blocks]))}
    return f


def read_csv(numeric: bytes, columns: int) -> np.ndarray:
    import pandas

    frame = pandas.read_csv(io.BytesIO(numeric), sep=r"\s+", engine="c", header=None)
    return frame.to_numpy()


def writers(f: File) -> dict[str, Callable]:
    """The whole trajectory back to bytes: one call, against the six functions joined."""
    if f.key.startswith("xdatcar"):
        stack = _io_rs_buffers.read_xdatcar_frames(f.text, line_offset(f.text, 7), f.atoms)[0]
        return {
            "_io_rs_buffers": lambda: _io_rs_buffers.format_xdatcar_frames(stack),
            "_io_rs joined": lambda: "".join(_io_rs.format_xdatcar_config_rs(s, k + 1)
                                             for k, s in enumerate(stack)).encode(),
        }
    if f.key.startswith("xyz"):
        comments, symbols, positions, counts, _ = _io_rs_buffers.read_xyz_frames(f.text)
        starts = np.concatenate([[0], np.cumsum(counts)]).tolist()

        def joined():
            out = []
            for k, comment in enumerate(comments):
                a, z = starts[k], starts[k + 1]
                out += [f"{z - a}\n{comment}\n", _io_rs.format_xyz_block_rs(symbols[a:z], positions[a:z])]
            return "".join(out).encode()

        return {"_io_rs_buffers": lambda: _io_rs_buffers.format_xyz_frames(comments, symbols, positions, counts),
                "_io_rs joined": joined}
    return {}


def files(quick: bool) -> list[File]:
    if quick:
        return [poscar(2_000), xdatcar(1, 2_000), xdatcar(20, 64), xyz(20, 64)]
    return [poscar(100_000), xdatcar(1, 100_000), xdatcar(2_000, 64), xdatcar(200, 1_000),
            xyz(1, 100_000), xyz(2_000, 64), xyz(200, 1_000)]


def agree(results: dict) -> dict:
    """For each reader, whether its arrays are those of _io_rs_buffers, bit for bit."""
    reference = results["_io_rs_buffers"]
    return {name: ("identical" if r.shape == reference.shape and r.dtype == reference.dtype
                   and np.array_equal(r.view(np.uint64), reference.view(np.uint64))
                   else f"{int(np.sum(r != reference)) if r.shape == reference.shape else 'shape'} values differ")
            for name, r in results.items()}


def measure(f: File, args) -> dict:
    runs = {name: timing.PythonRun(reader) for name, reader in f.readers.items()}
    runs.update({name: timing.PythonRun(prepare()) for name, prepare in f.prepared.items()})
    checks = agree({name: run.run() for name, run in runs.items()})
    measured = timing.measure_together(runs, min_time=args.min_time, budget=args.budget)
    atoms = f.atoms * f.frames
    entry = {"title": f.title, "bytes": len(f.text), "checks": checks,
             "read_ns_per_atom": {name: t.median * 1e9 / atoms for name, t in measured.items()}}
    written = writers(f)
    if written:
        outputs = {name: w() for name, w in written.items()}
        entry["write_checks"] = {name: "identical" if o == outputs["_io_rs_buffers"] else "differs"
                                 for name, o in outputs.items()}
        timed = timing.measure_together({n: timing.PythonRun(w) for n, w in written.items()},
                                        min_time=args.min_time, budget=args.budget)
        entry["write_ns_per_atom"] = {name: t.median * 1e9 / atoms for name, t in timed.items()}
    return entry


# The goals: the bytes readers against the module's own parse time of the
# same atoms, the line-split path and pandas.
GOALS = [("_io_rs alone", "at most", 1.3), ("line split + _io_rs", "at least", 2.0), ("pandas.read_csv", "at least", 3.0)]


def targets(entries: dict) -> list[dict]:
    rows = []
    for key, e in entries.items():
        t = e["read_ns_per_atom"]
        for other, kind, goal in GOALS:
            ratio = t["_io_rs_buffers"] / t[other] if kind == "at most" else t[other] / t["_io_rs_buffers"]
            rows.append({"target": f"{key}: _io_rs_buffers vs {other}", "measured": ratio, "goal": goal,
                         "at_least": kind == "at least", "met": ratio <= goal if kind == "at most" else ratio >= goal})
    return rows


def table(e: dict) -> str:
    reference = e["read_ns_per_atom"]["_io_rs_buffers"]
    out = [f"{e['title']} ({e['bytes'] / 1e6:.1f} MB)", f"  {'read':<24}{'ns/atom':>10}  {'vs bytes reader':>15}  result"]
    for name, ns in e["read_ns_per_atom"].items():
        out.append(f"  {name:<24}{ns:10.1f}  {ns / reference:14.2f}x  {e['checks'][name]}")
    for name, ns in e.get("write_ns_per_atom", {}).items():
        ratio = ns / e["write_ns_per_atom"]["_io_rs_buffers"]
        out.append(f"  write: {name:<17}{ns:10.1f}  {ratio:14.2f}x  {e['write_checks'][name]}")
    return "\n".join(out)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--out", type=Path, default=ROOT / "bench" / "out")
    p.add_argument("--quick", action="store_true", help="small files and short repeats: checks that it all runs")
    p.add_argument("--min-time", type=float, default=0.05)
    p.add_argument("--budget", type=float, default=0.5)
    args = p.parse_args(argv)
    if args.quick:
        args.min_time, args.budget = 0.005, 0.02
    entries = {f.key: measure(f, args) for f in files(args.quick)}
    rows = targets(entries)
    text = "\n\n".join(table(e) for e in entries.values())
    text += "\n\nTargets (ratio of times; met when the bytes reader is that much faster)\n" + "\n".join(
        f"  {'met ' if r['met'] else 'MISS'} {r['target']:<58} {r['measured']:6.2f} ({'>=' if r['at_least'] else '<='} "
        f"{r['goal']})" for r in rows)
    print(text)
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "whole_file.json").write_text(json.dumps({"files": entries, "targets": rows}, indent=1))
    (args.out / "whole_file.txt").write_text(text + "\n")
    bad = [f"{k}: {n}: {v}" for k, e in entries.items() for checks in (e["checks"], e.get("write_checks", {}))
           for n, v in checks.items() if v != "identical" and not n.startswith(("pandas", "numpy"))]
    if bad:
        print("\nResults differ from _io_rs_buffers:\n  " + "\n  ".join(bad), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
