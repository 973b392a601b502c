// The pages of a mapped file, mapped in ahead of reading them. A file that
// is mapped rather than read costs a page fault at each new stretch of it as
// a reader first touches it, a sixth of a one-thread read of an OUTCAR. The
// kernel maps the pages in far fewer steps when asked for a range at once,
// and threads can ask for parts of it side by side. Only for a file that is
// mapped and read whole: for memory already in place (bytes) the asking
// costs as much as it saves.
#pragma once

#include <cstddef>

namespace io_rs {

// From this many bytes a buffer is worth the asking.
inline constexpr std::size_t kPopulateFrom = std::size_t{16} << 20;

// Asks for the pages of [data, data + bytes) to be mapped in, on up to
// `threads` threads. A hint: where the system cannot (not Linux, a kernel
// before 5.14), nothing happens and the reader faults the pages in itself.
void populate_pages(const char* data, std::size_t bytes, std::size_t threads) noexcept;

}  // namespace io_rs
