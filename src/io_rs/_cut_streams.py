"""Compressed files read up to where their data stops.

A run killed while it writes a compressed file (a dump written through
gzip, a trajectory compressed as it grows) leaves data without its end. The
standard library's readers raise EOFError on the read that reaches the cut,
and a read of the whole file, or of a large chunk, then loses everything it
had decompressed. Here each step takes what one step of the decompressor
gives (read1, which raises only where nothing at all is left), so that a cut
file reads as the text it holds before the cut, and a TruncatedWarning says
that the file was cut there. The format's reader then decides about the
text as for a plain file cut at the same place.
"""

from __future__ import annotations

import gzip
import io
import warnings
from typing import Protocol

# Bytes a step asks the decompressor for, and what a step gives beyond the
# bytes asked for is held for the next read. 1 MiB: a buffer the heap keeps
# from step to step (a much larger one is fresh pages every step).
STEP = 1 << 20
# bzip2's, more than any one step of its input gives (a block holds at
# most about 46 MB of text): BZ2File keeps the rest of a block that a
# smaller request left, and drops it where the file is cut right after
# that block. bzip2 decompresses slowly enough that the fresh pages of so
# large a request cost nothing measurable.
BZIP2_STEP = 1 << 26


class Decompressor(Protocol):
    """What a cut stream needs from the standard library's GzipFile, BZ2File
    and LZMAFile."""

    def read1(self, size: int = -1, /) -> bytes: ...

    def seek(self, offset: int, whence: int = 0, /) -> int: ...

    def close(self) -> None: ...


class CutStream(io.BufferedIOBase):
    """A decompressed stream that ends where the compressed data ends, cut
    or not. `name` is how the warning names the file; with `warn` false
    (a look at a file's first bytes, or a frame read again after a scan that
    warned) a cut ends the stream without a warning."""

    def __init__(self, stream: Decompressor, name: str, warn: bool = True, step: int = STEP) -> None:
        super().__init__()
        self._stream = stream
        self._step_size = step
        self._name = name
        self._warn = warn
        self._position = 0
        self._held = memoryview(b"")  # decompressed, not yet read
        # Whether the data was found to stop before its end.
        self.cut = False

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def _step(self, size: int) -> memoryview:
        """Up to size bytes; none only where the data has ended."""
        if not self._held and not self.cut and size > 0:
            try:
                self._held = memoryview(self._stream.read1(self._step_size))
            except EOFError:
                self._found_cut()
            except gzip.BadGzipFile as error:
                # A member cut after the first of its two magic bytes (the one
                # byte is all the reader saw of it): the same cut, said as
                # though the bytes were not gzip at all.
                if str(error) != "Not a gzipped file (b'\\x1f')":
                    raise
                self._found_cut()
        part = self._held[:max(size, 0)]
        self._held = self._held[len(part):]
        self._position += len(part)
        return part

    def _found_cut(self) -> None:
        # _files builds on this module; its warning is looked up when needed.
        from ._files import TruncatedWarning

        self.cut = True
        if self._warn:
            self._warn = False  # once a stream, however often it is read again
            warnings.warn(f"{self._name}: the compressed data stops before its end after {self._position} bytes of "
                          f"text: the file was cut short there; the text before the cut is read",
                          TruncatedWarning, stacklevel=2)

    def read(self, size: int | None = -1, /) -> bytes:
        parts = []
        left = -1 if size is None or size < 0 else size
        while left != 0:
            part = self._step(self._step_size if left < 0 else left)
            if not part:
                break
            parts.append(part)
            if left > 0:
                left -= len(part)
        return b"".join(parts)

    def read1(self, size: int = -1, /) -> bytes:
        return bytes(self._step(self._step_size if size < 0 else size))

    def readinto(self, buffer: bytearray | memoryview, /) -> int:  # type: ignore[override]
        with memoryview(buffer) as view, view.cast("B") as target:
            got = 0
            while got < len(target):
                part = self._step(len(target) - got)
                if not part:
                    break
                target[got:got + len(part)] = part
                got += len(part)
            return got

    def seek(self, offset: int, whence: int = io.SEEK_SET, /) -> int:
        """Forward by decompressing and dropping; back to an earlier place
        by starting again from the file's start."""
        if whence == io.SEEK_CUR:
            offset += self._position
        elif whence != io.SEEK_SET:
            raise io.UnsupportedOperation("a compressed stream seeks from its start or its position only")
        if offset < 0:
            raise ValueError(f"negative seek position {offset}")
        if offset < self._position:
            self._stream.seek(0)
            self._position = 0
            self._held = memoryview(b"")
            self.cut = False
        while self._position < offset and self._step(offset - self._position):
            pass
        return self._position

    def tell(self) -> int:
        return self._position

    def close(self) -> None:
        if not self.closed:
            try:
                self._stream.close()
            finally:
                super().close()
