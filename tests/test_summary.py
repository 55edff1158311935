"""The per-column summaries behind --report: the counting kernel against collections.Counter, the
summary of a table against its cells and the fitted pipeline, the same summary whatever the
blocks it is cut into, and the training summary saved with a pipeline and loaded back."""

import collections
import io
import math
import random

import numpy as np
import pytest

from tabrix_libs import _tableio, cli, summary
from tabrix_libs import saved as saving
from tabrix_libs.pipeline import build_pipeline, default_missing, tag_columns

MISSING = default_missing()
NAMES = ["city", "size", "flag", "empty"]
TAGS = ["char_str", "float_str", "bool_str", "float_str"]
SPELLINGS = ["New-York", "new york", "NEW YORK!", "Boston", "boston", "Zürich", "zurich", "x" * 40]


def make_table(seed, n, unseen=()):
    """Rows of the four columns: text in several spellings (and `unseen` ones), numbers with
    text that is not a number, booleans in mixed case (and "maybe" with `unseen`), a column
    that is always missing; every column with missing markers."""
    rng = random.Random(seed)
    markers = ["", "NA", "?", "n/a"]

    def pick(values):
        # Fresh str objects half the time: the kernel must count equal values of distinct cells.
        v = rng.choice(values)
        return "".join(list(v)) if rng.random() < 0.5 else v

    rows = []
    for _ in range(n):
        size = rng.choice(["%.2f" % rng.uniform(1, 50), str(rng.randint(1, 50))] * 4 + ["12kg"])
        rows.append(
            [
                pick(SPELLINGS + list(unseen) + markers[:1]),
                pick([size, size, "NA"]),
                pick(["True", "false", "TRUE", "?"] + ["maybe"] * bool(unseen)),
                pick(markers),
            ]
        )
    return np.array(rows, dtype=object)


@pytest.fixture(scope="module")
def fitted():
    """A pipeline fitted on a table, its record, and the training table."""
    X = make_table(0, 400)
    tags = tag_columns(X, NAMES, frozenset(MISSING), float_columns=[1])
    assert tags == TAGS
    pipe = build_pipeline(tags, MISSING).fit(X)
    record = {"columns": NAMES, "tags": tags, "missing": MISSING, "task": "regression"}
    return pipe, record, X


# --------------------------------------------------------------------------------------------
# The counting kernel


@pytest.mark.parametrize("layout", ["array", "column of a 2-D array", "list"])
@pytest.mark.parametrize("cap", [1000, 12, 11, 3, 0])
def test_value_counts_are_those_of_a_counter(layout, cap):
    rng = random.Random(cap)
    pool = SPELLINGS + ["", "NA", "日本", "a\x00b", "é" * 20]  # 12 values besides "NA"
    cells = ["".join(list(rng.choice(pool))) for _ in range(300)] + list(pool)
    kept = ["NA", "never there"]
    column = np.array(cells, dtype=object)
    if layout == "column of a 2-D array":
        column = np.array([cells, cells[::-1]], dtype=object).T[:, 0]
    elif layout == "list":
        column = cells
    values, counts, over = _tableio.value_counts(column, cap, kept)
    expected = collections.Counter(cells)
    assert over == (len(set(cells) - set(kept)) > cap)
    assert values[:2] == kept
    got = dict(zip(values, counts.tolist()))
    if over:
        assert got == {k: expected.get(k, 0) for k in kept}
    else:
        assert got == dict({k: 0 for k in kept}, **expected)


@pytest.mark.parametrize("cell", [1.5, None, b"bytes"])
def test_value_counts_takes_str_cells_only(cell):
    with pytest.raises(TypeError, match="must be str"):
        _tableio.value_counts(np.array(["a", cell], dtype=object), 10)


# --------------------------------------------------------------------------------------------
# A table's summary


def expected_figures(pipe, X_train, X):
    """What the summary must say of X, worked out from its cells with Python's own float() and
    from the fitted pipeline's steps (the unseen categories are the cells its unseen step turns
    into NaN)."""
    markers = set(MISSING)

    def number(v):
        try:
            return float(v)
        except ValueError:
            return None

    train_numbers = [number(v) for v in X_train[:, 1] if v not in markers]
    low, high = (
        min(x for x in train_numbers if x is not None),
        max(x for x in train_numbers if x is not None),
    )
    size = [number(v) for v in X[:, 1] if v not in markers]
    steps = pipe.named_steps
    cleaned = steps["missing"].transform(steps["compress"].transform(X))
    cat = pipe.named_steps["branches"].transformer_list[0][1]
    before = cat.named_steps["select"].transform(cleaned)
    after = cat.named_steps["unseen"].transform(before)
    unseen = collections.Counter(a for a, b in zip(before[:, 0], after[:, 0]) if a == a and b != b)
    flags = collections.Counter(v.lower() for v in X[:, 2] if v not in markers)
    return {
        "missing": [collections.Counter(v for v in X[:, j] if v in markers) for j in range(4)],
        "unseen": unseen,  # cleaned value: cells
        "numbers": sum(x is not None for x in size),
        "bad": collections.Counter(v for v in X[:, 1] if v not in markers and number(v) is None),
        "below": sum(x is not None and x < low for x in size),
        "above": sum(x is not None and x > high for x in size),
        "range": (low, high),
        "flag_unseen": sum(c for v, c in flags.items() if v not in ("true", "false")),
    }


