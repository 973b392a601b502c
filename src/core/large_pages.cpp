#include "core/large_pages.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string_view>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace io_rs {
namespace {

#if defined(__linux__) && defined(MADV_HUGEPAGE)
constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Whether a fault in a region that asks for huge pages takes a free one, if
// any, without compacting memory on the spot: the kernel's defrag setting,
// the one in brackets, is defer or never.
bool faults_never_compact() noexcept {
  static const bool never = [] {
    std::FILE* file = std::fopen("/sys/kernel/mm/transparent_hugepage/defrag", "r");
    if (file == nullptr) return false;
    char text[128] = {};
    const std::size_t read = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    const std::string_view setting(text, read);
    return setting.find("[defer]") != std::string_view::npos || setting.find("[never]") != std::string_view::npos;
  }();
  return never;
}

void* allocate_large(std::size_t bytes) noexcept {
  void* p = nullptr;
  if (posix_memalign(&p, kHugePage, bytes) != 0) return nullptr;
  // A hint: it fails harmlessly where huge pages are off. Where faults
  // compact, the boundary alone still lets a kernel that maps huge pages
  // by itself (enabled=always) use a free one.
  if (faults_never_compact()) madvise(p, (bytes + kHugePage - 1) & ~(kHugePage - 1), MADV_HUGEPAGE);
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
