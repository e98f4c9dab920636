"""How well tools/series --changes finds changes, on series drawn like the program's.

A record's figure here is a level times (1 + 1% normal noise), and 5% of
the records, at random, are 20% high (a host hiccup, a slow first call).
On series of 200 records it counts, over fixed seeds: the series without a
change in which a change was reported (false alarms); the series with a 3%
step at a random place in which exactly one change was found within 3
records of it; and the series with a +5% and a -4% step in which exactly
those two were found, each within 3 records. Then it times the whole
command on a file of 10,000 records with two steps. A benchmark, not a test:
it prints each figure beside its target and fails only when it cannot run.
"""

import argparse
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from rnglab import stats
from rnglab.process import ROOT
from rnglab.record import format_record

TOOL = ROOT / "tools" / "series"
LEVEL = 7600  # ticks, about what RAND_bytes(16384) costs here
NOISE = 0.01
OUTLIERS = 0.05
OUTLIER_HIGH = 0.20
RECORDS = 200
NEAR = 3


def draw(rng, n, steps=()):
    """n figures with a step of relative size s from position p on, for each (p, s)."""
    level = np.full(n, float(LEVEL))
    for at, size in steps:
        level[at:] *= 1 + size
    x = level * (1 + NOISE * rng.standard_normal(n))
    x[rng.random(n) < OUTLIERS] *= 1 + OUTLIER_HIGH
    return np.round(x)


def found_exactly(x, places):
    changes = [split for split, _ in stats.find_changes(x)]
    return len(changes) == len(places) and all(
        abs(change - place) <= NEAR for change, place in zip(changes, places))


def rate_line(text, count, seeds, target):
    verdict = "met" if target(count) else "MISSED"
    return f"{text}: {count} of {seeds}  ({verdict})"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n", 1)[0],
                                     epilog=__doc__.split("\n\n", 1)[1])
    parser.add_argument("--seeds", type=int, default=100, help="series per case (100)")
    args = parser.parse_args(argv)
    if args.seeds < 1:
        parser.error("--seeds needs at least 1")
    seeds = args.seeds

    print(f"series of {RECORDS} records, {NOISE:.0%} noise, {OUTLIERS:.0%} of records "
          f"{OUTLIER_HIGH:.0%} high; {seeds} seeds per case", file=sys.stderr)
    quiet = sum(bool(stats.find_changes(draw(np.random.default_rng(seed), RECORDS)))
                for seed in range(seeds))
    print("no step done", file=sys.stderr)
    one = 0
    for seed in range(seeds):
        rng = np.random.default_rng(1_000_000 + seed)
        at = int(rng.integers(RECORDS // 4, 3 * RECORDS // 4 + 1))
        one += found_exactly(draw(rng, RECORDS, [(at, 0.03)]), [at])
    print("one step done", file=sys.stderr)
    two = 0
    for seed in range(seeds):
        rng = np.random.default_rng(2_000_000 + seed)
        first = int(rng.integers(RECORDS // 5, 9 * RECORDS // 20 + 1))
        second = int(rng.integers(11 * RECORDS // 20, 4 * RECORDS // 5 + 1))
        two += found_exactly(draw(rng, RECORDS, [(first, 0.05), (second, -0.04)]),
                             [first, second])
    print("two steps done; timing 10,000 records", file=sys.stderr)

    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "osslRb1a.txt"
        x = draw(np.random.default_rng(3_000_000), 10_000, [(3000, 0.03), (7000, -0.02)])
        path.write_text("".join(format_record("RAND_bytes:", int(v) * 1024, int(v), int(v))
                                    for v in x))
        began = time.perf_counter()
        done = subprocess.run([str(TOOL), "--changes", str(path)], check=True,
                              stdout=subprocess.PIPE, text=True)
        took = time.perf_counter() - began
    table = done.stdout.split("\n\n")[1].splitlines()
    at = [int(row.split()[1]) for row in table[1:]]

    slack = max(1, seeds // 100)
    lines = [
        rate_line("no step, series with a change reported (false alarms)", quiet, seeds,
                  lambda n: n <= slack),
        rate_line(f"a 3% step, found alone within {NEAR} records", one, seeds,
                  lambda n: n >= 0.95 * seeds),
        rate_line(f"+5% and -4% steps, both found alone within {NEAR} records", two, seeds,
                  lambda n: n >= 0.95 * seeds),
        f"10,000 records with steps at 3000 (+3%) and 7000 (-2%): found at "
        f"{', '.join(map(str, at)) or 'none'}; tools/series --changes took {took:.2f} s "
        f"({'met' if took < 5 else 'MISSED'})",
    ]
    print("\n".join(lines))
    print(f"Targets: at most {slack} false alarm(s), at least 95% found, under 5 s.")
    return 0

