"""The module object: its functions, their signatures and docstrings, and
how it behaves across imports and interpreters."""

import inspect
import sys
import textwrap

import numpy as np
import pytest

import _io_rs

NAMES = [
    "parse_poscar_positions_rs",
    "format_poscar_positions_rs",
    "parse_xdatcar_coords_rs",
    "format_xdatcar_config_rs",
    "parse_xyz_block_rs",
    "format_xyz_block_rs",
]

SIGNATURES = {
    "parse_poscar_positions_rs": "(lines, selective)",
    "format_poscar_positions_rs": "(coord, flags=None)",
    "parse_xdatcar_coords_rs": "(lines)",
    "format_xdatcar_config_rs": "(scaled_positions, index)",
    "parse_xyz_block_rs": "(lines)",
    "format_xyz_block_rs": "(symbols, positions)",
}

# Summary, parameter and return lines, exactly.
DOC_PARTS = {
    "parse_poscar_positions_rs": (
        "Parse the N-atom position block from a POSCAR/CONTCAR file.",
        ["lines : list[str]", "    The N atom lines already read from the file descriptor.",
         "selective : bool", "    Whether selective-dynamics flags (T/F) are present."],
        ["(positions: ndarray float64 [N,3],", " flags:     ndarray bool    [N,3]  or  None)"],
    ),
    "format_poscar_positions_rs": (
        "Format the N-atom position block for a POSCAR/CONTCAR file.",
        ["coord : ndarray float64 [N,3]", "    Atom positions (cartesian or scaled \u2014 caller decides).",
         "flags : ndarray bool [N,3] or None", "    Selective-dynamics mask (True = frozen = 'F' in file)."],
        ["str  \u2014 the complete block ready for fd.write()"],
    ),
    "parse_xdatcar_coords_rs": (
        "Parse the coordinate block for one XDATCAR frame.",
        ["lines : list[str]", "    The N coordinate lines for this frame (already read)."],
        ["ndarray float64 [N,3] \u2014 fractional coordinates"],
    ),
    "format_xdatcar_config_rs": (
        "Format one complete XDATCAR configuration block.",
        ["scaled_positions : ndarray float64 [N,3]",
         "index : int \u2014 1-based frame index written to the header line"],
        ["str  \u2014 full block including header, ready for fd.write()"],
    ),
    "parse_xyz_block_rs": (
        "Parse N atom lines from a simple XYZ file.",
        ["lines : list[str]", "    The N atom lines (already extracted from the full file)."],
        ["(symbols: list[str], positions: ndarray float64 [N,3])"],
    ),
    "format_xyz_block_rs": (
        "Format N atoms as simple XYZ atom lines.",
        ["symbols   : list[str]  \u2014 chemical symbols (length N)", "positions : ndarray float64 [N,3]"],
        ["str  \u2014 the block (without the natoms / comment header lines)"],
    ),
}


def test_module_and_its_functions():
    assert _io_rs.__all__ == NAMES
    assert _io_rs.__doc__ == ""
    assert {n for n in dir(_io_rs) if not n.startswith("__")} == set(NAMES)
    for name in NAMES:
        f = getattr(_io_rs, name)
        assert (f.__name__, f.__module__, f.__self__) == (name, "_io_rs", _io_rs)
        assert f.__text_signature__ == str(inspect.signature(f)) == SIGNATURES[name]
    assert inspect.signature(_io_rs.format_poscar_positions_rs).parameters["flags"].default is None


@pytest.mark.parametrize("name", NAMES)
def test_docstring_layout(name):
    doc = getattr(_io_rs, name).__doc__
    summary, parameters, returns = DOC_PARTS[name]
    lines = doc.split("\n")
    assert not doc.endswith("\n")
    assert lines[0] == summary and lines[1] == ""
    # An equivalent-loop section: heading, fenced code, blank line.
    assert lines[3].startswith("```") and "```" in lines[4:]
    p = lines.index("Parameters")
    assert lines[p - 1] == "" and lines[p + 1] == "-" * 10
    r = lines.index("Returns")
    assert lines[p + 2:r - 1] == parameters and lines[r - 1] == ""
    assert lines[r + 1] == "-" * 7 and lines[r + 2:] == returns


def test_reimport_gives_the_same_module():
    first = sys.modules.pop("_io_rs")
    try:
        import _io_rs as again
        assert again is first
    finally:
        sys.modules["_io_rs"] = first


# A legacy sub-interpreter (shared interpreter lock, single-phase modules
# allowed): 3.13 makes it with _interpreters, 3.12 with _xxsubinterpreters.
if sys.version_info >= (3, 13):
    NEW_INTERPRETER = "import _interpreters as interp; iid = interp.create('legacy'); run = interp.exec"
else:
    NEW_INTERPRETER = ("import _xxsubinterpreters as interp; iid = interp.create(isolated=False); "
                       "run = interp.run_string")


def test_sub_interpreter_import_fails(run_python):
    code = NEW_INTERPRETER + textwrap.dedent("""
        import _io_rs
        try:
            run(iid, "try:\\n    import _io_rs\\nexcept BaseException as e:\\n    print(type(e).__name__, flush=True)\\nelse:\\n    print('imported', flush=True)")
        finally:
            interp.destroy(iid)
        print(_io_rs.parse_xdatcar_coords_rs(['1 2 3']).tolist())
    """)
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:2] == ["ImportError", "[[1.0, 2.0, 3.0]]"]


def test_internal_error_then_next_call_works():
    with pytest.raises(BaseException) as caught:
        _io_rs.format_xdatcar_config_rs(np.zeros((2, 2)), 1)
    error = caught.value
    assert not isinstance(error, Exception)
    assert type(error).__bases__ == (BaseException,)
    assert error.args == ("ndarray: index out of bounds",)
    assert _io_rs.format_xdatcar_config_rs(np.zeros((0, 2)), 1) == "Direct configuration=     1\n"


def test_numpy_is_imported_lazily(run_python, tmp_path):
    # A numpy package that fails to import stands in for a missing NumPy.
    (tmp_path / "numpy").mkdir()
    (tmp_path / "numpy" / "__init__.py").write_text("raise ImportError('no numpy here')\n")
    code = textwrap.dedent("""
        import sys, _io_rs
        assert 'numpy' not in sys.modules
        print(_io_rs.parse_xdatcar_coords_rs(['1 x']) if False else 'imported')
        try:
            _io_rs.parse_xdatcar_coords_rs(['1 2 3'])
        except BaseException as e:
            print(type(e).__name__, isinstance(e, Exception))
            print(e.args[0])
        try:
            _io_rs.parse_xdatcar_coords_rs(['x'])
        except ValueError as e:
            print(e)
    """)
    result = run_python(code, env={"PYTHONPATH": str(tmp_path)})
    assert result.returncode == 0, result.stderr
    out = result.stdout.split("\n")
    assert out[0] == "imported"
    assert out[1] == "InternalError False"
    assert out[2].startswith("Failed to access NumPy array API capsule")
    assert out[3] == "XDATCAR: cannot parse 'x' on line 0: invalid float literal"
