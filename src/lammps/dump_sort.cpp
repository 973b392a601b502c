// A frame's atoms put in the order of their ids. LAMMPS writes each
// process's atoms in the order it holds them, so a frame's ids are a run's
// ids shuffled: each from the least to the least + n - 1, once. Then every
// row goes straight to the slot of its id (the ids' own column becomes
// least, least + 1, ...), threads sharing the rows out, since no two write
// one slot. Any other ids (gaps, repeats) take an order sorted first.
#include <algorithm>
#include <cstring>
#include <numeric>

#include "core/owned_buffer.hpp"
#include "core/parallel.hpp"
#include "lammps/dump_rows.hpp"

namespace io_rs::lammps {
namespace {

std::size_t row_bytes(const Output& output) {
  const std::size_t element = output.type == ColumnType::Text ? sizeof(std::string_view)
                              : output.type == ColumnType::Real ? sizeof(double)
                                                                : sizeof(std::int64_t);
  return element * output.width();
}

unsigned char* rows_of(const Output& output, OutputData& data) {
  return static_cast<unsigned char*>(buffer_of(output.type, data));
}

// The rows an output's buffer holds.
std::size_t data_rows(const Output& output, const OutputData& data) {
  return elements_of(output.type, data) / std::max<std::size_t>(output.width(), 1);
}

// An output's buffer of `count` rows, new.
OutputData new_rows(const Output& output, std::size_t count) {
  OutputData made;
  const std::size_t n = count * output.width();
  switch (output.type) {
    case ColumnType::Real: made.reals = OwnedBuffer<double>::allocate(n); break;
    case ColumnType::Integer: made.integers = OwnedBuffer<std::int64_t>::allocate(n); break;
    case ColumnType::Text: made.texts = OwnedBuffer<std::string_view>::allocate(n); break;
  }
  return made;
}

std::uint64_t distance(std::int64_t low, std::int64_t high) {
  return static_cast<std::uint64_t>(high) - static_cast<std::uint64_t>(low);
}

// What the ids are: in order already, or each of a run of n once (from
// least), or anything else.
enum class Ids : unsigned char { InOrder, Run, Other };

Ids ids_of(const std::int64_t* ids, std::size_t n, std::int64_t& least) {
  bool in_order = true;
  least = ids[0];
  std::int64_t most = ids[0];
  for (std::size_t i = 1; i < n; ++i) {
    in_order &= ids[i - 1] <= ids[i];
    least = std::min(least, ids[i]);
    most = std::max(most, ids[i]);
  }
  if (in_order) return Ids::InOrder;
  if (distance(least, most) != n - 1) return Ids::Other;
  // n ids in a span of n: a run unless one comes twice (one bit each).
  std::vector<std::uint64_t> seen((n + 63) / 64, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t slot = distance(least, ids[i]);
    const std::uint64_t bit = std::uint64_t{1} << (slot % 64);
    if (seen[slot / 64] & bit) return Ids::Other;
    seen[slot / 64] |= bit;
  }
  return Ids::Run;
}

// body(size) with the row size as a constant where it is a common one, so
// that each row is one move.
template <class Body>
void move_rows(std::size_t bytes, Body&& body) {
  switch (bytes) {
    case 8: body(std::integral_constant<std::size_t, 8>{}); break;
    case 16: body(std::integral_constant<std::size_t, 16>{}); break;
    case 24: body(std::integral_constant<std::size_t, 24>{}); break;
    default: body(bytes);
  }
}

// Rows [begin, end) of `from` (each `bytes` long) to the slots of their ids.
void scatter(unsigned char* to, const unsigned char* from, std::size_t bytes, const std::int64_t* ids,
             std::int64_t least, std::size_t begin, std::size_t end) {
  move_rows(bytes, [&](auto size) {
    for (std::size_t i = begin; i < end; ++i) std::memcpy(to + size * distance(least, ids[i]), from + size * i, size);
  });
}

// Room in scratch for `rows` rows of every output, one output after
// another, then as many row numbers (place): each output's row bytes, and
// where its rows start.
struct Rooms {
  std::vector<std::size_t> bytes, at;
  std::uint32_t* place;
};

Rooms rooms_in(const Layout& layout, std::size_t rows, OwnedBuffer<unsigned char>& scratch) {
  const std::size_t outputs = layout.outputs.size();
  Rooms rooms{std::vector<std::size_t>(outputs), std::vector<std::size_t>(outputs + 1, 0), nullptr};
  for (std::size_t k = 0; k < outputs; ++k) {
    rooms.bytes[k] = row_bytes(layout.outputs[k]);
    rooms.at[k + 1] = rooms.at[k] + rows * rooms.bytes[k];
  }
  const std::size_t room = rooms.at[outputs] + rows * sizeof(std::uint32_t);
  if (scratch.size() < room) scratch = OwnedBuffer<unsigned char>::allocate(room);
  rooms.place = reinterpret_cast<std::uint32_t*>(scratch.data() + rooms.at[outputs]);
  return rooms;
}

// Frames too large for a cache: scattered straight, every row would write
// to a line of memory of its own, far from the last. Instead the rows go in
// two passes that each touch memory in order: first into buckets of slots
// (a bucket's rows side by side, the buckets' current lines staying in the
// cache), then each bucket, whose slots fit the cache, into its slots.
void scatter_in_buckets(const Layout& layout, std::vector<OutputData>& data, std::size_t first, std::size_t n,
                        std::int64_t least, OwnedBuffer<unsigned char>& scratch, std::size_t threads) {
  const std::size_t outputs = layout.outputs.size();
  // The outputs' rows in buckets, then where each row goes among them.
  const Rooms rooms = rooms_in(layout, n, scratch);
  const std::vector<std::size_t>& bytes = rooms.bytes;
  const std::vector<std::size_t>& at = rooms.at;
  std::uint32_t* const place = rooms.place;
  const std::int64_t* ids = data[*layout.id].integers.data() + first;
  const std::size_t buckets = (n + kBucketRows - 1) / kBucketRows;
  // A thread's rows of bucket b go after those of the threads before it,
  // which come after those of the buckets before b (counted first).
  // On one thread, bucket b starts where its slots do: each slot has one row.
  std::vector<std::size_t> cursor(threads * buckets, 0);
  auto part = [&](std::size_t t) { return std::pair{n * t / threads, n * (t + 1) / threads}; };
  if (threads > 1) {
    run_claimed(threads, threads, [&](std::size_t t) {
      const auto [begin, end] = part(t);
      std::size_t* count = &cursor[t * buckets];
      for (std::size_t i = begin; i < end; ++i) ++count[distance(least, ids[i]) / kBucketRows];
    });
  } else {
    for (std::size_t b = 0; b < buckets; ++b) cursor[b] = std::min(kBucketRows, n - b * kBucketRows);
  }
  for (std::size_t b = 0, total = 0; b < buckets; ++b) {
    for (std::size_t t = 0; t < threads; ++t) {
      const std::size_t count = cursor[t * buckets + b];
      cursor[t * buckets + b] = total;
      total += count;
    }
  }
  run_claimed(threads, threads, [&](std::size_t t) {
    const auto [begin, end] = part(t);
    std::size_t* next = &cursor[t * buckets];
    for (std::size_t i = begin; i < end; ++i) place[i] = static_cast<std::uint32_t>(next[distance(least, ids[i]) / kBucketRows]++);
    for (std::size_t k = 0; k < outputs; ++k) {
      const unsigned char* from = rows_of(layout.outputs[k], data[k]) + first * bytes[k];
      unsigned char* to = scratch.data() + at[k];
      move_rows(bytes[k], [&](auto size) {
        for (std::size_t i = begin; i < end; ++i) std::memcpy(to + size * place[i], from + size * i, size);
      });
    }
  });
  // Bucket b holds the rows of slots [b, b + 1) * kBucketRows: each into its slot.
  const auto* bucket_ids = reinterpret_cast<const std::int64_t*>(scratch.data() + at[*layout.id]);
  run_claimed(threads, threads, [&](std::size_t t) {
    for (std::size_t b = buckets * t / threads; b < buckets * (t + 1) / threads; ++b) {
      const std::size_t begin = b * kBucketRows, end = std::min(n, begin + kBucketRows);
      for (std::size_t k = 0; k < outputs; ++k) {
        if (k == *layout.id) continue;  // the ids become least, least + 1, ...
        scatter(rows_of(layout.outputs[k], data[k]) + first * bytes[k], scratch.data() + at[k], bytes[k], bucket_ids,
                least, begin, end);
      }
    }
  });
  std::int64_t* sorted_ids = data[*layout.id].integers.data() + first;
  std::iota(sorted_ids, sorted_ids + n, least);
}

// Ids that come in long runs of ones that follow each other (each process's
// atoms in order, as a run that kept them so writes them): each run's rows
// moved to their slots as one block. threads share the runs out.
void move_runs(const Layout& layout, std::vector<OutputData>& data, std::size_t first, std::size_t n,
               std::int64_t least, OwnedBuffer<unsigned char>& scratch, std::size_t threads) {
  const std::int64_t* ids = data[*layout.id].integers.data() + first;
  std::vector<std::size_t> starts{0};
  for (std::size_t i = 1; i < n; ++i) {
    if (ids[i] != ids[i - 1] + 1) starts.push_back(i);
  }
  starts.push_back(n);
  const std::size_t runs = starts.size() - 1;
  for (std::size_t k = 0; k < layout.outputs.size(); ++k) {
    if (k == *layout.id) continue;
    const std::size_t bytes = row_bytes(layout.outputs[k]);
    unsigned char* rows = rows_of(layout.outputs[k], data[k]) + first * bytes;
    if (scratch.size() < n * bytes) scratch = OwnedBuffer<unsigned char>::allocate(n * bytes);
    unsigned char* copy = scratch.data();
    run_claimed(threads, threads, [&](std::size_t t) {
      std::memcpy(copy + n * t / threads * bytes, rows + n * t / threads * bytes,
                  (n * (t + 1) / threads - n * t / threads) * bytes);
    });
    run_claimed(threads, threads, [&](std::size_t t) {
      for (std::size_t r = runs * t / threads; r < runs * (t + 1) / threads; ++r) {
        const std::size_t begin = starts[r], count = starts[r + 1] - begin;
        std::memcpy(rows + distance(least, ids[begin]) * bytes, copy + begin * bytes, count * bytes);
      }
    });
  }
  std::int64_t* sorted_ids = data[*layout.id].integers.data() + first;
  std::iota(sorted_ids, sorted_ids + n, least);
}

// A run's ids to their slots: in long runs as blocks, else through buckets.
void place_run(const Layout& layout, std::vector<OutputData>& data, std::size_t first, std::size_t n,
               std::int64_t least, OwnedBuffer<unsigned char>& scratch, std::size_t threads) {
  const std::int64_t* ids = data[*layout.id].integers.data() + first;
  std::size_t breaks = 0;
  for (std::size_t i = 1; i < n; ++i) breaks += ids[i] != ids[i - 1] + 1;
  if (breaks < n / 64) return move_runs(layout, data, first, n, least, scratch, threads);
  scatter_in_buckets(layout, data, first, n, least, scratch, threads);
}

// Rows [begin, end) of the order: to[k] = from[order[k]].
void gather(unsigned char* to, const unsigned char* from, std::size_t bytes, std::span<const std::size_t> order,
            std::size_t begin, std::size_t end) {
  for (std::size_t k = begin; k < end; ++k) std::memcpy(to + bytes * k, from + bytes * order[k], bytes);
}

// The order of rows by id (rows of equal ids in file order): with few gaps,
// by a slot an id; else sorted.
std::vector<std::size_t> id_order(const std::int64_t* ids, std::size_t n, std::int64_t least) {
  std::int64_t most = least;
  for (std::size_t i = 0; i < n; ++i) most = std::max(most, ids[i]);
  const std::uint64_t span = distance(least, most);
  if (span < 4 * static_cast<std::uint64_t>(n) + 64) {
    constexpr std::size_t kFree = SIZE_MAX;
    std::vector<std::size_t> slots(static_cast<std::size_t>(span) + 1, kFree);
    bool unique = true;
    for (std::size_t i = 0; i < n && unique; ++i) {
      std::size_t& slot = slots[static_cast<std::size_t>(distance(least, ids[i]))];
      unique = slot == kFree;
      slot = i;
    }
    if (unique) {
      std::vector<std::size_t> order;
      order.reserve(n);
      for (std::size_t row : slots) {
        if (row != kFree) order.push_back(row);
      }
      return order;
    }
  }
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return ids[a] < ids[b]; });
  return order;
}

}  // namespace

