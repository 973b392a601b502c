// A run of lines cut into parts for threads, at line starts, with the number
// of lines before each cut, so that part t knows which rows its lines are
// without reading the parts before it.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace io_rs {

struct LineCuts {
  std::vector<std::size_t> starts;  // parts + 1 offsets: where each part starts, then the end
  std::vector<std::uint64_t> rows;  // parts + 1 counts: the line ends before each start
};

// [from, to) of buffer cut into parts of about equal bytes at line starts;
// the line ends of each part are counted on threads of their own.
LineCuts cut_lines(std::string_view buffer, std::size_t from, std::size_t to, std::size_t parts);

}  // namespace io_rs
