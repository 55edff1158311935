// Shaping: numpy_select_columns, numpy_permute_array and numpy_whatis.
#include <cstring>
#include <string>
#include <vector>

#include "python/array_walk.h"
#include "python/py_args.h"
#include "python/py_errors.h"
#include "utils/utils.h"

namespace tabrix {
namespace utils {

using namespace py;

namespace {

// a[:, indices] (axis 1) or a[indices, :] (axis 0), by NumPy's own indexing of arrays, so
// that the result and its layout are those of that expression. The indices were checked.
nb::object index_along(PyArrayObject* a, const std::vector<npy_intp>& idx, int axis) {
    npy_intp n = static_cast<npy_intp>(idx.size());
    nb::object ind = new_array(1, &n, NPY_INTP);
    if (n) std::memcpy(PyArray_DATA(arr(ind)), idx.data(), idx.size() * sizeof(npy_intp));
    nb::object all = nb::steal(PySlice_New(nullptr, nullptr, nullptr));
    check(all.is_valid());
    nb::object key = axis == 1 ? nb::make_tuple(all, ind) : nb::make_tuple(ind, all);
    // ndarray's indexing, also for subclasses that redefine __getitem__.
    PyObject* self = reinterpret_cast<PyObject*>(a);
    PyObject* r = PyArray_Type.tp_as_mapping->mp_subscript(self, key.ptr());
    check(r != nullptr);
    return nb::steal(r);
}

}  // namespace

nb::object numpy_select_columns(nb::handle X, nb::handle columns_indices_list) {
    const char* fn = "numpy_select_columns";
    PyObject* x = X.ptr();
    if (PyList_Check(x) || PyTuple_Check(x)) {
        nb::object seq = nb::steal(PySequence_Fast(x, "numpy_select_columns: X"));
        check(seq.is_valid());
        // Reading the indices runs Python code (__index__, iteration) that may resize the
        // list: all are read first, then checked against the list as it is and taken, with
        // nothing in between that runs Python code.
        std::vector<npy_intp> idx = read_index_list_unresolved(
            columns_indices_list.ptr(), PySequence_Fast_GET_SIZE(seq.ptr()), fn,
            "columns_indices_list", "elements");
        if (idx.empty()) return nb::make_tuple(X, false);
        nb::object out = nb::steal(PyList_New(static_cast<Py_ssize_t>(idx.size())));
        check(out.is_valid());
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(seq.ptr());
        for (size_t k = 0; k < idx.size(); ++k) {
            const Py_ssize_t i = idx[k];
            if (i < -size || i >= size)
                raise(PyExc_IndexError,
                      "%s: index %zd in columns_indices_list is out of range for %zd elements "
                      "(X changed size while the indices were read)",
                      fn, i, size);
            PyObject* item = PySequence_Fast_GET_ITEM(seq.ptr(), i < 0 ? i + size : i);
            Py_INCREF(item);
            PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(k), item);
        }
        return nb::make_tuple(out, true);
    }
    if (!PyArray_Check(x))
        raise(PyExc_TypeError, "%s: X must be a numpy.ndarray or a list, got %s", fn, type_name(x));
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(x);
    require_ndim(a, 2, fn, "X");
    std::vector<npy_intp> idx = read_index_list(columns_indices_list.ptr(), PyArray_DIM(a, 1), fn,
                                                "columns_indices_list", "columns");
    if (idx.empty()) return nb::make_tuple(X, false);
    return nb::make_tuple(index_along(a, idx, 1), true);
}

nb::object numpy_permute_array(nb::handle X, nb::handle permutation_indices, nb::handle axis) {
    const char* fn = "numpy_permute_array";
    PyArrayObject* a = require_array(X.ptr(), fn, "X");
    PyObject* ax = axis.ptr();
    long axis_value = -1;
    if (!PyBool_Check(ax) && !PyArray_IsScalar(ax, Bool) &&
        (PyLong_Check(ax) || PyArray_IsScalar(ax, Integer))) {
        axis_value = PyLong_AsLong(ax);
        if (axis_value == -1 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) raise_current();
            PyErr_Clear();
        }
    }
    if (axis_value != 0 && axis_value != 1)
        raise(PyExc_ValueError,
              "%s: axis must be 0 (rearrange the columns) or 1 (rearrange the rows), got %s", fn,
              short_repr(ax).c_str());
    require_ndim(a, 2, fn, "X");
    const int take_axis = axis_value == 0 ? 1 : 0;
    std::vector<npy_intp> idx =
        read_index_list(permutation_indices.ptr(), PyArray_DIM(a, take_axis), fn,
                        "permutation_indices", take_axis == 1 ? "columns" : "rows");
    if (idx.empty()) return nb::borrow(X);
    return index_along(a, idx, take_axis);
}

namespace {

std::string text_of(PyObject* o) {
    nb::object s = nb::steal(PyObject_Str(o));
    if (!s.is_valid()) {
        PyErr_Clear();
        return "?";
    }
    Py_ssize_t n = 0;
    const char* u = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (!u) {
        PyErr_Clear();
        return "?";
    }
    return std::string(u, static_cast<size_t>(n));
}

std::string describe(PyObject* x) {
    std::string s = std::string("type ") + type_name(x);
    if (!PyArray_Check(x)) {
        if (PyList_Check(x) || PyTuple_Check(x))
            s += ", length " + std::to_string(PySequence_Fast_GET_SIZE(x));
        return s;
    }
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(x);
    s += ", shape (";
    for (int d = 0; d < PyArray_NDIM(a); ++d)
        s += (d ? ", " : "") + std::to_string(PyArray_DIM(a, d));
    if (PyArray_NDIM(a) == 1) s += ",";
    s += "), dtype " + text_of(reinterpret_cast<PyObject*>(PyArray_DESCR(a)));
    if (PyArray_TYPE(a) != NPY_OBJECT || PyArray_NDIM(a) < 1 || PyArray_NDIM(a) > 2) return s;
    // Object arrays: the Python types found in each column, in order of first appearance.
    const npy_intp nrows = PyArray_DIM(a, 0);
    const npy_intp ncols = PyArray_NDIM(a) == 2 ? PyArray_DIM(a, 1) : 1;
    const npy_intp s0 = PyArray_STRIDE(a, 0);
    const npy_intp s1 = PyArray_NDIM(a) == 2 ? PyArray_STRIDE(a, 1) : 0;
    s += ", column types [";
    for (npy_intp j = 0; j < ncols; ++j) {
        std::vector<PyTypeObject*> types;
        for (npy_intp i = 0; i < nrows; ++i) {
            PyObject* cell = load<PyObject*>(static_cast<char*>(PyArray_DATA(a)) + i * s0 + j * s1);
            PyTypeObject* t = cell ? Py_TYPE(cell) : Py_TYPE(Py_None);
            bool seen = false;
            for (PyTypeObject* u : types) seen = seen || u == t;
            if (!seen) types.push_back(t);
        }
        s += j ? ", (" : "(";
        for (size_t k = 0; k < types.size(); ++k)
            s += (k ? ", " : "") + std::string(types[k]->tp_name);
        s += ")";
    }
    return s + "]";
}

}  // namespace

std::string numpy_whatis(nb::handle X) {
    try {
        return describe(X.ptr());
    } catch (...) {
        PyErr_Clear();
        return std::string("type ") + type_name(X.ptr());
    }
}

}  // namespace utils
}  // namespace tabrix
