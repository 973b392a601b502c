// The lines of an OUTCAR that make its steps, found by one pass over the
// bytes on threads: each part of the text (cut at line starts) is searched
// for the bytes '(', 'k', 'v' and NUL a block at a time, and only the lines
// holding one are looked at. Every line of a step holds one of them:
//
//   Iteration    7(   1)                 '(' : a DFT step opens
//   POSITION ... TOTAL-FORCE (eV/Angst)  '(' : its table (then read through)
//   energy  without entropy= ... energy(sigma->0) = ...   '(' : its energies,
//                                        with the TOTEN line just above
//   in kB ...                            'k' : its stress
//   direct lattice vectors               'v' : its cell (the next 3 lines)
//   Total CPU time used (sec)            '(' : the run finished
//
// and NUL bytes mark a block the file system lost. The events come out in
// file order, the same whatever the number of parts.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "vasp/outcar.hpp"

namespace io_rs::vasp {

enum class EventKind : std::uint8_t { Iteration, Stress, Lattice, Table, Energy, Nul, End };

struct OutcarEvent {
  EventKind kind = EventKind::End;
  Calculator calculator = Calculator::Dft;  // Table, Energy
  bool incomplete = false;       // its lines run past what the pass may read
  std::uint32_t flags = 0;       // step_flag bits of the values it gives, and their overflows
  std::size_t offset = 0;        // buffer offset of its line (of the first NUL byte for Nul)
  std::uint64_t line = 0;        // its line's number
  std::size_t rows = 0;          // Table: buffer offset of the first atom line
  std::size_t end = 0;           // Table: past the closing line; Nul: past the NUL bytes
  std::int64_t number = -1;      // Iteration: the step it opens; -1 when the number overflowed
  double values[9] = {};         // Lattice: the cell; Stress: 6 in kB; Energy: 3 in eV
  std::optional<BadValue> bad;   // a value it gives that its line does not hold
};

// Aligned apart, so that two threads filling neighbouring parts do not
// share a cache line.
struct alignas(128) EventPart {
  std::vector<OutcarEvent> events;
  std::uint64_t lines = 0;  // the line ends of the part
};

struct OutcarEvents {
  std::vector<OutcarEvent> events;  // in file order, lines and places counted in the file
  std::uint64_t lines = 0;          // the line ends of [from, to)
};

// The error for a value of step `number` that its line does not give.
Error outcar_step_error(const BadValue& bad, std::int64_t number);

// The events of the lines starting in [from, to) of buffer (to at a line
// start); their lines may be read up to limit. base says where buffer
// stands in the file (base.from == from). natoms: the atom lines of a
// table.
OutcarEvents find_outcar_events(std::string_view buffer, std::size_t from, std::size_t to, std::size_t limit,
                                const Base& base, std::size_t natoms, std::size_t threads);

}  // namespace io_rs::vasp
