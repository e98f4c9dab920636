"""What the lab's tests share: where the checkout and its build are, records
written as the program writes them, the commands run as a user runs them,
and the committed fixtures."""

import json
import os
import re
import signal
import subprocess
import tempfile
from pathlib import Path

import pytest

from rnglab import provenance, randlab
from rnglab.record import format_record

ROOT = Path(__file__).resolve().parent.parent
BUILD = Path(os.environ.get("OPENSSL_RNG_BUILD", ROOT / "build"))
FIXTURES = ROOT / "tests" / "fixtures"


def record(label, median, total=1000, average=10, seconds="0.020000", end="\n"):
    """One record as the program appends it, as bytes."""
    return format_record(label, total, median, average, seconds, end).encode()


def command(launcher, *args, **kwargs):
    """A launcher (tools/series, bench/compare-openssl ...) run to its end."""
    return subprocess.run([str(ROOT / launcher), *map(str, args)], capture_output=True,
                          text=True, check=False, **kwargs)


def fork_probe(source):
    """The fork probe: (the source's version, what `rand_lab --fork` finds
    for it in this build, one thread: "repeats", "differ" or "hangs"), or
    None where the source cannot run here."""
    with tempfile.TemporaryDirectory() as folder:
        def lab(*args):
            done = subprocess.run([str(BUILD / "bench" / "rand_lab"), "--source", source, *args],
                                  capture_output=True, text=True, check=False, cwd=folder)
            return done.returncode, randlab.parse(done.stdout)
        status, said = lab("--version")
        if status != 0:
            return None
        _, found = lab("--fork", "--bytes", "32", "--calls", "8")
    return said.first("source")["version"], (found.first("fork") or {}).get("result")


def fixture(name):
    """A committed --json file: its document, and its variants as they ran."""
    document = json.loads((FIXTURES / name).read_text())
    builds, variants = provenance.variants_from(document)
    return document, builds, variants


def expected(name):
    """A committed report's text, as the command printed it."""
    return (FIXTURES / name).read_text().rstrip("\n")


def needs_source_builds(what):
    """Skips a test that needs a libcrypto built from source (minutes the
    first time) under tools/test --fast, which keeps to the system's."""
    if os.environ.get("OPENSSL_RNG_FAST"):
        pytest.skip(f"{what} is built from source: tools/test without --fast runs this")


def as_started(*ignored):
    """A child's start (a preexec_fn): the stopping signals as a terminal's
    foreground command has them, whatever this suite inherited (a
    background job's SIGINT is ignored), those named ignored ignored, as a
    starter may leave them."""
    def start():
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(signum, signal.SIG_IGN if signum in ignored else signal.SIG_DFL)
    return start


def compare_env(tmp_path_factory):
    """bench/compare-openssl's environment: the test command says where the
    lab may build; without it, nowhere in the checkout."""
    builds = os.environ.get("OPENSSL_RNG_COMPARE_BUILDS") or tmp_path_factory.mktemp("builds")
    return {**os.environ, "OPENSSL_RNG_COMPARE_BUILDS": str(builds)}


def compare(env, *args, cwd=None):
    """bench/compare-openssl ARGS run to its end."""
    return subprocess.run([str(ROOT / "bench" / "compare-openssl"), *map(str, args)],
                          capture_output=True, text=True, check=False, env=env, cwd=cwd)


def claimed(provenance):
    """The records each block of a provenance says its runs appended."""
    claims = []
    for first, last in re.findall(r"^== .*: records (\d+) to (\d+) of osslRb1a.txt",
                                  provenance.read_text(), re.MULTILINE):
        claims += range(int(first), int(last) + 1)
    return claims
