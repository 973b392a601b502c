#include "core/buffer_store.hpp"

#include <bit>
#include <cstdlib>
#include <new>

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace io_rs {

namespace {

// A store holds the few MB that one window's or frame's outputs take, twice.
constexpr std::size_t kProcessStoreBytes = std::size_t{16} << 20;

}  // namespace

BufferStore::~BufferStore() {
  for (const auto& [block, room] : stored_) std::free(block);
}

std::size_t BufferStore::room_for(std::size_t bytes) noexcept {
  if (bytes < 16) return bytes;
  const std::size_t step = std::bit_floor(bytes) / 8;
  const std::size_t rounded = (bytes + step - 1) / step * step;
  return rounded < bytes ? bytes : rounded;  // no wrap near the top of the range
}

void* BufferStore::take(std::size_t bytes) noexcept {
  const std::size_t room = room_for(bytes);
  std::lock_guard lock(mutex_);
  std::size_t best = stored_.size();
  for (std::size_t k = 0; k < stored_.size(); ++k) {
    const std::size_t size = stored_[k].second;
    if (size >= bytes && size / 2 <= bytes && (best == stored_.size() || size < stored_[best].second)) best = k;
  }
  void* block = nullptr;
  std::size_t block_room = room;
  if (best < stored_.size()) {
    block = stored_[best].first;
    block_room = stored_[best].second;
    stored_.erase(stored_.begin() + static_cast<std::ptrdiff_t>(best));
    stored_bytes_ -= block_room;
  } else {
    block = std::malloc(room);
    if (block == nullptr) return nullptr;
  }
  try {
    out_.emplace(block, block_room);
  } catch (...) {
    // Untracked, it is a plain malloc block, freed as one.
  }
  return block;
}

bool BufferStore::give(void* block) noexcept {
  std::lock_guard lock(mutex_);
  const auto found = out_.find(block);
  if (found == out_.end()) return false;
  const std::size_t room = found->second;
  out_.erase(found);
  if (room > capacity_) {
    std::free(block);
    return true;
  }
  std::size_t evicted = 0;
  while (stored_bytes_ + room > capacity_ && evicted < stored_.size()) {
    std::free(stored_[evicted].first);
    stored_bytes_ -= stored_[evicted].second;
    ++evicted;
  }
  stored_.erase(stored_.begin(), stored_.begin() + static_cast<std::ptrdiff_t>(evicted));
  try {
    stored_.emplace_back(block, room);
    stored_bytes_ += room;
  } catch (...) {
    std::free(block);
  }
  return true;
}

std::size_t BufferStore::room(const void* block) const noexcept {
  std::lock_guard lock(mutex_);
  const auto found = out_.find(block);
  return found == out_.end() ? 0 : found->second;
}

void BufferStore::forget(const void* block) noexcept {
  std::lock_guard lock(mutex_);
  out_.erase(block);
}

std::size_t BufferStore::stored_bytes() const noexcept {
  std::lock_guard lock(mutex_);
  return stored_bytes_;
}

namespace {

alignas(BufferStore) unsigned char storage[sizeof(BufferStore)];
BufferStore* the_store = nullptr;

#if !defined(_WIN32)
// A fork while another thread holds the store's lock would leave it held
// in the child for good: a fork waits for it instead.
void before_fork() { the_store->lock(); }
void after_fork() { the_store->unlock(); }
#endif

}  // namespace

BufferStore& buffer_store() noexcept {
  static BufferStore* const store = [] {
    the_store = new (storage) BufferStore(kProcessStoreBytes);
#if !defined(_WIN32)
    pthread_atfork(before_fork, after_fork, after_fork);
#endif
    return the_store;
  }();
  return *store;
}

}  // namespace io_rs
