"""The pages of `tabrix-libs --report FILE.html`: one self-contained HTML file for a fit or for an
apply, made from the summaries of tabrix_libs.summary alone (never from the rows), with plots
drawn by matplotlib's SVG backend and inlined. Nothing on a page is fetched: no script, style
sheet, font or image, so it opens offline and can be sent by mail.

    from tabrix_libs import report

    report.check_path("fit.html")                 # InputError: a wrong name, no matplotlib
    report.write_page("fit.html", report.fit_page(facts))

Needs matplotlib (the `report` extra: pip install 'tabrix-libs[report]').
"""

import html
import importlib.util
import io
import os
import re

from tabrix_libs import storage
from tabrix_libs.errors import InputError
from tabrix_libs.pipeline import CHAR, FLOAT

REPORT_INSTALL = (
    "--report needs matplotlib: pip install 'tabrix-libs[report]' (or pip install matplotlib)"
)
# Values shown per column on a plot, and named in a table cell.
PLOT_VALUES = 6
LISTED = 5
# Colours: the data as read or the training rows, and the data after cleaning or the new rows.
GREY, BLUE, AMBER = "#9aa3ad", "#2b6cb0", "#c05621"
# Shares of unseen or missing cells above which a column of new rows is flagged.
FLAG_SHARE = 0.01
# Pixels left of a plot's panel for the numbers on its axis and the axis' label.
NUMBER_PAD = 44
# Columns of new rows drawn against training: those that stand out, at most this many (each plot
# costs about 25 ms to draw; the table has the figures of every column).
DRIFT_PLOTS = 8
CLASS_COLOURS = ["#2b6cb0", "#c05621", "#2f855a", "#6b46c1", "#b7791f", "#c53030", "#319795"]


class Renderer:
    """Draws a page in a process of its own, started at the beginning of a run: importing
    matplotlib there (about half a second of a core) happens while the run does its own work,
    and only the drawing is left once the summaries are complete.

        renderer = Renderer("fit.html")     # at the start
        ...
        renderer.draw("fit", facts)         # the page written, or InputError / RenderError

    The process runs at a lower priority, so that it takes the cores the run leaves idle rather
    than slow the run down. If it is not ready when the page is wanted (the machine was busy),
    or cannot be started, the page is drawn in this process instead."""

    # Seconds the page waits for the drawing process to be ready (with the run over, it has the
    # machine's cores, unless other work takes them) before drawing the page here.
    GRACE = 1.0

    def __init__(self, path):
        import subprocess
        import sys
        import weakref

        self.path = path if storage.is_url(path) else os.path.abspath(storage.local(path))
        # The current folder is not searched first: a module there must not shadow ours.
        code = (
            "import os, sys; hasattr(os, 'nice') and os.nice(10); "
            "sys.path[:] = [p for p in sys.path if p]; import %s as m; m._serve()"
        )
        try:
            self._process = subprocess.Popen(
                [sys.executable, "-c", code % __name__],
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
            )
        except OSError:
            self._process = None
            return
        # A run that fails before its page ends the process with it.
        weakref.finalize(self, _stop, self._process)

    def draw(self, kind, facts):
        import json

        if self._process is None or not self._ready():
            if self._process is not None:
                _stop(self._process)
            write_page(self.path, PAGES[kind](facts))
            return
        request = json.dumps(
            {"path": self.path, "kind": kind, "facts": facts, "storage": storage.options()},
            default=_plain,
        ).encode("utf-8")
        _, err = self._process.communicate(request)
        lines = err.decode("utf-8", "replace").strip().splitlines()
        if self._process.returncode == 2:
            raise InputError(lines[-1] if lines else "cannot write %s" % self.path)
        if self._process.returncode != 0:
            raise RenderError(
                "drawing the report failed: %s"
                % (lines[-1] if lines else "exit code %d" % self._process.returncode)
            )

    def _ready(self):
        """Whether the process has said it is ready (matplotlib imported) within GRACE."""
        import select

        try:
            readable, _, _ = select.select([self._process.stdout], [], [], self.GRACE)
        except (OSError, ValueError):  # no select() on pipes here: wait for the line
            readable = [self._process.stdout]
        return bool(readable) and self._process.stdout.readline() == b"ready\n"


class RenderError(Exception):
    """The page could not be drawn: one line, exit code 1."""


def _stop(process):
    if process.poll() is None:
        process.kill()
    process.wait()
    for stream in (process.stdin, process.stdout, process.stderr):
        stream.close()


def _plain(value):
    """NumPy scalars as Python numbers, for the request's JSON."""
    if hasattr(value, "item"):
        return value.item()
    raise TypeError("%s is not plain data" % type(value).__name__)


def _serve():
    """The drawing process: imports matplotlib, then draws the page of the one request on
    standard input (nothing to do on an empty one). Exit code 2 with one line for a page that
    cannot be written, 1 for any other failure. It ends without the interpreter's tidying up
    (a tenth of a second with matplotlib loaded), which the command would wait for."""
    import json
    import sys

    code = 0
    try:
        with _Plots() as plots:  # a first plot loads the fonts while the run goes on
            fig, (ax,) = plots.figure(2.0, 1.0)
            ax.barh([0, 1], [1, 2], tick_label=["a", "b"])
            ax.set_title("x", loc="left")
            plots.svg(fig, "")
        sys.stdout.write("ready\n")
        sys.stdout.flush()
        request = sys.stdin.buffer.read()
        if request:
            request = json.loads(request)
            storage.configure(request["storage"])
            write_page(request["path"], PAGES[request["kind"]](request["facts"]))
    except InputError as e:
        print(e, file=sys.stderr)
        code = 2
    except Exception as e:  # one line, for the command to report
        text = str(e).strip().splitlines()
        print("%s: %s" % (type(e).__name__, text[0] if text else ""), file=sys.stderr)
        code = 1
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(code)


