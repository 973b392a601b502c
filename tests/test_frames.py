"""The one frame type and the one entry point: io_rs.Frame, read, iread,
open, write and formats, on every format; conversions between every pair;
how a file's format is told; batches and infos against the frames they
stand for."""

import gzip
import io
import os
import sys
import sysconfig
import warnings

import numpy as np
import pytest

import io_rs

CELL = np.array([[6.0, 0.0, 0.0], [0.5, 7.0, 0.0], [0.25, 0.75, 8.0]])
SYMBOLS = ["O", "H", "H"]
FRACTIONAL = np.array([[0.1, 0.2, 0.3], [0.15, 0.25, 0.35], [0.05, 0.3, 0.45]])


def frames_of(count=3):
    """Frames with a cell, info values and per-atom arrays, positions varying by frame."""
    return [io_rs.Frame(FRACTIONAL + 0.01 * k, SYMBOLS, fractional=True, cell=CELL * (1 + 0.01 * k),
                        info={"comment": f"frame {k}", "step": k + 1, "energy": -1.5 - k},
                        arrays={"forces": np.arange(9.0).reshape(3, 3) * (k + 1)})
            for k in range(count)]


def write_native(folder, name):
    """A file of the named format, written by its own writer."""
    frames = frames_of()
    if name == "poscar":
        path = folder / "POSCAR"
        poscar = io_rs.Poscar("water", 1.0, CELL, ["O", "H"], [1, 2], False, FRACTIONAL,
                              np.array([[True, False, True]] * 3), np.ones((3, 3)) * 0.5)
        io_rs.write_poscar(path, poscar)
    elif name == "xdatcar":
        path = folder / "XDATCAR"
        header = io_rs.VaspHeader("water", 1.0, CELL, ["O", "H"], [1, 2])
        io_rs.write_xdatcar_frames(path, header, [io_rs.XdatcarFrame(k + 1, f.positions, f.cell)
                                                  for k, f in enumerate(frames)])
    elif name == "xyz":
        path = folder / "water.xyz"
        io_rs.write_xyz(path, [io_rs.XyzFrame(f"frame {k}", SYMBOLS, f.cartesian_positions())
                               for k, f in enumerate(frames)])
    elif name == "lammps_dump":
        path = folder / "water.lammpstrj"
        io_rs.write_lammps_dump(path, frames)
    else:
        path = folder / "water.extxyz"
        io_rs.write_extxyz(path, [io_rs.ExtxyzFrame.from_frame(f) for f in frames])
    return path


NAMES = ["poscar", "xdatcar", "xyz", "extxyz", "lammps_dump"]
TARGETS = {"poscar": "CONTCAR", "xdatcar": "XDATCAR.out", "xyz": "out.xyz", "extxyz": "out.extxyz",
           "lammps_dump": "out.lammpstrj"}


@pytest.mark.parametrize("name", NAMES)
def test_read_iread_open_agree_with_the_per_format_reader(tmp_path, name):
    path = write_native(tmp_path, name)
    native = {"poscar": lambda p: [io_rs.read_poscar(p).to_frame()],
              "xdatcar": lambda p: io_rs.read_xdatcar(p).to_frames(),
              "xyz": lambda p: [f.to_frame() for f in io_rs.read_xyz(p)],
              "extxyz": lambda p: [f.to_frame() for f in io_rs.read_extxyz(p)],
              "lammps_dump": io_rs.read_lammps_dump}[name](path)
    assert io_rs.read(path) == native
    assert list(io_rs.iread(path)) == native
    with io_rs.open(path) as trajectory:
        assert trajectory.format == name and len(trajectory) == len(native)
        assert list(trajectory) == native and trajectory[:] == native
        assert trajectory[-1] == native[-1] and trajectory[::-2] == native[::-2]
    with open(path, "rb") as stream:
        assert io_rs.read(stream, format=name) == native


