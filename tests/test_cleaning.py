"""Value cleaning and conversion transformers, through the real utility module and through
recording stand-ins for it (the protocol they share is tested in test_common.py)."""

import math

import numpy as np
import pytest

from tabrix_libs.utils import exportable_utils as utils


def mixed():
    return np.array(
        [[" Hello, World! ", "1.5", True], ["NA", " 2e3 ", "false"], [None, "junk", False]],
        dtype=object,
    )


# name -> (constructor keywords that switch the class on, input it accepts)
ACTIVE = {
    "CompressStrings": (dict(dtypes_list=["char_str"] * 3, misslist_list=[[]] * 3), mixed),
    "NumpyReplaceMissingValues": (dict(missing_values=["NA"]), mixed),
    "NumpyReplaceUnknownValues": (dict(known_values_list=[["NA"], ["1.5"], [True]]), mixed),
    "FloatStr2Float": (dict(dtypes_list=["char_str", "float_str", "x"]), mixed),
    "boolean2float": (dict(), mixed),
    "float32_transform": (dict(), lambda: np.arange(6.0).reshape(3, 2)),
}


def make(ex, name, **overrides):
    kwargs, data = ACTIVE[name]
    return getattr(ex, name)(**{**kwargs, **overrides}), data()


class Recorder:
    def __init__(self, result=None):
        self.calls, self.result = [], result

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result if self.result is not None else args[0]


# ---------------------------------------------------------------- constructors


def test_constructor_defaults(ex, monkeypatch):
    shared = ex.global_missing_values_reference_list
    nan_default = ex.NumpyReplaceMissingValues.__init__.__defaults__[0]
    assert nan_default is np.nan and ex.NumpyReplaceMissingValues([]).filling_values is np.nan
    m = ex.NumpyReplaceMissingValues(None, None)
    assert m.missing_values == [] and m.filling_values is np.nan
    a, b = ex.NumpyReplaceUnknownValues(), ex.NumpyReplaceUnknownValues()
    assert a.missing_values_reference_list is shared and a.filling_values is np.nan
    assert a.known_values_list == [] and a.known_values_list is not b.known_values_list
    assert a.filling_values_list is not b.filling_values_list
    c, d = ex.CompressStrings(), ex.CompressStrings()
    assert c.missing_values_reference_list is shared and c.compress_type == "string"
    assert c.dtypes_list is not d.dtypes_list and c.misslist_list is not d.misslist_list
    flag = object()
    assert ex.boolean2float(flag).activate_flag is flag
    rec = Recorder(result=["chosen"])
    monkeypatch.setattr(ex, "setValueOrDefault", rec)
    assert ex.FloatStr2Float(["x"], "mine").missing_values_reference_list == ["chosen"]
    assert rec.calls == [(("mine", shared), {})]
    for cls in (ex.NumpyReplaceMissingValues, ex.FloatStr2Float):
        with pytest.raises(TypeError):
            cls()


# ---------------------------------------------------------------- recorded utility calls


@pytest.mark.parametrize(
    "name, invert, reference",
    [
        ("NumpyReplaceMissingValues", False, "missing_values"),
        ("NumpyReplaceUnknownValues", True, "known_values_list"),
    ],
)
def test_replace_values_call(ex, monkeypatch, name, invert, reference):
    result = np.zeros((3, 3))
    rec = Recorder(result)
    monkeypatch.setattr(ex, "numpy_replace_values", rec)
    t, X = make(ex, name)
    assert t.transform(X) is result
    ((args, kwargs),) = rec.calls
    assert args == (X,) and args[0] is X
    assert kwargs.keys() == {"filling_value", "reference_values_list", "invert_flag"}
    assert kwargs["filling_value"] is np.nan and kwargs["invert_flag"] is invert
    assert kwargs["reference_values_list"] is getattr(t, reference)


def test_known_values_collected_once_into_the_callers_list(ex, monkeypatch):
    rec = Recorder(result="ignored")

    def fake(*args, **kwargs):
        kwargs["categories_list2"].append(["seen"])
        return rec(*args, **kwargs)

    monkeypatch.setattr(utils, "numpy_get_categories", fake)
    mine = []
    t = ex.NumpyReplaceUnknownValues(mine)
    X = mixed()
    t.fit(X).fit(X[:2])
    assert mine == [["seen"]]
    ((args, kwargs),) = rec.calls
    assert args[0] is X and type(args[1]) is range and args[1] == range(3)
    assert args[2] is ex.global_missing_values_reference_list
    assert kwargs == {"categories_list2": mine} and kwargs["categories_list2"] is mine
    assert t.known_values_list is mine


@pytest.mark.parametrize("known", [[["a"]], ("",), type("L", (list,), {})()])
def test_given_known_values_are_not_collected(ex, monkeypatch, known):
    monkeypatch.setattr(utils, "numpy_get_categories", lambda *a, **k: pytest.fail("called"))
    assert ex.NumpyReplaceUnknownValues(known).fit(mixed()).known_values_list is known


