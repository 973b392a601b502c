#include "core/worker_pool.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace io_rs {

namespace {

// The signal word: the job's number in the upper bits, its part count in
// the lower ones. A worker takes part `index` of a job when index < count.
constexpr unsigned kCountBits = 12;
constexpr std::uint32_t kCountMask = (std::uint32_t{1} << kCountBits) - 1;

// How long a worker that finished its part looks for the next job before it
// sleeps, and a caller for the last part to end: reads that follow each
// other (a trajectory's chunks, a benchmark) find the workers awake.
constexpr auto kSpin = std::chrono::microseconds(300);

// Returns the word's value once it is no longer `value`: spinning first,
// then sleeping on it.
std::uint32_t await_change(const std::atomic<std::uint32_t>& word, std::uint32_t value) noexcept {
  const auto until = std::chrono::steady_clock::now() + kSpin;
  for (unsigned k = 1;; ++k) {
    const std::uint32_t now = word.load(std::memory_order_acquire);
    if (now != value) return now;
    if (k % 64 == 0 && std::chrono::steady_clock::now() > until) break;
  }
  for (;;) {
    word.wait(value, std::memory_order_acquire);
    const std::uint32_t now = word.load(std::memory_order_acquire);
    if (now != value) return now;
  }
}

}  // namespace

struct WorkerPool {
  std::mutex lent;                   // held by the call the workers are lent to
  std::vector<std::thread> workers;  // never joined: the pool lasts as long as the process
  std::atomic<std::uint32_t> signal{0};
  std::atomic<std::uint32_t> running{0};  // parts started that have not returned
  PoolJob job{};
  std::size_t first = 0;
};

namespace {

// Worker `index` of the pool; `seen` is the signal before its first job.
void work(WorkerPool* pool, std::size_t index, std::uint32_t seen) noexcept {
  for (;;) {
    seen = await_change(pool->signal, seen);
    // A job of fewer parts leaves this worker idle; a job that takes it
    // cannot be followed by another before the part returns.
    if ((seen & kCountMask) <= index) continue;
    pool->job.call(pool->job.context, pool->first + index);
    if (pool->running.fetch_sub(1, std::memory_order_acq_rel) == 1) pool->running.notify_one();
  }
}

std::mutex creating;
WorkerPool* the_pool = nullptr;

#if !defined(_WIN32)
// A child of fork has none of the workers: it makes a pool of its own, and
// the parent's (its lock perhaps held by a thread the child lacks) is left
// untouched.
void before_fork() { creating.lock(); }
void after_fork_in_parent() { creating.unlock(); }
void after_fork_in_child() {
  the_pool = nullptr;
  creating.unlock();
}
#endif

WorkerPool* pool() noexcept {
  std::lock_guard hold(creating);
  if (the_pool == nullptr) {
#if !defined(_WIN32)
    static const bool registered = pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
    if (!registered) return nullptr;
#endif
    the_pool = new (std::nothrow) WorkerPool;
  }
  return the_pool;
}

}  // namespace

PoolLease::PoolLease(std::size_t wanted) noexcept {
  if (wanted == 0) return;
  WorkerPool* shared = pool();
  if (shared == nullptr || !shared->lent.try_lock()) return;
  pool_ = shared;
  wanted = std::min<std::size_t>(wanted, kCountMask);
  const std::uint32_t before = shared->signal.load(std::memory_order_relaxed);
  try {
    shared->workers.reserve(wanted);
    while (shared->workers.size() < wanted) {
      shared->workers.emplace_back(work, shared, shared->workers.size(), before);
    }
  } catch (...) {
    // Out of threads or memory: the workers there are, the rest started
    // by the caller.
  }
  size_ = std::min(wanted, shared->workers.size());
}

PoolLease::~PoolLease() {
  wait();
  if (pool_ != nullptr) pool_->lent.unlock();
}

void PoolLease::start(PoolJob job, std::size_t first) noexcept {
  if (size_ == 0) return;
  pool_->job = job;
  pool_->first = first;
  pool_->running.store(static_cast<std::uint32_t>(size_), std::memory_order_relaxed);
  const std::uint32_t number = (pool_->signal.load(std::memory_order_relaxed) >> kCountBits) + 1;
  pool_->signal.store((number << kCountBits) | static_cast<std::uint32_t>(size_), std::memory_order_release);
  pool_->signal.notify_all();
  started_ = true;
}

void PoolLease::wait() noexcept {
  if (!started_) return;
  for (std::uint32_t left = pool_->running.load(std::memory_order_acquire); left != 0;) {
    left = await_change(pool_->running, left);
  }
  started_ = false;
}

}  // namespace io_rs
