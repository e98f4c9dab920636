"""Summarise, compare and plot the records that openssl_rng appends.

Every run appends one five-line record to its results file, so the file
grows into a series per label ("RAND_bytes:", "RAND_priv_bytes:", ...).

  tools/series FILE...                          summary per label and file
  tools/series --compare OLD NEW                two files, label by label
  tools/series --compare-labels LABEL1 LABEL2 FILE
                                                two labels of one file
  tools/series --changes FILE...                where each series' level shifts
  --plot OUT.png|OUT.svg [--size WxH]           a picture as well, at most
                                                65000 pixels a side and
                                                25,000,000 in all
  --csv | --json                                the parsed records instead
  --html FILE                                   the report as one page as well:
                                                tables, picture and data

A record's figure is its MEDIAN: the median of its 1024 calls' counts.
Summaries give, over the records of a series, the median of those figures,
the lowest and highest, the quartiles (linear interpolation), the spread as
the median absolute percentage error (err%), the median AVERAGE and the
median EXECUTED seconds. Comparisons give both medians, the new/old ratio of
the medians with a 95% confidence interval from a percentile bootstrap, the
two-sided Mann-Whitney U test's p-value, and a verdict at alpha 0.05.
Changes are found by binary segmentation with the Mann-Whitney U test,
corrected for the splits tried; each comes with the comparison of the
segments on its two sides, and each segment with its summary.
"""

import sys

from rnglab import argtypes, record, stats
from rnglab.report import plots, text
from rnglab.cli import _shell
from rnglab.errors import LabError
from rnglab.record import read_records, shown
from rnglab.report import html, pages

# The picture on a page, whatever --size says of --plot's.
PAGE_SIZE = (1000, 600)


def run_changes(args):
    if not args.files:
        raise LabError("--changes needs at least one results file")
    parsed = record.read_files(args.files)
    series = record.group(parsed)
    found = {key: stats.find_changes(stats.medians_of(records)) for key, records in series.items()}
    for key, records in series.items():
        for number_of, segment in enumerate(stats.segments_of(records, found[key])):
            for r in segment:
                r["segment"] = number_of
    title = "MEDIAN per record and its changes: " + ", ".join(shown(name) for name in args.files)
    if args.plot:
        plots.plot_changes(series, found, args.plot, args.size, title)
    if (args.csv or args.json) and not args.html:
        return parsed, None, None
    report = {"table": "series_changes", **stats.changes_report(series, found)}
    return parsed, report, (lambda: plots.changes_figure(series, found, PAGE_SIZE, title),
                            "The series and its changes", "Line chart: each record's MEDIAN "
                            "against its index in its file, each change dotted and each "
                            "segment's median dashed")


def label_of(name):
    return name if name.endswith(":") else name + ":"


def pick(records, label, name):
    chosen = [r for r in records if r["label"] == label]
    if not chosen:
        present = ", ".join(dict.fromkeys(r["label"] for r in records))
        raise LabError(f"{name} has no records labelled {label} (it has: {present})")
    return chosen


def pairs_of_files(old_name, new_name):
    """Two files' series, label by label: (row name, old, new, old name, new
    name) per label both have, and every record read."""
    old, new = read_records(old_name), read_records(new_name)
    labels = [label for label in dict.fromkeys(r["label"] for r in old)
              if any(r["label"] == label for r in new)]
    old_name, new_name = shown(old_name), shown(new_name)
    if not labels:
        raise LabError(f"{old_name} and {new_name} share no label")
    return [(label, pick(old, label, old_name), pick(new, label, new_name), old_name, new_name)
            for label in labels], old + new


def pairs_of_labels(first, second, name):
    parsed = read_records(name)
    first, second = label_of(first), label_of(second)
    name = shown(name)
    return [(f"{second} / {first}", pick(parsed, first, name), pick(parsed, second, name),
             f"{first} in {name}", f"{second} in {name}")], parsed


