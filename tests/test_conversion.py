"""Conversion of bound arguments: line lists, flags, unsigned integers and
matrices; their messages, the parameter-name prefix, which error wins, and
conversions that run Python code able to change the other arguments."""

import collections
import operator
import sys
import textwrap

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
    """The message of a refused argument's TypeError (exactly TypeError)."""
    error = raised(call)
    assert type(error) is TypeError, repr(error)
    return str(error)


class TypeErrorSubclass(TypeError):
    pass


# --- line lists: lines of the three parsers, symbols of the XYZ writer --------

LINE_PARAMETERS = {
    "xdatcar": ("lines", lambda v: _io_rs.parse_xdatcar_coords_rs(v)),
    "xyz": ("lines", lambda v: _io_rs.parse_xyz_block_rs(v)),
    "poscar": ("lines", lambda v: _io_rs.parse_poscar_positions_rs(v, False)),
    "symbols": ("symbols", lambda v: _io_rs.format_xyz_block_rs(v, EMPTY)),
}
line_parameter = pytest.mark.parametrize("parameter, call", LINE_PARAMETERS.values(), ids=LINE_PARAMETERS)


class Disguised(str):
    """A str whose Python-level behaviour lies about its text; the module
    reads the characters the object really holds."""

    def __str__(self):
        return "9 9 9"

    def __iter__(self):
        raise AssertionError("iterated")

    def __len__(self):
        return 0

    def encode(self, *args, **kwargs):
        raise AssertionError("encoded")


class Holder:
    class NestedDict(dict):
        pass


class Lines:
    """A sequence by __getitem__ and __len__ only; __len__ may lie or fail,
    and one index may raise."""

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


class LyingIter(list):
    """A list whose iterator yields other lines than the list holds."""

    def __init__(self, items):
        super().__init__(["bad"] * 5)
        self.real = items

    def __iter__(self):
        return iter(self.real)


NOT_SEQUENCES = [
    ("a str", ROW, "Can't extract `str` to `Vec`"),
    ("an empty str", "", "Can't extract `str` to `Vec`"),
    ("a str subclass", Disguised(ROW), "Can't extract `str` to `Vec`"),
    ("a dict", {0: ROW}, "'dict' object cannot be converted to 'Sequence'"),
    ("a nested class", Holder.NestedDict(), "'Holder.NestedDict' object cannot be converted to 'Sequence'"),
    ("a generator", (x for x in [ROW]), "'generator' object cannot be converted to 'Sequence'"),
    ("an iterator", iter([ROW]), "'list_iterator' object cannot be converted to 'Sequence'"),
    ("a set", {ROW}, "'set' object cannot be converted to 'Sequence'"),
    ("None", None, "'NoneType' object cannot be converted to 'Sequence'"),
    # Sequences whose elements are not str.
    ("an int after a line", [ROW, 5], "'int' object cannot be converted to 'PyString'"),
    ("the first bad element decides", (5, "\ud800"), "'int' object cannot be converted to 'PyString'"),
    ("None in a tuple", (ROW, None), "'NoneType' object cannot be converted to 'PyString'"),
    ("bytes", b"0 0 0", "'int' object cannot be converted to 'PyString'"),
    ("bytes elements", [b"0 0 0"], "'bytes' object cannot be converted to 'PyString'"),
    ("a float array", np.zeros(2), "'float64' object cannot be converted to 'PyString'"),
    ("a nested class element", [Holder.NestedDict()], "'Holder.NestedDict' object cannot be converted to 'PyString'"),
    ("a TypeError from __getitem__", Lines([ROW, ROW], fail_at=1, error=TypeError("bad item")), "bad item"),
]


@line_parameter
@pytest.mark.parametrize("value, reason", [c[1:] for c in NOT_SEQUENCES], ids=[c[0] for c in NOT_SEQUENCES])
def test_line_list_refused(parameter, call, value, reason):
    assert argument_error(lambda: call(value)) == f"argument '{parameter}': {reason}"


@line_parameter
def test_line_list_type_error_keeps_its_cause(parameter, call):
    root = KeyError("root")
    error = TypeError("no iterator today")
    error.__cause__ = root
    wrapped = raised(lambda: call(FailingIter([], error=error)))
    assert str(wrapped) == f"argument '{parameter}': no iterator today"
    assert wrapped.__cause__ is root  # the converter's cause, not the converter's exception
    assert raised(lambda: call(Lines([ROW], fail_at=0, error=TypeError("x")))).__cause__ is None


