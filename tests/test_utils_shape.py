import math

import numpy as np
import pytest

from tabrix_libs.utils import exportable_utils as eu
from tabrix_libs.utils.exportable_utils import (
    global_missing_values_reference_list,
    numpy_permute_array,
    numpy_select_columns,
    numpy_whatis,
    setValueOrDefault,
)


@pytest.mark.parametrize(
    "name, params",
    [
        ("numpy_replace_values", "X, filling_value, reference_values_list, invert_flag=False"),
        ("numpy_get_categories", "X, rows, missing_values_reference_list, categories_list2=None"),
        ("numpy_select_columns", "X, columns_indices_list"),
        ("numpy_permute_array", "X, permutation_indices, axis"),
    ],
)
def test_signatures(name, params):
    assert getattr(eu, name).__doc__.startswith(f"{name}({params})")


def test_keyword_calls_as_callers_make_them():
    X = np.array([[1, 2]], dtype=object)
    eu.numpy_replace_values(X, filling_value=0, reference_values_list=[1], invert_flag=False)
    eu.numpy_select_columns(X, columns_indices_list=[1])
    eu.numpy_get_categories(X, range(1), [], categories_list2=[])


def test_missing_markers_list():
    lst = global_missing_values_reference_list
    assert lst is eu.global_missing_values_reference_list
    for m in ["", "?", "NA", "N/A", "n/a", "NaN", "nan", "NULL", "null", "None", None]:
        assert any(v is m or (type(v) is type(m) and v == m) for v in lst)
    assert any(isinstance(v, float) and math.isnan(v) for v in lst)


@pytest.mark.parametrize("value, default, expected", [(None, 3, 3), (0, 3, 0), ([], [1], [])])
def test_set_value_or_default(value, default, expected):
    got = setValueOrDefault(value, default)
    assert got is (default if value is None else value) and got == expected


@pytest.mark.parametrize(
    "X",
    [
        np.arange(12).reshape(3, 4),
        np.asfortranarray(np.arange(12).reshape(3, 4)),
        np.arange(12).reshape(3, 4).astype(object),
    ],
)
@pytest.mark.parametrize("cols", [[2], [3, 0, 0], [-1, 1], np.array([1, 2]), (0,)])
def test_select_columns_arrays(X, cols):
    out, flag = numpy_select_columns(X, columns_indices_list=cols)
    assert flag is True and out.dtype == X.dtype
    np.testing.assert_array_equal(out, X[:, list(cols)])
    assert not np.shares_memory(out, X)


LAYOUTS = {
    "C": np.arange(24).reshape(4, 6),
    "F": np.asfortranarray(np.arange(24).reshape(4, 6)),
    "objects": np.arange(24).reshape(4, 6).astype(object),
    "objects F": np.asfortranarray(np.arange(24).reshape(4, 6).astype(object)),
    "strided": np.arange(96.0).reshape(8, 12)[::2, ::2],
    "unaligned": np.zeros(4, dtype=[("pad", "u1"), ("v", "<f8", (6,))])["v"],
}


@pytest.mark.parametrize("X", LAYOUTS.values(), ids=LAYOUTS.keys())
@pytest.mark.parametrize(
    "call, expected",
    [
        (
            lambda X: numpy_select_columns(X, columns_indices_list=[4, -6, 4])[0],
            lambda X: X[:, [4, 0, 4]],
        ),
        (
            lambda X: numpy_permute_array(X, [5, 0, 1, 2, 3, 4], 0),
            lambda X: X[:, [5, 0, 1, 2, 3, 4]],
        ),
        (lambda X: numpy_permute_array(X, [3, -4, 2], 1), lambda X: X[[3, 0, 2], :]),
    ],
    ids=["select", "permute columns", "permute rows"],
)
def test_arrays_come_out_as_numpy_indexing_gives_them(X, call, expected):
    out, want = call(X), expected(X)
    assert out.dtype == want.dtype and out.shape == want.shape and out.strides == want.strides
    np.testing.assert_array_equal(out, want)
    assert not np.shares_memory(out, X)


def test_select_nothing_returns_input_itself():
    X = np.zeros((2, 2))
    assert numpy_select_columns(X, columns_indices_list=[]) == (X, False)
    assert numpy_select_columns(X, columns_indices_list=[])[0] is X
    L = [1, 2]
    assert numpy_select_columns(L, columns_indices_list=[])[0] is L


def test_select_list_elements():
    L = ["a", "b", "c"]
    assert numpy_select_columns(L, columns_indices_list=[2, 0, -1]) == (["c", "a", "c"], True)
    assert L == ["a", "b", "c"]


@pytest.mark.parametrize(
    "X, cols, message",
    [
        (np.zeros((2, 3)), [3], "index 3 .* 3 columns"),
        (np.zeros((2, 3)), [0, -4], "index -4 .* 3 columns"),
        (np.zeros((2, 0)), [0], "index 0 .* 0 columns"),
        ([1, 2], [2], "index 2 .* 2 elements"),
        (np.zeros((2, 3)), [2**70], "out of range for 3 columns"),
    ],
)
def test_select_out_of_range(X, cols, message):
    with pytest.raises(IndexError, match=message):
        numpy_select_columns(X, columns_indices_list=cols)


@pytest.mark.parametrize(
    "axis, indices, expected",
    [
        (0, [2, 0, 1], lambda X: X[:, [2, 0, 1]]),
        (1, [1, 0], lambda X: X[[1, 0], :]),
        (0, [1], lambda X: X[:, [1]]),
        (np.int64(1), [-1], lambda X: X[[-1], :]),
    ],
)
def test_permute(axis, indices, expected):
    X = np.arange(6).reshape(2, 3)
    out = numpy_permute_array(X, indices, axis)
    np.testing.assert_array_equal(out, expected(X))
    assert out.ndim == 2


def test_permute_empty_list_returns_input():
    X = np.zeros((2, 3))
    assert numpy_permute_array(X, [], 0) is X
    assert numpy_permute_array(X, [], 1) is X


@pytest.mark.parametrize("axis", [2, -1, None, "0", 0.0, True])
def test_permute_bad_axis(axis):
    with pytest.raises(ValueError, match="axis must be 0"):
        numpy_permute_array(np.zeros((2, 2)), [0], axis)


@pytest.mark.parametrize(
    "axis, index, message",
    [
        (0, 3, "index 3 .* 3 columns"),
        (1, 2, "index 2 .* 2 rows"),
    ],
)
def test_permute_out_of_range(axis, index, message):
    with pytest.raises(IndexError, match=message):
        numpy_permute_array(np.zeros((2, 3)), [0, index], axis)


@pytest.mark.parametrize(
    "X, parts",
    [
        (np.zeros((2, 3)), ["ndarray", "(2, 3)", "float64"]),
        (
            np.array([[1, "a"], [None, 2.0]], dtype=object),
            ["object", "(int, NoneType)", "(str, float)"],
        ),
        (np.array(["a"]), ["(1,)", "<U1"]),
        ([1, 2], ["list", "length 2"]),
        (None, ["NoneType"]),
        (np.empty((0, 2), dtype=object), ["(0, 2)", "object"]),
    ],
)
def test_whatis(X, parts):
    text = numpy_whatis(X)
    assert isinstance(text, str)
    for p in parts:
        assert p in text


def test_whatis_never_raises():
    class Weird:
        def __repr__(self):
            raise RuntimeError("no")

        __str__ = __repr__

    X = np.array([[Weird()]], dtype=object)
    assert "Weird" in numpy_whatis(X)
    assert "Weird" in numpy_whatis(Weird())
