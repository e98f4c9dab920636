"""Files of generator output read once: each unit (rnglab.units: a call's
bytes, or a block) counted for its one bits and fingerprinted, and the bytes
fed at the same time to rngtest (two, taking chunks in turn, for the two
cores) and ent, each reading from a pipe fed by a thread of its own. What
the figures mean is rnglab.quality's.
"""

import hashlib
import math
import os
import queue
import stat
import subprocess
import threading

import numpy as np

from rnglab.errors import LabError
from rnglab.record import BLOCK
from rnglab.units import Unreadable, plan_of, too_few

CHUNK = 256 * BLOCK            # read, hashed and piped about 4 MiB at a time
# A unit up to this long is its own fingerprint (exact, and no hashing
# loop over many small units); a longer one's is the start of its SHA-256.
EXACT = 64
KEY = 16


class QualityError(LabError):
    """A tool missing or failing: the run cannot go on."""


class Pipe:
    """A tool reading from its standard input, fed by a thread of its own so
    that the tools and the hashing all run at once. In a session of its own:
    Ctrl-C reaches the lab, which stops it, never the tool alone (rngtest
    takes SIGINT as the end of its input and reports on what it read)."""

    def __init__(self, argv):
        self.process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, start_new_session=True)
        self.fed = 0
        self.chunks = queue.Queue(maxsize=4)
        self.out = {}
        self.writer = threading.Thread(target=self._write, daemon=True)
        self.writer.start()
        self.readers = [threading.Thread(target=self._read, args=(name,), daemon=True)
                        for name in ("stdout", "stderr")]
        for reader in self.readers:
            reader.start()

    def _write(self):
        try:
            while (chunk := self.chunks.get()) is not None:
                self.process.stdin.write(chunk)
        except (OSError, ValueError):
            while self.chunks.get() is not None:    # drain, so put() never blocks
                pass
        finally:
            try:
                self.process.stdin.close()
            except OSError:
                pass

    def _read(self, name):
        self.out[name] = getattr(self.process, name).read().decode(errors="replace")

    def feed(self, chunk):
        self.fed += len(chunk)
        self.chunks.put(chunk)

    def finish(self):
        """(status, standard output, standard error, bytes fed)."""
        self.chunks.put(None)
        self.writer.join()
        for reader in self.readers:
            reader.join()
        return (self.process.wait(), self.out.get("stdout", ""), self.out.get("stderr", ""),
                self.fed)

    def kill(self):
        self.process.kill()
        self.chunks.put(None)
        self.writer.join()
        self.process.wait()


POPCOUNT8 = np.array([bin(i).count("1") for i in range(1 << 8)], dtype=np.uint8)
POPCOUNT16 = np.array([bin(i).count("1") for i in range(1 << 16)], dtype=np.uint8)


def open_regular(path):
    try:
        handle = open(path, "rb")
    except OSError as error:
        raise Unreadable(error.strerror or str(error)) from None
    mode = os.fstat(handle.fileno()).st_mode
    if not stat.S_ISREG(mode):
        handle.close()
        raise Unreadable("not a regular file")
    return handle


# --- repeats -------------------------------------------------------------------

def repeat_chance(size, count):
    """How likely count units of size bytes from a true random source hold
    two equal ones or an all-zero one (the birthday bound)."""
    if count < 1:
        return 0.0
    return min(1.0, math.exp(math.log(count * (count + 1) / 2) - 8 * size * math.log(2)))


