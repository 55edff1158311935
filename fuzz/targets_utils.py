"""Harnesses for the array kernels of tabrix_libs.utils.exportable_utils and for
is_all_missing. Each target takes a gen.Source, builds inputs, calls one function and checks:
inputs unchanged, only allowed exceptions (with a message), and the result against a plain
Python statement of the documented rule (tests/_utils_model.py) where the rule is clear."""

import math
import operator
import os
import sys
from decimal import Decimal

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import _utils_model as model  # noqa: E402
import gen  # noqa: E402
from check import (
    ALLOWED,
    Snapshot,
    allowed_exception,
    call,
    fail,  # noqa: E402
    int_to_float32,
    is_nan,
    same_float,
    same_number,
)

from tabrix_libs.transformers.exportable import is_all_missing  # noqa: E402
from tabrix_libs.utils import exportable_utils as U  # noqa: E402

NUMBER_TYPES = (bool, int, float, np.bool_, np.integer, np.float16, np.float32, np.float64)


def is_number(v):
    """A real number of Python or NumPy (np.timedelta64 derives from np.integer: not one)."""
    return isinstance(v, NUMBER_TYPES) and not isinstance(v, np.timedelta64)


class Unmodelled(Exception):
    """The model cannot state the result for this input: only the general oracles apply."""


def norm(v):
    """Exact Python numbers for NumPy numbers, so that matching compares values exactly."""
    if isinstance(v, (np.complex64, np.complex128)):
        return complex(v)
    return model.plain(v)


class Normed(list):
    """Normalised values, remembering the values as given."""

    def __init__(self, values):
        super().__init__(norm(v) for v in values)
        self.raw = list(values)


def norm_list(values):
    return None if values is None else Normed(values)


CONTAINERS = (list, tuple, dict, np.ndarray)


def mixes_containers(cell, raw):
    """A container against a NumPy scalar (or the other way round): NumPy's == compares the
    container element-wise, which the exact comparison of numbers would not."""
    values = [cell] + list(raw)
    return any(isinstance(v, CONTAINERS) for v in values) and any(
        isinstance(v, np.generic) for v in values
    )


def odd_nan(v):
    """NaN that the rule does not settle: a NaN of a float subclass, or a complex NaN."""
    try:
        if isinstance(v, (complex, np.complexfloating)):
            return math.isnan(v.real) or math.isnan(v.imag)
        return isinstance(v, float) and type(v) is not float and math.isnan(v)
    except (TypeError, ValueError):
        return False


def unsettled(v):
    """Values the rule leaves open: odd NaNs, and NumPy dates and durations, whose == (with
    False or 0, say) disagrees with their hash."""
    return odd_nan(v) or isinstance(v, (np.datetime64, np.timedelta64))


def matches(cell, values):
    """The documented matching rule; Unmodelled where Python's own == raises (sNaN)."""
    if unsettled(cell) or any(unsettled(v) for v in values):
        raise Unmodelled("odd value")
    if mixes_containers(cell, getattr(values, "raw", values)):
        raise Unmodelled("container and NumPy scalar")
    try:
        return model.matches(norm(cell), values)
    except (TypeError, ValueError):
        raise
    except Exception as e:  # noqa: BLE001 - an odd __eq__ (Decimal sNaN) leaves the rule open
        raise Unmodelled(repr(e))


def modelled(fn, *args):
    try:
        return fn(*args), True
    except Unmodelled:
        return None, False


def expect_error(err, what, *context):
    if err is None:
        fail("no exception for " + what, *context)


def require_array(out, shape, what):
    if not isinstance(out, np.ndarray):
        fail("%s returned %s, not an array" % (what, type(out).__name__))
    if out.shape != shape:
        fail("%s returned shape %s, expected %s" % (what, out.shape, shape))


def native(dt):
    return dt.newbyteorder("=") if dt.byteorder not in "=|" else dt


