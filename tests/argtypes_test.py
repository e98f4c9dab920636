"""The options' types, each with what it takes and the one line that says
what it refuses."""

import argparse
import os

import pytest

from rnglab import argtypes

ALLOWED = sorted(os.sched_getaffinity(0))

# (type, text, the value, or the start of the refusal)
CASES = [
    (argtypes.name_list(["a", "b", "c"], "build"), "c, a,c", ["c", "a"]),
    (argtypes.name_list(["a", "b"], "build"), "a,x", "unknown build x: choose from a, b"),
    (argtypes.name_list(["a", "b"], "build"), ",", "unknown build (none given)"),
    (argtypes.name_list(["a", "b"], "generator", "all"), "all", ["a", "b"]),
    (argtypes.name_list(["a", "b"], "generator", "all"), "al", "unknown generator al: choose "
     "from a, b, all"),
    (argtypes.number_list(1, 64), "32,8,32", [8, 32]),
    (argtypes.number_list(1, 64), "0,8", "a comma-separated list of whole numbers from 1 to 64"),
    (argtypes.number_list(1, 64), "8,x", "a comma-separated list"),
    (argtypes.whole(2, why="the ratios are taken per round"), "2", 2),
    (argtypes.whole(2, why="the ratios are taken per round"), "1",
     "a whole number of at least 2 (the ratios are taken per round), not '1'"),
    (argtypes.whole(1, 60), "61", "a whole number from 1 to 60, not '61'"),
    (argtypes.whole(1), "-3", "a whole number of at least 1"),
    (argtypes.whole(1), "1e3", "a whole number of at least 1"),
    (argtypes.cpu_list, "free", None),
    (argtypes.cpu_list, "all", ALLOWED),
    (argtypes.cpu_list, f"{ALLOWED[-1]},{ALLOWED[0]},{ALLOWED[-1]}",
     list(dict.fromkeys([ALLOWED[-1], ALLOWED[0]]))),
    (argtypes.cpu_list, "4096", "a comma-separated list of processors from"),
    (argtypes.precision, "0.01", 0.01),
    (argtypes.precision, "1e-3", 0.001),
    (argtypes.precision, "0", "a fraction between 0 and 1, such as 0.01 for +/- 1%, not '0'"),
    (argtypes.precision, "1", "a fraction between 0 and 1"),
    (argtypes.precision, "nan", "a fraction between 0 and 1"),
    (argtypes.precision, "-inf", "a fraction between 0 and 1"),
    (argtypes.duration, "2h30m", 9000),
    (argtypes.duration, "1.5m", "a duration such as 90s, 15m, 1h or 2h30m, not '1.5m'"),
    (argtypes.duration, "-5s", "a duration above zero, such as 90s, 15m, 1h or 2h30m, not '-5s'"),
    (argtypes.picture_size, "640x480", (640, 480)),
    (argtypes.picture_size, "99x480", "WxH in pixels, each 100 to 65000"),
    (argtypes.picture_size, "20000x20000", "WxH in pixels"),
]


@pytest.mark.parametrize("parse, text, want", CASES)
def test_an_option_is_its_value_or_one_line_saying_what_it_takes(parse, text, want):
    if isinstance(want, str):
        with pytest.raises(argparse.ArgumentTypeError) as refused:
            parse(text)
        assert str(refused.value).startswith(want)
    else:
        assert parse(text) == want


@pytest.mark.parametrize("name, ok", [("x.png", True), ("x.SVG", True), ("x.pdf", False),
                                      ("png", False)])
def test_pictures_are_named_by_their_suffix(name, ok):
    assert argtypes.has_suffix(name) == ok
