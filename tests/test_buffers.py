"""_io_rs_buffers: whole files read from their bytes and whole trajectories
written in one call, held to the six functions of _io_rs on the same
blocks; then what is new: offsets, stopping rules, CR LF, truncation, the
place of a failure in the file, buffers of every kind."""

import inspect
import mmap
import re

import numpy as np
import pytest

import _io_rs
import _io_rs_buffers as b

SUFFIX = re.compile(r" \(line (\d+) of the file, byte (\d+)\)$")


def same(a, c):
    return type(a) is type(c) and (np.array_equal(a, c, equal_nan=a.dtype.kind == "f") and a.shape == c.shape
                                   if isinstance(a, np.ndarray) else a == c)


def outcome(call):
    """The result, or the message of the ValueError without its place in the file."""
    try:
        return call()
    except ValueError as error:
        return SUFFIX.sub("", str(error))


POSCAR_LINES = ["  0.0 0.5\t0.25  F T F", "-1.5e2 +2.25 .75", "nan -inf 1e400 T", "0 0 0 F F F extra"]
XDATCAR_LINES = ["   0.25000000  0.50000000  0.75000000", "\t1 2 3 4", "-0 1e-400 .5"]
XYZ_LINES = ["fe 0 0 0", "  CL\t7 8 9 charge", "\u03a3\u0391\u03a3 1 2 3"]
BAD = {"poscar": ["0 0"], "poscar-sd": ["0 0 0 t"], "xdatcar": ["0 x 0"], "xyz": ["", "H 0"]}


def blocks():
    """(name, lines) for the agreement table: good blocks, then one bad line
    placed last in a good block."""
    good = {"poscar": POSCAR_LINES, "poscar-sd": POSCAR_LINES, "xdatcar": XDATCAR_LINES, "xyz": XYZ_LINES}
    yield from good.items()
    for name, lines in BAD.items():
        for line in lines:
            yield name, good[name] + [line]


@pytest.mark.parametrize("newline", ["\n", "\r\n"])
@pytest.mark.parametrize("name, lines", list(blocks()))
def test_readers_agree_with_the_six_functions(name, lines, newline):
    head = "header line\n"
    data = (head + newline.join(lines) + newline + "rest\n").encode()
    n = len(lines)
    if name.startswith("poscar"):
        selective = name == "poscar-sd"
        want = outcome(lambda: _io_rs.parse_poscar_positions_rs(lines, selective))
        got = outcome(lambda: b.read_poscar_block(data, len(head), n, selective))
        if isinstance(got, tuple):
            got, end = got[:2], got[2]
            assert data[end:] == b"rest\n"
    elif name == "xdatcar":
        want = outcome(lambda: _io_rs.parse_xdatcar_coords_rs(lines))
        frame = f"Direct configuration=     7{newline}".encode()
        got = outcome(lambda: b.read_xdatcar_frames(head.encode() + frame + data[len(head):], len(head), n))
        if isinstance(got, tuple):
            assert got[1].tolist() == [7] and got[0].shape == (1, n, 3)
            got = got[0][0]
    else:
        want = outcome(lambda: _io_rs.parse_xyz_block_rs(lines))
        frame = f"{n}{newline}comment{newline}".encode()
        got = outcome(lambda: b.read_xyz_frames(head.encode() + frame + data[len(head):], len(head)))
        if isinstance(got, tuple):
            assert got[0] == ["comment"] and got[3].tolist() == [n]
            got = (got[1], got[2])
    if isinstance(want, str):
        assert got == want
    else:
        assert all(same(w, g) for w, g in zip(want if isinstance(want, tuple) else (want,),
                                               got if isinstance(got, tuple) else (got,)))


def test_failures_name_the_line_and_byte_of_the_file():
    data = b"a\nb\n0 0 0\n0 bad 0\n"
    with pytest.raises(ValueError) as caught:
        b.read_poscar_block(data, 4, 2, False)
    assert str(caught.value) == ("POSCAR: cannot parse coordinate 'bad' on atom line 1: invalid float literal"
                                 " (line 4 of the file, byte 10)")


XDATCAR = (b"Direct configuration=     1\n 0 0 0\n 0.5 0.5 0.5\n"
           b"Direct configuration=     2\r\n 0.1 0 0\r\n 0.6 0.5 0.5\r\n")
