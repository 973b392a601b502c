// The comment line of extended XYZ: key=value pairs separated by spaces or
// tabs, spaces allowed around '='. A key is a bare word or a double-quoted
// string; a key without "=value" stands for the logical true. A value is
//
//   "text"       a string (backslash escapes the next character, \n is LF),
//                or, when its space-separated words are all numbers or all
//                logicals, an old-style array (one word: a scalar)
//   'text'       the same without escapes: numbers or logicals, else the
//                string between the quotes (as older programs write it);
//                without a closing quote, a bare value
//   {a b c}      an old-style array: numbers or logicals, else the words
//                as strings (one word: a scalar; none: the text between
//                the braces as a string)
//   [a, b, c]    an array; [[a, b], [c, d]] a matrix of equal rows
//   bare         integer, real, logical or string, the first that fits
//
// An array takes the one type that fits all its elements: integers with
// reals are reals; any string, or a mix of logicals and numbers, makes every
// element the string written. A single quote is an ordinary character
// everywhere but at the start of a value. Numbers have no leading zero:
// 012, 012.0, 00.5 and 01e5 are strings, 0, 0.5 and 0e5 numbers.
#include <algorithm>
#include <charconv>
#include <cstring>
#include <deque>
#include <span>

#include "core/message.hpp"
#include "core/number_read.hpp"
#include "xyz/extxyz.hpp"

namespace io_rs::xyz {

char type_letter(ValueType type) noexcept {
  switch (type) {
    case ValueType::Integer: return 'I';
    case ValueType::Real: return 'R';
    case ValueType::Logical: return 'L';
    default: return 'S';
  }
}

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Bytes that end a bare key or value.
bool ends_bare(char c) {
  return is_blank(c) || c == '=' || c == '"' || c == ',' || c == '[' || c == ']' || c == '{' || c == '}' ||
         c == '\\' || c == '\r' || c == '\n';
}

bool all_digits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A scalar's text typed: integer (optional sign, digits, no leading zero),
// real (optional sign, digits with an optional point, optional exponent
// after e, E, d or D), logical, or else a string.
struct Typed {
  ValueType type = ValueType::String;
  std::int64_t integer = 0;
  double real = 0.0;
  bool logical = false;
};

std::optional<bool> read_logical(std::string_view s) {
  if (s == "T" || s == "True" || s == "true" || s == "TRUE") return true;
  if (s == "F" || s == "False" || s == "false" || s == "FALSE") return false;
  return std::nullopt;
}

// The grammar of a real, checked here because the core's reader also takes
// inf and nan, which are strings in a comment line.
bool is_real_text(std::string_view s) {
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E' || s[i] == 'd' || s[i] == 'D')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (!all_digits(s.substr(i))) return false;
    i = s.size();
  }
  return i == s.size();
}

}  // namespace

// A real in the comment line or an R column. The core's reader keeps to the
// C grammar and refuses Fortran's d and D exponents; those few fields are
// copied with the letter replaced by e and read by the same reader, so the
// value stays correctly rounded.
std::expected<double, NumberError> read_extxyz_real(std::string_view text) {
  auto value = read_number(text);
  if (value || text.size() > 1100) return value;
  const std::size_t d = text.find_first_of("dD");
  if (d == std::string_view::npos || text.find_first_of("eE") != std::string_view::npos) return value;
  char copy[1100];
  std::memcpy(copy, text.data(), text.size());
  copy[d] = 'e';
  return read_number(std::string_view(copy, text.size()));
}

// Optional sign and digits into an int64; nothing when not that or too large.
std::optional<std::int64_t> read_extxyz_integer(std::string_view text) {
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  const std::string_view digits = !text.empty() && text[0] == '-' ? text.substr(1) : text;
  if (!all_digits(digits)) return std::nullopt;
  std::int64_t value = 0;
  const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || stop != text.data() + text.size()) return std::nullopt;
  return value;
}

