#include "exportable/sklearn_compat.h"

#include <cctype>
#include <string>
#include <vector>

namespace tabrix::exportable::sklearn_compat {
namespace {

Release installed;

// scikit-learn's own objects as imported at start-up, to tell them from rebound or patched ones
// (strong references, kept for the life of the process).
PyObject* own_check_array = nullptr;
PyObject* own_simple_imputer = nullptr;
PyObject* own_ordinal_encoder = nullptr;
PyObject* validation_check_n_features = nullptr;  // nullptr before 1.6
PyObject* base_check_n_features = nullptr;        // nullptr from 1.7 on

// The finite-check keyword of scikit-learn's own check_array.
const char* finite_keyword = "force_all_finite";
bool keep_empty_for_constant = false;

Release parse_release(nb::handle version) {
    Release r;
    const char* text = PyUnicode_Check(version.ptr()) ? PyUnicode_AsUTF8(version.ptr()) : nullptr;
    if (!text) {
        PyErr_Clear();
        return r;
    }
    const std::string s(text);
    int* parts[2] = {&r.major, &r.minor};
    size_t pos = 0;
    for (int k = 0; k < 2 && pos <= s.size(); ++k) {
        size_t end = pos;
        while (end < s.size() && std::isdigit(static_cast<unsigned char>(s[end]))) ++end;
        if (end > pos && end - pos < 9) *parts[k] = std::stoi(s.substr(pos, end - pos));
        pos = s.find('.', pos);
        if (pos == std::string::npos) break;
        ++pos;
    }
    return r;
}

// Whether the parameters of `fn`'s signature include `name`; false when there is no readable
// signature.
bool signature_has(nb::handle fn, const char* name) {
    try {
        nb::object inspect = import_module("inspect");
        nb::object parameters = attr(call(attr(inspect, "signature"), {fn}), "parameters");
        const int found = PySequence_Contains(parameters.ptr(), nb::str(name).ptr());
        if (found < 0) raise_current();
        return found == 1;
    } catch (nb::python_error& e) {
        if (!is_ordinary(e)) throw;
        return false;
    }
}

}  // namespace

bool Release::at_least(int major_wanted, int minor_wanted) const {
    return major > major_wanted || (major == major_wanted && minor >= minor_wanted);
}

const Release& release() { return installed; }

void start_up(nb::handle module) {
    installed = parse_release(attr(attr(module, "sklearn"), "__version__"));

    // check_array's finite-value keyword: "force_all_finite" until 1.5, "ensure_all_finite"
    // from 1.6 (the old name went in 1.8). Can go when 1.6 is the oldest supported release.
    own_check_array = attr(module, "check_array").release().ptr();
    if (signature_has(own_check_array, "ensure_all_finite")) finite_keyword = "ensure_all_finite";

    // _check_n_features: a BaseEstimator method until 1.6, a function in validation from 1.6
    // (the method went in 1.7). Can go when 1.6 is the oldest supported release.
    nb::object validation = import_module("sklearn.utils.validation");
    if (has_attr(validation, "_check_n_features")) {
        validation_check_n_features = attr(validation, "_check_n_features").release().ptr();
    }
    nb::object base = attr(module, "BaseEstimator");
    if (has_attr(base, "_check_n_features"))
        base_check_n_features = attr(base, "_check_n_features").release().ptr();

    // SimpleImputer drops all-missing columns also for the "constant" strategy from 1.8 on,
    // unless keep_empty_features (1.2 on) asks it to keep them; both imputers rely on the older
    // layout. Stays while 1.8 and later are supported; the release test can go when 1.8 is the
    // oldest supported release.
    nb::object impute = import_module("sklearn.impute");
    nb::object own = attr(impute, "SimpleImputer");
    keep_empty_for_constant =
        installed.at_least(1, 8) && signature_has(attr(own, "__init__"), "keep_empty_features");
    own_simple_imputer = own.release().ptr();

    // OrdinalEncoder's codes for unknown categories it ignores changed in 1.10: only its own
    // class is watched. Stays while 1.10 and later are supported.
    if (installed.at_least(1, 10)) {
        own_ordinal_encoder =
            attr(import_module("sklearn.preprocessing"), "OrdinalEncoder").release().ptr();
    }
}

// ---------------------------------------------------------------- validation

nb::handle check_array_keywords(nb::handle fn) {
    static nb::handle documented_names = kw_names({"ensure_min_features", "ensure_min_samples",
                                                   "dtype", "force_all_finite", "accept_sparse"});
    static nb::handle installed_names = kw_names(
        {"ensure_min_features", "ensure_min_samples", "dtype", finite_keyword, "accept_sparse"});
    return fn.ptr() == own_check_array ? installed_names : documented_names;
}

void check_n_features(nb::handle self, nb::handle X, bool reset) {
    static nb::handle reset_name = kw_names({"reset"});
    nb::handle flag = reset ? Py_True : Py_False;
    // Where validation has the function, it is used unless a subclass overrides the method.
    bool use_method = validation_check_n_features == nullptr;
    if (!use_method) {
        nb::handle cls = reinterpret_cast<PyObject*>(Py_TYPE(self.ptr()));
        if (has_attr(cls, "_check_n_features")) {
            use_method = attr(cls, "_check_n_features").ptr() != base_check_n_features;
        }
    }
    if (use_method) {
        call(attr(self, "_check_n_features"), {X, flag}, reset_name);
    } else {
        call(validation_check_n_features, {self, X, flag}, reset_name);
    }
}

// ---------------------------------------------------------------- SimpleImputer

nb::object new_simple_imputer(nb::handle cls, nb::handle strategy, nb::handle missing_values) {
    static nb::handle names = kw_names({"strategy", "missing_values"});
    static nb::handle names_keep = kw_names({"strategy", "missing_values", "keep_empty_features"});
    static nb::handle constant = interned("constant");
    if (keep_empty_for_constant && cls.ptr() == own_simple_imputer && equals(strategy, constant)) {
        return call(cls, {strategy, missing_values, Py_True}, names_keep);
    }
    return call(cls, {strategy, missing_values}, names);
}

bool is_own_simple_imputer(nb::handle obj) {
    return reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())) == own_simple_imputer;
}

