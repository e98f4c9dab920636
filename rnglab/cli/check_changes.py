"""How well tools/series --changes finds changes, on series drawn like the program's.

A record's figure here is a level times (1 + 1% normal noise), and 5% of
the records, at random, are 20% high (a host hiccup, a slow first call).
On series of 200 records it counts, over fixed seeds: the series without a
change in which a change was reported (false alarms); the series with a 3%
step at a random place in which exactly one change was found within 3
records of it; and the series with a +5% and a -4% step in which exactly
those two were found, each within 3 records. Then it times the whole
command on a file of 10,000 records with two steps. A benchmark, not a test:
it prints each figure beside its target and fails only when it cannot run.
"""

from rnglab import argtypes, changebench
from rnglab.report import text
from rnglab.cli import _shell


def verdict(met):
    return "met" if met else "MISSED"


def report_text(r):
    seeds, slack, met = r["seeds"], r["slack"], r["met"]
    rows = [("no step, series with a change reported (false alarms)", "quiet"),
            (f"a 3% step, found alone within {r['near']} records", "one"),
            (f"+5% and -4% steps, both found alone within {r['near']} records", "two")]
    lines = [f"{what}: {r[key]} of {seeds}  ({verdict(met[key])})" for what, key in rows]
    lines += [f"10,000 records with steps at 3000 (+3%) and 7000 (-2%): found at "
              f"{', '.join(map(str, r['found_at'])) or 'none'}; tools/series --changes took "
              f"{r['seconds']:.2f} s ({verdict(met['seconds'])})",
              f"Targets: at most {text.plural(slack, 'false alarm')}, at least "
              f"{r['found_target']:.0%} found, under {r['seconds_target']:g} s."]
    return "\n".join(lines)


def check(args):
    _shell.emit(report_text(changebench.measure(args.seeds)))


def main(argv=None):
    parser = _shell.parser("check-changes", __doc__, raw=False)
    parser.add_argument("--seeds", type=argtypes.whole(1), default=100,
                        help="series per case (100)")
    return _shell.run("check-changes", check, parser.parse_args(argv))
