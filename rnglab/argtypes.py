"""The types of the lab's options, for argparse, written once: each turns
the text of an option into its value or says in one line what it takes."""

import argparse
import math
import os
import re

from rnglab import randlab, sequential

# A picture that the Agg backend can draw: less than 2**16 pixels a side. The
# total keeps a picture to about 100 MB and a few seconds (20000x20000 took
# 3 GB and 17 s).
SIDE_MAX = 65000
PIXELS_MAX = 25_000_000
PICTURES = (".png", ".svg")


def refuse(message):
    return argparse.ArgumentTypeError(message)


def name_list(choices, what, everything=None):
    """A comma-separated list of names from choices, each once, in the
    order given; with everything, that word stands for all of them."""
    def parse(text):
        if everything is not None and text == everything:
            return list(choices)
        names = [name.strip() for name in text.split(",") if name.strip()]
        unknown = [name for name in names if name not in choices]
        if unknown or not names:
            allowed = ", ".join([*choices, *([everything] if everything else [])])
            raise refuse(f"unknown {what} {', '.join(unknown) or '(none given)'}: "
                         f"choose from {allowed}")
        return list(dict.fromkeys(names))
    return parse


def within_limit(kind, name):
    """kind(low, high) (number_list or whole) over rand_lab's limit name,
    read only when the option is given."""
    def parse(text):
        return kind(*randlab.limit(name))(text)
    return parse


def number_list(low, high):
    """A comma-separated list of whole numbers from low to high, sorted,
    each once."""
    def parse(text):
        try:
            values = [int(v) for v in text.split(",")]
        except ValueError:
            values = []
        if not values or any(v < low or v > high for v in values):
            raise refuse(f"a comma-separated list of whole numbers from {low} to {high}, "
                         f"not {text!r}")
        return sorted(set(values))
    return parse


def whole(low, high=None, why=""):
    """A whole number from low to high (no upper bound with None); why says
    what the bound is for."""
    def parse(text):
        value = int(text) if text.isdigit() else None
        if value is None or value < low or (high is not None and value > high):
            span = f"of at least {low}" if high is None else f"from {low} to {high}"
            raise refuse(f"a whole number {span}{f' ({why})' if why else ''}, not {text!r}")
        return value
    return parse


def precision(text):
    """--precision: how closely a ratio is to be known, a fraction between 0
    and 1 (0.01: to +/- 1%)."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0 < value < 1:  # nan and inf fail it too
        raise refuse(f"a fraction between 0 and 1, such as 0.01 for +/- 1%, not {text!r}")
    return value


def duration(text):
    """--max-time: a duration, "90s", "15m", "1h", "2h30m", as seconds."""
    try:
        return sequential.parse_duration(text)
    except ValueError as error:
        raise refuse(str(error)) from error


def cpu_list(text):
    """--cpus: LIST, all (those this process may run on) or free (None: the
    operating system places every run)."""
    allowed = sorted(os.sched_getaffinity(0))
    if text == "free":
        return None
    if text == "all":
        return allowed
    try:
        cpus = [int(c) for c in text.split(",")]
    except ValueError:
        cpus = []
    if not cpus or any(c not in allowed for c in cpus):
        raise refuse(f"a comma-separated list of processors from {allowed}, all or free, "
                     f"not {text!r}")
    return list(dict.fromkeys(cpus))


def picture_size(text):
    """WxH in pixels, within what the Agg backend draws soon."""
    match = re.fullmatch(r"(\d{1,9})x(\d{1,9})", text)
    width, height = (int(match.group(1)), int(match.group(2))) if match else (0, 0)
    if (min(width, height) < 100 or max(width, height) > SIDE_MAX or
            width * height > PIXELS_MAX):
        raise refuse(f"WxH in pixels, each 100 to {SIDE_MAX} and at most {PIXELS_MAX:,} in all, "
                     "e.g. 1000x600")
    return width, height


def has_suffix(path, suffixes=PICTURES):
    """Whether a file name ends in one of suffixes, in any case."""
    return str(path).lower().endswith(tuple(suffixes))


def suffix_message(option, suffixes=PICTURES):
    return f"{option} needs a file name ending in {' or '.join(suffixes)}"
