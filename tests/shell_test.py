"""Every command ends the same way, whatever stops it: one line naming the
command and a status, or nothing at all when its reader went away."""

import json
import os
import signal
import subprocess
import sys
import time
from fractions import Fraction

import numpy as np
import pytest

from rnglab import files, process, record, runner, signals
from rnglab.cli import _shell
from rnglab.errors import LabError
from tests.helpers import ROOT, as_started, command, record as a_record


def body_raising(error):
    def body(_args):
        raise error
    return body


def body_warning(_args):
    record.parse(a_record("A:", 1) + b"junk\n", "f.txt")
    return 3


# body, the status, and standard error as the shell leaves it
ENDINGS = [
    (body_raising(LabError("cannot read x:\n  No such file")), 1,
     "prog: cannot read x: No such file\n"),
    (body_raising(runner.Interrupted("interrupted in round 2 of 9")), 130,
     "prog: interrupted in round 2 of 9\n"),
    (body_raising(KeyboardInterrupt()), 130, "prog: interrupted\n"),
    # SIGTERM and SIGHUP as Ctrl-C, each with a shell's status for it
    (body_raising(runner.Interrupted("stopped by SIGTERM in round 2 of 9, during x, whose run "
                                     "was stopped", signal.SIGTERM)), 143,
     "prog: stopped by SIGTERM in round 2 of 9, during x, whose run was stopped\n"),
    (body_raising(signals.Stopped(signal.SIGHUP)), 129, "prog: interrupted by SIGHUP\n"),
    (body_warning, 3, "prog: warning: f.txt:6: skipped 1 line(s) that are not a whole record\n"),
]


@pytest.mark.parametrize("body, status, said", ENDINGS)
def test_an_ending_is_one_line_naming_the_command_and_a_status(body, status, said, capsys,
                                                               monkeypatch):
    monkeypatch.setattr(process, "command", "before")
    assert _shell.run("prog", body, None) == status
    assert capsys.readouterr().err == said


