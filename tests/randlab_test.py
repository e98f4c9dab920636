"""rand_lab's output read as data: data lines and message lines, quoting,
and its limits and sources from the built rand_lab itself."""

import os
import subprocess
import types
from pathlib import Path

import pytest

from rnglab import forksafety, lifecycle, provenance, randlab, runner, runs, sources, variants
from rnglab.errors import LabError
from tests.helpers import fork_probe

ROOT = Path(__file__).resolve().parent.parent
RAND_LAB = Path(os.environ.get("OPENSSL_RNG_BUILD", ROOT / "build")) / "bench" / "rand_lab"


@pytest.mark.parametrize("line, kind, fields", [
    ('run label="RAND_bytes 32 B 1 thread:" subject=RAND_bytes bytes=32', "run",
     {"label": "RAND_bytes 32 B 1 thread:", "subject": "RAND_bytes", "bytes": "32"}),
    (r'source name=x version="a \"quoted\" \\ word"', "source",
     {"name": "x", "version": r'a "quoted" \ word'}),
    ('source name=x version=""', "source", {"name": "x", "version": ""}),
    ("fork result=differ child_first_ticks=250432 new_key=a=b", "fork",
     {"result": "differ", "child_first_ticks": "250432", "new_key": "a=b"}),
    ("records appended=no count=0", "records", {"appended": "no", "count": "0"}),
    ("rate", "rate", {}),
    # Prose, whatever its first word.
    ("No record was appended because 3 calls failed", None, None),
    ("fork: the child did not finish its calls", None, None),
    ("thread 1: loop 0.1-0.2 s", None, None),
    ('rand_lab: unknown source "nope (openssl, getrandom)', None, None),
    ("source name=x Version=1", None, None),
    ("RAND_bytes Failed--> 17. cycle", None, None),
])
def test_a_line_is_data_only_when_every_word_fits(line, kind, fields):
    read = randlab.data_line(line)
    if kind is None:
        assert read is None
    else:
        assert (read.kind, read.fields, read.text) == (kind, fields, line)


def test_a_run_fails_with_its_first_message():
    output = randlab.parse("run label=x\nfailed process=parent thread=1 call=3\n"
                           "thread process=parent n=1 cpu_first=0\n"
                           "No record was appended because 1 call failed\n"
                           "Cannot write \"osslRb1a.txt\": File too large\n"
                           "records appended=no count=0\n")
    assert [line.kind for line in output.data] == ["run", "failed", "thread", "records"]
    assert output.first_message() == "No record was appended because 1 call failed"
    assert output.all("thread", process="parent") == [{"process": "parent", "n": "1",
                                                       "cpu_first": "0"}]
    assert output.first("thread", process="child") is None


@pytest.fixture(name="rand_lab")
def fixture_rand_lab():
    assert RAND_LAB.exists(), f"build the program first: {RAND_LAB}"
    return RAND_LAB


def test_the_limits_and_sources_come_from_rand_lab(rand_lab):
    limits = randlab.limits(rand_lab)
    assert set(limits) == {"bytes", "threads", "calls", "batch", "samples", "keep"}
    low, high = limits["calls"]
    assert 2 <= low < high
    assert limits["samples"][0] is None
    sources = randlab.sources(rand_lab)
    names = [s["name"] for s in sources]
    assert names[0] == "openssl" and "getrandom" in names and len(set(names)) == len(names)
    assert all(s.get("package") or s.get("needs") for s in sources)


@pytest.mark.parametrize("rand_lab, said", [
    (RAND_LAB.parent / "no-such-rand_lab", r"cannot run .*no-such-rand_lab: No such file"),
    (Path("/bin/false"), r"/bin/false --limits exited with status 1: no message"),
])
def test_limits_that_cannot_be_read_are_one_line(rand_lab, said):
    with pytest.raises(LabError, match=said):
        randlab.limits(rand_lab)


CANNOT_RUN = (5, "rand_lab: source vdso cannot run here: this kernel's vDSO has no "
              "__vdso_getrandom (Linux 6.11 and later have it)")
NOT_BUILT = (2, "rand_lab: source libsodium is not built here: install libsodium-dev")


