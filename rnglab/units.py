"""A file of generator output as units, each what its writer asked for at
once, and what about the file's size or layout is wrong.

Beside a file that rand_lab --keep wrote stands its layout, FILE.layout: one
"keep" line per run (offset, bytes, threads, calls, as key-value fields),
the run's bytes thread by thread, each thread's calls in order; each call's
bytes are then a unit, named by run, thread and call. Any other file
(RAND_priv_bytes.bin, raw bytes) is read as blocks of BLOCK bytes, the
program's.
"""

import bisect
import dataclasses
import os
from pathlib import Path

from rnglab import randlab
from rnglab.record import BLOCK
from rnglab.report.text import plural

# The layout of FILE is FILE followed by this: rand_lab's kLayoutSuffix
# (bench/rand_lab/outputs.h).
LAYOUT_SUFFIX = ".layout"
# What a layout may ask of the reader, far above anything rand_lab writes
# (rand_lab --limits): a line beyond them is not one of its own, and would
# have the reader hold a request, or a list of threads, without bound.
MOST_BYTES = 1 << 26
MOST_THREADS = 1 << 20          # in all the runs together


class Unreadable(Exception):
    pass


@dataclasses.dataclass
class Segment:
    """Consecutive units of one size: a thread's calls of one run, or the
    blocks of a file without a layout."""
    start: int                 # where its first unit starts in the file
    bytes: int                 # each unit's size
    count: int                 # whole units the file holds
    first: int                 # the index in the file of its first unit
    prefix: str = None         # "run 2 thread 1 " before "call K"; None: blocks

    @property
    def group(self):
        """Units per monobit piece: at least a block's worth of bits."""
        return max(1, -(-BLOCK // self.bytes))


@dataclasses.dataclass
class Plan:
    """Where a file's units are, and what about its size or layout is wrong
    (findings, in words)."""
    size: int
    segments: list
    layout: str = None         # the layout file's name, if it has one
    runs: int = 0
    notes: list = dataclasses.field(default_factory=list)

    @property
    def units(self):
        return sum(s.count for s in self.segments)

    @property
    def tested(self):
        return sum(s.count * s.bytes for s in self.segments)

    @property
    def leftover(self):
        return self.size - self.tested

    def segment_of(self, unit):
        return self.segments[bisect.bisect_right([s.first for s in self.segments], unit) - 1]

    def name(self, unit):
        """"block 7", or "thread 2 call 5" ("run 3 thread 2 call 5" where
        the layout names several runs)."""
        s = self.segment_of(unit)
        k = unit - s.first
        return f"block {k}" if s.prefix is None else f"{s.prefix}call {k}"

    def label(self, unit):
        """A unit as a list of them names it: "7", or its name."""
        s = self.segment_of(unit)
        return str(unit - s.first) if s.prefix is None else self.name(unit)

    def piece_name(self, unit, count):
        """count units from unit on, one monobit piece."""
        if count == 1:
            return self.label(unit)
        s = self.segment_of(unit)
        return f"{s.prefix}calls {unit - s.first} to {unit - s.first + count - 1}"


def layout_path(path):
    """FILE.layout beside the name given, or beside the file a link leads
    to; None where neither is there."""
    for base in (str(path), os.path.realpath(path)):
        candidate = Path(base + LAYOUT_SUFFIX)
        if os.path.lexists(candidate):
            return candidate
    return None


def layout_runs(layout):
    """[(line number, offset, bytes, threads, calls)] of the layout's keep
    lines, from its last run at offset 0 on: a run there started the file
    afresh, and the lines before it tell of bytes no longer in it."""
    try:
        text = layout.read_text(encoding="utf-8", errors="replace")
    except OSError as error:
        raise Unreadable(f"cannot read its layout {layout}: "
                         f"{error.strerror or error}") from None
    runs, threads = [], 0
    for number, line in enumerate(text.splitlines(), start=1):
        read = randlab.data_line(line)
        try:
            values = [int(read.fields[key]) for key in ("offset", "bytes", "threads", "calls")]
        except (AttributeError, KeyError, ValueError):
            values = None
        if read is None or read.kind != "keep" or values is None or values[0] < 0 or \
                min(values[1:]) < 1:
            raise Unreadable(f"its layout {layout}, line {number}, is not a keep line of "
                             "offset, bytes, threads and calls")
        runs, threads = ([], 0) if values[0] == 0 else (runs, threads)
        runs.append((number, *values))
        threads += values[2]
        if values[1] > MOST_BYTES or threads > MOST_THREADS:
            raise Unreadable(f"its layout {layout}, line {number}, asks for more bytes or "
                             "threads than rand_lab ever does")
    return runs


def laid_out(layout, runs, size):
    """The Plan of a file of size bytes that layout's runs lay out. Its
    numbers are weighed against the file's size only: a thread's calls that
    the file does not hold make no segment, so that nothing is sought beyond
    the file (a layout may name more than any file system holds), and what
    the layout names beyond it is a finding."""
    plan = Plan(size, [], layout=str(layout), runs=len(runs))
    end, units = 0, 0
    for k, (number, offset, request, threads, calls) in enumerate(runs, start=1):
        if offset < end:
            raise Unreadable(f"its layout {layout}, line {number}, starts a run at byte "
                             f"{offset}, inside the run before it")
        if end < min(offset, size):
            plan.notes.append(f"bytes {end} to {min(offset, size) - 1} are in no run of "
                              f"{layout.name}")
        for thread in range(threads):
            start = offset + thread * calls * request
            whole = min(calls, max(0, size - start) // request)
            if whole:
                prefix = (f"run {k} " if len(runs) > 1 else "") + f"thread {thread + 1} "
                plan.segments.append(Segment(start, request, whole, units, prefix))
                units += whole
        end = offset + threads * calls * request
    if end > size:
        plan.notes.append(f"{layout.name} lays out {end} bytes, but the file holds {size}")
    elif size > end:
        plan.notes.append(f"{plural(size - end, 'byte')} after the last run {layout.name} "
                          "lays out")
    return plan


def plan_of(path, size):
    """The Plan of a file: by its layout where it has one, else in blocks."""
    layout = layout_path(path)
    # An empty layout is one that rand_lab made for a run whose append
    # failed: whatever the file holds, no run of it wrote.
    runs = layout_runs(layout) if layout is not None else []
    if runs:
        return laid_out(layout, runs, size)
    plan = Plan(size, [Segment(0, BLOCK, size // BLOCK, 0)])
    if size and plan.units and plan.leftover:
        plan.notes.append(f"a piece of {plural(plan.leftover, 'byte')} left over after the "
                          "last whole block")
    return plan


def too_few(plan):
    """Why there is too little to test, or None."""
    if plan.size == 0:
        return "the file is empty"
    if plan.layout is None and plan.units == 0:
        return f"only {plural(plan.size, 'byte')}, less than one block of {BLOCK} bytes"
    if plan.tested < BLOCK:
        return (f"too few bytes to test: {plural(plan.tested, 'byte')} in whole requests, "
                f"less than one block of {BLOCK}")
    return None
