"""pandas and polars frames: every class gives on a frame what it gives on the array the frame
converts to, records and checks the column names, and refuses what it cannot work on."""

import warnings

import estimator_cases
import numpy as np
import pytest
import sklearn
from sklearn.compose import ColumnTransformer
from sklearn.linear_model import LogisticRegression
from sklearn.model_selection import GridSearchCV
from sklearn.pipeline import Pipeline, make_pipeline
from test_ecosystem import assert_same

from tabrix_libs.transformers import exportable

pd = pytest.importorskip("pandas")

PANDAS_MAJOR = int(pd.__version__.split(".")[0])
SKLEARN = tuple(int(p) for p in sklearn.__version__.split(".")[:2])
NAMES = sorted(estimator_cases.cases(exportable))
KINDS = ["pandas-object", "pandas-str", "pandas-arrow", "polars"]


def _needs(kind):
    if kind == "pandas-str" and PANDAS_MAJOR < 3:
        pytest.skip("the str dtype is pandas 3's")
    if kind == "pandas-arrow":
        pytest.importorskip("pyarrow")
        if not hasattr(pd, "ArrowDtype") and PANDAS_MAJOR < 2:
            try:
                pd.array(["a"], dtype="string[pyarrow]")
            except (TypeError, ImportError, ValueError):
                pytest.skip("this pandas has no Arrow-backed strings")
    if kind == "polars":
        pytest.importorskip("polars")


def _missing(v):
    return v is None or (isinstance(v, float) and v != v)


def _column_kind(values):
    present = [v for v in values if not _missing(v)]
    if present and all(isinstance(v, (bool, np.bool_)) for v in present):
        return "bool"
    if present and all(isinstance(v, (int, float)) for v in present):
        return "number"
    return "text"


# Per frame kind, the dtype of a text, number and boolean column.
def _dtypes(kind):
    if kind == "pandas-object":
        return {"text": object, "number": object, "bool": object}
    if kind == "pandas-str":
        return {"text": "str", "number": "float64", "bool": "bool"}
    if kind == "pandas-arrow":
        return {"text": "string[pyarrow]", "number": "Float64", "bool": "boolean"}
    import polars as pl

    return {"text": pl.Utf8, "number": pl.Float64, "bool": pl.Boolean}


def frame_and_array(kind, A):
    """The frame of `kind` holding the table A (missing cells as None), the array the classes
    are to see for it (float64 when every column holds numbers, object otherwise, with np.nan
    for every missing cell), and the column names."""
    rows = [[None if _missing(v) else v for v in row] for row in A.tolist()]
    columns = [[row[j] for row in rows] for j in range(A.shape[1])]
    kinds = [_column_kind(c) for c in columns]
    names = ["c%d" % j for j in range(A.shape[1])]
    dtypes = _dtypes(kind)
    if kind == "polars":
        import polars as pl

        frame = pl.DataFrame(
            [pl.Series(n, c, dtype=dtypes[k]) for n, c, k in zip(names, columns, kinds)]
        )
    else:
        frame = pd.DataFrame(
            {n: pd.Series(c, dtype=dtypes[k]) for n, c, k in zip(names, columns, kinds)}
        )
    if kind != "pandas-object" and all(k == "number" for k in kinds):
        array = np.array([[np.nan if v is None else v for v in r] for r in rows], dtype=float)
    else:
        array = np.empty(A.shape, dtype=object)
        for i, row in enumerate(rows):
            for j, v in enumerate(row):
                array[i, j] = np.nan if v is None else float(v) if kinds[j] == "number" else v
    # Column by column, as the libraries lay out what they hand over (a scaler's sums round
    # differently over the other layout).
    return frame, np.asfortranarray(array), names


def _run(make, X):
    """Fit then transform, the trace lines they print, and the feature names recorded; or the
    exception type."""
    import contextlib
    import io

    out = io.StringIO()
    try:
        with contextlib.redirect_stdout(out):
            t = make()
            Y = t.fit(X).transform(X)
    except Exception as e:
        return type(e), None, None
    return Y, out.getvalue(), getattr(t, "feature_names_in_", None)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("name", NAMES)
def test_a_frame_gives_what_its_array_gives(ex, name, kind):
    _needs(kind)
    make, A = estimator_cases.cases(ex)[name]
    frame, array, names = frame_and_array(kind, A)
    ex.debug = True
    want, want_trace, _ = _run(make, array)
    got, got_trace, got_names = _run(make, frame)
    if isinstance(want, type):
        assert got is want
        return
    if want is array:  # the class hands back its input: the frame's caller gets the frame
        assert got is frame
    else:
        assert_same(got, want)
    assert got_trace == want_trace
    assert got_names.tolist() == names


