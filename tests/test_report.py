"""The pages of `tabrix-libs --report`, as a user meets them: the command run in a process of its
own on the bundled data and on a generated regression table, the figures on each page checked
against the data and the fitted pipeline, a Dask run's page against one process's, failures in
one line, and every page opened in headless Chromium without a console message."""

import collections
import csv
import importlib.util
import os
import random
import re
import shutil
import subprocess
import sys
import types

import joblib
import pytest

from tabrix_libs import saved as saving
from tabrix_libs.pipeline import default_missing
from tabrix_libs.report import REPORT_INSTALL
from tabrix_libs.tableio import PENGUINS

MISSING = set(default_missing())
needs_matplotlib = pytest.mark.skipif(
    importlib.util.find_spec("matplotlib") is None,
    reason="matplotlib is not installed (pip install '.[report]')",
)
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")


def tool(*argv, python=None):
    """The command in a process of its own; its exit code, stdout and the whole of stderr."""
    command = python or [sys.executable, "-m", "tabrix_libs"]
    res = subprocess.run(
        command + ["--no-progress"] + [str(a) for a in argv], capture_output=True, text=True
    )
    return res


def read_rows(path):
    with open(str(path), newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f))
    return rows[0], rows[1:]


def write_rows(path, header, rows):
    with open(str(path), "w", newline="", encoding="utf-8") as f:
        csv.writer(f).writerows([header] + rows)
    return str(path)


def read(path):
    with open(str(path), encoding="utf-8") as f:
        return f.read()


def figures(page, column):
    """The data-* attributes of the table row of `column` (the figures the row shows), and the
    row's HTML."""
    found = re.search(
        r'<tr([^>]*data-column="%s"[^>]*)>(.*?)</tr>' % re.escape(column), page, flags=re.S
    )
    assert found, column
    attrs = dict(re.findall(r'data-([a-z]+)="([^"]*)"', found.group(1)))
    return {k: int(v) if v.lstrip("-").isdigit() else v for k, v in attrs.items()}, found.group(2)


def number(text):
    try:
        return float(text)
    except ValueError:
        return None


def training_range(model, column):
    """The smallest and largest training number of a column, from the saved summary."""
    _, record = saving.load(str(model))
    col = record["summary"]["columns"][record["columns"].index(column)]
    return col["min"], col["max"]


def ok(res):
    assert res.returncode == 0, res.stderr
    assert "Traceback" not in res.stderr
    return res


# --------------------------------------------------------------------------------------------
# The bundled data


@pytest.fixture(scope="module")
def penguins(tmp_path_factory):
    """A fit of the bundled data with its page, and an apply to the penguins changed: islands
    never seen and spelled otherwise, sexes missing, bill lengths outside the training range."""
    tmp = tmp_path_factory.mktemp("penguins")
    run = types.SimpleNamespace(tmp=tmp, model=tmp / "model.joblib")
    run.fit = ok(tool("--save-pipeline", run.model, "--report", tmp / "fit.html"))
    header, rows = read_rows(PENGUINS)
    island, bill, sex = (header.index(c) for c in ("island", "bill_length_mm", "sex"))
    for i, r in enumerate(rows):
        r[island] = {0: "Atlantis", 1: "BISCOE!", 2: "mu"}.get(i % 9, r[island])
        r[sex] = "NA" if i % 7 == 0 else r[sex]
        r[bill] = {0: "99.5", 1: "1.5"}.get(i % 11, r[bill])
    run.header, run.rows = header, rows
    run.new = write_rows(tmp / "new.csv", header, rows)
    run.apply = ok(
        tool(
            run.new,
            "--apply",
            run.model,
            "--proba",
            "--out",
            tmp / "out.csv",
            "--report",
            tmp / "apply.html",
        )
    )
    return run


@needs_matplotlib
def test_fit_page_shows_the_data_and_the_model(penguins):
    page = read(penguins.tmp / "fit.html")
    header, rows = read_rows(PENGUINS)
    for j, name in enumerate(header):
        if name == "species":
            continue
        found, _ = figures(page, name)
        assert found["cells"] == 344
        assert found["missing"] == sum(r[j] in MISSING for r in rows), name
    for anchor in ("data", "steps", "pipeline", "model", "again"):
        assert 'id="%s"' % anchor in page
    printed = re.search(r"held-out accuracy: ([\d.]+)", penguins.fit.stdout).group(1)
    assert "held-out accuracy <b>%s</b> over 86 rows" % printed in page
    assert penguins.fit.stdout.endswith("report written to %s\n" % (penguins.tmp / "fit.html"))
    # The model's facts: a confusion matrix of the 86 held-out rows, importances per column.
    assert "Confusion matrix of the held-out rows" in page
    assert 'aria-label="feature importances"' in page


