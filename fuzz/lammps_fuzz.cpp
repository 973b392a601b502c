// LAMMPS dumps: the scanner fed the input in pieces against one scan of the
// whole; the reader on two and three threads (built with one byte a thread
// at least, so that every input is cut) against one thread, with and
// without sorting; a read that succeeds against the scan of the same bytes;
// what was read, written and read again against what was read; and the
// short field readers against the general ones, on each field, and the
// fast row reader against the general one, on each atom line. The first
// byte picks the piece size; the rest is the file.
#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <numeric>
#include <string>
#include <type_traits>

#include "core/fields.hpp"
#include "core/number_read.hpp"
#include "core/short_fields.hpp"
#include "lammps/dump_rows.hpp"
#include "lammps/lammps.hpp"
#include "support/harness.hpp"

namespace {

using namespace io_rs::lammps;

void put(std::string& out, const void* data, std::size_t bytes) {
  out.append(static_cast<const char*>(data), bytes);
  out += '|';
}

void put(std::string& out, std::uint64_t value) { put(out, &value, sizeof value); }

std::string error_text(const io_rs::Error& e) {
  std::string out = "error: " + e.message();
  if (e.place) {
    out += " @" + std::to_string(e.place->line) + ":" + std::to_string(e.place->byte) + ":" +
           std::to_string(e.place->frame);
  }
  return out;
}

void put_cut(std::string& out, const std::optional<Cut>& cut) {
  if (!cut) return put(out, std::uint64_t{0});
  put(out, cut->frame);
  put(out, cut->place.line);
  put(out, cut->place.byte);
  put(out, cut->problem.data(), cut->problem.size());
}

void put_heads(std::string& out, const io_rs::FrameTable& table, const std::vector<FrameHead>& heads, bool index) {
  for (const io_rs::FrameEntry& e : table) {
    for (std::uint64_t v : {e.offset, e.line, e.natoms, index ? static_cast<std::uint64_t>(e.header) : 0,
                            static_cast<std::uint64_t>(e.number), e.end})
      put(out, v);
  }
  for (const FrameHead& h : heads) {
    put(out, h.box.cell.data(), sizeof h.box.cell);
    put(out, h.box.origin.data(), sizeof h.box.origin);
    put(out, h.box.pbc.data(), sizeof h.box.pbc);
    put(out, static_cast<std::uint64_t>(h.box.kind));
    for (const Section& s : h.sections) {
      put(out, s.name.data(), s.name.size());
      put(out, s.text.data(), s.text.size());
    }
  }
}

std::string scan_outcome(const io_rs::Result<DumpScan>& scan) {
  if (!scan) return error_text(scan.error());
  std::string out;
  put_heads(out, scan->frames, scan->heads, true);
  for (const std::string& c : scan->columns) put(out, c.data(), c.size());
  put_cut(out, scan->cut);
  put(out, scan->stop.consumed);
  put(out, scan->stop.line);
  return out;
}

// The scan of the whole file, from pieces: each scan of a window that is not
// the last stops at its last whole frame, the next window starts there.
std::string scan_in_pieces(std::string_view file, std::size_t piece, const io_rs::Base& base) {
  DumpScan all;
  std::size_t start = 0;
  std::uint64_t line = base.line;
  std::size_t size = piece;
  fuzz::ExactTexts windows;
  for (;;) {
    const bool last = start + size >= file.size();
    const std::string_view window = windows.copy(file.substr(start, last ? std::string_view::npos : size));
    auto scan = scan_dump(window, 0, {base.byte + start, line, 0, base.frame + all.frames.size()}, last);
    if (!scan) return error_text(scan.error());
    for (std::size_t k = 0; k < scan->frames.size(); ++k) {
      io_rs::FrameEntry entry = scan->frames[k];
      const std::string& names = scan->columns[static_cast<std::size_t>(entry.header)];
      const auto known = std::find(all.columns.begin(), all.columns.end(), names);
      entry.header = known - all.columns.begin();
      if (known == all.columns.end()) all.columns.push_back(names);
      all.frames.push_back(entry);
      all.heads.push_back(std::move(scan->heads[k]));
    }
    if (last) {
      all.cut = scan->cut;
      all.stop = {scan->stop.consumed + start, scan->stop.line, scan->stop.complete};
      return scan_outcome(all);
    }
    if (scan->stop.consumed == 0) {
      size += piece;  // not one whole frame yet: a larger window
      continue;
    }
    start += scan->stop.consumed;
    line = scan->stop.line;
    size = piece;
  }
}

std::string read_outcome(const io_rs::Result<DumpFrames>& read) {
  if (!read) return error_text(read.error());
  std::string out;
  put_heads(out, read->frames, read->heads, false);
  for (std::size_t k = 0; k < read->layout.outputs.size(); ++k) {
    const Output& output = read->layout.outputs[k];
    const OutputData& data = read->data[k];
    put(out, output.name.data(), output.name.size());
    const std::size_t n = read->atoms * output.width();
    switch (output.type) {
      case ColumnType::Real: put(out, data.reals.data(), n * sizeof(double)); break;
      case ColumnType::Integer: put(out, data.integers.data(), n * sizeof(std::int64_t)); break;
      case ColumnType::Text:
        for (std::size_t i = 0; i < n; ++i) put(out, data.texts[i].data(), data.texts[i].size());
        break;
    }
  }
  put(out, read->atoms);
  put(out, read->end);
  put_cut(out, read->cut);
  return out;
}

// A double's bits, every NaN as one.
std::uint64_t bits_of(double value) {
  return value != value ? 0x7FF8000000000000 : std::bit_cast<std::uint64_t>(value);
}

// The values of frames read (heads without their places, outputs), for
// comparing a read with the read of what was written from it.
// Every frame's rows stable-sorted by id here, the plain way: what a
// sorted read must give.
void sort_here(DumpFrames& read) {
  if (!read.layout.id) return;
  std::size_t first = 0;
  for (const FrameHead& head : read.heads) {
    const std::size_t n = static_cast<std::size_t>(head.natoms);
    const std::int64_t* ids = read.data[*read.layout.id].integers.data() + first;
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return ids[a] < ids[b]; });
    for (std::size_t k = 0; k < read.layout.outputs.size(); ++k) {
      const std::size_t w = read.layout.outputs[k].width();
      auto permute = [&](auto* values) {
        std::vector<std::remove_pointer_t<decltype(values)>> rows(values + first * w, values + (first + n) * w);
        for (std::size_t i = 0; i < n; ++i) std::copy_n(rows.begin() + order[i] * w, w, values + (first + i) * w);
      };
      switch (read.layout.outputs[k].type) {
        case ColumnType::Real: permute(read.data[k].reals.data()); break;
        case ColumnType::Integer: permute(read.data[k].integers.data()); break;
        case ColumnType::Text: permute(read.data[k].texts.data()); break;
      }
    }
    first += n;
  }
}

