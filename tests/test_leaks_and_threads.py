"""Every entry point, called many times, leaves no memory behind (objects, references, C++
allocations); shared fitted transformers give the serial results under 8 threads."""

import ctypes
import gc
import os
import sys
import threading
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from estimator_cases import cases

from tabrix_libs.transformers import exportable as ex
from tabrix_libs.utils import exportable_utils as u

# Under the sanitizers every call is several times slower and the interpreter's block count
# is not kept (PYTHONMALLOC=malloc): a few calls check the references and the error paths there.
SANITIZERS = os.environ.get("TABRIX_SANITIZERS") == "1"
CALLS = 3 if SANITIZERS else 100
NAN = float("nan")
MISSING = u.global_missing_values_reference_list
TOKEN = "token-" + "x" * 30  # a marker and filling value whose references are counted

OBJ = np.array(
    [[TOKEN, "1.5", " A-b ", True], ["NA", None, "2e3", NAN], ["x", 2.5, "", "false"]] * 4,
    dtype=object,
)
NUM = np.arange(48, dtype=np.float64).reshape(12, 4)
NUM[3, 1] = NAN
COL = OBJ[:, 1].copy()
NUMBERS = np.array([NAN, 1.5, "2", NAN] * 3, dtype=object)
LIST = [TOKEN, 1, 2.5, None]
KNOWN = [[TOKEN, "x"], ["1.5", 2.5], ["2e3"], [True]]


def malloc_bytes_counter():
    """Bytes currently allocated through glibc's malloc, where C++ allocations and large buffers
    live (small Python objects live in the interpreter's arenas, counted by
    sys.getallocatedblocks). None without glibc, or under AddressSanitizer, whose allocator
    glibc's count does not see."""
    libc = ctypes.CDLL(None)
    if hasattr(libc, "__asan_init") or not hasattr(libc, "mallinfo2"):
        return None

    class Mallinfo2(ctypes.Structure):
        _fields_ = [
            (name, ctypes.c_size_t)
            for name in (
                "arena",
                "ordblks",
                "smblks",
                "hblks",
                "hblkhd",
                "usmblks",
                "fsmblks",
                "uordblks",
                "fordblks",
                "keepcost",
            )
        ]

    libc.mallinfo2.restype = Mallinfo2

    def count():
        info = libc.mallinfo2()
        return info.uordblks + info.hblkhd

    return count


MALLOC_BYTES = malloc_bytes_counter()


def raises(error, call):
    def run():
        try:
            call()
        except error:
            return
        raise AssertionError("expected %s" % error.__name__)

    return run


def on_threads(call):
    """call() with even small inputs shared among two threads."""

    def run():
        saved = {k: os.environ.get(k) for k in ("TABRIX_NUM_THREADS", "TABRIX_PARALLEL_MIN_CELLS")}
        os.environ.update(TABRIX_NUM_THREADS="2", TABRIX_PARALLEL_MIN_CELLS="1")
        try:
            call()
        finally:
            for k, v in saved.items():
                if v is None:
                    os.environ.pop(k)
                else:
                    os.environ[k] = v

    return run


