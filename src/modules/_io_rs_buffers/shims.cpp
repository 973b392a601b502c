// The entry shims of _io_rs_buffers: bind, convert in parameter order (the
// buffer first, held for the whole call), run the routine on plain data and
// turn its result or error into Python. Every hold and reference is given
// back by the handle that owns it, on every path.
#include "functions.hpp"
#include "core/message.hpp"
#include "python/convert.hpp"
#include "python/extxyz_objects.hpp"
#include "python/exceptions.hpp"
#include "python/numpy_api.hpp"
#include "python/released.hpp"
#include "python/results.hpp"
#include "python/scan_results.hpp"
#include "python/text_rounds.hpp"
#include "vasp/vasp.hpp"
#include "xyz/extxyz.hpp"
#include "vasp/vasp_scan.hpp"
#include "xyz/xyz.hpp"
#include "xyz/xyz_scan.hpp"

namespace io_rs::buffers {

using py::Ref;

namespace {

// An optional offset: 0 when not given.
std::optional<std::uint64_t> offset_or_zero(PyObject* o) {
  if (o == nullptr) return 0;
  return py::convert_unsigned(o, "offset");
}

// The buffer, offset and natoms of the VASP readers, converted in that
// order; false with the argument error set.
struct BlockArguments {
  py::BufferHold buffer;
  std::uint64_t offset = 0;
  std::uint64_t natoms = 0;

