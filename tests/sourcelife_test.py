"""Each source's life and the answer: the documented periods against the
ones found, fork safety measured or documented, the cheapest generator
named, and the whole report on samples drawn here printed as it did."""

import json
import types

import numpy as np
import pytest

from rnglab import answer, comparison, documented, files, forksafety, randlab, runner
from rnglab.report import labtext
from rnglab import sequential, sourcelife, sources, stats, variants
from rnglab.errors import LabError
from tests.helpers import expected, fork_probe


def test_every_source_rand_lab_lists_has_its_documentation():
    assert set(randlab.source_names()) == set(documented.DOCUMENTED)
    with pytest.raises(LabError, match="nothing documented for the source nope"):
        documented.expected_period("nope", 16)


@pytest.mark.parametrize("source, bytes_, calls", [
    # OpenSSL's interval of 2^16 counted from 1; a call of 128 KiB is two requests.
    ("openssl", 16, 65535), ("openssl", 131072, 32768),
    ("boringssl", 32, 4096), ("mbedtls", 16, 10000), ("mbedtls", 16384, 625),
    ("mbedtls", 1500, 5000), ("gnutls", 32, 65536), ("gnutls", 16384, 128),
    ("gnutls", 3000, 700), ("botan-user", 16, 1024), ("wolfssl", 16, 1000000),
    ("libsodium", 32, None), ("vdso", 16, None),
])
def test_a_documented_period_counts_rand_labs_calls_of_that_size(source, bytes_, calls):
    assert documented.expected_period(source, bytes_) == calls


def found(period, reason=None, cost=None, median=800.0):
    return {"period": period, "reason": reason, "median": median,
            "cost": None if cost is None else {"median": cost}}


@pytest.mark.parametrize("expected_, finding, code", [
    (4096, found(4096), "as-expected"),
    (4096, found(4095), "as-expected"),  # a generator counts its set-up
    (4096, found(8192), "other-period"),
    (10000, found(None, "none"), "not-found"),
    (1000000, found(None, "too-short"), "too-short"),
    (None, found(None, "none"), "none-expected"),
    (None, found(1024), "unexpected"),
    # A period at a usual call's cost is the timing's pattern, not a reseed...
    (None, found(512, cost=804.0), "faint"),
    (4096, found(512, cost=950.0), "faint"),
    # ... but one at a reseed's cost is told as found, and a documented one stays so.
    (None, found(512, cost=970.0), "unexpected"),
    (4096, found(512, cost=4000.0), "other-period"),
    (4096, found(4096, cost=804.0), "as-expected"),
])
def test_a_period_found_is_told_against_the_documented_one(expected_, finding, code):
    assert sourcelife.agreement(expected_, finding) == code


def checked(source, results, version=None):
    """A variant of source at version whose runs' fork checks came to results."""
    v = variants.Variant(f"x+{source}", None, f"source {source}", "", rand_lab=True,
                         source=source, fork=True, source_version=version)
    v.runs = [runner.Run(k, 0, 0, [], "", value=1.0, fork={"result": r} if r else None)
              for k, r in enumerate(results, start=1)]
    return v


REPEATS, HUNG, NOT_KNOWN = "its child repeats", "its child's first request hung", "not known"


