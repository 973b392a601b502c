// The header of a dump frame, read by the scanner and the readers alike:
// ITEM: sections up to and with ITEM: ATOMS.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/error.hpp"
#include "core/line_cursor.hpp"
#include "lammps/lammps.hpp"

namespace io_rs::lammps {

// How reading a header ended.
enum class HeadEnd : unsigned char {
  Read,   // through the ATOMS line; the cursor stands at the first atom line
  Blank,  // only blank lines were left: the cursor stands at the end
  Cut,    // the lines ran out before the ATOMS line (or the last line, which
          // has no LF, does not read): a file cut short in this header
};

// Reads the header of frame `frame` (counted from 1) at the cursor, which
// runs over `buffer`, into head. Blank lines before it are passed over;
// frame_offset is where its first line starts. A line the grammar refuses
// is an error naming its place.
Result<HeadEnd> take_head(std::string_view buffer, const Base& base, LineCursor& lines, std::uint64_t frame,
                          FrameHead& head, std::size_t& frame_offset);

// Whether the line at line_offset, line long, is the buffer's last and has
// no LF: the line a file cut short mid-line ends with.
inline bool open_last_line(std::string_view buffer, std::size_t line_offset, std::size_t line) noexcept {
  return line_offset + line == buffer.size() && (buffer.empty() || buffer.back() != '\n');
}

// "frame {frame}: expected {expected}, got {found}" at the line.
std::unexpected<Error> expected_in_frame(std::string_view buffer, const Base& base, std::size_t line_offset,
                                         std::uint64_t frame, std::string expected, std::string found);

// The problem of a frame whose atom lines run out at the end of the file:
// "frame 5 ends after 3 of 10 atom lines" (lines whole, with their LF).
std::string atoms_cut_problem(std::uint64_t frame, std::size_t complete, std::size_t natoms);

// A line quoted for a message: trimmed, and cut after 60 bytes.
std::string quoted(std::string_view line);

}  // namespace io_rs::lammps
