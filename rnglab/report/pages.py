"""What the page of each command holds: bench/compare-openssl's and
bench/check-figures' from their --json document (the tables and the
invocation's provenance), tools/series' from its report; each the answer
first, then every table as its text gives it with its pictures, then the
provenance. Everything shown is made from the document as JSON holds it,
so that the page says what the JSON file says."""

import json
import shlex

from rnglab import answer, figures, files, provenance, views
from rnglab.report import labtext, text
from rnglab.report import html, pictures

TITLES = {"rounds": "Rounds until decided", "variants": "Builds and generators",
          "sizes": "Request sizes", "threads": "Threads", "sources": "Sources",
          "answer": "The answer", "lifecycle": "A call over a process's life",
          "percentiles": "Every call's count", "processors": "Per processor",
          "views": "Views of a call", "quality": "Quality of the bytes",
          "source_lifecycle": "Each source's life", "figures": "Figures against their targets",
          "noise": "Host noise", "builds": "How each library was built"}
# What a comparison's page is of, by its first table of figures.
SUBJECTS = {"sources": "other generators against OpenSSL's RAND_bytes",
            "sizes": "RAND_bytes against request size", "threads": "RAND_bytes against threads",
            "lifecycle": "RAND_bytes over a process's life"}
# The tables that are the provenance's, shown at the page's end.
PROVENANCE = {"builds", "noise"}
# A row's comparisons against its reference, as the tables head them.
AGAINST = {"x_ref": "x ref", "x_one": "x 1 thread", "x_openssl": "x openssl"}


def as_json(document):
    """The document as its JSON file holds it (numbers as JSON has them)."""
    return json.loads(json.dumps(files.plain(document), allow_nan=False))


def section(k, t, draw, title=None):
    lines = figures.report_lines(t) if t["table"] == "figures" else \
        labtext.RENDERERS[t["table"]](t)
    return {"id": f"table{k + 1}", "kind": t["table"], "title": title or TITLES[t["table"]],
            "blocks": html.blocks_of(lines), "figures": pictures.of_table(t, draw)}


def verdict_rows(t):
    """Every comparison of a table's rows against their reference, as the
    table words it."""
    from rnglab.comparison import ratio_name  # pylint: disable=import-outside-toplevel
    rows = []
    for r in t.get("rows", []) + (t.get("against") or {}).get("rows", []):
        for key, what in AGAINST.items():
            c = r.get(key)
            if isinstance(c, dict) and c["verdict"] != "reference":
                rows.append([f"{ratio_name(r)} {what}", *labtext.cells(c, t["alpha"])])
    return rows


def comparison_answer(tables, draw):
    """The answer first: the sources' answers, else every verdict of the
    first table of figures, else that table itself; and the indices of the
    tables it shows."""
    found = [k for k, t in enumerate(tables) if t["table"] == "answer"]
    if found:
        lines = []
        for k in found:
            lines += answer.answer_lines(tables[k])
        return {"title": "The answer", "blocks": html.blocks_of(lines), "figures": []}, found
    k, first = next((k, t) for k, t in enumerate(tables) if t["table"] != "rounds")
    rows = verdict_rows(first)
    if rows:
        said = text.table(["ratio", "value", "95% CI", "verdict"], rows)
        return {"title": "Verdicts", "figures": [], "blocks": html.blocks_of(
            ["Each ratio against its reference, as the table below gives it:", "", said])}, []
    shown = section(k, first, draw)
    return {**shown, "title": f"The answer: {shown['title']}"}, [k]


def scalar(value):
    if isinstance(value, dict):
        return "; ".join(f"{k} {scalar(v)}" for k, v in value.items())
    if isinstance(value, list):
        return ", ".join(map(scalar, value))
    return "" if value is None else str(value)


def facts_of(document, launcher):
    """The invocation's provenance, name and value, in words."""
    machine, counter = document.get("machine", {}), document.get("counter", {})
    facts = [("Command", f"{launcher} {shlex.join(document['argv'])}".strip()),
             ("Ran", f"{document.get('started')} to {document.get('finished')}")]
    # The processors' models are in the processor's line, as provenance.txt says it.
    facts += [(key.replace("_", " ").capitalize(), scalar(value))
              for key, value in machine.items() if key != "processors"]
    if counter:
        facts += [("Counter", counter.get("counter", "?")),
                  ("Counter rate", f"{counter['counter_hz'] / 1e9:.4f} GHz"
                   if counter.get("counter_hz") else "?"),
                  ("One CPUID", f"{counter.get('cpuid_ticks', '?')} ticks"),
                  ("Empty interval", f"{counter.get('floor_project', '?')} ticks, the same "
                   f"pair inlined {counter.get('floor_inline', '?')}")]
    facts += [("Libraries", "; ".join(f"{b['name']} {b['version']}, "
                                      f"{'static' if b['static'] else 'shared'}"
                                      for b in document.get("builds", [])))]
    others = {v["source"]: v.get("library_version") or v["source_version"]
              for v in document.get("variants", [])
              if v.get("source") not in (None, "openssl")}
    if others:
        facts.append(("Other generators", "; ".join(f"{k} {v}" for k, v in others.items())))
    known = {"command", "argv", "started", "finished", "machine", "counter", "builds",
             "variants", "tables"}
    return facts + [(key.replace("_", " ").capitalize(), scalar(value))
                    for key, value in document.items() if key not in known]


