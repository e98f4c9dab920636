"""tools/fleet: a machine's identity and key, the report of hand-made records
of three machines (tests/fixtures/fleet/, numbers checkable by hand), the
files it refuses, and a record taken end to end in its smoke form."""

import json
import os
import shutil
import sys
import types

import pytest

from rnglab import fleet, fleetrecord, machine, provenance, runner
from rnglab.report import fleettext
from rnglab.cli import fleet as fleet_cli
from rnglab.errors import LabError
from tests.helpers import FIXTURES, command, compare_env, expected

FLEET = FIXTURES / "fleet"
XEON = "intel-r-xeon-r-processor_genuineintel-6-143-8_kvm_2cpu_debian-12"
CPU = {"cpu_vendor": "AuthenticAMD", "cpu_family": "25", "cpu_model": "17", "cpu_stepping": "1",
       "cpu_brand": "AMD EPYC"}

# (what counter_check printed, /sys/hypervisor/type, /proc/cpuinfo's flags,
#  /etc/os-release) -> (hypervisor, key)
IDENTITIES = [
    ({**CPU, "hypervisor_signature": "KVMKVMKVM"}, "", "fpu hypervisor", 'ID=debian\n'
     'VERSION_ID="12"\n', ("KVM", "amd-epyc_authenticamd-25-17-1_kvm_1cpu_debian-12")),
    # Ubuntu's point release is not in the key: the machine stays one.
    (CPU, "", "fpu", 'PRETTY_NAME="Ubuntu 24.04.1 LTS"\nID=ubuntu\nVERSION_ID="24.04"\n',
     (None, "amd-epyc_authenticamd-25-17-1_metal_1cpu_ubuntu-24.04")),
    ({**CPU, "hypervisor_signature": "?"}, "xen\n", "hypervisor", "",
     ("xen", "amd-epyc_authenticamd-25-17-1_xen_1cpu_unknown")),
    (CPU, "", "fpu hypervisor", "ID=arch\n",
     ("unnamed", "amd-epyc_authenticamd-25-17-1_unnamed_1cpu_arch")),
    ({**CPU, "hypervisor_signature": "SomeNewHV"}, "", "hypervisor", "ID=debian\n",
     ("SomeNewHV", "amd-epyc_authenticamd-25-17-1_somenewhv_1cpu_debian")),
    ({k: v for k, v in CPU.items() if k != "cpu_stepping"}, "", "", "ID=debian\n",
     (None, None)),
]


@pytest.mark.parametrize("info, sys_type, flags, release, found", IDENTITIES)
def test_a_machine_is_named_by_its_stable_parts(info, sys_type, flags, release, found,
                                                tmp_path, monkeypatch):
    for path, content in (("sys/hypervisor/type", sys_type),
                          ("proc/cpuinfo", f"processor\t: 0\nflags\t\t: {flags}\n"),
                          ("etc/os-release", release)):
        if content:
            (tmp_path / path).parent.mkdir(parents=True, exist_ok=True)
            (tmp_path / path).write_text(content)
    monkeypatch.setattr(runner, "usable_cpus", lambda: [3])
    # The counter's rate and a CPUID's cost are beside the identity, never in it.
    mine = machine.identity({**info, "counter_hz": "2e9", "cpuid_ticks": "9000"}, tmp_path)
    assert (mine["hypervisor"], mine["key"]) == found
    assert set(provenance.counter_data({**info, "counter_hz": "2e9"})) == {"counter_hz"}


def test_the_report_of_three_machines_prints_as_checked_by_hand_and_its_json_holds_it(tmp_path):
    done = command("tools/fleet", "report", "--history", "--json", tmp_path / "fleet.json", FLEET)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout.rstrip("\n") == expected("fleet.txt")
    report = json.loads((tmp_path / "fleet.json").read_text())
    # The same brand string, other processors: two machines, never one.
    assert [m["cpu"]["brand"] for m in report["machines"]] == ["AMD EPYC", "AMD EPYC",
                                                               "Intel(R) Xeon(R) Processor"]
    # Each machine's figures are its own latest record's.
    for m in report["machines"]:
        [path] = [p for p in m["files"] if p.endswith("-sources.json")]
        views = next(t for t in json.loads(open(path).read())["tables"] if t["table"] == "views")
        mine = [(r["source"], r["view"], c) for r in report["sources"] for c in r["machines"]
                if c["machine"] == m["key"]]
        for source, view, c in mine:
            [row] = [r for r in views["rows"] if r["what"] == source]
            ticks = next(v["ticks"] for v in row["views"] if v["view"] == view)
            assert c["ns"] == pytest.approx(ticks / m["counter_hz"] * 1e9)
            if source != "openssl":
                [x] = [a["x_openssl"][view] for a in views["against"] if a["source"] == source]
                assert c["x_openssl"] == x
    assert [r["counted"] for m in report["history"] for r in m["records"]] == \
        [True, True, False, True]


