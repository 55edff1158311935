import _utils_model as model
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tabrix_libs.utils.exportable_utils import (
    global_missing_values_reference_list as MISSING,
)
from tabrix_libs.utils.exportable_utils import (
    numpy_get_categories,
)


def same_lists(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert len(g) == len(w), (g, w)
        for x, y in zip(g, w):
            assert (model.is_nan(x) and model.is_nan(y)) or (type(x) is type(y) and x == y), (g, w)


def test_first_appearance_order_markers_excluded_equal_values_once():
    X = np.array(
        [
            ["b", 1],
            ["NA", 1.0],
            ["a", True],
            ["b", None],
            [np.nan, 2],
            ["", np.nan],
            ["a", np.float32("nan")],
        ],
        dtype=object,
    )
    got = numpy_get_categories(X, range(7), MISSING)
    assert got == [["b", "a"], [1, 2]]


def test_nan_counts_once_when_not_a_marker():
    X = np.array([[np.nan], [1.0], [np.float32("nan")], [None]], dtype=object)
    got = numpy_get_categories(X, range(4), ["NA"])
    assert len(got[0]) == 3 and model.is_nan(got[0][0]) and got[0][1:] == [1.0, None]


def test_fills_given_list_in_place_and_returns_it():
    X = np.array([[1, "x"], [2, "y"]], dtype=object)
    target = [["earlier"]]
    result = numpy_get_categories(X, range(2), None, categories_list2=target)
    assert result is target
    assert target == [["earlier"], [1, 2], ["x", "y"]]


@pytest.mark.parametrize(
    "rows, expected",
    [
        (range(4), [3, 1, 2]),
        ([2, 0], [2, 3]),
        ((-1, -4), [2, 3]),
        (iter([1, 1, 1]), [1]),
        (np.array([3, 2]), [2]),
        (range(3, -1, -1), [2, 1, 3]),
        ([], []),
    ],
)
def test_rows_any_iterable(rows, expected):
    X = np.array([[3], [1], [2], [2]], dtype=object)
    assert numpy_get_categories(X, rows, None) == [expected]


@pytest.mark.parametrize("dtype", [np.int64, np.uint8, np.float32, np.float64, np.bool_, ">f8"])
def test_numeric_arrays_give_python_numbers(dtype):
    X = np.array([[1, 0], [1, 1], [0, 1]]).astype(dtype)
    got = numpy_get_categories(X, range(3), [0])
    assert got == [[1], [1]]
    assert all(type(v) in (int, float, bool) for col in got for v in col)


def test_numeric_markers_and_nan():
    X = np.array([[1.5, np.nan], [-999.0, np.nan], [1.5, 2.0]])
    assert numpy_get_categories(X, range(3), [-999, np.nan]) == [[1.5], [2.0]]
    got = numpy_get_categories(X, range(3), [-999])
    assert got[0] == [1.5] and model.is_nan(got[1][0]) and got[1][1] == 2.0


def test_fortran_and_strided_object_arrays():
    X = np.asfortranarray(np.array([["a", "b"], ["c", "a"], ["a", "b"]], dtype=object))
    assert numpy_get_categories(X, range(3), None) == [["a", "c"], ["b", "a"]]
    assert numpy_get_categories(X[::2, ::-1], range(2), None) == [["b"], ["a"]]


VALUES = st.sampled_from(
    [
        0,
        1,
        1.0,
        True,
        False,
        2,
        np.int16(2),
        np.float32(1.5),
        1.5,
        np.nan,
        None,
        "",
        "NA",
        "a",
        "A",
        np.str_("a"),
        2**65,
        "nan",
    ]
)


@settings(max_examples=150, deadline=None)
@given(
    cells=st.lists(VALUES, min_size=2, max_size=40),
    markers=st.lists(VALUES, max_size=4),
    data=st.data(),
)
def test_agrees_with_python_model(cells, markers, data):
    X = np.empty(len(cells) // 2 * 2, dtype=object)
    X[:] = cells[: X.size]
    X = X.reshape(-1, 2)
    rows = data.draw(st.lists(st.integers(0, X.shape[0] - 1), max_size=30))
    same_lists(numpy_get_categories(X, rows, markers), model.categories(X, rows, markers))
