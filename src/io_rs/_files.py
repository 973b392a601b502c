"""Files as users have them, and the bytes the readers walk.

A file is a path (str or os.PathLike) or an open binary file. Paths ending in
.gz, .bz2 or .xz are decompressed or compressed through the standard library;
other paths of some size are memory-mapped for reading. The readers of
_io_rs_buffers copy what they read, so nothing they return keeps a map alive,
and every map is closed when its reader is done, on every path (a large one
read on threads by a thread of its own, as the reader goes on).
"""

from __future__ import annotations

import bz2
import gzip
import io
import lzma
import mmap
import operator
import os
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from contextlib import ExitStack, contextmanager
from types import TracebackType
from typing import IO, Generic, Protocol, Self, SupportsIndex, TypeAlias, TypeVar, cast

import numpy as np
from numpy.typing import NDArray

from ._cut_streams import BZIP2_STEP, STEP, CutStream
from ._gzip_threads import GzipOnThreads


class ReadableBinary(Protocol):
    """An open binary file to read: anything whose read() returns bytes, all
    of them or (given a size) up to that many."""

    def read(self, size: int = -1, /) -> bytes: ...


class WritableBinary(Protocol):
    """An open binary file to write: anything with write(bytes)."""

    def write(self, data: bytes, /) -> object: ...


class Compressor(Protocol):
    """A compressing stream: closing it, or leaving its with block, ends the
    compressed data (gzip's leaves it unended where the block raised)."""

    def write(self, data: bytes, /) -> object: ...

    def close(self) -> None: ...

    def __enter__(self) -> Compressor: ...

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> object: ...


Source: TypeAlias = "str | os.PathLike[str] | ReadableBinary"
Target: TypeAlias = "str | os.PathLike[str] | WritableBinary"
Data: TypeAlias = "bytes | mmap.mmap"

# gzip writes at level 6, the gzip tool's default: level 9 costs several times the
# time for a few per cent of size on files of numbers.
GZIP_LEVEL = 6
# The compression suffixes of file names.
_SUFFIXES = (".gz", ".bz2", ".xz")
# Smaller files are read outright: a map costs more than it saves there.
MMAP_MIN_BYTES = 1 << 16
# The separators of the atom-line readers: a vertical tab or a no-break space
# belongs to a field.
SEPARATORS = " \t\n\r\f"
# How much of a compressed file or a stream is read at a time when it is read
# once from start to end: the window a reader holds is about this, plus the
# frame that straddles its end.
CHUNK_BYTES = 1 << 22
# A window grows at most this many times over at once, where a reader
# expects a frame that large: a frame's stated size is only the file's word.
WANTED_GROWTH = 64
# How many bytes of frames one reader call reads when a file is gone through
# a run of frames at a time (iteration): enough that what a call costs
# beside reading (the call, the frame table's rows, waking the threads) is
# small against it, little enough that a run's arrays stay small.
BATCH_BYTES = 1 << 21
# How many atoms' lines writers format at a time: a few MB of text.
CHUNK_ATOMS = 1 << 16
T = TypeVar("T")
FrameT = TypeVar("FrameT")


class Label(str):
    """How messages name a file (its path quoted, or the kind of stream),
    with the path as the caller gave it, or None for an open file."""

    path: str | None


def label(file: Source | Target) -> Label:
    """How messages name a file: its path quoted, or the kind of stream."""
    if isinstance(file, (str, os.PathLike)):
        path: str | None = os.fspath(file)
        named = Label(repr(path))
    else:
        path = None
        name = getattr(file, "name", None)
        named = Label(repr(name) if isinstance(name, str) else f"<{type(file).__name__}>")
    named.path = path
    return named


def compression_of(path: str) -> str:
    """The compression suffix of a file name (.gz, .bz2, .xz), or ''."""
    suffix = os.path.splitext(path)[1].lower()
    return suffix if suffix in _SUFFIXES else ""


