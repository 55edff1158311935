"""The command-line tool's preprocessing pipeline, built from a table of strings: column tags,
the pipeline itself, the names of its output columns, and a walk through its steps that
records the shape and time of each.

    from tabrix_libs.pipeline import build_pipeline, default_missing, tag_columns

    X = np.array(rows, dtype=object)                  # every cell a str
    missing = default_missing()
    tags = tag_columns(X, names, set(missing))
    pipe = build_pipeline(tags, missing).fit(X)       # float32 features out
"""

import math
import re
import time

CHAR, FLOAT, BOOL = "char_str", "float_str", "bool_str"
TAGS = (CHAR, FLOAT, BOOL)
BOOL_WORDS = frozenset(("true", "false"))


def default_missing():
    """The package's missing markers that are strings (empty, ?, NA, N/A, NaN, NULL, None, ...)."""
    from tabrix_libs.utils.exportable_utils import global_missing_values_reference_list

    return [m for m in global_missing_values_reference_list if isinstance(m, str)]


# --------------------------------------------------------------------------------------------
# Column tags


def is_finite_number(text):
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
    if all(is_finite_number(v) for v in present):
        return FLOAT
    return CHAR


def tag_columns(X, names, missing, float_columns=(), char_columns=(), bool_columns=()):
    """One tag per column of the object array X: inferred, then overridden by the positions
    given for each tag."""
    tags = [infer_tag(set(X[:, j].tolist()), missing) for j in range(X.shape[1])]
    for positions, tag in ((float_columns, FLOAT), (char_columns, CHAR), (bool_columns, BOOL)):
        for j in positions:
            tags[j] = tag
    return tags


# --------------------------------------------------------------------------------------------
# The pipeline


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
        branches.append(
            (
                "cat",
                Pipeline(
                    [
                        ("select", ex.NumpyColumnSelector(cat)),
                        (
                            "unseen",
                            ex.NumpyReplaceUnknownValues(
                                filling_values=np.nan, missing_values_reference_list=missing
                            ),
                        ),
                        ("impute", ex.CatImputer("most_frequent", np.nan)),
                        ("encode", ex.CatEncoder(encoding, "auto", np.float64, "ignore")),
                    ]
                ),
            )
        )
    if num:
        branches.append(
            (
                "num",
                Pipeline(
                    [
                        ("select", ex.ColumnSelector(num)),
                        ("bool", ex.boolean2float()),
                        ("impute", ex.NumImputer("mean", np.nan)),
                        ("scale", ex.OptStandardScaler(use_scaler_flag=scale)),
                    ]
                ),
            )
        )
    return Pipeline(
        [
            (
                "compress",
                ex.CompressStrings(dtypes_list=list(tags), misslist_list=[missing] * len(tags)),
            ),
            ("missing", ex.NumpyReplaceMissingValues(missing, np.nan)),
            ("floats", ex.FloatStr2Float(list(tags), missing)),
            ("branches", FeatureUnion(branches)),
            ("float32", ex.float32_transform()),
        ]
    )


def feature_names(pipeline, names, tags):
    """Names of the output columns of a fitted pipeline: numeric columns by name, categorical ones
    by name (ordinal) or name=category (one-hot). None where the layout is not known."""
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
# Walking the steps


_OUT_OF_RANGE = re.compile(
    r"row (\d+), column (\d+) holds (.+?), which is beyond the float32 range"
)


def out_of_range(error):
    """(row, column, value) of the cell the float32 step refused as beyond float32's range, from
    the StepError raised for it: the row and column of that step's input (0-based) and the value
    as written in the message. None for any other failure."""
    cause = getattr(error, "__cause__", None)
    found = _OUT_OF_RANGE.search(str(cause)) if cause is not None else None
    if found is None:
        return None
    return int(found.group(1)), int(found.group(2)), found.group(3)


def out_of_range_text(where, column, value):
    """The one-line message for a value the model cannot take, once its input column is known."""
    return (
        "%s, column %s: %s is beyond the range the model takes (float32: finite values within "
        "+-3.4028235e+38)" % (where, repr(column) if column is not None else "?", value)
    )


