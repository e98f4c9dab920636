"""bench/compare-openssl's variant matrix: the builds and the variants that
the axes asked for make, the reference first (the first build with the
library's default generator).

The axes are an object with the attributes builds, generators, config,
bytes, threads, calls, samples, lifecycle, fork, sources and views, as the
command's options give them; bytes and threads are None when not asked
for."""

import dataclasses
import tempfile
from pathlib import Path

from rnglab import lifecycle, randlab, sources
from rnglab.errors import LabError
from rnglab.process import progress
from rnglab.variants import (ALL_BUILDS, BUILDS, DEFAULT_GENERATOR, DEFAULT_VIEW, FIPS_BUILD,
                             FIPS_GENERATORS, FIXED_1_1_1, OPENSSL_SOURCE, build_against,
                             refuse_fixed, variant, with_view)

DEFAULT_SIZES = [16, 32, 64, 256, 1024, 4096, 16384, 65536]
THREADS_BYTES = 32


def has_axis(axes):
    return bool(axes.generators or axes.config or axes.bytes or axes.threads or axes.sources)


def build_names(axes):
    """The builds to make: those asked for (by default all five, or with any
    other axis the system's shared library alone), and the FIPS build when
    a FIPS generator is asked for. Refuses, before anything is built, a
    generator that the 1.1.1 series cannot run."""
    if axes.builds is None:
        axes.builds = ["system-shared"] if has_axis(axes) else list(BUILDS)
    for name in axes.builds:
        if ALL_BUILDS[name][0] == "1.1.1":
            for g in [g for g in axes.generators if g not in FIPS_GENERATORS] + \
                    [f"config {c.name}" for c in axes.config]:
                refuse_fixed(name, g)
    return list(axes.builds) + \
        ([FIPS_BUILD] if set(axes.generators) & set(FIPS_GENERATORS) else [])


def make_builds(names):
    builds = {}
    for name in names:
        progress(f"building against {name} ...")
        builds[name] = build_against(name)
    return builds


def cells_of(axes, builds):
    """(build, generator, own configuration) of every variant of the
    program's measurement asked for."""
    generators = [g for g in axes.generators if g not in FIPS_GENERATORS]
    mine = [b for b in builds.values() if b.name != FIPS_BUILD]
    cells = [(b, DEFAULT_GENERATOR, None) for b in mine]
    cells += [(b, g, None) for b in mine for g in generators]
    cells += [(b, DEFAULT_GENERATOR, str(c)) for b in mine for c in axes.config]
    cells += [(builds[FIPS_BUILD], g, None) for g in axes.generators if g in FIPS_GENERATORS]
    # Asking for ctr-aes-256 on 1.1.1 runs its fixed generator once, not twice.
    if axes.generators:
        cells = [c for c in cells if not (c[0].is_1_1_1 and c[1] == FIXED_1_1_1)]
    return cells


def source_variants(axes, builds):
    """--sources: every source that runs here on the first build, and a
    line for each that cannot; with --lifecycle or --fork, each with a fork
    child's calls, and with --lifecycle every call's count kept."""
    build = builds[axes.builds[0]]
    found, notes = sources.versions(build, axes.sources)
    for note in notes:
        progress(note)
    made = sources.make_variants(build, found, axes.bytes or [THREADS_BYTES],
                                 axes.threads or [1], axes.calls,
                                 fork=axes.lifecycle or axes.fork)
    if axes.lifecycle:
        made = [lifecycle.keep_samples(v) for v in made]
    return made, notes


def lab_variants(axes, builds, cells):
    """rand_lab at each size and thread count, and the cipher's floor at
    each size."""
    sizes = axes.bytes or [THREADS_BYTES]
    threads = axes.threads or [1]
    made = [variant(b, g, own, (n, t, False), axes.calls)
            for b, g, own in cells for n in sizes for t in threads]
    if axes.bytes:
        made += [variant(b, DEFAULT_GENERATOR, None, (n, 1, True), axes.calls)
                 for b in builds.values() for n in sizes]
    return made


def in_views(made, views):
    """Each one-thread variant in every view asked, its views side by side
    in each round (so that one processor runs them all, one after the
    other), every count kept for the robust mean; a variant of several
    threads in the first view alone."""
    if views == [DEFAULT_VIEW]:
        return made
    return [lifecycle.keep_samples(with_view(v, view)) if v.threads == 1 else with_view(v, view)
            for v in made for view in (views if v.threads == 1 else views[:1])]


def trial(v):
    """Why a short run of rand_lab variant v fails, or None: its own command
    with the fewest calls rand_lab takes, under its configuration, in a
    folder of its own that goes with what it wrote."""
    with tempfile.TemporaryDirectory(prefix="rnglab-trial-") as folder:
        short = dataclasses.replace(v, calls=randlab.limit("calls")[0], folder=Path(folder))
        (short.folder / "openssl.cnf").write_text(v.config, encoding="utf-8")
        status, output = randlab.run(*short.command, cwd=folder, env=short.env)
    if status == 0 and output.first("failed") is None:
        return None
    return output.first_message(f"exit status {status}").removeprefix("rand_lab: ")


def tried_views(made, views):
    """Every view of every rand_lab variant run briefly before round 1: a
    source that cannot run in a view is left out of it, or out of the
    comparison where that view is the first (whose tables need it), with a
    note; OpenSSL's, the reference, failing stops the comparison with its
    line. (made, the notes.)"""
    progress(f"trying each variant in each view ({len(made)} short runs) ...")
    dropped, notes = set(), []
    for v in made:
        if not v.rand_lab or (v.source, v.view) in dropped or (v.source, None) in dropped:
            continue
        why = trial(v)
        if why is None:
            continue
        if v.source == OPENSSL_SOURCE:
            raise LabError(f"{v.name}: {why}")
        if v.view == views[0]:
            dropped.add((v.source, None))
            notes.append(f"{v.source} not measured: {why} (in the {v.view} view)")
        else:
            dropped.add((v.source, v.view))
            notes.append(f"{v.source} not measured in the {v.view} view: {why}")
        progress(notes[-1])
    return [v for v in made if (v.source, v.view) not in dropped and
            (v.source, None) not in dropped], notes


def make_variants(axes, builds):
    """The variants, the reference first, and the notes of sources left out."""
    if axes.lifecycle and not axes.sources:
        return lifecycle.variants_of(builds, axes.bytes, axes.threads or [1], axes.calls), []
    notes = []
    if axes.sources:
        made, notes = source_variants(axes, builds)
    elif axes.bytes is None and axes.threads is None:
        return [variant(b, g, own) for b, g, own in cells_of(axes, builds)], []
    else:
        made = lab_variants(axes, builds, cells_of(axes, builds))
    if axes.samples:
        made = [lifecycle.keep_samples(v) for v in made]
    if axes.views == [DEFAULT_VIEW]:
        return made, notes
    made, dropped = tried_views(in_views(made, axes.views), axes.views)
    return made, notes + dropped
