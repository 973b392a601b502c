// One atom line of an XYZ block, read in place: the symbol, normalised and
// appended to the symbol list, and three coordinates. Inline, so that the
// routine over a list of lines and the one over a file's bytes each get the
// loop body folded in.
#pragma once

#include <string>
#include <string_view>

#include "core/error.hpp"
#include "core/fields.hpp"
#include "core/line_outcome.hpp"
#include "core/number_read.hpp"
#include "core/portable.hpp"
#include "core/interned_texts.hpp"
#include "core/utf8.hpp"
#include "xyz/symbol_case.hpp"

namespace io_rs::xyz {

// scratch holds the normalised form of a long or non-ASCII symbol; fields
// after the third coordinate are never looked at. A line inside a file's
// bytes may give where those end (readable), so that numbers near the line's
// end are loaded a word at a time.
IO_RS_ALWAYS_INLINE LineOutcome read_xyz_line(std::string_view line, InternedTexts& symbols, std::string& scratch,
                                              double* row, const char* readable = nullptr) {
  FieldSplitter fields(line, readable ? readable : line.data() + line.size());
  const std::string_view symbol = fields.next();
  if (symbol.empty()) return {LineProblem::NoFields, {}, NumberError::Invalid};
  if (char ascii[8]; normalize_short_ascii(symbol, ascii)) {
    symbols.push_back(std::string_view(ascii, symbol.size()));
  } else {
    if (!is_utf8(symbol)) return {LineProblem::NotUtf8, symbol, NumberError::Invalid};
    scratch.clear();
    append_normalized_symbol(scratch, symbol);
    symbols.push_back(scratch);
  }
  return read_coordinates(fields, row);
}

// The message, naming the line by its 0-based position in the block.
Error xyz_line_error(const LineOutcome& outcome, std::size_t index);

}  // namespace io_rs::xyz
