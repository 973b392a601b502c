"""The whole-file readers and writers of examples/, which handle the headers
themselves and pass the atom blocks through _io_rs: round trips, files in the
written layout, the header variants they accept and the errors they raise."""

import math
import sys
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))

from poscar_file import Poscar, format_poscar, parse_poscar, read_poscar, write_poscar  # noqa: E402
from xdatcar_file import Xdatcar, format_xdatcar, parse_xdatcar, read_xdatcar, write_xdatcar  # noqa: E402
from xyz_file import XyzFrame, format_xyz, parse_xyz, read_xyz, write_xyz  # noqa: E402

# Digits after the point that each writer keeps.
HEADER_DECIMALS = 16
POSCAR_DECIMALS = 16
XDATCAR_DECIMALS = 8
XYZ_DECIMALS = 15

ANY_FLOAT = st.floats(width=64)
# Lattice and scale are read by Python's float(), which has other special spellings.
FINITE = st.floats(width=64, allow_nan=False, allow_infinity=False, min_value=-1e6, max_value=1e6)
SYMBOLS = st.sampled_from(["H", "He", "C", "O", "Fe", "Cl", "Uue"])
COMMENTS = st.text(st.characters(exclude_characters="\r\n"), max_size=20)
ROUND_TRIPS = settings(max_examples=40, deadline=None)


def written(values, decimals):
    """The values as read back from text with `decimals` digits after the
    point: Python's fixed-point formatting rounds the exact binary value half
    to even, like the module's writers, and float() reads correctly rounded."""
    as_written = np.vectorize(lambda v: float(f"{v:.{decimals}f}"), otypes=[np.float64])
    return as_written(np.asarray(values, dtype=np.float64))


def assert_same_values(actual, expected):
    np.testing.assert_array_equal(actual, expected)
    signed = ~np.isnan(expected)
    np.testing.assert_array_equal(np.signbit(actual[signed]), np.signbit(expected[signed]))


def assert_same_header(read, original):
    assert read.comment == original.comment
    assert read.scale == written(original.scale, HEADER_DECIMALS)
    assert_same_values(read.lattice, written(original.lattice, HEADER_DECIMALS))
    assert read.species == original.species and read.counts == original.counts


@st.composite
def headers(draw):
    species = draw(st.lists(SYMBOLS, min_size=1, max_size=3))
    return dict(comment=draw(COMMENTS), scale=draw(FINITE),
                lattice=draw(hnp.arrays(np.float64, (3, 3), elements=FINITE)),
                species=species, counts=draw(st.lists(st.integers(0, 4), min_size=len(species),
                                                      max_size=len(species))))


@st.composite
def poscars(draw):
    header = draw(headers())
    natoms = sum(header["counts"])
    selective = draw(st.booleans())
    return Poscar(**header,
                  positions=draw(hnp.arrays(np.float64, (natoms, 3), elements=ANY_FLOAT)),
                  direct=draw(st.booleans()),
                  flags=draw(hnp.arrays(np.bool_, (natoms, 3))) if selective else None)


@st.composite
def xdatcars(draw):
    header = draw(headers())
    nframes = draw(st.integers(0, 3))
    shape = (nframes, sum(header["counts"]), 3)
    return Xdatcar(**header, frames=draw(hnp.arrays(np.float64, shape, elements=ANY_FLOAT)),
                   numbers=list(range(1, nframes + 1)))


@st.composite
def xyz_frames(draw):
    natoms = draw(st.integers(0, 4))
    return XyzFrame(draw(COMMENTS), draw(st.lists(SYMBOLS, min_size=natoms, max_size=natoms)),
                    draw(hnp.arrays(np.float64, (natoms, 3), elements=ANY_FLOAT)))


# Write -> read gives the data back, rounded to the written digits; the text
# read back and written again is the same text.

