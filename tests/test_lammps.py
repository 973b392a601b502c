"""LAMMPS text dumps: the real files of ../shared/data/lammps against a plain
reading of their text, the box rules, scaled and unwrapped coordinates,
malformed and cut-short files, windows and threads, and writing."""

import bz2
import gzip
import io
import itertools
import re
import warnings

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _io_rs_buffers
import io_rs
from io_rs import _files, _lammps
from io_rs._lammps import format_lammps_dump

from conftest import shared_file, shared_files

DUMPS = [path for path in shared_files("lammps") if "bad" not in path.name]
ROUND_TRIPS = settings(max_examples=30, deadline=None)
INTEGERS = {"id", "type", "mol", "proc", "procp1", "ix", "iy", "iz"}


def is_integer(name):
    return name in INTEGERS or name.startswith(("i_", "i2_"))


def read_text(text, **options):
    return io_rs.read_lammps_dump(io.BytesIO(text.encode() if isinstance(text, str) else text), **options)


def open_text(path):
    if path.suffix == ".gz":
        return gzip.open(path).read()
    if path.suffix == ".bz2":
        return bz2.open(path).read()
    return path.read_bytes()


def plain_frames(data: bytes):
    """A dump read by the plainest means: ITEM sections by name, atom lines
    split and every field through float() or int()."""
    lines = data.decode().splitlines()
    frames, k = [], 0
    while k < len(lines):
        frame = {"sections": {}}
        while True:
            item = lines[k].split(":", 1)[1].strip()
            k += 1
            if item.startswith("ATOMS"):
                break
            if item.startswith("BOX BOUNDS"):
                frame["bounds"] = [[float(v) for v in lines[k + j].split()] for j in range(3)]
                frame["flags"] = item.split()[2:][-3:]
                k += 3
            else:
                frame["sections"][item] = lines[k].strip()
                k += 1
        names = item.split()[1:]
        n = int(frame["sections"]["NUMBER OF ATOMS"])
        rows = [line.split() for line in lines[k:k + n]]
        k += n
        frame["columns"] = {name: np.array([int(r[c]) if is_integer(name) else float(r[c]) for r in rows])
                            for c, name in enumerate(names)}
        frames.append(frame)
    return frames


def bounds_cell(bounds):
    """The cell and origin of BOX BOUNDS numbers by LAMMPS's rule for the
    bounding box of a triclinic cell."""
    (xlo_b, xhi_b, *xy), (ylo_b, yhi_b, *xz), (zlo, zhi, *yz) = bounds
    xy, xz, yz = (xy or [0.0])[0], (xz or [0.0])[0], (yz or [0.0])[0]
    xlo, xhi = xlo_b - min(0.0, xy, xz, xy + xz), xhi_b - max(0.0, xy, xz, xy + xz)
    ylo, yhi = ylo_b - min(0.0, yz), yhi_b - max(0.0, yz)
    return np.array([[xhi - xlo, 0, 0], [xy, yhi - ylo, 0], [xz, yz, zhi - zlo]]), np.array([xlo, ylo, zlo])


@pytest.mark.parametrize("path", DUMPS, ids=lambda p: p.name)
def test_real_files_hold_what_their_text_says(path):
    plain = plain_frames(open_text(path))
    frames = io_rs.read_lammps_dump(path, sort=False)
    assert len(frames) == len(plain)
    for frame, expected in zip(frames, plain):
        columns = expected["columns"]
        assert frame.info["timestep"] == int(expected["sections"]["TIMESTEP"])
        cell, origin = bounds_cell(expected["bounds"])
        np.testing.assert_array_equal(frame.cell, cell)
        np.testing.assert_array_equal(frame.info["origin"], origin)
        assert frame.pbc.tolist() == [flag == "pp" for flag in expected["flags"]]
        coordinates = next(c for c in _lammps._COORDINATES if all(name in columns for name in c))
        assert frame.fractional == (coordinates in _lammps._FRACTIONAL)
        np.testing.assert_array_equal(frame.positions, np.stack([columns[c] for c in coordinates], axis=1))
        for name, values in frame.arrays.items():
            if name in ("velocities", "forces"):
                expected_values = np.stack([columns[name[0] + axis] for axis in "xyz"], axis=1)
            elif values.ndim == 2:
                expected_values = np.stack([columns[f"{name}[{j + 1}]"] for j in range(values.shape[1])], axis=1)
            else:
                expected_values = columns[name]
            assert values.dtype == expected_values.dtype, name
            np.testing.assert_array_equal(values, expected_values, err_msg=name)


@pytest.mark.parametrize("path", DUMPS, ids=lambda p: p.name)
def test_every_way_of_reading_gives_the_same_frames(path):
    frames = io_rs.read_lammps_dump(path, threads=1)
    assert io_rs.read_lammps_dump(path, threads=3) == frames
    assert list(io_rs.iter_lammps_dump(path, threads=2)) == frames
    assert io_rs.read(path) == frames
    with io_rs.open(path) as trajectory:
        assert len(trajectory) == len(frames)
        assert trajectory[:] == frames and list(trajectory) == frames
        assert trajectory[-1] == frames[-1] and trajectory[::2] == frames[::2]
        infos = trajectory.infos()
        assert infos.natoms.tolist() == [frame.natoms for frame in frames]
        assert [info["timestep"] for info in infos.info] == trajectory.timesteps.tolist()
        for info, frame in zip(infos.info, frames):
            assert info.keys() == frame.info.keys()
    for frame in frames:
        if "id" in frame.arrays:
            assert (np.diff(frame.arrays["id"]) > 0).all()


@pytest.mark.parametrize("path", DUMPS, ids=lambda p: p.name)
def test_windows_of_a_stream_read_what_the_whole_file_reads(path, monkeypatch):
    frames = io_rs.read_lammps_dump(path)
    monkeypatch.setattr(_files, "CHUNK_BYTES", 1000)
    monkeypatch.setattr(_lammps, "CHUNK_BYTES", 1000)
    assert list(io_rs.iter_lammps_dump(io.BytesIO(open_text(path)))) == frames
    with io_rs.open_lammps_dump(path) as trajectory:
        assert trajectory[:] == frames


def test_the_malformed_box_is_refused_at_its_line():
    path = shared_file("lammps/chemfiles_bad_box-wrong-size.lammpstrj")
    with pytest.raises(io_rs.FormatError) as caught:
        io_rs.read_lammps_dump(path)
    assert (caught.value.line, caught.value.frame) == (6, 1)
    assert caught.value.file == str(path)
    assert "expected 3 numbers (xlo_bound xhi_bound xy), got '0.0000000000000000e+00 2.0000000000000000e+01'" in str(caught.value)
    with pytest.raises(io_rs.FormatError, match="line 6"):
        io_rs.open_lammps_dump(path)


def frame_text(columns, rows, box=("0 10", "0 10", "0 10"), style="pp pp pp", timestep=0, sections=""):
    body = "".join(" ".join(map(str, row)) + "\n" for row in rows)
    return (f"{sections}ITEM: TIMESTEP\n{timestep}\nITEM: NUMBER OF ATOMS\n{len(rows)}\n"
            f"ITEM: BOX BOUNDS {style}\n" + "\n".join(box) + f"\nITEM: ATOMS {columns}\n{body}")


def lammps_bounds(lo, hi, tilts):
    """BOX BOUNDS lines of a triclinic box, as LAMMPS writes them."""
    lo, hi, (xy, xz, yz) = [float(v) for v in lo], [float(v) for v in hi], [float(v) for v in tilts]
    xlo_b, xhi_b = lo[0] + min(0.0, xy, xz, xy + xz), hi[0] + max(0.0, xy, xz, xy + xz)
    ylo_b, yhi_b = lo[1] + min(0.0, yz), hi[1] + max(0.0, yz)
    return (f"{xlo_b!r} {xhi_b!r} {xy!r}", f"{ylo_b!r} {yhi_b!r} {xz!r}", f"{lo[2]!r} {hi[2]!r} {yz!r}")


