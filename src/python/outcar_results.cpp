#include "python/outcar_results.hpp"

#include <cmath>
#include <limits>

#include "core/message.hpp"
#include "python/exceptions.hpp"
#include "python/numpy_api.hpp"
#include "python/results.hpp"

namespace io_rs::py {
namespace {

constexpr const char* kCarryName = "_io_rs_buffers.OutcarCarry";
// eV/Å³ per kB: a stress of 1 kB is 0.1 GPa.
constexpr double kKilobarPerEvPerCubicAngstrom = 1602.1766208;

void free_carry(PyObject* capsule) {
  vasp::OutcarCarryDeleter()(static_cast<vasp::OutcarCarry*>(PyCapsule_GetPointer(capsule, kCarryName)));
}

Ref long_result(std::int64_t value) { return Ref::steal(PyLong_FromLongLong(value)); }
Ref unsigned_result(std::uint64_t value) { return Ref::steal(PyLong_FromUnsignedLongLong(value)); }

Ref header_result(const vasp::OutcarHeader& header) {
  Ref species = Ref::steal(PyList_New(static_cast<Py_ssize_t>(header.species.size())));
  if (!species) return {};
  for (std::size_t k = 0; k < header.species.size(); ++k) {
    const std::string& name = header.species[k];
    PyObject* text = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace");
    if (text == nullptr) return {};
    PyList_SET_ITEM(species.get(), static_cast<Py_ssize_t>(k), text);
  }
  Ref counts = Ref::steal(PyList_New(static_cast<Py_ssize_t>(header.counts.size())));
  if (!counts) return {};
  for (std::size_t k = 0; k < header.counts.size(); ++k) {
    PyObject* count = PyLong_FromUnsignedLongLong(header.counts[k]);
    if (count == nullptr) return {};
    PyList_SET_ITEM(counts.get(), static_cast<Py_ssize_t>(k), count);
  }
  Ref nions = unsigned_result(header.nions);
  if (!nions) return {};
  return tuple_result({&species, &counts, &nions});
}

// One int64 row per step: offset, line, natoms, calculator, step, end, rows, flags.
Ref steps_result(const std::vector<vasp::OutcarStep>& steps, std::uint64_t natoms) {
  auto table = OwnedBuffer<std::int64_t>::allocate(steps.size() * 8);
  std::int64_t* row = table.data();
  for (const vasp::OutcarStep& step : steps) {
    *row++ = static_cast<std::int64_t>(step.offset);
    *row++ = static_cast<std::int64_t>(step.line);
    *row++ = static_cast<std::int64_t>(natoms);
    *row++ = static_cast<std::int64_t>(step.calculator);
    *row++ = step.number;
    *row++ = static_cast<std::int64_t>(step.end);
    *row++ = static_cast<std::int64_t>(step.rows);
    *row++ = static_cast<std::int64_t>(step.flags);
  }
  return from_owned_buffer(std::move(table), {steps.size(), 8}, NPY_INT64);
}

// The per-step values: cells (F, 3, 3); stresses (F, 3, 3) in eV/Å³, the
// sign of a tension positive; energies (F, 3). NaN where a step printed none.
struct Values {
  Ref cells, stresses, energies;
};
Values values_result(const std::vector<vasp::OutcarStep>& steps) {
  namespace flag = vasp::step_flag;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::size_t count = steps.size();
  auto cells = OwnedBuffer<double>::allocate(count * 9);
  auto stresses = OwnedBuffer<double>::allocate(count * 9);
  auto energies = OwnedBuffer<double>::allocate(count * 3);
  for (std::size_t k = 0; k < count; ++k) {
    const vasp::OutcarStep& step = steps[k];
    for (int j = 0; j < 9; ++j) cells[9 * k + j] = (step.flags & flag::kCell) != 0 ? step.cell[j] : nan;
    // XX YY ZZ XY YZ ZX into rows x, y, z; each a correctly rounded division.
    static constexpr int kComponent[9] = {0, 3, 5, 3, 1, 4, 5, 4, 2};
    for (int j = 0; j < 9; ++j) {
      stresses[9 * k + j] = (step.flags & flag::kStress) != 0
                                ? -step.stress[kComponent[j]] / kKilobarPerEvPerCubicAngstrom
                                : nan;
    }
    const std::uint32_t present[3] = {flag::kFreeEnergy, flag::kEnergyWithoutEntropy, flag::kEnergy};
    for (int j = 0; j < 3; ++j) energies[3 * k + j] = (step.flags & present[j]) != 0 ? step.energies[j] : nan;
  }
  return {from_owned_buffer(std::move(cells), {count, 3, 3}, NPY_DOUBLE),
          from_owned_buffer(std::move(stresses), {count, 3, 3}, NPY_DOUBLE),
          from_owned_buffer(std::move(energies), {count, 3}, NPY_DOUBLE)};
}

Ref lost_result(const std::vector<vasp::LostStep>& lost) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(lost.size())));
  if (!list) return {};
  for (std::size_t k = 0; k < lost.size(); ++k) {
    Ref number = long_result(lost[k].number);
    Ref line = unsigned_result(lost[k].line);
    if (!number || !line) return {};
    Ref item = tuple_result({&number, &line});
    if (!item) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item.release());
  }
  return list;
}

}  // namespace

