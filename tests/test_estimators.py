import inspect
import subprocess
import sys
import types
import warnings

import numpy as np
import pytest
import sklearn
import sklearn.preprocessing
from sklearn.base import clone
from sklearn.impute import SimpleImputer
from sklearn.preprocessing import OneHotEncoder, StandardScaler

SK_VERSION = tuple(int(p) for p in sklearn.__version__.split(".")[:2] if p.isdigit())
NAN = np.nan
# Columns 1 and 3 entirely missing; column 2 missing in all rows but one.
X4 = np.array([[1.0, NAN, NAN, NAN], [NAN, NAN, 5.0, NAN], [3.0, NAN, NAN, NAN]])
CATS = np.array([["a", "x"], ["b", "y"], ["a", "y"]], dtype=object)
UNSEEN = np.array([["c", "x"], ["b", "z"]], dtype=object)
UNSEEN_TEXT = "Found unknown categories  in column 0 during transform"


def recording_class(calls, init=None):
    """A stand-in estimator class recording the keywords of every construction."""

    def __init__(self, **kwargs):
        calls.append(list(kwargs.items()))

    return type("Fake", (), {"__init__": init or __init__})


@pytest.fixture
def quiet():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        yield


# ---------------------------------------------------------------- construction


@pytest.mark.parametrize("strategy", ["mean", "most_frequent", "constant"])
@pytest.mark.parametrize(
    "make", [lambda ex, s: ex.CatImputer(s, -1, "019"), lambda ex, s: ex.NumImputer(s, -1)]
)
def test_replaced_simple_imputer_gets_exactly_two_keywords(ex, monkeypatch, make, strategy):
    calls = []
    monkeypatch.setattr(ex, "SimpleImputer", recording_class(calls))
    wrapper = make(ex, strategy)
    assert calls == [[("strategy", strategy), ("missing_values", -1)]]
    assert type(wrapper.imputer).__name__ == "Fake"


@pytest.mark.parametrize("cls", ["CatImputer", "NumImputer"])
@pytest.mark.parametrize("strategy", ["mean", "constant"])
def test_own_simple_imputer_keeps_empty_columns_only_for_constant(ex, cls, strategy):
    wrapper = getattr(ex, cls)(strategy=strategy, missing_values=NAN)
    assert isinstance(wrapper.imputer, SimpleImputer) and wrapper.imputer.strategy == strategy
    expected = strategy == "constant" and SK_VERSION >= (1, 8)
    assert wrapper.imputer.get_params().get("keep_empty_features", False) is expected
    assert "keep_empty_features" not in clone(wrapper).get_params()


ENCODER_CASES = [
    ("ordinal", "OrdinalEncoder", [("categories", "auto"), ("dtype", int)]),
    (
        "onehot",
        "OneHotEncoder",
        [("categories", "auto"), ("sparse", True), ("dtype", int), ("handle_unknown", "h")],
    ),
    (
        "onehot-dense",
        "OneHotEncoder",
        [("categories", "auto"), ("sparse", False), ("dtype", int), ("handle_unknown", "h")],
    ),
    ("other", "OrdinalEncoder", [("categories", "auto"), ("dtype", int)]),
]


@pytest.mark.parametrize("encoding, chosen, keywords", ENCODER_CASES)
def test_encoder_chosen_by_encoding_and_imported_at_each_construction(
    ex, monkeypatch, encoding, chosen, keywords
):
    calls = {name: [] for name in ("OrdinalEncoder", "OneHotEncoder", "CategoricalEncoder")}
    for name, log in calls.items():
        monkeypatch.setattr(sklearn.preprocessing, name, recording_class(log), raising=False)
    ex.CatEncoder(encoding, "auto", int, "h")
    assert calls.pop(chosen) == [keywords] and not any(calls.values())
    for family in ("020dev", "019"):
        ex.CatEncoder(encoding, "auto", int, "h", sklearn_version_family=family)
    expected = [
        ("encoding", encoding),
        ("categories", "auto"),
        ("dtype", int),
        ("handle_unknown", "h"),
    ]
    assert calls["CategoricalEncoder"] == [expected, expected]


def test_sparse_keyword_follows_the_class_signature(ex, monkeypatch):
    calls = []

    def __init__(self, categories=None, sparse_output=True, dtype=None, handle_unknown=None):
        calls.append(sparse_output)

    monkeypatch.setattr(sklearn.preprocessing, "OneHotEncoder", recording_class(calls, __init__))
    ex.CatEncoder("onehot-dense", "auto", int, "error")
    ex.CatEncoder("onehot", "auto", int, "error")
    assert calls == [False, True]
    monkeypatch.undo()
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no deprecation warning, no TypeError
        for encoding, sparse in (("onehot", True), ("onehot-dense", False)):
            enc = ex.CatEncoder(encoding, "auto", np.float64, "error").encoder
            params = enc.get_params()
            assert params.get("sparse_output", params.get("sparse")) is sparse