def check_path(path):
    """Fails before any work when the page cannot be made: a name that is not .html, no folder
    for it, a storage that cannot be written, or no matplotlib."""
    if not path.lower().endswith((".html", ".htm")):
        raise InputError("--report %s: the name must end in .html" % path)
    if storage.is_url(path):
        storage.check_writable(path)
    else:
        folder = os.path.dirname(os.path.abspath(storage.local(path)))
        if not os.path.isdir(folder):
            raise InputError("--report %s: no folder %s" % (path, folder))
    if importlib.util.find_spec("matplotlib") is None:
        raise InputError(REPORT_INSTALL)


def write_page(path, text):
    """Writes the page (local or a URL) under a temporary name beside `path`, which it takes
    once whole: a failed run leaves no partial page behind."""
    with storage.AtomicFile(path) as out, storage.errors(path, "write"):
        out.file.write(text.encode("utf-8"))


# --------------------------------------------------------------------------------------------
# Words and numbers


def _e(text):
    return html.escape(str(text), quote=True)


def _n(n):
    return "{:,}".format(n)


def _share(part, whole):
    """A share as a percentage with the precision it needs (never 0% for a part above 0)."""
    if not whole:
        return "–"
    p = 100.0 * part / whole
    if part and p < 0.01:
        return "&lt;0.01%"
    if p < 10 and part != whole:
        return "%.2f%%" % p
    return "%.1f%%" % p


def _num(x):
    """A value of the data: as short as it reads (no thousands separators: years stay
    years)."""
    if x is None:
        return "–"
    return "%.6g" % x


def _values_text(counts, n=LISTED):
    """The most frequent values of a {value: cells} list, with their counts."""
    items = sorted(counts.items(), key=lambda kv: (-kv[1], kv[0]))
    shown = ", ".join(
        "<code>%s</code>&nbsp;(%s)" % (_e(_short(v, 30)), _n(c)) for v, c in items[:n]
    )
    if len(items) > n:
        shown += ", … %s more" % _n(len(items) - n)
    return shown


def _short(text, width):
    text = str(text)
    return text if len(text) <= width else text[: width - 1] + "…"


# --------------------------------------------------------------------------------------------
# Plots


class _Plots:
    """matplotlib's SVG backend without pyplot: each figure becomes an inline <svg> element whose
    ids are its own (two plots of the same layout would otherwise share clip path ids)."""

    RC = {
        "svg.fonttype": "none",  # text stays text: smaller files, the reader's own fonts
        "svg.hashsalt": "tabrix-libs",
        "font.size": 8,
        "axes.titlesize": 8,
        "axes.spines.top": False,
        "axes.spines.right": False,
        "axes.edgecolor": "#666666",
        "xtick.color": "#444444",
        "ytick.color": "#444444",
        "figure.dpi": 72,
    }

    def __init__(self):
        import matplotlib
        from matplotlib.backends.backend_svg import FigureCanvasSVG
        from matplotlib.figure import Figure

        self._matplotlib, self._canvas, self._figure = matplotlib, FigureCanvasSVG, Figure
        self.version = matplotlib.__version__
        self._style = None
        self.count = 0

    def __enter__(self):
        # Text takes its size from the settings in force when it is made: the whole page is
        # drawn inside them (and the caller's own settings are left alone).
        self._style = self._matplotlib.rc_context(self.RC)
        self._style.__enter__()
        return self

    def __exit__(self, *exc):
        self._style.__exit__(*exc)

    def figure(self, width, height, pads=(NUMBER_PAD,), bottom=30, top=16):
        """A figure of `width` x `height` inches with one panel per entry of `pads`, side by
        side, each with that many pixels on its left for its labels. (Laid out by hand: the
        automatic layout draws every figure twice.)"""
        from matplotlib.ticker import MaxNLocator

        fig = self._figure(figsize=(width, height))
        w, h = width * 72.0, height * 72.0
        gap, right = 16.0, 8.0
        panel = (w - sum(pads) - gap * (len(pads) - 1) - right) / len(pads)
        axes, x = [], 0.0
        for pad in pads:
            x += pad
            ax = fig.add_axes([x / w, bottom / h, panel / w, (h - bottom - top) / h])
            ax.xaxis.set_major_locator(MaxNLocator(4))
            ax.yaxis.set_major_locator(MaxNLocator(3))
            axes.append(ax)
            x += panel + gap
        return fig, axes

    def svg(self, fig, label):
        buf = io.StringIO()
        self._canvas(fig).print_svg(buf, metadata={"Date": None})
        text = buf.getvalue()
        text = text[text.index("<svg") :]
        text = re.sub(r"<metadata>.*?</metadata>\s*", "", text, flags=re.S)
        self.count += 1
        prefix = "f%d-" % self.count
        text = re.sub(r'\bid="([^"]+)"', lambda m: 'id="%s%s"' % (prefix, m.group(1)), text)
        text = re.sub(r"url\(#([^)]+)\)", lambda m: "url(#%s%s)" % (prefix, m.group(1)), text)
        text = re.sub(r'href="#([^"]+)"', lambda m: 'href="#%s%s"' % (prefix, m.group(1)), text)
        return '<svg role="img" aria-label="%s"%s' % (_e(label), text[4:])


def _mpl_text(text, width=18):
    """A label for matplotlib: shortened, and with its dollar signs taken literally."""
    return _short(text, width).replace("$", r"\$")


def _label_pad(labels):
    """Pixels left of a panel for these labels (8-point text)."""
    return 14 + 5.0 * max([len(t) for t in labels] + [3])


