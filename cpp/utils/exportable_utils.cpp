// tabrix_libs.utils.exportable_utils: array kernels for the preprocessing transformers.
#define TABRIX_NUMPY_OWNER
#include "python/numpy_api.h"

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cmath>
#include <cstdarg>
#include <cfloat>
#include <string>
#include <vector>

#include "kernels/hash64.h"

namespace nb = nanobind;

namespace {

[[noreturn]] void throw_error(PyObject* type, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    PyErr_FormatV(type, fmt, ap);
    va_end(ap);
    throw nb::python_error();
}

void check_py(bool ok) {
    if (!ok) throw nb::python_error();
}

PyArrayObject* as_array(nb::handle x, const char* func, const char* arg) {
    if (!PyArray_Check(x.ptr()))
        throw_error(PyExc_TypeError, "%s: %s must be a numpy.ndarray, got %s", func, arg,
                    Py_TYPE(x.ptr())->tp_name);
    return reinterpret_cast<PyArrayObject*>(x.ptr());
}

bool is_nan_object(PyObject* o) {
    if (PyFloat_Check(o)) return std::isnan(PyFloat_AS_DOUBLE(o));
    if (PyArray_IsScalar(o, Floating)) {
        double d = PyFloat_AsDouble(o);
        if (d == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        return std::isnan(d);
    }
    return false;
}

struct Markers {
    std::vector<nb::object> values;
    bool has_nan = false;
    bool empty() const { return values.empty() && !has_nan; }
};

Markers make_markers(nb::handle list, const char* func, const char* arg) {
    Markers m;
    if (list.is_none()) return m;
    if (PyUnicode_Check(list.ptr()) || PyBytes_Check(list.ptr()))
        throw_error(PyExc_TypeError, "%s: %s must be a list of values, got %s", func, arg,
                    Py_TYPE(list.ptr())->tp_name);
    nb::object it = nb::steal(PyObject_GetIter(list.ptr()));
    if (!it.is_valid()) {
        PyErr_Clear();
        throw_error(PyExc_TypeError, "%s: %s must be a list of values, got %s", func, arg,
                    Py_TYPE(list.ptr())->tp_name);
    }
    while (PyObject* item = PyIter_Next(it.ptr())) {
        nb::object v = nb::steal(item);
        if (is_nan_object(item))
            m.has_nan = true;
        else
            m.values.push_back(std::move(v));
    }
    check_py(!PyErr_Occurred());
    return m;
}

// Python equality, except that a NaN cell matches only a NaN marker.
bool matches(PyObject* cell, const Markers& m) {
    if (is_nan_object(cell)) return m.has_nan;
    for (const nb::object& v : m.values) {
        if (v.ptr() == cell) return true;
        int r = PyObject_RichCompareBool(cell, v.ptr(), Py_EQ);
        if (r > 0) return true;
        if (r < 0) {
            if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError))
                PyErr_Clear();
            else
                throw nb::python_error();
        }
    }
    return false;
}

nb::object to_object_array(PyArrayObject* a) {
    PyObject* r = PyArray_FROM_OTF(reinterpret_cast<PyObject*>(a), NPY_OBJECT,
                                   NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ENSURECOPY);
    check_py(r != nullptr);
    return nb::steal(r);
}

// Whether `value` survives a round trip through one cell of dtype `descr`.
bool fits_dtype(PyObject* value, PyArray_Descr* descr) {
    if (descr->type_num == NPY_OBJECT) return true;
    Py_INCREF(descr);
    nb::object cell = nb::steal(PyArray_Zeros(0, nullptr, descr, 0));
    check_py(cell.is_valid());
    PyArrayObject* c = reinterpret_cast<PyArrayObject*>(cell.ptr());
    if (PyArray_SETITEM(c, static_cast<char*>(PyArray_DATA(c)), value) < 0) {
        PyErr_Clear();
        return false;
    }
    nb::object back = nb::steal(PyArray_GETITEM(c, static_cast<char*>(PyArray_DATA(c))));
    check_py(back.is_valid());
    if (is_nan_object(value)) return is_nan_object(back.ptr());
    int r = PyObject_RichCompareBool(back.ptr(), value, Py_EQ);
    if (r < 0) {
        PyErr_Clear();
        return false;
    }
    return r == 1 && !is_nan_object(back.ptr());
}

