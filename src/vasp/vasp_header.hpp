// The header that POSCAR/CONTCAR and XDATCAR files share:
//
//   comment
//   scale factor              (negative: the cell volume)
//   lattice vector a          (three numbers each)
//   lattice vector b
//   lattice vector c
//   species names             (absent in VASP 4 files)
//   atom counts, one per species
//
// Line 6 holds the counts, not species names, when every field on it is a
// whole number: that is a VASP 4 header, and there are no species.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/line_cursor.hpp"

namespace io_rs::vasp {

struct VaspHeader {
  std::string_view comment;  // without its line end
  double scale = 0;
  std::array<double, 9> lattice{};  // rows a, b, c as written
  bool has_species = false;
  std::vector<std::string_view> species;
  std::vector<std::uint64_t> counts;
  std::size_t offset = 0;  // where its comment line starts
  Place place;             // of its comment line
  // Where the scale, species and count lines are, for messages about a
  // repeated header that differs from the first.
  Place scale_place, species_place, counts_place;

  std::uint64_t natoms() const noexcept;
};

// The header whose comment line is the cursor's next line; the cursor ends
// past it. format names the file's kind in messages. A line the header needs
// that the lines do not hold is "the end of the file".
Result<VaspHeader> read_vasp_header(std::string_view format, std::string_view buffer, const Base& base,
                                    LineCursor& lines);

// The line as messages quote it: trimmed, between single quotes; "the end of
// the file" for none.
std::string quoted_line(const std::string_view* line);

}  // namespace io_rs::vasp
