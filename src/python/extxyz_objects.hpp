// Extended XYZ values between the routines' plain data and Python: info
// values as int, float, bool, str and NumPy arrays; atom columns as arrays
// (float64, int64, bool, NumPy str).
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/py_ref.hpp"
#include "xyz/extxyz.hpp"

namespace io_rs::py {

// A dict of the info values, in order (a later key replaces an earlier one).
// The str objects of info keys, made once for the frames of one call.
class InfoKeys {
 public:
  Ref key(std::string_view text);

 private:
  std::vector<std::pair<std::string, Ref>> keys_;
};

Ref info_dict(const std::vector<xyz::InfoValue>& info);
Ref info_dict(const std::vector<xyz::InfoValue>& info, InfoKeys& keys);

// A column's rows as an array: shape (rows,) for width 1, (rows, width)
// otherwise. The buffers are handed over, not copied.
Ref column_array(const xyz::Column& column, xyz::ColumnData& data, std::size_t rows);

// A (3, 3) float64 array of a cell given by rows, or None.
Ref cell_result(const std::optional<std::array<double, 9>>& cell);
// A (3,) bool array.
Ref pbc_result(const std::array<bool, 3>& pbc);

// The info dicts and cells of frames, made on the calling thread while the
// other threads read on (the interpreter lock taken back for each stage of
// frames it is handed). If taking the lock back waits long (another Python
// thread holds it), it asks for no more: the rest are made after the call.
class FrameObjects final : public xyz::CommentSink {
 public:
  explicit FrameObjects(InfoKeys& keys) : keys_(keys) {}
  // The thread state to take the lock back with, while the call runs.
  void set_state(PyThreadState* state) noexcept { state_ = state; }
  // Frees the info values it made objects of, once the lock is given up.
  bool take(std::size_t first_frame, std::span<xyz::Comment> comments) noexcept override;
  // Making one failed: the exception is set.
  bool failed() const noexcept { return failed_; }
  // Frame k's info dict and cell, if made here: handed over once.
  Ref info(std::size_t k) noexcept { return k < infos_.size() ? std::move(infos_[k]) : Ref{}; }
  Ref cell(std::size_t k) noexcept { return k < cells_.size() ? std::move(cells_[k]) : Ref{}; }

 private:
  InfoKeys& keys_;
  PyThreadState* state_ = nullptr;
  std::vector<Ref> infos_, cells_;
  bool failed_ = false;
};

// The items of a dict of info values, each an int, float, bool, str or a
// NumPy array of 0 to 2 dimensions of bool, integer, float or str elements.
// Nothing, with TypeError or ValueError set, for anything else.
std::optional<std::vector<xyz::InfoValue>> convert_info(PyObject* dict);

// A column to write, held: a C-contiguous array of float64, int64, bool or
// NumPy str, 1 or 2 dimensional, its first dimension the atoms.
struct ColumnHold {
  Ref array;
  std::string name;
  xyz::ColumnSource source;
  std::size_t rows = 0;
};
std::optional<ColumnHold> convert_column(PyObject* pair);

}  // namespace io_rs::py
