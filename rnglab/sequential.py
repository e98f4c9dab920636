"""Rounds until the answer is known: when to look at the per-round ratios,
what interval to give at each look, and when to stop.

A ratio is judged per round (one processor ran both sides of a round) and
summarised by the median over rounds. Looking after every round and
stopping at the first interval that decides would find differences that are
not there far more often than 5%: each look is another chance. So the looks
are fixed in advance and the 5% is spent over them:

  looks      a look at FIRST rounds, then each about GROWTH times the last,
             with no end: a user's time, not a count, ends the rounds;
  spending   by a look at n rounds at most ALPHA * n / (n + SPEND_HALF) of
             the error is spent, ALPHA over the whole unbounded schedule;
  interval   the median's distribution-free interval: the a-th lowest and
             highest of the n ratios. Whatever the ratios' distribution, the
             count of ratios below the true median is a fair coin's walk
             (rounds are independent), so the chance that some look's
             interval misses it is computed exactly, by following that walk
             from look to look; a at each look is the widest cut that keeps
             it within the spending.

Every look's interval then holds the true median, all at once, with 95%
confidence, however the rounds stop (a confidence sequence over the looks):
stopping when every ratio is decided cannot make a false difference more
likely than 5%. Intervals differ from the 95% bootstrap interval of a fixed
number of rounds (rnglab.stats.median_interval) only by the level, which
is lower at each look; at 95% they agree to about one order statistic.

Rounds may also stop between looks (the time is spent): the last round is
then a look of its own, spending what the schedule allows by then.
"""

import contextlib
import contextvars
import functools
import math
import re

import numpy as np

from rnglab.stats import ALPHA

# Each look about this many times the rounds of the last: a decision comes at
# most a fifth of its rounds late, and looks stay few enough (16 up to 200
# rounds) that each keeps a useful level.
GROWTH = 1.2
# Half of ALPHA is spent by 50 rounds and 80% by 200: most decisions on this
# lab's hosts come between 20 and 300 rounds; what is left keeps the
# schedule open for longer runs.
SPEND_HALF = 50
# Verdicts that decide a ratio whatever the precision asked.
DEFINITE = ("met", "missed", "faster", "slower", "same")


