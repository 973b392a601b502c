#include <algorithm>
#include <barrier>
#include <new>
#include <optional>
#include <vector>

#include "core/line_cuts.hpp"
#include "core/parallel.hpp"

#include "core/message.hpp"
#include "core/line_cursor.hpp"
#include "vasp/atom_lines.hpp"
#include "vasp/vasp.hpp"

namespace io_rs::vasp {

namespace {

// The block on threads: the lines after offset are cut into parts at line
// starts and counted on threads; if they hold the block, each part reads its
// rows straight into the arrays. The first failing row in file order gives
// the error, so the result does not depend on the thread count. Nothing,
// when the lines do not hold the block: the one-thread reader says how it
// ends.
std::optional<Result<PoscarBlockRead>> read_on_threads(std::string_view buffer, std::size_t offset,
                                                       std::size_t natoms, bool selective, const Base& base,
                                                       std::size_t threads) {
  // One start of the threads: each counts its part's line ends, then, once
  // all are counted (and the arrays made, when the lines hold the block),
  // reads its rows.
  LineCuts cuts = cut_at_line_starts(buffer, offset, buffer.size(), threads);
  std::vector<std::uint64_t> ends(threads, 0);
  PoscarBlockRead read{{}, offset};
  bool enough = false, no_memory = false;
  std::barrier counted(static_cast<std::ptrdiff_t>(threads), [&]() noexcept {
    for (std::size_t t = 0; t < threads; ++t) cuts.rows[t + 1] = cuts.rows[t] + ends[t];
    // The arrays only for a block the lines hold: a wrong count cannot ask
    // for memory they could never fill.
    if (lines_to_end(cuts, buffer) < natoms) return;
    try {
      read.block.positions = OwnedMatrix<double>::allocate(natoms, 3);
      if (selective) read.block.flags = OwnedMatrix<std::uint8_t>::allocate(natoms, 3, /*zeroed=*/true);
      enough = true;
    } catch (const std::bad_alloc&) {
      no_memory = true;
    }
  });
  std::vector<std::optional<Error>> failures(threads);
  run_parts(threads, [&](std::size_t t) {
    ends[t] = count_line_ends(buffer.data() + cuts.starts[t], buffer.data() + cuts.starts[t + 1]);
    counted.arrive_and_wait();
    if (!enough) return;
    const auto [first, stop] = part_rows(cuts, t, natoms);
    if (first >= stop) return;
    LineCursor lines(buffer, cuts.starts[t]);
    for (std::uint64_t i = first; i < stop; ++i) {
      const std::size_t line_offset = lines.offset();
      std::uint8_t* flags = selective ? read.block.flags->values.data() + 3 * i : nullptr;
      const LineOutcome outcome = read_poscar_line(lines.next(), selective, read.block.positions.values.data() + 3 * i, flags,
                                                   buffer.data() + buffer.size());
      if (!outcome.ok()) [[unlikely]] {
        failures[t] = at(std::unexpected(poscar_line_error(outcome, i)), place_of(buffer, base, line_offset)).error();
        return;
      }
    }
    if (stop == natoms) read.end = lines.offset();
  }, [&](std::size_t never) {
    for (std::size_t k = 0; k < never; ++k) counted.arrive_and_drop();
  });
  if (no_memory) throw std::bad_alloc();
  if (!enough) return std::nullopt;
  for (auto& failure : failures) {
    if (failure) return std::unexpected(std::move(*failure));
  }
  if (natoms == 0) read.end = offset;
  return read;
}

}  // namespace

Result<PoscarBlockRead> read_poscar_block(std::string_view buffer, std::size_t offset, std::size_t natoms,
                                          bool selective, const Base& base, std::size_t threads) {
  if (offset > buffer.size()) {
    return value_error(fill_message("read_poscar_block: offset {} is past the end of the buffer ({} bytes)",
                                    {offset, buffer.size()}));
  }
  if (const std::size_t parts = threads_for(threads, buffer.size() - offset); parts > 1) {
    if (auto read = read_on_threads(buffer, offset, natoms, selective, base, parts)) return std::move(*read);
  }
  // An atom line holds at least five bytes and its LF, so a block of natoms
  // lines needs about six bytes an atom: room for more rows than what is
  // left could fill is asked for only as the lines come, so that a wrong
  // count meets the end of the buffer before it asks for memory it would
  // never fill.
  std::size_t rows = std::min(natoms, (buffer.size() - offset + 1) / 6 + 1);
  PoscarBlockRead read{{OwnedMatrix<double>::allocate(rows, 3), std::nullopt}, offset};
  if (selective) read.block.flags = OwnedMatrix<std::uint8_t>::allocate(rows, 3, /*zeroed=*/true);

  LineCursor lines(buffer, offset);
  for (std::size_t i = 0; i < natoms; ++i) {
    const std::size_t line_offset = lines.offset();
    if (lines.done()) [[unlikely]] {
      return at(format_error("POSCAR", fill_message("the block ends after {} of {} atom lines", {i, natoms})),
                place_of(buffer, base, line_offset));
    }
    if (i == rows) [[unlikely]] {
      rows = std::min(natoms, 2 * rows);
      read.block.positions.values.resize(checked_size(rows, 3));
      if (selective) {
        read.block.flags->values.resize(checked_size(rows, 3));
        std::fill(read.block.flags->values.data() + 3 * i, read.block.flags->values.data() + 3 * rows, 0);
      }
    }
    std::uint8_t* flags = selective ? read.block.flags->values.data() + 3 * i : nullptr;
    const LineOutcome outcome = read_poscar_line(lines.next(), selective, read.block.positions.values.data() + 3 * i, flags,
                                                   buffer.data() + buffer.size());
    if (!outcome.ok()) [[unlikely]] {
      return at(std::unexpected(poscar_line_error(outcome, i)), place_of(buffer, base, line_offset));
    }
  }
  read.block.positions.rows = natoms;
  if (selective) read.block.flags->rows = natoms;
  read.end = lines.offset();
  return read;
}

}  // namespace io_rs::vasp
