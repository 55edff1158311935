"""Harness for data frames at the transformers' door: a pandas or polars frame built from drawn
columns (cells of any kind, then where they allow it a nullable, Arrow-backed, categorical or
number dtype) goes through fit and transform of a transformer. Oracles: no crash, only allowed
exceptions, the frame unchanged, and the result (or the exception type) equal to that of the
array the conversion rule gives, the rule written here in plain Python."""

import warnings

import gen
import numpy as np
from check import Finding, allowed_exception, fail
from targets_transformers import from_wrapped_estimator

from tabrix_libs.transformers import exportable as ex

try:
    import pandas as pd
except ImportError:  # the target then does nothing
    pd = None
try:
    import polars as pl
except ImportError:
    pl = None

PANDAS_DTYPES = ("string", "string[pyarrow]", "Float64", "Int64", "boolean", "category", "float64")


def _is_missing(v):
    if v is None or v is pd.NA or isinstance(v, type(pd.NaT)):
        return True
    if isinstance(v, float):
        return v != v
    return type(v) in (np.datetime64, np.timedelta64) and np.isnat(v)


def model_array(frame):
    """The array the classes are to see for a frame: float64 when every column holds numbers,
    object otherwise, every missing cell the np.nan object."""
    if pl is not None and isinstance(frame, pl.DataFrame):
        if frame.width and all(dt.is_numeric() for dt in frame.dtypes):
            return np.asarray(frame.cast(pl.Float64).to_numpy(), dtype=float)
        A = np.array(frame.to_numpy(), dtype=object)
    else:
        if frame.shape[1] and all(dt.kind in "iuf" for dt in frame.dtypes):
            return np.asarray(frame.to_numpy(dtype=float, na_value=np.nan), dtype=float)
        A = np.array(frame.to_numpy(dtype=object), dtype=object)
    for index in np.ndindex(A.shape):
        if _is_missing(A[index]):
            A[index] = np.nan
    return A


def _column(src, values):
    s = pd.Series(values, dtype=object)
    if src.chance(2):
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                s = s.astype(src.pick(PANDAS_DTYPES))
        except Exception:  # noqa: BLE001 - the cells do not fit that dtype: kept as objects
            pass
    return s


def frame_of(src, A):
    names = [
        src.pick(("a", "b", "c", "d", 0, 1)) if src.chance(6) else "c%d" % j
        for j in range(A.shape[1])
    ]
    plain = all(v is None or type(v) in (str, int, float, bool) for v in A.ravel().tolist())
    if pl is not None and plain and src.chance(2):
        try:
            return pl.DataFrame(
                {"c%d" % j: A[:, j].tolist() for j in range(A.shape[1])}, strict=False
            )
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException:  # noqa: BLE001 - cells polars cannot hold (it may even panic)
            pass
    frame = pd.DataFrame({j: _column(src, A[:, j].tolist()) for j in range(A.shape[1])})
    frame.columns = names
    return frame


def transformer(choice, width):
    if choice == 0:
        return ex.AllPassPreprocessingTransformer()
    if choice == 1:
        return ex.NumpyColumnSelector(list(range(width)))
    if choice == 2:
        return ex.CompressStrings(dtypes_list=["char_str"] * width, misslist_list=[["NA"]] * width)
    if choice == 3:
        return ex.NumpyReplaceMissingValues(["NA", ""], np.nan)
    if choice == 4:
        return ex.CatImputer("most_frequent", np.nan)
    if choice == 5:
        return ex.FloatStr2Float(["float_str"] * width)
    return ex.boolean2float()


def _outcome(make, X):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return make().fit(X).transform(X), None
    except Finding:
        raise
    except Exception as e:  # noqa: BLE001 - judged by the caller
        return None, e


def _equal_cells(x, y):
    if x is y:
        return True
    if type(x) is not type(y):
        return False
    try:
        return bool(x == y) or (x != x and y != y)
    except Exception:  # noqa: BLE001 - cells without a plain truth (arrays): by their text
        return repr(x) == repr(y)


def _same(a, b):
    if type(a) is not type(b) or getattr(a, "shape", None) != getattr(b, "shape", None):
        return False
    if not isinstance(a, np.ndarray):
        return a is b
    return a.dtype == b.dtype and all(
        _equal_cells(x, y) for x, y in zip(a.ravel().tolist(), b.ravel().tolist())
    )


def _cells(frame):
    """A copy of the frame's cells, or None where pandas cannot give them."""
    try:
        return np.array(frame.to_numpy(dtype=object), dtype=object, copy=True)
    except Exception:  # noqa: BLE001 - odd categories and the like
        return None


def _mixed_names(frame):
    types = {type(n) for n in frame.columns}
    return len(types) > 1 and str in types


def t_frames(src):
    if pd is None:
        return
    A = gen.base_array(src, (src.below(5) + 1, src.below(4) + 1), kind="object")
    try:
        frame = frame_of(src, A)
    except Exception:  # noqa: BLE001 - a frame the libraries refuse to build is not ours
        return
    choice, width = src.below(7), A.shape[1]
    # Polars hands over copies only; a pandas frame may hand over views of its own blocks.
    before = _cells(frame) if isinstance(frame, pd.DataFrame) else None

    def make():
        return transformer(choice, width)

    got, error = _outcome(make, frame)
    if error is not None and not from_wrapped_estimator(error):
        allowed_exception(error, (AssertionError,))
    if isinstance(frame, pd.DataFrame) and _mixed_names(frame):
        if not isinstance(error, TypeError):
            fail("names of str and other types were not refused", frame.columns)
        return
    try:
        reference = model_array(frame)
    except Exception:  # noqa: BLE001 - the libraries' own conversion failed: ours must have too
        if error is None:
            fail("the frame converted, though its library's own conversion fails", frame)
        return
    want, want_error = _outcome(make, reference)
    if (error is None) != (want_error is None):
        fail("frame and array differ: %r against %r" % (error, want_error), frame, reference)
    if error is not None:
        if type(error) is not type(want_error) and not isinstance(error, TypeError):
            fail("frame raised %r, the array %r" % (error, want_error), frame)
    elif want is reference:
        if got is not frame:
            fail("the class returned its input for the array, but not the frame", frame)
    elif not _same(got, want):
        fail("the frame's result differs from the array's", frame, got, want)
    after = _cells(frame) if before is not None else None
    if after is not None and not _same(before, after):
        fail("the frame was changed", before, after)


TARGETS = {"frames": t_frames}
