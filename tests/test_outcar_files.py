"""The real OUTCARs of ../shared/data/outcar (each test skips where the
folder is absent): every step's values as float() reads the printed text,
the steps each file holds and how each run ended; dpdata and pymatgen-core
as oracles where they read a file right; the OUTCAR and vasprun.xml of one
run step by step."""

import gzip
import json
import warnings

import numpy as np
import pytest

import io_rs
from conftest import shared_file, shared_files
from outcar_text import reference_steps

FILES = [path for path in shared_files("outcar") if "crashed" not in path.name]

# What each run holds, as the file numbers its steps (DFT and ML tables of
# one step share its number), and whether it ended early.
EXPECTED = {
    "GPUMD_WH-AIMD_OUTCAR": ([1, 2, 3], "", True),
    "aiida-vasp_neb_01_OUTCAR": (list(range(1, 24)), "", False),
    "custodian_io_OUTCAR.gz": ([1, 2, 3], "", False),
    "custodian_npt_common_OUTCAR": (list(range(1, 11)), "", False),
    "dpdata_OUTCAR.ch4.ml": ([1, 1, 2, 2, 3, 3, 4, 5, 6, 6, 7, 8, 9, 10], "MDMDMDMMMDMMMM", False),
    "dpdata_OUTCAR.h2o.md.10": (list(range(1, 11)), "", False),
    "dpdata_Ti-aimd-nwrite0_OUTCAR": ([1, 10], "", False),
    "pyiron_OUTCAR_8": ([1], "", False),
    "pymatgen-core_OUTCAR.CL.gz": (list(range(1, 80)), "", False),
    "pymatgen-core_OUTCAR.NiO_SOC.gz": ([1], "", False),
    "vasp-interactive_OUTCAR.istart2": ([1, 2, 3], "MMM", True),
}


def text_of(path):
    data = gzip.decompress(path.read_bytes()) if path.suffix == ".gz" else path.read_bytes()
    return data.decode("latin-1")


def read_quietly(path, **options):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", io_rs.TruncatedWarning)
        return io_rs.read(path, **options)


@pytest.mark.parametrize("path", FILES, ids=[path.name for path in FILES])
def test_every_step_is_its_printed_text(path):
    symbols, expected = reference_steps(text_of(path))
    frames = read_quietly(path)
    numbers, calculators, _ = EXPECTED[path.name]
    assert [frame.info["step"] for frame in frames] == numbers
    assert "".join(frame.info["calculator"][0] for frame in frames) == (calculators or "D" * len(frames))
    for frame, ref in zip(frames, expected, strict=True):
        assert frame.symbols == symbols and frame.symbols is not None
        for got, want in ((frame.positions, ref.positions), (frame.arrays["forces"], ref.forces),
                          (frame.cell, ref.cell), (frame.info["stress"], ref.stress)):
            assert np.array_equal(got, want)
        assert {key: frame.info[key] for key in ref.info} == ref.info and len(ref.info) == 3


@pytest.mark.parametrize("path", FILES, ids=[path.name for path in FILES])
def test_every_reader_agrees_and_says_how_the_run_ended(path):
    ended_early = EXPECTED[path.name][2]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        frames = io_rs.read(path)
        assert list(io_rs.iread(path)) == frames
        with io_rs.open(path) as opened:
            assert opened.truncated == ended_early
            assert [opened[k] for k in range(len(opened))] == frames
    warned = [str(w.message) for w in caught if issubclass(w.category, io_rs.TruncatedWarning)]
    assert len(warned) == (3 if ended_early else 0)
    if ended_early:
        lines = text_of(path).count("\n")
        assert all(f"the last complete step {frames[-1].info['step']}; reading stopped at line {lines}" in w
                   for w in warned)


def test_a_crashed_run_has_no_step():
    with pytest.raises(io_rs.FormatError, match=r"line 231: expected a complete ionic step .*, got the end of the file"):
        io_rs.read(shared_file("outcar/parsevasp_OUTCAR.crashed"))


def test_two_potcars_of_one_element_and_a_cell_that_changes():
    frames = io_rs.read(shared_file("outcar/pymatgen-core_OUTCAR.CL.gz"))
    assert frames[0].symbols == ["O"] * 6 + ["P"] * 2 + ["N"] + ["Li"] * 5
    npt = io_rs.open(shared_file("outcar/custodian_npt_common_OUTCAR"))
    assert npt.variable_cell and len({cell.tobytes() for cell in npt.cells}) == 10
    assert not io_rs.open(shared_file("outcar/dpdata_OUTCAR.h2o.md.10")).variable_cell


DPDATA = """
import json, sys, warnings
warnings.simplefilter("ignore")
import numpy as np, dpdata
s = dpdata.LabeledSystem(sys.argv[1], fmt="vasp/outcar")
print(json.dumps({k: np.asarray(s[k]).tolist() for k in ("energies", "forces", "coords", "cells", "virials")}))
"""

