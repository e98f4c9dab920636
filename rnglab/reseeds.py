"""Periodic reseeds in rand_lab's samples, found by what sets them apart
rather than by their size: the same call index stands out from its
neighbours in (nearly) every sequence.

A busy host moves the whole level of a sequence's calls about (another
tenant on the core, a build on the other processor): stretches of calls
cost half as much again, and a threshold over the whole run is crossed by
tens of thousands of ordinary calls. So each call is measured against its
own neighbours, NEIGHBOURS on either side in the same sequence: a reseed is
one call several times dearer than the calls around it, a slow stretch is
not. Each sequence's calls are then ranked by that, and a call's share is
the share of its sequence's calls that stand out at least as much. Where
no index is special, a call index's shares in independent sequences are
independent and uniform, whatever the host did; at a reseed's index they
are all small.

A period T starting at call s has places s, s + T, s + 2T, ...: it stands
when HIT_SHARE of the shares at its places over all sequences, or more,
are small beyond chance. For uniform shares the j-th smallest of N is at
most q with probability P(Binomial(N, q) >= j), exactly; the best of a few
j from HIT_SHARE x N to N is taken, its chance times the j tried. That chance,
over the weight of the hypothesis, must stay under PERIOD_ALPHA (weighted
Bonferroni, the weights summing to 1): spike-free sequences and spikes that
fall anywhere then show no period. Half the weight goes to every start from
1 to T, every period from SHORTEST_PERIOD calls to the longest that shows
three times; half to the reseeds a generator makes, which count its calls
from call 0, where it is set up: starts within SLACK of T. Interrupts
larger than a reseed raise its share; with those few hypotheses its period
stands against a few thousand of them a run, where all starts together
would need its places among the few hundred most elevated calls. The
hypotheses tried are those of the call indices with the smallest shares
over all sequences, which is where a period's places are.
"""

import math

import numpy as np

# Calls on either side that a call is measured against: enough that a few
# slow neighbours leave their median alone, few enough that it follows the
# host's stretches.
NEIGHBOURS = 8
# A spike, for the counts reported: at least this many times the median of
# its neighbours. Whether a period stands does not depend on it.
SPIKE_RATIO = 1.5
SHORTEST_PERIOD = 64
HIT_SHARE = 0.75
# The shares of hits tried, from HIT_SHARE to every place.
HITS_TRIED = (HIT_SHARE, 0.8, 0.85, 0.9, 0.95, 1.0)
PERIOD_ALPHA = 0.001
# Reseeds counted from call 0 may land a call or two off the period's
# multiples, as a generator counts its set-up or its first request.
SLACK = 2
# The call indices whose pairs are tried as a period's places.
CANDIDATES = 256


def elevation(x):
    """Each call's count over the median of its neighbours, per sequence."""
    from scipy import ndimage  # pylint: disable=import-outside-toplevel
    around = np.ones((1, 2 * NEIGHBOURS + 1), dtype=bool)
    around[0, NEIGHBOURS] = False
    # Mirrored at the ends without the end call itself, which would otherwise
    # stand among its own neighbours.
    base = ndimage.median_filter(x, footprint=around, mode="mirror")
    return x / np.maximum(base, 1)


def shares(lifted):
    """Per call, the share of its sequence's calls (call 0 left out) that
    stand out at least as much; 1 for call 0, the first call."""
    from scipy.stats import rankdata  # pylint: disable=import-outside-toplevel
    u = np.ones(lifted.shape)
    u[:, 1:] = rankdata(-lifted[:, 1:], method="max", axis=1) / (lifted.shape[1] - 1)
    return u


def longest_period(calls):
    """The longest period whose three places fit after call 0."""
    return (calls - 1) // 3


def families(calls):
    """How many hypotheses each family holds: every start from 1 to T of
    every period, and the starts within SLACK of T of periods short enough
    to show three times from the latest of them."""
    longest = longest_period(calls)
    anchored = (calls - 1 - SLACK) // 3
    every = (longest * (longest + 1) - SHORTEST_PERIOD * (SHORTEST_PERIOD - 1)) // 2 \
        if longest >= SHORTEST_PERIOD else 0
    return every, (2 * SLACK + 1) * max(0, anchored - SHORTEST_PERIOD + 1)


def weight(start, period, calls):
    """The share of PERIOD_ALPHA that a hypothesis may spend."""
    every, anchored = families(calls)
    w = 0.0
    if 1 <= start <= period and every:
        w += 0.5 / every
    if abs(start - period) <= SLACK and period <= (calls - 1 - SLACK) // 3 and anchored:
        w += 0.5 / anchored
    return w


