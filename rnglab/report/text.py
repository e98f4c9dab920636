"""Text from the lab's data: numbers as printed, aligned tables, verdict
codes as sentences, and the texts of tools/series (summaries, comparisons,
changes). Nothing here computes a statistic: each text is made from what
rnglab.stats returned."""

import textwrap
from fractions import Fraction

import numpy as np

WIDTH = 100


# What calls/s is, in every table that gives it (rand_lab's rate line).
RATE_METHOD = ("calls/s of all threads together, each thread's first call left out (it belongs "
               "to the generator's life, not to a rate), over the time in which the others ran; "
               "n/a where no call came after a thread's first.")


def plural(count, one, many=None):
    """count and its noun, in the singular for exactly one: "1 run", "3
    runs", "2 groups of calls"."""
    return f"{count} {one if count == 1 else many or one + 's'}"


def number(value, decimals=1):
    """A figure as printed: whole when it is, else with decimals places.
    Counts and their exact medians keep every digit; a double is rounded
    from its exact value."""
    if isinstance(value, (int, Fraction, np.integer)):
        exact = Fraction(int(value) if isinstance(value, np.integer) else value)
        if exact.denominator == 1:
            return str(exact.numerator)
        scaled = round(abs(exact) * 10 ** decimals)  # an exact tie goes to the even digit
        whole, part = divmod(scaled, 10 ** decimals)
        return f"{'-' if exact < 0 else ''}{whole}.{part:0{decimals}d}"
    value = float(value)
    return f"{value:.0f}" if value == int(value) else f"{value:.{decimals}f}"


class Table(str):
    """An aligned table's text that keeps its cells: the page of a report
    (rnglab.report) shows the very cells the text aligned."""

    def __new__(cls, text, header, rows, left):
        made = super().__new__(cls, text)
        made.header, made.rows, made.left = list(header), [list(r) for r in rows], left
        return made


class Folded(str):
    """A line that goes on from the one before it: a paragraph folded at
    WIDTH, which a page joins again."""


def table(header, rows, left=1):
    """Aligned text: the first left columns left-aligned, the rest
    right-aligned. No cell is ever cut: a label or a file name shortened
    could name another."""
    widths = [max(len(row[i]) for row in [header] + rows) for i in range(len(header))]
    widths[0] = max(8, widths[0])
    lines = []
    for row in [header] + rows:
        cells = [row[0].ljust(widths[0])]
        cells += [cell.ljust(width) if i < left else cell.rjust(width)
                  for i, (cell, width) in enumerate(zip(row[1:], widths[1:]), start=1)]
        lines.append("  ".join(cells).rstrip())
    return Table("\n".join(lines), header, rows, left)


def wrapped(line, first="  ", rest="      ", hyphens=False):
    """A long line folded at WIDTH; hyphens: also after a hyphen."""
    return textwrap.fill(line, width=WIDTH, break_on_hyphens=hyphens, initial_indent=first,
                         subsequent_indent=rest)


# The measures a run is marked noisy on (noise.FLOORS), as the texts name them.
NOISE_MEASURES = {"steal": "steal", "switch_rate": "switches", "migrations": "migrations",
                  "others_busy": "other cpus"}


def noise_measures(names):
    """The measures a run was marked noisy on, as the lab's texts name them."""
    return ", ".join(NOISE_MEASURES.get(name, name) for name in names)


def marks(c):
    """A ratio's noise marks: * when a run marked noisy gave one of its
    rounds a figure, + when a re-run of one did (stats.noise_marks)."""
    return ("*" if c.get("noisy") else "") + ("+" if c.get("rerun") else "")


def ratio(c, missing="n/a"):
    return missing if c["ratio"] is None else f"{c['ratio']:.3f}{marks(c)}"


def interval(c, decimals=3):
    return "n/a" if c["low"] is None else f"{c['low']:.{decimals}f}-{c['high']:.{decimals}f}"


def size_of(r):
    """How far a ratio is from 1, in words: "7.3%", "2.5 times"."""
    return f"{max(r, 1 / r):.1f} times" if r >= 2 or r <= 0.5 else f"{abs(r - 1) * 100:.1f}%"


def sequential_verdict(c, what="round"):
    """A verdict of the sequential rule (sequential.comparison)."""
    if c["verdict"] in ("faster", "slower"):
        return f"{size_of(c['ratio'])} {c['verdict']}"
    if c["verdict"] == "same":
        return f"the same to +/- {c['precision'] * 100:g}%"
    return f"undecided after {plural(c['n'], what)}"


def short_verdict(c, alpha, what="round"):
    """A comparison's verdict in a few words, as the lab's tables give it;
    what: the values compared, in the singular."""
    if c.get("interval") == "sequential":
        return sequential_verdict(c, what)
    if c["verdict"] == "undecided":
        return f"undecided: {plural(c['n'], what)} cannot reach p < {alpha:g}"
    if c["verdict"] in ("faster", "slower") and c["ratio"] is not None:
        return f"{size_of(c['ratio'])} {c['verdict']} (p = {c['p']:.2g})"
    return f"no significant difference (p = {c['p']:.2g})"


