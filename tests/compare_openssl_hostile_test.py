"""bench/compare-openssl against what goes wrong: a hostile set-up before
the rounds, and what befalls a comparison while it runs (a signal, another
writer, a processor gone). Each ends in one line and a status, and the
provenance never claims a record that the series does not hold."""

import os
import re
import signal
import subprocess
import time

import pytest

from rnglab import record
from tests.helpers import ROOT, as_started, claimed, compare, compare_env

COMMAND = ROOT / "bench" / "compare-openssl"
NO_SUCH = "openssl_conf = init\n[init]\nrandom = random\n[random]\nrandom = NO-SUCH\n"


@pytest.fixture(name="env", scope="module")
def fixture_env(tmp_path_factory):
    return compare_env(tmp_path_factory)


def set_up_config_pair(tmp_path):
    for folder in ("a", "b"):
        (tmp_path / folder).mkdir()
        (tmp_path / folder / "x.cnf").write_text("openssl_conf = init\n[init]\n")
    return ["--config", tmp_path / "a" / "x.cnf", "--config", tmp_path / "b" / "x.cnf"]


def set_up_series_folder(tmp_path):
    (tmp_path / "out" / "system-shared" / "osslRb1a.txt").mkdir(parents=True)
    return ["--builds", "system-shared"]


def set_up_no_such_generator(tmp_path):
    (tmp_path / "typo.cnf").write_text(NO_SUCH)
    return ["--config", tmp_path / "typo.cnf"]


# Each case: what to set up (returning the options it adds) and the one line
# that must end standard error.
HOSTILE = {
    "configs with one base name": (set_up_config_pair, "two variants would share the folder "
                                   "system-shared+config-x"),
    "--out on a full device": (lambda _: ["--out", "/dev/full"],
                               "cannot make the folder /dev/full"),
    "a series that is a folder": (set_up_series_folder, "system-shared: "),
    "a configuration naming no generator": (set_up_no_such_generator,
                                            "system-shared+config-typo: no generator stands "
                                            "behind RAND_bytes: unsupported"),
    "too many samples": (lambda _: ["--threads", "1024", "--calls", "1048576"],
                         "--threads times --calls is at most"),
}


@pytest.mark.parametrize("case", HOSTILE, ids=list(HOSTILE))
def test_a_failure_is_one_line_and_a_non_zero_status(env, tmp_path, case):
    set_up, message = HOSTILE[case]
    args = ["--rounds", "1", "--out", tmp_path / "out", *set_up(tmp_path)]
    done = compare(env, *args)
    assert done.returncode in (1, 2), done.stderr
    assert "Traceback" not in done.stderr
    assert message in done.stderr.strip().splitlines()[-1], done.stderr
    for provenance in (tmp_path / "out").glob("*/provenance.txt"):
        assert claimed(provenance) == [], provenance.read_text()


def build_with_rand_lab(script):
    """A build folder whose rand_lab is script: no build is made, and its
    --limits answers as script does."""
    def set_up(tmp_path):
        (tmp_path / "build" / "bench").mkdir(parents=True)
        lab = tmp_path / "build" / "bench" / "rand_lab"
        lab.write_text(f"#!/bin/sh\n{script}\n")
        lab.chmod(0o755)
        return tmp_path / "build"
    return set_up


def build_that_cannot_be_made(tmp_path):
    (tmp_path / "file").write_text("")
    return tmp_path / "file" / "build"


# Reading the options asks the checkout's rand_lab its limits, building it
# first where it is not built: each case a build folder, an option that
# needs a limit, and the one line that ends standard error.
LIMITS = {
    "rand_lab fails": (build_with_rand_lab("echo broken; exit 3"), "--bytes",
                       "rand_lab --limits exited with status 3: broken"),
    "rand_lab older than the checkout": (build_with_rand_lab("exit 0"), "--threads",
                                         "rand_lab --limits gives no limit threads: build it "
                                         "again from this checkout"),
    "a build that cannot be made": (build_that_cannot_be_made, "--calls", "failed (exit status"),
}


@pytest.mark.parametrize("case", LIMITS, ids=list(LIMITS))
def test_limits_that_cannot_be_read_are_one_line(env, tmp_path, case):
    set_up, option, said = LIMITS[case]
    done = compare({**env, "OPENSSL_RNG_BUILD": str(set_up(tmp_path))}, option, "32",
                   "--out", tmp_path / "out")
    assert (done.returncode, "Traceback" in done.stderr) == (1, False), done.stderr
    last = done.stderr.strip().splitlines()[-1]
    assert last.startswith("compare-openssl: ") and said in last, done.stderr
    assert not (tmp_path / "out").exists()


def children(pid):
    """The processes pid started that are still there."""
    try:
        with open(f"/proc/{pid}/task/{pid}/children", encoding="ascii") as text:
            return [int(child) for child in text.read().split()]
    except OSError:
        return []


def rand_lab_running(running, _out):
    """Once a run of rand_lab goes on (not a question such as --limits): its
    process id. A child between fork and exec still shows the comparison's
    own command line, which has --calls too: the program it runs must be
    rand_lab."""
    for child in children(running.pid):
        try:
            with open(f"/proc/{child}/cmdline", "rb") as cmdline:
                argv = cmdline.read().split(b"\0")
        except OSError:
            continue
        if os.path.basename(argv[0]) == b"rand_lab" and b"--calls" in argv:
            return child
    return None


