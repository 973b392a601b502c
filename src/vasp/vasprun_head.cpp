#include "vasp/vasprun_head.hpp"

#include <algorithm>

#include "core/message.hpp"
#include "core/utf8.hpp"

namespace io_rs::vasp::vasprun {
namespace {

using xml::Event;

class HeadReader {
 public:
  HeadReader(std::string_view buffer, std::size_t offset, bool last, Head& head)
      : cursor_(buffer, offset), buffer_(buffer), last_(last), head_(head) {}

  void run();

 private:
  Event atominfo();
  Event atoms_array(std::vector<std::string>& symbols);
  Event row(std::size_t column, std::vector<std::string>& symbols);
  Event fail(std::size_t offset, std::string expected, std::string found);
  void ended_by(Event e);

  xml::Cursor cursor_;
  std::string_view buffer_;
  bool last_;
  Head& head_;
};

Event HeadReader::fail(std::size_t offset, std::string expected, std::string found) {
  head_.fault = StepFault{offset, 0, std::move(expected), std::move(found), {}};
  return Event::Fault;
}

// What a Cut, Fault or NUL byte in the header makes of it.
void HeadReader::ended_by(Event e) {
  if (e == Event::Nul) {
    const std::size_t at = cursor_.nul();
    if (!std::all_of(buffer_.begin() + static_cast<std::ptrdiff_t>(at), buffer_.end(), [](char c) { return c == '\0'; })) {
      head_.fault = StepFault{at, 0, {}, {}, "NUL bytes before the first ionic step (a damaged file)"};
      return;
    }
    e = Event::Cut;
  }
  if (e == Event::Cut) {
    head_.more = !last_;
    head_.cut = last_;
    head_.cut_at = buffer_.size();
  } else if (e == Event::Fault && !head_.fault) {
    const xml::Fault& f = cursor_.fault();
    head_.fault = StepFault{f.offset, 0, f.expected, f.found, f.problem};
  }
  if (head_.fault && !last_ && buffer_.size() - head_.fault->offset < kFaultMargin) {
    head_.fault.reset();  // read again with the next piece's bytes (see kFaultMargin)
    head_.more = true;
  }
}

Event HeadReader::row(std::size_t column, std::vector<std::string>& symbols) {
  const std::size_t at = cursor_.tag().offset;
  std::size_t k = 0;
  bool found = false;
  for (;;) {
    Event e = cursor_.next();
    if (e == Event::End) break;
    if (e != Event::Start) return e;
    if (cursor_.tag().name == "c" && k++ == column) {
      std::string_view text;
      e = cursor_.text(text);
      if (e != Event::End) return e;
      const std::string_view symbol = xml::strip(text);
      if (!is_utf8(symbol)) return fail(at, "an element name in UTF-8", xml::quoted(symbol));
      symbols.emplace_back(symbol);
      found = true;
    } else {
      e = cursor_.skip();
      if (e != Event::End) return e;
    }
  }
  if (!found) {
    return fail(at, fill_message("an element name in column {} of <rc>", {column + 1}),
                fill_message("{} columns", {k}));
  }
  return Event::End;
}

Event HeadReader::atoms_array(std::vector<std::string>& symbols) {
  std::vector<std::string> fields;
  for (;;) {
    Event e = cursor_.next();
    if (e != Event::Start) return e;
    const std::string_view name = cursor_.tag().name;
    if (name == "field") {
      std::string_view text;
      e = cursor_.text(text);
      if (e == Event::End) fields.emplace_back(xml::strip(text));
    } else if (name == "set") {
      // The column of the element's name: the field so called, else the first.
      const auto element = std::find(fields.begin(), fields.end(), "element");
      const std::size_t column = element == fields.end() ? 0 : static_cast<std::size_t>(element - fields.begin());
      for (;;) {
        e = cursor_.next();
        if (e != Event::Start) break;
        e = cursor_.tag().name == "rc" ? row(column, symbols) : cursor_.skip();
        if (e != Event::End) return e;
      }
    } else {
      e = cursor_.skip();
    }
    if (e != Event::End) return e;
  }
}

Event HeadReader::atominfo() {
  const std::size_t at = cursor_.tag().offset;
  std::optional<std::uint64_t> count;
  std::vector<std::string> symbols;
  bool array = false;
  for (;;) {
    Event e = cursor_.next();
    if (e == Event::End) break;
    if (e != Event::Start) return e;
    const xml::Tag tag = cursor_.tag();
    std::string_view name;
    if (tag.name == "atoms") {
      std::string_view text;
      e = cursor_.text(text);
      if (e != Event::End) return e;
      const std::string_view digits = xml::strip(text);
      std::uint64_t value = 0;
      if (digits.empty() || digits.size() > 18 ||
          !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return fail(tag.offset, "a whole number in <atoms>", xml::quoted(digits));
      for (char c : digits) value = value * 10 + static_cast<std::uint64_t>(c - '0');
      count = value;
    } else if (tag.name == "array" && cursor_.attribute(tag, "name", name) && name == "atoms") {
      array = true;
      e = atoms_array(symbols);
    } else {
      e = cursor_.skip();
    }
    if (e != Event::End) return e;
  }
  if (array && count && symbols.size() != *count)
    return fail(at, fill_message("{} rows in <array name=\"atoms\">, as <atoms> says", {*count}),
                fill_message("{}", {symbols.size()}));
  head_.natoms = count ? *count : symbols.size();
  if (array) head_.symbols = std::move(symbols);
  return Event::End;
}

void HeadReader::run() {
  Event e = cursor_.open();
  if (e != Event::Start) return ended_by(e);
  if (cursor_.tag().name != "modeling") {
    fail(cursor_.tag().offset, "<modeling>, the root element of a vasprun.xml",
         xml::bracketed("<", cursor_.tag().name, ">"));
    return;
  }
  head_.encoding = cursor_.encoding();
  bool read_atominfo = false;
  // A <structure> of <modeling> just read: with forces after it, a step.
  std::optional<std::size_t> structure;
  for (;;) {
    e = cursor_.next();
    if (e == Event::End) {  // </modeling>
      head_.ended = true;
      head_.end = cursor_.offset();
      return;
    }
    if (e != Event::Start) return ended_by(e);
    const xml::Tag tag = cursor_.tag();
    std::string_view name;
    if (tag.name == "calculation") {
      head_.end = tag.offset;
      return;
    }
    if (structure && tag.name == "varray" && cursor_.attribute(tag, "name", name) && name == "forces") {
      head_.end = *structure;
      return;
    }
    structure.reset();
    if (tag.name == "structure") structure = tag.offset;
    if (tag.name == "atominfo" && !read_atominfo) {
      read_atominfo = true;
      e = atominfo();
    } else {
      e = cursor_.skip();
    }
    if (e != Event::End) return ended_by(e);
  }
}

}  // namespace

Head read_head(std::string_view buffer, std::size_t offset, bool last) {
  Head head;
  HeadReader reader(buffer, offset, last, head);
  reader.run();
  return head;
}

}  // namespace io_rs::vasp::vasprun
