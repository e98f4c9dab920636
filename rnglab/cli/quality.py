"""tools/quality FILE...: tests files of generator output.

A file is taken as blocks of 16384 bytes, as the RAND_priv_bytes run appends
them; a piece left over at its end is reported, fails the file, and is left
out of the tests. Each file gets:

  blocks    every all-zero block, and every block equal to an earlier one in
            any of the files given (both places named); a whole-file check
            cannot see one bad block among many, so each block's count of
            one bits is also tested (two-sided binomial, monobit)
  rngtest   the FIPS 140-2 tests on 20,000-bit blocks: the count of blocks
            failing each test, against how often a true random source fails
            it (one-sided binomial test)
  ent       entropy per byte, chi-square of the byte counts with its p, the
            mean, the serial correlation and the Monte Carlo value of pi,
            each against its sampling distribution for the file's size

Shares of the one-in-1,000 chance that a good file fails (Bonferroni):
  all-zero, repeated block, leftover piece   none (a good generator's
                       chance of a zero or repeated block is below 2^-130000)
  per-block monobit    {blocks:g} over all blocks: p < {blocks:g}/blocks names the block
  rngtest              {rngtest:g} for each of Monobit, Poker, Runs, Long run,
                       Continuous run (p < {rngtest:g} fails)
  ent                  {ent:g} for each of entropy, chi-square (p outside
                       [{half:g}, 1-{half:g}]), mean, serial correlation, pi
  left for the normal approximations   {rest:.1g}

Exit status: 0 when every file passes, 1 when one fails or cannot be read
(or rngtest or ent is missing), 2 for a bad option.
"""

import json

from rnglab import quality, qualitytext
from rnglab.cli import _shell


def parse_args(argv):
    epilog = __doc__.format(
        blocks=quality.SHARE_BLOCKS, rngtest=quality.SHARE_RNGTEST, ent=quality.SHARE_ENT,
        half=quality.SHARE_ENT / 2,
        rest=quality.FALSE_FAIL - quality.SHARE_BLOCKS - 5 * quality.SHARE_RNGTEST
        - 5 * quality.SHARE_ENT)
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
