"""The `tabrix-libs` command.

    tabrix-libs [DATA] [--target NAME] [--out FILE.npy|FILE.csv] [--save-pipeline FILE] ...
    tabrix-libs DATA --apply SAVED [--out FILE.csv|FILE.parquet] [--proba] [--chunk-rows N]

The first form fits a preprocessing pipeline of the package's transformers to a table (CSV or
Parquet; by default the bundled Palmer penguins data, predicting the species), trains a
scikit-learn model on a training split, reports each step and the held-out score, and can save
the fitted pipeline and model. The second applies a saved file to new rows and writes one
prediction per row. Every cell is read as a string (a Parquet file's as the text its CSV holds),
so the pipeline does the whole job of turning text into numbers. Every file may be a local path
or a URL (s3://, gs://, az://, http(s)://, memory://, file://), DATA a glob or a folder of
parts.

Problems with the input (unreadable file, empty file, ragged rows, unknown or missing column, a
value the model cannot take, a saved file that is not ours, no such bucket or key, access
denied) end the run with one line on stderr and exit code 2; storage or a cluster that fails
us, with exit code 1; nothing prints a traceback. The pipeline, reading and writing, storage
and saving live in tabrix_libs.pipeline, tabrix_libs.tableio (and .parquet), tabrix_libs.storage
and tabrix_libs.saved; this module parses the arguments and runs the job.
"""

import argparse
import contextlib
import json
import logging
import os
import sys
import time
import types

from tabrix_libs import _model, storage, summary
from tabrix_libs import saved as saving
from tabrix_libs.cluster import ClusterError
from tabrix_libs.errors import StorageUnavailable
from tabrix_libs.pipeline import (
    BOOL,
    CHAR,
    FLOAT,
    StepError,
    build_pipeline,
    count_steps,
    default_missing,
    feature_names,
    out_of_range,
    out_of_range_text,
    print_table,
    run_pipeline,
    tag_columns,
)
from tabrix_libs.sampling import sample_rows
from tabrix_libs.tableio import (
    PENGUINS,
    InputError,
    Progress,
    RowWriter,
    _isatty,
    input_files,
    is_parquet,
    open_table,
    write_transformed,
)

EXIT_INPUT = 2
EXIT_FAILURE = 1

DEFAULT_DATA = PENGUINS
DEFAULT_TARGET = "species"
# Rows read at a time while drawing a --sample-rows sample (the sample does not depend on it).
SAMPLE_CHUNK_ROWS = 65536
# Rows written between two redraws of the progress bar.
WRITE_ROWS = 20000
FIT_DEFAULTS = {"encoding": "ordinal", "task": "auto", "test_size": 0.25, "seed": 0}
FIT_ONLY = (
    "target",
    "float_columns",
    "char_columns",
    "bool_columns",
    "missing",
    "encoding",
    "scale",
    "task",
    "test_size",
    "seed",
    "save_pipeline",
    "sample_rows",
)
APPLY_ONLY = ("proba", "chunk_rows", "dask", "workers", "block_size")
# Options of --apply that --dask takes, and those it does not.
DASK_ONLY = ("workers", "block_size")
NOT_WITH_DASK = {
    "chunk_rows": "--block-size sets the size of the blocks the workers read",
    "debug": "the transformers run in the workers' processes",
    "timings": "the transformers run in the workers' processes",
}


def _option(dest):
    return "--" + dest.replace("_", "-")


# --------------------------------------------------------------------------------------------
# Fit


def resolve_columns(text, names, option):
    """Turns a comma-separated list of column names or 0-based positions into positions."""
    if not text:
        return []
    positions = []
    for item in text.split(","):
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


