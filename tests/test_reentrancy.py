"""Kernels and transformers against objects whose __hash__, __eq__, __float__, __index__ or
iteration run Python code that rebinds the cells being walked, clears them, shrinks the list
being read, or raises.

Each call must give what a plain Python loop gives (each cell read when the loop reaches it,
membership tested by hash, then ==), or raise a clear exception; never crash. The objects
freed under the kernels' feet are caught reliably only under AddressSanitizer.
"""

import math
import operator
import sys
import threading
import warnings

import _utils_model as model
import numpy as np
import pytest

from tabrix_libs.transformers import exportable as ex
from tabrix_libs.utils.exportable_utils import (
    compress_str_column,
    convert_float32,
    numpy_boolean2float,
    numpy_floatstr2float,
    numpy_get_categories,
    numpy_replace_values,
    numpy_select_columns,
)

ROWS = 20  # more than the kernels look ahead
TEXTS = ["NA", "ab", "1.5", "zz"]
REBOUND = ["zz", "NA", "ab", "2.5"]  # what "rebind" writes: another text in each row
FILL = "FILLED"


def fresh(text):
    """A new str equal to text, so that the array holds its only reference."""
    return "".join(list(text))


class Boom(Exception):
    pass


class Hostile:
    """Hashes like `key`, so lookups compare it with a value equal to key; runs `act` first
    in each method named in `on`."""

    def __init__(self, tag, key, act, on, index=5):
        self.tag, self.key, self.act, self.on, self.index = tag, key, act, on, index

    def _run(self, method, result):
        if method in self.on:
            self.act()
        return result

    def __hash__(self):
        return self._run("hash", hash(self.key))

    def __eq__(self, other):
        return self._run("eq", False)

    def __float__(self):
        return self._run("float", 2.5)

    def __index__(self):
        return self._run("index", self.index)


class HostileStr(Hostile, str):
    """A hostile str subclass: string kernels look it up and convert it."""

    def __new__(cls, tag, *args):
        return str.__new__(cls, "Ab-C " + tag)


class Scenario:
    """A fresh ROWS x 1 object array and marker list, with hostile cells (rows 0 and 7,
    colliding with the marker "NA") or a hostile marker (colliding with the cells "ab")."""

    def __init__(self, act, on, side, numbers=False, hostile=Hostile):
        self.numbers = numbers
        self.X = np.empty((ROWS, 1), dtype=object)
        self.X[:, 0] = [i + 0.25 if numbers else fresh(TEXTS[i % 4]) for i in range(ROWS)]
        self.refs = ["NA", fresh("zz")]
        self.lists = [self.refs]  # invert mode: one list per column
        if side == "cell":
            self.X[0, 0] = hostile("cell0", "NA", getattr(self, act), on)
            self.X[7, 0] = hostile("cell7", "NA", getattr(self, act), on)
        else:
            self.refs.insert(1, Hostile("marker", "ab", getattr(self, act), on))
        self.col = self.X[:, 0]

    def clear(self):
        self.X[...] = None

    def rebind(self):
        self.X[:, 0] = [-i - 0.75 if self.numbers else fresh(REBOUND[i % 4]) for i in range(ROWS)]

    def shrink(self):
        self.refs.clear()
        self.lists.clear()

    def fail(self):
        raise Boom()


# ---------------------------------------------------------------------------- Python loops


def hashed(v):
    try:
        hash(v)
    except TypeError:
        pass
    return v


def read_list(values):
    """A list of values as a set takes it: iterated, each value hashed."""
    return [hashed(v) for v in values or []]


def lookup(cell, values):
    return model.matches(hashed(cell), values)


def replace_loop(X, fill, markers):
    markers = read_list(markers)
    out = np.empty(X.shape, dtype=object)
    for idx in np.ndindex(X.shape):
        cell = X[idx]
        out[idx] = fill if lookup(cell, markers) else cell
    return out


