"""What every command does around its work, written once: its parser, the
name its lines carry, its output, and how it ends.

  LabError              one line "PROG: ..." on standard error, status 1
  runner.Interrupted    Ctrl-C between runs: its line, status 130; SIGTERM
                        or SIGHUP, which also stop the run going on where
                        it cannot tear a record: 143 or 129 (rnglab.signals)
  KeyboardInterrupt     Ctrl-C anywhere else: one line, status 130; SIGTERM
                        and SIGHUP (signals.Stopped) the same, "by SIGTERM",
                        143 or 129
  a reader gone (| head)  nothing more is written, quietly; the status is a
                        shell's for a command that SIGPIPE ended (141), as
                        for any Unix tool, while SIGPIPE itself stays
                        ignored, so that a tool the lab pipes into that dies
                        is an error on its pipe, not the end of the lab
  a bad option          argparse's line, status 2
"""

import argparse
import errno
import os
import signal
import sys

from rnglab import process, runner, signals
from rnglab.errors import LabError

READER_GONE = 128 + getattr(signal, "SIGPIPE", 13)


def parser(prog, doc, terse=False, raw=True):
    """A command's parser: its description the first paragraph of doc, its
    epilog the rest. terse: a bad option is one line, "PROG: error: ...
    (see --help)", rather than argparse's usage and line."""
    description, _, epilog = doc.partition("\n\n")
    made = argparse.ArgumentParser(
        prog=prog, description=description, epilog=epilog,
        formatter_class=argparse.RawDescriptionHelpFormatter if raw else argparse.HelpFormatter)
    if terse:
        def bad_option(message):
            print(f"{prog}: error: {message} (see --help)", file=sys.stderr)
            sys.exit(2)
        made.error = bad_option
    return made


def emit(text):
    """Prints text on standard output, whole, at once: a failure to write is
    a LabError, a reader gone a BrokenPipeError for the shell."""
    if sys.stdout is None:  # started with it closed
        raise LabError(f"cannot write standard output: {os.strerror(errno.EBADF)}")
    try:
        print(text)
        sys.stdout.flush()
    except BrokenPipeError:
        raise
    except OSError as error:
        silence()
        raise LabError(f"cannot write standard output: {error.strerror}") from error


def silence():
    """Standard output goes nowhere from now on, the flush at exit included."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def run(prog, body, args, errors="", interrupted="interrupted"):
    """body(args) -> status (None: 0), with every ending above. errors: the
    word before a LabError's message ("error: " for series and quality)."""
    process.command = prog
    if sys.stdout is not None:
        # Whatever the locale cannot encode is shown as "?" rather than failing.
        sys.stdout.reconfigure(errors="replace")
    with signals.installed():
        try:
            status = body(args)
            if sys.stdout is not None:
                sys.stdout.flush()
        except BrokenPipeError:
            silence()
            return READER_GONE
        except runner.Interrupted as error:
            process.progress(f"{prog}: {error}")
            return signals.status(error.signum)
        except LabError as error:
            process.progress(f"{prog}: {errors}{' '.join(str(error).split())}")
            return 1
        except KeyboardInterrupt as stop:
            signum = signals.signum_of(stop)
            by = "" if signum == signal.SIGINT else f" by {signals.name(signum)}"
            process.progress(f"{prog}: {interrupted}{by}")
            return signals.status(signum)
    return status or 0
