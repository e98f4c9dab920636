"""The lab's statistics, all of them: summaries of a series, comparisons of
two (bootstrap interval, Mann-Whitney U or Wilcoxon signed-rank test),
ratios within rounds, the median's interval, a run's mean without its
interrupts, robust line fits, targets judged, and change points. scipy does
the statistics; this module chooses them and holds their one setting.

A record's figure is its MEDIAN: the median of its calls' counts. Every
comparison comes back as numbers and a verdict code, never a sentence:

  faster, slower   the test's p is below ALPHA: new is lower, or higher
  no-difference    it is not: no significant difference, which is not the
                   same as no difference
  undecided        too few values for the test to reach p < ALPHA at all
                   (the lab's tables; tools/series leaves it to p)
  reference        the row every other is measured against
  no-ratio         a fixed cost at or below 0: no ratio to give

Where a command's rounds ran until decided, its ratios within rounds are
rnglab.sequential's instead (sequential.judging): the same codes, "same"
too, no p.
"""

import math
from fractions import Fraction

import numpy as np

ALPHA = 0.05
FEW_RECORDS = 9
# The one bootstrap setting: every interval the lab gives is a percentile
# bootstrap of this many resamples at this confidence, from this seed.
BOOTSTRAP = {"resamples": 9999, "confidence": 1 - ALPHA, "method": "percentile",
             "seed": 20261208}
BOOTSTRAP_RESAMPLES = BOOTSTRAP["resamples"]
SEED = BOOTSTRAP["seed"]
# Resampled values held at once, about 80 MB of float64.
BOOTSTRAP_VALUES = 10_000_000
# Change points: the familywise false-alarm rate of a series without change,
# the fewest records a segment may have (fewer and a burst of slow runs from
# one host hiccup would pass for a new level), and where a squared error stops
# growing, in robust standard deviations, so that an outlier costs the same
# on either side of a change and cannot pull it.
CHANGE_ALPHA = 0.01
SHORTEST_SEGMENT = 10
OUTLIER_SDS = 4
# Resampled values per change's bootstrap: long segments get fewer resamples
# (never under CHANGE_RESAMPLES_LEAST) so that 10,000 records take seconds.
CHANGE_BOOTSTRAP_VALUES = 10_000_000
CHANGE_RESAMPLES_LEAST = 999
# A run's robust mean leaves out its interrupts: the calls above both this
# many times its median and its this percentile. The percentile keeps what
# recurs (a refill every third call, a reseed every 2^16 calls) in the mean,
# since anything in more than one call in a thousand is the generator's own.
INTERRUPT_FACTOR = 10
INTERRUPT_PERCENTILE = 99.9


def _sequential():
    """rnglab.sequential while this invocation's rounds are judged by it
    (sequential.judging), else None: the bootstrap of a fixed number of
    rounds."""
    from rnglab import sequential  # pylint: disable=import-outside-toplevel
    return sequential if sequential.design() is not None else None


def scipy_stats():
    from scipy import stats  # pylint: disable=import-outside-toplevel
    return stats


