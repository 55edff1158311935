"""Kernels that share large object inputs among threads give, for 1, 2 and 8 threads, what a
Python loop gives, on ordinary and hostile cells. TABRIX_PARALLEL_MIN_CELLS=1 sends even these
small inputs through the threads."""

import math
import sys
import threading
import time

import _utils_model as model
import numpy as np
import pytest
import test_reentrancy as hostile

from tabrix_libs.utils import exportable_utils as u

THREADS = ["1", "2", "8"]
MARKERS = ["NA", "", "?", None, math.nan]


@pytest.fixture
def threads(monkeypatch):
    monkeypatch.setenv("TABRIX_PARALLEL_MIN_CELLS", "1")
    return lambda n: monkeypatch.setenv("TABRIX_NUM_THREADS", n)


class Plain(str):
    """A str subclass with str's own hash and ==."""


def ordinary_column(n=3000):
    texts = [
        " New-York ",
        "boston!",
        "Straße",
        "ÉCOLE",
        "µ-meter",
        "東京 tower",
        "emoji 😀 x",
        "clean",
        "",
        "a" * 40 + "-B",
        "NA",
        "?",
        " 1e3",
        "-0.5",
        "1_000",
        "nan",
        "-inf",
        "١٢٣",
        "12a",
        "0x1f",
    ]
    others = [
        None,
        math.nan,
        7,
        2**70,
        -1.5,
        True,
        np.float64(2.5),
        np.int64(-3),
        np.str_("NA"),
        np.str_("4.5"),
        b"12",
        Plain("Plain-Str"),
        Plain("NA"),
    ]
    rng = np.random.default_rng(5)
    col = np.empty(n, dtype=object)
    for i in range(n):
        r = rng.random()
        pool = texts if r < 0.85 else others
        v = pool[rng.integers(len(pool))]
        col[i] = "".join([v, ""]) if type(v) is str else v  # a new object per cell, as files give
    return col


def floats_loop(col, markers):
    return [
        math.nan
        if model.matches(v, markers) or v is None
        else (
            model.float_or_nan(v)
            if isinstance(v, str)
            else (math.nan if isinstance(v, bytes) else float(v))
        )
        for v in col
    ]


def compress_loop(col, markers, mode):
    out = []
    for v in col:
        if not isinstance(v, str) or model.matches(v, markers):
            out.append(v)
        else:
            text = model.compress(v)
            out.append(text if mode == "string" else model.fnv1a64(text.encode()))
    return out


def same(a, b):
    return len(a) == len(b) and all(
        (model.is_nan(x) and model.is_nan(y)) or (type(x) is type(y) and x == y)
        for x, y in zip(a, b)
    )


@pytest.mark.parametrize(
    "markers", [MARKERS, None, ["NA", Plain("?")]], ids=["markers", "none", "subclass marker"]
)
def test_floatstr2float_as_a_python_loop_for_every_thread_count(threads, markers):
    col = ordinary_column()
    want = floats_loop(col, markers or [])
    for n in THREADS:
        threads(n)
        got = u.numpy_floatstr2float(col, markers)
        assert [repr(v) for v in got.tolist()] == [repr(v) for v in want], n  # -0.0 and NaN too


@pytest.mark.parametrize("mode", ["string", "hash"])
@pytest.mark.parametrize("markers", [MARKERS, None], ids=["markers", "none"])
def test_compress_as_a_python_loop_for_every_thread_count(threads, mode, markers):
    col = ordinary_column()
    want = compress_loop(col, markers or [], mode)
    for n in THREADS:
        threads(n)
        got = u.compress_str_column(col, markers, mode)
        assert same(got.tolist(), want), n
        kept = [i for i, v in enumerate(want) if not isinstance(v, (str, int)) or v is col[i]]
        assert all(got[i] is col[i] for i in kept), n  # cells kept are the objects themselves