KERNELS = {
    "replace markers (object)": lambda: u.numpy_replace_values(
        OBJ, TOKEN, [TOKEN, "NA", None, NAN]
    ),
    "replace markers (float)": lambda: u.numpy_replace_values(NUM, -1.0, [3.0, NAN]),
    "replace known values": lambda: u.numpy_replace_values(OBJ, TOKEN, KNOWN, invert_flag=True),
    "categories": lambda: u.numpy_get_categories(OBJ, range(12), MISSING, categories_list2=[]),
    "compress string": lambda: u.compress_str_column(OBJ[:, 2], MISSING, "string"),
    "compress hash": lambda: u.compress_str_column(OBJ[:, 0], None, "hash"),
    "floatstr2float": lambda: u.numpy_floatstr2float(COL, MISSING),
    "compress string (threads)": on_threads(
        lambda: u.compress_str_column(np.repeat(OBJ[:, 2], 50), MISSING, "string")
    ),
    "compress hash (threads)": on_threads(
        lambda: u.compress_str_column(np.repeat(OBJ[:, 2], 50), MISSING, "hash")
    ),
    "floatstr2float (threads)": on_threads(
        lambda: u.numpy_floatstr2float(np.repeat(COL, 50), MISSING)
    ),
    "categories (threads)": on_threads(
        lambda: u.numpy_get_categories(np.repeat(OBJ, 50, axis=0), range(600), MISSING)
    ),
    "boolean2float (object)": lambda: u.numpy_boolean2float(OBJ),
    "boolean2float (float)": lambda: u.numpy_boolean2float(NUM),
    "convert_float32 (float)": lambda: u.convert_float32(NUM),
    "convert_float32 (object)": lambda: u.convert_float32(NUM.astype(object)),
    "select columns (array)": lambda: u.numpy_select_columns(OBJ, columns_indices_list=[2, 0]),
    "select columns (list)": lambda: u.numpy_select_columns(LIST, columns_indices_list=[0, 3]),
    "permute axis 0": lambda: u.numpy_permute_array(OBJ, [3, 2, 1, 0], 0),
    "permute axis 1": lambda: u.numpy_permute_array(NUM, list(range(11, -1, -1)), 1),
    "whatis": lambda: u.numpy_whatis(OBJ),
    "setValueOrDefault": lambda: (u.setValueOrDefault(None, TOKEN), u.setValueOrDefault(TOKEN, 1)),
    "is_all_missing (vectorised)": lambda: ex.is_all_missing(NUM[:, 0], [1.0, 2.0]),
    "is_all_missing (NaN, float)": lambda: ex.is_all_missing(NUM[:, 1], [NAN, 1.0]),
    "is_all_missing (NaN, object)": lambda: ex.is_all_missing(NUMBERS, [NAN, 1.5]),
    "is_all_missing (NaN, list)": lambda: ex.is_all_missing([NAN, 1.0, NAN], [NAN, 1]),
}

ERRORS = {
    "replace: markers not a list": raises(TypeError, lambda: u.numpy_replace_values(OBJ, 0, TOKEN)),
    "replace: known-value list count": raises(
        ValueError, lambda: u.numpy_replace_values(OBJ, 0, KNOWN[:2], invert_flag=True)
    ),
    "categories: row out of range": raises(
        IndexError, lambda: u.numpy_get_categories(OBJ, [0, 99], MISSING)
    ),
    "compress: two dimensions": raises(
        ValueError, lambda: u.compress_str_column(OBJ, MISSING, "string")
    ),
    "floatstr2float: markers not a list": raises(
        TypeError, lambda: u.numpy_floatstr2float(COL, TOKEN)
    ),
    "convert_float32: text": raises(ValueError, lambda: u.convert_float32(OBJ)),
    "convert_float32: beyond float32": raises(
        ValueError, lambda: u.convert_float32(np.array([1e300]))
    ),
    "select: column out of range": raises(
        IndexError, lambda: u.numpy_select_columns(OBJ, columns_indices_list=[9])
    ),
    "select: float index": raises(
        TypeError, lambda: u.numpy_select_columns(LIST, columns_indices_list=[0.5])
    ),
    "permute: not an array": raises(TypeError, lambda: u.numpy_permute_array(LIST, [0], 0)),
    "is_all_missing: text marker": raises(
        TypeError, lambda: ex.is_all_missing(NUM[:, 0], [NAN, TOKEN])
    ),
    "is_all_missing: text item": raises(ValueError, lambda: ex.is_all_missing(OBJ[:, 2], [NAN])),
    "transform: column count": raises(ValueError, lambda: FITTED["NumImputer"].transform(NUM)),
    "transform: text to float": raises(
        ValueError, lambda: FITTED["float32_transform"].transform(OBJ[:, :3])
    ),
    "selector: column out of range": raises(
        IndexError, lambda: ex.NumpyColumnSelector([9]).fit(NUM).transform(NUM)
    ),
}

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    CASES = cases(ex)
    FITTED = {name: factory().fit(X) for name, (factory, X) in CASES.items()}


def fit_call(name):
    factory, X = CASES[name]
    return lambda: factory().fit(X)


def transform_call(name):
    return lambda: FITTED[name].transform(CASES[name][1])


ENTRY_POINTS = dict(KERNELS)
ENTRY_POINTS.update(ERRORS)
ENTRY_POINTS.update({name + ".fit": fit_call(name) for name in CASES})
ENTRY_POINTS.update({name + ".transform": transform_call(name) for name in CASES})
HELD = [TOKEN, OBJ, NUM, COL, NUMBERS, LIST, MISSING] + [X for _, X in CASES.values()]


def measure():
    gc.collect()
    return (
        sys.getallocatedblocks(),
        MALLOC_BYTES() if MALLOC_BYTES else 0,
        [sys.getrefcount(obj) for obj in HELD],
    )


