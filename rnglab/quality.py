"""Tests of files of generator output: their units (requests, or blocks),
rngtest's FIPS 140-2 tests and ent's figures, each judged so that a good
file fails less than once in 1,000.

  test_files(paths)     one result (a dict of figures, bounds, findings and
                        verdict) per file; units repeated across the files
                        are found too; a file named twice is read once
  verdict_line(result)  "FILE: PASS" or "FILE: FAIL: finding; finding ..."
  report_text(result)   the figures, a few lines, ending in the verdict line

A file's unit is what was asked for at once (rnglab.scan): each call's
bytes, by the layout rand_lab --keep writes beside them, else a block of
BLOCK bytes, the program's. Whatever no whole unit holds is a finding and is
left out of the tests.
"""

import collections
import math
import os
import shutil
import time

import numpy as np
from scipy import stats

from rnglab.report import qualitytext
from rnglab.process import progress, warn
from rnglab.scan import QualityError, find_repeats, repeat_chance, scan
from rnglab.units import Unreadable, plan_of, too_few

FALSE_FAIL = 1e-3              # what all of one file's judgements may spend

# Each judgement's share of FALSE_FAIL (Bonferroni). The shares add up to
# 9e-4; the rest is room for the normal approximations below.
SHARE_RNGTEST = 1e-4           # each of rngtest's five tests
SHARE_ENT = 4e-5               # each of ent's five figures
SHARE_BLOCKS = 2e-4            # the per-piece monobit test, split over the pieces
# Zero and repeated units are looked for among the units of one size only
# where a true random source makes one by chance less often than this: 16
# bytes or more always; a few calls of 4 bytes, say, but not thousands of 1.
SHARE_REPEATS = 1e-6
LISTED = 1000                  # of each kind of fault, named in a result at most

# How often each FIPS 140-2 (2001-10-10 errata) test fails a 20,000-bit
# block of a true random source, as rngtest applies it. Monobit: the exact
# binomial tails outside (9725, 10275). Poker: the chi-square(15) tails
# outside (2.16, 46.17), which a simulation of 10^7 blocks matched
# (9.74e-5). Long run (26 bits or more): exact, from the chain of run
# lengths over 20,000 bits. Continuous run (a 32-bit word equal to the one
# before): 625 words of 2^-32 each. Runs has no closed form: rngtest failed
# 515 of 1,717,986 blocks of getrandom output (4 GiB, 2026-12-08), and the
# rate is the upper end of that count's 95% interval, so that an estimate
# on the low side cannot fail good files. The same 4 GiB failed Monobit
# 185, Poker 170, Long run 502 and Continuous run 0 times, as the rates
# here predict (178, 170, 511, 0.25), and 1,370 blocks in all (0.080%).
RNGTEST_RATES = {
    "Monobit": 1.0350e-4,
    "Poker": 9.923e-5,
    "Runs": 3.27e-4,
    "Long run": 2.976e-4,
    "Continuous run": 1.455e-7,
}

PACKAGES = {"rngtest": "rng-tools5", "ent": "ent"}
ENT_ROUNDING = 5e-7            # ent -t prints six decimals


class Progress:
    """A line on standard error every few seconds, for files that take long."""

    def __init__(self):
        self.last = time.monotonic()

    def __call__(self, path, done, size):
        now = time.monotonic()
        if now - self.last >= 5:
            self.last = now
            progress(f"{path}: {done >> 20} of {size >> 20} MiB", named=True)


def check_tools():
    for tool, package in PACKAGES.items():
        if shutil.which(tool) is None:
            raise QualityError(f"{tool} is not installed: install the Debian package {package}")


# --- bounds -----------------------------------------------------------------

def ent_bounds(n):
    """The range each of ent's figures stays in, for n bytes of a true random
    source, but for a chance of SHARE_ENT each."""
    z = stats.norm.isf(SHARE_ENT / 2)
    points = n // 6                    # ent's Monte Carlo takes 6 bytes a point
    quarter = math.pi / 4
    bounds = {
        # 2 n ln2 (8 - H) is the G statistic of the byte counts, chi-square(255).
        "entropy_min": 8 - stats.chi2.isf(SHARE_ENT, 255) / (2 * n * math.log(2)) - ENT_ROUNDING,
        "chi_square_p": [SHARE_ENT / 2, 1 - SHARE_ENT / 2],
        "mean": z * math.sqrt((256 ** 2 - 1) / 12 / n) + ENT_ROUNDING,
        "serial_correlation": z / math.sqrt(n) + ENT_ROUNDING,
        "pi_error": (z * 4 * math.sqrt(quarter * (1 - quarter) / points) + 2 / points
                     + ENT_ROUNDING) if points else math.inf,
    }
    return {key: [float(v) for v in value] if isinstance(value, list) else float(value)
            for key, value in bounds.items()}


