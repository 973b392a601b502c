#include "vasp/outcar_header.hpp"

#include <algorithm>
#include <charconv>

#include "core/fields.hpp"
#include "core/line_cursor.hpp"
#include "core/message.hpp"
#include "core/piece.hpp"
#include "vasp/outcar_texts.hpp"
#include "vasp/vasp_header.hpp"

namespace io_rs::vasp {
namespace {

// "VRHFIN =Li: 1s2s2p" and "VRHFIN =W : 6s5d": the symbol before the colon.
std::string_view vrhfin_symbol(std::string_view line) {
  const std::size_t equals = line.find('=');
  if (equals == std::string_view::npos) return {};
  std::string_view rest = line.substr(equals + 1);
  return trimmed(rest.substr(0, rest.find(':')));
}

// "TITEL  = PAW_PBE Li_sv 10Sep2004", "POTCAR:    US Ag": the POTCAR's
// name, its element before any '_' or digit ("H1.25", "Ni_pv").
std::string_view titel_symbol(std::string_view line, char separator) {
  const std::size_t equals = line.find(separator);
  if (equals == std::string_view::npos) return {};
  FieldSplitter fields(line.substr(equals + 1));
  fields.next();
  const std::string_view name = fields.next();
  std::size_t letters = 0;
  while (letters < name.size() && ((name[letters] >= 'A' && name[letters] <= 'Z') ||
                                   (name[letters] >= 'a' && name[letters] <= 'z')))
    ++letters;
  return name.substr(0, letters);
}

bool whole_number(std::string_view field, std::uint64_t& value) {
  const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
  return error == std::errc() && end == field.data() + field.size() && !field.empty();
}

// Whole numbers, one per field; false when a field is not one.
bool counts_of(std::string_view text, std::vector<std::uint64_t>& counts) {
  FieldSplitter fields(text);
  for (std::string_view field = fields.next(); !field.empty(); field = fields.next()) {
    std::uint64_t count = 0;
    if (!whole_number(field, count)) return false;
    counts.push_back(count);
  }
  return true;
}

}  // namespace

Result<HeaderRead> read_outcar_header(std::string_view view, std::size_t offset, const Base& base,
                                      OutcarHeader& header) {
  LineCursor lines(view, offset);
  std::string_view vrhfin;
  std::vector<std::string_view> potcars;  // the "POTCAR:" lines: the list, then each again as it is read
  bool nions_seen = false;
  auto place = [&](std::size_t at) { return Place{base.line + lines.taken() - 1, base.byte + at, 0}; };
  while (!lines.done()) {
    const std::size_t at = lines.offset();
    const std::string_view line = lines.next();
    const std::string_view body = trimmed(line);
    if (body.starts_with("POTCAR:")) {
      potcars.emplace_back(titel_symbol(body, ':'));
    } else if (body.starts_with("VRHFIN")) {
      vrhfin = vrhfin_symbol(body);
    } else if (body.starts_with("TITEL")) {
      header.species.emplace_back(vrhfin.empty() ? titel_symbol(body, '=') : vrhfin);
      vrhfin = {};
    } else if (const std::size_t nions = line.find("NIONS ="); nions != std::string_view::npos) {
      FieldSplitter fields(line.substr(nions + 7));
      if (!whole_number(fields.next(), header.nions))
        return expected_error(kOutcar, std::string(outcar_text::kNions), quoted_line(&line), place(at));
      nions_seen = true;
    } else if (body.starts_with("ions per type")) {
      const std::size_t equals = line.find('=');
      header.counts.clear();
      if (equals == std::string_view::npos || !counts_of(line.substr(equals + 1), header.counts) ||
          header.counts.empty())
        return expected_error(kOutcar, std::string(outcar_text::kCounts), quoted_line(&line), place(at));
      // Without TITEL lines (NWRITE=0), the species are the list of POTCARs
      // that the "POTCAR:" lines give before they are given again.
      if (header.species.empty() && !potcars.empty()) {
        const std::size_t half = potcars.size() / 2;
        std::size_t types = 0;
        if (potcars.size() % 2 == 0 && std::equal(potcars.begin(), potcars.begin() + half, potcars.begin() + half))
          types = half;
        else if (header.counts.size() <= potcars.size())
          types = header.counts.size();
        header.species.assign(potcars.begin(), potcars.begin() + static_cast<std::ptrdiff_t>(types));
      }
      std::uint64_t sum = 0;
      for (std::uint64_t count : header.counts) sum += count;
      if (!nions_seen) header.nions = sum;
      // VASP 6 prints ten counts at most: fewer than the species are a
      // beginning, which must not exceed NIONS; all of them must make it.
      const bool cut = header.counts.size() < header.species.size();
      if (cut ? sum > header.nions : sum != header.nions)
        return expected_error(kOutcar, fill_message(outcar_text::kCountsSum, {header.nions}), quoted_line(&line),
                              place(at));
      return HeaderRead{true, lines.offset(), base.line + lines.taken()};
    } else if (line.find("TOTAL-FORCE") != std::string_view::npos && body.starts_with("POSITION")) {
      return expected_error(kOutcar, std::string(outcar_text::kHeaderFirst), quoted_line(&line), place(at));
    }
  }
  return HeaderRead{false, offset, base.line};
}

}  // namespace io_rs::vasp
