"""The protocol every transformer shares, checked over the whole class table: trace lines,
return traces, the on/off switch and the input checks. A new class gets these checks by adding
its row to ROWS and its case to CASES; the per-family test files test each class's own work."""

import inspect
from collections import namedtuple

import numpy as np
import pytest
from sklearn.base import clone

pytestmark = pytest.mark.filterwarnings(
    "ignore"
)  # scikit-learn's own warnings on all-missing columns

NAN = np.nan
UTILITIES = (
    "numpy_replace_values",
    "compress_str_column",
    "numpy_floatstr2float",
    "numpy_boolean2float",
    "convert_float32",
    "numpy_select_columns",
    "numpy_permute_array",
)
WRAPPED = ("imputer", "encoder", "scaler")

X150x4 = np.arange(600.0).reshape(150, 4)
NUMBERS = np.arange(6.0).reshape(3, 2)
# Columns 1 and 3 entirely missing; column 2 missing in all rows but one.
X4 = np.array([[1.0, NAN, NAN, NAN], [NAN, NAN, 5.0, NAN], [3.0, NAN, NAN, NAN]])
CATS = np.array([["a", "x"], ["b", "y"], ["a", "y"]], dtype=object)


def mixed():
    return np.array(
        [[" Hello, World! ", "1.5", True], ["NA", " 2e3 ", "false"], [None, "junk", False]],
        dtype=object,
    )


# The protocol row of each class: which pieces it uses.
#   fit_asserts, transform_asserts: `assert X.ndim == 2` first in fit / transform
#   fit_traced: start and end lines around fit;  timed: elapsed time on the end line
#   close: how the untimed transform end line ends;  of_input: the end line describes X, not Y
#   switch: the on/off attribute;  switch_in_fit: fit reads it
#   width_when_off: switched off (or with an unreadable switch), any column count is accepted
Row = namedtuple(
    "Row",
    "fit_asserts fit_traced transform_asserts timed close of_input switch switch_in_fit "
    "width_when_off",
)
Row.__new__.__defaults__ = (False, True, True, True, ")", False, None, True, False)
SWITCH = "activate_flag"

ROWS = {
    "AllPassPreprocessingTransformer": Row(),
    "NumpyColumnSelector": Row(fit_traced=False, close=""),
    "ColumnSelector": Row(
        fit_asserts=True,
        transform_asserts=False,
        switch=SWITCH,
        switch_in_fit=False,
        width_when_off=True,
    ),
    "NumpyPermuteArray": Row(fit_traced=False, close=")\n", of_input=True),
    "NumpyApplyAlongAxis": Row(fit_traced=False, timed=False),
    "CompressStrings": Row(switch=SWITCH),
    "NumpyReplaceMissingValues": Row(fit_traced=False),
    "NumpyReplaceUnknownValues": Row(fit_traced=False, close=")\n"),
    "FloatStr2Float": Row(fit_asserts=True, transform_asserts=False, switch=SWITCH),
    "boolean2float": Row(switch=SWITCH),
    "float32_transform": Row(switch=SWITCH),
    "CatImputer": Row(fit_asserts=True, transform_asserts=False, switch=SWITCH),
    "NumImputer": Row(transform_asserts=False, switch=SWITCH),
    "CatEncoder": Row(fit_asserts=True, transform_asserts=False, switch=SWITCH),
    "OptStandardScaler": Row(
        fit_asserts=True, fit_traced=False, transform_asserts=False, switch="use_scaler_flag"
    ),
}

