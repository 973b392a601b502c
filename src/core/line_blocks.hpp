// Line ends counted a block at a time on threads, for a pass that walks a
// whole buffer frame by frame skipping each frame's lines: counting its way
// over every byte, that pass would run alone at the speed of memory (a
// tenth of reading a large dump on two threads) while the other threads
// wait; with the blocks' counts taken on every thread, a window ahead of
// the pass at a time, it adds up a large frame's blocks and counts bytes
// only where the frame ends.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/line_cursor.hpp"
#include "core/parallel.hpp"

namespace io_rs {

// The fuzzers set these small, so that small inputs are skipped by blocks.
#ifndef IO_RS_LINE_BLOCK_BYTES
#define IO_RS_LINE_BLOCK_BYTES (std::size_t{1} << 14)
#endif
#ifndef IO_RS_LINE_BLOCK_LEAST_LINES
#define IO_RS_LINE_BLOCK_LEAST_LINES 1024
#endif

class LineBlocks {
 public:
  static constexpr std::size_t kBlockBytes = IO_RS_LINE_BLOCK_BYTES;
  // Blocks counted at once: a pass that stops early (a frame of other
  // columns) has counted at most this far beyond it.
  static constexpr std::size_t kWindowBlocks = 1024;
  // Frames of fewer lines are skipped line by line: they end in the block
  // they start in, or the next.
  static constexpr std::size_t kLeastLines = IO_RS_LINE_BLOCK_LEAST_LINES;

  // The blocks of buffer from `from` on, counted on up to `threads` threads
  // as the pass reaches them. None reaches the end of the buffer: a last
  // line without LF there would go uncounted.
  LineBlocks(std::string_view buffer, std::size_t from, std::size_t threads)
      : buffer_(buffer), from_(std::min(from, buffer.size())), threads_(threads),
        counts_(buffer.size() > from_ ? (buffer.size() - from_ - 1) / kBlockBytes : 0) {}

  // Moves lines past up to count lines, as lines.skip(count) does.
  std::size_t skip(LineCursor& lines, std::size_t count) {
    std::size_t at = lines.offset();
    if (count < kLeastLines || at < from_) return lines.skip(count);
    std::size_t block = (at - from_) / kBlockBytes;
    if (block >= counts_.size()) return lines.skip(count);
    // The rest of the block the cursor stands in, then whole blocks, each
    // only where the count does not run out in it: the line that ends the
    // count, a last one without LF included, is found by lines.skip.
    const std::size_t block_end = from_ + (block + 1) * kBlockBytes;
    std::size_t skipped = count_line_ends(buffer_.data() + at, buffer_.data() + block_end);
    if (skipped >= count) return lines.skip(count);
    at = block_end;
    for (++block; block < counts_.size(); ++block) {
      if (block >= counted_) count_window();
      if (skipped + counts_[block] >= count) break;
      skipped += counts_[block];
      at += kBlockBytes;
    }
    lines.jump(at, skipped);
    return skipped + lines.skip(count - skipped);
  }

 private:
  void count_window() {
    const std::size_t first = counted_;
    const std::size_t blocks = std::min(kWindowBlocks, counts_.size() - first);
    const std::size_t parts = std::min<std::size_t>(blocks, 8 * std::max<std::size_t>(threads_, 1));
    run_claimed(threads_, parts, [&](std::size_t k) {
      for (std::size_t b = first + blocks * k / parts; b < first + blocks * (k + 1) / parts; ++b) {
        const char* start = buffer_.data() + from_ + b * kBlockBytes;
        counts_[b] = static_cast<std::uint32_t>(count_line_ends(start, start + kBlockBytes));
      }
    });
    counted_ = first + blocks;
  }

  std::string_view buffer_;
  std::size_t from_;
  std::size_t threads_;
  std::vector<std::uint32_t> counts_;
  std::size_t counted_ = 0;
};

}  // namespace io_rs
