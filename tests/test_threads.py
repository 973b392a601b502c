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


BLOCK = coordinate_lines(33_000).encode()
XYZ_ONE = (b"33000\nbig\n" + BLOCK.replace(b"\n ", b"\nFe ")).replace(b"big\n ", b"big\nFe ")
XYZ_MANY = "".join(f"{NATOMS}\nframe {k}\n" + coordinate_lines(NATOMS, "H ") for k in range(FRAMES)).encode()
XDATCAR = "".join(f"Direct configuration= {k + 1}\n" + coordinate_lines(NATOMS) for k in range(FRAMES)).encode()

SCHEMA = "Properties=species:S:1:pos:R:3:forces:R:3:tag:I:1:fixed:L:1"
EXTXYZ_ONE = (f"33000\n{SCHEMA} energy=-1.5\n".encode()
              + b"".join(f"{'HOFe'[k % 3] if k % 3 < 2 else 'Fe'} ".encode() + row + f" {k} {'TF'[k % 2]}\n".encode()
                         for k, row in enumerate(coordinate_lines(33_000, "1.0 2.0 3.0").encode().splitlines())))
# A string column two fields wide: its texts are joined from the threads'
# lists two a row.
EXTXYZ_WIDE = "".join(f"{NATOMS}\nProperties=species:S:1:pos:R:3:label:S:2 step={k}\n"
                      + coordinate_lines(NATOMS, "C").replace("\n", f" a{k} b\n") for k in range(FRAMES)).encode()
EXTXYZ_MANY = "".join(f"{NATOMS}\n{SCHEMA} step={k}\n" + coordinate_lines(NATOMS, "C 1 2 3").replace("\n", " 7 T\n")
                      for k in range(FRAMES)).encode()


def spoiled(data, fraction, old, new):
    """data with the first `old` after fraction of it replaced by `new`."""
    at = data.index(old, int(len(data) * fraction))
    return data[:at] + new + data[at + len(old):]


READS = {
    "poscar": lambda data, threads: b.read_poscar_block(data, 0, 33_000, False, threads=threads),
    "xyz": lambda data, threads: b.read_xyz_frames(data, threads=threads),
    "xdatcar": lambda data, threads: b.read_xdatcar_frames(data, 0, NATOMS, threads=threads),
    "xdatcar 77": lambda data, threads: b.read_xdatcar_frames(data, 0, NATOMS, 77, threads=threads),
    "xdatcar one": lambda data, threads: b.read_xdatcar_frames(data, 0, 33_000, threads=threads),
    "extxyz": lambda data, threads: b.read_extxyz_frames(data, threads=threads),
    "extxyz 77": lambda data, threads: b.read_extxyz_frames(data, 0, 77, (0, 1, 5), threads=threads),
    "extxyz 0": lambda data, threads: b.read_extxyz_frames(data, 0, 0, threads=threads),
}


def plain(value):
    """A reader's result with its arrays as (dtype, nested lists), for ==."""
    if isinstance(value, np.ndarray):
        return value.dtype.str, value.tolist()
    if isinstance(value, (list, tuple)):
        return [plain(item) for item in value]
    return {key: plain(item) for key, item in value.items()} if isinstance(value, dict) else value


