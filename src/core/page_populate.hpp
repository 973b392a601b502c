// Pages mapped in ahead of their first use. A file that is mapped rather
// than read costs a page fault at each new stretch of it as a reader first
// touches it, a sixth of a one-thread read of an OUTCAR; so does each 4 KiB
// of a new output as it is first written, a quarter of reading a large
// LAMMPS dump. The kernel maps pages in far fewer steps when asked for a
// range at once (an output a stretch just ahead of its writing, while the
// zeroed pages are still in the cache), and threads can ask for parts side
// by side. Only for memory that is new: for pages already in place (a bytes
// object, a buffer used before) the asking costs as much as it saves.
#pragma once

#include <cstddef>

namespace io_rs {

// From this many bytes a buffer is worth the asking.
inline constexpr std::size_t kPopulateFrom = std::size_t{16} << 20;

// Asks for the pages of [data, data + bytes) to be mapped in, on up to
// `threads` threads. A hint: where the system cannot (not Linux, a kernel
// before 5.14), nothing happens and the reader faults the pages in itself.
void populate_pages(const char* data, std::size_t bytes, std::size_t threads) noexcept;

// Asks for the whole pages within [begin, end) to be mapped in writable, on
// the calling thread (a hint, as above).
void populate_for_writing(void* begin, void* end) noexcept;

}  // namespace io_rs
