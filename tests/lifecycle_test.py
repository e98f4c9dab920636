"""The lifecycle's figures from rand_lab's samples, on samples small enough
to check by hand: reseeds are told from interrupts by their period, not
their size."""

import dataclasses
import io
import json

import numpy as np
import pytest

from rnglab import files, lifecycle, runner, variants
from rnglab.report import labtext
from rnglab.errors import LabError
from tests.helpers import expected


def lines(runs, threads, calls_):
    return "".join(f"{t},{c},{100 * r + 10 * t + c}\n" for r in range(runs)
                   for t in range(1, threads + 1) for c in range(calls_))


@pytest.mark.parametrize("data, shape", [
    ("thread,call,ticks\n" + lines(2, 2, 3), (2, 2, 3)),
    (lines(1, 2, 3), (1, 2, 3)),
    ("thread,call,ticks\n" + lines(2, 2, 3)[:-8], None),  # torn
    (lines(1, 2, 3).replace("2,0,", "1,0,"), None),  # not two threads
    (lines(1, 2, 3).replace(",", ";"), None),
])
def test_samples_are_read_run_by_run_or_refused_whole(data, shape, monkeypatch):
    monkeypatch.setattr(lifecycle, "PIECE", 16)  # lines cut across pieces
    if shape is None:
        with pytest.raises(LabError, match="not whole runs of thread,call,ticks lines"):
            lifecycle.parse(io.BytesIO(data.encode()), 2, 3, "s.csv")
        return
    counts = lifecycle.parse(io.BytesIO(data.encode()), 2, 3, "s.csv")
    assert counts.shape == shape
    assert counts[-1, 1].tolist() == [100 * (shape[0] - 1) + 20 + c for c in range(3)]


def samples_text(seed, runs=3, calls=2048, period=512):
    """A fork variant's samples, as rand_lab writes them: per run the
    parent's thread 1 then the child's, counted on; reseed spikes every
    period calls, a slow first call, and a few interrupts anywhere."""
    rng = np.random.default_rng(seed)
    lines = ["thread,call,ticks"]
    for _ in range(runs):
        for thread in (1, 2):
            x = rng.normal(4000, 60, calls).round().astype(int)
            x[0] = 90000 if thread == 1 else 150000
            x[period::period] += 30000
            x[rng.integers(1, calls, 3)] += 60000
            lines += [f"{thread},{c},{v}" for c, v in enumerate(x)]
    return "\n".join(lines) + "\n"


# Each build's runs, by what their fork child did: a run whose child hangs
# appends no record and no sample.
FORKS = {"3.0-static": ["differ"] * 3, "newest-3-static": ["differ", "hangs", "differ"],
         "system-shared": ["hangs"] * 3}


def test_the_lifecycle_prints_as_it_did(tmp_path):
    build = variants.Build("3.0-static", tmp_path, True, {"version": "OpenSSL 3.0.22"})
    made = []
    for seed, (name, forks) in enumerate(FORKS.items()):
        v = lifecycle.keep_samples(variants.variant(
            dataclasses.replace(build, name=name), variants.DEFAULT_GENERATOR, None,
            (16, 1, False), 2048, fork=True))
        v.folder = tmp_path / v.name
        v.folder.mkdir()
        (v.folder / v.samples).write_text(samples_text(seed, forks.count("differ")))
        v.runs = [runner.Run(r, 0, r - 1, [] if f == "hangs" else [{"median": 4000}], "",
                             value=None if f == "hangs" else 4000.0, fork={"result": f})
                  for r, f in enumerate(forks, start=1)]
        made.append(v)
    tables = lifecycle.report(made, 3, True)
    assert labtext.render(tables) == expected("lifecycle.txt")
    assert labtext.render(json.loads(json.dumps(files.plain(tables)))) == expected("lifecycle.txt")


@pytest.mark.parametrize("source, said", [
    # OpenSSL's reseeds come every 65,535 calls: 2,048 cannot show them.
    ("openssl", "too short to see three periods of 65,535 calls: 2,048 calls a thread, 196,606 "
     "needed"),
    ("getrandom", "no periodic spikes with a period of 64 to 682 calls"),
])
def test_sequences_too_short_for_the_known_period_say_so(tmp_path, source, said):
    build = variants.Build("system-shared", tmp_path, False, {"version": "OpenSSL 3.0.19"})
    v = lifecycle.keep_samples(variants.variant(build, variants.DEFAULT_GENERATOR, None,
                                                (16, 1, False), 2048, source, fork=True))
    v.folder = tmp_path
    (tmp_path / v.samples).write_text(samples_text(0, period=4096))  # no spike at a period
    found = lifecycle.lifecycle_row(lifecycle.summarise(v))["reseeds"]
    assert lifecycle.reseed_text(found).startswith(said)
