"""Checks the program's figure against independent references on this
machine, all taken in the same rounds, and says whether to trust it.

Each round takes every reference once, in an order that rotates from round
to round, so that whatever the host does meanwhile lands on every side:

  program      the program, one run (1024 calls) in its own series folder
  lab          bench/rand_lab --bytes 16384 --threads 1, the same method
  cpuid-burst  a hand-written loop of 1024 calls, fenced as the program
               fences them (CPUID), sharing no code with it
  lfence-burst the same loop fenced with LFENCE
  lfence-run   the LFENCE loop without a pause for as long as openssl speed
               runs (--seconds)
  speed        openssl speed -elapsed -seconds S -bytes 16384 rand, turned
               into counter ticks per call at the counter's measured rate

Every ratio is taken per round and reported as the median over the rounds
with a 95% bootstrap interval (tools/series' statistics). A target is met
when the interval lies inside it, missed when it lies outside, and
undecided otherwise: take more rounds. Program against openssl speed is the
product of four factors, each like against like: the program against the
CPUID-fenced hand loop (its fidelity to its method), CPUID against LFENCE
fences (what the prescribed barrier costs here), bursts against a
continuous loop (the duty cycle), and the continuous loop against openssl
speed (an independent implementation agreeing with ours).

It also checks the floor of the method (an empty fenced interval, the
project's reads against the same pair written inline) and the program's
time to a result against openssl speed -seconds 1. With --wine it adds the
Windows program and the hand loop built by the same toolchain, under Wine,
to the rounds (run tools/windows-check first). A benchmark, not a test: it
fails when it cannot measure, never on a figure.
"""

import argparse
import dataclasses
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from rnglab import process, randlab, record, runner, stats, text
from rnglab.errors import LabError
from rnglab.variants import DEFAULT_GENERATOR, local_build, variant

ROOT = process.ROOT
WINE = "/usr/lib/wine/wine64"


@dataclasses.dataclass
class Reference:
    """One reference of a round: a command, and how to read its figure in
    TSC ticks per call from what it printed."""
    name: str
    command: list
    read: object
    cwd: Path = None
    env: dict = None
    values: list = dataclasses.field(default_factory=list)
    walls: list = dataclasses.field(default_factory=list)
    cpus: list = dataclasses.field(default_factory=list)  # where each value was taken


def key(name):
    def read(text, _ref):
        match = re.search(rf"^{name} (\d+)\r?$", text, re.MULTILINE)
        if not match:
            raise LabError(f"no {name} in: {text.strip()[:200]}")
        return float(match.group(1))
    return read


def record_median(text, ref):
    if runner.FAILED_CALL.search(text):
        raise LabError(f"{ref.name}: a call failed")
    try:
        records = record.parse((ref.cwd / "osslRb1a.txt").read_bytes(), "osslRb1a.txt")
    except OSError as error:
        raise LabError(f"{ref.name}: cannot read its osslRb1a.txt: {error.strerror}") from error
    if not records:
        raise LabError(f"{ref.name}: no whole record in its osslRb1a.txt")
    return float(records[-1]["median"])


def lab_median(text, ref):
    """record_median for rand_lab, whose failed calls are data lines."""
    output = randlab.parse(text)
    if output.first("failed"):
        raise LabError(f"{ref.name}: a call failed: {output.first_message()}")
    return record_median(text, ref)


def speed_ticks(hz):
    def read(text, _ref):
        match = re.search(r"Doing rand .*: (\d+) rand's in ([0-9.]+)s", text)
        if not match:
            raise LabError("cannot read the output of openssl speed: " + text.strip()[:300])
        return hz * float(match.group(2)) / int(match.group(1))
    return read


def measure(ref, cpu=None, _round=0):
    """One value of ref, taken on cpu (None: wherever the system puts it)."""
    start = time.monotonic()
    try:
        done = subprocess.run(ref.command, cwd=ref.cwd, env=ref.env, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, errors="replace", check=False,
                              start_new_session=True, preexec_fn=runner.placed(cpu))
    except (OSError, subprocess.SubprocessError) as error:
        raise LabError(f"{ref.name}: cannot run {ref.command[0]}: {error}") from error
    ref.walls.append(time.monotonic() - start)
    ref.cpus.append(cpu)
    if done.returncode != 0:
        raise LabError(f"{ref.name}: {' '.join(ref.command)} exited with status "
                       f"{done.returncode}: {done.stdout.strip()[-300:]}")
    ref.values.append(ref.read(done.stdout, ref))


