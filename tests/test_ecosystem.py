"""The transformers as scikit-learn users use them: pipelines, column transformers, cloning,
grid search, persistence across processes, scikit-learn's estimator checks, and Dask."""

import json
import os
import pickle
import subprocess
import sys
import textwrap

import estimator_cases
import numpy as np
import pytest
import sklearn
from scipy import sparse
from sklearn.base import clone
from sklearn.compose import ColumnTransformer
from sklearn.impute import SimpleImputer
from sklearn.linear_model import LogisticRegression
from sklearn.model_selection import GridSearchCV
from sklearn.pipeline import Pipeline, make_pipeline
from sklearn.preprocessing import OrdinalEncoder, StandardScaler

from tabrix_libs.transformers import exportable

HERE = os.path.dirname(os.path.abspath(__file__))
NAMES = sorted(estimator_cases.cases(exportable))
WRAPPED = {
    "CatImputer": "imputer",
    "NumImputer": "imputer",
    "CatEncoder": "encoder",
    "OptStandardScaler": "scaler",
}


def assert_same(a, b):
    """Equal type, dtype, shape and values, with NaN equal to NaN and cell types compared in
    object arrays."""
    assert type(a) is type(b)
    if sparse.issparse(a):
        a, b = a.toarray(), b.toarray()
    assert a.dtype == b.dtype and a.shape == b.shape
    if a.dtype == object:
        for x, y in zip(a.ravel().tolist(), b.ravel().tolist()):
            assert type(x) is type(y) and (x == y or (x != x and y != y)), (x, y)
    else:
        np.testing.assert_array_equal(a, b)


@pytest.fixture
def case(ex, request):
    make, X = estimator_cases.cases(ex)[request.param]
    return request.param, make, X


def mixed_table(n=60, seed=0):
    rng = np.random.RandomState(seed)
    X = np.empty((n, 4), dtype=object)
    X[:, 0] = rng.normal(size=n)
    X[:, 1] = rng.randint(0, 5, size=n).astype(float)
    X[:, 2] = rng.choice(["red", "green", "blue"], size=n)
    X[:, 3] = rng.choice(["s", "m", "l", "xl"], size=n)
    X[rng.rand(n) < 0.15, 0] = np.nan
    X[rng.rand(n) < 0.15, 2] = np.nan
    return X


# --------------------------------------------------------------------------------------------
# Pipelines and column transformers


def test_column_transformer_matches_plain_scikit_learn(ex):
    X = mixed_table()
    ours = ColumnTransformer(
        [
            ("num", make_pipeline(ex.NumImputer("median", np.nan), ex.OptStandardScaler()), [0, 1]),
            (
                "cat",
                make_pipeline(
                    ex.CatImputer("most_frequent", np.nan),
                    ex.CatEncoder("ordinal", "auto", np.float64, "error"),
                ),
                [2, 3],
            ),
        ]
    )
    plain = ColumnTransformer(
        [
            ("num", make_pipeline(SimpleImputer(strategy="median"), StandardScaler()), [0, 1]),
            (
                "cat",
                make_pipeline(SimpleImputer(strategy="most_frequent"), OrdinalEncoder()),
                [2, 3],
            ),
        ]
    )
    expected = plain.fit_transform(X[:40])
    np.testing.assert_allclose(ours.fit_transform(X[:40]), expected)
    np.testing.assert_allclose(ours.transform(X[40:]), plain.transform(X[40:]))
    encoder = ours.named_transformers_["cat"].steps[1][1]
    assert [list(c) for c in encoder.categories_found] == [
        ["blue", "green", "red"],
        ["l", "m", "s", "xl"],
    ]


def test_numeric_imputer_keeps_all_missing_columns_in_a_column_transformer(ex):
    X = np.array([[1.0, np.nan, 3.0], [np.nan, np.nan, 5.0], [2.0, np.nan, np.nan]])
    ct = ColumnTransformer([("num", ex.NumImputer("mean", np.nan), [0, 1, 2])])
    Y = ct.fit_transform(X)
    np.testing.assert_allclose(Y, [[1.0, 0.0, 3.0], [1.5, 0.0, 5.0], [2.0, 0.0, 4.0]])


