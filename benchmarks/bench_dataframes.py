"""DataFrames against arrays, and the array path before and after a change, each side by side in
one run.

    python benchmarks/bench_dataframes.py [--rows 1000000] [--repeat 3]
    python benchmarks/bench_dataframes.py --before REV [--rounds 7]

1. fit_transform of the command-line tool's pipeline on a table of ROWS x 10 strings (four text
   columns in mixed case with punctuation, four number strings, two booleans, missing markers
   among them), as an object array and as a pandas object frame, a pandas str frame (Arrow-
   backed) and a polars frame of the same strings. Each frame is timed against the array in the
   same rounds, best of --repeat. Target: the pandas object frame within 1.2x of the array.
2. With --before REV: the NumPy array path of this checkout against that of the commit REV,
   both built from source into temporary folders and timed in alternating child processes:
   a transform of a 10x3 array (the protocol alone), a CompressStrings transform of a 10x3
   object array, and the tool's pipeline fit_transform and transform on 20,000 rows. Ratios
   near 1 mean the change costs the array path nothing.

Needs pandas, polars and pyarrow (`pip install '.[bench]'`).
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def string_table(n_rows, seed=0):
    """ROWS x 10 strings: text, number strings and booleans, with missing markers."""
    rng = np.random.RandomState(seed)
    cities = np.array(
        [" New-York", "new york", "Boston!", "BOSTON", "Chicago ", "chicago", "NA"], dtype=object
    )
    colours = np.array(["Red", "red!", "Blue", "blue", "", "Green"], dtype=object)
    words = np.array(["alpha", "Beta", "gamma.", "DELTA", "?"], dtype=object)
    numbers = np.array(
        ["%.2f" % v for v in rng.uniform(0, 100, 997)] + ["NA", "", "N/A"], dtype=object
    )
    bools = np.array(["true", "False", "TRUE", "false", "NA"], dtype=object)
    columns = [
        cities[rng.randint(0, len(cities), n_rows)],
        colours[rng.randint(0, len(colours), n_rows)],
        words[rng.randint(0, len(words), n_rows)],
        np.array(["id%d" % (v % 5000) for v in rng.randint(0, 10**6, n_rows)], dtype=object),
    ]
    columns += [numbers[rng.randint(0, len(numbers), n_rows)] for _ in range(4)]
    columns += [bools[rng.randint(0, len(bools), n_rows)] for _ in range(2)]
    X = np.empty((n_rows, 10), dtype=object)
    for j, c in enumerate(columns):
        X[:, j] = c
    return X, ["city", "colour", "word", "code", "n1", "n2", "n3", "n4", "b1", "b2"]


def tool_pipeline(X, names):
    from tabrix_libs.pipeline import build_pipeline, default_missing, tag_columns

    missing = default_missing()
    return build_pipeline(tag_columns(X[:20000], names, set(missing)), missing)


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def frames_against_the_array(n_rows, repeat):
    import pandas as pd
    import polars as pl

    X, names = string_table(n_rows)
    pipe = tool_pipeline(X, names)
    frames = {
        "pandas object": pd.DataFrame(X, columns=names, dtype=object),
        "pandas str (Arrow)": pd.DataFrame(
            {
                n: pd.Series(X[:, j], dtype="string[pyarrow]" if pd.__version__ < "3" else "str")
                for j, n in enumerate(names)
            }
        ),
        "polars": pl.DataFrame({n: X[:, j].tolist() for j, n in enumerate(names)}),
    }
    expected = pipe.fit_transform(X)
    for kind, frame in frames.items():
        assert np.array_equal(pipe.fit_transform(frame), expected, equal_nan=True), kind
    print(
        "fit_transform of the tool's pipeline, %d x 10 strings, best of %d (seconds):"
        % (n_rows, repeat)
    )
    print("  %-20s %8s %8s %7s" % ("input", "frame", "array", "ratio"))
    ratios = {}
    for kind, frame in frames.items():
        t_frame = t_array = float("inf")
        for _ in range(repeat):  # the array in the same rounds as the frame
            t_array = min(t_array, best(lambda: pipe.fit_transform(X), 1))
            t_frame = min(t_frame, best(lambda: pipe.fit_transform(frame), 1))
        ratios[kind] = t_frame / t_array
        print("  %-20s %8.3f %8.3f %6.2fx" % (kind, t_frame, t_array, ratios[kind]))
    met = ratios["pandas object"] <= 1.2
    print(
        "target: pandas object frame within 1.2x of the array: %.2fx, %s"
        % (ratios["pandas object"], "met" if met else "NOT met")
    )


# ------------------------------------------------------------------- before and after

CHILD = r"""
import sys, time, timeit
import numpy as np
sys.path.insert(0, sys.argv[1])
from tabrix_libs.transformers import exportable as ex
sys.path.insert(0, sys.argv[2])
from bench_dataframes import string_table, tool_pipeline
assert ex.__file__.startswith(sys.argv[1]), ex.__file__

