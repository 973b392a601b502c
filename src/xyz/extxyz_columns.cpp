// The atom lines of extended XYZ frames, read by a row reader that the
// column schema drives: one pass over the line's fields, each column's
// fields read as its type straight into that column's buffer. Frames that
// share a schema are read in one run into the same buffers, so that a
// training set of many small frames costs one call, not one per frame.
#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "core/fields.hpp"
#include "core/line_cursor.hpp"
#include "core/atom_runs.hpp"
#include "core/message.hpp"
#include "core/number_read.hpp"
#include "core/parallel.hpp"
#include "core/portable.hpp"
#include "core/short_decimal.hpp"
#include "core/utf8.hpp"
#include "xyz/extxyz.hpp"

namespace io_rs::xyz {
namespace {

enum class RowProblem : unsigned char { None, TooFewFields, TooManyFields, BadValue, NotUtf8 };

struct RowOutcome {
  RowProblem problem = RowProblem::None;
  std::size_t column = 0;
  std::string_view field;
};

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

// Where a reader puts a column's fields: the row-major buffer of a numeric
// column, the list of a string column (one per thread that reads).
struct ColumnOut {
  void* values = nullptr;
  InternedTexts* texts = nullptr;
};

// The targets of the columns' data, strings into texts[c] when given.
std::vector<ColumnOut> outs_of(std::span<const Column> columns, std::vector<ColumnData>& data,
                               std::vector<InternedTexts>* texts = nullptr) {
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

// A frame's count line read and its comment line found, not yet parsed.
struct FrameLines {
  std::size_t natoms = 0;
  std::size_t comment_offset = 0;
  std::string_view comment;  // without its CR
};

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

Result<std::optional<FrameHead>> take_head(std::string_view buffer, const Base& base, LineCursor& lines,
                                           std::uint64_t frame) {
  auto found = take_frame_lines(buffer, base, lines, frame);
  if (!found) return std::unexpected(std::move(found.error()));
  if (!*found) return std::nullopt;
  auto comment = read_comment(buffer, base, (*found)->comment_offset, (*found)->comment, frame);
  if (!comment) return std::unexpected(std::move(comment.error()));
  return FrameHead{(*found)->natoms, std::move(*comment)};
}

std::unexpected<Error> cut_short(std::string_view buffer, const Base& base, std::uint64_t frame,
                                 std::size_t count_offset, std::size_t lines, std::size_t natoms) {
  return at(format_error(kExtxyz, fill_message("frame {} ends after {} of {} atom lines", {frame, lines, natoms})),
            place_of(buffer, base, count_offset, frame));
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

// What ends a run of frames at a place in the file: (frame, where in it),
// where -2 is its count line, -1 its comment and a row number its atom line;
// an error, or none for a frame of another schema.
struct Stop {
  std::size_t frame = SIZE_MAX;
  std::int64_t where = 0;
  std::optional<Error> error;
  bool before(const Stop& other) const {
    return frame != other.frame ? frame < other.frame : where < other.where;
  }
};

// The frames on threads. One pass finds each frame's count line, comment
// line and atom lines (line ends only); the comment lines are parsed and the
// atom lines read on the threads, in runs (a frame much larger than a
// thread's share cut at line starts, its comment parsed before), straight
// into the columns. String columns are read into a list a thread, joined in
// file order. What one thread would stop at, the first in file order of
// them all wins: a count line that fails or a frame cut short (the pass
// ends there), a comment that fails, a comment of another schema (the run
// of frames ends before it), an atom line that fails. Each thread stops at
// the first it meets, since none after it can matter.
Result<ExtxyzFrames> read_on_threads(std::string_view buffer, std::size_t offset,
                                     std::optional<std::uint64_t> max_frames, const Base& base, std::size_t threads) {
  struct Found {
    std::size_t natoms;  // atom lines present (all of them but in a frame cut short)
    std::size_t count_offset, comment_offset;
    std::string_view comment;
    std::size_t atoms_start, atoms_end, first_atom;
  };
  std::vector<Found> found;
  Stop stop;
  ExtxyzFrames read;
  LineCursor lines(buffer, offset);
  read.end = offset;
  std::size_t atoms = 0;
  std::optional<LineCuts> first_cuts;
  while (!lines.done() && (!max_frames || found.size() < *max_frames)) {
    const std::size_t count_offset = lines.offset();
    const std::uint64_t frame = base.frame + found.size() + 1;
    auto head = take_frame_lines(buffer, base, lines, frame);
    if (!head) {
      stop = {found.size(), -2, std::move(head.error())};
      break;
    }
    if (!*head) {
      read.end = buffer.size();
      break;
    }
    const std::size_t natoms = (*head)->natoms;
    const std::size_t atoms_start = lines.offset();
    std::size_t skipped;
    if (found.empty() && (first_cuts = cut_frame_to_end(buffer, atoms_start, natoms,
                                                                threads_for(threads, buffer.size() - atoms_start)))) {
      lines = LineCursor(buffer, buffer.size());
      skipped = natoms;
    } else {
      skipped = lines.skip(natoms);
    }
    found.push_back({skipped, count_offset, (*head)->comment_offset, (*head)->comment, atoms_start, lines.offset(),
                     atoms});
    atoms += skipped;
    if (skipped < natoms) {
      stop = {found.size() - 1, INT64_MAX, cut_short(buffer, base, frame, count_offset, skipped, natoms).error()};
      break;
    }
    read.counts.push_back(natoms);
    read.end = lines.offset();
  }
  if (found.empty() && read.end < buffer.size() && lines.done()) read.end = buffer.size();
  if (found.empty()) {
    if (stop.error) return std::unexpected(std::move(*stop.error));
    return read;
  }

  // The comments of the first frame (its schema is the run's) and of frames
  // cut for the threads, before the threads start.
  threads = threads_for(threads, found.back().atoms_end - found.front().atoms_start);
  const AtomRunPlan plan = plan_atom_runs(buffer, found, atoms, threads, first_cuts);
  read.comments.resize(found.size());
  std::vector<std::uint8_t> parsed(found.size(), 0), exact(found.size(), 0);
  std::vector<Stop> stops(threads);
  // Parses frame k's comment into place; false with a stop when it fails or
  // names another schema.
  auto take_comment = [&](std::size_t k, Stop& at_stop) {
    const Found& f = found[k];
    auto comment = read_comment(buffer, base, f.comment_offset, f.comment, base.frame + k + 1);
    if (!comment) {
      at_stop = {k, -1, std::move(comment.error())};
      return false;
    }
    if (k == 0) {
      read.columns = std::move(comment->columns);
    } else if (comment->columns != read.columns) {
      at_stop = {k, -1, std::nullopt};
      return false;
    }
    comment->columns.clear();
    exact[k] = !comment->plain;
    read.comments[k] = std::move(*comment);
    parsed[k] = 1;
    return true;
  };
  Stop early;
  bool usable = take_comment(0, early);
  if (!usable) return std::unexpected(std::move(*early.error));  // nothing comes before it
  for (const AtomRun& run : plan.runs) {
    if (usable && run.first_row > 0 && !parsed[run.frame]) usable = take_comment(run.frame, early);
  }

  read.data.resize(read.columns.size());
  reserve_rows(read.columns, read.data, atoms);
  std::vector<std::vector<InternedTexts>> texts(threads, std::vector<InternedTexts>(read.columns.size()));
  run_parts(threads, [&](std::size_t t) {
    const std::vector<ColumnOut> outs = outs_of(read.columns, read.data, &texts[t]);
    for (std::size_t r = plan.part_start[t]; r < plan.part_start[t + 1]; ++r) {
      const AtomRun& run = plan.runs[r];
      const std::size_t k = run.frame;
      // Nothing past an early stop is needed.
      if (!usable && early.before(Stop{k, static_cast<std::int64_t>(run.first_row), std::nullopt})) return;
      if (run.first_row == 0 && !parsed[k] && !take_comment(k, stops[t])) return;
      const Found& frame = found[k];
      LineCursor atom_lines(buffer, run.start);
      for (std::size_t i = run.first_row; i < run.first_row + run.rows; ++i) {
        const std::size_t line_offset = atom_lines.offset();
        const std::string_view atom_line = atom_lines.next();
        const RowOutcome outcome = read_row(atom_line, buffer.data() + buffer.size(), read.columns, outs,
                                            frame.first_atom + i, exact[k]);
        if (outcome.problem != RowProblem::None) [[unlikely]] {
          const std::uint64_t number = base.frame + k + 1;
          stops[t] = {k, static_cast<std::int64_t>(i),
                      at(std::unexpected(row_error(outcome, read.columns, atom_line, number, i)),
                         place_of(buffer, base, line_offset, number)).error()};
          return;
        }
      }
    }
  });
  // The first stop in the file.
  Stop* first = &stop;
  if (!usable && early.before(*first)) first = &early;
  for (Stop& s : stops) {
    if (s.before(*first)) first = &s;
  }
  // Frames without atom lines have no run: their comments, in file order,
  // up to the first stop.
  Stop late;
  for (std::size_t k = 1; k < found.size() && Stop{k, -1, std::nullopt}.before(*first); ++k) {
    if (found[k].natoms == 0 && !parsed[k] && !take_comment(k, late)) {
      first = &late;
      break;
    }
  }
  if (first->error) return std::unexpected(std::move(*first->error));
  const std::size_t kept = first->frame == SIZE_MAX ? found.size() : first->frame;
  std::size_t kept_atoms = atoms;
  if (kept < found.size()) {
    // A frame of another schema: the run ends before it.
    kept_atoms = found[kept].first_atom;
    read.end = found[kept].count_offset;
    read.counts.resize(kept);
    read.comments.resize(kept);
    reserve_rows(read.columns, read.data, kept_atoms);
  }
  read.atoms = kept_atoms;
  for (std::size_t c = 0; c < read.columns.size(); ++c) {
    if (read.columns[c].type != ValueType::String) continue;
    InternedTexts joined = std::move(texts[0][c]);
    for (std::size_t t = 1; t < threads; ++t) joined.append(texts[t][c]);
    if (joined.size() > kept_atoms) {
      // Only the texts of the frames kept, so that no other sets the width.
      InternedTexts kept_texts;
      kept_texts.reserve(kept_atoms);
      for (std::size_t i = 0; i < kept_atoms; ++i) kept_texts.push_back(joined[i]);
      joined = std::move(kept_texts);
    }
    read.data[c].texts = std::move(joined);
  }
  return read;
}

// Many small frames on threads, the pass over them and their reading
// overlapping. The pass cuts the frames into stages of about equal bytes;
// each stage, once passed, is read whole (comment, then atom lines, frame by
// frame) by the first thread free: workers take stages from the front, the
// calling thread, its pass done, from the back. The columns are made when
// the first stage is passed, for the rows the rest of the buffer likely
// holds; a pass that finds more waits for the stages being read and makes
// room for all before the rest are read. String columns are read into a
// list a stage, joined in file order; the first stop in file order wins, as
// with one thread. Nothing when the first frame is large: read_on_threads
// cuts it for the threads.
struct StagedFrame {
  std::size_t natoms;  // atom lines present (all of them but in a frame cut short)
  std::size_t count_offset, comment_offset;
  std::string_view comment;
  std::size_t atoms_start, first_atom;
};

struct Stage {
  std::size_t first_frame = 0;
  std::vector<StagedFrame> frames;
  std::vector<Comment> comments;     // its frames', up to its stop
  std::vector<InternedTexts> texts;  // a string column's fields, one a column
  Stop stop;
};

// Stages a thread's share is cut into: the last stages taken end about
// together.
constexpr std::size_t kStagesPerThread = 64;
constexpr std::size_t kLeastStageBytes = std::min<std::size_t>(std::size_t{1} << 14, kMinBytesPerThread);

std::optional<Result<ExtxyzFrames>> read_staged(std::string_view buffer, std::size_t offset,
                                                std::optional<std::uint64_t> max_frames, const Base& base,
                                                std::size_t threads, CommentSink* sink) {
  if (max_frames && *max_frames == 0) return std::nullopt;
  ExtxyzFrames read;
  read.end = offset;
  LineCursor lines(buffer, offset);
  // The first frame: its schema is the run's, and its size says whether
  // the frames are small.
  auto head = take_frame_lines(buffer, base, lines, base.frame + 1);
  if (!head || !*head) return std::nullopt;
  const std::size_t remaining = buffer.size() - offset;
  {
    const std::string_view first_atom_line = lines.peek();
    if ((**head).natoms > remaining / (4 * threads) / (first_atom_line.size() + 1)) return std::nullopt;
  }
  auto first_comment = read_comment(buffer, base, (**head).comment_offset, (**head).comment, base.frame + 1);
  if (!first_comment) return std::unexpected(std::move(first_comment.error()));  // nothing comes before it
  read.columns = std::move(first_comment->columns);
  first_comment->columns.clear();
  read.data.resize(read.columns.size());

  const std::size_t stage_bytes = std::max(kLeastStageBytes, remaining / (threads * kStagesPerThread) + 1);
  std::vector<Stage> stages(remaining / stage_bytes + 2);
  std::size_t capacity = 0;  // rows the columns have room for

  std::mutex claims;
  std::size_t published = 0, front = 0, back = 0, reading = 0;
  bool pass_done = false;
  std::vector<std::size_t> read_stages;  // in the order they were read, for the sink
  read_stages.reserve(stages.size());

  auto read_stage = [&](Stage& stage) {
    stage.texts.assign(read.columns.size(), InternedTexts{});
    const std::vector<ColumnOut> outs = outs_of(read.columns, read.data, &stage.texts);
    stage.comments.reserve(stage.frames.size());
    for (std::size_t f = 0; f < stage.frames.size(); ++f) {
      const StagedFrame& frame = stage.frames[f];
      const std::size_t k = stage.first_frame + f;
      const std::uint64_t number = base.frame + k + 1;
      if (k == 0) {
        stage.comments.push_back(std::move(*first_comment));
      } else {
        auto comment = read_comment(buffer, base, frame.comment_offset, frame.comment, number);
        if (!comment) {
          stage.stop = {k, -1, std::move(comment.error())};
          return;
        }
        if (comment->columns != read.columns) {
          stage.stop = {k, -1, std::nullopt};
          return;
        }
        comment->columns.clear();
        stage.comments.push_back(std::move(*comment));
      }
      const bool exact = !stage.comments.back().plain;
      LineCursor atom_lines(buffer, frame.atoms_start);
      for (std::size_t i = 0; i < frame.natoms; ++i) {
        const std::size_t line_offset = atom_lines.offset();
        const std::string_view atom_line = atom_lines.next();
        const RowOutcome outcome = read_row(atom_line, buffer.data() + buffer.size(), read.columns, outs,
                                            frame.first_atom + i, exact);
        if (outcome.problem != RowProblem::None) [[unlikely]] {
          stage.stop = {k, static_cast<std::int64_t>(i),
                        at(std::unexpected(row_error(outcome, read.columns, atom_line, number, i)),
                           place_of(buffer, base, line_offset, number)).error()};
          return;
        }
      }
    }
  };
  // Workers: stages from the front, until the pass is done and none is left.
  auto work = [&] {
    for (;;) {
      std::size_t s = SIZE_MAX;
      {
        std::lock_guard hold(claims);
        if (front < published && (!pass_done || front < back)) {
          s = front++;
          ++reading;
        } else if (pass_done && front >= back) {
          return;
        }
      }
      if (s == SIZE_MAX) {
        std::this_thread::yield();
        continue;
      }
      // Done with the stage on every path, a failure too, so that a pass
      // waiting for the stages being read does not wait for ever.
      struct Reading {
        std::mutex& claims;
        std::size_t& reading;
        ~Reading() {
          std::lock_guard hold(claims);
          --reading;
        }
      } done_reading{claims, reading};
      read_stage(stages[s]);
      std::lock_guard hold(claims);
      read_stages.push_back(s);
    }
  };

  Stop pass_stop;
  std::size_t frames = 0, atoms = 0, passed = 0;
  auto publish = [&] {
    // Room for the rows the rest of the buffer likely holds, once the first
    // stage shows how long an atom line is.
    if (capacity == 0) {
      const std::size_t covered = std::max<std::size_t>(lines.offset() - offset, 1);
      const double likely = static_cast<double>(atoms) * static_cast<double>(remaining) / static_cast<double>(covered);
      capacity = std::min<std::size_t>(static_cast<std::size_t>(likely * 1.125) + 64, remaining / 2 + 1);
      reserve_rows(read.columns, read.data, std::max(capacity, atoms));
      capacity = std::max(capacity, atoms);
    }
    ++passed;
    if (atoms <= capacity) {
      std::lock_guard hold(claims);
      if (published + 1 == passed) published = passed;
    }
  };
  auto pass = [&] {
    // Marks the pass done on every path, so that no worker waits for it.
    struct Done {
      std::mutex& claims;
      bool& pass_done;
      std::size_t& back;
      std::size_t& published;
      ~Done() {
        std::lock_guard hold(claims);
        pass_done = true;
        back = published;
      }
    } done{claims, pass_done, back, published};
    Stage* stage = &stages[0];
    std::size_t stage_end = offset + stage_bytes;
    std::optional<FrameLines> next = std::move(*head);
    for (;;) {
      const std::size_t count_offset = lines.offset();
      const std::uint64_t number = base.frame + frames + 1;
      if (frames > 0) {
        if (lines.done() || (max_frames && frames >= *max_frames)) break;
        if (count_offset >= stage_end) {
          publish();
          stage = &stages[passed];
          stage->first_frame = frames;
          stage_end = count_offset + stage_bytes;
        }
        auto found = take_frame_lines(buffer, base, lines, number);
        if (!found) {
          pass_stop = {frames, -2, std::move(found.error())};
          break;
        }
        if (!*found) {
          read.end = buffer.size();
          break;
        }
        next = std::move(*found);
      }
      const std::size_t natoms = next->natoms;
      const std::size_t atoms_start = lines.offset();
      const std::size_t skipped = lines.skip(natoms);
      stage->frames.push_back({skipped, frames == 0 ? offset : count_offset, next->comment_offset, next->comment,
                               atoms_start, atoms});
      atoms += skipped;
      ++frames;
      if (skipped < natoms) {
        pass_stop = {frames - 1, INT64_MAX,
                     cut_short(buffer, base, number, stage->frames.back().count_offset, skipped, natoms).error()};
        break;
      }
      read.counts.push_back(natoms);
      read.end = lines.offset();
    }
    publish();
    if (published < passed) {
      // More rows than there was room for: once the stages being read are
      // done, room for all, and the rest published.
      for (;;) {
        {
          std::lock_guard hold(claims);
          if (front == published && reading == 0) break;
        }
        std::this_thread::yield();
      }
      reserve_rows(read.columns, read.data, atoms);
      capacity = atoms;
      std::lock_guard hold(claims);
      published = passed;
    }
  };

  run_parts(threads, [&](std::size_t t) {
    if (t > 0) {
      work();
      return;
    }
    pass();
    // Then stages from the back, and between them the comments of the
    // stages read so far to the sink.
    std::size_t sunk = 0;  // of read_stages
    for (;;) {
      std::size_t s = SIZE_MAX;
      bool to_sink = true;
      {
        std::lock_guard hold(claims);
        if (sink != nullptr && sunk < read_stages.size()) {
          s = read_stages[sunk++];
        } else if (back > front) {
          s = --back;
          to_sink = false;
        } else {
          break;
        }
      }
      if (to_sink) {
        if (!sink->take(stages[s].first_frame, stages[s].comments)) sink = nullptr;
        continue;
      }
      read_stage(stages[s]);
      std::lock_guard hold(claims);
      read_stages.push_back(s);
    }
  });

  // The first stop in the file.
  const Stop* first = &pass_stop;
  for (std::size_t s = 0; s < passed; ++s) {
    if (stages[s].stop.before(*first)) first = &stages[s].stop;
  }
  if (first->error) return Result<ExtxyzFrames>(std::unexpected(std::move(*first->error)));
  const std::size_t kept = first->frame == SIZE_MAX ? frames : first->frame;
  std::size_t kept_atoms = atoms;
  if (kept < frames) {
    // A frame of another schema: the run ends before it.
    const Stage& holder = *std::find_if(stages.rbegin() + static_cast<std::ptrdiff_t>(stages.size() - passed),
                                        stages.rend(), [&](const Stage& s) { return s.first_frame <= kept; });
    const StagedFrame& frame = holder.frames[kept - holder.first_frame];
    kept_atoms = frame.first_atom;
    read.end = frame.count_offset;
    read.counts.resize(kept);
  }
  reserve_rows(read.columns, read.data, kept_atoms);
  read.atoms = kept_atoms;
  read.comments.reserve(kept);
  for (std::size_t s = 0; s < passed && read.comments.size() < kept; ++s) {
    for (Comment& comment : stages[s].comments) {
      if (read.comments.size() == kept) break;
      read.comments.push_back(std::move(comment));
    }
  }
  for (std::size_t c = 0; c < read.columns.size(); ++c) {
    if (read.columns[c].type != ValueType::String) continue;
    std::size_t texts = 0, joined_stages = 1;
    for (; joined_stages < passed && stages[joined_stages].first_frame < kept; ++joined_stages) {
      texts += stages[joined_stages].texts[c].size();
    }
    InternedTexts joined = std::move(stages[0].texts[c]);
    joined.reserve(joined.size() + texts);
    for (std::size_t s = 1; s < joined_stages; ++s) joined.append(stages[s].texts[c]);
    if (joined.size() > kept_atoms) {
      InternedTexts kept_texts;
      kept_texts.reserve(kept_atoms);
      for (std::size_t i = 0; i < kept_atoms; ++i) kept_texts.push_back(joined[i]);
      joined = std::move(kept_texts);
    }
    read.data[c].texts = std::move(joined);
  }
  return Result<ExtxyzFrames>(std::move(read));
}

}  // namespace

Result<ExtxyzFrames> read_extxyz_frames(std::string_view buffer, std::size_t offset,
                                        std::optional<std::uint64_t> max_frames, const Base& base,
                                        std::size_t threads, CommentSink* sink) {
  if (offset > buffer.size()) {
    return value_error(fill_message("read_extxyz_frames: offset {} is past the end of the buffer ({} bytes)",
                                    {offset, buffer.size()}));
  }
  if (const std::size_t parts = threads_for(threads, buffer.size() - offset); parts > 1) {
    if (auto staged = read_staged(buffer, offset, max_frames, base, parts, sink)) return std::move(*staged);
    return read_on_threads(buffer, offset, max_frames, base, threads);
  }
  return read_on_one(buffer, offset, max_frames, base);
}

}  // namespace io_rs::xyz
