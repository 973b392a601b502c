// LAMMPS text dumps (styles atom and custom): frames of a header of ITEM:
// sections and one line per atom, whose columns the ITEM: ATOMS line names.
//
//   ITEM: TIMESTEP                      (ITEM: UNITS, ITEM: TIME and sections
//   100                                  of other names may come before)
//   ITEM: NUMBER OF ATOMS
//   2
//   ITEM: BOX BOUNDS xy xz yz pp pp pp  (no tilts: 2 numbers a line; abc
//   xlo_bound xhi_bound xy               origin: a, b, c and the origin)
//   ylo_bound yhi_bound xz
//   zlo_bound zhi_bound yz
//   ITEM: ATOMS id type x y z
//   1 1 0.0 0.0 0.0
//   2 1 1.5 1.5 1.5
//
// One pass finds the frames (dump_scan.cpp), the headers are read by one
// parser (dump_head.cpp), the atom lines by a row reader that the frame's
// columns drive (dump_rows.hpp), on threads (dump_read.cpp,
// dump_threads.cpp), and frames are written back (dump_format.cpp).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/frame_table.hpp"
#include "core/output_text.hpp"
#include "core/owned_buffer.hpp"

namespace io_rs::lammps {

inline constexpr std::string_view kDump = "LAMMPS dump";

enum class BoxKind : unsigned char {
  Orthogonal,  // ITEM: BOX BOUNDS with two numbers a line
  Triclinic,   // xy xz yz: bounding-box bounds and a tilt a line
  General,     // abc origin: a cell vector and an origin coordinate a line
};

// A frame's box as the cell it describes: rows a, b, c and the origin (the
// corner at fractional coordinates 0, 0, 0), with the periodicity of each
// axis (boundary flag pp; without flags, every axis is periodic).
struct Box {
  BoxKind kind = BoxKind::Orthogonal;
  std::array<double, 9> cell{};
  std::array<double, 3> origin{};
  std::array<bool, 3> pbc{true, true, true};
};

// The three lines of numbers of a BOX BOUNDS section (2, 3 or 4 a line, as
// the kind says) as the box they describe. For a triclinic box, the bounds
// are those of the bounding box, by LAMMPS's rule:
//   xlo_bound = xlo + min(0, xy, xz, xy + xz)   xhi_bound = xhi + max(0, xy, xz, xy + xz)
//   ylo_bound = ylo + min(0, yz)                yhi_bound = yhi + max(0, yz)
// and the cell is a = (xhi - xlo, 0, 0), b = (xy, yhi - ylo, 0), c = (xz, yz, zhi - zlo).
Box box_of_bounds(BoxKind kind, const std::array<std::array<double, 4>, 3>& lines);

// The other way, for writing: the kind a cell is written as (General for a
// cell that is not lower triangular with a positive diagonal, Orthogonal
// when its tilts are all +0) and the numbers of its three lines, chosen so
// that box_of_bounds gives back the same cell and origin bit for bit where
// floating point allows it (always for a box read from a dump).
struct BoundLines {
  BoxKind kind = BoxKind::Orthogonal;
  std::array<std::array<double, 4>, 3> lines{};
};
BoundLines bounds_of_box(const std::array<double, 9>& cell, const std::array<double, 3>& origin);

// A section of a name the format does not give a meaning to (and UNITS,
// TIME), kept: its name as written after "ITEM:" and its lines, without
// their line ends, joined by LF.
struct Section {
  std::string name;
  std::string text;
};

// What a frame's header says.
struct FrameHead {
  std::int64_t timestep = 0;
  std::uint64_t natoms = 0;
  Box box;
  std::vector<Section> sections;  // in file order; TIME's text reads as a real
  std::string_view columns;       // the ATOMS line's names, as written
  std::size_t atoms_offset = 0;   // where the ATOMS line starts in the buffer read
};

// The per-atom data a frame's columns go into. x y z (or the first whole
// one of xu yu zu, xs ys zs, xsu ysu zsu) are "positions", vx vy vz
// "velocities", fx fy fz "forces", NAME[1] .. NAME[k] side by side "NAME"
// (k wide, k from 2); every other column is its own. id, type, mol, proc, procp1, ix,
// iy, iz and i_*, i2_* columns are integers, element is text, the rest reals.
enum class ColumnType : unsigned char { Integer, Real, Text };

struct Output {
  std::string name;
  ColumnType type = ColumnType::Real;
  std::vector<std::string> sources;  // the file's columns, one per element of a row

