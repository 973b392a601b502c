"""The io-rs command, run as a subprocess: conversions between every pair of
formats, frame slices, refusals, an interrupted conversion and the progress
bar on a terminal."""

import fcntl
import gzip
import json
import os
import pty
import signal
import struct
import subprocess
import sys
import termios
import time
from pathlib import Path

import numpy as np
import pytest

import io_rs

EXTXYZ = hasattr(io_rs, "read_extxyz")
CELL = np.diag([6.0, 7.0, 8.0])
SYMBOLS = ["O", "H", "H"]
# Two frames of water, positions well inside the cell.
POSITIONS = np.array([[[1.0, 2.0, 3.0], [1.5, 2.5, 3.25], [0.5, 2.5, 3.75]],
                      [[1.25, 2.0, 3.0], [1.75, 2.5, 3.5], [0.75, 2.5, 4.0]]])
FRACTIONAL = POSITIONS @ np.linalg.inv(CELL)
HEADER = io_rs.VaspHeader("water", 1.0, CELL, ["O", "H"], [1, 2])


def run(*args, cwd=None, stderr=subprocess.PIPE):
    return subprocess.run([sys.executable, "-m", "io_rs", *map(str, args)], cwd=cwd, capture_output=stderr is None,
                          stdout=None if stderr is None else subprocess.PIPE, stderr=stderr, text=True, timeout=120)


def write_source(folder, kind, frames=2):
    """A file of the given kind holding the water frames (the last one for a POSCAR)."""
    if kind == "poscar":
        path = folder / "POSCAR"
        io_rs.write_poscar(path, io_rs.Poscar("water", 1.0, CELL, ["O", "H"], [1, 2], False, FRACTIONAL[-1]))
    elif kind == "xdatcar":
        path = folder / "XDATCAR"
        io_rs.write_xdatcar_frames(path, HEADER, [io_rs.XdatcarFrame(k + 1, FRACTIONAL[k % 2], CELL)
                                                  for k in range(frames)])
    elif kind == "xyz":
        path = folder / "in.xyz"
        io_rs.write_xyz(path, [io_rs.XyzFrame(f"frame {k}", SYMBOLS, POSITIONS[k % 2]) for k in range(frames)])
    else:
        path = folder / "in.extxyz"
        io_rs.write_extxyz(path, [io_rs.ExtxyzFrame(3, {}, {"species": np.array(SYMBOLS), "pos": POSITIONS[k % 2]},
                                                    CELL, np.ones(3, bool)) for k in range(frames)])
    return path


def last_frame(path, kind):
    """The symbols and Cartesian positions of a file's last frame."""
    if kind == "poscar":
        poscar = io_rs.read_poscar(path)
        return poscar.species, poscar.positions if poscar.cartesian else poscar.positions @ poscar.cell
    if kind == "xdatcar":
        with io_rs.open_xdatcar(path) as f:
            return f.header.species, f[-1].positions @ f.header.cell
    if kind == "xyz":
        frame = io_rs.read_xyz(path)[-1]
        return sorted(set(frame.symbols), key=frame.symbols.index), frame.positions
    frame = io_rs.read_extxyz(path)[-1]
    symbols = frame.arrays["species"].tolist()
    return sorted(set(symbols), key=symbols.index), frame.arrays["pos"]


KINDS = ["poscar", "xdatcar", "xyz", pytest.param("extxyz", marks=pytest.mark.skipif(not EXTXYZ, reason="no extxyz"))]
NAMES = {"poscar": "CONTCAR.gz", "xdatcar": "XDATCAR_out", "xyz": "out.xyz.bz2", "extxyz": "out.extxyz.xz"}


@pytest.mark.parametrize("source", KINDS)
@pytest.mark.parametrize("target", KINDS)
def test_every_pair_keeps_the_last_frame(tmp_path, source, target):
    path = write_source(tmp_path, source)
    out = tmp_path / NAMES[target]
    result = run("convert", path, out, "--frames", "-1", "--cell", "6 7 8", "-q")
    assert result.returncode == 0, result.stderr
    species, positions = last_frame(out, target)
    assert species == ["O", "H"]
    np.testing.assert_allclose(positions, POSITIONS[-1], atol=1e-7)


