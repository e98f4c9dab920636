"""bench/compare-openssl end to end: the provenance names every record, the
tables are the JSON's, and each axis, view, source's life and kept byte comes
out as a careful user expects."""

import json
import re
import signal
import subprocess
import time

import pytest

from rnglab import record
from rnglab.report import labtext
from tests.helpers import ROOT, as_started, claimed, compare, compare_env, fork_probe

COMMAND = ROOT / "bench" / "compare-openssl"


@pytest.fixture(name="env", scope="module")
def fixture_env(tmp_path_factory):
    return compare_env(tmp_path_factory)


def test_provenance_names_every_record_of_every_thread_and_nothing_more(env, tmp_path):
    out = tmp_path / "out"
    for _ in range(2):
        done = compare(env, "--rounds", "2", "--threads", "1,2", "--calls", "64", "--out", out,
                       "--json", tmp_path / "comparison.json")
        assert done.returncode == 0, done.stderr
    folder = out / "system-shared+32B+2threads+64calls"
    records = record.parse((folder / "osslRb1a.txt").read_bytes(), "f")
    assert len(records) == 8
    assert claimed(folder / "provenance.txt") == list(range(8))
    assert "threads 1 cpu " in (folder / "provenance.txt").read_text()
    assert "; noise: steal " in (folder / "provenance.txt").read_text()
    # Each table counts this comparison's runs only.
    assert "median over 2 runs" in done.stdout

    # The JSON file holds what was printed, and the records of this invocation's runs.
    document = json.loads((tmp_path / "comparison.json").read_text())
    assert labtext.render(document["tables"]) == done.stdout.rstrip("\n")
    assert [t["table"] for t in document["tables"]][0] == "threads"
    [two] = [v for v in document["variants"] if v["name"] == folder.name]
    assert [(run["round"], len(run["records"])) for run in two["runs"]] == [(1, 2), (2, 2)]
    assert [(r["index"], r["median"]) for run in two["runs"] for r in run["records"]] == \
        [(r["index"], r["median"]) for r in records[4:]]
    assert document["counter"]["counter_hz"] > 0 and document["builds"][0]["version"]


def test_ctrl_c_stops_between_runs_and_the_provenance_says_what_was_done(env, tmp_path):
    out = tmp_path / "out"
    with subprocess.Popen([str(COMMAND), "--rounds", "500", "--builds", "system-shared",
                           "--out", str(out)], env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, preexec_fn=as_started()) as running:
        series = out / "system-shared" / "osslRb1a.txt"
        deadline = time.monotonic() + 120
        while not (series.exists() and series.stat().st_size > 400):
            assert running.poll() is None and time.monotonic() < deadline, running.stderr.read()
            time.sleep(0.05)
        running.send_signal(signal.SIGINT)
        _, err = running.communicate(timeout=60)
    assert running.returncode == 130
    assert "Traceback" not in err and "interrupted in round" in err.splitlines()[-1]
    records = record.parse(series.read_bytes(), "f")
    assert 2 <= len(records) < 500
    assert claimed(out / "system-shared" / "provenance.txt") == list(range(len(records)))


@pytest.mark.parametrize("sizes, says", [("32", "One request size: no fit"),
                                         ("32,64", "Fit of ticks = a + b x bytes")])
def test_request_sizes_are_fitted_where_two_or_more(env, tmp_path, sizes, says):
    done = compare(env, "--rounds", "2", "--bytes", sizes, "--out", tmp_path / "out")
    assert done.returncode == 0, done.stderr
    assert says in done.stdout
    assert not re.search(r"\bnan\b", done.stdout) and "Warning" not in done.stderr


def test_rounds_until_decided_report_the_intervals_they_judged(env, tmp_path):
    done = compare(env, "--builds", "system-shared,system-static", "--precision", "0.05",
                   "--rounds", "12", "--out", tmp_path / "out", "--json", tmp_path / "c.json")
    assert done.returncode == 0, done.stderr
    document = json.loads((tmp_path / "c.json").read_text())
    rounds, variants_table = document["tables"][:2]
    assert rounds["table"] == "rounds" and rounds["reason"] in ("decided", "max-rounds")
    assert f"stopped after {rounds['rounds']} rounds" in done.stderr.splitlines()[-1]
    # The table's ratio is the one the stop judged, by the same rule.
    [judged] = rounds["ratios"]
    x_ref = variants_table["rows"][1]["x_ref"]
    assert (x_ref["interval"], x_ref["low"], x_ref["high"], x_ref["verdict"]) == \
        ("sequential", judged["low"], judged["high"], judged["verdict"])
    assert all(len(v["runs"]) == rounds["rounds"] for v in document["variants"])
    assert labtext.render(document["tables"]) == done.stdout.rstrip("\n")
    assert done.stdout.startswith(f"Rounds: {rounds['rounds']} in ")


