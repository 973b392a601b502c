#include "vasp/vasp_header.hpp"

#include <algorithm>
#include <charconv>

#include "core/fields.hpp"
#include "core/message.hpp"
#include "core/number_read.hpp"
#include "core/piece.hpp"
#include "core/utf8.hpp"

namespace io_rs::vasp {
namespace {

constexpr std::string_view kAxes[] = {"a", "b", "c"};

bool is_count(std::string_view field) noexcept {
  return !field.empty() && std::all_of(field.begin(), field.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::vector<std::string_view> fields_of(std::string_view line) {
  std::vector<std::string_view> fields;
  FieldSplitter splitter(line);
  for (std::string_view field = splitter.next(); !field.empty(); field = splitter.next()) fields.push_back(field);
  return fields;
}

// The header's lines one at a time, each with its place.
class HeaderLines {
 public:
  HeaderLines(std::string_view format, const Base& base, LineCursor& lines)
      : format_(format), base_(base), lines_(lines), first_(lines.taken()) {}

  Place place() const noexcept { return {base_.line + (lines_.taken() - first_), base_.byte + lines_.offset(), 0}; }

  // The next line, or nothing at the end of the lines; at_ is its place.
  const std::string_view* next() {
    at_ = place();
    if (lines_.done()) return nullptr;
    line_ = lines_.next();
    if (!line_.empty() && line_.back() == '\r') line_.remove_suffix(1);
    return &line_;
  }

  Result<std::string_view> text(const std::string_view* line, std::string_view what) const {
    if (line == nullptr) return expected(what, nullptr);
    if (!is_utf8(*line)) return std::unexpected(expected_error(format_, "UTF-8 text", "bytes that are not", at_).error());
    return *line;
  }

  std::unexpected<Error> expected(std::string_view what, const std::string_view* line) const {
    return expected_error(format_, std::string(what), quoted_line(line), at_);
  }
  const Place& at() const noexcept { return at_; }

 private:
  std::string_view format_;
  const Base& base_;
  LineCursor& lines_;
  std::uint64_t first_;
  std::string_view line_;
  Place at_;
};

std::optional<double> number_of(std::string_view field) {
  if (field.empty()) return std::nullopt;
  const auto value = read_number(field);
  return value ? std::optional<double>(*value) : std::nullopt;
}

}  // namespace

std::uint64_t VaspHeader::natoms() const noexcept {
  std::uint64_t total = 0;
  for (std::uint64_t count : counts) total += count;
  return total;
}

std::string quoted_line(const std::string_view* line) {
  if (line == nullptr) return "the end of the file";
  return fill_message("'{}'", {trimmed(*line)});
}

Result<VaspHeader> read_vasp_header(std::string_view format, std::string_view buffer, const Base& base,
                                    LineCursor& lines) {
  (void)buffer;
  VaspHeader header;
  HeaderLines in(format, base, lines);
  header.offset = lines.offset();
  const std::string_view* line = in.next();
  header.place = in.at();
  auto comment = in.text(line, "the comment line");
  if (!comment) return std::unexpected(std::move(comment.error()));
  header.comment = *comment;

  line = in.next();
  header.scale_place = in.at();
  const auto scale_fields = line ? fields_of(*line) : std::vector<std::string_view>{};
  const auto scale = scale_fields.empty() ? std::nullopt : number_of(scale_fields[0]);
  if (!scale) return in.expected("the scale factor", line);
  if (scale_fields.size() > 1 && number_of(scale_fields[1]))
    return in.expected("one scale factor (three, one per axis, are not supported)", line);
  header.scale = *scale;

  for (int axis = 0; axis < 3; ++axis) {
    line = in.next();
    FieldSplitter fields(line ? *line : std::string_view{});
    for (int j = 0; j < 3; ++j) {
      const auto value = number_of(fields.next());
      if (!value) return in.expected(fill_message("lattice vector {} (three numbers)", {kAxes[axis]}), line);
      header.lattice[3 * axis + j] = *value;
    }
  }

  line = in.next();
  header.species_place = header.counts_place = in.at();
  auto names = fields_of(line ? *line : std::string_view{});
  if (names.empty()) return in.expected("the species names or the atom counts", line);
  std::vector<std::string_view> counts;
  if (std::all_of(names.begin(), names.end(), is_count)) {
    counts = std::move(names);
  } else {
    auto text = in.text(line, "the species names");
    if (!text) return std::unexpected(std::move(text.error()));
    header.has_species = true;
    header.species = std::move(names);
    line = in.next();
    header.counts_place = in.at();
    counts = fields_of(line ? *line : std::string_view{});
    if (counts.size() != header.species.size() || !std::all_of(counts.begin(), counts.end(), is_count))
      return in.expected(fill_message("{} atom counts, one per species", {header.species.size()}), line);
  }
  std::uint64_t total = 0;
  for (std::string_view field : counts) {
    std::uint64_t count = 0;
    const auto [stop, error] = std::from_chars(field.data(), field.data() + field.size(), count);
    // A count no file could hold is no count.
    if (error != std::errc() || count > (std::uint64_t{1} << 48) || (total += count) > (std::uint64_t{1} << 48))
      return in.expected("atom counts a file can hold", line);
    header.counts.push_back(count);
  }
  return header;
}

}  // namespace io_rs::vasp