@pytest.mark.parametrize("read, data", [
    ("poscar", BLOCK),
    ("poscar", spoiled(BLOCK, 0.8, b".", b"x")),                       # a bad field late
    ("poscar", spoiled(spoiled(BLOCK, 0.8, b".", b"x"), 0.3, b".", b"y")),  # two: the first wins
    ("poscar", BLOCK[:len(BLOCK) // 2]),                               # cut short
    ("poscar", spoiled(BLOCK[:len(BLOCK) // 2], 0.1, b".", b"x")),    # a bad field, then cut short
    ("xyz", XYZ_ONE),
    ("xyz", spoiled(XYZ_ONE, 0.6, b"\n", b"\n\n")),                    # an empty atom line
    ("xyz", XYZ_ONE[:-1000]),
    ("xyz", XYZ_ONE + b"1\nsmall\nH 1 2 3\n"),                          # one large frame, then a small one
    ("xyz", XYZ_MANY),
    ("xyz", spoiled(XYZ_MANY, 0.5, b"\n40\n", b"\n40x\n")),            # stops before a line that is no count
    ("xyz", spoiled(spoiled(XYZ_MANY, 0.9, b"H ", b"H\xff "), 0.7, b".", b"x")),  # two: the first wins
    ("xyz", XYZ_MANY[:-500]),
    ("xdatcar", XDATCAR),
    ("xdatcar 77", XDATCAR),
    ("xdatcar", spoiled(XDATCAR, 0.5, b"= ", b"= x")),
    ("xdatcar", spoiled(XDATCAR[:-300], 0.95, b".", b"z")),           # a bad field before the cut
    ("xdatcar", XDATCAR[:-300]),
    ("xdatcar one", spoiled(b"Direct configuration= 1\n" + BLOCK, 0.7, b".", b"x")),  # one frame cut for threads
    # A last line without LF so long that it holds the middle of the range:
    # the part it starts in reads it, the part after it nothing.
    ("poscar", b"".join(BLOCK.splitlines(True)[:-1]) + b"1 2 3" + b" " * 2_200_000),
    ("xyz", b"3\nc\nO 1 2 3\nH 1 2 3" + b" " * 300_000),
    ("extxyz", EXTXYZ_ONE),
    ("extxyz", spoiled(EXTXYZ_ONE, 0.6, b" T\n", b" Q\n")),           # a bad logical
    ("extxyz", spoiled(spoiled(EXTXYZ_ONE, 0.9, b"\nO ", b"\nO\xff "), 0.4, b" 1", b" 1 1")),
    ("extxyz", EXTXYZ_ONE[:-1000] + b"x\n"),                          # cut short after a bad field
    ("extxyz", EXTXYZ_ONE + f"1\n{SCHEMA}\nFe 1 2 3 4 5 6 7 T\n".encode()),  # one large frame, then a small one
    ("extxyz", EXTXYZ_MANY),
    ("extxyz 77", EXTXYZ_MANY),
    ("extxyz 0", EXTXYZ_MANY),
    ("extxyz", EXTXYZ_MANY + b"\n \n\n"),                            # blank lines end the file
    ("extxyz", spoiled(EXTXYZ_MANY, 0.5, b"R:3:tag", b"R:2:tag")),     # another schema: the run stops
    ("extxyz", spoiled(EXTXYZ_MANY, 0.5, b"step=", b'step="')),         # a comment line that cannot be read
    ("extxyz", spoiled(spoiled(EXTXYZ_MANY, 0.5, b"\n40\n", b"\n\n40\n"), 0.3, b" 7 ", b" 7.5 ")),
    ("extxyz", EXTXYZ_MANY[:-500]),
    ("extxyz", EXTXYZ_WIDE),
    # Properties spelt alike where the pass looks (a value quoting it first),
    # another schema where the parser reads it: the run stops all the same.
    ("extxyz", spoiled(EXTXYZ_MANY.replace(b"\nProperties=", b'\nnote="Properties=x" Properties='), 0.5,
                       b"R:3:tag", b"R:2:tag")),
    ("extxyz", spoiled(EXTXYZ_WIDE, 0.5, b"label:S:2", b"label:S:1")),  # the run stops: the rows kept, two texts each
    # Comments are parsed on the threads: another schema, then a bad atom line
    # and a bad count line (neither counts); a frame without atoms whose
    # comment fails, before a bad atom line; a longer symbol past a new schema.
    ("extxyz", spoiled(spoiled(spoiled(EXTXYZ_MANY, 0.8, b"\n40\n", b"\n4x\n"), 0.6, b" 7 ", b" 7.5 "), 0.3,
                       b"R:3:tag", b"R:2:tag")),
    ("extxyz", spoiled(spoiled(EXTXYZ_MANY, 0.7, b" 7 ", b" 7.5 "), 0.4, b"\n40\n", b'\n0\nstep="\n40\n')),
    ("extxyz", spoiled(spoiled(EXTXYZ_MANY, 0.7, b"\nC ", b"\nCalcium "), 0.4, b":I:1", b":R:1")),
    ("extxyz", b"".join(b"0\nstep=%d\n" % k for k in range(3000)) + EXTXYZ_MANY),
    # Frames of one atom first: the rows the first of them promise are too few.
    ("extxyz", b"".join(b"1\nstep=%d\nC 1 2 3 %f %f %f 7 T\n" % (k, k, k, k) for k in range(3000)) + EXTXYZ_MANY),
])
def test_results_and_failures_do_not_depend_on_threads(read, data):
    outcomes = []
    for threads in (1, 2, 3, 8):
        try:
            result = READS[read](data, threads)
            outcomes.append(plain(result))
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


def test_python_threads_reading_at_once_share_the_workers():
    """Calls from several Python threads at once: one has the kept workers,
    the others start threads of their own; every result is whole."""
    expected = plain(READS["xyz"](XYZ_MANY, 1))
    outcomes = []

    def read_often():
        outcomes.extend(plain(READS["xyz"](XYZ_MANY, 3)) == expected for _ in range(20))

    readers = [threading.Thread(target=read_often) for _ in range(4)]
    for reader in readers:
        reader.start()
    for reader in readers:
        reader.join()
    assert outcomes == [True] * 80


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork here")
def test_a_forked_child_reads_on_threads_of_its_own():
    """The workers kept by the parent do not exist in a child of fork: a read
    on threads there must start its own, not wait for the parent's."""
    expected = plain(READS["extxyz"](EXTXYZ_MANY, 2))
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads running
        pid = os.fork()
    if pid == 0:
        os._exit(0 if plain(READS["extxyz"](EXTXYZ_MANY, 2)) == expected else 1)
    deadline = time.monotonic() + 30
    while (done := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
        time.sleep(0.01)
    if done[0] == 0:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
    assert done[0] == pid and os.waitstatus_to_exitcode(done[1]) == 0


def test_frames_read_while_another_python_thread_runs():
    """The info dicts of extended XYZ frames are made while the other threads
    read, the interpreter lock taken back between stages; with a busy Python
    thread holding it, the rest are made after the call: either way whole."""
    expected = plain(READS["extxyz"](EXTXYZ_MANY, 1))
    stop = threading.Event()
    busy = threading.Thread(target=lambda: [None for _ in iter(stop.is_set, True)])
    busy.start()
    try:
        outcomes = [plain(READS["extxyz"](EXTXYZ_MANY, 2)) == expected for _ in range(5)]
    finally:
        stop.set()
        busy.join()
    assert outcomes == [True] * 5


# One frame (or a small block) read from the head of a buffer whose tail,
# 64 MB from a page after the head, may be neither read nor paid for: the
# child maps the buffer with that tail unreadable (touching it kills the
# child) and prints the growth of its peak address space over the call.
BEYOND_THE_HEAD = """
import ctypes, mmap
import _io_rs_buffers as b
head = open({path!r}, "rb").read()
readable = -(-len(head) // mmap.PAGESIZE) * mmap.PAGESIZE + mmap.PAGESIZE
size = readable + (64 << 20)
buffer = mmap.mmap(-1, size)
buffer[:len(head)] = head
address = ctypes.addressof(ctypes.c_char.from_buffer(buffer))
assert ctypes.CDLL(None).mprotect(ctypes.c_void_p(address + readable), ctypes.c_size_t(size - readable), 0) == 0

def peak():
    return int(next(line for line in open("/proc/self/status") if line.startswith("VmPeak")).split()[1]) * 1024

read = {read}
read(memoryview(head))  # the workers started, their memory arenas made
before = peak()
result = read(buffer)
print(peak() - before)
"""

HEAD_READS = {
    "xyz": (XYZ_MANY, "lambda data: b.read_xyz_frames(data, 0, 1, threads=2)"),
    "extxyz": (EXTXYZ_MANY, "lambda data: b.read_extxyz_frames(data, 0, 1, threads=2)"),
    "extxyz 300": (EXTXYZ_MANY, "lambda data: b.read_extxyz_frames(data, 0, 300, threads=2)"),
    "xdatcar": (XDATCAR, f"lambda data: b.read_xdatcar_frames(data, 0, {NATOMS}, 1, threads=2)"),
    "poscar small": (BLOCK, "lambda data: b.read_poscar_block(data, 0, 40, False, threads=2)"),
    # A block worth threads, with as much again of other lines after it.
    "poscar": (BLOCK, "lambda data: b.read_poscar_block(data, 0, 11_000, False, threads=2)"),
}


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs mprotect and /proc (Linux)")
@pytest.mark.parametrize("name", list(HEAD_READS))
def test_a_few_frames_of_a_large_buffer_cost_only_their_bytes(tmp_path, run_python, name):
    head, read = HEAD_READS[name]
    path = tmp_path / "head"
    path.write_bytes(head)
    # One memory arena for every thread: a worker's first allocation would
    # otherwise reserve an arena of its own, tens of MB of address space.
    done = run_python(BEYOND_THE_HEAD.replace("{path!r}", repr(str(path))).replace("{read}", read),
                      env={"MALLOC_ARENA_MAX": "1"})
    assert done.returncode == 0, done.stderr[-2000:]  # -11: the tail was read
    assert int(done.stdout) < 4 << 20  # far less than room for the rows of the 64 MB tail


def frames_text(rng, sizes, kind):
    """A trajectory of frames of the given atom counts: XYZ or extended XYZ."""
    parts = []
    for k, n in enumerate(sizes):
        comment = f"Properties=species:S:1:pos:R:3 energy={k / 3}" if kind == "extxyz" else f"frame {k}"
        parts.append(f"{n}\n{comment}\n" + coordinate_lines(n, "O "))
    return "".join(parts).encode()


@pytest.mark.parametrize("kind", ["xyz", "extxyz", "xdatcar"])
@pytest.mark.parametrize("suffix", ["", ".gz"])
def test_iteration_on_threads_is_iteration_on_one(tmp_path, kind, suffix):
    """Every frame of iter_* and io_rs.iread, and of open_* gone through,
    equal on 1, 2 and 3 threads: frames of many sizes, one of them large
    enough to be cut into ranges, in chunks and windows of the package."""
    rng = np.random.default_rng(11)
    sizes = [int(n) for n in rng.integers(1, 300, 200)]
    sizes[150] = 3000
    if kind == "xdatcar":
        header = "t\n1.0\n 9 0 0\n 0 9 0\n 0 0 9\nO\n3000\n"
        body = "".join(f"Direct configuration= {k + 1}\n" + coordinate_lines(3000) for k in range(30))
        data, name = (header + body).encode(), "XDATCAR"
    else:
        data, name = frames_text(rng, sizes, kind), f"many.{kind}"
    path = tmp_path / (name + suffix)
    if suffix:
        import gzip
        path.write_bytes(gzip.compress(data, compresslevel=1))
    else:
        path.write_bytes(data)
    iterate = {"xyz": io_rs.iter_xyz, "extxyz": io_rs.iter_extxyz, "xdatcar": io_rs.iter_xdatcar}[kind]
    opened = {"xyz": io_rs.open_xyz, "extxyz": io_rs.open_extxyz, "xdatcar": io_rs.open_xdatcar}[kind]

    def everything(threads):
        with opened(path, threads=threads) as f:
            return (list(iterate(path, threads=threads)), list(io_rs.iread(path, threads=threads)), list(f),
                    list(io_rs.open(path, threads=threads)))

    one = everything(1)
    assert len(one[0]) == len(one[1]) == len(one[2]) == len(one[3]) > 1
    # Frames by index in and out of file order (a compressed file's stream
    # kept going forward, started again backward): those gone through.
    count = len(one[0])
    with opened(path, threads=2) as f:
        for k in (count - 1, 0, 1, 2, count // 2, count // 2 + 1, 3):
            assert same_frame(f[k], one[0][k])
    for threads in (2, 3):
        for ours, theirs in zip(everything(threads), one):
            assert all(same_frame(a, b) for a, b in zip(ours, theirs))


def same_frame(a, b):
    """Frames of a format, or io_rs.Frames, equal in every part."""
    if isinstance(a, io_rs.Frame):
        return a == b
    for name in a.__slots__:
        x, y = getattr(a, name), getattr(b, name)
        if isinstance(x, dict):
            if x.keys() != y.keys() or not all(np.array_equal(x[key], y[key]) for key in x):
                return False
        elif not np.array_equal(x, y) if isinstance(x, np.ndarray) else x != y:
            return False
    return True


def formatting_call(rng, frames=3000, large=40_000):
    """The arguments of format_extxyz_frames: many small frames, one large."""
    counts = [int(n) for n in rng.integers(0, 30, frames)]
    counts[frames // 2] = large
    total = sum(counts)
    columns = [("species", rng.choice(np.array(["H", "Fe", "O"]), total)), ("pos", rng.normal(0, 30, (total, 3))),
               ("id", np.arange(total, dtype=np.int64)), ("fixed", rng.integers(0, 2, total).astype(bool))]
    infos = [{"energy": float(k) / 7, "step": k} for k in range(frames)]
    cells = [np.eye(3) * (1 + k % 3) if k % 2 else None for k in range(frames)]
    pbcs = [np.array([k % 2 == 1] * 3) for k in range(frames)]
    return [infos, columns, counts, cells, pbcs]


def formatted(call, threads, decimals=None, function=b.format_extxyz_frames):
    """The text, or the error and the text handed on before it."""
    pieces = []
    try:
        function(*call, decimals, write=pieces.append, threads=threads)
    except (ValueError, TypeError) as error:
        return type(error).__name__, str(error), b"".join(pieces)
    return b"".join(pieces)


def assert_as_on_one_thread(call, one, whole, where, function=b.format_extxyz_frames):
    """On 2 and 3 threads: the text, or the failure and a beginning of the
    whole text before it, as on one; and with decimals too."""
    for threads in (2, 3):
        theirs = formatted(call, threads, function=function)
        assert (theirs[:2] if where else theirs) == (one[:2] if where else one)
        if where:
            assert whole.startswith(theirs[2])
    assert formatted(call, 3, 8, function) == formatted(call, 1, 8, function)


def spoiled_call(call, where):
    """A copy of the call with faults at the frames named: 'row' a species
    of two fields, 'value' an info real that cannot be written, 'type' an
    info value of no type of the format."""
    infos, columns, counts, cells, pbcs = call
    infos = [dict(info) for info in infos]
    species = columns[0][1].copy()
    starts = np.concatenate([[0], np.cumsum(counts)])
    for frame, fault in where.items():
        if fault == "row":
            species[starts[frame] + counts[frame] - 1] = "F e"
        else:
            infos[frame]["bad"] = float("nan") if fault == "value" else {"a": 1}
    return [infos, [("species", species), *columns[1:]], counts, cells, pbcs]


@pytest.mark.parametrize("where", [{}, {400: "row", 700: "value"}, {300: "value", 900: "row"},
                                   {500: "row", 800: "type"}, {200: "type", 1200: "row"}, {1500: "row"}])
def test_frames_formatted_on_threads_are_those_formatted_on_one(where):
    """The text of format_extxyz_frames, and on bad frames the first failure
    in frame order and the text handed on before it, on 1, 2 and 3 threads."""
    rng = np.random.default_rng(3)
    call = spoiled_call(formatting_call(rng), where)
    one = formatted(call, 1)
    whole = formatted(formatting_call(np.random.default_rng(3)), 1)
    if where:
        first = where[min(where)]
        assert one[0] == ("TypeError" if first == "type" else "ValueError")
        assert ("species" if first == "row" else "bad") in one[1] and whole.startswith(one[2])
    else:
        assert one == whole
    assert_as_on_one_thread(call, one, whole, where)


def dump_formatting_call(rng, frames=3000, large=40_000):
    """The arguments of format_lammps_dump_frames: many small frames (some
    of no atoms), one large, cut into pieces of rows."""
    counts = [int(n) for n in rng.integers(0, 30, frames)]
    counts[frames // 2] = large
    total = sum(counts)
    columns = [("id", np.arange(1, total + 1, dtype=np.int64)), ("element", rng.choice(np.array(["H", "Fe", "O"]), total)),
               ("x y z", rng.normal(0, 30, (total, 3))), ("q", rng.normal(0, 1, total))]
    tilted = np.array([[10.0, 0, 0], [1.5, 9.0, 0], [-0.5, 2.0, 8.0]])
    heads = [(100 * k, [("UNITS", "metal")] if k % 5 == 0 else [], tilted if k % 2 else np.eye(3) * (1 + k % 3),
              np.full(3, -0.25 * (k % 4)), np.array([k % 3 != 0] * 3)) for k in range(frames)]
    return [heads, columns, counts]


def spoiled_dump_call(call, where):
    """A copy of the call with faults at the frames named: 'row' an element
    of two fields, 'section' a section name the format keeps for itself,
    'head' a head whose timestep is no whole number."""
    heads, columns, counts = call
    heads = list(heads)
    elements = columns[1][1].copy()
    starts = np.concatenate([[0], np.cumsum(counts)])
    for frame, fault in where.items():
        if fault == "row":
            elements[starts[frame] + counts[frame] - 1] = "F e"
        elif fault == "section":
            heads[frame] = (heads[frame][0], [("ATOMS x", "")], *heads[frame][2:])
        else:
            heads[frame] = ("step", *heads[frame][1:])
    return [heads, [columns[0], ("element", elements), *columns[2:]], counts]


@pytest.mark.parametrize("where", [{}, {400: "row", 700: "section"}, {300: "section", 900: "row"},
                                   {500: "row", 800: "head"}, {200: "head", 1200: "row"}, {1500: "row"}])
def test_dump_frames_formatted_on_threads_are_those_formatted_on_one(where):
    """The text of format_lammps_dump_frames, and on bad frames the first
    failure in frame order and the text handed on before it, on 1, 2 and 3
    threads, to a writer and as bytes."""
    rng = np.random.default_rng(3)
    call = spoiled_dump_call(dump_formatting_call(rng), where)
    one = formatted(call, 1, function=b.format_lammps_dump_frames)
    whole = formatted(dump_formatting_call(np.random.default_rng(3)), 1, function=b.format_lammps_dump_frames)
    if where:
        first = where[min(where)]
        assert one[0] == ("TypeError" if first == "head" else "ValueError")
        assert {"row": "element", "section": "ATOMS x", "head": "integer"}[first] in one[1]
        assert whole.startswith(one[2])
    else:
        assert one == whole == b.format_lammps_dump_frames(*call, threads=3)
    assert_as_on_one_thread(call, one, whole, where, b.format_lammps_dump_frames)


@pytest.mark.parametrize("threads", [1, 2, 3])
@pytest.mark.parametrize("fails_at", [1, 2, 4])
@pytest.mark.parametrize("function", [b.format_extxyz_frames, b.format_lammps_dump_frames])
def test_a_write_that_fails_ends_the_writing(function, fails_at, threads):
    """Text is handed on while the next is formatted: a write that raises is
    the error, after the text before it and with no write after it."""
    make = formatting_call if function is b.format_extxyz_frames else dump_formatting_call
    call = make(np.random.default_rng(5))
    whole = function(*call, None)
    pieces: list[bytes] = []

    def write(piece: bytes) -> None:
        if len(pieces) + 1 == fails_at:
            pieces.append(b"")
            raise OSError("disk full")
        assert not pieces or pieces[-1], "a write after the one that failed"
        pieces.append(piece)

    with pytest.raises(OSError, match="disk full"):
        function(*call, None, write=write, threads=threads)
    assert len(pieces) == fails_at and whole.startswith(b"".join(pieces))