def test_missing_categorical_encoder_is_an_import_error(ex):
    with pytest.raises(
        ImportError,
        match=r"^cannot import name 'CategoricalEncoder' from 'sklearn.preprocessing' \(",
    ):
        ex.CatEncoder("onehot", "auto", int, "error", sklearn_version_family="019")


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({}, [("copy", True), ("with_mean", True), ("with_std", True)]),
        (
            {"num_scaler_with_mean": False, "junk": 1},
            [("copy", True), ("with_mean", False), ("with_std", True)],
        ),
        (
            {"num_scaler_copy": 0, "num_scaler_with_std": None},
            [("copy", 0), ("with_mean", True), ("with_std", None)],
        ),
    ],
)
def test_scaler_options_from_keywords(ex, monkeypatch, kwargs, expected):
    calls = []
    monkeypatch.setattr(ex, "StandardScaler", recording_class(calls))
    s = ex.OptStandardScaler(**kwargs)
    assert calls == [expected]
    assert [getattr(s, "num_scaler_" + k) for k, _ in expected] == [v for _, v in expected]
    assert s.get_params() == {"use_scaler_flag": True}


def test_switched_off_scaler_builds_nothing(ex, monkeypatch):
    monkeypatch.setattr(ex, "StandardScaler", pytest.fail)
    s = ex.OptStandardScaler(use_scaler_flag=False, num_scaler_copy=False)
    assert not any(
        hasattr(s, a)
        for a in ("scaler", "num_scaler_copy", "num_scaler_with_mean", "num_scaler_with_std")
    )
    X = np.arange(6.0).reshape(3, 2)
    assert s.fit(X).transform(X) is X
    s.use_scaler_flag = True
    with pytest.raises(AttributeError, match="scaler"):
        s.transform(X)


def test_signatures_and_captured_family_default(ex, monkeypatch):
    family = ex.global_sklearn_version_family
    monkeypatch.setattr(ex, "global_sklearn_version_family", "rebound")
    assert ex.CatImputer.__init__.__defaults__ == (family, True)
    assert ex.CatEncoder("ordinal", "auto", int, "error").sklearn_version_family == family
    assert (
        str(inspect.signature(ex.OptStandardScaler.__init__))
        == "(self, use_scaler_flag=True, **kwargs)"
    )
    assert (
        str(inspect.signature(ex.NumImputer.__init__))
        == "(self, strategy, missing_values, activate_flag=True)"
    )
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'handle_unknown'"):
        ex.CatEncoder("ordinal", "auto", int)
    assert ex.CatEncoder.__doc__ == "\n    This is a template for classes\n    "


# ---------------------------------------------------------------- NumImputer


def test_num_imputer_reinserts_all_missing_columns_as_zeros(ex, monkeypatch, quiet):
    seen = []
    real = ex.is_all_missing
    monkeypatch.setattr(
        ex, "is_all_missing", lambda x, bad: seen.append((x.tolist(), bad)) or real(x, bad)
    )
    X = X4.copy()
    imp = ex.NumImputer("mean", NAN).fit(X)
    assert imp.bad_columns == [1, 3]
    assert [len(col) for col, _ in seen] == [3, 3, 3, 3] and all(bad is NAN for _, bad in seen)
    Y = imp.transform(X)
    np.testing.assert_array_equal(Y, [[1, 0, 5, 0], [2, 0, 5, 0], [3, 0, 5, 0]])
    np.testing.assert_array_equal(X, X4)  # input untouched
    const = ex.NumImputer("constant", NAN).fit(X)
    assert not hasattr(const, "bad_columns")
    np.testing.assert_array_equal(const.transform(X), np.nan_to_num(X4))


def test_num_imputer_converts_to_float_and_passes_through_when_off(ex):
    X = np.array([[1, -1], [3, 4]])
    Y = ex.NumImputer("mean", -1).fit(X).transform(X)
    assert Y.dtype == np.float64
    np.testing.assert_array_equal(Y, [[1.0, 4.0], [3.0, 4.0]])
    X = np.array([[1.0, NAN], [NAN, 2.0]])
    imp = ex.NumImputer("mean", NAN).fit(X)
    imp.imputer.set_params(copy=False)  # an imputer filling in place gets a converted copy
    np.testing.assert_array_equal(imp.transform(X), [[1.0, 2.0], [1.0, 2.0]])
    np.testing.assert_array_equal(X, [[1.0, NAN], [NAN, 2.0]])
    off = ex.NumImputer("mean", NAN, activate_flag=False).fit(X4)
    assert off.transform(X4) is X4 and not hasattr(off, "bad_columns")


