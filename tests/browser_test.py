"""Each kind of page (docs/report.md) opened from a file:// address in
headless Chromium, as a person opens it: every row of every table the JSON
holds is on it, cell for cell as the text gives it; every picture has a
size; nothing was loaded and nothing complained; a hostile label is text.
A screenshot of each page is left in the build folder
(BUILD/screenshots/NAME.png) for a person to look at. Pages are made from
committed runs, tables drawn by other tests, tools/series on a file with
a hostile label, and one short comparison run end to end; OPENSSL_RNG_PAGES
(paths, separated by ':') adds pages made elsewhere, each checked against
the JSON file beside it if there is one."""

import json
import os
import re
import tempfile
import types
from pathlib import Path

import pytest

from rnglab import comparison, figures, files, variants, views
from rnglab.report import fleettext, labtext
from rnglab.report import html, pages
from tests import sourcelife_test, views_test
from tests.helpers import BUILD, FIXTURES, command, compare, compare_env, fixture, record

CHROMIUM, DRIVER = Path("/usr/bin/chromium"), Path("/usr/bin/chromedriver")
SHOTS = BUILD / "screenshots"
HOSTILE = "<script>alert(1)</script>:"
# What a page may not name: anything fetched from a network.
FETCHED = re.compile(r"(src|href)=\"https?:")

pytestmark = pytest.mark.skipif(not (CHROMIUM.exists() and DRIVER.exists()),
                                reason="Debian's chromium and chromium-driver are not installed")


@pytest.fixture(name="browser", scope="module")
def fixture_browser():
    webdriver = pytest.importorskip("selenium.webdriver")
    options = webdriver.ChromeOptions()
    options.binary_location = str(CHROMIUM)
    with tempfile.TemporaryDirectory() as profile:
        for flag in ("--no-sandbox", "--headless", "--disable-gpu", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update",
                     "--disable-sync", f"--user-data-dir={profile}", "--window-size=1280,1000"):
            options.add_argument(flag)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        driver = webdriver.Chrome(service=webdriver.chrome.service.Service(str(DRIVER)),
                                  options=options)
        yield driver
        driver.quit()


def text_lines(table):
    """The lines of a table's text, as the commands print it."""
    if table["table"] == "figures":
        return figures.report_lines(table)
    if table["table"].startswith("series_"):
        return pages.SERIES_TEXTS[table["table"]](table)
    return labtext.RENDERERS[table["table"]](table)


def text_rows(document):
    """Every row of every table that the document's tables print (a fleet
    report's: its sections)."""
    lines = [line for _, _, said in fleettext.sections_of(document) for line in said] \
        if document.get("command") == "fleet report" else \
        [line for t in document["tables"] for line in text_lines(t)]
    return [[cell.strip() for cell in row] for line in lines if hasattr(line, "rows")
            for row in line.rows]


def from_fixture(name, tmp_path):
    document, _, _ = fixture(f"{name}.json")
    made = pages.figures_page(document) if name == "check-figures" else \
        pages.comparison_page(document)
    html.write(tmp_path / f"{name}.html", made)
    return tmp_path / f"{name}.html", pages.as_json(document)


# How rounds run until decided ended, and a quality table, as their commands
# leave them.
ROUNDS = {"table": "rounds", "rounds": 9, "reason": "decided", "precision": 0.01,
          "max_time": None, "max_rounds": 400, "elapsed": 9.0, "final": False, "looks": [9],
          "level": 0.003, "alpha": 0.05,
          "ratios": [{"name": "getrandom 16 B", "median": 0.6, "low": 0.59, "high": 0.61,
                      "verdict": "faster", "decided": True, "first_decided": 9}]}
QUALITY = {"table": "quality", "rounds": 2,
           "rows": [{"variant": "system-shared", "median": 4000, "kept_bytes": 1 << 21,
                     "verdict": "PASS", "findings": [], "keep_runs": []},
                    {"variant": "system-shared+hash-sha256", "median": 5000, "kept_bytes": None,
                     "verdict": "FAIL", "findings": ["monobit: p = 1e-09"], "keep_runs": []}]}


def lives_and_views(tmp_path):
    """A sources comparison with each source's life and three views, on
    the runs the views' and the lives' tests draw, and how its rounds
    ended and its bytes' quality."""
    for folder in ("views", "lives"):
        (tmp_path / folder).mkdir()
    args = types.SimpleNamespace(rounds=3, lifecycle=True, plot=tmp_path / "life.png",
                                 out=tmp_path, views=[variants.DEFAULT_VIEW], sources=True)
    tables = comparison.sources_tables(args, sourcelife_test.drawn_variants(tmp_path / "lives"),
                                       [], 3)
    tables.append(views.report(views_test.made_variants(tmp_path / "views"), 6,
                               list(variants.VIEWS), True))
    document, _, _ = fixture("sources.json")
    document = {**document, "tables": [ROUNDS, *tables, QUALITY, *document["tables"][2:]]}
    html.write(tmp_path / "lives-views.html", pages.comparison_page(document))
    return tmp_path / "lives-views.html", pages.as_json(document)


