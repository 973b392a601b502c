#include "lammps/dump_rows.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <numeric>

#include "core/message.hpp"
#include "core/output_text.hpp"
#include "core/parallel.hpp"
#include "core/piece.hpp"

namespace io_rs::lammps {
namespace {

std::size_t element_size(ColumnType type) {
  return type == ColumnType::Text ? sizeof(std::string_view) : type == ColumnType::Real ? sizeof(double) : sizeof(std::int64_t);
}

void* buffer_of(ColumnType type, OutputData& data) {
  switch (type) {
    case ColumnType::Real: return data.reals.data();
    case ColumnType::Integer: return data.integers.data();
    default: return data.texts.data();
  }
}

std::size_t field_count(std::string_view line) {
  FieldSplitter fields(line);
  std::size_t n = 0;
  while (!fields.next().empty()) ++n;
  return n;
}

}  // namespace

std::vector<FieldPlan> plan_of(const Layout& layout, std::vector<OutputData>& data) {
  std::vector<FieldPlan> plan;
  plan.reserve(layout.fields.size());
  for (const Layout::Field& field : layout.fields) {
    const Output& output = layout.outputs[field.output];
    auto* base = static_cast<unsigned char*>(buffer_of(output.type, data[field.output]));
    plan.push_back({output.type, output.width(), base + field.element * element_size(output.type)});
  }
  return plan;
}

void reserve_rows(const Layout& layout, std::vector<OutputData>& data, std::size_t rows) {
  data.resize(layout.outputs.size());
  for (std::size_t k = 0; k < layout.outputs.size(); ++k) {
    const Output& output = layout.outputs[k];
    const std::size_t n = checked_size(rows, output.width());
    switch (output.type) {
      case ColumnType::Real: data[k].reals.resize(n); break;
      case ColumnType::Integer: data[k].integers.resize(n); break;
      case ColumnType::Text: data[k].texts.resize(n); break;
    }
  }
}

bool read_whole_number(std::string_view field, std::int64_t& value) {
  if (field.starts_with('+')) field.remove_prefix(1);
  if (field.empty() || field[0] == '+') return false;
  const auto [stop, error] = std::from_chars(field.data(), field.data() + field.size(), value);
  return error == std::errc() && stop == field.data() + field.size();
}

Error row_error(const RowOutcome& outcome, const Layout& layout, std::string_view line, std::uint64_t frame,
                std::size_t index, std::size_t natoms, std::string_view buffer, const Base& base,
                std::size_t line_offset) {
  const Place place = place_of(buffer, base, line_offset, frame);
  if (trimmed(line).starts_with("ITEM:")) {
    // The header of what follows where an atom line is due: too few atom lines.
    Error error = expected_error(kDump, "an atom line", fill_message("'{}'", {trimmed(line).substr(0, 60)}), place).error();
    error.problem = fill_message("frame {} ends after {} of {} atom lines: {}", {frame, index, natoms, error.problem});
    return error;
  }
  const std::string where = fill_message("frame {}, atom line {}: ", {frame, index + 1});
  std::string problem;
  std::string_view field;
  switch (outcome.problem) {
    case RowProblem::TooFewFields:
    case RowProblem::TooManyFields:
      problem = fill_message("expected {} fields ({}), got {}", {layout.names.size(), layout.names_text(), field_count(line)});
      break;
    case RowProblem::NotUtf8:
      problem = fill_message("a field of column '{}' is not UTF-8 text", {layout.names[outcome.column]});
      break;
    default: {
      const Output& output = layout.outputs[layout.fields[outcome.column].output];
      const char* what = output.type == ColumnType::Real ? "a number" : "a whole number";
      problem = fill_message("expected {} in column '{}', got '{}'", {what, layout.names[outcome.column], outcome.field});
      field = outcome.field;
    }
  }
  Error error = format_error(kDump, where + problem, field).error();
  error.place = place;
  return error;
}

std::vector<std::size_t> id_order(const std::int64_t* ids, std::size_t n) {
  bool in_order = true;
  std::int64_t least = ids[0], most = ids[0];
  for (std::size_t i = 1; i < n; ++i) {
    in_order &= ids[i - 1] <= ids[i];
    least = std::min(least, ids[i]);
    most = std::max(most, ids[i]);
  }
  if (in_order) return {};
  const std::uint64_t span = static_cast<std::uint64_t>(most) - static_cast<std::uint64_t>(least);
  // Ids that leave few gaps (a run's atoms, some deleted): each goes to the
  // slot of its id, then the slots are read in order. A repeated id needs
  // the general way, to keep equal ids in file order.
  if (span < 4 * static_cast<std::uint64_t>(n) + 64) {
    constexpr std::size_t kFree = SIZE_MAX;
    std::vector<std::size_t> slots(static_cast<std::size_t>(span) + 1, kFree);
    bool unique = true;
    for (std::size_t i = 0; i < n && unique; ++i) {
      std::size_t& slot = slots[static_cast<std::size_t>(static_cast<std::uint64_t>(ids[i]) - static_cast<std::uint64_t>(least))];
      unique = slot == kFree;
      slot = i;
    }
    if (unique) {
      if (slots.size() == n) return slots;
      std::vector<std::size_t> order;
      order.reserve(n);
      for (std::size_t row : slots) {
        if (row != kFree) order.push_back(row);
      }
      return order;
    }
  }
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return ids[a] < ids[b]; });
  return order;
}

