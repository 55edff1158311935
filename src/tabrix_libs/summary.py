"""Per-column summaries of the rows a pipeline sees, for the pages of `tabrix-libs --report`:
computed a block of rows at a time, merged, and small enough to be saved with the pipeline.

    from tabrix_libs import summary

    layout = summary.Layout.of_saved(saved, record)        # what the pipeline does to each column
    total = None
    for block in blocks:                               # 2-D object arrays of str
        part = summary.summarize(block[:, columns], layout, predictions)
        total = summary.merge(total, part)

A summary holds plain Python values (dicts, lists, str, int, float, None), so it can be saved in
a .skops file and sent back by a Dask worker. Every figure in it is a count, a minimum or a
maximum, so merging is exact: the same rows cut into other blocks give the same summary, and a
page made on a Dask cluster is the one made in one process. Lists of distinct values are kept up
to CAP values; beyond that they are None, whatever the cut.

A column summary (one per column, in the record's order) holds:

- `cells`; `missing`: {marker: cells} for the missing markers found;
- text and boolean columns: `values`, {value: cells} of the other values as read; `cleaned`,
  {value: cells} after the pipeline's cleaning (case folding and punctuation for text, true and
  false for booleans); `cleaned_from`, {value as read: value cleaned} for the values cleaning
  changes (None past CAP values as read); `cleaned_missing`, cells that cleaning made into a
  missing marker; `unseen` and `unseen_values`, cells whose cleaned value was never met in
  training (None where the training categories are not known);
- number columns: `numbers` (cells read as numbers), `bad` and `bad_values` (cells that are not
  numbers nor missing markers), `min` and `max` of the finite numbers, and with histogram edges
  `hist` (cells per bin), `below` and `above` (numbers outside the edges, which span the
  training range).
"""

import math

from tabrix_libs.pipeline import BOOL, CHAR, FLOAT

VERSION = 1
# Distinct values kept per column (and per list of a column) before the list is given up.
CAP = 1000
# Bins of every histogram; the bins of a number column span its training range.
BINS = 20
# Values of each list kept in the summary saved with a pipeline.
SAVED_VALUES = 30


def _value_counts(column, kept=()):
    from tabrix_libs import _tableio

    return _tableio.value_counts(column, CAP, list(kept))


def _add_counts(a, b):
    """The union of two {value: count} lists, None when either is or when past CAP."""
    if a is None or b is None:
        return None
    out = dict(a)
    for k, v in b.items():
        out[k] = out.get(k, 0) + v
    return out if len(out) <= CAP else None


def _counts_dict(values, counts):
    return {v: int(c) for v, c in zip(values, counts.tolist()) if c}


# --------------------------------------------------------------------------------------------
# What the pipeline does to each column


class Layout:
    """The columns of a block and what the pipeline does to them: names, tags, the missing
    markers, how text is cleaned, the training categories of each text column (when known)
    and the histogram edges of each number column; and the model's task, classes and the
    edges of a regression's predictions."""

    def __init__(
        self,
        names,
        tags,
        missing,
        compress_type="string",
        known=None,
        edges=None,
        task=None,
        classes=None,
        target_edges=None,
    ):
        self.names, self.tags = list(names), list(tags)
        self.missing = list(dict.fromkeys(missing))  # each marker once
        self.compress_type = compress_type
        self.known = known or {}  # column position -> set of training categories
        self.edges = edges or {}  # column position -> BINS + 1 floats
        self.task, self.classes, self.target_edges = task, classes, target_edges

    @classmethod
    def of_pipeline(cls, preprocess, record, model=None, saved_summary=None):
        """The layout of a fitted pipeline of pipeline.build_pipeline and its record; the edges
        come from the training summary saved with it (none for a file saved without one)."""
        tags = record["tags"]
        compress = _step(preprocess, "compress")
        known = {}
        unseen = _step(preprocess, "branches", "cat", "unseen")
        cat = [j for j, t in enumerate(tags) if t == CHAR]
        lists = getattr(unseen, "known_values_list", None)
        if isinstance(lists, list) and len(lists) == len(cat):
            for j, values in zip(cat, lists):
                known[j] = {v for v in values if isinstance(v, str)}
        for j, t in enumerate(tags):
            if t == BOOL:
                known[j] = {"true", "false"}
        edges, target_edges = {}, None
        if saved_summary is not None:
            for j, col in enumerate(saved_summary["columns"]):
                if col.get("edges"):
                    edges[j] = col["edges"]
            target_edges = saved_summary["target"].get("edges")
        classes = None
        if model is not None and record["task"] == "classification":
            classes = [str(c) for c in model.classes_]
        elif model is not None and target_edges is None:
            target_edges = _prediction_edges(model)
        return cls(
            record["columns"],
            tags,
            record["missing"],
            getattr(compress, "compress_type", "string"),
            known,
            edges,
            record["task"],
            classes,
            target_edges,
        )

    @classmethod
    def of_saved(cls, saved, record):
        """The layout of a pipeline saved by the command (saved.load's Pipeline and record)."""
        found = saved_summary(record, record["columns"], record["tags"])
        return cls.of_pipeline(saved.steps[0][1], record, saved.steps[1][1], found)


