#include "lammps/dump_placed.hpp"

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
  return with_row_reader(plan, [&]<class Reader>(Reader) {
    return read_rows_placed_with<Reader>(buffer, at, stop, count, plan, row0, slots);
  });
}

}  // namespace

Placed PlacedFrames::read(const Layout& layout, std::vector<OutputData>& data, std::string_view buffer,
                          std::size_t at, std::size_t stop, std::size_t count, std::span<const FieldPlan> plan,
                          std::size_t row0) {
  if (misses >= 2 || count < 2 || !placeable(layout)) return Placed{false, 0, at, true};
  std::size_t row_bytes = 0;
  for (const FieldPlan& field : plan) row_bytes += field.type == ColumnType::Text ? sizeof(std::string_view) : 8;
  Placed placed;
  if (count <= kPlacedBytes / row_bytes) {
    IdSlots slots(least, count);
    placed = read_rows_placed(buffer, at, stop, count, plan, row0, slots);
  } else {
    BucketSlots slots(least, count);
    placed = read_rows_placed(buffer, at, stop, count, plan, row0, slots);
    if (placed.whole && !settle_buckets(layout, data, row0, count, least, scratch_)) {
      placed = Placed{false, 0, 0, false};
    }
  }
  if (placed.whole) {
    misses = 0;
  } else if (!placed.in_order) {
    ++misses;
    placed = Placed{false, 0, at, true};  // from the start again
  }
  return placed;
}

}  // namespace io_rs::lammps
