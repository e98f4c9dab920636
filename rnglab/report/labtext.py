"""bench/compare-openssl's tables (rnglab.report.labreport, rnglab.sources,
rnglab.lifecycle, rnglab.kept) as text, from their data alone."""

from rnglab import answer, kept, lifecycle, sourcelife, sources, views
from rnglab.report import text
from rnglab.record import BLOCK, RESULTS_FILE
from rnglab.report.text import number, table


def cells(c, alpha, first="reference", what="round"):
    """A comparison's ratio, interval and verdict cells; the row the others
    are measured against has a ratio of 1 and the word first."""
    if c["verdict"] == "reference":
        return ["1.000", "", first]
    return [text.ratio(c), text.interval(c), text.short_verdict(c, alpha, what)]


def variants_lines(t):
    header = ["build", "libcrypto" if t["builds_only"] else "generator", "probe saw", "median",
              "low-high", "x ref", "95% CI", "verdict"]
    rows = [[r["build"], r["libcrypto"] if t["builds_only"] else r["generator"], r["probe_saw"],
             number(r["median"], 0), f"{number(r['min'], 0)}-{number(r['max'], 0)}",
             *cells(r["x_ref"], t["alpha"])] for r in t["rows"]]
    lines = [f"RAND_bytes({BLOCK}): median of {text.plural(t['rounds'], 'run median')} per "
             "variant, in TSC ticks, runs interleaved", "",
             table(header, rows, left=3), ""]
    if any(r["x_ref"].get("interval") == "sequential" for r in t["rows"]):
        lines += text.paragraph(f"x ref: against {t['reference']} with the library's default "
                                "generator, the median over rounds of the ratio within each "
                                "round (one processor ran both), with the sequential rule's "
                                "interval and verdict (see Rounds above).")
    else:
        lines += [f"x ref: against {t['reference']} with the library's default generator, the "
                  "median over rounds of the ratio", "within each round (one processor ran "
                  "both), with its 95% bootstrap interval; the verdict is the", "Wilcoxon "
                  "signed-rank test's at 0.05."]
    lines += [f"{c['variant']} ({c['generator']}): the probe saw {c['probe_saw']}"
              for c in t["configs"]]
    return lines


def processors_lines(t):
    header = ["variant", "cpu", "runs", "median", "x first cpu", "95% CI", "verdict"]
    rows = []
    for r in t["rows"]:
        first = r["x_first"]["verdict"] == "reference"
        rows.append([r["variant"] if first else "", str(r["cpu"]), str(r["runs"]),
                     number(r["median"]), *cells(r["x_first"], t["alpha"], "", "run")])
    return ["", "Per processor: each variant's run medians on each processor, against the "
            "first one (U test)", "", table(header, rows)]


def fit_cells(f):
    return [f["generator"], f"{f['a']:.0f}", f"{f['b']:.3f}",
            "n/a" if f["b_low"] is None else f"{f['b_low']:.3f}-{f['b_high']:.3f}",
            "n/a" if f["cipher_b"] is None else f"{f['cipher_b']:.3f}",
            "n/a" if f["b_over_cipher_b"] is None else f"{f['b_over_cipher_b']:.2f}",
            "" if f["cipher_share"] is None else f"{f['cipher_share'] * 100:.0f}%"]


def sizes_lines(t):
    header = ["ticks per call"] + [f"{n} B" for n in t["sizes"]]
    rows = [[f"{r['build']} cipher" if r["cipher"] else r["generator"]] +
            ["" if x is None else number(x) for x in r["ticks"]] for r in t["rows"]]
    lines = [f"Request sizes: median of {text.plural(t['rounds'], 'run median')} per size, TSC "
             "ticks per call, "
             "one thread", "", table(header, rows)]
    if t["fit"] is None:
        # A line through one size is any line: there is nothing to fit.
        lines += ["", "One request size: no fit of ticks = a + b x bytes (it takes two sizes "
                  "or more)."]
    else:
        header = ["generator", "a", "b", "b 95% CI", "cipher b", "b / cipher b",
                  f"cipher share, {t['share_bytes']} B"]
        lines += ["", "Fit of ticks = a + b x bytes over every run (Theil-Sen): a is a call's "
                  "fixed cost in ticks, b its", "cost in ticks per byte; cipher b is "
                  "AES-256-CTR's own, the floor of a CTR-DRBG call; the", "cipher's share is "
                  "its ticks over the generator's at that size.", "",
                  table(header, [fit_cells(f) for f in t["fit"]])]
    if t["against"] is not None:
        header = ["against " + t["against"]["reference"], "bytes", "x ref", "95% CI", "verdict"]
        rows = [[r["generator"], str(r["bytes"]), *cells(r["x_ref"], t["alpha"])]
                for r in t["against"]["rows"]]
        lines += ["", table(header, rows)]
    return lines