nb::object cast_array(PyObject* a, int type_num) {
    PyObject* r = PyArray_CastToType(reinterpret_cast<PyArrayObject*>(a),
                                     PyArray_DescrFromType(type_num), 0);
    check_py(r != nullptr);
    return nb::steal(r);
}

// ---------------------------------------------------------------------------------------

nb::object numpy_replace_values(nb::handle X, nb::handle filling_value,
                                nb::handle reference_values_list, bool invert_flag) {
    const char* fn = "numpy_replace_values";
    PyArrayObject* a = as_array(X, fn, "X");
    std::vector<Markers> per_column;
    Markers markers;
    npy_intp ncols = 1;
    if (invert_flag) {
        if (PyArray_NDIM(a) != 2)
            throw_error(PyExc_ValueError,
                        "%s: invert_flag=True needs a 2-D array, got %d dimension(s)", fn,
                        PyArray_NDIM(a));
        ncols = PyArray_DIM(a, 1);
        if (reference_values_list.is_none() || PyUnicode_Check(reference_values_list.ptr()))
            throw_error(PyExc_TypeError,
                        "%s: reference_values_list must be a list of lists, got %s", fn,
                        Py_TYPE(reference_values_list.ptr())->tp_name);
        nb::object seq = nb::steal(PySequence_Fast(reference_values_list.ptr(),
                                                   "numpy_replace_values: reference_values_list must be a list of lists"));
        check_py(seq.is_valid());
        Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
        if (n != ncols)
            throw_error(PyExc_ValueError,
                        "%s: reference_values_list holds %zd list(s) of known values but X has %zd column(s)",
                        fn, n, static_cast<Py_ssize_t>(ncols));
        for (Py_ssize_t j = 0; j < n; ++j)
            per_column.push_back(make_markers(PySequence_Fast_GET_ITEM(seq.ptr(), j), fn,
                                              "each entry of reference_values_list"));
    } else {
        markers = make_markers(reference_values_list, fn, "reference_values_list");
    }
    nb::object result = to_object_array(a);
    PyArrayObject* r = reinterpret_cast<PyArrayObject*>(result.ptr());
    npy_intp n = PyArray_SIZE(r);
    PyObject** cells = static_cast<PyObject**>(PyArray_DATA(r));
    npy_intp replaced = 0;
    std::vector<char> is_replaced(static_cast<size_t>(n), 0);
    for (npy_intp i = 0; i < n; ++i) {
        bool hit = invert_flag ? !matches(cells[i], per_column[static_cast<size_t>(i % ncols)])
                               : matches(cells[i], markers);
        if (hit) {
            Py_INCREF(filling_value.ptr());
            Py_SETREF(cells[i], filling_value.ptr());
            is_replaced[static_cast<size_t>(i)] = 1;
            ++replaced;
        }
    }
    PyArray_Descr* descr = PyArray_DESCR(a);
    if (descr->type_num == NPY_OBJECT) return result;
    if (replaced == 0 || fits_dtype(filling_value.ptr(), descr)) {
        Py_INCREF(descr);
        PyObject* out = PyArray_FromAny(result.ptr(), descr, 0, 0, NPY_ARRAY_DEFAULT | NPY_ARRAY_FORCECAST, nullptr);
        check_py(out != nullptr);
        return nb::steal(out);
    }
    int kind = descr->kind;
    bool float_ok = (kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f') &&
                    !(kind == 'f' && PyArray_ITEMSIZE(a) > 8) &&
                    fits_dtype(filling_value.ptr(), PyArray_DescrFromType(NPY_DOUBLE));
    if (float_ok && (kind == 'i' || kind == 'u') && PyArray_ITEMSIZE(a) == 8) {
        for (npy_intp i = 0; i < n && float_ok; ++i) {
            if (is_replaced[static_cast<size_t>(i)]) continue;
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(cells[i], &overflow);
            if (overflow) {
                float_ok = false;
            } else {
                check_py(!(v == -1 && PyErr_Occurred()));
                float_ok = static_cast<long long>(static_cast<double>(v)) == v &&
                           static_cast<double>(v) != 9223372036854775808.0;
            }
        }
    }
    if (float_ok) return cast_array(result.ptr(), NPY_DOUBLE);
    return result;
}

// Index list from any sequence of integers, checked against `size`; negative indices count
// from the end.
std::vector<npy_intp> index_list(nb::handle indices, npy_intp size, const char* fn,
                                 const char* arg, const char* what) {
    if (indices.is_none() || PyUnicode_Check(indices.ptr()) || PyBytes_Check(indices.ptr()))
        throw_error(PyExc_TypeError, "%s: %s must be a list of integers, got %s", fn, arg,
                    Py_TYPE(indices.ptr())->tp_name);
    nb::object it = nb::steal(PyObject_GetIter(indices.ptr()));
    if (!it.is_valid()) {
        PyErr_Clear();
        throw_error(PyExc_TypeError, "%s: %s must be a list of integers, got %s", fn, arg,
                    Py_TYPE(indices.ptr())->tp_name);
    }
    std::vector<npy_intp> out;
    while (PyObject* item = PyIter_Next(it.ptr())) {
        nb::object o = nb::steal(item);
        if (PyBool_Check(item) || PyArray_IsScalar(item, Bool) || !PyIndex_Check(item))
            throw_error(PyExc_TypeError, "%s: %s must hold integers, got %R", fn, arg, item);
        Py_ssize_t v = PyNumber_AsSsize_t(item, nullptr);
        if (v == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            throw_error(PyExc_IndexError, "%s: index %R is out of range for %zd %s", fn, item,
                        static_cast<Py_ssize_t>(size), what);
        }
        if (v < -size || v >= size)
            throw_error(PyExc_IndexError, "%s: index %zd is out of range for %zd %s", fn, v,
                        static_cast<Py_ssize_t>(size), what);
        out.push_back(v < 0 ? v + size : v);
    }
    check_py(!PyErr_Occurred());
    return out;
}

nb::object take(PyArrayObject* a, const std::vector<npy_intp>& idx, int axis) {
    npy_intp dims[1] = {static_cast<npy_intp>(idx.size())};
    nb::object ind = nb::steal(PyArray_SimpleNew(1, dims, NPY_INTP));
    check_py(ind.is_valid());
    if (!idx.empty())
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(ind.ptr())), idx.data(),
                    idx.size() * sizeof(npy_intp));
    PyObject* r = PyArray_TakeFrom(a, ind.ptr(), axis, nullptr, NPY_RAISE);
    check_py(r != nullptr);
    return nb::steal(r);
}