RETURNS_INPUT = {
    "AllPassPreprocessingTransformer": lambda: exportable.AllPassPreprocessingTransformer(),
    "NumpyColumnSelector": lambda: exportable.NumpyColumnSelector([]),
    "NumpyApplyAlongAxis": lambda: exportable.NumpyApplyAlongAxis(np.cumsum, 0, []),
    "ColumnSelector": lambda: exportable.ColumnSelector([0], activate_flag=False),
    "boolean2float": lambda: exportable.boolean2float(activate_flag=False),
    "OptStandardScaler": lambda: exportable.OptStandardScaler(use_scaler_flag=False),
}


@pytest.mark.parametrize("kind", ["pandas-object", "polars"])
@pytest.mark.parametrize("name", sorted(RETURNS_INPUT))
def test_where_the_input_comes_back_the_frame_comes_back(name, kind):
    _needs(kind)
    frame, _, _ = frame_and_array(kind, np.array([["a", 1.0], ["b", None]], dtype=object))
    t = RETURNS_INPUT[name]()
    assert t.fit(frame).transform(frame) is frame
    assert t.fit_transform(frame) is frame


def _select_all(X):
    return exportable.NumpyColumnSelector(list(range(X.shape[1]))).fit_transform(X)


def test_pandas_dtypes_convert_to_one_array_with_nan_for_missing():
    cols = {
        "obj": pd.Series(["a", None, np.nan], dtype=object),
        "f": [1.5, np.nan, 2.0],
        "i": pd.array([1, None, 3], dtype="Int64"),
        "b": pd.array([True, None, False], dtype="boolean"),
        "s": pd.array(["x", None, "y"], dtype="string"),
        "cat": pd.Categorical(["u", None, "u"]),
        "t": pd.to_datetime(["2020-01-02", None, "2021-03-04"]),
    }
    frame = pd.DataFrame(cols)
    before = frame.copy()
    X = _select_all(frame)
    assert X.dtype == object and X.shape == (3, 7)
    assert all(v is np.nan for v in X[1])
    assert X[0, :6].tolist() == ["a", 1.5, 1, True, "x", "u"]
    assert X[2, 6] == pd.Timestamp("2021-03-04")
    pd.testing.assert_frame_equal(frame, before)  # the caller's frame is left as it was
    assert frame["obj"][1] is None

    numbers = pd.DataFrame({"i": pd.array([1, None], dtype="Int64"), "f": [0.5, np.nan]})
    Y = _select_all(numbers)
    assert Y.dtype == np.float64
    np.testing.assert_array_equal(Y, [[1.0, 0.5], [np.nan, np.nan]])


def test_polars_dtypes_convert_to_one_array_with_nan_for_missing():
    pl = pytest.importorskip("polars")
    X = _select_all(pl.DataFrame({"s": ["a", None], "n": [1, None], "b": [None, True]}))
    assert X.dtype == object and X[0, 0] == "a" and X[0, 1] == 1
    assert all(v is np.nan for v in X[1, :2]) and X[0, 2] is np.nan and X[1, 2] is True
    Y = _select_all(pl.DataFrame({"n": [1, None], "f": [0.5, None]}))
    assert Y.dtype == np.float64
    np.testing.assert_array_equal(Y, [[1.0, 0.5], [np.nan, np.nan]])


@pytest.mark.parametrize("kind", ["pandas-object", "polars"])
def test_column_names_are_recorded_and_checked(ex, kind):
    _needs(kind)
    frame, array, names = frame_and_array(kind, np.array([["a", "1"], ["b", "2"]], dtype=object))
    t = ex.CompressStrings(dtypes_list=["char_str", "float_str"], misslist_list=[[], []])
    t.fit(frame)
    assert t.feature_names_in_.tolist() == names
    reordered = frame[names[::-1]]
    with pytest.raises(ValueError, match="must be in the same order as they were in fit"):
        t.transform(reordered)
    renamed = (
        frame.rename({"c1": "other"}) if kind == "polars" else frame.rename(columns={"c1": "other"})
    )
    with pytest.raises(
        ValueError, match="(?s)unseen at fit time:\n- other\n.*yet now missing:\n- c1"
    ):
        t.transform(renamed)
    with pytest.warns(
        UserWarning, match="X does not have valid feature names, but CompressStrings"
    ):
        t.transform(array)
    t.fit(array)  # fitted anew without names: the old ones are dropped
    assert not hasattr(t, "feature_names_in_")
    with pytest.warns(
        UserWarning, match="X has feature names, but CompressStrings was fitted without"
    ):
        t.transform(frame)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        t.transform(array)


