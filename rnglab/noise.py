"""How busy the host was while a run ran, for provenance and to mark the
runs that a noisy stretch may have bent.

Around each run: the processors' times from /proc/stat before and after
(steal, the time the hypervisor gave this VM's processor to someone else,
and how busy the other processors were), the 1-minute load average at the
start and the end, and the child's own context switches and migrations.
The switches come from wait4's resource usage: every thread of the child
and whatever children it reaped (a fork child of rand_lab) are counted. The
migrations come from the kernel's scheduler statistics of the child, read
from /proc/PID/sched after it has exited but before it is reaped (waitid
with WNOWAIT); they are the main thread's alone, since the others' files
are gone by then, and a pinned run's count includes its move onto its
processor when the fork landed elsewhere (0 or 1). A kernel built without
scheduler debugging has no such file: the count is then unknown (None),
never a failure. /proc/stat counts in
clock ticks (100 a second here): a run of a few hundredths of a second sees
its shares in steps of a few percent.

The parsers take the files' text, so that tests hand them fixtures; only
snapshot and run read the system.
"""

import dataclasses
import os
import subprocess
import time

import numpy as np

from rnglab.report.text import plural

# /proc/stat's first eight columns; guest time is already inside user.
COLUMNS = ("user", "nice", "system", "idle", "iowait", "irq", "softirq", "steal")
BUSY = ("user", "nice", "system", "irq", "softirq")
# A run is marked noisy on a measure that lies more than SPREADS robust
# standard deviations (scaled MAD) above the invocation's median of it, and
# above that measure's floor too. The first alone would mark the slightest
# blip in an invocation whose runs were all quiet (a MAD of 0); the floor
# alone would mark every run on a host that is always busy, which says
# nothing about one run against the others. Floors: steal 2% of the run's
# processor; 20 involuntary switches a second, and at least 2 (one switch is
# a timer's, not a noisy stretch); 2 migrations (a pinned run may show 1, its
# move onto its processor); the other processors half busy.
SPREADS = 5
FLOORS = {"steal": 0.02, "switch_rate": 20.0, "migrations": 2, "others_busy": 0.5}
LEAST_SWITCHES = 2
# A child's scheduler statistics, where the kernel keeps them.
SCHED = "/proc/{pid}/sched"


@dataclasses.dataclass
class Snapshot:
    """The host at one moment: each processor's times (the sum over all of
    them under "cpu"), the 1-minute load average, and when."""
    times: dict
    load: float
    at: float


@dataclasses.dataclass
class Noise:
    """One run's noise; shares are of the time between the snapshots, None
    where the counters did not move (a run shorter than a clock tick)."""
    seconds: float
    cpu: int  # where the run was placed; None: free
    steal: float  # over every processor
    steal_cpus: dict  # "cpu0": share, ...
    busy_cpus: dict
    others_busy: float  # the mean busy share of the processors the run was not on
    load_start: float
    load_end: float
    involuntary: int
    voluntary: int
    migrations: int  # None: unreadable

    def as_dict(self):
        return dataclasses.asdict(self)


def cpu_times(stat_text):
    """/proc/stat's processor lines: {"cpu": {...}, "cpu0": {...}, ...}."""
    times = {}
    for line in stat_text.splitlines():
        fields = line.split()
        if fields and fields[0].startswith("cpu"):
            values = [int(v) for v in fields[1:1 + len(COLUMNS)]]
            values += [0] * (len(COLUMNS) - len(values))  # kernels before steal
            times[fields[0]] = dict(zip(COLUMNS, values))
    if "cpu" not in times:
        raise ValueError("no cpu line in /proc/stat")
    return times


def load_average(loadavg_text):
    """The 1-minute load average of /proc/loadavg."""
    return float(loadavg_text.split()[0])


def migrations(sched_text):
    """se.nr_migrations of /proc/PID/sched, or None if it is not there."""
    for line in sched_text.splitlines():
        key, _, value = line.partition(":")
        if key.strip() == "se.nr_migrations":
            return int(value)
    return None


def read(path):
    with open(path, encoding="ascii", errors="replace") as text:
        return text.read()


def snapshot():
    return Snapshot(cpu_times(read("/proc/stat")), load_average(read("/proc/loadavg")),
                    time.monotonic())


def _shares(before, after, keys):
    total = sum(after[k] - before[k] for k in COLUMNS)
    return sum(after[k] - before[k] for k in keys) / total if total > 0 else None


