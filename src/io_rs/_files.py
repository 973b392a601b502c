"""Files as users have them, and the bytes the readers walk.

A file is a path (str or os.PathLike) or an open binary file. Paths ending in
.gz, .bz2 or .xz are decompressed or compressed through the standard library;
other paths of some size are memory-mapped for reading. The readers of
_io_rs_buffers copy what they read, so nothing they return keeps a map alive,
and every map is closed when its reader is done, on every path.
"""

from __future__ import annotations

import bz2
import gzip
import io
import lzma
import mmap
import operator
import os
import re
from collections.abc import Callable, Iterator
from contextlib import ExitStack, contextmanager
from types import TracebackType
from typing import Generic, Literal, Protocol, Self, SupportsIndex, TypeAlias, TypeVar

import numpy as np
from numpy.typing import NDArray


class ReadableBinary(Protocol):
    """An open binary file to read: anything whose read() returns bytes."""

    def read(self, /) -> bytes: ...


class WritableBinary(Protocol):
    """An open binary file to write: anything with write(bytes)."""

    def write(self, data: bytes, /) -> object: ...


Source: TypeAlias = "str | os.PathLike[str] | ReadableBinary"
Target: TypeAlias = "str | os.PathLike[str] | WritableBinary"
Data: TypeAlias = "bytes | mmap.mmap"
_Mode: TypeAlias = Literal["rb", "wb"]

_COMPRESSED: dict[str, Callable[[str, _Mode], io.BufferedIOBase]] = {
    ".gz": lambda path, mode: gzip.GzipFile(path, mode),
    ".bz2": lambda path, mode: bz2.BZ2File(path, mode),
    ".xz": lambda path, mode: lzma.LZMAFile(path, mode),
}
# Smaller files are read outright: a map costs more than it saves there.
MMAP_MIN_BYTES = 1 << 16
# The separators of the atom-line readers: a vertical tab or a no-break space
# belongs to a field.
SEPARATORS = b" \t\n\r\f"
_FIELD = re.compile(r"[^ \t\n\r\f]+")
T = TypeVar("T")
FrameT = TypeVar("FrameT")


def label(file: Source | Target) -> str:
    """How messages name a file: its path quoted, or the kind of stream."""
    if isinstance(file, (str, os.PathLike)):
        return repr(os.fspath(file))
    name = getattr(file, "name", None)
    return repr(name) if isinstance(name, str) else f"<{type(file).__name__}>"


def _compression(path: str) -> Callable[[str, _Mode], io.BufferedIOBase] | None:
    return _COMPRESSED.get(os.path.splitext(path)[1].lower())


@contextmanager
def open_data(file: Source) -> Iterator[Data]:
    """The whole content of a file, mapped or read, for the time of a with block."""
    if not isinstance(file, (str, os.PathLike)):
        data = file.read()
        if not isinstance(data, bytes):
            raise TypeError(f"expected a file opened in binary mode, whose read() returns bytes, "
                            f"not {type(data).__name__}")
        yield data
        return
    path = os.fspath(file)
    compression = _compression(path)
    if compression is not None:
        with compression(path, "rb") as stream:
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
    with mapped:
        yield mapped


def write_data(file: Target, data: bytes) -> None:
    """Writes the whole of a file's bytes, compressed by the path's suffix."""
    if not isinstance(file, (str, os.PathLike)):
        file.write(data)
        return
    path = os.fspath(file)
    compression = _compression(path)
    with open(path, "wb") if compression is None else compression(path, "wb") as stream:
        stream.write(data)


def fields(line: str) -> list[str]:
    """The fields of a header line, split as the atom lines are."""
    return _FIELD.findall(line)


