"""io_rs, the whole-file readers and writers: round trips of every variant,
small literal files, the messages for malformed files, files as users have
them (paths, open files, compressed, mapped), random access, and the
examples that show the extension modules themselves."""

import bz2
import gzip
import io
import lzma
import mmap
import sys
import warnings
import zlib
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import io_rs
from conftest import shared_files

DATA = Path(__file__).resolve().parent / "data"
sys.path.insert(0, str(DATA.parents[1] / "examples"))

ANY_FLOAT = st.floats(width=64)
# Header numbers: finite, as VASP writes them.
FINITE = st.floats(width=64, allow_nan=False, allow_infinity=False, min_value=-1e6, max_value=1e6)
COMMENTS = st.text(st.characters(codec="utf-8", exclude_characters="\r\n"), max_size=12)
ROUND_TRIPS = settings(max_examples=40, deadline=None)


def written(values, decimals):
    """The values as read back from text with `decimals` digits after the
    point: Python rounds the exact binary value half to even, as the writers do."""
    as_written = np.vectorize(lambda v: float(f"{v:.{decimals}f}"), otypes=[np.float64])
    return as_written(np.asarray(values, dtype=np.float64))


def same(actual, expected):
    np.testing.assert_array_equal(actual, expected)
    signed = ~np.isnan(expected)
    np.testing.assert_array_equal(np.signbit(actual[signed]), np.signbit(expected[signed]))


def round_trip(write, read, data):
    """write -> read, and the text written again from what was read is the same text."""
    out, again = io.BytesIO(), io.BytesIO()
    write(out, data)
    back = read(io.BytesIO(out.getvalue()))
    write(again, back)
    assert again.getvalue() == out.getvalue()
    return back, out.getvalue()


@st.composite
def headers(draw):
    species = draw(st.none() | st.lists(st.sampled_from(["H", "Fe", "Uue", "Si_pv"]), min_size=1, max_size=3))
    kinds = len(species) if species else draw(st.integers(1, 3))
    return dict(comment=draw(COMMENTS), scale=draw(FINITE), species=species,
                lattice=draw(hnp.arrays(np.float64, (3, 3), elements=FINITE)),
                counts=draw(st.lists(st.integers(0, 3), min_size=kinds, max_size=kinds)))


def assert_same_header(read, original, lattice=None):
    assert (read.comment, read.species, read.counts) == (original.comment, original.species, original.counts)
    assert read.scale == written(original.scale, 16)
    same(read.lattice, written(original.lattice if lattice is None else lattice, 16))


@ROUND_TRIPS
@given(headers(), st.data())
def test_poscar_round_trip(header, data):
    rows = hnp.arrays(np.float64, (sum(header["counts"]), 3), elements=ANY_FLOAT)
    poscar = io_rs.Poscar(**header, cartesian=data.draw(st.booleans()), positions=data.draw(rows),
                          flags=data.draw(st.none() | hnp.arrays(np.bool_, (sum(header["counts"]), 3))),
                          velocities=data.draw(st.none() | rows) if sum(header["counts"]) else None)
    read, _ = round_trip(io_rs.write_poscar, io_rs.read_poscar, poscar)
    assert_same_header(read, poscar)
    assert read.cartesian == poscar.cartesian
    same(read.positions, written(poscar.positions, 16))
    assert (read.flags is None, read.velocities is None) == (poscar.flags is None, poscar.velocities is None)
    if poscar.flags is not None:
        np.testing.assert_array_equal(read.flags, poscar.flags)
    if poscar.velocities is not None:
        same(read.velocities, written(poscar.velocities, 16))


