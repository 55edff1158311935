// tabrix_libs.utils.exportable_utils: array kernels for the preprocessing transformers.
#define TABRIX_NUMPY_OWNER
#include "python/numpy_api.h"

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cmath>

#include "kernels/text_clean.h"
#include "utils/utils.h"

namespace nb = nanobind;
using namespace tabrix::utils;

namespace {

const char* const kModuleDoc = R"(Array kernels for the preprocessing transformers of tabrix_libs.

The functions work on NumPy arrays of any strides and byte order, of object dtype (Python
values side by side) or of a numeric dtype. They never modify their input and return new
arrays (a few return the input itself where stated). Bad input raises TypeError, ValueError
or IndexError with a message naming the function and the problem.

Matching rule. A cell matches a reference value (a missing-value marker, a known value, a
category) when the two are equal in Python, so 1 matches 1.0 and True, and "a" matches
numpy.str_("a"). NaN is the exception: a NaN cell (a float NaN or a NumPy NaN of any float
type) matches only when a NaN is among the reference values, and matches nothing else. None
matches None. Strings compare by content and numbers by value; other objects go through
Python's hash and ==.

Comparing or converting an object may run its Python code (__hash__, __eq__, __float__,
__index__...), which may change X or a reference list while a function reads it. Each cell is
then read when the walk reaches it, as a Python loop over X would read it (cells in C order;
with invert_flag=True column by column), and lists of indices or values are read before
they are used.

Threads. numpy_floatstr2float, compress_str_column and numpy_get_categories share object
inputs of many cells among threads: TABRIX_NUM_THREADS sets how many (a whole number from 1;
default: the cores the process may run on; 1 turns threading off; anything else is a
ValueError). It is read at each call, and results never depend on it. When other Python
threads exist, the GIL is released while the threads work (each cell they read is held);
otherwise the calling thread keeps it, as nothing else could use it.

global_missing_values_reference_list holds the usual missing-value markers of tabular files.
)";

const char* const kReplaceDoc = R"(Replace the cells that match (or do not match) reference values.

With invert_flag false, every cell of X that matches a value of reference_values_list (a list
of markers; None means none) becomes filling_value. With invert_flag true, X must be 2-D and
reference_values_list holds one list of known values per column of X: every cell that matches
none of its column's known values becomes filling_value. A reference with a different number
of lists than X has columns (an empty list included) is a ValueError naming both counts.

The result is a new array of X's shape. It keeps X's dtype when it can hold every value of the
result (always for object arrays; for other dtypes, when no cell is replaced or filling_value
is stored unchanged in that dtype, e.g. -1 in an int64 array). Otherwise it is float64 when
that holds filling_value and all of X's values exactly, else object. Numeric arrays are
processed without holding the GIL.
)";

const char* const kCategoriesDoc = R"(Collect the distinct values of each column of a 2-D array.

For each column of X, the values found in the given rows (any iterable of row indices, such as
range(n); negative indices count from the end), in the order of their first appearance.
Values that match a marker of missing_values_reference_list (None: no markers) are left out,
values that match each other count once (the first one found is kept), and all NaN cells
count as one value. Numeric arrays give Python numbers.

When categories_list2 (a list) is given, one list per column is appended to it in place and
that same list is returned; otherwise a new list of lists is returned.
)";

const char* const kCompressDoc = R"(Compress the strings of a 1-D column.

Returns a new 1-D object array of the same length. Cells that are not strings, and cells that
match a marker of misslist (None: no markers), are kept as they are. With compress_type
"string", a string is case-folded and loses every character that is not a letter or a digit,
with Python's str.casefold() and str.isalnum() rules (" New-York  City! " -> "newyorkcity",
"Straße" -> "strasse"). With compress_type "hash", it becomes the 64-bit FNV-1a hash of the
UTF-8 bytes of that compressed string, as a Python int in [0, 2**64): offset basis
0xcbf29ce484222325, prime 0x100000001b3, each byte xor-ed in then multiplied. The hash
depends only on the text, so it is the same in every process, run and platform. Any other
compress_type is a ValueError.
)";

const char* const kFloatStrDoc = R"(Convert a 1-D column of number strings to float64.

Returns a new 1-D float64 array. Cells that match a marker of missing_values_reference_list
(None: no markers) become NaN. Numbers and booleans become their float value (an int beyond
the float range becomes an infinity of its sign). Strings are parsed with the syntax of
Python's float() after trimming whitespace ("1e3", "-0.5", " inf", "nan", "1_000"), with
bit-identical results; a string that is not a number, bytes, None and any other object
become NaN, as with pandas' to_numeric(errors="coerce").
)";

const char* const kBoolDoc = R"(Turn booleans into floats.

