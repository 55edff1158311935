// numpy_replace_values: replace the cells that match (or, per column, do not match) a list
// of reference values.
#include <type_traits>
#include <vector>

#include "python/array_walk.h"
#include "python/py_args.h"
#include "python/py_errors.h"
#include "python/value_match.h"
#include "utils/utils.h"

namespace tabrix {
namespace utils {

using namespace py;

namespace {

const char* const kFn = "numpy_replace_values";

// What a cell is matched against: one set for the whole array, or one set of known values
// per column (invert: a cell is replaced when it matches none of its column's values).
template <class Set>
struct Reference {
    const Set* single = nullptr;
    const std::vector<Set>* columns = nullptr;
    npy_intp ncols = 1;

    bool invert() const { return columns != nullptr; }
    const Set& set_for(npy_intp col) const {
        return columns ? (*columns)[static_cast<size_t>(col)] : *single;
    }
};

// Walks the cells with the index of their column (the last axis).
template <class F>
void for_each_cell_with_column(PyArrayObject* a, npy_intp ncols, F&& f) {
    for_each_run(a, [&](char* p, npy_intp stride, npy_intp n, npy_intp start) {
        npy_intp col = ncols > 1 ? start % ncols : 0;
        for (npy_intp k = 0; k < n; ++k) {
            f(p + k * stride, start + k, col);
            if (++col == ncols) col = 0;
        }
    });
}

// Object cells: the result is a new object array; returns the number of replaced cells.
npy_intp replace_objects(PyArrayObject* a, PyObject* fill, const Reference<ValueSet>& ref,
                         nb::object* out) {
    *out = new_array(PyArray_NDIM(a), PyArray_DIMS(a), NPY_OBJECT);
    PyObject** dst = static_cast<PyObject**>(PyArray_DATA(arr(*out)));
    npy_intp replaced = 0;
    for_each_run(a, [&](char* p, npy_intp stride, npy_intp n, npy_intp start) {
        npy_intp col = ref.ncols > 1 ? start % ref.ncols : 0;
        for (npy_intp k = 0; k < n; ++k) {
            if (k + kPrefetchDistance < n) prefetch_object(p + (k + kPrefetchDistance) * stride);
            PyObject* cell = *reinterpret_cast<PyObject**>(p + k * stride);
            if (!cell) cell = Py_None;
            bool hit = ref.set_for(col).contains(cell) != ref.invert();
            PyObject* v = hit ? fill : cell;
            replaced += hit;
            Py_INCREF(v);
            dst[start + k] = v;
            if (++col == ref.ncols) col = 0;
        }
    });
    return replaced;
}

template <class V>
inline bool in_set(const NumKeySet& s, V v) {
    if constexpr (std::is_floating_point<V>::value)
        return s.contains_double(static_cast<double>(v));
    else if constexpr (std::is_signed<V>::value)
        return s.contains(NumKey::from_int64(static_cast<int64_t>(v)));
    else
        return s.contains(NumKey::from_uint64(static_cast<uint64_t>(v)));
}

template <class V>
inline bool exact_in_double(V v) {
    if constexpr (sizeof(V) < 8 || std::is_floating_point<V>::value) {
        return true;
    } else if constexpr (std::is_signed<V>::value) {
        return NumKey::from_double(static_cast<double>(v)) ==
               NumKey::from_int64(static_cast<int64_t>(v));
    } else {
        return NumKey::from_double(static_cast<double>(v)) ==
               NumKey::from_uint64(static_cast<uint64_t>(v));
    }
}

// Whether value survives a round trip through a cell of dtype descr; if so its bytes in that
// dtype go to bytes.
bool stored_as(PyObject* value, PyArray_Descr* descr, std::vector<char>* bytes) {
    Py_INCREF(descr);
    nb::object cell = nb::steal(PyArray_NewFromDescr(&PyArray_Type, descr, 0, nullptr, nullptr,
                                                     nullptr, 0, nullptr));
    check(cell.is_valid());
    char* data = static_cast<char*>(PyArray_DATA(arr(cell)));
    if (PyArray_SETITEM(arr(cell), data, value) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) raise_current();
        PyErr_Clear();
        return false;
    }
    nb::object back = nb::steal(PyArray_GETITEM(arr(cell), data));
    check(back.is_valid());
    ValueSet just_value;
    just_value.add(value);
    if (!just_value.contains(back.ptr())) return false;
    if (bytes) bytes->assign(data, data + PyArray_ITEMSIZE(arr(cell)));
    return true;
}

nb::object object_result_to(const nb::object& result, PyArray_Descr* descr) {
    Py_INCREF(descr);
    PyObject* r = PyArray_FromAny(result.ptr(), descr, 0, 0,
                                  NPY_ARRAY_DEFAULT | NPY_ARRAY_FORCECAST, nullptr);
    check(r != nullptr);
    return nb::steal(r);
}

// Plain numeric dtypes: matched by number keys, without the GIL.
template <class T>
nb::object replace_numeric(PyArrayObject* x, PyArrayObject* a, PyObject* fill,
                           const Reference<NumKeySet>& ref, const Reference<ValueSet>& pyref) {
    using V = typename Cell<T>::Value;
    const int nd = PyArray_NDIM(a);
    std::vector<char> fill_bytes;
    if (stored_as(fill, PyArray_DESCR(a), &fill_bytes)) {
        const V fv = load<V>(fill_bytes.data());
        nb::object out = new_array(nd, PyArray_DIMS(a), PyArray_TYPE(a));
        V* dst = static_cast<V*>(PyArray_DATA(arr(out)));
        nb::gil_scoped_release nogil;
        for_each_cell_with_column(a, ref.ncols, [&](const char* p, npy_intp i, npy_intp col) {
            V v = Cell<T>::read(p);
            dst[i] = (in_set(ref.set_for(col), v) != ref.invert()) ? fv : v;
        });
        return out;
    }
    // The filling value needs a wider dtype, if any cell is replaced at all.
    npy_intp replaced = 0;
    bool exact = true;
    {
        nb::gil_scoped_release nogil;
        for_each_cell_with_column(a, ref.ncols, [&](const char* p, npy_intp, npy_intp col) {
            V v = Cell<T>::read(p);
            if (in_set(ref.set_for(col), v) != ref.invert())
                ++replaced;
            else
                exact = exact && exact_in_double(v);
        });
    }
    if (replaced == 0) {
        PyObject* copy = PyArray_NewCopy(x, NPY_CORDER);
        check(copy != nullptr);
        return nb::steal(copy);
    }
    std::vector<char> fill_double;
    PyArray_Descr* d = PyArray_DescrFromType(NPY_DOUBLE);
    bool double_ok = exact && stored_as(fill, d, &fill_double);
    Py_DECREF(d);
    if (double_ok) {
        const double fv = load<double>(fill_double.data());
        nb::object out = new_array(nd, PyArray_DIMS(a), NPY_DOUBLE);
        double* dst = static_cast<double*>(PyArray_DATA(arr(out)));
        nb::gil_scoped_release nogil;
        for_each_cell_with_column(a, ref.ncols, [&](const char* p, npy_intp i, npy_intp col) {
            V v = Cell<T>::read(p);
            dst[i] = (in_set(ref.set_for(col), v) != ref.invert()) ? fv : static_cast<double>(v);
        });
        return out;
    }
    nb::object objects = cast_to(a, NPY_OBJECT);
    nb::object out;
    replace_objects(arr(objects), fill, pyref, &out);
    return out;
}

}  // namespace

nb::object numpy_replace_values(nb::handle X, nb::handle filling_value,
                                nb::handle reference_values_list, nb::handle invert_flag) {
    PyArrayObject* x = require_array(X.ptr(), kFn, "X");
    const bool invert = read_flag(invert_flag.ptr(), kFn, "invert_flag");
    PyObject* fill = filling_value.ptr();

    ValueSet markers;
    std::vector<ValueSet> known;
    Reference<ValueSet> pyref;
    if (invert) {
        if (PyArray_NDIM(x) != 2)
            raise(PyExc_ValueError,
                  "%s: with invert_flag=True, X must be a 2-D array (one list of known values "
                  "per column), got %d dimension(s)",
                  kFn, PyArray_NDIM(x));
        PyObject* refs = reference_values_list.ptr();
        if (refs == Py_None || PyUnicode_Check(refs) || PyBytes_Check(refs) || PyDict_Check(refs))
            raise(PyExc_TypeError,
                  "%s: reference_values_list must be a list of lists of known values, got %s",
                  kFn, type_name(refs));
        nb::object seq = nb::steal(PySequence_Fast(
            refs, "numpy_replace_values: reference_values_list must be a list of lists of known "
                  "values"));
        check(seq.is_valid());
        const Py_ssize_t nlists = PySequence_Fast_GET_SIZE(seq.ptr());
        const npy_intp ncols = PyArray_DIM(x, 1);
        if (nlists != ncols)
            raise(PyExc_ValueError,
                  "%s: reference_values_list holds %zd list(s) of known values but X has %zd "
                  "column(s); give one list per column",
                  kFn, nlists, static_cast<Py_ssize_t>(ncols));
        known.reserve(static_cast<size_t>(nlists));
        for (Py_ssize_t j = 0; j < nlists; ++j)
            known.push_back(read_value_list(PySequence_Fast_GET_ITEM(seq.ptr(), j), kFn,
                                            "each entry of reference_values_list"));
        pyref.columns = &known;
        pyref.ncols = ncols;
    } else {
        markers = read_value_list(reference_values_list.ptr(), kFn, "reference_values_list");
        pyref.single = &markers;
    }

    const int type_num = PyArray_TYPE(x);
    if (type_num == NPY_OBJECT) {
        nb::object out;
        replace_objects(x, fill, pyref, &out);
        return out;
    }

    nb::object native = native_order(x);
    PyArrayObject* a = arr(native);
    NumKeySet single_keys;
    std::vector<NumKeySet> column_keys;
    Reference<NumKeySet> ref;
    if (invert) {
        for (const ValueSet& s : known) column_keys.push_back(s.numeric_keys());
        ref.columns = &column_keys;
        ref.ncols = pyref.ncols;
    } else {
        single_keys = markers.numeric_keys();
        ref.single = &single_keys;
    }
    nb::object result;
    if (dispatch_numeric(type_num, [&](auto tag) {
            result = replace_numeric<decltype(tag)>(x, a, fill, ref, pyref);
        }))
        return result;

    // Any other dtype (float16, long double, complex, text, dates...): through Python objects.
    nb::object objects = cast_to(x, NPY_OBJECT);
    nb::object out;
    npy_intp replaced = replace_objects(arr(objects), fill, pyref, &out);
    PyArray_Descr* descr = PyArray_DESCR(x);
    if (replaced == 0 || stored_as(fill, descr, nullptr)) return object_result_to(out, descr);
    if (descr->kind == 'f' && PyArray_ITEMSIZE(x) < 8) {
        PyArray_Descr* d = PyArray_DescrFromType(NPY_DOUBLE);
        nb::object hold = nb::steal(reinterpret_cast<PyObject*>(d));
        if (stored_as(fill, d, nullptr)) return object_result_to(out, d);
    }
    return out;
}

}  // namespace utils
}  // namespace tabrix
