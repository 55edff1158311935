from decimal import Decimal
from fractions import Fraction

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
    numpy_replace_values,
)


def col(*values):
    a = np.empty((len(values), 1), dtype=object)
    a[:, 0] = list(values)
    return a


# (cell, markers, replaced?) -- equality across types, and NaN only through a NaN marker.
MATCH_CASES = [
    (1, [1.0], True),
    (1.0, [True], True),
    (np.int8(1), [1], True),
    (np.uint64(2**64 - 1), [2**64 - 1], True),
    (2**70, [float(2**70)], True),
    (2**53 + 1, [float(2**53)], False),
    (np.float32(0.1), [0.1], False),
    (np.float32(0.5), [0.5], True),
    (-0.0, [0], True),
    (Decimal("1.5"), [1.5], True),
    (1.5, [Fraction(3, 2)], True),
    (complex(2, 0), [2], True),
    # NumPy numbers against other kinds of numbers, by value (NumPy's own == may raise)
    (Decimal(0), [np.uint32(0)], True),
    (np.uint16(3), [Decimal(3)], True),
    (Fraction(1, 2), [np.float16(0.5)], True),
    (np.int64(-1), [Fraction(-1)], True),
    (Decimal(1), [np.uint32(2)], False),
    ("NA", ["NA"], True),
    (np.str_("NA"), ["NA"], True),
    ("na", ["NA"], False),
    ("1", [1], False),
    (None, [None], True),
    (None, ["None"], False),
    (float("nan"), [float("nan")], True),
    (np.float32("nan"), [np.nan], True),
    (np.float16("nan"), [float("nan")], True),
    (float("nan"), [None, "nan", "NaN"], False),
    (0.0, [float("nan")], False),
    ((1, 2), [(1, 2)], True),
    ([1, 2], [[1, 2]], True),
    ([1, 2], ["NA", 1], False),
    (b"NA", ["NA"], False),
    (float("inf"), [float("inf")], True),
    (float("-inf"), [float("inf")], False),
]


def filled(v):
    return isinstance(v, str) and v == "FILL"


@pytest.mark.parametrize("cell, markers, replaced", MATCH_CASES)
def test_matching_rule_object_cells(cell, markers, replaced):
    X = col(cell, "keep")
    out = numpy_replace_values(X, filling_value="FILL", reference_values_list=markers)
    assert filled(out[0, 0]) is replaced
    assert out[1, 0] == "keep"


@pytest.mark.parametrize("cell, markers, replaced", MATCH_CASES)
def test_matching_rule_known_values(cell, markers, replaced):
    X = col(cell)
    out = numpy_replace_values(
        X, filling_value="FILL", reference_values_list=[markers], invert_flag=True
    )
    assert filled(out[0, 0]) is not replaced


MIXED = st.sampled_from(
    [
        0,
        1,
        -1,
        2,
        1.0,
        2.5,
        -0.0,
        True,
        False,
        float("nan"),
        np.nan,
        np.float32(2.5),
        np.float32("nan"),
        np.int64(2),
        np.uint8(1),
        None,
        "",
        "?",
        "NA",
        "nan",
        "NaN",
        "a",
        "A",
        np.str_("a"),
        2**64,
        Decimal(2),
        "None",
    ]
)


