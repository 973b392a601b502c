"""The window a stream is gone through by: its bytes against the file's,
from every kind of stream, as it moves, is consumed and grows."""

import gzip
import io
import math

import numpy as np
import pytest

import _io_rs_buffers
import io_rs
from io_rs import _files, _lammps

CHUNK = 64


class ReadOnly:
    """A stream with nothing but read(), giving at most `most` bytes a call
    (more than asked for where `most` says so)."""

    def __init__(self, data, most, ignore_size=False):
        self._data, self._at, self._most, self._ignore_size = data, 0, most, ignore_size

    def read(self, size=-1):
        size = self._most if self._ignore_size or size < 0 else min(size, self._most)
        chunk = self._data[self._at:self._at + size]
        self._at += len(chunk)
        return chunk


def file_bytes(size=5000, seed=1):
    return np.random.default_rng(seed).integers(0, 256, size, dtype=np.uint8).tobytes()


def pieces_of(kind, data, tmp_path):
    """Pieces over data from a stream of the given kind, and what to close."""
    if kind == "gzip, read ahead":
        path = tmp_path / "data.gz"
        path.write_bytes(gzip.compress(data))
        context = _files.open_pieces(path)
        return context.__enter__(), context
    streams = {
        "BytesIO": lambda: io.BytesIO(data),
        "unbuffered file": lambda: open_unbuffered(tmp_path, data),
        "read() only": lambda: ReadOnly(data, 23),
        "read() giving more than asked": lambda: ReadOnly(data, 3 * CHUNK + 5, ignore_size=True),
    }
    stream = streams[kind]()
    pieces = _files.Pieces(stream)
    pieces.advance(0)
    return pieces, stream


def open_unbuffered(tmp_path, data):
    path = tmp_path / "data.bin"
    path.write_bytes(data)
    return open(path, "rb", buffering=0)


KINDS = ["BytesIO", "unbuffered file", "read() only", "read() giving more than asked", "gzip, read ahead"]


def close(pieces, closer):
    pieces.close()
    if hasattr(closer, "__exit__"):
        closer.__exit__(None, None, None)
    elif hasattr(closer, "close"):
        closer.close()


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("share", [0.0, 0.3, 0.9, 1.0])
def test_the_window_is_always_the_files_bytes_from_its_start(kind, share, tmp_path, monkeypatch):
    """Consuming a share of each window (none at times, so that it grows)
    moves what is left to the buffer's start or into a larger buffer; every
    window must still be the file's bytes."""
    monkeypatch.setattr(_files, "CHUNK_BYTES", CHUNK)
    data = file_bytes()
    pieces, closer = pieces_of(kind, data, tmp_path)
    seen, step = 0, 0
    while True:
        window = bytes(pieces.data)
        assert window == data[pieces.start:pieces.start + len(window)]
        if pieces.last:
            assert pieces.start + len(window) == len(data)
            break
        step += 1
        consumed = 0 if step % 5 == 0 else int(len(window) * share)
        pieces.advance(consumed)
        seen += 1
    close(pieces, closer)
    assert seen > 3


@pytest.mark.parametrize("kind", KINDS)
def test_nothing_consumed_doubles_the_window(kind, tmp_path, monkeypatch):
    """A frame larger than the window: the window at least doubles at each
    step, so that a frame of n bytes is scanned a logarithmic number of
    times, not n / chunk times."""
    monkeypatch.setattr(_files, "CHUNK_BYTES", CHUNK)
    data = file_bytes(20000)
    pieces, closer = pieces_of(kind, data, tmp_path)
    steps = 0
    while not pieces.last:
        before = len(pieces.data)
        pieces.advance(0)
        assert pieces.last or len(pieces.data) >= 2 * before
        steps += 1
    assert bytes(pieces.data) == data
    close(pieces, closer)
    assert steps <= math.log2(len(data) / CHUNK) + 2