@pytest.mark.parametrize("case", NAMES, indirect=True)
def test_fit_transform_equals_fit_then_transform(case):
    name, make, X = case
    before = X.copy()
    a = make().fit_transform(X)
    b = make().fit(X).transform(X)
    assert_same(a if a is not X else a.copy(), b if b is not X else b.copy())
    assert_same(X, before)  # the input is never modified


@pytest.mark.parametrize("case", NAMES, indirect=True)
def test_inside_a_pipeline(case):
    name, make, X = case
    pipe = Pipeline([("first", exportable.AllPassPreprocessingTransformer()), ("step", make())])
    assert_same(pipe.fit(X).transform(X), make().fit(X).transform(X))
    assert pipe.named_steps["step"].n_features_in_ == X.shape[1]


# --------------------------------------------------------------------------------------------
# Cloning and grid search


@pytest.mark.parametrize("case", NAMES, indirect=True)
def test_clone(case):
    name, make, X = case
    fitted = make().fit(X)
    if name == "NumpyApplyAlongAxis":
        # *args/**kwargs in the constructor: scikit-learn's introspection refuses the class.
        with pytest.raises(RuntimeError, match="varargs"):
            clone(fitted)
        return
    copy = clone(fitted)
    assert type(copy) is type(fitted) and not hasattr(copy, "n_features_in_")
    assert set(copy.get_params()) == set(fitted.get_params())
    if name in WRAPPED:
        # The wrapped estimator is rebuilt by the constructor, not shared with the original.
        assert getattr(copy, WRAPPED[name]) is not getattr(fitted, WRAPPED[name])
    assert_same(copy.fit(X).transform(X), fitted.transform(X))


def _two_blobs(n=80, seed=1):
    rng = np.random.RandomState(seed)
    y = rng.randint(0, 2, size=n)
    X = np.c_[rng.normal(size=n), y * 3.0 + rng.normal(scale=0.3, size=n), rng.normal(size=n)]
    return X, y


def test_grid_search_over_a_constructor_parameter(ex):
    X, y = _two_blobs()
    pipe = Pipeline(
        [
            ("select", ex.ColumnSelector([0])),
            ("scale", ex.OptStandardScaler()),
            ("clf", LogisticRegression()),
        ]
    )
    grid = GridSearchCV(
        pipe,
        {"select__columns_indices_list": [[0], [1], [2]], "scale__use_scaler_flag": [True, False]},
        cv=3,
    )
    grid.fit(X, y)
    # Only column 1 carries the classes.
    assert grid.best_params_["select__columns_indices_list"] == [1]
    assert grid.best_score_ > 0.9
    scores = grid.cv_results_["mean_test_score"]
    assert scores.max() - scores.min() > 0.3
    # The refitted winner is an ordinary fitted pipeline.
    assert grid.best_estimator_.named_steps["select"].columns_indices_list == [1]


@pytest.mark.parametrize("via", ["set_params", "grid search"])
def test_a_searched_strategy_reaches_the_wrapped_imputer(ex, via):
    # GridSearchCV fits every candidate as clone(estimator).set_params(**candidate).fit(...).
    X = np.array([[0.0], [0.0], [0.0], [100.0], [np.nan], [np.nan]] * 5)  # mean 25, median 0
    if via == "set_params":
        imputer = clone(ex.NumImputer("mean", np.nan)).set_params(strategy="median").fit(X)
    else:
        y = np.array([0, 1, 0, 1, 0, 1] * 5)
        pipe = Pipeline([("impute", ex.NumImputer("mean", np.nan)), ("clf", LogisticRegression())])
        grid = GridSearchCV(pipe, {"impute__strategy": ["median"]}, cv=2).fit(X, y)
        imputer = grid.best_estimator_.named_steps["impute"]
    assert imputer.transform(np.array([[np.nan]]))[0, 0] == 0.0


