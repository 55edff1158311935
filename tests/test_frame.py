"""The module frame: start-up namespace, the native method type, the shared protocol."""

import contextlib
import inspect
import io
import pickle
import subprocess
import sys

import numpy as np
import pytest
import sklearn
from _class_table import CLASS_TABLE
from sklearn.base import clone

UTILITY_NAMES = [
    "numpy_replace_values",
    "numpy_permute_array",
    "numpy_floatstr2float",
    "setValueOrDefault",
    "numpy_boolean2float",
    "convert_float32",
    "numpy_whatis",
    "numpy_select_columns",
    "compress_str_column",
    "global_missing_values_reference_list",
]


def test_namespace_is_bound_in_start_up_order(ex):
    names = list(vars(ex))
    expected = (
        [
            "time",
            "np",
            "sklearn",
            "warnings",
            "BaseEstimator",
            "TransformerMixin",
            "StandardScaler",
            "SimpleImputer",
            "check_array",
        ]
        + UTILITY_NAMES
        + [
            "sklearn_version_list",
            "global_sklearn_version_family",
            "debug_transform_return",
            "debug",
            "debug_timings",
            "debug_catnum",
            "debug_date_transformer",
        ]
    )
    expected += [n for n in CLASS_TABLE if n in names]
    positions = [names.index(n) for n in expected]
    assert positions == sorted(positions)
    assert ex.__doc__ is None
    assert ex.time is __import__("time").time
    assert ex.np is np
    from tabrix_libs.utils import exportable_utils

    for name in UTILITY_NAMES:
        assert getattr(ex, name) is getattr(exportable_utils, name)
    # Names the encoder imports for itself are not module globals.
    assert not hasattr(ex, "OneHotEncoder") and not hasattr(ex, "numpy_get_categories")


def test_version_family(ex):
    assert ex.sklearn_version_list == sklearn.__version__.split(".")
    major, minor = ex.sklearn_version_list[:2]
    assert ex.global_sklearn_version_family == ("1" if major == "1" else minor)
    assert isinstance(ex.global_sklearn_version_family, str)


def test_flags_start_false(ex):
    for flag in [
        "debug_transform_return",
        "debug",
        "debug_timings",
        "debug_catnum",
        "debug_date_transformer",
    ]:
        assert getattr(ex, flag) is False


class TestNativeMethod:
    def test_introspection_of_a_method(self, ex):
        cls = ex.AllPassPreprocessingTransformer
        fit = cls.fit
        assert fit.__name__ == "fit"
        assert fit.__qualname__ == "AllPassPreprocessingTransformer.fit"
        assert fit.__module__ == "tabrix_libs.transformers.exportable"
        assert fit.__doc__ is None
        assert fit.__defaults__ == (None,)
        assert fit.__kwdefaults__ is None
        sig = inspect.signature(fit)
        assert list(sig.parameters) == ["self", "X", "y"]
        assert sig.parameters["y"].default is None
        assert str(inspect.signature(cls().fit)) == "(X, y=None)"
        assert str(inspect.signature(ex.is_all_missing)) == "(x, bad_vals)"

    def test_class_is_an_ordinary_estimator_class(self, ex):
        cls = ex.AllPassPreprocessingTransformer
        assert cls.__bases__ == (ex.BaseEstimator, ex.TransformerMixin)
        assert cls.__module__ == "tabrix_libs.transformers.exportable"
        assert cls.__doc__ is None
        assert {"__init__", "fit", "transform"} <= set(vars(cls))
        assert cls().get_params() == {}
        assert repr(cls()) == "AllPassPreprocessingTransformer()"

    def test_instance_call_does_not_need_a_bound_method(self, ex):
        inst = ex.AllPassPreprocessingTransformer()
        X = np.zeros((2, 2))
        assert inst.transform(X) is X
        assert ex.AllPassPreprocessingTransformer.transform(inst, X) is X
        bound = inst.transform
        assert bound.__self__ is inst and bound(X) is X

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda c: c.fit(), r"missing 1 required positional argument: 'X'"),
            (lambda c: c.fit(1, 2, 3), r"takes from 2 to 3 positional arguments but 4 were given"),
            (lambda c: c.transform(1, 2), r"takes 2 positional arguments but 3 were given"),
            (lambda c: c.fit(X=1, Z=2), r"got an unexpected keyword argument 'Z'"),
            (lambda c: c.fit(1, X=2), r"got multiple values for argument 'X'"),
        ],
    )
    def test_argument_errors_match_the_interpreter(self, ex, call, message):
        with pytest.raises(TypeError, match=message):
            call(ex.AllPassPreprocessingTransformer())

    def test_function_argument_errors(self, ex):
        with pytest.raises(
            TypeError, match=r"missing 2 required positional arguments: 'x' and 'bad_vals'"
        ):
            ex.is_all_missing()
        assert ex.is_all_missing(bad_vals=[1], x=np.array([1]))

    def test_pickling_instances_and_methods(self, ex):
        inst = ex.AllPassPreprocessingTransformer().fit(np.zeros((3, 2)))
        for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1):
            copy = pickle.loads(pickle.dumps(inst, protocol=protocol))
            assert type(copy) is type(inst) and copy.n_features_in_ == 2
            assert (
                pickle.loads(pickle.dumps(ex.AllPassPreprocessingTransformer.fit, protocol))
                is ex.AllPassPreprocessingTransformer.fit
            )
        assert pickle.loads(pickle.dumps(ex.is_all_missing)) is ex.is_all_missing
        assert type(clone(inst)) is type(inst)

    def test_fit_transform_from_the_mixin(self, ex):
        X = np.ones((4, 3))
        assert ex.AllPassPreprocessingTransformer().fit_transform(X) is X


