#include "core/page_populate.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>

#include "core/parallel.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#ifndef MADV_POPULATE_READ
#define MADV_POPULATE_READ 22
#endif
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif
#endif

namespace io_rs {

#if defined(__linux__)
namespace {

// Off for the rest of the process once the kernel refuses the advice.
std::atomic<bool> refused{false};

void populate_part(std::uintptr_t begin, std::uintptr_t end, int advice = MADV_POPULATE_READ) noexcept {
  if (begin >= end || refused.load(std::memory_order_relaxed)) return;
  if (madvise(reinterpret_cast<void*>(begin), end - begin, advice) != 0 && errno == EINVAL) {
    refused.store(true, std::memory_order_relaxed);
  }
}

std::uintptr_t page_size() noexcept {
  static const auto size = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  return size;
}

}  // namespace

void populate_pages(const char* data, std::size_t bytes, std::size_t threads) noexcept {
  if (data == nullptr || bytes < kPopulateFrom || refused.load(std::memory_order_relaxed)) return;
  const std::uintptr_t page = page_size();
  if (page == 0 || (page & (page - 1)) != 0) return;
  // Whole pages: madvise takes a start on a page boundary.
  const std::uintptr_t begin = reinterpret_cast<std::uintptr_t>(data) & ~(page - 1);
  const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(data) + bytes;
  const std::size_t parts = 8 * std::max<std::size_t>(threads, 1);
  const std::uintptr_t span = ((end - begin) / parts + page) & ~(page - 1);
  try {
    run_claimed(threads, parts, [&](std::size_t k) {
      const std::uintptr_t from = begin + k * span;
      populate_part(from, std::min(end, from + span));
    });
  } catch (...) {
    // No worker to be had: the reader faults the pages in as it goes.
  }
}

void populate_for_writing(void* begin, void* end) noexcept {
  const std::uintptr_t page = page_size();
  if (page == 0 || (page & (page - 1)) != 0) return;
  // Whole pages only: those at the ends may hold others' bytes.
  const std::uintptr_t first = (reinterpret_cast<std::uintptr_t>(begin) + page - 1) & ~(page - 1);
  const std::uintptr_t last = reinterpret_cast<std::uintptr_t>(end) & ~(page - 1);
  populate_part(first, last, MADV_POPULATE_WRITE);
}

#else
void populate_pages(const char*, std::size_t, std::size_t) noexcept {}
void populate_for_writing(void*, void*) noexcept {}
#endif

}  // namespace io_rs
