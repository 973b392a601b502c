// Work of one call spread over threads: parts numbered from 0, claimed in
// order by the calling thread and up to threads - 1 kept workers (see
// worker_pool.hpp). The caller cuts the work so that the result does not
// depend on which thread ran which part; an exception thrown by a part is
// thrown again in the caller once no part is running.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "core/worker_pool.hpp"

namespace io_rs {

// Below this many bytes of text a thread costs more than it saves: waking a
// worker and handing it parts takes microseconds, reading 64 KiB about 60.
// The fuzzers set it to 1, so that every input is cut.
#ifndef IO_RS_MIN_BYTES_PER_THREAD
#define IO_RS_MIN_BYTES_PER_THREAD (std::size_t{1} << 16)
#endif
inline constexpr std::size_t kMinBytesPerThread = IO_RS_MIN_BYTES_PER_THREAD;

// The threads worth using for a call that reads `bytes` of text, at most
// requested: one for a small call, which then never touches the workers.
inline std::size_t threads_for(std::size_t requested, std::size_t bytes) noexcept {
  return std::max<std::size_t>(1, std::min(requested, bytes / kMinBytesPerThread));
}

// The bytes of text of one part: many parts a thread, so that the threads
// end about together and the calling thread, its last part done, waits
// little for the one a worker is running; yet thousands of lines each, so
// that claiming a part costs nothing beside reading it.
inline constexpr std::size_t kLeastPartBytes = std::min<std::size_t>(std::size_t{1} << 14, kMinBytesPerThread);
inline constexpr std::size_t kMostPartBytes = std::size_t{1} << 18;
inline std::size_t part_bytes(std::size_t bytes, std::size_t threads) noexcept {
  return std::clamp(bytes / (32 * std::max<std::size_t>(threads, 1)) + 1, kLeastPartBytes,
                    std::max(kLeastPartBytes, kMostPartBytes));
}

// Parts 0 .. count - 1 on the calling thread and up to threads - 1 workers.
template <class Part>
void run_claimed(std::size_t threads, std::size_t count, Part&& part) {
  if (threads <= 1 || count <= 1) {
    for (std::size_t k = 0; k < count; ++k) part(k);
    return;
  }
  using Held = std::remove_reference_t<Part>;
  PartClaims claims(std::min(threads - 1, count - 1),
                    {[](void* context, std::size_t k) { (*static_cast<Held*>(context))(k); }, &part});
  claims.publish(count);
  while (auto k = claims.claim()) part(*k);
  claims.finish();
}

// The same, with meanwhile() run on the calling thread as soon as the
// workers may take parts: work of its own beside theirs (handing on what
// the call before made), after which it takes parts too. With one thread,
// meanwhile() runs first, then every part.
template <class Part, class Meanwhile>
void run_claimed_beside(std::size_t threads, std::size_t count, Part&& part, Meanwhile&& meanwhile) {
  if (threads <= 1 || count == 0) {
    meanwhile();
    for (std::size_t k = 0; k < count; ++k) part(k);
    return;
  }
  using Held = std::remove_reference_t<Part>;
  PartClaims claims(std::min(threads - 1, count),
                    {[](void* context, std::size_t k) { (*static_cast<Held*>(context))(k); }, &part});
  claims.publish(count);
  meanwhile();
  while (auto k = claims.claim()) part(*k);
  claims.finish();
}

// Nothing to do beside the parts.
struct NothingBeside {
  void operator()() const noexcept {}
};

// The same for parts in file order, each of which may end the reading
// (part(k) returns true: a failure, or the last line wanted): parts after
// the first that did are not run, or stop at once. Returns that part, or
// count when none did. meanwhile() as for run_claimed_beside.
template <class Part, class Meanwhile = NothingBeside>
std::size_t run_claimed_until(std::size_t threads, std::size_t count, Part&& part, Meanwhile&& meanwhile = {}) {
  std::atomic<std::size_t> ended{count};
  auto until = [&](std::size_t k) {
    if (k > ended.load(std::memory_order_relaxed) || !part(k)) return;
    std::size_t seen = ended.load(std::memory_order_relaxed);
    while (k < seen && !ended.compare_exchange_weak(seen, k, std::memory_order_relaxed)) {
    }
  };
  if constexpr (std::is_same_v<std::remove_cvref_t<Meanwhile>, NothingBeside>) {
    run_claimed(threads, count, until);
  } else {
    run_claimed_beside(threads, count, until, meanwhile);
  }
  return ended.load(std::memory_order_relaxed);
}

}  // namespace io_rs