SLICES = [("-5::2", [5, 7, 9]), ("::3", [0, 3, 6, 9]), ("2:8:2", [2, 4, 6]), (":-7", [0, 1, 2]), ("-1", [9]),
          ("3", [3]), ("7:2:-2", [7, 5, 3]), ("20:", [])]


@pytest.mark.parametrize("selection, expected", SLICES)
@pytest.mark.parametrize("compressed", [False, True])
def test_frame_slices_follow_python(tmp_path, selection, expected, compressed):
    path = write_source(tmp_path, "xyz", frames=10)
    if compressed:
        path = tmp_path / "in.xyz.gz"
        path.write_bytes(gzip.compress((tmp_path / "in.xyz").read_bytes()))
    result = run("convert", path, tmp_path / "out.xyz", "--frames", selection)
    if compressed and selection.endswith("-2"):
        assert result.returncode == 1 and "negative step" in result.stderr
        return
    assert result.returncode == 0, result.stderr
    assert [frame.comment for frame in io_rs.read_xyz(tmp_path / "out.xyz")] == [f"frame {k}" for k in expected]


def interleaved(tmp_path, orders):
    path = tmp_path / "mixed.xyz"
    io_rs.write_xyz(path, [io_rs.XyzFrame("", list(order), POSITIONS[0]) for order in orders])
    return path


REFUSALS = [
    (lambda p: ["convert", interleaved(p, ["OHH", "HOH"]), p / "XDATCAR", "--cell", "9 9 9"], "frame 2 holds H2 O1"),
    (lambda p: ["convert", write_source(p, "xyz"), p / "POSCAR", "--frames", "0"], "frame 1 has no cell"),
    (lambda p: ["convert", write_source(p, "xdatcar"), p / "POSCAR"], "a POSCAR holds one frame"),
    (lambda p: ["convert", write_source(p, "xyz"), p / "out.xyz", "--decimals", "3"], "fixed layout"),
    (lambda p: ["convert", write_source(p, "xyz"), p / "in.xyz"], "exists: --force replaces it"),
    (lambda p: ["convert", p / "nothing.xyz", p / "out.xyz"], "No such file or directory"),
    (lambda p: ["convert", write_source(p, "xyz"), p / "out.dat"], "give --to"),
]


@pytest.mark.parametrize("make_args, message", REFUSALS)
def test_refusals_say_one_line_and_write_nothing(tmp_path, make_args, message):
    args = make_args(tmp_path)
    before = sorted(os.listdir(tmp_path))
    result = run(*args)
    assert result.returncode == 1
    assert message in result.stderr and len(result.stderr.splitlines()) == 1, result.stderr
    assert sorted(os.listdir(tmp_path)) == before


def test_bad_input_gives_the_package_message(tmp_path):
    (tmp_path / "bad.xyz").write_text("2\nc\nH 0 0 0\nH 0 x 0\n")
    result = run("convert", tmp_path / "bad.xyz", tmp_path / "out.xyz")
    assert result.returncode == 1 and "Traceback" not in result.stderr
    assert result.stderr.startswith("io-rs: XYZ ") and "line 4" in result.stderr
    assert not (tmp_path / "out.xyz").exists()


def test_interleaved_species_are_regrouped_stably_with_a_note(tmp_path):
    path = interleaved(tmp_path, ["HOH"])
    result = run("convert", path, tmp_path / "POSCAR", "--cell", "6 7 8", "-q")
    assert "regrouped in order of first appearance (H O)" in result.stderr
    poscar = io_rs.read_poscar(tmp_path / "POSCAR")
    assert poscar.species == ["H", "O"] and poscar.counts == [2, 1]
    np.testing.assert_array_equal(poscar.positions, POSITIONS[0][[0, 2, 1]])


