#include "vasp/vasprun_scan.hpp"

#include <algorithm>

#include "core/line_cursor.hpp"
#include "core/message.hpp"
#include "core/parallel.hpp"
#include "vasp/vasprun_head.hpp"
#include "vasp/vasprun_steps.hpp"

namespace io_rs::vasp {
namespace {

constexpr std::string_view kFormat = "vasprun.xml";

Error scan_error(const vasprun::StepFault& fault, const Place& place) {
  Error error;
  error.format = kFormat;
  const std::string prefix = vasprun::step_prefix(place.frame);
  if (!fault.expected.empty()) {
    error.expected = fault.expected;
    error.found = fault.found;
    error.problem = prefix + fill_message("expected {}, got {}", {fault.expected, fault.found});
  } else {
    error.problem = prefix + fault.problem;
  }
  error.place = place;
  return error;
}

// Where the next line that opens a <calculation> or a <structure> of
// <modeling> the way VASP writes them (one space in) has its '<', at or
// after from; npos when none does. A cut is only a guess: the thread
// before it checks it.
std::size_t next_opening(std::string_view buffer, std::size_t from) {
  for (;;) {
    std::size_t at = buffer.find("\n <", from);
    if (at == std::string_view::npos) return at;
    at += 2;
    const std::string_view rest = buffer.substr(at + 1);
    for (const std::string_view name : {std::string_view("calculation"), std::string_view("structure")}) {
      if (rest.size() > name.size() && rest.starts_with(name) &&
          (rest[name.size()] == '>' || rest[name.size()] == '/' || xml::is_space(rest[name.size()])))
        return at;
    }
    from = at;
  }
}

}  // namespace

Result<VasprunScan> scan_vasprun(std::string_view buffer, std::size_t offset, const Base& base,
                                 const VasprunState* state, const VasprunOptions& options) {
  if (offset > buffer.size()) {
    return value_error(fill_message("scan_vasprun: offset {} is past the end of the buffer ({} bytes)",
                                    {offset, buffer.size()}));
  }
  auto lines_between = [&](std::size_t from, std::size_t to) {
    return static_cast<std::uint64_t>(count_line_ends(buffer.data() + from, buffer.data() + to));
  };
  VasprunScan scan;
  scan.consumed = offset;
  scan.line = base.line;
  scan.counted = base.frame;
  // The line of the file's last byte, for a file cut short.
  auto last_line = [&] { return base.line + lines_between(offset, buffer.size() > offset ? buffer.size() - 1 : offset); };
  auto cut_before_any_step = [&] {
    Error error;
    error.format = kFormat;
    error.problem = "the file ends before its first ionic step is complete (a run cut short)";
    error.place = Place{last_line(), base.byte + buffer.size(), 0};
    return std::unexpected(std::move(error));
  };

  vasprun::Setup setup;
  setup.values = options.values;
  setup.select = options.select;
  setup.last = options.last;
  setup.ranged = options.ranged;
  std::size_t from = offset;
  if (state == nullptr) {
    vasprun::Head head = vasprun::read_head(buffer, offset, options.last);
    if (head.fault) {
      const std::size_t at = head.fault->offset;
      return std::unexpected(scan_error(*head.fault, Place{base.line + lines_between(offset, at), base.byte + at, 0}));
    }
    if (head.more) return scan;
    if (head.cut) return cut_before_any_step();
    setup.encoding = head.encoding;
    setup.natoms = head.natoms;
    setup.ended = head.ended;
    scan.symbols = std::move(head.symbols);
    from = head.end;
  } else {
    setup.encoding = state->latin1 ? xml::Encoding::Latin1 : xml::Encoding::Utf8;
    setup.natoms = state->natoms;
    setup.ended = state->ended;
  }

  // The stretches for threads: from where the steps start, cut at lines
  // that open a step, about equal in bytes.
  std::vector<std::size_t> starts{from};
  const std::size_t threads = setup.ended ? 1 : threads_for(options.threads, buffer.size() - from);
  for (std::size_t t = 1; t < threads; ++t) {
    const std::size_t target = std::max(from + (buffer.size() - from) / threads * t, starts.back() + 1);
    const std::size_t cut = next_opening(buffer, target - 1);
    if (cut == std::string_view::npos) break;
    if (cut > starts.back()) starts.push_back(cut);
  }
  std::vector<vasprun::Stretch> stretches(starts.size());
  run_claimed(starts.size(), starts.size(), [&](std::size_t t) {
    stretches[t] = vasprun::read_stretch(buffer, starts[t], std::span(starts).subspan(t + 1), setup);
  });

  // The stretches that count, joined in file order: the first, then the one
  // starting where it stopped, and so on.
  std::uint64_t line = base.line + lines_between(offset, from);
  std::uint64_t counted = base.frame;
  std::uint64_t natoms = setup.natoms != 0 ? setup.natoms : state != nullptr ? state->step_atoms : 0;
  std::vector<vasprun::Stretch*> kept;  // the stretches used
  bool ended = setup.ended;
  for (std::size_t t = 0;;) {
    vasprun::Stretch& stretch = stretches[t];
    for (const vasprun::StretchStep& entry : stretch.steps) {
      ++counted;
      const VasprunStep& step = entry.step;
      if (entry.lost) continue;
      if (natoms == 0) natoms = step.natoms;
      if (step.natoms != natoms) {
        vasprun::StepFault fault{entry.positions_at, 0,
                                 fill_message("{} rows in <varray name=\"positions\">, one per atom", {natoms}),
                                 fill_message("{}", {step.natoms}), {}};
        const Place place{line + lines_between(stretch.start, entry.positions_at), base.byte + entry.positions_at, counted};
        return std::unexpected(scan_error(fault, place));
      }
      if (!entry.selected) continue;
      VasprunStep& out = scan.steps.emplace_back(step);
      out.number = counted;
      out.line = line + entry.lines_before;
      out.offset = base.byte + step.offset;
      out.end = base.byte + step.end;
    }
    for (const auto& [at, step] : stretch.damage) {
      scan.damage.push_back(VasprunDamage{line + lines_between(stretch.start, at),
                                          step == 0 ? 0 : counted - stretch.steps.size() + step});
    }
    if (stretch.fault) {
      const vasprun::StepFault& fault = *stretch.fault;
      const std::uint64_t step = fault.step == 0 ? 0 : counted - stretch.steps.size() + fault.step;
      const Place place{line + lines_between(stretch.start, fault.offset), base.byte + fault.offset, step};
      return std::unexpected(scan_error(fault, place));
    }
    kept.push_back(&stretch);
    line += stretch.lines;
    ended = ended || stretch.ended;
    if (stretch.at_cut) {
      t = static_cast<std::size_t>(std::find(starts.begin(), starts.end(), stretch.stop) - starts.begin());
      continue;
    }
    scan.consumed = stretch.stop;
    scan.line = line;
    scan.counted = counted;
    scan.complete = stretch.complete;
    scan.truncated = stretch.truncated;
    break;
  }
  if (scan.truncated) {
    if (counted == 0) return cut_before_any_step();
    scan.last_line = last_line();
  }
  scan.natoms = natoms;
  // The next piece checks its steps' atoms against these.
  scan.state = VasprunState{setup.natoms, setup.encoding == xml::Encoding::Latin1, ended, natoms};
  if (options.values) {
    for (vasprun::Stretch* stretch : kept) {
      if (stretch->positions.size() == 0) continue;
      scan.positions.push_back(stretch->positions.take());
      scan.forces.push_back(stretch->forces.take());
    }
  }
  return scan;
}

}  // namespace io_rs::vasp