# launcher, arguments, the status, the start of standard error's last line
BAD_OPTIONS = [
    ("tools/series", ["--size", "1x1", "f"], "series: error: argument --size: WxH in pixels"),
    ("tools/quality", ["--json"], "quality: error: the following arguments are required: FILE "
     "(see --help)"),
    ("bench/compare-openssl", ["--rounds", "0"],
     "compare-openssl: error: argument --rounds: a whole number of at least 1, not '0'"),
    ("bench/compare-openssl", ["--plot", "x.pdf"],
     "compare-openssl: error: --plot needs a file name ending in .png or .svg"),
    ("bench/check-figures", ["--runs", "1"], "check-figures: error: argument --runs: a whole "
     "number of at least 2 (the ratios are taken per round), not '1'"),
    ("bench/check-figures", ["--seconds", "61"], "check-figures: error: argument --seconds: a "
     "whole number from 1 to 60, not '61'"),
    ("bench/check-changes", ["--seeds", "0"], "check-changes: error: argument --seeds: a whole "
     "number of at least 1, not '0'"),
    # Rounds until decided: what they take, and what they cannot go with.
    ("bench/check-figures", ["--precision", "1%"], "check-figures: error: argument --precision: "
     "a fraction between 0 and 1, such as 0.01 for +/- 1%, not '1%'"),
    ("bench/compare-openssl", ["--max-time", "15"], "compare-openssl: error: argument --max-time: "
     "a duration such as 90s, 15m, 1h or 2h30m, not '15'"),
    ("bench/check-figures", ["--precision", "0.01", "--runs", "8"], "check-figures: error: --runs "
     "with --precision or --max-time is the most rounds to run: at least 9"),
    ("bench/compare-openssl", ["--lifecycle", "--max-time", "1m"], "compare-openssl: error: "
     "--lifecycle has no ratio to decide: give --rounds"),
    ("bench/compare-openssl", ["--quality", "--precision", "0.01"], "compare-openssl: error: "
     "--quality keeps the bytes of as many runs as there were rounds: give --rounds"),
    ("bench/compare-openssl", ["--bytes", "32", "--samples", "--rerun-noisy"], "compare-openssl: "
     "error: --rerun-noisy is not with --lifecycle or --samples"),
    ("bench/compare-openssl", ["--bytes", "32", "--views", "cpuid,lfence", "--rerun-noisy"],
     "compare-openssl: error: --rerun-noisy is not with --views"),
    # A value that looks like a negative number reaches its option's type.
    ("bench/compare-openssl", ["--max-time", "-5s"], "compare-openssl: error: argument "
     "--max-time: a duration above zero, such as 90s, 15m, 1h or 2h30m, not '-5s'"),
    ("bench/compare-openssl", ["--max-time=-5s"], "compare-openssl: error: argument --max-time: "
     "a duration above zero"),
    ("bench/compare-openssl", ["--fork", "--bytes", "32"], "compare-openssl: error: --fork checks "
     "the sources' fork children: give --sources"),
    ("bench/compare-openssl", ["--fork", "--sources", "all", "--views", "cpuid,batch"],
     "compare-openssl: error: --fork checks the sources' fork children: give --sources, and not "
     "--lifecycle (which checks them already), --quality or --views"),
    # A fork child's calls are counted too: twice 1024 x 20000 is over rand_lab's limit.
    ("bench/compare-openssl", ["--sources", "openssl", "--fork", "--threads", "1024", "--calls",
                               "20000"], "compare-openssl: error: --threads times --calls is at "
     "most"),
    ("tools/fleet", ["record", "--rounds", "1"], "fleet record: error: argument --rounds: a whole "
     "number of at least 2"),
    ("tools/fleet", ["record", "--rounds", "2", "--max-time", "5m"], "fleet record: error: "
     "--rounds takes a fixed number of rounds: not with --max-time"),
    ("tools/fleet", ["report", "--json"], "fleet report: error: argument --json: expected one "
     "argument"),
]


@pytest.mark.parametrize("launcher, args, said", BAD_OPTIONS)
def test_a_bad_option_is_status_2_and_nothing_is_done(launcher, args, said):
    done = command(launcher, *args)
    assert done.returncode == 2
    assert done.stderr.splitlines()[-1].startswith(said), done.stderr


@pytest.mark.parametrize("launcher, args, said", [
    ("bench/compare-openssl", ["--json", "no/such/folder/x.json"],
     "no/such/folder/x.json: No such file or directory"),
    ("bench/check-figures", ["--json", "no/such/folder/x.json"],
     "no/such/folder/x.json: No such file or directory"),
    # os.access lets root write into /proc, which takes no new file.
    ("bench/compare-openssl", ["--json", "/proc/nope.json"],
     "/proc/nope.json: No such file or directory"),
    ("bench/check-figures", ["--json", "fifo.png"], "fifo.png: not a regular file"),
    ("bench/compare-openssl", ["--plot", "fifo.png"], "fifo.png: not a regular file"),
])
def test_an_output_that_cannot_be_written_stops_the_command_before_it_measures(launcher, args,
                                                                               said, tmp_path):
    os.mkfifo(tmp_path / "fifo.png")
    done = command(launcher, *args, cwd=tmp_path)
    assert done.returncode == 1
    assert done.stderr == f"{launcher.split('/')[1]}: cannot write {said}\n"
    assert [p.name for p in tmp_path.iterdir()] == ["fifo.png"]


def test_a_reader_that_goes_away_ends_a_command_quietly():
    script = ("import sys\nfrom rnglab.cli import _shell\n"
              "sys.exit(_shell.run('prog', lambda _: _shell.emit('x\\n' * 1000000), None))")
    with subprocess.Popen([sys.executable, "-c", script], cwd=ROOT, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE) as reader:
        reader.stdout.readline()
        reader.stdout.close()
        assert reader.wait() == _shell.READER_GONE
        assert reader.stderr.read() == b""


