#include "vasp/outcar_events.hpp"

#include <array>
#include <bit>
#include <cstring>

#include "core/line_ranges.hpp"
#include "core/line_cursor.hpp"
#include "core/message.hpp"
#include "core/parallel.hpp"
#include "core/piece.hpp"
#include "core/portable.hpp"
#include "vasp/outcar_texts.hpp"
#include "vasp/outcar_values.hpp"
#include "vasp/vasp_header.hpp"

namespace io_rs::vasp {
namespace {

constexpr std::array<char, 4> kMarks{'(', 'k', 'v', '\0'};

bool is_dashes(std::string_view line) noexcept {
  const std::string_view text = trimmed(line);
  return !text.empty() && text.find_first_not_of('-') == std::string_view::npos;
}

// The text between the end of `label` in line and `until` (or the line's
// end), trimmed; empty when the label is missing.
std::string_view after(std::string_view line, std::string_view label, std::string_view until = {}) {
  const std::size_t at = line.find(label);
  if (at == std::string_view::npos) return {};
  std::string_view rest = line.substr(at + label.size());
  if (!until.empty()) rest = rest.substr(0, rest.find(until));
  return trimmed(rest);
}

// One part of the pass: the lines starting in [begin, end).
class PartPass {
 public:
  PartPass(std::string_view buffer, std::size_t limit, std::size_t natoms, EventPart& out)
      : buffer_(buffer), data_(buffer.data()), limit_(limit), natoms_(natoms), out_(out) {}

  void run(std::size_t begin, std::size_t end) {
    begin_ = begin;
    std::size_t p = begin;
    std::uint64_t lines = 0;  // line ends in [begin, p)
    while (p < end) {
      const std::size_t n = std::min<std::size_t>(64, end - p);
      bytes::BlockMarks block;
      if (n == 64) {
        block = bytes::block_marks(data_ + p, kMarks);
      } else {
        char tail[64];
        std::memset(tail, ' ', sizeof tail);
        std::memcpy(tail, data_ + p, n);
        block = bytes::block_marks(tail, kMarks);
        const std::uint64_t valid = (std::uint64_t{1} << n) - 1;
        block.marks &= valid;
        block.line_ends &= valid;
        block.line_count = bytes::count_bits(block.line_ends);
      }
      std::uint64_t marks = block.marks;
      bool jumped = false;
      while (marks != 0) {
        const int i = std::countr_zero(marks);
        const std::size_t q = p + static_cast<std::size_t>(i);
        const std::uint64_t line = lines + bytes::count_bits(block.line_ends & ((std::uint64_t{1} << i) - 1));
        const Resume resume = look_at(q, line, end);
        if (resume.at > p + n) {
          // Past the block: a run of NUL bytes, which holds no line end.
          lines = resume.lines;
          p = resume.at;
          jumped = true;
          break;
        }
        marks = resume.at == p + n ? 0 : marks & (~std::uint64_t{0} << (resume.at - p));
      }
      if (!jumped) {
        lines += block.line_count;
        p += n;
      }
    }
    out_.lines = lines;
  }

 private:
  bool text_at(std::size_t q, std::size_t back, std::string_view text) const noexcept {
    return q >= back && q - back + text.size() <= buffer_.size() &&
           std::memcmp(data_ + q - back, text.data(), text.size()) == 0;
  }
  std::size_t line_start(std::size_t q) const noexcept {
    while (q > begin_ && data_[q - 1] != '\n') --q;
    return q;
  }
  std::string_view line_at(std::size_t start) const noexcept {
    const void* lf = std::memchr(data_ + start, '\n', limit_ - start);
    const std::size_t stop = lf == nullptr ? limit_ : static_cast<std::size_t>(static_cast<const char*>(lf) - data_);
    return buffer_.substr(start, stop - start);
  }

  OutcarEvent& add(EventKind kind, std::size_t offset, std::uint64_t line) {
    if (kind != EventKind::Iteration) last_iteration_ = -1;
    OutcarEvent& event = out_.events.emplace_back();
    event.kind = kind;
    event.offset = offset;
    event.line = line;
    return event;
  }
  // A value the line does not give; the line counted from the part's start.
  static void bad(OutcarEvent& event, std::string expected, std::string_view line, std::uint64_t line_number,
                  std::size_t offset) {
    if (!event.bad) event.bad = BadValue{std::move(expected), quoted_line(&line), Place{line_number, offset, 0}};
  }

  // Where the search goes on after a mark, and the line ends before it.
  struct Resume {
    std::size_t at;
    std::uint64_t lines;
  };

