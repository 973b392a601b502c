#include "core/message.hpp"
#include "core/piece.hpp"
#include "vasp/vasp_scan.hpp"

namespace io_rs::vasp {
namespace {

constexpr std::string_view kSelective = "Ss";
constexpr std::string_view kCartesian = "CcKk";
constexpr std::string_view kModes = "CcKkDd";

bool starts_with_one_of(std::string_view line, std::string_view letters) noexcept {
  const std::string_view body = trimmed(line);
  return !body.empty() && letters.find(body.front()) != std::string_view::npos;
}

}  // namespace

Result<PoscarScan> scan_poscar(std::string_view buffer) {
  LineCursor lines(buffer, 0);
  auto place = [&] { return Place{1 + lines.taken(), lines.offset(), 0}; };
  auto header = read_vasp_header("POSCAR", buffer, Base{}, lines);
  if (!header) return std::unexpected(std::move(header.error()));
  PoscarScan scan{std::move(*header), false, false, {}, std::nullopt};
  const std::uint64_t natoms = scan.header.natoms();

  if (!lines.done() && starts_with_one_of(lines.peek(), kSelective)) {
    scan.selective = true;
    lines.next();
  }
  if (lines.done()) return expected_error("POSCAR", "the Direct/Cartesian line", "the end of the file", place());
  scan.cartesian = starts_with_one_of(lines.next(), kCartesian);

  // The blocks' lines are counted here and read by the block reader, which
  // also reports a block cut short.
  auto block = [&] {
    FrameEntry entry{lines.offset(), 1 + lines.taken(), natoms, 0, -1, 0};
    lines.skip(natoms);
    entry.end = lines.offset();
    return entry;
  };
  scan.positions = block();

  LineCursor rest = lines;
  while (!rest.done() && is_blank(rest.peek())) rest.next();
  if (rest.done()) return scan;
  const std::string_view separator = lines.peek();
  if (!is_blank(separator) && !starts_with_one_of(separator, kModes)) {
    return expected_error("POSCAR", "the end of the file, or a blank or Direct/Cartesian line before the velocities",
                          quoted_line(&separator), place());
  }
  lines.next();
  scan.velocities = block();
  return scan;
}

}  // namespace io_rs::vasp
