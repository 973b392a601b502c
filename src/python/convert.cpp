#include "python/convert.hpp"

#include <string>

#include "python/exceptions.hpp"
#include "core/message.hpp"
#include "python/numpy_api.hpp"

namespace io_rs::py {
namespace {

// Every element was converted, so its UTF-8 text is known to the interpreter:
// in place for compact ASCII strings, cached beside the others.
std::string_view utf8_of(const void* item) noexcept {
  PyObject* s = static_cast<PyObject*>(const_cast<void*>(item));
  if (PyUnicode_IS_COMPACT_ASCII(s))
    return {static_cast<const char*>(PyUnicode_DATA(s)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(s))};
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(s, &size);
  return {text, static_cast<std::size_t>(size)};
}

std::nullopt_t fail(const char* parameter) {
  argument_extraction_error(parameter);
  return std::nullopt;
}

std::nullopt_t type_error(const std::string& message, const char* parameter) {
  set_error(PyExc_TypeError, message);
  return fail(parameter);
}

std::string cannot_convert(PyObject* o, const char* target) {
  return fill_message("'{}' object cannot be converted to '{}'", {type_name_of(o), target});
}

// An element must be a str whose UTF-8 text exists (no lone surrogates).
bool check_line(PyObject* item) {
  if (!PyUnicode_Check(item)) {
    set_error(PyExc_TypeError, cannot_convert(item, "PyString"));
    return false;
  }
  if (PyUnicode_IS_COMPACT_ASCII(item)) return true;  // its text is its UTF-8, in place
  Py_ssize_t size = 0;
  return PyUnicode_AsUTF8AndSize(item, &size) != nullptr;
}

bool is_numpy_bool_type(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030D0000
  Ref module = Ref::steal(PyType_GetModuleName(type));
#else
  Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
#endif
  Ref name = Ref::steal(PyType_GetName(type));
  if (!module || !name || !PyUnicode_Check(module.get())) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
         (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
          PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

}  // namespace

void argument_extraction_error(const char* parameter) noexcept {
  PyObject* error = PyErr_GetRaisedException();
  if (error == nullptr) return;
  if (Py_TYPE(error) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(error);
    return;
  }
  Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %S", parameter, error));
  if (!message) {
    Py_DECREF(error);
    return;
  }
  PyErr_SetObject(PyExc_TypeError, message.get());
  PyObject* wrapped = PyErr_GetRaisedException();
  if (wrapped != nullptr) {
    if (PyObject* cause = PyException_GetCause(error)) PyException_SetCause(wrapped, cause);
    PyErr_SetRaisedException(wrapped);
  }
  Py_DECREF(error);
}

LineRefs::~LineRefs() {
  for (PyObject* o : owned_) Py_DECREF(o);
}

LineList LineRefs::list() const noexcept {
  return LineList(std::span<const void* const>(reinterpret_cast<const void* const*>(items_), size_), &utf8_of);
}

std::optional<LineRefs> convert_lines(PyObject* o, const char* parameter, Hold hold) {
  if (PyUnicode_Check(o)) return type_error("Can't extract `str` to `Vec`", parameter);
  if (!PySequence_Check(o)) return type_error(cannot_convert(o, "Sequence"), parameter);

  LineRefs refs;
  if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
    // Converting a string runs no Python code, so walking the item array
    // sees exactly what the sequence's iterator would.
    PyObject* const* items = PySequence_Fast_ITEMS(o);
    const std::size_t n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(o));
    for (std::size_t i = 0; i < n; ++i) {
      if (!check_line(items[i])) return fail(parameter);
    }
    if (hold == Hold::Borrowed) {
      refs.container_ = Ref::borrow(o);
      refs.items_ = items;
      refs.size_ = n;
      return refs;
    }
    refs.owned_.reserve(n);
    for (std::size_t i = 0; i < n; ++i) refs.owned_.push_back(Py_NewRef(items[i]));
  } else {
    // The length only sizes the first allocation, and a sequence may lie
    // about it: past a modest cap the list simply grows.
    constexpr Py_ssize_t kMostReserved = 1 << 16;
    const Py_ssize_t hint = PySequence_Size(o);
    if (hint < 0) PyErr_Clear();
    else refs.owned_.reserve(static_cast<std::size_t>(hint < kMostReserved ? hint : kMostReserved));
    Ref iterator = Ref::steal(PyObject_GetIter(o));
    if (!iterator) return fail(parameter);
    while (PyObject* next = PyIter_Next(iterator.get())) {
      refs.owned_.push_back(next);
      if (!check_line(next)) return fail(parameter);
    }
    if (PyErr_Occurred()) return fail(parameter);
  }
  refs.items_ = refs.owned_.data();
  refs.size_ = refs.owned_.size();
  return refs;
}

std::optional<bool> convert_flag(PyObject* o, const char* parameter) {
  if (o == Py_True) return true;
  if (o == Py_False) return false;
  PyTypeObject* type = Py_TYPE(o);
  if (!is_numpy_bool_type(type)) return type_error(cannot_convert(o, "PyBool"), parameter);
  auto nb_bool = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
  if (nb_bool == nullptr) {
    PyErr_Clear();
    Ref shown = Ref::steal(PyObject_Str(reinterpret_cast<PyObject*>(type)));
    if (!shown) return fail(parameter);
    Ref message = Ref::steal(PyUnicode_FromFormat("object of type '%U' does not define a '__bool__' conversion", shown.get()));
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
    return fail(parameter);
  }
  const int truth = nb_bool(o);
  if (truth < 0) return fail(parameter);
  return truth != 0;
}

std::optional<std::uint64_t> convert_unsigned(PyObject* o, const char* parameter) {
  Ref index;
  if (!PyLong_Check(o)) {
    index = Ref::steal(PyNumber_Index(o));
    if (!index) return fail(parameter);
    o = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(o);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return fail(parameter);
  return static_cast<std::uint64_t>(value);
}

namespace {

// Whether o is a NumPy array of ndim dimensions and the element type (the
// very descriptor or an equivalent one); otherwise false with the argument
// error set, already wrapped for the parameter.
bool check_matrix(PyObject* o, const char* parameter, int type_num, int ndim = 2) {
  bool matches = false;
  if (PyArray_Check(o) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(o)) == ndim) {
    PyArray_Descr* wanted = PyArray_DescrFromType(type_num);
    if (wanted == nullptr) {
      fail(parameter);
      return false;
    }
    PyArray_Descr* actual = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(o));
    matches = actual == wanted || PyArray_EquivTypes(actual, wanted);
    Py_DECREF(wanted);
  }
  if (!matches) type_error(cannot_convert(o, "PyArray<T, D>"), parameter);
  return matches;
}

}  // namespace

