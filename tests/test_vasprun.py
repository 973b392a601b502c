"""vasprun.xml: the real files of ../shared/data/vasprun, and what no real
file shows (XML written every way XML allows, overflow, NUL bytes, files
cut anywhere, malformed ones), through every path a file can take: whole,
on threads, a window at a time, and step k alone."""

import gzip
import random
import re
import warnings

import numpy as np
import pytest

import _io_rs_buffers
import io_rs
import io_rs._files
import io_rs._vasprun
from conftest import shared_file, shared_files

from vasprun_docs import document, mutated

VASPRUN = "vasprun"


def read(source, expect=(), **options):
    """Frames and the warnings raised, which must be of the kinds expected."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        frames = io_rs.read_vasprun(source, **options)
    kinds = sorted({type(w.message).__name__ for w in caught})
    assert kinds == sorted(expect), [str(w.message) for w in caught]
    return frames, [str(w.message) for w in caught]


def same_frames(a, b):
    assert len(a) == len(b)
    for x, y in zip(a, b):
        assert x == y, (x.info, y.info)


# file, steps, atoms, DFT steps, stress in every step, variable cell, cut short
REAL = [
    ("aiida-vasp_relax-truncated_vasprun.xml", 18, 8, 18, True, True, True),
    ("dpdata_Ti-aimd-nwrite0_vasprun.xml", 10, 32, 10, True, False, False),
    ("dpdata_vasprun.h2o.md.10.xml", 10, 6, 10, True, False, False),
    ("emmet_lobster_mp-2534_vasprun.xml.gz", 1, 8, 1, True, False, False),
    ("parsevasp_basicrelax.xml", 19, 8, 19, True, True, False),
    ("parsevasp_overflow.xml", 1, 112, 1, True, False, False),
    ("phonopy_NaCl_vasprun.xml-001", 1, 64, 1, True, False, False),
    ("phonopy_vasprun_Si_noncollinear.xml.xz", 1, 2, 1, True, False, False),
    ("pymatgen-core_vasprun.bad_random_seed.xml.gz", 264, 50, 264, True, False, False),
    ("pymatgen-core_vasprun.ml_md.xml.gz", 100, 80, 20, False, False, False),
    ("pymatgen-core_vasprun_Si_bands.xml.gz", 1, 2, 1, True, False, False),
]


@pytest.mark.parametrize("name, steps, natoms, dft, stress, variable, cut", REAL, ids=[r[0] for r in REAL])
def test_real_files(name, steps, natoms, dft, stress, variable, cut):
    path = shared_file(f"{VASPRUN}/{name}")
    frames, said = read(path, ["TruncatedWarning"] if cut else [])
    assert len(frames) == steps
    assert [f.info["step"] for f in frames] == list(range(1, steps + 1))
    assert sum(f.info["calculator"] == "DFT" for f in frames) == dft
    for frame in frames:
        assert frame.natoms == natoms and len(frame.symbols) == natoms and frame.fractional
        assert frame.arrays["forces"].shape == (natoms, 3) and frame.pbc.all()
        assert {"free_energy", "energy", "energy_without_entropy"} <= frame.info.keys()
        assert ("stress" in frame.info) == stress
    with warnings.catch_warnings(record=True), io_rs.open_vasprun(path) as opened:
        assert opened.truncated == cut and opened.variable_cell == variable and len(opened) == steps
    if cut:
        assert f"'{path}'" in said[0] and "step 18" in said[0] and "line 2555" in said[0]


def test_cut_before_any_structure():
    path = shared_file(f"{VASPRUN}/custodian_large_cell_real_optlay_vasprun.xml")
    with pytest.raises(io_rs.FormatError, match="ends before its first ionic step") as raised:
        io_rs.read_vasprun(path)
    assert raised.value.line == 441 and raised.value.file == str(path)


def texts(data: bytes, name: bytes) -> list[float]:
    """Python's float() of the text of every <i name=...> of a file, in order."""
    return [float(text) for text in re.findall(rb'<i name="' + name + rb'">([^<]*)</i>', data)]