def long_verdict(c):
    """A comparison's verdict in a sentence, as tools/series gives it."""
    if c["verdict"] in ("faster", "slower") and c["ratio"] is not None:
        return f"new is {abs(c['ratio'] - 1) * 100:.1f}% {c['verdict']} (p = {c['p']:.2g})"
    if c["verdict"] in ("faster", "slower"):
        return f"new is {c['verdict']} (p = {c['p']:.2g}; the old median is 0, so no ratio)"
    return f"no significant difference (p = {c['p']:.2g})"


FIGURE_HEADER = ["figure", "value", "ratio", "95% CI", "target", "verdict"]


def figure_cells(label, value="", r=None, target="", verdict=""):
    """A row of bench/check-figures' table: r a ratio, {"median", "low",
    "high"}."""
    interval = "" if r is None or r["low"] is None else f"{r['low']:.3f}-{r['high']:.3f}"
    shown = "" if r is None else "n/a" if r["median"] is None else f"{r['median']:.3f}{marks(r)}"
    return [label, value, shown, interval, target, verdict]


def figure_table(rows):
    """bench/check-figures' table, in its fixed columns."""
    line = "{:<50} {:>13} {:>7} {:>12} {:>10}  {}"
    return Table("\n".join(line.format(*cells) for cells in [FIGURE_HEADER, *rows]),
                 FIGURE_HEADER, rows, 1)


# Why rounds run until decided stopped (stopping.Until's reasons).
REASONS = {"decided": "every ratio was decided",
           "max-time": "the time was spent",
           "max-rounds": "the most rounds allowed ran",
           "no-ratio": "there is no ratio to decide"}


def paragraph(*sentences):
    """Sentences as lines of at most WIDTH characters, each after the
    first Folded."""
    lines = textwrap.wrap(" ".join(sentences), width=WIDTH, break_on_hyphens=False)
    return lines[:1] + [Folded(line) for line in lines[1:]]


def rounds_summary(t, ratios="ratio"):
    """How rounds run until decided ended, in a sentence (t:
    stopping.Until.data()); ratios: what the ratios decided are called."""
    from rnglab.sequential import duration_text  # pylint: disable=import-outside-toplevel
    bounds = [f"each {ratios} to +/- {t['precision']:g}"] if t["precision"] is not None else []
    bounds += [f"at most {duration_text(t['max_time'])}"] if t["max_time"] else []
    bounds += [f"at most {t['max_rounds']} rounds"] if t["max_rounds"] else []
    reason = REASONS[t["reason"]].replace("ratio", ratios)
    return (f"Rounds: {t['rounds']} in {duration_text(t['elapsed'])}, run until decided "
            f"({', '.join(bounds)}); they stopped because {reason}.")


def first_decided(t):
    """When each ratio was first found decided, in a sentence."""
    said = [f"{r['name']} at {r['first_decided']}" if r["first_decided"] else
            f"{r['name']} never" for r in t["ratios"]]
    return f"First decided, in rounds: {'; '.join(said)}." if said else ""


def sequential_sentence(t):
    """What the intervals of rounds run until decided are."""
    at = "a final look between two looks" if t["final"] else "its last look"
    alone = "" if t["level"] is None else f", on its own a {1 - t['level']:.1%} interval"
    return (f"Each interval is the sequential rule's at {at} ({t['rounds']} rounds{alone}); at "
            f"the looks ({', '.join(map(str, t['looks']))} rounds) each ratio's intervals hold "
            f"its true value all together with {1 - t['alpha']:.0%} confidence, however the "
            "rounds stopped (docs/checking-figures.md).")


def percent(share):
    return "?" if share is None else f"{share * 100:.1f}%"


NOISE_HEADER = ["variant", "round", "cpu", "noisy on", "steal", "other cpus busy", "switches/s",
                "migrations", "figure"]


def noise_row(r):
    figure = "n/a" if r["value"] is None else number(r["value"], 0)
    state = ", replaced by its re-run" if r["replaced"] else " (a re-run)" if r["rerun"] else ""
    return [r["variant"], str(r["round"]), "free" if r["cpu"] is None else str(r["cpu"]),
            noise_measures(r["measures"]), percent(r["steal"]),
            percent(r["others_busy"]),
            f"{r['switch_rate']:.0f}", "?" if r["migrations"] is None else str(r["migrations"]),
            figure + state]


