"""bench/compare-openssl --views: each one-thread variant timed in several
views of a call, all in the same rounds on the same processor
(docs/views.md):

  cpuid   each call between the program's CPUID-fenced reads: the latency of
          an isolated call, as the program reports it
  lfence  each call between LFENCE-fenced reads, which never trap to a
          hypervisor: a typical call in a loop
  batch   BATCH_CALLS calls between two LFENCE-fenced reads, each count their
          mean: throughput, as openssl speed and the peers' tools report it

As data: each view's figure; the fence factor (cpuid over lfence within each
round); the median against the robust mean, from every count of every run
(stats.robust_mean); with --sources, each source against OpenSSL in each
view, and whether the view changes that comparison, decided within rounds
(a verdict code, said only where the rounds decide it). Then as text."""

import itertools

import numpy as np

from rnglab import lifecycle, runner, runs, stats
from rnglab.report import labreport, text
from rnglab.errors import LabError
from rnglab.variants import BATCH_CALLS, DEFAULT_VIEW, OPENSSL_SOURCE

# What the text calls each view, in a table's header and in a sentence.
NAMES = {"cpuid": "CPUID-fenced", "lfence": "LFENCE-fenced", "batch": f"batch of {BATCH_CALLS}"}
PHRASES = {**NAMES, "batch": f"in batches of {BATCH_CALLS}"}
# What sets two views apart: the fence, the batching, or both.
CAUSES = {frozenset({"cpuid", "lfence"}): "fence", frozenset({"lfence", "batch"}): "batch",
          frozenset({"cpuid", "batch"}): "view"}
CAUSE_TEXT = {"fence": "the fence", "batch": "batching", "view": "the view"}


def what_of(v, by_source):
    """What a row stands for: the source, or the build and generator."""
    if by_source:
        return v.source
    return f"{v.build.name} cipher" if v.cipher else labreport.group_of(v)


def cells_of(variants, by_source):
    """{(what, bytes): {view: variant}} of the one-thread variants, in order."""
    cells = {}
    for v in variants:
        if v.threads == 1:
            cells.setdefault((what_of(v, by_source), v.bytes), {})[v.view] = v
    return cells


def robust_means(v):
    """(robust mean, counts left out, counts) of each of this invocation's
    runs, from its samples; None where it kept none."""
    if not v.samples:
        return None
    parent, _ = lifecycle.read(v)
    return [(*stats.robust_mean(run.ravel()), run.size) for run in parent]


def batches(v):
    """A batched variant's disturbed batches over its runs, or None."""
    found = [runs.batches_of(run.output) for run in v.runs]
    if v.batch == 1 or not found or None in found:
        return None
    return {key: sum(f[key] for f in found) for key in found[0]}


def view_entry(v):
    """A view's figures: its figure, and the median against the robust
    mean, run by run."""
    entry = {"view": v.view, "variant": v.name, "ticks": runner.run_median(v),
             "robust_mean": None, "left_out": None, "counts": None, "median_over_robust": None,
             "batches": batches(v)}
    means = robust_means(v)
    if means:
        runs = [r for r in v.runs if r.value is not None]
        if len(runs) != len(means):
            raise LabError(f"{v.name}: {v.samples} holds {len(means)} runs' counts for "
                           f"{len(runs)} runs")
        entry.update(robust_mean=float(np.median([m for m, _, _ in means])),
                     left_out=sum(out for _, out, _ in means),
                     counts=sum(n for _, _, n in means),
                     median_over_robust=stats.ratio_per_round([r.value for r in runs],
                                                              [m for m, _, _ in means]))
    return entry


def per_round(base, mine):
    """mine's figure over base's, round by round, as paired takes a side."""
    figures = {r["round"]: r["median"] for r in base}
    return [{"round": r["round"], "median": r["median"] / figures[r["round"]]}
            for r in mine if figures.get(r["round"])]


