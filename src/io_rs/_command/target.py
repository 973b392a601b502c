"""The output file, written whole or not at all.

The frames go to a temporary file in the target's folder (compressed by the
target's suffix), which is renamed onto the target only once complete: an
error or Ctrl-C removes it and leaves any earlier file as it was.
"""

from __future__ import annotations

import os
import queue
import tempfile
import threading
from collections.abc import Iterator
from contextlib import contextmanager, suppress

import io_rs
from io_rs._files import Compressor, compressing, compression_of, resolve_threads

from .notes import Refusal


class _Behind:
    """A compressing stream fed from another thread: write() hands the text
    on and returns, and the compressor (which gives up the interpreter lock
    while it works) takes it in order on a thread of its own, so that the
    frames of the next piece are read and formatted meanwhile. A few pieces
    wait at most: the reading keeps pace with the compression, and so does
    the progress bar. A failure of the compressor or the disk is raised by
    the next write or by close."""

    def __init__(self, stream: Compressor) -> None:
        self._stream = stream
        self._pieces: queue.Queue[bytes | None] = queue.Queue(maxsize=4)
        self._failure: BaseException | None = None
        self._thread = threading.Thread(target=self._compress, name="io-rs compressor", daemon=True)
        self._thread.start()

    def _compress(self) -> None:
        while (piece := self._pieces.get()) is not None:
            if self._failure is None:
                try:
                    self._stream.write(piece)
                except BaseException as failure:  # raised in the writing thread
                    self._failure = failure

    def write(self, data: bytes) -> int:
        if self._failure is not None:
            raise self._failure
        self._pieces.put(bytes(data))
        return len(data)

    def close(self, complete: bool = True) -> None:
        """Waits for the compressor to take what it was handed, and ends the
        stream; when not complete (the conversion failed), without taking
        more."""
        if not complete and self._failure is None:
            self._failure = RuntimeError("the conversion stopped")
        if self._thread.is_alive():
            self._pieces.put(None)
            self._thread.join()
        self._stream.close()
        if complete and self._failure is not None:
            raise self._failure


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def refuse_existing(path: str, force: bool) -> None:
    if not force and os.path.lexists(path):
        raise Refusal(f"{path!r} exists: --force replaces it")


@contextmanager
def output(path: str, force: bool) -> Iterator[io_rs.WritableBinary]:
    """An open binary stream whose bytes become the file at path on success."""
    refuse_existing(path, force)
    folder = os.path.dirname(os.path.abspath(path))
    suffix = compression_of(path)
    descriptor, temporary = tempfile.mkstemp(dir=folder, prefix=f".{os.path.basename(path)}.", suffix=".part")
    try:
        os.fchmod(descriptor, 0o666 & ~_umask())
        with os.fdopen(descriptor, "wb") as raw:
            if suffix:
                behind = _Behind(compressing(raw, suffix, resolve_threads(None)))
                try:
                    yield behind
                except BaseException:
                    behind.close(complete=False)
                    raise
                behind.close()
            else:
                yield raw
            raw.flush()
            os.fsync(raw.fileno())
        refuse_existing(path, force)
        os.replace(temporary, path)
    except BaseException:
        with suppress(FileNotFoundError):
            os.unlink(temporary)
        raise