  bool take(PyObject* const* slots) {
    if (!buffer.take(slots[0], "buffer")) return false;
    auto converted_offset = py::convert_unsigned(slots[1], "offset");
    if (!converted_offset) return false;
    auto converted_natoms = py::convert_unsigned(slots[2], "natoms");
    if (!converted_natoms) return false;
    offset = *converted_offset;
    natoms = *converted_natoms;
    return true;
  }
};

// The threads a reader may use: 1 when not given.
std::optional<std::size_t> threads_or_one(PyObject* o) {
  if (o == nullptr) return 1;
  auto threads = py::convert_unsigned(o, "threads");
  if (!threads) return std::nullopt;
  if (*threads == 0 || *threads > 4096) {
    py::set_error(PyExc_ValueError, "argument 'threads': expected from 1 to 4096 threads");
    return std::nullopt;
  }
  return static_cast<std::size_t>(*threads);
}

Ref offsets_result(OwnedBuffer<std::int64_t>&& offsets) {
  const std::size_t count = offsets.size();
  return py::from_owned_buffer(std::move(offsets), {count}, NPY_INT64);
}

}  // namespace

PyObject* read_poscar_block(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::contain([&]() -> PyObject* {
    PyObject* slots[6] = {};
    if (!py::extract_arguments_fastcall(kReadPoscarBlock, args, nargs, kwnames, slots)) return nullptr;
    BlockArguments block;
    if (!block.take(slots)) return nullptr;
    auto selective = py::convert_flag(slots[3], "selective");
    if (!selective) return nullptr;
    auto base = py::convert_base(slots[4], block.offset, "base");
    if (!base) return nullptr;
    auto threads = threads_or_one(slots[5]);
    if (!threads) return nullptr;

    auto read = py::released([&] {
      return vasp::read_poscar_block(block.buffer.bytes(), block.offset, block.natoms, *selective, *base, *threads);
    });
    if (!read) return py::raise(read.error());
    Ref positions = py::from_owned_array(std::move(read->block.positions));
    if (!positions) return nullptr;
    Ref flags = read->block.flags ? py::from_owned_array(std::move(*read->block.flags)) : Ref::borrow(Py_None);
    if (!flags) return nullptr;
    Ref end = py::size_result(read->end);
    if (!end) return nullptr;
    return py::tuple_result({&positions, &flags, &end}).release();
  });
}

PyObject* read_xdatcar_frames(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::contain([&]() -> PyObject* {
    PyObject* slots[6] = {};
    if (!py::extract_arguments_fastcall(kReadXdatcarFrames, args, nargs, kwnames, slots)) return nullptr;
    BlockArguments block;
    if (!block.take(slots)) return nullptr;
    auto max_frames = py::convert_optional_unsigned(slots[3], "max_frames");
    if (!max_frames) return nullptr;
    auto base = py::convert_base(slots[4], block.offset, "base");
    if (!base) return nullptr;
    auto threads = threads_or_one(slots[5]);
    if (!threads) return nullptr;

    auto read = py::released([&] {
      return vasp::read_xdatcar_frames(block.buffer.bytes(), block.offset, block.natoms, max_frames->value, *base,
                                       *threads);
    });
    if (!read) return py::raise(read.error());
    read->positions.resize(read->frames * block.natoms * 3);
    read->numbers.resize(read->frames);
    Ref frames = py::from_owned_buffer(std::move(read->positions), {read->frames, block.natoms, 3}, NPY_DOUBLE);
    if (!frames) return nullptr;
    Ref numbers = offsets_result(std::move(read->numbers));
    if (!numbers) return nullptr;
    Ref end = py::size_result(read->end);
    if (!end) return nullptr;
    return py::tuple_result({&frames, &numbers, &end}).release();
  });
}

PyObject* index_xdatcar_frames(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::contain([&]() -> PyObject* {
    PyObject* slots[3] = {};
    if (!py::extract_arguments_fastcall(kIndexXdatcarFrames, args, nargs, kwnames, slots)) return nullptr;
    BlockArguments block;
    if (!block.take(slots)) return nullptr;

    auto offsets = py::released([&] { return vasp::index_xdatcar_frames(block.buffer.bytes(), block.offset, block.natoms); });
    if (!offsets) return py::raise(offsets.error());
    return offsets_result(std::move(*offsets)).release();
  });
}

PyObject* read_xyz_frames(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::contain([&]() -> PyObject* {
    PyObject* slots[5] = {};
    if (!py::extract_arguments_fastcall(kReadXyzFrames, args, nargs, kwnames, slots)) return nullptr;
    py::BufferHold buffer;
    if (!buffer.take(slots[0], "buffer")) return nullptr;
    auto offset = offset_or_zero(slots[1]);
    if (!offset) return nullptr;
    auto max_frames = py::convert_optional_unsigned(slots[2], "max_frames");
    if (!max_frames) return nullptr;
    auto base = py::convert_base(slots[3], *offset, "base");
    if (!base) return nullptr;
    auto threads = threads_or_one(slots[4]);
    if (!threads) return nullptr;

    auto read = py::released(
        [&] { return xyz::read_xyz_frames(buffer.bytes(), *offset, max_frames->value, *base, *threads); });
    if (!read) return py::raise(read.error());
    // The comments are views into the buffer: made into str while it is held.
    Ref comments = py::text_views_result(read->comments);
    if (!comments) return nullptr;
    Ref symbols = py::text_list_result(read->symbols, read->more_symbols);
    if (!symbols) return nullptr;
    Ref positions = py::from_owned_buffer(std::move(read->positions), {read->atoms, 3}, NPY_DOUBLE);
    if (!positions) return nullptr;
    Ref counts = offsets_result(std::move(read->counts));
    if (!counts) return nullptr;
    Ref end = py::size_result(read->end);
    if (!end) return nullptr;
    return py::tuple_result({&comments, &symbols, &positions, &counts, &end}).release();
  });
}

PyObject* index_xyz_frames(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::contain([&]() -> PyObject* {
    PyObject* slots[2] = {};
    if (!py::extract_arguments_fastcall(kIndexXyzFrames, args, nargs, kwnames, slots)) return nullptr;
    py::BufferHold buffer;
    if (!buffer.take(slots[0], "buffer")) return nullptr;
    auto offset = offset_or_zero(slots[1]);
    if (!offset) return nullptr;

    auto offsets = py::released([&] { return xyz::index_xyz_frames(buffer.bytes(), *offset); });
    if (!offsets) return py::raise(offsets.error());
    return offsets_result(std::move(*offsets)).release();
  });
}

PyObject* format_xdatcar_frames(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::contain([&]() -> PyObject* {
    PyObject* slots[2] = {};
    if (!py::extract_arguments_fastcall(kFormatXdatcarFrames, args, nargs, kwnames, slots)) return nullptr;
    auto frames = py::convert_stack(slots[0], "frames");
    if (!frames) return nullptr;
    std::uint64_t first_number = 1;
    if (slots[1] != nullptr) {
      auto number = py::convert_unsigned(slots[1], "first_number");
      if (!number) return nullptr;
      first_number = *number;
    }

    auto view = frames->view();
    if (!view) return nullptr;
    auto text = py::released([&] { return vasp::format_xdatcar_frames(*view, first_number); });
    if (!text) return py::raise(text.error());
    return py::bytes_result(*text).release();
  });
}

PyObject* format_xyz_frames(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::contain([&]() -> PyObject* {
    PyObject* slots[4] = {};
    if (!py::extract_arguments_fastcall(kFormatXyzFrames, args, nargs, kwnames, slots)) return nullptr;
    // The texts hold references of their own: converting the positions and
    // the counts may run Python code (NumPy's import, __index__).
    auto comments = py::convert_lines(slots[0], "comments", py::Hold::Owned);
    if (!comments) return nullptr;
    auto symbols = py::convert_lines(slots[1], "symbols", py::Hold::Owned);
    if (!symbols) return nullptr;
    auto positions = py::convert_matrix(slots[2], "positions", NPY_DOUBLE);
    if (!positions) return nullptr;
    auto counts = py::convert_counts(slots[3], "counts");
    if (!counts) return nullptr;

    auto view = positions->view<double>();
    if (!view) return nullptr;
    auto text = xyz::format_xyz_frames(comments->list(), symbols->list(), *view, *counts);
    if (!text) return py::raise(text.error());
    return py::bytes_result(*text).release();
  });
}

namespace {

// A list of n new references made by make(k), or null with the error set.
template <class Make>
Ref list_of(std::size_t n, Make make) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return {};
  for (std::size_t k = 0; k < n; ++k) {
    Ref item = make(k);
    if (!item) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item.release());
  }
  return list;
}

