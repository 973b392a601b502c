"""No leaks and no reference mistakes: every function, on success and on
every kind of failure (binding, conversion, parse, shape, internal, out of
memory), run a thousand times, leaves the reference counts of its inputs as
they were, keeps the interpreter's traced memory flat (Python objects) and
the process's resident size flat (the module's own buffers)."""

import gc
import os
import sys
import tracemalloc
from collections import Counter

import numpy as np
import pytest

import _io_rs
import _io_rs_buffers as buffers

needs_proc = pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
# Under AddressSanitizer freed memory waits in quarantine, so the process's
# size says nothing about leaks; reference counts and traced memory still do.
sanitized = pytest.mark.skipif(os.environ.get("IO_RS_SANITIZED") == "1",
                               reason="resident size is meaningless under AddressSanitizer")
ROUNDS = 1000


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def fresh(text):
    """A str object of its own, not interned and not shared with any literal."""
    return "".join(list(text))


N = 300
BAD = "x" * 2000  # long bad fields make every leaked message large enough to see
POSCAR = [fresh(f"{i}.125 0.25 0.5 F T F") for i in range(N)]
XDATCAR = [fresh(f"  0.{i:04d}  0.5  0.75") for i in range(N)]
XYZ = [fresh(f"{['Fe', 'Cl', 'Uuo'][i % 3]} {i}.5 -1.25 0") for i in range(N)]
WITH_INT = XDATCAR[:-1] + [12345678901234]
WITH_SURROGATE = XDATCAR[:-1] + [fresh("0 0 \udc80")]
SYMBOLS = [fresh(["Fe", "Cl", "Uuo"][i % 3]) for i in range(N)]
COORD = np.linspace(-3, 3, N * 3).reshape(N, 3)
FLAGS = np.arange(N * 3).reshape(N, 3) % 3 == 0
TWO_COLUMNS = np.zeros((N, 2))
HUGE = np.broadcast_to(np.zeros(3), (10**12, 3))
INDEX = 2**40 + 12345  # not an immortal small int


POSCAR_BYTES = "\n".join(POSCAR).encode()
POSCAR_BAD_BYTES = b"\n".join(POSCAR_BYTES.split(b"\n")[:-1] + [f"0 0 0 T {BAD}".encode()])
FRAMES_BYTES = b"".join(b"Direct configuration=%6d\n" % k + "\n".join(XDATCAR).encode() + b"\n" for k in range(3))
XYZ_BYTES = (f"{N}\ncomment\n" + "\n".join(XYZ) + "\n").encode() * 3
XYZ_BAD_BYTES = XYZ_BYTES + f"1\n\nFe 0 {BAD} 0\n".encode()
STACK = np.linspace(-3, 3, 3 * N * 3).reshape(3, N, 3)
DUMP_BYTES = b"".join(b"ITEM: TIME\n0.5\nITEM: TIMESTEP\n%d\nITEM: NUMBER OF ATOMS\n%d\nITEM: BOX BOUNDS xy xz yz pp pp ff\n"
                      b"0 10 1\n0 10 0\n0 10 0\nITEM: ATOMS id type element x y z\n" % (k, N)
                      + "".join(f"{N - i} 1 Fe {i}.5 -1.25 0\n" for i in range(N)).encode() for k in range(3))
DUMP_BAD_BYTES = DUMP_BYTES + f"ITEM: TIMESTEP\n{BAD}\n".encode()
DUMP_IDS = np.arange(1, N + 1)


def bad_last(lines, line):
    return lines[:-1] + [fresh(line)]


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


try:
    _io_rs.format_xdatcar_config_rs(TWO_COLUMNS, 1)
except BaseException as error:  # noqa: BLE001 - the module's own class
    InternalError = type(error)
try:
    buffers.format_xdatcar_frames(np.zeros((1, 1, 1)))
except BaseException as error:  # noqa: BLE001 - the module's own class
    BuffersInternalError = type(error)

