"""Values and arrays built from fuzz bytes, shared by every harness.

`Source` reads decisions from the input bytes (zeros once they run out, so every input is
valid), and the builders below turn them into Python and NumPy values: text with any code
point (surrogates included), bytes, huge integers, floats with infinities, NaN and -0.0,
None, booleans, NumPy scalars of every kind, nested lists; and arrays of any dtype in C,
Fortran, strided, transposed, big-endian, unaligned, broadcast, read-only or empty layout.
"""

import struct
from decimal import Decimal
from fractions import Fraction

import numpy as np


class Source:
    """Draws choices from a byte string."""

    __slots__ = ("data", "pos", "n")

    def __init__(self, data):
        self.data = bytes(data)
        self.pos = 0
        self.n = len(self.data)

    def byte(self):
        p = self.pos
        if p >= self.n:
            return 0
        self.pos = p + 1
        return self.data[p]

    def take(self, k):
        p = self.pos
        chunk = self.data[p : p + k]
        self.pos = p + len(chunk)
        return chunk + bytes(k - len(chunk))

    def below(self, n):
        """An integer in [0, n), n <= 65536."""
        if n <= 1:
            return 0
        if n <= 256:
            return self.byte() % n
        return int.from_bytes(self.take(2), "little") % n

    def chance(self, k):
        """True with probability about 1/k."""
        return self.byte() % k == 0

    def pick(self, seq):
        return seq[self.below(len(seq))]

    def u64(self):
        return int.from_bytes(self.take(8), "little")


# ----------------------------------------------------------------------------------------
# Scalars

WHITESPACE = (
    " \t\n\r\x0b\x0c\x1c\x1d\x1e\x1f\x85\xa0\u1680\u2000\u2003\u200a\u2028\u2029\u202f\u205f\u3000"
)
# Characters whose case folding or class is tricky: expanding folds, non-ASCII digits and
# letters, combining marks, format characters, lone surrogates.
TRICKY = (
    "ß",
    "İ",
    "ı",
    "ﬁ",
    "ς",
    "Σ",
    "\u212a",
    "ſ",
    "ŉ",
    "ǰ",
    "ΐ",
    "ẞ",
    "١",
    "٣",
    "०",
    "²",
    "½",
    "Ⅻ",
    "𝟙",
    "\u0301",
    "\u200b",
    "\u200d",
    "\ufeff",
    "\ud800",
    "\udfff",
    "\udc80",
    "\U0001f600",
    "\U000e0041",
    "\x00",
    "\x7f",
    "\uffff",
    "\U0010ffff",
    "_",
    "-",
    ".",
)
MARKER_WORDS = ("", "?", "NA", "N/A", "n/a", "NaN", "nan", "NULL", "null", "None", "-", "missing")
BOOL_WORDS = (
    "true",
    "false",
    "TRUE",
    "False",
    "tRuE",
    "fAlSe",
    "t",
    "f",
    "yes",
    "no",
    "1",
    "0",
    "truefalse",
    "tru",
    "ｔｒｕｅ",
    "tr\u0131e",
    "fal\u017fe",
)
FLOAT_WORDS = (
    "inf",
    "-inf",
    "+inf",
    "Infinity",
    "-iNfInItY",
    "nan",
    "-nan",
    "+NaN",
    "infinit",
    "1e",
    "e5",
    ".",
    "-.",
    "+",
    "0x10",
    "1_000",
    "1__0",
    "_1",
    "1_",
    "1_e5",
    "1e_5",
    "1.5",
    "-0.0",
    "-0",
    "0.1",
    "1e308",
    "1.8e308",
    "2e-324",
    "4.9e-324",
    "3.4028235e38",
    "3.4028236e38",
    "340282356779733661637539395458142568448",
    "9007199254740993",
    "0.30000000000000004",
    "1e-400",
    "123456789012345678901234567890",
    "٣.٥",
    "１２",
    "1\u00a0",
    "1 2",
    "1,5",
    "1.5.",
    "++1",
    "1e+-5",
    "0e0",
    "00.00e-00",
)
INT_EDGES = tuple(
    sorted(
        {
            s * (2**k + d)
            for k in (7, 8, 15, 16, 31, 32, 52, 53, 63, 64, 127, 128, 1023, 1024)
            for d in (-1, 0, 1)
            for s in (1, -1)
        }
    )
)
FLOAT_EDGES = (
    0.0,
    -0.0,
    float("inf"),
    float("-inf"),
    float("nan"),
    -float("nan"),
    1.0,
    -1.0,
    0.5,
    0.1,
    -2.5,
    5e-324,
    -5e-324,
    2.2250738585072014e-308,
    1.7976931348623157e308,
    -1.7976931348623157e308,
    3.4028234663852886e38,
    3.4028235677973362e38,
    3.4028235677973366e38,
    3.402823567797337e38,
    -3.4028235677973366e38,
    1.401298464324817e-45,
    7.006492321624085e-46,
    9007199254740992.0,
    9007199254740994.0,
    2.0**63,
    2.0**64,
    1e16,
    123456.789,
    65504.0,
    65520.0,
)
NUMPY_INTS = (np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64)
NUMPY_FLOATS = (np.float16, np.float32, np.float64, np.longdouble)
NUMPY_COMPLEX = (np.complex64, np.complex128)


