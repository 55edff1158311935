// Imputation, encoding and scaling: transformers that build a scikit-learn estimator in their
// constructor, fit it in fit and delegate transform to it.
//
// The wrapped classes are looked up when an instance is built (SimpleImputer and StandardScaler
// through the module globals, the encoders through an import inside the constructor), so a
// rebound global or a patched scikit-learn module is what new instances wrap.
#include <cctype>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "exportable/families.h"

namespace tabrix::exportable {
namespace {

// ---------------------------------------------------------------- small helpers

// An exception a bare `except Exception` would handle (not KeyboardInterrupt or SystemExit).
bool is_ordinary(const nb::python_error& e) { return e.matches(PyExc_Exception); }

// While alive, makes `e` the exception being handled, as inside an `except` block: anything
// raised meanwhile gets `e` as its __context__, the way the interpreter chains them.
class Handling {
public:
    explicit Handling(const nb::python_error& e) {
        PyErr_GetExcInfo(&saved_type_, &saved_value_, &saved_tb_);
        PyObject* value = e.value().ptr();
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
        PyObject* tb = PyException_GetTraceback(value);  // new reference or nullptr
        Py_INCREF(type);
        Py_INCREF(value);
        PyErr_SetExcInfo(type, value, tb);  // steals the three references
    }
    ~Handling() { PyErr_SetExcInfo(saved_type_, saved_value_, saved_tb_); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject* saved_type_ = nullptr;
    PyObject* saved_value_ = nullptr;
    PyObject* saved_tb_ = nullptr;
};

// `from <module> import <names...>`, with the interpreter's ImportError when a name is absent.
std::vector<nb::object> from_import(const Call& c, const char* module, std::initializer_list<const char*> names) {
    nb::object fromlist = checked(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const char* name : names) {
        PyObject* s = PyUnicode_FromString(name);
        if (!s) raise_current();
        PyTuple_SET_ITEM(fromlist.ptr(), i++, s);
    }
    nb::object module_name = nb::str(module);
    nb::object mod =
        checked(PyImport_ImportModuleLevelObject(module_name.ptr(), c.g.dict(), nullptr, fromlist.ptr(), 0));
    std::vector<nb::object> values;
    for (const char* name : names) {
        PyObject* value = PyObject_GetAttrString(mod.ptr(), name);
        if (value) {
            values.push_back(nb::steal(value));
            continue;
        }
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_current();
        PyErr_Clear();
        // A submodule of that name imported meanwhile still satisfies the import.
        std::string full_name = std::string(module) + "." + name;
        nb::object full = nb::str(full_name.c_str());
        PyObject* submodule = PyImport_GetModule(full.ptr());
        if (submodule) {
            values.push_back(nb::steal(submodule));
            continue;
        }
        if (PyErr_Occurred()) raise_current();
        nb::object package = nb::borrow(module_name);
        if (PyObject* real_name = PyObject_GetAttrString(mod.ptr(), "__name__")) {
            package = nb::steal(real_name);
        } else {
            PyErr_Clear();
        }
        PyObject* path = PyModule_Check(mod.ptr()) ? PyModule_GetFilenameObject(mod.ptr()) : nullptr;
        if (!path) PyErr_Clear();
        nb::object path_obj = nb::steal(path);
        nb::object message =
            path_obj.is_valid() && PyUnicode_Check(path_obj.ptr())
                ? checked(PyUnicode_FromFormat("cannot import name '%s' from %R (%S)", name, package.ptr(),
                                               path_obj.ptr()))
                : checked(PyUnicode_FromFormat("cannot import name '%s' from %R (unknown location)", name,
                                               package.ptr()));
        PyErr_SetImportError(message.ptr(), package.ptr(), path_obj.is_valid() ? path_obj.ptr() : nullptr);
        raise_current();
    }
    return values;
}

// (major, minor) of a version string such as "1.8.dev0" or "0.24.2"; -1 where not a number.
std::pair<int, int> major_minor(const std::string& version) {
    int parts[2] = {-1, -1};
    size_t pos = 0;
    for (int k = 0; k < 2 && pos <= version.size(); ++k) {
        size_t end = pos;
        while (end < version.size() && std::isdigit(static_cast<unsigned char>(version[end]))) ++end;
        if (end > pos) parts[k] = std::stoi(version.substr(pos, end - pos));
        pos = version.find('.', pos);
        if (pos == std::string::npos) break;
        ++pos;
    }
    return {parts[0], parts[1]};
}

// Whether the parameters of `fn`'s signature include `name`; false when there is no readable
// signature.
bool signature_has(nb::handle fn, const char* name) {
    try {
        nb::object inspect = checked(PyImport_ImportModule("inspect"));
        nb::object parameters = attr(call(attr(inspect, "signature"), {fn}), "parameters");
        int found = PySequence_Contains(parameters.ptr(), nb::str(name).ptr());
        if (found < 0) raise_current();
        return found == 1;
    } catch (nb::python_error& e) {
        if (!is_ordinary(e)) throw;
        return false;
    }
}

// ---------------------------------------------------------------- parameters changed after construction

// The wrapped estimator is built by the constructor. A parameter changed later through
// set_params (as grid search does on a clone) would otherwise never reach it: fit rebuilds the
// wrapped estimator when one of its settings no longer is what the wrapper's parameter says.

// Whether `wrapped.name` still is `wanted`: the same object, equal, or both NaN. A setting the
// wrapped object does not expose counts as current.
bool setting_current(nb::handle wrapped, const char* name, nb::handle wanted) {
    PyObject* value = nullptr;
    const int found = tabrix_lookup_attr(wrapped.ptr(), interned(name), &value);
    if (found < 0) raise_current();
    if (found == 0) return true;
    nb::object current = nb::steal(value);
    if (current.ptr() == wanted.ptr()) return true;
    if (PyFloat_Check(current.ptr()) && PyFloat_Check(wanted.ptr()) && std::isnan(PyFloat_AS_DOUBLE(current.ptr())) &&
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

// ---------------------------------------------------------------- SimpleImputer construction

// Releases from 1.8 on drop all-missing columns also for the "constant" strategy unless asked
// to keep them, where older ones kept them filled with the fill value. Both imputers rely on
// the older layout, so scikit-learn's own class is asked to keep them on those releases.
struct ImputerCompat {
    PyObject* own_class = nullptr;  // scikit-learn's SimpleImputer (strong reference)
    bool keep_empty_for_constant = false;
};

const ImputerCompat& imputer_compat() {
    static const ImputerCompat compat = [] {
        ImputerCompat r;
        nb::object impute = checked(PyImport_ImportModule("sklearn.impute"));
        nb::object own = attr(impute, "SimpleImputer");
        nb::object sklearn = checked(PyImport_ImportModule("sklearn"));
        nb::object version = attr(sklearn, "__version__");
        const char* text = PyUnicode_Check(version.ptr()) ? PyUnicode_AsUTF8(version.ptr()) : nullptr;
        if (!text) raise_current();
        const auto mm = major_minor(text);
        const bool drops = mm.first > 1 || (mm.first == 1 && mm.second >= 8);
        r.keep_empty_for_constant = drops && signature_has(attr(own, "__init__"), "keep_empty_features");
        r.own_class = own.release().ptr();
        return r;
    }();
    return compat;
}

// SimpleImputer(strategy=strategy, missing_values=missing_values), through the module global.
nb::object make_simple_imputer(const Call& c, nb::handle strategy, nb::handle missing_values) {
    nb::object cls = c.g["SimpleImputer"];
    static nb::handle names = kw_names({"strategy", "missing_values"});
    static nb::handle names_keep = kw_names({"strategy", "missing_values", "keep_empty_features"});
    static nb::handle constant = interned("constant");
    const ImputerCompat& compat = imputer_compat();
    if (compat.keep_empty_for_constant && cls.ptr() == compat.own_class && equals(strategy, constant)) {
        return call(cls, {strategy, missing_values, Py_True}, names_keep);
    }
    return call(cls, {strategy, missing_values}, names);
}

// The wrapper's imputer, rebuilt first when strategy or missing_values changed since.
nb::object current_imputer(const Call& c, nb::handle self) {
    nb::object imputer = attr(self, "imputer");
    nb::object strategy = attr(self, "strategy");
    nb::object missing_values = attr(self, "missing_values");
    if (setting_current(imputer, "strategy", strategy) && setting_current(imputer, "missing_values", missing_values)) {
        return imputer;
    }
    imputer = make_simple_imputer(c, strategy, missing_values);
    set_attr(self, "imputer", imputer);
    return imputer;
}

// ---------------------------------------------------------------- CatImputer

namespace cat_imputer {

const Protocol protocol("CatImputer", [] {
    ProtocolRow row;
    row.fit_asserts = true;
    row.transform_asserts = false;
    return row;
}());

nb::object init(const Call& c) {
    // self, strategy, missing_values, sklearn_version_family, activate_flag
    nb::handle self = c[0];
    set_attr(self, "sklearn_version_family", c[3]);
    set_attr(self, "strategy", c[1]);
    set_attr(self, "missing_values", c[2]);
    set_attr(self, "activate_flag", c[4]);
    set_attr(self, "imputer", make_simple_imputer(c, c[1], c[2]));
    return nb::none();
}

nb::object fit(const Call& c) {
    return protocol.fit(c, [&c](nb::handle self, nb::handle X, nb::handle y) {
        if (truthy(attr(self, "activate_flag"))) call(attr(current_imputer(c, self), "fit"), {X, y});
    });
}

nb::object transform(const Call& c) {
    return protocol.transform(c, [](nb::handle self, nb::handle X) {
        return truthy(attr(self, "activate_flag")) ? call(attr(attr(self, "imputer"), "transform"), {X})
                                                   : nb::borrow(X);
    });
}

}  // namespace cat_imputer

// ---------------------------------------------------------------- NumImputer

namespace num_imputer {

const Protocol protocol("NumImputer", [] {
    ProtocolRow row;
    row.transform_asserts = false;
    return row;
}());

nb::object init(const Call& c) {
    // self, strategy, missing_values, activate_flag
    nb::handle self = c[0];
    set_attr(self, "strategy", c[1]);
    set_attr(self, "missing_values", c[2]);
    set_attr(self, "activate_flag", c[3]);
    set_attr(self, "imputer", make_simple_imputer(c, c[1], c[2]));
    return nb::none();
}

bool constant_strategy(nb::handle self) {
    static nb::handle constant = interned("constant");
    return !truthy(checked(PyObject_RichCompare(attr(self, "strategy").ptr(), constant.ptr(), Py_NE)));
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

nb::object fit(const Call& c) {
    return protocol.fit(c, [&c](nb::handle self, nb::handle X, nb::handle y) {
        if (!truthy(attr(self, "activate_flag"))) return;
        nb::object imputer = current_imputer(c, self);
        if (!constant_strategy(self)) {
            set_attr(self, "bad_columns", all_missing_columns(c, X, attr(self, "missing_values")));
        }
        call(attr(imputer, "fit"), {X, y});
    });
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
    const ImputerCompat& compat = imputer_compat();
    if (reinterpret_cast<PyObject*>(Py_TYPE(imputer.ptr())) != compat.own_class) return false;
    return attr(imputer, "copy").ptr() == Py_True;
}

nb::object impute(const Call& c, nb::handle self, nb::handle X) {
    nb::object imputer = attr(self, "imputer");
    nb::handle float_type = reinterpret_cast<PyObject*>(&PyFloat_Type);
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

nb::object transform(const Call& c) {
    auto work = [&c](nb::handle self, nb::handle X) {
        return truthy(attr(self, "activate_flag")) ? impute(c, self, X) : nb::borrow(X);
    };
    // Last, after the return trace: the output keeps the shape of the input.
    auto same_shape = [](nb::handle X, nb::handle Y) {
        if (assertions_enabled()) assert_true(equals(attr(X, "shape"), attr(Y, "shape")));
    };
    return protocol.transform(c, work, NoHook{}, same_shape);
}

}  // namespace num_imputer

// ---------------------------------------------------------------- CatEncoder

namespace cat_encoder {

const Protocol protocol("CatEncoder", [] {
    ProtocolRow row;
    row.fit_asserts = true;
    row.transform_asserts = false;
    return row;
}());

// Whether OneHotEncoder class `cls` names its dense/sparse switch `sparse_output` (releases from
// 1.2 on; `sparse` was deprecated then and removed in 1.4). Read from the constructor's signature
// once per class object; a class without that parameter gets the original `sparse`.
bool takes_sparse_output(nb::handle cls) {
    struct Entry {
        PyObject* cls;  // strong reference, so the address cannot be reused by another class
        bool sparse_output;
    };
    static std::vector<Entry> cache;
    for (const Entry& e : cache) {
        if (e.cls == cls.ptr()) return e.sparse_output;
    }
    bool result = false;
    try {
        result = signature_has(attr(cls, "__init__"), "sparse_output");
    } catch (nb::python_error& e) {
        if (!is_ordinary(e)) throw;
    }
    // Another thread may have filled the entry while the signature was read.
    for (const Entry& e : cache) {
        if (e.cls == cls.ptr()) return e.sparse_output;
    }
    PyObject* evicted = nullptr;
    if (cache.size() >= 16) {
        evicted = cache.front().cls;
        cache.erase(cache.begin());
    }
    cache.push_back(Entry{nb::borrow(cls).release().ptr(), result});
    Py_XDECREF(evicted);
    return result;
}

nb::object make_encoder(const Call& c, nb::handle self, nb::handle encoding, nb::handle categories,
                        nb::handle dtype, nb::handle handle_unknown) {
    static nb::handle family_020dev = interned("020dev");
    static nb::handle family_019 = interned("019");
    nb::object family = attr(self, "sklearn_version_family");
    if (equals(family, family_020dev) || equals(family, family_019)) {
        nb::object cls = from_import(c, "sklearn.preprocessing", {"CategoricalEncoder"})[0];
        static nb::handle names = kw_names({"encoding", "categories", "dtype", "handle_unknown"});
        return call(cls, {encoding, categories, dtype, handle_unknown}, names);
    }
    std::vector<nb::object> classes = from_import(c, "sklearn.preprocessing", {"OneHotEncoder", "OrdinalEncoder"});
    const nb::object& one_hot = classes[0];
    const nb::object& ordinal = classes[1];

    static nb::handle ordinal_name = interned("ordinal");
    static nb::handle onehot_name = interned("onehot");
    static nb::handle onehot_dense_name = interned("onehot-dense");
    static nb::handle ordinal_names = kw_names({"categories", "dtype"});
    if (equals(encoding, ordinal_name)) return call(ordinal, {categories, dtype}, ordinal_names);

    bool one_hot_chosen = false, sparse_flag = false;
    if (equals(encoding, onehot_name)) {
        one_hot_chosen = sparse_flag = true;
    } else if (equals(encoding, onehot_dense_name)) {
        one_hot_chosen = true;
    }
    if (!one_hot_chosen) return call(ordinal, {categories, dtype}, ordinal_names);

    static nb::handle sparse_names = kw_names({"categories", "sparse", "dtype", "handle_unknown"});
    static nb::handle sparse_output_names = kw_names({"categories", "sparse_output", "dtype", "handle_unknown"});
    nb::handle names = takes_sparse_output(one_hot) ? sparse_output_names : sparse_names;
    return call(one_hot, {categories, sparse_flag ? Py_True : Py_False, dtype, handle_unknown}, names);
}

// Whether the encoder was built from other parameters than the wrapper holds now. A wrapped
// encoder switched to ignore unknown categories (after a recovery) keeps that switch.
bool encoder_stale(nb::handle self, nb::handle encoder) {
    static nb::handle family_020dev = interned("020dev");
    static nb::handle family_019 = interned("019");
    static nb::handle onehot_name = interned("onehot");
    static nb::handle onehot_dense_name = interned("onehot-dense");
    static nb::handle ignore = interned("ignore");
    nb::object family = attr(self, "sklearn_version_family");
    nb::object encoding = attr(self, "encoding");
    const bool categorical = equals(family, family_020dev) || equals(family, family_019);
    const bool sparse = equals(encoding, onehot_name);
    const bool one_hot = !categorical && (sparse || equals(encoding, onehot_dense_name));
    const char* expected = categorical ? "CategoricalEncoder" : one_hot ? "OneHotEncoder" : "OrdinalEncoder";
    nb::handle cls = reinterpret_cast<PyObject*>(Py_TYPE(encoder.ptr()));
    if (!equals(attr(cls, "__name__"), nb::str(expected))) return true;
    if (!setting_current(encoder, "categories", attr(self, "categories")) ||
        !setting_current(encoder, "dtype", attr(self, "dtype"))) {
        return true;
    }
    if (categorical && !setting_current(encoder, "encoding", encoding)) return true;
    if (one_hot && !setting_current(encoder, takes_sparse_output(cls) ? "sparse_output" : "sparse",
                                    sparse ? Py_True : Py_False)) {
        return true;
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

nb::object init(const Call& c) {
    // self, encoding, categories, dtype, handle_unknown, sklearn_version_family, activate_flag
    nb::handle self = c[0];
    set_attr(self, "encoding", c[1]);
    set_attr(self, "categories", c[2]);
    set_attr(self, "dtype", c[3]);
    set_attr(self, "handle_unknown", c[4]);
    set_attr(self, "sklearn_version_family", c[5]);
    set_attr(self, "activate_flag", c[6]);
    set_attr(self, "encoder", make_encoder(c, self, c[1], c[2], c[3], c[4]));
    return nb::none();
}

nb::object fit(const Call& c) {
    return protocol.fit(c, [&c](nb::handle self, nb::handle X, nb::handle y) {
        if (!truthy(attr(self, "activate_flag"))) return;
        if (encoder_stale(self, attr(self, "encoder"))) {
            set_attr(self, "encoder", make_encoder(c, self, attr(self, "encoding"), attr(self, "categories"),
                                                   attr(self, "dtype"), attr(self, "handle_unknown")));
        }
        call(attr(attr(self, "encoder"), "fit"), {X, y});
        set_attr(self, "categories_found", attr(attr(self, "encoder"), "categories_"));
    });
}

// Releases that can be told to ignore unknown categories: 0.24 and later 0.x, and 1.x.
bool recovery_release(const Call& c) {
    static nb::handle major_1 = interned("1");
    static nb::handle major_0 = interned("0");
    static nb::handle last_unsupported_minor = PyLong_FromLong(23);
    nb::object versions = c.g["sklearn_version_list"];
    nb::object major = checked(PyObject_GetItem(versions.ptr(), nb::int_(0).ptr()));
    if (equals(major, major_1)) return true;
    if (!equals(checked(PyObject_GetItem(versions.ptr(), nb::int_(0).ptr())), major_0)) return false;
    nb::object minor = checked(PyNumber_Long(checked(PyObject_GetItem(versions.ptr(), nb::int_(1).ptr())).ptr()));
    return truthy(checked(PyObject_RichCompare(minor.ptr(), last_unsupported_minor.ptr(), Py_GT)));
}

// The message with its bracketed list of values cut out: the text before the first "[", then
// what follows the first "]" after it, up to the next bracket.
nb::object cut_value_list(nb::handle message) {
    static nb::handle open = interned("[");
    static nb::handle close = interned("]");
    nb::object pieces = checked(PyUnicode_Split(message.ptr(), open.ptr(), -1));
    nb::object before = checked(PySequence_GetItem(pieces.ptr(), 0));
    nb::object inside = checked(PySequence_GetItem(pieces.ptr(), 1));
    nb::object after = checked(PySequence_GetItem(checked(PyUnicode_Split(inside.ptr(), close.ptr(), -1)).ptr(), 1));
    return checked(PyUnicode_Concat(before.ptr(), after.ptr()));
}

nb::object encode(const Call& c, nb::handle self, nb::handle X) {
    try {
        return call(attr(attr(self, "encoder"), "transform"), {X});
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        bool recover;
        {
            Handling handling(e);
            static nb::handle prefix = interned("Found unknown categories");
            nb::object message = str_of(e.value());
            recover = truthy(call(attr(message, "startswith"), {prefix})) && recovery_release(c);
        }
        if (!recover) throw;  // the same exception object
        Handling handling(e);
        nb::object warning_text = cut_value_list(str_of(e.value()));
        call(attr(c.g["warnings"], "warn"), {warning_text, c.g["Warning"]});
        static nb::handle ignore = interned("ignore");
        // For good: later calls with unseen values neither raise nor warn.
        set_attr(attr(self, "encoder"), "handle_unknown", ignore);
        return call(attr(attr(self, "encoder"), "transform"), {X});
    }
}

nb::object transform(const Call& c) {
    return protocol.transform(c, [&c](nb::handle self, nb::handle X) {
        return truthy(attr(self, "activate_flag")) ? encode(c, self, X) : nb::borrow(X);
    });
}

}  // namespace cat_encoder

// ---------------------------------------------------------------- OptStandardScaler

namespace opt_scaler {

// No trace lines in fit.
const Protocol protocol("OptStandardScaler", [] {
    ProtocolRow row;
    row.fit_asserts = true;
    row.fit_traces = false;
    row.transform_asserts = false;
    return row;
}());

// The three options (from the keyword arguments, True where absent) and the scaler built from them.
void build_scaler(const Call& c, nb::handle self, nb::handle kwargs) {
    for (const char* option : {"num_scaler_copy", "num_scaler_with_mean", "num_scaler_with_std"}) {
        PyObject* value = kwargs.is_valid() ? PyDict_GetItemString(kwargs.ptr(), option) : nullptr;  // borrowed
        set_attr(self, option, value ? nb::handle(value) : nb::handle(Py_True));
    }
    static nb::handle names = kw_names({"copy", "with_mean", "with_std"});
    nb::object scaler = call(c.g["StandardScaler"],
                             {attr(self, "num_scaler_copy"), attr(self, "num_scaler_with_mean"),
                              attr(self, "num_scaler_with_std")},
                             names);
    set_attr(self, "scaler", scaler);
}

nb::object init(const Call& c) {
    // self, use_scaler_flag, **kwargs
    nb::handle self = c[0], kwargs = c[2];
    set_attr(self, "use_scaler_flag", c[1]);
    if (truthy(attr(self, "use_scaler_flag"))) build_scaler(c, self, kwargs);
    return nb::none();
}

nb::object fit(const Call& c) {
    return protocol.fit(c, [&c](nb::handle self, nb::handle X, nb::handle y) {
        if (!truthy(attr(self, "use_scaler_flag"))) return;
        // Switched on after a construction without scaler (set_params, grid search): built now,
        // with the options at their defaults, as a clone would get them.
        if (!has_attr(self, "scaler")) build_scaler(c, self, nb::handle());
        call(attr(attr(self, "scaler"), "fit"), {X, y});
    });
}

nb::object transform(const Call& c) {
    return protocol.transform(c, [](nb::handle self, nb::handle X) {
        return truthy(attr(self, "use_scaler_flag")) ? call(attr(attr(self, "scaler"), "transform"), {X})
                                                     : nb::borrow(X);
    });
}

}  // namespace opt_scaler

}  // namespace

// ---------------------------------------------------------------- class definitions

ClassDef opt_standard_scaler_class(const Globals&) {
    static const std::string init_doc = method_doc({
        ":param use_scaler_flag: Act as StandardScaler() if true, do nothing if false. Deault is True",
        "StandardScaler parameters. See:",
        "https://scikit-learn.org/stable/modules/generated/sklearn.preprocessing.StandardScaler.html",
        ":param num_scaler_copy:",
        ":param num_scaler_with_mean:",
        ":param num_scaler_with_std:",
    });
    return ClassDef{"OptStandardScaler",
                    class_doc({"This transformer implements an optional StandardScaler.",
                               "It acts as a StandardScaler() if use_scaler_flag is True.",
                               "Otherwise it returns the input numpy array unchanged"}),
                    true,
                    MethodDef{"__init__", init_doc.c_str(),
                              {required("self"), optional("use_scaler_flag", Py_True), var_keyword("kwargs")},
                              native<opt_scaler::init>},
                    MethodDef{"fit", nullptr, fit_params(), native<opt_scaler::fit>},
                    MethodDef{"transform", nullptr, transform_params(), native<opt_scaler::transform>}};
}

ClassDef cat_imputer_class(const Globals& g) {
    imputer_compat();
    nb::object family = g["global_sklearn_version_family"];
    return ClassDef{"CatImputer", class_doc({"This is a wrapper for categorical imputer"}), true,
                    MethodDef{"__init__", nullptr,
                              {required("self"), required("strategy"), required("missing_values"),
                               optional("sklearn_version_family", family.ptr()), optional("activate_flag", Py_True)},
                              native<cat_imputer::init>},
                    MethodDef{"fit", nullptr, fit_params(), native<cat_imputer::fit>},
                    MethodDef{"transform", nullptr, transform_params(), native<cat_imputer::transform>}};
}

ClassDef cat_encoder_class(const Globals& g) {
    nb::object family = g["global_sklearn_version_family"];
    return ClassDef{"CatEncoder", class_doc({"This is a template for classes"}), true,
                    MethodDef{"__init__", nullptr,
                              {required("self"), required("encoding"), required("categories"), required("dtype"),
                               required("handle_unknown"), optional("sklearn_version_family", family.ptr()),
                               optional("activate_flag", Py_True)},
                              native<cat_encoder::init>},
                    MethodDef{"fit", nullptr, fit_params(), native<cat_encoder::fit>},
                    MethodDef{"transform", nullptr, transform_params(), native<cat_encoder::transform>}};
}

ClassDef num_imputer_class(const Globals&) {
    imputer_compat();
    return ClassDef{"NumImputer", class_doc({"This is a wrapper for numerical imputer"}), true,
                    MethodDef{"__init__", nullptr,
                              {required("self"), required("strategy"), required("missing_values"),
                               optional("activate_flag", Py_True)},
                              native<num_imputer::init>},
                    MethodDef{"fit", nullptr, fit_params(), native<num_imputer::fit>},
                    MethodDef{"transform", nullptr, transform_params(), native<num_imputer::transform>}};
}

}  // namespace tabrix::exportable
