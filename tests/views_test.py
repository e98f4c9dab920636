"""The views' tables (rnglab.views) on runs and samples drawn by the test,
whose pattern is the one the views were made to show: a fence that costs a
long call path more than a short one, and a buffered source whose median
hides its refills."""

import json
import types

import numpy as np
import pytest

from rnglab import (answer, comparison, files, labtext, matrix, runner, sequential, sources,
                    variants, views)
from tests.helpers import expected

ROUNDS = 6
CALLS = 64
# (source, view): what its calls cost, a cycle of counts repeated (a buffer
# refilled every third call), and the interrupt each run takes.
COSTS = {
    ("openssl", "cpuid"): [2184], ("openssl", "lfence"): [1690], ("openssl", "batch"): [1658],
    ("boringssl", "cpuid"): [572], ("boringssl", "lfence"): [560],
    ("boringssl", "batch"): [490],
    ("vdso", "cpuid"): [78, 78, 340], ("vdso", "lfence"): [70, 70, 330],
    ("vdso", "batch"): [166],
}
SPIKE = 60000


def counts_of(rng, cycle, batched):
    """One run's counts: the cycle with a little noise, and for a call (not a
    batch, which is already a mean) one interrupt somewhere."""
    x = np.resize(np.array(cycle), CALLS) * rng.normal(1, 0.01, CALLS)
    if not batched:
        x[rng.integers(CALLS)] = SPIKE
    return x.round().astype(int)


def record_median(x):
    """The record's median: the two middle counts' mean, rounded down."""
    s = np.sort(x)
    return (int(s[CALLS // 2 - 1]) + int(s[CALLS // 2])) // 2


def made_variants(tmp_path):
    build = variants.Build("system-shared", tmp_path, False, {"version": "OpenSSL 3.0.19"})
    made = sources.make_variants(build, {"openssl": "OpenSSL 3.0.19", "boringssl": "BoringSSL",
                                         "vdso": "Linux 6.18"}, [32], [1], CALLS)
    rng = np.random.default_rng(30)
    made = matrix.in_views(made, list(variants.VIEWS))
    for v in made:
        v.folder = tmp_path / v.name
        v.folder.mkdir()
        lines, v.runs = ["thread,call,ticks"], []
        for r in range(1, ROUNDS + 1):
            x = counts_of(rng, COSTS[(v.source, v.view)], v.batch > 1)
            lines += [f"1,{c},{n}" for c, n in enumerate(x)]
            # One batch of the third round had another task in its way.
            output = "" if v.batch == 1 else \
                f"batches process=parent n=1 disturbed={int(r == 3)} remeasured={int(r == 3)} " \
                "marked=0\n"
            v.runs.append(runner.Run(r, r % 2, r - 1, [{"median": record_median(x)}], output,
                                     value=float(record_median(x))))
        (v.folder / v.samples).write_text("\n".join(lines) + "\n")
    return made


def test_the_views_print_as_they_did(tmp_path):
    made = made_variants(tmp_path)
    # A variant's views stand side by side in each round.
    assert [v.name for v in made[:3]] == ["system-shared+32B+64calls",
                                          "system-shared+32B+64calls+lfence",
                                          "system-shared+32B+64calls+lfence+batch100"]
    tables = [views.report(made, ROUNDS, list(variants.VIEWS), True)]
    assert labtext.render(tables) == expected("views.txt")
    assert labtext.render(json.loads(json.dumps(files.plain(tables)))) == expected("views.txt")


def test_rounds_until_decided_name_the_sequential_interval_in_every_text(tmp_path):
    made = made_variants(tmp_path)
    first = [v for v in made if v.view == variants.DEFAULT_VIEW]
    with sequential.judging({"precision": 0.01, "final": True}):
        tables = [views.report(made, ROUNDS, list(variants.VIEWS), True),
                  answer.report(sources.report(first, ROUNDS, []), first)]
        # Rounds until decided wait on every view's ratios, not the first's only.
        args = types.SimpleNamespace(sources=["all"], views=list(variants.VIEWS))
        judged = [d["name"] for d in comparison.decisions(args, made, [])]
    assert judged == ["boringssl 32 B 1 thread", "vdso 32 B 1 thread", "boringssl 32 B lfence",
                      "boringssl 32 B batch", "vdso 32 B lfence", "vdso 32 B batch"]
    said = " ".join(labtext.render(tables).split())
    assert "bootstrap" not in said and "signed-rank" not in said
    # The fence factor, the median against the robust mean, each source
    # against OpenSSL, and the answer.
    assert said.count("with the sequential rule's interval") == 3
    assert "and the sequential rule's interval, as above" in said


def test_a_comparison_parts_where_two_views_intervals_do_not_overlap():
    def c(ratio, low, high):
        return {"ratio": ratio, "low": low, "high": high}
    assert views.parted({"cpuid": c(0.26, 0.25, 0.27), "lfence": c(0.32, 0.31, 0.33),
                         "batch": c(0.3, 0.28, 0.315)}, list(variants.VIEWS)) == ["fence"]
    assert views.parted({"cpuid": c(0.26, 0.25, 0.27), "lfence": c(0.27, 0.26, 0.28),
                         "batch": c(0.3, 0.29, 0.31)}, list(variants.VIEWS)) == ["batch"]
    assert views.parted({"cpuid": c(0.26, 0.25, 0.27), "lfence": c(0.28, 0.26, 0.29),
                         "batch": c(0.3, 0.28, 0.31)}, list(variants.VIEWS)) == ["view"]
    # No interval, no claim.
    assert views.parted({"cpuid": c(0.26, None, None), "lfence": c(0.5, 0.4, 0.6)},
                        ["cpuid", "lfence"]) == []


@pytest.mark.parametrize("view, name, args", [
    ("cpuid", "system-shared+32B", []),
    ("lfence", "system-shared+32B+lfence", ["--fence", "lfence"]),
    ("batch", "system-shared+32B+lfence+batch100", ["--fence", "lfence", "--batch", "100"]),
])
def test_each_view_is_a_variant_with_its_own_series(tmp_path, view, name, args):
    build = variants.Build("system-shared", tmp_path, False, {"version": "OpenSSL 3.0.19"})
    v = variants.with_view(variants.variant(build, variants.DEFAULT_GENERATOR, None,
                                            (32, 1, False)), view)
    assert (v.name, v.view) == (name, view)
    assert v.command[1:] == ["--bytes", "32", "--threads", "1", *args]
