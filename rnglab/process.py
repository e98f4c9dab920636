"""Running the lab's programs and talking to the person who runs them: where
the checkout is, steps whose output matters only when they fail, and every
line the lab writes on standard error (progress and warnings), each named
after the command that runs, which the command's shell sets."""

import contextlib
import os
import signal
import subprocess
import sys
from pathlib import Path

from rnglab.errors import LabError

ROOT = Path(__file__).resolve().parent.parent
# The command whose lines these are; the shell of each command sets it.
command = "rnglab"


def default_build():
    """The checkout's own optimised build: the folder OPENSSL_RNG_BUILD
    names (the test command gives its own), else build/."""
    return Path(os.environ.get("OPENSSL_RNG_BUILD") or ROOT / "build")


def ensure_built(folder, targets):
    """Configures and builds folder from the checkout where any of targets
    (paths inside it) is missing."""
    if all((folder / target).exists() for target in targets):
        return
    progress(f"building {folder} ...")
    quiet_run(["cmake", "-S", str(ROOT), "-B", str(folder), "-DCMAKE_BUILD_TYPE=Release"],
              f"configuring {folder}")
    quiet_run(["cmake", "--build", str(folder), "-j2"], f"building {folder}")


def compare_builds():
    """Where the lab builds the program against each libcrypto: the folder
    OPENSSL_RNG_COMPARE_BUILDS names (a test command gives its own), else
    build-compare in the checkout."""
    return Path(os.environ.get("OPENSSL_RNG_COMPARE_BUILDS") or ROOT / "build-compare")


def progress(message, named=False, end="\n"):
    """A line on standard error: what is going on, or with named, a line
    that says which command speaks ("compare-openssl: ..."). Every line the
    lab's modules write to a person goes through here. A line that cannot
    be written (the terminal closed, SIGHUP) is let go: it must not stop
    the work, nor keep the files that end it from being written."""
    prefix = f"{command}: " if named else ""
    with contextlib.suppress(OSError):
        print(prefix + message, end=end, file=sys.stderr, flush=True)


def progress_at_once(message, tty=False):
    """A named line on standard error from a signal handler: written straight
    to its file descriptor, since the handler may have interrupted a write
    of sys.stderr's own; on a terminal over the progress line standing
    there. Let go if it cannot be written, as progress lets go."""
    line = f"{command}: {message}"
    with contextlib.suppress(OSError, ValueError, AttributeError):
        os.write(sys.stderr.fileno(), ((f"\r{line.ljust(78)}" if tty else line) + "\n").encode())


def warn(message):
    progress(f"warning: {message}", named=True)


def quiet_run(command_line, what, **kwargs):
    """Runs a step whose output matters only when it fails, in a process
    group of its own that is stopped whole if the command stops meanwhile
    (Ctrl-C, SIGTERM): a build's compilers do not go on after it."""
    with subprocess.Popen(command_line, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, process_group=0,
                          **kwargs) as step:
        try:
            output = step.communicate()[0]
        except BaseException:
            stop_group(step)
            raise
    if step.returncode != 0:
        with contextlib.suppress(OSError):
            sys.stderr.write(output[-4000:])
        raise LabError(f"{what} failed (exit status {step.returncode})")
    return output


def stop_group(child, grace=10):
    """Stops child's process group (SIGTERM, then SIGKILL after grace
    seconds) and reaps child."""
    for signum in (signal.SIGTERM, signal.SIGKILL):
        with contextlib.suppress(ProcessLookupError, PermissionError):
            os.killpg(child.pid, signum)
        try:
            child.wait(grace)
            return
        except subprocess.TimeoutExpired:
            pass


def parse_info(text):
    """The "key value" lines that the lab's probes print, as a dict."""
    return dict(line.split(" ", 1) for line in text.splitlines() if " " in line)
