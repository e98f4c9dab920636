"""tools/series: parsing damaged files, the statistics on hand-checkable
series, the pictures, and the command on files the real program left."""

import importlib.machinery
import importlib.util
import json
import os
import signal
import struct
import subprocess
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parent.parent
TOOL = ROOT / "tools" / "series"
PROGRAM = Path(os.environ.get("OPENSSL_RNG_BUILD", ROOT / "build")) / "openssl_rng"

loader = importlib.machinery.SourceFileLoader("series", str(TOOL))
series = importlib.util.module_from_spec(importlib.util.spec_from_loader("series", loader))
loader.exec_module(series)


def record(label, median, total=1000, average=10, seconds="0.020000", end="\n"):
    return (f"{label}{end}TOTAL:      {total} cycles{end}MEDIAN:     {median} cpucycles{end}"
            f"AVERAGE:    {average} cpucycles{end}EXECUTED in {seconds} s{end}").encode()


def medians(records):
    return [(r["label"], r["median"]) for r in records]


def test_line_ends_of_both_platforms_mixed_and_labels_interleaved():
    data = (record("RAND_bytes:", 1) + record("RAND_priv_bytes:", 2, end="\r\n") +
            record("RAND_bytes:", 3).replace(b"cycles\n", b"cycles\r\n", 1))
    parsed = series.parse(data, "f")
    assert medians(parsed) == [("RAND_bytes:", 1), ("RAND_priv_bytes:", 2), ("RAND_bytes:", 3)]
    assert [r["index"] for r in parsed] == [0, 1, 2]
    assert list(series.group(parsed)) == [("RAND_bytes:", "f"), ("RAND_priv_bytes:", "f")]


def test_values_are_kept_exactly_as_written():
    top = 2**64 - 1
    (only,) = series.parse(record("RAND_bytes:", top, total=top, average=top - 1,
                                  seconds="0.007812"), "f")
    assert (only["total"], only["median"], only["average"]) == (top, top, top - 1)
    assert only["seconds"] == "0.007812"
    # One more than 64 bits can hold is no count the program wrote.
    assert series.parse(record("RAND_bytes:", 2**64), "f") == []


def test_damage_is_skipped_with_a_warning_naming_file_and_line(capsys):
    torn = record("RAND_bytes:", 5)[:72]  # cut after "AVERAGE:    ", as a full disk left it
    data = (record("RAND_bytes:", 1) +
            b"MEDIAN:     7 cpucycles, give or take\n" +        # a hand-edited line
            record("RAND_bytes:", 2) +
            torn + record("RAND_bytes:", 3) +                    # the next label glued on
            b"\x00\xff\x1a binary\r junk\n" +                    # junk
            record("RAND_bytes:", 4).replace(b"EXECUTED in 0.020000", b"EXECUTED in 0.02x") +
            record("RAND_priv_bytes:", 6))
    parsed = series.parse(data, "damaged.txt")
    assert medians(parsed) == [("RAND_bytes:", 1), ("RAND_bytes:", 2), ("RAND_priv_bytes:", 6)]
    warnings = capsys.readouterr().err.splitlines()
    assert [w.split(": skipped")[0] for w in warnings] == [
        "series: warning: damaged.txt:6", "series: warning: damaged.txt:12"]


def test_summary_statistics_on_hand_checkable_series():
    three = series.parse(record("A:", 30) + record("A:", 10, average=4) + record("A:", 20), "f")
    s = series.summarise(three)
    assert (s["n"], s["median"], s["min"], s["max"], s["average"]) == (3, 20, 10, 30, 10)
    # |10-20|/10, |20-20|/20, |30-20|/30: the median of 100%, 0% and 33.3%.
    assert s["err%"] == pytest.approx(100 / 3)

    four = series.parse(b"".join(record("A:", m) for m in (4, 1, 3, 2)), "f")
    s = series.summarise(four)
    assert (s["median"], s["q1"], s["q3"]) == (2.5, 1.75, 3.25)


def as_records(values):
    return [{"median": int(v)} for v in values]


