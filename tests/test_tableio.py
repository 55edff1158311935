"""The compiled CSV reader and writer (tabrix_libs._tableio, through tabrix_libs.tableio) against
the csv module: whole files, files cut into byte ranges at any offsets, and rows written."""

import csv
import io
import sys

import numpy as np
import pytest
from _csv_model import expected, field_limit, read_in_ranges, read_whole
from hypothesis import example, given, settings
from hypothesis import strategies as st

from tabrix_libs import _tableio

# The csv module refuses NUL before 3.11; the rules read are the 3.11+ ones everywhere.
needs_311 = pytest.mark.skipif(sys.version_info < (3, 11), reason="the csv module refuses NUL")
LETTERS = ["a", "b", " ", "\x00", "é", "€", "\U0001d11e", "\ufeff"]
BREAKS = ["\n", "\r\n", "\r"]
VALID = [b",", b'"', b"\r", b"\n", b"a", b'""']
NOISE = VALID * 3 + [b"\xff", b"\xc3", b"\xe2\x82", b"\xed\xa0\x80", b"\xc0\xaf"]  # some not UTF-8
plain = st.lists(st.sampled_from(LETTERS + ['"']), max_size=4).map(lambda c: "".join(c).lstrip('"'))
quoted = st.lists(st.sampled_from(LETTERS + [",", '"'] + BREAKS), max_size=5).map(
    lambda c: '"' + "".join(c).replace('"', '""') + '"'
)


@st.composite
def csv_bytes(draw):
    """Rows of plain and quoted fields (mostly of one width), with a few bytes put anywhere."""
    width = draw(st.integers(1, 3))
    field = st.one_of(plain, quoted)
    header = draw(st.lists(field, min_size=width, max_size=width, unique=True))
    rows = [header] + draw(st.lists(st.lists(field, min_size=width, max_size=width), max_size=6))
    data = "".join(",".join(r) + draw(st.sampled_from(BREAKS)) for r in rows).encode()
    if draw(st.booleans()):
        data = data.rstrip(b"\r\n")
    for at, piece in draw(
        st.lists(st.tuples(st.integers(0, 999), st.sampled_from(NOISE)), max_size=2)
    ):
        data = data[: at % (len(data) + 1)] + piece + data[at % (len(data) + 1) :]
    return (b"\xef\xbb\xbf" if draw(st.booleans()) else b"") + data


limits = st.sampled_from([None, None, None, 2, 4])


@pytest.fixture(scope="module")
def path(tmp_path_factory):
    return str(tmp_path_factory.mktemp("csv") / "data.csv")


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    return path


@needs_311
@settings(max_examples=300, deadline=None)
@given(data=csv_bytes(), limit=limits)
@example(data=b'a,b\n"x\ny",1\n\xff\n', limit=None)
@example(data=b"\xef\xbb\xbfa\r\n\xe2\x82\xac\r", limit=1)
def test_read_csv_reads_as_the_csv_module(path, data, limit):
    with field_limit(limit):
        assert read_whole(write(path, data)) in expected(data)


@settings(max_examples=300, deadline=None)
@given(data=csv_bytes(), limit=limits, cuts=st.lists(st.integers(1, 999), max_size=4))
@example(data=b"\xef\xbb\xbf\na\n1\n", limit=None, cuts=[1])
@example(data=b'a,b\n"x\ny"\n1\n', limit=None, cuts=[6])  # a record across a cut
@example(data=b'a\n"1\n\xff"\n2,3\n', limit=None, cuts=[5])
@example(data=b'a\n"xy\nz"\n1,2\n', limit=3, cuts=[5])
def test_reading_in_ranges_reads_as_the_whole_file(path, data, limit, cuts):
    starts = sorted({0} | {c % len(data) for c in cuts}) if data else [0]
    with field_limit(limit):
        whole = read_whole(write(path, data))
        assert read_in_ranges(path, data, starts) == whole
        if sys.version_info >= (3, 11):
            assert whole in expected(data)


@pytest.mark.parametrize("char", ["é", "€", "\U0001d11e"])
def test_a_character_across_the_read_buffers_edge(path, char):
    """The reader and the scan read 1 MiB at a time: a character cut there is still one."""
    for shift in range(1, len(char.encode())):
        rows, rest = divmod((1 << 20) - shift - 2, 10)  # the character begins at 1 MiB - shift
        data = b"a\n" + b"123456789\n" * rows + (rest * "x" + char + "\n").encode()
        want = ("rows", ["a"], [["123456789"]] * rows + [[rest * "x" + char]])
        assert read_whole(write(path, data)) == want
        assert read_in_ranges(path, data, [0, 3]) == want


def test_reader_counts_the_bytes_of_a_byte_order_mark(path):
    data = b"\xef\xbb\xbfa\n1\n"
    reader = _tableio.Reader(write(path, data))
    reader.read_header()
    assert reader.read(5).tolist() == [["1"]]
    assert reader.bytes_read == len(data)


@pytest.mark.parametrize(
    "data, limit, problem, line, fields",
    [
        (b'"\xc3\xa9\xe2\x82\xac\xf0\x9d\x84\x9e"\n', 3, None, 0, 0),
        (b'"\xc3\xa9\xe2\x82\xac\xf0\x9d\x84\x9ex"\n', 3, "syntax", 1, 0),
        (b"a,b\n1\n", None, "fields", 2, 1),
        (b"a\n\n\xc3(\n", None, "encoding", 3, 0),
    ],
)
def test_reader_reports_problem_line_and_fields(path, data, limit, problem, line, fields):
    reader = _tableio.Reader(write(path, data), field_limit=limit or 131072)
    try:
        reader.read_header()
        reader.read(10)
        assert problem is None
    except _tableio.CsvError as e:
        assert (e.problem, e.line, e.fields) == (problem, line, fields)