@ROUND_TRIPS
@given(poscars())
def test_poscar_round_trip(poscar):
    text = format_poscar(poscar)
    read = parse_poscar(text)
    assert_same_header(read, poscar)
    assert read.direct == poscar.direct
    assert_same_values(read.positions, written(poscar.positions, POSCAR_DECIMALS))
    if poscar.flags is None:
        assert read.flags is None
    else:
        np.testing.assert_array_equal(read.flags, poscar.flags)
    assert format_poscar(read) == text


@ROUND_TRIPS
@given(xdatcars())
def test_xdatcar_round_trip(xdatcar):
    text = format_xdatcar(xdatcar)
    read = parse_xdatcar(text)
    assert_same_header(read, xdatcar)
    assert read.numbers == xdatcar.numbers
    assert read.frames.shape == xdatcar.frames.shape
    assert_same_values(read.frames, written(xdatcar.frames, XDATCAR_DECIMALS))
    assert format_xdatcar(read) == text


@ROUND_TRIPS
@given(st.lists(xyz_frames(), max_size=3))
def test_xyz_round_trip(frames):
    text = format_xyz(frames)
    read = parse_xyz(text)
    assert len(read) == len(frames)
    for got, original in zip(read, frames):
        assert got.comment == original.comment and got.symbols == original.symbols
        assert_same_values(got.positions, written(original.positions, XYZ_DECIMALS))
    assert format_xyz(read) == text


# Files in the written layout, with the values they hold.

POSCAR_TEXT = """\
Rutile TiO2
  1.0000000000000000
  4.5940000000000003  0.0000000000000000  0.0000000000000000
  0.0000000000000000  4.5940000000000003  0.0000000000000000
  0.0000000000000000  0.0000000000000000  2.9590000000000001
  Ti   O
   2   4
Selective dynamics
Direct
  0.0000000000000000  0.0000000000000000  0.0000000000000000   F   F   F
  0.5000000000000000  0.5000000000000000  0.5000000000000000   T   T   T
  0.3053000000000000  0.3053000000000000  0.0000000000000000   T   T   F
  0.6947000000000000  0.6947000000000000  0.0000000000000000   T   T   F
  0.8053000000000000  0.1947000000000000  0.5000000000000000   T   T   T
  0.1947000000000000  0.8053000000000000  0.5000000000000000   T   T   T
"""

XDATCAR_TEXT = """\
H2O md
  1.0000000000000000
 10.0000000000000000  0.0000000000000000  0.0000000000000000
  0.0000000000000000 10.0000000000000000  0.0000000000000000
  0.0000000000000000  0.0000000000000000 10.0000000000000000
   O   H
   1   2
Direct configuration=     1
   0.50000000  0.50000000  0.50000000
   0.57000000  0.50000000  0.50000000
   0.48000000  0.59000000  0.50000000
Direct configuration=     2
   0.50100000  0.49900000  0.50000000
   0.57100000  0.50000000  0.50200000
   0.48000000  0.58900000  0.50000000
"""

XYZ_TEXT = """\
3
water
O       0.000000000000000      0.000000000000000      0.117300000000000
H       0.000000000000000      0.757200000000000     -0.469200000000000
H       0.000000000000000     -0.757200000000000     -0.469200000000000
1

Fe      0.000000000000000      0.000000000000000      0.000000000000000
"""


def test_poscar_file_in_written_layout():
    poscar = parse_poscar(POSCAR_TEXT)
    assert (poscar.comment, poscar.scale, poscar.species, poscar.counts, poscar.direct) == \
        ("Rutile TiO2", 1.0, ["Ti", "O"], [2, 4], True)
    np.testing.assert_array_equal(poscar.lattice, np.diag([4.594, 4.594, 2.959]))
    np.testing.assert_array_equal(poscar.positions[2], [0.3053, 0.3053, 0.0])
    np.testing.assert_array_equal(poscar.flags[[0, 1, 2]],
                                  [[True] * 3, [False] * 3, [False, False, True]])
    assert format_poscar(poscar) == POSCAR_TEXT


