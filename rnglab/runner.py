"""The lab's one runner: variants, run interleaved in rounds.

Each variant has its own folder, OUT/NAME, holding its results series
(osslRb1a.txt, which grows across invocations), the configuration it ran with
(openssl.cnf) and a provenance text that says, invocation by invocation, what
it measured and on what. Rounds run every variant once, A B C ..., A B C ...,
so that whatever the machine does meanwhile touches all alike.

Nothing is assumed about the generator: before any round, bench/libcrypto_info
runs under each variant's configuration, and a variant whose configuration
the library cannot apply whole, or whose generator is not the one it asked
for, stops everything with one line. So does a run that prints a failed call.
"""

import datetime
import platform
import re
import subprocess
import sys
from pathlib import Path

import numpy as np

from rnglab import record
from rnglab.errors import LabError
from rnglab.process import parse_info, quiet_run
from rnglab.variants import probe_text

FAILED_CALL = re.compile(r"Failed--> \d+\. cycle")


def prepare(variants, out):
    """Folders, configurations and probes, before any round. Raises
    LabError on the first variant that would not measure what it asks."""
    for v in variants:
        # Absolute, because each run starts in its own folder.
        v.folder = out.resolve() / v.name
        v.folder.mkdir(parents=True, exist_ok=True)
        (v.folder / "openssl.cnf").write_text(v.config)
        # Exactly where and how the program will start.
        done = subprocess.run([str(v.build.folder / "bench" / "libcrypto_info")], env=v.env,
                              cwd=v.folder, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True, check=False)
        v.probe = parse_info(done.stdout)
        config = v.probe.get("config", "no answer from the probe")
        if config != "ok":
            raise LabError(f"{v.name}: the library cannot apply its configuration: {config}")
        if v.probe.get("drbg", "none") == "none":
            raise LabError(f"{v.name}: no generator stands behind RAND_bytes: "
                           f"{v.probe.get('drbg_error', done.stdout.strip())}")
        if v.probe.get("generate") != "ok":
            raise LabError(f"{v.name}: RAND_bytes fails: {v.probe.get('generate')}")
        if v.expected and any(v.probe.get(k) != want for k, want in v.expected.items()):
            asked = " ".join(v.expected.values())
            raise LabError(f"{v.name}: asked for {asked}, but the probe saw {probe_text(v.probe)}")
        v.before = len(records_of(v))


def records_of(v):
    """The variant's records in its series, oldest first."""
    if not v.results.exists() or v.results.stat().st_size == 0:
        return []
    return [r for r in record.parse(v.results.read_bytes(), str(v.results))
            if r["label"] == v.label]


def new_records(v):
    return records_of(v)[v.before:]


def run_once(v):
    done = subprocess.run(v.command, cwd=v.folder, env=v.env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, errors="replace", check=False)
    failed = next((line for line in done.stdout.splitlines() if FAILED_CALL.search(line)), None)
    if failed is not None:
        raise LabError(f"{v.name}: a call failed: {failed}")
    if done.returncode != 0:
        last = done.stdout.strip().splitlines()[-1:] or ["no output"]
        raise LabError(f"{v.name}: {Path(v.command[0]).name} exited with status "
                       f"{done.returncode}: {last[0]}")
    v.outputs.append(done.stdout)
    if v.args is not None:
        with open(v.folder / "runs.txt", "a", encoding="utf-8") as log:
            log.write(done.stdout.strip().splitlines()[-1] + "\n")


def run_rounds(variants, rounds, rotate=False, run=run_once):
    """run(v) for every variant once per round. With rotate, each round
    starts one variant further on, so that no variant always follows the
    same one. The progress line goes to standard error."""
    tty = sys.stderr.isatty()
    for r in range(rounds):
        shift = r % len(variants) if rotate else 0
        order = variants[shift:] + variants[:shift]
        for k, v in enumerate(order, start=1):
            if tty or k == 1:
                line = f"round {r + 1} of {rounds}, variant {k} of {len(order)}: {v.name}"
                print(line.ljust(78) if tty else line, end="\r" if tty else "\n",
                      file=sys.stderr, flush=True)
            run(v)
    if tty:
        print(" " * 78, end="\r", file=sys.stderr, flush=True)


def machine():
    """The processor, the counter and the kernel, for provenance."""
    model = "unknown"
    try:
        with open("/proc/cpuinfo", encoding="utf-8", errors="replace") as info:
            model = next((line.split(":", 1)[1].strip() for line in info
                          if line.startswith("model name")), model)
    except OSError:
        pass
    return {"processor": model, "kernel": " ".join(platform.uname()[0:3:2])}


def counter(build_):
    return parse_info(quiet_run([str(build_.folder / "bench" / "counter_check")],
                                "bench/counter_check"))


def write_provenance(variants, rounds, counter_info):
    """Appends one block per invocation to each variant's provenance.txt, so
    that a series read months later still says what each stretch measured."""
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC")
    where = machine()
    hz = float(counter_info.get("counter_hz", "nan"))
    for v in variants:
        first = v.before + 1
        lines = [
            f"== {now}: records {first} to {v.before + rounds} of {v.label} ({rounds} runs)",
            f"command: {' '.join(v.command)}",
            "configuration: openssl.cnf beside this file, as it was:",
            *("    " + line for line in v.config.splitlines()),
            f"generator asked: {v.generator}",
            "probe saw: " + ", ".join(f"{k} {v.probe.get(k)}" for k in
                                      ("drbg", "cipher", "digest", "provider") if k in v.probe),
            f"libcrypto: {v.build.info.get('version', '?')}, "
            f"{'static' if v.build.static else 'shared'}, build {v.build.name}",
            f"libcrypto flags: {v.build.info.get('cflags', '?')}",
            f"processor: {where['processor']}",
            f"counter: {counter_info.get('counter', '?')}; {hz / 1e9:.4f} GHz; "
            f"one CPUID {counter_info.get('cpuid_ticks', '?')} ticks",
            f"kernel: {where['kernel']}",
            "",
        ]
        with open(v.folder / "provenance.txt", "a", encoding="utf-8") as text:
            text.write("\n".join(lines))


def throughput(v):
    """Total calls per second of each of this invocation's rand_lab runs."""
    values = []
    for output in v.outputs:
        match = re.search(r": ([0-9.]+) calls/s", output)
        if match:
            values.append(float(match.group(1)))
    return values


def run_median(v):
    """The median of per_run(v): a variant's figure for this invocation."""
    return float(np.median([r["median"] for r in per_run(v)]))


def per_run(v):
    """One figure per run of this invocation: its record's MEDIAN, or for
    several threads the median of their records' MEDIANs, as a record that
    tools/series' statistics accept."""
    records = new_records(v)
    runs = [records[i:i + v.threads] for i in range(0, len(records), v.threads)]
    return [{"median": float(np.median([r["median"] for r in run]))} for run in runs]