@pytest.mark.parametrize("name", ["phonopy_NaCl_vasprun.xml-001", "dpdata_vasprun.h2o.md.10.xml"])
def test_energies_of_the_last_scf_step(name):
    # VASP 4 and 5 write -TS as e_0_energy in the <calculation>'s own
    # <energy> (its last one): the step's energy(sigma->0) is its last <scstep>'s.
    path = shared_file(f"{VASPRUN}/{name}")
    data = path.read_bytes()
    first = data[:data.index(b"</calculation>")]
    frame = read(path)[0][0]
    *_, scf, own = texts(first, b"e_0_energy")
    assert frame.info["energy"] == scf and own == 0.0 != scf
    assert frame.info["free_energy"] == texts(first, b"e_fr_energy")[-2]
    assert frame.info["energy_without_entropy"] == texts(first, b"e_wo_entrp")[-2]


def test_force_field_steps():
    path = shared_file(f"{VASPRUN}/pymatgen-core_vasprun.ml_md.xml.gz")
    every = read(path)[0]
    dft, ml = read(path, steps="dft")[0], read(path, steps="ml")[0]
    assert (len(dft), len(ml)) == (20, 80)
    assert {f.info["calculator"] for f in dft} == {"DFT"} and {f.info["calculator"] for f in ml} == {"ML"}
    same_frames(sorted(dft + ml, key=lambda f: f.info["step"]), every)
    assert io_rs.read(path, steps="ml")[0] == ml[0]
    with io_rs.open(path, steps="dft") as opened:
        assert len(opened) == 20 and opened[-1] == dft[-1]
        assert [info["step"] for info in opened.infos().info] == [f.info["step"] for f in dft]


def test_steps_of_one_calculator():
    data = document(2, plain=True, steps=8)
    every = read(_stream(data))[0]
    dft, ml = read(_stream(data), steps="dft")[0], read(_stream(data), steps="ml")[0]
    assert dft and ml and {f.info["calculator"] for f in dft} == {"DFT"} and {f.info["calculator"] for f in ml} == {"ML"}
    same_frames(sorted(dft + ml, key=lambda f: f.info["step"]), every)


@pytest.mark.parametrize("path", shared_files(VASPRUN), ids=lambda p: p.name)
def test_every_path_reads_the_same(path, monkeypatch):
    if path.name.startswith("custodian"):
        pytest.skip("no step to read")
    kinds = ["TruncatedWarning"] if "truncated" in path.name else []
    whole = read(path, kinds, threads=1)[0]
    same_frames(whole, read(path, kinds, threads=2)[0])
    # Small windows, so that steps straddle them.
    monkeypatch.setattr(io_rs._vasprun, "CHUNK_BYTES", 5000)
    monkeypatch.setattr(io_rs._files, "CHUNK_BYTES", 5000)
    monkeypatch.setattr(io_rs._vasprun, "_PIPELINE_BYTES", 5000)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", io_rs.TruncatedWarning)
        same_frames(whole, io_rs.read_vasprun(path, threads=2))
        same_frames(whole, list(io_rs.iter_vasprun(path, threads=2)))
        with io_rs.open_vasprun(path, threads=2) as opened:
            same_frames(whole, [opened[k] for k in range(len(opened))])
            same_frames(whole, opened[:])
            same_frames(whole, list(opened))
            assert opened[-1] == whole[-1]
            infos = opened.infos()
    assert infos.natoms.tolist() == [f.natoms for f in whole]
    assert infos.info == [{k: v for k, v in f.info.items() if k != "stress"} for f in whole]


def test_format_table(tmp_path):
    row = next(info for info in io_rs.formats() if info.name == "vasprun")
    assert (row.title, row.can_write, row.read_options) == ("vasprun.xml", False, ("steps",))
    data = document(1, plain=True, steps=2)
    expected = io_rs.read_vasprun(data and _stream(data))
    for name in ["vasprun.xml", "vasprun.xml-001", "vasprun.relax2.xml", "vasprun.xml.relax2", "VASPRUN.XML",
                 "run.out", "vasprun.xml.gz"]:
        path = tmp_path / name
        path.write_bytes(gzip.compress(data) if name.endswith(".gz") else data)
        same_frames(io_rs.read(path), expected)
    with pytest.raises(TypeError, match="takes steps"):
        io_rs.read(tmp_path / "vasprun.xml", frames=1)
    with pytest.raises(ValueError, match="'all', 'dft' or 'ml'"):
        io_rs.read(tmp_path / "vasprun.xml", steps="DFT")
    with pytest.raises(ValueError, match="read only"):
        io_rs.write(tmp_path / "out.xml", expected, format="vasprun")


