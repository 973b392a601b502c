"""Hostile and odd inputs: each ends in a clear exception or a correct
result, never in a crash or a hang. Sequences that lie or fail, str
subclasses, huge lines and blocks, NULs and lone surrogates, arrays that
cannot be written out in any memory, odd array layouts and dtypes, the
internal error, and argument conversions that run Python code which
changes the other arguments. Cases that could take the interpreter down run
in a child process."""

import faulthandler
import os
import sys
import textwrap

import numpy as np
import pytest

import _io_rs

ROW = "0.5 0.25 0.125"
ROW_VALUES = [0.5, 0.25, 0.125]


@pytest.fixture(autouse=True)
def watchdog():
    """A hang inside the module cannot be interrupted from Python: after two
    minutes, dump every thread's stack and end the process."""
    faulthandler.dump_traceback_later(120, exit=True, file=sys.__stderr__)
    yield
    faulthandler.cancel_dump_traceback_later()


# Every parameter that takes a sequence of str: a line (or symbol) it
# accepts, the call, and where the positions are in its result (None for the
# formatter, whose result is text).
TARGETS = {
    "xdatcar": (ROW, lambda lines: _io_rs.parse_xdatcar_coords_rs(lines), lambda r: r),
    "poscar": (ROW + " T F T", lambda lines: _io_rs.parse_poscar_positions_rs(lines, True), lambda r: r[0]),
    "xyz": ("He " + ROW, lambda lines: _io_rs.parse_xyz_block_rs(lines), lambda r: r[1]),
    "symbols": ("Fe", lambda symbols: _io_rs.format_xyz_block_rs(symbols, np.full((3, 3), 0.5)), None),
}
PARSERS = ["xdatcar", "poscar", "xyz"]


def parameter_of(name):
    return "symbols" if name == "symbols" else "lines"


def check_block(name, result, rows):
    positions_of = TARGETS[name][2]
    if positions_of is None:
        assert result.count("\n") == rows
    else:
        np.testing.assert_array_equal(positions_of(result), [ROW_VALUES] * rows)


# --- sequences that lie or fail -------------------------------------------------

class Items:
    """A sequence of three copies of item, with a configurable __len__ and
    an error raised at one index if wanted."""

    def __init__(self, item, length=3, fail_at=None, error=None):
        self.item, self.length, self.fail_at, self.error = item, length, fail_at, error

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise self.error
        if i >= 3:
            raise IndexError(i)
        return self.item


@pytest.mark.parametrize("name", sorted(TARGETS))
@pytest.mark.parametrize("length", [
    0, 1, 2, 4, 1000, -1, "three", 2.5, RuntimeError("no length"), OverflowError("too long"),
], ids=repr)
def test_the_length_is_only_a_hint(name, length):
    item, call, _ = TARGETS[name]
    check_block(name, call(Items(item, length)), 3)


# AddressSanitizer ends the process when `operator new` cannot get memory,
# where a normal build throws std::bad_alloc; those cases cannot run under it.
needs_throwing_new = pytest.mark.skipif(os.environ.get("IO_RS_SANITIZED") == "1",
                                        reason="operator new does not throw under AddressSanitizer")


@pytest.mark.parametrize("name", sorted(TARGETS))
@pytest.mark.parametrize("length", [pytest.param(10**12, marks=needs_throwing_new), sys.maxsize],
                         ids=["10**12", "maxsize"])
def test_an_impossible_length_is_no_internal_error(name, length):
    """Room reserved for a length no memory can hold fails as CPython's own
    list(x) fails then, with MemoryError, or the hint is not trusted at all;
    never with the internal-error exception, which `except Exception` misses."""
    item, call, _ = TARGETS[name]
    try:
        check_block(name, call(Items(item, length)), 3)
    except MemoryError:
        pass


class BadIter(list):
    def __iter__(self):
        raise LookupError("no iterator")


class LyingIter(list):
    """A list whose iterator yields other lines than the list holds."""

    def __iter__(self):
        return iter(["1 1 1", "2 2 2"])


class BadNext:
    def __len__(self):
        return 3

    def __getitem__(self, i):
        return ROW

    def __iter__(self):
        return self

    def __next__(self):
        raise ArithmeticError("no next")


@pytest.mark.parametrize("name", sorted(TARGETS))
@pytest.mark.parametrize("make, error", [
    (lambda item: Items(item, fail_at=0, error=KeyError("first")), KeyError),
    (lambda item: Items(item, fail_at=2, error=MemoryError()), MemoryError),
    (lambda item: BadIter([item]), LookupError),
    (lambda item: BadNext(), ArithmeticError),
], ids=["first item", "last item", "__iter__", "__next__"])
def test_iteration_errors_pass_unchanged(name, make, error):
    item, call, _ = TARGETS[name]
    with pytest.raises(error) as raised:
        call(make(item))
    assert type(raised.value) is error
    assert "argument" not in str(raised.value)


