"""OUTCAR reading on runs written in VASP's layouts: every value as float()
reads its printed text, the same frames from every reader, window size and
thread count, and the sound behaviour on damaged and malformed files."""

import io
import re
import warnings

import numpy as np
import pytest

import _io_rs_buffers
import io_rs
import io_rs._files
from outcar_text import DASHES, Step, numbers, outcar, random_steps, reference_steps


def read(text, **options):
    return io_rs.read(io.BytesIO(text.encode("latin-1") if isinstance(text, str) else text), format="outcar",
                      **options)


def quietly(call, *args, **options):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return call(*args, **options)


def without_table(steps, keep):
    return [Step(s.positions, s.forces, s.cell, s.stress, s.energies, s.ml, k in keep) for k, s in enumerate(steps)]


def printing(steps, what, every=2):
    """The steps, every `every`-th printing only `what` beside its table."""
    return [Step(s.positions, s.forces, s.cell, s.stress, s.energies, s.ml, s.table,
                 what if k % every == 0 else s.printed) for k, s in enumerate(steps)]


LAYOUTS = {
    "DFT, energies after the table (VASP 5.4 on)": (random_steps(5, 6), {}),
    "DFT, energies before the table (VASP 5.2)": (random_steps(5, 6, seed=1), {"energies_first": True}),
    "ML predictions and DFT steps (ML_ISTART=0)": (random_steps(10, 6, seed=2, ml_every=3), {}),
    "tables of the first and last steps (NWRITE=0)": (without_table(random_steps(9, 6, seed=3), {0, 8}), {}),
    "species from the POTCAR lines alone": (random_steps(3, 6, seed=4), {"titel": False}),
    "steps without stress (ISIF=0)": (printing(random_steps(5, 6, seed=16), "energies"), {}),
}


@pytest.mark.parametrize("layout", LAYOUTS)
def test_values_are_the_printed_text(layout):
    steps, options = LAYOUTS[layout]
    text = outcar(steps, **options)
    symbols, expected = reference_steps(text)
    frames = read(text)
    assert [frame.info["step"] for frame in frames] == numbers(steps)
    assert [frame.info["calculator"] for frame in frames] == [ref.calculator for ref in expected]
    for frame, ref in zip(frames, expected, strict=True):
        assert frame.symbols == symbols == ["O", "O", "H", "H", "H", "H"]
        assert not frame.fractional and frame.pbc.all()
        assert ("stress" in frame.info) == (ref.stress is not None)
        for got, want in ((frame.positions, ref.positions), (frame.arrays["forces"], ref.forces),
                          (frame.cell, ref.cell), (frame.info.get("stress", ref.stress), ref.stress)):
            assert want is None or (got.dtype == np.float64 and np.array_equal(got, want))
        assert {key: frame.info[key] for key in ref.info} == ref.info


@pytest.mark.parametrize("calculator", ["dft", "ml"])
def test_steps_keyword_keeps_one_calculator(calculator):
    steps, _ = LAYOUTS["ML predictions and DFT steps (ML_ISTART=0)"]
    text = outcar(steps)
    every = read(text)
    kept = read(text, steps=calculator)
    assert kept == [frame for frame in every if frame.info["calculator"] == calculator.upper()]
    assert len(kept) == (4 if calculator == "ml" else 6)


def big_run():
    return outcar(random_steps(400, 24, seed=5, ml_every=7), counts=(8, 16))


@pytest.mark.parametrize("chunk", [300, 4096, 50_000])
def test_every_reader_window_and_thread_count_agree(monkeypatch, tmp_path, chunk):
    path = tmp_path / "OUTCAR.gz"
    import gzip
    text = big_run().encode()
    path.write_bytes(gzip.compress(text, 1))
    whole = read(text, threads=1)
    assert read(text, threads=3) == whole
    monkeypatch.setattr(io_rs._files, "CHUNK_BYTES", chunk)
    assert list(io_rs.iread(path, threads=2)) == whole
    with io_rs.open(path) as opened:
        assert len(opened) == len(whole)
        assert [opened[k] for k in (0, 17, -1)] == [whole[0], whole[17], whole[-1]]
        assert opened[5:9] == whole[5:9]
        assert list(opened) == whole