namespace {

Typed classify(std::string_view s) {
  Typed t;
  const std::string_view unsigned_part = !s.empty() && (s[0] == '+' || s[0] == '-') ? s.substr(1) : s;
  // 012, 012.0, 00.5, 01e5: a leading zero before another digit makes a string.
  if (unsigned_part.size() > 1 && unsigned_part[0] == '0' && unsigned_part[1] >= '0' && unsigned_part[1] <= '9') {
    return t;
  }
  if (all_digits(unsigned_part)) {
    if (auto integer = read_extxyz_integer(s)) {
      t.type = ValueType::Integer;
      t.integer = *integer;
      return t;
    }
    // Past 64 bits: the nearest real.
  }
  if (is_real_text(s)) {
    if (auto real = read_extxyz_real(s)) {
      t.type = ValueType::Real;
      t.real = *real;
      return t;
    }
  }
  if (auto logical = read_logical(s)) {
    t.type = ValueType::Logical;
    t.logical = *logical;
  }
  return t;
}

// An element of an array as written: its text (a view into the line, or
// into the parser's copy of a quoted text with escapes) and whether it was
// quoted.
struct Element {
  std::string_view text;
  bool quoted = false;
};

// Fills value (type, elements) from the elements; typed is scratch. With
// old_style, only numbers or only logicals make an array: false otherwise,
// with value untouched.
bool type_elements(std::span<const Element> elements, std::vector<Typed>& typed, InfoValue& value, bool old_style) {
  typed.clear();
  bool numbers = true, integers = true, logicals = true, quoted = false;
  for (const Element& e : elements) {
    typed.push_back(e.quoted ? Typed{} : classify(e.text));
    quoted |= e.quoted;
    const ValueType t = typed.back().type;
    integers &= t == ValueType::Integer;
    numbers &= t == ValueType::Integer || t == ValueType::Real;
    logicals &= t == ValueType::Logical;
    if (old_style && !numbers && !logicals) return false;
  }
  if (quoted || (!numbers && !logicals)) {
    if (old_style) return false;
    value.type = ValueType::String;
    value.strings.reserve(elements.size());
    for (const Element& e : elements) value.strings.emplace_back(e.text);
    return true;
  }
  if (integers) {
    value.type = ValueType::Integer;
    value.integers.reserve(typed.size());
    for (const Typed& t : typed) value.integers.push_back(t.integer);
  } else if (numbers) {
    value.type = ValueType::Real;
    value.reals.reserve(typed.size());
    for (std::size_t k = 0; k < typed.size(); ++k) {
      // An integer's text read as a real: correctly rounded past 2^53 too.
      value.reals.push_back(typed[k].type == ValueType::Real ? typed[k].real : *read_extxyz_real(elements[k].text));
    }
  } else {
    value.type = ValueType::Logical;
    value.logicals.reserve(typed.size());
    for (const Typed& t : typed) value.logicals.push_back(t.logical ? 1 : 0);
  }
  return true;
}

void set_scalar(InfoValue& value, std::string_view text) {
  const Typed t = classify(text);
  value.type = t.type;
  value.rank = 0;
  switch (t.type) {
    case ValueType::Integer: value.integers.push_back(t.integer); break;
    case ValueType::Real: value.reals.push_back(t.real); break;
    case ValueType::Logical: value.logicals.push_back(t.logical ? 1 : 0); break;
    default: value.strings.emplace_back(text);
  }
}

class LineParser {
 public:
  explicit LineParser(std::string_view line) : p_(line.data()), end_(line.data() + line.size()) {}

  // Every pair of the line; false (with problem_ and at_) when the line
  // cannot be read as pairs.
  bool pairs(std::vector<InfoValue>& out, bool& any_equals) {
    for (;;) {
      skip_blanks();
      if (p_ == end_) return true;
      InfoValue value;
      if (!key(value.key)) return false;
      const char* after_key = p_;
      skip_blanks();
      if (p_ != end_ && *p_ == '=') {
        ++p_;
        any_equals = true;
        skip_blanks();
        if (!this->value(value)) return false;
      } else {
        p_ = after_key;
        value.type = ValueType::Logical;
        value.logicals.push_back(1);
      }
      if (p_ != end_ && !is_blank(*p_)) return fail("expected a space after a value", p_);
      out.push_back(std::move(value));
    }
  }