@pytest.mark.parametrize("name", ["xdatcar", "poscar"])
def test_the_iterator_decides_not_the_list_contents(name):
    _, call, positions_of = TARGETS[name]
    np.testing.assert_array_equal(positions_of(call(LyingIter(["9 9 9"] * 5))), [[1, 1, 1], [2, 2, 2]])


@pytest.mark.parametrize("name", sorted(TARGETS))
@pytest.mark.parametrize("make, type_name", [
    (lambda item: (x for x in [item]), "generator"),
    (lambda item: iter([item]), "list_iterator"),
    (lambda item: {item: 1}, "dict"),
    (lambda item: {item}, "set"),
    (lambda item: None, "NoneType"),
], ids=["generator", "iterator", "dict", "set", "None"])
def test_non_sequences_are_refused(name, make, type_name):
    item, call, _ = TARGETS[name]
    with pytest.raises(TypeError, match=f"^argument '{parameter_of(name)}': '{type_name}' object cannot be "
                                        "converted to 'Sequence'$"):
        call(make(item))


@pytest.mark.parametrize("value", [b"0 0 0", bytearray(b"0 0 0"), memoryview(b"0 0 0"), range(3)],
                         ids=["bytes", "bytearray", "memoryview", "range"])
def test_sequences_of_ints_are_refused(value):
    with pytest.raises(TypeError, match="^argument 'lines': 'int' object cannot be converted to 'PyString'$"):
        _io_rs.parse_xdatcar_coords_rs(value)


# --- str subclasses -------------------------------------------------------------------

class Disguised(str):
    """A str whose Python-level behaviour lies about its text; the module
    must read the characters the object really holds."""

    def __str__(self):
        return "9 9 9"

    def __iter__(self):
        raise AssertionError("iterated")

    def __len__(self):
        return 0

    def __getitem__(self, i):
        raise AssertionError("indexed")

    def encode(self, *args, **kwargs):
        raise AssertionError("encoded")


@pytest.mark.parametrize("name", PARSERS)
def test_str_subclasses_are_read_by_their_characters(name):
    item, call, _ = TARGETS[name]
    check_block(name, call([Disguised(item)] * 2), 2)
    check_block(name, call(np.array([item] * 2)), 2)  # numpy.str_ elements


def test_str_subclass_symbols_are_written_as_they_are():
    text = _io_rs.format_xyz_block_rs([Disguised("Fe")], np.zeros((1, 3)))
    assert text.startswith("Fe ") and "9" not in text


@pytest.mark.parametrize("name", sorted(TARGETS))
def test_a_str_subclass_is_not_a_sequence_of_lines(name):
    item, call, _ = TARGETS[name]
    with pytest.raises(TypeError, match=f"^argument '{parameter_of(name)}': Can't extract `str` to `Vec`$"):
        call(Disguised(item))


# --- size ----------------------------------------------------------------------------

MB = 2**20


@pytest.mark.parametrize("line, expected", [
    (ROW + " " + "x" * (20 * MB), ROW_VALUES),           # a huge ignored tail
    (ROW + " 1" * 10**6, ROW_VALUES),                      # a million fields
    (" " * (20 * MB) + ROW, ROW_VALUES),                   # megabytes of separators first
    ("0." + "1" * (10 * MB) + " 0 0", [1 / 9, 0, 0]),      # ten million digits
    ("1" * (10 * MB) + "e-9999999 0 0", [float("inf"), 0, 0]),
    # The exponent's digits stop counting at 104857 (past 65536), so this is
    # 10^(104857 - 10485761), zero, although the text spells 1.
    ("0." + "0" * (10 * MB) + "1e" + str(10 * MB + 1) + " 0 0", [0.0, 0, 0]),
], ids=["tail", "fields", "separators", "digits", "digits and exponent", "exponent cut"])
def test_huge_lines(line, expected):
    np.testing.assert_array_equal(_io_rs.parse_xdatcar_coords_rs([line]), [expected])


def test_a_huge_bad_field_is_quoted_whole():
    field = "7" * (5 * MB) + "x"
    with pytest.raises(ValueError) as refused:
        _io_rs.parse_xdatcar_coords_rs([ROW, f"0 {field} 0"])
    assert str(refused.value) == f"XDATCAR: cannot parse '{field}' on line 1: invalid float literal"


def test_a_million_lines():
    lines = [ROW] * 10**6
    check_block("xdatcar", _io_rs.parse_xdatcar_coords_rs(lines), 10**6)
    text = _io_rs.format_xdatcar_config_rs(np.zeros((10**6, 3)), 1)
    assert text.count("\n") == 10**6 + 1