TILTS = [tuple(sign * size for sign, size in zip(signs, (1.5, 0.75, 0.5)))
         for signs in itertools.product((-1, 0, 1), repeat=3)]


@pytest.mark.parametrize("tilts", TILTS)
def test_triclinic_boxes_with_every_tilt_sign(tilts):
    lo, hi = (-1.25, 2.5, 0.5), (8.75, 12.5, 6.5)
    text = frame_text("id type x y z", [[1, 1, 0, 0, 0]], lammps_bounds(lo, hi, tilts), "xy xz yz pp fs pp")
    frame = read_text(text)[0]
    xy, xz, yz = tilts
    np.testing.assert_array_equal(frame.cell, [[10, 0, 0], [xy, 10, 0], [xz, yz, 6]])
    np.testing.assert_array_equal(frame.info["origin"], lo)
    assert frame.pbc.tolist() == [True, False, True]
    # Written back as LAMMPS writes it: the same bounds line for line.
    written = format_lammps_dump(frame).decode()
    assert ("xy xz yz" in written) == any(tilts)
    if any(tilts):
        for line, expected in zip(written.split("ITEM: BOX BOUNDS")[1].splitlines()[1:4], lammps_bounds(lo, hi, tilts)):
            assert [float(v) for v in line.split()] == [float(v) for v in expected.split()]


@pytest.mark.parametrize("bounds", [
    ("-0.07 5.658 -1.0", "0 10 2.72", "0 10 2.0"),  # the bounds computed again from cell and origin differ
    ("0 12 0.82", "-7.1 5.5 1.66", "-1 1 -3.29"),      # the same along y
])
def test_bounds_are_written_back_as_read(bounds):
    frame = read_text(frame_text("id type x y z", [[1, 1, 0, 0, 0]], bounds, "xy xz yz pp pp pp"))[0]
    written = format_lammps_dump(frame).decode().split("ITEM: BOX BOUNDS xy xz yz pp pp pp\n")[1].splitlines()[:3]
    assert [[float(v) for v in line.split()] for line in written] == [[float(v) for v in line.split()] for line in bounds]


def test_scaled_and_unwrapped_coordinates_against_cartesian():
    rng = np.random.default_rng(3)
    lo, hi, tilts = (-2.0, 1.0, 0.5), (9.0, 13.0, 8.5), (-1.75, 2.25, -0.5)
    cell = np.array([[hi[0] - lo[0], 0, 0], [tilts[0], hi[1] - lo[1], 0], [tilts[1], tilts[2], hi[2] - lo[2]]])
    fractional = rng.random((40, 3))
    images = rng.integers(-2, 3, (40, 3))
    x = lo + fractional @ cell
    xu = x + images @ cell
    columns = "id type x y z xs ys zs xu yu zu xsu ysu zsu ix iy iz"
    rows = [[k + 1, 1, *map(float, x[k]), *map(float, fractional[k]), *map(float, xu[k]),
             *map(float, fractional[k] + images[k]), *images[k]] for k in range(40)]
    text = frame_text(columns, rows, lammps_bounds(lo, hi, tilts), "xy xz yz pp pp pp")
    for keep in ("x y z", "xs ys zs", "xu yu zu", "xsu ysu zsu"):
        kept = keep.split()
        names = ["id", "type", *kept, "ix", "iy", "iz"]
        at = [columns.split().index(name) for name in names]
        frame = read_text(frame_text(" ".join(names), [[row[c] for c in at] for row in rows],
                                     lammps_bounds(lo, hi, tilts), "xy xz yz pp pp pp"))[0]
        assert frame.fractional == ("s" in kept[0])
        # Both forms from the box's lower corner, whichever the file gave.
        shift = frame.arrays["ix"][:, None] * cell[0] + frame.arrays["iy"][:, None] * cell[1] + \
            frame.arrays["iz"][:, None] * cell[2] if "u" in kept[0] else 0
        np.testing.assert_allclose(frame.cartesian_positions() - shift, x, rtol=0, atol=1e-12)
        shift = images if "u" in kept[0] else 0
        np.testing.assert_allclose(frame.fractional_positions() - shift, fractional, rtol=0, atol=1e-12)
    # With all four kinds, x y z are the positions and the others arrays of their own.
    frame = read_text(text)[0]
    assert not frame.fractional and set(frame.arrays) >= {"xs", "zu", "ysu"}


@pytest.mark.parametrize("style", ["extxyz", "xyz", "xdatcar", "lammps_dump"])
def test_scaled_and_cartesian_dumps_convert_alike(style, tmp_path):
    """A box away from the origin: the same atoms dumped as x y z and as
    xs ys zs are the same atoms in any other format, and back in a dump
    (an XDATCAR, which has no origin, holds them within its cell)."""
    lo, hi, tilts = (10.0, -4.0, 2.5), (20.0, 6.0, 12.5), (1.5, -0.75, 0.5)
    cell = np.array([[hi[0] - lo[0], 0, 0], [tilts[0], hi[1] - lo[1], 0], [tilts[1], tilts[2], hi[2] - lo[2]]])
    fractional = np.random.default_rng(8).random((20, 3))
    x = lo + fractional @ cell
    box = lammps_bounds(lo, hi, tilts)
    converted = []
    for columns, values in (("x y z", x), ("xs ys zs", fractional)):
        frame = read_text(frame_text(f"id type {columns}", [[k + 1, 1, *map(float, values[k])] for k in range(20)],
                                     box, "xy xz yz pp pp pp"), type_map={1: "Si"})[0]
        path = tmp_path / f"{columns[0]}.{style}"
        io_rs.write(path, [frame], format=style)
        converted.append(io_rs.read(path, format=style)[0])
    atol = 1e-12 if style in ("extxyz", "lammps_dump") else 1e-7  # the others' fixed decimals
    for frame in converted:
        if style != "xdatcar":
            np.testing.assert_allclose(frame.cartesian_positions(), x, rtol=0, atol=atol)
        if frame.cell is not None:
            np.testing.assert_allclose(frame.fractional_positions(), fractional, rtol=0, atol=atol)


def test_columns_types_groups_and_order():
    text = frame_text("type id element q x y z c_s[1] c_s[2] c_s[3] c_t[2] vx vy vz fx fy i_flag d_w i2_n[1] i2_n[2] "
                      "c_g[1] c_g[3]",
                      [[2, 10, "O", -0.5, 1, 2, 3, 1, 2, 3, 4, 0.1, 0.2, 0.3, 5, 6, -1, 0.5, 3, 4, 7, 8],
                       [1, 4294967297, "H", 0.25, 4, 5, 6, 7, 8, 9, 5, 0.4, 0.5, 0.6, 8, 9, 2, 1.5, 5, 6, 9, 10]])
    frame = read_text(text)[0]
    assert frame.symbols == ["O", "H"] and frame.arrays["id"].tolist() == [10, 4294967297]
    assert list(frame.arrays) == ["type", "id", "q", "c_s", "c_t[2]", "velocities", "fx", "fy", "i_flag", "d_w", "i2_n",
                                  "c_g[1]", "c_g[3]"]
    kinds = {name: array.dtype.kind for name, array in frame.arrays.items()}
    assert kinds == {"type": "i", "id": "i", "q": "f", "c_s": "f", "c_t[2]": "f", "velocities": "f", "fx": "f",
                     "fy": "f", "i_flag": "i", "d_w": "f", "i2_n": "i", "c_g[1]": "f", "c_g[3]": "f"}
    assert frame.arrays["c_s"].shape == (2, 3) and frame.arrays["i2_n"].tolist() == [[3, 4], [5, 6]]
    # NAME[1] alone, and what breaks a run, keep their names.
    assert frame.arrays["c_g[1]"].tolist() == [7, 9] and frame.arrays["c_g[3]"].tolist() == [8, 10]
    unsorted = read_text(text.replace("4294967297", "4"), sort=False)[0]
    assert unsorted.arrays["id"].tolist() == [10, 4] and unsorted.symbols == ["O", "H"]
    assert read_text(text.replace("4294967297", "4"))[0].arrays["id"].tolist() == [4, 10]


