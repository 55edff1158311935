"""Cost of the module frame, measured side by side with plain Python in one run.

    python benchmarks/bench_frame.py

1. One AllPassPreprocessingTransformer().transform(X) on a 10x3 array, flags off, against the
   same protocol written as a Python class.
2. is_all_missing on a float64 column of 1,000,000 values on the NaN path, against the
   per-item Python loop of the same algorithm.
3. What importing the two modules adds to importing scikit-learn.
"""

import subprocess
import sys
import timeit
from time import time

import numpy as np
from sklearn.base import BaseEstimator, TransformerMixin
from sklearn.utils.validation import check_array

from tabrix_libs.transformers import exportable as ex

debug = debug_timings = debug_transform_return = False
_FINITE = (
    "ensure_all_finite"
    if "ensure_all_finite" in check_array.__code__.co_varnames
    else "force_all_finite"
)


class PythonAllPass(BaseEstimator, TransformerMixin):
    def __init__(self):
        pass

    def fit(self, X, y=None):
        self._check_n_features(X, reset=True) if hasattr(self, "_check_n_features") else None
        return self

    def transform(self, X):
        assert X.ndim == 2
        check_array(
            X,
            ensure_min_features=1,
            ensure_min_samples=1,
            dtype=None,
            accept_sparse=True,
            **{_FINITE: "allow-nan"},
        )
        if hasattr(self, "n_features_in_"):
            self._check_n_features(X, reset=False)
        if debug:
            print(
                "AllPassPreprocessingTransformer: Starting transform("
                + str(X.shape[0])
                + "x"
                + str(X.reshape(X.shape[0], -1).shape[1])
                + ")"
            )
            if debug_timings:
                start_time = time()
        Y = X
        if debug:
            if debug_timings:
                print("elapsed", time() - start_time)
            else:
                print("AllPassPreprocessingTransformer: Ending transform(...)")
        if debug_transform_return:
            print(self.__class__.__name__ + ".transform(" + str(X) + ")->" + str(Y))
        return Y


def python_is_all_missing(x, bad_vals):
    try:
        std_bad = [v for v in bad_vals if not np.isnan(v)]
    except Exception:
        bad_vals = [bad_vals]
        std_bad = [v for v in bad_vals if not np.isnan(v)]
    assert len(bad_vals) <= len(std_bad) + 1
    if len(std_bad) == len(bad_vals):
        return np.isin(x, std_bad).all()
    return np.fromiter((np.isnan(float(v)) or np.isin(v, std_bad) for v in x), float).all()


def best_per_call(fn, number, repeat=5):
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def side_by_side(fn_a, fn_b, number, rounds=15):
    """Best time per call of each, the two timed in alternation so load hits both alike."""
    best_a = best_b = float("inf")
    for _ in range(rounds):
        best_a = min(best_a, timeit.timeit(fn_a, number=number) / number)
        best_b = min(best_b, timeit.timeit(fn_b, number=number) / number)
    return best_a, best_b


def import_seconds(runs=7):
    """Best time, over fresh interpreters, of importing the two modules once scikit-learn's
    modules they use are imported."""
    code = (
        "import time, sklearn, sklearn.base, sklearn.impute, sklearn.preprocessing, "
        "sklearn.utils.validation\n"
        "t = time.perf_counter()\n"
        "import tabrix_libs.transformers.exportable, tabrix_libs.utils.exportable_utils\n"
        "print(time.perf_counter() - t)"
    )
    best = float("inf")
    for _ in range(runs):
        out = subprocess.run(
            [sys.executable, "-c", code], capture_output=True, text=True, check=True
        )
        best = min(best, float(out.stdout))
    return best


def main():
    X = np.arange(30.0).reshape(10, 3)
    ours, theirs = ex.AllPassPreprocessingTransformer(), PythonAllPass()
    assert ours.transform(X) is X and theirs.transform(X) is X
    t_ours, t_py = side_by_side(lambda: ours.transform(X), lambda: theirs.transform(X), 2000)
    print(
        f"AllPass.transform 10x3      ours {t_ours * 1e6:8.2f} us   python {t_py * 1e6:8.2f} us   "
        f"python/ours {t_py / t_ours:5.2f}x"
    )
    # The same with check_array replaced by a no-op in both, to show the protocol's own cost.
    global check_array
    real_check_array, check_array = check_array, (lambda *a, **k: None)
    ex.check_array = check_array
    try:
        t_ours, t_py = side_by_side(lambda: ours.transform(X), lambda: theirs.transform(X), 20000)
    finally:
        check_array = ex.check_array = real_check_array
    print(
        f"  protocol alone (no-op check_array) ours {t_ours * 1e9:6.0f} ns   "
        f"python {t_py * 1e9:6.0f} ns   "
        f"python/ours {t_py / t_ours:5.2f}x"
    )

    rng = np.random.default_rng(0)
    col = np.where(rng.random(1_000_000) < 0.9, np.nan, -1.0)
    markers = [np.nan, -1]
    assert ex.is_all_missing(col, markers) == python_is_all_missing(col, markers)
    t_ours = best_per_call(lambda: ex.is_all_missing(col, markers), 5)
    t_py = best_per_call(lambda: python_is_all_missing(col, markers), 1, repeat=1)
    print(
        f"is_all_missing 1e6 NaN path ours {t_ours * 1e3:8.2f} ms   python {t_py * 1e3:8.1f} ms   "
        f"python/ours {t_py / t_ours:7.0f}x"
    )

    print(f"import of both modules after scikit-learn  {import_seconds() * 1e3:6.1f} ms")


if __name__ == "__main__":
    main()
