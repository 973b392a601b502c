// A vasprun.xml scan as Python objects, and the state that a caller hands
// back to the scan of the next piece.
#pragma once

#include <Python.h>

#include <optional>

#include "python/py_ref.hpp"
#include "vasp/vasprun_scan.hpp"

namespace io_rs::py {

// (symbols, state, table, cells, stress, energies, parts, positions, forces,
// stop, damage): see scan_vasprun's docstring. values says whether the scan
// read positions and forces (else both are None).
Ref vasprun_scan_result(vasp::VasprunScan&& scan, bool values);

// None (the buffer starts at the file's first byte), or a state as a scan
// returned it: (natoms, latin1, ended, step_atoms). False with the error set.
struct VasprunStateArgument {
  std::optional<vasp::VasprunState> state;
};
std::optional<VasprunStateArgument> convert_vasprun_state(PyObject* o, const char* parameter);

}  // namespace io_rs::py
