"""A saved pipeline and model applied to blocks of rows read from tables (CSV or Parquet: the
blocks are the same object arrays of str): the work of `tabrix-libs --apply`, the same in one
process and on each Dask worker.

    from tabrix_libs import saved
    from tabrix_libs.predict import BlockPredictor
    from tabrix_libs.tableio import CsvReader

    pipeline, record = saved.load("model.skops")
    with CsvReader("new.csv") as reader:
        job = BlockPredictor(pipeline, record, reader.header, "new.csv")
        for block in reader.blocks(100000):
            columns = job.predict(block)          # prediction (and probabilities) per row
            text = job.format(block, columns)     # the rows and their predictions, as CSV
"""

from tabrix_libs import _model
from tabrix_libs import saved as saving
from tabrix_libs.errors import InputError
from tabrix_libs.pipeline import (
    StepError,
    count_steps,
    feature_names,
    out_of_range,
    out_of_range_text,
    run_pipeline,
)


def _unique(name, taken):
    while name in taken:
        name += "_"
    taken.add(name)
    return name


def output_names(header, model, proba):
    """The columns added to the input's: `prediction`, and with proba one `proba_CLASS` per class
    (a name already taken gets a `_` appended)."""
    taken = set(header)
    names = [_unique("prediction", taken)]
    names += [_unique("proba_%s" % c, taken) for c in (model.classes_ if proba else ())]
    return names


def _text_column(values):
    """A column of predictions as format_rows takes it: floats as a float64 array (written as
    repr() writes them, an exact round trip), anything else as a list of str."""
    import numpy as np

    if values.dtype.kind == "f":
        return values.astype(np.float64, copy=False)
    if values.dtype.kind == "U":
        return values.tolist()
    return [
        v if type(v) is str else repr(v) if isinstance(v, float) else str(v)
        for v in values.tolist()
    ]


class BlockPredictor:
    """Predicts the saved model's target for blocks of rows of a file with the given header.

    The file's columns are matched by name to the saved ones (a missing or extra column raises
    InputError), the target column is optional. `n_jobs` threads predict each block (default:
    every core; 1 in a Dask worker, whose process has cores of its own to share)."""

    def __init__(self, saved, record, header, path, proba=False, n_jobs=None):
        self.preprocess, self.model = saved.steps[0][1], saved.steps[1][1]
        self.record, self._layout = record, None
        self.columns, self.target = saving.match_columns(header, record, path)
        self.path, self.proba, self.n_jobs = path, proba, n_jobs
        self.names = output_names(header, self.model, proba)
        self.steps = count_steps(self.preprocess)

    def predict(self, block, first_row=1, on_step=None):
        """The columns to write after the block's rows: the predictions, then with proba each
        class's probabilities. A value a step cannot take raises InputError naming the file, the
        data rows (counted from `first_row`) and the step. `on_step(label, fraction)` follows
        the work."""
        import numpy as np

        on_step = on_step or (lambda label, fraction: None)
        X = block[:, self.columns]
        try:
            Xt = run_pipeline(
                self.preprocess,
                X,
                False,
                [],
                lambda label, k: on_step("transforming", k / (self.steps + 1)),
            )
        except StepError as e:
            found = out_of_range(e)
            if found is not None:
                row, column, value = found
                names = feature_names(self.preprocess, self.record["columns"], self.record["tags"])
                raise InputError(
                    out_of_range_text(
                        "%s, data row %d" % (self.path, first_row + row),
                        names[column] if names and column < len(names) else None,
                        value,
                    )
                ) from None
            raise InputError(
                "%s, data rows %d to %d: %s" % (self.path, first_row, first_row + len(block) - 1, e)
            ) from None
        on_step("predicting", self.steps / (self.steps + 1))
        if not self.proba:
            return [_text_column(_model.predict_rows(self.model, Xt, n_jobs=self.n_jobs))]
        proba = _model.predict_rows(self.model, Xt, proba=True, n_jobs=self.n_jobs)
        # What the forest's own predict does with the same probabilities.
        labels = self.model.classes_.take(np.argmax(proba, axis=1), axis=0)
        return [_text_column(labels)] + [p for p in proba.T.astype(np.float64, copy=False)]

    def score_part(self, block, columns, score):
        """Adds the block's predictions against its target column (when present) to `score`."""
        if self.target is not None:
            score.add(block[:, self.target].tolist(), columns[0])

    def summarize(self, block, columns):
        """The summary of the block's saved columns and of its predictions (`columns`, as
        predict returned them), for --report (tabrix_libs.summary)."""
        from tabrix_libs import summary

        if self._layout is None:
            self._layout = summary.Layout.of_pipeline(
                self.preprocess,
                self.record,
                self.model,
                summary.saved_summary(self.record, self.record["columns"], self.record["tags"]),
            )
        return summary.summarize(block[:, self.columns], self._layout, predictions=columns)

    def format(self, block, columns):
        """The block's rows followed by the columns, as CSV text (UTF-8 bytes)."""
        from tabrix_libs import _tableio

        return _tableio.format_rows(block, columns)
