// The entry shims: bind the arguments, convert them in parameter order, run
// the routine on plain data, and turn its result or error into Python. The
// first failure ends the call; every hold and reference is given back by the
// handles that own it, on every path.
#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/exceptions.hpp"
#include "python/numpy_api.hpp"
#include "python/results.hpp"
#include "functions.hpp"
#include "vasp/vasp.hpp"
#include "xyz/xyz.hpp"

namespace io_rs::module {

using py::Hold;
using py::Ref;

PyObject* parse_poscar_positions(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::contain([&]() -> PyObject* {
    PyObject* slots[2] = {};
    if (!py::extract_arguments_fastcall(kParsePoscarPositions, args, nargs, kwnames, slots)) return nullptr;
    // Converting `selective` runs no Python code when it is True or False;
    // anything else might (a boolean type's own __bool__), and then the lines
    // hold references of their own.
    const bool plain_flag = slots[1] == Py_True || slots[1] == Py_False;
    auto lines = py::convert_lines(slots[0], "lines", plain_flag ? Hold::Borrowed : Hold::Owned);
    if (!lines) return nullptr;
    auto selective = py::convert_flag(slots[1], "selective");
    if (!selective) return nullptr;

    auto block = vasp::parse_poscar_positions(lines->list(), *selective);
    if (!block) return py::raise(block.error());
    Ref positions = py::from_owned_array(std::move(block->positions));
    if (!positions) return nullptr;
    Ref flags = block->flags ? py::from_owned_array(std::move(*block->flags)) : Ref::borrow(Py_None);
    if (!flags) return nullptr;
    return py::pair_result(std::move(positions), std::move(flags)).release();
  });
}

PyObject* format_poscar_positions(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::contain([&]() -> PyObject* {
    PyObject* slots[2] = {};
    if (!py::extract_arguments_fastcall(kFormatPoscarPositions, args, nargs, kwnames, slots)) return nullptr;
    auto coord = py::convert_matrix(slots[0], "coord", NPY_DOUBLE);
    if (!coord) return nullptr;
    std::optional<py::ArrayHold> flags;
    if (slots[1] != nullptr && slots[1] != Py_None) {
      flags = py::convert_matrix(slots[1], "flags", NPY_BOOL);
      if (!flags) return nullptr;
    }

    auto coord_view = coord->view<double>();
    if (!coord_view) return nullptr;
    std::optional<BoolMatrixView> flag_view;
    if (flags) {
      flag_view = flags->view<std::uint8_t>();
      if (!flag_view) return nullptr;
    }
    auto text = vasp::format_poscar_positions(*coord_view, flag_view);
    if (!text) return py::raise(text.error());
    return py::text_result(*text, /*ascii=*/true).release();
  });
}

PyObject* parse_xdatcar_coords(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::contain([&]() -> PyObject* {
    PyObject* slots[1] = {};
    if (!py::extract_arguments_fastcall(kParseXdatcarCoords, args, nargs, kwnames, slots)) return nullptr;
    // Nothing else is converted, so no Python code runs before the routine is done.
    auto lines = py::convert_lines(slots[0], "lines", Hold::Borrowed);
    if (!lines) return nullptr;

    auto positions = vasp::parse_xdatcar_coords(lines->list());
    if (!positions) return py::raise(positions.error());
    return py::from_owned_array(std::move(*positions)).release();
  });
}

PyObject* format_xdatcar_config(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::contain([&]() -> PyObject* {
    PyObject* slots[2] = {};
    if (!py::extract_arguments_fastcall(kFormatXdatcarConfig, args, nargs, kwnames, slots)) return nullptr;
    auto positions = py::convert_matrix(slots[0], "scaled_positions", NPY_DOUBLE);
    if (!positions) return nullptr;
    auto index = py::convert_unsigned(slots[1], "index");
    if (!index) return nullptr;

    auto view = positions->view<double>();
    if (!view) return nullptr;
    auto text = vasp::format_xdatcar_config(*view, *index);
    if (!text) return py::raise(text.error());
    return py::text_result(*text, /*ascii=*/true).release();
  });
}

PyObject* parse_xyz_block(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::contain([&]() -> PyObject* {
    PyObject* slots[1] = {};
    if (!py::extract_arguments_fastcall(kParseXyzBlock, args, nargs, kwnames, slots)) return nullptr;
    // Nothing else is converted, so no Python code runs before the routine is done.
    auto lines = py::convert_lines(slots[0], "lines", Hold::Borrowed);
    if (!lines) return nullptr;

    auto block = xyz::parse_xyz_block(lines->list());
    if (!block) return py::raise(block.error());
    Ref positions = py::from_owned_array(std::move(block->positions));
    if (!positions) return nullptr;
    Ref symbols = py::text_list_result(block->symbols);
    if (!symbols) return nullptr;
    return py::pair_result(std::move(symbols), std::move(positions)).release();
  });
}

PyObject* format_xyz_block(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::contain([&]() -> PyObject* {
    PyObject* slots[2] = {};
    if (!py::extract_arguments_fastcall(kFormatXyzBlock, args, nargs, kwnames, slots)) return nullptr;
    const bool numpy_was_loaded = py::numpy_loaded();
    auto symbols = py::convert_lines(slots[0], "symbols", Hold::Borrowed);
    if (!symbols) return nullptr;
    auto positions = py::convert_matrix(slots[1], "positions", NPY_DOUBLE);
    if (!positions) return nullptr;
    if (!numpy_was_loaded) {
      // Importing NumPy ran Python code, which may have changed the list:
      // take the symbols again, now that nothing else will run.
      symbols.reset();
      symbols = py::convert_lines(slots[0], "symbols", Hold::Borrowed);
      if (!symbols) return nullptr;
    }

    auto view = positions->view<double>();
    if (!view) return nullptr;
    auto text = xyz::format_xyz_block(symbols->list(), *view);
    if (!text) return py::raise(text.error());
    return py::text_result(*text, /*ascii=*/false).release();
  });
}

}  // namespace io_rs::module