def piece_p_values(ones, bits):
    """Two-sided binomial p-value of each piece's count of one bits."""
    low = stats.binom.cdf(ones, bits, 0.5)
    high = stats.binom.sf(ones - 1, bits, 0.5)
    return np.minimum(1.0, 2 * np.minimum(low, high))


# --- the tools' figures -------------------------------------------------------

def parse_rngtest(text):
    counts, tests = {}, {}
    for line in text.splitlines():
        key, _, value = line.rpartition(":")
        value = value.strip()
        if not value.isdigit():
            continue
        if key.endswith("bits received from input"):
            counts["bits"] = int(value)
        elif key.endswith("FIPS 140-2 successes"):
            counts["passed"] = int(value)
        elif key.endswith("FIPS 140-2 failures"):
            counts["failed"] = int(value)
        elif "(2001-10-10)" in key:
            tests[key.split(")", 1)[1].strip()] = int(value)
    if "passed" not in counts or "failed" not in counts or set(tests) != set(RNGTEST_RATES):
        raise QualityError("rngtest printed no statistics: " + " ".join(text.split())[-200:])
    return counts["passed"] + counts["failed"], counts["failed"], tests, counts.get("bits")


def parse_ent(text):
    lines = [line.split(",") for line in text.strip().splitlines()]
    if len(lines) < 2 or len(lines[1]) < 7:
        raise QualityError("ent printed no figures: " + " ".join(text.split())[-200:])
    values = [float(v) for v in lines[1][1:7]]
    names = ["bytes", "entropy", "chi_square", "mean", "pi", "serial_correlation"]
    figures = dict(zip(names, values))
    figures["bytes"] = int(figures["bytes"])
    return figures


def judge_rngtest(raws):
    tested = sum(raw[0] for raw in raws)
    failed = sum(raw[1] for raw in raws)
    tests = {}
    for name, rate in RNGTEST_RATES.items():
        count = sum(raw[2][name] for raw in raws)
        p = stats.binomtest(count, tested, rate, alternative="greater").pvalue if tested else 1.0
        tests[name] = {"failed": count, "expected": tested * rate, "p": p,
                       "pass": bool(p >= SHARE_RNGTEST)}
    return {"blocks": tested, "failed": failed, "tests": tests}


def judge_ent(raw):
    n = raw["bytes"]
    bounds = ent_bounds(n)
    p = float(stats.chi2.sf(raw["chi_square"], 255))
    error = raw["pi"] - math.pi
    low, high = bounds["chi_square_p"]
    return {
        "bytes": n,
        "entropy": {"value": raw["entropy"], "min": bounds["entropy_min"],
                    "pass": raw["entropy"] >= bounds["entropy_min"]},
        "chi_square": {"value": raw["chi_square"], "p": p, "p_range": [low, high],
                       "pass": low <= p <= high},
        "mean": {"value": raw["mean"], "bound": bounds["mean"],
                 "pass": abs(raw["mean"] - 127.5) <= bounds["mean"]},
        "serial_correlation": {
            "value": raw["serial_correlation"], "bound": bounds["serial_correlation"],
            "pass": abs(raw["serial_correlation"]) <= bounds["serial_correlation"]},
        "pi": {"value": raw["pi"], "error": error, "bound": bounds["pi_error"],
               "pass": abs(error) <= bounds["pi_error"]},
    }


def said(text):
    return " ".join(text.split())[-200:]


def tool_figures(scanned):
    """What rngtest and ent printed for a file, read: QualityError if a tool
    failed, or stopped before the end of what it was given."""
    raws = []
    # rngtest's status 1 only says some block failed; 10 and up are errors.
    for status, _, err, fed in scanned["rngtest_outputs"]:
        if status >= 10 or status < 0:
            raise QualityError(f"rngtest failed (status {status}): {said(err)}")
        raws.append(parse_rngtest(err))
        read = raws[-1][3] or 0
        if read != 8 * fed:
            raise QualityError(f"rngtest stopped after {read // 8} of the {fed} bytes it was "
                               "given")
    if scanned["ent_output"] is None:
        return raws, None
    status, out, err, fed = scanned["ent_output"]
    if status != 0:
        raise QualityError(f"ent failed (status {status}): {said(err)}")
    raw = parse_ent(out)
    if raw["bytes"] != fed:
        raise QualityError(f"ent read {raw['bytes']} of the {fed} bytes it was given")
    return raws, raw


def unit_sizes(plan, checked):
    counts = collections.Counter()
    for segment in plan.segments:
        counts[segment.bytes] += segment.count
    return [{"bytes": size, "units": count, "repeats_looked_for": size in checked,
             "repeat_chance": repeat_chance(size, count)}
            for size, count in sorted(counts.items())]


