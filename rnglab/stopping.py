"""When a command's rounds stop: after a fixed number (--rounds, --runs), or,
given a precision or a time (--precision, --max-time), when every ratio the
command asks decided is decided by rnglab.sequential's rule, the time is
spent, or the most rounds allowed have run.

The rule looks at the ratios at its scheduled looks only (9, 11, 14, 17, 21
rounds ...): the first look's rounds always run, since before them no
interval can decide anything; then a look decides, or the rounds go on to
the next. A stop between looks (the time spent, the most rounds run) judges
its last round as a final look. The intervals the rule judged at its stop
are the ones the tables show: the tables are computed under the same design
(sequential.judging), so the report cannot tell another story than the rule.
"""

import dataclasses
import time

from rnglab import sequential
from rnglab.process import progress

# --precision with neither --max-time nor a most number of rounds: a bound a
# user would expect of a benchmark, and one that covers this VM's slowest
# figure (see docs/checking-figures.md).
DEFAULT_MAX_TIME = 15 * 60


@dataclasses.dataclass
class Until:
    """A sequential stop: rounds until judge()'s ratios are all decided,
    max_time seconds are spent (the next round would overrun them) or
    max_rounds have run. judge() -> [{"name", "median", "low", "high",
    "verdict", "decided"}] of the ratios to decide, computed under this
    run's design (sequential.judging)."""
    precision: float = None
    max_time: float = None
    max_rounds: int = None
    judge: object = None
    clock: object = time.monotonic
    started: float = None
    rounds: int = 0
    elapsed: float = 0.0
    reason: str = None
    final: bool = False  # stopped between looks: the last round judged as a final look
    decisions: list = dataclasses.field(default_factory=list)
    # Each ratio's rounds at the first look that found it decided.
    first_decided: dict = dataclasses.field(default_factory=dict)

    @property
    def design(self):
        return {"precision": self.precision, "final": self.final}

    def start(self):
        self.started = self.clock()

    def _judge(self):
        with sequential.judging(self.design):
            decisions = self.judge()
        for d in decisions:
            if d["decided"]:
                self.first_decided.setdefault(d["name"], self.rounds)
        return decisions

    def round_text(self, rounds):
        """How the progress line names a round (from 1) of this run."""
        return f"round {rounds} (look at {sequential.schedule().next_look(rounds - 1)})"

    def after(self, rounds):
        """Whether to stop after this many rounds; at a look, a progress
        line says where the ratios stand."""
        plan = sequential.schedule()
        self.rounds, self.elapsed = rounds, self.clock() - self.started
        if rounds < plan.first:
            return False
        look = plan.is_look(rounds)
        if look:
            self.decisions = self._judge()
            if not self.decisions:
                self.reason = "no-ratio"
                progress(f"stopped after {rounds} rounds: no ratio to decide")
                return True
            progress(self.look_text())
        stop, self.reason = sequential.should_stop(
            self.decisions, self.elapsed, self.max_time, rounds, self.max_rounds,
            self.elapsed / rounds)
        if stop and not look:
            self.final = True
            self.decisions = self._judge()
        if stop:
            progress(f"stopped after {rounds} rounds, {sequential.duration_text(self.elapsed)}: "
                     f"{self.reason}")
        return stop

    def look_text(self):
        """A look's progress line: the round, the time so far, and the
        widest interval still undecided, with its ratio."""
        left = [d for d in self.decisions if not d["decided"]]
        said = (f"round {self.rounds}, {sequential.duration_text(self.elapsed)}: "
                f"{len(self.decisions) - len(left)} of {len(self.decisions)} ratios decided")
        if not left:
            return said
        widest = max(left, key=lambda d: -1 if d["low"] is None else d["high"] - d["low"])
        interval = "no interval" if widest["low"] is None else \
            f"{widest['low']:.3f}-{widest['high']:.3f}"
        return (f"{said}; widest left: {widest['name']} {interval}; next look at "
                f"{sequential.schedule().next_look(self.rounds)} rounds")

    def data(self):
        """How the rounds ended, as data: the report's, and the design its
        tables are computed under (sequential.judging takes it)."""
        plan = sequential.schedule()
        return {"rounds": self.rounds, "reason": self.reason, "precision": self.precision,
                "max_time": self.max_time, "max_rounds": self.max_rounds,
                "elapsed": self.elapsed, "final": self.final, "looks": plan.looks(self.rounds),
                "level": plan.level_at(self.rounds), "alpha": plan.alpha,
                "ratios": [{**{k: d[k] for k in ("name", "median", "low", "high", "verdict",
                                                 "decided")},
                            "first_decided": self.first_decided.get(d["name"])}
                           for d in self.decisions]}


def settle(parser, args, option):
    """--precision, --max-time and the number of rounds (option, whose
    value is args.rounds) together: with neither of the first two, exactly
    that many rounds (10 unless given); with either, rounds until decided,
    and option the most rounds, at least the first look's. Refusals are bad
    options."""
    if args.precision is None and args.max_time is None:
        args.rounds = args.rounds or 10
        return
    first = sequential.schedule().first
    if args.rounds is not None and args.rounds < first:
        parser.error(f"{option} with --precision or --max-time is the most rounds to run: at "
                     f"least {first}, the fewest in which an interval can decide")
    if args.max_time is None and args.rounds is None:
        args.max_time = DEFAULT_MAX_TIME


def until(args, judge):
    """The stop of a command whose options settle made: None for a fixed
    number of rounds."""
    if args.precision is None and args.max_time is None:
        return None
    return Until(args.precision, args.max_time, args.rounds, judge)
