"""Rounds through the lab's one runner, on references whose figures are
drawn rather than measured (each run is /bin/true): the sequential stop
(decided, the time spent, the most rounds, nothing to decide) and its
progress lines, check-figures' report showing the very intervals the rule
judged, and each run's host noise in the provenance and the JSON, a noisy
run marked, and with rerun_noisy run again without being dropped."""

import dataclasses
import itertools
import json
import os
import subprocess

import numpy as np
import pytest

from rnglab import figures, noise, provenance, runner, sequential, stats, stopping
from rnglab.report import text
from rnglab.variants import Reference

TRUE = ["true"]


def drawn(ratio, spread, seed):
    """A reference's figure: 10,000 ticks times ratio, with log-normal noise
    of spread drawn per round (the same draws for every reference of one
    seed but their ratio, when spread is 0)."""
    def read(run):
        rng = np.random.default_rng([seed, run.round, run.rerun])
        return 10000.0 * ratio * float(np.exp(spread * rng.standard_normal()))
    return read


def pair(ratio, spread):
    return [Reference("a", TRUE, drawn(1.0, spread, 1)), Reference("b", TRUE, drawn(ratio, spread,
                                                                                    2))]


def judge_of(refs):
    def judge():
        c = stats.paired(runner.per_run(refs[0]), runner.per_run(refs[1]))
        return [] if c["ratio"] is None else [
            {"name": "b / a", "median": c["ratio"], "low": c["low"], "high": c["high"],
             "verdict": c["verdict"], "decided": c["decided"]}]
    return judge


def ticking(step):
    """A clock that moves step seconds each time it is read: one read per
    round."""
    return itertools.count(0, step).__next__


# ratio, spread, precision, max_time, max_rounds, no ratio: the rounds run,
# why they stopped, stopped between looks, the verdict
STOPS = {
    "5% slower": ((1.05, 0.01, 0.01, None, 400, False), (9, "decided", False, "slower")),
    "the same to 1%": ((1.0, 0.001, 0.01, None, 400, False), (9, "decided", False, "same")),
    "the time spent": ((1.0, 0.05, 0.001, 100, None, False), (10, "max-time", True, "undecided")),
    "the most rounds": ((1.0, 0.05, 0.001, None, 12, False),
                        (12, "max-rounds", True, "undecided")),
    "nothing to decide": ((1.0, 0.01, 0.01, None, 400, True), (9, "no-ratio", False, None)),
}


@pytest.mark.parametrize("case", STOPS, ids=list(STOPS))
def test_rounds_run_until_decided_or_out_of_time_and_say_so(case, capsys):
    (ratio, spread, precision, max_time, max_rounds, none), want = STOPS[case]
    refs = pair(ratio, spread)
    until = stopping.Until(precision, max_time, max_rounds,
                           (lambda: []) if none else judge_of(refs), clock=ticking(10))
    runner.run_rounds(refs, None, until=until)
    said = until.data()
    verdict = said["ratios"][0]["verdict"] if said["ratios"] else None
    assert (said["rounds"], said["reason"], said["final"], verdict) == want
    assert [len(r.runs) for r in refs] == [want[0]] * 2
    err = capsys.readouterr().err
    assert f"stopped after {want[0]} rounds" in err.splitlines()[-1]
    if not none:
        # A progress line at each look: the round, the time, what is left.
        assert "round 9, 1m30s: " in err
    # The tables, computed under the rule's design, show what it judged.
    with sequential.judging(said):
        c = stats.paired(runner.per_run(refs[0]), runner.per_run(refs[1]))
    if said["ratios"]:
        assert (c["low"], c["high"], c["verdict"]) == \
            tuple(said["ratios"][0][k] for k in ("low", "high", "verdict"))


@pytest.mark.parametrize("quiet, named", [
    (10**9, ["a", "a"]),  # a log gets each round's first variant
    (0, ["a", "b", "a", "b"]),  # and another once it has been quiet QUIET seconds
])
def test_a_log_of_the_rounds_names_a_variant_when_it_has_been_quiet(monkeypatch, capsys,
                                                                    quiet, named):
    monkeypatch.setattr(runner, "QUIET", quiet)
    runner.run_rounds(pair(1.0, 0.01), 2)
    lines = [line for line in capsys.readouterr().err.splitlines() if ", variant " in line]
    assert [line.rsplit(": ", 1)[1] for line in lines] == named


# check-figures' references, each figure drawn: a and program / rand_lab
# within their targets, d far below its own.
FIGURES = {"program": 1.0, "cpuid-burst": 1.0, "lfence-burst": 0.75, "lfence-run": 0.8,
           "speed": 1.2, "lab": 1.0}
COUNTER = {"counter": "a fake", "counter_hz": 2.6e9, "cpuid_ticks": "100", "floor_project": "32",
           "floor_inline": "32"}