@ROUND_TRIPS
@given(headers(), st.integers(0, 3), st.booleans(), st.data())
def test_xdatcar_round_trip_and_random_access(header, nframes, variable, data):
    variable = variable and nframes >= 2  # one header and one frame is a fixed cell
    frames = data.draw(hnp.arrays(np.float64, (nframes, sum(header["counts"]), 3), elements=ANY_FLOAT))
    numbers = np.array(data.draw(st.lists(st.integers(0, 10**7), min_size=nframes, max_size=nframes)), dtype=np.int64)
    lattices = data.draw(hnp.arrays(np.float64, (nframes, 3, 3), elements=FINITE)) if variable else None
    xdatcar = io_rs.Xdatcar(**header, frames=frames, numbers=numbers, lattices=lattices)
    read, text = round_trip(io_rs.write_xdatcar, io_rs.read_xdatcar, xdatcar)
    assert_same_header(read, xdatcar, lattices[0] if variable else None)
    same(read.frames, written(frames, 8))
    np.testing.assert_array_equal(read.numbers, numbers)
    assert (read.lattices is None) == (not variable)
    if variable:
        same(read.lattices, written(lattices, 16))
    # Frame k read alone (last first, by negative index) and one at a time: frame k of the whole read.
    with io_rs.open_xdatcar(io.BytesIO(text)) as f:
        assert len(f) == nframes and f.variable_cell == variable
        alone = {k: f[k - nframes] for k in reversed(range(nframes))}
    for by_place in (alone, dict(enumerate(io_rs.iter_xdatcar(io.BytesIO(text))))):
        for k, frame in by_place.items():
            assert frame.number == numbers[k]
            same(frame.positions, read.frames[k])
            same(frame.lattice, read.lattice if read.lattices is None else read.lattices[k])


@ROUND_TRIPS
@given(st.lists(st.integers(0, 3).flatmap(lambda n: st.builds(
    io_rs.XyzFrame, COMMENTS, st.lists(st.sampled_from(["H", "He", "Fe", "Uue"]), min_size=n, max_size=n),
    hnp.arrays(np.float64, (n, 3), elements=ANY_FLOAT))), max_size=3))
def test_xyz_round_trip(frames):
    read, text = round_trip(io_rs.write_xyz, io_rs.read_xyz, frames)
    with io_rs.open_xyz(io.BytesIO(text)) as f:
        for got in (read, list(io_rs.iter_xyz(io.BytesIO(text))), list(f)):
            assert [(g.comment, g.symbols) for g in got] == [(o.comment, o.symbols) for o in frames]
            for g, original in zip(got, frames):
                same(g.positions, written(original.positions, 15))


# Files as VASP and other programs leave them: expressions on what was read.
LITERAL_FILES = [
    ("POSCAR_vasp4", io_rs.read_poscar, {
        "(read.species, read.counts, read.scale, read.cartesian)": (None, [1, 1], -179.406144, True),
        "(read.flags, read.velocities)": (None, None), "read.positions.tolist()": [[0, 0, 0], [2.82, 2.82, 2.82]],
        "round(abs(np.linalg.det(read.cell)), 9)": 179.406144}),
    ("CONTCAR_velocities", io_rs.read_poscar, {
        "(read.species, read.counts, read.scale, read.cartesian)": (["Si"], [2], 5.43, False),
        "read.positions[1].tolist()": [0.25] * 3, "read.flags.tolist()": [[True] * 3, [False, False, True]],
        "read.velocities.tolist()": [[0.00125, -0.00025, 0], [-0.00125, 0.00025, 0]]}),
    ("XDATCAR_variable", io_rs.read_xdatcar, {
        "(read.species, read.numbers.tolist())": (["Ar"], [1, 2, 3]), "read.frames[2, 1].tolist()": [0.52, 0.5, 0.48],
        "read.lattice[0, 0]": 5.0, "read.lattices[:, 2, 2].tolist()": [5.0, 5.05, 5.1]}),
    ("XDATCAR_blank", io_rs.read_xdatcar, {
        "(read.species, read.counts, read.numbers.tolist(), read.lattices)": (None, [1, 1], [1, 2], None),
        "read.frames[1, 1].tolist()": [0.5, 0.499, 0.642]}),
    ("XDATCAR_blank_comments", io_rs.read_xdatcar, {
        "(read.comment, read.numbers.tolist())": ("", [1, 2]), "read.lattices[:, 2, 2].tolist()": [5.0, 5.05]}),
    ("XDATCAR_crlf", io_rs.read_xdatcar, {
        "(read.comment, read.numbers.tolist())": ("H2O md", [5, 6, 7]),
        "read.frames[2, 2].tolist()": [0.48, 0.588, 0.5]}),
    ("water.xyz", io_rs.read_xyz, {
        "[f.comment for f in read]": ["water, frame 1  ", "  properties=species:S:1:pos:R:3 "],
        "[f.symbols for f in read]": [["O", "H", "H"], ["Fe", "Fe"]], "read[1].positions[1].tolist()": [1.4] * 3}),
]
WRITERS = {io_rs.read_poscar: io_rs.write_poscar, io_rs.read_xdatcar: io_rs.write_xdatcar, io_rs.read_xyz: io_rs.write_xyz}


