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

Nothing is assumed about the generator: before any round, bench/libcrypto_info
runs under each variant's configuration, and a variant whose configuration
the library cannot apply whole, or whose generator is not the one it asked
for, stops everything with one line. So does a run that prints a failed call
or exits with a failure. Ctrl-C stops between runs. Whatever stops the rounds,
each variant's provenance then says exactly what was done.
"""

import dataclasses
import datetime
import os
import platform
import re
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np

from rnglab import files, randlab, record
from rnglab.errors import LabError
from rnglab.process import parse_info, quiet_run
from rnglab.variants import probe_text

# The program's line for a failed call (rand_lab's are data lines).
FAILED_CALL = re.compile(r"Failed--> \d+\. cycle")


@dataclasses.dataclass
class Run:
    """One run of a variant: where it ran and the records it appended."""
    round: int
    cpu: int  # the processor it was placed on; None: free
    first: int  # the index in its file of its first record
    records: list
    output: str
    failure: str = None  # why it stopped the rounds, if it did

    @property
    def placements(self):
        """(thread, first processor, last processor, calls away) per thread."""
        return [(int(t["n"]), int(t["cpu_first"]), int(t["cpu_last"]), int(t["away"]))
                for t in randlab.parse(self.output).all("thread", process="parent")]


class Interrupted(LabError):
    """Ctrl-C, taken between runs."""


def cpu_list(text):
    """--cpus: LIST, all (those this process may run on) or free (none
    chosen: the operating system places every run)."""
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
        raise ValueError(f"a comma-separated list of processors from {allowed}, all or free, "
                         f"not {text!r}")
    return list(dict.fromkeys(cpus))


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
        # Exactly where and how the program will start.
        probe = str(v.build.folder / "bench" / "libcrypto_info")
        try:
            done = subprocess.run([probe], env=v.env, cwd=v.folder, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, text=True, errors="replace",
                                  check=False)
        except OSError as error:
            raise LabError(f"{v.name}: cannot run {probe}: {files.why(error)}") from error
        v.probe = parse_info(done.stdout)
        config = v.probe.get("config", "no answer from the probe")
        if config != "ok":
            raise LabError(f"{v.name}: the library cannot apply its configuration: {config}")
        # From 3.5 on RAND_bytes may work with no public DRBG at all: a
        # provider takes it.
        if v.probe.get("generate") != "ok":
            if v.probe.get("drbg") == "none":
                raise LabError(f"{v.name}: no generator stands behind RAND_bytes: "
                               f"{v.probe.get('drbg_error', done.stdout.strip())}")
            raise LabError(f"{v.name}: RAND_bytes fails: "
                           f"{v.probe.get('generate', done.stdout.strip())}")
        if v.expected and any(v.probe.get(k) != want for k, want in v.expected.items()):
            asked = probe_text(v.expected) if v.expected.get("path") == "provider" else \
                " ".join(want for k, want in v.expected.items() if k != "path")
            raise LabError(f"{v.name}: asked for {asked}, but the probe saw {probe_text(v.probe)}")
        v.before = len(read_results(v, 0))
        v.runs = []


def results_size(v):
    """The length of the variant's series, which must be a file or absent."""
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
    """One run of v, placed on cpu; its records are those it appended."""
    size = results_size(v)
    try:
        # A session of its own, so that Ctrl-C reaches the runner alone,
        # which then stops after this run rather than tearing it.
        done = subprocess.run(v.command, cwd=v.folder, env=v.env, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, errors="replace", check=False,
                              start_new_session=True, preexec_fn=placed(cpu))
    except (OSError, subprocess.SubprocessError) as error:
        raise LabError(f"{v.name}: cannot run {v.command[0]}: {error}") from error
    first = v.before + sum(len(r.records) for r in v.runs)
    run = Run(round_, cpu, first, read_results(v, size), done.stdout)
    v.runs.append(run)
    output = randlab.parse(done.stdout)
    if v.args is None:
        # The program's own lines, which stay as they are.
        failed = next((line for line in done.stdout.splitlines() if FAILED_CALL.search(line)),
                      None)
        said = (done.stdout.strip().splitlines()[-1:] or ["no output"])[0]
    else:
        failed = output.first_message() if output.first("failed") else None
        said = output.first_message()
    if failed is not None:
        run.failure = f"a call failed: {failed}"
    elif done.returncode != 0:
        run.failure = f"{Path(v.command[0]).name} exited with status {done.returncode}: {said}"
    if run.failure:
        raise LabError(f"{v.name}: {run.failure}")
    if v.args is not None:
        rates = output.lines("rate", process="parent")
        files.append_whole(v.folder / "runs.txt", (rates[0].text if rates else "") + "\n")
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


def run_rounds(variants, rounds, rotate=False, run=run_once, cpus=None, pinned=None):
    """run(v, cpu, round) for every variant once per round. cpus: the
    processors the rounds rotate over (None: free); pinned(v) says whether a
    variant is placed (by default, if it has one thread). With rotate, each
    round starts one variant further on, so that no variant always follows
    the same one. The progress line goes to standard error."""
    pinned = pinned or (lambda v: getattr(v, "threads", 1) == 1)
    tty = sys.stderr.isatty()
    with _CtrlC() as ctrl_c:
        for r in range(rounds):
            shift = r % len(variants) if rotate else 0
            order = variants[shift:] + variants[:shift]
            cpu = cpus[r % len(cpus)] if cpus else None
            for k, v in enumerate(order, start=1):
                if tty or k == 1:
                    where = "" if cpu is None else f" on cpu {cpu}"
                    line = f"round {r + 1} of {rounds}{where}, variant {k} of {len(order)}: {v.name}"
                    print(line.ljust(78) if tty else line, end="\r" if tty else "\n",
                          file=sys.stderr, flush=True)
                run(v, cpu if pinned(v) else None, r + 1)
                if ctrl_c.pressed:
                    if tty:
                        print(file=sys.stderr)
                    raise Interrupted(f"interrupted in round {r + 1} of {rounds}, after "
                                      f"{v.name}; the provenance says what was done")
    if tty:
        print(" " * 78, end="\r", file=sys.stderr, flush=True)


