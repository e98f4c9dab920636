"""The lab's variants: libcrypto builds, generator configurations, and the
program or bench/rand_lab as the command a variant runs.

A variant is one way of taking the program's measurement: a build of the
program against one libcrypto, a generator configuration passed through
OPENSSL_CONF, and a command, either the program itself or bench/rand_lab for
a request size, a thread count or the cipher's floor. Every comparison is a
set of variants.
"""

import dataclasses
import os
import subprocess
from pathlib import Path

import numpy as np

from rnglab.errors import LabError
from rnglab.process import ROOT, compare_builds, parse_info, quiet_run
from rnglab.record import BLOCK, RESULTS_FILE


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
    and its cipher or digest), and what the probe must then see: RAND_bytes
    through the public DRBG, which is this one."""
    lines = section or [f"random = {name}", f"{param} = {value}"]
    return lines, {"drbg": name, param: value, "provider": provider, "path": "public-drbg"}


GENERATORS = {
    **{f"ctr-aes-{bits}": drbg("CTR-DRBG", "cipher", f"AES-{bits}-CTR")
       for bits in (128, 192, 256)},
    **{f"{kind}-sha{bits}": drbg(f"{kind.upper()}-DRBG", "digest", f"SHA2-{bits}")
       for kind in ("hash", "hmac") for bits in (256, 512)},
    # The FIPS provider's own DRBG is CTR-DRBG with AES-256-CTR. Up to 3.4
    # the library's public DRBG is fetched from it; from 3.5 on RAND_bytes
    # goes to the provider itself (random_provider, "fips" by default) unless
    # random_provider names none that is loaded, as fips-drbg does.
    **{name: drbg("CTR-DRBG", "cipher", "AES-256-CTR", "fips", ["properties = fips=yes"])
       for name in ("fips", "fips-drbg")},
}
# The generators that load the FIPS provider, and so run on FIPS_BUILD, with
# the random_provider each sets from 3.5 on: "fips" sends RAND_bytes to the
# provider, "none" (no provider is called that) to the public DRBG.
FIPS_GENERATORS = {"fips": "fips", "fips-drbg": "none"}
# What the probe sees when RAND_bytes goes to the FIPS provider itself.
FIPS_PROVIDER_PATH = {"path": "provider", "random_provider": "fips"}
DEFAULT_GENERATOR = "default"
# The 1.1.1 series reads no [random] section; its DRBG is this one.
FIXED_1_1_1 = "ctr-aes-256"


TARGETS = ["openssl_rng", "libcrypto_info", "rand_lab", "counter_check"]


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

    @property
    def has_random_provider(self):
        """From 3.5 on a provider can take RAND_bytes over (random_provider)."""
        try:
            major, minor = (int(n) for n in self.info["version"].split()[1].split(".")[:2])
        except (KeyError, IndexError, ValueError):
            return False
        return (major, minor) >= (3, 5)


def seen_field():
    """How much of its series the runner has read, in bytes, so that the
    records of each run are all those after it (None: none yet, the series
    as it is when a run starts). The runner's, not the variant's: a variant
    copied with dataclasses.replace, into another folder, starts from None."""
    return dataclasses.field(default=None, init=False, repr=False, compare=False)


# The program's calls, which rand_lab makes too unless told otherwise.
DEFAULT_CALLS = 1024
# The views of a call (docs/views.md): name: (rand_lab --fence, --batch).
# cpuid is the program's own; a batch is read between LFENCEs, free of the
# fence, as the probe and the peers' tools time theirs.
BATCH_CALLS = 100
VIEWS = {"cpuid": ("cpuid", 1), "lfence": ("lfence", 1), "batch": ("lfence", BATCH_CALLS)}
DEFAULT_VIEW = "cpuid"
# rand_lab --source's name for OpenSSL's own RAND_bytes (see rnglab/sources.py).
OPENSSL_SOURCE = "openssl"


@dataclasses.dataclass
class Variant:
    """One way of taking the measurement, and what its runs did. The
    command is made from the typed fields, and nothing reads it back."""
    name: str
    build: Build
    generator: str  # a GENERATORS name, DEFAULT_GENERATOR, "config NAME" or "source NAME"
    config: str  # the configuration file's text
    rand_lab: bool = False  # bench/rand_lab, else the program itself
    bytes: int = BLOCK  # the program's
    threads: int = 1
    cipher: bool = False
    calls: int = DEFAULT_CALLS  # per thread
    source: str = OPENSSL_SOURCE  # rand_lab --source
    fork: bool = False  # and a fork child's calls, which are another series
    samples: str = None  # every call's count kept in this file of its folder
    fence: str = "cpuid"  # rand_lab --fence
    batch: int = 1  # rand_lab --batch: calls per count, 1 for a call timed alone
    keep: Path = None  # every byte kept in this file
    expected: dict = None  # what the probe must see; None: whatever it sees
    folder: Path = None
    probe: dict = None
    source_version: str = None  # as the source's executable reports it
    before: int = 0  # whole records in its series before this invocation
    samples_from: int = 0  # where this invocation's samples start in their file
    runs: list = dataclasses.field(default_factory=list)  # this invocation's runs
    seen: int = seen_field()

    @property
    def command(self):
        if not self.rand_lab:
            return [str(self.build.folder / "openssl_rng")]
        args = ["--bytes", str(self.bytes), "--threads", str(self.threads)]
        args += ["--cipher"] if self.cipher else []
        args += ["--calls", str(self.calls)] if self.calls != DEFAULT_CALLS else []
        args += ["--source", self.source] if self.source != OPENSSL_SOURCE else []
        args += ["--fork"] if self.fork else []
        args += ["--fence", self.fence] if self.fence != VIEWS[DEFAULT_VIEW][0] else []
        args += ["--batch", str(self.batch)] if self.batch != 1 else []
        args += ["--samples", self.samples] if self.samples else []
        args += ["--keep", str(self.keep)] if self.keep else []
        return [str(self.build.folder / "bench" / "rand_lab"), *args]

    @property
    def view(self):
        """The name of the view its fence and batch make."""
        shape = (self.fence, self.batch)
        return next((name for name, made in VIEWS.items() if made == shape),
                    f"{self.fence} batch {self.batch}")

    @property
    def results(self):
        return self.folder / RESULTS_FILE

    @property
    def env(self):
        return {**os.environ, "OPENSSL_CONF": str(self.folder / "openssl.cnf")}

    def figure(self, run):
        """A run's figure: its record's MEDIAN, or for several threads the
        median of their records' MEDIANs; None if it appended none. A fork
        child's records, after the parent's, are a series of their own."""
        records = run.records[:self.threads] if self.fork else run.records
        return float(np.median([r["median"] for r in records])) if records else None


@dataclasses.dataclass
class Reference:
    """A kind of variant that takes another measurement than the program's
    (bench/check-figures' hand loops, openssl speed, the Windows program):
    a command, the folder it runs in (None: where the lab runs), its
    environment, the results file it appends to if any, and how its figure
    in ticks per call is read from its run (its output or its records)."""
    name: str
    command: list
    read: object  # read(run) -> figure; LabError if it cannot be read
    folder: Path = None
    env: dict = None
    results: Path = None
    threads: int = 1
    rand_lab: bool = False
    before: int = 0
    runs: list = dataclasses.field(default_factory=list)
    seen: int = seen_field()

    def figure(self, run):
        return self.read(run)


def build_against(name):
    """Builds the program and the lab's tools against one libcrypto."""
    openssl_series, static, target = ALL_BUILDS[name]
    folder = compare_builds() / name
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
    section = list(GENERATORS[generator][0]) if random else []
    if generator in FIPS_GENERATORS:
        # [random] before the providers: there random_provider is only a
        # name until a provider of that name loads. After them, naming
        # another provider no longer takes RAND_bytes back from the FIPS
        # one, and naming the FIPS provider deactivates it (3.6.3 drops the
        # reference it took to find it with OSSL_PROVIDER_unload).
        lines += [f".include {build_.fips_config}", "", "[openssl_init]",
                  "random = random_sect", "providers = provider_sect", "",
                  "[provider_sect]", "fips = fips_sect", "base = base_sect", "",
                  "[base_sect]", "activate = 1"]
        if build_.has_random_provider:
            section.append(f"random_provider = {FIPS_GENERATORS[generator]}")
    else:
        lines += ["", "[openssl_init]"] + (["random = random_sect"] if random else [])
    if random:
        lines += ["", "[random_sect]", *section]
    return "\n".join(lines) + "\n"


def refuse_fixed(build_name, generator):
    """The 1.1.1 series runs its one generator or nothing."""
    if generator not in (DEFAULT_GENERATOR, FIXED_1_1_1):
        raise LabError(
            f"{build_name}: the 1.1.1 series has no [random] section and reads no "
            f"configuration; its generator is fixed at CTR-DRBG with AES-256-CTR, so "
            f"{generator} cannot run on it")


def own_configuration(path):
    """A configuration of the user's own: its generator's name and text."""
    try:
        return f"config {Path(path).name}", Path(path).read_text(errors="replace")
    except OSError as error:
        raise LabError(f"cannot read {path}: {error.strerror}") from error


def expected_of(build_, generator):
    """What the probe must see for a generator of ours on this build: the
    library's default is whatever the probe sees, shown, not judged."""
    if generator == DEFAULT_GENERATOR:
        return None
    expected = dict(GENERATORS[generator][1])
    if build_.is_1_1_1:
        del expected["provider"]  # it has none
    if generator == "fips" and build_.has_random_provider:
        expected = dict(FIPS_PROVIDER_PATH)
    if generator == "fips-drbg" and not build_.has_random_provider:
        raise LabError(f"{build_.name}: fips-drbg needs OpenSSL 3.5 or later "
                       f"(random_provider); before it, fips takes the same path")
    return expected


def name_of(build_, generator, own_config, lab, calls, source, fork):
    """A variant's name, which is its folder's: what sets it apart."""
    parts = [build_.name]
    if source != OPENSSL_SOURCE:
        parts.append(source)
    if own_config is not None:
        parts.append("config-" + Path(own_config).stem)
    elif generator not in (DEFAULT_GENERATOR, "fips"):
        parts.append(generator)
    if lab is not None:
        bytes_, threads, cipher = lab
        if cipher:
            parts = [build_.name, "aes-256-ctr"]
        parts.append(f"{bytes_}B")
        parts += [f"{threads}threads"] if threads != 1 else []
        # Another sample size is another series.
        parts += [f"{calls}calls"] if calls != DEFAULT_CALLS else []
    return "+".join(parts + (["fork"] if fork else []))


def variant(build_, generator, own_config=None, lab=None, calls=DEFAULT_CALLS,
            source=OPENSSL_SOURCE, fork=False):
    """One variant. lab: None for the program, else (bytes, threads, cipher)
    for rand_lab, which makes calls calls per thread, of source's generator
    (OpenSSL's unless named), and with fork a fork child's too."""
    name = name_of(build_, generator, own_config, lab, calls, source, fork)
    text, asked = None, generator
    if own_config is not None:
        asked, text = own_configuration(own_config)
    if build_.is_1_1_1:
        refuse_fixed(build_.name, asked)
    expected = expected_of(build_, generator) if own_config is None else None
    if source != OPENSSL_SOURCE:
        asked = f"source {source}"
    made = Variant(name, build_, asked, config_text(generator, build_, text), expected=expected)
    if lab is not None:
        made.bytes, made.threads, made.cipher = lab
        made.rand_lab, made.calls, made.source, made.fork = True, calls, source, fork
    return made


def with_view(v, view):
    """v in another view: its own series, in a folder named for it (the
    program's own view adds nothing to the name, so that its series go on)."""
    fence, batch = VIEWS[view]
    suffix = ([fence] if fence != VIEWS[DEFAULT_VIEW][0] else []) + \
        ([f"batch{batch}"] if batch != 1 else [])
    return dataclasses.replace(v, name="+".join([v.name, *suffix]), fence=fence, batch=batch)


def probe_text(probe):
    """What the probe saw, in one short phrase: the DRBG, what it runs on,
    and its provider where that is not the default one; or the provider that
    took RAND_bytes over."""
    if probe.get("path") == "provider":
        return f"random provider {probe.get('random_provider', '?')}"
    if probe.get("drbg", "none") == "none":
        return "no DRBG"
    what = probe.get("cipher") or probe.get("digest") or "?"
    provider = probe.get("provider", "?")
    if provider.startswith("none"):
        return f"{probe['drbg']} {what}, fixed"
    unknown = ", path unknown" if probe.get("path") == "unknown" else ""
    return f"{probe['drbg']} {what}" + ("" if provider == "default" else f", {provider}") + unknown


def local_build(folder, name="build", static=False):
    """A build made elsewhere (the default one, say), as a Build."""
    probe = folder / "bench" / "libcrypto_info"
    try:
        done = subprocess.run([str(probe)], check=False, stdout=subprocess.PIPE, text=True,
                              errors="replace", env={**os.environ, "OPENSSL_CONF": os.devnull})
    except OSError as error:
        raise LabError(f"cannot run {probe}: {error.strerror or error}") from error
    return Build(name, folder, static, parse_info(done.stdout))
