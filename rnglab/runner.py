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

Around every run the host's noise is taken (rnglab.noise: steal, the other
processors' use, the load, the run's involuntary switches and migrations),
and the run is judged against the invocation's runs so far that were
placed as it was: one far above their usual noise is marked noisy. With
rerun_noisy it is run again at once, on the same processor and in the same
round, and the re-run's figure replaces it in that round's ratios; the
noisy run stays in the series, the provenance and the JSON, marked as
replaced. A run is re-run once at most.

The rounds stop after a fixed number, or when a stopping.Until says.

A reference of bench/check-figures (a hand loop, openssl speed) is a kind of
variant too, run the same way: a command, a folder, an environment, and how
its figure is read from what it printed.

Nothing is assumed about the generator: before any round, bench/libcrypto_info
runs under each variant's configuration, and a variant whose configuration
the library cannot apply whole, or whose generator is not the one it asked
for, stops everything with one line. So does a run that prints a failed call
or exits with a failure, a processor of the rounds that this process may no
longer use, and records in a variant's series that are not all its run's
(another writer appending to it). Ctrl-C stops between runs; SIGTERM and
SIGHUP stop the running child too where it can stop without tearing a record
(rnglab.signals). Whatever stops the rounds, each variant's provenance then
says exactly what was done.
"""

import dataclasses
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

from rnglab import files, noise, record, signals
from rnglab.errors import LabError
from rnglab.process import parse_info, progress
from rnglab.runs import (counters_of, expected_records, failure_of, fork_of, not_its_own,
                         placements_of, rate_line, rate_of)
from rnglab.variants import OPENSSL_SOURCE, probe_text

# Seconds a log of the rounds (standard error not a terminal) may stay quiet
# before it is told which variant runs.
QUIET = 30


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
    noise: object = None  # the host's noise around it (a noise.Noise); None: not recorded
    noisy: list = dataclasses.field(default_factory=list)  # the measures it was noisy on
    replaced: bool = False  # by its re-run, in its round's ratios
    rerun: bool = False  # the re-run of a noisy run
    fork: dict = None  # rand_lab --fork's finding (randlab.fork_finding), if it forked
    counters: dict = dataclasses.field(default_factory=dict)  # what its source counted


class Interrupted(LabError):
    """A stopping signal (Ctrl-C, SIGTERM, SIGHUP), taken between runs."""

    def __init__(self, message, signum=signal.SIGINT):
        super().__init__(message)
        self.signum = signum


def placed(cpu):
    """The child's affinity, set between fork and exec."""
    if cpu is None:
        return None
    return lambda: os.sched_setaffinity(0, {cpu})


def usable_cpus():
    """The processors this run may use, by number: its affinity (taskset, a
    container's cpuset), not the machine's."""
    return sorted(os.sched_getaffinity(0))


def usable_processors():
    """How many processors this run may use (usable_cpus)."""
    return len(usable_cpus())


def gone(cpu):
    """Why a run cannot be placed on cpu, if it is no longer one this
    process may use; None if it may."""
    if cpu is None or cpu in os.sched_getaffinity(0):
        return None
    return f"cpu {cpu} is no longer one this process may use (cpuset changed or processor offline)"


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
        # The probe asks OpenSSL, which another source's executable never calls.
        v.probe = probe(v) if v.source == OPENSSL_SOURCE else None
        records, v.seen = series_from(v, 0)
        v.before = len(records)
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


def series_from(v, start):
    """(the whole records in the variant's series from byte start on, the
    byte where what was read ends)."""
    if results_size(v) == 0:
        return [], 0
    try:
        with open(v.results, "rb") as series:
            series.seek(start)
            data = series.read()
    except OSError as error:
        raise LabError(f"{v.name}: cannot read {v.results}: {files.why(error)}") from error
    return record.parse(data, str(v.results)), start + len(data)


def stoppable(v):
    """Whether a run of v may be stopped part-way: rand_lab appends with
    signals held, and a command with no series has no record to tear; the
    program writes its record as it goes."""
    return v.rand_lab or v.results is None