# The files dpdata reads right: every DFT step (its MLFF reader keeps those).
DPDATA_FILES = ["dpdata_OUTCAR.h2o.md.10", "custodian_npt_common_OUTCAR", "dpdata_Ti-aimd-nwrite0_OUTCAR",
                "GPUMD_WH-AIMD_OUTCAR", "aiida-vasp_neb_01_OUTCAR", "dpdata_OUTCAR.ch4.ml"]


@pytest.mark.parametrize("name", DPDATA_FILES)
def test_dpdata_agrees_and_its_virials_give_the_sign(run_peer, name):
    path = shared_file(f"outcar/{name}")
    peer = {key: np.array(value) for key, value in json.loads(run_peer(DPDATA, path)).items()}
    frames = read_quietly(path, steps="dft")
    assert [frame.info["free_energy"] for frame in frames] == peer["energies"].tolist()
    cells = np.stack([frame.cell for frame in frames])
    positions = np.stack([frame.positions for frame in frames])
    forces = np.stack([frame.arrays["forces"] for frame in frames])
    # dpdata's virials (eV) are -stress x volume: a tension is positive here.
    virials = np.stack([-frame.info["stress"] * abs(np.linalg.det(frame.cell)) for frame in frames])
    if np.array_equal(cells, peer["cells"]):
        assert np.array_equal(positions, peer["coords"]) and np.array_equal(forces, peer["forces"])
        assert np.allclose(virials, peer["virials"], rtol=1e-8, atol=1e-9)
        return
    # dpdata turned the cell lower triangular: what no rotation changes.
    invariants = [lambda c, p, f, v: p @ np.linalg.inv(c), lambda c, p, f, v: f @ c.transpose(0, 2, 1),
                  lambda c, p, f, v: c @ v @ c.transpose(0, 2, 1), lambda c, p, f, v: c @ c.transpose(0, 2, 1)]
    for invariant in invariants:
        assert np.allclose(invariant(cells, positions, forces, virials),
                           invariant(peer["cells"], peer["coords"], peer["forces"], peer["virials"]), rtol=1e-8, atol=1e-8)


PYMATGEN = """
import json, sys, warnings
warnings.simplefilter("ignore")
from pymatgen.io.vasp.outputs import Outcar
o = Outcar(sys.argv[1])
print(json.dumps([o.final_fr_energy, o.final_energy_wo_entrp, o.final_energy]))
"""

# pymatgen-core's Outcar mixes calculators on MLFF runs: the others.
PYMATGEN_FILES = [path.name for path in FILES if path.name not in ("dpdata_OUTCAR.ch4.ml",
                                                                  "vasp-interactive_OUTCAR.istart2")]


@pytest.mark.parametrize("name", PYMATGEN_FILES)
def test_pymatgen_final_energies_are_the_last_step(run_peer, name):
    path = shared_file(f"outcar/{name}")
    last = read_quietly(path)[-1].info
    assert json.loads(run_peer(PYMATGEN, path)) == [last["free_energy"], last["energy_without_entropy"],
                                                   last["energy"]]


PAIRS = [("dpdata_OUTCAR.h2o.md.10", "dpdata_vasprun.h2o.md.10.xml"),
         ("dpdata_Ti-aimd-nwrite0_OUTCAR", "dpdata_Ti-aimd-nwrite0_vasprun.xml")]


@pytest.mark.parametrize("outcar, vasprun", PAIRS)
def test_outcar_and_vasprun_of_one_run_agree_step_by_step(outcar, vasprun):
    read_vasprun = getattr(io_rs, "read_vasprun", None)
    if read_vasprun is None:
        pytest.skip("io_rs has no read_vasprun yet")
    ours = io_rs.read(shared_file(f"outcar/{outcar}"))
    theirs = {frame.info["step"]: frame for frame in read_vasprun(shared_file(f"vasprun/{vasprun}"))}
    for frame in ours:
        other = theirs[frame.info["step"]]
        # OUTCAR prints 5 decimals (positions), 6 (forces), 9 (cell), 8 (energies) and 5 of a kB (stress):
        # half a unit of the last, and what vasprun.xml's own 8 decimals add.
        assert np.allclose(frame.positions, other.cartesian_positions(), rtol=0, atol=6e-6)
        assert np.allclose(frame.arrays["forces"], other.arrays["forces"], rtol=0, atol=6e-7)
        assert np.allclose(frame.cell, other.cell, rtol=0, atol=6e-9)
        for key in ("free_energy", "energy", "energy_without_entropy"):
            assert frame.info[key] == pytest.approx(other.info[key], abs=6e-9)
        # vasprun.xml's stress tensor is not quite symmetric (its XY and YX
        # differ in the last decimals): OUTCAR's one value lies within that.
        stress = other.info["stress"]
        assert np.all(np.abs(frame.info["stress"] - stress) <= 6e-6 / 1602.1766208 + np.abs(stress - stress.T))
