"""Harness for the compiled CSV reader (tabrix_libs._tableio under tabrix_libs.tableio). Each
input builds the bytes of a CSV file (rows of plain and quoted fields of about one width, with
stray bytes, some not UTF-8, a byte-order mark, field limits) and offsets to cut it at; the file
is read whole (read_csv) and in byte ranges (scan_range, plan_blocks, read_block), and both must
give the same rows or the same problem at the same line, and what the csv module reads
(tests/_csv_model.py: on Python 3.11+, where it takes NUL as any other character)."""

import atexit
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import _csv_model as model  # noqa: E402
from check import fail  # noqa: E402

LETTERS = ["a", "b", " ", "\x00", "é", "€", "\U0001d11e", "\ufeff", '"']
QUOTED = LETTERS + [",", "\r", "\n", "\r\n"]
STRAY = [
    b",",
    b'"',
    b"\r",
    b"\n",
    b"a",
    b"\xff",
    b"\xc3",
    b"\xe2\x82",
    b"\xed\xa0\x80",
    b"\xc0\xaf",
]
FOLDER = tempfile.mkdtemp(prefix="fuzz-csv-")
atexit.register(shutil.rmtree, FOLDER, True)
PATH = os.path.join(FOLDER, "data.csv")


def field(src):
    chars = "".join(src.pick(QUOTED if src.chance(2) else LETTERS) for _ in range(src.below(5)))
    if src.chance(2):
        return '"' + chars.replace('"', '""') + '"'
    return chars.lstrip('"')


def csv_bytes(src):
    width = src.below(3) + 1
    rows = []
    for _ in range(src.below(8)):
        n = width if not src.chance(8) else src.below(4) + 1
        rows.append(",".join(field(src) for _ in range(n)) + src.pick(("\n", "\r\n", "\r")))
    data = "".join(rows).encode()
    for _ in range(src.below(3)):
        at = src.below(len(data) + 1)
        data = data[:at] + src.pick(STRAY) + data[at:]
    if src.chance(2):
        data = data.rstrip(b"\r\n")
    return b"\xef\xbb\xbf" + data if src.chance(4) else data


def t_csv_read(src):
    data = csv_bytes(src)
    starts = sorted({0} | {src.below(len(data)) for _ in range(src.below(5))})
    with open(PATH, "wb") as f:
        f.write(data)
    with model.field_limit(src.pick((None, None, 1, 3))):
        try:
            whole = model.read_whole(PATH)
            ranges = model.read_in_ranges(PATH, data, starts)
            want = model.expected(data) if sys.version_info >= (3, 11) else [whole]
        except Exception as e:  # noqa: BLE001 - anything but InputError is a finding
            fail("%s: %s" % (type(e).__name__, e), data, starts)
    if ranges != whole:
        fail("read in ranges at %r, not as the whole file" % starts, data, whole, ranges)
    if whole not in want:
        fail("not what the csv module reads", data, whole, want)


def t_value_counts(src):
    """_tableio.value_counts (the counting of --report's summaries) against collections.Counter:
    drawn texts, equal ones in distinct objects, in a list, an array or a strided column, with
    a drawn cap and values always counted."""
    import collections

    import numpy as np

    from tabrix_libs import _tableio

    pool = ["".join(src.pick(LETTERS) for _ in range(src.below(20))) for _ in range(src.below(7))]
    pool = pool or [""]
    cells = ["".join(list(src.pick(pool))) for _ in range(src.below(40))]
    kept = [src.pick(pool + ["kept"]) for _ in range(src.below(3))]
    cap = src.below(6)
    layout = src.below(3)
    column = cells
    if layout == 1:
        column = np.array(cells + [""], dtype=object)[:-1]
    elif layout == 2:
        column = np.array([cells, cells[::-1]], dtype=object).T[:, 0]
    values, counts, over = _tableio.value_counts(column, cap, kept)
    kept = list(dict.fromkeys(kept))
    expected = collections.Counter(cells)
    got = dict(zip(values, counts.tolist()))
    want_over = len(set(cells) - set(kept)) > cap
    want = {k: expected.get(k, 0) for k in kept}
    if not want_over:
        want.update(expected)
    if over != want_over or values[: len(kept)] != kept or got != want or len(got) != len(values):
        fail("value_counts differs from a Counter", cells, kept, cap, (values, counts, over))


TARGETS = {"csv_read": t_csv_read, "value_counts": t_value_counts}