def test_a_large_mapped_file_reads_as_its_bytes_and_its_map_is_closed(monkeypatch, tmp_path):
    # Large enough for its pages to be mapped in ahead; read on threads, its
    # map is released by a thread beside the reader.
    text = outcar(random_steps(1600, 100, seed=9), counts=(40, 60)).encode()
    assert len(text) >= 16 << 20
    path = tmp_path / "OUTCAR"
    path.write_bytes(text)
    maps = []
    close = io_rs._files._close_map
    monkeypatch.setattr(io_rs._files, "_close_map", lambda mapped, threads: (maps.append(mapped), close(mapped, threads)))
    monkeypatch.setattr(io_rs._files, "_UNMAP_BESIDE_FROM", 1 << 20)
    whole = read(text, threads=1)
    assert io_rs.read_outcar(path, threads=1) == whole
    assert io_rs.read_outcar(path, threads=2) == whole
    if io_rs._files._unmapper is not None:
        io_rs._files._unmapper.submit(lambda: None).result()  # one thread: the closes before it are done
    assert len(maps) == 2 and all(mapped.closed for mapped in maps)


def in_pieces(data, ends):
    """The steps and tables of scans fed pieces that end at the given
    bytes (where a scan could not go on, at the next), and how the last ended."""
    steps, start, line, carry = [], 0, 1, None
    ends = iter(ends)
    stop = next(ends, len(data))
    while True:
        while stop <= start:
            stop = next(ends, len(data))
        piece = data[start:stop]
        scan = _io_rs_buffers.scan_outcar_steps(piece, 0, (start, line, len(steps)), stop == len(data), carry,
                                                tables=True)
        steps += [(row, scan[5][k]) for k, row in enumerate(scan[1].tolist())]
        consumed, line, complete, finished, _ = scan[8]
        if complete:
            return steps, finished
        if consumed == 0:
            stop = next(ends, len(data))
        start, carry = start + consumed, scan[9]


RUNS = {
    "ML and DFT steps": lambda: big_run(),
    "steps without energies": lambda: outcar(printing(random_steps(300, 24, seed=17), "stress", every=1),
                                             counts=(8, 16)),
    "ML steps without energies": lambda: outcar(printing(random_steps(300, 24, seed=19, ml_every=1), "stress",
                                                         every=1), counts=(8, 16)),
    "energies before the tables (VASP 5.2)": lambda: outcar(random_steps(300, 24, seed=20), counts=(8, 16),
                                                            energies_first=True),
}


@pytest.mark.parametrize("run", RUNS)
def test_scan_in_pieces_finds_what_one_scan_finds(run):
    data = RUNS[run]().encode()
    whole = _io_rs_buffers.scan_outcar_steps(data, tables=True)
    for ends in (range(2_000, len(data), 2_000), range(1_499, len(data), 1_499), range(33_333, len(data), 33_333),
                 # pieces that end between a TOTEN line and the energy line under it
                 [m.end() for m in re.finditer(rb"TOTEN  = .*\n", data)]):
        steps, finished = in_pieces(data, ends)
        assert finished
        assert [row for row, _ in steps] == whole[1].tolist()
        assert np.array_equal(np.stack([positions for _, positions in steps]), whole[5])


def test_scan_in_pieces_of_any_size_finds_what_one_scan_finds():
    data = big_run().encode()
    whole = _io_rs_buffers.scan_outcar_steps(data, tables=True)
    for size in (2_000, 33_333):
        steps, start, line, carry = [], 0, 1, None
        while True:
            piece = data[start:start + size] if start + size < len(data) else data[start:]
            last = start + len(piece) == len(data)
            scan = _io_rs_buffers.scan_outcar_steps(piece, 0, (start, line, len(steps)), last, carry, tables=True)
            steps += [(row, scan[5][k]) for k, row in enumerate(scan[1].tolist())]
            consumed, line, complete, finished, _ = scan[8]
            if complete:
                assert finished
                break
            start, carry = start + consumed, scan[9]
            size = size if consumed else size * 2
        assert [row for row, _ in steps] == whole[1].tolist()
        assert np.array_equal(np.stack([positions for _, positions in steps]), whole[5])


def steps_around(text, step):
    """The text of step `step` (from 1): from its first iteration line to the
    start of the next step's."""
    starts = [m.start() for m in re.finditer(r"(?m)^-+ Iteration +\d+\(   1\)", text)] + [text.index("\n General")]
    return starts[step - 1], starts[step]


