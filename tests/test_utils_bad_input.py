"""Bad and unusual input: a clear TypeError/ValueError/IndexError or the documented result,
never a crash, a SystemError, a leaked reference or a modified input."""

import gc
import math
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tabrix_libs.utils.exportable_utils import (
    compress_str_column,
    convert_float32,
    numpy_boolean2float,
    numpy_floatstr2float,
    numpy_get_categories,
    numpy_permute_array,
    numpy_replace_values,
    numpy_select_columns,
    numpy_whatis,
)
from tabrix_libs.utils.exportable_utils import (
    global_missing_values_reference_list as MISSING,
)

CLEAR = (TypeError, ValueError, IndexError)


def replace(X):
    return numpy_replace_values(X, filling_value=0, reference_values_list=MISSING)


def replace_unknown(X):
    ncols = X.shape[1] if getattr(X, "ndim", 0) == 2 else 1
    return numpy_replace_values(
        X, filling_value=0, reference_values_list=[[1]] * ncols, invert_flag=True
    )


def categories(X):
    return numpy_get_categories(X, range(X.shape[0]) if getattr(X, "ndim", 0) else [], MISSING)


FUNCS = {
    "replace": replace,
    "replace_unknown": replace_unknown,
    "categories": categories,
    "compress": lambda X: compress_str_column(X, MISSING, "string"),
    "compress_hash": lambda X: compress_str_column(X, None, "hash"),
    "floatstr": lambda X: numpy_floatstr2float(X, MISSING),
    "boolean": numpy_boolean2float,
    "float32": convert_float32,
    "select": lambda X: numpy_select_columns(X, columns_indices_list=[0]),
    "permute": lambda X: numpy_permute_array(X, [0], 0),
}


@pytest.mark.parametrize("name", sorted(FUNCS))
@pytest.mark.parametrize(
    "X",
    [None, 5, "abc", b"ab", {"a": 1}, np.float64(1.0), [[1, 2]]],
    ids=["None", "int", "str", "bytes", "dict", "scalar", "nested list"],
)
def test_non_arrays_are_type_errors(name, X):
    if name == "select" and isinstance(X, list):
        return  # lists are selected from, see the shaping tests
    with pytest.raises(TypeError, match="numpy.ndarray"):
        FUNCS[name](X)


# ndim -> functions that must raise ValueError for it (the others work element-wise).
_NOT_ELEMENTWISE = {
    "replace_unknown",
    "categories",
    "compress",
    "compress_hash",
    "floatstr",
    "select",
    "permute",
}
WRONG_NDIM = {
    0: _NOT_ELEMENTWISE,
    1: {"replace_unknown", "categories", "select", "permute"},
    3: _NOT_ELEMENTWISE,
}


@pytest.mark.parametrize("ndim", sorted(WRONG_NDIM))
@pytest.mark.parametrize("name", sorted(FUNCS))
@pytest.mark.parametrize("dtype", [object, np.float64])
def test_dimensions(ndim, name, dtype):
    X = np.ones((2,) * ndim, dtype=dtype)
    if name in WRONG_NDIM[ndim]:
        with pytest.raises(ValueError, match="D array|dimension"):
            FUNCS[name](X)
    else:
        out = FUNCS[name](X)
        assert np.shape(out) == X.shape


@pytest.mark.parametrize("shape", [(0, 3), (3, 0), (0, 0), (0,)])
@pytest.mark.parametrize("dtype", [object, np.float64, np.int32, "U3"])
def test_empty_arrays(shape, dtype):
    X = np.empty(shape, dtype=dtype)
    assert replace(X).shape == shape
    assert numpy_boolean2float(X).shape == shape
    if np.dtype(dtype).kind != "U":
        assert convert_float32(X).shape == shape
    if len(shape) == 1:
        assert compress_str_column(X, None, "hash").shape == shape
        assert numpy_floatstr2float(X, None).shape == shape
        return
    assert replace_unknown(X).shape == shape
    assert numpy_get_categories(X, range(shape[0]), None) == [[] for _ in range(shape[1])]
    if shape[1]:
        assert numpy_select_columns(X, columns_indices_list=[0])[0].shape == (shape[0], 1)
    if shape[0]:
        assert numpy_permute_array(X, [0], 1).shape == (1, shape[1])


def same(a, b):
    if isinstance(a, list):
        return a == b or repr(a) == repr(b)
    a, b = np.asarray(a), np.asarray(b)
    return (
        a.shape == b.shape
        and a.dtype == b.dtype
        and all(
            (x != x and y != y) or x == y for x, y in zip(a.ravel().tolist(), b.ravel().tolist())
        )
    )