bool settle_buckets(const Layout& layout, std::vector<OutputData>& data, std::size_t first, std::size_t n,
                    std::int64_t least, OwnedBuffer<unsigned char>& scratch) {
  const std::size_t outputs = layout.outputs.size();
  const Rooms rooms = rooms_in(layout, kBucketRows, scratch);
  const std::vector<std::size_t>& bytes = rooms.bytes;
  const std::vector<std::size_t>& at = rooms.at;
  std::uint32_t* const place = rooms.place;
  std::vector<std::uint64_t> seen(kBucketRows / 64 + 1);
  std::int64_t* ids = data[*layout.id].integers.data() + first;
  for (std::size_t begin = 0; begin < n; begin += kBucketRows) {
    // The bucket's rows are its slots' rows: each id one of them, once.
    const std::size_t rows = std::min(kBucketRows, n - begin);
    std::fill(seen.begin(), seen.end(), 0);
    bool in_order = true;
    for (std::size_t i = 0; i < rows; ++i) {
      const std::uint64_t slot = distance(least, ids[begin + i]) - begin;
      const std::uint64_t bit = std::uint64_t{1} << (slot % 64);
      if (slot >= rows || (seen[slot / 64] & bit) != 0) return false;
      seen[slot / 64] |= bit;
      place[i] = static_cast<std::uint32_t>(slot);
      in_order &= slot == i;
    }
    if (in_order) continue;
    for (std::size_t k = 0; k < outputs; ++k) {
      if (k == *layout.id) continue;
      unsigned char* bucket = rows_of(layout.outputs[k], data[k]) + (first + begin) * bytes[k];
      unsigned char* copy = scratch.data() + at[k];
      std::memcpy(copy, bucket, rows * bytes[k]);
      move_rows(bytes[k], [&](auto size) {
        for (std::size_t i = 0; i < rows; ++i) std::memcpy(bucket + size * place[i], copy + size * i, size);
      });
    }
  }
  std::iota(ids, ids + n, least);
  return true;
}

