"""Fitting on a sample of the rows (--sample-rows), and the forest trained and applied on several
threads with the results of one."""

import io

import numpy as np
import pytest

from tabrix_libs import _model, cli
from tabrix_libs.sampling import sample_rows
from tabrix_libs.tableio import CsvReader


def numbered(n):
    """Rows that say which row they are."""
    return [[str(i), "x"] for i in range(n)]


def chunked(rows, size):
    return [rows[i : i + size] for i in range(0, len(rows), size)]


def drawn(rows, size, seed=0, chunk=None):
    sample, read = sample_rows(chunked(rows, chunk or len(rows)), size, seed)
    assert read == len(rows)
    return [int(r[0]) for r in sample]


@pytest.mark.parametrize("total, size", [(1000, 10), (1000, 999), (57, 5), (10, 1)])
def test_the_sample_depends_on_the_seed_alone_not_on_the_chunks(total, size):
    rows = numbered(total)
    first = drawn(rows, size, seed=3)
    assert len(first) == size == len(set(first)) and first == sorted(first)  # file order
    for chunk in (1, 7, size, size + 1, 333):
        assert drawn(rows, size, seed=3, chunk=chunk) == first, chunk
    assert drawn(rows, size, seed=3) == first
    assert drawn(rows, size, seed=4) != first


@pytest.mark.parametrize("total, size", [(5, 5), (5, 6), (1, 100)])
def test_at_most_the_sample_size_every_row_is_kept_in_order(total, size):
    for chunk in (1, 2, total):
        assert drawn(numbered(total), size, chunk=chunk) == list(range(total))


def test_every_row_is_equally_likely_to_be_drawn():
    # 4000 fixed seeds: row i is drawn in 1000 of them on average, with a standard deviation of
    # some 27; a wrong slot formula (floor(u * i), say) always keeps row 5 and drifts the rest.
    total, size, seeds = 20, 5, 4000
    counts = np.zeros(total)
    for seed in range(seeds):
        counts[drawn(numbered(total), size, seed=seed, chunk=6)] += 1
    assert np.all(np.abs(counts - seeds * size / total) < 150), counts


def write_rows(tmp_path, n, name="data.csv"):
    """A CSV file whose target follows its first column; with every row a label value."""
    rng = np.random.RandomState(7)
    lines = ["a,b,t"]
    for i in range(n):
        a = rng.normal()
        lines.append("%r,%s,%s" % (a, "pq"[i % 2], "yes" if a + rng.normal(0, 0.3) > 0 else "no"))
    path = tmp_path / name
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return str(path)


def fit(path, *argv):
    """Fits in this process: the report and the saved Pipeline."""
    out = io.StringIO()
    args = cli.make_parser().parse_args(
        [path, "--no-progress", "--save-pipeline", path + ".joblib", *argv]
    )
    cli.check_options(args)
    _, saved = cli.fit(args, out, io.StringIO())
    return out.getvalue(), saved


def lines(report, start):
    return [line for line in report.splitlines() if line.startswith(start)]


def test_a_sample_is_fitted_and_scored_on_its_own_rows(tmp_path, monkeypatch):
    path = write_rows(tmp_path, 400)
    monkeypatch.setattr(cli, "SAMPLE_CHUNK_ROWS", 64)
    report, saved = fit(path, "--sample-rows", "100", "--seed", "5")
    assert lines(report, "data: ")[0].startswith("data: %s, 400 rows x 3 columns" % path)
    assert lines(report, "sample: ") == ["sample: 100 of the 400 rows, drawn with seed 5"]
    assert lines(report, "target: ") == [
        "target: t (classification), 100 rows with a value; train 75, held out 25"
    ]
    monkeypatch.setattr(cli, "SAMPLE_CHUNK_ROWS", 1000)
    again, saved_again = fit(path, "--sample-rows", "100", "--seed", "5")
    X = np.array([[repr(float(i) / 10 - 2), "p"] for i in range(40)], dtype=object)
    assert lines(again, "held-out") == lines(report, "held-out")
    assert np.array_equal(saved.predict_proba(X), saved_again.predict_proba(X))


@pytest.mark.parametrize("size", ["60", "1000"])
def test_a_sample_as_large_as_the_file_is_the_whole_file(tmp_path, size):
    path = write_rows(tmp_path, 60)
    whole, saved_whole = fit(path)
    report, saved = fit(path, "--sample-rows", size)
    assert lines(report, "sample: ") == ["sample: all 60 rows (--sample-rows %s)" % size]
    for start in ("target: ", "held-out"):
        assert lines(report, start) == lines(whole, start)
    with CsvReader(path) as reader:
        X = np.array(next(reader.chunks()), dtype=object)[:, :2]
    assert np.array_equal(saved.predict_proba(X), saved_whole.predict_proba(X))


@pytest.mark.parametrize(
    "argv, message",
    [
        (["x.csv", "--apply", "m.joblib", "--sample-rows", "10"], "--sample-rows only applies"),
        (["--sample-rows", "10", "--out", "o.npy"], "--out writes the whole file"),
        (["--sample-rows", "0"], "must be at least 1"),  # argparse's error, with the usage
    ],
)
def test_sample_options_that_cannot_work_are_refused(capsys, argv, message):
    try:
        code = cli.main(["--no-progress", *argv])
    except SystemExit as e:
        code = e.code
    err = capsys.readouterr().err
    assert code == 2 and message in err and "Traceback" not in err
    assert err.count("\n") == 1 or err.startswith("usage: ")


def small_forest(kind):
    """A small forest on rows that several trees disagree about, with float outputs."""
    rng = np.random.RandomState(0)
    X = rng.normal(size=(300, 4)).astype(np.float32)
    y = X[:, 0] + rng.normal(0, 1.0, 300)
    model = _model.make_model(kind, 3).set_params(n_estimators=15)
    return model, X, (y > 0).astype(str) if kind == _model.CLASSIFICATION else y


@pytest.mark.parametrize("kind", [_model.CLASSIFICATION, _model.REGRESSION])
def test_training_on_two_threads_builds_the_trees_of_one(kind):
    one, X, y = small_forest(kind)
    two = small_forest(kind)[0]
    _model.train(one, X, y, n_jobs=1)
    _model.train(two, X, y, n_jobs=2)
    assert one.n_jobs == two.n_jobs == 1  # saved as before
    for a, b in zip(one.estimators_, two.estimators_):
        for field in ("feature", "threshold", "value", "children_left"):
            assert np.array_equal(getattr(a.tree_, field), getattr(b.tree_, field))
    assert np.array_equal(one.predict(X), two.predict(X))


@pytest.mark.parametrize(
    "kind, proba",
    [(_model.CLASSIFICATION, False), (_model.CLASSIFICATION, True), (_model.REGRESSION, False)],
)
@pytest.mark.parametrize("jobs", [1, 2, 3])
def test_predicting_rows_on_threads_is_bit_for_bit_one_job(kind, proba, jobs):
    model, X, y = small_forest(kind)
    _model.train(model, X[:200], y[:200], n_jobs=1)
    X = X[200:]
    expected = model.predict_proba(X) if proba else model.predict(X)
    got = _model.predict_rows(model, X, proba=proba, n_jobs=jobs, min_rows=1)
    assert got.dtype == expected.dtype and got.tobytes() == expected.tobytes()
    # A model set to several jobs of its own is predicted through a one-job copy, left as it was.
    model.set_params(n_jobs=2)
    got = _model.predict_rows(model, X, proba=proba, n_jobs=jobs, min_rows=1)
    assert got.tobytes() == expected.tobytes() and model.n_jobs == 2