def test_num_imputer_reinsertion_failures_are_swallowed_then_shape_asserted(ex, monkeypatch, quiet):
    imp = ex.NumImputer("constant", NAN).fit(X4)
    imp.strategy = "mean"  # no bad_columns: the error is swallowed, the shape check decides
    assert imp.transform(X4).shape == (3, 4)
    imp = ex.NumImputer("mean", NAN).fit(X4)

    class BrokenNumpy:
        def __getattr__(self, name):
            raise RuntimeError(name)

    monkeypatch.setattr(ex, "np", BrokenNumpy())
    with pytest.raises(AssertionError):
        imp.transform(X4)

    class Interrupting:
        def __iter__(self):
            raise KeyboardInterrupt

    imp.bad_columns = Interrupting()
    with pytest.raises(KeyboardInterrupt):
        imp.transform(X4)


def test_num_imputer_shape_assertion_skipped_when_optimised():
    code = (
        "import numpy as np, warnings; warnings.simplefilter('ignore')\n"
        "from tabrix_libs.transformers import exportable as ex\n"
        "from sklearn.impute import SimpleImputer\n"
        "X = np.array([[1.0, np.nan]])\n"
        "imp = ex.NumImputer('constant', np.nan).fit(X)\n"
        "imp.strategy, imp.imputer = 'mean', SimpleImputer(strategy='mean').fit(X)\n"
        "print(imp.transform(X).shape)\n"
    )
    out = subprocess.run(
        [sys.executable, "-O", "-c", code], capture_output=True, text=True, check=True
    ).stdout
    assert out.strip() == "(1, 1)"


# ---------------------------------------------------------------- CatEncoder


@pytest.mark.parametrize(
    "encoding, recovered",
    [("onehot-dense", [[0, 0, 1, 0], [0, 1, 0, 0]]), ("ordinal", [[0, 0], [1, 0]])],
)
def test_unknown_categories_warn_once_and_are_ignored_for_good(ex, encoding, recovered):
    enc = ex.CatEncoder(encoding, "auto", np.float64, "error").fit(CATS)
    assert enc.categories_found is enc.encoder.categories_
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        Y = enc.transform(UNSEEN)
        assert [(w.category, str(w.message)) for w in caught] == [(Warning, UNSEEN_TEXT)]
        np.testing.assert_array_equal(Y, recovered)
        assert (enc.encoder.handle_unknown, enc.handle_unknown) == ("ignore", "error")
        np.testing.assert_array_equal(enc.transform(UNSEEN), recovered)
        assert len(caught) == 1


class RaisingEncoder:
    def __init__(self, error):
        self.error, self.calls = error, 0

    def transform(self, X):
        self.calls += 1
        if self.calls == 1:
            raise self.error
        return "second"


@pytest.mark.parametrize(
    "versions, message, outcome",
    [
        (["0", "24", "2"], "Found unknown categories ['q'] in column 1 during fit", "recovered"),
        (["1", "9"], "Found unknown categories [1, 2] x", "recovered"),
        (["0", "23", "2"], "Found unknown categories ['q'] in column 1", "same"),
        (["2", "0", "0"], "Found unknown categories ['q'] in column 1", "same"),
        (["1", "5"], "Unknown categories ['q']", "same"),
        (["0", "dev"], "Found unknown categories ['q']", ValueError),
        (["1", "5"], "Found unknown categories q", IndexError),
    ],
)
def test_recovery_is_gated_by_version_and_message(ex, monkeypatch, versions, message, outcome):
    monkeypatch.setattr(ex, "sklearn_version_list", versions)
    error = ValueError(message)
    enc = ex.CatEncoder("ordinal", "auto", int, "error")
    enc.encoder = RaisingEncoder(error)
    caught = []
    monkeypatch.setattr(
        ex, "warnings", types.SimpleNamespace(warn=lambda *args: caught.append(args))
    )
    if outcome == "recovered":
        assert enc.transform(CATS) == "second"
        assert caught == [(message.split("[")[0] + message.split("]")[1], Warning)]
        assert enc.encoder.handle_unknown == "ignore"
    elif outcome == "same":
        with pytest.raises(ValueError) as info:
            enc.transform(CATS)
        assert info.value is error and not caught
    else:
        with pytest.raises(outcome) as info:
            enc.transform(CATS)
        assert info.value is not error and info.value.__context__ is error


@pytest.mark.parametrize("error", [TypeError("Found unknown categories [1]"), KeyError("x")])
def test_other_errors_pass_through_unchanged(ex, error):
    enc = ex.CatEncoder("ordinal", "auto", int, "error")
    enc.encoder = RaisingEncoder(error)
    with pytest.raises(type(error)) as info:
        enc.transform(CATS)
    assert info.value is error


