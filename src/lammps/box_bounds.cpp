// A box between the numbers of a BOX BOUNDS section and the cell and origin
// they describe. Reading subtracts the tilt shifts from the bounds and the
// low bounds from the high ones; writing picks numbers for which those
// subtractions give back the cell and origin bit for bit, so that a frame
// read from a dump and written again reads back the same.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "core/shortest_real.hpp"
#include "lammps/lammps.hpp"

namespace io_rs::lammps {
namespace {

struct Shifts {
  double x_low, x_high, y_low, y_high;
};

// How far the bounding box of a triclinic cell reaches beyond the cell
// along x and y, as LAMMPS's bounds add them.
Shifts shifts_of(double xy, double xz, double yz) {
  const double xyz = xy + xz;
  return {std::min({0.0, xy, xz, xyz}), std::max({0.0, xy, xz, xyz}), std::min(0.0, yz), std::max(0.0, yz)};
}

// Doubles in their order as integers (-0 just below +0), for searches over
// every double between two.
std::int64_t ordered(double value) {
  const auto bits = std::bit_cast<std::int64_t>(value);
  return bits >= 0 ? bits : std::numeric_limits<std::int64_t>::min() - bits;
}

double from_ordered(std::int64_t key) {
  return std::bit_cast<double>(key >= 0 ? key : std::numeric_limits<std::int64_t>::min() - key);
}

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

// How many doubles lie from a up to b (a <= b in their order).
std::uint64_t distance(std::int64_t a, std::int64_t b) {
  return static_cast<std::uint64_t>(b) - static_cast<std::uint64_t>(a);
}

std::int64_t moved(std::int64_t key, std::uint64_t by, bool up) {
  return static_cast<std::int64_t>(up ? static_cast<std::uint64_t>(key) + by : static_cast<std::uint64_t>(key) - by);
}

// The smallest b (in the order of doubles, from -inf to +inf) with
// b - minus at or above target, searched from `from` outwards: b - minus
// grows with b.
std::int64_t lowest_reaching(double target, double minus, std::int64_t from) {
  const std::int64_t wanted = ordered(target);
  const std::int64_t least = ordered(-std::numeric_limits<double>::infinity());
  const std::int64_t most = ordered(std::numeric_limits<double>::infinity());
  auto reaches = [&](std::int64_t key) { return ordered(from_ordered(key) - minus) >= wanted; };
  from = std::clamp(from, least, most);
  std::int64_t low = from, high = from;
  for (std::uint64_t step = 1; low > least && reaches(low); step *= 2)
    low = distance(least, from) > step ? moved(from, step, false) : least;
  for (std::uint64_t step = 1; high < most && !reaches(high); step *= 2)
    high = distance(from, most) > step ? moved(from, step, true) : most;
  if (reaches(low)) return low;  // the least double already reaches it
  // Now reaches(high) (or high is +inf), and not reaches(low).
  while (distance(low, high) > 1) {
    const std::int64_t middle = moved(low, distance(low, high) / 2, true);
    (reaches(middle) ? high : low) = middle;
  }
  return high;
}

// The doubles b with b - minus == target exactly (bit for bit), as the
// range [first, last] of their order (empty, first > last, when none is),
// and the one a writer prefers: target + minus, the bound as LAMMPS
// computes it, wherever that reads back.
struct Solutions {
  std::int64_t first, last, preferred;
};
Solutions solutions(double target, double minus) {
  if (!std::isfinite(target) || !std::isfinite(minus)) return {1, 0, 0};
  const std::int64_t from = ordered(target + minus);
  auto solves = [&](std::int64_t key) { return same_bits(from_ordered(key) - minus, target); };
  // Around target + minus where it is one; else from the least one.
  const std::int64_t centre = solves(from) ? from : lowest_reaching(target, minus, from);
  if (!solves(centre)) return {1, 0, 0};
  const std::int64_t least = ordered(-std::numeric_limits<double>::infinity());
  const std::int64_t most = ordered(std::numeric_limits<double>::infinity());
  std::int64_t first = centre, last = centre;
  while (centre - first < 32 && first > least && solves(first - 1)) --first;
  while (last - centre < 32 && last < most && solves(last + 1)) ++last;
  // Of several, the one written in the fewest digits (the one the file
  // had, where it came from one), else the nearest to target + minus.
  std::int64_t preferred = centre;
  if (last > first) {
    char text[kShortestRealRoom];
    auto digits = [&](std::int64_t key) { return write_shortest_real(text, from_ordered(key)) - text; };
    for (std::int64_t key = first, fewest = digits(preferred); key <= last; ++key) {
      if (const auto length = digits(key); length < fewest) {
        fewest = length;
        preferred = key;
      }
    }
  }
  return {first, last, preferred};
}

// A bound b with b - minus == target: the preferred one, or target + minus
// itself when no double gives it back exactly.
double bound_for(double target, double minus) {
  const Solutions found = solutions(target, minus);
  return found.first <= found.last ? from_ordered(found.preferred) : target + minus;
}

// The low and high bounds of one axis: low - low_shift == origin and
// (high - high_shift) - origin == length, both exactly where possible.
std::pair<double, double> axis_bounds(double origin, double length, double low_shift, double high_shift) {
  const double low = bound_for(origin, low_shift);
  const Solutions highs = solutions(length, origin);
  if (highs.first <= highs.last) {
    // The preferred high first, then the others of the range.
    for (std::int64_t step = 0; step <= highs.last - highs.first; ++step) {
      for (const std::int64_t key : {highs.preferred + step, highs.preferred - step}) {
        if (key < highs.first || key > highs.last || (step == 0 && key != highs.preferred + step)) continue;
        const Solutions bounds = solutions(from_ordered(key), high_shift);
        if (bounds.first <= bounds.last) return {low, from_ordered(bounds.preferred)};
      }
    }
  }
  return {low, bound_for(origin + length, high_shift)};
}

}  // namespace

Box box_of_bounds(BoxKind kind, const std::array<std::array<double, 4>, 3>& lines) {
  Box box;
  box.kind = kind;
  if (kind == BoxKind::General) {
    for (std::size_t row = 0; row < 3; ++row) {
      for (std::size_t k = 0; k < 3; ++k) box.cell[3 * row + k] = lines[row][k];
      box.origin[row] = lines[row][3];
    }
    return box;
  }
  const bool tilted = kind == BoxKind::Triclinic;
  const double xy = tilted ? lines[0][2] : 0.0, xz = tilted ? lines[1][2] : 0.0, yz = tilted ? lines[2][2] : 0.0;
  const Shifts s = tilted ? shifts_of(xy, xz, yz) : Shifts{0.0, 0.0, 0.0, 0.0};
  const double xlo = lines[0][0] - s.x_low, xhi = lines[0][1] - s.x_high;
  const double ylo = lines[1][0] - s.y_low, yhi = lines[1][1] - s.y_high;
  const double zlo = lines[2][0], zhi = lines[2][1];
  box.cell = {xhi - xlo, 0.0, 0.0, xy, yhi - ylo, 0.0, xz, yz, zhi - zlo};
  box.origin = {xlo, ylo, zlo};
  return box;
}

namespace {

// The box as its cell vectors and origin: abc origin.
BoundLines general(const std::array<double, 9>& cell, const std::array<double, 3>& origin) {
  BoundLines written;
  written.kind = BoxKind::General;
  for (std::size_t row = 0; row < 3; ++row) {
    for (std::size_t k = 0; k < 3; ++k) written.lines[row][k] = cell[3 * row + k];
    written.lines[row][3] = origin[row];
  }
  return written;
}

}  // namespace

BoundLines bounds_of_box(const std::array<double, 9>& cell, const std::array<double, 3>& origin) {
  BoundLines written;
  // LAMMPS's own form: a along x, b in the xy plane, positive lengths.
  const bool restricted = same_bits(cell[1], 0.0) && same_bits(cell[2], 0.0) && same_bits(cell[5], 0.0) &&
                          cell[0] > 0 && cell[4] > 0 && cell[8] > 0;
  if (!restricted) return general(cell, origin);
  const double xy = cell[3], xz = cell[6], yz = cell[7];
  const bool tilted = !same_bits(xy, 0.0) || !same_bits(xz, 0.0) || !same_bits(yz, 0.0);
  written.kind = tilted ? BoxKind::Triclinic : BoxKind::Orthogonal;
  const Shifts s = tilted ? shifts_of(xy, xz, yz) : Shifts{0.0, 0.0, 0.0, 0.0};
  const auto [xlo, xhi] = axis_bounds(origin[0], cell[0], s.x_low, s.x_high);
  const auto [ylo, yhi] = axis_bounds(origin[1], cell[4], s.y_low, s.y_high);
  const auto [zlo, zhi] = axis_bounds(origin[2], cell[8], 0.0, 0.0);
  written.lines = {{{xlo, xhi, xy, 0.0}, {ylo, yhi, xz, 0.0}, {zlo, zhi, yz, 0.0}}};
  // Bounds that cannot give the box back (a small cell far from the origin,
  // say, whose length no difference of doubles there is): the box as it is.
  const Box back = box_of_bounds(written.kind, written.lines);
  for (std::size_t k = 0; k < 9; ++k) {
    if (!same_bits(back.cell[k], cell[k])) return general(cell, origin);
  }
  for (std::size_t k = 0; k < 3; ++k) {
    if (!same_bits(back.origin[k], origin[k])) return general(cell, origin);
  }
  return written;
}

}  // namespace io_rs::lammps
