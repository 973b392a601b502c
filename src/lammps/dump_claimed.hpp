// A large frame read on threads straight into the slots of its ids, each
// thread reading its own part of the lines, in file order. A row goes to its
// id's bucket (kBucketRows slots, put in order once every row is in:
// settle_buckets). Threads claim a bucket's slots a chunk at a time through
// one counter a bucket, so no two write one row and none waits for another.
// Where a bucket's slots are all claimed, a row goes to its thread's spill,
// and once every thread is done, into a slot that a chunk of the bucket
// left empty. No thread passes over lines that others read, and no scratch
// as large as the frame is needed.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "lammps/dump_placed.hpp"
#include "lammps/dump_rows.hpp"

namespace io_rs::lammps {

// The slots a thread claims in a bucket at once: few claims, and few slots
// left empty at the end (at most a chunk a thread a bucket) for the spills.
#ifndef IO_RS_CHUNK_ROWS
#define IO_RS_CHUNK_ROWS 256
#endif
inline constexpr std::size_t kChunkRows = std::min<std::size_t>(IO_RS_CHUNK_ROWS, kBucketRows);

// The claim counters of a frame's buckets, shared by its threads.
class BucketClaims {
 public:
  explicit BucketClaims(std::size_t n) : n_(n), buckets_((n + kBucketRows - 1) / kBucketRows), claimed_(new Counter[buckets_]) {}

  std::size_t buckets() const noexcept { return buckets_; }
  std::size_t rows() const noexcept { return n_; }
  std::size_t bucket_begin(std::size_t b) const noexcept { return b * kBucketRows; }
  std::size_t bucket_end(std::size_t b) const noexcept { return std::min(n_, (b + 1) * kBucketRows); }

  // The next chunk of bucket b's slots as [first, last), empty where all
  // are claimed.
  void claim(std::size_t b, std::size_t& first, std::size_t& last) noexcept {
    const std::size_t begin = bucket_begin(b);
    const std::size_t size = bucket_end(b) - begin;
    const std::size_t at = claimed_[b].value.fetch_add(kChunkRows, std::memory_order_relaxed);
    first = begin + std::min(at, size);
    last = begin + std::min(at + kChunkRows, size);
  }

 private:
  // A cache line each: threads claiming in different buckets do not meet.
  struct alignas(64) Counter {
    std::atomic<std::size_t> value{0};
  };
  std::size_t n_, buckets_;
  std::unique_ptr<Counter[]> claimed_;
};

// One thread's chunks: in each bucket the slots it claimed and has not
// written, [next, end).
class ChunkSlots {
 public:
  enum class Take : unsigned char { Slot, Spill, Refused };

  ChunkSlots(BucketClaims& claims, std::int64_t least)
      : claims_(claims), least_(least), next_(claims.buckets(), 0), end_(claims.buckets(), 0), spent_(claims.buckets(), 0) {}

  IO_RS_ALWAYS_INLINE Take take(std::int64_t id, std::size_t& row, std::size_t& bucket) noexcept {
    const std::uint64_t s = static_cast<std::uint64_t>(id) - static_cast<std::uint64_t>(least_);
    if (s >= claims_.rows()) return Take::Refused;
    const std::size_t b = static_cast<std::size_t>(s / kBucketRows);
    bucket = b;
    if (next_[b] == end_[b]) [[unlikely]] {
      if (spent_[b] != 0) return Take::Spill;
      claims_.claim(b, next_[b], end_[b]);
      if (next_[b] == end_[b]) {
        spent_[b] = 1;
        return Take::Spill;
      }
    }
    row = next_[b]++;
    return Take::Slot;
  }

  // A slot of bucket b that this thread claimed and left empty, if any.
  bool empty_slot(std::size_t b, std::size_t& row) noexcept {
    if (next_[b] == end_[b]) return false;
    row = next_[b]++;
    return true;
  }

