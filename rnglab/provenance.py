"""What an invocation ran, where and on what: the provenance text each
variant's folder keeps, and the same facts as data for a --json file (see
docs/json.md), which can be read back into variants whose tables are then
computed again."""

import datetime
import platform
from pathlib import Path

from rnglab import files, noise, signals
from rnglab.report import text
from rnglab import machine as identity
from rnglab.process import parse_info, quiet_run
from rnglab.record import RESULTS_FILE
from rnglab.runner import Run
from rnglab.variants import OPENSSL_SOURCE, Build, Reference, Variant, probe_text


def read_text(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as text:
            return text.read()
    except OSError:
        return ""


def expand(text):
    """A kernel's CPU list, "0-3,8", as numbers."""
    cpus = []
    for part in filter(None, text.split(",")):
        low, _, high = part.partition("-")
        cpus += range(int(low), int(high or low) + 1)
    return cpus


def machine():
    """The processors, each logical one's model and, on a hybrid processor,
    its core type, and the kernel."""
    models, number = {}, None
    for line in read_text("/proc/cpuinfo").splitlines():
        key, _, value = line.partition(":")
        if key.strip() == "processor":
            number = int(value)
        elif key.strip() == "model name" and number is not None:
            models[number] = value.strip()
    kinds = {}
    for kind, name in (("cpu_core", "performance"), ("cpu_atom", "efficiency")):
        for cpu in expand(read_text(f"/sys/devices/{kind}/cpus").strip()):
            kinds[cpu] = name
    by_model = {}
    for cpu, model in sorted(models.items()):
        by_model.setdefault(model + (f", {kinds[cpu]} core" if cpu in kinds else ""),
                            []).append(cpu)
    processors = "; ".join(f"cpu {','.join(map(str, cpus))}: {model}"
                           for model, cpus in by_model.items()) or "unknown"
    return {"processor": processors, "kernel": " ".join(platform.uname()[0:3:2]),
            "processors": [{"cpus": cpus, "model": model} for model, cpus in by_model.items()]}


def counter(build_):
    """bench/counter_check's findings: which counter, its rate, what one
    CPUID costs, the method's floor."""
    return parse_info(quiet_run([str(build_.folder / "bench" / "counter_check")],
                                "bench/counter_check"))


def now_text():
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC")


def run_line(run):
    """What one run did, for the provenance text."""
    where = "free" if run.cpu is None else f"cpu {run.cpu}"
    if run.records:
        what = (f"record {run.first}" if len(run.records) == 1 else
                f"records {run.first} to {run.first + len(run.records) - 1}")
    else:
        what = "no record"
    line = f"  round {run.round}{' re-run' if run.rerun else ''}, {where}: {what}"
    threads = run.placements
    if threads:
        line += "; threads " + ", ".join(
            f"{t} cpu {a}" + (f" to {b}" if b != a else "") + (f" ({m} calls away)" if m else "")
            for t, a, b, m in threads)
    if run.noise is not None:
        line += "; " + noise.text(run.noise)
    if run.noisy:
        line += f"; noisy ({text.noise_measures(run.noisy)})"
    if run.replaced:
        line += "; replaced by its re-run in the round's ratios"
    if run.fork:
        line += "; " + fork_text(run.fork)
    if run.counters:
        line += "; counted " + ", ".join(f"{name} {value}" for name, value in run.counters.items())
    if run.failure:
        line += f"; stopped the rounds: {run.failure}"
    return line


def fork_text(found):
    """A run's fork finding, in a phrase."""
    if found["result"] == "repeats":
        return (f"fork: REPEATS in the child ({found['repeated']} of {found['threads']} "
                "threads: the application must reseed)")
    if found["result"] == "hangs":
        return f"fork: the child hung ({found['hung']} of {found['threads']} threads)"
    return f"fork: the child's bytes differ ({found['threads']} threads)"


def measured_lines(v):
    """What a variant measured: OpenSSL's generator as its configuration
    and the probe gave it, and the libcrypto; or another source, by its
    name and version alone: its executable makes no OpenSSL call, so
    neither the probe nor the build's libcrypto says what it measured."""
    if v.source != OPENSSL_SOURCE:
        return [f"generator asked: {v.generator}",
                f"source: {v.source} {v.source_version or '?'}, measured by "
                f"rand_lab-{v.source}, which makes no call to OpenSSL itself (built in "
                f"{v.build.name})"]
    named = [f"source: {v.source} {v.source_version}"] if v.source_version else []
    return [
        "configuration: openssl.cnf beside this file, as it was:",
        *("    " + line for line in v.config.splitlines()),
        f"generator asked: {v.generator}",
        "probe saw: " + ", ".join(f"{k} {v.probe.get(k)}" for k in
                                  ("path", "drbg", "cipher", "digest", "provider",
                                   "random_provider")
                                  if v.probe and k in v.probe),
        f"libcrypto: {v.build.info.get('version', '?')}, "
        f"{'static' if v.build.static else 'shared'}, build {v.build.name}",
        f"libcrypto flags: {v.build.info.get('cflags', '?')}", *named]


def block(v, counter_info, started, now, where):
    """One invocation's block of a variant's provenance text."""
    hz = float(counter_info.get("counter_hz", "nan"))
    appended = sum(len(r.records) for r in v.runs)
    runs = text.plural(len(v.runs), "run")
    if appended:
        claim = f"records {v.before} to {v.before + appended - 1} of {RESULTS_FILE} ({runs})"
    else:
        claim = f"no record appended ({runs})"
    return [
        f"== {started} to {now}: {claim}",
        *(run_line(run) for run in v.runs),
        f"command: {' '.join(v.command)}",
        *measured_lines(v),
        f"processors: {where['processor']}",
        f"counter: {counter_info.get('counter', '?')}; {hz / 1e9:.4f} GHz; "
        f"one CPUID {counter_info.get('cpuid_ticks', '?')} ticks",
        f"kernel: {where['kernel']}",
        "",
    ]


def write_provenance(variants, counter_info, started):
    """Appends one block per invocation to each variant's provenance.txt,
    written after its runs, so that it names exactly the records they
    appended (by their index in osslRb1a.txt, as tools/series counts them)
    and where each ran: a series read months later still says what each
    stretch measured."""
    now, where = now_text(), machine()
    # Every variant's, or a signal would leave records that no provenance names.
    with signals.held():
        for v in variants:
            if v.folder is not None:
                files.append_whole(v.folder / "provenance.txt",
                                   "\n".join(block(v, counter_info, started, now, where)) + "\n")


# --- as data -----------------------------------------------------------------

# The version of the --json document's layout (docs/json.md): 2 added the
# machine's identity and key; a document without one is of version 1.
SCHEMA = 2


def plain(value):
    """A probe's or counter's value: a number where it is one."""
    try:
        number = float(value)
    except (TypeError, ValueError):
        return value
    return int(number) if number.is_integer() and "." not in str(value) else number


def counter_data(counter_info):
    """bench/counter_check's findings about the counter (what names the
    machine goes in its identity)."""
    return {key: plain(value) for key, value in counter_info.items()
            if not identity.is_identity(key)}


def build_data(b):
    return {"name": b.name, "folder": str(b.folder), "static": b.static,
            "version": b.info.get("version"), "cflags": b.info.get("cflags"),
            "info": dict(b.info)}


def run_data(run):
    return {"round": run.round, "cpu": run.cpu, "value": run.value, "wall": run.wall,
            "first": run.first,
            "records": [{"label": r["label"], "index": r["index"], "total": r["total"],
                         "median": r["median"], "average": r["average"],
                         "seconds": float(r["seconds"])} for r in run.records],
            "threads": [{"thread": t, "cpu_first": a, "cpu_last": b, "away": m}
                        for t, a, b, m in run.placements],
            "calls_per_s": run.rate, "failure": run.failure,
            "noise": None if run.noise is None else run.noise.as_dict(), "noisy": list(run.noisy),
            "replaced": run.replaced, "rerun": run.rerun, "fork": run.fork,
            "counters": dict(run.counters)}


def variant_data(v):
    """A variant of the program's measurement, or a reference of
    check-figures (which has no build, probe or records)."""
    data = {"name": v.name, "command": list(v.command),
            "folder": None if v.folder is None else str(v.folder),
            "threads": v.threads, "before": v.before, "runs": [run_data(r) for r in v.runs]}
    if isinstance(v, Variant):
        # Another source's executable makes no OpenSSL call: no configuration
        # or probe of OpenSSL's describes it, and its version is its own.
        openssl = v.source == OPENSSL_SOURCE
        data.update(build=v.build.name, generator=v.generator,
                    configuration=v.config if openssl else None,
                    library_version=v.build.info.get("version") if openssl else v.source_version,
                    probe=v.probe if openssl else None,
                    probe_saw=None if v.probe is None or not openssl else probe_text(v.probe),
                    expected=v.expected, rand_lab=v.rand_lab, bytes=v.bytes, cipher=v.cipher,
                    calls=v.calls, source=v.source, source_version=v.source_version,
                    fork=v.fork, samples=v.samples, fence=v.fence, batch=v.batch)
    return data


def invocation(command, argv, started, counter_info, builds, variants):
    """The provenance of one invocation, as data."""
    return {"schema": SCHEMA, "command": command, "argv": list(argv), "started": started,
            "finished": now_text(), "machine": {**machine(), **identity.identity(counter_info)},
            "counter": counter_data(counter_info),
            "builds": [build_data(b) for b in builds],
            "variants": [variant_data(v) for v in variants]}


def variants_from(document):
    """The variants of a --json file's provenance, their runs and records
    as they were: what the tables are computed from."""
    builds = {b["name"]: Build(b["name"], Path(b["folder"]), b["static"], b["info"])
              for b in document["builds"]}
    made = []
    for d in document["variants"]:
        if "build" not in d:  # a reference of check-figures
            made.append(Reference(d["name"], d["command"], None, threads=d["threads"],
                                  runs=[run_of(r) for r in d["runs"]]))
            continue
        v = Variant(d["name"], builds[d["build"]], d["generator"], d["configuration"],
                    rand_lab=d["rand_lab"], bytes=d["bytes"], threads=d["threads"],
                    cipher=d["cipher"], calls=d["calls"], source=d["source"], fork=d["fork"],
                    samples=d["samples"], fence=d.get("fence", Variant.fence),
                    batch=d.get("batch", Variant.batch), expected=d["expected"], probe=d["probe"],
                    source_version=d["source_version"], before=d["before"],
                    folder=None if d["folder"] is None else Path(d["folder"]))
        v.runs = [run_of(r) for r in d["runs"]]
        made.append(v)
    return builds, made


def run_of(r):
    """A run of a --json file's provenance, as the runner left it (a file
    written before noise was recorded has none)."""
    return Run(r["round"], r["cpu"], r["first"],
               [{**rec, "seconds": f"{rec['seconds']:.6f}"} for rec in r["records"]], "",
               failure=r["failure"], wall=r["wall"], value=r["value"],
               placements=[(t["thread"], t["cpu_first"], t["cpu_last"], t["away"])
                           for t in r["threads"]], rate=r["calls_per_s"],
               noise=noise.Noise(**r["noise"]) if r.get("noise") else None,
               noisy=r.get("noisy", []), replaced=r.get("replaced", False),
               rerun=r.get("rerun", False), fork=r.get("fork"), counters=r.get("counters", {}))
