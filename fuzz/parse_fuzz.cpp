// Every reader of text on each input: FieldSplitter on the whole input as one
// line, then each parser on the input cut into lines, against one reference
// block parser given the format's rules and messages; then the readers of a
// file's bytes on the input as the block of a file, against those parsers,
// and the frame indexes. No crash, no read outside a line or the buffer, and
// the same message or the same arrays.
#include "core/fields.hpp"
#include "core/line_list.hpp"
#include "support/harness.hpp"
#include "support/reference.hpp"
#include "vasp/vasp.hpp"
#include "xyz/xyz.hpp"
#include "xyz/xyz_scan.hpp"
#include "vasp/vasp_scan.hpp"

namespace {

// The input cut at LF into the lines a parser is handed, as a file's lines are
// (a final LF ends the last line rather than starting another, and no line
// holds LF), each line in an exact block.
class InputLines {
 public:
  explicit InputLines(std::string_view all) : lines_(cut(all)) {}
  io_rs::LineList list() const { return lines_.list(); }

 private:
  std::vector<std::string_view> cut(std::string_view all) {
    std::vector<std::string_view> views;
    for (std::size_t start = 0, end = 0; start < all.size(); start = end + 1) {
      end = std::min(all.find('\n', start), all.size());
      views.push_back(texts_.copy(all.substr(start, end - start)));
    }
    return views;
  }
  fuzz::ExactTexts texts_;  // built before lines_, which views them
  io_rs::PlainLines lines_;
};

// A format's messages; XYZ lines start with a symbol (empty_line and not_utf8
// set), POSCAR lines with selective dynamics end with flags (bad_flag set).
struct Rules {
  const char *too_few, *bad_number, *empty_line = nullptr, *not_utf8 = nullptr, *bad_flag = nullptr;
};
constexpr Rules kPoscar{"POSCAR: not enough fields on atom line {} (need 3 coordinates)",
                        "POSCAR: cannot parse coordinate '{}' on atom line {}: {}"};
constexpr Rules kSelective{kPoscar.too_few, kPoscar.bad_number, nullptr, nullptr,
                           "POSCAR: expected selective dynamics flag 'T' or 'F', got '{}' on atom line {}"};
constexpr Rules kXdatcar{"XDATCAR: not enough fields on coordinate line {}",
                         "XDATCAR: cannot parse '{}' on line {}: {}"};
constexpr Rules kXyz{"XYZ: not enough position fields on atom line {}",
                     "XYZ: cannot parse coordinate '{}' on line {}: {}", "XYZ: empty line at atom index {}",
                     "XYZ: the symbol on atom line {} is not UTF-8 text"};

struct Block {
  std::vector<double> positions, flags;
  std::vector<std::string> symbols;  // an empty entry when it is not checked
};

// An ASCII symbol with its first letter up and the rest down; empty for a
// non-ASCII one, whose case mapping the Python tests hold to CPython's.
std::string ascii_symbol(std::string symbol) {
  for (std::size_t k = 0; k < symbol.size(); ++k) {
    char& c = symbol[k];
    if (static_cast<unsigned char>(c) >= 0x80) return {};
    if (k == 0 && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (k > 0 && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return symbol;
}

// Well-formed UTF-8 as the Unicode standard tables it: by the lead byte, the
// length of the sequence and the range of its second byte (any later one is
// 80..BF).
bool is_well_formed_utf8(std::string_view text) {
  struct Form {
    unsigned lead_low, lead_high, length, second_low, second_high;
  };
  constexpr Form kForms[] = {{0x00, 0x7F, 1, 0, 0},       {0xC2, 0xDF, 2, 0x80, 0xBF}, {0xE0, 0xE0, 3, 0xA0, 0xBF},
                             {0xE1, 0xEC, 3, 0x80, 0xBF}, {0xED, 0xED, 3, 0x80, 0x9F}, {0xEE, 0xEF, 3, 0x80, 0xBF},
                             {0xF0, 0xF0, 4, 0x90, 0xBF}, {0xF1, 0xF3, 4, 0x80, 0xBF}, {0xF4, 0xF4, 4, 0x80, 0x8F}};
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    const Form* form = std::find_if(std::begin(kForms), std::end(kForms),
                                    [&](const Form& f) { return byte(0) >= f.lead_low && byte(0) <= f.lead_high; });
    if (form == std::end(kForms) || text.size() - i < form->length) return false;
    for (std::size_t k = 1; k < form->length; ++k) {
      if (byte(k) < (k == 1 ? form->second_low : 0x80) || byte(k) > (k == 1 ? form->second_high : 0xBF)) return false;
    }
    i += form->length;
  }
  return true;
}

fuzz::Expected<Block> reference_block(const Rules& rules, const io_rs::LineList& lines) {
  fuzz::Expected<Block> want;
  const auto refuse = [](const char* pattern, std::initializer_list<std::string_view> args) {
    return fuzz::Expected<Block>{io_rs::ErrorKind::Value, fuzz::fill(pattern, args), {}};
  };
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto fields = fuzz::reference_fields(lines[i]);
    const std::string at = std::to_string(i);
    std::size_t j = 0;
    if (rules.empty_line && fields.empty()) return refuse(rules.empty_line, {at});
    if (rules.not_utf8 && !is_well_formed_utf8(fields[0])) return refuse(rules.not_utf8, {at});
    if (rules.empty_line) want.value.symbols.push_back(ascii_symbol(std::string(fields[j++])));
    for (const std::size_t last = j + 3; j < last; ++j) {
      if (j >= fields.size()) return refuse(rules.too_few, {at});
      const auto number = fuzz::reference_number(fields[j]);
      if (!number) return refuse(rules.bad_number, {fields[j], at, number.error()});
      want.value.positions.push_back(*number);
    }
    // Fields after the coordinates are left alone, flags aside: F holds the
    // atom fixed (1), T lets it move (0), and a missing flag is T.
    for (const std::size_t last = j + 3; rules.bad_flag && j < last; ++j) {
      const bool flag = j < fields.size();
      if (flag && fields[j] != "F" && fields[j] != "T") return refuse(rules.bad_flag, {fields[j], at});
      want.value.flags.push_back(flag && fields[j] == "F");
    }
  }
  return want;
}

// Rows of three, each value the same (doubles by their bits, NaNs by sign).
template <class T>
void check_rows(const std::string& what, const std::vector<double>& want, const io_rs::OwnedMatrix<T>& got) {
  if (got.cols != 3 || got.rows * 3 != want.size())
    fuzz::fail(what + " shape", std::to_string(want.size() / 3) + " x 3",
               std::to_string(got.rows) + " x " + std::to_string(got.cols));
  for (std::size_t k = 0; k < want.size(); ++k) {
    if (!fuzz::same_double(want[k], got.values[k]))
      fuzz::fail(what + " at row " + std::to_string(k / 3) + " column " + std::to_string(k % 3),
                 fuzz::describe(want[k]), fuzz::describe(got.values[k]));
  }
}

void check_xyz(const Block& want, const io_rs::xyz::XyzBlock& got) {
  check_rows("position", want.positions, got.positions);
  if (got.symbols.size() != want.symbols.size())
    fuzz::fail("symbol count", std::to_string(want.symbols.size()), std::to_string(got.symbols.size()));
  for (std::size_t i = 0; i < want.symbols.size(); ++i) {
    if (got.symbols[i].empty()) fuzz::fail("symbol " + std::to_string(i), "a symbol", "");
    if (!want.symbols[i].empty()) fuzz::check_equal("symbol " + std::to_string(i), want.symbols[i], got.symbols[i]);
  }
}

// A reader of a file's bytes against the routine over the same lines: the
// same message followed by the place in the file, or results that compare
// finds equal.
template <class L, class B, class Compare>
void check_buffer(const io_rs::Result<L>& lines, const io_rs::Result<B>& buffer, Compare compare) {
  if (!lines) {
    if (buffer) fuzz::fail("read a block its lines refuse", lines.error().message(), "(a result)");
    const std::string got = buffer.error().message();
    if (!got.starts_with(lines.error().message()) || got.find(" (line ", lines.error().message().size()) == got.npos)
      fuzz::fail("message", lines.error().message() + " (line L of the file, byte B)", got);
    return;
  }
  if (!buffer) fuzz::fail("refused a block its lines read", "(a result)", buffer.error().message());
  compare(*lines, *buffer);
}

void same_rows(const io_rs::OwnedMatrix<double>& want, const double* got) {
  for (std::size_t k = 0; k < want.rows * 3; ++k) {
    if (!fuzz::same_double(want.values[k], got[k]))
      fuzz::fail("value " + std::to_string(k), fuzz::describe(want.values[k]), fuzz::describe(got[k]));
  }
}

// A scan fed in pieces of every size the input's last byte picks ends as one
// scan of the whole: the same frames, the same failure.
template <class Scan>
void check_pieces(fuzz::ExactTexts& files, std::string_view input, Scan scan) {
  const auto whole = scan(files.copy(input), io_rs::Base{}, true);
  const std::size_t step = input.empty() ? 1 : 1 + static_cast<unsigned char>(input.back()) % 23;
  io_rs::FrameTable frames;
  io_rs::Base base;
  std::size_t start = 0, end = 0;
  for (;;) {
    end = std::min(input.size(), end + step);  // what the next read brings
    const bool last = end == input.size();
    auto piece = scan(files.copy(input.substr(start, end - start)), base, last);
    if (!piece) {
      if (whole) fuzz::fail("a piece refused what the whole read", "(frames)", piece.error().message());
      fuzz::check_equal("message in pieces", whole.error().message(), piece.error().message());
      return;
    }
    frames.insert(frames.end(), piece->frames.begin(), piece->frames.end());
    base = io_rs::Base{base.byte + piece->stop.consumed, piece->stop.line, 0, base.frame + piece->frames.size()};
    start += piece->stop.consumed;
    if (piece->stop.complete) break;
    if (last) fuzz::fail("scan", "complete at the end of the input", "incomplete");
  }
  if (!whole) fuzz::fail("pieces read what the whole refused", whole.error().message(), "(frames)");
  if (frames.size() != whole->frames.size())
    fuzz::fail("frames in pieces", std::to_string(whole->frames.size()), std::to_string(frames.size()));
  for (std::size_t k = 0; k < frames.size(); ++k) {
    if (frames[k].offset != whole->frames[k].offset || frames[k].line != whole->frames[k].line ||
        frames[k].end != whole->frames[k].end || frames[k].number != whole->frames[k].number)
      fuzz::fail("frame " + std::to_string(k) + " in pieces", "that of the whole scan", "another");
  }
}

void check_scanners(fuzz::ExactTexts& files, std::string_view input) {
  fuzz::testing("scan_xyz", input);
  check_pieces(files, input, [](std::string_view buffer, const io_rs::Base& base, bool last) {
    return io_rs::xyz::scan_xyz(buffer, 0, base, last);
  });
  fuzz::testing("scan_xdatcar", input);
  // The header once, from the piece that holds it whole (the file's start:
  // the whole scan reads it there too); later pieces go on among the frames.
  std::optional<io_rs::vasp::VaspHeader> first;
  check_pieces(files, input, [&](std::string_view buffer, const io_rs::Base& base, bool last) {
    if (base.byte == 0) first.reset();
    auto scan = io_rs::vasp::scan_xdatcar(buffer, 0, base, last, first ? &*first : nullptr);
    if (scan && !first && !scan->headers.empty()) first = scan->headers.front();
    return scan;
  });
  fuzz::testing("scan_poscar", input);
  if (const auto scan = io_rs::vasp::scan_poscar(files.copy(input)); scan && scan->positions.end > input.size())
    fuzz::fail("POSCAR block end", "inside the input", "past it");
}

void check_file_readers(std::string_view input, const io_rs::LineList& lines) {
  const std::size_t n = lines.size();
  fuzz::ExactTexts files;
  for (const bool selective : {false, true}) {
    fuzz::testing("read_poscar_block", input);
    check_buffer(io_rs::vasp::parse_poscar_positions(lines, selective),
                 io_rs::vasp::read_poscar_block(files.copy(input), 0, n, selective), [&](const auto& want, const auto& got) {
                   same_rows(want.positions, got.block.positions.values.data());
                   if (selective && !std::equal(want.flags->values.data(), want.flags->values.data() + 3 * n,
                                                got.block.flags->values.data()))
                     fuzz::fail("flags", "those of the lines", "others");
                   if (got.end != input.size()) fuzz::fail("end", std::to_string(input.size()), std::to_string(got.end));
                 });
  }
  fuzz::testing("read_xdatcar_frames", input);
  const std::string frame = "Direct configuration=     7\n" + std::string(input);
  check_buffer(io_rs::vasp::parse_xdatcar_coords(lines), io_rs::vasp::read_xdatcar_frames(files.copy(frame), 0, n, 1),
               [&](const auto& want, const auto& got) {
                 if (got.frames != 1 || got.numbers[0] != 7) fuzz::fail("frames", "one, numbered 7", "other");
                 same_rows(want, got.positions.data());
               });
  fuzz::testing("read_xyz_frames", input);
  const std::string xyz = std::to_string(n) + "\ncomment\n" + std::string(input);
  check_buffer(io_rs::xyz::parse_xyz_block(lines), io_rs::xyz::read_xyz_frames(files.copy(xyz), 0, 1),
               [&](const auto& want, const auto& got) {
                 if (got.frames != 1 || got.comments[0] != "comment") fuzz::fail("frame", "one, with its comment", "other");
                 same_rows(want.positions, got.positions.data());
                 for (std::size_t i = 0; i < n; ++i) fuzz::check_equal("symbol", want.symbols[i], got.symbols[i]);
               });
  // The input as a whole file: the indexes find the frames the readers read.
  const std::size_t natoms = input.empty() ? 0 : static_cast<unsigned char>(input[0]) % 4;
  fuzz::testing("index_xdatcar_frames", input);
  const auto xdatcar_index = io_rs::vasp::index_xdatcar_frames(files.copy(input), 0, natoms);
  const auto xdatcar_read = io_rs::vasp::read_xdatcar_frames(files.copy(input), 0, natoms, std::nullopt);
  if (xdatcar_index && xdatcar_read && xdatcar_index->size() != xdatcar_read->frames)
    fuzz::fail("frames found", std::to_string(xdatcar_read->frames), std::to_string(xdatcar_index->size()));
  fuzz::testing("index_xyz_frames", input);
  const auto xyz_index = io_rs::xyz::index_xyz_frames(files.copy(input), 0);
  const auto xyz_read = io_rs::xyz::read_xyz_frames(files.copy(input), 0, std::nullopt);
  if (xyz_index && xyz_read && xyz_index->size() != xyz_read->frames)
    fuzz::fail("frames found", std::to_string(xyz_read->frames), std::to_string(xyz_index->size()));
  check_scanners(files, input);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  // The fields as views into the line itself, at the same places; once the
  // line is used up it stays used up.
  fuzz::testing("FieldSplitter", input);
  fuzz::ExactTexts exact;
  const std::string_view line = exact.copy(input);
  io_rs::FieldSplitter splitter(line);
  const auto fields = fuzz::reference_fields(line);
  for (std::size_t k = 0; k < fields.size() + 2; ++k) {
    const std::string_view want = k < fields.size() ? fields[k] : std::string_view(), got = splitter.next();
    if (got.size() != want.size() || (k < fields.size() && got.data() != want.data()))
      fuzz::fail("field " + std::to_string(k), want, got);
  }

  const InputLines lines(input);
  for (const bool selective : {false, true}) {
    fuzz::testing(selective ? "parse_poscar_positions (selective)" : "parse_poscar_positions", input);
    fuzz::check(reference_block(selective ? kSelective : kPoscar, lines.list()),
                io_rs::vasp::parse_poscar_positions(lines.list(), selective),
                [&](const Block& want, const io_rs::vasp::PoscarBlock& got) {
                  check_rows("position", want.positions, got.positions);
                  if (got.flags.has_value() != selective)
                    fuzz::fail("flag array presence", selective ? "yes" : "no", got.flags ? "yes" : "no");
                  if (selective) check_rows("flag", want.flags, *got.flags);
                });
  }
  fuzz::testing("parse_xdatcar_coords", input);
  fuzz::check(reference_block(kXdatcar, lines.list()), io_rs::vasp::parse_xdatcar_coords(lines.list()),
              [](const Block& want, const auto& got) { check_rows("position", want.positions, got); });
  fuzz::testing("parse_xyz_block", input);
  fuzz::check(reference_block(kXyz, lines.list()), io_rs::xyz::parse_xyz_block(lines.list()), check_xyz);
  check_file_readers(input, lines.list());
  return 0;
}
