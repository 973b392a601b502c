// The atom lines of a run of frames cut into parts that threads claim in
// turn, in file order: consecutive whole frames, about part_bytes of them a
// part, and a frame larger than two parts cut into line ranges
// (line_ranges.hpp), a range a part. Every part writes its own rows, and the
// first failure in file order is the first of the lowest part that fails.
// The readers of trajectories (XDATCAR, XYZ, extended XYZ) find the frames
// in one pass and share their atom lines out this way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/line_ranges.hpp"
#include "core/rows_on_threads.hpp"

namespace io_rs {

// Whether a frame of natoms atom lines from atoms_start, the first of them
// as long as first_line, is likely all the buffer holds from there: a file
// of one large frame, whose lines can be read in ranges with no pass first.
inline bool likely_one_large_frame(std::string_view buffer, std::size_t atoms_start, std::size_t natoms,
                                   std::string_view first_line) noexcept {
  const double likely_bytes = static_cast<double>(natoms) * static_cast<double>(first_line.size() + 1);
  const double rest = static_cast<double>(buffer.size() - atoms_start);
  return likely_bytes >= 4.0 * static_cast<double>(kLeastPartBytes) && likely_bytes >= 0.75 * rest &&
         likely_bytes <= 1.5 * rest;
}

// Frames: a vector of anything with natoms (the atom lines present),
// atoms_start and atoms_end (the bytes of those lines).
template <class Frames>
class FrameParts {
 public:
  FrameParts(std::string_view buffer, const Frames& frames, std::size_t bytes_per_part) : frames_(frames) {
    std::size_t group = 0, group_bytes = 0;
    auto close_group = [&](std::size_t end) {
      if (end > group) parts_.push_back({group, end, kWhole, 0});
      group = end;
      group_bytes = 0;
    };
    for (std::size_t k = 0; k < frames.size(); ++k) {
      const auto& frame = frames[k];
      const std::size_t bytes = frame.atoms_end - frame.atoms_start;
      if (bytes <= 2 * bytes_per_part || frame.natoms < 2) {
        // The frame's own lines beside its atom lines (count, comment) are
        // read with it, a few dozen bytes.
        group_bytes += bytes + 64;
        if (group_bytes >= bytes_per_part) close_group(k + 1);
        continue;
      }
      close_group(k);
      cuts_.emplace_back(buffer, frame.atoms_start, frame.atoms_end, bytes_per_part);
      cut_frames_.push_back(k);
      for (std::size_t r = 0; r < cuts_.back().size(); ++r) parts_.push_back({k, k + 1, cuts_.size() - 1, r});
      group = k + 1;
    }
    close_group(frames.size());
  }

  std::size_t size() const noexcept { return parts_.size(); }
  // The first frame part p reads (whole or a range of), and the frame after
  // its last.
  std::size_t first_frame(std::size_t p) const noexcept { return parts_[p].first; }
  std::size_t last_frame(std::size_t p) const noexcept { return parts_[p].last; }
  // The frames cut into ranges, in order: what such a frame's own first
  // lines say (an extended XYZ comment) is for the caller to read before.
  const std::vector<std::size_t>& cut_frames() const noexcept { return cut_frames_; }

  // Part p: read(frame, first_row, begin, end) reads the frame's lines that
  // start in [begin, end) as rows first_row, first_row + 1, ... (all of its
  // lines for a whole frame, from row 0) and says whether it met a failure.
  // True when one did: no part after it matters.
  template <class Read>
  bool run(std::size_t p, Read&& read) {
    const Part& part = parts_[p];
    if (part.cut == kWhole) {
      for (std::size_t k = part.first; k < part.last; ++k) {
        if (read(k, std::uint64_t{0}, frames_[k].atoms_start, frames_[k].atoms_end).ended) return true;
      }
      return false;
    }
    LineRanges& ranges = cuts_[part.cut];
    const std::uint64_t first = ranges.first_row(part.range);
    const LineRanges::Bounds bounds = ranges.bounds(part.range);
    const RowsRead done = read(part.first, first, bounds.begin, bounds.end);
    if (!done.ended) ranges.read_whole(part.range, done.lines);
    return done.ended;
  }

 private:
  static constexpr std::size_t kWhole = ~std::size_t{0};
  struct Part {
    std::size_t first, last;  // frames [first, last) whole, or frame `first` cut
    std::size_t cut;          // its ranges in cuts_, or kWhole
    std::size_t range;
  };
  const Frames& frames_;
  std::vector<Part> parts_;
  std::vector<LineRanges> cuts_;
  std::vector<std::size_t> cut_frames_;
};

}  // namespace io_rs