std::string values_of(const DumpFrames& read) {
  std::string out;
  for (const FrameHead& h : read.heads) {
    put(out, static_cast<std::uint64_t>(h.timestep));
    put(out, h.natoms);
    for (double v : h.box.cell) put(out, bits_of(v));
    for (double v : h.box.origin) put(out, bits_of(v));
    put(out, h.box.pbc.data(), sizeof h.box.pbc);
    for (const Section& s : h.sections) {
      put(out, s.name.data(), s.name.size());
      put(out, s.text.data(), s.text.size());
    }
  }
  for (std::size_t k = 0; k < read.layout.outputs.size(); ++k) {
    const Output& output = read.layout.outputs[k];
    put(out, output.name.data(), output.name.size());
    for (std::size_t i = 0; i < read.atoms * output.width(); ++i) {
      put(out, output.type == ColumnType::Real ? bits_of(read.data[k].reals[i])
                                               : static_cast<std::uint64_t>(read.data[k].integers[i]));
    }
  }
  return out;
}

// What was read, written as the writer writes it.
std::string written(const DumpFrames& read) {
  io_rs::OutputText text;
  std::vector<ColumnSource> sources;
  for (std::size_t k = 0; k < read.layout.outputs.size(); ++k) {
    const Output& output = read.layout.outputs[k];
    if (output.type == ColumnType::Text) return {};  // the writer takes NumPy's UTF-32 text
    ColumnSource source;
    for (const std::string& name : output.sources) source.names.push_back(name);
    source.type = output.type;
    source.data = output.type == ColumnType::Real ? static_cast<const void*>(read.data[k].reals.data())
                                                  : read.data[k].integers.data();
    sources.push_back(std::move(source));
  }
  std::size_t first = 0;
  for (std::size_t f = 0; f < read.heads.size(); ++f) {
    const FrameHead& h = read.heads[f];
    const HeadSource head{h.timestep, h.sections, h.box.cell, h.box.origin, h.box.pbc, h.natoms};
    if (!append_dump_head(text, head, sources)) return {};
    if (!append_dump_rows(text, sources, first, h.natoms, std::nullopt)) return {};
    first += h.natoms;
  }
  return std::string(text.view());
}

// The short field readers on every field: where they read, the general
// readers give the same.
void fields_against_general(std::string_view file) {
  fuzz::ExactTexts blocks;
  io_rs::FieldSplitter fields(file);
  for (std::string_view field = fields.next(); !field.empty(); field = fields.next()) {
    // The field followed by a space, in a block of 16 bytes or more.
    std::string padded(field);
    padded += ' ';
    padded.resize(std::max<std::size_t>(padded.size(), io_rs::short_field::kReadable), 'x');
    const std::string_view block = blocks.copy(padded);
    const auto span = io_rs::short_field::span_at(block.data());
    if (span.length != static_cast<int>(field.size())) continue;
    fuzz::testing("short_field", field);
    if (const auto real = io_rs::short_field::real(block.data(), span)) {
      const auto general = io_rs::read_number(field);
      if (!general || std::bit_cast<std::uint64_t>(*general) != std::bit_cast<std::uint64_t>(*real))
        fuzz::fail("short_field::real differs from read_number", "", field);
    }
    if (const auto integer = io_rs::short_field::integer(block.data(), span)) {
      std::int64_t value = 0;
      const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
      if (error != std::errc() || end != field.data() + field.size() || value != *integer)
        fuzz::fail("short_field::integer differs from from_chars", "", field);
    }
  }
}

