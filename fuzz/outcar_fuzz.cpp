// The OUTCAR scan held to itself: fed in pieces of any size (with the carry
// each piece hands on) against one scan of the whole, on two and three
// threads against one, and its steps' tables read apart against the tables
// it read; the byte search of the scan on SSE2 against standard C++. The
// first byte picks the piece size and whether a run's header goes before
// the input (so that most inputs reach the steps).
#include <cstring>
#include <string>

#include "core/portable.hpp"
#include "support/harness.hpp"
#include "vasp/outcar.hpp"
#include "vasp/outcar_values.hpp"

namespace {

constexpr std::string_view kHeader =
    " vasp.6.3.0 20Jan22 (build Apr 09 2022 18:33:31) complex\n"
    " executed on             LinuxIFC date 2025.07.07  11:37:14\n"
    " POTCAR:    PAW_PBE H 15Jun2001\n"
    " POTCAR:    PAW_PBE H 15Jun2001\n"
    "   VRHFIN =H: ultrasoft test\n"
    "   TITEL  = PAW_PBE H 15Jun2001\n"
    "   number of dos      NEDOS =    301   number of ions     NIONS =      2\n"
    "   ions per type =               2\n";

void put(std::string& out, const void* data, std::size_t bytes) {
  out.append(static_cast<const char*>(data), bytes);
  out += '|';
}
void put(std::string& out, std::uint64_t value) { put(out, &value, sizeof value); }

std::string error_text(const io_rs::Error& e) {
  std::string out = "error: " + e.message();
  if (e.place) out += " @" + std::to_string(e.place->line) + ":" + std::to_string(e.place->byte) + ":" +
                      std::to_string(e.place->frame);
  return out;
}

// What a scan found, as bytes: its steps, lost steps, tables and how the
// file ended; and the header once.
struct Found {
  std::string steps, tables, ending, ending_lost;
  std::size_t natoms = 0;

