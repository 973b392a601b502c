#include "python/extxyz_objects.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <type_traits>
#include <vector>

#include "core/message.hpp"
#include "core/utf8.hpp"
#include "python/exceptions.hpp"
#include "python/numpy_api.hpp"
#include "python/results.hpp"

namespace io_rs::py {
namespace {

using xyz::ValueType;

Ref failed() {
  result_build_failed();
  return {};
}

// A new array of the shape, its elements copied from data.
Ref copied_array(int type_num, int ndim, const npy_intp* dims, const void* data, std::size_t bytes) {
  Ref array = Ref::steal(PyArray_SimpleNew(ndim, const_cast<npy_intp*>(dims), type_num));
  if (!array) return failed();
  if (bytes > 0) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), data, bytes);
  return array;
}

// A NumPy str array of count texts (UTF-8), as wide as the longest: text
// `index(i)` of the `distinct` texts is element i, each text decoded once.
template <class Distinct, class Index>
Ref text_array(int ndim, const npy_intp* dims, std::size_t count, std::size_t distinct_count, Distinct distinct,
               Index index) {
  std::vector<std::vector<char32_t>> decoded(distinct_count);
  std::size_t widest = 1;
  for (std::size_t j = 0; j < distinct_count; ++j) {
    decode_utf8(distinct(j), decoded[j]);
    widest = std::max(widest, decoded[j].size());
  }
  Ref array = Ref::steal(PyArray_New(&PyArray_Type, ndim, const_cast<npy_intp*>(dims), NPY_UNICODE, nullptr, nullptr,
                                     static_cast<int>(4 * widest), 0, nullptr));
  if (!array) return failed();
  auto* data = static_cast<char32_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
  // Each distinct text padded with zeros to the width once; an element is
  // then one copy of a fixed size (a chemical symbol: one or two 4-byte
  // code points).
  std::vector<char32_t> padded(distinct_count * widest, 0);
  for (std::size_t j = 0; j < distinct_count; ++j) std::copy(decoded[j].begin(), decoded[j].end(), &padded[j * widest]);
  auto fill = [&](auto width) {
    for (std::size_t i = 0; i < count; ++i) std::memcpy(data + i * width, &padded[index(i) * width], 4 * width);
  };
  switch (widest) {
    case 1: fill(std::integral_constant<std::size_t, 1>{}); break;
    case 2: fill(std::integral_constant<std::size_t, 2>{}); break;
    default: fill(widest);
  }
  return array;
}

Ref scalar(const xyz::InfoValue& value) {
  PyObject* o = nullptr;
  switch (value.type) {
    case ValueType::Integer: o = PyLong_FromLongLong(value.integers[0]); break;
    case ValueType::Real: o = PyFloat_FromDouble(value.reals[0]); break;
    case ValueType::Logical: o = PyBool_FromLong(value.logicals[0]); break;
    default: o = PyUnicode_FromStringAndSize(value.strings[0].data(), static_cast<Py_ssize_t>(value.strings[0].size()));
  }
  return o != nullptr ? Ref::steal(o) : failed();
}

Ref value_object(const xyz::InfoValue& value) {
  if (value.rank == 0) return scalar(value);
  const npy_intp dims[2] = {static_cast<npy_intp>(value.rank == 2 ? value.rows : value.cols),
                            static_cast<npy_intp>(value.cols)};
  const int ndim = value.rank;
  switch (value.type) {
    case ValueType::Integer: return copied_array(NPY_INT64, ndim, dims, value.integers.data(), value.size() * 8);
    case ValueType::Real: return copied_array(NPY_DOUBLE, ndim, dims, value.reals.data(), value.size() * 8);
    case ValueType::Logical: return copied_array(NPY_BOOL, ndim, dims, value.logicals.data(), value.size());
    default:
      return text_array(ndim, dims, value.size(), value.size(),
                        [&](std::size_t j) { return std::string_view(value.strings[j]); }, [](std::size_t i) { return i; });
  }
}

