"""A saved pipeline and model applied on a Dask cluster: to tables (CSV or Parquet, local or on
object storage) read in blocks by the workers, or to a Dask DataFrame. Needs the `dask` extra
(`pip install 'tabrix-libs[dask]'`).

    from dask.distributed import Client, LocalCluster
    from tabrix_libs import cluster, saved

    pipeline, record = saved.load("model.skops")
    with LocalCluster(n_workers=2, threads_per_worker=1) as lc, Client(lc) as client:
        done = cluster.apply_files(client, pipeline, record, "parts/*.csv", out="predicted.csv")
    print(done.rows, done.score.value)

apply_files reads each file in blocks on the workers, from wherever it lives (CSV files in byte
ranges, Parquet files by row groups; the client reads only the header lines and the Parquet
footers), predicts each block with the pipeline shipped once to every worker, and writes the
rows with their predictions in input order: to one CSV or Parquet file, to one file per block in
a folder, or to a stream. The output is that of `tabrix-libs DATA --apply SAVED` in one process
(for CSV, byte for byte). predict_frame does the work of one block on each partition of a Dask
DataFrame.
"""

import collections
import contextlib
import logging
import os
import time
import typing

from tabrix_libs import _model, storage
from tabrix_libs.errors import InputError, StorageUnavailable

DASK_INSTALL = (
    "--dask needs Dask: pip install 'tabrix-libs[dask]' (dask and distributed), on this machine "
    "and on every worker"
)
# Blocks of a file: about four per worker, within these bounds. A worker's memory grows by
# about 15 times the bytes of the block it works on (the rows as str objects, the pipeline's
# object arrays and its Python floats, the CSV text out).
MIN_BLOCK_BYTES = 1 << 20
MAX_BLOCK_BYTES = 16 << 20
# Blocks predicted ahead of the one being written, per worker: bounds the results held.
AHEAD_PER_WORKER = 2


class ClusterError(Exception):
    """The cluster failed us (a worker without the package, a worker that died): one line, not a
    problem with the input."""


def _dask():
    try:
        import distributed
    except ImportError:
        raise InputError(DASK_INSTALL) from None
    return distributed


# Imported by the local cluster's workers before they start (see _local_worker_settings).
WORKER_PRELOAD = (
    "distributed",
    "numpy",
    "sklearn.ensemble",
    "sklearn.pipeline",
    "tabrix_libs._tableio",
    "tabrix_libs.transformers.exportable",
    "tabrix_libs.predict",
)


def start_worker_server():
    """Starts the server process the local cluster's workers are forked from (see
    _local_worker_settings), so that it imports what they need while this process goes on
    (importing Dask, loading the model); without a fork server on this platform, nothing."""
    import multiprocessing

    if "forkserver" not in multiprocessing.get_all_start_methods():
        return
    from multiprocessing import forkserver

    multiprocessing.get_context("forkserver").set_forkserver_preload(list(WORKER_PRELOAD))
    forkserver.ensure_running()


@contextlib.contextmanager
def _local_worker_settings():
    """How the local cluster's worker processes start.

    - Without MALLOC_TRIM_THRESHOLD_, which Dask sets for its workers so that freed memory goes
      back to the system sooner: any explicit value turns off glibc's adaptive mmap threshold,
      and each large array of a block is then mapped and faulted in anew (measured: a
      1,000,000-row --apply on one core took 6.2 s with the variable set, 4.3 s without).
    - Forked from a server process that has imported scikit-learn and this package once, where
      the platform has one: each worker then starts in milliseconds instead of importing them
      anew (about a second and a half of a core each)."""
    import multiprocessing

    import dask

    environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ", {}))
    environ.pop("MALLOC_TRIM_THRESHOLD_", None)
    settings = {"distributed.nanny.pre-spawn-environ": environ}
    forkserver = "forkserver" in multiprocessing.get_all_start_methods()
    if forkserver:
        settings["distributed.worker.multiprocessing-method"] = "forkserver"
    with dask.config.set(settings):
        if forkserver:
            from distributed.utils import get_mp_context

            # Dask sets its own list on first use; ours, set after, adds what the blocks need.
            get_mp_context().set_forkserver_preload(list(WORKER_PRELOAD))
        yield