def _step(est, *names):
    """A step of nested Pipelines and FeatureUnions by name, or None."""
    for name in names:
        parts = getattr(est, "named_steps", None)
        if parts is None:
            parts = dict(getattr(est, "transformer_list", ()))
        est = parts.get(name) if hasattr(parts, "get") else None
        if est is None:
            return None
    return est


def make_edges(low, high):
    """BINS equal bins from low to high (a bin of width 1 around a single value); None for no
    numbers."""
    if low is None or high is None:
        return None
    if low == high:
        low, high = low - 0.5, high + 0.5
    step = (high - low) / BINS
    return [low + k * step for k in range(BINS)] + [high]


def _prediction_edges(model):
    """Edges spanning every value a forest regressor can predict: its leaves' values."""
    try:
        leaves = [est.tree_.value.ravel() for est in model.estimators_]
        low = min(float(v.min()) for v in leaves)
        high = max(float(v.max()) for v in leaves)
    except (AttributeError, ValueError, TypeError):
        return None
    return make_edges(low, high)


# --------------------------------------------------------------------------------------------
# One block


def summarize(X, layout, predictions=None, target=None):
    """The summary of a block: X a 2-D object array of str with the layout's columns in order;
    `predictions` the columns BlockPredictor.predict returns for it (the predicted values,
    then one array of probabilities per class), or `target` the target values of training
    rows (str labels, or floats for a regression)."""
    import numpy as np

    X = np.asarray(X, dtype=object)
    if X.ndim != 2 or X.shape[1] != len(layout.names):
        raise ValueError(
            "a block of %d columns is summarized, got shape %r" % (len(layout.names), X.shape)
        )
    out = {
        "rows": int(X.shape[0]),
        "columns": [_column(X[:, j], j, layout) for j in range(X.shape[1])],
    }
    if predictions is not None:
        out["predictions"] = _predictions(predictions, layout)
    if target is not None:
        out["target"] = _target(target, layout)
    return out


def _column(col, j, layout):
    import numpy as np

    tag, markers = layout.tags[j], layout.missing
    values, counts, over = _value_counts(col, markers)
    k = len(markers)
    out = {
        "cells": int(len(col)),
        "missing": _counts_dict(values[:k], counts[:k]),
    }
    distinct = None if over else np.array(values[k:], dtype=object)
    weights = None if over else counts[k:]
    if tag == FLOAT:
        out.update(_numbers(col, distinct, weights, markers, layout.edges.get(j)))
        return out
    out["values"] = None if over else _counts_dict(values[k:], weights)
    raw_missing = int(counts[:k].sum())
    out.update(_categories(col, distinct, weights, tag, layout, layout.known.get(j), raw_missing))
    return out


def _clean(values, tag, layout):
    """The values (a 1-D object array of str) as the pipeline's cleaning leaves them: text
    case-folded without spaces and punctuation, booleans as "true" or "false" (other values
    unchanged)."""
    import numpy as np

    from tabrix_libs.utils import exportable_utils as eu

    if tag == CHAR:
        return eu.compress_str_column(values, layout.missing, layout.compress_type)
    floats = eu.numpy_boolean2float(values)
    out = np.array(values, dtype=object)
    out[floats == 1.0] = "true"
    out[floats == 0.0] = "false"
    return out


