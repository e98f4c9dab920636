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
  cpuid-burst-32, lfence-burst-32
               both bursts of 32-byte calls: factor b at a small request,
               beside what one CPUID costs (docs/views.md)

Every ratio is taken per round and reported as the median over the rounds
with a 95% bootstrap interval (tools/series' statistics). A target is met
when the interval lies inside it, missed when it lies outside, and
undecided otherwise: take more rounds. Program against openssl speed is the
product of four factors, each like against like: the program against the
CPUID-fenced hand loop (its fidelity to its method), CPUID against LFENCE
fences (what the prescribed barrier costs here), bursts against a
continuous loop (the duty cycle), and the continuous loop against openssl
speed (an independent implementation agreeing with ours).

With --precision or --max-time the rounds go on until every targeted ratio
(a, d, program / rand_lab, and W with --wine) is met or missed, or known to
+/- the precision, or the time is spent; the intervals are then the
sequential rule's, honest however the rounds stopped, and the report says
how many rounds ran and why they stopped (docs/checking-figures.md). Around
every run the host's noise is recorded; a run far above the invocation's
usual noise is marked (*) and, with --rerun-noisy, run again (+).

It also checks the floor of the method (an empty fenced interval, the
project's reads against the same pair written inline) and the program's
time to a result against openssl speed -seconds 1. With --wine it adds the
Windows program and the hand loop built by the same toolchain, under Wine,
to the rounds (run tools/windows-check first). A benchmark, not a test: it
fails when it cannot measure, never on a figure.
"""

import sys
from pathlib import Path

from rnglab import argtypes, figures, files, provenance, sequential, stopping
from rnglab.cli import _shell
from rnglab.report import html, pages


def parse_args(argv):
    parser = _shell.parser("check-figures", __doc__)
    parser.add_argument("--runs", type=argtypes.whole(2, why="the ratios are taken per round"),
                        metavar="N", help="rounds (10); with --precision or --max-time the most "
                        "rounds")
    parser.add_argument("--precision", type=argtypes.precision, metavar="P",
                        help="rounds until every targeted ratio is met, missed or known to +/- P "
                        "(0.01: 1%%)")
    parser.add_argument("--max-time", type=argtypes.duration, metavar="DURATION",
                        help="rounds until every targeted ratio is met or missed, or this long "
                        "(90s, 15m, 1h30m; "
                        f"{sequential.duration_text(stopping.DEFAULT_MAX_TIME)} with --precision "
                        "alone)")
    parser.add_argument("--rerun-noisy", action="store_true",
                        help="run a run far above the host's usual noise again at once, its "
                        "figure then the round's (the noisy run stays recorded)")
    parser.add_argument("--seconds", type=argtypes.whole(1, 60), default=1, metavar="S",
                        help="whole seconds of openssl speed and of the continuous loop per "
                        "round (1)")
    parser.add_argument("--wine", action="store_true",
                        help="the Windows program under Wine as well")
    parser.add_argument("--cpus", type=argtypes.cpu_list, default="all", metavar="LIST|all|free",
                        help="the processors that rounds rotate over, every reference of a "
                        "round on the round's one (all: every processor this process may use; "
                        "free: the system places each run)")
    parser.add_argument("--json", type=Path, metavar="FILE",
                        help="write the figures and the provenance as JSON too")
    parser.add_argument("--html", type=Path, metavar="FILE",
                        help="write the verdict, the figures and the provenance as one page too")
    args = parser.parse_args(argv)
    args.rounds = args.runs
    stopping.settle(parser, args, "--runs")
    args.argv = sys.argv[1:] if argv is None else argv
    return args


def check(args):
    if args.json is not None:
        files.check_writable(args.json)
    if args.html is not None:
        html.check(args.html)
    started = provenance.now_text()
    until = stopping.until(args, None)
    refs, counter, speed_wall, build = figures.measure(args.rounds, args.seconds, args.wine,
                                                       args.cpus, until, args.rerun_noisy)
    report = figures.report(refs, counter, speed_wall, until.rounds if until else args.rounds,
                            args.seconds, until.data() if until else None)
    try:
        _shell.emit(figures.report_text(report))
    finally:
        # Whatever became of standard output, the files are written.
        document = {**provenance.invocation("check-figures", args.argv, started, counter,
                                            [build], refs.values()), "tables": [report]}
        if args.json is not None:
            files.write_json(args.json, document)
        if args.html is not None:
            html.write(args.html, pages.figures_page(document))


def main(argv=None):
    return _shell.run("check-figures", check, parse_args(argv))
