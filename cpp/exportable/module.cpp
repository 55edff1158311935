// Start-up of tabrix_libs.transformers.exportable: binds the module namespace in its fixed
// order, works out the scikit-learn version family, and creates the classes of the class
// table. Nothing else runs at import.
#define TABRIX_NUMPY_OWNER
#include "python/numpy_api.h"

#include <nanobind/nanobind.h>

#include "exportable/families.h"
#include "exportable/sklearn_compat.h"

namespace nb = nanobind;
using namespace tabrix::exportable;

namespace {

// `from <module> import <names...>`: every name found before any is bound.
void bind_from(nb::module_& m, const char* module, std::initializer_list<const char*> names) {
    std::vector<nb::object> values = from_import(PyModule_GetDict(m.ptr()), module, names);
    size_t i = 0;
    for (const char* name : names) set_attr(m, name, values[i++]);
}

template <const ClassDecl& D>
void add_class(nb::module_& m, const Globals& g) {
    set_attr(m, D.name(), make_class<D>(m, g));
}

void start_up(nb::module_& m) {
    // 1. Dependencies.
    bind_from(m, "time", {"time"});
    set_attr(m, "np", import_module("numpy"));
    nb::object sklearn = import_module("sklearn");
    set_attr(m, "sklearn", sklearn);
    set_attr(m, "warnings", import_module("warnings"));
    bind_from(m, "sklearn.base", {"BaseEstimator", "TransformerMixin"});
    bind_from(m, "sklearn.preprocessing", {"StandardScaler"});
    bind_from(m, "sklearn.impute", {"SimpleImputer"});
    bind_from(m, "sklearn.utils.validation", {"check_array"});
    // The utility functions the methods call, in one statement in this order.
    bind_from(
        m, "tabrix_libs.utils.exportable_utils",
        {"numpy_replace_values", "numpy_permute_array", "numpy_floatstr2float", "setValueOrDefault",
         "numpy_boolean2float", "convert_float32", "numpy_whatis", "numpy_select_columns",
         "compress_str_column", "global_missing_values_reference_list"});
    sklearn_compat::start_up(m);

    // 2. Version family: the minor version of a 0.x release, "1" for a 1.x release.
    nb::object version = attr(sklearn, "__version__");
    nb::object version_list = call(attr(version, "split"), {nb::str(".")});
    set_attr(m, "sklearn_version_list", version_list);
    nb::object family = checked(PySequence_GetItem(version_list.ptr(), 1));
    nb::object major = checked(PySequence_GetItem(version_list.ptr(), 0));
    if (truthy(checked(PyObject_RichCompare(major.ptr(), nb::str("1").ptr(), Py_EQ))))
        family = major;
    set_attr(m, "global_sklearn_version_family", family);

    // 3. Debug flags.
    for (const char* flag : {"debug_transform_return", "debug", "debug_timings", "debug_catnum",
                             "debug_date_transformer"}) {
        set_attr(m, flag, Py_False);
    }

    // 4. The class table, in order; each name is bound as soon as it exists.
    Globals g(PyModule_GetDict(m.ptr()));
    add_class<column_selector>(m, g);
    add_class<numpy_column_selector>(m, g);
    add_class<numpy_apply_along_axis>(m, g);
    add_class<numpy_replace_missing_values>(m, g);
    add_class<numpy_replace_unknown_values>(m, g);
    add_class<numpy_permute_array>(m, g);
    add_class<opt_standard_scaler>(m, g);
    add_class<cat_imputer>(m, g);
    add_class<cat_encoder>(m, g);
    set_attr(m, "is_all_missing",
             make_function(m, "is_all_missing", is_all_missing_params, native<is_all_missing>));
    add_class<num_imputer>(m, g);
    add_class<all_pass>(m, g);
    add_class<compress_strings>(m, g);
    add_class<float_str2float>(m, g);
    add_class<float32_transform>(m, g);
    add_class<boolean2float>(m, g);
}

}  // namespace

NB_MODULE(exportable, m) {
    if (!tabrix::import_numpy_api()) throw nb::python_error();
    if (!tabrix::native_method_type_ready()) throw nb::python_error();
    start_up(m);
    nb::setattr(m, "__doc__", nb::none());
}
