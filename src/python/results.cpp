#include "python/results.hpp"

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "python/exceptions.hpp"
#include "python/numpy_api.hpp"

namespace io_rs::py {
namespace {

// The base object of every array this module makes: it owns the buffer that
// a routine filled and frees it on deallocation.
struct SliceContainer {
  PyObject_HEAD
  void* data;
  std::size_t length;  // elements
  void (*release)(void*);
};

void slice_container_dealloc(PyObject* self) {
  auto* holder = reinterpret_cast<SliceContainer*>(self);
  if (holder->release != nullptr) holder->release(holder->data);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&slice_container_dealloc)},
    {Py_tp_doc, const_cast<char*>("Owns the memory of an array made by _io_rs and frees it when the array dies.")},
    {0, nullptr},
};

PyType_Spec slice_container_spec = {
    "builtins.PySliceContainer",
    sizeof(SliceContainer),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    slice_container_slots,
};

// Created once, under the interpreter lock, and kept for the process.
PyTypeObject* slice_container_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&slice_container_spec);
  return reinterpret_cast<PyTypeObject*>(type);
}

Ref failed() {
  result_build_failed();
  return {};
}

}  // namespace

template <class T>
Ref from_owned_buffer(OwnedBuffer<T>&& buffer, std::initializer_list<std::size_t> shape, int type_num) {
  if (!numpy_ready()) return {};
  PyTypeObject* holder_type = slice_container_type();
  if (holder_type == nullptr) return failed();
  Ref holder = Ref::steal(holder_type->tp_alloc(holder_type, 0));
  if (!holder) return failed();
  auto* container = reinterpret_cast<SliceContainer*>(holder.get());
  container->length = buffer.size();
  container->data = buffer.release();
  container->release = &release_buffer;

  // C order: each stride the product of the later dimensions; all zero for
  // an empty array.
  const int ndim = static_cast<int>(shape.size());
  npy_intp dims[3] = {};
  npy_intp strides[3] = {};
  bool empty = false;
  for (int d = 0; d < ndim; ++d) {
    dims[d] = static_cast<npy_intp>(shape.begin()[d]);
    empty |= dims[d] == 0;
  }
  npy_intp stride = static_cast<npy_intp>(sizeof(T));
  for (int d = ndim - 1; d >= 0; --d) {
    strides[d] = empty ? 0 : stride;
    stride *= dims[d];
  }
  PyArray_Descr* descr = PyArray_DescrFromType(type_num);  // taken over by the array
  if (descr == nullptr) return failed();
  Ref array = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, descr, ndim, dims, strides, container->data,
                                              NPY_ARRAY_WRITEABLE, nullptr));
  if (!array) return failed();
  // From here the array keeps the holder, and so the buffer, alive.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), holder.release()) < 0) return failed();
  return array;
}

template Ref from_owned_buffer(OwnedBuffer<double>&&, std::initializer_list<std::size_t>, int);
template Ref from_owned_buffer(OwnedBuffer<std::uint8_t>&&, std::initializer_list<std::size_t>, int);
template Ref from_owned_buffer(OwnedBuffer<std::int64_t>&&, std::initializer_list<std::size_t>, int);

Ref from_owned_array(OwnedMatrix<double>&& matrix) {
  return from_owned_buffer(std::move(matrix.values), {matrix.rows, matrix.cols}, NPY_DOUBLE);
}

Ref from_owned_array(OwnedMatrix<std::uint8_t>&& flags) {
  return from_owned_buffer(std::move(flags.values), {flags.rows, flags.cols}, NPY_BOOL);
}

Ref text_views_result(std::span<const std::string_view> texts) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) return failed();
  for (std::size_t i = 0; i < texts.size(); ++i) {
    PyObject* text = PyUnicode_FromStringAndSize(texts[i].data(), static_cast<Py_ssize_t>(texts[i].size()));
    if (text == nullptr) return failed();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
  }
  return list;
}

Ref bytes_result(const OutputText& text) {
  const std::string_view bytes = text.view();
  Ref result = Ref::steal(PyBytes_FromStringAndSize(bytes.empty() ? "" : bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
  return result ? std::move(result) : failed();
}

Ref size_result(std::size_t value) {
  Ref result = Ref::steal(PyLong_FromSize_t(value));
  return result ? std::move(result) : failed();
}

Ref tuple_result(std::initializer_list<Ref*> items) {
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  if (!tuple) return failed();
  Py_ssize_t i = 0;
  for (Ref* item : items) PyTuple_SET_ITEM(tuple.get(), i++, item->release());
  return tuple;
}

Ref text_list_result(const InternedTexts& texts, std::span<const InternedTexts> more) {
  std::size_t n = texts.size();
  for (const InternedTexts& part : more) n += part.size();
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return failed();
  std::size_t i = 0;
  for (std::size_t p = 0; p <= more.size(); ++p) {
    const InternedTexts& part = p == 0 ? texts : more[p - 1];
    // One str per distinct text, shared by every entry that holds it.
    std::vector<Ref> made;
    made.reserve(part.distinct_count());
    for (std::size_t j = 0; j < part.distinct_count(); ++j) {
      const std::string_view text = part.distinct(j);
      made.push_back(Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
      if (!made.back()) return failed();
    }
    for (std::size_t k = 0; k < part.size(); ++k)
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i++), Py_NewRef(made[part.index(k)].get()));
  }
  return list;
}

Ref text_result(const OutputText& text, bool ascii) {
  const std::string_view bytes = text.view();
  const auto size = static_cast<Py_ssize_t>(bytes.size());
  if (!ascii) {
    Ref str = Ref::steal(PyUnicode_FromStringAndSize(bytes.data(), size));
    return str ? std::move(str) : failed();
  }
  // ASCII text is the str's own storage byte for byte: no decoding needed.
  Ref str = Ref::steal(PyUnicode_New(size, 127));
  if (!str) return failed();
  if (!bytes.empty()) std::memcpy(PyUnicode_DATA(str.get()), bytes.data(), bytes.size());  // an empty text has no buffer
  return str;
}

Ref pair_result(Ref first, Ref second) {
  Ref pair = Ref::steal(PyTuple_New(2));
  if (!pair) return failed();
  PyTuple_SET_ITEM(pair.get(), 0, first.release());
  PyTuple_SET_ITEM(pair.get(), 1, second.release());
  return pair;
}

}  // namespace io_rs::py
