import math
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

from tabrix_libs.utils.exportable_utils import convert_float32, numpy_boolean2float


def obj(*values):
    a = np.empty(len(values), dtype=object)
    a[:] = list(values)
    return a


# ----------------------------------------------------------------------------------------
# numpy_boolean2float


def test_boolean_array_to_float64():
    X = np.array([[True, False], [False, True]])
    out = numpy_boolean2float(X)
    assert out.dtype == np.float64
    np.testing.assert_array_equal(out, [[1.0, 0.0], [0.0, 1.0]])


@pytest.mark.parametrize(
    "dtype", [np.int8, np.uint64, np.float16, np.float32, np.float64, np.longdouble, ">i4"]
)
def test_numeric_arrays_become_float64_copies(dtype):
    X = (
        np.array([[1, -0.0, 3]]).astype(dtype)
        if dtype != np.uint64
        else np.array([[1, 0, 3]], dtype)
    )
    out = numpy_boolean2float(X)
    assert out.dtype == np.float64 and not np.shares_memory(out, X)
    np.testing.assert_array_equal(out, X.astype(np.float64))


@pytest.mark.parametrize(
    "cell, expected",
    [
        (True, 1.0),
        (False, 0.0),
        (np.True_, 1.0),
        (np.False_, 0.0),
        ("true", 1.0),
        (" FALSE\t", 0.0),
        ("True", 1.0),
        ("\u2003tRuE\n", 1.0),
        ("yes", "yes"),
        ("t", "t"),
        ("truefalse", "truefalse"),
        ("", ""),
        (1, 1),
        (0.0, 0.0),
        (None, None),
        (b"true", b"true"),
    ],
)
def test_object_cells(cell, expected):
    out = numpy_boolean2float(obj(cell, "keep"))
    assert out.dtype == object
    assert type(out[0]) is type(expected) and out[0] == expected
    assert out[1] == "keep"


def test_object_cells_kept_are_the_same_objects_and_input_untouched():
    marker = object()
    X = np.array([[marker, True], ["false", 2]], dtype=object)
    out = numpy_boolean2float(X)
    assert out[0, 0] is marker and out[1, 1] is X[1, 1]
    assert X[0, 1] is True and X[1, 0] == "false"


def test_text_arrays_convert_words():
    out = numpy_boolean2float(np.array(["True", "no", " false "]))
    assert list(out) == [1.0, "no", 0.0]


@pytest.mark.parametrize("X", [np.array([1 + 2j]), np.array(["2020-01-01"], dtype="M8[D]")])
def test_unsupported_dtypes(X):
    with pytest.raises(TypeError, match="dtype"):
        numpy_boolean2float(X)


# ----------------------------------------------------------------------------------------
# convert_float32


@pytest.mark.parametrize(
    "X",
    [
        np.array([[1.5, np.nan], [np.inf, -np.inf]]),
        np.array([[1, 2**40], [-5, 0]], dtype=np.int64),
        np.array([[2**64 - 1]], dtype=np.uint64),
        np.array([[True, False]]),
        np.array([[0.1, 3.4028235e38]]),
        np.array([[1.0, 2.0]], dtype=np.float16),
        np.array([[1.0, 2.0]], dtype=">f8"),
    ],
)
def test_numeric_to_float32(X):
    out = convert_float32(X)
    assert out.dtype == np.float32 and out.shape == X.shape
    np.testing.assert_array_equal(out, X.astype(np.float32))


def test_object_numbers_to_float32():
    X = np.array(
        [
            [1, 2.5, True],
            [np.float64(0.1), np.int8(-3), Decimal("0.25")],
            [Fraction(1, 4), np.nan, -np.inf],
            [2**64, np.float32(7), np.longdouble(2)],
        ],
        dtype=object,
    )
    out = convert_float32(X)
    want = np.array(
        [[1, 2.5, 1], [0.1, -3, 0.25], [0.25, np.nan, -np.inf], [2.0**64, 7, 2]], dtype=np.float32
    )
    np.testing.assert_array_equal(out, want)


@pytest.mark.parametrize(
    "cell, message",
    [
        ("1.5", r"row 1, column 0 holds '1\.5' \(str\), which is not a number"),
        (None, r"row 1, column 0 holds None"),
        (b"1", "not a number"),
        (1 + 0j, "not a number"),
        ([1.0], "not a number"),
        (Decimal("sNaN"), "not a number"),
        (1e39, r"row 1, column 0 holds 1e\+39, which is beyond the float32 range"),
        (-1e300, "beyond the float32 range"),
        (10**400, r"holds 1000000.*\.\.\..*000, which is beyond"),
        (Decimal("1E+400"), "beyond the float32 range"),
        (Decimal("-1E+400"), "beyond the float32 range"),
    ],
)
def test_object_cells_that_are_not_float32_numbers(cell, message):
    X = np.array([[1.0], [None]], dtype=object)
    X[1, 0] = cell
    with pytest.raises(ValueError, match=message):
        convert_float32(X)


