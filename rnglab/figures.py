"""bench/check-figures: the program's figure against independent references,
all taken in the same rounds by the lab's one runner, each reference a kind
of variant; then the report as data (rows of values, ratios, targets and
verdict codes), and as text.

A ratio is taken within rounds (stats.ratio_per_round) and judged against
its target (stats.judge): met, missed or undecided; in rounds run until
decided (rnglab.stopping), by the sequential rule, which may also find a
ratio known to +/- the precision asked across an edge of its target (edge).
The targeted ratios are the ones that rule decides."""

import contextlib
import dataclasses
import re
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import numpy as np

from rnglab import noise, process, provenance, runner, sequential, stats, wine
from rnglab.report import text
from rnglab.errors import LabError
from rnglab.record import BLOCK, RESULTS_FILE
from rnglab.variants import DEFAULT_GENERATOR, Reference, local_build, variant

# (tag, the ratio's top and bottom, target) of each factor of program /
# openssl speed, in order.
FACTORS = [("a", "program", "cpuid-burst", (0.98, 1.02)),
           ("b", "cpuid-burst", "lfence-burst", None),
           ("c", "lfence-burst", "lfence-run", None),
           ("d", "lfence-run", "speed", (0.97, 1.03))]
TARGETS = {"spread": (0, 0.05), "lab": (0.98, 1.02), "floor": (0, 1.05), "time": (0, 0.05),
           "wine": (0.98, 1.02)}
# The ratios within rounds that have a target, which rounds run until decided
# decide, as progress lines name them.
DECIDES = {"a": "a (program / hand loop)", "d": "d (loop / openssl speed)",
           "lab": "program / rand_lab", "wine": "W (under Wine)"}
# A targeted ratio's verdicts that need no more rounds.
DECIDED = ("met", "missed", "edge")
# Factor b again at a small request, where a long call path pays most for
# what the CPUID trap leaves behind (docs/views.md).
SMALL_BYTES = 32
# One CPUID costs a hundred or two ticks on bare metal; above this it traps
# to a hypervisor (3,000 to 11,000 ticks on this project's VM).
CPUID_TRAP_TICKS = 1000


def key(name):
    """A figure that a hand loop prints as "NAME VALUE"."""
    def read(run):
        match = re.search(rf"^{name} (\d+)\r?$", run.output, re.MULTILINE)
        if not match:
            raise LabError(f"no {name} in: {run.output.strip()[:200]}")
        return float(match.group(1))
    return read


def last_record(run):
    if not run.records:
        raise LabError("no whole record appended")
    return float(run.records[-1]["median"])


def speed_ticks(hz):
    """openssl speed -mr's calls per second as counter ticks per call: its
    machine-readable line "+R:CALLS:rand:SECONDS", which every version
    prints alike (the text form changed: 3.5's "N rand ops in" was "N
    rand's in")."""
    def read(run):
        match = re.search(r"^\+R:(\d+):rand:([0-9.]+)\r?$", run.output, re.MULTILINE)
        if not match or int(match.group(1)) == 0:
            raise LabError("cannot read the output of openssl speed -mr: " +
                           run.output.strip()[:300])
        return hz * float(match.group(2)) / int(match.group(1))
    return read


def build_default():
    build = process.default_build()
    process.ensure_built(build, ["openssl_rng", "bench/counter_check", "bench/hand_loop",
                                 "bench/rand_lab", "bench/libcrypto_info"])
    return local_build(build)


def wine_references(work):
    # A Unix path means nothing to the Windows program: it runs with its
    # library's own default, as it would on Windows.
    program, hand = wine.executables("openssl_rng.exe", "bench/hand_loop.exe")
    env = wine.environment()
    (work / "wine").mkdir()
    return [Reference("wine-program", [wine.WINE, program], last_record, work / "wine", env,
                      results=work / "wine" / RESULTS_FILE),
            Reference("wine-hand", [wine.WINE, hand, "--fence", "cpuid"],
                      key("cpuid_fenced_median"), env=env)]