@pytest.mark.parametrize("name, read, expected", LITERAL_FILES, ids=[case[0] for case in LITERAL_FILES])
def test_literal_files(name, read, expected):
    result = read(DATA / name)
    for expression, value in expected.items():
        assert eval(expression, {"np": np, "read": result}) == value, expression
    round_trip(WRITERS[read], read, result)
    opened = {io_rs.read_xdatcar: io_rs.open_xdatcar, io_rs.read_xyz: io_rs.open_xyz}.get(read)
    if opened:  # each frame read alone, last first, is that frame of the whole read
        with opened(DATA / name) as f:
            alone = [f[k].positions for k in reversed(range(len(f)))][::-1]
        whole = [frame.positions for frame in result] if isinstance(result, list) else list(result.frames)
        assert len(alone) == len(whole) and all(np.array_equal(a, w) for a, w in zip(alone, whole))


POSCAR = "c\n1.0\n1 0 0\n0 1 0\n0 0 1\nH O\n1 1\nDirect\n0 0 0\n0.5 0.5 0.5\n"
XDATCAR = (DATA / "XDATCAR_variable").read_text()
XYZ = (DATA / "water.xyz").read_text()


@pytest.mark.parametrize("name, text, message", [
    ("POSCAR", "", "line 1: expected the comment line, got the end of the file"),
    ("POSCAR", POSCAR.replace("1.0", "abc"), "line 2: expected the scale factor, got 'abc'"),
    ("POSCAR", POSCAR.replace("1.0", "1 1 1"),
     "line 2: expected one scale factor (three, one per axis, are not supported), got '1 1 1'"),
    ("POSCAR", POSCAR.replace("0 1 0", "0 1"), "line 4: expected lattice vector b (three numbers), got '0 1'"),
    ("POSCAR", POSCAR.replace("0 0 1\n", "0 0 1.0D0\n"),
     "line 5: expected lattice vector c (three numbers), got '0 0 1.0D0'"),
    ("POSCAR", POSCAR.replace("H O", "  "), "line 6: expected the species names or the atom counts, got ''"),
    ("POSCAR", POSCAR.replace("1 1\n", "1 x\n"), "line 7: expected 2 atom counts, one per species, got '1 x'"),
    ("POSCAR", POSCAR[:POSCAR.index("Direct")], "line 8: expected the Direct/Cartesian line, got the end of the file"),
    ("POSCAR", POSCAR.replace("0.5 0.5 0.5", "0.5 x 0.5"),
     ": cannot parse coordinate 'x' on atom line 1: invalid float literal (line 10 of the file, byte 45)"),
    ("POSCAR", POSCAR + "junk\n", "line 11: expected the end of the file, or a blank or Direct/Cartesian line before"
                                  " the velocities, got 'junk'"),
    ("POSCAR", POSCAR + "\n0 0 0\n", ": the block ends after 1 of 2 atom lines (line 13 of the file, byte 64)"),
    ("XDATCAR", XDATCAR.replace("Ar\n     2\nDirect configuration=     2", "Ar\n     3\nDirect configuration=     2"),
     "line 17: expected the first header's atom counts ('2'), got '3'"),
    ("XDATCAR", XDATCAR.replace("1\n    5.2", "1.5\n    5.2"),
     "line 22: expected the first header's scale factor (1.0), got '1.5'"),
    ("XDATCAR", XDATCAR.replace("5.100000    0.000000    0.000000", "5.100000    0.000000"),
     "line 13: expected lattice vector a (three numbers), got '5.100000    0.000000'"),
    ("XDATCAR", XDATCAR + "junk\n", "line 31: expected 'Direct configuration=', a blank line or a repeated header, "
                                    "got 'junk'"),
    ("XDATCAR", XDATCAR.replace("=     3", "=  three"), ": expected a frame number after 'Direct configuration=',"
                                                       " got 'three' (line 28 of the file, byte 640)"),
    ("water.xyz", XYZ + "2 atoms\n", "line 13: expected an atom count (one whole number), got '2 atoms'"),
    ("water.xyz", XYZ + "2\nc\nH 0 0 0\n", ": frame 3 ends after 1 of 2 atom lines (line 13 of the file, byte 148)"),
])
def test_malformed_files(tmp_path, monkeypatch, name, text, message):
    """Every reader gives the same message, and so does iteration over a
    compressed file read in windows smaller than a frame."""
    kind = "XYZ" if name.endswith(".xyz") else name
    readers = {"POSCAR": [io_rs.read_poscar], "XDATCAR": [io_rs.read_xdatcar, io_rs.iter_xdatcar, io_rs.open_xdatcar],
               "XYZ": [io_rs.read_xyz, io_rs.iter_xyz, io_rs.open_xyz]}[kind]
    (tmp_path / name).write_text(text)
    (tmp_path / f"{name}.gz").write_bytes(gzip.compress(text.encode()))
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(io_rs._files, "CHUNK_BYTES", 13)
    for read in readers:
        for path in [name, f"{name}.gz"][:1 + (read not in (io_rs.read_poscar, io_rs.read_xdatcar, io_rs.read_xyz))]:
            with pytest.raises(io_rs.FormatError) as caught:
                list(read(path)) if read in (io_rs.iter_xdatcar, io_rs.iter_xyz) else read(path)
            assert str(caught.value) == f"{kind} {path!r}{'' if message[0] == ':' else ', '}{message}", read
            error = caught.value
            assert (error.file, error.format) == (path, kind)
            assert f"line {error.line}" in message and (error.expected is None) == (message[0] == ":")


