// Value cleaning and type conversion: transformers that rewrite cell values, column by column
// or as a whole, through the utility module's kernels.
//
// The kernels do the cell work; what these classes add is which columns go to which kernel and
// how the results come back into one array, with NumPy's indexing (`X[:, j]`, `Y[:, j] = value`).
#include "python/numpy_api.h"

#include "exportable/families.h"

namespace tabrix::exportable {
namespace {

// ---------------------------------------------------------------- shared pieces

const char* const utility_module_name = "tabrix_libs.utils.exportable_utils";

// fit of a switchable class that learns nothing: the switch's truth is still taken, so a
// value without one fails in fit as in transform.
void nothing_to_learn(nb::handle self, nb::handle, nb::handle) { truthy(attr(self, "activate_flag")); }

// `value if value is not None else fallback()`, the constructor default for lists and markers.
template <typename Fallback>
nb::object or_default(nb::handle value, Fallback fallback) {
    if (value.is_none()) return fallback();
    return nb::borrow(value);
}

PyArrayObject* as_exact_array(nb::handle obj) {
    return PyArray_CheckExact(obj.ptr()) ? reinterpret_cast<PyArrayObject*>(obj.ptr()) : nullptr;
}

// Y[:, j] = value goes through NumPy's own column assignment: its broadcasting, conversions and
// errors apply, and its strided copy of object references is faster than a cell-by-cell loop.

// Y[:, j] = X[:, j].copy()
void copy_column(nb::handle Y, nb::handle X, Py_ssize_t j) {
    nb::object column = get_column(X, j);
    // Once written into Y, the copy of a plain array column cannot be told apart from the
    // column itself, so it is skipped; any other type gets its own copy() as callers expect.
    if (!as_exact_array(column)) column = call(attr(column, "copy"), {});
    set_column(Y, j, column);
}

// seq[j] for a list of per-column settings.
nb::object item_at(nb::handle seq, Py_ssize_t j) {
    if (PyList_CheckExact(seq.ptr()) && j < PyList_GET_SIZE(seq.ptr())) {
        return nb::borrow(PyList_GET_ITEM(seq.ptr(), j));
    }
    nb::object index = checked(PyLong_FromSsize_t(j));
    return checked(PyObject_GetItem(seq.ptr(), index.ptr()));
}

// X.copy()
nb::object copy_of(nb::handle X) {
    if (PyArrayObject* x = as_exact_array(X)) return checked(PyArray_NewCopy(x, NPY_CORDER));
    return call(attr(X, "copy"), {});
}

// `from tabrix_libs.utils.exportable_utils import <name>`, at the time of the call.
nb::object import_utility(const char* name) {
    nb::object module = checked(PyImport_ImportModule(utility_module_name));
    PyObject* value = PyObject_GetAttrString(module.ptr(), name);
    if (value) return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_current();
    PyErr_Clear();
    // Worded as the import statement reports it, with the module's location.
    nb::object path;
    PyObject* file = PyObject_GetAttrString(module.ptr(), "__file__");
    if (file && PyUnicode_Check(file)) {
        path = nb::steal(file);
    } else {
        Py_XDECREF(file);
        PyErr_Clear();
    }
    nb::object message = checked(PyUnicode_FromFormat("cannot import name '%s' from '%s' (%S)", name, utility_module_name,
                                                      path.is_valid() ? path.ptr() : nb::str("unknown location").ptr()));
    nb::object module_name = checked(PyUnicode_FromString(utility_module_name));
    PyErr_SetImportError(message.ptr(), module_name.ptr(), path.is_valid() ? path.ptr() : nullptr);
    raise_current();
}

// ---------------------------------------------------------------- NumpyReplaceMissingValues

namespace replace_missing {

const Protocol protocol("NumpyReplaceMissingValues", [] {
    ProtocolRow row;
    row.fit_traces = false;
    return row;
}());

nb::object init(const Call& c) {
    nb::handle self = c[0];
    set_attr(self, "missing_values", or_default(c[1], new_list));
    set_attr(self, "filling_values", or_default(c[2], [&c] { return attr(c.g["np"], "nan"); }));
    return nb::none();
}

nb::object fit(const Call& c) { return protocol.fit(c); }

nb::object transform(const Call& c) {
    return protocol.transform(c, [&c](nb::handle self, nb::handle X) {
        static nb::handle names = kw_names({"filling_value", "reference_values_list", "invert_flag"});
        return call(c.g["numpy_replace_values"], {X, attr(self, "filling_values"), attr(self, "missing_values"), Py_False},
                    names);
    });
}

}  // namespace replace_missing

// ---------------------------------------------------------------- NumpyReplaceUnknownValues

namespace replace_unknown {

const Protocol protocol("NumpyReplaceUnknownValues", [] {
    ProtocolRow row;
    row.fit_traces = false;
    row.end_line = EndLine::ParenThenNewline;
    return row;
}());

nb::object init(const Call& c) {
    nb::handle self = c[0];
    set_attr(self, "missing_values_reference_list",
             or_default(c[3], [&c] { return c.g["global_missing_values_reference_list"]; }));
    set_attr(self, "known_values_list", or_default(c[1], new_list));
    set_attr(self, "filling_values", or_default(c[2], [&c] { return attr(c.g["np"], "nan"); }));
    set_attr(self, "filling_values_list", or_default(c[4], new_list));
    return nb::none();
}

nb::object fit(const Call& c) {
    return protocol.fit(c, [](nb::handle self, nb::handle X, nb::handle) {
        // The known values are collected once per instance, into the very list the instance
        // holds (the caller's own list when one was given).
        nb::object known = attr(self, "known_values_list");
        if (!PyList_CheckExact(known.ptr()) || PyList_GET_SIZE(known.ptr()) != 0) return;
        nb::object get_categories = import_utility("numpy_get_categories");
        nb::object rows = call(nb::handle(reinterpret_cast<PyObject*>(&PyRange_Type)), {shape_item(X, 0)});
        static nb::handle names = kw_names({"categories_list2"});
        call(get_categories, {X, rows, attr(self, "missing_values_reference_list"), known}, names);
    });
}

nb::object transform(const Call& c) {
    return protocol.transform(c, [&c](nb::handle self, nb::handle X) {
        static nb::handle names = kw_names({"filling_value", "reference_values_list", "invert_flag"});
        return call(c.g["numpy_replace_values"],
                    {X, attr(self, "filling_values"), attr(self, "known_values_list"), Py_True}, names);
    });
}

}  // namespace replace_unknown

// ---------------------------------------------------------------- CompressStrings

namespace compress_strings {

const Protocol protocol("CompressStrings", ProtocolRow{});

nb::object init(const Call& c) {
    nb::handle self = c[0];
    set_attr(self, "compress_type", c[1]);
    set_attr(self, "dtypes_list", or_default(c[2], new_list));
    set_attr(self, "misslist_list", or_default(c[3], new_list));
    set_attr(self, "activate_flag", c[5]);
    set_attr(self, "missing_values_reference_list",
             or_default(c[4], [&c] { return c.g["global_missing_values_reference_list"]; }));
    return nb::none();
}

nb::object fit(const Call& c) { return protocol.fit(c, nothing_to_learn); }

// The input with each "char_str" column replaced by its compressed form.
nb::object compress(const Call& c, nb::handle self, nb::handle X) {
    static nb::handle char_str = PyUnicode_InternFromString("char_str");
    nb::object Y = copy_of(X);
    const Py_ssize_t num_columns = as_size(shape_item(X, 1));
    nb::object dtypes = attr(self, "dtypes_list");
    nb::object misslists = attr(self, "misslist_list");
    nb::object compress_type = attr(self, "compress_type");
    for (Py_ssize_t j = 0; j < num_columns; ++j) {
        nb::object Xcol = get_column(X, j);  // the input's column, not the copy's
        nb::object dtype_str = item_at(dtypes, j);
        nb::object misslist = item_at(misslists, j);
        if (equals(dtype_str, char_str)) {
            nb::object compressed = call(c.g["compress_str_column"], {Xcol, misslist, compress_type});
            set_column(Y, j, compressed);
        }
    }
    return Y;
}

nb::object transform(const Call& c) {
    return protocol.transform(c, [&c](nb::handle self, nb::handle X) {
        return truthy(attr(self, "activate_flag")) ? compress(c, self, X) : nb::borrow(X);
    });
}

}  // namespace compress_strings

// ---------------------------------------------------------------- FloatStr2Float

namespace float_str2float {

// Asserts in fit, not in transform.
const Protocol protocol("FloatStr2Float", [] {
    ProtocolRow row;
    row.fit_asserts = true;
    row.transform_asserts = false;
    return row;
}());

nb::object init(const Call& c) {
    nb::handle self = c[0];
    set_attr(self, "dtypes_list", c[1]);
    set_attr(self, "missing_values_reference_list",
             call(c.g["setValueOrDefault"], {c[2], c.g["global_missing_values_reference_list"]}));
    set_attr(self, "activate_flag", c[3]);
    return nb::none();
}

nb::object fit(const Call& c) { return protocol.fit(c, nothing_to_learn); }

// A new object array: "float_str" columns converted, every other column copied.
nb::object convert(const Call& c, nb::handle self, nb::handle X) {
    static nb::handle float_str = PyUnicode_InternFromString("float_str");
    nb::object num_rows = shape_item(X, 0);
    nb::object num_columns_obj = shape_item(X, 1);
    const Py_ssize_t num_columns = as_size(num_columns_obj);
    static nb::handle dtype_name = kw_names({"dtype"});
    nb::object shape = checked(PyTuple_Pack(2, num_rows.ptr(), num_columns_obj.ptr()));
    nb::object Y = call(attr(c.g["np"], "empty"), {shape, nb::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type))},
                        dtype_name);

