"""Compares the program's figures across libcrypto builds, generators,
request sizes and thread counts.

Every comparison is a set of variants (bench/lab.py), one per combination of
the axes asked for, run interleaved in rounds: A B C ... A B C ... Each
variant keeps its records in its own series, OUT/VARIANT/osslRb1a.txt, beside
the configuration it ran with and a provenance text; the tables cover this
invocation's runs. Ratios come from tools/series' comparison: a bootstrap 95%
interval of the ratio of medians and the Mann-Whitney U test.

  builds      system-shared, system-static (the system's libcrypto), and
              static 1.1.1-static, 3.0-static, newest-3-static built from
              Debian's sources (tools/libcrypto). All five by default; with
              any other axis, system-shared alone.
  generators  ctr-aes-128, ctr-aes-192, ctr-aes-256, hash-sha256,
              hash-sha512, hmac-sha256, hmac-sha512 (the [random] section of
              the configuration the program runs with), and fips: the FIPS
              provider's DRBG, on the newest 3.x built with its FIPS provider
              (newest-3-fips) whatever --builds says; from 3.5 on RAND_bytes
              goes to the provider itself (random_provider = fips), and
              fips-drbg loads it but keeps RAND_bytes on the library's public
              DRBG, fetched from it (random_provider = none). The library's
              default generator on the first build is always measured
              alongside, as the reference. --config FILE adds a configuration
              of your own.
  sizes       --bytes: bench/rand_lab at each request size, beside the
              cipher's floor (one AES-256-CTR encryption of the same size).
  threads     --threads: bench/rand_lab with that many threads at once, at
              32 bytes unless --bytes says otherwise.
  sources     --sources: other generators, measured by rand_lab --source
              (rnglab/sources.py) on the first build, at each --bytes and
              --threads, against OpenSSL's RAND_bytes there.
  lifecycle   --lifecycle: bench/rand_lab's 262,144 calls of 16 bytes and a
              fork child's on 1.1.1-static, 3.0-static, newest-3-static and
              system-shared, every call's count kept: the first call, the
              periodic reseeds, the fork child's first call and the
              percentiles, with a plot of one run per build.

  --quality   after the rounds, each generator variant's bytes kept in its
              folder (kept.bin, by unmeasured runs of bench/rand_lab --keep)
              and tested as tools/quality tests a file: one line per variant.

A benchmark, not a test: it fails when it cannot build, probe or run, never
on a figure, nor on a variant whose bytes fail.
"""

import argparse
import contextlib
import os
import sys
import textwrap
from pathlib import Path

import numpy as np

from rnglab import files, lifecycle, plots, process, quality, runner, sources, stats, text
from rnglab.errors import LabError
from rnglab.process import compare_builds
from rnglab.variants import (ALL_BUILDS, BUILDS, DEFAULT_GENERATOR, FIPS_BUILD, FIPS_GENERATORS,
                             FIXED_1_1_1, GENERATORS, RAND_LAB_LIMITS, RAND_LAB_SAMPLES,
                             build_against, probe_text, refuse_fixed, variant)

DEFAULT_SIZES = [16, 32, 64, 256, 1024, 4096, 16384, 65536]
THREADS_BYTES = 32
SHARE_BYTES = 16384


def name_list(choices, what):
    def parse(text):
        names = [name.strip() for name in text.split(",") if name.strip()]
        unknown = [name for name in names if name not in choices]
        if unknown or not names:
            raise argparse.ArgumentTypeError(
                f"unknown {what} {', '.join(unknown) or '(none given)'}: "
                f"choose from {', '.join(choices)}")
        return list(dict.fromkeys(names))
    return parse


def generator_list(text):
    if text == "all":
        return list(GENERATORS)
    return name_list(list(GENERATORS) + ["all"], "generator")(text)


def number_list(low, high):
    def parse(text):
        try:
            values = [int(v) for v in text.split(",")]
        except ValueError:
            values = []
        if not values or any(v < low or v > high for v in values):
            raise argparse.ArgumentTypeError(
                f"a comma-separated list of whole numbers from {low} to {high}, not {text!r}")
        return sorted(set(values))
    return parse


