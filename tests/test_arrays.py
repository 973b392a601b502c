"""The arrays the parsers return: their layout and flags, their holder base,
ownership of the memory, and that it is given back when they die."""

import gc
import os
import sys

import numpy as np
import pytest

import _io_rs

LINES = ["0.0 0.5 0.25 F T F", "1 2 3 T T F"]

# Each entry parses the lines and returns one of the resulting arrays.
PRODUCERS = {
    "xdatcar": lambda lines: _io_rs.parse_xdatcar_coords_rs(lines),
    "poscar positions": lambda lines: _io_rs.parse_poscar_positions_rs(lines, True)[0],
    "poscar flags": lambda lines: _io_rs.parse_poscar_positions_rs(lines, True)[1],
    "poscar plain": lambda lines: _io_rs.parse_poscar_positions_rs(lines, False)[0],
    "xyz": lambda lines: _io_rs.parse_xyz_block_rs(["H " + line for line in lines])[1],
}
DTYPES = {"poscar flags": np.bool_}
producer = pytest.mark.parametrize("name, make", PRODUCERS.items(), ids=PRODUCERS)


def item_size(name):
    return 1 if name == "poscar flags" else 8


@producer
@pytest.mark.parametrize("count", [0, 1, 2, 50])
def test_layout(name, make, count):
    lines = (LINES * 25)[:count]
    array = make(lines)
    assert type(array) is np.ndarray
    assert array.dtype == DTYPES.get(name, np.float64) and array.dtype.isnative
    assert array.shape == (count, 3)
    flags = array.flags
    assert flags.c_contiguous and flags.writeable and flags.aligned
    assert not flags.owndata
    size = item_size(name)
    assert array.strides == ((3 * size, size) if count else (0, 0))


@producer
def test_base_is_the_holder(name, make):
    base = make(LINES).base
    holder = type(base)
    assert holder.__name__ == "PySliceContainer"
    assert holder.__module__ == "builtins"
    assert not isinstance(base, np.ndarray)
    # One holder type for the whole process, one holder per array.
    other = _io_rs.parse_xdatcar_coords_rs(LINES).base
    assert type(other) is holder and other is not base


@producer
def test_writing_into_the_result(name, make):
    array = make(LINES)
    value = True if name == "poscar flags" else 42.5
    array[1, 1] = value
    array[0] = array[1]
    assert array[0, 1] == value and array[1, 1] == value
    assert make(LINES)[1, 1] != value  # a fresh parse is not affected


@producer
def test_results_never_share_memory(name, make):
    first, second = make(LINES), make(LINES)
    assert not np.shares_memory(first, second)


def test_positions_and_flags_are_separate():
    positions, flags = _io_rs.parse_poscar_positions_rs(LINES, True)
    assert not np.shares_memory(positions, flags)
    assert positions.base is not flags.base


@producer
def test_array_holds_exactly_one_reference_to_its_holder(name, make):
    array = make(LINES)
    base = array.base
    before = sys.getrefcount(base)
    del array
    gc.collect()
    assert sys.getrefcount(base) == before - 1


def test_view_keeps_the_memory_alive():
    view = _io_rs.parse_xdatcar_coords_rs(["1 2 3", "4 5 6"])[1:]
    gc.collect()
    # Fresh allocations would likely reuse the memory if it had been freed.
    noise = [_io_rs.parse_xdatcar_coords_rs(["7 7 7", "7 7 7"]) for _ in range(100)]
    assert view.tolist() == [[4.0, 5.0, 6.0]]
    del noise


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


ROWS = 200_000  # 4.8 MB of positions per parse
BIG = ["0.125 0.25 0.5 F F T"] * ROWS
BIG_XYZ = ["H 0.125 0.25 0.5"] * ROWS
ROUNDS = 25
# A leak would keep ROUNDS x 4.8 MB = 120 MB; allow some noise.
LIMIT = 50 * 2**20
needs_proc = pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")


@needs_proc
@pytest.mark.parametrize("call", [
    lambda: _io_rs.parse_xdatcar_coords_rs(BIG),
    lambda: _io_rs.parse_poscar_positions_rs(BIG, True),
    lambda: _io_rs.parse_xyz_block_rs(BIG_XYZ),
], ids=["xdatcar", "poscar", "xyz"])
def test_dead_arrays_give_their_memory_back(call):
    call()  # warm up allocator and NumPy
    start = resident_bytes()
    for _ in range(ROUNDS):
        result = call()
        del result
    assert resident_bytes() - start < LIMIT


BAD_LAST = {
    "xdatcar": lambda: _io_rs.parse_xdatcar_coords_rs(BIG_BAD),
    "poscar": lambda: _io_rs.parse_poscar_positions_rs(BIG_BAD, True),
    "xyz": lambda: _io_rs.parse_xyz_block_rs(BIG_XYZ_BAD),
}
BIG_BAD = BIG + ["0 0 x"]
BIG_XYZ_BAD = BIG_XYZ + ["H 0 0 x"]


@needs_proc
@pytest.mark.parametrize("call", BAD_LAST.values(), ids=BAD_LAST)
def test_failed_parse_gives_its_buffers_back(call):
    def fail():
        with pytest.raises(ValueError):
            call()

    fail()
    start = resident_bytes()
    for _ in range(ROUNDS):
        fail()
    assert resident_bytes() - start < LIMIT