void copy_row(const Layout& layout, std::vector<OutputData>& from, std::size_t from_row,
              std::vector<OutputData>& to, std::size_t to_row) {
  for (std::size_t k = 0; k < layout.outputs.size(); ++k) {
    const std::size_t bytes = row_bytes(layout.outputs[k]);
    std::memcpy(rows_of(layout.outputs[k], to[k]) + to_row * bytes, rows_of(layout.outputs[k], from[k]) + from_row * bytes,
                bytes);
  }
}

void sort_rows(const Layout& layout, std::vector<OutputData>& data, std::size_t first, std::size_t n,
               OwnedBuffer<unsigned char>& scratch) {
  if (!layout.id || n < 2) return;
  const std::size_t id_output = *layout.id;
  std::int64_t* ids = data[id_output].integers.data() + first;
  std::int64_t least = 0;
  const Ids kind = ids_of(ids, n, least);
  if (kind == Ids::InOrder) return;
  std::vector<std::size_t> order;
  if (kind == Ids::Run && n > kBucketRows) return place_run(layout, data, first, n, least, scratch, 1);
  if (kind == Ids::Other) order = id_order(ids, n, least);
  for (std::size_t k = 0; k < layout.outputs.size(); ++k) {
    if (kind == Ids::Run && k == id_output) continue;  // last: the ids steer the others
    const std::size_t bytes = row_bytes(layout.outputs[k]);
    unsigned char* rows = rows_of(layout.outputs[k], data[k]) + first * bytes;
    // Room kept from frame to frame, never cleared: the rows are copied in.
    if (scratch.size() < n * bytes) scratch = OwnedBuffer<unsigned char>::allocate(n * bytes);
    std::memcpy(scratch.data(), rows, n * bytes);
    if (kind == Ids::Run) {
      scatter(rows, scratch.data(), bytes, ids, least, 0, n);
    } else {
      gather(rows, scratch.data(), bytes, order, 0, n);
    }
  }
  if (kind == Ids::Run) std::iota(ids, ids + n, least);
}

