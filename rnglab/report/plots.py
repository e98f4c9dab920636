"""The lab's pictures, drawn with matplotlib's Agg backend into memory and
written whole."""

import io

import numpy as np

from rnglab import files, stats
from rnglab.errors import LabError
from rnglab.record import shown

TICKS_AXIS = "TSC ticks per call (median of 1024 calls)"
# Longer labels and names are shortened in pictures, where the rasteriser
# overflows on a very long line; the text output keeps them whole.
PICTURE_TEXT_MAX = 60


def short(text):
    """text for a picture: its start and end around "..." when it is long."""
    if len(text) <= PICTURE_TEXT_MAX:
        return text
    half = (PICTURE_TEXT_MAX - 3) // 2
    return text[:half] + "..." + text[-half:]


def save(fig, out):
    """Draws the picture in memory, so that a picture that cannot be drawn
    leaves out untouched, then writes it whole (rnglab.files)."""
    picture = io.BytesIO()
    try:
        fig.savefig(picture, format=out.rsplit(".", 1)[1].lower())
    except (ValueError, RuntimeError, MemoryError) as error:
        raise LabError(f"cannot draw {shown(out)}: {error}") from error
    files.write_whole(out, picture.getvalue())


def figure(size):
    import matplotlib  # pylint: disable=import-outside-toplevel
    matplotlib.use("Agg")
    matplotlib.rcParams["svg.fonttype"] = "none"  # text stays text
    from matplotlib import pyplot  # pylint: disable=import-outside-toplevel
    width, height = size
    return pyplot.figure(figsize=(width / 100, height / 100), dpi=100)


def plot_series(series, out, size, title):
    save(series_figure(series, size, title), out)


def series_figure(series, size, title):
    fig = figure(size)
    ax = fig.add_subplot()
    for number_of, ((label, _), records) in enumerate(series.items()):
        name = records[0]["file"]
        s = stats.summarise(records)
        colour = f"C{number_of % 10}"
        ax.plot(range(1, len(records) + 1), stats.medians_of(records), "o-", color=colour,
                markersize=3, linewidth=1, label=short(f"{label} {name}"))
        ax.axhline(float(s["median"]), color=colour, linestyle="--", linewidth=1)
        ax.axhspan(float(s["q1"]), float(s["q3"]), color=colour, alpha=0.15)
    ax.xaxis.get_major_locator().set_params(integer=True)
    ax.set_xlabel("record of the series, in file order")
    ax.set_ylabel(TICKS_AXIS)
    ax.set_title(short(title))
    ax.legend(fontsize="small")
    return fig


def plot_comparison(pairs, out, size, title):
    save(comparison_figure(pairs, size, title), out)


def comparison_figure(pairs, size, title):
    fig = figure(size)
    axes = fig.subplots(1, len(pairs), squeeze=False)[0]
    jitter = np.random.default_rng(stats.SEED)
    for ax, (name, old, new, old_name, new_name) in zip(axes, pairs):
        sides = [stats.medians_of(old), stats.medians_of(new)]
        ax.boxplot(sides, showfliers=False, widths=0.5)
        for position, values in enumerate(sides, start=1):
            ax.plot(position + jitter.uniform(-0.12, 0.12, len(values)), values, "o",
                    markersize=3, alpha=0.6)
        ax.set_xticks([1, 2])
        ax.set_xticklabels([f"old\n{short(old_name)}", f"new\n{short(new_name)}"],
                           fontsize="small")
        ax.set_title(short(name), fontsize="small")
        ax.set_ylabel(TICKS_AXIS)
    fig.suptitle(short(title))
    return fig


def plot_changes(series, found, out, size, title):
    save(changes_figure(series, found, size, title), out)