class TestProtocol:
    def test_transform_identity_and_feature_count(self, ex):
        X = np.arange(30.0).reshape(10, 3)
        t = ex.AllPassPreprocessingTransformer()
        assert t.transform(np.zeros((2, 7))) is not None  # unfitted: any column count
        assert t.fit(X) is t and t.n_features_in_ == 3
        with pytest.raises(ValueError, match="4 features"):
            t.transform(np.zeros((10, 4)))

    @pytest.mark.parametrize(
        "X, error",
        [
            (np.zeros(5), AssertionError),
            (np.zeros((2, 2, 2)), AssertionError),
            ([[1, 2]], AttributeError),
            (np.zeros((0, 3)), ValueError),
            (np.zeros((3, 0)), ValueError),
            (np.array([[1.0, np.inf]]), ValueError),
        ],
    )
    def test_transform_rejects(self, ex, X, error):
        with pytest.raises(error):
            ex.AllPassPreprocessingTransformer().transform(X)

    def test_nan_and_sparse_and_object_pass(self, ex):
        import scipy.sparse as sp

        t = ex.AllPassPreprocessingTransformer()
        for X in [
            np.array([[np.nan, 1.0]]),
            sp.csr_matrix(np.eye(3)),
            np.array([["a", None]], dtype=object),
        ]:
            assert t.transform(X) is X

    def test_fit_does_not_validate(self, ex):
        t = ex.AllPassPreprocessingTransformer()
        assert t.fit(np.array([[np.inf, 1.0]])) is t

    def test_untimed_traces(self, ex, trace_lines):
        ex.debug = True
        t = ex.AllPassPreprocessingTransformer()
        X = np.zeros((150, 4))
        t.fit(X)
        t.transform(X)
        assert trace_lines() == [
            "AllPassPreprocessingTransformer: Starting fit(150x4)",
            "AllPassPreprocessingTransformer: Ending fit(150x4)",
            "AllPassPreprocessingTransformer: Starting transform(150x4)",
            "AllPassPreprocessingTransformer: Ending transform(150x4)",
        ]

    def test_timed_traces_use_the_module_clock(self, fixed_clock, trace_lines):
        ex = fixed_clock
        ex.debug = ex.debug_timings = True
        ex.AllPassPreprocessingTransformer().transform(np.zeros((3, 2)))
        assert trace_lines() == [
            "AllPassPreprocessingTransformer: Starting transform(3x2)",
            "AllPassPreprocessingTransformer: Ending transform(3x2), elapsed_time (s): 0.5",
        ]

    def test_timings_alone_print_nothing_and_take_no_time(self, ex, monkeypatch, trace_lines):
        ex.debug_timings = True
        monkeypatch.setattr(ex, "time", lambda: pytest.fail("clock read"))
        t = ex.AllPassPreprocessingTransformer()
        t.fit(np.zeros((2, 2)))
        t.transform(np.zeros((2, 2)))
        assert trace_lines() == []

    def test_return_trace_names_the_actual_class(self, ex, trace_lines):
        class Sub(ex.AllPassPreprocessingTransformer):
            pass

        ex.debug_transform_return = True
        ex.debug = True
        X = np.array([[1, 2]])
        Sub().transform(X)
        assert trace_lines() == [
            "AllPassPreprocessingTransformer: Starting transform(1x2)",
            "AllPassPreprocessingTransformer: Ending transform(1x2)",
            f"Sub.transform({X})->{X}",
        ]

    def test_traces_follow_stdout_redirection(self, ex):
        ex.debug = True
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            ex.AllPassPreprocessingTransformer().fit(np.zeros((1, 1)))
        assert out.getvalue().count("\n") == 2

    def test_rebound_check_array_gets_the_documented_arguments(self, ex, monkeypatch):
        calls = []
        monkeypatch.setattr(ex, "check_array", lambda *a, **k: calls.append((a, k)))
        X = np.zeros((2, 2))
        ex.AllPassPreprocessingTransformer().transform(X)
        assert calls == [
            (
                (X,),
                dict(
                    ensure_min_features=1,
                    ensure_min_samples=1,
                    dtype=None,
                    force_all_finite="allow-nan",
                    accept_sparse=True,
                ),
            )
        ]

    def test_own_check_array_raises_no_warning(self, ex, recwarn):
        ex.AllPassPreprocessingTransformer().transform(np.zeros((2, 2)))
        assert not [
            w for w in recwarn if issubclass(w.category, (FutureWarning, DeprecationWarning))
        ]

    def test_assertions_are_skipped_under_optimisation(self):
        code = (
            "import numpy as np\n"
            "from tabrix_libs.transformers import exportable as ex\n"
            "X = np.zeros(3)\n"
            "try:\n    ex.AllPassPreprocessingTransformer().transform(X)\n"
            "except ValueError:\n    print('check_array')\n"
        )
        out = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True)
        assert out.stdout.strip() == "check_array", out.stderr