def unknown_loop(X, fill, lists):
    known = [read_list(values) for values in list(lists)]
    out = np.empty(X.shape, dtype=object)
    for j in range(X.shape[1]):  # column by column
        for i in range(X.shape[0]):
            cell = X[i, j]
            out[i, j] = cell if lookup(cell, known[j]) else fill
    return out


def categories_loop(X, markers):
    markers, found = read_list(markers), []
    for i in range(X.shape[0]):
        v = hashed(X[i, 0])
        seen = lookup(v, found) or (model.is_nan(v) and any(model.is_nan(f) for f in found))
        if not seen and not lookup(v, markers):
            found.append(v)
    return [found]


def compress_loop(col, markers):
    markers, out = read_list(markers), []
    for i in range(len(col)):
        cell = col[i]
        keep = not isinstance(cell, str) or (markers and lookup(cell, markers))
        out.append(cell if keep else model.compress(cell))
    return out


def floatstr_loop(col, markers):
    markers, out = read_list(markers), []
    for i in range(len(col)):
        cell = col[i]
        if (markers and lookup(cell, markers)) or cell is None:
            out.append(math.nan)
        else:
            out.append(model.float_or_nan(cell) if isinstance(cell, str) else float(cell))
    return out


def float32_loop(X):
    out = []
    for i in range(len(X)):
        cell = X[i, 0]
        if cell is None or isinstance(cell, str):
            raise ValueError("not a number")
        out.append(float(cell))
    return np.array(out, dtype=np.float32).reshape(X.shape)


def norm(v):
    """Results comparable across two runs: hostile objects by tag, NaN as one value."""
    if isinstance(v, np.ndarray):
        return (v.dtype.kind, v.shape, norm(v.ravel().tolist()))
    if isinstance(v, (list, tuple)):
        return [norm(x) for x in v]
    if isinstance(v, Hostile):
        return ("hostile", v.tag)
    if isinstance(v, float) and math.isnan(v):
        return "nan"
    return (type(v).__name__, repr(v))


def outcome(call):
    try:
        return norm(call())
    except (TypeError, ValueError, IndexError, Boom) as e:
        return type(e)


# (name, kernel, Python loop): both take a Scenario.
KERNELS = [
    (
        "replace",
        lambda s: numpy_replace_values(s.X, FILL, s.refs),
        lambda s: replace_loop(s.X, FILL, s.refs),
    ),
    (
        "replace_1d",
        lambda s: numpy_replace_values(s.col, FILL, s.refs),
        lambda s: replace_loop(s.col, FILL, s.refs),
    ),
    (
        "unknown",
        lambda s: numpy_replace_values(s.X, FILL, s.lists, True),
        lambda s: unknown_loop(s.X, FILL, s.lists),
    ),
    (
        "categories",
        lambda s: numpy_get_categories(s.X, range(ROWS), s.refs, None),
        lambda s: categories_loop(s.X, s.refs),
    ),
    (
        "compress",
        lambda s: compress_str_column(s.col, s.refs, "string").tolist(),
        lambda s: compress_loop(s.col, s.refs),
    ),
    (
        "floatstr",
        lambda s: numpy_floatstr2float(s.col, s.refs).tolist(),
        lambda s: floatstr_loop(s.col, s.refs),
    ),
    ("float32", lambda s: convert_float32(s.X), lambda s: float32_loop(s.X)),
    # transformers over the kernels
    (
        "NumpyReplaceMissingValues",
        lambda s: ex.NumpyReplaceMissingValues(s.refs, FILL).fit(s.X).transform(s.X),
        lambda s: replace_loop(s.X, FILL, s.refs),
    ),
    (
        "NumpyReplaceUnknownValues",
        lambda s: (
            ex.NumpyReplaceUnknownValues([], missing_values_reference_list=s.refs)
            .fit(s.X)
            .transform(s.X)
        ),
        lambda s: unknown_loop(s.X, np.nan, categories_loop(s.X, s.refs)),
    ),
    (
        "CompressStrings",
        lambda s: (
            ex.CompressStrings(dtypes_list=["char_str"], misslist_list=[s.refs])
            .transform(s.X)[:, 0]
            .tolist()
        ),
        lambda s: compress_loop(s.col, s.refs),
    ),
    (
        "FloatStr2Float",
        lambda s: ex.FloatStr2Float(["float_str"], s.refs).transform(s.X)[:, 0].tolist(),
        lambda s: floatstr_loop(s.col, s.refs),
    ),
    (
        "float32_transform",
        lambda s: ex.float32_transform().transform(s.X),
        lambda s: float32_loop(s.X),
    ),
]
NUMBERS = {"float32", "float32_transform"}  # fed numbers rather than texts
STR_CELLS = {"compress", "CompressStrings"}  # hostile cells are strings