std::optional<ArrayHold> convert_matrix(PyObject* o, const char* parameter, int type_num) {
  if (!numpy_ready()) return fail(parameter);
  if (!check_matrix(o, parameter, type_num)) return std::nullopt;
  ArrayHold hold;
  hold.array_ = Ref::borrow(o);
  hold.parameter_ = parameter;
  hold.type_num_ = type_num;
  return hold;
}

template <class T>
std::optional<MatrixView<T>> ArrayHold::view() const {
  if (!check_matrix(array_.get(), parameter_, type_num_)) return std::nullopt;
  PyArrayObject* array = reinterpret_cast<PyArrayObject*>(array_.get());
  const npy_intp* shape = PyArray_DIMS(array);
  const npy_intp* strides = PyArray_STRIDES(array);
  return MatrixView<T>{static_cast<const std::byte*>(PyArray_DATA(array)), static_cast<std::size_t>(shape[0]),
                       static_cast<std::size_t>(shape[1]), static_cast<std::ptrdiff_t>(strides[0]),
                       static_cast<std::ptrdiff_t>(strides[1])};
}

template std::optional<MatrixView<double>> ArrayHold::view<double>() const;
template std::optional<MatrixView<std::uint8_t>> ArrayHold::view<std::uint8_t>() const;
template std::optional<MatrixView<std::int64_t>> ArrayHold::view<std::int64_t>() const;

