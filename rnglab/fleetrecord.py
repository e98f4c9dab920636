"""tools/fleet record: the standard record of one machine, taken by the
lab's own commands' package functions (rnglab.comparison, rnglab.figures)
in three parts, each written whole as that command's --json document as
soon as it is done, to RESULTS/KEY/STAMP-PART.json (KEY the machine's,
rnglab.machine; STAMP when the record began, UTC):

  sources  compare-openssl --sources all --bytes 32,16384 --views
           cpuid,lfence,batch, rounds until every ratio to OpenSSL is
           decided at 5% (--precision 0.05) or its time (BUDGETS) is spent;
  fork     compare-openssl --sources all --fork at 32 bytes, one thread
           and FORK_THREADS, FORK_ROUNDS rounds: whether each source's fork
           child repeats its parent's bytes;
  figures  check-figures --precision 0.05, within its time: whether to
           trust the figures on this machine.

A part's document is its command's, with "record" (the part) and
"recorded" (when the record began) beside its fields. rounds: a fixed
number of rounds for every part instead (a smoke run, which its documents'
argv say)."""

import datetime
from pathlib import Path

from rnglab import comparison, figures, files, labtext, provenance, stopping
from rnglab import machine as identity
from rnglab.errors import LabError
from rnglab.process import progress

SIZES = "32,16384"
VIEWS = "cpuid,lfence,batch"
PRECISION = "0.05"
# rand_lab's calls per run: a batch view's run makes 100 times as many,
# and a record of every source at 16 KiB must fit the time below.
CALLS = 32
FORK_BYTES = 32
FORK_THREADS = 4
FORK_ROUNDS = 3
# Each part's time for its rounds once the first look's have run (a
# stopping.Until's --max-time): with the builds and the fork checks, at most
# 12 minutes on a 2-processor VM (docs/fleet.md gives the measured times).
BUDGETS = {"sources": "6m", "figures": "2m"}


def stamp_of(moment):
    """A record's stamp in its files' names (UTC, sortable), and as its
    documents say it."""
    return moment.strftime("%Y-%m-%dT%H%M%SZ"), moment.strftime("%Y-%m-%d %H:%M:%S UTC")


def stop_of(part, rounds):
    if rounds is not None:
        return ["--runs" if part == "figures" else "--rounds", str(rounds)]
    return ["--precision", PRECISION, "--max-time", BUDGETS[part]]


def plan(sources, rounds, out):
    """[(part, command, argv)] of the record: sources the --sources list
    (all, by default), rounds None for rounds until decided, out the
    comparisons' folder of series."""
    where = ["--out", str(out)]
    return [("sources", "compare-openssl",
             ["--sources", sources, "--bytes", SIZES, "--views", VIEWS, "--calls", str(CALLS),
              *stop_of("sources", rounds), *where]),
            ("fork", "compare-openssl",
             ["--sources", sources, "--fork", "--bytes", str(FORK_BYTES), "--threads",
              str(FORK_THREADS), "--rounds", str(rounds or FORK_ROUNDS), *where]),
            ("figures", "check-figures", stop_of("figures", rounds))]


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
    paths = {part: folder / f"{stamp}-{part}.json" for part in ("sources", "fork", "figures")}
    for path in paths.values():
        if path.exists():
            raise LabError(f"{path} exists already: a record never replaces another")
        files.check_writable(path)
    return paths


def record(options, parsers, emit):
    """The record: options.results, options.out, options.sources,
    options.rounds; parsers: each command's parse_args(argv); emit(text):
    prints a part's report. Returns the files written."""
    files.make_folder(options.results)
    key = machine_key()
    stamp, recorded = stamp_of(datetime.datetime.now(datetime.timezone.utc))
    paths = targets(options.results, key, stamp)
    progress(f"recording {key} into {paths['sources'].parent}")
    steps = plan(options.sources, options.rounds, Path(options.out).resolve())
    written = []
    for number, (part, command, argv) in enumerate(steps, start=1):
        progress(f"part {number} of {len(steps)}, {part}: {command} {' '.join(argv)}")
        args = parsers[command](argv)
        args.argv = argv
        invocation, tables, said = TAKES[command](args, argv)
        if invocation["machine"]["key"] != key:
            raise LabError(f"the machine's key changed during the record ({key}, then "
                           f"{invocation['machine']['key']}): its {part} part is not written")
        files.write_json(paths[part], {**invocation, "record": part, "recorded": recorded,
                                       "tables": tables})
        written.append(paths[part])
        progress(f"wrote {paths[part]}")
        emit(said)
    return written