# name -> (factory taking the module and constructor keywords, input, shape text of the output)
CASES = {
    "AllPassPreprocessingTransformer": (
        lambda ex, **kw: ex.AllPassPreprocessingTransformer(**kw),
        X150x4,
        "150x4",
    ),
    "NumpyColumnSelector": (lambda ex, **kw: ex.NumpyColumnSelector([0, 2], **kw), X150x4, "150x2"),
    "ColumnSelector": (lambda ex, **kw: ex.ColumnSelector([0, 2], **kw), X150x4, "150x2"),
    "NumpyPermuteArray": (
        lambda ex, **kw: ex.NumpyPermuteArray([3, 0, 1, 2], **kw),
        X150x4,
        "150x4",
    ),
    "NumpyApplyAlongAxis": (
        lambda ex, **kw: ex.NumpyApplyAlongAxis(np.mean, 0, [0, 1, 3], **kw),
        X150x4,
        "3x1",
    ),
    "CompressStrings": (
        lambda ex, **kw: ex.CompressStrings(
            dtypes_list=["char_str"] * 3, misslist_list=[[]] * 3, **kw
        ),
        mixed(),
        "3x3",
    ),
    "NumpyReplaceMissingValues": (
        lambda ex, **kw: ex.NumpyReplaceMissingValues(["NA"], **kw),
        mixed(),
        "3x3",
    ),
    "NumpyReplaceUnknownValues": (
        lambda ex, **kw: ex.NumpyReplaceUnknownValues([["NA"], ["1.5"], [True]], **kw),
        mixed(),
        "3x3",
    ),
    "FloatStr2Float": (
        lambda ex, **kw: ex.FloatStr2Float(["char_str", "float_str", "x"], **kw),
        mixed(),
        "3x3",
    ),
    "boolean2float": (lambda ex, **kw: ex.boolean2float(**kw), mixed(), "3x3"),
    "float32_transform": (lambda ex, **kw: ex.float32_transform(**kw), NUMBERS, "3x2"),
    "CatImputer": (lambda ex, **kw: ex.CatImputer("most_frequent", NAN, **kw), CATS, "3x2"),
    "NumImputer": (lambda ex, **kw: ex.NumImputer("mean", NAN, **kw), X4, "3x4"),
    "CatEncoder": (
        lambda ex, **kw: ex.CatEncoder("onehot", "auto", int, "error", **kw),
        CATS,
        "3x4",
    ),
    "OptStandardScaler": (lambda ex, **kw: ex.OptStandardScaler(**kw), NUMBERS, "3x2"),
}
NAMES = list(CASES)
SWITCHED = [n for n in NAMES if ROWS[n].switch]
# Classes that learn nothing, whose work takes input of any width.
LEARN_NOTHING = [
    "AllPassPreprocessingTransformer",
    "NumpyColumnSelector",
    "ColumnSelector",
    "NumpyPermuteArray",
    "NumpyApplyAlongAxis",
    "NumpyReplaceMissingValues",
    "boolean2float",
    "float32_transform",
]


def case(ex, name, **kwargs):
    make, X, out_shape = CASES[name]
    return make(ex, **kwargs), X.copy(), out_shape


def shape_of(X):
    return "%dx%d" % X.shape


def transform_lines(name, X, out_shape, timed):
    row = ROWS[name]
    described = shape_of(X) if row.of_input else out_shape
    lines = [f"{name}: Starting transform({shape_of(X)})"]
    if timed and row.timed:
        return lines + [f"{name}: Ending transform({described}), elapsed_time (s): 0.5"]
    return lines + f"{name}: Ending transform({described}{row.close}".split("\n")


def fit_lines(name, X, timed):
    if not ROWS[name].fit_traced:
        return []
    close = "), elapsed_time (s): 0.5" if timed else ")"
    return [f"{name}: Starting fit({shape_of(X)})", f"{name}: Ending fit({shape_of(X)}{close}"]


