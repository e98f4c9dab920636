"""tools/fleet's texts, from rnglab.fleet's and rnglab.fleetrecord's data
alone: the report as text, and as the sections of a page (rnglab.report's
renderer lays out their lines: the same tables and sentences)."""

from rnglab import sequential, stats
from rnglab.report import text

# How the machines' line says a verdict, in the order it says them.
AGREES = {"faster": "cheaper than OpenSSL", "slower": "dearer than OpenSSL",
          "same": "the same as OpenSSL", "no-difference": "no difference found",
          "undecided": "undecided", "no-ratio": "no ratio", "not-measured": "no ratio"}
VIEWS = {"cpuid": "CPUID-fenced", "lfence": "LFENCE-fenced", "batch": "in batches"}


def processor(m):
    cpu = m["cpu"]
    return f"{cpu['brand'] or '?'} ({cpu['family']}/{cpu['model']}/{cpu['stepping']})"


def system(m):
    d = m["distribution"]
    return "?" if d is None else d["name"] or d["id"]


def cpuid_cost(m):
    if m["cpuid_ticks"] is None:
        return "?"
    return f"{m['cpuid_ticks']:.0f} ({m['cpuid_ns']:.0f} ns)"


def rounds(m):
    how = {"decided": "decided", "max-time": "time spent", "max-rounds": "most rounds",
           None: "fixed"}.get(m["stopped"], m["stopped"])
    return f"{m['rounds']}, {how}"


def machine_lines(t):
    header = ["machine", "processor (family/model/stepping)", "hypervisor", "cpus",
              "counter GHz", "CPUID ticks (ns)", "rounds", "fork", "figures", "recorded"]
    rows = [[m["label"], processor(m), m["hypervisor"] or "none", str(m["cpus"]),
             f"{m['counter_hz'] / 1e9:.4f}", cpuid_cost(m), rounds(m),
             "checked" if m["fork_checked"] else "documented", m["figures"] or "-",
             m["recorded"]] for m in t["machines"]]
    keys = [f"  {m['label']}: {m['key']}; {system(m)}, {m['kernel']}" for m in t["machines"]]
    said = text.paragraph(
        f"Fleet: {text.plural(len(t['machines']), 'machine')}, the latest record of each. "
        "Rounds: the sources part's, and why they stopped; fork: fork safety checked by the "
        "record, or as documented; figures: check-figures' verdict.")
    return [*said, "", text.table(header, rows, left=3), "", *keys]


def version_lines(t):
    labels = [m["label"] for m in t["machines"]]
    libraries = dict.fromkeys(["openssl"] + [s for m in t["machines"] for s in m["versions"]])
    rows = []
    for library in libraries:
        said = [m["versions"].get(library) for m in t["machines"]]
        known = {v for v in said if v is not None}
        rows.append([library, *(v or "-" for v in said), "differ" if len(known) > 1 else ""])
    return ["Versions (a library whose versions differ is flagged in every row it enters "
            "below)", "", text.table(["library", *labels, ""], rows, left=len(labels) + 2)]


def verdict(c):
    if c is None:
        return ["n/a", "", "no ratio"]
    if c["verdict"] == "reference":
        return ["1.000", "", "reference"]
    return [text.ratio(c), text.interval(c), text.short_verdict(c, stats.ALPHA)]


def agreement(a):
    counts = sorted(a["verdicts"].items(), key=lambda kv: (-kv[1], list(AGREES).index(kv[0])))
    (first, n), *rest = counts
    said = f"{AGREES[first]} on {n} of {a['machines']}"
    return ", ".join([said] + [f"{AGREES[code]} on {k}" for code, k in rest])


def across_row(a):
    if a["geometric_mean"] is None:
        return ["", "", agreement(a)]
    return [f"{a['geometric_mean']:.3f}", f"{a['lowest']:.3f}-{a['highest']:.3f}",
            agreement(a)]


SOURCES_SAID = (
    "Per source, size and view, each machine's ratio of a call to OpenSSL's RAND_bytes at the "
    "same size and view, as its own record gives it (the median over rounds of the ratio "
    "within each round, its interval and verdict; the sequential rule's where its rounds ran "
    "until decided), and its nanoseconds per call (the source's ticks over that machine's "
    "counter rate). The line 'these N' describes these machines, and no others: the "
    "geometric mean of their ratios, the lowest to the highest, and how many gave each "
    "verdict. A ! marks a row whose libraries' versions differ between the machines "
    "(Versions above).")


