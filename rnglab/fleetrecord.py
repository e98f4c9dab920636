"""tools/fleet record: the standard record of one machine, taken by the
lab's own commands' package functions (rnglab.comparison, rnglab.figures)
in three parts, each written whole as that command's --json document as
soon as it is done, to RESULTS/KEY/STAMP-PART.json (KEY the machine's,
rnglab.machine; STAMP when the record began, UTC), in this order:

  fork     compare-openssl --sources all --fork at 32 bytes, one thread
           and FORK_THREADS, FORK_ROUNDS rounds: whether each source's fork
           child repeats its parent's bytes;
  sources  compare-openssl --sources all --bytes 32,16384 --views
           cpuid,lfence,batch, rounds until every ratio to OpenSSL is
           decided at 5% or its time is spent;
  figures  check-figures --precision 0.05, within its time: whether to
           trust the figures on this machine.

The record has a time (MAX_TIME, 12 minutes, or --max-time): each part
that runs until decided gets, as its --max-time, what is left of it once
the parts before it and the steps around its rounds (SETUP) are done, the
sources part leaving the figures part FIGURES_TIME. A command's first look
always runs (rnglab.stopping), so a machine on which that look alone takes
longer overruns it; the record says its time and whether it kept to it.

A part's document is its command's, with "record" (the part) and
"recorded" (when the record began) beside its fields. rounds: a fixed
number of rounds for every part instead (a smoke run, which its documents'
argv say)."""

import datetime
import time
from pathlib import Path

from rnglab import comparison, figures, files, provenance, sequential, stopping
from rnglab.report import labtext
from rnglab import machine as identity
from rnglab.errors import LabError
from rnglab.process import progress

PARTS = ("fork", "sources", "figures")
SIZES = "32,16384"
VIEWS = "cpuid,lfence,batch"
PRECISION = "0.05"
# rand_lab's calls per run: a batch view's run makes 100 times as many,
# and a record of every source at 16 KiB must fit the time below.
CALLS = 32
FORK_BYTES = 32
FORK_THREADS = 4
FORK_ROUNDS = 3
MAX_TIME = 12 * 60
# Seconds each part spends around its rounds (its builds checked, probes,
# counter_check, its tables), on a 2-processor VM with a little to spare
# (docs/fleet.md gives the measured times); the figures part's rounds; and
# what the sources part leaves unspent besides, for what the estimates miss.
SETUP = {"fork": 45, "sources": 45, "figures": 20}
FIGURES_TIME = 120
MARGIN = 60


def stamp_of(moment):
    """A record's stamp in its files' names (UTC, sortable), and as its
    documents say it."""
    return moment.strftime("%Y-%m-%dT%H%M%SZ"), moment.strftime("%Y-%m-%d %H:%M:%S UTC")


def budget(part, max_time, spent):
    """The --max-time of a part's rounds, in seconds: what is left of the
    record's max_time once spent seconds are, less the part's SETUP, and
    for the sources part less the figures part's share and the MARGIN; at
    least 1 (its first look runs anyway)."""
    left = max_time - spent - SETUP[part]
    if part == "sources":
        left -= SETUP["figures"] + FIGURES_TIME + MARGIN
    return max(1, int(left))


def argv_of(part, options, spent):
    """The part's command line: options.sources the --sources list (all,
    by default), options.rounds None for rounds until decided within
    options.max_time, else a fixed number; spent: the record's seconds so
    far."""
    where = ["--out", str(Path(options.out).resolve())]
    if part == "fork":
        return ["--sources", options.sources, "--fork", "--bytes", str(FORK_BYTES),
                "--threads", str(FORK_THREADS), "--rounds", str(options.rounds or FORK_ROUNDS),
                *where]
    if options.rounds is not None:
        stop = ["--runs" if part == "figures" else "--rounds", str(options.rounds)]
    else:
        stop = ["--precision", PRECISION, "--max-time",
                sequential.duration_text(budget(part, options.max_time, spent))]
    if part == "figures":
        return stop
    return ["--sources", options.sources, "--bytes", SIZES, "--views", VIEWS, "--calls",
            str(CALLS), *stop, *where]


def compare_part(args, argv):
    """A compare-openssl part: (its document without "tables", its tables,
    its text)."""
    tables, invocation = comparison.run(args, argv)
    return invocation, tables, labtext.render(tables)


def figures_part(args, argv):
    """A check-figures part, as bench/check-figures takes it."""
    started = provenance.now_text()
    until = stopping.until(args, None)
    refs, counter, speed_wall, build = figures.measure(args.rounds, args.seconds, args.wine,
                                                       args.cpus, until, args.rerun_noisy)
    report = figures.report(refs, counter, speed_wall, until.rounds if until else args.rounds,
                            args.seconds, until.data() if until else None)
    invocation = provenance.invocation("check-figures", argv, started, counter, [build],
                                       refs.values())
    return invocation, [report], figures.report_text(report)


TAKES = {"compare-openssl": compare_part, "check-figures": figures_part}
COMMANDS = {"fork": "compare-openssl", "sources": "compare-openssl", "figures": "check-figures"}


def machine_key():
    """This machine's key, from one run of bench/counter_check in build/."""
    found = identity.identity(provenance.counter(figures.build_default()))
    if found["key"] is None:
        raise LabError("bench/counter_check did not say which processor this is (no CPUID "
                       "vendor, family, model and stepping): no key to file the record under")
    return found["key"]


def targets(results, key, stamp):
    """Each part's file, none of which may exist yet: a record never
    replaces another's part."""
    folder = Path(results) / key
    files.make_folder(folder)
    paths = {part: folder / f"{stamp}-{part}.json" for part in PARTS}
    for path in paths.values():
        if path.exists():
            raise LabError(f"{path} exists already: a record never replaces another")
        files.check_writable(path)
    return paths


def record(options, parsers, emit, clock=time.monotonic):
    """The record: options.results, options.out, options.sources,
    options.rounds, options.max_time; parsers: each command's
    parse_args(argv); emit(text): prints a part's report. Returns how long
    it took, as data: {key, files, parts {part: seconds}, seconds,
    max_time (None for a smoke run), within}."""
    started = clock()
    files.make_folder(options.results)
    key = machine_key()
    stamp, recorded = stamp_of(datetime.datetime.now(datetime.timezone.utc))
    paths = targets(options.results, key, stamp)
    progress(f"recording {key} into {paths['sources'].parent}" + (
        "" if options.rounds else
        f", within {sequential.duration_text(options.max_time)} on a quiet machine"))
    taken = {}
    for number, part in enumerate(PARTS, start=1):
        begun = clock()
        command, argv = COMMANDS[part], argv_of(part, options, begun - started)
        progress(f"part {number} of {len(PARTS)}, {part}: {command} {' '.join(argv)}")
        args = parsers[command](argv)
        args.argv = argv
        invocation, tables, said = TAKES[command](args, argv)
        if invocation["machine"]["key"] != key:
            raise LabError(f"the machine's key changed during the record ({key}, then "
                           f"{invocation['machine']['key']}): its {part} part is not written")
        files.write_json(paths[part], {**invocation, "record": part, "recorded": recorded,
                                       "tables": tables})
        taken[part] = clock() - begun
        progress(f"wrote {paths[part]} ({sequential.duration_text(taken[part])})")
        emit(said)
    seconds = clock() - started
    limit = None if options.rounds else options.max_time
    return {"key": key, "files": [str(paths[p]) for p in PARTS], "parts": taken,
            "seconds": seconds, "max_time": limit,
            "within": None if limit is None else seconds <= limit}
