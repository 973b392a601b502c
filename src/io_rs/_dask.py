"""Trajectories as Dask arrays, for analyses that run on a cluster: each
chunk of frames is read by the task that needs it, from the file's path,
through the frame table made when the file was opened. Nothing is read when
the array is made, and no worker holds more than its chunks.

Dask is an optional dependency (pip install io-rs[dask]); it is imported
only here, when an array is asked for.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import NDArray

if TYPE_CHECKING:
    import dask.array

# Reads the frames of some rows of a frame table from a file's path: the
# rows' frames as one array, frames x atoms x 3.
ChunkReader = Callable[[str, NDArray[np.int64], int], NDArray[np.float64]]


def frames_array(path: str | None, table: NDArray[np.int64], natoms: int | None, frames_per_chunk: int,
                 read_chunk: ChunkReader) -> dask.array.Array:
    """The frames of the table as a Dask array of shape (F, natoms, 3), in
    chunks of frames_per_chunk frames, each read by read_chunk(path, rows,
    first frame's index). natoms None: the table's own atom counts, which
    must all be one."""
    if natoms is None:
        counts = table[:, 2]
        if len(counts) and counts.min() != counts.max():
            raise ValueError(f"to_dask needs frames of one size; these hold from {counts.min()} to {counts.max()} atoms")
        natoms = int(counts[0]) if len(counts) else 0
    if path is None:
        raise ValueError("to_dask needs a file opened from its path: the tasks that read the chunks open it themselves")
    if frames_per_chunk < 1:
        raise ValueError(f"frames_per_chunk must be at least 1, not {frames_per_chunk}")
    try:
        import dask.array as da
        from dask.delayed import delayed
    except ImportError:
        raise ImportError("to_dask needs Dask: pip install 'io-rs[dask]'") from None
    chunks = []
    for first in range(0, len(table), frames_per_chunk):
        rows = np.ascontiguousarray(table[first:first + frames_per_chunk])
        task = delayed(read_chunk, pure=True)(path, rows, first)
        chunks.append(da.from_delayed(task, shape=(len(rows), natoms, 3), dtype=np.float64))  # type: ignore[no-untyped-call]
    if not chunks:
        empty: dask.array.Array = da.zeros((0, natoms, 3), dtype=np.float64)
        return empty
    array: dask.array.Array = da.concatenate(chunks, axis=0)  # type: ignore[no-untyped-call]
    return array