def test_the_verdict_finds_a_real_difference_and_no_false_one():
    rng = np.random.default_rng(1)
    old = rng.normal(10000, 100, 30).round()
    slower = series.compare(as_records(old), as_records(old * 1.05))
    assert slower["p"] < 0.001
    assert slower["low"] < slower["ratio"] < slower["high"]
    assert 1.03 < slower["low"] and slower["high"] < 1.07
    assert slower["verdict"].startswith("new is 5.")
    assert "% slower (p = " in slower["verdict"]
    faster = series.compare(as_records(old), as_records(old * 0.9))
    assert "% faster" in faster["verdict"]

    same = series.compare(as_records(old[:15]), as_records(old[15:]))
    assert same["p"] > 0.05
    assert same["low"] < 1 < same["high"]
    assert same["verdict"].startswith("no significant difference (p = ")


def run_tool(*args, cwd=None):
    return subprocess.run([str(TOOL), *map(str, args)], cwd=cwd, capture_output=True,
                          text=True, check=False)


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
    "plot into a read-only folder": (GOOD, ["--plot", "/sys/x.png"], 1, "Permission denied", None),
    "plot onto a full disk": (GOOD, ["--plot", "full.svg"], 1, "No space left on device", None),
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
    (tmp_path / "full.svg").symlink_to("/dev/full")
    if args[:1] == ["--compare-labels"]:
        args, name = args + [name], None
    out = "/dev/full" if "standard output" in case else tmp_path / "out"
    with open(out, "w", encoding="utf-8") as stdout:
        # Strict UTF-8 on standard output, as a real UTF-8 locale has it.
        done = subprocess.run([str(TOOL)] + [name] * (name is not None) + args, cwd=tmp_path,
                              stdout=stdout, stderr=subprocess.PIPE, text=True, check=False,
                              env=dict(os.environ, PYTHONIOENCODING="utf-8"))
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
        assert reader.wait() == -signal.SIGPIPE
        assert reader.stderr.read() == b""


def test_changes_on_hand_checkable_series():
    def changes(values):
        return [split for split, _ in series.find_changes(np.array(values, dtype=float))]

    wobble = [0, 1, -1, 2, -2]  # no two neighbours alike, no drift
    flat = [1000 + wobble[i % 5] for i in range(40)]
    assert changes(flat) == []
    step = flat[:20] + [v + 30 for v in flat[20:]]
    ((split, p),) = series.find_changes(np.array(step, dtype=float))
    # U = 0: z = 199.5 / sqrt(20 * 20 * 41 / 12) = 5.4, two-sided p about 6e-8, times the
    # 21 splits that leave ten records on each side.
    assert split == 20 and 1e-7 < p < 1e-5

    # Up and back down most of the way: both found, each where it is.
    there_and_back = flat[:20] + [v + 50 for v in flat[:20]] + [v + 10 for v in flat[:20]]
    assert changes(there_and_back) == [20, 40]

    # Outliers 20% high among both levels, one three records before the step,
    # where it looks like the higher level: neither a change nor a pull. The
    # two records after it are the top of the lower level, so the ranks alone
    # would cut at the outlier; the values put the change back.
    noisy = [1000 + wobble[i % 5] for i in range(60)]
    for at in (5, 13, 27, 33, 41, 50):
        noisy[at] = 1200 + wobble[at % 5]
    assert changes(noisy) == []
    hidden = noisy[:30] + [v + 30 for v in noisy[30:]]
    hidden[29] = 1002
    assert hidden[27:31] == [1199, 1002, 1002, 1030]
    assert changes(hidden) == [30]

    # Too short to say anything: nineteen records, however clear the step.
    assert changes([1000] * 9 + [2000] * 10) == []


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
    change = lines[lines.index(next(l for l in lines if l.startswith("change"))) + 1].split()
    assert change[:6] == ["1", "20", "102", "1000", "1030", "1.030"]
    low, high = map(float, change[6].split("-"))
    assert 1.02 < low < 1.03 < high < 1.04
    assert any(l.startswith("1 ") and l.split()[1:3] == ["20-39", "20"] for l in lines)
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