def writes(rows, columns):
    """What csv.writer(f, lineterminator="\\n") writes on Python 3.13, where a lone "\\r" is
    quoted too."""
    out = []
    for i, row in enumerate(rows):
        fields = list(row) + [c[i] if isinstance(c, list) else repr(float(c[i])) for c in columns]
        quote = [any(ch in f for ch in ',"\r\n') for f in fields]
        text = [('"%s"' % f.replace('"', '""')) if q else f for f, q in zip(fields, quote)]
        out.append('""' if fields == [""] else ",".join(text))
    return "".join(line + "\n" for line in out).encode()


cell = st.text(st.sampled_from(["a", " ", ",", '"', "\r", "\n", "\x00", "é"]), max_size=3)


@settings(max_examples=200, deadline=None)
@given(
    shape=st.tuples(st.integers(0, 3), st.integers(0, 3)),
    cells=st.lists(cell, min_size=9, max_size=9),
    kinds=st.lists(st.booleans(), max_size=2),
    floats=st.lists(st.floats(), min_size=3, max_size=3),
)
def test_format_rows_writes_as_the_csv_writer(shape, cells, kinds, floats):
    rows = np.empty(shape, dtype=object)
    rows.flat[:] = cells[: rows.size]
    columns = [np.array(floats[: shape[0]]) if k else cells[len(cells) - shape[0] :] for k in kinds]
    want = writes(rows.tolist(), columns)
    if sys.version_info >= (3, 13) or not any("\r" in c or "\x00" in c for c in cells):
        f = io.StringIO()
        writer = csv.writer(f, lineterminator="\n")
        for i, row in enumerate(rows.tolist()):
            writer.writerow(row + [c[i] if isinstance(c, list) else float(c[i]) for c in columns])
        assert f.getvalue().encode() == want
    assert _tableio.format_rows(rows, columns) == want
    strided = np.asfortranarray(np.repeat(rows, 2, axis=1))[:, ::2]
    assert _tableio.format_rows(strided, columns) == want


@pytest.mark.parametrize(
    "rows, columns, error",
    [
        ([[1]], (), TypeError),
        ([[None]], (), TypeError),
        ([[b"x"]], (), TypeError),
        ([["a"]], [[3]], TypeError),
        ([["a"]], [np.zeros(1, np.float32)], TypeError),
        ([["a"]], [np.zeros(1, ">f8")], TypeError),
        ([["a"]], [np.zeros(2)], ValueError),
        ([["a"]], [["x", "y"]], ValueError),
        ([["a"]], [[]], ValueError),
        ([["\ud800"]], (), UnicodeEncodeError),
        (np.array(["a"], dtype=object), (), TypeError),
        (np.array([["a"]]), (), TypeError),
        ("a", (), TypeError),
    ],
)
def test_format_rows_refuses(rows, columns, error):
    if isinstance(rows, list):
        rows, cells = np.empty((len(rows), len(rows[0])), dtype=object), rows
        rows[...] = cells
    with pytest.raises(error):
        _tableio.format_rows(rows, columns)


class Reads:
    """A file object with read() and seek() only, handing over at most `step` bytes a call, as a
    file on object storage may."""

    def __init__(self, data, step):
        self.data, self.step, self.pos = data, step, 0

    def seek(self, offset, whence=0):
        self.pos = offset if whence == 0 else len(self.data) + offset
        return self.pos

    def read(self, n=-1):
        piece = self.data[self.pos : self.pos + min(n, self.step)]
        self.pos += len(piece)
        return piece


class Trickle(Reads):
    """The same with readinto(), which the reader prefers."""

    def readinto(self, b):
        n = min(len(b), self.step, len(self.data) - self.pos)
        b[:n] = self.data[self.pos : self.pos + n]
        self.pos += n
        return n


def _whole(source):
    reader = _tableio.Reader(source)
    try:
        header = reader.read_header()
        return "rows", header, reader.read(1 << 20).tolist() if header else []
    except _tableio.CsvError as e:
        return "error", e.problem, e.line


@settings(max_examples=200, deadline=None)
@given(
    data=csv_bytes(),
    step=st.sampled_from([1, 2, 5, 1 << 20]),
    read_only=st.booleans(),
    cut=st.integers(0, 999),
)
def test_a_file_object_reads_as_the_path(path, data, step, read_only, cut):
    kind = Reads if read_only else Trickle
    write(path, data)
    assert _whole(kind(data, step)) == _whole(path)
    start = cut % (len(data) + 1)
    scanned = _tableio.scan(kind(data, step), start, len(data), 2)
    assert scanned == _tableio.scan(path, start, len(data), 2)


def test_a_file_objects_error_is_raised_as_it_is():
    class Failing(Trickle):
        def readinto(self, b):
            raise PermissionError("denied by the store")

    with pytest.raises(PermissionError, match="denied by the store"):
        _tableio.Reader(Failing(b"a\n1\n", 4)).read_header()
    with pytest.raises(TypeError, match="binary file object"):
        _tableio.Reader(object())
