"""The peers' reading of a LAMMPS dump, timed inside their own interpreter
(the peers' environment, .venv-peers): every frame's positions and its other
per-atom properties made NumPy arrays, as a user of each would. Prints the
seconds it took as JSON, and keeps the first and last frames' positions
(ordered by atom id where the peer reads ids) in an .npz for the caller to
check against io_rs.

    .venv-peers/bin/python bench/lammps_peers.py {ovito,mdanalysis,lammpsio} DUMP CHECK.npz
"""

import json
import sys
import time
import warnings

import numpy as np


def by_id(ids, positions):
    return positions if ids is None else positions[np.argsort(ids, kind="stable")]


def ovito(path):
    from ovito.io import import_file

    pipeline = import_file(path)
    kept = []
    for k in range(pipeline.source.num_frames):
        particles = pipeline.compute(k).particles
        arrays = {name: np.asarray(particles[name][...]) for name in particles.keys()}
        ids = arrays.get("Particle Identifier")
        kept.append(by_id(ids, arrays["Position"]))
    return kept


def mdanalysis(path):
    import MDAnalysis

    universe = MDAnalysis.Universe(path, format="LAMMPSDUMP")
    ids = universe.atoms.ids
    kept = []
    for step in universe.trajectory:
        arrays = [step.positions.copy()]
        if step.has_velocities:
            arrays.append(step.velocities.copy())
        if step.has_forces:
            arrays.append(step.forces.copy())
        kept.append(by_id(ids, arrays[0]))
    return kept


def lammpsio(path):
    import lammpsio

    kept = []
    for snapshot in lammpsio.DumpFile(path):
        arrays = {name: getattr(snapshot, name) for name in ("position", "velocity", "image", "typeid", "id")
                  if getattr(snapshot, f"has_{name}")()}
        # Unwrapped coordinates (xu yu zu) are not positions to lammpsio.
        position = arrays.get("position")
        kept.append(None if position is None else by_id(arrays.get("id"), np.asarray(position)))
    return kept


def main():
    peer, path, check = sys.argv[1:4]
    warnings.simplefilter("ignore")
    reader = {"ovito": ovito, "mdanalysis": mdanalysis, "lammpsio": lammpsio}[peer]
    start = time.perf_counter()
    kept = reader(path)
    seconds = time.perf_counter() - start
    if kept[0] is None:
        np.savez(check, frames=len(kept))
    else:
        np.savez(check, first=kept[0], last=kept[-1], frames=len(kept))
    print(json.dumps({"seconds": seconds}))


if __name__ == "__main__":
    main()