def _categories(col, distinct, weights, tag, layout, known, raw_missing):
    """The text or boolean part of a column summary; raw_missing is the number of cells that
    are missing markers as read."""
    if distinct is None:
        return _categories_per_cell(col, tag, layout, known, raw_missing)
    markers = set(layout.missing)
    counts = {}
    cleaned = _clean(distinct, tag, layout).tolist() if len(distinct) else []
    for value, n in zip(cleaned, weights.tolist()):
        counts[value] = counts.get(value, 0) + n
    made_missing = sum(c for v, c in counts.items() if v in markers)
    changed = {v: c for v, c in zip(distinct.tolist(), cleaned) if v != c}
    cleaned = {v: c for v, c in counts.items() if v not in markers}
    out = {"cleaned": cleaned, "cleaned_from": changed, "cleaned_missing": int(made_missing)}
    if known is None:
        out["unseen"] = out["unseen_values"] = None
    else:
        unseen = {v: c for v, c in cleaned.items() if v not in known}
        out["unseen"] = int(sum(unseen.values()))
        out["unseen_values"] = unseen
    return out


def _categories_per_cell(col, tag, layout, known, raw_missing):
    """_categories past CAP distinct values as read: every cell cleaned, with the markers and
    the known categories always counted, so that the unseen cells are counted whatever the
    values. (Cleaning leaves the markers as read as they are.)"""
    import numpy as np

    markers = set(layout.missing)
    cleaned = _clean(col, tag, layout)
    kept = list(layout.missing) + sorted(set(known or ()) - markers)
    values, n, over = _value_counts(cleaned, kept)
    counts = _counts_dict(values, n)
    as_missing = sum(counts.get(m, 0) for m in markers)
    present = {v: c for v, c in counts.items() if v not in markers}
    out = {
        "cleaned": None if over or len(present) > CAP else present,
        "cleaned_from": None,
        "cleaned_missing": as_missing - raw_missing,
    }
    if known is None:
        out["unseen"] = out["unseen_values"] = None
        return out
    seen = sum(counts.get(v, 0) for v in known if v not in markers)
    out["unseen"] = len(col) - as_missing - seen
    if out["cleaned"] is not None:
        out["unseen_values"] = {v: c for v, c in present.items() if v not in known}
        return out
    skip = markers | set(known)
    mask = np.fromiter(map(skip.__contains__, cleaned.tolist()), bool, len(cleaned))
    values, n, over = _value_counts(cleaned[~mask])
    out["unseen_values"] = None if over else _counts_dict(values, n)
    return out


def _numbers(col, distinct, weights, markers, edges):
    """The number part of a column summary: the values parsed as the pipeline parses them."""
    import numpy as np

    from tabrix_libs.utils import exportable_utils as eu

    if distinct is not None:
        parsed = eu.numpy_floatstr2float(distinct, markers) if len(distinct) else np.zeros(0)
        w = weights
        bad_mask = np.isnan(parsed)
        bad_values = _counts_dict(distinct[bad_mask].tolist(), w[bad_mask])
        bad = int(w[bad_mask].sum())
    else:
        parsed = eu.numpy_floatstr2float(col, markers)
        w = None
        nan = np.isnan(parsed)
        values, counts, over = _value_counts(col[nan], markers)
        k = len(markers)
        bad = int(nan.sum()) - int(counts[:k].sum())
        bad_values = None if over else _counts_dict(values[k:], counts[k:])
    present = ~np.isnan(parsed)
    finite = np.isfinite(parsed)
    numbers = int(present.sum() if w is None else w[present].sum())
    out = {
        "numbers": numbers,
        "bad": bad,
        "bad_values": bad_values,
        "min": float(parsed[finite].min()) if finite.any() else None,
        "max": float(parsed[finite].max()) if finite.any() else None,
        "hist": None,
        "below": None,  # not known without the training range
        "above": None,
        "edges": edges,
    }
    if edges is not None:
        v = parsed[present]
        ww = None if w is None else w[present]
        out["hist"], out["below"], out["above"] = _histogram(v, ww, edges)
    return out


def _histogram(v, weights, edges):
    """Cells per bin of `edges` (the last bin holds its upper edge), and the cells below and
    above them."""
    import numpy as np

    e = np.asarray(edges, dtype=np.float64)
    below = v < e[0]
    above = v > e[-1]
    inside = ~(below | above)
    bins = np.minimum(np.searchsorted(e, v[inside], side="right") - 1, len(e) - 2)
    if weights is None:
        hist = np.bincount(bins, minlength=len(e) - 1)
        return hist.tolist(), int(below.sum()), int(above.sum())
    hist = np.bincount(bins, weights=weights[inside], minlength=len(e) - 1)
    return (
        [int(h) for h in hist.tolist()],
        int(weights[below].sum()),
        int(weights[above].sum()),
    )


