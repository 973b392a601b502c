#include "frame/message.hpp"
#include "frame/text_lines.hpp"
#include "vasp/atom_lines.hpp"
#include "vasp/vasp.hpp"

namespace io_rs::vasp {

Result<PoscarBlockRead> read_poscar_block(std::string_view buffer, std::size_t offset, std::size_t natoms,
                                          bool selective) {
  if (offset > buffer.size()) {
    return value_error(fill_message("read_poscar_block: offset {} is past the end of the buffer ({} bytes)",
                                    {offset, buffer.size()}));
  }
  // An atom line holds at least five bytes and its LF, so no more rows than
  // this can be read from what is left; a larger count is found out by the
  // end of the buffer, without asking for memory it would never fill.
  const std::size_t rows = std::min(natoms, (buffer.size() - offset + 1) / 6);
  PoscarBlockRead read{{OwnedMatrix<double>::allocate(natoms == rows ? natoms : rows, 3), std::nullopt}, offset};
  std::uint8_t* flags = nullptr;
  if (selective) {
    read.block.flags = OwnedMatrix<std::uint8_t>::allocate(rows, 3, /*zeroed=*/true);
    flags = read.block.flags->values.data();
  }
  double* positions = read.block.positions.values.data();

  TextLines lines(buffer, offset);
  for (std::size_t i = 0; i < natoms; ++i) {
    const std::size_t line_offset = lines.offset();
    if (lines.done() || i == rows) [[unlikely]] {
      return value_error(fill_message("POSCAR: the block ends after {} of {} atom lines", {i, natoms}) +
                         file_position(buffer, line_offset));
    }
    const LineOutcome outcome =
        read_poscar_line(lines.next(), selective, positions + 3 * i, flags ? flags + 3 * i : nullptr);
    if (!outcome.ok()) [[unlikely]] {
      Error error = poscar_line_error(outcome, i);
      error.message += file_position(buffer, line_offset);
      return std::unexpected(std::move(error));
    }
  }
  read.end = lines.offset();
  return read;
}

}  // namespace io_rs::vasp