def _stream(data):
    import io
    return io.BytesIO(data)


# A run of two steps whose text each case below writes another way.
STEP = ('<calculation><scstep><energy><i name="e_fr_energy">{free}</i><i name="e_wo_entrp">-2.5</i>'
        '<i name="e_0_energy">-2.25</i></energy></scstep>'
        '<structure><crystal><varray name="basis"><v>{a}</v><v>0 2 0</v><v>0 0 3</v></varray></crystal>'
        '<varray name="positions"><v>{x}</v><v>0.5 0.5 0.5</v></varray></structure>'
        '<varray name="forces"><v>{f}</v><v>-1 -2 -3</v></varray>'
        '<varray name="stress"><v>{s}</v><v>0 20 0</v><v>0 0 30</v></varray></calculation>\n')
HEAD = ('<?xml version="1.0" encoding="ISO-8859-1"?>\n<modeling>\n<atominfo><atoms>2</atoms>'
        '<array name="atoms"><set><rc><c>{el}</c><c>1</c></rc><rc><c>O</c><c>2</c></rc></set></array></atominfo>\n')


def run_text(el="H", free="-2.75", a="1 0 0", x="0.1 0.2 0.3", f="1 2 3", s="10 0 0", steps=2, tail="</modeling>\n"):
    return HEAD.format(el=el) + "".join(STEP.format(free=free, a=a, x=x, f=f, s=s) for _ in range(steps)) + tail


PLAIN = run_text()


@pytest.mark.parametrize("text", [
    run_text(x="0.1&#32;0.2 &#x30;.3"),                               # character references
    run_text(x="0.1 <!-- a comment -->0.2 0.3<?pi data?>"),            # comments and instructions in text
    run_text(x="<![CDATA[0.1 0.2]]> 0.3"),                             # CDATA
    run_text(free=" \n\t-2.75\r\n "),                                  # white space of every kind
    run_text().replace('name="forces"', "name = 'forces'\n"),          # single quotes, spaces around =
    run_text().replace('name="positions"', 'name="p&#111;sitions"'),   # references in attributes
    run_text().replace("<v>", "<v >").replace("</v>", "</v\n>"),       # white space closing tags
    "\ufeff" + run_text().replace("ISO-8859-1", "UTF-8"),              # byte order mark
    run_text().replace("<calculation>", "<calculation><dos/><eigenvalues ></eigenvalues>"),
    run_text().replace("<modeling>", "<!-- before -->\n<modeling>") + "<!-- after --><?pi?>\n",
], ids=["char refs", "comments", "cdata", "spaces", "quotes", "attr refs", "tag spaces", "bom", "empty", "misc"])
def test_xml_written_every_way(text):
    encoding = "utf-8" if "UTF-8" in text else "latin-1"
    same_frames(read(_stream(text.encode(encoding)))[0], read(_stream(PLAIN.encode()))[0])


def test_values_and_stress():
    frames = read(_stream(PLAIN.encode()))[0]
    frame = frames[1]
    assert frame.symbols == ["H", "O"] and frame.info["step"] == 2
    assert frame.info == {**frame.info, "free_energy": -2.75, "energy": -2.25, "energy_without_entropy": -2.5}
    assert np.array_equal(frame.cell, np.diag([1.0, 2.0, 3.0])) and frame.positions[0].tolist() == [0.1, 0.2, 0.3]
    assert frame.arrays["forces"][1].tolist() == [-1, -2, -3]
    expected = -np.diag([10.0, 20.0, 30.0]) / 1602.1766208
    assert np.array_equal(frame.info["stress"], expected)


def test_latin1_symbols():
    frames = read(_stream(run_text(el="X\xe9").encode("latin-1")))[0]
    assert frames[0].symbols == ["X\u00e9", "O"]


@pytest.mark.parametrize("case, expect, field", [
    (dict(f="1 ********** 3"), "DataWarning", "forces of step"),
    (dict(x="****************** 0 0"), "DataWarning", "positions of step"),
    (dict(free="****************"), "DataWarning", "free_energy of step"),
    (dict(a="1 0 **********"), "DataWarning", "cell of step"),
    (dict(s="********** 0 0"), "DataWarning", "stress of step"),
])
def test_overflow_reads_as_nan(case, expect, field):
    frames, said = read(_stream(run_text(**case).encode()), [expect])
    assert field in said[0] and "step 1" in said[0] and "step 2" in said[0]
    values = np.concatenate([np.ravel(v) for v in (frames[0].positions, frames[0].cell, frames[0].arrays["forces"],
                                                    frames[0].info["stress"], [frames[0].info["free_energy"]])])
    assert np.isnan(values).sum() == 1


