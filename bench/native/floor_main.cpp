// Times one format routine of io_rs_core on the benchmark's data and prints
// the timing as one JSON object. The blocks are laid out as the Python side
// calls them: call c works on block c modulo the number of blocks. One run
// is CALLS calls; every call is made once, unchecked by the clock, before
// timing starts.
//
//   io_rs_floor ROUTINE ATOMS_PER_CALL CALLS NUMBER REPEATS INPUT...
//
// NUMBER runs make one repeat; NUMBER 0 finds it first as the smallest of
// 1, 2, 5, 10, ... that lasts 0.05 s (or the seconds in $IO_RS_FLOOR_MIN_TIME).
//
//   parse_poscar | parse_poscar_sd | parse_xdatcar | parse_xyz   LINES.txt
//   format_poscar | format_xdatcar                                COORDS.f64
//   format_poscar_sd                                              COORDS.f64 FLAGS.u8
//   format_xyz                                                    SYMBOLS.txt COORDS.f64

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "input_files.hpp"
#include "repeat_timer.hpp"
#include "vasp/vasp.hpp"
#include "xyz/xyz.hpp"

namespace {

using namespace floor_bench;

struct Setup {
  std::string routine;
  long atoms_per_call = 0;
  long calls = 0;
  long number = 0;  // 0: calibrate
  int repeats = 0;
  double min_time = 0.05;
  std::vector<std::string> inputs;
};

// Keeps the results observable so that no call is optimised away.
volatile std::size_t sink = 0;

template <class T>
void keep(const io_rs::Result<T>& result) {
  if (!result) {
    std::fprintf(stderr, "io_rs_floor: routine failed: %s\n", result.error().message().c_str());
    std::exit(1);
  }
}

// Consecutive blocks of atoms_per_call lines, each with its own LineList.
class LineBlocks {
 public:
  LineBlocks(const std::vector<std::string_view>& lines, long atoms_per_call) {
    for (std::size_t start = 0; start + atoms_per_call <= lines.size(); start += atoms_per_call) {
      owners_.push_back(std::make_unique<io_rs::PlainLines>(
          std::vector<std::string_view>(lines.begin() + start, lines.begin() + start + atoms_per_call)));
      lists_.push_back(owners_.back()->list());
    }
    if (lists_.empty()) throw std::runtime_error("fewer lines than one block");
  }
  const io_rs::LineList& operator[](long call) const { return lists_[call % lists_.size()]; }

 private:
  std::vector<std::unique_ptr<io_rs::PlainLines>> owners_;
  std::vector<io_rs::LineList> lists_;
};

// Views of consecutive blocks of rows of an N x 3 C-ordered array.
template <class T>
class MatrixBlocks {
 public:
  MatrixBlocks(const std::vector<T>& values, long atoms_per_call) {
    const std::size_t rows = values.size() / 3;
    for (std::size_t start = 0; start + atoms_per_call <= rows; start += atoms_per_call) {
      views_.push_back(io_rs::MatrixView<T>{reinterpret_cast<const std::byte*>(values.data() + 3 * start),
                                            static_cast<std::size_t>(atoms_per_call), 3, 3 * sizeof(T), sizeof(T)});
    }
    if (views_.empty()) throw std::runtime_error("fewer rows than one block");
  }
  const io_rs::MatrixView<T>& operator[](long call) const { return views_[call % views_.size()]; }

