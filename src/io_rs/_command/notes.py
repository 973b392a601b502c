"""What the command says on stderr besides errors: each note once, and the
refusals that end a command with one line."""

from __future__ import annotations

import sys


class Refusal(Exception):
    """A frame the target format cannot hold, or options that do not fit: the
    message says which and why."""


class Notes:
    """Notes about what a conversion changes or leaves out, each said once."""

    def __init__(self, quiet: bool = False) -> None:
        self._said: set[str] = set()
        self._quiet = quiet

    def say(self, message: str) -> None:
        if message not in self._said:
            self._said.add(message)
            print(f"io-rs: note: {message}", file=sys.stderr)

    def warn(self, message: str) -> None:
        """A warning a reader raised (a run cut short, a damaged value): always said."""
        if message not in self._said:
            self._said.add(message)
            print(f"io-rs: warning: {message}", file=sys.stderr)