def test_known_values_real_and_missing_collector(ex, monkeypatch):
    t = ex.NumpyReplaceUnknownValues(filling_values="?")
    t.fit(mixed()[:2])
    assert t.known_values_list == [[" Hello, World! "], ["1.5", " 2e3 "], [True, "false"]]
    Y = t.transform(mixed())
    # Missing markers ("NA") are never known values, so they count as unseen too.
    assert Y.tolist() == [
        [" Hello, World! ", "1.5", True],
        ["?", " 2e3 ", "false"],
        ["?", "?", "?"],
    ]
    monkeypatch.delattr(utils, "numpy_get_categories")
    with pytest.raises(ImportError, match="cannot import name 'numpy_get_categories'"):
        ex.NumpyReplaceUnknownValues().fit(mixed())


def test_compress_strings_calls_and_results(ex, monkeypatch):
    X = mixed()
    t = ex.CompressStrings(
        "string", ["char_str", "Char_str", "char_str", "extra"], [["NA"], [], [], []]
    )
    Y = t.fit(X).transform(X)
    assert Y.dtype == object and Y[:, 0].tolist() == ["helloworld", "NA", None]
    assert Y[:, 1].tolist() == X[:, 1].tolist()  # the tag is case-sensitive
    np.testing.assert_array_equal(Y[:, 2], utils.compress_str_column(X[:, 2], [], "string"))
    rec = Recorder()
    monkeypatch.setattr(ex, "compress_str_column", rec)
    t.transform(X)
    assert [(a[0].tolist(), a[1:], k) for a, k in rec.calls] == [
        (X[:, 0].tolist(), (["NA"], "string"), {}),
        (X[:, 2].tolist(), ([], "string"), {}),
    ]
    assert rec.calls[0][0][1] is t.misslist_list[0]


@pytest.mark.parametrize(
    "result, error",
    [
        (["a", "b", "c"], None),  # any sequence NumPy can assign
        (np.array([1.0, 2.0, 3.0]), None),
        ("z", None),  # broadcast, as column assignment does
        (np.array(["a", "b"], dtype=object), ValueError),
    ],
)
def test_column_assignment_follows_numpy(ex, monkeypatch, result, error):
    monkeypatch.setattr(ex, "compress_str_column", lambda *a: result)
    t = ex.CompressStrings(dtypes_list=["x", "char_str", "x"], misslist_list=[[]] * 3)
    if error:
        with pytest.raises(error):
            t.transform(mixed())
        return
    expected = mixed()
    expected[:, 1] = result
    assert t.transform(mixed()).tolist() == expected.tolist()


@pytest.mark.parametrize(
    "kwargs, error",
    [
        (dict(), IndexError),  # no tags for the first column
        (dict(dtypes_list=["char_str"] * 3, misslist_list=[[]]), IndexError),
    ],
)
def test_compress_strings_errors(ex, kwargs, error):
    with pytest.raises(error):
        ex.CompressStrings(**kwargs).transform(mixed())


def test_float_str_results_and_calls(ex, monkeypatch):
    X = mixed()
    Y = ex.FloatStr2Float(["char_str", "float_str", "x"]).fit(X).transform(X)
    assert (
        Y.dtype == object
        and Y[:, 0].tolist() == X[:, 0].tolist()
        and Y[:, 2].tolist() == X[:, 2].tolist()
    )
    assert Y[0, 1] == 1.5 and Y[1, 1] == 2000.0 and math.isnan(Y[2, 1])
    numeric = np.arange(6).reshape(3, 2)
    Yn = ex.FloatStr2Float(["a", "b"]).transform(numeric)
    assert Yn.dtype == object and Yn.tolist() == numeric.tolist() and type(Yn[0, 0]) is int
    rec = Recorder(result=np.array([7, 8, 9], dtype=object))
    monkeypatch.setattr(ex, "numpy_floatstr2float", rec)
    t = ex.FloatStr2Float(("float_str", "float_str"), ["m"])
    assert t.transform(X)[:, :2].tolist() == [[7, 7], [8, 8], [9, 9]]
    assert [(a[0].tolist(), a[1] is t.missing_values_reference_list, k) for a, k in rec.calls] == [
        (X[:, 0].tolist(), True, {}),
        (X[:, 1].tolist(), True, {}),
    ]


def test_float_str_keeps_untagged_columns(ex):
    X = np.asfortranarray(mixed())  # a shorter tag list must not lose the caller's data
    Y = ex.FloatStr2Float(["float_str"]).transform(X)
    assert Y[:, 1:].tolist() == X[:, 1:].tolist() and math.isnan(Y[0, 0])


@pytest.mark.parametrize(
    "tags, error", [(["x"] * 4, IndexError), (None, TypeError), (5, TypeError)]
)
def test_float_str_errors(ex, tags, error):
    with pytest.raises(error):
        ex.FloatStr2Float(tags).transform(mixed())
    with pytest.raises(AssertionError):
        ex.FloatStr2Float(["x"]).fit(mixed()[0])


@pytest.mark.parametrize(
    "name, utility",
    [("boolean2float", "numpy_boolean2float"), ("float32_transform", "convert_float32")],
)
def test_whole_array_conversions(ex, monkeypatch, name, utility):
    t, X = make(ex, name)
    expected = getattr(utils, utility)(X)
    Y = t.transform(X)
    assert Y.dtype == expected.dtype and Y.tolist() == expected.tolist()
    result = np.zeros((1, 1))
    rec = Recorder(result)
    monkeypatch.setattr(ex, utility, rec)
    assert t.fit(X).transform(X) is result and rec.calls == [((X,), {})]
