#include "python/numpy_api.h"

#include "tableio/text_columns.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kernels/text_format.h"
#include "python/py_errors.h"
#include "tableio/str_cache.h"

namespace tabrix {
namespace tableio {
namespace {

namespace nb = nanobind;
using py::raise;
using py::raise_current;

// A buffer-protocol view held for the length of a call; None gives an empty view.
class View {
public:
    explicit View(nb::handle obj, const char* what) {
        if (obj.is_none()) return;
        if (PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_SIMPLE) < 0) {
            PyErr_Clear();
            raise(PyExc_TypeError, "%s must be a buffer, not %.200s", what,
                  Py_TYPE(obj.ptr())->tp_name);
        }
        held_ = true;
    }
    ~View() {
        if (held_) PyBuffer_Release(&view_);
    }
    View(const View&) = delete;
    View& operator=(const View&) = delete;
    const unsigned char* data() const {
        return held_ ? static_cast<const unsigned char*>(view_.buf) : nullptr;
    }
    size_t size() const { return held_ ? static_cast<size_t>(view_.len) : 0; }
    bool present() const { return held_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// A new 1-D object array of n cells, all empty.
nb::object object_array(npy_intp n) {
    nb::object out = py::checked(PyArray_SimpleNew(1, &n, NPY_OBJECT));
    auto** cells =
        static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.ptr())));
    for (npy_intp i = 0; i < n; ++i) cells[i] = nullptr;
    return out;
}

PyObject** cells_of(nb::handle array) {
    return static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.ptr())));
}

// A str of UTF-8 text: shared through the cache when short and ASCII.
PyObject* text_object(const char* s, size_t n, StrCache& cache) {
    bool ascii = true;
    for (size_t k = 0; k < n && ascii; ++k) ascii = static_cast<unsigned char>(s[k]) < 0x80;
    if (ascii && n <= 16) return cache.get(s, n);
    if (ascii) {
        PyObject* o = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
        if (o && n) std::memcpy(PyUnicode_DATA(o), s, n);
        return o;
    }
    return PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), "strict");
}

// Recent float64 values of one column and their text, direct-mapped by the value's bits: a value
// repeated down a column (a measurement of limited precision) is formatted once and shared.
class DoubleCache {
public:
    DoubleCache() : slots_(kSlots) {}
    ~DoubleCache() {
        for (Slot& s : slots_) Py_XDECREF(s.str);
    }
    DoubleCache(const DoubleCache&) = delete;
    DoubleCache& operator=(const DoubleCache&) = delete;

    // A new reference to the str of repr(v), or nullptr with a Python error set.
    PyObject* get(double v) {
        uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        Slot& slot = slots_[(bits * 0x9e3779b97f4a7c15ULL) >> (64 - kBits)];
        if (slot.str && slot.bits == bits) {
            Py_INCREF(slot.str);
            return slot.str;
        }
        text_.clear();
        text_format::append_double_repr(text_, v);
        PyObject* o = PyUnicode_New(static_cast<Py_ssize_t>(text_.size()), 127);
        if (!o) return nullptr;
        std::memcpy(PyUnicode_DATA(o), text_.data(), text_.size());
        Py_XDECREF(slot.str);
        Py_INCREF(o);
        slot.str = o;
        slot.bits = bits;
        return o;
    }

private:
    static constexpr int kBits = 12;
    static constexpr size_t kSlots = size_t(1) << kBits;
    struct Slot {
        uint64_t bits = 0;
        PyObject* str = nullptr;
    };
    std::vector<Slot> slots_;
    std::string text_;
};

void put(nb::handle out, npy_intp i, PyObject* cell) {
    if (!cell) raise_current();
    cells_of(out)[i] = cell;
}

