#include "lammps/dump_rows.hpp"

#include <algorithm>
#include <charconv>

#include "core/large_pages.hpp"
#include "core/message.hpp"
#include "core/output_text.hpp"
#include "core/page_populate.hpp"
#include "core/piece.hpp"

namespace io_rs::lammps {

void* buffer_of(ColumnType type, OutputData& data) {
  switch (type) {
    case ColumnType::Real: return data.reals.data();
    case ColumnType::Integer: return data.integers.data();
    default: return data.texts.data();
  }
}

std::size_t elements_of(ColumnType type, const OutputData& data) {
  switch (type) {
    case ColumnType::Real: return data.reals.size();
    case ColumnType::Integer: return data.integers.size();
    default: return data.texts.size();
  }
}

namespace {

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
    const bool fresh = elements_of(output.type, data[field.output]) * element_size(output.type) >= kLargePagesFrom;
    plan.push_back({output.type, output.width(), base + field.element * element_size(output.type), fresh});
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

namespace {

// Each output the plan writes once: the fields of a row of width w lie
// within w elements of the output's first.
struct OutputRows {
  unsigned char* base;
  std::size_t bytes;  // a row's
};

std::vector<OutputRows> outputs_of(std::span<const FieldPlan> plan) {
  std::vector<OutputRows> outputs;
  for (const FieldPlan& field : plan) {
    if (!field.fresh) continue;
    auto* base = static_cast<unsigned char*>(field.base);
    const std::size_t bytes = field.width * element_size(field.type);
    const auto at = reinterpret_cast<std::uintptr_t>(base);
    const bool seen = std::any_of(outputs.begin(), outputs.end(), [&](const OutputRows& rows) {
      const auto first = reinterpret_cast<std::uintptr_t>(rows.base);
      return rows.bytes == bytes && at + bytes > first && at < first + bytes;
    });
    if (!seen) outputs.push_back({base, bytes});
  }
  return outputs;
}

}  // namespace

void populate_rows(std::span<const FieldPlan> plan, std::size_t begin, std::size_t end) {
  for (const OutputRows& rows : outputs_of(plan)) {
    populate_for_writing(rows.base + begin * rows.bytes, rows.base + end * rows.bytes);
  }
}

void prefetch_rows(std::span<const FieldPlan> plan, std::size_t begin, std::size_t end) {
  for (const OutputRows& rows : outputs_of(plan)) {
    const unsigned char* const last = rows.base + end * rows.bytes;
    for (const unsigned char* line = rows.base + begin * rows.bytes; line < last; line += 64) IO_RS_PREFETCH_WRITE(line);
  }
}

RowRun read_rows_ahead(std::string_view buffer, std::size_t at, std::size_t stop, std::size_t count,
                       std::span<const FieldPlan> plan, std::size_t row0) {
  RowRun total;
  total.next = at;
  while (total.read < count) {
    const std::size_t row = row0 + total.read;
    const std::size_t n = std::min(kRowsAhead, count - total.read);
    populate_rows(plan, row, row + n);
    const RowRun run = read_rows_at_once(buffer, total.next, stop, n, plan, row);
    total.read += run.read;
    total.next = run.next;
    if (run.failure.problem != RowProblem::None) {
      total.failure = run.failure;
      total.line_offset = run.line_offset;
      total.line = run.line;
      break;
    }
    if (run.read < n) break;  // the lines ran out
  }
  return total;
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

}  // namespace io_rs::lammps
