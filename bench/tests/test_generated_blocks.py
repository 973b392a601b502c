"""The generated blocks look like the files they stand for, and are the same
in every run."""

import re

import pytest

from bench import data

N = 2_000


def fields(lines):
    return [line.split() for line in lines]


def test_blocks_are_seeded():
    assert data.xyz_lines(N) == data.xyz_lines(N)
    assert data.poscar_lines(N, True) == data.poscar_lines(N, True)


@pytest.mark.parametrize(
    "lines, decimals, columns",
    [
        (data.poscar_lines(N, False), 16, 3),
        (data.poscar_lines(N, True), 16, 6),
        (data.xdatcar_lines(N), 8, 3),
        (data.xyz_lines(N), 15, 4),
    ],
    ids=["poscar", "poscar-sd", "xdatcar", "xyz"],
)
def test_lines_have_their_format(lines, decimals, columns):
    assert len(lines) == N
    assert all(line.endswith("\n") and not line.endswith("\r\n") for line in lines)
    number = re.compile(rf"-?\d+\.\d{{{decimals}}}$")
    for row in fields(lines):
        assert len(row) == columns
        numbers = row[1:4] if columns == 4 else row[:3]
        assert all(number.match(x) for x in numbers), row


def test_poscar_values_reach_outside_the_unit_range():
    for selective in (False, True):
        values = [float(x) for row in fields(data.poscar_lines(N, selective)) for x in row[:3]]
        assert min(values) < 0 and max(values) > 1


def test_selective_flags_are_mixed():
    flags = {tuple(row[3:]) for row in fields(data.poscar_lines(N, True))}
    assert ("T", "T", "T") in flags and ("F", "F", "F") in flags and len(flags) >= 3


def test_xdatcar_is_fractional():
    values = [float(x) for row in fields(data.xdatcar_lines(N)) for x in row]
    assert 0 <= min(values) and max(values) < 1


def test_xyz_symbols_and_range():
    rows = fields(data.xyz_lines(N))
    lengths = {len(row[0]) for row in rows}
    assert lengths == {1, 2}
    values = [abs(float(x)) for row in rows for x in row[1:]]
    assert max(values) <= 50
