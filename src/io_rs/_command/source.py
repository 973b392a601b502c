"""The frames a conversion reads: a selection of an input file's frames, in
the order the selection gives, read one at a time.

A plain file is read through its frame table, so frames outside the
selection are never read. A compressed file is decompressed once from start
to end (twice when the selection counts from the end: once to count).
"""

from __future__ import annotations

import bz2
import gzip
import io
import lzma
import os
from collections.abc import Callable, Generator, Iterator
from contextlib import contextmanager
from itertools import islice

from .formats import Format, split_compression
from .frame import Frame, Refusal
from .progress import Progress

Selection = slice | int

_DECOMPRESS: dict[str, Callable[[io.BufferedReader], io.BufferedIOBase]] = {
    ".gz": lambda raw: gzip.GzipFile(fileobj=raw, mode="rb"),
    ".bz2": lambda raw: bz2.BZ2File(raw, "rb"),
    ".xz": lambda raw: lzma.LZMAFile(raw, "rb"),
}


def parse_selection(text: str) -> Selection:
    """START:STOP:STEP as Python slices have it, or one frame K."""
    try:
        if ":" not in text:
            return int(text)
        parts = text.split(":")
        if len(parts) > 3:
            raise ValueError
        numbers = [int(part) if part.strip() else None for part in parts]
    except ValueError:
        raise Refusal(f"--frames takes START:STOP:STEP or one frame number, not {text!r}") from None
    if len(numbers) == 3 and numbers[2] == 0:
        raise Refusal("--frames: the step cannot be zero")
    return slice(*numbers)


class Named:
    """A decompressing stream that messages name by the file's path."""

    def __init__(self, stream: io.BufferedIOBase, name: str) -> None:
        self._stream = stream
        self.name = name

    def read(self, size: int = -1, /) -> bytes:
        return self._stream.read(size)


@contextmanager
def opened(path: str) -> Iterator[tuple[Named, io.BufferedReader]]:
    """The decompressed stream of a compressed file, and the file under it
    (whose position is how much of it has been read)."""
    with open(path, "rb") as raw, _DECOMPRESS[split_compression(path)[1]](raw) as stream:
        yield Named(stream, path), raw


def _picks(selection: Selection, count: int) -> range:
    if isinstance(selection, int):
        if not -count <= selection < count:
            raise Refusal(f"--frames {selection}: the file has {count} frames")
        selection = slice(selection % count, selection % count + 1)
    return range(count)[selection]


def _from_end(selection: Selection) -> bool:
    if isinstance(selection, int):
        return selection < 0
    return any(value is not None and value < 0 for value in (selection.start, selection.stop, selection.step))


def frames(path: str, fmt: Format, selection: Selection, quiet: bool) -> Generator[Frame, None, None]:
    """The selected frames of a file, with a progress bar while they are read."""
    size = os.path.getsize(path)
    if not split_compression(path)[1]:
        indexed = fmt.open(path)
        try:
            picks = _picks(selection, indexed.count)
            with Progress(os.path.basename(path), size, len(picks), quiet) as progress:
                for k in picks:
                    frame = indexed.read(k)
                    progress.advance(size * (k + 1) // indexed.count)
                    yield frame
        finally:
            indexed.close()
        return
    if isinstance(selection, slice) and (selection.step or 1) < 0:
        raise Refusal("a negative step would hold every frame of a compressed file: decompress it first")
    if _from_end(selection):
        with opened(path) as (stream, _):
            count = sum(1 for _ in fmt.stream(stream))
        picks = _picks(selection, count)
        selection = slice(picks.start, picks.stop, picks.step)
    elif isinstance(selection, int):
        selection = slice(selection, selection + 1)
    with opened(path) as (stream, raw), Progress(os.path.basename(path), size, None, quiet) as progress:
        for frame in islice(fmt.stream(stream), selection.start, selection.stop, selection.step):
            progress.advance(raw.tell())
            yield frame
