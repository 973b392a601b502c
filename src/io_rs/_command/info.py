"""io-rs info: what a file holds, from its frame table and its first and
last frames. A compressed file has no table to open: it is read once, a
window at a time."""

from __future__ import annotations

import json
import os
from collections import Counter
from collections.abc import Iterator

from .convert import format_of
from .formats import Indexed, split_compression
from .frame import Frame
from .source import opened

Summary = dict[str, object]


def _carries(frame: Frame, variable_cell: bool) -> Summary:
    carries: Summary = {"positions": "fractional" if frame.fractional is not None else "Cartesian",
                        "cell": "variable" if variable_cell else ("fixed" if frame.cell is not None else None)}
    if frame.cell is not None and frame.header is None:
        carries["pbc"] = [bool(value) for value in frame.pbc]
    names = {"move_mask": "selective dynamics flags"} if frame.header is not None else {}
    carries["per_atom"] = [names.get(key, key) for key in frame.arrays]
    carries["info"] = [key for key in frame.info if key != "comment"]
    return carries


def _read_all(stream_frames: Iterator[Frame]) -> tuple[int, set[int], Frame | None, Frame | None]:
    count, atoms, first, last = 0, set[int](), None, None
    for frame in stream_frames:
        count += 1
        atoms.add(frame.natoms)
        first = frame if first is None else first
        last = frame
    return count, atoms, first, last


def describe(path: str, key: str | None) -> Summary:
    fmt = format_of(path, key, True)
    variable = False
    if split_compression(path)[1]:
        with opened(path) as (stream, _):
            count, atoms, first, last = _read_all(fmt.stream(stream))
    else:
        indexed: Indexed = fmt.open(path)
        try:
            count, variable = indexed.count, indexed.variable_cell
            first = indexed.read(0) if count else None
            last = indexed.read(count - 1) if count else None
            atoms = set(indexed.atoms.tolist()) if indexed.atoms is not None else set()
        finally:
            indexed.close()
    summary: Summary = {"file": path, "format": fmt.name, "bytes": os.path.getsize(path), "frames": count}
    if first is None or last is None:
        return summary
    atoms |= {first.natoms, last.natoms} if not atoms else set()
    summary["atoms"] = min(atoms) if len(atoms) == 1 else [min(atoms), max(atoms)]
    if first.symbols is not None:
        summary["species"] = dict(Counter(first.symbols))
    elif first.header is not None:
        summary["counts"] = first.header.counts
    if first.cell is not None:
        summary["cell"] = first.cell.tolist()
        if last.cell is not None and not (last.cell == first.cell).all():
            summary["last_cell"] = last.cell.tolist()
            variable = True
    summary["carries"] = _carries(first, variable)
    return summary


def _size(count: object) -> str:
    value = float(count) if isinstance(count, int) else 0.0
    for unit in ("bytes", "KiB", "MiB", "GiB"):
        if value < 1024 or unit == "GiB":
            return f"{int(value)} bytes" if unit == "bytes" else f"{value:.1f} {unit} ({count} bytes)"
        value /= 1024
    return ""


def _cell(rows: object) -> str:
    assert isinstance(rows, list)
    return " | ".join(" ".join(f"{value:.6g}" for value in row) for row in rows)


def render(summary: Summary) -> str:
    lines = [str(summary["file"]), f"  format    {summary['format']}", f"  size      {_size(summary['bytes'])}",
             f"  frames    {summary['frames']}"]
    atoms = summary.get("atoms")
    if atoms is not None:
        lines.append(f"  atoms     {atoms} per frame" if isinstance(atoms, int)
                     else f"  atoms     {atoms[0]} to {atoms[1]} per frame" if isinstance(atoms, list) else "")
    species = summary.get("species")
    if isinstance(species, dict):
        lines.append("  species   " + ", ".join(f"{name} {count}" for name, count in species.items()))
    elif "counts" in summary:
        lines.append(f"  species   not named (VASP 4); counts {summary['counts']}")
    if "cell" in summary:
        lines.append(f"  cell      {_cell(summary['cell'])}" + (" (first frame)" if "last_cell" in summary else ""))
    if "last_cell" in summary:
        lines.append(f"            {_cell(summary['last_cell'])} (last frame)")
    carries = summary.get("carries")
    if isinstance(carries, dict):
        parts = [f"{carries['positions']} positions"]
        parts += [f"{carries['cell']} cell"] if carries["cell"] else []
        parts += [f"pbc {' '.join('T' if p else 'F' for p in carries['pbc'])}"] if "pbc" in carries else []
        parts += [f"per atom: {', '.join(carries['per_atom'])}"] if carries["per_atom"] else []
        parts += [f"info: {', '.join(carries['info'])}"] if carries["info"] else []
        lines.append("  carries   " + "; ".join(parts))
    return "\n".join(lines)


def info(paths: list[str], key: str | None, as_json: bool) -> None:
    summaries = [describe(path, key) for path in paths]
    print(json.dumps(summaries, indent=2) if as_json else "\n\n".join(render(summary) for summary in summaries))
