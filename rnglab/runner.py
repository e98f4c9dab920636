"""The lab's one runner: variants, run interleaved in rounds.

Each variant has its own folder, OUT/NAME, holding its results series
(osslRb1a.txt, which grows across invocations), the configuration it ran with
(openssl.cnf) and a provenance text that says, invocation by invocation, which
records each run appended, where it ran, what it measured and on what. Rounds
run every variant once, A B C ..., A B C ..., so that whatever the machine
does meanwhile touches all alike.

Every run is placed: a round runs all its single-threaded variants on one
processor, and the processor rotates from round to round, so that a ratio
within a round is free of the processor's own factor and every processor is
seen. Affinity is set on the child before it starts; the program itself
never pins its thread. Variants with several threads run free, and rand_lab
reports where their threads ran.

A reference of bench/check-figures (a hand loop, openssl speed) is a kind of
variant too, run the same way: a command, a folder, an environment, and how
its figure is read from what it printed.

Nothing is assumed about the generator: before any round, bench/libcrypto_info
runs under each variant's configuration, and a variant whose configuration
the library cannot apply whole, or whose generator is not the one it asked
for, stops everything with one line. So does a run that prints a failed call
or exits with a failure. Ctrl-C stops between runs. Whatever stops the rounds,
each variant's provenance then says exactly what was done.
"""

import dataclasses
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

from rnglab import files, randlab, record
from rnglab.errors import LabError
from rnglab.process import parse_info, progress
from rnglab.variants import probe_text


# --- what the runs print: read here only -------------------------------------

# The program's line for a failed call, which stays the prose it is;
# rand_lab's failed calls are data lines.
FAILED_CALL = re.compile(r"Failed--> \d+\. cycle")


def failed_call(v, output):
    """The line that tells of the run's first failed call, or None."""
    if v.rand_lab:
        read = randlab.parse(output)
        return read.first_message() if read.first("failed") else None
    return next((line for line in output.splitlines() if FAILED_CALL.search(line)), None)


def failure_line(v, output):
    """The line that says why a run that exited with a failure failed:
    rand_lab's first message (what it says after comes of it), else the
    last line of another command's output."""
    if v.rand_lab:
        return randlab.parse(output).first_message("no output")
    return (output.strip().splitlines()[-1:] or ["no output"])[0]


def placements_of(output):
    """(thread, first processor, last processor, calls away) per thread of
    a rand_lab run's parent."""
    return [(int(t["n"]), int(t["cpu_first"]), int(t["cpu_last"]), int(t["away"]))
            for t in randlab.parse(output).all("thread", process="parent")]


def rate_line(output):
    """rand_lab's data line of calls and bytes per second, for runs.txt."""
    rates = randlab.parse(output).lines("rate", process="parent")
    return rates[0].text if rates else ""


def rate_of(output):
    """All threads' calls per second, or None."""
    rate = randlab.parse(output).first("rate", process="parent")
    return float(rate["calls_per_s"]) if rate else None


# --- runs --------------------------------------------------------------------

@dataclasses.dataclass
class Run:
    """One run of a variant: where it ran, the records it appended, and its
    figure."""
    round: int
    cpu: int  # the processor it was placed on; None: free
    first: int  # the index in its file of its first record
    records: list
    output: str
    failure: str = None  # why it stopped the rounds, if it did
    wall: float = None  # seconds, the whole process
    value: float = None  # its figure in ticks per call, as the variant reads it
    # (thread, first processor, last processor, calls away) per thread
    placements: list = dataclasses.field(default_factory=list)
    rate: float = None  # all threads' calls per second


class Interrupted(LabError):
    """Ctrl-C, taken between runs."""


def placed(cpu):
    """The child's affinity, set between fork and exec."""
    if cpu is None:
        return None
    return lambda: os.sched_setaffinity(0, {cpu})


def prepare(variants, out):
    """Folders, configurations and probes, before any round. Raises
    LabError on the first variant that would not measure what it asks."""
    names = [v.name for v in variants]
    twice = sorted({n for n in names if names.count(n) > 1})
    if twice:
        raise LabError(f"two variants would share the folder {twice[0]}: give their "
                       "configuration files different names")
    for v in variants:
        # Absolute, because each run starts in its own folder.
        v.folder = Path(os.path.abspath(out)) / v.name
        files.make_folder(v.folder)
        files.write_whole(v.folder / "openssl.cnf", v.config)
        v.probe = probe(v)
        v.before = len(read_results(v, 0))
        v.runs = []


def probe(v):
    """What bench/libcrypto_info sees under the variant's configuration,
    exactly where and how the program will start; LabError unless it is
    what the variant asks for."""
    command = str(v.build.folder / "bench" / "libcrypto_info")
    try:
        done = subprocess.run([command], env=v.env, cwd=v.folder, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, errors="replace", check=False)
    except OSError as error:
        raise LabError(f"{v.name}: cannot run {command}: {files.why(error)}") from error
    saw = parse_info(done.stdout)
    config = saw.get("config", "no answer from the probe")
    if config != "ok":
        raise LabError(f"{v.name}: the library cannot apply its configuration: {config}")
    # From 3.5 on RAND_bytes may work with no public DRBG at all: a provider
    # takes it.
    if saw.get("generate") != "ok":
        if saw.get("drbg") == "none":
            raise LabError(f"{v.name}: no generator stands behind RAND_bytes: "
                           f"{saw.get('drbg_error', done.stdout.strip())}")
        raise LabError(f"{v.name}: RAND_bytes fails: {saw.get('generate', done.stdout.strip())}")
    if v.expected and any(saw.get(k) != want for k, want in v.expected.items()):
        asked = probe_text(v.expected) if v.expected.get("path") == "provider" else \
            " ".join(want for k, want in v.expected.items() if k != "path")
        raise LabError(f"{v.name}: asked for {asked}, but the probe saw {probe_text(saw)}")
    return saw


