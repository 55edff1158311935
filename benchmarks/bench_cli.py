"""The command-line tool's pipeline against the same preprocessing written with plain Python,
NumPy and scikit-learn, measured side by side in one run on the bundled penguins data repeated
to a larger table.

    python benchmarks/bench_cli.py [--rows 100000] [--repeat 3]
    python benchmarks/bench_cli.py --apply-rows 1000000 [--chunk-rows 100000] [--dask local]
    python benchmarks/bench_cli.py --apply-rows 1000000 --split
    python benchmarks/bench_cli.py --apply-rows 1000000 --parquet
    python benchmarks/bench_cli.py --report-rows 1000000 [--repeat 3]

1. Reading the CSV: the tool's reader (compiled, with its row checks) against csv.reader over
   the open file.
2. fit + transform and transform alone of the tool's pipeline (string cleaning, missing markers,
   float strings, categorical imputation and ordinal encoding, numeric imputation, float32)
   against a pipeline doing the same steps with a regex per cell, np.isin, astype(float) and
   scikit-learn's SimpleImputer and OrdinalEncoder in a ColumnTransformer.
Ratios above 1 mean the tool is faster.

With --apply-rows N it measures the other job instead: `tabrix-libs FILE --apply SAVED` on the
penguins repeated to N rows, each run in its own process: reading the file whole and with each
--chunk-rows size, with --dask ADDRESS also on a Dask cluster (for `local`, with each --workers
count), and beside them the script a user would write instead (pandas and scikit-learn; needs
pandas). It prints wall time and peak memory (the largest resident set of the command's process;
for Dask, also that of the largest worker as the tool reports it), checks that every run of the
tool writes the same bytes, and prints the ratios against their targets. With --split it
profiles one chunked --apply instead and prints how its time divides between reading, the
pipeline, the model and writing. With --parquet it times --apply on the Parquet file of the same
rows against the pandas script on it (read_parquet, the fitted pipeline with the forest on
every core, to_parquet) and against --apply on the CSV file, and prints the ratios against their
targets (1.5x over the script; no slower than CSV).

With --report-rows N it measures what `--report FILE.html` costs: a fit and a chunked --apply
on the penguins repeated to N rows, each with and without --report, run in their own processes
in alternating order (with, without, without, with, ...) so that load from elsewhere on the
machine hits both alike. It prints every time (and the CPU seconds of each run, its drawing
process included), the best and the median of each, and the ratio of the best times against the
10% target.
"""

import argparse
import contextlib
import csv
import hashlib
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

# The script a user would write instead of --apply: pandas' C reader, scikit-learn's imputers
# and ordinal encoder in a ColumnTransformer fitted on the same training data, the same forest
# (on every core, as ours), and pandas' writer with a prediction column.
PEER = """
import sys
import joblib, numpy as np, pandas as pd
from sklearn.compose import ColumnTransformer
from sklearn.impute import SimpleImputer
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import OrdinalEncoder
from tabrix_libs.tableio import PENGUINS
data, saved, out = sys.argv[1:4]
model = joblib.load(saved).steps[1][1].set_params(n_jobs=-1)
train = pd.read_csv(PENGUINS).drop(columns=["species"])
cat = list(train.select_dtypes(exclude="number").columns)
num = list(train.select_dtypes(include="number").columns)
encode = OrdinalEncoder(handle_unknown="use_encoded_value", unknown_value=np.nan)
prep = ColumnTransformer([
    ("cat", make_pipeline(SimpleImputer(strategy="most_frequent"), encode), cat),
    ("num", SimpleImputer(strategy="mean"), num),
]).fit(train)
df = pd.read_csv(data)
df["prediction"] = model.predict(prep.transform(df.drop(columns=["species"])).astype(np.float32))
df.to_csv(out, index=False)
"""


# The same script on the Parquet file of the same rows: pandas' Parquet reader and writer.
PEER_PARQUET = PEER.replace("df = pd.read_csv(data)", "df = pd.read_parquet(data)").replace(
    "df.to_csv(out, index=False)", "df.to_parquet(out, index=False)"
)