 private:
  BucketClaims& claims_;
  std::int64_t least_;
  std::vector<std::size_t> next_, end_;
  std::vector<unsigned char> spent_;  // every slot of the bucket claimed
};

// The rows a thread could not place, each with its bucket, in outputs of
// the frame's layout that grow as needed.
struct Spill {
  std::vector<OutputData> data;
  std::vector<FieldPlan> plan;
  std::vector<std::size_t> buckets;
  std::size_t room = 0;

  std::size_t rows() const noexcept { return buckets.size(); }
  // Room for one more row (the plan then points at the new buffers).
  void make_room(const Layout& layout);
};

// Lines from offset at (none starting at or past stop) into the slots of
// their ids, or the thread's spill; Reader reads the fields after the id.
// The lines read and the offset past them, or nothing where a line's id
// does not read or is not one of the run, a line does not read, the spill
// outgrows what the chunks can leave empty (spill_limit), or give_up is set
// (checked now and then).
struct PartRead {
  std::size_t lines = 0;
  std::size_t next = 0;
};

template <class Reader>
std::optional<PartRead> read_rows_claimed_with(std::string_view buffer, std::size_t at, std::size_t stop,
                                               std::span<const FieldPlan> plan, const Layout& layout,
                                               ChunkSlots& slots, Spill& spill, std::size_t spill_limit,
                                               const std::atomic<bool>& give_up) {
  const RowBounds bounds(buffer, at, stop);
  const char* const end = bounds.end;
  const char* p = bounds.p;
  auto* const ids = static_cast<std::int64_t*>(plan[0].base);
  PartRead part;
  for (; p < bounds.last; ++part.lines) {
    if (part.lines % 4096 == 0 && give_up.load(std::memory_order_relaxed)) return std::nullopt;
    std::int64_t id = 0;
    const FieldPlan id_field{ColumnType::Integer, 1, &id};
    const char* q = p;
    std::size_t row = 0;
    std::size_t bucket = 0;
    ChunkSlots::Take take = ChunkSlots::Take::Refused;
    const bool fast_id = read_field_fast<ColumnType::Integer, false>(q, bounds.limit, end, id_field, 0);
    if (fast_id) {
      take = slots.take(id, row, bucket);
      if (take == ChunkSlots::Take::Slot) [[likely]] {
        prefetch_next_lines(plan, row);
        if (const char* after = Reader::rest(q, bounds.limit, end, plan, row)) [[likely]] {
          ids[row] = id;
          p = after;
          continue;
        }
      }
    }
    // The rest the general way: lines the fast shapes miss, and spilled rows.
    const void* lf = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
    const char* line_end = lf == nullptr ? end : static_cast<const char*>(lf);
    const std::string_view line(p, static_cast<std::size_t>(line_end - p));
    if (!fast_id) {
      if (!line_id(line, end, id)) return std::nullopt;
      take = slots.take(id, row, bucket);
    }
    if (take == ChunkSlots::Take::Refused) return std::nullopt;
    std::span<const FieldPlan> into = plan;
    if (take == ChunkSlots::Take::Spill) {
      if (spill.rows() == spill_limit) return std::nullopt;
      spill.make_room(layout);
      row = spill.rows();
      spill.buckets.push_back(bucket);
      into = spill.plan;
    }
    if (read_row(line, end, into, row).problem != RowProblem::None) return std::nullopt;
    p = line_end == end ? end : line_end + 1;
  }
  part.next = static_cast<std::size_t>(p - bounds.begin);
  return part;
}

// A large frame of count rows from offset at to the end of the buffer (blank
// lines at its end aside) read on threads straight into the slots of its
// ids, guessed a run from least, and put in order: the offset past its
// lines. Nothing where that fails (ids not such a run, a line that does not
// read, more or fewer lines than count); the rows are then in no order, and
// the frame is to be read the ordinary way, which says what is wrong.
std::optional<std::size_t> place_frame_on_threads(const Layout& layout, std::vector<OutputData>& data,
                                                  std::string_view buffer, std::size_t at, std::size_t count,
                                                  std::span<const FieldPlan> plan, std::int64_t least,
                                                  std::size_t threads);

}  // namespace io_rs::lammps
