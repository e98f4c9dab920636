"""A call's cost over a process's life, source by source (compare-openssl
--sources LIST --lifecycle): each one's first call and percentiles, the
reseed period found in its samples against the one its library documents,
what a fork child's first call costs and whether the child repeated its
parent's bytes. One row per source, size and thread count: the figures as
rnglab.lifecycle gives them, the documented period from rnglab.documented,
the fork's verdict from rnglab.forksafety."""

from rnglab import documented, forksafety, lifecycle, reseeds
from rnglab.report import plots, text

# How a reseed period found compares with the documented one.
AGREEMENTS = ("as-expected", "other-period", "not-found", "too-short", "none-expected",
              "unexpected", "faint")

# A reseed redoes a generator's work, many times a usual call's cost. A
# period found whose calls cost less than this over the run's median is a
# pattern in the timing, not a reseed: on this VM getrandom's and GnuTLS's
# 512-call period, some 4 ticks, moves with where malloc puts the lab's own
# array of counts (docs/sources.md).
FAINT = 1.2


def faint(found):
    """Whether the period found costs too little to be a reseed."""
    cost = found.get("cost")
    return bool(found["period"] and cost and found.get("median")
                and cost["median"] < FAINT * found["median"])


def agreement(expected, found):
    """The code of a period found (find_period's data) against expected,
    in calls or None: a period within reseeds.SLACK calls of it is the one
    documented, as a generator may count its set-up or first request."""
    if expected is None:
        if not found["period"]:
            return "none-expected"
        return "faint" if faint(found) else "unexpected"
    if found["period"] is None:
        return "too-short" if found["reason"] == "too-short" else "not-found"
    if abs(found["period"] - expected) <= reseeds.SLACK:
        return "as-expected"
    return "faint" if faint(found) else "other-period"


def row(v, figures):
    expected = documented.expected_period(v.source, v.bytes)
    data = lifecycle.lifecycle_row(figures)
    return {**data, "source": v.source, "bytes": v.bytes, "threads": v.threads,
            "expected": expected, "rule": documented.of(v.source).rule,
            "agreement": agreement(expected, data["reseeds"]),
            "fork": forksafety.variant_verdict(v)}


def unmeasured_row(v):
    """A source none of whose runs landed, every fork child having hung."""
    return {"source": v.source, "bytes": v.bytes, "threads": v.threads, "runs": len(v.runs),
            "fork": forksafety.variant_verdict(v)}


def report(variants, rounds, out=None):
    """The sources' lifecycle table and the percentiles of every call, as
    data, and with out the picture of one run per source. A source whose
    every fork child hung kept no samples: the table names it, with its
    fork checks."""
    kept = [v for v in variants if v.samples and lifecycle.landed(v)]
    summaries = [lifecycle.summarise(v, documented.expected_period(v.source, v.bytes))
                 for v in kept]
    table = {"table": "source_lifecycle", "rounds": rounds,
             "rows": [row(v, s) for v, s in zip(kept, summaries)],
             "unmeasured": [unmeasured_row(v) for v in variants
                            if v.samples and not lifecycle.landed(v)]}
    if out is not None:
        plots.plot_lifecycle(table, [s["example"] for s in summaries], out)
    return [table, lifecycle.percentiles_table(summaries, None if out is None else str(out),
                                               "source")]


# --- as text -------------------------------------------------------------------

def fork_cell(found):
    if found is None:
        return "not checked"
    if found["verdict"] == "repeats":
        return f"YES ({found['repeats']} of {found['runs']} runs)"
    if found["verdict"] == "hangs":
        return f"HANGS ({found['hangs']} of {found['runs']} runs)"
    return f"no ({found['runs']} runs)"


def period_cell(period, agreement=None):
    if period is None:
        return "none"
    return f"({period:,})" if agreement == "faint" else f"{period:,}"


def name_of(r):
    return f"{r['source']} {r['bytes']} B {text.plural(r['threads'], 'thread')}"


def reseed_line(r):
    """The period found against the documented one, in a sentence; where
    they disagree, it says so."""
    found, expected = r["reseeds"], r["expected"]
    said = (f"expected every {expected:,} calls" if expected else "expected none") + \
        f" ({r['rule']})"
    if r["agreement"] == "too-short":
        return f"{said}; {reseeds.none_text(found, expected)}"
    if r["agreement"] == "faint":
        ratio = found["cost"]["median"] / found["median"]
        return (f"{said}; found every {found['period']:,} at {ratio:.1f} x the median: a pattern "
                "in the timing no dearer than a usual call, not a reseed")
    seen = f"found every {found['period']:,}" if found["period"] else "found none"
    wrong = r["agreement"] in ("other-period", "not-found", "unexpected")
    line = f"{said}; {seen}" + (": DISAGREES" if wrong else "")
    if found["period"]:
        cost = found["cost"]["median"]
        line += f"; a reseed costs {cost:.0f} ticks, {cost / found['median']:.1f} x the median"
    return line


def fork_line(r):
    found = r["fork"]
    if not found or found["verdict"] == "differ":
        return None
    if found["verdict"] == "hangs":
        return ("fork: the child's first request HUNG: a lock held at the fork stays held in "
                "the child")
    return ("fork: the child REPEATS its parent's bytes: the application must call "
            f"{documented.of(r['source']).after_fork}")


def lifecycle_lines(t):
    header = ["source", "bytes", "threads", "first call", "median", "p99", "p99.9",
              "reseeds every", "documented", "child's first", "x median",
              "repeats after fork"]
    rows = []
    for r in t["rows"]:
        child = r["fork_child_first"]
        rows.append([r["source"], str(r["bytes"]), str(r["threads"]),
                     *(text.number(r[key]["median"], 0) for key in ("first", "median", "p99",
                                                                    "p999")),
                     period_cell(r["reseeds"]["period"], r["agreement"]),
                     period_cell(r["expected"]),
                     text.number(child["median"], 0) if child else "",
                     f"{child['median'] / r['median']['median']:.1f}" if child else "",
                     fork_cell(r["fork"])])
    lines = [f"Each source over a process's life, TSC ticks: the median over "
             f"{text.plural(t['rounds'], 'run')} of "
             "call 0, of each run's", "median, p99 and p99.9, and of the fork child's call 0 "
             "(x median: over the parent's median);", "reseeds every: the period found in the "
             "samples, in calls, in brackets where no dearer than a usual", "call (not a reseed); "
             "documented: the library's own, in calls of this size; repeats after fork: the",
             "child's first bytes equal the parent's next.", "",
             text.table(header, rows, left=1), ""]
    for r in t["rows"]:
        lines.append(text.wrapped(f"{name_of(r)}: " + reseed_line(r), first="", rest="    "))
        said = fork_line(r)
        if said:
            lines.append(text.wrapped(said, rest="    "))
    for u in t.get("unmeasured", []):
        lines.append(text.wrapped(f"{name_of(u)}: not measured; fork: "
                                  f"{lifecycle.hung_text(u['fork'])}", first="", rest="    "))
    return lines
