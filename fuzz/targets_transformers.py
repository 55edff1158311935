"""Harnesses for fit/transform of the fifteen transformers of
tabrix_libs.transformers.exportable, with constructor parameters drawn within their documented
types. Oracles: no crash, only allowed exceptions (with a message), inputs and parameter lists
unchanged, and a few documented invariants (pass-through when switched off, output shapes)."""

import os
import traceback

import gen
import numpy as np
from check import Snapshot, allowed_exception, fail
from targets_utils import check_taken, index_list, model_is_all_missing, plain_indices

from tabrix_libs.transformers import exportable as ex


def data_cells(src):
    """Cells of tabular data: numbers with gaps, categories, words, or anything."""
    style = src.below(6)
    if style == 0:
        return lambda s: s.pick((np.nan, 1.0, -1, 0, 2.5, 1e300, -0.0, None, "NA"))
    if style == 1:
        return lambda s: s.pick(("a", "b", "c", "NA", None, np.nan, " A-b ", "Straße"))
    if style == 2:
        return gen.number_text
    if style == 3:
        return lambda s: s.pick((True, False, "true", " FALSE ", np.True_, 1, 0.0, "x"))
    return None


def matrix(src, cells=None, ncols=None):
    """Mostly a 2-D array (numeric, object or text), sometimes of another dimension."""
    if ncols is not None:
        shape = (src.below(5) + (0 if src.chance(8) else 1), ncols)
        return gen.relayout(src, gen.base_array(src, shape, cells=cells))
    if src.chance(30):
        return gen.array(src)
    return gen.array(src, ndim=2, cells=cells)


def flag(src):
    return src.pick((True, True, True, False, 1, 0, np.True_, np.False_, None))


def markers(src, X):
    return gen.reference_list(src, gen.cells_of(X) if isinstance(X, np.ndarray) else [])


def second(src, X, cells):
    """The data for transform: X itself, or other data of the same column count."""
    if src.chance(2) or not isinstance(X, np.ndarray) or X.ndim != 2:
        return X
    if src.chance(12):
        return matrix(src, cells)
    return matrix(src, cells, ncols=X.shape[1])


def from_wrapped_estimator(e):
    """Whether e was raised inside scikit-learn or NumPy below the transformer (an error of the
    wrapped estimator, which the classes pass on unchanged) rather than by the transformer."""
    frames = traceback.extract_tb(e.__traceback__)
    if not frames:
        return False
    inner = frames[-1]
    path = inner.filename.replace(os.sep, "/")
    # sklearn's set_output wrapper calls transform itself: an error raised there is ours.
    return ("/sklearn/" in path or "/numpy/" in path) and inner.name != "wrapped"


def run(
    src,
    build,
    cells=None,
    check=None,
    unchanged=(),
    asserts=False,
    wraps=False,
    after_fit=None,
    accept=None,
):
    """Builds X, the transformer and the data for transform; fits and transforms; checks the
    general oracles, then check(t, X2, Y) on success. wraps: the class wraps a scikit-learn
    estimator whose own errors pass through; accept(t, X, e): other documented failures."""
    X = matrix(src, cells)
    t, params = build(src, X)
    X2 = second(src, X, cells)
    snap = Snapshot(X, X2, *unchanged(params) if callable(unchanged) else params)
    also = (AssertionError,) if asserts and (X.ndim != 2 or X2.ndim != 2) else ()
    in_place = getattr(t, "num_scaler_copy", True) is False  # StandardScaler(copy=False)

    def judge(e, data):
        if not (wraps and from_wrapped_estimator(e)) and not (accept and accept(t, data, e)):
            allowed_exception(e, also)
        if not in_place:
            snap.check()

    try:
        t.fit(X)
    except Exception as e:  # noqa: BLE001 - judged above
        return judge(e, X)
    if after_fit is not None:
        after_fit(t, X)
    try:
        Y = t.transform(X2)
    except Exception as e:  # noqa: BLE001 - judged above
        return judge(e, X2)
    if not in_place:
        snap.check()
    if check is not None:
        check(t, X2, Y)