std::optional<StackHold> convert_stack(PyObject* o, const char* parameter) {
  if (!numpy_ready()) return fail(parameter);
  if (!check_matrix(o, parameter, NPY_DOUBLE, 3)) return std::nullopt;
  StackHold hold;
  hold.array_ = Ref::borrow(o);
  hold.parameter_ = parameter;
  return hold;
}

std::optional<StackView<double>> StackHold::view() const {
  if (!check_matrix(array_.get(), parameter_, NPY_DOUBLE, 3)) return std::nullopt;
  PyArrayObject* array = reinterpret_cast<PyArrayObject*>(array_.get());
  const npy_intp* shape = PyArray_DIMS(array);
  const npy_intp* strides = PyArray_STRIDES(array);
  StackView<double> stack;
  stack.data = static_cast<const std::byte*>(PyArray_DATA(array));
  stack.frames = static_cast<std::size_t>(shape[0]);
  stack.frame_stride = static_cast<std::ptrdiff_t>(strides[0]);
  stack.frame_shape = MatrixView<double>{nullptr, static_cast<std::size_t>(shape[1]), static_cast<std::size_t>(shape[2]),
                                         static_cast<std::ptrdiff_t>(strides[1]), static_cast<std::ptrdiff_t>(strides[2])};
  return stack;
}

BufferHold::~BufferHold() {
  if (held_) PyBuffer_Release(&view_);
}

bool BufferHold::take(PyObject* o, const char* parameter) {
  if (PyObject_GetBuffer(o, &view_, PyBUF_SIMPLE) < 0) {
    fail(parameter);
    return false;
  }
  held_ = true;
  mapped_ = std::string_view(Py_TYPE(o)->tp_name) == "mmap.mmap";
  return true;
}

std::optional<OptionalCount> convert_optional_unsigned(PyObject* o, const char* parameter) {
  if (o == nullptr || o == Py_None) return OptionalCount{};
  auto value = convert_unsigned(o, parameter);
  if (!value) return std::nullopt;
  return OptionalCount{*value};
}

std::optional<Decimals> convert_decimals(PyObject* o, const char* function) {
  if (o == nullptr || o == Py_None) return Decimals{};
  auto k = convert_unsigned(o, "decimals");
  if (!k) {
    // Negative, or beyond 64 bits: a value out of range, not of the wrong type.
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      set_error(PyExc_ValueError, fill_message("{}: decimals must be from 0 to 1000", {function}));
    }
    return std::nullopt;
  }
  if (*k > 1000) {
    set_error(PyExc_ValueError, fill_message("{}: decimals must be at most 1000", {function}));
    return std::nullopt;
  }
  return Decimals{static_cast<std::uint16_t>(*k)};
}

std::optional<PyObject*> convert_write(PyObject* o, const char* function) {
  if (o == nullptr || o == Py_None) return nullptr;
  if (!PyCallable_Check(o)) {
    set_error(PyExc_TypeError, fill_message("{}: write must be callable or None", {function}));
    return std::nullopt;
  }
  return o;
}

std::optional<std::vector<std::uint64_t>> convert_counts(PyObject* o, const char* parameter) {
  if (PyUnicode_Check(o)) return type_error("Can't extract `str` to `Vec`", parameter);
  if (!PySequence_Check(o)) return type_error(cannot_convert(o, "Sequence"), parameter);
  Ref iterator = Ref::steal(PyObject_GetIter(o));
  if (!iterator) return fail(parameter);
  std::vector<std::uint64_t> counts;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    auto count = convert_unsigned(item.get(), parameter);
    if (!count) return std::nullopt;
    counts.push_back(*count);
  }
  if (PyErr_Occurred()) return fail(parameter);
  return counts;
}

}  // namespace io_rs::py
