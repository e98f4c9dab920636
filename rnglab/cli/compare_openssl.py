"""Compares the program's figures across libcrypto builds, generators,
request sizes and thread counts.

Every comparison is a set of variants (rnglab/matrix.py), one per
combination of the axes asked for, run interleaved in rounds: A B C ...
A B C ... Each variant keeps its records in its own series,
OUT/VARIANT/osslRb1a.txt, beside the configuration it ran with and a
provenance text; the tables cover this invocation's runs. Ratios are taken
within rounds (one processor ran both sides): the median of each round's
ratio, with a bootstrap 95% interval and the Wilcoxon signed-rank test.

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
  fork        --fork, with --sources: each run of each source forks after
              its calls and checks that the child's bytes differ from the
              parent's (rand_lab --fork), so that the answer's fork safety
              is this machine's, not the documented one.
  views       --views cpuid,lfence,batch: each one-thread variant timed
              CPUID-fenced (the program's reads, the default and the view of
              every other table), LFENCE-fenced, and in batches of 100 calls
              between two LFENCE-fenced reads, side by side in each round on
              one processor, every count kept: each view's figure, the fence
              factor, the median against the robust mean, and with --sources
              the ratio against OpenSSL in each view (docs/views.md). A batch
              view's run makes --calls batches: 100 times the calls. Each
              view of each variant is tried before round 1: a source that
              cannot run in one is left out of it, with a note.
  lifecycle   --lifecycle: bench/rand_lab's 262,144 calls of 16 bytes and a
              fork child's on 1.1.1-static, 3.0-static, newest-3-static and
              system-shared, every call's count kept: the first call, the
              periodic reseeds, the fork child's first call and the
              percentiles, with a plot of one run per build. With --sources,
              the same for each source on one build, the reseed period found
              against the one its library documents, and whether its fork
              child repeats the parent's bytes.

  The sources' report ends with the answer: at each size, the cheapest
  generator that is fork-safe (by this run's fork checks with --lifecycle,
  else as documented), the cheapest of all, and OpenSSL's place.

  --quality   after the rounds, each generator variant's bytes kept in its
              folder (kept.bin, by unmeasured runs of bench/rand_lab --keep)
              and tested as tools/quality tests a file: one line per variant.
  --json      every table printed, as numbers, with the invocation's
              provenance: docs/json.md.
  --html      one page: the answer, every table with its pictures, the
              provenance, and the data as --json writes it: docs/report.md.

  --precision P, --max-time DURATION
              rounds until every ratio against its reference (x ref,
              x 1 thread, x openssl, in every view) is known to be faster
              or slower, or the same to +/- P, or the time is spent (15m
              with --precision alone); --rounds N is then the most rounds. The intervals and
              verdicts are then the sequential rule's, honest however the
              rounds stopped (docs/checking-figures.md), and a table says
              how many rounds ran and why they stopped.
  --rerun-noisy
              around every run the host's noise is recorded (provenance.txt,
              --json); a run far above the invocation's usual noise is
              marked (*) in the ratios it enters; with --rerun-noisy it is
              run again at once (+), its re-run's figure then the round's
              (not with --views, --lifecycle or --samples, whose samples
              keep every run's calls).

A benchmark, not a test: it fails when it cannot build, probe or run, never
on a figure, nor on a variant whose bytes fail.
"""

import sys
from pathlib import Path

from rnglab import (argtypes, comparison, files, lifecycle, randlab, runner, sequential, sources,
                    stopping)
from rnglab.report import labtext, plots
from rnglab.cli import _shell
from rnglab.matrix import DEFAULT_SIZES, THREADS_BYTES
from rnglab.report import html, pages
from rnglab.variants import BUILDS, DEFAULT_CALLS, DEFAULT_VIEW, GENERATORS, VIEWS