def series(args, tmp_path):
    """tools/series ARGS on a file whose second label is hostile, with a
    change half way."""
    results = tmp_path / "hostile.txt"
    results.write_bytes(b"".join(record(label, 10000 + 13 * (k % 7) + 2000 * (k >= 20))
                                 for k in range(40) for label in ("RAND_bytes:", HOSTILE)))
    page = tmp_path / f"series{len(args)}.html"
    done = command("tools/series", "--html", page.name, *args, results.name, cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, ""), done.stderr
    return page, None


def fleet(tmp_path):
    """tools/fleet report of the committed machines, with every record."""
    page = tmp_path / "fleet.html"
    done = command("tools/fleet", "report", "--history", "--html", page, "--json",
                   tmp_path / "fleet.json", FIXTURES / "fleet")
    assert (done.returncode, done.stderr) == (0, ""), done.stderr
    return page, json.loads((tmp_path / "fleet.json").read_text())


def end_to_end(tmp_path_factory, tmp_path):
    """A short sources comparison in two views, its page and its JSON."""
    done = compare(compare_env(tmp_path_factory), "--rounds", "2", "--sources",
                   "openssl,getrandom", "--bytes", "32,1024", "--calls", "64", "--views",
                   "cpuid,lfence", "--builds", "system-shared", "--out", tmp_path / "out",
                   "--json", tmp_path / "c.json", "--html", tmp_path / "c.html")
    assert done.returncode == 0, done.stderr
    document = json.loads((tmp_path / "c.json").read_text())
    assert labtext.render(document["tables"]) == done.stdout.rstrip("\n")
    return tmp_path / "c.html", document


PAGES = {
    **{name: lambda tmp, _, name=name: from_fixture(name, tmp)
       for name in ("sources", "threads", "sizes", "generators", "check-figures")},
    "lives-views": lambda tmp, _: lives_and_views(tmp),
    "series-summary": lambda tmp, _: series([], tmp),
    "series-compare": lambda tmp, _: series(["--compare-labels", "RAND_bytes", HOSTILE], tmp),
    "series-changes": lambda tmp, _: series(["--changes"], tmp),
    "fleet": lambda tmp, _: fleet(tmp),
    "end-to-end": lambda tmp, factory: end_to_end(factory, tmp),
    **{Path(p).stem: lambda *_, p=p: (Path(p), json.loads(Path(p).with_suffix(".json").read_text())
                                      if Path(p).with_suffix(".json").exists() else None)
       for p in filter(None, os.environ.get("OPENSSL_RNG_PAGES", "").split(":"))},
}

SEEN = """return {
  data: JSON.parse(document.getElementById('data').textContent),
  rows: Array.from(document.querySelectorAll('tbody tr'),
                   tr => Array.from(tr.cells, td => td.textContent)),
  pictures: Array.from(document.querySelectorAll('svg, img'), e => e.tagName == 'IMG' ?
      [e.naturalWidth, e.naturalHeight] : [e.getBoundingClientRect().width,
                                           e.getBoundingClientRect().height]),
  titles: Array.from(document.querySelectorAll('figure'),
                     f => [f.querySelector('figcaption').textContent,
                           f.querySelector('svg, img').getAttribute('aria-label') || '']),
  loaded: performance.getEntriesByType('resource').map(e => e.name),
  scripts: Array.from(document.scripts, s => s.type),
  text: document.body.innerText,
  // The window's height that shows the whole page: the page's and the browser's own.
  height: document.documentElement.scrollHeight + window.outerHeight - window.innerHeight};"""


@pytest.mark.parametrize("name", PAGES)
def test_a_page_shows_every_row_and_picture_and_loads_nothing(browser, name, tmp_path,
                                                              tmp_path_factory):
    path, document = PAGES[name](tmp_path, tmp_path_factory)
    assert not FETCHED.search(path.read_text(encoding="utf-8"))
    browser.get(path.resolve().as_uri())
    seen = browser.execute_script(SEEN)
    if document is not None:
        assert seen["data"] == files.plain(document)
    rows = [[cell.strip() for cell in row] for row in seen["rows"]]
    assert [row for row in text_rows(seen["data"]) if row not in rows] == []
    # The fleet's page is tables alone.
    assert (seen["pictures"] or name == "fleet") and \
        all(w > 0 and h > 0 for w, h in seen["pictures"])
    assert all(title and alt for title, alt in seen["titles"])
    assert seen["loaded"] == [] and seen["scripts"] == ["application/json"]
    assert [m for m in browser.get_log("browser") if m["level"] == "SEVERE"] == []
    if name.startswith("series"):
        assert HOSTILE in seen["text"]
    SHOTS.mkdir(parents=True, exist_ok=True)
    browser.set_window_size(1280, min(seen["height"], 16000))
    browser.save_screenshot(str(SHOTS / f"{name}.png"))
    browser.set_window_size(1280, 1000)