@pytest.mark.parametrize("args, says", [
    (["--views", "fast"], "argument --views: unknown view fast: choose from cpuid, lfence, batch"),
    (["--views", "lfence"], "--views times bench/rand_lab's calls: give --bytes, --threads or "
     "--sources too"),
    (["--views", "cpuid,batch", "--bytes", "32", "--quality"], "not with --lifecycle or "
     "--quality"),
    (["--views", "lfence", "--lifecycle"], "not with --lifecycle or --quality"),
])
def test_views_that_cannot_be_taken_are_refused_before_anything_runs(env, tmp_path, args, says):
    done = compare(env, *args, "--out", tmp_path / "out")
    assert done.returncode == 2
    assert says in done.stderr.splitlines()[-1], done.stderr
    assert not (tmp_path / "out").exists()


def test_each_view_runs_beside_the_others_in_a_round_and_its_table_is_data(env, tmp_path):
    out = tmp_path / "out"
    done = compare(env, "--rounds", "2", "--sources", "getrandom", "--bytes", "32", "--threads",
                   "1,2", "--calls", "16", "--views", "cpuid,lfence,batch", "--out", out,
                   "--json", tmp_path / "comparison.json")
    assert done.returncode == 0, done.stderr
    document = json.loads((tmp_path / "comparison.json").read_text())
    assert labtext.render(document["tables"]) == done.stdout.rstrip("\n")
    # Each one-thread variant's views side by side; several threads in the first view alone.
    names = [v["name"] for v in document["variants"]]
    assert names == [f"system-shared{source}+32B{threads}+16calls{view}"
                     for source in ("", "+getrandom")
                     for threads, view in [("", ""), ("", "+lfence"), ("", "+lfence+batch100"),
                                           ("+2threads", "")]]
    # One processor ran a round's views.
    for round_ in (1, 2):
        cpus = {run["cpu"] for v in document["variants"] if v["threads"] == 1
                for run in v["runs"] if run["round"] == round_}
        assert len(cpus) == 1
    [table] = [t for t in document["tables"] if t["table"] == "views"]
    assert [(r["what"], [e["view"] for e in r["views"]]) for r in table["rows"]] == \
        [("openssl", ["cpuid", "lfence", "batch"]), ("getrandom", ["cpuid", "lfence", "batch"])]
    assert all(e["counts"] == 32 and e["robust_mean"] > 0 for r in table["rows"]
               for e in r["views"])
    labels = record.parse((out / names[6] / "osslRb1a.txt").read_bytes(), "f")
    assert {r["label"] for r in labels} == {"getrandom 32 B 1 thread lfence batch 100:"}


def test_each_sources_life_and_the_answer_name_a_generator_that_repeats(env, tmp_path):
    """--sources --lifecycle end to end: the child that repeats its parent
    (as the fork probe finds Mbed TLS's here) is a finding in the table, the
    answer and the provenance, never a failure; one that does not is safe."""
    probe = fork_probe("mbedtls")
    if probe is None:
        pytest.skip("mbedtls is not built here")
    repeats = probe[1] == "repeats"
    out = tmp_path / "out"
    done = compare(env, "--sources", "mbedtls", "--lifecycle", "--calls", "256", "--rounds", "2",
                   "--out", out, "--json", tmp_path / "life.json")
    assert done.returncode == 0, done.stderr
    document = json.loads((tmp_path / "life.json").read_text())
    assert [t["table"] for t in document["tables"]
            if t["table"] != "noise"] == ["sources", "source_lifecycle", "percentiles", "answer",
                                          "builds"]
    assert labtext.render(document["tables"]) == done.stdout.rstrip("\n")
    rows = {r["source"]: r for r in document["tables"][1]["rows"]}
    assert rows["mbedtls"]["fork"] == {"verdict": probe[1], "runs": 2,
                                       "repeats": 2 if repeats else 0, "hangs": 0}
    assert rows["openssl"]["fork"]["verdict"] == "differ"
    assert (rows["mbedtls"]["expected"], rows["mbedtls"]["agreement"]) == (10000, "too-short")
    answer = document["tables"][3]
    assert answer["basis"] == "measured"
    assert answer["rows"][0]["not_safe"] == (["mbedtls"] if repeats else [])
    provenance = (out / "system-shared+mbedtls+16B+256calls+fork" / "provenance.txt").read_text()
    assert ("fork: REPEATS in the child (1 of 1 threads" in provenance) == repeats
    assert (out / "lifecycle.png").stat().st_size > 0