  std::string problem_;
  std::string_view at_;

 private:
  // Scratch kept across values, so that a line costs few allocations.
  std::vector<Element> elements_;
  std::vector<Typed> typed_;
  std::deque<std::string> unescaped_;  // quoted texts with escapes; stable addresses

  // An old-style array's words: one word is a scalar, more a vector. False
  // when the words are not all numbers or all logicals (or there are none),
  // unless as_strings: then such words are strings.
  bool old_style(std::string_view content, InfoValue& value, bool as_strings = false) {
    elements_.clear();
    std::size_t i = 0;
    while (i < content.size()) {
      while (i < content.size() && (is_blank(content[i]) || content[i] == '\n')) ++i;
      const std::size_t start = i;
      while (i < content.size() && !is_blank(content[i]) && content[i] != '\n') ++i;
      if (i > start) elements_.push_back({content.substr(start, i - start), false});
    }
    if (elements_.empty() || !type_elements(elements_, typed_, value, !as_strings)) return false;
    value.rank = elements_.size() == 1 ? 0 : 1;
    value.cols = elements_.size();
    return true;
  }
  void skip_blanks() {
    while (p_ != end_ && is_blank(*p_)) ++p_;
  }
  bool fail(std::string problem, const char* from) {
    problem_ = std::move(problem);
    at_ = std::string_view(from, static_cast<std::size_t>(end_ - from));
    return false;
  }
  std::string_view bare() {
    const char* start = p_;
    while (p_ != end_ && !ends_bare(*p_)) ++p_;
    return {start, static_cast<std::size_t>(p_ - start)};
  }
  // A double-quoted string at p_, escapes resolved: a view into the line,
  // or into a copy when it holds escapes.
  bool quoted(std::string_view& out) {
    const char* start = p_++;
    const char* q = p_;
    while (q != end_ && *q != '"' && *q != '\\') ++q;
    if (q != end_ && *q == '"') {
      out = std::string_view(p_, static_cast<std::size_t>(q - p_));
      p_ = q + 1;
      return true;
    }
    std::string& text = unescaped_.emplace_back(p_, static_cast<std::size_t>(q - p_));
    p_ = q;
    for (;;) {
      if (p_ == end_) return fail("unclosed quote", start);
      const char c = *p_++;
      if (c == '"') break;
      if (c == '\\') {
        if (p_ == end_) return fail("unclosed quote", start);
        const char escaped = *p_++;
        text += escaped == 'n' ? '\n' : escaped;
      } else {
        text += c;
      }
    }
    out = text;
    return true;
  }
  bool key(std::string& out) {
    if (*p_ == '"') {
      std::string_view text;
      if (!quoted(text)) return false;
      out.assign(text);
      return true;
    }
    const std::string_view word = bare();
    if (word.empty()) return fail("expected a key", p_);
    out.assign(word);
    return true;
  }
  bool value(InfoValue& value) {
    if (p_ == end_) return fail("expected a value after '='", p_);
    const char* start = p_;
    switch (*p_) {
      case '"': {
        std::string_view text;
        if (!quoted(text)) return false;
        if (!old_style(text, value)) set_string(value, text);
        return true;
      }
      case '\'': {
        const char* close = static_cast<const char*>(std::memchr(p_ + 1, '\'', static_cast<std::size_t>(end_ - p_ - 1)));
        if (close == nullptr) {
          // No closing quote: the quote is the first character of a bare value.
          set_scalar(value, bare());
          return true;
        }
        const std::string_view text(p_ + 1, static_cast<std::size_t>(close - p_ - 1));
        p_ = close + 1;
        if (!old_style(text, value)) set_string(value, text);
        return true;
      }
      case '{': {
        const char* close = static_cast<const char*>(std::memchr(p_ + 1, '}', static_cast<std::size_t>(end_ - p_ - 1)));
        if (close == nullptr) return fail("unclosed '{'", start);
        const std::string_view text(p_ + 1, static_cast<std::size_t>(close - p_ - 1));
        p_ = close + 1;
        if (!old_style(text, value, true)) set_string(value, text);
        return true;
      }
      case '[':
        return array(value);
      default: {
        const std::string_view text = bare();
        if (text.empty()) return fail("expected a value after '='", start);
        set_scalar(value, text);
        return true;
      }
    }
  }
  static void set_string(InfoValue& value, std::string_view text) {
    value.type = ValueType::String;
    value.rank = 0;
    value.strings.emplace_back(text);
  }
  // [a, b] at p_: its elements up to and past the closing bracket.
  bool row(std::vector<Element>& out, const char* start) {
    ++p_;
    skip_blanks();
    if (p_ != end_ && *p_ == ']') return fail("bad array: empty", start);
    for (;;) {
      skip_blanks();
      if (p_ == end_) return fail("bad array: no closing ']'", start);
      Element e;
      if (*p_ == '"') {
        if (!quoted(e.text)) return false;
        e.quoted = true;
      } else {
        e.text = bare();
        if (e.text.empty()) return fail("bad array: expected an element", start);
      }
      out.push_back(e);
      skip_blanks();
      if (p_ == end_) return fail("bad array: no closing ']'", start);
      if (*p_ == ']') {
        ++p_;
        return true;
      }
      if (*p_ != ',') return fail("bad array: expected ',' or ']'", start);
      ++p_;
    }
  }
  bool array(InfoValue& value) {
    const char* start = p_;
    const char* after = p_ + 1;
    while (after != end_ && is_blank(*after)) ++after;
    std::vector<Element>& elements = elements_;
    elements.clear();
    if (after != end_ && *after == '[') {
      // Rows of a matrix.
      ++p_;
      std::size_t rows = 0, cols = 0;
      for (;;) {
        skip_blanks();
        if (p_ == end_ || *p_ != '[') return fail("bad array: expected a row", start);
        const std::size_t before = elements.size();
        if (!row(elements, start)) return false;
        const std::size_t n = elements.size() - before;
        if (rows > 0 && n != cols) return fail("bad array: rows of different lengths", start);
        cols = n;
        ++rows;
        skip_blanks();
        if (p_ == end_) return fail("bad array: no closing ']'", start);
        if (*p_ == ']') {
          ++p_;
          break;
        }
        if (*p_ != ',') return fail("bad array: expected ',' or ']'", start);
        ++p_;
      }
      type_elements(elements, typed_, value, false);
      value.rank = 2;
      value.rows = rows;
      value.cols = cols;
      return true;
    }
    if (!row(elements, start)) return false;
    type_elements(elements, typed_, value, false);
    value.rank = 1;
    value.cols = elements.size();
    return true;
  }

