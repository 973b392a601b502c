"""gzip written on threads: one member that zlib and the gzip module read
back byte for byte, whatever the blocks and the pieces it was written in."""

import bz2
import contextlib
import gzip
import io
import lzma
import zlib

import numpy as np
import pytest

import io_rs
from io_rs import _files, _gzip_threads
from io_rs._gzip_threads import GzipOnThreads


def members_read(data: bytes) -> tuple[bytes, bool]:
    """The text of the first gzip member, and whether it is all the data."""
    reader = zlib.decompressobj(16 + zlib.MAX_WBITS)
    text = reader.decompress(data)
    return text, reader.eof and not reader.unused_data


def text_of(kind: str, size: int) -> bytes:
    rng = np.random.default_rng(size)
    if kind == "random":
        return rng.integers(0, 256, size, dtype=np.uint8).tobytes()
    if kind == "repeats":  # back-references that reach into the block before
        return (b"ITEM: ATOMS id type x y z\n" * (size // 26 + 1))[:size]
    return "".join(f"{k} 1 {x:.6f}\n" for k, x in enumerate(rng.normal(0, 9, size // 12 + 1))).encode()[:size]


@pytest.mark.parametrize("threads", [1, 2, 3])
@pytest.mark.parametrize("kind", ["random", "repeats", "numbers"])
@pytest.mark.parametrize("size, piece", [(0, 7), (1, 1), (999, 1000), (1000, 1000), (1001, 333), (5017, 4999),
                                         (70_000, 65_536)])
def test_written_in_blocks_reads_back_as_one_member(monkeypatch, threads, kind, size, piece):
    monkeypatch.setattr(_gzip_threads, "BLOCK", 1000)
    text = text_of(kind, size)
    raw = io.BytesIO()
    with GzipOnThreads(raw, 6, threads) as stream:
        for start in range(0, size, piece):
            assert stream.write(memoryview(text)[start:start + piece]) == len(text[start:start + piece])
    data = raw.getvalue()
    assert members_read(data) == (text, True)
    assert gzip.decompress(data) == text and data[:3] == b"\x1f\x8b\x08"
    if kind == "repeats" and size > 5000:  # the blocks after the first are primed with the one before
        assert len(data) < size // 20


def test_a_write_that_fails_leaves_no_end(tmp_path):
    """A gzip file whose writing failed does not read as whole."""
    good = io_rs.ExtxyzFrame(2, {}, {"species": np.array(["H", "O"]), "pos": np.zeros((2, 3))})
    bad = io_rs.ExtxyzFrame(2, {"e": {"not": "a value"}}, {"species": np.array(["H", "O"]), "pos": np.zeros((2, 3))})
    path = tmp_path / "cut.extxyz.gz"
    with pytest.raises(TypeError):
        io_rs.write_extxyz(path, [good] * 3 + [bad])
    with pytest.raises(EOFError):
        gzip.decompress(path.read_bytes())
    io_rs.write_extxyz(path, [good] * 3)
    assert len(io_rs.read_extxyz(path)) == 3 and members_read(path.read_bytes())[1]


def test_a_closed_stream_takes_no_more():
    stream = GzipOnThreads(io.BytesIO(), 6, 2)
    stream.close()
    stream.close()
    with pytest.raises(ValueError, match="closed"):
        stream.write(b"x")


@pytest.mark.parametrize("threads", [1, 3])
@pytest.mark.parametrize("suffix", ["extxyz", "lammpstrj"])
def test_writers_compress_on_the_threads_asked_for(monkeypatch, tmp_path, suffix, threads):
    made = []

    class Recorded(GzipOnThreads):
        def __init__(self, raw, level, count):
            made.append(count)
            super().__init__(raw, level, count)

    monkeypatch.setattr(io_rs._files, "GzipOnThreads", Recorded)
    frame = io_rs.Frame(positions=np.arange(6.0).reshape(2, 3), cell=np.eye(3) * 5, symbols=["H", "O"])
    write = io_rs.write_extxyz if suffix == "extxyz" else io_rs.write_lammps_dump
    path = tmp_path / f"out.{suffix}.gz"
    write(path, [io_rs.ExtxyzFrame.from_frame(frame) if suffix == "extxyz" else frame], threads=threads)
    assert made == [threads]
    assert np.array_equal(io_rs.read(path)[0].positions, frame.positions)


@pytest.mark.parametrize("suffix, module", [(".gz", gzip), (".bz2", bz2), (".xz", lzma)])
@pytest.mark.parametrize("fails", [False, True])
def test_compressors_by_suffix_over_open_files(tmp_path, suffix, module, fails):
    """Every suffix's stream ends its data on leaving a with block and
    leaves the file under it open; a gzip block that raised leaves the data
    unended, so that no reader takes it for whole."""
    text = text_of("numbers", 3 << 19 if suffix == ".gz" else 1 << 16)  # gzip: two blocks
    path = tmp_path / f"out{suffix}"
    with open(path, "wb") as raw:
        with pytest.raises(RuntimeError) if fails else contextlib.nullcontext():
            with _files.compressing(raw, suffix, 2) as stream:
                stream.write(text)
                if fails:
                    raise RuntimeError("the writer failed")
        assert not raw.closed
    if fails and suffix == ".gz":
        with pytest.raises(EOFError):
            gzip.decompress(path.read_bytes())
        return
    assert module.decompress(path.read_bytes()) == text
    with open(path, "rb") as raw:
        with _files.decompressing(raw, suffix) as stream:
            assert stream.read() == text
        assert not raw.closed
    with _files.open_decompressed(str(path)) as stream:
        assert stream.read() == text
    with pytest.raises(ValueError, match="no compression has the suffix '.zip'"):
        _files.compressing(io.BytesIO(), ".zip", 1)