  // The mark at q, on the line numbered `line` (in the part).
  Resume look_at(std::size_t q, std::uint64_t line, std::size_t end) {
    const char c = data_[q];
    if (c == '\0') {
      std::size_t stop = q;
      while (stop < end && data_[stop] == '\0') ++stop;
      add(EventKind::Nul, q, line).end = stop;
      return {stop, line};
    }
    if (c == '(') {
      if (text_at(q, 12, "TOTAL-FORCE ")) {
        const std::size_t start = line_start(q);
        if (trimmed(line_at(start)).starts_with("POSITION")) table(start, line);
      } else if (text_at(q, 6, "energy(sigma->0)")) {
        energy(line_start(q), line);
      } else if (q > 0 && ((data_[q - 1] >= '0' && data_[q - 1] <= '9') || data_[q - 1] == '*')) {
        iteration(q, line);
      } else if (text_at(q, 20, "Total CPU time used ")) {
        add(EventKind::End, line_start(q), line);
      }
    } else if (c == 'k') {
      if (text_at(q, 3, "in kB")) {
        const std::size_t start = line_start(q);
        if (trimmed(line_at(start)).starts_with("in kB")) stress(start, line);
      }
    } else if (text_at(q, 15, "direct lattice vectors")) {
      const std::size_t start = line_start(q);
      if (trimmed(line_at(start)).starts_with("direct lattice vectors")) lattice(start, line);
    }
    return {q + 1, line};
  }

  // "---- Iteration    7(   1)  ----": the first electronic iteration of
  // ionic step 7 opens it.
  void iteration(std::size_t q, std::uint64_t line) {
    std::size_t digits = q;
    while (digits > begin_ && ((data_[digits - 1] >= '0' && data_[digits - 1] <= '9') || data_[digits - 1] == '*'))
      --digits;
    std::size_t word = digits;
    while (word > begin_ && data_[word - 1] == ' ') --word;
    if (word == digits || !text_at(word, 9, "Iteration")) return;
    double value = 0;
    const std::string_view text = buffer_.substr(digits, q - digits);
    const std::int64_t number =
        read_value(text, value) == ValueState::Number && value >= 1 && value < 9e18 ? static_cast<std::int64_t>(value)
                                                                                    : -1;
    const bool first = after(line_at(q), "(", ")") == "1";
    // Further iterations of the step whose iteration line was the last
    // event change nothing.
    if (number >= 0 && number == last_iteration_) return;
    if (number < 0 && !first) return;
    last_iteration_ = number;
    OutcarEvent& event = add(EventKind::Iteration, line_start(q), line);
    event.number = number;
    event.flags = first ? 1u : 0u;
  }

  void stress(std::size_t start, std::uint64_t line) {
    const std::string_view text = line_at(start);
    OutcarEvent& event = add(EventKind::Stress, start, line);
    const LineValues read = read_line_values(text.substr(text.find("in kB") + 5), 6, false, event.values,
                                             kStressColumns);
    if (!read.ok) return bad(event, std::string(outcar_text::kStress), text, line, start);
    event.flags = step_flag::kStress | (read.overflow != 0 ? step_flag::kStress << step_flag::kOverflowShift : 0);
  }

  void lattice(std::size_t start, std::uint64_t line) {
    OutcarEvent& event = add(EventKind::Lattice, start, line);
    LineCursor lines(buffer_.substr(0, limit_), start);
    lines.next();
    std::uint32_t overflow = 0;
    for (std::uint64_t k = 1; k <= 3; ++k) {
      if (lines.done()) {
        event.incomplete = true;
        return;
      }
      const std::size_t at = lines.offset();
      const std::string_view text = lines.next();
      const LineValues read = read_line_values(text, 3, true, event.values + 3 * (k - 1), kLatticeColumns);
      if (!read.ok) return bad(event, fill_message(outcar_text::kLattice, {k}), text, line + k, at);
      overflow |= read.overflow;
    }
    event.flags = step_flag::kCell | (overflow != 0 ? step_flag::kCell << step_flag::kOverflowShift : 0);
  }