class StrSub(str):
    """A str subclass: takes the slow paths that exact str skips."""

    def __repr__(self):
        return "StrSub(%s)" % str.__repr__(self)


class IntSub(int):
    def __repr__(self):
        return "IntSub(%s)" % int.__repr__(self)


class FloatSub(float):
    def __repr__(self):
        return "FloatSub(%s)" % float.__repr__(self)


def text(src, max_len=8):
    """Text drawn from several alphabets: ASCII, whitespace, tricky characters, any code point."""
    n = src.below(max_len + 1)
    style = src.below(5)
    out = []
    for _ in range(n):
        r = src.below(8) if style == 4 else style
        if r <= 1:
            out.append(chr(32 + src.below(95)))
        elif r == 2:
            out.append(src.pick(WHITESPACE))
        elif r == 3:
            out.append(src.pick(TRICKY))
        elif r in (4, 5):
            out.append(chr(0x41 + src.below(26) + 32 * src.below(2)))
        elif r == 6:
            out.append(chr(src.below(0x800)))
        else:
            out.append(chr(int.from_bytes(src.take(3), "little") % 0x110000))
    return "".join(out)


def number_text(src):
    """Text shaped like a number, a word such as "inf", or a near miss."""
    r = src.below(5)
    if r == 4:
        # Digits and dots only, up to 17 characters: plain decimals and their near misses.
        core = src.pick(("", "-", "+")) + "".join(
            src.pick("0123456789.") for _ in range(1 + src.below(17))
        )
        return core
    if r == 0:
        core = src.pick(FLOAT_WORDS)
    elif r == 1:
        core = repr(float_value(src))
    else:
        parts = []
        if src.chance(3):
            parts.append(src.pick("+-"))
        parts.append(str(src.below(1000)) * (1 + src.below(3)))
        if src.chance(2):
            parts.append("." + str(src.below(100000)))
        if src.chance(3):
            parts.append(src.pick("eE") + src.pick(("", "+", "-")) + str(src.below(400)))
        core = "".join(parts)
        if src.chance(6):
            i = src.below(len(core) + 1)
            core = core[:i] + src.pick(("_", " ", "\x00", "١", "e", ".")) + core[i:]
    pad = src.below(4)
    if pad == 1:
        core = src.pick(WHITESPACE) + core
    elif pad == 2:
        core = core + src.pick(WHITESPACE) * (1 + src.below(2))
    elif pad == 3:
        core = src.pick(WHITESPACE) + core + src.pick(WHITESPACE)
    return core


def word(src):
    """A marker-like, boolean-like or number-like word, sometimes padded with whitespace."""
    r = src.below(3)
    w = src.pick(MARKER_WORDS if r == 0 else BOOL_WORDS if r == 1 else FLOAT_WORDS)
    if src.chance(3):
        w = src.pick(WHITESPACE) + w + src.pick(WHITESPACE)
    return w


