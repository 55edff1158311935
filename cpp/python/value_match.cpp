#include "python/value_match.h"

#include <cmath>
#include <cstring>

#include "kernels/hash64.h"
#include "python/array_walk.h"
#include "python/py_errors.h"

namespace nb = nanobind;

namespace tabrix {
namespace py {

namespace {

CellInfo num(NumKey k) { return CellInfo{Kind::kNum, k}; }
CellInfo of_double(double d) {
    return std::isnan(d) ? CellInfo{Kind::kNan, NumKey{}} : num(NumKey::from_double(d));
}
const CellInfo kOtherInfo{Kind::kOther, NumKey{}};

CellInfo classify_numpy_scalar(PyObject* o) {
    if (PyArray_IsScalar(o, Double)) return of_double(PyArrayScalar_VAL(o, Double));
    if (PyArray_IsScalar(o, Float)) return of_double(PyArrayScalar_VAL(o, Float));
    if (PyArray_IsScalar(o, Integer)) {
        if (PyArray_IsScalar(o, SignedInteger)) {
            if (PyArray_IsScalar(o, LongLong))
                return num(NumKey::from_int64(PyArrayScalar_VAL(o, LongLong)));
            if (PyArray_IsScalar(o, Long))
                return num(NumKey::from_int64(PyArrayScalar_VAL(o, Long)));
            if (PyArray_IsScalar(o, Int)) return num(NumKey::from_int64(PyArrayScalar_VAL(o, Int)));
            if (PyArray_IsScalar(o, Short))
                return num(NumKey::from_int64(PyArrayScalar_VAL(o, Short)));
            if (PyArray_IsScalar(o, Byte))
                return num(NumKey::from_int64(PyArrayScalar_VAL(o, Byte)));
        } else {
            if (PyArray_IsScalar(o, ULongLong))
                return num(NumKey::from_uint64(PyArrayScalar_VAL(o, ULongLong)));
            if (PyArray_IsScalar(o, ULong))
                return num(NumKey::from_uint64(PyArrayScalar_VAL(o, ULong)));
            if (PyArray_IsScalar(o, UInt))
                return num(NumKey::from_uint64(PyArrayScalar_VAL(o, UInt)));
            if (PyArray_IsScalar(o, UShort))
                return num(NumKey::from_uint64(PyArrayScalar_VAL(o, UShort)));
            if (PyArray_IsScalar(o, UByte))
                return num(NumKey::from_uint64(PyArrayScalar_VAL(o, UByte)));
        }
        return kOtherInfo;
    }
    if (PyArray_IsScalar(o, Bool))
        return num(NumKey::from_int64(PyArrayScalar_VAL(o, Bool) ? 1 : 0));
    if (PyArray_IsScalar(o, Half)) return of_double(half_to_double(PyArrayScalar_VAL(o, Half)));
    if (PyArray_IsScalar(o, LongDouble)) {
        npy_longdouble v = PyArrayScalar_VAL(o, LongDouble);
        if (std::isnan(v)) return CellInfo{Kind::kNan, NumKey{}};
        double d = static_cast<double>(v);
        if (static_cast<npy_longdouble>(d) == v) return num(NumKey::from_double(d));
        return kOtherInfo;
    }
    if (PyArray_IsScalar(o, Unicode)) return CellInfo{Kind::kStr, NumKey{}};
    return kOtherInfo;
}

bool py_equal(PyObject* a, PyObject* b) {
    if (a == b) return true;
    int r = PyObject_RichCompareBool(a, b, Py_EQ);
    if (r < 0) {
        clear_inapplicable_error();
        return false;
    }
    return r == 1;
}

}  // namespace

CellInfo classify(PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
    if (t == &PyUnicode_Type) return CellInfo{Kind::kStr, NumKey{}};
    if (t == &PyFloat_Type) return of_double(PyFloat_AS_DOUBLE(o));
    if (t == &PyLong_Type) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (!overflow) return num(NumKey::from_int64(v));
        if (overflow > 0) {
            unsigned long long u = PyLong_AsUnsignedLongLong(o);
            if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred()))
                return num(NumKey::from_uint64(u));
            PyErr_Clear();
        }
        return kOtherInfo;
    }
    if (o == Py_None) return CellInfo{Kind::kNone, NumKey{}};
    if (t == &PyBool_Type) return num(NumKey::from_int64(o == Py_True ? 1 : 0));
    if (PyArray_IsScalar(o, Generic)) return classify_numpy_scalar(o);
    return kOtherInfo;
}

