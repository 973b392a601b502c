// The steps of an OUTCAR gathered from its events, in file order, on one
// thread: which step each stress, cell, table and energy block belongs to,
// and which steps are whole.
//
// A DFT step opens with its electronic iterations ("Iteration N(k)") and
// gathers the stress and cell printed last before its table, its table,
// and its energy block, which VASP 5.4 and later print after the table and
// VASP 5.2 before it; it is whole when both are read, or when the next step
// opens after its table. An ML step opens with its table (the prediction
// for the next ionic step) and is whole with its energy block.
//
// NUL bytes make unreadable the step being gathered when they come, and the
// next step to open unless an iteration line of its own comes between them
// and it (what the NULs replaced may have been that step's stress or cell).
#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/line_cursor.hpp"
#include "core/message.hpp"
#include "core/piece.hpp"
#include "vasp/outcar.hpp"
#include "vasp/outcar_events.hpp"
#include "vasp/outcar_header.hpp"
#include "vasp/outcar_texts.hpp"

namespace io_rs::vasp {
namespace {

// A step being gathered, one per calculator.
struct Gathered {
  enum class State : std::uint8_t { None, Open, Emitted };
  State state = State::None;
  bool has_table = false;
  bool has_energy = false;
  bool tainted = false;
  std::uint64_t taint_line = 0;
  OutcarStep step;
  std::optional<BadValue> bad;  // the first value it holds that its line does not give

  bool open() const noexcept { return state == State::Open; }
  void keep_bad(const std::optional<BadValue>& value) {
    if (value && (!bad || value->place.line < bad->place.line)) bad = value;
  }
};

// Everything but the header: what a rewind restores.
struct GatherState {
  double cell[9] = {};
  std::uint32_t cell_flags = 0;
  std::optional<BadValue> cell_bad;
  double stress[6] = {};  // printed since the last table
  std::uint32_t stress_flags = 0;
  std::optional<BadValue> stress_bad;
  std::int64_t current = 0;  // the step last opened
  bool ml_last = false;      // it was opened by an ML table
  Gathered dft, ml;
  bool taint_next = false;   // NUL bytes came since the last step opened
  std::uint64_t taint_line = 0;
  bool finished = false;
};

}  // namespace

struct OutcarCarry {
  OutcarHeader header;
  bool header_done = false;
  GatherState state;
  std::uint64_t found = 0;  // the steps (readable or lost) that earlier pieces gave
};

void OutcarCarryDeleter::operator()(OutcarCarry* carry) const noexcept { delete carry; }

OutcarCarryPtr copy_carry(const OutcarCarry& carry) { return OutcarCarryPtr(new OutcarCarry(carry)); }

const OutcarHeader& header_of(const OutcarCarry& carry) { return carry.header; }

Error outcar_step_error(const BadValue& bad, std::int64_t number) {
  std::string problem = fill_message(outcar_text::kStepPrefix, {static_cast<std::uint64_t>(number)});
  problem += fill_message("expected {}, got {}", {bad.expected, bad.found});
  Place place = bad.place;
  place.frame = static_cast<std::uint64_t>(number);
  return Error{ErrorKind::Value, kOutcar, std::move(problem), {}, bad.expected, bad.found, place};
}

namespace {

class Gatherer {
 public:
  Gatherer(GatherState& state, OutcarScan& scan, const Base& base) : s_(state), scan_(scan), base_(base) {}

  // The step whose values failed, when its table came before the failure:
  // its atom lines may fail first.
  std::optional<OutcarStep> failed_step;

  std::optional<Error> apply(const OutcarEvent& event) {
    switch (event.kind) {
      case EventKind::Nul:
        return nul(event);
      case EventKind::Lattice:
        std::memcpy(s_.cell, event.values, sizeof s_.cell);
        s_.cell_flags = event.flags;
        s_.cell_bad = event.bad;
        return std::nullopt;
      case EventKind::Stress:
        std::memcpy(s_.stress, event.values, sizeof s_.stress);
        s_.stress_flags = event.flags;
        s_.stress_bad = event.bad;
        return std::nullopt;
      case EventKind::Iteration:
        return iteration(event);
      case EventKind::Table:
        return table(event);
      case EventKind::Energy:
        return energy(event);
      case EventKind::End: {
        auto failed = close(s_.dft);
        if (!failed) failed = close(s_.ml);
        s_.finished = true;
        return failed;
      }
    }
    return std::nullopt;
  }