# (act, methods that run it, side of the hostile object)
HOSTILITY = [
    ("clear", ("eq",), "cell"),
    ("clear", ("hash",), "cell"),
    ("clear", ("float",), "cell"),
    ("rebind", ("eq",), "cell"),
    ("rebind", ("hash", "eq"), "cell"),
    ("rebind", ("float",), "cell"),
    ("fail", ("eq",), "cell"),
    ("fail", ("float",), "cell"),
    ("clear", ("eq",), "marker"),
    ("rebind", ("eq",), "marker"),
    ("fail", ("eq",), "marker"),
    ("shrink", ("hash",), "marker"),
    ("shrink", ("eq",), "marker"),
]


@pytest.mark.parametrize(
    "act, on, side", HOSTILITY, ids=["-".join([a, "+".join(o), s]) for a, o, s in HOSTILITY]
)
@pytest.mark.parametrize("name, kernel, loop", KERNELS, ids=[k[0] for k in KERNELS])
def test_what_a_python_loop_gives(name, kernel, loop, act, on, side):
    kind = (name in NUMBERS, HostileStr if name in STR_CELLS else Hostile)
    assert outcome(lambda: kernel(Scenario(act, on, side, *kind))) == outcome(
        lambda: loop(Scenario(act, on, side, *kind))
    )


@pytest.mark.parametrize("act", ["clear", "rebind", "fail"])
def test_boolean2float_runs_no_python_code_of_the_cells(act):
    s = Scenario(act, ("hash", "eq", "float", "index"), "cell")
    s.X[1:5, 0] = ["true", " FALSE ", True, np.bool_(False)]
    out = numpy_boolean2float(s.X)[:, 0].tolist()
    assert out[:5] == [s.X[0, 0], 1.0, 0.0, 1.0, 0.0] and out[5:] == s.col[5:].tolist()


def test_reference_lists_shrunk_while_read():
    # The outer list is read from a snapshot; a list of values ends where it was cut.
    X = np.array([["NA", "ab"], ["zz", "x1"]], dtype=object)
    outer, inner = [], ["NA"]
    outer.extend([[Hostile("o", "q", outer.clear, ("hash",)), "NA"], ["ab", "x1"]])
    inner.extend([Hostile("i", "q", inner.clear, ("hash",)), "zz"])
    assert numpy_replace_values(X, FILL, outer, True).tolist() == [["NA", "ab"], [FILL, "x1"]]
    assert numpy_replace_values(X, FILL, [inner, ["ab"]], True).tolist() == [
        ["NA", "ab"],
        [FILL, FILL],
    ]


# ------------------------------------------------------------------- selection from lists


def select_loop(L, indices):
    ints = [operator.index(i) for i in indices]  # all indices first, then the reads
    return [L[i] for i in ints], True


def cutting(L, index, keep=10, first=()):
    return list(first) + [
        Hostile("i", 0, lambda: L.__delitem__(slice(keep, None)), ("index",), index=index)
    ]


def cutting_generator(L, index):
    yield 1
    del L[10:]
    yield index


SELECT_CASES = {
    "cleared": lambda L: cutting(L, 50, keep=0),
    "cut-below-the-index": lambda L: cutting(L, 50, first=[3]),
    "cut-above-the-index": lambda L: cutting(L, 5),
    "negative-after-a-cut": lambda L: cutting(L, -1),
    "generator-cuts": lambda L: cutting_generator(L, 50),
    "generator-cuts-in-range": lambda L: cutting_generator(L, -2),
}