def test_changed_parameters_reach_the_wrapped_estimators(ex):
    X = np.array([["a"], ["b"], ["a"]], dtype=object)
    encoder = clone(ex.CatEncoder("ordinal", "auto", np.float64, "error")).set_params(
        encoding="onehot-dense"
    )
    assert encoder.fit(X).transform(X).shape == (3, 2)
    assert encoder.set_params(dtype=np.float32).fit(X).transform(X).dtype == np.float32
    imputer = ex.CatImputer("most_frequent", None).set_params(missing_values="b")
    assert imputer.fit(X).transform(X).tolist() == [["a"], ["a"], ["a"]]
    Xn = np.array([[1.0], [3.0]])
    scaler = ex.OptStandardScaler(use_scaler_flag=False).set_params(use_scaler_flag=True)
    assert scaler.fit(Xn).transform(Xn).tolist() == [[-1.0], [1.0]]
    assert (scaler.num_scaler_copy, scaler.num_scaler_with_mean, scaler.num_scaler_with_std) == (
        True,
    ) * 3


def test_refit_keeps_the_switch_to_ignore_unknown_categories(ex):
    encoder = ex.CatEncoder("onehot-dense", "auto", np.float64, "error")
    encoder.fit(np.array([["a"], ["b"]], dtype=object))
    with pytest.warns(Warning, match="Found unknown categories"):
        encoder.transform(np.array([["c"]], dtype=object))
    wrapped = encoder.encoder
    encoder.fit(np.array([["a"], ["b"]], dtype=object))
    assert encoder.encoder is wrapped and wrapped.handle_unknown == "ignore"


# --------------------------------------------------------------------------------------------
# Persistence, checked in a fresh interpreter

RELOAD = textwrap.dedent("""
    import pickle, sys
    sys.path.insert(0, sys.argv[3])
    fmt, path = sys.argv[1], sys.argv[2]
    if fmt == "joblib":
        import joblib
        load = joblib.load
    else:
        load = lambda p: pickle.load(open(p, "rb"))
    fitted, inputs = load(path)
    outputs = {}
    for name, est in fitted.items():
        outputs[name] = (est.transform(inputs[name]), est.n_features_in_, sorted(vars(est)))
    with open(path + ".out", "wb") as f:
        pickle.dump(outputs, f)
    """)


@pytest.mark.parametrize("fmt", ["pickle", "joblib", "cloudpickle"])
def test_round_trip_in_a_fresh_process(ex, tmp_path, fmt):
    if fmt == "cloudpickle":
        cloudpickle = pytest.importorskip("cloudpickle")
    fitted, inputs, expected = {}, {}, {}
    for name, (make, X) in estimator_cases.cases(ex).items():
        est = make().fit(X)
        fitted[name], inputs[name] = est, X
        expected[name] = (est.transform(X), est.n_features_in_, sorted(vars(est)))
    if fmt == "cloudpickle":
        # cloudpickle also carries a function defined on the spot.
        est = ex.NumpyApplyAlongAxis(lambda col: col * 2 + 1, 0, [1])
        X = np.arange(12.0).reshape(4, 3)
        fitted["lambda"], inputs["lambda"] = est.fit(X), X
        expected["lambda"] = (est.transform(X), 3, sorted(vars(est)))
    path = str(tmp_path / "fitted.bin")
    if fmt == "joblib":
        import joblib

        joblib.dump((fitted, inputs), path)
    else:
        with open(path, "wb") as f:
            (cloudpickle if fmt == "cloudpickle" else pickle).dump((fitted, inputs), f)
    subprocess.run([sys.executable, "-c", RELOAD, fmt, path, HERE], check=True, timeout=120)
    with open(path + ".out", "rb") as f:
        got = pickle.load(f)
    assert set(got) == set(expected)
    for name in expected:
        assert_same(got[name][0], expected[name][0])
        assert got[name][1:] == expected[name][1:], name
    if fmt == "cloudpickle":
        np.testing.assert_array_equal(got["lambda"][0], [[3.0], [9.0], [15.0], [21.0]])


# --------------------------------------------------------------------------------------------
# scikit-learn's estimator checks


def _family():
    return ".".join(sklearn.__version__.split(".")[:2])


def _pins():
    with open(os.path.join(HERE, "estimator_checks_pins.json"), encoding="utf-8") as f:
        return json.load(f)