FORMATS = {"CONTCAR": (io_rs.read_poscar, io_rs.write_poscar, "CONTCAR_velocities"),
           "XDATCAR": (io_rs.read_xdatcar, io_rs.write_xdatcar, "XDATCAR_variable"),
           "md.xyz": (io_rs.read_xyz, io_rs.write_xyz, "water.xyz")}


@pytest.mark.parametrize("suffix, opener", [("", open), (".gz", gzip.open), (".bz2", bz2.open), (".xz", lzma.open)])
@pytest.mark.parametrize("how", [str, Path, "open file"])
@pytest.mark.parametrize("name", FORMATS)
def test_paths_open_files_and_compression(tmp_path, name, suffix, opener, how):
    read, write, sample = FORMATS[name]
    expected = round_trip(write, read, read(io.BytesIO((DATA / sample).read_bytes())))[1]
    path = tmp_path / (name + suffix)
    with opener(path, "wb") as f:
        f.write((DATA / sample).read_bytes())
    if how == "open file":
        with opener(path, "rb") as f:
            data = read(f)
        with opener(path, "wb") as f:
            write(f, data)
    else:
        write(how(path), read(how(path)))
    with opener(path, "rb") as f:
        assert f.read() == expected
    if suffix == ".gz" and how != "open file":  # the gzip tool's level, not the slowest: the header says so
        assert path.read_bytes()[8] == 0
    opened = {"XDATCAR": io_rs.open_xdatcar, "md.xyz": io_rs.open_xyz}.get(name)
    if opened and how is not str:  # random access and iteration, compressed files never held whole
        whole = read(path)
        whole = [frame.positions for frame in whole] if isinstance(whole, list) else list(whole.frames)
        with opened(path) as f:
            assert [np.array_equal(f[k].positions, whole[k]) for k in (-1, 0)] == [True, True]
            assert all(np.array_equal(frame.positions, w) for frame, w in zip(f, whole, strict=True))


class RecordedMap(mmap.mmap):
    made = []

    def __new__(cls, *args, **kwargs):
        cls.made.append(super().__new__(cls, *args, **kwargs))
        return cls.made[-1]