@contextlib.contextmanager
def connect(address, workers=None):
    """A Client of a new local cluster of worker processes (address "local"; one worker per core,
    or `workers`, each with one thread) or of the scheduler at `address`."""
    distributed = _dask()
    if address == "local":
        with _local_worker_settings():
            # The workers' own log lines stay off the terminal: a failed block reaches the user
            # as one line of ours.
            local = distributed.LocalCluster(
                n_workers=workers or _model.cores(),
                threads_per_worker=1,
                processes=True,
                dashboard_address=None,
                # The scheduler's HTTP server on a free port: the default one may be taken
                # (another cluster on this machine), which Dask announces in a warning.
                scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
                silence_logs=logging.CRITICAL + 10,
            )
        # Closed explicitly rather than with `with`: their context managers must be left in the
        # thread that entered them, and Connection opens them in a thread of its own.
        try:
            client = distributed.Client(local)
            try:
                yield client
            finally:
                client.close()
        finally:
            local.close()
        return
    if workers is not None:
        raise InputError("--workers applies to --dask local; a scheduler has its own workers")
    try:
        client = distributed.Client(address, timeout="30s")
    except (OSError, TimeoutError, ValueError) as e:
        raise InputError("cannot reach the Dask scheduler at %s: %s" % (address, e)) from None
    try:
        yield client
    finally:
        client.close()


class Connection:
    """connect() run in a background thread, so that the caller can do its own loading while the
    workers start:

        with Connection("local") as connection:
            pipeline, record = saved.load(path)      # meanwhile
            client = connection.client()             # waits for the cluster, or raises its error
    """

    def __init__(self, address, workers=None):
        import threading

        if address == "local":
            start_worker_server()
        self._stack = contextlib.ExitStack()
        self._client = self._error = None
        self._thread = threading.Thread(
            target=self._connect, args=(address, workers), name="tabrix-dask-connect", daemon=True
        )
        self._thread.start()

    def _connect(self, address, workers):
        try:
            self._client = self._stack.enter_context(connect(address, workers))
        except BaseException as e:  # raised again by client(), in the caller's thread
            self._error = e

    def client(self):
        self._thread.join()
        if self._error is not None:
            raise self._error
        return self._client

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self._thread.join()
        self._stack.close()


# Evaluated on each worker: imports what a block needs and returns the package's version.
_WORKER_PROBE = (
    "[__import__(m) for m in ('tabrix_libs._tableio', 'tabrix_libs.transformers.exportable', "
    "'tabrix_libs.predict', 'sklearn.ensemble')] and __import__('tabrix_libs').__version__"
)


def check_workers(client):
    """Every worker imports the package (which also loads what the blocks need) at this
    version; ClusterError names the first that does not. Returns the number of workers."""
    import tabrix_libs

    answers = client.run(eval, _WORKER_PROBE, on_error="return")
    if not answers:
        raise ClusterError("the Dask cluster has no workers")
    for worker, answer in sorted(answers.items()):
        if isinstance(answer, BaseException):
            raise ClusterError(
                "Dask worker %s cannot import tabrix_libs (%s: %s): install the package on "
                "every worker" % (worker, type(answer).__name__, _first_line(answer))
            )
        if answer != tabrix_libs.__version__:
            raise ClusterError(
                "Dask worker %s has tabrix_libs %s, this machine %s: install the same version "
                "everywhere" % (worker, answer, tabrix_libs.__version__)
            )
    return len(answers)


def peak_memory(client):
    """The largest resident set any worker process has had so far, in bytes (None where the
    platform does not say)."""
    try:
        sizes = client.run(_peak_rss, on_error="return")
    except Exception:
        return None
    sizes = [v for v in sizes.values() if isinstance(v, int)]
    return max(sizes) if sizes else None


def _peak_rss():
    try:
        import resource
    except ImportError:
        return None
    import sys

    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return peak if sys.platform == "darwin" else peak * 1024  # bytes on macOS, KiB elsewhere


def _first_line(error):
    lines = str(error).strip().splitlines()
    return lines[0] if lines else ""


# --------------------------------------------------------------------------------------------
# The work of each block, on the workers


class BlockResult(typing.NamedTuple):
    rows: int
    score: _model.Score
    # The CSV text or the Arrow table of the rows and their predictions, or None when written
    # to a part file.
    output: typing.Any
    summary: typing.Optional[dict] = None  # with summarize: for --report (tabrix_libs.summary)


