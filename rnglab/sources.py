"""rand_lab's other generators beside OpenSSL's: the kernel's, the
processor's and other libraries', each a variant of the comparison measured
by `rand_lab --source NAME` in the same interleaved rounds.

The reference is OpenSSL's RAND_bytes with the library's default generator
on the first build, at the same request size and thread count. Each source's
fixed and per-byte costs come from a fit of ticks = a + b x bytes made round
by round, so that a and b have intervals, and a source's a against the
reference's is a ratio within rounds like every other in the lab.
"""

import dataclasses

from rnglab import argtypes, randlab, runner, sequential, stats
from rnglab.report import text
from rnglab.errors import LabError
from rnglab.variants import DEFAULT_GENERATOR, OPENSSL_SOURCE, variant

REFERENCE = OPENSSL_SOURCE
# The fixed cost a user asks about: OpenSSL's call against the kernel's.
HEADLINE = "getrandom"
EVERY = "all"


def source_list(value):
    """--sources: a comma-separated list of the sources rand_lab knows, or
    all (every one that can run here). OpenSSL's, the reference, is always
    measured."""
    if value == EVERY:
        return [EVERY]
    names = argtypes.name_list(randlab.source_names(), "source", EVERY)(value)
    return list(dict.fromkeys([REFERENCE] + names))


# --- rand_lab --version: what the lab reads of it, read here only -------------

def version_of(build, name):
    """(status, what it said) of `rand_lab --source NAME --version`: its
    version, or the line that refuses it."""
    status, output = randlab.run(build.folder / "bench" / "rand_lab", "--source", name,
                                 "--version")
    source = output.first("source", name=name)
    if status == 0 and source:
        return 0, source.get("version", "")
    return status or 1, output.first_message("no answer").removeprefix("rand_lab: ")


def versions(build, asked):
    """Each asked source's version as its executable reports it, and a note
    for each left out. A source built here that cannot run on this machine
    (its instruction not reported, the kernel's vDSO without getrandom) is
    left out with its note, named or with all; one not built here too with
    all, but named it stops the comparison, as anything else rand_lab
    refuses does. OpenSSL's, the reference, never goes without."""
    everything = asked == [EVERY]
    found, notes = {}, []
    for name in randlab.source_names() if everything else asked:
        status, said = version_of(build, name)
        if status == 0:
            found[name] = said
        elif name == REFERENCE or not (everything or status == randlab.CANNOT_RUN_HERE):
            raise LabError(said)
        else:
            notes.append(f"{name} not measured: {said}")
    return found, notes


def make_variants(build, names, sizes, threads, calls, fork=False):
    """One variant per source, size and thread count, the reference's first,
    with fork a fork child's calls too. OpenSSL's keep the names they have
    without --sources, so that their series go on."""
    made = []
    for name, version in names.items():
        for n in sizes:
            for t in threads:
                v = variant(build, DEFAULT_GENERATOR, None, (n, t, False), calls, source=name,
                            fork=fork)
                made.append(dataclasses.replace(v, source_version=version))
    return made


# --- the table -----------------------------------------------------------------

def by_source(variants):
    """{source: {(bytes, threads): variant}}, in the variants' order."""
    cells = {}
    for v in variants:
        cells.setdefault(v.source, {})[(v.bytes, v.threads)] = v
    return cells


def rows_of(cells, sizes, threads):
    """Each cell against OpenSSL's at the same size and threads."""
    ref = cells[REFERENCE]
    rows = []
    for name, mine in cells.items():
        for n in sizes:
            one = runner.rate_median(mine[(n, 1)]) if (n, 1) in mine else None
            for t in threads:
                v = mine[(n, t)]
                rate = runner.rate_median(v)
                rows.append({"source": name, "bytes": n, "threads": t,
                             "ticks": runner.run_median(v),
                             "x_openssl": stats.reference(len(runner.per_run(v)))
                             if name == REFERENCE else
                             stats.paired(runner.per_run(ref[(n, t)]), runner.per_run(v)),
                             "calls_per_s": rate,
                             "calls_x_one": rate / one if one and rate is not None else None})
    return rows


def fits_of(cells, sizes):
    """Each source's per-round fits at one thread, where it has every size."""
    fits = {}
    for name, mine in cells.items():
        if all((n, 1) in mine for n in sizes):
            points = {}
            for n in sizes:
                for r in runner.per_run(mine[(n, 1)]):
                    points.setdefault(r["round"], []).append((n, r["median"]))
            found = stats.per_round_fits(points)
            if found[0]:  # not where no round has two sizes (every fork child hung)
                fits[name] = found
    return fits


def interval_of(values):
    mid, low, high = stats.median_interval([v["median"] for v in values])
    return {"median": mid, "low": low, "high": high}


def fit_table(cells, sizes):
    fits = fits_of(cells, sizes)
    base = fits.get(REFERENCE, ([], []))[0]
    rows = [{"source": name, "a": interval_of(a_values), "b": interval_of(b_values),
             "x_openssl": stats.reference(len(a_values)) if name == REFERENCE else
             stats.fixed_costs(base, a_values)}
            for name, (a_values, b_values) in fits.items()]
    headline = None
    if HEADLINE in fits:
        headline = {"source": HEADLINE, **stats.fixed_costs(fits[HEADLINE][0], base)}
    # The fit's intervals are a fixed number of rounds' even where the
    # rounds ran until the ratios above were decided: nominal, then.
    nominal = {"interval": "nominal"} if sequential.design() is not None else {}
    return {"rows": rows, "headline": headline, **nominal}


