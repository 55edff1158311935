"""Transform cost of the imputers, the encoder and the optional scaler against what they wrap.

For each class, prints its transform time next to the wrapped scikit-learn estimator's own
transform plus one check_array call (the validation every transform makes), both measured
side by side in this run on the same 100,000 x 20 data, and their ratio.

    python benchmarks/bench_estimators.py [--rows N] [--rounds R]
"""

import argparse
import inspect
import time
import warnings

import numpy as np
from sklearn.utils.validation import check_array

from tabrix_libs.transformers import exportable as ex

FINITE = (
    "ensure_all_finite"
    if "ensure_all_finite" in inspect.signature(check_array).parameters
    else "force_all_finite"
)


def validate(X):
    check_array(
        X,
        ensure_min_features=1,
        ensure_min_samples=1,
        dtype=None,
        accept_sparse=True,
        **{FINITE: "allow-nan"},
    )


def best_of(rounds, budget, ours, baseline):
    """Minimum time of each callable over alternating runs, in seconds: at least `rounds` runs
    each, more for fast cases until about `budget` seconds are spent."""
    t_ours, t_base = [], []
    started = time.perf_counter()
    r = 0
    while r < rounds or time.perf_counter() - started < budget:
        r += 1
        pair = [(ours, t_ours), (baseline, t_base)]
        for fn, out in pair if r % 2 == 0 else pair[::-1]:
            start = time.perf_counter()
            fn()
            out.append(time.perf_counter() - start)
    return min(t_ours), min(t_base)


def cases(rows, cols, rng):
    numbers = rng.normal(size=(rows, cols))
    numbers[rng.random(numbers.shape) < 0.1] = np.nan
    words = np.array(["alpha", "beta", "gamma", "delta", "eps"], dtype=object)[
        rng.integers(0, 5, (rows, cols))
    ]
    with_missing = words.copy()
    with_missing[rng.random(words.shape) < 0.1] = np.nan
    empty_column = numbers.copy()
    empty_column[:, 3] = np.nan

    num = ex.NumImputer("mean", np.nan).fit(numbers)
    yield "NumImputer(mean)", num, numbers, lambda X: num.imputer.transform(X)
    num_empty = ex.NumImputer("mean", np.nan).fit(empty_column)
    # Informational: one all-missing column to put back, which the wrapped imputer drops.
    yield (
        "NumImputer(mean), 1 empty column*",
        num_empty,
        empty_column,
        lambda X: num_empty.imputer.transform(X),
    )
    cat = ex.CatImputer("most_frequent", np.nan).fit(with_missing)
    yield "CatImputer(most_frequent)", cat, with_missing, lambda X: cat.imputer.transform(X)
    for encoding in ("ordinal", "onehot"):
        enc = ex.CatEncoder(encoding, "auto", np.float64, "error").fit(words)
        yield f"CatEncoder({encoding})", enc, words, lambda X, enc=enc: enc.encoder.transform(X)
    scaler = ex.OptStandardScaler().fit(numbers)
    yield "OptStandardScaler()", scaler, numbers, lambda X: scaler.scaler.transform(X)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--cols", type=int, default=20)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument(
        "--budget", type=float, default=1.5, help="seconds spent at least on each case"
    )
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    rng = np.random.default_rng(0)
    print(
        f"transform on {args.rows} x {args.cols}, best of at least {args.rounds} alternating runs"
    )
    print(f"{'class':36s} {'ours (ms)':>10s} {'wrapped+check (ms)':>19s} {'ratio':>7s}")
    for name, transformer, X, wrapped in cases(args.rows, args.cols, rng):

        def baseline(X=X, wrapped=wrapped):
            validate(X)
            wrapped(X)

        ours, base = best_of(args.rounds, args.budget, lambda: transformer.transform(X), baseline)
        print(f"{name:36s} {ours * 1e3:10.2f} {base * 1e3:19.2f} {ours / base:7.3f}")
    print("* the wrapped imputer returns one column less; the extra cost is putting it back")


if __name__ == "__main__":
    main()