def test_every_public_name_is_covered():
    utils = {name for name in dir(u) if not name.startswith("_")}
    called = {name for name in utils if any(name in f.__code__.co_names for f in KERNELS.values())}
    assert utils - called == {"global_missing_values_reference_list"}  # data, passed to calls above
    assert set(CASES) == {
        name
        for name in dir(ex)
        if isinstance(getattr(ex, name), type) and getattr(ex, name).__module__ == ex.__name__
    }


@pytest.fixture(scope="module")
def frozen_gc():
    """Leaves the objects that exist now out of collections: gc.collect() then takes a moment
    instead of walking every module loaded."""
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()


@pytest.mark.filterwarnings("ignore")
@pytest.mark.parametrize("name", sorted(ENTRY_POINTS))
def test_repeated_calls_do_not_grow_memory(name, frozen_gc):
    call = ENTRY_POINTS[name]
    for _ in range(3 * CALLS):  # caches and first-call state settle (NumPy's take a few hundred)
        call()
    counts = [measure()]
    for _ in range(5):
        for _ in range(CALLS):
            call()
        counts.append(measure())
    blocks = [b[0] - a[0] for a, b in zip(counts, counts[1:])]
    malloc = [b[1] - a[1] for a, b in zip(counts, counts[1:])]
    assert counts[-1][2] == counts[0][2], "references held on the inputs"
    if not SANITIZERS:
        # A leak grows memory in every batch, by a block or some bytes a call at least; caches
        # filling up (scikit-learn's and NumPy's) grow it less and less.
        assert min(blocks) < CALLS // 2, "%d calls a batch: allocated blocks grew by %s" % (
            CALLS,
            blocks,
        )
        assert min(malloc) < 16 * CALLS, "%d calls a batch: malloc'ed bytes grew by %s" % (
            CALLS,
            malloc,
        )


def same(a, b):
    if hasattr(a, "toarray"):
        a, b = a.toarray(), b.toarray()
    return (
        type(a) is type(b)
        and np.shape(a) == np.shape(b)
        and getattr(a, "dtype", None) == getattr(b, "dtype", None)
        and repr(np.asarray(a).tolist()) == repr(np.asarray(b).tolist())
    )


@pytest.mark.filterwarnings("ignore")
def test_shared_fitted_transformers_in_eight_threads():
    rows = 10 if SANITIZERS else 50  # copies of each case's rows, for calls long enough to overlap
    inputs = {name: np.repeat(X, rows, axis=0) for name, (_, X) in CASES.items()}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        fitted = {name: CASES[name][0]().fit(X) for name, X in inputs.items()}
    jobs = [
        (name, lambda name=name: fitted[name].transform(inputs[name])) for name in sorted(inputs)
    ]
    big, big_num = np.repeat(OBJ, rows, axis=0), np.repeat(NUM, rows, axis=0)
    jobs += [
        (name, lambda call=call: call(big))
        for name, call in [
            ("replace", lambda X: u.numpy_replace_values(X, 0, MISSING)),
            ("known", lambda X: u.numpy_replace_values(X, 0, KNOWN, invert_flag=True)),
            ("categories", lambda X: u.numpy_get_categories(X, range(X.shape[0]), MISSING)),
            ("compress", lambda X: u.compress_str_column(X[:, 2], MISSING, "string")),
            ("floatstr", lambda X: u.numpy_floatstr2float(X[:, 1], MISSING)),
            ("boolean", u.numpy_boolean2float),
        ]
    ]
    jobs.append(("is_all_missing", lambda: ex.is_all_missing(big_num[:, 1], [NAN, 5.0])))
    inputs_and_tables = list(inputs.values()) + [big, big_num]
    snapshots = [repr(X.tolist()) for X in inputs_and_tables]
    serial = {name: job() for name, job in jobs}
    threads, rounds = 8, 1 if SANITIZERS else 3
    barrier = threading.Barrier(threads)

    def worker(k):
        barrier.wait()
        order = jobs[k:] + jobs[:k]  # the threads start on different jobs
        return [(name, job()) for _ in range(rounds) for name, job in order]

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    try:
        with ThreadPoolExecutor(threads) as pool:
            results = [r for rs in pool.map(worker, range(threads)) for r in rs]
    finally:
        sys.setswitchinterval(interval)
    assert len(results) == threads * rounds * len(jobs)
    wrong = sorted({name for name, result in results if not same(result, serial[name])})
    assert wrong == []
    assert [repr(X.tolist()) for X in inputs_and_tables] == snapshots  # inputs untouched
