"""io-rs info: what a file holds, from its frame table, its frames' infos and
its first and last frames. A compressed file has no table to open: it is read
once, a window at a time."""

from __future__ import annotations

import json
import os
import warnings
from collections import Counter
from collections.abc import Iterator
from typing import Any

import numpy as np

import io_rs
from io_rs._files import compression_of

from .convert import reading_options, source_format
from .source import opened

Summary = dict[str, object]
# Per-frame values that say which calculation made a step, and its energy.
_ENERGIES = ("free_energy", "energy")


def _cell_kind(frames: list[io_rs.Frame]) -> str | None:
    cells = [frame.cell for frame in frames if frame.cell is not None]
    if not cells:
        return None
    off_diagonal = any(np.count_nonzero(cell - np.diag(np.diag(cell))) for cell in cells)
    return "triclinic" if off_diagonal else "orthogonal"


def _carries(fmt: io_rs.FormatInfo, frame: io_rs.Frame, variable_cell: bool) -> Summary:
    vasp = fmt.name in ("poscar", "xdatcar")
    carries: Summary = {"positions": "fractional" if frame.fractional else "Cartesian",
                        "cell": "variable" if variable_cell else ("fixed" if frame.cell is not None else None)}
    if frame.cell is not None and not vasp:
        carries["pbc"] = [bool(value) for value in frame.pbc]
    names = {"move_mask": "selective dynamics flags"} if vasp else {}
    carries["per_atom"] = [names.get(key, key) for key in frame.arrays if not (vasp and key == "type")]
    carries["info"] = [key for key in frame.info if key not in ("comment", "scale")]
    return carries


def _stream_all(stream: Iterator[io_rs.Frame]) -> tuple[int, set[int], io_rs.Frame | None, io_rs.Frame | None,
                                                       list[dict[str, Any]]]:
    count, atoms, first, last, infos = 0, set[int](), None, None, []
    for frame in stream:
        count += 1
        atoms.add(frame.natoms)
        first = frame if first is None else first
        last = frame
        infos.append(frame.info)
    return count, atoms, first, last, infos


def _steps(infos: list[dict[str, Any]], summary: Summary) -> None:
    """What the per-frame values of a run's output say: steps by calculator,
    the first and last energies, the timesteps of a dump."""
    calculators = Counter(str(info["calculator"]) for info in infos if "calculator" in info)
    if calculators:
        summary["calculators"] = dict(calculators)
    for key in _ENERGIES:
        values = [info[key] for info in infos if key in info]
        if values:
            summary["first_energy"], summary["last_energy"] = float(values[0]), float(values[-1])
            summary["energy_key"] = key
            break
    steps = [int(info["timestep"]) for info in infos if "timestep" in info]
    if steps:
        summary["timesteps"] = [steps[0], steps[-1]]


def describe(path: str, key: str | None, options: dict[str, Any]) -> Summary:
    fmt = source_format(path, key)
    keywords = reading_options(fmt, options)
    variable = False
    truncated: list[str] = []
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if compression_of(path):
            with opened(path) as (stream, _):
                count, atoms, first, last, infos = _stream_all(io_rs.iread(stream, format=fmt.name, **keywords))
        else:
            with io_rs.open(path, format=fmt.name, **keywords) as trajectory:
                count = len(trajectory)
                first = trajectory[0] if count else None
                last = trajectory[-1] if count else None
                found = trajectory.infos()
                atoms, infos = set(found.natoms.tolist()), found.info
                variable = bool(getattr(trajectory, "variable_cell", False))
                if getattr(trajectory, "truncated", False):
                    truncated.append("the run ended early")
    for warning in caught:
        if issubclass(warning.category, io_rs.TruncatedWarning):
            truncated = [str(warning.message)]
        elif not issubclass(warning.category, io_rs.DataWarning):
            warnings.warn_explicit(warning.message, warning.category, warning.filename, warning.lineno)
    summary: Summary = {"file": path, "format": fmt.title, "bytes": os.path.getsize(path), "frames": count}
    if truncated:
        summary["ended_early"] = truncated[0]
    if first is None or last is None:
        return summary
    summary["atoms"] = min(atoms) if len(atoms) == 1 else [min(atoms), max(atoms)]
    if first.symbols is not None:
        summary["species"] = dict(Counter(first.symbols))
    elif "type" in first.arrays:
        counted = Counter(np.asarray(first.arrays["type"]).tolist())
        summary["types"] = {str(kind): counted[kind] for kind in sorted(counted)}
    if first.cell is not None:
        summary["cell"] = first.cell.tolist()
        summary["box"] = _cell_kind([first, last])
        if last.cell is not None and not (last.cell == first.cell).all():
            summary["last_cell"] = last.cell.tolist()
            variable = True
    _steps(infos, summary)
    summary["carries"] = _carries(fmt, first, variable)
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
    calculators = summary.get("calculators")
    if isinstance(calculators, dict):
        lines[-1] += " (" + ", ".join(f"{count} {name}" for name, count in calculators.items()) + ")"
    atoms = summary.get("atoms")
    if atoms is not None:
        lines.append(f"  atoms     {atoms} per frame" if isinstance(atoms, int)
                     else f"  atoms     {atoms[0]} to {atoms[1]} per frame" if isinstance(atoms, list) else "")
    species, types = summary.get("species"), summary.get("types")
    if isinstance(species, dict):
        lines.append("  species   " + ", ".join(f"{name} {count}" for name, count in species.items()))
    elif isinstance(types, dict):
        lines.append("  species   not named; by type " + ", ".join(f"{kind}: {count}" for kind, count in types.items()))
    if "cell" in summary:
        lines.append(f"  cell      {_cell(summary['cell'])}" + (" (first frame)" if "last_cell" in summary else ""))
    if "last_cell" in summary:
        lines.append(f"            {_cell(summary['last_cell'])} (last frame)")
    if "first_energy" in summary:
        lines.append(f"  energy    {summary['first_energy']:.8g} eV (first), {summary['last_energy']:.8g} eV (last), "
                     f"{summary['energy_key']}")
    steps = summary.get("timesteps")
    if isinstance(steps, list):
        lines.append(f"  timesteps {steps[0]} to {steps[-1]}")
    carries = summary.get("carries")
    if isinstance(carries, dict):
        parts = [f"{carries['positions']} positions"]
        parts += [f"{carries['cell']} cell"] if carries["cell"] else []
        parts += [f"{summary['box']} box"] if summary.get("box") == "triclinic" else []
        parts += [f"pbc {' '.join('T' if p else 'F' for p in carries['pbc'])}"] if "pbc" in carries else []
        parts += [f"per atom: {', '.join(carries['per_atom'])}"] if carries["per_atom"] else []
        parts += [f"info: {', '.join(carries['info'])}"] if carries["info"] else []
        lines.append("  carries   " + "; ".join(parts))
    if "ended_early" in summary:
        lines.append(f"  ended     early: {summary['ended_early']}")
    return "\n".join(lines)


def info(paths: list[str], key: str | None, as_json: bool, options: dict[str, Any]) -> None:
    summaries = [describe(path, key, options) for path in paths]
    print(json.dumps(summaries, indent=2) if as_json else "\n\n".join(render(summary) for summary in summaries))