nb::object numpy_select_columns(nb::handle X, nb::handle columns_indices_list) {
    const char* fn = "numpy_select_columns";
    if (PyList_Check(X.ptr()) || PyTuple_Check(X.ptr())) {
        Py_ssize_t size = PySequence_Size(X.ptr());
        std::vector<npy_intp> idx = index_list(columns_indices_list, size, fn,
                                               "columns_indices_list", "element(s)");
        if (idx.empty()) return nb::make_tuple(X, false);
        nb::list out;
        for (npy_intp i : idx) out.append(nb::borrow(PySequence_Fast_GET_ITEM(X.ptr(), i)));
        return nb::make_tuple(out, true);
    }
    if (!PyArray_Check(X.ptr()))
        throw_error(PyExc_TypeError, "%s: X must be a numpy.ndarray or a list, got %s", fn,
                    Py_TYPE(X.ptr())->tp_name);
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(X.ptr());
    if (PyArray_NDIM(a) != 2)
        throw_error(PyExc_ValueError, "%s: X must be a 2-D array, got %d dimension(s)", fn,
                    PyArray_NDIM(a));
    std::vector<npy_intp> idx =
        index_list(columns_indices_list, PyArray_DIM(a, 1), fn, "columns_indices_list", "column(s)");
    if (idx.empty()) return nb::make_tuple(X, false);
    return nb::make_tuple(take(a, idx, 1), true);
}