def source_rows(r, labels):
    """A row's lines: each machine's, then the machines' together."""
    named = [r["source"] + (" !" if r["versions_differ"] else ""), str(r["bytes"]), r["view"]]
    rows = [[*(named if k == 0 else ["", "", ""]), labels[c["machine"]],
             "" if c["ns"] is None else f"{c['ns']:.1f}", *verdict(c["x_openssl"])]
            for k, c in enumerate(r["machines"])]
    if r["across"] is not None and len(r["machines"]) > 1:
        rows.append(["", "", "", f"these {len(r['machines'])}", "", *across_row(r["across"])])
    return rows


def source_lines(t):
    labels = {m["key"]: m["label"] for m in t["machines"]}
    header = ["source", "bytes", "view", "machine", "ns/call", "x openssl", "interval",
              "verdict"]
    rows = [row for r in t["sources"] for row in source_rows(r, labels)]
    return [*text.paragraph(SOURCES_SAID), "", text.table(header, rows, left=4)]


def pick_text(p):
    c = p["cheapest_safe"]
    if c is None:
        return "none"
    ratio = "1.000" if c["x_openssl"]["verdict"] == "reference" else text.ratio(c["x_openssl"])
    return f"{c['source']} {ratio}" + ("" if p["basis"] == "measured" else " (doc.)")


def answer_lines(t):
    labels = {m["key"]: m["label"] for m in t["machines"]}
    order = [m["key"] for m in t["machines"]]
    header = ["size", "view", *labels.values(), "machines"]
    rows = []
    for a in t["answers"]:
        picks = {p["machine"]: pick_text(p) for p in a["machines"]}
        rows.append([f"{a['bytes']} B", a["view"], *(picks.get(key, "-") for key in order),
                     f"agree: {a['source']}" if a["agree"] else "differ"])
    return [*text.paragraph(
        "The cheapest fork-safe generator per size and view on each machine, with its ratio to "
        "OpenSSL's RAND_bytes: fork-safe by the record's own fork checks, or (doc.) as the "
        "library documents where the record checked none."), "",
        text.table(header, rows, left=2 + len(order))]


def history_lines(t):
    lines = ["Records, by machine and date (* the one counted)"]
    labels = {m["key"]: m["label"] for m in t["machines"]}
    for m in t["history"]:
        lines += ["", f"{labels.get(m['key'], '-')}: {m['key']}"]
        lines += [f"  {r['recorded']}{' *' if r['counted'] else '  '}  "
                  f"{', '.join(r['parts'])}" for r in m["records"]]
    return lines


def sections_of(t, history=False):
    """The report's sections in the order the text prints them: (id, title,
    lines)."""
    found = [("machines", "Machines", machine_lines(t)),
             ("versions", "Versions", version_lines(t)),
             ("sources", "Each source against OpenSSL, machine by machine",
              source_lines(t)),
             ("answers", "The cheapest fork-safe generator", answer_lines(t))]
    return found + ([("history", "Records", history_lines(t))] if history else [])


def render(t, history=False):
    """The fleet report as text; history: every record of every machine
    too."""
    lines = []
    for _, _, said in sections_of(t, history):
        lines += ([""] if lines else []) + said
    return "\n".join(lines)


def page(t, blocks_of, history=False):
    """The report as rnglab.report.html lays out a page, each section's
    lines made blocks by blocks_of (its blocks_of): the answer first (the
    cheapest fork-safe generator), then the machines, versions, sources and
    records, then the records read; the report's data embedded."""
    shown = {key: {"id": key, "kind": f"fleet_{key}", "title": title,
                   "blocks": blocks_of(lines), "figures": []}
             for key, title, lines in sections_of(t, history)}
    answer = shown.pop("answers")
    machines = ", ".join(f"{m['label']} {processor(m)}" for m in t["machines"])
    return {"title": f"fleet: {text.plural(len(t['machines']), 'machine')}, one table",
            "subtitle": machines, "answer": answer, "sections": list(shown.values()),
            "document": t,
            "provenance": {"facts": [("Command", "tools/fleet report"),
                                     ("Read", ", ".join(t["paths"]))] +
                           [(m["label"], ", ".join(m["files"])) for m in t["machines"]],
                           "blocks": []}}


def record_text(done):
    """tools/fleet record's last line: its files, its time and whether it
    kept to it (fleetrecord.record's data)."""
    parts = ", ".join(f"{part} {sequential.duration_text(s)}" for part, s in done["parts"].items())
    said = f"Recorded {done['key']} in {sequential.duration_text(done['seconds'])} ({parts})"
    if done["max_time"] is not None:
        limit = sequential.duration_text(done["max_time"])
        said += (f", within its {limit}" if done["within"] else
                 f", over its {limit}: record on a quieter machine, or give --max-time")
    return "\n".join([said + ":", *(f"  {f}" for f in done["files"])])