# --sources: a source built here that cannot run on this machine goes
# without, with a note, named or with all; one not built goes without only
# with all; OpenSSL's, the reference, never does.
@pytest.mark.parametrize("asked, refused, measured, error", [
    (["openssl", "getrandom", "vdso"], {"vdso": CANNOT_RUN}, ["openssl", "getrandom"], None),
    (["all"], {"vdso": CANNOT_RUN, "libsodium": NOT_BUILT}, ["openssl", "getrandom"], None),
    (["openssl", "libsodium"], {"libsodium": NOT_BUILT}, None, "source libsodium is not built"),
    (["openssl", "getrandom"], {"openssl": (5, CANNOT_RUN[1].replace("vdso", "openssl"))}, None,
     "source openssl cannot run here"),
    (["all"], {"openssl": (1, "Cannot count cycles: this processor does not execute RDTSCP")},
     None, "does not execute RDTSCP"),
])
def test_sources_that_cannot_run_here_are_left_out_with_a_note(
        tmp_path, monkeypatch, asked, refused, measured, error):
    monkeypatch.setattr(randlab, "source_names",
                        lambda: ["openssl", "getrandom", "vdso", "libsodium"])
    script = tmp_path / "bench" / "rand_lab"
    script.parent.mkdir()
    cases = "".join(f"  {name}) echo \"{line}\" >&2; exit {status} ;;\n"
                    for name, (status, line) in refused.items())
    script.write_text(f'#!/bin/sh\ncase $2 in\n{cases}esac\necho "source name=$2 version=1"\n')
    script.chmod(0o755)
    build = types.SimpleNamespace(folder=tmp_path)
    if error:
        with pytest.raises(LabError, match=error):
            sources.versions(build, asked)
        return
    found, notes = sources.versions(build, asked)
    assert found == {name: "1" for name in measured}
    assert notes == [f"{name} not measured: {line.removeprefix('rand_lab: ')}"
                     for name, (_, line) in refused.items()]


def test_a_fork_run_reads_whole(rand_lab, tmp_path):
    done = subprocess.run([str(rand_lab), "--fork", "--bytes", "32", "--calls", "16"],
                          cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, check=False)
    assert done.returncode == 0, done.stdout
    output = randlab.parse(done.stdout)
    assert not output.messages
    assert [line.kind for line in output.data] == ["run", "thread", "rate", "thread", "rate",
                                                   "fork", "records"]
    assert output.first("run")["child_label"] == "RAND_bytes 32 B 1 thread fork child:"
    assert output.first("rate", process="child")["calls"] == "16"
    assert output.first("records") == {"appended": "yes", "count": "2"}


def test_the_runner_reads_rand_lab_as_data(tmp_path):
    """Where its threads ran goes into provenance, its rate line into
    runs.txt, and a failed call stops the rounds with the first message."""
    build = variants.local_build(RAND_LAB.parent.parent)
    lab = variants.variant(build, variants.DEFAULT_GENERATOR, lab=(32, 2, False), calls=16)
    runner.prepare([lab], tmp_path)
    run = runner.run_once(lab)
    assert [t for t, _, _, _ in run.placements] == [1, 2]
    rate = randlab.data_line((lab.folder / "runs.txt").read_text().strip())
    assert (rate.kind, rate.fields["calls"]) == ("rate", "32")
    assert runner.throughput(lab) == [float(rate.fields["calls_per_s"])]
    assert "; threads 1 cpu " in provenance.run_line(run)

    if build.is_1_1_1:
        return  # it reads no [random] section
    (lab.folder / "openssl.cnf").write_text(
        "openssl_conf = init\n[init]\nrandom = random\n[random]\nrandom = NO-SUCH\n")
    with pytest.raises(LabError, match=r": a call failed: No record was appended because 32 "
                       r"calls failed$"):
        runner.run_once(lab)


@pytest.mark.parametrize("line, finding", [
    ("fork result=repeats threads=2 repeated=2 hung=0 per_thread=repeats,repeats "
     "repeats_of=1,2 child_first_ticks=18962 parent_median_ticks=1031 pause_call=8",
     {"result": "repeats", "threads": 2, "repeated": 2, "hung": 0,
      "per_thread": ["repeats", "repeats"], "repeats_of": [1, 2], "child_first_ticks": 18962,
      "parent_median_ticks": 1031}),
    # As rand_lab said it before it forked between calls: one thread's verdict.
    ("fork result=differ child_first_ticks=250432 parent_median_ticks=2100",
     {"result": "differ", "threads": 1, "repeated": 0, "hung": 0, "per_thread": [],
      "repeats_of": [], "child_first_ticks": 250432, "parent_median_ticks": 2100}),
    ("records appended=yes count=2", None),
])
def test_a_fork_line_reads_as_the_finding(line, finding):
    assert randlab.fork_finding(randlab.parse(line)) == finding


