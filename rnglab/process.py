"""Running the lab's programs: where the checkout is, progress lines, and
steps whose output matters only when they fail."""

import os
import subprocess
import sys
from pathlib import Path

from rnglab.errors import LabError

ROOT = Path(__file__).resolve().parent.parent


def compare_builds():
    """Where the lab builds the program against each libcrypto: the folder
    OPENSSL_RNG_COMPARE_BUILDS names (a test command gives its own), else
    build-compare in the checkout."""
    return Path(os.environ.get("OPENSSL_RNG_COMPARE_BUILDS") or ROOT / "build-compare")


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
    """The "key value" lines that the lab's probes print, as a dict."""
    return dict(line.split(" ", 1) for line in text.splitlines() if " " in line)


def reader_gone():
    """For a command whose report a reader stopped reading (`| head`): the
    runs and their files are done by then, so it ends quietly, and Python's
    flush at exit finds a stream that goes nowhere rather than a closed pipe."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    return 0