def test_estimator_checks_match_the_pinned_table(ex):
    family, pins = _family(), _pins()
    if family not in pins:
        pytest.skip("no pinned estimator-check results for scikit-learn %s" % family)
    instances = estimator_cases.check_instances(ex)
    assert sorted(instances) == sorted(pins[family])
    changed = {}
    for name, est in instances.items():
        results = estimator_cases.run_checks(est)
        failing = sorted(c for c, outcome in results.items() if outcome)
        if failing != pins[family][name]:
            changed[name] = {
                "now failing": sorted(set(failing) - set(pins[family][name])),
                "now passing": sorted(set(pins[family][name]) - set(failing)),
                "messages": {c: results[c] for c in set(failing) - set(pins[family][name])},
            }
    assert not changed, (
        "estimator checks changed; rerun tools/estimator_checks_table.py --pin:\n"
        + json.dumps(changed, indent=1)
    )


class _CountsItsCalls(exportable.AllPassPreprocessingTransformer):
    """Writes into an array it learned at every transform, which a read-only memory-mapped copy
    (what the readonly_memmap variant of the pickle check makes of the fitted instance)
    refuses."""

    def fit(self, X, y=None):
        super().fit(X, y)
        self.calls_ = np.zeros(1)
        return self

    def transform(self, X):
        self.calls_ += 1
        return super().transform(X)


@pytest.mark.parametrize("reported", ["Prescott", None, "Haswell"], ids=str)
def test_estimator_checks_do_not_depend_on_the_openblas_core_type(monkeypatch, reported):
    # What threadpoolctl says of OpenBLAS on a CPU that OpenBLAS does not know (Prescott), with
    # no core type, or on a known one.
    from sklearn.utils import _testing

    if not estimator_cases.memmap_helper_reads_the_blas():
        pytest.skip("scikit-learn %s's memory-map helper does not look at the BLAS" % _family())
    entry = {"internal_api": "openblas", "user_api": "blas", "num_threads": 2}
    if reported is not None:
        entry["architecture"] = reported
    monkeypatch.setattr(_testing, "threadpool_info", lambda: [dict(entry)])
    if reported != "Haswell":  # the report reaches the helper, which refuses an estimator
        with pytest.raises(ValueError, match="aligned memmap"):
            _testing.create_memmap_backed_data(exportable.AllPassPreprocessingTransformer())
    results = estimator_cases.run_checks(exportable.AllPassPreprocessingTransformer())
    pins = _pins().get(_family())
    if pins is not None:
        assert sorted(c for c, o in results.items() if o) == pins["AllPassPreprocessingTransformer"]
    assert results["check_estimators_pickle"] is None
    # The pickle check still runs its memory-mapped variant, down to our transform.
    counting = estimator_cases.run_checks(_CountsItsCalls())
    assert "read-only" in (counting["check_estimators_pickle"] or "")
    assert _testing.threadpool_info() == [entry]  # the view is back as the host reports it


# --------------------------------------------------------------------------------------------
# Dask: a fitted pipeline applied partition by partition in worker processes


def test_dask_map_blocks_on_a_local_cluster(ex):
    da = pytest.importorskip("dask.array")
    distributed = pytest.importorskip("distributed")
    from tabrix_libs.pipeline import build_pipeline, tag_columns
    from tabrix_libs.tableio import PENGUINS, read_csv
    from tabrix_libs.utils.exportable_utils import global_missing_values_reference_list

    names, rows = read_csv(PENGUINS)
    X = np.array(rows, dtype=object)[:, 1:]  # species is the target
    missing = [m for m in global_missing_values_reference_list if isinstance(m, str)]
    tags = tag_columns(X, names[1:], set(missing))
    pipe = build_pipeline(tags, missing, "onehot-dense", scale=True).fit(X[:200])
    expected = pipe.transform(X)
    width = expected.shape[1]

    with distributed.LocalCluster(
        processes=True, n_workers=2, threads_per_worker=1, dashboard_address=None, silence_logs=40
    ) as cluster, distributed.Client(cluster, timeout="60s") as client:
        blocks = da.from_array(X, chunks=(50, X.shape[1]))
        lazy = blocks.map_blocks(pipe.transform, dtype=np.float32, chunks=(50, width))
        result = client.compute(lazy).result(timeout=120)
        workers = client.run(os.getpid)
    assert len(set(workers.values()) - {os.getpid()}) == 2
    assert result.dtype == np.float32
    np.testing.assert_array_equal(result, expected)