class Text:
    """The bytes of one file, line by line, with the file's name for messages."""

    def __init__(self, data: Data, kind: str, name: str) -> None:
        self.data = data
        self.kind = kind
        self.name = name
        self.size = len(data)

    def raw_line(self, pos: int) -> tuple[bytes | None, int]:
        """The line starting at byte pos without its line end (None past the
        end of the file), and the offset of the next line."""
        if pos >= self.size:
            return None, pos
        end = self.data.find(b"\n", pos)
        if end < 0:
            return self.data[pos:], self.size
        return self.data[pos:end], end + 1

    def line(self, pos: int) -> tuple[str | None, int]:
        """As raw_line, decoded: UTF-8, without a final CR."""
        raw, after = self.raw_line(pos)
        if raw is None:
            return None, after
        try:
            return raw.removesuffix(b"\r").decode(), after
        except UnicodeDecodeError:
            raise self.error(pos, "UTF-8 text", repr(raw)) from None

    def skip_blank(self, pos: int) -> int:
        """The offset of the first line at or after pos that is not blank
        (the end of the file when there is none)."""
        while True:
            raw, after = self.raw_line(pos)
            if raw is None or raw.strip(SEPARATORS):
                return pos
            pos = after

    def line_number(self, pos: int) -> int:
        """The number of the line holding byte pos, counted from 1."""
        if isinstance(self.data, bytes):
            return self.data.count(b"\n", 0, pos) + 1
        count, start = 1, 0
        while start < pos:
            stop = min(pos, start + (1 << 24))
            count += self.data[start:stop].count(b"\n")
            start = stop
        return count

    def error(self, pos: int, expected: str, got: str | None) -> ValueError:
        """The error for the line at pos: what was expected there, what was found
        (quoted text as given, None for the end of the file)."""
        found = "the end of the file" if got is None else got
        return ValueError(f"{self.kind} {self.name}, line {self.line_number(pos)}: expected {expected}, got {found}")

    def expected(self, pos: int, expected: str, line: str | None) -> ValueError:
        """As error, quoting the line found there."""
        return self.error(pos, expected, None if line is None else repr(line.strip()))

    def call(self, read: Callable[..., T], *args: object) -> T:
        """Calls a reader of _io_rs_buffers on this file; its ValueError, which
        already ends in the line and byte of the file, gets the file's name."""
        try:
            return read(*args)
        except ValueError as error:
            raise self.reworded(str(error)) from None

    def reworded(self, message: str) -> ValueError:
        prefix = self.kind + ": "
        return ValueError(f"{self.kind} {self.name}: {message.removeprefix(prefix)}")


class FrameFile(Generic[FrameT]):
    """A trajectory file held open for random access: the offset of every
    frame is found once, and frame k is then read alone."""

    _offsets: NDArray[np.int64]

    def __init__(self, file: Source, kind: str) -> None:
        self._stack = ExitStack()
        data = self._stack.enter_context(open_data(file))
        self._text: Text | None = Text(data, kind, label(file))
        try:
            self._offsets = self._index(self._text)
        except BaseException:
            self.close()
            raise

    def _index(self, text: Text) -> NDArray[np.int64]:
        raise NotImplementedError

    def _read(self, text: Text, k: int) -> FrameT:
        raise NotImplementedError

    def __len__(self) -> int:
        """The number of frames."""
        return len(self._offsets)

    def __getitem__(self, k: SupportsIndex) -> FrameT:
        """Frame k (negative k counts from the end), read alone."""
        index = operator.index(k)
        count = len(self._offsets)
        if index < 0:
            index += count
        if not 0 <= index < count:
            raise IndexError(f"frame index {operator.index(k)} out of range for {count} frames")
        if self._text is None:
            raise ValueError("I/O operation on a closed file")
        return self._read(self._text, index)

    def __iter__(self) -> Iterator[FrameT]:
        """Every frame in turn."""
        for k in range(len(self._offsets)):
            yield self[k]

    @property
    def closed(self) -> bool:
        """Whether close() has been called."""
        return self._text is None

    def close(self) -> None:
        """Releases the file (and its memory map); frames read stay valid."""
        self._text = None
        self._stack.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()
