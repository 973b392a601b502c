#include <charconv>
#include <string>
#include <cmath>

#include "core/fields.hpp"
#include "core/message.hpp"
#include "core/piece.hpp"
#include "vasp/vasp_scan.hpp"
#include "vasp/xdatcar_opening.hpp"

namespace io_rs::vasp {
namespace {

bool one_field(std::string_view line) noexcept {
  FieldSplitter fields(line);
  return !fields.next().empty() && fields.next().empty();
}

std::string scale_text(double scale) {
  char digits[32];
  const auto [end, error] = std::to_chars(digits, digits + sizeof digits, scale);
  std::string text(digits, error == std::errc() ? end : digits);
  if (std::isfinite(scale) && text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

std::string joined(const std::vector<std::string_view>& words) {
  std::string text;
  for (std::string_view word : words) {
    if (!text.empty()) text += ' ';
    text += word;
  }
  return text;
}

std::string joined(const std::vector<std::uint64_t>& counts) {
  std::string text;
  for (std::uint64_t count : counts) {
    if (!text.empty()) text += ' ';
    text += std::to_string(count);
  }
  return text;
}

// A repeated header must keep the first one's scale factor, species and
// counts: the frames after it are read with the first one's atom count.
std::optional<Error> differs(std::string_view buffer, const Base& base, const VaspHeader& first,
                             const VaspHeader& header) {
  auto quoted = [&](const Place& place) {
    LineCursor lines(buffer, static_cast<std::size_t>(place.byte - base.byte));
    const std::string_view line = lines.next();
    return quoted_line(&line);
  };
  if (header.scale != first.scale && !(std::isnan(header.scale) && std::isnan(first.scale)))
    return expected_error("XDATCAR", fill_message("the first header's scale factor ({})", {scale_text(first.scale)}),
                          quoted(header.scale_place), header.scale_place).error();
  if (header.has_species != first.has_species || header.species != first.species)
    return expected_error("XDATCAR", fill_message("the first header's species ('{}')", {joined(first.species)}),
                          quoted(header.species_place), header.species_place).error();
  if (header.counts != first.counts)
    return expected_error("XDATCAR", fill_message("the first header's atom counts ('{}')", {joined(first.counts)}),
                          quoted(header.counts_place), header.counts_place).error();
  return std::nullopt;
}

}  // namespace

Result<XdatcarScan> scan_xdatcar(std::string_view buffer, std::size_t offset, const Base& base, bool last,
                                 const VaspHeader* first) {
  if (offset > buffer.size()) {
    return value_error(fill_message("scan_xdatcar_frames: offset {} is past the end of the buffer ({} bytes)",
                                    {offset, buffer.size()}));
  }
  const std::string_view view = complete_lines(buffer, last);
  const std::uint64_t line0 = place_of(buffer, base, offset).line;
  XdatcarScan scan;
  scan.stop = {offset, line0, false};
  if (offset > view.size()) return scan;  // not one whole line yet
  LineCursor lines(view, offset);
  auto line_of = [&](const LineCursor& cursor) { return line0 + cursor.taken(); };
  // The base for what starts at the cursor's line.
  auto base_at = [&](const LineCursor& cursor, std::uint64_t frame) {
    return Base{base.byte, line_of(cursor), cursor.offset(), frame};
  };

  std::optional<VaspHeader> own_first;
  if (first == nullptr) {
    LineCursor header_lines = lines;
    auto header = read_vasp_header("XDATCAR", view, base_at(lines, 0), header_lines);
    if (!header) {
      if (!last && header_lines.done()) return scan;
      return std::unexpected(std::move(header.error()));
    }
    own_first = *header;
    first = &*own_first;
    scan.headers.push_back(std::move(*header));
    lines = header_lines;
    scan.stop = {lines.offset(), line_of(lines), false};
  }
  const std::uint64_t natoms = first->natoms();

  for (;;) {
    if (lines.done()) {
      scan.stop.complete = last;
      break;
    }
    const std::size_t at = lines.offset();
    const std::string_view body = trimmed(lines.peek());
    // What the lines at the cursor hold: a frame, or a repeated header
    // (then how many blank lines stand before its comment line).
    bool header = false;
    std::size_t blanks_before_comment = 0;
    if (!body.starts_with(kOpener) && !body.empty()) {
      LineCursor look = lines;
      look.next();
      if (look.done() && !last) break;
      if (look.done() || !one_field(look.peek())) {
        const std::string_view line = lines.peek();
        return expected_error("XDATCAR", std::string("'Direct configuration=', a blank line or a repeated header"),
                              quoted_line(&line), Place{line_of(lines), base.byte + at, 0});
      }
      header = true;
    } else if (body.empty()) {
      // Blank lines open a frame in older files, unless the line after them
      // is a scale factor: then the last blank line is the blank comment of
      // a header.
      LineCursor look = lines;
      look.next();
      std::size_t blanks = 1;
      while (!look.done() && is_blank(look.peek())) {
        look.next();
        ++blanks;
      }
      if (look.done()) {  // blank lines at the end open nothing
        if (!last) break;
        scan.stop = {look.offset(), line_of(look), true};
        return scan;
      }
      const std::string_view next = trimmed(look.peek());
      if (!next.starts_with(kOpener) && one_field(next)) {
        header = true;
        blanks_before_comment = blanks - 1;
      }
    }

    if (header) {
      LineCursor header_lines = lines;
      header_lines.skip(blanks_before_comment);
      const Base header_base = base_at(header_lines, 0);
      auto repeated = read_vasp_header("XDATCAR", view, header_base, header_lines);
      if (!repeated) {
        if (!last && header_lines.done()) break;
        return std::unexpected(std::move(repeated.error()));
      }
      if (auto error = differs(view, base, *first, *repeated)) return std::unexpected(std::move(*error));
      scan.headers.push_back(std::move(*repeated));
      lines = header_lines;
    } else {
      LineCursor frame_lines = lines;
      const std::uint64_t frame = base.frame + scan.frames.size() + 1;
      const Base frame_base = base_at(lines, frame);
      auto opening = find_opening(view, frame_base, frame_lines);
      if (!opening) return std::unexpected(std::move(opening.error()));
      const std::size_t skipped = frame_lines.skip(natoms);
      if (skipped < natoms) {
        if (!last) break;
        auto error = cut_short(view, frame_base, *opening, skipped, natoms);
        error.error().place->frame = frame;
        return error;
      }
      scan.frames.push_back(FrameEntry{base.byte + at, line_of(lines), natoms,
                                       static_cast<std::int64_t>(scan.headers.size()) - 1, opening->number,
                                       base.byte + frame_lines.offset()});
      lines = frame_lines;
    }
    scan.stop = {lines.offset(), line_of(lines), false};
  }
  return scan;
}

}  // namespace io_rs::vasp