def file_size_limit(limit):
    """A child's limit on the size of any file it writes."""
    import resource
    return lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))


def test_kept_bytes_get_the_verdict_tools_quality_gives_and_a_full_disk_loses_no_table(
        env, tmp_path):
    out = tmp_path / "out"
    args = ["--rounds", "1", "--quality", "--bytes", "32,100000", "--calls", "64", "--out", out]
    done = compare(env, *args)
    assert done.returncode == 0, done.stderr
    rows = {line.split()[0]: line for line in done.stdout.splitlines() if line.strip()}
    assert rows["system-shared+32B+64calls"].endswith(" too few bytes to test"), done.stdout
    assert rows["system-shared+100000B+64calls"].endswith(" PASS"), done.stdout
    # 100,000-byte requests do not divide 16 KiB; the file passes here too.
    checked = subprocess.run([str(ROOT / "tools" / "quality"),
                              out / "system-shared+100000B+64calls" / "kept.bin"],
                             capture_output=True, text=True, check=False)
    assert checked.returncode == 0, checked.stdout

    # 6.4 MB of kept bytes where no file may pass 4 MiB: the rounds' tables
    # are printed, then the keep step's failure, and no kept file is left.
    done = subprocess.run([str(COMMAND), *map(str, args)], capture_output=True, text=True,
                          check=False, env=env, preexec_fn=file_size_limit(4 << 20))
    assert done.returncode == 1, done.stderr
    last = done.stderr.strip().splitlines()[-1]
    assert last.startswith("compare-openssl: system-shared+100000B+64calls: rand_lab exited with "
                           "status 1: Cannot write \"") and last.endswith(": File too large")
    assert "Fit of ticks = a + b x bytes" in done.stdout
    rows = {line.split()[0]: line for line in done.stdout.splitlines() if line.strip()}
    assert rows["system-shared+100000B+64calls"].endswith(" not tested"), done.stdout
    assert "The step stopped: system-shared+100000B+64calls: rand_lab exited" in \
        " ".join(done.stdout.split())
    assert not list(out.glob("*/kept.bin*"))
    assert "stopped, kept.bin removed" in (out / "system-shared+100000B+64calls" /
                                           "provenance.txt").read_text()


@pytest.fixture(name="sources_run", scope="module")
def fixture_sources_run(env, tmp_path_factory):
    """A comparison of getrandom (built wherever the lab runs) with OpenSSL."""
    out = tmp_path_factory.mktemp("sources")
    done = compare(env, "--sources", "getrandom", "--bytes", "32", "--rounds", "2", "--out",
                   out / "out", "--json", out / "c.json")
    assert done.returncode == 0, done.stderr
    return out / "out", json.loads((out / "c.json").read_text())


# Each variant's provenance: the lines that begin as these, and those that
# must not be there at all (a source's executable makes no OpenSSL call).
MEASURED = {
    "system-shared+getrandom+32B": (["generator asked: source getrandom", "source: getrandom "
                                     "Linux ", "command: "],
                                    ["probe saw:", "libcrypto", "configuration:"]),
    "system-shared+32B": (["generator asked: default", "probe saw: path public-drbg, drbg ",
                           "libcrypto: OpenSSL ", "configuration:"], []),
}


@pytest.mark.parametrize("name", MEASURED)
def test_provenance_describes_the_library_measured_only(sources_run, name):
    out, document = sources_run
    present, absent = MEASURED[name]
    lines = (out / name / "provenance.txt").read_text().splitlines()
    assert all(any(line.startswith(start) for line in lines) for start in present), lines
    assert [line for line in lines if absent and line.startswith(tuple(absent))] == []
    [v] = [v for v in document["variants"] if v["name"] == name]
    assert [v[key] is None for key in ("probe", "probe_saw", "configuration")] == \
        [bool(absent)] * 3
    assert v["library_version"].startswith("Linux " if absent else "OpenSSL ")
    if absent:
        assert "measured by rand_lab-getrandom, which makes no call to OpenSSL itself" in \
            "\n".join(lines)
