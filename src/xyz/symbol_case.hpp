// Chemical symbol normalisation on reading an XYZ file: the whole field is
// lowercased by the full Unicode mappings (Final_Sigma judged within the field
// alone), then its first character is replaced by its full uppercase mapping.
// FE, fe and fE all give Fe; U+00DF gives "SS"; U+0130 gives "I" + U+0307.
#pragma once

#include <string>
#include <string_view>

namespace io_rs::xyz {

// Appends the normalised form of the UTF-8 field to out.
void append_normalized_symbol(std::string& out, std::string_view field);

// The common case without a call: a field of one to eight ASCII bytes is
// normalised into out (first letter up, the rest down); false, with out
// untouched, for any other field.
inline bool normalize_short_ascii(std::string_view field, char (&out)[8]) noexcept {
  if (field.empty() || field.size() > 8) return false;
  for (std::size_t k = 0; k < field.size(); ++k) {
    char c = field[k];
    if (static_cast<unsigned char>(c) >= 0x80) return false;
    if (k == 0 ? (c >= 'a' && c <= 'z') : (c >= 'A' && c <= 'Z')) c = static_cast<char>(c ^ 0x20);
    out[k] = c;
  }
  return true;
}

}  // namespace io_rs::xyz