def changes_figure(series, found, size, title):
    """The series with a vertical line at each change and each segment's
    median drawn across it."""
    fig = figure(size)
    ax = fig.add_subplot()
    for number_of, (key, records) in enumerate(series.items()):
        label, name = key[0], records[0]["file"]
        colour = f"C{number_of % 10}"
        ax.plot([r["index"] for r in records], stats.medians_of(records), "o-", color=colour,
                markersize=3, linewidth=0.8, alpha=0.5, label=short(f"{label} {shown(name)}"))
        segments = stats.segments_of(records, found[key])
        for segment in segments:
            ax.hlines(np.median(stats.medians_of(segment)), segment[0]["index"] - 0.5,
                      segment[-1]["index"] + 0.5, color=colour, linestyle="--", linewidth=2.5,
                      zorder=3)
        for segment in segments[1:]:
            ax.axvline(segment[0]["index"] - 0.5, color=colour, linestyle=":", linewidth=1.5)
    ax.xaxis.get_major_locator().set_params(integer=True)
    ax.set_xlabel("record's index in its file (dotted: a change; dashed: a segment's median)")
    ax.set_ylabel(TICKS_AXIS)
    ax.set_title(short(title))
    ax.legend(fontsize="small")
    return fig


# --- bench/compare-openssl's pictures, from its tables ---------------------------

def plot_sizes(t, ax):
    """Ticks per call against bytes, log-log, each build's cipher floor dashed."""
    colours = {}
    for r in t["rows"]:
        colours.setdefault(r["build"] if r["cipher"] else r["generator"], f"C{len(colours) % 10}")
    for cipher in (False, True):
        for r in (r for r in t["rows"] if r["cipher"] == cipher):
            name = r["build"] if cipher else r["generator"]
            line = [(n, x) for n, x in zip(t["sizes"], r["ticks"]) if x is not None]
            ax.plot([p[0] for p in line], [p[1] for p in line], "--" if cipher else "o-",
                    color=colours.get(name, "C0"), markersize=3,
                    label=f"{name} AES-256-CTR floor" if cipher else name)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("bytes per call")
    ax.set_ylabel(TICKS_AXIS)
    ax.legend(fontsize="small")
    ax.set_title("RAND_bytes against request size (dashed: the cipher's floor)")


def plot_threads(t, fig):
    """Ticks per call and calls per second against threads."""
    left, right = fig.subplots(1, 2)
    groups = {}
    for r in t["rows"]:
        groups.setdefault(r["generator"], []).append(r)
    for name, line in groups.items():
        line.sort(key=lambda r: r["threads"])
        x = [r["threads"] for r in line]
        left.plot(x, [r["ticks"] for r in line], "o-", label=name)
        right.plot(x, [r["calls_per_s"] for r in line], "o-", label=name)
    for ax, what in ((left, TICKS_AXIS), (right, "calls per second, all threads")):
        ax.set_xscale("log", base=2)
        ax.set_xlabel("threads")
        ax.set_ylabel(what)
        ax.legend(fontsize="small")
    fig.suptitle(f"RAND_bytes({t['rows'][0]['bytes']}) against threads")


def plot_variants(t, ax):
    """Every variant's run medians side by side, on a log scale."""
    jitter = np.random.default_rng(stats.SEED)
    for k, r in enumerate(t["rows"], start=1):
        values = r["figures"]
        ax.plot(k + jitter.uniform(-0.15, 0.15, len(values)), values, "o", markersize=4,
                alpha=0.7)
        ax.hlines(np.median(values), k - 0.3, k + 0.3, color="black")
    ax.set_xticks(range(1, len(t["rows"]) + 1))
    ax.set_xticklabels([r["variant"].replace("+", "\n") for r in t["rows"]], fontsize="small")
    ax.set_yscale("log")
    ax.set_ylabel(TICKS_AXIS)
    ax.set_title("Run medians per variant (log scale)")


def plot_sources(t, ax):
    """Ticks per call against bytes, log-log, one line per source at one thread."""
    for c in t["cells"]:
        if c["threads"] == 1:
            ax.plot(t["sizes"], c["ticks"], "o-", markersize=3, label=c["source"])
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("bytes per call")
    ax.set_ylabel(TICKS_AXIS)
    ax.legend(fontsize="small")
    ax.set_title("Generators against request size, one thread")


def plot_tables(tables, out):
    """The picture of a comparison's first table of figures (after how its
    rounds ended, where a table says it), drawn into out."""
    save(table_figure(next(t for t in tables if t["table"] != "rounds")), str(out))