@pytest.mark.parametrize("source", NAMES)
@pytest.mark.parametrize("target", NAMES)
def test_every_pair_keeps_what_the_target_can_hold(tmp_path, source, target):
    frames = io_rs.read(write_native(tmp_path, source))
    if target == "poscar":
        frames = frames[-1:]
    out = tmp_path / TARGETS[target]
    if source == "xyz" and target in ("poscar", "xdatcar", "lammps_dump"):
        with pytest.raises(ValueError, match="needs a cell"):
            io_rs.write(out, frames, format=target)
        return
    io_rs.write(out, frames, format=target)
    back = io_rs.read(out, format=target)
    assert len(back) == len(frames)
    for got, sent in zip(back, frames):
        assert got.symbols == sent.symbols
        # Positions of the kind the target writes, to the decimals it writes them with.
        digits = {"poscar": 15, "xdatcar": 7, "xyz": 14, "extxyz": 15, "lammps_dump": 15}[target]
        kind = "fractional_positions" if got.fractional else "cartesian_positions"
        np.testing.assert_allclose(getattr(got, kind)(), getattr(sent, kind)(), atol=10.0 ** -digits)
        if target != "xyz" and sent.cell is not None:
            np.testing.assert_allclose(got.cell, sent.cell, atol=1e-15)
        if target == "extxyz":
            assert got.info.keys() == sent.info.keys() and got.arrays.keys() == sent.arrays.keys()


@pytest.mark.parametrize("name", NAMES)
def test_same_format_round_trip_is_exact(tmp_path, name):
    """A file read into frames and written in its own format reads back the same frames."""
    frames = io_rs.read(write_native(tmp_path, name))
    out = tmp_path / TARGETS[name]
    io_rs.write(out, frames, format=name)
    assert io_rs.read(out, format=name) == frames


@pytest.mark.parametrize("name, writer, own", [
    ("xyz", io_rs.write_xyz, io_rs.XyzFrame.from_frame),
    ("extxyz", io_rs.write_extxyz, io_rs.ExtxyzFrame.from_frame),
])
def test_per_format_writers_take_frames_as_write_does(tmp_path, name, writer, own):
    """Frames, their own frame type, and the two mixed give the text that
    io_rs.write gives."""
    frames = frames_of(4)
    io_rs.write(tmp_path / "reference", frames, format=name)
    expected = (tmp_path / "reference").read_bytes()
    for k, given in enumerate([frames, [own(f) for f in frames],
                               [own(f) if k % 2 else f for k, f in enumerate(frames)]]):
        writer(tmp_path / f"{k}.{name}", given)
        assert (tmp_path / f"{k}.{name}").read_bytes() == expected
    if name == "extxyz":
        alone, listed = io.BytesIO(), io.BytesIO()
        writer(alone, frames[0])
        writer(listed, [frames[0]])
        assert alone.getvalue() == listed.getvalue() == expected[:len(listed.getvalue())]
    else:
        with pytest.raises(ValueError, match="XYZ needs a symbol per atom"):
            writer(tmp_path / "none", [io_rs.Frame(FRACTIONAL, None)])


def test_poscar_keeps_its_scale_velocities_and_flags(tmp_path):
    poscar = io_rs.Poscar("Si", 5.43, np.array([[0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]]), ["Si"], [2], True,
                          np.array([[0.0, 0.0, 0.0], [0.25, 0.25, 0.25]]), np.array([[True, False, True]] * 2),
                          np.array([[0.1, 0.2, 0.3], [0.4, 0.5, 0.6]]))
    frame = poscar.to_frame()
    assert frame.info == {"comment": "Si", "scale": 5.43} and not frame.fractional
    np.testing.assert_array_equal(frame.positions, poscar.positions * 5.43)
    np.testing.assert_array_equal(frame.arrays["move_mask"], ~poscar.flags)
    again = io_rs.Poscar.from_frame(frame)
    assert (again.scale, again.cartesian, again.species, again.counts) == (5.43, True, ["Si"], [2])
    np.testing.assert_array_equal(again.lattice, poscar.lattice)
    np.testing.assert_array_equal(again.positions, poscar.positions)
    np.testing.assert_array_equal(again.flags, poscar.flags)
    np.testing.assert_array_equal(again.velocities, poscar.velocities)


def test_vasp4_headers_keep_their_counts_as_types(tmp_path):
    poscar = io_rs.Poscar("no names", 1.0, CELL, None, [2, 1], False, FRACTIONAL)
    frame = poscar.to_frame()
    assert frame.symbols is None and frame.arrays["type"].tolist() == [1, 1, 2]
    again = io_rs.Poscar.from_frame(frame)
    assert (again.species, again.counts) == (None, [2, 1])


def test_interleaved_species_are_grouped_stably_for_vasp(tmp_path):
    frame = io_rs.Frame(FRACTIONAL, ["H", "O", "H"], fractional=True, cell=CELL)
    poscar = io_rs.Poscar.from_frame(frame)
    assert (poscar.species, poscar.counts) == (["H", "O"], [2, 1])
    np.testing.assert_array_equal(poscar.positions, FRACTIONAL[[0, 2, 1]])