class Schedule:
    """The looks, their cuts and levels, from the exact walk of the count of
    ratios below the median; computed once per look, as far as asked."""

    def __init__(self, alpha=ALPHA, growth=GROWTH, half=SPEND_HALF):
        self.alpha, self.growth, self.half = alpha, growth, half
        # Per scheduled look: its rounds, its cut, the chance spent by then
        # and the walk's distribution over paths that have not crossed.
        self._looks, self._cuts, self._spent, self._alive = [], [], [], []
        n = 1
        while self._cut(np.array([1.0]), 0, n, 0.0)[0] < 0:
            n += 1
        self._take(np.array([1.0]), 0, n, 0.0)

    def spend(self, rounds):
        """The error that looks up to this many rounds may spend together."""
        return self.alpha * rounds / (rounds + self.half)

    @property
    def first(self):
        """The fewest rounds at which an interval can exclude anything: the
        minimum number of rounds of a sequential comparison."""
        return self._looks[0]

    def _cut(self, alive, was, rounds, spent):
        """The walk carried from was to rounds rounds, and the largest a
        (-1: none) for which stopping paths with a or fewer ratios on one side
        spends no more than the schedule allows."""
        from scipy.stats import binom  # pylint: disable=import-outside-toplevel
        step = binom.pmf(np.arange(rounds - was + 1), rounds - was, 0.5)
        walk = np.convolve(alive, step)
        # The walk is symmetric: both tails together are twice the lower.
        tails = 2 * np.cumsum(walk[:(rounds + 1) // 2])
        allowed = self.spend(rounds) - spent
        return int(np.searchsorted(tails, allowed * (1 + 1e-9), side="right")) - 1, walk, tails

    def _take(self, alive, was, rounds, spent):
        cut, walk, tails = self._cut(alive, was, rounds, spent)
        if cut >= 0:
            spent += tails[cut]
            walk[:cut + 1] = 0
            walk[rounds - cut:] = 0
        self._looks.append(rounds)
        self._cuts.append(cut)
        self._spent.append(spent)
        self._alive.append(walk)

    def _extend(self, rounds):
        """Scheduled looks up to at least rounds rounds."""
        while self._looks[-1] < rounds:
            last = self._looks[-1]
            self._take(self._alive[-1], last, max(last + 1, math.ceil(last * self.growth)),
                       self._spent[-1])

    def looks(self, up_to):
        """The scheduled looks, in rounds, up to up_to rounds."""
        self._extend(up_to)
        return [n for n in self._looks if n <= up_to]

    def is_look(self, rounds):
        self._extend(rounds)
        return rounds in self._looks

    def next_look(self, rounds):
        """The first scheduled look after this many rounds."""
        self._extend(rounds + 1)
        return next(n for n in self._looks if n > rounds)

    def cut(self, rounds):
        """a at a look at this many rounds: the interval runs from the
        (a+1)-th lowest ratio to the (a+1)-th highest; -1 before the first
        look. Past the last scheduled look below it, a look at any round
        count is taken as the final one."""
        if rounds < self.first:
            return -1
        self._extend(rounds)
        k = self._looks.index(rounds) if rounds in self._looks else None
        if k is not None:
            return self._cuts[k]
        k = max(i for i, n in enumerate(self._looks) if n < rounds)
        return self._cut(self._alive[k], self._looks[k], rounds, self._spent[k])[0]

    def level_at(self, rounds):
        """The two-sided level of the interval at that look on its own (its
        confidence is one minus this), or None before the first."""
        from scipy.stats import binom  # pylint: disable=import-outside-toplevel
        cut = self.cut(rounds)
        return None if cut < 0 else float(2 * binom.cdf(cut, rounds, 0.5))

    def spent(self, rounds):
        """The chance, exactly, that some scheduled look up to this many
        rounds excludes the true median: the error the design has used."""
        self._extend(rounds)
        return max([s for n, s in zip(self._looks, self._spent) if n <= rounds], default=0.0)


@functools.lru_cache(maxsize=None)
def schedule():
    """The lab's schedule, computed once."""
    return Schedule()


def bounds(ratios, final=False, plan=None):
    """The median and the look's interval of ratios[..., round] along the
    last axis (rows: separate ratios, or simulated experiments). The round
    count must be a scheduled look, or final: the last round of a run
    stopped between looks. low and high are NaN before the first look."""
    plan = plan or schedule()
    x = np.sort(np.asarray(ratios, dtype=np.float64), axis=-1)
    n = x.shape[-1]
    if not (final or plan.is_look(n)):
        raise ValueError(f"{n} rounds is not a look: the next is at {plan.next_look(n)}")
    cut = plan.cut(n)
    mid = np.median(x, axis=-1)
    if cut < 0:
        nan = np.full(mid.shape, np.nan)
        return mid, nan, nan.copy()
    return mid, x[..., cut], x[..., n - 1 - cut]


def verdicts(low, high, target, precision=None):
    """What the intervals [low, high] say against a target, elementwise:
    verdict codes and whether each ratio needs no more rounds.

    target is a number t (two sides compared, the ratio t when they agree):
    "slower" above t, "faster" below it, "same" when the interval holds t and
    is narrower than 2 x precision (the ratio known to +/- precision); or a
    band (low, high): "met" inside it, "missed" wholly outside. A ratio is
    decided by a verdict, or when its interval is narrower than 2 x
    precision: more rounds would then only pin down where it sits on a
    band's edge."""
    low, high = np.asarray(low, dtype=np.float64), np.asarray(high, dtype=np.float64)
    width = high - low
    narrow = width < 2 * precision if precision is not None else np.zeros(width.shape, bool)
    if np.ndim(target) == 0:
        codes = np.select([low > target, high < target, (low <= target) & narrow],
                          ["slower", "faster", "same"], "undecided")
    else:
        edge_low, edge_high = target
        codes = np.select([(low >= edge_low) & (high <= edge_high),
                           (high < edge_low) | (low > edge_high)], ["met", "missed"],
                          "undecided")
    return codes, (codes != "undecided") | narrow


def decide(ratios, target, precision=None, final=False, plan=None):
    """One ratio's per-round values judged at a look (see verdicts)."""
    mid, low, high = bounds(ratios, final, plan)
    plan = plan or schedule()
    n = len(ratios)
    if np.isnan(low):
        return {"median": float(mid), "low": None, "high": None, "width": None,
                "verdict": "undecided", "decided": False, "rounds": n, "level": None}
    code, decided = verdicts(low, high, target, precision)
    return {"median": float(mid), "low": float(low), "high": float(high),
            "width": float(high - low), "verdict": str(code), "decided": bool(decided),
            "rounds": n, "level": plan.level_at(n)}


def should_stop(decisions, elapsed, max_time=None, rounds=None, max_rounds=None,
                round_seconds=None):
    """Whether to stop adding rounds, and why: "decided" when every ratio is
    (decisions: the last look's), "max-time" when the time is spent or the
    next round (round_seconds, as the rounds so far took) would overrun it,
    "max-rounds" at max_rounds. After a stop between looks, judge the last
    round as final (decide(..., final=True)).

        while True:
            run a round; n += 1
            if schedule().is_look(n):
                decisions = [decide(r, t, p) for ...]
            stop, reason = should_stop(decisions, elapsed, max_time, n, ...)
            if stop: break
    """
    if decisions and all(d["decided"] for d in decisions):
        return True, "decided"
    if max_time is not None and elapsed + (round_seconds or 0) > max_time:
        return True, "max-time"
    if max_rounds is not None and rounds is not None and rounds >= max_rounds:
        return True, "max-rounds"
    return False, None


# How this invocation's ratios within rounds are judged: None, by the
# bootstrap of a fixed number of rounds (rnglab.stats); or, for rounds run
# until decided, by this rule at the look they stopped at, given as that
# run's {"precision", "final"} (rnglab.stopping): the interval and the verdict
# that the stopping rule itself judged, and so the ones its tables show.
_DESIGN = contextvars.ContextVar("design", default=None)


@contextlib.contextmanager
def judging(design):
    """Within it, rnglab.stats' ratios within rounds (paired,
    ratio_per_round) and their targets (judge) are this rule's; design:
    {"precision", "final"}, or None for the bootstrap."""
    token = _DESIGN.set(design)
    try:
        yield
    finally:
        _DESIGN.reset(token)


def design():
    return _DESIGN.get()


def _decision(values, target):
    """decide at the look the rounds stopped at: a count of rounds off the
    schedule (a stop between looks, or a ratio short of a round) is judged
    as a final look."""
    final = _DESIGN.get()["final"] or not schedule().is_look(len(values))
    return decide(values, target, _DESIGN.get()["precision"], final)


def comparison(ratios):
    """Per-round ratios against 1, as rnglab.stats.paired gives a
    comparison: faster, slower, same (known to +/- precision around 1) or
    undecided, with the interval judged; no p, which a test taken at a
    stopping time that the data chose would not honestly give."""
    d = _decision(ratios, 1.0)
    return {"ratio": d["median"], "low": d["low"], "high": d["high"], "p": None,
            "n": d["rounds"], "least_p": None, "verdict": d["verdict"], "decided": d["decided"],
            "interval": "sequential", "level": d["level"], "precision": _DESIGN.get()["precision"]}


def ratio(ratios):
    """Per-round ratios as rnglab.stats.ratio_per_round gives them, with
    the interval judged; their target is judged by band_verdict."""
    d = _decision(ratios, 1.0)
    return {"median": d["median"], "low": d["low"], "high": d["high"], "interval": "sequential",
            "level": d["level"], "precision": _DESIGN.get()["precision"]}


def band_verdict(r, band):
    """A ratio (as ratio gives it) against a target band: met, missed,
    undecided (no interval before the first look, or one across an edge),
    or "edge": known to +/- its precision, yet across an edge of the band."""
    if r["low"] is None:
        return "undecided"
    code, known = verdicts(r["low"], r["high"], band, r["precision"])
    return "edge" if known and code == "undecided" else str(code)


DURATION = re.compile(r"(?:(\d+)h)?(?:(\d+)m)?(?:(\d+)s)?")


def parse_duration(text):
    """--max-time: hours, minutes and seconds, largest first, each a whole
    number ("90s", "15m", "1h", "2h30m"), as seconds."""
    match = DURATION.fullmatch(text.strip().lower())
    if text.strip().startswith("-"):
        raise ValueError(f"a duration above zero, such as 90s, 15m, 1h or 2h30m, not {text!r}")
    if not text.strip() or not match or not any(match.groups()):
        raise ValueError(f"a duration such as 90s, 15m, 1h or 2h30m, not {text!r}")
    hours, minutes, seconds = (int(g or 0) for g in match.groups())
    total = 3600 * hours + 60 * minutes + seconds
    if total == 0:
        raise ValueError(f"a duration longer than nothing, not {text!r}")
    return total


def duration_text(seconds):
    """Seconds in the form parse_duration reads, "2h30m", "1m05s"."""
    seconds = int(round(seconds))
    hours, rest = divmod(seconds, 3600)
    minutes, seconds = divmod(rest, 60)
    if hours:
        return f"{hours}h{minutes:02d}m" + (f"{seconds:02d}s" if seconds else "")
    if minutes:
        return f"{minutes}m" + (f"{seconds:02d}s" if seconds else "")
    return f"{seconds}s"