def cpus(text):
    try:
        runner.cpu_list(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from error
    return text


def number_in(low, high):
    def parse(text):
        if not text.isdigit() or not low <= int(text) <= high:
            raise argparse.ArgumentTypeError(f"a whole number from {low} to {high}, not {text!r}")
        return int(text)
    return parse


def positive(text):
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"a whole number of at least 1, not {text!r}")
    return int(text)


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="compare-openssl", description=__doc__.split("\n\n", 1)[0],
        epilog=__doc__.split("\n\n", 1)[1], formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=positive, default=10, metavar="N",
                        help="runs of each variant (10)")
    parser.add_argument("--out", type=Path, default=Path("openssl-comparison"),
                        help="where each variant's folder is kept (./openssl-comparison)")
    parser.add_argument("--builds", type=name_list(list(BUILDS), "build"), metavar="NAMES",
                        help="comma-separated: " + ", ".join(BUILDS))
    parser.add_argument("--generators", type=generator_list, default=[], metavar="NAMES|all",
                        help="comma-separated: " + ", ".join(GENERATORS))
    parser.add_argument("--config", type=Path, action="append", default=[], metavar="FILE",
                        help="a configuration file of your own (repeatable)")
    parser.add_argument("--bytes", type=number_list(*RAND_LAB_LIMITS["bytes"]), nargs="?",
                        const=DEFAULT_SIZES, metavar="LIST",
                        help="request sizes (default " + ",".join(map(str, DEFAULT_SIZES)) + ")")
    parser.add_argument("--threads", type=number_list(*RAND_LAB_LIMITS["threads"]), nargs="?",
                        const=[],
                        metavar="LIST", help="thread counts (default 1,2,4,8 and the "
                        "processor count if larger)")
    parser.add_argument("--calls", type=number_in(*RAND_LAB_LIMITS["calls"]),
                        metavar="N", help="calls per thread in each rand_lab run (1024, as the "
                        f"program, {lifecycle.CALLS} with --lifecycle; at least 2, the fewest "
                        "that have a median)")
    parser.add_argument("--samples", action="store_true",
                        help="keep every call's count of the rand_lab runs and report their "
                        "percentiles")
    parser.add_argument("--lifecycle", action="store_true",
                        help="the first call, reseeds, fork and the tail (see above)")
    parser.add_argument("--cpus", type=cpus, default="all", metavar="LIST|all|free",
                        help="the processors that rounds rotate over, each round's "
                        "single-threaded runs all on one (all: every processor this process "
                        "may use; free: the system places each run)")
    parser.add_argument("--sources", type=sources.source_list, metavar="LIST|all",
                        help="comma-separated: " + ", ".join(sources.SOURCES))
    parser.add_argument("--plot", type=Path, metavar="FILE", help="draw the figures too (.png, .svg)")
    parser.add_argument("--quality", action="store_true",
                        help="after the rounds, keep and test each variant's bytes")
    args = parser.parse_args(argv)
    args.cpus = runner.cpu_list(args.cpus)
    if args.lifecycle:
        if args.generators or args.config or args.sources or args.quality:
            parser.error("--lifecycle measures each build's default generator: no "
                         "--generators, --config, --sources or --quality")
        args.builds = args.builds or lifecycle.BUILDS
        args.bytes = args.bytes or [lifecycle.BYTES]
        args.calls = args.calls or lifecycle.CALLS
    elif args.samples and args.bytes is None and args.threads is None and not args.sources:
        parser.error("--samples keeps bench/rand_lab's counts: give --bytes or --threads too")
    args.calls = args.calls or 1024
    if args.threads == []:
        args.threads = sorted({1, 2, 4, 8, os.cpu_count() or 1})
    most = max(args.threads or [1]) * (2 if args.lifecycle else 1)  # a fork child's too
    if most * args.calls > RAND_LAB_SAMPLES:
        parser.error(f"--threads times --calls is at most {RAND_LAB_SAMPLES}, half that with "
                     f"--lifecycle ({most} x {args.calls} asked)")
    if args.quality and most * args.calls * max(args.bytes or [THREADS_BYTES]) > quality.KEEP_MAX:
        parser.error(f"--quality keeps a run's bytes in memory: --threads times --calls times "
                     f"--bytes is at most {quality.KEEP_MAX}")
    if args.plot and args.plot.suffix.lower() not in (".png", ".svg"):
        parser.error("--plot needs a file name ending in .png or .svg")
    for config in args.config:
        if not config.is_file():
            parser.error(f"--config {config}: no such file")
    if args.threads is not None:
        args.threads = sorted(set(args.threads) | {1})  # the ratio is to one thread
    if args.sources and (args.generators or args.config):
        parser.error("--sources compares other libraries' generators with OpenSSL's default: "
                     "not with --generators or --config")
    if args.sources and args.builds and len(args.builds) > 1:
        parser.error("--sources runs on one build: give --builds one name")
    return args


