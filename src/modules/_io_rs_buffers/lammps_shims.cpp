// The entry shims of _io_rs_buffers for LAMMPS dumps: the scanner, the
// reader of frames and the writer. Bind, convert in parameter order (the
// buffer first, held for the whole call), run the routine without the
// interpreter lock, and turn its result or error into Python.
#include "core/fields.hpp"
#include "core/message.hpp"
#include "functions.hpp"
#include "lammps/lammps.hpp"
#include "python/convert.hpp"
#include "python/exceptions.hpp"
#include "python/extxyz_objects.hpp"
#include "python/lammps_results.hpp"
#include "python/numpy_api.hpp"
#include "python/released.hpp"
#include "python/results.hpp"
#include "python/scan_results.hpp"
#include "python/text_rounds.hpp"

namespace io_rs::buffers {

using py::Ref;

namespace {

constexpr const char* kScanLammpsDumpDoc =
    "Find every frame of a LAMMPS text dump and read its header, in one pass.\n"
    "\n"
    "Atom lines are passed over by counting line ends, not read. With\n"
    "last=False the buffer is a piece of the file that more may follow: the\n"
    "scan stops before the first frame it does not hold whole (and whose next\n"
    "line it has not seen), and `stop` says where the next piece starts.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "buffer : bytes-like  \u2014 the file's UTF-8 text; lines end in LF or CR LF\n"
    "offset : int  \u2014 where the scan starts\n"
    "base   : None or (byte, line, frame)  \u2014 the file's byte where the buffer\n"
    "         starts, the number of the line at offset, the frames before it\n"
    "last   : bool  \u2014 the buffer runs to the end of the file\n"
    "\n"
    "Returns\n"
    "-------\n"
    "(heads, stop: (consumed, line, complete), cut)\n"
    "heads = (table  ndarray int64 [F,6]: offset, line, natoms, columns index,\n"
    "                timestep, end,\n"
    "         columns list[tuple[str, ...]]: the distinct ATOMS lines' names,\n"
    "         boxes  ndarray float64 [F,4,3]: cell rows a, b, c, then the origin,\n"
    "         pbcs   ndarray bool [F,3],\n"
    "         kinds  ndarray uint8 [F]: 0 orthogonal, 1 triclinic, 2 abc origin,\n"
    "         sections list[(frame, name, text)]: ITEM: TIME, UNITS and others)\n"
    "cut  = None, or (frame, line, byte, problem) when the file ends inside a\n"
    "       frame (only with last=True): every frame before it is in the table";

constexpr const char* kReadLammpsDumpFramesDoc =
    "Read consecutive frames of a LAMMPS text dump that name the same columns.\n"
    "\n"
    "Reading starts at offset and stops at the end of the buffer, after\n"
    "max_frames frames, or before a frame of other columns. Each column goes\n"
    "into its output: x y z (or the first whole one of xu yu zu, xs ys zs,\n"
    "xsu ysu zsu) into 'positions', vx vy vz 'velocities', fx fy fz 'forces',\n"
    "NAME[1]..NAME[k] side by side (k from 2) a k-wide 'NAME', every other column\n"
    "its own;\n"
    "id, type, mol, proc, procp1, ix, iy, iz, i_* and i2_* are int64, element\n"
    "str, the rest float64; a type column whose first atom line holds a type\n"
    "label (a word that cannot start a number) is str, and so a frame of\n"
    "labels is not in the run of a frame of numbers. With sort, each frame's\n"
    "atoms are put in the order of their ids.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "buffer     : bytes-like  \u2014 the file's UTF-8 text; lines end in LF or CR LF\n"
    "offset     : int  \u2014 where the first frame (or blank lines before it) starts\n"
    "max_frames : int or None\n"
    "base       : None or (byte, line, frame), as for scan_lammps_dump\n"
    "threads    : int, keyword-only\n"
    "sort       : bool, keyword-only  \u2014 atoms in the order of their ids\n"
    "\n"
    "Returns\n"
    "-------\n"
    "(heads, outputs, stop: (end, line), cut)\n"
    "heads   as scan_lammps_dump gives them, for the frames read\n"
    "outputs list[(name, ndarray [sum N] or [sum N, k] | list[str], sources)]\n"
    "line    the number of the line at end (0 when end is the buffer's end and\n"
    "        was not counted)";

constexpr const char* kFormatLammpsDumpFramesDoc =
    "Format whole frames of a LAMMPS text dump (style custom).\n"
    "\n"
    "Each frame: its sections, ITEM: TIMESTEP, NUMBER OF ATOMS, BOX BOUNDS (xy\n"
    "xz yz for a tilted cell, abc origin for one not in LAMMPS's form, numbers\n"
    "chosen so that they read back to the same cell and origin) and ATOMS,\n"
    "then its rows. Reals are written in the shortest form that reads back\n"
    "bit-identical, or with exactly `decimals` decimals, rounded half to even.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "heads   : list[(timestep, [(name, text)], cell [3,3], origin [3], pbc [3])]\n"
    "columns : list[(names, ndarray)]  \u2014 names the space-separated file columns\n"
    "          of a C-contiguous float64, int64 or str array [sum N] or [sum N, k]\n"
    "counts  : sequence of int  \u2014 atoms per frame\n"
    "decimals: int or None\n"
    "write   : callable or None, keyword-only  \u2014 the text handed to write(bytes)\n"
    "          in pieces of about a megabyte, and nothing returned\n"
    "threads : int, keyword-only, default 1  \u2014 the text is formatted on up to this\n"
    "          many threads, a round of about a megabyte a thread at a time\n"
    "\n"
    "Returns\n"
    "-------\n"
    "bytes  \u2014 the frames (None with write)";

constexpr py::Parameter kScanLammpsDumpParameters[] = {{"buffer"}, {"offset", "0"}, {"base", "None"}, {"last", "True"}};
constexpr py::Parameter kReadLammpsDumpFramesParameters[] = {
    {"buffer"}, {"offset", "0"}, {"max_frames", "None"}, {"base", "None"}, {"threads", "1", true}, {"sort", "True", true}};
constexpr py::Parameter kFormatLammpsDumpFramesParameters[] = {
    {"heads"}, {"columns"}, {"counts"}, {"decimals", "None"}, {"write", "None", true}, {"threads", "1", true}};

std::optional<std::uint64_t> offset_given(PyObject* o) {
  if (o == nullptr) return 0;
  return py::convert_unsigned(o, "offset");
}

std::optional<std::size_t> threads_given(PyObject* o) {
  if (o == nullptr) return 1;
  auto threads = py::convert_unsigned(o, "threads");
  if (!threads) return std::nullopt;
  if (*threads == 0 || *threads > 4096) {
    py::set_error(PyExc_ValueError, "argument 'threads': expected from 1 to 4096 threads");
    return std::nullopt;
  }
  return static_cast<std::size_t>(*threads);
}

std::optional<bool> flag_given(PyObject* o, const char* parameter, bool otherwise) {
  if (o == nullptr) return otherwise;
  return py::convert_flag(o, parameter);
}

std::vector<std::string_view> words_of(std::string_view text) {
  std::vector<std::string_view> words;
  FieldSplitter fields(text);
  for (std::string_view word = fields.next(); !word.empty(); word = fields.next()) words.push_back(word);
  return words;
}

}  // namespace

const char* const kScanLammpsDumpDocText = kScanLammpsDumpDoc;
const char* const kReadLammpsDumpFramesDocText = kReadLammpsDumpFramesDoc;
const char* const kFormatLammpsDumpFramesDocText = kFormatLammpsDumpFramesDoc;
const py::FunctionDescription kScanLammpsDump{"scan_lammps_dump", kScanLammpsDumpParameters, 1};
const py::FunctionDescription kReadLammpsDumpFrames{"read_lammps_dump_frames", kReadLammpsDumpFramesParameters, 1};
const py::FunctionDescription kFormatLammpsDumpFrames{"format_lammps_dump_frames", kFormatLammpsDumpFramesParameters, 3};

PyObject* scan_lammps_dump(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::contain([&]() -> PyObject* {
    PyObject* slots[4] = {};
    if (!py::extract_arguments_fastcall(kScanLammpsDump, args, nargs, kwnames, slots)) return nullptr;
    py::BufferHold buffer;
    if (!buffer.take(slots[0], "buffer")) return nullptr;
    auto offset = offset_given(slots[1]);
    if (!offset) return nullptr;
    auto base = py::convert_base(slots[2], *offset, "base");
    if (!base) return nullptr;
    auto last = flag_given(slots[3], "last", true);
    if (!last) return nullptr;
    if (!py::numpy_ready()) return nullptr;

    auto scan = py::released([&] { return lammps::scan_dump(buffer.bytes(), *offset, *base, *last); });
    if (!scan) return py::raise(scan.error());
    Ref heads = py::dump_heads_result(scan->frames, scan->heads, scan->columns);
    if (!heads) return nullptr;
    Ref stop = py::stop_result(scan->stop);
    if (!stop) return nullptr;
    Ref cut = py::cut_result(scan->cut);
    if (!cut) return nullptr;
    return py::tuple_result({&heads, &stop, &cut}).release();
  });
}

PyObject* read_lammps_dump_frames(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::contain([&]() -> PyObject* {
    PyObject* slots[6] = {};
    if (!py::extract_arguments_fastcall(kReadLammpsDumpFrames, args, nargs, kwnames, slots)) return nullptr;
    py::BufferHold buffer;
    if (!buffer.take(slots[0], "buffer")) return nullptr;
    auto offset = offset_given(slots[1]);
    if (!offset) return nullptr;
    auto max_frames = py::convert_optional_unsigned(slots[2], "max_frames");
    if (!max_frames) return nullptr;
    auto base = py::convert_base(slots[3], *offset, "base");
    if (!base) return nullptr;
    auto threads = threads_given(slots[4]);
    if (!threads) return nullptr;
    auto sort = flag_given(slots[5], "sort", true);
    if (!sort) return nullptr;
    if (!py::numpy_ready()) return nullptr;

    auto read = py::released([&] {
      return lammps::read_dump_frames(buffer.bytes(), *offset, max_frames->value, *base, *threads, *sort);
    });
    if (!read) return py::raise(read.error());
    // Text outputs are views into the buffer: made into str while it is held.
    const std::vector<std::string> columns{read->layout.names_text()};
    Ref heads = py::dump_heads_result(read->frames, read->heads, columns);
    if (!heads) return nullptr;
    Ref outputs = py::dump_outputs_result(read->layout, read->data, read->atoms);
    if (!outputs) return nullptr;
    Ref end = py::size_result(read->end);
    Ref line = Ref::steal(PyLong_FromUnsignedLongLong(read->end_line));
    if (!end || !line) return nullptr;
    Ref stop = py::tuple_result({&end, &line});
    if (!stop) return nullptr;
    Ref cut = py::cut_result(read->cut);
    if (!cut) return nullptr;
    return py::tuple_result({&heads, &outputs, &stop, &cut}).release();
  });
}

PyObject* format_lammps_dump_frames(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::contain([&]() -> PyObject* {
    PyObject* slots[6] = {};
    if (!py::extract_arguments_fastcall(kFormatLammpsDumpFrames, args, nargs, kwnames, slots)) return nullptr;
    auto threads = threads_given(slots[5]);
    if (!threads) return nullptr;
    auto write_to = py::convert_write(slots[4], "format_lammps_dump_frames");
    if (!write_to) return nullptr;
    PyObject* write = *write_to;
    if (!py::numpy_ready()) return nullptr;
    PyObject* head_list = slots[0];
    PyObject* column_list = slots[1];
    if (!PyList_Check(head_list) || !PyList_Check(column_list)) {
      py::set_error(PyExc_TypeError, "format_lammps_dump_frames: heads and columns must be lists");
      return nullptr;
    }
    auto counts = py::convert_counts(slots[2], "counts");
    if (!counts) return nullptr;
    auto given = py::convert_decimals(slots[3], "format_lammps_dump_frames");
    if (!given) return nullptr;
    const std::optional<std::uint16_t> decimals = given->value;
    const std::size_t frames = counts->size();
    if (static_cast<std::size_t>(PyList_GET_SIZE(head_list)) != frames) {
      py::set_error(PyExc_ValueError, "format_lammps_dump_frames: heads and counts differ in length");
      return nullptr;
    }
    std::uint64_t total = 0;
    for (std::uint64_t n : *counts) total += n;
    // The columns, held; their names split into the file's columns.
    std::vector<py::ColumnHold> holds;
    std::vector<lammps::ColumnSource> sources;
    const auto ncolumns = static_cast<std::size_t>(PyList_GET_SIZE(column_list));
    holds.reserve(ncolumns);
    for (std::size_t c = 0; c < ncolumns; ++c) {
      auto hold = py::convert_column(PyList_GET_ITEM(column_list, static_cast<Py_ssize_t>(c)));
      if (!hold) return nullptr;
      holds.push_back(std::move(*hold));
    }
    for (const py::ColumnHold& hold : holds) {
      lammps::ColumnSource source;
      source.names = words_of(hold.name);
      if (source.names.size() != hold.source.width) {
        py::set_error(PyExc_ValueError, fill_message("format_lammps_dump_frames: column '{}' names {} columns for "
                                                     "an array {} wide", {hold.name, source.names.size(), hold.source.width}));
        return nullptr;
      }
      if (hold.rows != total) {
        py::set_error(PyExc_ValueError, fill_message("format_lammps_dump_frames: column '{}' has {} rows, the counts "
                                                     "add up to {}", {hold.name, hold.rows, total}));
        return nullptr;
      }
      switch (hold.source.type) {
        case xyz::ValueType::Real: source.type = lammps::ColumnType::Real; break;
        case xyz::ValueType::Integer: source.type = lammps::ColumnType::Integer; break;
        case xyz::ValueType::String: source.type = lammps::ColumnType::Text; break;
        default:
          py::set_error(PyExc_ValueError, fill_message("format_lammps_dump_frames: column '{}': a dump holds "
                                                       "numbers and text, not logicals", {hold.name}));
          return nullptr;
      }
      source.data = hold.source.data;
      source.chars = hold.source.chars;
      sources.push_back(std::move(source));
    }
    std::size_t row_bytes = 2;
    for (const auto& s : sources) row_bytes += s.names.size() * (s.type == lammps::ColumnType::Text ? 4 * s.chars + 1 : 26);
    std::vector<py::DumpHeadArgument> converted;
    std::vector<lammps::HeadSource> heads;
    return py::write_in_rounds<lammps::HeadSource>(
        *counts, row_bytes, 512, *threads, write, checked_size(total, row_bytes, checked_size(frames, 512)),
        [&](std::size_t left) {
          converted.clear();
          heads.clear();
          converted.reserve(left);
          heads.reserve(left);  // pieces point into heads, which never moves
        },
        [&](std::size_t f) -> const lammps::HeadSource* {
          auto head = py::convert_dump_head(PyList_GET_ITEM(head_list, static_cast<Py_ssize_t>(f)), f);
          if (!head) return nullptr;
          converted.push_back(std::move(*head));
          const py::DumpHeadArgument& held = converted.back();
          heads.push_back({held.timestep, held.sections, held.cell, held.origin, held.pbc, (*counts)[f]});
          return &heads.back();
        },
        [&](OutputText& out, const lammps::HeadSource& head) { return lammps::append_dump_head(out, head, sources); },
        [&](OutputText& out, std::size_t first, std::size_t rows) {
          return lammps::append_dump_rows(out, sources, first, rows, decimals);
        });
  });
}

}  // namespace io_rs::buffers