def _top_labels(counts, extra=None):
    items = sorted(counts.items(), key=lambda kv: (-kv[1], kv[0]))[:PLOT_VALUES]
    return [_mpl_text(v) for v, _ in items] + ([_mpl_text(extra)] if extra else [])


def _bars(ax, counts, color, title, total=None, extra=None):
    """Horizontal bars of the most frequent values of {value: cells}, as shares of `total`."""
    items = sorted(counts.items(), key=lambda kv: (-kv[1], kv[0]))[:PLOT_VALUES]
    if extra:
        items.append(extra)
    total = total or sum(counts.values()) or 1
    labels = [_mpl_text(v) for v, _ in items][::-1]
    shares = [100.0 * c / total for _, c in items][::-1]
    ax.barh(range(len(items)), shares, color=color, height=0.7)
    ax.set_yticks(range(len(items)))
    ax.set_yticklabels(labels)
    ax.set_xlabel("% of cells")
    ax.set_title(title, loc="left")
    if not items:
        ax.text(0.5, 0.5, "no values", ha="center", va="center", transform=ax.transAxes)


def _stairs(ax, edges, counts, color, fill, label=None, total=None):
    """A histogram as shares of `total` (default: its own cells)."""
    total = total or sum(counts) or 1
    shares = [100.0 * c / total for c in counts]
    if fill:
        ax.stairs(shares, edges, color=color, fill=True, alpha=0.85, label=label)
    else:
        ax.stairs(shares, edges, color=color, linewidth=1.5, label=label)
    ax.set_ylabel("% of cells")
    if float(edges[0]).is_integer() and float(edges[-1]).is_integer() and edges[-1] - edges[0] >= 2:
        from matplotlib.ticker import MaxNLocator

        ax.xaxis.set_major_locator(MaxNLocator(4, integer=True))  # years stay whole


def _no_data(ax, text):
    ax.text(0.5, 0.5, text, ha="center", va="center", transform=ax.transAxes, color="#555555")
    ax.set_axis_off()


# --------------------------------------------------------------------------------------------
# The page's frame

_STYLE = """
body { font: 14px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, "Helvetica Neue", Arial,
  sans-serif; color: #1a202c; background: #f7f8fa; margin: 0; }
main { max-width: 1180px; margin: 0 auto; padding: 24px 28px 48px; }
h1 { font-size: 24px; margin: 0 0 4px; }
h2 { font-size: 19px; margin: 36px 0 10px; padding-bottom: 4px; border-bottom: 2px solid #d8dde3; }
h3 { font-size: 15px; margin: 20px 0 8px; }
.sub { color: #4a5568; margin: 0 0 16px; }
nav a { margin-right: 14px; color: #2b6cb0; text-decoration: none; }
.cards { display: flex; flex-wrap: wrap; gap: 12px; margin: 16px 0; }
.card { background: #fff; border: 1px solid #d8dde3; border-radius: 6px; padding: 10px 16px;
  min-width: 140px; }
.card .k { color: #4a5568; font-size: 12px; text-transform: uppercase; letter-spacing: .04em; }
.card .v { font-size: 22px; font-weight: 600; }
.card .s { color: #4a5568; font-size: 12px; }
table { border-collapse: collapse; background: #fff; margin: 8px 0 16px; }
th, td { border: 1px solid #d8dde3; padding: 5px 9px; text-align: left; vertical-align: top; }
th { background: #edf0f4; font-weight: 600; }
td.r, th.r { text-align: right; font-variant-numeric: tabular-nums; }
tr.flag td { background: #fff5eb; }
.warn { color: #c05621; font-weight: 600; }
.note { background: #fffbea; border: 1px solid #ecd48c; border-radius: 6px; padding: 10px 14px;
  margin: 12px 0; }
.muted { color: #4a5568; }
code { font: 12.5px ui-monospace, SFMono-Regular, Menlo, Consolas, monospace;
  background: #edf0f4; padding: 0 3px; border-radius: 3px; }
pre { background: #fff; border: 1px solid #d8dde3; padding: 10px; overflow-x: auto;
  white-space: pre-wrap; word-break: break-all; }
svg { display: block; }
.plots { display: flex; flex-wrap: wrap; gap: 10px; }
.legend span { display: inline-block; width: 12px; height: 12px; border-radius: 2px;
  vertical-align: -2px; margin: 0 4px 0 12px; }
"""


def _page(title, subtitle, nav, body):
    links = " ".join('<a href="#%s">%s</a>' % (anchor, _e(text)) for anchor, text in nav)
    return (
        '<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n'
        '<meta name="viewport" content="width=device-width, initial-scale=1">\n'
        "<title>%s</title>\n<style>%s</style>\n</head>\n<body>\n<main>\n"
        '<h1>%s</h1>\n<p class="sub">%s</p>\n<nav>%s</nav>\n%s\n</main>\n</body>\n</html>\n'
        % (_e(title), _STYLE, _e(title), subtitle, links, body)
    )


def _cards(items):
    cells = []
    for key, value, small in items:
        cells.append(
            '<div class="card"><div class="k">%s</div><div class="v">%s</div>%s</div>'
            % (_e(key), value, '<div class="s">%s</div>' % small if small else "")
        )
    return '<div class="cards">%s</div>' % "".join(cells)


def _table(head, rows, right=(), attrs=None):
    """An HTML table; cells are HTML already (no header row when head is None). `right` names
    the columns aligned right; `attrs`, one per row, the attributes of its <tr> (_attrs)."""
    out = ["<table>"]
    if head is not None:
        out.append("<tr>")
        out += [
            "<th%s>%s</th>" % (' class="r"' if k in right else "", h) for k, h in enumerate(head)
        ]
        out.append("</tr>")
    for i, row in enumerate(rows):
        out.append("<tr%s>" % (attrs[i] if attrs else ""))
        out += [
            "<td%s>%s</td>" % (' class="r"' if k in right else "", cell)
            for k, cell in enumerate(row)
        ]
        out.append("</tr>")
    out.append("</table>")
    return "".join(out)