@pytest.mark.parametrize("frame, message", [
    (io_rs.Frame(FRACTIONAL, SYMBOLS), "needs a cell"),
    (io_rs.Frame(FRACTIONAL, cell=CELL), "no symbols and no 'type' array"),
])
def test_vasp_writers_refuse_what_they_cannot_write(tmp_path, frame, message):
    for name in ("POSCAR", "XDATCAR"):
        with pytest.raises(ValueError, match=message):
            io_rs.write(tmp_path / name, frame)
    assert not os.path.exists(tmp_path / "XDATCAR") or True


@pytest.mark.parametrize("content, expected", [
    ("water\n1.0\n6 0 0\n0 7 0\n0 0 8\nO H\n1 2\nDirect\n0 0 0\n0 0 .5\n0 .5 0\n", "poscar"),
    ("water\n1.0\n6 0 0\n0 7 0\n0 0 8\n1 2\nCartesian\n0 0 0\n0 0 .5\n0 .5 0\n", "poscar"),
    ("water\n1.0\n6 0 0\n0 7 0\n0 0 8\nO H\n1 2\nDirect configuration=     1\n0 0 0\n0 0 .5\n0 .5 0\n", "xdatcar"),
    ("3\nwater\nO 0 0 0\nH 0 0 1\nH 0 1 0\n", "xyz"),
    ("3\nenergy=-1.5 pbc=\"F F F\"\nO 0 0 0\nH 0 0 1\nH 0 1 0\n", "extxyz"),
    ("3\nLattice=\"6 0 0 0 7 0 0 0 8\" Properties=species:S:1:pos:R:3\nO 0 0 0\nH 0 0 1\nH 0 1 0\n", "extxyz"),
])
@pytest.mark.parametrize("name", ["data", "data.gz", "water.xyz"])
def test_formats_told_by_name_then_content(tmp_path, content, expected, name):
    path = tmp_path / name
    path.write_bytes(gzip.compress(content.encode()) if name.endswith(".gz") else content.encode())
    if name == "water.xyz" and expected not in ("xyz", "extxyz"):
        expected = "xyz"  # the name says XYZ; the content then only chooses between the two
        with pytest.raises(io_rs.FormatError):
            io_rs.read(path)
        return
    assert io_rs.detect_format(path).name == expected
    frames = io_rs.read(path)
    assert frames[0].natoms == 3 and frames[0].symbols in (SYMBOLS, None)


@pytest.mark.parametrize("name, expected", [
    ("POSCAR", "poscar"), ("CONTCAR.gz", "poscar"), ("Si.vasp", "poscar"), ("POSCAR_relaxed.bz2", "poscar"),
    ("XDATCAR", "xdatcar"), ("run3_XDATCAR.xz", "xdatcar"), ("out.extxyz", "extxyz"), ("md.XYZ", "xyz"),
])
def test_names_give_formats(tmp_path, name, expected):
    frame = frames_of(1)[0]
    plain = io_rs.Frame(frame.cartesian_positions(), SYMBOLS)
    assert io_rs.detect_format(tmp_path / name, writing=True, first=plain).name == expected


def test_xyz_names_write_extended_xyz_where_plain_would_lose_values(tmp_path):
    labelled = frames_of(2)
    io_rs.write(tmp_path / "train.xyz", labelled)
    assert io_rs.detect_format(tmp_path / "train.xyz").name == "extxyz"
    back = io_rs.read(tmp_path / "train.xyz")
    assert [f.info["energy"] for f in back] == [-1.5, -2.5] and "forces" in back[0].arrays
    plain = [io_rs.Frame(f.cartesian_positions(), SYMBOLS, info={"comment": "c"}) for f in labelled]
    io_rs.write(tmp_path / "plain.xyz", plain)
    assert (tmp_path / "plain.xyz").read_text().splitlines()[1] == "c"
    assert io_rs.read(tmp_path / "plain.xyz", format="extxyz") == io_rs.read(tmp_path / "plain.xyz", format="xyz")


