"""bench/compare-openssl from start to end: the builds and variants its axes
make, run in rounds under the locks of its folders (a number of them, or
until every ratio against its reference is decided), the provenance written
whatever stops them, the kept bytes tested, and the tables as data with the
invocation's provenance (rnglab.provenance) beside them."""

import contextlib

from rnglab import (answer, files, kept, lifecycle, matrix, noise, provenance, quality, runner,
                    sequential, sourcelife, sources, stopping, views)
from rnglab.report import labreport, text
from rnglab.process import compare_builds
from rnglab.variants import DEFAULT_VIEW


def in_view(variants, view):
    return [v for v in variants if v.view == view]


def main_of(args, variants, notes, rounds):
    """The tables of the comparison's axes, whose ratios are against a
    reference, in the first view asked: the sources', or the builds',
    generators', sizes' and threads'."""
    first = in_view(variants, args.views[0])
    if args.sources:
        return [sources.report(first, rounds, notes)]
    return labreport.main_tables(args, first, rounds)


def sources_tables(args, variants, notes, rounds):
    """The sources' table in the first view asked, with --lifecycle each
    one's life, and the answer the comparison gives, in every view asked."""
    [table] = main_of(args, variants, notes, rounds)
    lives = sourcelife.report(variants, rounds, args.plot or args.out / "lifecycle.png") \
        if args.lifecycle else []
    answers = [answer.report(table, variants, in_view(variants, args.views[0]))]
    for view in args.views[1:]:
        mine = sources.report(in_view(variants, view), rounds, notes)
        answers.append({**answer.report(mine, variants, in_view(variants, view)), "view": view})
    return [table, *lives, *answers]


def tables_of(args, variants, notes, kept_table, builds, until=None):
    """The tables of the comparison, in the order they are printed: those
    of its axis in the first view asked, then with --views all of them;
    until: how rounds run until decided ended (stopping.Until.data()),
    under whose design the ratios are judged, or None for a fixed number of
    rounds."""
    rounds = args.rounds if until is None else until["rounds"]
    with sequential.judging(until):
        if args.sources:
            tables = sources_tables(args, variants, notes, rounds)
        elif args.lifecycle:
            tables = lifecycle.report(variants, rounds, True,
                                      args.plot or args.out / "lifecycle.png")
        else:
            tables = main_of(args, variants, notes, rounds)
        if args.samples and not args.lifecycle:
            # The sources' answers stay the last of their tables.
            at = 1 if args.sources else len(tables)
            tables[at:at] = lifecycle.report(variants, rounds, False)
        if args.views != [DEFAULT_VIEW]:
            tables.append(views.report(variants, rounds, args.views, bool(args.sources)))
    # A fork variant's records are the parent's and the child's: no one figure per run.
    processors = None if args.lifecycle else labreport.processors_table(variants)
    tables += [t for t in (processors, kept_table, noise.table_of(variants)) if t is not None]
    return ([] if until is None else [{"table": "rounds", **until}]) + tables + \
        [labreport.builds_table(builds, args.out, rounds)]


def ratio_name(row):
    """A row's ratio as progress lines name it."""
    name = str(row.get("variant") or row.get("source") or row.get("generator"))
    name += f" {row['bytes']} B" if "bytes" in row else ""
    threads = row.get("threads")
    return name + ("" if threads is None else f" {text.plural(threads, 'thread')}")


def judged(name, c):
    return {"name": name, "median": c["ratio"], "low": c["low"], "high": c["high"],
            "verdict": c["verdict"], "decided": c["decided"]}


def view_ratios(args, variants):
    """With --sources and --views, each source's ratio to OpenSSL in every
    view after the first (the views table's), named with its view."""
    if not args.sources or len(args.views) < 2:
        return []
    rows, _ = views.against_openssl(views.cells_of(variants, True), args.views[1:])
    return [(f"{ratio_name(r)} {view}", c) for r in rows for view, c in r["x_openssl"].items()]


def decisions(args, variants, notes):
    """Every ratio of the comparison's tables against its reference, with
    its verdict, in every view asked: what rounds run until decided judge
    (under sequential.judging)."""
    found = []
    for t in main_of(args, variants, notes, 0):
        for row in t.get("rows", []) + (t.get("against") or {}).get("rows", []):
            found += [(ratio_name(row), c) for c in row.values() if isinstance(c, dict)]
    return [judged(name, c) for name, c in found + view_ratios(args, variants)
            if c.get("interval") == "sequential"]


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
        until = stopping.until(args, lambda: decisions(args, variants, notes))
        try:
            runner.run_rounds(variants, args.rounds, cpus=args.cpus, until=until,
                              rerun_noisy=args.rerun_noisy)
        finally:
            provenance.write_provenance(variants, counter_info, started)
        rounds = args.rounds if until is None else until.rounds
        stopped = None
        try:
            kept_table = kept.keep_and_test(variants, rounds, args.cpus) \
                if args.quality else None
        except kept.Stopped as step:
            kept_table, stopped = step.table, step.error
        tables = tables_of(args, variants, notes, kept_table, builds,
                           None if until is None else until.data())
    invocation = provenance.invocation("compare-openssl", argv, started, counter_info,
                                       builds.values(), variants)
    if stopped is not None:
        raise Unfinished(tables, invocation, stopped)
    return tables, invocation
