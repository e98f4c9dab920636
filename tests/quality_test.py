"""tools/quality: each planted fault is caught and named at its unit (a
block, or a call of a rand_lab --keep file by its layout), good output
passes whatever its request size, and what cannot be tested is said in one
line."""

import json
import os
import signal
import subprocess

import time

import numpy as np
import pytest

from rnglab import quality, scan
from rnglab.report import qualitytext
from rnglab.cli import launch
from rnglab.units import BLOCK
from tests.helpers import ROOT, as_started, command

TOOL = ROOT / "tools" / "quality"


def good(blocks, seed=1):
    return np.random.default_rng(seed).integers(0, 256, blocks * BLOCK, dtype=np.uint8)


def zero_block(data):
    data[40 * BLOCK:41 * BLOCK] = 0
    return data


def repeated_block(data):
    data[70 * BLOCK:71 * BLOCK] = data[12 * BLOCK:13 * BLOCK]
    return data


def biased_block(data):
    data[90 * BLOCK:91 * BLOCK] &= 0xFE
    return data


def top_bit_cleared(data):
    return data & 0x7F


def run(*args, **kwargs):
    return command("tools/quality", *args, **kwargs)


@pytest.mark.parametrize("blocks, plant, field, named, said", [
    (64, zero_block, "zero", ["40"], "1 all-zero block: 40"),
    (128, repeated_block, "duplicates", ["block 70"], "block 70 equals block 12"),
    (256, biased_block, "biased", ["90"], "1 biased block (monobit): 90"),
    (64, top_bit_cleared, "biased", [str(k) for k in range(64)], "64 biased blocks"),
])
def test_planted_faults_are_named_at_their_block(tmp_path, blocks, plant, field, named, said):
    path = tmp_path / "out.bin"
    plant(good(blocks)).tofile(path)
    [result] = quality.test_files([path])
    assert result["verdict"] == "FAIL"
    found = [entry if isinstance(entry, str) else entry["at"] for entry in result[field]]
    assert found == named
    assert said in qualitytext.verdict_line(result)


# --- files that rand_lab --keep laid out --------------------------------------------

def laid_out(path, runs, seed=5, lines=None):
    """Random bytes as rand_lab --keep appends them for runs [(bytes,
    threads, calls)], with their layout; (the bytes, where(run, thread,
    call) -> the slice of that call's bytes, threads from 1, calls from 0)."""
    offsets, layout, at = [], [], 0
    for size, threads, calls in runs:
        offsets.append(at)
        layout.append(f"keep offset={at} bytes={size} threads={threads} calls={calls} "
                      "subject=RAND_bytes source=openssl")
        at += size * threads * calls
    (path.parent / (path.name + ".layout")).write_text("\n".join(lines or layout) + "\n")

    def where(run, thread, call):
        size, _, calls = runs[run - 1]
        start = offsets[run - 1] + ((thread - 1) * calls + call) * size
        return slice(start, start + size)
    return np.random.default_rng(seed).integers(0, 256, at, dtype=np.uint8), where


def copy(source, target):
    def plant(data, where):
        data[where(*target)] = data[where(*source)]
        return data
    return plant


def zero(unit):
    def plant(data, where):
        data[where(*unit)] = 0
        return data
    return plant


def biased(*units):
    def plant(data, where):
        for unit in units:
            data[where(*unit)] &= 0xFE
        return data
    return plant


def cut(count):
    return lambda data, _: data[:-count]


def grow(count):
    return lambda data, _: np.append(data, np.full(count, 7, np.uint8))


def unchanged(data, _):
    return data


BIG, THIRTY_TWO = [(100000, 2, 20)], [(32, 1, 1024)]