std::nullopt_t type_error(const std::string& message) {
  set_error(PyExc_TypeError, message);
  return std::nullopt;
}

std::optional<std::string> utf8(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) return std::nullopt;
  return std::string(data, static_cast<std::size_t>(size));
}

// The UTF-8 text of each element of a contiguous NumPy str array.
bool strings_of(PyArrayObject* array, std::vector<std::string>& out) {
  const std::size_t n = static_cast<std::size_t>(PyArray_SIZE(array));
  const std::size_t chars = static_cast<std::size_t>(PyArray_ITEMSIZE(array)) / 4;
  const auto* data = static_cast<const Py_UCS4*>(PyArray_DATA(array));
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t length = 0;
    while (length < chars && data[i * chars + length] != 0) ++length;
    Ref text = Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, data + i * chars, static_cast<Py_ssize_t>(length)));
    if (!text) return false;
    auto converted = utf8(text.get());
    if (!converted) return false;
    out.push_back(std::move(*converted));
  }
  return true;
}

bool array_value(PyObject* o, xyz::InfoValue& value) {
  PyArrayObject* given = reinterpret_cast<PyArrayObject*>(o);
  const char kind = PyArray_DESCR(given)->kind;
  int type_num;
  switch (kind) {
    case 'b': value.type = ValueType::Logical; type_num = NPY_BOOL; break;
    case 'i': case 'u': value.type = ValueType::Integer; type_num = NPY_INT64; break;
    case 'f': value.type = ValueType::Real; type_num = NPY_DOUBLE; break;
    case 'U': value.type = ValueType::String; type_num = NPY_UNICODE; break;
    default:
      type_error(fill_message("info '{}': cannot write an array of dtype kind '{}'", {value.key, std::string_view(&kind, 1)}));
      return false;
  }
  const int ndim = PyArray_NDIM(given);
  if (ndim > 2) {
    set_error(PyExc_ValueError, fill_message("info '{}': cannot write an array of more than 2 dimensions", {value.key}));
    return false;
  }
  Ref array = type_num == NPY_UNICODE
                  ? Ref::steal(reinterpret_cast<PyObject*>(PyArray_GETCONTIGUOUS(given)))
                  : Ref::steal(PyArray_FROMANY(o, type_num, 0, 2, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
  if (!array) return false;
  PyArrayObject* a = reinterpret_cast<PyArrayObject*>(array.get());
  value.rank = static_cast<unsigned char>(ndim);
  value.rows = ndim == 2 ? static_cast<std::size_t>(PyArray_DIM(a, 0)) : 1;
  value.cols = ndim == 0 ? 1 : static_cast<std::size_t>(PyArray_DIM(a, ndim - 1));
  const std::size_t n = static_cast<std::size_t>(PyArray_SIZE(a));
  const void* data = PyArray_DATA(a);
  switch (value.type) {
    case ValueType::Logical: {
      const auto* p = static_cast<const std::uint8_t*>(data);
      value.logicals.assign(p, p + n);
      return true;
    }
    case ValueType::Integer: {
      const auto* p = static_cast<const std::int64_t*>(data);
      value.integers.assign(p, p + n);
      return true;
    }
    case ValueType::Real: {
      const auto* p = static_cast<const double*>(data);
      value.reals.assign(p, p + n);
      return true;
    }
    default:
      return strings_of(a, value.strings);
  }
}

}  // namespace

Ref InfoKeys::key(std::string_view text) {
  // Frames of a training set repeat their keys: each made once a call.
  for (const auto& [known, object] : keys_) {
    if (known == text) return Ref::borrow(object.get());
  }
  Ref object = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!object) return failed();
  if (keys_.size() < 64) keys_.emplace_back(std::string(text), Ref::borrow(object.get()));
  return object;
}