# said: how the answer's line under "Not fork-safe here" begins; None: safe.
@pytest.mark.parametrize("source, version, results, safe, verdict, basis, said", [
    ("openssl", None, ["differ", "differ"], True, "differ", forksafety.MEASURED, None),
    ("openssl", None, ["differ", "repeats"], False, "repeats", forksafety.MEASURED, REPEATS),
    ("libgcrypt", None, ["differ", "hangs"], False, "hangs", forksafety.MEASURED, HUNG),
    # A check made here is the finding, whatever is documented for the version.
    ("wolfssl", "5.9.0", ["differ"], True, "differ", forksafety.MEASURED, None),
    # Unchecked: what is documented for the version, at the ends of its range...
    ("mbedtls", "2.28.3", [None, None], False, "repeats", forksafety.DOCUMENTED, REPEATS),
    ("wolfssl", "5.7.2", [], False, "repeats", forksafety.DOCUMENTED, REPEATS),
    ("botan-user", "2.19.5", [], True, "differ", forksafety.DOCUMENTED, None),
    ("openssl", "OpenSSL 1.1.1w 11 Sep 2023", [], True, "differ", forksafety.DOCUMENTED, None),
    # ... whatever the version of a source that keeps no state ...
    ("rdrand", "instruction", [], True, "differ", forksafety.DOCUMENTED, None),
    # ... and unknown past it (wolfSSL has since reseeded after fork), or
    # for a version the lab cannot read: no guess.
    ("wolfssl", "5.9.0", [], False, "unknown", forksafety.DOCUMENTED, NOT_KNOWN),
    ("mbedtls", "2.28.2", [], False, "unknown", forksafety.DOCUMENTED, NOT_KNOWN),
    ("openssl", "OpenSSL 4.0.0 7 Apr 2026", [], False, "unknown", forksafety.DOCUMENTED,
     NOT_KNOWN),
    ("gnutls", None, [], False, "unknown", forksafety.DOCUMENTED, NOT_KNOWN),
])
def test_fork_safety_is_this_runs_where_it_checked_else_the_documented(
        source, version, results, safe, verdict, basis, said):
    found = forksafety.safety([checked(source, results, version)])[source]
    assert (found["safe"], found["verdict"], found["basis"]) == (safe, verdict, basis)
    lines = answer.unsafe_lines({"safety": [found]})
    if said is None:
        assert lines == []
    else:
        heading = "Not fork-safe here, or not known to be:" if said == NOT_KNOWN else \
            "Not fork-safe here:"
        assert lines[1] == heading and lines[2].startswith(f"  {source}: {said}")


def test_every_source_built_here_forks_as_documented_for_its_version():
    """What the fork probe finds for each source in this build agrees with
    the lab's documented verdict for its version, unless that is unknown: a
    range that holds a version it should not fails here."""
    probes = {name: fork_probe(name) for name in randlab.source_names()}
    for name, (version, found) in ((n, p) for n, p in probes.items() if p):
        assert forksafety.documented_verdict(name, version) in (found, "unknown"), \
            f"{name} {version}: the fork probe found {found}"
    assert probes["openssl"]


def row(source, ratio, n=32, threads=1):
    c = stats.reference(4) if source == "openssl" else \
        {"ratio": ratio, "low": ratio * 0.9, "high": ratio * 1.1, "verdict": "faster"}
    return {"source": source, "bytes": n, "threads": threads, "ticks": 1000 * ratio,
            "x_openssl": c}


def safety(unsafe=(), basis=forksafety.DOCUMENTED):
    names = ["openssl", "mbedtls", "vdso", "getrandom", "boringssl"]
    return {n: {"source": n, "safe": n not in unsafe, "basis": basis} for n in names}


@pytest.mark.parametrize("rows, unsafe, safe_pick, cheapest, place", [
    # The cheapest of all repeats after fork: the next one is the answer.
    ([row("openssl", 1), row("mbedtls", 0.2), row("vdso", 0.05), row("getrandom", 0.4)],
     ["vdso"], "mbedtls", "vdso", (4, 4, 3, 3)),
    ([row("openssl", 1), row("mbedtls", 1.6), row("boringssl", 0.8)], ["mbedtls"],
     "boringssl", "boringssl", (2, 3, 2, 2)),
    # OpenSSL's own is the cheapest.
    ([row("openssl", 1), row("getrandom", 9.7)], [], "openssl", "openssl", (1, 2, 1, 2)),
    ([row("openssl", 1), row("mbedtls", 0.5)], ["openssl", "mbedtls"], None, "mbedtls",
     (2, 2, None, 0)),
])
def test_the_answer_names_the_cheapest_fork_safe_and_openssls_place(
        rows, unsafe, safe_pick, cheapest, place):
    t = answer.answer_table(rows, safety(unsafe))
    (r,) = t["rows"]
    assert (r["cheapest_safe"] or {}).get("source") == safe_pick
    assert r["cheapest"]["source"] == cheapest
    o = r["openssl"]
    assert (o["rank"], o["of"], o["safe_rank"], o["safe_of"]) == place
    assert t["basis"] == forksafety.DOCUMENTED


# --- the whole report, on samples drawn here ---------------------------------------

