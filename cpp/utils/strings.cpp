// Text columns: compress_str_column and numpy_floatstr2float.
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include "kernels/float_parse.h"
#include "kernels/hash64.h"
#include "kernels/text_clean.h"
#include "kernels/text_key.h"
#include "python/array_walk.h"
#include "python/py_args.h"
#include "python/py_errors.h"
#include "python/value_match.h"
#include "utils/utils.h"

namespace tabrix {
namespace utils {

using namespace py;

namespace {

// A 1-D column as an array of object cells (other dtypes are converted; the input is never
// modified).
nb::object object_column(nb::handle Xcol, const char* fn) {
    PyArrayObject* a = require_array(Xcol.ptr(), fn, "Xcol");
    require_ndim(a, 1, fn, "Xcol");
    if (PyArray_TYPE(a) == NPY_OBJECT) return nb::borrow(Xcol);
    return cast_to(a, NPY_OBJECT);
}

// Walks the object cells of a 1-D array, prefetching ahead.
template <class F>
void for_each_object(PyArrayObject* a, F&& f) {
    const npy_intp n = PyArray_DIM(a, 0);
    const npy_intp stride = PyArray_STRIDE(a, 0);
    const char* p = static_cast<const char*>(PyArray_DATA(a));
    for (npy_intp i = 0; i < n; ++i) {
        if (i + kPrefetchDistance < n) prefetch_object(p + (i + kPrefetchDistance) * stride);
        PyObject* cell = *reinterpret_cast<PyObject* const*>(p + i * stride);
        f(i, cell ? cell : Py_None);
    }
}

// ------------------------------------------------------------------------------------------
// compress_str_column

enum class Compress { kString, kHash };

class Compressor {
public:
    explicit Compressor(Compress mode) : mode_(mode) {}

    // New reference to the compressed form of the str s.
    PyObject* operator()(PyObject* s) {
        StrView v = str_view(s);
        const size_t n = static_cast<size_t>(v.length);
        if (v.ascii) {
            const char* text = static_cast<const char*>(v.data);
            if (mode_ == Compress::kString && ascii_is_clean(text, n) && PyUnicode_CheckExact(s)) {
                Py_INCREF(s);
                return s;
            }
            if (bytes_.size() < n + 1) bytes_.resize(n + 1);
            size_t k = clean_ascii(text, n, bytes_.data());
            return finish_ascii(k);
        }
        if (v.kind == PyUnicode_1BYTE_KIND) {
            // Latin-1: cleaned through a 256-entry table while the result stays Latin-1.
            if (bytes_.size() < 2 * n + 1) bytes_.resize(2 * n + 1);
            const uint8_t* text = static_cast<const uint8_t*>(v.data);
            unsigned char* out = reinterpret_cast<unsigned char*>(bytes_.data());
            const Latin1Table& table = latin1_table();
            size_t k = 0;
            unsigned any = 0;
            bool wide = false;
            for (size_t i = 0; i < n; ++i) {
                const Latin1Table::Entry& e = table.map[text[i]];
                out[k] = e.c[0];
                out[k + 1] = e.c[1];
                k += e.len;
                any |= e.c[0] | e.c[1];
                wide |= e.wide;
            }
            if (!wide) return finish_latin1(k, any >= 128);
        }
        if (cps_.size() < 3 * n + 1) cps_.resize(3 * n + 1);
        size_t k;
        switch (v.kind) {
            case PyUnicode_1BYTE_KIND:
                k = clean_ucs1(static_cast<const uint8_t*>(v.data), n, cps_.data());
                break;
            case PyUnicode_2BYTE_KIND:
                k = clean_ucs2(static_cast<const uint16_t*>(v.data), n, cps_.data());
                break;
            default:
                k = clean_ucs4(static_cast<const uint32_t*>(v.data), n, cps_.data());
                break;
        }
        if (mode_ == Compress::kString) {
            PyObject* r = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, cps_.data(),
                                                    static_cast<Py_ssize_t>(k));
            check(r != nullptr);
            return r;
        }
        if (bytes_.size() < 4 * k + 1) bytes_.resize(4 * k + 1);
        size_t m = utf8_encode(cps_.data(), k, bytes_.data());
        return hash_of(bytes_.data(), m);
    }

private:
    // What each Latin-1 character becomes: up to two Latin-1 characters, or `wide` when the
    // result leaves Latin-1 (the micro sign folds to a Greek mu).
    struct Latin1Table {
        struct Entry {
            unsigned char c[2];
            unsigned char len;
            bool wide;
        };
        Entry map[256];
        Latin1Table() : map() {
            for (uint32_t c = 0; c < 256; ++c) {
                uint32_t out[3];
                size_t k = clean_codepoint(c, out);
                Entry& e = map[c];
                e.len = static_cast<unsigned char>(k);
                e.wide = k > 2;
                for (size_t i = 0; i < k && i < 2; ++i) {
                    e.wide = e.wide || out[i] > 255;
                    e.c[i] = static_cast<unsigned char>(out[i] <= 255 ? out[i] : 0);
                }
            }
        }
    };
    static const Latin1Table& latin1_table() {
        static const Latin1Table table;
        return table;
    }

