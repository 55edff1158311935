#include "exportable/protocol.h"

#include <cstdarg>
#include <unordered_map>

namespace tabrix::exportable {

// ---------------------------------------------------------------- errors and basic calls

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw nb::python_error();
}

void raise_format(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw nb::python_error();
}

void raise_current() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    throw nb::python_error();
}

PyObject* interned(const char* name) {
    // Names are string literals: their address identifies them. Interned strings carry their
    // hash, so the lookups below allocate nothing. Only touched with the GIL held.
    static std::unordered_map<const char*, PyObject*> cache;
    auto it = cache.find(name);
    if (it != cache.end()) return it->second;
    PyObject* key = PyUnicode_InternFromString(name);
    if (!key) raise_current();
    cache.emplace(name, key);
    return key;
}

nb::object Globals::operator[](const char* name) const {
    PyObject* key = interned(name);
    PyObject* value = PyDict_GetItemWithError(dict_, key);  // borrowed
    if (!value && !PyErr_Occurred()) {
        PyObject* builtins = PyEval_GetBuiltins();  // borrowed
        value = builtins ? PyDict_GetItemWithError(builtins, key) : nullptr;
    }
    if (!value && PyErr_Occurred()) raise_current();
    if (!value) raise_format(PyExc_NameError, "name '%s' is not defined", name);
    return nb::borrow(value);
}

bool Globals::flag(const char* name) const { return truthy((*this)[name]); }

bool truthy(nb::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0) raise_current();
    return r != 0;
}

nb::object attr(nb::handle obj, const char* name) { return checked(PyObject_GetAttr(obj.ptr(), interned(name))); }

bool has_attr(nb::handle obj, const char* name) {
    // hasattr(): only AttributeError means "absent"; anything else propagates.
    PyObject* value = nullptr;
    const int found = tabrix_lookup_attr(obj.ptr(), interned(name), &value);
    if (found < 0) raise_current();
    Py_XDECREF(value);
    return found == 1;
}

void set_attr(nb::handle obj, const char* name, nb::handle value) {
    if (PyObject_SetAttr(obj.ptr(), interned(name), value.ptr()) < 0) raise_current();
}

nb::object call(nb::handle fn, std::initializer_list<nb::handle> args, nb::handle kwnames) {
    PyObject* stack[16];
    size_t n = 0;
    for (nb::handle a : args) stack[n++] = a.ptr();
    const size_t n_kw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames.ptr())) : 0;
    return checked(PyObject_Vectorcall(fn.ptr(), stack, n - n_kw, kwnames.ptr()));
}

nb::handle kw_names(std::initializer_list<const char*> names) {
    // Leaked on purpose: call sites keep these for the life of the process.
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (!t) raise_current();
    Py_ssize_t i = 0;
    for (const char* name : names) {
        PyObject* s = PyUnicode_InternFromString(name);
        if (!s) raise_current();
        PyTuple_SET_ITEM(t, i++, s);
    }
    return t;
}

nb::object str_of(nb::handle obj) { return checked(PyObject_Str(obj.ptr())); }

bool equals(nb::handle a, nb::handle b) { return truthy(checked(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ))); }

Py_ssize_t as_size(nb::handle value) {
    const Py_ssize_t n = PyNumber_AsSsize_t(value.ptr(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) raise_current();
    return n;
}

nb::object shape_item(nb::handle X, Py_ssize_t axis) {
    nb::object shape = attr(X, "shape");
    return checked(PySequence_GetItem(shape.ptr(), axis));
}

nb::handle full_slice() {
    static PyObject* all = PySlice_New(nullptr, nullptr, nullptr);
    if (!all) raise_current();
    return all;
}

nb::object index_2d(nb::handle X, nb::handle rows, nb::handle columns) {
    nb::object key = checked(PyTuple_Pack(2, rows.ptr(), columns.ptr()));
    return checked(PyObject_GetItem(X.ptr(), key.ptr()));
}

nb::object get_column(nb::handle X, Py_ssize_t j) {
    nb::object position = checked(PyLong_FromSsize_t(j));
    return index_2d(X, full_slice(), position);
}

void set_column(nb::handle Y, Py_ssize_t j, nb::handle value) {
    nb::object position = checked(PyLong_FromSsize_t(j));
    nb::object key = checked(PyTuple_Pack(2, full_slice().ptr(), position.ptr()));
    if (PyObject_SetItem(Y.ptr(), key.ptr(), value.ptr()) < 0) raise_current();
}

namespace {
std::string utf8(nb::handle s) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
    if (!data) raise_current();
    return std::string(data, static_cast<size_t>(size));
}
}  // namespace

// ---------------------------------------------------------------- traces

TraceTexts::TraceTexts(const char* class_name)
    : fit_start(std::string(class_name) + ": Starting fit("),
      fit_end(std::string(class_name) + ": Ending fit("),
      transform_start(std::string(class_name) + ": Starting transform("),
      transform_end(std::string(class_name) + ": Ending transform(") {}

std::string shape_text(nb::handle A) {
    nb::object shape = attr(A, "shape");
    nb::object rows = checked(PySequence_GetItem(shape.ptr(), 0));
    static nb::handle minus_one = PyLong_FromLong(-1);
    nb::object reshaped = call(attr(A, "reshape"), {rows, minus_one});
    nb::object columns = checked(PySequence_GetItem(attr(reshaped, "shape").ptr(), 1));
    return utf8(str_of(rows)) + "x" + utf8(str_of(columns));
}