def between_views(ratios):
    """Whether the view changes a source's ratio against OpenSSL (ratios:
    {view: per_round's list}, in the views' order): for every two views a
    and b, the ratio in b against the ratio in a, round by round
    (stats.paired: its interval and verdict), and the verdict of the whole,
    a code:

      changes        some two views' ratios differ, decided: causes says
                     what parts them, the fence or the batching before the
                     two together
      undecided      none decided to differ, and some two too few rounds
                     (or the rule's interval too wide) to decide
      no-difference  every two decided not to differ (or the same)"""
    pairs = [{"views": [a, b], "cause": CAUSES[frozenset({a, b})],
              "comparison": stats.paired(ratios[a], ratios[b])}
             for a, b in itertools.combinations(list(ratios), 2)]
    apart = {p["cause"] for p in pairs if p["comparison"]["verdict"] in ("faster", "slower")}
    causes = [c for c in CAUSES.values() if c in apart and (c != "view" or len(apart) == 1)]
    undecided = any(p["comparison"]["verdict"] == "undecided" for p in pairs)
    verdict = "changes" if causes else "undecided" if undecided else "no-difference"
    return {"verdict": verdict, "causes": causes, "pairs": pairs}


def against_openssl(cells, views):
    """Each source against OpenSSL at the same size in each view, and
    whether the view changes that comparison."""
    rows, shifts = [], []
    for (source, n), mine in cells.items():
        base = cells.get((OPENSSL_SOURCE, n))
        if source == OPENSSL_SOURCE or base is None:
            continue
        ratios = {view: stats.paired(runner.per_run(base[view]), runner.per_run(mine[view]))
                  for view in views if view in mine and view in base}
        rows.append({"source": source, "bytes": n, "x_openssl": ratios})
        if len(ratios) >= 2:
            shifts.append({"source": source, "bytes": n,
                           "ratios": {view: c["ratio"] for view, c in ratios.items()
                                      if c["ratio"] is not None},
                           **between_views({view: per_round(runner.per_run(base[view]),
                                                            runner.per_run(mine[view]))
                                            for view in ratios})})
    return rows, shifts


def report(variants, rounds, views, by_source):
    """The views' table as data. views: in the order asked; the other tables
    of the comparison are of the first."""
    cells = cells_of(variants, by_source)
    rows = []
    for (what, n), mine in cells.items():
        fence = None
        if "cpuid" in mine and "lfence" in mine:
            fence = stats.paired(runner.per_run(mine["lfence"]), runner.per_run(mine["cpuid"]))
        rows.append({"what": what, "bytes": n,
                     "views": [view_entry(mine[view]) for view in views if view in mine],
                     "fence_factor": fence})
    against, shifts = against_openssl(cells, views) if by_source else (None, None)
    return {"table": "views", "rounds": rounds, "views": list(views),
            "tables_view": views[0], "batch_calls": BATCH_CALLS, "by_source": by_source,
            "interrupt_factor": stats.INTERRUPT_FACTOR,
            "interrupt_percentile": stats.INTERRUPT_PERCENTILE, "rows": rows,
            "against": against, "shifts": shifts, "alpha": stats.ALPHA}


# --- as text -------------------------------------------------------------------

def with_interval(r, decimals=3):
    """A ratio {median or ratio, low, high} with its interval in brackets."""
    mid = r.get("ratio", r.get("median"))
    if mid is None:
        return "n/a"
    shown = f"{mid:.{decimals}f}"
    if r["low"] is None:
        return shown
    return f"{shown} [{r['low']:.{decimals}f}-{r['high']:.{decimals}f}]"


