// The atom lines of extended XYZ frames, read by a row reader that the
// column schema drives: one pass over the line's fields, each column's
// fields read as its type straight into that column's buffer. Frames that
// share a schema are read in one run into the same buffers, so that a
// training set of many small frames costs one call, not one per frame.
#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdint>
#include <string>

#include "core/fields.hpp"
#include "core/line_cursor.hpp"
#include "core/message.hpp"
#include "core/number_read.hpp"
#include "core/portable.hpp"
#include "core/short_decimal.hpp"
#include "core/utf8.hpp"
#include "xyz/extxyz.hpp"
#include "xyz/extxyz_rows.hpp"

namespace io_rs::xyz {
namespace {

// The next field as a real: the short decimals that atom lines hold in one
// inlined pass, the rest through the general reader (d and D exponents too).
enum class RealField : unsigned char { Read, LineEnded, Bad };

IO_RS_ALWAYS_INLINE RealField next_real(FieldSplitter& fields, double& value, std::string_view& field) {
  const char* start = fields.skip_separators();
  const char* line_end = fields.end();
  if (start == line_end) return RealField::LineEnded;
  const auto number = short_decimal::read(start, fields.begin(), line_end, fields.readable());
  if (number && (number->end == line_end || is_separator(static_cast<unsigned char>(*number->end)))) [[likely]] {
    fields.consume(number->end);
    value = number->value;
    return RealField::Read;
  }
  field = fields.next();
  const auto read = read_extxyz_real(field);
  if (!read) return RealField::Bad;
  value = *read;
  return RealField::Read;
}

// The next field when it is ASCII text of at most seven bytes followed by a
// separator (a chemical symbol), taken from one word of the line into texts;
// false, with nothing taken, for any other field.
IO_RS_ALWAYS_INLINE bool next_short_ascii(FieldSplitter& fields, InternedTexts& texts) {
  const char* start = fields.skip_separators();
  if (fields.readable() - start < 8) return false;
  const std::uint64_t word = short_decimal::load8(start);
  // Bytes up to 0x20 (separators among them) have their high bit set in
  // low; so do bytes from 0x80.
  constexpr std::uint64_t kOnes = 0x0101010101010101, kHigh = 0x8080808080808080;
  const std::uint64_t low = ((word - 0x21 * kOnes) | word) & kHigh;
  if (low == 0) return false;
  const int n = std::countr_zero(low) >> 3;
  const auto stop = static_cast<unsigned char>(word >> (8 * n));
  if (n == 0 || start + n > fields.end() || !is_separator(stop)) return false;
  texts.push_back_short({start, static_cast<std::size_t>(n)}, word & ((std::uint64_t{1} << (8 * n)) - 1));
  fields.consume(start + n);
  return true;
}

std::string schema_text(std::span<const Column> columns) {
  std::string text;
  for (const Column& c : columns) {
    if (!text.empty()) text += ':';
    text += c.name;
    text += ':';
    text += type_letter(c.type);
    text += ':';
    text += std::to_string(c.width);
  }
  return text;
}

std::size_t field_count(std::string_view line) {
  FieldSplitter fields(line);
  std::size_t n = 0;
  while (!fields.next().empty()) ++n;
  return n;
}

// The count of a count line: one whole number alone. Nothing when the line
// is something else.
Result<std::optional<std::uint64_t>> read_count(std::string_view line, std::string_view buffer, const Base& base,
                                                std::size_t line_offset) {
  FieldSplitter fields(line);
  const std::string_view field = fields.next();
  if (field.empty() || !fields.next().empty() || !std::all_of(field.begin(), field.end(), [](char c) {
        return c >= '0' && c <= '9';
      }))
    return std::nullopt;
  std::uint64_t count = 0;
  const auto [stop, error] = std::from_chars(field.data(), field.data() + field.size(), count);
  if (error != std::errc() || stop != field.data() + field.size() || count > (~std::size_t{0}) / 64) {
    return at(format_error(kExtxyz, fill_message("atom count '{}' is too large", {field}), field),
              place_of(buffer, base, line_offset));
  }
  return count;
}

bool rest_is_blank(std::string_view rest) {
  return std::all_of(rest.begin(), rest.end(), [](char c) { return is_separator(static_cast<unsigned char>(c)); });
}

std::string_view without_cr(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

std::string quoted_line(std::string_view line) {
  line = without_cr(line);
  if (line.size() > 60) return fill_message("'{}...'", {line.substr(0, 60)});
  return fill_message("'{}'", {line});
}

// A frame's count and comment lines, read from the cursor.
struct FrameHead {
  std::size_t natoms = 0;
  Comment comment;
};

}  // namespace

// The targets of the columns' data, strings into texts[c] when given.
std::vector<ColumnOut> outs_of(std::span<const Column> columns, std::vector<ColumnData>& data,
                               std::vector<InternedTexts>* texts) {
  std::vector<ColumnOut> outs(columns.size());
  for (std::size_t c = 0; c < columns.size(); ++c) {
    switch (columns[c].type) {
      case ValueType::Real: outs[c].values = data[c].reals.data(); break;
      case ValueType::Integer: outs[c].values = data[c].integers.data(); break;
      case ValueType::Logical: outs[c].values = data[c].logicals.data(); break;
      case ValueType::String: outs[c].texts = texts ? &(*texts)[c] : &data[c].texts; break;
    }
  }
  return outs;
}

// One atom line into row `row` of every column; the buffer holding it may be
// read up to readable. With exact, the line must hold no field past the
// schema's.
RowOutcome read_row(std::string_view line, const char* readable, std::span<const Column> columns,
                    std::span<const ColumnOut> outs, std::size_t row, bool exact) {
  FieldSplitter fields(line, readable);
  for (std::size_t c = 0; c < columns.size(); ++c) {
    const Column& column = columns[c];
    const ColumnOut& out = outs[c];
    switch (column.type) {
      case ValueType::Real: {
        double* values = static_cast<double*>(out.values) + row * column.width;
        for (std::size_t j = 0; j < column.width; ++j) {
          std::string_view field;
          const RealField read = next_real(fields, values[j], field);
          if (read != RealField::Read) [[unlikely]] {
            return read == RealField::LineEnded ? RowOutcome{RowProblem::TooFewFields, c, {}}
                                                : RowOutcome{RowProblem::BadValue, c, field};
          }
        }
        break;
      }
      case ValueType::Integer: {
        std::int64_t* values = static_cast<std::int64_t*>(out.values) + row * column.width;
        for (std::size_t j = 0; j < column.width; ++j) {
          const std::string_view field = fields.next();
          if (field.empty()) return {RowProblem::TooFewFields, c, {}};
          const auto value = read_extxyz_integer(field);
          if (!value) return {RowProblem::BadValue, c, field};
          values[j] = *value;
        }
        break;
      }
      case ValueType::Logical: {
        std::uint8_t* values = static_cast<std::uint8_t*>(out.values) + row * column.width;
        for (std::size_t j = 0; j < column.width; ++j) {
          const std::string_view field = fields.next();
          if (field.empty()) return {RowProblem::TooFewFields, c, {}};
          if (field == "T" || field == "True" || field == "true" || field == "TRUE") {
            values[j] = 1;
          } else if (field == "F" || field == "False" || field == "false" || field == "FALSE") {
            values[j] = 0;
          } else {
            return {RowProblem::BadValue, c, field};
          }
        }
        break;
      }
      case ValueType::String:
        for (std::size_t j = 0; j < column.width; ++j) {
          if (next_short_ascii(fields, *out.texts)) continue;
          const std::string_view field = fields.next();
          if (field.empty()) return {RowProblem::TooFewFields, c, {}};
          if (!is_utf8(field)) return {RowProblem::NotUtf8, c, field};
          out.texts->push_back(field);
        }
        break;
    }
  }
  if (exact && !fields.next().empty()) return {RowProblem::TooManyFields, 0, {}};
  return {};
}

Error row_error(const RowOutcome& outcome, std::span<const Column> columns, std::string_view line,
                std::uint64_t frame, std::size_t index) {
  const std::string where = fill_message("frame {}, atom line {}: ", {frame, index + 1});
  std::size_t width = 0;
  for (const Column& c : columns) width += c.width;
  switch (outcome.problem) {
    case RowProblem::TooFewFields:
    case RowProblem::TooManyFields:
      return format_error(kExtxyz, where + fill_message("expected {} fields (Properties={}), got {}",
                                                        {width, schema_text(columns), field_count(line)}))
          .error();
    case RowProblem::NotUtf8:
      return format_error(kExtxyz, where + fill_message("a field of column '{}' is not UTF-8 text",
                                                        {columns[outcome.column].name}))
          .error();
    default: {
      const Column& c = columns[outcome.column];
      const char* what = c.type == ValueType::Real      ? "a real"
                         : c.type == ValueType::Integer ? "a 64-bit integer"
                                                        : "a logical (T or F)";
      return format_error(kExtxyz, where + fill_message("expected {} in column '{}', got '{}'",
                                                        {what, c.name, outcome.field}), outcome.field)
          .error();
    }
  }
}

// Room in every column for `rows` rows.
void reserve_rows(std::span<const Column> columns, std::vector<ColumnData>& data, std::size_t rows) {
  for (std::size_t c = 0; c < columns.size(); ++c) {
    const std::size_t n = checked_size(rows, columns[c].width);
    switch (columns[c].type) {
      case ValueType::Real: data[c].reals.resize(n); break;
      case ValueType::Integer: data[c].integers.resize(n); break;
      case ValueType::Logical: data[c].logicals.resize(n); break;
      case ValueType::String: data[c].texts.reserve(n); break;
    }
  }
}

// The count and comment lines of frame `frame` at the cursor, which moves
// past them. Nothing when only blank lines are left; an error when the
// lines are not those of a frame.
Result<std::optional<FrameLines>> take_frame_lines(std::string_view buffer, const Base& base, LineCursor& lines,
                                                   std::uint64_t frame) {
  const std::size_t count_offset = lines.offset();
  const std::string_view count_line = lines.peek();
  auto count = read_count(count_line, buffer, base, count_offset);
  if (!count) return std::unexpected(std::move(count.error()));
  if (!*count) {
    if (rest_is_blank(buffer.substr(count_offset))) return std::nullopt;
    return expected_error(kExtxyz, "an atom count (one whole number)", quoted_line(count_line),
                          place_of(buffer, base, count_offset));
  }
  lines.next();
  if (lines.done()) {
    return at(format_error(kExtxyz, fill_message("frame {} ends before its comment line", {frame})),
              place_of(buffer, base, count_offset, frame));
  }
  const std::size_t comment_offset = lines.offset();
  return FrameLines{static_cast<std::size_t>(**count), comment_offset, without_cr(lines.next())};
}

// The comment line of frame `frame`, parsed; errors name its place.
Result<Comment> read_comment(std::string_view buffer, const Base& base, std::size_t comment_offset,
                             std::string_view line, std::uint64_t frame) {
  auto comment_place = [&] { return place_of(buffer, base, comment_offset, frame); };
  if (!is_utf8(line)) {
    return at(format_error(kExtxyz, fill_message("the comment line of frame {} is not UTF-8 text", {frame})),
              comment_place());
  }
  auto comment = parse_extxyz_comment(line);
  if (!comment) {
    comment.error().problem = fill_message("frame {}: {}", {frame, comment.error().problem});
    comment.error().place = comment_place();
    return std::unexpected(std::move(comment.error()));
  }
  return comment;
}

std::unexpected<Error> cut_short(std::string_view buffer, const Base& base, std::uint64_t frame,
                                 std::size_t count_offset, std::size_t lines, std::size_t natoms) {
  return at(format_error(kExtxyz, fill_message("frame {} ends after {} of {} atom lines", {frame, lines, natoms})),
            place_of(buffer, base, count_offset, frame));
}

namespace {

Result<std::optional<FrameHead>> take_head(std::string_view buffer, const Base& base, LineCursor& lines,
                                           std::uint64_t frame) {
  auto found = take_frame_lines(buffer, base, lines, frame);
  if (!found) return std::unexpected(std::move(found.error()));
  if (!*found) return std::nullopt;
  auto comment = read_comment(buffer, base, (*found)->comment_offset, (*found)->comment, frame);
  if (!comment) return std::unexpected(std::move(comment.error()));
  return FrameHead{(*found)->natoms, std::move(*comment)};
}

Result<ExtxyzFrames> read_on_one(std::string_view buffer, std::size_t offset, std::optional<std::uint64_t> max_frames,
                                 const Base& base) {
  ExtxyzFrames read;
  LineCursor lines(buffer, offset);
  std::size_t capacity = 0;
  std::vector<ColumnOut> outs;
  read.end = offset;
  while (!lines.done() && (!max_frames || read.counts.size() < *max_frames)) {
    const std::size_t count_offset = lines.offset();
    const std::uint64_t frame = base.frame + read.counts.size() + 1;
    auto head = take_head(buffer, base, lines, frame);
    if (!head) return std::unexpected(std::move(head.error()));
    if (!*head) {
      read.end = buffer.size();
      break;
    }
    Comment& comment = (*head)->comment;
    const std::size_t natoms = (*head)->natoms;
    if (read.counts.empty()) {
      read.columns = std::move(comment.columns);
      read.data.resize(read.columns.size());
    } else if (comment.columns != read.columns) {
      // A frame of another schema starts the next run.
      read.end = count_offset;
      return read;
    }
    const bool exact = !comment.plain;
    {
      // Room for the frame's rows at once, as many as the rest of the buffer
      // could hold (each line at least two bytes a field): a wrong count
      // cannot ask for memory the lines could never fill.
      std::size_t fields = 0;
      for (const Column& c : read.columns) fields += c.width;
      const std::size_t most = (buffer.size() - lines.offset()) / (2 * std::max<std::size_t>(fields, 1)) + 1;
      const std::size_t wanted = read.atoms + std::min(natoms, most);
      if (wanted > capacity || outs.empty()) {
        capacity = std::max(wanted, capacity + capacity / 2);
        reserve_rows(read.columns, read.data, capacity);
        outs = outs_of(read.columns, read.data);
      }
    }
    for (std::size_t i = 0; i < natoms; ++i) {
      if (lines.done()) [[unlikely]] return cut_short(buffer, base, frame, count_offset, i, natoms);
      // Room for the rows as the lines come: a wrong count meets the end of
      // the buffer before it can ask for memory the lines could never fill.
      if (read.atoms == capacity) {
        capacity = std::max<std::size_t>(64, capacity + capacity / 2);
        reserve_rows(read.columns, read.data, capacity);
        outs = outs_of(read.columns, read.data);
      }
      const std::size_t line_offset = lines.offset();
      const std::string_view atom_line = lines.next();
      const RowOutcome outcome = read_row(atom_line, buffer.data() + buffer.size(), read.columns, outs, read.atoms, exact);
      if (outcome.problem != RowProblem::None) [[unlikely]] {
        return at(std::unexpected(row_error(outcome, read.columns, atom_line, frame, i)),
                  place_of(buffer, base, line_offset, frame));
      }
      ++read.atoms;
    }
    comment.columns.clear();
    read.comments.push_back(std::move(comment));
    read.counts.push_back(natoms);
    read.end = lines.offset();
  }
  if (read.counts.empty() && read.end < buffer.size() && lines.done()) read.end = buffer.size();
  reserve_rows(read.columns, read.data, read.atoms);
  return read;
}

}  // namespace

Result<ExtxyzFrames> read_extxyz_frames(std::string_view buffer, std::size_t offset,
                                        std::optional<std::uint64_t> max_frames, const Base& base,
                                        std::size_t threads, CommentSink* sink) {
  if (offset > buffer.size()) {
    return value_error(fill_message("read_extxyz_frames: offset {} is past the end of the buffer ({} bytes)",
                                    {offset, buffer.size()}));
  }
  if (threads > 1) {
    if (auto one = read_extxyz_one_frame(buffer, offset, max_frames, base, threads)) return std::move(*one);
    return read_extxyz_on_threads(buffer, offset, max_frames, base, threads, sink);
  }
  return read_on_one(buffer, offset, max_frames, base);
}

}  // namespace io_rs::xyz
