// Failures as values. A routine that finds a problem in its input returns an
// Error instead of a result: what is wrong and where, as data. The text is
// made in one place, message(), and the CPython side raises it.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
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

// Where a problem lies in a file.
struct Place {
  std::uint64_t line = 0;   // the line's number, counted from 1
  std::uint64_t byte = 0;   // the offset of the line's first byte
  std::uint64_t frame = 0;  // the frame's number, counted from 1; 0 outside frames
};

// What a reader of a file's bytes knows about where its buffer stands in the
// file, so that a window of a stream or a thread's slice reports the places
// one whole-file read would: the buffer's first byte is byte `byte` of the
// file, the line starting at buffer offset `from` is line `line`, and
// `frame` frames of the file come before the first one the reader reads.
struct Base {
  std::uint64_t byte = 0;
  std::uint64_t line = 1;
  std::uint64_t from = 0;
  std::uint64_t frame = 0;
};

// The place of the line starting at buffer offset line_offset (at or after
// base.from): its line counted from base.line, its byte from base.byte.
Place place_of(std::string_view buffer, const Base& base, std::size_t line_offset, std::uint64_t frame = 0);

struct Error {
  ErrorKind kind = ErrorKind::Value;
  // The format whose text is at fault ("POSCAR", "XDATCAR", "XYZ"); empty for
  // a message about the call itself (a shape, an offset).
  std::string_view format;
  // What is wrong, in words, without the format's name or the place.
  std::string problem;
  // The field at fault, as written, when one is.
  std::string field;
  // For a line that is not what the format needs there: what it needed
  // ("the scale factor") and what stood there ("'abc'", "the end of the
  // file"); problem then reads "expected {expected}, got {found}".
  std::string expected;
  std::string found;
  // Where, when the text is a file's bytes.
  std::optional<Place> place;

  // "FORMAT: problem", then " (line L of the file, byte B)" for a place.
  std::string message() const;
};

template <class T>
using Result = std::expected<T, Error>;

// A problem in a format's text.
inline std::unexpected<Error> format_error(std::string_view format, std::string problem, std::string_view field = {}) {
  return std::unexpected(Error{ErrorKind::Value, format, std::move(problem), std::string(field), {}, {}, std::nullopt});
}

// A line that is not what the format needs there.
std::unexpected<Error> expected_error(std::string_view format, std::string expected, std::string found,
                                      const Place& place);

// A problem with the call's arguments; the message as given.
inline std::unexpected<Error> value_error(std::string message) {
  return std::unexpected(Error{ErrorKind::Value, {}, std::move(message), {}, {}, {}, std::nullopt});
}

// The error at a place: for readers of a file's bytes.
inline std::unexpected<Error> at(std::unexpected<Error> error, const Place& place) {
  error.error().place = place;
  return error;
}

// A formatter asked to read column 2 of an array with fewer columns.
inline std::unexpected<Error> index_out_of_bounds() {
  return std::unexpected(Error{ErrorKind::Internal, {}, "ndarray: index out of bounds", {}, {}, {}, std::nullopt});
}

}  // namespace io_rs
