// Threads kept from one call to the next, and the parts of a call they
// claim. A call's work is cut into parts numbered from 0; the calling thread
// and the workers claim them one at a time, in order, each taking the next
// part nobody has taken. The calling thread never waits for a part that
// nobody has started: when no part is left to claim, it waits only for the
// parts that workers are running. A worker the system has not run yet (the
// other cores busy with another process) is thus never waited for; it finds
// the parts gone when it runs. Starting a thread costs tens of microseconds
// in the caller and as much again before it first runs, on a read whose
// parts take a few milliseconds; a kept worker that has just finished is
// still spinning when the next call comes.
#pragma once

#include <cstddef>
#include <optional>

namespace io_rs {

struct WorkerPool;

// What a worker runs for part k: call(context, k). It may throw: the first
// failure is thrown again in the calling thread by finish().
struct PartWork {
  void (*call)(void* context, std::size_t part);
  void* context;
};

// The parts of one call. Parts are published by the calling thread (all at
// once, or a few at a time while it finds them), claimed by it and by up to
// `helpers` workers, and finished: finish() waits for the parts workers run.
// The pool's workers are lent to one call at a time; a call made while
// another has them runs every part on its own thread. The destructor takes
// every part not yet claimed (none of them runs) and waits for the parts
// workers run, so that nothing they use goes away under them.
class PartClaims {
 public:
  PartClaims(std::size_t helpers, PartWork work) noexcept;
  ~PartClaims();
  PartClaims(const PartClaims&) = delete;
  PartClaims& operator=(const PartClaims&) = delete;

  // Parts 0 .. count - 1 may be claimed; count never falls.
  void publish(std::size_t count) noexcept;
  // The next part for the calling thread to run; nothing when every part
  // published is claimed.
  std::optional<std::size_t> claim() noexcept;
  // No part is published after those there are: the workers stop looking
  // for more. Waits for the parts workers run, then throws the first
  // failure of one, if any.
  void finish();
  // The workers lent to this call (0: it runs alone).
  std::size_t helpers() const noexcept { return helpers_; }

 private:
  void close() noexcept;
  void wait_for_workers() noexcept;

  WorkerPool* pool_ = nullptr;
  std::size_t helpers_ = 0;
  std::size_t published_ = 0;
  std::size_t own_ = 0;  // parts the calling thread claimed (run or dropped)
  bool woken_ = false;
  bool closed_ = false;
  PartWork work_;  // when running alone
};

}  // namespace io_rs
