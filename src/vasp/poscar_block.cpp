#include <algorithm>
#include <new>
#include <optional>
#include <vector>

#include "core/parallel.hpp"
#include "core/rows_on_threads.hpp"

#include "core/message.hpp"
#include "core/line_cursor.hpp"
#include "vasp/atom_lines.hpp"
#include "vasp/vasp.hpp"

namespace io_rs::vasp {

namespace {

// The block on threads, each reading its range of the lines straight into
// the arrays. The first failing row in file order gives the error, so the
// result does not depend on the thread count. Nothing, when the lines do not
// hold the block: the one-thread reader says how it ends.
std::optional<Result<PoscarBlockRead>> read_on_threads(std::string_view buffer, std::size_t offset,
                                                       std::size_t natoms, bool selective, const Base& base,
                                                       std::size_t threads) {
  // An atom line holds at least five bytes and its LF: more rows than the
  // bytes could hold are not asked for.
  const std::size_t bytes = buffer.size() - offset;
  if (natoms > (bytes + 1) / 6) return std::nullopt;
  PoscarBlockRead read{{OwnedMatrix<double>::allocate(natoms, 3), std::nullopt}, offset};
  if (selective) read.block.flags = OwnedMatrix<std::uint8_t>::allocate(natoms, 3, /*zeroed=*/true);
  bool complete = natoms == 0;  // row natoms - 1 read
  std::vector<std::optional<Error>> failures(threads);
  read_rows_on_threads(buffer, offset, natoms, threads,
                       [&](std::size_t t, std::uint64_t first, std::uint64_t stop, std::size_t begin, std::size_t end) {
    LineCursor lines(buffer, begin);
    for (std::uint64_t i = first; i < stop && lines.offset() < end; ++i) {
      const std::size_t line_offset = lines.offset();
      std::uint8_t* flags = selective ? read.block.flags->values.data() + 3 * i : nullptr;
      const LineOutcome outcome = read_poscar_line(lines.next(), selective, read.block.positions.values.data() + 3 * i,
                                                   flags, buffer.data() + buffer.size());
      if (!outcome.ok()) [[unlikely]] {
        failures[t] = at(std::unexpected(poscar_line_error(outcome, i)), place_of(buffer, base, line_offset)).error();
        return;
      }
      if (i + 1 == natoms) {
        read.end = lines.offset();
        complete = true;
      }
    }
  });
  for (auto& failure : failures) {
    if (failure) return std::unexpected(std::move(*failure));
  }
  if (!complete) return std::nullopt;
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