 private:
  std::vector<io_rs::MatrixView<T>> views_;
};

// Runs every call once (every block is checked to succeed), then times.
template <class Call>
void check_and_measure(const Setup& s, Call call) {
  auto run = [&] {
    for (long c = 0; c < s.calls; ++c) call(c);
  };
  run();
  Calibration calibration{s.number, 0.0};
  if (calibration.number == 0) calibration = calibrate(run, s.min_time);
  print_json(s.routine.c_str(), s.atoms_per_call, s.calls, calibration, per_run_times(run, calibration.number, s.repeats));
}

void run_parser(const Setup& s) {
  const std::string text = read_file(s.inputs.at(0));
  const LineBlocks blocks(split_lines(text), s.atoms_per_call);
  if (s.routine == "parse_poscar" || s.routine == "parse_poscar_sd") {
    const bool selective = s.routine == "parse_poscar_sd";
    check_and_measure(s, [&](long c) {
      auto r = io_rs::vasp::parse_poscar_positions(blocks[c], selective);
      keep(r);
      sink = sink + r->positions.rows;
    });
    return;
  }
  if (s.routine == "parse_xdatcar") {
    check_and_measure(s, [&](long c) {
      auto r = io_rs::vasp::parse_xdatcar_coords(blocks[c]);
      keep(r);
      sink = sink + r->rows;
    });
    return;
  }
  check_and_measure(s, [&](long c) {
    auto r = io_rs::xyz::parse_xyz_block(blocks[c]);
    keep(r);
    sink = sink + r->symbols.size();
  });
}

void run_formatter(const Setup& s) {
  if (s.routine == "format_xyz") {
    const std::string text = read_file(s.inputs.at(0));
    const LineBlocks symbols(split_symbols(text), s.atoms_per_call);
    const std::vector<double> coords = read_array<double>(s.inputs.at(1));
    const MatrixBlocks<double> positions(coords, s.atoms_per_call);
    check_and_measure(s, [&](long c) {
      auto r = io_rs::xyz::format_xyz_block(symbols[c], positions[c]);
      keep(r);
      sink = sink + r->size();
    });
    return;
  }
  const std::vector<double> coords = read_array<double>(s.inputs.at(0));
  const MatrixBlocks<double> positions(coords, s.atoms_per_call);
  if (s.routine == "format_xdatcar") {
    check_and_measure(s, [&](long c) {
      auto r = io_rs::vasp::format_xdatcar_config(positions[c], static_cast<std::uint64_t>(c + 1));
      keep(r);
      sink = sink + r->size();
    });
    return;
  }
  std::vector<std::uint8_t> flag_values;
  std::optional<MatrixBlocks<std::uint8_t>> flags;
  if (s.routine == "format_poscar_sd") {
    flag_values = read_array<std::uint8_t>(s.inputs.at(1));
    flags.emplace(flag_values, s.atoms_per_call);
  }
  check_and_measure(s, [&](long c) {
    std::optional<io_rs::BoolMatrixView> held;
    if (flags) held = (*flags)[c];
    auto r = io_rs::vasp::format_poscar_positions(positions[c], held);
    keep(r);
    sink = sink + r->size();
  });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 7) {
    std::fprintf(stderr, "usage: io_rs_floor ROUTINE ATOMS_PER_CALL CALLS NUMBER REPEATS INPUT...\n");
    return 2;
  }
  try {
    Setup s;
    s.routine = argv[1];
    s.atoms_per_call = std::stol(argv[2]);
    s.calls = std::stol(argv[3]);
    s.number = std::stol(argv[4]);
    s.repeats = std::stoi(argv[5]);
    if (const char* min_time = std::getenv("IO_RS_FLOOR_MIN_TIME")) s.min_time = std::stod(min_time);
    s.inputs.assign(argv + 6, argv + argc);
    const bool parser = std::string_view(s.routine).starts_with("parse_");
    const std::vector<std::string> known = {"parse_poscar",  "parse_poscar_sd",  "parse_xdatcar",  "parse_xyz",
                                            "format_poscar", "format_poscar_sd", "format_xdatcar", "format_xyz"};
    if (std::find(known.begin(), known.end(), s.routine) == known.end()) {
      std::fprintf(stderr, "io_rs_floor: unknown routine %s\n", s.routine.c_str());
      return 2;
    }
    if (parser)
      run_parser(s);
    else
      run_formatter(s);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "io_rs_floor: %s\n", e.what());
    return 1;
  }
  return 0;
}
