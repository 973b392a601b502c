// The part of an OUTCAR's header that says which atoms a run has: one
// VRHFIN and TITEL line per POTCAR (the species, in order), NIONS, and the
// atom counts per species ("ions per type"), which end it.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/error.hpp"
#include "vasp/outcar.hpp"

namespace io_rs::vasp {

struct HeaderRead {
  bool complete = false;  // the "ions per type" line was read
  std::size_t end = 0;    // buffer offset past it
  std::uint64_t line = 0; // the number of the line starting there
};

// Reads header lines of view from offset (a line start, numbered base.line)
// into header, up to and including "ions per type". Incomplete when the
// view ends first; an error when a table comes first or a count is not one.
Result<HeaderRead> read_outcar_header(std::string_view view, std::size_t offset, const Base& base,
                                      OutcarHeader& header);

}  // namespace io_rs::vasp
