// Owned buffers that grow past the size where they move to huge-page memory
// and shrink back keep every element they held, zeroed ones read as zero;
// the free huge pages counted from the kernel's table; the store of freed
// buffers gives a block back only once, of the room asked for, and holds no
// more than its capacity.
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

#include "core/buffer_store.hpp"
#include "core/large_pages.hpp"
#include "core/owned_buffer.hpp"

namespace {

long check_store() {
  long failures = 0;
  auto fail = [&](const char* what) {
    std::printf("buffer store: %s\n", what);
    ++failures;
  };
  // Rooms: at least the bytes, less than an eighth of the power of two
  // below them more, and the same for bytes within one eighth.
  std::mt19937_64 random(7);
  for (int k = 0; k < 100000; ++k) {
    const std::size_t bytes = 16 + random() % (std::size_t{1} << (5 + k % 20));
    const std::size_t room = io_rs::BufferStore::room_for(bytes);
    if (room < bytes || room - bytes >= std::bit_floor(bytes) / 8 || io_rs::BufferStore::room_for(room) != room) {
      fail("a room outside its class");
      break;
    }
  }
  io_rs::BufferStore store(1 << 20);
  void* a = store.take(100000);
  if (a == nullptr || store.room(a) != io_rs::BufferStore::room_for(100000)) fail("no room recorded for a block out");
  int local = 0;
  if (store.give(&local) || store.room(&local) != 0) fail("took a pointer it never gave");
  if (!store.give(a) || store.stored_bytes() != io_rs::BufferStore::room_for(100000)) fail("did not store a block");
  if (store.give(a)) fail("took a stored block twice");
  void* larger = store.take(300000);  // more than the stored block's room
  void* smaller = store.take(40000);  // less than half of it
  void* again = store.take(99000);
  if (again != a || larger == a || smaller == a) fail("gave a stored block to a request it does not fit");
  if (store.stored_bytes() != 0) fail("a block taken back is still counted");
  for (void* block : {again, larger, smaller}) store.give(block);
  // Past the capacity, the oldest go.
  std::vector<void*> blocks;
  for (int k = 0; k < 12; ++k) blocks.push_back(store.take(100000 + 40000 * k));
  for (void* block : blocks) store.give(block);
  if (store.stored_bytes() > (1 << 20)) fail("holds more than its capacity");
  void* newest = store.take(540000);
  if (newest != blocks[11]) fail("the newest block was not kept");
  store.forget(newest);
  if (store.give(newest)) fail("took back a block it forgot");
  std::free(newest);
  // Threads taking and giving: a block out is written by one owner only.
  io_rs::BufferStore shared(1 << 21);
  std::atomic<long> clashes = 0;
  auto work = [&](std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<std::pair<std::uint64_t*, std::size_t>> held;
    for (int k = 0; k < 4000; ++k) {
      if (held.size() < 6 && rng() % 2 == 0) {
        const std::size_t bytes = 65536 + rng() % 200000;
        auto* block = static_cast<std::uint64_t*>(shared.take(bytes));
        for (std::size_t i = 0; i < bytes / 8; i += 512) block[i] = seed;
        held.emplace_back(block, bytes);
      } else if (!held.empty()) {
        auto [block, bytes] = held.back();
        held.pop_back();
        for (std::size_t i = 0; i < bytes / 8; i += 512) clashes += block[i] != seed;
        shared.give(block);
      }
    }
    for (auto [block, bytes] : held) shared.give(block);
  };
  std::thread other(work, 1);
  work(2);
  other.join();
  if (clashes != 0) fail("a block was given to two owners at once");
  return failures;
}

}  // namespace

int main() {
  long failures = 0;
  constexpr std::size_t kLarge = io_rs::kLargePagesFrom / sizeof(std::uint64_t);
  auto buffer = io_rs::OwnedBuffer<std::uint64_t>::allocate(1000);
  std::size_t filled = 0;
  auto fill_to = [&](std::size_t n) {
    for (; filled < n; ++filled) buffer[filled] = filled * 2654435761u;
  };
  auto check = [&](std::size_t n, const char* when) {
    for (std::size_t i = 0; i < n; ++i) {
      if (buffer[i] != i * 2654435761u) {
        std::printf("owned buffer: element %zu lost %s\n", i, when);
        ++failures;
        return;
      }
    }
  };
  // Small to stored, within its room, out of it, to large, larger, then shrinking.
  for (std::size_t size : {std::size_t{5000}, std::size_t{20000}, std::size_t{20400}, std::size_t{90000}, kLarge + 3,
                           3 * kLarge, 7 * kLarge / 2}) {
    fill_to(buffer.size());
    buffer.resize(size);
    check(filled, "growing");
  }
  fill_to(buffer.size());
  for (std::size_t size : {2 * kLarge, kLarge / 2, std::size_t{30000}, std::size_t{10}}) {
    buffer.resize(size);
    filled = size;
    check(size, "shrinking");
  }
  for (std::size_t size : {std::size_t{100}, std::size_t{20000}, 2 * kLarge}) {
    {
      // A stored block, written before, must come back zeroed all the same.
      auto dirty = io_rs::OwnedBuffer<std::uint64_t>::allocate(size);
      for (std::size_t i = 0; i < size; ++i) dirty[i] = ~std::uint64_t{0};
    }
    auto zeroed = io_rs::OwnedBuffer<std::uint64_t>::allocate(size, true);
    for (std::size_t i = 0; i < size; ++i) {
      if (zeroed[i] != 0) {
        std::printf("owned buffer: zeroed element %zu of %zu is not zero\n", i, size);
        ++failures;
        break;
      }
    }
  }
  // Free huge pages counted from the kernel's table of free blocks.
  struct FreeBlocks {
    const char* text;
    unsigned order;
    std::size_t pages;
  };
  const FreeBlocks tables[] = {
      {"Node 0, zone      DMA      0      0      0      0      0      0      0      0      1      1      3 \n"
       "Node 0, zone    DMA32      1      2      2      2      1      2      0      3      3      1    753 \n"
       "Node 0, zone   Normal  22389  14809   9329   6495   4323   2054   1351    761    452    212    188 \n",
       9, (1 + 2 * 3) + (1 + 2 * 753) + (212 + 2 * 188)},
      {"Node 0, zone Normal 5 6 7", 1, 6 + 2 * 7},
      {"Node 1, zone\tNormal\t1\t1\n\nno zones here 9 9 9\n", 0, 1 + 2},
      {"Node 0, zone Normal 1 2 3\n", 9, 0},
      {"Node 0, zone Normal 4 8 12", 2, 12},  // a table cut where it was read
      {"", 9, 0},
  };
  for (const FreeBlocks& table : tables) {
    const std::size_t pages = io_rs::free_huge_pages_in(table.text, table.order);
    if (pages != table.pages) {
      std::printf("free huge pages of order %u: %zu, expected %zu, in:\n%s\n", table.order, pages, table.pages,
                  table.text);
      ++failures;
    }
  }
  failures += check_store();
  std::printf("owned buffers: growing and shrinking across %zu bytes, %ld failures\n", io_rs::kLargePagesFrom,
              failures);
  return failures == 0 ? 0 : 1;
}