  const char* p_;
  const char* end_;
};

// Whether the line names Properties: "Properties" then '=' after blanks.
bool mentions_properties(std::string_view line) {
  for (std::size_t at = line.find("Properties"); at != std::string_view::npos; at = line.find("Properties", at + 1)) {
    std::size_t i = at + 10;
    while (i < line.size() && is_blank(line[i])) ++i;
    if (i < line.size() && line[i] == '=') return true;
  }
  return false;
}

std::unexpected<Error> comment_error(std::string problem, std::string_view field) {
  return format_error(kExtxyz, "comment line: " + problem, field);
}

Result<std::vector<Column>> read_properties(const InfoValue& value) {
  const std::string_view text = value.type == ValueType::String && value.rank == 0 ? std::string_view(value.strings[0]) : std::string_view();
  auto bad = [&] { return comment_error(fill_message("Properties must be name:T:m triplets (T one of S, R, I, L; m at least 1), got '{}'", {text}), text); };
  if (text.empty()) return bad();
  std::vector<std::string_view> parts;
  for (std::size_t start = 0;;) {
    const std::size_t colon = text.find(':', start);
    parts.push_back(text.substr(start, colon == std::string_view::npos ? std::string_view::npos : colon - start));
    if (colon == std::string_view::npos) break;
    start = colon + 1;
  }
  if (parts.size() % 3 != 0) return bad();
  std::vector<Column> columns;
  for (std::size_t k = 0; k < parts.size(); k += 3) {
    Column c;
    if (parts[k].empty() || parts[k + 1].size() != 1) return bad();
    c.name.assign(parts[k]);
    // Lower-case letters, as some generators of training sets write them,
    // mean what their capitals mean.
    switch (parts[k + 1][0]) {
      case 'S': case 's': c.type = ValueType::String; break;
      case 'R': case 'r': c.type = ValueType::Real; break;
      case 'I': case 'i': c.type = ValueType::Integer; break;
      case 'L': case 'l': c.type = ValueType::Logical; break;
      default: return bad();
    }
    const auto width = read_extxyz_integer(parts[k + 2]);
    if (!all_digits(parts[k + 2]) || !width || *width < 1 || *width > (1 << 20)) return bad();
    c.width = static_cast<std::size_t>(*width);
    for (const Column& earlier : columns) {
      if (earlier.name == c.name) return comment_error(fill_message("Properties names column '{}' twice", {c.name}), text);
    }
    columns.push_back(std::move(c));
  }
  return columns;
}

std::vector<Column> default_columns() {
  return {Column{"species", ValueType::String, 1}, Column{"pos", ValueType::Real, 3}};
}

}  // namespace

