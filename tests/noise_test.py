"""Host noise around a run: /proc's text read into shares and counts, the
provenance line, the runs marked noisy, and one live run that competes for
its processor."""

import os
import subprocess
import sys
import time

import pytest

from rnglab import noise

STAT = """cpu  {u} 0 {s} {i} 0 0 0 {st} 0 0
cpu0 {u0} 0 10 {i0} 0 0 0 {st0} 0 0
cpu1 {u1} 0 10 {i1} 0 0 0 0 0 0
intr 662101 0 0
ctxt 123
"""
SCHED = """rand_lab (4242, #threads: 1)
-------------------------------------------------------------------
se.exec_start                                :       5066677.600806
se.nr_migrations                             :                    3
nr_involuntary_switches                      :                    1
"""


def snap(u0, i0, st0, u1, i1, load=1.0, at=0.0):
    text = STAT.format(u=u0 + u1, s=20, i=i0 + i1, st=st0, u0=u0, i0=i0, st0=st0, u1=u1, i1=i1)
    return noise.Snapshot(noise.cpu_times(text), load, at)


BEFORE = snap(100, 1000, 5, 100, 1000)


@pytest.mark.parametrize("after, cpu, steal, steal_cpu0, others", [
    # cpu0 ran the run (90 ticks busy, 10 stolen); cpu1 was 97% busy.
    (snap(190, 1000, 15, 197, 1003), 0, 10 / 200, 0.1, 0.97),
    (snap(190, 1000, 15, 197, 1003), None, 10 / 200, 0.1, None),
    (snap(100, 1100, 5, 150, 1050), 1, 0.0, 0.0, 0.0),
    (BEFORE, 0, None, None, None),  # shorter than a tick: nothing to say
])
def test_shares_between_snapshots(after, cpu, steal, steal_cpu0, others):
    n = noise.noise_between(BEFORE, after, cpu, 3, 7, 0)
    assert (n.steal, n.steal_cpus["cpu0"], n.others_busy) == \
        pytest.approx((steal, steal_cpu0, others)) if steal is not None else \
        (n.steal, n.steal_cpus["cpu0"], n.others_busy) == (None, None, None)
    assert sorted(n.as_dict()) == sorted(f.name for f in noise.dataclasses.fields(noise.Noise))


@pytest.mark.parametrize("text, answer", [
    ("cpu  1 2 3 4 5 6 7 8 9 10\ncpu0 1 2 3 4 5 6 7 8 9 10\n", (8, "cpu0")),
    ("cpu  1 2 3 4\n", (0, None)),  # a kernel before steal and iowait
    ("intr 5\n", ValueError),
])
def test_proc_stat(text, answer):
    if answer is ValueError:
        with pytest.raises(ValueError, match="no cpu line in /proc/stat"):
            noise.cpu_times(text)
        return
    times = noise.cpu_times(text)
    assert times["cpu"]["steal"] == answer[0]
    assert [n for n in times if n != "cpu"] == ([answer[1]] if answer[1] else [])


def test_proc_files_of_the_child_and_the_load():
    assert noise.migrations(SCHED) == 3
    assert noise.migrations("rand_lab (4242, #threads: 1)\n") is None
    assert noise.load_average("1.02 1.10 0.95 2/345 6789\n") == 1.02


def test_the_provenance_line():
    after = snap(201, 1000, 11, 197, 1003, load=1.10, at=0.5)  # 6 of 107 ticks stolen
    before = noise.Snapshot(BEFORE.times, 1.02, 0.0)
    n = noise.noise_between(before, after, 0, 3, 12, 0)
    assert noise.text(n) == ("noise: steal 5.6%, other cpus 97% busy, load 1.02-1.10, "
                             "3 involuntary switches, 0 migrations")
    n = noise.noise_between(before, before, None, 1, 0, None)
    assert noise.text(n) == ("noise: steal ?, all cpus ? busy, load 1.02-1.02, "
                             "1 involuntary switch, migrations unknown")


def run_of(switches=0, seconds=1.0, steal=0.0, moved=0, others=0.1):
    return noise.Noise(seconds, 0, steal, {"cpu0": steal}, {}, others, 1.0, 1.0, switches, 0,
                       moved)


