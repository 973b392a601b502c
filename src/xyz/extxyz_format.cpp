// Writing extended XYZ frames: the count line, a comment line of key=value
// pairs that reads back to the same values and types (in this reader and in
// others that keep to the format's grammar), and the atom lines.
#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

#include "core/fields.hpp"
#include "core/message.hpp"
#include "core/number_write.hpp"
#include "core/shortest_real.hpp"
#include "xyz/extxyz.hpp"

namespace io_rs::xyz {
namespace {

bool ends_bare(char c) {
  return is_separator(static_cast<unsigned char>(c)) || c == '=' || c == '"' || c == '\'' || c == ',' || c == '[' ||
         c == ']' || c == '{' || c == '}' || c == '\\';
}

bool is_bare(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (ends_bare(c)) return false;
  }
  return true;
}

std::unexpected<Error> write_error(std::string_view key, std::string problem) {
  return value_error(fill_message("extended XYZ: info '{}': {}", {key, problem}));
}

// The shortest digits that read back to value; always with a point or an
// exponent, so that the text reads back as a real and not an integer.
void append_real(OutputText& out, double value) {
  char* p = out.room(kShortestRealRoom + 2);
  std::size_t n = static_cast<std::size_t>(write_shortest_real(p, value) - p);
  if (std::memchr(p, '.', n) == nullptr && std::memchr(p, 'e', n) == nullptr) {
    p[n++] = '.';
    p[n++] = '0';
  }
  out.commit(n);
}

void append_integer(OutputText& out, std::int64_t value) {
  char* p = out.room(24);
  out.commit(static_cast<std::size_t>(std::to_chars(p, p + 24, value).ptr - p));
}

void append_quoted(OutputText& out, std::string_view text) {
  out.append('"');
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out.append('\\');
      out.append(c);
    } else if (c == '\n') {
      out.append("\\n");
    } else {
      out.append(c);
    }
  }
  out.append('"');
}

// How a string reads back when written bare or quoted: as a string unless
// its words spell numbers or logicals.
bool reads_as_string(std::string_view text) {
  std::vector<std::string_view> words;
  FieldSplitter fields(text);
  for (std::string_view w = fields.next(); !w.empty(); w = fields.next()) words.push_back(w);
  if (words.empty()) return true;
  bool numbers = true, logicals = true;
  for (std::string_view w : words) {
    const ValueType type = type_of_text(w);
    numbers &= type == ValueType::Integer || type == ValueType::Real;
    logicals &= type == ValueType::Logical;
  }
  return !numbers && !logicals;
}

void append_key(OutputText& out, std::string_view key) {
  if (is_bare(key)) out.append(key);
  else append_quoted(out, key);
}

Result<void> append_element(OutputText& out, const InfoValue& value, std::size_t k, bool in_array) {
  switch (value.type) {
    case ValueType::Integer:
      append_integer(out, value.integers[k]);
      return {};
    case ValueType::Real:
      if (!std::isfinite(value.reals[k])) return write_error(value.key, "a real that is not finite cannot be written");
      append_real(out, value.reals[k]);
      return {};
    case ValueType::Logical:
      out.append(value.logicals[k] ? 'T' : 'F');
      return {};
    default: {
      const std::string_view text = value.strings[k];
      if (in_array) {
        append_quoted(out, text);  // a quoted element is a string, whatever it spells
        return {};
      }
      if (!reads_as_string(text)) {
        return write_error(value.key, fill_message("the string '{}' would read back as a number or a logical", {text}));
      }
      if (is_bare(text)) out.append(text);
      else append_quoted(out, text);
      return {};
    }
  }
}

Result<void> append_value(OutputText& out, const InfoValue& value) {
  if (value.rank == 0) return append_element(out, value, 0, false);
  if (value.size() == 0) return write_error(value.key, "an empty array cannot be written");
  const std::size_t rows = value.rank == 2 ? value.rows : 1;
  out.append('[');
  for (std::size_t i = 0; i < rows; ++i) {
    if (i > 0) out.append(", ");
    if (value.rank == 2) out.append('[');
    for (std::size_t j = 0; j < value.cols; ++j) {
      if (j > 0) out.append(", ");
      if (auto written = append_element(out, value, i * value.cols + j, true); !written) return written;
    }
    if (value.rank == 2) out.append(']');
  }
  out.append(']');
  return {};
}

bool is_column_name(std::string_view name) { return is_bare(name) && name.find(':') == std::string_view::npos; }

// A string field of an atom line: NumPy's UTF-32 text, to its first zero,
// as UTF-8 at p, which has room for 4 * chars bytes; the end, or nullptr
// when it would not read back as one field.
char* put_text_field(char* p, const char32_t* text, std::size_t chars) {
  std::size_t n = 0;
  while (n < chars && text[n] != 0) ++n;
  if (n == 0) return nullptr;
  for (std::size_t k = 0; k < n; ++k) {
    const char32_t c = text[k];
    if (c < 0x80) {
      if (is_separator(static_cast<unsigned char>(c))) return nullptr;
      *p++ = static_cast<char>(c);
    } else if (c < 0x800) {
      *p++ = static_cast<char>(0xC0 | (c >> 6));
      *p++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      if (c >= 0xD800 && c <= 0xDFFF) return nullptr;
      *p++ = static_cast<char>(0xE0 | (c >> 12));
      *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *p++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x110000) {
      *p++ = static_cast<char>(0xF0 | (c >> 18));
      *p++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *p++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
      return nullptr;
    }
  }
  return p;
}