def make_builds(names):
    builds = {}
    for name in names:
        process.progress(f"building against {name} ...")
        builds[name] = build_against(name)
    return builds


def make_variants(args, builds):
    """The reference first: the first build with the library's default
    generator."""
    if args.lifecycle:
        return lifecycle.variants_of(builds, args.bytes, args.threads or [1], args.calls)
    if args.sources:
        build = builds[args.builds[0]]
        found, args.source_notes = sources.versions(build, args.sources)
        for note in args.source_notes:
            process.progress(note)
        made = sources.make_variants(build, found, args.bytes or [THREADS_BYTES],
                                     args.threads or [1], args.calls)
        return [lifecycle.keep_samples(v) or v for v in made] if args.samples else made
    generators = [g for g in args.generators if g not in FIPS_GENERATORS]
    cells = [(b, DEFAULT_GENERATOR, None) for b in builds.values() if b.name != FIPS_BUILD]
    cells += [(b, g, None) for b in builds.values() if b.name != FIPS_BUILD for g in generators]
    cells += [(b, DEFAULT_GENERATOR, str(c)) for b in builds.values()
              if b.name != FIPS_BUILD for c in args.config]
    cells += [(builds[FIPS_BUILD], g, None) for g in args.generators if g in FIPS_GENERATORS]
    # Asking for ctr-aes-256 on 1.1.1 runs its fixed generator once, not twice.
    cells = [c for c in cells if not (c[0].is_1_1_1 and c[1] == FIXED_1_1_1)] \
        if args.generators else cells
    if args.bytes is None and args.threads is None:
        return [variant(b, g, own) for b, g, own in cells]
    sizes = args.bytes or [THREADS_BYTES]
    threads = args.threads or [1]
    variants = []
    for b, g, own in cells:
        variants += [variant(b, g, own, (n, t, False), args.calls)
                     for n in sizes for t in threads]
    if args.bytes:
        for b in builds.values():
            variants += [variant(b, DEFAULT_GENERATOR, None, (n, 1, True), args.calls)
                         for n in sizes]
    if args.samples:
        for v in variants:
            lifecycle.keep_samples(v)
    return variants


def short_version(build):
    words = build.info.get("version", "?").split()
    return words[1] if len(words) > 1 else words[0]


def ratio(c):
    return "n/a" if c["ratio"] is None else f"{c['ratio']:.3f}"


def group_of(v):
    """The build and generator a lab variant belongs to."""
    return v.build.name + ("" if v.generator == DEFAULT_GENERATOR else " " + v.generator)


def variants_report(variants, rounds):
    reference = variants[0]
    # A comparison of builds names each build's version; one of generators
    # has no room for it, and names it below.
    builds_only = all(v.generator == DEFAULT_GENERATOR for v in variants)
    header = ["build", "libcrypto" if builds_only else "generator", "probe saw", "median",
              "low-high", "x ref", "95% CI", "verdict"]
    rows = []
    for v in variants:
        figures = [r["median"] for r in runner.per_run(v)]
        row = [v.build.name, short_version(v.build) if builds_only else v.generator,
               probe_text(v.probe), text.number(np.median(figures), 0),
               f"{text.number(min(figures), 0)}-{text.number(max(figures), 0)}"]
        if v is reference:
            rows.append(row + ["1.000", "", "reference"])
            continue
        c = stats.paired(runner.per_run(reference), runner.per_run(v))
        rows.append(row + [ratio(c), text.interval(c), text.short_verdict(c)])
    lines = [f"RAND_bytes(16384): median of {rounds} run medians per variant, in TSC ticks, "
             "runs interleaved", "",
             text.table(header, rows, left=3), "",
             f"x ref: against {reference.name} with the library's default generator, the "
             "median over rounds of the ratio", "within each round (one processor ran "
             "both), with its 95% bootstrap interval; the verdict is the", "Wilcoxon "
             "signed-rank test's at 0.05."]
    for v in variants:
        if v.generator.startswith("config "):
            lines.append(f"{v.name} ({v.generator}): the probe saw {probe_text(v.probe)}")
    return lines


