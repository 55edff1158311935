"""Columns in the other byte order or at unaligned addresses (a column read from a big-endian
file, a field of a packed record array) give the results of the same values in native order."""

import warnings

import numpy as np
import pytest

NAN = float("nan")
# Ordinary tiny numbers whose eight bytes, read in the other byte order, are a NaN.
NAN_LOOKALIKE = float(
    np.frombuffer(np.full(1, NAN).tobytes(), dtype=np.dtype(float).newbyteorder("S"))[0]
)
LAYOUTS = ["swapped", "unaligned", "swapped unaligned"]


def other_layout(a, layout):
    """The values of `a` (one or two dimensions) in the given memory layout."""
    dtype = a.dtype.newbyteorder("S") if "swapped" in layout else a.dtype
    if "unaligned" not in layout:
        return a.astype(dtype)
    field = ("v", dtype, a.shape[1:]) if a.ndim > 1 else ("v", dtype)
    packed = np.zeros(a.shape[0], dtype=[("pad", "u1"), field])
    packed["v"] = a
    out = packed["v"]
    assert out.shape == a.shape and (not out.flags.aligned or a.dtype.itemsize == 1)
    return out


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize(
    "values, dtype, bad_vals",
    [
        ([NAN] * 5, np.float64, [NAN]),
        ([NAN] * 5, np.float32, NAN),
        ([NAN_LOOKALIKE] * 3, np.float64, [NAN]),
        ([NAN, -1.0, -1.0, NAN], np.float64, [NAN, -1]),
        ([NAN, -1.0, 0.0], np.float64, [NAN, -1]),
        ([255, 255], np.int16, [NAN, 255]),
        ([-256, -256], np.int16, [NAN, 255]),
        ([2**40, 2**40], np.int64, [NAN, 2**40]),
        ([1, 1], np.uint32, [NAN, 2**24]),
        ([NAN, 3, NAN], object, [NAN, 3]),
        ([NAN, 3, "x"], object, [NAN]),
        ([7.0, 7.0], np.float64, [7.0]),
    ],
)
def test_is_all_missing_as_in_native_order(ex, layout, values, dtype, bad_vals):
    native = np.array(values, dtype=dtype)
    x = other_layout(native, layout)
    try:
        expected = ex.is_all_missing(native, bad_vals)
    except ValueError:
        with pytest.raises(ValueError):
            ex.is_all_missing(x, bad_vals)
        return
    assert type(expected) is np.bool_
    assert ex.is_all_missing(x, bad_vals) == expected
    assert repr(x.tolist()) == repr(native.tolist())  # input untouched


def test_lookalike_values_are_not_missing(ex):
    assert ex.is_all_missing(np.full(3, NAN), [NAN])
    assert not ex.is_all_missing(np.full(3, NAN_LOOKALIKE), [NAN])


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("strategy", ["mean", "median", "most_frequent", "constant"])
def test_num_imputer_as_in_native_order(ex, layout, dtype, strategy):
    # Column 1 is entirely missing: fit must find it, transform must put it back.
    native = np.array(
        [[1.0, NAN, NAN, 4.0], [NAN, NAN, 2.0, NAN], [3.0, NAN, NAN, 5.0]], dtype=dtype
    )
    X = other_layout(native, layout)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # scikit-learn's note about the skipped column
        expected = ex.NumImputer(strategy, NAN).fit(native).transform(native)
        imp = ex.NumImputer(strategy, NAN).fit(X)
        got = imp.transform(X)
    if strategy != "constant":
        assert imp.bad_columns == [1]
    assert got.shape == native.shape
    np.testing.assert_array_equal(got, expected)


def python_is_all_missing(x, bad_vals):
    """is_all_missing written out in Python, item by item."""
    markers = [m for m in bad_vals if not np.isnan(m)]
    if len(markers) == len(bad_vals):
        return bool(np.isin(x, markers).all())
    return all(np.isnan(float(v)) or bool(np.isin(v, markers)) for v in x)


def fits(values, dtype):
    if dtype.kind == "f":
        return all(abs(v) < float(np.finfo(dtype).max) for v in values)
    if dtype.kind == "b":
        return set(values) <= {0, 1}
    info = np.iinfo(dtype)
    return all(info.min <= v <= info.max for v in values)


