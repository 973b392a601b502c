"""gzip written on threads: one member, as the gzip tool writes, whose
deflate stream is made a block at a time on a pool of threads.

zlib compresses a few tens of MB a second at level 6, far below the speed the
text is made at, so a single compressor sets the pace of every compressed
write. Each block here is deflated on its own, primed with the 32 KiB before
it (the window a decompressor then holds), and all but the last end in a
full flush, which closes the block on a byte boundary without ending the
stream: their bytes one after the other are one deflate stream, which every
gzip reader takes. zlib gives up the interpreter lock while it compresses.
"""

from __future__ import annotations

import struct
import time
import zlib
from collections import deque
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Protocol

# Bytes a block: large enough that the dictionary's priming loses nothing
# measurable, small enough that a few per thread hold little.
BLOCK = 1 << 20
_WINDOW = 1 << 15


class _Raw(Protocol):
    def write(self, data: bytes, /) -> object: ...


def _deflate(block: bytes, dictionary: bytes, level: int, last: bool) -> bytes:
    compressor = (zlib.compressobj(level, zlib.DEFLATED, -zlib.MAX_WBITS, zdict=dictionary) if dictionary
                  else zlib.compressobj(level, zlib.DEFLATED, -zlib.MAX_WBITS))
    return compressor.compress(block) + compressor.flush(zlib.Z_FINISH if last else zlib.Z_FULL_FLUSH)


def _header(level: int) -> bytes:
    # No name and the time of writing, as gzip.compress writes them; the extra
    # flags say the slowest (2) or fastest (4) level, or neither (0).
    extra = 2 if level == 9 else 4 if level == 1 else 0
    return b"\x1f\x8b\x08\x00" + struct.pack("<I", int(time.time()) & 0xFFFFFFFF) + bytes([extra, 255])


class GzipOnThreads:
    """A writable binary stream of gzip onto raw (which it does not close),
    deflated on `threads` threads at `level`."""

    def __init__(self, raw: _Raw, level: int, threads: int) -> None:
        self._raw = raw
        self._level = level
        self._pool = ThreadPoolExecutor(max_workers=threads, thread_name_prefix="io-rs gzip")
        self._waiting: deque[Future[bytes]] = deque()
        self._most_waiting = 2 * threads
        self._pending = bytearray()
        self._window = b""
        self._crc = 0
        self._size = 0
        self._closed = False
        raw.write(_header(level))

    def writable(self) -> bool:
        return True

    def write(self, data: bytes | bytearray | memoryview) -> int:
        if self._closed:
            raise ValueError("write to a closed gzip stream")
        view = memoryview(data).cast("B")
        self._crc = zlib.crc32(view, self._crc)
        self._size += len(view)
        self._pending += view
        while len(self._pending) >= BLOCK:
            block = bytes(self._pending[:BLOCK])
            del self._pending[:BLOCK]
            self._send(block, last=False)
        return len(view)

    def _send(self, block: bytes, last: bool) -> None:
        self._waiting.append(self._pool.submit(_deflate, block, self._window, self._level, last))
        self._window = block[-_WINDOW:]
        while len(self._waiting) > (0 if last else self._most_waiting):
            self._raw.write(self._waiting.popleft().result())

    def flush(self) -> None:
        """Nothing to hand on before close: blocks go out whole."""

    def close(self) -> None:
        """Deflates what is left, ending the stream, and writes the trailer."""
        if self._closed:
            return
        self._closed = True
        try:
            self._send(bytes(self._pending), last=True)
            self._raw.write(struct.pack("<II", self._crc, self._size & 0xFFFFFFFF))
        finally:
            for waiting in self._waiting:
                waiting.cancel()
            self._pool.shutdown(wait=True)

    def abandon(self) -> None:
        """Stops without ending the stream (a write that failed)."""
        self._closed = True
        for waiting in self._waiting:
            waiting.cancel()
        self._pool.shutdown(wait=True)

    def __enter__(self) -> GzipOnThreads:
        return self

    def __exit__(self, kind: object, value: object, traceback: object) -> None:
        if kind is None:
            self.close()
        else:
            self.abandon()