def test_overflow_in_an_scf_step_is_not_held():
    text = PLAIN.replace("<scstep>", '<scstep><energy><i name="e_fr_energy">*******</i></energy></scstep><scstep>')
    same_frames(read(_stream(text.encode()))[0], read(_stream(PLAIN.encode()))[0])


def test_nul_bytes_lose_the_step_they_hit():
    text = run_text(steps=3).encode()
    second = text.index(b"<calculation>", text.index(b"<calculation>") + 1)
    damaged = text[:second + 150] + b"\0" * 100 + text[second + 250:]
    frames, said = read(_stream(damaged), ["DataWarning"])
    assert [f.info["step"] for f in frames] == [1, 3] and "step 2 lost" in said[0]
    # NUL bytes to the end: a run cut there.
    frames = read(_stream(text[:second + 10] + b"\0" * 4000), ["TruncatedWarning"])[0]
    assert len(frames) == 1


@pytest.mark.parametrize("cut", ["<varr", 'name="for', "0.5 0.", "<!-- a comm", "</calculation", "&#3"])
def test_a_file_cut_anywhere_keeps_its_complete_steps(cut):
    text = run_text(steps=3).replace("<v>0 0 30</v>", "<v>0 0 30</v><!-- a comment -->")
    text = text.replace("<v>0.5 0.5 0.5", "<v>0.5&#32;0.5 0.5")
    last = text.rindex("<calculation>")
    frames, said = read(_stream(text[:text.index(cut, last) + len(cut)].encode()), ["TruncatedWarning"])
    assert len(frames) == 2 and "the last is step 2" in said[0]
    with pytest.raises(io_rs.FormatError, match="before its first ionic step"):
        io_rs.read_vasprun(_stream(text[:text.index(cut) + len(cut)].encode()))


@pytest.mark.parametrize("change, message", [
    (("</v><v>-1 -2", "</w><v>-1 -2"), r"line 4: step 1: expected </v>, got </w>"),
    (("<c>O</c>", "<c>O</d>"), r"line 3: expected </c>, got </d>"),
    (('<i name="e_wo_entrp">', '<i name="e_wo_entrp" name="x">'), "step 1: the attribute name given twice in <i>"),
    (("-2.5", "&minus;2.5"), "entity &minus; is not defined"),
    (("<scstep>", '<scstep><time name="&bogus;">1</time>'), "step 1: the entity &bogus; is not defined"),
    (("0 20 0", "0 20]]> 0"), "']]>' in character data"),
    (("<atominfo>", "<!-- a -- b --><atominfo>"), "'--' inside a comment"),
    (("</modeling>\n", "</modeling>\n<modeling></modeling>\n"), "the end of the file after the root element"),
    (("</modeling>\n", "</modeling>\nmore"), "text after the end of the root element"),
    (("<modeling>", "<!DOCTYPE modeling><modeling>"), "document type declaration"),
    (("ISO-8859-1", "UTF-16"), "encoding 'UTF-16'"),
    (("<modeling>\n", "<run>\n"), "expected <modeling>, the root element of a vasprun.xml, got <run>"),
    (("0.1 0.2 0.3", "0.1 0.2"), r"step 1: expected 3 numbers in <v> of <varray name=\"positions\">, got '0.1 0.2'"),
    (("0.1 0.2 0.3", "0.1 0.2 x"), r"expected 3 numbers .* got '0.1 0.2 x'"),
    (("<v>-1 -2 -3</v>", ""), r"step 1: expected 2 rows in <varray name=\"forces\">, one per atom, got 1"),
    (("<atoms>2</atoms>", "<atoms>3</atoms>"), r"expected 3 rows in <array name=\"atoms\">"),
    (("<v>0 0 3</v>", ""), r"expected 3 rows in <varray name=\"basis\">, got 2"),
    (("1 0 0", "1\x01 0 0"), "control character"),
    (('<v>0.5 0.5 0.5</v>', '<v>0.5 0.5 0.5</v><v>0 0 0</v>'), r"expected 2 rows in <varray name=\"positions\">"),
])
def test_malformed_files(change, message):
    text = PLAIN.replace(*change, 1)
    with pytest.raises(io_rs.FormatError, match=message) as raised:
        io_rs.read_vasprun(_stream(text.encode("latin-1")))
    assert raised.value.line is not None and raised.value.format == "vasprun.xml"


