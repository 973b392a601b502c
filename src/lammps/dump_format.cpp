// Writing dump frames (style custom): the header as LAMMPS writes it, the
// box through bounds_of_box, and one line per atom, fields separated by one
// space. Every number is written so that it reads back to the same value.
#include <charconv>
#include <cstring>

#include "core/fields.hpp"
#include "core/message.hpp"
#include "core/number_write.hpp"
#include "core/piece.hpp"
#include "core/shortest_real.hpp"
#include "lammps/lammps.hpp"

namespace io_rs::lammps {
namespace {

void append_real(OutputText& out, double value) {
  char* p = out.room(kShortestRealRoom);
  out.commit(static_cast<std::size_t>(write_shortest_real(p, value) - p));
}

void append_integer(OutputText& out, std::int64_t value) {
  char* p = out.room(24);
  out.commit(static_cast<std::size_t>(std::to_chars(p, p + 24, value).ptr - p));
}

bool is_word(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (is_separator(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// A section name that reads back as itself: words of one space each, none
// that the format gives a meaning to.
bool is_section_name(std::string_view name) {
  if (name.empty() || name.front() == ' ' || name.back() == ' ' || name.find("  ") != std::string_view::npos) return false;
  for (char c : name) {
    if (c != ' ' && is_separator(static_cast<unsigned char>(c))) return false;
  }
  for (std::string_view reserved : {"TIMESTEP", "NUMBER OF ATOMS", "BOX BOUNDS", "ATOMS"}) {
    if (name == reserved || (name.starts_with(reserved) && name[reserved.size()] == ' ')) return false;
  }
  return true;
}

// A section's text that reads back as itself: no line of it an ITEM line,
// none ending in a blank, and not a lone blank line.
bool is_section_text(std::string_view text) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    const std::string_view line = text.substr(start, end - start);
    if (trimmed(line).starts_with("ITEM:") || (!line.empty() && is_separator(static_cast<unsigned char>(line.back()))))
      return false;
    if (end == text.size()) return true;
    start = end + 1;
  }
}

// A text field: NumPy's UTF-32 text, to its first zero, as UTF-8 at p,
// which has room for 4 * chars bytes; the end, or nullptr when it would not
// read back as one field.
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

std::unexpected<Error> write_error(std::string problem) { return value_error(fill_message("LAMMPS dump: {}", {problem})); }

}  // namespace

Result<void> append_dump_head(OutputText& out, const HeadSource& head, std::span<const ColumnSource> columns) {
  for (const Section& section : head.sections) {
    if (!is_section_name(section.name)) {
      return write_error(fill_message("'{}' cannot be a section's name (ITEM: NAME)", {section.name}));
    }
    if (!is_section_text(section.text)) {
      return write_error(fill_message("the text of section '{}' would not read back as written", {section.name}));
    }
    out.append("ITEM: ");
    out.append(section.name);
    out.append('\n');
    if (!section.text.empty()) {
      out.append(section.text);
      out.append('\n');
    }
  }
  out.append("ITEM: TIMESTEP\n");
  append_integer(out, head.timestep);
  out.append("\nITEM: NUMBER OF ATOMS\n");
  write_unsigned(out, head.natoms, 0);
  const BoundLines bounds = bounds_of_box(head.cell, head.origin);
  out.append(bounds.kind == BoxKind::Triclinic ? "\nITEM: BOX BOUNDS xy xz yz"
             : bounds.kind == BoxKind::General ? "\nITEM: BOX BOUNDS abc origin"
                                               : "\nITEM: BOX BOUNDS");
  for (const bool periodic : head.pbc) out.append(periodic ? " pp" : " ff");
  const std::size_t numbers = bounds.kind == BoxKind::Orthogonal ? 2 : bounds.kind == BoxKind::Triclinic ? 3 : 4;
  for (const auto& line : bounds.lines) {
    out.append('\n');
    for (std::size_t k = 0; k < numbers; ++k) {
      if (k > 0) out.append(' ');
      append_real(out, line[k]);
    }
  }
  out.append("\nITEM: ATOMS");
  for (const ColumnSource& column : columns) {
    for (std::string_view name : column.names) {
      if (!is_word(name)) return write_error(fill_message("column name '{}' is not a single word", {name}));
      out.append(' ');
      out.append(name);
    }
  }
  out.append('\n');
  return {};
}

Result<void> append_dump_rows(OutputText& out, std::span<const ColumnSource> columns, std::size_t first,
                              std::size_t count, std::optional<std::uint16_t> decimals) {
  // The most bytes a row takes, separators and line end included, with the
  // room a shortest real's writer may use past its end; with decimals, the
  // reals are appended by the fixed writer instead.
  std::size_t room = kShortestRealRoom + 1;
  for (const ColumnSource& column : columns) {
    const std::size_t field = column.type == ColumnType::Real ? kShortestRealRoom
                              : column.type == ColumnType::Integer ? 21
                                                                   : 4 * column.chars + 1;
    room += column.names.size() * field;
  }
  for (std::size_t i = first; i < first + count; ++i) {
    char* row = out.room(room);
    char* p = row;
    bool start = true;
    for (const ColumnSource& column : columns) {
      const std::size_t width = column.names.size();
      for (std::size_t j = 0; j < width; ++j) {
        if (!start) *p++ = ' ';
        start = false;
        const std::size_t k = i * width + j;
        switch (column.type) {
          case ColumnType::Real:
            if (decimals) {
              out.commit(static_cast<std::size_t>(p - row));
              write_fixed(out, static_cast<const double*>(column.data)[k], 0, *decimals);
              row = p = out.room(room);
            } else {
              p = write_shortest_real(p, static_cast<const double*>(column.data)[k]);
            }
            break;
          case ColumnType::Integer:
            p = std::to_chars(p, p + 21, static_cast<const std::int64_t*>(column.data)[k]).ptr;
            break;
          case ColumnType::Text:
            p = put_text_field(p, static_cast<const char32_t*>(column.data) + k * column.chars, column.chars);
            if (p == nullptr) {
              return write_error(fill_message("the text of column '{}' at atom {} is not a single field",
                                              {column.names[j], i}));
            }
            break;
        }
      }
    }
    *p++ = '\n';
    out.commit(static_cast<std::size_t>(p - row));
  }
  return {};
}

}  // namespace io_rs::lammps
