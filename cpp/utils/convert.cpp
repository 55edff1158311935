// Type conversions: numpy_boolean2float and convert_float32.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

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

// Calls f(PyObject* cell, npy_intp pos) for each object cell in C order, prefetching ahead.
// These loops do little per cell: the objects are requested far ahead (two lines: a short
// string's text may start on the second), so that enough of them are on their way when the
// cells lie scattered in memory (measured: 96 cells ahead halves the time of shuffled cells
// against 40, with both lines).
constexpr npy_intp kObjectsAhead = 96;
template <class F>
void for_each_object_cell(PyArrayObject* a, F&& f) {
    for_each_run(a, [&](const char* p, npy_intp stride, npy_intp n, npy_intp start) {
        for (npy_intp k = 0; k < n; ++k) {
            if (k + kObjectsAhead < n) prefetch_object(p + (k + kObjectsAhead) * stride);
            PyObject* cell = load<PyObject*>(p + k * stride);
            f(cell ? cell : Py_None, start + k);
        }
    });
}

// 1 for "true", 0 for "false" (any ASCII case, surrounding whitespace ignored), else -1.
int bool_word(PyObject* s) {
    if (PyUnicode_IS_COMPACT_ASCII(s) && PyUnicode_GET_LENGTH(s) <= 16) {
        // Short ASCII text, read in two words (after the object header, as text keys are).
        const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
        const TextKey k = TextKey::make_after_header(PyUnicode_DATA(s), n, 1);
        return parse_bool_word_ascii16(k.head[0], k.head[1], n);
    }
    StrView v = str_view(s);
    const size_t n = static_cast<size_t>(v.length);
    switch (v.kind) {
        case PyUnicode_1BYTE_KIND:
            return parse_bool_word_ucs1(static_cast<const uint8_t*>(v.data), n);
        case PyUnicode_2BYTE_KIND:
            return parse_bool_word_ucs2(static_cast<const uint16_t*>(v.data), n);
        default: return parse_bool_word_ucs4(static_cast<const uint32_t*>(v.data), n);
    }
}

// float32 conversion of one double; false when a finite value overflows float32.
inline bool to_float32(double d, float* out) {
    float f = static_cast<float>(d);
    *out = f;
    return !(std::isinf(f) && std::isfinite(d));
}

// The float32 nearest to the value of `exact` (a Python number), given d, that value rounded
// once to double. Rounding d again is wrong only when d sits exactly halfway between two
// float32 values and the value itself does not: then the side of d it lies on decides. The
// comparison is exact for ints, Decimals and Fractions.
float round_again_to_float32(PyObject* exact, double d) {
    const float f = static_cast<float>(d);
    if (static_cast<double>(f) == d || std::isinf(f)) return f;
    const float other =
        std::nextafter(f, d > static_cast<double>(f) ? std::numeric_limits<float>::infinity()
                                                     : -std::numeric_limits<float>::infinity());
    if (static_cast<double>(f) + static_cast<double>(other) != 2.0 * d) return f;  // not a tie
    nb::object d_obj = nb::steal(PyFloat_FromDouble(d));
    check(d_obj.is_valid());
    const int above = PyObject_RichCompareBool(exact, d_obj.ptr(), Py_GT);
    if (above < 0) raise_current();
    const int below = above ? 0 : PyObject_RichCompareBool(exact, d_obj.ptr(), Py_LT);
    if (below < 0) raise_current();
    if (above) return std::max(f, other);
    if (below) return std::min(f, other);
    return f;
}

// repr() runs Python code: the cell is held while its description is built.
[[noreturn]] void raise_not_number(PyArrayObject* a, npy_intp pos, PyObject* cell) {
    nb::object hold = nb::borrow(cell);
    std::string where = cell_position(a, pos);
    raise(PyExc_ValueError, "convert_float32: %s holds %s (%s), which is not a number",
          where.c_str(), short_repr(cell).c_str(), type_name(cell));
}

[[noreturn]] void raise_out_of_range(PyArrayObject* a, npy_intp pos, PyObject* cell) {
    nb::object hold = nb::borrow(cell);
    std::string where = cell_position(a, pos);
    raise(PyExc_ValueError,
          "convert_float32: %s holds %s, which is beyond the float32 range (finite values "
          "must be within +-3.4028235e+38)",
          where.c_str(), short_repr(cell).c_str());
}

// Contiguous, aligned data in native byte order: converted in one flat loop over memory,
// into a result of the same layout (as astype() gives).
bool flat(PyArrayObject* a) {
    return PyArray_ISALIGNED(a) && PyArray_ISNOTSWAPPED(a) &&
           (PyArray_IS_C_CONTIGUOUS(a) || PyArray_IS_F_CONTIGUOUS(a));
}