# runs, plant, the finding (None: the file passes)
@pytest.mark.parametrize("runs, plant, said", [
    # Requests that do not divide 16,384 bytes leave no piece over.
    (BIG, unchanged, None),
    (THIRTY_TWO + [(100000, 1, 10), (7, 3, 40)], unchanged, None),
    (BIG, copy((1, 1, 2), (1, 1, 5)), "thread 1 call 5 equals thread 1 call 2"),
    (BIG, copy((1, 1, 2), (1, 2, 5)), "thread 2 call 5 equals thread 1 call 2"),
    (THIRTY_TWO, copy((1, 1, 5), (1, 1, 700)), "thread 1 call 700 equals thread 1 call 5"),
    (THIRTY_TWO, zero((1, 1, 3)), "1 all-zero request: thread 1 call 3"),
    (THIRTY_TWO * 2, copy((1, 1, 0), (2, 1, 1)),
     "run 2 thread 1 call 1 equals run 1 thread 1 call 0"),
    (BIG, biased((1, 2, 3)), "1 biased request (monobit): thread 2 call 3"),
    (THIRTY_TWO, biased(*[(1, 1, c) for c in range(512)]),
     "1 biased piece (monobit): thread 1 calls 0 to 511"),
    (BIG, grow(50), "50 bytes after the last run k.bin.layout lays out"),
    (BIG, cut(1000), "k.bin.layout lays out 4000000 bytes, but the file holds 3999000"),
    # Too short for a repeat to mean anything: not looked for, and said so.
    ([(1, 1, 20000)], copy((1, 1, 5), (1, 1, 700)), None),
])
def test_a_kept_files_unit_is_its_request(tmp_path, runs, plant, said):
    path = tmp_path / "k.bin"
    data, where = laid_out(path, runs)
    plant(data, where).tofile(path)
    [result] = quality.test_files([path])
    if said is None:
        assert result["verdict"] == "PASS", result["findings"]
    else:
        assert said in result["findings"], result["findings"]


# A mix of 0 puts every unit in one run of equal mixes: the exact pass alone
# must then tell them apart.
@pytest.mark.parametrize("mix", [scan.MIX, np.uint64(0)])
@pytest.mark.parametrize("size", [8, 32, 100])
def test_repeats_are_found_exactly_whatever_the_fingerprints_mix(monkeypatch, mix, size):
    monkeypatch.setattr(scan, "MIX", mix)
    units = np.random.default_rng(size).integers(0, 256, (400, size), dtype=np.uint8)
    units[[50, 399]] = units[7]
    units[300] = units[299]
    keys = {size: [(0, np.arange(400), scan.fingerprints(units, size))]}
    assert scan.find_repeats(keys).tolist() == [[0, 50, 0, 7], [0, 300, 0, 299], [0, 399, 0, 7]]


LAYOUT = "cannot read: its layout {layout}, "


@pytest.mark.parametrize("lines, said", [
    (["keep offset=0 bytes=32 threads=1"], LAYOUT + "line 1, is not a keep line"),
    (["keep offset=0 bytes=0 threads=1 calls=2"], LAYOUT + "line 1, is not a keep line"),
    (["keep offset=0 bytes=32 threads=1 calls=2", "written by hand"],
     LAYOUT + "line 2, is not a keep"),
    (["keep offset=0 bytes=32 threads=1 calls=2", "keep offset=32 bytes=32 threads=1 calls=2"],
     LAYOUT + "line 2, starts a run at byte 32, inside the run before it"),
    # Far beyond what rand_lab writes: nothing held without bound.
    (["keep offset=0 bytes=32 threads=1048577 calls=1"], LAYOUT + "line 1, asks for more bytes or"),
    (["keep offset=0 bytes=4294967296 threads=1 calls=1"], LAYOUT + "line 1, asks for more bytes"),
    # Beyond what a file system holds, or a seek can reach: weighed against
    # the file's size, never sought.
    (["keep offset=0 bytes=4096 threads=2 calls=1000000000000"],
     "k.bin.layout lays out 8192000000000000 bytes, but the file holds 32768"),
    (["keep offset=0 bytes=16 threads=2 calls=9223372036854775808"],
     "k.bin.layout lays out 295147905179352825856 bytes, but the file holds 32768"),
    (["keep offset=100000000000000000000 bytes=32 threads=1 calls=1"],
     "bytes 0 to 32767 are in no run of k.bin.layout; k.bin.layout lays out "
     "100000000000000000032 bytes"),
])
def test_a_layout_unread_or_naming_more_than_the_file_holds_is_a_finding(tmp_path, lines, said):
    path = tmp_path / "k.bin"
    laid_out(path, THIRTY_TWO, lines=lines)[0].tofile(path)
    done = run(path)
    assert (done.returncode, done.stderr) == (1, "")
    line = done.stdout.splitlines()[-1]
    assert line.startswith(f"{path}: FAIL: ") and said.format(layout=f"{path}.layout") in line, \
        done.stdout


