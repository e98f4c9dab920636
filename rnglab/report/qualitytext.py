"""tools/quality's results as words: each finding a sentence, and a file's
report of a few lines ending in its verdict line. Nothing here computes a
figure: rnglab.quality does."""

import os

from rnglab.report.text import plural
from rnglab.record import BLOCK


def listed(labels, total=None, limit=10):
    total = len(labels) if total is None else total
    text = ", ".join(str(label) for label in labels[:limit])
    return text + (f" and {total - limit} more" if total > limit else "")


def unit_words(result):
    return ("block", "blocks") if result["layout"] is None else ("request", "requests")


def block_findings(result):
    """What is wrong with the file's size, layout and units."""
    found = [result["too_few"]] if result["too_few"] else []
    found += result["layout_findings"]
    expected = result.get("expected_size")
    if expected is not None and result["size"] != expected:
        found.append(f"{result['size']} bytes where the runs generated {expected}")
    one, many = unit_words(result)
    if result["zero_count"]:
        found.append(f"{plural(result['zero_count'], 'all-zero ' + one, 'all-zero ' + many)}: "
                     f"{listed(result['zero'], result['zero_count'])}")
    found += [f"{dup['at']} equals {dup['file'] + ' ' if dup['file'] else ''}{dup['equals']}"
              for dup in result["duplicates"][:10]]
    if result["duplicates_count"] > 10:
        found.append(f"{result['duplicates_count'] - 10} more repeated {many}")
    if result["biased_count"]:
        one, many = (one, many) if result["pieces_are_units"] else ("piece", "pieces")
        biased = [b["at"] for b in result["biased"]]
        found.append(f"{plural(result['biased_count'], 'biased ' + one, 'biased ' + many)} "
                     f"(monobit): {listed(biased, result['biased_count'])}")
    return found


def findings_of(result):
    found = block_findings(result)
    rng = result["rngtest"]
    if rng:
        found += [f"rngtest {name}: {test['failed']} of {rng['blocks']} blocks failed, "
                  f"{test['expected']:.3g} expected (p={test['p']:.2g})"
                  for name, test in rng["tests"].items() if not test["pass"]]
    if result["ent"]:
        found += [f"ent {name.replace('_', ' ')} {figure['value']:.6g} out of bounds"
                  for name, figure in result["ent"].items()
                  if isinstance(figure, dict) and not figure["pass"]]
    return found


def verdict_line(result):
    if "error" in result:
        return f"{result['file']}: FAIL: {result['error']}"
    if result["verdict"] == "PASS":
        return f"{result['file']}: PASS"
    return f"{result['file']}: FAIL: " + "; ".join(result["findings"])


def units_line(result):
    """What the file holds, in its units."""
    if result["layout"] is None:
        return (f"{result['file']}: {plural(result['units'], 'block')} of {BLOCK} bytes, "
                f"{plural(result['leftover'], 'byte')} left over")
    sizes = result["unit_sizes"]
    held = (f"{plural(result['units'], 'request')} of {plural(sizes[0]['bytes'], 'byte')}"
            if len(sizes) == 1 else f"{plural(result['units'], 'request')} ("
            + ", ".join(f"{s['units']} of {plural(s['bytes'], 'byte')}" for s in sizes) + ")")
    return (f"{result['file']}: {held} in {plural(result['runs'], 'run')}, as "
            f"{os.path.basename(result['layout'])} lays them out, "
            f"{plural(result['leftover'], 'byte')} left over")


def pieces_lines(result):
    """The zero, repeated and biased units, and the sizes too short to look
    for repeats among."""
    _, many = unit_words(result)
    lines = []
    if result["pieces"]:
        lines.append(f"  {many}: {result['zero_count']} all-zero, {result['duplicates_count']} "
                     f"repeated, {result['biased_count']} biased (monobit p < "
                     f"{result['piece_p_limit']:.3g}; lowest p {result['piece_p_min']:.3g})")
    for s in result["unit_sizes"]:
        if s["units"] and not s["repeats_looked_for"]:
            lines.append(f"  zero and repeated {many} of {plural(s['bytes'], 'byte')} not "
                         f"looked for: among {s['units']}, a true random source makes one with "
                         f"chance {s['repeat_chance']:.2g}")
    return lines


def report_text(result):
    if "error" in result or result["size"] == 0:
        return verdict_line(result)
    lines = [units_line(result), *pieces_lines(result)]
    rng = result["rngtest"]
    if rng:
        per_test = ", ".join(f"{name} {t['failed']} ({t['expected']:.3g} expected)"
                             for name, t in rng["tests"].items())
        lines.append(f"  rngtest: {rng['blocks']} blocks of 20000 bits, {rng['failed']} failed: "
                     f"{per_test}")
    ent = result["ent"]
    if ent:
        chi, serial, pi = ent["chi_square"], ent["serial_correlation"], ent["pi"]
        lines.append(
            f"  ent: entropy {ent['entropy']['value']:.6f} (at least {ent['entropy']['min']:.6f}), "
            f"chi-square {chi['value']:.2f} p={chi['p']:.3g} "
            f"(within [{chi['p_range'][0]:.2g}, {chi['p_range'][1]:.6g}]), "
            f"mean {ent['mean']['value']:.4f} (127.5 ± {ent['mean']['bound']:.4f})")
        lines.append(
            f"       serial correlation {serial['value']:.6f} "
            f"(± {serial['bound']:.6f}), Monte Carlo pi {pi['value']:.6f} "
            f"error {pi['error']:+.6f} (± {pi['bound']:.6f})")
    lines.append(verdict_line(result))
    return "\n".join(lines)
