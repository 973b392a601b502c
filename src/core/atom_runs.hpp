// The atom lines of a run of frames shared out among threads: whole frames,
// and a frame much larger than a thread's share cut at line starts, each
// part a contiguous run of them in file order, so that every thread writes
// its own rows and the first failure of the lowest part is the first in the
// file. Readers of frames with an atom count line (XYZ, extended XYZ) plan
// their threads with it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "core/line_cuts.hpp"
#include "core/parallel.hpp"

namespace io_rs {

// Atom lines one thread reads: rows of one frame, from a line start.
struct AtomRun {
  std::size_t frame;      // in the call, from 0
  std::size_t first_row;  // in the frame
  std::size_t rows;
  std::size_t start;      // the byte where its first line starts
};

struct AtomRunPlan {
  std::vector<AtomRun> runs;
  std::vector<std::size_t> part_start;  // threads + 1: part t reads runs [part_start[t], part_start[t + 1])
};

// A first frame so large that skipping its lines one thread at a time would
// cost a good part of reading them: when its natoms lines from atoms_start
// are all there is to the end of the buffer (a file of one large frame),
// they are cut for the threads and counted on them instead, and the plan
// uses these cuts. Nothing when the lines there are not exactly natoms (the
// reader then skips them as usual).
inline constexpr std::size_t kCutToEndFrom = std::min<std::size_t>(std::size_t{1} << 15, kMinBytesPerThread);

// Whether a frame of natoms atom lines from atoms_start, the first of them
// as long as first_line, is likely all the buffer holds from there: a file
// of one large frame, whose lines can be read in ranges with no pass first.
inline bool likely_one_large_frame(std::string_view buffer, std::size_t atoms_start, std::size_t natoms,
                                   std::string_view first_line) noexcept {
  const double likely_bytes = static_cast<double>(natoms) * static_cast<double>(first_line.size() + 1);
  const double rest = static_cast<double>(buffer.size() - atoms_start);
  return natoms >= kCutToEndFrom && likely_bytes >= 0.75 * rest && likely_bytes <= 1.5 * rest;
}

inline std::optional<LineCuts> cut_frame_to_end(std::string_view buffer, std::size_t atoms_start, std::size_t natoms,
                                                std::size_t threads) {
  if (threads < 2 || natoms < kCutToEndFrom) return std::nullopt;
  LineCuts cuts = cut_lines(buffer, atoms_start, buffer.size(), threads);
  if (lines_to_end(cuts, buffer) != natoms) return std::nullopt;
  return cuts;
}

// frames: anything with natoms, atoms_start and atoms_end (the bytes of its
// atom lines); atoms: their sum. first_cuts: those of the first frame from
// cut_frame_to_end, when it gave them.
template <class Frames>
AtomRunPlan plan_atom_runs(std::string_view buffer, const Frames& frames, std::size_t atoms, std::size_t threads,
                           const std::optional<LineCuts>& first_cuts = std::nullopt) {
  AtomRunPlan plan;
  const std::size_t share = atoms / threads + 1;
  for (std::size_t k = 0; k < frames.size(); ++k) {
    const auto& frame = frames[k];
    if (frame.natoms <= share / 2) {
      if (frame.natoms > 0) plan.runs.push_back({k, 0, frame.natoms, frame.atoms_start});
      continue;
    }
    const std::size_t pieces = std::min(threads, frame.natoms / (share / 2 + 1) + 1);
    const bool cut_before = k == 0 && first_cuts && first_cuts->starts.size() == pieces + 1;
    const LineCuts cuts = cut_before ? *first_cuts : cut_lines(buffer, frame.atoms_start, frame.atoms_end, pieces);
    for (std::size_t t = 0; t < pieces; ++t) {
      const auto [first, stop] = part_rows(cuts, t, frame.natoms);
      if (stop > first) plan.runs.push_back({k, first, stop - first, cuts.starts[t]});
    }
  }
  // A run goes to the part its middle row falls in, of parts of equal rows:
  // the pieces of a frame cut for the threads each go to their own.
  plan.part_start.assign(threads + 1, plan.runs.size());
  plan.part_start[0] = 0;
  std::size_t rows = 0, part = 0;
  for (std::size_t r = 0; r < plan.runs.size(); ++r) {
    const std::size_t wanted = std::min(threads - 1, (rows + plan.runs[r].rows / 2) * threads / atoms);
    while (part < wanted) plan.part_start[++part] = r;
    rows += plan.runs[r].rows;
  }
  return plan;
}

}  // namespace io_rs
