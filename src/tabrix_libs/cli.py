"""The `tabrix-libs` command: fits a preprocessing pipeline of the package's transformers to a
CSV file, trains a scikit-learn model on the result and reports each step and the held-out score.

    tabrix-libs [FILE.csv] [--target NAME] [--out FILE.npy|FILE.csv] [--save-pipeline FILE] ...

Without a file it runs on the bundled Palmer penguins data (CC0, see data/README.md) and
predicts the species. Every cell is read as a string, so the pipeline does the whole job of
turning text into numbers: string cleaning, missing-marker replacement, float-string
conversion, per-branch imputation and encoding, and float32 narrowing.

Problems with the input (unreadable file, empty file, ragged rows, unknown column) end the run
with one line on stderr and exit code 2; nothing prints a traceback.
"""
import argparse
import csv
import io
import math
import os
import sys
import time

EXIT_INPUT = 2
EXIT_FAILURE = 1

CHAR, FLOAT, BOOL = "char_str", "float_str", "bool_str"
BOOL_WORDS = frozenset(("true", "false"))
# Numeric targets with at most this many distinct integral values are treated as class labels.
MAX_CLASS_LABELS = 10
# Files at least this large get a progress bar (when stderr is a terminal).
PROGRESS_MIN_BYTES = 4 << 20

DEFAULT_DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "penguins.csv")
DEFAULT_TARGET = "species"


class InputError(Exception):
    """A problem with what the user gave us: reported in one line, exit code 2."""


# --------------------------------------------------------------------------------------------
# Progress bar


class Progress:
    """A one-line bar on stderr, redrawn in place; silent unless enabled."""

    def __init__(self, enabled, stream=None, width=30):
        self.enabled = enabled
        self.stream = stream if stream is not None else sys.stderr
        self.width = width
        self._last = None

    def update(self, label, fraction):
        if not self.enabled:
            return
        fraction = min(max(fraction, 0.0), 1.0)
        filled = int(round(fraction * self.width))
        text = "\r[%s%s] %3d%% %-28s" % ("#" * filled, "." * (self.width - filled), int(fraction * 100), label[:28])
        if text != self._last:
            self.stream.write(text)
            self.stream.flush()
            self._last = text

    def close(self):
        if self.enabled and self._last is not None:
            self.stream.write("\r" + " " * len(self._last) + "\r")
            self.stream.flush()
            self._last = None


# --------------------------------------------------------------------------------------------
# Reading


class _CountingFile(io.RawIOBase):
    """A binary file that reports how far reading has got, for the progress bar."""

    def __init__(self, raw, label, progress, total):
        self.raw, self.label, self.progress, self.total = raw, label, progress, max(total, 1)
        self.done = 0

    def readable(self):
        return True

    def readinto(self, buffer):
        n = self.raw.readinto(buffer)
        if n:
            self.done += n
            self.progress.update(self.label, self.done / self.total)
        return n


def read_csv(path, progress=None):
    """Reads a CSV file with a header line; returns (column names, list of rows of str).

    Empty cells stay "" and every value stays a string. Blank lines are skipped. Raises
    InputError for a file that cannot be read, holds no header or no data rows, has duplicate
    column names, or a row whose field count differs from the header's."""
    progress = progress or Progress(False)
    try:
        total = os.path.getsize(path)
        raw = open(path, "rb", buffering=0)
    except OSError as e:
        raise InputError("cannot read %s: %s" % (path, e.strerror or e)) from None
    counted = _CountingFile(raw, "reading " + os.path.basename(path), progress, total)
    text = io.TextIOWrapper(io.BufferedReader(counted, 1 << 20), encoding="utf-8-sig", newline="")
    rows = []
    header = None
    reader = csv.reader(text, strict=True)
    with raw, text:
        try:
            for fields in reader:
                if not fields:
                    continue
                if header is None:
                    header = fields
                    continue
                if len(fields) != len(header):
                    raise InputError("%s, line %d: %d fields where the header has %d"
                                     % (path, reader.line_num, len(fields), len(header)))
                rows.append(fields)
        except csv.Error as e:
            raise InputError("%s, line %d: not valid CSV (%s)" % (path, reader.line_num, e)) from None
        except UnicodeDecodeError:
            raise InputError("cannot read %s: not UTF-8 text (after line %d)" % (path, reader.line_num)) from None
        except OSError as e:
            raise InputError("cannot read %s: %s" % (path, e.strerror or e)) from None
    if header is None:
        raise InputError("%s is empty: no header line" % path)
    if not rows:
        raise InputError("%s has a header but no data rows" % path)
    seen = set()
    for name in header:
        if name in seen:
            raise InputError("%s: column name %r appears twice in the header" % (path, name))
        seen.add(name)
    return header, rows


