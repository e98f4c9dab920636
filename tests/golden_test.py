"""The reports, on committed runs (tests/fixtures/*.json, each what
--json wrote), print exactly the text the commands printed before their
reports were computed as data; and the tables a --json file holds are the
ones printed, and print the same text again."""

import json
import os
import re

import pytest

from rnglab import comparison, figures, files, runner
from rnglab.report import labtext, text
from rnglab.cli import compare_openssl
from tests.helpers import ROOT, command, expected, fixture


def comparison_tables(document, builds, variants):
    args = compare_openssl.parse_args(document["argv"])
    args.builds = args.builds or list(builds)
    notes = document["tables"][0].get("notes", []) if args.sources else []
    return comparison.tables_of(args, variants, notes, None, builds)


def figures_tables(document, _builds, refs):
    counter = document["counter"]
    speed_wall = next(r["value"] for r in document["tables"][0]["rows"] if r["id"] == "speed_wall")
    runs = len(refs[0].runs)
    return [figures.report({ref.name: ref for ref in refs}, counter, speed_wall, runs, 1)]


def figures_text(tables):
    return figures.report_text(tables[0])


# name: (the tables computed from the runs, their text)
REPORTS = {
    "builds": (comparison_tables, labtext.render),
    "generators": (comparison_tables, labtext.render),
    "sizes": (comparison_tables, labtext.render),
    "threads": (comparison_tables, labtext.render),
    "sources": (comparison_tables, labtext.render),
    "check-figures": (figures_tables, figures_text),
}


@pytest.mark.parametrize("name", REPORTS)
def test_a_report_prints_as_it_did_and_its_json_holds_what_it_printed(name, monkeypatch):
    # The processors the fixtures' runs could use, whatever this run may.
    monkeypatch.setattr(runner, "usable_processors", lambda: 2)
    compute, render = REPORTS[name]
    document, builds, variants = fixture(f"{name}.json")
    tables = compute(document, builds, variants)
    assert render(tables) == expected(f"{name}.txt")
    assert files.plain(tables) == document["tables"]
    # Everything the text says is in the JSON: printed from it alone, it is the same.
    assert render(json.loads(json.dumps(document["tables"]))) == expected(f"{name}.txt")


def test_the_threads_report_counts_the_processors_this_run_may_use():
    """Not the machine's: under a narrowed affinity (taskset, a container's
    cpuset) threads take turns past the one processor the run may use."""
    document, builds, variants = fixture("threads.json")
    allowed = os.sched_getaffinity(0)
    os.sched_setaffinity(0, {min(allowed)})
    try:
        tables = comparison_tables(document, builds, variants)
    finally:
        os.sched_setaffinity(0, allowed)
    assert [t["processors"] for t in tables if t["table"] == "threads"] == [1]
    assert "\nThis run may use 1 processor: past that, threads take turns" in labtext.render(tables)


@pytest.mark.parametrize("name", ["builds", "sizes", "threads", "sources"])
def test_one_round_is_said_in_the_singular(name):
    document, _, _ = fixture(f"{name}.json")
    said = labtext.render([{**t, "rounds": 1} if "rounds" in t else t
                           for t in document["tables"]])
    assert re.search(r"\b1 run( median)?\b", said)
    assert not re.search(r"\b1 (runs|run medians|rounds)\b", said)


@pytest.mark.parametrize("args, name", [([], "series-summary.txt"),
                                        (["--changes"], "series-changes.txt")])
def test_series_reports_print_as_they_did(args, name):
    done = command("tools/series", *args, "docs/libcrypto-switch.txt", cwd=ROOT)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout.rstrip("\n") == expected(name)


def comparison_of(verdict, ratio=0.9, p=0.01, n=6):
    return {"verdict": verdict, "ratio": ratio, "p": p, "n": n}


# a verdict code, and its sentence in the lab's tables and in tools/series
SENTENCES = [
    (comparison_of("faster"), "10.0% faster (p = 0.01)", "new is 10.0% faster (p = 0.01)"),
    (comparison_of("slower", 2.5), "2.5 times slower (p = 0.01)",
     "new is 150.0% slower (p = 0.01)"),
    (comparison_of("slower", None), "no significant difference (p = 0.01)",
     "new is slower (p = 0.01; the old median is 0, so no ratio)"),
    (comparison_of("no-difference", 1.01, 0.4), "no significant difference (p = 0.4)",
     "no significant difference (p = 0.4)"),
    (comparison_of("undecided", 1.2, 0.25, 3), "undecided: 3 rounds cannot reach p < 0.05",
     "no significant difference (p = 0.25)"),
]


@pytest.mark.parametrize("c, short, long", SENTENCES)
def test_verdict_codes_read_as_the_sentences_they_always_were(c, short, long):
    assert (text.short_verdict(c, 0.05), text.long_verdict(c)) == (short, long)