def figures_lines(t):
    fence = any(r["fence_factor"] for r in t["rows"])
    header = ["source" if t["by_source"] else "ticks per call", "bytes",
              *(NAMES[view] for view in t["views"])]
    header += ["cpuid / lfence", "95% CI", "verdict"] if fence else []
    rows = []
    for r in t["rows"]:
        by_view = {e["view"]: e for e in r["views"]}
        row = [r["what"], str(r["bytes"]),
               *(text.number(by_view[view]["ticks"]) if view in by_view else ""
                 for view in t["views"])]
        c = r["fence_factor"]
        if fence:
            row += ["", "", ""] if c is None else \
                [text.ratio(c), text.interval(c), text.short_verdict(c, t["alpha"])]
        rows.append(row)
    n = t["batch_calls"]
    lines = [f"Views of a call: median of {text.plural(t['rounds'], 'run median')} per view, "
             "TSC ticks per call, "
             "one thread. CPUID-fenced:", "each call between the program's reads; "
             "LFENCE-fenced: between LFENCE-fenced reads; batch of", f"{n}: {n} calls between "
             "two LFENCE-fenced reads, each count their mean (docs/views.md)."]
    if t["tables_view"] != DEFAULT_VIEW:
        lines.append(f"The tables above are of the {NAMES[t['tables_view']]} view.")
    lines += ["", text.table(header, rows, left=1)]
    if fence and sequential_in(r["fence_factor"] for r in t["rows"]):
        lines += ["", *text.paragraph(
            "cpuid / lfence, the fence factor: the median over rounds of the ratio within each "
            "round, with the sequential rule's interval and verdict (see Rounds above); near 1 "
            "on bare metal, above it where CPUID traps to a hypervisor and leaves the call after "
            "it colder.")]
    elif fence:
        lines += ["", "cpuid / lfence, the fence factor: the median over rounds of the ratio "
                  "within each round, its 95%", "bootstrap interval and the signed-rank test's "
                  f"verdict at {t['alpha']:g}; near 1 on bare metal, above it where", "CPUID "
                  "traps to a hypervisor and leaves the call after it colder."]
    return lines


def sequential_in(comparisons):
    """Whether the comparisons (None for none) are the sequential rule's:
    rounds run until decided."""
    return any(c is not None and c.get("interval") == "sequential" for c in comparisons)


def disturbed_lines(t):
    """The batched views' batches that another task or processor got in the
    way of, where any was."""
    found = [(r, e) for r in t["rows"] for e in r["views"] if e["batches"]]
    if not found:
        return []
    lines = [f"{r['what']} at {r['bytes']} B: {e['batches']['disturbed']} of "
             f"{'?' if e['counts'] is None else e['counts']} batches disturbed, "
             f"{e['batches']['remeasured']} timed again undisturbed, {e['batches']['marked']} "
             "kept as timed" for r, e in found if e["batches"]["disturbed"]]
    return ["", "Batches during which the thread was switched out or moved to another "
            "processor, timed again", "up to three times; one still disturbed is kept, its count "
            "inflated:", *(lines or ["none"])]


def robust_lines(t):
    header = ["source" if t["by_source"] else "generator", "bytes", "view", "median",
              "robust mean", "median / robust mean", "95% CI", "left out"]
    rows = []
    for r in t["rows"]:
        for e in r["views"]:
            ratio = e["median_over_robust"]
            rows.append([r["what"], str(r["bytes"]), NAMES[e["view"]], text.number(e["ticks"]),
                         "n/a" if e["robust_mean"] is None else text.number(e["robust_mean"]),
                         "n/a" if ratio is None else f"{ratio['median']:.3f}",
                         "n/a" if ratio is None else text.interval(ratio),
                         "" if e["counts"] is None else f"{e['left_out']} of {e['counts']}"])
    if sequential_in(e["median_over_robust"] for r in t["rows"] for e in r["views"]):
        said = text.paragraph(
            "Median against robust mean: per run, the record's median over the mean of its "
            f"counts but the interrupts (those above {t['interrupt_factor']} x the run's median "
            f"and above its p{t['interrupt_percentile']:g}); the median over runs, with the "
            "sequential rule's interval (see Rounds above). Below 1 the median hides a cost that "
            "recurs (a buffer's refill, a reseed); a batch's count is already a mean.")
    else:
        said = ["Median against robust mean: per run, the record's median over the mean of its "
                "counts but the", f"interrupts (those above {t['interrupt_factor']} x the run's "
                f"median and above its p{t['interrupt_percentile']:g}); the median over runs, "
                "with", "its 95% bootstrap interval. Below 1 the median hides a cost that recurs "
                "(a buffer's refill, a", "reseed); a batch's count is already a mean."]
    return ["", *said, "", text.table(header, rows, left=3)]


