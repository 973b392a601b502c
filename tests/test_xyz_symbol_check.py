"""format_xyz_block_rs writes only symbols that read back as the single
symbol field of their line: exactly one field under the parsers' splitting
(separators TAB, LF, FF, CR, SPACE) and no LF or CR anywhere."""

import numpy as np
import pytest

import _io_rs

ROW = np.array([[1.0, -2.0, 0.5]])
COORDS = "      1.000000000000000     -2.000000000000000      0.500000000000000\n"
OUT_OF_BOUNDS = "ndarray: index out of bounds"


def refusal(index, symbol):
    return f"format_xyz_block_rs: symbol at index {index} is not a single field: '{symbol}'"


def normalised(field):
    lower = field.lower()
    return lower[:1].upper() + lower[1:]


# Symbol as given, and the field the line reads back with.
ACCEPTED = [
    ("H", "H"),
    ("Fe", "Fe"),
    ("Uuo", "Uuo"),
    (" H", "H"),               # padding that still reads as one field
    ("H ", "H"),
    ("\tH", "H"),
    ("H\t", "H"),
    (" \tHe\t ", "He"),
    ("\fH", "H"),              # FF separates fields but breaks no line
    ("H\f", "H"),
    ("H\x0bX", "H\x0bX"),      # vertical tab is no separator
    ("\x0b", "\x0b"),
    ("\x00", "\x00"),
    ("H\x00", "H\x00"),
    ("\x1c", "\x1c"),
    ("\x7f", "\x7f"),
    ("\xa0", "\xa0"),          # no-break space
    ("H\xa0X", "H\xa0X"),
    ("\u2003", "\u2003"),      # em space
    ("\u3000", "\u3000"),      # ideographic space
    ("\x85", "\x85"),          # next line: not a line break in this format
    ("H\u2028X", "H\u2028X"),  # line separator: likewise
    ("\u00e9", "\u00e9"),
    ("\U0001f600", "\U0001f600"),
]


@pytest.mark.parametrize("symbol, field", ACCEPTED, ids=[ascii(s) for s, _ in ACCEPTED])
def test_accepted_symbol_is_written_as_given(symbol, field):
    text = _io_rs.format_xyz_block_rs([symbol], ROW)
    assert text == symbol.ljust(2) + COORDS
    # Read back, the line has one symbol field and the same coordinates.
    symbols, positions = _io_rs.parse_xyz_block_rs(text.split("\n")[:-1])
    assert symbols == [normalised(field)]
    assert positions.tolist() == ROW.tolist()


REFUSED = [
    "",
    " ",
    "  ",
    "\t",
    "\f",
    " \t\f ",
    "H H",
    "H\tH",
    "H\fX",
    "Fe Cl",
    "H\x00 X",
    "\u00e9 \u00e9",
    "H\n",          # one field, but it would end the line
    "\nH",
    "H\nX",
    "\n",
    "H\r",
    "\rH",
    "\r",
    "H\r\n",
    " H \n",
]


@pytest.mark.parametrize("symbol", REFUSED, ids=[ascii(s) for s in REFUSED])
def test_refused_symbol(symbol):
    with pytest.raises(ValueError) as excinfo:
        _io_rs.format_xyz_block_rs([symbol], ROW)
    assert excinfo.type is ValueError
    assert str(excinfo.value) == refusal(0, symbol)


@pytest.mark.parametrize("symbols, index", [
    (["H H", "O", "C"], 0),
    (["H", "O", "C\n"], 2),
    (["H", "", "C", " "], 1),       # the first bad symbol decides
    (["H"] * 999 + ["X Y"], 999),
])
def test_refusal_names_the_first_bad_symbol(symbols, index):
    positions = np.zeros((len(symbols), 3))
    with pytest.raises(ValueError) as excinfo:
        _io_rs.format_xyz_block_rs(symbols, positions)
    assert str(excinfo.value) == refusal(index, symbols[index])


def test_length_check_comes_before_the_symbol_check():
    with pytest.raises(ValueError) as excinfo:
        _io_rs.format_xyz_block_rs(["H H"], np.zeros((2, 3)))
    assert str(excinfo.value) == "format_xyz_block_rs: symbols length (1) != positions rows (2)"


@pytest.mark.parametrize("symbols", [["H H"], ["H", "\n"]])
def test_column_check_comes_before_the_symbol_check(symbols):
    with pytest.raises(BaseException) as excinfo:
        _io_rs.format_xyz_block_rs(symbols, np.zeros((len(symbols), 2)))
    assert not issubclass(excinfo.type, Exception)
    assert str(excinfo.value) == OUT_OF_BOUNDS


def test_argument_conversion_comes_before_the_symbol_check():
    with pytest.raises(TypeError) as excinfo:
        _io_rs.format_xyz_block_rs(["H H"], [[0.0, 0.0, 0.0]])
    assert str(excinfo.value) == ("argument 'positions': 'list' object cannot be "
                                  "converted to 'PyArray<T, D>'")