def repeated_column(distinct_first, repeated=300_000):
    """Repeated values of every width (ASCII, Latin-1, beyond), after `distinct_first` distinct
    ones: long enough that equal results share an object while repeats are frequent enough to
    pay."""
    pool = ["New-York", "ÉCOLE d'été", "東京-Tower", "Straße", "µ", "clean", "NA", "", "x y"]
    rng = np.random.default_rng(3)
    values = ["Value-%d" % i for i in range(distinct_first)]
    values += [pool[k] for k in rng.integers(len(pool), size=repeated)]
    col = np.empty(len(values), dtype=object)
    col[:] = ["".join([v, ""]) for v in values]
    return col


@pytest.mark.parametrize("mode", ["string", "hash"])
@pytest.mark.parametrize(
    "distinct_first, idle_thread",
    [(0, False), (70_000, False), (0, True)],
    ids=["repeats", "distinct first", "repeats, GIL released"],
)
def test_compress_long_columns_same_for_every_thread_count(
    request, threads, mode, distinct_first, idle_thread
):
    if idle_thread:
        request.getfixturevalue("other_python_thread")
    col = repeated_column(distinct_first)
    threads("1")
    want = u.compress_str_column(col, MARKERS, mode).tolist()
    assert want[-1] == compress_loop(col[-1:], MARKERS, mode)[0]
    for n in THREADS[1:]:
        threads(n)
        got = u.compress_str_column(col, MARKERS, mode)
        assert same(got.tolist(), want), n
        # A result shared among cells holds one reference per cell and none more.
        inputs = {id(v) for v in col}
        counts, objects = {}, {}
        for v in got:
            counts[id(v)] = counts.get(id(v), 0) + 1
            objects[id(v)] = v
        del v
        shared = [k for k, c in counts.items() if c > 1 and k not in inputs]
        assert len(shared) >= 4 or distinct_first, n  # the ASCII and Latin-1 results at least
        assert all(sys.getrefcount(objects[k]) == counts[k] + 2 for k in shared), n


def ordinary_matrix(rows=600):
    texts = ["a", "B", "a" * 20 + "x", "a" * 20 + "y", "NA", "", "Straße", "东京", np.str_("a")]
    numbers = [
        1,
        1.0,
        True,
        0,
        False,
        -0.0,
        2**40,
        np.int64(2**40),
        np.float32(0.5),
        0.5,
        math.nan,
        np.float64("nan"),
        None,
        2.5,
    ]
    rng = np.random.default_rng(9)
    X = np.empty((rows, 3), dtype=object)
    for i in range(rows):
        X[i, 0] = "".join([texts[rng.integers(8)], ""])  # exact strings only
        X[i, 1] = numbers[rng.integers(len(numbers))]
        v = (texts + numbers)[rng.integers(len(texts) + len(numbers))]
        X[i, 2] = "".join([v, ""]) if type(v) is str else v
    return X


@pytest.mark.parametrize(
    "extra", [None, 2**70, Plain("NA")], ids=["plain", "huge int", "str subclass"]
)
@pytest.mark.parametrize("markers", [MARKERS, None, [1, "a"]], ids=["markers", "none", "numbers"])
def test_categories_as_a_python_loop_for_every_thread_count(threads, markers, extra):
    X = ordinary_matrix()
    if extra is not None:
        X[450, 1] = extra  # a cell the threads leave: the calling thread does it all then
    rows = list(range(0, 600, 3)) + [-1, 5, 5, 599, 0]
    want = model.categories(X, rows, markers or [])
    for n in THREADS:
        threads(n)
        got = u.numpy_get_categories(X, rows, markers)
        assert [[repr(v) for v in c] for c in got] == [[repr(v) for v in c] for c in want], n
        first = {id(v) for c in want for v in c}
        assert all(id(v) in first for c in got for v in c), n  # the first cells themselves