def test_a_file_written_whole_has_the_mode_open_would_give_it(tmp_path):
    path = tmp_path / "x.json"
    files.write_json(path, {"ratio": Fraction(3, 2), "n": np.int64(4), "low": float("nan")})
    assert json.loads(path.read_text()) == {"ratio": 1.5, "n": 4, "low": None}
    assert path.stat().st_mode & 0o777 == 0o666 & ~files.current_umask()
    assert [p.name for p in tmp_path.iterdir()] == ["x.json"]


# A command whose body signals itself while a step runs, a step that leaves a
# grandchild behind it (as a build's compilers are), writing the
# grandchild's process id to the file named last.
SIGNALLED = """import os, signal, sys, threading, time
from rnglab import process
from rnglab.cli import _shell
def signal_once_the_grandchild_runs():
    while not (os.path.exists(sys.argv[1]) and open(sys.argv[1]).read().strip()):
        time.sleep(0.05)
    os.kill(os.getpid(), signal.SIG{})
def body(_):
    threading.Thread(target=signal_once_the_grandchild_runs, daemon=True).start()
    process.quiet_run(["sh", "-c", "sleep 30 & echo $! > " + sys.argv[1] + "; wait"], "a step")
    return 0
sys.exit(_shell.run("prog", body, None))
"""


@pytest.mark.parametrize("name, ignored, status, said", [
    ("TERM", False, 143, "prog: interrupted by SIGTERM\n"),
    ("HUP", False, 129, "prog: interrupted by SIGHUP\n"),
    ("INT", False, 130, "prog: interrupted\n"),
    ("TERM", True, None, ""),
])
def test_a_signal_ends_a_command_and_its_steps_whole(tmp_path, name, ignored, status, said):
    signum = getattr(signal, f"SIG{name}")
    grandchild = tmp_path / "pid"
    starting = as_started(signum) if ignored else as_started()  # as a starter may leave it
    with subprocess.Popen([sys.executable, "-c", SIGNALLED.format(name), str(grandchild)],
                          cwd=ROOT, stderr=subprocess.PIPE, text=True,
                          preexec_fn=starting) as prog:
        if ignored:
            while not grandchild.exists() or not grandchild.read_text().strip():
                time.sleep(0.05)
            time.sleep(1.5)  # the signal has come and gone
            os.kill(int(grandchild.read_text()), signal.SIGKILL)
        assert (prog.wait(), prog.stderr.read()) == (status if status else 0, said)
    pid = int(grandchild.read_text())
    # Stopped with the step: nothing of it goes on after the command. The
    # signal is sent, but a busy host may take a while to let it die.
    deadline = time.monotonic() + 10
    while not ended(pid) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert ended(pid)


def ended(pid):
    """Whether pid has exited: gone, or a zombie not yet reaped."""
    try:
        with open(f"/proc/{pid}/stat", encoding="ascii") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


# Ctrl-C as the libraries load, for every launcher: an import that Ctrl-C
# interrupts, before any of the command's own code has run.
CTRL_C_ON_IMPORT = """import sys
class Interrupting:
    def find_spec(self, name, path=None, target=None):
        if name == "rnglab.errors":
            raise KeyboardInterrupt
sys.meta_path.insert(0, Interrupting())
"""


@pytest.mark.parametrize("launcher", ["tools/series", "tools/quality", "bench/compare-openssl",
                                      "bench/check-figures", "bench/check-changes", "tools/fleet"])
def test_ctrl_c_while_a_command_loads_is_one_line_and_status_130(tmp_path, launcher):
    (tmp_path / "sitecustomize.py").write_text(CTRL_C_ON_IMPORT)
    done = command(launcher, "--help", env={**os.environ, "PYTHONPATH": str(tmp_path)})
    assert (done.returncode, done.stderr) == (130, f"{launcher.split('/')[1]}: interrupted\n")