class StepError(Exception):
    """A step of the pipeline failed; `step` names it, `__cause__` holds the failure."""

    def __init__(self, step, cls, error):
        super().__init__("step %s (%s): %s" % (step, cls, _first_line(error)))
        self.step = step


def _first_line(error):
    lines = str(error).strip().splitlines()
    return "%s: %s" % (type(error).__name__, lines[0] if lines else "")


def _shape_text(A):
    shape = getattr(A, "shape", None)
    if shape is None:
        return "?"
    return "x".join(str(n) for n in shape)


def _live(est):
    """The sub-steps that run: Pipeline steps and FeatureUnion parts, without the skipped ones."""
    from sklearn.pipeline import FeatureUnion, Pipeline

    if isinstance(est, Pipeline):
        return [
            (n, s)
            for n, s in est.steps
            if s is not None and not (isinstance(s, str) and s == "passthrough")
        ]
    if isinstance(est, FeatureUnion):
        return [
            (n, t)
            for n, t in est.transformer_list
            if t is not None and not (isinstance(t, str) and t == "drop")
        ]
    return None


def count_steps(est):
    """The number of transformers that run_pipeline calls for `est`."""
    parts = _live(est)
    return 1 if parts is None else sum(count_steps(s) for _, s in parts)


def run_pipeline(est, X, fit, table, on_step=None, name="", _done=None):
    """Fits (fit=True) or applies each step of `est` in turn, as Pipeline and FeatureUnion do,
    and appends one (step, class, shape in, shape out, seconds) row per transformer to table.
    `on_step(label, steps done)` is called before each transformer. A transformer that fails
    raises StepError naming it.

    Walking the steps by hand is what gives the per-step figures; the fitted steps stay in
    `est`, so it can be used (or saved) as an ordinary fitted Pipeline afterwards."""
    import numpy as np
    from scipy import sparse
    from sklearn.pipeline import FeatureUnion, Pipeline

    done = _done if _done is not None else [0]
    if isinstance(est, Pipeline):
        for step_name, step in _live(est):
            X = run_pipeline(step, X, fit, table, on_step, _join(name, step_name), done)
        return X
    if isinstance(est, FeatureUnion):
        parts = [
            run_pipeline(t, X, fit, table, on_step, _join(name, n), done) for n, t in _live(est)
        ]
        start = time.perf_counter()
        Y = (
            sparse.hstack(parts).tocsr()
            if any(sparse.issparse(p) for p in parts)
            else np.hstack(parts)
        )
        table.append(
            (
                _join(name, "join"),
                "FeatureUnion",
                " + ".join(_shape_text(p) for p in parts),
                _shape_text(Y),
                time.perf_counter() - start,
            )
        )
        return Y
    if on_step is not None:
        on_step(("fit " if fit else "apply ") + name, done[0])
    start = time.perf_counter()
    try:
        Y = est.fit(X).transform(X) if fit else est.transform(X)
    except (ValueError, TypeError, IndexError, KeyError, AssertionError) as e:
        raise StepError(name or type(est).__name__, type(est).__name__, e) from e
    table.append(
        (name, type(est).__name__, _shape_text(X), _shape_text(Y), time.perf_counter() - start)
    )
    done[0] += 1
    return Y


def _join(prefix, name):
    return prefix + "/" + name if prefix else name


def print_table(title, table, out):
    """The rows of run_pipeline as an aligned table with a total."""
    head = ("step", "transformer", "in", "out", "seconds")
    rows = [(s, c, i, o, "%.4f" % t) for s, c, i, o, t in table]
    widths = [
        max(len(h), *(len(r[k]) for r in rows)) if rows else len(h) for k, h in enumerate(head)
    ]
    print(title, file=out)
    line = "  ".join(
        h.ljust(w) if k < 4 else h.rjust(w) for k, (h, w) in enumerate(zip(head, widths))
    )
    print(line, file=out)
    print("-" * len(line), file=out)
    for r in rows:
        print(
            "  ".join(
                v.ljust(w) if k < 4 else v.rjust(w) for k, (v, w) in enumerate(zip(r, widths))
            ),
            file=out,
        )
    print(
        "%s  %s"
        % (
            "total".ljust(len(line) - widths[4] - 2),
            ("%.4f" % sum(t[4] for t in table)).rjust(widths[4]),
        ),
        file=out,
    )
