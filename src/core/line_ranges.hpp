// A run of lines cut into ranges at line starts, for threads that claim the
// ranges one at a time: range k starts at the first line start at or after
// from + k * range_bytes and ends where range k + 1 starts. Whoever claims a
// range finds its first row (the line ends before it) by adding up the line
// counts of the ranges before its own, counting itself those nobody has
// counted yet (usually the range another thread is reading), so that no
// thread ever waits for another; a thread that read a range whole records
// its count, and the thread that claims the next range, often the same one,
// counts nothing.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "core/line_cursor.hpp"

namespace io_rs {

class LineRanges {
 public:
  // [from, to) of buffer; to is the end of the buffer or a line start.
  LineRanges(std::string_view buffer, std::size_t from, std::size_t to, std::size_t range_bytes)
      : buffer_(buffer), from_(from), to_(to), range_bytes_(range_bytes < 1 ? 1 : range_bytes),
        count_((to - from) / range_bytes_ + 1),
        ends_(new std::atomic<std::uint64_t>[count_]), rows_(new std::atomic<std::uint64_t>[count_]) {
    for (std::size_t k = 0; k < count_; ++k) {
      ends_[k].store(kUnknown, std::memory_order_relaxed);
      rows_[k].store(k == 0 ? 0 : kUnknown, std::memory_order_relaxed);
    }
  }

  std::size_t size() const noexcept { return count_; }
  std::size_t to() const noexcept { return to_; }

  struct Bounds {
    std::size_t begin, end;
  };
  // Where range k starts and ends (equal for a range that holds no line
  // start, inside a long line).
  Bounds bounds(std::size_t k) const noexcept { return {start_of(k), start_of(k + 1)}; }

  // The line ends before range k. Safe on any thread at any time.
  std::uint64_t first_row(std::size_t k) noexcept {
    std::size_t j = k;
    std::uint64_t rows = rows_[j].load(std::memory_order_acquire);
    while (rows == kUnknown) rows = rows_[--j].load(std::memory_order_acquire);
    for (; j < k; ++j) {
      std::uint64_t ends = ends_[j].load(std::memory_order_acquire);
      if (ends == kUnknown) {
        const Bounds b = bounds(j);
        ends = count_line_ends(buffer_.data() + b.begin, buffer_.data() + b.end);
        ends_[j].store(ends, std::memory_order_release);
      }
      rows += ends;
      rows_[j + 1].store(rows, std::memory_order_release);
    }
    return rows;
  }

  // Range k was read whole, `lines` lines: its count, for those after it.
  void read_whole(std::size_t k, std::uint64_t lines) noexcept {
    const Bounds b = bounds(k);
    // A last line without LF holds no line end.
    if (b.end == buffer_.size() && b.end > b.begin && buffer_.back() != '\n') --lines;
    ends_[k].store(lines, std::memory_order_release);
  }

 private:
  static constexpr std::uint64_t kUnknown = ~std::uint64_t{0};

  std::size_t start_of(std::size_t k) const noexcept {
    if (k == 0) return from_;
    if (k >= count_ || (to_ - from_) / k < range_bytes_) return to_;
    const std::size_t cut = from_ + k * range_bytes_;
    if (buffer_[cut - 1] == '\n') return cut;
    const void* lf = std::memchr(buffer_.data() + cut, '\n', to_ - cut);
    return lf == nullptr ? to_ : static_cast<std::size_t>(static_cast<const char*>(lf) - buffer_.data()) + 1;
  }

  std::string_view buffer_;
  std::size_t from_, to_, range_bytes_, count_;
  std::unique_ptr<std::atomic<std::uint64_t>[]> ends_;  // a range's line ends, once known
  std::unique_ptr<std::atomic<std::uint64_t>[]> rows_;  // the line ends before a range, once known
};

}  // namespace io_rs
