"""Input arrays are read in place through their strides: every memory layout
gives the text of a C-ordered copy, only the first three columns count, any
non-zero flag byte is a true flag, and the input is never modified."""

import numpy as np
import pytest

import _io_rs

ROWS, COLS = 6, 5
SYMBOLS = ["H", "He", "Li", "Be", "B", "C"]


def coordinates(cols=COLS):
    rng = np.random.default_rng(11)
    a = rng.uniform(-5.0, 5.0, (ROWS, cols))
    a[1, 1], a[2, 0], a[3, 2], a[4, 1], a[5, 2] = np.nan, -0.0, 1e20, -np.inf, 0.001953125
    return a


def flag_pattern(shape):
    rows, cols = shape
    return np.add.outer(np.arange(rows), np.arange(cols)) % 3 == 0


FORMATTERS = {
    "xdatcar": lambda a: _io_rs.format_xdatcar_config_rs(a, 9),
    "poscar": lambda a: _io_rs.format_poscar_positions_rs(a),
    "poscar-flags": lambda a: _io_rs.format_poscar_positions_rs(a, flag_pattern(a.shape)),
    "xyz": lambda a: _io_rs.format_xyz_block_rs(SYMBOLS[:len(a)], a),
}


# --- Layouts ----------------------------------------------------------------
#
# Each builder takes a C-ordered array and returns a view of another layout;
# the second entry says what makes that layout what it is.

def stepped_slice(a):
    big = np.zeros((2 * a.shape[0] + 1, 3 * a.shape[1]), dtype=a.dtype)
    big[1::2, ::3] = a
    return big[1::2, ::3]


def unaligned(a, read_only=False):
    buf = bytearray(a.nbytes + 1)
    view = np.frombuffer(buf, dtype=a.dtype, offset=1, count=a.size).reshape(a.shape)
    view[...] = a
    if read_only:
        view = np.frombuffer(bytes(buf), dtype=a.dtype, offset=1, count=a.size).reshape(a.shape)
    return view


def unaligned_odd_strides(a):
    rows, cols = a.shape
    item = a.itemsize
    col_stride, row_stride = item + 1, cols * (item + 1) + 3
    buf = bytearray(5 + (rows - 1) * row_stride + (cols - 1) * col_stride + item)
    view = np.ndarray(a.shape, dtype=a.dtype, buffer=buf, offset=5,
                      strides=(row_stride, col_stride))
    view[...] = a
    return view


def read_only(a):
    view = a.copy()
    view.flags.writeable = False
    return view


class Subclass(np.ndarray):
    pass


def strides(v):
    return v.strides


LAYOUTS = {
    "c-order": (lambda a: a.copy(), lambda v: v.flags.c_contiguous),
    "fortran": (np.asfortranarray, lambda v: v.flags.f_contiguous and not v.flags.c_contiguous),
    "stepped-slice": (stepped_slice, lambda v: not (v.flags.c_contiguous or v.flags.f_contiguous)),
    "reversed-rows": (lambda a: a[::-1].copy()[::-1], lambda v: strides(v)[0] < 0),
    "reversed-columns": (lambda a: a[:, ::-1].copy()[:, ::-1], lambda v: strides(v)[1] < 0),
    "reversed-both": (lambda a: a[::-1, ::-1].copy()[::-1, ::-1],
                      lambda v: strides(v)[0] < 0 and strides(v)[1] < 0),
    "transposed": (lambda a: a.T.copy().T, lambda v: 0 < strides(v)[0] < strides(v)[1]),
    "transposed-reversed": (lambda a: a[::-1].T.copy().T[::-1],
                            lambda v: strides(v)[0] < 0 < strides(v)[1]),
    "broadcast-row": (lambda a: np.broadcast_to(a[0], a.shape), lambda v: strides(v)[0] == 0),
    "broadcast-column": (lambda a: np.broadcast_to(a[:, :1], a.shape),
                         lambda v: strides(v)[1] == 0),
    "broadcast-scalar": (lambda a: np.broadcast_to(a[2, 0], a.shape),
                         lambda v: strides(v) == (0, 0)),
    "read-only": (read_only, lambda v: not v.flags.writeable),
    "unaligned": (unaligned, lambda v: v.itemsize == 1 or not v.flags.aligned),
    "unaligned-read-only": (lambda a: unaligned(a, read_only=True),
                            lambda v: not v.flags.writeable
                            and (v.itemsize == 1 or not v.flags.aligned)),
    "unaligned-odd-strides": (unaligned_odd_strides,
                              lambda v: v.itemsize == 1 or not v.flags.aligned),
    "subclass": (lambda a: a.copy().view(Subclass), lambda v: type(v) is Subclass),
}


def build(layout, base):
    make, is_that_layout = LAYOUTS[layout]
    view = make(base)
    assert is_that_layout(view), f"{layout} builder made strides {view.strides}"
    return view


def snapshot(view):
    return view.tobytes(), view.flags.writeable, view.strides


# --- Coordinates ----------------------------------------------------------

@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("name", FORMATTERS)
def test_coordinates_in_any_layout(name, layout):
    write = FORMATTERS[name]
    view = build(layout, coordinates())
    before = snapshot(view)
    text = write(view)
    assert text == write(np.array(view, order="C"))
    assert snapshot(view) == before


@pytest.mark.parametrize("cols", [4, 5, 8])
@pytest.mark.parametrize("name", FORMATTERS)
def test_only_the_first_three_columns_are_written(name, cols):
    write = FORMATTERS[name]
    wide = coordinates(cols)
    assert write(wide) == write(wide[:, :3].copy())
    # Changing the extra columns changes nothing either.
    other = wide.copy()
    other[:, 3:] = np.nan
    assert write(other) == write(wide)


# --- Flags ------------------------------------------------------------------

# Flag bytes as stored: a bool array whose bytes are not only 0 and 1.
FLAG_BYTES = np.array([[0, 1, 2, 0, 9],
                       [255, 0, 128, 1, 0],
                       [0, 0, 0, 3, 3],
                       [64, 7, 0, 0, 1],
                       [1, 1, 1, 0, 0],
                       [0, 254, 0, 5, 0]], dtype=np.uint8)


@pytest.mark.parametrize("layout", LAYOUTS)
def test_flags_in_any_layout(layout):
    coord = np.linspace(0.0, 0.9, ROWS * COLS).reshape(ROWS, COLS)
    raw = build(layout, FLAG_BYTES)
    flags = raw.view(np.bool_)
    before = snapshot(flags)
    lines = _io_rs.format_poscar_positions_rs(coord, flags).splitlines()

    plain = _io_rs.format_poscar_positions_rs(coord).splitlines()
    letters = np.where(np.array(raw)[:, :3] != 0, "   F", "   T")
    assert lines == [p + "".join(row) for p, row in zip(plain, letters)]
    assert snapshot(flags) == before


@pytest.mark.parametrize("layout", ["fortran", "reversed-both", "transposed", "unaligned",
                                    "broadcast-row", "read-only"])
def test_coordinates_and_flags_both_strided(layout):
    coord = build(layout, coordinates())
    flags = build(layout, flag_pattern((ROWS, COLS)))
    text = _io_rs.format_poscar_positions_rs(coord, flags)
    assert text == _io_rs.format_poscar_positions_rs(np.array(coord, order="C"),
                                                     np.array(flags, order="C"))
