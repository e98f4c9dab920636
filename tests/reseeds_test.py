"""The reseed finder on recorded samples (idle, and busy on the same or the
other processor), on the same made busier than any fixed threshold can
take, and on sequences with no reseed at all, real and made."""

import itertools
from pathlib import Path

import numpy as np
import pytest

from rnglab import lifecycle, reseeds

FIXTURE = np.load(Path(__file__).parent / "data" / "reseed_samples.npz")
STEP = 64  # as tests/data/make_reseed_samples.py thins


def rebuild(name, seed, with_reseeds=True):
    """Sequences of the recording's length: each call drawn from the kept
    calls within eight kept calls of it (so the level follows the
    recording's, and its spikes come as often), the recorded windows around
    the reseeds put back in place; without them, no call of those windows
    is drawn either."""
    rng = np.random.default_rng(seed)
    thin = FIXTURE[f"{name}_thin"].astype(np.float64)
    windows, places = FIXTURE[f"{name}_windows"], FIXTURE[f"{name}_places"]
    calls = int(FIXTURE[f"{name}_calls"])
    half = (windows.shape[2] - 1) // 2
    around = np.minimum(places[:, None] + np.arange(-half, half + 1), calls - 1)
    kept = np.arange(thin.shape[1]) * STEP
    usable = np.flatnonzero(~np.isin(kept, around))
    # Each sequence its own draws: no call index made alike in every run.
    near = np.arange(calls) // STEP + rng.integers(-8, 9, (len(thin), calls))
    pick = usable[np.searchsorted(usable, near.clip(0, thin.shape[1] - 1)).clip(0, usable.size - 1)]
    x = np.take_along_axis(thin, pick, axis=1)
    if with_reseeds:
        x[:, around] = windows
    return x


def busier(x, seed, extra=5000, sizes=None):
    """A host busier than this one was: the level of each sequence doubling
    for stretches of 50 to 1,500 calls between stretches of 50 to 3,000
    (another tenant on the core), and extra spikes as large as the
    recording's own, at random calls."""
    rng = np.random.default_rng(seed)
    if sizes is None:
        sizes = (x - np.median(x))[reseeds.elevation(x) >= 3]
    out = x.copy()
    for row in out:
        at, high = 0, False
        while at < row.size:
            n = int(rng.integers(50, 1500 if high else 3000))
            row[at:at + n] *= 2.0 if high else 1.0
            at, high = at + n, not high
        row[rng.integers(1, row.size, extra)] += rng.choice(sizes, extra)
    return out


def parents(x):
    """A fork recording's sequences go run by run, parent then child."""
    return x[0::2]


@pytest.mark.parametrize("name, part, period, places", [
    ("idle", parents, 65535, [65535, 131070, 196605, 262140]),
    ("idle", lambda x: x[1::2], 65535, [65535, 131070, 196605, 262140]),  # the fork child
    ("busysame", parents, 65535, [65535, 131070, 196605, 262140]),
    ("buildother", parents, 65535, [65535, 131070, 196605, 262140]),
    ("boringssl", lambda x: x, 4096, list(range(4096, 65536, 4096))),
    ("mbedtls", lambda x: x, 10000, [10000, 20000, 30000]),
])
def test_recorded_reseeds_are_found_in_two_runs(name, part, period, places):
    x = part(rebuild(name, 1))
    assert len(x) == 2
    found = reseeds.find_period(x)
    assert (found["period"], found["places"], found["reason"]) == (period, places, None)
    assert found["p"] < reseeds.PERIOD_ALPHA
    assert found["shown"] == [2] * len(places) and found["random"] > 0
    assert found["cost"].size == 2 * len(places) and np.all(found["cost"] > found["median"])
    # Nothing of the kind in the same noise without the reseeds' calls.
    empty = reseeds.find_period(part(rebuild(name, 1, with_reseeds=False)))
    assert (empty["period"], empty["reason"]) == (None, "none")


