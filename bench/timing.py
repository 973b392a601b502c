"""timeit-style measurement: calibrate how many runs make one repeat last at
least min_time, then time several repeats and keep every per-run time, so
the report can give the median and the spread.

The implementations of one case are timed together, one repeat of each in
turn: on a shared machine the load drifts, and taking turns lets the drift
fall on all of them alike instead of on whichever ran last.
"""

import gc
import statistics
import time
from dataclasses import asdict, dataclass


@dataclass
class Timing:
    median: float  # seconds per run
    minimum: float
    maximum: float
    q1: float
    q3: float
    repeats: int
    number: int  # runs per repeat

    def as_dict(self):
        return asdict(self)


def summarise(per_run: list[float], number: int) -> Timing:
    ordered = sorted(per_run)
    if len(ordered) >= 2:
        q1, _, q3 = statistics.quantiles(ordered, n=4, method="inclusive")
    else:
        q1 = q3 = ordered[0]
    return Timing(statistics.median(ordered), ordered[0], ordered[-1], q1, q3, len(ordered), number)


def time_runs(run, number: int) -> float:
    start = time.perf_counter()
    for _ in range(number):
        run()
    return time.perf_counter() - start


def _run_counts():
    """1, 2, 5, 10, 20, 50, ... as timeit.autorange tries them."""
    scale = 1
    while True:
        for step in (1, 2, 5):
            yield step * scale
        scale *= 10


def calibrate(run, min_time: float, first: float | None = None) -> tuple[int, float]:
    """Runs per repeat and the seconds they took. first is the time of one
    run already made (such as the check of the results): when that is long
    enough it stands for the first trial and saves a slow run."""
    if first is not None and first >= min_time:
        return 1, first
    for number in _run_counts():
        elapsed = time_runs(run, number)
        if elapsed >= min_time:
            return number, elapsed


class PythonRun:
    """A callable timed in this process; first as for calibrate()."""

    def __init__(self, run, first: float | None = None):
        self.run = run
        self.first = first

    def calibrate(self, min_time: float) -> tuple[int, float]:
        return calibrate(self.run, min_time, self.first)

    def sample(self, number: int) -> float:
        return time_runs(self.run, number) / number


def measure_together(runs: dict, *, min_time: float, budget: float, min_repeats: int = 3, max_repeats: int = 7) -> dict[str, Timing]:
    """Times every run (anything with calibrate(min_time) and sample(number),
    like PythonRun); each gets as many repeats as fit its budget, at least
    min_repeats, and the repeats of all runs take turns."""
    # Like timeit: the collector would charge one run for another's garbage.
    gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    try:
        plan = {}
        for name, run in runs.items():
            number, elapsed = run.calibrate(min_time)
            plan[name] = (number, max(min_repeats, min(max_repeats, int(budget / max(elapsed, 1e-9)))))
        samples = {name: [] for name in runs}
        for r in range(max(repeats for _, repeats in plan.values())):
            for name, run in runs.items():
                number, repeats = plan[name]
                if r < repeats:
                    samples[name].append(run.sample(number))
    finally:
        if enabled:
            gc.enable()
    return {name: summarise(samples[name], plan[name][0]) for name in runs}
