"""Many machines, one table: the standard record of this machine, and the
report of the records of many (docs/fleet.md).

  tools/fleet record            this machine's standard record, written to
                                results/KEY/STAMP-PART.json (KEY names the
                                machine by its stable parts: processor,
                                hypervisor, processors, system)
  tools/fleet report [PATH...]  the records under PATH (results/ by
                                default) side by side

A record has three parts, each written whole as its command's --json
document once done: fork (compare-openssl --sources all --fork, one thread
and 4, 3 rounds), sources (compare-openssl --sources all --bytes 32,16384
--views cpuid,lfence,batch --calls 32, rounds until decided at 5%) and
figures (check-figures --precision 0.05). The parts' rounds share the
record's time, 12 minutes (--max-time), projected to hold on a quiet
2-processor VM: record on a quiet machine. Progress on standard error; the
last line says how long it took. Gather records from other machines as
files (ssh, a CI matrix, Ansible) into results/: the lab has no
orchestrator.

The report: one row per machine (its latest record); per source, size and
view, each machine's ratio to OpenSSL's RAND_bytes with its interval,
verdict and nanoseconds per call, and across the machines the geometric
mean of the ratios with the lowest and highest, describing these machines
only, and how many agree; per size and view, each machine's cheapest
fork-safe generator and whether they agree. A file that is not whole JSON,
of another schema or another command stops it with one line naming it.
--json writes the same as data, --html as one page (with the HTML report,
rnglab/report).
"""

from pathlib import Path

from rnglab import argtypes, files, fleet, fleetrecord
from rnglab.report import fleettext
from rnglab.cli import _shell, check_figures, compare_openssl
from rnglab.errors import LabError

RESULTS = Path("results")


def record(args):
    done = fleetrecord.record(args, {"compare-openssl": compare_openssl.parse_args,
                                     "check-figures": check_figures.parse_args}, _shell.emit)
    _shell.emit(fleettext.record_text(done))


def page_renderer(path):
    """rnglab.report.html, checked for a page to path; LabError where this
    checkout has no HTML report."""
    try:
        from rnglab.report import html  # pylint: disable=import-outside-toplevel
    except ImportError as error:
        raise LabError(f"--html: this checkout has no HTML report (rnglab/report): {error}") \
            from error
    html.check(path)
    return html


def report(args):
    if args.json is not None:
        files.check_writable(args.json)
    html = None if args.html is None else page_renderer(args.html)
    data = fleet.report(args.paths or [RESULTS])
    try:
        _shell.emit(fleettext.render(data, history=args.history))
    finally:
        # Whatever became of standard output, the files are written.
        if args.json is not None:
            files.write_json(args.json, data)
        if html is not None:
            html.write(args.html, fleettext.page(data, html.blocks_of, history=args.history))


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
    taking.add_argument("--max-time", type=argtypes.duration, metavar="DURATION",
                        help="the record's time, which its parts' rounds share (12m)")
    reading = commands.add_parser("report", help="the records of many machines side by side")
    reading.add_argument("paths", nargs="*", type=Path, metavar="PATH",
                         help="record files, or folders of them (results/)")
    reading.add_argument("--history", action="store_true",
                         help="every record of every machine, by date, too")
    reading.add_argument("--json", type=Path, metavar="FILE",
                         help="write the report as JSON too")
    reading.add_argument("--html", type=Path, metavar="FILE",
                         help="write the report as one page too (needs rnglab/report)")
    args = parser.parse_args(argv)
    if args.command == "record":
        if args.rounds is not None and args.max_time is not None:
            taking.error("--rounds takes a fixed number of rounds: not with --max-time")
        args.max_time = args.max_time or fleetrecord.MAX_TIME
    return args


def main(argv=None):
    args = parse_args(argv)
    return _shell.run("fleet", record if args.command == "record" else report, args)