def add_axes(parser):
    parser.add_argument("--builds", type=argtypes.name_list(list(BUILDS), "build"),
                        metavar="NAMES", help="comma-separated: " + ", ".join(BUILDS))
    parser.add_argument("--generators", type=argtypes.name_list(list(GENERATORS), "generator",
                                                                "all"),
                        default=[], metavar="NAMES|all",
                        help="comma-separated: " + ", ".join(GENERATORS))
    parser.add_argument("--config", type=Path, action="append", default=[], metavar="FILE",
                        help="a configuration file of your own (repeatable)")
    parser.add_argument("--bytes", type=argtypes.within_limit(argtypes.number_list, "bytes"),
                        nargs="?", const=DEFAULT_SIZES, metavar="LIST",
                        help="request sizes (default " + ",".join(map(str, DEFAULT_SIZES)) + ")")
    parser.add_argument("--threads", type=argtypes.within_limit(argtypes.number_list, "threads"),
                        nargs="?", const=[],
                        metavar="LIST", help="thread counts (default 1,2,4,8 and the "
                        "processor count if larger)")
    parser.add_argument("--calls", type=argtypes.within_limit(argtypes.whole, "calls"),
                        metavar="N", help=f"calls per thread in each rand_lab run ({DEFAULT_CALLS}"
                        f", as the program, {lifecycle.CALLS} with --lifecycle; at least 2, the "
                        "fewest that have a median)")
    parser.add_argument("--samples", action="store_true",
                        help="keep every call's count of the rand_lab runs and report their "
                        "percentiles")
    parser.add_argument("--lifecycle", action="store_true",
                        help="the first call, reseeds, fork and the tail (see above)")
    parser.add_argument("--fork", action="store_true",
                        help="with --sources, check each source's fork child (see above)")
    parser.add_argument("--views", type=argtypes.name_list(list(VIEWS), "view"),
                        default=[DEFAULT_VIEW], metavar="LIST",
                        help="comma-separated: " + ", ".join(VIEWS) + f" ({DEFAULT_VIEW}; see "
                        "above)")


def parse_args(argv):
    parser = _shell.parser("compare-openssl", __doc__)
    parser.add_argument("--rounds", type=argtypes.whole(1), metavar="N",
                        help="runs of each variant (10); with --precision or --max-time the most")
    parser.add_argument("--precision", type=argtypes.precision, metavar="P",
                        help="rounds until every ratio to its reference is decided or known to "
                        "+/- P (0.01: 1%%)")
    parser.add_argument("--max-time", type=argtypes.duration, metavar="DURATION",
                        help="rounds until every ratio is decided, or this long (90s, 15m, "
                        f"1h30m; {sequential.duration_text(stopping.DEFAULT_MAX_TIME)} with "
                        "--precision alone)")
    parser.add_argument("--rerun-noisy", action="store_true",
                        help="run a run far above the host's usual noise again at once (not "
                        "with --views, --lifecycle or --samples, which keep every run's calls)")
    parser.add_argument("--out", type=Path, default=Path("openssl-comparison"),
                        help="where each variant's folder is kept (./openssl-comparison)")
    add_axes(parser)
    parser.add_argument("--cpus", type=argtypes.cpu_list, default="all", metavar="LIST|all|free",
                        help="the processors that rounds rotate over, each round's "
                        "single-threaded runs all on one (all: every processor this process "
                        "may use; free: the system places each run)")
    parser.add_argument("--sources", type=sources.source_list, metavar="LIST|all",
                        help="comma-separated names of rand_lab's sources (rand_lab --limits lists "
                        "them)")
    parser.add_argument("--plot", type=Path, metavar="FILE",
                        help="draw the figures too (.png, .svg)")
    parser.add_argument("--quality", action="store_true",
                        help="after the rounds, keep and test each variant's bytes")
    parser.add_argument("--json", type=Path, metavar="FILE",
                        help="write the tables and the provenance as JSON too")
    parser.add_argument("--html", type=Path, metavar="FILE",
                        help="write the answer, the tables, their pictures and the provenance "
                        "as one page too")
    args = parser.parse_args(argv)
    settle(parser, args)
    return args


def settle(parser, args):
    """The defaults that depend on other options, and the combinations
    refused: each a bad option, before anything is built or written."""
    check_rounds(parser, args)
    if args.lifecycle:
        if args.generators or args.config or args.quality:
            parser.error("--lifecycle measures each build's default generator, or with "
                         "--sources each source: no --generators, --config or --quality")
        # With --sources, the one build they run on.
        args.builds = args.builds or (None if args.sources else lifecycle.BUILDS)
        args.bytes = args.bytes or [lifecycle.BYTES]
        args.calls = args.calls or lifecycle.CALLS
    elif args.samples and args.bytes is None and args.threads is None and not args.sources:
        parser.error("--samples keeps bench/rand_lab's counts: give --bytes or --threads too")
    args.calls = args.calls or DEFAULT_CALLS
    if args.threads == []:
        args.threads = sorted({1, 2, 4, 8, runner.usable_processors()})
    check_sizes(parser, args)
    check_files(parser, args)
    if args.threads is not None:
        args.threads = sorted(set(args.threads) | {1})  # the ratio is to one thread
    check_views(parser, args)
    if args.sources and (args.generators or args.config):
        parser.error("--sources compares other libraries' generators with OpenSSL's default: "
                     "not with --generators or --config")
    if args.sources and args.builds and len(args.builds) > 1:
        parser.error("--sources runs on one build: give --builds one name")
    if args.fork and (not args.sources or args.lifecycle or args.quality or
                      args.views != [DEFAULT_VIEW]):
        parser.error("--fork checks the sources' fork children: give --sources, and not "
                     "--lifecycle (which checks them already), --quality or --views")


