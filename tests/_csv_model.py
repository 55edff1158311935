"""What the csv module reads from CSV bytes, as tabrix_libs.tableio must read them: the default
dialect, strict, over UTF-8 (a byte-order mark skipped) opened with newline="", NUL an ordinary
character (Python 3.11+); blank lines skipped, a header first. Shared by tests/test_tableio.py
and the fuzz target fuzz/targets_csv.py."""

import contextlib
import csv
import io
import re

from tabrix_libs import tableio

ESCAPED = re.compile("[\udc80-\udcff]")  # bytes that are not UTF-8, decoded with surrogateescape
ERRORS = [
    ("encoding", re.compile(r"not UTF-8 text \(line (\d+)\)$")),
    ("fields", re.compile(r", line (\d+): (\d+) fields where the header has \d+$")),
    ("syntax", re.compile(r", line (\d+): not valid CSV \((.*)\)$", re.S)),
    ("empty", re.compile(r" is empty: no header line$")),
    ("nodata", re.compile(r" has a header but no data rows$")),
    ("twice", re.compile(r" appears twice in the header$")),
]


@contextlib.contextmanager
def field_limit(n):
    saved = csv.field_size_limit()
    csv.field_size_limit(n or saved)
    try:
        yield
    finally:
        csv.field_size_limit(saved)


def line_of(data, k):
    """The line, from 1, of byte k of data ("\\r\\n" ends one line)."""
    head = data[:k]
    return head.count(b"\n") + head.count(b"\r") - head.count(b"\r\n") + 1


def outcome_of(error):
    """An InputError of tableio as (kind, details...)."""
    for kind, pattern in ERRORS:
        m = pattern.search(str(error))
        if m:
            return (kind,) + tuple(int(g) if g.isdigit() else g for g in m.groups())
    raise AssertionError("unexpected message: %s" % error)


def expected(data):
    """The outcomes read_csv may have on `data`: [("rows", header, rows)] or the problem
    (kind, line, ...). Text that is not UTF-8 is reported at the line of its first bad byte
    unless a syntax problem comes before it; on that same line either may come first."""
    body = data[3:] if data.startswith(b"\xef\xbb\xbf") else data
    try:
        body.decode("utf-8")
        bad = None
    except UnicodeDecodeError as e:
        bad = ("encoding", line_of(body, e.start))
    text = io.TextIOWrapper(
        io.BytesIO(data), encoding="utf-8-sig", errors="surrogateescape", newline=""
    )
    reader = csv.reader(text, strict=True)
    header, rows = None, []
    try:
        for row in reader:
            if any(ESCAPED.search(f) for f in row):
                return [bad]
            if not row:
                continue
            if header is None:
                header = row
                if len(set(row)) < len(row):
                    return [("twice",)]
            elif len(row) != len(header):
                return [("fields", reader.line_num, len(row))]
            else:
                rows.append(row)
    except csv.Error as e:
        found = ("syntax", reader.line_num, str(e))
        if bad is None or bad[1] > found[1]:
            return [found]
        return [bad] if bad[1] < found[1] or "end of data" in str(e) else [bad, found]
    assert bad is None
    return [("rows", header, rows) if rows else ("empty",) if header is None else ("nodata",)]


def read_whole(path):
    try:
        header, rows = tableio.read_csv(path)
    except tableio.InputError as e:
        return outcome_of(e)
    return ("rows", header, rows)


def read_in_ranges(path, data, starts):
    """The outcome of reading the file at `path` (holding `data`) in the ranges that begin at
    `starts` (the first 0) through scan_range, plan_blocks and read_block, as read_csv's; a
    block that says the wrong first line or row is an outcome of its own."""
    try:
        header = tableio.header_of(path)
        scans = [
            tableio.scan_range(path, a, b, len(header))
            for a, b in zip(starts, starts[1:] + [len(data)])
        ]
        rows = []
        for block in tableio.plan_blocks(path, scans):
            if (block.first_line, block.first_row) != (line_of(data, block.begin), len(rows) + 1):
                return ("wrong block", block, line_of(data, block.begin), len(rows) + 1)
            table = tableio.read_block(block, len(header)).tolist()
            if len(table) != block.rows:
                return ("wrong row count", block, table)
            rows += table
    except tableio.InputError as e:
        return outcome_of(e)
    return ("rows", header, rows) if rows else ("nodata",)
