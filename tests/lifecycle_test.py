"""The lifecycle's figures from rand_lab's samples, on samples small enough
to check by hand: reseeds are told from interrupts by their period, not
their size."""

import io

import numpy as np
import pytest

from rnglab import lifecycle
from rnglab.errors import LabError

PLANTED = [300, 700, 1100, 1500, 1900]  # every 400 calls
# Larger than the planted spikes, as interrupts are, and on no common period.
RANDOM = [37, 555, 1234, 1777]


def calls(spikes, random, length=2000):
    x = np.full(length, 100, dtype=np.int64)
    x[0] = 9000  # the first call, never a reseed
    x[spikes] = 400
    x[random] = 5000
    return x


@pytest.mark.parametrize("sequences, period, places, shown, others", [
    ([calls(PLANTED, RANDOM)], 400, PLANTED, [1] * 5, 4),
    ([calls(PLANTED, RANDOM), calls(PLANTED, [90]), calls(PLANTED, [])], 400, PLANTED,
     [3] * 5, 5),
    ([calls([], RANDOM + [1950])], None, [], None, 5),
    ([calls([], RANDOM), calls([], [90, 1000])], None, [], None, 6),
])
def test_periodic_spikes_are_found_apart_from_random_ones(sequences, period, places, shown,
                                                          others):
    found = lifecycle.find_period(sequences)
    assert (found["period"], found["places"], found.get("shown"), found["random"]) == \
        (period, places, shown, others)
    said = lifecycle.reseed_text(lifecycle.reseeds_data(found))
    if period:
        assert list(found["cost"]) == [400] * sum(shown)
        assert said.startswith("every 400 calls, at calls 300, 700,")
    else:
        assert said.startswith("no periodic spikes: ")


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