def test_xdatcar_file_in_written_layout():
    xdatcar = parse_xdatcar(XDATCAR_TEXT)
    assert (xdatcar.comment, xdatcar.species, xdatcar.counts, xdatcar.numbers) == \
        ("H2O md", ["O", "H"], [1, 2], [1, 2])
    assert xdatcar.frames.shape == (2, 3, 3)
    np.testing.assert_array_equal(xdatcar.frames[1, 2], [0.48, 0.589, 0.5])
    assert format_xdatcar(xdatcar) == XDATCAR_TEXT


def test_xyz_file_in_written_layout():
    frames = parse_xyz(XYZ_TEXT)
    assert [(f.comment, f.symbols) for f in frames] == [("water", ["O", "H", "H"]), ("", ["Fe"])]
    np.testing.assert_array_equal(frames[0].positions[1], [0.0, 0.7572, -0.4692])
    assert format_xyz(frames) == XYZ_TEXT


# Other spellings the readers accept, and what they make of them.

def poscar_variant(mode_lines, atom_lines, newline="\n"):
    head = POSCAR_TEXT.split("\n")[:7]
    return newline.join([*head, *mode_lines, *atom_lines]) + newline


@pytest.mark.parametrize("text, direct, flags", [
    (poscar_variant(["selective dynamics", "direct"], ["0 0 0 F", "0 0 0"] + ["0 0 0"] * 4),
     True, [True, False, False]),
    (poscar_variant(["Cartesian"], ["0 0 0"] * 6), False, None),
    (poscar_variant(["kartesisch"], ["0 0 0"] * 6), False, None),
    (poscar_variant(["Direct"], ["0 0 0"] * 6, newline="\r\n"), True, None),
    # A CONTCAR's velocity block after the positions is left alone.
    (poscar_variant(["Direct"], ["0 0 0"] * 6 + ["", "  1.0 2.0 3.0"] * 6), True, None),
], ids=["lower-case-selective", "cartesian", "k-for-cartesian", "crlf", "contcar-velocities"])
def test_poscar_header_variants(text, direct, flags):
    poscar = parse_poscar(text)
    assert poscar.direct is direct
    assert poscar.positions.shape == (6, 3)
    assert poscar.flags is None if flags is None else poscar.flags[0].tolist() == flags


def test_xyz_symbols_are_normalised_and_extra_columns_ignored():
    frames = parse_xyz("2\nextended\nfe 1 2 3 0.5 charge\ncL 4 5 6\n")
    assert frames[0].symbols == ["Fe", "Cl"]
    np.testing.assert_array_equal(frames[0].positions, [[1, 2, 3], [4, 5, 6]])


def test_xdatcar_without_frames_and_with_blank_lines():
    head = "\n".join(XDATCAR_TEXT.split("\n")[:7]) + "\n"
    assert parse_xdatcar(head).frames.shape == (0, 3, 3)
    spaced = XDATCAR_TEXT.replace("Direct configuration=     2", "\nDirect configuration=     2") + "\n\n"
    assert parse_xdatcar(spaced).numbers == [1, 2]


# Errors: the examples' own messages for the headers, the module's for the blocks.

POSCAR_LINES = POSCAR_TEXT.split("\n")
XDATCAR_LINES = XDATCAR_TEXT.split("\n")


