"""The one HTML renderer: a page's blocks (tables and sentences, from the
lines a table's text is made of), its pictures and its data, laid out by
Jinja2 templates with every text escaped, into a file that loads nothing:
no script runs, no style, font or picture is fetched."""

import io
import json
import re

from rnglab import files
from rnglab.report import text
from rnglab.errors import LabError

# What the page may load: nothing but its own inline styles and data: URLs.
POLICY = "default-src 'none'; img-src data:; style-src 'unsafe-inline'"
# Verdict words as the text gives them, and the class a page shows them in.
VERDICT_CLASSES = [("MISSED", "bad"), ("FAIL", "bad"), ("slower", "slower"),
                   ("faster", "faster"), ("undecided", "undecided"), ("on the edge", "undecided"),
                   ("met", "good"), ("PASS", "good")]
VERDICT_HEADERS = {"verdict", "quality"}


def check(path):
    """Before a long run: LabError now if the page could not be written or
    made later (without Jinja2)."""
    files.check_writable(path)
    try:
        import jinja2  # noqa: F401 pylint: disable=import-outside-toplevel,unused-import
    except ImportError as error:
        raise LabError(f"--html needs Jinja2 (Debian's python3-jinja2): {error}") from error


def environment():
    import jinja2  # pylint: disable=import-outside-toplevel
    return jinja2.Environment(loader=jinja2.PackageLoader("rnglab.report", "templates"),
                              autoescape=True, trim_blocks=True, lstrip_blocks=True,
                              undefined=jinja2.StrictUndefined)


def verdict_class(cell):
    """The class of a cell holding a verdict, by its first verdict word."""
    for word, name in VERDICT_CLASSES:
        if re.search(rf"(?<![\w-]){re.escape(word)}(?![\w-])", cell):
            return name
    return ""


def indent_of(line):
    return min(4, (len(line) - len(line.lstrip(" "))) // 2)


def table_block(t):
    """A table's cells, each with its alignment: the first t.left columns
    and the verdicts' to the left, the figures to the right."""
    verdicts = [h.strip().lower() in VERDICT_HEADERS for h in t.header]
    align = ["text" if k < t.left or verdicts[k] else "num" for k in range(len(t.header))]
    return {"kind": "table", "header": [{"text": h.strip(), "class": a}
                                        for h, a in zip(t.header, align)],
            "rows": [[{"text": cell.strip(), "indent": indent_of(cell),
                       "class": " ".join(filter(None, [align[k], verdicts[k] and
                                                       verdict_class(cell)]))}
                      for k, cell in enumerate(row)] for row in t.rows]}


def blocks_of(lines):
    """A table's text lines as blocks: each text.Table a table of its
    cells, and between blank lines a block of sentences; a Folded line, or
    a line folded by text.wrapped, goes on from the one before it."""
    blocks, prose = [], None
    for line in lines:
        if isinstance(line, text.Table):
            blocks.append(table_block(line))
            prose = None
        elif not line.strip():
            prose = None
        else:
            if prose is None:
                prose = {"kind": "prose", "lines": []}
                blocks.append(prose)
            first, *folded = line.split("\n")
            said = " ".join([first.strip(), *(part.strip() for part in folded)])
            if isinstance(line, text.Folded) and prose["lines"]:
                prose["lines"][-1]["text"] += " " + said
            else:
                prose["lines"].append({"text": said, "indent": indent_of(first)})
    return blocks


def data_json(document):
    """The document as JSON that cannot end its script block: <, > and &
    as escapes, which JSON reads back as the same characters."""
    said = json.dumps(files.plain(document), allow_nan=False, separators=(",", ":"))
    return said.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")


def svg(fig, title, alt, salt):
    """A matplotlib figure as SVG to put inside a page: its text as text,
    no metadata, ids made from salt (each picture of a page its own), a
    title and alt text for the reader; the figure is closed."""
    import matplotlib  # pylint: disable=import-outside-toplevel
    from markupsafe import Markup, escape  # pylint: disable=import-outside-toplevel
    from matplotlib import pyplot  # pylint: disable=import-outside-toplevel
    picture = io.BytesIO()
    with matplotlib.rc_context({"svg.hashsalt": salt, "svg.fonttype": "none"}):
        # Tight: a legend beside the axes is inside the picture.
        fig.savefig(picture, format="svg", bbox_inches="tight",
                    metadata={"Creator": None, "Date": None, "Format": None, "Type": None})
    pyplot.close(fig)
    drawn = picture.getvalue().decode("utf-8")
    drawn = drawn[drawn.index("<svg"):]
    root = drawn.index(">") + 1
    drawn = (drawn[:4] + f' role="img" aria-label="{escape(alt)}"' + drawn[4:root] +
             f"<title>{escape(title)}</title>" + drawn[root:])
    return {"title": title, "alt": alt, "svg": Markup(drawn)}


def render(page):
    """page: {title, subtitle, answer: {title, blocks}, sections: [{id, title,
    blocks, figures}], provenance: {facts: [(name, value)], blocks},
    document} as the page's HTML."""
    from markupsafe import Markup  # pylint: disable=import-outside-toplevel
    template = environment().get_template("page.html")
    return template.render(**page, policy=POLICY, data=Markup(data_json(page["document"])))


def write(path, page):
    """The page written whole, as every file the lab writes."""
    files.write_whole(path, render(page))
