"""The table of formats: how each is recognised, read and written.

Every format is one row. A plain file is opened for random access (its frame
table made by one scan, frame k then read alone); a compressed file is read
once from start to end, a window at a time. Writers take the frames as an
iterable and write them as they come.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

import io_rs

from .. import _xdatcar
from .._files import label, open_pieces, resolve_threads
from .frame import Frame
from .notes import Notes
from .vasp import poscar_frame, write_poscar, write_xdatcar, xdatcar_frame
from .xyz import HAS_EXTXYZ, extxyz_frame, write_extxyz, write_xyz, xyz_frame

COMPRESSIONS = (".gz", ".bz2", ".xz")


@dataclass(frozen=True, slots=True)
class Indexed:
    """A plain file opened for random access."""

    count: int
    read: Callable[[int], Frame]
    close: Callable[[], None]
    #: The atoms of every frame, from the frame table, when it holds them.
    atoms: NDArray[np.int64] | None = None
    #: Whether the cell changes from frame to frame.
    variable_cell: bool = False


Writer = Callable[[io_rs.WritableBinary, Iterable[Frame], int | None, Notes], int]


@dataclass(frozen=True, slots=True)
class Format:
    #: The name for --from and --to.
    key: str
    #: The name in messages and reports.
    name: str
    open: Callable[[str], Indexed]
    stream: Callable[[io_rs.ReadableBinary], Iterator[Frame]]
    write: Writer
    #: Whether --decimals chooses how the target's numbers are written.
    decimals: bool = False


def _open_poscar(path: str) -> Indexed:
    frame = poscar_frame(io_rs.read_poscar(path), 0)
    return Indexed(1, lambda k: frame, lambda: None, np.array([frame.natoms]))


def _stream_poscar(stream: io_rs.ReadableBinary) -> Iterator[Frame]:
    yield poscar_frame(io_rs.read_poscar(stream), 0)


def _open_xdatcar(path: str) -> Indexed:
    f = io_rs.open_xdatcar(path)
    return Indexed(len(f), lambda k: xdatcar_frame(f.header, f[k], k), f.close,
                   np.full(len(f), f.header.natoms, dtype=np.int64), f.variable_cell)


def _stream_xdatcar(stream: io_rs.ReadableBinary) -> Iterator[Frame]:
    place = 0
    with open_pieces(stream) as pieces:
        for header, _, frames, numbers in _xdatcar._runs(pieces, label(stream), 64, [], resolve_threads(None)):
            for positions, number in zip(frames, numbers.tolist()):
                yield xdatcar_frame(header, io_rs.XdatcarFrame(number if number >= 0 else place + 1, positions,
                                                               header.lattice), place)
                place += 1


def _open_xyz(path: str) -> Indexed:
    f = io_rs.open_xyz(path)
    return Indexed(len(f), lambda k: xyz_frame(f[k], k), f.close, f.natoms)


def _stream_xyz(stream: io_rs.ReadableBinary) -> Iterator[Frame]:
    for k, frame in enumerate(io_rs.iter_xyz(stream)):
        yield xyz_frame(frame, k)


def _open_extxyz(path: str) -> Indexed:
    f: Any = getattr(io_rs, "open_extxyz")(path)
    return Indexed(len(f), lambda k: extxyz_frame(f[k], k), f.close)


def _stream_extxyz(stream: io_rs.ReadableBinary) -> Iterator[Frame]:
    for k, frame in enumerate(getattr(io_rs, "iter_extxyz")(stream)):
        yield extxyz_frame(frame, k)


FORMATS = {row.key: row for row in [
    Format("poscar", "POSCAR", _open_poscar, _stream_poscar, write_poscar),
    Format("xdatcar", "XDATCAR", _open_xdatcar, _stream_xdatcar, write_xdatcar),
    Format("xyz", "XYZ", _open_xyz, _stream_xyz, write_xyz),
    *([Format("extxyz", "extended XYZ", _open_extxyz, _stream_extxyz, write_extxyz, decimals=True)]
      if HAS_EXTXYZ else []),
]}


def split_compression(path: str) -> tuple[str, str]:
    """The name without its compression suffix, and the suffix ('' for none)."""
    root, suffix = os.path.splitext(path)
    return (root, suffix.lower()) if suffix.lower() in COMPRESSIONS else (path, "")


def _extended(first_lines: bytes) -> bool:
    lines = first_lines.split(b"\n", 2)
    return len(lines) > 1 and (b"Properties=" in lines[1] or b"Lattice=" in lines[1])


def recognise(path: str, head: Callable[[], bytes] | None) -> Format | None:
    """The format a file's name gives. An .xyz name is extended XYZ when the
    first comment line (from head(), the file's first bytes, when reading)
    holds Properties= or Lattice=, plain XYZ otherwise."""
    name = os.path.basename(split_compression(path)[0])
    lower = name.lower()
    if lower.endswith(".extxyz"):
        return FORMATS.get("extxyz")
    if lower.endswith(".xyz"):
        extended = head is not None and _extended(head())
        return FORMATS["extxyz"] if extended and HAS_EXTXYZ else FORMATS["xyz"]
    if "xdatcar" in lower:
        return FORMATS["xdatcar"]
    if "poscar" in lower or "contcar" in lower or lower.endswith(".vasp"):
        return FORMATS["poscar"]
    return None