  // Where the file ends inside a table: the step of its calculator before it
  // is whole.
  std::optional<Error> close_before(const OutcarEvent& event) {
    Gathered& g = event.calculator == Calculator::Ml ? s_.ml : s_.dft;
    return g.has_table ? close(g) : std::nullopt;
  }

  // A step the next piece may not see again: one whose table is read and
  // that is not yet whole.
  const Gathered* pending() const noexcept {
    const Gathered* first = nullptr;
    for (const Gathered* g : {&s_.dft, &s_.ml}) {
      if (g->open() && g->has_table && (first == nullptr || g->step.offset < first->step.offset)) first = g;
    }
    return first;
  }

 private:
  std::optional<Error> nul(const OutcarEvent& event) {
    for (Gathered* g : {&s_.dft, &s_.ml}) {
      if (g->open() && !g->tainted) {
        g->tainted = true;
        g->taint_line = event.line;
      }
    }
    // NUL bytes inside a table being read replaced nothing but its rows.
    const std::uint64_t byte = base_.byte + event.offset;
    for (const Gathered* g : {&s_.dft, &s_.ml}) {
      if (g->open() && g->has_table && byte > g->step.offset && (g->step.end == 0 || byte < g->step.end))
        return std::nullopt;
    }
    if (!s_.taint_next) {
      s_.taint_next = true;
      s_.taint_line = event.line;
    }
    return std::nullopt;
  }

  void open(Gathered& g, std::int64_t number, Calculator calculator) {
    g = Gathered{};
    g.state = Gathered::State::Open;
    g.step.number = number;
    g.step.calculator = calculator;
    s_.current = number;
    s_.ml_last = calculator == Calculator::Ml;
  }

  // The number of a DFT step the file does not number: that of the ML step
  // just opened (its prediction), else the next.
  std::int64_t next_dft_number() const noexcept { return s_.ml_last ? s_.current : s_.current + 1; }

  std::optional<Error> iteration(const OutcarEvent& event) {
    const bool first = (event.flags & 1u) != 0;
    if (event.number >= 0 ? (s_.dft.state != Gathered::State::None && s_.dft.step.number == event.number)
                          : !first)
      return std::nullopt;
    auto failed = close(s_.dft);
    if (failed) return failed;
    open(s_.dft, event.number >= 0 ? event.number : next_dft_number(), Calculator::Dft);
    s_.taint_next = false;  // its own iteration line stands between
    return std::nullopt;
  }

  std::optional<Error> table(const OutcarEvent& event) {
    Gathered* g;
    if (event.calculator == Calculator::Ml) {
      if (auto failed = close(s_.ml)) return failed;
      open(s_.ml, s_.current + 1, Calculator::Ml);
      g = &s_.ml;
      taint_opened(*g);
    } else {
      g = &s_.dft;
      if (!g->open() || g->has_table) {
        if (auto failed = close(*g)) return failed;
        open(*g, next_dft_number(), Calculator::Dft);
        taint_opened(*g);
      }
    }
    s_.taint_next = false;
    g->has_table = true;
    OutcarStep& step = g->step;
    step.offset = base_.byte + event.offset;
    step.line = event.line;
    step.rows = base_.byte + event.rows;
    step.end = event.end == 0 ? 0 : base_.byte + event.end;
    std::memcpy(step.cell, s_.cell, sizeof step.cell);
    std::memcpy(step.stress, s_.stress, sizeof step.stress);
    step.flags |= s_.cell_flags | s_.stress_flags | event.flags;
    g->keep_bad(event.bad);
    if ((s_.cell_flags & step_flag::kCell) == 0) g->keep_bad(s_.cell_bad);
    if ((s_.stress_flags & step_flag::kStress) == 0) g->keep_bad(s_.stress_bad);
    // The stress belongs to this table; the cell stays until the next.
    s_.stress_flags = 0;
    s_.stress_bad.reset();
    if (g->has_energy) return emit(*g);
    return std::nullopt;
  }