    PyObject* finish_latin1(size_t k, bool beyond_ascii) {
        if (!beyond_ascii) return finish_ascii(k);
        const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes_.data());
        if (mode_ == Compress::kHash) {
            // UTF-8 of Latin-1: two bytes for each character from 0x80.
            utf8_.resize(2 * k + 1);
            size_t m = 0;
            for (size_t i = 0; i < k; ++i) {
                if (b[i] < 0x80) {
                    utf8_[m++] = static_cast<char>(b[i]);
                } else {
                    utf8_[m++] = static_cast<char>(0xC0 | (b[i] >> 6));
                    utf8_[m++] = static_cast<char>(0x80 | (b[i] & 0x3F));
                }
            }
            return hash_of(utf8_.data(), m);
        }
        PyObject* r = PyUnicode_New(static_cast<Py_ssize_t>(k), 255);
        check(r != nullptr);
        std::memcpy(PyUnicode_DATA(r), b, k);
        return r;
    }

    PyObject* finish_ascii(size_t k) {
        if (mode_ == Compress::kHash) return hash_of(bytes_.data(), k);
        PyObject* r = PyUnicode_New(static_cast<Py_ssize_t>(k), 127);
        check(r != nullptr);
        std::memcpy(PyUnicode_DATA(r), bytes_.data(), k);
        return r;
    }
    static PyObject* hash_of(const char* utf8, size_t n) {
        PyObject* r = PyLong_FromUnsignedLongLong(fnv1a64(utf8, n));
        check(r != nullptr);
        return r;
    }

    Compress mode_;
    std::vector<char> bytes_, utf8_;
    std::vector<uint32_t> cps_;
};


// ------------------------------------------------------------------------------------------
// numpy_floatstr2float

const double kNaN = std::numeric_limits<double>::quiet_NaN();

double parse_text(PyObject* s) {
    if (PyUnicode_IS_COMPACT_ASCII(s) && PyUnicode_GET_LENGTH(s) <= 16) {
        // Plain short numbers ("-12.5") in two words, read after the object header.
        const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
        const TextKey k = TextKey::make_after_header(PyUnicode_DATA(s), n, 1);
        double d;
        if (parse_simple_decimal16(k.head[0], k.head[1], n, &d)) return d;
    }
    StrView v = str_view(s);
    const size_t n = static_cast<size_t>(v.length);
    double d = kNaN;
    bool ok;
    if (v.ascii)
        ok = parse_float_ascii(static_cast<const char*>(v.data), n, &d);
    else if (v.kind == PyUnicode_1BYTE_KIND)
        ok = parse_float_ucs1(static_cast<const uint8_t*>(v.data), n, &d);
    else if (v.kind == PyUnicode_2BYTE_KIND)
        ok = parse_float_ucs2(static_cast<const uint16_t*>(v.data), n, &d);
    else
        ok = parse_float_ucs4(static_cast<const uint32_t*>(v.data), n, &d);
    return ok ? d : kNaN;
}

// Float value of an object that is not a str, a plain number or NaN: ints beyond the double
// range give an infinity, other objects with __float__ (Decimal, Fraction...) their value,
// anything else (None, bytes, complex, containers...) NaN.
double other_value(PyObject* o) {
    if (PyLong_Check(o)) {
        double d = PyLong_AsDouble(o);
        if (d == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) raise_current();
            PyErr_Clear();
            int sign = 0;
            PyLong_AsLongLongAndOverflow(o, &sign);
            return sign < 0 ? -std::numeric_limits<double>::infinity()
                            : std::numeric_limits<double>::infinity();
        }
        return d;
    }
    if (PyUnicode_Check(o)) return parse_text(o);
    if (PyBytes_Check(o) || PyByteArray_Check(o) || PyComplex_Check(o) || PyArray_Check(o) ||
        PyArray_IsScalar(o, ComplexFloating))
        return kNaN;
    PyNumberMethods* nm = Py_TYPE(o)->tp_as_number;
    if (!nm || !nm->nb_float) return kNaN;
    double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) {
        if (!(PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError) ||
              PyErr_ExceptionMatches(PyExc_OverflowError)))
            raise_current();
        PyErr_Clear();
        return kNaN;
    }
    return d;
}

