// The VASP position formats: the POSCAR/CONTCAR atom position block and the
// coordinate block of one XDATCAR frame, read and written.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/error.hpp"
#include "core/line_list.hpp"
#include "core/matrix_view.hpp"
#include "core/output_text.hpp"
#include "core/owned_buffer.hpp"

namespace io_rs::vasp {

struct PoscarBlock {
  OwnedMatrix<double> positions;
  // Present with selective dynamics. 1 means held fixed along that axis ("F"
  // in the file), 0 means free to move ("T").
  std::optional<OwnedMatrix<std::uint8_t>> flags;
};

// The N atom lines of a POSCAR/CONTCAR file: three coordinates per line and,
// when selective is set, up to three T/F flags after them.
Result<PoscarBlock> parse_poscar_positions(const LineList& lines, bool selective);

// One line per atom: three coordinates with 16 decimals in 19 columns, then,
// when flags are given, "   F" or "   T" per axis.
Result<OutputText> format_poscar_positions(const DoubleMatrixView& coord,
                                           const std::optional<BoolMatrixView>& flags);

// The N coordinate lines of one XDATCAR frame: three numbers per line.
Result<OwnedMatrix<double>> parse_xdatcar_coords(const LineList& lines);

// The frame's header line "Direct configuration=" with the frame number, then
// one line per atom: three coordinates with 8 decimals in 11 columns.
Result<OutputText> format_xdatcar_config(const DoubleMatrixView& scaled_positions,
                                         std::uint64_t index);

// The same blocks read straight from a file's bytes, from the byte offset
// where the block starts. Lines are read by the same line readers as above,
// failures give the same messages with the line's place in the file
// appended, and every reader says where it stopped: the offset just past
// what it read, where the next line starts.

struct PoscarBlockRead {
  PoscarBlock block;
  std::size_t end;
};

// natoms atom lines; fewer before the end of the buffer is an error.
Result<PoscarBlockRead> read_poscar_block(std::string_view buffer, std::size_t offset, std::size_t natoms,
                                          bool selective, const Base& base = {}, std::size_t threads = 1);

// Consecutive XDATCAR frames: each opened by a "Direct configuration=" line
// with its number, or in older files by a blank line, then natoms coordinate
// lines. Reading stops at the end of the buffer, after max_frames frames, or
// before the first line that opens no frame (such as the header a
// variable-cell run repeats); a frame cut short by the end of the buffer is
// an error.
struct XdatcarFrames {
  OwnedBuffer<double> positions;     // frames x natoms x 3
  OwnedBuffer<std::int64_t> numbers;  // per frame; -1 for a frame opened by a blank line
  std::size_t frames = 0;
  std::size_t end = 0;
};
Result<XdatcarFrames> read_xdatcar_frames(std::string_view buffer, std::size_t offset, std::size_t natoms,
                                          std::optional<std::uint64_t> max_frames, const Base& base = {},
                                          std::size_t threads = 1);

// The offset of every frame that read_xdatcar_frames would read from
// offset, found by looking at the opening lines alone.
Result<OwnedBuffer<std::int64_t>> index_xdatcar_frames(std::string_view buffer, std::size_t offset,
                                                       std::size_t natoms, const Base& base = {});

// Every frame of the stack as format_xdatcar_config writes one, numbered
// from first_number.
Result<OutputText> format_xdatcar_frames(const DoubleStackView& frames, std::uint64_t first_number);

// The header line and coordinate lines of one frame, appended to out; the
// caller has checked that the frame has three columns if it has rows.
void append_xdatcar_config(OutputText& out, const DoubleMatrixView& positions, std::uint64_t index);

}  // namespace io_rs::vasp