# --------------------------------------------------------------------------------------------
# Column tags


def _is_finite_number(text):
    try:
        return math.isfinite(float(text))
    except ValueError:
        return False


def infer_tag(values, missing):
    """The tag of one column from its distinct values: booleans written as true/false in any
    letter case, finite numbers, or character strings. An all-missing column counts as numeric
    (it is imputed, then kept as zeros)."""
    present = [v for v in values if v not in missing]
    if not present:
        return FLOAT
    if all(v.strip().lower() in BOOL_WORDS for v in present):
        return BOOL
    if all(_is_finite_number(v) for v in present):
        return FLOAT
    return CHAR


def resolve_columns(spec, names, option):
    """Turns a comma-separated list of column names or 0-based positions into positions."""
    if not spec:
        return []
    positions = []
    for item in spec.split(","):
        item = item.strip()
        if not item:
            continue
        if item in names:
            positions.append(names.index(item))
        elif item.lstrip("-").isdigit() and -len(names) <= int(item) < len(names):
            positions.append(int(item) % len(names))
        else:
            raise InputError("%s: no column %r (columns: %s)" % (option, item, ", ".join(names)))
    return positions


def tag_columns(X, names, missing, float_columns=(), char_columns=(), bool_columns=()):
    """One tag per column of the object array X: inferred, then overridden by the options."""
    tags = [infer_tag(set(X[:, j].tolist()), missing) for j in range(X.shape[1])]
    for positions, tag in ((float_columns, FLOAT), (char_columns, CHAR), (bool_columns, BOOL)):
        for j in positions:
            tags[j] = tag
    return tags


# --------------------------------------------------------------------------------------------
# Pipeline


def build_pipeline(tags, missing, encoding="ordinal", scale=False):
    """The preprocessing pipeline for columns with the given tags.

    Character columns are cleaned, every missing marker becomes NaN, float strings become floats;
    then a categorical branch (unseen values to NaN, most-frequent imputation, encoding) and a
    numeric branch (booleans to floats, mean imputation, optional scaling) run side by side and
    their outputs are joined and narrowed to float32. A branch without columns is left out."""
    import numpy as np
    from sklearn.pipeline import FeatureUnion, Pipeline

    from tabrix_libs.transformers import exportable as ex

    missing = list(missing)
    cat = [j for j, t in enumerate(tags) if t == CHAR]
    num = [j for j, t in enumerate(tags) if t != CHAR]
    branches = []
    if cat:
        branches.append(("cat", Pipeline([
            ("select", ex.NumpyColumnSelector(cat)),
            ("unseen", ex.NumpyReplaceUnknownValues(filling_values=np.nan, missing_values_reference_list=missing)),
            ("impute", ex.CatImputer("most_frequent", np.nan)),
            ("encode", ex.CatEncoder(encoding, "auto", np.float64, "ignore")),
        ])))
    if num:
        branches.append(("num", Pipeline([
            ("select", ex.ColumnSelector(num)),
            ("bool", ex.boolean2float()),
            ("impute", ex.NumImputer("mean", np.nan)),
            ("scale", ex.OptStandardScaler(use_scaler_flag=scale)),
        ])))
    return Pipeline([
        ("compress", ex.CompressStrings(dtypes_list=list(tags), misslist_list=[missing] * len(tags))),
        ("missing", ex.NumpyReplaceMissingValues(missing, np.nan)),
        ("floats", ex.FloatStr2Float(list(tags), missing)),
        ("branches", FeatureUnion(branches)),
        ("float32", ex.float32_transform()),
    ])


def _shape_text(A):
    shape = getattr(A, "shape", None)
    if shape is None:
        return "?"
    return "x".join(str(n) for n in shape)