def noise_lines(t, kept):
    """The host's noise over an invocation's runs (noise.table_of);
    kept: where each run's own is kept."""
    u = t["usual"]
    usual = (f"steal {percent(u['steal'])}, other cpus busy {percent(u['others_busy'])}, "
             f"involuntary switches {u['switch_rate']:.0f}/s, migrations "
             f"{'?' if u['migrations'] is None else number(u['migrations'])}")
    lines = [f"Host noise over the {t['runs']} runs, the median run's ({kept} each run's):",
             f"  {usual}."]
    if not t["noisy"]:
        return lines + ["No run stood far above it."]
    count, reruns = len(t["noisy"]), t["reruns"]
    said = (f"{plural(count, 'noisy run')} (*), each far above the runs placed alike "
            f"before it on a measure (over their median by {t['spreads']} robust SDs, and over "
            "the measure's floor); * marks a ratio with such a run's figure in one of its rounds")
    if reruns:
        said += (f"; {plural(reruns, 're-run')} (+), each run again at once, its "
                 "figure then its round's in place of the noisy run's")
    return lines + paragraph(said + ":") + ["", table(NOISE_HEADER, [noise_row(r)
                                                                     for r in t["noisy"]])]


SUMMARY_COLUMNS = ["n", "median", "min", "max", "Q1", "Q3", "err%", "average", "seconds"]


def summary_row(s):
    """A summary (stats.summarise) as the cells of SUMMARY_COLUMNS."""
    return [str(s["n"]), number(s["median"]), number(s["min"]), number(s["max"]),
            number(s["q1"], 2), number(s["q3"], 2), f"{s['err%']:.1f}", number(s["average"]),
            f"{s['seconds']:.6f}"]


def summary_lines(summaries):
    """summaries: {"label", "file", **stats.summarise(...)} per series."""
    header = ["label  file", *SUMMARY_COLUMNS]
    rows = [[f"{s['label']}  {s['file']}", *summary_row(s)] for s in summaries]
    return [table(header, rows), "", "median, min, max, Q1, Q3: of the records' MEDIAN values, "
            "in TSC ticks.", "average, seconds: the medians of AVERAGE and EXECUTED."]


def summary_text(summaries):
    return "\n".join(summary_lines(summaries))


def comparison_lines(report):
    """report: "old", "new", and "rows", each {"name", **stats.compare(...)};
    "resamples" and "few_records" as the statistics took them."""
    header = ["", "old n", "old median", "new n", "new median", "new/old", "95% CI", "p"]
    rows = [[c["name"], str(c["old_n"]), number(c["old_median"]), str(c["new_n"]),
             number(c["new_median"]), ratio(c), interval(c), f"{c['p']:.2g}"]
            for c in report["rows"]]
    lines = [f"old: {report['old']}", f"new: {report['new']}", "", table(header, rows), ""]
    lines += [f"{c['name']}  {long_verdict(c)}" for c in report["rows"]]
    lines += ["", "Figures are the records' MEDIAN values in TSC ticks. new/old is the ratio "
              "of the medians; its", "95% CI comes from a percentile bootstrap "
              f"({report['resamples']} resamples); p from the two-sided Mann-Whitney U test."]
    few = report["few_records"]
    if any(min(c["old_n"], c["new_n"]) < few for c in report["rows"]):
        lines.append(f"warning: fewer than {few} records on a side; the U test has "
                     "little power there, collect more runs.")
    return lines


def comparison_text(report):
    return "\n".join(comparison_lines(report))


CHANGE_HEADER = ["change", "index", "line", "before", "after", "after/before", "95% CI", "p",
                 "corrected p"]


def one_series_changes(s, shortest):
    """The lines of one series' changes and segments."""
    parts = [f"{s['label']}  {s['file']}: {s['records']} records"]
    if not s["searched"]:
        parts.append(f"too few to look for changes: a change needs {shortest} "
                     f"records on each side, {2 * shortest} in all")
    if s["changes"]:
        rows = [[str(k), str(c["index"]), str(c["line"]), number(c["old_median"]),
                 number(c["new_median"]), ratio(c), interval(c), f"{c['p']:.2g}",
                 f"{c['corrected_p']:.2g}"] for k, c in enumerate(s["changes"], start=1)]
        parts += ["", table(CHANGE_HEADER, rows)]
    elif s["searched"]:
        parts[-1] += ", no change found"
    rows = [[str(k), f"{g['first']}-{g['last']}", *summary_row(g)]
            for k, g in enumerate(s["segments"])]
    return parts + ["", table(["segment", "indices", *SUMMARY_COLUMNS], rows), ""]


def changes_lines(report):
    """report: stats.changes_report(...)."""
    parts = []
    for s in report["series"]:
        parts += one_series_changes(s, report["shortest"])
    if not any(s["changes"] for s in report["series"]):
        return parts[:-1]  # the last segment's table ends the text
    return parts + [
        "index, line: the first record after the change: its index in its file and its label's "
        "line.", "before, after: the medians of the segments on either side (of the records' "
        "MEDIAN values, in", "TSC ticks); after/before: their ratio with a 95% bootstrap CI; p: "
        "the two-sided Mann-Whitney", "U test between them; corrected p: that p times the "
        "splits possible between the neighbouring", f"changes. A change stands below "
        f"{report['alpha']}; a segment has at least {report['shortest']} records."]


def changes_text(report):
    return "\n".join(changes_lines(report))
