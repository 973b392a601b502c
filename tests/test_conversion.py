"""Conversion of bound arguments: line lists, flags, unsigned integers and
matrices; their messages, the parameter-name prefix, and which error wins."""

import collections
import operator

import numpy as np
import pytest

import _io_rs

ROW = "0 0.5 0.25"
COORD = np.array([[0.0, 0.5, 0.25], [1.0, -2.0, 3.5]])
EMPTY = np.zeros((0, 3))


def raised(call):
    with pytest.raises(BaseException) as caught:
        call()
    return caught.value


def argument_error(call):
    """The TypeError of a refused argument (exactly TypeError, no subclass)."""
    error = raised(call)
    assert type(error) is TypeError, repr(error)
    return str(error)


# --- the four line-list parameters ----------------------------------------

# Each entry calls one function with `value` as its line-list argument and
# valid values elsewhere.
LINE_PARAMETERS = {
    "parse_xdatcar.lines": ("lines", lambda v: _io_rs.parse_xdatcar_coords_rs(v)),
    "parse_xyz.lines": ("lines", lambda v: _io_rs.parse_xyz_block_rs(v)),
    "parse_poscar.lines": ("lines", lambda v: _io_rs.parse_poscar_positions_rs(v, False)),
    "format_xyz.symbols": ("symbols", lambda v: _io_rs.format_xyz_block_rs(v, EMPTY)),
}
line_parameter = pytest.mark.parametrize("parameter, call", LINE_PARAMETERS.values(), ids=LINE_PARAMETERS)


class StrSub(str):
    # The text converted is the string's own content, not what __str__ says.
    def __str__(self):
        return "9 9 9"


class Holder:
    class NestedDict(dict):
        pass


class OnlyIterable:
    def __iter__(self):
        return iter([ROW])


def generator():
    yield ROW


NOT_SEQUENCES = [
    ("a str", ROW, "Can't extract `str` to `Vec`"),
    ("an empty str", "", "Can't extract `str` to `Vec`"),
    ("a str subclass", StrSub(ROW), "Can't extract `str` to `Vec`"),
    ("a dict", {}, "'dict' object cannot be converted to 'Sequence'"),
    ("a filled dict", {0: ROW}, "'dict' object cannot be converted to 'Sequence'"),
    ("a nested dict subclass", Holder.NestedDict(), "'Holder.NestedDict' object cannot be converted to 'Sequence'"),
    ("a set", {ROW}, "'set' object cannot be converted to 'Sequence'"),
    ("a generator", generator(), "'generator' object cannot be converted to 'Sequence'"),
    ("an iterator", iter([ROW]), "'list_iterator' object cannot be converted to 'Sequence'"),
    ("an iterable", OnlyIterable(), "'OnlyIterable' object cannot be converted to 'Sequence'"),
    ("an int", 5, "'int' object cannot be converted to 'Sequence'"),
    ("None", None, "'NoneType' object cannot be converted to 'Sequence'"),
    ("a float", 1.5, "'float' object cannot be converted to 'Sequence'"),
]


@line_parameter
@pytest.mark.parametrize("value, reason", [c[1:] for c in NOT_SEQUENCES], ids=[c[0] for c in NOT_SEQUENCES])
def test_line_list_not_a_sequence(parameter, call, value, reason):
    assert argument_error(lambda: call(value)) == f"argument '{parameter}': {reason}"


BAD_ELEMENTS = [
    ("an int after a line", [ROW, 5], "int"),
    ("None", [None], "NoneType"),
    ("bytes", [b"0 0 0"], "bytes"),
    ("a nested list", [[ROW]], "list"),
    ("a float in a tuple", (ROW, 1.0), "float"),
    ("a NumPy float", [np.float64(1.0)], "float64"),
    ("bytes itself", b"0 0 0", "int"),
    ("a bytearray", bytearray(b"0"), "int"),
    ("a range", range(2), "int"),
    ("a float array", np.zeros(2), "float64"),
    ("an instance of a nested class", [Holder.NestedDict()], "Holder.NestedDict"),
]


@line_parameter
@pytest.mark.parametrize("value, type_name", [c[1:] for c in BAD_ELEMENTS], ids=[c[0] for c in BAD_ELEMENTS])
def test_line_list_bad_element(parameter, call, value, type_name):
    expected = f"argument '{parameter}': '{type_name}' object cannot be converted to 'PyString'"
    assert argument_error(lambda: call(value)) == expected


