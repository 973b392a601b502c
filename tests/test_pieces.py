"""The window a stream is gone through by: its bytes against the file's,
from every kind of stream, as it moves, is consumed and grows."""

import bz2
import gzip
import io
import lzma
import math
import warnings
import zlib

import numpy as np
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

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


@pytest.mark.parametrize("told", [True, False])
def test_a_frame_larger_than_the_window_is_scanned_a_few_times(told, monkeypatch):
    """Going through a dump of one frame of many windows reads as much as
    the frame's atom count tells at once, and scans it again once; where
    the window does not tell, about log2(frame / window) times."""
    monkeypatch.setattr(_files, "CHUNK_BYTES", 512)
    text = dump_text(4000)
    if not told:
        monkeypatch.setattr(_lammps, "_frame_bytes", lambda data: 0)
    scans = []
    scan = _io_rs_buffers.scan_lammps_dump

    def counted(*args, **keywords):
        scans.append(len(args[0]))
        return scan(*args, **keywords)

    monkeypatch.setattr(_io_rs_buffers, "scan_lammps_dump", counted)
    frames = list(io_rs.iter_lammps_dump(io.BytesIO(text + text)))
    assert len(frames) == 2 and frames[0] == frames[1]
    assert len(scans) <= (4 if told else 2 * (math.log2(len(text) / 512) + 2))


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


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("wanted", [5 * CHUNK, 20 * CHUNK, 10**15])
def test_a_wanted_width_is_read_at_once_within_a_bound(kind, wanted, tmp_path, monkeypatch):
    """A reader that expects a large frame asks for it: the window reaches
    that width in one step, or the file's end, but never grows beyond
    WANTED_GROWTH windows at once, whatever the file claims."""
    monkeypatch.setattr(_files, "CHUNK_BYTES", CHUNK)
    data = file_bytes(60000)
    pieces, closer = pieces_of(kind, data, tmp_path)
    held = len(pieces.data)
    pieces.advance(0, wanted)
    cap = _files.WANTED_GROWTH * max(held, CHUNK)
    assert len(pieces.data) >= min(wanted, cap, len(data)) or pieces.last
    assert len(pieces.data) <= max(wanted, 2 * held) + 4 * CHUNK
    assert len(pieces.data) <= cap + 4 * CHUNK
    assert bytes(pieces.data) == data[:len(pieces.data)]
    pieces.advance(len(pieces.data) // 2, wanted)  # something consumed: a chunk, as ever
    assert bytes(pieces.data) == data[pieces.start:pieces.start + len(pieces.data)]
    close(pieces, closer)


def dump_text(atoms, count=None):
    """A dump of one frame whose atom lines are about as long (right-aligned
    ids, as LAMMPS can write them)."""
    rows = "".join(f"{k + 1:6d} 1 {k % 1000 * 0.5:.3f} 0.25 {k % 7}\n" for k in range(atoms))
    return ("ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n" + str(atoms if count is None else count)
            + "\nITEM: BOX BOUNDS pp pp pp\n0 10\n0 10\n0 10\nITEM: ATOMS id type x y z\n" + rows).encode()


@pytest.mark.parametrize("atoms", [2000, 50000])
def test_a_frames_size_is_told_from_its_first_lines(atoms):
    text = dump_text(atoms)
    estimate = _lammps._frame_bytes(memoryview(text)[:CHUNK * 64])
    assert len(text) <= estimate <= 1.1 * len(text) + (1 << 16)


@pytest.mark.parametrize("head", [b"", b"ITEM: TIMESTEP\n0\n", dump_text(3), dump_text(2000).replace(b"NUMBER OF", b"NUMBER")])
def test_a_window_that_does_not_tell_a_frames_size_says_nothing(head):
    assert _lammps._frame_bytes(head) == 0


def test_a_frame_claiming_more_atoms_than_any_file_holds_is_cut_short(monkeypatch):
    """The atom count is only the file's word: a window asked for from it
    stays within bounds, and the frame is reported cut short as ever."""
    monkeypatch.setattr(_files, "CHUNK_BYTES", 512)
    asked = []
    advance = _files.Pieces.advance

    def recorded(self, consumed, wanted=0):
        asked.append(wanted)
        advance(self, consumed, wanted)
        assert len(self.data) <= _files.WANTED_GROWTH * 2**20

    monkeypatch.setattr(_files.Pieces, "advance", recorded)
    with pytest.warns(io_rs.TruncatedWarning, match="ends after 3000 of 100000000000000000 atom lines"):
        assert list(io_rs.iter_lammps_dump(io.BytesIO(dump_text(3000, count=10**17)))) == []
    assert max(asked) > 10**18


CUT_FORMATS = {".gz": (gzip.compress, lambda: zlib.decompressobj(31)), ".bz2": (bz2.compress, bz2.BZ2Decompressor),
               ".xz": (lzma.compress, lzma.LZMADecompressor)}


@pytest.mark.parametrize("suffix", CUT_FORMATS)
@given(length=st.integers(0, 60000), seed=st.integers(0, 2**32 - 1), members=st.integers(1, 3),
       kept=st.floats(0.1, 1.0) | st.integers(-12, -1), way=st.sampled_from(["read", "read(n)", "readinto", "seek, then read"]),
       size=st.integers(1, 30000))
@example(length=5000, seed=1, members=1, kept=-10, way="read", size=1)  # the end of the last block cut off
@example(length=41, seed=4, members=3, kept=0.3359375, way="read", size=1)  # one byte of a member's magic
@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
def test_a_cut_stream_gives_what_its_data_holds_up_to_the_cut(tmp_path, suffix, length, seed, members, kept, way,
                                                              size):
    """However it is read, a compressed file cut anywhere after its first
    header (several members or streams one after the other, as appending
    writers leave them) gives the text that its decompressor gives up to the
    cut, and warns once where the cut is inside a member."""
    # Text of few letters: compressed, still many of the decompressors' input blocks.
    data = np.random.default_rng(seed).choice(np.frombuffer(b" 0123456789.-\n", np.uint8), length).tobytes()
    compress, decompressor = CUT_FORMATS[suffix]
    packed = b"".join(compress(data[k::members]) for k in range(members))
    whole = b"".join(data[k::members] for k in range(members))
    cut = packed[:max(10, int(len(packed) * kept) if kept > 0 else len(packed) + kept)]  # below 0: the end cut off
    expected, rest, inside = b"", cut, False
    while rest:  # member by member, as the decompressor of one member stops at its end
        one = decompressor()
        expected += one.decompress(rest)
        rest, inside = (one.unused_data, False) if one.eof else (b"", True)
    path = tmp_path / ("cut" + suffix)
    path.write_bytes(cut)
    with warnings.catch_warnings(record=True) as caught, _files.open_decompressed(str(path)) as stream:
        warnings.simplefilter("always")
        if way == "read":
            got = stream.read()
        elif way == "read(n)":
            got = b"".join(iter(lambda: stream.read(size), b""))
        elif way == "readinto":
            buffer = bytearray(size)
            got = b"".join(bytes(buffer[:n]) for n in iter(lambda: stream.readinto(buffer), 0))
        else:
            assert stream.seek(size) == min(size, len(expected)) == stream.tell()
            got = expected[:size] + stream.read()
            stream.seek(0)
            assert stream.read(size) == expected[:size]
    assert got == expected
    # A cut between members is a whole file of fewer members: nothing tells.
    assert [type(w.message) for w in caught] == ([io_rs.TruncatedWarning] if inside else [])
    assert inside or expected == whole[:len(expected)]
