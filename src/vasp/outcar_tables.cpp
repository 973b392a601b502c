// The atom lines of chosen steps' POSITION/TOTAL-FORCE tables, read on
// threads: the tables (and a table much larger than a part, cut at line
// starts) are claimed by the threads in parts of about equal bytes, each
// written straight into the arrays.
#include <algorithm>
#include <atomic>
#include <memory>

#include "core/frame_parts.hpp"
#include "core/message.hpp"
#include "core/output_text.hpp"
#include "core/parallel.hpp"
#include "vasp/outcar.hpp"
#include "vasp/outcar_events.hpp"
#include "vasp/outcar_texts.hpp"
#include "vasp/outcar_values.hpp"
#include "vasp/vasp_header.hpp"

namespace io_rs::vasp {
namespace {

// The bytes of a table row as VASP prints it, before its line feed.
constexpr std::size_t kPrintedRow = 84;

}  // namespace

Result<OutcarTables> read_outcar_tables(std::string_view buffer, std::uint64_t start,
                                        std::span<const OutcarTableRef> tables, std::size_t natoms,
                                        std::size_t threads) {
  struct Found {
    std::size_t natoms, atoms_start, atoms_end;
  };
  std::vector<Found> found;
  found.reserve(tables.size());
  for (const OutcarTableRef& table : tables) {
    if (table.rows < start || table.end < table.rows || table.end - start > buffer.size()) {
      return value_error(fill_message("read_outcar_tables: step {} lies outside the buffer (bytes {} to {})",
                                      {static_cast<std::uint64_t>(std::max<std::int64_t>(table.number, 0)), start,
                                       start + buffer.size()}));
    }
    const std::size_t rows = static_cast<std::size_t>(table.rows - start);
    const std::size_t end = static_cast<std::size_t>(table.end - start);
    // The closing line of dashes is the table's last.
    const std::size_t lf = end >= 2 ? buffer.rfind('\n', end - 2) : std::string_view::npos;
    const std::size_t closing = lf == std::string_view::npos || lf + 1 < rows ? rows : lf + 1;
    found.push_back({natoms, rows, closing});
  }
  OutcarTables read;
  const std::size_t values = checked_size(tables.size(), checked_size(natoms, 3));
  read.positions = OwnedBuffer<double>::allocate(values);
  read.forces = OwnedBuffer<double>::allocate(values);
  read.overflow = OwnedBuffer<std::uint8_t>::allocate(tables.size(), true);
  if (tables.empty() || natoms == 0) return read;
  const std::size_t bytes = found.back().atoms_end - found.front().atoms_start;
  threads = threads_for(threads, bytes);
  FrameParts parts(buffer, found, part_bytes(bytes, threads));
  // A table cut into ranges has its overflow bits set by several threads.
  const std::unique_ptr<std::atomic<std::uint8_t>[]> overflow(new std::atomic<std::uint8_t>[tables.size()]());
  std::vector<std::optional<Error>> failures(parts.size());
  const char* readable = buffer.data() + buffer.size();
  const std::size_t ended = run_claimed_until(threads, parts.size(), [&](std::size_t p) {
    return parts.run(p, [&](std::size_t k, std::uint64_t first, std::size_t begin, std::size_t stop_at) -> RowsRead {
      double* positions = read.positions.data() + k * natoms * 3;
      double* forces = read.forces.data() + k * natoms * 3;
      // The last lines of a table are read to its atom count whatever they
      // are, so that a table cut short fails on the line that is not a row.
      const bool last_range = stop_at >= found[k].atoms_end;
      std::uint32_t bits = 0;
      std::size_t at = begin;
      std::uint64_t i = first;
      for (; i < natoms && (last_range || at < stop_at); ++i) {
        // A row as VASP prints it ends 84 bytes on: no search for its end.
        std::string_view row;
        if (at >= buffer.size()) {
          at = buffer.size();  // the table runs past the buffer: an empty line fails
        } else if (at + kPrintedRow < buffer.size() && buffer[at + kPrintedRow] == '\n') {
          row = buffer.substr(at, kPrintedRow);
        } else {
          const std::size_t lf = buffer.find('\n', at);
          row = buffer.substr(at, (lf == std::string_view::npos ? buffer.size() : lf) - at);
        }
        const std::size_t row_at = at;
        at += row.size() + 1;
        const LineValues values = read_table_row(row, positions + 3 * i, forces + 3 * i, readable);
        if (!values.ok) [[unlikely]] {
          const OutcarTableRef& table = tables[k];
          failures[p] = outcar_step_error(BadValue{fill_message(outcar_text::kRow, {i + 1}), quoted_line(&row),
                                                   Place{table.line + 2 + i, start + row_at, 0}},
                                          table.number);
          return {i - first, true};
        }
        bits |= values.overflow;
      }
      overflow[k].fetch_or(static_cast<std::uint8_t>(((bits & 7u) != 0 ? 1 : 0) | ((bits & 070u) != 0 ? 2 : 0)),
                           std::memory_order_relaxed);
      return {i - first, false};
    });
  });
  if (ended < parts.size() && failures[ended]) return std::unexpected(std::move(*failures[ended]));
  for (std::size_t k = 0; k < tables.size(); ++k) read.overflow[k] = overflow[k].load(std::memory_order_relaxed);
  return read;
}

}  // namespace io_rs::vasp