def _fit_table(args, names, rows, missing):
    """The feature columns, their tags, and the target, out of the rows read."""
    import numpy as np

    shown = args.file or "the bundled penguins data"
    target = (
        args.target
        if args.target is not None
        else (DEFAULT_TARGET if args.file is None else names[-1])
    )
    if target not in names:
        raise InputError("no column %r in %s (columns: %s)" % (target, shown, ", ".join(names)))
    if len(names) < 2:
        raise InputError(
            "%s has no column besides the target %r" % (args.file or DEFAULT_DATA, target)
        )
    table = np.asarray(rows, dtype=object)
    t = names.index(target)

    def positions(text, option):
        found = resolve_columns(text, names, option)
        if t in found:
            raise InputError("%s: %r is the target column" % (option, target))
        return [j - (j > t) for j in found]

    features = [n for j, n in enumerate(names) if j != t]
    X_all = np.delete(table, t, axis=1)
    tags = tag_columns(
        X_all,
        features,
        frozenset(missing),
        positions(args.float_columns, "--float-columns"),
        positions(args.char_columns, "--char-columns"),
        positions(args.bool_columns, "--bool-columns"),
    )
    return features, tags, X_all, target, table[:, t]


def fit(args, out, err):
    """Fits the pipeline and the model, reports them, and writes what was asked for."""
    from tabrix_libs.transformers import exportable as ex

    path = args.file or DEFAULT_DATA
    if args.out:
        if not args.out.lower().endswith((".npy", ".csv")):
            raise InputError("--out %s: the name must end in .npy or .csv" % args.out)
        storage.check_writable(args.out)
    if args.save_pipeline:
        saving.check_path(args.save_pipeline)
    missing = (
        [m.strip() for m in args.missing.split(",")]
        if args.missing is not None
        else default_missing()
    )
    if args.out and args.sample_rows is not None:
        raise InputError(
            "--out writes the whole file transformed; with --sample-rows only the sample is read"
        )
    paths = input_files(path)
    progress = Progress.for_file(paths[0], err, not args.no_progress)
    renderer = _start_report(args)
    r = types.SimpleNamespace(
        shown=args.file or "the bundled penguins data", started=time.perf_counter()
    )
    names, rows, r.read, origin = _read_fit_rows(paths, args, progress)
    r.read_seconds, r.size = time.perf_counter() - r.started, (r.read, len(names))
    r.sampled = None if args.sample_rows is None else len(rows)
    features, r.tags, X_all, r.target, y_text = _fit_table(args, names, rows, missing)
    keep, r.kind, y = _model.prepare_target(y_text, missing, args.task, r.target)
    X = X_all[keep]
    if X.shape[0] < 4:
        raise InputError(
            "%s has %d rows with a target value; at least 4 are needed" % (path, X.shape[0])
        )
    train, test = _model.split_rows(X.shape[0], y, r.kind, args.test_size, args.seed)
    r.rows = (X.shape[0], len(train), len(test))
    kept = origin.take_rows(keep)

    pipeline = build_pipeline(r.tags, missing, args.encoding, args.scale)
    steps = 2 * count_steps(pipeline)
    r.fit_table, r.apply_table = [], []
    with _trace_flags(ex, args), contextlib.closing(progress):
        with _cells_named(pipeline, features, r.tags, kept, train):
            Xt_train = run_pipeline(
                pipeline,
                X[train],
                True,
                r.fit_table,
                lambda label, done: progress.update(label, done / steps),
            )
        with _cells_named(pipeline, features, r.tags, kept, test):
            Xt_test = run_pipeline(
                pipeline,
                X[test],
                False,
                r.apply_table,
                lambda label, done: progress.update(label, 0.5 + done / steps),
            )
        progress.update("training the model", 1.0)
        r.model = _model.make_model(r.kind, args.seed)
        start = time.perf_counter()
        _model.train(r.model, Xt_train, y[train])
        r.train_seconds, r.features = time.perf_counter() - start, Xt_train.shape[1]
        r.score, r.predicted = _held_out_score(r.model, r.kind, Xt_test, y[test])
        r.actual = y[test]
        if args.out:
            with _cells_named(pipeline, features, r.tags, origin, None):
                Xt_all = pipeline.transform(X_all)
            write_transformed(args.out, Xt_all, feature_names(pipeline, features, r.tags))
    _report_fit(r, args, out)
    saved = None
    record = {
        "columns": features,
        "tags": r.tags,
        "missing": missing,
        "target": r.target,
        "task": r.kind,
    }
    trained = _fit_summaries(args, r, pipeline, record, X_all, keep, train, y, renderer)
    if args.save_pipeline:
        record["summary"] = trained
        saved = saving.save(args.save_pipeline, pipeline, r.model, record)
        print("pipeline saved to %s" % args.save_pipeline, file=out)
    if args.report:
        print("report written to %s" % args.report, file=out)
    return r.score, saved


