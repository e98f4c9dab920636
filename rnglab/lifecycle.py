"""What a call costs over a process's life, from rand_lab's samples: the
first call, the periodic reseeds, a fork child's first call, and the tail.

A record keeps the median and the average of a run's calls; rand_lab
--samples keeps every call's count (thread,call,ticks lines, the fork
child's threads numbered on from the parent's). From those, per variant:

  percentiles  p50, p90, p99, p99.9 and the maximum of every call of every
               run pooled, and how many calls took more than 10 times the
               median;
  first call   call 0 of each run (where the generator is set up and
               seeded), the median over runs, against the median of the
               other calls;
  reseeds      calls far above the median that recur at one period: every
               per-thread DRBG reseeds after a fixed number of generate
               calls, so its spikes fall at the same call indices in every
               run and every thread, while an interrupt's fall anywhere. The
               period, not the size, tells them apart;
  fork         the fork child's call 0 (it finds the fork and reseeds)
               against the parent's median.
"""

import warnings

import numpy as np

from rnglab import documented, forksafety, reseeds, stats
from rnglab.report import plots, text
from rnglab.errors import LabError
from rnglab.files import why
from rnglab.process import progress
from rnglab.variants import DEFAULT_GENERATOR, OPENSSL_SOURCE, variant

SAMPLES = "samples.csv"
HEADER = b"thread,call,ticks\n"
# Bytes of text read and parsed at once.
PIECE = 1 << 24
# The builds a lifecycle comparison measures, and what it measures there:
# 16-byte calls (the figures in OpenSSL's discussions of reseeding), and
# enough calls that one thread passes three of its reseeds, 65,535 calls apart.
BUILDS = ["1.1.1-static", "3.0-static", "newest-3-static", "system-shared"]
BYTES = 16
CALLS = 262144
PERCENTILES = (50, 90, 99, 99.9)
TAIL_FACTOR = 10
# The most groups of calls a run's trace has: a picture of every call of
# 262,144 drawn as lines would be megabytes.
TRACE_GROUPS = 512


def variants_of(builds, sizes, threads, calls):
    """The lifecycle's variants: rand_lab on each build at each size and
    thread count, a fork child after the parent, every count kept."""
    made = []
    for b in builds.values():
        for n in sizes:
            for t in threads:
                made.append(keep_samples(variant(b, DEFAULT_GENERATOR, None, (n, t, False), calls,
                                                 fork=True)))
    return made


def keep_samples(v):
    """Has the variant's runs keep every call's count."""
    v.samples = SAMPLES
    return v


def mark(variants):
    """Where each variant's samples file ends before the rounds: what
    follows is this invocation's."""
    for v in variants:
        if v.samples:
            try:
                v.samples_from = (v.folder / v.samples).stat().st_size
            except FileNotFoundError:
                v.samples_from = 0
            except OSError as error:
                raise LabError(f"{v.name}: cannot read {v.folder / v.samples}: "
                               f"{why(error)}") from error


def parse(stream, threads, calls, name):
    """thread,call,ticks lines read from a binary stream, as
    counts[run, thread, call]; each run is threads x calls lines, thread by
    thread and call by call. Read a piece at a time, so that what is held
    is the counts (8 bytes each) and one piece of text."""
    refused = LabError(f"{name}: not whole runs of thread,call,ticks lines for {threads} "
                       f"thread(s) x {calls} calls")
    pieces, done, rest, header = [], 0, b"", True
    while True:
        chunk = stream.read(PIECE)
        data = rest + chunk
        if header and chunk and len(data) < len(HEADER):
            rest = data
            continue
        if header and data.startswith(HEADER):
            data = data[len(HEADER):]
        header = False
        cut = data.rfind(b"\n") + 1 if chunk else len(data)
        data, rest = data[:cut], data[cut:]
        if not data and chunk:
            continue
        if not data:
            break
        pieces.append(counts_of(data, done, threads, calls, refused))
        done += len(pieces[-1])
    if done == 0 or done % (threads * calls):
        raise refused
    return np.concatenate(pieces).reshape(-1, threads, calls)


