// numpy_replace_values: replace the cells that match (or, per column, do not match) a list
// of reference values.
#include <limits>
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

// New reference to fill when cell matches a marker (*hit), else to cell.
PyObject* lookup_general(const ValueSet& markers, PyObject* cell, PyObject* fill, bool* hit) {
    const Probe probe = make_probe(cell);
    if (markers.may_run_python(probe))
        return markers.fill_or_keep_held(cell, probe, true, fill, hit);
    *hit = markers.contains(cell, probe);
    PyObject* v = *hit ? fill : cell;
    Py_INCREF(v);
    return v;
}

// Object cells: the result is a new object array; returns the number of replaced cells.
//
// A lookup that runs Python code (hash or == of other objects) may rebind cells of `a` and
// drop the last reference to the cell being looked up: the cell is then held for the
// lookup, and each later cell is read when it is reached, as a Python loop would.
npy_intp replace_objects(PyArrayObject* a, PyObject* fill, const Reference<ValueSet>& ref,
                         nb::object* out) {
    *out = new_array(PyArray_NDIM(a), PyArray_DIMS(a), NPY_OBJECT);
    PyObject** dst = static_cast<PyObject**>(PyArray_DATA(arr(*out)));
    npy_intp replaced = 0;
    if (ref.invert()) {
        // One set of known values per column: walk column by column (in blocks of a million
        // rows), so that each column's set stays in cache while it is used.
        const npy_intp rows = PyArray_DIM(a, 0), cols = PyArray_DIM(a, 1);
        const npy_intp s0 = PyArray_STRIDE(a, 0), s1 = PyArray_STRIDE(a, 1);
        constexpr npy_intp kBlock = 1 << 20;
        for (npy_intp r0 = 0; r0 < rows; r0 += kBlock) {
            const npy_intp r1 = r0 + kBlock < rows ? r0 + kBlock : rows;
            for (npy_intp j = 0; j < cols; ++j) {
                const ValueSet& known = ref.set_for(j);
                const char* col = static_cast<const char*>(PyArray_DATA(a)) + (r0 * s0 + j * s1);
                PyObject** out = dst + r0 * cols + j;
                walk_with_probes(
                    r1 - r0, known,
                    [&](npy_intp k) {
                        PyObject* c = load<PyObject*>(col + k * s0);
                        return c ? c : Py_None;
                    },
                    [&](npy_intp k, PyObject* cell, const Probe& p) {
                        if (known.may_run_python(p)) {
                            bool hit;
                            out[k * cols] = known.fill_or_keep_held(cell, p, false, fill, &hit);
                            replaced += hit;
                            return true;
                        }
                        const bool hit = !known.contains(cell, p);
                        PyObject* v = hit ? fill : cell;
                        replaced += hit;
                        Py_INCREF(v);
                        out[k * cols] = v;
                        return false;
                    });
            }
        }
        return replaced;
    }
    // One set of markers for the whole array.
    const ValueSet& markers = *ref.single;
    const bool plain = !markers.has_other();
    for_each_run(a, [&](char* p, npy_intp stride, npy_intp n, npy_intp start) {
        for (npy_intp k = 0; k < n; ++k) {
            if (k + kPrefetchFar < n) prefetch_object(p + (k + kPrefetchFar) * stride);
            PyObject* cell = load<PyObject*>(p + k * stride);
            if (!cell) cell = Py_None;
            PyObject* v;
            bool hit;
            if (plain && Py_TYPE(cell) == &PyUnicode_Type) {
                hit = markers.contains_str(cell);
                v = hit ? fill : cell;
                Py_INCREF(v);
            } else {
                v = lookup_general(markers, cell, fill, &hit);
            }
            replaced += hit;
            dst[start + k] = v;
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

// NumPy's complex-to-real conversion warns (ComplexWarning) and drops the imaginary part.
bool drops_imaginary(const PyArray_Descr* descr) {
    switch (descr->kind) {
        case 'b':
        case 'i':
        case 'u':
        case 'f':
        case 'M':
        case 'm':
        case 'V': return true;
        default: return false;
    }
}

// Whether value is stored unchanged in a cell of dtype descr, checked by a round trip with
// NumPy's own conversion, arranged so that nothing warns: a NumPy complex number bound for
// a real dtype is decided by its parts, and overflow or invalid values are ignored through
// NumPy's floating-point error state, which belongs to this thread and context
// (np.errstate). The warnings filters are process-wide: changing them races with threads.
bool stored_as(PyObject* value, PyArray_Descr* descr) {
    PyObject* stored = value;
    nb::object real_part;
    if (PyArray_IsScalar(value, ComplexFloating) && drops_imaginary(descr)) {
        nb::object imag = nb::steal(PyObject_GetAttrString(value, "imag"));
        check(imag.is_valid());
        const int nonzero = PyObject_IsTrue(imag.ptr());
        check(nonzero >= 0);
        if (nonzero) return false;  // the imaginary part would be lost
        real_part = nb::steal(PyObject_GetAttrString(value, "real"));
        check(real_part.is_valid());
        stored = real_part.ptr();
    }
    Py_INCREF(descr);
    nb::object cell = nb::steal(
        PyArray_NewFromDescr(&PyArray_Type, descr, 0, nullptr, nullptr, nullptr, 0, nullptr));
    check(cell.is_valid());
    char* data = static_cast<char*>(PyArray_DATA(arr(cell)));
    nb::object quiet = nb::module_::import_("numpy").attr("errstate")(nb::arg("all") = "ignore");
    quiet.attr("__enter__")();
    int rc = PyArray_SETITEM(arr(cell), data, stored);
    nb::object back;
    if (rc == 0) {
        back = nb::steal(PyArray_GETITEM(arr(cell), data));
        if (!back.is_valid()) rc = -1;
    }
    {
        // The error of a failed conversion waits while the error state is restored.
        PyObject *type, *error, *traceback;
        PyErr_Fetch(&type, &error, &traceback);
        nb::object t = nb::steal(type), e = nb::steal(error), tb = nb::steal(traceback);
        quiet.attr("__exit__")(nb::none(), nb::none(), nb::none());
        PyErr_Restore(t.release().ptr(), e.release().ptr(), tb.release().ptr());
    }
    if (rc < 0) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) raise_current();  // KeyboardInterrupt...
        PyErr_Clear();
        return false;
    }
    ValueSet just_value;
    just_value.add(value);
    return just_value.contains(back.ptr());
}

// Whether value is a number (or NaN) that a cell of type T holds exactly; if so, *out is
// that cell value.
template <class T>
bool number_fits(PyObject* value, typename Cell<T>::Value* out) {
    using V = typename Cell<T>::Value;
    CellInfo info = classify(value);
    if (info.kind == Kind::kNan) {
        if (!std::is_floating_point<V>::value) return false;
        *out = static_cast<V>(std::numeric_limits<double>::quiet_NaN());
        return true;
    }
    if (info.kind != Kind::kNum) return false;
    const NumKey k = info.key;
    if constexpr (std::is_same<T, BoolCell>::value) {
        if (k.tag != NumKey::kInt || k.bits > 1) return false;
        *out = static_cast<V>(k.bits);
        return true;
    } else if constexpr (std::is_floating_point<V>::value) {
        const double d = number_value(value, info);
        if (NumKey::from_double(d) != k) return false;  // an integer a double cannot hold
        const V v = static_cast<V>(d);
        if (static_cast<double>(v) != d) return false;
        *out = v;
        return true;
    } else {
        if (k.tag == NumKey::kDouble) return false;
        if (k.tag == NumKey::kBigUnsigned) {
            if (std::is_signed<V>::value || k.bits > std::numeric_limits<V>::max()) return false;
            *out = static_cast<V>(k.bits);
            return true;
        }
        const int64_t v = static_cast<int64_t>(k.bits);
        if (std::is_signed<V>::value) {
            if (v < static_cast<int64_t>(std::numeric_limits<V>::min()) ||
                v > static_cast<int64_t>(std::numeric_limits<V>::max()))
                return false;
        } else if (v < 0 || static_cast<uint64_t>(v) > std::numeric_limits<V>::max()) {
            return false;
        }
        *out = static_cast<V>(v);
        return true;
    }
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
    V fv;
    if (number_fits<T>(fill, &fv)) {
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
    double fd;
    if (exact && number_fits<double>(fill, &fd)) {
        nb::object out = new_array(nd, PyArray_DIMS(a), NPY_DOUBLE);
        double* dst = static_cast<double*>(PyArray_DATA(arr(out)));
        nb::gil_scoped_release nogil;
        for_each_cell_with_column(a, ref.ncols, [&](const char* p, npy_intp i, npy_intp col) {
            V v = Cell<T>::read(p);
            dst[i] = (in_set(ref.set_for(col), v) != ref.invert()) ? fd : static_cast<double>(v);
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
                  "%s: reference_values_list must be a list of lists of known values, got %s", kFn,
                  type_name(refs));
        nb::object seq = nb::steal(PySequence_Fast(
            refs,
            "numpy_replace_values: reference_values_list must be a list of lists of known "
            "values"));
        check(seq.is_valid());
        // Reading the lists runs Python code (hash, ==, iteration) that may shrink the
        // caller's list: read from a snapshot of it.
        if (PyList_Check(seq.ptr())) {
            seq = nb::steal(PyList_AsTuple(seq.ptr()));
            check(seq.is_valid());
        }
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
    if (replaced == 0 || stored_as(fill, descr)) return object_result_to(out, descr);
    if (descr->kind == 'f' && PyArray_ITEMSIZE(x) < 8) {
        PyArray_Descr* d = PyArray_DescrFromType(NPY_DOUBLE);
        nb::object hold = nb::steal(reinterpret_cast<PyObject*>(d));
        if (stored_as(fill, d)) return object_result_to(out, d);
    }
    return out;
}

}  // namespace utils
}  // namespace tabrix
