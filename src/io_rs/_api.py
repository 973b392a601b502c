"""One entry point for every format: read, iread, open and write a file
whatever its format, recognised by its name or its first bytes."""

from __future__ import annotations

import os
from collections.abc import Iterable, Iterator
from itertools import chain
from typing import Any

from ._files import Source, Target, resolve_threads
from ._formats import FormatInfo, for_reading, for_writing, options_for
from ._formats import formats as _formats
from ._frame import Frame
from ._trajectory import Trajectory


def read(file: Source, *, format: str | None = None, threads: int | None = None, **options: Any) -> list[Frame]:
    """Every frame of a file: a path (.gz, .bz2, .xz decompressed by suffix)
    or an open binary file (then `format` is needed). The format is the one
    named, else the one the file's name gives, else the one its first bytes
    show (io_rs.formats() lists them). A malformed file raises FormatError
    (a ValueError) naming the file and the line."""
    row = for_reading(file, format)
    return row.read(file, resolve_threads(threads), **options_for(row, options, False))


def iread(file: Source, *, format: str | None = None, threads: int | None = None, **options: Any) -> Iterator[Frame]:
    """The frames of a file one at a time, as read() finds them: a compressed
    file or a stream is read a window at a time, never held whole."""
    row = for_reading(file, format)
    return row.iread(file, resolve_threads(threads), **options_for(row, options, False))


def open(file: Source, *, format: str | None = None, threads: int | None = None, **options: Any) -> Trajectory:
    """A file's frames for random access: ``len(t)``, ``t[k]`` (read alone),
    ``t[a:b]``, iteration, ``with``, ``t.batch(a, b)``, ``t.infos()`` and,
    where every frame has the same atoms, ``t.to_dask()``."""
    row = for_reading(file, format)
    return row.open(file, resolve_threads(threads), **options_for(row, options, False))


def write(file: Target, frames: Frame | Iterable[Frame], *, format: str | None = None, decimals: int | None = None,
          **options: Any) -> None:
    """Writes frames (one, or any iterable of them, consumed as they come) to
    a path (.gz, .bz2, .xz compressed by suffix) or an open binary file (then
    `format` is needed). An .xyz name is written as extended XYZ where the
    first frame holds what plain XYZ cannot (per-atom arrays, per-frame
    values beyond its comment), as plain XYZ otherwise. `decimals` chooses
    the decimals of the formats that allow it (extended XYZ, LAMMPS dumps);
    the others have a fixed layout."""
    stream = iter([frames] if isinstance(frames, Frame) else frames)
    first = next(stream, None)
    row = for_writing(file, format, first)
    if decimals is not None and not row.info.decimals:
        raise ValueError(f"{row.info.title} is written in a fixed layout: decimals= applies to "
                         f"{', '.join(info.title for info in _formats() if info.decimals)}")
    checked = options_for(row, options, True)
    assert row.write is not None
    row.write(file, chain([] if first is None else [first], stream), decimals, **checked)


def detect_format(file: str | os.PathLike[str], *, writing: bool = False, first: Frame | None = None) -> FormatInfo:
    """The format io_rs.read (or, with writing=True, io_rs.write given `first`
    as the first frame) would use for a file named so: by its name, else
    (reading) by its first bytes. An unknown or ambiguous file raises
    ValueError listing the formats."""
    if writing:
        return for_writing(file, None, first).info
    return for_reading(file, None).info


def formats() -> list[FormatInfo]:
    """Every format io_rs reads: its name (for format=), title, the file names
    it is recognised by, and whether it can be written."""
    return _formats()
