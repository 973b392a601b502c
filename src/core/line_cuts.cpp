#include "core/line_cuts.hpp"

#include <algorithm>
#include <cstring>

#include "core/line_cursor.hpp"
#include "core/parallel.hpp"

namespace io_rs {

LineCuts cut_lines(std::string_view buffer, std::size_t from, std::size_t to, std::size_t parts) {
  LineCuts cuts = cut_at_line_starts(buffer, from, to, parts);
  std::vector<std::uint64_t> ends(parts, 0);
  run_parts(parts, [&](std::size_t t) {
    ends[t] = count_line_ends(buffer.data() + cuts.starts[t], buffer.data() + cuts.starts[t + 1]);
  });
  for (std::size_t t = 0; t < parts; ++t) cuts.rows[t + 1] = cuts.rows[t] + ends[t];
  return cuts;
}

LineCuts cut_at_line_starts(std::string_view buffer, std::size_t from, std::size_t to, std::size_t parts) {
  LineCuts cuts{std::vector<std::size_t>(parts + 1, to), std::vector<std::uint64_t>(parts + 1, 0)};
  cuts.starts[0] = from;
  for (std::size_t t = 1; t < parts; ++t) {
    std::size_t cut = std::max(cuts.starts[t - 1], from + (to - from) / parts * t);
    if (cut > from && cut < to && buffer[cut - 1] != '\n') {
      const void* lf = std::memchr(buffer.data() + cut, '\n', to - cut);
      cut = lf == nullptr ? to : static_cast<std::size_t>(static_cast<const char*>(lf) - buffer.data()) + 1;
    }
    cuts.starts[t] = cut;
  }
  return cuts;
}

}  // namespace io_rs