Ref text_ref(std::string_view text) {
  return Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// A (3, 3) cell or a (3,) pbc from any array-like.
template <std::size_t N>
std::optional<std::array<double, N>> convert_fixed(PyObject* o, int type_num, const char* what, std::size_t frame) {
  Ref array = Ref::steal(PyArray_FROMANY(o, type_num, 1, 2, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
  if (!array || PyArray_SIZE(reinterpret_cast<PyArrayObject*>(array.get())) != static_cast<npy_intp>(N)) {
    PyErr_Clear();
    py::set_error(PyExc_ValueError, fill_message("frame {}: {}", {frame, what}));
    return std::nullopt;
  }
  std::array<double, N> values{};
  const void* data = PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get()));
  for (std::size_t k = 0; k < N; ++k)
    values[k] = type_num == NPY_DOUBLE ? static_cast<const double*>(data)[k] : static_cast<const std::uint8_t*>(data)[k];
  return values;
}

}  // namespace

PyObject* read_extxyz_frames(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::contain([&]() -> PyObject* {
    PyObject* slots[5] = {};
    if (!py::extract_arguments_fastcall(kReadExtxyzFrames, args, nargs, kwnames, slots)) return nullptr;
    py::BufferHold buffer;
    if (!buffer.take(slots[0], "buffer")) return nullptr;
    auto offset = offset_or_zero(slots[1]);
    if (!offset) return nullptr;
    auto max_frames = py::convert_optional_unsigned(slots[2], "max_frames");
    if (!max_frames) return nullptr;
    auto base = py::convert_base(slots[3], *offset, "base");
    if (!base) return nullptr;
    auto threads = threads_or_one(slots[4]);
    if (!threads) return nullptr;
    if (!py::numpy_ready()) return nullptr;

    py::InfoKeys keys;
    py::FrameObjects made(keys);
    auto read = [&] {
      py::Released unlocked;
      made.set_state(unlocked.state());
      return xyz::read_extxyz_frames(buffer.bytes(), *offset, max_frames->value, *base, *threads, &made);
    }();
    if (made.failed()) return nullptr;
    if (!read) return py::raise(read.error());
    const auto& comments = read->comments;
    Ref infos = list_of(comments.size(), [&](std::size_t k) {
      Ref info = made.info(k);
      return info ? std::move(info) : py::info_dict(comments[k].info, keys);
    });
    if (!infos) return nullptr;
    OwnedBuffer<std::int64_t> count_buffer = OwnedBuffer<std::int64_t>::allocate(read->counts.size());
    for (std::size_t k = 0; k < read->counts.size(); ++k) count_buffer[k] = static_cast<std::int64_t>(read->counts[k]);
    Ref counts = offsets_result(std::move(count_buffer));
    if (!counts) return nullptr;
    Ref cells = list_of(comments.size(), [&](std::size_t k) {
      Ref cell = made.cell(k);
      return cell ? std::move(cell) : py::cell_result(comments[k].cell);
    });
    if (!cells) return nullptr;
    // One (F, 3) array: an array a frame would cost more than the frame's
    // atom lines in a training set of small frames.
    OwnedBuffer<std::uint8_t> pbc_buffer = OwnedBuffer<std::uint8_t>::allocate(3 * comments.size());
    for (std::size_t k = 0; k < comments.size(); ++k) {
      for (std::size_t axis = 0; axis < 3; ++axis) pbc_buffer[3 * k + axis] = comments[k].pbc[axis];
    }
    Ref pbcs = py::from_owned_buffer(std::move(pbc_buffer), {comments.size(), 3}, NPY_BOOL);
    if (!pbcs) return nullptr;
    Ref columns = list_of(read->columns.size(), [&](std::size_t c) {
      Ref name = text_ref(read->columns[c].name);
      if (!name) return Ref{};
      Ref array = py::column_array(read->columns[c], read->data[c], read->atoms);
      if (!array) return Ref{};
      return py::pair_result(std::move(name), std::move(array));
    });
    if (!columns) return nullptr;
    Ref end = py::size_result(read->end);
    if (!end) return nullptr;
    return py::tuple_result({&infos, &counts, &cells, &pbcs, &columns, &end}).release();
  });
}