def chance(u, start, period):
    """How likely uniform shares are to be as small as these at so many of
    the places: the best j-th smallest of N, for j from HIT_SHARE x N to N
    in a few steps, times the steps."""
    from scipy.special import bdtrc  # pylint: disable=import-outside-toplevel
    values = u[:, start::period].ravel()
    j = np.unique(np.ceil(np.array(HITS_TRIED) * values.size).astype(int))
    # bdtrc(k, n, q): P(Binomial(n, q) > k).
    return float(bdtrc(j - 1, values.size, np.partition(values, j - 1)[j - 1]).min() * j.size)


def proposals(u):
    """(start, period) hypotheses from pairs of the indices that stand out
    in (nearly) every sequence: the smallest by their HIT_SHARE-th smallest
    share over the sequences (one huge interrupt in one sequence does not
    make an index a candidate). A hypothesis is kept when at least three of
    those indices fall on its places."""
    calls = u.shape[1]
    worst = np.partition(u, math.ceil(HIT_SHARE * len(u)) - 1, axis=0)[
        math.ceil(HIT_SHARE * len(u)) - 1]
    top = np.sort(np.argsort(worst, kind="stable")[:CANDIDATES])
    first, second = np.triu_indices(len(top), 1)
    period = top[second] - top[first]
    keep = (period >= SHORTEST_PERIOD) & (period <= longest_period(calls))
    first, period = top[first][keep], period[keep]
    rest = first % period
    starts = [np.where(rest == 0, period, rest)]
    # A start past T: a reseed a call or two after each multiple.
    late = (rest >= 1) & (rest <= SLACK)
    starts.append(np.where(late, period + rest, 0))
    found = set()
    for start in starts:
        ok = start > 0
        s, t = start[ok], period[ok]
        # Candidates on each hypothesis' places, a block at a time.
        on = np.concatenate([
            ((top[None, :] >= s[k:k + 4096, None]) &
             ((top[None, :] - s[k:k + 4096, None]) % t[k:k + 4096, None] == 0)).sum(axis=1)
            for k in range(0, len(s), 4096)] or [np.zeros(0, dtype=int)])
        found |= set(zip(s[on >= 3].tolist(), t[on >= 3].tolist()))
    return sorted(found)


def find_period(sequences, expected=None):
    """The reseeds in counts[sequence, call], sequences that count their
    calls alike (a thread of a run each): the period, its places, and the
    spikes at them and elsewhere, in the shape of lifecycle.find_period,
    with p (the period's chance over its weight) and reason: None
    when a period stands; when none does, "too-short" if the sequences
    cannot hold three of the shortest period (or of expected, the period
    the caller knows to look for), else "none". longest is the longest
    period tried."""
    x = np.asarray(sequences, dtype=np.float64)
    if x.ndim != 2 or not x.size:
        raise ValueError("counts[sequence, call] of at least one sequence")
    calls = x.shape[1]
    lifted = elevation(x) if calls > 1 else np.ones(x.shape)
    spikes = lifted >= SPIKE_RATIO
    spikes[:, 0] = False
    found = {"period": None, "places": [], "sequences": len(x), "spikes": int(spikes.sum()),
             "calls": calls, "longest": longest_period(calls), "p": None, "reason": "none"}
    if expected is not None and expected > found["longest"] or not families(calls)[0]:
        found["reason"] = "too-short"
    if not families(calls)[0]:
        return {**found, **others(x, spikes, [])}
    u = shares(lifted)
    # A hypothesis of no weight (a start past T, too long to show three
    # times from there) is not tried.
    best = min(((chance(u, start, period) / w, start, period) for start, period in proposals(u)
                if (w := weight(start, period, calls)) > 0), default=None)
    if best is not None:
        found["p"] = min(1.0, best[0])
    if best is None or found["p"] >= PERIOD_ALPHA:
        return {**found, **others(x, spikes, [])}
    _, start, period = best
    places = list(range(start, calls, period))
    return {**found, "period": period, "places": places, "reason": None,
            "shown": [int(spikes[:, p].sum()) for p in places],
            "cost": x[:, places].ravel(), "median": float(np.median(x[:, 1:])),
            **others(x, spikes, places)}


def others(x, spikes, places):
    """The spikes away from the period's places: interrupts and the like."""
    away = spikes.copy()
    away[:, places] = False
    return {"random": int(away.sum()), "random_ticks": x[away]}


def none_text(found, expected=None):
    """Why no period was named, in a phrase."""
    if found["reason"] == "too-short":
        period = expected or SHORTEST_PERIOD
        return (f"too short to see three periods of {period:,} calls: {found['calls']:,} calls "
                f"a thread, {3 * period + 1:,} needed")
    return (f"no periodic spikes with a period of {SHORTEST_PERIOD:,} to {found['longest']:,} "
            f"calls: {found['spikes']} spikes over {found['sequences']} thread runs fall at no "
            "common period")