def provenance_part(document, tables, launcher):
    lines = []
    for t in tables:
        if t["table"] == "noise":
            lines += labtext.noise_lines(t) + [""]
        elif t["table"] == "builds":
            lines += labtext.builds_lines(t) + [""]
    if not any(t["table"] == "noise" for t in tables) and document["command"] != "check-figures":
        lines += ["Host noise: not recorded."]
    return {"facts": facts_of(document, launcher), "blocks": html.blocks_of(lines)}


def comparison_page(document):
    """bench/compare-openssl's page, from its --json document."""
    document = as_json(document)
    tables, draw = document["tables"], pictures.Drawer()
    shown, used = comparison_answer(tables, draw)
    first = next(t for t in tables if t["table"] != "rounds")
    subject = SUBJECTS.get(first["table"], "libcrypto builds" if first.get("builds_only") else
                           "generators")
    sections = []
    for k, t in enumerate(tables):
        if k in used or t["table"] in PROVENANCE:
            continue
        title = f"The answer in the {views.NAMES[t['view']]} view" if "view" in t else None
        sections.append(section(k, t, draw, title))
    return {"title": f"compare-openssl: {subject}",
            "subtitle": f"{document['machine'].get('processor', '')}, {document['finished']}",
            "answer": shown, "sections": sections, "document": document,
            "provenance": provenance_part(document, tables, "bench/compare-openssl")}


def figures_page(document):
    """bench/check-figures' page, from its --json document."""
    document = as_json(document)
    [t] = document["tables"]
    targeted = [figures.row_cells(t, r) for r in t["rows"] if "target" in r]
    shown = {"title": "Verdict", "figures": [], "blocks": html.blocks_of(
        [figures.verdict_line(t), "", text.figure_table(targeted)])}
    return {"title": "check-figures: can the program's figure be trusted here?",
            "subtitle": f"{document['machine'].get('processor', '')}, {document['finished']}",
            "answer": shown, "sections": [section(0, t, pictures.Drawer())],
            "document": document,
            "provenance": provenance_part(document, [], "bench/check-figures")}


# --- tools/series --------------------------------------------------------------------

SERIES_TEXTS = {"series_summary": lambda t: text.summary_lines(t["rows"]),
                "series_comparison": text.comparison_lines,
                "series_changes": text.changes_lines}
SERIES_TITLES = {"series_summary": "Summary", "series_comparison": "Comparison",
                 "series_changes": "Changes and segments"}


def change_line(c):
    said = f"{text.size_of(c['ratio'])} {c['verdict']}, " if c["ratio"] is not None and \
        c["verdict"] in ("faster", "slower") else ""
    return (f"  at index {c['index']}: {text.number(c['old_median'])} to "
            f"{text.number(c['new_median'])} ticks ({said}after/before {text.ratio(c)}, 95% CI "
            f"{text.interval(c)}, corrected p = {c['corrected_p']:.2g})")


def series_answer(t):
    """The answer to a series' question, as the text words its verdicts."""
    if t["table"] == "series_comparison":
        return [f"{c['name']}  {text.long_verdict(c)}" for c in t["rows"]]
    lines = []
    for s in t["series"]:
        lines.append(f"{s['label']}  {s['file']}: {text.plural(len(s['changes']), 'change')}"
                     + ("" if s["searched"] else " (too few records to look for one)"))
        lines += [change_line(c) for c in s["changes"]]
    return lines


def series_page(argv, names, table, picture):
    """tools/series' page: table its report ({"table": "series_summary",
    "series_comparison" or "series_changes", ...}); picture (a figure, its
    title and alt text) or None."""
    document = as_json({"command": "series", "argv": list(argv), "files": list(names),
                        "tables": [table]})
    [t] = document["tables"]
    drawn = [] if picture is None else [pictures.Drawer()(*picture)]
    shown = {"id": "table1", "kind": t["table"], "title": SERIES_TITLES[t["table"]],
             "blocks": html.blocks_of(SERIES_TEXTS[t["table"]](t)), "figures": drawn}
    if t["table"] == "series_summary":
        answer_, sections = shown, []
    else:
        answer_ = {"title": "The answer", "figures": [],
                   "blocks": html.blocks_of(series_answer(t))}
        sections = [shown]
    facts = [("Command", f"tools/series {shlex.join(argv)}"),
             ("Files", ", ".join(names)), ("Written", provenance.now_text())]
    return {"title": f"series: {SERIES_TITLES[t['table']].lower()} of {', '.join(names)}",
            "subtitle": "the records' MEDIAN values, in TSC ticks", "answer": answer_,
            "sections": sections, "document": document,
            "provenance": {"facts": facts, "blocks": []}}
