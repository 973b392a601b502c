#include "lammps/dump_claimed.hpp"

#include "core/fields.hpp"
#include "core/parallel.hpp"

namespace io_rs::lammps {

void Spill::make_room(const Layout& layout) {
  if (rows() < room) return;
  room = std::max<std::size_t>(2 * room, 1024);
  reserve_rows(layout, data, room);
  plan = plan_of(layout, data);
}

namespace {

// Where the lines from offset from end, blank ones at the end left out.
std::size_t end_of_lines(std::string_view buffer, std::size_t from) {
  std::size_t end = buffer.size();
  while (end > from && is_separator(static_cast<unsigned char>(buffer[end - 1]))) --end;
  return end;
}

// [from, to) cut into parts of about equal bytes at line starts: where
// each starts, and to.
std::vector<std::size_t> part_starts(std::string_view buffer, std::size_t from, std::size_t to, std::size_t parts) {
  std::vector<std::size_t> starts{from};
  for (std::size_t k = 1; k < parts; ++k) {
    // The first line start at or after the cut (from follows a line end).
    const std::size_t cut = std::max(from + (to - from) / parts * k, from + 1);
    const void* lf = std::memchr(buffer.data() + cut - 1, '\n', to - (cut - 1));
    const std::size_t start = lf == nullptr ? to : static_cast<std::size_t>(static_cast<const char*>(lf) - buffer.data()) + 1;
    starts.push_back(std::max(start, starts.back()));
  }
  starts.push_back(to);
  return starts;
}

}  // namespace

std::optional<std::size_t> place_frame_on_threads(const Layout& layout, std::vector<OutputData>& data,
                                                  std::string_view buffer, std::size_t at, std::size_t count,
                                                  std::span<const FieldPlan> plan, std::int64_t least,
                                                  std::size_t threads) {
  if (!placeable(layout) || count < 2 || threads < 1) return std::nullopt;
  const std::size_t stop = end_of_lines(buffer, at);
  const std::vector<std::size_t> starts = part_starts(buffer, at, stop, threads);
  BucketClaims claims(count);
  std::vector<ChunkSlots> slots;
  slots.reserve(threads);
  for (std::size_t k = 0; k < threads; ++k) slots.emplace_back(claims, least);
  std::vector<Spill> spills(threads);
  std::vector<std::optional<PartRead>> reads(threads);
  // Ids a run: a bucket's spilled rows are as many as its chunks left empty.
  const std::size_t spill_limit = std::min(count, claims.buckets() * threads * kChunkRows);
  std::atomic<bool> give_up{false};
  run_claimed(threads, threads, [&](std::size_t k) {
    // Each thread maps in the pages of a stretch of the rows.
    populate_rows(plan, count * k / threads, count * (k + 1) / threads);
    reads[k] = with_row_reader(plan, [&]<class Reader>(Reader) {
      return read_rows_claimed_with<Reader>(buffer, starts[k], starts[k + 1], plan, layout, slots[k], spills[k],
                                            spill_limit, give_up);
    });
    if (!reads[k]) give_up.store(true, std::memory_order_relaxed);
  });
  std::size_t lines = 0;
  std::size_t next = at;
  for (const auto& read : reads) {
    if (!read) return std::nullopt;
    lines += read->lines;
    if (read->lines > 0) next = read->next;
  }
  // Every line read into a slot of its own or a spill: once each spilled row
  // has found an empty slot of its bucket, every slot holds a row.
  if (lines != count) return std::nullopt;
  for (Spill& spill : spills) {
    for (std::size_t r = 0; r < spill.rows(); ++r) {
      std::size_t row = 0;
      const bool found = std::any_of(slots.begin(), slots.end(), [&](ChunkSlots& s) { return s.empty_slot(spill.buckets[r], row); });
      if (!found) return std::nullopt;
      copy_row(layout, spill.data, r, data, row);
    }
  }
  // Each thread puts a share of the buckets in order.
  const std::size_t buckets = claims.buckets();
  std::atomic<bool> settled{true};
  run_claimed(threads, threads, [&](std::size_t t) {
    const std::size_t first = buckets * t / threads * kBucketRows;
    const std::size_t last = std::min(count, buckets * (t + 1) / threads * kBucketRows);
    OwnedBuffer<unsigned char> scratch;
    if (first < last && !settle_buckets(layout, data, first, last - first, least + static_cast<std::int64_t>(first), scratch)) {
      settled.store(false, std::memory_order_relaxed);
    }
  });
  if (!settled.load(std::memory_order_relaxed)) return std::nullopt;
  return next;
}

}  // namespace io_rs::lammps
