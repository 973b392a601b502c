"""Splitting file text into lines."""


def split_lines(text: str) -> list[str]:
    """Splits at LF, CR LF and CR only, as universal newlines do.

    str.splitlines() would also split at vertical tab, form feed and the
    Unicode line separators, which the atom-block routines treat as field
    characters or separators inside a line.
    """
    lines = text.replace("\r\n", "\n").replace("\r", "\n").split("\n")
    if lines[-1] == "":
        lines.pop()  # the LF that ends the last line opens no new one
    return lines
