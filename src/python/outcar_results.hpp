// An OUTCAR scan's results as Python objects, and the carry that a caller
// hands back to the scan of the next piece.
#pragma once

#include <Python.h>

#include "python/py_ref.hpp"
#include "vasp/outcar.hpp"

namespace io_rs::py {

// (header, steps, cells, stresses, energies, positions, forces, lost, stop,
// carry), as scan_outcar_steps documents them. Takes the scan's buffers.
Ref outcar_scan_result(vasp::OutcarScan&& scan);

// The carry a scan returned (an opaque capsule), or None; null with
// TypeError set for anything else.
struct CarryArgument {
  bool given = false;
  const vasp::OutcarCarry* carry = nullptr;
};
std::optional<CarryArgument> convert_carry(PyObject* o, const char* parameter);

}  // namespace io_rs::py
