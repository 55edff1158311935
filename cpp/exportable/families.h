// The class definitions of each transformer family, in the files named after the family.
// Start-up (module.cpp) calls them in the order of the class table, after the module globals
// they capture as defaults have been bound.
#pragma once

#include "exportable/protocol.h"

namespace tabrix::exportable {

// Module frame (is_all_missing.cpp)
MethodDef is_all_missing_function();

// Selection and shaping (selection.cpp)
ClassDef column_selector_class(const Globals& g);
ClassDef numpy_column_selector_class(const Globals& g);
ClassDef numpy_apply_along_axis_class(const Globals& g);
ClassDef numpy_permute_array_class(const Globals& g);
ClassDef all_pass_class(const Globals& g);

// Value cleaning and conversion (cleaning.cpp)
ClassDef numpy_replace_missing_values_class(const Globals& g);
ClassDef numpy_replace_unknown_values_class(const Globals& g);
ClassDef compress_strings_class(const Globals& g);
ClassDef float_str2float_class(const Globals& g);
ClassDef float32_transform_class(const Globals& g);
ClassDef boolean2float_class(const Globals& g);

// Imputation, encoding and scaling (estimators.cpp)
ClassDef opt_standard_scaler_class(const Globals& g);
ClassDef cat_imputer_class(const Globals& g);
ClassDef cat_encoder_class(const Globals& g);
ClassDef num_imputer_class(const Globals& g);

}  // namespace tabrix::exportable
