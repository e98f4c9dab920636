"""tools/quality: each planted fault is caught and named at its block, good
output passes, and what cannot be tested is said in one line; compare-openssl
--quality gives each variant the verdict of its own bytes."""

import json
import subprocess

import numpy as np
import pytest

from rnglab import kept, quality, runner, variants
from tests.helpers import ROOT, command

TOOL = ROOT / "tools" / "quality"
BLOCK = quality.BLOCK


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


def run(*args):
    return command("tools/quality", *args)


@pytest.mark.parametrize("blocks, plant, field, named, said", [
    (64, zero_block, "zero_blocks", [40], "1 all-zero block: 40"),
    (128, repeated_block, "duplicates", [70], "block 70 equals block 12"),
    (256, biased_block, "biased_blocks", [90], "biased block (monobit): 90"),
    (64, top_bit_cleared, "biased_blocks", list(range(64)), "64 biased blocks"),
])
def test_planted_faults_are_named_at_their_block(tmp_path, blocks, plant, field, named, said):
    path = tmp_path / "out.bin"
    plant(good(blocks)).tofile(path)
    [result] = quality.test_files([path])
    assert result["verdict"] == "FAIL"
    found = [entry if isinstance(entry, int) else entry["block"] for entry in result[field]]
    assert found == named
    assert said in quality.verdict_line(result)


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
    assert results[0]["duplicates"] == [{"block": 150, "file": str(third), "other_block": 7}]
    assert results[2]["duplicates"] == [{"block": 7, "file": str(first), "other_block": 150}]
    rng = results[1]["rngtest"]
    assert rng["blocks"] == 2 * ((100 * BLOCK * 8 - 32) // 20000)
    assert all(figure["pass"] for figure in results[1]["ent"].values() if isinstance(figure, dict))
    assert run(second).returncode == 0


def test_a_piece_left_over_is_a_finding_and_the_whole_blocks_are_tested(tmp_path):
    path = tmp_path / "cut.bin"
    path.write_bytes(good(64).tobytes() + b"\0" * 100)
    [result] = quality.test_files([path])
    assert (result["blocks"], result["leftover"], result["ent"]["bytes"]) == (64, 100, 64 * BLOCK)
    assert result["findings"] == ["a piece of 100 bytes left over after the last whole block"]


@pytest.mark.parametrize("args, status, line", [
    (["/nonexistent.bin"], 1, "/nonexistent.bin: FAIL: cannot read: No such file or directory"),
    (["/"], 1, "/: FAIL: cannot read: Is a directory"),
    (["--colour", "x"], 2, "quality: error: unrecognized arguments: --colour (see --help)"),
])
def test_what_cannot_be_tested_is_one_line(args, status, line):
    done = run(*args)
    assert done.returncode == status
    assert (done.stdout + done.stderr).strip() == line


def test_a_missing_tool_names_its_package(tmp_path):
    path = tmp_path / "out.bin"
    good(1).tofile(path)
    done = subprocess.run([str(TOOL), str(path)], capture_output=True, text=True, check=False,
                          env={"PATH": str(tmp_path)})
    assert done.returncode == 1
    assert done.stderr.strip() == ("quality: error: rngtest is not installed: "
                                   "install the Debian package rng-tools5")


def test_compare_openssl_quality_gives_each_variant_its_verdict_beside_its_speed(
        tmp_path, monkeypatch):
    # name: (bytes and calls of rand_lab or None for the program, cipher, what
    # its kept file gets wrong, the line the report must carry)
    table = {
        "program": (None, False, "zero", "program 123 16.0 MiB FAIL"),
        "odd-size": ((1000, 40), False, None, "odd-size 123 39.1 KiB PASS"),
        "cut-short": ((16384, 4), False, "short", "cut-short 123 48.0 KiB FAIL"),
        "tiny": ((16, 2), False, None, "tiny 123 too few bytes to test"),
        "cipher": ((64, 1024), True, None, "cipher 123 not a generator"),
    }
    lab, build = [], variants.Build("build", tmp_path, False, {})
    for name, (lab_args, cipher, _, _) in table.items():
        v = variants.Variant(name, build, "default", "", cipher=cipher, folder=tmp_path / name)
        if lab_args:
            v.rand_lab, (v.bytes, v.calls) = True, lab_args
        v.folder.mkdir()
        v.runs = [runner.Run(1, None, 0, [{"median": 123.0}], "", value=123.0)]
        lab.append(v)

    def rounds(companions, count, cpus=None):
        for c in companions:
            assert c.rand_lab and c.command[-2:] == ["--keep", str(c.keep)]
            size = count * c.calls * c.bytes
            seed = list(table).index(c.name)
            data = np.random.default_rng(seed).integers(0, 256, size, dtype=np.uint8)
            fault = table[c.name][2]
            if fault == "zero":
                data[3 * BLOCK:4 * BLOCK] = 0
            elif fault == "short":
                data = data[:-BLOCK]
            data.tofile(c.keep)

    monkeypatch.setattr(runner, "run_rounds", rounds)
    report = kept.keep_and_test(lab, 1)
    assert [r["verdict"] for r in report["rows"]] == \
        ["FAIL", "PASS", "FAIL", "too-few-bytes", "not-a-generator"]
    lines = kept.lines_of(report)
    rows = [" ".join(line.split()) for line in "\n".join(lines).splitlines()]
    for name, (_, _, _, row) in table.items():
        assert row in rows, (name, "\n".join(lines))
    said = " ".join(rows)
    assert "program: 1 all-zero block: 3;" in said
    assert said.endswith("cut-short: 49152 bytes where the runs generated 65536")
    assert sorted(p.name for p in (tmp_path / "program").iterdir()) == ["kept.bin"]