def fingerprints(units, size):
    """A row of 64-bit words for each unit: the unit itself, padded with
    zeros, where it is no longer than EXACT, else the first KEY bytes of its
    SHA-256."""
    if size <= EXACT:
        padded = np.zeros((len(units), -(-size // 8) * 8), dtype=np.uint8)
        padded[:, :size] = units
        return padded.view(np.uint64)
    data = units.tobytes()
    digests = b"".join(hashlib.sha256(data[k:k + size]).digest()[:KEY]
                       for k in range(0, len(data), size))
    return np.frombuffer(digests, dtype=np.uint64).reshape(-1, KEY // 8)


MIX = np.uint64(0x9E3779B97F4A7C15)


def earliest_equal(prints):
    """For each row, the index of the first row equal to it. Sorted by a
    64-bit mix of each row's words (one sort, not one per word); rows whose
    mix meets another's are then compared whole, and the rare rows whose mix
    meets a different row's are sorted out one by one."""
    mixed = prints[:, 0].copy()
    for column in range(1, prints.shape[1]):
        mixed = mixed * MIX ^ prints[:, column]
    mixed = (mixed ^ mixed >> np.uint64(31)) * MIX
    order = np.argsort(mixed, kind="stable")    # equal rows keep their order
    starts = np.ones(len(order), dtype=bool)
    starts[1:] = mixed[order][1:] != mixed[order][:-1]
    run = np.empty(len(order), dtype=np.int64)
    run[order] = np.cumsum(starts) - 1
    earliest = order[np.flatnonzero(starts)][run]
    unlike = np.any(prints != prints[earliest], axis=1)
    if unlike.any():
        first = {}
        for k in np.flatnonzero(np.isin(run, run[unlike])):
            earliest[k] = first.setdefault(prints[k].tobytes(), k)
    return earliest


def find_repeats(keys):
    """Rows (file, unit, file, unit) of every unit that equals an earlier
    one, the earlier one second; keys: {size: [(file, units, fingerprints)]}."""
    found = [np.zeros((0, 4), np.int64)]
    for parts in keys.values():
        if not parts:
            continue
        files = np.concatenate([np.full(len(units), f) for f, units, _ in parts])
        units = np.concatenate([units for _, units, _ in parts])
        earlier = earliest_equal(np.concatenate([k for _, _, k in parts]))
        again = np.flatnonzero(earlier != np.arange(len(earlier)))
        found.append(np.stack([files[again], units[again], files[earlier[again]],
                               units[earlier[again]]], axis=1).astype(np.int64))
    return np.concatenate(found)


# --- the reading ---------------------------------------------------------------

class Scan:
    """What one file's reading gathers."""

    def __init__(self, plan, index, keys, checked):
        self.plan, self.index, self.keys, self.checked = plan, index, keys, checked
        self.zero = []
        self.pieces = {"unit": [], "count": [], "ones": [], "bits": []}

    def take(self, segment, done, data):
        """Whole units of segment, from its call done on, in data."""
        size = segment.bytes
        count = len(data) // size
        if size % 2 == 0:
            table, words = POPCOUNT16, np.frombuffer(data, dtype=np.uint16)
        else:
            table, words = POPCOUNT8, np.frombuffer(data, dtype=np.uint8)
        ones = table[words].reshape(count, -1).sum(axis=1, dtype=np.int64)
        first = segment.first + done
        if size in self.checked:
            zero = ones == 0
            self.zero.append(first + np.flatnonzero(zero))
            units = np.frombuffer(data, dtype=np.uint8).reshape(count, size)
            self.keys.setdefault(size, []).append(
                (self.index, first + np.flatnonzero(~zero), fingerprints(units[~zero], size)))
        starts = np.arange(0, count, segment.group)
        lengths = np.diff(np.append(starts, count))
        self.pieces["unit"].append(first + starts)
        self.pieces["count"].append(lengths)
        self.pieces["ones"].append(np.add.reduceat(ones, starts))
        self.pieces["bits"].append(lengths * 8 * size)

    def gathered(self):
        joined = {key: np.concatenate(value) if value else np.zeros(0, np.int64)
                  for key, value in self.pieces.items()}
        return (np.concatenate(self.zero) if self.zero else np.zeros(0, np.int64)), joined


def read_segment(handle, segment, feed, progress):
    """Reads segment's units in reads of whole monobit pieces, each given to
    feed(done, data)."""
    per_read = max(1, CHUNK // (segment.group * segment.bytes)) * segment.group
    handle.seek(segment.start)
    done = 0
    while done < segment.count:
        want = min(per_read, segment.count - done) * segment.bytes
        try:
            data = handle.read(want)
        except OSError as error:
            raise Unreadable(error.strerror or str(error)) from None
        if len(data) != want:
            raise Unreadable("it became shorter while it was read")
        feed(done, data)
        done += want // segment.bytes
        if progress:
            progress(segment.start + done * segment.bytes)


# The tools each file is fed to: two rngtests, taking chunks in turn, and ent.
TOOLS = (["rngtest"], ["rngtest"], ["ent", "-t"])


def started(argv):
    """A Pipe to argv; QualityError if it cannot start."""
    try:
        return Pipe(argv)
    except OSError as error:
        raise QualityError(f"cannot run {argv[0]}: {error.strerror or error}") from None


def scan(path, index, keys, checked, progress=None):
    """Reads one file once: counts and fingerprints its units (those of the
    sizes in checked for repeats) and feeds them to rngtest (two, taking
    chunks in turn, for the two cores) and ent. keys gathers the
    fingerprints of every file, for rnglab.quality to find repeats."""
    handle = open_regular(path)
    tools = []
    try:
        plan = plan_of(path, os.fstat(handle.fileno()).st_size)
        gathered = Scan(plan, index, keys, checked)
        if too_few(plan) is None:
            for argv in TOOLS:
                # One at a time, so that those started are stopped below if
                # a later one cannot start.
                tools.append(started(argv))
        fed = [0]

        def feed(segment, done, data):
            gathered.take(segment, done, data)
            if tools:
                tools[fed[0] % 2].feed(data)
                tools[2].feed(data)
            fed[0] += 1

        for segment in plan.segments:
            read_segment(handle, segment, lambda done, data, s=segment: feed(s, done, data),
                         progress and (lambda at: progress(path, at, plan.size)))
        outputs = [tool.finish() for tool in tools]
        tools = []
    finally:
        handle.close()
        for tool in tools:
            tool.kill()
    zero, pieces = gathered.gathered()
    # (status, standard output, standard error, bytes fed) of each rngtest
    # that was fed, and of ent
    return {"file": str(path), "plan": plan, "zero": zero, "pieces": pieces,
            "rngtest_outputs": [out for out in outputs[:2] if out[3]],
            "ent_output": outputs[2] if outputs else None}
