"""The timing statistics and the turn-taking of repeats."""

import pytest

from bench import timing


def test_summary_of_known_samples():
    t = timing.summarise([5.0, 1.0, 4.0, 2.0, 3.0], number=10)
    assert (t.median, t.minimum, t.maximum, t.q1, t.q3) == (3.0, 1.0, 5.0, 2.0, 4.0)
    assert (t.repeats, t.number) == (5, 10)


class FakeRun:
    """Pretends each run lasts `seconds`; records the order of samples."""

    def __init__(self, name, seconds, log):
        self.name, self.seconds, self.log = name, seconds, log

    def calibrate(self, min_time):
        return 1, self.seconds

    def sample(self, number):
        self.log.append(self.name)
        return self.seconds


def test_runs_take_turns_and_fit_their_budget():
    log = []
    runs = {"fast": FakeRun("fast", 0.01, log), "slow": FakeRun("slow", 1.0, log)}
    got = timing.measure_together(runs, min_time=0.005, budget=0.05, min_repeats=3, max_repeats=7)
    assert got["fast"].repeats == 5 and got["slow"].repeats == 3
    assert log[:6] == ["fast", "slow"] * 3


def test_calibration_reuses_a_long_first_run():
    calls = []
    assert timing.calibrate(lambda: calls.append(1), 0.1, first=0.5) == (1, 0.5)
    assert calls == []


@pytest.mark.parametrize("first", [None, 0.0])
def test_calibration_grows_the_count(first):
    number, elapsed = timing.calibrate(lambda: sum(range(1000)), 0.002, first=first)
    assert number in {1, 2, 5} or str(number)[0] in "125"
    assert elapsed >= 0.002