def test_check_figures_reports_the_intervals_and_verdicts_its_stop_judged(capsys):
    refs = [Reference(name, TRUE, drawn(r, 0.002, k)) for k, (name, r) in
            enumerate(FIGURES.items())]
    by_name = {ref.name: ref for ref in refs}
    until = stopping.Until(0.01, None, 400, lambda: figures.decisions(by_name, COUNTER),
                           clock=ticking(1))
    runner.run_rounds(refs, None, rotate=True, until=until)
    report = figures.report(by_name, COUNTER, 1.0, until.rounds, 1, until.data())
    rows = {r["id"]: r for r in report["rows"]}
    judged = [(rows[tag]["ratio"]["low"], rows[tag]["ratio"]["high"], rows[tag]["verdict"])
              for tag in figures.DECIDES if tag in rows]
    assert judged == [(d["low"], d["high"], d["verdict"]) for d in until.decisions]
    assert [d["verdict"] for d in until.decisions] == ["met", "missed", "met"]
    assert (report["runs"], report["verdict"], report["stopping"]["reason"]) == \
        (9, "missed", "decided")
    said = figures.report_text(report)
    words = " ".join(said.split())
    assert "Rounds: 9 in 9s, run until decided (each targeted ratio to +/- 0.01, at most 400 " \
        "rounds); they stopped because every targeted ratio was decided." in words
    assert "First decided, in rounds: a (program / hand loop) at 9; d (loop / openssl speed) " \
        "at 9;" in words
    assert said.endswith("Verdict: missed 2d.")
    assert "round 9, 9s: 3 of 3 ratios decided" in capsys.readouterr().err


QUIET = noise.Noise(seconds=0.01, cpu=None, steal=0.0, steal_cpus={"cpu0": 0.0},
                    busy_cpus={"cpu0": 0.1}, others_busy=None, load_start=0.5, load_end=0.5,
                    involuntary=0, voluntary=1, migrations=0)


def a_host_that_steals_at(monkeypatch, stolen):
    """noise.run that starts nothing and finds the host quiet around every
    run but the ones numbered in stolen (from 0), which lose 30% to steal."""
    count = itertools.count()

    def run(command, cpu=None, **_):
        k = next(count)
        return subprocess.CompletedProcess(command, 0, "", None), \
            dataclasses.replace(QUIET, cpu=cpu, steal=0.3 if k in stolen else 0.0)
    monkeypatch.setattr(runner.noise, "run", run)


@pytest.mark.parametrize("rerun, rounds, marks, mark", [
    (False, [1, 2, 3, 4], {"noisy": 1, "rerun": 0}, "*"),
    (True, [1, 2, 3, 3, 4], {"noisy": 0, "rerun": 1}, "+"),
])
def test_a_noisy_run_is_marked_and_run_again_if_asked_never_dropped(monkeypatch, rerun, rounds,
                                                                    marks, mark):
    a_host_that_steals_at(monkeypatch, {5})  # b's run in round 3
    refs = pair(1.0, 0.01)
    runner.run_rounds(refs, 4, rerun_noisy=rerun)
    b = refs[1]
    assert [run.round for run in b.runs] == rounds
    noisy = b.runs[2]
    assert (noisy.noisy, noisy.replaced) == (["steal"], rerun)
    # The round's figure is the re-run's; the noisy run's stays recorded.
    assert [r["median"] for r in runner.per_run(b)] == \
        [run.value for run in b.runs if run is not noisy or not rerun]
    c = stats.paired(runner.per_run(refs[0]), runner.per_run(b))
    assert {k: c[k] for k in marks} == marks and text.ratio(c).endswith(mark)
    table = noise.table_of(refs)
    assert [(r["variant"], r["round"], r["measures"], r["replaced"]) for r in table["noisy"]] == \
        [("b", 3, ["steal"], rerun)]
    assert (table["runs"], table["reruns"]) == (len(rounds) + 4, int(rerun))
    lines = [provenance.run_line(run) for run in b.runs]
    assert lines[2].endswith("noise: steal 30%, all cpus 10% busy, load 0.50-0.50, 0 "
                             "involuntary switches, 0 migrations; noisy (steal)" +
                             ("; replaced by its re-run in the round's ratios" if rerun else ""))
    assert lines[3].startswith("  round 3 re-run, free: no record" if rerun else "  round 4")
    # The JSON holds each run as the runner left it.
    assert [provenance.run_of(json.loads(json.dumps(provenance.run_data(run))))
            for run in b.runs] == b.runs


def test_a_run_records_the_host_noise_around_it():
    ref = Reference("a", TRUE, drawn(1.0, 0.0, 1))
    cpu = min(os.sched_getaffinity(0))
    run = runner.run_once(ref, cpu=cpu, round_=1)
    assert isinstance(run.noise, noise.Noise) and run.noise.cpu == cpu and run.noise.seconds > 0
    assert "; noise: steal " in provenance.run_line(run)
    assert provenance.run_data(run)["noise"] == run.noise.as_dict()


def sequential_ratio(low, high):
    return {"median": (low + high) / 2, "low": low, "high": high, "interval": "sequential",
            "level": 0.004, "precision": 0.01}


# a ratio of rounds run until decided against the band 0.98-1.02: its
# verdict, and its words in the check-figures table
BANDS = [
    (sequential_ratio(0.985, 1.015), "met", "met"),
    (sequential_ratio(1.03, 1.06), "missed", "MISSED"),
    (sequential_ratio(1.01, 1.025), "edge", "on the edge"),  # known to 1%, across 1.02
    (sequential_ratio(0.97, 1.01), "undecided", "undecided"),
    ({**sequential_ratio(1.0, 1.0), "low": None, "high": None}, "undecided", "undecided"),
]


@pytest.mark.parametrize("r, verdict, words", BANDS)
def test_a_band_is_met_missed_or_on_its_edge_by_the_sequential_interval(r, verdict, words):
    assert stats.judge(r, 0.98, 1.02) == verdict
    row = figures.judged({"id": "a", "tag": "2a", "ratio": r}, (0.98, 1.02))
    assert figures.row_cells({"seconds": 1, "alpha": 0.05}, row)[-1] == words
