// The lines of a file's bytes, one at a time, for readers that take the
// whole file instead of a list of lines. A line ends at LF, which is not
// part of it; the CR of a CR LF ending stays in the line, where field
// splitting takes it for a separator. The last line may end at the end of
// the buffer without LF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace io_rs {

// The LF bytes in [begin, end). The inner loop over a fixed block of 64
// bytes with a byte-sized sum is one that compilers turn into vector
// compares (tens of GB/s from cache, where std::count manages a few):
// scanners and the thread cuts count whole frames this way.
inline std::size_t count_line_ends(const char* begin, const char* end) noexcept {
  std::size_t count = 0;
  for (; end - begin >= 64; begin += 64) {
    unsigned char block = 0;  // at most 64
    for (int i = 0; i < 64; ++i) block += static_cast<unsigned char>(begin[i] == '\n');
    count += block;
  }
  for (; begin != end; ++begin) count += *begin == '\n';
  return count;
}

class LineCursor {
 public:
  LineCursor(std::string_view buffer, std::size_t offset) noexcept
      : begin_(buffer.data()), pos_(buffer.data() + offset), end_(buffer.data() + buffer.size()) {}

  // No line is left: the cursor stands at the end of the buffer.
  bool done() const noexcept { return pos_ == end_; }
  // The byte offset of the next line's first byte.
  std::size_t offset() const noexcept { return static_cast<std::size_t>(pos_ - begin_); }

  // How many lines the cursor has moved past.
  std::uint64_t taken() const noexcept { return taken_; }

  // The next line, and the cursor past it and its LF. Only when !done().
  std::string_view next() noexcept {
    const char* start = pos_;
    const char* stop = find_line_end(start);
    pos_ = stop == end_ ? end_ : stop + 1;
    ++taken_;
    return {start, static_cast<std::size_t>(stop - start)};
  }

  // The next line without moving. Only when !done().
  std::string_view peek() const noexcept {
    return {pos_, static_cast<std::size_t>(find_line_end(pos_) - pos_)};
  }

  // Moves to offset, which `lines` line ends past the cursor; it may stand
  // within a line (line_blocks.hpp then finds where the line ends).
  void jump(std::size_t offset, std::uint64_t lines) noexcept {
    pos_ = begin_ + offset;
    taken_ += lines;
  }

  // Moves past up to count lines; returns how many there were. Scanners
  // skip whole frames this way: line ends are counted a block at a time,
  // and the line search only runs in the block where the count runs out.
  std::size_t skip(std::size_t count) noexcept {
    std::size_t skipped = 0;
    constexpr std::ptrdiff_t kBlock = 256;
    // A block never reaches the end of the buffer: a last line without LF
    // there would go uncounted.
    while (count - skipped > 2 && end_ - pos_ > kBlock) {
      const std::size_t ends = count_line_ends(pos_, pos_ + kBlock);
      if (ends >= count - skipped) break;
      pos_ += kBlock;
      skipped += ends;
    }
    while (skipped < count && pos_ != end_) {
      const char* stop = find_line_end(pos_);
      pos_ = stop == end_ ? end_ : stop + 1;
      ++skipped;
    }
    taken_ += skipped;
    return skipped;
  }

 private:
  const char* find_line_end(const char* from) const noexcept {
    const void* lf = std::memchr(from, '\n', static_cast<std::size_t>(end_ - from));
    return lf == nullptr ? end_ : static_cast<const char*>(lf);
  }

  const char* begin_;
  const char* pos_;
  const char* end_;
  std::uint64_t taken_ = 0;
};

}  // namespace io_rs
