// The line that opens every XYZ frame: the atom count, one field of ASCII
// digits. Shared by the frame readers and the scanner.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/error.hpp"
#include "core/line_cursor.hpp"

namespace io_rs::xyz {

// The atom count of a count line. Nothing when the line is not a count line;
// an error when the count cannot be a count of anything in memory.
Result<std::optional<std::uint64_t>> read_count(std::string_view buffer, const Base& base, std::size_t line_offset,
                                                std::string_view line);

// The atom count of the count line at the cursor, and the cursor past it;
// nothing, with the cursor where it was, when the line is no count line.
Result<std::optional<std::size_t>> take_count(std::string_view buffer, const Base& base, LineCursor& lines);

// The error for frame (counted from 1) whose count line starts at
// count_offset and which ends as what says ("before its comment line").
std::unexpected<Error> cut_short(std::string_view buffer, const Base& base, std::uint64_t frame,
                                 std::size_t count_offset, std::string_view what);

}  // namespace io_rs::xyz