@line_parameter
@pytest.mark.parametrize("value", [["\ud800"], (ROW, "x\udfff"), ["\ud800", 5]],
                         ids=["list", "tuple", "before a bad element"])
def test_line_list_lone_surrogate_is_not_wrapped(parameter, call, value):
    error = raised(lambda: call(value))
    assert type(error) is UnicodeEncodeError
    assert not str(error).startswith("argument")


@line_parameter
def test_line_list_elements_in_order(parameter, call):
    # The first bad element decides, whatever kind of failure it is.
    message = argument_error(lambda: call([5, "\ud800"]))
    assert message == f"argument '{parameter}': 'int' object cannot be converted to 'PyString'"


class Lines:
    """A sequence by __getitem__/__len__ only; __len__ may lie or fail."""

    def __init__(self, items, length=None, fail_at=None, error=None):
        self.items, self.length, self.fail_at, self.error = items, length, fail_at, error

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise self.error
        return self.items[i]


class FailingIter(Lines):
    def __iter__(self):
        raise self.error


class AbcLines(collections.abc.Sequence):
    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


TWO_LINES = [ROW, "1 2 3"]
ACCEPTED_LINE_LISTS = [
    ("list", lambda: list(TWO_LINES)),
    ("tuple", lambda: tuple(TWO_LINES)),
    ("str subclass elements", lambda: [StrSub(t) for t in TWO_LINES]),
    ("NumPy array of str", lambda: np.array(TWO_LINES)),
    ("NumPy object array", lambda: np.array(TWO_LINES, dtype=object)),
    ("custom sequence", lambda: Lines(TWO_LINES)),
    ("abc.Sequence", lambda: AbcLines(TWO_LINES)),
    ("UserList", lambda: collections.UserList(TWO_LINES)),
    ("deque", lambda: collections.deque(TWO_LINES)),
    ("length too small", lambda: Lines(TWO_LINES, length=0)),
    ("length too large", lambda: Lines(TWO_LINES, length=1000)),
    ("length fails", lambda: Lines(TWO_LINES, length=RuntimeError("no length"))),
]


@pytest.mark.parametrize("make", [c[1] for c in ACCEPTED_LINE_LISTS], ids=[c[0] for c in ACCEPTED_LINE_LISTS])
def test_line_list_accepted(make):
    expected = np.array([[0.0, 0.5, 0.25], [1.0, 2.0, 3.0]])
    assert np.array_equal(_io_rs.parse_xdatcar_coords_rs(make()), expected)
    positions, flags = _io_rs.parse_poscar_positions_rs(make(), False)
    assert np.array_equal(positions, expected) and flags is None


@pytest.mark.parametrize("empty", [[], (), b"", range(0), Lines([])], ids=["list", "tuple", "bytes", "range", "custom"])
def test_empty_sequences_of_any_kind(empty):
    assert _io_rs.parse_xdatcar_coords_rs(empty).shape == (0, 3)


def test_symbols_accept_str_subclasses():
    text = _io_rs.format_xyz_block_rs(np.array(["He"]), np.zeros((1, 3)))
    assert text == _io_rs.format_xyz_block_rs(["He"], np.zeros((1, 3)))
    assert text.startswith("He")


@line_parameter
def test_iteration_type_error_is_wrapped_with_its_cause(parameter, call):
    root = KeyError("root")
    error = TypeError("no iterator today")
    error.__cause__ = root
    wrapped = raised(lambda: call(FailingIter([], error=error)))
    assert type(wrapped) is TypeError
    assert str(wrapped) == f"argument '{parameter}': no iterator today"
    # The cause is the converter's cause, not the converter's exception.
    assert wrapped.__cause__ is root


@line_parameter
def test_wrapped_error_without_cause_has_none(parameter, call):
    wrapped = raised(lambda: call(Lines([ROW, ROW], fail_at=1, error=TypeError("bad item"))))
    assert type(wrapped) is TypeError
    assert str(wrapped) == f"argument '{parameter}': bad item"
    assert wrapped.__cause__ is None


class TypeErrorSubclass(TypeError):
    pass


@line_parameter
@pytest.mark.parametrize("error", [ValueError("midway"), TypeErrorSubclass("subclass"),
                                   OverflowError("too big"), KeyError("k")],
                         ids=["ValueError", "TypeError subclass", "OverflowError", "KeyError"])
def test_other_iteration_errors_pass_unchanged(parameter, call, error):
    assert raised(lambda: call(Lines([ROW, ROW], fail_at=1, error=error))) is error


