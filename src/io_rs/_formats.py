"""The table of formats: one row each, saying how a format is recognised,
read, opened and written. io_rs.read, iread, open and write and the io-rs
command all go through it; a new format is one more row.
"""

from __future__ import annotations

import fnmatch
import os
import re
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass
from typing import Any

from . import _extxyz, _lammps, _outcar, _poscar, _vasprun, _xdatcar, _xyz
from ._files import Source, Target, compression_of, read_head
from ._frame import Frame
from ._trajectory import Trajectory

Reader = Callable[..., list[Frame]]
IterReader = Callable[..., Iterator[Frame]]
Opener = Callable[..., Trajectory]
Writer = Callable[..., int]


@dataclass(frozen=True, slots=True)
class FormatInfo:
    """A format as io_rs.formats() lists it."""

    #: The name to pass as format= (and to the command's --from and --to).
    name: str
    #: What messages call it.
    title: str
    #: The file names it is recognised by (case aside; a .gz, .bz2 or .xz
    #: suffix after them means compressed).
    patterns: tuple[str, ...]
    #: Whether io_rs.write can write it.
    can_write: bool
    #: Whether write's decimals= chooses how its numbers are written.
    decimals: bool
    #: The keywords its readers take beyond threads=.
    read_options: tuple[str, ...] = ()
    #: The keywords its writer takes beyond decimals=.
    write_options: tuple[str, ...] = ()


@dataclass(frozen=True, slots=True)
class Format:
    """One row of the table."""

    info: FormatInfo
    read: Reader
    iread: IterReader
    open: Opener
    write: Writer | None
    #: Whether the first bytes of a file (a few KiB) look like this format.
    sniff: Callable[[bytes], bool]

    @property
    def name(self) -> str:
        return self.info.name

    def matches(self, name: str) -> bool:
        """Whether a file name (without its compression suffix) is this format's."""
        lower = name.lower()
        return any(fnmatch.fnmatchcase(lower, pattern.lower()) for pattern in self.info.patterns)


_COUNT = re.compile(rb"[ \t]*[0-9]+[ \t\r]*")


def _lines(head: bytes, count: int) -> list[bytes]:
    return [line.rstrip(b"\r") for line in head.split(b"\n", count)[:count]]


def _xyz_comment(head: bytes) -> bytes | None:
    """The first comment line, where the first bytes open an XYZ frame."""
    lines = head.split(b"\n", 2)
    if len(lines) < 3 or not _COUNT.fullmatch(lines[0]):
        return None
    return lines[1].rstrip(b"\r")


def _extended(comment: bytes) -> bool:
    """Whether an XYZ comment line holds key=value pairs: extended XYZ."""
    import _io_rs_buffers
    try:
        return not _io_rs_buffers.parse_extxyz_comment(comment.decode("utf-8"))[4]
    except (UnicodeDecodeError, ValueError):
        return b"Properties=" in comment or b"Lattice=" in comment


def _numbers(line: bytes, count: int | None) -> bool:
    fields = line.split()
    if count is not None and len(fields) != count:
        return False
    try:
        [float(field) for field in fields]
    except ValueError:
        return False
    return bool(fields)


def _vasp_mode(head: bytes) -> bytes | None:
    """The line after a VASP header's counts (lowered), where the first bytes
    hold such a header: comment, scale, three lattice rows, species, counts."""
    lines = _lines(head, 9)
    if len(lines) < 8 or not (_numbers(lines[1], 1) or _numbers(lines[1], 3)):
        return None
    if not all(_numbers(line, 3) for line in lines[2:5]):
        return None
    counts_at = 5 if all(field.isdigit() for field in lines[5].split()) and lines[5].split() else 6
    if not lines[counts_at].split() or not all(field.isdigit() for field in lines[counts_at].split()):
        return None
    return lines[counts_at + 1].strip().lower() if counts_at + 1 < len(lines) else None


def _sniff_poscar(head: bytes) -> bool:
    mode = _vasp_mode(head)
    return mode is not None and mode[:1] in (b"s", b"d", b"c", b"k") and not mode.startswith(b"direct configuration")


def _sniff_xdatcar(head: bytes) -> bool:
    mode = _vasp_mode(head)
    return mode is not None and (mode.startswith(b"direct configuration") or mode == b"")


def _sniff_xyz(head: bytes) -> bool:
    comment = _xyz_comment(head)
    return comment is not None and not _extended(comment)


def _sniff_extxyz(head: bytes) -> bool:
    comment = _xyz_comment(head)
    return comment is not None and _extended(comment)


