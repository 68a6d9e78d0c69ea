// interval_numbers.cpp: the numbers of the change measures: numpy's abs, comparisons, helpers.
//
// Each is done here only while the module's global is the original it stands for and that
// original is unchanged; otherwise the module's global is called.
#include "interval.hpp"

#include <plenx_glue/snapshot.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "interval_originals.hpp"

namespace interval {

using namespace glue;

namespace {

// ---- numpy ----

#if PLENX_FAST_LAYER  // numpy's scalars are built in place: the stable-ABI build calls numpy

/// Whether numpy's float64 is a float subclass with float's layout, so it can be built directly.
bool float64_is_float(PyObject* type) {
    if (!trust::static_type_named(type, "numpy.float64")) return false;
    auto* t = reinterpret_cast<PyTypeObject*>(type);
    return PyType_IsSubtype(t, &PyFloat_Type) && t->tp_basicsize == static_cast<Py_ssize_t>(sizeof(PyFloatObject)) &&
           t->tp_itemsize == 0 && t->tp_alloc != nullptr;
}

/// A numpy.float64 holding `value`, built the way numpy builds its scalars.
Ref make_float64(PyTypeObject* type, double value) {
    PyObject* scalar = type->tp_alloc(type, 0);
    if (scalar == nullptr) raise();
    set_float_value(scalar, value);
    return Ref::steal(scalar);
}

#endif  // PLENX_FAST_LAYER

// ---- the value helpers ----

/// The static types in the frozenset get_python_types tests membership in (exact types only:
/// `type(v) in _PLAIN` then holds by identity, with no __eq__ of the host's asked); false where
/// the set holds anything else.
bool plain_types(PyObject* set, std::vector<PyTypeObject*>& types) {
    if (set == nullptr || !PyFrozenSet_CheckExact(set)) return false;
    Ref items = check(PySequence_List(set));
    for (Py_ssize_t i = 0; i < list_size(items.get()); i++) {
        PyObject* type = list_item(items.get(), i);
        if (!PyType_Check(type) || PyType_HasFeature(reinterpret_cast<PyTypeObject*>(type), Py_TPFLAGS_HEAPTYPE) ||
            !Py_IS_TYPE(type, &PyType_Type))
            return false;
        types.push_back(reinterpret_cast<PyTypeObject*>(type));
    }
    return true;
}

/// The static float subclasses the dict of conversions maps to float itself: float(v) of one
/// of them is the double it holds, where a class of the host's could say otherwise. False where
/// a key is not a class of metaclass type: one whose hash matches could answer the lookup with
/// an __eq__ of the host's, ahead of the type it stands beside.
bool float_types(PyObject* conversions, const std::vector<PyTypeObject*>& plain, std::vector<PyTypeObject*>& types) {
    if (conversions == nullptr || !PyDict_CheckExact(conversions)) return false;
    PyObject *key, *value;
    for (Py_ssize_t pos = 0; PyDict_Next(conversions, &pos, &key, &value);) {
        if (!Py_IS_TYPE(key, &PyType_Type)) return false;
        if (value != reinterpret_cast<PyObject*>(&PyFloat_Type)) continue;
        auto* type = reinterpret_cast<PyTypeObject*>(key);
        if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) || !PyType_IsSubtype(type, &PyFloat_Type)) continue;
        // A type in both is returned as it is: the set is asked first.
        if (std::find(plain.begin(), plain.end(), type) == plain.end()) types.push_back(type);
    }
    return true;
}


/// round(x, digits) as the interpreter computes it (correctly rounded decimal, ties to even,
/// read back to the nearest double); false where this shortcut cannot promise the same.
bool round_decimal(double x, int digits, double* result) {
    static constexpr double scales[] = {1.0, 10.0, 100.0, 1000.0, 10000.0};
    if (!std::isfinite(x)) return false;
    const double scale = scales[digits];
    const long double scaled = static_cast<long double>(x) * scale;  // exact
    const long double whole = rintl(scaled);                          // ties to even
    if (std::fabs(whole) >= 9007199254740992.0L) return false;     // 2**53: no longer exact as a double
    // Both operands are exact, so the quotient is the double nearest to the decimal.
    *result = static_cast<double>(whole) / scale;
    return true;
}

}  // namespace

