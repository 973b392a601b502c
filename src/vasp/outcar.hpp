// VASP's OUTCAR: every ionic step of a run, found in one pass.
//
// An OUTCAR is mostly the output of the electronic iterations; a scanner
// skips it at the speed of a byte search and stops at the few lines that
// make a step:
//
//   ----- Iteration    7(   1) -----          opens DFT step 7
//     in kB   XX YY ZZ XY YZ ZX                 the stress, before the table
//     direct lattice vectors  ...  (3 lines)    the cell, before the table
//    POSITION          TOTAL-FORCE (eV/Angst)   the table: N atom lines of
//    -------------                              x y z (Å) and fx fy fz (eV/Å)
//     ... N lines ...
//    -------------
//     free  energy   TOTEN  =   E eV            after the table (before it
//     energy  without entropy=  E  energy(sigma->0) =  E    in VASP 5.2)
//
// Machine-learned force-field steps (VASP 6.3+) print the same blocks with
// "ML" in them and "(ML)" after the table's header; they have no iteration
// lines: each ML table opens the next step, and the DFT step that follows
// the prediction of a step shares its number.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/frame_table.hpp"
#include "core/owned_buffer.hpp"

namespace io_rs::vasp {

inline constexpr std::string_view kOutcar = "OUTCAR";

// What the run's header says about its atoms.
struct OutcarHeader {
  std::vector<std::string> species;   // one symbol per POTCAR (VRHFIN, else TITEL), in order
  std::vector<std::uint64_t> counts;  // "ions per type", as printed (VASP 6 stops after ten)
  std::uint64_t nions = 0;            // NIONS: the atoms of every table
};

enum class Calculator : std::uint8_t { Dft = 0, Ml = 1 };

// Bits of OutcarStep::flags: which values the step printed, and which of
// them held a Fortran overflow (****, read as NaN).
namespace step_flag {
inline constexpr std::uint32_t kCell = 1u << 0;
inline constexpr std::uint32_t kStress = 1u << 1;
inline constexpr std::uint32_t kFreeEnergy = 1u << 2;
inline constexpr std::uint32_t kEnergyWithoutEntropy = 1u << 3;
inline constexpr std::uint32_t kEnergy = 1u << 4;  // energy(sigma->0)
// Overflow of the value of the bit kOverflowShift places lower.
inline constexpr int kOverflowShift = 8;
inline constexpr std::uint32_t kPositions = 1u << 5;  // only as an overflow bit
inline constexpr std::uint32_t kForces = 1u << 6;     // only as an overflow bit
}  // namespace step_flag

struct OutcarStep {
  std::uint64_t offset = 0;  // the file's byte where the table's header line starts
  std::uint64_t line = 0;    // that line's number, from 1
  std::uint64_t rows = 0;    // the file's byte where its first atom line starts
  std::uint64_t end = 0;     // the byte just past its closing line
  std::int64_t number = 0;   // the run's ionic step, from 1, as the file numbers it
  Calculator calculator = Calculator::Dft;
  std::uint32_t flags = 0;
  double cell[9] = {};       // rows a, b, c in Å
  double stress[6] = {};     // kB as printed: XX YY ZZ XY YZ ZX
  double energies[3] = {};   // TOTEN, energy without entropy, energy(sigma->0), eV
};

// A step made unreadable by NUL bytes (a file system that lost a block).
struct LostStep {
  std::int64_t number = 0;
  std::uint64_t line = 0;  // the line holding the first NUL byte that took it
};

// A value a step holds that its line does not give, kept until the step
// it belongs to is known, so that the message can name it.
struct BadValue {
  std::string expected;
  std::string found;
  Place place;
};

// What a scan in pieces hands to the scan of the next piece: the header, the
// values in force, and the steps being gathered. Opaque to callers.
struct OutcarCarry;
struct OutcarCarryDeleter {
  void operator()(OutcarCarry* carry) const noexcept;
};
using OutcarCarryPtr = std::unique_ptr<OutcarCarry, OutcarCarryDeleter>;
OutcarCarryPtr copy_carry(const OutcarCarry& carry);
const OutcarHeader& header_of(const OutcarCarry& carry);

struct OutcarScan {
  std::vector<OutcarStep> steps;
  std::vector<LostStep> lost;
  ScanStop stop;
  bool finished = false;            // the run's closing accounting was read
  std::uint64_t stopped_line = 0;   // where a run cut short stopped: the first incomplete step, or the last line
  OutcarCarryPtr carry;
  // With tables: each step's positions and forces (steps x nions x 3).
  OwnedBuffer<double> positions;
  OwnedBuffer<double> forces;
};

// The ionic steps of an OUTCAR from buffer offset `offset`. Without carry
// the buffer starts with the file (its header is read first); with it, the
// scan goes on where the previous piece stopped. A piece that is not the last is scanned up to where a step
// it does not hold whole begins; stop.consumed says where the next starts.
// With tables, the atom lines of every step found are read as well.
Result<OutcarScan> scan_outcar(std::string_view buffer, std::size_t offset, const Base& base, bool last,
                               const OutcarCarry* carry, bool tables, std::size_t threads);

// Where one step's table lies, as a scan found it.
struct OutcarTableRef {
  std::uint64_t rows = 0;   // the file's byte where the first atom line starts
  std::uint64_t end = 0;    // the byte past the table's closing line
  std::uint64_t line = 0;   // the number of its header line
  std::int64_t number = 0;  // the step, for messages
};

struct OutcarTables {
  OwnedBuffer<double> positions;  // tables x natoms x 3
  OwnedBuffer<double> forces;
  OwnedBuffer<std::uint8_t> overflow;  // per table: 1 positions, 2 forces held ****
};

// The atom lines of some steps' tables; buffer holds the file from byte
// start. Results and the first failure do not depend on threads.
Result<OutcarTables> read_outcar_tables(std::string_view buffer, std::uint64_t start,
                                        std::span<const OutcarTableRef> tables, std::size_t natoms,
                                        std::size_t threads);

}  // namespace io_rs::vasp
