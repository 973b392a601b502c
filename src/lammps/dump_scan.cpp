// One pass over a dump: every frame's header read, its atom lines passed
// over by counting line ends. A frame is taken once the next frame's header
// has read (or the file ends), so that a frame whose atom count is more than
// its lines (and which swallowed the next frame's first lines) is told from
// the frame after it going wrong, in a window of the file as in the whole.
#include <algorithm>

#include "core/fields.hpp"
#include "core/line_cursor.hpp"
#include "core/message.hpp"
#include "core/piece.hpp"
#include "lammps/dump_head.hpp"
#include "lammps/dump_rows.hpp"

namespace io_rs::lammps {
namespace {

// The first ITEM line among a frame's natoms atom lines from atoms_start:
// the frame has fewer atom lines than its count, and its error is there.
std::optional<Error> item_among_atoms(std::string_view buffer, const Base& base, std::size_t atoms_start,
                                      std::size_t natoms, std::uint64_t frame) {
  LineCursor lines(buffer, atoms_start);
  for (std::size_t i = 0; i < natoms && !lines.done(); ++i) {
    const std::size_t offset = lines.offset();
    const std::string_view line = lines.next();
    if (trimmed(line).starts_with("ITEM:")) {
      return row_error({}, Layout{}, line, frame, i, natoms, buffer, base, offset);
    }
  }
  return std::nullopt;
}

// Whether the last atom line, which is the buffer's last and has no LF,
// reads as a row of the frame's columns: a file cut mid-line does not.
bool last_line_reads(std::string_view buffer, std::size_t line_offset, std::string_view columns) {
  auto layout = layout_of(columns, type_label_in(columns, buffer.substr(line_offset)));
  if (!layout) return true;  // the reader names the fault
  std::vector<OutputData> data;
  reserve_rows(*layout, data, 1);
  const std::vector<FieldPlan> plan = plan_of(*layout, data);
  const std::string_view line = buffer.substr(line_offset);
  return read_row(line, buffer.data() + buffer.size(), plan, 0).problem == RowProblem::None;
}

std::string normalised(std::string_view columns) {
  std::string text;
  FieldSplitter fields(columns);
  for (std::string_view name = fields.next(); !name.empty(); name = fields.next()) {
    if (!text.empty()) text += ' ';
    text += name;
  }
  return text;
}

}  // namespace

Result<DumpScan> scan_dump(std::string_view buffer, std::size_t offset, const Base& base, bool last) {
  if (offset > buffer.size()) {
    return value_error(fill_message("scan_lammps_dump: offset {} is past the end of the buffer ({} bytes)",
                                    {offset, buffer.size()}));
  }
  const std::string_view view = complete_lines(buffer, last);
  const std::uint64_t line0 = place_of(buffer, base, offset).line;
  DumpScan scan;
  scan.stop = {offset, line0, false};
  if (offset > view.size()) return scan;  // not one whole line yet
  LineCursor lines(view, offset);
  std::string_view last_columns;  // as written, and its index
  std::size_t last_index = 0;
  // The frame read last, taken once the next frame's header reads (or the
  // file ends): where a header goes wrong, the frame before it is at hand to
  // look back into, in a window as in the whole file.
  struct Pending {
    FrameEntry entry;
    FrameHead head;
    std::size_t atoms_start, natoms;
    std::uint64_t next_line;
  };
  std::optional<Pending> pending;
  auto take_pending = [&] {
    if (!pending) return;
    FrameHead& head = pending->head;
    if (head.columns.data() != last_columns.data() || head.columns != last_columns) {
      const std::string names = normalised(head.columns);
      const auto known = std::find(scan.columns.begin(), scan.columns.end(), names);
      last_index = static_cast<std::size_t>(known - scan.columns.begin());
      if (known == scan.columns.end()) scan.columns.push_back(names);
      last_columns = head.columns;
    }
    pending->entry.header = static_cast<std::int64_t>(last_index);
    scan.frames.push_back(pending->entry);
    head.columns = {};  // a view into this buffer, which the caller may not keep
    scan.heads.push_back(std::move(head));
    scan.stop = {static_cast<std::size_t>(pending->entry.end - base.byte), pending->next_line, false};
    pending.reset();
  };

  for (;;) {
    while (!lines.done() && is_blank(lines.peek())) lines.next();
    const std::uint64_t frame = base.frame + scan.frames.size() + (pending ? 2 : 1);
    const std::uint64_t frame_line = line0 + lines.taken();
    if (lines.done()) {
      // Blank lines end the file, or stand before the next piece's frame.
      if (last) {
        take_pending();
        scan.stop = {lines.offset(), frame_line, true};
      }
      return scan;
    }
    LineCursor frame_lines = lines;
    FrameHead head;
    std::size_t frame_offset = lines.offset();
    auto ended = take_head(view, base, frame_lines, frame, head, frame_offset);
    if (!ended) {
      if (pending) {
        if (auto earlier = item_among_atoms(view, base, pending->atoms_start, pending->natoms, frame - 1)) {
          return std::unexpected(std::move(*earlier));
        }
      }
      return std::unexpected(std::move(ended.error()));
    }
    const Place frame_place{frame_line, base.byte + frame_offset, frame};
    if (*ended == HeadEnd::Cut) {
      if (last) {
        take_pending();
        scan.cut = Cut{frame, frame_place, fill_message("frame {} ends in its header", {frame})};
        scan.stop = {view.size(), frame_line, true};
      }
      return scan;
    }
    take_pending();
    const std::size_t atoms_start = frame_lines.offset();
    const std::size_t natoms = static_cast<std::size_t>(head.natoms);
    const std::size_t skipped = frame_lines.skip(natoms);
    // A last line without LF among the atom lines is whole only if it reads.
    const bool open_end = last && frame_lines.done() && !view.empty() && view.back() != '\n' && skipped > 0;
    const bool cut = skipped < natoms ||
                     (open_end && !last_line_reads(view, view.rfind('\n') + 1, head.columns));
    if (cut) {
      if (last) {
        scan.cut = Cut{frame, frame_place, atoms_cut_problem(frame, skipped - (open_end ? 1 : 0), natoms)};
        scan.stop = {view.size(), frame_line, true};
      }
      return scan;
    }
    pending = Pending{FrameEntry{base.byte + frame_offset, frame_line, head.natoms, 0, head.timestep,
                                 base.byte + frame_lines.offset()},
                      std::move(head), atoms_start, natoms, line0 + frame_lines.taken()};
    lines = frame_lines;
  }
}

}  // namespace io_rs::lammps
