"""The lab's one runner: variants, run interleaved in rounds.

A variant is one way of taking the program's measurement: a build of the
program against one libcrypto, a generator configuration passed through
OPENSSL_CONF, and a command, either the program itself or bench/rand_lab for
a request size, a thread count or the cipher's floor. Every comparison is a
set of variants. Each variant has its own folder, OUT/NAME, holding its
results series (osslRb1a.txt, which grows across invocations), the
configuration it ran with (openssl.cnf) and a provenance text that says,
invocation by invocation, what it measured and on what. Rounds run every
variant once, A B C ..., A B C ..., so that whatever the machine does
meanwhile touches all alike.

Nothing is assumed about the generator: before any round, bench/libcrypto_info
runs under each variant's configuration, and a variant whose configuration
the library cannot apply whole, or whose generator is not the one it asked
for, stops everything with one line. So does a run that prints a failed call.
"""

import dataclasses
import datetime
import importlib.machinery
import importlib.util
import os
import platform
import re
import subprocess
import sys
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent


def load_series():
    """tools/series, the series reader, as a module: its parsing and
    statistics serve every command of the lab."""
    loader = importlib.machinery.SourceFileLoader("series", str(ROOT / "tools" / "series"))
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader("series", loader))
    loader.exec_module(module)
    return module


series = load_series()


class LabError(Exception):
    """What stops a comparison: one line, exit status 1."""


# name: (OpenSSL series for tools/libcrypto, or None for the system's;
#        static; tools/libcrypto's target)
BUILDS = {
    "system-shared": (None, False, None),
    "system-static": (None, True, None),
    "1.1.1-static": ("1.1.1", True, "linux"),
    "3.0-static": ("3.0", True, "linux"),
    "newest-3-static": ("3", True, "linux"),
}
# Where the fips generator always runs: the newest 3.x with the FIPS
# provider built from the same source.
FIPS_BUILD = "newest-3-fips"
ALL_BUILDS = {**BUILDS, FIPS_BUILD: ("3", True, "linux-fips")}

def drbg(name, param, value, provider="default", section=None):
    """A generator: its [random] section's lines (by default the DRBG's name
    and its cipher or digest), and what the probe must then see."""
    lines = section or [f"random = {name}", f"{param} = {value}"]
    return lines, {"drbg": name, param: value, "provider": provider}


GENERATORS = {
    **{f"ctr-aes-{bits}": drbg("CTR-DRBG", "cipher", f"AES-{bits}-CTR")
       for bits in (128, 192, 256)},
    **{f"{kind}-sha{bits}": drbg(f"{kind.upper()}-DRBG", "digest", f"SHA2-{bits}")
       for kind in ("hash", "hmac") for bits in (256, 512)},
    # The FIPS provider's own DRBG is CTR-DRBG with AES-256-CTR.
    "fips": drbg("CTR-DRBG", "cipher", "AES-256-CTR", "fips", ["properties = fips=yes"]),
}
DEFAULT_GENERATOR = "default"
# The 1.1.1 series reads no [random] section; its DRBG is this one.
FIXED_1_1_1 = "ctr-aes-256"

TARGETS = ["openssl_rng", "libcrypto_info", "rand_lab", "counter_check"]
FAILED_CALL = re.compile(r"Failed--> \d+\. cycle")


@dataclasses.dataclass
class Build:
    name: str
    folder: Path
    static: bool
    info: dict  # libcrypto_info under no configuration: version, cflags
    fips_config: Path = None  # the module's configuration, for FIPS_BUILD

    @property
    def is_1_1_1(self):
        return self.info["version"].startswith("OpenSSL 1.")


