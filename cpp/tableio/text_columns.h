// Columns of Arrow tables as the text cells a CSV file of the same table holds, for the tool's
// Parquet reading: whole columns in (Arrow's buffers, NumPy arrays), 1-D object arrays of str
// out, with no Python object made per cell beyond the str itself.
#pragma once

#include <nanobind/nanobind.h>

namespace tabrix {
namespace tableio {

// Adds strings_text, number_text and time_text to the module.
void add_text_columns(nanobind::module_& m);

}  // namespace tableio
}  // namespace tabrix
