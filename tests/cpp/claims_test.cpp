// The parts of a call claimed by the calling thread and the kept workers:
// every part runs exactly once, whatever the threads, the parts published
// as they come, several calls at once from several threads; a part that
// throws on a worker is thrown again in the caller, and one that throws on
// the calling thread leaves no part running after the call. Line ranges
// give every range its first row whoever claims it.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/line_ranges.hpp"
#include "core/parallel.hpp"
#include "core/rows_on_threads.hpp"

namespace {

long failures = 0;

void expect(bool ok, const std::string& what) {
  if (!ok) {
    std::printf("claims: %s\n", what.c_str());
    ++failures;
  }
}

// Each part of count, on threads, run once and once only.
void every_part_once(std::size_t threads, std::size_t count) {
  std::unique_ptr<std::atomic<int>[]> runs(new std::atomic<int>[count]);
  for (std::size_t k = 0; k < count; ++k) runs[k] = 0;
  io_rs::run_claimed(threads, count, [&](std::size_t k) { runs[k].fetch_add(1); });
  for (std::size_t k = 0; k < count; ++k) {
    if (runs[k] != 1) {
      expect(false, "part " + std::to_string(k) + " of " + std::to_string(count) + " on " + std::to_string(threads) +
                        " threads ran " + std::to_string(runs[k].load()) + " times");
      return;
    }
  }
}

// Parts published a few at a time, as a pass finds them, and claimed by
// the calling thread between publishing.
void published_as_they_come(std::size_t threads) {
  constexpr std::size_t kParts = 500;
  std::vector<std::atomic<int>> runs(kParts);
  auto part = [&](std::size_t k) { runs[k].fetch_add(1); };
  using Part = decltype(part);
  io_rs::PartClaims claims(threads - 1, {[](void* c, std::size_t k) { (*static_cast<Part*>(c))(k); }, &part});
  for (std::size_t published = 0; published < kParts;) {
    published = std::min(kParts, published + 7);
    claims.publish(published);
    if (published % 3 == 0) {
      if (auto k = claims.claim()) part(*k);
    }
  }
  while (auto k = claims.claim()) part(*k);
  claims.finish();
  for (std::size_t k = 0; k < kParts; ++k) expect(runs[k] == 1, "a published part ran other than once");
}

// A part that throws: on whichever thread it runs, the caller sees it after
// every other part has returned, and nothing runs after the call.
void failures_come_back(std::size_t threads) {
  for (std::size_t failing : {std::size_t{0}, std::size_t{37}, std::size_t{199}}) {
    std::atomic<bool> returned{false}, late{false};
    bool caught = false;
    try {
      io_rs::run_claimed(threads, 200, [&](std::size_t k) {
        if (k == failing) throw std::runtime_error("part failed");
        std::this_thread::yield();
        if (returned) late = true;
      });
    } catch (const std::runtime_error&) {
      caught = true;
    }
    returned = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    expect(caught, "the failure of part " + std::to_string(failing) + " did not come back");
    expect(!late, "a part ran after the call that threw returned");
  }
}

// The first row of every range, claimed in any order by any thread, is the
// count of line ends before it; a range read whole tells its count.
void ranges_know_their_rows(std::size_t threads) {
  std::string text;
  std::vector<std::uint64_t> line_of;  // the line of each byte
  for (int k = 0; k < 20000; ++k) {
    const std::string line = std::string(static_cast<std::size_t>(k * 7919 % 53), 'x') + "\n";
    for (std::size_t i = 0; i < line.size(); ++i) line_of.push_back(static_cast<std::uint64_t>(k));
    text += line;
  }
  text += "last line without LF";
  for (std::size_t i = 0; i < 20; ++i) line_of.push_back(20000);
  for (std::size_t bytes : {std::size_t{1}, std::size_t{40}, std::size_t{4096}, text.size()}) {
    io_rs::LineRanges ranges(text, 0, text.size(), bytes);
    std::vector<std::uint64_t> seen(ranges.size());
    const std::uint64_t rows = 20001;
    const std::size_t ended = io_rs::read_rows_on_threads(ranges, rows, threads,
        [&](std::size_t k, std::uint64_t first, std::size_t begin, std::size_t end) -> io_rs::RowsRead {
      if (begin < end) expect(line_of[begin] == first, "range " + std::to_string(k) + " got the wrong first row");
      io_rs::LineCursor lines(text, begin);
      std::uint64_t i = first;
      for (; i < rows && lines.offset() < end; ++i) lines.next();
      seen[k] = i - first;
      return {i - first, i == rows};
    });
    std::uint64_t total = 0;
    for (std::size_t k = 0; k <= ended && k < seen.size(); ++k) total += seen[k];
    expect(ended < ranges.size() && total == rows, "the ranges did not read every row exactly once");
  }
}

}  // namespace

int main() {
  for (std::size_t threads : {1, 2, 3, 8}) {
    for (std::size_t count : {0, 1, 2, 3, 64, 1000}) every_part_once(threads, count);
    published_as_they_come(threads);
    failures_come_back(threads);
    ranges_know_their_rows(threads);
  }
  // Calls from several threads at once: one has the workers, the others run
  // alone, each whole.
  std::vector<std::thread> callers;
  for (int c = 0; c < 4; ++c) {
    callers.emplace_back([] {
      for (int round = 0; round < 50; ++round) every_part_once(3, 300);
    });
  }
  for (std::thread& caller : callers) caller.join();
  if (failures == 0) std::printf("claims: every part once, published as they come, failures thrown back\n");
  return failures == 0 ? 0 : 1;
}
