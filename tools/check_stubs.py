#!/usr/bin/env python3
"""Lint of the type stubs and the typed package (make lint): the stubs are
installed where type checkers look for them, stubtest finds them consistent
with the modules at run time, and mypy --strict accepts correct callers (and
the examples and the io_rs package) and rejects wrong calls, each with the
error it should draw.

Run with the interpreter of the environment the module is installed into:

    .venv/bin/python tools/check_stubs.py
"""

import os
import re
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import _io_rs
import io_rs

ROOT = Path(__file__).resolve().parents[1]
STUB_PACKAGES = ["_io_rs-stubs", "_io_rs_buffers-stubs"]

# A caller whose every call must keep exactly the types the stubs promise.
TYPED_CALLER = """
    from typing import assert_type

    import numpy as np
    from numpy.typing import NDArray

    import _io_rs
    import _io_rs_buffers

    Positions = NDArray[np.float64]
    Flags = NDArray[np.bool_]


    def check(lines: list[str], coord: Positions, flags: Flags, selective: bool) -> None:
        assert_type(_io_rs.parse_poscar_positions_rs(lines, True), tuple[Positions, Flags])
        assert_type(_io_rs.parse_poscar_positions_rs(lines, False), tuple[Positions, None])
        assert_type(_io_rs.parse_poscar_positions_rs(lines=tuple(lines), selective=selective),
                    tuple[Positions, Flags | None])
        assert_type(_io_rs.parse_poscar_positions_rs(lines, np.True_), tuple[Positions, Flags | None])
        assert_type(_io_rs.format_poscar_positions_rs(coord), str)
        assert_type(_io_rs.format_poscar_positions_rs(coord, flags=flags), str)
        assert_type(_io_rs.format_poscar_positions_rs(coord=coord, flags=None), str)
        assert_type(_io_rs.parse_xdatcar_coords_rs(lines), Positions)
        assert_type(_io_rs.format_xdatcar_config_rs(coord, 7), str)
        assert_type(_io_rs.format_xdatcar_config_rs(scaled_positions=coord, index=np.int64(7)), str)
        assert_type(_io_rs.parse_xyz_block_rs(lines), tuple[list[str], Positions])
        assert_type(_io_rs.format_xyz_block_rs(symbols=lines, positions=coord), str)


    def check_buffers(data: bytes, view: memoryview, coord: Positions) -> None:
        assert_type(_io_rs_buffers.read_poscar_block(data, 0, 3, True), tuple[Positions, Flags, int])
        assert_type(_io_rs_buffers.read_poscar_block(view, 0, 3, False), tuple[Positions, None, int])
        assert_type(_io_rs_buffers.read_xdatcar_frames(data, 0, 3, max_frames=None),
                    tuple[Positions, NDArray[np.int64], int])
        assert_type(_io_rs_buffers.index_xyz_frames(bytearray(data)), NDArray[np.int64])
        assert_type(_io_rs_buffers.read_xyz_frames(data),
                    tuple[list[str], list[str], Positions, NDArray[np.int64], int])
        assert_type(_io_rs_buffers.format_xdatcar_frames(coord[None], first_number=3), bytes)
        assert_type(_io_rs_buffers.format_xyz_frames(["c"], ["H"], coord, np.array([1])), bytes)
"""

# Each line marked "# E: code" must draw that mypy error, and no other line any.
WRONG_CALLS = """
    import numpy as np

    import _io_rs
    import _io_rs_buffers

    lines = ["0 0 0"]
    coord = np.zeros((1, 3))
    ints = np.zeros((1, 3), dtype=np.int64)

    _io_rs.parse_poscar_positions_rs(lines)  # E: call-overload
    _io_rs_buffers.read_xyz_frames("text")  # E: arg-type
    _io_rs.parse_xdatcar_coords_rs([1.0])  # E: list-item
    _io_rs.parse_xdatcar_coords_rs(line=lines)  # E: call-arg
    _io_rs.format_poscar_positions_rs(ints)  # E: arg-type
    _io_rs.format_poscar_positions_rs(coord, coord)  # E: arg-type
    _io_rs.format_poscar_positions_rs(coord, flag=None)  # E: call-arg
    _io_rs.format_xdatcar_config_rs(coord, 1.5)  # E: arg-type
    _io_rs.format_xyz_block_rs(["H"], [[0.0, 0.0, 0.0]])  # E: arg-type
    symbols, positions = _io_rs.parse_xyz_block_rs(lines)
    symbols.upper()  # E: attr-defined
    _, no_flags = _io_rs.parse_poscar_positions_rs(lines, False)
    no_flags.any()  # E: attr-defined
    _, some_flags = _io_rs.parse_poscar_positions_rs(lines, len(lines) > 1)
    some_flags.any()  # E: union-attr
    text: bytes = _io_rs.format_xyz_block_rs(symbols, positions)  # E: assignment
"""