namespace {

// Rows of `bytes` bytes each: to[k] = from[order[k]] for k in [begin, end).
void gather(unsigned char* to, const unsigned char* from, std::size_t bytes, std::span<const std::size_t> order,
            std::size_t begin, std::size_t end) {
  switch (bytes) {
    case 8:
      for (std::size_t k = begin; k < end; ++k) std::memcpy(to + 8 * k, from + 8 * order[k], 8);
      break;
    case 24:
      for (std::size_t k = begin; k < end; ++k) std::memcpy(to + 24 * k, from + 24 * order[k], 24);
      break;
    default:
      for (std::size_t k = begin; k < end; ++k) std::memcpy(to + bytes * k, from + bytes * order[k], bytes);
  }
}

}  // namespace

void apply_order(const Layout& layout, std::vector<OutputData>& data, std::size_t first,
                 std::span<const std::size_t> order, std::vector<unsigned char>& scratch) {
  const std::size_t n = order.size();
  for (std::size_t k = 0; k < layout.outputs.size(); ++k) {
    const Output& output = layout.outputs[k];
    const std::size_t row_bytes = element_size(output.type) * output.width();
    auto* rows = static_cast<unsigned char*>(buffer_of(output.type, data[k])) + first * row_bytes;
    scratch.resize(n * row_bytes);
    std::memcpy(scratch.data(), rows, n * row_bytes);
    gather(rows, scratch.data(), row_bytes, order, 0, n);
  }
}

void apply_order_whole(const Layout& layout, std::vector<OutputData>& data, std::span<const std::size_t> order,
                       std::size_t threads) {
  const std::size_t n = order.size();
  threads = std::max<std::size_t>(1, std::min(threads, n / 4096));
  for (std::size_t k = 0; k < layout.outputs.size(); ++k) {
    const Output& output = layout.outputs[k];
    const std::size_t count = n * output.width();
    OutputData sorted;
    unsigned char* to = nullptr;
    switch (output.type) {
      case ColumnType::Real: sorted.reals = OwnedBuffer<double>::allocate(count); to = reinterpret_cast<unsigned char*>(sorted.reals.data()); break;
      case ColumnType::Integer: sorted.integers = OwnedBuffer<std::int64_t>::allocate(count); to = reinterpret_cast<unsigned char*>(sorted.integers.data()); break;
      case ColumnType::Text: sorted.texts = OwnedBuffer<std::string_view>::allocate(count); to = reinterpret_cast<unsigned char*>(sorted.texts.data()); break;
    }
    const auto* from = static_cast<const unsigned char*>(buffer_of(output.type, data[k]));
    const std::size_t row_bytes = element_size(output.type) * output.width();
    run_parts(threads, [&](std::size_t t) { gather(to, from, row_bytes, order, n * t / threads, n * (t + 1) / threads); });
    data[k] = std::move(sorted);
  }
}

}  // namespace io_rs::lammps