@dataclasses.dataclass
class Variant:
    name: str
    build: Build
    generator: str  # a GENERATORS name, DEFAULT_GENERATOR, or "config NAME"
    config: str  # the configuration file's text
    args: list  # rand_lab's arguments; None for the program itself
    label: str  # the label of the records it appends
    bytes: int = 16384
    threads: int = 1
    cipher: bool = False
    expected: dict = None  # what the probe must see; None: whatever it sees
    folder: Path = None
    probe: dict = None
    before: int = 0
    outputs: list = dataclasses.field(default_factory=list)  # each run's standard output

    @property
    def command(self):
        if self.args is None:
            return [str(self.build.folder / "openssl_rng")]
        return [str(self.build.folder / "bench" / "rand_lab"), *self.args]

    @property
    def results(self):
        return self.folder / "osslRb1a.txt"

    @property
    def env(self):
        return {**os.environ, "OPENSSL_CONF": str(self.folder / "openssl.cnf")}


def progress(message):
    print(message, file=sys.stderr, flush=True)


def quiet_run(command, what, **kwargs):
    """Runs a step whose output matters only when it fails."""
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          check=False, **kwargs)
    if done.returncode != 0:
        sys.stderr.write(done.stdout[-4000:])
        raise LabError(f"{what} failed (exit status {done.returncode})")
    return done.stdout


def parse_info(text):
    return dict(line.split(" ", 1) for line in text.splitlines() if " " in line)


def build(name):
    """Builds the program and the lab's tools against one libcrypto."""
    openssl_series, static, target = ALL_BUILDS[name]
    folder = ROOT / "build-compare" / name
    options = [f"-DOPENSSL_USE_STATIC_LIBS={'ON' if static else 'OFF'}"]
    root = None
    if openssl_series:
        root = Path(quiet_run([str(ROOT / "tools" / "libcrypto"), openssl_series, target],
                              f"tools/libcrypto {openssl_series} {target}").splitlines()[-1])
        options.append(f"-DOPENSSL_ROOT_DIR={root}")
    quiet_run(["cmake", "-S", str(ROOT), "-B", str(folder), "-DCMAKE_BUILD_TYPE=Release",
               "-DOPENSSL_RNG_BUILD_TESTS=OFF", *options], f"configuring {name}")
    quiet_run(["cmake", "--build", str(folder), "-j2", "--target", *TARGETS], f"building {name}")
    found = local_build(folder, name, static)
    if name == FIPS_BUILD:
        found.fips_config = root / "ssl" / "fipsmodule.cnf"
    return found


def config_text(generator, build_, own=None):
    """The configuration a variant runs with: nothing but its generator, so
    that no system file changes what is measured."""
    if own is not None:
        return own
    lines = ["# Written by bench/compare-openssl for this variant.",
             "openssl_conf = openssl_init"]
    random = generator != DEFAULT_GENERATOR and not build_.is_1_1_1
    if generator == "fips":
        lines += [f".include {build_.fips_config}", "", "[openssl_init]",
                  "providers = provider_sect", "random = random_sect", "",
                  "[provider_sect]", "fips = fips_sect", "base = base_sect", "",
                  "[base_sect]", "activate = 1"]
    else:
        lines += ["", "[openssl_init]"] + (["random = random_sect"] if random else [])
    if random:
        lines += ["", "[random_sect]", *GENERATORS[generator][0]]
    return "\n".join(lines) + "\n"


def lab_label(cipher, bytes_, threads):
    subject = "AES-256-CTR" if cipher else "RAND_bytes"
    return f"{subject} {bytes_} B {threads} {'thread' if threads == 1 else 'threads'}:"


def refuse_fixed(build_name, generator):
    """The 1.1.1 series runs its one generator or nothing."""
    if generator not in (DEFAULT_GENERATOR, FIXED_1_1_1):
        raise LabError(
            f"{build_name}: the 1.1.1 series has no [random] section and reads no "
            f"configuration; its generator is fixed at CTR-DRBG with AES-256-CTR, so "
            f"{generator} cannot run on it")