void sort_frame_rows(const Layout& layout, std::vector<OutputData>& data, std::size_t first, std::size_t n,
                     std::size_t threads) {
  if (!layout.id || n < 2) return;
  const std::int64_t* ids = data[*layout.id].integers.data() + first;
  std::int64_t least = 0;
  const Ids kind = ids_of(ids, n, least);
  if (kind == Ids::InOrder) return;
  threads = std::max<std::size_t>(1, std::min(threads, n / 4096));
  OwnedBuffer<unsigned char> scratch;
  if (kind == Ids::Run) return place_run(layout, data, first, n, least, scratch, threads);
  const std::vector<std::size_t> order = id_order(ids, n, least);
  for (std::size_t k = 0; k < layout.outputs.size(); ++k) {
    const Output& output = layout.outputs[k];
    const std::size_t bytes = row_bytes(output);
    unsigned char* rows = rows_of(output, data[k]) + first * bytes;
    if (first == 0 && data_rows(output, data[k]) == n) {
      // The frame is all the output holds: gathered into a new buffer.
      OutputData sorted = new_rows(output, n);
      unsigned char* to = rows_of(output, sorted);
      run_claimed(threads, threads, [&](std::size_t t) { gather(to, rows, bytes, order, n * t / threads, n * (t + 1) / threads); });
      data[k] = std::move(sorted);
      continue;
    }
    if (scratch.size() < n * bytes) scratch = OwnedBuffer<unsigned char>::allocate(n * bytes);
    unsigned char* copy = scratch.data();
    run_claimed(threads, threads, [&](std::size_t t) {
      std::memcpy(copy + n * t / threads * bytes, rows + n * t / threads * bytes,
                  (n * (t + 1) / threads - n * t / threads) * bytes);
    });
    run_claimed(threads, threads, [&](std::size_t t) { gather(rows, copy, bytes, order, n * t / threads, n * (t + 1) / threads); });
  }
}

}  // namespace io_rs::lammps
