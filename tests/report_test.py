"""The pages (rnglab.report) without a browser, as tools/test --fast runs
them: a hostile label is escaped wherever the page shows it, and a page
that cannot be made is refused before anything is read."""

import sys

from rnglab.cli import series
from tests.helpers import record

HOSTILE = "<script>alert(1)</script>:"


def test_a_hostile_label_is_text_in_the_tables_sentences_pictures_and_data(tmp_path, capsys):
    (tmp_path / "r.txt").write_bytes(b"".join(record(label, 100 + k % 3) for k in range(12)
                                              for label in ("A:", HOSTILE)))
    assert series.main(["--changes", "--html", str(tmp_path / "p.html"),
                        str(tmp_path / "r.txt")]) == 0
    assert HOSTILE in capsys.readouterr().out
    page = (tmp_path / "p.html").read_text()
    assert page.count("<script") == 1 and "alert(1)</script>" not in page
    # In the sentences and the segments' table, in the picture, and in the data.
    assert page.count("&lt;script&gt;alert(1)&lt;/script&gt;:") >= 2
    assert '"label":"\\u003cscript\\u003ealert(1)\\u003c/script\\u003e:"' in page


def test_a_page_without_jinja2_is_refused_before_anything_is_read(tmp_path, monkeypatch,
                                                                  capsys):
    monkeypatch.setitem(sys.modules, "jinja2", None)  # import jinja2 fails
    assert series.main(["--html", str(tmp_path / "p.html"), str(tmp_path / "none.txt")]) == 1
    out, err = capsys.readouterr()
    assert out == "" and err.startswith("series: error: --html needs Jinja2 (Debian's "
                                        "python3-jinja2): ")
    assert len(err.splitlines()) == 1 and list(tmp_path.iterdir()) == []