// ---------------------------------------------------------------- encoders

EncoderKind encoder_kind(nb::handle family, nb::handle encoding) {
    // CategoricalEncoder existed only in the 0.20 development line: no supported release has it,
    // but a caller may still name these families. Stays while the parameter does.
    static nb::handle family_020dev = interned("020dev");
    static nb::handle family_019 = interned("019");
    if (equals(family, family_020dev) || equals(family, family_019))
        return EncoderKind::Categorical;
    static nb::handle ordinal = interned("ordinal");
    static nb::handle onehot = interned("onehot");
    static nb::handle onehot_dense = interned("onehot-dense");
    if (equals(encoding, ordinal)) return EncoderKind::Ordinal;
    if (equals(encoding, onehot)) return EncoderKind::OneHotSparse;
    if (equals(encoding, onehot_dense)) return EncoderKind::OneHotDense;
    return EncoderKind::Ordinal;
}

nb::object encoder_class(PyObject* globals, EncoderKind kind) {
    if (kind == EncoderKind::Categorical)
        return from_import(globals, "sklearn.preprocessing", {"CategoricalEncoder"})[0];
    // Both names, as one import statement: either one missing fails whatever the encoding.
    std::vector<nb::object> classes =
        from_import(globals, "sklearn.preprocessing", {"OneHotEncoder", "OrdinalEncoder"});
    return std::move(classes[is_one_hot(kind) ? 0 : 1]);
}

namespace {
bool takes_sparse_output(nb::handle cls) {
    // "sparse_output" from 1.2 on ("sparse" was deprecated then and removed in 1.4). Read from
    // the constructor's signature once per class object. Can go when 1.2 is the oldest
    // supported release.
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
}  // namespace

const char* sparse_keyword(nb::handle cls) {
    return takes_sparse_output(cls) ? "sparse_output" : "sparse";
}

nb::handle one_hot_keywords(nb::handle cls) {
    static nb::handle sparse_names = kw_names({"categories", "sparse", "dtype", "handle_unknown"});
    static nb::handle sparse_output_names =
        kw_names({"categories", "sparse_output", "dtype", "handle_unknown"});
    return takes_sparse_output(cls) ? sparse_output_names : sparse_names;
}

bool can_ignore_unknown_categories(const Call& c) {
    // 0.24 and later 0.x, and 1.x. Every supported release passes; the test stays because it
    // reads the module's sklearn_version_list, which callers may rebind. The 0.x arm can go when
    // 1.0 is the oldest supported release.
    static nb::handle major_1 = interned("1");
    static nb::handle major_0 = interned("0");
    static nb::handle last_unsupported_minor = PyLong_FromLong(23);
    nb::object versions = c.g["sklearn_version_list"];
    nb::object major = checked(PyObject_GetItem(versions.ptr(), nb::int_(0).ptr()));
    if (equals(major, major_1)) return true;
    if (!equals(checked(PyObject_GetItem(versions.ptr(), nb::int_(0).ptr())), major_0))
        return false;
    nb::object minor =
        checked(PyNumber_Long(checked(PyObject_GetItem(versions.ptr(), nb::int_(1).ptr())).ptr()));
    return truthy(checked(PyObject_RichCompare(minor.ptr(), last_unsupported_minor.ptr(), Py_GT)));
}

void keep_unknown_codes_of_ignoring_ordinal(nb::handle encoder, nb::handle Y) {
    if (own_ordinal_encoder == nullptr ||
        reinterpret_cast<PyObject*>(Py_TYPE(encoder.ptr())) != own_ordinal_encoder ||
        !PyArray_Check(Y.ptr())) {
        return;
    }
    static nb::handle ignore = interned("ignore");
    nb::object handle_unknown = attr_if_present(encoder, "handle_unknown");
    if (!handle_unknown.is_valid() || !equals(handle_unknown, ignore)) return;
    // -1 is no code of a category, and the code of a missing value is what the caller set
    // (NaN by default): leave the codes alone where the caller chose -1 for it.
    static nb::handle minus_one = PyLong_FromLong(-1);
    nb::object missing = attr_if_present(encoder, "encoded_missing_value");
    if (missing.is_valid() && PyNumber_Check(missing.ptr()) && equals(missing, minus_one)) return;
    nb::object unknown = checked(PyObject_RichCompare(Y.ptr(), minus_one.ptr(), Py_EQ));
    static nb::handle zero = PyLong_FromLong(0);
    if (PyObject_SetItem(Y.ptr(), unknown.ptr(), zero.ptr()) < 0) raise_current();
}

// ---------------------------------------------------------------- NumPy

nb::handle numpy_float() {
    // np.float was an alias of the built-in float, removed in NumPy 1.24; the built-in serves
    // every release. Nothing left to drop.
    return reinterpret_cast<PyObject*>(&PyFloat_Type);
}

}  // namespace tabrix::exportable::sklearn_compat