FORMATS: dict[str, Format] = {row.name: row for row in [
    Format(FormatInfo("poscar", "POSCAR", ("*poscar*", "*contcar*", "*.vasp"), True, False),
           _poscar.read_frames, _poscar.iread_frames, _poscar.open_frames, _poscar.write_frames, _sniff_poscar),
    Format(FormatInfo("xdatcar", "XDATCAR", ("*xdatcar*",), True, False),
           _xdatcar.read_frames, _xdatcar.iread_frames, _xdatcar.open_frames, _xdatcar.write_frames,
           _sniff_xdatcar),
    Format(FormatInfo("xyz", "XYZ", ("*.xyz",), True, False),
           _xyz.read_frames, _xyz.iread_frames, _xyz.open_frames, _xyz.write_frames, _sniff_xyz),
    Format(FormatInfo("extxyz", "extended XYZ", ("*.extxyz", "*.xyz"), True, True),
           _extxyz.read_frames, _extxyz.iread_frames, _extxyz.open_frames, _extxyz.write_frames, _sniff_extxyz),
    Format(FormatInfo("lammps_dump", "LAMMPS dump", ("*.lammpstrj", "*.dump", "dump.*"), True, True,
                      ("type_map", "sort"), ("columns",)),
           _lammps.read_frames, _lammps.iread_frames, _lammps.open_frames, _lammps.write_frames, _lammps.sniff),
    Format(FormatInfo("vasprun", "vasprun.xml", ("vasprun*.xml", "vasprun.xml*"), False, False, ("steps",)),
           _vasprun.read_frames, _vasprun.iread_frames, _vasprun.open_frames, None, _vasprun.sniff),
    Format(FormatInfo("outcar", "OUTCAR", ("*outcar*",), False, False, ("steps",)),
           _outcar.read_frames, _outcar.iread_frames, _outcar.open_frames, None, _outcar.sniff),
]}


def formats() -> list[FormatInfo]:
    """Every format: its name, file names, and whether it can be written."""
    return [row.info for row in FORMATS.values()]


def _listing() -> str:
    return ", ".join(f"{row.name} ({' '.join(row.info.patterns)})" for row in FORMATS.values())


def by_name(name: str) -> Format:
    """The row of a format named by format= or --from/--to."""
    row = FORMATS.get(name.lower().replace("-", "_") if name else name)
    if row is None:
        row = next((r for r in FORMATS.values() if r.info.title.lower() == name.lower()), None)
    if row is None:
        raise ValueError(f"unknown format {name!r}: one of {', '.join(FORMATS)}")
    return row


def _plain_name(path: str) -> str:
    name = os.path.basename(path)
    return name[:-len(compression_of(name))] if compression_of(name) else name


def _by_content(head: bytes, rows: Iterable[Format]) -> list[Format]:
    return [row for row in rows if row.sniff(head)]


def _unknown(what: str, found: list[Format]) -> ValueError:
    if found:
        return ValueError(f"{what} could be {' or '.join(row.name for row in found)}: name one with format= "
                          f"(the command's --from or --to); formats: {_listing()}")
    return ValueError(f"cannot tell the format of {what}: name one with format= (the command's --from or --to); "
                      f"formats: {_listing()}")


def for_reading(file: Source, format: str | None) -> Format:
    """The format to read a file as: the one named, else the one its name
    gives (an .xyz by its first comment line), else the one its first bytes
    look like."""
    if format is not None:
        return by_name(format)
    if not isinstance(file, (str, os.PathLike)):
        raise ValueError(f"an open file has no name to tell its format by: name one with format=; "
                         f"formats: {', '.join(FORMATS)}")
    path = os.fspath(file)
    named = [row for row in FORMATS.values() if row.matches(_plain_name(path))]
    if len(named) == 1:
        return named[0]
    head = read_head(path)
    found = _by_content(head, named or FORMATS.values())
    if len(found) == 1:
        return found[0]
    if named and not found:
        # Named as a format but not like it: its reader says where and why.
        return named[0]
    raise _unknown(repr(path), found)


def for_writing(file: Target, format: str | None, first: Frame | None) -> Format:
    """The format to write a file as: the one named, else the one its name
    gives. An .xyz name is extended XYZ when the first frame holds what plain
    XYZ cannot (per-atom arrays, per-frame values beyond its comment and
    step number), plain XYZ otherwise."""
    if format is not None:
        row = by_name(format)
    elif not isinstance(file, (str, os.PathLike)):
        raise ValueError(f"an open file has no name to tell its format by: name one with format=; "
                         f"formats: {', '.join(name for name, row in FORMATS.items() if row.write)}")
    else:
        named = [row for row in FORMATS.values() if row.write is not None and row.matches(_plain_name(os.fspath(file)))]
        if not named:
            raise _unknown(repr(os.fspath(file)), [])
        if {row.name for row in named} == {"xyz", "extxyz"}:
            row = FORMATS["extxyz" if first is not None and needs_extended(first) else "xyz"]
        else:
            row = named[0]
    if row.write is None:
        raise ValueError(f"{row.info.title} files are read only; formats that can be written: "
                         f"{', '.join(name for name, r in FORMATS.items() if r.write)}")
    return row


def needs_extended(frame: Frame) -> bool:
    """Whether a frame holds what plain XYZ cannot: per-atom arrays, or info
    beyond its comment and step number (the cell aside)."""
    return bool(frame.arrays) or bool(set(frame.info) - {"comment", "step"})


def options_for(row: Format, options: dict[str, Any], writing: bool) -> dict[str, Any]:
    """The keywords a format takes, checked: one it does not take is a TypeError."""
    allowed = row.info.write_options if writing else row.info.read_options
    for key in options:
        if key not in allowed:
            takes = f"takes {', '.join(allowed)}" if allowed else "takes no other keywords"
            raise TypeError(f"{row.info.title} {'writing' if writing else 'reading'} {takes}, not {key}=")
    return options
