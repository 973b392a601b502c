# Types of the _io_rs_buffers extension module, shipped as the stub-only
# package _io_rs_buffers-stubs beside the compiled module.
#
# `buffer` takes any object with a contiguous byte buffer: bytes, bytearray,
# memoryview, mmap.mmap. Every parameter is positional-or-keyword.

from collections.abc import Buffer, Callable, Sequence
from typing import Literal, SupportsIndex, TypeAlias, overload

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "read_poscar_block",
    "read_xdatcar_frames",
    "index_xdatcar_frames",
    "read_xyz_frames",
    "index_xyz_frames",
    "format_xdatcar_frames",
    "format_xyz_frames",
    "scan_poscar",
    "scan_xdatcar_frames",
    "scan_xyz_frames",
    "read_extxyz_frames",
    "parse_extxyz_comment",
    "format_extxyz_frames",
    "scan_lammps_dump",
    "read_lammps_dump_frames",
    "format_lammps_dump_frames",
    "scan_vasprun",
    "scan_outcar_steps",
    "read_outcar_tables",
]

# Where a buffer stands in its file: the file's byte where the buffer starts,
# the number of the line at the offset given (from 1), the frames before it.
_Base: TypeAlias = tuple[SupportsIndex, SupportsIndex, SupportsIndex]
# A header as the scanners give it: comment, scale, lattice [3,3], species
# (None in VASP 4 files), counts, the comment's line.
_Header: TypeAlias = tuple[str, float, NDArray[np.float64], list[str] | None, list[int], int]
# Where a scan stopped: the buffer offset where the next piece starts, the
# number of its line, whether the file ends there.
_Stop: TypeAlias = tuple[int, int, bool]

@overload
def read_poscar_block(
    buffer: Buffer, offset: SupportsIndex, natoms: SupportsIndex, selective: Literal[True], base: _Base | None = None,
    *, threads: SupportsIndex = 1,
) -> tuple[NDArray[np.float64], NDArray[np.bool_], int]: ...
@overload
def read_poscar_block(
    buffer: Buffer, offset: SupportsIndex, natoms: SupportsIndex, selective: Literal[False], base: _Base | None = None,
    *, threads: SupportsIndex = 1,
) -> tuple[NDArray[np.float64], None, int]: ...
@overload
def read_poscar_block(
    buffer: Buffer,
    offset: SupportsIndex,
    natoms: SupportsIndex,
    selective: bool | np.bool_,
    base: _Base | None = None,
    *,
    threads: SupportsIndex = 1,
) -> tuple[NDArray[np.float64], NDArray[np.bool_] | None, int]: ...
def read_xdatcar_frames(
    buffer: Buffer,
    offset: SupportsIndex,
    natoms: SupportsIndex,
    max_frames: SupportsIndex | None = None,
    base: _Base | None = None,
    *,
    threads: SupportsIndex = 1,
) -> tuple[NDArray[np.float64], NDArray[np.int64], int]: ...
def index_xdatcar_frames(buffer: Buffer, offset: SupportsIndex, natoms: SupportsIndex) -> NDArray[np.int64]: ...
def read_xyz_frames(
    buffer: Buffer,
    offset: SupportsIndex = 0,
    max_frames: SupportsIndex | None = None,
    base: _Base | None = None,
    *,
    threads: SupportsIndex = 1,
) -> tuple[list[str], list[str], NDArray[np.float64], NDArray[np.int64], int]: ...
def index_xyz_frames(buffer: Buffer, offset: SupportsIndex = 0) -> NDArray[np.int64]: ...
def format_xdatcar_frames(frames: NDArray[np.float64], first_number: SupportsIndex = 1) -> bytes: ...
def format_xyz_frames(
    comments: Sequence[str],
    symbols: Sequence[str],
    positions: NDArray[np.float64],
    counts: Sequence[SupportsIndex] | NDArray[np.integer],
) -> bytes: ...
def scan_poscar(buffer: Buffer) -> tuple[_Header, bool, bool, NDArray[np.int64]]: ...
def scan_xdatcar_frames(
    buffer: Buffer,
    offset: SupportsIndex = 0,
    base: _Base | None = None,
    last: bool | np.bool_ = True,
    first: _Header | None = None,
) -> tuple[list[_Header], NDArray[np.int64], _Stop]: ...
def scan_xyz_frames(
    buffer: Buffer, offset: SupportsIndex = 0, base: _Base | None = None, last: bool | np.bool_ = True
) -> tuple[NDArray[np.int64], _Stop]: ...
def read_extxyz_frames(
    buffer: Buffer,
    offset: SupportsIndex = 0,
    max_frames: SupportsIndex | None = None,
    base: _Base | None = None,
    *,
    threads: SupportsIndex = 1,
) -> tuple[
    list[dict[str, object]],
    NDArray[np.int64],
    list[NDArray[np.float64] | None],
    NDArray[np.bool_],
    list[tuple[str, NDArray[np.generic]]],
    int,
]: ...
def parse_extxyz_comment(
    line: str,
) -> tuple[dict[str, object], list[tuple[str, str, int]], NDArray[np.float64] | None, NDArray[np.bool_], bool]: ...
@overload
def format_extxyz_frames(
    infos: list[dict[str, object]],
    columns: list[tuple[str, NDArray[np.generic]]],
    counts: Sequence[SupportsIndex] | NDArray[np.integer],
    cells: list[NDArray[np.float64] | None],
    pbcs: list[NDArray[np.bool_]],
    decimals: SupportsIndex | None = None,
    *,
    write: None = None,
    threads: SupportsIndex = 1,
) -> bytes: ...
@overload
def format_extxyz_frames(
    infos: list[dict[str, object]],
    columns: list[tuple[str, NDArray[np.generic]]],
    counts: Sequence[SupportsIndex] | NDArray[np.integer],
    cells: list[NDArray[np.float64] | None],
    pbcs: list[NDArray[np.bool_]],
    decimals: SupportsIndex | None = None,
    *,
    write: Callable[[bytes], object],
    threads: SupportsIndex = 1,
) -> None: ...