#if PLENX_FAST_LAYER
void remember_numpy(PyObject* np) noexcept {
    Originals& o = seen.get();
    if (o.numpy_module) return;
    trust::vouch([&] {
        // numpy.abs must be numpy's own absolute, not merely what numpy.absolute is now.
        Ref absolute = trust::module_entry(np, "abs");
        Ref float64 = trust::module_entry(np, "float64");
        if (absolute == nullptr || !trust::genuine_ufunc(absolute, "absolute") || float64 == nullptr ||
            !float64_is_float(float64))
            return false;
        // numpy's booleans, as its own comparison of two of its floats gives them.
        auto* type = reinterpret_cast<PyTypeObject*>(float64.get());
        Ref one = make_float64(type, 1.0), two = make_float64(type, 2.0);
        Ref yes = compare(one, two, Py_LT), no = compare(two, one, Py_LT);
        o.float64 = float64;
        o.float64_type = type;
        o.numpy_true = yes;
        o.numpy_false = no;
        o.numpy_absolute = absolute;
        o.numpy_module = Ref::borrow(np);
        return true;
    });
}

void remember_helpers(PyObject* convert, PyObject* round) noexcept {
    Originals& o = seen.get();
    if (o.get_python_types_seen.function() == nullptr) {
        trust::vouch([&] {
            if (!trust::same_code_as(convert, originals::helpers, "get_python_types")) return false;
            PyObject* globals = PyFunction_GET_GLOBALS(convert);
            Ref set = trust::entry(globals, "_PLAIN");
            Ref conversions = trust::entry(globals, "_NUMPY_TO_PLAIN");
            std::vector<PyTypeObject*> plain, floats;
            TypeTable by_type;
            if (!plain_types(set, plain) || !float_types(conversions, plain, floats) || !by_type.fill(plain, floats) ||
                // `get` is only read as the dict's method; numpy only for what is passed on.
                !trust::reads_genuine_names(
                    convert, {{"_PLAIN", set}, {"_NUMPY_TO_PLAIN", conversions}, {"get", nullptr}, {"np", nullptr}}) ||
                !o.get_python_types_seen.take(convert))
                return false;
            // The snapshot holds the set and the dict, so the types they hold stay alive.
            o.python_types_by_type = by_type;
            return true;
        });
    }
    if (o.round_seen.function() == nullptr) {
        trust::vouch([&] {
            if (!trust::same_code_as(round, originals::helpers, "round_")) return false;
            // The digits are the default the code rounds to: one exact int. Up to 4 digits, a
            // double times 10**digits is exact in the x87 long double (64-bit mantissa).
            PyObject* defaults = PyFunction_GET_DEFAULTS(round);
            long n;
            if (defaults == nullptr || !PyTuple_CheckExact(defaults) || PyTuple_GET_SIZE(defaults) != 1 ||
                !PyLong_CheckExact(PyTuple_GET_ITEM(defaults, 0)) || !fast::small_int(PyTuple_GET_ITEM(defaults, 0), &n) ||
                n < 0 || n > 4 || std::numeric_limits<long double>::digits < 64 ||
                PyFunction_GET_KW_DEFAULTS(round) != nullptr || !trust::reads_genuine_names(round, {{"np", nullptr}}) ||
                !o.round_seen.take(round))
                return false;
            o.round_digits = static_cast<int>(n);
            return true;
        });
    }
}