def references(build, work, seconds, hz, wine_too):
    """The references, in an order in which each factor's two sides stand
    next to each other in every round (the lab next to the program across
    the wrap), so that the host has the least time to change between them.
    Every one under the program's configuration: no system file changes the
    generator of one side only."""
    program = dataclasses.replace(variant(build, DEFAULT_GENERATOR), name="program")
    lab = dataclasses.replace(variant(build, DEFAULT_GENERATOR, None, (BLOCK, 1, False)),
                              name="lab")
    runner.prepare([program, lab], work)
    env, hand, s = program.env, str(build.folder / "bench" / "hand_loop"), f"{seconds:g}"
    refs = [program,
            Reference("cpuid-burst", [hand, "--fence", "cpuid"], key("cpuid_fenced_median"),
                      env=env),
            Reference("lfence-burst", [hand, "--fence", "lfence"], key("lfence_fenced_median"),
                      env=env),
            Reference("lfence-run", [hand, "--fence", "lfence", "--seconds", s],
                      key("lfence_continuous_mean"), env=env),
            Reference("speed", ["openssl", "speed", "-mr", "-elapsed", "-seconds", s, "-bytes",
                                str(BLOCK), "rand"], speed_ticks(hz), env=env),
            *(Reference(f"{fence}-burst-{SMALL_BYTES}",
                        [hand, "--fence", fence, "--bytes", str(SMALL_BYTES)],
                        key(f"{fence}_fenced_median"), env=env) for fence in ("cpuid", "lfence")),
            lab]
    return refs + (wine_references(work) if wine_too else [])


