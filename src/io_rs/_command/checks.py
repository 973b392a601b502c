"""What a target format needs of each frame, checked as the frames stream
past on their way to the writer: a frame it cannot hold is refused by its
number, and what it leaves out or changes is noted once."""

from __future__ import annotations

from collections import Counter
from collections.abc import Iterable, Iterator

import numpy as np
from numpy.typing import NDArray

import io_rs

from .notes import Notes, Refusal

_VASP = {"poscar": "a POSCAR", "xdatcar": "an XDATCAR"}


def _interleaved(keys: list[object]) -> str | None:
    """The species in order of first appearance when the atoms are not grouped by species."""
    first = list(dict.fromkeys(keys))
    rank = {key: k for k, key in enumerate(first)}
    ranks = [rank[key] for key in keys]
    if all(a <= b for a, b in zip(ranks, ranks[1:])):
        return None
    return " ".join(str(key) for key in first)


def _species_keys(frame: io_rs.Frame) -> list[object] | None:
    if frame.symbols is not None:
        return list(frame.symbols)
    types = frame.arrays.get("type")
    return None if types is None else np.asarray(types).reshape(-1).tolist()


def checked(frames: Iterable[tuple[int, io_rs.Frame]], target: io_rs.FormatInfo, cell: NDArray[np.float64] | None,
            notes: Notes) -> Iterator[io_rs.Frame]:
    """The frames (each with its place in its file, from 0) as the target
    takes them: a frame without a cell given `cell` (periodic), and refused or
    noted as the target needs."""
    first_species: str | None = None
    for index, frame in frames:
        if cell is not None and frame.cell is None:
            frame.cell = cell
            frame.pbc = np.ones(3, dtype=bool)
        what = _VASP.get(target.name)
        if what is not None:
            if frame.cell is None:
                raise Refusal(f"frame {index + 1} has no cell, which {what} needs: give one with --cell")
            keys = _species_keys(frame)
            if keys is None:
                raise Refusal(f"frame {index + 1} names no species, which {what} needs")
            species = " ".join(f"{key}{count}" for key, count in Counter(keys).items())
            if target.name == "xdatcar":
                if first_species is None:
                    first_species = species
                elif species != first_species:
                    raise Refusal(f"frame {index + 1} holds {species} where the first frame holds {first_species}; "
                                  "an XDATCAR has one species order and count for every frame")
            order = _interleaved(keys)
            if order is not None:
                notes.say(f"frame {index + 1} lists its species interleaved; {what} groups them: atoms regrouped "
                          f"in order of first appearance ({order}), keeping their order within each species")
            if target.name == "xdatcar" and ("velocities" in frame.arrays or "move_mask" in frame.arrays):
                notes.say("an XDATCAR keeps no velocities or selective dynamics flags: left out")
            extra = set(frame.arrays) - {"velocities", "move_mask", "type"}
            if extra:
                notes.say(f"{what} keeps no per-atom {', '.join(sorted(extra))}: left out")
        elif target.name == "xyz":
            if frame.symbols is None:
                raise Refusal(f"frame {index + 1} names no species, which XYZ needs")
            if frame.cell is not None:
                notes.say("XYZ keeps no cell: left out (an .extxyz name or --to extxyz keeps it)")
            if frame.arrays or set(frame.info) - {"comment", "step"}:
                notes.say("XYZ keeps only symbols and positions: other columns and info left out "
                          "(an .extxyz name or --to extxyz keeps them)")
        yield frame
