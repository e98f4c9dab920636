"""Whether a source's fork child gets fresh bytes: from this invocation's
fork checks (rand_lab --fork, whose finding each run keeps as run.fork),
else from what is documented for the source's version (rnglab.documented),
always saying which; "unknown" where nothing is, never a guess."""

from rnglab import documented

MEASURED = "measured"
DOCUMENTED = "documented"


def variant_verdict(v):
    """This invocation's fork checks of one variant: in how many runs the
    child repeated its parent or hung; None where it ran none."""
    found = [r.fork for r in v.runs if r.fork]
    if not found:
        return None
    repeats = sum(f["result"] == "repeats" for f in found)
    hangs = sum(f["result"] == "hangs" for f in found)
    return {"verdict": "repeats" if repeats else "hangs" if hangs else "differ",
            "runs": len(found), "repeats": repeats, "hangs": hangs}


def documented_verdict(source, version):
    repeats = documented.repeats_after_fork(source, version)
    return "unknown" if repeats is None else "repeats" if repeats else "differ"


def safety(variants):
    """Per source, in the variants' order: safe (its child's bytes differ
    from the parent's in every check, or as documented for its version),
    the verdict (differ, repeats, hangs, or unknown where it made no check
    and its version has no documented fact: not safe), and its basis,
    MEASURED over all its variants' checks or DOCUMENTED."""
    checks, versions = {}, {}
    for v in variants:
        checks.setdefault(v.source, [])
        versions.setdefault(v.source, v.source_version)
        found = variant_verdict(v)
        if found:
            checks[v.source].append(found)
    safe = {}
    for source, found in checks.items():
        if found:
            repeats = sum(f["repeats"] for f in found)
            hangs = sum(f["hangs"] for f in found)
            verdict = "repeats" if repeats else "hangs" if hangs else "differ"
            safe[source] = {"source": source, "safe": verdict == "differ", "verdict": verdict,
                            "basis": MEASURED, "runs": sum(f["runs"] for f in found),
                            "repeats": repeats, "hangs": hangs}
        else:
            verdict = documented_verdict(source, versions[source])
            safe[source] = {"source": source, "safe": verdict == "differ", "verdict": verdict,
                            "basis": DOCUMENTED, "runs": 0, "repeats": 0, "hangs": 0}
    return safe
