"""What stops the runner's rounds, on runs that are shell commands standing
in for the program and rand_lab: records in a variant's series that are not
all its run's (another writer), a processor that leaves the set this
process may use, and the signals, each taken as the command it stops
expects; and whatever stops them, the runs say what was done."""

import os
import signal

import pytest

from rnglab import provenance, runner, signals, stopping
from rnglab.errors import LabError
from rnglab.record import RESULTS_FILE
from rnglab.variants import Reference
from tests.helpers import record

OWN = 'printf %s "$OWN" >> osslRb1a.txt'
OTHER = 'printf %s "$OTHER" >> osslRb1a.txt'
LABEL = "RAND_bytes 32 B 2 threads:"


def fake(tmp_path, script, results=True, rand_lab=False, read=None):
    """A variant whose run is script, in its own folder: like the program
    (results, not rand_lab: it appends one record "RAND_bytes:", $OWN) or
    rand_lab (saying what it appends in data lines), or appending to no
    series (results False)."""
    folder = tmp_path / "a"
    folder.mkdir(exist_ok=True)
    env = {**os.environ, "OWN": record("RAND_bytes:", 1).decode(),
           "OTHER": record("RAND_bytes 16384 B 1 thread:", 2).decode(),
           "LAB": record(LABEL, 3).decode()}
    return Reference("a", ["sh", "-c", script], read or (lambda run: 1.0), folder, env,
                     results=folder / RESULTS_FILE if results else None, rand_lab=rand_lab)


def lab_script(count, appends):
    """rand_lab's data lines around appends, as it prints them: a run of
    two threads, count records landed."""
    return (f"echo 'run label=\"{LABEL}\" subject=RAND_bytes threads=2'; {appends}; "
            f"echo 'records appended=yes count={count}'")


LAB = 'printf %s "$LAB" >> osslRb1a.txt'


# Each: the run's script, whether it is rand_lab's, and the line that
# refuses its records (None: they are its own).
RECORDS = {
    "the program's one record": (OWN, False, None),
    "rand_lab's two threads": (lab_script(2, f"{LAB}; {LAB}"), True, None),
    "another label during the run": (
        f"{OWN}; {OTHER}", False, 'records 0 to 1 (1 "RAND_bytes:", 1 "RAND_bytes 16384 B 1 '
        'thread:"), where the run appends 1 labelled "RAND_bytes:"; another writer shares this'),
    "its own label once too often": (f"{OWN}; {OWN}", False,
                                     'records 0 to 1 (2 "RAND_bytes:"), where the run appends 1'),
    "rand_lab's count exceeded": (lab_script(2, f"{LAB}; {LAB}; {LAB}"), True,
                                  f'(3 "{LABEL}"), where the run appends 2 labelled "{LABEL}"'),
    "another's record where the run's should be": (
        OTHER, False, 'record 0 (1 "RAND_bytes 16384 B 1 thread:"), where the run appends 1'),
    "none where one was due": (
        "true", False, "no record appeared in osslRb1a.txt by the end of its run in round 1, "
        'where the run appends 1 labelled "RAND_bytes:"; another writer cut or replaced'),
}


@pytest.mark.parametrize("case", RECORDS, ids=list(RECORDS))
def test_a_run_counts_only_records_that_are_all_its_own(tmp_path, case):
    script, rand_lab, refused = RECORDS[case]
    v = fake(tmp_path, script, rand_lab=rand_lab)
    if refused is None:
        runner.run_rounds([v], 2)
        assert [len(run.records) for run in v.runs] == [2 if rand_lab else 1] * 2
        return
    with pytest.raises(LabError, match="^a: ") as error:
        runner.run_rounds([v], 2)
    assert refused in str(error.value)
    [run] = v.runs
    assert run.records == [] and run.value is None
    # The provenance claims none of them, and says why the rounds stopped.
    line = provenance.run_line(run)
    assert line.startswith("  round 1, free: no record; ")
    assert line.endswith(f"; stopped the rounds: {str(error.value).removeprefix('a: ')}")


def test_a_record_appended_between_runs_is_found_by_the_next(tmp_path):
    def appending(_run):
        """The figure, read while another writer appends a record."""
        with open(tmp_path / "a" / RESULTS_FILE, "a", encoding="ascii") as series:
            series.write(record("RAND_bytes 16384 B 1 thread:", 2).decode())
        return 1.0
    v = fake(tmp_path, OWN, read=appending)
    with pytest.raises(LabError, match='records 1 to 2 .1 "RAND_bytes 16384 B 1 thread:", 1 '
                       '"RAND_bytes:".'):
        runner.run_rounds([v], 3)
    assert [len(run.records) for run in v.runs] == [1, 0]
    # The series' first record stays the one this invocation claims.
    assert v.runs[0].records[0]["index"] == 0


@pytest.fixture(name="two_cpus")
def fixture_two_cpus():
    allowed = sorted(os.sched_getaffinity(0))
    if len(allowed) < 2:
        pytest.skip("one processor: none can leave the rounds' set")
    yield allowed[:2]
    os.sched_setaffinity(0, allowed)


