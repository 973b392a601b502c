"""Binding of call arguments to parameters: counts, names, keyword order,
and that binding is judged before any argument is converted."""

import numpy as np
import pytest

import _io_rs

LINES = ["0 0.5 0.25"]
COORD = np.array([[0.0, 0.5, 0.25]])
FLAGS = np.array([[True, False, True]])
SYMBOLS = ["H"]

parse_poscar = _io_rs.parse_poscar_positions_rs
format_poscar = _io_rs.format_poscar_positions_rs
parse_xdatcar = _io_rs.parse_xdatcar_coords_rs
format_xdatcar = _io_rs.format_xdatcar_config_rs
parse_xyz = _io_rs.parse_xyz_block_rs
format_xyz = _io_rs.format_xyz_block_rs


def binding_error(function, args, kwargs):
    with pytest.raises(TypeError) as caught:
        function(*args, **kwargs)
    assert type(caught.value) is TypeError
    return str(caught.value)


TOO_MANY = [
    (parse_xdatcar, (LINES, LINES), "parse_xdatcar_coords_rs() takes 1 positional arguments but 2 were given"),
    (parse_xyz, (LINES, LINES, LINES), "parse_xyz_block_rs() takes 1 positional arguments but 3 were given"),
    (parse_poscar, (LINES, True, True), "parse_poscar_positions_rs() takes 2 positional arguments but 3 were given"),
    (format_xdatcar, (COORD, 1, 2, 3), "format_xdatcar_config_rs() takes 2 positional arguments but 4 were given"),
    (format_xyz, (SYMBOLS, COORD, COORD), "format_xyz_block_rs() takes 2 positional arguments but 3 were given"),
    # Only this function has an optional parameter: R < P.
    (format_poscar, (COORD, FLAGS, None),
     "format_poscar_positions_rs() takes from 1 to 2 positional arguments but 3 were given"),
    (format_poscar, (COORD, FLAGS, None, None, None),
     "format_poscar_positions_rs() takes from 1 to 2 positional arguments but 5 were given"),
]


@pytest.mark.parametrize("function, args, message", TOO_MANY)
def test_too_many_positional(function, args, message):
    assert binding_error(function, args, {}) == message


@pytest.mark.parametrize("kwargs", [{"bogus": 1}, {"lines": LINES}])
def test_too_many_positional_ignores_keywords(kwargs):
    # The count is checked before any keyword is looked at.
    message = binding_error(parse_xdatcar, (LINES, LINES), kwargs)
    assert message == "parse_xdatcar_coords_rs() takes 1 positional arguments but 2 were given"


UNEXPECTED = [
    (parse_xyz, (), {"line": LINES}, "line"),
    (parse_xdatcar, (LINES,), {"Lines": LINES}, "Lines"),
    (parse_poscar, (LINES, True), {"selective_": True}, "selective_"),
    (format_poscar, (COORD,), {"flag": None}, "flag"),
    (format_xdatcar, (COORD,), {"Index": 1}, "Index"),
    (format_xyz, (SYMBOLS,), {"position": COORD}, "position"),
    (parse_xdatcar, (), {"l\u00ednes": LINES}, "l\u00ednes"),
    # A name that cannot be encoded as UTF-8 matches no parameter.
    (parse_xyz, (), {"\udcff": LINES}, "\udcff"),
    (parse_xyz, (), {"lines\x00": LINES}, "lines\x00"),
]


@pytest.mark.parametrize("function, args, kwargs, name", UNEXPECTED)
def test_unexpected_keyword(function, args, kwargs, name):
    expected = f"{function.__name__}() got an unexpected keyword argument '{name}'"
    assert binding_error(function, args, kwargs) == expected


MULTIPLE = [
    (parse_xdatcar, (LINES,), {"lines": LINES}, "lines"),
    (parse_xyz, (LINES,), {"lines": LINES}, "lines"),
    (parse_poscar, (LINES, True), {"selective": True}, "selective"),
    (parse_poscar, (LINES,), {"lines": LINES, "selective": True}, "lines"),
    (format_poscar, (COORD, None), {"flags": None}, "flags"),
    (format_poscar, (COORD,), {"coord": COORD}, "coord"),
    (format_xdatcar, (COORD,), {"scaled_positions": COORD, "index": 1}, "scaled_positions"),
    (format_xyz, (SYMBOLS, COORD), {"positions": COORD}, "positions"),
]


@pytest.mark.parametrize("function, args, kwargs, name", MULTIPLE)
def test_multiple_values(function, args, kwargs, name):
    expected = f"{function.__name__}() got multiple values for argument '{name}'"
    assert binding_error(function, args, kwargs) == expected


MISSING = [
    (parse_xdatcar, (), {}, "missing 1 required positional argument: 'lines'"),
    (parse_xyz, (), {}, "missing 1 required positional argument: 'lines'"),
    (parse_poscar, (), {}, "missing 2 required positional arguments: 'lines' and 'selective'"),
    (parse_poscar, (LINES,), {}, "missing 1 required positional argument: 'selective'"),
    (parse_poscar, (), {"selective": True}, "missing 1 required positional argument: 'lines'"),
    (parse_poscar, (), {"lines": LINES}, "missing 1 required positional argument: 'selective'"),
    (format_poscar, (), {}, "missing 1 required positional argument: 'coord'"),
    (format_poscar, (), {"flags": FLAGS}, "missing 1 required positional argument: 'coord'"),
    (format_xdatcar, (), {}, "missing 2 required positional arguments: 'scaled_positions' and 'index'"),
    (format_xdatcar, (COORD,), {}, "missing 1 required positional argument: 'index'"),
    (format_xdatcar, (), {"index": 1}, "missing 1 required positional argument: 'scaled_positions'"),
    (format_xyz, (), {}, "missing 2 required positional arguments: 'symbols' and 'positions'"),
    (format_xyz, (), {"positions": COORD}, "missing 1 required positional argument: 'symbols'"),
    (format_xyz, (SYMBOLS,), {}, "missing 1 required positional argument: 'positions'"),
]