def _predictions(columns, layout):
    """The predicted values: per class counts and, with probabilities, per class histograms
    over [0, 1]; for a regression a histogram over the edges of the layout."""
    import numpy as np

    if layout.task == "classification":
        labels = columns[0]
        values, counts, _ = _value_counts(labels if isinstance(labels, list) else list(labels))
        out = {"counts": _counts_dict(values, counts)}
        if len(columns) > 1:
            out["proba"] = {
                c: np.bincount(
                    np.minimum((np.asarray(p) * BINS).astype(np.int64), BINS - 1),
                    minlength=BINS,
                ).tolist()
                for c, p in zip(layout.classes or [], columns[1:])
            }
        return out
    v = np.asarray(columns[0], dtype=np.float64)
    return _number_spread(v, layout.target_edges)


def _number_spread(v, edges):
    import numpy as np

    finite = v[np.isfinite(v)]
    out = {
        "min": float(finite.min()) if finite.size else None,
        "max": float(finite.max()) if finite.size else None,
        "hist": None,
        "below": None,
        "above": None,
        "edges": edges,
    }
    if edges is not None:
        out["hist"], out["below"], out["above"] = _histogram(finite, None, edges)
    return out


def _target(y, layout):
    """The training target: counts per class, or the spread of a regression's values."""
    import numpy as np

    if layout.task == "classification":
        labels = np.asarray(y)
        labels = (
            labels.astype(object) if labels.dtype.kind == "U" else labels.astype(str).astype(object)
        )
        values, counts, _ = _value_counts(labels)
        return {"counts": _counts_dict(values, counts)}
    return _number_spread(np.asarray(y, dtype=np.float64), layout.target_edges)


# --------------------------------------------------------------------------------------------
# Merging


def merge(a, b):
    """The summary of the rows of two summaries (of the same layout); None is no rows."""
    if a is None:
        return b
    if b is None:
        return a
    out = {
        "rows": a["rows"] + b["rows"],
        "columns": [_merge_dicts(x, y) for x, y in zip(a["columns"], b["columns"])],
    }
    for key in ("predictions", "target"):
        if key in a or key in b:
            out[key] = _merge_dicts(a.get(key), b.get(key))
    return out


# How merge() adds up each entry of a summary's dicts.
_CAPPED = ("values", "cleaned", "bad_values", "unseen_values")
_MAPS = ("cleaned_from",)  # value as read -> value cleaned: the same in every block
_UNCAPPED = ("missing", "counts")  # markers and classes: few


def _merge_dicts(a, b):
    if a is None:
        return b
    if b is None:
        return a
    out = {}
    for key in set(a) | set(b):
        x, y = a.get(key), b.get(key)
        if key in ("min", "max"):
            both = [v for v in (x, y) if v is not None]
            out[key] = (min if key == "min" else max)(both) if both else None
        elif key == "edges":
            out[key] = x if x is not None else y
        elif key in _CAPPED:
            out[key] = _add_counts(x, y)
        elif key in _MAPS:
            out[key] = None if x is None or y is None else {**x, **y}
            if out[key] is not None and len(out[key]) > CAP:
                out[key] = None
        elif key in _UNCAPPED:
            out[key] = dict(x or {})
            for k, v in (y or {}).items():
                out[key][k] = out[key].get(k, 0) + v
        elif key == "hist":
            out[key] = None if x is None or y is None else [p + q for p, q in zip(x, y)]
        elif key == "proba":
            out[key] = {c: [p + q for p, q in zip(x[c], y[c])] for c in x}
        elif isinstance(x, dict) or isinstance(y, dict):
            out[key] = _merge_dicts(x, y)
        else:  # counts of cells; None where not known
            out[key] = None if x is None or y is None else x + y
    if "values" in out and out["values"] is None and "cleaned_from" in out:
        out["cleaned_from"] = None  # known only while every value as read is
    return out


# --------------------------------------------------------------------------------------------
# The training summary saved with a pipeline