PyObject* parse_extxyz_comment(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::contain([&]() -> PyObject* {
    PyObject* slots[1] = {};
    if (!py::extract_arguments_fastcall(kParseExtxyzComment, args, nargs, kwnames, slots)) return nullptr;
    if (!PyUnicode_Check(slots[0])) {
      py::set_error(PyExc_TypeError, "argument 'line': expected str");
      return nullptr;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(slots[0], &size);
    if (text == nullptr || !py::numpy_ready()) return nullptr;
    auto comment = xyz::parse_extxyz_comment(std::string_view(text, static_cast<std::size_t>(size)));
    if (!comment) return py::raise(comment.error());
    Ref info = py::info_dict(comment->info);
    if (!info) return nullptr;
    Ref properties = list_of(comment->columns.size(), [&](std::size_t c) {
      const xyz::Column& column = comment->columns[c];
      const char letter = xyz::type_letter(column.type);
      Ref name = text_ref(column.name);
      Ref type = text_ref(std::string_view(&letter, 1));
      Ref width = py::size_result(column.width);
      if (!name || !type || !width) return Ref{};
      return py::tuple_result({&name, &type, &width});
    });
    if (!properties) return nullptr;
    Ref cell = py::cell_result(comment->cell);
    if (!cell) return nullptr;
    Ref pbc = py::pbc_result(comment->pbc);
    if (!pbc) return nullptr;
    Ref plain = Ref::borrow(comment->plain ? Py_True : Py_False);
    return py::tuple_result({&info, &properties, &cell, &pbc, &plain}).release();
  });
}

PyObject* format_extxyz_frames(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::contain([&]() -> PyObject* {
    PyObject* slots[8] = {};
    if (!py::extract_arguments_fastcall(kFormatExtxyzFrames, args, nargs, kwnames, slots)) return nullptr;
    auto threads = threads_or_one(slots[7]);
    if (!threads) return nullptr;
    auto write_to = py::convert_write(slots[6], "format_extxyz_frames");
    if (!write_to) return nullptr;
    PyObject* write = *write_to;
    if (!py::numpy_ready()) return nullptr;
    PyObject* infos = slots[0];
    PyObject* column_list = slots[1];
    PyObject* cells = slots[3];
    PyObject* pbcs = slots[4];
    if (!PyList_Check(infos) || !PyList_Check(column_list) || !PyList_Check(cells) || !PyList_Check(pbcs)) {
      py::set_error(PyExc_TypeError, "format_extxyz_frames: infos, columns, cells and pbcs must be lists");
      return nullptr;
    }
    auto counts = py::convert_counts(slots[2], "counts");
    if (!counts) return nullptr;
    auto given = py::convert_decimals(slots[5], "format_extxyz_frames");
    if (!given) return nullptr;
    const std::optional<std::uint16_t> decimals = given->value;
    const std::size_t frames = counts->size();
    if (static_cast<std::size_t>(PyList_GET_SIZE(infos)) != frames ||
        static_cast<std::size_t>(PyList_GET_SIZE(cells)) != frames ||
        static_cast<std::size_t>(PyList_GET_SIZE(pbcs)) != frames) {
      py::set_error(PyExc_ValueError, "format_extxyz_frames: infos, counts, cells and pbcs differ in length");
      return nullptr;
    }
    std::uint64_t total = 0;
    for (std::uint64_t n : *counts) total += n;
    std::vector<py::ColumnHold> holds;
    const std::size_t ncolumns = static_cast<std::size_t>(PyList_GET_SIZE(column_list));
    holds.reserve(ncolumns);
    for (std::size_t c = 0; c < ncolumns; ++c) {
      auto hold = py::convert_column(PyList_GET_ITEM(column_list, static_cast<Py_ssize_t>(c)));
      if (!hold) return nullptr;
      if (hold->rows != total) {
        py::set_error(PyExc_ValueError, fill_message("format_extxyz_frames: column '{}' has {} rows, the counts add up to {}",
                                                     {hold->name, hold->rows, total}));
        return nullptr;
      }
      holds.push_back(std::move(*hold));
    }
    std::vector<xyz::ColumnSource> sources;
    for (py::ColumnHold& hold : holds) {
      hold.source.name = hold.name;
      sources.push_back(hold.source);
    }
    std::size_t row_bytes = 2;
    for (const auto& s : sources) row_bytes += s.width * (s.type == xyz::ValueType::String ? 4 * s.chars + 1 : 26);
    std::vector<std::vector<xyz::InfoValue>> infos_held;
    std::vector<xyz::FrameHeader> headers;
    return py::write_in_rounds<xyz::FrameHeader>(
        *counts, row_bytes, 256, *threads, write, checked_size(total, row_bytes, checked_size(frames, 256)),
        [&](std::size_t left) {
          infos_held.clear();
          headers.clear();
          infos_held.reserve(left);  // headers point into infos_held, pieces into headers: neither moves
          headers.reserve(left);
        },
        [&](std::size_t f) -> const xyz::FrameHeader* {
          auto info = py::convert_info(PyList_GET_ITEM(infos, static_cast<Py_ssize_t>(f)));
          if (!info) return nullptr;
          xyz::FrameHeader header;
          PyObject* cell = PyList_GET_ITEM(cells, static_cast<Py_ssize_t>(f));
          if (cell != Py_None) {
            auto values = convert_fixed<9>(cell, NPY_DOUBLE, "the cell must be 3 x 3 reals", f);
            if (!values) return nullptr;
            header.cell = *values;
          }
          auto pbc = convert_fixed<3>(PyList_GET_ITEM(pbcs, static_cast<Py_ssize_t>(f)), NPY_BOOL,
                                      "pbc must be three logicals", f);
          if (!pbc) return nullptr;
          for (std::size_t k = 0; k < 3; ++k) header.pbc[k] = (*pbc)[k] != 0;
          infos_held.push_back(std::move(*info));
          header.info = infos_held.back();
          header.natoms = (*counts)[f];
          headers.push_back(header);
          return &headers.back();
        },
        [&](OutputText& out, const xyz::FrameHeader& header) { return xyz::append_extxyz_header(out, header, sources); },
        [&](OutputText& out, std::size_t first, std::size_t rows) {
          return xyz::append_extxyz_rows(out, sources, first, rows, decimals);
        });
  });
}

// Scanners: buffer, offset, base and last, in that order; the XDATCAR
// scanner also the first header.
namespace {

struct ScanArguments {
  py::BufferHold buffer;
  std::uint64_t offset = 0;
  Base base;
  bool last = true;

  bool take(PyObject* const* slots) {
    if (!buffer.take(slots[0], "buffer")) return false;
    auto converted_offset = offset_or_zero(slots[1]);
    if (!converted_offset) return false;
    offset = *converted_offset;
    auto converted_base = py::convert_base(slots[2], offset, "base");
    if (!converted_base) return false;
    base = *converted_base;
    if (slots[3] != nullptr) {
      auto converted_last = py::convert_flag(slots[3], "last");
      if (!converted_last) return false;
      last = *converted_last;
    }
    return true;
  }
};

}  // namespace

PyObject* scan_poscar(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::contain([&]() -> PyObject* {
    PyObject* slots[1] = {};
    if (!py::extract_arguments_fastcall(kScanPoscar, args, nargs, kwnames, slots)) return nullptr;
    py::BufferHold buffer;
    if (!buffer.take(slots[0], "buffer")) return nullptr;

    auto scan = py::released([&] { return vasp::scan_poscar(buffer.bytes()); });
    if (!scan) return py::raise(scan.error());
    FrameTable blocks{scan->positions};
    if (scan->velocities) blocks.push_back(*scan->velocities);
    Ref header = py::header_result(scan->header);
    if (!header) return nullptr;
    Ref selective = Ref::borrow(scan->selective ? Py_True : Py_False);
    Ref cartesian = Ref::borrow(scan->cartesian ? Py_True : Py_False);
    Ref table = py::frame_table_result(blocks);
    if (!table) return nullptr;
    return py::tuple_result({&header, &selective, &cartesian, &table}).release();
  });
}

PyObject* scan_xdatcar_frames(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::contain([&]() -> PyObject* {
    PyObject* slots[5] = {};
    if (!py::extract_arguments_fastcall(kScanXdatcarFrames, args, nargs, kwnames, slots)) return nullptr;
    ScanArguments scan_arguments;
    if (!scan_arguments.take(slots)) return nullptr;
    std::optional<py::HeaderArgument> first;
    if (slots[4] != nullptr && slots[4] != Py_None) {
      first = py::convert_header(slots[4], "first");
      if (!first) return nullptr;
    }

    auto scan = py::released([&] {
      return vasp::scan_xdatcar(scan_arguments.buffer.bytes(), scan_arguments.offset, scan_arguments.base,
                                scan_arguments.last, first ? &first->header : nullptr);
    });
    if (!scan) return py::raise(scan.error());
    Ref headers = Ref::steal(PyList_New(static_cast<Py_ssize_t>(scan->headers.size())));
    if (!headers) return nullptr;
    for (std::size_t i = 0; i < scan->headers.size(); ++i) {
      Ref header = py::header_result(scan->headers[i]);
      if (!header) return nullptr;
      PyList_SET_ITEM(headers.get(), static_cast<Py_ssize_t>(i), header.release());
    }
    Ref table = py::frame_table_result(scan->frames);
    if (!table) return nullptr;
    Ref stop = py::stop_result(scan->stop);
    if (!stop) return nullptr;
    return py::tuple_result({&headers, &table, &stop}).release();
  });
}

PyObject* scan_xyz_frames(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::contain([&]() -> PyObject* {
    PyObject* slots[4] = {};
    if (!py::extract_arguments_fastcall(kScanXyzFrames, args, nargs, kwnames, slots)) return nullptr;
    ScanArguments scan_arguments;
    if (!scan_arguments.take(slots)) return nullptr;

    auto scan = py::released([&] {
      return xyz::scan_xyz(scan_arguments.buffer.bytes(), scan_arguments.offset, scan_arguments.base,
                           scan_arguments.last);
    });
    if (!scan) return py::raise(scan.error());
    Ref table = py::frame_table_result(scan->frames);
    if (!table) return nullptr;
    Ref stop = py::stop_result(scan->stop);
    if (!stop) return nullptr;
    return py::tuple_result({&table, &stop}).release();
  });
}

}  // namespace io_rs::buffers
