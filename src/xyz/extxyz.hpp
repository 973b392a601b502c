// Extended XYZ: the XYZ layout (count line, comment line, atom lines) with a
// comment line of key=value pairs that types the frame's information and,
// through Properties=name:T:m:..., the columns of its atom lines.
//
// The comment line is read into typed values (extxyz_comment.cpp), the atom
// lines by a row reader driven by the column schema (extxyz_columns.cpp), and
// frames are written back (extxyz_format.cpp) so that they read back equal.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/interned_texts.hpp"
#include "core/number_read.hpp"
#include "core/output_text.hpp"
#include "core/owned_buffer.hpp"

namespace io_rs::xyz {

inline constexpr std::string_view kExtxyz = "extended XYZ";

// The four types of the format: of info values and of atom columns.
enum class ValueType : unsigned char { Integer, Real, Logical, String };

// The letter Properties uses for a type: I, R, L or S.
char type_letter(ValueType type) noexcept;

// One value of the comment line: a scalar, a vector or a matrix of one type.
// Exactly one of the element lists is used, the one of its type, and holds
// rows * cols elements in row order (one for a scalar).
struct InfoValue {
  std::string key;
  ValueType type = ValueType::String;
  unsigned char rank = 0;  // 0 scalar, 1 vector of cols elements, 2 matrix
  std::size_t rows = 1;
  std::size_t cols = 1;
  std::vector<std::int64_t> integers;
  std::vector<double> reals;
  std::vector<std::uint8_t> logicals;
  std::vector<std::string> strings;

  std::size_t size() const noexcept { return rows * cols; }
};

// One group of columns of the atom lines: a name, a type and how many
// fields of the line it takes.
struct Column {
  std::string name;
  ValueType type = ValueType::Real;
  std::size_t width = 1;

  bool operator==(const Column&) const = default;
};

// What a comment line says about its frame.
struct Comment {
  std::vector<InfoValue> info;  // in line order, without Lattice, Properties and pbc
  std::vector<Column> columns;  // Properties, or species:S:1:pos:R:3
  // A plain comment (no key=value pair at all, or a line that cannot be read
  // as pairs and names no Properties): info holds it whole as "comment", and
  // atom lines are read as species and position, further fields ignored.
  bool plain = false;
  std::optional<std::array<double, 9>> cell;  // rows a, b, c
  std::array<bool, 3> pbc{};
};

// A real as the format writes it: the core's grammar, with d or D too as
// the exponent letter. Correctly rounded.
std::expected<double, NumberError> read_extxyz_real(std::string_view text);
// Optional sign and decimal digits, within 64 bits.
std::optional<std::int64_t> read_extxyz_integer(std::string_view text);
// The type a bare word of the comment line reads as.
ValueType type_of_text(std::string_view text);

// The comment line (without its line end) read as pairs; an error without a
// place (the caller knows it) when the line names Properties but cannot be
// read, or when Lattice, Properties or pbc do not have their form.
Result<Comment> parse_extxyz_comment(std::string_view line);

// The atom columns of a run of frames that share one schema, every frame's
// rows in order: reals and integers row-major (atoms x width), logicals one
// byte each, strings one entry per field.
struct ColumnData {
  OwnedBuffer<double> reals;
  OwnedBuffer<std::int64_t> integers;
  OwnedBuffer<std::uint8_t> logicals;
  InternedTexts texts;
};

// Frames read from a file's bytes: consecutive frames from offset that share
// the first one's column schema. Reading stops at the end of the buffer,
// after max_frames frames, or before a frame whose schema differs (end is
// then that frame's count line); blank lines at the end of the buffer are
// passed over. Anything else where a count line is due is an error. With
// threads > 1 the atom lines are read on up to that many threads; the
// result, or the first failure in file order, is the same.
struct ExtxyzFrames {
  std::vector<Column> columns;
  std::vector<ColumnData> data;  // one per column
  std::vector<Comment> comments;  // one per frame; their columns moved to `columns`
  std::vector<std::uint64_t> counts;
  std::size_t atoms = 0;
  std::size_t end = 0;
};
// Where the comments of frames already read can go while the other threads
// read on: the calling thread hands each stage of frames it finds read to
// take(first frame, their comments), between stages it reads itself. A
// frame layer turns them into its own objects there, instead of after the
// call; what it was not handed (every frame, on one thread) it turns after.
// Frames past where the run ends may be handed too. take may empty what it
// was handed (the frames' comments in the result are then those emptied),
// and returns false to be handed no more.
class CommentSink {
 public:
  virtual bool take(std::size_t first_frame, std::span<Comment> comments) noexcept = 0;

 protected:
  ~CommentSink() = default;
};

Result<ExtxyzFrames> read_extxyz_frames(std::string_view buffer, std::size_t offset,
                                        std::optional<std::uint64_t> max_frames, const Base& base = {},
                                        std::size_t threads = 1, CommentSink* sink = nullptr);

// Writing. A column to write, in place: `rows` rows of `width` elements,
// row-major and contiguous; strings are NumPy's fixed-width UTF-32 text,
// `chars` code points each, shorter texts padded with zeros.
struct ColumnSource {
  std::string_view name;
  ValueType type = ValueType::Real;
  std::size_t width = 1;
  const void* data = nullptr;
  std::size_t chars = 0;
};

// What a frame's comment line says, apart from the columns.
struct FrameHeader {
  std::span<const InfoValue> info;
  std::optional<std::array<double, 9>> cell;
  std::array<bool, 3> pbc{};
  std::uint64_t natoms = 0;
};

// The count line and the comment line of a frame: Lattice, Properties (from
// columns), the info pairs in order, pbc. Reals are written in the shortest
// form that reads back to the same float64. Fails on what could not read
// back equal: an empty key or array, a non-finite real, a string that would
// read back as another type, a reserved key in info.
Result<void> append_extxyz_header(OutputText& out, const FrameHeader& frame, std::span<const ColumnSource> columns);

// Atom lines [first, first + count) of the columns, fields separated by one
// space. Reals in the shortest round-trip form, or with exactly `decimals`
// decimals rounded half to even.
Result<void> append_extxyz_rows(OutputText& out, std::span<const ColumnSource> columns, std::size_t first,
                                std::size_t count, std::optional<std::uint16_t> decimals);

}  // namespace io_rs::xyz