def build_default():
    build = ROOT / "build"
    needed = ["openssl_rng", "bench/counter_check", "bench/hand_loop", "bench/rand_lab",
              "bench/libcrypto_info"]
    if not all((build / n).exists() for n in needed):
        process.quiet_run(["cmake", "-S", str(ROOT), "-B", str(build),
                           "-DCMAKE_BUILD_TYPE=Release"], "configuring build/")
        process.quiet_run(["cmake", "--build", str(build), "-j2"], "building build/")
    return local_build(build)


def ratio(top, bottom):
    """Per round, with its median and 95% bootstrap interval."""
    per_round = np.array(top.values) / np.array(bottom.values)
    mid, low, high = stats.median_interval(per_round)
    return {"median": mid, "low": low, "high": high}


def judge(r, low, high):
    if r["low"] is None:
        inside = low <= r["median"] <= high
        return "met" if inside else "MISSED"
    if low <= r["low"] and r["high"] <= high:
        return "met"
    if r["high"] < low or r["low"] > high:
        return "MISSED"
    return "undecided"


def row(label, value="", r=None, target="", verdict=""):
    interval = "" if r is None or r["low"] is None else f"{r['low']:.3f}-{r['high']:.3f}"
    shown = f"{r['median']:.3f}" if r is not None else ""
    return f"{label:<50} {value:>13} {shown:>7} {interval:>12} {target:>10}  {verdict}"


