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
  a bad option          argparse's line, status 2; a value that looks
                        negative ("--max-time -5s") is the option's, so
                        that its type says what it takes
"""

import argparse
import errno
import os
import re
import signal
import sys

from rnglab import process, runner, signals
from rnglab.errors import LabError

READER_GONE = 128 + getattr(signal, "SIGPIPE", 13)
# A value that argparse would take for an option: a minus, then a digit or a
# point ("-5s", "-5,32", "-.5"); argparse itself takes only plain negative
# numbers as values.
NEGATIVE = re.compile(r"-[0-9.]")


class Parser(argparse.ArgumentParser):
    """argparse's parser, but an option that takes a value takes the
    argument after it when that looks negative, rather than saying that it
    "expected one argument": its type then says what it refuses."""

    def parse_known_args(self, args=None, namespace=None):
        given = sys.argv[1:] if args is None else list(args)
        return super().parse_known_args(self.joined(given), namespace)

    def joined(self, args):
        """args with each such option and its value as one, "--max-time=-5s"."""
        out, k = [], 0
        while k < len(args):
            if args[k] == "--":
                return out + args[k:]
            action = self._option_string_actions.get(args[k])
            if action is not None and action.nargs in (None, "?") and k + 1 < len(args) and \
                    NEGATIVE.match(args[k + 1]):
                out.append(f"{args[k]}={args[k + 1]}")
                k += 2
            else:
                out.append(args[k])
                k += 1
        return out


def parser(prog, doc, terse=False, raw=True):
    """A command's parser: its description the first paragraph of doc, its
    epilog the rest. terse: a bad option is one line, "PROG: error: ...
    (see --help)", rather than argparse's usage and line."""
    description, _, epilog = doc.partition("\n\n")
    made = Parser(
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
