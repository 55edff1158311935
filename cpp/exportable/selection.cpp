// Selection and shaping: transformers that return their input, or a selection, permutation or
// per-slice reduction of it.
#include "exportable/families.h"

#include <string>
#include <utility>

namespace tabrix::exportable {

namespace {

// X[rows, columns], with `:` given as full_slice().
nb::handle full_slice() {
    static PyObject* all = PySlice_New(nullptr, nullptr, nullptr);
    if (!all) raise_current();
    return all;
}

nb::object index_2d(nb::handle X, nb::handle rows, nb::handle columns) {
    nb::object key = checked(PyTuple_Pack(2, rows.ptr(), columns.ptr()));
    return checked(PyObject_GetItem(X.ptr(), key.ptr()));
}

// `first, second = value`, failing with the interpreter's own unpacking errors.
std::pair<nb::object, nb::object> unpack_pair(nb::handle value) {
    PyObject* v = value.ptr();
    PyObject* it = PyObject_GetIter(v);
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(v)->tp_iter == nullptr && !PySequence_Check(v)) {
            PyErr_Clear();
            raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(v)->tp_name);
        }
        raise_current();
    }
    nb::object iterator = nb::steal(it);
    nb::object items[2];
    for (int i = 0; i < 2; ++i) {
        PyObject* item = PyIter_Next(it);
        if (!item) {
            if (PyErr_Occurred()) raise_current();
            raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
        }
        items[i] = nb::steal(item);
    }
    PyObject* extra = PyIter_Next(it);
    if (extra) {
        Py_DECREF(extra);
#if PY_VERSION_HEX >= 0x030E0000
        // From 3.14 the interpreter also reports the length of containers that know it.
        if (PyList_CheckExact(v) || PyTuple_CheckExact(v) || PyDict_CheckExact(v)) {
            const Py_ssize_t n = PyDict_CheckExact(v) ? PyDict_Size(v) : Py_SIZE(v);
            raise_format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", n);
        }
#endif
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) raise_current();
    return {std::move(items[0]), std::move(items[1])};
}

bool equals_int(nb::handle value, long number) {
    nb::object n = checked(PyLong_FromLong(number));
    return truthy(checked(PyObject_RichCompare(value.ptr(), n.ptr(), Py_EQ)));
}

nb::object new_list() { return checked(PyList_New(0)); }

}  // namespace

// ---------------------------------------------------------------- ColumnSelector

namespace column_selector {

const TraceTexts texts("ColumnSelector");

// A list is described by its length and one column, anything else by the shape text of
// `described`; the test is always on the input X.
std::string size_text(nb::handle X, nb::handle described) {
    if (PyList_Check(X.ptr())) {
        const Py_ssize_t n = PyObject_Length(X.ptr());
        if (n < 0) raise_current();
        return std::to_string(n) + "x1";
    }
    return shape_text(described);
}

nb::object init(const Call& c) {
    nb::handle self = c[0], columns_indices_list = c[1], activate_flag = c[2];
    set_attr(self, "activate_flag", activate_flag);
    set_attr(self, "columns_indices_list", columns_indices_list);
    set_attr(self, "columns_selected_flag", Py_False);
    return nb::none();
}

nb::object fit(const Call& c) {
    nb::handle self = c[0], X = c[1];
    assert_2d(X);
    check_n_features(self, X, true);
    Trace trace(c);
    if (c.g.flag("debug")) trace.start_sized(texts.fit_start, size_text(X, X));
    if (c.g.flag("debug")) trace.end_sized(texts.fit_end, size_text(X, X));
    return nb::borrow(self);
}

nb::object transform(const Call& c) {
    nb::handle self = c[0], X = c[1];
    check_array(c, X);
    // A switched-off selector passes any column count through.
    if (has_attr(self, "n_features_in_") && truthy(attr(self, "activate_flag"))) check_n_features(self, X, false);
    Trace trace(c);
    if (c.g.flag("debug")) trace.start_sized(texts.transform_start, size_text(X, X));
    nb::object Y;
    if (truthy(attr(self, "activate_flag"))) {
        static nb::handle names = kw_names({"columns_indices_list"});
        nb::object select = c.g["numpy_select_columns"];
        nb::object result = call(select, {X, attr(self, "columns_indices_list")}, names);
        // Unpacked whole before anything is stored, so a malformed result leaves the flag as it was.
        auto selected = unpack_pair(result);
        Y = std::move(selected.first);
        set_attr(self, "columns_selected_flag", selected.second);
    } else {
        set_attr(self, "columns_selected_flag", Py_False);
        Y = nb::borrow(X);
    }
    if (c.g.flag("debug")) trace.end_sized(texts.transform_end, size_text(X, Y));
    return_trace(c, self, X, Y);
    return Y;
}

}  // namespace column_selector