# The attributes a constructor sets, in order: its parameters (not always in signature order),
# then what it builds.
ATTRIBUTES = {
    "AllPassPreprocessingTransformer": [],
    "NumpyColumnSelector": ["columns"],
    "ColumnSelector": ["activate_flag", "columns_indices_list", "columns_selected_flag"],
    "NumpyPermuteArray": ["permutation_indices", "axis"],
    "NumpyApplyAlongAxis": ["func1d", "axis", "index_list", "args", "kwargs"],
    "CompressStrings": [
        "compress_type",
        "dtypes_list",
        "misslist_list",
        "activate_flag",
        "missing_values_reference_list",
    ],
    "NumpyReplaceMissingValues": ["missing_values", "filling_values"],
    "NumpyReplaceUnknownValues": [
        "missing_values_reference_list",
        "known_values_list",
        "filling_values",
        "filling_values_list",
    ],
    "FloatStr2Float": ["dtypes_list", "missing_values_reference_list", "activate_flag"],
    "boolean2float": ["activate_flag"],
    "float32_transform": ["activate_flag"],
    "CatImputer": [
        "sklearn_version_family",
        "strategy",
        "missing_values",
        "activate_flag",
        "imputer",
    ],
    "NumImputer": ["strategy", "missing_values", "activate_flag", "imputer"],
    "CatEncoder": [
        "encoding",
        "categories",
        "dtype",
        "handle_unknown",
        "sklearn_version_family",
        "activate_flag",
        "encoder",
    ],
    "OptStandardScaler": [
        "use_scaler_flag",
        "num_scaler_copy",
        "num_scaler_with_mean",
        "num_scaler_with_std",
        "scaler",
    ],
}


def test_the_table_covers_every_class(ex):
    classes = {
        n for n, v in vars(ex).items() if isinstance(v, type) and v.__module__ == ex.__name__
    }
    assert classes == set(ROWS) == set(CASES)


@pytest.mark.parametrize("name", NAMES)
def test_constructor_stores_each_parameter_in_its_order(ex, name):
    t, _, _ = case(ex, name)
    assert list(vars(t)) == ATTRIBUTES[name]
    params = inspect.signature(type(t).__init__).parameters.values()
    named = [p.name for p in params if p.kind == p.POSITIONAL_OR_KEYWORD and p.name != "self"]
    assert set(named) <= set(ATTRIBUTES[name])


# ---------------------------------------------------------------- trace lines


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("timed", [False, True])
def test_trace_lines(ex, fixed_clock, trace_lines, name, timed):
    t, X, out_shape = case(ex, name)
    ex.debug, ex.debug_timings = True, timed
    t.fit(X)
    assert trace_lines() == fit_lines(name, X, timed)
    t.transform(X)
    assert trace_lines() == transform_lines(name, X, out_shape, timed)


@pytest.mark.parametrize("name", NAMES)
def test_timings_alone_print_nothing_and_read_no_clock(ex, monkeypatch, trace_lines, name):
    t, X, _ = case(ex, name)
    monkeypatch.setattr(ex, "time", lambda: pytest.fail("clock read"))
    ex.debug_timings = True
    t.fit(X).transform(X)
    assert trace_lines() == []


@pytest.mark.parametrize("name", [n for n in NAMES if not ROWS[n].timed])
def test_untimed_classes_never_read_the_clock(ex, monkeypatch, trace_lines, name):
    t, X, out_shape = case(ex, name)
    monkeypatch.setattr(ex, "time", pytest.fail)
    ex.debug = ex.debug_timings = True
    t.fit(X).transform(X)
    assert trace_lines() == fit_lines(name, X, False) + transform_lines(name, X, out_shape, False)


@pytest.mark.parametrize("name", NAMES)
def test_return_trace_names_the_actual_class(ex, trace_lines, name):
    t, X, _ = case(ex, name)
    base = type(t)
    sub = type("Sub", (base,), {})
    if name == "NumpyApplyAlongAxis":  # *args in the constructor: no get_params
        t.__class__ = sub
    else:
        assert clone(t).get_params() == t.get_params()
        t = sub(**t.get_params())
    t.fit(X)
    ex.debug_transform_return = True
    Y = t.transform(X)
    returned = f"Sub.transform({X})->{Y}".split("\n")
    assert trace_lines() == returned
    ex.debug = True
    t.transform(X)
    lines = trace_lines()
    # The start and end lines name the class that defines the methods.
    assert lines[0].startswith(base.__name__ + ": Starting transform(")
    assert lines[-len(returned) :] == returned


# ---------------------------------------------------------------- the on/off switch


