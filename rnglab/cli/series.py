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

import argparse
import errno
import os
import signal
import sys

from rnglab import plots, record, stats, text
from rnglab.errors import LabError
from rnglab.plots import PIXELS_MAX, SIDE_MAX
from rnglab.record import read_records, shown


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
    if args.plot:
        plots.plot_changes(series, found, args.plot, args.size, "MEDIAN per record and its "
                           "changes: " + ", ".join(shown(name) for name in args.files))
    write_out(args, parsed, None if args.csv or args.json else text.changes_text(series, found))


def label_of(name):
    return name if name.endswith(":") else name + ":"


def pick(records, label, name):
    chosen = [r for r in records if r["label"] == label]
    if not chosen:
        present = ", ".join(dict.fromkeys(r["label"] for r in records))
        raise LabError(f"{name} has no records labelled {label} (it has: {present})")
    return chosen


def run(args):
    if args.changes:
        run_changes(args)
        return
    if args.compare or args.compare_labels:
        if args.files:
            raise LabError("give either FILE... or one comparison, not both")
        if args.compare:
            old_name, new_name = args.compare
            old, new = read_records(old_name), read_records(new_name)
            labels = [label for label in dict.fromkeys(r["label"] for r in old)
                      if any(r["label"] == label for r in new)]
            old_name, new_name = shown(old_name), shown(new_name)
            if not labels:
                raise LabError(f"{old_name} and {new_name} share no label")
            pairs = [(label, pick(old, label, old_name), pick(new, label, new_name),
                      old_name, new_name) for label in labels]
            parsed = old + new
        else:
            first, second, name = args.compare_labels
            parsed = read_records(name)
            first, second = label_of(first), label_of(second)
            name = shown(name)
            pairs = [(f"{second} / {first}", pick(parsed, first, name),
                      pick(parsed, second, name), first, second)]
            old_name, new_name = f"{first} in {name}", f"{second} in {name}"
        title = f"{old_name} against {new_name}"
        if args.plot:
            plots.plot_comparison(pairs, args.plot, args.size, title)
        output = text.comparison_text([p[:3] for p in pairs], old_name, new_name)
    else:
        if not args.files:
            raise LabError("give at least one results file (or a comparison)")
        parsed = record.read_files(args.files)
        series = record.group(parsed)
        if args.plot:
            plots.plot_series(series, args.plot, args.size, "MEDIAN per record: " +
                        ", ".join(shown(name) for name in args.files))
        output = text.summary_text(series)
    write_out(args, parsed, output)


def write_out(args, parsed, output):
    """The export of parsed or else the text output, on standard output."""
    if sys.stdout is None:  # started with it closed
        raise LabError(f"cannot write standard output: {os.strerror(errno.EBADF)}")
    try:
        if args.csv or args.json:
            record.export(parsed, "csv" if args.csv else "json", sys.stdout)
        else:
            print(output)
        sys.stdout.flush()
    except OSError as error:
        # Nothing more can reach it, the last flush at exit included.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        raise LabError(f"cannot write standard output: {error.strerror}") from error


def bad_option(message):
    print(f"series: error: {message} (see --help)", file=sys.stderr)
    sys.exit(2)


def main(argv=None):
    # A reader that goes away (| head) ends the command quietly, as it does
    # any Unix tool; Windows has no such signal.
    if hasattr(signal, "SIGPIPE"):
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    # Whatever the locale cannot encode is shown as "?" rather than failing.
    if sys.stdout is not None:
        sys.stdout.reconfigure(errors="replace")
    parser = argparse.ArgumentParser(
        prog="series", description=__doc__.split("\n\n", 1)[0],
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=__doc__.split("\n\n", 1)[1])
    parser.error = bad_option
    parser.add_argument("files", nargs="*", metavar="FILE", help="results files to summarise")
    which = parser.add_mutually_exclusive_group()
    which.add_argument("--compare", nargs=2, metavar=("OLD", "NEW"),
                       help="compare two results files, label by label")
    which.add_argument("--compare-labels", nargs=3, metavar=("LABEL1", "LABEL2", "FILE"),
                       help="compare LABEL2 (new) with LABEL1 (old) in one file")
    which.add_argument("--changes", action="store_true",
                       help="find where each series' level shifts, and its segments")
    parser.add_argument("--plot", metavar="OUT", help="also draw the series into OUT.png or .svg")
    parser.add_argument("--size", type=plots.plot_size, default=(1000, 600), metavar="WxH",
                        help=f"the picture's size in pixels (default 1000x600; at most "
                        f"{SIDE_MAX} a side, which the Agg backend can draw, and "
                        f"{PIXELS_MAX:,} in all)")
    form = parser.add_mutually_exclusive_group()
    form.add_argument("--csv", action="store_true", help="print the parsed records as CSV")
    form.add_argument("--json", action="store_true", help="print the parsed records as JSON")
    args = parser.parse_args(argv)
    if args.plot and not args.plot.lower().endswith((".png", ".svg")):
        parser.error("--plot needs a file name ending in .png or .svg")
    try:
        run(args)
    except LabError as error:
        print(f"series: error: {' '.join(str(error).split())}", file=sys.stderr)
        return 1
    return 0