double number_value(PyObject* o, const CellInfo& info) {
    const double d = info.key.to_double();
    if (d != 0.0) return d;
    bool negative = false;
    if (Py_TYPE(o) == &PyFloat_Type)
        negative = std::signbit(PyFloat_AS_DOUBLE(o));
    else if (PyArray_IsScalar(o, Double))
        negative = std::signbit(PyArrayScalar_VAL(o, Double));
    else if (PyArray_IsScalar(o, Float))
        negative = std::signbit(PyArrayScalar_VAL(o, Float));
    else if (PyArray_IsScalar(o, Half))
        negative = (PyArrayScalar_VAL(o, Half) & 0x8000) != 0;
    else if (PyArray_IsScalar(o, LongDouble))
        negative = std::signbit(PyArrayScalar_VAL(o, LongDouble));
    return negative ? -0.0 : 0.0;
}

bool is_nan_object(PyObject* o) { return classify(o).kind == Kind::kNan; }

void make_probe_general(PyObject* cell, Probe* out) {
    const CellInfo info = classify(cell);
    out->kind = info.kind;
    if (info.kind == Kind::kStr) {
        const StrView v = str_view(cell);
        const size_t nbytes = static_cast<size_t>(v.length) * static_cast<size_t>(v.kind);
        // Compact strings keep their text right after the object header.
        out->key = PyUnicode_IS_COMPACT(cell)
                       ? TextKey::make_after_header(v.data, nbytes, static_cast<unsigned>(v.kind))
                       : TextKey::make(v.data, nbytes, static_cast<unsigned>(v.kind));
        out->hash = out->key.hash(v.data, nbytes);
    } else if (info.kind == Kind::kNum) {
        // Numbers have meta 0; texts never do.
        out->key = TextKey{{info.key.bits, static_cast<uint64_t>(info.key.tag)}, 0, 0};
        out->hash = info.key.hash();
    } else {
        out->key = TextKey{{0, 0}, 0, 0};
        out->hash = 0;
    }
}

bool make_probe_without_python(PyObject* cell, Probe* p) {
    PyTypeObject* t = Py_TYPE(cell);
    if (t == &PyLong_Type) {
        // Beyond 64 bits classify() asks for the unsigned value, which sets an error when
        // that does not fit either.
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(cell, &overflow);
        if (overflow) return false;
        const NumKey key = NumKey::from_int64(v);
        p->kind = Kind::kNum;
        p->key = TextKey{{key.bits, static_cast<uint64_t>(key.tag)}, 0, 0};
        p->hash = key.hash();
        return true;
    }
    if (PyUnicode_Check(cell)) {
        if (t != &PyUnicode_Type && !PyArray_IsScalar(cell, Unicode)) return false;
#if PY_VERSION_HEX < 0x030C0000
        if (!PyUnicode_IS_READY(cell)) return false;
#endif
    }
    Probe probe;
    make_probe(cell, &probe);
    if (probe.kind == Kind::kOther) return false;
    *p = probe;
    return true;
}

bool same_text(PyObject* a, PyObject* b) {
    const StrView v = str_view(a), w = str_view(b);
    const size_t nbytes = static_cast<size_t>(v.length) * static_cast<size_t>(v.kind);
    return v.length == w.length && v.kind == w.kind && std::memcmp(v.data, w.data, nbytes) == 0;
}

bool ValueSet::long_text_equal(PyObject* cell, uint32_t pos) const {
    const StrView v = str_view(cell), w = str_view(values_[pos].ptr());
    return v.length == w.length &&
           std::memcmp(v.data, w.data,
                       static_cast<size_t>(v.length) * static_cast<size_t>(v.kind)) == 0;
}