std::unexpected<Error> not_one_field(const ColumnSource& column, std::size_t atom) {
  return value_error(fill_message("extended XYZ: the string of column '{}' at atom {} is not a single field",
                                  {column.name, atom}));
}

// The most bytes one row takes, its separators and line end included, with
// the room a shortest real's writer may use past its end.
std::size_t row_room(std::span<const ColumnSource> columns) {
  std::size_t room = kShortestRealRoom + 1;
  for (const ColumnSource& column : columns) {
    const std::size_t field = column.type == ValueType::Real      ? kShortestRealRoom
                              : column.type == ValueType::Integer ? 21
                              : column.type == ValueType::Logical ? 2
                                                                  : 4 * column.chars + 1;
    room += column.width * field;
  }
  return room;
}

}  // namespace

Result<void> append_extxyz_header(OutputText& out, const FrameHeader& frame, std::span<const ColumnSource> columns) {
  write_unsigned(out, frame.natoms, 0);
  out.append('\n');
  if (frame.cell) {
    out.append("Lattice=\"");
    for (std::size_t k = 0; k < 9; ++k) {
      if (!std::isfinite((*frame.cell)[k])) return write_error("Lattice", "a real that is not finite cannot be written");
      if (k > 0) out.append(' ');
      append_real(out, (*frame.cell)[k]);
    }
    out.append("\" ");
  }
  out.append("Properties=");
  for (std::size_t c = 0; c < columns.size(); ++c) {
    if (!is_column_name(columns[c].name)) {
      return value_error(fill_message("extended XYZ: column name '{}' is not a word without ':'", {columns[c].name}));
    }
    if (c > 0) out.append(':');
    out.append(columns[c].name);
    out.append(':');
    out.append(type_letter(columns[c].type));
    out.append(':');
    write_unsigned(out, columns[c].width, 0);
  }
  for (const InfoValue& value : frame.info) {
    if (value.key.empty()) return value_error("extended XYZ: an info key is empty");
    if (value.key == "Lattice" || value.key == "Properties" || value.key == "pbc")
      return write_error(value.key, "the key is the frame's own (cell, arrays, pbc), not an info key");
    out.append(' ');
    append_key(out, value.key);
    out.append('=');
    if (auto written = append_value(out, value); !written) return written;
  }
  out.append(" pbc=\"");
  for (std::size_t k = 0; k < 3; ++k) {
    if (k > 0) out.append(' ');
    out.append(frame.pbc[k] ? 'T' : 'F');
  }
  out.append("\"\n");
  return {};
}

Result<void> append_extxyz_rows(OutputText& out, std::span<const ColumnSource> columns, std::size_t first,
                                std::size_t count, std::optional<std::uint16_t> decimals) {
  if (!decimals) {
    // Room for a whole row at once, each field then written where it goes.
    const std::size_t room = row_room(columns);
    for (std::size_t i = first; i < first + count; ++i) {
      char* const row = out.room(room);
      char* p = row;
      for (const ColumnSource& column : columns) {
        for (std::size_t j = 0; j < column.width; ++j) {
          if (p != row) *p++ = ' ';
          const std::size_t k = i * column.width + j;
          switch (column.type) {
            case ValueType::Real:
              // The shortest digits that read back bit-identical.
              p = write_shortest_real(p, static_cast<const double*>(column.data)[k]);
              break;
            case ValueType::Integer:
              p = std::to_chars(p, p + 21, static_cast<const std::int64_t*>(column.data)[k]).ptr;
              break;
            case ValueType::Logical:
              *p++ = static_cast<const std::uint8_t*>(column.data)[k] ? 'T' : 'F';
              break;
            case ValueType::String:
              p = put_text_field(p, static_cast<const char32_t*>(column.data) + k * column.chars, column.chars);
              if (p == nullptr) return not_one_field(column, i);
              break;
          }
        }
      }
      *p++ = '\n';
      out.commit(static_cast<std::size_t>(p - row));
    }
    return {};
  }
  for (std::size_t i = first; i < first + count; ++i) {
    bool start = true;
    for (const ColumnSource& column : columns) {
      for (std::size_t j = 0; j < column.width; ++j) {
        if (!start) out.append(' ');
        start = false;
        const std::size_t k = i * column.width + j;
        switch (column.type) {
          case ValueType::Real:
            write_fixed(out, static_cast<const double*>(column.data)[k], 0, *decimals);
            break;
          case ValueType::Integer:
            append_integer(out, static_cast<const std::int64_t*>(column.data)[k]);
            break;
          case ValueType::Logical:
            out.append(static_cast<const std::uint8_t*>(column.data)[k] ? 'T' : 'F');
            break;
          case ValueType::String: {
            char* p = out.room(4 * column.chars);
            char* end = put_text_field(p, static_cast<const char32_t*>(column.data) + k * column.chars, column.chars);
            if (end == nullptr) return not_one_field(column, i);
            out.commit(static_cast<std::size_t>(end - p));
            break;
          }
        }
      }
    }
    out.append('\n');
  }
  return {};
}

}  // namespace io_rs::xyz
