#include "python/py_args.h"

#include <string>

#include "python/py_errors.h"

namespace nb = nanobind;

namespace tabrix {
namespace py {

PyArrayObject* require_array(PyObject* x, const char* func, const char* arg) {
    if (!PyArray_Check(x))
        raise(PyExc_TypeError, "%s: %s must be a numpy.ndarray, got %s", func, arg, type_name(x));
    return reinterpret_cast<PyArrayObject*>(x);
}

void require_ndim(PyArrayObject* a, int ndim, const char* func, const char* arg) {
    if (PyArray_NDIM(a) != ndim)
        raise(PyExc_ValueError, "%s: %s must be a %d-D array, got %d dimension(s)", func, arg, ndim,
              PyArray_NDIM(a));
}

namespace {

// The array cast to the dtype d (a new reference, which the cast steals).
nb::object cast_to_descr(PyArrayObject* a, PyArray_Descr* d) {
    check(d != nullptr);
    return checked(PyArray_CastToType(a, d, 0));
}

}  // namespace

nb::object native_order(PyArrayObject* a) {
    if (PyArray_ISNOTSWAPPED(a)) return nb::borrow(reinterpret_cast<PyObject*>(a));
    return cast_to_descr(a, PyArray_DescrNewByteorder(PyArray_DESCR(a), NPY_NATIVE));
}

nb::object cast_to(PyArrayObject* a, int type_num) {
    return cast_to_descr(a, PyArray_DescrFromType(type_num));
}

nb::object new_array(int nd, const npy_intp* dims, int type_num) {
    PyObject* r = PyArray_SimpleNew(nd, const_cast<npy_intp*>(dims), type_num);
    check(r != nullptr);
    return nb::steal(r);
}

namespace {

Py_ssize_t checked_index(PyObject* item, npy_intp size, const char* func, const char* arg,
                         const char* what, bool resolve) {
    if (PyBool_Check(item) || PyArray_IsScalar(item, Bool) || !PyIndex_Check(item))
        raise(PyExc_TypeError, "%s: %s must hold integers, got %s %s", func, arg, type_name(item),
              short_repr(item).c_str());
    Py_ssize_t v = PyNumber_AsSsize_t(item, nullptr);
    if (v == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) raise_current();
        PyErr_Clear();
        raise(PyExc_IndexError, "%s: index %s in %s is out of range for %zd %s", func,
              short_repr(item).c_str(), arg, static_cast<Py_ssize_t>(size), what);
    }
    if (v < -size || v >= size)
        raise(PyExc_IndexError, "%s: index %zd in %s is out of range for %zd %s", func, v, arg,
              static_cast<Py_ssize_t>(size), what);
    return v < 0 && resolve ? v + size : v;
}

bool read_range(PyObject* r, Py_ssize_t* start, Py_ssize_t* step, Py_ssize_t* len) {
    nb::object a = nb::steal(PyObject_GetAttrString(r, "start"));
    nb::object b = nb::steal(PyObject_GetAttrString(r, "step"));
    Py_ssize_t n = PyObject_Length(r);
    if (!a.is_valid() || !b.is_valid() || n < 0) {
        PyErr_Clear();
        return false;
    }
    *start = PyNumber_AsSsize_t(a.ptr(), nullptr);
    *step = PyNumber_AsSsize_t(b.ptr(), nullptr);
    *len = n;
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

std::vector<npy_intp> read_indices(PyObject* indices, npy_intp size, const char* func,
                                   const char* arg, const char* what, bool resolve) {
    std::vector<npy_intp> out;
    if (indices == Py_None || PyUnicode_Check(indices) || PyBytes_Check(indices) ||
        PyByteArray_Check(indices) || PyDict_Check(indices))
        raise(PyExc_TypeError, "%s: %s must be a list of integers, got %s", func, arg,
              type_name(indices));
    Py_ssize_t start, step, len;
    if (PyRange_Check(indices) && read_range(indices, &start, &step, &len)) {
        if (len == 0) return out;
        Py_ssize_t last = start + (len - 1) * step;
        for (Py_ssize_t v : {start, last})
            if (v < -size || v >= size)
                raise(PyExc_IndexError, "%s: index %zd in %s is out of range for %zd %s", func, v,
                      arg, static_cast<Py_ssize_t>(size), what);
        // A range is monotonic: with both ends in bounds, every index is.
        out.resize(static_cast<size_t>(len));
        for (Py_ssize_t k = 0; k < len; ++k) {
            Py_ssize_t v = start + k * step;
            out[static_cast<size_t>(k)] = v < 0 && resolve ? v + size : v;
        }
        return out;
    }
    nb::object it = nb::steal(PyObject_GetIter(indices));
    if (!it.is_valid()) {
        PyErr_Clear();
        raise(PyExc_TypeError, "%s: %s must be a list of integers, got %s", func, arg,
              type_name(indices));
    }
    while (PyObject* item = PyIter_Next(it.ptr())) {
        nb::object hold = nb::steal(item);
        out.push_back(checked_index(item, size, func, arg, what, resolve));
    }
    check(!PyErr_Occurred());
    return out;
}

}  // namespace

std::vector<npy_intp> read_index_list(PyObject* indices, npy_intp size, const char* func,
                                      const char* arg, const char* what) {
    return read_indices(indices, size, func, arg, what, true);
}

std::vector<npy_intp> read_index_list_unresolved(PyObject* indices, npy_intp size, const char* func,
                                                 const char* arg, const char* what) {
    return read_indices(indices, size, func, arg, what, false);
}

bool read_flag(PyObject* flag, const char* func, const char* arg) {
    if (PyBool_Check(flag) || PyArray_IsScalar(flag, Bool) || PyLong_Check(flag) ||
        PyArray_IsScalar(flag, Integer)) {
        int r = PyObject_IsTrue(flag);
        check(r >= 0);
        return r == 1;
    }
    raise(PyExc_TypeError, "%s: %s must be True or False, got %s %s", func, arg, type_name(flag),
          short_repr(flag).c_str());
}

std::string cell_position(PyArrayObject* a, npy_intp pos) {
    const int nd = PyArray_NDIM(a);
    std::vector<npy_intp> idx(static_cast<size_t>(nd > 0 ? nd : 0));
    for (int d = nd - 1; d >= 0; --d) {
        npy_intp n = PyArray_DIM(a, d);
        idx[static_cast<size_t>(d)] = n ? pos % n : 0;
        pos = n ? pos / n : 0;
    }
    if (nd == 0) return "the single cell";
    if (nd == 1) return "row " + std::to_string(idx[0]);
    if (nd == 2) return "row " + std::to_string(idx[0]) + ", column " + std::to_string(idx[1]);
    std::string s = "cell (";
    for (int d = 0; d < nd; ++d) s += (d ? ", " : "") + std::to_string(idx[static_cast<size_t>(d)]);
    return s + ")";
}

char* cell_pointer(PyArrayObject* a, npy_intp pos) {
    char* p = static_cast<char*>(PyArray_DATA(a));
    for (int d = PyArray_NDIM(a) - 1; d >= 0; --d) {
        npy_intp n = PyArray_DIM(a, d);
        p += (pos % n) * PyArray_STRIDE(a, d);
        pos /= n;
    }
    return p;
}

}  // namespace py
}  // namespace tabrix
