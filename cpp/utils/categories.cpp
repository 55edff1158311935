// numpy_get_categories: the distinct values of each column, in order of first appearance.
#include <cmath>
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

const char* const kFn = "numpy_get_categories";

std::vector<nb::list> object_categories(PyArrayObject* a, const std::vector<npy_intp>& rows,
                                        const ValueSet& markers) {
    const npy_intp ncols = PyArray_DIM(a, 1);
    const npy_intp s0 = PyArray_STRIDE(a, 0), s1 = PyArray_STRIDE(a, 1);
    const npy_intp n = static_cast<npy_intp>(rows.size());
    std::vector<nb::list> out;
    for (npy_intp j = 0; j < ncols; ++j) {
        const char* col = static_cast<const char*>(PyArray_DATA(a)) + j * s1;
        // Most cells repeat a value already found: look there first, and test the markers only
        // for values not seen yet (those that match a marker are remembered in `excluded`).
        ValueSet found, excluded;
        const bool any_marker = !markers.empty();
        // Whether some value in play is of no plain kind: lookups may then run Python code.
        bool others = any_marker && markers.has_other();
        auto visit = [&](PyObject* cell, const Probe& p) {
            if (found.contains(cell, p) || (any_marker && excluded.contains(cell, p))) return;
            if (any_marker && markers.contains(cell, p))
                excluded.add(cell, p);
            else
                found.add_new(cell, p);
        };
        walk_with_probes(
            n, found,
            [&](npy_intp k) {
                PyObject* c = load<PyObject*>(col + rows[static_cast<size_t>(k)] * s0);
                return c ? c : Py_None;
            },
            [&](npy_intp, PyObject* cell, const Probe& p) {
                if (!others && p.kind != Kind::kOther) {
                    visit(cell, p);
                    return false;
                }
                // Python code may rebind cells and free this one: it is held meanwhile, and
                // the cells ahead are read again.
                others = true;
                nb::object hold = nb::borrow(cell);
                visit(cell, p);
                return true;
            });
        nb::list values;
        for (const nb::object& v : found.values()) values.append(v);
        out.push_back(std::move(values));
    }
    return out;
}

template <class T>
std::vector<nb::list> numeric_categories(PyArrayObject* a, const std::vector<npy_intp>& rows,
                                         const NumKeySet& markers) {
    using V = typename Cell<T>::Value;
    const npy_intp ncols = PyArray_DIM(a, 1);
    const npy_intp s0 = PyArray_STRIDE(a, 0), s1 = PyArray_STRIDE(a, 1);
    std::vector<std::vector<npy_intp>> first_rows(static_cast<size_t>(ncols));
    {
        nb::gil_scoped_release nogil;
        for (npy_intp j = 0; j < ncols; ++j) {
            const char* col = static_cast<const char*>(PyArray_DATA(a)) + j * s1;
            NumKeySet seen;
            bool nan_seen = false;
            for (npy_intp r : rows) {
                V v = Cell<T>::read(col + r * s0);
                bool fresh;
                if constexpr (std::is_floating_point<V>::value) {
                    if (std::isnan(v)) {
                        if (markers.has_nan) continue;
                        fresh = !nan_seen;
                        nan_seen = true;
                    } else {
                        NumKey key = NumKey::from_double(static_cast<double>(v));
                        if (markers.contains(key)) continue;
                        fresh = seen.insert(key);
                    }
                } else {
                    NumKey key = std::is_signed<V>::value
                                     ? NumKey::from_int64(static_cast<int64_t>(v))
                                     : NumKey::from_uint64(static_cast<uint64_t>(v));
                    if (markers.contains(key)) continue;
                    fresh = seen.insert(key);
                }
                if (fresh) first_rows[static_cast<size_t>(j)].push_back(r);
            }
        }
    }
    std::vector<nb::list> out;
    for (npy_intp j = 0; j < ncols; ++j) {
        nb::list values;
        const char* col = static_cast<const char*>(PyArray_DATA(a)) + j * s1;
        for (npy_intp r : first_rows[static_cast<size_t>(j)]) {
            PyObject* v = PyArray_GETITEM(a, const_cast<char*>(col + r * s0));
            check(v != nullptr);
            values.append(nb::steal(v));
        }
        out.push_back(std::move(values));
    }
    return out;
}

}  // namespace

nb::object numpy_get_categories(nb::handle X, nb::handle rows,
                                nb::handle missing_values_reference_list,
                                nb::handle categories_list2) {
    PyArrayObject* x = require_array(X.ptr(), kFn, "X");
    require_ndim(x, 2, kFn, "X");
    if (!categories_list2.is_none() && !PyList_Check(categories_list2.ptr()))
        raise(PyExc_TypeError, "%s: categories_list2 must be a list or None, got %s", kFn,
              type_name(categories_list2.ptr()));
    ValueSet markers = read_value_list(missing_values_reference_list.ptr(), kFn,
                                       "missing_values_reference_list");
    std::vector<npy_intp> row_idx =
        read_index_list(rows.ptr(), PyArray_DIM(x, 0), kFn, "rows", "rows");

    std::vector<nb::list> columns;
    const int type_num = PyArray_TYPE(x);
    if (type_num == NPY_OBJECT) {
        columns = object_categories(x, row_idx, markers);
    } else {
        nb::object native = native_order(x);
        NumKeySet keys = markers.numeric_keys();
        if (!dispatch_numeric(type_num, [&](auto tag) {
                columns = numeric_categories<decltype(tag)>(arr(native), row_idx, keys);
            })) {
            nb::object objects = cast_to(x, NPY_OBJECT);
            columns = object_categories(arr(objects), row_idx, markers);
        }
    }

    nb::list result = categories_list2.is_none() ? nb::list()
                                                  : nb::borrow<nb::list>(categories_list2);
    for (nb::list& c : columns) result.append(c);
    return std::move(result);
}

}  // namespace utils
}  // namespace tabrix
