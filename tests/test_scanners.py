"""The scanners of _io_rs_buffers: one pass over a file's bytes gives the
frame table, in one piece or in many, and the readers report the places a
whole-file read would, whatever base they are given."""

from pathlib import Path

import numpy as np
import pytest

import _io_rs_buffers as b

DATA = Path(__file__).resolve().parent / "data"
XDATCARS = ["XDATCAR_blank", "XDATCAR_blank_comments", "XDATCAR_crlf", "XDATCAR_variable"]


def in_pieces(scan, data, size, **first):
    """scan fed a piece of `size` more bytes at a time, as a reader of a
    stream does: the table, headers and stop it ends with."""
    start, line, before, tables, headers = 0, 1, 0, [], []
    for end in [*range(size, len(data), size), len(data)]:
        found = scan(data[start:end], 0, (start, line, before), end == len(data), **first)
        table, (consumed, line, complete) = found[-2], found[-1]
        if len(found) == 3:
            headers += found[0]
            first = {"first": headers[0]} if headers else {}
        tables.append(table)
        before += len(table)
        start += consumed
        if complete:
            break
    assert complete and start <= len(data)
    return np.concatenate(tables), [header[:2] + header[3:] for header in headers]


@pytest.mark.parametrize("size", [1, 5, 64, 10 ** 6])
@pytest.mark.parametrize("name", XDATCARS + ["water.xyz"])
def test_pieces_give_the_table_of_one_whole_scan(name, size):
    data = (DATA / name).read_bytes()
    if name.endswith(".xyz"):
        data = data * 3 + b"\n\n"
        whole, _ = b.scan_xyz_frames(data)
        assert np.array_equal(in_pieces(b.scan_xyz_frames, data, size)[0], whole)
        assert len(whole) == 6
        for k, (offset, line, natoms, _, _, end) in enumerate(whole.tolist()):
            assert b.read_xyz_frames(data, offset, 1, (0, line, k))[3:] == ([natoms], end)
        return
    headers, whole, stop = b.scan_xdatcar_frames(data)
    table, pieces_headers = in_pieces(b.scan_xdatcar_frames, data, size)
    assert np.array_equal(table[:, [0, 1, 2, 4, 5]], whole[:, [0, 1, 2, 4, 5]])
    assert pieces_headers == [header[:2] + header[3:] for header in headers]
    assert stop[2] and np.all(whole[1:, 0] >= whole[:-1, 5])
    # Each row is a frame the reader reads alone, numbered as the table says.
    natoms = sum(headers[0][4])
    for k, (offset, line, count, _, number, end) in enumerate(whole.tolist()):
        frames, numbers, stop_at = b.read_xdatcar_frames(data, offset, count, 1, (0, line, k))
        assert (count, numbers[0], stop_at) == (natoms, number, end)


@pytest.mark.parametrize("data, message, line", [
    (b"1\nc\nH 0 0 0\n2\nc\nH 0 0 0\n", "XYZ: frame 2 ends after 1 of 2 atom lines (line 4 of the file, byte 12)", 4),
    (b"1\nc\nH 0 0 0\n\nx\n", "XYZ: expected an atom count (one whole number), got 'x' (line 5 of the file, byte 13)", 5),
    (b"c\n1\n1 0 0\n0 1 0\n0 0 1\nH\n1\nDirect configuration= 1\n0 0 0\nDirect configuration= 2\n",
     "XDATCAR: frame 2 ends after 0 of 1 coordinate lines (line 10 of the file, byte 56)", 10),
])
@pytest.mark.parametrize("size", [3, 1000])
def test_errors_are_the_same_in_pieces(data, message, line, size):
    scan = b.scan_xyz_frames if data.startswith(b"1") else b.scan_xdatcar_frames
    for run in (lambda: scan(data), lambda: in_pieces(scan, data, size)):
        with pytest.raises(ValueError) as caught:
            run()
        assert str(caught.value) == message and caught.value.line == line


@pytest.mark.parametrize("base, place, frame", [(None, "line 4 of the file, byte 12", 1),
                                                ((1000, 41, 7), "line 44 of the file, byte 1012", 8)])
def test_readers_report_places_from_their_base(base, place, frame):
    data = b"2\nc\nH 0 0 0\nH 0 x 0\n"
    with pytest.raises(ValueError) as caught:
        b.read_xyz_frames(data, 0, None, base)
    error = caught.value
    assert str(error).endswith(f"({place})") and (error.field, error.format, error.frame) == ("x", "XYZ", frame)
    with pytest.raises(ValueError, match="lines are counted from 1"):
        b.scan_xyz_frames(data, 0, (0, 0, 0))


def test_frame_table_against_a_line_walk():
    """Frames of every size from 17 atoms up, lines of varied lengths, so that
    frames end at every place in the scanners' blocks of line ends: the table
    is what walking the lines in Python finds."""
    rng = np.random.default_rng(4)
    frames, want, offset, line = [], [], 0, 1
    for natoms in range(17, 140):
        atoms = "".join(f"H {'0' * int(rng.integers(1, 9))} 0 0\n" for _ in range(natoms))
        text = f"{natoms}\ncomment {natoms}\n{atoms}"
        want.append([offset, line, natoms, -1, -1, offset + len(text)])
        frames.append(text)
        offset, line = offset + len(text), line + natoms + 2
    table, stop = b.scan_xyz_frames("".join(frames).encode())
    assert table.tolist() == want and stop == (offset, line, True)


@pytest.mark.parametrize("rest", [255, 256, 257, 512, 513])
@pytest.mark.parametrize("last_lf", [False, True])
def test_a_last_line_without_lf_is_a_line_wherever_it_ends(rest, last_lf):
    """A frame whose atom lines end the file, the last without LF, in `rest`
    bytes: the scanners and the readers on threads, which skip lines a block
    of line ends at a time, count the last line as the one-thread reader does."""
    lines = [b"H 1 2 3"] * 3
    lines.append(b"H 1 2 " + b"3" * (rest - 3 * 8 - 6 - last_lf))
    atoms = b"\n".join(lines) + b"\n" * last_lf
    assert len(atoms) == rest
    data = b"4\nc\n" + atoms
    assert b.index_xyz_frames(data).tolist() == [0]
    assert b.scan_xyz_frames(data)[0][:, 2].tolist() == [4]
    one = b.read_xyz_frames(data)
    assert one[3].tolist() == b.read_xyz_frames(data, threads=2)[3].tolist() == [4]
