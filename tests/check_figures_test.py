"""bench/check-figures end to end: the references run through the lab's
one runner, and its JSON holds what it printed and every run it took."""

import json

import pytest

from rnglab import figures, runner, variants
from rnglab.errors import LabError
from tests.helpers import command, fixture


def test_check_figures_takes_every_reference_in_each_round_and_writes_what_it_printed(tmp_path):
    done = command("bench/check-figures", "--runs", "2", "--json", tmp_path / "figures.json")
    assert done.returncode == 0, done.stderr
    document = json.loads((tmp_path / "figures.json").read_text())
    [report] = document["tables"]
    assert figures.report_text(report) == done.stdout.rstrip("\n")
    runs = {v["name"]: v["runs"] for v in document["variants"]}
    assert list(runs) == ["program", "cpuid-burst", "lfence-burst", "lfence-run", "speed",
                          "cpuid-burst-32", "lfence-burst-32", "lab"]
    assert all([r["round"] for r in mine] == [1, 2] and all(r["value"] > 0 for r in mine)
               for mine in runs.values())
    # Every run's host noise, and the invocation's, beside the figures.
    assert all(set(r["noise"]) >= {"steal", "others_busy", "involuntary", "migrations"}
               for mine in runs.values() for r in mine)
    assert report["noise"]["runs"] == 16 and "Host noise over the 16 runs" in done.stdout
    # The program and rand_lab append records; the hand loops and openssl speed do not.
    assert [name for name, mine in runs.items() if mine[0]["records"]] == ["program", "lab"]
    verdicts = {r["id"]: r["verdict"] for r in report["rows"] if "verdict" in r}
    assert set(verdicts) == {"spread", "a", "d", "lab", "floor", "time"}
    assert set(verdicts.values()) <= {"met", "missed", "undecided"}


def test_the_fence_factor_at_32_bytes_stands_beside_the_one_at_16_kib():
    document, _, refs = fixture("check-figures.json")
    refs = {ref.name: ref for ref in refs}
    for name, values in (("cpuid-burst-32", [4400, 4500, 4300, 4450, 4420]),
                         ("lfence-burst-32", [2200, 2250, 2150, 2225, 2210])):
        refs[name] = variants.Reference(name, [], None, runs=[
            runner.Run(r, 0, 0, [], "", value=float(v)) for r, v in enumerate(values, start=1)])
    speed_wall = next(r["value"] for r in document["tables"][0]["rows"] if r["id"] == "speed_wall")
    report = figures.report(refs, document["counter"], speed_wall, 5, 1)
    rows = [r["id"] for r in report["rows"]]
    # Not a factor of program / openssl speed: the product is what it was.
    assert rows[rows.index("b"):rows.index("c")] == ["b", "b_small", "cpuid"]
    [small] = [r for r in report["rows"] if r["id"] == "b_small"]
    assert small["ratio"]["median"] == 2.0
    lines = figures.report_text(report).splitlines()
    at = next(k for k, line in enumerate(lines) if line.startswith("   b. "))
    assert lines[at + 1].split() == ["the", "same", "at", "32", "B", "(not", "in", "the",
                                     "product)", "2.000", "2.000-2.000"]
    assert lines[at + 2].split()[-1] == "18314"


def test_a_spread_missed_on_one_processor_names_that_processor():
    document, _, refs = fixture("check-figures.json")
    refs = {ref.name: ref for ref in refs}
    program = refs["program"]
    # Rounds alternate processors: cpu 1's runs 20% apart, cpu 0's within 1%.
    placed = [(0, 10000), (1, 10000), (0, 10050), (1, 12000), (0, 10020)]
    program.runs = [runner.Run(k, cpu, 0, [], "", value=float(v), wall=0.03)
                    for k, (cpu, v) in enumerate(placed, start=1)]
    speed_wall = next(r["value"] for r in document["tables"][0]["rows"] if r["id"] == "speed_wall")
    report = figures.report(refs, document["counter"], speed_wall, 5, 1)
    assert report["missed"][:1] == ["1 on cpu 1"]
    assert figures.verdict_line(report).startswith("Verdict: missed 1 on cpu 1")


# What openssl speed -mr -elapsed -seconds 1 -bytes 16384 rand wrote (standard
# error, then output): the machine-readable line is alike in every version;
# the text form, which changed in 3.5, is not read.
MR_3_0 = "+DT:rand:1:16384\n+R:74274:rand:1.000000\n+H:16384\n+F:27:rand:1216905216.00\n"
MR_3_5 = "+DT:rand:1:16384\n+R:88627:rand:1.000000\n+H:16384\n+F:27:rand:1452064768.00\n"
TEXT_3_0 = "Doing rand for 1s on 16384 size blocks: 63717 rand's in 1.00s\n"
TEXT_3_5 = "Doing rand ops for 1s on 16384 size blocks: 71606 rand ops in 1.01s\n"


@pytest.mark.parametrize("output, ticks", [
    (MR_3_0, 3e9 / 74274),
    (MR_3_5, 3e9 / 88627),
    (MR_3_5.replace("\n", "\r\n"), 3e9 / 88627),
    (TEXT_3_0, None),
    (TEXT_3_5, None),
    ("+DT:rand:1:16384\n+R:0:rand:1.000000\n", None),
])
def test_openssl_speed_is_read_from_its_machine_readable_line(output, ticks):
    run = runner.Run(1, None, 0, [], output)
    if ticks is None:
        with pytest.raises(LabError, match="cannot read the output of openssl speed -mr"):
            figures.speed_ticks(3e9)(run)
    else:
        assert figures.speed_ticks(3e9)(run) == pytest.approx(ticks)
