// The atom lines of chosen steps' POSITION/TOTAL-FORCE tables, read on
// threads: the tables (and a table much larger than a thread's share, cut
// at line starts) are shared out in contiguous runs of about equal rows,
// each written straight into the arrays.
#include <algorithm>

#include "core/atom_runs.hpp"
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
  const std::size_t parts = threads_for(threads, buffer.size());
  const AtomRunPlan plan = plan_atom_runs(buffer, found, tables.size() * natoms, parts);
  std::vector<std::uint8_t> run_overflow(plan.runs.size());
  std::vector<std::optional<Error>> failures(parts);
  const char* readable = buffer.data() + buffer.size();
  run_parts(parts, [&](std::size_t t) {
    for (std::size_t r = plan.part_start[t]; r < plan.part_start[t + 1]; ++r) {
      const AtomRun& run = plan.runs[r];
      double* positions = read.positions.data() + run.frame * natoms * 3;
      double* forces = read.forces.data() + run.frame * natoms * 3;
      std::uint32_t overflow = 0;
      std::size_t at = run.start;
      for (std::size_t i = run.first_row; i < run.first_row + run.rows; ++i) {
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
          const OutcarTableRef& table = tables[run.frame];
          failures[t] = outcar_step_error(BadValue{fill_message(outcar_text::kRow, {i + 1}), quoted_line(&row),
                                                   Place{table.line + 2 + i, start + row_at, 0}},
                                          table.number);
          return;
        }
        overflow |= values.overflow;
      }
      run_overflow[r] = static_cast<std::uint8_t>(((overflow & 7u) != 0 ? 1 : 0) | ((overflow & 070u) != 0 ? 2 : 0));
    }
  });
  for (auto& failure : failures) {
    if (failure) return std::unexpected(std::move(*failure));
  }
  for (std::size_t r = 0; r < plan.runs.size(); ++r) read.overflow[plan.runs[r].frame] |= run_overflow[r];
  return read;
}

}  // namespace io_rs::vasp