def _attrs(**values):
    """Attributes of an element: the figures a row shows, as data-* attributes that scripts
    and tests can read (class_ for the class)."""
    return "".join(
        ' %s="%s"' % ("class" if k == "class_" else "data-" + k, _e(v))
        for k, v in values.items()
        if v is not None and v != ""
    )


def _legend(items):
    return '<p class="legend muted">%s</p>' % "".join(
        '<span style="background:%s"></span>%s' % (color, _e(text)) for color, text in items
    )


def _steps_table(fit, apply, train, test):
    """The per-step tables of the fit and of the held-out transform side by side: the same
    steps in the same order."""
    if [r[:2] for r in fit] != [r[:2] for r in apply]:
        apply = [(step, cls, "", "", 0.0) for step, cls, _, _, _ in fit]
    body = [
        [_e(step), _e(cls), _e(a), _e(b), "%.4f" % t, _e(c), _e(d), "%.4f" % u]
        for (step, cls, a, b, t), (_, _, c, d, u) in zip(fit, apply)
    ]
    body.append(
        [
            "<b>total</b>",
            "",
            "",
            "",
            "<b>%.4f</b>" % sum(r[4] for r in fit),
            "",
            "",
            "<b>%.4f</b>" % sum(r[4] for r in apply),
        ]
    )
    head = [
        "step",
        "transformer",
        "fit: in",
        "out",
        "seconds",
        "held-out: in",
        "out",
        "seconds",
    ]
    return (
        '<p class="muted">Fit on the training split (%s rows), then transform of the held-out '
        "split (%s rows).</p>%s" % (_n(train), _n(test), _table(head, body, right=(4, 7)))
    )


def _run_section(plots, run):
    """How to make the page again: the command, the versions, the seed and the timings."""
    import shlex

    parts = ['<h2 id="again">How to make it again</h2>']
    parts.append("<pre>%s</pre>" % _e(" ".join(shlex.quote(a) for a in run["argv"])))
    versions = list(run["versions"])
    keys = [k for k, _ in versions]
    after = keys.index("scikit-learn") + 1 if "scikit-learn" in keys else len(keys)
    versions.insert(after, ("matplotlib", plots.version))
    rows = [[_e(k), _e(v)] for k, v in versions]
    if run.get("seed") is not None:
        rows.append(["seed", _e(run["seed"])])
    parts.append(_table(None, rows))
    parts.append("<h3>Timings</h3>")
    parts.append(
        _table(
            ["what", "seconds"],
            [[_e(k), "%.3f" % v] for k, v in run["timings"]],
            right=(1,),
        )
    )
    return "\n".join(parts)


def versions():
    """The versions that make the results what they are."""
    import platform
    import sys

    import numpy
    import sklearn

    import tabrix_libs

    out = [
        ("tabrix-libs", tabrix_libs.__version__),
        ("Python", sys.version.split()[0]),
        ("NumPy", numpy.__version__),
        ("scikit-learn", sklearn.__version__),
    ]
    # (matplotlib's is added where the page is drawn: importing it here would cost a fifth of a
    # second. platform.platform() reads the interpreter's binary to find the C library's version.)
    out.append(("platform", " ".join((platform.system(), platform.release(), platform.machine()))))
    return out


# --------------------------------------------------------------------------------------------
# The fit page


def _missing_cells(col):
    return sum(col["missing"].values())


def _fit_column_plot(plots, name, tag, col, facts):
    """Before and after cleaning: numbers as histograms (after: missing cells at the imputed
    value), text and booleans as their most frequent values."""
    missing = _missing_cells(col)
    if tag == FLOAT:
        # One panel: the numbers as read, and over them the column after imputation, whose
        # missing cells are at the value that replaces them.
        fig, (ax,) = plots.figure(5.4, 1.75, (NUMBER_PAD,))
        edges, hist = col.get("edges"), col.get("hist")
        if not hist or not col["numbers"]:
            _no_data(ax, "no numbers: every cell becomes 0")
            return plots.svg(fig, "%s before and after cleaning" % name)
        total = col["cells"]
        filled = list(hist)
        imputed = facts.get("imputed")
        lost = col["cells"] - col["numbers"]
        if imputed is not None and lost:
            k = min(max(int((imputed - edges[0]) / (edges[1] - edges[0])), 0), len(hist) - 1)
            filled[k] += lost
        _stairs(ax, edges, hist, GREY, True, total=total)
        _stairs(ax, edges, filled, BLUE, False, total=total)
        ax.set_title(
            "%s numbers as read; %s"
            % (
                _n(col["numbers"]),
                "%s missing → %s after imputation" % (_n(lost), "%.4g" % imputed)
                if lost and imputed is not None
                else "nothing missing",
            ),
            loc="left",
        )
        return plots.svg(fig, "%s before and after cleaning" % name)
    values = col.get("values")
    fig, (before, after) = plots.figure(
        5.4,
        1.75,
        (
            _label_pad(_top_labels(values or {}, "(missing)" if missing else None)),
            _label_pad(
                _top_labels(col.get("cleaned") or {}, facts.get("imputed") if tag == CHAR else None)
            ),
        ),
    )
    if values is None:
        _no_data(before, "more than %s distinct values" % _n(1000))
    else:
        extra = ("(missing)", missing) if missing else None
        _bars(before, values, GREY, "as read", total=col["cells"], extra=extra)
    cleaned = col.get("cleaned")
    if cleaned is None:
        _no_data(after, "more than %s distinct values" % _n(1000))
    else:
        after_counts = dict(cleaned)
        imputed = facts.get("imputed")
        lost = missing + col.get("cleaned_missing", 0) + (col.get("unseen") or 0)
        if tag == CHAR and imputed is not None and lost:
            for v in col.get("unseen_values") or {}:
                after_counts.pop(v, None)
            after_counts[imputed] = after_counts.get(imputed, 0) + lost
        _bars(after, after_counts, BLUE, "after cleaning", total=col["cells"])
    return plots.svg(fig, "%s before and after cleaning" % name)


