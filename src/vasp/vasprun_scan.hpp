// The ionic steps of a vasprun.xml, found in one pass over its bytes.
//
//   <modeling>
//     <atominfo> ... <array name="atoms"> <set> <rc><c>O</c><c>1</c></rc> ...   one row per atom
//     <calculation>                                     a step computed by DFT
//       <scstep> ... <energy> <i name="e_fr_energy"> ...   the last one holds the step's energies
//       <structure> <crystal> <varray name="basis"> <v>a</v> <v>b</v> <v>c</v> ...
//                   <varray name="positions"> <v>x y z</v> ...   fractional, one per atom
//       <varray name="forces"> ...   <varray name="stress"> ...   (kB)
//       <energy> ...   (VASP 4 and 5 write shifted values here: the last <scstep>'s are the step's)
//     </calculation>
//     <structure> ... </structure> <varray name="forces"> ... <energy> ...   a step of a machine-learned
//                                                              force field (VASP 6.3+): outside any <calculation>
//   </modeling>
//
// A step is a <calculation> that holds a <structure>, or a <structure>
// outside any <calculation> followed by a <varray name="forces"> (then the
// stress, energy and time elements after it are the step's too). Steps are
// numbered from 1 in file order. A <calculation> without <scstep>s is taken
// for a force field's step (its energies from its own <energy>).
//
// Scans take input in pieces, like the other scanners: with last false a
// scan stops before the first step (or other element of <modeling>) that the
// buffer does not hold whole, and `state` carries what the next piece needs
// (the atom count of <atominfo>, the encoding, whether <modeling> has ended).
// Steps are read on threads: the bytes after the header are cut where a
// line opens a <calculation> or a <structure>, each thread reads from its
// cut as if <modeling> had been read up to there, and a cut counts only when
// the thread before it arrives exactly there between two elements of
// <modeling>; otherwise that thread reads on. Results and errors are those
// of one thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/owned_buffer.hpp"

namespace io_rs::vasp {

enum class Calculator : std::uint8_t { Dft = 0, Ml = 1 };

// The parts a step holds, as bits of VasprunStep::present and ::overflow.
namespace part {
inline constexpr std::uint32_t kPositions = 1;
inline constexpr std::uint32_t kCell = 2;
inline constexpr std::uint32_t kForces = 4;
inline constexpr std::uint32_t kStress = 8;
inline constexpr std::uint32_t kFreeEnergy = 16;             // e_fr_energy, VASP's TOTEN
inline constexpr std::uint32_t kEnergy = 32;                 // e_0_energy, energy(sigma->0)
inline constexpr std::uint32_t kEnergyWithoutEntropy = 64;  // e_wo_entrp
}  // namespace part

// Which steps a scan returns, as bits.
namespace select {
inline constexpr unsigned kDft = 1;
inline constexpr unsigned kMl = 2;
inline constexpr unsigned kAll = 3;
}  // namespace select

// eV/Å³ in kB: stress is -(VASP's kB tensor) / this, one division each.
inline constexpr double kKiloBarPerEvPerCubicAngstrom = 1602.1766208;

struct VasprunStep {
  std::uint64_t offset = 0;  // the file's byte where the step's first element starts
  std::uint64_t line = 0;    // that element's line, from 1
  std::uint64_t end = 0;     // the byte just past its last element
  std::uint64_t number = 0;  // from 1, in file order, every step counted
  std::uint64_t natoms = 0;
  Calculator calculator = Calculator::Dft;
  std::uint32_t present = 0;   // part bits: what the step holds
  std::uint32_t overflow = 0;  // part bits: where a value was printed as ****, read as NaN
  std::array<double, 9> cell{};    // rows a, b, c (Å)
  std::array<double, 9> stress{};  // eV/Å³, positive = tensile
  std::array<double, 3> energies{};  // free energy, energy(sigma->0), energy without entropy (eV)
};

// What the next piece of a file needs to know.
struct VasprunState {
  std::uint64_t natoms = 0;  // the atom count of <atominfo>; 0 where the file has none
  bool latin1 = false;       // the document's encoding is ISO-8859-1 (else UTF-8)
  bool ended = false;        // <modeling> has ended: only comments may follow
  std::uint64_t step_atoms = 0;  // the atoms of the steps so far; 0 before the first
};

// NUL bytes (a file system's damage) read around.
struct VasprunDamage {
  std::uint64_t line = 0;  // the line of the first NUL byte
  std::uint64_t step = 0;  // the number of the step lost there, or 0 when none was
};

struct VasprunScan {
  std::optional<std::vector<std::string>> symbols;  // per atom, when this scan read <atominfo>
  std::optional<VasprunState> state;  // none until the header has been read
  std::vector<VasprunStep> steps;     // the selected ones
  // With values: every selected step's fractional positions and forces
  // (zeros for a step without forces), in parts of whole steps (what each
  // thread read, handed over as it is): each part steps x natoms x 3.
  std::vector<OwnedBuffer<double>> positions;
  std::vector<OwnedBuffer<double>> forces;
  std::uint64_t natoms = 0;        // atoms per step
  std::size_t consumed = 0;        // the buffer offset where the next piece starts
  std::uint64_t line = 1;          // the line starting there
  std::uint64_t counted = 0;       // the steps of the file up to there, every kind counted
  bool complete = false;           // the file ends here
  bool truncated = false;          // ... before the document does
  std::uint64_t last_line = 0;     // then: the line of its last byte
  std::vector<VasprunDamage> damage;
};

struct VasprunOptions {
  bool last = true;      // the buffer ends where the file does
  bool ranged = false;   // the buffer ends after a step: its end closes <modeling> there
  bool values = false;   // read positions and forces
  unsigned select = select::kAll;
  std::size_t threads = 1;
};

// The steps of a vasprun.xml from buffer offset `offset`; base says where
// the buffer stands in the file (base.frame: the steps before offset).
// With state null the buffer starts at the file's first byte; otherwise it
// goes on between two elements of <modeling> (or after it) as state says.
Result<VasprunScan> scan_vasprun(std::string_view buffer, std::size_t offset, const Base& base,
                                 const VasprunState* state, const VasprunOptions& options);

}  // namespace io_rs::vasp