void remember_originals(PyObject* globals) noexcept {
    if (!shortcuts()) return;
    Ref uuid4 = trust::entry(globals, "uuid4");
    if (uuid4 != nullptr) remember_standard_uuid4(uuid4);
    Ref np = trust::entry(globals, "np");
    if (np != nullptr) remember_numpy(np);
    Ref convert = trust::entry(globals, "get_python_types");
    Ref round = trust::entry(globals, "round_");
    if (convert != nullptr && round != nullptr) remember_helpers(convert, round);
    Ref manager = trust::entry(globals, "ControlBoxManager");
    if (manager != nullptr) remember_control_box(manager);
}
#else
// The stable-ABI build stands in for the helpers and uuid4, vouched for with what the Limited
// API shows (glue/watch.hpp), and for numpy's absolute of a float with numpy's own float64.
void remember_numpy(PyObject* np) noexcept {
    Originals& o = seen.get();
    if (o.numpy_module) return;
    trust::vouch([&] {
        Ref absolute = trust::module_entry(np, "abs");
        Ref float64 = trust::module_entry(np, "float64");
        if (absolute == nullptr || !trust::genuine_ufunc(absolute, "absolute") || float64 == nullptr ||
            !trust::static_type_named(float64, "numpy.float64") ||
            !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(float64.get()), &PyFloat_Type))
            return false;
        o.float64 = float64;  // float64_type stays null: numbers are compared by the interpreter
        o.numpy_absolute = absolute;
        o.numpy_module = Ref::borrow(np);
        return true;
    });
}

void remember_helpers(PyObject* convert, PyObject* round) noexcept {
    Originals& o = seen.get();
    if (o.get_python_types_seen.function() == nullptr) {
        trust::vouch([&] {
            if (!trust::same_code_as(convert, originals::helpers, "get_python_types")) return false;
            Ref globals = getattr(convert, Ref(text("__globals__")));
            Ref set = trust::entry(globals, "_PLAIN");
            Ref conversions = trust::entry(globals, "_NUMPY_TO_PLAIN");
            std::vector<PyTypeObject*> plain, floats;
            TypeTable by_type;
            if (!plain_types(set, plain) || !float_types(conversions, plain, floats) || !by_type.fill(plain, floats) ||
                !trust::reads_genuine_names(
                    convert, {{"_PLAIN", set}, {"_NUMPY_TO_PLAIN", conversions}, {"get", nullptr}, {"np", nullptr}}) ||
                // The globals read for a value of a type passed through; the dict of conversions
                // is read where a value is converted (python_types_here).
                !o.get_python_types_seen.take(convert, {"type", "_PLAIN"}))
                return false;
            o.python_types_by_type = by_type;
            o.conversions = conversions;
            return true;
        });
    }
    if (o.round_seen.function() == nullptr) {
        trust::vouch([&] {
            if (!trust::same_code_as(round, originals::helpers, "round_")) return false;
            Ref defaults = getattr(round, Ref(text("__defaults__")));
            Ref kwdefaults = getattr(round, Ref(text("__kwdefaults__")));
            long n;
            if (!PyTuple_CheckExact(defaults) || tuple_size(defaults) != 1 || !PyLong_CheckExact(tuple_item(defaults, 0)) ||
                !glue::small_int(tuple_item(defaults, 0), &n) || n < 0 || n > 4 ||
                std::numeric_limits<long double>::digits < 64 || kwdefaults.get() != Py_None ||
                !trust::reads_genuine_names(round, {{"np", nullptr}}) ||
                // The globals read for an exact int or float.
                !o.round_seen.take(round, {"type", "int", "float", "round"}) ||
                o.round_seen.defaults() != defaults.get())
                return false;
            o.round_digits = static_cast<int>(n);
            return true;
        });
    }
}

void remember_originals(PyObject* globals) noexcept {
    // Only with the hook of this interpreter added: it tells of assignments and tracers.
    if (!basic_shortcuts() || !watch::install()) return;
    Ref uuid4 = trust::entry(globals, "uuid4");
    if (uuid4 != nullptr) remember_standard_uuid4(uuid4);
    Ref np = trust::entry(globals, "np");
    if (np != nullptr) remember_numpy(np);
    Ref convert = trust::entry(globals, "get_python_types");
    Ref round = trust::entry(globals, "round_");
    if (convert != nullptr && round != nullptr) remember_helpers(convert, round);
}
#endif