def test_a_processor_that_leaves_mid_run_is_named(tmp_path, two_cpus):
    first, second = two_cpus

    def narrowing(_run):
        os.sched_setaffinity(0, {first})  # as a cpuset change would
        return 1.0
    v = fake(tmp_path, "true", results=False, read=narrowing)
    with pytest.raises(LabError) as error:
        runner.run_rounds([v], 3, cpus=[first, second])
    assert str(error.value) == (f"a: cpu {second} is no longer one this process may use (cpuset "
                                "changed or processor offline)")
    assert provenance.run_line(v.runs[-1]) == (
        f"  round 2, cpu {second}: no record; stopped the rounds: cpu {second} is no longer one "
        "this process may use (cpuset changed or processor offline)")


def test_a_placement_the_kernel_refuses_is_named(tmp_path, monkeypatch):
    monkeypatch.setattr(runner, "placed", lambda cpu: lambda: os.sched_setaffinity(0, set()))
    v = fake(tmp_path, "true", results=False)
    cpu = min(os.sched_getaffinity(0))
    with pytest.raises(LabError, match=f"^a: cannot place its run on cpu {cpu}$"):
        runner.run_rounds([v], 1, cpus=[cpu])


@pytest.fixture(name="ignoring")
def fixture_ignoring():
    """The stopping signals as a command's start has them, whatever this
    suite inherited (a background job's SIGINT is ignored); ignore(signum)
    ignores one as a starter may leave it; all put back after."""
    previous = {s: signal.getsignal(s) for s in signals.STOPPING}
    signal.signal(signal.SIGINT, signal.default_int_handler)
    for signum in signals.STOPPING[1:]:
        signal.signal(signum, signal.SIG_DFL)
    yield lambda signum: signal.signal(signum, signal.SIG_IGN)
    for signum, handler in previous.items():
        signal.signal(signum, handler)


KILL = "kill -{} $PPID; sleep 0.3; "
LATE = "sleep 5; touch late"

# Each: the signal sent from inside round 1's run, the run's kind, the rest
# of its script, whether the signal was ignored at start, and then how the
# rounds end (None: they all ran), and whether the run's record lands.
SIGNALS = {
    "Ctrl-C lets the run end": (
        "INT", "program", OWN, False, (130, "interrupted in round 1 of 2, after a"), True),
    "SIGTERM stops a run with no series at once": (
        "TERM", "none", LATE, False,
        (143, "stopped by SIGTERM in round 1 of 2, during a, whose run was stopped"), False),
    "SIGHUP lets the program write its record": (
        "HUP", "program", OWN, False, (129, "stopped by SIGHUP in round 1 of 2, after a"), True),
    "SIGTERM ends rand_lab after its held append": (
        "TERM", "rand_lab", f"{LAB}; trap - TERM; kill -TERM $$; {LATE}", False,
        (143, "stopped by SIGTERM in round 1 of 2, during a, whose run was stopped"), True),
    "SIGINT ignored at start stays ignored": ("INT", "program", OWN, True, None, True),
    "SIGHUP ignored at start (nohup) stays ignored": ("HUP", "program", OWN, True, None, True),
}


@pytest.mark.parametrize("case", SIGNALS, ids=list(SIGNALS))
def test_a_signal_stops_the_rounds_as_the_command_expects(tmp_path, ignoring, case):
    name, kind, rest, ignored, ending, lands = SIGNALS[case]
    if ignored:
        ignoring(getattr(signal, f"SIG{name}"))
    # rand_lab holds the signal while it appends; trap '' stands for that.
    held = "trap '' TERM; echo 'run label=\"RAND_bytes 32 B 2 threads:\" threads=2'; " \
        if kind == "rand_lab" else ""
    script = held + KILL.format(name) + rest
    v = fake(tmp_path, f'[ -e ran ] && {OWN} && exit; touch ran; {script}',
             results=kind != "none", rand_lab=kind == "rand_lab")
    if ending is None:
        runner.run_rounds([v], 2)
        assert [run.failure for run in v.runs] == [None, None]
        return
    with pytest.raises(runner.Interrupted) as error:
        runner.run_rounds([v], 2)
    status, line = ending
    assert (error.value.signum + 128, str(error.value)) == \
        (status, f"{line}; the provenance says what was done")
    [run] = v.runs
    assert len(run.records) == int(lands and kind != "none")
    assert not (v.folder / "late").exists()


@pytest.mark.parametrize("name, status", [("TERM", 143), ("INT", 130)])
def test_a_signal_while_the_ratios_are_judged_stops_the_rounds(tmp_path, ignoring, name, status):
    """The last look can take seconds: a signal then is not lost when it
    decides that the rounds are done."""
    v = fake(tmp_path, "true", results=False)

    def judge():
        os.kill(os.getpid(), getattr(signal, f"SIG{name}"))
        return [{"name": "x", "median": 1.0, "low": 0.99, "high": 1.01, "verdict": "same",
                 "decided": True}]
    until = stopping.Until(0.05, None, 400, judge)
    with pytest.raises(runner.Interrupted) as error:
        runner.run_rounds([v], None, until=until)
    first = until.rounds
    assert (error.value.signum + 128, len(v.runs)) == (status, first)
    assert str(error.value).startswith(f"{'interrupted' if name == 'INT' else 'stopped by SIGTERM'}"
                                       f" in round {first} (look at {first}), as its ratios were "
                                       "judged;")
