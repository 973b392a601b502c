// What the readers of dump frames share, on one thread and on several: the
// row reader that a frame's layout drives (one pass over a line's fields,
// each read as its column's type straight into its output), its messages,
// and the sorting of a frame's rows by id.
#pragma once

#include <cstddef>
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/fields.hpp"
#include "core/number_read.hpp"
#include "core/portable.hpp"
#include "core/short_fields.hpp"
#include "core/utf8.hpp"
#include "lammps/lammps.hpp"

namespace io_rs::lammps {

// Where a reader puts the fields of a column: element `element` of a row
// `width` elements wide, in the output's buffer.
struct FieldPlan {
  ColumnType type;
  std::size_t width;
  void* base;  // the buffer's element `element` of row 0
  // The buffer is memory just mapped for it (large buffers are), whose pages
  // are best mapped in ahead of the rows; smaller ones come from the heap,
  // most often pages used before.
  bool fresh = false;
};

// The bytes of one element of a column of the type.
inline std::size_t element_size(ColumnType type) noexcept {
  return type == ColumnType::Text ? sizeof(std::string_view) : type == ColumnType::Real ? sizeof(double) : sizeof(std::int64_t);
}

// An output's buffer, and the elements it holds, by the output's type.
void* buffer_of(ColumnType type, OutputData& data);
std::size_t elements_of(ColumnType type, const OutputData& data);

// The plans of a layout's columns, into data's buffers (which must have
// room for the rows read).
std::vector<FieldPlan> plan_of(const Layout& layout, std::vector<OutputData>& data);

// Room in every output for `rows` rows, those there kept.
void reserve_rows(const Layout& layout, std::vector<OutputData>& data, std::size_t rows);

enum class RowProblem : unsigned char { None, TooFewFields, TooManyFields, BadValue, NotUtf8 };

struct RowOutcome {
  RowProblem problem = RowProblem::None;
  std::size_t column = 0;
  std::string_view field;
};

// The general way: an optional sign and decimal digits, within 64 bits.
bool read_whole_number(std::string_view field, std::int64_t& value);

// A whole number in 64 bits, [+-]digits, as the next field: the field
// (empty when the line has none left) and whether it read.
IO_RS_ALWAYS_INLINE bool next_integer(FieldSplitter& fields, std::int64_t& value, std::string_view& field) {
  const char* start = fields.skip_separators();
  const char* end = fields.end();
  const char* p = start;
  const bool negative = p != end && *p == '-';
  p += p != end && (*p == '-' || *p == '+');
  const char* digits = p;
  std::uint64_t magnitude = 0;
  // Eighteen digits cannot overflow; longer numbers take the general way.
  while (p != end && p - digits < 18 && static_cast<unsigned>(*p - '0') < 10) magnitude = 10 * magnitude + static_cast<unsigned>(*p++ - '0');
  if (p != digits && (p == end || is_separator(static_cast<unsigned char>(*p)))) [[likely]] {
    fields.consume(p);
    field = {start, static_cast<std::size_t>(p - start)};
    value = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    return true;
  }
  field = fields.next();
  return !field.empty() && read_whole_number(field, value);
}

// One atom line into row `row` of every output; the buffer holding it may
// be read up to readable. The line must hold exactly the fields planned.
IO_RS_ALWAYS_INLINE RowOutcome read_row(std::string_view line, const char* readable, std::span<const FieldPlan> plan,
                                        std::size_t row) {
  FieldSplitter fields(line, readable);
  for (std::size_t c = 0; c < plan.size(); ++c) {
    const FieldPlan& p = plan[c];
    switch (p.type) {
      case ColumnType::Real: {
        const NumberField number = next_number(fields);
        if (number.text.empty()) [[unlikely]] return {RowProblem::TooFewFields, c, {}};
        if (!number.value) [[unlikely]] return {RowProblem::BadValue, c, number.text};
        static_cast<double*>(p.base)[row * p.width] = *number.value;
        break;
      }
      case ColumnType::Integer: {
        std::string_view field;
        if (!next_integer(fields, static_cast<std::int64_t*>(p.base)[row * p.width], field)) [[unlikely]] {
          return field.empty() ? RowOutcome{RowProblem::TooFewFields, c, {}} : RowOutcome{RowProblem::BadValue, c, field};
        }
        break;
      }
      case ColumnType::Text: {
        const std::string_view field = fields.next();
        if (field.empty()) return {RowProblem::TooFewFields, c, {}};
        if (!is_utf8(field)) return {RowProblem::NotUtf8, c, field};
        static_cast<std::string_view*>(p.base)[row * p.width] = field;
        break;
      }
    }
  }
  if (!fields.next().empty()) [[unlikely]] return {RowProblem::TooManyFields, plan.size(), {}};
  return {};
}

// The fast way through atom lines: each field of its column's type in the
// short shapes of short_field, separated by blanks, then the line end. A
// line of anything else (another shape of number, too few or too many
// fields, no LF) is left to read_row, which reads it and says what is wrong.
// Fields may start before limit, the buffer's end less
// short_field::kReadable.
//
// Where a field ends is found first (short_field::span_at): the next
// field's load waits for that alone, while the value is worked out beside.

// Blanks before a field beyond the one that ends the field before it: runs
// of spaces (right-aligned columns) a word at a time.
inline const char* skip_blanks(const char* p, const char* limit) noexcept {
  while (p < limit) {
    const std::uint64_t spaces = short_decimal::load8(p) ^ 0x2020202020202020;
    p += std::countr_zero(spaces | (std::uint64_t{1} << 63)) >> 3;
    if (*p == '\t') {
      ++p;
    } else if (*p != ' ') {
      break;
    }
  }
  return p;
}

// One field at p into its row; p moves past it and the blank after it, or,
// after the last field, past the line's LF. False for anything else.
template <ColumnType Type, bool Last>
IO_RS_ALWAYS_INLINE bool read_field_fast(const char*& p, const char* limit, const char* end, const FieldPlan& field,
                                         std::size_t row) {
  if (p >= limit) [[unlikely]] return false;
  short_field::Span span = short_field::span_at(p);
  if (span.length == 0) [[unlikely]] {
    p = skip_blanks(p, limit);
    if (p >= limit) return false;
    span = short_field::span_at(p);
    // No field before the line's end (or another control byte).
    if (span.length == 0) return false;
  }
  if (span.length == 16) [[unlikely]] return false;
  if constexpr (Type == ColumnType::Real) {
    if (!short_field::real_to(p, span, static_cast<double*>(field.base)[row * field.width])) [[unlikely]] return false;
  } else if constexpr (Type == ColumnType::Integer) {
    if (!short_field::integer_to(p, span, static_cast<std::int64_t*>(field.base)[row * field.width])) [[unlikely]] {
      return false;
    }
  } else {
    const std::string_view text(p, static_cast<std::size_t>(span.length));
    if (!is_utf8(text)) return false;
    static_cast<std::string_view*>(field.base)[row * field.width] = text;
  }
  p += span.length;
  const auto after = static_cast<unsigned char>(*p);
  if constexpr (!Last) {
    if (after != ' ' && after != '\t') [[unlikely]] return false;
    ++p;
    return true;
  } else {
    if (after == '\n') [[likely]] {
      ++p;
      return true;
    }
    // Blanks after the last field, then the line end.
    while (p != end && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\f')) ++p;
    if (p == end || *p != '\n') return false;
    ++p;
    return true;
  }
}

// A line of any columns: each field's type looked up as it comes.
IO_RS_ALWAYS_INLINE const char* read_row_fast(const char* p, const char* limit, const char* end,
                                              std::span<const FieldPlan> plan, std::size_t row) {
  const std::size_t fields = plan.size();
  for (std::size_t c = 0; c + 1 < fields; ++c) {
    bool read = false;
    switch (plan[c].type) {
      case ColumnType::Real: read = read_field_fast<ColumnType::Real, false>(p, limit, end, plan[c], row); break;
      case ColumnType::Integer: read = read_field_fast<ColumnType::Integer, false>(p, limit, end, plan[c], row); break;
      case ColumnType::Text: read = read_field_fast<ColumnType::Text, false>(p, limit, end, plan[c], row); break;
    }
    if (!read) return nullptr;
  }
  if (fields == 0) return nullptr;
  const FieldPlan& last = plan[fields - 1];
  bool read = false;
  switch (last.type) {
    case ColumnType::Real: read = read_field_fast<ColumnType::Real, true>(p, limit, end, last, row); break;
    case ColumnType::Integer: read = read_field_fast<ColumnType::Integer, true>(p, limit, end, last, row); break;
    case ColumnType::Text: read = read_field_fast<ColumnType::Text, true>(p, limit, end, last, row); break;
  }
  return read ? p : nullptr;
}

// A line of columns whose types are known when compiling (the common
// layouts): no look-up, and the fields of a line one after the other.
template <ColumnType... Types, std::size_t... Index>
IO_RS_ALWAYS_INLINE const char* read_row_typed(const char* p, const char* limit, const char* end,
                                               const FieldPlan* plan, std::size_t row,
                                               std::index_sequence<Index...>) {
  constexpr std::size_t kLast = sizeof...(Types) - 1;
  const bool read = (read_field_fast<Types, Index == kLast>(p, limit, end, plan[Index], row) && ...);
  return read ? p : nullptr;
}

// Atom lines from buffer offset `at` into rows row0, row0 + 1, ...: at most
// count of them, none that starts at or past stop. What was read, and on a
// line that failed, which and why.
struct RowRun {
  std::size_t read = 0;  // lines read whole
  std::size_t next = 0;  // the offset past them
  RowOutcome failure;    // None: every line read, or the lines ran out first
  std::size_t line_offset = 0;
  std::string_view line;
};

// Where a read of atom lines goes: lines from at (p) while they start
// before last, fields read fast while they start before limit.
struct RowBounds {
  const char* begin;
  const char* end;
  const char* limit;
  const char* p;
  const char* last;

  RowBounds(std::string_view buffer, std::size_t at, std::size_t stop) noexcept
      : begin(buffer.data()),
        end(begin + buffer.size()),
        limit(buffer.size() > static_cast<std::size_t>(short_field::kReadable) ? end - short_field::kReadable : begin),
        p(begin + at),
        last(begin + stop) {}
};

template <class Fast>
RowRun read_rows_with(std::string_view buffer, std::size_t at, std::size_t stop, std::size_t count,
                      std::span<const FieldPlan> plan, std::size_t row0, Fast&& fast) {
  auto [begin, end, limit, p, last] = RowBounds(buffer, at, stop);
  RowRun run;
  for (; run.read < count && p < last; ++run.read) {
    if (const char* next = fast(p, limit, end, row0 + run.read)) [[likely]] {
      p = next;
      continue;
    }
    const void* lf = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
    const char* line_end = lf == nullptr ? end : static_cast<const char*>(lf);
    const std::string_view line(p, static_cast<std::size_t>(line_end - p));
    const RowOutcome outcome = read_row(line, end, plan, row0 + run.read);
    if (outcome.problem != RowProblem::None) {
      run.failure = outcome;
      run.line_offset = static_cast<std::size_t>(p - begin);
      run.line = line;
      break;
    }
    p = line_end == end ? end : line_end + 1;
  }
  run.next = static_cast<std::size_t>(p - begin);
  return run;
}

// The layouts read with their types known when compiling: line reads a
// whole line into row `row`, rest the fields after the first.
template <ColumnType... Types>
struct Typed {
  static bool fits(std::span<const FieldPlan> plan) noexcept {
    constexpr ColumnType kTypes[] = {Types...};
    if (plan.size() != sizeof...(Types)) return false;
    for (std::size_t c = 0; c < plan.size(); ++c) {
      if (plan[c].type != kTypes[c]) return false;
    }
    return true;
  }
  IO_RS_ALWAYS_INLINE static const char* line(const char* p, const char* limit, const char* end,
                                              std::span<const FieldPlan> plan, std::size_t row) {
    return read_row_typed<Types...>(p, limit, end, plan.data(), row, std::make_index_sequence<sizeof...(Types)>{});
  }
  IO_RS_ALWAYS_INLINE static const char* rest(const char* p, const char* limit, const char* end,
                                              std::span<const FieldPlan> plan, std::size_t row) {
    return rest_of<Types...>(p, limit, end, plan.data() + 1, row);
  }

 private:
  template <ColumnType First, ColumnType... Rest>
  IO_RS_ALWAYS_INLINE static const char* rest_of(const char* p, const char* limit, const char* end,
                                                 const FieldPlan* plan, std::size_t row) {
    return read_row_typed<Rest...>(p, limit, end, plan, row, std::make_index_sequence<sizeof...(Rest)>{});
  }
};

// Any other layout: each field's type looked up as it comes.
struct AnyColumns {
  IO_RS_ALWAYS_INLINE static const char* line(const char* p, const char* limit, const char* end,
                                              std::span<const FieldPlan> plan, std::size_t row) {
    return read_row_fast(p, limit, end, plan, row);
  }
  IO_RS_ALWAYS_INLINE static const char* rest(const char* p, const char* limit, const char* end,
                                              std::span<const FieldPlan> plan, std::size_t row) {
    return read_row_fast(p, limit, end, plan.subspan(1), row);
  }
};

constexpr ColumnType I = ColumnType::Integer, R = ColumnType::Real;

// use(Reader{}) with the reader of the plan's layout.
template <class Use>
decltype(auto) with_row_reader(std::span<const FieldPlan> plan, Use&& use) {
  // id type x y z; id x y z; id type q x y z; with velocities; and forces;
  // id mol type x y z; with image flags.
  using A = Typed<I, I, R, R, R>;
  using B = Typed<I, R, R, R>;
  using C = Typed<I, I, R, R, R, R>;
  using D = Typed<I, I, R, R, R, R, R, R>;
  using E = Typed<I, I, R, R, R, R, R, R, R, R, R>;
  using F = Typed<I, I, I, R, R, R>;
  using G = Typed<I, I, R, R, R, I, I, I>;
  using H = Typed<I, I, I, R, R, R, I, I, I>;
  if (A::fits(plan)) return use(A{});
  if (B::fits(plan)) return use(B{});
  if (C::fits(plan)) return use(C{});
  if (D::fits(plan)) return use(D{});
  if (E::fits(plan)) return use(E{});
  if (F::fits(plan)) return use(F{});
  if (G::fits(plan)) return use(G{});
  if (H::fits(plan)) return use(H{});
  return use(AnyColumns{});
}

inline RowRun read_rows_at_once(std::string_view buffer, std::size_t at, std::size_t stop, std::size_t count,
                                std::span<const FieldPlan> plan, std::size_t row0) {
  return with_row_reader(plan, [&]<class Reader>(Reader) {
    return read_rows_with(buffer, at, stop, count, plan, row0,
                          [&](const char* p, const char* limit, const char* end, std::size_t row) {
      return Reader::line(p, limit, end, plan, row);
    });
  });
}

// The pages of rows [begin, end) of every output the plan writes mapped in
// writable (page_populate.hpp).
void populate_rows(std::span<const FieldPlan> plan, std::size_t begin, std::size_t end);

// The cache lines of rows [begin, end) of every output the plan writes
// fetched ahead to be written: rows that then go to them in any order find
// them in the caches, where they would each wait for memory.
void prefetch_rows(std::span<const FieldPlan> plan, std::size_t begin, std::size_t end);

// Rows into large outputs a stretch at a time, each stretch's pages mapped
// in just before it is written (page_populate.hpp); small ones at once.
inline constexpr std::size_t kRowsAhead = 8192;

RowRun read_rows_ahead(std::string_view buffer, std::size_t at, std::size_t stop, std::size_t count,
                       std::span<const FieldPlan> plan, std::size_t row0);

inline RowRun read_rows(std::string_view buffer, std::size_t at, std::size_t stop, std::size_t count,
                        std::span<const FieldPlan> plan, std::size_t row0) {
  if (count >= kRowsAhead / 2) return read_rows_ahead(buffer, at, stop, count, plan, row0);
  return read_rows_at_once(buffer, at, stop, count, plan, row0);
}

// The error of an atom line that failed: the frame's line `index` (from 0)
// of natoms, at line_offset of the buffer.
Error row_error(const RowOutcome& outcome, const Layout& layout, std::string_view line, std::uint64_t frame,
                std::size_t index, std::size_t natoms, std::string_view buffer, const Base& base,
                std::size_t line_offset);

// Sorting large frames goes through buckets of this many slots, whose rows
// fit the caches. The fuzzers set it small, so that small frames go through
// buckets too.
#ifndef IO_RS_SORT_BUCKET_ROWS
#define IO_RS_SORT_BUCKET_ROWS (std::size_t{1} << 14)
#endif
inline constexpr std::size_t kBucketRows = IO_RS_SORT_BUCKET_ROWS;

// Rows [first, first + n) whose ids are a run from least and lie in
// buckets of kBucketRows slots (bucket b's rows where its slots are, in any
// order) put in order of id within each bucket, through scratch. False
// where an id comes twice in a bucket: the rows are then in no order.
bool settle_buckets(const Layout& layout, std::vector<OutputData>& data, std::size_t first, std::size_t n,
                    std::int64_t least, OwnedBuffer<unsigned char>& scratch);

// Row from_row of every output of `from` copied into row to_row of `to`.
void copy_row(const Layout& layout, std::vector<OutputData>& from, std::size_t from_row,
              std::vector<OutputData>& to, std::size_t to_row);

// Rows [first, first + n) of every output in the order of their ids, rows
// of equal ids in file order, on one thread (through scratch); nothing where
// the layout has no id column.
void sort_rows(const Layout& layout, std::vector<OutputData>& data, std::size_t first, std::size_t n,
               OwnedBuffer<unsigned char>& scratch);

// The same for a large frame, on threads.
void sort_frame_rows(const Layout& layout, std::vector<OutputData>& data, std::size_t first, std::size_t n,
                     std::size_t threads);

}  // namespace io_rs::lammps