def passes_through(t, X, Y, switch="activate_flag"):
    if not getattr(t, switch) and Y is not X:
        fail("%s is false, yet transform did not return its input" % switch)


# ----------------------------------------------------------------------------------------


def t_allpass(src):
    def check(t, X, Y):
        if Y is not X:
            fail("AllPassPreprocessingTransformer did not return its input")

    run(src, lambda s, X: (ex.AllPassPreprocessingTransformer(), ()), check=check, asserts=True)


def t_numpy_column_selector(src):
    def build(s, X):
        cols = s.pick((None, [], "idx", "idx", "idx"))
        if cols == "idx":
            cols = list(index_list(s, X.shape[1] if X.ndim == 2 else 2))
        return ex.NumpyColumnSelector(columns=cols), (cols,)

    def check(t, X, Y):
        if not t.columns:
            if Y is not X:
                fail("no columns, yet transform did not return its input")
            return
        idx = plain_indices(t.columns)
        if idx is not None:
            check_taken(Y, X, idx, 0, "NumpyColumnSelector")

    run(src, build, check=check, asserts=True)


def t_column_selector(src):
    def build(s, X):
        cols = list(index_list(s, X.shape[1] if X.ndim == 2 else 2))
        return ex.ColumnSelector(cols, activate_flag=flag(s)), (cols,)

    def check(t, X, Y):
        passes_through(t, X, Y)
        idx = plain_indices(t.columns_indices_list)
        if t.activate_flag and idx and X.ndim == 2:
            check_taken(Y, X, idx, 0, "ColumnSelector")
            if t.columns_selected_flag is not True:
                fail("columns_selected_flag is %r after a selection" % t.columns_selected_flag)

    run(src, build, check=check, asserts=True)


def t_permute(src):
    def build(s, X):
        axis = s.pick((None, 0, 1))
        n = (X.shape[1] if axis in (None, 0) else X.shape[0]) if X.ndim == 2 else 2
        perm = s.pick((None, "idx", "idx"))
        if perm == "idx":
            perm = list(index_list(s, n))
        return ex.NumpyPermuteArray(permutation_indices=perm, axis=axis), (perm,)

    def check(t, X, Y):
        if not isinstance(Y, np.ndarray) or Y.ndim != 2:
            fail("NumpyPermuteArray returned %r, not a 2-D array" % (Y,))
        idx = plain_indices(t.permutation_indices)
        if idx:
            want = X[:, idx] if t.axis == 0 else X[idx, :]
            check_taken(Y, X, idx, t.axis, "NumpyPermuteArray")
            if Y.shape != want.shape:
                fail("shape %s, expected %s" % (Y.shape, want.shape))

    run(src, build, check=check, asserts=True)


FUNCS = (
    np.mean,
    np.sum,
    len,
    np.sort,
    np.max,
    lambda a: a[0],
    lambda a: a.tolist().count(None),
    np.isnan,
    lambda a: str(a[-1]),
)


def t_apply_along_axis(src):
    def build(s, X):
        axis = s.pick((None, 0, 1))
        n = (X.shape[1] if axis in (None, 0) else X.shape[0]) if X.ndim == 2 else 2
        idx = s.pick((None, [], "idx", "idx", "idx"))
        if idx == "idx":
            idx = [
                i
                for i in index_list(s, n)
                if not isinstance(i, (bool, float, str, list))
                and i is not None
                and isinstance(i, (int, np.integer))
                and abs(i) < 2**62
            ]
        f = s.pick(FUNCS)
        return ex.NumpyApplyAlongAxis(f, axis, idx), (idx,)

    def check(t, X, Y):
        if not t.index_list and Y is not X:
            fail("no index_list, yet transform did not return its input")

    # func1d's own errors, and NumPy's, pass through.
    run(src, build, check=check, asserts=True, wraps=True)


