// Data frames at the protocol's door. A pandas or polars DataFrame is converted once, when fit
// or transform is entered, into the NumPy array the classes work on; the class families and the
// kernels only ever see arrays. The column names of a frame are the feature names fit records
// and transform checks, as scikit-learn's own estimators do.
#pragma once

#include "exportable/protocol.h"

namespace tabrix::exportable {

// What a fit or transform works on, and what its caller passed.
struct Input {
    nb::object array;   // the array (or other accepted container) the class works on
    nb::handle caller;  // the object passed in
    nb::object names;   // the frame's feature names (an object array of str), or invalid
    bool from_frame = false;
};

// The caller's X as the class sees it:
//   - a NumPy array, a list or tuple, or any other container with a shape (sparse matrices):
//     itself, untouched;
//   - a pandas or polars DataFrame: a new array, float64 when every column holds numbers and
//     object otherwise, with every missing cell (None, NaN, pd.NA, NaT, a null) as np.nan;
//   - anything else (a dict, a Series, a scalar): TypeError naming what is accepted.
// `method` is "fit" or "transform", for the message.
Input accept_input(const Call& c, nb::handle self, nb::handle X, const char* method);

// fit: feature_names_in_ set from the frame's names, or removed when X has none.
void record_feature_names(nb::handle self, const Input& in);
// transform of a fitted instance: a ValueError when the frame's names are not those seen in fit,
// in the same order; a UserWarning when only one of fit and transform had names.
void check_feature_names(nb::handle self, const Input& in);

}  // namespace tabrix::exportable