def fit_page(facts):
    """The page of a fit. `facts` (summary.fit_page_facts) holds the summary of all the rows
    read, the tags and why, the pipeline's and the model's facts, the step tables and the
    run."""
    with _Plots() as plots:
        return _fit_page(plots, facts)


def _fit_page(plots, facts):
    data, names, tags = facts["data"], facts["columns"], facts["tags"]
    rows, train, test = facts["rows"]
    measure = "accuracy" if facts["task"] == "classification" else "R²"
    subtitle = "%s · target <b>%s</b> (%s) · %s" % (
        _e(facts["shown"]),
        _e(facts["target"]),
        _e(facts["task"]),
        _e(facts["model"]["name"]),
    )
    nav = [
        ("data", "The data"),
        ("steps", "What each step did"),
        ("pipeline", "Pipeline steps"),
        ("model", "The model"),
        ("again", "How to make it again"),
    ]
    sample = facts.get("sample")
    cards = [
        (
            "rows",
            _n(facts["read"]),
            "sample of %s" % _n(sample) if sample else "read from the file",
        ),
        ("columns", _n(len(names) + 1), "%d features and the target" % len(names)),
        ("training split", _n(train), "%s held out" % _n(test)),
        ("held-out " + measure, "%.4f" % facts["score"], _e(facts["model"]["name"])),
    ]
    body = [_cards(cards)]
    if rows < facts["read"] and not sample:
        body.append(
            '<p class="muted">%s rows have no target value and are left out of training and '
            "scoring; the columns below describe every row read.</p>" % _n(facts["read"] - rows)
        )

    # The data
    body.append('<h2 id="data">The data</h2>')
    body.append(
        '<p class="muted">%s rows × %s columns%s. Each column is tagged from its values '
        "(or by an option), which decides how the pipeline treats it. Plots: the column as "
        "read, and as the model gets it after cleaning and imputation (share of all %s "
        "cells).</p>"
        % (
            _n(facts["read"]),
            _n(len(names) + 1),
            " (a sample of %s rows)" % _n(sample) if sample else "",
            _n(data["rows"]),
        )
    )
    table = []
    attrs = []
    for j, (name, tag) in enumerate(zip(names, tags)):
        col = data["columns"][j]
        missing = col["missing"]
        attrs.append(_attrs(column=name, cells=col["cells"], missing=_missing_cells(col)))
        found = (
            ", ".join(
                "<code>%s</code>&nbsp;%s" % (_e(m) if m else "(empty)", _n(c))
                for m, c in sorted(missing.items(), key=lambda kv: -kv[1])
            )
            or "none"
        )
        table.append(
            [
                "<b>%s</b>" % _e(name),
                "<code>%s</code>" % _e(tag),
                _e(facts["reasons"][j]),
                found,
                _share(_missing_cells(col), col["cells"]),
                _fit_column_plot(plots, name, tag, col, facts["pipeline"][j]),
            ]
        )
    body.append(
        _table(
            [
                "column",
                "tag",
                "why",
                "missing markers found",
                "missing",
                "as read · after cleaning",
            ],
            table,
            right=(4,),
            attrs=attrs,
        )
    )
    body.append(_legend([(GREY, "as read"), (BLUE, "after cleaning and imputation")]))

    # What each step did
    body.append('<h2 id="steps">What each step did</h2>')
    body.append(
        '<p class="muted">Per column, over all %s rows read: values that string cleaning made '
        "one, cells that became missing, number strings that did not parse, the categories the "
        "pipeline met in the training split, and columns missing in every training row.</p>"
        % _n(data["rows"])
    )
    table = []
    for j, (name, tag) in enumerate(zip(names, tags)):
        table.append([_e(name)] + _step_cells(tag, data["columns"][j], facts["pipeline"][j]))
    body.append(
        _table(
            [
                "column",
                "merged by cleaning",
                "turned missing",
                "not numbers",
                "categories met",
                "missing becomes",
            ],
            table,
        )
    )

    # Pipeline steps
    body.append('<h2 id="pipeline">Pipeline steps: shapes and times</h2>')
    body.append(_steps_table(facts["steps"]["fit"], facts["steps"]["apply"], train, test))

    # The model
    body.append(_model_section(plots, facts, measure))
    body.append(_run_section(plots, facts["run"]))
    return _page("tabrix-libs fit report", subtitle, nav, "\n".join(body))