// Float value of any cell (NaN when it matches a marker). Lookups and __float__ may run
// Python code that rebinds cells of the column and frees this one: it is held meanwhile.
double cell_value(PyObject* cell, const ValueSet* markers) {
    const CellInfo info = classify(cell);
    nb::object hold;
    if (info.kind == Kind::kOther || (markers && markers->has_other())) hold = nb::borrow(cell);
    if (markers && markers->contains(cell)) return kNaN;
    switch (info.kind) {
        case Kind::kStr: return parse_text(cell);
        case Kind::kNum: return number_value(cell, info);
        case Kind::kOther: return other_value(cell);
        default: return kNaN;
    }
}

template <class V>
inline double numeric_cell(V v, const NumKeySet& markers) {
    if constexpr (std::is_floating_point<V>::value) {
        return markers.contains_double(static_cast<double>(v)) ? kNaN : static_cast<double>(v);
    } else {
        NumKey key = std::is_signed<V>::value ? NumKey::from_int64(static_cast<int64_t>(v))
                                              : NumKey::from_uint64(static_cast<uint64_t>(v));
        return markers.contains(key) ? kNaN : static_cast<double>(v);
    }
}

}  // namespace

nb::object compress_str_column(nb::handle Xcol, nb::handle misslist, nb::handle compress_type) {
    const char* fn = "compress_str_column";
    Compress mode;
    PyObject* ct = compress_type.ptr();
    if (PyUnicode_Check(ct) && PyUnicode_CompareWithASCIIString(ct, "string") == 0)
        mode = Compress::kString;
    else if (PyUnicode_Check(ct) && PyUnicode_CompareWithASCIIString(ct, "hash") == 0)
        mode = Compress::kHash;
    else
        raise(PyExc_ValueError, "%s: compress_type must be 'string' or 'hash', got %s", fn,
              short_repr(ct).c_str());
    nb::object col = object_column(Xcol, fn);
    ValueSet markers = read_value_list(misslist.ptr(), fn, "misslist");
    PyArrayObject* a = arr(col);
    nb::object out = new_array(1, PyArray_DIMS(a), NPY_OBJECT);
    PyObject** dst = static_cast<PyObject**>(PyArray_DATA(arr(out)));
    Compressor compress(mode);
    const bool any_marker = !markers.empty();
    auto keep_or_compress = [&](npy_intp i, PyObject* cell) {
        if (!PyUnicode_Check(cell) || (any_marker && markers.contains(cell))) {
            Py_INCREF(cell);
            dst[i] = cell;
        } else {
            dst[i] = compress(cell);
        }
    };
    for_each_object(a, [&](npy_intp i, PyObject* cell) {
        // Exact strings looked up among plain markers run no Python code. Otherwise the
        // lookup may rebind cells of the column and free this one: it is held meanwhile.
        if (!any_marker || (Py_TYPE(cell) == &PyUnicode_Type && !markers.has_other()) ||
            !PyUnicode_Check(cell)) {
            keep_or_compress(i, cell);
        } else {
            nb::object hold = nb::borrow(cell);
            keep_or_compress(i, cell);
        }
    });
    return out;
}

nb::object numpy_floatstr2float(nb::handle Xcol, nb::handle missing_values_reference_list) {
    const char* fn = "numpy_floatstr2float";
    PyArrayObject* x = require_array(Xcol.ptr(), fn, "Xcol");
    require_ndim(x, 1, fn, "Xcol");
    ValueSet markers = read_value_list(missing_values_reference_list.ptr(), fn,
                                       "missing_values_reference_list");
    nb::object out = new_array(1, PyArray_DIMS(x), NPY_DOUBLE);
    double* dst = static_cast<double*>(PyArray_DATA(arr(out)));

    const int type_num = PyArray_TYPE(x);
    if (type_num != NPY_OBJECT) {
        nb::object native = native_order(x);
        PyArrayObject* a = arr(native);
        NumKeySet keys = markers.numeric_keys();
        bool done = dispatch_numeric(type_num, [&](auto tag) {
            using T = decltype(tag);
            nb::gil_scoped_release nogil;
            for_each_run(a, [&](const char* p, npy_intp stride, npy_intp n, npy_intp start) {
                for (npy_intp k = 0; k < n; ++k)
                    dst[start + k] = numeric_cell(Cell<T>::read(p + k * stride), keys);
            });
        });
        if (done) return out;
    }

    nb::object col = object_column(Xcol, fn);
    const bool any_marker = !markers.empty();
    const bool plain_markers = !markers.has_other();
    for_each_object(arr(col), [&](npy_intp i, PyObject* cell) {
        if (Py_TYPE(cell) == &PyUnicode_Type && plain_markers) {  // the common case
            dst[i] = (any_marker && markers.contains_str(cell)) ? kNaN : parse_text(cell);
            return;
        }
        dst[i] = cell_value(cell, any_marker ? &markers : nullptr);
    });
    return out;
}

}  // namespace utils
}  // namespace tabrix
