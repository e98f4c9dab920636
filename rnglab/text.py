"""Text from the lab's data: numbers as printed, aligned tables, verdict
codes as sentences, and the texts of tools/series (summaries, comparisons,
changes). Nothing here computes a statistic: each text is made from what
rnglab.stats returned."""

import textwrap
from fractions import Fraction

import numpy as np

WIDTH = 100


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
    return "\n".join(lines)


def wrapped(line, first="  ", rest="      ", hyphens=False):
    """A long line folded at WIDTH; hyphens: also after a hyphen."""
    return textwrap.fill(line, width=WIDTH, break_on_hyphens=hyphens, initial_indent=first,
                         subsequent_indent=rest)


def ratio(c, missing="n/a"):
    return missing if c["ratio"] is None else f"{c['ratio']:.3f}"


def interval(c, decimals=3):
    return "n/a" if c["low"] is None else f"{c['low']:.{decimals}f}-{c['high']:.{decimals}f}"


def short_verdict(c, alpha, what="round"):
    """A comparison's verdict in a few words, as the lab's tables give it;
    what: the values compared, in the singular."""
    if c["verdict"] == "undecided":
        return f"undecided: {plural(c['n'], what)} cannot reach p < {alpha:g}"
    if c["verdict"] in ("faster", "slower") and c["ratio"] is not None:
        r = c["ratio"]
        size = f"{max(r, 1 / r):.1f} times" if r >= 2 or r <= 0.5 else f"{abs(r - 1) * 100:.1f}%"
        return f"{size} {c['verdict']} (p = {c['p']:.2g})"
    return f"no significant difference (p = {c['p']:.2g})"


def long_verdict(c):
    """A comparison's verdict in a sentence, as tools/series gives it."""
    if c["verdict"] in ("faster", "slower") and c["ratio"] is not None:
        return f"new is {abs(c['ratio'] - 1) * 100:.1f}% {c['verdict']} (p = {c['p']:.2g})"
    if c["verdict"] in ("faster", "slower"):
        return f"new is {c['verdict']} (p = {c['p']:.2g}; the old median is 0, so no ratio)"
    return f"no significant difference (p = {c['p']:.2g})"


FIGURE_HEADER = (f"{'figure':<50} {'value':>13} {'ratio':>7} {'95% CI':>12} {'target':>10}  "
                 "verdict")


def figure_line(label, value="", r=None, target="", verdict=""):
    """A line of bench/check-figures' table: r a ratio, {"median", "low",
    "high"}."""
    interval = "" if r is None or r["low"] is None else f"{r['low']:.3f}-{r['high']:.3f}"
    shown = "" if r is None else "n/a" if r["median"] is None else f"{r['median']:.3f}"
    return f"{label:<50} {value:>13} {shown:>7} {interval:>12} {target:>10}  {verdict}"


SUMMARY_COLUMNS = ["n", "median", "min", "max", "Q1", "Q3", "err%", "average", "seconds"]


def summary_row(s):
    """A summary (stats.summarise) as the cells of SUMMARY_COLUMNS."""
    return [str(s["n"]), number(s["median"]), number(s["min"]), number(s["max"]),
            number(s["q1"], 2), number(s["q3"], 2), f"{s['err%']:.1f}", number(s["average"]),
            f"{s['seconds']:.6f}"]


def summary_text(summaries):
    """summaries: {"label", "file", **stats.summarise(...)} per series."""
    header = ["label  file", *SUMMARY_COLUMNS]
    rows = [[f"{s['label']}  {s['file']}", *summary_row(s)] for s in summaries]
    return (table(header, rows) + "\n\nmedian, min, max, Q1, Q3: of the records' MEDIAN "
            "values, in TSC ticks.\naverage, seconds: the medians of AVERAGE and EXECUTED.")


def comparison_text(report):
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
    return "\n".join(lines)


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


def changes_text(report):
    """report: stats.changes_report(...)."""
    parts = []
    for s in report["series"]:
        parts += one_series_changes(s, report["shortest"])
    if not any(s["changes"] for s in report["series"]):
        return "\n".join(parts).rstrip("\n")
    parts += [
        "index, line: the first record after the change: its index in its file and its label's "
        "line.", "before, after: the medians of the segments on either side (of the records' "
        "MEDIAN values, in", "TSC ticks); after/before: their ratio with a 95% bootstrap CI; p: "
        "the two-sided Mann-Whitney", "U test between them; corrected p: that p times the "
        "splits possible between the neighbouring", f"changes. A change stands below "
        f"{report['alpha']}; a segment has at least {report['shortest']} records."]
    return "\n".join(parts)
