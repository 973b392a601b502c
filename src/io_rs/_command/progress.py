"""The progress bar on stderr: bytes of the input done, the rate and the time
left, and the frames written. Shown only on a terminal."""

from __future__ import annotations

import sys
from types import TracebackType

from tqdm import tqdm


class Progress:
    def __init__(self, name: str, total_bytes: int, frames: int | None, quiet: bool) -> None:
        self._frames = frames
        self._done = 0
        self._bar = tqdm(total=total_bytes, desc=name, unit="B", unit_scale=True, unit_divisor=1024,
                         file=sys.stderr, disable=quiet or not sys.stderr.isatty(), dynamic_ncols=True,
                         leave=True)

    def advance(self, bytes_done: int) -> None:
        """One more frame, with the input read up to bytes_done."""
        self._done += 1
        total = "" if self._frames is None else f"/{self._frames}"
        self._bar.set_postfix_str(f"{self._done}{total} frames", refresh=False)
        self._bar.update(max(0, bytes_done - self._bar.n))

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self._bar.close()