def document(name):
    return json.loads((FLEET / XEON / name).read_text())


def without_views(d):
    return {**d, "tables": [t for t in d["tables"] if t["table"] != "views"]}


# A file the report must refuse: (its name, its text) -> the line's end.
REFUSED = [
    ("cut.json", json.dumps(document("2026-12-10T093000Z-sources.json"))[:500],
     "not whole JSON ("),
    ("series.json", json.dumps([{"label": "RAND_bytes:", "median": 10}]),
     "not a document of the lab's (a JSON list)"),
    ("old.json", json.dumps({k: v for k, v in document("2026-12-10T093000Z-sources.json").items()
                             if k != "schema"}),
     "schema 1, written before machines had keys; tools/fleet reads schema 2"),
    ("new.json", json.dumps({**document("2026-12-10T093000Z-fork.json"), "schema": 3}),
     "schema 3, written by another version of the lab; tools/fleet reads schema 2"),
    ("plain.json", json.dumps({k: v for k, v in document("2026-12-10T093000Z-fork.json").items()
                               if k != "record"}),
     "written by compare-openssl, not a part of a record of tools/fleet record"),
    ("swapped.json", json.dumps({**document("2026-12-10T093000Z-figures.json"),
                                 "record": "sources"}),
     "a sources part written by check-figures, not compare-openssl"),
    ("short.json", json.dumps(without_views(document("2026-12-10T093000Z-sources.json"))),
     "not a whole sources part ('no views table')"),
    ("moved.json", json.dumps({**document("2026-12-10T093000Z-fork.json"), "machine": {
        **document("2026-12-10T093000Z-fork.json")["machine"], "cpus": [0]}}),
     f"its machine's key {XEON} is not the one its identity makes ("
     f"{XEON.replace('2cpu', '1cpu')}): not counted as either machine"),
    (f"{XEON}/2026-12-10T093000Z-fork.json", json.dumps(document("2026-12-10T093000Z-fork.json")),
     "the fork part of " + XEON + "'s record of 2026-12-10 09:30:00 UTC again (also "),
    # A pipe named as a record, which reading would wait on for ever.
    ("pipe.json", None, "not a file or a folder"),
]


@pytest.mark.parametrize("name, text, says", REFUSED, ids=[r[0] for r in REFUSED])
def test_a_file_that_is_not_a_whole_part_of_a_record_is_refused_in_one_line(name, text, says,
                                                                            tmp_path):
    shutil.copytree(FLEET, tmp_path / "fleet")
    path = tmp_path / "more" / name
    path.parent.mkdir(parents=True)
    if text is None:
        os.mkfifo(path)
    else:
        path.write_text(text)
    done = command("tools/fleet", "report", tmp_path / "fleet", path if text is None else
                   tmp_path / "more")
    assert (done.returncode, done.stdout) == (1, "")
    [line] = done.stderr.splitlines()
    assert line.startswith(f"fleet: {tmp_path / 'more' / name}: " + says[:20]), line
    assert says in line


def test_a_record_never_replaces_a_part_and_needs_a_key(tmp_path, monkeypatch):
    (tmp_path / "k").mkdir()
    (tmp_path / "k" / "STAMP-fork.json").write_text("{}")
    with pytest.raises(LabError, match="STAMP-fork.json exists already"):
        fleetrecord.targets(tmp_path, "k", "STAMP")
    monkeypatch.setattr(provenance, "counter", lambda build: {"counter_hz": "2e9"})
    monkeypatch.setattr(fleetrecord.figures, "build_default", lambda: None)
    with pytest.raises(LabError, match="did not say which processor this is"):
        fleetrecord.machine_key()


# (part, the record's time, seconds spent before it) -> its rounds' --max-time:
# the fork part's minute, then the sources' rounds, leave the figures theirs,
# even where the sources' steps took the margin's minute more than estimated.
BUDGETS = [("sources", 720, 60, 415), ("figures", 720, 60 + 45 + 415 + 60, 120),
           ("figures", 720, 800, 1)]


@pytest.mark.parametrize("part, max_time, spent, seconds", BUDGETS)
def test_the_parts_rounds_share_the_records_time(part, max_time, spent, seconds):
    assert fleetrecord.budget(part, max_time, spent) == seconds


