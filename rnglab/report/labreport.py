"""bench/compare-openssl's tables as data: builds and generators against a
reference, request sizes with their fit, threads, and each variant's
processors, then how each library was built. Each is a dict (see
docs/json.md) that labtext renders as text, plots draws and a --json file
holds as it is.

Every ratio here is taken within rounds (one processor ran both sides),
stats.paired, but the processors' table, whose sides ran in different
rounds (stats.compare, Mann-Whitney U)."""


import numpy as np

from rnglab import runner, stats
from rnglab.record import BLOCK
from rnglab.variants import DEFAULT_GENERATOR, FIPS_BUILD, probe_text

CIPHER = "AES-256-CTR"


def short_version(build):
    words = build.info.get("version", "?").split()
    return words[1] if len(words) > 1 else words[0]


def group_of(v):
    """The build and generator a lab variant belongs to."""
    return v.build.name + ("" if v.generator == DEFAULT_GENERATOR else " " + v.generator)


def variants_table(variants, rounds):
    """Each variant against the first, the reference."""
    reference = variants[0]
    base = runner.per_run(reference)
    rows = []
    for v in variants:
        figures = [r["median"] for r in runner.per_run(v)]
        rows.append({"variant": v.name, "build": v.build.name, "libcrypto": short_version(v.build),
                     "generator": v.generator, "probe_saw": probe_text(v.probe),
                     "figures": figures, "median": float(np.median(figures)), "min": min(figures),
                     "max": max(figures),
                     "x_ref": stats.reference(len(figures)) if v is reference else
                     stats.paired(base, runner.per_run(v))})
    return {"table": "variants", "rounds": rounds, "reference": reference.name,
            # A comparison of builds names each build's version; one of
            # generators has no room for it, and names it below.
            "builds_only": all(v.generator == DEFAULT_GENERATOR for v in variants),
            "configs": [{"variant": v.name, "generator": v.generator,
                         "probe_saw": probe_text(v.probe)}
                        for v in variants if v.generator.startswith("config ")],
            "rows": rows, "alpha": stats.ALPHA}


def processors_table(variants):
    """Each placed variant's run medians per processor, against the first
    processor it ran on: the processor's own factor, which the ratios within
    rounds are free of. None when no variant ran on two processors."""
    rows = []
    for v in variants:
        by_cpu = {}
        for r in runner.per_run(v):
            if r["cpu"] is not None:
                by_cpu.setdefault(r["cpu"], []).append(r)
        if len(by_cpu) < 2:
            continue
        (first, base), *others = sorted(by_cpu.items())
        rows.append({"variant": v.name, "cpu": first, "runs": len(base),
                     "median": float(np.median([r["median"] for r in base])),
                     "x_first": stats.reference(len(base))})
        for cpu, runs in others:
            c = stats.reached(stats.compare(base, runs))
            rows.append({"variant": v.name, "cpu": cpu, "runs": len(runs),
                         "median": c["new_median"], "x_first": c})
    return {"table": "processors", "rows": rows, "alpha": stats.ALPHA} if rows else None


def points_of(cells):
    return [(v.bytes, r["median"]) for v in cells for r in runner.per_run(v)]


def size_groups(variants):
    """{(build, generator or CIPHER): {bytes: variant}} of the one-thread
    variants, in their order."""
    groups = {}
    for v in variants:
        if v.threads == 1:
            key = (v.build.name, CIPHER if v.cipher else group_of(v))
            groups.setdefault(key, {})[v.bytes] = v
    return groups


def fit_row(build, what, by_size, cipher):
    a, b, low, high = stats.fit(points_of(by_size.values()))
    cipher_b = stats.fit(points_of(cipher.values()))[1] if len(cipher) >= 2 else None
    share = None
    if BLOCK in by_size and BLOCK in cipher:
        share = runner.run_median(cipher[BLOCK]) / runner.run_median(by_size[BLOCK])
    finite = np.isfinite(low) and np.isfinite(high)
    return {"build": build, "generator": what, "a": a, "b": b,
            "b_low": low if finite else None, "b_high": high if finite else None,
            "cipher_b": cipher_b,
            "b_over_cipher_b": b / cipher_b if cipher_b and cipher_b > 0 else None,
            "cipher_share": share}


def sizes_table(variants, rounds):
    """Ticks per call at each size; a fit of ticks = a + b x bytes over
    every run where there are two sizes or more; each generator against the
    first, size by size, where there are two or more."""
    groups = size_groups(variants)
    sizes = sorted({n for by_size in groups.values() for n in by_size})
    rows = [{"build": build, "generator": what, "cipher": what == CIPHER,
             "ticks": [runner.run_median(by_size[n]) if n in by_size else None for n in sizes]}
            for (build, what), by_size in groups.items()]
    ciphers = {b: by for (b, what), by in groups.items() if what == CIPHER}
    generators = {k: by for k, by in groups.items() if k[1] != CIPHER}
    fits = None
    if len(sizes) >= 2:
        fits = [fit_row(build, what, by_size, ciphers.get(build, {}))
                for (build, what), by_size in generators.items()]
    against = None
    if len(generators) > 1:
        (_, ref_what), ref = next(iter(generators.items()))
        against = {"reference": ref_what, "rows": [
            {"generator": what, "bytes": n,
             "x_ref": stats.paired(runner.per_run(ref[n]), runner.per_run(by_size[n]))}
            for (_, what), by_size in list(generators.items())[1:] for n in sizes
            if n in by_size and n in ref]}
    return {"table": "sizes", "rounds": rounds, "sizes": sizes, "rows": rows, "fit": fits,
            "share_bytes": BLOCK, "against": against, "alpha": stats.ALPHA}


def threads_table(variants, rounds):
    """Each thread count against one thread, per generator and size."""
    groups = {}
    for v in variants:
        if not v.cipher:
            groups.setdefault((group_of(v), v.bytes), {})[v.threads] = v
    rows = []
    for (what, n), by_threads in groups.items():
        one = by_threads[1]
        one_rate = runner.rate_median(one)
        for t, v in sorted(by_threads.items()):
            rate = runner.rate_median(v)
            rows.append({"generator": what, "bytes": n, "threads": t,
                         "ticks": runner.run_median(v),
                         "x_one": stats.reference(len(runner.per_run(v))) if t == 1 else
                         stats.paired(runner.per_run(one), runner.per_run(v)),
                         "calls_per_s": rate,
                         "calls_x_one": rate / one_rate if rate and one_rate else None})
    return {"table": "threads", "rounds": rounds, "processors": runner.usable_processors(),
            "rows": rows, "alpha": stats.ALPHA}


def builds_table(builds, out, rounds):
    """How each library was built, where the series are, and whether the
    rounds were too few to tell variants apart."""
    return {"table": "builds",
            "builds": [{"name": b.name, "version": b.info.get("version", "?"),
                        "static": b.static, "cflags": b.info.get("cflags", "?")}
                       for b in builds.values()],
            "fips": FIPS_BUILD if FIPS_BUILD in builds else None, "out": str(out), "rounds": rounds,
            "few_rounds": stats.FEW_RECORDS}


def main_tables(axes, variants, rounds):
    """The tables of an axis: sizes (and threads beside them), threads, or
    builds and generators."""
    if axes.bytes:
        tables = [sizes_table(variants, rounds)]
        if axes.threads and len(axes.threads) > 1:
            tables.append(threads_table(variants, rounds))
        return tables
    if axes.threads:
        return [threads_table(variants, rounds)]
    return [variants_table(variants, rounds)]
