// LAMMPS dump frames between the routines' plain data and Python: frame
// headers as a few arrays for many frames at once, outputs as NumPy arrays
// (texts as lists of str), and frame headers to write.
#pragma once

#include <Python.h>

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "lammps/lammps.hpp"
#include "python/py_ref.hpp"

namespace io_rs::py {

// (table (F, 6) int64, columns [tuple of names], boxes (F, 4, 3) float64:
// cell rows a, b, c then the origin, pbcs (F, 3) bool, kinds (F,) uint8:
// 0 orthogonal, 1 triclinic, 2 abc origin, sections [(frame, name, text)]
// with frame counted from 0 in these frames).
Ref dump_heads_result(const FrameTable& table, const std::vector<lammps::FrameHead>& heads,
                      std::span<const std::string> columns);

// [(name, array, sources)]: each output's rows as an array (rows,) for one
// column, (rows, k) for k; texts as a list of str; sources the tuple of the
// file's columns it holds. The buffers are handed over, not copied.
Ref dump_outputs_result(const lammps::Layout& layout, std::vector<lammps::OutputData>& data, std::size_t rows);

// None, or (frame, line, byte, problem) for a file that ends inside a frame.
Ref cut_result(const std::optional<lammps::Cut>& cut);

// A frame header to write: (timestep, [(name, text)], cell, origin, pbc).
struct DumpHeadArgument {
  std::int64_t timestep = 0;
  std::vector<lammps::Section> sections;
  std::array<double, 9> cell{};
  std::array<double, 3> origin{};
  std::array<bool, 3> pbc{};
};
std::optional<DumpHeadArgument> convert_dump_head(PyObject* o, std::size_t frame);

}  // namespace io_rs::py
