// Selection and shaping: transformers that return their input, or a selection, permutation or
// per-slice reduction of it.
#include "exportable/families.h"

#include <string>
#include <utility>

namespace tabrix::exportable {

namespace {

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
    return equals(value, n);
}

}  // namespace

// ---------------------------------------------------------------- ColumnSelector

namespace column_selector {

const Protocol protocol("ColumnSelector", [] {
    ProtocolRow row;
    row.fit_asserts = true;
    row.transform_asserts = false;
    row.list_size_text = true;
    row.n_features_check_needs_activate_flag = true;
    return row;
}());

nb::object init(const Call& c) {
    nb::handle self = c[0], columns_indices_list = c[1], activate_flag = c[2];
    set_attr(self, "activate_flag", activate_flag);
    set_attr(self, "columns_indices_list", columns_indices_list);
    set_attr(self, "columns_selected_flag", Py_False);
    return nb::none();
}

nb::object fit(const Call& c) {
    return protocol.fit(c);
}

nb::object transform(const Call& c) {
    return protocol.transform(c, [&c](nb::handle self, nb::handle X) {
        if (!truthy(attr(self, "activate_flag"))) {
            set_attr(self, "columns_selected_flag", Py_False);
            return nb::borrow(X);
        }
        static nb::handle names = kw_names({"columns_indices_list"});
        nb::object result = call(c.g["numpy_select_columns"], {X, attr(self, "columns_indices_list")}, names);
        // Unpacked whole before anything is stored, so a malformed result leaves the flag as it was.
        auto selected = unpack_pair(result);
        set_attr(self, "columns_selected_flag", selected.second);
        return std::move(selected.first);
    });
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

const Protocol protocol("NumpyColumnSelector", [] {
    ProtocolRow row;
    row.fit_traces = false;
    row.end_line = EndLine::NoParen;
    return row;
}());

nb::object init(const Call& c) {
    nb::handle self = c[0], columns = c[1];
    set_attr(self, "columns", columns.is_none() ? new_list() : nb::borrow(columns));
    return nb::none();
}

nb::object fit(const Call& c) {
    return protocol.fit(c);
}

nb::object transform(const Call& c) {
    return protocol.transform(c, [](nb::handle self, nb::handle X) {
        nb::object columns = attr(self, "columns");
        // Nothing selected: the input itself, not a copy.
        return truthy(columns) ? index_2d(X, full_slice(), columns) : nb::borrow(X);
    });
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

// No timings in this class: debug_timings is never read.
const Protocol protocol("NumpyApplyAlongAxis", [] {
    ProtocolRow row;
    row.fit_traces = false;
    row.transform_timed = false;
    return row;
}());

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
    return protocol.fit(c);
}

nb::object transform(const Call& c) {
    return protocol.transform(c, [&c](nb::handle self, nb::handle X) {
        nb::object index_list = attr(self, "index_list");
        if (!truthy(index_list)) return nb::borrow(X);
        nb::object axis = attr(self, "axis");
        const bool columns = equals_int(axis, 0);
        if (!columns && !equals_int(axis, 1)) {
            // No result exists for this axis; callers see the same exception type as always,
            // with the reason attached.
            raise_format(PyExc_UnboundLocalError,
                         "local variable 'Y' referenced before assignment (axis must be 0 or 1, got %R)",
                         axis.ptr());
        }
        nb::object apply = attr(c.g["np"], "apply_along_axis");
        nb::object func1d = attr(self, "func1d");
        nb::object slice = columns ? index_2d(X, full_slice(), index_list) : index_2d(X, index_list, full_slice());
        return call(apply, {func1d, axis, slice});
    });
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

// Both end lines describe the input, and the untimed one is followed by an empty line.
const Protocol protocol("NumpyPermuteArray", [] {
    ProtocolRow row;
    row.fit_traces = false;
    row.end_line = EndLine::ParenThenNewline;
    row.end_line_describes_input = true;
    return row;
}());

nb::object init(const Call& c) {
    nb::handle self = c[0], permutation_indices = c[1], axis = c[2];
    set_attr(self, "permutation_indices", permutation_indices.is_none() ? new_list() : nb::borrow(permutation_indices));
    nb::object zero = checked(PyLong_FromLong(0));
    set_attr(self, "axis", axis.is_none() ? zero : nb::borrow(axis));
    return nb::none();
}

nb::object fit(const Call& c) {
    return protocol.fit(c);
}

nb::object transform(const Call& c) {
    auto permute = [&c](nb::handle self, nb::handle X) {
        return call(c.g["numpy_permute_array"], {X, attr(self, "permutation_indices"), attr(self, "axis")});
    };
    // After the end line, always two-dimensional: a one-dimensional result becomes a column.
    auto two_dimensional = [](nb::object Y) {
        static nb::handle minus_one = PyLong_FromLong(-1);
        nb::object rows = checked(PySequence_GetItem(attr(Y, "shape").ptr(), 0));
        return call(attr(Y, "reshape"), {rows, minus_one});
    };
    return protocol.transform(c, permute, two_dimensional);
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

const Protocol protocol("AllPassPreprocessingTransformer", ProtocolRow{});

nb::object init(const Call&) { return nb::none(); }

nb::object fit(const Call& c) {
    return protocol.fit(c);
}

nb::object transform(const Call& c) {
    return protocol.transform(c, [](nb::handle, nb::handle X) { return nb::borrow(X); });
}

}  // namespace all_pass

ClassDef all_pass_class(const Globals&) {
    return ClassDef{"AllPassPreprocessingTransformer", "", false,
                    MethodDef{"__init__", nullptr, {required("self")}, native<all_pass::init>},
                    MethodDef{"fit", nullptr, fit_params(), native<all_pass::fit>},
                    MethodDef{"transform", nullptr, transform_params(), native<all_pass::transform>}};
}

}  // namespace tabrix::exportable