def apply_parquet(n_rows, chunk_rows):
    """--apply on a Parquet file against the pandas script on it and against --apply on the CSV
    file of the same rows, each in a process of its own, side by side."""
    import pandas as pd

    tool = [sys.executable, "-m", "tabrix_libs"]
    with _penguins_file(n_rows, tool) as (tmp, path, saved):
        parquet = os.path.join(tmp, "big.parquet")
        pd.read_csv(path).to_parquet(parquet, index=False, row_group_size=100_000)
        print(
            "apply to %d rows: %.1f MB of CSV, %.1f MB of Parquet (row groups of 100,000 rows), "
            "%d cores"
            % (n_rows, os.path.getsize(path) / 1e6, os.path.getsize(parquet) / 1e6, _cores())
        )
        chunk = ["--chunk-rows", str(chunk_rows)]
        runs = {
            "tool, Parquet in and out": tool
            + [parquet, "--apply", saved, "--no-progress", "--out", os.path.join(tmp, "o.parquet")]
            + chunk,
            "tool, CSV in and out": tool
            + [path, "--apply", saved, "--no-progress", "--out", os.path.join(tmp, "o.csv")]
            + chunk,
            "pandas + scikit-learn script, Parquet": [
                sys.executable, "-c", PEER_PARQUET, parquet, saved, os.path.join(tmp, "p.parquet")
            ],
        }  # fmt: skip
        best = {}
        for _ in range(3):  # alternately, best of three
            for how, command in runs.items():
                seconds, peak, _ = timed(command)
                if seconds < best.get(how, (float("inf"), 0))[0]:
                    best[how] = (seconds, peak)
        print("%-40s %9s %12s" % ("how (--chunk-rows %d)" % chunk_rows, "seconds", "peak (MB)"))
        for how, (seconds, peak) in best.items():
            print("%-40s %9.2f %12.0f" % (how, seconds, peak))
        ours = pd.read_parquet(os.path.join(tmp, "o.parquet"))["prediction"]
        theirs = pd.read_csv(os.path.join(tmp, "o.csv"), keep_default_na=False)["prediction"]
        assert ours.tolist() == theirs.astype(str).tolist(), "the predictions differ"
        print("(the Parquet and the CSV outputs hold the same predictions)")
        tool_parquet = best["tool, Parquet in and out"][0]
        ratio = best["pandas + scikit-learn script, Parquet"][0] / tool_parquet
        print(
            "Parquet: the script against the tool: %.2fx (target 1.5x: %s)"
            % (ratio, "met" if ratio >= 1.5 else "MISSED")
        )
        ratio = best["tool, CSV in and out"][0] / tool_parquet
        print(
            "the tool on CSV against the tool on Parquet: %.2fx (target: at least 1.0x: %s)"
            % (ratio, "met" if ratio >= 1.0 else "MISSED")
        )


def write_repeated(path, n_rows):
    names, rows = read_csv(PENGUINS)
    with open(path, "w", newline="", encoding="utf-8") as f:
        w = csv.writer(f)
        w.writerow(names)
        for start in range(0, n_rows, len(rows)):
            w.writerows(rows[: n_rows - start])


def timed(command):
    """Wall seconds, peak memory (MB) of the command's process, and its stderr."""
    start = time.perf_counter()
    res = subprocess.run(
        [sys.executable, "-c", _PEAK] + command, check=True, capture_output=True, text=True
    )
    seconds = time.perf_counter() - start
    return seconds, int(res.stdout.split()[-1]) / 1024, res.stderr


WHOLE_MAX_ROWS = 2_000_000


