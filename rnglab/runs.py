"""What one run of the lab's runner printed and appended, read: the only
reader of what the runs print (rand_lab's data lines, and the program's one
prose line for a failed call), and the judge of whether the records that
appeared in a variant's series are all its run's, whose labels and number
the run says (rnglab.runner does the running)."""

import re
from pathlib import Path

from rnglab import randlab, record

# The program's line for a failed call, which stays the prose it is;
# rand_lab's failed calls are data lines.
FAILED_CALL = re.compile(r"Failed--> \d+\. cycle")


def failed_call(v, output):
    """The line that tells of the run's first failed call, or None."""
    if v.rand_lab:
        read = randlab.parse(output)
        return read.first_message() if read.first("failed") else None
    return next((line for line in output.splitlines() if FAILED_CALL.search(line)), None)


def failure_line(v, output):
    """The line that says why a run that exited with a failure failed:
    rand_lab's first message (what it says after comes of it), else the
    last line of another command's output."""
    if v.rand_lab:
        return randlab.parse(output).first_message("no output")
    return (output.strip().splitlines()[-1:] or ["no output"])[0]


def placements_of(output):
    """(thread, first processor, last processor, calls away) per thread of
    a rand_lab run's parent."""
    return [(int(t["n"]), int(t["cpu_first"]), int(t["cpu_last"]), int(t["away"]))
            for t in randlab.parse(output).all("thread", process="parent")]


def rate_line(output):
    """rand_lab's data line of calls and bytes per second, for runs.txt."""
    rates = randlab.parse(output).lines("rate", process="parent")
    return rates[0].text if rates else ""


def rate_of(output):
    """All threads' calls per second but each thread's first call, or None:
    where rand_lab gave no rate (no call after a thread's first)."""
    rate = randlab.parse(output).first("rate", process="parent")
    return float(rate["calls_per_s"]) if rate and "calls_per_s" in rate else None


def expected_records(v, output, whole):
    """(the labels its records carry, how many it appends, whether exactly
    that many: else at most) of a run whose output is output; whole: it
    ran to its end and succeeded. rand_lab says both in its run line (a
    record per thread and process) and how many landed in its records
    line; the program appends one record, under its one label."""
    if v.results is None:
        return set(), 0, True
    if not v.rand_lab:
        return {record.PROGRAM_LABEL}, 1, whole
    read = randlab.parse(output)
    run, landed = read.first("run"), read.first("records")
    if run is None:
        return set(), 0, True
    labels = {run["label"], *([run["child_label"]] if "child_label" in run else [])}
    if landed is not None:
        return labels, int(landed["count"]), True
    return labels, int(run.get("threads", "1")) * len(labels), False


def labels_text(labels):
    """Records' labels, each with how many records have it: 2 "A:", 1 "B:"."""
    counts = {}
    for label in labels:
        counts[label] = counts.get(label, 0) + 1
    return ", ".join(f'{n} "{label}"' for label, n in counts.items()) or "none"


def not_its_own(run, wanted):
    """Why the records that appeared in v's series since its last run (or
    since it was prepared) are not all this run's, or None: their labels
    must be the run's and their number what it appends. Another writer's
    record among them would be counted as this variant's measurement."""
    labels, most, exact = wanted
    found = [r["label"] for r in run.records]
    if all(label in labels for label in found) and \
            (len(found) == most if exact else len(found) <= most):
        return None
    named = " or ".join(f'"{label}"' for label in sorted(labels)) or "nothing"
    wanted = f"where the run appends {'' if exact else 'at most '}{most} labelled {named}"
    if not found:
        return (f"no record appeared in {record.RESULTS_FILE} by the end of its run in round "
                f"{run.round}, {wanted}; another writer cut or replaced this series")
    where = f"records {run.first} to {run.first + len(found) - 1}" if len(found) > 1 else \
        f"record {run.first}"
    return (f"records not all its own appeared in {record.RESULTS_FILE} by the end of its run "
            f"in round {run.round}: {where} ({labels_text(found)}), {wanted}; another writer "
            "shares this series, and none of them is counted")


def failure_of(v, done, stopped):
    """Why the run failed, if it did; a run stopped by a signal is not a
    failure of its own."""
    failed = failed_call(v, done.stdout)
    if failed is not None:
        return f"a call failed: {failed}"
    # rand_lab --fork's findings about the generator are no failures: a child
    # that repeats its parent (the run's records landed with it), or one
    # whose first request never returned (it was killed, and the run
    # appended nothing, as its records line says).
    finding = v.rand_lab and done.returncode in (randlab.FORK_REPEATS, randlab.FORK_HANGS)
    if done.returncode != 0 and not stopped and not finding:
        return (f"{Path(v.command[0]).name} exited with status {done.returncode}: "
                f"{failure_line(v, done.stdout)}")
    return None


def batches_of(output):
    """rand_lab --batch's disturbed batches over the parent's threads:
    {disturbed, remeasured, marked}, or None for a run without --batch."""
    found = randlab.parse(output).all("batches", process="parent")
    if not found:
        return None
    return {key: sum(int(f[key]) for f in found) for key in ("disturbed", "remeasured", "marked")}


def counters_of(output):
    """What a source counted in its run (rand_lab's counter lines, such as
    rdrand's retries): {name: value}, a whole number where it is one."""
    return {c["name"]: int(c["value"]) if c.get("value", "").isdigit() else c.get("value")
            for c in randlab.parse(output).all("counter") if "name" in c}


def fork_of(v, output):
    """rand_lab --fork's finding (randlab.fork_finding), or None."""
    return randlab.fork_finding(randlab.parse(output)) if v.rand_lab else None
