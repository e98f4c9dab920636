"""rand_lab's other generators beside OpenSSL's: the kernel's, the
processor's and other libraries', each a variant of the comparison measured
by `rand_lab --source NAME` in the same interleaved rounds.

The reference is OpenSSL's RAND_bytes with the library's default generator
on the first build, at the same request size and thread count. Each source's
fixed and per-byte costs come from a fit of ticks = a + b x bytes made round
by round, so that a and b have intervals, and a source's a against the
reference's is a ratio within rounds like every other in the lab.
"""

import argparse
import dataclasses
import subprocess

import numpy as np

from rnglab import plots, runner, stats, text
from rnglab.errors import LabError
from rnglab.variants import DEFAULT_GENERATOR, variant

REFERENCE = "openssl"
# What `rand_lab --source` knows, in its order; bcrypt is Windows's, whose
# build runs only under tools/windows-check.
SOURCES = [REFERENCE, "getrandom", "rdrand", "rdseed", "boringssl", "libsodium", "gnutls",
           "libgcrypt", "wolfssl", "mbedtls", "vdso", "arc4random", "botan", "botan-user"]
# The fixed cost a user asks about: OpenSSL's call against the kernel's.
HEADLINE = "getrandom"


def source_list(value):
    """--sources: a comma-separated list of SOURCES, or all (every one that
    can run here). OpenSSL's, the reference, is always measured."""
    if value == "all":
        return ["all"]
    names = [n.strip() for n in value.split(",") if n.strip()]
    unknown = [n for n in names if n not in SOURCES]
    if unknown or not names:
        raise argparse.ArgumentTypeError(
            f"unknown source {', '.join(unknown) or '(none given)'}: choose from "
            f"{', '.join(SOURCES)} or all")
    return list(dict.fromkeys([REFERENCE] + names))


def versions(build, asked):
    """Each asked source's version as its executable reports it, and a line
    for each that cannot run here (its library not installed, its
    instruction missing). With all, those are left out, each with its
    line; named, any of them stops the comparison with it."""
    everything = asked == ["all"]
    found, notes = {}, []
    for name in SOURCES if everything else asked:
        command = [str(build.folder / "bench" / "rand_lab"), "--source", name, "--version"]
        try:
            done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  text=True, errors="replace", check=False)
        except OSError as error:
            raise LabError(f"cannot run {command[0]}: {error.strerror}") from error
        line = (done.stdout.strip().splitlines() or ["no answer"])[-1]
        if done.returncode == 0:
            found[name] = line.split(" ", 1)[1] if " " in line else line
            continue
        if not everything or name == REFERENCE:
            raise LabError(line.removeprefix("rand_lab: "))
        notes.append(f"{name} not measured: {line.removeprefix('rand_lab: ')}")
    return found, notes


def make_variants(build, names, sizes, threads, calls):
    """One variant per source, size and thread count, the reference's first.
    OpenSSL's keep the names they have without --sources, so that their
    series go on."""
    made = []
    for name, version in names.items():
        for n in sizes:
            for t in threads:
                v = variant(build, DEFAULT_GENERATOR, None, (n, t, False), calls)
                if name != REFERENCE:
                    first, rest = v.name.split("+", 1)
                    v = dataclasses.replace(v, name=f"{first}+{name}+{rest}",
                                            args=v.args + ["--source", name],
                                            generator=f"source {name}")
                made.append(dataclasses.replace(v, source=name, source_version=version))
    return made


def by_source(variants):
    """{source: {(bytes, threads): variant}}, in the variants' order."""
    cells = {}
    for v in variants:
        cells.setdefault(v.source, {})[(v.bytes, v.threads)] = v
    return cells


def per_round_fits(by_size):
    """ticks = a + b x bytes fitted in each round over the sizes (Theil-Sen):
    ({"median": a, "round": r} ..., {"median": b, "round": r} ...)."""
    from scipy import stats as scipy_stats  # pylint: disable=import-outside-toplevel
    rounds = {}
    for n, v in by_size.items():
        for r in runner.per_run(v):
            rounds.setdefault(r["round"], []).append((n, r["median"]))
    a_values, b_values = [], []
    for r, points in sorted(rounds.items()):
        if len(points) < 2:
            continue
        x = np.array([p[0] for p in points], dtype=np.float64)
        y = np.array([p[1] for p in points], dtype=np.float64)
        slope, intercept, _, _ = scipy_stats.theilslopes(y, x)
        a_values.append({"median": float(intercept), "round": r})
        b_values.append({"median": float(slope), "round": r})
    return a_values, b_values


def against(reference, other):
    """other's figures over reference's within rounds (stats.paired)."""
    return stats.paired(reference, other)


def fixed_costs(reference, other):
    """other's fixed cost over reference's: the ratio of their medians over
    the rounds both have, its 95% bootstrap interval resampling whole
    rounds, and the Wilcoxon signed-rank test of the rounds' differences. A
    round's fitted a may fall below 0 for a source whose cost is nearly all
    per byte, so neither a ratio per round nor its logarithm is taken; with
    a median not above 0 there is no ratio at all."""
    from scipy import stats as scipy_stats  # pylint: disable=import-outside-toplevel
    base = {r["round"]: r["median"] for r in reference}
    pairs = [(base[r["round"]], r["median"]) for r in other if r["round"] in base]
    x = np.array([p[0] for p in pairs], dtype=np.float64)
    y = np.array([p[1] for p in pairs], dtype=np.float64)
    n = len(pairs)
    none = {"ratio": None, "low": None, "high": None, "p": 1.0, "n": n,
            "least_p": min(1.0, 2 / 2 ** n), "why": ""}
    if n < 2 or np.median(x) <= 0 or np.median(y) <= 0:
        return {**none, "why": "a not above 0"}
    interval = scipy_stats.bootstrap(
        (x, y), lambda a, b, axis: np.median(b, axis=axis) / np.median(a, axis=axis),
        vectorized=True, paired=True, confidence_level=1 - stats.ALPHA,
        n_resamples=stats.BOOTSTRAP_RESAMPLES, method="percentile",
        random_state=np.random.default_rng(stats.SEED)).confidence_interval
    differences = y - x
    p = scipy_stats.wilcoxon(differences).pvalue if np.any(differences != 0) else 1.0
    low, high = float(interval.low), float(interval.high)
    if not (np.isfinite(low) and np.isfinite(high)):
        low = high = None
    return {**none, "ratio": float(np.median(y) / np.median(x)), "low": low, "high": high,
            "p": float(p)}