    nb::object dtypes = attr(self, "dtypes_list");
    nb::object missing_markers = attr(self, "missing_values_reference_list");
    nb::object tags = checked(PyObject_GetIter(dtypes.ptr()));
    Py_ssize_t j = 0;
    while (PyObject* next = PyIter_Next(tags.ptr())) {
        nb::object tag = nb::steal(next);
        if (equals(tag, float_str)) {
            nb::object Xcol = get_column(X, j);
            nb::object converted = call(c.g["numpy_floatstr2float"], {Xcol, missing_markers});
            set_column(Y, j, converted);
        } else {
            copy_column(Y, X, j);  // past the last column of X: NumPy's IndexError
        }
        ++j;
    }
    if (PyErr_Occurred()) raise_current();
    // Columns without a tag are kept as they are: a shorter tag list must not drop data.
    for (; j < num_columns; ++j) copy_column(Y, X, j);
    return Y;
}

nb::object transform(const Call& c) {
    return protocol.transform(c, [&c](nb::handle self, nb::handle X) {
        return truthy(attr(self, "activate_flag")) ? convert(c, self, X) : nb::borrow(X);
    });
}

}  // namespace float_str2float

// ---------------------------------------------------------------- whole-array conversions

// boolean2float and float32_transform: one utility call on the whole of X when switched on.
template <const Protocol& P, const char* Utility>
struct WholeArray {
    static nb::object init(const Call& c) {
        set_attr(c[0], "activate_flag", c[1]);
        return nb::none();
    }

