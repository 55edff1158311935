// is_all_missing(x, bad_vals): whether every value of a column is a missing marker, NaN
// possibly among the markers.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <vector>

#include "exportable/families.h"
#include "python/array_walk.h"

namespace tabrix::exportable {
namespace {

// The markers of bad_vals that np.isnan says are not NaN, in order.
nb::object non_nan_markers(nb::handle isnan, nb::handle bad_vals) {
    nb::object iterator = checked(PyObject_GetIter(bad_vals.ptr()));
    nb::object markers = checked(PyList_New(0));
    while (PyObject* item = PyIter_Next(iterator.ptr())) {
        nb::object value = nb::steal(item);
        bool is_nan = PyFloat_CheckExact(item) ? std::isnan(PyFloat_AS_DOUBLE(item))
                                               : truthy(call(isnan, {value}));
        if (!is_nan && PyList_Append(markers.ptr(), item) < 0) raise_current();
    }
    if (PyErr_Occurred()) raise_current();
    return markers;
}

// Integers a double holds exactly: |v| <= 2**53. Tested on the integer itself, as its
// conversion rounds 2**53 + 1 down into the range.
constexpr long long exact_integer_limit = 1LL << 53;
template <typename I>
bool exact_as_double(I v) {
    if constexpr (std::is_signed_v<I>) {
        return v >= -exact_integer_limit && v <= exact_integer_limit;
    } else {
        return v <= static_cast<unsigned long long>(exact_integer_limit);
    }
}

// Markers compared as doubles when all of them are plain numbers that a double holds exactly;
// that is what NumPy's membership test does for numeric data.
bool markers_as_doubles(nb::handle markers, std::vector<double>& out) {
    const Py_ssize_t n = PyList_GET_SIZE(markers.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* m = PyList_GET_ITEM(markers.ptr(), i);
        if (PyFloat_CheckExact(m)) {
            out.push_back(PyFloat_AS_DOUBLE(m));
        } else if (PyLong_CheckExact(m) || PyBool_Check(m)) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(m, &overflow);
            if (overflow || (v == -1 && PyErr_Occurred())) {
                PyErr_Clear();
                return false;
            }
            if (!exact_as_double(v)) return false;
            out.push_back(static_cast<double>(v));
        } else {
            return false;
        }
    }
    return true;
}

bool is_marker(double v, const std::vector<double>& markers) {
    for (double m : markers) {
        if (v == m) return true;
    }
    return false;
}

// One item of the NaN path, as Python evaluates `np.isnan(float(v)) or np.isin(v, std_bad)`.
bool item_missing_generic(nb::handle v, nb::handle isin, nb::handle markers) {
    nb::object as_float = checked(PyNumber_Float(v.ptr()));
    if (std::isnan(PyFloat_AS_DOUBLE(as_float.ptr()))) return true;
    return truthy(call(isin, {v, markers}));
}

// Object cells: plain floats and small ints are decided here, everything else as Python would.
bool item_missing_object(PyObject* v, const std::vector<double>* fast_markers, nb::handle isin,
                         nb::handle markers) {
    if (fast_markers) {
        if (PyFloat_CheckExact(v)) {
            const double d = PyFloat_AS_DOUBLE(v);
            return std::isnan(d) || is_marker(d, *fast_markers);
        }
        if (PyLong_CheckExact(v)) {
            int overflow = 0;
            long long i = PyLong_AsLongLongAndOverflow(v, &overflow);
            if (!overflow && !(i == -1 && PyErr_Occurred()) && exact_as_double(i)) {
                return is_marker(static_cast<double>(i), *fast_markers);
            }
            PyErr_Clear();
        }
    }
    return item_missing_generic(v, isin, markers);
}

// One value of a numeric array as stored (bool as 0/1). Columns may be views of any alignment
// and either byte order (a slice of a packed record array, data read from a big-endian file), so
// the bytes are copied out rather than dereferenced in place, and reversed when the array's
// byte order is not the machine's. For aligned native data the copy compiles to a plain load.
template <typename T, bool Swapped>
inline typename py::Cell<T>::Value stored_at(const char* p) {
    using Value = typename py::Cell<T>::Value;
    if constexpr (!Swapped || sizeof(Value) == 1) {
        return py::Cell<T>::read(p);
    } else {
        char bytes[sizeof(Value)];
        std::memcpy(bytes, p, sizeof(Value));
        std::reverse(bytes, bytes + sizeof(Value));
        return py::load<Value>(bytes);
    }
}

template <typename T, bool Swapped>
inline double value_at(const char* p) {
    return static_cast<double>(stored_at<T, Swapped>(p));
}

template <typename T, bool Swapped>
bool all_missing_numeric(const char* data, npy_intp n, npy_intp stride,
                         const std::vector<double>& markers) {
    bool all = true;
    for (npy_intp i = 0; i < n && all; ++i) {
        const double d = value_at<T, Swapped>(data + i * stride);
        all = std::isnan(d) || is_marker(d, markers);
    }
    return all;
}

// Integers beyond 2**53 would compare inexactly as doubles: those arrays take the general path.
template <typename T, bool Swapped>
bool integers_exact(const char* data, npy_intp n, npy_intp stride) {
    for (npy_intp i = 0; i < n; ++i) {
        if (!exact_as_double(stored_at<T, Swapped>(data + i * stride))) return false;
    }
    return true;
}

// Sets `handled` to false when the values need the general path.
template <typename T, bool Swapped>
bool all_missing_typed(const char* data, npy_intp n, npy_intp stride,
                       const std::vector<double>& markers, bool& handled) {
    if constexpr (std::is_integral_v<T> && sizeof(T) == 8) {
        if (!integers_exact<T, Swapped>(data, n, stride)) {
            handled = false;
            return false;
        }
    }
    return all_missing_numeric<T, Swapped>(data, n, stride, markers);
}

// The NaN path over a one-dimensional array of a plain numeric dtype. Returns false in
// `handled` when the dtype needs the general path.
bool all_missing_array(PyArrayObject* a, const std::vector<double>& markers, bool& handled) {
    const char* data = PyArray_BYTES(a);
    const npy_intp n = PyArray_DIM(a, 0);
    const npy_intp stride = PyArray_STRIDE(a, 0);
    const bool swapped = PyArray_ISBYTESWAPPED(a);
    bool result = true;
    handled = true;
    Py_BEGIN_ALLOW_THREADS
    const bool numeric = py::dispatch_numeric(PyArray_TYPE(a), [&](auto cell) {
        using T = decltype(cell);
        result = swapped ? all_missing_typed<T, true>(data, n, stride, markers, handled)
                         : all_missing_typed<T, false>(data, n, stride, markers, handled);
    });
    if (!numeric) handled = false;
    Py_END_ALLOW_THREADS
    return result;
}

// Wraps the PyArrayScalar_RETURN_* macros, which return a PyObject*.
nb::object to_numpy_bool(bool value) {
    PyObject* r = [value]() -> PyObject* {
        if (value) PyArrayScalar_RETURN_TRUE;
        PyArrayScalar_RETURN_FALSE;
    }();
    return nb::steal(r);
}

}  // namespace