def decompressing(file: str | ReadableBinary, suffix: str, warn: bool = True) -> CutStream:
    """The decompressed stream of a path or an open binary file (which
    closing the stream leaves open), by a compression suffix. Compressed
    data that stops before its end (a file cut short) ends the stream there,
    with a TruncatedWarning unless `warn` is false."""
    # The standard library takes any object with read(); its declared types
    # are narrower.
    opened = file if isinstance(file, str) else cast(IO[bytes], file)
    stream: gzip.GzipFile | bz2.BZ2File | lzma.LZMAFile
    if suffix == ".gz":
        stream = gzip.GzipFile(opened, "rb") if isinstance(opened, str) else gzip.GzipFile(fileobj=opened, mode="rb")
    elif suffix == ".bz2":
        stream = bz2.BZ2File(opened, "rb")
    elif suffix == ".xz":
        stream = lzma.LZMAFile(opened, "rb")
    else:
        raise ValueError(f"no compression has the suffix {suffix!r}")
    return CutStream(stream, label(file), warn, BZIP2_STEP if suffix == ".bz2" else STEP)


def compressing(raw: WritableBinary, suffix: str, threads: int) -> Compressor:
    """A compressing stream onto an open binary file (which closing the
    stream leaves open), by a compression suffix: gzip at GZIP_LEVEL on
    `threads` threads."""
    if suffix == ".gz":
        return GzipOnThreads(raw, GZIP_LEVEL, threads)
    if suffix == ".bz2":
        return bz2.BZ2File(raw, "wb")
    if suffix == ".xz":
        return lzma.LZMAFile(cast(IO[bytes], raw), "wb")
    raise ValueError(f"no compression has the suffix {suffix!r}")


def open_decompressed(path: str, warn: bool = True) -> io.BufferedIOBase:
    """A path opened to read, decompressed by its suffix (a cut as
    decompressing says)."""
    suffix = compression_of(path)
    return decompressing(path, suffix, warn) if suffix else open(path, "rb")


def read_head(path: str, size: int = 1 << 13) -> bytes:
    """The first bytes of a file, decompressed by its suffix; a cut is left
    to the reader to tell."""
    with open_decompressed(path, warn=False) as stream:
        return stream.read(size)


# From this size a map read on threads is released beside the caller: taking
# down a map costs about 3 ms a 100 MB, which the caller spends building
# frames instead. (POSIX only: on Windows a map that outlives its reader for
# a moment would keep the file from being deleted.)
_UNMAP_BESIDE_FROM = 1 << 26
_unmapper: ThreadPoolExecutor | None = None


def _close_map(mapped: mmap.mmap, threads: int) -> None:
    global _unmapper
    if threads > 1 and os.name == "posix" and len(mapped) >= _UNMAP_BESIDE_FROM:
        if _unmapper is None:
            _unmapper = ThreadPoolExecutor(1, "io-rs unmapper")
        _unmapper.submit(mapped.close)
    else:
        mapped.close()


@contextmanager
def open_data(file: Source, threads: int = 1) -> Iterator[Data]:
    """The whole content of a file, mapped or read, for the time of a with
    block; a reader on more than one thread gives its thread count."""
    if not isinstance(file, (str, os.PathLike)):
        data = file.read()
        if not isinstance(data, bytes):
            raise TypeError(f"expected a file opened in binary mode, whose read() returns bytes, "
                            f"not {type(data).__name__}")
        yield data
        return
    path = os.fspath(file)
    if compression_of(path):
        with open_decompressed(path) as stream:
            data = stream.read()
        yield data
        return
    with open(path, "rb") as stream:
        # A size of 0 is an empty file or one whose size the system does not
        # know (a pipe, /proc): those are read, never mapped.
        if os.fstat(stream.fileno()).st_size < MMAP_MIN_BYTES:
            mapped = None
            data = stream.read()
        else:
            try:
                mapped = mmap.mmap(stream.fileno(), 0, access=mmap.ACCESS_READ)
            except (OSError, ValueError):
                mapped, data = None, stream.read()
    if mapped is None:
        yield data
        return
    try:
        yield mapped
    finally:
        _close_map(mapped, threads)


@contextmanager
def writing(file: Target, threads: int | None = None) -> Iterator[Callable[[bytes], object]]:
    """The write method of a file to write, for the time of a with block: a
    path (compressed by its suffix; gzip on `threads` threads, resolved as
    resolve_threads does) opened and closed around it, or an open binary
    file as it is. A gzip file whose writing fails is left without its end,
    so that no reader takes it for whole."""
    if not isinstance(file, (str, os.PathLike)):
        yield file.write
        return
    path = os.fspath(file)
    suffix = compression_of(path)
    with open(path, "wb") as raw:
        if not suffix:
            yield raw.write
            return
        with compressing(raw, suffix, resolve_threads(threads)) as stream:
            yield stream.write


