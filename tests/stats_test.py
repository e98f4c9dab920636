"""The lab's statistics on hand-checkable series: summaries, the verdict of
a comparison, and change points."""

import warnings

import numpy as np
import pytest

from rnglab import record as record_module
from rnglab import stats
from tests.helpers import record


def test_summary_statistics_on_hand_checkable_series():
    three = record_module.parse(record("A:", 30) + record("A:", 10, average=4) + record("A:", 20),
                                "f")
    s = stats.summarise(three)
    assert (s["n"], s["median"], s["min"], s["max"], s["average"]) == (3, 20, 10, 30, 10)
    # |10-20|/10, |20-20|/20, |30-20|/30: the median of 100%, 0% and 33.3%.
    assert s["err%"] == pytest.approx(100 / 3)

    four = record_module.parse(b"".join(record("A:", m) for m in (4, 1, 3, 2)), "f")
    s = stats.summarise(four)
    assert (s["median"], s["q1"], s["q3"]) == (2.5, 1.75, 3.25)


def as_records(values):
    return [{"median": int(v)} for v in values]


def test_the_verdict_finds_a_real_difference_and_no_false_one():
    rng = np.random.default_rng(1)
    old = rng.normal(10000, 100, 30).round()
    slower = stats.compare(as_records(old), as_records(old * 1.05))
    assert slower["p"] < 0.001
    assert slower["low"] < slower["ratio"] < slower["high"]
    assert 1.03 < slower["low"] and slower["high"] < 1.07
    assert slower["verdict"] == "slower"
    faster = stats.compare(as_records(old), as_records(old * 0.9))
    assert faster["verdict"] == "faster"

    same = stats.compare(as_records(old[:15]), as_records(old[15:]))
    assert same["p"] > 0.05
    assert same["low"] < 1 < same["high"]
    assert same["verdict"] == "no-difference"


def test_changes_on_hand_checkable_series():
    def changes(values):
        return [split for split, _ in stats.find_changes(np.array(values, dtype=float))]

    wobble = [0, 1, -1, 2, -2]  # no two neighbours alike, no drift
    flat = [1000 + wobble[i % 5] for i in range(40)]
    assert changes(flat) == []
    step = flat[:20] + [v + 30 for v in flat[20:]]
    ((split, p),) = stats.find_changes(np.array(step, dtype=float))
    # U = 0: z = 199.5 / sqrt(20 * 20 * 41 / 12) = 5.4, two-sided p about 6e-8, times the
    # 21 splits that leave ten records on each side.
    assert split == 20 and 1e-7 < p < 1e-5

    # Up and back down most of the way: both found, each where it is.
    there_and_back = flat[:20] + [v + 50 for v in flat[:20]] + [v + 10 for v in flat[:20]]
    assert changes(there_and_back) == [20, 40]

    # Outliers 20% high among both levels, one three records before the step,
    # where it looks like the higher level: neither a change nor a pull. The
    # two records after it are the top of the lower level, so the ranks alone
    # would cut at the outlier; the values put the change back.
    noisy = [1000 + wobble[i % 5] for i in range(60)]
    for at in (5, 13, 27, 33, 41, 50):
        noisy[at] = 1200 + wobble[at % 5]
    assert changes(noisy) == []
    hidden = noisy[:30] + [v + 30 for v in noisy[30:]]
    hidden[29] = 1002
    assert hidden[27:31] == [1199, 1002, 1002, 1030]
    assert changes(hidden) == [30]

    # Too short to say anything: nineteen records, however clear the step.
    assert changes([1000] * 9 + [2000] * 10) == []


def rounds_of(values):
    return [{"median": v, "round": r} for r, v in enumerate(values, start=1)]


# what is compared, and the verdict code that comes back
VERDICTS = [
    (lambda: stats.paired(rounds_of([100] * 6), rounds_of([90, 91, 89, 92, 90, 88])), "faster"),
    (lambda: stats.paired(rounds_of([100] * 6), rounds_of([130, 131, 129, 132, 133, 134])),
     "slower"),
    (lambda: stats.paired(rounds_of([100] * 6), rounds_of([99, 101, 100.5, 99.5, 102, 98])),
     "no-difference"),
    (lambda: stats.paired(rounds_of([100] * 5), rounds_of([90] * 5)), "undecided"),
    # A round whose ratio is exactly 1 says nothing of a sign: the five left
    # cannot reach p < 0.05 (nor warn that the exact test cannot be had).
    (lambda: stats.paired(rounds_of([100] * 6), rounds_of([90, 91, 89, 92, 90, 100])),
     "undecided"),
    (lambda: stats.paired(rounds_of([100, 100]), rounds_of([90, 100])), "undecided"),
    (lambda: stats.fixed_costs(rounds_of([4000, 4100]), rounds_of([4000, 4300])), "undecided"),
    (lambda: stats.paired(rounds_of([100] * 3), []), "undecided"),
    (lambda: stats.reached(stats.compare(as_records([100, 101]), as_records([90, 91]))),
     "undecided"),
    (lambda: stats.fixed_costs(rounds_of([4000, 4100, 3900]), rounds_of([-90, -100, -95])),
     "no-ratio"),
    (lambda: stats.compare(as_records([0] * 10), as_records([5] * 10)), "slower"),
]


@pytest.mark.parametrize("comparison, verdict", VERDICTS)
def test_a_comparison_comes_back_as_numbers_and_a_verdict_code(comparison, verdict):
    # Nor does it warn: a warning would reach the command's standard error.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert comparison()["verdict"] == verdict


@pytest.mark.parametrize("ratio, target, verdict", [
    ({"median": 1.0, "low": 0.99, "high": 1.01}, (0.98, 1.02), "met"),
    ({"median": 1.0, "low": 0.97, "high": 1.01}, (0.98, 1.02), "undecided"),
    ({"median": 1.1, "low": 1.05, "high": 1.15}, (0.98, 1.02), "missed"),
    ({"median": 0.04, "low": None, "high": None}, (0, 0.05), "met"),
    ({"median": 0.06, "low": None, "high": None}, (0, 0.05), "missed"),
])
def test_a_ratio_is_judged_against_its_target(ratio, target, verdict):
    assert stats.judge(ratio, *target) == verdict


# counts, and the robust mean with how many were left out: the calls above
# both 10 x the median and the p99.9
ROBUST = [
    # 997 x 100, 150, 900 and 50,000: the cut is max(1000, 949.1); the
    # interrupt goes, the slow call below 10 x the median stays.
    ([100] * 997 + [150, 900, 50000], (100750 / 999, 1)),
    # Two spikes in 1000 calls are the p99.9 itself: a cost that recurs stays.
    ([100] * 998 + [50000, 50000], (199.8, 0)),
    # A buffer refilled every third call: the mean, not the median.
    ([80, 80, 340] * 3, (500 / 3, 0)),
    ([7], (7, 0)),
]


@pytest.mark.parametrize("counts, mean_and_left_out", ROBUST)
def test_the_robust_mean_leaves_out_the_interrupts_alone(counts, mean_and_left_out):
    mean, left_out = stats.robust_mean(counts)
    assert (mean, left_out) == (pytest.approx(mean_and_left_out[0]), mean_and_left_out[1])
