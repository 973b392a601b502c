"""vasprun.xml held to oracles: lxml (every element and attribute the reader
uses, on every real file and on generated documents written every way XML
allows, and malformed ones), pymatgen-core and dpdata where they read a
file right, and the OUTCAR of the same run step by step."""

import json
import random
import warnings
from pathlib import Path

import numpy as np
import pytest

import io_rs
from conftest import shared_file, shared_files

from vasprun_docs import document, mutated

LXML = (Path(__file__).parent / "vasprun_lxml.py").read_text()
KB = 1602.1766208
ENERGIES = ("free_energy", "energy", "energy_without_entropy")


def quiet_read(source, **options):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        return io_rs.read_vasprun(source, **options)


def identical(ours, theirs):
    """Bit for bit, NaN aside (a NaN's sign and payload are no value)."""
    a, b = np.asarray(ours, dtype=np.float64), np.asarray(theirs, dtype=np.float64)
    return a.shape == b.shape and np.array_equal(np.isnan(a), np.isnan(b)) and \
        np.array_equal(a[~np.isnan(a)].view(np.uint64), b[~np.isnan(b)].view(np.uint64))


def assert_as_lxml_reads(frames, found):
    assert len(frames) == len(found["steps"])
    for frame, step in zip(frames, found["steps"]):
        assert frame.symbols == found["symbols"]
        assert frame.info["calculator"] == step["calculator"]
        assert identical(frame.cell, step["cell"]) and identical(frame.positions, step["positions"])
        assert ("forces" in frame.arrays) == ("forces" in step)
        if "forces" in step:
            assert identical(frame.arrays["forces"], step["forces"])
        assert ("stress" in frame.info) == ("stress" in step)
        if "stress" in step:
            assert identical(frame.info["stress"], -(np.array(step["stress"]) / KB))
        for key in ENERGIES:
            assert (key in frame.info) == (key in step)
            if key in step:
                assert identical(frame.info[key], step[key])


def lxml_reads(run_peer, paths):
    return [json.loads(line) for line in run_peer(LXML, *paths).splitlines()]


def test_real_files_as_lxml_reads_them(run_peer, tmp_path):
    paths = [p for p in shared_files("vasprun") if not p.name.startswith("custodian")]
    if not paths:
        pytest.skip("no ../shared/data/vasprun")
    # A file cut short is no XML for lxml: its complete steps, closed, are.
    readable = []
    for path in paths:
        if "truncated" in path.name:
            data = path.read_bytes()
            whole = tmp_path / path.name
            whole.write_bytes(data[:data.rindex(b"</calculation>") + 14] + b"\n</modeling>\n")
            path = whole
        readable.append(path)
    for path, found in zip(paths, lxml_reads(run_peer, readable)):
        assert found.get("root") == "modeling", found
        assert_as_lxml_reads(quiet_read(path), found)


def test_generated_documents_as_lxml_reads_them(run_peer, tmp_path):
    paths = []
    for seed in range(150):
        path = tmp_path / f"run{seed}.xml"
        path.write_bytes(document(seed, overflow=0.02 if seed % 3 == 0 else 0.0))
        paths.append(path)
    for path, found in zip(paths, lxml_reads(run_peer, paths)):
        assert "error" not in found, (path, found)
        assert_as_lxml_reads(quiet_read(path, threads=2), found)


def test_malformed_documents_fail_where_lxml_fails(run_peer, tmp_path):
    rng = random.Random(7)
    cases = []
    for seed in range(120):
        kind, data = mutated(document(seed), rng)
        path = tmp_path / f"bad{seed}.xml"
        path.write_bytes(data)
        cases.append((kind, path))
    for (kind, path), found in zip(cases, lxml_reads(run_peer, [p for _, p in cases])):
        if "error" in found:
            with pytest.raises(io_rs.FormatError):
                quiet_read(path)
        else:  # a change XML allows (a stray tag inside text that nothing reads, say)
            assert_as_lxml_reads(quiet_read(path), found)


def test_cut_documents_keep_their_complete_steps(tmp_path):
    rng = random.Random(11)
    for seed in range(60):
        data = document(seed)
        whole = quiet_read(tmp_path.joinpath("w.xml") if tmp_path.joinpath("w.xml").write_bytes(data) else None)
        cut = rng.randrange(len(data.rstrip()) - 11)  # inside <modeling>
        path = tmp_path / f"cut{seed}.xml"
        path.write_bytes(data[:cut])
        try:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                frames = io_rs.read_vasprun(path)
        except io_rs.FormatError as error:
            assert "before its first ionic step" in str(error) or "text before the root" not in str(error)
            continue
        assert any(issubclass(w.category, io_rs.TruncatedWarning) for w in caught)
        assert frames == whole[:len(frames)]