  // "energy  without entropy=  E  energy(sigma->0) =  E", the TOTEN line
  // of its block a line or two above.
  void energy(std::size_t start, std::uint64_t line) {
    const std::string_view text = line_at(start);
    const std::string_view body = trimmed(text);
    Calculator calculator;
    if (body.starts_with("energy  without entropy=")) {
      calculator = Calculator::Dft;
    } else if (body.starts_with("ML energy  without entropy=")) {
      calculator = Calculator::Ml;
    } else {
      return;  // an electronic iteration's
    }
    OutcarEvent& event = add(EventKind::Energy, start, line);
    event.calculator = calculator;
    const std::string_view sigma_label = calculator == Calculator::Ml ? "ML energy(sigma" : "energy(sigma";
    std::uint32_t flags = step_flag::kEnergyWithoutEntropy | step_flag::kEnergy;
    const auto value = [&](std::string_view field, int slot, std::uint32_t flag, std::string_view expected,
                           std::string_view whole, std::uint64_t number, std::size_t at) {
      const ValueState state = read_value(field, event.values[slot]);
      if (state == ValueState::Bad) {
        bad(event, std::string(expected), whole, number, at);
        return false;
      }
      if (state == ValueState::Overflow) flags |= flag << step_flag::kOverflowShift;
      return true;
    };
    // The TOTEN line first: its value comes first in the file.
    std::size_t above = start;
    for (int k = 1; k <= 3 && above > 0; ++k) {
      std::size_t previous = above - 1;
      while (previous > 0 && data_[previous - 1] != '\n') --previous;
      const std::string_view candidate = buffer_.substr(previous, above - 1 - previous);
      const std::string_view words = trimmed(candidate);
      if (words.starts_with(calculator == Calculator::Ml ? "free  energy ML TOTEN" : "free  energy   TOTEN")) {
        flags |= step_flag::kFreeEnergy;
        if (!value(after(candidate, "=", "eV"), 0, step_flag::kFreeEnergy, outcar_text::kFreeEnergy, candidate,
                   line - static_cast<std::uint64_t>(k), previous))
          return;
        break;
      }
      above = previous;
    }
    if (!value(after(text, "entropy=", sigma_label), 1, step_flag::kEnergyWithoutEntropy,
               outcar_text::kWithoutEntropy, text, line, start) ||
        !value(after(text, "sigma->0) ="), 2, step_flag::kEnergy, outcar_text::kSigma, text, line, start))
      return;
    event.flags = flags;
  }

  // The header line, a line of dashes, natoms atom lines, a line of dashes;
  // the atom lines are read later, those of the steps found whole.
  void table(std::size_t start, std::uint64_t line) {
    OutcarEvent& event = add(EventKind::Table, start, line);
    if (line_at(start).find("(ML)") != std::string_view::npos) event.calculator = Calculator::Ml;
    LineCursor lines(buffer_.substr(0, limit_), start);
    lines.next();
    if (lines.done()) {
      event.incomplete = true;
      return;
    }
    const std::size_t dash_at = lines.offset();
    const std::string_view dashes = lines.next();
    if (!is_dashes(dashes)) return bad(event, std::string(outcar_text::kDashesUnderHeader), dashes, line + 1, dash_at);
    event.rows = lines.offset();
    if (lines.skip(natoms_) < natoms_ || lines.done()) {
      event.incomplete = true;
      return;
    }
    const std::size_t closing_at = lines.offset();
    const std::string_view closing = lines.next();
    if (!is_dashes(closing))
      return bad(event, fill_message(outcar_text::kClosingDashes, {natoms_}), closing, line + 2 + natoms_, closing_at);
    event.end = lines.offset();
  }

  std::string_view buffer_;
  const char* data_;
  std::size_t limit_;
  std::size_t natoms_;
  EventPart& out_;
  std::size_t begin_ = 0;
  std::int64_t last_iteration_ = -1;  // the step of the last event, when an iteration line
};

}  // namespace

OutcarEvents find_outcar_events(std::string_view buffer, std::size_t from, std::size_t to, std::size_t limit,
                                const Base& base, std::size_t natoms, std::size_t threads) {
  OutcarEvents found;
  const std::size_t workers = threads_for(threads, to - from);
  const LineRanges ranges(buffer, from, to, part_bytes(to - from, workers));
  std::vector<EventPart> parts(ranges.size());
  run_claimed(workers, parts.size(), [&](std::size_t t) {
    PartPass pass(buffer, limit, natoms, parts[t]);
    const LineRanges::Bounds bounds = ranges.bounds(t);
    pass.run(bounds.begin, bounds.end);
  });
  // Lines counted from each part's start become the file's.
  std::uint64_t line = base.line;
  std::size_t events = 0;
  for (const EventPart& part : parts) events += part.events.size();
  found.events.reserve(events);
  for (EventPart& part : parts) {
    for (OutcarEvent& event : part.events) {
      event.line += line;
      if (event.bad) {
        event.bad->place.line += line;
        event.bad->place.byte += base.byte;
      }
      found.events.push_back(std::move(event));
    }
    part.events.clear();
    line += part.lines;
    found.lines += part.lines;
  }
  return found;
}

}  // namespace io_rs::vasp