def same_cell(got, want, identity):
    if identity or got is want:
        return got is want
    if isinstance(want, (np.datetime64, np.timedelta64)):
        return type(got) is type(want) and (got == want or (np.isnat(got) and np.isnat(want)))
    if isinstance(want, (str, bytes)) or isinstance(got, (str, bytes)):
        return type(got) in (type(want), np.str_, str, bytes, np.bytes_) and got == want
    if isinstance(want, (complex, np.complexfloating)) or isinstance(
        got, (complex, np.complexfloating)
    ):
        # By value, NaN parts equal (a complex stored as a float loses only a zero imaginary part).
        try:
            g, w = complex(got), complex(want)
        except (TypeError, ValueError):
            return False
        return all(
            x == y or (math.isnan(x) and math.isnan(y))
            for x, y in ((g.real, w.real), (g.imag, w.imag))
        )
    if (is_number(want) or isinstance(want, np.longdouble)) and (
        is_number(got) or isinstance(got, np.longdouble)
    ):
        return same_number(norm(got), norm(want))
    if isinstance(got, np.longdouble) and not isinstance(want, np.generic):
        # Another number (Decimal, Fraction) stored in a long double array: what NumPy stores.
        try:
            with np.errstate(all="ignore"):
                stored = np.array(want, dtype=got.dtype)[()]
        except (TypeError, ValueError, ArithmeticError):
            return False
        return same_number(norm(got), norm(stored))
    try:
        return bool(got == want)
    except (TypeError, ValueError):
        return False


def check_cells(out, expected, identity, what, *context):
    for idx in np.ndindex(out.shape):
        if not same_cell(out[idx], expected[idx], identity):
            fail("%s: cell %s is %r, expected %r" % (what, idx, out[idx], expected[idx]), *context)


def modelled_dtype(X):
    """Cells of X as the model sees them; None where the model does not cover the dtype."""
    if X.dtype.kind in "Mm":
        return None
    return X


# ----------------------------------------------------------------------------------------
# numpy_replace_values


def dtype_holds(dt, value):
    """Whether dt stores value unchanged (clear cases only; None when unclear)."""
    if dt.kind in "iu" and type(value) is int:
        info = np.iinfo(dt)
        return info.min <= value <= info.max
    if dt.kind == "f" and type(value) is float:
        with np.errstate(all="ignore"):
            return same_float(np.array(value, dtype=dt).astype(np.float64), value)
    if dt.kind in "iub" and type(value) is float and math.isnan(value):
        return False
    return None


def check_replace_dtype(X, out, replaced, fill, kept, ref):
    if X.dtype == object:
        if out.dtype != object:
            fail("object input gave dtype %s" % out.dtype)
        return
    if not replaced:
        if native(out.dtype) != native(X.dtype):
            fail("nothing replaced, yet dtype %s became %s" % (X.dtype, out.dtype), X, ref, fill)
        return
    holds = dtype_holds(X.dtype, fill)
    if holds and native(out.dtype) != native(X.dtype):
        fail("dtype %s holds the fill %r, yet the result is %s" % (X.dtype, fill, out.dtype), X)
    if holds is False and X.dtype.kind in "iub" and type(fill) is float:
        exact = all(float(v) == v for v in map(norm, kept))
        want = np.float64 if exact else object
        if out.dtype != want:
            fail(
                "fill %r in %s: result dtype %s, expected %s"
                % (fill, X.dtype, out.dtype, np.dtype(want)),
                X,
                ref,
            )