# --- NULs and lone surrogates -----------------------------------------------------

def test_nul_is_an_ordinary_field_character():
    with pytest.raises(ValueError) as refused:
        _io_rs.parse_xdatcar_coords_rs([ROW, "0\x000 0 0"])
    assert str(refused.value) == "XDATCAR: cannot parse '0\x000' on line 1: invalid float literal"
    symbols, positions = _io_rs.parse_xyz_block_rs(["h\x00E 1 2 3", "\x00 0 0 0"])
    assert symbols == ["H\x00e", "\x00"]
    text = _io_rs.format_xyz_block_rs(["A\x00"], np.zeros((1, 3)))
    assert text.startswith("A\x00 ")


SURROGATES = ["\ud800", "\udfff", "0 0 \udc80", "\ud83d 1 2 3"]


@pytest.mark.parametrize("name", sorted(TARGETS))
@pytest.mark.parametrize("bad", SURROGATES, ids=lambda s: s.encode("unicode_escape").decode())
def test_lone_surrogates_raise_unicode_encode_error_unchanged(name, bad):
    item, call, _ = TARGETS[name]
    with pytest.raises(UnicodeEncodeError) as raised:
        call([item, bad, item])
    assert type(raised.value) is UnicodeEncodeError
    assert "argument" not in str(raised.value)


# --- arrays -----------------------------------------------------------------------------

# The last is too many for the byte count of a line block to fit in 64 bits.
HUGE_ROWS = [10**12, 10**15, 3 * 10**17]


@pytest.mark.parametrize("rows", HUGE_ROWS)
@pytest.mark.parametrize("call", [
    lambda a: _io_rs.format_xdatcar_config_rs(a, 1),
    lambda a: _io_rs.format_poscar_positions_rs(a),
    lambda a: _io_rs.format_poscar_positions_rs(a, np.broadcast_to(np.ones(3, dtype=bool), a.shape)),
], ids=["xdatcar", "poscar", "poscar with flags"])
def test_output_that_cannot_fit_in_memory(rows, call):
    huge = np.broadcast_to(np.zeros(3), (rows, 3))
    with pytest.raises(MemoryError):
        call(huge)
    assert _io_rs.format_xdatcar_config_rs(np.zeros((1, 3)), 2).startswith("Direct configuration=     2\n")


def test_huge_positions_with_too_few_symbols():
    huge = np.broadcast_to(np.zeros(3), (10**12, 3))
    with pytest.raises(ValueError, match=r"symbols length \(2\) != positions rows \(1000000000000\)"):
        _io_rs.format_xyz_block_rs(["H", "O"], huge)


REFUSED_ARRAYS = {
    "byte-swapped": np.zeros((2, 3), dtype=">f8"),
    "float32": np.zeros((2, 3), dtype=np.float32),
    "complex": np.zeros((2, 3), dtype=complex),
    "object": np.zeros((2, 3), dtype=object),
    "structured": np.zeros((2, 3), dtype=[("x", "f8")]),
    "three dimensions": np.zeros((1, 2, 3)),
    "zero dimensions": np.array(1.0),
}


@pytest.mark.parametrize("array", REFUSED_ARRAYS.values(), ids=REFUSED_ARRAYS.keys())
@pytest.mark.parametrize("parameter, call", [
    ("coord", lambda a: _io_rs.format_poscar_positions_rs(a)),
    ("scaled_positions", lambda a: _io_rs.format_xdatcar_config_rs(a, 1)),
    ("positions", lambda a: _io_rs.format_xyz_block_rs(["H", "O"], a)),
])
def test_arrays_of_other_kinds_are_refused(array, parameter, call):
    with pytest.raises(TypeError, match=f"^argument '{parameter}': 'ndarray' object cannot be converted"):
        call(array)


def test_byte_swapped_flags_are_refused_only_for_their_kind():
    coord = np.zeros((1, 3))
    with pytest.raises(TypeError, match="^argument 'flags': 'ndarray' object"):
        _io_rs.format_poscar_positions_rs(coord, np.zeros((1, 3), dtype=">i2"))
    # bool has no byte order: a "byte-swapped" bool array is just a bool array
    flags = np.zeros((1, 3), dtype=bool).view(np.dtype("?").newbyteorder(">"))
    assert _io_rs.format_poscar_positions_rs(coord, flags).endswith("   T   T   T\n")


