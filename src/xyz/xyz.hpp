// The atom lines of a simple XYZ file (symbol and three Cartesian
// coordinates per line), read and written. The atom-count and comment lines
// belong to the caller.
#pragma once

#include "frame/error.hpp"
#include "frame/line_list.hpp"
#include "frame/matrix_view.hpp"
#include "frame/output_text.hpp"
#include "frame/owned_buffer.hpp"
#include "frame/text_list.hpp"

namespace io_rs::xyz {

struct XyzBlock {
  TextList symbols;  // normalised
  OwnedMatrix<double> positions;
};

Result<XyzBlock> parse_xyz_block(const LineList& lines);

// One line per atom: the symbol left-aligned in 2 characters, then three
// coordinates with 15 decimals in 22 columns, each after one space.
Result<OutputText> format_xyz_block(const LineList& symbols, const DoubleMatrixView& positions);

}  // namespace io_rs::xyz
