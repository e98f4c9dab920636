"""Tests of files of generator output: their blocks, rngtest's FIPS 140-2
tests and ent's figures, each judged so that a good file fails less than
once in 1,000.

  test_files(paths)     one result (a dict of figures, bounds, findings and
                        verdict) per file; blocks repeated across the files
                        are found too
  verdict_line(result)  "FILE: PASS" or "FILE: FAIL: finding; finding ..."
  report_text(result)   the figures, a few lines, ending in the verdict line
  keep_and_test(variants, rounds)
                        bench/compare-openssl --quality: each variant's bytes
                        kept in its folder, tested, one line per variant

A file is read as blocks of BLOCK bytes, the unit the program appends; a
piece left over at its end is a finding and is left out of the tests.
"""

import dataclasses
import hashlib
import math
import os
import queue
import shutil
import stat
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
from pathlib import Path

import numpy as np
from scipy import stats

from rnglab import files, runner, text
from rnglab.errors import LabError

BLOCK = 16384
CHUNK = 256 * BLOCK            # read, hashed and piped 4 MiB at a time
FALSE_FAIL = 1e-3              # what all of one file's judgements may spend

# Each judgement's share of FALSE_FAIL (Bonferroni). The shares add up to
# 9e-4; the rest is room for the normal approximations below.
SHARE_RNGTEST = 1e-4           # each of rngtest's five tests
SHARE_ENT = 4e-5               # each of ent's five figures
SHARE_BLOCKS = 2e-4            # the per-block monobit test, split over the blocks

# How often each FIPS 140-2 (2001-10-10 errata) test fails a 20,000-bit
# block of a true random source, as rngtest applies it. Monobit: the exact
# binomial tails outside (9725, 10275). Poker: the chi-square(15) tails
# outside (2.16, 46.17), which a simulation of 10^7 blocks matched
# (9.74e-5). Long run (26 bits or more): exact, from the chain of run
# lengths over 20,000 bits. Continuous run (a 32-bit word equal to the one
# before): 625 words of 2^-32 each. Runs has no closed form: rngtest failed
# 515 of 1,717,986 blocks of getrandom output (4 GiB, 2026-12-08), and the
# rate is the upper end of that count's 95% interval, so that an estimate
# on the low side cannot fail good files. The same 4 GiB failed Monobit
# 185, Poker 170, Long run 502 and Continuous run 0 times, as the rates
# here predict (178, 170, 511, 0.25), and 1,370 blocks in all (0.080%).
RNGTEST_RATES = {
    "Monobit": 1.0350e-4,
    "Poker": 9.923e-5,
    "Runs": 3.27e-4,
    "Long run": 2.976e-4,
    "Continuous run": 1.455e-7,
}

PACKAGES = {"rngtest": "rng-tools5", "ent": "ent"}
ENT_ROUNDING = 5e-7            # ent -t prints six decimals


class QualityError(LabError):
    """A tool missing or failing: the run cannot go on."""


class Progress:
    """A line on standard error every few seconds, for files that take long."""

    def __init__(self):
        self.last = time.monotonic()

    def __call__(self, path, done, size):
        now = time.monotonic()
        if now - self.last >= 5:
            self.last = now
            print(f"quality: {path}: {done >> 20} of {size >> 20} MiB", file=sys.stderr)


def check_tools():
    for tool, package in PACKAGES.items():
        if shutil.which(tool) is None:
            raise QualityError(f"{tool} is not installed: install the Debian package {package}")


# --- bounds -----------------------------------------------------------------

def ent_bounds(n):
    """The range each of ent's figures stays in, for n bytes of a true random
    source, but for a chance of SHARE_ENT each."""
    z = stats.norm.isf(SHARE_ENT / 2)
    points = n // 6                    # ent's Monte Carlo takes 6 bytes a point
    quarter = math.pi / 4
    bounds = {
        # 2 n ln2 (8 - H) is the G statistic of the byte counts, chi-square(255).
        "entropy_min": 8 - stats.chi2.isf(SHARE_ENT, 255) / (2 * n * math.log(2)) - ENT_ROUNDING,
        "chi_square_p": [SHARE_ENT / 2, 1 - SHARE_ENT / 2],
        "mean": z * math.sqrt((256 ** 2 - 1) / 12 / n) + ENT_ROUNDING,
        "serial_correlation": z / math.sqrt(n) + ENT_ROUNDING,
        "pi_error": (z * 4 * math.sqrt(quarter * (1 - quarter) / points) + 2 / points
                     + ENT_ROUNDING) if points else math.inf,
    }
    return {key: [float(v) for v in value] if isinstance(value, list) else float(value)
            for key, value in bounds.items()}


