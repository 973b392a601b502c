// Work of one call spread over threads: the calling thread and threads - 1
// others, each given its index. The caller cuts the work so that the result
// does not depend on the thread count; an exception thrown by any part is
// thrown again in the caller after every thread has finished.
#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>
#include <thread>
#include <utility>
#include <vector>

#include "core/worker_pool.hpp"

namespace io_rs {

// Below this many bytes of text a part costs more in starting its thread
// than it saves. The fuzzers set it to 1, so that every input is cut.
#ifndef IO_RS_MIN_BYTES_PER_THREAD
#define IO_RS_MIN_BYTES_PER_THREAD (std::size_t{1} << 16)
#endif
inline constexpr std::size_t kMinBytesPerThread = IO_RS_MIN_BYTES_PER_THREAD;

// The threads worth using for bytes of text, at most requested.
inline std::size_t threads_for(std::size_t requested, std::size_t bytes) noexcept {
  return std::max<std::size_t>(1, std::min(requested, bytes / kMinBytesPerThread));
}

// missing(n) is called when the last n parts could not be started (a
// system out of threads): parts that wait for each other (a std::barrier)
// are told how many never come. The failure is then thrown again, after
// the parts that did start have finished.
template <class Part, class Missing>
void run_parts(std::size_t threads, Part&& part, Missing&& missing) {
  if (threads <= 1) {
    part(std::size_t{0});
    return;
  }
  std::vector<std::exception_ptr> failures(threads);
  auto guarded = [&](std::size_t t) noexcept {
    try {
      part(t);
    } catch (...) {
      failures[t] = std::current_exception();
    }
  };
  using Guarded = decltype(guarded);
  std::exception_ptr not_started;
  {
    // Parts 1.. on the kept workers, those beyond them (another call has the
    // workers, or more parts than workers) on threads of their own.
    PoolLease lease(threads - 1);
    lease.start({[](void* context, std::size_t t) noexcept { (*static_cast<Guarded*>(context))(t); }, &guarded}, 1);
    // Joined on every path, a failure to start one included (std::jthread
    // would do this, but libc++ has it only from version 18).
    struct Joined {
      std::vector<std::thread> threads;
      ~Joined() {
        for (std::thread& thread : threads) thread.join();
      }
    } started;
    std::vector<std::thread>& others = started.threads;
    for (std::size_t t = 1 + lease.size(); t < threads; ++t) {
      try {
        others.emplace_back(guarded, t);
      } catch (...) {
        not_started = std::current_exception();
        missing(threads - t);
        break;
      }
    }
    guarded(0);
  }  // joined here, and the workers' parts waited for
  if (not_started) std::rethrow_exception(not_started);
  for (const auto& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
}

template <class Part>
void run_parts(std::size_t threads, Part&& part) {
  run_parts(threads, std::forward<Part>(part), [](std::size_t) {});
}

}  // namespace io_rs
