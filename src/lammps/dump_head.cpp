// A frame's header, section by section. LAMMPS writes ITEM: UNITS (first
// frame only) and ITEM: TIME when asked, then TIMESTEP, NUMBER OF ATOMS,
// BOX BOUNDS and ATOMS; sections of other names are kept as they are. The
// three that every frame needs may come in any order, each once, before
// ATOMS, which ends the header.
#include "lammps/dump_head.hpp"

#include <algorithm>
#include <charconv>
#include <vector>

#include "core/fields.hpp"
#include "core/message.hpp"
#include "core/number_read.hpp"
#include "core/piece.hpp"

namespace io_rs::lammps {
namespace {

// Columns of an ATOMS line that names none (style atom of old LAMMPS
// versions): told apart by the fields of the first atom line.
constexpr std::string_view kOldAtomColumns = "id type xs ys zs";
constexpr std::string_view kOldAtomImageColumns = "id type xs ys zs ix iy iz";

std::vector<std::string_view> words_of(std::string_view text) {
  std::vector<std::string_view> words;
  FieldSplitter fields(text);
  for (std::string_view word = fields.next(); !word.empty(); word = fields.next()) words.push_back(word);
  return words;
}

std::size_t field_count(std::string_view line) { return words_of(line).size(); }

// The text after "ITEM:" on an ITEM line, or nothing for another line.
std::optional<std::string_view> item_of(std::string_view line) {
  const std::string_view text = trimmed(line);
  if (!text.starts_with("ITEM:")) return std::nullopt;
  return trimmed(text.substr(5));
}

bool is_item_line(std::string_view line) { return trimmed(line).starts_with("ITEM:"); }

// One whole number, optionally signed, within 64 bits.
std::optional<std::int64_t> whole_number(std::string_view field) {
  if (field.starts_with('+')) field.remove_prefix(1);
  if (field.empty() || field.starts_with('+')) return std::nullopt;
  std::int64_t value = 0;
  const auto [stop, error] = std::from_chars(field.data(), field.data() + field.size(), value);
  if (error != std::errc() || stop != field.data() + field.size()) return std::nullopt;
  return value;
}

std::string_view box_numbers_text(BoxKind kind, std::size_t row) {
  static constexpr std::string_view kText[3][3] = {
      {"2 numbers (xlo xhi)", "2 numbers (ylo yhi)", "2 numbers (zlo zhi)"},
      {"3 numbers (xlo_bound xhi_bound xy)", "3 numbers (ylo_bound yhi_bound xz)", "3 numbers (zlo_bound zhi_bound yz)"},
      {"4 numbers (ax ay az originx)", "4 numbers (bx by bz originy)", "4 numbers (cx cy cz originz)"},
  };
  return kText[static_cast<std::size_t>(kind)][row];
}

bool is_boundary_flag(std::string_view word) {
  return word.size() == 2 && std::all_of(word.begin(), word.end(), [](char c) {
           return c == 'p' || c == 'f' || c == 's' || c == 'm';
         });
}

// The words after BOX BOUNDS: the kind and the periodicity of the box.
std::optional<Box> box_style(std::span<const std::string_view> words) {
  Box box;
  if (words.size() >= 3 && words[0] == "xy" && words[1] == "xz" && words[2] == "yz") {
    box.kind = BoxKind::Triclinic;
    words = words.subspan(3);
  } else if (words.size() >= 2 && words[0] == "abc" && words[1] == "origin") {
    box.kind = BoxKind::General;
    words = words.subspan(2);
  }
  if (words.empty()) return box;
  if (words.size() != 3 || !std::all_of(words.begin(), words.end(), is_boundary_flag)) return std::nullopt;
  for (std::size_t axis = 0; axis < 3; ++axis) box.pbc[axis] = words[axis] == "pp";
  return box;
}

// The lines of a section the format gives no meaning to, up to the next
// ITEM line: each without its trailing blanks, joined by LF.
std::string section_text(LineCursor& lines) {
  std::string text;
  bool first = true;
  while (!lines.done() && !is_item_line(lines.peek())) {
    if (!first) text += '\n';
    first = false;
    std::string_view line = lines.next();
    const std::size_t last = line.find_last_not_of(" \t\r\f");
    text += line.substr(0, last == std::string_view::npos ? 0 : last + 1);
  }
  return text;
}

// ATOMS misspelt: ATOM, or ATOMS in any case or run on into more letters.
bool looks_like_atoms(std::string_view word) {
  std::string upper(word);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper == "ATOM" || upper.starts_with("ATOMS");
}

}  // namespace

std::string atoms_cut_problem(std::uint64_t frame, std::size_t complete, std::size_t natoms) {
  return fill_message("frame {} ends after {} of {} atom lines", {frame, complete, natoms});
}

std::string quoted(std::string_view line) {
  line = trimmed(line);
  if (line.size() > 60) return fill_message("'{}...'", {line.substr(0, 60)});
  return fill_message("'{}'", {line});
}

std::unexpected<Error> expected_in_frame(std::string_view buffer, const Base& base, std::size_t line_offset,
                                         std::uint64_t frame, std::string expected, std::string found) {
  auto error = expected_error(kDump, std::move(expected), std::move(found), place_of(buffer, base, line_offset, frame));
  error.error().problem = fill_message("frame {}: {}", {frame, error.error().problem});
  return error;
}

Result<HeadEnd> take_head(std::string_view buffer, const Base& base, LineCursor& lines, std::uint64_t frame,
                          FrameHead& head, std::size_t& frame_offset) {
  while (!lines.done() && is_blank(lines.peek())) lines.next();
  if (lines.done()) return HeadEnd::Blank;
  frame_offset = lines.offset();
  head = FrameHead{};
  bool timestep = false, natoms = false, box = false;
  std::vector<std::string> names;  // the sections of other names, to refuse one twice

  // A line that does not read: an error, or a cut where it is the open last line.
  auto refuse = [&](std::size_t offset, std::string_view line, std::string expected) -> Result<HeadEnd> {
    if (open_last_line(buffer, offset, line.size())) return HeadEnd::Cut;
    return expected_in_frame(buffer, base, offset, frame, std::move(expected), quoted(line));
  };
  for (bool first = true;; first = false) {
    if (lines.done()) return HeadEnd::Cut;
    const std::size_t item_offset = lines.offset();
    const std::string_view item_line = lines.next();
    const auto item = item_of(item_line);
    if (!item) {
      return refuse(item_offset, item_line, first ? "an ITEM: line (ITEM: TIMESTEP)" : "an ITEM: line");
    }
    const std::vector<std::string_view> words = words_of(*item);
    auto named = [&](std::initializer_list<std::string_view> wanted) {
      return words.size() >= wanted.size() && std::equal(wanted.begin(), wanted.end(), words.begin());
    };
    auto once = [&](bool& seen) -> std::optional<Result<HeadEnd>> {
      if (!seen) {
        seen = true;
        return std::nullopt;
      }
      return expected_in_frame(buffer, base, item_offset, frame, "ITEM: ATOMS",
                               fill_message("a second {}", {quoted(item_line)}));
    };
    // The one line of a section's value: a cut when there is none.
    std::size_t value_offset = 0;
    std::string_view value_line;
    auto take_value = [&] {
      if (lines.done()) return false;
      value_offset = lines.offset();
      value_line = lines.next();
      return true;
    };

    if (words.size() == 1 && words[0] == "TIMESTEP") {
      if (auto twice = once(timestep)) return std::move(*twice);
      if (!take_value()) return HeadEnd::Cut;
      const auto value = field_count(value_line) == 1 ? whole_number(trimmed(value_line)) : std::nullopt;
      if (!value) return refuse(value_offset, value_line, "the timestep (one whole number)");
      head.timestep = *value;
    } else if (words.size() == 3 && named({"NUMBER", "OF", "ATOMS"})) {
      if (auto twice = once(natoms)) return std::move(*twice);
      if (!take_value()) return HeadEnd::Cut;
      const auto value = field_count(value_line) == 1 ? whole_number(trimmed(value_line)) : std::nullopt;
      if (!value || *value < 0) return refuse(value_offset, value_line, "the number of atoms (one whole number)");
      if (static_cast<std::uint64_t>(*value) > (~std::size_t{0}) / 64) {
        return expected_in_frame(buffer, base, value_offset, frame, "a number of atoms that fits in memory",
                                 quoted(value_line));
      }
      head.natoms = static_cast<std::uint64_t>(*value);
    } else if (named({"BOX", "BOUNDS"})) {
      if (auto twice = once(box)) return std::move(*twice);
      const auto style = box_style(std::span(words).subspan(2));
      if (!style) {
        return refuse(item_offset, item_line,
                      "ITEM: BOX BOUNDS, then 'xy xz yz' or 'abc origin' or nothing, then three boundary flags "
                      "(pp, ff, fs, ...) or none");
      }
      const std::size_t count = style->kind == BoxKind::Orthogonal ? 2 : style->kind == BoxKind::Triclinic ? 3 : 4;
      std::array<std::array<double, 4>, 3> numbers{};
      for (std::size_t row = 0; row < 3; ++row) {
        if (!take_value()) return HeadEnd::Cut;
        FieldSplitter fields(value_line);
        std::size_t read = 0;
        bool good = true;
        for (std::string_view field = fields.next(); !field.empty(); field = fields.next()) {
          const auto number = read_number(field);
          if (!number || read == count) {
            good = false;
            break;
          }
          numbers[row][read++] = *number;
        }
        if (!good || read != count) {
          return refuse(value_offset, value_line, std::string(box_numbers_text(style->kind, row)));
        }
      }
      head.box = box_of_bounds(style->kind, numbers);
      head.box.pbc = style->pbc;
    } else if (words.size() == 1 && words[0] == "TIME") {
      if (!take_value()) return HeadEnd::Cut;
      if (field_count(value_line) != 1 || !read_number(trimmed(value_line))) {
        return refuse(value_offset, value_line, "the time (one number)");
      }
      if (std::find(names.begin(), names.end(), "TIME") != names.end()) {
        return expected_in_frame(buffer, base, item_offset, frame, "ITEM: ATOMS",
                                 fill_message("a second {}", {quoted(item_line)}));
      }
      names.emplace_back("TIME");
      head.sections.push_back({"TIME", std::string(trimmed(value_line))});
    } else if (named({"ATOMS"})) {
      const char* missing = !timestep ? "ITEM: TIMESTEP" : !natoms ? "ITEM: NUMBER OF ATOMS" : !box ? "ITEM: BOX BOUNDS" : nullptr;
      if (missing != nullptr) {
        return expected_in_frame(buffer, base, item_offset, frame, fill_message("{} before ITEM: ATOMS", {missing}),
                                 quoted(item_line));
      }
      // A line of names cut off by the end of the file, with atom lines due.
      if (head.natoms > 0 && open_last_line(buffer, item_offset, item_line.size())) return HeadEnd::Cut;
      head.atoms_offset = item_offset;
      const std::string_view columns = trimmed(item->substr(5));
      if (!columns.empty()) {
        head.columns = columns;
      } else {
        // Old style atom dumps name no columns: five fields, or eight with image flags.
        head.columns = !lines.done() && field_count(lines.peek()) == 8 ? kOldAtomImageColumns : kOldAtomColumns;
      }
      return HeadEnd::Read;
    } else {
      if (words.empty()) return refuse(item_offset, item_line, "an ITEM: line with a section name");
      // ATOMS misspelt (ITEM: ATOM, ITEM: atoms) is not a section of its own,
      // whose text would run on over the atom lines.
      if (looks_like_atoms(words[0])) return expected_in_frame(buffer, base, item_offset, frame, "ITEM: ATOMS", quoted(item_line));
      // A local dump (bonds, pairs, ...) holds ENTRIES, not atoms: not a
      // section, whose text would run on to the end of the file.
      if (words[0] == "ENTRIES") {
        return expected_in_frame(buffer, base, item_offset, frame, "ITEM: ATOMS (dump local, of ENTRIES, is not read)",
                                 quoted(item_line));
      }
      std::string name;
      for (std::string_view word : words) {
        if (!name.empty()) name += ' ';
        name += word;
      }
      if (std::find(names.begin(), names.end(), name) != names.end()) {
        return expected_in_frame(buffer, base, item_offset, frame, "ITEM: ATOMS",
                                 fill_message("a second {}", {quoted(item_line)}));
      }
      if (lines.done()) return HeadEnd::Cut;
      std::string text = section_text(lines);
      if (lines.done()) return HeadEnd::Cut;  // the header cannot end in a section
      if (words.size() == 1 && words[0] == "UNITS") text = std::string(trimmed(text));
      names.push_back(name);
      head.sections.push_back({std::move(name), std::move(text)});
    }
  }
}

}  // namespace io_rs::lammps