class _Origin:
    """Where each row of the fit table comes from: its file and its data row there (from 1)."""

    def __init__(self, paths, starts, positions):
        self.paths, self.starts, self.positions = paths, starts, positions

    def take_rows(self, selection):
        import numpy as np

        return _Origin(self.paths, self.starts, self.positions[np.asarray(selection)])

    def row(self, k):
        import bisect

        position = int(self.positions[k])
        f = bisect.bisect_right(self.starts, position) - 1
        return self.paths[f], position - self.starts[f] + 1


@contextlib.contextmanager
def _cells_named(pipeline, features, tags, origin, rows):
    """A value the model cannot take, met by the pipeline on `rows` of the table (all of them
    when None), as a one-line input error naming its file, column and data row."""
    try:
        yield
    except (StepError, ValueError) as e:
        found = out_of_range(e) if isinstance(e, StepError) else None
        if found is None:
            raise
        row, column, value = found
        names = feature_names(pipeline, features, tags)
        path, line = origin.row(row if rows is None else int(rows[row]))
        raise InputError(
            out_of_range_text(
                "%s, data row %d" % (path, line),
                names[column] if names and column < len(names) else None,
                value,
            )
        ) from None


def _read_fit_rows(paths, args, progress):
    """The header, the rows to fit on, the number of rows read and where each row comes from:
    every row of the files, or with --sample-rows a uniform sample drawn in one pass, in file
    order."""
    import numpy as np

    label = "reading " + os.path.basename(paths[0].rstrip("/"))
    header, starts = [], []
    read = [0]

    def on_read(k):
        return lambda fraction: progress.update(label, (k + fraction) / len(paths))

    def blocks(size):
        for k, path in enumerate(paths):
            with open_table(path, on_read(k)) as reader:
                if not header:
                    header.extend(reader.header)
                elif reader.header != header:
                    raise InputError("%s: its header differs from that of %s" % (path, paths[0]))
                starts.append(read[0])
                for block in reader.blocks(size):
                    read[0] += len(block)
                    yield block

    if args.sample_rows is None:
        parts = list(blocks(None))
        table = parts[0] if len(parts) == 1 else np.concatenate(parts)
        positions = np.arange(len(table))
        return header, table, len(table), _Origin(paths, starts, positions)
    rows, total, positions = sample_rows(
        blocks(SAMPLE_CHUNK_ROWS), args.sample_rows, args.seed, positions=True
    )
    return header, rows, total, _Origin(paths, starts, positions)


def _held_out_score(model, kind, X, y):
    """The model's own score (accuracy or R^2), with the prediction spread over the cores."""
    from sklearn.metrics import accuracy_score, r2_score

    predicted = _model.predict_rows(model, X)
    return (accuracy_score if kind == _model.CLASSIFICATION else r2_score)(y, predicted), predicted


def _fit_summaries(args, r, pipeline, record, X_all, keep, train, y, renderer):
    """The training summary saved with the pipeline (tabrix_libs.summary) and, with --report,
    the fit's page (tabrix_libs.report); None when neither is asked for."""
    if not (args.save_pipeline or args.report):
        return None
    import numpy as np

    started = time.perf_counter()
    forced = {}
    for option, text in (
        ("--float-columns", args.float_columns),
        ("--char-columns", args.char_columns),
        ("--bool-columns", args.bool_columns),
    ):
        for j in resolve_columns(text, record["columns"] + [r.target], option):
            forced[(record["columns"] + [r.target])[j]] = option
    train_rows = np.flatnonzero(keep)[train]
    trained, data, reasons = summary.fit_facts(
        pipeline, record, r.model, X_all, train_rows, y[train], forced, page=bool(args.report)
    )
    if args.report:
        facts = summary.fit_page_facts(r, args, record, pipeline, data, reasons)
        facts["run"]["timings"].append(("summaries", time.perf_counter() - started))
        renderer.draw("fit", facts)
    return summary.for_saving(trained)