def block_p_values(ones):
    """Two-sided binomial p-value of each block's count of one bits."""
    bits = BLOCK * 8
    ones = np.asarray(ones)
    low = stats.binom.cdf(ones, bits, 0.5)
    high = stats.binom.sf(ones - 1, bits, 0.5)
    return np.minimum(1.0, 2 * np.minimum(low, high))


# --- the tools --------------------------------------------------------------

def parse_rngtest(text):
    counts, tests = {}, {}
    for line in text.splitlines():
        key, _, value = line.rpartition(":")
        value = value.strip()
        if not value.isdigit():
            continue
        if key.endswith("bits received from input"):
            counts["bits"] = int(value)
        elif key.endswith("FIPS 140-2 successes"):
            counts["passed"] = int(value)
        elif key.endswith("FIPS 140-2 failures"):
            counts["failed"] = int(value)
        elif "(2001-10-10)" in key:
            tests[key.split(")", 1)[1].strip()] = int(value)
    if "passed" not in counts or "failed" not in counts or set(tests) != set(RNGTEST_RATES):
        raise QualityError("rngtest printed no statistics: " + " ".join(text.split())[-200:])
    return counts["passed"] + counts["failed"], counts["failed"], tests


def parse_ent(text):
    lines = [line.split(",") for line in text.strip().splitlines()]
    if len(lines) < 2 or len(lines[1]) < 7:
        raise QualityError("ent printed no figures: " + " ".join(text.split())[-200:])
    values = [float(v) for v in lines[1][1:7]]
    names = ["bytes", "entropy", "chi_square", "mean", "pi", "serial_correlation"]
    figures = dict(zip(names, values))
    figures["bytes"] = int(figures["bytes"])
    return figures


class Pipe:
    """A tool reading from its standard input, fed by a thread of its own so
    that the tools and the hashing all run at once."""

    def __init__(self, argv):
        self.process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        self.chunks = queue.Queue(maxsize=4)
        self.out = {}
        self.writer = threading.Thread(target=self._write, daemon=True)
        self.writer.start()
        self.readers = [threading.Thread(target=self._read, args=(name,), daemon=True)
                        for name in ("stdout", "stderr")]
        for reader in self.readers:
            reader.start()

    def _write(self):
        try:
            while (chunk := self.chunks.get()) is not None:
                self.process.stdin.write(chunk)
        except (BrokenPipeError, OSError):
            while self.chunks.get() is not None:    # drain, so put() never blocks
                pass
        finally:
            try:
                self.process.stdin.close()
            except OSError:
                pass

    def _read(self, name):
        self.out[name] = getattr(self.process, name).read().decode(errors="replace")

    def feed(self, chunk):
        self.chunks.put(chunk)

    def finish(self):
        self.chunks.put(None)
        self.writer.join()
        for reader in self.readers:
            reader.join()
        return self.process.wait(), self.out.get("stdout", ""), self.out.get("stderr", "")

    def kill(self):
        self.process.kill()
        self.chunks.put(None)
        self.writer.join()
        self.process.wait()


# --- one file ---------------------------------------------------------------

ZERO_DIGEST = hashlib.sha256(bytes(BLOCK)).digest()
POPCOUNT16 = np.array([bin(i).count("1") for i in range(1 << 16)], dtype=np.uint8)


class Unreadable(Exception):
    pass


def open_regular(path):
    try:
        handle = open(path, "rb")
    except OSError as error:
        raise Unreadable(error.strerror or str(error)) from None
    mode = os.fstat(handle.fileno()).st_mode
    if not stat.S_ISREG(mode):
        handle.close()
        raise Unreadable("not a regular file")
    return handle


