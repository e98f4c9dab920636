"""bench/compare-openssl from start to end: the builds and variants its axes
make, run in rounds under the locks of its folders, the provenance written
whatever stops them, the kept bytes tested, and the tables as data with the
invocation's provenance (rnglab.provenance) beside them."""

import contextlib

from rnglab import (files, kept, labreport, lifecycle, matrix, provenance, quality, runner,
                    sources)
from rnglab.process import compare_builds


def tables_of(args, variants, notes, kept_table, builds):
    """The tables of the comparison, in the order they are printed."""
    if args.lifecycle:
        tables = lifecycle.report(variants, args.rounds, True,
                                  args.plot or args.out / "lifecycle.png")
    elif args.sources:
        tables = [sources.report(variants, args.rounds, notes)]
    else:
        tables = labreport.main_tables(args, variants, args.rounds)
    if args.samples and not args.lifecycle:
        tables += lifecycle.report(variants, args.rounds, False)
    # A fork variant's records are the parent's and the child's: no one figure per run.
    processors = None if args.lifecycle else labreport.processors_table(variants)
    tables += [t for t in (processors, kept_table) if t is not None]
    return tables + [labreport.builds_table(builds, args.out, args.rounds)]


def held_folders(held, out, names):
    """One comparison at a time per output folder and per build folder;
    builds are taken in one order, so that two comparisons cannot each hold
    what the other waits for."""
    files.make_folder(out)
    held.enter_context(files.held(out / ".comparison.lock", f"the folder {out}"))
    files.make_folder(compare_builds())
    for name in sorted(names):
        held.enter_context(files.held(compare_builds() / f".{name}.lock",
                                      f"the build {compare_builds() / name}"))


class Unfinished(Exception):
    """A comparison whose rounds finished but whose later step did not:
    its tables and provenance, to print before error ends the command."""

    def __init__(self, tables, invocation, error):
        super().__init__(str(error))
        self.tables, self.invocation, self.error = tables, invocation, error


def run(args, argv):
    """(the tables, the invocation's provenance), both as data; Unfinished
    when the step after the rounds (--quality) stopped."""
    names = matrix.build_names(args)
    if args.quality:
        quality.check_tools()
    with contextlib.ExitStack() as held:
        held_folders(held, args.out, names)
        builds = matrix.make_builds(names)
        variants, notes = matrix.make_variants(args, builds)
        runner.prepare(variants, args.out)
        lifecycle.mark(variants)
        counter_info = provenance.counter(builds[args.builds[0]])
        started = provenance.now_text()
        try:
            runner.run_rounds(variants, args.rounds, cpus=args.cpus)
        finally:
            provenance.write_provenance(variants, counter_info, started)
        stopped = None
        try:
            kept_table = kept.keep_and_test(variants, args.rounds, args.cpus) \
                if args.quality else None
        except kept.Stopped as step:
            kept_table, stopped = step.table, step.error
        tables = tables_of(args, variants, notes, kept_table, builds)
    invocation = provenance.invocation("compare-openssl", argv, started, counter_info,
                                       builds.values(), variants)
    if stopped is not None:
        raise Unfinished(tables, invocation, stopped)
    return tables, invocation