P, FP, XP, FX, YP, FY = (_io_rs.parse_poscar_positions_rs, _io_rs.format_poscar_positions_rs,
                         _io_rs.parse_xdatcar_coords_rs, _io_rs.format_xdatcar_config_rs,
                         _io_rs.parse_xyz_block_rs, _io_rs.format_xyz_block_rs)
RAISING, FAKE, BAD_INDEX, LINES_TUPLE = RaisingSequence(XDATCAR), FakeNumpyBool(), BadIndex(), tuple(POSCAR)
POSCAR_BAD = [bad_last(POSCAR, f"0 {BAD} 0"), bad_last(POSCAR, f"0 0 0 T {BAD}"), bad_last(POSCAR, "0.5")]

# name, call, the exception it must raise (None: it succeeds), the inputs
# whose reference counts (and their elements') must not move.
CASES = [
    ("poscar", lambda: P(POSCAR, True), None, [POSCAR]),
    ("poscar tuple", lambda: P(LINES_TUPLE, False), None, [LINES_TUPLE]),
    ("poscar too many arguments", lambda: P(POSCAR, True, 1), TypeError, [POSCAR]),
    ("poscar unknown keyword", lambda: P(POSCAR, selective=True, flags=1), TypeError, [POSCAR]),
    ("poscar lines not a sequence", lambda: P({1: 2}, True), TypeError, []),
    ("poscar lone surrogate", lambda: P(WITH_SURROGATE, True), UnicodeEncodeError, [WITH_SURROGATE]),
    ("poscar sequence raising", lambda: P(RAISING, True), KeyError, [XDATCAR]),
    ("poscar selective failing", lambda: P(POSCAR, FAKE), ZeroDivisionError, [POSCAR, FAKE]),
    ("poscar bad number", lambda: P(POSCAR_BAD[0], True), ValueError, [POSCAR_BAD[0]]),
    ("poscar bad flag", lambda: P(POSCAR_BAD[1], True), ValueError, [POSCAR_BAD[1]]),
    ("poscar short line", lambda: P(POSCAR_BAD[2], False), ValueError, [POSCAR_BAD[2]]),
    ("format poscar", lambda: FP(COORD, flags=FLAGS), None, [COORD, FLAGS]),
    ("format poscar missing coord", lambda: FP(flags=FLAGS), TypeError, [FLAGS]),
    ("format poscar flags a list", lambda: FP(COORD, [[True] * 3] * N), TypeError, [COORD]),
    ("format poscar flag shape", lambda: FP(COORD, FLAGS[1:]), ValueError, [COORD, FLAGS]),
    ("format poscar two columns", lambda: FP(TWO_COLUMNS), InternalError, [TWO_COLUMNS]),
    ("format poscar huge", lambda: FP(HUGE), MemoryError, [HUGE]),
    ("xdatcar", lambda: XP(XDATCAR), None, [XDATCAR]),
    ("xdatcar a str", lambda: XP(XDATCAR[0]), TypeError, [XDATCAR]),
    ("xdatcar generator", lambda: XP(line for line in XDATCAR), TypeError, [XDATCAR]),
    ("xdatcar int element", lambda: XP(WITH_INT), TypeError, [WITH_INT]),
    ("xdatcar bad number", lambda: XP(bad_last(XDATCAR, f"0 0 {BAD}")), ValueError, []),
    ("format xdatcar", lambda: FX(COORD, INDEX), None, [COORD, INDEX]),
    ("format xdatcar float index", lambda: FX(COORD, 2.0), TypeError, [COORD]),
    ("format xdatcar negative index", lambda: FX(COORD, -INDEX), OverflowError, [COORD]),
    ("format xdatcar failing index", lambda: FX(COORD, BAD_INDEX), ArithmeticError, [COORD, BAD_INDEX]),
    ("format xdatcar two columns", lambda: FX(TWO_COLUMNS, INDEX), InternalError, [TWO_COLUMNS, INDEX]),
    ("format xdatcar huge", lambda: FX(HUGE, 1), MemoryError, [HUGE]),
    ("xyz", lambda: YP(XYZ), None, [XYZ]),
    ("xyz bad number", lambda: YP(bad_last(XYZ, f"Fe 0 {BAD} 0")), ValueError, []),
    ("xyz empty line", lambda: YP(bad_last(XYZ, "   ")), ValueError, []),
    ("format xyz", lambda: FY(SYMBOLS, COORD), None, [SYMBOLS, COORD]),
    ("format xyz length", lambda: FY(SYMBOLS[1:], COORD), ValueError, [SYMBOLS, COORD]),
    ("format xyz bad symbol", lambda: FY(SYMBOLS[:-1] + [BAD + " x"], COORD), ValueError, [SYMBOLS, COORD]),
    ("format xyz two columns", lambda: FY(SYMBOLS, TWO_COLUMNS), InternalError, [SYMBOLS, TWO_COLUMNS]),
    ("format xyz int symbol", lambda: FY(WITH_INT, COORD), TypeError, [WITH_INT, COORD]),
    ("format xyz sequence raising", lambda: FY(RAISING, COORD), KeyError, [XDATCAR, COORD]),
    # _io_rs_buffers
    ("read poscar block", lambda: buffers.read_poscar_block(POSCAR_BYTES, 0, N, True), None, [POSCAR_BYTES]),
    ("read poscar block short", lambda: buffers.read_poscar_block(POSCAR_BYTES, 0, N + 1, True), ValueError, []),
    ("read poscar block bad flag", lambda: buffers.read_poscar_block(POSCAR_BAD_BYTES, 0, N, True), ValueError, []),
    ("read poscar block a str", lambda: buffers.read_poscar_block(XDATCAR[0], 0, 1, True), TypeError, [XDATCAR]),
    ("read xdatcar frames", lambda: buffers.read_xdatcar_frames(FRAMES_BYTES, 0, N), None, [FRAMES_BYTES]),
    ("read xdatcar frames cut", lambda: buffers.read_xdatcar_frames(FRAMES_BYTES[:-40], 0, N), ValueError, []),
    ("index xdatcar frames", lambda: buffers.index_xdatcar_frames(FRAMES_BYTES, 0, N), None, []),
    ("read xyz frames", lambda: buffers.read_xyz_frames(XYZ_BYTES, max_frames=None), None, [XYZ_BYTES]),
    ("read xyz frames bad", lambda: buffers.read_xyz_frames(XYZ_BAD_BYTES), ValueError, []),
    ("index xyz frames", lambda: buffers.index_xyz_frames(XYZ_BYTES), None, []),
    ("format xdatcar frames", lambda: buffers.format_xdatcar_frames(STACK, INDEX), None, [STACK, INDEX]),
    ("format xdatcar frames two columns", lambda: buffers.format_xdatcar_frames(STACK[:, :, :2]), BuffersInternalError, []),
    ("format xyz frames", lambda: buffers.format_xyz_frames(["a", "b"], SYMBOLS, COORD, [N - 1, 1]), None,
     [SYMBOLS, COORD]),
    ("format xyz frames counts", lambda: buffers.format_xyz_frames(["a"], SYMBOLS, COORD, [N - 1]), ValueError,
     [SYMBOLS, COORD]),
    ("scan lammps dump", lambda: buffers.scan_lammps_dump(DUMP_BYTES), None, [DUMP_BYTES]),
    ("scan lammps dump cut", lambda: buffers.scan_lammps_dump(DUMP_BYTES[:-40]), None, []),
    ("scan lammps dump bad", lambda: buffers.scan_lammps_dump(DUMP_BAD_BYTES), ValueError, []),
    ("read lammps dump", lambda: buffers.read_lammps_dump_frames(DUMP_BYTES, threads=2), None, [DUMP_BYTES]),
    ("read lammps dump bad", lambda: buffers.read_lammps_dump_frames(DUMP_BAD_BYTES), ValueError, []),
    ("format lammps dump", lambda: buffers.format_lammps_dump_frames(
        [(7, [("TIME", "0.5")], np.eye(3), np.zeros(3), np.ones(3, bool))], [("id", DUMP_IDS), ("x y z", COORD)], [N]),
     None, [DUMP_IDS, COORD]),
    ("format lammps dump names", lambda: buffers.format_lammps_dump_frames(
        [(7, [], np.eye(3), np.zeros(3), np.ones(3, bool))], [("x y", COORD)], [N]), ValueError, [COORD]),
]


