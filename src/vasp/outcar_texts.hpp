// Every text of the OUTCAR messages, in one place. A message reads
// "OUTCAR 'file', line L: step S: expected ..., got '...'"; the step is
// named once the scan knows which step a line belongs to.
#pragma once

#include <string_view>

namespace io_rs::vasp::outcar_text {

inline constexpr std::string_view kDashesUnderHeader = "a line of dashes under the POSITION/TOTAL-FORCE header";
inline constexpr std::string_view kClosingDashes =
    "the line of dashes closing the POSITION/TOTAL-FORCE table after its {} atom lines";
inline constexpr std::string_view kRow =
    "six numbers (x y z, then the force) on atom line {} of the POSITION/TOTAL-FORCE table";
inline constexpr std::string_view kLattice =
    "three numbers (a lattice vector, then the reciprocal one) on line {} after 'direct lattice vectors'";
inline constexpr std::string_view kStress = "six stress values (XX YY ZZ XY YZ ZX) after 'in kB'";
inline constexpr std::string_view kFreeEnergy = "a number between 'TOTEN  =' and 'eV'";
inline constexpr std::string_view kWithoutEntropy = "a number after 'energy  without entropy='";
inline constexpr std::string_view kSigma = "a number after 'energy(sigma->0) ='";
inline constexpr std::string_view kNions = "the number of atoms after 'NIONS ='";
inline constexpr std::string_view kCounts = "the number of atoms of each type after 'ions per type ='";
inline constexpr std::string_view kCountsSum = "atom counts per type adding up to NIONS ({})";
inline constexpr std::string_view kHeaderFirst =
    "the run's header (NIONS and 'ions per type') before the first POSITION/TOTAL-FORCE table";
inline constexpr std::string_view kNoStep = "a complete ionic step (a POSITION/TOTAL-FORCE table and its energies)";
inline constexpr std::string_view kEndOfFile = "the end of the file";
inline constexpr std::string_view kNoHeader = "64 MB without it";
inline constexpr std::string_view kStepPrefix = "step {}: ";

}  // namespace io_rs::vasp::outcar_text
