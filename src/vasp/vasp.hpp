// The VASP position formats: the POSCAR/CONTCAR atom position block and the
// coordinate block of one XDATCAR frame, read and written.
#pragma once

#include <cstdint>
#include <optional>

#include "frame/error.hpp"
#include "frame/line_list.hpp"
#include "frame/matrix_view.hpp"
#include "frame/output_text.hpp"
#include "frame/owned_buffer.hpp"

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

}  // namespace io_rs::vasp