namespace {

bool is_plain_number(PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
    return t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type;
}

// The Python int or float of a probed number. A NumPy number compared with another kind of
// number (Decimal, Fraction) goes through NumPy's own rules, which may raise instead of
// comparing; numbers match by value, so the plain number of that value stands in for it.
nb::object plain_number(const Probe& p) {
    const NumKey k{p.key.head[0], static_cast<NumKey::Tag>(p.key.head[1])};
    PyObject* o = k.tag == NumKey::kInt ? PyLong_FromLongLong(static_cast<int64_t>(k.bits))
                  : k.tag == NumKey::kBigUnsigned ? PyLong_FromUnsignedLongLong(k.bits)
                                                  : PyFloat_FromDouble(k.to_double());
    check(o != nullptr);
    return nb::steal(o);
}

}  // namespace

bool ValueSet::contains_number_by_python(PyObject* cell, const Probe& p) const {
    if (is_plain_number(cell)) return contains_by_python(cell, true);
    nb::object plain = plain_number(p);
    return contains_by_python(plain.ptr(), true);
}

bool ValueSet::contains_by_python(PyObject* cell, bool only_other) const {
    // Hash and == run Python code, which may drop the last other reference to the cell.
    nb::object hold = nb::borrow(cell);
    Py_hash_t h = PyObject_Hash(cell);
    if (h == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) raise_current();
        PyErr_Clear();
        // An unhashable cell can only be compared with every value in turn.
        for (const nb::object& v : values_) {
            if (only_other && classify(v.ptr()).kind != Kind::kOther) continue;
            if (!is_nan_object(v.ptr()) && py_equal(cell, v.ptr())) return true;
        }
        return false;
    }
    uint64_t key = mix64(static_cast<uint64_t>(h));
    if (hashed_.find(key, [&](const Hashed& e) {
            return (!only_other || e.other) && py_equal(cell, e.obj);
        }) >= 0)
        return true;
    for (PyObject* v : unhashable_)
        if (py_equal(cell, v)) return true;
    return false;
}

PyObject* ValueSet::fill_or_keep_held(PyObject* cell, const Probe& p, bool fill_when,
                                      PyObject* fill, bool* filled) const {
    nb::object hold = nb::borrow(cell);
    *filled = contains(cell, p) == fill_when;
    return *filled ? nb::borrow(fill).release().ptr() : hold.release().ptr();
}

void ValueSet::add_hashed(PyObject* v, const Probe& p) {
    if (p.kind == Kind::kNum && !is_plain_number(v)) {
        plain_numbers_.push_back(plain_number(p));
        v = plain_numbers_.back().ptr();
    }
    add_hashed(v, p.kind == Kind::kOther);
}

void ValueSet::add_hashed(PyObject* v, bool other) {
    Py_hash_t h = PyObject_Hash(v);
    if (h == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) raise_current();
        PyErr_Clear();
        unhashable_.push_back(v);
    } else {
        hashed_.insert(mix64(static_cast<uint64_t>(h)), Hashed{v, other});
    }
}

bool ValueSet::add(PyObject* v, const Probe& p) {
    if (p.kind == Kind::kNan) {
        if (has_nan_) return false;
        has_nan_ = true;
        values_.push_back(nb::borrow(v));
        return true;
    }
    if (contains(v, p)) return false;
    add_new(v, p);
    return true;
}

void ValueSet::add_new(PyObject* v, const Probe& p) {
    if (p.kind == Kind::kNan) {
        has_nan_ = true;
        values_.push_back(nb::borrow(v));
        return;
    }
    TextKey key = p.key;
    key.extra = static_cast<uint32_t>(values_.size());
    // Owned first: no entry ever refers to a value that is not there.
    values_.push_back(nb::borrow(v));
    switch (p.kind) {
        case Kind::kStr: {
            typed_.insert(p.hash, key);
            if (++str_count_ > 32) str_filter_ = false;
            str_lengths_ |= uint64_t(1) << (PyUnicode_GET_LENGTH(v) & 63);
            if (PyUnicode_GET_LENGTH(v) > 0) {
                Py_UCS4 c = PyUnicode_READ_CHAR(v, 0);
                if (c < 128)
                    str_first_[c >> 6] |= uint64_t(1) << (c & 63);
                else
                    str_first_wide_ = true;
            }
            break;
        }
        case Kind::kNum:
            typed_.insert(p.hash, key);
            has_num_ = true;
            break;
        case Kind::kNone: has_none_ = true; break;
        default: has_other_ = true; break;
    }
    add_hashed(v, p);
}