# Every numeric type code (half and long double included), with integers at the edges of the
# ones a double holds exactly.
NUMERIC_CASES = [
    pytest.param(values, bad_vals, code, id="%s-%r" % (code, values))
    for values, bad_vals in [
        ([1, 1, 1], [NAN, 1]),
        ([1, 0, 1], [NAN, 1]),
        ([0, 0], [NAN, 0, 7]),
        ([-5, -5], [NAN, -5]),
        ([2**53, 2**53], [NAN, 2**53]),
        ([2**53 + 1, 2**53 + 1], [NAN, 2**53]),
        ([2**53, -(2**53) - 1], [NAN, 2**53, -(2**53) - 1]),
        ([2**63 - 1], [NAN, 2**63 - 1]),
        ([2**64 - 1], [NAN, 2**64 - 1]),
    ]
    for code in "?bBhHiIlLqQefdg"
    if fits(values, np.dtype(code))
]


@pytest.mark.parametrize("layout", ["native"] + LAYOUTS)
@pytest.mark.parametrize("values, bad_vals, code", NUMERIC_CASES)
def test_is_all_missing_every_numeric_dtype(ex, layout, values, bad_vals, code):
    native = np.array(values, dtype=object).astype(code)
    x = native if layout == "native" else other_layout(native, layout)
    assert ex.is_all_missing(x, bad_vals) == python_is_all_missing(native, bad_vals)


@pytest.mark.parametrize(
    "values, bad_vals",
    [
        ([2**53 + 1], [NAN, 2**53]),
        ([2**53], [NAN, 2**53 + 1]),
        ([-(2**53) - 1, 2**53 + 1], [NAN, -(2**53) - 1, 2**53 + 1]),
    ],
)
def test_is_all_missing_large_integers_in_objects(ex, values, bad_vals):
    x = np.array(values, dtype=object)
    assert ex.is_all_missing(x, bad_vals) == python_is_all_missing(x, bad_vals)


MISSING = ["NA", "", None, NAN]
OBJECT_KERNELS = {
    "replace markers": lambda u, X: u.numpy_replace_values(X, -1, MISSING),
    "replace known values": lambda u, X: u.numpy_replace_values(
        X, -1, [["b", "NA"], [2.5, "1e3"], [1]], True
    ),
    "categories": lambda u, X: u.numpy_get_categories(X, range(len(X)), MISSING),
    "compress string": lambda u, X: u.compress_str_column(X[:, 0], MISSING, "string"),
    "compress hash": lambda u, X: u.compress_str_column(X[:, 0], None, "hash"),
    "floatstr2float": lambda u, X: u.numpy_floatstr2float(X[:, 1], MISSING),
    "boolean2float": lambda u, X: u.numpy_boolean2float(X),
    "convert_float32": lambda u, X: u.convert_float32(X[:, 2]),
    "whatis": lambda u, X: u.numpy_whatis(X),
}


@pytest.mark.parametrize("threads", ["1", "3"])
@pytest.mark.parametrize("kernel", OBJECT_KERNELS.values(), ids=OBJECT_KERNELS.keys())
def test_unaligned_object_cells_as_aligned(kernel, threads, monkeypatch):
    # Pointers at odd addresses (a field after one byte of a packed record) are read as
    # they are, by every thread.
    from tabrix_libs.utils import exportable_utils as u

    monkeypatch.setenv("TABRIX_NUM_THREADS", threads)
    monkeypatch.setenv("TABRIX_PARALLEL_MIN_CELLS", "1")
    rows = [
        [" A-b ", 2.5, 1],
        ["NA", "1e3", NAN],
        ["true", None, True],
        [None, NAN, -2.5],
        ["Straße", "-7", 1e39 / 1e10],
        ["b", True, np.float32(3)],
    ] * 5
    native = np.empty((len(rows), 3), dtype=object)
    native[:] = rows
    X = other_layout(native, "unaligned")
    assert not X.flags.aligned and X.tolist() == native.tolist()
    assert repr(kernel(u, X)) == repr(kernel(u, native))
