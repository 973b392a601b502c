// One pass over an XYZ file's bytes: where every frame starts and ends and
// how many atoms it holds. Frames are an atom count line, a comment line and
// that many atom lines; blank lines may stand between and after frames.
// Input may come in pieces: a piece that is not the last is scanned up to its
// last whole frame, and the next piece starts at ScanStop::consumed.
#pragma once

#include <string_view>

#include "core/error.hpp"
#include "core/frame_table.hpp"

namespace io_rs::xyz {

struct XyzScan {
  FrameTable frames;
  ScanStop stop;
};

// The frames from buffer offset offset on; base.frame frames come before
// it. A line where an atom count is due that is none is an error.
Result<XyzScan> scan_xyz(std::string_view buffer, std::size_t offset, const Base& base, bool last);

}  // namespace io_rs::xyz
