"""The lab's statistics: summaries of a series, comparisons of two with a
bootstrap interval and the Mann-Whitney U test, the median's interval, and
change points. scipy does the statistics; this module chooses them and
holds their settings.

A record's figure is its MEDIAN: the median of its calls' counts.
"""

import math
from fractions import Fraction

import numpy as np

ALPHA = 0.05
FEW_RECORDS = 9
BOOTSTRAP_RESAMPLES = 9999
# Resampled values held at once, about 80 MB of float64.
BOOTSTRAP_VALUES = 10_000_000
SEED = 20261208
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
        "err%": err,
        "average": quantile([r["average"] for r in records], 0.5),
        "seconds": np.median([float(r["seconds"]) for r in records]),
    }


def compare(old, new, resamples=BOOTSTRAP_RESAMPLES):
    """The comparison of two series of records, old against new."""
    from scipy import stats  # pylint: disable=import-outside-toplevel

    x, y = medians_of(old), medians_of(new)
    # With an old median of 0 there is no ratio, and resamples whose old
    # median is 0 have none either: no ratio or interval is then given.
    ratio = np.median(y) / np.median(x) if np.median(x) else None
    low = high = None
    if ratio is not None and len(x) >= 2 and len(y) >= 2:
        with np.errstate(divide="ignore", invalid="ignore"):
            interval = stats.bootstrap(
                (x, y), lambda a, b, axis: np.median(b, axis=axis) / np.median(a, axis=axis),
                vectorized=True, paired=False, confidence_level=1 - ALPHA,
                n_resamples=resamples, method="percentile",
                batch=max(1, BOOTSTRAP_VALUES // (len(x) + len(y))),
                random_state=np.random.default_rng(SEED)).confidence_interval
        if math.isfinite(interval.low) and math.isfinite(interval.high):
            low, high = interval.low, interval.high
    test = stats.mannwhitneyu(x, y, alternative="two-sided")
    p = test.pvalue
    if p < ALPHA and ratio is not None:
        change = "slower" if ratio > 1 else "faster"
        verdict = f"new is {abs(ratio - 1) * 100:.1f}% {change} (p = {p:.2g})"
    elif p < ALPHA:
        # U counts the pairs in which old is the higher: above half, new is lower.
        change = "faster" if test.statistic > len(x) * len(y) / 2 else "slower"
        verdict = f"new is {change} (p = {p:.2g}; the old median is 0, so no ratio)"
    else:
        verdict = f"no significant difference (p = {p:.2g})"
    return {"old_n": len(x), "old_median": quantile([r["median"] for r in old], 0.5),
            "new_n": len(y), "new_median": quantile([r["median"] for r in new], 0.5),
            "ratio": ratio, "low": low, "high": high, "p": p,
            "verdict": verdict, "n": min(len(x), len(y)),
            "least_p": min(1.0, 2 / math.comb(len(x) + len(y), len(x)))}


def paired(reference, other):
    """other against reference, round by round: per round the ratio of the
    two figures (the same processor ran both, so its own factor cancels),
    their median with its 95% bootstrap interval, and the two-sided Wilcoxon
    signed-rank test of the ratios' logarithms against 0. Each side is a list
    of {"median", "round"}; rounds that only one side has are left out."""
    from scipy import stats  # pylint: disable=import-outside-toplevel

    base = {r["round"]: r["median"] for r in reference}
    ratios = np.array([r["median"] / base[r["round"]] for r in other
                       if base.get(r["round"])], dtype=np.float64)
    if not ratios.size:
        return {"ratio": None, "low": None, "high": None, "p": 1.0, "n": 0, "least_p": 1.0}
    mid, low, high = median_interval(ratios)
    logs = np.log(ratios)
    p = stats.wilcoxon(logs).pvalue if np.any(logs != 0) else 1.0
    # The exact test's smallest p: every sign alike, on either side.
    return {"ratio": mid, "low": low, "high": high, "p": float(p), "n": int(ratios.size),
            "least_p": min(1.0, 2 / 2 ** int(ratios.size))}


def median_interval(values):
    """The median of one sample with its 95% percentile-bootstrap interval
    (same resamples and seed as compare); no interval below two values."""
    from scipy import stats  # pylint: disable=import-outside-toplevel

    x = np.asarray(values, dtype=np.float64)
    if len(x) < 2:
        return float(np.median(x)), None, None
    interval = stats.bootstrap(
        (x,), np.median, vectorized=True, confidence_level=1 - ALPHA,
        n_resamples=BOOTSTRAP_RESAMPLES, method="percentile",
        batch=max(1, BOOTSTRAP_VALUES // len(x)),
        random_state=np.random.default_rng(SEED)).confidence_interval
    return float(np.median(x)), float(interval.low), float(interval.high)


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
    from scipy import stats  # pylint: disable=import-outside-toplevel

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
            start, split, end = edges[i - 1], edges[i], edges[i + 1]
            low, high = np.median(x[start:split]), np.median(x[split:end])
            spread = stats.median_abs_deviation(
                np.concatenate([x[start:split] - low, x[split:end] - high]), scale="normal")
            cap = (OUTLIER_SDS * spread if spread else high - low) ** 2
            # cost[j]: the cost of a split after j + 1 values, less a constant.
            cost = np.cumsum(np.minimum((x[start:end] - low) ** 2, cap) -
                             np.minimum((x[start:end] - high) ** 2, cap))
            k = np.arange(shortest, end - start - shortest + 1)
            best = int(k[np.argmin(cost[k - 1])])
            if cost[best - 1] < cost[split - start - 1]:
                edges[i] = start + best
        tested = [(edges[i], corrected_p(edges[i - 1], edges[i], edges[i + 1]))
                  for i in range(1, len(edges) - 1)]
        found = [split for split, p in tested if p < alpha]
        if len(found) == len(tested):
            return tested


def segments_of(records, changes):
    """The records between changes, in order: changes are positions in records."""
    edges = [0, *(split for split, _ in changes), len(records)]
    return [records[a:b] for a, b in zip(edges, edges[1:])]