def run_pipeline(est, X, fit, table, progress=None, name="", counter=None):
    """Fits (fit=True) or applies each step of `est` in turn, as Pipeline and FeatureUnion do,
    and appends one (step, class, shape in, shape out, seconds) row per transformer to table.

    Walking the steps by hand is what gives the per-step figures; the fitted steps stay in
    `est`, so it can be used (or saved) as an ordinary fitted Pipeline afterwards."""
    import numpy as np
    from scipy import sparse
    from sklearn.pipeline import FeatureUnion, Pipeline

    counter = counter if counter is not None else [0, _count_leaves(est)]
    if isinstance(est, Pipeline):
        for step_name, step in est.steps:
            if step is None or step == "passthrough":
                continue
            X = run_pipeline(step, X, fit, table, progress, _join(name, step_name), counter)
        return X
    if isinstance(est, FeatureUnion):
        parts = [run_pipeline(t, X, fit, table, progress, _join(name, n), counter)
                 for n, t in est.transformer_list if t is not None and t != "drop"]
        start = time.perf_counter()
        if any(sparse.issparse(p) for p in parts):
            Y = sparse.hstack(parts).tocsr()
        else:
            Y = np.hstack(parts)
        table.append((_join(name, "join"), "FeatureUnion", " + ".join(_shape_text(p) for p in parts),
                      _shape_text(Y), time.perf_counter() - start))
        return Y
    if progress is not None:
        progress.update(("fit " if fit else "apply ") + name, counter[0] / max(counter[1], 1))
    start = time.perf_counter()
    Y = est.fit(X).transform(X) if fit else est.transform(X)
    table.append((name, type(est).__name__, _shape_text(X), _shape_text(Y), time.perf_counter() - start))
    counter[0] += 1
    return Y


def _join(prefix, name):
    return prefix + "/" + name if prefix else name


def _count_leaves(est):
    from sklearn.pipeline import FeatureUnion, Pipeline

    if isinstance(est, Pipeline):
        return sum(_count_leaves(s) for _, s in est.steps if s is not None and s != "passthrough")
    if isinstance(est, FeatureUnion):
        return sum(_count_leaves(t) for _, t in est.transformer_list if t is not None and t != "drop")
    return 1


def feature_names(pipeline, names, tags):
    """Names of the output columns: numeric columns by name, categorical ones by name (ordinal)
    or name=category (one-hot). Falls back to f0, f1, ... where the layout is not known."""
    try:
        union = pipeline.named_steps["branches"]
        out = []
        for branch_name, branch in union.transformer_list:
            if branch_name == "cat":
                cols = [names[j] for j, t in enumerate(tags) if t == CHAR]
                encoder = branch.named_steps["encode"]
                found = list(encoder.categories_found)
                if len(found) != len(cols):
                    return None
                if encoder.encoding == "ordinal":
                    out.extend(cols)
                else:
                    out.extend("%s=%s" % (c, v) for c, cats in zip(cols, found) for v in cats)
            else:
                out.extend(names[j] for j, t in enumerate(tags) if t != CHAR)
        return out
    except (AttributeError, KeyError, TypeError):
        return None


# --------------------------------------------------------------------------------------------
# Target and model


def target_kind(values, task="auto"):
    """'classification' or 'regression' for the non-missing target values (strings)."""
    if task != "auto":
        return task
    if not all(_is_finite_number(v) for v in values):
        return "classification"
    distinct = {float(v) for v in values}
    if len(distinct) <= MAX_CLASS_LABELS and all(d.is_integer() for d in distinct):
        return "classification"
    return "regression"


def make_model(kind, seed):
    from sklearn.ensemble import RandomForestClassifier, RandomForestRegressor

    cls = RandomForestClassifier if kind == "classification" else RandomForestRegressor
    return cls(n_estimators=100, random_state=seed, n_jobs=1)


def split_rows(n, y, kind, test_size, seed):
    """Training and held-out row positions; stratified for classes where every class allows it."""
    import numpy as np
    from sklearn.model_selection import train_test_split

    rows = np.arange(n)
    stratify = None
    if kind == "classification":
        _, counts = np.unique(y, return_counts=True)
        if counts.min() >= 2:
            stratify = y
    try:
        return train_test_split(rows, test_size=test_size, random_state=seed, stratify=stratify)
    except ValueError:
        # Too few rows of some class for a stratified split of this size.
        return train_test_split(rows, test_size=test_size, random_state=seed)


# --------------------------------------------------------------------------------------------
# Output


def print_table(title, table, out):
    head = ("step", "transformer", "in", "out", "seconds")
    rows = [(s, c, i, o, "%.4f" % t) for s, c, i, o, t in table]
    widths = [max(len(h), *(len(r[k]) for r in rows)) if rows else len(h) for k, h in enumerate(head)]
    print(title, file=out)
    line = "  ".join(h.ljust(w) if k < 4 else h.rjust(w) for k, (h, w) in enumerate(zip(head, widths)))
    print(line, file=out)
    print("-" * len(line), file=out)
    for r in rows:
        print("  ".join(v.ljust(w) if k < 4 else v.rjust(w) for k, (v, w) in enumerate(zip(r, widths))), file=out)
    print("%s  %s" % ("total".ljust(len(line) - widths[4] - 2), ("%.4f" % sum(t[4] for t in table)).rjust(widths[4])),
          file=out)


