"""bench/compare-openssl --quality, after the rounds: each generator
variant's bytes kept by unmeasured runs and tested as tools/quality tests a
file; the table as data, then as text.

The measured runs keep nothing: a buffer of every call's bytes slows
rand_lab's calls of 16 KiB by some 8%, which would put a step in the
variant's series.

The step is the comparison's last: when it stops (a disk full while
keeping, a failed run, Ctrl-C) the table says so and the rounds' tables are
printed all the same (Stopped carries it to the command), no kept file that
the step did not finish is left, and each variant's provenance says what
its keep runs did."""

import dataclasses
import shutil
import tempfile
from pathlib import Path

from rnglab import files, provenance, quality, runner, signals
from rnglab.report import text
from rnglab.errors import LabError
from rnglab.process import progress, warn
from rnglab.report.text import plural
from rnglab.record import BLOCK
from rnglab.units import LAYOUT_SUFFIX

KEPT = "kept.bin"


class Stopped(Exception):
    """The keep step stopped: error, as the command is to end, and the
    quality table that says so."""

    def __init__(self, error, table):
        super().__init__(str(error))
        self.error, self.table = error, table


def kept_files(v):
    """KEPT in v's folder and its layout."""
    return [v.folder / KEPT, v.folder / (KEPT + LAYOUT_SUFFIX)]


def remove_kept(v):
    for path in kept_files(v):
        path.unlink(missing_ok=True)


def remove_unfinished(v):
    """KEPT of a step that stopped: never left to be taken for a whole one."""
    try:
        remove_kept(v)
    except OSError as error:
        warn(f"cannot remove {v.folder / KEPT}, which the step did not finish: "
             f"{files.why(error)}")


def companion_of(v):
    """A scratch variant that runs rand_lab --keep as v would run (the
    program's variants: RAND_bytes of one block, 1024 calls, one thread),
    appending its bytes to KEPT in v's folder and its records elsewhere."""
    try:
        remove_kept(v)
        work = tempfile.mkdtemp(dir=v.folder, prefix=".keeping-")
    except OSError as error:
        raise LabError(f"{v.name}: cannot make room for {v.folder / KEPT}: "
                       f"{files.why(error)}") from error
    companion = dataclasses.replace(v, rand_lab=True, keep=v.folder / KEPT, folder=Path(work),
                                    runs=[], before=0)
    files.write_whole(companion.folder / "openssl.cnf", v.config)
    return companion


def run_text(run):
    where = "free" if run.cpu is None else f"cpu {run.cpu}"
    return f"  keep run {run.round}, {where}" + (f"; stopped: {run.failure}" if run.failure else "")


def note_keeping(pairs, started, outcome):
    """Each variant's keep runs, appended to its provenance: unmeasured, their
    records in a scratch folder since removed, their bytes in KEPT."""
    now = provenance.now_text()
    for v, companion in pairs:
        lines = [f"== {started} to {now}: {plural(len(companion.runs), 'unmeasured run')} of "
                 f"bench/rand_lab --keep {KEPT} after the rounds: {outcome}",
                 *(run_text(run) for run in companion.runs),
                 f"command: {' '.join(companion.command)}", ""]
        files.append_whole(v.folder / "provenance.txt", "\n".join(lines) + "\n")


def keep(variants, rounds, cpus):
    """rounds unmeasured runs per generator variant, each appending to KEPT,
    which then holds this invocation's bytes alone: [(variant, the bytes its
    runs generated, its keep runs)]. Whatever stops them, no KEPT is left
    and the provenance says what was done."""
    pairs, started, finished = [], provenance.now_text(), False
    try:
        for v in variants:
            if not v.cipher:
                pairs.append((v, companion_of(v)))
        progress(f"keeping each variant's bytes: {plural(rounds, 'unmeasured run')} of "
                 "bench/rand_lab --keep each", named=True)
        # The keep step's own words in the runner's lines (progress and
        # interruption), told apart from the measured rounds'.
        runner.run_rounds([c for _, c in pairs], rounds, cpus=cpus,
                          what="keeping bytes, run", during="while")
        finished = True
    finally:
        for v, companion in pairs:
            shutil.rmtree(companion.folder, ignore_errors=True)
            if not finished:
                remove_unfinished(v)
        try:
            note_keeping(pairs, started,
                         f"{KEPT} kept" if finished else f"stopped, {KEPT} removed")
        except LabError as error:
            if finished:
                raise
            warn(str(error))    # what stopped the step is the line to end with
    return [(v, rounds * v.threads * v.calls * v.bytes, c.runs) for v, c in pairs]