def processors_report(variants):
    """Each placed variant's run medians per processor, against the first
    processor it ran on: the processor's own factor, which the ratios within
    rounds above are free of."""
    header = ["variant", "cpu", "runs", "median", "x first cpu", "95% CI", "verdict"]
    rows = []
    for v in variants:
        by_cpu = {}
        for r in runner.per_run(v):
            if r["cpu"] is not None:
                by_cpu.setdefault(r["cpu"], []).append(r)
        if len(by_cpu) < 2:
            continue
        (first, base), *others = sorted(by_cpu.items())
        rows.append([v.name, str(first), str(len(base)),
                     text.number(np.median([r["median"] for r in base])), "1.000", "", ""])
        for cpu, runs in others:
            c = stats.compare(base, runs)
            rows.append(["", str(cpu), str(len(runs)), text.number(c["new_median"]), ratio(c),
                         text.interval(c), text.short_verdict(c, "runs")])
    if not rows:
        return []
    return ["", "Per processor: each variant's run medians on each processor, against the "
            "first one (U test)", "", text.table(header, rows)]


def fit(points):
    """ticks = a + b x bytes, fitted robustly (Theil-Sen), with b's 95%
    interval."""
    from scipy.stats import theilslopes  # pylint: disable=import-outside-toplevel
    x = np.array([p[0] for p in points], dtype=np.float64)
    y = np.array([p[1] for p in points], dtype=np.float64)
    # With a handful of points the slope's interval is undefined: nan, and
    # "n/a" in the table, rather than numpy's warning.
    with np.errstate(invalid="ignore"):
        slope, intercept, low, high = theilslopes(y, x, alpha=1 - stats.ALPHA)
    return intercept, slope, low, high


def points_of(cells):
    return [(v.bytes, r["median"]) for v in cells for r in runner.per_run(v)]


def sizes_report(variants, rounds):
    cells = [v for v in variants if v.threads == 1]
    sizes = sorted({v.bytes for v in cells})
    groups = {}
    for v in cells:
        key = (v.build.name, "AES-256-CTR" if v.cipher else group_of(v))
        groups.setdefault(key, {})[v.bytes] = v
    header = ["ticks per call"] + [f"{n} B" for n in sizes]
    rows = []
    for (build, what), by_size in groups.items():
        name = f"{build} cipher" if what == "AES-256-CTR" else what
        rows.append([name] + [text.number(runner.run_median(v))
                              if v else "" for v in (by_size.get(n) for n in sizes)])
    lines = [f"Request sizes: median of {rounds} run medians per size, TSC ticks per call, "
             "one thread", "", text.table(header, rows)]

    ciphers = {b: by for (b, what), by in groups.items() if what == "AES-256-CTR"}
    generators = {k: by for k, by in groups.items() if k[1] != "AES-256-CTR"}
    if len(sizes) < 2:
        # A line through one size is any line: there is nothing to fit.
        lines += ["", "One request size: no fit of ticks = a + b x bytes (it takes two sizes "
                  "or more)."]
    else:
        header = ["generator", "a", "b", "b 95% CI", "cipher b", "b / cipher b",
                  f"cipher share, {SHARE_BYTES} B"]
        rows = []
        for (build, what), by_size in generators.items():
            a, b, low, high = fit(points_of(by_size.values()))
            cipher = ciphers.get(build, {})
            bc = fit(points_of(cipher.values()))[1] if len(cipher) >= 2 else float("nan")
            share = ""
            if SHARE_BYTES in by_size and SHARE_BYTES in cipher:
                mine = runner.run_median(by_size[SHARE_BYTES])
                floor = runner.run_median(cipher[SHARE_BYTES])
                share = f"{floor / mine * 100:.0f}%"
            rows.append([what, f"{a:.0f}", f"{b:.3f}", f"{low:.3f}-{high:.3f}" if low == low and high == high else "n/a", f"{bc:.3f}",
                         f"{b / bc:.2f}" if bc == bc and bc > 0 else "n/a", share])
        lines += ["", "Fit of ticks = a + b x bytes over every run (Theil-Sen): a is a call's "
                  "fixed cost in ticks, b its", "cost in ticks per byte; cipher b is "
                  "AES-256-CTR's own, the floor of a CTR-DRBG call; the", "cipher's share is "
                  "its ticks over the generator's at that size.", "", text.table(header, rows)]

    if len(generators) > 1:
        (ref_key, ref) = next(iter(generators.items()))
        header = ["against " + ref_key[1], "bytes", "x ref", "95% CI", "verdict"]
        rows = []
        for key, by_size in list(generators.items())[1:]:
            for n in sizes:
                if n in by_size and n in ref:
                    c = stats.paired(runner.per_run(ref[n]), runner.per_run(by_size[n]))
                    rows.append([key[1], str(n), ratio(c), text.interval(c),
                                 text.short_verdict(c)])
        lines += ["", text.table(header, rows)]
    return lines


