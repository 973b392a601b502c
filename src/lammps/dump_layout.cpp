// From the names of an ATOMS line to where each column goes: its type by
// LAMMPS's naming of per-atom quantities, and the columns that belong
// together (a position, a velocity, a compute's vector) gathered into one
// array, so that readers write them straight where they belong.
#include <algorithm>
#include <array>

#include "core/fields.hpp"
#include "core/message.hpp"
#include "lammps/lammps.hpp"

namespace io_rs::lammps {
namespace {

ColumnType type_of(std::string_view name) {
  static constexpr std::array<std::string_view, 8> kIntegers = {"id", "type", "mol", "proc",
                                                                 "procp1", "ix", "iy", "iz"};
  if (std::find(kIntegers.begin(), kIntegers.end(), name) != kIntegers.end() || name.starts_with("i_") ||
      name.starts_with("i2_"))
    return ColumnType::Integer;
  return name == "element" ? ColumnType::Text : ColumnType::Real;
}

// NAME[k], with k a whole number from 1 written without leading zeros:
// NAME and k; nothing for another name.
std::optional<std::pair<std::string_view, std::size_t>> indexed(std::string_view name) {
  if (!name.ends_with(']')) return std::nullopt;
  const std::size_t open = name.rfind('[');
  if (open == std::string_view::npos || open == 0) return std::nullopt;
  const std::string_view digits = name.substr(open + 1, name.size() - open - 2);
  if (digits.empty() || digits.size() > 9 || digits[0] == '0' ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  std::size_t k = 0;
  for (char c : digits) k = 10 * k + static_cast<std::size_t>(c - '0');
  return std::pair{name.substr(0, open), k};
}

}  // namespace

std::string Layout::names_text() const {
  std::string text;
  for (const std::string& name : names) {
    if (!text.empty()) text += ' ';
    text += name;
  }
  return text;
}

bool type_label_in(std::string_view columns, std::string_view line) {
  FieldSplitter names(columns), fields(line);
  for (std::string_view name = names.next(); !name.empty(); name = names.next()) {
    const std::string_view field = fields.next();
    if (field.empty()) return false;
    if (name == "type") {
      const char first = field[0];
      return !(first >= '0' && first <= '9') && first != '+' && first != '-' && first != '.';
    }
  }
  return false;
}

Result<Layout> layout_of(std::string_view columns, bool type_labels) {
  Layout layout;
  layout.type_labels = type_labels;
  FieldSplitter fields(columns);
  for (std::string_view name = fields.next(); !name.empty(); name = fields.next()) {
    if (std::find(layout.names.begin(), layout.names.end(), name) != layout.names.end()) {
      return format_error(kDump, fill_message("column '{}' appears twice", {name}), name);
    }
    layout.names.emplace_back(name);
  }
  const std::vector<std::string>& names = layout.names;
  auto column = [&](std::string_view name) -> std::optional<std::size_t> {
    const auto at = std::find(names.begin(), names.end(), name);
    return at == names.end() ? std::nullopt : std::optional<std::size_t>(at - names.begin());
  };
  constexpr std::size_t kNone = SIZE_MAX;
  std::vector<std::size_t> group(names.size(), kNone);  // the output index a column goes to, once known
  std::vector<Output> outputs;                         // by group, before ordering
  auto add_group = [&](std::string name, const std::vector<std::size_t>& members) {
    const bool label = type_labels && names[members[0]] == "type";
    Output output{std::move(name), label ? ColumnType::Text : type_of(names[members[0]]), {}};
    for (std::size_t c : members) {
      output.sources.push_back(names[c]);
      group[c] = outputs.size();
    }
    outputs.push_back(std::move(output));
  };
  // The first whole coordinate triple is the positions; velocities and
  // forces where all three are there (and no column bears the name).
  auto triple = [&](std::string_view x, std::string_view y, std::string_view z) -> std::optional<std::vector<std::size_t>> {
    const auto a = column(x), b = column(y), c = column(z);
    if (!a || !b || !c) return std::nullopt;
    return std::vector<std::size_t>{*a, *b, *c};
  };
  constexpr std::array<std::array<std::string_view, 3>, 4> kCoordinates = {
      {{"x", "y", "z"}, {"xu", "yu", "zu"}, {"xs", "ys", "zs"}, {"xsu", "ysu", "zsu"}}};
  std::optional<std::size_t> positions;
  for (const auto& [x, y, z] : kCoordinates) {
    if (auto members = triple(x, y, z)) {
      positions = outputs.size();
      add_group("positions", *members);
      break;
    }
  }
  for (const auto& [name, x, y, z] : {std::array<std::string_view, 4>{"velocities", "vx", "vy", "vz"},
                                      std::array<std::string_view, 4>{"forces", "fx", "fy", "fz"}}) {
    if (auto members = triple(x, y, z); members && !column(name)) add_group(std::string(name), *members);
  }
  // NAME[1] .. NAME[k] side by side (k from 2): one k-wide NAME, unless a
  // column is called NAME itself. A lone NAME[1] keeps its name.
  for (std::size_t c = 0; c < names.size(); ++c) {
    const auto first = indexed(names[c]);
    if (group[c] != kNone || !first || first->second != 1 || column(first->first)) continue;
    std::vector<std::size_t> members{c};
    while (c + members.size() < names.size()) {
      const std::size_t next = c + members.size();
      const auto more = indexed(names[next]);
      if (group[next] != kNone || !more || more->first != first->first || more->second != members.size() + 1) break;
      members.push_back(next);
    }
    if (members.size() > 1) add_group(std::string(first->first), members);
  }
  for (std::size_t c = 0; c < names.size(); ++c) {
    if (group[c] == kNone) add_group(names[c], {c});
  }

  // Outputs in the order of their first column.
  std::vector<std::size_t> order(outputs.size()), first_column(outputs.size(), SIZE_MAX);
  for (std::size_t c = 0; c < names.size(); ++c) first_column[group[c]] = std::min(first_column[group[c]], c);
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return first_column[a] < first_column[b]; });
  std::vector<std::size_t> rank(outputs.size());
  for (std::size_t k = 0; k < order.size(); ++k) {
    rank[order[k]] = k;
    layout.outputs.push_back(std::move(outputs[order[k]]));
  }
  layout.fields.resize(names.size());
  for (std::size_t c = 0; c < names.size(); ++c) {
    const Output& output = layout.outputs[rank[group[c]]];
    const auto element = std::find(output.sources.begin(), output.sources.end(), names[c]) - output.sources.begin();
    layout.fields[c] = {static_cast<std::uint32_t>(rank[group[c]]), static_cast<std::uint32_t>(element)};
  }
  if (positions) layout.positions = rank[*positions];
  for (std::size_t k = 0; k < layout.outputs.size(); ++k) {
    if (layout.outputs[k].sources.size() == 1 && layout.outputs[k].sources[0] == "id") layout.id = k;
  }
  return layout;
}

}  // namespace io_rs::lammps
