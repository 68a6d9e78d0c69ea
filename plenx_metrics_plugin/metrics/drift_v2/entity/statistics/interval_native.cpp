// interval_native.cpp: native stand-ins for library calls on the hot paths.
//
// Each shortcut applies only while the module's global is still the original it replaces.
#include "interval.hpp"

#include <pthread.h>
#include <sys/random.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace interval {

using namespace glue;

namespace {

// What the module imported at load, when it was the genuine article (else null).
PyObject* standard_uuid4 = nullptr;
PyObject* numpy_module = nullptr;
PyObject* numpy_absolute = nullptr;
PyTypeObject* float64_type = nullptr;
PyObject* numpy_true = nullptr;
PyObject* numpy_false = nullptr;
PyObject* declared_get_python_types = nullptr;
PyTypeObject* passed_through[8];
size_t passed_through_count = 0;
PyTypeObject* float_converted[8];  // only float subclasses of fixed behaviour
size_t float_converted_count = 0;
PyObject* declared_round = nullptr;
int round_digits = 0;

// ---- uuid4 ----

// Random bytes are read from the OS in batches; a forked child must not reuse its parent's.
unsigned char pool[4096];
size_t pool_used = sizeof(pool);

void forget_pool() { pool_used = sizeof(pool); }

void refill_pool() {
    static bool fork_handler = (pthread_atfork(nullptr, nullptr, forget_pool) == 0);
    (void)fork_handler;
    size_t filled = 0;
    while (filled < sizeof(pool)) {
        const ssize_t n = getrandom(pool + filled, sizeof(pool) - filled, 0);
        if (n < 0) {
            if (errno == EINTR) {
                if (PyErr_CheckSignals() < 0) raise();
                continue;
            }
            PyErr_SetFromErrno(PyExc_OSError);
            raise();
        }
        filled += static_cast<size_t>(n);
    }
    pool_used = 0;
}

/// The canonical text of a random version-4 UUID, as str(uuid.uuid4()) gives it.
Ref random_uuid_text() {
    if (pool_used + 16 > sizeof(pool)) refill_pool();
    unsigned char bytes[16];
    std::memcpy(bytes, pool + pool_used, 16);
    std::memset(pool + pool_used, 0, 16);
    pool_used += 16;
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);  // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
    Ref result = check(PyUnicode_New(36, 127));
    Py_UCS1* out = PyUnicode_1BYTE_DATA(result.get());
    static constexpr char hex[] = "0123456789abcdef";
    for (int i = 0, j = 0; i < 16; i++) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out[j++] = '-';
        out[j++] = static_cast<Py_UCS1>(hex[bytes[i] >> 4]);
        out[j++] = static_cast<Py_UCS1>(hex[bytes[i] & 0x0f]);
    }
    return result;
}

/// Whether `function` is uuid.uuid4 as the standard library defines it.
bool is_standard_uuid4(PyObject* function) {
    if (!PyFunction_Check(function)) return false;
    Ref uuid = Ref::steal(PyImport_GetModule(Ref(text("uuid"))));
    if (!uuid) {
        PyErr_Clear();
        return false;
    }
    Ref original = lookup_attr(uuid, names::uuid4);
    if (original.get() != function) return false;
    Ref module = lookup_attr(function, Ref(text("__module__")));
    return module && PyUnicode_Check(module) && PyUnicode_CompareWithASCIIString(module, "uuid") == 0;
}

// ---- numpy ----

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
    reinterpret_cast<PyFloatObject*>(scalar)->ob_fval = value;
    return Ref::steal(scalar);
}

/// The value of a plain float, a numpy.float64 or an int exactly representable as a double.
bool number(PyObject* o, double* value, bool* numpy_result) {
    if (PyFloat_CheckExact(o)) {
        *value = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (float64_type != nullptr && Py_IS_TYPE(o, float64_type)) {
        *value = PyFloat_AS_DOUBLE(o);
        *numpy_result = true;
        return true;
    }
    if (PyLong_CheckExact(o)) {
        long v;
        constexpr long exact = 1L << 53;
        if (!small_int(o, &v) || v > exact || v < -exact) return false;
        *value = static_cast<double>(v);
        return true;
    }
    return false;
}

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
    if (!declared || !PyTuple_CheckExact(declared) || PyTuple_GET_SIZE(declared.get()) > 8) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(declared.get()); i++)
        if (!PyType_Check(PyTuple_GET_ITEM(declared.get(), i))) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(declared.get()); i++) {
        auto* type = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(declared.get(), i));
        if (floats_only && (!PyType_IsSubtype(type, &PyFloat_Type) || PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)))
            continue;
        types[(*count)++] = reinterpret_cast<PyTypeObject*>(Py_NewRef(type));
    }
    return true;
}