// The validity of row i: a 1-D bool array (or None, every row valid).
class Valid {
public:
    Valid(nb::handle valid, npy_intp n) {
        if (valid.is_none()) return;
        if (!PyArray_Check(valid.ptr()) ||
            PyArray_TYPE(reinterpret_cast<PyArrayObject*>(valid.ptr())) != NPY_BOOL ||
            PyArray_NDIM(reinterpret_cast<PyArrayObject*>(valid.ptr())) != 1 ||
            PyArray_DIM(reinterpret_cast<PyArrayObject*>(valid.ptr()), 0) != n) {
            raise(PyExc_TypeError, "valid must be None or a 1-D bool array of the values' length");
        }
        auto* a = reinterpret_cast<PyArrayObject*>(valid.ptr());
        data_ = static_cast<const char*>(PyArray_DATA(a));
        stride_ = PyArray_STRIDE(a, 0);
    }
    bool operator()(npy_intp i) const { return !data_ || data_[i * stride_] != 0; }

private:
    const char* data_ = nullptr;
    npy_intp stride_ = 0;
};

PyArrayObject* one_dimensional(nb::handle values, const char* name) {
    if (!PyArray_Check(values.ptr()) ||
        PyArray_NDIM(reinterpret_cast<PyArrayObject*>(values.ptr())) != 1) {
        raise(PyExc_TypeError, "%s: values must be a 1-D NumPy array", name);
    }
    auto* a = reinterpret_cast<PyArrayObject*>(values.ptr());
    if (!PyArray_ISNOTSWAPPED(a) || !PyArray_ISALIGNED(a))
        raise(PyExc_TypeError, "%s: values must be aligned and in native byte order", name);
    return a;
}

template <class T>
T value_at(PyArrayObject* a, npy_intp i) {
    T v;
    std::memcpy(&v, static_cast<const char*>(PyArray_DATA(a)) + i * PyArray_STRIDE(a, 0), sizeof v);
    return v;
}

const char* const kStringsDoc = R"(Cells of an Arrow string column.

strings_text(offsets, data, validity, offset, length, large=False) -> 1-D object array of str

offsets, data and validity are the column's buffers (validity a bitmap, or None when every
value is present); offsets holds int32 values (int64 with large=True). The cells are the
`length` values from `offset` on, "" for a missing one. Offsets out of order or beyond the
data raise ValueError, text that is not UTF-8 UnicodeDecodeError.
)";

nb::object strings_text(nb::handle offsets_buf, nb::handle data_buf, nb::handle validity_buf,
                        int64_t offset, int64_t length, bool large) {
    if (offset < 0 || length < 0) raise(PyExc_ValueError, "offset and length must not be negative");
    View offsets(offsets_buf, "offsets"), data(data_buf, "data"),
        validity(validity_buf, "validity");
    const size_t width = large ? 8 : 4;
    const uint64_t first = static_cast<uint64_t>(offset), n = static_cast<uint64_t>(length);
    if (n && (offsets.size() / width < first + n + 1))
        raise(PyExc_ValueError, "strings_text: the offsets buffer is too short");
    if (validity.present() && validity.size() * 8 < first + n)
        raise(PyExc_ValueError, "strings_text: the validity bitmap is too short");
    auto offset_at = [&](uint64_t k) -> int64_t {
        if (large) {
            int64_t v;
            std::memcpy(&v, offsets.data() + k * 8, 8);
            return v;
        }
        int32_t v;
        std::memcpy(&v, offsets.data() + k * 4, 4);
        return v;
    };
    nb::object out = object_array(static_cast<npy_intp>(n));
    StrCache cache;
    for (uint64_t i = 0; i < n; ++i) {
        const uint64_t k = first + i;
        if (validity.present() && !((validity.data()[k >> 3] >> (k & 7)) & 1)) {
            put(out, static_cast<npy_intp>(i), cache.get("", 0));
            continue;
        }
        const int64_t begin = offset_at(k), end = offset_at(k + 1);
        if (begin < 0 || end < begin || static_cast<uint64_t>(end) > data.size())
            raise(PyExc_ValueError, "strings_text: offsets out of order or beyond the data");
        const char* s = reinterpret_cast<const char*>(data.data()) + begin;
        put(out, static_cast<npy_intp>(i), text_object(s, static_cast<size_t>(end - begin), cache));
    }
    return out;
}

const char* const kNumberDoc = R"(Cells of a column of numbers or booleans.

number_text(values, valid=None) -> 1-D object array of str

values is a 1-D NumPy array of booleans (True, False), integers (in decimal) or float64 (as
Python's repr() writes them); NaN and the rows where `valid` is False give "".
)";

