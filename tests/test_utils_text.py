import math
import struct
from decimal import Decimal

import _utils_model as model
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tabrix_libs.utils.exportable_utils import (
    compress_str_column,
    numpy_floatstr2float,
)
from tabrix_libs.utils.exportable_utils import (
    global_missing_values_reference_list as MISSING,
)

# The build generates the Unicode tables from the database of the interpreter it builds for, so
# cleaning and number parsing follow this interpreter's str methods and float() exactly.


def obj(*values):
    a = np.empty(len(values), dtype=object)
    a[:] = list(values)
    return a


# ----------------------------------------------------------------------------------------
# compress_str_column


@pytest.mark.parametrize(
    "text, expected",
    [
        (" New-York  City! ", "newyorkcity"),
        ("Straße", "strasse"),
        ("ÉCOLE_normale", "écolenormale"),
        ("ǅungla", "ǆungla"),
        ("İstanbul", "istanbul"),
        ("東京 2020", "東京2020"),
        ("١٢٣-٤", "١٢٣٤"),
        ("ab\ud800cd", "abcd"),
        ("\u00a0\t", ""),
        ("abc123", "abc123"),
    ],
)
def test_compress_string_examples(text, expected):
    out = compress_str_column(obj(text), None, "string")
    assert out[0] == expected and type(out[0]) is str
    h = compress_str_column(obj(text), None, "hash")[0]
    assert h == model.fnv1a64(expected.encode("utf-8"))


def test_hash_is_a_fixed_value():
    # Stored hashes must never change: this is FNV-1a 64 of b"newyorkcity".
    assert compress_str_column(obj(" New-York  City! "), [], "hash")[0] == 7454758868230752605


def test_markers_and_non_strings_are_kept_as_they_are():
    sentinel = object()
    X = obj("NA", None, np.nan, 3, 2.5, b"AB C", sentinel, "Keep Me", np.str_("Np Str"))
    before = X.copy()
    out = compress_str_column(X, MISSING, "string")
    for i in range(7):
        assert out[i] is X[i]
    assert list(out[7:]) == ["keepme", "npstr"]
    assert out is not X and all(a is b for a, b in zip(X, before))


def test_text_dtype_and_strided_columns():
    X = np.array(["A b", "NA", "c-D"])
    assert list(compress_str_column(X, ["NA"], "string")) == ["ab", "NA", "cd"]
    M = np.array([["x Y", 1], ["z!", 2]], dtype=object)
    assert list(compress_str_column(M[:, 0], None, "string")) == ["xy", "z"]
    assert list(compress_str_column(M[::-1, 0], None, "string")) == ["z", "xy"]


@pytest.mark.parametrize("mode", ["string", "hash"])
@pytest.mark.parametrize("repeats", [True, False])
def test_long_columns_with_and_without_repeated_values(mode, repeats):
    texts = [f" Item-{i % 50 if repeats else i}  é{'µ' * (i % 3)}!" for i in range(20000)]
    texts[5] = "NA"
    out = compress_str_column(obj(*texts), ["NA"], mode)
    for t, o in zip(texts, out):
        if t == "NA":
            assert o == "NA"
        elif mode == "string":
            assert o == model.compress(t)
        else:
            assert o == model.fnv1a64(model.compress(t).encode("utf-8"))


@pytest.mark.parametrize("bad", ["STRING", "", None, 1, "md5"])
def test_compress_type_must_be_known(bad):
    with pytest.raises(ValueError, match="'string' or 'hash'"):
        compress_str_column(obj("a"), None, bad)


TEXT = st.text(st.characters(blacklist_categories=("Cs",)), max_size=25)


@settings(max_examples=400, deadline=None)
@given(st.lists(TEXT, min_size=1, max_size=20))
def test_compress_matches_casefold_and_isalnum(texts):
    X = obj(*texts)
    out = compress_str_column(X, None, "string")
    assert list(out) == [model.compress(t) for t in texts]
    hashes = compress_str_column(X, None, "hash")
    assert list(hashes) == [model.fnv1a64(model.compress(t).encode("utf-8")) for t in texts]


def test_compress_every_bmp_character():
    chars = [chr(c) for c in range(0x10000) if 0xD800 > c or c > 0xDFFF]
    out = compress_str_column(obj(*chars), None, "string")
    bad = [(c, o) for c, o in zip(chars, out) if o != model.compress(c)]
    assert not bad, bad[:10]


# ----------------------------------------------------------------------------------------
# numpy_floatstr2float


def bits(x):
    return struct.pack("<d", x)


def check_parse(texts):
    out = numpy_floatstr2float(obj(*texts), None)
    assert out.dtype == np.float64
    for t, v in zip(texts, out):
        want = model.float_or_nan(t)
        if math.isnan(want):
            assert math.isnan(v), (t, v)
        else:
            assert bits(v) == bits(want), (t, v, want)


@pytest.mark.parametrize(
    "text",
    [
        "1e3",
        "-0.5",
        " 1.5 ",
        "\t2\n",
        "inf",
        "-Infinity",
        "nan",
        "-nan",
        "1_000",
        "1_0.5e1_0",
        ".5",
        "5.",
        "-0",
        "0.1",
        "1e400",
        "-1e400",
        "1e-400",
        "2.5e-324",
        "9007199254740993",
        "1" * 400,
        "0." + "0" * 400 + "1",
        "١٢٣",
        "\u20037\u00a0",
        "\x852",
        "",
        " ",
        "abc",
        "1_",
        "_1",
        "1__0",
        "1e",
        "e1",
        ".",
        "0x10",
        "1,5",
        "1 5",
        "\x1c1",
        "infinity1",
        "nan(1)",
        "1.5\x00",
        "+-1",
        "١٫٥",
        "1e1_",
        "𝟏",
    ],
)
def test_parse_examples_bit_identical(text):
    check_parse([text])


NUMBERS = st.one_of(
    st.floats(allow_nan=False).map(repr),
    st.floats(allow_nan=False).map(lambda f: f"{f:.25e}"),
    st.integers(-(10**30), 10**30).map(str),
    st.from_regex(r"\A[ \t]?[+-]?(\d(_?\d)*)?(\.(\d(_?\d)*)?)?([eE][+-]?\d(_?\d)*)?[ \n]?\Z"),
    st.text(st.sampled_from("0123456789._eE+-naifINF ١\u2003x"), max_size=12),
)


@settings(max_examples=600, deadline=None)
@given(st.lists(NUMBERS, min_size=1, max_size=20))
def test_parse_matches_python_float(texts):
    check_parse(texts)


def test_markers_numbers_and_other_objects():
    X = obj(
        "NA",
        "-999",
        3,
        True,
        np.float32(0.5),
        np.int64(-2),
        10**400,
        -(10**400),
        Decimal("2.5"),
        None,
        b"1.5",
        complex(1, 0),
        [1],
        "nan",
        np.nan,
    )
    out = numpy_floatstr2float(X, ["NA", "-999"])
    want = [
        math.nan,
        math.nan,
        3.0,
        1.0,
        0.5,
        -2.0,
        math.inf,
        -math.inf,
        2.5,
        math.nan,
        math.nan,
        math.nan,
        math.nan,
        math.nan,
        math.nan,
    ]
    np.testing.assert_array_equal(out, want)


@pytest.mark.parametrize(
    "dtype", [np.int32, np.uint64, np.float32, np.float64, np.bool_, "<U4", np.float16]
)
def test_non_object_columns(dtype):
    X = np.array([1, 0, 1]).astype(dtype)
    out = numpy_floatstr2float(X, [0, "0"])
    np.testing.assert_array_equal(out, [1.0, np.nan, 1.0])