def test_names_that_are_not_all_strings():
    t = exportable.AllPassPreprocessingTransformer()
    t.fit(pd.DataFrame(np.zeros((2, 2))))  # integer column names: no feature names
    assert not hasattr(t, "feature_names_in_")
    with pytest.raises(TypeError, match="only supported if all input features have string names"):
        t.fit(pd.DataFrame({"a": [1.0], 0: [2.0]}))


@pytest.mark.parametrize("name", NAMES)
def test_what_no_class_works_on_is_refused_in_one_clear_error(ex, name):
    make, _ = estimator_cases.cases(ex)[name]
    refused = [{"a": [1, 2]}, pd.Series([[1, 2], [3]]), pd.Index(["a"]), 3.5, "text", None]
    try:
        import polars as pl

        refused.append(pl.DataFrame({"a": [1]}).lazy())
    except ImportError:
        pass
    for X in refused:
        for method in ("fit", "transform"):
            with pytest.raises(
                TypeError,
                match=r"^%s\.%s expects .* or a pandas or polars DataFrame; got " % (name, method),
            ):
                getattr(make(), method)(X)


def _people(n=40):
    rng = np.random.RandomState(0)
    cities = np.array([" New-York", "new york", "Boston!", "boston", None], dtype=object)
    return {
        "city": cities[rng.randint(0, 5, n)].tolist(),
        "price": [None if i % 7 == 0 else "%.1f" % v for i, v in enumerate(rng.uniform(1, 9, n))],
        "age": [float(v) for v in rng.randint(18, 80, n)],
    }


def _prep(columns):
    text, price = columns
    return ColumnTransformer(
        [
            (
                "text",
                make_pipeline(
                    exportable.CompressStrings(dtypes_list=["char_str"], misslist_list=[[]]),
                    exportable.CatImputer("most_frequent", np.nan),
                    exportable.CatEncoder("ordinal", "auto", np.float64, "ignore"),
                ),
                text,
            ),
            (
                "price",
                make_pipeline(
                    exportable.FloatStr2Float(["float_str"]),
                    exportable.NumImputer("mean", np.nan),
                ),
                price,
            ),
        ]
    )


@pytest.mark.parametrize("kind", ["pandas", "polars"])
def test_column_transformer_by_name_in_a_pipeline_and_a_grid_search(kind):
    data = _people()
    if kind == "polars":
        pl = pytest.importorskip("polars")
        if SKLEARN < (1, 4):
            pytest.skip("ColumnTransformer selects polars columns by name from 1.4 on")
        frame = pl.DataFrame(data)
    else:
        frame = pd.DataFrame(data)
    array = np.array(
        [[np.nan if v is None else v for v in r] for r in zip(*data.values())], dtype=object
    )
    y = np.arange(len(array)) % 2

    by_name = _prep((["city"], ["price"])).fit_transform(frame)
    by_position = _prep(([0], [1])).fit_transform(array)
    assert_same(by_name, by_position)

    pipe = Pipeline([("prep", _prep((["city"], ["price"]))), ("model", LogisticRegression())])
    search = GridSearchCV(pipe, {"prep__price__numimputer__strategy": ["mean", "median"]}, cv=2)
    search.fit(frame, y)
    assert search.best_params_["prep__price__numimputer__strategy"] in ("mean", "median")
    assert search.predict(frame).shape == (len(array),)


@pytest.mark.skipif(SKLEARN < (1, 2), reason="set_output came with scikit-learn 1.2")
def test_set_output_is_refused_by_scikit_learn_itself():
    t = exportable.CompressStrings(dtypes_list=["char_str"], misslist_list=[[]])
    assert not hasattr(t, "set_output")
    with pytest.raises(ValueError, match="Unable to configure output for CompressStrings"):
        make_pipeline(t).set_output(transform="pandas")
    with pytest.raises(ValueError, match="Unable to configure output for CompressStrings"):
        _prep((["city"], ["price"])).set_output(transform="pandas")
