"""No leaks and no reference mistakes: every function, on success and on
every kind of failure (binding, conversion, parse, shape, internal, out of
memory), run thousands of times, leaves the reference counts of its inputs
as they were, keeps the interpreter's traced memory flat (Python objects)
and the process's resident size flat (the module's own buffers). Results
hold exactly the references they should and give their memory back."""

import gc
import os
import sys
import tracemalloc
from collections import Counter
from dataclasses import dataclass, field
from typing import Callable

import numpy as np
import pytest

import _io_rs

needs_proc = pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
# Under AddressSanitizer freed memory waits in quarantine, so the process's
# size says nothing about leaks; reference counts and traced memory still do.
sanitized = pytest.mark.skipif(os.environ.get("IO_RS_SANITIZED") == "1",
                               reason="resident size is meaningless under AddressSanitizer")

WARM_UP = 200
TRACED_ROUNDS = 1500
RSS_ROUNDS = 4000
TRACED_LIMIT = 64 * 1024  # bytes of Python objects left over after all rounds
RSS_LIMIT = 4 * 2**20


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def fresh(text):
    """A str object of its own, not interned and not shared with any literal."""
    return "".join(list(text))


N = 300
# Long bad fields make every leaked message large enough to see.
BAD = "x" * 2000


def block(line_of):
    return [fresh(line_of(i)) for i in range(N)]


POSCAR = block(lambda i: f"{i}.125 0.25 0.5 F T F")
POSCAR_BAD_NUMBER = POSCAR[:-1] + [fresh(f"0 {BAD} 0")]
POSCAR_BAD_FLAG = POSCAR[:-1] + [fresh(f"0 0 0 T {BAD}")]
POSCAR_SHORT = POSCAR[:-1] + [fresh("0.5 0.5")]
XDATCAR = block(lambda i: f"  0.{i:04d}  0.5  0.75")
XDATCAR_BAD = XDATCAR[:-1] + [fresh(f"0 0 {BAD}")]
XYZ = block(lambda i: f"{['Fe', 'Cl', 'Uuo'][i % 3]} {i}.5 -1.25 0")
XYZ_BAD = XYZ[:-1] + [fresh(f"Fe 0 {BAD} 0")]
XYZ_EMPTY = XYZ[:-1] + [fresh("   ")]
WITH_INT = XDATCAR[:-1] + [12345678901234]
WITH_SURROGATE = XDATCAR[:-1] + [fresh("0 0 \udc80")]
SYMBOLS = [fresh(["Fe", "Cl", "Uuo"][i % 3]) for i in range(N)]
COORD = np.linspace(-3, 3, N * 3).reshape(N, 3)
FLAGS = np.arange(N * 3).reshape(N, 3) % 3 == 0
TWO_COLUMNS = np.zeros((N, 2))
HUGE = np.broadcast_to(np.zeros(3), (10**12, 3))
INDEX = 2**40 + 12345  # a big int, so not an immortal small int