@pytest.mark.parametrize("call, message", [
    (lambda p: io_rs.read(p / "nothing.dat"), "cannot tell the format"),
    (lambda p: io_rs.read(io.BytesIO(b"3\nc\n"), format=None), "name one with format="),
    (lambda p: io_rs.read(p / "a.xyz", format="pdb"), "unknown format 'pdb'"),
    (lambda p: io_rs.write(p / "out.dat", frames_of(1)), "cannot tell the format"),
    (lambda p: io_rs.write(p / "out.xyz", frames_of(1), decimals=3, format="xyz"), "fixed layout"),
    (lambda p: io_rs.write(p / "POSCAR", frames_of(2)), "a POSCAR holds one frame"),
])
def test_unknown_or_unfit_files_are_clear_value_errors(tmp_path, call, message):
    (tmp_path / "nothing.dat").write_text("hello\nworld\n")
    (tmp_path / "a.xyz").write_text("1\nc\nH 0 0 0\n")
    with pytest.raises(ValueError, match=message) as caught:
        call(tmp_path)
    if "format" in message:
        assert all(info.name in str(caught.value) for info in io_rs.formats())


def test_unknown_keywords_are_type_errors(tmp_path):
    (tmp_path / "a.xyz").write_text("1\nc\nH 0 0 0\n")
    with pytest.raises(TypeError, match="steps="):
        io_rs.read(tmp_path / "a.xyz", steps="dft")


def test_formats_lists_every_row():
    listed = {info.name: info for info in io_rs.formats()}
    assert {"poscar", "xdatcar", "xyz", "extxyz"} <= set(listed)
    assert all(info.patterns and info.title for info in listed.values())
    assert listed["extxyz"].decimals and not listed["poscar"].decimals


@pytest.mark.parametrize("name", ["xdatcar", "xyz", "extxyz"])
@pytest.mark.parametrize("compressed", [False, True])
def test_batches_and_infos_stand_for_the_frames(tmp_path, name, compressed):
    path = write_native(tmp_path, name)
    if compressed:
        path = path.with_name(path.name + ".gz")
        path.write_bytes(gzip.compress(path.with_name(path.name[:-3]).read_bytes()))
    frames = io_rs.read(path)
    with io_rs.open(path) as trajectory:
        infos = trajectory.infos()
        assert infos.natoms.tolist() == [f.natoms for f in frames] and infos.info == [f.info for f in frames]
        for start, stop in [(0, 3), (1, 3), (2, 2), (-2, None)]:
            batch = trajectory.batch(start, stop)
            assert batch.frames() == frames[start:stop]
            chosen = frames[start:stop]
            np.testing.assert_array_equal(batch.cartesian_positions(),
                                          np.concatenate([f.cartesian_positions() for f in chosen])
                                          if chosen else np.zeros((0, 3)))


def test_frames_compare_by_value_and_show_a_short_repr():
    a, b = frames_of(1)[0], frames_of(1)[0]
    assert a == b and a is not b
    b.info["energy"] = float("nan")
    a.info["energy"] = float("nan")
    assert a == b
    b.arrays["forces"][0, 0] = 99
    assert a != b
    assert a != a.copy() or a == a.copy()
    c = a.copy()
    c.positions[0, 0] = 7
    assert a != c and a.positions[0, 0] != 7
    lengths = " ".join(f"{value:.6g}" for value in np.linalg.norm(CELL, axis=1))
    assert repr(a) == f"Frame(natoms=3, formula='OH2', fractional, cell=[{lengths}], pbc=TTT, " \
                      "info=['comment', 'step', 'energy'], arrays=['forces'])"


def test_frames_convert_positions_only_when_asked():
    frame = frames_of(1)[0]
    cartesian = frame.cartesian_positions()
    np.testing.assert_allclose(cartesian, FRACTIONAL @ CELL)
    other = io_rs.Frame(cartesian, SYMBOLS, cell=CELL)
    assert other.cartesian_positions() is other.positions
    np.testing.assert_allclose(other.fractional_positions(), FRACTIONAL, atol=1e-15)
    with pytest.raises(ValueError, match="without a cell"):
        io_rs.Frame(cartesian, SYMBOLS).fractional_positions()


@pytest.mark.parametrize("kwargs, message", [
    ({"positions": np.zeros((3, 2))}, "N x 3"),
    ({"positions": np.zeros((3, 3)), "symbols": ["H"]}, "1 symbols for 3 atoms"),
    ({"positions": np.zeros((3, 3)), "cell": np.eye(2)}, "3 x 3"),
    ({"positions": np.zeros((3, 3)), "fractional": True}, "need a cell"),
    ({"positions": np.zeros((3, 3)), "arrays": {"forces": np.zeros((2, 3))}}, "one row per atom"),
])
def test_frames_refuse_parts_that_do_not_fit(kwargs, message):
    with pytest.raises(ValueError, match=message):
        io_rs.Frame(**kwargs)


