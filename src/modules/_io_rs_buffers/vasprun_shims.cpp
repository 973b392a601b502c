// The entry shim of the vasprun.xml scanner: bind, convert in parameter
// order (the buffer first, held for the whole call), scan without the
// interpreter lock, and turn the steps found into Python objects.
#include "functions.hpp"
#include "python/convert.hpp"
#include "python/exceptions.hpp"
#include "python/released.hpp"
#include "python/scan_results.hpp"
#include "python/vasprun_results.hpp"
#include "vasp/vasprun_scan.hpp"

namespace io_rs::buffers {

PyObject* scan_vasprun(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::contain([&]() -> PyObject* {
    PyObject* slots[9] = {};
    if (!py::extract_arguments_fastcall(kScanVasprun, args, nargs, kwnames, slots)) return nullptr;
    py::BufferHold buffer;
    if (!buffer.take(slots[0], "buffer")) return nullptr;
    std::uint64_t offset = 0;
    if (slots[1] != nullptr) {
      auto converted = py::convert_unsigned(slots[1], "offset");
      if (!converted) return nullptr;
      offset = *converted;
    }
    auto base = py::convert_base(slots[2], offset, "base");
    if (!base) return nullptr;
    vasp::VasprunOptions options;
    if (slots[3] != nullptr) {
      auto last = py::convert_flag(slots[3], "last");
      if (!last) return nullptr;
      options.last = *last;
    }
    auto state = py::convert_vasprun_state(slots[4], "state");
    if (!state) return nullptr;
    if (slots[5] != nullptr) {
      auto values = py::convert_flag(slots[5], "values");
      if (!values) return nullptr;
      options.values = *values;
    }
    if (slots[6] != nullptr) {
      auto steps = py::convert_unsigned(slots[6], "steps");
      if (!steps) return nullptr;
      if (*steps == 0 || *steps > vasp::select::kAll) {
        py::set_error(PyExc_ValueError, "argument 'steps': expected 1 (DFT), 2 (ML) or 3 (both)");
        return nullptr;
      }
      options.select = static_cast<unsigned>(*steps);
    }
    if (slots[7] != nullptr) {
      auto ranged = py::convert_flag(slots[7], "ranged");
      if (!ranged) return nullptr;
      options.ranged = *ranged;
    }
    if (slots[8] != nullptr) {
      auto threads = py::convert_unsigned(slots[8], "threads");
      if (!threads) return nullptr;
      if (*threads == 0 || *threads > 4096) {
        py::set_error(PyExc_ValueError, "argument 'threads': expected from 1 to 4096 threads");
        return nullptr;
      }
      options.threads = static_cast<std::size_t>(*threads);
    }

    auto scan = py::released([&] {
      return vasp::scan_vasprun(buffer.bytes(), offset, *base, state->state ? &*state->state : nullptr, options);
    });
    if (!scan) return py::raise(scan.error());
    return py::vasprun_scan_result(std::move(*scan), options.values).release();
  });
}

}  // namespace io_rs::buffers