def int_value(src):
    r = src.below(6)
    if r <= 1:
        return src.below(7) - 3
    if r == 2:
        return src.pick(INT_EDGES)
    if r == 3:
        return int.from_bytes(src.take(8), "little", signed=True)
    if r == 4:
        return (-1) ** src.below(2) * 10 ** src.below(420)
    return int.from_bytes(src.take(1 + src.below(24)), "little", signed=True)


def float_value(src):
    r = src.below(5)
    if r <= 1:
        return src.pick(FLOAT_EDGES)
    if r == 2:
        return struct.unpack("<d", src.take(8))[0]
    if r == 3:
        return (src.below(2001) - 1000) / (1, 2, 4, 10, 100, 1000)[src.below(6)]
    return float(struct.unpack("<f", src.take(4))[0])


def numpy_scalar(src):
    r = src.below(11)
    if r == 0:
        return np.bool_(src.below(2))
    if r <= 2:
        t = src.pick(NUMPY_INTS)
        info = np.iinfo(t)
        return t(max(info.min, min(info.max, int_value(src))))
    if r <= 5:
        t = src.pick(NUMPY_FLOATS)
        with np.errstate(all="ignore"):
            return t(float_value(src))
    if r == 6:
        t = src.pick(NUMPY_COMPLEX)
        with np.errstate(all="ignore"):
            return t(complex(float_value(src), src.pick((0.0, -0.0, 1.0, float("nan")))))
    if r == 7:
        return np.str_(src.pick((word, number_text, text))(src))
    if r == 8:
        return np.bytes_(src.take(src.below(5)).rstrip(b"\0") or b"1")
    if r == 9:
        return np.datetime64(src.below(20000) - 10000 if not src.chance(4) else "NaT", "D")
    return np.timedelta64(src.below(200) - 100 if not src.chance(4) else "NaT", "s")


def odd_value(src):
    """Python numbers of other kinds, containers and plain objects."""
    r = src.below(11)
    if r == 0:
        return Decimal(
            src.pick(
                ("1.5", "-0", "0", "NaN", "-NaN", "sNaN", "Infinity", "1e400", "2", "0.1", "1E+2")
            )
        )
    if r == 1:
        return Fraction(src.below(9) - 4, 1 + src.below(4))
    if r == 2:
        return complex(float_value(src), src.pick((0.0, 1.0, -0.0)))
    if r == 3:
        return StrSub(src.pick((word, text))(src))
    if r == 4:
        return IntSub(src.below(5) - 2)
    if r == 5:
        return FloatSub(src.pick((0.0, -0.0, 1.0, float("nan"), 2.5)))
    if r == 6:
        return object()
    if r == 7:
        return [scalar(src, depth=1) for _ in range(src.below(3))]
    if r == 8:
        return tuple(scalar(src, depth=1) for _ in range(src.below(3)))
    if r == 9:
        return np.array([float_value(src) for _ in range(src.below(3))])
    return {src.pick(("a", 1)): scalar(src, depth=1)}


def scalar(src, depth=0):
    """Any cell value."""
    r = src.below(20)
    if r <= 2:
        return src.pick((word, number_text, text))(src)
    if r == 3:
        return text(src, 24)
    if r == 4:
        return (
            src.take(src.below(6)) if src.below(2) else word(src).encode("utf-8", "surrogatepass")
        )
    if r <= 6:
        return int_value(src)
    if r <= 9:
        return float_value(src)
    if r == 10:
        return None
    if r == 11:
        return bool(src.below(2))
    if r <= 14:
        return numpy_scalar(src)
    if r <= 16 and depth == 0:
        return odd_value(src)
    if r == 17:
        return src.pick(MARKER_WORDS)
    return float("nan") if r == 18 else src.below(3)


