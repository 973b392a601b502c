"""XYZ and extended XYZ files as frames, and frames as those files.

Both are written a chunk of frames at a time: write_xyz takes the frames as
they come; extended XYZ is written one call per chunk onto the open output.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator
from typing import Any

import numpy as np

import io_rs

from .._xyz import XyzFrame
from .frame import Frame, Refusal
from .notes import Notes

# Frames are handed to a writer in chunks of about this many atoms.
CHUNK_ATOMS = 1 << 18
# Whether this build of the package reads and writes extended XYZ.
HAS_EXTXYZ = hasattr(io_rs, "read_extxyz")


def chunks(frames: Iterable[Frame]) -> Iterator[list[Frame]]:
    chunk: list[Frame] = []
    atoms = 0
    for frame in frames:
        chunk.append(frame)
        atoms += frame.natoms + 1
        if atoms >= CHUNK_ATOMS:
            yield chunk
            chunk, atoms = [], 0
    if chunk:
        yield chunk


def xyz_frame(native: XyzFrame, index: int) -> Frame:
    return Frame(index, native.symbols, None, native.positions, None, native.comment, index + 1, source=native,
                 pbc=np.zeros(3, dtype=bool))


def extxyz_frame(native: Any, index: int) -> Frame:
    arrays = dict(native.arrays)
    species, positions = arrays.pop("species", None), arrays.pop("pos", None)
    if species is None or positions is None:
        raise Refusal(f"frame {index + 1} has no 'species' or no 'pos' column")
    info = dict(native.info)
    comment = info.get("comment")
    return Frame(index, [str(name) for name in species.tolist()], None, np.asarray(positions, dtype=np.float64),
                 native.cell, comment if isinstance(comment, str) else "", index + 1, None, info, arrays,
                 np.asarray(native.pbc, dtype=np.bool_))


def _comment(frame: Frame) -> str:
    return frame.comment.splitlines()[0] if frame.comment else ""


def write_xyz(stream: io_rs.WritableBinary, frames: Iterable[Frame], decimals: int | None, notes: Notes) -> int:
    written = 0

    def xyz_frames() -> Iterator[XyzFrame]:
        nonlocal written
        for frame in frames:
            converted = XyzFrame(_comment(frame), frame.require_symbols("XYZ"), frame.positions_cartesian())
            if frame.cell is not None:
                notes.say("XYZ keeps no cell: left out (an .extxyz name or --to extxyz keeps it)")
            if frame.arrays or set(frame.info) - {"comment"}:
                notes.say("XYZ keeps only symbols and positions: other columns and info left out "
                          "(an .extxyz name or --to extxyz keeps them)")
            yield converted
            written += 1

    io_rs.write_xyz(stream, xyz_frames())
    return written


def _extxyz(frame: Frame) -> Any:
    symbols = frame.require_symbols("extended XYZ")
    info = frame.info if frame.info else ({"comment": _comment(frame)} if frame.comment.strip() else {})
    arrays = {"species": np.array(symbols, dtype=str), "pos": frame.positions_cartesian(), **frame.arrays}
    pbc = frame.pbc if frame.cell is not None else np.zeros(3, dtype=bool)
    return getattr(io_rs, "ExtxyzFrame")(frame.natoms, info, arrays, frame.cell, pbc)


def write_extxyz(stream: io_rs.WritableBinary, frames: Iterable[Frame], decimals: int | None, notes: Notes) -> int:
    written = 0
    for chunk in chunks(frames):
        getattr(io_rs, "write_extxyz")(stream, [_extxyz(frame) for frame in chunk], decimals=decimals)
        written += len(chunk)
    return written