MYPY_ERROR = re.compile(r"^(?P<file>[^:]+):(?P<line>\d+): error: .*\[(?P<code>[a-z-]+)\]$")


def run_tool(workdir: Path, module: str, *args: str) -> subprocess.CompletedProcess[str]:
    """`python -m <module> <args>` in an empty directory with mypy's settings
    cleared from the environment, so the stubs can only be found where the
    module is installed."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("MYPY")}
    return subprocess.run([sys.executable, "-m", module, *args], cwd=workdir, env=env,
                          capture_output=True, text=True, timeout=600)


def installed_stubs() -> list[str]:
    problems = []
    for package in STUB_PACKAGES:
        installed = Path(_io_rs.__file__).parent / package / "__init__.pyi"
        source = ROOT / "stubs" / package / "__init__.pyi"
        if not installed.is_file():
            problems.append(f"no {package} next to {_io_rs.__file__}")
        elif source.is_file() and installed.read_text() != source.read_text():
            problems.append(f"{installed} is out of date: reinstall the module (make build)")
    if not (Path(io_rs.__file__).parent / "py.typed").is_file():
        problems.append(f"{io_rs.__file__}: no py.typed beside it")
    return problems


def stubtest(workdir: Path) -> list[str]:
    result = run_tool(workdir, "mypy.stubtest", "_io_rs", "_io_rs_buffers")
    ok = result.returncode == 0 and "Success" in result.stdout
    return [] if ok else ["stubtest:\n" + result.stdout + result.stderr]


def typed_callers(workdir: Path) -> list[str]:
    caller = workdir / "typed_caller.py"
    caller.write_text(textwrap.dedent(TYPED_CALLER))
    examples = sorted(str(path) for path in (ROOT / "examples").glob("*.py"))
    if not examples:
        return [f"no examples in {ROOT / 'examples'}"]
    # The io_rs package: its sources in a checkout; otherwise the installed
    # copy, by name in a run of its own (mypy takes names or paths, not both).
    source = ROOT / "src" / "io_rs"
    runs = [[str(caller), *examples, str(source)]] if source.is_dir() else [[str(caller), *examples], ["-p", "io_rs"]]
    problems = []
    for checked in runs:
        result = run_tool(workdir, "mypy", "--strict", *checked)
        if result.returncode != 0:
            problems.append("mypy --strict on correct callers:\n" + result.stdout + result.stderr)
    return problems


def wrong_calls(workdir: Path) -> list[str]:
    source = textwrap.dedent(WRONG_CALLS)
    expected = {(number, marker.group(1))
                for number, line in enumerate(source.splitlines(), start=1)
                if (marker := re.search(r"# E: ([a-z-]+)$", line))}
    path = workdir / "wrong_calls.py"
    path.write_text(source)
    result = run_tool(workdir, "mypy", "--strict", "--no-error-summary", str(path))
    found = {(int(m["line"]), m["code"]) for m in map(MYPY_ERROR.match, result.stdout.splitlines()) if m}
    if result.returncode == 1 and found == expected:
        return []
    return [f"mypy --strict on wrong calls: expected (line, code) {sorted(expected)}, "
            f"found {sorted(found)}:\n" + result.stdout + result.stderr]


def main() -> int:
    problems = installed_stubs()
    with tempfile.TemporaryDirectory(prefix="check-stubs-") as tmp:
        for check in (stubtest, typed_callers, wrong_calls):
            problems += check(Path(tmp))
    for problem in problems:
        print(problem, file=sys.stderr)
    print(f"check_stubs: {'FAILED' if problems else 'stubs and typed callers are consistent'}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