def short_ratio(r):
    """A ratio in a sentence: two decimals, or two significant digits below
    0.1."""
    return f"{r:.2f}" if r >= 0.1 else f"{r:.2g}"


def shift_line(s):
    ratios = ", ".join(f"{short_ratio(r)} {PHRASES[view]}" for view, r in s["ratios"].items())
    causes = " and ".join(CAUSE_TEXT[c] for c in s["causes"])
    verb = "changes" if len(s["causes"]) == 1 else "change"
    return text.wrapped(f"{s['source']} / openssl at {s['bytes']} B: {ratios}: {causes} {verb} "
                        "this comparison", first="", rest="  ")


def undecided_lines(shifts, alpha):
    """The comparisons that the rounds cannot tell changed or not, with why
    (the first undecided pair's verdict: the same rounds for all), by
    size."""
    why = next(text.short_verdict(p["comparison"], alpha) for p in shifts[0]["pairs"]
               if p["comparison"]["verdict"] == "undecided")
    reason = why.removeprefix("undecided").lstrip(": ")
    sizes = {}
    for s in shifts:
        sizes.setdefault(s["bytes"], []).append(s["source"])
    return [f"Undecided whether the view changes these comparisons ({reason}):",
            *(text.wrapped(f"at {n} B: {', '.join(names)}") for n, names in sizes.items())]


def between_lines(t):
    """What the rounds decided of each comparison between views."""
    changed = [s for s in t["shifts"] if s["verdict"] == "changes"]
    undecided = [s for s in t["shifts"] if s["verdict"] == "undecided"]
    sequential = sequential_in(p["comparison"] for s in t["shifts"] for p in s["pairs"])
    test = "the sequential rule's interval" if sequential else \
        f"the signed-rank test at {t['alpha']:g}"
    lines = text.paragraph(
        "A view changes a comparison where the ratio against OpenSSL in one view, over the "
        f"ratio in another, round by round, differs from 1 by {test}.") + [""]
    lines += [shift_line(s) for s in changed]
    if undecided:
        lines += undecided_lines(undecided, t["alpha"])
    if not changed and not undecided:
        lines.append("No view changes a ratio against OpenSSL.")
    return lines


def against_lines(t):
    header = ["x openssl", "bytes", *(NAMES[view] for view in t["views"])]
    rows = [[r["source"], str(r["bytes"]),
             *(with_interval(r["x_openssl"][view]) if view in r["x_openssl"] else ""
               for view in t["views"])] for r in t["against"]]
    if sequential_in(c for r in t["against"] for c in r["x_openssl"].values()):
        said = text.paragraph("Each source against OpenSSL's RAND_bytes at the same size, in "
                              "each view: the median over rounds of the ratio within each round, "
                              "with the sequential rule's interval (see Rounds above).")
    else:
        said = ["Each source against OpenSSL's RAND_bytes at the same size, in each view: the "
                "median over rounds", "of the ratio within each round, with its 95% bootstrap "
                "interval."]
    lines = ["", *said, "", text.table(header, rows, left=1)]
    return lines + (["", *between_lines(t)] if t["shifts"] else [])


def lines_of(t):
    """The views' tables as text."""
    lines = figures_lines(t) + disturbed_lines(t) + robust_lines(t)
    return lines + (against_lines(t) if t["against"] is not None else [])
