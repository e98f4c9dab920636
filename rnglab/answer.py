"""The answer a user of the sources comparison came for: per request size
and thread count, the cheapest generator that is fork-safe here, the
cheapest of all, and OpenSSL's place among them, each with its ratio to
OpenSSL's RAND_bytes and that ratio's 95% interval (the sources table's
own, taken within rounds). Fork safety is rnglab.forksafety's: this
invocation's fork checks where it made any, else what is documented for
each source's version; the answer says which, and names a source whose
version has nothing documented as not known to be fork-safe.

The cheapest is said cheaper than the next only where the rounds decide
it: each pick carries its comparison against the next cheapest, round by
round (stats.paired), and the text names every pick that it does not find
faster.

answer_table takes rows of the sources table's form, so that it answers for
whatever set of them it is given (one view of the call, say)."""

from rnglab import documented, forksafety, runner, stats
from rnglab.report import text
from rnglab.sources import REFERENCE


def ranked(rows):
    """rows cheapest first: by the ratio to OpenSSL's within rounds, by the
    ticks where a row has no ratio (those last)."""
    return sorted(rows, key=lambda r: (r["x_openssl"]["ratio"] is None,
                                       r["x_openssl"]["ratio"] or 0.0, r["ticks"]))


def pick(order, against):
    """The first of order, with its comparison against the second (None
    without one, or without against)."""
    if not order:
        return None
    first = order[0]
    following = None
    if len(order) > 1 and against is not None:
        following = {"source": order[1]["source"], **against(first, order[1])}
    return {"source": first["source"], "ticks": first["ticks"], "x_openssl": first["x_openssl"],
            "next": following}


def place(names, name):
    return names.index(name) + 1 if name in names else None


def cell(rows, safe, against=None):
    """The answer for the rows of one size and thread count, among the
    sources measured there (one whose every fork child hung has no figure,
    and is only named as not fork-safe); against(row, other): row's
    comparison with other's, within rounds."""
    order = ranked([r for r in rows if r["ticks"] is not None])
    names = [r["source"] for r in order]
    fork_safe = [r for r in order if safe[r["source"]]["safe"]]
    safe_names = [r["source"] for r in fork_safe]
    unmeasured = [r["source"] for r in rows if r["ticks"] is None]
    return {"bytes": rows[0]["bytes"], "threads": rows[0]["threads"],
            "cheapest_safe": pick(fork_safe, against),
            "cheapest": pick(order, against),
            "openssl": {"rank": place(names, REFERENCE), "of": len(names),
                        "safe_rank": place(safe_names, REFERENCE), "safe_of": len(safe_names)},
            "not_safe": [n for n in names + unmeasured if not safe[n]["safe"]]}


def basis_of(safe):
    """forksafety.MEASURED or DOCUMENTED where every source's is that one,
    else "mixed"."""
    bases = {s["basis"] for s in safe.values()}
    return bases.pop() if len(bases) == 1 else "mixed"


def answer_table(rows, safe, against=None):
    """rows: the sources table's ({source, bytes, threads, ticks,
    x_openssl}); safe: forksafety.safety's, for every source in them;
    against as cell takes it."""
    groups = {}
    for r in rows:
        groups.setdefault((r["bytes"], r["threads"]), []).append(r)
    # In rounds run until decided, the ratios' intervals are the sequential rule's.
    sequential = any(r["x_openssl"].get("interval") == "sequential" for r in rows)
    return {"table": "answer", "basis": basis_of(safe),
            "rows": [cell(group, safe, against) for _, group in sorted(groups.items())],
            "safety": list(safe.values()), "alpha": stats.ALPHA,
            **({"interval": "sequential"} if sequential else {})}


def report(sources_table, variants, measured=None):
    """The answer to a sources comparison, from its table and its runs:
    variants, every one (their fork checks); measured, those the table was
    made from (one view's), by default all."""
    cells = {(v.source, v.bytes, v.threads): v for v in measured or variants}

    def against(row, other):
        def figures(r):
            return runner.per_run(cells[(r["source"], r["bytes"], r["threads"])])
        return stats.paired(figures(other), figures(row))
    return answer_table(sources_table["rows"], forksafety.safety(variants), against)


