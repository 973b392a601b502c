"""io-rs convert: the selected frames of one or more files, written in
another format, in input order, as they are read."""

from __future__ import annotations

import os
import sys
from collections.abc import Generator, Iterable, Iterator
from itertools import chain, islice
from typing import Any

import numpy as np
from numpy.typing import NDArray

import io_rs

from .checks import checked
from .notes import Notes, Refusal
from .progress import Progress
from .source import Selection, frames, parse_selection
from .target import output, refuse_existing


def _names(writing: bool) -> str:
    return ", ".join(info.name for info in io_rs.formats() if info.can_write or not writing)


def named_format(key: str, writing: bool) -> io_rs.FormatInfo:
    """The format --from or --to names."""
    for info in io_rs.formats():
        if key.lower().replace("-", "_") == info.name.replace("-", "_"):
            if writing and not info.can_write:
                raise Refusal(f"{info.title} files are read only: --to takes {_names(True)}")
            return info
    raise Refusal(f"unknown format {key!r}: one of {_names(writing)}")


def source_format(path: str, key: str | None) -> io_rs.FormatInfo:
    """The format --from names, or else the one the file's name (or its first bytes) gives."""
    if key is not None:
        return named_format(key, False)
    try:
        return io_rs.detect_format(path)
    except ValueError:
        if not os.path.exists(path):
            raise FileNotFoundError(2, "No such file or directory", path) from None
        raise Refusal(f"cannot tell the format of {path!r} from its name or its first lines: "
                      f"give --from ({_names(False)})") from None


def target_format(path: str, key: str | None, first: io_rs.Frame | None) -> io_rs.FormatInfo:
    if key is not None:
        return named_format(key, True)
    try:
        return io_rs.detect_format(path, writing=True, first=first)
    except ValueError:
        raise Refusal(f"cannot tell the format of {path!r} from its name: give --to ({_names(True)})") from None


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


def parse_type_map(text: str) -> dict[str, str]:
    """1=Si,2=O: LAMMPS atom types (numbers, or type labels as CT=C) to
    symbols; the reader takes keys that are whole numbers as type numbers."""
    found: dict[str, str] = {}
    for part in text.replace(" ", ",").split(","):
        if not part:
            continue
        key, _, symbol = part.partition("=")
        if not key.strip() or not symbol.strip():
            raise Refusal(f"--type-map takes TYPE=SYMBOL pairs such as 1=Si,2=O, not {text!r}")
        found[key.strip()] = symbol.strip()
    if not found:
        raise Refusal(f"--type-map takes TYPE=SYMBOL pairs such as 1=Si,2=O, not {text!r}")
    return found


def reading_options(info: io_rs.FormatInfo, given: dict[str, Any]) -> dict[str, Any]:
    """The reader's keywords among those given on the command line; one the
    format does not take is refused when given explicitly."""
    options = {}
    for key, value in given.items():
        if value is None:
            continue
        if key not in info.read_options:
            option = "--" + key.replace("_", "-")
            takers = [f.title for f in io_rs.formats() if key in f.read_options]
            raise Refusal(f"{option} applies to {' and '.join(takers) or 'no format'}, not {info.title}")
        options[key] = value
    return options


def convert(sources: list[str], target: str, *, from_: str | None, to: str | None, selection: str | None,
            decimals: int | None, cell: str | None, force: bool, quiet: bool, options: dict[str, Any]) -> None:
    readers = [source_format(path, from_) for path in sources]
    if to is not None:
        writer = named_format(to, True)
        if decimals is not None and not writer.decimals:
            raise Refusal(f"{writer.title} is written in a fixed layout: --decimals applies to "
                          f"{', '.join(f.title for f in io_rs.formats() if f.decimals)}")
    refuse_existing(target, force)
    given = None if cell is None else parse_cell(cell)
    picks: Selection = parse_selection(selection) if selection else slice(None)
    per_input = [reading_options(info, options) for info in readers]
    sizes = [os.path.getsize(path) for path in sources]
    notes = Notes(quiet)
    label = os.path.basename(sources[0]) if len(sources) == 1 else f"{len(sources)} files"
    with Progress(label, sum(sizes), quiet) as progress:

        def read() -> Generator[tuple[int, io_rs.Frame], None, None]:
            for path, info, size, keywords in zip(sources, readers, sizes, per_input):
                progress.start(size)
                yield from frames(path, info.name, keywords, picks, progress)

        stream = read()
        try:
            first = next(stream, None)
            writer = target_format(target, to, None if first is None else first[1])
            if decimals is not None and not writer.decimals:
                raise Refusal(f"{writer.title} is written in a fixed layout: --decimals applies to "
                              f"{', '.join(f.title for f in io_rs.formats() if f.decimals)}")
            everything: Iterable[tuple[int, io_rs.Frame]] = chain([] if first is None else [first], stream)
            if writer.name == "poscar":
                chosen = list(islice(everything, 2))
                if len(chosen) != 1:
                    raise Refusal(f"a POSCAR holds one frame, and {'none was' if not chosen else 'more than one was'}"
                                  " selected: pick one with --frames (--frames -1 is the last)")
                everything = chosen
            elif writer.name == "xdatcar" and first is None:
                raise Refusal("an XDATCAR needs at least one frame, and none was selected")
            count = 0

            def counted() -> Iterator[io_rs.Frame]:
                nonlocal count
                for frame in checked(everything, writer, given, notes):
                    count += 1
                    yield frame

            with output(target, force) as out:
                io_rs.write(out, counted(), format=writer.name, decimals=decimals)
        finally:
            stream.close()
    if not quiet:
        what = f"{readers[0].title} {sources[0]!r}" if len(sources) == 1 else f"{len(sources)} files"
        print(f"io-rs: {count} frame{'s' if count != 1 else ''} of {what} written to {writer.title} {target!r}",
              file=sys.stderr)