def test_a_layout_that_starts_afresh_one_with_a_gap_and_an_empty_one(tmp_path):
    # A run at offset 0 starts a new file of that name: the lines before
    # it tell of one since removed.
    path = tmp_path / "k.bin"
    stale = "keep offset=0 bytes=5 threads=9 calls=9\nkeep offset=405 bytes=5 threads=1 calls=2"
    laid_out(path, BIG)[0].tofile(path)
    layout = path.parent / "k.bin.layout"
    layout.write_text(stale + "\n" + layout.read_text())
    assert run(path).stdout.splitlines()[-1] == f"{path}: PASS"
    layout.write_text("keep offset=100 bytes=100000 threads=2 calls=20\n")
    np.append(np.zeros(100, np.uint8), good(245)[:4000000]).tofile(path)
    [result] = quality.test_files([path])
    assert "bytes 0 to 99 are in no run of k.bin.layout" in result["findings"]
    assert (result["units"], result["leftover"]) == (40, 100)
    # An empty layout, of a run whose append failed: the bytes are no run's.
    layout.write_text("")
    good(64).tofile(path)
    [result] = quality.test_files([path])
    assert (result["layout"], result["units"], result["verdict"]) == (None, 64, "PASS")


@pytest.mark.parametrize("size, report", [
    (0, ["e.bin: FAIL: the file is empty"]),
    (1, ["e.bin: 0 blocks of 16384 bytes, 1 byte left over",
         "e.bin: FAIL: only 1 byte, less than one block of 16384 bytes"]),
])
def test_an_empty_or_tiny_file_is_said_so_in_words(tmp_path, size, report):
    path = tmp_path / "e.bin"
    path.write_bytes(bytes(size))
    done = run("e.bin", cwd=tmp_path)
    assert (done.returncode, done.stdout.splitlines(), done.stderr) == (1, report, "")


@pytest.mark.parametrize("tail, said", [
    (100, "a piece of 100 bytes left over after the last whole block"),
    (1, "a piece of 1 byte left over after the last whole block"),
])
def test_a_piece_left_over_is_a_finding_and_the_whole_blocks_are_tested(tmp_path, tail, said):
    path = tmp_path / "cut.bin"
    path.write_bytes(good(64).tobytes() + b"\0" * tail)
    [result] = quality.test_files([path])
    assert (result["units"], result["leftover"], result["ent"]["bytes"]) == (64, tail, 64 * BLOCK)
    assert result["findings"] == [said]


@pytest.mark.parametrize("second", ["k.bin", "./k.bin", "link.bin"])
def test_one_file_named_twice_is_read_once(tmp_path, second):
    good(70).tofile(tmp_path / "k.bin")
    os.symlink("k.bin", tmp_path / "link.bin")
    done = run("--json", "k.bin", second, cwd=tmp_path)
    assert done.returncode == 0, done.stdout
    assert [r["file"] for r in json.loads(done.stdout)] == ["k.bin"]
    assert done.stderr == f"quality: warning: {second} names the same file as k.bin: read once\n"