Ref info_dict(const std::vector<xyz::InfoValue>& info, InfoKeys& keys) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return failed();
  for (const xyz::InfoValue& value : info) {
    Ref key = keys.key(value.key);
    if (!key) return {};
    Ref object = value_object(value);
    if (!object) return {};
    if (PyDict_SetItem(dict.get(), key.get(), object.get()) < 0) return failed();
  }
  return dict;
}

bool FrameObjects::take(std::size_t first_frame, std::span<xyz::Comment> comments) noexcept {
  if (state_ == nullptr || failed_) return false;
  const auto asked = std::chrono::steady_clock::now();
  PyEval_RestoreThread(state_);
  // Waiting more than this for the lock: another thread runs Python, and
  // these objects are better made after the call than fought for.
  const bool waited = std::chrono::steady_clock::now() - asked > std::chrono::microseconds(200);
  try {
    if (infos_.size() < first_frame + comments.size()) {
      infos_.resize(first_frame + comments.size());
      cells_.resize(first_frame + comments.size());
    }
    for (std::size_t i = 0; i < comments.size() && !failed_; ++i) {
      Ref info = info_dict(comments[i].info, keys_);
      Ref cell = info ? cell_result(comments[i].cell) : Ref{};
      failed_ = !cell;
      infos_[first_frame + i] = std::move(info);
      cells_[first_frame + i] = std::move(cell);
    }
  } catch (...) {
    PyErr_NoMemory();
    failed_ = true;
  }
  state_ = PyEval_SaveThread();
  if (failed_) return false;
  for (xyz::Comment& comment : comments) std::vector<xyz::InfoValue>().swap(comment.info);
  return !waited;
}

Ref info_dict(const std::vector<xyz::InfoValue>& info) {
  InfoKeys keys;
  return info_dict(info, keys);
}

Ref column_array(const xyz::Column& column, xyz::ColumnData& data, std::size_t rows) {
  const std::size_t width = column.width;
  switch (column.type) {
    case ValueType::Real:
      return width == 1 ? from_owned_buffer(std::move(data.reals), {rows}, NPY_DOUBLE)
                        : from_owned_buffer(std::move(data.reals), {rows, width}, NPY_DOUBLE);
    case ValueType::Integer:
      return width == 1 ? from_owned_buffer(std::move(data.integers), {rows}, NPY_INT64)
                        : from_owned_buffer(std::move(data.integers), {rows, width}, NPY_INT64);
    case ValueType::Logical:
      return width == 1 ? from_owned_buffer(std::move(data.logicals), {rows}, NPY_BOOL)
                        : from_owned_buffer(std::move(data.logicals), {rows, width}, NPY_BOOL);
    default: {
      if (!numpy_ready()) return {};
      const npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(width)};
      const InternedTexts& texts = data.texts;
      return text_array(width == 1 ? 1 : 2, dims, rows * width, texts.distinct_count(),
                        [&](std::size_t j) { return texts.distinct(j); }, [&](std::size_t i) { return texts.index(i); });
    }
  }
}

Ref cell_result(const std::optional<std::array<double, 9>>& cell) {
  if (!cell) return Ref::borrow(Py_None);
  const npy_intp dims[2] = {3, 3};
  return copied_array(NPY_DOUBLE, 2, dims, cell->data(), 72);
}

Ref pbc_result(const std::array<bool, 3>& pbc) {
  const npy_intp dims[1] = {3};
  const std::uint8_t bytes[3] = {pbc[0], pbc[1], pbc[2]};
  return copied_array(NPY_BOOL, 1, dims, bytes, 3);
}

