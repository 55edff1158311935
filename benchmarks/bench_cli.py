"""The command-line tool's pipeline against the same preprocessing written with plain Python,
NumPy and scikit-learn, measured side by side in one run on the bundled penguins data repeated
to a larger table.

    python benchmarks/bench_cli.py [--rows 100000] [--repeat 3]

1. Reading the CSV: the tool's reader (line decoding for the progress bar, row checks) against
   csv.reader over the open file.
2. fit + transform and transform alone of the tool's pipeline (string cleaning, missing markers,
   float strings, categorical imputation and ordinal encoding, numeric imputation, float32)
   against a pipeline doing the same steps with a regex per cell, np.isin, astype(float) and
   scikit-learn's SimpleImputer and OrdinalEncoder in a ColumnTransformer.
Ratios above 1 mean the tool is faster.
"""
import argparse
import csv
import os
import re
import sys
import tempfile
import timeit

import numpy as np
from sklearn.compose import ColumnTransformer
from sklearn.impute import SimpleImputer
from sklearn.pipeline import Pipeline, make_pipeline
from sklearn.preprocessing import FunctionTransformer, OrdinalEncoder

from tabrix_libs import cli
from tabrix_libs.utils.exportable_utils import global_missing_values_reference_list

MISSING = [m for m in global_missing_values_reference_list if isinstance(m, str)]
_NOT_ALNUM = re.compile(r"[^0-9a-z]")


def plain_pipeline(tags):
    cat = [j for j, t in enumerate(tags) if t == cli.CHAR]
    num = [j for j, t in enumerate(tags) if t != cli.CHAR]
    missing = set(MISSING)

    def compress(X):
        Y = X.copy()
        for j in cat:
            Y[:, j] = [v if v in missing else _NOT_ALNUM.sub("", v.lower()) for v in X[:, j].tolist()]
        return Y

    def replace_missing(X):
        Y = X.copy()
        Y[np.isin(Y, MISSING)] = np.nan
        return Y

    def floats(X):
        Y = X.copy()
        for j in num:
            Y[:, j] = X[:, j].astype(float)
        return Y

    ordinal = OrdinalEncoder(dtype=np.float64)
    return Pipeline([
        ("compress", FunctionTransformer(compress)),
        ("missing", FunctionTransformer(replace_missing)),
        ("floats", FunctionTransformer(floats)),
        ("branches", ColumnTransformer([
            ("cat", make_pipeline(SimpleImputer(strategy="most_frequent"), ordinal), cat),
            ("num", SimpleImputer(strategy="mean"), num),
        ])),
        ("float32", FunctionTransformer(lambda X: X.astype(np.float32))),
    ])


def side_by_side(ours, plain, repeat):
    """Best time of each, the two measured alternately so that load from elsewhere on the
    machine hits both alike."""
    a, b = [], []
    for _ in range(repeat):
        a.append(timeit.timeit(ours, number=1))
        b.append(timeit.timeit(plain, number=1))
    return min(a), min(b)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--rows", type=int, default=100_000)
    p.add_argument("--repeat", type=int, default=5)
    args = p.parse_args()

    names, rows = cli.read_csv(cli.DEFAULT_DATA)
    times = -(-args.rows // len(rows))
    big = (rows * times)[: args.rows]
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "big.csv")
        with open(path, "w", newline="", encoding="utf-8") as f:
            w = csv.writer(f)
            w.writerow(names)
            w.writerows(big)
        size = os.path.getsize(path)

        def plain_read():
            with open(path, newline="", encoding="utf-8") as f:
                r = csv.reader(f)
                next(r)
                return list(r)

        read = side_by_side(lambda: cli.read_csv(path), plain_read, args.repeat)

    X = np.array(big, dtype=object)[:, 1:]
    tags = cli.tag_columns(X, names[1:], set(MISSING))
    ours = cli.build_pipeline(tags, MISSING, "ordinal")
    plain = plain_pipeline(tags)
    np.testing.assert_allclose(ours.fit_transform(X), plain.fit_transform(X), rtol=1e-6)

    rows_out = [
        ("read %d rows (%.1f MB) of CSV" % (len(big), size / 1e6),) + read,
        ("fit + transform, %d x %d" % X.shape,) + side_by_side(lambda: ours.fit(X).transform(X),
                                                               lambda: plain.fit(X).transform(X), args.repeat),
        ("transform alone, %d x %d" % X.shape,) + side_by_side(lambda: ours.transform(X),
                                                               lambda: plain.transform(X), args.repeat),
    ]
    print("%-40s %12s %12s %8s" % ("what", "tool (s)", "plain (s)", "ratio"))
    for what, a, b in rows_out:
        print("%-40s %12.4f %12.4f %7.2fx" % (what, a, b, b / a))
    print("(same output checked; ratio = plain / tool, best of %d; Python %s)" % (args.repeat, sys.version.split()[0]))


if __name__ == "__main__":
    main()