def test_info_reports_from_the_frame_table(tmp_path):
    io_rs.write_xdatcar_frames(tmp_path / "XDATCAR", HEADER, [io_rs.XdatcarFrame(1, FRACTIONAL[0], CELL),
                                                             io_rs.XdatcarFrame(2, FRACTIONAL[1], 2 * CELL)])
    # The console script beside the interpreter where the distribution is
    # installed (a bare tree of the sources, as mutation runs use, has none).
    script = Path(sys.executable).with_name("io-rs")
    command = [script] if script.exists() else [sys.executable, "-m", "io_rs"]
    result = subprocess.run([*command, "info", "--json", tmp_path / "XDATCAR", write_source(tmp_path, "xyz")],
                            capture_output=True, text=True, check=True)
    run_info, xyz_info = json.loads(result.stdout)
    assert (run_info["format"], run_info["frames"], run_info["atoms"]) == ("XDATCAR", 2, 3)
    assert run_info["species"] == {"O": 1, "H": 2} and run_info["last_cell"] == (2 * CELL).tolist()
    assert run_info["carries"]["cell"] == "variable" and xyz_info["carries"]["positions"] == "Cartesian"


def big_xyz(path, frames=4000, atoms=200):
    rng = np.random.default_rng(1)
    io_rs.write_xyz(path, (io_rs.XyzFrame("", ["Ar"] * atoms, rng.random((atoms, 3))) for _ in range(frames)))


def test_an_interrupted_conversion_leaves_the_old_file(tmp_path):
    big_xyz(tmp_path / "big.xyz")
    target = tmp_path / "XDATCAR.xz"
    target.write_bytes(b"old")
    process = subprocess.Popen([sys.executable, "-m", "io_rs", "convert", tmp_path / "big.xyz", target,
                                "--cell", "9 9 9", "--force"], stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while not any(name.endswith(".part") for name in os.listdir(tmp_path)) and time.monotonic() < deadline:
        time.sleep(0.02)
    time.sleep(0.2)
    process.send_signal(signal.SIGINT)
    _, stderr = process.communicate(timeout=60)
    assert process.returncode == 130 and "interrupted" in stderr and "Traceback" not in stderr
    assert sorted(os.listdir(tmp_path)) == ["XDATCAR.xz", "big.xyz"] and target.read_bytes() == b"old"


@pytest.mark.parametrize("extra, shown", [([], True), (["--quiet"], False)])
def test_progress_bar_on_a_terminal_only(tmp_path, extra, shown):
    big_xyz(tmp_path / "big.xyz", frames=200)
    try:
        main, child = pty.openpty()
    except OSError as error:  # a system without pseudo-terminals (some containers)
        pytest.skip(f"no pseudo-terminal: {error}")
    fcntl.ioctl(child, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 120, 0, 0))
    process = subprocess.Popen([sys.executable, "-m", "io_rs", "convert", tmp_path / "big.xyz", tmp_path / "o.xyz",
                                *extra], stderr=child)
    os.close(child)
    output = b""
    while True:
        try:
            chunk = os.read(main, 4096)
        except OSError:
            break
        if not chunk:
            break
        output += chunk
    assert process.wait(timeout=60) == 0
    os.close(main)
    text = output.decode()
    assert ("200/200 frames" in text and "100%" in text and "B/s" in text) == shown, text
    piped = run("convert", tmp_path / "big.xyz", tmp_path / "p.xyz")
    assert "frames]" not in piped.stderr and "\r" not in piped.stderr


def test_several_inputs_go_into_one_output_in_order(tmp_path):
    first, second = tmp_path / "a.xyz", tmp_path / "b.xyz"
    io_rs.write_xyz(first, [io_rs.XyzFrame(f"a{k}", SYMBOLS, POSITIONS[k]) for k in range(2)])
    io_rs.write_xyz(second, [io_rs.XyzFrame(f"b{k}", SYMBOLS, POSITIONS[k]) for k in range(2)])
    result = run("convert", first, second, tmp_path / "both.extxyz", "--frames", "-1")
    assert result.returncode == 0, result.stderr
    assert [frame.info["comment"] for frame in io_rs.read(tmp_path / "both.extxyz")] == ["a1", "b1"]
    assert "2 frames of 2 files" in result.stderr


