"""Transform speed of the cleaning transformers against the same classes written in plain
Python over the same utility functions.

    python benchmarks/bench_cleaning.py [--rows 100000] [--repeat 5]

For each class it prints the best time of the compiled transform, of the Python one, their
ratio (compiled / Python, below 1 is faster), and the share of the compiled time spent in the
utility kernel plus check_array, measured alone: what is left is the class's own cost.
"""

import argparse
import inspect
import time

import numpy as np
from sklearn.base import BaseEstimator, TransformerMixin
from sklearn.utils import validation
from sklearn.utils.validation import check_array

from tabrix_libs.transformers import exportable as ex
from tabrix_libs.utils import exportable_utils as u

STRING_COLUMNS, FLOAT_COLUMNS, BOOL_COLUMNS = 8, 8, 4
WORDS = [
    "New York",
    "  san francisco ",
    "LOS-ANGELES",
    "St. Louis!",
    "o'hare",
    "Zürich",
    "N/A",
    "NA",
    "",
    "?",
    "Paris (FR)",
    "rio de janeiro",
    "  ",
    "Köln",
    "A&B Corp.",
    None,
]
FLOATS = [
    "1.5",
    " 2e3",
    "-0.25 ",
    "3,14",
    "NaN",
    "nan",
    "",
    "?",
    "12",
    "1e-7",
    "abc",
    "+7.0",
    "inf",
    "NULL",
    None,
    42.0,
]
BOOLS = [True, False, "true", "False", " TRUE ", "no", None, np.nan]


def make_data(rows, seed=0):
    rng = np.random.default_rng(seed)
    pools = [WORDS] * STRING_COLUMNS + [FLOATS] * FLOAT_COLUMNS + [BOOLS] * BOOL_COLUMNS
    X = np.empty((rows, len(pools)), dtype=object)
    for j, pool in enumerate(pools):
        pool_array = np.empty(len(pool), dtype=object)
        pool_array[:] = pool
        X[:, j] = pool_array[rng.integers(0, len(pool), rows)]
    return X


TAGS = ["char_str"] * STRING_COLUMNS + ["float_str"] * FLOAT_COLUMNS + ["bool"] * BOOL_COLUMNS
FINITE_KEYWORD = (
    "ensure_all_finite"
    if "ensure_all_finite" in inspect.signature(check_array).parameters
    else "force_all_finite"
)


# ---------------------------------------------------------------- the classes in plain Python


class PythonProtocol(BaseEstimator, TransformerMixin):
    def _n_features(self, X, reset):
        if hasattr(BaseEstimator, "_check_n_features"):
            self._check_n_features(X, reset=reset)
        else:
            validation._check_n_features(self, X, reset=reset)

    def fit(self, X, y=None):
        self._n_features(X, True)
        return self

    def transform(self, X):
        assert X.ndim == 2
        check_array(
            X,
            ensure_min_features=1,
            ensure_min_samples=1,
            dtype=None,
            accept_sparse=True,
            **{FINITE_KEYWORD: "allow-nan"},
        )
        if hasattr(self, "n_features_in_"):
            self._n_features(X, False)
        if ex.debug:
            print(type(self).__name__ + ": Starting transform(" + str(X.shape[0]) + ")")
        Y = self.work(X)
        if ex.debug:
            print(type(self).__name__ + ": Ending transform(" + str(Y.shape[0]) + ")")
        if ex.debug_transform_return:
            print(type(self).__name__ + ".transform(" + str(X) + ")->" + str(Y))
        return Y


class PyCompressStrings(PythonProtocol):
    def __init__(
        self, compress_type="string", dtypes_list=None, misslist_list=None, activate_flag=True
    ):
        self.compress_type, self.dtypes_list = compress_type, dtypes_list
        self.misslist_list, self.activate_flag = misslist_list, activate_flag

    def work(self, X):
        Y = X.copy()
        for j in range(X.shape[1]):
            Xcol, dtype_str, misslist = X[:, j], self.dtypes_list[j], self.misslist_list[j]
            if dtype_str == "char_str":
                Y[:, j] = u.compress_str_column(Xcol, misslist, self.compress_type)
        return Y


class PyReplaceMissing(PythonProtocol):
    def __init__(self, missing_values, filling_values=np.nan):
        self.missing_values, self.filling_values = missing_values, filling_values

    def work(self, X):
        return u.numpy_replace_values(
            X,
            filling_value=self.filling_values,
            reference_values_list=self.missing_values,
            invert_flag=False,
        )


class PyReplaceUnknown(PythonProtocol):
    def __init__(self, known_values_list, filling_values=np.nan):
        self.known_values_list, self.filling_values = known_values_list, filling_values

    def work(self, X):
        return u.numpy_replace_values(
            X,
            filling_value=self.filling_values,
            reference_values_list=self.known_values_list,
            invert_flag=True,
        )