def check_rounds(parser, args):
    """--rounds, --precision, --max-time and --rerun-noisy together."""
    if args.lifecycle and (args.precision is not None or args.max_time is not None):
        parser.error("--lifecycle has no ratio to decide: give --rounds, not --precision or "
                     "--max-time")
    if args.quality and (args.precision is not None or args.max_time is not None):
        parser.error("--quality keeps the bytes of as many runs as there were rounds: give "
                     "--rounds, not --precision or --max-time")
    if args.rerun_noisy and (args.lifecycle or args.samples):
        parser.error("--rerun-noisy is not with --lifecycle or --samples: their samples keep "
                     "every run's calls, a noisy run's with its re-run's")
    stopping.settle(parser, args, "--rounds")


def check_views(parser, args):
    """Views are bench/rand_lab's, and the kept bytes and a process's life
    are the same in every view."""
    if args.views == [DEFAULT_VIEW]:
        return
    if args.lifecycle or args.quality:
        parser.error("--views times the calls in other ways: not with --lifecycle or "
                     "--quality, which are the same in every view")
    if args.bytes is None and args.threads is None and not args.sources:
        parser.error("--views times bench/rand_lab's calls: give --bytes, --threads or --sources "
                     "too")
    if args.rerun_noisy:
        parser.error("--rerun-noisy is not with --views: the views keep every run's calls for "
                     "their robust mean, a noisy run's with its re-run's")


def check_files(parser, args):
    if args.plot and not argtypes.has_suffix(args.plot):
        parser.error(argtypes.suffix_message("--plot"))
    for config in args.config:
        if not config.is_file():
            parser.error(f"--config {config}: no such file")


def check_sizes(parser, args):
    """What rand_lab holds in memory, within its limits."""
    most = max(args.threads or [1]) * (2 if args.lifecycle or args.fork else 1)  # a child's too
    samples, keep = randlab.limit("samples")[1], randlab.limit("keep")[1]
    if most * args.calls > samples:
        parser.error(f"--threads times --calls is at most {samples}, half that with "
                     f"--lifecycle or --fork ({most} x {args.calls} asked)")
    if args.quality and most * args.calls * max(args.bytes or [THREADS_BYTES]) > keep:
        parser.error(f"--quality keeps a run's bytes in memory: --threads times --calls times "
                     f"--bytes is at most {keep}")


def run(args):
    for path in (args.plot, args.json):
        if path is not None:
            files.check_writable(path)
    if args.html is not None:
        html.check(args.html)
    stopped = None
    try:
        tables, invocation = comparison.run(args, sys.argv[1:] if args.argv is None else args.argv)
    except comparison.Unfinished as unfinished:
        # The rounds' tables first, then why the step after them stopped.
        tables, invocation, stopped = unfinished.tables, unfinished.invocation, unfinished.error
    try:
        _shell.emit(labtext.render(tables))
    finally:
        # Whatever became of standard output, the files are written.
        if args.plot and not args.lifecycle:
            plots.plot_tables(tables, args.plot)
        if args.json:
            files.write_json(args.json, {**invocation, "tables": tables})
        if args.html:
            html.write(args.html, pages.comparison_page({**invocation, "tables": tables}))
    if stopped is not None:
        raise stopped


def parse_and_run(argv):
    """The options read, then the comparison: reading them may build build/
    and ask its rand_lab for its limits and sources, which can fail or be
    stopped like any step, so both are inside the command's shell."""
    args = parse_args(argv)
    args.argv = argv
    return run(args)


def main(argv=None):
    return _shell.run("compare-openssl", parse_and_run, argv,
                      interrupted="interrupted before the rounds")