# --- precedence: conversion before parsing, first parameter first ---------

PRECEDENCE = [
    # A bad element after a line that would not parse: the element is reported.
    ("xdatcar element after bad line", lambda: _io_rs.parse_xdatcar_coords_rs(["abc", 5]),
     "argument 'lines': 'int' object cannot be converted to 'PyString'"),
    ("xdatcar element after short line", lambda: _io_rs.parse_xdatcar_coords_rs(("1 2", ROW, None)),
     "argument 'lines': 'NoneType' object cannot be converted to 'PyString'"),
    ("xyz element after bad line", lambda: _io_rs.parse_xyz_block_rs(["H x 0 0", b"H"]),
     "argument 'lines': 'bytes' object cannot be converted to 'PyString'"),
    ("poscar element after bad line", lambda: _io_rs.parse_poscar_positions_rs(Lines(["abc", 1.5]), True),
     "argument 'lines': 'float' object cannot be converted to 'PyString'"),
    # A bad flag is reported before any line is parsed.
    ("poscar flag before bad line", lambda: _io_rs.parse_poscar_positions_rs(["abc"], 1),
     "argument 'selective': 'int' object cannot be converted to 'PyBool'"),
    # The first parameter's error wins when both are bad.
    ("poscar lines before flag", lambda: _io_rs.parse_poscar_positions_rs("abc", 1),
     "argument 'lines': Can't extract `str` to `Vec`"),
    ("poscar element before flag", lambda: _io_rs.parse_poscar_positions_rs([ROW, 5], None),
     "argument 'lines': 'int' object cannot be converted to 'PyString'"),
    ("xyz symbols before positions", lambda: _io_rs.format_xyz_block_rs("H", [[0.0, 0.0, 0.0]]),
     "argument 'symbols': Can't extract `str` to `Vec`"),
    ("xyz symbol element before positions", lambda: _io_rs.format_xyz_block_rs([1], None),
     "argument 'symbols': 'int' object cannot be converted to 'PyString'"),
    ("poscar coord before flags", lambda: _io_rs.format_poscar_positions_rs([[0.0]], [[True]]),
     "argument 'coord': 'list' object cannot be converted to 'PyArray<T, D>'"),
    ("xdatcar positions before overflowing index", lambda: _io_rs.format_xdatcar_config_rs([[0.0]], -1),
     "argument 'scaled_positions': 'list' object cannot be converted to 'PyArray<T, D>'"),
    ("xdatcar positions before bad index", lambda: _io_rs.format_xdatcar_config_rs(np.zeros(3), 2.0),
     "argument 'scaled_positions': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
]


@pytest.mark.parametrize("call, message", [c[1:] for c in PRECEDENCE], ids=[c[0] for c in PRECEDENCE])
def test_first_failure_decides(call, message):
    assert argument_error(call) == message


# --- the flag ----------------------------------------------------------------

def fake_numpy_type(name, **body):
    """A class that claims to be NumPy's boolean by module and name."""
    return type(name, (), {"__module__": "numpy", **body})


def select(flag):
    return _io_rs.parse_poscar_positions_rs([ROW + " F T F"], flag)[1]


@pytest.mark.parametrize("flag, selective", [
    (True, True), (False, False), (np.True_, True), (np.False_, False),
    (np.bool_(1), True), (np.bool_(0), False),
    (fake_numpy_type("bool_", __bool__=lambda self: True)(), True),
    (fake_numpy_type("bool", __bool__=lambda self: False)(), False),
], ids=["True", "False", "np.True_", "np.False_", "np.bool_(1)", "np.bool_(0)", "fake bool_", "fake bool"])
def test_flag_accepted(flag, selective):
    flags = select(flag)
    if selective:
        assert flags.tolist() == [[True, False, True]]
    else:
        assert flags is None


class Truthy:
    def __bool__(self):
        return True


@pytest.mark.parametrize("flag, type_name", [
    (1, "int"), (0, "int"), (None, "NoneType"), (1.0, "float"), ("True", "str"),
    (np.int8(1), "int8"), (np.array(True), "ndarray"), (np.array([True]), "ndarray"),
    ([True], "list"), (Truthy(), "Truthy"), (Holder.NestedDict(), "Holder.NestedDict"),
    # Module and name must both match.
    (type("bool_", (), {"__module__": "numpy.core", "__bool__": lambda s: True})(), "bool_"),
    (fake_numpy_type("bool8", __bool__=lambda s: True)(), "bool8"),
])
def test_flag_refused(flag, type_name):
    expected = f"argument 'selective': '{type_name}' object cannot be converted to 'PyBool'"
    assert argument_error(lambda: select(flag)) == expected


def test_fake_numpy_bool_without_conversion():
    fake = fake_numpy_type("bool_")
    expected = f"argument 'selective': object of type '{fake}' does not define a '__bool__' conversion"
    assert expected == ("argument 'selective': object of type '<class 'numpy.bool_'>' "
                        "does not define a '__bool__' conversion")
    assert argument_error(lambda: select(fake())) == expected


def test_fake_numpy_bool_conversion_errors():
    root = ArithmeticError("root")

    def refuse(self):
        raise TypeError("no truth here") from root

    wrapped = raised(lambda: select(fake_numpy_type("bool_", __bool__=refuse)()))
    assert type(wrapped) is TypeError
    assert str(wrapped) == "argument 'selective': no truth here"
    assert wrapped.__cause__ is root

    error = ValueError("undecided")

    def undecided(self):
        raise error

    assert raised(lambda: select(fake_numpy_type("bool", __bool__=undecided)())) is error


# --- the unsigned integer ------------------------------------------------------

def header(index):
    return _io_rs.format_xdatcar_config_rs(EMPTY, index)


class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class IntSub(int):
    pass


@pytest.mark.parametrize("index, value", [
    (0, 0), (1, 1), (3, 3), (True, 1), (False, 0), (IntSub(12), 12),
    (np.int64(3), 3), (np.int8(7), 7), (np.uint8(255), 255), (np.uint64(2**64 - 1), 2**64 - 1),
    (Indexable(42), 42), (Indexable(2**64 - 1), 2**64 - 1), (2**64 - 1, 2**64 - 1), (2**63, 2**63),
])
def test_index_accepted(index, value):
    assert header(index) == f"Direct configuration={value:>6}\n"


@pytest.mark.parametrize("index", [2.0, "3", None, np.float64(1.0), [1], Indexable(2.5), Indexable("7")],
                         ids=["float", "str", "None", "np.float64", "list", "__index__ float", "__index__ str"])
def test_index_refused_with_interpreters_message(index):
    with pytest.raises(TypeError) as reference:
        operator.index(index)
    assert argument_error(lambda: header(index)) == f"argument 'index': {reference.value}"


@pytest.mark.parametrize("index, message", [
    (-1, "can't convert negative int to unsigned"),
    (-2**70, "can't convert negative int to unsigned"),
    (np.int64(-1), "can't convert negative int to unsigned"),
    (Indexable(-5), "can't convert negative int to unsigned"),
    (2**64, "int too big to convert"),
    (2**100, "int too big to convert"),
    (Indexable(2**64), "int too big to convert"),
])
def test_index_overflow_is_not_wrapped(index, message):
    error = raised(lambda: header(index))
    assert type(error) is OverflowError
    assert str(error) == message


def test_index_conversion_errors():
    root = LookupError("root")
    error = TypeError("not today")
    error.__cause__ = root
    wrapped = raised(lambda: header(Indexable(error)))
    assert type(wrapped) is TypeError
    assert str(wrapped) == "argument 'index': not today"
    assert wrapped.__cause__ is root

    for unchanged in (ValueError("no index"), TypeErrorSubclass("subclass")):
        assert raised(lambda: header(Indexable(unchanged))) is unchanged


# --- matrices ---------------------------------------------------------------

MATRIX_PARAMETERS = {
    "coord": ("coord", lambda v: _io_rs.format_poscar_positions_rs(v)),
    "flags": ("flags", lambda v: _io_rs.format_poscar_positions_rs(EMPTY, v)),
    "scaled_positions": ("scaled_positions", lambda v: _io_rs.format_xdatcar_config_rs(v, 1)),
    "positions": ("positions", lambda v: _io_rs.format_xyz_block_rs(["H", "O"], v)),
}
FLOAT_PARAMETERS = {k: v for k, v in MATRIX_PARAMETERS.items() if k != "flags"}


class Outer:
    class Array(np.ndarray):
        pass


def nested_subclass(dtype):
    return np.zeros((1, 3), dtype).view(Outer.Array)


# Refused by every matrix parameter: (id, value, type name in the message).
REFUSED_ANYWHERE = [
    ("list", [[0.0, 0.0, 0.0]], "list"),
    ("tuple", ((0.0, 0.0, 0.0),), "tuple"),
    ("int", 5, "int"),
    ("str", "0 0 0", "str"),
    ("int64", np.zeros((1, 3), np.int64), "ndarray"),
    ("float32", np.zeros((1, 3), np.float32), "ndarray"),
    ("complex", np.zeros((1, 3), complex), "ndarray"),
    ("object", np.zeros((1, 3), object), "ndarray"),
    ("uint8", np.zeros((1, 3), np.uint8), "ndarray"),
    ("1-D", np.zeros(3), "ndarray"),
    ("1-D bool", np.zeros(3, bool), "ndarray"),
    ("3-D", np.zeros((1, 1, 3)), "ndarray"),
    ("3-D bool", np.zeros((1, 1, 3), bool), "ndarray"),
    ("0-D", np.array(1.0), "ndarray"),
    ("scalar", np.float64(1.0), "float64"),
    ("byte-swapped", np.zeros((1, 3), np.dtype(np.float64).newbyteorder()), "ndarray"),
    ("nested subclass, int", nested_subclass(np.int32), "Outer.Array"),
    ("memoryview", memoryview(np.zeros((1, 3))), "memoryview"),
]


@pytest.mark.parametrize("parameter, call", MATRIX_PARAMETERS.values(), ids=MATRIX_PARAMETERS)
@pytest.mark.parametrize("value, type_name", [c[1:] for c in REFUSED_ANYWHERE], ids=[c[0] for c in REFUSED_ANYWHERE])
def test_matrix_refused(parameter, call, value, type_name):
    expected = f"argument '{parameter}': '{type_name}' object cannot be converted to 'PyArray<T, D>'"
    assert argument_error(lambda: call(value)) == expected


@pytest.mark.parametrize("parameter, call", FLOAT_PARAMETERS.values(), ids=FLOAT_PARAMETERS)
@pytest.mark.parametrize("value, type_name", [
    (None, "NoneType"), (np.zeros((1, 3), bool), "ndarray"), (nested_subclass(bool), "Outer.Array"),
], ids=["None", "bool", "bool subclass"])
def test_float_matrix_refused(parameter, call, value, type_name):
    expected = f"argument '{parameter}': '{type_name}' object cannot be converted to 'PyArray<T, D>'"
    assert argument_error(lambda: call(value)) == expected


@pytest.mark.parametrize("value, type_name", [
    (np.zeros((0, 3)), "ndarray"), (np.zeros((1, 3)), "ndarray"), (nested_subclass(np.float64), "Outer.Array"),
], ids=["empty float64", "float64", "float64 subclass"])
def test_flags_refuse_float_arrays(value, type_name):
    expected = f"argument 'flags': '{type_name}' object cannot be converted to 'PyArray<T, D>'"
    assert argument_error(lambda: _io_rs.format_poscar_positions_rs(EMPTY, value)) == expected


def read_only(array):
    array = array.copy()
    array.flags.writeable = False
    return array


# Accepted as float64 matrices, each giving the text of its plain copy
# (memory layouts have their own tests).
FLOAT_VARIANTS = [
    ("native order spelled", lambda a: a.astype(np.dtype("=f8"))),
    ("dtype with metadata", lambda a: a.astype(np.dtype(np.float64, metadata={"unit": "A"}))),
    ("ndarray subclass", lambda a: a.view(Outer.Array)),
    ("read-only", read_only),
]


@pytest.mark.parametrize("parameter, call", FLOAT_PARAMETERS.values(), ids=FLOAT_PARAMETERS)
@pytest.mark.parametrize("make", [c[1] for c in FLOAT_VARIANTS], ids=[c[0] for c in FLOAT_VARIANTS])
def test_float_matrix_accepted(parameter, call, make):
    variant = make(COORD)
    before = np.array(variant, copy=True)
    assert call(variant) == call(COORD)
    # Inputs are read in place, never written.
    assert np.array_equal(np.asarray(variant), before)


FLAG_VARIANTS = [
    ("ndarray subclass", lambda f: f.view(Outer.Array)),
    ("read-only", read_only),
]


@pytest.mark.parametrize("make", [c[1] for c in FLAG_VARIANTS], ids=[c[0] for c in FLAG_VARIANTS])
def test_flag_matrix_accepted(make):
    flags = np.array([[True, False, True], [False, False, True]])
    text = _io_rs.format_poscar_positions_rs(COORD, make(flags))
    assert text == _io_rs.format_poscar_positions_rs(COORD, flags)
    assert text != _io_rs.format_poscar_positions_rs(COORD)