def write_output(path, Y, names):
    import numpy as np

    lower = path.lower()
    try:
        if lower.endswith(".npy"):
            np.save(path, Y)
        elif lower.endswith(".csv"):
            with open(path, "w", newline="", encoding="utf-8") as f:
                w = csv.writer(f)
                w.writerow(names if names and len(names) == Y.shape[1] else ["f%d" % j for j in range(Y.shape[1])])
                for row in Y.tolist():
                    w.writerow([repr(v) if isinstance(v, float) else v for v in row])
        else:
            raise InputError("--out %s: the name must end in .npy or .csv" % path)
    except OSError as e:
        raise InputError("cannot write %s: %s" % (path, e.strerror or e)) from None


# --------------------------------------------------------------------------------------------
# Command line


def _fraction(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number: %r" % text) from None
    if not 0.0 < value < 1.0:
        raise argparse.ArgumentTypeError("must lie strictly between 0 and 1, got %s" % text)
    return value


def make_parser():
    p = argparse.ArgumentParser(
        prog="tabrix-libs",
        description="Fit a preprocessing pipeline of tabrix_libs transformers to a CSV file, train a "
                    "scikit-learn model on a training split and report each step and the held-out score. "
                    "Without FILE, runs on the bundled Palmer penguins data (target: species).")
    p.add_argument("file", nargs="?", help="CSV file with a header line (default: the bundled penguins data)")
    p.add_argument("--target", help="column to predict (default: species for the bundled data, else the last column)")
    p.add_argument("--float-columns", metavar="COLS", help="comma-separated names or 0-based positions of columns "
                   "holding numbers written as strings (overrides the guess)")
    p.add_argument("--char-columns", metavar="COLS", help="columns holding character strings (categories)")
    p.add_argument("--bool-columns", metavar="COLS", help="columns holding true/false values")
    p.add_argument("--missing", metavar="MARKERS",
                   help="comma-separated strings that mark a missing cell (default: the package's list: "
                        "empty, ?, NA, N/A, n/a, NaN, nan, NULL, null, None)")
    p.add_argument("--encoding", choices=("ordinal", "onehot-dense"), default="ordinal",
                   help="encoding of the categorical columns (default: ordinal)")
    p.add_argument("--scale", action="store_true", help="standardise the numeric columns")
    p.add_argument("--task", choices=("auto", "classification", "regression"), default="auto",
                   help="model kind; auto: classification for a non-numeric target or one with few "
                        "distinct integral values")
    p.add_argument("--test-size", type=_fraction, default=0.25, help="held-out fraction of the rows (default 0.25)")
    p.add_argument("--seed", type=int, default=0, help="seed of the split and the model (default 0)")
    p.add_argument("--out", metavar="FILE", help="write the whole file transformed by the fitted pipeline, "
                   "in row order, as .npy or .csv")
    p.add_argument("--save-pipeline", metavar="FILE", help="save the fitted pipeline and model with joblib; "
                   "it takes an object array of the non-target columns as strings")
    p.add_argument("--debug", action="store_true", help="switch on the transformers' trace lines (stdout)")
    p.add_argument("--timings", action="store_true", help="trace lines with elapsed times (implies --debug)")
    p.add_argument("--no-progress", action="store_true", help="never show the progress bar")
    return p


def run(args, out=None, err=None):
    import numpy as np

    out = out if out is not None else sys.stdout
    err = err if err is not None else sys.stderr
    from tabrix_libs.transformers import exportable as ex
    from tabrix_libs.utils.exportable_utils import global_missing_values_reference_list

    path = args.file or DEFAULT_DATA
    shown = path if args.file else "the bundled penguins data"
    if args.missing is not None:
        missing = [m.strip() for m in args.missing.split(",")]
    else:
        missing = [m for m in global_missing_values_reference_list if isinstance(m, str)]
    missing_set = frozenset(missing)

    try:
        size = os.path.getsize(path)
    except OSError:
        size = 0
    progress = Progress(not args.no_progress and size >= PROGRESS_MIN_BYTES and _isatty(err), err)

    started = time.perf_counter()
    names, rows = read_csv(path, progress)
    read_seconds = time.perf_counter() - started
    if args.target is not None:
        target = args.target
    else:
        target = DEFAULT_TARGET if args.file is None else names[-1]
    if target not in names:
        raise InputError("no column %r in %s (columns: %s)" % (target, shown, ", ".join(names)))
    if len(names) < 2:
        raise InputError("%s has no column besides the target %r" % (path, target))

    table = np.array(rows, dtype=object)
    t = names.index(target)
    y_text = table[:, t]
    keep = np.array([v not in missing_set for v in y_text.tolist()], dtype=bool)
    if not keep.any():
        raise InputError("target column %r holds only missing values" % target)
    features = [n for j, n in enumerate(names) if j != t]
    X_all = np.delete(table, t, axis=1)

    def positions(spec, option):
        found = resolve_columns(spec, names, option)
        if t in found:
            raise InputError("%s: %r is the target column" % (option, target))
        return [j - (j > t) for j in found]

    tags = tag_columns(X_all, features, missing_set,
                       positions(args.float_columns, "--float-columns"),
                       positions(args.char_columns, "--char-columns"),
                       positions(args.bool_columns, "--bool-columns"))

    kind = target_kind(y_text[keep].tolist(), args.task)
    X = X_all[keep]
    y = y_text[keep]
    if kind == "regression":
        try:
            y = y.astype(float)
        except ValueError:
            raise InputError("target column %r is not numeric; it cannot be used for regression" % target) from None
    else:
        y = y.astype(str)
    if X.shape[0] < 4:
        raise InputError("%s has %d rows with a target value; at least 4 are needed" % (path, X.shape[0]))
    train, test = split_rows(X.shape[0], y, kind, args.test_size, args.seed)

    saved_flags = (ex.debug, ex.debug_timings)
    ex.debug = bool(args.debug or args.timings)
    ex.debug_timings = bool(args.timings)
    try:
        pipeline = build_pipeline(tags, missing, args.encoding, args.scale)
        fit_table, apply_table = [], []
        Xt_train = run_pipeline(pipeline, X[train], True, fit_table, progress)
        Xt_test = run_pipeline(pipeline, X[test], False, apply_table, progress)
        progress.update("training the model", 1.0)
        model = make_model(kind, args.seed)
        start = time.perf_counter()
        model.fit(Xt_train, y[train])
        train_seconds = time.perf_counter() - start
        score = model.score(Xt_test, y[test])
        if args.out:
            Y_all = pipeline.transform(X_all)
            write_output(args.out, Y_all, feature_names(pipeline, features, tags))
    finally:
        ex.debug, ex.debug_timings = saved_flags
        progress.close()

    counts = {tag: tags.count(tag) for tag in (FLOAT, CHAR, BOOL)}
    print("data: %s, %d rows x %d columns, read in %.3f s" % (shown, len(rows), len(names), read_seconds), file=out)
    print("target: %s (%s), %d rows with a value; train %d, held out %d"
          % (target, kind, X.shape[0], len(train), len(test)), file=out)
    print("columns: %d numeric (float_str), %d categorical (char_str), %d boolean (bool_str)"
          % (counts[FLOAT], counts[CHAR], counts[BOOL]), file=out)
    print(file=out)
    print_table("fit on the training split", fit_table, out)
    print(file=out)
    print_table("transform of the held-out split", apply_table, out)
    print(file=out)
    measure = "accuracy" if kind == "classification" else "R^2"
    print("model: %s, trained in %.3f s on %s float32 features"
          % (type(model).__name__, train_seconds, Xt_train.shape[1]), file=out)
    print("held-out %s: %.4f" % (measure, score), file=out)
    if args.out:
        print("transformed data written to %s" % args.out, file=out)
    if args.save_pipeline:
        from sklearn.pipeline import Pipeline
        import joblib

        try:
            joblib.dump(Pipeline([("preprocess", pipeline), ("model", model)]), args.save_pipeline)
        except OSError as e:
            raise InputError("cannot write %s: %s" % (args.save_pipeline, e.strerror or e)) from None
        print("pipeline saved to %s" % args.save_pipeline, file=out)
    return score


def _isatty(stream):
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


def main(argv=None):
    parser = make_parser()
    args = parser.parse_args(argv)
    try:
        run(args)
    except InputError as e:
        print("tabrix-libs: error: %s" % e, file=sys.stderr)
        return EXIT_INPUT
    except KeyboardInterrupt:
        print("tabrix-libs: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of our output went away (`tabrix-libs | head`): stop quietly, and keep the
        # interpreter's final flush from reporting it.
        try:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        except (OSError, ValueError, AttributeError):
            pass
        return EXIT_FAILURE
    except Exception as e:  # one line, never a traceback: the message names the failing step
        text = str(e).strip().splitlines()
        print("tabrix-libs: failed: %s: %s" % (type(e).__name__, text[0] if text else ""), file=sys.stderr)
        return EXIT_FAILURE
    return 0