@contextlib.contextmanager
def _penguins_file(n_rows, tool):
    """A folder holding the penguins repeated to n_rows rows and a classifier saved by the tool
    from them: (folder, the CSV file, the saved file)."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "big.csv")
        write_repeated(path, n_rows)
        saved = os.path.join(tmp, "penguins.joblib")
        subprocess.run(tool + ["--save-pipeline", saved], check=True, stdout=subprocess.DEVNULL)
        yield tmp, path, saved


def apply_memory(n_rows, chunk_sizes, dask_address=None, workers=(1, 2), fit_sample=None):
    tool = [sys.executable, "-m", "tabrix_libs"]
    with _penguins_file(n_rows, tool) as (tmp, path, saved):
        print(
            "apply to %d rows (%.1f MB of CSV), Python %s, %d cores"
            % (n_rows, os.path.getsize(path) / 1e6, sys.version.split()[0], _cores())
        )
        print(
            "%-34s %9s %12s %14s %10s"
            % ("how", "seconds", "peak (MB)", "worker peak", "blocks (s)")
        )
        # Read whole, the file takes about 1 GB per million rows in one process, and so does
        # the pandas script: both only on files that fit.
        small = n_rows <= WHOLE_MAX_ROWS
        runs = [("one process, whole file", [])] if small else []
        runs += [
            ("one process, --chunk-rows %d" % c, ["--chunk-rows", str(c)]) for c in chunk_sizes
        ]
        if dask_address:
            runs += [
                (
                    "--dask %s --workers %d" % (dask_address, w),
                    ["--dask", dask_address]
                    + (["--workers", str(w)] if dask_address == "local" else []),
                )
                for w in workers
            ]
        first, times, block_times = None, {}, {}
        out = os.path.join(tmp, "out.csv")
        for how, extra in runs:
            seconds, peak, err = timed(
                tool + [path, "--apply", saved, "--no-progress", "--out", out] + extra
            )
            times[how] = seconds
            data = _digest(out)
            first = data if first is None else first
            assert data == first, "%s: the output differs" % how
            worker = re.search(r"largest worker: (\d+) MB", err)
            blocks = re.search(r"Dask workers? of \S+ in ([\d.]+) s", err)
            if blocks:
                block_times[how] = float(blocks.group(1))
            print(
                "%-34s %9.2f %12.0f %14s %10s"
                % (
                    how,
                    seconds,
                    peak,
                    worker.group(1) if worker else "",
                    blocks.group(1) if blocks else "",
                )
            )
        peer = None
        try:
            import pandas  # noqa: F401
        except ImportError:
            print("(pandas not installed: no peer script; pip install '.[bench]')")
        else:
            if not small:
                print("(above %d rows, no whole-file run and no pandas script)" % WHOLE_MAX_ROWS)
        if "pandas" in sys.modules and small:
            peer, peak, _ = timed([sys.executable, "-c", PEER, path, saved, out])
            print("%-34s %9.2f %12.0f" % ("pandas + scikit-learn script", peer, peak))
        print("(every run of the tool wrote the same %d bytes)" % first[1])
        if fit_sample:
            seconds, peak, err = timed(
                tool
                + [path, "--target", "species", "--sample-rows", str(fit_sample)]
                + ["--no-progress"]
            )
            print("%-34s %9.2f %12.0f" % ("fit --sample-rows %d" % fit_sample, seconds, peak))
        chunked = [times[h] for h in times if "--chunk-rows" in h]
        if peer and chunked:
            ratio = peer / min(chunked)
            print(
                "one process (chunked) against the script: %.2fx (target 1.5x: %s)"
                % (ratio, "met" if ratio >= 1.5 else "MISSED")
            )
        if dask_address == "local" and len(workers) >= 2:
            names = ["--dask local --workers %d" % w for w in workers[:2]]
            ratio = times[names[0]] / times[names[1]]
            print(
                "%d workers against %d, the whole command: %.2fx (target 1.7x: %s)"
                % (workers[1], workers[0], ratio, "met" if ratio >= 1.7 else "MISSED")
            )
            if all(n in block_times for n in names):
                print(
                    "%d workers against %d, from the first scan to the last block: %.2fx "
                    "(the rest is the cluster's start and the model's load)"
                    % (workers[1], workers[0], block_times[names[0]] / block_times[names[1]])
                )


# Runs `tabrix-libs ARGS` under cProfile and prints the cumulative seconds of reading, the
# pipeline, the model and writing (the model's threads are waited for by predict_rows; an older
# package without it predicts on this thread). Starting Python and importing are the rest.
_SPLIT = """
import cProfile, pstats, sys, time
from tabrix_libs import cli
profile = cProfile.Profile()
start = time.perf_counter()
profile.runcall(cli.main, sys.argv[1:])
wall = time.perf_counter() - start
stats = pstats.Stats(profile).stats
def seconds(*where):
    return sum(s[3] for (f, _, name), s in stats.items() if (f.rsplit("/", 1)[-1], name) in where)
model = seconds(("_model.py", "predict_rows")) or seconds(("_forest.py", "predict"))
print("wall %.2f s: read %.2f, pipeline %.2f, model %.2f, write %.2f" % (
    wall, seconds(("tableio.py", "chunks"), ("tableio.py", "_read")),
    seconds(("pipeline.py", "run_pipeline")), model,
    seconds(("tableio.py", "write"), ("tableio.py", "write_block"))))