ValueType type_of_text(std::string_view text) { return classify(text).type; }

Result<Comment> parse_extxyz_comment(std::string_view line) {
  Comment comment;
  std::vector<InfoValue> pairs;
  bool any_equals = false;
  LineParser parser(line);
  const bool read = parser.pairs(pairs, any_equals);
  if (!read && mentions_properties(line)) return comment_error(parser.problem_, parser.at_);
  if (!read || !any_equals) {
    comment.plain = true;
    InfoValue whole;
    whole.key = "comment";
    whole.strings.emplace_back(line);
    comment.info.push_back(std::move(whole));
    comment.columns = default_columns();
    return comment;
  }
  bool has_pbc = false;
  bool has_properties = false;
  comment.info.reserve(pairs.size());
  for (InfoValue& value : pairs) {
    if (value.key == "Properties") {
      auto columns = read_properties(value);
      if (!columns) return std::unexpected(std::move(columns.error()));
      comment.columns = std::move(*columns);
      has_properties = true;
    } else if (value.key == "Lattice") {
      const bool numeric = value.type == ValueType::Real || value.type == ValueType::Integer;
      if (!numeric || value.size() != 9 || value.rank == 0 || (value.rank == 2 && value.rows != 3))
        return comment_error("Lattice must be 9 reals or a 3x3 array", {});
      std::array<double, 9> cell{};
      for (std::size_t k = 0; k < 9; ++k)
        cell[k] = value.type == ValueType::Real ? value.reals[k] : static_cast<double>(value.integers[k]);
      comment.cell = cell;
    } else if (value.key == "pbc") {
      if (value.type != ValueType::Logical || value.rank != 1 || value.size() != 3)
        return comment_error("pbc must be three logicals", {});
      for (std::size_t k = 0; k < 3; ++k) comment.pbc[k] = value.logicals[k] != 0;
      has_pbc = true;
    } else {
      comment.info.push_back(std::move(value));
    }
  }
  if (!has_properties) comment.columns = default_columns();
  if (!has_pbc) comment.pbc.fill(comment.cell.has_value());
  return comment;
}

}  // namespace io_rs::xyz
