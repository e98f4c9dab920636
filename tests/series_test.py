"""tools/series, the command: its pictures, its errors, hostile input, and
the files the real program left."""

import json
import os
import struct
import subprocess

import pytest

from rnglab.cli import _shell
from tests.helpers import BUILD, ROOT, command, record

TOOL = ROOT / "tools" / "series"
PROGRAM = BUILD / "openssl_rng"


def run_tool(*args, cwd=None):
    return command("tools/series", *args, cwd=cwd)


def test_pictures_have_the_asked_size_and_name_both_sides(tmp_path):
    results = tmp_path / "results.txt"
    results.write_bytes(b"".join(record("RAND_bytes:", 100 + i) + record("RAND_priv_bytes:", 90 + i)
                                 for i in range(5)))
    png = tmp_path / "series.png"
    assert run_tool(results, "--plot", png, "--size", "640x480").returncode == 0
    head = png.read_bytes()[:24]
    assert head[:8] == b"\x89PNG\r\n\x1a\n"
    assert struct.unpack(">II", head[16:24]) == (640, 480)

    svg = tmp_path / "compare.svg"
    done = run_tool("--compare-labels", "RAND_bytes", "RAND_priv_bytes:", results,
                    "--plot", svg, "--size", "800x400")
    assert done.returncode == 0, done.stderr
    text = svg.read_text()
    assert text.startswith("<?xml") and text.rstrip().endswith("</svg>")
    # matplotlib writes SVG sizes in points, 72 to the inch, at 100 pixels to the inch.
    assert 'width="576pt" height="288pt"' in text
    assert "RAND_bytes:" in text and "RAND_priv_bytes:" in text
    assert "new is 9.8% faster" in done.stdout


def test_clear_errors_for_what_cannot_be_read(tmp_path):
    empty = tmp_path / "empty.txt"
    empty.write_bytes(b"")
    junk = tmp_path / "junk.txt"
    junk.write_bytes(b"not a record\n")
    good = tmp_path / "good.txt"
    good.write_bytes(record("RAND_bytes:", 1))
    for args, message in [((tmp_path / "absent.txt",), "cannot read"),
                          ((empty,), "is empty"),
                          ((junk,), "holds no whole record"),
                          (("--compare-labels", "RAND_bytes", "RAND_other", good),
                           "no records labelled RAND_other:")]:
        done = run_tool(*args)
        assert done.returncode != 0
        assert message in done.stderr