@contextlib.contextmanager
def _one_thread():
    """This process's kernels and BLAS on one thread while a block is worked on: the cluster has
    one worker per core already. (Workers forked from a server that had imported NumPy started
    their BLAS threads before Dask could set OMP_NUM_THREADS.)"""
    from threadpoolctl import threadpool_limits  # a dependency of scikit-learn

    saved = os.environ.get("TABRIX_NUM_THREADS")
    os.environ["TABRIX_NUM_THREADS"] = "1"
    try:
        with threadpool_limits(1):
            yield
    finally:
        if saved is None:
            os.environ.pop("TABRIX_NUM_THREADS", None)
        else:
            os.environ["TABRIX_NUM_THREADS"] = saved


def scan_block(path, start, stop, width, options=None):
    """A worker's scan of a byte range of a CSV file (tableio.scan_range), reading the file from
    wherever it lives with the client's storage options."""
    from tabrix_libs.tableio import scan_range

    storage.configure(options or {})
    return scan_range(path, start, stop, width)


def predict_block(
    saved, record, header, block, proba, part=None, fmt="csv", options=None, summarize=False
):
    """Reads a block (of a CSV or a Parquet file), predicts its rows and returns the rows, the
    score on the target column (if present) and the rows with their predictions: as CSV text,
    or with fmt "parquet" as an Arrow table. With `part` (a path or URL) the output, a whole
    file with its header, is written there instead. With summarize, also the block's summary
    (tabrix_libs.summary)."""
    from tabrix_libs.predict import BlockPredictor
    from tabrix_libs.tableio import read_piece

    storage.configure(options or {})
    with _one_thread():
        job = BlockPredictor(saved, record, header, block.path, proba, n_jobs=1)
        table, arrow = read_piece(block, header)
        if len(table) != block.rows:
            raise InputError(
                "%s changed while it was read (data rows %d to %d)"
                % (block.path, block.first_row, block.first_row + block.rows - 1)
            )
        score = _model.Score(record["task"], record["missing"])
        columns = job.predict(table, block.first_row) if len(table) else None
        found = None
        if columns is not None:
            job.score_part(table, columns, score)
            found = job.summarize(table, columns) if summarize else None
        if fmt == "parquet":
            from tabrix_libs.parquet import output_table

            columns = columns or [[] for _ in job.names]
            output = output_table(table, columns, job.names, header, arrow)
        else:
            output = job.format(table, columns) if columns is not None else b""
    if part is None:
        return BlockResult(len(table), score, output, found)
    if fmt == "parquet":
        from tabrix_libs.parquet import table_bytes

        data = table_bytes(output)
    else:
        import numpy as np

        data = job.format(np.array([header + job.names], dtype=object), ()) + output
    storage.write_part(part, data)
    return BlockResult(len(table), score, None, found)


def predict_frame(frame, saved, record, proba=False):
    """The partitions of a Dask (or pandas) DataFrame with the prediction column (and with proba,
    one probability column per class) added, computed partition by partition with the pipeline
    shipped once. The frame holds the saved columns, matched by name (the target and other
    columns may be there too); read it with every cell as a string, e.g.
    dask.dataframe.read_csv(..., dtype=str, keep_default_na=False), for the results of the
    command-line tool."""
    from tabrix_libs.predict import output_names

    header = [str(c) for c in frame.columns]
    columns = [c for c in record["columns"]] + (
        [record["target"]] if record["target"] in header else []
    )
    for name in record["columns"]:
        if name not in header:
            raise InputError(
                "the frame has no column %r (expected %s)" % (name, ", ".join(record["columns"]))
            )
    names = output_names(header, saved.steps[1][1], proba)
    if not hasattr(frame, "map_partitions"):  # pandas
        return _predict_partition(frame, saved, record, columns, names, proba)
    import pandas as pd

    meta = frame._meta.copy()
    numeric = record["task"] != _model.CLASSIFICATION
    for k, name in enumerate(names):
        meta[name] = pd.Series([], dtype="float64" if k or numeric else object)
    return frame.map_partitions(_predict_partition, saved, record, columns, names, proba, meta=meta)


def _predict_partition(part, saved, record, columns, names, proba):
    import numpy as np

    from tabrix_libs.predict import BlockPredictor

    job = BlockPredictor(saved, record, columns, "a partition", proba, n_jobs=1)
    out = part.copy()
    if not len(part):
        for k, name in enumerate(names):
            out[name] = np.array([], dtype=object if k == 0 else np.float64)
        return out
    with _one_thread():
        values = job.predict(part[columns].to_numpy(dtype=object))
    for name, value in zip(names, values):
        out[name] = value if isinstance(value, np.ndarray) else np.array(value, dtype=object)
    return out