  void taint_opened(Gathered& g) {
    if (s_.taint_next) {
      g.tainted = true;
      g.taint_line = s_.taint_line;
    }
  }

  std::optional<Error> energy(const OutcarEvent& event) {
    Gathered& g = event.calculator == Calculator::Ml ? s_.ml : s_.dft;
    if (event.calculator == Calculator::Ml) {
      if (!g.open() || !g.has_table) return std::nullopt;
    } else if (g.state == Gathered::State::None) {
      open(g, next_dft_number(), Calculator::Dft);
      taint_opened(g);
      s_.taint_next = false;
    }
    if (!g.open() || g.has_energy) return std::nullopt;
    g.has_energy = true;
    std::memcpy(g.step.energies, event.values, sizeof g.step.energies);
    g.step.flags |= event.flags;
    g.keep_bad(event.bad);
    if (g.has_table) return emit(g);
    return std::nullopt;
  }

  // The step ends: one with a table is whole (without energies when it
  // printed none).
  std::optional<Error> close(Gathered& g) {
    if (!g.open()) return std::nullopt;
    if (g.has_table || g.tainted) return emit(g);
    g.state = Gathered::State::Emitted;
    return std::nullopt;
  }

  std::optional<Error> emit(Gathered& g) {
    g.state = Gathered::State::Emitted;
    if (g.tainted) {
      scan_.lost.push_back({g.step.number, g.taint_line});
      return std::nullopt;
    }
    if (g.bad) {
      if (g.has_table && g.step.end != 0 && g.step.rows < g.bad->place.byte) failed_step = g.step;
      return outcar_step_error(*g.bad, g.step.number);
    }
    scan_.steps.push_back(g.step);
    return std::nullopt;
  }

