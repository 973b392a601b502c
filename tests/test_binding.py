"""Binding of call arguments to parameters: counts, names, keyword order,
and that binding is judged before any argument is converted."""

import numpy as np
import pytest

import _io_rs

LINES = ["0 0.5 0.25"]
COORD = np.array([[0.0, 0.5, 0.25]])
FLAGS = np.array([[True, False, True]])
SYMBOLS = ["H"]

P, FP = _io_rs.parse_poscar_positions_rs, _io_rs.format_poscar_positions_rs
X, FX = _io_rs.parse_xdatcar_coords_rs, _io_rs.format_xdatcar_config_rs
Y, FY = _io_rs.parse_xyz_block_rs, _io_rs.format_xyz_block_rs

# function, positional arguments, keyword arguments, the message after "name()".
# Arguments that would also fail conversion show that binding speaks first.
CASES = [
    (X, (LINES, LINES), {}, "takes 1 positional arguments but 2 were given"),
    (X, (LINES, LINES), {"bogus": 1}, "takes 1 positional arguments but 2 were given"),
    (X, ("not a list", 5), {"lines": 1}, "takes 1 positional arguments but 2 were given"),
    (Y, (LINES, LINES, LINES), {}, "takes 1 positional arguments but 3 were given"),
    (P, (LINES, True, True), {}, "takes 2 positional arguments but 3 were given"),
    (FX, (COORD, 1, 2, 3), {}, "takes 2 positional arguments but 4 were given"),
    (FY, ("H", [1.0], None), {}, "takes 2 positional arguments but 3 were given"),
    (FP, (COORD, FLAGS, None), {}, "takes from 1 to 2 positional arguments but 3 were given"),
    (FP, (COORD, FLAGS, None, None, None), {}, "takes from 1 to 2 positional arguments but 5 were given"),
    (Y, (), {"line": "H 0 0 0"}, "got an unexpected keyword argument 'line'"),
    (X, (LINES,), {"Lines": LINES}, "got an unexpected keyword argument 'Lines'"),
    (P, ("not a list", 1), {"selective_": True}, "got an unexpected keyword argument 'selective_'"),
    (FP, (COORD,), {"flag": None}, "got an unexpected keyword argument 'flag'"),
    (FX, (COORD,), {"Index": 1}, "got an unexpected keyword argument 'Index'"),
    (FY, (SYMBOLS,), {"position": COORD}, "got an unexpected keyword argument 'position'"),
    (X, (), {"l\u00ednes": LINES}, "got an unexpected keyword argument 'l\u00ednes'"),
    (Y, (), {"\udcff": LINES}, "got an unexpected keyword argument '\udcff'"),  # no UTF-8: matches nothing
    (Y, (), {"lines\x00": LINES}, "got an unexpected keyword argument 'lines\x00'"),
    (X, (LINES,), {"lines": LINES}, "got multiple values for argument 'lines'"),
    (P, (LINES, True), {"selective": True}, "got multiple values for argument 'selective'"),
    (P, (LINES,), {"lines": LINES, "selective": True}, "got multiple values for argument 'lines'"),
    (FP, ([1.0], "flags"), {"flags": 3}, "got multiple values for argument 'flags'"),
    (FP, (COORD,), {"coord": COORD}, "got multiple values for argument 'coord'"),
    (FX, ([1.0],), {"scaled_positions": 2.0}, "got multiple values for argument 'scaled_positions'"),
    (FY, (SYMBOLS, COORD), {"positions": COORD}, "got multiple values for argument 'positions'"),
    (X, (), {}, "missing 1 required positional argument: 'lines'"),
    (P, (), {}, "missing 2 required positional arguments: 'lines' and 'selective'"),
    (P, ("not a list",), {}, "missing 1 required positional argument: 'selective'"),
    (P, (), {"selective": True}, "missing 1 required positional argument: 'lines'"),
    (P, (), {"lines": LINES}, "missing 1 required positional argument: 'selective'"),
    (FP, (), {"flags": FLAGS}, "missing 1 required positional argument: 'coord'"),
    (FX, (), {}, "missing 2 required positional arguments: 'scaled_positions' and 'index'"),
    (FX, ([1.0],), {}, "missing 1 required positional argument: 'index'"),
    (FY, (), {"positions": COORD}, "missing 1 required positional argument: 'symbols'"),
    (FY, (SYMBOLS,), {}, "missing 1 required positional argument: 'positions'"),
    # Keywords are judged in the order given, and before missing arguments.
    (Y, (LINES,), {"bogus": 1, "lines": LINES}, "got an unexpected keyword argument 'bogus'"),
    (Y, (LINES,), {"lines": LINES, "bogus": 1}, "got multiple values for argument 'lines'"),
    (P, (), {"other": 2, "bogus": 1}, "got an unexpected keyword argument 'other'"),
    (P, (), {"lines": LINES, "bogus": 1}, "got an unexpected keyword argument 'bogus'"),
]


@pytest.mark.parametrize("function, args, kwargs, message", CASES)
def test_binding_errors(function, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        function(*args, **kwargs)
    assert type(caught.value) is TypeError
    assert str(caught.value) == f"{function.__name__}() {message}"


def same_result(a, b):
    if isinstance(a, tuple):
        return len(a) == len(b) and all(same_result(x, y) for x, y in zip(a, b))
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and np.array_equal(a, b)
    return a == b


# The same call spelled positionally and with keywords in any order.
SPELLINGS = [
    (P, (LINES, True), [{"lines": LINES, "selective": True}, {"selective": True, "lines": LINES},
                        {"selective": True}]),
    (FP, (COORD, FLAGS), [{"flags": FLAGS}, {"flags": FLAGS, "coord": COORD}]),
    (X, (LINES,), [{"lines": LINES}]),
    (FX, (COORD, 7), [{"index": 7, "scaled_positions": COORD}, {"index": 7}]),
    (Y, (["H 0 0 0"],), [{"lines": ["H 0 0 0"]}]),
    (FY, (SYMBOLS, COORD), [{"positions": COORD, "symbols": SYMBOLS}, {"positions": COORD}]),
]


@pytest.mark.parametrize("function, args, keyword_spellings", SPELLINGS)
def test_keywords_bind_like_positions(function, args, keyword_spellings):
    expected = function(*args)
    for kwargs in keyword_spellings:
        assert same_result(function(*args[:len(args) - len(kwargs)], **kwargs), expected)


def test_flags_default_is_none():
    with_flags = FP(COORD, FLAGS)
    for text in (FP(COORD), FP(COORD, None), FP(COORD, flags=None), FP(coord=COORD, flags=None)):
        assert text == FP(COORD, None) != with_flags