ClassDef column_selector_class(const Globals&) {
    static const std::string init_doc =
        method_doc({":param columns_indices_list: list of indices to select numpy columns or list elements",
                    ":param activate_flag: determines whether transformer is active or not"});
    std::vector<Param> init_params;
    init_params.push_back(required("self"));
    init_params.push_back(required("columns_indices_list"));
    init_params.push_back(optional("activate_flag", Py_True));
    return ClassDef{"ColumnSelector",
                    class_doc({"Selects a subset of columns for a given numpy array or subset of elements of a list"}),
                    true,
                    MethodDef{"__init__", init_doc.c_str(), std::move(init_params), native<column_selector::init>},
                    MethodDef{"fit", nullptr, fit_params(), native<column_selector::fit>},
                    MethodDef{"transform", nullptr, transform_params(), native<column_selector::transform>}};
}

// ---------------------------------------------------------------- NumpyColumnSelector

namespace numpy_column_selector {

const TraceTexts texts("NumpyColumnSelector");

nb::object init(const Call& c) {
    nb::handle self = c[0], columns = c[1];
    set_attr(self, "columns", columns.is_none() ? new_list() : nb::borrow(columns));
    return nb::none();
}

nb::object fit(const Call& c) {
    nb::handle self = c[0], X = c[1];
    check_n_features(self, X, true);
    return nb::borrow(self);
}

nb::object transform(const Call& c) {
    nb::handle self = c[0], X = c[1];
    assert_2d(X);
    check_array(c, X);
    check_fitted_n_features(self, X);
    Trace trace(c);
    trace.start(texts.transform_start, X);
    nb::object columns = attr(self, "columns");
    // Nothing selected: the input itself, not a copy.
    nb::object Y = truthy(columns) ? index_2d(X, full_slice(), columns) : nb::borrow(X);
    trace.end(texts.transform_end, Y, EndLine::NoParen);
    return_trace(c, self, X, Y);
    return Y;
}

}  // namespace numpy_column_selector

ClassDef numpy_column_selector_class(const Globals&) {
    std::vector<Param> init_params;
    init_params.push_back(required("self"));
    init_params.push_back(optional("columns", Py_None));
    return ClassDef{"NumpyColumnSelector", class_doc({"Selects a subset of columns of a numpy array"}), true,
                    MethodDef{"__init__", nullptr, std::move(init_params), native<numpy_column_selector::init>},
                    MethodDef{"fit", nullptr, fit_params(), native<numpy_column_selector::fit>},
                    MethodDef{"transform", nullptr, transform_params(), native<numpy_column_selector::transform>}};
}

// ---------------------------------------------------------------- NumpyApplyAlongAxis

namespace numpy_apply_along_axis {

const TraceTexts texts("NumpyApplyAlongAxis");

nb::object init(const Call& c) {
    nb::handle self = c[0], func1d = c[1], axis = c[2], index_list = c[3], args = c[4], kwargs = c[5];
    set_attr(self, "func1d", func1d);
    nb::object zero = checked(PyLong_FromLong(0));
    set_attr(self, "axis", axis.is_none() ? zero : nb::borrow(axis));
    set_attr(self, "index_list", index_list.is_none() ? new_list() : nb::borrow(index_list));
    set_attr(self, "args", args);
    set_attr(self, "kwargs", kwargs);
    return nb::none();
}

nb::object fit(const Call& c) {
    nb::handle self = c[0], X = c[1];
    check_n_features(self, X, true);
    return nb::borrow(self);
}

nb::object transform(const Call& c) {
    nb::handle self = c[0], X = c[1];
    assert_2d(X);
    check_array(c, X);
    check_fitted_n_features(self, X);
    // No timings in this class: debug_timings is not read.
    if (c.g.flag("debug")) print_line(c, texts.transform_start + shape_text(X) + ")");
    nb::object Y;
    nb::object index_list = attr(self, "index_list");
    if (!truthy(index_list)) {
        Y = nb::borrow(X);
    } else {
        nb::object axis = attr(self, "axis");
        const bool columns = equals_int(axis, 0);
        if (columns || equals_int(axis, 1)) {
            nb::object apply = attr(c.g["np"], "apply_along_axis");
            nb::object func1d = attr(self, "func1d");
            nb::object slice = columns ? index_2d(X, full_slice(), index_list) : index_2d(X, index_list, full_slice());
            Y = call(apply, {func1d, axis, slice});
        } else {
            // No result exists for this axis; callers see the same exception type as always,
            // with the reason attached.
            raise_format(PyExc_UnboundLocalError,
                         "local variable 'Y' referenced before assignment (axis must be 0 or 1, got %R)",
                         axis.ptr());
        }
    }
    if (c.g.flag("debug")) print_line(c, texts.transform_end + shape_text(Y) + ")");
    return_trace(c, self, X, Y);
    return Y;
}

}  // namespace numpy_apply_along_axis

