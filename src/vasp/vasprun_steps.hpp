// The reading of one stretch of a vasprun.xml, what one thread does: the
// elements of <modeling> from a point between two of them, the steps they
// make, and where the stretch ends. vasprun_scan.cpp cuts a file into such
// stretches and joins what they find; the header (everything before the
// first step, <atominfo> among it) is read before, in vasprun_head.cpp.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/owned_buffer.hpp"
#include "vasp/vasprun_scan.hpp"
#include "vasp/vasprun_xml.hpp"

namespace io_rs::vasp::vasprun {

// A problem found this close to the end of a piece that is not the last is
// read again in the next piece: messages quote up to 40 bytes from where
// the problem shows, and must quote the bytes a whole-file read would.
inline constexpr std::size_t kFaultMargin = 64;

// What the header gives every stretch, and how it is read.
struct Setup {
  xml::Encoding encoding = xml::Encoding::Utf8;
  std::uint64_t natoms = 0;  // of <atominfo>; 0: unknown, each step's own
  bool values = false;
  unsigned select = select::kAll;
  bool last = true;
  bool ranged = false;
  bool ended = false;  // the stretch starts after </modeling>
};

// A problem found in a stretch: where (a buffer offset), in which of its
// steps (counted from 1 in the stretch; 0 outside steps), and what.
struct StepFault {
  std::size_t offset = 0;
  std::uint64_t step = 0;
  std::string expected;
  std::string found;
  std::string problem;
};

struct StretchStep {
  VasprunStep step;  // offset and end as buffer offsets; line and number not yet set
  std::uint64_t lines_before = 0;  // the line ends from the stretch's start to the step
  std::size_t positions_at = 0;    // where its <varray name="positions"> starts
  bool selected = false;
  bool lost = false;               // damaged by NUL bytes: no frame
};

// Values appended a few at a time into memory that can become a NumPy
// array's own, and taken back when the step they belong to is dropped.
class Values {
 public:
  double* grow(std::size_t count) {
    if (size_ + count > buffer_.size()) buffer_.resize(std::max(size_ + count, 2 * buffer_.size() + 4096));
    double* at = buffer_.data() + size_;
    size_ += count;
    return at;
  }
  void truncate(std::size_t size) noexcept { size_ = size; }
  // Room for count values in all, so that growing to there copies nothing.
  void reserve(std::size_t count) {
    if (count > buffer_.size()) buffer_.resize(count);
  }
  std::size_t size() const noexcept { return size_; }
  const double* data() const noexcept { return buffer_.data(); }
  // The values, in a buffer of their size; this is left empty.
  OwnedBuffer<double> take() {
    buffer_.resize(size_);
    size_ = 0;
    return std::move(buffer_);
  }

 private:
  OwnedBuffer<double> buffer_;
  std::size_t size_ = 0;
};

struct Stretch {
  std::size_t start = 0;
  std::size_t stop = 0;           // the buffer offset where it ends
  std::uint64_t lines = 0;        // the line ends in [start, stop)
  bool at_cut = false;            // stop is one of the cuts, between two elements of <modeling>
  bool ended = false;             // </modeling> was read
  bool complete = false;          // the file ends at stop
  bool truncated = false;         // ... before the document does
  std::vector<StretchStep> steps;  // every step, in file order
  Values positions;  // the selected steps' values, in order
  Values forces;
  std::optional<StepFault> fault;
  std::vector<std::pair<std::size_t, std::uint64_t>> damage;  // (offset, step in the stretch or 0)
};

// The elements of <modeling> from buffer offset start (between two of them)
// up to the first cut at which one starts, or the end of the document or
// the buffer. cuts are ascending offsets after start.
Stretch read_stretch(std::string_view buffer, std::size_t start, std::span<const std::size_t> cuts,
                     const Setup& setup);

// How a step's messages begin: "step 3: ", or nothing outside steps.
std::string step_prefix(std::uint64_t step);

}  // namespace io_rs::vasp::vasprun