QUIET = [run_of(switches=s, moved=m) for s, m in zip([0, 1, 3, 2, 0, 1, 4, 2], [0, 1] * 4)]


@pytest.mark.parametrize("runs, flagged, why", [
    (QUIET, [], None),
    # One run preempted 300 times a second among quiet ones.
    (QUIET + [run_of(switches=300)], [8], ["switch_rate"]),
    # Far above the others, but under the floor: 15 a second is no noisy stretch.
    (QUIET + [run_of(switches=15)], [], None),
    # Everything busy: no run stands out from the invocation's usual noise.
    ([run_of(switches=s) for s in (280, 300, 310, 295, 305, 290)], [], None),
    ([run_of(steal=0.001)] * 6 + [run_of(steal=0.2)], [6], ["steal"]),
    # A run whose migrations could not be read is left out of their median.
    ([run_of(moved=0)] * 5 + [run_of(moved=None), run_of(moved=9, others=0.95)], [6],
     ["migrations", "others_busy"]),
    # Switches per second: 40 in 0.1 s is a noisy run, 40 in 10 s is not.
    (QUIET + [run_of(switches=40, seconds=0.1)], [8], ["switch_rate"]),
    (QUIET + [run_of(switches=40, seconds=10)], [], None),
])
def test_runs_far_above_the_usual_noise_are_flagged(runs, flagged, why):
    assert [i for i, names in enumerate(noise.noisy_measures(runs)) if names] == flagged
    if why:
        assert noise.noisy_measures(runs)[flagged[0]] == why


def pinned(cpu):
    return lambda: os.sched_setaffinity(0, {cpu})


BUSY_LOOP = "import time\nend = time.process_time() + 0.4\nwhile time.process_time() < end: pass\n"


def rival_seconds(pid):
    """The processor time pid has had, from /proc/PID/stat."""
    with open(f"/proc/{pid}/stat", encoding="ascii") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def test_a_run_that_competes_for_its_processor_is_switched_out():
    cpu = max(os.sched_getaffinity(0))
    rival = subprocess.Popen([sys.executable, "-c", "while True: pass"],
                             preexec_fn=pinned(cpu))
    try:
        # Until the rival spins, the run would have its processor alone.
        while rival_seconds(rival.pid) < 0.1:
            time.sleep(0.02)
        done, n = noise.run([sys.executable, "-c", BUSY_LOOP + "print('done')"], cpu,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            preexec_fn=pinned(cpu))
    finally:
        rival.kill()
        rival.wait()
    assert (done.returncode, done.stdout) == (0, "done\n")
    # 0.4 s of its own processor time while sharing the processor: the
    # scheduler hands the processor back and forth many times.
    assert n.involuntary >= 10 and n.seconds >= 0.4
    # Unknown where the kernel keeps no scheduler statistics; a pinned run
    # moves only on its way to its processor (where a busy host's fork put
    # it, then its pinning), as many as the noise floor allows.
    assert n.cpu == cpu and n.load_start >= 0
    assert n.migrations in (range(noise.FLOORS["migrations"] + 1)
                            if os.path.exists("/proc/self/sched") else (None,))
    assert f"{n.involuntary} involuntary switches" in noise.text(n)


MISSING = "/nonexistent/{pid}/sched"


@pytest.mark.parametrize("sched", [noise.SCHED, MISSING])
def test_a_run_keeps_its_exit_status_and_refuses_a_separate_error_pipe(monkeypatch, sched):
    # MISSING: a kernel without scheduler debugging, whose migrations are unknown.
    monkeypatch.setattr(noise, "SCHED", sched)
    done, n = noise.run(["sh", "-c", "echo out; echo err >&2; exit 3"],
                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    assert (done.returncode, sorted(done.stdout.split())) == (3, ["err", "out"])
    assert n.cpu is None and n.others_busy is None
    if sched == MISSING:
        assert n.migrations is None and noise.text(n).endswith("migrations unknown")
    with pytest.raises(ValueError, match="merge standard error"):
        noise.run(["true"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