// Row 0 of every output, for comparing two reads of one line.
std::string row_of(const Layout& layout, const std::vector<OutputData>& data) {
  std::string out;
  for (std::size_t k = 0; k < layout.outputs.size(); ++k) {
    for (std::size_t e = 0; e < layout.outputs[k].width(); ++e) {
      switch (layout.outputs[k].type) {
        case ColumnType::Real: put(out, bits_of(data[k].reals[e])); break;
        case ColumnType::Integer: put(out, static_cast<std::uint64_t>(data[k].integers[e])); break;
        case ColumnType::Text: put(out, data[k].texts[e].data(), data[k].texts[e].size()); break;
      }
    }
  }
  return out;
}

// The lines after each ATOMS line, up to the next ITEM: line, read one at a
// time the fast way (read_rows) and the general way (read_row): they read
// alike, or fail alike.
void lines_against_general(std::string_view file) {
  std::size_t at = 0;
  std::optional<Layout> layout;
  while (at < file.size()) {
    const std::size_t lf = file.find('\n', at);
    const std::size_t end = lf == std::string_view::npos ? file.size() : lf;
    const std::string_view line = file.substr(at, end - at);
    if (line.starts_with("ITEM:")) {
      layout.reset();
      if (line.starts_with("ITEM: ATOMS ")) {
        const std::string_view columns = line.substr(12);
        const std::string_view next = file.substr(std::min(end + 1, file.size()));
        auto made = layout_of(columns, type_label_in(columns, next.substr(0, next.find('\n'))));
        if (made) layout = std::move(*made);
      }
    } else if (layout) {
      fuzz::testing("read_rows against read_row", line);
      std::vector<OutputData> fast, general;
      reserve_rows(*layout, fast, 1);
      reserve_rows(*layout, general, 1);
      const RowRun run = read_rows(file, at, file.size(), 1, plan_of(*layout, fast), 0);
      const bool fast_read = run.read == 1 && run.failure.problem == RowProblem::None;
      const bool general_read = read_row(line, file.data() + file.size(), plan_of(*layout, general), 0).problem ==
                                RowProblem::None;
      if (fast_read != general_read) {
        fuzz::fail(fast_read ? "read_rows reads a line read_row refuses" : "read_rows refuses a line read_row reads",
                   "", line);
      }
      if (fast_read) fuzz::check_equal("a line read both ways", row_of(*layout, general), row_of(*layout, fast));
    }
    at = end + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t piece = 1 + data[0] % 64;
  fuzz::ExactTexts exact;
  const std::string_view file = exact.copy(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  const io_rs::Base base{100, 7, 0, 3};

  fuzz::testing("scan_dump in pieces", file);
  const auto whole = scan_dump(file, 0, base, true);
  fuzz::check_equal("scan in pieces of " + std::to_string(piece), scan_outcome(whole), scan_in_pieces(file, piece, base));

  for (const bool sort : {true, false}) {
    fuzz::testing(sort ? "read_dump_frames, sorted" : "read_dump_frames", file);
    const auto one = read_dump_frames(file, 0, std::nullopt, base, 1, sort);
    const std::string expected = read_outcome(one);
    for (std::size_t threads : {2, 3}) {
      fuzz::check_equal("result on " + std::to_string(threads) + " threads", expected,
                        read_outcome(read_dump_frames(file, 0, std::nullopt, base, threads, sort)));
    }
    if (sort) {
      // Sorted as read (rows straight to their slots where they can go)
      // against read in file order and sorted after.
      auto plain = read_dump_frames(file, 0, std::nullopt, base, 1, false);
      if (plain) sort_here(*plain);
      fuzz::check_equal("sorted as read against sorted after", read_outcome(plain), expected);
    }
    if (!one || !sort) continue;
    // Frames read whole to the end: the scan finds the same ones.
    if (one->end == file.size() && whole) {
      std::string read_table, scan_table;
      put_heads(read_table, one->frames, one->heads, false);
      put_heads(scan_table, whole->frames, whole->heads, false);
      if (whole->columns.size() <= 1) fuzz::check_equal("frames of the scan", read_table, scan_table);
    }
    // Written and read again: the same frames.
    const std::string text = written(*one);
    if (text.empty()) continue;
    fuzz::testing("write, then read", file);
    const std::string_view again = exact.copy(text);
    auto back = read_dump_frames(again, 0, std::nullopt, {}, 1, true);
    if (!back) fuzz::fail("what was written does not read", "", error_text(back.error()));
    fuzz::check_equal("frames read back", values_of(*one), values_of(*back));
  }
  fields_against_general(file);
  lines_against_general(file);
  return 0;
}