CALLS = 4096
# source: (ticks per call against OpenSSL's, reseed spikes every so many
# calls or None, each run's fork result). A run whose child hangs appends
# no record and no sample, and has no figure.
DRAWN = {
    "openssl": (1.0, None, ["differ"] * 3),
    "botan-user": (0.6, 1024, ["differ"] * 3),
    "mbedtls": (0.3, None, ["repeats"] * 3),
    "libsodium": (1.5, None, ["differ"] * 3),
    "libgcrypt": (2.0, 512, ["differ", "hangs", "differ"]),
    "gnutls": (0.8, None, ["hangs"] * 3),
}


def samples_text(rng, period, runs=3):
    """Per run the parent's thread 1 and the child's, as rand_lab writes
    them: a slow first call, reseed spikes every period calls, interrupts."""
    lines = ["thread,call,ticks"]
    for _ in range(runs):
        for thread in (1, 2):
            x = rng.normal(4000, 60, CALLS).round().astype(int)
            x[0] = 90000 if thread == 1 else 150000
            if period:
                x[period::period] += 30000
            x[rng.integers(1, CALLS, 3)] += 60000
            lines += [f"{thread},{c},{v}" for c, v in enumerate(x)]
    return "\n".join(lines) + "\n"


def drawn_variants(tmp_path):
    rng = np.random.default_rng(32)
    build = variants.Build("system-shared", tmp_path, False, {"version": "OpenSSL 3.0.19"})
    made = []
    for k, (source, (factor, period, forks)) in enumerate(DRAWN.items()):
        v = variants.variant(build, variants.DEFAULT_GENERATOR, None, (16, 1, False), CALLS,
                             source=source, fork=True)
        v.samples = "samples.csv"
        v.folder = tmp_path / v.name
        v.folder.mkdir()
        landed = [f != "hangs" for f in forks]
        (v.folder / v.samples).write_text(samples_text(rng, period, sum(landed)))
        ticks = [4000 * factor * (1 + (r * (k + 1)) % 3 / 50) if fine else None
                 for r, fine in zip((1, 2, 3), landed)]
        v.runs = [runner.Run(r, 0, r - 1, [{"median": t}] if t else [], "", value=t, rate=1e5,
                             fork={"result": f})
                  for r, (t, f) in enumerate(zip(ticks, forks), start=1)]
        made.append(v)
    return made


def test_the_sources_lives_and_the_answer_print_as_they_did(tmp_path):
    args = types.SimpleNamespace(rounds=3, lifecycle=True, plot=tmp_path / "life.png",
                                 out=tmp_path, views=[variants.DEFAULT_VIEW], sources=True)
    tables = comparison.sources_tables(args, drawn_variants(tmp_path), [], 3)
    assert [t["table"] for t in tables] == ["sources", "source_lifecycle", "percentiles",
                                            "answer"]
    assert (tmp_path / "life.png").stat().st_size > 0
    text = labtext.render(tables[1:]).replace(str(tmp_path), "DIR")
    assert text == expected("sources-lifecycle.txt")
    # A source whose every child hung has no figure in the sources' table either.
    [hung] = [r for r in tables[0]["rows"] if r["source"] == "gnutls"]
    assert (hung["ticks"], hung["x_openssl"]["ratio"], hung["calls_per_s"]) == (None, None, None)
    assert "nan" not in labtext.render(tables[:1])
    again = json.loads(json.dumps(files.plain(tables[1:])))
    assert labtext.render(again).replace(str(tmp_path), "DIR") == text


@pytest.mark.parametrize("design, nominal", [(None, False),
                                             ({"precision": 0.01, "final": True}, True)])
def test_the_fit_says_its_intervals_are_nominal_in_rounds_until_decided(
        tmp_path, design, nominal):
    build = variants.Build("system-shared", tmp_path, False, {"version": "OpenSSL 3.0.19"})
    made = sources.make_variants(build, {"openssl": "OpenSSL 3.0.19", "getrandom": "Linux"},
                                 [32, 1024], [1], 64)
    for k, v in enumerate(made):
        v.runs = [runner.Run(r, 0, 0, [], "", value=(1000.0 + 400 * k) * (1 + r % 3 / 100) +
                             v.bytes * (1 + k)) for r in range(1, 10)]
    with sequential.judging(design):
        t = sources.report(made, 9, [])
    fit = t["fit"]
    assert [fit.get("interval"), fit["headline"].get("interval")] == [
        "nominal" if nominal else None] * 2
    assert ("These intervals and tests are nominal" in " ".join(
        labtext.render([t]).split())) == nominal
