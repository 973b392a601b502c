#include "core/worker_pool.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "core/portable.hpp"

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace io_rs {

namespace {

// The signal word that sleeping workers wait on: the call's number in the
// upper bits, how many workers it wants in the lower ones. A worker whose
// index is not below that count leaves the call alone.
constexpr unsigned kCountBits = 12;
constexpr std::uint32_t kCountMask = (std::uint32_t{1} << kCountBits) - 1;
// In the published word, beside the count of parts: no more will come.
constexpr std::uint32_t kClosed = std::uint32_t{1} << 31;

// How long a worker that found no part looks for the next call before it
// sleeps: reads that follow each other (a trajectory's chunks, a
// benchmark) find the workers awake.
constexpr auto kSpin = std::chrono::microseconds(300);
// How long the calling thread spins for the parts workers run before it
// sleeps: a part takes tens of microseconds, and a thread that sleeps gives
// its core to a worker the system has set aside.
constexpr auto kCallerSpin = std::chrono::microseconds(50);

// Returns the word's value once it is no longer `value`: spinning for
// `spin`, then sleeping on it.
template <class Duration>
std::uint32_t await_change(const std::atomic<std::uint32_t>& word, std::uint32_t value, Duration spin) noexcept {
  const auto until = std::chrono::steady_clock::now() + spin;
  for (unsigned k = 1;; ++k) {
    const std::uint32_t now = word.load(std::memory_order_acquire);
    if (now != value) return now;
    IO_RS_SPIN_PAUSE();
    if (k % 64 == 0 && std::chrono::steady_clock::now() > until) break;
  }
  for (;;) {
    word.wait(value, std::memory_order_acquire);
    const std::uint32_t now = word.load(std::memory_order_acquire);
    if (now != value) return now;
  }
}

std::uint64_t tagged(std::uint32_t call, std::uint32_t low) noexcept {
  return (std::uint64_t{call} << 32) | low;
}

}  // namespace

// The claims of the call the workers are lent to live in two words that
// carry the call's number: claimed (the parts taken) and published (the
// parts there are, and whether more may come). A worker takes a part by
// moving claimed on by one, from the value it read, only while that value
// is below the count of the same call: a worker that read the words of an
// earlier call fails to move them. The call's work is read only after a
// part is taken, and it stays in place until the calling thread has seen
// that part finished.
struct WorkerPool {
  std::mutex lent;                   // held by the call the workers are lent to
  std::vector<std::thread> workers;  // never joined: the pool lasts as long as the process
  std::atomic<std::uint32_t> signal{0};
  std::atomic<std::uint64_t> claimed{0};
  std::atomic<std::uint64_t> published{0};
  std::atomic<std::uint32_t> finished{0};  // parts workers took and have run, this call
  PartWork work{};
  std::uint32_t call = 0;
  std::mutex failing;
  std::exception_ptr failure;  // the first part that threw on a worker
};

namespace {

void run_part(WorkerPool* pool, std::size_t part) noexcept {
  try {
    pool->work.call(pool->work.context, part);
  } catch (...) {
    std::lock_guard hold(pool->failing);
    if (!pool->failure) pool->failure = std::current_exception();
  }
  pool->finished.fetch_add(1, std::memory_order_release);
  pool->finished.notify_one();
}

// The parts of the current call, one at a time, until they are all taken
// and no more will come.
void take_parts(WorkerPool* pool) noexcept {
  unsigned idle = 0;
  for (;;) {
    std::uint64_t claimed = pool->claimed.load(std::memory_order_acquire);
    const std::uint64_t published = pool->published.load(std::memory_order_acquire);
    if ((claimed >> 32) == (published >> 32)) {
      const auto next = static_cast<std::uint32_t>(claimed);
      const auto low = static_cast<std::uint32_t>(published);
      if (next < (low & ~kClosed)) {
        if (pool->claimed.compare_exchange_weak(claimed, claimed + 1, std::memory_order_acq_rel,
                                                std::memory_order_relaxed)) {
          run_part(pool, next);
          idle = 0;
        }
        continue;
      }
      if ((low & kClosed) != 0) return;
    }
    // More parts are to come, or a call is starting: look again shortly.
    if (++idle < 4096) {
      IO_RS_SPIN_PAUSE();
    } else {
      std::this_thread::yield();
    }
  }
}

// Worker `index` of the pool; `seen` is the signal before its first call.
void serve(WorkerPool* pool, std::size_t index, std::uint32_t seen) noexcept {
  for (;;) {
    seen = await_change(pool->signal, seen, kSpin);
    if ((seen & kCountMask) <= index) continue;
    take_parts(pool);
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

PartClaims::PartClaims(std::size_t helpers, PartWork work) noexcept : work_(work) {
  if (helpers == 0) return;
  WorkerPool* shared = pool();
  if (shared == nullptr || !shared->lent.try_lock()) return;
  helpers = std::min<std::size_t>(helpers, kCountMask);
  const std::uint32_t before = shared->signal.load(std::memory_order_relaxed);
  try {
    shared->workers.reserve(helpers);
    while (shared->workers.size() < helpers) {
      shared->workers.emplace_back(serve, shared, shared->workers.size(), before);
    }
  } catch (...) {
    // Out of threads or memory: the workers there are.
  }
  helpers_ = std::min(helpers, shared->workers.size());
  if (helpers_ == 0) {
    shared->lent.unlock();
    return;
  }
  pool_ = shared;
  const std::uint32_t call = ++pool_->call;
  pool_->work = work;
  pool_->failure = nullptr;
  pool_->finished.store(0, std::memory_order_relaxed);
  pool_->published.store(tagged(call, 0), std::memory_order_relaxed);
  pool_->claimed.store(tagged(call, 0), std::memory_order_release);
}

PartClaims::~PartClaims() {
  if (pool_ == nullptr) return;
  if (!closed_) {
    // Leaving early (a part of the calling thread threw): the parts nobody
    // took are taken here and never run.
    std::uint64_t claimed = pool_->claimed.load(std::memory_order_relaxed);
    while (static_cast<std::uint32_t>(claimed) < published_) {
      const std::size_t left = published_ - static_cast<std::uint32_t>(claimed);
      if (pool_->claimed.compare_exchange_weak(claimed, claimed + left, std::memory_order_acq_rel,
                                               std::memory_order_relaxed)) {
        own_ += left;
        break;
      }
    }
    close();
  }
  wait_for_workers();
  pool_->failure = nullptr;
  pool_->lent.unlock();
}

void PartClaims::publish(std::size_t count) noexcept {
  if (count <= published_) return;
  published_ = count;
  if (pool_ == nullptr) return;
  pool_->published.store(tagged(pool_->call, static_cast<std::uint32_t>(count)), std::memory_order_release);
  if (!woken_) {
    woken_ = true;
    const std::uint32_t number = (pool_->signal.load(std::memory_order_relaxed) >> kCountBits) + 1;
    pool_->signal.store((number << kCountBits) | static_cast<std::uint32_t>(helpers_), std::memory_order_release);
    pool_->signal.notify_all();
  }
}

std::optional<std::size_t> PartClaims::claim() noexcept {
  if (pool_ == nullptr) {
    if (own_ >= published_) return std::nullopt;
    return own_++;
  }
  std::uint64_t claimed = pool_->claimed.load(std::memory_order_relaxed);
  while (static_cast<std::uint32_t>(claimed) < published_) {
    if (pool_->claimed.compare_exchange_weak(claimed, claimed + 1, std::memory_order_acq_rel,
                                             std::memory_order_relaxed)) {
      ++own_;
      return static_cast<std::uint32_t>(claimed);
    }
  }
  return std::nullopt;
}

void PartClaims::close() noexcept {
  closed_ = true;
  if (pool_ == nullptr) return;
  pool_->published.store(tagged(pool_->call, static_cast<std::uint32_t>(published_) | kClosed),
                         std::memory_order_release);
}

void PartClaims::wait_for_workers() noexcept {
  if (pool_ == nullptr) return;
  // Every part published is taken by now: those the calling thread did not
  // take, workers took, and they have started them.
  const auto theirs = static_cast<std::uint32_t>(published_ - own_);
  const auto until = std::chrono::steady_clock::now() + kCallerSpin;
  bool spinning = true;
  for (unsigned k = 1;; ++k) {
    const std::uint32_t done = pool_->finished.load(std::memory_order_acquire);
    if (done == theirs) return;
    if (spinning) {
      IO_RS_SPIN_PAUSE();
      spinning = k % 64 != 0 || std::chrono::steady_clock::now() < until;
    } else {
      pool_->finished.wait(done, std::memory_order_acquire);
    }
  }
}

void PartClaims::finish() {
  if (!closed_) {
    // What the calling thread has not claimed yet, it runs now.
    while (auto part = claim()) work_.call(work_.context, *part);
    close();
  }
  wait_for_workers();
  if (pool_ != nullptr && pool_->failure) {
    std::exception_ptr failure = std::exchange(pool_->failure, nullptr);
    std::rethrow_exception(failure);
  }
}

}  // namespace io_rs
