// Selection and shaping: transformers that return their input, or a selection, permutation or
// per-slice reduction of it.
#include "exportable/families.h"

#include <string>
#include <utility>

namespace tabrix::exportable {

namespace {

bool equals_int(nb::handle value, long number) {
    nb::object n = checked(PyLong_FromLong(number));
    return equals(value, n);
}

// ---------------------------------------------------------------- ColumnSelector

namespace column_selector {

// The switch first, then the other parameters, then the flag of the last selection.
void init(Args& a) {
    a.store("activate_flag");
    a.store_rest();
    set_attr(a.self(), "columns_selected_flag", Py_False);
}

nb::object select(const Call& c, nb::handle self, nb::handle X) {
    static nb::handle names = kw_names({"columns_indices_list"});
    nb::object result =
        call(c.g["numpy_select_columns"], {X, attr(self, "columns_indices_list")}, names);
    // Unpacked whole before anything is stored, so a malformed result leaves the flag as it was.
    auto selected = unpack_pair(result);
    set_attr(self, "columns_selected_flag", selected.second);
    return std::move(selected.first);
}

void nothing_selected(nb::handle self) { set_attr(self, "columns_selected_flag", Py_False); }

}  // namespace column_selector

}  // namespace

const ClassDecl column_selector =
    ClassDecl("ColumnSelector")
        .doc(
            {"Selects a subset of columns for a given numpy array or subset of elements of a list"})
        .params({arg("columns_indices_list"), arg("activate_flag", true)})
        .init_doc({":param columns_indices_list: list of indices to select numpy columns or list "
                   "elements",
                   ":param activate_flag: determines whether transformer is active or not"})
        .init(column_selector::init)
        // Switched off, it takes input of any width and keeps no selection flag.
        .row(ProtocolRow()
                 .asserts_in_fit()
                 .no_assert_in_transform()
                 .list_sizes()
                 .switched_by("activate_flag")
                 .switch_unread_in_fit()
                 .n_features_check_when_on())
        .transform(column_selector::select)
        .when_off(column_selector::nothing_selected);

// ---------------------------------------------------------------- NumpyColumnSelector

namespace {
nb::object select_columns(const Call&, nb::handle self, nb::handle X) {
    nb::object columns = attr(self, "columns");
    // Nothing selected: the input itself, not a copy.
    return truthy(columns) ? index_2d(X, full_slice(), columns) : nb::borrow(X);
}
}  // namespace

const ClassDecl numpy_column_selector =
    ClassDecl("NumpyColumnSelector")
        .doc({"Selects a subset of columns of a numpy array"})
        .params({arg("columns", None).none_as(fresh_list)})
        .row(ProtocolRow().untraced_fit().end_line_closed(EndLine::NoParen))
        .transform(select_columns);

// ---------------------------------------------------------------- NumpyApplyAlongAxis

namespace {
nb::object apply_along_axis(const Call& c, nb::handle self, nb::handle X) {
    nb::object index_list = attr(self, "index_list");
    if (!truthy(index_list)) return nb::borrow(X);
    nb::object axis = attr(self, "axis");
    const bool columns = equals_int(axis, 0);
    if (!columns && !equals_int(axis, 1)) {
        // No result exists for this axis; callers see the same exception type as always,
        // with the reason attached.
        raise(PyExc_UnboundLocalError,
              "local variable 'Y' referenced before assignment (axis must be 0 or 1, got %R)",
              axis.ptr());
    }
    nb::object apply = attr(c.g["np"], "apply_along_axis");
    nb::object func1d = attr(self, "func1d");
    nb::object slice =
        columns ? index_2d(X, full_slice(), index_list) : index_2d(X, index_list, full_slice());
    return call(apply, {func1d, axis, slice});
}
}  // namespace

const ClassDecl numpy_apply_along_axis =
    ClassDecl("NumpyApplyAlongAxis")
        .doc({"Transformer that applies a function to 1-D slices along the given axis on a subset "
              "of rows or columns"})
        .params({arg("func1d"), arg("axis", None).none_as(zero),
                 arg("index_list", None).none_as(fresh_list), star_args("args"),
                 star_kwargs("kwargs")})
        // No timings in this class: debug_timings is never read.
        .row(ProtocolRow().untraced_fit().untimed())
        .transform(apply_along_axis);

// ---------------------------------------------------------------- NumpyPermuteArray

namespace {
nb::object permute(const Call& c, nb::handle self, nb::handle X) {
    return call(c.g["numpy_permute_array"],
                {X, attr(self, "permutation_indices"), attr(self, "axis")});
}

// After the end line, always two-dimensional: a one-dimensional result becomes a column.
nb::object two_dimensional(nb::object Y) { return reshape_rows(Y, shape_item(Y, 0)); }
}  // namespace

const ClassDecl numpy_permute_array =
    ClassDecl("NumpyPermuteArray")
        .doc({"Rearranges columns or rows of a numpy array based on a list of indices"})
        .params(
            {arg("permutation_indices", None).none_as(fresh_list), arg("axis", None).none_as(zero)})
        .init_doc({":param permutation_indices: list of indexes based on which columns will be "
                   "rearranged",
                   ":param axis: 0 permute along columns, 1, permute along rows"})
        // Both end lines describe the input, and the untimed one is followed by an empty line.
        .row(ProtocolRow()
                 .untraced_fit()
                 .end_line_closed(EndLine::ParenThenNewline)
                 .end_line_of_input())
        .transform(permute)
        .after_end_line(two_dimensional);

// ---------------------------------------------------------------- AllPassPreprocessingTransformer

const ClassDecl all_pass = ClassDecl("AllPassPreprocessingTransformer");

}  // namespace tabrix::exportable
