// One pass over a VASP file's bytes, headers included: where every frame
// (and every header a variable-cell trajectory repeats) starts and ends.
// Scanners take input in pieces: a piece that is not the last is scanned up
// to its last whole frame, and the next piece starts at ScanStop::consumed.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/frame_table.hpp"
#include "vasp/vasp_header.hpp"

namespace io_rs::vasp {

struct XdatcarScan {
  std::vector<VaspHeader> headers;  // in file order
  FrameTable frames;
  ScanStop stop;
};

// The headers and frames of an XDATCAR file from buffer offset offset. With
// first null the scan starts at the file's header; otherwise it goes on
// among the frames, and every repeated header must keep first's scale
// factor, species and counts. base.frame frames come before offset.
Result<XdatcarScan> scan_xdatcar(std::string_view buffer, std::size_t offset, const Base& base, bool last,
                                 const VaspHeader* first);

struct PoscarScan {
  VaspHeader header;
  bool selective = false;
  bool cartesian = false;
  FrameEntry positions;                  // the position block
  std::optional<FrameEntry> velocities;  // a CONTCAR's velocity block
};

// A whole POSCAR/CONTCAR file:
//   header, "Selective dynamics" (optional: first character S or s),
//   Direct | Cartesian (Cartesian when the first character is C, c, K or k),
//   one position line per atom,
//   optionally a blank or mode line and one velocity line per atom.
// Whatever follows the velocities (a predictor-corrector block) is not read.
Result<PoscarScan> scan_poscar(std::string_view buffer);

}  // namespace io_rs::vasp