def _report_fit(r, args, out):
    counts = {tag: r.tags.count(tag) for tag in (FLOAT, CHAR, BOOL)}
    print(
        "data: %s, %d rows x %d columns, read in %.3f s"
        % ((r.shown,) + r.size + (r.read_seconds,)),
        file=out,
    )
    if r.sampled is not None and r.sampled < r.read:
        print(
            "sample: %d of the %d rows, drawn with seed %d" % (r.sampled, r.read, args.seed),
            file=out,
        )
    elif r.sampled is not None:
        print("sample: all %d rows (--sample-rows %d)" % (r.read, args.sample_rows), file=out)
    print(
        "target: %s (%s), %d rows with a value; train %d, held out %d"
        % ((r.target, r.kind) + r.rows),
        file=out,
    )
    print(
        "columns: %d numeric (float_str), %d categorical (char_str), %d boolean (bool_str)"
        % (counts[FLOAT], counts[CHAR], counts[BOOL]),
        file=out,
    )
    print(file=out)
    print_table("fit on the training split", r.fit_table, out)
    print(file=out)
    print_table("transform of the held-out split", r.apply_table, out)
    print(file=out)
    print(
        "model: %s, trained in %.3f s on %s float32 features"
        % (type(r.model).__name__, r.train_seconds, r.features),
        file=out,
    )
    print(
        "held-out %s: %.4f" % ("accuracy" if r.kind == _model.CLASSIFICATION else "R^2", r.score),
        file=out,
    )
    if args.out:
        print("transformed data written to %s" % args.out, file=out)


@contextlib.contextmanager
def _trace_flags(ex, args):
    """The module's trace flags as the options ask, put back afterwards."""
    saved_flags = (ex.debug, ex.debug_timings)
    ex.debug = bool(args.debug or args.timings)
    ex.debug_timings = bool(args.timings)
    try:
        yield
    finally:
        ex.debug, ex.debug_timings = saved_flags


# --------------------------------------------------------------------------------------------
# Apply


class _ApplyProgress:
    """One bar over the whole run: reading the file fills 40% of it, and each chunk of rows fills
    its share of the other 60% as it is transformed, predicted and written."""

    def __init__(self, progress):
        self.progress = progress
        self.reader = None
        self.read = self.finished = self.share = 0.0

    def reading(self, fraction):
        self.read = fraction
        self.at("reading", 0.0)

    def next_chunk(self):
        self.share = max(self.reader.fraction_read - self.finished, 0.0)

    def at(self, label, part):
        self.progress.update(label, 0.4 * self.read + 0.6 * (self.finished + self.share * part))

    def chunk_done(self):
        self.finished += self.share
        self.share = 0.0


def _predict_file(reader, job, writer, bar, score, chunk_rows, totals=None):
    """Predicts and writes the rows of one file, a block at a time; returns the rows done.
    With `totals` (summary.Totals, for --report), each block's summary is added to it."""
    done = 0
    for block, table in reader.pieces(chunk_rows):
        bar.next_chunk()
        columns = job.predict(
            block, done + 1, lambda label, fraction: bar.at(label, 0.6 * fraction)
        )
        job.score_part(block, columns, score)
        if totals is not None:
            totals.add(job.summarize(block, columns))
        for start in range(0, len(block), WRITE_ROWS):
            bar.at("writing", 0.6 + 0.4 * start / len(block))
            part = slice(start, start + WRITE_ROWS)
            writer.write_block(
                block[part],
                [c[part] for c in columns],
                None if table is None else table.slice(start, WRITE_ROWS),
            )
        bar.chunk_done()
        bar.at("writing", 0.0)
        done += len(block)
    return done


