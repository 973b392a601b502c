"""The baselines write the known lines, and give the module's results."""

import numpy as np
import pytest

from bench import numpy_text, pure_python
from bench.cases import CASES, Block, Size, same

ROW = np.array([[0.0, 0.5, -0.25]])


@pytest.mark.parametrize("writer", [pure_python, numpy_text], ids=["python", "numpy"])
def test_writers_known_lines(writer):
    assert writer.format_poscar_positions(ROW) == "  0.0000000000000000  0.5000000000000000 -0.2500000000000000\n"
    flags = np.array([[True, False, True]])
    assert writer.format_poscar_positions(ROW, flags).endswith("-0.2500000000000000   F   T   F\n")
    assert writer.format_xdatcar_config(np.array([[0.0, 0.5, 0.25]]), 1) == (
        "Direct configuration=     1\n   0.00000000  0.50000000  0.25000000\n"
    )
    assert writer.format_xyz_block(["O"], np.array([[0.0, 0.0, 0.5]])) == (
        "O " + "      0.000000000000000" * 2 + "      0.500000000000000\n"
    )


@pytest.mark.parametrize("reader", [pure_python, numpy_text], ids=["python", "numpy"])
def test_readers_known_values(reader):
    positions, flags = reader.parse_poscar_positions(["  0.0 0.5\t0.25  F T F\r\n"], True)
    assert positions.tolist() == [[0.0, 0.5, 0.25]] and flags.tolist() == [[True, False, True]]
    assert reader.parse_xdatcar_coords(["  0.25\t0.5   0.75\n"]).tolist() == [[0.25, 0.5, 0.75]]


def test_symbols_are_normalised():
    symbols, _ = pure_python.parse_xyz_block(["FE 0 0 0\n", "cl 1 1 1\n", "h 2 2 2\n"])
    assert symbols == ["Fe", "Cl", "H"]


BLOCK = Block(640)
SIZES = [Size("one", "640 atoms", 640, 1, 1), Size("blocks", "20 x 32 atoms", 32, 20, 20)]


@pytest.mark.parametrize("size", SIZES, ids=lambda s: s.key)
@pytest.mark.parametrize("case", CASES, ids=lambda c: c.key)
def test_baselines_give_the_module_result(case, size):
    impls = case.implementations()
    for arguments in BLOCK.calls(case, size, size.calls):
        expected = impls["module"](*arguments)
        assert same(expected, impls["python"](*arguments))
        numpy_expected = expected if case.numpy_part is None else expected[case.numpy_part]
        assert same(numpy_expected, impls["numpy"](*arguments))