def overflowed(text, pattern, width, step):
    """The text with the match of pattern (a value of the given width) in
    step `step` (from 1) printed as Fortran prints a value too wide:
    asterisks."""
    start, stop = steps_around(text, step)
    match = next(m for m in re.finditer(pattern, text) if start <= m.start() < stop)
    return text[:match.start(1)] + "*" * width + text[match.end(1):]


# (field, pattern of a value in step 2, its width, where the NaN lands)
HELD = [
    ("positions", r"(?m)^ POSITION.*\n.*\n.*\n(.{13})", 13, lambda f: f.positions[1, 0]),
    ("forces", r"(?m)^ POSITION.*\n.*\n.{42}(.{14})", 14, lambda f: f.arrays["forces"][0, 0]),
    ("cell", r"direct lattice vectors.*\n.{16}(.{13})", 13, lambda f: f.cell[0, 1]),
    ("stress", r"in kB  (.{12})", 12, lambda f: f.info["stress"][0, 0]),
    ("free_energy", r"free  energy   TOTEN  = (.{18})", 18, lambda f: f.info["free_energy"]),
    ("energy_without_entropy", r"energy  without entropy= (.{17})", 17, lambda f: f.info["energy_without_entropy"]),
    ("energy", r"entropy=.*energy\(sigma->0\) = (.{17})", 17, lambda f: f.info["energy"]),
]


@pytest.mark.parametrize("field, pattern, width, value", HELD, ids=[case[0] for case in HELD])
def test_overflow_in_a_held_value_is_nan_and_named(field, pattern, width, value):
    steps = random_steps(3, 6, seed=6)
    text = outcar(steps)
    damaged = overflowed(text, pattern, width, step=2)
    with pytest.warns(io_rs.DataWarning, match=rf"{field} of step 2\b"):
        frames = read(damaged)
    assert np.isnan(value(frames[1]))
    clean = read(text)
    assert frames[0] == clean[0] and frames[2] == clean[2]
    for name in ("positions", "cell"):
        assert np.isnan(getattr(frames[1], name)).sum() == (name == field)


NOT_HELD = [
    ("a reciprocal lattice vector", r"direct lattice vectors.*\n.{45}(.{13})", 13),
    ("an electronic iteration's energy", r"free energy    TOTEN  = (.{18})", 18),
    ("the stress in eV", r"Total   (.{12})", 12),
    ("the total drift", r"total drift: +(-0\.005850)", 9),
]


@pytest.mark.parametrize("what, pattern, width", NOT_HELD, ids=[case[0] for case in NOT_HELD])
def test_overflow_in_a_value_not_held_is_ignored(what, pattern, width):
    text = outcar(random_steps(3, 6, seed=7))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert read(overflowed(text, pattern, width, step=3)) == read(text)


def test_fields_that_touch_are_read_at_their_columns():
    steps = random_steps(2, 6, seed=8)
    steps[1].cell[0] = [-10.5, -10.25, 0.125]
    steps[1].stress[:3] = [-99999.12345, -12345.5, 0.5]
    text = outcar(steps)
    assert "-10.500000000-10.250000000" in text and "-99999.12345-12345.50000" in text
    frame = read(text)[1]
    assert frame.cell[0].tolist() == [-10.5, -10.25, 0.125]
    assert frame.info["stress"].diagonal().tolist() == [99999.12345 / 1602.1766208, 12345.5 / 1602.1766208,
                                                       -0.5 / 1602.1766208]


@pytest.mark.parametrize("where, lost", [
    ("in the table's rows", 2),
    ("in the energy block", 2),
    ("among the electronic iterations", 2),
    ("from one step's end over the next one's iterations", 3),
    ("from one step's end over the next one's first iteration", None),
])
def test_nul_bytes_lose_their_step_and_keep_the_others(where, lost):
    text = outcar(random_steps(4, 6, seed=9))
    start, stop = steps_around(text, 2)
    if where.startswith("from one step's end"):
        # What the NULs replaced may have been the next step's stress or
        # cell, unless an iteration line of that step comes after them.
        at = text.index("     LOOP+", start) + 60
        over = text.index("  FORCE on cell", stop) if lost else text.index(" Free energy", stop)
    else:
        anchor = {"in the table's rows": " POSITION", "in the energy block": "  free  energy   TOTEN",
                  "among the electronic iterations": " Free energy of the ion"}[where]
        at = text.index(anchor, start) + 60
        over = at + 300
    damaged = text[:at] + "\0" * (over - at) + text[over:]
    clean = read(text)
    if lost is None:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            assert read(damaged) == clean
        return
    with pytest.warns(io_rs.DataWarning, match=rf"unreadable by NUL bytes, left out: step {lost} "):
        frames = read(damaged)
    assert frames == [frame for frame in clean if frame.info["step"] != lost]


