import types

import numpy as np
import pytest

X5x3 = np.arange(15.0).reshape(5, 3)
X150x4 = np.arange(600.0).reshape(150, 4)


class Recorder:
    """Stands in for a module global and records every call."""

    def __init__(self, result):
        self.result, self.calls = result, []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda ex: ex.NumpyColumnSelector([2, 0]), X5x3[:, [2, 0]]),
        (lambda ex: ex.NumpyColumnSelector([1, 1]), X5x3[:, [1, 1]]),
        (lambda ex: ex.ColumnSelector([2, 0]), X5x3[:, [2, 0]]),
        (lambda ex: ex.NumpyPermuteArray([2, 0, 1]), X5x3[:, [2, 0, 1]]),
        (lambda ex: ex.NumpyPermuteArray([4, 3, 2, 1, 0], axis=1), X5x3[::-1]),
        (lambda ex: ex.NumpyApplyAlongAxis(np.mean, 0, [0, 2]), np.array([6.0, 8.0])),
        (lambda ex: ex.NumpyApplyAlongAxis(np.mean, 1, [1]), np.array([4.0])),
        (lambda ex: ex.NumpyApplyAlongAxis(lambda v: v * 2, 0, [1]), X5x3[:, [1]] * 2),
    ],
)
def test_results_leave_the_input_untouched(ex, make, expected):
    X = X5x3.copy()
    Y = make(ex).fit(X).transform(X)
    np.testing.assert_array_equal(Y, expected)
    assert Y is not X
    np.testing.assert_array_equal(X, X5x3)


@pytest.mark.parametrize(
    "make",
    [
        lambda ex: ex.NumpyColumnSelector(),
        lambda ex: ex.NumpyColumnSelector(columns=[]),
        lambda ex: ex.NumpyApplyAlongAxis(pytest.fail),
        lambda ex: ex.NumpyApplyAlongAxis(pytest.fail, axis=7, index_list=[]),
    ],
)
def test_nothing_selected_returns_the_input_itself(ex, make):
    assert make(ex).transform(X5x3) is X5x3


def test_switched_off_column_selector_passes_through_without_the_utility(ex, monkeypatch):
    monkeypatch.setattr(ex, "numpy_select_columns", pytest.fail)
    sel = ex.ColumnSelector([0, 2], activate_flag=False).fit(np.zeros((3, 4)))
    sel.columns_selected_flag = "stale"
    X = np.zeros((3, 5))  # another column count is accepted while switched off
    assert sel.transform(X) is X
    assert sel.columns_selected_flag is False


def test_constructor_defaults_and_stored_parameters(ex):
    a, b = ex.NumpyColumnSelector(), ex.NumpyColumnSelector()
    assert a.columns == [] and a.columns is not b.columns
    p, q = ex.NumpyPermuteArray(), ex.NumpyPermuteArray()
    assert (p.permutation_indices, p.axis) == (
        [],
        0,
    ) and p.permutation_indices is not q.permutation_indices
    assert ex.NumpyPermuteArray(axis=1).axis == 1
    cols = [0, 2]
    sel = ex.ColumnSelector(cols)
    assert (
        sel.columns_indices_list is cols
        and sel.activate_flag is True
        and sel.columns_selected_flag is False
    )
    f = ex.NumpyApplyAlongAxis(np.sum, 0, [0], 7, scale=2)
    assert (f.func1d, f.axis, f.index_list, f.args, f.kwargs) == (
        np.sum,
        0,
        [0],
        (7,),
        {"scale": 2},
    )
    g = ex.NumpyApplyAlongAxis(np.sum)
    assert (g.axis, g.index_list, g.args, g.kwargs) == (0, [], (), {})
    with pytest.raises(RuntimeError, match="no varargs"):
        g.get_params()
    for missing_required in (ex.ColumnSelector, ex.NumpyApplyAlongAxis):
        with pytest.raises(TypeError, match="missing 1 required positional argument"):
            missing_required()


def test_numpy_column_selector_with_array_columns_fails_the_truth_test(ex):
    with pytest.raises(ValueError, match="truth value"):
        ex.NumpyColumnSelector(np.array([0, 1])).transform(X5x3)


def test_column_selector_calls_the_utility_and_keeps_its_flag(ex, monkeypatch):
    selected = np.ones((5, 2))
    fake = Recorder((selected, "flag from utility"))
    monkeypatch.setattr(ex, "numpy_select_columns", fake)
    cols = [1, 2]
    sel = ex.ColumnSelector(cols)
    assert sel.transform(X5x3) is selected
    assert sel.columns_selected_flag == "flag from utility"
    [(args, kwargs)] = fake.calls
    assert args[0] is X5x3 and len(args) == 1
    assert list(kwargs) == ["columns_indices_list"] and kwargs["columns_indices_list"] is cols


