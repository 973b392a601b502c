"""Binding of call arguments to parameters, held to a reference binder: a
Python function of the same signature, whose TypeError CPython writes. The
module judges too many positional arguments before any keyword and always
says "arguments"; CPython's suggestions ("Did you mean") are not made. The
binding is judged before any argument is converted, and the first argument
that fails conversion decides."""

import inspect

import numpy as np
import pytest

import _io_rs

SIGNATURES = {
    "parse_poscar_positions_rs": "(lines, selective)",
    "format_poscar_positions_rs": "(coord, flags=None)",
    "parse_xdatcar_coords_rs": "(lines)",
    "format_xdatcar_config_rs": "(scaled_positions, index)",
    "parse_xyz_block_rs": "(lines)",
    "format_xyz_block_rs": "(symbols, positions)",
}


@pytest.mark.parametrize("name, signature", SIGNATURES.items())
def test_signature(name, signature):
    function = getattr(_io_rs, name)
    assert function.__text_signature__ == str(inspect.signature(function)) == signature


def reference_binding_error(name, args, kwargs):
    """The message of the module's binding TypeError for this call, or None
    when the arguments bind."""
    namespace = {}
    exec(f"def {name}{SIGNATURES[name]}: pass", namespace)
    function = namespace[name]
    try:
        if len(args) > len(inspect.signature(function).parameters):
            function(*args)
        else:
            function(*args, **kwargs)
    except TypeError as error:
        message = str(error).split(". Did you mean")[0]
        return message.replace(" positional argument but", " positional arguments but")
    return None


LINES = ["0 0.5 0.25"]
COORD = np.array([[0.0, 0.5, 0.25]])
FLAGS = np.array([[True, False, True]])
SYMBOLS = ["H"]
P, FP = "parse_poscar_positions_rs", "format_poscar_positions_rs"
X, FX = "parse_xdatcar_coords_rs", "format_xdatcar_config_rs"
Y, FY = "parse_xyz_block_rs", "format_xyz_block_rs"
STRING = "'{}' object cannot be converted to 'PyString'"
ARRAY = "'list' object cannot be converted to 'PyArray<T, D>'"

# function, positional arguments, keyword arguments, and for calls that bind
# the conversion message. Arguments that would also fail conversion show
# that binding speaks first.
CALLS = [
    # Too many positional arguments, judged before any keyword.
    (X, (LINES, LINES), {"bogus": 1}, None), (X, ("not a list", 5), {"lines": 1}, None),
    (P, (LINES, True, True), {"lines": 1}, None), (FX, (COORD, 1, 2, 3), {}, None),
    (FP, (COORD, FLAGS, None), {}, None), (FP, (COORD, FLAGS, None, None, None), {}, None),
    # Names match whole and exactly, as UTF-8 (one that has none matches nothing).
    (Y, (), {"line": "H 0 0 0"}, None), (X, (LINES,), {"Lines": LINES}, None),
    (P, ("not a list", 1), {"selective_": True}, None), (FY, (SYMBOLS,), {"position": COORD}, None),
    (X, (), {"l\u00ednes": LINES}, None), (Y, (), {"\udcff": LINES}, None), (Y, (), {"lines\x00": LINES}, None),
    (X, (LINES,), {"lines": LINES}, None), (P, (LINES, True), {"selective": True}, None),
    (FP, ([1.0], "flags"), {"flags": 3}, None), (FY, (SYMBOLS, COORD), {"positions": COORD}, None),
    (X, (), {}, None), (P, (), {}, None), (P, ("not a list",), {}, None), (P, (), {"selective": True}, None),
    (FP, (), {"flags": FLAGS}, None), (FX, (), {}, None), (FY, (SYMBOLS,), {}, None),
    # Keywords are judged in the order given, and before missing arguments.
    (Y, (LINES,), {"bogus": 1, "lines": LINES}, None), (Y, (LINES,), {"lines": LINES, "bogus": 1}, None),
    (P, (), {"other": 2, "bogus": 1}, None), (P, (), {"lines": LINES, "bogus": 1}, None),
    # Calls that bind: every element is converted before the first line is parsed.
    (X, (["abc", 5],), {}, "argument 'lines': " + STRING.format("int")),
    (Y, (["H x 0 0", b"H"],), {}, "argument 'lines': " + STRING.format("bytes")),
    (P, (), {"selective": True, "lines": ("abc", 1.5)}, "argument 'lines': " + STRING.format("float")),
    (P, (["abc"], 1), {}, "argument 'selective': 'int' object cannot be converted to 'PyBool'"),
    # The first parameter's error wins when both are bad.
    (P, ("abc", 1), {}, "argument 'lines': Can't extract `str` to `Vec`"),
    (P, (["0 0 0", 5], None), {}, "argument 'lines': " + STRING.format("int")),
    (FY, ([1], None), {}, "argument 'symbols': " + STRING.format("int")),
    (FP, ([[0.0]], [[True]]), {}, f"argument 'coord': {ARRAY}"),
    (FX, ([[0.0]],), {"index": -1}, f"argument 'scaled_positions': {ARRAY}"),
    (FY, (["H H"], [[0.0, 0.0, 0.0]]), {}, f"argument 'positions': {ARRAY}"),
]


@pytest.mark.parametrize("name, args, kwargs, conversion", CALLS)
def test_binding_then_conversion_errors(name, args, kwargs, conversion):
    expected = reference_binding_error(name, args, kwargs)
    assert (expected is None) == (conversion is not None)
    with pytest.raises(TypeError) as caught:
        getattr(_io_rs, name)(*args, **kwargs)
    assert type(caught.value) is TypeError
    assert str(caught.value) == (expected or conversion)


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
    (FP, (COORD, None), [{"flags": None}, {"flags": None, "coord": COORD}]),
    (X, (LINES,), [{"lines": LINES}]),
    (FX, (COORD, 7), [{"index": 7, "scaled_positions": COORD}, {"index": 7}]),
    (Y, (["H 0 0 0"],), [{"lines": ["H 0 0 0"]}]),
    (FY, (SYMBOLS, COORD), [{"positions": COORD, "symbols": SYMBOLS}, {"positions": COORD}]),
]


@pytest.mark.parametrize("name, args, keyword_spellings", SPELLINGS)
def test_keywords_bind_like_positions(name, args, keyword_spellings):
    function = getattr(_io_rs, name)
    expected = function(*args)
    for kwargs in keyword_spellings:
        assert same_result(function(*args[:len(args) - len(kwargs)], **kwargs), expected)
    if name == FP:  # flags defaults to None, which is not a flag array
        assert function(COORD) == function(COORD, None) != function(COORD, FLAGS)