// A new array of a's shape and layout (Fortran order when a is only that).
nb::object new_like(PyArrayObject* a, int type_num) {
    const bool fortran = !PyArray_IS_C_CONTIGUOUS(a) && PyArray_IS_F_CONTIGUOUS(a);
    PyObject* r = PyArray_New(&PyArray_Type, PyArray_NDIM(a), PyArray_DIMS(a), type_num, nullptr,
                              nullptr, 0, fortran ? NPY_ARRAY_F_CONTIGUOUS : 0, nullptr);
    check(r != nullptr);
    return nb::steal(r);
}

// C-order position of the k-th cell in memory of a flat array.
npy_intp c_position(PyArrayObject* a, npy_intp k) {
    if (PyArray_IS_C_CONTIGUOUS(a)) return k;
    npy_intp pos = 0, scale = 1;
    std::vector<npy_intp> idx(static_cast<size_t>(PyArray_NDIM(a)));
    for (int d = 0; d < PyArray_NDIM(a); ++d) {  // Fortran order: the first index varies fastest
        idx[static_cast<size_t>(d)] = k % PyArray_DIM(a, d);
        k /= PyArray_DIM(a, d);
    }
    for (int d = PyArray_NDIM(a) - 1; d >= 0; --d) {
        pos += idx[static_cast<size_t>(d)] * scale;
        scale *= PyArray_DIM(a, d);
    }
    return pos;
}

// Narrows src[0..n) to float32 in dst, checking the range in the same pass, a block at a time
// with no branch in the loop so that it compiles to vector instructions. Returns the index of
// the first finite value beyond the float32 range, or n.
template <class T>
TABRIX_VECTOR_CLONES size_t narrow_flat(const T* src, float* dst, size_t n) {
    if constexpr (std::is_integral<T>::value) {
        // Straight to float32, rounded once (through a double, an integer beyond 2**53 would
        // be rounded twice); no integer is beyond the float32 range.
        for (size_t k = 0; k < n; ++k) dst[k] = static_cast<float>(src[k]);
        return n;
    }
    constexpr size_t kBlock = 1024;
    for (size_t b = 0; b < n; b += kBlock) {
        const size_t e = b + kBlock < n ? b + kBlock : n;
        int bad = 0;
        for (size_t k = b; k < e; ++k) {
            const double d = static_cast<double>(src[k]);
            const float f = static_cast<float>(d);
            dst[k] = f;
            // An infinity: a finite value overflowed, or (rarely) an infinity was given, which
            // the second look below tells apart. NaN compares false.
            bad |= std::fabs(f) > FLT_MAX;
        }
        if (bad) {
            for (size_t k = b; k < e; ++k)
                if (std::isinf(dst[k]) && std::isfinite(static_cast<double>(src[k]))) return k;
        }
    }
    return n;
}

TABRIX_VECTOR_CLONES size_t narrow_flat(const BoolCell* src, float* dst, size_t n) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(src);
    for (size_t k = 0; k < n; ++k) dst[k] = static_cast<float>(b[k] != 0);
    return n;
}

template <class T>
TABRIX_VECTOR_CLONES void widen_flat(const T* src, double* dst, size_t n) {
    for (size_t k = 0; k < n; ++k) dst[k] = static_cast<double>(src[k]);
}
TABRIX_VECTOR_CLONES void widen_flat(const BoolCell* src, double* dst, size_t n) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(src);
    for (size_t k = 0; k < n; ++k) dst[k] = static_cast<double>(b[k] != 0);
}