class PyFloatStr2Float(PythonProtocol):
    def __init__(self, dtypes_list, missing_values_reference_list=None, activate_flag=True):
        self.dtypes_list, self.activate_flag = dtypes_list, activate_flag
        self.missing_values_reference_list = u.setValueOrDefault(
            missing_values_reference_list, u.global_missing_values_reference_list
        )

    def work(self, X):
        Y = np.empty((X.shape[0], X.shape[1]), dtype=object)
        for j, dtype in enumerate(self.dtypes_list):
            if dtype == "float_str":
                Y[:, j] = u.numpy_floatstr2float(X[:, j], self.missing_values_reference_list)
            else:
                Y[:, j] = X[:, j].copy()
        return Y


class PyWholeArray(PythonProtocol):
    def __init__(self, function, activate_flag=True):
        self.function, self.activate_flag = function, activate_flag

    def work(self, X):
        return self.function(X)


# ---------------------------------------------------------------- timing


def best_times(repeat, *runs):
    """Best time of each run, the runs taking turns so that a busy machine slows all alike."""
    best = [float("inf")] * len(runs)
    for _ in range(repeat):
        for k, run in enumerate(runs):
            start = time.perf_counter()
            run()
            best[k] = min(best[k], time.perf_counter() - start)
    return best


def validate(X):
    check_array(
        X,
        ensure_min_features=1,
        ensure_min_samples=1,
        dtype=None,
        accept_sparse=True,
        **{FINITE_KEYWORD: "allow-nan"},
    )


def cases(X):
    missing = u.global_missing_values_reference_list
    misslists = [missing] * X.shape[1]
    known = u.numpy_get_categories(X[: len(X) // 2], range(len(X) // 2), missing)
    # Numbers as FloatStr2Float leaves them, spread over as many columns as X has.
    floats = ex.FloatStr2Float(["float_str"] * FLOAT_COLUMNS).transform(
        X[:, STRING_COLUMNS : STRING_COLUMNS + FLOAT_COLUMNS]
    )
    numeric = np.hstack([floats] * (X.shape[1] // FLOAT_COLUMNS + 1))[:, : X.shape[1]]

    def compress_kernel(Z):
        for j in range(STRING_COLUMNS):
            u.compress_str_column(Z[:, j], misslists[j], "string")

    def floatstr_kernel(Z):
        for j in range(STRING_COLUMNS, STRING_COLUMNS + FLOAT_COLUMNS):
            u.numpy_floatstr2float(Z[:, j], missing)

    return [
        (
            "CompressStrings",
            X,
            ex.CompressStrings("string", TAGS, misslists),
            PyCompressStrings("string", TAGS, misslists),
            compress_kernel,
        ),
        (
            "NumpyReplaceMissingValues",
            X,
            ex.NumpyReplaceMissingValues(missing),
            PyReplaceMissing(missing),
            lambda Z: u.numpy_replace_values(
                Z, filling_value=np.nan, reference_values_list=missing, invert_flag=False
            ),
        ),
        (
            "NumpyReplaceUnknownValues",
            X,
            ex.NumpyReplaceUnknownValues(known),
            PyReplaceUnknown(known),
            lambda Z: u.numpy_replace_values(
                Z, filling_value=np.nan, reference_values_list=known, invert_flag=True
            ),
        ),
        ("FloatStr2Float", X, ex.FloatStr2Float(TAGS), PyFloatStr2Float(TAGS), floatstr_kernel),
        (
            "boolean2float",
            X,
            ex.boolean2float(),
            PyWholeArray(u.numpy_boolean2float),
            u.numpy_boolean2float,
        ),
        (
            "float32_transform",
            numeric,
            ex.float32_transform(),
            PyWholeArray(u.convert_float32),
            u.convert_float32,
        ),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    X = make_data(args.rows)
    print(f"{args.rows} x {X.shape[1]} object array, best of {args.repeat}")
    print(f"{'class':28s} {'compiled s':>11s} {'python s':>9s} {'ratio':>6s} {'kernel+check':>13s}")
    for name, data, native, python, kernel in cases(X):
        native.fit(data)
        python.fit(data)
        same = native.transform(data)
        other = python.transform(data)
        assert same.shape == other.shape and same.dtype == other.dtype, name
        t_native, t_python, t_kernel = best_times(
            args.repeat,
            lambda: native.transform(data),
            lambda: python.transform(data),
            lambda: (kernel(data), validate(data)),
        )
        print(
            f"{name:28s} {t_native:11.4f} {t_python:9.4f} {t_native / t_python:6.2f} "
            f"{t_kernel / t_native:12.0%}"
        )


if __name__ == "__main__":
    main()
