// Many small frames read on threads while the one pass that finds them goes
// on. The pass, on the calling thread, cuts the frames into stages of about
// equal bytes and hands each over once it is passed; workers read stages
// from the front, the calling thread, its pass done, from the back, handing
// the stages read so far to `taken` between its own (a frame layer makes its
// objects there while the others read on). A stage whose rows have no room
// yet is held back, with every stage after it, until the pass is done and
// the stages being read are: make_room() then makes room for all.
#pragma once

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

#include "core/parallel.hpp"

namespace io_rs {

// Stages a thread's share is cut into: the last stages taken end about
// together.
inline constexpr std::size_t kStagesPerThread = 64;
inline constexpr std::size_t kLeastStageBytes = std::min<std::size_t>(std::size_t{1} << 14, kMinBytesPerThread);

// The bytes of a stage of frames spread over `bytes` read on `threads`
// threads, and how many stages there can be: a stage ends at the first
// frame that starts stage_bytes or more after its own first frame.
inline std::size_t stage_bytes(std::size_t bytes, std::size_t threads) noexcept {
  return std::max(kLeastStageBytes, bytes / (threads * kStagesPerThread) + 1);
}
inline std::size_t most_stages(std::size_t bytes, std::size_t threads) noexcept {
  return bytes / stage_bytes(bytes, threads) + 2;
}

// The rows the rest of the buffer likely holds, after a first stage of
// `rows` rows in `covered` of `bytes` bytes: an eighth more, and never more
// than the bytes could hold at two a line.
inline std::size_t likely_rows(std::size_t rows, std::size_t covered, std::size_t bytes) noexcept {
  const double likely = static_cast<double>(rows) * static_cast<double>(bytes) /
                        static_cast<double>(std::max<std::size_t>(covered, 1));
  return std::max(rows, std::min<std::size_t>(static_cast<std::size_t>(likely * 1.125) + 64, bytes / 2 + 1));
}

// pass(hand_over): the pass; hand_over(fits) once a stage is passed, for
// each stage in order (fits: its rows have room). read(s): stage s, on any
// thread. make_room(): room for every row passed, no stage being read.
// taken(s): on the calling thread, for stages read; false for no more.
template <class Pass, class Read, class MakeRoom, class Taken>
void run_staged(std::size_t threads, std::size_t stages, Pass&& pass, Read&& read, MakeRoom&& make_room,
                Taken&& taken) {
  std::mutex lock;
  std::size_t passed = 0, published = 0, front = 0, back = 0, reading = 0;
  bool pass_done = false;
  std::vector<std::size_t> read_order;  // stages read, for taken
  read_order.reserve(stages);

  auto hand_over = [&](bool fits) {
    std::lock_guard hold(lock);
    ++passed;
    if (fits && published + 1 == passed) published = passed;
  };
  auto read_stage = [&](std::size_t s) {
    read(s);
    std::lock_guard hold(lock);
    read_order.push_back(s);
  };
  // Workers: stages from the front, until the pass is done and none is left.
  auto work = [&] {
    for (;;) {
      std::size_t s = SIZE_MAX;
      {
        std::lock_guard hold(lock);
        if (front < published && (!pass_done || front < back)) {
          s = front++;
          ++reading;
        } else if (pass_done && front >= back) {
          return;
        }
      }
      if (s == SIZE_MAX) {
        std::this_thread::yield();
        continue;
      }
      // Done with the stage on every path, a failure too, so that a pass
      // waiting for the stages being read does not wait for ever.
      struct Reading {
        std::mutex& lock;
        std::size_t& reading;
        ~Reading() {
          std::lock_guard hold(lock);
          --reading;
        }
      } done_reading{lock, reading};
      read_stage(s);
    }
  };
  auto calling = [&] {
    {
      // The pass marked done on every path, so that no worker waits for it.
      struct Done {
        std::mutex& lock;
        bool& pass_done;
        std::size_t& back;
        std::size_t& published;
        ~Done() {
          std::lock_guard hold(lock);
          pass_done = true;
          back = published;
        }
      } done{lock, pass_done, back, published};
      pass(hand_over);
      std::unique_lock hold(lock);
      if (published < passed) {
        // Once the stages being read are done, room for all, and the rest
        // handed over.
        while (front < published || reading > 0) {
          hold.unlock();
          std::this_thread::yield();
          hold.lock();
        }
        hold.unlock();
        make_room();
        hold.lock();
        published = passed;
      }
    }
    // Stages from the back; between them, those read to taken.
    bool taking = true;
    std::size_t handed = 0;  // of read_order
    for (;;) {
      std::size_t s;
      bool to_take = false;
      {
        std::lock_guard hold(lock);
        if (taking && handed < read_order.size()) {
          s = read_order[handed++];
          to_take = true;
        } else if (back > front) {
          s = --back;
        } else {
          return;
        }
      }
      if (to_take) {
        taking = taken(s);
      } else {
        read_stage(s);
      }
    }
  };
  run_parts(threads, [&](std::size_t t) {
    if (t == 0) {
      calling();
    } else {
      work();
    }
  });
}

}  // namespace io_rs
