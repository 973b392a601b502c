#include "vasp/vasprun_steps.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include "core/fields.hpp"
#include "core/line_cursor.hpp"
#include "core/message.hpp"
#include "core/number_read.hpp"

namespace io_rs::vasp::vasprun {

using xml::Event;

std::string step_prefix(std::uint64_t step) {
  return step == 0 ? std::string() : fill_message("step {}: ", {step});
}

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool all_stars(std::string_view field) noexcept {
  return !field.empty() && field.find_first_not_of('*') == std::string_view::npos;
}

// The next field of fields as a number, a field of asterisks as NaN; false
// when the field is missing or is no number.
bool next_value(FieldSplitter& fields, double& value, bool& overflow) {
  const NumberField field = next_number(fields);
  if (field.value) {
    value = *field.value;
    return true;
  }
  if (all_stars(field.text)) {
    value = kNaN;
    overflow = true;
    return true;
  }
  return false;
}

// One step being read.
struct Build {
  VasprunStep step;
  std::size_t positions_at = 0;
  std::uint64_t force_rows = 0;
  std::size_t forces_at = 0;
  bool structure = false;
  bool basis = false;
  bool forces = false;
  bool scsteps = false;          // a <scstep> was read: DFT
  bool scstep_energy = false;    // the energies are the last <scstep>'s
  bool energy = false;           // an <energy> element was read whole
  bool selected = false;
  bool lost = false;
  std::size_t scstep_energy_at = 0;      // the last <scstep>'s <energy>, read once the step is whole
  std::array<double, 3> own_energies{};  // the <calculation>'s own <energy>
  std::uint32_t own_present = 0;
  std::uint32_t own_overflow = 0;
  // Where its values start in the stretch's, when it reads them.
  std::optional<std::size_t> positions_from;
  std::optional<std::size_t> forces_from;
};

constexpr std::string_view kEnergyNames[] = {"e_fr_energy", "e_0_energy", "e_wo_entrp"};
constexpr std::uint32_t kEnergyParts[] = {part::kFreeEnergy, part::kEnergy, part::kEnergyWithoutEntropy};
constexpr std::uint32_t kEnergyBits = part::kFreeEnergy | part::kEnergy | part::kEnergyWithoutEntropy;

// What a top-level element being read is, for the damage a NUL byte does.
enum class Reading : unsigned char { Nothing, Calculation, Structure, Member, Other };

class Reader {
 public:
  Reader(std::string_view buffer, std::size_t start, std::size_t end, const Setup& setup, Stretch& out)
      : cursor_(buffer, start), buffer_(buffer), setup_(setup), out_(out), end_(end), safe_(start), counted_to_(start) {
    out_.start = start;
    if (setup.ended) {
      cursor_.resume({}, setup.encoding);
      cursor_.close_to(0);
    } else {
      cursor_.resume("modeling", setup.encoding);
    }
  }

  void run(std::span<const std::size_t> cuts);

 private:
  Event top_element();
  Event calculation(Build& b);
  Event scstep(Build& b);
  Event structure(Build& b);
  Event crystal(Build& b);
  Event rows(Build& b, std::string_view varray, std::uint32_t bit, Values* values, double* fixed,
             std::uint64_t& count, bool stress);
  Event energy(xml::Cursor& cursor, std::array<double, 3>& values, std::uint32_t& present, std::uint32_t& overflow);
  Event last_scstep_energy(Build& b);
  Event forces(Build& b);
  Event member(Build& b);
  bool is_member(const xml::Tag& tag);
  std::string_view name_of(xml::Cursor& cursor, const xml::Tag& tag);
  void drop(Build& b) noexcept;

  Event fail(std::size_t offset, std::string expected, std::string found);
  Event fail(std::size_t offset, std::string problem);
  Event three_rows(std::size_t offset, std::string_view varray, std::uint64_t count);
  const char* readable(std::string_view text) const noexcept;
  void record(Build& b);
  void record_lost(std::size_t offset);
  void close_group(bool complete);
  bool nul_to_end(std::size_t from) const noexcept;
  Event recover();
  void finish(std::size_t stop);