def variant(build_, generator, own_config=None, lab=None, calls=1024):
    """One variant. lab: None for the program, else (bytes, threads, cipher)
    for rand_lab, which makes calls calls per thread."""
    parts = [build_.name]
    if own_config is not None:
        parts.append("config-" + Path(own_config).stem)
        name_of_generator = f"config {Path(own_config).name}"
        text = Path(own_config).read_text(errors="replace")
    else:
        if generator != DEFAULT_GENERATOR and build_.name != FIPS_BUILD:
            parts.append(generator)
        name_of_generator = generator
        text = None
    if build_.is_1_1_1:
        refuse_fixed(build_.name, name_of_generator)
    # The library's default, and a configuration of the user's own, are
    # whatever the probe sees: shown, not judged.
    expected = None
    if own_config is None and generator != DEFAULT_GENERATOR:
        expected = dict(GENERATORS[generator][1])
        if build_.is_1_1_1:
            del expected["provider"]  # it has none
    if lab is None:
        return Variant("+".join(parts), build_, name_of_generator,
                       config_text(generator, build_, text), None, "RAND_bytes:",
                       expected=expected)
    bytes_, threads, cipher = lab
    if cipher:
        parts = [build_.name, "aes-256-ctr"]
    parts.append(f"{bytes_}B")
    if threads != 1:
        parts.append(f"{threads}threads")
    args = ["--bytes", str(bytes_), "--threads", str(threads)] + (["--cipher"] if cipher else [])
    if calls != 1024:
        # Another sample size is another series.
        parts.append(f"{calls}calls")
        args += ["--calls", str(calls)]
    return Variant("+".join(parts), build_, name_of_generator,
                   config_text(generator, build_, text), args, lab_label(cipher, bytes_, threads),
                   bytes_, threads, cipher, expected)


def probe_text(probe):
    """What the probe saw, in one short phrase: the DRBG, what it runs on,
    and its provider where that is not the default one."""
    if probe.get("drbg", "none") == "none":
        return "no DRBG"
    what = probe.get("cipher") or probe.get("digest") or "?"
    provider = probe.get("provider", "?")
    if provider.startswith("none"):
        return f"{probe['drbg']} {what}, fixed"
    return f"{probe['drbg']} {what}" + ("" if provider == "default" else f", {provider}")


def prepare(variants, out):
    """Folders, configurations and probes, before any round. Raises
    LabError on the first variant that would not measure what it asks."""
    for v in variants:
        # Absolute, because each run starts in its own folder.
        v.folder = out.resolve() / v.name
        v.folder.mkdir(parents=True, exist_ok=True)
        (v.folder / "openssl.cnf").write_text(v.config)
        # Exactly where and how the program will start.
        done = subprocess.run([str(v.build.folder / "bench" / "libcrypto_info")], env=v.env,
                              cwd=v.folder, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True, check=False)
        v.probe = parse_info(done.stdout)
        config = v.probe.get("config", "no answer from the probe")
        if config != "ok":
            raise LabError(f"{v.name}: the library cannot apply its configuration: {config}")
        if v.probe.get("drbg", "none") == "none":
            raise LabError(f"{v.name}: no generator stands behind RAND_bytes: "
                           f"{v.probe.get('drbg_error', done.stdout.strip())}")
        if v.probe.get("generate") != "ok":
            raise LabError(f"{v.name}: RAND_bytes fails: {v.probe.get('generate')}")
        if v.expected and any(v.probe.get(k) != want for k, want in v.expected.items()):
            asked = " ".join(v.expected.values())
            raise LabError(f"{v.name}: asked for {asked}, but the probe saw {probe_text(v.probe)}")
        v.before = len(records_of(v))


def records_of(v):
    """The variant's records in its series, oldest first."""
    if not v.results.exists() or v.results.stat().st_size == 0:
        return []
    return [r for r in series.parse(v.results.read_bytes(), str(v.results))
            if r["label"] == v.label]


def new_records(v):
    return records_of(v)[v.before:]


def run_once(v):
    done = subprocess.run(v.command, cwd=v.folder, env=v.env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, errors="replace", check=False)
    failed = next((line for line in done.stdout.splitlines() if FAILED_CALL.search(line)), None)
    if failed is not None:
        raise LabError(f"{v.name}: a call failed: {failed}")
    if done.returncode != 0:
        last = done.stdout.strip().splitlines()[-1:] or ["no output"]
        raise LabError(f"{v.name}: {Path(v.command[0]).name} exited with status "
                       f"{done.returncode}: {last[0]}")
    v.outputs.append(done.stdout)
    if v.args is not None:
        with open(v.folder / "runs.txt", "a", encoding="utf-8") as log:
            log.write(done.stdout.strip().splitlines()[-1] + "\n")