def _output_format(args, folder):
    """ "csv" or "parquet", from --out; checked before any work."""
    if args.out is None:
        return "csv"
    if not folder:
        lower = args.out.lower()
        if not lower.endswith((".csv",)) and not is_parquet(lower):
            raise InputError(
                "--out %s: predictions are written as CSV or Parquet; the name must end in .csv "
                "or .parquet%s"
                % (args.out, " (or in / for a folder of parts)" if args.dask is not None else "")
            )
    storage.check_writable(args.out)
    # A folder's parts take the input's format (decided where the files are listed).
    return "parquet" if not folder and is_parquet(args.out) else "csv"


def _writer(args, fmt, header, names, out):
    if fmt == "parquet":
        from tabrix_libs.parquet import ParquetRowWriter

        return ParquetRowWriter(args.out, header, names)
    return RowWriter(args.out, header + names, out)


def apply(args, out, err):
    """Predicts a saved pipeline's target for every row of one or more tables (CSV or Parquet),
    a chunk of rows at a time, and writes the rows with their predictions, in order."""
    folder = args.dask is not None and args.out is not None and storage.is_folder(args.out)
    fmt = _output_format(args, folder)
    started = time.perf_counter()
    renderer = _start_report(args)
    files = input_files(args.file)
    if args.dask is not None:
        from tabrix_libs import cluster

        # The workers start while the saved file is loaded here.
        with cluster.Connection(args.dask, args.workers) as connection:
            saved, record = _load_saved(args, err)
            value, done = _apply_on_dask(args, saved, record, folder, connection.client(), out, err)
        _apply_report(
            renderer, args, saved, record, done.summary, done.score, done.scored, started, done
        )
        return value
    from tabrix_libs.predict import BlockPredictor
    from tabrix_libs.transformers import exportable as ex

    saved, record = _load_saved(args, err)
    score = _model.Score(record["task"], record["missing"])
    totals = None if renderer is None else summary.Totals()
    rows = 0
    writer = job = None
    # Trace lines go to stderr: stdout may be carrying the predictions.
    with _trace_flags(ex, args), contextlib.redirect_stdout(err):
        try:
            for path in files:
                bar = _ApplyProgress(Progress.for_file(path, err, not args.no_progress))
                with open_table(path, bar.reading) as reader, contextlib.closing(bar.progress):
                    bar.reader = reader
                    if job is None:
                        job = BlockPredictor(saved, record, reader.header, path, args.proba)
                        header = reader.header
                        writer = _writer(args, fmt, header, job.names, out)
                    elif reader.header != header:
                        raise InputError(
                            "%s: its header differs from that of %s" % (path, files[0])
                        )
                    job.path = path
                    rows += _predict_file(reader, job, writer, bar, score, args.chunk_rows, totals)
            writer.commit()
        except BaseException:
            if writer is not None:
                writer.abort()
            raise
    print(
        "tabrix-libs: %d rows predicted with %s (%s), written to %s"
        % (rows, args.apply, type(job.model).__name__, args.out or "standard output"),
        file=err,
    )
    if job.target is not None:
        _report_score(score, record["target"], err)
    if totals is not None:
        _apply_report(
            renderer, args, saved, record, totals.value, score, job.target is not None, started
        )
    return score.value


def _start_report(args):
    """With --report, the process that draws the page (tabrix_libs.report), started at once so
    that it loads its plotting library while the job runs; else None."""
    if not args.report:
        return None
    from tabrix_libs import report

    return report.Renderer(args.report)


def _apply_report(renderer, args, saved, record, totals, score, scored, started, dask=None):
    """With --report, the page of the apply, from the summaries of the blocks."""
    if renderer is None:
        return
    facts = summary.apply_page_facts(args, saved, record, totals, score if scored else None)
    facts["run"]["timings"].append(("the run up to the report", time.perf_counter() - started))
    if dask is not None:
        facts["run"]["versions"].append(
            ("Dask", "%d workers, %d blocks of %d files" % (dask.workers, dask.blocks, dask.files))
        )
    renderer.draw("apply", facts)
    print("tabrix-libs: report written to %s" % args.report, file=sys.stderr)