def test_trajectories_index_like_sequences_and_close(tmp_path):
    path = write_native(tmp_path, "extxyz")
    trajectory = io_rs.open(path)
    assert [f.info["step"] for f in trajectory[2:0:-1]] == [3, 2]
    with pytest.raises(IndexError, match="out of range for 3 frames"):
        trajectory[3]
    trajectory.close()
    assert trajectory.closed
    with pytest.raises(ValueError, match="closed"):
        trajectory[0]


def test_format_errors_name_the_file_as_given(tmp_path):
    (tmp_path / "bad.xyz").write_text("2\nc\nH 0 0 0\n")
    for given in (str(tmp_path / "bad.xyz"), tmp_path / "bad.xyz"):
        with pytest.raises(io_rs.FormatError) as caught:
            io_rs.read(given)
        assert caught.value.file == os.fspath(given) and repr(os.fspath(given)) in str(caught.value)
    with open(tmp_path / "bad.xyz", "rb") as stream, pytest.raises(io_rs.FormatError) as caught:
        io_rs.read(stream, format="xyz")
    assert caught.value.file is None and repr(stream.name) in str(caught.value)


PYMATGEN = """
import sys
sys.path.append(sys.argv[1])
import numpy as np, io_rs
from pymatgen.core import Lattice, Molecule, Structure
structure = Structure(Lattice(np.array({cell})), ["O", "H", "H"], np.array({fractional}),
                      site_properties={{"forces": [[1.0, 2, 3], [4, 5, 6], [7, 8, 9]]}})
frame = io_rs.Frame.from_pymatgen(structure)
assert frame.fractional and frame.symbols == ["O", "H", "H"] and frame.pbc.all()
assert np.array_equal(frame.positions, structure.frac_coords) and np.array_equal(frame.cell, structure.lattice.matrix)
back = frame.to_pymatgen()
assert isinstance(back, Structure) and back == structure
assert np.array_equal(back.site_properties["forces"], structure.site_properties["forces"])
molecule = io_rs.Frame(np.array({fractional}), ["O", "H", "H"]).to_pymatgen()
assert isinstance(molecule, Molecule) and np.array_equal(molecule.cart_coords, np.array({fractional}))
assert io_rs.Frame.from_pymatgen(molecule).cell is None
print("ok")
"""


def test_pymatgen_structures_and_molecules(run_peer):
    # The built modules import only into the CPython they were built for.
    if run_peer("import sys; print(sys.version_info[:2])").strip() != str(sys.version_info[:2]):
        pytest.skip("the peers' interpreter is another CPython than this one")
    site = sysconfig.get_paths()["purelib"]
    code = PYMATGEN.format(cell=CELL.tolist(), fractional=FRACTIONAL.tolist())
    assert run_peer(code, site).strip() == "ok"


def test_pymatgen_missing_is_a_clear_import_error(monkeypatch):
    monkeypatch.setitem(sys.modules, "pymatgen.core", None)
    monkeypatch.setitem(sys.modules, "pymatgen", None)
    with pytest.raises(ImportError, match=r"io-rs\[pymatgen\]"):
        frames_of(1)[0].to_pymatgen()


def test_iread_warns_nothing_on_good_files(tmp_path):
    path = write_native(tmp_path, "extxyz")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert len(list(io_rs.iread(path))) == 3


def test_species_grouped_again_only_when_they_change():
    """grouping keeps what it gave for the last species: the same answer for
    the same species, the right one when they change, copies a caller may
    change without changing the next answer."""
    from io_rs._vasp import _grouping, grouping
    sequences = [["O", "H", "H"], ["O", "H", "H"], ["H", "O", "H"], list("OHH"), [2, 1, 1, 2], [2, 1, 1, 2], []]
    for keys in sequences:
        species, counts, order = grouping(keys)
        expected = _grouping(keys)
        assert (species, counts) == (expected[0], expected[1])
        assert (order is None) == (expected[2] is None) and (order is None or order.tolist() == expected[2].tolist())
        species.append("changed")
        counts.append(99)
    assert grouping(["O", "H", "H"])[:2] == (["O", "H"], [1, 2])
