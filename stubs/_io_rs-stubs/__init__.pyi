# Types of the _io_rs extension module. They ship as the stub-only package
# _io_rs-stubs beside the compiled module, so type checkers find them in any
# environment the wheel is installed into.
#
# Every parameter is positional-or-keyword, as at run time. `lines` and
# `symbols` take any sequence of str; a bare str type-checks as one too, but
# the module refuses it with TypeError.

from collections.abc import Sequence
from typing import Literal, SupportsIndex, overload

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "parse_poscar_positions_rs",
    "format_poscar_positions_rs",
    "parse_xdatcar_coords_rs",
    "format_xdatcar_config_rs",
    "parse_xyz_block_rs",
    "format_xyz_block_rs",
]

# With selective dynamics the flags come back as an array, without as None;
# a plain bool (or a NumPy bool scalar) leaves the choice open.
@overload
def parse_poscar_positions_rs(
    lines: Sequence[str], selective: Literal[True]
) -> tuple[NDArray[np.float64], NDArray[np.bool_]]: ...
@overload
def parse_poscar_positions_rs(
    lines: Sequence[str], selective: Literal[False]
) -> tuple[NDArray[np.float64], None]: ...
@overload
def parse_poscar_positions_rs(
    lines: Sequence[str], selective: bool | np.bool_
) -> tuple[NDArray[np.float64], NDArray[np.bool_] | None]: ...
def format_poscar_positions_rs(
    coord: NDArray[np.float64], flags: NDArray[np.bool_] | None = None
) -> str: ...
def parse_xdatcar_coords_rs(lines: Sequence[str]) -> NDArray[np.float64]: ...
def format_xdatcar_config_rs(scaled_positions: NDArray[np.float64], index: SupportsIndex) -> str: ...
def parse_xyz_block_rs(lines: Sequence[str]) -> tuple[list[str], NDArray[np.float64]]: ...
def format_xyz_block_rs(symbols: Sequence[str], positions: NDArray[np.float64]) -> str: ...
