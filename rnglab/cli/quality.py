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
  all-zero, repeated block, leftover piece   none (certain faults)
  per-block monobit    2e-4 over all blocks: p < 2e-4/blocks names the block
  rngtest              1e-4 for each of Monobit, Poker, Runs, Long run,
                       Continuous run (p < 1e-4 fails)
  ent                  4e-5 for each of entropy, chi-square (p outside
                       [2e-5, 1-2e-5]), mean, serial correlation, pi
  left for the normal approximations   1e-4

Exit status: 0 when every file passes, 1 when one fails or cannot be read
(or rngtest or ent is missing), 2 for a bad option.
"""

import argparse
import json
import signal
import sys
import time

from rnglab import quality


def bad_option(message):
    print(f"quality: error: {message} (see --help)", file=sys.stderr)
    sys.exit(2)


class Progress:
    """A line on standard error every few seconds, for files that take long."""

    def __init__(self):
        self.last = time.monotonic()

    def __call__(self, path, done, size):
        now = time.monotonic()
        if now - self.last >= 5:
            self.last = now
            print(f"quality: {path}: {done >> 20} of {size >> 20} MiB", file=sys.stderr)


def main(argv=None):
    if hasattr(signal, "SIGPIPE"):
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    parser = argparse.ArgumentParser(
        prog="quality", description=__doc__.split("\n\n", 1)[0],
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=__doc__.split("\n\n", 1)[1])
    parser.error = bad_option
    parser.add_argument("files", nargs="+", metavar="FILE", help="files of generator output")
    parser.add_argument("--json", action="store_true",
                        help="print the figures, bounds and verdicts as JSON")
    args = parser.parse_args(argv)
    try:
        results = quality.test_files(args.files, progress=Progress())
    except quality.QualityError as error:
        print(f"quality: error: {' '.join(str(error).split())}", file=sys.stderr)
        return 1
    if args.json:
        print(json.dumps(results, indent=1))
    else:
        for result in results:
            print(quality.report_text(result))
    return 1 if any(result["verdict"] != "PASS" for result in results) else 0