def t_replace_missing(src):
    def build(s, X):
        miss = markers(s, X)
        fill = s.pick((None, np.nan, -1, "missing", 0.0))
        return ex.NumpyReplaceMissingValues(miss, filling_values=fill), (miss,)

    def check(t, X, Y):
        if not isinstance(Y, np.ndarray) or Y.shape != X.shape:
            fail("NumpyReplaceMissingValues changed the shape")

    run(src, build, cells=data_cells(src), check=check, asserts=True)


def t_replace_unknown(src):
    def build(s, X):
        r = s.below(4)
        ncols = X.shape[1] if X.ndim == 2 else 1
        if r <= 1:
            known = None if r == 0 else []
        else:
            known = [
                gen.values_like(s, gen.cells_of(X), s.below(4))
                for _ in range(ncols if not s.chance(10) else s.below(3))
            ]
        t = ex.NumpyReplaceUnknownValues(
            known_values_list=known,
            filling_values=s.pick((None, -1, "unknown")),
            missing_values_reference_list=markers(s, X),
            filling_values_list=s.pick((None, [1, 2])),
        )
        return t, (t.known_values_list, t.missing_values_reference_list, t.filling_values_list)

    def unchanged(params):
        known = params[0]
        # fit fills an empty list in place; everything else stays as given.
        return params[1:] if type(known) is list and not known else params

    def check(t, X, Y):
        if not isinstance(Y, np.ndarray) or Y.shape != X.shape:
            fail("NumpyReplaceUnknownValues changed the shape")

    run(src, build, cells=data_cells(src), check=check, unchanged=unchanged, asserts=True)


TAGS = ("char_str", "float_str", "char_str", "other", "Char_str", None)


def tags(s, X):
    n = X.shape[1] if X.ndim == 2 else 1
    return [s.pick(TAGS) for _ in range(n + (s.below(3) - 1 if s.chance(6) else 0))]


def t_compress(src):
    def build(s, X):
        dtypes = tags(s, X)
        miss = [markers(s, X) for _ in dtypes]
        t = ex.CompressStrings(
            compress_type=s.pick(("string", "hash", "string", "bogus")),
            dtypes_list=dtypes,
            misslist_list=miss,
            missing_values_reference_list=s.pick((None, ["NA"])),
            activate_flag=flag(s),
        )
        return t, (dtypes, miss)

    def check(t, X, Y):
        passes_through(t, X, Y)
        if Y.shape != X.shape or Y.dtype != X.dtype:
            fail("CompressStrings changed the shape or dtype")

    run(src, build, cells=src.pick((gen.text, gen.word, None)), check=check, asserts=True)


def t_floatstr(src):
    def build(s, X):
        dtypes = tags(s, X)
        miss = markers(s, X)
        t = ex.FloatStr2Float(dtypes, missing_values_reference_list=miss, activate_flag=flag(s))
        return t, (dtypes, miss)

    def check(t, X, Y):
        passes_through(t, X, Y)
        if t.activate_flag and (Y.dtype != object or Y.shape != X.shape):
            fail("FloatStr2Float returned %s %s" % (Y.dtype, Y.shape))

    run(src, build, cells=src.pick((gen.number_text, None)), check=check, asserts=True)


def t_boolean2float(src):
    run(
        src,
        lambda s, X: (ex.boolean2float(activate_flag=flag(s)), ()),
        cells=data_cells(src),
        check=passes_through,
        asserts=True,
    )


def t_float32(src):
    def check(t, X, Y):
        passes_through(t, X, Y)
        if t.activate_flag and (Y.dtype != np.float32 or Y.shape != X.shape):
            fail("float32_transform returned %s %s" % (Y.dtype, Y.shape))

    run(
        src,
        lambda s, X: (ex.float32_transform(activate_flag=flag(s)), ()),
        cells=src.pick((gen.float_value, gen.numpy_scalar, None)),
        check=check,
        asserts=True,
    )


STRATEGIES = ("mean", "median", "most_frequent", "constant")
MISSING = (np.nan, np.nan, -1, 0, None, "NA", -1.0)


