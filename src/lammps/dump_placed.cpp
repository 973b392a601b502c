#include "lammps/dump_placed.hpp"

#include <algorithm>
#include <optional>

#include "core/fields.hpp"

namespace io_rs::lammps {

bool placeable(const Layout& layout) {
  if (!layout.id || layout.fields.empty()) return false;
  const Layout::Field& first = layout.fields[0];
  const Output& output = layout.outputs[first.output];
  return first.output == *layout.id && output.type == ColumnType::Integer && output.width() == 1;
}

bool line_id(std::string_view line, const char* readable, std::int64_t& id) {
  FieldSplitter fields(line, readable);
  std::string_view field;
  return next_integer(fields, id, field);
}

namespace {

template <class Slots>
Placed read_rows_placed(std::string_view buffer, std::size_t at, std::size_t stop, std::size_t count,
                        std::span<const FieldPlan> plan, std::size_t row0, Slots& slots) {
  // New pages mapped in at once, as read_rows does a stretch at a time.
  if (count >= kRowsAhead / 2) populate_rows(plan, row0, row0 + count);
  // Rows that fit the caches go straight to their slots: all of them there.
  if constexpr (!Slots::kScattered) prefetch_rows(plan, row0, row0 + count);
  return with_row_reader(plan, [&]<class Reader>(Reader) {
    return read_rows_placed_with<Reader>(buffer, at, stop, count, plan, row0, slots);
  });
}

}  // namespace

IdsLook look_at_ids(std::string_view buffer, std::size_t at, std::size_t stop, std::size_t count) {
  constexpr std::size_t kPlaces = 8, kLines = IO_RS_ORDER_LINES;
  if (count < 4 * kPlaces * kLines) return IdsLook::Shuffled;
  stop = std::min(stop, buffer.size());
  // The end of the line at `from`: its LF, or the buffer's end; npos where
  // the line is longer than any atom line, so that a buffer of few line
  // ends is not searched through once a place.
  constexpr std::size_t kLongest = std::size_t{1} << 16;
  auto line_end = [&](std::size_t from) {
    const std::size_t limit = std::min(buffer.size(), from + kLongest);
    const std::size_t lf = buffer.substr(0, limit).find('\n', from);
    return lf != std::string_view::npos || limit < buffer.size() ? lf : limit;
  };
  // The ids of kLines lines from offset `from`, where they follow each
  // other: the first and the last, and where the lines end.
  struct Run {
    std::int64_t first, last;
    std::size_t end;
  };
  auto run_at = [&](std::size_t from) -> std::optional<Run> {
    Run run{0, 0, from};
    for (std::size_t k = 0; k < kLines; ++k) {
      if (run.end >= stop) return std::nullopt;
      const std::size_t end = line_end(run.end);
      if (end == std::string_view::npos) return std::nullopt;
      std::int64_t id = 0;
      if (!line_id(buffer.substr(run.end, end - run.end), buffer.data() + buffer.size(), id)) return std::nullopt;
      if (k > 0 && static_cast<std::uint64_t>(id) - static_cast<std::uint64_t>(run.last) != 1) return std::nullopt;
      if (k == 0) run.first = id;
      run.last = id;
      run.end = end + 1;
    }
    return run;
  };
  const std::optional<Run> first = run_at(at);
  if (!first) return IdsLook::Shuffled;
  // The frame's bytes as its first lines tell them, within the buffer.
  const std::size_t line = (first->end - at) / kLines;
  const std::size_t span = line > (stop - at) / count ? stop - at : line * count;
  IdsLook look = IdsLook::InOrder;
  std::int64_t last = first->last;
  for (std::size_t place = 1; place < kPlaces; ++place) {
    const std::size_t from = line_end(at + span / kPlaces * place);
    const std::optional<Run> run = from == std::string_view::npos ? std::nullopt : run_at(from + 1);
    if (!run) return IdsLook::Shuffled;
    if (run->first <= last) look = IdsLook::Runs;
    last = run->last;
  }
  return look;
}

Placed PlacedFrames::place(const Layout& layout, std::vector<OutputData>& data, std::string_view buffer,
                           std::size_t at, std::size_t stop, std::size_t count, std::span<const FieldPlan> plan,
                           std::size_t row0) {
  if (misses_ >= 2 || count < 2 || !placeable(layout) || look_at_ids(buffer, at, stop, count) != IdsLook::Shuffled) {
    return Placed{false, 0, at, true};
  }
  std::size_t row_bytes = 0;
  for (const FieldPlan& field : plan) row_bytes += element_size(field.type);
  Placed placed;
  if (count <= kPlacedBytes / row_bytes) {
    IdSlots slots(least_, count);
    placed = read_rows_placed(buffer, at, stop, count, plan, row0, slots);
  } else {
    BucketSlots slots(least_, count);
    placed = read_rows_placed(buffer, at, stop, count, plan, row0, slots);
    if (placed.whole && !settle_buckets(layout, data, row0, count, least_, scratch_)) {
      placed = Placed{false, 0, 0, false};
    }
  }
  if (placed.whole) {
    misses_ = 0;
  } else if (!placed.in_order) {
    ++misses_;
    placed = Placed{false, 0, at, true};  // from the start again
  }
  return placed;
}

RowRun PlacedFrames::read_rows(bool placing, const Layout& layout, std::vector<OutputData>& data,
                               std::string_view buffer, std::size_t at, std::size_t stop, std::size_t count,
                               std::span<const FieldPlan> plan, std::size_t row0) {
  const Placed placed = placing ? place(layout, data, buffer, at, stop, count, plan, row0) : Placed{false, 0, at, true};
  placed_ = placed.whole;
  if (placed.whole) {
    RowRun run;
    run.read = count;
    run.next = placed.next;
    return run;
  }
  RowRun run = lammps::read_rows(buffer, placed.next, stop, count - placed.read, plan, row0 + placed.read);
  run.read += placed.read;
  return run;
}

void PlacedFrames::sort(const Layout& layout, std::vector<OutputData>& data, std::size_t first, std::size_t n,
                        OwnedBuffer<unsigned char>& scratch) {
  if (placed_ || !layout.id || n == 0) return;
  sort_rows(layout, data, first, n, scratch);
  least_ = data[*layout.id].integers[first];
}

}  // namespace io_rs::lammps
