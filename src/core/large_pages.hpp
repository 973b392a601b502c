// Memory for output buffers. Large ones are written once, front to back,
// right after they are allocated: on 4 KiB pages that is a page fault per
// 4 KiB, which can cost as much as reading the numbers that fill them. On
// Linux, where transparent huge pages can be asked for, a large buffer starts
// on a 2 MiB boundary and asks for them, so that thousands of faults become
// a few. Elsewhere these are malloc, calloc and realloc. Either way the
// memory is released with std::free.
#pragma once

#include <cstddef>

namespace io_rs {

// From this many bytes a buffer is large.
inline constexpr std::size_t kLargePagesFrom = std::size_t{4} << 20;

// bytes (at least 1) of memory, zeroed when asked; nullptr when there is none.
void* allocate_buffer(std::size_t bytes, bool zeroed) noexcept;

// The buffer at data (kept bytes of it worth keeping) moved or resized to
// bytes (at least 1); nullptr, with data untouched, when there is no memory.
void* reallocate_buffer(void* data, std::size_t kept, std::size_t bytes) noexcept;

}  // namespace io_rs