def t_cat_imputer(src):
    def build(s, X):
        return ex.CatImputer(s.pick(STRATEGIES), s.pick(MISSING), activate_flag=flag(s)), ()

    run(src, build, cells=data_cells(src), check=passes_through, asserts=True, wraps=True)


def t_num_imputer(src):
    def build(s, X):
        return ex.NumImputer(s.pick(STRATEGIES), s.pick(MISSING), activate_flag=flag(s)), ()

    def columns_missing(t, X):
        with np.errstate(all="ignore"):
            return [c for c in range(X.shape[1]) if model_is_all_missing(X[:, c], t.missing_values)]

    def after_fit(t, X):
        # The columns found entirely missing, as is_all_missing is documented to find them.
        if hasattr(t, "bad_columns") and X.ndim == 2:
            try:
                want = columns_missing(t, X)
            except Exception:  # noqa: BLE001 - fit would have failed the same way
                return
            if t.bad_columns != want:
                fail("bad_columns is %r, expected %r" % (t.bad_columns, want), X, t.missing_values)

    def accept(t, X, e):
        # The imputer's idea of an empty column can differ from is_all_missing's (a mean that
        # overflows to NaN; the text "nan", which float() reads as NaN): the shape assertion
        # then fails, as documented. bad_columns itself was checked after fit.
        if not isinstance(e, AssertionError) or not hasattr(t, "bad_columns"):
            return False
        stats = getattr(t.imputer, "statistics_", None)
        if stats is None:
            return False
        dropped = [c for c, v in enumerate(stats) if isinstance(v, float) and v != v]
        return set(dropped) != set(t.bad_columns)

    def check(t, X, Y):
        passes_through(t, X, Y)
        if Y.shape != X.shape:
            fail("NumImputer returned shape %s for %s" % (Y.shape, X.shape))

    run(
        src,
        build,
        cells=data_cells(src),
        check=check,
        asserts=True,
        wraps=True,
        after_fit=after_fit,
        accept=accept,
    )


def t_cat_encoder(src):
    def build(s, X):
        cats = "auto"
        if s.chance(4) and X.ndim == 2:
            cats = [
                sorted({str(v) for v in gen.cells_of(X[:, j])}) or ["a"] for j in range(X.shape[1])
            ]
        t = ex.CatEncoder(
            s.pick(("ordinal", "onehot", "onehot-dense", "other")),
            cats,
            s.pick((np.float64, np.int64, np.float32)),
            s.pick(("error", "ignore")),
            activate_flag=flag(s),
        )
        return t, (cats,)

    run(src, build, cells=data_cells(src), check=passes_through, asserts=True, wraps=True)


def t_opt_scaler(src):
    def build(s, X):
        kw = {
            k: s.pick((True, False))
            for k in ("num_scaler_copy", "num_scaler_with_mean", "num_scaler_with_std")
            if s.chance(2)
        }
        return ex.OptStandardScaler(use_scaler_flag=flag(s), **kw), ()

    run(
        src,
        build,
        cells=data_cells(src),
        check=lambda t, X, Y: passes_through(t, X, Y, "use_scaler_flag"),
        asserts=True,
        wraps=True,
    )


TARGETS = {
    "AllPassPreprocessingTransformer": t_allpass,
    "NumpyColumnSelector": t_numpy_column_selector,
    "ColumnSelector": t_column_selector,
    "NumpyPermuteArray": t_permute,
    "NumpyApplyAlongAxis": t_apply_along_axis,
    "CompressStrings": t_compress,
    "NumpyReplaceMissingValues": t_replace_missing,
    "NumpyReplaceUnknownValues": t_replace_unknown,
    "FloatStr2Float": t_floatstr,
    "boolean2float": t_boolean2float,
    "float32_transform": t_float32,
    "CatImputer": t_cat_imputer,
    "NumImputer": t_num_imputer,
    "CatEncoder": t_cat_encoder,
    "OptStandardScaler": t_opt_scaler,
}
