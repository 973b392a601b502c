#include "python/lammps_results.hpp"

#include <cstring>

#include "core/fields.hpp"
#include "core/interned_texts.hpp"
#include "core/message.hpp"
#include "python/convert.hpp"
#include "python/exceptions.hpp"
#include "python/numpy_api.hpp"
#include "python/results.hpp"
#include "python/scan_results.hpp"

namespace io_rs::py {
namespace {

Ref failed() {
  result_build_failed();
  return {};
}

Ref text_ref(std::string_view text) {
  Ref ref = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  return ref ? std::move(ref) : failed();
}

// A tuple of the words of a text (the names of an ATOMS line).
Ref names_tuple(std::span<const std::string> names) {
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  if (!tuple) return failed();
  for (std::size_t k = 0; k < names.size(); ++k) {
    Ref name = text_ref(names[k]);
    if (!name) return {};
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), name.release());
  }
  return tuple;
}

std::vector<std::string> words_of(std::string_view text) {
  std::vector<std::string> words;
  FieldSplitter fields(text);
  for (std::string_view word = fields.next(); !word.empty(); word = fields.next()) words.emplace_back(word);
  return words;
}

std::nullopt_t bad_head(std::size_t frame, std::string_view what) {
  set_error(PyExc_ValueError, fill_message("frame {}: {}", {frame, what}));
  return std::nullopt;
}

// n doubles from any array-like of that size.
template <std::size_t N>
bool fixed_reals(PyObject* o, std::array<double, N>& values) {
  Ref array = Ref::steal(PyArray_FROMANY(o, NPY_DOUBLE, 1, 2, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
  if (!array || PyArray_SIZE(reinterpret_cast<PyArrayObject*>(array.get())) != static_cast<npy_intp>(N)) {
    PyErr_Clear();
    return false;
  }
  std::memcpy(values.data(), PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), sizeof(double) * N);
  return true;
}

std::optional<std::string> utf8_of(PyObject* text) {
  if (!PyUnicode_Check(text)) return std::nullopt;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

Ref dump_heads_result(const FrameTable& table, const std::vector<lammps::FrameHead>& heads,
                      std::span<const std::string> columns) {
  const std::size_t frames = heads.size();
  Ref rows = frame_table_result(table);
  if (!rows) return {};
  Ref names = Ref::steal(PyList_New(static_cast<Py_ssize_t>(columns.size())));
  if (!names) return failed();
  for (std::size_t k = 0; k < columns.size(); ++k) {
    Ref tuple = names_tuple(words_of(columns[k]));
    if (!tuple) return {};
    PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(k), tuple.release());
  }
  auto box_values = OwnedBuffer<double>::allocate(12 * frames);
  auto pbc_values = OwnedBuffer<std::uint8_t>::allocate(3 * frames);
  auto kind_values = OwnedBuffer<std::uint8_t>::allocate(frames);
  Ref sections = Ref::steal(PyList_New(0));
  if (!sections) return failed();
  for (std::size_t f = 0; f < frames; ++f) {
    const lammps::Box& box = heads[f].box;
    std::memcpy(box_values.data() + 12 * f, box.cell.data(), sizeof(double) * 9);
    std::memcpy(box_values.data() + 12 * f + 9, box.origin.data(), sizeof(double) * 3);
    for (std::size_t axis = 0; axis < 3; ++axis) pbc_values[3 * f + axis] = box.pbc[axis];
    kind_values[f] = static_cast<std::uint8_t>(box.kind);
    for (const lammps::Section& section : heads[f].sections) {
      Ref frame = size_result(f);
      Ref name = text_ref(section.name);
      Ref text = text_ref(section.text);
      if (!frame || !name || !text) return {};
      Ref entry = tuple_result({&frame, &name, &text});
      if (!entry || PyList_Append(sections.get(), entry.get()) < 0) return failed();
    }
  }
  Ref boxes = from_owned_buffer(std::move(box_values), {frames, 4, 3}, NPY_DOUBLE);
  if (!boxes) return {};
  Ref pbcs = from_owned_buffer(std::move(pbc_values), {frames, 3}, NPY_BOOL);
  if (!pbcs) return {};
  Ref kinds = from_owned_buffer(std::move(kind_values), {frames}, NPY_UINT8);
  if (!kinds) return {};
  return tuple_result({&rows, &names, &boxes, &pbcs, &kinds, &sections});
}

Ref dump_outputs_result(const lammps::Layout& layout, std::vector<lammps::OutputData>& data, std::size_t rows) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(layout.outputs.size())));
  if (!list) return failed();
  for (std::size_t k = 0; k < layout.outputs.size(); ++k) {
    const lammps::Output& output = layout.outputs[k];
    const std::size_t width = output.width();
    Ref array;
    switch (output.type) {
      case lammps::ColumnType::Real:
        data[k].reals.resize(rows * width);
        array = width == 1 ? from_owned_buffer(std::move(data[k].reals), {rows}, NPY_DOUBLE)
                           : from_owned_buffer(std::move(data[k].reals), {rows, width}, NPY_DOUBLE);
        break;
      case lammps::ColumnType::Integer:
        data[k].integers.resize(rows * width);
        array = width == 1 ? from_owned_buffer(std::move(data[k].integers), {rows}, NPY_INT64)
                           : from_owned_buffer(std::move(data[k].integers), {rows, width}, NPY_INT64);
        break;
      case lammps::ColumnType::Text: {
        // One str per distinct text, shared by the atoms that hold it.
        InternedTexts texts;
        texts.reserve(rows * width);
        for (std::size_t i = 0; i < rows * width; ++i) texts.push_back(data[k].texts[i]);
        array = text_list_result(texts);
        break;
      }
    }
    if (!array) return {};
    Ref name = text_ref(output.name);
    if (!name) return {};
    Ref sources = names_tuple(output.sources);
    if (!sources) return {};
    Ref entry = tuple_result({&name, &array, &sources});
    if (!entry) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), entry.release());
  }
  return list;
}