def first_record(running, out):
    """Once the first variant's series holds a record."""
    series = sorted(out.glob(f"*/{record.RESULTS_FILE}"))
    return series[0] if series and series[0].stat().st_size > 60 else None


def round_two(running, out):
    """Once round 2 begins, as its progress line says: round 1's run has been
    checked, and round 2's has barely started. (Right after the first record
    lands, round 1's run may not have been checked yet.)"""
    for line in running.stderr:
        if line.startswith("round 2 of "):
            return out / "system-shared" / record.RESULTS_FILE
    return None


def signalled(signum):
    def act(running, _found):
        running.send_signal(signum)
    return act


# The label of another writer's record, which no case's own runs append.
FOREIGN = "RAND_bytes 32 B 1 thread:"


def another_writer(_running, series):
    with open(series, "a", encoding="ascii") as appending:
        appending.write(record.format_record(FOREIGN, 9, 9, 9))


def narrowed(running, _found):
    """As a cpuset change would: the comparison may use its first processor alone."""
    os.sched_setaffinity(running.pid, {min(os.sched_getaffinity(0))})


def two_cpus():
    return ",".join(map(str, sorted(os.sched_getaffinity(0))[:2]))


# Each: the comparison's options, the moment to act (a function of the
# running comparison and its folder that says when it has come), what to do
# then, whether SIGINT is ignored from the start, the status and what its
# standard error's last line says.
WHILE_RUNNING = {
    # A run of seconds even where a fence costs a hundred cycles: it is
    # stopped as soon as it is seen.
    "SIGTERM during a rand_lab run": (["--bytes", "16384", "--calls", "1000000"], rand_lab_running,
                                      signalled(signal.SIGTERM), False, 143,
                                      re.compile(r"stopped by SIGTERM in round 1 of 500, during "
                                                 r"\S+, whose run was stopped; the provenance")),
    "SIGHUP while the program runs": ([], first_record, signalled(signal.SIGHUP), False, 129,
                                      re.compile(r"stopped by SIGHUP in round \d+ of 500, (after|"
                                                 "before) system-shared; the provenance says")),
    # Ctrl-C lets the run end, which takes a while: it is said at once.
    "SIGINT during a rand_lab run": (["--bytes", "16384", "--calls", "20000"], rand_lab_running,
                                     signalled(signal.SIGINT), False, 130,
                                     re.compile(r"interrupted in round \d+ of 500, after \S+; the "
                                                "provenance")),
    "SIGINT ignored from the start": (["--rounds", "3"], first_record, signalled(signal.SIGINT),
                                      True, 0, re.compile("round 3 of 3")),
    # Round 2's run, or on a host too busy to let the test append in time,
    # a later one.
    "another writer appends to a series": ([], round_two, another_writer, False, 1, re.compile(
        r"system-shared: records not all its own appeared in osslRb1a.txt by the end of its run "
        r"in round \d+: records \d+ to \d+ \(1 \"" + FOREIGN + r"\", 1 \"RAND_bytes:\"\)")),
    "a processor leaves the rounds' set": (["--cpus", two_cpus()], first_record, narrowed, False,
                                           1, re.compile(r"system-shared: cpu \d+ is no longer one "
                                                         r"this process may use \(cpuset changed "
                                                         r"or processor offline\)$")),
}


@pytest.mark.parametrize("case", WHILE_RUNNING, ids=list(WHILE_RUNNING))
def test_what_befalls_a_comparison_while_it_runs_ends_it_whole(env, tmp_path, case):
    args, moment, act, ignore_int, status, said = WHILE_RUNNING[case]
    if "--cpus" in args and "," not in two_cpus():
        pytest.skip("one processor: none can leave")
    out = tmp_path / "out"
    command = [str(COMMAND), "--rounds", "500", "--builds", "system-shared", "--out", str(out),
               *args]
    ignored = [signal.SIGINT] if ignore_int else []
    with subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, preexec_fn=as_started(*ignored)) as running:
        deadline = time.monotonic() + 120
        while (found := moment(running, out)) is None:
            assert running.poll() is None and time.monotonic() < deadline, running.stderr.read()
            time.sleep(0.02)
        act(running, found)
        _, err = running.communicate(timeout=120)
    assert running.returncode == status, err
    assert "Traceback" not in err and said.search(err.strip().splitlines()[-1]), err
    if status > 128:
        # A signal is said as it comes, before the rounds can stop.
        assert re.search(r"^compare-openssl: (interrupted|stopped by SIG\w+): stopping",
                         err, re.MULTILINE), err
    if moment is rand_lab_running:
        assert not os.path.exists(f"/proc/{found}")  # stopped and reaped before the command ended
    for provenance in out.glob("*/provenance.txt"):
        # No record without its provenance, and none claimed that is not the variant's.
        series = provenance.parent / record.RESULTS_FILE
        records = record.parse(series.read_bytes(), "f") if series.exists() else []
        claims = claimed(provenance)
        foreign = [i for i, r in enumerate(records) if r["label"] == FOREIGN]
        assert claims == list(range(foreign[0] if foreign else len(records)))
        assert len({records[i]["label"] for i in claims}) <= 1
