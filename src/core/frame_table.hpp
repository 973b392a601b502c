// What a scanner finds in one pass over a file's bytes: where each frame
// starts and ends and what it holds, so that readers, iteration and random
// access read frames without walking the file again.
#pragma once

#include <cstdint>
#include <vector>

namespace io_rs {

struct FrameEntry {
  std::uint64_t offset = 0;  // the byte of the file where the frame's first line starts
  std::uint64_t line = 0;    // that line's number, from 1
  std::uint64_t natoms = 0;
  std::int64_t header = -1;  // the header in force: an index into the scan's headers; -1: one before them
  std::int64_t number = -1;  // the number its opening line gives (XDATCAR); -1 when it has none
  std::uint64_t end = 0;     // the byte just past its last line
};

// Where a scan stopped: what the next piece starts with.
struct ScanStop {
  std::size_t consumed = 0;  // the buffer offset past the last whole frame or header
  std::uint64_t line = 1;    // the number of the line starting there
  bool complete = false;     // the file ends there: nothing but blank lines follows
};

using FrameTable = std::vector<FrameEntry>;

}  // namespace io_rs
