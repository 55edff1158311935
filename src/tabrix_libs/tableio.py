"""Reading and writing the command-line tool's files: tables read as strings (whole or a chunk
of rows at a time; CSV here, Parquet in tabrix_libs.parquet behind the same interface), the
transformed table, the predictions, and the progress bar. Files are local paths or URLs
(tabrix_libs.storage).

    from tabrix_libs.tableio import read_csv, open_table
    names, rows = read_csv("data.csv")        # every cell a str, empty cells ""
    with open_table("s3://lake/t.parquet") as reader:
        for block in reader.blocks(100000):   # 2-D object arrays of str
            ...

Problems with a file raise InputError with a one-line message that names the file and, where it
helps, the line.
"""

import contextlib
import csv
import os
import sys
import typing

from tabrix_libs import storage

# The bundled Palmer penguins data (CC0, see data/README.md).
PENGUINS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "penguins.csv")
# Files at least this large get a progress bar (when stderr is a terminal).
PROGRESS_MIN_BYTES = 4 << 20


from tabrix_libs.errors import InputError  # noqa: E402  (where the tool's modules import it)

PARQUET_SUFFIXES = (".parquet", ".parq", ".pq")


def is_parquet(path):
    return path.lower().rstrip("/").endswith(PARQUET_SUFFIXES)


# --------------------------------------------------------------------------------------------
# Progress bar


class Progress:
    """A one-line bar on stderr, redrawn in place; silent unless enabled."""

    def __init__(self, enabled, stream=None, width=30):
        self.enabled = enabled
        self.stream = stream if stream is not None else sys.stderr
        self.width = width
        self._last = None

    @classmethod
    def for_file(cls, path, stream, wanted=True):
        """A bar for reading `path` that shows only where it is worth it: a large file and a
        terminal to draw on."""
        try:
            size = storage.size(path) if not storage.is_url(path) else 0
        except (InputError, OSError):
            size = 0
        return cls(wanted and size >= PROGRESS_MIN_BYTES and _isatty(stream), stream)

    def update(self, label, fraction):
        if not self.enabled:
            return
        fraction = min(max(fraction, 0.0), 1.0)
        filled = int(round(fraction * self.width))
        text = "\r[%s%s] %3d%% %-28s" % (
            "#" * filled,
            "." * (self.width - filled),
            int(fraction * 100),
            label[:28],
        )
        if text != self._last:
            self.stream.write(text)
            self.stream.flush()
            self._last = text

    def close(self):
        if self.enabled and self._last is not None:
            self.stream.write("\r" + " " * len(self._last) + "\r")
            self.stream.flush()
            self._last = None


def _isatty(stream):
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


# --------------------------------------------------------------------------------------------
# Reading


class CsvReader:
    """A CSV file with a header line, read as strings a chunk of rows at a time.

    The reading rules are those of Python's csv module with its default dialect over a UTF-8
    file (a byte-order mark skipped) opened with newline="", in every Python release: fields
    split at commas, quoted fields that may hold commas, quotes (doubled) and line breaks, lines
    ending in "\n", "\r\n" or "\r". The reading itself is compiled code (tabrix_libs._tableio),
    the same for one process and for the blocks read by Dask workers.

    Opening reads the header: a file that cannot be read, holds no header, or names a column
    twice raises InputError. `blocks(n)` then yields 2-D object arrays of at most n rows (all of
    them when n is None) and `chunks(n)` the same as lists of rows; blank lines are skipped, and a
    row whose field count differs from the header's, text that is not UTF-8, broken quoting or a
    file without data rows raise InputError naming the line. `on_read(fraction)` is called as
    reading advances; `fraction_read` says how far it has got.

    Use it as a context manager, or call close()."""

    # Rows per block when the whole file is read.
    WHOLE_FILE_BLOCK = 65536

    def __init__(self, path, on_read=None):
        from tabrix_libs import _tableio

        self.path = path
        source, self._file = storage.reader_source(path)
        try:
            with self._errors():
                self._reader = _tableio.Reader(source, field_limit=csv.field_size_limit())
        except BaseException:
            self._close_file()
            raise
        self.size = max(self._reader.size, 1)
        self._on_read = on_read or (lambda fraction: None)
        try:
            with self._errors():
                self.header = self._reader.read_header()
            if self.header is None:
                raise InputError("%s is empty: no header line" % path)
            seen = set()
            for name in self.header:
                if name in seen:
                    raise InputError(
                        "%s: column name %r appears twice in the header" % (path, name)
                    )
                seen.add(name)
        except BaseException:
            self.close()
            raise

    @property
    def fraction_read(self):
        return self._reader.bytes_read / self.size

    @contextlib.contextmanager
    def _errors(self):
        """The reader's failures as one-line errors."""
        from tabrix_libs import _tableio

        try:
            yield
        except _tableio.CsvError as e:
            raise InputError(csv_error_text(self.path, e)) from None
        except Exception as e:  # the OS's, or those of the storage a URL's file object reads
            mapped = storage.failure(e, self.path)
            if mapped is None or mapped is e:
                raise
            raise mapped from None

    def blocks(self, size=None):
        """2-D object arrays of at most `size` rows (every row at once when None), in order."""
        import numpy as np

        if size is None:
            parts = list(self._read(self.WHOLE_FILE_BLOCK))
            if parts:
                yield parts[0] if len(parts) == 1 else np.concatenate(parts)
        else:
            yield from self._read(size)
        if not self._reader.rows:
            raise InputError("%s has a header but no data rows" % self.path)

    def _read(self, size):
        while True:
            with self._errors():
                block = self._reader.read(size)
            if not len(block):
                return
            self._on_read(self.fraction_read)
            yield block

    def pieces(self, size=None):
        """(block, None) for each block of blocks(size): the interface of ParquetReader, whose
        second item is the block as read, with its own column types."""
        for block in self.blocks(size):
            yield block, None

    def chunks(self, size=None):
        """The same as blocks(), as lists of rows (lists of str)."""
        for block in self.blocks(size):
            yield block.tolist()

    def close(self):
        reader = getattr(self, "_reader", None)
        if reader is not None:
            reader.close()
        self._close_file()

    def _close_file(self):
        f, self._file = self._file, None
        if f is not None:
            with contextlib.suppress(Exception):
                f.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def open_table(path, on_read=None):
    """A reader of the table at `path`: CsvReader, or parquet.ParquetReader for a Parquet file,
    with the same interface (header, blocks(n), chunks(n), fraction_read, close)."""
    if is_parquet(path):
        from tabrix_libs.parquet import ParquetReader

        return ParquetReader(path, on_read)
    return CsvReader(path, on_read)