Ref cut_result(const std::optional<lammps::Cut>& cut) {
  if (!cut) return Ref::borrow(Py_None);
  Ref frame = Ref::steal(PyLong_FromUnsignedLongLong(cut->frame));
  Ref line = Ref::steal(PyLong_FromUnsignedLongLong(cut->place.line));
  Ref byte = Ref::steal(PyLong_FromUnsignedLongLong(cut->place.byte));
  if (!frame || !line || !byte) return failed();
  Ref problem = text_ref(cut->problem);
  if (!problem) return {};
  return tuple_result({&frame, &line, &byte, &problem});
}

std::optional<DumpHeadArgument> convert_dump_head(PyObject* o, std::size_t frame) {
  if (!PyTuple_Check(o) || PyTuple_GET_SIZE(o) != 5) {
    return bad_head(frame, "a head must be (timestep, sections, cell, origin, pbc)");
  }
  DumpHeadArgument head;
  int overflow = 0;
  const long long timestep = PyLong_AsLongLongAndOverflow(PyTuple_GET_ITEM(o, 0), &overflow);
  if (timestep == -1 && PyErr_Occurred()) return std::nullopt;
  if (overflow != 0) return bad_head(frame, "the timestep must be a whole number within 64 bits");
  head.timestep = timestep;
  PyObject* sections = PyTuple_GET_ITEM(o, 1);
  if (!PyList_Check(sections)) return bad_head(frame, "sections must be a list of (name, text) pairs");
  for (Py_ssize_t k = 0; k < PyList_GET_SIZE(sections); ++k) {
    PyObject* pair = PyList_GET_ITEM(sections, k);
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) return bad_head(frame, "sections must be (name, text) pairs");
    auto name = utf8_of(PyTuple_GET_ITEM(pair, 0));
    auto text = utf8_of(PyTuple_GET_ITEM(pair, 1));
    if (!name || !text) return bad_head(frame, "a section's name and text must be str");
    head.sections.push_back({std::move(*name), std::move(*text)});
  }
  if (!fixed_reals(PyTuple_GET_ITEM(o, 2), head.cell)) return bad_head(frame, "the cell must be 3 x 3 reals");
  if (!fixed_reals(PyTuple_GET_ITEM(o, 3), head.origin)) return bad_head(frame, "the origin must be 3 reals");
  std::array<double, 3> pbc{};
  if (!fixed_reals(PyTuple_GET_ITEM(o, 4), pbc)) return bad_head(frame, "pbc must be three logicals");
  for (std::size_t axis = 0; axis < 3; ++axis) head.pbc[axis] = pbc[axis] != 0;
  return head;
}

}  // namespace io_rs::py
