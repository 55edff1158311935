"""The fuzz harnesses' own machinery: oracles that must catch what they claim to, inputs that
replay to the same values, and every target running on this interpreter and NumPy."""

import os
import random
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fuzz"))
import check  # noqa: E402
import gen  # noqa: E402

import fuzz as driver  # noqa: E402


def _rebind_cell(X, lst):
    X[0, 1] = "other"


def _write_number(X, lst):
    X.base[0, 0] = 7


def _rebind_equal_value(X, lst):
    X[0, 0] = int(str(X[0, 0]))


def _append(X, lst):
    lst.append(1)


def _change_nested(X, lst):
    lst[1][0] = "z"


def _set_read_only(X, lst):
    X.setflags(write=False)


@pytest.mark.parametrize(
    "mutate",
    [_rebind_cell, _write_number, _rebind_equal_value, _append, _change_nested, _set_read_only],
)
def test_snapshot_sees_every_change(mutate):
    big = 10**30
    numbers = np.zeros((2, 2))
    X = np.array([[big, "a"], [None, numbers]], dtype=object)
    if mutate is _write_number:
        X = numbers[:, :]
    lst = ["x", ["y"], big]
    snap = check.Snapshot(X, lst)
    snap.check()
    mutate(X, lst)
    with pytest.raises(check.Finding, match="changed"):
        snap.check()


@pytest.mark.parametrize(
    "exc, ok",
    [
        (ValueError("bad X"), True),
        (OverflowError("too big"), True),
        (KeyError("k"), True),
        (ValueError(""), False),
        (TypeError("  "), False),
        (SystemError("error return without exception set"), False),
        (RuntimeError("x"), False),
        (AssertionError(), False),
        (MemoryError(), False),
    ],
)
def test_allowed_exceptions(exc, ok):
    if ok:
        check.allowed_exception(exc)
    else:
        with pytest.raises(check.Finding):
            check.allowed_exception(exc)


def test_documented_exceptions_need_no_message():
    check.allowed_exception(AssertionError(), also=(AssertionError,))


@pytest.mark.parametrize(
    "v",
    [
        0,
        1,
        -1,
        2**24 + 1,
        2**60 + 2**36 + 1,
        -(2**60 + 2**36 + 1),
        2**63 - 1,
        -(2**63),
        2**64 - 1,
        2**53 + 1,
        123456789123,
    ],
)
def test_int_to_float32_is_nearest(v):
    dt = np.uint64 if v >= 2**63 else np.int64
    assert check.int_to_float32(v) == np.array([v], dtype=dt).astype(np.float32)[0]


def test_int_to_float32_range_edge():
    # 2**128 - 2**103 is halfway between the largest float32 and 2**128: it rounds away.
    assert check.int_to_float32(2**128 - 2**103 - 1) == np.finfo(np.float32).max
    assert check.int_to_float32(2**128 - 2**103) is None
    assert check.int_to_float32(-(10**400)) is None


@pytest.mark.parametrize(
    "a, b, same",
    [
        (0.0, -0.0, False),
        (float("nan"), -float("nan"), True),
        (1.0, 1.0, True),
        (np.float32(0.1), 0.1, False),
    ],
)
def test_same_float(a, b, same):
    assert check.same_float(a, b) is same


def _describe(a):
    return (
        a.dtype.str,
        a.shape,
        a.strides,
        a.flags.writeable,
        a.flags.aligned,
        repr([repr(c) for c in gen.cells_of(a)]),
    )


@pytest.mark.parametrize("seed", range(20))
def test_the_same_bytes_build_the_same_arrays(seed):
    data = random.Random(seed).getrandbits(8 * 600).to_bytes(600, "little")
    first = _describe(gen.array(gen.Source(data)))
    assert first == _describe(gen.array(gen.Source(data)))


def test_generator_reaches_the_layouts_it_promises():
    seen = set()
    rng = random.Random(0)
    for _ in range(3000):
        a = gen.array(gen.Source(rng.getrandbits(8 * 300).to_bytes(300, "little")))
        seen.add("object" if a.dtype == object else a.dtype.kind)
        seen.add("big-endian" if a.dtype.byteorder == ">" else "")
        seen.add("" if a.flags.aligned else "unaligned")
        seen.add("" if a.flags.writeable else "read-only")
        seen.add("empty" if a.size == 0 else "")
        seen.add("F" if a.ndim == 2 and a.flags.f_contiguous and not a.flags.c_contiguous else "")
        seen.add("strided" if not (a.flags.c_contiguous or a.flags.f_contiguous) else "")
        for c in gen.cells_of(a) if a.dtype == object else ():
            if isinstance(c, str) and any(0xD800 <= ord(ch) <= 0xDFFF for ch in c):
                seen.add("surrogate")
            if type(c) is int and abs(c) >= 2**64:
                seen.add("huge int")
            if type(c) is float and c == 0 and str(c).startswith("-"):
                seen.add("-0.0")
    for want in (
        "object",
        "b",
        "i",
        "u",
        "f",
        "c",
        "U",
        "S",
        "big-endian",
        "unaligned",
        "read-only",
        "empty",
        "F",
        "strided",
        "surrogate",
        "huge int",
        "-0.0",
    ):
        assert want in seen, want


TARGETS = driver.load_targets()


@pytest.mark.filterwarnings("ignore")
@pytest.mark.parametrize(
    "name",
    sorted(
        n
        for n, t in TARGETS.items()
        # (a re-entrancy fault would take the test run down)
        if not isinstance(t, driver.Mux) and n != "hostile"
    ),
)
def test_every_target_runs(name):
    """The harness itself works here; what it finds in the package is its business, not this
    test's (the fuzz runs report it)."""
    rng = random.Random(name)
    for _ in range(30):
        n = rng.randrange(1, 800)
        try:
            TARGETS[name](gen.Source(rng.getrandbits(8 * n).to_bytes(n, "little")))
        except check.Finding:
            pass
