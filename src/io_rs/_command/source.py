"""The frames a conversion reads: a selection of an input file's frames, in
the order the selection gives, read a run at a time.

A plain file is opened for random access (io_rs.open: its frame table made
by one scan), so frames outside the selection are never read. A compressed
file is decompressed once from start to end (twice when the selection counts
from the end: once to count), through io_rs.iread.
"""

from __future__ import annotations

import io
from collections.abc import Generator, Iterator
from contextlib import contextmanager
from itertools import islice
from typing import Any

import io_rs
from io_rs._files import compression_of, decompressing

from .notes import Refusal
from .progress import Progress

Selection = slice | int
# Frames read by one reader call when a plain file's selection is a run.
RUN = 256


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
    with open(path, "rb") as raw, decompressing(raw, compression_of(path)) as stream:
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


def _runs(picks: range) -> Iterator[tuple[int, int]]:
    """The picks as ranges of consecutive frames (start, stop), a run at a time."""
    if picks.step == 1:
        for start in range(picks.start, picks.stop, RUN):
            yield start, min(start + RUN, picks.stop)
    else:
        for k in picks:
            yield k, k + 1


def frames(path: str, fmt: str, options: dict[str, Any], selection: Selection,
           progress: Progress) -> Generator[tuple[int, io_rs.Frame], None, None]:
    """The selected frames of a file, each with its place in the file (from
    0), the progress bar advanced as they are read."""
    if not compression_of(path):
        with io_rs.open(path, format=fmt, **options) as trajectory:
            count = len(trajectory)
            picks = _picks(selection, count)
            done = 0
            for start, stop in _runs(picks):
                for k, frame in enumerate(trajectory[start:stop], start):
                    done += 1
                    progress.frames_done(done, len(picks))
                    yield k, frame
        return
    if isinstance(selection, slice) and (selection.step or 1) < 0:
        raise Refusal("a negative step would hold every frame of a compressed file: decompress it first")
    if _from_end(selection):
        with opened(path) as (stream, _):
            count = sum(1 for _ in io_rs.iread(stream, format=fmt, **options))
        picks = _picks(selection, count)
        selection = slice(picks.start, picks.stop, picks.step)
    elif isinstance(selection, int):
        selection = slice(selection, selection + 1)
    with opened(path) as (stream, raw):
        read = islice(enumerate(io_rs.iread(stream, format=fmt, **options)), selection.start, selection.stop,
                      selection.step)
        for k, frame in read:
            progress.bytes_done(raw.tell())
            yield k, frame
