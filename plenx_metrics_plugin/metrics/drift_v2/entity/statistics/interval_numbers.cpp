// interval_numbers.cpp: the numbers of the change measures: numpy's abs, comparisons, helpers.
//
// Each is done here only while the module's global is the original it stands for and that
// original is unchanged; otherwise the module's global is called.
#include "interval.hpp"

#include <plenx_glue/snapshot.hpp>

#include <cmath>
#include <limits>

namespace interval {

using namespace glue;
using detail::float64_type;

PyTypeObject* detail::float64_type = nullptr;

namespace {

// numpy as imported at load, when it was the genuine article (else null); all strong.
#if PLENX_FAST_LAYER
PyObject* numpy_module = nullptr;
PyObject* numpy_absolute = nullptr;
#endif
PyObject* numpy_true = nullptr;
PyObject* numpy_false = nullptr;

// The value helpers as seen at load, when their module declared what they do (never destroyed).
FunctionSnapshot& get_python_types_seen = *new FunctionSnapshot;
PyTypeObject* passed_through[8];
size_t passed_through_count = 0;
PyTypeObject* float_converted[8];  // only float subclasses of fixed behaviour
size_t float_converted_count = 0;
FunctionSnapshot& round_seen = *new FunctionSnapshot;
int round_digits = 0;

// ---- numpy ----
#if PLENX_FAST_LAYER  // numpy's scalars are built in place: the stable-ABI build calls numpy

/// Whether numpy's float64 is a float subclass with float's layout, so it can be built directly.
bool float64_is_float(PyObject* type) {
    if (!PyType_Check(type)) return false;
    auto* t = reinterpret_cast<PyTypeObject*>(type);
    return PyType_IsSubtype(t, &PyFloat_Type) && t->tp_basicsize == static_cast<Py_ssize_t>(sizeof(PyFloatObject)) &&
           t->tp_itemsize == 0 && t->tp_alloc != nullptr;
}

void remember_numpy(PyObject* np) {
    if (!PyModule_Check(np)) return;
    Ref name = check(PyModule_GetNameObject(np));
    if (PyUnicode_CompareWithASCIIString(name, "numpy") != 0) return;
    Ref absolute = lookup_attr(np, names::abs);
    Ref reference = lookup_attr(np, Ref(text("absolute")));
    Ref float64 = lookup_attr(np, Ref(text("float64")));
    Ref bool_type = lookup_attr(np, Ref(text("bool_")));
    if (!absolute || absolute.get() != reference.get() || !float64 || !float64_is_float(float64) || !bool_type) return;
    numpy_true = call(bool_type, Py_True).release();
    numpy_false = call(bool_type, Py_False).release();
    numpy_module = Py_NewRef(np);
    numpy_absolute = absolute.release();
    float64_type = reinterpret_cast<PyTypeObject*>(float64.release());
}

/// A numpy.float64 holding `value`, built the way numpy builds its scalars.
Ref make_float64(double value) {
    PyObject* scalar = float64_type->tp_alloc(float64_type, 0);
    if (scalar == nullptr) raise();
    set_float_value(scalar, value);
    return Ref::steal(scalar);
}
#endif

// ---- the value helpers ----

// The helpers' module declares what its functions do to plain values; without the declaration
// (another module of that name), they are always called.
constexpr const char helpers_module[] = "plenx_metrics_plugin.common.utils.python_utils";
Name passed_through_name{"PASSED_THROUGH"};
Name float_converted_name{"FLOAT_CONVERTED"};
Name round_digits_name{"ROUND_DIGITS"};

/// The types of a declared tuple, at most 8; false when it is missing or not a tuple of types.
/// With `floats_only`, only built-in float subclasses are kept: float(v) of one of them is the
/// double it holds, where a class of the host's could say otherwise.
bool declared_types(PyObject* module, const Name& name, bool floats_only, PyTypeObject** types, size_t* count) {
    Ref declared = lookup_attr(module, name);
    // A later load of the module (a second instance, or one whose first look took no snapshot)
    // reads the declaration anew: what an earlier one read makes way.
    for (; *count > 0; --*count) Py_DECREF(reinterpret_cast<PyObject*>(types[*count - 1]));
    if (!declared || !PyTuple_CheckExact(declared) || tuple_size(declared.get()) > 8) return false;
    for (Py_ssize_t i = 0; i < tuple_size(declared.get()); i++)
        if (!PyType_Check(tuple_item(declared.get(), i))) return false;
    for (Py_ssize_t i = 0; i < tuple_size(declared.get()); i++) {
        auto* type = reinterpret_cast<PyTypeObject*>(tuple_item(declared.get(), i));
        if (floats_only && (!PyType_IsSubtype(type, &PyFloat_Type) || PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)))
            continue;
        types[(*count)++] = reinterpret_cast<PyTypeObject*>(Py_NewRef(reinterpret_cast<PyObject*>(type)));
    }
    return true;
}

void remember_helpers(PyObject* globals) {
    Ref module = Ref::steal(PyImport_GetModule(Ref(text(helpers_module))));
    if (!module) {
        if (PyErr_Occurred()) raise();
        return;
    }
    // The declarations describe the helpers as their module defines them, so only those very
    // functions are taken, each with everything its code reads.
    Ref convert = global(globals, names::get_python_types);
    if (lookup_attr(module, names::get_python_types).get() == convert.get() &&
        declared_types(module, passed_through_name, false, passed_through, &passed_through_count)) {
        declared_types(module, float_converted_name, true, float_converted, &float_converted_count);  // optional
        get_python_types_seen.take(convert);
    }
    Ref round = global(globals, names::round_);
    Ref digits = lookup_attr(module, round_digits_name);
    long n;
    // Up to 4 digits, a double times 10**digits is exact in the x87 long double (64-bit mantissa).
    if (digits && PyLong_CheckExact(digits) && fast::small_int(digits, &n) && n >= 0 && n <= 4 &&
        std::numeric_limits<long double>::digits >= 64 && lookup_attr(module, names::round_).get() == round.get() &&
        round_seen.take(round))
        round_digits = static_cast<int>(n);
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

void remember_imports(PyObject* globals) {
    remember_standard_uuid4();
#if PLENX_FAST_LAYER
    if (numpy_module == nullptr && shortcuts()) remember_numpy(global(globals, names::np));
#endif
    if (get_python_types_seen.function() == nullptr && round_seen.function() == nullptr) remember_helpers(globals);
}

Ref python_types(PyObject* convert, Ref value) {
    if (get_python_types_seen.unchanged(convert)) {
        PyTypeObject* type = Py_TYPE(value.get());
        for (size_t i = 0; i < passed_through_count; i++)
            if (passed_through[i] == type) return value;
        for (size_t i = 0; i < float_converted_count; i++)
            if (float_converted[i] == type) return floating(glue::float_value(value.get()));
    }
    return call(convert, value.get());
}

Ref rounded(const Args& a, PyObject* bound) {
    Ref round = a.global(names::round_);
    if (round_seen.unchanged(round)) {
        if (PyLong_CheckExact(bound)) return own(bound);
        double result;
        if (PyFloat_CheckExact(bound) && round_decimal(glue::float_value(bound), round_digits, &result))
            return floating(result);
    }
    return call(round, bound);
}

Ref absolute(const Args&, PyObject* np_module, PyObject* abs_function, PyObject* production, PyObject* baseline) {
#if PLENX_FAST_LAYER
    if (np_module == numpy_module && abs_function == numpy_absolute && PyFloat_CheckExact(production) &&
        PyFloat_CheckExact(baseline)) {
        const double b = glue::float_value(baseline);
        return make_float64(std::fabs((glue::float_value(production) - b) / b));
    }
#else
    (void)np_module;
#endif
    Ref difference = check(PyNumber_Subtract(production, baseline));
    Ref quotient = check(PyNumber_TrueDivide(difference, baseline));
    return call(abs_function, quotient.get());
}


Ref NumberComparison::result() const {
    if (!known_) return fast::compare(a_, b_, op_);
    return own(numpy_ ? (answer_ ? numpy_true : numpy_false) : (answer_ ? Py_True : Py_False));
}

}  // namespace interval
