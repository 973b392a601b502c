// Dump frames read from a file's bytes on one thread, and the choice of
// reader: a frame at a time, its header, its atom lines straight into the
// outputs, then its rows sorted by id while they are still in the cache.
#include <algorithm>

#include "core/fields.hpp"
#include "core/line_cursor.hpp"
#include "core/message.hpp"
#include "core/parallel.hpp"
#include "core/piece.hpp"
#include "lammps/dump_frames.hpp"
#include "lammps/dump_head.hpp"
#include "lammps/dump_placed.hpp"
#include "lammps/dump_rows.hpp"

namespace io_rs::lammps {

bool frame_type_labels(std::string_view buffer, const FrameHead& head) {
  if (head.natoms == 0) return false;
  const std::size_t end = buffer.find('\n', head.atoms_offset);
  if (end == std::string_view::npos) return false;
  const std::string_view rest = buffer.substr(end + 1);
  return type_label_in(head.columns, rest.substr(0, rest.find('\n')));
}

Result<Layout> frame_layout(std::string_view buffer, const Base& base, const FrameHead& head, std::uint64_t frame) {
  auto layout = layout_of(head.columns, frame_type_labels(buffer, head));
  const Place place = place_of(buffer, base, head.atoms_offset, frame);
  if (!layout) {
    layout.error().problem = fill_message("frame {}: {}", {frame, layout.error().problem});
    layout.error().place = place;
    return layout;
  }
  if (!layout->positions) {
    const std::string_view rest = buffer.substr(head.atoms_offset);
    return expected_in_frame(buffer, base, head.atoms_offset, frame,
                             "coordinate columns (x y z, xu yu zu, xs ys zs or xsu ysu zsu)",
                             quoted(rest.substr(0, rest.find('\n'))));
  }
  return layout;
}

bool same_layout(std::string_view buffer, const FrameHead& head, std::string_view columns, const Layout& layout) {
  return same_columns(head.columns, columns) && frame_type_labels(buffer, head) == layout.type_labels;
}

bool same_columns(std::string_view a, std::string_view b) {
  if (a == b) return true;
  FieldSplitter left(a), right(b);
  for (;;) {
    const std::string_view x = left.next(), y = right.next();
    if (x != y) return false;
    if (x.empty()) return true;
  }
}

namespace {

// The rows the rest of the buffer likely holds, after a first frame of
// `rows` rows in `covered` of `bytes` bytes: an eighth more, and never more
// than the bytes could hold at two a line.
std::size_t likely_rows(std::size_t rows, std::size_t covered, std::size_t bytes) noexcept {
  const double likely = static_cast<double>(rows) * static_cast<double>(bytes) /
                        static_cast<double>(std::max<std::size_t>(covered, 1));
  return std::max(rows, std::min<std::size_t>(static_cast<std::size_t>(likely * 1.125) + 64, bytes / 2 + 1));
}

Result<DumpFrames> read_on_one(std::string_view buffer, std::size_t offset, std::optional<std::uint64_t> max_frames,
                               const Base& base, bool sort) {
  DumpFrames read;
  // The cursor is made again past each frame's atom lines; line_at is the
  // number of the line it started at.
  LineCursor lines(buffer, offset);
  std::uint64_t line_at = place_of(buffer, base, offset).line;
  read.end = offset;
  read.end_line = line_at;
  std::vector<FieldPlan> plan;
  std::size_t capacity = 0, fields = 1;
  OwnedBuffer<unsigned char> scratch;
  PlacedFrames placing;
  std::string_view columns;
  while (!max_frames || read.frames.size() < *max_frames) {
    while (!lines.done() && is_blank(lines.peek())) lines.next();
    const std::uint64_t frame_line = line_at + lines.taken();
    if (lines.done()) {
      read.end = buffer.size();
      read.end_line = frame_line;
      break;
    }
    const std::uint64_t frame = base.frame + read.frames.size() + 1;
    LineCursor frame_lines = lines;
    FrameHead head;
    std::size_t frame_offset = lines.offset();
    auto ended = take_head(buffer, base, frame_lines, frame, head, frame_offset);
    if (!ended) return std::unexpected(std::move(ended.error()));
    const Place frame_place{frame_line, base.byte + frame_offset, frame};
    if (*ended == HeadEnd::Cut) {
      read.cut = Cut{frame, frame_place, fill_message("frame {} ends in its header", {frame})};
      break;
    }
    if (read.frames.empty()) {
      auto layout = frame_layout(buffer, base, head, frame);
      if (!layout) return std::unexpected(std::move(layout.error()));
      read.layout = std::move(*layout);
      columns = head.columns;
      fields = std::max<std::size_t>(1, read.layout.names.size());
    } else if (!same_layout(buffer, head, columns, read.layout)) {
      // A frame of other columns starts the next run, past the blank lines
      // before it (as on threads).
      read.end = frame_offset;
      read.end_line = frame_line;
      break;
    }
    const std::size_t natoms = static_cast<std::size_t>(head.natoms);
    const std::size_t atoms_start = frame_lines.offset();
    // Room for the frame's rows at once, as many as the rest of the buffer
    // could hold (a line takes two bytes a field): a wrong count cannot ask
    // for memory the lines could never fill.
    const std::size_t there = std::min(natoms, (buffer.size() - atoms_start) / (2 * fields) + 1);
    if (read.atoms + there > capacity || plan.empty()) {
      capacity = std::max(read.atoms + there, capacity + capacity / 2);
      reserve_rows(read.layout, read.data, capacity);
      plan = plan_of(read.layout, read.data);
    }
    // Rows go to the slots of their ids as far as they can, the rest in
    // file order.
    const RowRun run = placing.read_rows(sort && there == natoms, read.layout, read.data, buffer, atoms_start,
                                         buffer.size(), there, plan, read.atoms);
    if (run.failure.problem != RowProblem::None) {
      if (!open_last_line(buffer, run.line_offset, run.line.size())) {
        return std::unexpected(row_error(run.failure, read.layout, run.line, frame, run.read, natoms, buffer, base,
                                         run.line_offset));
      }
      read.cut = Cut{frame, frame_place, atoms_cut_problem(frame, run.read, natoms)};
      break;
    }
    if (run.read < natoms) {
      // The lines ran out: a last line without LF was read, but is cut too.
      const bool open_end = run.read > 0 && buffer.back() != '\n';
      read.cut = Cut{frame, frame_place, atoms_cut_problem(frame, run.read - (open_end ? 1 : 0), natoms)};
      break;
    }
    if (sort) placing.sort(read.layout, read.data, read.atoms, natoms, scratch);
    read.frames.push_back(FrameEntry{base.byte + frame_offset, frame_line, head.natoms, 0, head.timestep,
                                     base.byte + run.next});
    read.heads.push_back(std::move(head));
    read.atoms += natoms;
    line_at += frame_lines.taken() + natoms;
    lines = LineCursor(buffer, run.next);
    read.end = run.next;
    read.end_line = line_at;
    if (read.frames.size() == 1 && capacity < buffer.size() / (2 * fields) &&
        buffer.find_first_not_of(" \t\r\n", read.end) != std::string_view::npos) {
      // The rows the rest likely holds, now that a frame shows how long its
      // lines are (at most max_frames frames of this one's size); none for a
      // frame that ends the buffer, whose rows would only be copied.
      std::size_t likely = likely_rows(read.atoms, read.end - offset, buffer.size() - offset);
      const std::size_t per_frame = std::max<std::size_t>(natoms, 1);
      if (max_frames && *max_frames <= likely / per_frame) likely = static_cast<std::size_t>(*max_frames) * per_frame;
      if (likely > capacity) {
        capacity = likely;
        reserve_rows(read.layout, read.data, capacity);
        plan = plan_of(read.layout, read.data);
      }
    }
  }
  if (read.cut) {
    const Place& place = read.cut->place;
    read.end = static_cast<std::size_t>(place.byte - base.byte);
    read.end_line = place.line;
  }
  reserve_rows(read.layout, read.data, read.atoms);
  return read;
}

}  // namespace

Result<DumpFrames> read_dump_frames(std::string_view buffer, std::size_t offset,
                                    std::optional<std::uint64_t> max_frames, const Base& base, std::size_t threads,
                                    bool sort) {
  if (offset > buffer.size()) {
    return value_error(fill_message("read_lammps_dump_frames: offset {} is past the end of the buffer ({} bytes)",
                                    {offset, buffer.size()}));
  }
  if (const std::size_t parts = threads_for(threads, buffer.size() - offset); parts > 1) {
    if (auto one = read_one_large_frame(buffer, offset, max_frames, base, parts, sort)) return std::move(*one);
    if (auto many = read_on_threads(buffer, offset, max_frames, base, parts, sort)) return std::move(*many);
  }
  return read_on_one(buffer, offset, max_frames, base, sort);
}

}  // namespace io_rs::lammps