HEADER = b"repeated header\n 1.0\n"


@pytest.mark.parametrize("data, max_frames, numbers, rest", [
    (XDATCAR, None, [1, 2], b""),
    (XDATCAR, 1, [1], XDATCAR[48:]),
    (XDATCAR, 0, [], XDATCAR),
    (XDATCAR + HEADER + XDATCAR, None, [1, 2], HEADER + XDATCAR),  # stops before a repeated header
    (XDATCAR + b"\n \n", None, [1, 2], b"\n \n"),                    # blank lines at the end open nothing
    (b"\n 0 0 0\n 0.5 0.5 0.5\n \n 0.1 0 0\n 0.6 0.5 0.5\n", None, [-1, -1], b""),  # older files
    (b"\n" + XDATCAR, None, [1, 2], b""),                              # blank lines before an opener
])
def test_xdatcar_frames_and_where_they_stop(data, max_frames, numbers, rest):
    frames, read_numbers, end = b.read_xdatcar_frames(data, 0, 2, max_frames)
    assert read_numbers.tolist() == numbers and frames.shape == (len(numbers), 2, 3) and data[end:] == rest
    offsets = b.index_xdatcar_frames(data, 0, 2)
    assert len(offsets) == len(b.read_xdatcar_frames(data, 0, 2)[1])
    for k, offset in enumerate(offsets[:len(numbers)]):  # frame k alone, from its offset
        assert np.array_equal(b.read_xdatcar_frames(data, int(offset), 2, 1)[0][0], frames[k])


XYZ = b"2\nwater\nO 0 0 0.1\nh 1 0 0\n1\r\n\r\nfe 0 0 0\r\n"


@pytest.mark.parametrize("data, max_frames, counts, rest", [
    (XYZ, None, [2, 1], b""),
    (XYZ, 1, [2], XYZ[26:]),
    (XYZ + b"\n\n", None, [2, 1], b"\n\n"),
    (XYZ + b"2 atoms\n", None, [2, 1], b"2 atoms\n"),  # a count line is one field of digits
])
def test_xyz_frames_and_where_they_stop(data, max_frames, counts, rest):
    comments, symbols, positions, read_counts, end = b.read_xyz_frames(data, 0, max_frames)
    assert read_counts.tolist() == counts and data[end:] == rest
    assert comments == ["water", ""][:len(counts)] and symbols == ["O", "H", "Fe"][:sum(counts)]
    assert positions.tolist() == [[0, 0, 0.1], [1, 0, 0], [0, 0, 0]][:sum(counts)]
    offsets = b.index_xyz_frames(data)
    assert offsets.tolist() == [0, 26][:len(b.read_xyz_frames(data)[3])]
    assert b.read_xyz_frames(data, int(offsets[-1]), 1)[1] == ["Fe"]


