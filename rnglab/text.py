"""Aligned text tables, and the texts of summaries, comparisons and changes."""

from fractions import Fraction

import numpy as np

from rnglab import stats
from rnglab.record import shown

WIDTH = 100


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


def short_verdict(c, what="rounds"):
    """A comparison's verdict in a few words. Too few values for the test to
    reach significance at all is said as such: the absence of evidence is
    not evidence of absence."""
    if c["least_p"] >= stats.ALPHA:
        return f"undecided: {c['n']} {what} cannot reach p < {stats.ALPHA:g}"
    if c["p"] < stats.ALPHA and c["ratio"] is not None:
        r = c["ratio"]
        if r >= 2 or r <= 0.5:
            size = f"{max(r, 1 / r):.1f} times"
        else:
            size = f"{abs(r - 1) * 100:.1f}%"
        return f"{size} {'slower' if r > 1 else 'faster'} (p = {c['p']:.2g})"
    return f"no significant difference (p = {c['p']:.2g})"


def interval(c):
    return "n/a" if c["low"] is None else f"{c['low']:.3f}-{c['high']:.3f}"


SUMMARY_COLUMNS = ["n", "median", "min", "max", "Q1", "Q3", "err%", "average", "seconds"]


def summary_row(records):
    """stats.summarise(records) as the cells of SUMMARY_COLUMNS."""
    s = stats.summarise(records)
    return [str(s["n"]), number(s["median"]), number(s["min"]), number(s["max"]),
            number(s["q1"], 2), number(s["q3"], 2), f"{s['err%']:.1f}", number(s["average"]),
            f"{s['seconds']:.6f}"]


def summary_text(series):
    header = ["label  file", *SUMMARY_COLUMNS]
    rows = [[f"{label}  {name}", *summary_row(records)]
            for (label, _), records in series.items() for name in [records[0]["file"]]]
    return (table(header, rows) + "\n\nmedian, min, max, Q1, Q3: of the records' MEDIAN "
            "values, in TSC ticks.\naverage, seconds: the medians of AVERAGE and EXECUTED.")


def comparison_text(pairs, old_name, new_name):
    """pairs: (row name, old records, new records)."""
    header = ["", "old n", "old median", "new n", "new median", "new/old", "95% CI", "p"]
    rows, verdicts, few = [], [], False
    for name, old, new in pairs:
        c = stats.compare(old, new)
        interval = "n/a" if c["low"] is None else f"{c['low']:.3f}-{c['high']:.3f}"
        ratio = "n/a" if c["ratio"] is None else f"{c['ratio']:.3f}"
        rows.append([name, str(c["old_n"]), number(c["old_median"]), str(c["new_n"]),
                     number(c["new_median"]), ratio, interval, f"{c['p']:.2g}"])
        verdicts.append(f"{name}  {c['verdict']}")
        few = few or min(c["old_n"], c["new_n"]) < stats.FEW_RECORDS
    lines = [f"old: {old_name}", f"new: {new_name}", "", table(header, rows), ""]
    lines += verdicts
    lines += ["", "Figures are the records' MEDIAN values in TSC ticks. new/old is the ratio "
              "of the medians; its", "95% CI comes from a percentile bootstrap "
              f"({stats.BOOTSTRAP_RESAMPLES} resamples); p from the two-sided Mann-Whitney U test."]
    if few:
        lines.append(f"warning: fewer than {stats.FEW_RECORDS} records on a side; the U test has "
                     "little power there, collect more runs.")
    return "\n".join(lines)


def changes_text(series, found):
    """found: the changes of each series, keyed like series."""
    header = ["change", "index", "line", "before", "after", "after/before", "95% CI", "p",
              "corrected p"]
    segment_header = ["segment", "indices", *SUMMARY_COLUMNS]
    parts = []
    for key, records in series.items():
        label, name = key[0], records[0]["file"]
        parts.append(f"{label}  {shown(name)}: {len(records)} records")
        if len(records) < 2 * stats.SHORTEST_SEGMENT:
            parts.append(f"too few to look for changes: a change needs {stats.SHORTEST_SEGMENT} "
                         f"records on each side, {2 * stats.SHORTEST_SEGMENT} in all")
        changes = found[key]
        segments = stats.segments_of(records, changes)
        if changes:
            rows = []
            for number_of, ((_, corrected), before, after) in enumerate(
                    zip(changes, segments, segments[1:]), start=1):
                resamples = int(np.clip(stats.CHANGE_BOOTSTRAP_VALUES // (len(before) + len(after)),
                                        stats.CHANGE_RESAMPLES_LEAST, stats.BOOTSTRAP_RESAMPLES))
                c = stats.compare(before, after, resamples)
                rows.append([str(number_of), str(after[0]["index"]), str(after[0]["line"]),
                             number(c["old_median"]), number(c["new_median"]),
                             "n/a" if c["ratio"] is None else f"{c['ratio']:.3f}",
                             "n/a" if c["low"] is None else f"{c['low']:.3f}-{c['high']:.3f}",
                             f"{c['p']:.2g}", f"{corrected:.2g}"])
            parts += ["", table(header, rows)]
        elif len(records) >= 2 * stats.SHORTEST_SEGMENT:
            parts[-1] += ", no change found"
        rows = []
        for number_of, segment in enumerate(segments):
            rows.append([str(number_of), f"{segment[0]['index']}-{segment[-1]['index']}",
                         *summary_row(segment)])
        parts += ["", table(segment_header, rows), ""]
    if not any(found.values()):
        return "\n".join(parts).rstrip("\n")
    parts += [
        "index, line: the first record after the change: its index in its file and its label's "
        "line.", "before, after: the medians of the segments on either side (of the records' "
        "MEDIAN values, in", "TSC ticks); after/before: their ratio with a 95% bootstrap CI; p: "
        "the two-sided Mann-Whitney", "U test between them; corrected p: that p times the "
        "splits possible between the neighbouring", f"changes. A change stands below "
        f"{stats.CHANGE_ALPHA}; a segment has at least {stats.SHORTEST_SEGMENT} records."]
    return "\n".join(parts)