def t_replace_values(src):
    invert = src.chance(2)
    if src.chance(40):
        X = gen.not_an_array(src)
    else:
        X = gen.array(src, ndim=2 if invert and not src.chance(10) else None)
    pool = gen.cells_of(X) if isinstance(X, np.ndarray) else []
    if invert:
        ncols = X.shape[1] if isinstance(X, np.ndarray) and X.ndim == 2 else 1
        count = ncols if not src.chance(12) else src.below(4)
        col_pools = [
            gen.cells_of(X[:, j]) if isinstance(X, np.ndarray) and X.ndim == 2 else pool
            for j in range(ncols)
        ]
        ref = [
            gen.values_like(src, col_pools[j] if j < ncols else pool, src.below(4))
            for j in range(count)
        ]
        if src.chance(20):
            ref = tuple(ref)
    else:
        ref = gen.reference_list(src, pool)
    fill = src.pick((np.nan, None, -1, 0, "missing", -1.5, True, 1e300))
    if src.chance(4):
        fill = gen.variant(src, gen.scalar(src))
    snap = Snapshot(X, ref, fill)
    out, err = call(U.numpy_replace_values, X, fill, ref, invert)
    snap.check()
    if not isinstance(X, np.ndarray) or modelled_dtype(X) is None:
        return
    if invert and (X.ndim != 2 or len(ref) != X.shape[1]):
        expect_error(err, "a reference of %d lists for shape %s" % (len(ref), X.shape), X, ref)
        if not isinstance(err, ValueError) and X.ndim == 2:
            fail("wrong reference count gave %s, not ValueError" % type(err).__name__)
        return
    refs = [norm_list(r) for r in ref] if invert else norm_list(ref) or []
    try:
        expected = np.empty(X.shape, dtype=object)
        replaced = False
        kept = []
        for idx in np.ndindex(X.shape):
            cell = X[idx]
            hit = matches(cell, refs[idx[1]] if invert else refs)
            if hit != invert:
                expected[idx] = fill
                replaced = True
            else:
                expected[idx] = cell
                kept.append(cell)
    except Unmodelled:
        return
    except (TypeError, ValueError) as e:
        # Python's == raised for these values; the kernel may too.
        if err is None:
            fail("the model raised %r but the kernel returned" % e, X, ref)
        return
    if err is not None:
        fail("%s: %s" % (type(err).__name__, err), X, ref, fill)
    require_array(out, X.shape, "numpy_replace_values")
    if out is X or (out.size and np.shares_memory(out, X)):
        fail("the result shares memory with X")
    check_cells(
        out,
        expected,
        X.dtype == object and out.dtype == object,
        "numpy_replace_values",
        X,
        ref,
        fill,
        "invert_flag=%s" % invert,
    )
    check_replace_dtype(X, out, replaced, fill, kept, ref)


# ----------------------------------------------------------------------------------------
# numpy_get_categories


