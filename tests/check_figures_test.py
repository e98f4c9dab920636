"""bench/check-figures end to end: the references run through the lab's
one runner, and its JSON holds what it printed and every run it took."""

import json

from rnglab import figures
from tests.helpers import command


def test_check_figures_takes_every_reference_in_each_round_and_writes_what_it_printed(tmp_path):
    done = command("bench/check-figures", "--runs", "2", "--json", tmp_path / "figures.json")
    assert done.returncode == 0, done.stderr
    document = json.loads((tmp_path / "figures.json").read_text())
    [report] = document["tables"]
    assert figures.report_text(report) == done.stdout.rstrip("\n")
    runs = {v["name"]: v["runs"] for v in document["variants"]}
    assert list(runs) == ["program", "cpuid-burst", "lfence-burst", "lfence-run", "speed", "lab"]
    assert all([r["round"] for r in mine] == [1, 2] and all(r["value"] > 0 for r in mine)
               for mine in runs.values())
    # Every run's host noise, and the invocation's, beside the figures.
    assert all(set(r["noise"]) >= {"steal", "others_busy", "involuntary", "migrations"}
               for mine in runs.values() for r in mine)
    assert report["noise"]["runs"] == 12 and "Host noise over the 12 runs" in done.stdout
    # The program and rand_lab append records; the hand loops and openssl speed do not.
    assert [name for name, mine in runs.items() if mine[0]["records"]] == ["program", "lab"]
    verdicts = {r["id"]: r["verdict"] for r in report["rows"] if "verdict" in r}
    assert set(verdicts) == {"spread", "a", "d", "lab", "floor", "time"}
    assert set(verdicts.values()) <= {"met", "missed", "undecided"}
