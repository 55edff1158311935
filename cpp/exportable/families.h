// The class declarations of each transformer family, defined in the files named after the
// family. Start-up (module.cpp) creates the classes in the order of the class table, after the
// module globals their defaults capture have been bound.
#pragma once

#include "exportable/class_decl.h"

namespace tabrix::exportable {

// Module frame (is_all_missing.cpp)
extern const std::vector<Arg> is_all_missing_params;
nb::object is_all_missing(const Call& c);

// Selection and shaping (selection.cpp)
extern const ClassDecl column_selector;
extern const ClassDecl numpy_column_selector;
extern const ClassDecl numpy_apply_along_axis;
extern const ClassDecl numpy_permute_array;
extern const ClassDecl all_pass;

// Value cleaning and conversion (cleaning.cpp)
extern const ClassDecl numpy_replace_missing_values;
extern const ClassDecl numpy_replace_unknown_values;
extern const ClassDecl compress_strings;
extern const ClassDecl float_str2float;
extern const ClassDecl float32_transform;
extern const ClassDecl boolean2float;

// Imputation, encoding and scaling (estimators.cpp)
extern const ClassDecl opt_standard_scaler;
extern const ClassDecl cat_imputer;
extern const ClassDecl cat_encoder;
extern const ClassDecl num_imputer;

}  // namespace tabrix::exportable