Ref outcar_scan_result(vasp::OutcarScan&& scan) {
  const vasp::OutcarHeader& header = vasp::header_of(*scan.carry);
  const std::uint64_t natoms = header.nions;
  Ref header_object = header_result(header);
  if (!header_object) return {};
  Ref steps = steps_result(scan.steps, natoms);
  if (!steps) return {};
  Values values = values_result(scan.steps);
  if (!values.cells || !values.stresses || !values.energies) return {};
  const bool tables = scan.positions.data() != nullptr;
  const std::size_t count = scan.steps.size();
  Ref positions = tables ? from_owned_buffer(std::move(scan.positions), {count, natoms, 3}, NPY_DOUBLE)
                         : Ref::borrow(Py_None);
  if (!positions) return {};
  Ref forces = tables ? from_owned_buffer(std::move(scan.forces), {count, natoms, 3}, NPY_DOUBLE)
                      : Ref::borrow(Py_None);
  if (!forces) return {};
  Ref lost = lost_result(scan.lost);
  if (!lost) return {};
  Ref consumed = size_result(scan.stop.consumed);
  Ref line = unsigned_result(scan.stop.line);
  Ref complete = Ref::borrow(scan.stop.complete ? Py_True : Py_False);
  Ref finished = Ref::borrow(scan.finished ? Py_True : Py_False);
  Ref stopped = scan.stopped_line != 0 ? unsigned_result(scan.stopped_line) : Ref::borrow(Py_None);
  if (!consumed || !line || !stopped) return {};
  Ref stop = tuple_result({&consumed, &line, &complete, &finished, &stopped});
  if (!stop) return {};
  Ref carry = Ref::steal(PyCapsule_New(scan.carry.get(), kCarryName, &free_carry));
  if (!carry) return {};
  scan.carry.release();
  return tuple_result({&header_object, &steps, &values.cells, &values.stresses, &values.energies, &positions,
                       &forces, &lost, &stop, &carry});
}

std::optional<CarryArgument> convert_carry(PyObject* o, const char* parameter) {
  if (o == nullptr || o == Py_None) return CarryArgument{};
  if (!PyCapsule_IsValid(o, kCarryName)) {
    set_error(PyExc_TypeError,
              fill_message("argument '{}': expected None or the carry an earlier scan returned", {parameter}));
    return std::nullopt;
  }
  return CarryArgument{true, static_cast<const vasp::OutcarCarry*>(PyCapsule_GetPointer(o, kCarryName))};
}

}  // namespace io_rs::py