@needs_matplotlib
def test_apply_page_compares_the_new_rows_with_training(penguins):
    page = read(penguins.tmp / "apply.html")
    header, rows = penguins.header, penguins.rows
    island, _ = figures(page, "island")
    # "BISCOE!" is cleaned into a training island; "Atlantis" and "mu" were never seen.
    unseen = collections.Counter(r[header.index("island")] for r in rows)
    assert island["unseen"] == unseen["Atlantis"] + unseen["mu"] > 0
    _, html = figures(page, "island")
    assert (
        "(%d cells)" % island["unseen"] in html
        and "<code>atlantis</code>&nbsp;(%d)" % (unseen["Atlantis"]) in html
    )
    sex, _ = figures(page, "sex")
    assert sex["missing"] == sum(r[header.index("sex")] in MISSING for r in rows)
    low, high = training_range(penguins.model, "bill_length_mm")
    bills = [number(r[header.index("bill_length_mm")]) for r in rows]
    bill, _ = figures(page, "bill_length_mm")
    assert bill["below"] == sum(b is not None and b < low for b in bills) > 0
    assert bill["above"] == sum(b is not None and b > high for b in bills) > 0
    # The predicted classes on the page are those written to --out.
    _, out = read_rows(penguins.tmp / "out.csv")
    for label, count in collections.Counter(r[len(header)] for r in out).items():
        assert '<b>%s</b></td><td class="r">%d</td>' % (label, count) in page
    assert "Probabilities (--proba)" in page
    assert penguins.apply.stderr.splitlines()[-1] == "tabrix-libs: report written to %s" % (
        penguins.tmp / "apply.html"
    )


@needs_matplotlib
def test_a_pipeline_saved_without_a_summary_still_gets_a_page(penguins):
    """A file saved before the summary was kept: the page says so and shows the rest."""
    saved = joblib.load(str(penguins.model))
    del getattr(saved, saving.RECORD)["summary"]
    old = penguins.tmp / "old.joblib"
    joblib.dump(saved, str(old))
    ok(
        tool(
            penguins.new,
            "--apply",
            old,
            "--out",
            penguins.tmp / "o.csv",
            "--report",
            penguins.tmp / "old.html",
        )
    )
    page = read(penguins.tmp / "old.html")
    assert "holds no summary of its training rows" in page
    new, _ = figures(read(penguins.tmp / "apply.html"), "island")
    found, html = figures(page, "island")
    assert found["unseen"] == new["unseen"]  # from the pipeline's own categories
    assert "below" not in found and "–" in figures(page, "sex")[1]


@needs_matplotlib
def test_a_dask_run_makes_the_page_of_one_process(penguins, tmp_path):
    pytest.importorskip("distributed")
    pages = []
    for how in (
        ["--chunk-rows", "50"],
        ["--dask", "local", "--workers", "2", "--block-size", "4K"],
    ):
        page = tmp_path / ("%d.html" % len(pages))
        ok(
            tool(
                penguins.new,
                "--apply",
                penguins.model,
                "--proba",
                "--out",
                tmp_path / "o.csv",
                "--report",
                page,
                *how,
            )
        )
        pages.append(read(page).split('<h2 id="again">')[0])
    assert pages[0] == pages[1]


# --------------------------------------------------------------------------------------------
# A regression table


CITIES = {
    "New-York": 30,
    "new york": 30,
    "NEW YORK": 30,
    "Boston": 10,
    "boston!": 10,
    "<b>Austin</b>": 20,
    "$5 & up": 5,
}


def regression_rows(seed, n, new=False):
    """A price from a size and a city, with cities spelled several ways (and, new, one never
    seen), sizes missing or not numbers (and, new, too large), booleans, an empty column."""
    rng = random.Random(seed)
    rows = []
    for i in range(n):
        city = "Paris" if new and i % 10 == 0 else rng.choice(sorted(CITIES))
        size = 250.0 if new and i % 13 == 0 else rng.uniform(10, 100)
        text = "n/a" if i % 25 == 0 else "12kg" if i % 40 == 0 else "%.1f" % size
        price = 3 * size + CITIES.get(city, 50) + rng.gauss(0, 5)
        rows.append([city, text, rng.choice(["True", "false", "TRUE", ""]), "NA", "%.2f" % price])
    return ["city", "size", "flag", "empty", "price"], rows