@line_parameter
@pytest.mark.parametrize("error", [ValueError("midway"), TypeErrorSubclass("subclass"), MemoryError(),
                                   UnicodeEncodeError("utf-8", "\ud800", 0, 1, "surrogates not allowed")],
                         ids=["ValueError", "TypeError subclass", "MemoryError", "UnicodeEncodeError"])
def test_other_errors_pass_unchanged(parameter, call, error):
    assert raised(lambda: call(Lines([ROW, ROW], fail_at=1, error=error))) is error
    assert raised(lambda: call(FailingIter([ROW], error=error))) is error


@line_parameter
@pytest.mark.parametrize("value", [["\ud800"], (ROW, "x\udfff"), ["\ud800", 5]])
def test_lone_surrogate_raises_cpythons_error(parameter, call, value):
    error = raised(lambda: call(value))
    assert type(error) is UnicodeEncodeError and "argument" not in str(error)


# Each line-list parameter with two items it accepts and what it makes of them.
ACCEPTING = {
    "xdatcar": (["1 1 1", "2 2 2"], lambda v: _io_rs.parse_xdatcar_coords_rs(v).tolist()),
    "poscar": (["1 1 1", "2 2 2 F"], lambda v: _io_rs.parse_poscar_positions_rs(v, True)[1].tolist()),
    "xyz": (["h 1 1 1", "He 2 2 2"], lambda v: _io_rs.parse_xyz_block_rs(v)[0]),
    "symbols": (["H", "He"], lambda v: _io_rs.format_xyz_block_rs(v, np.zeros((2, 3)))[:2]),
}


# The length of a sequence only sizes the first allocation; it may lie.
@pytest.mark.parametrize("name", ACCEPTING)
@pytest.mark.parametrize("make", [
    list, tuple, lambda t: [Disguised(s) for s in t], np.array, lambda t: np.array(t, dtype=object),
    Lines, collections.deque, collections.UserList, LyingIter,
    lambda t: Lines(t, length=0), lambda t: Lines(t, length=1000), lambda t: Lines(t, length=-1),
    lambda t: Lines(t, length=RuntimeError("no length")), lambda t: Lines(t, length=sys.maxsize),
], ids=["list", "tuple", "str subclasses", "str array", "object array", "custom", "deque", "UserList",
        "iterator decides", "length 0", "length 1000", "length -1", "length fails", "length maxsize"])
def test_line_list_accepted(name, make):
    items, call = ACCEPTING[name]
    assert call(make(items)) == call(items)
    assert call(list(items)) == {"xdatcar": [[1.0] * 3, [2.0] * 3], "poscar": [[False] * 3, [True, False, False]],
                                 "xyz": ["H", "He"], "symbols": "H "}[name]


@pytest.mark.parametrize("empty", [[], (), b"", range(0), Lines([])])
def test_empty_sequences_of_any_kind(empty):
    assert _io_rs.parse_xdatcar_coords_rs(empty).shape == (0, 3)


# --- the flag ------------------------------------------------------------------

def fake_numpy_type(name, **body):
    """A class that claims to be NumPy's boolean by module and name."""
    return type(name, (), {"__module__": "numpy", **body})


def select(flag):
    return _io_rs.parse_poscar_positions_rs([ROW + " F T F"], flag)[1]


@pytest.mark.parametrize("flag, selective", [
    (True, True), (False, False), (np.True_, True), (np.False_, False),
    (fake_numpy_type("bool_", __bool__=lambda self: True)(), True),
    (fake_numpy_type("bool", __bool__=lambda self: False)(), False),
])
def test_flag_accepted(flag, selective):
    flags = select(flag)
    assert (flags.tolist() == [[True, False, True]]) if selective else flags is None


@pytest.mark.parametrize("flag, type_name", [
    (1, "int"), (0, "int"), (None, "NoneType"), ("True", "str"), (np.int8(1), "int8"),
    (np.array(True), "ndarray"), (Holder.NestedDict(), "Holder.NestedDict"),
    # Module and name must both match.
    (type("bool_", (), {"__module__": "numpy.core", "__bool__": lambda s: True})(), "bool_"),
    (fake_numpy_type("bool8", __bool__=lambda s: True)(), "bool8"),
])
def test_flag_refused(flag, type_name):
    expected = f"argument 'selective': '{type_name}' object cannot be converted to 'PyBool'"
    assert argument_error(lambda: select(flag)) == expected