// Float32 value of one object cell, or a ValueError naming its position.
float object_to_float32(PyArrayObject* a, npy_intp pos, PyObject* cell) {
    CellInfo info = classify(cell);
    float f;
    switch (info.kind) {
        case Kind::kNan: return std::numeric_limits<float>::quiet_NaN();
        case Kind::kNum:
            // Integers are rounded once, straight to float32 (through a double, an integer
            // beyond 2**53 would be rounded twice). A zero keeps the sign of a float zero.
            if (info.key.tag == NumKey::kInt && info.key.bits != 0)
                return static_cast<float>(static_cast<int64_t>(info.key.bits));
            if (info.key.tag == NumKey::kBigUnsigned) return static_cast<float>(info.key.bits);
            if (!to_float32(number_value(cell, info), &f)) raise_out_of_range(a, pos, cell);
            return f;
        case Kind::kNone:
        case Kind::kStr: raise_not_number(a, pos, cell);
        case Kind::kOther: break;
    }
    // __float__ and the like run Python code, which may rebind cells of the array and free
    // this one: it is held until done with.
    nb::object hold = nb::borrow(cell);
    if (PyArray_IsScalar(cell, LongDouble)) {
        npy_longdouble v = PyArrayScalar_VAL(cell, LongDouble);
        f = static_cast<float>(v);
        if (std::isinf(f) && std::isfinite(v)) raise_out_of_range(a, pos, cell);
        return f;
    }
    if (PyLong_Check(cell)) {  // an int subclass, or an int beyond 64 bits
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(cell, &overflow);
        if (v == -1 && PyErr_Occurred()) raise_current();
        if (!overflow) return static_cast<float>(v);
        double d = PyLong_AsDouble(cell);
        if (d == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) raise_current();
            PyErr_Clear();
            raise_out_of_range(a, pos, cell);
        }
        if (!to_float32(d, &f)) raise_out_of_range(a, pos, cell);
        return round_again_to_float32(cell, d);
    }
    PyNumberMethods* nm = Py_TYPE(cell)->tp_as_number;
    if (PyUnicode_Check(cell) || PyBytes_Check(cell) || PyComplex_Check(cell) ||
        PyArray_Check(cell) || PyArray_IsScalar(cell, ComplexFloating) || !nm || !nm->nb_float)
        raise_not_number(a, pos, cell);
    double d = PyFloat_AsDouble(cell);
    if (d == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            raise_out_of_range(a, pos, cell);
        }
        if (!(PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)))
            raise_current();
        PyErr_Clear();
        raise_not_number(a, pos, cell);
    }
    if (std::isinf(d)) {
        // float() gives an infinity for a finite value beyond the double range too
        // (Decimal("1E+400")): only an infinite value stays infinite.
        nb::object d_obj = nb::steal(PyFloat_FromDouble(d));
        check(d_obj.is_valid());
        const int infinite = PyObject_RichCompareBool(cell, d_obj.ptr(), Py_EQ);
        if (infinite < 0) clear_inapplicable_error();
        if (infinite <= 0) raise_out_of_range(a, pos, cell);
        return static_cast<float>(d);
    }
    if (!to_float32(d, &f)) raise_out_of_range(a, pos, cell);
    return std::isnan(d) ? f : round_again_to_float32(cell, d);
}

}  // namespace

nb::object numpy_boolean2float(nb::handle X) {
    const char* fn = "numpy_boolean2float";
    PyArrayObject* x = require_array(X.ptr(), fn, "X");
    const int type_num = PyArray_TYPE(x);
    const int nd = PyArray_NDIM(x);
    if (type_num != NPY_OBJECT) {
        nb::object out;
        bool done = dispatch_numeric(type_num, [&](auto tag) {
            using T = decltype(tag);
            if (flat(x)) {
                out = new_like(x, NPY_DOUBLE);
                double* dst = static_cast<double*>(PyArray_DATA(arr(out)));
                const T* src = static_cast<const T*>(PyArray_DATA(x));
                nb::gil_scoped_release nogil;
                widen_flat(src, dst, static_cast<size_t>(PyArray_SIZE(x)));
                return;
            }
            nb::object native = native_order(x);
            out = new_array(nd, PyArray_DIMS(x), NPY_DOUBLE);
            double* dst = static_cast<double*>(PyArray_DATA(arr(out)));
            nb::gil_scoped_release nogil;
            for_each_run(
                arr(native), [&](const char* p, npy_intp stride, npy_intp n, npy_intp start) {
                    for (npy_intp k = 0; k < n; ++k)
                        dst[start + k] = static_cast<double>(Cell<T>::read(p + k * stride));
                });
        });
        if (done) return out;
        const char kind = PyArray_DESCR(x)->kind;
        if (kind == 'f') return cast_to(x, NPY_DOUBLE);
        if (kind != 'U' && kind != 'S')
            raise(PyExc_TypeError,
                  "%s: X must hold booleans, numbers, objects or text, got dtype %R", fn,
                  reinterpret_cast<PyObject*>(PyArray_DESCR(x)));
    }
    nb::object objects = type_num == NPY_OBJECT ? nb::borrow(X) : cast_to(x, NPY_OBJECT);
    nb::object out = new_array(nd, PyArray_DIMS(x), NPY_OBJECT);
    PyObject** dst = static_cast<PyObject**>(PyArray_DATA(arr(out)));
    nb::object one = nb::steal(PyFloat_FromDouble(1.0));
    nb::object zero = nb::steal(PyFloat_FromDouble(0.0));
    check(one.is_valid() && zero.is_valid());
    PyTypeObject* const numpy_bool = &PyBoolArrType_Type;  // final type: no subclasses
    const npy_bool no = 0;
    for_each_object_cell(arr(objects), [&](PyObject* cell, npy_intp pos) {
        // Columns often mix types at random: apart from strings, the result is computed with
        // arithmetic and an indexed pick rather than branches the CPU would mispredict.
        PyTypeObject* t = Py_TYPE(cell);
        int b;
        if (PyType_FastSubclass(t, Py_TPFLAGS_UNICODE_SUBCLASS)) {
            b = bool_word(cell);
        } else {
            const int python_bool = t == &PyBool_Type, numpy_bool_cell = t == numpy_bool;
            const npy_bool* np_value = numpy_bool_cell ? &PyArrayScalar_VAL(cell, Bool) : &no;
            const int truth = (python_bool & (cell == Py_True)) | (*np_value != 0);
            b = truth + (python_bool | numpy_bool_cell) - 1;  // -1 for any other object
        }
        PyObject* const choice[3] = {cell, zero.ptr(), one.ptr()};
        PyObject* v = choice[b + 1];
        Py_INCREF(v);
        dst[pos] = v;
    });
    return out;
}

