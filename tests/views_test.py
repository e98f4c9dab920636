"""The views' tables (rnglab.views) on runs and samples drawn by the test,
whose pattern is the one the views were made to show: a fence that costs a
long call path more than a short one, and a buffered source whose median
hides its refills."""

import json
import re
import types

import numpy as np
import pytest

from rnglab import answer, comparison, files, matrix, runner, sequential, sources, variants, views
from rnglab.report import labtext
from rnglab.errors import LabError
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


def made_variants(tmp_path, rounds=ROUNDS):
    build = variants.Build("system-shared", tmp_path, False, {"version": "OpenSSL 3.0.19"})
    made = sources.make_variants(build, {"openssl": "OpenSSL 3.0.19", "boringssl": "BoringSSL",
                                         "vdso": "Linux 6.18"}, [32], [1], CALLS)
    rng = np.random.default_rng(30)
    made = matrix.in_views(made, list(variants.VIEWS))
    for v in made:
        v.folder = tmp_path / v.name
        v.folder.mkdir(parents=True)
        lines, v.runs = ["thread,call,ticks"], []
        for r in range(1, rounds + 1):
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
    # Two rounds part the ratios as far, and decide nothing.
    made = made_variants(tmp_path / "two", rounds=2)
    said = labtext.render([views.report(made, 2, list(variants.VIEWS), True)])
    assert "this comparison" not in said
    assert said.endswith("\nUndecided whether the view changes these comparisons (2 rounds cannot "
                         "reach p < 0.05):\n  at 32 B: boringssl, vdso")


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


def rounds_of(*ratios):
    return [{"round": r, "median": x} for r, x in enumerate(ratios, start=1)]


# A source's ratio against OpenSSL per round in each view, and what the
# rounds decide of the view's part in that comparison.
UP = [1.01, 0.99, 1.02, 0.98, 1.03, 0.97]  # no trend, round to round
BETWEEN = [
    # Two rounds: the ratios part by a fifth, yet no test can decide on two.
    ({"cpuid": [0.11, 0.112], "lfence": [0.13, 0.131], "batch": [0.12, 0.121]},
     "undecided", []),
    ({"cpuid": [0.26] * 6, "lfence": [0.32 * u for u in UP], "batch": [0.32 / u for u in UP]},
     "changes", ["fence"]),
    ({"cpuid": [0.3 * u for u in UP], "lfence": [0.3 / u for u in UP], "batch": [0.26] * 6},
     "changes", ["batch"]),
    ({"cpuid": [0.22] * 6, "lfence": [0.26 * u for u in UP], "batch": [0.3] * 6},
     "changes", ["fence", "batch"]),
    ({"cpuid": [0.26 * u for u in UP], "lfence": [0.26 / u for u in UP],
      "batch": [0.26 * u for u in UP]}, "no-difference", []),
    # Apart only from each other's far ends: the view, neither alone.
    ({"cpuid": [0.28 * x for x in (1, 1, 1, 1, 1, 1)],
      "lfence": [0.28 * x for x in (1.04, 0.99, 1.05, 0.98, 1.06, 0.97)],
      "batch": [0.28 * x for x in (1.04, 1.05, 1.03, 1.04, 1.05, 1.04)]}, "changes", ["view"]),
]


@pytest.mark.parametrize("ratios, verdict, causes", BETWEEN)
def test_a_view_changes_a_comparison_only_where_the_rounds_decide_it(ratios, verdict, causes):
    found = views.between_views({view: rounds_of(*x) for view, x in ratios.items()})
    assert (found["verdict"], found["causes"]) == (verdict, causes)


# Each view of each source tried before round 1, by a rand_lab that refuses
# the runs whose arguments hold a pattern: what is left, and the notes, or
# the line that stops the comparison.
TRIED = [
    # A later view: that view alone is left out.
    ("--source rdrand --fence lfence --batch", 8,
     ["rdrand not measured in the batch view: broken here"]),
    # The first view, whose tables need every source: the source is.
    ("--source rdrand --samples", 6, ["rdrand not measured: broken here (in the cpuid view)"]),
    # OpenSSL's, the reference, in any view: nothing is measured.
    ("--calls 2 --fence lfence --batch", None, "system-shared+32B+64calls+lfence+batch100: "
     "broken here"),
]


@pytest.mark.parametrize("pattern, left, said", TRIED)
def test_every_view_of_every_source_is_tried_before_the_rounds(tmp_path, pattern, left, said):
    (tmp_path / "bench").mkdir()
    lab = tmp_path / "bench" / "rand_lab"
    lab.write_text(f'#!/bin/sh\ncase " $* " in *"{pattern}"*) echo "rand_lab: broken here"; '
                   "exit 2;; esac\n")
    lab.chmod(0o755)
    build = variants.Build("system-shared", tmp_path, False, {"version": "OpenSSL 3.0.19"})
    made = sources.make_variants(build, {"openssl": "3.0.19", "rdrand": "instruction",
                                         "vdso": "Linux 6.18"}, [32], [1], CALLS)
    made = matrix.in_views(made, list(variants.VIEWS))
    if left is None:
        with pytest.raises(LabError, match=re.escape(said)):
            matrix.tried_views(made, list(variants.VIEWS))
        return
    kept, notes = matrix.tried_views(made, list(variants.VIEWS))
    assert (len(kept), notes) == (left, said)
    assert not list(tmp_path.glob("**/osslRb1a.txt"))


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