"""


def apply_split(n_rows, chunk_rows):
    tool = [sys.executable, "-m", "tabrix_libs"]
    with _penguins_file(n_rows, tool) as (tmp, path, saved):
        out = os.path.join(tmp, "out.csv")
        argv = [path, "--apply", saved, "--chunk-rows", str(chunk_rows), "--no-progress"]
        res = subprocess.run(
            [sys.executable, "-c", _SPLIT] + argv + ["--out", out],
            check=True,
            capture_output=True,
            text=True,
        )
        print(
            "--apply --chunk-rows %d on %d rows, profiled: %s"
            % (chunk_rows, n_rows, res.stdout.strip())
        )


def report_cost(n_rows, repeat):
    """Fit and apply with and without --report, alternately, in processes of their own."""
    tool = [sys.executable, "-m", "tabrix_libs", "--no-progress"]
    with _penguins_file(n_rows, tool) as (tmp, path, saved):
        page = os.path.join(tmp, "page.html")
        jobs = [
            ("fit", [path, "--target", "species"]),
            ("apply --chunk-rows 100000", [path, "--apply", saved, "--chunk-rows", "100000"]),
        ]
        print(
            "--report on %d rows (%.1f MB of CSV), Python %s, %d cores, best and median of %d"
            % (n_rows, os.path.getsize(path) / 1e6, sys.version.split()[0], _cores(), repeat)
        )
        print("%-28s %-16s %s" % ("job", "", "seconds, in the order run"))
        for name, argv in jobs:
            out = ["--out", os.path.join(tmp, "out.csv")] if "--apply" in argv else []
            times, cpu = {False: [], True: []}, {False: [], True: []}
            for k in range(repeat):
                for report in (False, True) if k % 2 == 0 else (True, False):
                    extra = ["--report", page] if report else []
                    used = _children_cpu()
                    start = time.perf_counter()
                    subprocess.run(
                        tool + argv + out + extra,
                        check=True,
                        stdout=subprocess.DEVNULL,
                        stderr=subprocess.DEVNULL,
                    )
                    times[report].append(time.perf_counter() - start)
                    cpu[report].append(_children_cpu() - used)
            for report in (False, True):
                t = times[report]
                print(
                    "%-28s %-16s %s  best %.2f  median %.2f  (CPU %s)"
                    % (
                        name,
                        "with --report" if report else "without",
                        " ".join("%.2f" % x for x in t),
                        min(t),
                        sorted(t)[len(t) // 2],
                        " ".join("%.2f" % x for x in cpu[report]),
                    )
                )
            ratio = min(times[True]) / min(times[False])
            median = sorted(times[True])[repeat // 2] / sorted(times[False])[repeat // 2]
            print(
                "%s: with --report / without, best %.3f, median %.3f (target at most 1.10: %s); "
                "CPU seconds, median %.3f; page %.0f kB"
                % (
                    name,
                    ratio,
                    median,
                    "met" if ratio <= 1.10 else "MISSED",
                    sorted(cpu[True])[repeat // 2] / sorted(cpu[False])[repeat // 2],
                    os.path.getsize(page) / 1e3,
                )
            )


def _children_cpu():
    """User and system seconds of the finished child processes (and theirs) so far."""
    import resource

    used = resource.getrusage(resource.RUSAGE_CHILDREN)
    return used.ru_utime + used.ru_stime


def _digest(path):
    """SHA-256 and size of a file, read a piece at a time."""
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for piece in iter(lambda: f.read(1 << 20), b""):
            h.update(piece)
    return h.hexdigest(), os.path.getsize(path)


def _cores():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--rows", type=int, default=100_000)
    p.add_argument("--repeat", type=int, default=5)
    p.add_argument("--apply-rows", type=int, help="measure --apply on this many rows instead")
    p.add_argument("--chunk-rows", default="100000", help="chunk sizes for --apply-rows")
    p.add_argument("--dask", metavar="ADDRESS", help="with --apply-rows: also --dask ADDRESS")
    p.add_argument("--workers", default="1,2", help="worker counts for --dask local")
    p.add_argument(
        "--fit-sample",
        type=int,
        metavar="N",
        help="with --apply-rows: also fit with --sample-rows N",
    )
    p.add_argument(
        "--split",
        action="store_true",
        help="with --apply-rows: where the time of one chunked --apply goes (read, pipeline, "
        "model, write), profiled in a process of its own",
    )
    p.add_argument(
        "--parquet",
        action="store_true",
        help="with --apply-rows: --apply on the Parquet file of the same rows against the pandas "
        "script on it and against --apply on the CSV file",
    )
    p.add_argument(
        "--report-rows",
        type=int,
        metavar="N",
        help="measure what --report adds to a fit and an apply on N rows instead",
    )
    args = p.parse_args()
    if args.report_rows:
        report_cost(args.report_rows, args.repeat)
        return
    if args.apply_rows and args.parquet:
        apply_parquet(args.apply_rows, int(args.chunk_rows.split(",")[0]))
        return
    if args.apply_rows and args.split:
        apply_split(args.apply_rows, int(args.chunk_rows.split(",")[0]))
        return
    if args.apply_rows:
        apply_memory(
            args.apply_rows,
            [int(c) for c in args.chunk_rows.split(",") if c],
            args.dask,
            [int(w) for w in args.workers.split(",")],
            args.fit_sample,
        )
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