def training(X, layout, y=None):
    """The summary of the training rows X (and their target y), with histogram edges spanning
    their numbers: it sets the layout's edges."""
    import numpy as np

    from tabrix_libs.utils import exportable_utils as eu

    for j, tag in enumerate(layout.tags):
        if tag == FLOAT:
            v = eu.numpy_floatstr2float(X[:, j], layout.missing) if len(X) else np.zeros(0)
            v = v[np.isfinite(v)]
            layout.edges[j] = make_edges(
                float(v.min()) if v.size else None, float(v.max()) if v.size else None
            )
    if y is not None and layout.task != "classification":
        v = np.asarray(y, dtype=np.float64)
        v = v[np.isfinite(v)]
        layout.target_edges = make_edges(
            float(v.min()) if v.size else None, float(v.max()) if v.size else None
        )
    return summarize(X, layout, target=y)


def for_saving(summary):
    """The training summary as saved with the pipeline: each list of values cut to its
    SAVED_VALUES most frequent, with the number of distinct values beside it."""
    out = {"version": VERSION, "rows": summary["rows"], "target": summary.get("target") or {}}
    columns = []
    for col in summary["columns"]:
        c = dict(col)
        c.pop("cleaned_from", None)
        for key in ("values", "cleaned", "bad_values", "unseen_values"):
            if c.get(key) is not None:
                c[key + "_distinct"] = len(c[key])
                c[key] = top(c[key], SAVED_VALUES)
        columns.append(c)
    out["columns"] = columns
    return out


def top(counts, n):
    """The n most frequent entries of {value: count}, most frequent first (ties by value)."""
    if counts is None:
        return None
    return dict(sorted(counts.items(), key=lambda kv: (-kv[1], kv[0]))[:n])


def saved_summary(record, columns, tags):
    """The training summary of a loaded record, or None where it has none or it does not fit
    its columns (a file saved before summaries were kept, or edited)."""
    s = record.get("summary")
    try:
        ok = (
            isinstance(s, dict)
            and s.get("version") == VERSION
            and isinstance(s.get("rows"), int)
            and isinstance(s.get("columns"), list)
            and len(s["columns"]) == len(columns)
            and isinstance(s.get("target"), dict)
            and all(_column_ok(c, t) for c, t in zip(s["columns"], tags))
        )
    except (TypeError, KeyError, AttributeError):
        ok = False
    return s if ok else None


def _column_ok(c, tag):
    def counts(d):
        return d is None or (
            isinstance(d, dict)
            and all(isinstance(k, str) and isinstance(v, int) for k, v in d.items())
        )

    def number(x):
        return x is None or (isinstance(x, (int, float)) and math.isfinite(x))

    if not (isinstance(c, dict) and isinstance(c.get("cells"), int) and counts(c.get("missing"))):
        return False
    if tag != FLOAT:
        return counts(c.get("values")) and counts(c.get("cleaned"))
    edges = c.get("edges")
    hist = c.get("hist")
    return (
        number(c.get("min"))
        and number(c.get("max"))
        and (edges is None or (isinstance(edges, list) and len(edges) == BINS + 1))
        and (edges is None or all(number(e) for e in edges))
        and (hist is None or (isinstance(hist, list) and len(hist) == BINS))
        and (hist is None or all(isinstance(h, int) for h in hist))
    )


# --------------------------------------------------------------------------------------------
# What the fitted pipeline and model hold, for the fit page


def pipeline_facts(preprocess, tags):
    """Per column, what the fitted pipeline keeps of it: the value that replaces a missing
    cell (`imputed`), the categories met (`categories`, text columns), and whether it was
    missing in every training row (`all_missing`: it comes back as zeros)."""
    out = [{"imputed": None, "categories": None, "all_missing": False} for _ in tags]
    cat = [j for j, t in enumerate(tags) if t == CHAR]
    num = [j for j, t in enumerate(tags) if t != CHAR]
    encode = _step(preprocess, "branches", "cat", "encode")
    found = getattr(encode, "categories_found", None)
    if found is not None and len(found) == len(cat):
        for j, values in zip(cat, found):
            out[j]["categories"] = [str(v) for v in list(values)]
    imputer = getattr(_step(preprocess, "branches", "cat", "impute"), "imputer", None)
    stats = getattr(imputer, "statistics_", None)
    if stats is not None and len(stats) == len(cat):
        for j, v in zip(cat, list(stats)):
            out[j]["imputed"] = v if isinstance(v, str) else None
    impute = _step(preprocess, "branches", "num", "impute")
    bad = set(getattr(impute, "bad_columns", None) or ())
    stats = getattr(getattr(impute, "imputer", None), "statistics_", None)
    for k, j in enumerate(num):
        out[j]["all_missing"] = k in bad
    if stats is not None:
        # One value per column (NaN for those missing throughout), or, in scikit-learn releases
        # that drop such columns, one per column kept.
        kept = [j for k, j in enumerate(num) if k not in bad]
        columns = num if len(stats) == len(num) else kept if len(stats) == len(kept) else ()
        for j, v in zip(columns, list(stats)):
            out[j]["imputed"] = float(v) if math.isfinite(float(v)) else None
    return out