class RaisingSequence:
    """A sequence whose items run out in an error half-way."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if i == len(self.items) // 2:
            raise KeyError("gone")
        return self.items[i]


class FakeNumpyBool:
    """Passes for a NumPy boolean by name, then fails to convert."""

    def __bool__(self):
        raise ZeroDivisionError("no truth")


FakeNumpyBool.__module__ = "numpy"
FakeNumpyBool.__name__ = FakeNumpyBool.__qualname__ = "bool"


class BadIndex:
    def __index__(self):
        raise ArithmeticError("no index")


@dataclass
class Case:
    name: str
    call: Callable
    raises: type | None = None
    inputs: list = field(default_factory=list)  # objects whose reference counts must not move


def internal_error():
    try:
        _io_rs.format_xdatcar_config_rs(TWO_COLUMNS, 1)
    except BaseException as e:  # noqa: BLE001 - the module's own class
        return type(e)


InternalError = internal_error()

P, FP, XP, FX, YP, FY = (_io_rs.parse_poscar_positions_rs, _io_rs.format_poscar_positions_rs,
                         _io_rs.parse_xdatcar_coords_rs, _io_rs.format_xdatcar_config_rs,
                         _io_rs.parse_xyz_block_rs, _io_rs.format_xyz_block_rs)
RAISING = RaisingSequence(XDATCAR)
FAKE = FakeNumpyBool()
BAD_INDEX = BadIndex()
LINES_TUPLE = tuple(POSCAR)

CASES = [
    # parse_poscar_positions_rs
    Case("poscar selective", lambda: P(POSCAR, True), None, [POSCAR]),
    Case("poscar plain tuple", lambda: P(LINES_TUPLE, False), None, [LINES_TUPLE]),
    Case("poscar too many arguments", lambda: P(POSCAR, True, 1), TypeError, [POSCAR]),
    Case("poscar unknown keyword", lambda: P(POSCAR, selective=True, flags=1), TypeError, [POSCAR]),
    Case("poscar missing argument", lambda: P(lines=POSCAR), TypeError, [POSCAR]),
    Case("poscar lines not a sequence", lambda: P({1: 2}, True), TypeError),
    Case("poscar int element", lambda: P(WITH_INT, True), TypeError, [WITH_INT]),
    Case("poscar lone surrogate", lambda: P(WITH_SURROGATE, True), UnicodeEncodeError, [WITH_SURROGATE]),
    Case("poscar sequence raising", lambda: P(RAISING, True), KeyError, [XDATCAR]),
    Case("poscar selective an int", lambda: P(POSCAR, 1), TypeError, [POSCAR]),
    Case("poscar selective failing", lambda: P(POSCAR, FAKE), ZeroDivisionError, [POSCAR, FAKE]),
    Case("poscar bad number", lambda: P(POSCAR_BAD_NUMBER, True), ValueError, [POSCAR_BAD_NUMBER]),
    Case("poscar bad flag", lambda: P(POSCAR_BAD_FLAG, True), ValueError, [POSCAR_BAD_FLAG]),
    Case("poscar short line", lambda: P(POSCAR_SHORT, False), ValueError, [POSCAR_SHORT]),
    # format_poscar_positions_rs
    Case("format poscar", lambda: FP(COORD), None, [COORD]),
    Case("format poscar flags", lambda: FP(COORD, flags=FLAGS), None, [COORD, FLAGS]),
    Case("format poscar no rows", lambda: FP(COORD[:0], FLAGS[:0]), None, [COORD, FLAGS]),
    Case("format poscar missing coord", lambda: FP(flags=FLAGS), TypeError, [FLAGS]),
    Case("format poscar int64 coord", lambda: FP(FLAGS.astype(np.int64)), TypeError),
    Case("format poscar flags a list", lambda: FP(COORD, [[True] * 3] * N), TypeError, [COORD]),
    Case("format poscar flag shape", lambda: FP(COORD, FLAGS[1:]), ValueError, [COORD, FLAGS]),
    Case("format poscar two columns", lambda: FP(TWO_COLUMNS), InternalError, [TWO_COLUMNS]),
    Case("format poscar huge", lambda: FP(HUGE), MemoryError, [HUGE]),
    # parse_xdatcar_coords_rs
    Case("xdatcar", lambda: XP(XDATCAR), None, [XDATCAR]),
    Case("xdatcar keyword twice", lambda: XP(XDATCAR, lines=XDATCAR), TypeError, [XDATCAR]),
    Case("xdatcar a str", lambda: XP(XDATCAR[0]), TypeError, [XDATCAR]),
    Case("xdatcar generator", lambda: XP(line for line in XDATCAR), TypeError, [XDATCAR]),
    Case("xdatcar int element", lambda: XP(WITH_INT), TypeError, [WITH_INT]),
    Case("xdatcar sequence raising", lambda: XP(RAISING), KeyError, [XDATCAR]),
    Case("xdatcar bad number", lambda: XP(XDATCAR_BAD), ValueError, [XDATCAR_BAD]),
    # format_xdatcar_config_rs
    Case("format xdatcar", lambda: FX(COORD, INDEX), None, [COORD, INDEX]),
    Case("format xdatcar float index", lambda: FX(COORD, 2.0), TypeError, [COORD]),
    Case("format xdatcar negative index", lambda: FX(COORD, -INDEX), OverflowError, [COORD]),
    Case("format xdatcar failing index", lambda: FX(COORD, BAD_INDEX), ArithmeticError, [COORD, BAD_INDEX]),
    Case("format xdatcar a list", lambda: FX(COORD.tolist(), 1), TypeError),
    Case("format xdatcar two columns", lambda: FX(TWO_COLUMNS, INDEX), InternalError, [TWO_COLUMNS, INDEX]),
    Case("format xdatcar huge", lambda: FX(HUGE, 1), MemoryError, [HUGE]),
    # parse_xyz_block_rs
    Case("xyz", lambda: YP(XYZ), None, [XYZ]),
    Case("xyz missing", lambda: YP(), TypeError),
    Case("xyz int element", lambda: YP(WITH_INT), TypeError, [WITH_INT]),
    Case("xyz bad number", lambda: YP(XYZ_BAD), ValueError, [XYZ_BAD]),
    Case("xyz empty line", lambda: YP(XYZ_EMPTY), ValueError, [XYZ_EMPTY]),
    # format_xyz_block_rs
    Case("format xyz", lambda: FY(SYMBOLS, COORD), None, [SYMBOLS, COORD]),
    Case("format xyz length", lambda: FY(SYMBOLS[1:], COORD), ValueError, [SYMBOLS, COORD]),
    Case("format xyz two columns", lambda: FY(SYMBOLS, TWO_COLUMNS), InternalError, [SYMBOLS, TWO_COLUMNS]),
    Case("format xyz int symbol", lambda: FY(WITH_INT, COORD), TypeError, [WITH_INT, COORD]),
    Case("format xyz positions a list", lambda: FY(SYMBOLS, [[0.0] * 3] * N), TypeError, [SYMBOLS]),
    Case("format xyz sequence raising", lambda: FY(RAISING, COORD), KeyError, [XDATCAR, COORD]),
]


def watched(inputs):
    """The inputs and, for lists and tuples, their elements."""
    objects = []
    for o in inputs:
        objects.append(o)
        if isinstance(o, (list, tuple)):
            objects.extend(o)
    return objects


def reference_counts(objects):
    return [sys.getrefcount(o) for o in objects]


def run(case, rounds):
    call, raises = case.call, case.raises
    for _ in range(rounds):
        if raises is None:
            call()
            continue
        try:
            call()
        except raises:
            pass
        else:
            raise AssertionError(f"{case.name}: no {raises.__name__}")


def test_every_case_fails_as_intended():
    """The cases below only mean something if each fails the way it says."""
    for case in CASES:
        run(case, 1)


@pytest.mark.parametrize("case", CASES, ids=[c.name for c in CASES])
def test_inputs_keep_their_reference_counts(case):
    objects = watched(case.inputs)
    before = reference_counts(objects)
    run(case, TRACED_ROUNDS)
    assert reference_counts(objects) == before


@pytest.mark.parametrize("case", CASES, ids=[c.name for c in CASES])
def test_no_python_objects_left_behind(case):
    run(case, WARM_UP)
    gc.collect()
    tracemalloc.start()
    try:
        start, _ = tracemalloc.get_traced_memory()
        run(case, TRACED_ROUNDS)
        gc.collect()
        end, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert end - start < TRACED_LIMIT


@needs_proc
@sanitized
@pytest.mark.parametrize("case", CASES, ids=[c.name for c in CASES])
def test_resident_size_stays_flat(case):
    run(case, WARM_UP)
    gc.collect()
    start = resident_bytes()
    run(case, RSS_ROUNDS)
    gc.collect()
    assert resident_bytes() - start < RSS_LIMIT


# --- results ------------------------------------------------------------------

# sys.getrefcount counts its own argument: a result held by one name shows 2.
def test_results_hold_exactly_their_references():
    positions, flags = P(POSCAR, True)
    assert sys.getrefcount(positions) == 2
    assert sys.getrefcount(flags) == 2
    for array in (positions, flags):
        holder = array.base  # kept alive by its array alone
        assert sys.getrefcount(holder) == 3

    pair = YP(XYZ)
    assert sys.getrefcount(pair) == 2
    symbols, array = pair
    assert sys.getrefcount(symbols) == 3  # the tuple and the name
    holder = array.base
    assert sys.getrefcount(holder) == 3
    # Equal symbols may share one str; each is held by its list slots only.
    slots = Counter(map(id, symbols))
    for s in symbols:
        assert sys.getrefcount(s) == slots[id(s)] + 2  # and the loop name

    for make in (lambda: FP(COORD, FLAGS), lambda: FX(COORD, 3), lambda: FY(SYMBOLS, COORD)):
        text = make()
        assert sys.getrefcount(text) == 2
    positions = XP(XDATCAR)
    assert sys.getrefcount(positions) == 2


BIG_BLOCK = [fresh(f"{i}.5 0.25 0.125") for i in range(5000)]  # 120 kB of positions per parse


@needs_proc
@sanitized
@pytest.mark.parametrize("make", [
    lambda: XP(BIG_BLOCK),
    lambda: P(BIG_BLOCK, True),
    lambda: FX(np.zeros((5000, 3)), 1),
], ids=["positions", "positions and flags", "text"])
def test_dropped_results_give_their_memory_back(make):
    make()
    gc.collect()
    start = resident_bytes()
    for _ in range(1000):
        result = make()
        del result
    gc.collect()
    # 1000 leaked results would keep over 100 MB.
    assert resident_bytes() - start < 16 * 2**20
