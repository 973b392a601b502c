// The same measurement as bench/timing.py: calibrate the runs per repeat to
// last at least min_time (1, 2, 5, 10, ...), then time repeats of that many
// runs. The statistics are left to the Python side, which takes turns
// between this program and the module, one repeat each.
#pragma once

#include <chrono>
#include <cstdio>
#include <vector>

namespace floor_bench {

template <class Run>
double time_runs(Run& run, long number) {
  const auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < number; ++i) run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Calibration {
  long number;     // runs per repeat
  double elapsed;  // seconds those runs took
};

template <class Run>
Calibration calibrate(Run& run, double min_time) {
  for (long scale = 1;; scale *= 10) {
    for (long step : {1L, 2L, 5L}) {
      const double elapsed = time_runs(run, step * scale);
      if (elapsed >= min_time) return {step * scale, elapsed};
    }
  }
}

// Seconds per run, one entry per repeat.
template <class Run>
std::vector<double> per_run_times(Run& run, long number, int repeats) {
  std::vector<double> times;
  for (int r = 0; r < repeats; ++r) times.push_back(time_runs(run, number) / number);
  return times;
}

inline void print_json(const char* routine, long atoms_per_call, long calls, const Calibration& c,
                       const std::vector<double>& per_run) {
  std::printf("{\"routine\": \"%s\", \"atoms_per_call\": %ld, \"calls\": %ld, \"number\": %ld, \"elapsed\": %.9g, \"per_run\": [",
              routine, atoms_per_call, calls, c.number, c.elapsed);
  for (std::size_t i = 0; i < per_run.size(); ++i) std::printf("%s%.9g", i ? ", " : "", per_run[i]);
  std::printf("]}\n");
}

}  // namespace floor_bench
