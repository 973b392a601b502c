#include "python/binding.hpp"

#include <cstring>
#include <string>

#include "python/exceptions.hpp"
#include "core/message.hpp"

namespace io_rs::py {
namespace {

void too_many_positional(const FunctionDescription& d, std::size_t given) {
  const std::size_t p = d.positional();
  std::string message = d.required == p
      ? fill_message("{}() takes {} positional arguments but {} ", {d.name, p, given})
      : fill_message("{}() takes from {} to {} positional arguments but {} ",
                     {d.name, d.required, p, given});
  message += given == 1 ? "was given" : "were given";
  set_error(PyExc_TypeError, message);
}

// Lists the required parameters left empty: 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
void missing_required(const FunctionDescription& d, PyObject* const* slots) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < d.required; ++i) count += slots[i] == nullptr;
  std::string names;
  std::size_t listed = 0;
  for (std::size_t i = 0; i < d.required; ++i) {
    if (slots[i] != nullptr) continue;
    if (listed > 0) {
      if (count > 2) names += ',';
      names += listed + 1 == count ? " and " : " ";
    }
    names += fill_message("'{}'", {d.parameters[i].name});
    ++listed;
  }
  set_error(PyExc_TypeError,
            fill_message("{}() missing {} required positional {}: {}",
                         {d.name, count, count == 1 ? "argument" : "arguments", names}));
}

// The parameter whose name is the keyword's UTF-8 text, byte for byte, or
// parameters.size() when none is (a name that cannot be encoded matches none).
std::size_t find_parameter(const FunctionDescription& d, PyObject* key) noexcept {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(key, &size);
  if (text == nullptr) {
    PyErr_Clear();
    return d.parameters.size();
  }
  for (std::size_t i = 0; i < d.parameters.size(); ++i) {
    const char* name = d.parameters[i].name;
    if (std::strlen(name) == static_cast<std::size_t>(size) && std::memcmp(name, text, size) == 0)
      return i;
  }
  return d.parameters.size();
}

bool bind(const FunctionDescription& d, PyObject* const* args, Py_ssize_t nargs,
          PyObject* kwnames, PyObject** slots) {
  const std::size_t p = d.parameters.size();
  const std::size_t n = static_cast<std::size_t>(nargs);
  for (std::size_t i = 0; i < n && i < d.positional(); ++i) slots[i] = args[i];
  if (n > d.positional()) {
    too_many_positional(d, n);
    return false;
  }

  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    const std::size_t i = find_parameter(d, key);
    if (i == p) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", d.name, key);
      return false;
    }
    if (slots[i] != nullptr) {
      set_error(PyExc_TypeError, fill_message("{}() got multiple values for argument '{}'",
                                              {d.name, d.parameters[i].name}));
      return false;
    }
    slots[i] = args[nargs + k];
  }

  for (std::size_t i = n; i < d.required; ++i) {
    if (slots[i] == nullptr) {
      missing_required(d, slots);
      return false;
    }
  }
  return true;
}

}  // namespace

bool extract_arguments_fastcall(const FunctionDescription& d, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) noexcept {
  return contain([&]() -> PyObject* { return bind(d, args, nargs, kwnames, slots) ? Py_None : nullptr; }) != nullptr;
}

}  // namespace io_rs::py