def write_data(file: Target, data: bytes | Iterable[bytes]) -> None:
    """Writes a file's bytes, whole or a chunk at a time as the chunks are
    made, compressed by the path's suffix."""
    chunks = [data] if isinstance(data, bytes) else data
    with writing(file) as write:
        for chunk in chunks:
            write(chunk)


def batches(items: Iterable[T], size: Callable[[T], int]) -> Iterator[list[T]]:
    """The items in lists of about CHUNK_ATOMS atoms (size gives an item's),
    so that writers hold a chunk of a file's text at a time, never all of it."""
    batch: list[T] = []
    atoms = 0
    for item in items:
        batch.append(item)
        atoms += size(item) + 1
        if atoms >= CHUNK_ATOMS:
            yield batch
            batch, atoms = [], 0
    if batch:
        yield batch


class TruncatedWarning(UserWarning):
    """A file that ends before its last step or frame is complete (a run cut
    short by a crash or a time limit): every complete one is read, and the
    warning names the file, the last complete one and where reading stopped."""


class DataWarning(UserWarning):
    """Values or steps a file holds damaged, read around: a Fortran overflow
    (****) read as NaN, steps lost to NUL bytes. The message names the field
    and the step."""


class FormatError(ValueError):
    """A file that does not hold what its format says, with where and what as
    attributes: the file's path as given (None for an open file), the
    format, the line (from 1) and its first
    byte, the frame (from 1) when the problem lies in one, the field at fault,
    and what was expected and found there when a line is not what the format
    needs. The message says the same in words."""

    def __init__(self, message: str, *, file: str | None, format: str, problem: str, line: int | None = None,
                 byte: int | None = None, frame: int | None = None, field: str | None = None,
                 expected: str | None = None, found: str | None = None) -> None:
        super().__init__(message)
        self.file = file
        self.format = format
        self.problem = problem
        self.line = line
        self.byte = byte
        self.frame = frame
        self.field = field
        self.expected = expected
        self.found = found


def format_error(error: ValueError, name: str) -> FormatError:
    """The FormatError for a file of the given name from a reader's ValueError
    and the parts it carries."""
    parts = {key: getattr(error, key, None) for key in ("line", "byte", "frame", "field", "expected", "found")}
    kind, problem = getattr(error, "format", None) or "", getattr(error, "problem", None) or str(error)
    line, byte = parts["line"], parts["byte"]
    if parts["expected"] is not None:
        message = f"{kind} {name}, line {line}: {problem}"
    elif line is not None:
        message = f"{kind} {name}: {problem} (line {line} of the file, byte {byte})"
    else:
        message = f"{kind} {name}: {problem}"
    return FormatError(message, file=getattr(name, "path", None), format=kind, problem=problem, **parts)


class Text:
    """The bytes of one file, or a window of them, with the file's name for messages."""

    def __init__(self, data: Data | bytearray | memoryview, kind: str, name: str) -> None:
        self.data = data
        self.kind = kind
        self.name = name

    def call(self, read: Callable[..., T], *args: object, **keywords: object) -> T:
        """Calls a reader or scanner of _io_rs_buffers on this file; a problem
        in the file becomes a FormatError naming it."""
        try:
            return read(*args, **keywords)
        except ValueError as error:
            if getattr(error, "format", None) is None:
                raise
            raise format_error(error, self.name) from None


def read_range(path: str, start: int, stop: int) -> bytes:
    """Bytes start to stop of a file, decompressed by its suffix: a
    compressed file is decompressed from its start, a chunk at a time, and
    what comes before start is dropped as it goes. The range is one a scan
    found whole, which told of any cut already."""
    with open_decompressed(path, warn=False) as stream:
        stream.seek(start)
        return stream.read(stop - start)


class Ranges:
    """Byte ranges of a plain file, each read into one buffer kept from range
    to range rather than into fresh pages every time (faulting them in took
    a fifth of the time of reading a frame alone). What read() gives is
    valid until the next read."""

    def __init__(self, path: str) -> None:
        self._path = path
        self._buffer: NDArray[np.uint8] = np.empty(0, np.uint8)

    @property
    def held(self) -> int:
        """The bytes the buffer holds."""
        return len(self._buffer)

    def read(self, start: int, stop: int) -> memoryview:
        """Bytes start to stop of the file (fewer where it ends before)."""
        size = max(0, stop - start)
        if len(self._buffer) < size:
            self._buffer = np.empty(size, np.uint8)
        view = memoryview(self._buffer)[:size]
        got = 0
        with open(self._path, "rb", buffering=0) as raw:
            raw.seek(start)
            while got < size:
                count = raw.readinto(view[got:])
                if not count:
                    break
                got += count
        return view[:got]