def test_a_run_cut_short_keeps_its_complete_steps():
    text = outcar(random_steps(4, 6, seed=10), finished=False) + scf_tail()
    whole = quietly(read, text)
    ends = [text.index("\n", m.end()) + 1 for m in re.finditer(r"energy  without entropy=", text)]
    tables = [m.start() for m in re.finditer(r"(?m)^ POSITION", text)]
    for cut in list(range(tables[0], len(text), 997)) + [ends[1] - 5, ends[1], ends[2] - 1]:
        complete = sum(1 for end in ends if end <= cut)
        if complete == 0:
            with pytest.raises(io_rs.FormatError, match="expected a complete ionic step"):
                read(text[:cut])
            continue
        with pytest.warns(io_rs.TruncatedWarning, match=rf"the last complete step {complete}\b") as caught:
            assert read(text[:cut]) == whole[:complete]
        assert "reading stopped at line" in str(caught[0].message)


def scf_tail():
    return "----------------------------------------- Iteration    5(   1)  -------\n\n    POTLOK:  cpu time 2.8\n"


@pytest.mark.parametrize("energies_first", [False, True])
def test_a_finished_run_gives_no_warning_and_an_unfinished_one_does(energies_first):
    steps = random_steps(2, 6, seed=11)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        finished = read(outcar(steps, energies_first=energies_first))
    with pytest.warns(io_rs.TruncatedWarning, match="the run ended early: 2 complete steps read"):
        assert read(outcar(steps, finished=False, energies_first=energies_first)) == finished


def test_steps_numbered_where_their_iteration_numbers_overflowed():
    steps, _ = LAYOUTS["ML predictions and DFT steps (ML_ISTART=0)"]
    text = re.sub(r"Iteration +\d+\(", "Iteration ****(", outcar(steps))
    assert [frame.info["step"] for frame in read(text)] == numbers(steps)


def replaced(text, old, new, occurrence=0):
    at = -1
    for _ in range(occurrence + 1):
        at = text.index(old, at + 1)
    return text[:at] + new + text[at + len(old):]


def row_of(text, step, row):
    table = [m.end() for m in re.finditer(r"(?m)^ POSITION.*\n.*\n", text)][step - 1]
    return text[table:].split("\n")[row - 1]


MALFORMED = [
    ("a position that is no number", lambda t: replaced(t, row_of(t, 2, 3), "      4.3x854" + row_of(t, 2, 3)[13:]),
     "step 2: expected six numbers (x y z, then the force) on atom line 3 of the POSITION/TOTAL-FORCE table"),
    ("an atom line too many", lambda t: replaced(t, row_of(t, 2, 6), row_of(t, 2, 6) + "\n" + row_of(t, 2, 6)),
     "step 2: expected the line of dashes closing the POSITION/TOTAL-FORCE table after its 6 atom lines"),
    ("no dashes under the header", lambda t: replaced(t, "Angst)\n" + DASHES, "Angst)\n", 1),
     "step 2: expected a line of dashes under the POSITION/TOTAL-FORCE header"),
    ("a stress value that is no number", lambda t: replaced(t, "in kB  ", "in kB  abc", 1),
     "step 2: expected six stress values (XX YY ZZ XY YZ ZX) after 'in kB'"),
    ("a lattice line cut short", lambda t: replaced(t, t.split("direct lattice vectors")[2].split("\n")[2],
                                                    t.split("direct lattice vectors")[2].split("\n")[2][:20]),
     "step 1: expected three numbers (a lattice vector, then the reciprocal one) on line 2 after 'direct lattice"),
    ("a TOTEN that is no number", lambda t: re.sub(r"(free  energy   TOTEN  = ) *\S+", r"\1 -12.3.4", t, count=1),
     "step 1: expected a number between 'TOTEN  =' and 'eV'"),
]


