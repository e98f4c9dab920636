"""How well the change finder (stats.find_changes) does on series drawn like
the program's, and how long tools/series --changes takes on a long one: the
figures of bench/check-changes, as data."""

import json
import subprocess
import tempfile
import time
from pathlib import Path

import numpy as np

from rnglab import stats
from rnglab.process import ROOT, progress
from rnglab.record import RESULTS_FILE, format_record

TOOL = ROOT / "tools" / "series"
LEVEL = 7600  # ticks, about what RAND_bytes(16384) costs here
NOISE = 0.01
OUTLIERS = 0.05
OUTLIER_HIGH = 0.20
RECORDS = 200
NEAR = 3
SECONDS = 5
# The targets: at least this share of the steps found, and at most one false
# alarm in a hundred series (one at least).
FOUND = 0.95


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


def one_step(seed):
    rng = np.random.default_rng(1_000_000 + seed)
    at = int(rng.integers(RECORDS // 4, 3 * RECORDS // 4 + 1))
    return found_exactly(draw(rng, RECORDS, [(at, 0.03)]), [at])


def two_steps(seed):
    rng = np.random.default_rng(2_000_000 + seed)
    first = int(rng.integers(RECORDS // 5, 9 * RECORDS // 20 + 1))
    second = int(rng.integers(11 * RECORDS // 20, 4 * RECORDS // 5 + 1))
    return found_exactly(draw(rng, RECORDS, [(first, 0.05), (second, -0.04)]), [first, second])


def timed():
    """How long tools/series --changes takes on 10,000 records with two
    steps, its report and all, and where it finds them, as its export says."""
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / RESULTS_FILE
        x = draw(np.random.default_rng(3_000_000), 10_000, [(3000, 0.03), (7000, -0.02)])
        path.write_text("".join(format_record("RAND_bytes:", int(v) * 1024, int(v), int(v))
                                for v in x))
        began = time.perf_counter()
        subprocess.run([str(TOOL), "--changes", str(path)], check=True, stdout=subprocess.DEVNULL)
        took = time.perf_counter() - began
        done = subprocess.run([str(TOOL), "--changes", "--json", str(path)], check=True,
                              stdout=subprocess.PIPE, text=True)
    records = json.loads(done.stdout)
    return [b["index"] for a, b in zip(records, records[1:]) if b["segment"] != a["segment"]], took


def measure(seeds):
    progress(f"series of {RECORDS} records, {NOISE:.0%} noise, {OUTLIERS:.0%} of records "
             f"{OUTLIER_HIGH:.0%} high; {seeds} seeds per case")
    quiet = sum(bool(stats.find_changes(draw(np.random.default_rng(seed), RECORDS)))
                for seed in range(seeds))
    progress("no step done")
    one = sum(one_step(seed) for seed in range(seeds))
    progress("one step done")
    two = sum(two_steps(seed) for seed in range(seeds))
    progress("two steps done; timing 10,000 records")
    found_at, took = timed()
    slack = max(1, seeds // 100)
    return {"seeds": seeds, "slack": slack, "near": NEAR, "quiet": quiet,
            "one": int(one), "two": int(two), "found_at": found_at, "seconds": took,
            "seconds_target": SECONDS, "found_target": FOUND,
            "met": {"quiet": quiet <= slack, "one": one >= FOUND * seeds,
                    "two": two >= FOUND * seeds, "seconds": took < SECONDS}}