@pytest.mark.parametrize("function, args, kwargs, tail", MISSING)
def test_missing_required(function, args, kwargs, tail):
    assert binding_error(function, args, kwargs) == f"{function.__name__}() {tail}"


# Keywords are judged in the order given; the first bad one decides, and an
# unexpected or repeated keyword is reported before missing arguments.
KEYWORD_ORDER = [
    (parse_xyz, (LINES,), {"bogus": 1, "lines": LINES},
     "parse_xyz_block_rs() got an unexpected keyword argument 'bogus'"),
    (parse_xyz, (LINES,), {"lines": LINES, "bogus": 1},
     "parse_xyz_block_rs() got multiple values for argument 'lines'"),
    (parse_poscar, (), {"bogus": 1, "other": 2},
     "parse_poscar_positions_rs() got an unexpected keyword argument 'bogus'"),
    (parse_poscar, (), {"other": 2, "bogus": 1},
     "parse_poscar_positions_rs() got an unexpected keyword argument 'other'"),
    (parse_poscar, (), {"lines": LINES, "bogus": 1},
     "parse_poscar_positions_rs() got an unexpected keyword argument 'bogus'"),
    (format_xdatcar, (COORD,), {"scaled_positions": COORD},
     "format_xdatcar_config_rs() got multiple values for argument 'scaled_positions'"),
    (format_poscar, (), {"flags": None, "bogus": 1},
     "format_poscar_positions_rs() got an unexpected keyword argument 'bogus'"),
]


@pytest.mark.parametrize("function, args, kwargs, message", KEYWORD_ORDER)
def test_keyword_order(function, args, kwargs, message):
    assert binding_error(function, args, kwargs) == message


# Every argument here would also fail conversion; binding speaks first.
BINDING_BEFORE_CONVERSION = [
    (parse_xdatcar, ("not a list", 5), {},
     "parse_xdatcar_coords_rs() takes 1 positional arguments but 2 were given"),
    (parse_poscar, ("not a list",), {},
     "parse_poscar_positions_rs() missing 1 required positional argument: 'selective'"),
    (parse_poscar, ("not a list", 1), {"bogus": 1},
     "parse_poscar_positions_rs() got an unexpected keyword argument 'bogus'"),
    (format_poscar, ([1.0], "flags"), {"flags": 3},
     "format_poscar_positions_rs() got multiple values for argument 'flags'"),
    (format_xdatcar, ([1.0],), {"scaled_positions": 2.0},
     "format_xdatcar_config_rs() got multiple values for argument 'scaled_positions'"),
    (format_xdatcar, ([1.0],), {},
     "format_xdatcar_config_rs() missing 1 required positional argument: 'index'"),
    (format_xyz, ("H", [1.0], None), {},
     "format_xyz_block_rs() takes 2 positional arguments but 3 were given"),
    (parse_xyz, (), {"line": "H 0 0 0"},
     "parse_xyz_block_rs() got an unexpected keyword argument 'line'"),
]


@pytest.mark.parametrize("function, args, kwargs, message", BINDING_BEFORE_CONVERSION)
def test_binding_before_conversion(function, args, kwargs, message):
    assert binding_error(function, args, kwargs) == message


def same_result(a, b):
    """Results compared by value: arrays, tuples of arrays or None, strings."""
    if isinstance(a, tuple):
        return len(a) == len(b) and all(same_result(x, y) for x, y in zip(a, b))
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and np.array_equal(a, b)
    return a == b


# The same call spelled positionally and with keywords in various orders.
SPELLINGS = [
    (parse_poscar, (LINES, True), [{"lines": LINES, "selective": True},
                                   {"selective": True, "lines": LINES}]),
    (parse_poscar, (LINES, True), [{"selective": True}]),
    (format_poscar, (COORD, FLAGS), [{"flags": FLAGS}]),
    (format_poscar, (COORD, FLAGS), [{"coord": COORD, "flags": FLAGS},
                                     {"flags": FLAGS, "coord": COORD}]),
    (parse_xdatcar, (LINES,), [{"lines": LINES}]),
    (format_xdatcar, (COORD, 7), [{"scaled_positions": COORD, "index": 7},
                                  {"index": 7, "scaled_positions": COORD}]),
    (parse_xyz, (["H 0 0 0"],), [{"lines": ["H 0 0 0"]}]),
    (format_xyz, (SYMBOLS, COORD), [{"symbols": SYMBOLS, "positions": COORD},
                                    {"positions": COORD, "symbols": SYMBOLS}]),
]


@pytest.mark.parametrize("function, args, keyword_spellings", SPELLINGS)
def test_keywords_bind_like_positions(function, args, keyword_spellings):
    expected = function(*args)
    for kwargs in keyword_spellings:
        # Positional arguments cover the parameters not given by keyword.
        positional = args[:len(args) - len(kwargs)]
        assert same_result(function(*positional, **kwargs), expected)


@pytest.mark.parametrize("call", [
    lambda: format_poscar(COORD),
    lambda: format_poscar(COORD, None),
    lambda: format_poscar(COORD, flags=None),
    lambda: format_poscar(coord=COORD),
    lambda: format_poscar(coord=COORD, flags=None),
])
def test_flags_default_is_none(call):
    assert call() == format_poscar(COORD, None)
    assert call() != format_poscar(COORD, FLAGS)