def noise_between(before, after, cpu=None, involuntary=0, voluntary=0, moved=None):
    """The noise of a run between two snapshots, with the child's switches
    and migrations; cpu: the processor it was placed on, if any."""
    names = sorted((n for n in after.times if n != "cpu" and n in before.times),
                   key=lambda n: int(n[3:]))
    steal = {n: _shares(before.times[n], after.times[n], ("steal",)) for n in names}
    busy = {n: _shares(before.times[n], after.times[n], BUSY) for n in names}
    others = [busy[n] for n in names if cpu is not None and n != f"cpu{cpu}"
              and busy[n] is not None]
    return Noise(seconds=after.at - before.at, cpu=cpu,
                 steal=_shares(before.times["cpu"], after.times["cpu"], ("steal",)),
                 steal_cpus=steal, busy_cpus=busy,
                 others_busy=sum(others) / len(others) if others else None,
                 load_start=before.load, load_end=after.load,
                 involuntary=involuntary, voluntary=voluntary, migrations=moved)


def run(command, cpu=None, watch=None, **popen):
    """subprocess.run(command, **popen) with the run's noise: (the
    CompletedProcess, Noise). cpu: where popen's preexec_fn places the
    child, if it does (None: free). Standard error must go to standard output or
    elsewhere, not to a pipe of its own: the child is reaped here, after its
    output is read and its scheduler statistics taken. watch(pid) is told
    the child's process id once it runs, and watch(None) once it has
    exited, before it is reaped and its id may be another's."""
    if popen.get("stderr") == subprocess.PIPE:
        raise ValueError("merge standard error into standard output (stderr=STDOUT)")
    before = snapshot()
    with subprocess.Popen(command, **popen) as child:
        if watch:
            watch(child.pid)
        output = child.stdout.read() if child.stdout else None
        # Exited, not yet reaped: its /proc files are still there.
        os.waitid(os.P_PID, child.pid, os.WEXITED | os.WNOWAIT)
        if watch:
            watch(None)
        try:
            moved = migrations(read(SCHED.format(pid=child.pid)))
        except OSError:
            moved = None
        _, status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(status)
    found = noise_between(before, snapshot(), cpu, usage.ru_nivcsw, usage.ru_nvcsw, moved)
    return subprocess.CompletedProcess(command, child.returncode, output, None), found


def _percent(share):
    return "?" if share is None else f"{share * 100:.1f}%" if share < 0.1 else f"{share:.0%}"


def text(n):
    """One line for provenance."""
    steal = n.steal if n.cpu is None else n.steal_cpus.get(f"cpu{n.cpu}", n.steal)
    if n.cpu is None:
        busy = [b for b in n.busy_cpus.values() if b is not None]
        others = f"all cpus {_percent(sum(busy) / len(busy) if busy else None)} busy"
    else:
        others = f"other cpus {_percent(n.others_busy)} busy"
    moved = "migrations unknown" if n.migrations is None else \
        plural(n.migrations, "migration")
    switches = plural(n.involuntary, "involuntary switch", "involuntary switches")
    return (f"noise: steal {_percent(steal)}, {others}, load {n.load_start:.2f}-"
            f"{n.load_end:.2f}, {switches}, {moved}")


def measures(n):
    """The measures a run is judged noisy on; None where unknown."""
    steal = n.steal if n.cpu is None else n.steal_cpus.get(f"cpu{n.cpu}", n.steal)
    rate = n.involuntary / n.seconds if n.seconds > 0 and n.involuntary >= LEAST_SWITCHES \
        else 0.0
    return {"steal": steal, "switch_rate": rate, "migrations": n.migrations,
            "others_busy": n.others_busy}


def noisy_measures(runs):
    """Per run, the measures on which it stands far above this invocation's
    usual noise (see SPREADS and FLOORS)."""
    from scipy.stats import median_abs_deviation  # pylint: disable=import-outside-toplevel
    table = [measures(n) for n in runs]
    marked = [[] for _ in runs]
    for name, floor in FLOORS.items():
        values = np.array([np.nan if m[name] is None else m[name] for m in table], dtype=float)
        known = values[~np.isnan(values)]
        if not known.size:
            continue
        limit = max(np.median(known) + SPREADS * median_abs_deviation(known, scale="normal"),
                    floor)
        for i in np.flatnonzero(values > limit):
            marked[i].append(name)
    return marked


def table_of(variants):
    """The host's noise over this invocation's runs, as a table: the
    median of each measure (the usual noise), and every run marked noisy;
    None where no run's noise was recorded (a file written before it was)."""
    runs = [(v, run) for v in variants for run in v.runs if run.noise is not None]
    if not runs:
        return None
    taken = [measures(run.noise) for _, run in runs]
    usual = {name: float(np.median(known)) if (known := [m[name] for m in taken
                                                         if m[name] is not None]) else None
             for name in FLOORS}
    noisy = [{"variant": v.name, "round": run.round, "cpu": run.cpu, "value": run.value,
              "measures": list(run.noisy), **measures(run.noise),
              "replaced": run.replaced, "rerun": run.rerun}
             for v, run in runs if run.noisy]
    return {"table": "noise", "runs": len(runs), "usual": usual, "noisy": noisy,
            "reruns": sum(run.rerun for _, run in runs), "spreads": SPREADS,
            "floors": dict(FLOORS)}