def input_files(pattern):
    """The files a DATA argument names: the one file, those a glob pattern matches, or the data
    files of a folder of parts, in name order; local or URLs."""
    return storage.expand(pattern)


def csv_error_text(path, error):
    """The one-line message of a CsvError raised reading `path`."""
    return _problem_text(path, error.problem, error.line, str(error))


def _problem_text(path, problem, line, message):
    if problem == "encoding":
        return "cannot read %s: not UTF-8 text (line %d)" % (path, line)
    if problem == "fields":
        return "%s, line %d: %s" % (path, line, message)
    return "%s, line %d: not valid CSV (%s)" % (path, line, message)


def read_table(path, progress=None):
    """Reads a table (CSV with a header line, or Parquet); returns (column names, 2-D object
    array of str).

    The rules and errors of read_csv."""
    label = "reading " + os.path.basename(path.rstrip("/"))
    progress = progress or Progress(False)
    with open_table(path, lambda fraction: progress.update(label, fraction)) as reader:
        return reader.header, next(reader.blocks(None))


def read_csv(path, progress=None):
    """Reads a CSV file with a header line; returns (column names, list of rows of str).

    Empty cells stay "" and every value stays a string. Blank lines are skipped. Raises
    InputError for a file that cannot be read, holds no header or no data rows, has duplicate
    column names, or a row whose field count differs from the header's."""
    names, table = read_table(path, progress)
    return names, table.tolist()


# --------------------------------------------------------------------------------------------
# Reading a file in byte ranges, apart (the blocks of Dask workers)
#
# A file is cut at byte offsets, each moved to the start of the next line. A line starts either
# between records or inside a quoted field that holds line breaks, which only the bytes before
# it can tell: each range is scanned from both starting points (scan_range, where the bytes
# are), then the scans are chained from the start of the file (plan_blocks, anywhere: they are
# a few numbers each) to know where each range starts, its first line and its first row. Each
# range then reads the records that begin in it (read_block), the last one whole.


class Block(typing.NamedTuple):
    """A byte range of a file and what reading it gives."""

    path: str
    begin: int  # first byte
    end: int  # no record of the block begins at or after this byte
    inside_quotes: bool  # begin lies inside a record begun in an earlier block
    first_line: int  # line number at begin
    first_row: int  # number of the block's first data row in the file, from 1
    rows: int  # data rows that begin in the block
    has_header: bool  # its first record is the file's header


def header_of(path):
    """The column names of a table (a list of str): a CSV file's header line, read with the
    rules of CsvReader, or a Parquet file's schema (read from its footer)."""
    with open_table(path) as reader:
        return reader.header


def range_starts(size, block_bytes):
    """Byte offsets that cut a file of `size` bytes into ranges of about block_bytes."""
    return list(range(0, max(size, 1), max(int(block_bytes), 1)))


def scan_range(path, start, stop, width, field_limit=None):
    """The scan of bytes [start, stop) of a file (see _tableio.scan); a one-line error when it
    cannot be read."""
    from tabrix_libs import _tableio

    limit = csv.field_size_limit() if field_limit is None else field_limit
    source, f = storage.reader_source(path)
    try:
        with storage.errors(path):
            return _tableio.scan(source, start, stop, width, limit)
    finally:
        if f is not None:
            f.close()


