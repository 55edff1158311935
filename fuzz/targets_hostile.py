"""Re-entrancy: cells, markers and indices whose __hash__, __eq__, __float__ or __index__ run
Python code that rebinds the cells of the array being walked, empties or shrinks the lists
being read, or raises. The kernels must not crash (nor, on the sanitizer build, touch freed
memory); the result is whatever Python semantics give, or an allowed exception. The inputs
are changed by the hostile code itself, so they are not compared."""

import decimal

import gen
import numpy as np
from check import call

from tabrix_libs.transformers.exportable import is_all_missing
from tabrix_libs.utils import exportable_utils as U

# What the hostile objects act on during one execution, and whether they act at all.
VICTIMS = {"arrays": [], "lists": []}
ARMED = [False]


def act(action, src_byte):
    if not ARMED[0]:
        return
    arrays, lists = VICTIMS["arrays"], VICTIMS["lists"]
    if action == 0:
        for a in arrays:
            if a.flags.writeable:
                a[...] = None  # drops the references the array held
    elif action == 1:
        for a in arrays:
            if a.flags.writeable:
                for idx in np.ndindex(a.shape):
                    a[idx] = [src_byte]  # a new object in each cell
    elif action == 2:
        for lst in lists:
            del lst[:]
    elif action == 3:
        for lst in lists:
            del lst[len(lst) // 2 :]
    elif action == 4:
        raise ValueError("hostile object")
    elif action == 5:
        ARMED[0] = False  # acts once, then behaves


class Hostile:
    """Takes the hash of a value it imitates, so that it collides with that value in hash
    tables, and acts whenever Python calls into it."""

    def __init__(self, src, imitates):
        self.action = src.below(7)
        self.answer = src.pick((True, False, NotImplemented))
        self.byte = src.byte()
        try:
            self.key = hash(imitates)
        except TypeError:
            self.key = 1

    def __hash__(self):
        act(self.action, self.byte)
        return self.key

    def __eq__(self, other):
        act(self.action, self.byte)
        return self.answer

    def __ne__(self, other):
        act(self.action, self.byte)
        return self.answer if self.answer is NotImplemented else not self.answer

    def __float__(self):
        act(self.action, self.byte)
        return 1.5

    def __index__(self):
        act(self.action, self.byte)
        return 0

    def __repr__(self):
        return "Hostile(action=%d)" % self.action


def hostile_cells(src, values):
    return [Hostile(src, v) if src.chance(3) else v for v in values]


def t_hostile(src):
    kind = src.below(8)
    shape = (src.below(4) + 1, src.below(3) + 1)
    X = gen.base_array(src, shape, kind="object")
    pool = gen.cells_of(X)
    markers = hostile_cells(src, gen.values_like(src, pool, src.below(4)) + [1, "NA"])
    for idx in np.ndindex(shape):
        if src.chance(3):
            X[idx] = Hostile(src, src.pick(markers))
    X = gen.relayout(src, X) if src.chance(3) else X
    VICTIMS["arrays"] = [X]
    VICTIMS["lists"] = [markers]
    ARMED[0] = True
    try:
        if kind == 0:
            call(U.numpy_replace_values, X, src.pick((np.nan, -1, None)), markers, False)
        elif kind == 1:
            known = [
                hostile_cells(src, gen.values_like(src, pool, src.below(4)))
                for _ in range(shape[1])
            ]
            VICTIMS["lists"] = known + [markers]
            call(U.numpy_replace_values, X, -1, known, True)
        elif kind == 2:
            rows = [src.below(shape[0]) for _ in range(src.below(5))]
            rows = hostile_cells(src, rows) if src.chance(2) else rows
            VICTIMS["lists"] = [rows, markers]
            call(U.numpy_get_categories, X, rows, markers, src.pick((None, [])))
        elif kind == 3:
            call(U.compress_str_column, X[:, 0], markers, src.pick(("string", "hash")))
        elif kind == 4:
            call(U.numpy_floatstr2float, X[:, 0], markers)
        elif kind == 5:
            call(src.pick((U.convert_float32, U.numpy_boolean2float)), X)
        elif kind == 6:
            lst = list(pool) if src.chance(2) else [object() for _ in range(src.below(100) + 1)]
            cols = hostile_cells(src, [src.below(len(lst)) for _ in range(src.below(4) + 1)])
            VICTIMS["lists"] = [lst, cols]
            call(U.numpy_select_columns, src.pick((lst, X)), cols)
        else:
            # Only the markers list is disturbed here: the cells go through np.isin, NumPy's
            # own walk, whose safety is NumPy's business. Its == on a signalling NaN Decimal
            # among the markers raises InvalidOperation, as the Python statement of the check
            # does.
            VICTIMS["arrays"] = []
            call(
                is_all_missing,
                X[:, 0],
                src.pick((np.nan, [np.nan], markers, [-1])),
                also=(AssertionError, decimal.InvalidOperation),
            )
    finally:
        ARMED[0] = False
        VICTIMS["arrays"] = []
        VICTIMS["lists"] = []


TARGETS = {"hostile": t_hostile}