def _load_saved(args, err):
    saved, record = saving.load(
        args.apply, warn=lambda text: print("tabrix-libs: warning: %s" % text, file=err)
    )
    if args.proba and record["task"] != _model.CLASSIFICATION:
        raise InputError("--proba needs a classifier; %s holds a regression model" % args.apply)
    return saved, record


def _apply_on_dask(args, saved, record, folder, client, out, err):
    """--apply with --dask: the blocks of the files read and predicted by the workers."""
    from tabrix_libs import cluster

    progress = Progress(not args.no_progress and _isatty(err), err)
    target = (args.out.rstrip("/" + os.sep) + "/" if folder else args.out) if args.out else None
    with contextlib.closing(progress):
        done = cluster.apply_files(
            client,
            saved,
            record,
            args.file,
            out=target,
            stream=out,
            proba=args.proba,
            block_bytes=args.block_size,
            on_block=lambda k, n: progress.update("block %d of %d" % (k, n), k / n),
            summarize=bool(args.report),
        )
    print(
        "tabrix-libs: %d rows predicted with %s (%s), written to %s"
        % (
            done.rows,
            args.apply,
            type(saved.steps[1][1]).__name__,
            args.out or "standard output",
        ),
        file=err,
    )
    peak = cluster.peak_memory(client)
    print(
        "tabrix-libs: %d file%s read in %d blocks by %d Dask worker%s of %s in %.1f s%s"
        % (
            done.files,
            "s" * (done.files > 1),
            done.blocks,
            done.workers,
            "s" * (done.workers > 1),
            args.dask,
            done.seconds,
            "" if peak is None else " (largest worker: %.0f MB)" % (peak / 1e6),
        ),
        file=err,
    )
    if done.scored:
        _report_score(done.score, record["target"], err)
    return done.score.value, done


def _report_score(score, target, err):
    if score.value is None:
        print(
            "tabrix-libs: the target column %r holds no value to score against" % target, file=err
        )
        return
    skipped = (
        " (%d values that are not numbers left out)" % score.not_numbers
        if score.not_numbers
        else ""
    )
    print(
        "tabrix-libs: %s on the target column %r, %d rows%s: %.4f"
        % (score.measure, target, score.rows, skipped, score.value),
        file=err,
    )


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


def _positive(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a whole number: %r" % text) from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1, got %s" % text)
    return value