@pytest.fixture(scope="module")
def regression(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("regression")
    run = types.SimpleNamespace(tmp=tmp, model=tmp / "model.joblib")
    run.train = regression_rows(1, 3000)[1]
    train = write_rows(tmp / "train.csv", *regression_rows(1, 3000))
    run.fit = ok(
        tool(
            train,
            "--target",
            "price",
            "--float-columns",
            "size",
            "--save-pipeline",
            run.model,
            "--report",
            tmp / "fit.html",
        )
    )
    run.header, run.rows = regression_rows(2, 2000, new=True)
    new = write_rows(tmp / "new.csv", run.header, run.rows)
    run.apply = ok(
        tool(new, "--apply", run.model, "--out", tmp / "out.csv", "--report", tmp / "apply.html")
    )
    return run


@needs_matplotlib
def test_regression_fit_page(regression):
    page = read(regression.tmp / "fit.html")
    assert "(regression)" in page and "held-out R²" in page
    assert 'aria-label="predicted against actual, and the residuals"' in page
    size, html = figures(page, "size")
    assert "set by --float-columns" in html
    steps = page.split('id="steps"')[1].split('id="pipeline"')[0]
    # Cleaning makes one city of three spellings, and another of two; the booleans' step makes
    # "True" and "TRUE" one.
    groups = re.findall(
        r"((?:<code>[^<]*</code>, )*<code>[^<]*</code>) → <code>([^<]*)</code>", steps
    )
    assert {key: set(re.findall(r"<code>([^<]*)</code>", group)) for group, key in groups} == {
        "newyork": {"NEW YORK", "New-York", "new york"},
        "boston": {"Boston", "boston!"},
        "true": {"True", "TRUE"},
    }
    assert "<code>12kg</code>&nbsp;(%d)" % sum(r[1] == "12kg" for r in regression.train) in steps
    assert "missing in every training row: the column is zeros" in steps
    # Values are text, never markup or mathematics.
    assert "&lt;b&gt;Austin&lt;/b&gt;" in page and "<b>Austin</b>" not in page


@needs_matplotlib
def test_regression_apply_page(regression):
    page = read(regression.tmp / "apply.html")
    rows = regression.rows
    city, _ = figures(page, "city")
    assert city["unseen"] == sum(r[0] == "Paris" for r in rows) > 0
    low, high = training_range(regression.model, "size")
    sizes = [number(r[1]) for r in rows]
    size, _ = figures(page, "size")
    assert size["above"] == sum(s is not None and s > high for s in sizes) > 0
    assert size["below"] == sum(s is not None and s < low for s in sizes)
    assert "predicted values" in page


# --------------------------------------------------------------------------------------------
# Any page


PAGES = [("penguins", "fit"), ("penguins", "apply"), ("regression", "fit"), ("regression", "apply")]


@needs_matplotlib
@pytest.mark.parametrize("data, page", PAGES)
def test_a_page_is_self_contained_and_small(request, data, page):
    text = read(request.getfixturevalue(data).tmp / (page + ".html"))
    for fetching in ("<script", "<link", "<img", "<iframe", "src=", "@import", "url(http"):
        assert fetching not in text
    addresses = set(re.findall(r"https?://[^\s\"'<>)]*", text))
    assert addresses <= {"http://www.w3.org/2000/svg", "http://www.w3.org/1999/xlink"}
    assert len(text.encode("utf-8")) < 2_000_000


def chromium_console(page, png, tmp_path):
    """Opens a page in headless Chromium, takes a screenshot, and returns the console messages
    it logged."""
    res = subprocess.run(
        [
            CHROMIUM,
            "--headless",
            "--disable-gpu",
            "--no-sandbox",
            "--hide-scrollbars",
            "--user-data-dir=%s" % (tmp_path / "profile"),
            "--enable-logging=stderr",
            "--v=0",
            "--window-size=1280,3000",
            "--screenshot=%s" % png,
            "file://%s" % page,
        ],
        capture_output=True,
        text=True,
        timeout=180,
        # The browser is not ours: without the sanitizer runtimes a sanitizer run preloads.
        env={k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")},
    )
    assert os.path.getsize(png) > 10_000, res.stderr
    return [line for line in res.stderr.splitlines() if ":CONSOLE" in line]


needs_chromium = pytest.mark.skipif(
    CHROMIUM is None,
    reason="headless Chromium is not installed (Debian: apt-get install chromium; .ci/run does)",
)


@needs_chromium
def test_console_messages_are_seen(tmp_path):
    """The check below would see an error: a page that logs one."""
    page = tmp_path / "broken.html"
    page.write_text("<!DOCTYPE html><p>x</p><script>console.error('broken'); nothing();</script>")
    logged = chromium_console(page, tmp_path / "broken.png", tmp_path)
    assert any("broken" in line for line in logged) and any("nothing" in line for line in logged)


@needs_matplotlib
@needs_chromium
@pytest.mark.parametrize("data, page", PAGES)
def test_a_page_renders_in_chromium_without_console_messages(request, tmp_path, data, page):
    run = request.getfixturevalue(data)
    png = run.tmp / (page + ".png")
    assert chromium_console(run.tmp / (page + ".html"), png, tmp_path) == []


# --------------------------------------------------------------------------------------------
# Failures


def test_failures_are_one_line(tmp_path):
    hidden = [
        sys.executable,
        "-c",
        "import sys; sys.modules['matplotlib'] = None; "
        "from tabrix_libs.cli import main; sys.exit(main())",
    ]
    cases = [
        (
            tool("--report", tmp_path / "page.txt"),
            "--report %s: the name must end in .html" % (tmp_path / "page.txt"),
        ),
        (
            tool("--report", tmp_path / "no" / "page.html"),
            "--report %s: no folder %s" % (tmp_path / "no" / "page.html", tmp_path / "no"),
        ),
        (tool("--report", tmp_path / "page.html", python=hidden), REPORT_INSTALL),
    ]
    for res, message in cases:
        assert res.returncode == 2
        assert res.stderr == "tabrix-libs: error: %s\n" % message
    assert not os.listdir(str(tmp_path))  # no page, and nothing left half written