def plan_blocks(path, scans):
    """The blocks of a file, from the scans of its consecutive ranges (the first at byte 0, the
    last at its end). Raises InputError for a problem the scans found, naming the line."""
    blocks = []
    quoted = False
    line, rows = 1, 0
    header_seen = False
    for begin, end, lines, outcomes in scans:
        ends_quoted, completed, open_record, problem, at, message = outcomes[quoted]
        if problem is not None:
            raise InputError(_problem_text(path, problem, line + at - 1, message))
        records = completed + bool(open_record)
        has_header = records > 0 and not header_seen
        header_seen = header_seen or has_header
        data = records - has_header
        if end > begin:
            blocks.append(Block(path, begin, end, quoted, line, rows + 1, data, has_header))
        rows += data
        line += lines
        quoted = ends_quoted
    return blocks


def read_block(block, width, field_limit=None):
    """The data rows of a block as a 2-D object array of str. Raises InputError for a problem
    in the part of its last record that lies beyond it (what its scan did not see)."""
    from tabrix_libs import _tableio

    limit = csv.field_size_limit() if field_limit is None else field_limit
    source, f = storage.reader_source(block.path)
    try:
        with storage.errors(block.path):
            reader = _tableio.Reader(
                source, block.begin, block.end, block.inside_quotes, block.first_line, limit
            )
        try:
            reader.set_width(width)
            table = reader.read(max(block.rows + block.has_header, 1))
        except _tableio.CsvError as e:
            raise InputError(csv_error_text(block.path, e)) from None
        except Exception as e:
            mapped = storage.failure(e, block.path)
            if mapped is None or mapped is e:
                raise
            raise mapped from None
        finally:
            reader.close()
    finally:
        if f is not None:
            f.close()
    return table[1:] if block.has_header else table


def read_piece(block, header):
    """(cells, Arrow table or None) of a block of either format: a CSV Block of plan_blocks, or
    a parquet.Block of parquet.plan_blocks (whose file's columns must be `header`)."""
    if isinstance(block, Block):
        return read_block(block, len(header)), None
    from tabrix_libs import parquet

    return parquet.read_block(block, header)


# --------------------------------------------------------------------------------------------
# Writing


def _csv_text(value):
    return repr(value) if isinstance(value, float) else value


def write_transformed(path, Y, names):
    """Writes the transformed table as .npy, or as .csv with a header of feature names (f0, f1,
    ... when names do not fit); local or a URL, appearing whole or not at all."""
    import io

    import numpy as np

    lower = path.lower()
    if not (lower.endswith(".npy") or lower.endswith(".csv")):
        raise InputError("--out %s: the name must end in .npy or .csv" % path)
    with storage.AtomicFile(path) as out, storage.errors(path, "write"):
        if lower.endswith(".npy"):
            np.save(out.file, Y)
            return
        text = io.TextIOWrapper(out.file, encoding="utf-8", newline="")
        w = csv.writer(text)
        w.writerow(
            names if names and len(names) == Y.shape[1] else ["f%d" % j for j in range(Y.shape[1])]
        )
        for row in Y.tolist():
            w.writerow([_csv_text(v) for v in row])
        text.flush()
        text.detach()


class RowWriter:
    """CSV rows to a file or, without a path, to a stream (standard output), written as Python's
    csv writer writes them with lineterminator="\n".

    A file (local or a URL) is written under a temporary name beside it and takes its name only
    at commit(), so a run that fails leaves no partial file behind and an existing file
    untouched."""

    def __init__(self, path, header, stream=None):
        self.path = path
        self._out = None
        self._text = None
        if path is None:
            stream = stream if stream is not None else sys.stdout
            # A text stream with a binary buffer (sys.stdout) takes the bytes; others the text.
            self._file = getattr(stream, "buffer", None)
            if self._file is None:
                self._file, self._text = stream, stream
            else:
                stream.flush()
        else:
            self._out = storage.AtomicFile(path)
            self._file = self._out.file
        self.write([header])

    def write(self, rows):
        """Writes rows given as lists of str."""
        import numpy as np

        block = np.empty((len(rows), len(rows[0]) if rows else 0), dtype=object)
        block[...] = rows
        self.write_block(block)

    def write_block(self, block, columns=(), table=None):
        """Writes the rows of a 2-D object array of str, each followed by one value of every
        column (a float64 array, written as repr() writes floats, or a list of str). `table`, the
        block as read from a Parquet file, is for writers of Parquet and not needed here."""
        from tabrix_libs import _tableio

        self.write_bytes(_tableio.format_rows(block, columns))

    def write_bytes(self, data):
        """Writes CSV text already formatted (UTF-8)."""
        if self._text is not None:
            self._text.write(data.decode("utf-8"))
            return
        if self.path is None:
            self._file.write(data)
            return
        with storage.errors(self.path, "write"):
            self._file.write(data)

    def commit(self):
        if self._out is None:
            self._file.flush()
            return
        self._out.commit()
        self._out = None

    def abort(self):
        if self._out is not None:
            self._out.abort()
            self._out = None