A boolean array becomes float64 (1.0 and 0.0) and any other numeric array a float64 copy.
An object array (or a text array) becomes a new object array in which Python and NumPy
booleans, and the strings "true" and "false" in any ASCII letter case with surrounding
whitespace, become 1.0 and 0.0; every other cell is kept as it is. Complex, date and other
dtypes are a TypeError.
)";

const char* const kFloat32Doc = R"(Convert an array to float32.

Returns the float32 array of X's values, of X's shape. Object cells must be numbers (bool,
int, float, NumPy numbers or objects with __float__ such as Decimal); any other cell is a
ValueError naming its row, column and value. A finite value beyond the float32 range
(about +-3.4e38) is a ValueError, never a silent infinity; NaN and infinities stay.
)";

const char* const kSelectDoc = R"(Select columns of an array, or elements of a list.

For an array X (2-D): (X[:, columns_indices_list], True) when the list is non-empty, else
(X, False) with X itself. For a Python list (or tuple) X: (the list of the listed elements,
True), or (X, False) when the index list is empty. Indices may be negative (counting from
the end); an index out of range is an IndexError naming the index and the size.
)";

const char* const kPermuteDoc = R"(Rearrange the columns or the rows of a 2-D array.

axis 0 rearranges the columns (X[:, permutation_indices]), axis 1 the rows
(X[permutation_indices, :]); the result is a new array. An empty index list returns X itself.
Any other axis is a ValueError; an index out of range is an IndexError naming it and the size.
)";

const char* const kWhatisDoc = R"(Describe X in one line of text.

Gives X's type and, for arrays, the shape, the dtype and, for 1-D and 2-D object arrays, the
Python types found in each column. Never raises.
)";

const char* const kSetValueDoc = R"(Return value, or default when value is None.)";

}  // namespace

NB_MODULE(exportable_utils, m) {
    if (!tabrix::import_numpy_api()) throw nb::python_error();
    m.doc() = kModuleDoc;

    nb::list markers;
    for (const char* s : {"", "?", "NA", "N/A", "n/a", "NaN", "nan", "NULL", "null", "None"})
        markers.append(nb::str(s));
    markers.append(nb::none());
    markers.append(nb::float_(std::nan("")));
    m.attr("global_missing_values_reference_list") = markers;

    m.def(
        "setValueOrDefault",
        [](nb::handle value, nb::handle default_value) {
            return nb::borrow(value.is_none() ? default_value : value);
        },
        nb::arg("value").none(), nb::arg("default").none(),
        nb::sig("def setValueOrDefault(value, default)"), kSetValueDoc);
    m.def("numpy_replace_values", &numpy_replace_values, nb::arg("X").none(),
          nb::arg("filling_value").none(), nb::arg("reference_values_list").none(),
          nb::arg("invert_flag").none() = false,
          nb::sig("def numpy_replace_values(X, filling_value, reference_values_list, "
                  "invert_flag=False)"),
          kReplaceDoc);
    m.def("numpy_get_categories", &numpy_get_categories, nb::arg("X").none(),
          nb::arg("rows").none(), nb::arg("missing_values_reference_list").none(),
          nb::arg("categories_list2").none() = nb::none(),
          nb::sig("def numpy_get_categories(X, rows, missing_values_reference_list, "
                  "categories_list2=None)"),
          kCategoriesDoc);
    m.def("compress_str_column", &compress_str_column, nb::arg("Xcol").none(),
          nb::arg("misslist").none(), nb::arg("compress_type").none(),
          nb::sig("def compress_str_column(Xcol, misslist, compress_type)"), kCompressDoc);
    m.def("numpy_floatstr2float", &numpy_floatstr2float, nb::arg("Xcol").none(),
          nb::arg("missing_values_reference_list").none(),
          nb::sig("def numpy_floatstr2float(Xcol, missing_values_reference_list)"), kFloatStrDoc);
    m.def("numpy_boolean2float", &numpy_boolean2float, nb::arg("X").none(),
          nb::sig("def numpy_boolean2float(X)"), kBoolDoc);
    m.def("convert_float32", &convert_float32, nb::arg("X").none(),
          nb::sig("def convert_float32(X)"), kFloat32Doc);
    m.def("numpy_select_columns", &numpy_select_columns, nb::arg("X").none(),
          nb::arg("columns_indices_list").none(),
          nb::sig("def numpy_select_columns(X, columns_indices_list)"), kSelectDoc);
    m.def("numpy_permute_array", &numpy_permute_array, nb::arg("X").none(),
          nb::arg("permutation_indices").none(), nb::arg("axis").none(),
          nb::sig("def numpy_permute_array(X, permutation_indices, axis)"), kPermuteDoc);
    m.def("numpy_whatis", &numpy_whatis, nb::arg("X").none(), nb::sig("def numpy_whatis(X) -> str"),
          kWhatisDoc);
}