def keep_runs_data(runs):
    return [{"round": r.round, "cpu": r.cpu, "wall": r.wall, "failure": r.failure}
            for r in runs]


def rows_of(variants, verdicts, generated):
    rows = []
    for v in variants:
        result = verdicts.get(v.name)
        row = {"variant": v.name, "median": runner.run_median(v), "kept_bytes": None,
               "verdict": "not-a-generator" if v.cipher else "too-few-bytes", "findings": [],
               "keep_runs": keep_runs_data(generated.get(v.name, []))}
        if result is not None:
            row.update(kept_bytes=result.get("size", 0), verdict=result["verdict"],
                       findings=result.get("findings") or [result.get("error", "?")])
        rows.append(row)
    return rows


def stopped_table(variants, rounds, error):
    rows = [{"variant": v.name, "median": runner.run_median(v), "kept_bytes": None,
             "verdict": "not-a-generator" if v.cipher else "not-tested", "findings": [],
             "keep_runs": []} for v in variants]
    return {"table": "quality", "rounds": rounds, "rows": rows,
            "stopped": " ".join(str(error).split())}


def test_kept(generated):
    """The kept files tested together, so that a unit two variants share is
    found: {variant name: result}."""
    tested = [(v, size) for v, size, _ in generated if size >= BLOCK]
    progress(f"testing the bytes of {plural(len(tested), 'variant')}", named=True)
    results = quality.test_files([v.folder / KEPT for v, _ in tested], quality.Progress(),
                                 [size for _, size in tested])
    return {v.name: result for (v, _), result in zip(tested, results)}


def keep_and_test(variants, rounds, cpus=None):
    """bench/compare-openssl --quality, after the rounds: the table's data;
    Stopped, with a table that says why, when the step cannot finish."""
    # Ctrl-C between the keep runs is the runner's to name, with the run.
    doing = "keeping bytes"
    try:
        generated = keep(variants, rounds, cpus)
        doing = f"testing the kept bytes; they are in each variant's {KEPT}"
        verdicts = test_kept(generated)
    except (LabError, KeyboardInterrupt) as error:
        if isinstance(error, KeyboardInterrupt):
            signum = signals.signum_of(error)
            error = runner.Interrupted(f"{signals.how(signum)} while {doing}", signum)
        raise Stopped(error, stopped_table(variants, rounds, error)) from None
    return {"table": "quality", "rounds": rounds,
            "rows": rows_of(variants, verdicts, {v.name: runs for v, _, runs in generated})}


VERDICTS = {"not-a-generator": "not a generator", "too-few-bytes": "too few bytes to test",
            "not-tested": "not tested"}


def size_text(size):
    return f"{size / 2 ** 20:.1f} MiB" if size >= 2 ** 20 else f"{size / 1024:.1f} KiB"


def lines_of(t):
    rounds = t["rounds"]
    rows = [[r["variant"], text.number(r["median"], 0),
             "" if r["kept_bytes"] is None else size_text(r["kept_bytes"]),
             VERDICTS.get(r["verdict"], r["verdict"])] for r in t["rows"]]
    lines = ["", f"Quality of each generator's bytes: after the rounds, "
             f"{plural(rounds, 'unmeasured run')} of bench/rand_lab --keep", "per variant with "
             f"its build, configuration and calls (the program's variants: RAND_bytes of {BLOCK}",
             f"bytes, 1024 calls), its bytes in VARIANT/{KEPT}, tested as tools/quality tests "
             "a file; a good", "generator fails less than once in 1,000.", "",
             text.table(["variant", "median", "kept", "quality"], rows)]
    if t.get("stopped"):
        lines.append(text.wrapped(f"The step stopped: {t['stopped']}", first="", rest=""))
    lines += [text.wrapped(f"{r['variant']}: " + "; ".join(r["findings"]), hyphens=True)
              for r in t["rows"] if r["verdict"] == "FAIL"]
    return lines