@pytest.mark.parametrize("parse, text, message", [
    (parse_poscar, "\n".join(POSCAR_LINES[:5]), "POSCAR: the header needs 7 lines"),
    (parse_poscar, "\n".join(POSCAR_LINES[:7]), "POSCAR: the Direct/Cartesian line is missing"),
    (parse_poscar, "\n".join(POSCAR_LINES[:8] + ["Rotated"]), "POSCAR: expected Direct or Cartesian"),
    (parse_poscar, "\n".join(POSCAR_LINES[:12]), "POSCAR: 6 atom lines expected, 3 found"),
    (parse_poscar, POSCAR_TEXT.replace("  Ti   O\n", "   2   4\n"), "POSCAR: line 6 must name the species"),
    (parse_poscar, POSCAR_TEXT.replace("   2   4\n", "   2\n"), "POSCAR: 2 species but 1 counts"),
    (parse_poscar, POSCAR_TEXT.replace("0.3053000000000000  0.0000000000000000   T", "0.3053000000000000  x   T"),
     "POSCAR: cannot parse coordinate 'x' on atom line 2: invalid float literal"),
    (parse_poscar, POSCAR_TEXT.replace("T   T   F", "T   t   F", 1),
     "POSCAR: expected selective dynamics flag 'T' or 'F', got 't' on atom line 2"),
    (parse_xdatcar, "\n".join(XDATCAR_LINES[:10]), "XDATCAR: frame 1 has 2 of 3 atom lines"),
    (parse_xdatcar, "\n".join(XDATCAR_LINES[:11] + XDATCAR_LINES[:7]), "XDATCAR: expected 'Direct configuration='"),
    (parse_xdatcar, XDATCAR_TEXT.replace("=     2", "="), "XDATCAR: no frame number"),
    (parse_xdatcar, XDATCAR_TEXT.replace("0.58900000", "0.589D+00"),
     "XDATCAR: cannot parse '0.589D+00' on line 2: invalid float literal"),
    (parse_xyz, "two\nwater\n", "XYZ: expected an atom count on line 1"),
    (parse_xyz, "3\nwater\nO 0 0 0\n", "XYZ: the frame at line 1 is cut short"),
    (parse_xyz, XYZ_TEXT.replace("Fe ", "Fe\n"), "XYZ: not enough position fields on atom line 0"),
], ids=["poscar-short-header", "poscar-no-mode", "poscar-bad-mode", "poscar-short-block",
        "poscar-no-species", "poscar-counts", "poscar-coordinate", "poscar-flag",
        "xdatcar-short-frame", "xdatcar-variable-cell", "xdatcar-no-number", "xdatcar-coordinate",
        "xyz-count", "xyz-short-frame", "xyz-fields"])
def test_parse_errors(parse, text, message):
    with pytest.raises(ValueError) as caught:
        parse(text)
    assert str(caught.value).startswith(message)


@pytest.mark.parametrize("write, data, message", [
    (format_poscar, parse_poscar(POSCAR_TEXT), "positions must be 6 x 3"),
    (format_xdatcar, parse_xdatcar(XDATCAR_TEXT), "2 frames but 1 frame numbers"),
    (format_xyz, parse_xyz(XYZ_TEXT), "the comment must be a single line"),
], ids=["poscar", "xdatcar", "xyz"])
def test_inconsistent_data_is_refused(write, data, message):
    if isinstance(data, Poscar):
        data.positions = data.positions[:5]
    elif isinstance(data, Xdatcar):
        data.numbers = [1]
    else:
        data[1].comment = "two\nlines"
    with pytest.raises(ValueError, match=message):
        write(data)


# The file functions write LF line ends only and read back what they wrote.

@pytest.mark.parametrize("write, read, text", [
    (write_poscar, read_poscar, POSCAR_TEXT),
    (write_xdatcar, read_xdatcar, XDATCAR_TEXT),
    (write_xyz, read_xyz, XYZ_TEXT),
], ids=["poscar", "xdatcar", "xyz"])
def test_files_round_trip(tmp_path, write, read, text):
    path = tmp_path / "structure"
    data = {read_poscar: parse_poscar, read_xdatcar: parse_xdatcar, read_xyz: parse_xyz}[read](text)
    write(path, data)
    assert path.read_bytes() == text.encode()
    again = tmp_path / "again"
    write(again, read(path))
    assert again.read_bytes() == path.read_bytes()


def test_written_helper_rounds_like_the_writers():
    # The expectation above relies on ties going to the even digit.
    assert written([0.001953125, 0.005859375], 8).tolist() == [0.00195312, 0.00585938]
    assert math.copysign(1.0, written(-1e-12, 8)) == -1.0
