#include "python/numpy_api.h"

#include <numpy/arrayscalars.h>

#include "exportable/frames.h"

#include <cmath>
#include <string>
#include <vector>

namespace tabrix::exportable {
namespace {

// sys.modules[name] when that library has been imported; a frame of a library nobody imported
// cannot exist, so the libraries themselves are never imported here.
nb::object loaded_module(const char* name) {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    PyObject* module = modules ? PyDict_GetItemString(modules, name) : nullptr;
    if (module == nullptr || !PyModule_Check(module)) return nb::object();
    return nb::borrow(module);
}

bool is_instance_of(nb::handle X, nb::handle module, const char* class_name) {
    nb::object cls = attr_if_present(module, class_name);
    if (!cls.is_valid() || !PyType_Check(cls.ptr())) return false;
    const int r = PyObject_IsInstance(X.ptr(), cls.ptr());
    if (r < 0) raise_current();
    return r == 1;
}

// "pandas.core.series.Series", or "dict" for a builtin.
std::string qualified_type_name(nb::handle X) {
    nb::handle type = reinterpret_cast<PyObject*>(Py_TYPE(X.ptr()));
    nb::object module = attr_if_present(type, "__module__");
    nb::object name = attr_if_present(type, "__qualname__");
    std::string text =
        name.is_valid() && PyUnicode_Check(name.ptr()) ? utf8(name) : Py_TYPE(X.ptr())->tp_name;
    if (module.is_valid() && PyUnicode_Check(module.ptr())) {
        const std::string m = utf8(module);
        if (m != "builtins") text = m + "." + text;
    }
    return text;
}

// Whether type(X) comes from the package `package` (pandas.core.series, polars.series.series...).
bool from_package(nb::handle X, const char* package) {
    nb::object module =
        attr_if_present(reinterpret_cast<PyObject*>(Py_TYPE(X.ptr())), "__module__");
    if (!module.is_valid() || !PyUnicode_Check(module.ptr())) return false;
    const std::string m = utf8(module), p = package;
    return m.compare(0, p.size(), p) == 0 && (m.size() == p.size() || m[p.size()] == '.');
}

[[noreturn]] void refuse(nb::handle self, nb::handle X, const char* method) {
    std::string hint;
    if (from_package(X, "pandas") && has_attr(X, "to_frame"))
        hint = " (to_frame() makes it a one-column DataFrame)";
    if (from_package(X, "polars") && has_attr(X, "collect"))
        hint = " (collect() it into a DataFrame first)";
    raise(PyExc_TypeError,
          "%s.%s expects a 2-D NumPy array, a list of rows, a sparse matrix or a pandas or polars "
          "DataFrame; got %s%s",
          Py_TYPE(self.ptr())->tp_name, method, qualified_type_name(X).c_str(), hint.c_str());
}

// ---------------------------------------------------------------- missing cells

// The values that stand for a missing cell besides None and NaN floats.
struct MissingMarkers {
    PyObject* na = nullptr;            // pandas.NA
    PyTypeObject* nat_type = nullptr;  // type(pandas.NaT)
};

// Only identity and exact-type tests on the common cells (a subtype test per cell would cost
// more than the rest of the walk), and no Python code runs while the cells are walked.
bool is_missing(PyObject* v, const MissingMarkers& m, PyObject* nan) {
    if (v == nullptr || v == Py_None) return true;
    PyTypeObject* type = Py_TYPE(v);
    if (type == &PyUnicode_Type || v == nan) return false;
    if (type == &PyFloat_Type) return std::isnan(PyFloat_AS_DOUBLE(v));
    if (v == m.na || (m.nat_type != nullptr && type == m.nat_type)) return true;
    if (type == &PyLong_Type || type == &PyBool_Type) return false;
    // numpy.datetime64 and numpy.timedelta64 scalars share one layout.
    if (type == &PyDatetimeArrType_Type || type == &PyTimedeltaArrType_Type) {
        return reinterpret_cast<PyDatetimeScalarObject*>(v)->obval == NPY_DATETIME_NAT;
    }
    // numpy.float64 and other subclasses of float.
    return PyFloat_Check(v) && std::isnan(PyFloat_AS_DOUBLE(v));
}

// The object array with every missing cell as the np.nan object itself. `may_share`: the array
// may be a view of the frame's own memory, so it is copied before the first write.
nb::object missing_as_nan(nb::object array, const MissingMarkers& markers, nb::handle nan,
                          bool may_share) {
    auto* a = reinterpret_cast<PyArrayObject*>(array.ptr());
    if (!PyArray_IS_C_CONTIGUOUS(a) && !PyArray_IS_F_CONTIGUOUS(a)) {
        array = checked(PyArray_NewCopy(a, NPY_KEEPORDER));
        a = reinterpret_cast<PyArrayObject*>(array.ptr());
        may_share = false;
    }
    const npy_intp n = PyArray_SIZE(a);
    PyObject** cells = static_cast<PyObject**>(PyArray_DATA(a));
    npy_intp first = 0;
    while (first < n && !is_missing(cells[first], markers, nan.ptr())) ++first;
    if (first == n) return array;
    if (may_share || !PyArray_ISWRITEABLE(a)) {
        array = checked(PyArray_NewCopy(a, NPY_KEEPORDER));
        a = reinterpret_cast<PyArrayObject*>(array.ptr());
        cells = static_cast<PyObject**>(PyArray_DATA(a));
    }
    // The replaced cells are let go after the walk: a float subclass's __del__ is Python code.
    std::vector<PyObject*> replaced;
    for (npy_intp i = first; i < n; ++i) {
        PyObject* old = cells[i];
        if (!is_missing(old, markers, nan.ptr())) continue;
        Py_INCREF(nan.ptr());
        cells[i] = nan.ptr();
        if (old != nullptr) replaced.push_back(old);
    }
    for (PyObject* old : replaced) Py_DECREF(old);
    return array;
}

// ---------------------------------------------------------------- conversion

nb::handle object_type() { return reinterpret_cast<PyObject*>(&PyBaseObject_Type); }

// The result of a library's to_numpy, checked to be the two-dimensional array asked for.
nb::object as_2d_array(nb::object result, int type_num) {
    if (!PyArray_Check(result.ptr()) ||
        PyArray_NDIM(reinterpret_cast<PyArrayObject*>(result.ptr())) != 2) {
        raise(PyExc_TypeError, "the frame's to_numpy() returned %s, not a 2-D array",
              qualified_type_name(result).c_str());
    }
    if (PyArray_TYPE(reinterpret_cast<PyArrayObject*>(result.ptr())) == type_num) return result;
    return checked(PyArray_FROM_OTF(result.ptr(), type_num, NPY_ARRAY_DEFAULT));
}

bool is_number_kind(nb::handle kind) {
    if (!PyUnicode_Check(kind.ptr()) || PyUnicode_GET_LENGTH(kind.ptr()) != 1) return false;
    const Py_UCS4 k = PyUnicode_READ_CHAR(kind.ptr(), 0);
    return k == 'i' || k == 'u' || k == 'f';
}

// Numbers: every column's dtype (nullable and Arrow-backed ones included) of kind int, unsigned
// or float. Booleans, strings, categoricals and dates make an object array.
nb::object pandas_to_array(const Call& c, nb::handle X, nb::handle pandas) {
    nb::object np = c.g["np"];
    nb::object nan = attr(np, "nan");
    nb::object dtypes = call(attr(attr(X, "dtypes"), "tolist"), {});
    const Py_ssize_t n = PyList_Size(dtypes.ptr());
    if (n < 0) raise_current();
    bool numbers = n > 0;
    for (Py_ssize_t j = 0; j < n && numbers; ++j) {
        nb::object dtype = nb::borrow(PyList_GET_ITEM(dtypes.ptr(), j));
        numbers = is_number_kind(attr(dtype, "kind"));
    }
    nb::object to_numpy = attr(X, "to_numpy");
    if (numbers) {
        static nb::handle names = kw_names({"dtype", "na_value"});
        return as_2d_array(call(to_numpy, {attr(np, "float64"), nan}, names), NPY_DOUBLE);
    }
    static nb::handle dtype_name = kw_names({"dtype"});
    nb::object array = as_2d_array(call(to_numpy, {object_type()}, dtype_name), NPY_OBJECT);
    nb::object na = attr_if_present(pandas, "NA");
    nb::object nat = attr_if_present(pandas, "NaT");
    MissingMarkers markers;
    markers.na = na.is_valid() ? na.ptr() : nullptr;
    markers.nat_type = nat.is_valid() ? Py_TYPE(nat.ptr()) : nullptr;
    // An object column's block comes back as a view.
    return missing_as_nan(std::move(array), markers, nan, true);
}

nb::object polars_to_array(const Call& c, nb::handle X, nb::handle polars) {
    nb::object np = c.g["np"];
    nb::object dtypes = checked(PySequence_List(attr(X, "dtypes").ptr()));
    const Py_ssize_t n = PyList_GET_SIZE(dtypes.ptr());
    bool numbers = n > 0;
    for (Py_ssize_t j = 0; j < n && numbers; ++j) {
        nb::object dtype = nb::borrow(PyList_GET_ITEM(dtypes.ptr(), j));
        numbers = truthy(call(attr(dtype, "is_numeric"), {}));
    }
    if (numbers) {
        // Cast by polars, so that nulls of every number type (decimals included) become NaN.
        nb::object floats = call(attr(X, "cast"), {attr(polars, "Float64")});
        return as_2d_array(call(attr(floats, "to_numpy"), {}), NPY_DOUBLE);
    }
    // Polars builds object arrays afresh (nulls as None); an all-boolean or all-date frame comes
    // back typed and is turned into objects here.
    nb::object array = as_2d_array(call(attr(X, "to_numpy"), {}), NPY_OBJECT);
    return missing_as_nan(std::move(array), MissingMarkers{}, attr(np, "nan"), false);
}

// The frame's column names as an object array of str, or invalid when they are not all strings
// (such a frame has no feature names). Names of mixed types are refused as scikit-learn does.
nb::object frame_feature_names(nb::handle X) {
    nb::object columns = attr(X, "columns");
    nb::object names = checked(
        PyArray_FROM_OTF(columns.ptr(), NPY_OBJECT, NPY_ARRAY_DEFAULT | NPY_ARRAY_ENSURECOPY));
    if (PyArray_NDIM(reinterpret_cast<PyArrayObject*>(names.ptr())) != 1) return nb::object();
    nb::object list = checked(PySequence_List(names.ptr()));
    const Py_ssize_t n = PyList_GET_SIZE(list.ptr());
    if (n == 0) return nb::object();
    nb::object types = checked(PySet_New(nullptr));
    for (Py_ssize_t j = 0; j < n; ++j) {
        nb::handle type = reinterpret_cast<PyObject*>(Py_TYPE(PyList_GET_ITEM(list.ptr(), j)));
        if (PySet_Add(types.ptr(), attr(type, "__qualname__").ptr()) < 0) raise_current();
    }
    nb::object sorted_types = checked(PySequence_List(types.ptr()));
    if (PyList_Sort(sorted_types.ptr()) < 0) raise_current();
    nb::object str_name = checked(PyUnicode_FromString("str"));
    const int has_str = PySet_Contains(types.ptr(), str_name.ptr());
    if (has_str < 0) raise_current();
    const Py_ssize_t kinds = PySet_GET_SIZE(types.ptr());
    if (kinds > 1 && has_str) {
        raise(PyExc_TypeError,
              "Feature names are only supported if all input features have string names, but "
              "your input has %R as feature name / column name types. If you want feature names "
              "to be stored and validated, you must convert them all to strings, by using "
              "X.columns = X.columns.astype(str) for example. Otherwise you can remove feature / "
              "column names from your input data, or convert them all to a non-string data type.",
              sorted_types.ptr());
    }
    return kinds == 1 && has_str ? names : nb::object();
}

// Sorted names of `a` that are not in `b`.
nb::object sorted_difference(nb::handle a, nb::handle b) {
    nb::object set_a = checked(PySet_New(a.ptr()));
    nb::object set_b = checked(PySet_New(b.ptr()));
    nb::object rest = checked(PyNumber_Subtract(set_a.ptr(), set_b.ptr()));
    nb::object list = checked(PySequence_List(rest.ptr()));
    if (PyList_Sort(list.ptr()) < 0) raise_current();
    return list;
}

// At most five names, one "- name" line each.
std::string name_lines(nb::handle names) {
    std::string out;
    const Py_ssize_t n = PyList_GET_SIZE(names.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i >= 5) {
            out += "- ...\n";
            break;
        }
        out += "- " + utf8(str_of(PyList_GET_ITEM(names.ptr(), i))) + "\n";
    }
    return out;
}

nb::object class_name(nb::handle self) { return attr(attr(self, "__class__"), "__name__"); }

void warn(const char* format, nb::handle self) {
    if (PyErr_WarnFormat(PyExc_UserWarning, 1, format, class_name(self).ptr()) < 0) {
        raise_current();
    }
}

}  // namespace