def table_figure(first):
    """The picture of a table of figures: variants, sizes, sources or threads."""
    if first["table"] == "threads":
        fig = figure((1200, 500))
        plot_threads(first, fig)
    else:
        width = max(600, 120 * len(first["rows"])) if first["table"] == "variants" else 1000
        fig = figure((width, 600))
        {"sizes": plot_sizes, "variants": plot_variants, "sources": plot_sources}[
            first["table"]](first, fig.add_subplot())
    fig.tight_layout()
    return fig


def plot_lifecycle(t, examples, out):
    """Each variant's first run, thread 1: every call's count against its
    index, log scale, the reseeds' places marked."""
    fig = figure((1200, 260 * len(t["rows"]) + 60))
    axes = fig.subplots(len(t["rows"]), 1, sharex=True, squeeze=False)[:, 0]
    for ax, r, x in zip(axes, t["rows"], examples):
        ax.plot(np.arange(x.size), x, ",", color="C0", alpha=0.6)
        found = r["reseeds"]
        for place in found["places"]:
            ax.axvline(place, color="C3", linestyle=":", linewidth=0.8, alpha=0.5)
        if found["places"]:
            ax.plot(found["places"], x[found["places"]], "o", color="C3", fillstyle="none",
                    markersize=8, label="the reseeds' calls")
            ax.legend(fontsize="small", loc="upper right")
        ax.set_yscale("log")
        ax.set_ylabel("TSC ticks")
        what = (f"reseeds every {found['period']:,} calls" if found["period"]
                else "no periodic spikes")
        ax.set_title(short(f"{r.get('source') or r['build']}: {what}"), fontsize="small")
    axes[-1].set_xlabel("call index (one run, thread 1)")
    fig.suptitle(("Each source" if t["table"] == "source_lifecycle" else "RAND_bytes") +
                 ": every call's count over one run")
    fig.tight_layout()
    save(fig, str(out))


# --- the pictures of a page (rnglab.report), drawn from its tables' data ------------

def plain_log_ticks(axis, base=10):
    """A log axis labelled 0.3, 1, 10 rather than in powers, on the ticks
    matplotlib would label."""
    from matplotlib.ticker import LogFormatter  # pylint: disable=import-outside-toplevel

    class Plain(LogFormatter):
        def __call__(self, x, pos=None):
            return f"{x:g}" if super().__call__(x, pos) else ""

    axis.set_major_formatter(Plain(base))
    axis.set_minor_formatter(Plain(base, labelOnlyBase=False))


def ratio_panel(ax, entries, names, keys):
    """One panel of ratios_figure: each key's entries a colour, a little
    apart on their name's line; a target a band behind."""
    step = 0.7 / max(1, len(keys))
    for k, key in enumerate(keys):
        mine = [e for e in entries if e["key"] == key and e["ratio"] is not None]
        y = [names.index(e["name"]) - 0.35 + step * (k + 0.5) for e in mine]
        spread = [[0 if e["low"] is None else e["ratio"] - e["low"] for e in mine],
                  [0 if e["high"] is None else e["high"] - e["ratio"] for e in mine]]
        ax.errorbar([e["ratio"] for e in mine], y, xerr=spread, fmt="o", markersize=4,
                    capsize=2, linewidth=1, color=f"C{k % 10}", label=key, zorder=3)
    banded = [e for e in entries if e.get("target")]
    for n, e in enumerate(banded):
        ax.plot(e["target"], [names.index(e["name"])] * 2, linewidth=9, alpha=0.25,
                color="C2", solid_capstyle="butt", label="target" if n == 0 else None)


