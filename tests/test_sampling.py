"""The forest trained and applied on several threads with the results of one."""

import numpy as np
import pytest

from tabrix_libs import _model


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