def t_get_categories(src):
    X = gen.array(src, ndim=2) if not src.chance(30) else gen.array(src)
    n = X.shape[0] if X.ndim else 0
    r = src.below(8)
    if r <= 3:
        rows = range(n)
    elif r == 4:
        rows = [src.below(n + 3) - (n + 1) // 2 for _ in range(src.below(6))]
    elif r == 5:
        rows = [np.int64(src.below(max(n, 1))) for _ in range(src.below(4))]
    elif r == 6:
        rows = range(n - 1, -1, -1 - src.below(2))
    else:
        rows = src.pick(([0.0], ["0"], None, [None], [True], np.arange(n)))
    pool = gen.cells_of(X)
    markers = gen.reference_list(src, pool)
    target = src.pick((None, None, [], [["kept"]]))
    snap = Snapshot(X, rows, markers)
    before = list(target) if target is not None else None
    out, err = call(U.numpy_get_categories, X, rows, markers, target)
    snap.check()
    if target is not None:
        if target[: len(before)] != before or any(a is not b for a, b in zip(target, before)):
            fail("categories_list2 lost its previous items", before, target)
    if X.ndim != 2 or modelled_dtype(X) is None:
        return
    if not (isinstance(rows, (range, list)) and all(type(i) in (int, np.int64) for i in rows)):
        return
    nrow = X.shape[0]
    if any(not -nrow <= int(i) < nrow for i in rows):
        expect_error(err, "a row index out of range", X, rows)
        if not isinstance(err, IndexError):
            fail("row out of range gave %s, not IndexError" % type(err).__name__)
        return
    marks = norm_list(markers) or []
    try:
        expected = []
        for j in range(X.shape[1]):
            found, found_norm = [], []
            for i in rows:
                v = X[int(i), j]
                if matches(v, marks):
                    continue
                if is_nan(v):
                    if not any(is_nan(f) for f in found_norm):
                        found.append(v)
                        found_norm.append(norm(v))
                elif not matches(v, Normed([f for f in found if not is_nan(norm(f))])):
                    found.append(v)
                    found_norm.append(norm(v))
            expected.append(found)
    except Unmodelled:
        return
    except (TypeError, ValueError) as e:
        if err is None:
            fail("the model raised %r but the kernel returned" % e, X)
        return
    if err is not None:
        fail("%s: %s" % (type(err).__name__, err), X, rows, markers)
    got = out if target is None else target[len(before) :]
    if target is not None and out is not target:
        fail("categories_list2 given, but another object returned")
    if not isinstance(got, list) or len(got) != X.shape[1]:
        fail("expected %d lists, got %r" % (X.shape[1], got))
    identity = X.dtype == object
    for j, (g, e) in enumerate(zip(got, expected)):
        if not isinstance(g, list) or len(g) != len(e):
            fail("column %d: got %r, expected %r" % (j, g, e), X, rows, markers)
        for a, b in zip(g, e):
            if not same_cell(a, b, identity):
                fail("column %d: got %r, expected %r" % (j, g, e), X, rows, markers)
            if not identity and is_number(b) and type(a) is not type(norm(b)):
                fail("column %d: numeric cell %r came back as %s" % (j, b, type(a).__name__))


# ----------------------------------------------------------------------------------------
# compress_str_column


def t_compress(src):
    mode = src.pick(("string", "hash", "string", "hash", "other", np.str_("hash"), None))
    col = gen.column(
        src,
        kind=src.pick(("object", "object", "text", None)),
        cells=src.pick((None, gen.text, gen.word, gen.scalar)),
    )
    if src.chance(20):
        col = gen.array(src)
    misslist = gen.reference_list(src, gen.cells_of(col))
    snap = Snapshot(col, misslist)
    out, err = call(U.compress_str_column, col, misslist, mode)
    snap.check()
    if mode not in ("string", "hash"):
        if type(mode) is str or mode is None:
            expect_error(err, "compress_type %r" % (mode,))
        return
    if col.ndim != 1 or modelled_dtype(col) is None:
        return
    marks = norm_list(misslist) or []
    expected = np.empty(col.shape, dtype=object)
    changed = [False] * col.shape[0]
    try:
        for i in range(col.shape[0]):
            cell = col[i]
            if isinstance(cell, str) and not matches(cell, marks):
                c = model.compress(cell)
                expected[i] = c if mode == "string" else model.fnv1a64(c.encode("utf-8"))
                changed[i] = True
            else:
                expected[i] = cell
    except Unmodelled:
        return
    if err is not None:
        fail("%s: %s" % (type(err).__name__, err), col, misslist)
    require_array(out, col.shape, "compress_str_column")
    if out.dtype != object:
        fail("compress_str_column returned dtype %s" % out.dtype)
    for i in range(col.shape[0]):
        e, g = expected[i], out[i]
        if changed[i]:
            if type(g) is not type(e) or g != e:
                fail("row %d: %r became %r, expected %r" % (i, col[i], g, e))
        elif not same_cell(g, e, col.dtype == object):
            fail("row %d: %r should be kept, got %r" % (i, e, g))


# ----------------------------------------------------------------------------------------
# numpy_floatstr2float


def float_of(cell):
    """The documented value of one cell, or Unmodelled."""
    if isinstance(cell, str):
        return model.float_or_nan(cell)
    if cell is None or isinstance(cell, (bytes, np.bytes_)):
        return math.nan
    if is_number(cell) or isinstance(cell, np.longdouble):
        try:
            return float(cell)
        except OverflowError:
            return math.inf if cell > 0 else -math.inf
    raise Unmodelled(type(cell).__name__)


def t_floatstr(src):
    col = gen.column(
        src,
        kind=src.pick(("object", "object", "object", "text", "numeric")),
        cells=src.pick((gen.number_text, gen.number_text, gen.scalar, None)),
    )
    if src.chance(20):
        col = gen.array(src)
    markers = gen.reference_list(src, gen.cells_of(col))
    snap = Snapshot(col, markers)
    out, err = call(U.numpy_floatstr2float, col, markers)
    snap.check()
    if col.ndim != 1 or col.dtype.kind in "Mmc":
        return
    if err is not None:
        fail("%s: %s" % (type(err).__name__, err), col, markers)
    require_array(out, col.shape, "numpy_floatstr2float")
    if out.dtype != np.float64:
        fail("numpy_floatstr2float returned dtype %s" % out.dtype)
    marks = norm_list(markers) or []
    for i in range(col.shape[0]):
        cell = col[i]
        try:
            want = math.nan if matches(cell, marks) else float_of(cell)
        except Unmodelled:
            # Other objects: NaN, or their float value.
            try:
                alt = float(cell)
            except OverflowError:
                alt = math.inf if cell > 0 else -math.inf
            except Exception:  # noqa: BLE001 - any other failure means NaN is the only answer
                alt = math.nan
            if not (math.isnan(out[i]) or same_float(out[i], alt)):
                fail("row %d: %r became %r" % (i, cell, out[i]))
            continue
        if not same_float(out[i], want):
            fail("row %d: %r became %r, expected %r" % (i, cell, out[i], want), col, markers)


# ----------------------------------------------------------------------------------------
# numpy_boolean2float


def bool_word_value(s):
    t = s.strip()
    if t.isascii() and t.lower() in ("true", "false"):
        return 1.0 if t.lower() == "true" else 0.0
    return None


def t_boolean2float(src):
    X = gen.array(
        src,
        kind=src.pick(("object", "numeric", "text", None)),
        cells=src.pick((gen.word, gen.scalar, None)),
    )
    if src.chance(40):
        X = gen.not_an_array(src)
    snap = Snapshot(X)
    out, err = call(U.numpy_boolean2float, X)
    snap.check()
    if not isinstance(X, np.ndarray):
        expect_error(err, "X of type %s" % type(X).__name__)
        return
    kind = X.dtype.kind
    if kind in "cMm":
        expect_error(err, "dtype %s" % X.dtype)
        if not isinstance(err, TypeError):
            fail("dtype %s gave %s, not TypeError" % (X.dtype, type(err).__name__))
        return
    if err is not None:
        fail("%s: %s" % (type(err).__name__, err), X)
    require_array(out, X.shape, "numpy_boolean2float")
    if kind in "biuf":
        if out.dtype != np.float64:
            fail("dtype %s gave %s, not float64" % (X.dtype, out.dtype))
        want = X.astype(np.float64)
        for idx in np.ndindex(X.shape):
            if not same_float(out[idx], want[idx]):
                fail("%s: %r became %r" % (idx, X[idx], out[idx]), X)
        return
    if out.dtype != object:
        fail("dtype %s gave %s, not object" % (X.dtype, out.dtype))
    cells = X.astype(object) if kind != "O" else X
    for idx in np.ndindex(X.shape):
        cell = cells[idx]
        if isinstance(cell, (bool, np.bool_)):
            want = 1.0 if cell else 0.0
        elif isinstance(cell, str):
            want = bool_word_value(cell)
        else:
            want = None
        got = out[idx]
        if want is None:
            if not same_cell(got, cell, kind == "O"):
                fail("%s: %r should be kept, got %r" % (idx, cell, got), X)
        elif type(got) is not float or got != want:
            fail("%s: %r became %r, expected %r" % (idx, cell, got, want), X)


# ----------------------------------------------------------------------------------------
# convert_float32

FLOAT32_NOT_A_NUMBER = (
    str,
    bytes,
    np.bytes_,
    complex,
    np.complexfloating,
    np.ndarray,
    list,
    tuple,
    dict,
    type(None),
)


def float32_of(cell):
    """The float32 of one value, None where a ValueError is due; Unmodelled when unclear."""
    if isinstance(cell, (np.datetime64, np.timedelta64)):
        raise Unmodelled(type(cell).__name__)
    if is_nan(cell):
        return np.float32("nan")
    if isinstance(cell, (bool, np.bool_)):
        return np.float32(bool(cell))
    if isinstance(cell, (int, np.integer)):
        return int_to_float32(int(cell))
    if isinstance(cell, (np.float16, np.float32, np.float64, float, np.longdouble)):
        with np.errstate(all="ignore"):
            f = np.float32(cell)
        return None if np.isinf(f) and not np.isinf(cell) else f
    if isinstance(cell, FLOAT32_NOT_A_NUMBER):
        return None
    if isinstance(cell, Decimal):
        if cell.is_snan():
            return None
        if cell.is_finite() and abs(cell) >= Decimal(2) ** 128 - Decimal(2) ** 103:
            return None
        with np.errstate(all="ignore"):
            return np.float32(float(cell))
    if not hasattr(type(cell), "__float__"):
        return None
    raise Unmodelled(type(cell).__name__)


def t_float32(src):
    X = gen.array(
        src,
        kind=src.pick(("object", "numeric", "numeric", None)),
        cells=src.pick((gen.float_value, gen.int_value, gen.numpy_scalar, gen.scalar, None)),
    )
    if src.chance(40):
        X = gen.not_an_array(src)
    snap = Snapshot(X)
    out, err = call(U.convert_float32, X)
    snap.check()
    if not isinstance(X, np.ndarray):
        expect_error(err, "X of type %s" % type(X).__name__)
        return
    if X.dtype.kind in "Mm":
        return
    cells = gen.cells_of(X)
    want = []
    try:
        for cell in cells:
            want.append(float32_of(cell))
    except Unmodelled:
        return
    if any(w is None for w in want):
        expect_error(err, "a cell that is not a float32 number", X)
        if not isinstance(err, ValueError):
            fail("bad cell gave %s, not ValueError" % type(err).__name__)
        return
    if err is not None:
        fail("%s: %s" % (type(err).__name__, err), X)
    require_array(out, X.shape, "convert_float32")
    if out.dtype != np.float32:
        fail("convert_float32 returned dtype %s" % out.dtype)
    for idx, w, cell in zip(np.ndindex(X.shape), want, cells):
        if not same_float(out[idx], w):
            fail("%s: %r became %r, expected %r" % (idx, cell, out[idx], w), X)


# ----------------------------------------------------------------------------------------
# numpy_select_columns and numpy_permute_array


def index_list(src, n):
    r = src.below(10)
    if r == 0:
        return []
    k = src.below(5)
    idx = [src.below(n + 4) - (n + 2) // 2 - (n if src.chance(3) else 0) for _ in range(k)]
    if r == 1:
        return [np.int64(i) for i in idx]
    if r == 2:
        return tuple(idx)
    if r == 3:
        return np.array(idx, dtype=np.int64)
    if r == 4:
        return idx + [src.pick((1.0, "1", None, True, np.float64(0), 2**70, [0]))]
    if r == 5:
        return range(min(n, k))
    return [i for i in idx if -n <= i < n] or idx


def plain_indices(idx):
    """The indices as ints, or None when they are not all plain integers."""
    if isinstance(idx, np.ndarray):
        idx = idx.tolist()
    out = []
    for i in idx:
        if isinstance(i, (bool, np.bool_)) or not isinstance(i, (int, np.integer)):
            return None
        out.append(operator.index(i))
    return out


def check_taken(out, X, idx, axis, what):
    n = X.shape[1] if axis == 0 else X.shape[0]
    if any(not -n <= i < n for i in idx):
        return "IndexError"
    want = X[:, idx] if axis == 0 else X[idx, :]
    require_array(out, want.shape, what)
    if out.dtype == object or X.dtype == object:
        if out.dtype != X.dtype:
            fail("%s: dtype %s became %s" % (what, X.dtype, out.dtype))
        for pos in np.ndindex(want.shape):
            if out[pos] is not want[pos]:
                fail("%s: cell %s is %r, expected %r" % (what, pos, out[pos], want[pos]))
    else:
        if native(out.dtype) != native(X.dtype):
            fail("%s: dtype %s became %s" % (what, X.dtype, out.dtype))
        a = np.ascontiguousarray(out, dtype=native(X.dtype)).tobytes()
        b = np.ascontiguousarray(want, dtype=native(X.dtype)).tobytes()
        if a != b:
            fail("%s: values differ from X[...] for indices %r" % (what, idx), X, out)
    if out.size and np.shares_memory(out, X):
        fail("%s: the result shares memory with X" % what)
    return None


def t_select_columns(src):
    r = src.below(8)
    if r <= 4:
        X = gen.array(src, ndim=2)
        n = X.shape[1]
    elif r == 5:
        X = gen.values_like(src, [], src.below(6))
        X = tuple(X) if src.chance(3) else X
        n = len(X)
    else:
        X = gen.array(src) if src.below(2) else gen.not_an_array(src)
        n = len(X) if type(X) in (list, tuple) else 3
    cols = index_list(src, n)
    snap = Snapshot(X, cols)
    out, err = call(U.numpy_select_columns, X, cols)
    snap.check()
    idx = plain_indices(cols)
    is_array = isinstance(X, np.ndarray) and X.ndim == 2
    if idx is None or not (is_array or type(X) in (list, tuple)):
        return
    if not idx:
        if err is not None or not (
            isinstance(out, tuple) and len(out) == 2 and out[0] is X and out[1] is False
        ):
            fail("an empty index list should give (X, False)", out, err)
        return
    if is_array:
        if err is None:
            if not (isinstance(out, tuple) and len(out) == 2 and out[1] is True):
                fail("expected (array, True), got %r" % (out,))
            due = check_taken(out[0], X, idx, 0, "numpy_select_columns")
        else:
            due = check_taken(None, X, idx, 0, "") if any(not -n <= i < n for i in idx) else "none"
        if due == "IndexError" and not isinstance(err, IndexError):
            fail("column out of range gave %r" % (err if err is not None else out,))
        if due is None and err is not None:
            fail("%s: %s" % (type(err).__name__, err), X, cols)
        return
    if any(not -n <= i < n for i in idx):
        if not isinstance(err, IndexError):
            fail("list index out of range gave %r" % (err if err is not None else out,))
        return
    if err is not None:
        fail("%s: %s" % (type(err).__name__, err), X, cols)
    want = [X[i] for i in idx]
    if not (
        isinstance(out, tuple)
        and len(out) == 2
        and out[1] is True
        and type(out[0]) is list
        and len(out[0]) == len(want)
        and all(a is b for a, b in zip(out[0], want))
    ):
        fail("expected (%r, True), got %r" % (want, out))


def t_permute(src):
    X = gen.array(src, ndim=2) if not src.chance(10) else gen.array(src)
    axis = src.pick((0, 1, 0, 1, np.int64(1), 2, -1, None, 1.0, "0"))
    n = (X.shape[1] if axis == 0 else X.shape[0]) if X.ndim == 2 else 3
    perm = index_list(src, n)
    snap = Snapshot(X, perm)
    out, err = call(U.numpy_permute_array, X, perm, axis)
    snap.check()
    idx = plain_indices(perm)
    if X.ndim != 2 or idx is None or type(axis) not in (int, np.int64):
        return
    if not idx:
        if out is not X and not isinstance(err, ValueError):
            fail("an empty index list should give X itself", out, err)
        return
    if axis not in (0, 1):
        if not isinstance(err, ValueError):
            fail("axis %r gave %r, not ValueError" % (axis, err if err is not None else out))
        return
    if err is not None:
        if any(not -n <= i < n for i in idx):
            if not isinstance(err, IndexError):
                fail("index out of range gave %s, not IndexError" % type(err).__name__)
            return
        fail("%s: %s" % (type(err).__name__, err), X, perm, axis)
    if check_taken(out, X, idx, int(axis), "numpy_permute_array") == "IndexError":
        fail("index out of range gave a result", X, perm)


# ----------------------------------------------------------------------------------------
# numpy_whatis: never raises


def t_whatis(src):
    X = gen.array(src) if not src.chance(5) else gen.scalar(src)
    snap = Snapshot(X)
    try:
        out = U.numpy_whatis(X)
    except Exception as e:  # noqa: BLE001 - documented never to raise
        fail("numpy_whatis raised %s: %s" % (type(e).__name__, e))
    snap.check()
    if type(out) is not str or "\n" in out.strip():
        fail("numpy_whatis returned %r" % (out,))


# ----------------------------------------------------------------------------------------
# is_all_missing, against the algorithm in plain Python and NumPy


def model_is_all_missing(x, bad_vals):
    try:
        std_bad = [v for v in bad_vals if not np.isnan(v)]
    except Exception:  # noqa: BLE001 - a single marker, or markers np.isnan rejects
        bad_vals = [bad_vals]
        std_bad = [v for v in bad_vals if not np.isnan(v)]
    assert len(bad_vals) <= len(std_bad) + 1
    if not len(std_bad) < len(bad_vals):
        return np.isin(x, std_bad).all()
    return np.fromiter((np.isnan(float(v)) or np.isin(v, std_bad) for v in x), float).all()


def t_is_all_missing(src):
    kind = src.pick(("numeric", "numeric", "object", None))
    nan_heavy = src.chance(2)
    cells = (
        (lambda s: s.pick((np.nan, -1, -1.0, 0, s.pick(gen.FLOAT_EDGES)))) if nan_heavy else None
    )
    x = gen.column(src, kind=kind, cells=cells)
    if nan_heavy and x.dtype.kind == "f" and src.chance(2):
        x = x.copy() if x.flags.writeable else np.array(x)
        x[...] = src.pick((np.nan, -1.0, 0.0))
        x = gen.relayout(src, x)
    r = src.below(6)
    if r == 0:
        bad = src.pick((np.nan, -1, 0, -1.0, np.float32("nan"), "NA", None))
    elif r == 1:
        bad = [np.nan]
    else:
        bad = [
            src.pick(
                (
                    np.nan,
                    -1,
                    0,
                    1.5,
                    -1.0,
                    2**60,
                    np.float32(np.nan),
                    np.int64(-1),
                    "x",
                    None,
                    True,
                    1e300,
                )
            )
            for _ in range(src.below(4))
        ]
        if src.chance(3):
            bad = tuple(bad)
    snap = Snapshot(x, bad)
    try:
        out, err = is_all_missing(x, bad), None
    except Exception as e:  # noqa: BLE001 - judged against the model below
        out, err = None, e
    snap.check()
    if x.dtype.kind in "Mm":
        if err is not None:
            allowed_exception(err, (AssertionError,))
        return
    try:
        with np.errstate(all="ignore"):
            want, model_err = model_is_all_missing(x, bad), None
    except Exception as e:  # noqa: BLE001 - the function must fail the same way
        want, model_err = None, e
    if model_err is not None:
        if err is None:
            fail(
                "the model raised %s (%s), is_all_missing returned %r"
                % (type(model_err).__name__, model_err, out),
                x,
                bad,
            )
        if type(err) is not type(model_err) and not (
            isinstance(err, ALLOWED) and isinstance(model_err, ALLOWED)
        ):
            fail(
                "the model raised %s, is_all_missing %s"
                % (type(model_err).__name__, type(err).__name__),
                x,
                bad,
            )
        if isinstance(err, ALLOWED):
            allowed_exception(err)
        return
    if err is not None:
        fail("%s: %s" % (type(err).__name__, err), x, bad)
    if type(out) is not np.bool_ or bool(out) != bool(want):
        fail("is_all_missing returned %r, expected %r" % (out, want), x, bad)


TARGETS = {
    "replace_values": t_replace_values,
    "get_categories": t_get_categories,
    "compress": t_compress,
    "floatstr2float": t_floatstr,
    "boolean2float": t_boolean2float,
    "convert_float32": t_float32,
    "select_columns": t_select_columns,
    "permute_array": t_permute,
    "whatis": t_whatis,
    "is_all_missing": t_is_all_missing,
}