small = np.arange(30.0).reshape(10, 3)
words = np.array([["New-York", "b!", "C c"]] * 10, dtype=object)
allpass = ex.AllPassPreprocessingTransformer().fit(small)
compress = ex.CompressStrings(dtypes_list=["char_str"] * 3, misslist_list=[[]] * 3).fit(words)
X, names = string_table(20000, seed=1)
pipe = tool_pipeline(X, names)
pipe.fit(X)

def per_call(fn, n):
    return min(timeit.repeat(fn, number=n, repeat=5)) / n

print(per_call(lambda: allpass.transform(small), 2000))
print(per_call(lambda: compress.transform(words), 2000))
print(per_call(lambda: pipe.fit_transform(X), 3))
print(per_call(lambda: pipe.transform(X), 3))
"""

OPS = [
    "AllPass transform, 10x3 float (s/call)",
    "CompressStrings transform, 10x3 object",
    "tool pipeline fit_transform, 20,000 x 10",
    "tool pipeline transform, 20,000 x 10",
]


def build(source, target):
    subprocess.run(
        [sys.executable, "-m", "pip", "install", "-q", "--no-deps", "--target", target, source],
        check=True,
    )


def before_and_after(rev, rounds):
    work = tempfile.mkdtemp(prefix="bench-before-after-")
    try:
        tree = os.path.join(work, "before-src")
        subprocess.run(
            ["git", "-C", ROOT, "worktree", "add", "--detach", "-q", tree, rev], check=True
        )
        try:
            sites = {"before": os.path.join(work, "before"), "after": os.path.join(work, "after")}
            print("building %s and this checkout ..." % rev, flush=True)
            build(tree, sites["before"])
            build(ROOT, sites["after"])
        finally:
            subprocess.run(["git", "-C", ROOT, "worktree", "remove", "--force", tree], check=True)
        best_times = {k: [float("inf")] * len(OPS) for k in sites}
        here = os.path.dirname(os.path.abspath(__file__))
        for _ in range(rounds):
            for label, site in sites.items():
                out = subprocess.run(
                    [sys.executable, "-c", CHILD, site, here],
                    check=True,
                    capture_output=True,
                    text=True,
                ).stdout.split()
                best_times[label] = [min(a, float(b)) for a, b in zip(best_times[label], out)]
        print(
            "NumPy arrays, %s (before) against this checkout (after), best of %d rounds:"
            % (rev, rounds)
        )
        print("  %-42s %12s %12s %7s" % ("", "before", "after", "after/before"))
        for k, op in enumerate(OPS):
            b, a = best_times["before"][k], best_times["after"][k]
            print("  %-42s %12.3g %12.3g %7.3f" % (op, b, a, a / b))
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, default=1000000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--before", metavar="REV", help="time the array path against REV")
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    if args.before:
        before_and_after(args.before, args.rounds)
    else:
        frames_against_the_array(args.rows, args.repeat)


if __name__ == "__main__":
    main()