@pytest.mark.skipif(
    np.finfo(np.longdouble).max <= np.finfo(np.float64).max, reason="long double is double here"
)
def test_long_double_beyond_double_range():
    X = np.array([np.longdouble(1e300) * np.longdouble(1e300)], dtype=object)
    with pytest.raises(ValueError, match="beyond the float32 range"):
        convert_float32(X)
    with pytest.raises(ValueError, match="beyond the float32 range"):
        convert_float32(X.astype(np.longdouble))


@pytest.mark.parametrize(
    "X, where",
    [
        (np.array([1.0, 1e300]), "row 1 holds"),
        (np.array([[1.0, 2.0], [3.0, -1e40]]), "row 1, column 1 holds"),
        (np.full((2, 2, 2), 1e300), r"cell \(0, 0, 0\) holds"),
        (np.array([[1.0, 2.0], [3.0, -1e40]]).T, "row 1, column 1 holds"),
    ],
)
def test_out_of_range_numeric_cells_are_named(X, where):
    with pytest.raises(ValueError, match=where + ".*beyond the float32 range"):
        convert_float32(X)


def test_float32_rounding_is_nearest():
    X = np.array([1 + 2**-24, 1 + 3 * 2**-24, 16777217], dtype=object)
    np.testing.assert_array_equal(
        convert_float32(X), np.array([1.0, 1 + 2**-22, 16777216.0], dtype=np.float32)
    )
    assert math.isnan(convert_float32(np.array([np.float32("nan")], dtype=object))[0])


def nearest_float32(value):
    """The float32 nearest to an exact number, ties to even, by exact arithmetic."""
    exact = Fraction(value)
    f = np.float32(float(exact))
    candidates = [np.nextafter(f, np.float32(-np.inf)), f, np.nextafter(f, np.float32(np.inf))]
    return min(
        candidates,
        key=lambda c: (abs(Fraction(float(c)) - exact), int(np.array(c).view(np.uint32)) & 1),
    )


class BigInt(int):
    pass


# Integers halfway between two float32 values once rounded to double: rounding twice (through
# a double) picks the wrong neighbour.
TWICE = [2**60 + 2**36 + 1, -(2**60 + 2**36 + 1), 2**63 + 2**39 + 1, 2**70 + 2**46 + 1]


@pytest.mark.parametrize(
    "value",
    TWICE
    + [
        BigInt(2**60 + 2**36 + 1),
        Decimal(2**60 + 2**36 + 1),
        Fraction(2**61 + 2**37 + 1, 2),
        Decimal("Infinity"),
    ],
)
def test_float32_of_object_numbers_is_rounded_once(value):
    out = convert_float32(obj(value))
    want = np.float32(np.inf) if value == Decimal("Infinity") else nearest_float32(value)
    assert out[0] == want


@pytest.mark.parametrize("dtype", [np.int64, np.uint64])
def test_float32_of_integer_arrays_is_rounded_once(dtype):
    values = [v for v in TWICE if np.iinfo(dtype).min <= v <= np.iinfo(dtype).max]
    out = convert_float32(np.array(values, dtype=dtype))
    np.testing.assert_array_equal(out, [nearest_float32(v) for v in values])


# The largest double that rounds to the largest float32, and the midpoint above it, which
# rounds (to even) to infinity.
FLT_EDGE = np.nextafter(2.0**128 - 2.0**103, 0)
FLT_OVER = 2.0**128 - 2.0**103


@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int64, np.uint8, np.bool_])
@pytest.mark.parametrize(
    "convert, to",
    [(convert_float32, np.float32), (numpy_boolean2float, np.float64)],
    ids=["convert_float32", "numpy_boolean2float"],
)
def test_numeric_results_as_astype_gives_them(convert, to, dtype, order):
    X = np.asarray(np.arange(-6, 6).reshape(3, 4) * 1.25, order=order).astype(dtype, order=order)
    if dtype == np.float64:
        X[1, 2], X[2, 0], X[0, 3] = FLT_EDGE, -np.inf, np.nan
    out, want = convert(X), X.astype(to)
    assert out.dtype == to and out.flags.c_contiguous == want.flags.c_contiguous
    assert out.strides == want.strides and not np.shares_memory(out, X)
    np.testing.assert_array_equal(out, want)


@pytest.mark.parametrize(
    "X",
    [
        np.array([[1.0, FLT_OVER], [-FLT_OVER, 2.0]]),
        np.asfortranarray(
            [[1.0, FLT_OVER], [-FLT_OVER, 2.0]]
        ),  # second in memory, first in C order
        np.array([[1.0, FLT_OVER], [-FLT_OVER, 2.0]], dtype=object),
    ],
)
def test_first_cell_beyond_float32_in_c_order_is_named(X):
    with pytest.raises(
        ValueError, match=r"row 0, column 1 holds 3\.402823\d*e\+38, which is beyond"
    ):
        convert_float32(X)