@settings(max_examples=150, deadline=None)
@given(
    cells=st.lists(MIXED, min_size=1, max_size=30),
    markers=st.lists(MIXED, max_size=6),
    ncols=st.integers(1, 3),
)
def test_replace_agrees_with_python_model(cells, markers, ncols):
    X = np.empty(len(cells), dtype=object)
    X[:] = cells
    X = X[: len(cells) // ncols * ncols].reshape(-1, ncols)
    out = numpy_replace_values(X, filling_value=-7, reference_values_list=markers)
    assert model.same_objects(out, model.replace_values(X, -7, markers))
    known = [markers[j::ncols] for j in range(ncols)]
    out = numpy_replace_values(X, filling_value=-7, reference_values_list=known, invert_flag=True)
    assert model.same_objects(out, model.replace_unknown(X, -7, known))


def test_default_markers_replace_usual_missing_cells():
    X = np.array(
        [
            ["", "?", "NA", "N/A", "n/a", "NaN"],
            ["nan", "NULL", "null", "None", None, np.nan],
            ["x", "na", 0, "0", "none", " "],
        ],
        dtype=object,
    )
    out = numpy_replace_values(X, filling_value=np.nan, reference_values_list=MISSING)
    assert all(model.is_nan(v) for v in out[:2].ravel())
    assert list(out[2]) == ["x", "na", 0, "0", "none", " "]


# (input array, filling value, markers, expected dtype, expected values)
DTYPE_CASES = [
    (np.array([[1, 2], [3, 4]]), -1, [2], np.int64, [[1, -1], [3, 4]]),
    (np.array([[1, 2], [3, 4]]), np.nan, [2], np.float64, [[1, np.nan], [3, 4]]),
    (np.array([[1, 2], [3, 4]]), np.nan, [9], np.int64, [[1, 2], [3, 4]]),
    (np.array([[2**62 + 1, 2]]), np.nan, [2], object, [[2**62 + 1, np.nan]]),
    (np.array([[1, 2]], dtype=np.uint8), -1, [1], np.float64, [[-1, 2]]),
    (np.array([[1, 2]], dtype=np.uint8), 255, [1], np.uint8, [[255, 2]]),
    (np.array([[True, False]]), np.nan, [False], np.float64, [[1, np.nan]]),
    (np.array([[True, False]]), True, [0], np.bool_, [[True, True]]),
    (np.array([[1.5, np.nan]], dtype=np.float32), 0, [np.nan], np.float32, [[1.5, 0]]),
    (np.array([[1.5, 2.0]], dtype=np.float32), 1e300, [2], np.float64, [[1.5, 1e300]]),
    (np.array([[1.5, 2.0]], dtype=np.float32), 0.1, [2], np.float64, [[1.5, 0.1]]),
    (np.array([[1.0, 2.0]]), "x", [2], object, [[1.0, "x"]]),
    (np.array([[1.0, 2.0]]), None, [2], object, [[1.0, None]]),
    (np.array([[1, 2]]), 0.5, [2.0], np.float64, [[1, 0.5]]),
    (np.array([["a", "NA"]]), "?", ["NA"], np.dtype("U2"), [["a", "?"]]),
    (np.array([["a", "NA"]]), "missing", ["NA"], object, [["a", "missing"]]),
    (np.array([[1.0, 2.0]], dtype=np.float16), 1e10, [2], np.float64, [[1, 1e10]]),
    (np.array([[1.0, 2.0]], dtype=np.float16), 3, [2], np.float16, [[1, 3]]),
    (np.array([[1, 2]], dtype=">i4"), 7, [1], np.int32, [[7, 2]]),
]


@pytest.mark.parametrize("X, fill, markers, dtype, expected", DTYPE_CASES)
def test_result_dtype_holds_every_value(X, fill, markers, dtype, expected):
    before = X.copy()
    out = numpy_replace_values(X, filling_value=fill, reference_values_list=markers)
    assert out.dtype == np.dtype(dtype)
    got = out.ravel().tolist()
    want = [v for row in expected for v in row]
    assert len(got) == len(want)
    assert all((model.is_nan(a) and model.is_nan(b)) or a == b for a, b in zip(got, want)), got
    np.testing.assert_array_equal(X, before)
    assert not np.shares_memory(out, X)


@pytest.mark.parametrize("layout", ["C", "F", "strided", "swapped"])
@pytest.mark.parametrize("dtype", [np.int64, np.float64, object])
def test_any_memory_layout(layout, dtype):
    base = np.arange(24).reshape(4, 6).astype(dtype)
    base[1, 2] = -1
    if layout == "F":
        X = np.asfortranarray(base)
    elif layout == "strided":
        big = np.zeros((8, 12), dtype=dtype)
        big[::2, ::2] = base
        X = big[::2, ::2]
    elif layout == "swapped":
        if dtype is object:
            pytest.skip("object arrays have no byte order")
        X = base.astype(np.dtype(dtype).newbyteorder())
    else:
        X = base
    known = [list(range(100)) for _ in range(6)]
    for invert, ref, replaced in [
        (False, [-1, 5], np.isin(base, [-1, 5])),
        (True, known, ~np.isin(base, known[0])),
    ]:
        out = numpy_replace_values(
            X, filling_value=99, reference_values_list=ref, invert_flag=invert
        )
        assert out.shape == (4, 6)
        np.testing.assert_array_equal(out.astype(np.int64), np.where(replaced, 99, base))


@pytest.mark.parametrize("X", [np.zeros((2, 3)), np.zeros((2, 3), dtype=object)])
@pytest.mark.parametrize("known", [[], [[1]], [[1], [2]], [[1]] * 4])
def test_known_values_count_must_match_columns(X, known):
    with pytest.raises(ValueError, match=rf"{len(known)} list.*3 column"):
        numpy_replace_values(X, filling_value=0, reference_values_list=known, invert_flag=True)


def test_known_values_need_a_2d_array():
    with pytest.raises(ValueError, match="2-D"):
        numpy_replace_values(
            np.zeros(3), filling_value=0, reference_values_list=[[0]] * 3, invert_flag=True
        )


def test_unknown_values_replaced_after_collecting_categories():
    train = np.array([["a", 1], ["b", 2], ["NA", 2]], dtype=object)
    test = np.array([["a", 2], ["c", 3], ["NA", 1.0]], dtype=object)
    known = []
    numpy_get_categories(train, range(3), MISSING, categories_list2=known)
    out = numpy_replace_values(
        test, filling_value=np.nan, reference_values_list=known, invert_flag=True
    )
    assert out[0, 0] == "a" and out[0, 1] == 2 and out[2, 1] == 1.0
    assert all(model.is_nan(v) for v in [out[1, 0], out[1, 1], out[2, 0]])


class BigInt(int):
    pass


@pytest.mark.parametrize("marker", [Decimal(2**60 + 1), Fraction(2**60 + 1), BigInt(2**60 + 1)])
@pytest.mark.parametrize("dtype", [np.int64, np.uint64])
def test_integer_cells_beyond_double_precision_match_any_equal_number(marker, dtype):
    X = np.array([[2**60 + 1, 2**60]], dtype=dtype)
    out = numpy_replace_values(X, filling_value=-1, reference_values_list=[marker])
    np.testing.assert_array_equal(out, [[-1, 2**60]])
    out = numpy_replace_values(
        X, filling_value=0, reference_values_list=[[marker], [2**60]], invert_flag=True
    )
    np.testing.assert_array_equal(out, X)


def test_numeric_markers_from_any_number_type():
    X = np.array([[1.0, 2.0, np.nan, 2**70]])
    out = numpy_replace_values(
        X, filling_value=0.0, reference_values_list=[Decimal(1), complex(2, 0), np.nan, 2**70]
    )
    np.testing.assert_array_equal(out, [[0.0, 0.0, 0.0, 0.0]])
    ints = np.array([[1, 2, 3]], dtype=np.uint64)
    out = numpy_replace_values(ints, filling_value=0, reference_values_list=[True, 2.0, "3"])
    np.testing.assert_array_equal(out, [[0, 0, 3]])