Input accept_input(const Call& c, nb::handle self, nb::handle X, const char* method) {
    Input in;
    in.caller = X;
    // Arrays first: the path every NumPy caller takes costs one type test.
    if (PyArray_Check(X.ptr()) || PyList_Check(X.ptr()) || PyTuple_Check(X.ptr())) {
        in.array = nb::borrow(X);
        return in;
    }
    nb::object pandas = loaded_module("pandas");
    nb::object polars = loaded_module("polars");
    const bool is_pandas = pandas.is_valid() && is_instance_of(X, pandas, "DataFrame");
    const bool is_polars =
        !is_pandas && polars.is_valid() && is_instance_of(X, polars, "DataFrame");
    if (is_pandas || is_polars) {
        try {
            in.array = is_pandas ? pandas_to_array(c, X, pandas) : polars_to_array(c, X, polars);
        } catch (nb::python_error& e) {
            if (!is_ordinary(e)) throw;
            Handling handling(e);
            raise(PyExc_TypeError, "%s.%s could not convert the %s to an array: %s",
                  Py_TYPE(self.ptr())->tp_name, method, qualified_type_name(X).c_str(),
                  short_repr(e.value().ptr()).c_str());
        }
        in.names = frame_feature_names(X);
        in.from_frame = true;
        return in;
    }
    // A Series, an Index or a lazy frame, a dict, a scalar: nothing with rows and columns.
    if (from_package(X, "pandas") || from_package(X, "polars") || !has_attr(X, "shape")) {
        refuse(self, X, method);
    }
    in.array = nb::borrow(X);
    return in;
}