std::optional<std::vector<xyz::InfoValue>> convert_info(PyObject* dict) {
  if (!PyDict_Check(dict)) return type_error(fill_message("info must be a dict, not '{}'", {type_name_of(dict)}));
  std::vector<xyz::InfoValue> info;
  info.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) return type_error(fill_message("info keys must be str, not '{}'", {type_name_of(key)}));
    xyz::InfoValue item;
    auto name = utf8(key);
    if (!name) return std::nullopt;
    item.key = std::move(*name);
    if (PyBool_Check(value)) {
      item.type = ValueType::Logical;
      item.logicals.push_back(value == Py_True ? 1 : 0);
    } else if (PyLong_Check(value)) {
      int overflow = 0;
      const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
      if (overflow != 0) {
        set_error(PyExc_ValueError, fill_message("info '{}': the integer does not fit 64 bits", {item.key}));
        return std::nullopt;
      }
      if (v == -1 && PyErr_Occurred()) return std::nullopt;
      item.type = ValueType::Integer;
      item.integers.push_back(v);
    } else if (PyFloat_Check(value)) {
      item.type = ValueType::Real;
      item.reals.push_back(PyFloat_AS_DOUBLE(value));
    } else if (PyUnicode_Check(value)) {
      auto text = utf8(value);
      if (!text) return std::nullopt;
      item.type = ValueType::String;
      item.strings.push_back(std::move(*text));
    } else if (numpy_ready() && PyArray_Check(value)) {
      if (!array_value(value, item)) return std::nullopt;
    } else {
      if (!PyErr_Occurred())
        type_error(fill_message("info '{}': cannot write a value of type '{}'", {item.key, type_name_of(value)}));
      return std::nullopt;
    }
    info.push_back(std::move(item));
  }
  return info;
}

std::optional<ColumnHold> convert_column(PyObject* pair) {
  if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2 || !PyUnicode_Check(PyTuple_GET_ITEM(pair, 0)) ||
      !PyArray_Check(PyTuple_GET_ITEM(pair, 1))) {
    return type_error("columns must be (name, ndarray) pairs");
  }
  ColumnHold hold;
  auto name = utf8(PyTuple_GET_ITEM(pair, 0));
  if (!name) return std::nullopt;
  hold.name = std::move(*name);
  PyArrayObject* array = reinterpret_cast<PyArrayObject*>(PyTuple_GET_ITEM(pair, 1));
  const int ndim = PyArray_NDIM(array);
  const int type_num = PyArray_TYPE(array);
  const bool known = type_num == NPY_DOUBLE || type_num == NPY_INT64 || type_num == NPY_BOOL || type_num == NPY_UNICODE ||
                     (type_num == NPY_LONGLONG && sizeof(long long) == 8) || (type_num == NPY_LONG && sizeof(long) == 8);
  if ((ndim != 1 && ndim != 2) || !known || !PyArray_IS_C_CONTIGUOUS(array) || !PyArray_ISNOTSWAPPED(array)) {
    set_error(PyExc_ValueError, fill_message("column '{}': expected a C-contiguous float64, int64, bool or str array "
                                             "of 1 or 2 dimensions", {hold.name}));
    return std::nullopt;
  }
  hold.array = Ref::borrow(PyTuple_GET_ITEM(pair, 1));
  hold.rows = static_cast<std::size_t>(PyArray_DIM(array, 0));
  hold.source.width = ndim == 2 ? static_cast<std::size_t>(PyArray_DIM(array, 1)) : 1;
  hold.source.data = PyArray_DATA(array);
  hold.source.type = type_num == NPY_DOUBLE ? ValueType::Real
                     : type_num == NPY_BOOL ? ValueType::Logical
                     : type_num == NPY_UNICODE ? ValueType::String
                                               : ValueType::Integer;
  if (type_num == NPY_UNICODE) hold.source.chars = static_cast<std::size_t>(PyArray_ITEMSIZE(array)) / 4;
  if (hold.source.width == 0) {
    set_error(PyExc_ValueError, fill_message("column '{}': an array of 0 columns cannot be written", {hold.name}));
    return std::nullopt;
  }
  return hold;
}

}  // namespace io_rs::py