# LAMMPS dumps. A run of frames' headers: the frame table (offset, line,
# natoms, columns index, timestep, end), the distinct ATOMS lines' names,
# boxes [F,4,3] (cell rows a, b, c, then the origin), pbcs [F,3], kinds [F]
# (0 orthogonal, 1 triclinic, 2 abc origin) and (frame, name, text) of the
# other sections.
_DumpHeads: TypeAlias = tuple[
    NDArray[np.int64],
    list[tuple[str, ...]],
    NDArray[np.float64],
    NDArray[np.bool_],
    NDArray[np.uint8],
    list[tuple[int, str, str]],
]
# A file that ends inside a frame: (frame, line, byte, problem).
_DumpCut: TypeAlias = tuple[int, int, int, str]
# One output of a run of frames: name, values (texts as a list), the file's columns.
_DumpOutput: TypeAlias = tuple[str, NDArray[np.generic] | list[str], tuple[str, ...]]
# A frame header to write: timestep, (name, text) sections, cell, origin, pbc.
_DumpHead: TypeAlias = tuple[
    SupportsIndex, list[tuple[str, str]], NDArray[np.float64], NDArray[np.float64], NDArray[np.bool_]
]

def scan_lammps_dump(
    buffer: Buffer, offset: SupportsIndex = 0, base: _Base | None = None, last: bool | np.bool_ = True
) -> tuple[_DumpHeads, _Stop, _DumpCut | None]: ...
def read_lammps_dump_frames(
    buffer: Buffer,
    offset: SupportsIndex = 0,
    max_frames: SupportsIndex | None = None,
    base: _Base | None = None,
    *,
    threads: SupportsIndex = 1,
    sort: bool | np.bool_ = True,
) -> tuple[_DumpHeads, list[_DumpOutput], tuple[int, int], _DumpCut | None]: ...
@overload
def format_lammps_dump_frames(
    heads: list[_DumpHead],
    columns: list[tuple[str, NDArray[np.generic]]],
    counts: Sequence[SupportsIndex] | NDArray[np.integer],
    decimals: SupportsIndex | None = None,
    *,
    write: None = None,
    threads: SupportsIndex = 1,
) -> bytes: ...
@overload
def format_lammps_dump_frames(
    heads: list[_DumpHead],
    columns: list[tuple[str, NDArray[np.generic]]],
    counts: Sequence[SupportsIndex] | NDArray[np.integer],
    decimals: SupportsIndex | None = None,
    *,
    write: Callable[[bytes], object],
    threads: SupportsIndex = 1,
) -> None: ...
# What the scan of a vasprun.xml piece hands to the next: opaque.
_VasprunState: TypeAlias = tuple[int, bool, bool, int]

def scan_vasprun(
    buffer: Buffer,
    offset: SupportsIndex = 0,
    base: _Base | None = None,
    last: bool | np.bool_ = True,
    state: _VasprunState | None = None,
    values: bool | np.bool_ = False,
    steps: SupportsIndex = 3,
    ranged: bool | np.bool_ = False,
    *,
    threads: SupportsIndex = 1,
) -> tuple[
    list[str] | None,
    _VasprunState | None,
    NDArray[np.int64],
    NDArray[np.float64],
    NDArray[np.float64],
    NDArray[np.float64],
    NDArray[np.int64],
    list[NDArray[np.float64]] | None,
    list[NDArray[np.float64]] | None,
    tuple[int, int, int, bool, bool, int],
    list[tuple[int, int]],
]: ...

# What an OUTCAR scan hands to the scan of the next piece (opaque).
class _OutcarCarry: ...

def scan_outcar_steps(
    buffer: Buffer,
    offset: SupportsIndex = 0,
    base: _Base | None = None,
    last: bool | np.bool_ = True,
    carry: _OutcarCarry | None = None,
    *,
    tables: bool | np.bool_ = False,
    threads: SupportsIndex = 1,
) -> tuple[
    tuple[list[str], list[int], int],
    NDArray[np.int64],
    NDArray[np.float64],
    NDArray[np.float64],
    NDArray[np.float64],
    NDArray[np.float64] | None,
    NDArray[np.float64] | None,
    list[tuple[int, int]],
    tuple[int, int, bool, bool, int | None],
    _OutcarCarry,
]: ...
def read_outcar_tables(
    buffer: Buffer, steps: NDArray[np.int64], start: SupportsIndex = 0, *, threads: SupportsIndex = 1
) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.uint8]]: ...