def feature_columns(preprocess, tags, width):
    """The input column of each of the `width` features the model takes, or None where the
    pipeline's layout is not the one build_pipeline makes."""
    cat = [j for j, t in enumerate(tags) if t == CHAR]
    num = [j for j, t in enumerate(tags) if t != CHAR]
    encode = _step(preprocess, "branches", "cat", "encode")
    out = []
    if cat:
        found = getattr(encode, "categories_found", None)
        if found is None or len(found) != len(cat):
            return None
        if getattr(encode, "encoding", "ordinal") == "ordinal":
            out.extend(cat)
        else:
            for j, values in zip(cat, found):
                out.extend([j] * len(values))
    out.extend(num)
    return out if len(out) == width else None


# Held-out rows drawn on the predicted-against-actual plot of a regression.
SCATTER_POINTS = 1000


def model_facts(model, kind, y, predicted, preprocess, tags):
    """The held-out rows' results: the confusion matrix of a classifier, or a regression's
    residuals and an even sample of (actual, predicted) pairs; and the forest's importances
    summed per input column."""
    import numpy as np

    out = {"name": type(model).__name__}
    if kind == "classification":
        labels = [str(c) for c in model.classes_]
        out["labels"], out["matrix"] = labels, confusion(labels, y, predicted)
    else:
        y = np.asarray(y, dtype=np.float64)
        p = np.asarray(predicted, dtype=np.float64)
        pick = np.unique(np.linspace(0, len(y) - 1, min(len(y), SCATTER_POINTS)).astype(np.int64))
        out["points"] = [[float(y[i]), float(p[i])] for i in pick.tolist()] if len(y) else []
        residuals = p - y
        low = float(residuals.min()) if len(y) else None
        high = float(residuals.max()) if len(y) else None
        out["residuals"] = _number_spread(residuals, make_edges(low, high))
    importances = getattr(model, "feature_importances_", None)
    columns = (
        feature_columns(preprocess, tags, len(importances)) if importances is not None else None
    )
    if columns is not None:
        sums = [0.0] * len(tags)
        for j, v in zip(columns, importances.tolist()):
            sums[j] += v
        out["importances"] = sums
    return out


def confusion(labels, actual, predicted):
    """Rows of actual labels against columns of predicted ones, as scikit-learn's
    confusion_matrix(actual, predicted, labels=labels) counts them (rows whose labels are not
    among `labels` left out), without its sorting of every row's label."""
    import numpy as np

    order = np.argsort(np.asarray(labels, dtype=str))
    sorted_labels = np.asarray(labels, dtype=str)[order]
    k = len(labels)
    codes = []
    for values in (actual, predicted):
        v = np.asarray(values).astype(str)
        at = np.minimum(np.searchsorted(sorted_labels, v), k - 1)
        codes.append((order[at], sorted_labels[at] == v))
    (a, a_ok), (p, p_ok) = codes
    keep = a_ok & p_ok
    counts = np.bincount(a[keep] * k + p[keep], minlength=k * k)
    return counts.reshape(k, k).tolist()


