// Owned buffers that grow past the size where they move to huge-page memory
// and shrink back keep every element they held, zeroed ones read as zero.
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
  std::printf("owned buffers: growing and shrinking across %zu bytes, %ld failures\n", io_rs::kLargePagesFrom,
              failures);
  return failures == 0 ? 0 : 1;
}