@pytest.mark.parametrize("call, message", [
    (lambda: b.read_poscar_block(b"x\n0 0 0\n", 2, 3, True), "POSCAR: the block ends after 1 of 3 atom lines"
                                                           " (line 3 of the file, byte 8)"),
    (lambda: b.read_poscar_block(b"\t", 0, 1, True), "POSCAR: not enough fields on atom line 0 (need 3 coordinates)"
                                                   " (line 1 of the file, byte 0)"),
    (lambda: b.read_poscar_block(b"0 0 0", 0, 10**15, True), "POSCAR: the block ends after 1 of 1000000000000000"
                                                           " atom lines (line 1 of the file, byte 5)"),
    (lambda: b.read_xdatcar_frames(XDATCAR[:-14], 0, 2), "XDATCAR: frame 2 ends after 1 of 2 coordinate lines"
                                                        " (line 4 of the file, byte 48)"),
    (lambda: b.index_xdatcar_frames(XDATCAR[:-14], 0, 2), "XDATCAR: frame 2 ends after 1 of 2 coordinate lines"),
    (lambda: b.read_xdatcar_frames(b"x\n\n1 2 3\n", 2, 2), "XDATCAR: the frame ends after 1 of 2 coordinate"
                                                          " lines (line 2 of the file, byte 2)"),
    (lambda: b.read_xdatcar_frames(b"Direct configuration= -1\n", 0, 0),
     "XDATCAR: expected a frame number after 'Direct configuration=', got '-1' (line 1 of the file, byte 0)"),
    (lambda: b.index_xdatcar_frames(b"\nDirect configuration= 9223372036854775808\n", 0, 0),
     "XDATCAR: expected a frame number after 'Direct configuration=', got '9223372036854775808'"
     " (line 2 of the file, byte 1)"),
    (lambda: b.read_xyz_frames(XYZ[:-10]), "XYZ: frame 2 ends after 0 of 1 atom lines (line 5 of the file, byte 26)"),
    (lambda: b.index_xyz_frames(b"3\n"), "XYZ: frame 1 ends before its comment line (line 1 of the file, byte 0)"),
    (lambda: b.read_xyz_frames(b"99999999999999999999\n"), "XYZ: atom count '99999999999999999999' is too large"
                                                          " (line 1 of the file, byte 0)"),
    (lambda: b.read_xyz_frames(b"1\n\xff\nH 0 0 0\n"), "XYZ: the comment line of frame 1 is not UTF-8 text"
                                                      " (line 2 of the file, byte 2)"),
    (lambda: b.read_xyz_frames(b"1\n\n\xc3\x28 0 0 0\n"), "XYZ: the symbol on atom line 0 is not UTF-8 text"
                                                         " (line 3 of the file, byte 3)"),
    (lambda: b.read_xyz_frames(b"1\n", 3), "read_xyz_frames: offset 3 is past the end of the buffer (2 bytes)"),
    (lambda: b.read_poscar_block(b"", 1, 0, False), "read_poscar_block: offset 1 is past the end of the buffer (0 bytes)"),
])
def test_truncation_and_other_failures(call, message):
    with pytest.raises(ValueError) as caught:
        call()
    assert str(caught.value) == message or SUFFIX.sub("", str(caught.value)) == message


@pytest.mark.parametrize("make", [bytes, bytearray, memoryview, lambda d: memoryview(bytearray(d))[:],
                                  lambda d: np.frombuffer(d, np.uint8), "mmap"])
def test_buffers_of_every_kind(make, tmp_path):
    data = b"x\n1 2 3 F\r\n"
    if make == "mmap":
        path = tmp_path / "POSCAR"
        path.write_bytes(data)
        with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
            positions, flags, end = b.read_poscar_block(m, 2, 1, True)
    else:
        positions, flags, end = b.read_poscar_block(make(data), 2, 1, True)
    assert positions.tolist() == [[1, 2, 3]] and flags.tolist() == [[True, False, False]] and end == len(data)


def test_the_buffer_is_released_on_every_path():
    data = bytearray(b"1 2 3\n")
    for call in (lambda: b.read_poscar_block(data, 0, 1, False), lambda: b.read_poscar_block(data, 0, 2, False),
                 lambda: b.read_poscar_block(data, 0, 1, 1), lambda: b.read_poscar_block(data, 0, -1, False)):
        try:
            call()
        except (ValueError, TypeError, OverflowError):
            pass
        data.extend(b"")  # a buffer still exported could not be resized
        data += b"\n"


@pytest.mark.parametrize("value, message", [
    ("1 2 3", "argument 'buffer': a bytes-like object is required, not 'str'"),
    ([b"1 2 3"], "argument 'buffer': a bytes-like object is required, not 'list'"),
])
def test_buffer_refused(value, message):
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        b.read_xyz_frames(value)
    with pytest.raises(BufferError):
        b.read_xyz_frames(memoryview(b"123456")[::2])