def test_options_may_stand_between_the_files(tmp_path):
    """Options before, among or after the files; what is not an option is
    a file, in its place."""
    first, second = tmp_path / "a.xyz", tmp_path / "b.xyz"
    io_rs.write_xyz(first, [io_rs.XyzFrame("a", SYMBOLS, POSITIONS[0])])
    io_rs.write_xyz(second, [io_rs.XyzFrame("b", SYMBOLS, POSITIONS[1])])
    result = run("convert", first, "--cell", "9 9 9", second, "--to", "extxyz", tmp_path / "both.out", "-q")
    assert result.returncode == 0, result.stderr
    assert [frame.info["comment"] for frame in io_rs.read(tmp_path / "both.out", format="extxyz")] == ["a", "b"]
    result = run("info", first, "--json", second)
    assert [entry["file"] for entry in json.loads(result.stdout)] == [str(first), str(second)]
    result = run("convert", first, "--bogus", tmp_path / "c.extxyz")
    assert result.returncode == 2 and "unrecognized arguments: --bogus" in result.stderr


def test_info_counts_unnamed_atoms_by_type(tmp_path):
    path = tmp_path / "types.dump"
    io_rs.write_lammps_dump(path, io_rs.Frame(np.zeros((5, 3)), cell=np.eye(3) * 9,
                                              arrays={"type": [3, 1, 3, 2, 3]}))
    summary = json.loads(run("info", "--json", path).stdout)[0]
    assert summary["types"] == {"1": 1, "2": 1, "3": 3}
    assert "not named; by type 1: 1, 2: 1, 3: 3" in run("info", path).stdout


def test_type_labels_are_counted_and_mapped(tmp_path):
    path = tmp_path / "labels.dump"
    io_rs.write_lammps_dump(path, io_rs.Frame(POSITIONS[0], cell=np.eye(3) * 9,
                                              arrays={"type": np.array(["CT", "HC", "CT"])}))
    assert "not named; by type CT: 2, HC: 1" in run("info", path).stdout
    result = run("convert", path, tmp_path / "out.extxyz", "--type-map", "CT=C,HC=H", "-q")
    assert result.returncode == 0, result.stderr
    (frame,) = io_rs.read(tmp_path / "out.extxyz")
    assert frame.symbols == ["C", "H", "C"] and frame.arrays["type"].tolist() == ["CT", "HC", "CT"]
    result = run("convert", tmp_path / "out.extxyz", tmp_path / "back.dump", "-q")
    assert result.returncode == 0, result.stderr
    assert io_rs.read(tmp_path / "back.dump")[0].arrays["type"].tolist() == ["CT", "HC", "CT"]


@pytest.mark.parametrize("option", [["--steps", "dft"], ["--type-map", "1=O,2=H"]])
def test_reader_options_only_for_the_formats_that_take_them(tmp_path, option):
    result = run("convert", write_source(tmp_path, "xyz"), tmp_path / "o.extxyz", *option)
    assert result.returncode == 1 and "applies to" in result.stderr and "XYZ" in result.stderr


def test_labelled_frames_to_an_xyz_name_keep_their_labels(tmp_path):
    source = tmp_path / "in.extxyz"
    io_rs.write(source, [io_rs.Frame(POSITIONS[0], SYMBOLS, info={"energy": -3.5},
                                     arrays={"forces": np.ones((3, 3))})])
    result = run("convert", source, tmp_path / "train.xyz", "-q")
    assert result.returncode == 0, result.stderr
    (frame,) = io_rs.read(tmp_path / "train.xyz")
    assert frame.info == {"energy": -3.5} and frame.arrays["forces"].tolist() == [[1.0] * 3] * 3
