// A frame's atom lines read straight into the slots of their ids. LAMMPS
// writes a frame's atoms in the order its processes hold them, but its ids
// are most often a run (least, least + 1, ... each once): each row can then
// go where sorting would put it as it is read, rather than being read in
// file order and moved twice more through memory as large as the frame.
// Where a row's id falls outside the run guessed, or comes twice, or a line
// does not read, the frame is read the ordinary way (file order, then
// sorted), which also says what is wrong with it: on from there where the
// rows placed so far were in order, else again from its start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "lammps/dump_rows.hpp"

namespace io_rs::lammps {

// Ids least .. least + n - 1, each taken once, a row an id: the row of
// its slot.
class IdSlots {
 public:
  static constexpr bool kKeepsIds = false;  // the ids are the run, in order
  static constexpr bool kScattered = false;  // rows within the caches

  IdSlots(std::int64_t least, std::size_t n) : least_(least), n_(n), seen_((n + 63) / 64, 0) {}

  std::int64_t least() const noexcept { return least_; }

  // The row of id, or false where it is outside the run or came before.
  bool take(std::int64_t id, std::size_t& row) noexcept {
    const std::uint64_t s = static_cast<std::uint64_t>(id) - static_cast<std::uint64_t>(least_);
    if (s >= n_) return false;
    std::uint64_t& word = seen_[s / 64];
    const std::uint64_t bit = std::uint64_t{1} << (s % 64);
    if ((word & bit) != 0) return false;
    word |= bit;
    row = static_cast<std::size_t>(s);
    return true;
  }

 private:
  std::int64_t least_;
  std::size_t n_;
  std::vector<std::uint64_t> seen_;
};

// For frames larger than the caches: the rows of a bucket of kBucketRows
// slots go side by side where the bucket's slots are, in file order, each
// bucket's last row written staying in the cache; each bucket is then put
// in order within itself (settle_buckets), in the cache. No id may fall
// outside the run or fill a bucket beyond its slots; ids that come twice
// within a bucket are found when it is settled.
class BucketSlots {
 public:
  static constexpr bool kKeepsIds = true;  // settling needs them
  // Rows go to hundreds of places at once, more than the processor follows
  // by itself: the line after each row's is fetched ahead.
  static constexpr bool kScattered = true;

  static std::size_t buckets(std::size_t n) noexcept { return (n + kBucketRows - 1) / kBucketRows; }

  // Every bucket's rows from its first slot's row to its last's.
  BucketSlots(std::int64_t least, std::size_t n) : least_(least), n_(n), next_(buckets(n)), end_(buckets(n)) {
    for (std::size_t b = 0; b < next_.size(); ++b) {
      next_[b] = b * kBucketRows;
      end_[b] = std::min(n, next_[b] + kBucketRows);
    }
  }

  std::int64_t least() const noexcept { return least_; }

  bool take(std::int64_t id, std::size_t& row) noexcept {
    const std::uint64_t s = static_cast<std::uint64_t>(id) - static_cast<std::uint64_t>(least_);
    if (s >= n_) return false;
    const std::size_t b = static_cast<std::size_t>(s / kBucketRows);
    if (next_[b] == end_[b]) return false;
    row = next_[b]++;
    return true;
  }

