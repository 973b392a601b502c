// Rows of consecutive lines read on threads straight into their place: the
// lines cut into ranges (line_ranges.hpp) that the threads claim in turn,
// each range's first row found without waiting for the ranges before it.
// The range that holds the last row wanted, or a failure, ends the reading:
// ranges after it are not read.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/line_ranges.hpp"
#include "core/parallel.hpp"

namespace io_rs {

struct RowsRead {
  std::uint64_t lines = 0;  // lines read
  bool ended = false;       // a failure, or the last row wanted read: nothing after it matters
};

// read(k, first_row, begin, end) reads the lines of range k that start in
// [begin, end) as rows first_row, first_row + 1, ..., never row `rows` or
// beyond. Returns the range that ended the reading, or ranges.size() when
// none did: the lines ran out before the rows.
template <class Read>
std::size_t read_rows_on_threads(LineRanges& ranges, std::uint64_t rows, std::size_t threads, Read&& read) {
  return run_claimed_until(threads, ranges.size(), [&](std::size_t k) {
    const std::uint64_t first = ranges.first_row(k);
    if (first >= rows) return true;  // every row wanted is before this range
    const LineRanges::Bounds bounds = ranges.bounds(k);
    const RowsRead done = read(k, first, bounds.begin, bounds.end);
    if (!done.ended) ranges.read_whole(k, done.lines);
    return done.ended;
  });
}

}  // namespace io_rs
