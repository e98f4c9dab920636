"""Which pictures each table has on a page, drawn by rnglab.report.plots from the
table's data alone and turned into inline SVG (html.svg)."""

from rnglab import figures, views
from rnglab.report import plots
from rnglab.report.text import plural
from rnglab.report import html


class Drawer:
    """Numbers a page's pictures, so that no two share an SVG id."""

    def __init__(self):
        self.drawn = 0

    def __call__(self, fig, title, alt):
        self.drawn += 1
        return html.svg(fig, title, alt, f"picture{self.drawn}")


def entry(name, key, c):
    return {"name": name, "key": key, "ratio": c["ratio"], "low": c["low"], "high": c["high"]}


def sources_ratios(t):
    """Each source's ratio to OpenSSL's per size (and thread count), the
    reference left out: its line is the 1.0."""
    several = len(t["threads"]) > 1
    return [entry(r["source"], f"{r['bytes']} B" + (f", {plural(r['threads'], 'thread')}"
                                                    if several else ""), r["x_openssl"])
            for r in t["rows"] if r["x_openssl"]["verdict"] != "reference"]


def view_panels(t):
    return [(views.NAMES[view], [entry(r["source"], f"{r['bytes']} B", r["x_openssl"][view])
                                 for r in t["against"] if view in r["x_openssl"]])
            for view in t["views"]]


def sources_pictures(t, draw):
    made = [draw(plots.table_figure(t), "Ticks per call against request size",
                 "Line chart, log-log: each source's ticks per call at each request size, one "
                 "thread: " + ", ".join(c["source"] for c in t["cells"] if c["threads"] == 1))]
    ratios = sources_ratios(t)
    if ratios:
        made.append(draw(plots.ratios_figure([("", ratios)], "Each source over OpenSSL's "
                                             "RAND_bytes, with its 95% interval"),
                         "Each source's ratio to OpenSSL",
                         "Dot-and-whisker chart: one line per source, its ticks per call over "
                         "OpenSSL's at each size as a dot with its 95% interval, on a log scale, "
                         "OpenSSL's 1.0 dashed"))
    return made


def views_pictures(t, draw):
    if not t["against"]:
        return []
    fig = plots.ratios_figure(view_panels(t), "Each source over OpenSSL's RAND_bytes, by view")
    return [draw(fig, "Each source's ratio to OpenSSL, view by view",
                 "Dot-and-whisker chart, a panel per view (" + ", ".join(
                     views.NAMES[v] for v in t["views"]) + "): one line per source, its ratio "
                 "to OpenSSL at each size with its interval, OpenSSL's 1.0 dashed")]


def threads_pictures(t, draw):
    return [draw(plots.table_figure(t), "Ticks per call and calls per second against threads",
                 "Two line charts against the thread count: ticks per call, and calls per "
                 "second of all threads together, one line per generator"),
            draw(plots.scaling_figure(t), "Threads' scaling",
                 "Two line charts against the thread count: ticks per call over one thread's "
                 "with 95% intervals, and calls per second over one thread's beside the ideal "
                 "of one processor per thread")]


def lifecycle_pictures(t, draw):
    if not any(r.get("trace") for r in t["rows"]):
        return []
    names = ", ".join(r.get("source") or r["variant"] for r in t["rows"] if r.get("trace"))
    return [draw(plots.trace_figure(t), "Every call of one run, in groups",
                 f"A chart per row ({names}): the counts of one run's calls against the call "
                 "index on a log scale, each group's median as a line and its highest count as "
                 "dots, the reseeds' places dotted")]


# check-figures' ratios near 1, which one picture can show together.
FACTORS = ("processor_factor", "a", "b", "b_small", "c", "d", "product", "whole", "lab", "floor",
           "wine", "wine_native")


def figures_pictures(t, draw):
    entries = [{"name": figures.labels(t, r).strip(), "key": "ratio, 95% interval",
                "ratio": r["ratio"]["median"], "low": r["ratio"]["low"],
                "high": r["ratio"]["high"], "target": r.get("target")}
               for r in t["rows"] if r["id"] in FACTORS and r["ratio"]["median"] is not None]
    fig = plots.ratios_figure([("", entries)], "The factors against their targets",
                              "the same: 1", "ratio (log scale)")
    return [draw(fig, "The factors against their targets",
                 "Dot-and-whisker chart: each ratio of the table with its 95% interval on a log "
                 "scale, its target as a band behind it, 1.0 dashed")]


PICTURES = {
    "figures": figures_pictures,
    "variants": lambda t, draw: [draw(plots.table_figure(t), "Run medians per variant",
                                      "Dot chart, log scale: each variant's run medians as "
                                      "dots, their median as a bar")],
    "sizes": lambda t, draw: [draw(plots.table_figure(t), "Ticks per call against request "
                                   "size", "Line chart, log-log: each generator's ticks per "
                                   "call at each size, each build's cipher floor dashed")],
    "threads": threads_pictures,
    "sources": sources_pictures,
    "views": views_pictures,
    "lifecycle": lifecycle_pictures,
    "source_lifecycle": lifecycle_pictures,
}


def of_table(t, draw):
    """The pictures of one table ([] for most)."""
    return PICTURES.get(t["table"], lambda *_: [])(t, draw)
