"""Tests of files of generator output: their blocks, rngtest's FIPS 140-2
tests and ent's figures, each judged so that a good file fails less than
once in 1,000.

  test_files(paths)     one result (a dict of figures, bounds, findings and
                        verdict) per file; blocks repeated across the files
                        are found too
  verdict_line(result)  "FILE: PASS" or "FILE: FAIL: finding; finding ..."
  report_text(result)   the figures, a few lines, ending in the verdict line

A file is read as blocks of BLOCK bytes, the unit the program appends; a
piece left over at its end is a finding and is left out of the tests.
"""

import math
import shutil
import time

import numpy as np
from scipy import stats

from rnglab.process import progress
from rnglab.scan import BLOCK, QualityError, Unreadable, scan

FALSE_FAIL = 1e-3              # what all of one file's judgements may spend

# Each judgement's share of FALSE_FAIL (Bonferroni). The shares add up to
# 9e-4; the rest is room for the normal approximations below.
SHARE_RNGTEST = 1e-4           # each of rngtest's five tests
SHARE_ENT = 4e-5               # each of ent's five figures
SHARE_BLOCKS = 2e-4            # the per-block monobit test, split over the blocks

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


def block_p_values(ones):
    """Two-sided binomial p-value of each block's count of one bits."""
    bits = BLOCK * 8
    ones = np.asarray(ones)
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
    return counts["passed"] + counts["failed"], counts["failed"], tests


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


def listed(indices, limit=10):
    text = ", ".join(str(i) for i in indices[:limit])
    return text + (f" and {len(indices) - limit} more" if len(indices) > limit else "")


def plural(count, what):
    return f"{count} {what}{'s' if count > 1 else ''}"


def block_findings(result):
    """What is wrong with the file's size and blocks."""
    found = ["no whole block"] if result["blocks"] == 0 else []
    expected = result.get("expected_size")
    if expected is None and result["leftover"]:
        found.append(f"a piece of {result['leftover']} bytes left over after the last whole block")
    elif expected is not None and result["size"] != expected:
        found.append(f"{result['size']} bytes where the runs generated {expected}")
    if result["zero_blocks"]:
        found.append(f"{plural(len(result['zero_blocks']), 'all-zero block')}: "
                     f"{listed(result['zero_blocks'])}")
    found += [f"block {dup['block']} equals {dup['file'] + ' ' if dup['file'] else ''}"
              f"block {dup['other_block']}" for dup in result["duplicates"][:10]]
    if len(result["duplicates"]) > 10:
        found.append(f"{len(result['duplicates']) - 10} more repeated blocks")
    biased = result["biased_blocks"]
    if biased:
        found.append(f"{plural(len(biased), 'biased block')} (monobit): "
                     f"{listed([b['block'] for b in biased])}")
    return found


def findings_of(result):
    found = block_findings(result)
    rng = result["rngtest"]
    if rng:
        found += [f"rngtest {name}: {test['failed']} of {rng['blocks']} blocks failed, "
                  f"{test['expected']:.3g} expected (p={test['p']:.2g})"
                  for name, test in rng["tests"].items() if not test["pass"]]
    if result["ent"]:
        found += [f"ent {name.replace('_', ' ')} {figure['value']:.6g} out of bounds"
                  for name, figure in result["ent"].items()
                  if isinstance(figure, dict) and not figure["pass"]]
    return found


def tool_figures(result):
    """What rngtest and ent printed for a file, read: LabError if a tool
    failed."""
    # rngtest's status 1 only says some block failed; 10 and up are errors.
    used = result.pop("rngtest_outputs")
    for status, _, err in used:
        if status >= 10:
            raise QualityError(f"rngtest failed (status {status}): {' '.join(err.split())[-200:]}")
    status, out, err = result.pop("ent_output")
    if result["blocks"] and status != 0:
        raise QualityError(f"ent failed (status {status}): {' '.join(err.split())[-200:]}")
    return [parse_rngtest(err) for _, _, err in used], parse_ent(out) if result["blocks"] else None