@pytest.mark.parametrize("what, damage, expected", MALFORMED, ids=[case[0] for case in MALFORMED])
def test_malformed_step_names_file_line_step_and_what_was_expected(tmp_path, what, damage, expected):
    text = damage(outcar(random_steps(3, 6, seed=12)))
    path = tmp_path / "OUTCAR"
    path.write_text(text)
    for call in (io_rs.read, lambda p: list(io_rs.iread(p)), lambda p: io_rs.open(p)[:]):
        with pytest.raises(io_rs.FormatError) as caught:
            call(path)
        error = caught.value
        assert error.file == str(path) and error.format == "OUTCAR"
        assert expected in str(error) and str(error).startswith(f"OUTCAR {str(path)!r}, line {error.line}: step")
        assert error.frame == int(expected.split()[1].rstrip(":"))
        line = text.split("\n")[error.line - 1].strip()
        assert error.found == "'" + line + "'"


@pytest.mark.parametrize("text, expected", [
    (outcar([]).replace("ions per type", "ion count"), "expected a complete ionic step"),
    (outcar(random_steps(1, 6)).replace("ions per type", "ion count"), "expected the run's header (NIONS"),
    (outcar(random_steps(1, 6), nions=7), "expected atom counts per type adding up to NIONS (7), got"),
    ("", "expected a complete ionic step"),
])
def test_a_file_without_a_step_or_header_is_refused(text, expected):
    with pytest.raises(io_rs.FormatError, match=re.escape(expected)):
        read(text)


def test_counts_cut_after_ten_species_leave_the_symbols_unsaid():
    species = [f"X{k}" for k in range(12)]
    steps = random_steps(1, 12, seed=13)
    text = outcar(steps, species=species, counts=[1] * 12)
    text = re.sub(r"(ions per type = +(?:\s+1){10})(?:\s+1){2}", r"\1", text)
    frames = read(text)
    assert frames[0].symbols is None and frames[0].natoms == 12
    assert read(outcar(steps, species=species, counts=[1] * 12))[0].symbols == species


def test_format_table_row():
    info = next(row for row in io_rs.formats() if row.name == "outcar")
    assert (info.title, info.patterns, info.can_write, info.read_options) == ("OUTCAR", ("*outcar*",), False, ("steps",))
    with pytest.raises(TypeError, match="takes steps"):
        read(outcar(random_steps(1, 6)), frames=1)
    with pytest.raises(ValueError, match="steps must be 'all', 'dft' or 'ml'"):
        read(outcar(random_steps(1, 6)), steps="DFT")


@pytest.mark.parametrize("name", ["OUTCAR", "OUTCAR.gz", "relax.outcar", "OUTCAR_8", "out.file"])
def test_recognised_by_name_or_first_bytes(tmp_path, name):
    text = outcar(random_steps(2, 6, seed=14)).encode()
    path = tmp_path / name
    if name.endswith(".gz"):
        import gzip
        text = gzip.compress(text)
    path.write_bytes(text)
    assert len(io_rs.read(path)) == 2
    assert io_rs.open(path).format == "outcar"


def test_trajectory_infos_come_from_the_scan(monkeypatch, tmp_path):
    steps = random_steps(6, 6, seed=15, ml_every=3)
    path = tmp_path / "OUTCAR"
    path.write_text(outcar(steps, finished=False))
    frames = quietly(read, path.read_text())
    with pytest.warns(io_rs.TruncatedWarning):
        opened = io_rs.open_outcar(path)
    with opened:
        monkeypatch.setattr(_io_rs_buffers, "read_outcar_tables", None)
        infos = opened.infos()
        assert infos.natoms.tolist() == [6] * len(frames)
        assert [list(info) for info in infos.info] == [list(frame.info) for frame in frames]
        assert all(io_rs.Frame(np.zeros((1, 3)), info=info) == io_rs.Frame(np.zeros((1, 3)), info=frame.info)
                   for info, frame in zip(infos.info, frames))
        assert opened.truncated and opened.variable_cell and opened.symbols == frames[0].symbols
        assert np.array_equal(opened.cells, np.stack([frame.cell for frame in frames]))


def test_steps_as_a_dask_array(tmp_path):
    dask = pytest.importorskip("dask")
    path = tmp_path / "OUTCAR"
    path.write_text(outcar(random_steps(7, 6, seed=18, ml_every=3)))
    frames = read(path.read_text())
    with io_rs.open(path, steps="dft") as opened:
        array = opened.to_dask(frames_per_chunk=2)
    assert array.shape == (4, 6, 3)
    dft = [frame.positions for frame in frames if frame.info["calculator"] == "DFT"]
    assert np.array_equal(dask.compute(array)[0], np.stack(dft))
