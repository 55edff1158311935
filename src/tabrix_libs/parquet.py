"""Parquet tables for the command-line tool, beside the CSV reading of tabrix_libs.tableio and
behind the same interface: read by row groups, through pyarrow, as the text cells the CSV of
the same table holds, and written back with their own column types plus the predictions. Needs
pyarrow (`pip install 'tabrix-libs[parquet]'`).

    from tabrix_libs.parquet import ParquetReader
    with ParquetReader("s3://lake/t.parquet") as reader:
        for block in reader.blocks(100000):       # 2-D object arrays of str
            ...

The cells are the text that pandas' to_csv writes for the same table, so that a pipeline fitted
on a CSV file applies to the Parquet file of the same table with the same predictions:

- text as it is; numbers as Python writes them (integers in decimal, floats as repr() writes
  them, float32 values as NumPy writes them); booleans as True and False;
- a missing value (a null, or a float NaN) as an empty cell;
- dates as YYYY-MM-DD; times as YYYY-MM-DD HH:MM:SS, with a fraction of a second only where
  there is one and the date alone at midnight; times with a time zone as Python's
  isoformat(" ") writes them.

Columns are converted whole (Arrow's buffers handed to compiled code), never through a Python
object per cell, but for the rare types without a text rule of their own (decimals, durations,
lists, ...), written as Python's str() writes their values.
"""

import re
import typing

from tabrix_libs import storage
from tabrix_libs.errors import InputError

PARQUET_INSTALL = "Parquet files need pyarrow: pip install pyarrow (or 'tabrix-libs[parquet]')"
# The columns pandas writes for an index that is not a plain range: not data.
_PANDAS_INDEX = re.compile(r"^__index_level_\d+__$")


def _pyarrow():
    try:
        import pyarrow
        import pyarrow.parquet  # noqa: F401
    except ImportError:
        raise InputError(PARQUET_INSTALL) from None
    return pyarrow


# --------------------------------------------------------------------------------------------
# Arrow columns as text


_TICKS = {"s": 1, "ms": 1000, "us": 1000000, "ns": 1000000000}


def _python_text(array):
    import numpy as np

    out = np.empty(len(array), dtype=object)
    out[:] = [
        "" if v is None else v.isoformat(" ") if hasattr(v, "tzinfo") and v.tzinfo else str(v)
        for v in array.to_pylist()
    ]
    return out