def resolve_threads(threads: int | None) -> int:
    """The threads a reader uses: as given; else the IO_RS_NUM_THREADS
    environment variable; else every core this process may run on. The
    extension module uses one for inputs too small to gain from more."""
    if threads is None:
        setting = os.environ.get("IO_RS_NUM_THREADS", "").strip()
        if setting:
            try:
                threads = int(setting)
            except ValueError:
                raise ValueError(f"IO_RS_NUM_THREADS must be a whole number of threads, not {setting!r}") from None
        elif hasattr(os, "sched_getaffinity"):
            threads = len(os.sched_getaffinity(0))
        else:
            threads = os.cpu_count() or 1
    if not 1 <= threads <= 4096:
        raise ValueError(f"threads must be from 1 to 4096, not {threads}")
    return threads


def runs(table: NDArray[np.int64], batch: int | None = None) -> Iterator[tuple[int, int]]:
    """The runs of a frame table that one reader call reads: consecutive rows
    whose frames follow each other directly under the same header, each cut
    into runs of about `batch` bytes (at least one frame) when given."""
    if not len(table):
        return
    breaks = np.flatnonzero((table[1:, 0] != table[:-1, 5]) | (table[1:, 3] != table[:-1, 3])) + 1
    starts = [0, *breaks.tolist()]
    for start, stop in zip(starts, [*starts[1:], len(table)]):
        if batch is None:
            yield start, stop
        else:
            for first, last in chunks(table[start:stop], batch):
                yield start + first, start + last


def chunks(table: NDArray[np.int64], batch: int = BATCH_BYTES) -> Iterator[tuple[int, int]]:
    """Rows of a frame table in consecutive chunks of frames of about `batch`
    bytes each (at least one frame): how a file is gone through a chunk at a
    time."""
    count = len(table)
    if not count:
        return
    if count == 1 or int(table[-1, 5]) - int(table[0, 0]) <= batch:
        yield 0, count
        return
    ends = table[:, 5]
    first = 0
    while first < count:
        last = int(np.searchsorted(ends, int(table[first, 0]) + batch, side="right"))
        last = min(count, max(last, first + 1))
        yield first, last
        first = last


