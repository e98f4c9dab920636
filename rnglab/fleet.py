"""Many machines, one table: the records tools/fleet record wrote, read
back, checked and put side by side as data (rnglab.report.fleettext prints them).

A record is one machine's run of the standard measurements, as files
RESULTS/KEY/STAMP-PART.json, one per part (PARTS), each the --json
document of the command that took it with "record" (the part) and
"recorded" (when the record began, UTC) beside its fields. The report
reads any set of them:

  machines  one row per machine (its key, docs/json.md), its latest record
            with a sources part: processor, counter, CPUID's cost,
            library versions, the figures' verdict;
  sources   per source, size and view, each machine's ratio to OpenSSL's
            RAND_bytes with its interval and verdict as its record gives
            them, and its nanoseconds per call (ticks over that machine's
            counter rate); across machines, the geometric mean of the
            ratios with the lowest and highest (a description of these
            machines, not an estimate for others) and how many machines
            give each verdict; the libraries whose versions differ between
            the machines in the row;
  answers   per size and view, each machine's cheapest fork-safe generator
            (fork safety from its record's fork checks, else as its
            library documents) and whether the machines agree;
  history   every record of every machine, by date.

A file that is not whole JSON, not of this schema, not a part of a record
or not a whole part stops the report with one line naming it: a fleet
table silently short of a machine would be read as the fleet's."""

import json
import math
from pathlib import Path

from rnglab import answer, machine
from rnglab.errors import LabError
from rnglab.provenance import SCHEMA
from rnglab.sources import REFERENCE

# A record's parts and the command whose document each is.
PARTS = {"sources": "compare-openssl", "fork": "compare-openssl", "figures": "check-figures"}
# The part without which a record has nothing to show.
CORE = "sources"
REFERENCE_RATIO = {"ratio": 1.0, "low": None, "high": None, "verdict": "reference"}


def files_of(paths):
    """The .json files of paths (folders searched through), each once, in
    order; a path that does not exist, or is neither a regular file nor a
    folder, is refused."""
    found = []
    for path in map(Path, paths):
        if path.is_dir():
            found += sorted(p for p in path.rglob("*.json") if p.is_file())
        elif path.is_file():
            found.append(path)
        elif path.exists():
            # A pipe or a device would be read without end, or as nothing.
            raise LabError(f"{path}: not a file or a folder")
        else:
            raise LabError(f"{path}: no such file or folder")
    return list(dict.fromkeys(found))


def load(path):
    try:
        with open(path, encoding="utf-8") as file:
            return json.load(file)
    except OSError as error:
        raise LabError(f"{path}: cannot read: {error.strerror or error}") from error
    except (UnicodeDecodeError, ValueError) as error:
        raise LabError(f"{path}: not whole JSON ({error})") from error


def refuse_foreign(path, document):
    """LabError unless document is a part of a record of this schema."""
    if not isinstance(document, dict):
        raise LabError(f"{path}: not a document of the lab's (a JSON {type(document).__name__})")
    schema = document.get("schema", 1)
    if schema != SCHEMA:
        when = "before machines had keys" if schema == 1 else "by another version of the lab"
        raise LabError(f"{path}: schema {schema}, written {when}; tools/fleet reads schema "
                       f"{SCHEMA}")
    part, command = document.get("record"), document.get("command")
    if part not in PARTS:
        raise LabError(f"{path}: written by {command or 'an unknown command'}, not a part of a "
                       "record of tools/fleet record")
    if command != PARTS[part]:
        raise LabError(f"{path}: a {part} part written by {command}, not {PARTS[part]}")


def table(document, name):
    found = [t for t in document["tables"] if t["table"] == name]
    if not found:
        raise KeyError(f"no {name} table")
    return found[0]


def machine_of(path, document):
    """The machine a part was taken on; LabError where its key is not the
    one its identity makes (a file edited, or one whose key would put two
    machines in one row)."""
    m, counter = document["machine"], document["counter"]
    if m["key"] is None:
        raise LabError(f"{path}: its machine has no key (CPUID did not say which processor it "
                       "is): it cannot be told from another")
    if m["key"] != machine.key_of(m):
        raise LabError(f"{path}: its machine's key {m['key']} is not the one its identity "
                       f"makes ({machine.key_of(m)}): not counted as either machine")
    hz = float(counter["counter_hz"])
    cpuid = counter.get("cpuid_ticks")
    return {"key": m["key"], "cpu": m["cpu"], "hypervisor": m["hypervisor"],
            "cpus": len(m["cpus"]), "distribution": m["distribution"], "kernel": m["kernel"],
            "counter_hz": hz, "cpuid_ticks": cpuid,
            "cpuid_ns": None if cpuid is None else cpuid / hz * 1e9}