def variant(src, v):
    """A value equal (or nearly) to v but of another type, so that matching across types is
    exercised."""
    try:
        if isinstance(v, (bool, np.bool_)):
            return src.pick((int(v), float(v), np.bool_(v), bool(v), np.int8(v)))
        if isinstance(v, (int, np.integer)):
            iv = int(v)
            opts = [float(iv), Decimal(iv), Fraction(iv), complex(iv), IntSub(iv), iv + 1]
            if -(2**63) <= iv < 2**63:
                opts.append(np.int64(iv))
            if 0 <= iv < 2**64:
                opts.append(np.uint64(iv))
            return src.pick(opts)
        if isinstance(v, (float, np.floating)):
            fv = float(v)
            return src.pick(
                (
                    fv,
                    np.float32(fv),
                    np.float64(fv),
                    np.longdouble(fv),
                    FloatSub(fv),
                    -fv,
                    int(fv) if fv == fv and abs(fv) != float("inf") else fv,
                )
            )
        if isinstance(v, str):
            return src.pick((str(v), np.str_(v), StrSub(v), v.upper(), v.strip(), v + " "))
        if isinstance(v, bytes):
            return src.pick((np.bytes_(v), bytes(v), v.decode("latin-1")))
    except (ValueError, OverflowError, TypeError, ArithmeticError):
        pass
    return v


def values_like(src, pool, k):
    """k values, most of them taken from pool (or close variants of them) so that they match."""
    out = []
    for _ in range(k):
        r = src.below(4)
        if pool and r <= 1:
            out.append(src.pick(pool))
        elif pool and r == 2:
            out.append(variant(src, src.pick(pool)))
        else:
            out.append(scalar(src))
    return out


# ----------------------------------------------------------------------------------------
# Arrays

NUMERIC_DTYPES = (
    "?",
    "i1",
    "i2",
    "i4",
    "i8",
    "u1",
    "u2",
    "u4",
    "u8",
    "f2",
    "f4",
    "f8",
    "g",
    "c8",
    "c16",
)


def cell_maker(src):
    """A function that draws the cells of one object array: mixed values, or one flavour so
    that a column looks like real data (number strings, words, floats)."""
    style = src.below(8)
    if style == 0:
        return number_text
    if style == 1:
        return lambda s: float_value(s) if s.below(4) else s.pick((None, "NA", float("nan")))
    if style == 2:
        return word
    if style == 3:
        return lambda s: text(s, 12)
    if style == 4:
        return numpy_scalar
    return scalar


def numeric_values(src, dtype, count):
    """count values for a numeric dtype: raw bits or edge values."""
    dt = np.dtype(dtype)
    if src.chance(3):
        raw = src.take(count * dt.itemsize)
        a = np.frombuffer(raw, dtype=dt.newbyteorder("=")).copy()
        return a != 0 if dt.kind == "b" else a
    vals = []
    for _ in range(count):
        r = src.below(3)
        vals.append(int_value(src) if r == 0 else float_value(src) if r == 1 else src.below(3))
    with np.errstate(all="ignore"):
        if dt.kind in "iu":
            info = np.iinfo(dt)
            vals = [
                v if isinstance(v, int) else (int(v) if v == v and abs(v) != float("inf") else 0)
                for v in vals
            ]
            return np.array([max(info.min, min(info.max, v)) for v in vals], dtype=dt)
        if dt.kind == "b":
            return np.array([bool(v) for v in vals], dtype=dt)
        return np.array(
            [
                float(v) if isinstance(v, float) else float(min(max(v, -(2**1000)), 2**1000))
                for v in vals
            ],
            dtype=dt,
        )


