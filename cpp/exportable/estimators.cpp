// Imputation, encoding and scaling: transformers that build a scikit-learn estimator in their
// constructor, fit it in fit and delegate transform to it.
//
// The wrapped classes are looked up when an instance is built (SimpleImputer and StandardScaler
// through the module globals, the encoders through an import inside the constructor), so a
// rebound global or a patched scikit-learn module is what new instances wrap. Where releases
// differ, sklearn_compat decides.
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "exportable/families.h"
#include "exportable/sklearn_compat.h"

namespace tabrix::exportable {
namespace {

using sklearn_compat::EncoderKind;

// ------------------------------------------------ parameters changed after construction

// The wrapped estimator is built by the constructor. A parameter changed later through
// set_params (as grid search does on a clone) would otherwise never reach it: fit rebuilds the
// wrapped estimator when one of its settings no longer is what the wrapper's parameter says.

// Whether `wrapped.name` still is `wanted`: the same object, equal, or both NaN. A setting the
// wrapped object does not expose counts as current.
bool setting_current(nb::handle wrapped, const char* name, nb::handle wanted) {
    nb::object current = attr_if_present(wrapped, name);
    if (!current.is_valid()) return true;
    if (current.ptr() == wanted.ptr()) return true;
    if (PyFloat_Check(current.ptr()) && PyFloat_Check(wanted.ptr()) &&
        std::isnan(PyFloat_AS_DOUBLE(current.ptr())) &&
        std::isnan(PyFloat_AS_DOUBLE(wanted.ptr()))) {
        return true;
    }
    const int eq = PyObject_RichCompareBool(current.ptr(), wanted.ptr(), Py_EQ);
    if (eq < 0) {
        // Values without a plain truth (arrays) that are not the same object: taken as changed.
        PyErr_Clear();
        return false;
    }
    return eq == 1;
}

// ---------------------------------------------------------------- SimpleImputer

// SimpleImputer(strategy=strategy, missing_values=missing_values), through the module global.
nb::object simple_imputer(const Call& c, nb::handle strategy, nb::handle missing_values) {
    nb::object cls = c.g["SimpleImputer"];
    return sklearn_compat::new_simple_imputer(cls, strategy, missing_values);
}

// The wrapper's imputer, rebuilt first when strategy or missing_values changed since.
nb::object current_imputer(const Call& c, nb::handle self) {
    nb::object imputer = attr(self, "imputer");
    nb::object strategy = attr(self, "strategy");
    nb::object missing_values = attr(self, "missing_values");
    if (setting_current(imputer, "strategy", strategy) &&
        setting_current(imputer, "missing_values", missing_values)) {
        return imputer;
    }
    imputer = simple_imputer(c, strategy, missing_values);
    set_attr(self, "imputer", imputer);
    return imputer;
}

// ---------------------------------------------------------------- CatImputer

namespace cat_imputer {

// The version family first, unlike the signature; then the other parameters and the imputer.
void init(Args& a) {
    a.store("sklearn_version_family");
    a.store_rest();
    set_attr(a.self(), "imputer",
             simple_imputer(a.call(), a.get("strategy"), a.get("missing_values")));
}

void fit(const Call& c, nb::handle self, nb::handle X, nb::handle y) {
    call(attr(current_imputer(c, self), "fit"), {X, y});
}

nb::object impute(const Call&, nb::handle self, nb::handle X) {
    return call(attr(attr(self, "imputer"), "transform"), {X});
}

}  // namespace cat_imputer

// ---------------------------------------------------------------- NumImputer

namespace num_imputer {

void init(Args& a) {
    a.store_rest();
    set_attr(a.self(), "imputer",
             simple_imputer(a.call(), a.get("strategy"), a.get("missing_values")));
}

bool constant_strategy(nb::handle self) {
    static nb::handle constant = interned("constant");
    return !truthy(
        checked(PyObject_RichCompare(attr(self, "strategy").ptr(), constant.ptr(), Py_NE)));
}

// Positions of the columns in which every cell is missing, ascending.
nb::object all_missing_columns(const Call& c, nb::handle X, nb::handle missing_values) {
    nb::object is_all_missing = c.g["is_all_missing"];
    const Py_ssize_t n = as_size(shape_item(X, 1));
    nb::object columns = new_list();
    for (Py_ssize_t j = 0; j < n; ++j) {
        nb::object position = checked(PyLong_FromSsize_t(j));
        nb::object column = index_2d(X, full_slice(), position);
        if (truthy(call(is_all_missing, {column, missing_values}))) {
            if (PyList_Append(columns.ptr(), position.ptr()) < 0) raise_current();
        }
    }
    return columns;
}

void fit(const Call& c, nb::handle self, nb::handle X, nb::handle y) {
    nb::object imputer = current_imputer(c, self);
    if (!constant_strategy(self)) {
        set_attr(self, "bad_columns", all_missing_columns(c, X, attr(self, "missing_values")));
    }
    call(attr(imputer, "fit"), {X, y});
}

// Puts the columns the imputer dropped back as zero columns at their input positions. Any
// ordinary failure (for example no bad_columns after a "constant" fit) leaves Y as it was.
nb::object reinsert_dropped_columns(const Call& c, nb::handle self, nb::object Y) {
    try {
        nb::object bad_columns = attr(self, "bad_columns");
        nb::object indices = checked(PyList_New(0));
        nb::object iterator = checked(PyObject_GetIter(bad_columns.ptr()));
        Py_ssize_t i = 0;
        while (PyObject* item = PyIter_Next(iterator.ptr())) {
            nb::object bi = nb::steal(item);
            nb::object offset = checked(PyLong_FromSsize_t(i++));
            nb::object index = checked(PyNumber_Subtract(bi.ptr(), offset.ptr()));
            if (PyList_Append(indices.ptr(), index.ptr()) < 0) raise_current();
        }
        if (PyErr_Occurred()) raise_current();
        // Nothing dropped: the imputer's fresh array is the result, no copy needed.
        if (PyList_GET_SIZE(indices.ptr()) == 0) return Y;
        static nb::handle axis_name = kw_names({"axis"});
        static nb::handle zero = PyLong_FromLong(0);
        static nb::handle one = PyLong_FromLong(1);
        return call(attr(c.g["np"], "insert"), {Y, indices, zero, one}, axis_name);
    } catch (nb::python_error& e) {
        if (!is_ordinary(e)) throw;
        return Y;
    }
}

// scikit-learn's own imputer with copy=True fills a copy of what it is given, never the array
// itself. For it, data that already is float64 needs no converted copy of ours: the result is
// the same fresh array, at the cost of one copy instead of two.
bool copies_its_input(nb::handle imputer) {
    if (!sklearn_compat::is_own_simple_imputer(imputer)) return false;
    return attr(imputer, "copy").ptr() == Py_True;
}

nb::object impute(const Call& c, nb::handle self, nb::handle X) {
    nb::object imputer = attr(self, "imputer");
    nb::handle float_type = sklearn_compat::numpy_float();
    nb::object Y;
    if (copies_its_input(imputer)) {
        static nb::handle copy_name = kw_names({"copy"});
        Y = call(attr(X, "astype"), {float_type, Py_False}, copy_name);
    } else {
        Y = call(attr(X, "astype"), {float_type});
    }
    Y = call(attr(imputer, "transform"), {Y});
    if (!constant_strategy(self)) Y = reinsert_dropped_columns(c, self, std::move(Y));
    return Y;
}

// Last, after the return trace: the output keeps the shape of the input.
void same_shape(nb::handle X, nb::handle Y) {
    if (assertions_enabled()) assert_true(equals(attr(X, "shape"), attr(Y, "shape")));
}

}  // namespace num_imputer

// ---------------------------------------------------------------- CatEncoder

namespace cat_encoder {

nb::object make_encoder(const Call& c, nb::handle self, nb::handle encoding, nb::handle categories,
                        nb::handle dtype, nb::handle handle_unknown) {
    nb::object family = attr(self, "sklearn_version_family");
    const EncoderKind kind = sklearn_compat::encoder_kind(family, encoding);
    nb::object cls = sklearn_compat::encoder_class(c.g.dict(), kind);
    switch (kind) {
        case EncoderKind::Categorical: {
            static nb::handle names =
                kw_names({"encoding", "categories", "dtype", "handle_unknown"});
            return call(cls, {encoding, categories, dtype, handle_unknown}, names);
        }
        case EncoderKind::Ordinal: {
            static nb::handle names = kw_names({"categories", "dtype"});
            return call(cls, {categories, dtype}, names);
        }
        case EncoderKind::OneHotSparse:
        case EncoderKind::OneHotDense: break;
    }
    nb::handle sparse = kind == EncoderKind::OneHotSparse ? Py_True : Py_False;
    return call(cls, {categories, sparse, dtype, handle_unknown},
                sklearn_compat::one_hot_keywords(cls));
}

// Whether the wrapped encoder is not what the wrapper's parameters call for now: not an
// instance of the class they choose (a caller's subclass qualifies), or built with other
// settings. An encoder switched to ignore unknown categories (after a recovery) keeps that
// switch.
bool encoder_stale(const Call& c, nb::handle self, nb::handle encoder) {
    static nb::handle ignore = interned("ignore");
    nb::object family = attr(self, "sklearn_version_family");
    nb::object encoding = attr(self, "encoding");
    const EncoderKind kind = sklearn_compat::encoder_kind(family, encoding);
    nb::object expected = sklearn_compat::encoder_class(c.g.dict(), kind);
    const int is_instance = PyObject_IsInstance(encoder.ptr(), expected.ptr());
    if (is_instance < 0) raise_current();
    if (!is_instance) return true;
    if (!setting_current(encoder, "categories", attr(self, "categories")) ||
        !setting_current(encoder, "dtype", attr(self, "dtype"))) {
        return true;
    }
    const bool categorical = kind == EncoderKind::Categorical;
    const bool one_hot = sklearn_compat::is_one_hot(kind);
    if (categorical && !setting_current(encoder, "encoding", encoding)) return true;
    if (one_hot) {
        nb::handle cls = reinterpret_cast<PyObject*>(Py_TYPE(encoder.ptr()));
        nb::handle sparse = kind == EncoderKind::OneHotSparse ? Py_True : Py_False;
        if (!setting_current(encoder, sklearn_compat::sparse_keyword(cls), sparse)) return true;
    }
    if (categorical || one_hot) {
        nb::object handle_unknown = attr(self, "handle_unknown");
        if (!setting_current(encoder, "handle_unknown", handle_unknown) &&
            !setting_current(encoder, "handle_unknown", ignore)) {
            return true;
        }
    }
    return false;
}

void init(Args& a) {
    a.store_rest();
    set_attr(a.self(), "encoder",
             make_encoder(a.call(), a.self(), a.get("encoding"), a.get("categories"),
                          a.get("dtype"), a.get("handle_unknown")));
}

void fit(const Call& c, nb::handle self, nb::handle X, nb::handle y) {
    if (encoder_stale(c, self, attr(self, "encoder"))) {
        nb::object encoding = attr(self, "encoding");
        nb::object categories = attr(self, "categories");
        nb::object dtype = attr(self, "dtype");
        nb::object handle_unknown = attr(self, "handle_unknown");
        set_attr(self, "encoder",
                 make_encoder(c, self, encoding, categories, dtype, handle_unknown));
    }
    call(attr(attr(self, "encoder"), "fit"), {X, y});
    set_attr(self, "categories_found", attr(attr(self, "encoder"), "categories_"));
}

// The message with its bracketed list of values cut out: the text before the first "[", then
// what follows the first "]" after it, up to the next bracket.
nb::object cut_value_list(nb::handle message) {
    static nb::handle open = interned("[");
    static nb::handle close = interned("]");
    nb::object pieces = checked(PyUnicode_Split(message.ptr(), open.ptr(), -1));
    nb::object before = checked(PySequence_GetItem(pieces.ptr(), 0));
    nb::object inside = checked(PySequence_GetItem(pieces.ptr(), 1));
    nb::object after = checked(
        PySequence_GetItem(checked(PyUnicode_Split(inside.ptr(), close.ptr(), -1)).ptr(), 1));
    return checked(PyUnicode_Concat(before.ptr(), after.ptr()));
}

// The wrapped encoder's transform, with the codes of the release's unknown categories kept as
// every release before 1.10 gave them.
nb::object encoder_transform(nb::handle self, nb::handle X) {
    nb::object encoder = attr(self, "encoder");
    nb::object Y = call(attr(encoder, "transform"), {X});
    sklearn_compat::keep_unknown_codes_of_ignoring_ordinal(encoder, Y);
    return Y;
}

nb::object encode(const Call& c, nb::handle self, nb::handle X) {
    try {
        return encoder_transform(self, X);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        bool recover;
        {
            Handling handling(e);
            static nb::handle prefix = interned("Found unknown categories");
            nb::object message = str_of(e.value());
            recover = truthy(call(attr(message, "startswith"), {prefix})) &&
                      sklearn_compat::can_ignore_unknown_categories(c);
        }
        if (!recover) throw;  // the same exception object
        Handling handling(e);
        nb::object warning_text = cut_value_list(str_of(e.value()));
        call(attr(c.g["warnings"], "warn"), {warning_text, c.g["Warning"]});
        static nb::handle ignore = interned("ignore");
        // For good: later calls with unseen values neither raise nor warn.
        set_attr(attr(self, "encoder"), "handle_unknown", ignore);
        return encoder_transform(self, X);
    }
}

}  // namespace cat_encoder

// ---------------------------------------------------------------- OptStandardScaler

namespace opt_scaler {

// The three options (from the keyword arguments, True where absent) and the scaler built from them.
void build_scaler(const Call& c, nb::handle self, nb::handle kwargs) {
    for (const char* option : {"num_scaler_copy", "num_scaler_with_mean", "num_scaler_with_std"}) {
        PyObject* value =
            kwargs.is_valid() ? PyDict_GetItemString(kwargs.ptr(), option) : nullptr;  // borrowed
        set_attr(self, option, value ? nb::handle(value) : nb::handle(Py_True));
    }
    static nb::handle names = kw_names({"copy", "with_mean", "with_std"});
    nb::object scaler = call(c.g["StandardScaler"],
                             {attr(self, "num_scaler_copy"), attr(self, "num_scaler_with_mean"),
                              attr(self, "num_scaler_with_std")},
                             names);
    set_attr(self, "scaler", scaler);
}

// The keyword arguments are options of the scaler, not attributes; the scaler exists only when
// the switch is on at construction.
void init(Args& a) {
    a.skip("kwargs");
    a.store_rest();
    if (a.switched_on()) build_scaler(a.call(), a.self(), a.get("kwargs"));
}

void fit(const Call& c, nb::handle self, nb::handle X, nb::handle y) {
    // Switched on after a construction without scaler (set_params, grid search): built now,
    // with the options at their defaults, as a clone would get them.
    if (!has_attr(self, "scaler")) build_scaler(c, self, nb::handle());
    call(attr(attr(self, "scaler"), "fit"), {X, y});
}

nb::object scale(const Call&, nb::handle self, nb::handle X) {
    return call(attr(attr(self, "scaler"), "transform"), {X});
}

}  // namespace opt_scaler

}  // namespace

// ---------------------------------------------------------------- class declarations

const ClassDecl opt_standard_scaler =
    ClassDecl("OptStandardScaler")
        .doc({"This transformer implements an optional StandardScaler.",
              "It acts as a StandardScaler() if use_scaler_flag is True.",
              "Otherwise it returns the input numpy array unchanged"})
        .params({arg("use_scaler_flag", true), star_kwargs("kwargs")})
        .init_doc({":param use_scaler_flag: Act as StandardScaler() if true, do nothing if false. "
                   "Deault is True",
                   "StandardScaler parameters. See:",
                   "https://scikit-learn.org/stable/modules/generated/"
                   "sklearn.preprocessing.StandardScaler.html",
                   ":param num_scaler_copy:", ":param num_scaler_with_mean:",
                   ":param num_scaler_with_std:"})
        .init(opt_scaler::init)
        // No trace lines in fit.
        .row(ProtocolRow().asserts_in_fit().untraced_fit().no_assert_in_transform().switched_by(
            "use_scaler_flag"))
        .fit(opt_scaler::fit)
        .transform(opt_scaler::scale);

const ClassDecl cat_imputer =
    ClassDecl("CatImputer")
        .doc({"This is a wrapper for categorical imputer"})
        .params({arg("strategy"), arg("missing_values"),
                 arg("sklearn_version_family", at_creation("global_sklearn_version_family")),
                 arg("activate_flag", true)})
        .init(cat_imputer::init)
        .row(ProtocolRow().asserts_in_fit().no_assert_in_transform().switched_by("activate_flag"))
        .fit(cat_imputer::fit)
        .transform(cat_imputer::impute);

const ClassDecl cat_encoder =
    ClassDecl("CatEncoder")
        .doc({"This is a template for classes"})
        .params({arg("encoding"), arg("categories"), arg("dtype"), arg("handle_unknown"),
                 arg("sklearn_version_family", at_creation("global_sklearn_version_family")),
                 arg("activate_flag", true)})
        .init(cat_encoder::init)
        .row(ProtocolRow().asserts_in_fit().no_assert_in_transform().switched_by("activate_flag"))
        .fit(cat_encoder::fit)
        .transform(cat_encoder::encode);

const ClassDecl num_imputer =
    ClassDecl("NumImputer")
        .doc({"This is a wrapper for numerical imputer"})
        .params({arg("strategy"), arg("missing_values"), arg("activate_flag", true)})
        .init(num_imputer::init)
        .row(ProtocolRow().no_assert_in_transform().switched_by("activate_flag"))
        .fit(num_imputer::fit)
        .transform(num_imputer::impute)
        .before_return(num_imputer::same_shape);

}  // namespace tabrix::exportable
