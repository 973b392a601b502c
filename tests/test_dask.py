"""Trajectories as Dask arrays, computed on a local cluster of worker
processes: every chunk is read by the worker that needs it, and the result
is the eager read's."""

import gzip
import shutil
from pathlib import Path

import numpy as np
import pytest

import io_rs

distributed = pytest.importorskip("distributed")
DATA = Path(__file__).resolve().parent / "data"


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as connected:
            yield connected


@pytest.mark.parametrize("name, chunk", [("XDATCAR_variable", 1), ("XDATCAR_blank_comments", 2),
                                         ("XDATCAR_crlf", 5), ("many.xyz", 3), ("many.xyz.gz", 4),
                                         ("many.extxyz", 3), ("many.extxyz.gz", 4)])
def test_chunks_read_on_workers_make_the_eager_read(client, tmp_path, name, chunk):
    if name.startswith("many.extxyz"):
        rng = np.random.default_rng(4)
        frames = [io_rs.ExtxyzFrame(3, {"step": k}, {"species": np.array(["H", "O", "H"]), "pos": rng.random((3, 3)),
                                                     "n": np.arange(3)}) for k in range(10)]
        io_rs.write_extxyz(tmp_path / name, frames)
        eager = np.stack([frame.arrays["pos"] for frame in io_rs.read_extxyz(tmp_path / name)])
        path, opened = tmp_path / name, io_rs.open_extxyz(tmp_path / name)
    elif name.startswith("many"):
        rng = np.random.default_rng(3)
        frames = [io_rs.XyzFrame(f"frame {k}", ["H", "O", "H"], rng.standard_normal((3, 3))) for k in range(10)]
        io_rs.write_xyz(tmp_path / name, frames)
        path, eager = tmp_path / name, np.stack([frame.positions for frame in io_rs.read_xyz(tmp_path / name)])
        opened = io_rs.open_xyz(path)
    else:
        path = tmp_path / name
        shutil.copy(DATA / name, path)
        eager, opened = io_rs.read_xdatcar(path).frames, io_rs.open_xdatcar(path)
    with opened:
        array = opened.to_dask(frames_per_chunk=chunk)
    assert array.shape == eager.shape and array.chunks[0][0] == min(chunk, len(eager))
    assert np.array_equal(client.compute(array).result(), eager)
    assert np.array_equal(client.compute(array[-1] * 2).result(), eager[-1] * 2)


def test_what_to_dask_refuses(tmp_path):
    (tmp_path / "mixed.xyz").write_text("1\na\nH 0 0 0\n2\nb\nH 0 0 0\nH 1 1 1\n")
    with io_rs.open_xyz(tmp_path / "mixed.xyz") as f, pytest.raises(ValueError, match="frames of one size"):
        f.to_dask()
    with open(DATA / "XDATCAR_variable", "rb") as stream, io_rs.open_xdatcar(stream) as f:
        with pytest.raises(ValueError, match="opened from its path"):
            f.to_dask()