def ratio_text(c):
    return "n/a" if c["ratio"] is None else f"{c['ratio']:.3f}"


def verdict_text(c):
    return c["why"] if c.get("why") else text.short_verdict(c)


def interval_of(values, decimals):
    mid, low, high = stats.median_interval([v["median"] for v in values])
    return mid, ("n/a" if low is None else f"{low:.{decimals}f}-{high:.{decimals}f}")


def report(variants, rounds, notes):
    cells = by_source(variants)
    ref = cells[REFERENCE]
    sizes = sorted({n for n, _ in ref})
    threads = sorted({t for _, t in ref})
    versions_seen = {v.source: v.source_version for v in variants}

    header = ["ticks per call", "threads"] + [f"{n} B" for n in sizes]
    rows = [[name, str(t)] + [text.number(runner.run_median(mine[(n, t)])) for n in sizes]
            for name, mine in cells.items() for t in threads]
    lines = [f"Sources: median of {rounds} run medians per cell, TSC ticks per call (for several "
             "threads, the median of", "their records' medians)", "",
             text.table(header, rows, left=2)]

    header = ["source", "bytes", "threads", "ticks/call", "x openssl", "95% CI", "verdict",
              "calls/s", "x 1 thread"]
    rows = []
    for name, mine in cells.items():
        for n in sizes:
            one = np.median(runner.throughput(mine[(n, 1)])) if (n, 1) in mine else None
            for t in threads:
                v = mine[(n, t)]
                rate = np.median(runner.throughput(v))
                row = [name, str(n), str(t), text.number(runner.run_median(v))]
                if name == REFERENCE:
                    row += ["1.000", "", "reference"]
                else:
                    c = against(runner.per_run(ref[(n, t)]), runner.per_run(v))
                    row += [ratio_text(c), text.interval(c), verdict_text(c)]
                rows.append(row + [f"{rate:.0f}", f"{rate / one:.2f}" if one else ""])
    lines += ["", "Each source against OpenSSL's RAND_bytes at the same size and threads: the "
              "median over rounds of", "the ratio within each round, its 95% bootstrap "
              "interval and the Wilcoxon signed-rank test's", "verdict at 0.05; calls/s of all "
              "threads together over the parallel section's wall time.", "",
              text.table(header, rows, left=1)]

    if len(sizes) >= 2:
        fits = {name: per_round_fits({n: mine[(n, 1)] for n in sizes})
                for name, mine in cells.items() if all((n, 1) in mine for n in sizes)}
        header = ["source", "a", "a 95% CI", "b", "b 95% CI", "a x openssl", "95% CI", "verdict"]
        rows = []
        for name, (a_values, b_values) in fits.items():
            a, a_ci = interval_of(a_values, 0)
            b, b_ci = interval_of(b_values, 3)
            row = [name, f"{a:.0f}", a_ci, f"{b:.3f}", b_ci]
            if name == REFERENCE:
                rows.append(row + ["1.000", "", "reference"])
                continue
            c = fixed_costs(fits[REFERENCE][0], a_values)
            rows.append(row + [ratio_text(c), text.interval(c), verdict_text(c)])
        lines += ["", "Fit of ticks = a + b x bytes at one thread, made in each round over the "
                  "sizes (Theil-Sen): a is", "a call's fixed cost in ticks, b its cost per byte; "
                  "each the median over rounds with its", "95% bootstrap interval; a x openssl "
                  "is a source's median a over OpenSSL's, its interval from resampling", "whole "
                  "rounds, the verdict the signed-rank test of the rounds' differences.", "",
                  text.table(header, rows, left=1)]
        if HEADLINE in fits:
            c = fixed_costs(fits[HEADLINE][0], fits[REFERENCE][0])
            lines += ["", f"OpenSSL's fixed cost a against {HEADLINE}'s: {ratio_text(c)} times "
                      f"(95% CI {text.interval(c)}; {verdict_text(c)})"]
    lines += ["", "Versions: " + "; ".join(f"{name} {version}"
                                             for name, version in versions_seen.items())]
    lines += notes
    return lines


def plot(variants, out):
    """Ticks per call against bytes, log-log, one line per source at one
    thread."""
    fig = plots.figure((1000, 600))
    ax = fig.add_subplot()
    for name, mine in by_source(variants).items():
        line = sorted((n, runner.run_median(v)) for (n, t), v in mine.items() if t == 1)
        ax.plot([p[0] for p in line], [p[1] for p in line], "o-", markersize=3, label=name)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("bytes per call")
    ax.set_ylabel(plots.TICKS_AXIS)
    ax.legend(fontsize="small")
    ax.set_title("Generators against request size, one thread")
    fig.tight_layout()
    plots.save(fig, str(out))