def test_a_frame_larger_than_the_window_is_scanned_a_few_times(monkeypatch):
    """Going through a dump of one frame of many windows scans it about
    log2(frame / window) times."""
    monkeypatch.setattr(_files, "CHUNK_BYTES", 512)
    rows = "".join(f"{k + 1} 1 {k * 0.5} 0.25 {k}\n" for k in range(4000))
    text = ("ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n4000\nITEM: BOX BOUNDS pp pp pp\n0 10\n0 10\n0 10\n"
            "ITEM: ATOMS id type x y z\n" + rows).encode()
    scans = []
    scan = _io_rs_buffers.scan_lammps_dump

    def counted(*args, **keywords):
        scans.append(len(args[0]))
        return scan(*args, **keywords)

    monkeypatch.setattr(_io_rs_buffers, "scan_lammps_dump", counted)
    frames = list(io_rs.iter_lammps_dump(io.BytesIO(text + text)))
    assert len(frames) == 2 and frames[0] == frames[1]
    assert len(scans) <= 2 * (math.log2(len(text) / 512) + 2)


def test_a_stream_whose_readinto_gives_no_count_is_refused():
    class NonBlocking(io.RawIOBase):
        def readable(self):
            return True

        def readinto(self, buffer):
            return None

    with pytest.raises(TypeError, match="readinto"):
        list(io_rs.iter_lammps_dump(NonBlocking()))


@pytest.mark.parametrize("kind", ["BytesIO", "read() only"])
def test_the_buffer_grown_for_a_large_frame_shrinks_after_it(kind, tmp_path, monkeypatch):
    """A window grown for one large frame must not hold that frame's pages
    while the small frames after it are gone through."""
    monkeypatch.setattr(_files, "CHUNK_BYTES", CHUNK)
    data = file_bytes(40000)
    pieces, closer = pieces_of(kind, data, tmp_path)
    while len(pieces.data) < 20000:
        pieces.advance(0)
    grown = len(pieces._buffer)
    while not pieces.last:
        assert bytes(pieces.data) == data[pieces.start:pieces.start + len(pieces.data)]
        pieces.advance(len(pieces.data))
    close(pieces, closer)
    assert grown >= 20000 and len(pieces._buffer) <= 8 * CHUNK


def test_ranges_are_the_files_bytes_however_they_follow(tmp_path):
    """Ranges read one after another into the one buffer: larger, smaller,
    empty, and past the end of the file."""
    data = file_bytes(30000)
    path = tmp_path / "data.bin"
    path.write_bytes(data)
    ranges = _files.Ranges(str(path))
    for start, stop in [(0, 100), (50, 20000), (7, 9), (100, 100), (29990, 31000), (31000, 32000), (0, 30000),
                        (12345, 12400)]:
        assert bytes(ranges.read(start, stop)) == data[start:stop]


def test_frames_read_while_going_through_an_open_dump(tmp_path, monkeypatch):
    """Frame k asked for in the middle of going through the same open dump,
    whose frames alternate between two sets of columns, so that one chunk of
    text is read by several calls with frames handed out between them: each
    read has a buffer of its own."""
    monkeypatch.setattr(_lammps, "CHUNK_BYTES", 600_000)
    rng = np.random.default_rng(3)
    frames = []
    for k in range(12):
        frame = io_rs.Frame(positions=rng.random((3000, 3)), cell=np.eye(3) * 20, pbc=[True] * 3,
                            info={"timestep": k})
        if k % 2:
            frame.arrays["q"] = rng.random(3000)
        frames.append(frame)
    path = tmp_path / "frames.dump"
    with open(path, "wb") as out:
        for frame in frames:
            one = io.BytesIO()
            io_rs.write_lammps_dump(one, [frame], ["q"] if "q" in frame.arrays else None)
            out.write(one.getvalue())
    with io_rs.open_lammps_dump(path) as dump:
        for k, frame in enumerate(dump):
            assert np.array_equal(frame.positions, frames[k].positions)
            other = (k * 5 + 3) % len(frames)
            assert np.array_equal(dump[other].positions, frames[other].positions)
