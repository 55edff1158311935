"""Plain-Python statements of the utility module's rules, used as test oracles."""

import math

import numpy as np


def is_nan(v):
    return isinstance(v, (float, np.floating)) and math.isnan(v)


def plain(v):
    """A NumPy number as the Python number of the same value: numbers match by value, whatever
    NumPy's own == does with Decimal or Fraction in a given release."""
    if isinstance(v, np.bool_):
        return bool(v)
    if isinstance(v, np.integer) and not isinstance(v, np.timedelta64):
        return int(v)
    if isinstance(v, (np.float16, np.float32, np.float64)):
        return float(v)
    if isinstance(v, np.longdouble) and (np.isnan(v) or np.longdouble(float(v)) == v):
        return float(v)
    return v


def matches(cell, values):
    """Python equality, except that NaN matches only NaN (and nothing else)."""
    if is_nan(cell):
        return any(is_nan(v) for v in values)
    cell = plain(cell)
    for v in values:
        if is_nan(v):
            continue
        if cell is v:
            return True
        try:
            if bool(cell == plain(v)):
                return True
        except (TypeError, ValueError):
            pass
    return False


# Each cell is read once, when it is reached: a comparison may rebind cells of X.
def replace_values(X, fill, markers):
    out = np.empty(X.shape, dtype=object)
    for idx in np.ndindex(X.shape):
        cell = X[idx]
        out[idx] = fill if matches(cell, markers) else cell
    return out


def replace_unknown(X, fill, known):
    """Column by column, as the known values are per column."""
    out = np.empty(X.shape, dtype=object)
    for j in range(X.shape[1]):
        for i in range(X.shape[0]):
            cell = X[i, j]
            out[i, j] = cell if matches(cell, known[j]) else fill
    return out


def categories(X, rows, markers):
    result = []
    for j in range(X.shape[1]):
        found = []
        for r in rows:
            v = X[r, j]
            if matches(v, markers):
                continue
            if is_nan(v):
                if not any(is_nan(f) for f in found):
                    found.append(v)
            elif not matches(v, [f for f in found if not is_nan(f)]):
                found.append(v)
        result.append(found)
    return result


def compress(s):
    return "".join(c for c in s.casefold() if c.isalnum())


def fnv1a64(data):
    h = 0xCBF29CE484222325
    for b in data:
        h = ((h ^ b) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h


def float_or_nan(text):
    try:
        return float(text)
    except ValueError:
        return math.nan


def same_objects(a, b):
    """Element-wise equality of two object arrays, NaN equal to NaN, types included."""
    assert a.shape == b.shape
    for idx in np.ndindex(a.shape):
        x, y = a[idx], b[idx]
        if is_nan(x) and is_nan(y):
            continue
        assert type(x) is type(y) and x == y, (idx, x, y)
    return True
