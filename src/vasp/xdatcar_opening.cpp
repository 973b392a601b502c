#include "vasp/xdatcar_opening.hpp"

#include <charconv>
#include <limits>

#include "core/message.hpp"
#include "core/piece.hpp"

namespace io_rs::vasp {

Result<Opening> find_opening(std::string_view buffer, const Base& base, LineCursor& lines) {
  Opening opening{false, -1, lines.offset()};
  bool blank = false;
  while (!lines.done() && is_blank(lines.peek())) {
    lines.next();
    blank = true;
  }
  if (lines.done()) return opening;  // blank lines at the end open nothing
  std::string_view line = trimmed(lines.peek());
  if (!line.starts_with(kOpener)) {
    opening.frame = blank;
    return opening;
  }
  const std::size_t opener_offset = lines.offset();
  lines.next();
  const std::string_view digits = trimmed(line.substr(kOpener.size()));
  std::uint64_t number = 0;
  const auto [stop, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (digits.empty() || digits.front() == '-' || digits.front() == '+' || error != std::errc() ||
      stop != digits.data() + digits.size() || number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return at(format_error("XDATCAR", fill_message("expected a frame number after '{}', got '{}'", {kOpener, digits}), digits),
              place_of(buffer, base, opener_offset));
  }
  opening.frame = true;
  opening.number = static_cast<std::int64_t>(number);
  return opening;
}

std::unexpected<Error> cut_short(std::string_view buffer, const Base& base, const Opening& opening, std::size_t read,
                                 std::size_t natoms) {
  const std::string frame = opening.number < 0 ? std::string("the frame")
                                               : fill_message("frame {}", {static_cast<std::uint64_t>(opening.number)});
  return at(format_error("XDATCAR", fill_message("{} ends after {} of {} coordinate lines", {frame, read, natoms})),
            place_of(buffer, base, opening.offset));
}

}  // namespace io_rs::vasp