def main(argv=None):
    parser = argparse.ArgumentParser(prog="check-figures", description=__doc__.split("\n\n")[0],
                                     epilog=__doc__.split("\n\n", 1)[1],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=10, metavar="N", help="rounds (10)")
    parser.add_argument("--seconds", type=int, default=1, metavar="S",
                        help="whole seconds of openssl speed and of the continuous loop per "
                        "round (1)")
    parser.add_argument("--wine", action="store_true",
                        help="the Windows program under Wine as well")
    parser.add_argument("--cpus", default="all", metavar="LIST|all|free",
                        help="the processors that rounds rotate over, every reference of a "
                        "round on the round's one (all: every processor this process may use; "
                        "free: the system places each run)")
    args = parser.parse_args(argv)
    try:
        args.cpus = runner.cpu_list(args.cpus)
    except ValueError as error:
        parser.error(f"argument --cpus: {error}")
    if args.runs < 2:
        parser.error("--runs needs at least 2: the ratios are taken per round")
    if not 1 <= args.seconds <= 60:
        parser.error("--seconds is a whole number from 1 to 60")
    try:
        return check(args)
    except runner.Interrupted as error:
        print(f"check-figures: {error}", file=sys.stderr)
        return 130
    except LabError as error:
        print(f"check-figures: {error}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        return process.reader_gone()
    except KeyboardInterrupt:
        print("check-figures: interrupted", file=sys.stderr)
        return 130


def check(args):
    if shutil.which("openssl") is None:
        raise LabError("openssl, the command, is not on PATH: install the openssl package")
    build = build_default()
    counter = runner.counter(build)
    hz = float(counter["counter_hz"])
    with tempfile.TemporaryDirectory() as work:
        work = Path(work)
        program = variant(build, DEFAULT_GENERATOR)
        lab_16k = variant(build, DEFAULT_GENERATOR, None, (16384, 1, False))
        runner.prepare([program, lab_16k], work)
        # Every reference under the same configuration: no system file
        # changes the generator of one side only.
        env = program.env
        hand = str(build.folder / "bench" / "hand_loop")
        seconds = f"{args.seconds:g}"
        # In this order each factor's two sides stand next to each other in
        # every round (the lab next to the program across the wrap), so that
        # the host has the least time to change between them.
        refs = {
            "program": Reference("program", program.command, record_median, program.folder, env),
            "cpuid-burst": Reference("cpuid-burst", [hand, "--fence", "cpuid"],
                                     key("cpuid_fenced_median"), env=env),
            "lfence-burst": Reference("lfence-burst", [hand, "--fence", "lfence"],
                                      key("lfence_fenced_median"), env=env),
            "lfence-run": Reference("lfence-run", [hand, "--fence", "lfence", "--seconds", seconds],
                                    key("lfence_continuous_mean"), env=env),
            "speed": Reference("speed", ["openssl", "speed", "-elapsed", "-seconds", seconds,
                                         "-bytes", "16384", "rand"], speed_ticks(hz), env=env),
            "lab": Reference("lab", lab_16k.command, lab_median, lab_16k.folder, env),
        }
        if args.wine:
            windows = ROOT / "build-windows"
            if not (windows / "openssl_rng.exe").exists() or \
                    not (windows / "bench" / "hand_loop.exe").exists():
                raise LabError("no Windows build: run tools/windows-check first")
            # A Unix path means nothing to the Windows program: it runs with
            # its library's own default, as it would on Windows.
            wine_env = {**os.environ, "WINEDEBUG": "-all",
                        "WINEPREFIX": str(windows / "wine-prefix")}
            (work / "wine").mkdir()
            refs["wine-program"] = Reference("wine-program", [WINE, str(windows / "openssl_rng.exe")],
                                             record_median, work / "wine", wine_env)
            refs["wine-hand"] = Reference("wine-hand", [WINE, str(windows / "bench" / "hand_loop.exe"),
                                                        "--fence", "cpuid"],
                                          key("cpuid_fenced_median"), env=wine_env)
        runner.run_rounds(list(refs.values()), args.runs, rotate=True, run=measure,
                          cpus=args.cpus)

    # Time to a result: the whole process of each, once the rounds are done.
    start = time.monotonic()
    try:
        subprocess.run(["openssl", "speed", "-seconds", "1", "-bytes", "16384", "rand"], env=env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    except (OSError, subprocess.CalledProcessError) as error:
        raise LabError(f"openssl speed: {error}") from error
    speed_wall = time.monotonic() - start
    report(args, refs, counter, hz, speed_wall)
    return 0


def report(args, refs, counter, hz, speed_wall):
    p = refs["program"]
    mid = float(np.median(p.values))
    factors = [
        ("a. program / CPUID-fenced hand loop, bursts", "program", "cpuid-burst", (0.98, 1.02)),
        ("b. CPUID- / LFENCE-fenced hand loop, bursts", "cpuid-burst", "lfence-burst", None),
        (f"c. LFENCE bursts / LFENCE loop for {args.seconds:g} s (mean)", "lfence-burst",
         "lfence-run", None),
        ("d. LFENCE loop (mean) / openssl speed", "lfence-run", "speed", (0.97, 1.03)),
    ]
    missed, undecided = [], []
    lines = [f"{'figure':<50} {'value':>13} {'ratio':>7} {'95% CI':>12} {'target':>10}  verdict"]

    def judged(tag, label, r, low, high):
        """A ratio against its target; a single value (no interval) has an
        upper bound only."""
        verdict = judge(r, low, high)
        if verdict == "MISSED":
            missed.append(tag)
        elif verdict == "undecided":
            undecided.append(tag)
        target = f"<= {high:g}" if r["low"] is None else f"{low:g}-{high:g}"
        lines.append(row(label, "", r, target, verdict))

    def single(value):
        return {"median": value, "low": None}

    lines.append(row(f"1. program: median of {args.runs} run medians (ticks)", f"{mid:.0f}"))
    by_cpu = {}
    for value, cpu in zip(p.values, p.cpus):
        by_cpu.setdefault(cpu, []).append(value)
    # The target applies where the machine is one: per processor, since a
    # processor's own factor is no spread of the figure.
    for cpu, group in sorted(by_cpu.items(), key=lambda item: (item[0] is None, item[0])):
        group = np.array(group)
        where = "" if cpu is None else f" on cpu {cpu}"
        lines.append(row(f"   lowest / highest run median{where}",
                         f"{group.min():.0f} / {group.max():.0f}"))
        judged("1", f"   spread (highest - lowest) / median{where}",
               single((group.max() - group.min()) / np.median(group)), 0, 0.05)
    placed = sorted(c for c in by_cpu if c is not None)
    for cpu in placed[1:]:
        c = stats.compare([{"median": v} for v in by_cpu[placed[0]]],
                          [{"median": v} for v in by_cpu[cpu]])
        lines.append(row(f"   processor factor: program on cpu {cpu} / cpu {placed[0]}", "",
                         {"median": c["ratio"], "low": c["low"], "high": c["high"]}, "",
                         text.short_verdict(c, "runs")))
    speed = float(np.median(refs["speed"].values))
    lines.append(row(f"2. openssl speed rand, ticks per call ({args.seconds:g} s)", f"{speed:.0f}"))
    product = 1.0
    for label, top, bottom, target in factors:
        r = ratio(refs[top], refs[bottom])
        product *= r["median"]
        if target:
            judged("2" + label[0], "   " + label, r, *target)
        else:
            lines.append(row("   " + label, "", r, "", ""))
    whole = ratio(p, refs["speed"])
    lines.append(row("   product a x b x c x d", "", single(product)))
    lines.append(row("   whole: program / openssl speed", "", whole))
    cross = ratio(p, refs["lab"])
    judged("lab", "   program / rand_lab --bytes 16384 --threads 1", cross, 0.98, 1.02)

    floor_project, floor_inline = float(counter["floor_project"]), float(counter["floor_inline"])
    lines.append(row("3. empty interval, project reads (ticks)", f"{floor_project:.0f}"))
    lines.append(row("   empty interval, same pair inlined by hand", f"{floor_inline:.0f}"))
    judged("3", "   project / hand", single(floor_project / floor_inline), 0, 1.05)
    program_wall = float(np.median(p.walls))
    lines.append(row("4. program, whole process (s, median)", f"{program_wall:.4f}"))
    lines.append(row("   openssl speed -seconds 1, whole process (s)", f"{speed_wall:.4f}"))
    judged("4", "   program / openssl speed", single(program_wall / speed_wall), 0, 0.05)
    if args.wine:
        w = float(np.median(refs["wine-program"].values))
        lines.append(row(f"W. Windows program under Wine: median of {args.runs}", f"{w:.0f}"))
        lines.append(row("   hand-written loop, same toolchain, under Wine",
                         f"{float(np.median(refs['wine-hand'].values)):.0f}"))
        judged("W", "   program / hand loop, under Wine",
               ratio(refs["wine-program"], refs["wine-hand"]), 0.98, 1.02)
        lines.append(row("   under Wine / native Linux (not a target)", "",
                         ratio(refs["wine-program"], p)))

    cpuid = counter.get("cpuid_ticks", "?")
    lines += ["", f"Counter: {counter.get('counter', '?')}",
              f"  rate {hz / 1e9:.4f} GHz against CLOCK_MONOTONIC_RAW; one CPUID costs {cpuid} "
              "ticks.",
              f"Each ratio is the median over {args.runs} rounds of the ratio within a round, with "
              "a 95% bootstrap", "interval; a target is met when the interval lies inside it. "
              "b is what the serialising barrier", "costs here, c what bursts cost against a "
              "loop that never pauses; neither has a target."]
    if cpuid != "?" and float(cpuid) > 1000:
        lines += ["  CPUID traps to a hypervisor here: b holds what the trap leaves behind "
                  "(colder caches", "  and predictors) for the call that follows. On bare metal "
                  "b and c are near 1."]
    lines.append("")
    if missed:
        lines.append("Verdict: missed " + ", ".join(missed) +
                     (f"; undecided {', '.join(undecided)}" if undecided else "") + ".")
    elif undecided:
        lines.append(f"Verdict: undecided {', '.join(undecided)}: take more rounds (--runs).")
    else:
        lines.append("Verdict: every target met.")
    print("\n".join(lines))

