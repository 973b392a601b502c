// The header of a vasprun.xml: everything before its first step, read
// alone before the steps are cut for threads. It holds the root element
// (<modeling>), the XML declaration (the encoding), and <atominfo>: the
// atom count and each atom's element.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vasp/vasprun_steps.hpp"
#include "vasp/vasprun_xml.hpp"

namespace io_rs::vasp::vasprun {

struct Head {
  std::optional<std::vector<std::string>> symbols;  // of <atominfo>, one per atom
  std::uint64_t natoms = 0;                         // of <atominfo>; 0 without one
  xml::Encoding encoding = xml::Encoding::Utf8;
  std::size_t end = 0;     // where the first step starts: its <calculation>, or the <structure> before a
                           // <varray name="forces">
  bool ended = false;      // </modeling> came first: end is just past it
  bool more = false;       // the buffer (not the last piece) ends inside the header
  bool cut = false;        // the file ends inside the header
  std::size_t cut_at = 0;
  std::optional<StepFault> fault;
};

Head read_head(std::string_view buffer, std::size_t offset, bool last);

}  // namespace io_rs::vasp::vasprun