# --------------------------------------------------------------------------------------------
# The client's side


class Applied(typing.NamedTuple):
    rows: int
    score: _model.Score  # on the target column, when the files have it
    blocks: int
    files: int
    scored: bool  # the files have the target column
    workers: int
    seconds: float  # from the first scan to the last block written
    summary: typing.Optional[dict] = None  # with summarize: the blocks' summaries merged


def _block_bytes(total, workers, wanted):
    if wanted:
        return wanted
    return int(min(max(total // (4 * max(workers, 1)), MIN_BLOCK_BYTES), MAX_BLOCK_BYTES))


def plan(client, paths, width, block_bytes):
    """The blocks of every file: for CSV files from scans of byte ranges run on the workers, for
    Parquet files from their footers, read here. InputError for a problem the scans find (the
    line named), or a file without data rows."""
    from tabrix_libs import parquet
    from tabrix_libs.tableio import is_parquet, plan_blocks, range_starts

    ranges = []
    for path in paths:
        if is_parquet(path):
            ranges.append(None)
            continue
        size = storage.size(path)
        starts = range_starts(size, block_bytes)
        ranges.append([(path, a, b) for a, b in zip(starts, starts[1:] + [size])])
    flat = [r for rs in ranges if rs is not None for r in rs]
    futures = client.map(
        scan_block,
        [p for p, _, _ in flat],
        [a for _, a, _ in flat],
        [b for _, _, b in flat],
        [width] * len(flat),
        [storage.options()] * len(flat),
        pure=False,
    )
    scans = iter(_gather(client, futures))
    blocks = []
    for path, rs in zip(paths, ranges):
        if rs is None:
            found = parquet.plan_blocks(path, block_bytes)
        else:
            found = plan_blocks(path, [next(scans) for _ in rs])
        if not sum(b.rows for b in found):
            raise InputError("%s has a header but no data rows" % path)
        blocks.extend(found)
    return blocks


def _gather(client, futures):
    try:
        return client.gather(futures)
    except Exception as e:
        raise _as_error(e) from None


def _as_error(e):
    """What a failed task raised, as the one-line error to report."""
    if isinstance(e, (InputError, ClusterError, StorageUnavailable)):
        return e
    name = type(e).__name__
    if "scheduler-connection-lost" in str(e):
        return ClusterError(
            "the connection to the Dask scheduler was lost while the blocks were worked on"
        )
    if name == "CommClosedError":
        return ClusterError(
            "the connection to the Dask cluster was lost while the blocks were worked on (%s)"
            % _first_line(e)
        )
    if name == "KilledWorker":
        return ClusterError(
            "a Dask worker died while working on a block (%s); the block was tried on other "
            "workers too" % _first_line(e)
        )
    if name in ("CancelledError", "FutureCancelledError", "TimeoutError"):
        return ClusterError("the Dask cluster failed (%s: %s)" % (name, _first_line(e)))
    return e


def apply_files(
    client,
    saved,
    record,
    data,
    out=None,
    stream=None,
    proba=False,
    block_bytes=None,
    on_block=None,
    summarize=False,
):
    """Predicts for every row of the tables `data` (a path or URL, a glob pattern, a folder of
    parts or a list of them; CSV or Parquet files, all with the same columns) on the cluster of
    `client`, and writes the rows with their predictions in order: to the CSV or Parquet file
    `out` (by its name), to one file per block in the folder `out` when it ends with a path
    separator (part-00000.csv or .parquet, each whole, in the input's format), or as CSV to
    `stream` (standard output) when out is None. Nothing is written to `out` unless every block
    succeeds. Returns Applied(rows, score, blocks, files, ...).

    The workers read the files themselves, from where they live: a URL on object storage needs
    no shared filesystem, only the storage's backend and credentials on every worker (the
    options given to storage.configure() are shipped with the blocks); a local path must be
    readable at the same path on the workers, as must a local folder `out`. `block_bytes` sets
    the size of the blocks (default: about four per worker, 1 MiB to 16 MiB; a Parquet row group
    is never split). `on_block(done, total)` is called as blocks finish. With summarize, each
    worker also summarizes its blocks (tabrix_libs.summary) and Applied.summary is their merge,
    the same as one process's."""
    from tabrix_libs.predict import BlockPredictor
    from tabrix_libs.tableio import header_of, input_files, is_parquet

    paths = list(data) if isinstance(data, (list, tuple)) else input_files(data)
    header = header_of(paths[0])
    for path in paths[1:]:
        if header_of(path) != header:
            raise InputError("%s: its header differs from that of %s" % (path, paths[0]))
    # Columns matched before any block is read.
    names = BlockPredictor(saved, record, header, paths[0], proba).names
    folder = out is not None and out.endswith(("/", os.sep))
    fmt = (
        ("parquet" if is_parquet(paths[0]) else "csv")
        if folder
        else ("parquet" if out is not None and is_parquet(out) else "csv")
    )
    workers = check_workers(client)
    started = time.perf_counter()
    total = sum(storage.size(p) for p in paths)
    blocks = plan(client, paths, len(header), _block_bytes(total, workers, block_bytes))
    blocks = [b for b in blocks if b.rows]
    try:
        [shipped] = client.scatter([saved], broadcast=True)
    except Exception as e:
        raise _as_error(e) from None
    on_block = on_block or (lambda done, count: None)
    score = _model.Score(record["task"], record["missing"])
    totals = _totals(summarize)
    job = _Job(client, shipped, record, header, proba, fmt, storage.options(), totals is not None)
    if folder:
        rows = _to_folder(job, blocks, out, score, on_block, totals)
    else:
        if fmt == "parquet":
            from tabrix_libs.parquet import ParquetRowWriter

            writer = ParquetRowWriter(out, header, names)
        else:
            from tabrix_libs.tableio import RowWriter

            writer = RowWriter(out, header + names, stream)
        try:
            rows = 0
            for k, result in enumerate(_in_order(job, blocks, workers)):
                if fmt == "parquet":
                    writer.write_table(result.output)
                else:
                    writer.write_bytes(result.output)
                score.merge(result.score)
                if totals is not None:
                    totals.add(result.summary)
                rows += result.rows
                on_block(k + 1, len(blocks))
            writer.commit()
        except BaseException:
            writer.abort()
            raise
    return Applied(
        rows,
        score,
        len(blocks),
        len(paths),
        record["target"] in header,
        workers,
        time.perf_counter() - started,
        None if totals is None else totals.value,
    )


class _Job(typing.NamedTuple):
    """What every block's task gets besides its block."""

    client: typing.Any
    shipped: typing.Any  # the saved pipeline, scattered to every worker
    record: dict
    header: list
    proba: bool
    fmt: str
    options: dict
    summarize: bool

    def submit(self, block, part=None):
        return self.client.submit(
            predict_block,
            self.shipped,
            self.record,
            self.header,
            block,
            self.proba,
            part,
            self.fmt,
            self.options,
            self.summarize,
            pure=False,
        )


def _totals(summarize):
    if not summarize:
        return None
    from tabrix_libs import summary

    return summary.Totals()


def _in_order(job, blocks, workers):
    """The blocks' results in block order, with a bounded number of blocks worked on ahead."""
    ahead = collections.deque()
    todo = iter(blocks)

    def submit():
        block = next(todo, None)
        if block is not None:
            ahead.append(job.submit(block))

    for _ in range(AHEAD_PER_WORKER * workers + 1):
        submit()
    try:
        while ahead:
            future = ahead.popleft()
            try:
                result = future.result()
            except Exception as e:
                raise _as_error(e) from None
            submit()
            yield result
    finally:
        for future in ahead:
            future.cancel()


def _to_folder(job, blocks, out, score, on_block, totals):
    """One part file per block, written by the workers into a temporary folder that takes the
    folder's name once every block has succeeded."""
    target = storage.AtomicFolder(out)
    suffix = ".parquet" if job.fmt == "parquet" else ".csv"
    try:
        digits = max(5, len(str(len(blocks) - 1)))
        futures = [
            job.submit(block, target.part("part-%0*d%s" % (digits, k, suffix)))
            for k, block in enumerate(blocks)
        ]
        distributed = _dask()
        done = 0
        for _ in distributed.as_completed(futures):
            done += 1
            on_block(done, len(blocks))
        # Every future has finished: the first failure in block order is the one reported.
        for future in futures:
            if future.status == "error":
                raise _as_error(future.exception())
        results = _gather(job.client, futures)
        for result in results:
            score.merge(result.score)
            if totals is not None:
                totals.add(result.summary)
        target.commit()
    except BaseException:
        target.abort()
        raise
    return sum(r.rows for r in results)
