#include "frame/results.hpp"

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "frame/errors.hpp"
#include "frame/numpy_api.hpp"

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

template <class T>
Ref owned_array(OwnedMatrix<T>&& matrix, int type_num) {
  if (!numpy_ready()) return {};
  PyTypeObject* holder_type = slice_container_type();
  if (holder_type == nullptr) return failed();
  Ref holder = Ref::steal(holder_type->tp_alloc(holder_type, 0));
  if (!holder) return failed();
  auto* container = reinterpret_cast<SliceContainer*>(holder.get());
  container->length = matrix.values.size();
  container->data = matrix.values.release();
  container->release = &std::free;

  npy_intp dims[2] = {static_cast<npy_intp>(matrix.rows), static_cast<npy_intp>(matrix.cols)};
  npy_intp strides[2] = {0, 0};
  if (matrix.rows > 0) {
    strides[0] = static_cast<npy_intp>(matrix.cols * sizeof(T));
    strides[1] = static_cast<npy_intp>(sizeof(T));
  }
  PyArray_Descr* descr = PyArray_DescrFromType(type_num);  // taken over by the array
  if (descr == nullptr) return failed();
  Ref array = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, descr, 2, dims, strides, container->data,
                                              NPY_ARRAY_WRITEABLE, nullptr));
  if (!array) return failed();
  // From here the array keeps the holder, and so the buffer, alive.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), holder.release()) < 0)
    return failed();
  return array;
}

}  // namespace

Ref from_owned_array(OwnedMatrix<double>&& matrix) { return owned_array(std::move(matrix), NPY_DOUBLE); }

Ref from_owned_array(OwnedMatrix<std::uint8_t>&& flags) { return owned_array(std::move(flags), NPY_BOOL); }

Ref text_list_result(const TextList& texts) {
  // One str per distinct text, shared by every entry that holds it.
  std::vector<Ref> made;
  made.reserve(texts.distinct_count());
  for (std::size_t j = 0; j < texts.distinct_count(); ++j) {
    const std::string_view text = texts.distinct(j);
    made.push_back(Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
    if (!made.back()) return failed();
  }
  const std::size_t n = texts.size();
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return failed();
  for (std::size_t i = 0; i < n; ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(made[texts.index(i)].get()));
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
