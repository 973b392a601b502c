"""What the command says on stderr besides errors: each note once."""

from __future__ import annotations

import sys


class Notes:
    """Notes about what a conversion changes or leaves out, each said once."""

    def __init__(self) -> None:
        self._said: set[str] = set()

    def say(self, message: str) -> None:
        if message not in self._said:
            self._said.add(message)
            print(f"io-rs: note: {message}", file=sys.stderr)
