// Where the supported scikit-learn and NumPy releases differ, all in one place, the way
// scikit-learn keeps its own differences in utils/fixes.py. Each probe notes the oldest
// supported release from which it can go.
//
// The installed release is read once, at start-up; probes that depend on a class (a caller may
// patch scikit-learn's classes) are decided per class object.
#pragma once

#include "exportable/protocol.h"

namespace tabrix::exportable::sklearn_compat {

// Reads the installed release and records scikit-learn's own functions and classes. Called
// once by start-up, after the module's imports are bound.
void start_up(nb::handle module);

// (major, minor) of the installed scikit-learn, from its __version__ ("1.8.dev0" -> 1, 8);
// -1 where a part is not a number.
struct Release {
    int major = -1;
    int minor = -1;
    bool at_least(int major_wanted, int minor_wanted) const;
};
const Release& release();

// ---- validation

// The keyword names of the protocol's check_array call, for the function `fn` it calls:
// ensure_min_features, ensure_min_samples, dtype, the finite-value check, accept_sparse.
// scikit-learn's own function gets the finite-check keyword of the installed release; a
// rebound check_array gets the documented "force_all_finite".
nb::handle check_array_keywords(nb::handle fn);

// self._check_n_features(X, reset=...), or its replacement where the method is gone.
void check_n_features(nb::handle self, nb::handle X, bool reset);

// ---- SimpleImputer

// cls(strategy=strategy, missing_values=missing_values), where a "constant" imputer of
// scikit-learn's own class is asked to keep all-missing columns on releases that would drop them.
nb::object new_simple_imputer(nb::handle cls, nb::handle strategy, nb::handle missing_values);
// Whether `obj` is exactly scikit-learn's own SimpleImputer.
bool is_own_simple_imputer(nb::handle obj);

// ---- encoders

// Which encoder a CatEncoder wraps: the encoder-class rule, for building the encoder and for
// telling whether a wrapped one is stale.
enum class EncoderKind { Categorical, Ordinal, OneHotSparse, OneHotDense };
EncoderKind encoder_kind(nb::handle family, nb::handle encoding);
inline bool is_one_hot(EncoderKind kind) {
    return kind == EncoderKind::OneHotSparse || kind == EncoderKind::OneHotDense;
}
// The class for `kind`, imported from sklearn.preprocessing at the time of the call.
nb::object encoder_class(PyObject* globals, EncoderKind kind);
// The name OneHotEncoder class `cls` gives its dense/sparse switch: "sparse_output" or "sparse".
const char* sparse_keyword(nb::handle cls);
// The keyword names of cls(categories, <sparse switch>, dtype, handle_unknown).
nb::handle one_hot_keywords(nb::handle cls);
// Whether the release in the module's sklearn_version_list can switch an encoder to ignore
// unknown categories (the recovery of CatEncoder.transform).
bool can_ignore_unknown_categories(const Call& c);

// An OrdinalEncoder switched to ignore unknown categories (the recovery of CatEncoder.transform)
// encodes them as its first category, code 0, up to 1.9; from 1.10 on its transform gives them
// the code -1. On such releases, the -1 codes of scikit-learn's own OrdinalEncoder set to ignore
// are set to 0 in `Y`, its result, so that the codes stay those of every earlier release.
void keep_unknown_codes_of_ignoring_ordinal(nb::handle encoder, nb::handle Y);

// ---- NumPy

// What np.float named: the built-in float.
nb::handle numpy_float();

}  // namespace tabrix::exportable::sklearn_compat