def bootstrap(samples, statistic, paired=False, resamples=None):
    """The BOOTSTRAP interval of statistic(*samples, axis) as (low, high),
    None for a bound that is not finite."""
    held = sum(len(s) for s in samples)
    with np.errstate(divide="ignore", invalid="ignore"):
        interval = scipy_stats().bootstrap(
            samples, statistic, vectorized=True, paired=paired,
            confidence_level=BOOTSTRAP["confidence"],
            n_resamples=resamples or BOOTSTRAP["resamples"], method=BOOTSTRAP["method"],
            batch=max(1, BOOTSTRAP_VALUES // held),
            random_state=np.random.default_rng(BOOTSTRAP["seed"])).confidence_interval
    low, high = float(interval.low), float(interval.high)
    return (low, high) if math.isfinite(low) and math.isfinite(high) else (None, None)


def ratio_of_medians(a, b, axis):
    return np.median(b, axis=axis) / np.median(a, axis=axis)


def medians_of(records):
    return np.array([r["median"] for r in records], dtype=np.float64)


def quantile(values, q):
    """The q-quantile by linear interpolation between order statistics (as
    numpy's default), computed exactly: counts reach 2^64 - 1, which no
    double holds."""
    ordered = sorted(Fraction(v) for v in values)
    at = Fraction(q) * (len(ordered) - 1)
    low = math.floor(at)
    high = min(low + 1, len(ordered) - 1)
    return ordered[low] + (ordered[high] - ordered[low]) * (at - low)


def summarise(records):
    x = medians_of(records)
    exact = [r["median"] for r in records]
    mid = quantile(exact, 0.5)
    # nanobench's err%: the median of each value's relative distance from
    # the median.
    nonzero = x[x != 0]
    err = np.median(np.abs(nonzero - float(mid)) / nonzero) * 100 if nonzero.size else 0.0
    return {
        "n": len(records),
        "median": mid,
        "min": min(exact),
        "max": max(exact),
        "q1": quantile(exact, 0.25),
        "q3": quantile(exact, 0.75),
        "err%": float(err),
        "average": quantile([r["average"] for r in records], 0.5),
        "seconds": float(np.median([float(r["seconds"]) for r in records])),
    }


def direction(ratio):
    return "slower" if ratio > 1 else "faster"


def compare(old, new, resamples=None):
    """Two series of records, old against new: both medians, the ratio of
    the medians with its bootstrap interval, and the two-sided Mann-Whitney
    U test, whose p alone gives the verdict."""
    x, y = medians_of(old), medians_of(new)
    # With an old median of 0 there is no ratio, and resamples whose old
    # median is 0 have none either: no ratio or interval is then given.
    ratio = float(np.median(y) / np.median(x)) if np.median(x) else None
    low = high = None
    if ratio is not None and len(x) >= 2 and len(y) >= 2:
        low, high = bootstrap((x, y), ratio_of_medians, resamples=resamples)
    test = scipy_stats().mannwhitneyu(x, y, alternative="two-sided")
    p = float(test.pvalue)
    verdict = "no-difference"
    if p < ALPHA:
        # U counts the pairs in which old is the higher: above half, new is lower.
        lower = test.statistic > len(x) * len(y) / 2
        verdict = direction(ratio) if ratio is not None else ("faster" if lower else "slower")
    return {"old_n": len(x), "old_median": quantile([r["median"] for r in old], 0.5),
            "new_n": len(y), "new_median": quantile([r["median"] for r in new], 0.5),
            "ratio": ratio, "low": low, "high": high, "p": p, "verdict": verdict,
            "n": min(len(x), len(y)),
            "least_p": min(1.0, 2 / math.comb(len(x) + len(y), len(x)))}


def reached(c):
    """c, undecided if its test could not reach p < ALPHA with so few
    values, whatever its p: the absence of evidence is not evidence of
    absence."""
    return {**c, "verdict": "undecided"} if c["least_p"] >= ALPHA else c


def decided(ratio, p, least_p):
    """The lab's verdict code for a ratio and its test."""
    if least_p >= ALPHA:
        return "undecided"
    if p < ALPHA and ratio is not None:
        return direction(ratio)
    return "no-difference"


def reference(n=None):
    """The row others are measured against, as a comparison."""
    return {"ratio": 1.0, "low": None, "high": None, "p": None, "n": n, "least_p": None,
            "verdict": "reference"}


def paired(base, other):
    """other against base, round by round: per round the ratio of the two
    figures (the same processor ran both, so its own factor cancels), their
    median with its bootstrap interval, and the two-sided Wilcoxon
    signed-rank test of the ratios' logarithms against 0. Each side is a
    list of {"median", "round"}; rounds that only one side has are left
    out."""
    figures = {r["round"]: r["median"] for r in base}
    ratios = np.array([r["median"] / figures[r["round"]] for r in other
                       if figures.get(r["round"])], dtype=np.float64)
    marks = noise_marks(base, other)
    if not ratios.size:
        return {"ratio": None, "low": None, "high": None, "p": 1.0, "n": 0, "least_p": 1.0,
                "verdict": "undecided", **marks}
    if _sequential():
        return {**_sequential().comparison(ratios), **marks}
    mid, low, high = median_interval(ratios)
    p, least_p = signed_rank(np.log(ratios))
    return {"ratio": mid, "low": low, "high": high, "p": p, "n": int(ratios.size),
            "least_p": least_p, "verdict": decided(mid, p, least_p), **marks}


def signed_rank(values):
    """(p, least p) of the two-sided Wilcoxon signed-rank test of values
    against 0. Values of 0 are dropped first, as Wilcoxon's test does, so
    that the exact test stands for the rest (scipy would fall back to the
    normal approximation, with a warning); the least p, every sign alike on
    either side, is that of the values left. None left: p 1, and the least
    p of them all."""
    x = np.asarray(values, dtype=np.float64)
    left = x[x != 0]
    if not left.size:
        return 1.0, min(1.0, 2 / 2 ** int(x.size))
    return float(scipy_stats().wilcoxon(left).pvalue), min(1.0, 2 / 2 ** int(left.size))


def noise_marks(base, other):
    """How many of a comparison's rounds had, on either side, a figure from
    a run marked noisy, or from the re-run of one ({} where the runs'
    noise was not recorded); base and other as paired takes them, each
    {"median", "round", "noisy", "rerun"}."""
    if not any("noisy" in r for r in (*base, *other)):
        return {}
    both = {r["round"] for r in base} & {r["round"] for r in other}
    return {mark: len({r["round"] for r in (*base, *other) if r.get(mark)} & both)
            for mark in ("noisy", "rerun")}


def spread(values):
    """(highest - lowest) / median of values: how far a figure ranges
    against its own level."""
    x = np.asarray(values, dtype=np.float64)
    return float((x.max() - x.min()) / np.median(x))


def median_interval(values):
    """The median of one sample with its bootstrap interval; no interval
    below two values."""
    x = np.asarray(values, dtype=np.float64)
    if len(x) < 2:
        return float(np.median(x)), None, None
    low, high = bootstrap((x,), np.median)
    return float(np.median(x)), low, high


def robust_mean(counts):
    """The mean of a run's counts but its interrupts (INTERRUPT_FACTOR,
    INTERRUPT_PERCENTILE): (that mean, how many counts were left out)."""
    x = np.asarray(counts, dtype=np.float64)
    cut = max(INTERRUPT_FACTOR * np.median(x), np.percentile(x, INTERRUPT_PERCENTILE))
    return float(scipy_stats().tmean(x, (None, cut))), int(np.count_nonzero(x > cut))


def ratio_per_round(top, bottom):
    """top's values over bottom's, taken round by round (the lists are in
    round order): their median with its bootstrap interval."""
    ratios = np.array(top) / np.array(bottom)
    if _sequential():
        return _sequential().ratio(ratios)
    mid, low, high = median_interval(ratios)
    return {"median": mid, "low": low, "high": high}


def judge(r, low, high):
    """A ratio against its target [low, high]: met when its interval lies
    inside, missed when wholly outside, else undecided; a single value (no
    interval) is met or missed. A ratio of rounds judged sequentially is
    judged by that rule (sequential.band_verdict)."""
    if r.get("interval") == "sequential":
        from rnglab import sequential  # pylint: disable=import-outside-toplevel
        return sequential.band_verdict(r, (low, high))
    if r["low"] is None:
        return "met" if low <= r["median"] <= high else "missed"
    if low <= r["low"] and r["high"] <= high:
        return "met"
    if r["high"] < low or r["low"] > high:
        return "missed"
    return "undecided"


def fit(points):
    """ticks = a + b x bytes fitted robustly (Theil-Sen) over (x, y) points:
    (a, b, b's low, b's high), b's interval at 1 - ALPHA; a bound that
    cannot be had (a handful of points) is nan."""
    x = np.array([p[0] for p in points], dtype=np.float64)
    y = np.array([p[1] for p in points], dtype=np.float64)
    with np.errstate(invalid="ignore"):
        slope, intercept, low, high = scipy_stats().theilslopes(y, x, alpha=1 - ALPHA)
    return float(intercept), float(slope), float(low), float(high)


def per_round_fits(points):
    """ticks = a + b x bytes fitted in each round (Theil-Sen); points:
    {round: [(bytes, ticks) ...]}. ({"median": a, "round": r} ...,
    {"median": b, "round": r} ...) over the rounds with two points or more."""
    a_values, b_values = [], []
    for r, mine in sorted(points.items()):
        if len(mine) < 2:
            continue
        a, b, _, _ = fit(mine)
        a_values.append({"median": a, "round": r})
        b_values.append({"median": b, "round": r})
    return a_values, b_values


def fixed_costs(base, other):
    """other's fixed cost over base's: the ratio of their medians over the
    rounds both have, its bootstrap interval resampling whole rounds, and
    the Wilcoxon signed-rank test of the rounds' differences. A round's
    fitted a may fall below 0 for a source whose cost is nearly all per
    byte, so neither a ratio per round nor its logarithm is taken; with a
    median not above 0 there is no ratio at all. In rounds run until decided
    its interval is marked "nominal": the rule has none for it."""
    figures = {r["round"]: r["median"] for r in base}
    pairs = [(figures[r["round"]], r["median"]) for r in other if r["round"] in figures]
    x = np.array([p[0] for p in pairs], dtype=np.float64)
    y = np.array([p[1] for p in pairs], dtype=np.float64)
    n = len(pairs)
    none = {"ratio": None, "low": None, "high": None, "p": 1.0, "n": n,
            "least_p": min(1.0, 2 / 2 ** n), "verdict": "no-ratio",
            **({"interval": "nominal"} if _sequential() else {})}
    if n < 2 or np.median(x) <= 0 or np.median(y) <= 0:
        return none
    low, high = bootstrap((x, y), ratio_of_medians, paired=True)
    p, least_p = signed_rank(y - x)
    ratio = float(np.median(y) / np.median(x))
    return {**none, "ratio": ratio, "low": low, "high": high, "p": p, "least_p": least_p,
            "verdict": decided(ratio, p, least_p)}


def find_changes(x, alpha=CHANGE_ALPHA, shortest=SHORTEST_SEGMENT):
    """Where the level of the values x shifts: for each change, the position
    of the first value after it and its p corrected for the splits tried.

    Binary segmentation: in a stretch, the split with the largest
    standardised rank sum before it is tested with the two-sided
    Mann-Whitney U test, and stands if p times the number of splits tried
    is below alpha; then both sides are searched in turn. The rank sum finds
    a change but places it loosely, so each is then placed again between
    its neighbours, where it is the only one, at the split that best fits
    the two levels (squared errors, capped at OUTLIER_SDS robust standard
    deviations); a change that no longer passes the test is dropped and the
    rest are placed again."""
    stats = scipy_stats()

    def corrected_p(start, split, end):
        p = stats.mannwhitneyu(x[start:split], x[split:end], alternative="two-sided").pvalue
        return min(1.0, p * (end - start - 2 * shortest + 1))

    found, todo = [], [(0, len(x))]
    while todo:
        start, end = todo.pop()
        k = np.arange(shortest, end - start - shortest + 1)
        if not k.size:
            continue
        excess = np.cumsum(stats.rankdata(x[start:end]))[k - 1] - k * (end - start + 1) / 2
        split = start + int(k[np.argmax(np.abs(excess) / np.sqrt(k * (end - start - k)))])
        if corrected_p(start, split, end) < alpha:
            found.append(split)
            todo += [(start, split), (split, end)]
    while True:
        edges = [0, *sorted(found), len(x)]
        for i in range(1, len(edges) - 1):
            edges[i] = placed_again(x, edges[i - 1], edges[i], edges[i + 1], shortest)
        tested = [(edges[i], corrected_p(edges[i - 1], edges[i], edges[i + 1]))
                  for i in range(1, len(edges) - 1)]
        found = [split for split, p in tested if p < alpha]
        if len(found) == len(tested):
            return tested


def placed_again(x, start, split, end, shortest):
    """The split between start and end that best fits the two levels."""
    stats = scipy_stats()
    low, high = np.median(x[start:split]), np.median(x[split:end])
    spread = stats.median_abs_deviation(
        np.concatenate([x[start:split] - low, x[split:end] - high]), scale="normal")
    cap = (OUTLIER_SDS * spread if spread else high - low) ** 2
    # cost[j]: the cost of a split after j + 1 values, less a constant.
    cost = np.cumsum(np.minimum((x[start:end] - low) ** 2, cap) -
                     np.minimum((x[start:end] - high) ** 2, cap))
    k = np.arange(shortest, end - start - shortest + 1)
    best = int(k[np.argmin(cost[k - 1])])
    return start + best if cost[best - 1] < cost[split - start - 1] else split


def segments_of(records, changes):
    """The records between changes, in order: changes are positions in records."""
    edges = [0, *(split for split, _ in changes), len(records)]
    return [records[a:b] for a, b in zip(edges, edges[1:])]


def change_resamples(before, after):
    return int(np.clip(CHANGE_BOOTSTRAP_VALUES // (len(before) + len(after)),
                       CHANGE_RESAMPLES_LEAST, BOOTSTRAP_RESAMPLES))


def changes_report(series, found):
    """Each series' changes (found: keyed like series), each compared
    across, and its segments summarised."""
    report = []
    for key, records in series.items():
        segments = segments_of(records, found[key])
        changes = [{"index": after[0]["index"], "line": after[0]["line"], "corrected_p": p,
                    **compare(before, after, change_resamples(before, after))}
                   for (_, p), before, after in zip(found[key], segments, segments[1:])]
        report.append({"label": key[0], "file": records[0]["file"], "records": len(records),
                       "searched": len(records) >= 2 * SHORTEST_SEGMENT, "changes": changes,
                       "segments": [{"first": s[0]["index"], "last": s[-1]["index"],
                                     **summarise(s)} for s in segments]})
    return {"series": report, "alpha": CHANGE_ALPHA, "shortest": SHORTEST_SEGMENT}
