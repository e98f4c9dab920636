"""Rounds until decided: the looks' intervals, the verdicts, the stop, and a
simulation of the whole sequential procedure on noise like this VM's."""

import numpy as np
import pytest
from scipy.stats import binom, binomtest

from rnglab import sequential, stats

LOOKS_TO = 200  # the most rounds a simulated comparison runs


def vm_ratios(rng, experiments, rounds, ratio):
    """Per-round ratios of two sides measured like this VM measures them: a
    run median's noise of 2.5 to 5% (run medians spreading 7 to 15% over ten
    runs), three times that in one noisy stretch of rounds per experiment,
    and 5% of runs 30% slow; the processor's own factor is shared by both
    sides of a round and cancels."""
    spread = rng.uniform(0.025, 0.05, (experiments, 1))
    start = rng.integers(0, rounds, (experiments, 1))
    at = np.arange(rounds)
    spread = np.where((at >= start) & (at < start + rounds // 10), 3 * spread, spread)

    def side():
        slow = rng.random((experiments, rounds)) < 0.05
        return spread * rng.standard_normal((experiments, rounds)) + slow * np.log(1.3)
    return np.exp(side() - side()) * ratio


def run_sequentially(ratios, target, precision, plan=None):
    """Each experiment looked at, look by look, until decided or out of
    rounds, through the module's own interval and verdicts: its verdict and
    the rounds it took."""
    plan = plan or sequential.schedule()
    experiments = len(ratios)
    verdict = np.full(experiments, "undecided", dtype="<U9")
    rounds = np.full(experiments, LOOKS_TO)
    done = np.zeros(experiments, dtype=bool)
    for n in sequential.schedule().looks(LOOKS_TO):
        _, low, high = sequential.bounds(ratios[:, :n], plan=plan)
        codes, decided = sequential.verdicts(low, high, target, precision)
        now = decided & ~done
        verdict[now], rounds[now] = codes[now], n
        done |= decided
    return verdict, rounds


def upper(count, total):
    """One-sided 99% upper bound of a rate seen count times in total."""
    return binomtest(int(count), total).proportion_ci(0.98).high


class FixedLevel:
    """The same looks, each at the plain 95% level: the procedure that
    looking again and again makes dishonest."""

    def is_look(self, rounds):
        return sequential.schedule().is_look(rounds)

    def cut(self, rounds):
        return int(np.searchsorted(2 * binom.cdf(np.arange(rounds), rounds, 0.5), 0.05,
                                   side="right")) - 1


@pytest.mark.parametrize("precision", [None, 0.01, 0.02])
def test_false_differences_stay_under_5_percent_over_the_whole_procedure(precision):
    experiments = 20000
    ratios = vm_ratios(np.random.default_rng(31), experiments, LOOKS_TO, 1.0)
    verdict, _ = run_sequentially(ratios, 1.0, precision)
    false = np.isin(verdict, ["faster", "slower"]).sum()
    assert upper(false, experiments) < 0.05
    if precision is None:
        # Nothing stops early: every look's chance is taken, which the
        # schedule computed exactly; the simulation must agree with it.
        spent = sequential.schedule().spent(LOOKS_TO)
        assert abs(false / experiments - spent) < 4 * np.sqrt(spent * (1 - spent) / experiments)


def test_the_simulation_sees_the_error_of_looking_without_correction():
    experiments = 4000
    ratios = vm_ratios(np.random.default_rng(7), experiments, LOOKS_TO, 1.0)
    verdict, _ = run_sequentially(ratios, 1.0, None, plan=FixedLevel())
    false = np.isin(verdict, ["faster", "slower"]).mean()
    assert false > 0.10


@pytest.mark.parametrize("ratio, target, verdict, share, rounds", [
    (1.03, 1.0, "slower", 0.95, 60),  # a real 3% difference
    (0.97, 1.0, "faster", 0.95, 60),
    # The program against its hand loop: the interval must fit a 4% band
    # whole, which this much noise takes long to allow.
    (1.0, (0.98, 1.02), "met", 0.40, 150),
    (1.05, (0.98, 1.02), "missed", 0.95, 60),
])
def test_real_differences_are_decided_in_reasonable_rounds(ratio, target, verdict, share,
                                                           rounds):
    experiments = 4000
    ratios = vm_ratios(np.random.default_rng(3), experiments, LOOKS_TO, ratio)
    got, took = run_sequentially(ratios, target, 0.01)
    assert (got == verdict).mean() >= share
    assert np.median(took[got == verdict]) <= rounds
    assert np.isin(got, ["faster", "slower", "met", "missed"]).sum() == (got == verdict).sum()


def test_the_schedule_spends_its_error_and_starts_where_a_decision_can_come():
    plan = sequential.schedule()
    first = plan.first
    # The first look: the fewest rounds whose interval can exclude anything,
    # all on one side being then less likely than what may be spent.
    assert 2 / 2 ** first <= plan.spend(first) and 2 / 2 ** (first - 1) > plan.spend(first - 1)
    looks = plan.looks(1000)
    assert looks[0] == first and all(b > a for a, b in zip(looks, looks[1:]))
    assert all(b <= np.ceil(a * sequential.GROWTH) for a, b in zip(looks, looks[1:]))
    assert all(plan.spent(n) <= plan.spend(n) + 1e-12 for n in looks)
    assert plan.spent(1000) > 0.9 * plan.spend(1000)
    # A look's interval is wider than a single 95% interval: it pays for the others.
    assert all(plan.level_at(n) < 0.05 for n in looks)
    assert plan.cut(first - 1) == -1 and plan.level_at(first - 1) is None


def crossed(signs, looks, cut):
    """Which fair-coin walks (signs[walk, round]: a ratio below the true
    median) some look's interval would have excluded it from."""
    below = np.cumsum(signs, axis=1, dtype=np.int32)
    out = np.zeros(len(signs), dtype=bool)
    for n in looks:
        a = cut(n)
        out |= (below[:, n - 1] <= a) | (below[:, n - 1] >= n - a)
    return out


def test_a_run_stopped_between_looks_takes_its_last_round_as_final():
    plan = sequential.schedule()
    looks = plan.looks(200)
    between = looks[-1] - 1
    assert not plan.is_look(between)
    with pytest.raises(ValueError, match=f"{between} rounds is not a look: the next is at"):
        sequential.decide(np.ones(between), 1.0)
    d = sequential.decide(np.linspace(0.9, 1.1, between), 1.0, final=True)
    assert d["rounds"] == between and d["low"] < 1 < d["high"]
    # The scheduled looks before it and the final look together spend no
    # more than the schedule allows by then, counted on fair coins.
    walks = 200000
    signs = np.random.default_rng(11).random((walks, between)) < 0.5
    rate = crossed(signs, [n for n in looks if n < between] + [between], plan.cut).mean()
    allowed = plan.spend(between)
    assert rate < allowed + 4 * np.sqrt(allowed / walks)
    assert plan.cut(between) >= plan.cut(looks[-2])


def order_interval(values, alpha=stats.ALPHA):
    """The median with its distribution-free interval at one look of a fixed
    number of rounds: the tightest pair of order statistics that holds the
    median with at least 1 - alpha confidence."""
    x = np.sort(np.asarray(values, dtype=np.float64))
    n = len(x)
    cut = int(binom.ppf(alpha / 2, n, 0.5)) - 1
    if cut >= 0 and 2 * binom.cdf(cut + 1, n, 0.5) <= alpha:
        cut += 1
    return float(np.median(x)), float(x[cut]), float(x[n - 1 - cut])


def test_the_exact_interval_agrees_with_the_bootstrap():
    rng = np.random.default_rng(5)
    for n in (10, 15, 20, 30, 50, 100):
        x = np.exp(rng.normal(0, 0.04, n)) * np.where(rng.random(n) < 0.05, 1.3, 1)
        ordered = np.sort(x)
        mid, low, high = order_interval(x)
        boot_mid, boot_low, boot_high = stats.median_interval(x)
        assert mid == boot_mid
        # Never narrower (it holds its level exactly where the percentile
        # bootstrap falls a little short), and at most about one order
        # statistic wider.
        assert low <= boot_low and boot_high <= high
        place = np.interp([low, boot_low, boot_high, high], ordered, np.arange(n))
        assert place[1] - place[0] <= 1.5 and place[3] - place[2] <= 1.5


@pytest.mark.parametrize("low, high, target, precision, verdict, decided", [
    (1.01, 1.04, 1.0, 0.01, "slower", True),
    (0.95, 0.99, 1.0, None, "faster", True),
    (0.995, 1.012, 1.0, 0.01, "same", True),  # narrower than 2P, holds 1
    (0.98, 1.03, 1.0, 0.01, "undecided", False),
    (0.99, 1.01, 1.0, 0.01, "undecided", False),  # exactly 2P: not narrower
    (0.985, 1.015, (0.98, 1.02), 0.01, "met", True),
    (1.021, 1.05, (0.98, 1.02), 0.01, "missed", True),
    (0.95, 0.979, (0.98, 1.02), None, "missed", True),
    (1.012, 1.025, (0.98, 1.02), 0.01, "undecided", True),  # on the edge, to +/- P
    (1.00, 1.03, (0.98, 1.02), 0.01, "undecided", False),
    (1.00, 1.03, (0.98, 1.02), None, "undecided", False),
])
def test_verdicts(low, high, target, precision, verdict, decided):
    code, done = sequential.verdicts(low, high, target, precision)
    assert (str(code), bool(done)) == (verdict, decided)


@pytest.mark.parametrize("decided, elapsed, kwargs, answer", [
    ([True, True], 10, {"max_time": 5}, (True, "decided")),
    ([True, False], 10, {"max_time": 5}, (True, "max-time")),
    ([True, False], 4, {"max_time": 5, "round_seconds": 2}, (True, "max-time")),
    ([True, False], 3, {"max_time": 5, "round_seconds": 2}, (False, None)),
    ([False], 3, {"rounds": 500, "max_rounds": 500}, (True, "max-rounds")),
    ([], 3, {"max_time": 5}, (False, None)),  # before the first look
])
def test_when_to_stop(decided, elapsed, kwargs, answer):
    decisions = [{"decided": d} for d in decided]
    assert sequential.should_stop(decisions, elapsed, **kwargs) == answer


@pytest.mark.parametrize("text, seconds", [
    ("90s", 90), ("15m", 900), ("1h", 3600), ("2h30m", 9000), ("1h0m5s", 3605), (" 15M ", 900),
    ("15", None), ("", None), ("m", None), ("30m2h", None), ("1.5h", None), ("0s", None),
    ("-5m", None), ("15 m", None),
])
def test_durations(text, seconds):
    if seconds is None:
        with pytest.raises(ValueError) as error:
            sequential.parse_duration(text)
        assert "\n" not in str(error.value) and repr(text) in str(error.value)
        return
    assert sequential.parse_duration(text) == seconds
    assert sequential.parse_duration(sequential.duration_text(seconds)) == seconds
