"""bench/compare-openssl --quality: after the rounds, each generator
variant's bytes kept by unmeasured runs and tested as tools/quality tests a
file; the table as data, then as text.

The measured runs keep nothing: a buffer of every call's bytes slows
rand_lab's calls of 16 KiB by some 8%, which would put a step in the
variant's series."""

import dataclasses
import shutil
import tempfile
from pathlib import Path

from rnglab import files, quality, runner, text
from rnglab.errors import LabError
from rnglab.process import progress

KEPT = "kept.bin"


def companion_of(v):
    """A scratch variant that runs rand_lab --keep as v would run (the
    program's variants: RAND_bytes of one block, 1024 calls, one thread),
    appending its bytes to KEPT in v's folder and its records elsewhere."""
    kept = v.folder / KEPT
    try:
        kept.unlink(missing_ok=True)
        work = tempfile.mkdtemp(dir=v.folder, prefix=".keeping-")
    except OSError as error:
        raise LabError(f"{v.name}: cannot make room for {kept}: {files.why(error)}") from error
    companion = dataclasses.replace(v, rand_lab=True, keep=kept, folder=Path(work), runs=[],
                                    before=0)
    files.write_whole(companion.folder / "openssl.cnf", v.config)
    return companion


def keep(variants, rounds, cpus):
    """rounds unmeasured runs per generator variant, each appending to KEPT,
    which then holds this invocation's bytes alone: [(variant, the bytes
    its runs generated)]."""
    companions = []
    try:
        for v in variants:
            if not v.cipher:
                companions.append((v, companion_of(v)))
        progress(f"keeping each variant's bytes: {rounds} unmeasured run"
                 f"{'s' if rounds > 1 else ''} of bench/rand_lab --keep each", named=True)
        runner.run_rounds([c for _, c in companions], rounds, cpus=cpus)
    finally:
        for _, companion in companions:
            shutil.rmtree(companion.folder, ignore_errors=True)
    return [(v, rounds * v.threads * v.calls * v.bytes) for v, _ in companions]


def keep_and_test(variants, rounds, cpus=None):
    """bench/compare-openssl --quality, after the rounds: the table's data.
    The files are tested together, so a block two variants share is found."""
    generated = keep(variants, rounds, cpus)
    tested = [(v, size) for v, size in generated if size >= quality.BLOCK]
    progress(f"testing the bytes of {len(tested)} variant{'s' if len(tested) != 1 else ''}",
             named=True)
    results = quality.test_files([v.folder / KEPT for v, _ in tested], quality.Progress(),
                                 [size for _, size in tested])
    verdicts = {v.name: result for (v, _), result in zip(tested, results)}
    rows = []
    for v in variants:
        result = verdicts.get(v.name)
        row = {"variant": v.name, "median": runner.run_median(v), "kept_bytes": None,
               "verdict": "not-a-generator" if v.cipher else "too-few-bytes", "findings": []}
        if result is not None:
            row.update(kept_bytes=result.get("size", 0), verdict=result["verdict"],
                       findings=result.get("findings") or [result.get("error", "?")])
        rows.append(row)
    return {"table": "quality", "rounds": rounds, "rows": rows}


VERDICTS = {"not-a-generator": "not a generator", "too-few-bytes": "too few bytes to test"}


def size_text(size):
    return f"{size / 2 ** 20:.1f} MiB" if size >= 2 ** 20 else f"{size / 1024:.1f} KiB"


def lines_of(t):
    rounds = t["rounds"]
    rows = [[r["variant"], text.number(r["median"], 0),
             "" if r["kept_bytes"] is None else size_text(r["kept_bytes"]),
             VERDICTS.get(r["verdict"], r["verdict"])] for r in t["rows"]]
    lines = ["", f"Quality of each generator's bytes: after the rounds, {rounds} unmeasured "
             f"run{'s' if rounds > 1 else ''} of bench/rand_lab --keep", "per variant with its "
             "build, configuration and calls (the program's variants: RAND_bytes of 16384",
             f"bytes, 1024 calls), its bytes in VARIANT/{KEPT}, tested as tools/quality tests "
             "a file; a good", "generator fails less than once in 1,000.", "",
             text.table(["variant", "median", "kept", "quality"], rows)]
    lines += [text.wrapped(f"{r['variant']}: " + "; ".join(r["findings"]), hyphens=True)
              for r in t["rows"] if r["verdict"] == "FAIL"]
    return lines