def sources_part(document):
    """What the report takes from a sources part: every source's ticks and
    ratio per size and view, its versions, its rounds, and the fork safety
    its record documents."""
    views = table(document, "views")
    ratios = {(r["source"], r["bytes"]): r["x_openssl"] for r in views["against"]}
    cells = {}
    for row in views["rows"]:
        for v in row["views"]:
            c = REFERENCE_RATIO if row["what"] == REFERENCE else \
                ratios[(row["what"], row["bytes"])].get(v["view"])
            cells[(row["what"], row["bytes"], v["view"])] = {"ticks": v["ticks"], "x_openssl": c}
    rounds = [t for t in document["tables"] if t["table"] == "rounds"]
    return {"cells": cells, "views": views["views"],
            "versions": {v["source"]: v["version"] for v in table(document, "sources")["versions"]},
            "openssl": document["builds"][0]["version"],
            "rounds": rounds[0]["rounds"] if rounds else views["rounds"],
            "stopped": rounds[0]["reason"] if rounds else None,
            "safety": {s["source"]: s for s in table(document, "answer")["safety"]}}


def fork_part(document):
    return {"safety": {s["source"]: s for s in table(document, "answer")["safety"]}}


def figures_part(document):
    t = table(document, "figures")
    return {"verdict": t["verdict"], "cpuid_traps": t.get("cpuid_traps")}


READERS = {"sources": sources_part, "fork": fork_part, "figures": figures_part}


def part_of(path, document):
    """One file as the report uses it; LabError naming it where it is not
    a whole part."""
    refuse_foreign(path, document)
    try:
        return {"path": str(path), "part": document["record"], "recorded": document["recorded"],
                "machine": machine_of(path, document), **READERS[document["record"]](document)}
    except (KeyError, TypeError, ValueError, IndexError, AttributeError) as error:
        raise LabError(f"{path}: not a whole {document['record']} part ({error})") from error


def records_of(parts):
    """{key: {recorded: {part: part}}}; the same part of one record twice
    (a folder copied twice, say) is refused."""
    records = {}
    for p in parts:
        mine = records.setdefault(p["machine"]["key"], {}).setdefault(p["recorded"], {})
        if p["part"] in mine:
            raise LabError(f"{p['path']}: the {p['part']} part of {p['machine']['key']}'s record "
                           f"of {p['recorded']} again (also {mine[p['part']]['path']})")
        mine[p["part"]] = p
    return records


def latest(records):
    """Each machine's latest record that has its sources part, by key."""
    chosen = {}
    for key, mine in sorted(records.items()):
        whole = [when for when, parts in mine.items() if CORE in parts]
        if whole:
            chosen[key] = (max(whole), mine[max(whole)])
    return chosen


def machine_row(key, when, parts, label):
    core = parts[CORE]
    figures = parts.get("figures")
    return {**core["machine"], "label": label, "recorded": when,
            "openssl": core["openssl"], "versions": core["versions"],
            "rounds": core["rounds"], "stopped": core["stopped"],
            "fork_checked": "fork" in parts,
            "figures": None if figures is None else figures["verdict"],
            "files": [p["path"] for p in parts.values()]}


def geometric(values):
    return math.exp(sum(math.log(v) for v in values) / len(values))


def across(cells):
    """The ratios of machines as a description of them: their geometric
    mean, lowest and highest, and how many machines gave each verdict."""
    ratios = [c["x_openssl"]["ratio"] for c in cells
              if c["x_openssl"] is not None and (c["x_openssl"]["ratio"] or 0) > 0]
    verdicts = {}
    for c in cells:
        code = "not-measured" if c["x_openssl"] is None else c["x_openssl"]["verdict"]
        verdicts[code] = verdicts.get(code, 0) + 1
    return {"geometric_mean": geometric(ratios) if ratios else None,
            "lowest": min(ratios, default=None), "highest": max(ratios, default=None),
            "ratios": len(ratios), "machines": len(cells), "verdicts": verdicts}