void record_feature_names(nb::handle self, const Input& in) {
    if (in.names.is_valid()) {
        set_attr(self, "feature_names_in_", in.names);
    } else if (has_attr(self, "feature_names_in_")) {
        // Fitted anew on data without names: the old names no longer describe the columns.
        if (PyObject_DelAttr(self.ptr(), interned("feature_names_in_")) < 0) raise_current();
    }
}

void check_feature_names(nb::handle self, const Input& in) {
    nb::object fitted = attr_if_present(self, "feature_names_in_");
    const bool fitted_has = fitted.is_valid() && !fitted.is_none();
    const bool x_has = in.names.is_valid();
    if (!fitted_has && !x_has) return;
    if (!fitted_has) {
        warn("X has feature names, but %U was fitted without feature names", self);
        return;
    }
    if (!x_has) {
        warn("X does not have valid feature names, but %U was fitted with feature names", self);
        return;
    }
    nb::object seen = checked(PySequence_List(fitted.ptr()));
    nb::object now = checked(PySequence_List(in.names.ptr()));
    const Py_ssize_t n = PyList_GET_SIZE(seen.ptr());
    bool same = n == PyList_GET_SIZE(now.ptr());
    for (Py_ssize_t j = 0; same && j < n; ++j) {
        // The lists hold their own references: a comparison that runs Python code cannot free
        // the names being compared.
        const int eq = PyObject_RichCompareBool(PyList_GET_ITEM(seen.ptr(), j),
                                                PyList_GET_ITEM(now.ptr(), j), Py_EQ);
        if (eq < 0) raise_current();
        same = eq == 1;
    }
    if (same) return;
    nb::object unexpected = sorted_difference(now, seen);
    nb::object missing = sorted_difference(seen, now);
    std::string message = "The feature names should match those that were passed during fit.\n";
    if (PyList_GET_SIZE(unexpected.ptr()) > 0) {
        message += "Feature names unseen at fit time:\n" + name_lines(unexpected);
    }
    if (PyList_GET_SIZE(missing.ptr()) > 0) {
        message += "Feature names seen at fit time, yet now missing:\n" + name_lines(missing);
    }
    if (PyList_GET_SIZE(unexpected.ptr()) == 0 && PyList_GET_SIZE(missing.ptr()) == 0) {
        message += "Feature names must be in the same order as they were in fit.\n";
    }
    nb::object text = checked(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "strict"));
    PyErr_SetObject(PyExc_ValueError, text.ptr());
    throw nb::python_error();
}

}  // namespace tabrix::exportable