def launch(v, cpu, stops):
    """(CompletedProcess, Noise) of one run of v placed on cpu, or (None,
    why it could not start)."""
    if gone(cpu):
        return None, gone(cpu)

    def watch(pid):
        if stops is not None:
            stops.watch(pid, stoppable(v))
    try:
        # A session of its own, so that Ctrl-C reaches the runner alone,
        # which then stops after this run rather than tearing it.
        return noise.run(v.command, cpu, watch=watch, cwd=v.folder, env=v.env,
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                         errors="replace", start_new_session=True, preexec_fn=placed(cpu))
    except subprocess.SubprocessError:  # in preexec_fn: the processor is refused
        return None, gone(cpu) or f"cannot place its run on cpu {cpu}"
    except OSError as error:
        return None, f"cannot run {v.command[0]}: {files.why(error)}"


def run_once(v, cpu=None, round_=0, stops=None):
    """One run of v, placed on cpu; its records are those it appended, its
    value the figure the variant reads from it. stops: the rounds'
    signals.Deferred, which may stop it."""
    start = results_size(v) if v.seen is None else v.seen
    first = v.before + sum(len(r.records) for r in v.runs)
    began = time.monotonic()
    done, found = launch(v, cpu, stops)
    if done is None:
        v.runs.append(Run(round_, cpu, first, [], "", failure=found))
        raise LabError(f"{v.name}: {found}")
    records, v.seen = series_from(v, start)
    for k, r in enumerate(records):
        r["index"] = first + k  # in the whole series, as tools/series counts
    run = Run(round_, cpu, first, records, done.stdout, wall=time.monotonic() - began,
              placements=placements_of(done.stdout), rate=rate_of(done.stdout), noise=found)
    v.runs.append(run)
    # --fork: a child that repeats its parent, or hangs, is a finding about
    # the generator, recorded with the run, not a failure; a hung child's
    # run appended nothing and has no figure.
    run.fork = fork_of(v, done.stdout)
    run.counters = counters_of(done.stdout) if v.rand_lab else {}
    stopped = stops is not None and stops.stopped
    foreign = not_its_own(run, expected_records(v, done.stdout,
                                                not stopped and done.returncode == 0))
    if foreign:
        run.records = []
    problems = [failure_of(v, done, stopped), foreign]
    problems += [f"{signals.name(stops.signum)} stopped it"
                 + (", its records appended" if run.records else "")] if stopped else []
    run.failure = "; ".join(p for p in problems if p) or None
    if stopped:
        return run
    if run.failure:
        raise LabError(f"{v.name}: {run.failure}")
    if v.rand_lab:
        files.append_whole(v.folder / "runs.txt", rate_line(done.stdout) + "\n")
    try:
        run.value = v.figure(run)
    except LabError as error:
        raise LabError(f"{v.name}: {error}") from error
    return run


@dataclasses.dataclass
class _Rounds:
    """What the rounds of one invocation share: which variants are placed,
    whether noisy runs are run again, the signals that stop them (a
    signals.Deferred), and every run's noise so far,
    the usual noise that a run is judged against: that of the runs placed
    as it is, on a processor or free (a free run of several threads
    migrates as a matter of course, and has no "other" processors)."""
    pinned: object
    rerun_noisy: bool
    stops: signals.Deferred
    seen: dict = dataclasses.field(default_factory=dict)
    tty: bool = dataclasses.field(default_factory=lambda: sys.stderr.isatty())
    said_at: float = dataclasses.field(default_factory=time.monotonic)

    def judged(self, run):
        """Marks the run noisy on the measures where it stands far above the
        noise of the runs placed alike before it, which it then joins."""
        if run.noise is not None:
            alike = self.seen.setdefault(run.cpu is None, [])
            alike.append(run.noise)
            run.noisy = noise.noisy_measures(alike)[-1]

    def run(self, v, cpu, number):
        """run_once, judged, and with rerun_noisy a noisy run run again at
        once, the re-run's figure then the round's."""
        with self.stops.running_one():
            run = run_once(v, cpu, number, self.stops)
        self.judged(run)
        if run.noisy and self.rerun_noisy and self.stops.signum is None:
            with self.stops.running_one():
                again = run_once(v, cpu, number, self.stops)
            again.rerun, run.replaced = True, True
            self.judged(again)

    def round(self, order, cpu, number, named, during="in"):
        """Each variant of order once, in round number, which progress lines
        call named ("interrupted {during} {named}" when a signal stops it)."""
        for k, v in enumerate(order, start=1):
            # A terminal's line is rewritten in place at every variant; a
            # log gets the round's first, and another whenever it has been
            # quiet for QUIET seconds, so that a long round shows it goes on.
            if self.tty or k == 1 or time.monotonic() - self.said_at >= QUIET:
                where = "" if cpu is None else f" on cpu {cpu}"
                line = f"{named}{where}, variant {k} of {len(order)}: {v.name}"
                progress(line.ljust(78) if self.tty else line, end="\r" if self.tty else "\n")
                self.said_at = time.monotonic()
            self.stop_if_asked(named, f"before {v.name}", during)
            self.run(v, cpu if self.pinned(v) else None, number)
            self.stop_if_asked(named, f"during {v.name}, whose run was stopped"
                               if self.stops.stopped else f"after {v.name}", during)

    def stop_if_asked(self, named, where, during="in"):
        """Interrupted if a stopping signal came, {during} round named,
        where."""
        signum = self.stops.signum
        if signum is None:
            return
        if self.tty:
            progress("")
        raise Interrupted(f"{signals.how(signum)} {during} {named}, {where}; the provenance says "
                          "what was done", signum)

    def clear(self):
        if self.tty:
            progress(" " * 78, end="\r")


