// Threads kept from one call to the next. Starting a thread costs tens of
// microseconds in the caller and as much again before it first runs, on a
// read whose parts take a few milliseconds; a kept worker that has just
// finished a part is still spinning when the next call comes.
#pragma once

#include <cstddef>

namespace io_rs {

struct WorkerPool;

// One call's parts for workers: call(context, part).
struct PoolJob {
  void (*call)(void* context, std::size_t part) noexcept;
  void* context;
};

// The pool's workers lent to one call: up to `wanted` of them, none when
// another call has them (that call's parts then start threads of their own).
// The destructor waits for the parts started.
class PoolLease {
 public:
  explicit PoolLease(std::size_t wanted) noexcept;
  ~PoolLease();
  PoolLease(const PoolLease&) = delete;
  PoolLease& operator=(const PoolLease&) = delete;

  std::size_t size() const noexcept { return size_; }
  // Parts first .. first + size() - 1, one a worker.
  void start(PoolJob job, std::size_t first) noexcept;
  // Until every part started has returned.
  void wait() noexcept;

 private:
  WorkerPool* pool_ = nullptr;
  std::size_t size_ = 0;
  bool started_ = false;
};

}  // namespace io_rs