def threads_report(variants, rounds):
    cells = [v for v in variants if not v.cipher]
    groups = {}
    for v in cells:
        groups.setdefault((group_of(v), v.bytes), {})[v.threads] = v
    header = ["generator", "bytes", "threads", "ticks/call", "x 1 thread", "95% CI", "verdict",
              "calls/s", "x 1 thread"]
    rows = []
    for (what, n), by_threads in groups.items():
        one = by_threads[1]
        one_rate = np.median(runner.throughput(one))
        for t, v in sorted(by_threads.items()):
            runs = runner.per_run(v)
            rate = np.median(runner.throughput(v))
            row = [what, str(n), str(t), text.number(runner.run_median(v))]
            if t == 1:
                rows.append(row + ["1.000", "", "reference", f"{rate:.0f}", "1.00"])
                continue
            c = stats.paired(runner.per_run(one), runs)
            rows.append(row + [ratio(c), text.interval(c), text.short_verdict(c), f"{rate:.0f}",
                               f"{rate / one_rate:.2f}"])
    return [f"Threads: median over {rounds} runs of the threads' record medians, TSC ticks per "
            "call; calls/s of all", "threads together over the parallel section's wall time", "",
            text.table(header, rows), "",
            f"This machine has {os.cpu_count()} processors: past that, threads take turns "
            "rather than contend."]


def plot(args, variants, out):
    if args.bytes:
        fig = plots.figure((1000, 600))
        ax = fig.add_subplot()
        cells = [v for v in variants if v.threads == 1]
        colours = {}
        for v in cells:
            colours.setdefault(v.build.name if v.cipher else group_of(v), f"C{len(colours) % 10}")
        for cipher in (False, True):
            lines = {}
            for v in cells:
                if v.cipher == cipher:
                    lines.setdefault(v.build.name if cipher else group_of(v), []).append(v)
            for name, line in lines.items():
                line.sort(key=lambda v: v.bytes)
                ax.plot([v.bytes for v in line],
                        [runner.run_median(v) for v in line],
                        "--" if cipher else "o-", color=colours.get(name, "C0"), markersize=3,
                        label=f"{name} AES-256-CTR floor" if cipher else name)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("bytes per call")
        ax.set_ylabel(plots.TICKS_AXIS)
        ax.legend(fontsize="small")
        ax.set_title("RAND_bytes against request size (dashed: the cipher's floor)")
    elif args.threads:
        fig = plots.figure((1200, 500))
        left, right = fig.subplots(1, 2)
        groups = {}
        for v in variants:
            groups.setdefault(group_of(v), []).append(v)
        for name, line in groups.items():
            line.sort(key=lambda v: v.threads)
            x = [v.threads for v in line]
            left.plot(x, [runner.run_median(v) for v in line], "o-",
                      label=name)
            right.plot(x, [np.median(runner.throughput(v)) for v in line], "o-", label=name)
        for ax, what in ((left, plots.TICKS_AXIS), (right, "calls per second, all threads")):
            ax.set_xscale("log", base=2)
            ax.set_xlabel("threads")
            ax.set_ylabel(what)
            ax.legend(fontsize="small")
        fig.suptitle(f"RAND_bytes({variants[0].bytes}) against threads")
    else:
        fig = plots.figure((max(600, 120 * len(variants)), 600))
        ax = fig.add_subplot()
        jitter = np.random.default_rng(stats.SEED)
        for k, v in enumerate(variants, start=1):
            values = [r["median"] for r in runner.new_records(v)]
            ax.plot(k + jitter.uniform(-0.15, 0.15, len(values)), values, "o", markersize=4,
                    alpha=0.7)
            ax.hlines(np.median(values), k - 0.3, k + 0.3, color="black")
        ax.set_xticks(range(1, len(variants) + 1))
        ax.set_xticklabels([v.name.replace("+", "\n") for v in variants], fontsize="small")
        ax.set_yscale("log")
        ax.set_ylabel(plots.TICKS_AXIS)
        ax.set_title("Run medians per variant (log scale)")
    fig.tight_layout()
    try:
        plots.save(fig, str(out))
    except LabError as error:
        raise LabError(str(error)) from error


