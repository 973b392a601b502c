#include "core/large_pages.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace io_rs {
namespace {

#if defined(__linux__) && defined(MADV_HUGEPAGE)
constexpr std::size_t kHugePage = std::size_t{2} << 20;

void* allocate_large(std::size_t bytes) noexcept {
  void* p = nullptr;
  if (posix_memalign(&p, kHugePage, bytes) != 0) return nullptr;
  // A hint: it fails harmlessly where huge pages are off.
  madvise(p, (bytes + kHugePage - 1) & ~(kHugePage - 1), MADV_HUGEPAGE);
  return p;
}
#else
void* allocate_large(std::size_t bytes) noexcept { return std::malloc(bytes); }
#endif

}  // namespace

void* allocate_buffer(std::size_t bytes, bool zeroed) noexcept {
  if (bytes < kLargePagesFrom) return zeroed ? std::calloc(bytes, 1) : std::malloc(bytes);
  void* p = allocate_large(bytes);
  if (p != nullptr && zeroed) std::memset(p, 0, bytes);
  return p;
}

void* reallocate_buffer(void* data, std::size_t kept, std::size_t bytes) noexcept {
  // Shrinking, or staying small, keeps the buffer where it is.
  if (bytes < kLargePagesFrom || bytes <= kept || data == nullptr) {
    if (data == nullptr) return allocate_buffer(bytes, false);
    return std::realloc(data, bytes);
  }
  void* p = allocate_large(bytes);
  if (p == nullptr) return nullptr;
  std::memcpy(p, data, kept);
  std::free(data);
  return p;
}

}  // namespace io_rs