#if PLENX_FAST_LAYER
bool python_types_native(const Args& a, PyObject* convert) noexcept {
    // While a tracer or profiler would see the helper's call, it is called.
    return seen->get_python_types_seen.unchanged(convert) && !fast::observed(a, convert);
}
#else
bool python_types_native(const Args&, PyObject* convert) {
    // The stable-ABI build: the vouched helper, no tracer, the work due at its first instruction
    // run here (which may raise), then the globals its code reads on the way.
    const glue::FunctionSnapshot& helper = seen->get_python_types_seen;
    return helper.holds(convert) && !glue::watch::observed() && helper.reads_unchanged();
}
#endif

const TypeTable& python_types_table() noexcept { return seen->python_types_by_type; }

Ref python_types_floated(PyObject* value) {
#if !PLENX_FAST_LAYER
    // The global, then the dict, which may have changed in place unseen: read as the helper
    // reads them.
    const Originals& o = seen.get();
    PyObject* globals = o.get_python_types_seen.globals();
    PyObject* to_plain = PyDict_GetItemWithError(globals, names::NUMPY_TO_PLAIN) == o.conversions.get()
                             ? PyDict_GetItemWithError(o.conversions, reinterpret_cast<PyObject*>(Py_TYPE(value)))
                             : nullptr;
    if (to_plain != reinterpret_cast<PyObject*>(&PyFloat_Type)) {
        PyErr_Clear();
        return Ref();
    }
#endif
    return floating(glue::float_value(value));
}

Ref python_types(const Args& a, PyObject* convert, Ref value) {
    if (python_types_native(a, convert)) {
        if (Ref done = python_types_here(python_types_table(), value.get())) return done;
    }
    return call(convert, value.get());
}

Ref rounded(const Args& a, PyObject* bound) {
    Ref round = a.global(names::round_);
#if PLENX_FAST_LAYER
    if (const Originals& o = seen.get(); o.round_seen.unchanged(round) && !fast::observed(a, round)) {
#else
    // The stable-ABI build: the vouched round_, no tracer, the work due run, then what it reads.
    if (const Originals& o = seen.get();
        o.round_seen.holds(round) && !glue::watch::observed() && o.round_seen.reads_unchanged()) {
#endif
        if (PyLong_CheckExact(bound)) return own(bound);
        double result;
        if (PyFloat_CheckExact(bound) && round_decimal(glue::float_value(bound), o.round_digits, &result))
            return floating(result);
    }
    return call(round, bound);
}

Ref absolute(const Args&, PyObject* np_module, PyObject* abs_function, PyObject* production, PyObject* baseline) {
#if PLENX_FAST_LAYER
    if (const Originals& o = seen.get(); np_module == o.numpy_module.get() && abs_function == o.numpy_absolute.get() &&
                                          PyFloat_CheckExact(production) && PyFloat_CheckExact(baseline)) {
        const double b = glue::float_value(baseline);
        return make_float64(o.float64_type, std::fabs((glue::float_value(production) - b) / b));
    }
#else
    // The stable-ABI build: numpy's own absolute of an exact float is the float64 of its
    // magnitude, made by numpy's own constructor (C code, as the ufunc is).
    if (const Originals& o = seen.get(); np_module == o.numpy_module.get() && abs_function == o.numpy_absolute.get() &&
                                          PyFloat_CheckExact(production) && PyFloat_CheckExact(baseline)) {
        const double b = glue::float_value(baseline);
        Ref magnitude = floating(std::fabs((glue::float_value(production) - b) / b));
        return call(o.float64, magnitude.get());
    }
#endif
    Ref difference = check(PyNumber_Subtract(production, baseline));
    Ref quotient = check(PyNumber_TrueDivide(difference, baseline));
    return call(abs_function, quotient.get());
}


Ref NumberComparison::result() const {
    if (!known_) return fast::compare(a_, b_, op_);
    return own(known_result());
}

PyObject* NumberComparison::known_result() const noexcept {
    if (!known_) return nullptr;
    if (!numpy_) return answer_ ? Py_True : Py_False;
    const Originals& o = seen.get();
    return answer_ ? o.numpy_true.get() : o.numpy_false.get();
}

}  // namespace interval