def _step_cells(tag, col, facts):
    """The cells of one column in 'What each step did'."""
    merged = "–"
    groups = merged_values(col) if tag != FLOAT else None
    if groups:
        merged = "<br>".join(
            "%s → <code>%s</code>"
            % (", ".join("<code>%s</code>" % _e(_short(v, 24)) for v in vs[:4]), _e(key))
            + (" …" if len(vs) > 4 else "")
            for key, vs in groups[:LISTED]
        )
        if len(groups) > LISTED:
            merged += "<br>… %s more" % _n(len(groups) - LISTED)
        merged = "%s values into %s:<br>%s" % (
            _n(sum(len(vs) for _, vs in groups)),
            _n(len(groups)),
            merged,
        )
    elif groups is not None:
        merged = "none"
    elif tag != FLOAT:
        merged = "more than 1,000 distinct values"
    missing = sum(col["missing"].values())
    turned = ["%s missing markers" % _n(missing)]
    if col.get("cleaned_missing"):
        turned.append("%s cleaned into a marker" % _n(col["cleaned_missing"]))
    if tag == FLOAT and col.get("bad"):
        turned.append("%s not numbers" % _n(col["bad"]))
    if col.get("unseen"):
        turned.append("%s unseen in training (held-out rows)" % _n(col["unseen"]))
    bad = "–"
    if tag == FLOAT:
        bad = "none"
        if col.get("bad"):
            bad = "%s cells" % _n(col["bad"])
            if col.get("bad_values"):
                bad += ": " + _values_text(col["bad_values"])
    categories = "–"
    if facts.get("categories") is not None:
        cats = facts["categories"]
        categories = "%s: %s" % (
            _n(len(cats)),
            ", ".join("<code>%s</code>" % _e(_short(c, 24)) for c in cats[:8])
            + (", …" if len(cats) > 8 else ""),
        )
    if facts.get("all_missing"):
        becomes = '<span class="warn">missing in every training row: the column is zeros</span>'
    elif facts.get("imputed") is not None:
        becomes = "<code>%s</code> (%s)" % (
            _e(_num(facts["imputed"]) if tag != CHAR else facts["imputed"]),
            "most frequent" if tag == CHAR else "training mean",
        )
    else:
        becomes = "–"
    return [merged, "<br>".join(turned), bad, categories, becomes]


def merged_values(col):
    """The groups of values as read that cleaning makes one: [(cleaned value, [values as read,
    most frequent first])], largest group first; None when the column has too many values."""
    values, changed = col.get("values"), col.get("cleaned_from")
    if values is None or changed is None:
        return None
    groups = {}
    for v in values:
        groups.setdefault(changed.get(v, v), []).append(v)
    out = [
        (key, sorted(vs, key=lambda v: (-values[v], v)))
        for key, vs in groups.items()
        if len(vs) > 1
    ]
    out.sort(key=lambda g: (-sum(values[v] for v in g[1]), g[0]))
    return out


def _model_section(plots, facts, measure):
    m = facts["model"]
    out = ['<h2 id="model">The model</h2>']
    out.append(
        "<p>%s on %s features; held-out %s <b>%.4f</b> over %s rows.</p>"
        % (
            _e(m["name"]),
            _n(facts["features"]),
            measure,
            facts["score"],
            _n(facts["rows"][2]),
        )
    )
    if "matrix" in m:
        labels, matrix = m["labels"], m["matrix"]
        top = max(max(r) for r in matrix) or 1
        rows = []
        for label, r in zip(labels, matrix):
            cells = ["<b>%s</b>" % _e(label)]
            for v in r:
                alpha = 0.08 + 0.75 * v / top if v else 0
                cells.append(
                    '<span style="display:block;background:rgba(43,108,176,%.2f);'
                    'padding:4px 8px;%s">%s</span>'
                    % (alpha, "color:#fff;" if alpha > 0.5 else "", _n(v))
                )
            cells.append(_share(r[labels.index(label)], sum(r)))
            rows.append(cells)
        out.append("<h3>Confusion matrix of the held-out rows</h3>")
        out.append(
            '<p class="muted">Rows: the actual class; columns: the predicted one. '
            "Last column: the share of the class predicted right.</p>"
        )
        out.append(
            _table(
                ["actual \\ predicted"] + ["<b>%s</b>" % _e(c) for c in labels] + ["right"],
                rows,
                right=tuple(range(1, len(labels) + 2)),
            )
        )
    else:
        fig, (scatter, resid) = plots.figure(7.2, 2.6, (NUMBER_PAD + 6, NUMBER_PAD))
        pts = m["points"]
        if pts:
            xs, ys = [p[0] for p in pts], [p[1] for p in pts]
            scatter.scatter(xs, ys, s=6, color=BLUE, alpha=0.6, linewidths=0)
            low, high = min(xs + ys), max(xs + ys)
            scatter.plot([low, high], [low, high], color=GREY, linewidth=1)
        scatter.set_xlabel("actual")
        scatter.set_ylabel("predicted")
        scatter.set_title("predicted against actual (%s held-out rows)" % _n(len(pts)), loc="left")
        r = m["residuals"]
        if r.get("hist"):
            _stairs(resid, r["edges"], r["hist"], BLUE, True)
        resid.set_xlabel("predicted − actual")
        resid.set_title("residuals of all %s held-out rows" % _n(facts["rows"][2]), loc="left")
        out.append(plots.svg(fig, "predicted against actual, and the residuals"))
    importances = m.get("importances")
    if importances:
        order = sorted(range(len(importances)), key=lambda j: -importances[j])
        labels = [_mpl_text(facts["columns"][j], 24) for j in order][::-1]
        fig, (ax,) = plots.figure(5.4, 0.6 + 0.22 * len(order), (_label_pad(labels),), top=6)
        ax.barh(range(len(order)), [importances[j] for j in order][::-1], color=BLUE, height=0.7)
        ax.set_yticks(range(len(order)))
        ax.set_yticklabels(labels)
        ax.set_xlabel("importance (mean decrease in impurity, summed per input column)")
        out.append("<h3>Feature importances by input column</h3>")
        out.append(plots.svg(fig, "feature importances"))
    return "\n".join(out)


# --------------------------------------------------------------------------------------------
# The apply page


def apply_page(facts):
    """The page of an apply. `facts` (summary.apply_page_facts) holds the summary of the new
    rows, the training summary saved with the pipeline (None for a file saved without one), the
    score on the target column when it was there, and the run."""
    with _Plots() as plots:
        return _apply_page(plots, facts)