nb::object numpy_permute_array(nb::handle X, nb::handle permutation_indices, nb::handle axis) {
    const char* fn = "numpy_permute_array";
    PyArrayObject* a = as_array(X, fn, "X");
    long ax = -1;
    if (PyLong_CheckExact(axis.ptr()) || (PyIndex_Check(axis.ptr()) && !PyBool_Check(axis.ptr()) &&
                                          !PyArray_IsScalar(axis.ptr(), Bool))) {
        ax = PyLong_AsLong(axis.ptr());
        if (ax == -1 && PyErr_Occurred()) PyErr_Clear();
    }
    if (ax != 0 && ax != 1)
        throw_error(PyExc_ValueError,
                    "%s: axis must be 0 (rearrange columns) or 1 (rearrange rows), got %R", fn,
                    axis.ptr());
    if (PyArray_NDIM(a) != 2)
        throw_error(PyExc_ValueError, "%s: X must be a 2-D array, got %d dimension(s)", fn,
                    PyArray_NDIM(a));
    int take_axis = ax == 0 ? 1 : 0;
    std::vector<npy_intp> idx = index_list(permutation_indices, PyArray_DIM(a, take_axis), fn,
                                           "permutation_indices",
                                           take_axis == 1 ? "column(s)" : "row(s)");
    if (idx.empty()) return nb::borrow(X);
    return take(a, idx, take_axis);
}

nb::object numpy_get_categories(nb::handle X, nb::handle rows,
                                nb::handle missing_values_reference_list,
                                nb::handle categories_list2) {
    const char* fn = "numpy_get_categories";
    PyArrayObject* a = as_array(X, fn, "X");
    if (PyArray_NDIM(a) != 2)
        throw_error(PyExc_ValueError, "%s: X must be a 2-D array, got %d dimension(s)", fn,
                    PyArray_NDIM(a));
    if (!categories_list2.is_none() && !PyList_Check(categories_list2.ptr()))
        throw_error(PyExc_TypeError, "%s: categories_list2 must be a list or None, got %s", fn,
                    Py_TYPE(categories_list2.ptr())->tp_name);
    Markers markers = make_markers(missing_values_reference_list, fn,
                                   "missing_values_reference_list");
    std::vector<npy_intp> row_idx =
        index_list(rows, PyArray_DIM(a, 0), fn, "rows", "row(s)");
    npy_intp ncols = PyArray_DIM(a, 1);
    nb::list result = categories_list2.is_none() ? nb::list()
                                                  : nb::borrow<nb::list>(categories_list2);
    std::vector<nb::list> cols;
    for (npy_intp j = 0; j < ncols; ++j) {
        nb::list cats;
        nb::dict seen;
        bool nan_seen = false;
        for (npy_intp r : row_idx) {
            char* p = static_cast<char*>(PyArray_GETPTR2(a, r, j));
            nb::object cell = nb::steal(PyArray_GETITEM(a, p));
            check_py(cell.is_valid());
            if (matches(cell.ptr(), markers)) continue;
            if (is_nan_object(cell.ptr())) {
                if (!nan_seen) cats.append(cell);
                nan_seen = true;
                continue;
            }
            int c = PyDict_Contains(seen.ptr(), cell.ptr());
            if (c < 0) {
                if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
                PyErr_Clear();
                // Unhashable value: compare with what was found so far.
                bool found = false;
                for (nb::handle v : cats) {
                    int e = PyObject_RichCompareBool(cell.ptr(), v.ptr(), Py_EQ);
                    if (e < 0) PyErr_Clear();
                    if (e > 0) {
                        found = true;
                        break;
                    }
                }
                if (!found) cats.append(cell);
                continue;
            }
            if (c == 0) {
                check_py(PyDict_SetItem(seen.ptr(), cell.ptr(), Py_None) == 0);
                cats.append(cell);
            }
        }
        cols.push_back(cats);
    }
    for (auto& c : cols) result.append(c);
    return result;
}