def run(args):
    axes = bool(args.generators or args.config or args.bytes or args.threads or args.sources)
    if args.builds is None:
        args.builds = ["system-shared"] if axes else list(BUILDS)
    # Refused before anything is built.
    for name in args.builds:
        if ALL_BUILDS[name][0] == "1.1.1":
            for g in [g for g in args.generators if g not in FIPS_GENERATORS] + \
                    [f"config {c.name}" for c in args.config]:
                refuse_fixed(name, g)
    names = list(args.builds) + \
        ([FIPS_BUILD] if set(args.generators) & set(FIPS_GENERATORS) else [])
    if args.quality:
        quality.check_tools()
    with contextlib.ExitStack() as held:
        # One comparison at a time per output folder and per build folder;
        # builds are taken in one order, so that two comparisons cannot each
        # hold what the other waits for.
        files.make_folder(args.out)
        held.enter_context(files.held(args.out / ".comparison.lock", f"the folder {args.out}"))
        files.make_folder(compare_builds())
        for name in sorted(names):
            held.enter_context(files.held(compare_builds() / f".{name}.lock",
                                          f"the build {compare_builds() / name}"))
        builds = make_builds(names)
        variants = make_variants(args, builds)
        runner.prepare(variants, args.out)
        lifecycle.mark(variants)
        counter_info = runner.counter(builds[args.builds[0]])
        started = runner.now_text()
        try:
            runner.run_rounds(variants, args.rounds, cpus=args.cpus)
        finally:
            runner.write_provenance(variants, counter_info, started)
        kept = quality.keep_and_test(variants, args.rounds, args.cpus) if args.quality else []
        report(args, builds, variants, kept)


def report(args, builds, variants, kept=()):

    if args.lifecycle:
        lines = lifecycle.report(variants, args.rounds, True,
                                 args.plot or args.out / "lifecycle.png")
    elif args.sources:
        lines = sources.report(variants, args.rounds, args.source_notes)
    elif args.bytes:
        lines = sizes_report(variants, args.rounds)
        if args.threads and len(args.threads) > 1:
            lines += [""] + threads_report(variants, args.rounds)
    elif args.threads:
        lines = threads_report(variants, args.rounds)
    else:
        lines = variants_report(variants, args.rounds)
    if args.samples and not args.lifecycle:
        lines += [""] + lifecycle.report(variants, args.rounds, False)
    # A fork variant's records are the parent's and the child's: no one figure per run.
    lines += [] if args.lifecycle else processors_report(variants)
    lines += kept
    lines += ["", "How each library was built (static or shared, and "
              "OpenSSL_version(OPENSSL_CFLAGS)):"]
    for b in builds.values():
        link = "static" if b.static else "shared"
        lines.append(textwrap.fill(f"{b.name}, {b.info.get('version', '?')}, {link}: "
                                   f"{b.info.get('cflags', '?')}", width=text.WIDTH,
                                   break_on_hyphens=False, initial_indent="  ",
                                   subsequent_indent="      "))
    if FIPS_BUILD in builds:
        lines.append(f"  {FIPS_BUILD} is a build of the FIPS provider's source, not a "
                     "validated module.")
    lines += ["", f"Each variant's series: {args.out}/VARIANT/osslRb1a.txt (tools/series reads "
              "them), beside", "its openssl.cnf and provenance.txt."]
    if args.rounds < stats.FEW_RECORDS:
        lines.append(f"With fewer than {stats.FEW_RECORDS} rounds the intervals are wide and "
                     "the tests weak; 10 or more tell variants apart.")
    print("\n".join(lines))
    if args.plot and args.sources:
        sources.plot(variants, args.plot)
    elif args.plot and not args.lifecycle:
        plot(args, variants, args.plot)


def main(argv=None):
    args = parse_args(argv)
    try:
        run(args)
    except runner.Interrupted as error:
        print(f"compare-openssl: {error}", file=sys.stderr)
        return 130
    except LabError as error:
        print(f"compare-openssl: {error}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        return process.reader_gone()
    except KeyboardInterrupt:
        # Before the rounds (building, probing): nothing of a run is torn.
        print("compare-openssl: interrupted before the rounds", file=sys.stderr)
        return 130
    return 0