def run(call, raises, rounds):
    for _ in range(rounds):
        try:
            call()
        except BaseException as error:  # noqa: BLE001
            if raises is None or not isinstance(error, raises):
                raise
        else:
            assert raises is None, f"no {raises.__name__}"


def watched(inputs):
    return [o for i in inputs for o in [i, *(i if isinstance(i, (list, tuple)) else [])]]


@pytest.mark.parametrize("call, raises, inputs", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_no_references_or_objects_left_behind(call, raises, inputs):
    objects = watched(inputs)
    before = [sys.getrefcount(o) for o in objects]
    run(call, raises, 100)
    gc.collect()
    tracemalloc.start()
    try:
        start, _ = tracemalloc.get_traced_memory()
        run(call, raises, ROUNDS)
        gc.collect()
        end, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in objects] == before
    assert end - start < 64 * 1024


@needs_proc
@sanitized
def test_resident_size_stays_flat():
    for _, call, raises, _ in CASES:
        run(call, raises, 100)
    gc.collect()
    start = resident_bytes()
    grown = []
    for name, call, raises, _ in CASES:
        run(call, raises, ROUNDS)
        gc.collect()
        grown.append((name, resident_bytes() - start))
    assert [g for g in grown if g[1] > 4 * 2**20] == []


def references(elsewhere):
    """What sys.getrefcount reports for an object held by one local name and
    `elsewhere` other references. What the call itself adds differs between
    interpreters (3.13 counts the argument, 3.14 does not count a local passed
    to it), so the results are held to this, measured the same way."""
    control = object()
    holders = [control] * elsewhere  # noqa: F841 - the references being counted
    return sys.getrefcount(control)


