// The atom lines of a simple XYZ file (symbol and three Cartesian
// coordinates per line), read and written. The atom-count and comment lines
// belong to the caller.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/line_list.hpp"
#include "core/matrix_view.hpp"
#include "core/output_text.hpp"
#include "core/owned_buffer.hpp"
#include "core/interned_texts.hpp"

namespace io_rs::xyz {

struct XyzBlock {
  InternedTexts symbols;  // normalised
  OwnedMatrix<double> positions;
};

Result<XyzBlock> parse_xyz_block(const LineList& lines);

// One line per atom: the symbol left-aligned in 2 characters, then three
// coordinates with 15 decimals in 22 columns, each after one space.
Result<OutputText> format_xyz_block(const LineList& symbols, const DoubleMatrixView& positions);

// The same blocks in whole files, read straight from their bytes: frames of
// an atom count line (one field, the count), a comment line and that many
// atom lines, from the byte offset where the first frame starts. Atom lines
// are read by the same line reader as above, failures give the same
// messages with the line's place in the file appended, and reading stops at
// the end of the buffer, after max_frames frames, or before the first line
// that is not an atom count; a frame cut short by the end of the buffer is
// an error. Comments are views into the buffer, without the LF or the CR of
// a CR LF ending.
struct XyzFrames {
  std::vector<std::string_view> comments;
  InternedTexts symbols;                  // of every frame, in order, then more_symbols
  std::vector<InternedTexts> more_symbols;  // read on further threads, in order
  OwnedBuffer<double> positions;     // atoms x 3, every frame's rows in order
  std::size_t atoms = 0;
  OwnedBuffer<std::int64_t> counts;  // atoms per frame
  std::size_t frames = 0;
  std::size_t end = 0;
};
Result<XyzFrames> read_xyz_frames(std::string_view buffer, std::size_t offset, std::optional<std::uint64_t> max_frames,
                                  const Base& base = {}, std::size_t threads = 1);

// The offset of every frame that read_xyz_frames would read from offset,
// found by reading the atom count lines alone.
Result<OwnedBuffer<std::int64_t>> index_xyz_frames(std::string_view buffer, std::size_t offset, const Base& base = {});

// Whole frames: the atom count, the comment, then the frame's atom lines as
// format_xyz_block writes them. counts says how many of the symbols and
// position rows, in order, each frame holds.
Result<OutputText> format_xyz_frames(const LineList& comments, const LineList& symbols,
                                     const DoubleMatrixView& positions, std::span<const std::uint64_t> counts);

}  // namespace io_rs::xyz