nb::object compress_str_column(nb::handle Xcol, nb::handle misslist, nb::handle compress_type) {
    const char* fn = "compress_str_column";
    PyArrayObject* a = as_array(Xcol, fn, "Xcol");
    bool hash_mode = false;
    if (PyUnicode_Check(compress_type.ptr()) &&
        PyUnicode_CompareWithASCIIString(compress_type.ptr(), "string") == 0)
        hash_mode = false;
    else if (PyUnicode_Check(compress_type.ptr()) &&
             PyUnicode_CompareWithASCIIString(compress_type.ptr(), "hash") == 0)
        hash_mode = true;
    else
        throw_error(PyExc_ValueError,
                    "%s: compress_type must be one of 'string', 'hash'; got %R", fn,
                    compress_type.ptr());
    if (PyArray_NDIM(a) != 1)
        throw_error(PyExc_ValueError, "%s: Xcol must be a 1-D array, got %d dimension(s)", fn,
                    PyArray_NDIM(a));
    Markers markers = make_markers(misslist, fn, "misslist");
    nb::object result = to_object_array(a);
    PyArrayObject* r = reinterpret_cast<PyArrayObject*>(result.ptr());
    npy_intp n = PyArray_SIZE(r);
    PyObject** cells = static_cast<PyObject**>(PyArray_DATA(r));
    std::string buf;
    for (npy_intp i = 0; i < n; ++i) {
        PyObject* c = cells[i];
        if (!PyUnicode_Check(c)) continue;
        if (matches(c, markers)) continue;
        nb::object folded = nb::steal(PyObject_CallMethod(c, "casefold", nullptr));
        check_py(folded.is_valid());
        Py_ssize_t len = PyUnicode_GET_LENGTH(folded.ptr());
        int kind = PyUnicode_KIND(folded.ptr());
        void* data = PyUnicode_DATA(folded.ptr());
        std::vector<Py_UCS4> kept;
        for (Py_ssize_t k = 0; k < len; ++k) {
            Py_UCS4 ch = PyUnicode_READ(kind, data, k);
            if (Py_UNICODE_ISALNUM(ch)) kept.push_back(ch);
        }
        nb::object s = nb::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, kept.data(),
                                                           static_cast<Py_ssize_t>(kept.size())));
        check_py(s.is_valid());
        PyObject* out;
        if (hash_mode) {
            Py_ssize_t blen = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(s.ptr(), &blen);
            check_py(utf8 != nullptr);
            out = PyLong_FromUnsignedLongLong(tabrix::fnv1a64(utf8, static_cast<size_t>(blen)));
            check_py(out != nullptr);
        } else {
            out = s.release().ptr();
        }
        Py_SETREF(cells[i], out);
    }
    return result;
}

bool is_number(PyObject* o) {
    return PyLong_Check(o) || PyFloat_Check(o) || PyArray_IsScalar(o, Integer) ||
           PyArray_IsScalar(o, Floating) || PyArray_IsScalar(o, Bool);
}

nb::object numpy_floatstr2float(nb::handle Xcol, nb::handle missing_values_reference_list) {
    const char* fn = "numpy_floatstr2float";
    PyArrayObject* a = as_array(Xcol, fn, "Xcol");
    if (PyArray_NDIM(a) != 1)
        throw_error(PyExc_ValueError, "%s: Xcol must be a 1-D array, got %d dimension(s)", fn,
                    PyArray_NDIM(a));
    Markers markers = make_markers(missing_values_reference_list, fn,
                                   "missing_values_reference_list");
    nb::object objs = to_object_array(a);
    npy_intp n = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(objs.ptr()));
    PyObject** cells = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(objs.ptr())));
    npy_intp dims[1] = {n};
    nb::object result = nb::steal(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
    check_py(result.is_valid());
    double* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.ptr())));
    for (npy_intp i = 0; i < n; ++i) {
        PyObject* c = cells[i];
        double v = NAN;
        if (matches(c, markers)) {
            v = NAN;
        } else if (PyUnicode_Check(c)) {
            PyObject* f = PyFloat_FromString(c);
            if (f) {
                v = PyFloat_AS_DOUBLE(f);
                Py_DECREF(f);
            } else if (PyErr_ExceptionMatches(PyExc_ValueError)) {
                PyErr_Clear();
            } else {
                throw nb::python_error();
            }
        } else if (is_number(c)) {
            v = PyFloat_AsDouble(c);
            if (v == -1.0 && PyErr_Occurred()) {
                if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw nb::python_error();
                PyErr_Clear();
                int sign = PyObject_RichCompareBool(c, Py_False, Py_LT);
                check_py(sign >= 0);
                v = sign ? -INFINITY : INFINITY;
            }
        }
        out[i] = v;
    }
    return result;
}

