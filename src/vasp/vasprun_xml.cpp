#include "vasp/vasprun_xml.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "core/message.hpp"
#include "core/portable.hpp"

namespace io_rs::vasp::xml {
namespace {

constexpr const char* kCdataEnd = "']]>' in character data, which XML does not allow";

// What a markup routine returns when it read something that is no event
// (a comment, a processing instruction, a reference): go on.
constexpr Event kGoOn = static_cast<Event>(255);

struct NameClasses {
  std::array<bool, 256> start{};
  std::array<bool, 256> rest{};
};

// XML names: a letter, '_' or ':' first, then also digits, '-' and '.'.
// Every byte of 0x80 and above counts as a letter.
constexpr NameClasses kNames = [] {
  NameClasses classes;
  for (int c = 0; c < 256; ++c) {
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80;
    classes.start[static_cast<std::size_t>(c)] = letter;
    classes.rest[static_cast<std::size_t>(c)] = letter || (c >= '0' && c <= '9') || c == '-' || c == '.';
  }
  return classes;
}();

inline bool name_start(char c) noexcept { return kNames.start[static_cast<unsigned char>(c)]; }
inline bool name_char(char c) noexcept { return kNames.rest[static_cast<unsigned char>(c)]; }

inline bool is_control(char c) noexcept {
  const auto b = static_cast<unsigned char>(c);
  return b < 0x20 && b != '\t' && b != '\n' && b != '\r';
}

// The first byte at or after p that ends a run of character data (see
// bytes::is_xml_text_stop; with high, bytes of 0x80 and above too), or end.
inline const char* find_stop(const char* p, const char* end, bool high) noexcept {
  while (end - p >= 16) {
    const unsigned mask = bytes::xml_text_stops16(p, high);
    if (mask != 0) return p + std::countr_zero(mask);
    p += 16;
  }
  while (p != end) {
    const auto c = static_cast<unsigned char>(*p);
    if (bytes::is_xml_text_stop(c) || (high && c >= 0x80)) break;
    ++p;
  }
  return p;
}

// Where text first occurs in [from, to), or to.
inline const char* find_text(const char* from, const char* to, std::string_view text) noexcept {
  const std::size_t at = std::string_view(from, static_cast<std::size_t>(to - from)).find(text);
  return at == std::string_view::npos ? to : from + at;
}

inline bool starts(const char* p, const char* end, std::string_view prefix) noexcept {
  return static_cast<std::size_t>(end - p) >= prefix.size() && std::memcmp(p, prefix.data(), prefix.size()) == 0;
}

// Whether the bytes at p, all of them up to end, begin prefix: more bytes
// could still make it.
inline bool could_start(const char* p, const char* end, std::string_view prefix) noexcept {
  const auto n = static_cast<std::size_t>(end - p);
  return n < prefix.size() && std::memcmp(p, prefix.data(), n) == 0;
}

// A character XML allows (what a character reference may name).
constexpr bool allowed_char(std::uint32_t c) noexcept {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

void append_utf8(std::string& out, std::uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The encodings a declaration may name (ASCII is UTF-8's first half).
bool encoding_named(std::string_view name, Encoding& encoding) {
  std::string lower;
  for (char c : name) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (lower == "utf-8" || lower == "utf8" || lower == "us-ascii" || lower == "ascii") {
    encoding = Encoding::Utf8;
    return true;
  }
  if (lower == "iso-8859-1" || lower == "iso8859-1" || lower == "iso_8859-1" || lower == "latin1" ||
      lower == "latin-1" || lower == "l1") {
    encoding = Encoding::Latin1;
    return true;
  }
  return false;
}

}  // namespace

std::string bracketed(std::string_view open, std::string_view name, std::string_view close) {
  std::string text;
  text.reserve(open.size() + name.size() + close.size());
  text.append(open).append(name).append(close);
  return text;
}

std::string quoted(std::string_view text) { return bracketed("'", shown(text), "'"); }

std::string shown(std::string_view text) {
  constexpr std::size_t kShown = 40;
  if (text.size() <= kShown) return std::string(text);
  return std::string(text.substr(0, kShown)) + "...";
}

Cursor::Cursor(std::string_view buffer, std::size_t offset) noexcept
    : begin_(buffer.data()), p_(buffer.data() + offset), end_(buffer.data() + buffer.size()) {}

void Cursor::resume(std::string_view root, Encoding encoding) {
  stack_.assign(1, root);
  phase_ = Phase::Body;
  encoding_ = encoding;
}

std::string Cursor::found_at(const char* at, std::size_t bytes) const {
  return quoted({at, std::min(bytes, static_cast<std::size_t>(end_ - at))});
}

Event Cursor::cut_at(const char* at) {
  cut_ = static_cast<std::size_t>(at - begin_);
  return Event::Cut;
}

// A NUL byte where the text goes wrong is damage, not malformed XML.
Event Cursor::fail(const char* at, std::string expected, std::string found) {
  if (at != end_ && *at == '\0') return nul_at(at);
  fault_ = Fault{static_cast<std::size_t>(at - begin_), std::move(expected), std::move(found), {}};
  return Event::Fault;
}

Event Cursor::fail(const char* at, std::string problem) {
  if (at != end_ && *at == '\0') return nul_at(at);
  fault_ = Fault{static_cast<std::size_t>(at - begin_), {}, {}, std::move(problem)};
  return Event::Fault;
}

Event Cursor::nul_at(const char* at) {
  nul_ = static_cast<std::size_t>(at - begin_);
  return Event::Nul;
}

Event Cursor::check_chars(const char* from, const char* to) {
  for (const char* p = from; p != to; ++p) {
    if (is_control(*p)) {
      if (*p == '\0') return nul_at(p);
      return fail(p, fill_message("a control character (byte {}), which XML does not allow",
                                  {static_cast<unsigned>(static_cast<unsigned char>(*p))}));
    }
  }
  return kGoOn;
}

void Cursor::append_text(const char* from, const char* to) {
  if (encoding_ == Encoding::Utf8) {
    scratch_.append(from, to);
    return;
  }
  for (const char* p = from; p != to; ++p) append_utf8(scratch_, static_cast<unsigned char>(*p));
}

Event Cursor::open() {
  const char* p = p_;
  if (starts(p, end_, "\xEF\xBB\xBF")) p += 3;
  if (could_start(p, end_, "<?xml ")) return cut_at(p);
  if (starts(p, end_, "<?xml") && end_ - p > 5 && is_space(p[5])) {
    const char* close = find_text(p + 5, end_, "?>");
    if (close == end_) return cut_at(p);
    if (Event e = check_chars(p, close); e != kGoOn) return e;
    // version="1.x", then encoding="..." and standalone="..." where given.
    const std::string_view declaration(p + 5, static_cast<std::size_t>(close - p - 5));
    std::size_t at = 0;
    bool version = false;
    while (true) {
      while (at < declaration.size() && is_space(declaration[at])) ++at;
      if (at == declaration.size()) break;
      const std::size_t name_begin = at;
      while (at < declaration.size() && name_char(declaration[at])) ++at;
      const std::string_view name = declaration.substr(name_begin, at - name_begin);
      while (at < declaration.size() && is_space(declaration[at])) ++at;
      if (name.empty() || at == declaration.size() || declaration[at] != '=')
        return fail(p, "a well-formed XML declaration", quoted(declaration));
      ++at;
      while (at < declaration.size() && is_space(declaration[at])) ++at;
      if (at == declaration.size() || (declaration[at] != '"' && declaration[at] != '\''))
        return fail(p, "a well-formed XML declaration", quoted(declaration));
      const std::size_t value_end = declaration.find(declaration[at], at + 1);
      if (value_end == std::string_view::npos)
        return fail(p, "a well-formed XML declaration", quoted(declaration));
      const std::string_view value = declaration.substr(at + 1, value_end - at - 1);
      at = value_end + 1;
      if (name == "version") {
        version = value.starts_with("1.");
      } else if (name == "encoding") {
        if (!encoding_named(value, encoding_))
          return fail(p, fill_message("the encoding '{}', which this reader does not read (UTF-8, ISO-8859-1 and "
                                      "ASCII are read)", {value}));
      } else if (name != "standalone") {
        return fail(p, "a well-formed XML declaration", quoted(declaration));
      }
    }
    if (!version) return fail(p, "an XML declaration with version=\"1.0\"", quoted(declaration));
    p = close + 2;
  }
  p_ = p;
  phase_ = Phase::Prolog;
  return outside_text();
}

Event Cursor::outside_text() {
  for (;;) {
    while (p_ != end_ && is_space(*p_)) ++p_;
    if (p_ == end_) return phase_ == Phase::Prolog ? cut_at(p_) : Event::Done;
    if (*p_ != '<') {
      if (*p_ == '\0') return nul_at(p_);
      return fail(p_, phase_ == Phase::Prolog ? "text before the root element"
                                              : "text after the end of the root element");
    }
    if (end_ - p_ < 2) return cut_at(p_);
    if (p_[1] == '?' || (p_[1] == '!' && (could_start(p_, end_, "<!--") || starts(p_, end_, "<!--")))) {
      const Event e = markup(false);
      if (e != kGoOn) return e;
      continue;
    }
    if (p_[1] == '!' && (could_start(p_, end_, "<!DOCTYPE") || starts(p_, end_, "<!DOCTYPE"))) {
      if (could_start(p_, end_, "<!DOCTYPE")) return cut_at(p_);
      return fail(p_, "a document type declaration (<!DOCTYPE>), which this reader does not read");
    }
    if (phase_ == Phase::Epilog)
      return fail(p_, "the end of the file after the root element's end", found_at(p_, 40));
    if (p_[1] == '/' || p_[1] == '!') return fail(p_, "the root element's start tag", found_at(p_, 40));
    const Event e = start_tag();
    if (e == Event::Start) phase_ = Phase::Body;
    return e;
  }
}

Event Cursor::next() {
  if (pending_end_) {
    pending_end_ = false;
    stack_.pop_back();
    if (stack_.empty()) phase_ = Phase::Epilog;
    return Event::End;
  }
  if (lenient_) return lenient_next();
  if (phase_ != Phase::Body) return outside_text();
  for (;;) {
    const char* p = find_stop(p_, end_, false);
    if (p == end_) return cut_at(p);
    switch (*p) {
      case '<': {
        p_ = p;
        const Event e = markup(false);
        if (e != kGoOn) return e;
        break;
      }
      case '&': {
        const char* after = nullptr;
        const Event e = reference(p, false, after);
        if (e != kGoOn) return e;
        p_ = after;
        break;
      }
      case ']':
        if (end_ - p >= 3 && p[1] == ']' && p[2] == '>') return fail(p, kCdataEnd);
        p_ = p + 1;
        break;
      default:
        if (*p == '\0') return nul_at(p);
        return check_chars(p, p + 1);
    }
  }
}

Event Cursor::markup(bool collect) {
  const char* p = p_;
  if (end_ - p < 2) return cut_at(p);
  switch (p[1]) {
    case '/':
      return end_tag();
    case '?':
      return instruction();
    case '!':
      if (starts(p, end_, "<!--")) return comment();
      if (starts(p, end_, "<![CDATA[")) return cdata(collect);
      if (could_start(p, end_, "<!--") || could_start(p, end_, "<![CDATA[")) return cut_at(p);
      return fail(p, "a comment (<!--) or a CDATA section (<![CDATA[) after '<!'",
                  found_at(p, 12));
    default:
      if (phase_ == Phase::Epilog) return outside_text();
      return start_tag();
  }
}

Event Cursor::start_tag() {
  const char* open = p_;
  const char* p = open + 1;
  if (!name_start(*p)) {
    return fail(p, "a tag name after '<'", found_at(open, 12));
  }
  const char* name_begin = p;
  while (p != end_ && name_char(*p)) ++p;
  if (p == end_) return cut_at(open);
  const std::string_view name(name_begin, static_cast<std::size_t>(p - name_begin));
  const char* attributes = p;
  bool empty = false;
  // The common tag without attributes: its name and '>' at once.
  if (*p == '>') {
    tag_.offset = static_cast<std::size_t>(open - begin_);
    tag_.name = name;
    tag_.attributes = {};
    tag_.empty = false;
    p_ = p + 1;
    stack_.push_back(name);
    return Event::Start;
  }
  attribute_names_.clear();  // for duplicates
  for (;;) {
    const char* before = p;
    while (p != end_ && is_space(*p)) ++p;
    if (p == end_) return cut_at(open);
    if (*p == '>') break;
    if (*p == '/') {
      if (p + 1 == end_) return cut_at(open);
      if (p[1] != '>') return fail(p + 1, bracketed("'>' after '/' in <", name, ">"), found_at(p + 1, 1));
      empty = true;
      break;
    }
    if (p == before || !name_start(*p)) {
      if (*p == '\0') return nul_at(p);
      return fail(p, bracketed("white space, an attribute, '>' or '/>' in <", name, ">"),
                  found_at(p, 12));
    }
    const char* attribute_begin = p;
    while (p != end_ && name_char(*p)) ++p;
    const std::string_view attribute(attribute_begin, static_cast<std::size_t>(p - attribute_begin));
    while (p != end_ && is_space(*p)) ++p;
    if (p == end_) return cut_at(open);
    if (*p != '=') return fail(p, fill_message("'=' after the attribute {} of <{}>", {attribute, name}), found_at(p, 1));
    ++p;
    while (p != end_ && is_space(*p)) ++p;
    if (p == end_) return cut_at(open);
    const char quote = *p;
    if (quote != '"' && quote != '\'')
      return fail(p, fill_message("a quoted value of the attribute {} of <{}>", {attribute, name}), found_at(p, 1));
    for (++p;; ++p) {
      if (p == end_) return cut_at(open);
      const char c = *p;
      if (c == quote) break;
      if (c == '<') {
        return fail(p, fill_message("'<' in the value of the attribute {} of <{}>, which XML does not allow",
                                    {attribute, name}));
      }
      if (c == '&') {
        const char* after = nullptr;
        const Event e = reference(p, false, after);
        if (e != kGoOn) return e;
        p = after - 1;
        continue;
      }
      if (is_control(c)) {
        if (c == '\0') return nul_at(p);
        return check_chars(p, p + 1);
      }
    }
    ++p;
    if (std::find(attribute_names_.begin(), attribute_names_.end(), attribute) != attribute_names_.end())
      return fail(attribute_begin, fill_message("the attribute {} given twice in <{}>", {attribute, name}));
    attribute_names_.push_back(attribute);
  }
  tag_.offset = static_cast<std::size_t>(open - begin_);
  tag_.name = name;
  tag_.attributes = std::string_view(attributes, static_cast<std::size_t>(p - attributes));
  tag_.empty = empty;
  p_ = p + (empty ? 2 : 1);
  stack_.push_back(name);
  pending_end_ = empty;
  return Event::Start;
}

Event Cursor::end_tag() {
  const char* open = p_;
  const char* p = open + 2;
  if (p == end_) return cut_at(open);
  if (!name_start(*p)) {
    return fail(p, "a tag name after '</'", found_at(open, 12));
  }
  const char* name_begin = p;
  while (p != end_ && name_char(*p)) ++p;
  const std::string_view name(name_begin, static_cast<std::size_t>(p - name_begin));
  while (p != end_ && is_space(*p)) ++p;
  if (p == end_) return cut_at(open);
  if (*p != '>') return fail(p, bracketed("'>' to end </", name, ">"), fill_message("'{}'", {std::string_view(p, 1)}));
  if (phase_ != Phase::Body) {
    return fail(open, "the end of the file after the root element's end", bracketed("</", name, ">"));
  }
  if (name != stack_.back()) return fail(open, bracketed("</", stack_.back(), ">"), bracketed("</", name, ">"));
  tag_.offset = static_cast<std::size_t>(open - begin_);
  tag_.name = name;
  tag_.attributes = {};
  tag_.empty = false;
  p_ = p + 1;
  stack_.pop_back();
  if (stack_.empty()) phase_ = Phase::Epilog;
  return Event::End;
}

Event Cursor::comment() {
  const char* open = p_;
  for (const char* p = open + 4;;) {
    const char* dash = static_cast<const char*>(std::memchr(p, '-', static_cast<std::size_t>(end_ - p)));
    const Event checked = check_chars(p, dash == nullptr ? end_ : dash);
    if (checked != kGoOn) return checked;
    if (dash == nullptr || end_ - dash < 3) return cut_at(open);
    if (dash[1] == '-') {
      if (dash[2] != '>') return fail(dash, "'--' inside a comment, which XML does not allow");
      p_ = dash + 3;
      return kGoOn;
    }
    p = dash + 1;
  }
}

Event Cursor::cdata(bool collect) {
  const char* open = p_;
  const char* content = open + 9;
  const std::string_view rest(content, static_cast<std::size_t>(end_ - content));
  const std::size_t close = rest.find("]]>");
  const char* stop = close == std::string_view::npos ? end_ : content + close;
  const Event checked = check_chars(content, stop);
  if (checked != kGoOn) return checked;
  if (close == std::string_view::npos) return cut_at(open);
  if (collect) append_text(content, stop);
  p_ = stop + 3;
  return kGoOn;
}

Event Cursor::instruction() {
  const char* open = p_;
  const char* p = open + 2;
  if (p == end_) return cut_at(open);
  if (!name_start(*p)) return fail(p, "a processing instruction's target after '<?'", found_at(open, 12));
  const char* target = p;
  while (p != end_ && name_char(*p)) ++p;
  if (p == end_) return cut_at(open);
  const std::string_view name(target, static_cast<std::size_t>(p - target));
  if (name.size() == 3 && (name[0] | 0x20) == 'x' && (name[1] | 0x20) == 'm' && (name[2] | 0x20) == 'l')
    return fail(open, "an XML declaration (<?xml ...?>) after the start of the file, where XML does not allow one");
  if (!is_space(*p) && *p != '?') return fail(p, "white space after the target of <?", found_at(p, 1));
  const std::string_view rest(p, static_cast<std::size_t>(end_ - p));
  const std::size_t close = rest.find("?>");
  const char* stop = close == std::string_view::npos ? end_ : p + close;
  const Event checked = check_chars(p, stop);
  if (checked != kGoOn) return checked;
  if (close == std::string_view::npos) return cut_at(open);
  p_ = stop + 2;
  return kGoOn;
}

Event Cursor::reference(const char* at, bool collect, const char*& after) {
  const char* p = at + 1;
  if (p == end_) return cut_at(at);
  if (*p == '#') {
    ++p;
    const bool hex = p != end_ && *p == 'x';
    if (hex) ++p;
    std::uint32_t value = 0;
    std::size_t digits = 0;
    for (; p != end_; ++p, ++digits) {
      const char c = *p;
      std::uint32_t digit;
      if (c >= '0' && c <= '9') {
        digit = static_cast<std::uint32_t>(c - '0');
      } else if (hex && ((c | 0x20) >= 'a' && (c | 0x20) <= 'f')) {
        digit = static_cast<std::uint32_t>((c | 0x20) - 'a' + 10);
      } else {
        break;
      }
      value = std::min<std::uint32_t>(value * (hex ? 16 : 10) + digit, 0x110000);
    }
    if (p == end_) return cut_at(at);
    if (digits == 0 || *p != ';')
      return fail(at, "a character reference such as &#38; or &#x26;", quoted({at, static_cast<std::size_t>(p - at + 1)}));
    if (!allowed_char(value))
      return fail(at, fill_message("the character reference {} names a character XML does not allow",
                                   {std::string_view(at, static_cast<std::size_t>(p - at + 1))}));
    after = p + 1;
    if (collect) append_utf8(scratch_, value);
    return kGoOn;
  }
  if (!name_start(*p)) return fail(at, "a reference such as &amp; after '&'", found_at(at, 12));
  const char* name_begin = p;
  while (p != end_ && name_char(*p)) ++p;
  if (p == end_) return cut_at(at);
  if (*p != ';') return fail(at, "a reference such as &amp; after '&'", quoted({at, static_cast<std::size_t>(p - at + 1)}));
  const std::string_view name(name_begin, static_cast<std::size_t>(p - name_begin));
  char value;
  if (name == "lt") {
    value = '<';
  } else if (name == "gt") {
    value = '>';
  } else if (name == "amp") {
    value = '&';
  } else if (name == "apos") {
    value = '\'';
  } else if (name == "quot") {
    value = '"';
  } else {
    return fail(at, fill_message("the entity &{}; is not defined", {name}));
  }
  after = p + 1;
  if (collect) scratch_ += value;
  return kGoOn;
}

Event Cursor::text(std::string_view& out) {
  if (pending_end_) {
    pending_end_ = false;
    stack_.pop_back();
    out = {};
    return Event::End;
  }
  const bool high = encoding_ == Encoding::Latin1;
  const char* start = p_;
  const char* run = p_;  // the first byte not yet copied, once copying
  bool copied = false;
  auto copy_to = [&](const char* to) {
    if (!copied) {
      scratch_.clear();
      copied = true;
    }
    append_text(run, to);
  };
  for (;;) {
    const char* p = find_stop(p_, end_, high);
    if (p == end_) return cut_at(p);
    const char c = *p;
    if (c == '<') {
      if (p + 1 != end_ && p[1] == '/') {
        p_ = p;
        const Event e = end_tag();
        if (e != Event::End) return e;
        if (copied) {
          append_text(run, p);
          out = scratch_;
        } else {
          out = std::string_view(start, static_cast<std::size_t>(p - start));
        }
        return Event::End;
      }
      if (p + 1 != end_ && p[1] != '!' && p[1] != '?') {
        return fail(p, bracketed("text or </", stack_.back(), ">"),
                    found_at(p, 20));
      }
      copy_to(p);
      p_ = p;
      const Event e = markup(true);
      if (e != kGoOn) return e;
      run = p_;
      continue;
    }
    if (c == '&') {
      copy_to(p);
      const char* after = nullptr;
      const Event e = reference(p, true, after);
      if (e != kGoOn) return e;
      p_ = run = after;
      continue;
    }
    if (c == ']') {
      if (end_ - p >= 3 && p[1] == ']' && p[2] == '>') return fail(p, kCdataEnd);
      p_ = p + 1;
      continue;
    }
    if (static_cast<unsigned char>(c) >= 0x80) {
      copy_to(p + 1);
      p_ = run = p + 1;
      continue;
    }
    if (c == '\0') return nul_at(p);
    return check_chars(p, p + 1);
  }
}

bool Cursor::leaf(std::string_view& text, bool want_text) {
  if (pending_end_ || lenient_ || phase_ != Phase::Body) return false;
  const char* p = p_;
  while (p != end_ && is_space(*p)) ++p;
  if (end_ - p < 7 || *p != '<' || !name_start(p[1])) return false;
  const char* name = p + 1;
  const char* q = name + 1;
  while (q != end_ && name_char(*q)) ++q;
  const auto n = static_cast<std::size_t>(q - name);
  const char* attributes = q;
  if (q != end_ && *q == ' ') {
    ++q;
    if (q == end_ || !name_start(*q)) return false;
    while (q != end_ && name_char(*q)) ++q;
    if (end_ - q < 3 || *q != '=' || (q[1] != '"' && q[1] != '\'')) return false;
    const char quote = q[1];
    for (q += 2; q != end_ && *q != quote; ++q) {
      if (*q == '<' || *q == '&' || is_control(*q)) return false;
    }
    if (q == end_) return false;
    for (++q; q != end_ && *q == ' ';) ++q;
  }
  if (q == end_ || *q != '>') return false;
  const char* start = q + 1;
  const char* stop = find_stop(start, end_, want_text && encoding_ == Encoding::Latin1);
  if (static_cast<std::size_t>(end_ - stop) < n + 3 || stop[0] != '<' || stop[1] != '/' || stop[n + 2] != '>')
    return false;
  for (std::size_t k = 0; k < n; ++k) {
    if (stop[2 + k] != name[k]) return false;
  }
  tag_.offset = static_cast<std::size_t>(p - begin_);
  tag_.name = std::string_view(name, n);
  tag_.attributes = std::string_view(attributes, static_cast<std::size_t>(q - attributes));
  tag_.empty = false;
  text = std::string_view(start, static_cast<std::size_t>(stop - start));
  p_ = stop + n + 3;
  return true;
}

Event Cursor::skip() {
  const std::size_t depth = stack_.size();
  std::string_view text;
  for (;;) {
    while (leaf(text, false)) {
    }
    const Event e = next();
    if (e == Event::End) {
      if (stack_.size() < depth) return e;
    } else if (e != Event::Start) {
      return e;
    }
  }
}

void Cursor::close_to(std::size_t depth) noexcept {
  if (stack_.size() > depth) stack_.resize(depth);
  pending_end_ = false;
  if (stack_.empty()) phase_ = Phase::Epilog;
}

Event Cursor::lenient_next() {
  for (;;) {
    const char* p = static_cast<const char*>(std::memchr(p_, '<', static_cast<std::size_t>(end_ - p_)));
    if (p == nullptr) return cut_at(end_);
    p_ = p;
    if (end_ - p < 2) return cut_at(p);
    if (p[1] == '/') {
      const char* q = p + 2;
      while (q != end_ && name_char(*q)) ++q;
      const std::string_view name(p + 2, static_cast<std::size_t>(q - p - 2));
      while (q != end_ && is_space(*q)) ++q;
      if (q == end_) return cut_at(p);
      if (name.empty() || *q != '>') {
        p_ = p + 1;
        continue;
      }
      p_ = q + 1;
      tag_ = Tag{static_cast<std::size_t>(p - begin_), name, {}, false};
      auto level = std::find(stack_.rbegin(), stack_.rend(), name);
      if (level != stack_.rend()) {
        stack_.resize(static_cast<std::size_t>(stack_.rend() - level) - 1);
        if (stack_.empty()) phase_ = Phase::Epilog;
      }
      return Event::End;
    }
    const char* close = nullptr;
    if (starts(p, end_, "<!--")) {
      close = find_text(p + 4, end_, "-->");
      if (close != end_) close += 3;
    } else if (starts(p, end_, "<![CDATA[")) {
      close = find_text(p + 9, end_, "]]>");
      if (close != end_) close += 3;
    } else if (p[1] == '?') {
      close = find_text(p + 2, end_, "?>");
      if (close != end_) close += 2;
    }
    if (close != nullptr) {
      if (close == end_) return cut_at(p);
      p_ = close;
      continue;
    }
    const Event e = start_tag();
    if (e == Event::Start || e == Event::Cut) return e;
    p_ = p + 1;
  }
}

bool Cursor::attribute(const Tag& tag, std::string_view name, std::string_view& value) {
  const std::string_view text = tag.attributes;
  std::size_t at = 0;
  while (at < text.size()) {
    while (at < text.size() && is_space(text[at])) ++at;
    const std::size_t name_begin = at;
    while (at < text.size() && name_char(text[at])) ++at;
    const std::string_view found = text.substr(name_begin, at - name_begin);
    while (at < text.size() && text[at] != '"' && text[at] != '\'') ++at;
    if (found.empty() || at == text.size()) return false;
    const std::size_t close = text.find(text[at], at + 1);
    if (close == std::string_view::npos) return false;
    const std::string_view raw = text.substr(at + 1, close - at - 1);
    at = close + 1;
    if (found != name) continue;
    // Attribute values have references decoded and each tab, LF or CR made a space.
    if (raw.find_first_of("&\t\n\r") == std::string_view::npos && (encoding_ == Encoding::Utf8 ||
        std::none_of(raw.begin(), raw.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; }))) {
      value = raw;
      return true;
    }
    attribute_scratch_.clear();
    std::swap(attribute_scratch_, scratch_);
    for (std::size_t k = 0; k < raw.size(); ++k) {
      const char c = raw[k];
      if (c == '&') {
        const char* after = nullptr;
        if (reference(raw.data() + k, true, after) != kGoOn) break;
        k = static_cast<std::size_t>(after - raw.data()) - 1;
      } else if (c == '\r' && k + 1 < raw.size() && raw[k + 1] == '\n') {
        // CR LF is one line end, one space.
      } else if (is_space(c)) {
        scratch_ += ' ';
      } else {
        append_text(raw.data() + k, raw.data() + k + 1);
      }
    }
    std::swap(attribute_scratch_, scratch_);
    value = attribute_scratch_;
    return true;
  }
  return false;
}

}  // namespace io_rs::vasp::xml
