"""The record the program appends, written once here: its format, parsing,
reading and export.

Every run appends one five-line record to its results file, so the file
grows into a series per label ("RAND_bytes:", "RAND_priv_bytes:", ...):

    RAND_bytes:
    TOTAL:      9 cycles
    MEDIAN:     3 cpucycles
    AVERAGE:    3 cpucycles
    EXECUTED in 0.250000 s
"""

import csv
import io
import json
import math
import os
import re

from rnglab.errors import LabError
from rnglab.process import warn

# A whole record: its label line and four value lines, each ending in LF or
# CR LF (the last one may lack its line end at the end of the file). A label
# is one line ending in its only colon.
RECORD = re.compile(
    rb"^([^\s:][^:\r\n]*:)\r?\n"
    rb"TOTAL:      (\d+) cycles\r?\n"
    rb"MEDIAN:     (\d+) cpucycles\r?\n"
    rb"AVERAGE:    (\d+) cpucycles\r?\n"
    rb"EXECUTED in (\d+\.\d+) s(?:\r?\n|\Z)",
    re.MULTILINE,
)
UINT64_END = 2**64
UINT64_DIGITS = len(str(UINT64_END))
RESULTS_FILE = "osslRb1a.txt"
# The block each of the program's calls fills (kBlockSize, src/run_constants.h):
# the size its figure is of, and the unit of a file of its bytes.
BLOCK = 16384
# The label of the program's records: it measures RAND_bytes alone.
PROGRAM_LABEL = "RAND_bytes:"
# The fields of an export, in order; a change search adds "segment".
FIELDS = ["file", "label", "index", "line", "total", "median", "average", "seconds"]


def format_record(label, total, median, average, seconds="0.020000", end="\n"):
    """A record as the program writes it (end "\\r\\n" as on Windows)."""
    return (f"{label}{end}TOTAL:      {total} cycles{end}MEDIAN:     {median} cpucycles{end}"
            f"AVERAGE:    {average} cpucycles{end}EXECUTED in {seconds} s{end}")


def shown(name):
    """A file name as it can be printed and drawn: bytes that are not UTF-8
    (which Python hands over as lone surrogates) become replacement
    characters."""
    try:
        return name.encode("utf-8", "surrogateescape").decode("utf-8", "replace")
    except UnicodeEncodeError:
        return name.encode("utf-8", "replace").decode("utf-8")


def count(text):
    """A count as written, or None if it cannot be a 64-bit one. The length
    is checked first: Python refuses to convert more than 4300 digits."""
    digits = text.lstrip(b"0")
    if len(digits) > UINT64_DIGITS or int(digits or b"0") >= UINT64_END:
        return None
    return int(digits or b"0")


def parse(data, name):
    """The whole records in data, as dicts in file order. Everything else is
    skipped with one warning per stretch, naming the file and its first line;
    no value is ever guessed."""
    records = []
    line = 1
    at = 0

    def skip(upto):
        if upto > at and data[at:upto].strip():
            lines = data.count(b"\n", at, upto) + (not data[at:upto].endswith(b"\n"))
            warn(f"{name}:{line}: skipped {lines} line(s) that are not a whole record")

    for match in RECORD.finditer(data):
        values = [count(v) for v in match.group(2, 3, 4)]
        if None in values or not math.isfinite(float(match.group(5))):
            continue  # more than a 64-bit count or a double: not written by the program
        skip(match.start())
        line += data.count(b"\n", at, match.start())
        total, median, average = values
        records.append({
            "file": name,
            "label": match.group(1).decode("utf-8", "replace"),
            "index": len(records),
            "line": line,
            "total": total,
            "median": median,
            "average": average,
            "seconds": match.group(5).decode("ascii"),
            "written": [v.decode("ascii") for v in match.group(2, 3, 4)],
        })
        line += data.count(b"\n", match.start(), match.end())
        at = match.end()
    skip(len(data))
    return records


def read_files(names):
    """The records of every file named, in order, each file read once: a
    file named twice would otherwise be one series with a seam in it."""
    records, seen = [], {}
    for source, name in enumerate(names):
        try:
            identity = os.stat(name)
            identity = (identity.st_dev, identity.st_ino)
        except OSError:
            identity = None  # read_records says why
        if identity is not None and identity in seen:
            warn(f"{shown(name)} names the same file as {shown(seen[identity])}: read once")
            continue
        seen[identity] = name
        for r in read_records(name):
            r["source"] = source
            records.append(r)
    return records


def read_records(name):
    try:
        with open(name, "rb") as file:
            data = file.read()
    except OSError as error:
        raise LabError(f"cannot read {shown(name)}: {error.strerror}") from error
    name = shown(name)
    if not data:
        raise LabError(f"{name} is empty")
    records = parse(data, name)
    if not records:
        raise LabError(f"{name} holds no whole record")
    return records


def group(records):
    """Series keyed by (label, the file's place among those read), in order
    of first appearance: two files whose names print alike stay apart."""
    series = {}
    for record in records:
        series.setdefault((record["label"], record.get("source", 0)), []).append(record)
    return series


def export_text(records, form):
    """The records as CSV or JSON text. CSV keeps every number exactly as
    written, leading zeros included; JSON has numbers, which cannot have
    them: the counts as exact integers, the seconds as the nearest double."""
    fields = FIELDS + [key for key in ("segment",) if records and key in records[0]]
    out = io.StringIO()
    if form == "csv":
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(fields)
        extra = fields[fields.index("seconds") + 1:]
        writer.writerows([r["file"], r["label"], r["index"], r["line"], *r["written"],
                          r["seconds"], *(r[key] for key in extra)] for r in records)
    else:
        rows = [{field: r[field] for field in fields} for r in records]
        for row in rows:
            row["seconds"] = float(row["seconds"])
        json.dump(rows, out, indent=1)
        out.write("\n")
    return out.getvalue().removesuffix("\n")