int bool_string(PyObject* s) {
    nb::object stripped = nb::steal(PyObject_CallMethod(s, "strip", nullptr));
    check_py(stripped.is_valid());
    Py_ssize_t n = PyUnicode_GET_LENGTH(stripped.ptr());
    if ((n != 4 && n != 5) || !PyUnicode_IS_ASCII(stripped.ptr())) return -1;
    const char* d = static_cast<const char*>(PyUnicode_DATA(stripped.ptr()));
    char low[6] = {0};
    for (Py_ssize_t i = 0; i < n; ++i) low[i] = static_cast<char>(d[i] | (d[i] >= 'A' && d[i] <= 'Z' ? 0x20 : 0));
    if (std::string(low) == "true") return 1;
    if (std::string(low) == "false") return 0;
    return -1;
}

nb::object numpy_boolean2float(nb::handle X) {
    const char* fn = "numpy_boolean2float";
    PyArrayObject* a = as_array(X, fn, "X");
    int kind = PyArray_DESCR(a)->kind;
    if (kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f')
        return cast_array(X.ptr(), NPY_DOUBLE);
    if (kind != 'O' && kind != 'U' && kind != 'S')
        throw_error(PyExc_TypeError, "%s: unsupported dtype %R", fn,
                    reinterpret_cast<PyObject*>(PyArray_DESCR(a)));
    nb::object result = to_object_array(a);
    PyArrayObject* r = reinterpret_cast<PyArrayObject*>(result.ptr());
    npy_intp n = PyArray_SIZE(r);
    PyObject** cells = static_cast<PyObject**>(PyArray_DATA(r));
    for (npy_intp i = 0; i < n; ++i) {
        PyObject* c = cells[i];
        int b = -1;
        if (PyBool_Check(c) || PyArray_IsScalar(c, Bool))
            b = PyObject_IsTrue(c);
        else if (PyUnicode_Check(c))
            b = bool_string(c);
        if (b >= 0) {
            PyObject* f = PyFloat_FromDouble(b ? 1.0 : 0.0);
            check_py(f != nullptr);
            Py_SETREF(cells[i], f);
        }
    }
    return result;
}

nb::object convert_float32(nb::handle X) {
    const char* fn = "convert_float32";
    PyArrayObject* a = as_array(X, fn, "X");
    nb::object objs = to_object_array(a);
    PyArrayObject* o = reinterpret_cast<PyArrayObject*>(objs.ptr());
    npy_intp n = PyArray_SIZE(o);
    PyObject** cells = static_cast<PyObject**>(PyArray_DATA(o));
    nb::object result = nb::steal(PyArray_SimpleNew(PyArray_NDIM(a), PyArray_DIMS(a), NPY_FLOAT));
    check_py(result.is_valid());
    float* out = static_cast<float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.ptr())));
    npy_intp ncols = PyArray_NDIM(a) >= 2 ? PyArray_DIM(a, PyArray_NDIM(a) - 1) : 1;
    for (npy_intp i = 0; i < n; ++i) {
        PyObject* c = cells[i];
        if (!is_number(c))
            throw_error(PyExc_ValueError, "%s: row %zd, column %zd holds %R, which is not a number",
                        fn, static_cast<Py_ssize_t>(i / ncols), static_cast<Py_ssize_t>(i % ncols), c);
        double d = PyFloat_AsDouble(c);
        if (d == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            throw_error(PyExc_ValueError, "%s: row %zd, column %zd holds %R, beyond the float32 range",
                        fn, static_cast<Py_ssize_t>(i / ncols), static_cast<Py_ssize_t>(i % ncols), c);
        }
        float f = static_cast<float>(d);
        if (std::isinf(f) && std::isfinite(d))
            throw_error(PyExc_ValueError, "%s: row %zd, column %zd holds %R, beyond the float32 range",
                        fn, static_cast<Py_ssize_t>(i / ncols), static_cast<Py_ssize_t>(i % ncols), c);
        out[i] = f;
    }
    return result;
}