# --- as text -------------------------------------------------------------------

def ordinal(n):
    suffix = "th" if 10 <= n % 100 <= 20 else {1: "st", 2: "nd", 3: "rd"}.get(n % 10, "th")
    return f"{n}{suffix}"


def pick_text(p):
    """A source with its ratio to OpenSSL's and the ratio's interval."""
    if p is None:
        return "none"
    c = p["x_openssl"]
    if c["verdict"] == "reference":
        return f"{p['source']} 1.000"
    return f"{p['source']} {text.ratio(c)} ({text.interval(c)})"


def place_text(o):
    if o["rank"] is None:
        return "not measured"
    whole = f"{ordinal(o['rank'])} of {o['of']}"
    if o["safe_rank"] is None:
        return whole + ", not fork-safe"
    if o["safe_of"] == o["of"]:
        return whole + ", all fork-safe"
    return whole + f"; {ordinal(o['safe_rank'])} of {o['safe_of']} fork-safe"


BASIS = {
    forksafety.MEASURED: "its child's bytes differed from the parent's in every fork check here.",
    forksafety.DOCUMENTED: "as its library documents; --lifecycle checks it here.",
    "mixed": "by this run's fork checks where it made some, else as documented.",
}


def unsafe_lines(t):
    lines = []
    for s in t["safety"]:
        if s["safe"]:
            continue
        if s["verdict"] == "unknown":
            said = ("not known: this run made no fork check of it, and nothing is documented for "
                    "its version; --lifecycle checks it here")
        elif s["verdict"] == "hangs":
            said = (f"its child's first request hung in {s['hangs']} of {s['runs']} runs: a lock "
                    "held at the fork stays held in the child")
        else:
            how = (f"in {s['repeats']} of {s['runs']} runs" if s["basis"] == forksafety.MEASURED
                   else "as documented")
            said = (f"its child repeats the parent's bytes ({how}); the application must call "
                    f"{documented.of(s['source']).after_fork}")
        lines.append(text.wrapped(f"{s['source']}: {said}"))
    unknown = any(s["verdict"] == "unknown" for s in t["safety"])
    heading = "Not fork-safe here, or not known to be:" if unknown else "Not fork-safe here:"
    return ["", heading, *lines] if lines else []


def untold_lines(t):
    """Each pick that the rounds do not find faster than the next cheapest."""
    lines = []
    for r in t["rows"]:
        size = f"{r['bytes']} B, {text.plural(r['threads'], 'thread')}"
        said = set()
        for key, among in (("cheapest", ""), ("cheapest_safe", ", among the fork-safe")):
            p = r[key]
            following = None if p is None else p.get("next")
            if following is None or following["verdict"] == "faster":
                continue
            if (p["source"], following["source"]) not in said:
                said.add((p["source"], following["source"]))
                lines.append(text.wrapped(
                    f"{size}: {p['source']} against {following['source']}{among}: "
                    f"{text.short_verdict(following, t['alpha'])}", rest="    "))
    if not lines:
        return []
    return ["", "The cheapest against the next cheapest, within rounds, where the rounds do not "
            "find it faster:", *lines]


def answer_lines(t):
    header = ["size", "cheapest fork-safe", "cheapest of all", "OpenSSL's place"]
    rows = [[f"{r['bytes']} B, {text.plural(r['threads'], 'thread')}",
             pick_text(r["cheapest_safe"]), pick_text(r["cheapest"]), place_text(r["openssl"])]
            for r in t["rows"]]
    view = f"In the {t['view']} view, the" if "view" in t else "The"
    interval = "the sequential rule's interval" if t.get("interval") == "sequential" else \
        "that ratio's 95% bootstrap interval"
    said = (f"{view} answer: the cheapest generator at each size, each with its ratio to OpenSSL's "
            f"RAND_bytes (the median within rounds) and {interval}, as above. Fork-safe: "
            + BASIS[t["basis"]])
    return ["", text.wrapped(said, first="", rest=""), "",
            text.table(header, rows, left=4)] + untold_lines(t) + unsafe_lines(t)