@pytest.mark.parametrize("ids, order", [
    ([5, 3, 4, 1, 2], [3, 4, 1, 2, 0]),              # a run's ids, shuffled
    ([50, 7, 1000, 8], [1, 3, 0, 2]),                # gaps
    ([2, 1, 2, 1], [1, 3, 0, 2]),                    # repeated ids keep the file's order
    ([4, 2, 2, 1], [3, 1, 2, 0]),                    # as many ids as a run's span, one of them twice
    ([-3, 2**62, -2**63, 0], [2, 0, 3, 1]),          # the whole range of 64 bits
    ([1, 2, 3], [0, 1, 2]),
])
def test_atoms_are_sorted_by_id(ids, order):
    rows = [[i, k, 0, 0, k] for k, i in enumerate(ids)]
    frame = read_text(frame_text("id type x y z", rows))[0]
    assert frame.arrays["id"].tolist() == [ids[k] for k in order]
    assert frame.arrays["type"].tolist() == order and frame.positions[:, 2].tolist() == order


def shuffled_ids(kind, n, rng):
    ids = rng.permutation(n) + 1
    if kind == "from zero":
        ids -= 1
    elif kind == "one twice":
        ids[n // 3] = ids[2 * n // 3]
    elif kind == "one twice in a bucket":  # 6 gone, 5 twice: the first slots' bucket is one row short
        ids[ids == 6] = 5
    elif kind == "one past the run":
        ids[n // 2] = n + 7
    elif kind == "long ids":
        ids = ids.astype(np.int64) + 2**60
    elif kind == "in order":
        ids = np.arange(1, n + 1)
    elif kind == "in order, a gap":
        ids = np.arange(1, n + 1) + n * (np.arange(n) >= n // 2)
    elif kind == "runs in order, shuffled":  # each process's atoms in order
        blocks = np.array_split(np.arange(1, n + 1), 7)
        ids = np.concatenate([blocks[k] for k in rng.permutation(len(blocks))])
    elif kind == "in order, two swapped":  # where the reader may not look
        ids = np.arange(1, n + 1)
        at = n // 2 + 3 if n >= 10 else 0
        ids[[at, at + 1]] = ids[[at + 1, at]]
    elif kind == "in order, then shuffled":
        ids = np.concatenate([np.arange(1, n // 9 + 1), rng.permutation(np.arange(n // 9 + 1, n + 1))])
    elif kind == "half in order, one past":
        ids = np.concatenate([np.arange(1, n // 2 + 1), rng.permutation(np.arange(n // 2 + 1, n + 1))])
        ids[-1] = n + 7
    return ids


@pytest.mark.parametrize("kind", ["a run from 1", "from zero", "one twice", "one twice in a bucket", "one past the run",
                                  "long ids", "in order", "in order, a gap", "runs in order, shuffled",
                                  "in order, two swapped", "in order, then shuffled", "half in order, one past"])
@pytest.mark.parametrize("columns", ["id type x y z", "type id x y z vx vy vz", "id element q x y z"])
@pytest.mark.parametrize("sizes", [[30000], [400, 300, 500, 40000, 2], [3000] * 40, [3000] * 9, [3000] * 9 + [20000],
                                   [130000, 3000]])
def test_sorting_equals_a_stable_sort_of_the_file_order(kind, columns, sizes):
    """Frames large and small, on one thread and on two: every row where a
    stable sort of the unsorted rows by id puts it. Frames come in threes
    of the same ids, and some values need the general number reader; frames
    of 130 000 rows go to their slots through buckets."""
    rng = np.random.default_rng(len(columns) + len(sizes))
    text = ""
    for k, n in enumerate(sizes):
        values = {"id": shuffled_ids(kind, n, rng) + 1000 * (k // 3), "type": rng.integers(1, 4, n),
                  "element": rng.choice(["Si", "O"], n), "q": rng.choice([0.5, -1.5e-7, 2.25e21, 3], n)}
        table = np.array([values[name] if name in values else rng.uniform(-5, 5, n).round(6)
                          for name in columns.split()], dtype=object).T
        text += frame_text(columns, table.tolist(), timestep=k)
    data = text.encode()
    unsorted = io_rs.read_lammps_dump(io.BytesIO(data), sort=False, threads=1)
    for threads in (1, 2):
        frames = io_rs.read_lammps_dump(io.BytesIO(data), threads=threads)
        assert len(frames) == len(unsorted) == len(sizes)
        for frame, plain in zip(frames, unsorted):
            order = np.argsort(plain.arrays["id"], kind="stable")
            assert np.array_equal(frame.positions, plain.positions[order])
            for name, array in plain.arrays.items():
                assert np.array_equal(frame.arrays[name], array[order]), name


@pytest.mark.parametrize("threads", [1, 2])
def test_large_buffers_without_a_whole_frame(threads):
    """Enough bytes for threads, and no frame in them: blank lines alone, or
    a first frame cut in its header."""
    assert read_text(b"\r\n" * 40000, threads=threads) == []
    with pytest.warns(_files.TruncatedWarning, match="frame 1 ends in its header"):
        assert read_text(b"ITEM: TIMESTEP\n0\n" + b" " * 70000, threads=threads) == []


def test_numbers_of_every_short_shape_against_float():
    rng = np.random.default_rng(9)
    fields = [sign + "".join(rng.choice(list("0123456789"), whole)) + point + "".join(rng.choice(list("0123456789"), k))
              for sign in ("", "-", "+") for whole in range(0, 10) for point in (".", "") for k in range(0, 10)
              for _ in range(2) if whole + k > 0 and (point or k == 0)]
    rows = [[k + 1, field, field[:1] + "7", field] for k, field in enumerate(fields)]
    frame = read_text(frame_text("id x y z", rows))[0]
    expected = [float(field) for field in fields]
    assert frame.positions[:, 0].tolist() == expected and frame.positions[:, 2].tolist() == expected
    assert np.signbit(frame.positions[:, 0]).tolist() == [f.startswith("-") for f in fields]
    ids = [str(int(v)) for v in rng.integers(-2**62, 2**62, 50)] + ["+5", "-0", "007", "123456789012345678"]
    frame = read_text(frame_text("x y z id", [[0, 0, 0, i] for i in ids]), sort=False)[0]
    assert frame.arrays["id"].tolist() == [int(i) for i in ids]


def test_type_map_gives_symbols():
    text = frame_text("id type x y z", [[1, 2, 0, 0, 0], [2, 1, 0, 0, 0], [3, 2, 0, 0, 0]])
    assert read_text(text, type_map={1: "Si", 2: "O"})[0].symbols == ["O", "Si", "O"]
    assert read_text(text)[0].symbols is None
    assert io_rs.read(io.BytesIO(text.encode()), format="lammps-dump", type_map={1: "Si", 2: "O"})[0].symbols[0] == "O"
    with pytest.raises(ValueError, match="no symbol for type 2"):
        read_text(text, type_map={1: "Si"})


LABELS = ["O", "H", "CT", "_w", "Na+"]


def labelled_frames(rng, frames):
    """Frames whose type column holds labels, numbers, or (a frame the first
    line of which has a label) both, with the types a plain reading gives."""
    text, expected = "", []
    for k in range(frames):
        n = int(rng.integers(1, 300)) if k % 4 else 60_000
        ids = rng.permutation(n) + 1
        labelled = k % 3 != 1
        types = [LABELS[i % 5] if labelled else str(i % 4 + 1) for i in ids.tolist()]
        if labelled and n > 3:
            types[-1] = "7"  # a number in a labelled frame is a label too
        rows = [[i, t, i * 0.5, -i, 2.25] for i, t in zip(ids.tolist(), types)]
        text += frame_text("id type x y z", rows, timestep=k)
        by_id = [t for _, t in sorted(zip(ids.tolist(), types))]
        expected.append(np.array(by_id, dtype=str) if labelled else np.array(by_id, dtype=np.int64))
    return text.encode(), expected


def test_type_labels_are_read_as_text_frame_by_frame():
    data, expected = labelled_frames(np.random.default_rng(7), 9)
    reads = [io_rs.read_lammps_dump(io.BytesIO(data), threads=threads) for threads in (1, 2, 3)]
    reads += [list(io_rs.iter_lammps_dump(io.BytesIO(data), threads=2)), io_rs.open_lammps_dump(io.BytesIO(data))[:]]
    for frames in reads:
        assert len(frames) == len(expected)
        for frame, types in zip(frames, expected):
            assert frame.arrays["type"].dtype.kind == types.dtype.kind and frame.arrays["type"].tolist() == types.tolist()
            assert frame.symbols is None
    assert all(frames == reads[0] for frames in reads[1:])
    unsorted = io_rs.read_lammps_dump(io.BytesIO(data), sort=False)
    assert sorted(unsorted[0].arrays["type"].tolist()) == sorted(expected[0].tolist())
    with io_rs.open(io.BytesIO(data), format="lammps_dump") as trajectory:
        assert trajectory.batch(2, 4).arrays["type"].tolist() == [*expected[2], *expected[3]]
        with pytest.raises(ValueError, match="'type' holds text in some frames and numbers in others"):
            trajectory.batch(0, 2)
    alone = data[:data.index(b"ITEM: TIMESTEP", 1)]  # one large frame, read in ranges of its lines
    for threads in (1, 2, 3):
        assert io_rs.read_lammps_dump(io.BytesIO(alone), threads=threads)[0] == reads[0][0]


def test_type_labels_take_a_type_map_and_are_written_back():
    text = frame_text("id type x y z", [[2, "CT", 1, 2, 3], [1, "HC", 4, 5, 6], [3, "CT", 7, 8, 9]])
    assert read_text(text, type_map={"CT": "C", "HC": "H"})[0].symbols == ["H", "C", "C"]
    with pytest.raises(ValueError, match="no symbol for type 'HC'"):
        read_text(text, type_map={"CT": "C", 1: "H"})
    frames = read_text(text)
    written = format_lammps_dump(frames)
    assert b"\n1 HC 4 5 6\n" in written and read_text(written) == frames
    for label in ["1a", "-x", "a b", ""]:
        frame = io_rs.Frame(np.zeros((1, 3)), cell=np.eye(3), arrays={"type": np.array([label])})
        with pytest.raises(ValueError, match="cannot be written: a type label is one word"):
            format_lammps_dump(frame)


@pytest.mark.parametrize("threads", [1, 2])
def test_a_labelled_frame_cut_short_is_cut(threads):
    data, _ = labelled_frames(np.random.default_rng(3), 3)  # the last frame labelled
    last = data.rfind(b"\n", 0, -1) + 1
    ending = data[last:].replace(b" 7 ", b" CT ")
    outcomes = {}
    for cut in (ending[:-1], ending[:-6], ending[:ending.index(b" ") + 2]):  # whole without LF; a field short; a label
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            frames = io_rs.read_lammps_dump(io.BytesIO(data[:last] + cut), threads=threads)
        outcomes[cut] = (len(frames), [str(w.message).split(" (")[0] for w in caught])
    n = data[data.rindex(b"ITEM: ATOMS"):].count(b"\n") - 1
    cut_short = (2, [f"LAMMPS dump <BytesIO>: frame 3 ends after {n - 1} of {n} atom lines"])
    assert list(outcomes.values()) == [(3, []), cut_short, cut_short]
    numbers_then_label = frame_text("id type x y z", [[1, 1, 0, 0, 0], [2, "O", 0, 0, 0]])
    with pytest.raises(io_rs.FormatError, match="expected a whole number in column 'type', got 'O'"):
        read_text(numbers_then_label, threads=threads)


def test_frames_differ_in_atoms_columns_and_coordinates():
    text = (frame_text("id type x y z", [[2, 1, 1, 2, 3], [1, 1, 4, 5, 6]], timestep=0)
            + frame_text("z y x type id q", [[3, 2, 1, 1, 1, 0.5]], timestep=10)
            + frame_text("id xs ys zs", [[1, 0.5, 0.25, 0.125]], timestep=20, sections="ITEM: TIME\n2.5\n"))
    for frames in (read_text(text), list(io_rs.iter_lammps_dump(io.BytesIO(text.encode()))),
                   io_rs.open_lammps_dump(io.BytesIO(text.encode()))[:]):
        assert [frame.natoms for frame in frames] == [2, 1, 1]
        assert frames[0].positions.tolist() == [[4, 5, 6], [1, 2, 3]]
        assert frames[1].positions.tolist() == [[1, 2, 3]] and frames[1].arrays["q"].tolist() == [0.5]
        assert frames[2].fractional and frames[2].info.keys() == {"timestep", "time", "origin"}
        assert (frames[2].info["timestep"], frames[2].info["time"]) == (20, 2.5)


@pytest.mark.parametrize("variant", ["crlf", "trailing blanks", "no final newline", "integer bounds", "blank lines",
                                     "no names", "no names, images", "no flags", "right aligned", "one-sided flags"])
def test_text_variants(variant):
    base = frame_text("id type xs ys zs", [[2, 1, 0.5, 0.5, 0.5], [1, 2, 0.25, 0.5, 0.75]])
    text = {
        "crlf": base.replace("\n", "\r\n"),
        "trailing blanks": base.replace("\n", " \t\n"),
        "no final newline": base.rstrip("\n"),
        "integer bounds": base,
        "blank lines": base + "\n\n" + base + "  \n\n",
        "no names": base.replace("ITEM: ATOMS id type xs ys zs", "ITEM: ATOMS"),
        "no names, images": base.replace("ITEM: ATOMS id type xs ys zs", "ITEM: ATOMS")
                                .replace("0.5\n", "0.5 0 1 -1\n").replace("0.75\n", "0.75 2 0 0\n"),
        "no flags": base.replace("BOX BOUNDS pp pp pp", "BOX BOUNDS"),
        "one-sided flags": base.replace("BOX BOUNDS pp pp pp", "BOX BOUNDS pf pp mf"),
        "right aligned": re.sub(r"(?m)^(\S+) (\S+) (\S+) (\S+) (\S+)$",
                                lambda m: "".join(f"{v:>12}" for v in m.groups()), base),
    }[variant]
    frames = read_text(text)
    assert len(frames) == (2 if variant == "blank lines" else 1)
    frame = frames[0]
    assert frame.positions.tolist() == [[0.25, 0.5, 0.75], [0.5, 0.5, 0.5]] and frame.fractional
    assert frame.cell.tolist() == np.diag([10.0, 10, 10]).tolist()
    assert frame.pbc.tolist() == ([False, True, False] if variant == "one-sided flags" else [True] * 3)
    assert frame.arrays["type"].tolist() == [2, 1]
    if variant == "no names, images":
        assert frame.arrays["ix"].tolist() == [2, 0]


def test_sections_before_the_box_are_kept_by_name():
    text = frame_text("id type x y z", [[1, 1, 0, 0, 0]],
                      sections="ITEM: UNITS\nmetal\nITEM: TIME\n0.5\nITEM: ENERGY\n-12.5\nITEM: STEPS\n7\n"
                               "ITEM: NOTE\ntwo\nlines\n")
    frame = read_text(text)[0]
    origin = frame.info.pop("origin")
    assert frame.info == {"timestep": 0, "units": "metal", "time": 0.5, "ENERGY": -12.5, "STEPS": 7,
                          "NOTE": "two\nlines"} and origin.tolist() == [0, 0, 0]
    frame.info["origin"] = origin
    back = read_text(format_lammps_dump(frame))[0]
    assert back == frame and type(back.info["STEPS"]) is int


# (text, line, frame, what the message says)
MALFORMED = [
    ("ITEM: TIMESTEP\n0\nITEM: NUMBER OF ENTRIES\n1\nITEM: BOX BOUNDS pp pp pp\n0 1\n0 1\n0 1\n"
     "ITEM: ENTRIES c_1[1] c_1[2]\n1 2\n", 9, 1,
     "frame 1: expected ITEM: ATOMS (dump local, of ENTRIES, is not read), got 'ITEM: ENTRIES c_1[1] c_1[2]'"),
    ("ITEM: TIMESTEP\nx\n", 2, 1, "frame 1: expected the timestep (one whole number), got 'x'"),
    ("hello\n", 1, 1, "frame 1: expected an ITEM: line (ITEM: TIMESTEP), got 'hello'"),
    ("ITEM: TIMESTEP\n1\nITEM: NUMBER OF ATOMS\n-1\n", 4, 1, "expected the number of atoms (one whole number), got '-1'"),
    ("ITEM: TIMESTEP\n1\nITEM: NUMBER OF ATOMS\n1\nITEM: BOX BOUNDS pp pp\n", 5, 1,
     "expected ITEM: BOX BOUNDS, then 'xy xz yz' or 'abc origin' or nothing"),
    (frame_text("id x y z", [[1, 0, 0, 0]], box=("0 1", "0 1 2", "0 1")), 7, 1, "expected 2 numbers (ylo yhi), got '0 1 2'"),
    (frame_text("id x y z", [[1, 0, 0, 0]], style="pp pp pp pp"), 5, 1, "expected ITEM: BOX BOUNDS, then"),
    (frame_text("id x y z", [[1, "0\x0b0", 0]]), 10, 1, "expected a number in column 'x', got '0\x0b0'"),
    (frame_text("id x y z", [[1, "1.2.3", 0, 0]]), 10, 1, "expected a number in column 'x', got '1.2.3'"),
    (frame_text("id x y z", [[1, 0, 0, 0]], box=("0 1 0 0", "0 1 0 0", "0 1 0"), style="abc origin pp pp pp"), 8, 1,
     "expected 4 numbers (cx cy cz originz), got '0 1 0'"),
    (frame_text("id x y z", [[1, 0, 0]]), 10, 1, "frame 1, atom line 1: expected 4 fields (id x y z), got 3"),
    (frame_text("id x y z", [[1, 0, 0, 0, 5]]), 10, 1, "frame 1, atom line 1: expected 4 fields (id x y z), got 5"),
    (frame_text("id x y z", [[1, 0, "1e", 0]]), 10, 1, "expected a number in column 'y', got '1e'"),
    (frame_text("id x y z", [[1.5, 0, 0, 0]]), 10, 1, "expected a whole number in column 'id', got '1.5'"),
    (frame_text("id x y z", [[99999999999999999999, 0, 0, 0]]), 10, 1, "in column 'id', got '99999999999999999999'"),
    (frame_text("id x x z", [[1, 0, 0, 0]]), 9, 1, "frame 1: column 'x' appears twice"),
    (frame_text("id q", [[1, 0]]), 9, 1, "expected coordinate columns (x y z, xu yu zu, xs ys zs or xsu ysu zsu)"),
    ("ITEM: TIMESTEP\n1\nITEM: TIMESTEP\n", 3, 1, "expected ITEM: ATOMS, got a second 'ITEM: TIMESTEP'"),
    ("ITEM: TIMESTEP\n1\nITEM: NUMBER OF ATOMS\n0\nITEM: ATOMS x y z\n", 5, 1,
     "expected ITEM: BOX BOUNDS before ITEM: ATOMS"),
    (frame_text("id x y z", [[1, 0, 0, 0]], sections="ITEM: TIME\nsoon\n"), 2, 1, "expected the time (one number)"),
    (frame_text("x y z", [[0, 0, 0]] * 2).replace("2\nITEM: BOX", "3\nITEM: BOX") + frame_text("x y z", [[0, 0, 0]]),
     12, 1, "frame 1 ends after 2 of 3 atom lines: expected an atom line, got 'ITEM: TIMESTEP'"),
    (frame_text("x y z", [[0, 0, 0]]) + frame_text("x y z", [[0, 0, "z"]]), 20, 2,
     "frame 2, atom line 1: expected a number in column 'z', got 'z'"),
    # A bad atom line before a bad header: the scan of iter and open passes over atom lines.
    (frame_text("id x y z", [[1, 0, 0, 0, 9], [2, 0, 0, 0]]) + frame_text("id x y z", [[1, 0, 0, 0]], ("0 1", "0 1", "0")),
     10, 1, "frame 1, atom line 1: expected 4 fields (id x y z), got 5"),
    # A text column left empty, after a blank: no empty text is made up for it.
    *[(frame_text(f"id {columns}", [[1, *atom], [2, *missing], [3, *atom]]), 11, 1,
       f"frame 1, atom line 2: expected {len(atom) + 1} fields (id {columns}), got {len(atom)}")
      for columns, atom, missing in [("x y z element", [0, 0, 0, "Si"], [0, 0, 0, ""]),
                                     ("element x y z", ["Si", 0, 0, 0], ["", 0, 0, 0]),
                                     ("x y z element q", [0, 0, 0, "Si", 1], [0, 0, 0, "", 1])]],
    (frame_text("id x y z", [[1, 0, 0, 0], [2, 0, 0, 0]]).replace("0\n2 0", "0\n\n2 0"), 11, 1,
     "frame 1, atom line 2: expected 4 fields (id x y z), got 0"),
    *[(frame_text("id x y z", [[1, 0, 0, 0]]).replace("ITEM: ATOMS", f"ITEM: {name}"), 9, 1,
       f"frame 1: expected ITEM: ATOMS, got 'ITEM: {name} id x y z'") for name in ("ATOM", "atoms", "ATOMSX")],
]


@pytest.mark.parametrize("text, line, frame, problem", MALFORMED)
def test_malformed_files_name_file_line_frame_and_problem(text, line, frame, problem, tmp_path):
    path = tmp_path / "bad.dump"
    path.write_text(text + frame_text("x y z", [[0, 0, 0]]))
    for read in (io_rs.read_lammps_dump, lambda p: list(io_rs.iter_lammps_dump(p)),
                 lambda p: io_rs.open_lammps_dump(p)[:]):
        with pytest.raises(io_rs.FormatError) as caught:
            read(path)
        assert problem in str(caught.value) and f"'{path}'" in str(caught.value)
        assert (caught.value.line, caught.value.frame, caught.value.format) == (line, frame, "LAMMPS dump")


def many_frames(count=400, natoms=50, seed=0):
    rng = np.random.default_rng(seed)
    return "".join(frame_text("id type x y z vx", [[i + 1, 1, *rng.random(3).round(6), -round(rng.random(), 4)]
                                                    for i in rng.permutation(natoms)], timestep=10 * k)
                   for k in range(count))


class Trickle:
    """A stream with nothing but read(), giving at most a few bytes a call."""

    def __init__(self, data, most):
        self._data, self._at, self._most = data, 0, most

    def read(self, size=-1):
        size = min(size if size >= 0 else len(self._data), self._most)
        chunk = self._data[self._at:self._at + size]
        self._at += len(chunk)
        return chunk


@pytest.mark.parametrize("stream", ["BytesIO", "unbuffered file", "trickle", "gzip file"])
def test_streams_gone_through_in_small_windows_give_every_frame(stream, tmp_path, monkeypatch):
    """Windows of a few hundred bytes, so that frames and lines cross them,
    read into the window's buffer from each kind of stream."""
    monkeypatch.setattr(_files, "CHUNK_BYTES", 300)
    data = many_frames(count=30, natoms=20).encode()
    path = tmp_path / "frames.dump"
    path.write_bytes(data)
    if stream == "BytesIO":
        source = io.BytesIO(data)
    elif stream == "unbuffered file":
        source = open(path, "rb", buffering=0)
    elif stream == "trickle":
        source = Trickle(data, 70)
    else:
        source = tmp_path / "frames.dump.gz"
        source.write_bytes(gzip.compress(data))
    frames = list(io_rs.iter_lammps_dump(source))
    if stream == "unbuffered file":
        source.close()
    assert frames == io_rs.read_lammps_dump(io.BytesIO(data))


def path_outcome(path, **options):
    """The frames and warnings of read_lammps_dump(path), or its error and line."""
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            frames = io_rs.read_lammps_dump(path, **options)
        return frames, [str(warning.message) for warning in caught]
    except io_rs.FormatError as error:
        return str(error), error.line


@pytest.mark.parametrize("suffix, compress", [(".gz", gzip.compress), (".bz2", bz2.compress)])
@pytest.mark.parametrize("damage", ["none", "cut", "a stray byte"])
def test_a_compressed_path_reads_as_the_plain_file(tmp_path, monkeypatch, suffix, compress, damage):
    """read_lammps_dump of a compressed path goes through windows, the next
    decompressed meanwhile: frames, warnings and errors as from the plain file."""
    monkeypatch.setattr(_files, "CHUNK_BYTES", 700)
    data = many_frames(count=30, natoms=20).encode()
    if damage == "cut":
        data = data[:len(data) - 300]
    elif damage == "a stray byte":
        data = data[:len(data) // 2] + b"x" + data[len(data) // 2:]
    plain = tmp_path / "frames.dump"
    plain.write_bytes(data)
    packed = tmp_path / ("frames.dump" + suffix)
    packed.write_bytes(compress(data))
    expected = path_outcome(plain)
    for threads in (1, 2):
        frames, said = path_outcome(packed, threads=threads)
        named = (lambda text: text.replace(str(packed), str(plain)))
        assert (named(frames) if isinstance(frames, str) else frames,
                said if isinstance(frames, str) else [named(text) for text in said]) == expected
    assert isinstance(expected[0], str) == (damage == "a stray byte")
    assert (damage == "cut") == (not isinstance(expected[0], str) and bool(expected[1]))


def test_a_stream_in_text_mode_is_refused(tmp_path):
    path = tmp_path / "frames.dump"
    path.write_text(many_frames(count=2))
    with open(path) as text, pytest.raises(TypeError, match="opened in binary mode"):
        list(io_rs.iter_lammps_dump(text))


@pytest.mark.parametrize("damage", ["atom", "header", "count", "atom, then header"])
def test_the_first_failure_in_file_order_on_any_thread_count(damage):
    text = many_frames()
    lines = text.splitlines(keepends=True)
    at = len(lines) // 3
    while not (lines[at].startswith("ITEM: NUMBER") if not damage.startswith("atom") else lines[at][0].isdigit() and
               len(lines[at].split()) == 6):
        at += 1
    if damage.startswith("atom"):
        lines[at] = lines[at].replace(" ", " x ", 1)
        lines[at + 40] = "bad\n"  # a later failure, which another thread may meet first
        if damage == "atom, then header":  # one the pass meets, frames later
            later = next(k for k in range(at + 3000, len(lines)) if lines[k].startswith("ITEM: NUMBER"))
            lines[later + 1] = "fifty\n"
    elif damage == "header":
        lines[at + 1] = "fifty\n"
    else:
        lines[at + 1] = "49\n"  # a frame one line short of its atoms
    data = "".join(lines).encode()
    messages = set()
    for threads in (1, 2, 3, 8):
        with pytest.raises(io_rs.FormatError) as caught:
            io_rs.read_lammps_dump(io.BytesIO(data), threads=threads)
        messages.add((str(caught.value), caught.value.line))
    expected = at + {"atom": 1, "atom, then header": 1, "header": 2, "count": 57}[damage]
    assert len(messages) == 1 and next(iter(messages))[1] == expected


def test_results_on_any_thread_count_are_the_same():
    data = many_frames().encode()
    one = io_rs.read_lammps_dump(io.BytesIO(data), threads=1)
    for threads in (2, 3, 8):
        assert io_rs.read_lammps_dump(io.BytesIO(data), threads=threads) == one
    # Large frames of a run's ids: shuffled (through buckets), reversed, and
    # in blocks that each follow on (as processes write them: moved as blocks).
    rng = np.random.default_rng(4)
    for ids in (rng.permutation(60_000) + 1, np.arange(60_000, 0, -1),
                np.concatenate([block for block in np.array_split(np.arange(1, 60_001), 7)][::-1])):
        big = frame_text("id type x y z", [[i, i % 3, i * 0.5, -i, 2.25] for i in ids.tolist()]).encode()
        frames = [io_rs.read_lammps_dump(io.BytesIO(big), threads=threads)[0] for threads in (1, 2, 3)]
        assert frames[0] == frames[1] == frames[2]
        assert frames[0].arrays["id"].tolist() == list(range(1, 60_001))
        assert frames[0].positions[:, 1].tolist() == [-i for i in range(1, 60_001)]
        assert frames[0].arrays["type"].tolist() == [i % 3 for i in range(1, 60_001)]


def large_frames_outcome(data, threads, sort=True):
    """The frames and warnings of a read, or its error."""
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            frames = io_rs.read_lammps_dump(io.BytesIO(data), threads=threads, sort=sort)
        return frames, [str(warning.message) for warning in caught]
    except io_rs.FormatError as error:
        return str(error), error.line


@pytest.mark.parametrize("damage", ["a bad number", "a field short", "a field more", "an id of letters",
                                    "a bad number after a long id", "cut", "cut, no LF"])
@pytest.mark.parametrize("sizes", [[2000] * 5, [40000]])
def test_a_damaged_line_among_shuffled_ids_fails_as_in_file_order(damage, sizes):
    """Rows that go straight to the slots of their ids as they are read
    (a large frame's by threads that share its ids out): a damaged line
    stops them where it stops rows read in file order."""
    rng = np.random.default_rng(11)
    frames = [[[i, 1, *rng.random(3).round(5)] for i in rng.permutation(n) + 1] for n in sizes]
    damaged = len(sizes) - 1 - (len(sizes) > 1)  # the fourth of five, or the only one
    row = frames[damaged][3 * sizes[damaged] // 4]
    if damage == "a bad number":
        row[3] = "0.5x"
    elif damage == "a field short":
        row.pop()
    elif damage == "a field more":
        row.append(7)
    elif damage == "an id of letters":
        row[0] = "abc"
    elif damage == "a bad number after a long id":
        row[0], row[4] = f"{row[0]:020d}", "1.2.3"
    text = "".join(frame_text("id type x y z", rows, timestep=k) for k, rows in enumerate(frames))
    if damage.startswith("cut"):
        text = text[:text.rindex("\n", 0, len(text) - 4000) + (0 if "no LF" in damage else 1)]
    data = text.encode()
    in_file_order = large_frames_outcome(data, 1, sort=False)
    for threads in (1, 2):
        outcome = large_frames_outcome(data, threads)
        if damage.startswith("cut"):
            assert [len(frame.positions) for frame in outcome[0]] == sizes[:-1] and outcome[1] == in_file_order[1]
        else:
            where = f"frame {damaged + 1}, atom line {3 * sizes[damaged] // 4 + 1}"
            assert outcome == in_file_order and where in outcome[0]


@pytest.mark.parametrize("damage", ["none", "a frame one line short", "a frame one line over", "cut", "cut, no LF",
                                    "cut, no LF, at a block's end", "crlf"])
def test_large_frames_skipped_a_block_at_a_time_read_as_on_one_thread(damage):
    # Frames of a thousand lines and more, which the pass of a read on
    # threads skips by blocks of counted line ends, starting anywhere in a
    # block and ending in another.
    rng = np.random.default_rng(7)
    sizes = [1024, 1500, 5000, 1023, 3000, 2048, 1100]
    data = "".join(frame_text("id type x y z", [[i + 1, 1, *rng.random(3).round(int(rng.integers(1, 9)))]
                                                for i in rng.permutation(n)], timestep=k)
                   for k, n in enumerate(sizes))
    if damage.startswith("a frame"):
        data = data.replace("ITEM: NUMBER OF ATOMS\n5000\n", "ITEM: NUMBER OF ATOMS\n5001\n" if "short" in damage
                            else "ITEM: NUMBER OF ATOMS\n4999\n")
    elif damage == "cut, no LF, at a block's end":  # the last line, open, ends the last block counted
        data = data[:(len(data) - 700) // 16384 * 16384]
        assert not data.endswith("\n")
    elif damage.startswith("cut"):
        data = data[:len(data) - 700]
        data = data[:data.rindex("\n") + (0 if "no LF" in damage else 1)]
    elif damage == "crlf":
        data = data.replace("\n", "\r\n")
    outcomes = [large_frames_outcome(data.encode(), threads) for threads in (1, 2, 3)]
    assert outcomes[0] == outcomes[1] == outcomes[2]
    if damage in ("none", "crlf"):
        frames = outcomes[0][0]
        assert [len(frame.positions) for frame in frames] == sizes and outcomes[0][1] == []
    elif damage.startswith("cut"):
        assert len(outcomes[0][0]) == len(sizes) - 1 and "ends" in outcomes[0][1][0]
    else:
        assert isinstance(outcomes[0][0], str) and outcomes[0][1] > 1000


@pytest.mark.parametrize("last", ["ITEM: ATOM id type x y z\n1 1 4 5 6\n", "ITEM: atoms id type x y z\n1 1 4 5 6\n",
                                  "ITEM: ATOMS id type x y", "ITEM: ATOMS i", "ITEM: ATOMS id type x y z\n"])
def test_the_last_frames_atoms_line_misspelt_or_cut(last, tmp_path):
    """A complete file whose last ITEM: ATOMS is misspelt is an error, not
    a file cut short; a file cut in that line (its atom lines to come)
    keeps every whole frame, whichever way it is read."""
    first = frame_text("id type x y z", [[1, 1, 1, 2, 3]])
    path = tmp_path / "last.dump"
    path.write_text(first + frame_text("id type x y z", [[1, 1, 4, 5, 6]], timestep=1).split("ITEM: ATOMS")[0] + last)
    for read in (io_rs.read_lammps_dump, lambda p: list(io_rs.iter_lammps_dump(p)),
                 lambda p: io_rs.open_lammps_dump(p)[:], lambda p: io_rs.read_lammps_dump(p, threads=2)):
        if "ITEM: ATOMS " in last:
            with pytest.warns(io_rs.TruncatedWarning, match="frame 2 ends (in its header|after 0 of 1 atom lines)"):
                assert read(path) == read_text(first)
        else:
            with pytest.raises(io_rs.FormatError, match="frame 2: expected ITEM: ATOMS, got 'ITEM: ") as caught:
                read(path)
            assert caught.value.line == 19


def test_a_run_killed_while_it_wrote_gives_every_whole_frame(tmp_path):
    data = many_frames(count=30, natoms=20).encode()
    starts = [m.start() for m in re.finditer(rb"ITEM: TIMESTEP", data)]
    whole = io_rs.read_lammps_dump(io.BytesIO(data))
    rng = np.random.default_rng(1)
    # Any cut before the last field of the last line (a cut inside it can
    # leave a number that reads, as a file without final LF may end).
    last_field = data.rstrip(b"\n").rfind(b" ")
    for cut in sorted({starts[-1] + 1, last_field, last_field - 5,
                       *rng.integers(starts[-1] + 1, last_field, 12).tolist()}):
        path = tmp_path / "cut.dump"
        path.write_bytes(data[:cut])
        for read in (io_rs.read_lammps_dump, lambda p: list(io_rs.iter_lammps_dump(p)),
                     lambda p: io_rs.open_lammps_dump(p)[:], lambda p: io_rs.read_lammps_dump(p, threads=3)):
            with pytest.warns(io_rs.TruncatedWarning, match=rf"frame 30 ends .*\(the frame starts at line {29 * 29 + 1} "
                                                           r"of the file\).*29 complete frames are read, the last at "
                                                           r"timestep 280"):
                assert read(path) == whole[:-1]
    # A last line without LF that reads is whole.
    path.write_bytes(data.rstrip(b"\n"))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert io_rs.read_lammps_dump(path) == whole


def test_frame_k_is_read_alone_and_infos_come_from_the_scan(tmp_path):
    path = tmp_path / "many.lammpstrj.gz"
    data = many_frames(count=40).encode()
    path.write_bytes(gzip.compress(data))
    frames = io_rs.read_lammps_dump(io.BytesIO(data))
    with io_rs.open(path) as trajectory:
        assert isinstance(trajectory, io_rs.LammpsDumpFile) and trajectory.format == "lammps_dump"
        assert trajectory[17] == frames[17] and trajectory.box_kinds == ["orthogonal"] * 40
        assert trajectory.columns(3) == ("id", "type", "x", "y", "z", "vx")
        batch = trajectory.batch(5, 9)
        assert batch.natoms.tolist() == [50] * 4
        np.testing.assert_array_equal(batch.positions, np.concatenate([f.positions for f in frames[5:9]]))
        np.testing.assert_array_equal(batch.arrays["vx"], np.concatenate([f.arrays["vx"] for f in frames[5:9]]))
        assert [info["timestep"] for info in batch.info] == [50, 60, 70, 80]


def test_to_dask_reads_positions_from_the_path(tmp_path):
    pytest.importorskip("dask")
    path = tmp_path / "many.dump"
    path.write_text(many_frames(count=12))
    frames = io_rs.read_lammps_dump(path)
    with io_rs.open_lammps_dump(path) as trajectory:
        array = trajectory.to_dask(frames_per_chunk=5)
    np.testing.assert_array_equal(array.compute(), np.stack([f.positions for f in frames]))


def test_the_table_of_formats(tmp_path):
    text = frame_text("id type x y z", [[1, 1, 0, 0, 0]])
    for name in ("a.lammpstrj", "run.dump", "dump.nacl", "A.LAMMPSTRJ.gz"):
        path = tmp_path / name
        path.write_bytes(gzip.compress(text.encode()) if name.endswith(".gz") else text.encode())
        assert io_rs.read(path)[0].natoms == 1
    (tmp_path / "unnamed").write_text("ITEM: UNITS\nreal\n" + text)
    assert io_rs.read(tmp_path / "unnamed")[0].info["units"] == "real"
    row = next(info for info in io_rs.formats() if info.name == "lammps_dump")
    assert (row.can_write, row.decimals, row.read_options, row.write_options) == (True, True, ("type_map", "sort"),
                                                                                  ("columns",))
    with pytest.raises(TypeError, match="not comment="):
        io_rs.read(tmp_path / "a.lammpstrj", comment="x")
    io_rs.write(tmp_path / "out.dump", io_rs.read(tmp_path / "a.lammpstrj"), decimals=3)
    assert b"0.000 0.000 0.000" in (tmp_path / "out.dump").read_bytes()


def random_frame(rng, natoms, cell_kind):
    """A frame as a dump gives them: its cell and origin from bounds by the
    reading rule (any cell and origin for one of abc origin)."""
    if cell_kind == "general":
        cell, origin = rng.normal(0, 5, (3, 3)), rng.normal(0, 50, 3)
    else:
        lo = rng.normal(0, 50, 3)
        hi = lo + rng.uniform(1, 20, 3)
        tilts = rng.normal(0, 3, 3) if cell_kind == "triclinic" else np.zeros(3)
        cell, origin = bounds_cell([list(map(float, line.split())) for line in lammps_bounds(lo, hi, tilts)])
        if cell_kind == "orthogonal":
            cell = np.diag(np.diag(cell))
    arrays = {"id": rng.permutation(natoms) + rng.integers(1, 2**40), "type": rng.integers(1, 4, natoms),
              "velocities": rng.normal(0, 1e3, (natoms, 3)), "c_stress": rng.normal(0, 1, (natoms, 6)),
              "q": rng.normal(0, 1e-8, natoms), "ix": rng.integers(-3, 3, natoms)}
    order = np.argsort(arrays["id"])
    info = {"timestep": int(rng.integers(0, 2**40)), "time": float(rng.normal()), "origin": origin}
    return io_rs.Frame(rng.normal(0, 30, (natoms, 3))[order], cell=cell, pbc=rng.random(3) < 0.5, info=info,
                       arrays={name: array[order] for name, array in arrays.items()},
                       fractional=cell_kind == "orthogonal")


@ROUND_TRIPS
@given(st.integers(0, 2**32 - 1), st.sampled_from(["orthogonal", "triclinic", "general"]))
def test_written_frames_read_back_bit_for_bit(seed, cell_kind):
    rng = np.random.default_rng(seed)
    frames = [random_frame(rng, int(rng.integers(0, 30)), cell_kind) for _ in range(3)]
    data = format_lammps_dump(frames)
    # Written as LAMMPS writes each kind of box.
    assert (b"abc origin" in data) == (cell_kind == "general")
    assert (b"xy xz yz" in data) == (cell_kind == "triclinic" and any(frame.natoms >= 0 for frame in frames))
    back = read_text(data)
    assert back == frames
    for a, b in zip(back, frames):
        for x, y in ((a.cell, b.cell), (a.positions, b.positions), (a.info["origin"], b.info["origin"])):
            assert np.array_equal(x.view(np.uint64), y.view(np.uint64))
    assert format_lammps_dump(back) == data


@pytest.mark.parametrize("decimals", [0, 3, 8])
def test_decimals_round_half_to_even(decimals):
    values = np.array([0.5, 1.5, 2.675, -0.125, 1e-9, 123456.7890125])
    frame = io_rs.Frame(np.stack([values] * 3, axis=1), cell=np.eye(3), arrays={"q": values})
    back = read_text(format_lammps_dump(frame, decimals=decimals))[0]
    expected = [float(f"{v:.{decimals}f}") for v in values]
    assert back.positions[:, 0].tolist() == expected and back.arrays["q"].tolist() == expected


def test_frames_of_other_formats_are_written_with_ids_types_and_elements():
    frames = [io_rs.Frame([[0, 0, 0], [1, 1, 1]], ["O", "H"], cell=np.eye(3) * 5, info={"energy": -1.5}),
              io_rs.Frame([[0, 0, 0]], ["Si"], cell=np.eye(3) * 5)]
    text = format_lammps_dump(frames).decode()
    assert "ITEM: ATOMS id type element x y z\n1 1 O 0 0 0\n2 2 H 1 1 1\n" in text
    assert "1 3 Si 0 0 0" in text and "ITEM: TIMESTEP\n1\n" in text and "energy" not in text
    back = read_text(text)
    assert back[0].symbols == ["O", "H"] and back[1].info["timestep"] == 1


@pytest.mark.parametrize("frame, message", [
    (io_rs.Frame([[0, 0, 0]]), "frame 0 has no cell"),
    (io_rs.Frame([[0, 0, 0]], cell=np.eye(3), arrays={"label": ["a"]}), "array 'label' holds <U1"),
    (io_rs.Frame([[0, 0, 0]], cell=np.eye(3), arrays={"x": [1.0]}), "column 'x' would be written twice"),
    (io_rs.Frame([[0, 0, 0]], cell=np.eye(3), arrays={"a b": [1.0]}), "cannot be a dump column"),
    (io_rs.Frame([[0, 0, 0]], cell=np.eye(3), info={"timestep": 1.5}), "info['timestep'] must be a whole number"),
    (io_rs.Frame([[0, 0, 0]], cell=np.eye(3), arrays={"u": np.array([2**63 + 5], dtype=np.uint64)}),
     "array 'u' holds whole numbers beyond 64-bit signed ones (9223372036854775813)"),
    *[(io_rs.Frame([[0, 0, 0]], cell=np.eye(3), arrays={name: [value]}),
       f"array '{name}' holds {value!r}, and column '{name}' holds whole numbers")
      for name, value in [("mol", 1.5), ("id", float("nan")), ("i_flag", 1e19), ("type", -float("inf"))]],
])
def test_what_a_frame_cannot_give_is_refused(frame, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        format_lammps_dump(frame)


def test_whole_reals_in_columns_of_whole_numbers_are_written_as_such():
    frame = io_rs.Frame([[0, 0, 0], [1, 1, 1]], cell=np.eye(3), arrays={"mol": [3.0, -0.0], "u": np.array([7], np.uint64).repeat(2),
                                                                        "q": [1.0, 2.5]})
    back = read_text(format_lammps_dump(frame))[0]
    assert back.arrays["mol"].tolist() == [3, 0] and back.arrays["mol"].dtype == np.int64
    assert back.arrays["u"].tolist() == [7.0, 7.0] and back.arrays["q"].tolist() == [1.0, 2.5]


@pytest.mark.parametrize("decimals", [-1, 2**70])
def test_decimals_out_of_range(decimals):
    frame = io_rs.Frame([[0, 0, 0]], cell=np.eye(3))
    for write in (format_lammps_dump, lambda f, decimals: io_rs.write(io.BytesIO(), [f], format="extxyz", decimals=decimals)):
        with pytest.raises(ValueError, match="decimals must be from 0 to 1000"):
            write(frame, decimals=decimals)


def test_columns_chooses_the_arrays_written(tmp_path):
    frame = io_rs.Frame([[0, 0, 0]], cell=np.eye(3), arrays={"q": [1.0], "forces": [[1.0, 2, 3]], "type": [2]})
    io_rs.write_lammps_dump(tmp_path / "a.dump", frame, columns=["forces"])
    assert "ITEM: ATOMS id type x y z fx fy fz\n1 2 0 0 0 1 2 3\n" in (tmp_path / "a.dump").read_text()
    with pytest.raises(ValueError, match="no array 'v'"):
        io_rs.write(tmp_path / "b.dump", frame, columns=["v"])


def test_scan_in_pieces_finds_what_one_scan_finds():
    data = (many_frames(count=20, natoms=7) + "\n").encode()
    (table, *rest), stop, cut = _io_rs_buffers.scan_lammps_dump(data)
    assert stop == (len(data), 20 * (9 + 7) + 2, True) and cut is None
    for size in (100, 333, 1000):
        tables, line, before, start = [], 1, 0, 0
        while True:
            piece = data[start:start + size] if start + size < len(data) else data[start:]
            last = start + size >= len(data)
            heads, (consumed, line, complete), _ = _io_rs_buffers.scan_lammps_dump(piece, 0, (start, line, before), last)
            tables.append(heads[0])
            before += len(heads[0])
            if complete:
                break
            start += consumed
            size += 0 if consumed else size
        np.testing.assert_array_equal(np.concatenate(tables), table)


@pytest.mark.parametrize("decimals", [None, 5])
def test_a_dump_written_on_threads_is_the_one_written_on_one(decimals, tmp_path):
    """Large frames formatted on threads, cut into pieces of rows: the same
    bytes as on one thread, which read back as the frames written."""
    rng = np.random.default_rng(11)
    frames = [io_rs.Frame(rng.normal(0, 20, (n, 3)), cell=np.diag([30.0, 31.0, 32.0]), info={"timestep": 10 * k},
                          arrays={"id": np.arange(1, n + 1), "type": rng.integers(1, 4, n),
                                  "velocities": rng.normal(0, 1, (n, 3))})
              for k, n in enumerate([40_000, 3, 0, 25_000])]
    one = format_lammps_dump(frames, decimals=decimals, threads=1)
    assert format_lammps_dump(frames, decimals=decimals, threads=3) == one
    io_rs.write_lammps_dump(tmp_path / "t.dump", frames, decimals=decimals, threads=2)
    assert (tmp_path / "t.dump").read_bytes() == one
    back = io_rs.read_lammps_dump(tmp_path / "t.dump")
    for written, read in zip(frames, back, strict=True):
        expected = written.positions if decimals is None else np.array(
            [float(f"{value:.{decimals}f}") for value in written.positions.ravel()]).reshape(-1, 3)
        np.testing.assert_array_equal(read.positions, expected)
        np.testing.assert_array_equal(read.arrays["id"], written.arrays["id"])


def test_a_run_ends_where_the_next_columns_start_on_any_thread_count():
    """Blank lines between frames of other columns: the first run ends past
    them, at the next frame's first line, on one thread as on several."""
    data = (frame_text("id type x y z", [[1, 1, 0, 0, 0]]) + "\n\n"
            + frame_text("z y x id", [[1, 2, 3, 1], [4, 5, 6, 2]], sections="ITEM: TIME\n0.5\n")).encode()
    start = data.index(b"ITEM: TIME\n")
    for threads in (1, 2, 3):
        _, _, stop, _ = _io_rs_buffers.read_lammps_dump_frames(data, threads=threads)
        assert stop == (start, data[:start].count(b"\n") + 1), threads
