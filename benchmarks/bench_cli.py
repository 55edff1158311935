"""The command-line tool's pipeline against the same preprocessing written with plain Python,
NumPy and scikit-learn, measured side by side in one run on the bundled penguins data repeated
to a larger table.

    python benchmarks/bench_cli.py [--rows 100000] [--repeat 3]
    python benchmarks/bench_cli.py --apply-rows 1000000 [--chunk-rows 10000,100000]

1. Reading the CSV: the tool's reader (line decoding for the progress bar, row checks) against
   csv.reader over the open file.
2. fit + transform and transform alone of the tool's pipeline (string cleaning, missing markers,
   float strings, categorical imputation and ordinal encoding, numeric imputation, float32)
   against a pipeline doing the same steps with a regex per cell, np.isin, astype(float) and
   scikit-learn's SimpleImputer and OrdinalEncoder in a ColumnTransformer.
Ratios above 1 mean the tool is faster.

With --apply-rows N it measures the other job instead: `tabrix-libs FILE --apply SAVED` on the
penguins repeated to N rows, reading the file whole and with each --chunk-rows size, each run in
its own process: wall time and peak memory (the largest resident set), and that every run writes
the same bytes.
"""

import argparse
import csv
import os
import re
import subprocess
import sys
import tempfile
import time
import timeit

import numpy as np
from sklearn.compose import ColumnTransformer
from sklearn.impute import SimpleImputer
from sklearn.pipeline import Pipeline, make_pipeline
from sklearn.preprocessing import FunctionTransformer, OrdinalEncoder

from tabrix_libs.pipeline import CHAR, build_pipeline, tag_columns
from tabrix_libs.tableio import PENGUINS, read_csv
from tabrix_libs.utils.exportable_utils import global_missing_values_reference_list

MISSING = [m for m in global_missing_values_reference_list if isinstance(m, str)]
_NOT_ALNUM = re.compile(r"[^0-9a-z]")


def plain_pipeline(tags):
    cat = [j for j, t in enumerate(tags) if t == CHAR]
    num = [j for j, t in enumerate(tags) if t != CHAR]
    missing = set(MISSING)

    def compress(X):
        Y = X.copy()
        for j in cat:
            Y[:, j] = [
                v if v in missing else _NOT_ALNUM.sub("", v.lower()) for v in X[:, j].tolist()
            ]
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
    return Pipeline(
        [
            ("compress", FunctionTransformer(compress)),
            ("missing", FunctionTransformer(replace_missing)),
            ("floats", FunctionTransformer(floats)),
            (
                "branches",
                ColumnTransformer(
                    [
                        (
                            "cat",
                            make_pipeline(SimpleImputer(strategy="most_frequent"), ordinal),
                            cat,
                        ),
                        ("num", SimpleImputer(strategy="mean"), num),
                    ]
                ),
            ),
            ("float32", FunctionTransformer(lambda X: X.astype(np.float32))),
        ]
    )


def side_by_side(ours, plain, repeat):
    """Best time of each, the two measured alternately so that load from elsewhere on the
    machine hits both alike."""
    a, b = [], []
    for _ in range(repeat):
        a.append(timeit.timeit(ours, number=1))
        b.append(timeit.timeit(plain, number=1))
    return min(a), min(b)


# Runs a command and prints its peak resident set size in kB (the largest of its children's).
_PEAK = (
    "import resource, subprocess, sys; subprocess.run(sys.argv[1:], check=True); "
    "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)"
)


def apply_memory(n_rows, chunk_sizes):
    names, rows = read_csv(PENGUINS)
    tool = [sys.executable, "-m", "tabrix_libs"]
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "big.csv")
        with open(path, "w", newline="", encoding="utf-8") as f:
            w = csv.writer(f)
            w.writerow(names)
            for start in range(0, n_rows, len(rows)):
                w.writerows(rows[: n_rows - start])
        saved = os.path.join(tmp, "penguins.joblib")
        subprocess.run(tool + ["--save-pipeline", saved], check=True, stdout=subprocess.DEVNULL)
        print(
            "apply to %d rows (%.1f MB of CSV), Python %s"
            % (n_rows, os.path.getsize(path) / 1e6, sys.version.split()[0])
        )
        print("%-22s %10s %16s" % ("how", "seconds", "peak memory (MB)"))
        first = None
        for chunk in [None] + chunk_sizes:
            out = os.path.join(tmp, "out.csv")
            extra = [] if chunk is None else ["--chunk-rows", str(chunk)]
            start = time.perf_counter()
            res = subprocess.run(
                [sys.executable, "-c", _PEAK]
                + tool
                + [path, "--apply", saved, "--no-progress", "--out", out]
                + extra,
                check=True,
                capture_output=True,
                text=True,
            )
            seconds = time.perf_counter() - start
            with open(out, "rb") as f:
                data = f.read()
            first = data if first is None else first
            assert data == first, "chunked output differs"
            print(
                "%-22s %10.1f %16.0f"
                % (
                    "whole file" if chunk is None else "--chunk-rows %d" % chunk,
                    seconds,
                    int(res.stdout.split()[-1]) / 1024,
                )
            )
        print("(every run wrote the same %d bytes)" % len(first))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--rows", type=int, default=100_000)
    p.add_argument("--repeat", type=int, default=5)
    p.add_argument("--apply-rows", type=int, help="measure --apply on this many rows instead")
    p.add_argument("--chunk-rows", default="10000,100000", help="chunk sizes for --apply-rows")
    args = p.parse_args()
    if args.apply_rows:
        apply_memory(args.apply_rows, [int(c) for c in args.chunk_rows.split(",")])
        return

    names, rows = read_csv(PENGUINS)
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

        read = side_by_side(lambda: read_csv(path), plain_read, args.repeat)

    X = np.array(big, dtype=object)[:, 1:]
    tags = tag_columns(X, names[1:], set(MISSING))
    ours = build_pipeline(tags, MISSING, "ordinal")
    plain = plain_pipeline(tags)
    np.testing.assert_allclose(ours.fit_transform(X), plain.fit_transform(X), rtol=1e-6)

    rows_out = [
        ("read %d rows (%.1f MB) of CSV" % (len(big), size / 1e6),) + read,
        ("fit + transform, %d x %d" % X.shape,)
        + side_by_side(
            lambda: ours.fit(X).transform(X), lambda: plain.fit(X).transform(X), args.repeat
        ),
        ("transform alone, %d x %d" % X.shape,)
        + side_by_side(lambda: ours.transform(X), lambda: plain.transform(X), args.repeat),
    ]
    print("%-40s %12s %12s %8s" % ("what", "tool (s)", "plain (s)", "ratio"))
    for what, a, b in rows_out:
        print("%-40s %12.4f %12.4f %7.2fx" % (what, a, b, b / a))
    print(
        "(same output checked; ratio = plain / tool, best of %d; Python %s)"
        % (args.repeat, sys.version.split()[0])
    )


if __name__ == "__main__":
    main()