def odd_layouts():
    base = np.arange(18.0).reshape(6, 3) / 7
    raw = np.zeros(base.size * 8 + 3, dtype=np.uint8)
    misaligned = raw[3:].view(np.float64).reshape(base.shape)
    misaligned[...] = base
    read_only = base.copy()
    read_only.flags.writeable = False
    wide = np.zeros((6, 9))
    wide[:, ::3] = base
    return {
        "misaligned": misaligned,
        "read-only": read_only,
        "every third column": wide[:, ::3],
        "negative strides": base[::-1].copy()[::-1],
        "transposed twice": base.T.copy().T,
        "matrix subclass": base.view(np.matrix),
        "masked (mask ignored)": np.ma.masked_array(base, mask=True),
        "from a bytes buffer": np.frombuffer(base.tobytes(), dtype=np.float64).reshape(6, 3),
    }


@pytest.mark.parametrize("layout", sorted(odd_layouts()))
def test_odd_layouts_write_the_values(layout):
    a = odd_layouts()[layout]
    plain = np.arange(18.0).reshape(6, 3) / 7
    assert _io_rs.format_xdatcar_config_rs(a, 1) == _io_rs.format_xdatcar_config_rs(plain, 1)
    assert _io_rs.format_poscar_positions_rs(a) == _io_rs.format_poscar_positions_rs(plain)
    assert _io_rs.format_xyz_block_rs(["H"] * 6, a) == _io_rs.format_xyz_block_rs(["H"] * 6, plain)


# --- the internal error -------------------------------------------------------------

@pytest.mark.parametrize("call", [
    lambda: _io_rs.format_xdatcar_config_rs(np.zeros((2, 2)), 1),
    lambda: _io_rs.format_poscar_positions_rs(np.zeros((1, 1))),
    lambda: _io_rs.format_xyz_block_rs(["H"], np.zeros((1, 0))),
], ids=["xdatcar", "poscar", "xyz"])
def test_internal_error_then_the_next_call_works(call):
    for _ in range(3):
        with pytest.raises(BaseException) as raised:
            call()
        assert not isinstance(raised.value, Exception)  # `except Exception` must not hide it
        assert str(raised.value) == "ndarray: index out of bounds"
        check_block("xdatcar", _io_rs.parse_xdatcar_coords_rs([ROW]), 1)


# --- conversions that run Python code -------------------------------------------------
# Each runs in a child process: if the module read memory that the Python
# code freed, the crash must not take the test run with it. The lines and
# arrays are large and glibc is told to map every large block on its own, so
# that freeing one gives it back to the system at once: a read after the
# free is then a crash rather than a silent wrong value.
UNMAP_ON_FREE = {"MALLOC_MMAP_THRESHOLD_": str(64 * 1024)}


def how_it_ended(done):
    """The exit status and the start of the error report (a sanitizer's or a traceback)."""
    at = max(done.stderr.find("ERROR:"), 0)
    return f"exit status {done.returncode}\n{done.stderr[at:at + 4000]}"

MUTATING_SELECTIVE = """
    import numpy as np
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


@pytest.mark.parametrize("mutation", [
    "lines.clear()",
    "lines[:] = ['x'] * 100",
    "del lines[::2]",
    "lines.extend(['bad'] * 1000)",
    "lines.reverse()",
    "globals().pop('lines').clear()",
])
def test_selective_conversion_that_mutates_the_lines(run_python, mutation):
    done = run_python(textwrap.dedent(MUTATING_SELECTIVE).replace("{mutation}", mutation), UNMAP_ON_FREE)
    assert done.returncode == 0, how_it_ended(done)
    assert done.stdout == "ok\n"


MUTATING_INDEX = """
    import numpy as np
    import _io_rs

    array = np.full((200_000, 3), 0.5)  # large enough to be given back to the system when freed

    class Index:
        def __index__(self):
            {mutation}
            return 3

    try:
        text = _io_rs.format_xdatcar_config_rs(array, Index())
    except ValueError as error:  # NumPy refusing the change is fine too
        print("refused:", str(error).splitlines()[0])
    except BaseException as error:
        # Only an array left with fewer than three columns may end in the
        # internal error, as any such array does.
        assert array.shape[1] < 3 and str(error) == "ndarray: index out of bounds", (array.shape, error)
        print("narrowed")
    else:
        header, *rows = text.splitlines()
        assert header == "Direct configuration=     3", header
        assert len(rows) in (200_000, len(array)), len(rows)  # the array before or after the change
        print("written")
"""


@pytest.mark.parametrize("mutation", [
    "array[...] = 7.0",
    "array.resize((1, 3))",
    "array.resize((1, 3), refcheck=False)",
    "array.shape = (300_000, 2)",
    "array.__setstate__(array[:1].__reduce__()[2])",
])
def test_index_conversion_that_changes_the_array(run_python, mutation):
    done = run_python(textwrap.dedent(MUTATING_INDEX).replace("{mutation}", mutation), UNMAP_ON_FREE)
    assert done.returncode == 0, how_it_ended(done)
    assert done.stdout.startswith(("written", "refused:", "narrowed"))