class Pieces:
    """A file's bytes a window at a time, for readers that go through a file
    once: compressed files and open streams are decompressed and read a chunk
    at a time, so that only the window is held, never the whole file; a
    plain file is mapped and is its own single window. With `ahead`, the
    next chunk is decompressed on a thread of its own while the window is
    read (the decompressor gives up the interpreter lock as it works).

    A stream's window is a view of one buffer kept from chunk to chunk:
    chunks are read into it where the stream can (readinto), and what is
    left of the window moves to its start when the next chunk would not fit,
    so that going through a file touches the same pages again rather than
    fresh ones for every chunk. The view is valid until the next advance."""

    def __init__(self, stream: io.BufferedIOBase | ReadableBinary | None, whole: Data | None = None,
                 ahead: bool = False) -> None:
        self._stream = stream
        self.data: Data | memoryview = whole if whole is not None else memoryview(b"")
        self.start = 0  # the file's byte where data starts
        self.last = whole is not None
        self._buffer: NDArray[np.uint8] = np.empty(0, np.uint8)  # the window is _buffer[_low:_high]
        self._low = self._high = 0
        self._reader = ThreadPoolExecutor(1, "io-rs decompressor") if ahead else None
        self._next: Future[bytes] | None = None

    def _chunk(self) -> bytes:
        assert self._stream is not None
        if self._reader is None:
            return self._stream.read(CHUNK_BYTES)
        if self._next is None:
            self._next = self._reader.submit(self._stream.read, CHUNK_BYTES)
        chunk = self._next.result()
        self._next = self._reader.submit(self._stream.read, CHUNK_BYTES) if chunk else None
        return chunk

    def close(self) -> None:
        """Waits for a chunk being read ahead, so that the stream can close."""
        if self._reader is not None:
            self._reader.shutdown(wait=True)
            self._next = None

    def _room(self, size: int) -> None:
        """Makes room for size bytes after the window: the window moves to
        the buffer's start, or into a buffer twice as large where that is not
        enough."""
        held = self._high - self._low
        needed = held + size
        if len(self._buffer) > max(4 * needed, 8 * CHUNK_BYTES):
            # Grown for a large frame, the buffer goes back to the size at
            # hand rather than holding that frame's pages to the end.
            smaller = np.empty(2 * needed, np.uint8)
            smaller[:held] = self._buffer[self._low:self._high]
            self._buffer = smaller
            self._low, self._high = 0, held
            return
        if self._high + size <= len(self._buffer):
            return
        if needed <= len(self._buffer):
            # Overlapping ranges are copied as if through a temporary.
            self._buffer[:held] = self._buffer[self._low:self._high]
        else:
            larger = np.empty(max(2 * len(self._buffer), 2 * needed), np.uint8)
            larger[:held] = self._buffer[self._low:self._high]
            self._buffer = larger
        self._low, self._high = 0, held

    def _fill(self, size: int = CHUNK_BYTES) -> int:
        """Reads up to size bytes after the window (a chunk where the stream
        is read ahead); 0 at the end of the file."""
        readinto = getattr(self._stream, "readinto", None) if self._reader is None else None
        if readinto is not None:
            self._room(size)
            got: object = readinto(memoryview(self._buffer)[self._high:self._high + size])
        else:
            chunk = self._chunk()
            if not isinstance(chunk, bytes):
                raise TypeError(f"expected a file opened in binary mode, whose read() returns bytes, "
                                f"not {type(chunk).__name__}")
            self._room(len(chunk))
            self._buffer[self._high:self._high + len(chunk)] = np.frombuffer(chunk, np.uint8)
            got = len(chunk)
        if not isinstance(got, int):
            raise TypeError(f"expected a file opened in binary mode, whose readinto() returns a count of bytes, "
                            f"not {type(got).__name__}")
        self._high += got
        return got

    def advance(self, consumed: int, wanted: int = 0) -> None:
        """Drops the first consumed bytes of the window and reads the next
        chunk. Where nothing was consumed (a frame larger than the window),
        chunks are read until the window is twice as wide, or as wide as
        wanted where the reader knows how large the frame is likely to be
        (at most WANTED_GROWTH times the window): growing it by one chunk at
        a time would scan a large frame again for every chunk, and doubling
        still scans it and copies the window a few times."""
        assert self._stream is not None and 0 <= consumed <= self._high - self._low
        self._low += consumed
        self.start += consumed
        held = self._high - self._low
        if consumed:
            wanted = 0
        else:
            wanted = max(2 * held, min(wanted, WANTED_GROWTH * max(held, CHUNK_BYTES)))
        self.data = memoryview(b"")  # no view of the buffer while it changes
        if wanted > held:
            self._room(wanted - held)  # once, rather than doubling on the way
        while True:
            if not self._fill(max(CHUNK_BYTES, wanted - (self._high - self._low))):
                self.last = True
                break
            if self._high - self._low >= wanted:
                break
        self.data = memoryview(self._buffer)[self._low:self._high]


@contextmanager
def open_pieces(file: Source, threads: int = 1) -> Iterator[Pieces]:
    """The file as Pieces, for the time of a with block (threads as for
    open_data)."""
    if isinstance(file, (str, os.PathLike)):
        path = os.fspath(file)
        if not compression_of(path):
            with open_data(file, threads) as data:
                yield Pieces(None, data)
            return
        with open_decompressed(path) as stream:
            pieces = Pieces(stream, ahead=True)
            try:
                pieces.advance(0)
                yield pieces
            finally:
                pieces.close()
        return
    pieces = Pieces(file)
    pieces.advance(0)
    yield pieces


@contextmanager
def open_all(file: Source, threads: int = 1) -> Iterator[Pieces]:
    """The file as Pieces for a reader of every frame (threads as for
    open_data): a compressed path a window at a time, the next chunk
    decompressed meanwhile, so that the reading keeps pace with the
    decompressor and the text is never held whole; anything else whole."""
    if isinstance(file, (str, os.PathLike)) and compression_of(os.fspath(file)):
        with open_pieces(file, threads) as pieces:
            yield pieces
        return
    with open_data(file, threads) as data:
        yield Pieces(None, data)