def run_rounds(variants, rounds, rotate=False, cpus=None, pinned=None, until=None,
               rerun_noisy=False, what="round", during="in"):
    """run_once(v, cpu, round) for every variant once per round, each run
    judged for noise (and re-run if noisy, with rerun_noisy): rounds of
    them, or with until (a stopping.Until) as many as it says. cpus: the
    processors the rounds rotate over (None: free); pinned(v) says whether
    a variant is placed (by default, if it has one thread). With rotate,
    each round starts one variant further on, so that no variant always
    follows the same one. The progress line goes to standard error. what and
    during: a round as its lines name it, "round 2 of 3" and "interrupted
    in round 2 of 3" (the keep step's: "keeping bytes, run", "while")."""
    if until is not None:
        until.start()
    with signals.Deferred() as stops:
        state = _Rounds(pinned or (lambda v: v.threads == 1), rerun_noisy, stops)
        r = 0
        while until is not None or r < rounds:
            shift = r % len(variants) if rotate else 0
            named = until.round_text(r + 1) if until else f"{what} {r + 1} of {rounds}"
            state.round(variants[shift:] + variants[:shift], cpus[r % len(cpus)] if cpus else None,
                        r + 1, named, during)
            r += 1
            if until is not None:
                state.clear()
                stop = until.after(r)
                # A signal noted while the ratios were judged, which can take
                # seconds, stops the rounds here rather than going unheard.
                state.stop_if_asked(named, "as its ratios were judged", during)
                if stop:
                    break
        state.clear()


# --- this invocation's figures -------------------------------------------------

def counted(v):
    """This invocation's runs whose figures count: one per round, a re-run's
    in place of the noisy run it replaced."""
    return [run for run in v.runs if not run.replaced]


def per_run(v):
    """One figure per round of this invocation that has one, as a record
    that the lab's statistics accept, with the round and processor it ran
    in, and where noise was recorded whether its run was noisy or a
    re-run (stats.noise_marks counts them)."""
    return [{"median": run.value, "round": run.round, "cpu": run.cpu,
             **({} if run.noise is None else {"noisy": bool(run.noisy), "rerun": run.rerun})}
            for run in counted(v) if run.value is not None]


def run_median(v):
    """The median of per_run(v): a variant's figure for this invocation;
    None where no run has one (every fork child hung)."""
    figures = [r["median"] for r in per_run(v)]
    return float(np.median(figures)) if figures else None


def throughput(v):
    """Total calls per second of each of this invocation's rand_lab runs
    that has a figure."""
    return [run.rate for run in counted(v) if run.rate is not None and run.value is not None]


def rate_median(v):
    """The median of throughput(v), or None without one."""
    rates = throughput(v)
    return float(np.median(rates)) if rates else None
