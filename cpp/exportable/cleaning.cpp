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

// X.copy()
nb::object copy_of(nb::handle X) {
    if (PyArrayObject* x = as_exact_array(X)) return checked(PyArray_NewCopy(x, NPY_CORDER));
    return call(attr(X, "copy"), {});
}

// numpy_replace_values(X, filling_value=..., reference_values_list=..., invert_flag=...)
nb::object replace_values(const Call& c, nb::handle X, nb::handle filling, nb::handle reference,
                          bool invert) {
    static nb::handle names = kw_names({"filling_value", "reference_values_list", "invert_flag"});
    return call(c.g["numpy_replace_values"], {X, filling, reference, invert ? Py_True : Py_False},
                names);
}

// ---------------------------------------------------------------- NumpyReplaceMissingValues

nb::object replace_missing(const Call& c, nb::handle self, nb::handle X) {
    nb::object filling = attr(self, "filling_values");
    nb::object missing = attr(self, "missing_values");
    return replace_values(c, X, filling, missing, false);
}

// ---------------------------------------------------------------- NumpyReplaceUnknownValues

namespace replace_unknown {

// The reference list first, then the other parameters.
void init(Args& a) {
    a.store("missing_values_reference_list");
    a.store_rest();
}

void collect_known_values(const Call& c, nb::handle self, nb::handle X, nb::handle) {
    // The known values are collected once per instance, into the very list the instance
    // holds (the caller's own list when one was given).
    nb::object known = attr(self, "known_values_list");
    if (!PyList_CheckExact(known.ptr()) || PyList_GET_SIZE(known.ptr()) != 0) return;
    nb::object get_categories =
        from_import(c.g.dict(), utility_module_name, {"numpy_get_categories"})[0];
    nb::object rows =
        call(nb::handle(reinterpret_cast<PyObject*>(&PyRange_Type)), {shape_item(X, 0)});
    static nb::handle names = kw_names({"categories_list2"});
    call(get_categories, {X, rows, attr(self, "missing_values_reference_list"), known}, names);
}

nb::object replace(const Call& c, nb::handle self, nb::handle X) {
    nb::object filling = attr(self, "filling_values");
    nb::object known = attr(self, "known_values_list");
    return replace_values(c, X, filling, known, true);
}

}  // namespace replace_unknown

// ---------------------------------------------------------------- CompressStrings

namespace compress_strings {

// The reference list last, after the switch.
void init(Args& a) {
    a.skip("missing_values_reference_list");
    a.store_rest();
    a.store("missing_values_reference_list");
}

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
            nb::object compressed =
                call(c.g["compress_str_column"], {Xcol, misslist, compress_type});
            set_column(Y, j, compressed);
        }
    }
    return Y;
}

}  // namespace compress_strings

// ---------------------------------------------------------------- FloatStr2Float

namespace float_str2float {

// The reference list goes through the utility module's setValueOrDefault.
void init(Args& a) {
    a.store("dtypes_list");
    const Call& c = a.call();
    a.store("missing_values_reference_list",
            call(c.g["setValueOrDefault"], {a.get("missing_values_reference_list"),
                                            c.g["global_missing_values_reference_list"]}));
    a.store_rest();
}

// A new object array: "float_str" columns converted, every other column copied.
nb::object convert(const Call& c, nb::handle self, nb::handle X) {
    static nb::handle float_str = PyUnicode_InternFromString("float_str");
    nb::object num_rows = shape_item(X, 0);
    nb::object num_columns_obj = shape_item(X, 1);
    const Py_ssize_t num_columns = as_size(num_columns_obj);
    static nb::handle dtype_name = kw_names({"dtype"});
    nb::object shape = checked(PyTuple_Pack(2, num_rows.ptr(), num_columns_obj.ptr()));
    nb::object Y =
        call(attr(c.g["np"], "empty"),
             {shape, nb::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type))}, dtype_name);

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

}  // namespace float_str2float

// ---------------------------------------------------------------- whole-array conversions

nb::object booleans_to_floats(const Call& c, nb::handle, nb::handle X) {
    return call(c.g["numpy_boolean2float"], {X});
}

nb::object to_float32(const Call& c, nb::handle, nb::handle X) {
    return call(c.g["convert_float32"], {X});
}

}  // namespace

// ---------------------------------------------------------------- class declarations

const ClassDecl numpy_replace_missing_values =
    ClassDecl("NumpyReplaceMissingValues")
        .doc({"Given a numpy array and a reference list of missing values for it,",
              "replaces missing values with a special value (typically a special missing value "
              "such as np.nan)."})
        // The default is NumPy's nan as it is when the class is created; a None given later is
        // NumPy's nan at that time.
        .params({arg("missing_values").none_as(fresh_list),
                 arg("filling_values", at_creation("np", "nan")).none_as(at_call("np", "nan"))})
        .init_doc({":param missing_values: list of values considered as \"missing\" for the array",
                   ":param filling_values: value to replace the missing values"})
        .row(ProtocolRow().untraced_fit())
        .transform(replace_missing);

const ClassDecl numpy_replace_unknown_values =
    ClassDecl("NumpyReplaceUnknownValues")
        .doc({"Given a numpy array and a reference list of known values for each column,",
              "replaces values that are not part of a reference list with a special value",
              "(typically np.nan). This is typically used to remove labels for columns in a test "
              "dataset",
              "that have not been seen in the corresponding columns of the training dataset."})
        .params({arg("known_values_list", None).none_as(fresh_list),
                 arg("filling_values", None).none_as(at_call("np", "nan")),
                 arg("missing_values_reference_list", None)
                     .none_as(at_call("global_missing_values_reference_list")),
                 arg("filling_values_list", None).none_as(fresh_list)})
        .init_doc(
            {":param known_values_list: reference list of lists of known values for each column",
             ":param filling_values: special value assigned to unknown values"})
        .init(replace_unknown::init)
        .row(ProtocolRow().untraced_fit().end_line_closed(EndLine::ParenThenNewline))
        .fit(replace_unknown::collect_known_values)
        .transform(replace_unknown::replace);

const ClassDecl compress_strings =
    ClassDecl("CompressStrings")
        .doc({"Removes spaces and special characters from string columns of a numpy array"})
        .params({arg("compress_type", "string"), arg("dtypes_list", None).none_as(fresh_list),
                 arg("misslist_list", None).none_as(fresh_list),
                 arg("missing_values_reference_list", None)
                     .none_as(at_call("global_missing_values_reference_list")),
                 arg("activate_flag", true)})
        .init(compress_strings::init)
        .row(ProtocolRow().switched_by("activate_flag"))
        .transform(compress_strings::compress);

const ClassDecl float_str2float =
    ClassDecl("FloatStr2Float")
        .params({arg("dtypes_list"), arg("missing_values_reference_list", None),
                 arg("activate_flag", true)})
        .init(float_str2float::init)
        // Asserts in fit, not in transform.
        .row(ProtocolRow().asserts_in_fit().no_assert_in_transform().switched_by("activate_flag"))
        .transform(float_str2float::convert);

const ClassDecl float32_transform = ClassDecl("float32_transform")
                                        .doc({"Transforms a float64 numpy array to float32"})
                                        .params({arg("activate_flag", true)})
                                        .row(ProtocolRow().switched_by("activate_flag"))
                                        .transform(to_float32);

const ClassDecl boolean2float = ClassDecl("boolean2float")
                                    .doc({"This is a template for classes"})
                                    .params({arg("activate_flag", true)})
                                    .row(ProtocolRow().switched_by("activate_flag"))
                                    .transform(booleans_to_floats);

}  // namespace tabrix::exportable