def read_text(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as text:
            return text.read()
    except OSError:
        return ""


def machine():
    """The processors, each logical one's model and, on a hybrid processor,
    its core type, and the kernel, for provenance."""
    models, number = {}, None
    for line in read_text("/proc/cpuinfo").splitlines():
        key, _, value = line.partition(":")
        if key.strip() == "processor":
            number = int(value)
        elif key.strip() == "model name" and number is not None:
            models[number] = value.strip()
    kinds = {}
    for kind, name in (("cpu_core", "performance"), ("cpu_atom", "efficiency")):
        for cpu in expand(read_text(f"/sys/devices/{kind}/cpus").strip()):
            kinds[cpu] = name
    by_model = {}
    for cpu, model in sorted(models.items()):
        by_model.setdefault(model + (f", {kinds[cpu]} core" if cpu in kinds else ""),
                            []).append(cpu)
    processors = "; ".join(f"cpu {','.join(map(str, cpus))}: {model}"
                           for model, cpus in by_model.items()) or "unknown"
    return {"processor": processors, "kernel": " ".join(platform.uname()[0:3:2])}


def expand(text):
    """A kernel's CPU list, "0-3,8", as numbers."""
    cpus = []
    for part in filter(None, text.split(",")):
        low, _, high = part.partition("-")
        cpus += range(int(low), int(high or low) + 1)
    return cpus


def counter(build_):
    return parse_info(quiet_run([str(build_.folder / "bench" / "counter_check")],
                                "bench/counter_check"))


def run_line(run):
    """What one run did, for provenance."""
    where = "free" if run.cpu is None else f"cpu {run.cpu}"
    if run.records:
        what = (f"record {run.first}" if len(run.records) == 1 else
                f"records {run.first} to {run.first + len(run.records) - 1}")
    else:
        what = "no record"
    line = f"  round {run.round}, {where}: {what}"
    threads = run.placements
    if threads:
        line += "; threads " + ", ".join(
            f"{t} cpu {a}" + (f" to {b}" if b != a else "") + (f" ({m} calls away)" if m else "")
            for t, a, b, m in threads)
    if run.failure:
        line += f"; stopped the rounds: {run.failure}"
    return line


def write_provenance(variants, counter_info, started):
    """Appends one block per invocation to each variant's provenance.txt,
    written after its runs, so that it names exactly the records they
    appended (by their index in osslRb1a.txt, as tools/series counts them)
    and where each ran: a series read months later still says what each
    stretch measured."""
    now = now_text()
    where = machine()
    hz = float(counter_info.get("counter_hz", "nan"))
    for v in variants:
        if v.folder is None:
            continue
        appended = sum(len(r.records) for r in v.runs)
        if appended:
            claim = (f"records {v.before} to {v.before + appended - 1} of osslRb1a.txt "
                     f"({len(v.runs)} runs)")
        else:
            claim = f"no record appended ({len(v.runs)} runs)"
        lines = [
            f"== {started} to {now}: {claim}",
            *(run_line(run) for run in v.runs),
            f"command: {' '.join(v.command)}",
            "configuration: openssl.cnf beside this file, as it was:",
            *("    " + line for line in v.config.splitlines()),
            f"generator asked: {v.generator}",
            "probe saw: " + ", ".join(f"{k} {v.probe.get(k)}" for k in
                                      ("path", "drbg", "cipher", "digest", "provider",
                                       "random_provider")
                                      if v.probe and k in v.probe),
            f"libcrypto: {v.build.info.get('version', '?')}, "
            f"{'static' if v.build.static else 'shared'}, build {v.build.name}",
            f"libcrypto flags: {v.build.info.get('cflags', '?')}",
            *([f"source: {v.source} {v.source_version}"] if v.source_version else []),
            f"processors: {where['processor']}",
            f"counter: {counter_info.get('counter', '?')}; {hz / 1e9:.4f} GHz; "
            f"one CPUID {counter_info.get('cpuid_ticks', '?')} ticks",
            f"kernel: {where['kernel']}",
            "",
        ]
        files.append_whole(v.folder / "provenance.txt", "\n".join(lines) + "\n")


def now_text():
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC")


def new_records(v):
    """The records this invocation's runs of v appended, oldest first."""
    return [r for run in v.runs for r in run.records]


def throughput(v):
    """Total calls per second of each of this invocation's rand_lab runs."""
    values = []
    for run in v.runs:
        rate = randlab.parse(run.output).first("rate", process="parent")
        if rate:
            values.append(float(rate["calls_per_s"]))
    return values


def run_median(v):
    """The median of per_run(v): a variant's figure for this invocation."""
    return float(np.median([r["median"] for r in per_run(v)]))


def per_run(v):
    """One figure per run of this invocation: its record's MEDIAN, or for
    several threads the median of their records' MEDIANs, as a record that
    the lab's statistics accept, with the round and processor it ran in."""
    return [{"median": float(np.median([r["median"] for r in run.records])),
             "round": run.round, "cpu": run.cpu} for run in v.runs if run.records]
