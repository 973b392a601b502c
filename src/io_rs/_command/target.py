"""The output file, written whole or not at all.

The frames go to a temporary file in the target's folder (compressed by the
target's suffix), which is renamed onto the target only once complete: an
error or Ctrl-C removes it and leaves any earlier file as it was.
"""

from __future__ import annotations

import bz2
import gzip
import io
import lzma
import os
import tempfile
from collections.abc import Callable, Iterator
from contextlib import contextmanager, suppress

from .notes import Refusal
from .source import compression

# gzip at level 6, the gzip tool's default: level 9 costs several times the time for a
# few per cent of size on files of numbers.
_COMPRESS: dict[str, Callable[[io.BufferedWriter, str], io.BufferedIOBase]] = {
    ".gz": lambda raw, name: gzip.GzipFile(filename=name, mode="wb", fileobj=raw, compresslevel=6),
    ".bz2": lambda raw, name: bz2.BZ2File(raw, "wb"),
    ".xz": lambda raw, name: lzma.LZMAFile(raw, "wb"),
}


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def refuse_existing(path: str, force: bool) -> None:
    if not force and os.path.lexists(path):
        raise Refusal(f"{path!r} exists: --force replaces it")


@contextmanager
def output(path: str, force: bool) -> Iterator[io.BufferedIOBase]:
    """An open binary stream whose bytes become the file at path on success."""
    refuse_existing(path, force)
    folder = os.path.dirname(os.path.abspath(path))
    suffix = compression(path)
    root = path[:-len(suffix)] if suffix else path
    descriptor, temporary = tempfile.mkstemp(dir=folder, prefix=f".{os.path.basename(path)}.", suffix=".part")
    try:
        os.fchmod(descriptor, 0o666 & ~_umask())
        with os.fdopen(descriptor, "wb") as raw:
            if suffix:
                with _COMPRESS[suffix](raw, os.path.basename(root)) as stream:
                    yield stream
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