void remember_helpers(PyObject* globals) {
    Ref module = Ref::steal(PyImport_GetModule(Ref(text(helpers_module))));
    if (!module) {
        if (PyErr_Occurred()) raise();
        return;
    }
    Ref convert = global(globals, names::get_python_types);
    if (lookup_attr(module, names::get_python_types).get() == convert.get() &&
        declared_types(module, passed_through_name, false, passed_through, &passed_through_count)) {
        declared_types(module, float_converted_name, true, float_converted, &float_converted_count);  // optional
        declared_get_python_types = convert.release();
    }
    Ref round = global(globals, names::round_);
    Ref digits = lookup_attr(module, round_digits_name);
    long n;
    // Up to 4 digits, a double times 10**digits is exact in the x87 long double (64-bit mantissa).
    if (digits && PyLong_CheckExact(digits) && small_int(digits, &n) && n >= 0 && n <= 4 &&
        std::numeric_limits<long double>::digits >= 64 && lookup_attr(module, names::round_).get() == round.get()) {
        round_digits = static_cast<int>(n);
        declared_round = round.release();
    }
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

// ---- the field text of a continuous interval ----

/// Writes format(v, "") of a double that is the nearest one to a decimal with at most two
/// places, below 2**45 in size; false for any other double. Below 2**45 the spacing of doubles
/// is under 0.01, so that decimal is the shortest text that reads back as v: the host's repr.
bool format_two_places(double v, char*& out) {
    if (!(std::fabs(v) < 35184372088832.0)) return false;
    const long double whole = rintl(static_cast<long double>(v) * 100);  // exact product
    if (static_cast<double>(whole) / 100 != v) return false;
    long long hundredths = static_cast<long long>(whole);
    if (std::signbit(v)) {
        *out++ = '-';
        hundredths = -hundredths;
    }
    out = std::to_chars(out, out + 24, hundredths / 100).ptr;
    *out++ = '.';
    const int places = static_cast<int>(hundredths % 100);
    *out++ = static_cast<char>('0' + places / 10);
    if (places % 10 != 0) *out++ = static_cast<char>('0' + places % 10);
    return true;
}

/// Writes format(o, "") for an exact int that fits a long or a float that format_two_places takes.
bool format_number(PyObject* o, char*& out) {
    long value;
    if (PyLong_CheckExact(o) && small_int(o, &value)) {
        out = std::to_chars(out, out + 24, value).ptr;
        return true;
    }
    return PyFloat_CheckExact(o) && format_two_places(PyFloat_AS_DOUBLE(o), out);
}

}  // namespace

RangeText::RangeText(PyObject* lower) {
    if (format_number(lower, out_)) {
        *out_++ = '-';
    } else {
        lower_text_ = check(PyObject_Format(lower, nullptr));
    }
}

Ref RangeText::with(PyObject* upper) {
    char* lower_end = out_;
    if (!lower_text_ && format_number(upper, out_)) return check(PyUnicode_FromStringAndSize(buffer_, out_ - buffer_));
    if (!lower_text_) lower_text_ = check(PyUnicode_FromStringAndSize(buffer_, lower_end - 1 - buffer_));
    Ref upper_text = check(PyObject_Format(upper, nullptr));
    return check(PyUnicode_FromFormat("%U-%U", lower_text_.get(), upper_text.get()));
}

void remember_imports(PyObject* globals) {
    Ref uuid4 = global(globals, names::uuid4);
    if (standard_uuid4 == nullptr && is_standard_uuid4(uuid4)) standard_uuid4 = uuid4.release();
    if (numpy_module == nullptr) remember_numpy(global(globals, names::np));
    if (declared_get_python_types == nullptr && declared_round == nullptr) remember_helpers(globals);
}

Ref python_types(PyObject* convert, Ref value) {
    if (convert == declared_get_python_types) {
        PyTypeObject* type = Py_TYPE(value.get());
        for (size_t i = 0; i < passed_through_count; i++)
            if (passed_through[i] == type) return value;
        for (size_t i = 0; i < float_converted_count; i++)
            if (float_converted[i] == type) return floating(PyFloat_AS_DOUBLE(value.get()));
    }
    return call(convert, value.get());
}

Ref rounded(const Args& a, PyObject* bound) {
    Ref round = a.global(names::round_);
    if (round.get() == declared_round) {
        if (PyLong_CheckExact(bound)) return own(bound);
        double result;
        if (PyFloat_CheckExact(bound) && round_decimal(PyFloat_AS_DOUBLE(bound), round_digits, &result))
            return floating(result);
    }
    return call(round, bound);
}

Ref new_id(const Args& a) {
    Ref uuid4 = a.global(names::uuid4);
    if (uuid4.get() == standard_uuid4) return random_uuid_text();
    Ref uuid = call(uuid4);
    return str(uuid);
}

Ref absolute(const Args&, PyObject* np_module, PyObject* abs_function, PyObject* production, PyObject* baseline) {
    if (np_module == numpy_module && abs_function == numpy_absolute && PyFloat_CheckExact(production) &&
        PyFloat_CheckExact(baseline)) {
        const double b = PyFloat_AS_DOUBLE(baseline);
        return make_float64(std::fabs((PyFloat_AS_DOUBLE(production) - b) / b));
    }
    Ref difference = check(PyNumber_Subtract(production, baseline));
    Ref quotient = check(PyNumber_TrueDivide(difference, baseline));
    return call(abs_function, quotient.get());
}

Ref compare_numbers(PyObject* a, PyObject* b, int op) {
    double x, y;
    bool numpy_result = false;
    if (number(a, &x, &numpy_result) && number(b, &y, &numpy_result)) {
        const bool result = apply_comparison(x, y, op);
        // numpy answers its own comparisons with numpy booleans.
        return own(numpy_result ? (result ? numpy_true : numpy_false) : (result ? Py_True : Py_False));
    }
    return glue::compare(a, b, op);
}

bool compare_in_place(PyObject* a, PyObject* b, int op, bool* result) noexcept {
    double x, y;
    bool numpy_result = false;
    if (!number(a, &x, &numpy_result) || !number(b, &y, &numpy_result)) return false;
    *result = apply_comparison(x, y, op);
    return true;
}

bool holds(PyObject* a, PyObject* b, int op) {
    double x, y;
    bool numpy_result = false;
    if (number(a, &x, &numpy_result) && number(b, &y, &numpy_result)) return apply_comparison(x, y, op);
    return truthy(glue::compare(a, b, op));
}

}  // namespace interval
