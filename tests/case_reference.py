"""What symbol normalisation must give, on any interpreter.

The module's case tables follow one version of the Unicode Character
Database, UNICODE (src/xyz/case_tables.inc, written by
tools/gen_case_tables.py). Where the running interpreter carries the same
data, its own str.lower and str.upper are the reference for every code point.
Elsewhere they are the reference for every code point whose case data is the
same in both versions, and the rest is held to what UNICODE says of it,
written down below: the case pairs and case-ignorable characters that Unicode
16.0 and 17.0 assigned, and the older characters whose case data they changed.

The lists were found by comparing, code point by code point, the lowercase and
uppercase mappings and the two Final_Sigma classes of CPython 3.12 (Unicode
15.0), 3.13 (15.1), 3.14 (16.0) and 3.15 (17.0). 15.1 changed no case data of
a 15.0 character. An interpreter newer than UNICODE fails the comparison on
what its version added: the tables are then to be regenerated.
"""

import unicodedata

UNICODE = "17.0.0"
SAME_DATA = unicodedata.unidata_version == UNICODE

SIGMA, SMALL_SIGMA, FINAL_SIGMA = "\u03a3", "\u03c3", "\u03c2"

# (first capital, first small letter, count): the case pairs added by 16.0
# (Latin, Cyrillic, Garay) and 17.0 (Latin, Beria Erfe).
NEW_PAIRS = [(0x1C89, 0x1C8A, 1), (0xA7CB, 0x0264, 1), (0xA7CC, 0xA7CD, 1), (0xA7DA, 0xA7DB, 1),
             (0xA7DC, 0x019B, 1), (0x10D50, 0x10D70, 22),
             (0xA7CE, 0xA7CF, 1), (0xA7D2, 0xA7D3, 1), (0xA7D4, 0xA7D5, 1), (0x16EA0, 0x16EBB, 25)]
# The case-ignorable characters (marks and modifier letters) added by 16.0, then by 17.0.
NEW_IGNORABLE = """
0897 10D4E 10D69-10D6D 10D6F 10EFC 113BB-113C0 113CE 113D0 113D2 113E1-113E2 11F5A 1611E-16129 1612D-1612F
16D40-16D42 16D6B-16D6C 1E5EE-1E5EF
1ACF-1ADD 1AE0-1AEB A7F1 10EC5 10EFA-10EFB 11B60 11B62-11B64 11B66 11DD9 16FF2-16FF3 1E6E3 1E6E6 1E6EE-1E6EF
1E6F5 1E6FF
"""
# Older characters whose case data changed, each with a field that shows it.
CHANGED = {
    "\u019b": ("\u019b", "\ua7dc"),        # gained the capital U+A7DC (16.0)
    "\u0264": ("\u0264", "\ua7cb"),        # gained the capital U+A7CB (16.0)
    "\ua7d3": ("\ua7d3", "\ua7d2"),        # gained the capital U+A7D2 (17.0)
    "\ua7d5": ("\ua7d5", "\ua7d4"),        # gained the capital U+A7D4 (17.0)
    "\u0295": ("\u0295" + SIGMA, "\u0295" + SMALL_SIGMA),  # Lo, no longer cased (17.0)
    "\U0001171e": ("A\U0001171e" + SIGMA, "A\U0001171e" + SMALL_SIGMA),  # Mc, no longer case-ignorable (17.0)
}


def _ignorable():
    for item in NEW_IGNORABLE.split():
        first, _, last = item.partition("-")
        yield from map(chr, range(int(first, 16), int(last or first, 16) + 1))


def expectations():
    """(field, its normal form by UNICODE) for everything the lists name."""
    for capital, small, count in NEW_PAIRS:
        for k in range(count):
            upper, lower = chr(capital + k), chr(small + k)
            yield lower, upper
            yield upper + upper + SIGMA, upper + lower + FINAL_SIGMA  # cased: the sigma ends a word
    for c in _ignorable():
        yield "A" + c + SIGMA, "A" + c + FINAL_SIGMA  # skipped on the way to the cased A
    yield from CHANGED.values()


NEW_CASE_DATA = frozenset(_ignorable()) | frozenset(
    chr(first + k) for capital, small, count in NEW_PAIRS for first in (capital, small) for k in range(count))


def comparable(c):
    """Whether the interpreter's str methods are the reference for c."""
    return SAME_DATA or (c not in NEW_CASE_DATA and c not in CHANGED)


def reference(field):
    lowered = field.lower()
    return lowered[:1].upper() + lowered[1:]
