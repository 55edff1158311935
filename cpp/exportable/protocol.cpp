#include "exportable/protocol.h"

#include <string>

#include "exportable/frames.h"
#include "exportable/sklearn_compat.h"

namespace tabrix::exportable {

// ---------------------------------------------------------------- traces

TraceTexts::TraceTexts(const char* class_name)
    : fit_start(std::string(class_name) + ": Starting fit("),
      fit_end(std::string(class_name) + ": Ending fit("),
      transform_start(std::string(class_name) + ": Starting transform("),
      transform_end(std::string(class_name) + ": Ending transform(") {}

std::string shape_text(nb::handle A) {
    nb::object rows = shape_item(A, 0);
    nb::object columns = shape_item(reshape_rows(A, rows), 1);
    return utf8(str_of(rows)) + "x" + utf8(str_of(columns));
}

void print_line(const Call& c, nb::handle text) { call(c.g["print"], {text}); }

void print_line(const Call& c, const std::string& text) {
    nb::object s =
        checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
    print_line(c, s);
}

void Trace::print(const std::string& line) const { print_line(call_, line); }

void Trace::take_start_time() {
    if (call_.g.flag("debug_timings")) start_time_ = call(call_.g["time"], {});
}

void Trace::print_end(const std::string& text, const std::string& size_text, EndLine style,
                      bool timed) {
    // A start time exists only when debug and debug_timings were both on before the work; if
    // another thread switched them on meanwhile, the untimed line is printed.
    if (timed && call_.g.flag("debug_timings") && start_time_.is_valid()) {
        nb::object now = call(call_.g["time"], {});
        nb::object elapsed = checked(PyNumber_Subtract(now.ptr(), start_time_.ptr()));
        print(text + size_text + "), elapsed_time (s): " + utf8(str_of(elapsed)));
        return;
    }
    switch (style) {
        case EndLine::Paren: print(text + size_text + ")"); break;
        case EndLine::NoParen: print(text + size_text); break;
        case EndLine::ParenThenNewline: print(text + size_text + ")\n"); break;
    }
}

void return_trace(const Call& c, nb::handle self, nb::handle X, nb::handle Y) {
    if (!c.g.flag("debug_transform_return")) return;
    nb::object class_name = attr(attr(self, "__class__"), "__name__");
    nb::object pieces = nb::steal(PyTuple_New(5));
    if (!pieces.is_valid()) raise_current();
    nb::object parts[5] = {class_name, nb::steal(PyUnicode_FromString(".transform(")), str_of(X),
                           nb::steal(PyUnicode_FromString(")->")), str_of(Y)};
    for (int i = 0; i < 5; ++i) {
        if (!parts[i].is_valid()) raise_current();
        PyTuple_SET_ITEM(pieces.ptr(), i, parts[i].release().ptr());
    }
    nb::object empty = checked(PyUnicode_FromString(""));
    print_line(c, checked(PyUnicode_Join(empty.ptr(), pieces.ptr())));
}

// ---------------------------------------------------------------- checks

bool assertions_enabled() {
    // `assert` statements are compiled out under python -O; __debug__ tells which mode runs.
    static const bool enabled = [] {
        PyObject* builtins = PyEval_GetBuiltins();
        PyObject* flag = builtins ? PyDict_GetItemString(builtins, "__debug__") : nullptr;
        return flag == nullptr || PyObject_IsTrue(flag) == 1;
    }();
    return enabled;
}

void assert_true(bool condition) {
    if (!condition) {
        PyErr_SetNone(PyExc_AssertionError);
        throw nb::python_error();
    }
}

void assert_2d(nb::handle X) {
    if (!assertions_enabled()) return;
    nb::object ndim = attr(X, "ndim");
    static nb::handle two = PyLong_FromLong(2);
    nb::object equal = checked(PyObject_RichCompare(ndim.ptr(), two.ptr(), Py_EQ));
    assert_true(truthy(equal));
}

void check_array(const Call& c, nb::handle X) {
    nb::object fn = c.g["check_array"];
    static nb::handle allow_nan = PyUnicode_InternFromString("allow-nan");
    static nb::handle one = PyLong_FromLong(1);
    call(fn, {X, one, one, Py_None, allow_nan, Py_True}, sklearn_compat::check_array_keywords(fn));
}

// ---------------------------------------------------------------- the protocol

std::string Protocol::size_text(nb::handle X, nb::handle described) const {
    if (row.list_size_text && PyList_Check(X.ptr())) {
        const Py_ssize_t n = PyObject_Length(X.ptr());
        if (n < 0) raise_current();
        return std::to_string(n) + "x1";
    }
    return shape_text(described);
}

void Protocol::start(Trace& trace, const std::string& text, nb::handle X) const {
    if (!trace.debug()) return;
    trace.print(text + size_text(X, X) + ")");
    // Classes without timings never read debug_timings.
    if (row.transform_timed) trace.take_start_time();
}

void Protocol::end(Trace& trace, const std::string& text, nb::handle X, nb::handle described,
                   EndLine style, bool timed) const {
    if (!trace.debug()) return;
    trace.print_end(text, size_text(X, described), style, timed);
}

nb::object pass_through(const Call&, nb::handle, nb::handle X) { return nb::borrow(X); }

bool Protocol::switched_on(nb::handle self) const {
    return row.switch_name == nullptr || truthy(attr(self, row.switch_name));
}

nb::object Protocol::fit(const Call& c) const {
    nb::handle self = c.self(), y = c.y();
    const Input in = accept_input(c, self, c.X(), "fit");
    nb::handle X = in.array;
    if (row.fit_asserts) assert_2d(X);
    record_feature_names(self, in);
    sklearn_compat::check_n_features(self, X, true);
    Trace trace(c);
    if (row.fit_traces) start(trace, texts_.fit_start, X);
    // The switch is read even by a class that learns nothing, so a flag without a truth value
    // fails in fit as it does in transform.
    if (!row.fit_reads_switch || switched_on(self)) {
        if (work.fit) work.fit(c, self, X, y);
    }
    if (row.fit_traces) end(trace, texts_.fit_end, X, X, EndLine::Paren, true);
    return nb::borrow(self);
}

nb::object Protocol::transform(const Call& c) const {
    nb::handle self = c.self();
    const Input in = accept_input(c, self, c.X(), "transform");
    nb::handle X = in.array;
    if (row.transform_asserts) assert_2d(X);
    check_array(c, X);
    if (has_attr(self, "n_features_in_") &&
        (!row.n_features_check_needs_switch || switched_on(self))) {
        check_feature_names(self, in);
        sklearn_compat::check_n_features(self, X, false);
    }
    Trace trace(c);
    start(trace, texts_.transform_start, X);
    nb::object Y;
    if (switched_on(self)) {
        Y = work.transform(c, self, X);
    } else {
        if (work.when_off) work.when_off(self);
        Y = nb::borrow(X);
    }
    end(trace, texts_.transform_end, X, row.end_line_describes_input ? X : nb::handle(Y),
        row.end_line, row.transform_timed);
    if (work.after_end_line) Y = work.after_end_line(std::move(Y));
    // Where the class hands back its input itself, a frame's caller gets the frame back.
    nb::object result = in.from_frame && Y.ptr() == X.ptr() ? nb::borrow(in.caller) : Y;
    return_trace(c, self, in.caller, result);
    if (work.before_return) work.before_return(X, Y);
    return result;
}

}  // namespace tabrix::exportable