def test_large_files_are_mapped_and_every_map_closed(tmp_path, monkeypatch):
    monkeypatch.setattr(mmap, "mmap", RecordedMap)
    RecordedMap.made.clear()
    frames = [io_rs.XyzFrame(f"frame {k}", ["H", "O"] * 500, np.arange(3000.0).reshape(1000, 3)) for k in range(40)]
    io_rs.write_xyz(tmp_path / "big.xyz", frames)
    (tmp_path / "bad.xyz").write_bytes((tmp_path / "big.xyz").read_bytes() + b"junk\n")
    (tmp_path / "empty.xyz").write_bytes(b"")
    read = io_rs.read_xyz(tmp_path / "big.xyz")
    assert len(read) == 40 and read[-1].symbols == frames[-1].symbols
    np.testing.assert_array_equal(read[-1].positions, frames[-1].positions)
    with pytest.raises(ValueError, match="line 40081: expected an atom count"):
        io_rs.read_xyz(tmp_path / "bad.xyz")
    assert next(io_rs.iter_xyz(tmp_path / "big.xyz")).comment == "frame 0"  # the iterator is dropped unfinished
    with io_rs.open_xyz(tmp_path / "big.xyz") as f:
        assert f[39].comment == "frame 39" and not f.closed
    assert io_rs.read_xyz(tmp_path / "empty.xyz") == [] and len(io_rs.open_xyz(tmp_path / "empty.xyz")) == 0
    assert len(RecordedMap.made) == 4 and all(m.closed for m in RecordedMap.made)
    with pytest.raises(ValueError, match="closed"):
        f[0]


def test_examples_agree_with_the_package():
    import poscar_positions
    import xdatcar_offsets

    positions, flags = poscar_positions.read_positions((DATA / "CONTCAR_velocities").read_text())
    contcar = io_rs.read_poscar(DATA / "CONTCAR_velocities")
    assert np.array_equal(positions, contcar.positions) and np.array_equal(flags, contcar.flags)
    number, frame = xdatcar_offsets.read_frame((DATA / "XDATCAR_crlf").read_bytes(), 2)
    assert number == 7 and np.array_equal(frame, io_rs.read_xdatcar(DATA / "XDATCAR_crlf").frames[2])


@pytest.mark.parametrize("name", ["XDATCAR_variable", "XDATCAR_blank", "XDATCAR_crlf", "water.xyz"])
def test_writers_stream_a_chunk_at_a_time(tmp_path, monkeypatch, name):
    """Frames streamed from one file into another, a few atoms' lines at a
    time, make the text the whole trajectory makes at once."""
    xyz = name.endswith(".xyz")
    whole = io.BytesIO()
    (io_rs.write_xyz if xyz else io_rs.write_xdatcar)(whole, (io_rs.read_xyz if xyz else io_rs.read_xdatcar)(DATA / name))
    monkeypatch.setattr(io_rs._files, "CHUNK_ATOMS", 3)
    monkeypatch.setattr(io_rs._files, "CHUNK_BYTES", 7)
    chunks = []
    target = type("Chunks", (), {"write": lambda self, data: chunks.append(data)})()
    with open(DATA / name, "rb") as stream:
        if xyz:
            io_rs.write_xyz(target, io_rs.iter_xyz(stream))
        else:
            with io_rs.open_xdatcar(DATA / name) as f:
                header, count = f.header, len(f)
            assert io_rs.write_xdatcar_frames(target, header, io_rs.iter_xdatcar(stream)) == count
    assert len(chunks) >= 2 and b"".join(chunks) == whole.getvalue()


def frames_by(how, path):
    if how == "read":
        return io_rs.read(path)
    if how == "iread":
        return list(io_rs.iread(path))
    with io_rs.open(path) as opened:  # every frame read alone, the last first
        return [opened[k] for k in range(len(opened))[::-1]][::-1]


def outcome_of(path, plain, how="read"):
    """The frames read and the warnings, or the error and its line, with the
    file named as plain."""
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            frames = frames_by(how, path)
        return frames, [str(w.message).replace(str(path), str(plain)) for w in caught]
    except io_rs.FormatError as error:
        return str(error).replace(str(path), str(plain)), error.line