def array_text(array):
    """A 1-D object array of str: the cells of an Arrow array (one chunk)."""
    import numpy as np

    from tabrix_libs import _tableio

    pa = _pyarrow()
    types = pa.types
    t = array.type
    n = len(array)
    valid = None if array.null_count == 0 else array.is_valid().to_numpy(zero_copy_only=False)
    if types.is_dictionary(t):
        values = array_text(array.dictionary)
        if not len(values):
            return np.full(n, "", dtype=object)
        out = values.take(array.indices.fill_null(0).to_numpy(zero_copy_only=False))
        if valid is not None:
            out[~valid] = ""
        return out
    if types.is_string(t) or types.is_large_string(t):
        validity, offsets, data = array.buffers()
        return _tableio.strings_text(
            offsets, data, validity, array.offset, n, large=types.is_large_string(t)
        )
    if hasattr(types, "is_string_view") and types.is_string_view(t):
        return array_text(array.cast(pa.string()))
    if types.is_null(t):
        return np.full(n, "", dtype=object)
    if types.is_float16(t) or types.is_float32(t):
        # As NumPy writes a float32 (and so pandas): its shortest decimal, NumPy's notation.
        values = array.cast(pa.float32()).to_numpy(zero_copy_only=False)
        out = values.astype(str).astype(object)
        out[np.isnan(values)] = ""
        return out
    if types.is_boolean(t) or types.is_integer(t) or types.is_floating(t):
        filler = False if types.is_boolean(t) else 0
        values = array.fill_null(filler).to_numpy(zero_copy_only=False)
        return _tableio.number_text(values, valid)
    if types.is_date32(t):
        days = array.cast(pa.int32()).fill_null(0).to_numpy(zero_copy_only=False)
        return _tableio.time_text(days.astype(np.int64), valid, 1, True)
    if types.is_date64(t):
        ms = array.cast(pa.int64()).fill_null(0).to_numpy(zero_copy_only=False)
        return _tableio.time_text(ms // 86400000, valid, 1, True)
    if types.is_timestamp(t) and t.tz is None:
        ticks = array.cast(pa.int64()).fill_null(0).to_numpy(zero_copy_only=False)
        return _tableio.time_text(ticks.astype(np.int64), valid, _TICKS[t.unit], False)
    return _python_text(array)


def column_text(column):
    """A 1-D object array of str: the cells of an Arrow column (chunked or not)."""
    import numpy as np

    chunks = getattr(column, "chunks", None)
    if chunks is None:
        return array_text(column)
    if len(chunks) == 1:
        return array_text(chunks[0])
    if not chunks:
        return np.empty(0, dtype=object)
    return np.concatenate([array_text(c) for c in chunks])


def table_text(table):
    """A 2-D object array of str: the cells of an Arrow table, row by row."""
    import numpy as np

    out = np.empty((table.num_rows, table.num_columns), dtype=object)
    for j, column in enumerate(table.columns):
        out[:, j] = column_text(column)
    return out


# --------------------------------------------------------------------------------------------
# Reading


def _data_columns(schema):
    return [n for n in schema.names if not _PANDAS_INDEX.match(n)]


def _errors_of(path):
    """pyarrow's and the storage's failures reading `path`, as one-line errors."""
    pa = _pyarrow()

    class _Errors:
        def __enter__(self):
            return self

        def __exit__(self, kind, e, tb):
            if e is None or isinstance(e, InputError):
                return False
            if isinstance(e, (pa.ArrowInvalid, pa.ArrowNotImplementedError)):
                text = str(e).strip().splitlines()
                raise InputError(
                    "cannot read %s: not a Parquet file this tool reads (%s)"
                    % (path, text[0] if text else type(e).__name__)
                ) from None
            mapped = storage.failure(e, path)
            if mapped is None or mapped is e:
                return False
            raise mapped from None

    return _Errors()


class ParquetReader:
    """A Parquet file read as text cells a block of rows at a time: the interface of
    tableio.CsvReader (header, blocks(n), pieces(n), chunks(n), fraction_read, close). Opening
    reads the footer only; blocks are read by row groups, so that memory stays that of a block."""

    def __init__(self, path, on_read=None):
        _pyarrow()
        import pyarrow.parquet as pq

        self.path = path
        self._on_read = on_read or (lambda fraction: None)
        self._file = None
        self._rows_read = 0
        with _errors_of(path):
            if storage.is_url(path):
                self._file = storage.open_input(path)
                self._pf = pq.ParquetFile(self._file)
            else:
                self._pf = pq.ParquetFile(storage.local(path))
        self.header = _data_columns(self._pf.schema_arrow)
        if len(set(self.header)) != len(self.header):
            twice = next(n for n in self.header if self.header.count(n) > 1)
            self.close()
            raise InputError("%s: column name %r appears twice" % (path, twice))
        self.rows = self._pf.metadata.num_rows
        if not self.header:
            self.close()
            raise InputError("%s has no columns" % path)

    @property
    def fraction_read(self):
        return self._rows_read / max(self.rows, 1)

    def pieces(self, size=None):
        """(block, table) pairs in order: the cells of at most `size` rows (every row at once
        when None) and the same rows as an Arrow table with their own column types."""
        pa = _pyarrow()
        if not self.rows:
            raise InputError("%s has no data rows" % self.path)
        with _errors_of(self.path):
            if size is None:
                batches = [self._pf.read(columns=self.header)]
            else:
                batches = self._pf.iter_batches(batch_size=size, columns=self.header)
            for batch in batches:
                table = batch if isinstance(batch, pa.Table) else pa.Table.from_batches([batch])
                self._rows_read += table.num_rows
                self._on_read(self.fraction_read)
                yield table_text(table), table

    def blocks(self, size=None):
        for block, _ in self.pieces(size):
            yield block

    def chunks(self, size=None):
        for block in self.blocks(size):
            yield block.tolist()

    def close(self):
        f, self._file = self._file, None
        if f is not None:
            f.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Block(typing.NamedTuple):
    """Row groups of a Parquet file, read by a Dask worker on its own."""

    path: str
    row_groups: typing.Tuple[int, ...]
    first_row: int  # number of the block's first data row in the file, from 1
    rows: int


def plan_blocks(path, block_bytes):
    """The blocks of a file, from its footer: consecutive row groups of about block_bytes of
    data each (a row group is never split)."""
    _pyarrow()
    import pyarrow.parquet as pq

    with _errors_of(path):
        if storage.is_url(path):
            with storage.open_input(path) as f:
                meta = pq.ParquetFile(f).metadata
        else:
            meta = pq.ParquetFile(storage.local(path)).metadata
    blocks, group, rows, size, first = [], [], 0, 0, 1
    for k in range(meta.num_row_groups):
        g = meta.row_group(k)
        group.append(k)
        rows += g.num_rows
        size += g.total_byte_size
        if size >= block_bytes or k == meta.num_row_groups - 1:
            if rows:
                blocks.append(Block(path, tuple(group), first, rows))
            first += rows
            group, rows, size = [], 0, 0
    return blocks


def read_block(block, header):
    """(cells, table) of a block, its columns checked against the `header` of the first file."""
    import pyarrow.parquet as pq

    with _errors_of(block.path):
        if storage.is_url(block.path):
            with storage.open_input(block.path) as f:
                pf = pq.ParquetFile(f)
                names = _data_columns(pf.schema_arrow)
                table = pf.read_row_groups(list(block.row_groups), columns=header)
        else:
            pf = pq.ParquetFile(storage.local(block.path))
            names = _data_columns(pf.schema_arrow)
            table = pf.read_row_groups(list(block.row_groups), columns=header)
    if names != header:
        raise InputError("%s: its columns differ from those of the first file" % block.path)
    if table.num_rows != block.rows:
        raise InputError(
            "%s changed while it was read (data rows %d to %d)"
            % (block.path, block.first_row, block.first_row + block.rows - 1)
        )
    return table_text(table), table


# --------------------------------------------------------------------------------------------
# Writing


def output_table(block, columns, names, header, table=None):
    """The Arrow table of a block's rows with their predictions: the input's columns with their
    types (strings for a block read from CSV), then one column per prediction column (a float64
    array, or a list of str)."""
    import numpy as np

    pa = _pyarrow()
    if table is None:
        table = pa.table(
            [pa.array(block[:, j], type=pa.string()) for j in range(block.shape[1])], names=header
        )
    for name, values in zip(names, columns):
        if isinstance(values, np.ndarray) and values.dtype.kind == "f":
            table = table.append_column(name, pa.array(values, type=pa.float64()))
        else:
            table = table.append_column(name, pa.array(values, type=pa.string()))
    return table


def table_bytes(table):
    """A table as the bytes of a Parquet file."""
    import io

    import pyarrow.parquet as pq

    sink = io.BytesIO()
    pq.write_table(table, sink)
    return sink.getvalue()


class ParquetRowWriter:
    """The rows and their predictions to a Parquet file (local or a URL), written under a
    temporary name and taking its own at commit(): the interface of tableio.RowWriter."""

    def __init__(self, path, header, names):
        _pyarrow()
        self.path, self.header, self.names = path, list(header), list(names)
        self._out = storage.AtomicFile(path)
        self._writer = None
        self._schema = None

    def write_block(self, block, columns, table=None):
        self.write_table(output_table(block, columns, self.names, self.header, table))

    def write_table(self, table):
        import pyarrow.parquet as pq

        pa = _pyarrow()
        if self._writer is None:
            self._schema = table.schema.remove_metadata()
            with storage.errors(self.path, "write"):
                self._writer = pq.ParquetWriter(self._out.file, self._schema)
        else:
            try:
                table = table.replace_schema_metadata(None).cast(self._schema)
            except (pa.ArrowInvalid, pa.ArrowNotImplementedError, ValueError):
                raise InputError(
                    "cannot write %s: the column types of the input files differ" % self.path
                ) from None
        with storage.errors(self.path, "write"):
            self._writer.write_table(table)

    def commit(self):
        try:
            with storage.errors(self.path, "write"):
                if self._writer is not None:
                    self._writer.close()
                self._out.commit()
        except BaseException:
            self.abort()
            raise

    def abort(self):
        writer, self._writer = self._writer, None
        if writer is not None:
            try:
                writer.close()
            except Exception:  # what was written is dropped anyway
                pass
        self._out.abort()