  std::size_t width() const noexcept { return sources.size(); }
};

struct Layout {
  std::vector<std::string> names;  // the ATOMS line's columns
  std::vector<Output> outputs;     // in the order of their first column
  // Per column of the line: the output and the element of its row.
  struct Field {
    std::uint32_t output;
    std::uint32_t element;
  };
  std::vector<Field> fields;
  std::optional<std::size_t> positions;  // the output that holds them
  std::optional<std::size_t> id;         // the id column's output
  bool type_labels = false;              // the type column holds labels, read as text

  // The names as one text, for messages: "id type x y z".
  std::string names_text() const;
};

// The layout of an ATOMS line's column names; an error (without a place)
// for a name given twice.
// type_labels: the type column holds type labels (O, CT, ...) rather than
// numbers, and is read as text.
Result<Layout> layout_of(std::string_view columns, bool type_labels = false);

// Whether an atom line's field in the column of `columns` named type is a
// type label: a field that cannot start a number (LAMMPS refuses labels
// that start with a digit, a sign, '#' or '*'). False where there is no
// such column or field.
bool type_label_in(std::string_view columns, std::string_view line);

// The data of one output: rows x width values of its type. Text fields are
// views into the buffer read.
struct OutputData {
  OwnedBuffer<double> reals;
  OwnedBuffer<std::int64_t> integers;
  OwnedBuffer<std::string_view> texts;
};

// A file that ends inside a frame (a run killed while it wrote): every frame
// before it is read, and this says which frame, where it starts and how far
// it got ("after 3 of 10 atom lines").
struct Cut {
  std::uint64_t frame = 0;
  Place place;
  std::string problem;
};

// One pass over a dump's bytes: every frame's place (offset, line, natoms,
// header: the index of its columns among `columns`, number: its timestep,
// end) and header. Input may come in pieces: a piece that is not the last
// is scanned up to its last whole frame. In the last piece, a file that
// ends inside a frame leaves it out and says so in `cut`.
struct DumpScan {
  FrameTable frames;
  std::vector<FrameHead> heads;
  std::vector<std::string> columns;  // the distinct ATOMS lines' names, as written
  ScanStop stop;
  std::optional<Cut> cut;
};
Result<DumpScan> scan_dump(std::string_view buffer, std::size_t offset, const Base& base, bool last);

// Frames read from a dump's bytes from offset on: consecutive frames with
// the first one's columns (compared by name), until the end of the buffer
// (blank lines there are passed over), max_frames frames, or a frame with
// other columns (end is then its first line). The atoms of each frame are
// sorted by id where it has an id column and `sort` holds. With threads > 1
// the atom lines are read on up to that many threads; the result, or the
// first failure in file order, is the same. A buffer that ends inside a
// frame is read up to that frame, and `cut` says so.
struct DumpFrames {
  FrameTable frames;  // header 0; number the timestep
  std::vector<FrameHead> heads;
  Layout layout;
  std::vector<OutputData> data;  // one per output
  std::size_t atoms = 0;
  std::size_t end = 0;
  std::uint64_t end_line = 1;  // the line that starts at end (0: not counted, end is the buffer's end)
  std::optional<Cut> cut;
};
Result<DumpFrames> read_dump_frames(std::string_view buffer, std::size_t offset,
                                    std::optional<std::uint64_t> max_frames, const Base& base = {},
                                    std::size_t threads = 1, bool sort = true);

// Writing. A column group to write in place: rows of `names.size()`
// elements, row-major and contiguous; texts are NumPy's fixed-width UTF-32,
// `chars` code points each, shorter ones padded with zeros.
struct ColumnSource {
  std::vector<std::string_view> names;
  ColumnType type = ColumnType::Real;
  const void* data = nullptr;
  std::size_t chars = 0;
};

// What a frame's header says, to write: sections (UNITS, TIME, others) go
// before ITEM: TIMESTEP, in order.
struct HeadSource {
  std::int64_t timestep = 0;
  std::span<const Section> sections;
  std::array<double, 9> cell{};
  std::array<double, 3> origin{};
  std::array<bool, 3> pbc{};
  std::uint64_t natoms = 0;
};

// The header of a frame, through its ITEM: ATOMS line. Boxes are written
// with bounds_of_box, their numbers in the shortest form that reads back.
// Fails on a column or section name that would not read back as written.
Result<void> append_dump_head(OutputText& out, const HeadSource& head, std::span<const ColumnSource> columns);

// Atom lines [first, first + count) of the columns, fields separated by one
// space: reals in the shortest form that reads back bit-identical, or with
// exactly `decimals` decimals rounded half to even; integers in full.
Result<void> append_dump_rows(OutputText& out, std::span<const ColumnSource> columns, std::size_t first,
                              std::size_t count, std::optional<std::uint16_t> decimals);

}  // namespace io_rs::lammps