    static nb::object fit(const Call& c) { return P.fit(c, nothing_to_learn); }

    static nb::object transform(const Call& c) {
        return P.transform(c, [&c](nb::handle self, nb::handle X) {
            return truthy(attr(self, "activate_flag")) ? call(c.g[Utility], {X}) : nb::borrow(X);
        });
    }
};

const Protocol boolean2float_protocol("boolean2float", ProtocolRow{});
const char numpy_boolean2float_name[] = "numpy_boolean2float";
using Boolean2Float = WholeArray<boolean2float_protocol, numpy_boolean2float_name>;

const Protocol float32_protocol("float32_transform", ProtocolRow{});
const char convert_float32_name[] = "convert_float32";
using Float32Transform = WholeArray<float32_protocol, convert_float32_name>;

}  // namespace

// ---------------------------------------------------------------- class definitions

ClassDef numpy_replace_missing_values_class(const Globals& g) {
    static const std::string init_doc = method_doc({
        ":param missing_values: list of values considered as \"missing\" for the array",
        ":param filling_values: value to replace the missing values",
    });
    // The default is NumPy's nan as it is when the class is created.
    nb::object nan = attr(g["np"], "nan");
    return ClassDef{
        "NumpyReplaceMissingValues",
        class_doc({"Given a numpy array and a reference list of missing values for it,",
                   "replaces missing values with a special value (typically a special missing value such as np.nan)."}),
        true,
        MethodDef{"__init__", init_doc.c_str(),
                  params({required("self"), required("missing_values"), optional("filling_values", nan.ptr())}),
                  native<replace_missing::init>},
        MethodDef{"fit", nullptr, fit_params(), native<replace_missing::fit>},
        MethodDef{"transform", nullptr, transform_params(), native<replace_missing::transform>}};
}

