#include <algorithm>
#include <new>
#include <optional>
#include <vector>

#include <cstring>

#include "core/line_ranges.hpp"
#include "core/parallel.hpp"
#include "core/rows_on_threads.hpp"

#include "core/message.hpp"
#include "core/line_cursor.hpp"
#include "vasp/atom_lines.hpp"
#include "vasp/vasp.hpp"

namespace io_rs::vasp {

namespace {

// The block on threads: its lines cut into ranges that the threads claim in
// turn, each read straight into the arrays. The first failing row in file
// order gives the error, so the result does not depend on the thread count.
// The ranges end at twice the bytes natoms lines as long as the first would
// take, so that a small block in a large buffer never has the rest of the
// buffer cut or counted. Nothing, when the lines there do not hold the
// block: the one-thread reader says how it ends.
std::optional<Result<PoscarBlockRead>> read_on_threads(std::string_view buffer, std::size_t offset,
                                                       std::size_t natoms, bool selective, const Base& base,
                                                       std::size_t threads, std::size_t likely_bytes) {
  // An atom line holds at least five bytes and its LF: more rows than the
  // bytes could hold are not asked for.
  const std::size_t bytes = buffer.size() - offset;
  if (natoms == 0 || natoms > (bytes + 1) / 6) return std::nullopt;
  std::size_t to = buffer.size();
  if (likely_bytes < bytes / 2) {
    to = offset + 2 * likely_bytes;
    const void* lf = std::memchr(buffer.data() + to, '\n', buffer.size() - to);
    to = lf == nullptr ? buffer.size() : static_cast<std::size_t>(static_cast<const char*>(lf) - buffer.data()) + 1;
  }
  PoscarBlockRead read{{OwnedMatrix<double>::allocate(natoms, 3), std::nullopt}, offset};
  if (selective) read.block.flags = OwnedMatrix<std::uint8_t>::allocate(natoms, 3, /*zeroed=*/true);
  LineRanges ranges(buffer, offset, to, part_bytes(likely_bytes, threads));
  std::vector<std::optional<Error>> failures(ranges.size());
  const std::size_t ended = read_rows_on_threads(ranges, natoms, threads,
      [&](std::size_t k, std::uint64_t first, std::size_t begin, std::size_t end) -> RowsRead {
    LineCursor lines(buffer, begin);
    std::uint64_t i = first;
    for (; i < natoms && lines.offset() < end; ++i) {
      const std::size_t line_offset = lines.offset();
      std::uint8_t* flags = selective ? read.block.flags->values.data() + 3 * i : nullptr;
      const LineOutcome outcome = read_poscar_line(lines.next(), selective, read.block.positions.values.data() + 3 * i,
                                                   flags, buffer.data() + buffer.size());
      if (!outcome.ok()) [[unlikely]] {
        failures[k] = at(std::unexpected(poscar_line_error(outcome, i)), place_of(buffer, base, line_offset)).error();
        return {i - first, true};
      }
    }
    if (i == natoms) read.end = lines.offset();
    return {i - first, i == natoms};
  });
  if (ended == ranges.size()) return std::nullopt;
  if (failures[ended]) return std::unexpected(std::move(*failures[ended]));
  return read;
}

}  // namespace

Result<PoscarBlockRead> read_poscar_block(std::string_view buffer, std::size_t offset, std::size_t natoms,
                                          bool selective, const Base& base, std::size_t threads) {
  if (offset > buffer.size()) {
    return value_error(fill_message("read_poscar_block: offset {} is past the end of the buffer ({} bytes)",
                                    {offset, buffer.size()}));
  }
  if (threads > 1 && offset < buffer.size()) {
    // The bytes of natoms lines as long as the first: what the threads pay for.
    const std::size_t first_line = LineCursor(buffer, offset).peek().size() + 1;
    const double likely = static_cast<double>(natoms) * static_cast<double>(first_line);
    const std::size_t likely_bytes = likely < static_cast<double>(buffer.size()) ? static_cast<std::size_t>(likely)
                                                                                  : buffer.size();
    if (const std::size_t parts = threads_for(threads, likely_bytes); parts > 1) {
      if (auto read = read_on_threads(buffer, offset, natoms, selective, base, parts, likely_bytes)) {
        return std::move(*read);
      }
    }
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