def test_writers_agree_with_the_six_functions():
    rng = np.random.default_rng(3)
    frames = rng.uniform(-1, 1, (3, 4, 3))
    frames[1, 2] = [np.nan, -0.0, np.inf]
    text = b.format_xdatcar_frames(frames[:, ::-1], 7)
    assert text == "".join(_io_rs.format_xdatcar_config_rs(f[::-1], 7 + k) for k, f in enumerate(frames)).encode()
    read, numbers, end = b.read_xdatcar_frames(text, 0, 4)
    assert numbers.tolist() == [7, 8, 9] and end == len(text) and read.shape == frames.shape
    assert b.format_xdatcar_frames(np.zeros((0, 5, 3))) == b"" and b.format_xdatcar_frames(np.zeros((2, 0, 2))) \
        == b"Direct configuration=     1\nDirect configuration=     2\n"

    symbols, positions = ["O", "H", "h", "Fe"], rng.uniform(-5, 5, (4, 3))
    text = b.format_xyz_frames(["water", ""], symbols, positions, np.array([3, 1]))
    assert text == ("3\nwater\n" + _io_rs.format_xyz_block_rs(symbols[:3], positions[:3]) + "1\n\n"
                    + _io_rs.format_xyz_block_rs(symbols[3:], positions[3:])).encode()
    comments, read_symbols, read_positions, counts, end = b.read_xyz_frames(text)
    assert comments == ["water", ""] and read_symbols == ["O", "H", "H", "Fe"] and counts.tolist() == [3, 1]


@pytest.mark.parametrize("call, error, message", [
    (lambda: b.format_xyz_frames(["a"], ["H"], np.zeros((1, 3)), [1, 0]), ValueError,
     "format_xyz_frames: comments length (1) != counts length (2)"),
    (lambda: b.format_xyz_frames(["a"], ["H", "O"], np.zeros((2, 3)), [1]), ValueError,
     "format_xyz_frames: counts add up to 1, symbols length is 2, positions rows 2"),
    (lambda: b.format_xyz_frames(["a\nb"], ["H"], np.zeros((1, 3)), [1]), ValueError,
     "format_xyz_frames: comment 0 is not a single line: 'a\nb'"),
    (lambda: b.format_xyz_frames(["a", "b"], ["H", "O O"], np.zeros((2, 3)), [1, 1]), ValueError,
     "format_xyz_frames: symbol at index 1 is not a single field: 'O O'"),
    (lambda: b.format_xyz_frames(["a"], ["H"], np.zeros((1, 3)), [-1]), OverflowError,
     "can't convert negative int to unsigned"),
    (lambda: b.format_xyz_frames(["a"], ["H"], np.zeros((1, 3)), "1"), TypeError,
     "argument 'counts': Can't extract `str` to `Vec`"),
    (lambda: b.format_xdatcar_frames(np.zeros((2, 3))), TypeError,
     "argument 'frames': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    (lambda: b.format_xdatcar_frames(np.zeros((2, 1, 3)), 2**64 - 1), ValueError,
     "format_xdatcar_frames: the frame numbers would pass 18446744073709551615"),
    (lambda: b.read_xdatcar_frames(b"", 0), TypeError,
     "read_xdatcar_frames() missing 1 required positional argument: 'natoms'"),
    *[(lambda name=name, arguments=arguments, options=options: getattr(b, name)(*arguments, **options), error,
       f"{name}: {message}")
      for name, arguments in [("format_extxyz_frames", [[], [], [], [], []]), ("format_lammps_dump_frames", [[], [], []])]
      for options, error, message in [({"decimals": 1001}, ValueError, "decimals must be at most 1000"),
                                       ({"write": 3}, TypeError, "write must be callable or None")]],
])
def test_writer_and_argument_failures(call, error, message):
    with pytest.raises(error) as caught:
        call()
    assert type(caught.value) is error and str(caught.value) == message


def test_module_and_its_functions():
    assert b.__all__ == ["read_poscar_block", "read_xdatcar_frames", "index_xdatcar_frames", "read_xyz_frames",
                         "index_xyz_frames", "format_xdatcar_frames", "format_xyz_frames", "scan_poscar",
                         "scan_xdatcar_frames", "scan_xyz_frames", "read_extxyz_frames", "parse_extxyz_comment",
                         "format_extxyz_frames", "scan_lammps_dump", "read_lammps_dump_frames",
                         "format_lammps_dump_frames", "scan_vasprun", "scan_outcar_steps",
                         "read_outcar_tables"]
    assert str(inspect.signature(b.read_xyz_frames)) == "(buffer, offset=0, max_frames=None, base=None, *, threads=1)"
    assert all(getattr(b, name).__module__ == "_io_rs_buffers" and getattr(b, name).__doc__ for name in b.__all__)
    internal = pytest.raises(BaseException, b.format_xdatcar_frames, np.zeros((1, 2, 2)))
    assert str(internal.value) == "ndarray: index out of bounds" and not isinstance(internal.value, Exception)