  void add(const io_rs::vasp::OutcarScan& scan) {
    for (const auto& step : scan.steps) {
      put(steps, &step.offset, 4 * sizeof(std::uint64_t));
      put(steps, static_cast<std::uint64_t>(step.number));
      // Overflows in the tables are known only where the tables are read:
      // their NaN values stand in the tables' bytes.
      namespace flag = io_rs::vasp::step_flag;
      const std::uint32_t table_bits = (flag::kPositions | flag::kForces) << flag::kOverflowShift;
      put(steps, static_cast<std::uint64_t>(step.calculator) << 32 | (step.flags & ~table_bits));
      put(steps, step.cell, sizeof step.cell + sizeof step.stress + sizeof step.energies);
    }
    for (const auto& lost : scan.lost) put(ending_lost, &lost, sizeof lost);
    natoms = io_rs::vasp::header_of(*scan.carry).nions;
    if (scan.positions.data() != nullptr) {  // rows one after the other, whatever the pieces
      for (std::size_t k = 0; k < scan.steps.size(); ++k) {
        tables.append(reinterpret_cast<const char*>(scan.positions.data() + k * natoms * 3), natoms * 3 * sizeof(double));
        tables.append(reinterpret_cast<const char*>(scan.forces.data() + k * natoms * 3), natoms * 3 * sizeof(double));
      }
    }
    if (scan.stop.complete) {
      ending.clear();
      put(ending, scan.stop.line);
      put(ending, scan.finished);
      put(ending, scan.stopped_line);
      for (const std::string& name : io_rs::vasp::header_of(*scan.carry).species) put(ending, name.data(), name.size());
    }
  }
  std::string text() const { return steps + "#" + tables + "#" + ending_lost + "#" + ending; }
};

std::string whole(std::string_view file, bool tables, std::size_t threads, io_rs::vasp::OutcarScan* keep = nullptr) {
  auto scan = io_rs::vasp::scan_outcar(file, 0, io_rs::Base{}, true, nullptr, tables, threads);
  if (!scan) return error_text(scan.error());
  Found found;
  found.add(*scan);
  if (keep != nullptr) *keep = std::move(*scan);
  return found.text();
}

// Pieces as a caller reading a stream takes them: from where the last scan
// stopped, `size` bytes (twice as many when a scan could not go on).
std::string in_pieces(std::string_view file, std::size_t size) {
  Found found;
  io_rs::vasp::OutcarCarryPtr carry;
  std::size_t start = 0, before = 0, window = size;
  std::uint64_t line = 1;
  for (;;) {
    const bool last = start + window >= file.size();
    fuzz::ExactTexts exact;
    const std::string_view piece = exact.copy(file.substr(start, last ? std::string_view::npos : window));
    auto scan = io_rs::vasp::scan_outcar(piece, 0, io_rs::Base{start, line, 0, before}, last, carry.get(), true, 1);
    if (!scan) return error_text(scan.error());
    found.add(*scan);
    if (scan->stop.complete) return found.text();
    if (scan->stop.consumed > piece.size() || scan->stop.line < line) fuzz::fail("stop", "within the piece", "past it");
    window = scan->stop.consumed == 0 ? window * 2 : size;
    start += scan->stop.consumed;
    line = scan->stop.line;
    before += scan->steps.size();
    carry = std::move(scan->carry);
  }
}

// A row read at its columns is the row read the general way.
void same_rows(std::string_view file) {
  for (std::size_t at = 0; at < file.size();) {
    const std::size_t lf = file.find('\n', at);
    const std::string_view line = file.substr(at, lf == std::string_view::npos ? std::string_view::npos : lf - at);
    at = lf == std::string_view::npos ? file.size() : lf + 1;
    double fast[6], general[6];
    if (!io_rs::vasp::read_printed_row(line, fast, fast + 3)) continue;
    const auto read = io_rs::vasp::read_line_values(line, 6, false, general, io_rs::vasp::kRowColumns);
    if (!read.ok || read.overflow != 0 || std::memcmp(fast, general, sizeof fast) != 0)
      fuzz::fail("read_printed_row", std::string(line), "other values");
  }
}

void same_block_marks(std::string_view file) {
  constexpr std::array<char, 4> kMarks{'(', 'k', 'v', '\0'};
  for (std::size_t at = 0; at + 64 <= file.size(); at += 64) {
    const auto fast = io_rs::bytes::block_marks(file.data() + at, kMarks);
    const auto plain = io_rs::bytes::block_marks_standard(file.data() + at, kMarks);
    if (fast.line_ends != plain.line_ends || fast.marks != plain.marks || fast.line_count != plain.line_count)
      fuzz::fail("block_marks", std::to_string(plain.marks), std::to_string(fast.marks));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if ((data[0] & 1) != 0) text.insert(0, kHeader);
  const std::size_t piece = 16 + (data[0] >> 1) * 37;
  fuzz::ExactTexts exact;
  const std::string_view file = exact.copy(text);
  fuzz::testing("scan_outcar", file);
  same_block_marks(file);
  same_rows(file);
  io_rs::vasp::OutcarScan scan;
  const std::string one = whole(file, true, 1, &scan);
  for (std::size_t threads : {2, 3})
    fuzz::check_equal("scan on " + std::to_string(threads) + " threads", one, whole(file, true, threads));
  fuzz::check_equal("scan in pieces of " + std::to_string(piece) + " bytes", one, in_pieces(file, piece));
  if (one.starts_with("error: ")) return 0;
  // Without the tables the scan finds the same steps; their tables read
  // apart (on other threads) are the ones it read.
  io_rs::vasp::OutcarScan bare;
  const std::string without = whole(file, false, 2, &bare);
  if (without.starts_with("error: ")) fuzz::fail("scan without tables", "its steps", without);
  fuzz::check_equal("steps without tables", one.substr(0, one.find('#')), without.substr(0, without.find('#')));
  std::vector<io_rs::vasp::OutcarTableRef> refs;
  for (const auto& step : bare.steps) refs.push_back({step.rows, step.end, step.line, step.number});
  const std::size_t natoms = io_rs::vasp::header_of(*bare.carry).nions;
  for (std::size_t threads : {1, 3}) {
    auto tables = io_rs::vasp::read_outcar_tables(file, 0, refs, natoms, threads);
    if (!tables) fuzz::fail("read_outcar_tables", "the tables", error_text(tables.error()));
    const std::size_t bytes = refs.size() * natoms * 3 * sizeof(double);
    if (std::memcmp(tables->positions.data(), scan.positions.data(), bytes) != 0 ||
        std::memcmp(tables->forces.data(), scan.forces.data(), bytes) != 0)
      fuzz::fail("read_outcar_tables", "the scan's tables", "other values");
  }
  return 0;
}