def scan(path, index, seen, progress=None):
    """Reads one file once: hashes and counts the ones of each whole block and
    feeds the whole blocks to rngtest (two, taking chunks in turn, for the two
    cores) and ent."""
    handle = open_regular(path)
    size = os.fstat(handle.fileno()).st_size
    tools = []
    result = {"file": str(path), "zero_blocks": [], "duplicates": [], "ones": []}
    try:
        tools = [Pipe(["rngtest"]), Pipe(["rngtest"]), Pipe(["ent", "-t"])]
        carry, blocks, fed = b"", 0, 0
        while True:
            try:
                data = handle.read(CHUNK)
            except OSError as error:
                raise Unreadable(error.strerror or str(error)) from None
            if not data:
                break
            data = carry + data if carry else data
            whole = len(data) // BLOCK * BLOCK
            carry = data[whole:]
            if not whole:
                continue
            chunk = data[:whole]
            view = memoryview(chunk)
            for start in range(0, whole, BLOCK):
                digest = hashlib.sha256(view[start:start + BLOCK]).digest()
                if digest == ZERO_DIGEST:
                    result["zero_blocks"].append(blocks)
                elif digest in seen:
                    result["duplicates"].append({"block": blocks, "equals": seen[digest]})
                else:
                    seen[digest] = (index, blocks)
                blocks += 1
            words = np.frombuffer(chunk, dtype=np.uint16)
            result["ones"].append(POPCOUNT16[words].reshape(-1, BLOCK // 2)
                                  .sum(axis=1, dtype=np.int64))
            tools[fed % 2].feed(chunk)
            tools[2].feed(chunk)
            fed += 1
            if progress:
                progress(path, blocks * BLOCK, size)
        outputs = [tool.finish() for tool in tools]
        tools = []
    finally:
        handle.close()
        for tool in tools:
            tool.kill()
    result.update(size=blocks * BLOCK + len(carry), blocks=blocks, leftover=len(carry))
    result["ones"] = np.concatenate(result["ones"]) if result["ones"] else np.zeros(0, np.int64)
    # rngtest's status 1 only says some block failed; 10 and up are errors.
    used = outputs[:min(2, fed)]
    for status, _, err in used:
        if status >= 10:
            raise QualityError(f"rngtest failed (status {status}): {' '.join(err.split())[-200:]}")
    result["rngtest_raw"] = [parse_rngtest(err) for _, _, err in used]
    status, out, err = outputs[2]
    if blocks and status != 0:
        raise QualityError(f"ent failed (status {status}): {' '.join(err.split())[-200:]}")
    result["ent_raw"] = parse_ent(out) if blocks else None
    return result


def judge_rngtest(raws):
    tested = sum(raw[0] for raw in raws)
    failed = sum(raw[1] for raw in raws)
    tests = {}
    for name, rate in RNGTEST_RATES.items():
        count = sum(raw[2][name] for raw in raws)
        p = stats.binomtest(count, tested, rate, alternative="greater").pvalue if tested else 1.0
        tests[name] = {"failed": count, "expected": tested * rate, "p": p,
                       "pass": bool(p >= SHARE_RNGTEST)}
    return {"blocks": tested, "failed": failed, "tests": tests}


def judge_ent(raw):
    n = raw["bytes"]
    bounds = ent_bounds(n)
    p = float(stats.chi2.sf(raw["chi_square"], 255))
    error = raw["pi"] - math.pi
    low, high = bounds["chi_square_p"]
    return {
        "bytes": n,
        "entropy": {"value": raw["entropy"], "min": bounds["entropy_min"],
                    "pass": raw["entropy"] >= bounds["entropy_min"]},
        "chi_square": {"value": raw["chi_square"], "p": p, "p_range": [low, high],
                       "pass": low <= p <= high},
        "mean": {"value": raw["mean"], "bound": bounds["mean"],
                 "pass": abs(raw["mean"] - 127.5) <= bounds["mean"]},
        "serial_correlation": {"value": raw["serial_correlation"],
                               "bound": bounds["serial_correlation"],
                               "pass": abs(raw["serial_correlation"]) <= bounds["serial_correlation"]},
        "pi": {"value": raw["pi"], "error": error, "bound": bounds["pi_error"],
               "pass": abs(error) <= bounds["pi_error"]},
    }


def listed(indices, limit=10):
    text = ", ".join(str(i) for i in indices[:limit])
    return text + (f" and {len(indices) - limit} more" if len(indices) > limit else "")


def findings_of(result):
    found = []
    if result["blocks"] == 0:
        found.append("no whole block")
    expected = result.get("expected_size")
    if expected is None and result["leftover"]:
        found.append(f"a piece of {result['leftover']} bytes left over after the last whole block")
    elif expected is not None and result["size"] != expected:
        found.append(f"{result['size']} bytes where the runs generated {expected}")
    if result["zero_blocks"]:
        count = len(result["zero_blocks"])
        found.append(f"{count} all-zero block{'s' if count > 1 else ''}: {listed(result['zero_blocks'])}")
    for dup in result["duplicates"][:10]:
        found.append(f"block {dup['block']} equals {dup['file'] + ' ' if dup['file'] else ''}"
                     f"block {dup['other_block']}")
    if len(result["duplicates"]) > 10:
        found.append(f"{len(result['duplicates']) - 10} more repeated blocks")
    biased = result["biased_blocks"]
    if biased:
        found.append(f"{len(biased)} biased block{'s' if len(biased) > 1 else ''} (monobit): "
                     f"{listed([b['block'] for b in biased])}")
    if result["rngtest"]:
        for name, test in result["rngtest"]["tests"].items():
            if not test["pass"]:
                found.append(f"rngtest {name}: {test['failed']} of {result['rngtest']['blocks']} "
                             f"blocks failed, {test['expected']:.3g} expected (p={test['p']:.2g})")
    if result["ent"]:
        ent = result["ent"]
        for name, figure in ent.items():
            if isinstance(figure, dict) and not figure["pass"]:
                found.append(f"ent {name.replace('_', ' ')} {figure['value']:.6g} out of bounds")
    return found


def test_files(paths, progress=None, sizes=None):
    """One result per path, in order. A file that cannot be read has only
    "file", "error" and "verdict"; QualityError when a tool is missing or
    fails. sizes: each file's length as its writer knows it, where a piece
    after the last whole block is then no fault but a size other than that
    one is."""
    check_tools()
    seen, results = {}, []
    for index, path in enumerate(paths):
        try:
            results.append(scan(path, index, seen, progress))
            if sizes is not None:
                results[-1]["expected_size"] = sizes[index]
        except Unreadable as error:
            results.append({"file": str(path), "error": f"cannot read: {error}",
                            "verdict": "FAIL"})
    names = [str(path) for path in paths]
    # A block met again in another file is named in both files.
    for own, result in enumerate(results):
        if "error" in result:
            continue
        for dup in result["duplicates"]:
            other, other_block = dup.pop("equals")
            dup.update(file="" if other == own else names[other], other_block=other_block)
            if other != own:
                results[other]["duplicates"].append(
                    {"block": other_block, "file": names[own], "other_block": dup["block"]})
    for result in results:
        if "error" in result:
            continue
        result["duplicates"].sort(key=lambda d: d["block"])
        ones = result.pop("ones")
        p = block_p_values(ones)
        limit = SHARE_BLOCKS / max(1, len(ones))
        result["block_p_min"] = float(p.min()) if len(p) else None
        result["block_p_limit"] = limit
        zero = set(result["zero_blocks"])      # named already
        result["biased_blocks"] = [{"block": int(i), "ones": int(ones[i]), "p": float(p[i])}
                                   for i in np.flatnonzero(p < limit) if int(i) not in zero]
        raws = result.pop("rngtest_raw")
        result["rngtest"] = judge_rngtest(raws) if raws else None
        raw = result.pop("ent_raw")
        result["ent"] = judge_ent(raw) if raw else None
        result["findings"] = findings_of(result)
        result["verdict"] = "FAIL" if result["findings"] else "PASS"
    return results


def verdict_line(result):
    if "error" in result:
        return f"{result['file']}: FAIL: {result['error']}"
    if result["verdict"] == "PASS":
        return f"{result['file']}: PASS"
    return f"{result['file']}: FAIL: " + "; ".join(result["findings"])


def report_text(result):
    if "error" in result:
        return verdict_line(result)
    lines = [f"{result['file']}: {result['blocks']} blocks of {BLOCK} bytes, "
             f"{result['leftover']} bytes left over",
             f"  blocks: {len(result['zero_blocks'])} all-zero, {len(result['duplicates'])} "
             f"repeated, {len(result['biased_blocks'])} biased (monobit p < "
             f"{result['block_p_limit']:.3g}; lowest p {result['block_p_min'] or 0:.3g})"]
    rng = result["rngtest"]
    if rng:
        per_test = ", ".join(f"{name} {t['failed']} ({t['expected']:.3g} expected)"
                             for name, t in rng["tests"].items())
        lines.append(f"  rngtest: {rng['blocks']} blocks of 20000 bits, {rng['failed']} failed: "
                     f"{per_test}")
    ent = result["ent"]
    if ent:
        lines.append(
            f"  ent: entropy {ent['entropy']['value']:.6f} (at least {ent['entropy']['min']:.6f}), "
            f"chi-square {ent['chi_square']['value']:.2f} p={ent['chi_square']['p']:.3g} "
            f"(within [{ent['chi_square']['p_range'][0]:.2g}, {ent['chi_square']['p_range'][1]:.6g}]), "
            f"mean {ent['mean']['value']:.4f} (127.5 ± {ent['mean']['bound']:.4f})")
        lines.append(
            f"       serial correlation {ent['serial_correlation']['value']:.6f} "
            f"(± {ent['serial_correlation']['bound']:.6f}), Monte Carlo pi {ent['pi']['value']:.6f} "
            f"error {ent['pi']['error']:+.6f} (± {ent['pi']['bound']:.6f})")
    lines.append(verdict_line(result))
    return "\n".join(lines)


# --- a comparison's variants ------------------------------------------------

KEPT = "kept.bin"
# rand_lab --keep holds every byte of a run in memory, this many at most.
KEEP_MAX = 268435456


def calls_of(args):
    return int(args[args.index("--calls") + 1]) if "--calls" in args else 1024


def keep_and_test(variants, rounds, cpus=None):
    """bench/compare-openssl --quality, after the rounds: rounds runs of
    bench/rand_lab --keep per generator variant, unmeasured, each with the
    variant's build, configuration and calls (a variant of the program
    itself: RAND_bytes of one block, 1024 calls, one thread, the program's
    calls), appending to KEPT in the variant's folder, which then holds this
    invocation's bytes alone. The measured runs keep nothing: a buffer of
    every call's bytes slows rand_lab's calls of 16 KiB by some 8%, which
    would put a step in the variant's series. The files are tested together,
    so a block two variants share is found. Returns the report's lines."""
    companions, lines = [], []
    try:
        for v in variants:
            if v.cipher:
                continue
            kept = v.folder / KEPT
            try:
                kept.unlink(missing_ok=True)
                work = tempfile.mkdtemp(dir=v.folder, prefix=".keeping-")
            except OSError as error:
                raise LabError(f"{v.name}: cannot make room for {kept}: {files.why(error)}") from error
            args = v.args if v.args is not None else ["--bytes", str(BLOCK), "--threads", "1"]
            # Its records land in the scratch folder, apart from the series.
            companion = dataclasses.replace(v, args=[*args, "--keep", str(kept)],
                                            folder=Path(work), runs=[],
                                            before=0)
            files.write_whole(companion.folder / "openssl.cnf", v.config)
            companions.append((v, companion, rounds * v.threads * calls_of(args) * v.bytes))
        print(f"compare-openssl: keeping each variant's bytes: {rounds} unmeasured run"
              f"{'s' if rounds > 1 else ''} of bench/rand_lab --keep each", file=sys.stderr)
        runner.run_rounds([c for _, c, _ in companions], rounds, cpus=cpus)
    finally:
        for _, companion, _ in companions:
            shutil.rmtree(companion.folder, ignore_errors=True)
    tested = [(v, size) for v, _, size in companions if size >= BLOCK]
    print(f"compare-openssl: testing the bytes of {len(tested)} variant"
          f"{'s' if len(tested) != 1 else ''}", file=sys.stderr)
    results = test_files([v.folder / KEPT for v, _ in tested], Progress(),
                         [size for _, size in tested])
    verdicts = {v.name: result for (v, _), result in zip(tested, results)}
    rows = []
    for v in variants:
        result = verdicts.get(v.name)
        if v.cipher:
            verdict, kept = "not a generator", ""
        elif result is None:
            verdict, kept = "too few bytes to test", ""
        else:
            verdict = result["verdict"]
            size = result.get("size", 0)
            kept = (f"{size / 2 ** 20:.1f} MiB" if size >= 2 ** 20 else f"{size / 1024:.1f} KiB")
        rows.append([v.name, text.number(runner.run_median(v), 0), kept, verdict])
    lines += ["", f"Quality of each generator's bytes: after the rounds, {rounds} unmeasured "
              f"run{'s' if rounds > 1 else ''} of bench/rand_lab --keep", "per variant with its "
              "build, configuration and calls (the program's variants: RAND_bytes of 16384",
              "bytes, 1024 calls), its bytes in VARIANT/kept.bin, tested as tools/quality tests "
              "a file; a good", "generator fails less than once in 1,000.", "",
              text.table(["variant", "median", "kept", "quality"], rows)]
    for name, result in verdicts.items():
        if result["verdict"] != "PASS":
            lines.append(textwrap.fill(f"{name}: " + "; ".join(result.get("findings")
                                                               or [result.get("error", "?")]),
                                       width=text.WIDTH, initial_indent="  ",
                                       subsequent_indent="      "))
    return lines