def _apply_page(plots, facts):
    new, trained = facts["new"], facts["training"]
    names, tags = facts["columns"], facts["tags"]
    subtitle = "%s · applied with <b>%s</b> (%s, target <b>%s</b>)" % (
        _e(facts["shown"]),
        _e(facts["saved"]),
        _e(facts["model"]),
        _e(facts["target"]),
    )
    nav = [
        ("predictions", "Predictions"),
        ("columns", "New rows against training"),
        ("again", "How to make it again"),
    ]
    flagged = [
        name
        for j, name in enumerate(names)
        if _drift_flags(new["columns"][j], trained["columns"][j] if trained else None, tags[j])
    ]
    cards = [("rows", _n(new["rows"]), "predicted")]
    if facts.get("score") is not None:
        measure = "R²" if facts["measure"] == "R^2" else facts["measure"]
        cards.append((measure, "%.4f" % facts["score"], "on the target column"))
    cards.append(
        (
            "columns to look at",
            "%d of %d" % (len(flagged), len(names)),
            "unseen, missing or out of range" if flagged else "none stands out",
        )
    )
    if trained:
        cards.append(("training rows", _n(trained["rows"]), "summarized when saved"))
    body = [_cards(cards)]
    if not trained:
        body.append(
            '<div class="note">%s holds no summary of its training rows (it was saved before '
            "tabrix-libs kept one): the new rows are shown on their own. Values never seen in "
            "training are still counted, from the pipeline's own categories. Fit and save again "
            "to compare missing cells and number ranges with training.</div>" % _e(facts["saved"])
        )
    body.append('<h2 id="predictions">Predictions</h2>')
    body.append(_predictions_section(plots, facts))
    body.append('<h2 id="columns">New rows against training</h2>')
    body.append(
        '<p class="muted">Per column: the share of cells whose value the pipeline never met in '
        "training (they are imputed like missing cells), the share of missing cells against "
        "training, and numbers outside the training range. Shaded, and drawn against "
        "training: the columns where one of these shares is above %s (missing cells: above "
        "training's share by that much).</p>" % _share(FLAG_SHARE, 1)
    )
    rows, attrs = [], []
    drawn = 0
    for j, (name, tag) in enumerate(zip(names, tags)):
        col = new["columns"][j]
        ref = trained["columns"][j] if trained else None
        draw = bool(_drift_flags(col, ref, tag)) and drawn < DRIFT_PLOTS
        drawn += draw
        rows.append(_drift_cells(plots, name, tag, col, ref, draw))
        attrs.append(
            _attrs(
                class_="flag" if _drift_flags(col, ref, tag) else None,
                column=name,
                cells=col["cells"],
                unseen=col.get("unseen"),
                missing=_missing_cells(col),
                below=col.get("below"),
                above=col.get("above"),
            )
        )
    body.append(
        _table(
            [
                "column",
                "never seen in training",
                "missing: new · training",
                "outside the training range",
                "new · training",
            ],
            rows,
            attrs=attrs,
        )
    )
    body.append(_legend([(BLUE, "new rows"), (GREY, "training rows")]))
    body.append(_run_section(plots, facts["run"]))
    return _page("tabrix-libs apply report", subtitle, nav, "\n".join(body))


def _not_drawn(col, ref, tag):
    """What stands in the plot's place for a column that is not drawn."""
    if not _drift_flags(col, ref, tag):
        return '<span class="muted">nothing stands out</span>'
    return '<span class="muted">not drawn: more than %d columns stand out</span>' % DRIFT_PLOTS


def _drift_flags(col, ref, tag):
    flags = []
    cells = col["cells"] or 1
    if col.get("unseen") and col["unseen"] / cells > FLAG_SHARE:
        flags.append("unseen")
    missing = _missing_cells(col) / cells
    base = _missing_cells(ref) / (ref["cells"] or 1) if ref else 0.0
    if missing - base > FLAG_SHARE:
        flags.append("missing")
    if tag == FLOAT and ((col.get("below") or 0) + (col.get("above") or 0)) / cells > FLAG_SHARE:
        flags.append("range")
    return flags


def _drift_cells(plots, name, tag, col, ref, draw):
    cells = col["cells"]
    if col.get("unseen") is None:
        unseen = "–"
    else:
        unseen = "%s (%s cells)" % (_share(col["unseen"], cells), _n(col["unseen"]))
        if col.get("unseen_values"):
            unseen += "<br>" + _values_text(col["unseen_values"])
        elif col["unseen"]:
            unseen += "<br>more than 1,000 distinct values"
    missing = (
        _share(_missing_cells(col), cells)
        + " · "
        + (_share(_missing_cells(ref), ref["cells"]) if ref else "–")
    )
    if tag == FLOAT:
        if ref and ref.get("min") is not None:
            below, above = col.get("below", 0), col.get("above", 0)
            outside = "%s below %s, %s above %s" % (
                _share(below, cells),
                _num(ref["min"]),
                _share(above, cells),
                _num(ref["max"]),
            )
            outside += '<br><span class="muted">new: %s to %s</span>' % (
                _num(col.get("min")),
                _num(col.get("max")),
            )
        else:
            outside = (
                "new: %s to %s" % (_num(col["min"]), _num(col["max"]))
                if col.get("min") is not None
                else "no numbers"
            )
        if col.get("bad"):
            outside += "<br>%s not numbers" % _n(col["bad"])
    else:
        outside = "–"
    return [
        "<b>%s</b><br><code>%s</code>" % (_e(name), _e(tag)),
        unseen,
        missing,
        outside,
        _drift_plot(plots, name, tag, col, ref) if draw else _not_drawn(col, ref, tag),
    ]


