// Failures as values. A routine that finds a problem in its input returns an
// Error instead of a result; the frame raises it as a Python exception.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace io_rs {

enum class ErrorKind : unsigned char {
  // A problem in the text or in the shapes the caller passed: ValueError.
  Value,
  // A state no check turns into a message of its own, such as a read past the
  // last column of an input array: the module's internal-error exception.
  Internal,
};

struct Error {
  ErrorKind kind;
  std::string message;
};

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> value_error(std::string message) {
  return std::unexpected(Error{ErrorKind::Value, std::move(message)});
}

// A formatter asked to read column 2 of an array with fewer columns.
inline std::unexpected<Error> index_out_of_bounds() {
  return std::unexpected(Error{ErrorKind::Internal, "ndarray: index out of bounds"});
}

}  // namespace io_rs
