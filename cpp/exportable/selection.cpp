// Selection and shaping: transformers that return their input, or a selection, permutation or
// per-slice reduction of it.
#include "exportable/families.h"

namespace tabrix::exportable {

// ---------------------------------------------------------------- AllPassPreprocessingTransformer

namespace all_pass {

const TraceTexts texts("AllPassPreprocessingTransformer");

nb::object init(const Call&) { return nb::none(); }

nb::object fit(const Call& c) {
    nb::handle self = c[0], X = c[1];
    check_n_features(self, X, true);
    Trace trace(c);
    trace.start(texts.fit_start, X);
    trace.end(texts.fit_end, X);
    return nb::borrow(self);
}

nb::object transform(const Call& c) {
    nb::handle self = c[0], X = c[1];
    assert_2d(X);
    check_array(c, X);
    check_fitted_n_features(self, X);
    Trace trace(c);
    trace.start(texts.transform_start, X);
    nb::handle Y = X;
    trace.end(texts.transform_end, Y);
    return_trace(c, self, X, Y);
    return nb::borrow(Y);
}

}  // namespace all_pass

ClassDef all_pass_class(const Globals&) {
    return ClassDef{"AllPassPreprocessingTransformer", "", false,
                    MethodDef{"__init__", nullptr, {required("self")}, native<all_pass::init>},
                    MethodDef{"fit", nullptr, fit_params(), native<all_pass::fit>},
                    MethodDef{"transform", nullptr, transform_params(), native<all_pass::transform>}};
}

}  // namespace tabrix::exportable