def rebinding_cell(X, at, cls=hostile.HostileStr):
    """A cell at `at` whose marker lookup (hash, then ==) rebinds every cell, earlier and later
    ones."""

    def rebind():
        X[:] = [hostile.fresh("zz-%d" % i) if i % 3 else "NA" for i in range(len(X))]

    X[at] = cls("late", "NA", rebind, ("eq",))


@pytest.mark.parametrize("at", [0, 1500, 2999])
@pytest.mark.parametrize(
    "kernel, loop, cls",
    [
        (
            lambda c: u.numpy_floatstr2float(c, MARKERS).tolist(),
            lambda c: floats_loop(c, MARKERS),
            hostile.Hostile,
        ),
        (
            lambda c: u.compress_str_column(c, MARKERS, "string").tolist(),
            lambda c: compress_loop(c, MARKERS, "string"),
            hostile.HostileStr,
        ),
    ],
    ids=["floatstr2float", "compress"],
)
def test_a_cell_that_rebinds_the_column_midway(threads, kernel, loop, cls, at):
    # Everything after the hostile cell is read again once its lookup ran.
    def run(f):
        col = ordinary_column()
        rebinding_cell(col, at, cls)
        return hostile.outcome(lambda: f(col))

    want = run(loop)
    for n in THREADS:
        threads(n)
        assert run(kernel) == want, n


@pytest.mark.parametrize(
    "act, on, side",
    hostile.HOSTILITY,
    ids=["-".join([a, "+".join(o), s]) for a, o, s in hostile.HOSTILITY],
)
@pytest.mark.parametrize(
    "name",
    [
        "compress",
        "floatstr",
        "categories",
        "CompressStrings",
        "FloatStr2Float",
        "NumpyReplaceUnknownValues",
    ],
)
def test_hostile_cells_and_markers_on_threads(threads, name, act, on, side):
    _, kernel, loop = next(k for k in hostile.KERNELS if k[0] == name)
    kind = (False, hostile.HostileStr if name in hostile.STR_CELLS else hostile.Hostile)
    want = hostile.outcome(lambda: loop(hostile.Scenario(act, on, side, *kind)))
    for n in THREADS[1:]:
        threads(n)
        assert hostile.outcome(lambda: kernel(hostile.Scenario(act, on, side, *kind))) == want, n


def test_python_threads_calling_at_once(threads):
    threads("2")
    col = ordinary_column(2000)
    want = (
        u.numpy_floatstr2float(col, MARKERS).tolist(),
        u.compress_str_column(col, MARKERS, "string").tolist(),
        u.compress_str_column(col, None, "hash").tolist(),
    )
    errors = []

    def work():
        try:
            for _ in range(5):
                got = (
                    u.numpy_floatstr2float(col, MARKERS).tolist(),
                    u.compress_str_column(col, MARKERS, "string").tolist(),
                    u.compress_str_column(col, None, "hash").tolist(),
                )
                assert repr(got) == repr(want)
        except BaseException as e:  # reported to the main thread
            errors.append(e)

    workers = [threading.Thread(target=work) for _ in range(6)]
    for t in workers:
        t.start()
    for t in workers:
        t.join()
    assert not errors


@pytest.mark.parametrize(
    "name, value, message",
    [
        ("TABRIX_NUM_THREADS", "0", "TABRIX_NUM_THREADS must be a whole number of threads"),
        ("TABRIX_NUM_THREADS", "two", "got 'two'"),
        ("TABRIX_NUM_THREADS", "-2", "TABRIX_NUM_THREADS"),
        ("TABRIX_NUM_THREADS", "2.5", "TABRIX_NUM_THREADS"),
        (
            "TABRIX_PARALLEL_MIN_CELLS",
            "many",
            "TABRIX_PARALLEL_MIN_CELLS must be a whole number of cells",
        ),
    ],
)
@pytest.mark.parametrize(
    "call",
    [
        lambda: u.numpy_floatstr2float(np.array(["1"], dtype=object), None),
        lambda: u.compress_str_column(np.array(["a"], dtype=object), None, "hash"),
        lambda: u.numpy_get_categories(np.array([["a"]], dtype=object), [0], None),
    ],
    ids=["floatstr2float", "compress", "categories"],
)
def test_invalid_settings_are_named(monkeypatch, call, name, value, message):
    monkeypatch.setenv(name, value)
    with pytest.raises(ValueError, match=message):
        call()