@pytest.mark.parametrize("suffix, compress", [(".gz", gzip.compress), (".xz", lzma.compress)])
@pytest.mark.parametrize("damage", [False, True])
@pytest.mark.parametrize("name", ["md.xyz", "md.extxyz", "XDATCAR"])
def test_a_compressed_path_is_read_as_the_plain_file(tmp_path, monkeypatch, name, damage, suffix, compress):
    """Every frame of a compressed path is read a window at a time, the next
    decompressed meanwhile: frames and errors as from the plain file."""
    monkeypatch.setattr(io_rs._files, "CHUNK_BYTES", 300)
    rng = np.random.default_rng(2)
    frames = [io_rs.Frame(positions=rng.random((12, 3)) * 5, cell=np.eye(3) * 5, symbols=["Si"] * 4 + ["O"] * 8,
                          pbc=np.ones(3, bool)) for _ in range(25)]
    plain = tmp_path / name
    io_rs.write(plain, frames, format="extxyz" if name == "md.extxyz" else None)
    data = plain.read_bytes()
    if damage:  # a digit of a middle atom line made a letter
        middle = data.index(b".", len(data) // 2) + 1
        data = data[:middle] + b"q" + data[middle + 1:]
        plain.write_bytes(data)
    packed = tmp_path / (name + suffix)
    packed.write_bytes(compress(data))
    expected = outcome_of(plain, plain)
    assert outcome_of(packed, plain) == expected
    assert isinstance(expected[0], str) == damage


DECOMPRESSORS = {".gz": (gzip.compress, lambda: zlib.decompressobj(31)), ".bz2": (bz2.compress, bz2.BZ2Decompressor),
                 ".xz": (lzma.compress, lzma.LZMADecompressor)}


def trajectory_text(name, tmp_path):
    """A file of the format the name says: written here, or a run's own."""
    if name in ("OUTCAR", "vasprun.xml"):
        found = shared_files("outcar" if name == "OUTCAR" else "vasprun", "dpdata_*h2o.md.10*")
        if not found:
            pytest.skip("the shared runs are not here")
        return found[0].read_bytes()
    rng = np.random.default_rng(3)
    frames = [io_rs.Frame(positions=rng.random((6, 3)) * 5, cell=np.eye(3) * 5, symbols=["Si"] * 2 + ["O"] * 4,
                          pbc=np.ones(3, bool)) for _ in range(40)]
    io_rs.write(tmp_path / name, frames, format="extxyz" if name == "md.extxyz" else None)
    return (tmp_path / name).read_bytes()


@pytest.mark.parametrize("how", ["read", "iread", "open"])
@pytest.mark.parametrize("kept", [5, 0.5, 0.9, -1])
@pytest.mark.parametrize("suffix", DECOMPRESSORS)
@pytest.mark.parametrize("name", ["md.xyz", "md.extxyz", "XDATCAR", "md.dump", "OUTCAR", "vasprun.xml"])
def test_a_cut_compressed_file_reads_as_the_text_before_the_cut(tmp_path, monkeypatch, name, suffix, kept, how):
    """A compressed file cut short (a run killed as it wrote it) reads as a
    plain file of the text its data gives up to the cut, with a
    TruncatedWarning first that says where the text stops; never EOFError,
    and never the frames before the cut lost."""
    monkeypatch.setattr(io_rs._files, "CHUNK_BYTES", 4096)
    compress, decompressor = DECOMPRESSORS[suffix]
    packed_bytes = compress(trajectory_text(name, tmp_path))
    # 5 bytes: within the header; -1: all but the last byte
    cut = packed_bytes[:kept if isinstance(kept, int) else int(len(packed_bytes) * kept)]
    text = decompressor().decompress(cut)
    plain, packed = tmp_path / "plain" / name, tmp_path / (name + suffix)
    plain.parent.mkdir()
    plain.write_bytes(text)
    packed.write_bytes(cut)
    expected = outcome_of(plain, plain, how)
    if isinstance(expected[0], list):
        stop = (f"{str(plain)!r}: the compressed data stops before its end after {len(text)} bytes of text: the file "
                f"was cut short there; the text before the cut is read")
        expected = expected[0], [stop, *expected[1]]
    assert outcome_of(packed, plain, how) == expected
