"""The lab's pictures, drawn with matplotlib's Agg backend into memory and
written whole."""

import argparse
import io
import os
import re

import numpy as np

from rnglab import stats
from rnglab.errors import LabError
from rnglab.record import shown

TICKS_AXIS = "TSC ticks per call (median of 1024 calls)"
# What the Agg backend draws: less than 2**16 pixels a side. The total keeps a
# picture to about 100 MB and a few seconds (20000x20000 took 3 GB and 17 s).
SIDE_MAX = 65000
PIXELS_MAX = 25_000_000
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
    leaves out untouched, then writes it; a write that fails part-way leaves
    no torn picture."""
    picture = io.BytesIO()
    try:
        fig.savefig(picture, format=out.rsplit(".", 1)[1].lower())
    except (ValueError, RuntimeError, MemoryError) as error:
        raise LabError(f"cannot draw {shown(out)}: {error}") from error
    try:
        file = open(out, "wb")
    except OSError as error:
        raise LabError(f"cannot write {shown(out)}: {error.strerror}") from error
    try:
        with file:
            file.write(picture.getvalue())
    except OSError as error:
        if os.path.isfile(out):
            os.remove(out)
        raise LabError(f"cannot write {shown(out)}: {error.strerror}") from error


def figure(size):
    import matplotlib  # pylint: disable=import-outside-toplevel
    matplotlib.use("Agg")
    matplotlib.rcParams["svg.fonttype"] = "none"  # text stays text
    from matplotlib import pyplot  # pylint: disable=import-outside-toplevel
    width, height = size
    return pyplot.figure(figsize=(width / 100, height / 100), dpi=100)


def plot_series(series, out, size, title):
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
    save(fig, out)


def plot_comparison(pairs, out, size, title):
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
    save(fig, out)


def plot_changes(series, found, out, size, title):
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
    save(fig, out)


def plot_size(text):
    match = re.fullmatch(r"(\d{1,9})x(\d{1,9})", text)
    width, height = (int(match.group(1)), int(match.group(2))) if match else (0, 0)
    if (min(width, height) < 100 or max(width, height) > SIDE_MAX or
            width * height > PIXELS_MAX):
        raise argparse.ArgumentTypeError(
            f"WxH in pixels, each 100 to {SIDE_MAX} and at most {PIXELS_MAX:,} in all, "
            "e.g. 1000x600")
    return width, height
