// Output buffers of middling size kept for the next read instead of given
// back. malloc returns a freed block of a few hundred KB to the system (it
// maps such blocks, or trims the top of its heap), so a read of a window of
// a file, or of one frame, after the last one was dropped, faults in fresh,
// zeroed pages for all it writes: a third of the time of a window's read,
// and more on two threads, whose faults wait on each other. Blocks that
// readers free go to a store of a few MB instead, and the next request of
// about their size takes one back. Any thread takes and gives; every block
// is a malloc block, so one the store cannot keep track of is just freed.
#pragma once

#include <cstddef>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace io_rs {

class BufferStore {
 public:
  // Blocks of this size and above, below kLargePagesFrom, are kept.
  static constexpr std::size_t kFrom = std::size_t{1} << 16;

  // A store that holds at most capacity bytes of freed blocks.
  explicit BufferStore(std::size_t capacity) noexcept : capacity_(capacity) {}
  BufferStore(const BufferStore&) = delete;
  BufferStore& operator=(const BufferStore&) = delete;
  ~BufferStore();

  // The room a block for `bytes` is allocated with: rounded up to an eighth
  // of the power of two below it, so that requests a little apart share
  // blocks.
  static std::size_t room_for(std::size_t bytes) noexcept;

  // A block of at least `bytes`: a stored one no more than twice as large,
  // else a new one; nullptr when there is no memory.
  void* take(std::size_t bytes) noexcept;
  // Takes back a block that take() gave: stored (the oldest stored given
  // back to the system while they would hold more than the capacity).
  // False for any other pointer, which the caller frees.
  bool give(void* block) noexcept;
  // The room of a block that take() gave and is out; 0 for any other.
  std::size_t room(const void* block) const noexcept;
  // Forgets a block that take() gave: it becomes a plain malloc block.
  void forget(const void* block) noexcept;

  std::size_t stored_bytes() const noexcept;

  // Holds the store still (across a fork).
  void lock() noexcept { mutex_.lock(); }
  void unlock() noexcept { mutex_.unlock(); }

 private:
  mutable std::mutex mutex_;
  std::unordered_map<const void*, std::size_t> out_;  // blocks taken, by their room
  std::vector<std::pair<void*, std::size_t>> stored_;  // oldest first
  std::size_t stored_bytes_ = 0;
  std::size_t capacity_;
};

// The process's store, which allocate_buffer and release_buffer use. It is
// never destroyed: arrays may be freed after static destructors have run.
BufferStore& buffer_store() noexcept;

}  // namespace io_rs