  GatherState& s_;
  OutcarScan& scan_;
  const Base& base_;
};

// More bytes than any run's header holds before its "ions per type" line.
constexpr std::size_t kHeaderBytes = std::size_t{64} << 20;

// Where the scan of a piece that is not the last stops: after its last
// whole line, or before the TOTEN line of an energy block whose last line
// may lie in the next piece (the energy line looks back at it).
std::size_t piece_end(std::string_view view, std::size_t from) {
  std::size_t to = view.size();
  std::size_t position = view.size();
  for (int k = 0; k < 3 && position > from; ++k) {
    const std::size_t lf = position >= 2 ? view.rfind('\n', position - 2) : std::string_view::npos;
    const std::size_t start = lf == std::string_view::npos || lf + 1 < from ? from : lf + 1;
    if (trimmed(view.substr(start, position - start)).starts_with("free  energy")) to = start;
    position = start;
  }
  return to;
}

// The place of the last line of buffer, which is numbered `number`.
Place last_line(std::string_view buffer, const Base& base, std::uint64_t number) {
  const bool open = !buffer.empty() && buffer.back() != '\n';
  const std::size_t lf = buffer.size() < 2 ? std::string_view::npos : buffer.rfind('\n', buffer.size() - (open ? 1 : 2));
  const std::size_t start = lf == std::string_view::npos || lf < base.from ? base.from : lf + 1;
  return {number, base.byte + start, 0};
}

}  // namespace

Result<OutcarScan> scan_outcar(std::string_view buffer, std::size_t offset, const Base& base, bool last,
                               const OutcarCarry* carry, bool tables, std::size_t threads) {
  if (offset > buffer.size()) {
    return value_error(fill_message("scan_outcar_steps: offset {} is past the end of the buffer ({} bytes)",
                                    {offset, buffer.size()}));
  }
  // Only whole lines: a last line without its LF is a file cut mid-line.
  const std::string_view view = complete_lines(buffer, false);
  OutcarScan scan;
  scan.carry = carry != nullptr ? copy_carry(*carry) : OutcarCarryPtr(new OutcarCarry());
  OutcarCarry& state = *scan.carry;
  scan.stop = {offset, base.line, false};
  std::size_t at = std::min(offset, view.size());
  std::uint64_t line = base.line;
  // The number of the file's last line (one before the piece, when the
  // piece that ends the file holds nothing).
  const auto final_number = [&](std::uint64_t number_after_view) {
    const bool open = view.size() < buffer.size();
    return std::max<std::uint64_t>(1, open ? number_after_view : number_after_view - 1);
  };
  const auto end_of_file = [&](std::uint64_t number_after_view) -> Result<OutcarScan> {
    return expected_error(kOutcar, std::string(outcar_text::kNoStep), std::string(outcar_text::kEndOfFile),
                          last_line(buffer, base, final_number(number_after_view)));
  };
  if (!state.header_done) {
    OutcarHeader header;
    auto read = read_outcar_header(view, at, base, header);
    if (!read) return std::unexpected(std::move(read.error()));
    if (!read->complete) {
      // A header is a few hundred kB at most: a piece this large without
      // one is not an OUTCAR, and holding more of it would not help.
      if (!last && view.size() >= kHeaderBytes) {
        return expected_error(kOutcar, std::string(outcar_text::kHeaderFirst), std::string(outcar_text::kNoHeader),
                              last_line(view, base, place_of(view, base, view.size()).line - 1));
      }
      if (!last) {
        if (tables) {
          scan.positions = OwnedBuffer<double>::allocate(0);
          scan.forces = OwnedBuffer<double>::allocate(0);
        }
        return scan;
      }
      return end_of_file(place_of(view, base, view.size()).line);
    }
    state.header = std::move(header);
    state.header_done = true;
    at = read->end;
    line = read->line;
  }
  const std::size_t to = last ? view.size() : std::max(at, piece_end(view, at));
  const Base event_base{base.byte, line, at, base.frame};
  OutcarEvents found = find_outcar_events(buffer, at, to, view.size(), event_base,
                                          static_cast<std::size_t>(state.header.nions), threads);

  struct Rewind {
    GatherState state;
    std::size_t steps = 0, lost = 0;
    std::size_t offset = 0;
    std::uint64_t line = 0;
  };
  std::vector<Rewind> rewinds;  // the state before each table of a piece that is not the last
  Gatherer gather(state.state, scan, base);
  const std::size_t natoms = static_cast<std::size_t>(state.header.nions);
  // The atom lines of steps found whole, read on the threads straight into
  // the arrays, in the order given.
  const auto read_tables = [&](const std::vector<OutcarStep>& steps) {
    std::vector<OutcarTableRef> refs;
    refs.reserve(steps.size());
    for (const OutcarStep& step : steps) refs.push_back({step.rows, step.end, step.line, step.number});
    return read_outcar_tables(buffer, base.byte, refs, natoms, threads);
  };
  // A value that failed; with the tables read, an atom line before it that
  // fails is the first failure.
  const auto failure = [&](Error error) -> std::unexpected<Error> {
    if (tables) {
      std::vector<OutcarStep> before = scan.steps;
      if (gather.failed_step) before.push_back(*gather.failed_step);
      std::stable_sort(before.begin(), before.end(),
                       [](const OutcarStep& a, const OutcarStep& b) { return a.offset < b.offset; });
      auto read = read_tables(before);
      if (!read && read.error().place && error.place && read.error().place->byte < error.place->byte)
        return std::unexpected(std::move(read.error()));
    }
    return std::unexpected(std::move(error));
  };
  std::optional<std::size_t> stopped;  // the event a piece that is not the last stops at
  for (std::size_t k = 0; k < found.events.size(); ++k) {
    const OutcarEvent& event = found.events[k];
    if (event.incomplete) {
      // Its lines run past what was read (whatever follows lies among
      // them): the next piece reads it, or, in the last, the file ends
      // inside it.
      if (!last) {
        stopped = k;
      } else if (event.kind == EventKind::Table) {
        // A table begun ends the step before it all the same.
        if (auto failed = gather.close_before(event)) return failure(std::move(*failed));
        scan.stopped_line = event.line;
      }
      break;
    }
    if (event.kind == EventKind::Table && !last) {
      Rewind& rewind = rewinds.emplace_back();
      rewind.state = state.state;
      rewind.steps = scan.steps.size();
      rewind.lost = scan.lost.size();
      rewind.offset = event.offset;
      rewind.line = event.line;
    }
    if (auto failed = gather.apply(event)) return failure(std::move(*failed));
  }

  if (!last) {
    std::size_t consumed = to;
    std::uint64_t consumed_line = line + found.lines;
    if (stopped) {
      consumed = found.events[*stopped].offset;
      consumed_line = found.events[*stopped].line;
    }
    // A step whose table was read but which is not whole yet is gathered
    // again by the next piece, from its table on; and so is one that was
    // pending before that table (it was whole only with the later one).
    if (const Gathered* pending = gather.pending()) {
      std::size_t at = static_cast<std::size_t>(pending->step.offset - base.byte);
      const Rewind* chosen = nullptr;
      for (;;) {
        // Every table of a step still open lies in this piece: a piece
        // starts at the table of the step that the last one left open.
        const auto match = std::find_if(rewinds.begin(), rewinds.end(), [&](const Rewind& r) { return r.offset == at; });
        if (match == rewinds.end()) break;
        chosen = &*match;
        std::size_t earlier = at;
        for (const Gathered* g : {&chosen->state.dft, &chosen->state.ml}) {
          if (g->open() && g->has_table) earlier = std::min(earlier, static_cast<std::size_t>(g->step.offset - base.byte));
        }
        if (earlier == at) break;
        at = earlier;
      }
      if (chosen != nullptr && chosen->offset < consumed) {
        const Rewind& rewind = *chosen;
        state.state = rewind.state;
        scan.steps.resize(rewind.steps);
        scan.lost.resize(rewind.lost);
        consumed = rewind.offset;
        consumed_line = rewind.line;
      }
    }
    scan.stop = {consumed, consumed_line, false};
    state.found += scan.steps.size() + scan.lost.size();
  } else {
    const std::uint64_t after_view = line + found.lines;
    scan.finished = state.state.finished;
    if (!scan.finished) {
      // Cut short: reading stopped at a step whose table was read and that
      // is not whole, else at the end of the file.
      if (const Gathered* pending = gather.pending()) scan.stopped_line = pending->step.line;
      if (scan.stopped_line == 0) scan.stopped_line = final_number(after_view);
    }
    scan.stop = {buffer.size(), after_view + (view.size() < buffer.size() ? 1 : 0), true};
    if (state.found + scan.steps.size() + scan.lost.size() == 0) return end_of_file(after_view);
  }

  // In file order of their tables: a step that waits for its energies is
  // emitted after one whose table follows its own.
  if (!std::is_sorted(scan.steps.begin(), scan.steps.end(),
                      [](const OutcarStep& a, const OutcarStep& b) { return a.offset < b.offset; })) {
    std::vector<std::size_t> order(scan.steps.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return scan.steps[a].offset < scan.steps[b].offset; });
    std::vector<OutcarStep> steps;
    for (std::size_t k : order) steps.push_back(scan.steps[k]);
    scan.steps = std::move(steps);
  }
  if (tables) {
    auto read = read_tables(scan.steps);
    if (!read) return std::unexpected(std::move(read.error()));
    scan.positions = std::move(read->positions);
    scan.forces = std::move(read->forces);
    namespace flag = step_flag;
    for (std::size_t k = 0; k < scan.steps.size(); ++k) {
      const std::uint8_t overflow = read->overflow[k];
      if ((overflow & 1) != 0) scan.steps[k].flags |= flag::kPositions << flag::kOverflowShift;
      if ((overflow & 2) != 0) scan.steps[k].flags |= flag::kForces << flag::kOverflowShift;
    }
  }
  return scan;
}

}  // namespace io_rs::vasp