def name_duplicates(results, names):
    """A block met again in another file is named in both files."""
    for own, result in enumerate(results):
        if "error" in result:
            continue
        for dup in result["duplicates"]:
            other, other_block = dup.pop("equals")
            dup.update(file="" if other == own else names[other], other_block=other_block)
            if other != own:
                results[other]["duplicates"].append(
                    {"block": other_block, "file": names[own], "other_block": dup["block"]})


def judge(result):
    """A scanned file's figures, bounds, findings and verdict."""
    result["duplicates"].sort(key=lambda d: d["block"])
    ones = result.pop("ones")
    p = block_p_values(ones)
    limit = SHARE_BLOCKS / max(1, len(ones))
    result["block_p_min"] = float(p.min()) if len(p) else None
    result["block_p_limit"] = limit
    zero = set(result["zero_blocks"])      # named already
    result["biased_blocks"] = [{"block": int(i), "ones": int(ones[i]), "p": float(p[i])}
                               for i in np.flatnonzero(p < limit) if int(i) not in zero]
    raws, raw = tool_figures(result)
    result["rngtest"] = judge_rngtest(raws) if raws else None
    result["ent"] = judge_ent(raw) if raw else None
    result["findings"] = findings_of(result)
    result["verdict"] = "FAIL" if result["findings"] else "PASS"


def test_files(paths, progress=None, sizes=None):
    """One result per path, in order. A file that cannot be read has only
    "file", "error" and "verdict"; QualityError when a tool is missing or
    fails. sizes: each file's length as its writer knows it, where a piece
    after the last whole block is then no fault but a size other than that
    one is."""
    check_tools()
    seen, results = {}, []
    for index, path in enumerate(paths):
        try:
            results.append(scan(path, index, seen, progress))
            if sizes is not None:
                results[-1]["expected_size"] = sizes[index]
        except Unreadable as error:
            results.append({"file": str(path), "error": f"cannot read: {error}",
                            "verdict": "FAIL"})
    name_duplicates(results, [str(path) for path in paths])
    for result in results:
        if "error" not in result:
            judge(result)
    return results


def verdict_line(result):
    if "error" in result:
        return f"{result['file']}: FAIL: {result['error']}"
    if result["verdict"] == "PASS":
        return f"{result['file']}: PASS"
    return f"{result['file']}: FAIL: " + "; ".join(result["findings"])


def report_text(result):
    if "error" in result:
        return verdict_line(result)
    lines = [f"{result['file']}: {result['blocks']} blocks of {BLOCK} bytes, "
             f"{result['leftover']} bytes left over",
             f"  blocks: {len(result['zero_blocks'])} all-zero, {len(result['duplicates'])} "
             f"repeated, {len(result['biased_blocks'])} biased (monobit p < "
             f"{result['block_p_limit']:.3g}; lowest p {result['block_p_min'] or 0:.3g})"]
    rng = result["rngtest"]
    if rng:
        per_test = ", ".join(f"{name} {t['failed']} ({t['expected']:.3g} expected)"
                             for name, t in rng["tests"].items())
        lines.append(f"  rngtest: {rng['blocks']} blocks of 20000 bits, {rng['failed']} failed: "
                     f"{per_test}")
    ent = result["ent"]
    if ent:
        chi, serial, pi = ent["chi_square"], ent["serial_correlation"], ent["pi"]
        lines.append(
            f"  ent: entropy {ent['entropy']['value']:.6f} (at least {ent['entropy']['min']:.6f}), "
            f"chi-square {chi['value']:.2f} p={chi['p']:.3g} "
            f"(within [{chi['p_range'][0]:.2g}, {chi['p_range'][1]:.6g}]), "
            f"mean {ent['mean']['value']:.4f} (127.5 ± {ent['mean']['bound']:.4f})")
        lines.append(
            f"       serial correlation {serial['value']:.6f} "
            f"(± {serial['bound']:.6f}), Monte Carlo pi {pi['value']:.6f} "
            f"error {pi['error']:+.6f} (± {pi['bound']:.6f})")
    lines.append(verdict_line(result))
    return "\n".join(lines)
