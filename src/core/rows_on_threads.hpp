// Rows of consecutive lines read on threads straight into their place: the
// lines from `from` to the end of the buffer cut into ranges at line starts,
// one a thread. The first range's rows start at row 0, so its thread reads
// at once; the thread of each other range first counts the line ends of the
// range before its own, and once all are counted knows its first row. The
// first range is made a little larger for that.
#pragma once

#include <barrier>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/line_cursor.hpp"
#include "core/line_cuts.hpp"
#include "core/parallel.hpp"

namespace io_rs {

// What counting a range's line ends costs beside reading its rows.
inline constexpr double kCountShare = 0.05;

// read(t, first, stop, begin, end) reads rows [first, stop) from the line
// that starts at begin, and none that starts at or past end: the first
// range's stop is `rows`, and so is the last one's (its lines run to the end
// of the buffer); the others stop where the next range starts. Nothing
// checks that the lines hold `rows` rows: the reader sees where they end.
template <class Read>
void read_rows_on_threads(std::string_view buffer, std::size_t from, std::uint64_t rows, std::size_t threads,
                          Read&& read) {
  const std::size_t bytes = buffer.size() - from;
  const double extra = static_cast<double>(bytes) * kCountShare / (static_cast<double>(threads) + kCountShare);
  LineCuts cuts = cut_at_line_starts(buffer, from + static_cast<std::size_t>(extra), buffer.size(), threads);
  cuts.starts[0] = from;
  // The last range is not counted: its rows run to `rows` or to the end of
  // the lines, whichever comes first.
  std::vector<std::uint64_t> ends(threads, 0);
  std::barrier counted(static_cast<std::ptrdiff_t>(threads - 1), [&]() noexcept {
    for (std::size_t t = 0; t + 1 < threads; ++t) cuts.rows[t + 1] = cuts.rows[t] + ends[t];
  });
  run_parts(threads, [&](std::size_t t) {
    if (t == 0) {
      read(std::size_t{0}, std::uint64_t{0}, rows, cuts.starts[0], cuts.starts[1]);
      return;
    }
    ends[t - 1] = count_line_ends(buffer.data() + cuts.starts[t - 1], buffer.data() + cuts.starts[t]);
    counted.arrive_and_wait();
    const auto [first, stop] = part_rows(cuts, t, rows);
    read(t, first, stop, cuts.starts[t], cuts.starts[t + 1]);
  }, [&](std::size_t never) {
    for (std::size_t k = 0; k < never; ++k) counted.arrive_and_drop();
  });
}

}  // namespace io_rs