void ValueSet::add_reference(PyObject* v) {
    const Probe p = make_probe(v);
    if (add(v, p) || p.kind == Kind::kNan) return;
    values_.push_back(nb::borrow(v));
    add_hashed(v, p);
}

NumKeySet ValueSet::numeric_keys() const {
    NumKeySet keys;
    keys.has_nan = has_nan_;
    for (const nb::object& o : values_) {
        PyObject* v = o.ptr();
        CellInfo info = classify(v);
        if (info.kind == Kind::kNum) {
            keys.insert(info.key);
            continue;
        }
        if (info.kind != Kind::kOther) continue;
        // Other numbers (huge ints, complex with a zero imaginary part, Decimal, Fraction...)
        // count when they equal a double exactly.
        double d;
        if (PyLong_Check(v)) {
            d = PyLong_AsDouble(v);
        } else if (PyComplex_Check(v)) {
            if (PyComplex_ImagAsDouble(v) != 0.0) continue;
            d = PyComplex_RealAsDouble(v);
        } else if (PyArray_IsScalar(v, ComplexFloating)) {
            // Read by parts: float() of a NumPy complex warns that the imaginary part is lost.
            nb::object imag = nb::steal(PyObject_GetAttrString(v, "imag"));
            nb::object real = nb::steal(PyObject_GetAttrString(v, "real"));
            check(imag.is_valid() && real.is_valid());
            const double im = PyFloat_AsDouble(imag.ptr());
            if (im == -1.0 && PyErr_Occurred()) raise_current();
            if (im != 0.0) continue;
            d = PyFloat_AsDouble(real.ptr());
        } else if (Py_TYPE(v)->tp_as_number && Py_TYPE(v)->tp_as_number->nb_float &&
                   !PyUnicode_Check(v) && !PyBytes_Check(v)) {
            d = PyFloat_AsDouble(v);
        } else {
            continue;
        }
        if (d == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            continue;
        }
        if (std::isnan(d)) continue;
        nb::object f = nb::steal(PyFloat_FromDouble(d));
        check(f.is_valid());
        if (py_equal(v, f.ptr())) keys.insert(NumKey::from_double(d));
        // An integral value beyond 2**53 (an int subclass, a Decimal, a Fraction) can equal an
        // integer cell that no double holds exactly: key it by its int value too.
        if (!PyComplex_Check(v) && !PyArray_IsScalar(v, ComplexFloating) && std::isfinite(d) &&
            std::fabs(d) >= 9007199254740992.0) {
            nb::object as_int = nb::steal(PyNumber_Long(v));
            if (!as_int.is_valid()) {
                clear_inapplicable_error();
                continue;
            }
            const CellInfo int_info = classify(as_int.ptr());
            if (int_info.kind == Kind::kNum && py_equal(v, as_int.ptr())) keys.insert(int_info.key);
        }
    }
    return keys;
}

ValueSet read_value_list(PyObject* list, const char* func, const char* arg) {
    ValueSet set;
    if (list == Py_None) return set;
    if (PyUnicode_Check(list) || PyBytes_Check(list) || PyByteArray_Check(list))
        raise(PyExc_TypeError, "%s: %s must be a list of values, got %s %s", func, arg,
              type_name(list), short_repr(list).c_str());
    nb::object it = nb::steal(PyObject_GetIter(list));
    if (!it.is_valid()) {
        PyErr_Clear();
        raise(PyExc_TypeError, "%s: %s must be a list of values, got %s", func, arg,
              type_name(list));
    }
    while (PyObject* item = PyIter_Next(it.ptr())) {
        nb::object hold = nb::steal(item);
        set.add_reference(item);
    }
    check(!PyErr_Occurred());
    return set;
}

}  // namespace py
}  // namespace tabrix
