"""Reading and writing the command-line tool's files: CSV tables read as strings (whole or a chunk
of rows at a time), the transformed table, the predictions, and the progress bar.

    from tabrix_libs.tableio import read_csv
    names, rows = read_csv("data.csv")        # every cell a str, empty cells ""

Problems with a file raise InputError with a one-line message that names the file and, where it
helps, the line.
"""

import contextlib
import csv
import io
import os
import sys
import tempfile

# The bundled Palmer penguins data (CC0, see data/README.md).
PENGUINS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "penguins.csv")
# Files at least this large get a progress bar (when stderr is a terminal).
PROGRESS_MIN_BYTES = 4 << 20


class InputError(Exception):
    """A problem with what the user gave us: reported in one line, exit code 2."""


def _os_message(e):
    return e.strerror or str(e)


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
            size = os.path.getsize(path)
        except OSError:
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


class _CountingFile(io.RawIOBase):
    """A binary file that counts the bytes read, for the progress bar."""

    def __init__(self, raw, on_read):
        self.raw, self.on_read = raw, on_read
        self.done = 0

    def readable(self):
        return True

    def readinto(self, buffer):
        n = self.raw.readinto(buffer)
        if n:
            self.done += n
            self.on_read(self.done)
        return n


class CsvReader:
    """A CSV file with a header line, read as strings a chunk of rows at a time.

    Opening reads the header: a file that cannot be read, holds no header, or names a column
    twice raises InputError. `chunks(n)` then yields lists of at most n rows (all of them when n
    is None); blank lines are skipped, and a row whose field count differs from the header's,
    text that is not UTF-8, broken quoting or a file without data rows raise InputError.
    `on_read(fraction)` is called as reading advances; `fraction_read` says how far it has got.

    Use it as a context manager, or call close()."""

    def __init__(self, path, on_read=None):
        self.path = path
        try:
            self.size = max(os.path.getsize(path), 1)
            self._raw = open(path, "rb", buffering=0)
        except OSError as e:
            raise InputError("cannot read %s: %s" % (path, _os_message(e))) from None
        report = on_read or (lambda fraction: None)
        self._counted = _CountingFile(self._raw, lambda done: report(done / self.size))
        self._text = io.TextIOWrapper(
            io.BufferedReader(self._counted, 1 << 20), encoding="utf-8-sig", newline=""
        )
        self._reader = csv.reader(self._text, strict=True)
        try:
            self.header = self._first_line()
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
        return self._counted.done / self.size

    @contextlib.contextmanager
    def _errors(self):
        """The reader's failures as one-line errors."""
        try:
            yield
        except csv.Error as e:
            raise InputError(
                "%s, line %d: not valid CSV (%s)" % (self.path, self._reader.line_num, e)
            ) from None
        except UnicodeDecodeError:
            raise InputError(
                "cannot read %s: not UTF-8 text (after line %d)"
                % (self.path, self._reader.line_num)
            ) from None
        except OSError as e:
            raise InputError("cannot read %s: %s" % (self.path, _os_message(e))) from None

    def _first_line(self):
        with self._errors():
            for fields in self._reader:
                if fields:
                    return fields
        return None

    def chunks(self, size=None):
        width = len(self.header)
        rows = []
        any_rows = False
        reader = self._reader
        with self._errors():
            for fields in reader:
                if len(fields) != width:
                    if not fields:
                        continue
                    raise InputError(
                        "%s, line %d: %d fields where the header has %d"
                        % (self.path, reader.line_num, len(fields), width)
                    )
                rows.append(fields)
                if size is not None and len(rows) >= size:
                    any_rows = True
                    yield rows
                    rows = []
        if rows:
            yield rows
        elif not any_rows:
            raise InputError("%s has a header but no data rows" % self.path)

    def close(self):
        self._text.close()
        self._raw.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def read_csv(path, progress=None):
    """Reads a CSV file with a header line; returns (column names, list of rows of str).

    Empty cells stay "" and every value stays a string. Blank lines are skipped. Raises
    InputError for a file that cannot be read, holds no header or no data rows, has duplicate
    column names, or a row whose field count differs from the header's."""
    label = "reading " + os.path.basename(path)
    progress = progress or Progress(False)
    with CsvReader(path, lambda fraction: progress.update(label, fraction)) as reader:
        return reader.header, next(reader.chunks(None))


# --------------------------------------------------------------------------------------------
# Writing


def _csv_text(value):
    return repr(value) if isinstance(value, float) else value


def write_transformed(path, Y, names):
    """Writes the transformed table as .npy, or as .csv with a header of feature names (f0, f1,
    ... when names do not fit)."""
    import numpy as np

    lower = path.lower()
    if not (lower.endswith(".npy") or lower.endswith(".csv")):
        raise InputError("--out %s: the name must end in .npy or .csv" % path)
    try:
        if lower.endswith(".npy"):
            np.save(path, Y)
            return
        with open(path, "w", newline="", encoding="utf-8") as f:
            w = csv.writer(f)
            w.writerow(
                names
                if names and len(names) == Y.shape[1]
                else ["f%d" % j for j in range(Y.shape[1])]
            )
            for row in Y.tolist():
                w.writerow([_csv_text(v) for v in row])
    except OSError as e:
        raise InputError("cannot write %s: %s" % (path, _os_message(e))) from None


class RowWriter:
    """CSV rows to a file or, without a path, to a text stream (standard output).

    A file is written under a temporary name beside it and takes its name only at commit(), so a
    run that fails leaves no partial file behind and an existing file untouched."""

    def __init__(self, path, header, stream=None):
        self.path = path
        self._tmp = None
        if path is None:
            self._file = stream if stream is not None else sys.stdout
        else:
            folder = os.path.dirname(os.path.abspath(path))
            try:
                fd, self._tmp = tempfile.mkstemp(
                    prefix="." + os.path.basename(path) + ".", suffix=".part", dir=folder
                )
                self._file = io.open(fd, "w", newline="", encoding="utf-8")
            except OSError as e:
                raise InputError("cannot write %s: %s" % (path, _os_message(e))) from None
        self._writer = csv.writer(self._file, lineterminator="\n")
        self.write([header])

    def write(self, rows):
        try:
            self._writer.writerows(rows)
        except OSError as e:
            if self.path is None:
                raise
            raise InputError("cannot write %s: %s" % (self.path, _os_message(e))) from None

    def commit(self):
        if self._tmp is None:
            self._file.flush()
            return
        try:
            self._file.close()
            # mkstemp makes the file private; give it the mode a plain open() would have.
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(self._tmp, 0o666 & ~umask)
            os.replace(self._tmp, self.path)
        except OSError as e:
            self.abort()
            raise InputError("cannot write %s: %s" % (self.path, _os_message(e))) from None
        self._tmp = None

    def abort(self):
        if self._tmp is None:
            return
        try:
            self._file.close()
        finally:
            try:
                os.unlink(self._tmp)
            except OSError:
                pass
            self._tmp = None