def ratios_figure(panels, title, one="OpenSSL = 1",
                  axis="ticks per call over OpenSSL's (log scale)"):
    """Dot-and-whisker: one line per name, each key's ratio with its
    interval, a panel each, 1.0 marked (one: what it is). panels: [(panel
    title, [{"name", "key", "ratio", "low", "high", and "target" ([low,
    high]) where it has one}])]."""
    names = list(dict.fromkeys(e["name"] for _, entries in panels for e in entries))
    keys = list(dict.fromkeys(e["key"] for _, entries in panels for e in entries))
    fig = figure((max(800, 380 * len(panels)), max(240, 120 + len(names) * (12 + 9 * len(keys)))))
    axes = fig.subplots(1, len(panels), sharex=True, sharey=True, squeeze=False)[0]
    for ax, (panel, entries) in zip(axes, panels):
        ratio_panel(ax, entries, names, keys)
        ax.axvline(1.0, color="black", linewidth=1, linestyle="--", label=one)
        ax.set_xscale("log")
        plain_log_ticks(ax.xaxis)
        ax.set_title(short(panel), fontsize="small")
        ax.set_xlabel(axis)
        ax.grid(axis="x", which="both", alpha=0.2)
    axes[0].set_yticks(range(len(names)))
    axes[0].set_yticklabels([short(n) for n in names])
    axes[0].set_ylim(len(names) - 0.5, -0.5)
    fig.suptitle(short(title))
    fig.tight_layout()
    # Beside the axes: a page's picture is saved to include it.
    axes[-1].legend(fontsize="small", loc="upper left", bbox_to_anchor=(1.02, 1))
    return fig


def scaling_figure(t):
    """Threads: ticks per call against one thread's, with their intervals,
    and calls per second against one thread's beside the ideal."""
    fig = figure((1100, 450))
    left, right = fig.subplots(1, 2)
    groups = {}
    for r in t["rows"]:
        groups.setdefault(f"{r['generator']}, {r['bytes']} B", []).append(r)
    most = max(r["threads"] for r in t["rows"])
    for k, (name, line) in enumerate(groups.items()):
        line.sort(key=lambda r: r["threads"])
        x = [r["threads"] for r in line]
        c = [r["x_one"] for r in line]
        left.errorbar(x, [e["ratio"] for e in c], fmt="o-", color=f"C{k % 10}", capsize=2,
                      yerr=[[0 if e["low"] is None else e["ratio"] - e["low"] for e in c],
                            [0 if e["high"] is None else e["high"] - e["ratio"] for e in c]],
                      markersize=4, label=short(name))
        right.plot(x, [1.0 if e["verdict"] == "reference" else r["calls_x_one"]
                       for e, r in zip(c, line)], "o-", color=f"C{k % 10}", markersize=4,
                   label=short(name))
    ideal = sorted({1, most, min(most, t["processors"])})
    right.plot(ideal, [min(n, t["processors"]) for n in ideal], ":", color="grey",
               label=f"ideal on {t['processors']} processors")
    left.axhline(1.0, color="black", linewidth=1, linestyle="--")
    for ax, what in ((left, "ticks per call over one thread's"),
                     (right, "calls per second over one thread's")):
        ax.set_xscale("log", base=2)
        plain_log_ticks(ax.xaxis, 2)
        ax.set_xlabel("threads")
        ax.set_ylabel(what)
        ax.legend(fontsize="small")
    fig.suptitle("Threads' scaling (bars: 95% intervals)")
    fig.tight_layout()
    return fig


def trace_figure(t):
    """Each row's first run, thread 1, in groups of calls: each group's
    median (line) and highest count (dots), the reseeds' places dotted."""
    rows = [r for r in t["rows"] if r.get("trace")]
    fig = figure((1100, 170 * len(rows) + 70))
    axes = fig.subplots(len(rows), 1, sharex=True, squeeze=False)[:, 0]
    for ax, r in zip(axes, rows):
        trace, found = r["trace"], r["reseeds"]
        x = (np.arange(len(trace["median"])) + 0.5) * trace["group"]
        ax.plot(x, trace["max"], ".", color="C1", markersize=2, alpha=0.7,
                label="highest of a group")
        ax.plot(x, trace["median"], "-", color="C0", linewidth=1.2, label="median of a group")
        for place in found["places"]:
            ax.axvline(place, color="C3", linestyle=":", linewidth=0.8)
        ax.set_yscale("log")
        ax.set_ylabel("TSC ticks")
        what = (f"reseeds every {found['period']:,} calls (dotted)" if found["period"]
                else "no periodic spikes")
        ax.set_title(short(f"{r.get('source') or r['variant']}: {what}"), fontsize="small")
    axes[0].legend(fontsize="small", loc="upper right")
    axes[-1].set_xlabel(f"call index (one run, thread 1, in groups of {rows[0]['trace']['group']}"
                        " calls)")
    fig.tight_layout()
    return fig