class FrameFile(Generic[FrameT]):
    """A trajectory file held open for random access: its frame table is made
    by one scan, and frame k is then read alone. A plain file is mapped; a
    compressed one is scanned a window at a time and never held whole:
    frame k is then decompressed up to its end (the cost of a compressed
    file; frames asked for in file order go on from the last one), and
    iteration goes through the file once."""

    _table: NDArray[np.int64]

    def __init__(self, file: Source, kind: str, threads: int | None = None) -> None:
        self._threads = resolve_threads(threads)
        self._path = os.fspath(file) if isinstance(file, (str, os.PathLike)) else None
        self._compressed = self._path is not None and bool(compression_of(self._path))
        self._name = label(file)
        self._stack = ExitStack()
        self._open = True
        self._stream: io.BufferedIOBase | None = None  # a compressed file's, where the last frame read ends
        self._stream_at = 0
        try:
            if self._compressed:
                pieces = self._stack.enter_context(open_pieces(file))
                self._data: Data | bytearray = b""
            else:
                self._data = self._stack.enter_context(open_data(file))
                pieces = Pieces(None, self._data)
            self._table = self._index(pieces)
            if self._compressed:
                self._stack.close()
        except BaseException:
            self.close()
            raise

    def _index(self, pieces: Pieces) -> NDArray[np.int64]:
        raise NotImplementedError

    def _read(self, text: Text, start: int, k: int) -> FrameT:
        """Frame k from text, whose data starts at byte start of the file."""
        raise NotImplementedError

    def _iterate(self) -> Iterator[FrameT]:
        """Every frame, going through the file once."""
        raise NotImplementedError

    def _read_chunk(self, start: int, stop: int) -> list[FrameT]:
        """Frames start to stop, in as few reader calls as their runs need."""
        raise NotImplementedError

    def __len__(self) -> int:
        """The number of frames."""
        return len(self._table)

    def __getitem__(self, k: SupportsIndex) -> FrameT:
        """Frame k (negative k counts from the end), read alone."""
        index = operator.index(k)
        count = len(self._table)
        if index < 0:
            index += count
        if not 0 <= index < count:
            raise IndexError(f"frame index {operator.index(k)} out of range for {count} frames")
        if not self._open:
            raise ValueError("I/O operation on a closed file")
        if self._compressed and self._path is not None:
            start = int(self._table[index, 0])
            data = self._decompressed(start, int(self._table[index, 5]))
            return self._read(Text(data, self._kind, self._name), start, index)
        return self._read(Text(self._data, self._kind, self._name), 0, index)

    def _text_for(self, start: int, stop: int) -> tuple[Text, int]:
        """The text that holds frames start to stop (start < stop), and the
        file's byte where it starts: the whole map of a plain file, the
        decompressed bytes of those frames of a compressed one."""
        if not self._open:
            raise ValueError("I/O operation on a closed file")
        if self._compressed and self._path is not None:
            first = int(self._table[start, 0])
            return Text(self._decompressed(first, int(self._table[stop - 1, 5])), self._kind, self._name), first
        return Text(self._data, self._kind, self._name), 0

    def _decompressed(self, start: int, stop: int) -> bytes:
        """Bytes start to stop of a compressed file. The stream is kept where
        the last read left it: frames asked for in file order (a data
        loader going through the file) are decompressed once, and a frame
        before it starts the stream again from the file's start."""
        assert self._path is not None
        if self._stream is None or start < self._stream_at:
            if self._stream is not None:
                self._stream.close()
            # The scan told of a cut; frames are only read from before it.
            self._stream, self._stream_at = open_decompressed(self._path, warn=False), 0
        self._stream.seek(start)
        data = self._stream.read(stop - start)
        self._stream_at = stop
        return data

    def __iter__(self) -> Iterator[FrameT]:
        """Every frame in turn."""
        if self._compressed:
            if not self._open:
                raise ValueError("I/O operation on a closed file")
            yield from self._iterate()
            return
        # A chunk of frames a call, handed out one by one.
        for start, stop in chunks(self._table):
            yield from self._read_chunk(start, stop)

    @property
    def _kind(self) -> str:
        return type(self).__name__.removesuffix("File").upper()

    @property
    def closed(self) -> bool:
        """Whether close() has been called."""
        return not self._open

    def close(self) -> None:
        """Releases the file (and its memory map); frames read stay valid."""
        self._open = False
        self._data = b""
        if self._stream is not None:
            self._stream.close()
            self._stream = None
        self._stack.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()