@pytest.mark.parametrize("source", ["openssl", "mbedtls", "wolfssl"])
def test_the_runner_keeps_a_fork_finding_and_a_repeat_stops_nothing(tmp_path, source):
    """rand_lab's status 3 is a generator that repeats across fork: its
    records landed, and the finding is the run's, in its provenance too,
    the one the fork probe finds for the source in this build."""
    probe = fork_probe(source)
    if probe is None:
        pytest.skip(f"{source} is not built here")
    result = probe[1]
    build = variants.local_build(RAND_LAB.parent.parent)
    lab = variants.variant(build, variants.DEFAULT_GENERATOR, lab=(32, 2, False), calls=16,
                           source=source, fork=True)
    runner.prepare([lab], tmp_path)
    run = runner.run_once(lab)
    assert run.failure is None
    assert (run.fork["result"], run.fork["threads"]) == (result, 2)
    assert len(run.records) == 4
    line = provenance.run_line(run)
    assert ("fork: REPEATS in the child (2 of 2 threads" in line) == (result == "repeats")
    assert provenance.run_data(run)["fork"] == run.fork


def test_a_fork_child_that_hangs_is_a_finding_and_its_run_has_no_figure(tmp_path, monkeypatch):
    """rand_lab's status 4: the child's first request never returned, so it
    was killed and nothing appended. The rounds go on; the run counts in no
    ratio, and the finding is in its provenance and the fork verdicts."""
    fake = RAND_LAB.parent.parent / "tests" / "rand_lab_fake"
    if not fake.exists():
        pytest.skip("no fake generator against a static libcrypto")
    (tmp_path / "build" / "bench").mkdir(parents=True)
    for name, target in (("rand_lab", fake), ("libcrypto_info", RAND_LAB.with_name(
            "libcrypto_info"))):
        (tmp_path / "build" / "bench" / name).symlink_to(target)
    monkeypatch.setenv("FAKE_RAND_HANG_IN_FORK_CHILD", "1")
    build = variants.local_build(tmp_path / "build")
    lab = variants.variant(build, variants.DEFAULT_GENERATOR, lab=(32, 1, False), calls=16,
                           fork=True)
    runner.prepare([lab], tmp_path / "out")
    run = runner.run_once(lab)
    assert (run.failure, run.value, run.records, run.fork["result"]) == (None, None, [], "hangs")
    assert runner.run_median(lab) is None and not lifecycle.landed(lab)
    assert "no record; " in provenance.run_line(run) and \
        provenance.run_line(run).endswith("; fork: the child hung (1 of 1 threads)")
    assert provenance.run_data(run)["fork"]["result"] == "hangs"
    assert forksafety.variant_verdict(lab) == {"verdict": "hangs", "runs": 1, "repeats": 0,
                                               "hangs": 1}


# What a source counted, read onto its run: a number where it is one; prose,
# however like a counter, is never read.
@pytest.mark.parametrize("output, counted", [
    ("counter name=rdrand_retries value=0\nrecords appended=yes count=1\n", {"rdrand_retries": 0}),
    ("counter name=a value=3\ncounter name=b value=many\n", {"a": 3, "b": "many"}),
    ("rdrand retries 0\n", {}),
])
def test_a_sources_counters_are_its_runs_in_provenance_and_json(output, counted):
    run = runner.Run(1, None, 0, [], output, counters=runs.counters_of(output))
    assert run.counters == counted
    assert provenance.run_line(run).endswith(
        "; counted " + ", ".join(f"{k} {v}" for k, v in counted.items()) if counted else
        "no record")
    assert provenance.run_of(provenance.run_data(run)).counters == counted


def test_the_runner_reads_what_a_source_counted(tmp_path):
    status, _ = randlab.run(RAND_LAB, "--source", "rdrand", "--version")
    if status != 0:
        pytest.skip("rdrand cannot run here")
    build = variants.local_build(RAND_LAB.parent.parent)
    lab = variants.variant(build, variants.DEFAULT_GENERATOR, lab=(32, 1, False), calls=16,
                           source="rdrand")
    runner.prepare([lab], tmp_path)
    assert list(runner.run_once(lab).counters) == ["rdrand_retries"]