def _seed(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a whole number: %r" % text) from None
    # What NumPy's and scikit-learn's random states take.
    if not 0 <= value < 2**32:
        raise argparse.ArgumentTypeError("must lie between 0 and 2**32 - 1, got %s" % text)
    return value


def _byte_size(text):
    units = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    body = text.strip().upper().rstrip("B")
    unit = body[-1:] if body[-1:] in units else ""
    try:
        value = int(float(body[: len(body) - len(unit)]) * units[unit])
    except ValueError:
        raise argparse.ArgumentTypeError("not a size: %r (e.g. 32M)" % text) from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1 byte, got %s" % text)
    return value


def _json_object(text):
    try:
        value = json.loads(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError("not JSON: %s" % e) from None
    if not isinstance(value, dict):
        raise argparse.ArgumentTypeError("must be a JSON object, e.g. '{\"anon\": true}'")
    return value


def make_parser():
    p = argparse.ArgumentParser(
        prog="tabrix-libs",
        description="Fit a preprocessing pipeline of tabrix_libs transformers to a CSV file, train "
        "a scikit-learn model on a training split and report each step and the held-out score "
        "(without FILE, on the bundled Palmer penguins data, target: species); or, with --apply, "
        "predict for every row of FILE with a saved pipeline.",
    )
    p.add_argument(
        "file",
        nargs="?",
        help="the table: a CSV file with a header line or a Parquet file, a glob of them or a "
        "folder of parts, each a local path or a URL (default: the bundled penguins data)",
    )
    fitting = p.add_argument_group("fitting")
    fitting.add_argument(
        "--target",
        help="column to predict (default: species for the bundled data, else the last column)",
    )
    fitting.add_argument(
        "--float-columns",
        metavar="COLS",
        help="comma-separated names or 0-based positions of "
        "columns holding numbers written as strings (overrides the guess)",
    )
    fitting.add_argument(
        "--char-columns", metavar="COLS", help="columns holding character strings (categories)"
    )
    fitting.add_argument("--bool-columns", metavar="COLS", help="columns holding true/false values")
    fitting.add_argument(
        "--missing",
        metavar="MARKERS",
        help="comma-separated strings that mark a missing cell (default: the package's list: "
        "empty, ?, NA, N/A, n/a, NaN, nan, NULL, null, None)",
    )
    fitting.add_argument(
        "--encoding",
        choices=("ordinal", "onehot-dense"),
        help="encoding of the categorical columns (default: ordinal)",
    )
    fitting.add_argument(
        "--scale", action="store_true", default=None, help="standardise the numeric columns"
    )
    fitting.add_argument(
        "--task",
        choices=("auto", "classification", "regression"),
        help="model kind; auto (default): classification for a non-numeric target or one with "
        "few distinct integral values",
    )
    fitting.add_argument(
        "--test-size", type=_fraction, help="held-out fraction of the rows (default 0.25)"
    )
    fitting.add_argument(
        "--seed", type=_seed, help="seed of the split, the model and --sample-rows (default 0)"
    )
    fitting.add_argument(
        "--sample-rows",
        metavar="N",
        type=_positive,
        help="fit on a uniform random sample of N rows of FILE (by --seed), drawn in one pass "
        "so that memory stays that of N rows; a file of at most N rows is used whole",
    )
    fitting.add_argument(
        "--save-pipeline",
        metavar="FILE",
        help="save the fitted pipeline and model, with the record of their input columns: "
        "FILE.skops in skops' format, safe to load (needs pip install skops), "
        "any other name as a joblib pickle",
    )
    applying = p.add_argument_group("applying a saved pipeline")
    applying.add_argument(
        "--apply",
        metavar="SAVED",
        help="predict for every row of FILE with a file saved by "
        "--save-pipeline; FILE needs the same columns, in any order, the target optional",
    )
    applying.add_argument(
        "--proba",
        action="store_true",
        default=None,
        help="also one probability column per class (classifiers)",
    )
    applying.add_argument(
        "--chunk-rows",
        metavar="N",
        type=_positive,
        help="read, transform and write N rows at a time, so that memory stays bounded "
        "(the output is the same)",
    )
    applying.add_argument(
        "--dask",
        metavar="ADDRESS",
        help="read and predict the file(s) in blocks on a Dask cluster: 'local' (a cluster of "
        "worker processes on this machine) or a scheduler's address (tcp://host:8786); needs "
        "pip install 'tabrix-libs[dask]'. The output is the same as in one process",
    )
    applying.add_argument(
        "--workers",
        metavar="N",
        type=_positive,
        help="with --dask local: the number of worker processes (default: one per core)",
    )
    applying.add_argument(
        "--block-size",
        metavar="SIZE",
        type=_byte_size,
        help="with --dask: bytes of file per block, e.g. 8M (default: about four blocks per "
        "worker, 1M to 16M)",
    )
    p.add_argument(
        "--out",
        metavar="FILE",
        help="fitting: the whole file transformed by the fitted pipeline, in row order, as .npy or "
        ".csv; with --apply: the input's columns plus the predictions, as .csv or .parquet, or "
        "with --dask a folder of parts (a name ending in /) (default: CSV on standard output); a "
        "local path or a URL",
    )
    p.add_argument(
        "--storage-options",
        metavar="JSON",
        type=_json_object,
        help="options for every URL's storage, as a JSON object (e.g. '{\"anon\": true}' or "
        '\'{"endpoint_url": "http://..."}\'), on top of the environment and config files its '
        "tools read; needs pip install 'tabrix-libs[storage]'",
    )
    p.add_argument(
        "--report",
        metavar="FILE.html",
        help="also write a page about the run: the data and what each step did, the model "
        "(fitting), or how the new rows differ from the training rows (with --apply); needs "
        "pip install 'tabrix-libs[report]'",
    )
    p.add_argument("--debug", action="store_true", help="switch on the transformers' trace lines")
    p.add_argument(
        "--timings", action="store_true", help="trace lines with elapsed times (implies --debug)"
    )
    p.add_argument("--no-progress", action="store_true", help="never show the progress bar")
    return p


def check_options(args):
    """Options of one job given to the other are errors, not silently ignored."""
    if args.report is not None:
        from tabrix_libs import report

        report.check_path(args.report)
    if args.apply is not None:
        if args.file is None:
            raise InputError("--apply needs the CSV file to predict for")
        wrong = [d for d in FIT_ONLY if getattr(args, d) is not None]
        if wrong:
            raise InputError(
                "%s: the saved file fixes the columns, tags, missing markers and model; "
                "%s only applies when fitting" % (_option(wrong[0]), _option(wrong[0]))
            )
        if args.dask is None:
            wrong = [d for d in DASK_ONLY if getattr(args, d) is not None]
            if wrong:
                raise InputError("%s only applies with --dask" % _option(wrong[0]))
        else:
            for dest, why in NOT_WITH_DASK.items():
                if getattr(args, dest):
                    raise InputError("%s does not apply with --dask: %s" % (_option(dest), why))
            if args.workers is not None and args.dask != "local":
                raise InputError(
                    "--workers applies to --dask local; a running scheduler has its own workers"
                )
        return
    wrong = [d for d in APPLY_ONLY if getattr(args, d) is not None]
    if wrong:
        raise InputError("%s only applies with --apply SAVED" % _option(wrong[0]))
    for dest, value in FIT_DEFAULTS.items():
        if getattr(args, dest) is None:
            setattr(args, dest, value)
    args.scale = bool(args.scale)


def run(args, out=None, err=None):
    """Runs the job the parsed arguments ask for; returns its score."""
    out = out if out is not None else sys.stdout
    err = err if err is not None else sys.stderr
    check_options(args)
    storage.configure(args.storage_options or {})
    with _quiet_dask(args.debug):
        if args.apply is not None:
            return apply(args, out, err)
        return fit(args, out, err)[0]


@contextlib.contextmanager
def _quiet_dask(debug):
    """Log lines of the libraries under the command (Dask's, on a failed task or a lost
    scheduler; its event loop's) kept off the terminal while it runs: their failures reach the
    user as one line of ours. With --debug they stay."""
    if debug:
        yield
        return
    saved = logging.root.manager.disable
    logging.disable(logging.CRITICAL)
    try:
        yield
    finally:
        logging.disable(saved)


@contextlib.contextmanager
def _one_line_warnings():
    """Python warnings (a library's, raised while the command runs) as one line each, in the
    command's voice, instead of the file, line and source text Python shows."""
    import warnings

    def show(message, category, filename, lineno, file=None, line=None):
        text = str(message).strip().splitlines()
        print(
            "tabrix-libs: warning: %s" % (text[0] if text else category.__name__),
            file=file or sys.stderr,
        )

    saved = warnings.showwarning
    warnings.showwarning = show
    try:
        yield
    finally:
        warnings.showwarning = saved


def main(argv=None):
    parser = make_parser()
    args = parser.parse_args(argv)
    args.argv = list(sys.argv[1:] if argv is None else argv)  # for the --report page
    with _one_line_warnings():
        return _main(args)


def _main(args):
    try:
        run(args)
    except InputError as e:
        print("tabrix-libs: error: %s" % e, file=sys.stderr)
        return EXIT_INPUT
    except (ClusterError, StorageUnavailable) as e:
        print("tabrix-libs: error: %s" % e, file=sys.stderr)
        return EXIT_FAILURE
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
        print(
            "tabrix-libs: failed: %s: %s" % (type(e).__name__, text[0] if text else ""),
            file=sys.stderr,
        )
        return EXIT_FAILURE
    return 0