def test_good_files_pass_and_a_block_shared_by_two_runs_is_named_in_both(tmp_path):
    first, second, third = tmp_path / "a.bin", tmp_path / "b.bin", tmp_path / "c.bin"
    good(200, seed=2).tofile(first)
    good(200, seed=3).tofile(second)
    third_data = good(100, seed=4)
    third_data[7 * BLOCK:8 * BLOCK] = good(200, seed=2)[150 * BLOCK:151 * BLOCK]
    third_data.tofile(third)
    done = run("--json", first, second, third)
    assert done.returncode == 1, done.stderr
    results = json.loads(done.stdout)
    assert [r["verdict"] for r in results] == ["FAIL", "PASS", "FAIL"]
    assert [(d["at"], d["file"], d["equals"]) for d in results[0]["duplicates"]] == \
        [("block 150", str(third), "block 7")]
    assert [(d["at"], d["file"], d["equals"]) for d in results[2]["duplicates"]] == \
        [("block 7", str(first), "block 150")]
    rng = results[1]["rngtest"]
    assert rng["blocks"] == 2 * ((100 * BLOCK * 8 - 32) // 20000)
    assert all(figure["pass"] for figure in results[1]["ent"].values() if isinstance(figure, dict))
    assert run(second).returncode == 0


@pytest.mark.parametrize("args, status, line", [
    (["/nonexistent.bin"], 1, "/nonexistent.bin: FAIL: cannot read: No such file or directory"),
    (["/"], 1, "/: FAIL: cannot read: Is a directory"),
    (["--colour", "x"], 2, "quality: error: unrecognized arguments: --colour (see --help)"),
])
def test_what_cannot_be_tested_is_one_line(args, status, line):
    done = run(*args)
    assert done.returncode == status
    assert (done.stdout + done.stderr).strip() == line


# A stand-in for a tool that reads part of its input, then reports, as
# rngtest does when a signal ends its input early.
STOPS_EARLY = """#!/bin/sh
head -c 2500 >/dev/null
for line in "bits received from input: 20000" "FIPS 140-2 successes: 1" \\
    "FIPS 140-2 failures: 0" "FIPS 140-2(2001-10-10) Monobit: 0" \\
    "FIPS 140-2(2001-10-10) Poker: 0" "FIPS 140-2(2001-10-10) Runs: 0" \\
    "FIPS 140-2(2001-10-10) Long run: 0" "FIPS 140-2(2001-10-10) Continuous run: 0"; do
  echo "rngtest: $line" >&2
done
"""


@pytest.mark.parametrize("tools, said", [
    ({}, "quality: error: rngtest is not installed: install the Debian package rng-tools5"),
    ({"rngtest": STOPS_EARLY},
     "quality: error: rngtest stopped after 2500 of the 2097152 bytes it was given"),
])
def test_a_missing_or_failing_tool_is_one_line(tmp_path, tools, said):
    path = tmp_path / "out.bin"
    good(128).tofile(path)
    for name, script in {"ent": "#!/bin/sh\ncat >/dev/null\n", **tools}.items():
        (tmp_path / name).write_text(script)
        (tmp_path / name).chmod(0o755)
    done = subprocess.run([str(TOOL), str(path)], capture_output=True, text=True, check=False,
                          env={"PATH": f"{tmp_path}:/usr/bin:/bin"} if tools else
                          {"PATH": str(tmp_path)})
    assert done.returncode == 1
    assert done.stderr.startswith(said) and len(done.stderr.splitlines()) == 1, done.stderr


def test_a_tool_that_cannot_start_stops_those_started_and_is_one_error(tmp_path, monkeypatch):
    path = tmp_path / "out.bin"
    good(128).tofile(path)
    real, started = subprocess.Popen, []

    def popen(argv, **kwargs):
        if len(started) == 1:
            raise OSError(24, "Too many open files")
        started.append(real(argv, **kwargs))
        return started[-1]
    monkeypatch.setattr(scan.subprocess, "Popen", popen)
    with pytest.raises(scan.QualityError, match="^cannot run rngtest: Too many open files$"):
        quality.test_files([path])
    assert started[0].returncode is not None  # stopped and reaped


def test_ctrl_c_while_loading_is_one_line_and_status_130(tmp_path, monkeypatch, capsys):
    (tmp_path / "slow_command.py").write_text("raise KeyboardInterrupt\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    assert launch.start("quality", "slow_command") == 130
    assert capsys.readouterr().err == "quality: interrupted\n"


def test_ctrl_c_while_testing_is_one_line_and_status_130(tmp_path):
    # Sparse: 1 GiB of zeros to read, no room taken.
    with open(tmp_path / "big.bin", "wb") as big:
        big.truncate(1 << 30)
    # A terminal's Ctrl-C reaches the command's whole process group.
    child = subprocess.Popen([str(TOOL), "big.bin"], cwd=tmp_path, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, start_new_session=True,
                             preexec_fn=as_started())
    tools = f"/proc/{child.pid}/task/{child.pid}/children"
    while child.poll() is None and not open(tools, encoding="ascii").read().strip():
        time.sleep(0.05)    # until its tools run: the file is being read
    os.killpg(child.pid, signal.SIGINT)
    out, err = child.communicate(timeout=60)
    assert (child.returncode, out, err) == (130, "", "quality: interrupted\n")
