// The readers of a file's bytes on one thread against two and three (built
// with one byte a thread at least, so that every input is cut): the same
// arrays, texts, ends and frame counts, or the same message at the same
// place. The first bytes pick the reader, its atom count and how many
// frames it reads; the rest is the file. Extended XYZ comment lines are also parsed alone.
#include <cstring>
#include <optional>
#include <string>

#include "support/harness.hpp"
#include "vasp/vasp.hpp"
#include "xyz/extxyz.hpp"
#include "xyz/xyz.hpp"

namespace {

void put(std::string& out, const void* data, std::size_t bytes) {
  out.append(static_cast<const char*>(data), bytes);
  out += '|';
}

void put(std::string& out, std::uint64_t value) { put(out, &value, sizeof value); }

void put(std::string& out, const std::string& text) { put(out, text.data(), text.size()); }

void put(std::string& out, const io_rs::InternedTexts& texts) {
  for (std::size_t i = 0; i < texts.size(); ++i) put(out, texts[i].data(), texts[i].size());
  put(out, texts.distinct_count());
}

// A result as bytes, or its error as its message and place.
template <class T, class Write>
std::string outcome(const io_rs::Result<T>& result, Write write) {
  if (!result) {
    const io_rs::Error& e = result.error();
    std::string out = "error: " + e.message();
    if (e.place) out += " @" + std::to_string(e.place->line) + ":" + std::to_string(e.place->byte) + ":" +
                        std::to_string(e.place->frame);
    return out;
  }
  std::string out;
  write(out, *result);
  return out;
}

void write_poscar(std::string& out, const io_rs::vasp::PoscarBlockRead& r) {
  put(out, r.block.positions.values.data(), r.block.positions.values.size() * sizeof(double));
  if (r.block.flags) put(out, r.block.flags->values.data(), r.block.flags->values.size());
  put(out, r.end);
}

// The rows of the frames read (the buffer may hold more room).
std::size_t xdatcar_atoms = 0;

void write_xdatcar(std::string& out, const io_rs::vasp::XdatcarFrames& r) {
  put(out, r.positions.data(), r.frames * xdatcar_atoms * 3 * sizeof(double));
  put(out, r.numbers.data(), r.frames * sizeof(std::int64_t));
  put(out, r.frames);
  put(out, r.end);
}

void write_xyz(std::string& out, const io_rs::xyz::XyzFrames& r) {
  for (std::string_view c : r.comments) put(out, c.data(), c.size());
  io_rs::InternedTexts symbols;  // joined as the frame joins them
  symbols.append(r.symbols);
  for (const auto& more : r.more_symbols) symbols.append(more);
  put(out, symbols);
  put(out, r.positions.data(), r.atoms * 3 * sizeof(double));
  put(out, r.counts.data(), r.frames * sizeof(std::int64_t));
  put(out, r.end);
}

void write_info(std::string& out, const io_rs::xyz::InfoValue& v) {
  put(out, v.key.data(), v.key.size());
  put(out, static_cast<std::uint64_t>(v.type) * 100 + v.rank);
  put(out, v.rows);
  put(out, v.cols);
  put(out, v.integers.data(), v.integers.size() * sizeof(std::int64_t));
  put(out, v.reals.data(), v.reals.size() * sizeof(double));
  put(out, v.logicals.data(), v.logicals.size());
  for (const std::string& s : v.strings) put(out, s.data(), s.size());
}

void write_comment(std::string& out, const io_rs::xyz::Comment& c) {
  for (const auto& v : c.info) write_info(out, v);
  for (const auto& column : c.columns) put(out, column.name + ":" + std::to_string(int(column.type)) + ":" +
                                               std::to_string(column.width));
  put(out, c.plain);
  if (c.cell) put(out, c.cell->data(), sizeof(double) * 9);
  put(out, c.pbc.data(), 3);
}

void write_extxyz(std::string& out, const io_rs::xyz::ExtxyzFrames& r) {
  for (std::size_t c = 0; c < r.columns.size(); ++c) {
    const auto& column = r.columns[c];
    const auto& data = r.data[c];
    put(out, column.name + ":" + std::to_string(int(column.type)) + ":" + std::to_string(column.width));
    const std::size_t n = r.atoms * column.width;
    switch (column.type) {
      case io_rs::xyz::ValueType::Real: put(out, data.reals.data(), n * sizeof(double)); break;
      case io_rs::xyz::ValueType::Integer: put(out, data.integers.data(), n * sizeof(std::int64_t)); break;
      case io_rs::xyz::ValueType::Logical: put(out, data.logicals.data(), n); break;
      case io_rs::xyz::ValueType::String: put(out, data.texts); break;
    }
  }
  for (const auto& comment : r.comments) write_comment(out, comment);
  put(out, r.counts.data(), r.counts.size() * sizeof(std::uint64_t));
  put(out, r.atoms);
  put(out, r.end);
}

template <class Read, class Write>
void same_on_threads(const char* routine, std::string_view file, Read read, Write write) {
  fuzz::testing(routine, file);
  const std::string one = outcome(read(1), write);
  for (std::size_t threads : {2, 3}) {
    fuzz::check_equal(std::string("result on ") + std::to_string(threads) + " threads", one,
                      outcome(read(threads), write));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const unsigned reader = data[0] % 5;
  const std::size_t natoms = 1 + data[1] % 8;
  // Every frame, or the first one to three: a call that reads a few frames
  // of a longer buffer.
  const std::optional<std::uint64_t> max_frames =
      (data[1] >> 3) % 4 == 0 ? std::nullopt : std::optional<std::uint64_t>((data[1] >> 3) % 4);
  fuzz::ExactTexts exact;
  const std::string_view file = exact.copy(std::string_view(reinterpret_cast<const char*>(data) + 2, size - 2));
  const io_rs::Base base{100, 7, 3};
  switch (reader) {
    case 0:
    case 1:
      same_on_threads("read_poscar_block", file, [&](std::size_t t) {
        return io_rs::vasp::read_poscar_block(file, 0, natoms, reader == 1, base, t);
      }, write_poscar);
      break;
    case 2:
      xdatcar_atoms = natoms;
      same_on_threads("read_xdatcar_frames", file, [&](std::size_t t) {
        return io_rs::vasp::read_xdatcar_frames(file, 0, natoms, max_frames, base, t);
      }, write_xdatcar);
      break;
    case 3:
      same_on_threads("read_xyz_frames", file, [&](std::size_t t) {
        return io_rs::xyz::read_xyz_frames(file, 0, max_frames, base, t);
      }, write_xyz);
      break;
    default: {
      same_on_threads("read_extxyz_frames", file, [&](std::size_t t) {
        return io_rs::xyz::read_extxyz_frames(file, 0, max_frames, base, t);
      }, write_extxyz);
      if (file.find('\n') == std::string_view::npos) {
        fuzz::testing("parse_extxyz_comment", file);
        (void)io_rs::xyz::parse_extxyz_comment(file);
      }
    }
  }
  return 0;
}
