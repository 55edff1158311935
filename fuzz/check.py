"""Oracles shared by the harnesses: input snapshots, allowed exceptions, value comparison."""

import math
import os
import struct
import traceback

import numpy as np

# The only exceptions a call may raise on bad input, always with a message.
ALLOWED = (TypeError, ValueError, IndexError, KeyError, OverflowError)


class Finding(AssertionError):
    """A broken oracle: the harness found a fault."""


def fail(message, *context):
    if context:
        message += "\n" + "\n".join("  " + _short(c) for c in context)
    raise Finding(message)


VERBOSE = bool(os.environ.get("FUZZ_VERBOSE"))


def _short(v, limit=400):
    try:
        text = repr(v)
        if isinstance(v, np.ndarray):
            text += "  [dtype %s, strides %s, %s%s%s]" % (
                v.dtype.str,
                v.strides,
                "C" if v.flags.c_contiguous else "F" if v.flags.f_contiguous else "strided",
                "" if v.flags.aligned else ", unaligned",
                "" if v.flags.writeable else ", read-only",
            )
    except Exception as e:  # noqa: BLE001 - a repr may fail on odd values
        text = "<repr failed: %r>" % (e,)
    return text if VERBOSE or len(text) <= limit else text[:limit] + "..."


def allowed_exception(e, also=()):
    """Checks that e is one of the exceptions bad input may raise, with a message."""
    if isinstance(e, Finding):
        raise e
    if isinstance(e, tuple(also)):
        return  # documented, message or not
    if not isinstance(e, ALLOWED):
        fail("%s escaped: %s" % (type(e).__name__, _short(str(e))), Origin(e))
    if not str(e).strip():
        fail("%s without a message" % type(e).__name__, Origin(e))


class Origin:
    """Where an exception was raised: the last frames of its traceback."""

    def __init__(self, e):
        self.frames = traceback.extract_tb(e.__traceback__)[-4:]

    def __repr__(self):
        return "raised at " + " <- ".join(
            "%s:%d %s" % (os.path.basename(f.filename), f.lineno, f.name)
            for f in reversed(self.frames)
        )


def call(fn, *args, also=(), **kwargs):
    """(result, None) or (None, exception) for an allowed exception; a Finding otherwise."""
    try:
        return fn(*args, **kwargs), None
    except Exception as e:  # noqa: BLE001 - every exception is judged here
        allowed_exception(e, also)
        return None, e


# ----------------------------------------------------------------------------------------
# Snapshots: identity and content of everything reachable from the inputs


class Snapshot:
    """Records what a value holds, deeply, keeping the objects alive so identities stay
    meaningful; `check()` compares with the state now."""

    def __init__(self, *values):
        self.keep = []
        self.values = values
        self.state = tuple(self._take(v, 0) for v in values)

    def _take(self, v, depth):
        self.keep.append(v)
        if depth > 6:
            return (id(v),)
        if isinstance(v, np.ndarray):
            head = (
                id(v),
                "nd",
                v.dtype.str,
                v.shape,
                v.strides,
                v.flags.writeable,
                v.__array_interface__["data"][0],
            )
            if v.dtype == object:
                return head + tuple(self._take(c, depth + 1) for c in v.ravel(order="K"))
            return head + (v.tobytes(order="A"),)
        if type(v) in (list, tuple):
            return (id(v), type(v).__name__) + tuple(self._take(c, depth + 1) for c in v)
        if type(v) is dict:
            return (id(v), "dict") + tuple(
                (self._take(k, depth + 1), self._take(c, depth + 1)) for k, c in v.items()
            )
        if isinstance(v, range):
            return (id(v), "range")
        return (id(v),)

    def check(self, what="input"):
        now = Snapshot(*self.values)
        if now.state != self.state:
            fail("the %s changed" % what, *self.values)


# ----------------------------------------------------------------------------------------
# Values


def is_nan(v):
    try:
        return isinstance(v, (float, np.floating)) and math.isnan(v)
    except (TypeError, ValueError):
        return False


def same_float(a, b):
    """Bit-identical doubles, any NaN equal to any NaN."""
    a, b = float(a), float(b)
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return struct.pack("<d", a) == struct.pack("<d", b)


def same_number(a, b):
    """Equal numbers (exactly, across Python and NumPy types), NaN equal to NaN, -0.0 apart
    from 0.0 for floats."""
    if is_nan(a) or is_nan(b):
        return is_nan(a) and is_nan(b)
    if isinstance(a, (float, np.floating)) and isinstance(b, (float, np.floating)):
        if a == 0 and b == 0:
            return math.copysign(1, a) == math.copysign(1, b)
    try:
        return bool(a == b)
    except (TypeError, ValueError):
        return False


FLT_MAX = float(np.finfo(np.float32).max)


def int_to_float32(v):
    """The float32 nearest to the integer v (ties to even), or None beyond the float32 range."""
    n = abs(v)
    if n.bit_length() > 24:
        shift = n.bit_length() - 24
        q, r = divmod(n, 1 << shift)
        half = 1 << (shift - 1)
        if r > half or (r == half and q & 1):
            q += 1
        n = q << shift
    if n > FLT_MAX:
        # 2**128 - 2**103 and above round to infinity.
        return None
    f = np.float32(float(n))
    return -f if v < 0 else f