@pytest.mark.parametrize("name", ["idle", "busysame", "buildother"])
def test_reseeds_are_found_where_tens_of_thousands_of_calls_cross_any_fixed_threshold(name):
    x = busier(parents(rebuild(name, 2)), 3)
    # The threshold a whole run's median sets: the higher stretches are all over it.
    assert np.all((x > 1.5 * np.median(x, axis=1, keepdims=True)).sum(axis=1) > 10000)
    found = reseeds.find_period(x)
    assert (found["period"], found["places"][:3]) == (65535, [65535, 131070, 196605])
    assert reseeds.find_period(busier(parents(rebuild(name, 2, False)), 3))["period"] is None


@pytest.mark.parametrize("seed", range(12))
def test_no_period_is_invented_in_busy_noise(seed):
    rng = np.random.default_rng(seed)
    x = 4500 * np.exp(rng.normal(0, 0.03, (2, 65536)))
    x = busier(x, seed, int(rng.integers(0, 5000)), rng.lognormal(np.log(30000), 1.5, 1000))
    found = reseeds.find_period(x)
    assert (found["period"], found["reason"]) == (None, "none")
    assert reseeds.none_text(found).startswith("no periodic spikes with a period of 64 to 21,845 "
                                               "calls: ")


PLANTED = [300, 700, 1100, 1500, 1900]  # every 400 calls
RANDOM = [37, 555, 1234, 1777]


SEEDS = itertools.count()


def calls(spikes, random, length=2000, level=100):
    # A little noise of no pattern, and of its own in each sequence: a
    # pattern repeating every few calls is a period too.
    x = level + np.random.default_rng(next(SEEDS)).integers(0, 7, length)
    x[0] = 9000
    x[spikes] = 4 * level
    x[random] = 50 * level
    return x


@pytest.mark.parametrize("sequences, period, places, random", [
    ([calls(PLANTED, RANDOM), calls(PLANTED, [90]), calls(PLANTED, [])], 400, PLANTED, 5),
    # One place missed in one run: a period needs three quarters of its places.
    ([calls(PLANTED, RANDOM), calls(PLANTED[1:], [90]), calls(PLANTED, [])], 400, PLANTED, 5),
    # The same at four times the level in one run: measured against neighbours.
    ([calls(PLANTED, RANDOM, level=400), calls(PLANTED, [90]), calls(PLANTED, [])], 400,
     PLANTED, 5),
    # Reseeds a call after each multiple, the last at the last call: the
    # start past T shows only twice and is not tried; from call 1 the period
    # has four places, three spiked.
    ([calls([401, 801, 1201], [], 1202) for _ in range(4)], 400, [1, 401, 801, 1201], 0),
    ([calls([], RANDOM), calls([], [90, 1000]), calls([], [])], None, [], 6),
    ([calls([], []), calls([], [])], None, [], 0),
])
def test_planted_periods_apart_from_random_spikes(sequences, period, places, random):
    found = reseeds.find_period(sequences)
    assert (found["period"], found["places"], found["random"]) == (period, places, random)
    if period:
        assert lifecycle.reseed_text(lifecycle.reseeds_data(found)).startswith(
            f"every 400 calls, at calls {places[0]}, {places[1]},")


@pytest.mark.parametrize("length, expected, reason, text", [
    (192, None, "too-short", "too short to see three periods of 64 calls: 192 calls a thread, "
     "193 needed"),
    (1024, 65535, "too-short", "too short to see three periods of 65,535 calls: 1,024 calls a "
     "thread, 196,606 needed"),
    (1024, None, "none", "no periodic spikes with a period of 64 to 341 calls: "),
    (1202, 500, None, ""),  # another period than the one expected is still named
])
def test_too_short_to_see_three_periods(length, expected, reason, text):
    spikes = [] if reason else [300, 700, 1100]
    found = reseeds.find_period([calls(spikes, [], length) for _ in range(2)], expected)
    assert (found["period"], found["reason"]) == (None if reason else 400, reason)
    if reason:
        assert reseeds.none_text(found, expected).startswith(text)