def test_a_record_stopped_in_a_part_keeps_the_parts_written_and_says_its_time(
        tmp_path, monkeypatch):
    monkeypatch.setattr(fleetrecord, "machine_key", lambda: "k")
    taken = []

    def take(args, argv):
        taken.append(argv)
        if len(taken) == 3:
            raise KeyboardInterrupt
        return {"machine": {"key": "k"}}, [], "its report"

    monkeypatch.setattr(fleetrecord, "TAKES", {"compare-openssl": take, "check-figures": take})
    options = types.SimpleNamespace(results=tmp_path, out=tmp_path / "w", sources="all",
                                    rounds=None, max_time=600)
    ticks = iter(range(0, 1000, 100))
    with pytest.raises(KeyboardInterrupt):
        parse = {name: lambda argv: types.SimpleNamespace() for name in fleetrecord.TAKES}
        fleetrecord.record(options, parse,
                           lambda said: None, clock=lambda: next(ticks))
    assert sorted(p.name.split("-")[-1] for p in (tmp_path / "k").iterdir()) == \
        ["fork.json", "sources.json"]
    # Each clock reading 100 s on: the sources' rounds get what the fork part
    # left (600 - 300 - 245), the figures' what both did (600 - 500 - 20).
    assert [a[a.index("--max-time") + 1] for a in taken[1:]] == ["55s", "1m20s"]
    done = {"key": "k", "files": ["a", "b"], "parts": {"fork": 61, "sources": 500},
            "seconds": 800, "max_time": 720, "within": False}
    assert fleettext.record_text(done).splitlines()[0] == (
        "Recorded k in 13m20s (fork 1m01s, sources 8m20s), over its 12m: record on a quieter "
        "machine, or give --max-time:")


def test_a_page_is_the_texts_sections_and_needs_the_html_report(tmp_path, monkeypatch, capsys):
    page = tmp_path / "fleet.html"
    monkeypatch.setitem(sys.modules, "rnglab.report", None)
    assert fleet_cli.main(["report", "--html", str(page), str(tmp_path / "none")]) == 1
    [line] = capsys.readouterr().err.splitlines()
    assert line.startswith("fleet: --html: this checkout has no HTML report (rnglab/report)")
    written = {}
    html = types.SimpleNamespace(check=lambda path: None, blocks_of=list,
                                 write=lambda path, made: written.update({path: made}))
    monkeypatch.setitem(sys.modules, "rnglab.report", types.SimpleNamespace(html=html))
    assert fleet_cli.main(["report", "--history", "--html", str(page), str(FLEET)]) == 0
    made = written[page]
    # The page shows what the text prints, section by section, the answer first.
    shown = [made["answer"], *made["sections"]]
    assert [s["id"] for s in shown] == ["answers", "machines", "versions", "sources", "history"]
    text = capsys.readouterr().out
    for s in shown:
        assert "\n".join(s["blocks"]) in text
    assert made["document"]["machines"][2]["key"] == XEON


def test_the_html_report_lays_the_page_out_where_the_checkout_has_it(tmp_path, capsys):
    pytest.importorskip("rnglab.report.html", reason="this checkout has no HTML report")
    page = tmp_path / "fleet.html"
    assert fleet_cli.main(["report", "--html", str(page), str(FLEET)]) == 0
    made = page.read_text()
    # Every section, its tables as tables, the data embedded once.
    assert [made.count(f'id="{s}"') for s in ("answer", "machines", "versions", "sources")] == \
        [1, 1, 1, 1]
    assert made.count("<table>") == 4 and made.count('id="data"') == 1
    assert XEON in made and capsys.readouterr().err == ""


def test_a_smoke_record_is_read_back_by_the_report(tmp_path_factory, tmp_path):
    """The record end to end in its smoke form (2 rounds, two sources): every
    part written under this machine's key, and the report reads them."""
    env = compare_env(tmp_path_factory)
    done = command("tools/fleet", "record", "--rounds", "2", "--sources", "openssl,getrandom",
                   "--results", tmp_path / "results", "--out", tmp_path / "work", env=env,
                   cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    [folder] = (tmp_path / "results").iterdir()
    assert sorted(p.name.split("-")[-1] for p in folder.iterdir()) == \
        ["figures.json", "fork.json", "sources.json"]
    report = fleet.report([tmp_path / "results"])
    [m] = report["machines"]
    assert (m["key"], m["fork_checked"], m["rounds"]) == (folder.name, True, 2)
    # The fork part checked every source: its answer is measured, not documented.
    assert {a["machines"][0]["basis"] for a in report["answers"]} == {"measured"}
    assert done.stdout.splitlines()[-4].startswith(f"Recorded {folder.name} in ")
    assert {(r["source"], r["bytes"], r["view"]) for r in report["sources"]} == \
        {(s, n, v) for s in ("openssl", "getrandom") for n in (32, 16384)
         for v in ("cpuid", "lfence", "batch")}
