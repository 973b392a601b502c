// Memory for output buffers. Large ones are written once, front to back,
// right after they are allocated: on 4 KiB pages that is a page fault per
// 4 KiB, which can cost as much as reading the numbers that fill them. On
// Linux a large buffer starts on a 2 MiB boundary, where the kernel can map
// a transparent huge page, so that thousands of faults become a few. It asks
// for them only where a fault then takes a free huge page without stopping
// to compact memory for one: where the `defrag` setting is `defer` or
// `never`, or, with the common `madvise`, where the kernel holds free huge
// pages enough for the buffer twice over (/proc/buddyinfo). A fault that
// compacts stops for milliseconds on a machine whose memory others have cut
// up, and two threads faulting at once wait on each other there: a read on
// two threads took either its usual time or a third more, from call to
// call. Buffers of a few hundred KB come from the buffer store
// (buffer_store.hpp), the rest from malloc, calloc and realloc. Whatever
// these give is released with release_buffer.
#pragma once

#include <cstddef>
#include <string_view>

namespace io_rs {

// From this many bytes a buffer is large.
inline constexpr std::size_t kLargePagesFrom = std::size_t{4} << 20;

// The free huge pages, of 2^huge_order pages each, that a text in the form
// of /proc/buddyinfo counts: in every zone, the free blocks of each order
// from huge_order up (a block of order k is 2^k pages).
std::size_t free_huge_pages_in(std::string_view buddyinfo, unsigned huge_order) noexcept;

// bytes (at least 1) of memory, zeroed when asked; nullptr when there is none.
void* allocate_buffer(std::size_t bytes, bool zeroed) noexcept;

// The buffer at data (kept bytes of it worth keeping) moved or resized to
// bytes (at least 1); nullptr, with data untouched, when there is no memory.
void* reallocate_buffer(void* data, std::size_t kept, std::size_t bytes) noexcept;

// Releases what allocate_buffer or reallocate_buffer gave (nullptr: nothing).
void release_buffer(void* data) noexcept;

}  // namespace io_rs