@pytest.mark.parametrize(
    "make_result",
    [
        lambda: 5,
        lambda: None,
        lambda: (1,),
        lambda: (),
        lambda: (1, 2, 3),
        lambda: [1, 2, 3],
        lambda: iter("abc"),
    ],
    ids=["int", "None", "one", "empty", "tuple3", "list3", "iter3"],
)
def test_column_selector_unpacking_errors_leave_the_flag(ex, monkeypatch, make_result):
    with pytest.raises((TypeError, ValueError)) as expected:
        first, second = make_result()
    monkeypatch.setattr(ex, "numpy_select_columns", lambda X, columns_indices_list: make_result())
    sel = ex.ColumnSelector([0])
    sel.columns_selected_flag = "previous"
    with pytest.raises(expected.type) as raised:
        sel.transform(X5x3)
    assert str(raised.value) == str(expected.value)
    assert sel.columns_selected_flag == "previous"


@pytest.mark.parametrize(
    "returned, shape",
    [(np.arange(5.0), (5, 1)), (np.zeros((5, 2, 2)), (5, 4)), (np.zeros((5, 3), np.int8), (5, 3))],
)
def test_permute_calls_the_utility_positionally_and_returns_two_dimensions(
    ex, monkeypatch, returned, shape
):
    fake = Recorder(returned)
    monkeypatch.setattr(ex, "numpy_permute_array", fake)
    idx = [2, 1, 0]
    Y = ex.NumpyPermuteArray(idx, 1).transform(X5x3)
    assert Y.shape == shape and Y.dtype == returned.dtype
    [(args, kwargs)] = fake.calls
    assert args[0] is X5x3 and args[1] is idx and args[2] == 1 and kwargs == {}


def test_permute_checks_features_before_calling_the_utility(ex, monkeypatch):
    perm = ex.NumpyPermuteArray([0]).fit(np.zeros((2, 4)))
    monkeypatch.setattr(ex, "numpy_permute_array", pytest.fail)
    with pytest.raises(ValueError):
        perm.transform(np.zeros((2, 5)))


@pytest.mark.parametrize("axis, expected_slice", [(0, X5x3[:, [2, 0]]), (1, X5x3[[2, 0], :])])
def test_apply_along_axis_goes_through_module_np(ex, monkeypatch, axis, expected_slice):
    fake = Recorder("result")
    monkeypatch.setattr(ex, "np", types.SimpleNamespace(apply_along_axis=fake))
    f = ex.NumpyApplyAlongAxis(np.sum, axis, [2, 0], 7, scale=2)
    assert f.transform(X5x3) == "result"
    [(args, kwargs)] = fake.calls
    assert args[0] is np.sum and args[1] == axis and kwargs == {}
    np.testing.assert_array_equal(args[2], expected_slice)


@pytest.mark.parametrize("axis", [2, -1, "0", None])
def test_apply_along_axis_rejects_other_axes(ex, trace_lines, axis):
    f = ex.NumpyApplyAlongAxis(np.mean, 0, [0])
    f.axis = axis
    ex.debug = True
    with pytest.raises(UnboundLocalError, match=r"axis must be 0 or 1, got %s\)$" % repr(axis)):
        f.transform(X5x3)
    assert trace_lines() == ["NumpyApplyAlongAxis: Starting transform(5x3)"]


def fake_permute_1d(ex, monkeypatch):
    monkeypatch.setattr(ex, "numpy_permute_array", lambda X, i, a: np.zeros(7))
    return ex.NumpyPermuteArray([0])


def fake_select_for_list(ex, monkeypatch):
    monkeypatch.setattr(
        ex, "numpy_select_columns", lambda X, columns_indices_list: (np.zeros((3, 3)), True)
    )
    return ex.ColumnSelector([0])


# Trace lines of each class's own forms (the common ones are in test_common.py):
# (make, input, untimed lines, timed lines); timed lines read 0.5 s from the fixed clock.
TRACES = [
    (
        fake_select_for_list,
        [[1.0, 2.0]] * 20,
        ["ColumnSelector: Starting transform(20x1)", "ColumnSelector: Ending transform(20x1)"],
        [
            "ColumnSelector: Starting transform(20x1)",
            "ColumnSelector: Ending transform(20x1), elapsed_time (s): 0.5",
        ],
    ),
    (
        fake_permute_1d,
        X150x4,
        [
            "NumpyPermuteArray: Starting transform(150x4)",
            "NumpyPermuteArray: Ending transform(150x4)",
            "",
        ],
        [
            "NumpyPermuteArray: Starting transform(150x4)",
            "NumpyPermuteArray: Ending transform(150x4), elapsed_time (s): 0.5",
        ],
    ),
]


@pytest.mark.parametrize("make, X, untimed, timed", TRACES)
def test_trace_lines(ex, monkeypatch, fixed_clock, trace_lines, make, X, untimed, timed):
    transformer = make(ex, monkeypatch)
    ex.debug_timings = True
    transformer.transform(X)
    assert trace_lines() == []  # debug_timings alone prints nothing
    ex.debug, ex.debug_timings = True, False
    transformer.transform(X)
    assert trace_lines() == untimed
    ex.debug_timings = True
    transformer.transform(X)
    assert trace_lines() == timed