def test_on_the_file_that_real_runs_leave(tmp_path):
    assert PROGRAM.exists(), f"build the program first: {PROGRAM}"
    for _ in range(3):
        subprocess.run([str(PROGRAM)], cwd=tmp_path, check=True, capture_output=True)
    summary = run_tool("osslRb1a.txt", cwd=tmp_path)
    assert summary.returncode == 0 and summary.stderr == ""
    row = next(line for line in summary.stdout.splitlines() if line.startswith("RAND_bytes:"))
    assert row.split()[2] == "3"

    exported = json.loads(run_tool("osslRb1a.txt", "--json", cwd=tmp_path).stdout)
    assert [r["index"] for r in exported] == [0, 1, 2]
    assert all(r["average"] == r["total"] // 1024 for r in exported)

    compared = run_tool("--compare", "osslRb1a.txt", "osslRb1a.txt", cwd=tmp_path)
    assert "no significant difference (p = 1)" in compared.stdout
    assert "fewer than 9 records" in compared.stdout


GOOD = record("RAND_bytes:", 100) + record("RAND_bytes:", 102)
HOSTILE = {
    # id: (file contents, arguments after the file, status, the line on stderr or "",
    #      output file and what it holds)
    "plot into a missing folder": (GOOD, ["--plot", "no/such/x.png"], 1,
                                   "cannot write no/such/x.png: No such file or directory", None),
    # /sys refuses root too: "Permission denied", or in a container
    # "Read-only file system".
    "plot into a read-only folder": (GOOD, ["--plot", "/sys/x.png"], 1, "cannot write /sys/x.png: ",
                                     None),
    "plot onto a FIFO": (GOOD, ["--plot", "fifo.svg"], 1, "cannot write fifo.svg: not a regular "
                         "file", None),
    "a size Agg cannot draw": (GOOD, ["--plot", "x.png", "--size", "100000x100000"], 2,
                               "each 100 to 65000", None),
    "a size too big to draw soon": (GOOD, ["--plot", "x.png", "--size", "20000x20000"], 2,
                                    "25,000,000 in all", None),
    "a full standard output": (GOOD, [], 1, "cannot write standard output: No space", None),
    "changes onto a full standard output": (GOOD, ["--changes"], 1,
                                            "cannot write standard output: No space", None),
    "a label of 100,000 characters": (record("L" * 100_000 + ":", 5), ["--plot", "x.png"], 0, "",
                                      ("x.png", "PNG")),
    "a file name that is not UTF-8": (GOOD, ["--plot", "x.svg"], 0, "", ("x.svg", "bad\ufffd")),
    "seconds past a double": (record("A:", 1, seconds="9" * 400 + ".0") + GOOD, ["--json"], 0,
                              "skipped 5 line(s)", ("out", '"seconds": 0.02')),
    "a count past 4300 digits": (record("A:", 1, total="1" * 5000) + GOOD, [], 0, "skipped",
                                 ("out", "RAND_bytes:")),
    "leading zeros": (record("A:", "0010", total="0001000", seconds="000.500000"), ["--csv"], 0,
                      "", ("out", ",0001000,0010,10,000.500000")),
    "medians that are all zero": (record("A:", 0) * 10, ["--compare-labels", "A", "RAND_bytes"], 0,
                                  "", ("out", "new is slower (p = ")),
}


@pytest.mark.parametrize("case", HOSTILE, ids=list(HOSTILE))
def test_hostile_input_gives_one_line_or_a_sound_result_never_a_traceback(tmp_path, case):
    contents, args, status, on_stderr, output = HOSTILE[case]
    name = os.fsdecode(b"bad\xff.txt") if "UTF-8" in case else "results.txt"
    (tmp_path / name).write_bytes(contents + GOOD * 5 if "zero" in case else contents)
    os.mkfifo(tmp_path / "fifo.svg")
    if args[:1] == ["--compare-labels"]:
        args, name = args + [name], None
    out = "/dev/full" if "standard output" in case else tmp_path / "out"
    with open(out, "w", encoding="utf-8") as stdout:
        # Strict UTF-8 on standard output, as a real UTF-8 locale has it.
        done = subprocess.run([str(TOOL)] + [name] * (name is not None) + args, cwd=tmp_path,
                              stdout=stdout, stderr=subprocess.PIPE, text=True, check=False,
                              env=dict(os.environ, PYTHONIOENCODING="utf-8", LC_ALL="C.UTF-8"))
    assert "Traceback" not in done.stderr
    assert done.returncode == status, done.stderr
    assert len(done.stderr.splitlines()) == (1 if on_stderr else 0), done.stderr
    assert on_stderr in done.stderr
    if output:
        written = (tmp_path / output[0]).read_text(errors="replace")
        assert output[1] in written
        assert "inf" not in written and "Infinity" not in written


def test_a_reader_that_goes_away_ends_it_quietly(tmp_path):
    (tmp_path / "many.txt").write_bytes(GOOD * 2000)
    with subprocess.Popen([str(TOOL), "many.txt", "--csv"], cwd=tmp_path, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE) as reader:
        reader.stdout.readline()
        reader.stdout.close()
        # As a shell reports a command that SIGPIPE ended.
        assert reader.wait() == _shell.READER_GONE
        assert reader.stderr.read() == b""


def test_changes_command_reports_plots_and_exports(tmp_path):
    results = tmp_path / "results.txt"
    values = [1000 + [0, 1, -1, 2, -2][i % 5] + (30 if i >= 20 else 0) for i in range(40)]
    results.write_bytes(b"junk\n" + b"".join(record("RAND_bytes:", v) for v in values) +
                        b"".join(record("RAND_priv_bytes:", 900) for _ in range(5)))
    png = tmp_path / "changes.png"
    done = run_tool("--changes", results, "--plot", png, "--size", "640x480")
    assert done.returncode == 0
    lines = done.stdout.splitlines()
    # The first record after the change: index 20, its label on line 2 + 20 * 5.
    header = next(k for k, line in enumerate(lines) if line.startswith("change"))
    change = lines[header + 1].split()
    assert change[:6] == ["1", "20", "102", "1000", "1030", "1.030"]
    low, high = map(float, change[6].split("-"))
    assert 1.02 < low < 1.03 < high < 1.04
    assert any(line.startswith("1 ") and line.split()[1:3] == ["20-39", "20"]
               for line in lines)
    assert "RAND_priv_bytes:  " + str(results) + ": 5 records" in done.stdout
    assert "too few to look for changes" in done.stdout
    assert struct.unpack(">II", png.read_bytes()[16:24]) == (640, 480)

    exported = json.loads(run_tool("--changes", results, "--json").stdout)
    assert [r["segment"] for r in exported] == [0] * 20 + [1] * 20 + [0] * 5
    assert [r["line"] for r in exported[:2]] == [2, 7]
    csv_rows = run_tool("--changes", results, "--csv").stdout.splitlines()
    assert csv_rows[0].endswith(",segment") and csv_rows[-1].endswith(",0")

    alone = run_tool("--changes")
    assert alone.returncode == 1 and "needs at least one results file" in alone.stderr