class MyOrdinal(sklearn.preprocessing.OrdinalEncoder):
    pass


class MyOneHot(OneHotEncoder):
    pass


DENSE = {"sparse_output" if SK_VERSION >= (1, 2) else "sparse": False}
# Not scikit-learn's class, only its name; it agrees with every setting it is asked about.
NAMESAKE = type("OrdinalEncoder", (), {"categories": "auto", "dtype": np.float64})


@pytest.mark.parametrize(
    "encoding, assign, kept",
    [
        ("ordinal", lambda: MyOrdinal(categories="auto", dtype=np.float64), True),
        (
            "onehot-dense",
            lambda: MyOneHot(categories="auto", dtype=np.float64, handle_unknown="error", **DENSE),
            True,
        ),
        ("ordinal", lambda: MyOrdinal(categories="auto", dtype=np.float32), False),  # another dtype
        (
            "onehot-dense",
            lambda: MyOrdinal(categories="auto", dtype=np.float64),
            False,
        ),  # another class
        ("ordinal", NAMESAKE, False),
    ],
)
def test_an_assigned_encoder_is_kept_when_it_fits_the_parameters(ex, encoding, assign, kept):
    enc = ex.CatEncoder(encoding, "auto", np.float64, "error")
    wrapped = assign()
    enc.encoder = wrapped
    enc.fit(CATS)
    expected = OneHotEncoder if encoding == "onehot-dense" else sklearn.preprocessing.OrdinalEncoder
    assert (enc.encoder is wrapped) is kept and isinstance(enc.encoder, expected)
    assert enc.categories_found is enc.encoder.categories_


def test_switched_off_encoder_and_unfitted_errors(ex):
    off = ex.CatEncoder("onehot", "auto", int, "error", activate_flag=False).fit(CATS)
    assert off.transform(CATS) is CATS and not hasattr(off, "categories_found")
    from sklearn.exceptions import NotFittedError

    with pytest.raises(NotFittedError):
        ex.CatEncoder("onehot", "auto", int, "error").transform(CATS)


# ---------------------------------------------------------------- real data


def test_pipeline_on_mixed_data_matches_scikit_learn(ex, quiet):
    from sklearn.compose import ColumnTransformer
    from sklearn.datasets import load_wine
    from sklearn.linear_model import LogisticRegression
    from sklearn.pipeline import make_pipeline

    data = load_wine()
    rng = np.random.default_rng(7)
    n = data.data.shape[0]
    num = data.data[:, :6].copy()
    num[rng.random(num.shape) < 0.1] = NAN
    num = np.insert(num, 2, NAN, axis=1)  # an all-missing column
    cats = np.stack(
        [rng.choice(["red", "green", "blue"], n), rng.choice(["s", "m", "l", "xl"], n)], axis=1
    ).astype(object)
    cats[rng.random(cats.shape) < 0.15] = NAN
    X = np.concatenate([cats, num], axis=1)
    cat_cols, num_cols = [0, 1], list(range(2, X.shape[1]))

    def model(cat_steps, num_steps, numeric=num_cols):
        columns = ColumnTransformer(
            [
                ("cat", make_pipeline(*cat_steps), cat_cols),
                ("num", make_pipeline(*num_steps), numeric),
            ]
        )
        return make_pipeline(columns, LogisticRegression(max_iter=2000))

    ours = model(
        [
            ex.CatImputer("most_frequent", NAN),
            ex.CatEncoder("onehot-dense", "auto", np.float64, "error"),
        ],
        [ex.NumImputer("mean", NAN), ex.OptStandardScaler()],
    )
    # scikit-learn's imputer drops the all-missing column, which ours keeps as zeros.
    theirs = model(
        [
            SimpleImputer(strategy="most_frequent"),
            OneHotEncoder(**{"sparse_output" if SK_VERSION >= (1, 2) else "sparse": False}),
        ],
        [SimpleImputer(strategy="mean"), StandardScaler()],
        numeric=[c for c in num_cols if c != 4],
    )
    X_before = X.copy()
    ours.fit(X, data.target)
    theirs.fit(X, data.target)
    features = ours[0].transform(X)
    assert features.shape == (n, 3 + 4 + 7) and np.all(features[:, 3 + 4 + 2] == 0)
    np.testing.assert_allclose(np.delete(features, 3 + 4 + 2, axis=1), theirs[0].transform(X))
    np.testing.assert_array_equal(ours.predict(X), theirs.predict(X))
    assert ours.score(X, data.target) > 0.9
    np.testing.assert_array_equal(X.astype(str), X_before.astype(str))
