# Types of the _io_rs_buffers extension module, shipped as the stub-only
# package _io_rs_buffers-stubs beside the compiled module.
#
# `buffer` takes any object with a contiguous byte buffer: bytes, bytearray,
# memoryview, mmap.mmap. Every parameter is positional-or-keyword.

from collections.abc import Buffer, Sequence
from typing import Literal, SupportsIndex, overload

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
    "read_extxyz_frames",
    "parse_extxyz_comment",
    "format_extxyz_frames",
]

@overload
def read_poscar_block(
    buffer: Buffer, offset: SupportsIndex, natoms: SupportsIndex, selective: Literal[True]
) -> tuple[NDArray[np.float64], NDArray[np.bool_], int]: ...
@overload
def read_poscar_block(
    buffer: Buffer, offset: SupportsIndex, natoms: SupportsIndex, selective: Literal[False]
) -> tuple[NDArray[np.float64], None, int]: ...
@overload
def read_poscar_block(
    buffer: Buffer, offset: SupportsIndex, natoms: SupportsIndex, selective: bool | np.bool_
) -> tuple[NDArray[np.float64], NDArray[np.bool_] | None, int]: ...
def read_xdatcar_frames(
    buffer: Buffer, offset: SupportsIndex, natoms: SupportsIndex, max_frames: SupportsIndex | None = None
) -> tuple[NDArray[np.float64], NDArray[np.int64], int]: ...
def index_xdatcar_frames(buffer: Buffer, offset: SupportsIndex, natoms: SupportsIndex) -> NDArray[np.int64]: ...
def read_xyz_frames(
    buffer: Buffer, offset: SupportsIndex = 0, max_frames: SupportsIndex | None = None
) -> tuple[list[str], list[str], NDArray[np.float64], NDArray[np.int64], int]: ...
def index_xyz_frames(buffer: Buffer, offset: SupportsIndex = 0) -> NDArray[np.int64]: ...
def format_xdatcar_frames(frames: NDArray[np.float64], first_number: SupportsIndex = 1) -> bytes: ...
def format_xyz_frames(
    comments: Sequence[str],
    symbols: Sequence[str],
    positions: NDArray[np.float64],
    counts: Sequence[SupportsIndex] | NDArray[np.integer],
) -> bytes: ...
def read_extxyz_frames(
    buffer: Buffer, offset: SupportsIndex = 0, max_frames: SupportsIndex | None = None
) -> tuple[
    list[dict[str, object]],
    NDArray[np.int64],
    list[NDArray[np.float64] | None],
    list[NDArray[np.bool_]],
    list[tuple[str, NDArray[np.generic]]],
    int,
]: ...
def parse_extxyz_comment(
    line: str,
) -> tuple[dict[str, object], list[tuple[str, str, int]], NDArray[np.float64] | None, NDArray[np.bool_], bool]: ...
def format_extxyz_frames(
    infos: list[dict[str, object]],
    columns: list[tuple[str, NDArray[np.generic]]],
    counts: Sequence[SupportsIndex] | NDArray[np.integer],
    cells: list[NDArray[np.float64] | None],
    pbcs: list[NDArray[np.bool_]],
    decimals: SupportsIndex | None = None,
) -> bytes: ...