def tag_reason(col, tag, forced=None):
    """Why a column has its tag, in words, from the summary of its rows (and the option that
    set it, if one did)."""
    from tabrix_libs.pipeline import is_finite_number

    present = col["cells"] - sum(col["missing"].values())
    if forced:
        reason = "set by %s" % forced
        if tag == FLOAT and col.get("bad"):
            reason += "; %d cells are not numbers and become missing" % col["bad"]
        return reason
    if not present:
        return "every cell is a missing marker (such a column counts as numeric)"
    if tag == FLOAT:
        return "all %s values that are not missing markers are numbers" % _count(present)
    if tag == BOOL:
        return "all %s values that are not missing markers are true or false" % _count(present)
    values = col.get("values")
    if values is None:
        return "more than %s distinct values, not all of them numbers" % _count(CAP)
    words = sorted((v for v in values if not is_finite_number(v)), key=lambda v: (-values[v], v))
    examples = ", ".join(repr(v) for v in words[:3])
    return "%s distinct values; %s %s not numbers" % (
        _count(len(values)),
        examples,
        "is" if len(words) == 1 else "are",
    )


def _count(n):
    return "{:,}".format(n)


class Totals:
    """The merged summary of the blocks added so far (None before any)."""

    def __init__(self):
        self.value = None

    def add(self, part):
        self.value = merge(self.value, part)


# --------------------------------------------------------------------------------------------
# What the pages are made of


def fit_facts(preprocess, record, model, X_all, train_rows, y_train, forced=None, page=True):
    """The summaries of a fit: (the training rows' summary, with their target, as saved with the
    pipeline; with page, every row read, with the held-out rows' values unseen in training
    counted, and why each column has its tag). `train_rows` are the positions of the training
    rows in X_all."""
    import numpy as np

    layout = Layout.of_pipeline(preprocess, record, model)
    trained = training(X_all[train_rows], layout, y_train)
    if not page:
        return trained, None, None
    rest = np.ones(len(X_all), dtype=bool)
    rest[train_rows] = False
    data = merge(dict(trained), summarize(X_all[rest], layout))
    data.pop("target", None)
    reasons = [
        tag_reason(col, tag, (forced or {}).get(name))
        for name, tag, col in zip(record["columns"], record["tags"], data["columns"])
    ]
    return trained, data, reasons


def run_facts(args, timings):
    """How to make a page again: the command line, the versions, the seed and the timings."""
    from tabrix_libs import report

    argv = getattr(args, "argv", None)
    return {
        "argv": ["tabrix-libs"] + list(argv) if argv is not None else ["tabrix-libs", "..."],
        "versions": report.versions(),
        "seed": getattr(args, "seed", None),
        "timings": list(timings),
    }


def fit_page_facts(r, args, record, preprocess, data, reasons):
    """What the fit page shows, from the command's run `r` (see cli.fit): the summary of every
    row read, the tags and why, the pipeline's and the model's facts, the step tables."""
    import time

    fit_seconds = sum(row[4] for row in r.fit_table)
    return {
        "shown": r.shown,
        "read": r.read,
        "sample": r.sampled if r.sampled is not None and r.sampled < r.read else None,
        "columns": record["columns"],
        "tags": record["tags"],
        "reasons": reasons,
        "target": r.target,
        "task": r.kind,
        "rows": r.rows,
        "data": data,
        "pipeline": pipeline_facts(preprocess, record["tags"]),
        "steps": {"fit": r.fit_table, "apply": r.apply_table},
        "model": model_facts(r.model, r.kind, r.actual, r.predicted, preprocess, record["tags"]),
        "features": r.features,
        "score": r.score,
        "run": run_facts(
            args,
            [
                ("reading the file", r.read_seconds),
                ("fitting the pipeline", fit_seconds),
                ("transforming the held-out split", sum(row[4] for row in r.apply_table)),
                ("training the model", r.train_seconds),
                ("the run up to the report", time.perf_counter() - r.started),
            ],
        ),
    }


def apply_page_facts(args, saved, record, new, score=None):
    """What the apply page shows: the summary of the new rows, the training summary saved with
    the pipeline (None for a file saved without one), the score on the target column (a
    _model.Score, when the files had it) and the run."""
    return {
        "shown": args.file,
        "saved": args.apply,
        "model": type(saved.steps[1][1]).__name__,
        "classes": [str(c) for c in getattr(saved.steps[1][1], "classes_", ())],
        "target": record["target"],
        "columns": record["columns"],
        "tags": record["tags"],
        "new": new,
        "training": saved_summary(record, record["columns"], record["tags"]),
        "score": None if score is None else score.value,
        "measure": None if score is None else score.measure,
        "run": run_facts(args, []),
    }
