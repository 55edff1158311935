// The functions of tabrix_libs.utils.exportable_utils (bound in exportable_utils.cpp).
#pragma once

#include "python/numpy_api.h"

#include <nanobind/nanobind.h>

#include <string>

namespace tabrix {
namespace utils {

namespace nb = nanobind;

nb::object numpy_replace_values(nb::handle X, nb::handle filling_value,
                                nb::handle reference_values_list, nb::handle invert_flag);
nb::object numpy_get_categories(nb::handle X, nb::handle rows,
                                nb::handle missing_values_reference_list,
                                nb::handle categories_list2);
nb::object compress_str_column(nb::handle Xcol, nb::handle misslist, nb::handle compress_type);
nb::object numpy_floatstr2float(nb::handle Xcol, nb::handle missing_values_reference_list);
nb::object numpy_boolean2float(nb::handle X);
nb::object convert_float32(nb::handle X);
nb::object numpy_select_columns(nb::handle X, nb::handle columns_indices_list);
nb::object numpy_permute_array(nb::handle X, nb::handle permutation_indices, nb::handle axis);
std::string numpy_whatis(nb::handle X);

}  // namespace utils
}  // namespace tabrix
