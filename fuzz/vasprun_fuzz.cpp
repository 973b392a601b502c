// The vasprun.xml scanner on one thread against the same scan on three
// (built with one byte a thread at least, so that every input is cut where
// a line opens a step), fed a window at a time (as a compressed file is
// read), and each step read alone from its place in the steps' table: the
// same steps, values and warnings, or the same message at the same place.
// The first byte picks the window's width and the steps selected; the rest
// is the file.
#include <cstring>
#include <string>

#include "support/harness.hpp"
#include "vasp/vasprun_scan.hpp"

namespace {

using io_rs::vasp::VasprunScan;
using io_rs::vasp::VasprunStep;

void put(std::string& out, const void* data, std::size_t bytes) {
  out.append(static_cast<const char*>(data), bytes);
  out += '|';
}

void put(std::string& out, std::uint64_t value) { put(out, &value, sizeof value); }

void put_values(std::string& out, const io_rs::OwnedBuffer<double>& values) {
  out.append(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(double));
}

void put_step(std::string& out, const VasprunStep& s) {
  for (std::uint64_t v : {s.offset, s.line, s.end, s.number, s.natoms, std::uint64_t(s.calculator),
                          std::uint64_t(s.present), std::uint64_t(s.overflow)})
    put(out, v);
  put(out, s.cell.data(), sizeof s.cell);
  put(out, s.stress.data(), sizeof s.stress);
  put(out, s.energies.data(), sizeof s.energies);
}

// What a scan found, in a form two scans can be compared by: the steps and
// their values, where the file ends and how, the damage; or the error.
struct Outcome {
  std::string symbols, steps, positions, forces, damage, ending;
  bool failed = false;

  void add(const VasprunScan& scan) {
    for (const VasprunStep& step : scan.steps) put_step(steps, step);
    for (const auto& part : scan.positions) put_values(positions, part);
    for (const auto& part : scan.forces) put_values(forces, part);
    if (scan.symbols) {
      for (const std::string& symbol : *scan.symbols) put(symbols, symbol.data(), symbol.size());
    }
    for (const auto& found : scan.damage) {
      put(damage, found.line);
      put(damage, found.step);
    }
  }
  void end(const VasprunScan& scan) {
    ending.clear();
    for (std::uint64_t v : {scan.counted, std::uint64_t(scan.truncated), scan.last_line}) put(ending, v);
  }
  void fail(const io_rs::Error& error) {
    failed = true;
    ending = "error: " + error.message();
    if (error.place) ending += " @" + std::to_string(error.place->line) + ":" + std::to_string(error.place->byte) +
                               ":" + std::to_string(error.place->frame);
  }
  std::string all() const {
    return failed ? ending : symbols + "#" + steps + "#" + positions + "#" + forces + "#" + damage + "#" + ending;
  }
};

Outcome whole(std::string_view file, const io_rs::Base& base, io_rs::vasp::VasprunOptions options) {
  Outcome outcome;
  auto scan = io_rs::vasp::scan_vasprun(file, 0, base, nullptr, options);
  if (!scan) {
    outcome.fail(scan.error());
  } else {
    outcome.add(*scan);
    outcome.end(*scan);
  }
  return outcome;
}

// As a compressed file is read: windows that start where the last scan
// stopped, twice as wide while nothing whole fits.
Outcome in_windows(std::string_view file, const io_rs::Base& base, io_rs::vasp::VasprunOptions options,
                   std::size_t width) {
  Outcome outcome;
  std::optional<io_rs::vasp::VasprunState> state;
  std::size_t start = 0, span = width;
  std::uint64_t line = base.line, counted = base.frame;
  fuzz::ExactTexts exact;
  for (;;) {
    const std::size_t stop = std::min(file.size(), start + span);
    options.last = stop == file.size();
    const std::string_view window = exact.copy(file.substr(start, stop - start));
    auto scan = io_rs::vasp::scan_vasprun(window, 0, io_rs::Base{base.byte + start, line, 0, counted},
                                          state ? &*state : nullptr, options);
    if (!scan) {
      outcome.fail(scan.error());
      return outcome;
    }
    outcome.add(*scan);
    if (scan->state) state = scan->state;
    if (scan->complete) {
      outcome.end(*scan);
      return outcome;
    }
    span = scan->consumed == 0 ? 2 * span : width;
    start += scan->consumed;
    line = scan->line;
    counted = scan->counted;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t width = 1 + (data[0] & 0x3F) * 7;
  io_rs::vasp::VasprunOptions options;
  options.values = true;
  options.select = 1 + (data[0] >> 6) % 3;
  fuzz::ExactTexts exact;
  const std::string_view file = exact.copy(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  const io_rs::Base base{100, 7, 0, 3};
  fuzz::testing("scan_vasprun", file);
  const Outcome one = whole(file, base, options);
  options.threads = 3;
  fuzz::check_equal("scan on 3 threads", one.all(), whole(file, base, options).all());
  options.threads = 1;
  fuzz::check_equal("scan in windows of " + std::to_string(width) + " bytes", one.all(),
                    in_windows(file, base, options, width).all());
  // Each step alone, read from its place as the steps' table gives it.
  auto scan = io_rs::vasp::scan_vasprun(file, 0, base, nullptr, options);
  if (!scan || !scan->state) return 0;
  io_rs::vasp::VasprunState inside = *scan->state;
  inside.ended = false;
  options.ranged = true;
  const std::size_t values = scan->natoms * 3;
  for (std::size_t k = 0; k < scan->steps.size(); ++k) {
    const VasprunStep& step = scan->steps[k];
    const std::string_view bytes = exact.copy(file.substr(step.offset - base.byte, step.end - step.offset));
    auto alone = io_rs::vasp::scan_vasprun(bytes, 0, io_rs::Base{step.offset, step.line, 0, step.number - 1}, &inside,
                                           options);
    if (!alone) fuzz::fail("step " + std::to_string(step.number) + " alone", "(the step)", alone.error().message());
    std::string want, got;
    put_step(want, step);
    want.append(reinterpret_cast<const char*>(scan->positions[0].data() + k * values), values * sizeof(double));
    if (alone->steps.size() == 1) {
      put_step(got, alone->steps[0]);
      for (const auto& part : alone->positions)
        got.append(reinterpret_cast<const char*>(part.data()), part.size() * sizeof(double));
    }
    fuzz::check_equal("step " + std::to_string(step.number) + " alone", want, got);
  }
  return 0;
}
