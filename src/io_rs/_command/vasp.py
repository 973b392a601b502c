"""POSCAR/CONTCAR and XDATCAR files as frames, and frames as those files.

A VASP file lists its atoms grouped by species. A frame from elsewhere whose
species are interleaved is regrouped in the order the species first appear,
each species keeping the order of its atoms, and a note says so.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator

import numpy as np
from numpy.typing import NDArray

import io_rs

from .._poscar import Poscar
from .._vasp import VaspHeader
from .._xdatcar import XdatcarFrame
from .frame import Frame, Refusal, grouping
from .notes import Notes


def _symbols(header: VaspHeader) -> list[str] | None:
    if header.species is None:
        return None
    return [name for name, count in zip(header.species, header.counts) for _ in range(count)]


def poscar_frame(poscar: Poscar, index: int) -> Frame:
    header = VaspHeader(poscar.comment, poscar.scale, poscar.lattice, poscar.species, poscar.counts)
    positions = np.asarray(poscar.positions, dtype=np.float64)
    arrays: dict[str, NDArray[np.generic]] = {}
    if poscar.velocities is not None:
        arrays["velocities"] = poscar.velocities
    if poscar.flags is not None:
        arrays["move_mask"] = ~poscar.flags
    return Frame(index, _symbols(header), None if poscar.cartesian else positions,
                 positions * header.factor if poscar.cartesian else None, header.cell, poscar.comment, index + 1,
                 header, arrays=arrays, source=poscar)


def xdatcar_frame(header: VaspHeader, frame: XdatcarFrame, index: int) -> Frame:
    own = VaspHeader(header.comment, header.scale, frame.lattice, header.species, header.counts)
    return Frame(index, _symbols(own), frame.positions, None, own.cell, header.comment, frame.number, own)


def _layout(frame: Frame, target: str) -> tuple[VaspHeader, NDArray[np.intp] | None]:
    """The header a VASP file writes for the frame, and the order that groups
    its atoms by species (None when they are grouped)."""
    if frame.header is not None:
        return frame.header, None
    species, counts, order = grouping(frame.require_symbols(target))
    comment = frame.comment.splitlines()[0] if frame.comment.strip() else " ".join(species)
    return VaspHeader(comment, 1.0, frame.require_cell(target), species, counts), order


def _note_regrouped(frame: Frame, header: VaspHeader, target: str, notes: Notes) -> None:
    notes.say(f"frame {frame.index + 1} lists its species interleaved; {target} groups them: atoms regrouped in order "
              f"of first appearance ({' '.join(header.species or [])}), keeping their order within each species")


def _grouped(array: NDArray[np.generic] | None, order: NDArray[np.intp] | None) -> NDArray[np.generic] | None:
    return array if array is None or order is None else array[order]


def write_poscar(stream: io_rs.WritableBinary, frames: Iterable[Frame], decimals: int | None, notes: Notes) -> int:
    chosen = [frame for _, frame in zip(range(2), frames)]
    if len(chosen) != 1:
        raise Refusal(f"a POSCAR holds one frame, and {'none was' if not chosen else 'more than one was'} selected: "
                      "pick one with --frames (--frames -1 is the last)")
    frame = chosen[0]
    if isinstance(frame.source, Poscar):
        io_rs.write_poscar(stream, frame.source)
        return 1
    header, order = _layout(frame, "a POSCAR")
    if order is not None:
        _note_regrouped(frame, header, "a POSCAR", notes)
    cartesian = frame.fractional is None
    positions = frame.cartesian if frame.fractional is None else frame.fractional
    mask = frame.arrays.get("move_mask")
    velocities = frame.arrays.get("velocities")
    io_rs.write_poscar(stream, Poscar(
        header.comment, header.scale, header.lattice, header.species, header.counts, cartesian,
        np.asarray(_grouped(positions, order), dtype=np.float64),
        None if mask is None else ~np.asarray(_grouped(mask, order), dtype=np.bool_).reshape(-1, 3),
        None if velocities is None else np.asarray(_grouped(velocities, order), dtype=np.float64)))
    return 1


def write_xdatcar(stream: io_rs.WritableBinary, frames: Iterable[Frame], decimals: int | None, notes: Notes) -> int:
    """One species order for every frame; a cell that changes gives a
    variable-cell file (the header repeated before each new cell)."""
    frames = iter(frames)
    first = next(frames, None)
    if first is None:
        raise Refusal("an XDATCAR needs at least one frame, and none was selected")
    header, _ = _layout(first, "an XDATCAR")

    def converted(frame: Frame) -> XdatcarFrame:
        own, order = _layout(frame, "an XDATCAR")
        if own.species != header.species or own.counts != header.counts or own.scale != header.scale:
            raise Refusal(f"frame {frame.index + 1} holds {_listing(own)} where the first frame holds "
                          f"{_listing(header)}; an XDATCAR has one species order and count for every frame")
        if order is not None:
            _note_regrouped(frame, own, "an XDATCAR", notes)
        if "velocities" in frame.arrays or "move_mask" in frame.arrays:
            notes.say("an XDATCAR keeps no velocities or selective dynamics flags: left out")
        positions = frame.positions_fractional("an XDATCAR")
        return XdatcarFrame(frame.number, np.asarray(_grouped(positions, order), dtype=np.float64), own.lattice)

    def stream_frames() -> Iterator[XdatcarFrame]:
        yield converted(first)
        for frame in frames:
            yield converted(frame)

    return io_rs.write_xdatcar_frames(stream, header, stream_frames())


def _listing(header: VaspHeader) -> str:
    names = header.species or ["?"] * len(header.counts)
    text = " ".join(f"{name}{count}" for name, count in zip(names, header.counts))
    return text if header.scale == 1.0 else f"{text} (scale {header.scale})"