nb::object convert_float32(nb::handle X) {
    const char* fn = "convert_float32";
    PyArrayObject* x = require_array(X.ptr(), fn, "X");
    const int type_num = PyArray_TYPE(x);
    const int nd = PyArray_NDIM(x);
    if (type_num == NPY_HALF) return cast_to(x, NPY_FLOAT);
    if (type_num != NPY_OBJECT && flat(x)) {
        nb::object out = new_like(x, NPY_FLOAT);
        float* dst = static_cast<float*>(PyArray_DATA(arr(out)));
        const size_t n = static_cast<size_t>(PyArray_SIZE(x));
        size_t bad = n;
        bool done = dispatch_numeric(type_num, [&](auto tag) {
            using T = decltype(tag);
            const T* src = static_cast<const T*>(PyArray_DATA(x));
            nb::gil_scoped_release nogil;
            bad = narrow_flat(src, dst, n);
        });
        if (done) {
            if (bad < n) {
                // The first such cell in C order is named, whatever the layout.
                npy_intp pos = c_position(x, static_cast<npy_intp>(bad));
                for (npy_intp p = 0; p < pos && !PyArray_IS_C_CONTIGUOUS(x); ++p) {
                    nb::object v = nb::steal(PyArray_GETITEM(x, cell_pointer(x, p)));
                    check(v.is_valid());
                    const double d = PyFloat_AsDouble(v.ptr());
                    if (d == -1.0 && PyErr_Occurred()) raise_current();
                    float f;
                    if (!to_float32(d, &f)) pos = p;
                }
                nb::object value = nb::steal(PyArray_GETITEM(x, cell_pointer(x, pos)));
                check(value.is_valid());
                raise_out_of_range(x, pos, value.ptr());
            }
            return out;
        }
    }
    nb::object out = new_array(nd, PyArray_DIMS(x), NPY_FLOAT);
    float* dst = static_cast<float*>(PyArray_DATA(arr(out)));
    if (type_num != NPY_OBJECT) {
        nb::object native = native_order(x);
        PyArrayObject* a = arr(native);
        npy_intp bad = -1;
        bool done = dispatch_numeric(type_num, [&](auto tag) {
            using T = decltype(tag);
            nb::gil_scoped_release nogil;
            for_each_run(a, [&](const char* p, npy_intp stride, npy_intp n, npy_intp start) {
                if (bad >= 0) return;
                if constexpr (std::is_integral<typename Cell<T>::Value>::value) {
                    // Straight to float32, rounded once; no integer is beyond its range.
                    for (npy_intp k = 0; k < n; ++k)
                        dst[start + k] = static_cast<float>(Cell<T>::read(p + k * stride));
                    return;
                }
                for (npy_intp k = 0; k < n; ++k) {
                    if (!to_float32(static_cast<double>(Cell<T>::read(p + k * stride)),
                                    &dst[start + k])) {
                        bad = start + k;
                        return;
                    }
                }
            });
        });
        if (done) {
            if (bad >= 0) {
                nb::object value = nb::steal(PyArray_GETITEM(a, cell_pointer(a, bad)));
                check(value.is_valid());
                raise_out_of_range(x, bad, value.ptr());
            }
            return out;
        }
    }
    nb::object objects = type_num == NPY_OBJECT ? nb::borrow(X) : cast_to(x, NPY_OBJECT);
    for_each_object_cell(arr(objects), [&](PyObject* cell, npy_intp pos) {
        dst[pos] = object_to_float32(x, pos, cell);
    });
    return out;
}

}  // namespace utils
}  // namespace tabrix
