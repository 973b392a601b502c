// A streaming reader of XML for vasprun.xml: tags, attributes, character
// data, comments, CDATA sections and processing instructions, read where
// they lie in the buffer, one tag at a time, with no tree. A vasprun.xml is
// mostly densities of states, eigenvalues and projections that a reader of
// ionic steps passes over: a DOM would hold all of it, and a general parser
// would build every node of it. This cursor checks what XML 1.0 asks of a
// well-formed document while it passes (names, quoting, references, nesting,
// one root, nothing after it) and hands out only the tags; the caller asks
// for the text of the few elements it reads.
//
// What it does not read: a document type declaration (refused: VASP writes
// none, and its entities would change what text means), encodings other
// than UTF-8, ISO-8859-1 and ASCII (refused), namespaces (a colon is a name
// character like any other). Bytes of 0x80 and above are taken as name and
// text characters without checking that they are well-formed UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace io_rs::vasp::xml {

enum class Encoding : unsigned char { Utf8, Latin1 };

// What next(), text() and skip() found.
enum class Event : unsigned char {
  Start,  // a start tag, or an empty-element tag (tag().empty; its End follows)
  End,    // an end tag, matched with the element it closes
  Done,   // the document ended, and the buffer with it
  Cut,    // the buffer ends before the document does
  Fault,  // the text is not well-formed XML: fault() says where and why
  Nul,    // a NUL byte at nul(): text a crash left damaged
};

struct Tag {
  std::size_t offset = 0;        // where its '<' is
  std::string_view name;
  std::string_view attributes;  // the text between the name and '>' or '/>'
  bool empty = false;            // <name ... />
};

// Why the text is not well-formed, at the byte offset where it shows.
// Either expected and found (what was due and what stood there), or a
// problem in words.
struct Fault {
  std::size_t offset = 0;
  std::string expected;
  std::string found;
  std::string problem;
};

class Cursor {
 public:
  // A cursor at buffer offset `offset`.
  Cursor(std::string_view buffer, std::size_t offset) noexcept;

  // Reads the document's start: a byte order mark, the XML declaration,
  // comments, processing instructions, then the root element's start tag
  // (Event::Start).
  Event open();
  // Goes on inside the root element named root, at a point between two of
  // its children, as a cursor that read the document up to there would.
  void resume(std::string_view root, Encoding encoding);

  // The next start or end tag, over character data, comments, CDATA and
  // processing instructions, each checked. After the root's end tag, what
  // follows must be comments, processing instructions and white space.
  Event next();
  // Right after a Start: the element's character data (references decoded,
  // CDATA included, comments and processing instructions left out), its end
  // tag read too. An element inside it is a Fault. The text is a view of the
  // buffer, or of a scratch copy that the next call may overwrite.
  Event text(std::string_view& out);
  // Right after a Start: everything up to and with the element's end tag.
  Event skip();
  // The fast path beside next() and text(), for the bulk of a vasprun.xml:
  // when the next element is a leaf written plainly (white space only
  // before it; <name> or <name attribute="value">; text without markup,
  // references or bytes that need a look; </name>), reads it whole, sets
  // tag() and its text, and returns true. Otherwise returns false with the
  // cursor unmoved, and the general path reads what is there (and says what
  // is wrong, where something is). With want_text false the text of an
  // ISO-8859-1 document may hold bytes above 0x7F as they are.
  bool leaf(std::string_view& text, bool want_text);

  // In a lenient mode for reading past damage: character data is not
  // checked, NUL bytes are passed over, a tag that cannot be read is taken
  // for text, an end tag closes the open element of its name and those
  // inside it, and one that matches no open element is left out.
  void set_lenient(bool lenient) noexcept { lenient_ = lenient; }
  // Closes the elements above depth, as their end tags would.
  void close_to(std::size_t depth) noexcept;
  // Makes the element just opened a child of the root: in lenient mode, a
  // start tag that can only stand there.
  void reparent() noexcept {
    if (stack_.size() > 2) stack_.erase(stack_.begin() + 1, stack_.end() - 1);
  }

  const Tag& tag() const noexcept { return tag_; }
  std::size_t depth() const noexcept { return stack_.size(); }
  std::size_t offset() const noexcept { return static_cast<std::size_t>(p_ - begin_); }
  std::size_t cut() const noexcept { return cut_; }
  std::size_t nul() const noexcept { return nul_; }
  const Fault& fault() const noexcept { return fault_; }
  Encoding encoding() const noexcept { return encoding_; }
  // Moves the cursor (lenient recovery: past a run of NUL bytes).
  void seek(std::size_t offset) noexcept { p_ = begin_ + offset; }

  // The value of attribute `name` of a tag (references decoded, white
  // space normalised as XML says); false when the tag has none.
  bool attribute(const Tag& tag, std::string_view name, std::string_view& value);

 private:
  enum class Phase : unsigned char { Prolog, Body, Epilog };

  Event markup(bool collect);
  Event start_tag();
  Event end_tag();
  Event comment();
  Event cdata(bool collect);
  Event instruction();
  Event reference(const char* at, bool collect, const char*& after);
  Event outside_text();
  Event lenient_next();
  Event cut_at(const char* at);
  // Up to `bytes` bytes from at, quoted, for a message.
  std::string found_at(const char* at, std::size_t bytes) const;
  Event fail(const char* at, std::string expected, std::string found);
  Event fail(const char* at, std::string problem);
  Event nul_at(const char* at);
  Event check_chars(const char* from, const char* to);
  void append_text(const char* from, const char* to);

  const char* begin_;
  const char* p_;
  const char* end_;
  std::vector<std::string_view> stack_;
  Phase phase_ = Phase::Prolog;
  Encoding encoding_ = Encoding::Utf8;
  bool lenient_ = false;
  bool pending_end_ = false;  // an empty-element tag, whose End is next
  Tag tag_;
  Fault fault_;
  std::size_t cut_ = 0;
  std::size_t nul_ = 0;
  std::string scratch_;
  std::string attribute_scratch_;
  std::vector<std::string_view> attribute_names_;  // of the tag being read
};

// XML white space.
constexpr bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Text with XML white space taken off both ends.
constexpr std::string_view strip(std::string_view text) noexcept {
  std::size_t first = 0, last = text.size();
  while (first < last && is_space(text[first])) ++first;
  while (last > first && is_space(text[last - 1])) --last;
  return text.substr(first, last - first);
}

// How messages show a tag or text found: at most 40 bytes, with "..." after
// a longer one.
std::string shown(std::string_view text);
// The same in single quotes: 'text'.
std::string quoted(std::string_view text);
// open + name + close, as in "</" "varray" ">".
std::string bracketed(std::string_view open, std::string_view name, std::string_view close);

}  // namespace io_rs::vasp::xml
