"""What bench/rand_lab prints, read as data.

Every line rand_lab writes on standard output is either a data line,
`KIND KEY=VALUE ...` (a value double-quoted when it holds a blank, a quote or
a backslash, with \\" and \\\\ its only escapes), or a message line for
people. The lab reads the data lines and never matches prose: when a run
fails, it quotes the first message line. docs/program.md lists the kinds and
their keys; a reader ignores keys it does not know.
"""

import dataclasses
import functools
import re
import shlex
import subprocess

from rnglab import process
from rnglab.errors import LabError

# rand_lab's statuses for what --fork found, which are findings about the
# generator rather than failures: its child repeated the parent's bytes
# (the records landed), or its child's first request never returned (none
# did).
FORK_REPEATS = 3
FORK_HANGS = 4
# Its status for a source that its build made but that cannot run on this
# machine (an instruction the processor does not report, a kernel without
# the vDSO's getrandom, a library that fails to start): a finding about the
# machine, told apart from a source not built here, which is a usage error
# (2) like a bad option.
CANNOT_RUN_HERE = 5

# "keep" is the line of a kept file's layout (rnglab.scan reads it).
KINDS = frozenset({"run", "failed", "thread", "batches", "rate", "source", "counter", "fork",
                   "records", "limit", "keep"})
_NAME = re.compile(r"[a-z][a-z0-9_]*\Z")


@dataclasses.dataclass
class Line:
    """A data line: its kind, its fields {key: value} and its text."""
    kind: str
    fields: dict
    text: str


@dataclasses.dataclass
class Output:
    """A run's standard output: its data lines (Line) in order, and its
    message lines."""
    data: list
    messages: list

    def lines(self, kind, **match):
        """Every data line of kind whose fields hold match."""
        return [line for line in self.data if line.kind == kind and
                all(line.fields.get(key) == value for key, value in match.items())]

    def all(self, kind, **match):
        """The fields of every such line."""
        return [line.fields for line in self.lines(kind, **match)]

    def first(self, kind, **match):
        """The fields of the first such line, or None."""
        found = self.all(kind, **match)
        return found[0] if found else None

    def first_message(self, otherwise="no message"):
        """The first message line: what a failed run is quoted by."""
        return self.messages[0] if self.messages else otherwise


def data_line(line):
    """The Line that line is, or None if it is a message."""
    try:
        words = shlex.split(line)
    except ValueError:  # an unmatched quote: prose
        return None
    if not words or words[0] not in KINDS:
        return None
    fields = {}
    for word in words[1:]:
        key, equals, value = word.partition("=")
        if not equals or not _NAME.match(key):
            return None
        fields[key] = value
    return Line(words[0], fields, line)


def parse(text):
    """Output of text: each line a data line or a message line."""
    data, messages = [], []
    for line in text.splitlines():
        read = data_line(line)
        if read is not None:
            data.append(read)
        elif line.strip():
            messages.append(line.strip())
    return Output(data, messages)


def numbers(value):
    """A comma-separated list of whole numbers, as a fork line gives them."""
    return [int(n) for n in value.split(",") if n]


def fork_finding(output):
    """The fork line of a run's Output as data, or None without one:
    result (differ, repeats or hangs), threads, repeated and hung (child
    threads), per_thread (each one's verdict) and repeats_of (the parent's
    thread, from 1, whose bytes each repeated; 0 for none), the child's and
    the parent's ticks."""
    line = output.first("fork")
    if line is None:
        return None
    return {"result": line.get("result"), "threads": int(line.get("threads", 1)),
            "repeated": int(line.get("repeated", line.get("result") == "repeats")),
            "hung": int(line.get("hung", 0)),
            "per_thread": [w for w in line.get("per_thread", "").split(",") if w],
            "repeats_of": numbers(line.get("repeats_of", "")),
            "child_first_ticks": int(line.get("child_first_ticks", 0)),
            "parent_median_ticks": int(line.get("parent_median_ticks", 0))}


def run(rand_lab, *args, **popen):
    """(status, Output) of rand_lab ARGS, standard error read with standard
    output, as rand_lab's one-line refusals go there; popen: its folder
    (cwd) and environment (env), if not this process's."""
    command = [str(rand_lab), *args]
    try:
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True, errors="replace", check=False, **popen)
    except OSError as error:
        raise LabError(f"cannot run {command[0]}: {error.strerror}") from error
    return done.returncode, parse(done.stdout)


def _ask(rand_lab, *args):
    """Output of rand_lab ARGS, which must succeed."""
    status, output = run(rand_lab, *args)
    if status != 0:
        raise LabError(f"{' '.join([str(rand_lab), *args])} exited with status {status}: "
                       f"{output.first_message()}")
    return output


def limits(rand_lab):
    """rand_lab's limits, as `rand_lab --limits` prints them: {name: (low,
    high)}, low None where there is none."""
    found = {}
    for line in _ask(rand_lab, "--limits").lines("limit"):
        low, high = line.fields.get("low"), line.fields.get("high", "")
        if "name" not in line.fields or not high.isdigit() or not (low or "0").isdigit():
            raise LabError(f"{rand_lab} --limits: not a limit: {line.text}")
        found[line.fields["name"]] = (int(low) if low is not None else None, int(high))
    return found


def sources(rand_lab):
    """Every source rand_lab knows, in its order: [{"name", and "package"
    or "needs"}]."""
    return _ask(rand_lab, "--limits").all("source")


@functools.lru_cache(maxsize=None)
def catalog():
    """The limits and sources of the checkout's own rand_lab (built first
    where it is not), which every build of this checkout shares: the one
    home of both is rand_lab's own tables."""
    build = process.default_build()
    process.ensure_built(build, ["bench/rand_lab"])
    rand_lab = build / "bench" / "rand_lab"
    return {"limits": limits(rand_lab), "sources": sources(rand_lab)}


def limit(name):
    """(low, high) of one of rand_lab's limits; LabError where the build's
    rand_lab is older than the checkout and gives none of that name."""
    found = catalog()["limits"]
    if name not in found:
        raise LabError(f"{process.default_build() / 'bench' / 'rand_lab'} --limits gives no "
                       f"limit {name}: build it again from this checkout")
    return found[name]


def source_names():
    """The names --source takes, in rand_lab's order."""
    return [fields["name"] for fields in catalog()["sources"]]