@pytest.mark.parametrize("indices", SELECT_CASES.values(), ids=SELECT_CASES.keys())
def test_select_columns_from_a_list_that_shrinks(indices):
    def run(select):
        L = [fresh("v%d" % i) for i in range(100)]
        return outcome(lambda: select(L, indices(L)))

    assert run(numpy_select_columns) == run(select_loop)


def test_column_selector_on_a_list_that_shrinks():
    rows = [[float(i), 1.0] for i in range(100)]
    with pytest.raises(IndexError, match="out of range for 0 elements"):
        ex.ColumnSelector(cutting(rows, 50, keep=0)).transform(rows)


# ------------------------------------------------------------------------------- -0.0


@pytest.mark.parametrize(
    "zero",
    [-0.0, np.float64(-0.0), np.float32(-0.0), np.float16(-0.0), np.longdouble(-0.0)],
    ids=lambda z: type(z).__name__,
)
def test_negative_zero_cells_keep_their_sign(zero):
    col = np.array([zero, "-0.0", 1.5], dtype=object)
    assert [math.copysign(1, v) for v in numpy_floatstr2float(col, [])] == [-1, -1, 1]
    assert [math.copysign(1, v) for v in convert_float32(col[[0, 2]])] == [-1, 1]


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.float16, np.longdouble])
def test_negative_zero_fill_keeps_its_sign(dtype):
    out = numpy_replace_values(np.array([1.0, np.nan], dtype=dtype), -0.0, [np.nan])
    assert out.dtype == dtype and math.copysign(1, out[1]) == -1


# ------------------------------------------------------------------ warnings and threads


def test_no_cast_warning_reaches_callers_from_threads():
    # Off the fast path, whether the fill fits the dtype is tried in NumPy; its overflow
    # warning must reach nobody, and the process-wide filters must stay as the caller set them.
    X = np.array([[1.0, 2.0]] * 50, dtype=np.float16)
    errors = []

    def work():
        try:
            for _ in range(200):
                out = numpy_replace_values(X, 1e10, [2])
                assert out.dtype == np.float64 and out[0, 1] == 1e10
        except BaseException as e:  # reported to the main thread
            errors.append(e)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            filters = list(warnings.filters)
            for _ in range(20):
                threads = [threading.Thread(target=work) for _ in range(8)]
                for t in threads:
                    t.start()
                for t in threads:
                    t.join()
                assert list(warnings.filters) == filters
                assert [str(w.message) for w in caught] == [] and not errors
    finally:
        sys.setswitchinterval(interval)


# (dtype, fill, result dtype): the fill keeps the dtype when stored unchanged in it; float16
# widens to float64 when that holds it; anything else gives objects.
OFF_FAST_PATH = [
    ("e", 3, "e"),
    ("e", np.nan, "e"),
    ("e", 1e10, "f8"),
    ("e", np.float64(1e10), "f8"),
    ("e", "ab", object),
    ("e", np.complex64(1 + 2j), object),
    ("e", np.datetime64("NaT"), object),
    ("F", np.complex64(1 + 2j), "F"),
    ("F", 1e300, object),
    ("F", np.complex128(1e300 + 1e300j), object),
    ("D", np.longdouble(1e300), "D"),
    ("D", np.longdouble("1e4000"), object),
    ("g", np.complex128(2 + 1j), object),
    ("M8[s]", np.datetime64(5, "s"), "M8[s]"),
    ("U4", "ab", "U4"),
    ("U4", "abcdef", object),
]


@pytest.mark.parametrize(
    "dtype, fill, result", OFF_FAST_PATH, ids=lambda v: repr(v).replace(" ", "")[:24]
)
def test_off_fast_path_dtypes_keep_their_rule_quietly(dtype, fill, result):
    X = np.zeros((2, 1), dtype=dtype)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        out = numpy_replace_values(X, fill, [X[0, 0]])
    assert out.dtype == np.dtype(result) and [str(w.message) for w in caught] == []