def biased_pieces(plan, pieces, zero):
    """(lowest p, limit, [biased piece]) of the per-piece monobit test; a
    piece that is an all-zero unit named already is left out."""
    ones, bits = pieces["ones"], pieces["bits"]
    if not len(ones):
        return None, SHARE_BLOCKS, []
    p = piece_p_values(ones, bits)
    limit = SHARE_BLOCKS / len(ones)
    named = set(zero.tolist())
    biased = []
    for k in np.flatnonzero(p < limit):
        unit, count = int(pieces["unit"][k]), int(pieces["count"][k])
        if count == 1 and unit in named:
            continue
        biased.append({"at": plan.piece_name(unit, count), "unit": unit, "units": count,
                       "ones": int(ones[k]), "bits": int(bits[k]), "p": float(p[k])})
    return float(p.min()), limit, biased


def judge(scanned, repeats, checked):
    """A scanned file's figures, bounds, findings and verdict, as data."""
    plan, zero, pieces = scanned["plan"], scanned["zero"], scanned["pieces"]
    p_min, limit, biased = biased_pieces(plan, pieces, zero)
    raws, raw = tool_figures(scanned)
    result = {
        "file": scanned["file"], "size": plan.size, "layout": plan.layout, "runs": plan.runs,
        "units": plan.units, "unit_sizes": unit_sizes(plan, checked),
        "leftover": plan.leftover, "too_few": too_few(plan), "layout_findings": plan.notes,
        "zero": [plan.label(int(u)) for u in zero[:LISTED]], "zero_count": len(zero),
        "duplicates": repeats[0], "duplicates_count": repeats[1],
        "pieces": len(pieces["ones"]),
        "pieces_are_units": bool(np.all(pieces["count"] == 1)),
        "biased": biased[:LISTED], "biased_count": len(biased),
        "piece_p_min": p_min, "piece_p_limit": limit,
        "rngtest": judge_rngtest(raws) if raws else None,
        "ent": judge_ent(raw) if raw else None,
    }
    if "expected_size" in scanned:
        result["expected_size"] = scanned["expected_size"]
    result["findings"] = qualitytext.findings_of(result)
    result["verdict"] = "FAIL" if result["findings"] else "PASS"
    return result


def read_once(paths):
    """The paths, each file once: a file named twice (or by a link) would
    otherwise be found to repeat itself block for block."""
    seen, kept = {}, []
    for path in paths:
        try:
            info = os.stat(path)
            identity = (info.st_dev, info.st_ino)
        except OSError:
            identity = None        # the scan says why
        if identity is not None and identity in seen:
            warn(f"{path} names the same file as {seen[identity]}: read once")
            continue
        seen[identity or object()] = path
        kept.append(path)
    return kept


def repeats_looked_for(paths):
    """The unit sizes whose zero and repeated units are looked for, from
    the units of each size in all the files together."""
    counts = collections.Counter()
    for path in paths:
        try:
            plan = plan_of(path, os.stat(path).st_size)
        except (OSError, Unreadable):
            continue
        for segment in plan.segments:
            counts[segment.bytes] += segment.count
    return {size for size, count in counts.items() if repeat_chance(size, count) <= SHARE_REPEATS}


def name_repeats(found, scanned, names):
    """Per file, (the first LISTED units equal to an earlier one, named, and
    how many there are); a unit met again in another file counts in both."""
    across = found[found[:, 0] != found[:, 2]]
    rows = np.concatenate([found, across[:, [2, 3, 0, 1]]])
    repeats = []
    for own in range(len(names)):
        mine = rows[rows[:, 0] == own]
        mine = mine[np.argsort(mine[:, 1], kind="stable")][:LISTED]
        repeats.append(([{"at": scanned[own]["plan"].name(int(unit)),
                          "file": "" if other == own else names[other],
                          "equals": scanned[other]["plan"].name(int(earlier)), "unit": int(unit)}
                         for _, unit, other, earlier in mine],
                        int(np.count_nonzero(rows[:, 0] == own))))
    return repeats


def test_files(paths, progress=None, sizes=None):
    """One result per file, in order, each file once. A file that cannot be
    read has only "file", "error" and "verdict"; QualityError when a tool is
    missing or fails. sizes: each file's length as its writer knows it,
    where a size other than that one is then a finding."""
    check_tools()
    if sizes is None:
        paths = read_once(paths)
    checked = repeats_looked_for(paths)
    keys, scanned = {}, []
    for index, path in enumerate(paths):
        try:
            scanned.append(scan(path, index, keys, checked, progress))
            if sizes is not None:
                scanned[-1]["expected_size"] = sizes[index]
        except Unreadable as error:
            scanned.append({"file": str(path), "error": f"cannot read: {error}",
                            "verdict": "FAIL"})
    names = [str(path) for path in paths]
    repeats = name_repeats(find_repeats(keys), scanned, names)
    return [s if "error" in s else judge(s, repeats[k], checked) for k, s in enumerate(scanned)]