def time_speed(env):
    """openssl speed -seconds 1's whole process, in seconds."""
    began = time.monotonic()
    try:
        subprocess.run(["openssl", "speed", "-seconds", "1", "-bytes", str(BLOCK), "rand"], env=env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    except (OSError, subprocess.CalledProcessError) as error:
        raise LabError(f"openssl speed: {error}") from error
    return time.monotonic() - began


def measure(runs, seconds, wine_too, cpus, until=None, rerun_noisy=False):
    """The rounds (runs of them, or as many as until, a stopping.Until,
    says, deciding the targeted ratios), then the time to a result: (the
    references by name, bench/counter_check's findings, openssl speed's
    whole process in seconds, the build measured)."""
    if shutil.which("openssl") is None:
        raise LabError("openssl, the command, is not on PATH: install the openssl package")
    build = build_default()
    counter = provenance.counter(build)
    with tempfile.TemporaryDirectory() as work:
        # A missing Windows build is said here, before a Wine server starts.
        refs = references(build, Path(work), seconds, float(counter["counter_hz"]), wine_too)
        if until is not None:
            until.judge = lambda: decisions({ref.name: ref for ref in refs}, counter)
        with wine.server() if wine_too else contextlib.nullcontext():
            runner.run_rounds(refs, runs, rotate=True, cpus=cpus, until=until,
                              rerun_noisy=rerun_noisy)
    return {ref.name: ref for ref in refs}, counter, time_speed(refs[0].env), build


# --- the report as data ----------------------------------------------------------

def values(ref):
    """A reference's figure in each round."""
    return [run.value for run in runner.counted(ref)]


def ratio(refs, top, bottom):
    """top / bottom within each round, with the rounds of noisy runs and
    re-runs counted where noise was recorded."""
    return {**stats.ratio_per_round(values(refs[top]), values(refs[bottom])),
            **stats.noise_marks(runner.per_run(refs[top]), runner.per_run(refs[bottom]))}


def single(value):
    return {"median": float(value), "low": None, "high": None}


def judged(row, target):
    low, high = target
    return {**row, "target": [low, high], "verdict": stats.judge(row["ratio"], low, high)}


def program_rows(program):
    """The program's figure, its spread per processor, and each
    processor's factor: the target applies where the machine is one, since
    a processor's own factor is no spread of the figure."""
    by_cpu = {}
    for run in runner.counted(program):
        by_cpu.setdefault(run.cpu, []).append(run.value)
    rows = [{"id": "program", "runs": len(values(program)),
             "value": float(np.median(values(program)))}]
    for cpu, group in sorted(by_cpu.items(), key=lambda item: (item[0] is None, item[0])):
        group = np.array(group)
        rows.append({"id": "range", "cpu": cpu, "value": [group.min(), group.max()]})
        # One spread per processor: the verdict must say which one missed.
        tag = "1" if cpu is None else f"1 on cpu {cpu}"
        rows.append(judged({"id": "spread", "tag": tag, "cpu": cpu,
                            "ratio": single(stats.spread(group))}, TARGETS["spread"]))
    placed = sorted(c for c in by_cpu if c is not None)
    for cpu in placed[1:]:
        c = stats.reached(stats.compare([{"median": v} for v in by_cpu[placed[0]]],
                                        [{"median": v} for v in by_cpu[cpu]]))
        rows.append({"id": "processor_factor", "cpu": cpu, "base_cpu": placed[0],
                     "ratio": {"median": c["ratio"], "low": c["low"], "high": c["high"]},
                     "comparison": c})
    return rows


def small_call_rows(refs, counter):
    """Factor b at SMALL_BYTES, where the hand loops took it, and what one
    CPUID costs: whether the method bends small calls on this machine."""
    rows = []
    if f"cpuid-burst-{SMALL_BYTES}" in refs:
        rows.append({"id": "b_small", "bytes": SMALL_BYTES,
                     "ratio": ratio(refs, f"cpuid-burst-{SMALL_BYTES}",
                                    f"lfence-burst-{SMALL_BYTES}")})
    if "cpuid_ticks" in counter:
        rows.append({"id": "cpuid", "value": float(counter["cpuid_ticks"])})
    return rows


def factor_rows(refs, counter):
    """Program / openssl speed, taken apart into four factors."""
    rows = [{"id": "speed", "value": float(np.median(values(refs["speed"])))}]
    product = 1.0
    for tag, top, bottom, target in FACTORS:
        row = {"id": tag, "ratio": ratio(refs, top, bottom)}
        product *= row["ratio"]["median"]
        rows.append(judged({**row, "tag": "2" + tag}, target) if target else row)
        if tag == "b":
            rows += small_call_rows(refs, counter)
    rows += [{"id": "product", "ratio": single(product)},
             {"id": "whole", "ratio": ratio(refs, "program", "speed")},
             judged({"id": "lab", "tag": "lab", "ratio": ratio(refs, "program", "lab")},
                    TARGETS["lab"])]
    return rows


def floor_rows(refs, counter, speed_wall):
    """The method's floor and the time to a result."""
    project, inline = float(counter["floor_project"]), float(counter["floor_inline"])
    program_wall = float(np.median([run.wall for run in runner.counted(refs["program"])]))
    return [{"id": "floor_project", "value": project}, {"id": "floor_inline", "value": inline},
            judged({"id": "floor", "tag": "3", "ratio": single(project / inline)},
                   TARGETS["floor"]),
            {"id": "program_wall", "value": program_wall},
            {"id": "speed_wall", "value": speed_wall},
            judged({"id": "time", "tag": "4", "ratio": single(program_wall / speed_wall)},
                   TARGETS["time"])]


def wine_rows(refs):
    return [{"id": "wine_program", "runs": len(values(refs["wine-program"])),
             "value": float(np.median(values(refs["wine-program"])))},
            {"id": "wine_hand", "value": float(np.median(values(refs["wine-hand"])))},
            judged({"id": "wine", "tag": "W", "ratio": ratio(refs, "wine-program", "wine-hand")},
                   TARGETS["wine"]),
            {"id": "wine_native", "ratio": ratio(refs, "wine-program", "program")}]


def decisions(refs, counter):
    """The targeted ratios within rounds, each with its verdict and whether
    it needs more rounds: what rounds run until decided judge (under
    sequential.judging)."""
    rows = factor_rows(refs, counter) + (wine_rows(refs) if "wine-program" in refs else [])
    return [{"name": DECIDES[r["id"]], **{k: r["ratio"][k] for k in ("median", "low", "high")},
             "verdict": r["verdict"], "decided": r["verdict"] in DECIDED}
            for r in rows if r["id"] in DECIDES]


def report(refs, counter, speed_wall, runs, seconds, stopping=None):
    """The rows of the report, the counter's findings and the verdict;
    stopping: how rounds run until decided ended (stopping.Until.data()),
    whose design the ratios are then judged by, or None for a fixed number."""
    with sequential.judging(stopping):
        rows = program_rows(refs["program"]) + factor_rows(refs, counter) + \
            floor_rows(refs, counter, speed_wall)
        if "wine-program" in refs:
            rows += wine_rows(refs)
    tagged = {code: [r["tag"] for r in rows if r.get("verdict") == code]
              for code in ("missed", "undecided", "edge")}
    cpuid = counter.get("cpuid_ticks")
    table = {"table": "figures", "runs": runs, "seconds": seconds, "rows": rows,
             "counter": provenance.counter_data(counter), "alpha": stats.ALPHA,
             "cpuid_traps": None if cpuid is None else float(cpuid) > CPUID_TRAP_TICKS,
             "missed": tagged["missed"], "undecided": tagged["undecided"],
             "verdict": next((code for code in ("missed", "undecided", "edge") if tagged[code]),
                             "met")}
    if stopping is not None:
        table.update(stopping=stopping, edge=tagged["edge"])
    noisy = noise.table_of(refs.values())
    if noisy is not None:
        table["noise"] = noisy
    return table


# --- as text ---------------------------------------------------------------------

def labels(t, row):
    """What a row measures, in words."""
    where = "" if row.get("cpu") is None else f" on cpu {row['cpu']}"
    s = f"{t['seconds']:g}"
    return {
        "program": f"1. program: median of {text.plural(row.get('runs'), 'run median')} "
                   "(ticks)",
        "range": f"   lowest / highest run median{where}",
        "spread": f"   spread (highest - lowest) / median{where}",
        "processor_factor": f"   processor factor: program on cpu {row.get('cpu')} / cpu "
                            f"{row.get('base_cpu')}",
        "speed": f"2. openssl speed rand, ticks per call ({s} s)",
        "a": "   a. program / CPUID-fenced hand loop, bursts",
        "b": "   b. CPUID- / LFENCE-fenced hand loop, bursts",
        "b_small": f"      the same at {row.get('bytes')} B (not in the product)",
        "cpuid": "      one CPUID (bench/counter_check), ticks",
        "c": f"   c. LFENCE bursts / LFENCE loop for {s} s (mean)",
        "d": "   d. LFENCE loop (mean) / openssl speed",
        "product": "   product a x b x c x d",
        "whole": "   whole: program / openssl speed",
        "lab": f"   program / rand_lab --bytes {BLOCK} --threads 1",
        "floor_project": "3. empty interval, project reads (ticks)",
        "floor_inline": "   empty interval, same pair inlined by hand",
        "floor": "   project / hand",
        "program_wall": "4. program, whole process (s, median)",
        "speed_wall": "   openssl speed -seconds 1, whole process (s)",
        "time": "   program / openssl speed",
        "wine_program": f"W. Windows program under Wine: median of {row.get('runs')}",
        "wine_hand": "   hand-written loop, same toolchain, under Wine",
        "wine": "   program / hand loop, under Wine",
        "wine_native": "   under Wine / native Linux (not a target)",
    }[row["id"]]


def value_text(row):
    value = row.get("value")
    if value is None:
        return ""
    if isinstance(value, list):
        return " / ".join(f"{v:.0f}" for v in value)
    return f"{value:.4f}" if row["id"].endswith("_wall") else f"{value:.0f}"


def row_cells(t, row):
    target, verdict = "", ""
    if "target" in row:
        low, high = row["target"]
        target = f"<= {high:g}" if row["ratio"]["low"] is None else f"{low:g}-{high:g}"
        verdict = {"missed": "MISSED", "edge": "on the edge"}.get(row["verdict"], row["verdict"])
    if "comparison" in row:
        verdict = text.short_verdict(row["comparison"], t["alpha"], "run")
    return text.figure_cells(labels(t, row), value_text(row), row.get("ratio"), target,
                             verdict)


def verdict_line(t):
    more = "take more rounds (--runs)" if "stopping" not in t else \
        "take more rounds (a longer --max-time, or more --runs)"
    said = [f"missed {', '.join(t['missed'])}"] if t["missed"] else []
    said += [f"undecided {', '.join(t['undecided'])}"] if t["undecided"] else []
    if t.get("edge"):
        said.append(f"on the edge {', '.join(t['edge'])} (known to +/- "
                    f"{t['stopping']['precision']:g}, across an edge of the target)")
    if not said:
        return "Verdict: every target met."
    if t["undecided"] and not t["missed"]:
        return f"Verdict: {'; '.join(said)}: {more}."
    return f"Verdict: {'; '.join(said)}."


def method_lines(t):
    """How the ratios were taken and judged."""
    what = ("b is what the serialising barrier costs here, c what bursts cost against a loop "
            f"that never pauses; neither has a target. b at a small request above b at {BLOCK} B: "
            "the barrier bends small calls more (docs/views.md).")
    if "stopping" not in t:
        return text.paragraph(f"Each ratio is the median over {text.plural(t['runs'], 'round')} "
                              "of the ratio within a round, with a 95% bootstrap interval; a "
                              "target is met when the interval lies inside it.", what)
    stopping = t["stopping"]
    return [*text.paragraph(text.rounds_summary(stopping, "targeted ratio"),
                            text.first_decided(stopping)), *text.paragraph(
        f"Each ratio is the median over {text.plural(t['runs'], 'round')} of the ratio within a "
        "round.",
        text.sequential_sentence(stopping), "A target is met when the interval lies inside it, "
        "missed when it lies outside, on the edge when the interval is narrower than twice the "
        "precision yet across an edge.", what)]


def report_lines(t):
    counter = t["counter"]
    cpuid = counter.get("cpuid_ticks", "?")
    lines = [text.figure_table([row_cells(t, row) for row in t["rows"]])]
    lines += ["", f"Counter: {counter.get('counter', '?')}",
              f"  rate {counter['counter_hz'] / 1e9:.4f} GHz against CLOCK_MONOTONIC_RAW; one "
              f"CPUID costs {cpuid} ticks.", *method_lines(t)]
    if t["cpuid_traps"]:
        lines += ["  CPUID traps to a hypervisor here: b holds what the trap leaves behind "
                  "(colder caches", "  and predictors) for the call that follows. On bare metal "
                  "b and c are near 1."]
    if "noise" in t:
        lines += ["", *text.noise_lines(t["noise"], "--json FILE keeps")]
    return lines + ["", verdict_line(t)]


def report_text(t):
    return "\n".join(report_lines(t))