@pytest.mark.parametrize("cap", [1000, 4])
@pytest.mark.parametrize("seed", [1, 2])
def test_summary_of_blocks_is_that_of_the_table_and_its_cells(fitted, monkeypatch, cap, seed):
    """Cut into blocks anywhere, the merged summary is that of the whole table, and its figures
    are those of the cells; with a small cap the lists of values are given up, the counts
    not."""
    monkeypatch.setattr(summary, "CAP", cap)
    pipe, record, X_train = fitted
    layout = summary.Layout.of_pipeline(pipe, record)
    trained = summary.training(X_train, layout)
    X = make_table(seed, 3000, unseen=["Paris", "paris!", "Oslo"])
    whole = summary.summarize(X, layout)
    rng = random.Random(seed)
    cuts = sorted(rng.sample(range(1, len(X)), 12))
    merged = None
    for a, b in zip([0] + cuts, cuts + [len(X)]):
        merged = summary.merge(merged, summary.summarize(X[a:b], layout))
    assert merged == whole

    want = expected_figures(pipe, X_train, X)
    city, size, flag, empty = whole["columns"]
    for col, missing in zip(whole["columns"], want["missing"]):
        assert col["cells"] == len(X) and col["missing"] == dict(missing)
    assert city["unseen"] == sum(want["unseen"].values()) > 0
    assert city["unseen_values"] == dict(want["unseen"])  # two values: never past the cap
    assert flag["unseen"] == want["flag_unseen"] > 0
    assert (size["numbers"], size["below"], size["above"]) == (
        want["numbers"],
        want["below"],
        want["above"],
    )
    assert size["bad"] == sum(want["bad"].values()) > 0
    assert sum(size["hist"]) + size["below"] + size["above"] == size["numbers"]
    assert size["edges"][0] == trained["columns"][1]["min"] == want["range"][0]
    assert size["edges"][-1] == trained["columns"][1]["max"] == want["range"][1]
    assert empty["numbers"] == 0 and empty["hist"] is None
    if cap == 1000:
        assert size["bad_values"] == dict(want["bad"])
        assert city["cleaned_from"]["NEW YORK!"] == "newyork"
    else:
        assert city["values"] is city["cleaned"] is city["cleaned_from"] is None


def test_predictions_and_a_regression_target(fitted):
    pipe, record, X_train = fitted
    layout = summary.Layout(NAMES, TAGS, MISSING, task="regression", target_edges=[0.0, 5.0, 10.0])
    part = summary.summarize(X_train[:4], layout, predictions=[np.array([-1.0, 0.0, 5.0, 11.0])])
    assert part["predictions"]["hist"] == [1, 1] and (
        part["predictions"]["below"],
        part["predictions"]["above"],
    ) == (1, 1)
    layout = summary.Layout(NAMES, TAGS, MISSING, task="classification", classes=["a", "b"])
    columns = [
        ["a", "b", "a", "a"],
        np.array([0.9, 0.05, 1.0, 0.5]),
        np.array([0.1, 0.95, 0.0, 0.5]),
    ]
    part = summary.summarize(X_train[:4], layout, predictions=columns)
    assert part["predictions"]["counts"] == {"a": 3, "b": 1}
    proba = part["predictions"]["proba"]  # bins of 0.05, the last one closed
    assert [k for k, c in enumerate(proba["a"]) for _ in range(c)] == [1, 10, 18, 19]
    assert [k for k, c in enumerate(proba["b"]) for _ in range(c)] == [0, 2, 10, 19]


@pytest.mark.parametrize("seed", [0, 1])
def test_confusion_matrix_is_scikit_learns(seed):
    from sklearn.metrics import confusion_matrix

    rng = np.random.RandomState(seed)
    labels = ["b", "a", "c c", "d"]
    actual = rng.choice(labels + ["never predicted"], 500)
    predicted = rng.choice(labels[:3], 500)
    want = confusion_matrix(actual, predicted, labels=labels).tolist()
    assert summary.confusion(labels, actual, predicted) == want


# --------------------------------------------------------------------------------------------
# Saved with the pipeline


@pytest.mark.parametrize(
    "fmt",
    [
        "joblib",
        pytest.param(
            "skops",
            marks=pytest.mark.skipif(not saving.skops_available(), reason="skops is not installed"),
        ),
    ],
)
def test_training_summary_is_saved_and_loaded_back(tmp_path, fmt):
    path = str(tmp_path / ("model." + fmt))
    args = cli.make_parser().parse_args(["--no-progress", "--save-pipeline", path])
    cli.check_options(args)
    _, fitted = cli.fit(args, io.StringIO(), io.StringIO())
    _, record = saving.load(path)
    found = summary.saved_summary(record, record["columns"], record["tags"])
    assert found is not None and found == getattr(fitted, saving.RECORD)["summary"]
    assert found["rows"] == 258 and found["target"]["counts"]["Adelie"] > 0
    # The bundled data has 2 bill lengths missing; the training split holds some of them.
    bill = found["columns"][record["columns"].index("bill_length_mm")]
    assert bill["cells"] == 258 and sum(bill["hist"]) == bill["numbers"] == 258 - sum(
        bill["missing"].values()
    )


@pytest.mark.parametrize(
    "damage",
    [
        lambda s: s.update(version=2),
        lambda s: s["columns"].pop(),
        lambda s: s["columns"][1].update(hist=[1, 2]),
        lambda s: s["columns"][1].update(edges=[math.nan] * (summary.BINS + 1)),
        lambda s: s["columns"][0].update(values={"a": "many"}),
        lambda s: s.update(columns="none"),
    ],
)
def test_a_damaged_summary_counts_as_none(fitted, damage):
    pipe, record, X_train = fitted
    saved = summary.for_saving(summary.training(X_train, summary.Layout.of_pipeline(pipe, record)))
    assert summary.saved_summary({"summary": saved}, NAMES, TAGS) == saved
    damage(saved)
    assert summary.saved_summary({"summary": saved}, NAMES, TAGS) is None
