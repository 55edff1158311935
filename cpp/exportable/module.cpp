// Start-up of tabrix_libs.transformers.exportable: binds the module namespace in its fixed
// order, works out the scikit-learn version family, and creates the classes of the class
// table. Nothing else runs at import.
#define TABRIX_NUMPY_OWNER
#include "python/numpy_api.h"

#include <nanobind/nanobind.h>

#include "exportable/families.h"
#include "exportable/protocol.h"

namespace nb = nanobind;
using namespace tabrix::exportable;

namespace {

nb::object import(const char* name) { return checked(PyImport_ImportModule(name)); }

nb::object import_from(const char* module, const char* name) {
    nb::object m = import(module);
    PyObject* value = PyObject_GetAttrString(m.ptr(), name);
    if (!value) {
        // As `from module import name` reports it.
        PyErr_Clear();
        raise_format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
    }
    return nb::steal(value);
}

void bind(nb::module_& m, const char* name, nb::handle value) {
    if (PyObject_SetAttrString(m.ptr(), name, value.ptr()) < 0) raise_current();
}

// The utility functions the methods call, imported in one statement in this order.
const char* const utility_names[] = {
    "numpy_replace_values", "numpy_permute_array", "numpy_floatstr2float", "setValueOrDefault",
    "numpy_boolean2float",  "convert_float32",     "numpy_whatis",         "numpy_select_columns",
    "compress_str_column",  "global_missing_values_reference_list",
};

void start_up(nb::module_& m) {
    // 1. Dependencies.
    bind(m, "time", import_from("time", "time"));
    bind(m, "np", import("numpy"));
    nb::object sklearn = import("sklearn");
    bind(m, "sklearn", sklearn);
    bind(m, "warnings", import("warnings"));
    bind(m, "BaseEstimator", import_from("sklearn.base", "BaseEstimator"));
    bind(m, "TransformerMixin", import_from("sklearn.base", "TransformerMixin"));
    bind(m, "StandardScaler", import_from("sklearn.preprocessing", "StandardScaler"));
    bind(m, "SimpleImputer", import_from("sklearn.impute", "SimpleImputer"));
    bind(m, "check_array", import_from("sklearn.utils.validation", "check_array"));
    {
        nb::object utils = import("tabrix_libs.utils.exportable_utils");
        std::vector<nb::object> values;
        for (const char* name : utility_names) values.push_back(import_from("tabrix_libs.utils.exportable_utils", name));
        for (size_t i = 0; i < values.size(); ++i) bind(m, utility_names[i], values[i]);
    }
    init_compat(m);

    // 2. Version family: the minor version of a 0.x release, "1" for a 1.x release.
    nb::object version = attr(sklearn, "__version__");
    nb::object version_list = call(attr(version, "split"), {nb::str(".")});
    bind(m, "sklearn_version_list", version_list);
    nb::object family = checked(PySequence_GetItem(version_list.ptr(), 1));
    nb::object major = checked(PySequence_GetItem(version_list.ptr(), 0));
    if (truthy(checked(PyObject_RichCompare(major.ptr(), nb::str("1").ptr(), Py_EQ)))) family = major;
    bind(m, "global_sklearn_version_family", family);

    // 3. Debug flags.
    for (const char* flag : {"debug_transform_return", "debug", "debug_timings", "debug_catnum", "debug_date_transformer"}) {
        bind(m, flag, Py_False);
    }

    // 4. The class table, in order; each name is bound as soon as it exists.
    Globals g(PyModule_GetDict(m.ptr()));
    auto add_class = [&m](ClassDef def) {
        const char* name = def.name;
        bind(m, name, make_class(m, std::move(def)));
    };
    add_class(column_selector_class(g));
    add_class(numpy_column_selector_class(g));
    add_class(numpy_apply_along_axis_class(g));
    add_class(numpy_replace_missing_values_class(g));
    add_class(numpy_replace_unknown_values_class(g));
    add_class(numpy_permute_array_class(g));
    add_class(opt_standard_scaler_class(g));
    add_class(cat_imputer_class(g));
    add_class(cat_encoder_class(g));
    bind(m, "is_all_missing", make_function(m, is_all_missing_function()));
    add_class(num_imputer_class(g));
    add_class(all_pass_class(g));
    add_class(compress_strings_class(g));
    add_class(float_str2float_class(g));
    add_class(float32_transform_class(g));
    add_class(boolean2float_class(g));
}

}  // namespace

NB_MODULE(exportable, m) {
    if (!tabrix::import_numpy_api()) throw nb::python_error();
    if (!tabrix::native_method_type_ready()) throw nb::python_error();
    start_up(m);
    nb::setattr(m, "__doc__", nb::none());
}
