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

}  // namespace io_rs::xyz