ClassDef numpy_replace_unknown_values_class(const Globals&) {
    static const std::string init_doc = method_doc({
        ":param known_values_list: reference list of lists of known values for each column",
        ":param filling_values: special value assigned to unknown values",
    });
    return ClassDef{
        "NumpyReplaceUnknownValues",
        class_doc({"Given a numpy array and a reference list of known values for each column,",
                   "replaces values that are not part of a reference list with a special value",
                   "(typically np.nan). This is typically used to remove labels for columns in a test dataset",
                   "that have not been seen in the corresponding columns of the training dataset."}),
        true,
        MethodDef{"__init__", init_doc.c_str(),
                  params({required("self"), optional("known_values_list", Py_None), optional("filling_values", Py_None),
                          optional("missing_values_reference_list", Py_None), optional("filling_values_list", Py_None)}),
                  native<replace_unknown::init>},
        MethodDef{"fit", nullptr, fit_params(), native<replace_unknown::fit>},
        MethodDef{"transform", nullptr, transform_params(), native<replace_unknown::transform>}};
}

ClassDef compress_strings_class(const Globals&) {
    nb::object string = nb::str("string");
    return ClassDef{
        "CompressStrings",
        class_doc({"Removes spaces and special characters from string columns of a numpy array"}),
        true,
        MethodDef{"__init__", nullptr,
                  params({required("self"), optional("compress_type", string.ptr()), optional("dtypes_list", Py_None),
                          optional("misslist_list", Py_None), optional("missing_values_reference_list", Py_None),
                          optional("activate_flag", Py_True)}),
                  native<compress_strings::init>},
        MethodDef{"fit", nullptr, fit_params(), native<compress_strings::fit>},
        MethodDef{"transform", nullptr, transform_params(), native<compress_strings::transform>}};
}

ClassDef float_str2float_class(const Globals&) {
    return ClassDef{
        "FloatStr2Float", "", false,
        MethodDef{"__init__", nullptr,
                  params({required("self"), required("dtypes_list"), optional("missing_values_reference_list", Py_None),
                          optional("activate_flag", Py_True)}),
                  native<float_str2float::init>},
        MethodDef{"fit", nullptr, fit_params(), native<float_str2float::fit>},
        MethodDef{"transform", nullptr, transform_params(), native<float_str2float::transform>}};
}

ClassDef float32_transform_class(const Globals&) {
    return ClassDef{"float32_transform", class_doc({"Transforms a float64 numpy array to float32"}), true,
                    MethodDef{"__init__", nullptr, params({required("self"), optional("activate_flag", Py_True)}),
                              native<Float32Transform::init>},
                    MethodDef{"fit", nullptr, fit_params(), native<Float32Transform::fit>},
                    MethodDef{"transform", nullptr, transform_params(), native<Float32Transform::transform>}};
}

ClassDef boolean2float_class(const Globals&) {
    return ClassDef{"boolean2float", class_doc({"This is a template for classes"}), true,
                    MethodDef{"__init__", nullptr, params({required("self"), optional("activate_flag", Py_True)}),
                              native<Boolean2Float::init>},
                    MethodDef{"fit", nullptr, fit_params(), native<Boolean2Float::fit>},
                    MethodDef{"transform", nullptr, transform_params(), native<Boolean2Float::transform>}};
}

}  // namespace tabrix::exportable
