"""The model the command-line tool trains after the pipeline: its kind, the split of the rows,
its training and prediction on every core, and the score of predictions against a target
column, added up a chunk of rows at a time."""

import os

from tabrix_libs.pipeline import is_finite_number

CLASSIFICATION, REGRESSION = "classification", "regression"
# Numeric targets with at most this many distinct integral values are treated as class labels.
MAX_CLASS_LABELS = 10
# predict_rows gives each thread at least this many rows: a forest's prediction has a fixed cost
# per call, so fewer rows are predicted on one thread.
PARALLEL_MIN_ROWS = 20000


def target_kind(values, task="auto"):
    """'classification' or 'regression' for the non-missing target values (strings)."""
    if task != "auto":
        return task
    if not all(is_finite_number(v) for v in values):
        return CLASSIFICATION
    distinct = {float(v) for v in values}
    if len(distinct) <= MAX_CLASS_LABELS and all(d.is_integer() for d in distinct):
        return CLASSIFICATION
    return REGRESSION


def prepare_target(values, missing, task, name):
    """The rows with a target value (a mask), the model kind, and the target as the model takes
    it: floats for a regression, strings for classes."""
    import numpy as np

    from tabrix_libs.tableio import InputError

    missing = frozenset(missing)
    keep = np.array([v not in missing for v in values.tolist()], dtype=bool)
    if not keep.any():
        raise InputError("target column %r holds only missing values" % name)
    kind = target_kind(values[keep].tolist(), task)
    y = values[keep]
    if kind == REGRESSION:
        try:
            return keep, kind, y.astype(float)
        except ValueError:
            raise InputError(
                "target column %r is not numeric; it cannot be used for regression" % name
            ) from None
    return keep, kind, y.astype(str)


def make_model(kind, seed):
    from sklearn.ensemble import RandomForestClassifier, RandomForestRegressor

    cls = RandomForestClassifier if kind == CLASSIFICATION else RandomForestRegressor
    return cls(n_estimators=100, random_state=seed, n_jobs=1)


def cores():
    """The number of cores this process may run on."""
    try:
        return max(len(os.sched_getaffinity(0)), 1)
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def train(model, X, y, n_jobs=None):
    """Fits the forest `model` on every core (or `n_jobs` threads) and leaves it with n_jobs=1,
    as it is saved and applied. A forest with a fixed random_state draws every tree's seed before
    building the trees, so the trees are the same for any number of jobs."""
    model.set_params(n_jobs=n_jobs or cores())
    try:
        model.fit(X, y)
    finally:
        model.set_params(n_jobs=1)
    return model


def predict_rows(model, X, proba=False, n_jobs=None, min_rows=PARALLEL_MIN_ROWS):
    """model.predict(X), or model.predict_proba(X) with proba, on up to `n_jobs` threads
    (default: every core the process may use; n_jobs=1 keeps to the calling thread, as in a Dask
    worker), with every row's result bit for bit that of a one-job prediction.

    The rows are cut into contiguous slices of at least `min_rows` rows, one per thread, and each
    slice is predicted by the model with one job; the results are joined in row order. (A forest
    predicting with several jobs itself adds its trees' outputs in the order the threads finish,
    so its sums may differ in the last bits from one run to the next.) A model with n_jobs other
    than 1 is used through a shallow copy set to one job; the model itself is not changed. Fewer
    than 2 * `min_rows` rows are predicted on the calling thread."""
    import copy

    import numpy as np

    if getattr(model, "n_jobs", None) not in (None, 1):
        model = copy.copy(model)
        model.n_jobs = 1
    method = model.predict_proba if proba else model.predict
    n = X.shape[0]
    jobs = max(1, min(n_jobs or cores(), n // max(min_rows, 1)))
    if jobs == 1:
        return method(X)
    from joblib import Parallel, delayed

    bounds = [n * k // jobs for k in range(jobs + 1)]
    parts = Parallel(n_jobs=jobs, prefer="threads")(
        delayed(method)(X[a:b]) for a, b in zip(bounds[:-1], bounds[1:])
    )
    return np.concatenate(parts)


def split_rows(n, y, kind, test_size, seed):
    """Training and held-out row positions; stratified for classes where every class allows it."""
    import numpy as np
    from sklearn.model_selection import train_test_split

    rows = np.arange(n)
    stratify = None
    if kind == CLASSIFICATION:
        _, counts = np.unique(y, return_counts=True)
        if counts.min() >= 2:
            stratify = y
    try:
        return train_test_split(rows, test_size=test_size, random_state=seed, stratify=stratify)
    except ValueError:
        # Too few rows of some class for a stratified split of this size.
        return train_test_split(rows, test_size=test_size, random_state=seed)


class Score:
    """Accuracy (classification) or R^2 (regression) of predictions against target strings,
    summed over chunks of rows so that the whole column is never held at once. Missing targets
    are left out, and so are targets of a regression that are not numbers (counted apart)."""

    def __init__(self, kind, missing):
        self.kind, self.missing = kind, frozenset(missing)
        self.rows = self.not_numbers = 0
        self.correct = 0
        # Regression: squared error, and the mean and sum of squared deviations of the target
        # merged chunk by chunk (Chan et al.), which stays accurate for large values.
        self.sse = self.mean = self.m2 = 0.0

    def add(self, target, predicted):
        """Adds a chunk: target values (str) and the predictions of the same rows."""
        import operator

        import numpy as np

        n = len(target)
        keep = ~np.fromiter(map(self.missing.__contains__, target), bool, n)
        if self.kind == CLASSIFICATION:
            self.rows += int(keep.sum())
            hits = np.fromiter(map(operator.eq, predicted, target), bool, n)
            self.correct += int((hits & keep).sum())
            return
        numbers = [i for i in np.flatnonzero(keep).tolist() if is_finite_number(target[i])]
        self.not_numbers += int(keep.sum()) - len(numbers)
        if not numbers:
            return
        part = Score(self.kind, ())
        y = np.array([float(target[i]) for i in numbers])
        p = np.asarray(predicted, dtype=float)[numbers]
        part.rows, part.mean = len(y), float(y.mean())
        part.m2 = float(((y - part.mean) ** 2).sum())
        part.sse = float(((y - p) ** 2).sum())
        self.merge(part)

    def merge(self, other):
        """Adds the rows another Score has counted (of another part of the same file)."""
        self.not_numbers += other.not_numbers
        if self.kind == CLASSIFICATION:
            self.rows += other.rows
            self.correct += other.correct
            return
        if not other.rows:
            return
        total = self.rows + other.rows
        delta = other.mean - self.mean
        self.m2 += other.m2 + delta * delta * self.rows * other.rows / total
        self.mean += delta * other.rows / total
        self.rows = total
        self.sse += other.sse

    @property
    def measure(self):
        return "accuracy" if self.kind == CLASSIFICATION else "R^2"

    @property
    def value(self):
        if not self.rows:
            return None
        if self.kind == CLASSIFICATION:
            return self.correct / self.rows
        if self.m2 == 0.0:
            # scikit-learn's convention for a constant target.
            return 1.0 if self.sse == 0.0 else 0.0
        return 1.0 - self.sse / self.m2