void print_line(const Call& c, nb::handle text) { call(c.g["print"], {text}); }

void print_line(const Call& c, const std::string& text) {
    nb::object s = checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
    print_line(c, s);
}

void Trace::print(const std::string& line) const { print_line(call_, line); }

void Trace::take_start_time() {
    if (call_.g.flag("debug_timings")) start_time_ = call(call_.g["time"], {});
}

void Trace::print_end(const std::string& text, const std::string& size_text, EndLine style, bool timed) {
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

namespace {
// scikit-learn's own check_array as imported at start-up, and the name of its keyword for
// finite-value checking in the installed release (renamed in 1.6, old name later removed).
PyObject* sklearn_check_array = nullptr;
const char* finite_keyword = "force_all_finite";
// Newer releases moved BaseEstimator._check_n_features to a function in validation (and later
// dropped the method); the function is used there unless a subclass overrides the method.
PyObject* validation_check_n_features = nullptr;
PyObject* base_check_n_features = nullptr;
}  // namespace

void init_compat(nb::handle module) {
    sklearn_check_array = attr(module, "check_array").release().ptr();
    nb::object inspect = checked(PyImport_ImportModule("inspect"));
    nb::object signature = call(attr(inspect, "signature"), {nb::handle(sklearn_check_array)});
    nb::object parameters = attr(signature, "parameters");
    int has_new_name = PySequence_Contains(parameters.ptr(), nb::str("ensure_all_finite").ptr());
    if (has_new_name < 0) raise_current();
    if (has_new_name) finite_keyword = "ensure_all_finite";

    nb::object validation = checked(PyImport_ImportModule("sklearn.utils.validation"));
    if (has_attr(validation, "_check_n_features")) {
        validation_check_n_features = attr(validation, "_check_n_features").release().ptr();
    }
    nb::object base = attr(module, "BaseEstimator");
    if (has_attr(base, "_check_n_features")) base_check_n_features = attr(base, "_check_n_features").release().ptr();
}

void check_array(const Call& c, nb::handle X) {
    nb::object fn = c.g["check_array"];
    static nb::handle allow_nan = PyUnicode_InternFromString("allow-nan");
    static nb::handle one = PyLong_FromLong(1);
    static nb::handle original_names = kw_names(
        {"ensure_min_features", "ensure_min_samples", "dtype", "force_all_finite", "accept_sparse"});
    static nb::handle compat_names = kw_names(
        {"ensure_min_features", "ensure_min_samples", "dtype", finite_keyword, "accept_sparse"});
    nb::handle names = fn.ptr() == sklearn_check_array ? compat_names : original_names;
    call(fn, {X, one, one, Py_None, allow_nan, Py_True}, names);
}

void check_n_features(nb::handle self, nb::handle X, bool reset) {
    static nb::handle reset_name = kw_names({"reset"});
    nb::handle flag = reset ? Py_True : Py_False;
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

// ---------------------------------------------------------------- the protocol

std::string Protocol::size_text(nb::handle X, nb::handle described) const {
    if (row_.list_size_text && PyList_Check(X.ptr())) {
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
    if (row_.transform_timed) trace.take_start_time();
}

void Protocol::end(Trace& trace, const std::string& text, nb::handle X, nb::handle described, EndLine style,
                   bool timed) const {
    if (!trace.debug()) return;
    trace.print_end(text, size_text(X, described), style, timed);
}

// ---------------------------------------------------------------- class definition

namespace {
std::string indented_doc(std::initializer_list<const char*> lines, const char* indent) {
    std::string doc = "\n";
    for (const char* line : lines) doc += std::string(indent) + line + "\n";
    return doc + indent;
}
}  // namespace

std::string class_doc(std::initializer_list<const char*> lines) { return indented_doc(lines, "    "); }
std::string method_doc(std::initializer_list<const char*> lines) { return indented_doc(lines, "        "); }

nb::object make_function(nb::handle module, MethodDef def) {
    nb::object module_name = attr(module, "__name__");
    PyObject* globals = PyModule_GetDict(module.ptr());  // borrowed
    return checked(new_native_method(std::move(def), module_name.ptr(), globals));
}

nb::object make_class(nb::handle module, ClassDef def) {
    nb::object module_name = attr(module, "__name__");
    nb::object ns = checked(PyDict_New());
    auto put = [&ns](const char* key, nb::handle value) {
        if (PyDict_SetItemString(ns.ptr(), key, value.ptr()) < 0) raise_current();
    };
    // Without __module__, a class created while the module initialises claims importlib's
    // bootstrap module, and pickling its instances fails.
    put("__module__", module_name);
    put("__qualname__", nb::str(def.name));
    if (def.has_doc) {
        put("__doc__", nb::str(def.doc.c_str()));
    } else {
        put("__doc__", Py_None);
    }
    put("__init__", make_function(module, std::move(def.init)));
    put("fit", make_function(module, std::move(def.fit)));
    put("transform", make_function(module, std::move(def.transform)));

    nb::object bases = checked(PyTuple_Pack(2, attr(module, "BaseEstimator").ptr(), attr(module, "TransformerMixin").ptr()));
    // type() itself, so that __init_subclass__ hooks of the bases run as for a class statement.
    return call(nb::handle(reinterpret_cast<PyObject*>(&PyType_Type)), {nb::str(def.name), bases, ns});
}

}  // namespace tabrix::exportable
