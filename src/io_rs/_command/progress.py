"""The progress bar on stderr: bytes of the inputs done, the rate and the
time left, and the frames written. Shown only on a terminal."""

from __future__ import annotations

import sys
from types import TracebackType

from tqdm import tqdm


class Progress:
    """One bar over every input of a command, an input at a time."""

    def __init__(self, label: str, total_bytes: int, quiet: bool) -> None:
        self._done = 0
        # The frames the inputs so far give, while each has said how many.
        self._expected: int | None = 0
        self._counted = False
        self._base = 0  # the bytes of the inputs before this one
        self._size = 0
        self._bar = tqdm(total=total_bytes, desc=label, unit="B", unit_scale=True, unit_divisor=1024,
                         file=sys.stderr, disable=quiet or not sys.stderr.isatty(), dynamic_ncols=True,
                         leave=True)

    def start(self, size: int) -> None:
        """The next input, of `size` bytes."""
        self._base += self._size
        self._size = size
        self._counted = False
        self._to(self._base)

    def frames_done(self, done: int, total: int) -> None:
        """One more frame, `done` of the `total` this input gives: a plain
        file's frames are read through its frame table, about as fast each."""
        if not self._counted and self._expected is not None:
            self._expected += total
            self._counted = True
        self._frame(self._base + self._size * done // max(total, 1))

    def bytes_done(self, read: int) -> None:
        """One more frame, with this input read up to byte `read` (of a
        compressed file, its compressed bytes)."""
        self._expected = None
        self._frame(self._base + min(read, self._size))

    def _frame(self, at: int) -> None:
        self._done += 1
        total = "" if self._expected is None else f"/{self._expected}"
        self._bar.set_postfix_str(f"{self._done}{total} frames", refresh=False)
        self._to(at)

    def _to(self, at: int) -> None:
        self._bar.update(max(0, at - self._bar.n))

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self._bar.close()