std::string numpy_whatis(nb::handle X) {
    std::string s;
    PyObject* o = X.ptr();
    s += "type: ";
    s += Py_TYPE(o)->tp_name;
    if (PyArray_Check(o)) {
        PyArrayObject* a = reinterpret_cast<PyArrayObject*>(o);
        s += ", shape: (";
        for (int d = 0; d < PyArray_NDIM(a); ++d) {
            if (d) s += ", ";
            s += std::to_string(PyArray_DIM(a, d));
        }
        if (PyArray_NDIM(a) == 1) s += ",";
        s += "), dtype: ";
        PyObject* dstr = PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(a)));
        if (dstr) {
            const char* u = PyUnicode_AsUTF8(dstr);
            if (u) s += u;
            Py_DECREF(dstr);
        }
        PyErr_Clear();
        if (PyArray_DESCR(a)->type_num == NPY_OBJECT && PyArray_NDIM(a) >= 1 && PyArray_NDIM(a) <= 2) {
            npy_intp nrows = PyArray_DIM(a, 0);
            npy_intp ncols = PyArray_NDIM(a) == 2 ? PyArray_DIM(a, 1) : 1;
            s += ", column types: [";
            for (npy_intp j = 0; j < ncols; ++j) {
                std::vector<std::string> names;
                for (npy_intp i = 0; i < nrows; ++i) {
                    char* p = PyArray_NDIM(a) == 2 ? static_cast<char*>(PyArray_GETPTR2(a, i, j))
                                                   : static_cast<char*>(PyArray_GETPTR1(a, i));
                    PyObject* cell = *reinterpret_cast<PyObject**>(p);
                    std::string name = cell ? Py_TYPE(cell)->tp_name : "NULL";
                    bool found = false;
                    for (auto& n : names) found = found || n == name;
                    if (!found) names.push_back(name);
                }
                s += j ? ", {" : "{";
                for (size_t k = 0; k < names.size(); ++k) s += (k ? ", " : "") + names[k];
                s += "}";
            }
            s += "]";
        }
    }
    return s;
}

}  // namespace

NB_MODULE(exportable_utils, m) {
    if (!tabrix::import_numpy_api()) throw nb::python_error();
    m.doc() = "Array kernels for the preprocessing transformers.";

    nb::list markers;
    for (const char* s : {"", "?", "NA", "N/A", "n/a", "NaN", "nan", "NULL", "null", "None"})
        markers.append(nb::str(s));
    markers.append(nb::none());
    markers.append(nb::float_(NAN));
    m.attr("global_missing_values_reference_list") = markers;

    m.def("setValueOrDefault",
          [](nb::handle value, nb::handle default_) {
              return nb::borrow(value.is_none() ? default_ : value);
          },
          nb::arg("value").none(), nb::arg("default").none());
    m.def("numpy_replace_values", &numpy_replace_values, nb::arg("X").none(),
          nb::arg("filling_value").none(), nb::arg("reference_values_list").none(),
          nb::arg("invert_flag") = false);
    m.def("numpy_get_categories", &numpy_get_categories, nb::arg("X").none(),
          nb::arg("rows").none(), nb::arg("missing_values_reference_list").none(),
          nb::arg("categories_list2").none() = nb::none());
    m.def("compress_str_column", &compress_str_column, nb::arg("Xcol").none(),
          nb::arg("misslist").none(), nb::arg("compress_type").none());
    m.def("numpy_floatstr2float", &numpy_floatstr2float, nb::arg("Xcol").none(),
          nb::arg("missing_values_reference_list").none());
    m.def("numpy_boolean2float", &numpy_boolean2float, nb::arg("X").none());
    m.def("convert_float32", &convert_float32, nb::arg("X").none());
    m.def("numpy_select_columns", &numpy_select_columns, nb::arg("X").none(),
          nb::arg("columns_indices_list").none());
    m.def("numpy_permute_array", &numpy_permute_array, nb::arg("X").none(),
          nb::arg("permutation_indices").none(), nb::arg("axis").none());
    m.def("numpy_whatis", &numpy_whatis, nb::arg("X").none());
}
