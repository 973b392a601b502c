#!/usr/bin/env python3
"""Counts the project's own lines the way its test budget does: non-blank
lines of the tracked .py, .pyi, .cpp, .hpp and .h files, third_party/ left
out. Tests are the files under tests/ and the fuzz harnesses (fuzz/, code
that exists only to test); everything else is code. The budget: tests are
a quarter to a third of code.

    tools/count_lines.py            tests, code and their ratio
    tools/count_lines.py --files    the count of every file as well
"""

import argparse
import subprocess
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
SUFFIXES = {".py", ".pyi", ".cpp", ".hpp", ".h"}
LEFT_OUT = ("third_party/",)
TEST_PARTS = ("tests/", "fuzz/")
BUDGET = (0.25, 1 / 3)


def tracked_files() -> list[str]:
    out = subprocess.run(["git", "ls-files", "-z"], cwd=REPO, check=True, capture_output=True).stdout
    return [name for name in out.decode().split("\0")
            if Path(name).suffix in SUFFIXES and not name.startswith(LEFT_OUT)]


def non_blank_lines(name: str) -> int:
    path = REPO / name
    if not path.is_file():  # tracked but deleted in the work tree
        return 0
    return sum(1 for line in path.read_text(encoding="utf-8", errors="replace").splitlines() if line.strip())


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", action="store_true", help="print the count of every file too")
    args = parser.parse_args(argv)
    totals = {"tests": 0, "code": 0}
    for name in tracked_files():
        kind = "tests" if name.startswith(TEST_PARTS) else "code"
        lines = non_blank_lines(name)
        totals[kind] += lines
        if args.files:
            print(f"{lines:7d}  {kind:5}  {name}")
    ratio = totals["tests"] / totals["code"] if totals["code"] else float("nan")
    low, high = BUDGET
    verdict = "within" if low <= ratio <= high else "outside"
    print(f"tests {totals['tests']}  code {totals['code']}  ratio {ratio:.1%} "
          f"({verdict} the budget of {low:.0%} to {high:.0%})")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