def test_results_hold_exactly_their_references():
    positions, flags = P(POSCAR, True)
    assert sys.getrefcount(positions) == sys.getrefcount(flags) == references(0)
    holders = [positions.base, flags.base]
    for holder in holders:  # held by its array, the list and the loop name
        assert sys.getrefcount(holder) == references(2)
    del positions, flags, holder
    for holder in holders:  # the arrays have let go: the list and the loop name
        assert sys.getrefcount(holder) == references(1)
    pair = YP(XYZ)
    symbols, array = pair
    assert sys.getrefcount(pair) == references(0) and sys.getrefcount(symbols) == references(1)
    slots = Counter(map(id, symbols))  # equal symbols share one str, held by its slots alone
    assert len(slots) == 3
    for symbol in symbols:
        assert sys.getrefcount(symbol) == references(slots[id(symbol)])
    for text in (FP(COORD, FLAGS), FX(COORD, 3), FY(SYMBOLS, COORD)):
        assert sys.getrefcount(text) == references(1)  # the loop name and the tuple


@needs_proc
@sanitized
@pytest.mark.parametrize("make", [
    lambda: XP(POSCAR * 20), lambda: P(POSCAR * 20, True), lambda: YP(XYZ * 20), lambda: FX(np.zeros((6000, 3)), 1),
], ids=["positions", "positions and flags", "symbols and positions", "text"])
def test_dropped_results_give_their_memory_back(make):
    make()
    gc.collect()
    start = resident_bytes()
    for _ in range(ROUNDS):
        make()
    gc.collect()
    assert resident_bytes() - start < 16 * 2**20  # a thousand leaked results would keep over 100 MB