def differing(rows, source):
    """The libraries whose versions differ between the machines of a row:
    the source's own, and OpenSSL's, which every ratio is taken against."""
    found = []
    for library in dict.fromkeys([source, REFERENCE]):
        versions = {m["key"]: m["versions"].get(library) for m in rows}
        if len(set(versions.values())) > 1:
            found.append({"library": library, "versions": versions})
    return found


def source_rows(chosen, machines):
    """Per source, size and view (in the order the records give them),
    each machine's figures and the machines' together."""
    order = {}
    for _, parts in chosen.values():
        for cell in parts[CORE]["cells"]:
            order.setdefault(cell, None)
    hz = {m["key"]: m["counter_hz"] for m in machines}
    rows = []
    for source, size, view in order:
        cells = []
        for key, (_, parts) in chosen.items():
            c = parts[CORE]["cells"].get((source, size, view))
            if c is not None:
                ticks = c["ticks"]
                cells.append({"machine": key, "ticks": ticks, "x_openssl": c["x_openssl"],
                              "ns": None if ticks is None else ticks / hz[key] * 1e9})
        mine = [m for m in machines if any(c["machine"] == m["key"] for c in cells)]
        rows.append({"source": source, "bytes": size, "view": view, "machines": cells,
                     "across": None if source == REFERENCE else across(cells),
                     "versions_differ": differing(mine, source)})
    return rows


def safety_of(parts):
    """A machine's fork safety per source: its fork part's checks, and for
    a source they did not check, what its library documents."""
    safe = dict(parts[CORE]["safety"])
    if "fork" in parts:
        safe.update(parts["fork"]["safety"])
    return safe


def answer_rows(chosen, rows):
    """Per size and view, each machine's cheapest fork-safe generator (the
    answer of rnglab.answer, from the rows above) and whether they agree."""
    found = {}
    for key, (_, parts) in chosen.items():
        safe = safety_of(parts)
        for r in rows:
            for c in r["machines"]:
                if c["machine"] == key and c["ticks"] is not None and r["source"] in safe \
                        and c["x_openssl"] is not None:
                    found.setdefault((r["bytes"], r["view"]), {}).setdefault(key, []).append(
                        {"source": r["source"], "bytes": r["bytes"], "threads": 1,
                         "ticks": c["ticks"], "x_openssl": c["x_openssl"]})
    made = []
    for (size, view), by_machine in found.items():
        picks = []
        for key, mine in by_machine.items():
            safe = safety_of(chosen[key][1])
            t = answer.answer_table(mine, {s: safe[s] for s in {m["source"] for m in mine}})
            picks.append({"machine": key, "cheapest_safe": t["rows"][0]["cheapest_safe"],
                          "basis": t["basis"]})
        names = {None if p["cheapest_safe"] is None else p["cheapest_safe"]["source"]
                 for p in picks}
        made.append({"bytes": size, "view": view, "machines": picks,
                     "agree": len(names) == 1 and None not in names,
                     "source": names.pop() if len(names) == 1 else None})
    return made


def history_of(records, chosen):
    return [{"key": key, "records": [
        {"recorded": when, "parts": sorted(parts), "counted": chosen.get(key, (None,))[0] == when,
         "files": [p["path"] for p in parts.values()]}
        for when, parts in sorted(mine.items())]} for key, mine in sorted(records.items())]


def report(paths):
    """The fleet's tables as data, from the records in paths (files, or
    folders searched through)."""
    names = files_of(paths)
    if not names:
        raise LabError(f"no record in {', '.join(map(str, paths))}")
    records = records_of([part_of(path, load(path)) for path in names])
    chosen = latest(records)
    if not chosen:
        raise LabError("no record has its sources part: nothing to compare")
    machines = [machine_row(key, when, parts, f"m{k}")
                for k, (key, (when, parts)) in enumerate(chosen.items(), start=1)]
    rows = source_rows(chosen, machines)
    return {"schema": SCHEMA, "command": "fleet report", "paths": list(map(str, paths)),
            "machines": machines, "sources": rows, "answers": answer_rows(chosen, rows),
            "history": history_of(records, chosen)}
