"""The signals that stop a command, taken alike: SIGINT (Ctrl-C), SIGTERM
(kill, a service manager, a batch system's time limit) and SIGHUP (the
terminal closed). Each ends the command with one line naming it and the
shell's status for a command that signal ended, 128 + its number (130,
143, 129), after whatever the command must leave behind is written: a
variant's provenance, above all, which names every record its runs
appended.

A signal that was ignored when the command started stays ignored
throughout: SIGINT in a background job of a non-interactive shell, SIGHUP
under nohup. That is what the starter asked for, and the lab never takes it
back part-way.

  install()   at a command's start: SIGTERM and SIGHUP raise Stopped, as
              SIGINT raises KeyboardInterrupt (Stopped is one), so the
              command unwinds through the same paths as for Ctrl-C:
              subprocess.run stops its child, finally blocks write
  Deferred    while the runner's rounds go on: noted, said at once (one
              line), and acted on between runs; SIGTERM and SIGHUP also
              stop the run's child at once when it can stop without
              tearing a record
  held()      a block, such as writing a file, that a signal waits for
"""

import contextlib
import os
import signal
import sys
import threading

from rnglab import process

STOPPING = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class Stopped(KeyboardInterrupt):
    """SIGTERM or SIGHUP, raised where the command is, as Ctrl-C is."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


def name(signum):
    return signal.Signals(signum).name


def how(signum):
    """How a command says that signum stopped it: "interrupted" for Ctrl-C,
    "stopped by SIGTERM" for the others."""
    return "interrupted" if signum == signal.SIGINT else f"stopped by {name(signum)}"


def status(signum):
    """A shell's status for a command that the signal ended."""
    return 128 + signum


def signum_of(interrupt):
    """The signal a KeyboardInterrupt stands for."""
    return getattr(interrupt, "signum", signal.SIGINT)


def _taken(signum):
    """Whether the command takes signum: not if it was ignored at start
    (Python leaves SIGINT ignored then, too)."""
    return signal.getsignal(signum) not in (signal.SIG_IGN, None)


def _raise(signum, _frame):
    raise Stopped(signum)


@contextlib.contextmanager
def installed():
    """For the command's life, SIGTERM and SIGHUP raise Stopped; as they
    were afterwards (a command run in-process by a test)."""
    previous = {s: signal.signal(s, _raise) for s in STOPPING[1:] if _taken(s)}
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def _handle(note):
    """note(signum) as the handler of every signal the command takes: {signum:
    the handler it replaced}."""
    return {s: signal.signal(s, lambda signum, _frame: note(signum))
            for s in STOPPING if _taken(s)}


@contextlib.contextmanager
def held():
    """A stopping signal that arrives while the block runs waits until it is
    done, then is taken as it would have been: what the block writes lands
    whole. (Handlers rather than the signal mask, which holds one thread's
    signals only.)"""
    if threading.current_thread() is not threading.main_thread():
        yield  # only the main thread takes signals, and sets their handlers
        return
    noted = []
    previous = _handle(noted.append)
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
        if noted:
            signal.raise_signal(next((s for s in noted if s != signal.SIGINT), noted[0]))


def signal_group(pgid, signum):
    """Sends signum to the process group pgid, which may be gone already."""
    with contextlib.suppress(ProcessLookupError, PermissionError):
        os.killpg(pgid, signum)


class Deferred:
    """While the rounds go on, a stopping signal is noted (signum, the
    strongest so far: SIGTERM or SIGHUP over SIGINT) and acted on between
    runs. SIGTERM and SIGHUP also stop the running child's process group at
    once, if it was started as stoppable (watch): a run that writes its
    records with signals held ends whole, a run that writes none has none
    to tear. A child that cannot stop whole (the program, which writes its
    record as it goes) runs to its end, as with Ctrl-C."""

    def __init__(self):
        self.signum = None
        self.child = None  # the running child's process group, if stoppable
        self.running = False  # whether a run goes on now (running)
        self.stopped = False  # whether a signal stopped the last child watched
        self.previous = {}
        self.tty = False
        with contextlib.suppress(OSError, ValueError, AttributeError):
            self.tty = sys.stderr.isatty()

    def __enter__(self):
        self.previous = _handle(self._note)
        return self

    def __exit__(self, *_):
        for signum, handler in self.previous.items():
            signal.signal(signum, handler)

    def _note(self, signum):
        """Notes signum, and says at once what becomes of it: a run may go on
        for seconds before the rounds can stop."""
        stronger = self.signum is None or (self.signum == signal.SIGINT and
                                           signum != signal.SIGINT)
        if self.signum in (None, signal.SIGINT):
            self.signum = signum
        stopping = signum != signal.SIGINT and self.child is not None
        if stopping:
            signal_group(self.child, signum)
            self.stopped = True
        if stronger:
            said = ("stopping the run going on" if stopping else
                    "stopping when the run going on ends" if self.running else "stopping")
            process.progress_at_once(f"{how(signum)}: {said}", self.tty)

    @contextlib.contextmanager
    def running_one(self):
        """A run goes on within it, from before its child starts until after
        it is read: a signal then waits for it to end."""
        self.running = True
        try:
            yield
        finally:
            self.running = False

    def watch(self, pgid, stoppable=False):
        """The child now running (its process group, which a signal may
        stop if stoppable), or None once it has exited."""
        self.child = pgid if stoppable else None
        if pgid is not None:
            self.stopped = False
        if self.child is not None and self.signum not in (None, signal.SIGINT):
            # Noted as the child was starting: it stops too.
            signal_group(pgid, self.signum)
            self.stopped = True
