"""The type stubs shipped with the module: installed where type checkers look
for them, consistent with the module at run time, and precise enough that
mypy accepts correct callers and rejects wrong calls."""

import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import _io_rs

ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"
PACKAGE_SOURCE = ROOT / "src" / "io_rs"
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


@pytest.fixture(scope="module")
def run_tool(tmp_path_factory):
    """Runs `python -m <module> <args>` in an empty directory with mypy's
    settings cleared from the environment, so the stubs can only be found
    where the module is installed."""
    workdir = tmp_path_factory.mktemp("typecheck")
    env = {k: v for k, v in os.environ.items() if not k.startswith("MYPY")}

    def run(module, *args):
        return subprocess.run([sys.executable, "-m", module, *args], cwd=workdir, env=env,
                              capture_output=True, text=True, timeout=600)

    run.workdir = workdir
    return run


@pytest.mark.parametrize("package", STUB_PACKAGES)
def test_stubs_are_installed_beside_the_module(package):
    installed = Path(_io_rs.__file__).parent / package / "__init__.pyi"
    source = ROOT / "stubs" / package / "__init__.pyi"
    assert installed.is_file(), f"no {package} next to {_io_rs.__file__}"
    if source.is_file():  # absent when the tests run from a copy, as in wheel builds
        assert installed.read_text() == source.read_text(), \
            "the installed stubs are out of date: reinstall the module (make build)"


def test_stubtest_finds_no_inconsistency(run_tool):
    result = run_tool("mypy.stubtest", "_io_rs", "_io_rs_buffers")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success" in result.stdout


def test_typed_callers_pass_strict_mypy(run_tool):
    caller = run_tool.workdir / "typed_caller.py"
    caller.write_text(textwrap.dedent(TYPED_CALLER))
    examples = sorted(str(path) for path in EXAMPLES.glob("*.py"))
    assert examples, f"no examples in {EXAMPLES}"
    # The io_rs package: its sources in a checkout; otherwise the installed copy,
    # by name in a run of its own (mypy would take a path into site-packages
    # for a root, and takes names or paths, not both).
    import io_rs

    assert (Path(io_rs.__file__).parent / "py.typed").is_file(), f"{io_rs.__file__}: no py.typed beside it"
    source = [str(PACKAGE_SOURCE)] if PACKAGE_SOURCE.is_dir() else []
    runs = [[str(caller), *examples, *source]] + ([] if source else [["-p", "io_rs"]])
    for checked in runs:
        result = run_tool("mypy", "--strict", *checked)
        assert result.returncode == 0, result.stdout + result.stderr


def test_wrong_calls_are_rejected(run_tool):
    source = textwrap.dedent(WRONG_CALLS)
    expected = {(number, marker.group(1))
                for number, line in enumerate(source.splitlines(), start=1)
                if (marker := re.search(r"# E: ([a-z-]+)$", line))}
    path = run_tool.workdir / "wrong_calls.py"
    path.write_text(source)
    result = run_tool("mypy", "--strict", "--no-error-summary", str(path))
    found = {(int(m["line"]), m["code"])
             for m in map(MYPY_ERROR.match, result.stdout.splitlines()) if m}
    assert result.returncode == 1, result.stdout + result.stderr
    assert found == expected, result.stdout
