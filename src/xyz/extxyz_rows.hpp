// What the readers of extended XYZ frames share, on one thread and on
// several: the row reader that the column schema drives, and the count and
// comment lines of a frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/interned_texts.hpp"
#include "core/line_cursor.hpp"
#include "xyz/extxyz.hpp"

namespace io_rs::xyz {

enum class RowProblem : unsigned char { None, TooFewFields, TooManyFields, BadValue, NotUtf8 };

struct RowOutcome {
  RowProblem problem = RowProblem::None;
  std::size_t column = 0;
  std::string_view field;
};

// Where a reader puts a column's fields: the row-major buffer of a numeric
// column, the list of a string column (one per thread that reads).
struct ColumnOut {
  void* values = nullptr;
  InternedTexts* texts = nullptr;
};

// The targets of the columns' data, strings into texts[c] when given.
std::vector<ColumnOut> outs_of(std::span<const Column> columns, std::vector<ColumnData>& data,
                               std::vector<InternedTexts>* texts = nullptr);

// One atom line into row `row` of every column; the buffer holding it may be
// read up to readable. With exact, the line must hold no field past the
// schema's.
RowOutcome read_row(std::string_view line, const char* readable, std::span<const Column> columns,
                    std::span<const ColumnOut> outs, std::size_t row, bool exact);

// The error of an atom line that failed: row `index` of frame `frame`.
Error row_error(const RowOutcome& outcome, std::span<const Column> columns, std::string_view line,
                std::uint64_t frame, std::size_t index);

// Room in every column for `rows` rows.
void reserve_rows(std::span<const Column> columns, std::vector<ColumnData>& data, std::size_t rows);

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
                                                   std::uint64_t frame);

// The comment line of frame `frame`, parsed; errors name its place.
Result<Comment> read_comment(std::string_view buffer, const Base& base, std::size_t comment_offset,
                             std::string_view line, std::uint64_t frame);

// Frame `frame`, whose count line is at count_offset, has only `lines` of
// its natoms atom lines.
std::unexpected<Error> cut_short(std::string_view buffer, const Base& base, std::uint64_t frame,
                                 std::size_t count_offset, std::size_t lines, std::size_t natoms);

// Frames on threads (threads > 1): read_extxyz_one_frame for a file of
// one large frame (nothing for anything else), read_extxyz_on_threads for
// any, on as many threads as the frames it finds pay for; the comments of
// frames read go to the sink, if any, while the other threads read on.
Result<ExtxyzFrames> read_extxyz_on_threads(std::string_view buffer, std::size_t offset,
                                            std::optional<std::uint64_t> max_frames, const Base& base,
                                            std::size_t threads, CommentSink* sink);
std::optional<Result<ExtxyzFrames>> read_extxyz_one_frame(std::string_view buffer, std::size_t offset,
                                                          std::optional<std::uint64_t> max_frames, const Base& base,
                                                          std::size_t threads);

}  // namespace io_rs::xyz
