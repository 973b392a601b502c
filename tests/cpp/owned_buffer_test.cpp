// Owned buffers that grow past the size where they move to huge-page memory
// and shrink back keep every element they held, zeroed ones read as zero;
// the free huge pages counted from the kernel's table.
#include <cstdint>
#include <cstdio>

#include "core/large_pages.hpp"
#include "core/owned_buffer.hpp"

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
  // Small to small, small to large, large to larger, then shrinking.
  for (std::size_t size : {std::size_t{5000}, kLarge + 3, 3 * kLarge, 7 * kLarge / 2}) {
    fill_to(buffer.size());
    buffer.resize(size);
    check(filled, "growing");
  }
  fill_to(buffer.size());
  for (std::size_t size : {2 * kLarge, kLarge / 2, std::size_t{10}}) {
    buffer.resize(size);
    filled = size;
    check(size, "shrinking");
  }
  for (std::size_t size : {std::size_t{100}, 2 * kLarge}) {
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
  std::printf("owned buffers: growing and shrinking across %zu bytes, %ld failures\n", io_rs::kLargePagesFrom,
              failures);
  return failures == 0 ? 0 : 1;
}
