"""Reading on threads: the interpreter lock is given up while the routines
of _io_rs_buffers run, and a reader's result, or its first failure in file
order, does not depend on how many threads read."""

import os
import threading
import time

import numpy as np
import pytest

import _io_rs_buffers as b
import io_rs

RNG = np.random.default_rng(7)
NATOMS, FRAMES = 40, 900


def coordinate_lines(n, prefix=""):
    rows = (RNG.standard_normal((n, 3)) * 10).tolist()
    return "".join(f"{prefix}{x:22.15f}{y:22.15f}{z:22.15f}\n" for x, y, z in rows)


BLOCK = coordinate_lines(30_000).encode()
XYZ_ONE = (b"30000\nbig\n" + BLOCK.replace(b"\n ", b"\nFe ")).replace(b"big\n ", b"big\nFe ")
XYZ_MANY = "".join(f"{NATOMS}\nframe {k}\n" + coordinate_lines(NATOMS, "H ") for k in range(FRAMES)).encode()
XDATCAR = "".join(f"Direct configuration= {k + 1}\n" + coordinate_lines(NATOMS) for k in range(FRAMES)).encode()


def spoiled(data, fraction, old, new):
    """data with the first `old` after fraction of it replaced by `new`."""
    at = data.index(old, int(len(data) * fraction))
    return data[:at] + new + data[at + len(old):]


READS = {
    "poscar": lambda data, threads: b.read_poscar_block(data, 0, 30_000, False, threads=threads),
    "xyz": lambda data, threads: b.read_xyz_frames(data, threads=threads),
    "xdatcar": lambda data, threads: b.read_xdatcar_frames(data, 0, NATOMS, threads=threads),
    "xdatcar 77": lambda data, threads: b.read_xdatcar_frames(data, 0, NATOMS, 77, threads=threads),
}


@pytest.mark.parametrize("read, data", [
    ("poscar", BLOCK),
    ("poscar", spoiled(BLOCK, 0.8, b".", b"x")),                       # a bad field late
    ("poscar", spoiled(spoiled(BLOCK, 0.8, b".", b"x"), 0.3, b".", b"y")),  # two: the first wins
    ("poscar", BLOCK[:len(BLOCK) // 2]),                               # cut short
    ("xyz", XYZ_ONE),
    ("xyz", spoiled(XYZ_ONE, 0.6, b"\n", b"\n\n")),                    # an empty atom line
    ("xyz", XYZ_ONE[:-1000]),
    ("xyz", XYZ_MANY),
    ("xyz", spoiled(XYZ_MANY, 0.5, b"\n40\n", b"\n40x\n")),            # stops before a line that is no count
    ("xyz", spoiled(spoiled(XYZ_MANY, 0.9, b"H ", b"H\xff "), 0.7, b".", b"e")),
    ("xyz", XYZ_MANY[:-500]),
    ("xdatcar", XDATCAR),
    ("xdatcar 77", XDATCAR),
    ("xdatcar", spoiled(XDATCAR, 0.5, b"= ", b"= x")),
    ("xdatcar", spoiled(XDATCAR[:-300], 0.95, b".", b"z")),           # a bad field before the cut
    ("xdatcar", XDATCAR[:-300]),
])
def test_results_and_failures_do_not_depend_on_threads(read, data):
    outcomes = []
    for threads in (1, 2, 3, 8):
        try:
            result = READS[read](data, threads)
            outcomes.append([part.tolist() if isinstance(part, np.ndarray) else part for part in result])
        except ValueError as error:
            outcomes.append((str(error), error.line, error.byte, error.frame))
    assert all(outcome == outcomes[0] for outcome in outcomes[1:])


def test_other_python_threads_run_during_a_read():
    """A thread that wakes from a short sleep while a long read runs gets the
    interpreter lock at once, not when the read returns."""
    data = b"3000000\nc\n" + b"Fe 1.0 2.0 3.0\n" * 3_000_000
    woke = []
    sleeper = threading.Thread(target=lambda: (time.sleep(0.02), woke.append(time.perf_counter())))
    sleeper.start()
    start = time.perf_counter()
    b.read_xyz_frames(data)
    end = time.perf_counter()
    sleeper.join()
    assert end - woke[0] > (end - start) / 2


@pytest.mark.parametrize("setting, threads", [("", len(os.sched_getaffinity(0))), ("3", 3), (" 1 ", 1),
                                              ("0", ValueError), ("x", ValueError)])
def test_threads_default_from_the_environment(monkeypatch, tmp_path, setting, threads):
    monkeypatch.setenv("IO_RS_NUM_THREADS", setting)
    if threads is ValueError:
        with pytest.raises(ValueError, match="IO_RS_NUM_THREADS|threads"):
            io_rs._files.resolve_threads(None)
        return
    assert io_rs._files.resolve_threads(None) == threads
    path = tmp_path / "many.xyz"
    path.write_bytes(XYZ_MANY)
    one, default = io_rs.read_xyz(path, threads=1), io_rs.read_xyz(path)
    assert all(a.symbols == d.symbols and np.array_equal(a.positions, d.positions) for a, d in zip(one, default))
