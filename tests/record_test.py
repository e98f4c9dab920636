"""The record's parsing: both platforms' line ends, values kept exactly as
written, and damage skipped with a warning that names file and line."""

from rnglab import process
from rnglab import record as record_module
from tests.helpers import record


def medians(records):
    return [(r["label"], r["median"]) for r in records]


def test_line_ends_of_both_platforms_mixed_and_labels_interleaved():
    data = (record("RAND_bytes:", 1) + record("RAND_priv_bytes:", 2, end="\r\n") +
            record("RAND_bytes:", 3).replace(b"cycles\n", b"cycles\r\n", 1))
    parsed = record_module.parse(data, "f")
    assert medians(parsed) == [("RAND_bytes:", 1), ("RAND_priv_bytes:", 2), ("RAND_bytes:", 3)]
    assert [r["index"] for r in parsed] == [0, 1, 2]
    assert list(record_module.group(parsed)) == [("RAND_bytes:", 0), ("RAND_priv_bytes:", 0)]


def test_values_are_kept_exactly_as_written():
    top = 2**64 - 1
    (only,) = record_module.parse(record("RAND_bytes:", top, total=top, average=top - 1,
                                  seconds="0.007812"), "f")
    assert (only["total"], only["median"], only["average"]) == (top, top, top - 1)
    assert only["seconds"] == "0.007812"
    # One more than 64 bits can hold is no count the program wrote.
    assert record_module.parse(record("RAND_bytes:", 2**64), "f") == []


def test_damage_is_skipped_with_a_warning_naming_file_and_line(capsys, monkeypatch):
    monkeypatch.setattr(process, "command", "series")
    torn = record("RAND_bytes:", 5)[:72]  # cut after "AVERAGE:    ", as a full disk left it
    data = (record("RAND_bytes:", 1) +
            b"MEDIAN:     7 cpucycles, give or take\n" +        # a hand-edited line
            record("RAND_bytes:", 2) +
            torn + record("RAND_bytes:", 3) +                    # the next label glued on
            b"\x00\xff\x1a binary\r junk\n" +                    # junk
            record("RAND_bytes:", 4).replace(b"EXECUTED in 0.020000", b"EXECUTED in 0.02x") +
            record("RAND_priv_bytes:", 6))
    parsed = record_module.parse(data, "damaged.txt")
    assert medians(parsed) == [("RAND_bytes:", 1), ("RAND_bytes:", 2), ("RAND_priv_bytes:", 6)]
    warnings = capsys.readouterr().err.splitlines()
    assert [w.split(": skipped")[0] for w in warnings] == [
        "series: warning: damaged.txt:6", "series: warning: damaged.txt:12"]
