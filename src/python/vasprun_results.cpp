#include "python/vasprun_results.hpp"

#include <cstring>

#include "core/message.hpp"
#include "python/convert.hpp"
#include "python/exceptions.hpp"
#include "python/numpy_api.hpp"
#include "python/results.hpp"

namespace io_rs::py {
namespace {

Ref count_ref(std::uint64_t value) { return Ref::steal(PyLong_FromUnsignedLongLong(value)); }

Ref flag_ref(bool value) { return Ref::borrow(value ? Py_True : Py_False); }

// One array of steps x width values of each step, shaped (steps, shape...).
template <class T, class Field>
Ref per_step(const std::vector<vasp::VasprunStep>& steps, std::size_t width, std::initializer_list<std::size_t> shape,
             int type_num, Field field) {
  auto values = OwnedBuffer<T>::allocate(steps.size() * width);
  for (std::size_t k = 0; k < steps.size(); ++k) field(steps[k], values.data() + k * width);
  if (shape.size() == 1) return from_owned_buffer(std::move(values), {steps.size(), shape.begin()[0]}, type_num);
  return from_owned_buffer(std::move(values), {steps.size(), shape.begin()[0], shape.begin()[1]}, type_num);
}

Ref symbols_ref(const std::optional<std::vector<std::string>>& symbols) {
  if (!symbols) return Ref::borrow(Py_None);
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(symbols->size())));
  if (!list) return {};
  for (std::size_t k = 0; k < symbols->size(); ++k) {
    const std::string& symbol = (*symbols)[k];
    PyObject* text = PyUnicode_DecodeUTF8(symbol.data(), static_cast<Py_ssize_t>(symbol.size()), "strict");
    if (text == nullptr) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), text);
  }
  return list;
}

Ref state_ref(const std::optional<vasp::VasprunState>& state) {
  if (!state) return Ref::borrow(Py_None);
  Ref natoms = count_ref(state->natoms);
  if (!natoms) return {};
  Ref latin1 = flag_ref(state->latin1);
  Ref ended = flag_ref(state->ended);
  Ref step_atoms = count_ref(state->step_atoms);
  if (!step_atoms) return {};
  return tuple_result({&natoms, &latin1, &ended, &step_atoms});
}

// A list of (steps, natoms, 3) arrays, each made from its buffer without a copy.
Ref parts_ref(std::vector<OwnedBuffer<double>>& parts, std::uint64_t natoms) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(parts.size())));
  if (!list) return {};
  const std::size_t row = static_cast<std::size_t>(natoms) * 3;
  for (std::size_t k = 0; k < parts.size(); ++k) {
    const std::size_t steps = row == 0 ? 0 : parts[k].size() / row;
    Ref array = from_owned_buffer(std::move(parts[k]), {steps, static_cast<std::size_t>(natoms), 3}, NPY_DOUBLE);
    if (!array) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), array.release());
  }
  return list;
}

}  // namespace

Ref vasprun_scan_result(vasp::VasprunScan&& scan, bool values) {
  using vasp::VasprunStep;
  const auto& steps = scan.steps;
  Ref symbols = symbols_ref(scan.symbols);
  if (!symbols) return {};
  Ref state = state_ref(scan.state);
  if (!state) return {};
  Ref table = per_step<std::int64_t>(steps, 6, {6}, NPY_INT64, [](const VasprunStep& s, std::int64_t* row) {
    row[0] = static_cast<std::int64_t>(s.offset);
    row[1] = static_cast<std::int64_t>(s.line);
    row[2] = static_cast<std::int64_t>(s.natoms);
    row[3] = static_cast<std::int64_t>(s.calculator);
    row[4] = static_cast<std::int64_t>(s.number);
    row[5] = static_cast<std::int64_t>(s.end);
  });
  if (!table) return {};
  Ref cells = per_step<double>(steps, 9, {3, 3}, NPY_DOUBLE, [](const VasprunStep& s, double* out) {
    std::memcpy(out, s.cell.data(), 9 * sizeof(double));
  });
  if (!cells) return {};
  Ref stress = per_step<double>(steps, 9, {3, 3}, NPY_DOUBLE, [](const VasprunStep& s, double* out) {
    std::memcpy(out, s.stress.data(), 9 * sizeof(double));
  });
  if (!stress) return {};
  Ref energies = per_step<double>(steps, 3, {3}, NPY_DOUBLE, [](const VasprunStep& s, double* out) {
    std::memcpy(out, s.energies.data(), 3 * sizeof(double));
  });
  if (!energies) return {};
  Ref parts = per_step<std::int64_t>(steps, 2, {2}, NPY_INT64, [](const VasprunStep& s, std::int64_t* out) {
    out[0] = s.present;
    out[1] = s.overflow;
  });
  if (!parts) return {};
  Ref positions = Ref::borrow(Py_None);
  Ref forces = Ref::borrow(Py_None);
  if (values) {
    positions = parts_ref(scan.positions, scan.natoms);
    if (!positions) return {};
    forces = parts_ref(scan.forces, scan.natoms);
    if (!forces) return {};
  }
  Ref consumed = size_result(scan.consumed);
  Ref line = count_ref(scan.line);
  Ref counted = count_ref(scan.counted);
  Ref complete = flag_ref(scan.complete);
  Ref truncated = flag_ref(scan.truncated);
  Ref last_line = count_ref(scan.last_line);
  if (!consumed || !line || !counted || !last_line) return {};
  Ref stop = tuple_result({&consumed, &line, &counted, &complete, &truncated, &last_line});
  if (!stop) return {};
  Ref damage = Ref::steal(PyList_New(static_cast<Py_ssize_t>(scan.damage.size())));
  if (!damage) return {};
  for (std::size_t k = 0; k < scan.damage.size(); ++k) {
    Ref at = count_ref(scan.damage[k].line);
    Ref step = count_ref(scan.damage[k].step);
    if (!at || !step) return {};
    Ref pair = tuple_result({&at, &step});
    if (!pair) return {};
    PyList_SET_ITEM(damage.get(), static_cast<Py_ssize_t>(k), pair.release());
  }
  return tuple_result({&symbols, &state, &table, &cells, &stress, &energies, &parts, &positions, &forces, &stop, &damage});
}

std::optional<VasprunStateArgument> convert_vasprun_state(PyObject* o, const char* parameter) {
  if (o == nullptr || o == Py_None) return VasprunStateArgument{};
  if (!PyTuple_Check(o) || PyTuple_GET_SIZE(o) != 4) {
    set_error(PyExc_TypeError, fill_message("argument '{}': expected None or a state as a scan returns it", {parameter}));
    return std::nullopt;
  }
  auto natoms = convert_unsigned(PyTuple_GET_ITEM(o, 0), parameter);
  if (!natoms) return std::nullopt;
  auto latin1 = convert_flag(PyTuple_GET_ITEM(o, 1), parameter);
  if (!latin1) return std::nullopt;
  auto ended = convert_flag(PyTuple_GET_ITEM(o, 2), parameter);
  if (!ended) return std::nullopt;
  auto step_atoms = convert_unsigned(PyTuple_GET_ITEM(o, 3), parameter);
  if (!step_atoms) return std::nullopt;
  return VasprunStateArgument{vasp::VasprunState{*natoms, *latin1, *ended, *step_atoms}};
}

}  // namespace io_rs::py