 private:
  std::int64_t least_;
  std::size_t n_;
  std::vector<std::size_t> next_, end_;
};

// The cache lines after row `row`'s fields, fetched ahead to be written.
inline void prefetch_next_lines(std::span<const FieldPlan> plan, std::size_t row) noexcept {
  for (const FieldPlan& field : plan) {
    const std::size_t size = element_size(field.type);
    IO_RS_PREFETCH_WRITE(static_cast<const char*>(field.base) + row * field.width * size + 64);
  }
}

// Whether a layout's rows can be placed: its first column is the ids.
bool placeable(const Layout& layout);

// The id of a line that the fast shapes did not read, the general way.
bool line_id(std::string_view line, const char* readable, std::int64_t& id);

// What the ids of lines taken across a frame of count atom lines from
// offset at (none at or past stop) look like: following each other at every
// place looked at, and rising from place to place (a dump sorted by id), or
// following each other at each place only (each process's atoms in the
// order of their ids), or neither (shuffled, or too few lines to tell).
// Frames of either of the first two are read fastest in file order on one
// thread: the check after the read finds them in order, or moves the runs
// as blocks, where placing would pay its bookkeeping on every row.
enum class IdsLook : unsigned char { Shuffled, Runs, InOrder };
IdsLook look_at_ids(std::string_view buffer, std::size_t at, std::size_t stop, std::size_t count);

// The fuzzers look at fewer lines, so that small frames are looked at too.
#ifndef IO_RS_ORDER_LINES
#define IO_RS_ORDER_LINES 8
#endif

// How far placing got: every line (whole), or the lines before the one at
// `next` that could not be placed. Where those all went to their own row
// (ids in order so far) the frame goes on from there in file order;
// otherwise it is read again from its start.
struct Placed {
  bool whole = false;
  std::size_t read = 0;
  std::size_t next = 0;
  bool in_order = true;
};

// count atom lines from offset at (none starting at or past stop) into the
// rows row0 + the row Slots gives their id; Reader reads the fields after
// the id. Whole when every line read and took a row of its own, which is
// then all of them.
template <class Reader, class Slots>
Placed read_rows_placed_with(std::string_view buffer, std::size_t at, std::size_t stop, std::size_t count,
                             std::span<const FieldPlan> plan, std::size_t row0, Slots& slots) {
  const RowBounds bounds(buffer, at, stop);
  const char* const begin = bounds.begin;
  const char* const end = bounds.end;
  const char* p = bounds.p;
  auto* const ids = static_cast<std::int64_t*>(plan[0].base);
  Placed placed;
  auto stopped = [&] {
    // Rows that went to their own slots: their ids are the run's first.
    if (!Slots::kKeepsIds && !placed.whole && placed.in_order) std::iota(ids + row0, ids + row0 + placed.read, slots.least());
    placed.next = static_cast<std::size_t>(p - begin);
    return placed;
  };
  for (; placed.read < count; ++placed.read) {
    if (p >= bounds.last) return stopped();
    std::int64_t id = 0;
    const FieldPlan id_field{ColumnType::Integer, 1, &id};
    const char* q = p;
    std::size_t slot = 0;  // the row
    const bool fast_id = read_field_fast<ColumnType::Integer, false>(q, bounds.limit, end, id_field, 0);
    if (fast_id) {
      if (!slots.take(id, slot)) return stopped();
      if constexpr (Slots::kScattered) prefetch_next_lines(plan, row0 + slot);
      if (const char* after = Reader::rest(q, bounds.limit, end, plan, row0 + slot)) [[likely]] {
        if constexpr (Slots::kKeepsIds) ids[row0 + slot] = id;
        placed.in_order &= slot == placed.read;
        p = after;
        continue;
      }
    }
    const void* lf = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
    const char* line_end = lf == nullptr ? end : static_cast<const char*>(lf);
    const std::string_view line(p, static_cast<std::size_t>(line_end - p));
    if (!fast_id && (!line_id(line, end, id) || !slots.take(id, slot))) return stopped();
    // A line that does not read is read again in file order, where it fails the same way.
    if (read_row(line, end, plan, row0 + slot).problem != RowProblem::None) return stopped();
    placed.in_order &= slot == placed.read;
    p = line_end == end ? end : line_end + 1;
  }
  // Every id of the run came once: in slot order they are the run.
  if constexpr (!Slots::kKeepsIds) std::iota(ids + row0, ids + row0 + count, slots.least());
  placed.whole = true;
  return stopped();
}

// Frames whose rows take more than this go to their slots through buckets:
// rows written all over memory larger than the caches wait for it
// (measured: straight to the slots is slower from 1 000 000 rows of id type
// x y z, 40 MB; through buckets from 200 000, 8 MB, faster; both alike
// below). The fuzzers set it small.
#ifndef IO_RS_PLACED_BYTES
#define IO_RS_PLACED_BYTES (std::size_t{4} << 20)
#endif
inline constexpr std::size_t kPlacedBytes = IO_RS_PLACED_BYTES;

// Frame after frame of one reader: the run of ids guessed from the frame
// before (1 at first), and no more guessing after two frames that were
// runs neither from where guessed nor in order.
class PlacedFrames {
 public:
  // The rows of a frame of `count` atoms from offset at into rows row0 on:
  // placed by id as far as they go where `placing`, the rest read in file
  // order (read_rows, and what it says of a line that fails).
  RowRun read_rows(bool placing, const Layout& layout, std::vector<OutputData>& data, std::string_view buffer,
                   std::size_t at, std::size_t stop, std::size_t count, std::span<const FieldPlan> plan,
                   std::size_t row0);

  // The rows of the frame just read, all of them, in order of id: sorted
  // where they were not placed, and their least id the next guess.
  void sort(const Layout& layout, std::vector<OutputData>& data, std::size_t first, std::size_t n,
            OwnedBuffer<unsigned char>& scratch);

 private:
  Placed place(const Layout& layout, std::vector<OutputData>& data, std::string_view buffer, std::size_t at,
               std::size_t stop, std::size_t count, std::span<const FieldPlan> plan, std::size_t row0);

  std::int64_t least_ = 1;
  int misses_ = 0;
  bool placed_ = false;                 // the last frame's rows, all of them
  OwnedBuffer<unsigned char> scratch_;  // a bucket's rows, while settled
};

}  // namespace io_rs::lammps