ClassDef numpy_apply_along_axis_class(const Globals&) {
    std::vector<Param> init_params;
    init_params.push_back(required("self"));
    init_params.push_back(required("func1d"));
    init_params.push_back(optional("axis", Py_None));
    init_params.push_back(optional("index_list", Py_None));
    init_params.push_back(var_positional("args"));
    init_params.push_back(var_keyword("kwargs"));
    return ClassDef{
        "NumpyApplyAlongAxis",
        class_doc({"Transformer that applies a function to 1-D slices along the given axis on a subset of rows or columns"}),
        true,
        MethodDef{"__init__", nullptr, std::move(init_params), native<numpy_apply_along_axis::init>},
        MethodDef{"fit", nullptr, fit_params(), native<numpy_apply_along_axis::fit>},
        MethodDef{"transform", nullptr, transform_params(), native<numpy_apply_along_axis::transform>}};
}

// ---------------------------------------------------------------- NumpyPermuteArray

namespace numpy_permute_array {

const TraceTexts texts("NumpyPermuteArray");

nb::object init(const Call& c) {
    nb::handle self = c[0], permutation_indices = c[1], axis = c[2];
    set_attr(self, "permutation_indices", permutation_indices.is_none() ? new_list() : nb::borrow(permutation_indices));
    nb::object zero = checked(PyLong_FromLong(0));
    set_attr(self, "axis", axis.is_none() ? zero : nb::borrow(axis));
    return nb::none();
}

nb::object fit(const Call& c) {
    nb::handle self = c[0], X = c[1];
    check_n_features(self, X, true);
    return nb::borrow(self);
}

nb::object transform(const Call& c) {
    nb::handle self = c[0], X = c[1];
    assert_2d(X);
    check_array(c, X);
    check_fitted_n_features(self, X);
    Trace trace(c);
    trace.start(texts.transform_start, X);
    nb::object permute = c.g["numpy_permute_array"];
    nb::object Y = call(permute, {X, attr(self, "permutation_indices"), attr(self, "axis")});
    // Both end lines describe the input, and the untimed one is followed by an empty line.
    trace.end(texts.transform_end, X, EndLine::ParenThenNewline);
    // Always two-dimensional: a one-dimensional result becomes a single column.
    static nb::handle minus_one = PyLong_FromLong(-1);
    nb::object reshape = attr(Y, "reshape");
    nb::object rows = checked(PySequence_GetItem(attr(Y, "shape").ptr(), 0));
    Y = call(reshape, {rows, minus_one});
    return_trace(c, self, X, Y);
    return Y;
}

}  // namespace numpy_permute_array

ClassDef numpy_permute_array_class(const Globals&) {
    static const std::string init_doc =
        method_doc({":param permutation_indices: list of indexes based on which columns will be rearranged",
                    ":param axis: 0 permute along columns, 1, permute along rows"});
    std::vector<Param> init_params;
    init_params.push_back(required("self"));
    init_params.push_back(optional("permutation_indices", Py_None));
    init_params.push_back(optional("axis", Py_None));
    return ClassDef{"NumpyPermuteArray", class_doc({"Rearranges columns or rows of a numpy array based on a list of indices"}),
                    true,
                    MethodDef{"__init__", init_doc.c_str(), std::move(init_params), native<numpy_permute_array::init>},
                    MethodDef{"fit", nullptr, fit_params(), native<numpy_permute_array::fit>},
                    MethodDef{"transform", nullptr, transform_params(), native<numpy_permute_array::transform>}};
}

// ---------------------------------------------------------------- AllPassPreprocessingTransformer

namespace all_pass {

const TraceTexts texts("AllPassPreprocessingTransformer");

nb::object init(const Call&) { return nb::none(); }

nb::object fit(const Call& c) {
    nb::handle self = c[0], X = c[1];
    check_n_features(self, X, true);
    Trace trace(c);
    trace.start(texts.fit_start, X);
    trace.end(texts.fit_end, X);
    return nb::borrow(self);
}

nb::object transform(const Call& c) {
    nb::handle self = c[0], X = c[1];
    assert_2d(X);
    check_array(c, X);
    check_fitted_n_features(self, X);
    Trace trace(c);
    trace.start(texts.transform_start, X);
    nb::handle Y = X;
    trace.end(texts.transform_end, Y);
    return_trace(c, self, X, Y);
    return nb::borrow(Y);
}

}  // namespace all_pass

ClassDef all_pass_class(const Globals&) {
    return ClassDef{"AllPassPreprocessingTransformer", "", false,
                    MethodDef{"__init__", nullptr, {required("self")}, native<all_pass::init>},
                    MethodDef{"fit", nullptr, fit_params(), native<all_pass::fit>},
                    MethodDef{"transform", nullptr, transform_params(), native<all_pass::transform>}};
}

}  // namespace tabrix::exportable