@pytest.mark.parametrize("value", ["", " 3 ", "1", "64"])
def test_valid_thread_settings(monkeypatch, value):
    monkeypatch.setenv("TABRIX_NUM_THREADS", value)
    monkeypatch.setenv("TABRIX_PARALLEL_MIN_CELLS", "0")
    assert u.numpy_floatstr2float(np.array(["1", "x", "2.5"], dtype=object), None)[2] == 2.5


@pytest.fixture
def other_python_thread():
    """A Python thread alive (and idle) meanwhile: the kernels then release the GIL while their
    threads work, holding the cells they read."""
    stop = threading.Event()
    t = threading.Thread(target=stop.wait)
    t.start()
    yield
    stop.set()
    t.join()


KERNEL_LOOPS = {
    "floatstr2float": (
        lambda c: u.numpy_floatstr2float(c, MARKERS).tolist(),
        lambda c: floats_loop(c, MARKERS),
    ),
    "compress string": (
        lambda c: u.compress_str_column(c, MARKERS, "string").tolist(),
        lambda c: compress_loop(c, MARKERS, "string"),
    ),
    "compress hash": (
        lambda c: u.compress_str_column(c, None, "hash").tolist(),
        lambda c: compress_loop(c, [], "hash"),
    ),
    "categories": (
        lambda c: u.numpy_get_categories(c.reshape(-1, 2), range(len(c) // 2), MARKERS),
        lambda c: model.categories(c.reshape(-1, 2), range(len(c) // 2), MARKERS),
    ),
}


@pytest.mark.parametrize("hostile_at", [None, 1700], ids=["ordinary", "rebinding cell"])
@pytest.mark.parametrize("name", KERNEL_LOOPS)
def test_gil_released_with_another_python_thread_alive(
    threads, other_python_thread, name, hostile_at
):
    kernel, loop = KERNEL_LOOPS[name]

    def run(f):
        col = ordinary_column()
        if hostile_at is not None:
            rebinding_cell(
                col,
                hostile_at,
                hostile.HostileStr if name.startswith("compress") else hostile.Hostile,
            )
        return repr(hostile.outcome(lambda: f(col)))

    want = run(loop)
    for n in THREADS:
        threads(n)
        assert run(kernel) == want, n


@pytest.mark.parametrize("name", ["floatstr2float", "compress string", "categories"])
def test_cells_rebound_by_another_thread_meanwhile(threads, name):
    # While the GIL is released, another thread rebinds cells (freeing the old strings): the
    # kernel reads each cell as it was before or after, never a freed one.
    kernel, loop = KERNEL_LOOPS[name]
    threads("2")
    n = 8000
    old = np.array(["".join(["%d.5" % i, ""]) for i in range(n)], dtype=object)
    new = np.array(["".join(["-%d" % i, ""]) for i in range(n)], dtype=object)
    if name == "categories":
        allowed = {repr(v) for v in list(old) + list(new)}  # all distinct, none a marker
    else:
        allowed = list(zip(map(repr, loop(old)), map(repr, loop(new))))
    col = old.copy()
    stop = threading.Event()

    def rebind():
        while not stop.is_set():
            for i in range(0, n, 7):
                col[i] = "".join([new[i] if col[i][0] != "-" else old[i], ""])
            time.sleep(0.0005)

    t = threading.Thread(target=rebind)
    t.start()
    try:
        for _ in range(10):
            got = kernel(col)
            if name == "categories":
                assert {repr(v) for c in got for v in c} <= allowed
            else:
                assert all(repr(g) in pair for g, pair in zip(got, allowed))
    finally:
        stop.set()
        t.join()