def test_fake_numpy_bool_conversion_errors():
    assert argument_error(lambda: select(fake_numpy_type("bool_")())) == (
        "argument 'selective': object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion")
    root = ArithmeticError("root")

    def refuse(self):
        raise TypeError("no truth here") from root

    wrapped = raised(lambda: select(fake_numpy_type("bool_", __bool__=refuse)()))
    assert (type(wrapped), str(wrapped), wrapped.__cause__) == (
        TypeError, "argument 'selective': no truth here", root)
    error = ValueError("undecided")

    def undecided(self):
        raise error

    assert raised(lambda: select(fake_numpy_type("bool", __bool__=undecided)())) is error


# --- the unsigned integer ---------------------------------------------------------

def header(index):
    return _io_rs.format_xdatcar_config_rs(EMPTY, index)


class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


def reference_index(value):
    """What the unsigned conversion gives: the value operator.index() gives,
    or the interpreter's own TypeError, or an OverflowError out of range."""
    try:
        number = operator.index(value)
    except TypeError as error:
        return TypeError, f"argument 'index': {error}"
    if number < 0:
        return OverflowError, "can't convert negative int to unsigned"
    return (OverflowError, "int too big to convert") if number >= 2**64 else number


@pytest.mark.parametrize("index", [
    0, 3, True, type("IntSub", (int,), {})(12), np.int64(3), np.uint64(2**64 - 1), Indexable(42), 2**63, 2**64 - 1,
    2.0, "3", None, np.float64(1.0), Indexable(2.5),
    -1, np.int64(-1), Indexable(-5), 2**64, Indexable(2**100),
])
def test_index(index):
    expected = reference_index(index)
    if isinstance(expected, int):
        assert header(index) == f"Direct configuration={expected:>6}\n"
    else:
        error = raised(lambda: header(index))
        assert (type(error), str(error)) == expected


def test_index_conversion_errors():
    root = LookupError("root")
    error = TypeError("not today")
    error.__cause__ = root
    wrapped = raised(lambda: header(Indexable(error)))
    assert (type(wrapped), str(wrapped), wrapped.__cause__) == (TypeError, "argument 'index': not today", root)
    for unchanged in (ValueError("no index"), TypeErrorSubclass("subclass")):
        assert raised(lambda: header(Indexable(unchanged))) is unchanged


# --- matrices -------------------------------------------------------------------

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


REFUSED_ANYWHERE = [
    ("list", [[0.0, 0.0, 0.0]], "list"),
    ("int", 5, "int"),
    ("int64", np.zeros((1, 3), np.int64), "ndarray"),
    ("float32", np.zeros((1, 3), np.float32), "ndarray"),
    ("uint8", np.zeros((1, 3), np.uint8), "ndarray"),
    ("structured", np.zeros((2, 3), dtype=[("x", "f8")]), "ndarray"),
    ("1-D", np.zeros(3), "ndarray"),
    ("1-D bool", np.zeros(3, bool), "ndarray"),
    ("3-D", np.zeros((1, 1, 3)), "ndarray"),
    ("0-D", np.array(1.0), "ndarray"),
    ("scalar", np.float64(1.0), "float64"),
    ("byte-swapped", np.zeros((1, 3), ">f8"), "ndarray"),
    ("nested subclass, int", np.zeros((1, 3), np.int32).view(Outer.Array), "Outer.Array"),
    ("memoryview", memoryview(np.zeros((1, 3))), "memoryview"),
]


@pytest.mark.parametrize("parameter, call", MATRIX_PARAMETERS.values(), ids=MATRIX_PARAMETERS)
@pytest.mark.parametrize("value, type_name", [c[1:] for c in REFUSED_ANYWHERE], ids=[c[0] for c in REFUSED_ANYWHERE])
def test_matrix_refused(parameter, call, value, type_name):
    expected = f"argument '{parameter}': '{type_name}' object cannot be converted to 'PyArray<T, D>'"
    assert argument_error(lambda: call(value)) == expected


@pytest.mark.parametrize("parameter, call", MATRIX_PARAMETERS.values(), ids=MATRIX_PARAMETERS)
def test_matrix_of_the_other_element_type_refused(parameter, call):
    other = np.zeros((1, 3)) if parameter == "flags" else np.zeros((1, 3), bool)
    for value, type_name in [(other, "ndarray"), (other.view(Outer.Array), "Outer.Array")]:
        expected = f"argument '{parameter}': '{type_name}' object cannot be converted to 'PyArray<T, D>'"
        assert argument_error(lambda: call(value)) == expected
    if parameter != "flags":
        assert "'NoneType' object" in argument_error(lambda: call(None))