def test_two_images_written_at_once():
    # Two runs writing one file: blocks of each, interleaved.
    a, b = document(3, plain=True), document(4, plain=True)
    mixed = b"".join(a[k:k + 700] + b[k:k + 700] for k in range(0, max(len(a), len(b)), 700))
    with pytest.raises(io_rs.FormatError, match="expected|after the end|XML declaration"):
        io_rs.read_vasprun(_stream(mixed))


@pytest.mark.parametrize("seed", range(80))
def test_windows_and_threads_agree(seed):
    """The scanner fed a window at a time, and on threads, finds what one call
    finds: the same steps, or the same error at the same place."""
    data = document(seed, overflow=0.02)
    if seed >= 40:
        data = mutated(data, random.Random(seed))[1]
    try:
        whole = scan_result(_io_rs_buffers.scan_vasprun(data, values=True))
    except ValueError as error:
        whole = ("error", str(error))
    for first, threads in [(97, 1), (1000, 3)]:
        state, start, line, counted, results, width = None, 0, 1, 0, [], first
        while True:
            stop = min(len(data), start + width)
            try:
                scan = _io_rs_buffers.scan_vasprun(data[start:stop], 0, (start, line, counted), stop == len(data),
                                                   state, True, threads=threads)
            except ValueError as error:
                results.append(("error", str(error)))
                break
            results.append(scan_result(scan))
            consumed, line, counted, complete = scan[9][:4]
            state = scan[1] or state
            if complete:
                break
            start += consumed
            width = first if consumed else 2 * width
        assert merge(results) == whole


def scan_result(scan):
    symbols, _, table, cells, stress, energies, parts, positions, forces, stop, damage = scan
    return [symbols, table.tolist(), cells.tobytes(), stress.tobytes(), energies.tobytes(), parts.tolist(),
            b"".join(p.tobytes() for p in positions), b"".join(f.tobytes() for f in forces), stop[2:5]]


def merge(results):
    if results and results[-1][0] == "error":
        return results[-1]
    merged = [None, [], b"", b"", b"", [], b"", b"", None]
    for result in results:
        merged[0] = merged[0] or result[0]
        for k in range(1, 8):
            merged[k] += result[k]
        merged[8] = result[8]
    return merged


def test_whole_scan_error_matches_windows():
    data = PLAIN.replace("</v><v>-1 -2", "</w><v>-1 -2").encode()
    with pytest.raises(ValueError) as whole:
        _io_rs_buffers.scan_vasprun(data)
    assert whole.value.frame == 1 and whole.value.line == 4 and whole.value.expected == "</v>"
    assert whole.value.byte == data.index(b"</w>")


def test_a_problem_near_a_window_end_is_read_with_what_follows():
    # The message quotes the bytes after '<': a window that ends among them
    # must leave the problem to the next window, which holds them all.
    data = PLAIN.replace("<v>0 2 0</v>", "<v>0 2 0</v><<v>", 1).encode()
    with pytest.raises(ValueError) as whole:
        _io_rs_buffers.scan_vasprun(data)
    at = data.index(b"<<v>")
    for cut in range(at - 2, at + 30):
        with pytest.raises(ValueError) as windowed:
            first = _io_rs_buffers.scan_vasprun(data[:cut], 0, None, False)
            consumed, line, counted = first[9][:3]
            _io_rs_buffers.scan_vasprun(data[consumed:], 0, (consumed, line, counted), True, first[1])
        assert str(windowed.value) == str(whole.value), cut


def test_dask_arrays_read_from_the_path(tmp_path):
    pytest.importorskip("dask")
    path = shared_file(f"{VASPRUN}/pymatgen-core_vasprun.ml_md.xml.gz")
    for steps in ("all", "ml"):
        expected = np.stack([f.positions for f in read(path, steps=steps)[0]])
        with io_rs.open_vasprun(path, steps=steps) as opened:
            assert np.array_equal(opened.to_dask(frames_per_chunk=7).compute(scheduler="synchronous"), expected)