class Forbidden:
    def __getattr__(self, name):
        pytest.fail("the wrapped estimator was used: " + name)


class NoTruth:
    def __bool__(self):
        raise ZeroDivisionError("no truth value")


class ReadAloud:
    """A switch that prints a line each time its truth value is taken."""

    def __init__(self, value):
        self.value = value

    def __bool__(self):
        print("switch read")
        return self.value


def forbid_work(ex, monkeypatch, t):
    for utility in UTILITIES:
        monkeypatch.setattr(ex, utility, lambda *a, **k: pytest.fail("utility called"))
    for wrapped in WRAPPED:
        if hasattr(t, wrapped):
            setattr(t, wrapped, Forbidden())


@pytest.mark.parametrize("name", SWITCHED)
def test_switched_off_returns_the_input_itself(ex, monkeypatch, name):
    t, X, _ = case(ex, name, **{ROWS[name].switch: False})
    forbid_work(ex, monkeypatch, t)
    assert t.fit(X) is t and t.n_features_in_ == X.shape[1]
    assert t.transform(X) is X
    wider = np.hstack([X, X])
    if ROWS[name].width_when_off:
        assert t.transform(wider) is wider
    else:
        with pytest.raises(ValueError, match="features"):
            t.transform(wider)


@pytest.mark.parametrize("name", SWITCHED)
def test_switch_without_truth_value(ex, name):
    t, X, _ = case(ex, name)
    setattr(t, ROWS[name].switch, NoTruth())
    if ROWS[name].switch_in_fit:
        with pytest.raises(ZeroDivisionError):
            t.fit(X)
        t.n_features_in_ = X.shape[1]
    else:
        assert t.fit(X) is t
    with pytest.raises(ZeroDivisionError):
        t.transform(X)


@pytest.mark.parametrize("name", SWITCHED)
def test_switch_read_once_after_the_checks_between_the_trace_lines(ex, trace_lines, name):
    row = ROWS[name]
    t, X, _ = case(ex, name)
    setattr(t, row.switch, ReadAloud(False))
    ex.debug = True
    t.fit(X)
    lines = fit_lines(name, X, False)
    if row.switch_in_fit:
        lines.insert(1 if lines else 0, "switch read")
    assert trace_lines() == lines
    for bad in (X[:, 0], np.array([[1.0, np.inf]])):  # rejected before the switch is read
        with pytest.raises((AssertionError, ValueError)):
            t.transform(bad)
        assert trace_lines() == []
    assert t.transform(X) is X
    expected = transform_lines(name, X, shape_of(X), False)
    expected.insert(1, "switch read")
    if row.width_when_off:  # the feature-count check asks the switch first
        expected.insert(0, "switch read")
    assert trace_lines() == expected


# ---------------------------------------------------------------- input checks


@pytest.mark.parametrize("name", NAMES)
def test_input_checks(ex, name):
    row = ROWS[name]
    t, X, _ = case(ex, name)
    with pytest.raises(AssertionError if row.transform_asserts else ValueError):
        t.transform(X[:, 0])
    with pytest.raises(ValueError, match="infinity|inf"):
        t.transform(np.array([[1.0, np.inf]]))
    before = X.copy()
    t.fit(X).transform(X)
    np.testing.assert_array_equal(X, before)  # the input is never modified
    with pytest.raises(ValueError, match="features"):
        t.transform(np.hstack([X, X]))


@pytest.mark.parametrize("name", LEARN_NOTHING)
def test_unfitted_instances_take_any_width(ex, name):
    t, X, _ = case(ex, name)
    t.transform(np.hstack([X, X]))  # no feature count to compare with yet


@pytest.mark.parametrize("name", [n for n in NAMES if ROWS[n].fit_asserts])
def test_fit_asserts_two_dimensions(ex, name):
    t, X, _ = case(ex, name)
    with pytest.raises(AssertionError):
        t.fit(X[:, 0])
    with pytest.raises(AttributeError):  # a list has no ndim
        t.fit(X.tolist())