  xml::Cursor cursor_;
  std::string_view buffer_;
  const Setup& setup_;
  Stretch& out_;
  std::size_t end_;               // where the stretch is meant to end (the next cut)
  bool reserved_ = false;         // room for the stretch's values has been asked for
  std::optional<Build> pending_;  // a <structure> of <modeling> that may open a step
  std::optional<Build> group_;    // a step outside <calculation>, its elements being read
  Reading reading_ = Reading::Nothing;
  std::uint64_t steps_ = 0;       // steps recorded in the stretch
  std::size_t safe_;              // where the first element not yet read whole starts
  std::size_t counted_to_;        // line ends counted up to here
  std::uint64_t lines_ = 0;
  bool own_fault_ = false;
  std::string name_;              // an attribute value, copied
};

Event Reader::fail(std::size_t offset, std::string expected, std::string found) {
  out_.fault = StepFault{offset, reading_ == Reading::Other || reading_ == Reading::Nothing ? 0 : steps_ + 1,
                         std::move(expected), std::move(found), {}};
  own_fault_ = true;
  return Event::Fault;
}

Event Reader::fail(std::size_t offset, std::string problem) {
  out_.fault = StepFault{offset, reading_ == Reading::Other || reading_ == Reading::Nothing ? 0 : steps_ + 1, {}, {},
                         std::move(problem)};
  own_fault_ = true;
  return Event::Fault;
}

// A basis or stress of other than three rows.
Event Reader::three_rows(std::size_t offset, std::string_view varray, std::uint64_t count) {
  return fail(offset, fill_message("3 rows in <varray name=\"{}\">", {varray}), fill_message("{}", {count}));
}

const char* Reader::readable(std::string_view text) const noexcept {
  const char* begin = buffer_.data();
  const char* end = begin + buffer_.size();
  return text.data() >= begin && text.data() <= end ? end : text.data() + text.size();
}

std::string_view Reader::name_of(xml::Cursor& cursor, const xml::Tag& tag) {
  std::string_view value;
  if (!cursor.attribute(tag, "name", value)) return {};
  name_.assign(value);
  return name_;
}

Event Reader::energy(xml::Cursor& cursor, std::array<double, 3>& values, std::uint32_t& present,
                     std::uint32_t& overflow) {
  present = overflow = 0;
  for (;;) {
    Event e = cursor.next();
    if (e != Event::Start) return e;
    const xml::Tag tag = cursor.tag();
    std::size_t which = std::size(kEnergyNames);
    if (tag.name == "i") {
      const std::string_view name = name_of(cursor, tag);
      which = static_cast<std::size_t>(std::find(std::begin(kEnergyNames), std::end(kEnergyNames), name) -
                                       std::begin(kEnergyNames));
    }
    if (which == std::size(kEnergyNames)) {
      e = cursor.skip();
      if (e != Event::End) return e;
      continue;
    }
    std::string_view text;
    e = cursor.text(text);
    if (e != Event::End) return e;
    FieldSplitter fields(text, readable(text));
    bool stars = false;
    if (!next_value(fields, values[which], stars) || !fields.next().empty()) {
      return fail(tag.offset, fill_message("a number in <i name=\"{}\">", {kEnergyNames[which]}),
                  xml::quoted(xml::strip(text)));
    }
    present |= kEnergyParts[which];
    if (stars) overflow |= kEnergyParts[which];
  }
}

// The energies of the step's last <scstep>, read where its <energy> is:
// those of the earlier ones are passed over.
Event Reader::last_scstep_energy(Build& b) {
  xml::Cursor cursor(buffer_, b.scstep_energy_at);
  cursor.resume("scstep", setup_.encoding);
  Event e = cursor.next();
  if (e != Event::Start) return e;
  std::uint32_t present = 0, overflow = 0;
  e = energy(cursor, b.step.energies, present, overflow);
  b.step.present = (b.step.present & ~kEnergyBits) | present;
  b.step.overflow = (b.step.overflow & ~kEnergyBits) | overflow;
  return e;
}

Event Reader::rows(Build& b, std::string_view varray, std::uint32_t bit, Values* values, double* fixed,
                   std::uint64_t& count, bool stress) {
  count = 0;
  for (;;) {
    std::string_view text;
    std::size_t at = 0;
    if (cursor_.leaf(text, true)) {
      if (cursor_.tag().name != "v") continue;
      at = cursor_.tag().offset;
    } else {
      Event e = cursor_.next();
      if (e != Event::Start) return e;
      if (cursor_.tag().name != "v") {
        e = cursor_.skip();
        if (e != Event::End) return e;
        continue;
      }
      at = cursor_.tag().offset;
      e = cursor_.text(text);
      if (e != Event::End) return e;
    }
    ++count;
    double* row = nullptr;
    if (values != nullptr) {
      row = values->grow(3);
    } else if (fixed != nullptr && count <= 3) {
      row = fixed + 3 * (count - 1);
    }
    if (row == nullptr) continue;
    FieldSplitter fields(text, readable(text));
    bool stars = false;
    for (int k = 0; k < 3; ++k) {
      if (!next_value(fields, row[k], stars)) {
        return fail(at, fill_message("3 numbers in <v> of <varray name=\"{}\">", {varray}),
                    xml::quoted(xml::strip(text)));
      }
      if (stress) row[k] = -(row[k] / kKiloBarPerEvPerCubicAngstrom);
    }
    if (!fields.next().empty()) {
      return fail(at, fill_message("3 numbers in <v> of <varray name=\"{}\">", {varray}),
                  xml::quoted(xml::strip(text)));
    }
    if (stars) b.step.overflow |= bit;
  }
}

Event Reader::crystal(Build& b) {
  for (;;) {
    Event e = cursor_.next();
    if (e != Event::Start) return e;
    const xml::Tag tag = cursor_.tag();
    if (tag.name == "varray" && name_of(cursor_, tag) == "basis") {
      std::uint64_t count = 0;
      e = rows(b, "basis", part::kCell, nullptr, b.step.cell.data(), count, false);
      if (e != Event::End) return e;
      if (count != 3) return three_rows(tag.offset, "basis", count);
      b.basis = true;
      b.step.present |= part::kCell;
    } else {
      e = cursor_.skip();
      if (e != Event::End) return e;
    }
  }
}

Event Reader::structure(Build& b) {
  const std::size_t at = cursor_.tag().offset;
  b.structure = false;
  b.basis = false;
  if (b.positions_from) out_.positions.truncate(*b.positions_from);
  b.positions_from.reset();
  b.step.present &= ~(part::kPositions | part::kCell);
  b.step.overflow &= ~(part::kPositions | part::kCell);
  bool positions = false;
  for (;;) {
    Event e = cursor_.next();
    if (e == Event::End) break;
    if (e != Event::Start) return e;
    const xml::Tag tag = cursor_.tag();
    if (tag.name == "crystal") {
      e = crystal(b);
    } else if (tag.name == "varray" && name_of(cursor_, tag) == "positions") {
      b.positions_at = tag.offset;
      if (b.positions_from) out_.positions.truncate(*b.positions_from);
      const bool read = setup_.values && b.selected;
      b.positions_from = read ? std::optional(out_.positions.size()) : std::nullopt;
      e = rows(b, "positions", part::kPositions, read ? &out_.positions : nullptr, nullptr, b.step.natoms, false);
      positions = true;
    } else {
      e = cursor_.skip();
    }
    if (e != Event::End) return e;
  }
  if (!b.basis) return fail(at, "<structure> holds no <varray name=\"basis\"> in a <crystal>");
  if (!positions) return fail(at, "<structure> holds no <varray name=\"positions\">");
  if (setup_.natoms != 0 && b.step.natoms != setup_.natoms) {
    return fail(b.positions_at,
                fill_message("{} rows in <varray name=\"positions\">, one per atom", {setup_.natoms}),
                fill_message("{}", {b.step.natoms}));
  }
  if (b.forces && b.force_rows != b.step.natoms) {
    return fail(b.forces_at, fill_message("{} rows in <varray name=\"forces\">, one per atom", {b.step.natoms}),
                fill_message("{}", {b.force_rows}));
  }
  b.structure = true;
  b.step.present |= part::kPositions;
  return Event::End;
}

Event Reader::scstep(Build& b) {
  for (;;) {
    // Its elements are mostly leaves (<time>), passed over on the fast path.
    std::string_view text;
    if (cursor_.leaf(text, false)) {
      if (cursor_.tag().name == "energy") {
        b.scstep_energy_at = cursor_.tag().offset;
        b.scstep_energy = true;
      }
      continue;
    }
    Event e = cursor_.next();
    if (e != Event::Start) return e;
    if (cursor_.tag().name == "energy") {
      b.scstep_energy_at = cursor_.tag().offset;
      b.scstep_energy = true;
    }
    e = cursor_.skip();
    if (e != Event::End) return e;
  }
}

// A step's forces, their start tag just read.
Event Reader::forces(Build& b) {
  const std::size_t at = cursor_.tag().offset;
  if (b.forces_from) out_.forces.truncate(*b.forces_from);
  const bool read = setup_.values && b.selected;
  b.forces_from = read ? std::optional(out_.forces.size()) : std::nullopt;
  b.forces_at = at;
  const Event e = rows(b, "forces", part::kForces, read ? &out_.forces : nullptr, nullptr, b.force_rows, false);
  if (e != Event::End) return e;
  b.forces = true;
  b.step.present |= part::kForces;
  b.step.end = cursor_.offset();
  if (b.structure && b.force_rows != b.step.natoms && !b.lost) {
    return fail(at, fill_message("{} rows in <varray name=\"forces\">, one per atom", {b.step.natoms}),
                fill_message("{}", {b.force_rows}));
  }
  return Event::End;
}

Event Reader::calculation(Build& b) {
  for (;;) {
    Event e = cursor_.next();
    if (e == Event::End) break;
    if (e != Event::Start) return e;
    const xml::Tag tag = cursor_.tag();
    if (tag.name == "scstep") {
      b.scsteps = true;
      e = scstep(b);
    } else if (tag.name == "structure") {
      b.step.calculator = b.scsteps ? Calculator::Dft : Calculator::Ml;
      b.selected = (setup_.select & (b.scsteps ? select::kDft : select::kMl)) != 0;
      e = structure(b);
    } else if (tag.name == "varray") {
      const std::string_view name = name_of(cursor_, tag);
      if (name == "forces") {
        if (!b.structure) b.selected = (setup_.select & (b.scsteps ? select::kDft : select::kMl)) != 0;
        e = forces(b);
      } else if (name == "stress") {
        std::uint64_t count = 0;
        e = rows(b, "stress", part::kStress, nullptr, b.step.stress.data(), count, true);
        if (e == Event::End && count != 3) return three_rows(tag.offset, "stress", count);
        b.step.present |= part::kStress;
      } else {
        e = cursor_.skip();
      }
    } else if (tag.name == "energy") {
      e = energy(cursor_, b.own_energies, b.own_present, b.own_overflow);
    } else {
      e = cursor_.skip();
    }
    if (e != Event::End) return e;
  }
  b.step.end = cursor_.offset();
  if (b.scstep_energy) return last_scstep_energy(b);
  b.step.energies = b.own_energies;
  b.step.present |= b.own_present;
  b.step.overflow |= b.own_overflow;
  return Event::End;
}

bool Reader::is_member(const xml::Tag& tag) {
  if (tag.name == "energy" || tag.name == "time") return true;
  return tag.name == "varray" && name_of(cursor_, tag) == "stress";
}

// An element that follows a group's forces: its stress or energy.
Event Reader::member(Build& b) {
  const xml::Tag tag = cursor_.tag();
  Event e;
  if (tag.name == "energy") {
    e = energy(cursor_, b.own_energies, b.own_present, b.own_overflow);
    if (e == Event::End) {
      b.step.energies = b.own_energies;
      b.step.present = (b.step.present & ~kEnergyBits) | b.own_present;
      b.step.overflow = (b.step.overflow & ~kEnergyBits) | b.own_overflow;
      b.energy = true;
    }
  } else if (tag.name == "varray") {
    std::uint64_t count = 0;
    e = rows(b, "stress", part::kStress, nullptr, b.step.stress.data(), count, true);
    if (e == Event::End && count != 3) return three_rows(tag.offset, "stress", count);
    b.step.present |= part::kStress;
  } else {
    e = cursor_.skip();
  }
  if (e == Event::End) b.step.end = cursor_.offset();
  return e;
}

// A step's values from `from` made exactly size long (all of them filled
// where it read none).
void pad(Values& values, std::optional<std::size_t> from, std::size_t size, double fill) {
  const std::size_t start = from.value_or(values.size());
  values.truncate(std::min(values.size(), start + size));
  if (values.size() < start + size) {
    const std::size_t missing = start + size - values.size();
    std::fill_n(values.grow(missing), missing, fill);
  }
}

void Reader::record(Build& b) {
  StretchStep entry;
  entry.step = b.step;
  entry.positions_at = b.positions_at;
  entry.selected = b.selected;
  entry.lost = b.lost;
  // A group of steps (ML steps outside <calculation>) is recorded when it
  // closes, and a step lost to damage inside it may have been recorded
  // first, further on: the count goes back to the group's start then.
  if (b.step.offset >= counted_to_) {
    lines_ += count_line_ends(buffer_.data() + counted_to_, buffer_.data() + b.step.offset);
  } else {
    lines_ -= count_line_ends(buffer_.data() + b.step.offset, buffer_.data() + counted_to_);
  }
  counted_to_ = b.step.offset;
  entry.lines_before = lines_;
  ++steps_;
  if (b.lost || !b.selected) {
    drop(b);
  } else if (setup_.values) {
    // Every step takes natoms rows of each, whatever its elements held.
    const std::size_t size = static_cast<std::size_t>(b.step.natoms) * 3;
    if (!reserved_ && b.step.end > b.step.offset && end_ > b.step.offset) {
      // Room for half as many steps again as the stretch would hold if all
      // were like the first, so that the values are not copied as they
      // grow (room never written to costs no memory).
      reserved_ = true;
      const std::size_t steps = (end_ - b.step.offset) / (b.step.end - b.step.offset) * 3 / 2 + 2;
      out_.positions.reserve(out_.positions.size() + steps * size);
      out_.forces.reserve(out_.forces.size() + steps * size);
    }
    pad(out_.positions, b.positions_from, size, kNaN);
    pad(out_.forces, b.forces_from, size, b.forces ? kNaN : 0.0);
  }
  out_.steps.push_back(std::move(entry));
}

// Gives back the values a step that is no step (or is lost) took.
void Reader::drop(Build& b) noexcept {
  if (b.positions_from) out_.positions.truncate(*b.positions_from);
  if (b.forces_from) out_.forces.truncate(*b.forces_from);
  b.positions_from.reset();
  b.forces_from.reset();
}

void Reader::record_lost(std::size_t offset) {
  Build b;
  b.step.offset = offset;
  b.step.end = offset;
  b.lost = true;
  record(b);
}

void Reader::close_group(bool complete) {
  if (group_) {
    if (complete) {
      record(*group_);
    } else {
      drop(*group_);
    }
  }
  group_.reset();
}

void Reader::finish(std::size_t stop) {
  // What is not a step by now never will be, in this stretch.
  if (pending_) drop(*pending_);
  pending_.reset();
  close_group(false);
  // A piece that stops before damage it read around leaves the damage (and
  // the step it lost) to the next piece, which reads it again.
  while (!out_.steps.empty() && out_.steps.back().step.offset >= stop) {
    out_.steps.pop_back();
    --steps_;
  }
  std::erase_if(out_.damage, [&](const auto& damage) { return damage.first >= stop; });
  out_.stop = stop;
  out_.lines = counted_to_ <= stop
                   ? lines_ + count_line_ends(buffer_.data() + counted_to_, buffer_.data() + stop)
                   : count_line_ends(buffer_.data() + out_.start, buffer_.data() + stop);
}

bool Reader::nul_to_end(std::size_t from) const noexcept {
  return std::all_of(buffer_.begin() + static_cast<std::ptrdiff_t>(from), buffer_.end(), [](char c) { return c == '\0'; });
}

// A top-level element, its start tag just read.
Event Reader::top_element() {
  const xml::Tag tag = cursor_.tag();
  if (group_) {
    if (is_member(tag)) {
      reading_ = Reading::Member;
      return member(*group_);
    }
    close_group(true);
  }
  if (tag.name == "varray" && pending_ && name_of(cursor_, tag) == "forces") {
    group_ = std::move(*pending_);
    pending_.reset();
    Build& b = *group_;
    if (b.lost && !out_.damage.empty() && out_.damage.back().second == 0) out_.damage.back().second = steps_ + 1;
    reading_ = Reading::Member;
    return forces(b);
  }
  if (pending_) drop(*pending_);
  pending_.reset();
  safe_ = tag.offset;
  if (tag.name == "calculation") {
    reading_ = Reading::Calculation;
    Build b;
    b.step.offset = tag.offset;
    const Event e = calculation(b);
    if (e != Event::End) {
      drop(b);
      return e;
    }
    if (b.structure) {
      record(b);
    } else {
      drop(b);
    }
  } else if (tag.name == "structure") {
    reading_ = Reading::Structure;
    Build b;
    b.step.offset = tag.offset;
    b.step.calculator = Calculator::Ml;
    b.selected = (setup_.select & select::kMl) != 0;
    const Event e = structure(b);
    if (e != Event::End) {
      drop(b);
      return e;
    }
    pending_ = std::move(b);
    return Event::End;
  } else {
    reading_ = Reading::Other;
    const Event e = cursor_.skip();
    if (e != Event::End) return e;
  }
  safe_ = cursor_.offset();
  return Event::End;
}

// Reads past damage: leniently, until the reading is back between two
// elements of <modeling>. Returns Start for a <calculation> that resumes
// the reading, End when back there, or what ended the buffer.
Event Reader::recover() {
  const bool top = cursor_.depth() <= 1;
  cursor_.set_lenient(true);
  for (;;) {
    const Event e = cursor_.next();
    if (e == Event::Start) {
      if (cursor_.tag().name == "calculation") {
        cursor_.reparent();
        cursor_.set_lenient(false);
        return e;
      }
      continue;
    }
    if (e != Event::End) return e;  // the end of the buffer
    if (cursor_.depth() == 0) {
      cursor_.set_lenient(false);
      return e;
    }
    if (cursor_.depth() > 1) continue;
    const bool calculation = cursor_.tag().name == "calculation";
    if (top && !calculation) continue;
    if (top) record_lost(cursor_.tag().offset);
    cursor_.set_lenient(false);
    return e;
  }
}

void Reader::run(std::span<const std::size_t> cuts) {
  auto cut = cuts.begin();
  bool have = false;  // e holds an event that recovery handed back
  Event e = Event::Done;
  for (;;) {
    if (!have) e = cursor_.next();
    have = false;
    if (e == Event::Start) {
      const std::size_t at = cursor_.tag().offset;
      while (cut != cuts.end() && *cut < at) ++cut;
      if (cut != cuts.end() && *cut == at) {
        close_group(true);
        out_.at_cut = true;
        return finish(at);
      }
      e = top_element();
      if (e == Event::End) {
        reading_ = Reading::Nothing;
        continue;
      }
    } else if (e == Event::End) {  // </modeling>
      close_group(true);
      if (pending_) drop(*pending_);
      pending_.reset();
      out_.ended = true;
      safe_ = cursor_.offset();
      if (!setup_.last) return finish(safe_);
      e = cursor_.next();
    }
    switch (e) {
      case Event::Done:
        out_.complete = true;
        return finish(buffer_.size());
      case Event::Fault: {
        const std::size_t at = own_fault_ ? out_.fault->offset : cursor_.fault().offset;
        if (!setup_.last && buffer_.size() - at < kFaultMargin) {
          // Near the end of a piece, what the message quotes may go on in
          // the next: read it again there, with the bytes that follow.
          out_.fault.reset();
          close_group(false);
          return finish(safe_);
        }
        if (!own_fault_) {
          const xml::Fault& f = cursor_.fault();
          fail(f.offset, f.expected, f.found);
          out_.fault->problem = f.problem;
        }
        return finish(buffer_.size());
      }
      case Event::Cut:
        if (setup_.ranged && cursor_.depth() == 1 && cursor_.cut() == buffer_.size()) {
          close_group(true);
          out_.complete = true;
          return finish(buffer_.size());
        }
        if (!setup_.last) {
          close_group(false);
          return finish(safe_);
        }
        close_group(group_ && group_->energy);
        out_.complete = true;
        out_.truncated = true;
        return finish(buffer_.size());
      case Event::Nul: {
        const std::size_t at = cursor_.nul();
        if (cursor_.depth() == 0) {
          // NUL bytes after the document: it is whole if they run to the end.
          if (nul_to_end(at)) {
            if (!setup_.last) return finish(safe_);
            out_.complete = true;
            return finish(buffer_.size());
          }
          e = fail(at, "NUL bytes after the end of <modeling>");
          have = true;
          continue;
        }
        std::size_t after = at;
        while (after < buffer_.size() && buffer_[after] == '\0') ++after;
        if (after == buffer_.size()) {  // the file ends in NUL bytes: it was cut there
          if (!setup_.last && !setup_.ranged) {
            close_group(false);
            return finish(safe_);
          }
          close_group(group_ && group_->energy);
          out_.complete = true;
          out_.truncated = !setup_.ranged;
          return finish(buffer_.size());
        }
        std::uint64_t lost = 0;
        if (reading_ == Reading::Calculation) {
          record_lost(safe_);
          lost = steps_;
        } else if (group_ && (reading_ == Reading::Member || reading_ == Reading::Nothing)) {
          group_->lost = true;
          lost = steps_ + 1;
        } else if (reading_ == Reading::Structure) {
          // A step's structure, maybe: the forces that would follow make it one, lost.
          Build b;
          b.step.offset = safe_;
          b.lost = true;
          pending_ = std::move(b);
        }
        out_.damage.emplace_back(at, lost);
        if (group_ && group_->lost) {
          group_->step.present = 0;
        }
        cursor_.seek(after);
        const std::uint64_t before = steps_;
        e = recover();
        if (lost == 0 && steps_ > before) out_.damage.back().second = steps_;
        reading_ = Reading::Nothing;
        if (e == Event::Start || e == Event::End) {
          have = e == Event::Start || cursor_.depth() == 0;
          if (e == Event::End && cursor_.depth() != 0 && !pending_ && !group_) safe_ = cursor_.offset();
          continue;
        }
        have = true;
        continue;
      }
      default:
        return finish(buffer_.size());
    }
  }
}

}  // namespace

Stretch read_stretch(std::string_view buffer, std::size_t start, std::span<const std::size_t> cuts,
                     const Setup& setup) {
  Stretch out;
  Reader reader(buffer, start, cuts.empty() ? buffer.size() : cuts.front(), setup, out);
  reader.run(cuts);
  return out;
}

}  // namespace io_rs::vasp::vasprun
