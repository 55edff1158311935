"""One sensible instance and one matching input per transformer class, shared by the ecosystem
tests and tools/estimator_checks_table.py, plus a version-independent way to list scikit-learn's
own estimator checks for an instance."""

import contextlib
import functools
import warnings

import numpy as np

# Per-column tags wide enough for the widest data scikit-learn's checks generate.
WIDE = 64


def _object_table():
    """Six rows of strings, numbers written as strings, booleans and missing markers."""
    return np.array(
        [
            ["Red Car", "1.5", True, "a"],
            ["red car", "NA", False, "b"],
            ["BLUE", "3.0", True, "?"],
            ["blue", "4.5", False, "a"],
            ["Green!", "", True, "b"],
            ["green", "6.0", False, "a"],
        ],
        dtype=object,
    )


def _numeric(missing=True):
    rng = np.random.RandomState(0)
    X = rng.normal(size=(8, 3))
    if missing:
        X[1, 0] = X[4, 2] = np.nan
    return X


def _categories():
    return np.array(
        [["a", "x"], ["b", "y"], ["a", "y"], ["c", "x"], ["b", "x"], ["a", "y"]], dtype=object
    )


def cases(ex):
    """name -> (factory, input for fit and transform)."""
    return {
        "ColumnSelector": (lambda: ex.ColumnSelector([0, 2]), _numeric()),
        "NumpyColumnSelector": (lambda: ex.NumpyColumnSelector([2, 0]), _numeric()),
        "NumpyApplyAlongAxis": (
            lambda: ex.NumpyApplyAlongAxis(np.cumsum, 0, [0, 1]),
            _numeric(False),
        ),
        "NumpyReplaceMissingValues": (
            lambda: ex.NumpyReplaceMissingValues(["NA", "?", ""], np.nan),
            _object_table(),
        ),
        "NumpyReplaceUnknownValues": (
            lambda: ex.NumpyReplaceUnknownValues(filling_values=-1.0),
            _categories(),
        ),
        "NumpyPermuteArray": (lambda: ex.NumpyPermuteArray([2, 0, 1], 0), _numeric()),
        "OptStandardScaler": (lambda: ex.OptStandardScaler(), _numeric()),
        "CatImputer": (
            lambda: ex.CatImputer("most_frequent", np.nan),
            np.array([["a", np.nan], ["b", "y"], ["a", "y"], [np.nan, "x"]], dtype=object),
        ),
        "CatEncoder": (
            lambda: ex.CatEncoder("onehot-dense", "auto", np.float64, "ignore"),
            _categories(),
        ),
        "NumImputer": (lambda: ex.NumImputer("median", np.nan), _numeric()),
        "AllPassPreprocessingTransformer": (
            lambda: ex.AllPassPreprocessingTransformer(),
            _numeric(),
        ),
        "CompressStrings": (
            lambda: ex.CompressStrings(
                dtypes_list=["char_str"] + ["float_str"] * (WIDE - 1),
                misslist_list=[["NA", "?", ""]] * WIDE,
            ),
            _object_table(),
        ),
        "FloatStr2Float": (
            lambda: ex.FloatStr2Float(["char_str", "float_str", "char_str", "char_str"]),
            _object_table(),
        ),
        "float32_transform": (lambda: ex.float32_transform(), _numeric()),
        "boolean2float": (lambda: ex.boolean2float(), _object_table()[:, [1, 2]]),
    }


def check_instances(ex):
    """name -> instance used for scikit-learn's estimator checks, which feed numeric arrays of
    varying width: arguments are chosen so that such data is valid input."""
    return {
        "ColumnSelector": ex.ColumnSelector([0]),
        "NumpyColumnSelector": ex.NumpyColumnSelector([0]),
        "NumpyApplyAlongAxis": ex.NumpyApplyAlongAxis(np.cumsum, 0, [0]),
        "NumpyReplaceMissingValues": ex.NumpyReplaceMissingValues([np.nan], 0.0),
        "NumpyReplaceUnknownValues": ex.NumpyReplaceUnknownValues(filling_values=0.0),
        "NumpyPermuteArray": ex.NumpyPermuteArray([0], 0),
        "OptStandardScaler": ex.OptStandardScaler(),
        "CatImputer": ex.CatImputer("most_frequent", np.nan),
        "CatEncoder": ex.CatEncoder("ordinal", "auto", np.float64, "error"),
        "NumImputer": ex.NumImputer("mean", np.nan),
        "AllPassPreprocessingTransformer": ex.AllPassPreprocessingTransformer(),
        "CompressStrings": ex.CompressStrings(
            dtypes_list=["float_str"] * WIDE, misslist_list=[[]] * WIDE
        ),
        "FloatStr2Float": ex.FloatStr2Float(["float_str"]),
        "float32_transform": ex.float32_transform(),
        "boolean2float": ex.boolean2float(),
    }


