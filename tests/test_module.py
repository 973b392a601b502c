"""The module object: its functions and their docstrings, and how it
behaves across imports and interpreters (signatures: test_binding.py)."""

import hashlib
import sys
import textwrap


import _io_rs

# Each function's name (in the order of __all__), the first line of its
# docstring, and a digest of the whole docstring, which changes with any edit.
DOCS = {
    "parse_poscar_positions_rs": ("Parse the N-atom position block from a POSCAR/CONTCAR file.",
                                  "cab04c80150f32d3"),
    "format_poscar_positions_rs": ("Format the N-atom position block for a POSCAR/CONTCAR file.",
                                   "8083658e526b53a4"),
    "parse_xdatcar_coords_rs": ("Parse the coordinate block for one XDATCAR frame.", "71fc8c25ee35c7b4"),
    "format_xdatcar_config_rs": ("Format one complete XDATCAR configuration block.", "3737c992468a5a61"),
    "parse_xyz_block_rs": ("Parse N atom lines from a simple XYZ file.", "ac2f43e007cdf773"),
    "format_xyz_block_rs": ("Format N atoms as simple XYZ atom lines.", "290cc9ccfe3f61c7"),
}


def test_module_and_its_functions():
    assert _io_rs.__all__ == list(DOCS)
    assert _io_rs.__doc__ == ""
    assert {n for n in dir(_io_rs) if not n.startswith("__")} == set(DOCS)
    for name, (summary, digest) in DOCS.items():
        f = getattr(_io_rs, name)
        assert (f.__name__, f.__module__, f.__self__) == (name, "_io_rs", _io_rs)
        assert f.__doc__.split("\n")[0] == summary
        assert hashlib.sha256(f.__doc__.encode()).hexdigest()[:16] == digest, f"{name}: docstring changed"


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
