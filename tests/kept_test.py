"""compare-openssl --quality: each variant gets the verdict of its own bytes,
the verdict tools/quality gives the same file, and a keep step that stops
(a disk full, a failed run, Ctrl-C) is named as that step, leaves no kept
file it did not finish, and is in the provenance."""

import signal
import zlib

import numpy as np
import pytest

from rnglab import kept, runner, signals, variants
from rnglab.errors import LabError
from rnglab.units import BLOCK
from tests.helpers import command


def lab_variants(tmp_path, table):
    """A variant per table row: (bytes and calls of rand_lab, or None for
    the program; cipher), its rounds done with a median of 123."""
    made, build = [], variants.Build("build", tmp_path, False, {})
    for name, (lab_args, cipher) in table.items():
        v = variants.Variant(name, build, "default", "", cipher=cipher, folder=tmp_path / name)
        if lab_args:
            v.rand_lab, (v.bytes, v.calls) = True, lab_args
        v.folder.mkdir()
        v.runs = [runner.Run(1, None, 0, [{"median": 123.0}], "", value=123.0)]
        made.append(v)
    return made


def keep_runs(faults, stop=None):
    """runner.run_rounds for the keep step: each companion's bytes and
    layout as rand_lab --keep appends them, with faults {name: fault};
    stop(companion, round) may raise to stop the step there."""
    def rounds(companions, count, cpus=None, what="round", during="in"):
        assert (what, during) == ("keeping bytes, run", "while")
        for r in range(count):
            for c in companions:
                assert c.rand_lab and c.command[-2:] == ["--keep", str(c.keep)]
                c.runs.append(runner.Run(r + 1, 0, 0, [], ""))
                if stop:
                    stop(c, r + 1)
                size = c.calls * c.bytes
                with open(c.keep, "ab") as data, open(f"{c.keep}.layout", "a") as layout:
                    layout.write(f"keep offset={r * size} bytes={c.bytes} threads=1 "
                                 f"calls={c.calls}\n")
                    # The same bytes in every process (str's hash is not).
                    seed = zlib.crc32(f"{c.name}/{r}".encode())
                    block = np.random.default_rng(seed).integers(0, 256, size, dtype=np.uint8)
                    if faults.get(c.name) == "zero" and r == 0:
                        block[3 * BLOCK:4 * BLOCK] = 0
                    data.write(block.tobytes())
        for c in companions:
            if faults.get(c.name) == "short":
                with open(c.keep, "r+b") as data:
                    data.truncate(count * c.calls * c.bytes - BLOCK)
    return rounds


def test_each_variant_gets_the_verdict_of_its_own_bytes(tmp_path, monkeypatch):
    # name: (rand_lab's bytes and calls or None, cipher, fault, the report's row)
    table = {
        "program": (None, False, "zero", "program 123 16.0 MiB FAIL"),
        "odd-size": ((1000, 40), False, None, "odd-size 123 39.1 KiB PASS"),
        # 100,000 bytes do not divide 16 KiB: the request is the unit.
        "big": ((100000, 20), False, None, "big 123 1.9 MiB PASS"),
        "cut-short": ((16384, 4), False, "short", "cut-short 123 48.0 KiB FAIL"),
        "tiny": ((16, 2), False, None, "tiny 123 too few bytes to test"),
        "cipher": ((64, 1024), True, None, "cipher 123 not a generator"),
    }
    lab = lab_variants(tmp_path, {k: (v[0], v[1]) for k, v in table.items()})
    monkeypatch.setattr(runner, "run_rounds", keep_runs({k: v[2] for k, v in table.items()}))
    report = kept.keep_and_test(lab, 1)
    assert [r["verdict"] for r in report["rows"]] == \
        ["FAIL", "PASS", "PASS", "FAIL", "too-few-bytes", "not-a-generator"]
    lines = kept.lines_of(report)
    rows = [" ".join(line.split()) for line in "\n".join(lines).splitlines()]
    for name, (_, _, _, row) in table.items():
        assert row in rows, (name, "\n".join(lines))
    said = " ".join(rows)
    assert "program: 1 all-zero request: thread 1 call 3;" in said
    assert said.endswith("cut-short: kept.bin.layout lays out 65536 bytes, but the file holds "
                         "49152; 49152 bytes where the runs generated 65536")
    assert sorted(p.name for p in (tmp_path / "program").iterdir()) == \
        ["kept.bin", "kept.bin.layout", "provenance.txt"]
    provenance = (tmp_path / "big" / "provenance.txt").read_text()
    assert ": 1 unmeasured run of bench/rand_lab --keep kept.bin after the rounds: kept.bin " \
           "kept\n  keep run 1, cpu 0\ncommand: " in provenance
    # The same file, the same verdict from tools/quality.
    assert command("tools/quality", tmp_path / "big" / "kept.bin").returncode == 0


def disk_full(companion, round_):
    if round_ == 2 and companion.name == "second":
        raise LabError(f"{companion.name}: rand_lab exited with status 1: Cannot write "
                       f"\"{companion.keep}\": No space left on device")


def ctrl_c(companion, round_):
    if round_ == 2:
        raise runner.Interrupted("interrupted while keeping bytes, run 2 of 3, after first; "
                                 "the provenance says what was done")


def ctrl_c_testing(*_):
    raise KeyboardInterrupt


def sigterm_testing(*_):
    raise signals.Stopped(signal.SIGTERM)


# where the step stops, the error it ends with, and the command's status
@pytest.mark.parametrize("stop, testing, said, status", [
    (disk_full, None, "second: rand_lab exited with status 1: Cannot write", 1),
    (ctrl_c, None, "interrupted while keeping bytes, run 2 of 3, after first;", 130),
    (None, ctrl_c_testing, "interrupted while testing the kept bytes;", 130),
    (None, sigterm_testing, "stopped by SIGTERM while testing the kept bytes;", 143),
])
def test_a_keep_step_that_stops_is_named_and_leaves_no_unfinished_file(tmp_path, monkeypatch,
                                                                       stop, testing, said,
                                                                       status):
    lab = lab_variants(tmp_path, {"first": ((16384, 2), False), "second": ((16384, 2), False)})
    monkeypatch.setattr(runner, "run_rounds", keep_runs({}, stop))
    if testing:
        monkeypatch.setattr(kept.quality, "test_files", testing)
    with pytest.raises(kept.Stopped) as stopped:
        kept.keep_and_test(lab, 3)
    assert str(stopped.value.error).startswith(said)
    assert isinstance(stopped.value.error, runner.Interrupted) == (stop is not disk_full)
    assert getattr(stopped.value.error, "signum", -127) + 128 == status
    table = stopped.value.table
    assert [r["verdict"] for r in table["rows"]] == ["not-tested", "not-tested"]
    assert " ".join(" ".join(kept.lines_of(table)).split()).endswith(
        f"The step stopped: {stopped.value.error}")
    for v in lab:
        # Kept bytes the step finished stay; bytes of a step cut short go.
        left = sorted(p.name for p in v.folder.iterdir())
        assert left == (["kept.bin", "kept.bin.layout"] if testing else []) + ["provenance.txt"]
        text = (v.folder / "provenance.txt").read_text()
        assert ("kept.bin kept" if testing else "stopped, kept.bin removed") in text