const std::vector<Arg> is_all_missing_params = {arg("x"), arg("bad_vals")};

nb::object is_all_missing(const Call& c) {
    const Args args(is_all_missing_params, c, false);
    nb::handle x = args.get("x");
    nb::handle given_bad_vals = args.get("bad_vals");
    nb::object bad_vals = nb::borrow(given_bad_vals);
    nb::object np = c.g["np"];
    nb::object isnan = attr(np, "isnan");

    // A single marker rather than a list of them is taken as a list of one.
    nb::object markers;
    try {
        markers = non_nan_markers(isnan, bad_vals);
    } catch (nb::python_error&) {
        bad_vals = checked(PyList_New(1));
        PyList_SET_ITEM(bad_vals.ptr(), 0, nb::borrow(given_bad_vals).release().ptr());
        markers = non_nan_markers(isnan, bad_vals);
    }
    const Py_ssize_t n_bad = PyObject_Size(bad_vals.ptr());
    if (n_bad < 0) raise_current();
    const Py_ssize_t n_markers = PyList_GET_SIZE(markers.ptr());
    // At most one NaN among the markers.
    if (assertions_enabled()) assert_true(n_bad <= n_markers + 1);
    const bool test_nan = n_markers < n_bad;

    nb::object isin = attr(np, "isin");
    if (!test_nan) return call(attr(call(isin, {x, markers}), "all"), {});

    // NaN is a marker: NaN never equals itself in a membership test, so each item is tested for
    // NaN first and for the other markers next.
    std::vector<double> fast_markers;
    const bool markers_fast = markers_as_doubles(markers, fast_markers);
    if (PyArray_Check(x.ptr()) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(x.ptr())) == 1) {
        auto* a = reinterpret_cast<PyArrayObject*>(x.ptr());
        if (markers_fast && PyArray_TYPE(a) != NPY_OBJECT) {
            bool handled = false;
            bool result = all_missing_array(a, fast_markers, handled);
            if (handled) return to_numpy_bool(result);
        }
        if (PyArray_TYPE(a) == NPY_OBJECT) {
            bool all = true;
            // Every item is evaluated, as the column is converted in full: a later item that
            // cannot be read as a number still raises.
            // float() and np.isin can run Python code that rebinds the cells or even resizes the
            // array in place: each cell is held while it is used, and the array's length and
            // data are read again for the next one. A cell is copied out, as an object field of
            // a packed record array is unaligned.
            for (npy_intp i = 0; i < PyArray_DIM(a, 0); ++i) {
                PyObject* cell;
                std::memcpy(&cell, PyArray_BYTES(a) + i * PyArray_STRIDE(a, 0), sizeof cell);
                nb::object v = nb::borrow(cell ? cell : Py_None);
                if (!item_missing_object(v.ptr(), markers_fast ? &fast_markers : nullptr, isin,
                                         markers))
                    all = false;
            }
            return to_numpy_bool(all);
        }
    }
    nb::object iterator = checked(PyObject_GetIter(x.ptr()));
    bool all = true;
    while (PyObject* item = PyIter_Next(iterator.ptr())) {
        nb::object v = nb::steal(item);
        if (!item_missing_object(item, markers_fast ? &fast_markers : nullptr, isin, markers))
            all = false;
    }
    if (PyErr_Occurred()) raise_current();
    return to_numpy_bool(all);
}

}  // namespace tabrix::exportable
