"""LAMMPS dumps against OVITO and MDAnalysis, which read them right: the box
(OVITO's cell matrix and origin; MDAnalysis's lengths and angles) and the
positions of every frame of the real files, matched atom by atom by id.
Each peer runs once, in its own interpreter, over all the files; the tests
skip where that environment (.venv-peers) is absent."""

import bz2
import gzip
import json

import numpy as np
import pytest

import io_rs

from conftest import shared_files

DUMPS = [path for path in shared_files("lammps") if "bad" not in path.name]

OVITO = """
import json, sys
import numpy as np
from ovito.io import import_file
out = {}
for path in sys.argv[1:]:
    pipeline = import_file(path)
    frames = []
    for k in range(pipeline.source.num_frames):
        data = pipeline.compute(k)
        particles = data.particles
        ids = particles["Particle Identifier"][...].tolist() if "Particle Identifier" in particles else None
        frames.append({"cell": np.asarray(data.cell[...]).tolist(), "pbc": list(data.cell.pbc),
                       "positions": np.asarray(particles.positions[...]).tolist(), "ids": ids})
    out[path] = frames
print(json.dumps(out))
"""

MDANALYSIS = """
import json, sys, warnings
warnings.simplefilter("ignore")
import MDAnalysis
out = {}
for path in sys.argv[1:]:
    try:
        universe = MDAnalysis.Universe(path, format="LAMMPSDUMP")
    except Exception as error:  # a file it cannot read (no id column, say)
        out[path] = str(error)
        continue
    out[path] = [{"ids": universe.atoms.ids.tolist(), "positions": step.positions.tolist(),
                  "dimensions": step.dimensions.tolist()} for step in universe.trajectory]
print(json.dumps(out))
"""

_RESULTS = {}


def peer_results(run_peer, name, code, tmp_path_factory):
    """What the peer read from every file, read once (compressed files
    decompressed first: the peers take plain text)."""
    if name not in _RESULTS:
        folder = tmp_path_factory.mktemp("plain")
        plain = {}
        for path in DUMPS:
            opener = {".gz": gzip.open, ".bz2": bz2.open}.get(path.suffix)
            target = folder / (path.stem if opener else path.name)
            target.write_bytes(opener(path).read() if opener else path.read_bytes())
            plain[path.name] = str(target)
        found = json.loads(run_peer(code, *plain.values()))
        _RESULTS[name] = {name: found[target] for name, target in plain.items()}
    return _RESULTS[name]


def by_id(ids, rows):
    return np.asarray(rows)[np.argsort(ids, kind="stable")]


@pytest.mark.parametrize("path", DUMPS, ids=lambda p: p.name)
def test_box_and_positions_as_ovito_reads_them(path, run_peer, tmp_path_factory):
    theirs = peer_results(run_peer, "ovito", OVITO, tmp_path_factory)[path.name]
    ours = io_rs.read_lammps_dump(path, sort=False)
    assert len(ours) == len(theirs)
    for frame, expected in zip(ours, theirs):
        matrix = np.asarray(expected["cell"])
        np.testing.assert_allclose(frame.cell, matrix[:, :3].T, rtol=0, atol=1e-12)
        np.testing.assert_allclose(frame.info["origin"], matrix[:, 3], rtol=0, atol=1e-12)
        assert frame.pbc.tolist() == expected["pbc"]
        # Scaled positions: origin + fractional @ cell, as OVITO gives them.
        cartesian = frame.cartesian_positions()
        if expected["ids"] is not None:
            cartesian = by_id(frame.arrays["id"], cartesian)
            expected_positions = by_id(expected["ids"], expected["positions"])
        else:
            expected_positions = np.asarray(expected["positions"])
        np.testing.assert_allclose(cartesian, expected_positions, rtol=1e-12, atol=1e-9)


def lengths_and_angles(cell):
    lengths = np.linalg.norm(cell, axis=1)
    cosines = [cell[1] @ cell[2] / lengths[1] / lengths[2], cell[0] @ cell[2] / lengths[0] / lengths[2],
               cell[0] @ cell[1] / lengths[0] / lengths[1]]
    return np.concatenate([lengths, np.degrees(np.arccos(cosines))])


@pytest.mark.parametrize("path", DUMPS, ids=lambda p: p.name)
def test_box_and_positions_as_mdanalysis_reads_them(path, run_peer, tmp_path_factory):
    theirs = peer_results(run_peer, "mdanalysis", MDANALYSIS, tmp_path_factory)[path.name]
    if isinstance(theirs, str):
        pytest.skip(f"MDAnalysis does not read {path.name}: {theirs.splitlines()[-1]}")
    ours = io_rs.read_lammps_dump(path)
    assert len(ours) == len(theirs)
    for frame, expected in zip(ours, theirs):
        # MDAnalysis works in float32.
        np.testing.assert_allclose(lengths_and_angles(frame.cell), expected["dimensions"], rtol=2e-6)
        assert frame.arrays["id"].tolist() == sorted(expected["ids"])
        # It moves every position by the box's lower corner, scaled ones
        # after making them fractional @ cell (without the origin, which
        # OVITO and LAMMPS add).
        moved = (frame.positions @ frame.cell if frame.fractional else frame.positions) - frame.info["origin"]
        np.testing.assert_allclose(moved, by_id(expected["ids"], expected["positions"]), rtol=2e-6, atol=2e-5)