def results_size(v):
    """The length of the variant's series, which must be a file or absent."""
    if v.results is None:
        return 0
    try:
        info = v.results.stat()
    except FileNotFoundError:
        return 0
    except OSError as error:
        raise LabError(f"{v.name}: cannot read {v.results}: {files.why(error)}") from error
    if not v.results.is_file():
        raise LabError(f"{v.name}: {v.results} is not a file")
    return info.st_size


def read_results(v, start):
    """The whole records in the variant's series from byte start on."""
    if results_size(v) == 0:
        return []
    try:
        with open(v.results, "rb") as series:
            series.seek(start)
            data = series.read()
    except OSError as error:
        raise LabError(f"{v.name}: cannot read {v.results}: {files.why(error)}") from error
    return record.parse(data, str(v.results))


def run_once(v, cpu=None, round_=0):
    """One run of v, placed on cpu; its records are those it appended, its
    value the figure the variant reads from it."""
    size = results_size(v)
    began = time.monotonic()
    try:
        # A session of its own, so that Ctrl-C reaches the runner alone,
        # which then stops after this run rather than tearing it.
        done = subprocess.run(v.command, cwd=v.folder, env=v.env, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, errors="replace", check=False,
                              start_new_session=True, preexec_fn=placed(cpu))
    except (OSError, subprocess.SubprocessError) as error:
        raise LabError(f"{v.name}: cannot run {v.command[0]}: {error}") from error
    first = v.before + sum(len(r.records) for r in v.runs)
    records = read_results(v, size)
    for k, r in enumerate(records):
        r["index"] = first + k  # in the whole series, as tools/series counts
    run = Run(round_, cpu, first, records, done.stdout, wall=time.monotonic() - began,
              placements=placements_of(done.stdout), rate=rate_of(done.stdout))
    v.runs.append(run)
    failed = failed_call(v, done.stdout)
    if failed is not None:
        run.failure = f"a call failed: {failed}"
    elif done.returncode != 0:
        run.failure = (f"{Path(v.command[0]).name} exited with status {done.returncode}: "
                       f"{failure_line(v, done.stdout)}")
    if run.failure:
        raise LabError(f"{v.name}: {run.failure}")
    if v.rand_lab:
        files.append_whole(v.folder / "runs.txt", rate_line(done.stdout) + "\n")
    try:
        run.value = v.figure(run)
    except LabError as error:
        raise LabError(f"{v.name}: {error}") from error
    return run


class _CtrlC:
    """Ctrl-C noted while a run goes on, and acted on once it is over."""

    def __init__(self):
        self.pressed = False
        self.previous = None

    def __enter__(self):
        self.previous = signal.signal(signal.SIGINT, self._note)
        return self

    def _note(self, _signal, _frame):
        self.pressed = True

    def __exit__(self, *_):
        signal.signal(signal.SIGINT, self.previous)


def run_rounds(variants, rounds, rotate=False, cpus=None, pinned=None, what="round",
               during="in"):
    """run_once(v, cpu, round) for every variant once per round. cpus: the
    processors the rounds rotate over (None: free); pinned(v) says whether a
    variant is placed (by default, if it has one thread). With rotate, each
    round starts one variant further on, so that no variant always follows
    the same one. The progress line goes to standard error. what and
    during: a round as its lines name it, "round 2 of 3" and "interrupted
    in round 2 of 3" (the keep step's: "keeping bytes, run", "while")."""
    pinned = pinned or (lambda v: v.threads == 1)
    tty = sys.stderr.isatty()
    with _CtrlC() as ctrl_c:
        for r in range(rounds):
            shift = r % len(variants) if rotate else 0
            order = variants[shift:] + variants[:shift]
            cpu = cpus[r % len(cpus)] if cpus else None
            for k, v in enumerate(order, start=1):
                if tty or k == 1:
                    where = "" if cpu is None else f" on cpu {cpu}"
                    line = (f"{what} {r + 1} of {rounds}{where}, variant {k} of {len(order)}: "
                            f"{v.name}")
                    progress(line.ljust(78) if tty else line, end="\r" if tty else "\n")
                run_once(v, cpu if pinned(v) else None, r + 1)
                if ctrl_c.pressed:
                    if tty:
                        progress("")
                    raise Interrupted(f"interrupted {during} {what} {r + 1} of {rounds}, after "
                                      f"{v.name}; the provenance says what was done")
    if tty:
        progress(" " * 78, end="\r")


# --- this invocation's figures -------------------------------------------------

def new_records(v):
    """The records this invocation's runs of v appended, oldest first."""
    return [r for run in v.runs for r in run.records]


def per_run(v):
    """One figure per run of this invocation that has one, as a record that
    the lab's statistics accept, with the round and processor it ran in."""
    return [{"median": run.value, "round": run.round, "cpu": run.cpu}
            for run in v.runs if run.value is not None]


def run_median(v):
    """The median of per_run(v): a variant's figure for this invocation."""
    return float(np.median([r["median"] for r in per_run(v)]))


def throughput(v):
    """Total calls per second of each of this invocation's rand_lab runs."""
    return [run.rate for run in v.runs if run.rate is not None]