def read_only(array):
    array = array.copy()
    array.flags.writeable = False
    return array


@pytest.mark.parametrize("parameter, call", FLOAT_PARAMETERS.values(), ids=FLOAT_PARAMETERS)
@pytest.mark.parametrize("make", [lambda a: a.astype(np.dtype("=f8")),
                                  lambda a: a.astype(np.dtype(np.float64, metadata={"unit": "A"})),
                                  lambda a: a.view(Outer.Array), read_only],
                         ids=["native order spelled", "dtype with metadata", "subclass", "read-only"])
def test_float_matrix_accepted(parameter, call, make):
    variant = make(COORD)
    before = np.array(variant, copy=True)
    assert call(variant) == call(COORD)
    assert np.array_equal(np.asarray(variant), before)  # read in place, never written


@pytest.mark.parametrize("make", [lambda f: f.view(Outer.Array), read_only,
                                  lambda f: f.view(np.dtype("?").newbyteorder(">"))],
                         ids=["subclass", "read-only", "bool has no byte order"])
def test_flag_matrix_accepted(make):
    flags = np.array([[True, False, True], [False, False, True]])
    text = _io_rs.format_poscar_positions_rs(COORD, make(flags))
    assert text == _io_rs.format_poscar_positions_rs(COORD, flags) != _io_rs.format_poscar_positions_rs(COORD)


# --- conversions that run Python code ------------------------------------------------
# Each runs in a child process: if the module read memory that the Python
# code freed, the crash must not take the test run with it. The lines and
# arrays are large and glibc maps every large block on its own, so that a
# read after the free is a crash rather than a silent wrong value.
UNMAP_ON_FREE = {"MALLOC_MMAP_THRESHOLD_": str(64 * 1024)}

MUTATING_SELECTIVE = """
    import _io_rs

    big = " " * 300_000
    lines = [f"{i}.5 0.25 0.125{big} T F T" for i in range(8)]

    class bool:  # passes for a NumPy boolean, and runs code while converted
        def __bool__(self):
            {mutation}
            return True
    bool.__module__ = "numpy"

    positions, flags = _io_rs.parse_poscar_positions_rs(lines, bool())
    assert positions.tolist() == [[i + 0.5, 0.25, 0.125] for i in range(8)], positions
    assert flags.tolist() == [[False, True, False]] * 8
    print("ok")
"""

MUTATING_INDEX = """
    import numpy as np
    import _io_rs

    array = np.full((200_000, 3), 0.5)

    class Index:
        def __index__(self):
            {mutation}
            return 3

    try:
        text = _io_rs.format_xdatcar_config_rs(array, Index())
    except ValueError as error:  # NumPy refusing the change is fine too
        print("refused")
    else:
        header, *rows = text.splitlines()
        assert header == "Direct configuration=     3", header
        assert rows == ["   0.50000000  0.50000000  0.50000000"] * len(array), len(rows)
        print("written")
"""


# The first call that needs NumPy loads its C API, which runs Python code
# (NumpyVersion) that may change the symbols already taken.
MUTATING_FIRST_LOAD = """
    import numpy, numpy.lib, _io_rs

    symbols = ["Fe" + " " * 300_000] * 8
    positions = numpy.zeros((8, 3))
    version = numpy.lib.NumpyVersion

    def hook(text):
        {mutation}
        return version(text)

    numpy.lib.NumpyVersion = hook
    try:
        _io_rs.format_xyz_block_rs(symbols, positions)
    except ValueError as error:
        assert str(error) == "format_xyz_block_rs: symbols length (0) != positions rows (8)", error
        print("ok")
"""


@pytest.mark.parametrize("script, mutation", [
    (MUTATING_FIRST_LOAD, "symbols.clear()"),
    (MUTATING_SELECTIVE, "lines.clear()"),
    (MUTATING_SELECTIVE, "globals().pop('lines').clear()"),
    (MUTATING_INDEX, "array.resize((1, 3), refcheck=False)"),
    (MUTATING_INDEX, "array.__setstate__(array[:1].__reduce__()[2])"),
])
def test_conversion_that_changes_the_other_arguments(run_python, script, mutation):
    done = run_python(textwrap.dedent(script).replace("{mutation}", mutation), UNMAP_ON_FREE)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout in ("ok\n", "written\n", "refused\n")
