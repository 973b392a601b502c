"""io-rs convert: the selected frames of one file, written in another format."""

from __future__ import annotations

import sys
from collections.abc import Iterable, Iterator

import numpy as np
from numpy.typing import NDArray

from .formats import FORMATS, Format, recognise, split_compression
from .frame import Frame, Refusal
from .notes import Notes
from .source import frames, opened, parse_selection
from .target import output, refuse_existing


def _head(path: str) -> bytes:
    if split_compression(path)[1]:
        with opened(path) as (stream, _):
            return stream.read(4096)
    with open(path, "rb") as plain:
        return plain.read(4096)


def format_of(path: str, key: str | None, reading: bool) -> Format:
    """The format --from/--to names, or else the one the file's name gives."""
    if key is not None:
        if key not in FORMATS:
            raise Refusal(f"unknown format {key!r}: one of {', '.join(FORMATS)}")
        return FORMATS[key]
    found = recognise(path, (lambda: _head(path)) if reading else None)
    if found is None:
        option = "--from" if reading else "--to"
        raise Refusal(f"cannot tell the format of {path!r} from its name: give {option} ({', '.join(FORMATS)})")
    return found


def parse_cell(text: str) -> NDArray[np.float64]:
    """Three lengths (a right-angled cell) or nine numbers (rows a, b, c)."""
    try:
        numbers = [float(part) for part in text.replace(",", " ").split()]
    except ValueError:
        numbers = []
    if len(numbers) == 3:
        return np.diag(numbers)
    if len(numbers) == 9:
        return np.array(numbers).reshape(3, 3)
    raise Refusal(f"--cell takes three lengths or nine numbers (rows a, b, c), not {text!r}")


def _with_cell(source: Iterable[Frame], cell: NDArray[np.float64]) -> Iterator[Frame]:
    for frame in source:
        if frame.cell is None:
            frame.cell = cell
            frame.pbc = np.ones(3, dtype=bool)
        yield frame


def convert(source: str, target: str, *, from_: str | None, to: str | None, selection: str | None,
            decimals: int | None, cell: str | None, force: bool, quiet: bool) -> None:
    reader = format_of(source, from_, True)
    writer = format_of(target, to, False)
    if decimals is not None and not writer.decimals:
        raise Refusal(f"{writer.name} is written in a fixed layout: --decimals applies to extended XYZ")
    refuse_existing(target, force)
    given = None if cell is None else parse_cell(cell)
    read = frames(source, reader, parse_selection(selection) if selection else slice(None), quiet)
    try:
        with output(target, force) as stream:
            count = writer.write(stream, read if given is None else _with_cell(read, given), decimals, Notes())
    finally:
        read.close()
    if not quiet:
        print(f"io-rs: {count} frame{'s' if count != 1 else ''} of {reader.name} {source!r} written to "
              f"{writer.name} {target!r}", file=sys.stderr)