def run_comparison(args):
    if args.files:
        raise LabError("give either FILE... or one comparison, not both")
    if args.compare:
        pairs, parsed = pairs_of_files(*args.compare)
        old_name, new_name = pairs[0][3:]
    else:
        pairs, parsed = pairs_of_labels(*args.compare_labels)
        old_name, new_name = pairs[0][3:]
    title = f"{old_name} against {new_name}"
    if args.plot:
        plots.plot_comparison(pairs, args.plot, args.size, title)
    report = {"table": "series_comparison", "old": old_name, "new": new_name,
              "resamples": stats.BOOTSTRAP_RESAMPLES, "few_records": stats.FEW_RECORDS,
              "rows": [{"name": name, **stats.compare(old, new)} for name, old, new, *_ in pairs]}
    return parsed, report, (lambda: plots.comparison_figure(pairs, PAGE_SIZE, title),
                            "Old against new", "Box plots, label by label: the old and the new "
                            "records' MEDIAN values side by side, each record a dot")


def run_summary(args):
    if not args.files:
        raise LabError("give at least one results file (or a comparison)")
    parsed = record.read_files(args.files)
    series = record.group(parsed)
    title = "MEDIAN per record: " + ", ".join(shown(name) for name in args.files)
    if args.plot:
        plots.plot_series(series, args.plot, args.size, title)
    summaries = [{"label": label, "file": records[0]["file"], **stats.summarise(records)}
                 for (label, _), records in series.items()]
    return parsed, {"table": "series_summary", "rows": summaries}, (
        lambda: plots.series_figure(series, PAGE_SIZE, title), "MEDIAN per record",
        "Line chart: each series' records' MEDIAN in file order, its median dashed and its "
        "quartiles shaded")


# What each report's text is made from its data.
TEXTS = {"series_summary": lambda t: text.summary_text(t["rows"]),
         "series_comparison": text.comparison_text, "series_changes": text.changes_text}


def run(args):
    if args.html:
        html.check(args.html)
    if args.changes:
        parsed, report, picture = run_changes(args)
    elif args.compare or args.compare_labels:
        parsed, report, picture = run_comparison(args)
    else:
        parsed, report, picture = run_summary(args)
    if args.csv or args.json:
        output = record.export_text(parsed, "csv" if args.csv else "json")
    else:
        output = TEXTS[report["table"]](report)
    try:
        _shell.emit(output)
    finally:
        # Whatever became of standard output, the page is written.
        if args.html:
            draw, title, alt = picture
            named = args.files or args.compare or args.compare_labels[2:]
            html.write(args.html, pages.series_page(args.argv, [shown(n) for n in named], report,
                                                    (draw(), title, alt)))


def parse_args(argv):
    parser = _shell.parser("series", __doc__, terse=True)
    parser.add_argument("files", nargs="*", metavar="FILE", help="results files to summarise")
    which = parser.add_mutually_exclusive_group()
    which.add_argument("--compare", nargs=2, metavar=("OLD", "NEW"),
                       help="compare two results files, label by label")
    which.add_argument("--compare-labels", nargs=3, metavar=("LABEL1", "LABEL2", "FILE"),
                       help="compare LABEL2 (new) with LABEL1 (old) in one file")
    which.add_argument("--changes", action="store_true",
                       help="find where each series' level shifts, and its segments")
    parser.add_argument("--plot", metavar="OUT", help="also draw the series into OUT.png or .svg")
    parser.add_argument("--size", type=argtypes.picture_size, default=(1000, 600), metavar="WxH",
                        help=f"the picture's size in pixels (default 1000x600; at most "
                        f"{argtypes.SIDE_MAX} a side, which the Agg backend can draw, and "
                        f"{argtypes.PIXELS_MAX:,} in all)")
    parser.add_argument("--html", metavar="FILE",
                        help="also write the report as one page (docs/report.md)")
    form = parser.add_mutually_exclusive_group()
    form.add_argument("--csv", action="store_true", help="print the parsed records as CSV")
    form.add_argument("--json", action="store_true", help="print the parsed records as JSON")
    args = parser.parse_args(argv)
    if args.plot and not argtypes.has_suffix(args.plot):
        parser.error(argtypes.suffix_message("--plot"))
    args.argv = sys.argv[1:] if argv is None else argv
    return args


def main(argv=None):
    return _shell.run("series", run, parse_args(argv), errors="error: ")