def run_rounds(variants, rounds, rotate=False, run=run_once):
    """run(v) for every variant once per round. With rotate, each round
    starts one variant further on, so that no variant always follows the
    same one. The progress line goes to standard error."""
    tty = sys.stderr.isatty()
    for r in range(rounds):
        shift = r % len(variants) if rotate else 0
        order = variants[shift:] + variants[:shift]
        for k, v in enumerate(order, start=1):
            if tty or k == 1:
                line = f"round {r + 1} of {rounds}, variant {k} of {len(order)}: {v.name}"
                print(line.ljust(78) if tty else line, end="\r" if tty else "\n",
                      file=sys.stderr, flush=True)
            run(v)
    if tty:
        print(" " * 78, end="\r", file=sys.stderr, flush=True)


def local_build(folder, name="build", static=False):
    """A build made elsewhere (the default one, say), as a Build."""
    info = parse_info(subprocess.run([str(folder / "bench" / "libcrypto_info")], check=False,
                                     stdout=subprocess.PIPE, text=True,
                                     env={**os.environ, "OPENSSL_CONF": os.devnull}).stdout)
    return Build(name, folder, static, info)


def machine():
    """The processor, the counter and the kernel, for provenance."""
    model = "unknown"
    try:
        with open("/proc/cpuinfo", encoding="utf-8", errors="replace") as info:
            model = next((line.split(":", 1)[1].strip() for line in info
                          if line.startswith("model name")), model)
    except OSError:
        pass
    return {"processor": model, "kernel": " ".join(platform.uname()[0:3:2])}


def counter(build_):
    return parse_info(quiet_run([str(build_.folder / "bench" / "counter_check")],
                                "bench/counter_check"))


def write_provenance(variants, rounds, counter_info):
    """Appends one block per invocation to each variant's provenance.txt, so
    that a series read months later still says what each stretch measured."""
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC")
    where = machine()
    hz = float(counter_info.get("counter_hz", "nan"))
    for v in variants:
        first = v.before + 1
        lines = [
            f"== {now}: records {first} to {v.before + rounds} of {v.label} ({rounds} runs)",
            f"command: {' '.join(v.command)}",
            "configuration: openssl.cnf beside this file, as it was:",
            *("    " + line for line in v.config.splitlines()),
            f"generator asked: {v.generator}",
            "probe saw: " + ", ".join(f"{k} {v.probe.get(k)}" for k in
                                      ("drbg", "cipher", "digest", "provider") if k in v.probe),
            f"libcrypto: {v.build.info.get('version', '?')}, "
            f"{'static' if v.build.static else 'shared'}, build {v.build.name}",
            f"libcrypto flags: {v.build.info.get('cflags', '?')}",
            f"processor: {where['processor']}",
            f"counter: {counter_info.get('counter', '?')}; {hz / 1e9:.4f} GHz; "
            f"one CPUID {counter_info.get('cpuid_ticks', '?')} ticks",
            f"kernel: {where['kernel']}",
            "",
        ]
        with open(v.folder / "provenance.txt", "a", encoding="utf-8") as text:
            text.write("\n".join(lines))


def throughput(v):
    """Total calls per second of each of this invocation's rand_lab runs."""
    values = []
    for output in v.outputs:
        match = re.search(r": ([0-9.]+) calls/s", output)
        if match:
            values.append(float(match.group(1)))
    return values


def run_median(v):
    """The median of per_run(v): a variant's figure for this invocation."""
    return float(np.median([r["median"] for r in per_run(v)]))


def per_run(v):
    """One figure per run of this invocation: its record's MEDIAN, or for
    several threads the median of their records' MEDIANs, as a record that
    tools/series' statistics accept."""
    records = new_records(v)
    runs = [records[i:i + v.threads] for i in range(0, len(records), v.threads)]
    return [{"median": float(np.median([r["median"] for r in run]))} for run in runs]
