#include "python/scan_results.hpp"

#include <cstring>

#include "core/message.hpp"
#include "python/convert.hpp"
#include "python/exceptions.hpp"
#include "python/numpy_api.hpp"
#include "python/results.hpp"

namespace io_rs::py {
namespace {

Ref text_result(std::string_view text) {
  return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
}

bool bad_argument(const char* parameter, std::string_view what) {
  set_error(PyExc_TypeError, fill_message("argument '{}': expected {}", {parameter, what}));
  return false;
}

}  // namespace

Ref frame_table_result(const FrameTable& frames) {
  auto table = OwnedBuffer<std::int64_t>::allocate(frames.size() * 6);
  std::int64_t* row = table.data();
  for (const FrameEntry& frame : frames) {
    *row++ = static_cast<std::int64_t>(frame.offset);
    *row++ = static_cast<std::int64_t>(frame.line);
    *row++ = static_cast<std::int64_t>(frame.natoms);
    *row++ = frame.header;
    *row++ = frame.number;
    *row++ = static_cast<std::int64_t>(frame.end);
  }
  return from_owned_buffer(std::move(table), {frames.size(), 6}, NPY_INT64);
}

Ref header_result(const vasp::VaspHeader& header) {
  Ref comment = text_result(header.comment);
  if (!comment) return {};
  Ref scale = Ref::steal(PyFloat_FromDouble(header.scale));
  if (!scale) return {};
  auto values = OwnedBuffer<double>::allocate(9);
  std::memcpy(values.data(), header.lattice.data(), sizeof(double) * 9);
  Ref lattice = from_owned_buffer(std::move(values), {3, 3}, NPY_DOUBLE);
  if (!lattice) return {};
  Ref species = header.has_species ? text_views_result(header.species) : Ref::borrow(Py_None);
  if (!species) return {};
  Ref counts = Ref::steal(PyList_New(static_cast<Py_ssize_t>(header.counts.size())));
  if (!counts) return {};
  for (std::size_t i = 0; i < header.counts.size(); ++i) {
    PyObject* count = PyLong_FromUnsignedLongLong(header.counts[i]);
    if (count == nullptr) return {};
    PyList_SET_ITEM(counts.get(), static_cast<Py_ssize_t>(i), count);
  }
  Ref line = Ref::steal(PyLong_FromUnsignedLongLong(header.place.line));
  if (!line) return {};
  return tuple_result({&comment, &scale, &lattice, &species, &counts, &line});
}

Ref stop_result(const ScanStop& stop) {
  Ref consumed = size_result(stop.consumed);
  if (!consumed) return {};
  Ref line = Ref::steal(PyLong_FromUnsignedLongLong(stop.line));
  if (!line) return {};
  Ref complete = Ref::borrow(stop.complete ? Py_True : Py_False);
  return tuple_result({&consumed, &line, &complete});
}

std::optional<Base> convert_base(PyObject* o, std::uint64_t offset, const char* parameter) {
  if (o == nullptr || o == Py_None) return Base{};
  if (!PyTuple_Check(o) || PyTuple_GET_SIZE(o) != 3) {
    bad_argument(parameter, "None or a tuple (byte, line, frame)");
    return std::nullopt;
  }
  std::uint64_t parts[3];
  for (Py_ssize_t i = 0; i < 3; ++i) {
    auto value = convert_unsigned(PyTuple_GET_ITEM(o, i), parameter);
    if (!value) return std::nullopt;
    parts[i] = *value;
  }
  if (parts[1] == 0) {
    set_error(PyExc_ValueError, fill_message("argument '{}': lines are counted from 1", {parameter}));
    return std::nullopt;
  }
  return Base{parts[0], parts[1], offset, parts[2]};
}

std::optional<HeaderArgument> convert_header(PyObject* o, const char* parameter) {
  if (!PyTuple_Check(o) || PyTuple_GET_SIZE(o) < 5) {
    bad_argument(parameter, "a header as a scan returns it");
    return std::nullopt;
  }
  HeaderArgument argument;
  argument.header.scale = PyFloat_AsDouble(PyTuple_GET_ITEM(o, 1));
  if (argument.header.scale == -1.0 && PyErr_Occurred()) return std::nullopt;
  PyObject* species = PyTuple_GET_ITEM(o, 3);
  if (species != Py_None) {
    auto names = convert_lines(species, parameter, Hold::Owned);
    if (!names) return std::nullopt;
    const LineList list = names->list();
    for (std::size_t i = 0; i < list.size(); ++i) argument.species.emplace_back(list[i]);
    argument.header.has_species = true;
    for (const std::string& name : argument.species) argument.header.species.emplace_back(name);
  }
  auto counts = convert_counts(PyTuple_GET_ITEM(o, 4), parameter);
  if (!counts) return std::nullopt;
  argument.header.counts = std::move(*counts);
  return argument;
}

}  // namespace io_rs::py
