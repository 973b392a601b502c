"""Results count as the same only when they are identical."""

import numpy as np
import pytest

from bench.cases import difference, same

A = np.array([[0.1, 0.2, 0.3]])


@pytest.mark.parametrize(
    "other",
    [
        np.nextafter(A, 1.0),  # one unit in the last place
        np.array([[0.1, 0.2, 0.3]], dtype=np.float32).astype(np.float64),
        A.astype(np.float32),
        A.reshape(3, 1),
        A.tolist(),
    ],
    ids=["ulp", "rounded", "dtype", "shape", "list"],
)
def test_different_arrays(other):
    assert not same(A, other)


def test_signed_zero_counts():
    assert not same(np.array([0.0]), np.array([-0.0]))


def test_equal_results():
    flags = np.array([[True, False, True]])
    assert same((A.copy(), flags.copy()), (A, flags))
    assert same((["H", "Fe"], A), (["H", "Fe"], A.copy()))
    assert same((A, None), (A.copy(), None))
    assert same("text\n", "text\n")


@pytest.mark.parametrize(
    "expected, got, words",
    [
        ((A, None), (np.nextafter(A, 1.0), None), "element 0: 3 of 3 values differ"),
        ("  0.5\n", "  0.6\n", "character 4"),
        (["H", "Fe"], ["H", "FE"], "entry 1"),
    ],
)
def test_difference_says_where(expected, got, words):
    assert not same(expected, got)
    assert words in difference(expected, got)
