// What the dump readers on one thread and on several share beyond the row
// reader: the layout of a run's first frame, checked; whether a frame has the
// same columns; and the readers on threads.
#pragma once

#include <optional>
#include <string_view>

#include "core/error.hpp"
#include "lammps/lammps.hpp"

namespace io_rs::lammps {

// The layout of frame `frame`'s columns: an error at its ATOMS line for a
// column named twice or for columns that hold no positions.
Result<Layout> frame_layout(std::string_view buffer, const Base& base, const FrameHead& head, std::uint64_t frame);

// Whether two ATOMS lines name the same columns in the same order.
bool same_columns(std::string_view a, std::string_view b);

// Whether a frame's type column holds labels, by its first atom line.
bool frame_type_labels(std::string_view buffer, const FrameHead& head);

// Whether a frame reads into the outputs of a run of the layout, whose
// ATOMS line was `columns`: the same columns, their types the same.
bool same_layout(std::string_view buffer, const FrameHead& head, std::string_view columns, const Layout& layout);

// The line number of the line at cursor offsets counted from a cursor that
// started at the reader's offset, whose line is line0.
struct LineCount {
  std::uint64_t line0;
  std::uint64_t at(std::uint64_t taken) const noexcept { return line0 + taken; }
};

// On threads (threads > 1): a file of one large frame read as ranges of its
// lines (nothing when the buffer is not that), or many frames found by one
// pass and then read in parts (nothing when the first header does not read).
std::optional<Result<DumpFrames>> read_one_large_frame(std::string_view buffer, std::size_t offset,
                                                       std::optional<std::uint64_t> max_frames, const Base& base,
                                                       std::size_t threads, bool sort);
std::optional<Result<DumpFrames>> read_on_threads(std::string_view buffer, std::size_t offset,
                                                  std::optional<std::uint64_t> max_frames, const Base& base,
                                                  std::size_t threads, bool sort);

}  // namespace io_rs::lammps
