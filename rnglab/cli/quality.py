"""tools/quality FILE...: tests files of generator output.

A file is taken in units, each what was asked for at once: each call's bytes
where rand_lab --keep's layout stands beside it (FILE.layout), named by run,
thread and call; else blocks of 16384 bytes, as the RAND_priv_bytes run
appends them. Whatever no whole unit holds is reported, fails the file, and
is left out of the tests. A file named twice is read once. Each file gets:

  units     every all-zero unit, and every unit equal to an earlier one in
            any of the files given (both places named); a whole-file check
            cannot see one bad unit among many, so each piece's count of
            one bits is also tested (two-sided binomial, monobit), a piece
            a unit of 16384 bytes or more, else that much of one thread's
            consecutive calls
  rngtest   the FIPS 140-2 tests on 20,000-bit blocks: the count of blocks
            failing each test, against how often a true random source fails
            it (one-sided binomial test)
  ent       entropy per byte, chi-square of the byte counts with its p, the
            mean, the serial correlation and the Monte Carlo value of pi,
            each against its sampling distribution for the file's size

Shares of the one-in-1,000 chance that a good file fails (Bonferroni):
  all-zero, repeated unit   at most {repeats:g}: looked for among the units of
                       a size only where a true random source makes one less
                       often (16 bytes or more always; not among thousands
                       of 1-byte calls, which the report says)
  leftover bytes       none
  per-piece monobit    {blocks:g} over all pieces: p < {blocks:g}/pieces names the piece
  rngtest              {rngtest:g} for each of Monobit, Poker, Runs, Long run,
                       Continuous run (p < {rngtest:g} fails)
  ent                  {ent:g} for each of entropy, chi-square (p outside
                       [{half:g}, 1-{half:g}]), mean, serial correlation, pi
  left for the normal approximations   {rest:.1g}

Exit status: 0 when every file passes, 1 when one fails or cannot be read
(or rngtest or ent is missing or stops early), 2 for a bad option, 130 for
Ctrl-C.
"""

import json

from rnglab import quality
from rnglab.report import qualitytext
from rnglab.cli import _shell


def parse_args(argv):
    epilog = __doc__.format(
        blocks=quality.SHARE_BLOCKS, rngtest=quality.SHARE_RNGTEST, ent=quality.SHARE_ENT,
        repeats=quality.SHARE_REPEATS,
        half=quality.SHARE_ENT / 2,
        rest=quality.FALSE_FAIL - quality.SHARE_BLOCKS - 5 * quality.SHARE_RNGTEST
        - 5 * quality.SHARE_ENT - quality.SHARE_REPEATS)
    parser = _shell.parser("quality", epilog, terse=True)
    parser.add_argument("files", nargs="+", metavar="FILE", help="files of generator output")
    parser.add_argument("--json", action="store_true",
                        help="print the figures, bounds and verdicts as JSON")
    return parser.parse_args(argv)


def test(args):
    results = quality.test_files(args.files, progress=quality.Progress())
    if args.json:
        _shell.emit(json.dumps(results, indent=1))
    else:
        _shell.emit("\n".join(qualitytext.report_text(result) for result in results))
    return 1 if any(result["verdict"] != "PASS" for result in results) else 0


def main(argv=None):
    return _shell.run("quality", test, parse_args(argv), errors="error: ")
