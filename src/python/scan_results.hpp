// The scanners' results as Python objects, and the bases and headers that
// callers hand back to them when they scan a file in pieces.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/frame_table.hpp"
#include "python/py_ref.hpp"
#include "vasp/vasp_header.hpp"

namespace io_rs::py {

// An int64 array of one row per frame: offset, line, natoms, header, number, end.
Ref frame_table_result(const FrameTable& frames);

// (comment, scale, lattice [3,3], species list or None, counts list, line).
Ref header_result(const vasp::VaspHeader& header);

// (consumed, line, complete): where the next piece starts.
Ref stop_result(const ScanStop& stop);

// None (the buffer is the file from its first byte) or (byte, line, frame):
// the file's byte where the buffer starts, the number of the line at offset
// and the frames before it. False with TypeError or ValueError set.
std::optional<Base> convert_base(PyObject* o, std::uint64_t offset, const char* parameter);

// A header as header_result gives it; the scale, species and counts are
// what a scan compares repeated headers with. species holds the names'
// storage.
struct HeaderArgument {
  vasp::VaspHeader header;
  std::vector<std::string> species;
};
std::optional<HeaderArgument> convert_header(PyObject* o, const char* parameter);

}  // namespace io_rs::py