def threads_lines(t):
    header = ["generator", "bytes", "threads", "ticks/call", "x 1 thread", "95% CI", "verdict",
              "calls/s", "x 1 thread"]
    rows = [[r["generator"], str(r["bytes"]), str(r["threads"]), number(r["ticks"]),
             *cells(r["x_one"], t["alpha"]), rate_cell(r["calls_per_s"]),
             "1.00" if r["x_one"]["verdict"] == "reference" else rate_cell(r["calls_x_one"], 2)]
            for r in t["rows"]]
    return [*text.paragraph(f"Threads: median over {text.plural(t['rounds'], 'run')} of the "
                            "threads' record medians, TSC ticks per call; " + text.RATE_METHOD),
            "", table(header, rows), "",
            f"This run may use {text.plural(t['processors'], 'processor')}: past that, threads "
            "take turns rather than contend."]


def rate_cell(value, decimals=0):
    return "n/a" if value is None else f"{value:.{decimals}f}"


def builds_lines(t):
    lines = ["", "How each library was built (static or shared, and "
             "OpenSSL_version(OPENSSL_CFLAGS)):"]
    lines += [text.wrapped(f"{b['name']}, {b['version']}, {'static' if b['static'] else 'shared'}"
                           f": {b['cflags']}") for b in t["builds"]]
    if t["fips"]:
        lines.append(f"  {t['fips']} is a build of the FIPS provider's source, not a "
                     "validated module.")
    lines += ["", f"Each variant's series: {t['out']}/VARIANT/{RESULTS_FILE} (tools/series reads "
              "them), beside", "its openssl.cnf and provenance.txt."]
    if t["rounds"] < t["few_rounds"]:
        lines.append(f"With fewer than {t['few_rounds']} rounds the intervals are wide and "
                     "the tests weak; 10 or more tell variants apart.")
    return lines


def rounds_lines(t):
    """How rounds run until decided ended, and what their intervals are."""
    return [*text.paragraph(text.rounds_summary(t), text.first_decided(t)), *text.paragraph(
        "Every ratio within rounds below (x ref, x 1 thread, x openssl) is judged by the "
        "sequential rule: faster or slower when its interval lies wholly on one side of 1, the "
        "same when it holds 1 and is narrower than twice the precision.",
        text.sequential_sentence(t))]


def noise_lines(t):
    return ["", *text.noise_lines(t, "each variant's provenance.txt keeps")]


RENDERERS = {"rounds": rounds_lines, "noise": noise_lines, "variants": variants_lines,
             "processors": processors_lines, "sizes": sizes_lines,
             "threads": threads_lines, "builds": builds_lines, "sources": sources.report_lines,
             "lifecycle": lifecycle.lifecycle_lines, "percentiles": lifecycle.percentiles_lines,
             "quality": kept.lines_of, "views": views.lines_of,
             "source_lifecycle": sourcelife.lifecycle_lines, "answer": answer.answer_lines}
# Tables that follow another with a blank line of their own between them.
SPACED = {"threads", "percentiles", "views", "source_lifecycle"}


def render(tables):
    """The text of a comparison's tables, in their order."""
    lines = []
    for k, t in enumerate(tables):
        if k and (t["table"] in SPACED or tables[k - 1]["table"] == "rounds"):
            lines.append("")
        lines += RENDERERS[t["table"]](t)
    return "\n".join(lines)