NAN = float("nan")


class TestIsAllMissing:
    @pytest.mark.parametrize(
        "x, bad_vals, expected",
        [
            ([NAN, NAN], [NAN], True),
            ([NAN, 1.0], [NAN], False),
            ([NAN, -1.0, -1.0], [NAN, -1], True),
            ([NAN, -1.0, 0.0], [NAN, -1], False),
            ([-1, -1], [-1], True),
            ([NAN, -1.0], [-1], False),
            ([-1.0, -1.0], -1, True),
            ([NAN], NAN, True),
            ([1.0], [], False),
            ([], [NAN], True),
            ([], [-1], True),
        ],
    )
    @pytest.mark.parametrize("dtype", [float, object, np.float32])
    def test_results(self, ex, x, bad_vals, expected, dtype):
        result = ex.is_all_missing(np.array(x, dtype=dtype), bad_vals)
        assert type(result) is np.bool_
        assert result == expected

    @pytest.mark.parametrize(
        "x, bad_vals, expected",
        [
            (np.array([5, 5, -1], dtype=np.int64), [NAN, 5, -1], True),
            (np.array([2**60, 2**60], dtype=np.int64), [NAN, 2**60], True),
            (np.array([2**60 + 1], dtype=np.int64), [NAN, 2**60], False),
            (np.array([True, True]), [NAN, 1], True),
            (np.array(["nan", "NaN"], dtype=object), [NAN], True),
            (np.array([NAN, 3], dtype=object), [NAN, 3.0], True),
            ([NAN, NAN], [NAN], True),
        ],
    )
    def test_other_inputs(self, ex, x, bad_vals, expected):
        assert ex.is_all_missing(x, bad_vals) == expected

    @pytest.mark.parametrize(
        "x, bad_vals, error",
        [
            (np.array([1.0]), [NAN, NAN], AssertionError),
            (np.array([1.0]), ["NA"], TypeError),
            (np.array([1.0]), [None], TypeError),
            (np.array(["abc"], dtype=object), [NAN], ValueError),
            (np.array([2.0, "abc"], dtype=object), [NAN], ValueError),  # a later item still raises
            (np.zeros((2, 2)), [NAN], TypeError),
        ],
    )
    def test_errors(self, ex, x, bad_vals, error):
        with pytest.raises(error):
            ex.is_all_missing(x, bad_vals)

    @pytest.mark.parametrize(
        "action, value, expected",
        [
            (
                lambda X: X.__setitem__(slice(None), None),
                1.0,
                TypeError,
            ),  # float(None) of the next cell
            (lambda X: X.__setitem__(slice(None), NAN), 1.0, False),
            (lambda X: X.__setitem__(slice(None), NAN), NAN, True),
            (lambda X: X.resize((1,), refcheck=False), NAN, True),
            (lambda X: X.resize((1000,), refcheck=False), NAN, False),  # NumPy fills in zeros
        ],
        ids=["rebound to None", "rebound to NaN", "NaN, rebound to NaN", "shrunk", "grown"],
    )
    def test_cells_changed_while_the_column_is_walked(self, ex, action, value, expected):
        # float() of a cell rebinds or resizes the column: a Python loop's result, or its error.
        X = np.empty(8, dtype=object)

        class Cell:
            def __float__(self):
                action(X)
                return value

        X[:] = [Cell() for _ in range(8)]
        if isinstance(expected, bool):
            assert ex.is_all_missing(X, [NAN, -1]) == expected
        else:
            with pytest.raises(expected):
                ex.is_all_missing(X, [NAN, -1])

    def test_uses_the_module_numpy_at_call_time(self, ex, monkeypatch):
        class FakeNumpy:
            isnan = staticmethod(np.isnan)

            @staticmethod
            def isin(x, markers):
                calls.append(list(markers))
                return np.isin(x, markers)

        calls = []
        monkeypatch.setattr(ex, "np", FakeNumpy)
        assert ex.is_all_missing(np.array([-1, -1]), [-1])
        assert calls == [[-1]]
