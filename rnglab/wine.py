"""The Windows build under Wine, as bench/check-figures runs it: where the
build lives, the environment its runs share, and one Wine server for all the
rounds (left to itself, the server exits a few seconds after its last
client, and a run that starts as it goes dies with "wine client error:0:
recvmsg: Connection reset by peer"; tools/windows-check does the same)."""

import contextlib
import os
import subprocess

from rnglab import process
from rnglab.errors import LabError

WINE = "/usr/lib/wine/wine64"
SERVER = "/usr/lib/wine/wineserver64"
BUILD = process.ROOT / "build-windows"


def environment():
    """Quiet, in the prefix tools/windows-check set up."""
    return {**os.environ, "WINEDEBUG": "-all", "WINEPREFIX": str(BUILD / "wine-prefix")}


def executables(*names):
    """The Windows build's executables, by path inside it, or a LabError
    that says how to make them."""
    paths = [BUILD / name for name in names]
    if not all(path.exists() for path in paths):
        raise LabError("no Windows build: run tools/windows-check first")
    return [str(path) for path in paths]


@contextlib.contextmanager
def server():
    """A persistent Wine server while the block runs, started once any
    earlier one has gone, and stopped after. Its services start here, on
    no output of ours: started by a run, they would hold that run's output
    open for as long as the server lives, and reading it would never end."""
    env = environment()

    def call(*command):
        try:
            subprocess.run(command, env=env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        except OSError as error:
            raise LabError(f"{command[0]}: {error.strerror}") from error

    call(SERVER, "-w")
    call(SERVER, "-p")
    try:
        call(WINE, "wineboot", "--init")
        yield
    finally:
        call(SERVER, "-k")