def base_array(src, shape, cells=None, kind=None):
    """A C-contiguous array of the given shape; kind: "object", "numeric", "text" or None."""
    count = int(np.prod(shape))
    if kind is None:
        kind = ("object", "object", "object", "numeric", "numeric", "text")[src.below(6)]
    if kind == "numeric":
        dt = src.pick(NUMERIC_DTYPES)
        return numeric_values(src, dt, count).reshape(shape)
    if kind == "text":
        if src.chance(3):
            a = np.array([src.take(src.below(4)) for _ in range(count)], dtype="S4")
        else:
            make = cell_maker(src)
            vals = [str(make(src)) for _ in range(count)]
            # numpy's text dtype stores code points, surrogates included.
            a = np.array(vals, dtype="U") if vals else np.empty(0, dtype="U1")
        if src.chance(8):
            a = np.frombuffer(src.take(count * 8), dtype="<i8").view("M8[s]")
        return a.reshape(shape)
    a = np.empty(count, dtype=object)
    make = cells or cell_maker(src)
    pool = []
    for i in range(count):
        v = src.pick(pool) if pool and src.chance(4) else make(src)
        a[i] = v
        pool.append(v)
    return a.reshape(shape)


def relayout(src, a):
    """The same values in another memory layout (a new array or a view)."""
    r = src.below(10)
    if a.ndim == 0:
        return a
    if r == 0:
        return np.asfortranarray(a)
    if r == 1:
        # Every other element of a larger array (a strided view).
        big = np.empty(tuple(2 * d for d in a.shape), dtype=a.dtype)
        view = big[tuple(slice(None, None, 2) for _ in a.shape)]
        view[...] = a
        return view
    if r == 2 and a.ndim >= 1:
        view = np.empty(a.shape, dtype=a.dtype)[::-1]
        view[...] = a[::-1]
        return view[::-1]
    if r == 3 and a.ndim == 2:
        return np.ascontiguousarray(a.T).T
    if r == 4 and a.dtype.kind not in "OMm" and a.dtype.itemsize > 1:
        swapped = a.astype(a.dtype.newbyteorder("S"))
        return swapped
    if r == 5 and a.dtype != object:
        # Unaligned: the data starts one byte into a buffer.
        buf = bytearray(a.nbytes + 1)
        view = np.frombuffer(buf, dtype=a.dtype, offset=1, count=a.size).reshape(a.shape)
        view[...] = a
        return view
    if r == 6:
        out = a.copy()
        out.setflags(write=False)
        return out
    if r == 7 and a.ndim >= 1 and a.shape[0] >= 1:
        # Repeated rows through a zero stride (read-only).
        return np.broadcast_to(a[:1], a.shape)
    return a


def shape_of(src, ndim):
    if ndim == 1:
        return (src.below(6),) if not src.chance(3) else (src.below(3),)
    if ndim == 2:
        return (
            src.below(5) + (0 if src.chance(5) else 1),
            src.below(4) + (0 if src.chance(5) else 1),
        )
    return tuple(src.below(3) + 1 for _ in range(ndim)) if ndim else ()


def array(src, ndim=None, kind=None, cells=None, shape=None):
    """A random array: ndim None means 1 or 2 mostly, sometimes 0 or 3."""
    if shape is None:
        if ndim is None:
            ndim = (1, 2, 2, 1, 2, 0, 3, 2)[src.below(8)]
        shape = shape_of(src, ndim)
    return relayout(src, base_array(src, shape, cells=cells, kind=kind))


def column(src, kind=None, cells=None):
    """A 1-D array, sometimes a column view of a 2-D array."""
    if src.chance(3):
        a = array(src, ndim=2, kind=kind, cells=cells)
        if a.shape[1]:
            return a[:, src.below(a.shape[1])]
    return array(src, ndim=1, kind=kind, cells=cells)


def not_an_array(src):
    """Something that is not an array: exercises argument checking."""
    return src.pick((None, 1, "text", [1, 2], [[1, "a"], [None, 2.0]], (1,), {"a": 1}, 1.5))


def cells_of(a):
    """The cells of an array as Python objects (the very objects for object arrays)."""
    if a.dtype == object:
        return list(a.ravel(order="C"))
    return [a[idx] for idx in np.ndindex(a.shape)]


def reference_list(src, pool, max_len=4):
    """A list of markers: often values from the data (or variants), sometimes None or a
    tuple or a generator-free iterable."""
    r = src.below(12)
    if r == 0:
        return None
    vals = values_like(src, pool, src.below(max_len + 1))
    if r == 1:
        return tuple(vals)
    if r == 2 and src.chance(2):
        return []
    return vals