@pytest.mark.parametrize("name", sorted(FUNCS))
@pytest.mark.parametrize("dtype", [object, np.float64, np.int16])
@pytest.mark.parametrize("view", ["fortran", "reversed", "every other"])
def test_views_give_the_results_of_contiguous_copies(name, dtype, view):
    base = np.array(
        [[1, "NA", 2.5, "true"], [" X-y ", None, 3, "0.5"], ["1e3", np.nan, True, 2]] * 3,
        dtype=object,
    )
    if dtype is not object:
        base = np.arange(48).reshape(12, 4).astype(dtype)
    X = {
        "fortran": np.asfortranarray(base),
        "reversed": base[::-1, ::-1],
        "every other": base[::2, ::2],
    }[view]
    if name in ("compress", "compress_hash", "floatstr"):
        X = X[:, 0]
    try:
        expected = FUNCS[name](np.ascontiguousarray(X))
    except ValueError:  # float32 of text: the same error is expected
        with pytest.raises(ValueError):
            FUNCS[name](X)
        return
    got = FUNCS[name](X)
    if name == "select":
        got, expected = got[0], expected[0]
    assert same(got, expected)


NASTY = [
    None,
    np.nan,
    float("inf"),
    np.float32("nan"),
    "",
    "\ud800",
    "a\udfffb",
    b"\xff\xfe",
    bytearray(b"x"),
    10**400,
    -(10**400),
    2**64,
    -(2**63) - 1,
    1 + 2j,
    [1, 2],
    {"k": 1},
    (1, [2]),
    object(),
    np.datetime64("2020-01-01"),
    Ellipsis,
    np.array([1.0, np.nan]),
    "\x00",
    "NA",
    "\u0130",
    np.longdouble("1.5"),
    np.float16(2),
]


def nasty_column():
    X = np.empty(len(NASTY), dtype=object)
    X[:] = NASTY
    return X


def test_nasty_cells_in_text_functions():
    X = nasty_column()
    out = compress_str_column(X, MISSING, "string")
    assert out[5] == "" and out[6] == "ab" and out[21] == "" and out[23] == "i"
    assert out[22] == "NA" and out[0] is None and out[7] is X[7]
    hashes = compress_str_column(X, None, "hash")
    assert all(isinstance(h, int) for h in hashes[[4, 5, 6, 21, 22, 23]])
    f = numpy_floatstr2float(X, MISSING)
    assert f[2] == math.inf and f[9] == math.inf and f[10] == -math.inf and f[11] == 2.0**64
    assert f[24] == 1.5 and f[25] == 2.0
    assert all(
        math.isnan(f[i]) for i in [0, 1, 3, 4, 5, 6, 7, 8, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22]
    )


def test_nasty_cells_in_matching_functions():
    X = nasty_column().reshape(-1, 1)
    out = numpy_replace_values(X, filling_value="M", reference_values_list=MISSING + [[1, 2]])
    replaced = [i for i in range(len(NASTY)) if isinstance(out[i, 0], str) and out[i, 0] == "M"]
    assert replaced == [0, 1, 3, 4, 14, 22]
    cats = numpy_get_categories(X, range(len(NASTY)), MISSING)[0]
    assert len(cats) == len(NASTY) - 5  # without None, the two NaNs, "" and "NA"
    known = numpy_replace_values(
        X, filling_value="U", reference_values_list=[cats], invert_flag=True
    )
    assert [
        i for i in range(len(NASTY)) if isinstance(known[i, 0], str) and known[i, 0] == "U"
    ] == [0, 1, 3, 4, 22]
    assert numpy_boolean2float(X).shape == X.shape
    assert "object" in numpy_whatis(X)


@pytest.mark.parametrize("bad", ["NA", b"NA", 5, np.nan, object()])
@pytest.mark.parametrize(
    "call",
    [
        lambda m: numpy_replace_values(np.zeros((1, 1)), filling_value=0, reference_values_list=m),
        lambda m: numpy_get_categories(np.zeros((1, 1)), [0], m),
        lambda m: compress_str_column(np.zeros(1), m, "string"),
        lambda m: numpy_floatstr2float(np.zeros(1), m),
    ],
)
def test_marker_lists_must_be_lists(call, bad):
    with pytest.raises(TypeError, match="must be a list of values"):
        call(bad)


@pytest.mark.parametrize("refs", ["ab", None, 3, [[1], "ab"], [[1], 3]])
def test_known_values_must_be_lists_of_lists(refs):
    with pytest.raises(TypeError):
        numpy_replace_values(
            np.zeros((1, 2)), filling_value=0, reference_values_list=refs, invert_flag=True
        )


@pytest.mark.parametrize("flag", [None, "yes", 1.0, [True]])
def test_invert_flag_must_be_a_boolean(flag):
    with pytest.raises(TypeError, match="invert_flag"):
        numpy_replace_values(
            np.zeros((1, 1)), filling_value=0, reference_values_list=[], invert_flag=flag
        )


