// A run of lines cut into parts for threads, at line starts, with the number
// of lines before each cut, so that part t knows which rows its lines are
// without reading the parts before it.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace io_rs {

struct LineCuts {
  std::vector<std::size_t> starts;  // parts + 1 offsets: where each part starts, then the end
  std::vector<std::uint64_t> rows;  // parts + 1 counts: the line ends before each start
};

// [from, to) of buffer cut into parts of about equal bytes at line starts;
// the line ends of each part are counted on threads of their own.
LineCuts cut_lines(std::string_view buffer, std::size_t from, std::size_t to, std::size_t parts);
// The same cuts with their rows left at zero, for threads that count their
// own parts.
LineCuts cut_at_line_starts(std::string_view buffer, std::size_t from, std::size_t to, std::size_t parts);

// The lines of a range cut up to the end of the buffer: its line ends, and
// one more for a last line without LF.
inline std::uint64_t lines_to_end(const LineCuts& cuts, std::string_view buffer) noexcept {
  const std::size_t parts = cuts.starts.size() - 1;
  const bool open_last_line = buffer.size() > cuts.starts[0] && buffer.back() != '\n';
  return cuts.rows[parts] + (open_last_line ? 1 : 0);
}

// Of the first `rows` lines of the cut range, those of part t: [first, stop).
// A last line without LF belongs to the part it starts in, the last one that
// holds any text; parts after it hold none.
struct PartRows {
  std::uint64_t first, stop;
};
inline PartRows part_rows(const LineCuts& cuts, std::size_t t, std::uint64_t rows) noexcept {
  const std::size_t parts = cuts.starts.size() - 1;
  const std::uint64_t first = cuts.rows[t] < rows ? cuts.rows[t] : rows;
  if (cuts.starts[t] == cuts.starts[parts]) return {first, first};
  const bool text_after = t + 1 < parts && cuts.starts[t + 1] < cuts.starts[parts];
  const std::uint64_t stop = !text_after ? rows : cuts.rows[t + 1] < rows ? cuts.rows[t + 1] : rows;
  return {first, stop};
}

}  // namespace io_rs