PYMATGEN = """
import json, sys, warnings
warnings.simplefilter("ignore")
from pymatgen.io.vasp.outputs import Vasprun
run = Vasprun(sys.argv[1], parse_dos=False, parse_eigen=False, parse_projected_eigen=False, parse_potcar_file=False)
print(json.dumps([{"cell": s["structure"].lattice.matrix.tolist(), "positions": s["structure"].frac_coords.tolist(),
                   "forces": s["forces"], "stress": s.get("stress"), "free_energy": s["e_fr_energy"],
                   "energy": s["e_0_energy"]} for s in run.ionic_steps], default=lambda a: a.tolist()))
"""


@pytest.mark.parametrize("name, own_energy", [
    ("dpdata_Ti-aimd-nwrite0_vasprun.xml", True),
    ("pymatgen-core_vasprun.bad_random_seed.xml.gz", True),
    ("pymatgen-core_vasprun.ml_md.xml.gz", True),  # pymatgen keeps the DFT steps
    ("emmet_lobster_mp-2534_vasprun.xml.gz", True),
    ("dpdata_vasprun.h2o.md.10.xml", False),       # VASP 5: pymatgen's e_0_energy is -TS
    ("phonopy_NaCl_vasprun.xml-001", False),
])
def test_as_pymatgen_reads(run_peer, name, own_energy):
    path = shared_file(f"vasprun/{name}")
    theirs = json.loads(run_peer(PYMATGEN, path))
    ours = quiet_read(path, steps="dft")
    assert len(ours) == len(theirs)
    for frame, step in zip(ours, theirs):
        assert identical(frame.cell, step["cell"]) and identical(frame.positions, step["positions"])
        assert identical(frame.arrays["forces"], step["forces"])
        assert identical(frame.info["free_energy"], step["free_energy"])
        assert (frame.info["energy"] == step["energy"]) == own_energy
        if step["stress"] is not None:
            assert identical(frame.info["stress"], -(np.array(step["stress"]) / KB))


DPDATA = """
import json, sys, warnings
warnings.simplefilter("ignore")
import dpdata
system = dpdata.LabeledSystem(sys.argv[1], fmt="vasp/xml")
print(json.dumps({key: system[key].tolist() for key in ("cells", "coords", "forces", "energies", "virials")}))
"""


# dpdata turns a cell that is not lower triangular (parsevasp_basicrelax.xml)
# and its forces: it is no oracle there.
@pytest.mark.parametrize("name", ["dpdata_Ti-aimd-nwrite0_vasprun.xml", "dpdata_vasprun.h2o.md.10.xml",
                                  "phonopy_NaCl_vasprun.xml-001"])
def test_as_dpdata_reads(run_peer, name):
    path = shared_file(f"vasprun/{name}")
    theirs = json.loads(run_peer(DPDATA, path))
    ours = quiet_read(path)
    assert len(ours) == len(theirs["energies"])
    for k, frame in enumerate(ours):
        assert identical(frame.cell, theirs["cells"][k]) and identical(frame.arrays["forces"], theirs["forces"][k])
        assert frame.info["free_energy"] == theirs["energies"][k]
        assert np.allclose(frame.cartesian_positions(), theirs["coords"][k], rtol=0, atol=1e-12)
        # dpdata's virial (eV) is -stress x volume: the sign of training sets.
        volume = abs(np.linalg.det(frame.cell))
        assert np.allclose(-frame.info["stress"] * volume, theirs["virials"][k], rtol=1e-8, atol=1e-12)


@pytest.mark.parametrize("outcar, vasprun", [
    ("outcar/dpdata_OUTCAR.h2o.md.10", "vasprun/dpdata_vasprun.h2o.md.10.xml"),
    ("outcar/dpdata_Ti-aimd-nwrite0_OUTCAR", "vasprun/dpdata_Ti-aimd-nwrite0_vasprun.xml"),
])
def test_the_outcar_of_the_same_run_agrees(outcar, vasprun):
    if not hasattr(io_rs, "read_outcar"):
        pytest.skip("io_rs reads no OUTCAR yet")
    steps = {frame.info["step"]: frame for frame in quiet_read(shared_file(vasprun))}
    from_outcar = quiet_read_outcar(shared_file(outcar))
    assert from_outcar and all(frame.info["step"] in steps for frame in from_outcar)
    for frame in from_outcar:
        other = steps[frame.info["step"]]
        assert frame.symbols == other.symbols
        # OUTCAR prints positions with 5 decimals, forces with 6, energies with 8, kB stress with 5.
        assert np.allclose(frame.cartesian_positions(), other.cartesian_positions(), rtol=0, atol=1e-5)
        assert np.allclose(frame.arrays["forces"], other.arrays["forces"], rtol=0, atol=1.5e-6)
        for key in ENERGIES:
            if key in frame.info:
                assert abs(frame.info[key] - other.info[key]) <= 1.5e-8
        if "stress" in frame.info:
            # vasprun.xml's tensor is not quite symmetric (XY and YX differ in
            # the last decimals): OUTCAR's one value lies within that.
            theirs = other.info["stress"]
            assert np.all(np.abs(frame.info["stress"] - theirs) <= 6e-6 / KB + np.abs(theirs - theirs.T))


def quiet_read_outcar(path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        return io_rs.read_outcar(path)
