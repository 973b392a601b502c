// Field splitting shared by every parser. The separators are exactly TAB, LF,
// FF, CR and SPACE; vertical tab, other control bytes and every non-ASCII
// character (no-break space included) belong to fields. Runs of separators
// count as one and no field is ever empty.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace io_rs {

inline constexpr std::uint64_t kSeparatorMask =
    (1ull << '\t') | (1ull << '\n') | (1ull << '\f') | (1ull << '\r') | (1ull << ' ');

constexpr bool is_separator(unsigned char c) noexcept {
  return c <= ' ' && ((kSeparatorMask >> c) & 1u) != 0;
}

// Hands out the fields of one line, left to right, one at a time, as views
// into the line. Fields after the last one asked for are never read.
class FieldSplitter {
 public:
  explicit FieldSplitter(std::string_view line) noexcept
      : begin_(line.data()), pos_(line.data()), end_(line.data() + line.size()), readable_(end_) {}
  // A line inside a buffer that may be read up to readable (its end), so
  // that number readers can load whole words near the line's end.
  FieldSplitter(std::string_view line, const char* readable) noexcept
      : begin_(line.data()), pos_(line.data()), end_(line.data() + line.size()), readable_(readable) {}

  // The next field, or an empty view when the line has no more.
  std::string_view next() noexcept {
    const char* start = skip_separators();
    const char* p = start;
    while (p != end_ && !is_separator(static_cast<unsigned char>(*p))) ++p;
    pos_ = p;
    return {start, static_cast<std::size_t>(p - start)};
  }

  // For readers that find the end of a field themselves: skips to the start
  // of the next field and returns it (the end of the line when none is left).
  const char* skip_separators() noexcept {
    // Fields written to a width are padded with runs of spaces: with eight
    // bytes of the line at hand, the first byte that is not a space is found
    // in one step, and the byte loop only sees what follows a run of eight
    // or a space followed by another separator.
    if (end_ - pos_ >= 8) {
      std::uint64_t word;
      std::memcpy(&word, pos_, 8);
      if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
      const std::uint64_t not_space = word ^ 0x2020202020202020;
      pos_ += not_space == 0 ? 8 : std::countr_zero(not_space) >> 3;
    }
    while (pos_ != end_ && is_separator(static_cast<unsigned char>(*pos_))) ++pos_;
    return pos_;
  }
  const char* begin() const noexcept { return begin_; }
  const char* end() const noexcept { return end_; }
  const char* readable() const noexcept { return readable_; }
  // Moves past a field the caller has read up to field_end.
  void consume(const char* field_end) noexcept { pos_ = field_end; }

 private:
  const char* begin_;
  const char* pos_;
  const char* end_;
  const char* readable_;
};

}  // namespace io_rs