def counts_of(data, done, threads, calls, refused):
    """The counts of whole lines of text, the first of them line done of
    the file; refused unless each line is the thread and call it must be."""
    lines = data.count(b"\n")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:
            values = np.fromstring(data.replace(b",", b" "), dtype=np.int64, sep=" ")
        except (ValueError, DeprecationWarning) as error:
            raise refused from error
    if values.size != 3 * lines or not data.endswith(b"\n"):
        raise refused
    rows = values.reshape(lines, 3)
    at = np.arange(done, done + lines)
    if (np.any(rows[:, 0] != at // calls % threads + 1) or np.any(rows[:, 1] != at % calls)
            or np.any(rows[:, 2] < 0)):
        raise refused
    return rows[:, 2].copy()


def read(v):
    """This invocation's counts of the variant: (parent, child), each
    [run, thread, call]; child is None without --fork."""
    path = v.folder / v.samples
    processes = 2 if v.fork else 1
    try:
        with open(path, "rb") as samples:
            samples.seek(v.samples_from)
            counts = parse(samples, v.threads * processes, v.calls, str(path))
    except OSError as error:
        raise LabError(f"{v.name}: cannot read {path}: {why(error)}") from error
    if processes == 1:
        return counts, None
    return counts[:, :v.threads], counts[:, v.threads:]


def summarise(v, expected=None):
    """The variant's figures from this invocation's samples; expected: the
    reseed period the generator documents, in calls, if any."""
    progress(f"reading the samples of {v.name} ...")
    parent, child = read(v)
    pooled = parent.ravel()
    tiles = np.percentile(pooled, PERCENTILES)
    runs = parent.reshape(len(parent), -1)
    figures = {
        "variant": v.name, "build": v.build.name, "runs": len(parent), "calls": pooled.size,
        "percentiles": dict(zip(PERCENTILES, tiles)), "max": int(pooled.max()),
        "tail": int(np.count_nonzero(pooled > TAIL_FACTOR * tiles[0])),
        # A record's median, per thread of each run, then over the run's threads.
        "run_median": np.median(np.median(parent, axis=2), axis=1),
        "run_first": np.median(parent[:, :, 0], axis=1),
        "run_rest": np.median(parent[:, :, 1:].reshape(len(parent), -1), axis=1),
        "run_p99": np.percentile(runs, 99, axis=1),
        "run_p999": np.percentile(runs, 99.9, axis=1),
        "run_max": runs.max(axis=1),
        "reseeds": reseeds_of(v, parent, expected),
        "example": parent[0, 0].copy(),  # not a view that keeps every count
    }
    if child is not None:
        figures["child_first"] = np.median(child[:, :, 0], axis=1)
        figures["child_reseeds"] = reseeds_of(v, child, expected)
    return figures


def reseeds_of(v, counts, expected=None):
    """The reseeds in counts[run, thread, call], each thread's calls a
    sequence; expected (by default, for OpenSSL's own generator, the period
    its library documents at this size) is what "too short" is said of."""
    if expected is None and v.source == OPENSSL_SOURCE:
        expected = documented.expected_period(OPENSSL_SOURCE, v.bytes)
    return {**reseeds.find_period(counts.reshape(-1, counts.shape[2]), expected),
            "expected": expected}


def reseeds_data(found):
    """find_period's finding as plain data: the period, its places, and the
    spikes at them and elsewhere, with their median counts."""
    return {"period": found["period"], "places": [int(p) for p in found["places"]],
            "sequences": found["sequences"], "spikes": found["spikes"],
            "calls": found["calls"], "longest": found["longest"], "p": found["p"],
            "reason": found["reason"], "expected": found.get("expected"),
            "random": found["random"],
            "random_median": float(np.median(found["random_ticks"])) if found["random"] else None,
            "cost": interval_of(found["cost"]) if found["period"] else None,
            "median": found.get("median")}


def trace_of(example):
    """One run's calls in at most TRACE_GROUPS groups of consecutive calls:
    each group's median and highest count, for a picture."""
    group = -(-example.size // TRACE_GROUPS)
    parts = [example[k:k + group] for k in range(0, example.size, group)]
    return {"group": group, "median": [float(np.median(part)) for part in parts],
            "max": [int(part.max()) for part in parts]}


def interval_of(values):
    mid, low, high = stats.median_interval(values)
    return {"median": mid, "low": low, "high": high}


def percentiles_table(summaries, plot=None, per="build"):
    """Every call's count pooled over each variant's runs; plot: where one
    run per build (or per source) was drawn, if it was."""
    return {"table": "percentiles", "tail_factor": TAIL_FACTOR, "plot": plot, "per": per,
            "rows": [{"variant": s["variant"], "calls": int(s["calls"]),
                      "record_median": float(np.median(s["run_median"])),
                      "percentiles": [{"p": p, "ticks": float(s["percentiles"][p])}
                                      for p in PERCENTILES],
                      "max": s["max"], "tail": s["tail"]} for s in summaries]}


def lifecycle_row(s):
    row = {"variant": s["variant"], "build": s["build"], "runs": s["runs"],
           **{key: interval_of(s[f"run_{key}"]) for key in TIMES},
           "rest": float(np.median(s["run_rest"])), "reseeds": reseeds_data(s["reseeds"]),
           "fork_child_first": None, "child_reseeds": None, "trace": trace_of(s["example"])}
    if "child_first" in s:
        row.update(fork_child_first=interval_of(s["child_first"]),
                   child_reseeds=reseeds_data(s["child_reseeds"]))
    return row


def landed(v):
    """Whether any of this invocation's runs of v appended its records and
    samples: a run whose fork child hung appends none."""
    return any(run.records for run in v.runs)


def unmeasured_row(v):
    """A variant none of whose runs landed: what its fork checks found."""
    return {"variant": v.name, "build": v.build.name, "runs": len(v.runs),
            "fork": forksafety.variant_verdict(v)}


# --- as text -------------------------------------------------------------------

def with_interval(r):
    """A median with its 95% bootstrap interval, where there is more than
    one value."""
    if r["low"] is None:
        return text.number(r["median"], 0)
    return f"{text.number(r['median'], 0)} [{r['low']:.0f}-{r['high']:.0f}]"


def reseed_text(found):
    """Where the reseeds showed, in a sentence."""
    shown = found["spikes"] - found["random"]
    if found["period"] is None:
        return reseeds.none_text(found, found.get("expected"))
    places = ", ".join(f"{p:,}" for p in found["places"])
    return (f"every {found['period']:,} calls, at calls {places} ({shown} of "
            f"{len(found['places']) * found['sequences']} places spiked); {found['random']} "
            "other spikes at random calls" +
            (f", median {found['random_median']:.0f} ticks" if found["random"] else ""))


def percentiles_lines(t):
    header = ["variant", "calls", "record median", *[f"p{p:g}" for p in PERCENTILES], "max",
              f"> {t['tail_factor']} x p50"]
    rows = [[r["variant"], str(r["calls"]), text.number(r["record_median"]),
             *[f"{p['ticks']:.0f}" for p in r["percentiles"]], str(r["max"]),
             str(r["tail"])] for r in t["rows"]]
    lines = ["Every call's count, pooled over this invocation's runs (TSC ticks, percentiles "
             "interpolated", "and rounded); record median: the median over runs of the records' "
             "medians, as the", "other tables give it", "",
             text.table(header, rows)]
    shown = f"Every call of one run per {t.get('per', 'build')}: {t['plot']}"
    return lines + (["", shown] if t["plot"] else [])


# A run's figures in the lifecycle's table, each with its interval over runs.
TIMES = ("first", "median", "p99", "p999", "max")


def lifecycle_lines(t):
    """The table of a call's costs over a process's life, and where the
    reseeds showed."""
    header = ["variant", "first call", "median", "p99", "p99.9", "max", "reseed spike",
              "fork child's first"]
    rows = [[r["variant"], *(with_interval(r[key]) for key in TIMES),
             with_interval(r["reseeds"]["cost"]) if r["reseeds"]["period"] else "none",
             with_interval(r["fork_child_first"]) if r["fork_child_first"] else ""]
            for r in t["rows"]]
    lines = [f"A call's cost over a process's life, TSC ticks: the median over "
             f"{text.plural(t['rounds'], 'run')} "
             "with its 95%", "bootstrap interval (reseed spike: over every reseed's count)",
             "", text.table(header, rows, left=1), ""]
    for r in t["rows"]:
        lines += row_lines(r)
    for u in t.get("unmeasured", []):
        lines.append(text.wrapped(f"{u['variant']}: not measured; fork: {hung_text(u['fork'])}",
                                  first="", rest="  "))
    return lines


def hung_text(found):
    """Fork checks whose child hung, in a phrase; a run of them appends
    nothing, so the other runs alone have figures."""
    return (f"the child's first request hung in {found['hangs']} of "
            f"{text.plural(found['runs'], 'run')} (a lock held at the fork stays held in the "
            "child), and such a run appends nothing")


def row_lines(r):
    first, rest = r["first"]["median"], r["rest"]
    lines = [f"{r['variant']}: call 0 {first:.0f} ticks, {first / rest:.1f} x the "
             f"other calls' {rest:.0f}", "  reseeds: " + reseed_text(r["reseeds"])]
    found = r["reseeds"]
    if found["period"]:
        cost = found["cost"]["median"]
        lines.append(f"  a reseed costs {cost:.0f} ticks, {cost / found['median']:.1f} x the "
                     f"median, {cost - found['median']:.0f} ticks more")
    if r["fork_child_first"]:
        first, parent = r["fork_child_first"]["median"], r["median"]["median"]
        lines.append(f"  fork child: call 0 {first:.0f} ticks, {first / parent:.1f} x the "
                     f"parent's median; its reseeds: {reseed_text(r['child_reseeds'])}")
    found = r.get("fork") or {}
    if found.get("hangs"):
        lines.append(text.wrapped(f"fork: {hung_text(found)}", first="  ", rest="    "))
    if found.get("repeats"):
        lines.append(f"  fork: the child REPEATED its parent's bytes in {found['repeats']} of "
                     f"{text.plural(found['runs'], 'run')}")
    return lines


def report(variants, rounds, lifecycle, out=None):
    """The percentiles of every variant that kept samples, and with
    lifecycle the table of a process's life before them and its plot (to
    out): the tables as data. A variant whose every fork child hung kept
    none: the table names it, with its fork checks, and nothing else."""
    kept = [v for v in variants if v.samples and landed(v)]
    summaries = [summarise(v) for v in kept]
    unmeasured = [unmeasured_row(v) for v in variants if v.samples and not landed(v)]
    if not lifecycle:
        return [percentiles_table(summaries)] if summaries else []
    if not summaries and not unmeasured:
        return []
    table = {"table": "lifecycle", "rounds": rounds,
             "rows": [{**lifecycle_row(s), "fork": forksafety.variant_verdict(v)}
                      for v, s in zip(kept, summaries)], "unmeasured": unmeasured}
    if out is not None:
        plots.plot_lifecycle(table, [s["example"] for s in summaries], out)
    return [table, percentiles_table(summaries, None if out is None else str(out))]