nb::object number_text(nb::handle values, nb::handle valid_arg) {
    PyArrayObject* a = one_dimensional(values, "number_text");
    const npy_intp n = PyArray_DIM(a, 0);
    const Valid valid(valid_arg, n);
    const int type = PyArray_TYPE(a);
    nb::object out = object_array(n);
    StrCache cache;
    std::string text;
    DoubleCache doubles;
    auto write_double = [&](npy_intp i, double v) {
        put(out, i, std::isnan(v) ? cache.get("", 0) : doubles.get(v));
    };
    for (npy_intp i = 0; i < n; ++i) {
        if (!valid(i)) {
            put(out, i, cache.get("", 0));
            continue;
        }
        text.clear();
        switch (type) {
            case NPY_BOOL: text = value_at<npy_bool>(a, i) ? "True" : "False"; break;
            case NPY_BYTE: text_format::append_int(text, value_at<npy_byte>(a, i)); break;
            case NPY_SHORT: text_format::append_int(text, value_at<npy_short>(a, i)); break;
            case NPY_INT: text_format::append_int(text, value_at<npy_int>(a, i)); break;
            case NPY_LONG: text_format::append_int(text, value_at<npy_long>(a, i)); break;
            case NPY_LONGLONG: text_format::append_int(text, value_at<npy_longlong>(a, i)); break;
            case NPY_UBYTE: text_format::append_uint(text, value_at<npy_ubyte>(a, i)); break;
            case NPY_USHORT: text_format::append_uint(text, value_at<npy_ushort>(a, i)); break;
            case NPY_UINT: text_format::append_uint(text, value_at<npy_uint>(a, i)); break;
            case NPY_ULONG: text_format::append_uint(text, value_at<npy_ulong>(a, i)); break;
            case NPY_ULONGLONG:
                text_format::append_uint(text, value_at<npy_ulonglong>(a, i));
                break;
            case NPY_DOUBLE: write_double(i, value_at<double>(a, i)); continue;
            default:
                raise(PyExc_TypeError, "number_text: values must be booleans, integers or float64");
        }
        put(out, i, text_object(text.data(), text.size(), cache));
    }
    return out;
}

const char* const kTimeDoc = R"(Cells of a column of dates or times.

time_text(values, valid, ticks_per_second, dates) -> 1-D object array of str

values is a 1-D int64 array: days since 1970-01-01 when `dates` is true (written YYYY-MM-DD),
else ticks of 1 / ticks_per_second seconds since 1970-01-01 00:00:00 (written as the date alone
at midnight, else YYYY-MM-DD HH:MM:SS with a fraction of a second where there is one). The rows
where `valid` is False give "".
)";

nb::object time_text(nb::handle values, nb::handle valid_arg, int64_t ticks_per_second,
                     bool dates) {
    PyArrayObject* a = one_dimensional(values, "time_text");
    if (PyArray_TYPE(a) != NPY_INT64) raise(PyExc_TypeError, "time_text: values must be int64");
    if (ticks_per_second < 1) raise(PyExc_ValueError, "ticks_per_second must be at least 1");
    const npy_intp n = PyArray_DIM(a, 0);
    const Valid valid(valid_arg, n);
    nb::object out = object_array(n);
    StrCache cache;
    std::string text;
    for (npy_intp i = 0; i < n; ++i) {
        if (!valid(i)) {
            put(out, i, cache.get("", 0));
            continue;
        }
        text.clear();
        const int64_t v = value_at<int64_t>(a, i);
        if (dates) {
            text_format::append_date(text, v);
        } else {
            text_format::append_timestamp(text, v, ticks_per_second);
        }
        put(out, i, text_object(text.data(), text.size(), cache));
    }
    return out;
}

}  // namespace

void add_text_columns(nb::module_& m) {
    m.def("strings_text", &strings_text, nb::arg("offsets"), nb::arg("data").none(),
          nb::arg("validity").none(), nb::arg("offset"), nb::arg("length"),
          nb::arg("large") = false, kStringsDoc);
    m.def("number_text", &number_text, nb::arg("values"), nb::arg("valid").none() = nb::none(),
          kNumberDoc);
    m.def("time_text", &time_text, nb::arg("values"), nb::arg("valid").none(),
          nb::arg("ticks_per_second"), nb::arg("dates"), kTimeDoc);
}

}  // namespace tableio
}  // namespace tabrix