def report(variants, rounds, notes):
    """The sources' tables as data."""
    cells = by_source(variants)
    sizes = sorted({n for n, _ in cells[REFERENCE]})
    threads = sorted({t for _, t in cells[REFERENCE]})
    return {"table": "sources", "rounds": rounds, "sizes": sizes, "threads": threads,
            "cells": [{"source": name, "threads": t,
                       "ticks": [runner.run_median(mine[(n, t)]) for n in sizes]}
                      for name, mine in cells.items() for t in threads],
            "rows": rows_of(cells, sizes, threads),
            "fit": fit_table(cells, sizes) if len(sizes) >= 2 else None,
            "versions": [{"source": v.source, "version": v.source_version}
                         for v in {v.source: v for v in variants}.values()],
            "notes": list(notes), "alpha": stats.ALPHA}


def verdict_text(c, alpha):
    return "a not above 0" if c["verdict"] == "no-ratio" else text.short_verdict(c, alpha)


def cells_text(c, alpha):
    if c["verdict"] == "reference":
        return ["1.000", "", "reference"]
    return [text.ratio(c), text.interval(c), verdict_text(c, alpha)]


FIT_METHOD = ("Fit of ticks = a + b x bytes at one thread, made in each round over the sizes "
              "(Theil-Sen): a is a call's fixed cost in ticks, b its cost per byte; each the "
              "median over rounds with its 95% bootstrap interval; a x openssl is a source's "
              "median a over OpenSSL's, its interval from resampling whole rounds, the verdict "
              "the signed-rank test of the rounds' differences.")
NOMINAL = ("These intervals and tests are nominal: they are a fixed number of rounds', and do "
           "not allow for the rounds having stopped when the ratios above were decided.")


def fit_lines(fit, alpha):
    header = ["source", "a", "a 95% CI", "b", "b 95% CI", "a x openssl", "95% CI", "verdict"]
    rows = [[r["source"], f"{r['a']['median']:.0f}", text.interval(r["a"], 0),
             f"{r['b']['median']:.3f}", text.interval(r["b"], 3),
             *cells_text(r["x_openssl"], alpha)] for r in fit["rows"]]
    nominal = [NOMINAL] if fit.get("interval") == "nominal" else []
    said = text.paragraph(FIT_METHOD, *nominal)
    lines = ["", *said, "", text.table(header, rows, left=1)]
    c = fit["headline"]
    if c is not None:
        lines += ["", f"OpenSSL's fixed cost a against {c['source']}'s: {text.ratio(c)} times "
                  f"(95% CI {text.interval(c)}; {verdict_text(c, alpha)})"]
    return lines


def report_lines(t):
    """The sources' tables as text."""
    header = ["ticks per call", "threads"] + [f"{n} B" for n in t["sizes"]]
    rows = [[c["source"], str(c["threads"])] + ["" if x is None else text.number(x)
                                                for x in c["ticks"]] for c in t["cells"]]
    lines = [f"Sources: median of {text.plural(t['rounds'], 'run median')} per cell, TSC ticks "
             "per call (for "
             "several threads, the median of", "their records' medians)", "",
             text.table(header, rows, left=2)]
    header = ["source", "bytes", "threads", "ticks/call", "x openssl", "95% CI", "verdict",
              "calls/s", "x 1 thread"]
    rows = [[r["source"], str(r["bytes"]), str(r["threads"]),
             "" if r["ticks"] is None else text.number(r["ticks"]),
             *cells_text(r["x_openssl"], t["alpha"]),
             "n/a" if r["calls_per_s"] is None and r["ticks"] is not None else
             "" if r["calls_per_s"] is None else f"{r['calls_per_s']:.0f}",
             "" if r["calls_x_one"] is None else f"{r['calls_x_one']:.2f}"] for r in t["rows"]]
    if any(r["x_openssl"].get("interval") == "sequential" for r in t["rows"]):
        lines += ["", *text.paragraph(
            "Each source against OpenSSL's RAND_bytes at the same size and threads: the median "
            "over rounds of the ratio within each round, with the sequential rule's interval "
            "and verdict (see Rounds above); " + text.RATE_METHOD)]
    else:
        lines += ["", *text.paragraph(
            "Each source against OpenSSL's RAND_bytes at the same size and threads: the median "
            "over rounds of the ratio within each round, its 95% bootstrap interval and the "
            "Wilcoxon signed-rank test's verdict at 0.05; " + text.RATE_METHOD)]
    lines += ["", text.table(header, rows, left=1)]
    if t["fit"] is not None:
        lines += fit_lines(t["fit"], t["alpha"])
    versions = "; ".join(f"{v['source']} {v['version']}" for v in t["versions"])
    lines += ["", "Versions: " + versions]
    return lines + t["notes"]