def check_name(check):
    while isinstance(check, functools.partial):
        check = check.func
    return getattr(check, "__name__", repr(check))


GENERATION = "(generating the checks)"


def iter_checks(estimator):
    """(estimator, check) pairs of scikit-learn's estimator checks, whatever the release, and
    the error that stopped the generation of further checks (None when all were generated)."""
    from sklearn.utils import estimator_checks as ec

    pairs = []
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            if hasattr(ec, "estimator_checks_generator"):  # 1.6 and later
                generator = ec.estimator_checks_generator(estimator, legacy=True, mark=None)
            else:
                generator = ec.check_estimator(estimator, generate_only=True)
            for pair in generator:
                pairs.append(pair)
    except Exception as e:
        return pairs, _describe(e)
    return pairs, None


def _describe(e):
    lines = str(e).strip().splitlines()
    return "%s: %s" % (type(e).__name__, lines[0][:200] if lines else "")


# The OpenBLAS core type scikit-learn's memory-map helper is shown while the checks run.
SHOWN_CORE = "Haswell"


def memmap_helper_reads_the_blas():
    """Whether this scikit-learn's create_memmap_backed_data (used by the readonly_memmap
    variants of the checks) asks threadpoolctl which BLAS is loaded."""
    from sklearn.utils import _testing

    helper = getattr(_testing, "create_memmap_backed_data", None)
    return (
        helper is not None
        and hasattr(_testing, "threadpool_info")
        and "threadpool_info" in helper.__code__.co_names
    )


@contextlib.contextmanager
def fixed_blas_view():
    """Inside the block, scikit-learn's testing helpers see every OpenBLAS loaded as the core
    type SHOWN_CORE, whatever CPU the tests run on; elsewhere nothing changes."""
    if not memmap_helper_reads_the_blas():
        yield
        return
    from sklearn.utils import _testing

    real = _testing.threadpool_info

    def shown():
        return [
            dict(info, architecture=SHOWN_CORE) if info.get("internal_api") == "openblas" else info
            for info in real()
        ]

    # OpenBLAS on a CPU it does not recognise runs its Prescott kernels and says so (the builds
    # bundled with NumPy 1.24 and SciPy 1.10 do; OPENBLAS_CORETYPE=Prescott forces it anywhere),
    # and threadpoolctl may report no core type at all, which scikit-learn reads as Prescott.
    # In the releases with that workaround (1.3 among them; 0.24 and 1.9 have none),
    # create_memmap_backed_data then memory-maps through its "aligned" path (against an
    # OpenBLAS crash on unaligned data there), which refuses anything but arrays:
    # check_estimators_pickle(readonly_memmap=True) hands it the fitted estimator and fails for
    # every class. The checks' outcomes must be facts about our classes and the scikit-learn
    # release, not about the host, so every host gets the ordinary path, joblib's memory maps
    # (whose arrays joblib aligns to 16 bytes).
    _testing.threadpool_info = shown
    try:
        yield
    finally:
        _testing.threadpool_info = real


def run_checks(estimator):
    """{check name: None when it passes, else 'ExceptionType: first line'} for one instance.
    A check that runs several times (with different arguments) fails if any run fails. When
    generating the checks stops early, the entry GENERATION holds the reason. The checks see
    the BLAS as fixed_blas_view() shows it."""
    with fixed_blas_view():
        return _run_checks(estimator)


def _run_checks(estimator):
    from unittest import SkipTest  # what scikit-learn raises to skip a check

    pairs, stopped = iter_checks(estimator)
    results = {}
    for est, check in pairs:
        name = check_name(check)
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                check(est)
            outcome = None
        except SkipTest:
            outcome = None
        except Exception as e:  # a check may fail any way at all; record it
            outcome = _describe(e)
        if results.get(name) is None:
            results[name] = outcome
    if stopped is not None:
        results[GENERATION] = stopped
    return results