def _drift_plot(plots, name, tag, col, ref):
    pads = (NUMBER_PAD,) if tag == FLOAT else (_label_pad(_top_labels(col.get("cleaned") or {})),)
    fig, (ax,) = plots.figure(3.4, 1.6, pads, top=6)
    if tag == FLOAT:
        edges, hist = col.get("edges"), col.get("hist")
        if ref and edges and hist is not None:
            width = edges[1] - edges[0]
            wide = [edges[0] - width] + list(edges) + [edges[-1] + width]
            counts = [col.get("below", 0)] + list(hist) + [col.get("above", 0)]
            _stairs(ax, wide, counts, BLUE, True, total=col["cells"])
            _stairs(ax, edges, ref["hist"], GREY, False, total=ref["cells"])
            for x in (edges[0], edges[-1]):
                ax.axvline(x, color=GREY, linewidth=0.8, linestyle=":")
        elif col.get("min") is not None:
            _no_data(ax, "%s to %s" % (_num(col["min"]), _num(col["max"])))
        else:
            _no_data(ax, "no numbers")
    else:
        counts = col.get("cleaned")
        if counts is None:
            _no_data(ax, "more than 1,000 distinct values")
        else:
            items = sorted(counts.items(), key=lambda kv: (-kv[1], kv[0]))[:PLOT_VALUES]
            labels = [_mpl_text(v) for v, _ in items][::-1]
            y = list(range(len(items)))
            new_shares = [100.0 * c / (col["cells"] or 1) for _, c in items][::-1]
            ax.barh([k + 0.18 for k in y], new_shares, height=0.36, color=BLUE)
            if ref and ref.get("cleaned") is not None:
                old = [100.0 * ref["cleaned"].get(v, 0) / (ref["cells"] or 1) for v, _ in items][
                    ::-1
                ]
                ax.barh([k - 0.18 for k in y], old, height=0.36, color=GREY)
            ax.set_yticks(y)
            ax.set_yticklabels(labels)
            ax.set_xlabel("% of cells")
    return plots.svg(fig, "%s: new rows against training" % name)


def _predictions_section(plots, facts):
    new, trained = facts["new"], facts["training"]
    pred = new.get("predictions") or {}
    out = []
    if "counts" in pred:
        counts = pred["counts"]
        target = (trained or {}).get("target", {}).get("counts") if trained else None
        classes = sorted(counts, key=lambda c: -counts[c])
        classes += [c for c in facts.get("classes") or sorted(target or ()) if c not in counts]
        rows = []
        total = sum(counts.values()) or 1
        ttotal = sum(target.values()) if target else 0
        for c in classes:
            rows.append(
                [
                    "<b>%s</b>" % _e(c),
                    _n(counts.get(c, 0)),
                    _share(counts.get(c, 0), total),
                    _share(target.get(c, 0), ttotal) if target else "–",
                ]
            )
        fig, (ax,) = plots.figure(
            4.6, 0.8 + 0.3 * len(classes), (_label_pad([_mpl_text(c) for c in classes]),)
        )
        y = list(range(len(classes)))[::-1]
        ax.barh(
            [k + 0.18 for k in y],
            [100.0 * counts.get(c, 0) / total for c in classes],
            height=0.36,
            color=BLUE,
        )
        if target:
            ax.barh(
                [k - 0.18 for k in y],
                [100.0 * target.get(c, 0) / ttotal for c in classes],
                height=0.36,
                color=GREY,
            )
        ax.set_yticks(y)
        ax.set_yticklabels([_mpl_text(c) for c in classes])
        ax.set_xlabel("% of rows")
        ax.set_title(
            "predicted classes" + (" against the training target" if target else ""), loc="left"
        )
        out.append('<div class="plots">')
        out.append(_table(["class", "rows", "share", "training share"], rows, right=(1, 2, 3)))
        out.append(plots.svg(fig, "predicted classes"))
        out.append("</div>")
        if "proba" in pred:
            out.append("<h3>Probabilities (--proba)</h3>")
            out.append(
                '<p class="muted">Per class, how the rows spread over the probability '
                "predicted for it (20 bins from 0 to 1): a class well told apart has its rows "
                "near 0 and 1.</p>"
            )
            proba = pred["proba"]
            # The classes predicted most, one line each on one plot.
            names = sorted(proba, key=lambda c: (-counts.get(c, 0), c))[: len(CLASS_COLOURS)]
            fig, (ax,) = plots.figure(5.6, 2.0, top=6)
            edges = [k / 20 for k in range(21)]
            for c, colour in zip(names, CLASS_COLOURS):
                _stairs(ax, edges, proba[c], colour, False, label=_mpl_text(c))
            ax.set_xlim(0, 1)
            ax.set_xlabel("predicted probability of the class")
            ax.set_ylabel("% of rows")
            ax.legend(frameon=False, fontsize=7, loc="upper center", ncol=min(len(names), 4))
            out.append(plots.svg(fig, "probabilities per class"))
    elif pred:
        fig, (ax,) = plots.figure(4.6, 1.9)
        edges = pred.get("edges")
        if edges and pred.get("hist") is not None:
            _stairs(ax, edges, pred["hist"], BLUE, True, label="predicted")
            target = (trained or {}).get("target") if trained else None
            if target and target.get("hist") and target.get("edges") == edges:
                _stairs(ax, edges, target["hist"], GREY, False, label="training target")
            ax.set_title("predicted values", loc="left")
        else:
            _no_data(ax, "no predictions")
        out.append(
            "<p>Predicted values from %s to %s.</p>"
            % (_num(pred.get("min")), _num(pred.get("max")))
        )
        out.append(plots.svg(fig, "predicted values"))
    return "\n".join(out)


PAGES = {"fit": fit_page, "apply": apply_page}
