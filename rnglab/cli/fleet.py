"""Many machines, one table: the standard record of this machine, and the
report of the records of many (docs/fleet.md).

  tools/fleet record            this machine's standard record, written to
                                results/KEY/STAMP-PART.json (KEY names the
                                machine by its stable parts: processor,
                                hypervisor, processors, system)
  tools/fleet report [PATH...]  the records under PATH (results/ by
                                default) side by side

A record has three parts, each written whole as its command's --json
document once done: sources (compare-openssl --sources all --bytes 32,16384
--views cpuid,lfence,batch --calls 32, rounds until decided at 5% or 6
minutes spent), fork (compare-openssl --sources all --fork, one thread and
4, 3 rounds) and figures (check-figures --precision 0.05, at most 2
minutes). About 10 minutes on a quiet 2-processor VM: record on a quiet
machine. Progress on standard error. Gather
records from other machines as files (ssh, a CI matrix, Ansible) into
results/: the lab has no orchestrator.

The report: one row per machine (its latest record); per source, size and
view, each machine's ratio to OpenSSL's RAND_bytes with its interval,
verdict and nanoseconds per call, and across the machines the geometric
mean of the ratios with the lowest and highest, describing these machines
only, and how many agree; per size and view, each machine's cheapest
fork-safe generator and whether they agree. A file that is not whole JSON,
of another schema or another command stops it with one line naming it.
"""

from pathlib import Path

from rnglab import argtypes, files, fleet, fleetrecord, fleettext
from rnglab.cli import _shell, check_figures, compare_openssl

RESULTS = Path("results")


def record(args):
    fleetrecord.record(args, {"compare-openssl": compare_openssl.parse_args,
                              "check-figures": check_figures.parse_args}, _shell.emit)


def report(args):
    if args.json is not None:
        files.check_writable(args.json)
    data = fleet.report(args.paths or [RESULTS])
    try:
        _shell.emit(fleettext.render(data, history=args.history))
    finally:
        if args.json is not None:
            files.write_json(args.json, data)


def parse_args(argv):
    parser = _shell.parser("fleet", __doc__)
    commands = parser.add_subparsers(dest="command", required=True, metavar="record|report")
    taking = commands.add_parser("record", help="this machine's standard record")
    taking.add_argument("--results", type=Path, default=RESULTS,
                        help="where the machines' folders of records are (./results)")
    taking.add_argument("--out", type=Path, default=Path("openssl-comparison"),
                        help="the comparisons' folder of series (./openssl-comparison)")
    taking.add_argument("--sources", default="all", metavar="LIST|all",
                        help="the sources measured (all; as compare-openssl --sources)")
    taking.add_argument("--rounds", type=argtypes.whole(2, why="the ratios are taken per round"),
                        metavar="N",
                        help="a smoke run: N rounds of every part, not rounds until decided")
    reading = commands.add_parser("report", help="the records of many machines side by side")
    reading.add_argument("paths", nargs="*", type=Path, metavar="PATH",
                         help="record files, or folders of them (results/)")
    reading.add_argument("--history", action="store_true",
                         help="every record of every machine, by date, too")
    reading.add_argument("--json", type=Path, metavar="FILE",
                         help="write the report as JSON too")
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    return _shell.run("fleet", record if args.command == "record" else report, args)
