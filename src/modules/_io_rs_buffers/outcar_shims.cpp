// The OUTCAR entry shims of _io_rs_buffers: one scan (in pieces, with or
// without the tables' atom lines) and the tables of chosen steps.
#include "functions.hpp"
#include "core/message.hpp"
#include "python/convert.hpp"
#include "python/exceptions.hpp"
#include "python/numpy_api.hpp"
#include "python/outcar_results.hpp"
#include "python/released.hpp"
#include "core/page_populate.hpp"
#include "python/results.hpp"
#include "python/scan_results.hpp"
#include "vasp/outcar.hpp"

namespace io_rs::buffers {

using py::Ref;

namespace {

std::optional<std::size_t> thread_count(PyObject* o) {
  if (o == nullptr) return 1;
  auto threads = py::convert_unsigned(o, "threads");
  if (!threads) return std::nullopt;
  if (*threads == 0 || *threads > 4096) {
    py::set_error(PyExc_ValueError, "argument 'threads': expected from 1 to 4096 threads");
    return std::nullopt;
  }
  return static_cast<std::size_t>(*threads);
}

std::optional<bool> flag_or(PyObject* o, const char* parameter, bool otherwise) {
  if (o == nullptr) return otherwise;
  return py::convert_flag(o, parameter);
}

}  // namespace

PyObject* scan_outcar_steps(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::contain([&]() -> PyObject* {
    PyObject* slots[7] = {};
    if (!py::extract_arguments_fastcall(kScanOutcarSteps, args, nargs, kwnames, slots)) return nullptr;
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
    auto last = flag_or(slots[3], "last", true);
    if (!last) return nullptr;
    auto carry = py::convert_carry(slots[4], "carry");
    if (!carry) return nullptr;
    auto tables = flag_or(slots[5], "tables", false);
    if (!tables) return nullptr;
    auto threads = thread_count(slots[6]);
    if (!threads) return nullptr;
    if (!py::numpy_ready()) return nullptr;

    auto scan = py::released([&] {
      // A mapped file read whole from its start: its pages mapped in first.
      if (buffer.mapped() && offset == 0 && *last) populate_pages(buffer.bytes().data(), buffer.bytes().size(), *threads);
      return vasp::scan_outcar(buffer.bytes(), offset, *base, *last, carry->carry, *tables, *threads);
    });
    if (!scan) return py::raise(scan.error());
    return py::outcar_scan_result(std::move(*scan)).release();
  });
}

PyObject* read_outcar_tables(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::contain([&]() -> PyObject* {
    PyObject* slots[4] = {};
    if (!py::extract_arguments_fastcall(kReadOutcarTables, args, nargs, kwnames, slots)) return nullptr;
    py::BufferHold buffer;
    if (!buffer.take(slots[0], "buffer")) return nullptr;
    auto steps = py::convert_matrix(slots[1], "steps", NPY_INT64);
    if (!steps) return nullptr;
    std::uint64_t start = 0;
    if (slots[2] != nullptr) {
      auto converted = py::convert_unsigned(slots[2], "start");
      if (!converted) return nullptr;
      start = *converted;
    }
    auto threads = thread_count(slots[3]);
    if (!threads) return nullptr;
    auto view = steps->view<std::int64_t>();
    if (!view) return nullptr;
    if (view->rows > 0 && view->cols < 8) {
      py::set_error(PyExc_ValueError, "read_outcar_tables: steps must have the 8 columns of a scan's steps");
      return nullptr;
    }
    std::vector<vasp::OutcarTableRef> tables(view->rows);
    std::uint64_t natoms = 0;
    for (std::size_t k = 0; k < view->rows; ++k) {
      const std::int64_t rows = view->at(k, 6), end = view->at(k, 5), line = view->at(k, 1);
      const std::int64_t count = view->at(k, 2);
      if (rows < 0 || end < 0 || line < 1 || count < 0 || (k > 0 && static_cast<std::uint64_t>(count) != natoms)) {
        py::set_error(PyExc_ValueError, "read_outcar_tables: steps must be rows of a scan's steps of one run");
        return nullptr;
      }
      natoms = static_cast<std::uint64_t>(count);
      tables[k] = {static_cast<std::uint64_t>(rows), static_cast<std::uint64_t>(end), static_cast<std::uint64_t>(line),
                   view->at(k, 4)};
    }
    auto read = py::released([&] {
      return vasp::read_outcar_tables(buffer.bytes(), start, tables, static_cast<std::size_t>(natoms), *threads);
    });
    if (!read) return py::raise(read.error());
    const std::size_t count = tables.size();
    Ref positions = py::from_owned_buffer(std::move(read->positions), {count, natoms, 3}, NPY_DOUBLE);
    if (!positions) return nullptr;
    Ref forces = py::from_owned_buffer(std::move(read->forces), {count, natoms, 3}, NPY_DOUBLE);
    if (!forces) return nullptr;
    Ref overflow = py::from_owned_buffer(std::move(read->overflow), {count}, NPY_UINT8);
    if (!overflow) return nullptr;
    return py::tuple_result({&positions, &forces, &overflow}).release();
  });
}

}  // namespace io_rs::buffers
