#include "core/large_pages.hpp"

#include "core/buffer_store.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace io_rs {
namespace {

#if defined(__linux__) && defined(MADV_HUGEPAGE)
constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Up to size - 1 bytes of a small system file, or none.
std::string_view read_small_file(const char* path, char* text, std::size_t size) noexcept {
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) return {};
  const std::size_t read = std::fread(text, 1, size - 1, file);
  std::fclose(file);
  return {text, read};
}

// Whether a fault in a region that asks for huge pages takes a free one, if
// any, without compacting memory on the spot: the kernel's defrag setting,
// the one in brackets, is defer or never.
bool faults_never_compact() noexcept {
  static const bool never = [] {
    char text[128];
    const std::string_view setting = read_small_file("/sys/kernel/mm/transparent_hugepage/defrag", text, sizeof text);
    return setting.find("[defer]") != std::string_view::npos || setting.find("[never]") != std::string_view::npos;
  }();
  return never;
}

// Whether the kernel holds free huge pages enough for a buffer of `bytes`,
// twice over: a fault then takes one of them, where it would compact memory
// for one if there were none.
bool huge_pages_free_for(std::size_t bytes) noexcept {
  static const long page = sysconf(_SC_PAGESIZE);
  if (page <= 0 || kHugePage % static_cast<std::size_t>(page) != 0) return false;
  const unsigned order = static_cast<unsigned>(std::countr_zero(kHugePage / static_cast<std::size_t>(page)));
  char text[4096];
  const std::string_view info = read_small_file("/proc/buddyinfo", text, sizeof text);
  return free_huge_pages_in(info, order) / 2 >= (bytes + kHugePage - 1) / kHugePage;
}

void* allocate_large(std::size_t bytes) noexcept {
  void* p = nullptr;
  if (posix_memalign(&p, kHugePage, bytes) != 0) return nullptr;
  // A hint: it fails harmlessly where huge pages are off. Where faults
  // would compact and no huge pages are free, the boundary alone still lets
  // a kernel that maps huge pages by itself (enabled=always) use a free one.
  if (faults_never_compact() || huge_pages_free_for(bytes)) madvise(p, (bytes + kHugePage - 1) & ~(kHugePage - 1), MADV_HUGEPAGE);
  return p;
}
#else
void* allocate_large(std::size_t bytes) noexcept { return std::malloc(bytes); }
#endif

}  // namespace

std::size_t free_huge_pages_in(std::string_view buddyinfo, unsigned huge_order) noexcept {
  // A line a zone: "Node 0, zone   Normal   22389  14809 ...".
  std::size_t pages = 0;
  while (!buddyinfo.empty()) {
    const std::size_t line_end = std::min(buddyinfo.find('\n'), buddyinfo.size());
    std::string_view line = buddyinfo.substr(0, line_end);
    buddyinfo.remove_prefix(std::min(line_end + 1, buddyinfo.size()));
    const std::size_t zone = line.find("zone");
    if (zone == std::string_view::npos) continue;
    line.remove_prefix(zone + 4);
    auto skip_blanks = [&] { while (!line.empty() && (line[0] == ' ' || line[0] == '\t')) line.remove_prefix(1); };
    skip_blanks();
    while (!line.empty() && line[0] != ' ' && line[0] != '\t') line.remove_prefix(1);  // its name
    for (unsigned order = 0;; ++order) {
      skip_blanks();
      std::size_t count = 0;
      const auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), count);
      if (error != std::errc() || end == line.data()) break;
      line.remove_prefix(static_cast<std::size_t>(end - line.data()));
      if (order >= huge_order && order - huge_order < 32) {
        const std::size_t each = std::size_t{1} << (order - huge_order);
        pages = count > (SIZE_MAX - pages) / each ? SIZE_MAX : pages + count * each;
      }
    }
  }
  return pages;
}

void* allocate_buffer(std::size_t bytes, bool zeroed) noexcept {
  if (bytes >= BufferStore::kFrom && bytes < kLargePagesFrom) {
    void* p = buffer_store().take(bytes);
    if (p != nullptr && zeroed) std::memset(p, 0, bytes);
    return p;
  }
  if (bytes < kLargePagesFrom) return zeroed ? std::calloc(bytes, 1) : std::malloc(bytes);
  void* p = allocate_large(bytes);
  if (p != nullptr && zeroed) std::memset(p, 0, bytes);
  return p;
}

void* reallocate_buffer(void* data, std::size_t kept, std::size_t bytes) noexcept {
  if (data == nullptr) return allocate_buffer(bytes, false);
  // A stored block's room is its own: a buffer that shrinks, or grows
  // within it, stays; one that outgrows it moves.
  const std::size_t room = buffer_store().room(data);
  if (room != 0 && bytes <= room) return data;
  // Shrinking, or staying small, keeps a plain block where it is.
  if (room == 0 && (bytes < kLargePagesFrom || bytes <= kept)) return std::realloc(data, bytes);
  void* p = allocate_buffer(bytes, false);
  if (p == nullptr) return nullptr;
  std::memcpy(p, data, kept);
  release_buffer(data);
  return p;
}

void release_buffer(void* data) noexcept {
  if (data != nullptr && !buffer_store().give(data)) std::free(data);
}

}  // namespace io_rs