@pytest.mark.parametrize(
    "rows, error",
    [
        ([0, 5], IndexError),
        ([-6], IndexError),
        ([True], TypeError),
        ([0.0], TypeError),
        (None, TypeError),
        ("01", TypeError),
        (range(0, 10), IndexError),
        ([2**80], IndexError),
    ],
)
def test_bad_rows(rows, error):
    with pytest.raises(error, match="rows"):
        numpy_get_categories(np.zeros((5, 2)), rows, None)


def test_categories_target_must_be_a_list():
    with pytest.raises(TypeError, match="categories_list2"):
        numpy_get_categories(np.zeros((1, 1)), [0], None, categories_list2=())


def test_failed_call_leaves_target_list_untouched():
    target = []
    with pytest.raises(IndexError):
        numpy_get_categories(np.zeros((2, 2)), [0, 9], None, categories_list2=target)
    assert target == []


@pytest.mark.parametrize(
    "cols, error",
    [
        (None, TypeError),
        ("0", TypeError),
        ([0.5], TypeError),
        ([np.True_], TypeError),
        (5, TypeError),
    ],
)
def test_bad_column_lists(cols, error):
    with pytest.raises(error):
        numpy_select_columns(np.zeros((2, 2)), columns_indices_list=cols)


def test_no_reference_leaks():
    token = "sentinel-" + "x" * 20
    X = np.array([[token, 1.0], ["NA", token]], dtype=object)
    col = X[:, 0].copy()
    gc.collect()
    before = sys.getrefcount(token)
    for _ in range(200):
        replace(X)
        replace_unknown(X)
        numpy_replace_values(X, filling_value=token, reference_values_list=[token, 1.0])
        numpy_get_categories(X, range(2), [token])
        compress_str_column(col, [token], "string")
        numpy_floatstr2float(col, [token])
        numpy_boolean2float(X)
        numpy_select_columns(X, columns_indices_list=[1])
        numpy_permute_array(X, [1, 0], 1)
        with pytest.raises(ValueError):
            convert_float32(X)
        with pytest.raises(TypeError):
            numpy_replace_values(X, filling_value=token, reference_values_list=token)
    gc.collect()
    assert sys.getrefcount(token) == before


def test_inputs_are_never_modified():
    X = np.array([["NA", " A b ", True, 1.5], [None, "true", np.nan, "2"]], dtype=object)
    snapshot = [id(v) for v in X.ravel()]
    replace(X)
    replace_unknown(X)
    numpy_get_categories(X, range(2), MISSING)
    for j in range(4):
        compress_str_column(X[:, j], MISSING, "string")
        numpy_floatstr2float(X[:, j], MISSING)
    numpy_boolean2float(X)
    numpy_select_columns(X, columns_indices_list=[0])
    numpy_permute_array(X, [1, 0], 0)
    assert [id(v) for v in X.ravel()] == snapshot


ARGS = st.sampled_from(
    [
        None,
        0,
        -1,
        2,
        1.5,
        "NA",
        "string",
        "hash",
        b"x",
        [],
        [0],
        [[1]],
        [[1], [2]],
        [0, 1],
        [None, np.nan],
        range(2),
        (1,),
        np.nan,
        True,
        np.zeros((2, 2)),
        np.zeros(2, dtype=object),
        np.array([["a", 1]], dtype=object),
        np.zeros((2, 2, 2)),
        np.array(["a", "b"]),
        10**30,
        object(),
        {"a": 1},
    ]
)
CALLS = [
    numpy_replace_values,
    numpy_get_categories,
    compress_str_column,
    numpy_floatstr2float,
    numpy_boolean2float,
    convert_float32,
    numpy_select_columns,
    numpy_permute_array,
    numpy_whatis,
]
NARGS = [4, 4, 3, 2, 1, 1, 2, 3, 1]


@settings(max_examples=400, deadline=None)
@given(which=st.integers(0, len(CALLS) - 1), args=st.lists(ARGS, min_size=4, max_size=4))
def test_random_arguments_raise_only_clear_errors(which, args):
    try:
        CALLS[which](*args[: NARGS[which]])
    except CLEAR:
        pass


def test_numeric_kernels_run_in_threads():
    # Numeric arrays are processed without the GIL: concurrent calls must not interfere.
    from concurrent.futures import ThreadPoolExecutor

    X = np.arange(200_000, dtype=np.float64).reshape(-1, 4)
    calls = [
        lambda: convert_float32(X),
        lambda: numpy_boolean2float(X),
        lambda: numpy_replace_values(X, filling_value=-1.0, reference_values_list=[3.0, 7.0]),
        lambda: numpy_floatstr2float(X[:, 1], [5.0]),
    ]
    expected = [c() for c in calls]
    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda i: calls[i % 4](), range(16)))
    for i, r in enumerate(results):
        np.testing.assert_array_equal(r, expected[i % 4])
