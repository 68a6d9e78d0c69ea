// glue/src/function.cpp: the compiled function type.
//
// Argument binding and its TypeErrors follow the interpreter's own rules for Python functions.
#include "plenx_glue/function.hpp"

#include <structmember.h>

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <string>

#include "plenx_glue/ops.hpp"
#include "plenx_glue/stack.hpp"

#if !PLENX_FAST_LAYER
namespace glue {
namespace {
/// Our calls on this thread, held against the recursion limit alone (the Limited API has no frame count).
[[gnu::tls_model("initial-exec")]] thread_local int depth = 0;
}  // namespace

/// On the C counter, and as a frame.
PyThreadState* enter_frame() noexcept {
    if (Py_EnterRecursiveCall("")) return nullptr;
    if (++depth <= Py_GetRecursionLimit()) return reinterpret_cast<PyThreadState*>(&depth);
    --depth;
    Py_LeaveRecursiveCall();
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
    return nullptr;
}
void leave_frame(PyThreadState*) noexcept {
    --depth;
    Py_LeaveRecursiveCall();
}
}  // namespace glue
#endif

namespace glue {

namespace {

Name builtins_key{"__builtins__"};
Name name_attribute{"name"};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;  // where definition_of() reads it (FunctionHead)
    const void* observation;  // FunctionHead's: set by fast::observation_of() where it is made
    const void* breaker;      // FunctionHead's: set by breaker_of()
    PyObject* globals;      // FunctionHead's: the module's dict
    PyObject* builtins;     // FunctionHead's: __builtins__, the module's when the function was made
    Context* context;       // FunctionHead's: held, the interpreter's, which its calls run in
    PyObject* varnames;     // FunctionHead's: the parameter names, interned
    PyObject* name;         // __name__
    PyObject* qualname;     // __qualname__
    PyObject* module;       // __module__
    PyObject* doc;          // __doc__
    PyObject* annotations;  // __annotations__ (a dict, or null until asked for)
    PyObject* defaults;     // __defaults__ (a tuple, or null)
    PyObject* kwdefaults;   // __kwdefaults__ (a dict, or null): kept only, as no parameter is keyword-only
    PyObject* code;         // __code__, so that inspect reads the signature
    PyObject* place;        // where its code finds it: (class global, key, attribute or None, holder type or None)
    PyObject* owner;        // the class that defines it (what super() starts after), or null
    PyObject* type_params;  // __type_params__ (a tuple, or null for none)
    PyObject* dict;         // __dict__
    PyObject* weakrefs;
};

static_assert(offsetof(FunctionObject, def) == offsetof(detail::FunctionHead, def));
static_assert(offsetof(FunctionObject, observation) == offsetof(detail::FunctionHead, observation));
static_assert(offsetof(FunctionObject, breaker) == offsetof(detail::FunctionHead, breaker));
static_assert(offsetof(FunctionObject, globals) == offsetof(detail::FunctionHead, globals));
static_assert(offsetof(FunctionObject, builtins) == offsetof(detail::FunctionHead, builtins));
static_assert(offsetof(FunctionObject, context) == offsetof(detail::FunctionHead, context));
static_assert(offsetof(FunctionObject, varnames) == offsetof(detail::FunctionHead, varnames));

FunctionObject* as_function(PyObject* o) noexcept { return reinterpret_cast<FunctionObject*>(o); }

// ---- argument binding, worded as the interpreter words it ----

[[noreturn]] void too_many_positional(FunctionObject* f, Py_ssize_t given, Py_ssize_t defcount) {
    const Py_ssize_t argcount = tuple_size(f->varnames);
    Ref sig = defcount ? check(PyUnicode_FromFormat("from %zd to %zd", argcount - defcount, argcount))
                       : check(PyUnicode_FromFormat("%zd", argcount));
    const bool plural = defcount != 0 || argcount != 1;
    raise(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given", f->qualname, sig.get(),
          plural ? "s" : "", given, given == 1 ? "was" : "were");
}

[[noreturn]] void missing_arguments(FunctionObject* f, PyObject** slots, Py_ssize_t end) {
    Ref names = check(PyList_New(0));
    for (Py_ssize_t i = 0; i < end; i++) {
        if (slots[i] != nullptr) continue;
        Ref quoted = check(PyObject_Repr(tuple_item(f->varnames, i)));
        check_status(PyList_Append(names, quoted));
    }
    // 'a', 'a' and 'b', 'a', 'b', and 'c'.
    const Py_ssize_t n = list_size(names.get());
    Ref listed = own(list_item(names.get(), n - 1));
    if (n > 1) {
        Ref head = check(PyList_GetSlice(names, 0, n - 1));
        Ref joined = check(PyUnicode_Join(Ref(text(", ")), head));
        listed = check(PyUnicode_FromFormat("%U%s%U", joined.get(), n == 2 ? " and " : ", and ", listed.get()));
    }
    raise(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", f->qualname, n, n == 1 ? "" : "s",
          listed.get());
}

/// The parameter name a misspelt keyword most likely meant, as the interpreter's suggestions
/// (Python/suggestions.c) find it: the closest by an edit distance in which a change of case costs
/// half a move, when no more than a third of the characters change. Null when none is close.
PyObject* suggested_keyword(FunctionObject* f, PyObject* keyword) noexcept {
    constexpr size_t move_cost = 2, case_cost = 1, max_length = 40;
    auto substitution_cost = [](char a, char b) -> size_t {
        if ((a & 31) != (b & 31)) return move_cost;
        if (a == b) return 0;
        if ('A' <= a && a <= 'Z') a = static_cast<char>(a + ('a' - 'A'));
        if ('A' <= b && b <= 'Z') b = static_cast<char>(b + ('a' - 'A'));
        return a == b ? case_cost : move_cost;
    };
    auto distance = [&](const char* a, size_t a_size, const char* b, size_t b_size, size_t max_cost) -> size_t {
        while (a_size && b_size && a[0] == b[0]) a++, b++, a_size--, b_size--;
        while (a_size && b_size && a[a_size - 1] == b[b_size - 1]) a_size--, b_size--;
        if (a_size == 0 || b_size == 0) return (a_size + b_size) * move_cost;
        if (a_size > max_length || b_size > max_length) return max_cost + 1;
        if (b_size < a_size) std::swap(a, b), std::swap(a_size, b_size);
        if ((b_size - a_size) * move_cost > max_cost) return max_cost + 1;
        size_t row[max_length];
        for (size_t i = 0; i < a_size; i++) row[i] = (i + 1) * move_cost;
        size_t result = 0;
        for (size_t j = 0; j < b_size; j++) {
            size_t diagonal = result = j * move_cost, minimum = SIZE_MAX;
            for (size_t i = 0; i < a_size; i++) {
                const size_t substitute = diagonal + substitution_cost(b[j], a[i]);
                diagonal = row[i];
                result = std::min(std::min(result, diagonal) + move_cost, substitute);
                row[i] = result;
                minimum = std::min(minimum, result);
            }
            if (minimum > max_cost) return max_cost + 1;
        }
        return result;
    };
    Py_ssize_t name_size;
    // A name that cannot be spelt out has no suggestion; the error about it stands as it is.
    const char* name = PyUnicode_AsUTF8AndSize(keyword, &name_size);
    if (name == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* best = nullptr;
    size_t best_distance = SIZE_MAX;
    for (Py_ssize_t i = 0; i < tuple_size(f->varnames); i++) {
        PyObject* candidate = tuple_item(f->varnames, i);
        if (PyUnicode_Compare(candidate, keyword) == 0) continue;
        Py_ssize_t size;
        const char* text = PyUnicode_AsUTF8AndSize(candidate, &size);
        if (text == nullptr) {
            PyErr_Clear();
            return nullptr;
        }
        const size_t limit = std::min(static_cast<size_t>(name_size + size + 3) * move_cost / 6, best_distance - 1);
        const size_t found = distance(name, static_cast<size_t>(name_size), text, static_cast<size_t>(size), limit);
        if (found <= limit && (best == nullptr || found < best_distance)) best = candidate, best_distance = found;
    }
    return best;
}

/// The position of keyword `keyword` among the parameters, or -1.
Py_ssize_t parameter_index(FunctionObject* f, PyObject* keyword) {
    const Py_ssize_t argcount = tuple_size(f->varnames);
    for (Py_ssize_t j = 0; j < argcount; j++)
        if (tuple_item(f->varnames, j) == keyword) return j;
    for (Py_ssize_t j = 0; j < argcount; j++)
        if (check_status(PyObject_RichCompareBool(keyword, tuple_item(f->varnames, j), Py_EQ))) return j;
    return -1;
}

/// Fills `slots` from positional and keyword arguments, then defaults. Throws on a bad call.
void bind(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject* defaults,
          PyObject** slots) {
    const Py_ssize_t argcount = tuple_size(f->varnames);
    const Py_ssize_t n = std::min(nargs, argcount);
    std::copy(args, args + n, slots);
    const Py_ssize_t kwcount = kwnames ? tuple_size(kwnames) : 0;
    for (Py_ssize_t i = 0; i < kwcount; i++) {
        PyObject* keyword = tuple_item(kwnames, i);
        if (!PyUnicode_Check(keyword)) raise(PyExc_TypeError, "%U() keywords must be strings", f->qualname);
        const Py_ssize_t j = parameter_index(f, keyword);
        if (j < 0) {
            // From 3.13 the interpreter suggests a parameter name; the running one decides.
            if (Py_Version >= 0x030D0000) {
                if (PyObject* suggestion = suggested_keyword(f, keyword))
                    raise(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                          f->qualname, keyword, suggestion);
            }
            raise(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, keyword);
        }
        if (slots[j] != nullptr)
            raise(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, keyword);
        slots[j] = args[nargs + i];
    }
    const Py_ssize_t defcount = defaults ? tuple_size(defaults) : 0;
    if (nargs > argcount) too_many_positional(f, nargs, defcount);
    if (nargs < argcount) {
        const Py_ssize_t m = argcount - defcount;
        for (Py_ssize_t i = nargs; i < m; i++)
            if (slots[i] == nullptr) missing_arguments(f, slots, m);
        for (Py_ssize_t i = n > m ? n - m : 0; i < defcount; i++)
            if (slots[m + i] == nullptr) slots[m + i] = tuple_item(defaults, i);
    }
}

PyObject* run(FunctionObject* f, PyObject* const* slots) noexcept {
    if (f->globals == nullptr) {  // only after the collector has broken a cycle through it
        PyErr_SetString(PyExc_SystemError, "function called after it was cleared");
        return nullptr;
    }
    if (stack_exhausted()) return nullptr;  // while the C stack still has room for the error
    // A call counts against the recursion limit as a Python function's frame does (same message).
    PyThreadState* thread = enter_frame();
    if (thread == nullptr) return nullptr;
    Entered entered(f->context);  // the call runs in its own interpreter's context (binding needs none)
    PyObject* result = guarded([&] { return f->def->impl(Args(reinterpret_cast<PyObject*>(f), f->globals, f->builtins, slots)).release(); },
                               static_cast<PyObject*>(nullptr));
    leave_frame(thread);
    return result;
}

/// Whether the keywords name the parameters after the positional ones in order (no binding needed).
bool in_declaration_order(FunctionObject* f, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    const Py_ssize_t kwcount = tuple_size(kwnames);
    if (nargs + kwcount != tuple_size(f->varnames)) return false;
    for (Py_ssize_t i = 0; i < kwcount; i++)
        if (tuple_item(kwnames, i) != tuple_item(f->varnames, nargs + i)) return false;
    return true;
}

/// function_vectorcall where the arguments must be bound to the parameters first. Apart, so that
/// the common call, every argument in place, needs no room for the bound ones.
[[gnu::noinline]] PyObject* bind_and_run(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* slots[max_params] = {};
    // Held for the call: the defaults tuple may be replaced while the body runs.
    Ref defaults = Ref::borrow(f->defaults);
    if (!guarded([&] { bind(f, args, nargs, kwnames, defaults, slots); return true; }, false)) return nullptr;
    return run(f, slots);
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    FunctionObject* f = as_function(self);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames == nullptr ? nargs == tuple_size(f->varnames) : in_declaration_order(f, nargs, kwnames))
        return run(f, args);
    return bind_and_run(f, args, nargs, kwnames);
}

// ---- the type ----

/// The fields that may hold host objects, cleared to break a cycle through the function.
constexpr PyObject* FunctionObject::*cleared_fields[] = {
    &FunctionObject::globals, &FunctionObject::builtins,    &FunctionObject::module,
    &FunctionObject::doc,     &FunctionObject::annotations, &FunctionObject::defaults,
    &FunctionObject::kwdefaults, &FunctionObject::owner,    &FunctionObject::type_params,
    &FunctionObject::dict};
/// The fields kept until the function goes: its name, repr and __code__ read them meanwhile.
constexpr PyObject* FunctionObject::*kept_fields[] = {&FunctionObject::name, &FunctionObject::qualname,
                                                       &FunctionObject::code, &FunctionObject::varnames,
                                                       &FunctionObject::place};

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    for (auto field : cleared_fields) Py_VISIT(f->*field);
    for (auto field : kept_fields) Py_VISIT(f->*field);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
#if PLENX_FAST_LAYER
    // A comparison remembered with it as its method would answer in place, where a call of it
    // raises (the getters a comparison reads through are checked at each read).
    if (f->globals != nullptr) f->context->forget_comparisons();
#endif
    for (auto field : cleared_fields) Py_CLEAR(f->*field);
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    for (auto field : kept_fields) Py_CLEAR(f->*field);
    Context* context = f->context;
    PyObject_GC_Del(self);
    Py_DECREF(type);
    release(context);
}

PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
#ifdef Py_LIMITED_API
    static PyObject* method_type = nullptr;  // types.MethodType, the bound method of Python functions
    if (method_type == nullptr && (method_type = guarded([] { return builtin_type("method"); }, static_cast<PyObject*>(nullptr))) == nullptr)
        return nullptr;
    PyObject* args[] = {self, instance};
    return PyObject_Vectorcall(method_type, args, 2, nullptr);
#else
    return PyMethod_New(self, instance);
#endif
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

/// Pickled by reference, like a Python function: by module and qualified name.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

/// A field read as an attribute: None once the collector cleared it, as a Python function's read.
template <PyObject* FunctionObject::*field>
PyObject* get_field(PyObject* self, void*) {
    PyObject* value = as_function(self)->*field;
    return Py_NewRef(value ? value : Py_None);
}

/// Sets a field to an instance of the `kind` types (None or deletion empties an `optional` one), or refuses.
template <PyObject* FunctionObject::*field, unsigned long kind, bool optional>
int set_field(PyObject* self, PyObject* value, void* message) {
    if (optional && value == Py_None) value = nullptr;
    if (value == nullptr ? !optional : !PyType_FastSubclass(Py_TYPE(value), kind)) {
        PyErr_SetString(PyExc_TypeError, static_cast<const char*>(message));
        return -1;
    }
    replace_slot(&(as_function(self)->*field), Ref::borrow(value));
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (f->annotations == nullptr && (f->annotations = PyDict_New()) == nullptr) return nullptr;
    return Py_NewRef(f->annotations);
}
PyObject* get_type_params(PyObject* self, void*) {
    PyObject* type_params = as_function(self)->type_params;
    return type_params ? Py_NewRef(type_params) : PyTuple_New(0);
}
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

/// types.FunctionType and classmethod, from objects the interpreter makes (not whatever `types` holds).
PyObject* python_function_type = nullptr;
PyObject* class_method_type = nullptr;

/// Whether a Python function rebuilt from our __code__ and __globals__, as serialisers that copy a
/// function by value rebuild one, would call this very function: the global its code starts from is
/// still the class that defines it (or the function itself), holding it where the code looks.
bool found_by_its_code(FunctionObject* f) {
    if (f->globals == nullptr || f->place == nullptr) return false;
    PyObject* root = PyDict_GetItemWithError(f->globals, tuple_item(f->place, 0));
    if (root == nullptr) {
        if (PyErr_Occurred()) raise();
        return false;
    }
    PyObject* key = tuple_item(f->place, 1);
    // Our class's metaclass is `type`, so reading its members runs no code of the host's.
    if (root != f->owner) return false;
    Ref members = getattr(root, Ref(text("__dict__")));
    Ref entry = find_item(members, key);
    if (!entry) return false;
    PyObject* holder_type = tuple_item(f->place, 3);
    if (holder_type != Py_None) {
        if (reinterpret_cast<PyObject*>(Py_TYPE(entry.get())) != holder_type) return false;
        entry = getattr(entry, tuple_item(f->place, 2));
    }
    return entry.get() == reinterpret_cast<PyObject*>(f);
}

/// Whether cloudpickle was told to copy this function's module, or a package holding it, by value.
/// It would then copy the function by value too, and set the copy on the class it copies back,
/// where the copy would find only itself: such a function is pickled by its name instead.
bool copied_by_value(FunctionObject* f) {
    Ref cloudpickle = Ref::steal(PyImport_GetModule(Ref(text("cloudpickle"))));
    if (!cloudpickle) {
        if (PyErr_Occurred()) raise();
        return false;
    }
    if (f->module == nullptr || !PyUnicode_Check(f->module)) return false;
    Ref registered = call_method(cloudpickle, Ref(text("list_registry_pickle_by_value")));
    const char* module = PyUnicode_AsUTF8AndSize(f->module, nullptr);
    if (module == nullptr) raise();
    // "a.b.c" is copied by value when "a.b.c", "a.b" or "a" is registered.
    for (std::string name = module; !name.empty(); name.resize(name.rfind('.') == std::string::npos ? 0 : name.rfind('.')))
        if (check_status(PySequence_Contains(registered, Ref(text(name.c_str()))))) return true;
    return false;
}

/// Our functions answer `__class__` with types.FunctionType, so isinstance() and inspect take them
/// for Python functions while type() tells the truth; only while a copy rebuilt from their code
/// would call them (found_by_its_code), or a serialiser would copy them into something else.
PyObject* get_class(PyObject* self, void*) {
    Entered entered(as_function(self)->context);
    return guarded([&] {
        FunctionObject* f = as_function(self);
        return Py_NewRef(found_by_its_code(f) && !copied_by_value(f) ? python_function_type
                                                                      : reinterpret_cast<PyObject*>(Py_TYPE(self)));
    }, static_cast<PyObject*>(nullptr));
}

/// Assigning or deleting `__class__` is refused by object's own rule, in its words.
int set_class(PyObject* self, PyObject* value, void*) {
    Entered entered(as_function(self)->context);
    return guarded([&] {
        Ref object_dict = getattr(reinterpret_cast<PyObject*>(&PyBaseObject_Type), Ref(text("__dict__")));
        Ref descriptor = subscript(object_dict, Ref(text("__class__")));
        if (value == nullptr) call_method(descriptor, Ref(text("__delete__")), self);
        else call_method(descriptor, Ref(text("__set__")), self, value);
        return 0;
    }, -1);
}

using F = FunctionObject;
constexpr unsigned long text_kind = Py_TPFLAGS_UNICODE_SUBCLASS, dict_kind = Py_TPFLAGS_DICT_SUBCLASS,
                        tuple_kind = Py_TPFLAGS_TUPLE_SUBCLASS;
void* message(const char* text) noexcept { return const_cast<char*>(text); }

PyGetSetDef function_getset[] = {
    {"__name__", get_field<&F::name>, set_field<&F::name, text_kind, false>, nullptr,
     message("__name__ must be set to a string object")},
    {"__qualname__", get_field<&F::qualname>, set_field<&F::qualname, text_kind, false>, nullptr,
     message("__qualname__ must be set to a string object")},
    {"__annotations__", get_annotations, set_field<&F::annotations, dict_kind, true>, nullptr,
     message("__annotations__ must be set to a dict object")},
    {"__defaults__", get_field<&F::defaults>, set_field<&F::defaults, tuple_kind, true>, nullptr,
     message("__defaults__ must be set to a tuple object")},
    {"__kwdefaults__", get_field<&F::kwdefaults>, set_field<&F::kwdefaults, dict_kind, true>, nullptr,
     message("__kwdefaults__ must be set to a dict object")},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__code__", get_field<&F::code>, nullptr, nullptr, nullptr},
    {"__globals__", get_field<&F::globals>, nullptr, nullptr, nullptr},
    {"__builtins__", get_field<&F::builtins>, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__class__", get_class, set_class, nullptr, nullptr},
    {"__type_params__", get_type_params, set_field<&F::type_params, tuple_kind, false>, nullptr,
     message("__type_params__ must be set to a tuple")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "plenx_metrics_plugin.compiled_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};


Ref default_object(const Default& d) {
    switch (d.kind) {
        case Default::integer: return integer(d.value);
        case Default::empty_dict: return check(PyDict_New());
        default: return none();
    }
}

/// The code behind `__code__`: the function's parameters, and a body that calls the function as
/// `reach` finds it from its module's globals. Tools read the signature from it; a serialiser that
/// copies a function by value rebuilds from it a Python function that calls this one.
Ref make_code(PyObject* globals, PyObject* name, PyObject* qualname, PyObject* varnames, PyObject* reach) {
    PyObject* file = PyDict_GetItemString(globals, "__file__");
    const char* filename = file && PyUnicode_Check(file) ? PyUnicode_AsUTF8AndSize(file, nullptr) : "<compiled>";
    if (filename == nullptr) raise();
    Ref separator = text(", ");
    Ref params = check(PyUnicode_Join(separator, varnames));
    Ref source =
        check(PyUnicode_FromFormat("def %U(%U):\n    return %U(%U)\n", name, params.get(), reach, params.get()));
    const char* source_text = PyUnicode_AsUTF8AndSize(source, nullptr);
    if (source_text == nullptr) raise();
    Ref module_code = check(Py_CompileString(source_text, filename, Py_file_input));
    // The def's code is the module code's one constant of the code type.
    Ref constants = getattr(module_code, Ref(text("co_consts")));
    Ref code;
    for (Py_ssize_t i = 0; i < PyTuple_Size(constants); i++) {
        PyObject* constant = PyTuple_GetItem(constants, i);
        if (constant != nullptr && Py_TYPE(constant) == Py_TYPE(module_code.get())) code = own(constant);
    }
    if (!code) raise(PyExc_SystemError, "no code compiled for %U", qualname);
    Ref replace = getattr(code, Ref(text("replace")));
    Ref kwargs = check(PyDict_New());
    check_status(PyDict_SetItemString(kwargs, "co_qualname", qualname));
    Ref no_args = check(PyTuple_New(0));
    return check(PyObject_Call(replace, no_args, kwargs));
}

}  // namespace

bool detail::make_function_type(Context* context) noexcept {
    return guarded(
        [&] {
            // Both are the interpreter's static types, the same in every interpreter.
            if (python_function_type == nullptr) python_function_type = Py_NewRef(builtin_type("function"));
            if (class_method_type == nullptr) class_method_type = Py_NewRef(builtin_type("classmethod"));
            // A function has __type_params__ from 3.12 on; the entry is the table's last.
            if (Py_Version < 0x030C0000) function_getset[std::size(function_getset) - 2] = {};
            context->function_type = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&function_spec)).release());
            return true;
        },
        false);
}

PyObject* Args::owner() const {
    PyObject* owner = as_function(function_)->owner;
    if (owner == nullptr) raise(PyExc_SystemError, "%U has no defining class", as_function(function_)->qualname);
    return owner;
}

void set_owner(PyObject* function, PyObject* owner) noexcept {
    if (Py_IS_TYPE(function, context().function_type))
        replace_slot(&as_function(function)->owner, Ref::borrow(owner));
}

Ref Args::global(const Name& name) const { return glue::global(globals_, builtins_, name); }

void detail::raise_cleared_call() { raise(PyExc_SystemError, "function called after it was cleared"); }

Ref invoke_in_own_context(PyObject* function, PyObject* const* args) {
    Entered entered(as_function(function)->context);
    return invoke_from_own_code(function, args);
}

Ref builtins_for(PyObject* globals) {
    PyObject* builtins = PyDict_GetItemWithError(globals, builtins_key);
    if (builtins == nullptr) {
        if (PyErr_Occurred()) raise();
        // Only where the module has none of its own, as the interpreter does for a new function.
        return own(PyEval_GetBuiltins());
    }
    if (PyModule_Check(builtins)) return own(PyModule_GetDict(builtins));
    return own(builtins);
}

Ref global(PyObject* globals, PyObject* builtins, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (value != nullptr) return own(value);
    if (PyErr_Occurred()) raise();
    if (builtins == nullptr) raise(PyExc_SystemError, "function called after it was cleared");
    if (Ref found = find_item(builtins, name)) return found;
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    // The name rides on the error, as the interpreter's does, for the "Did you mean" hint.
    Ref error = fetch_error();
    if (PyObject_SetAttr(error, name_attribute, name) < 0) PyErr_Clear();  // the NameError stands anyway
    reraise(error);
}

Ref global(PyObject* globals, PyObject* name) { return global(globals, builtins_for(globals), name); }

Ref make_function(const FunctionDef& def, PyObject* globals, const char* class_name, PyObject* key,
                  Member::Kind held) {
    if (def.params.size() > static_cast<size_t>(max_params)) raise(PyExc_SystemError, "too many parameters");
    PyTypeObject* type = context().function_type;
    Ref name = check(PyUnicode_InternFromString(def.name));
    Ref qualname = check(PyUnicode_FromFormat("%s.%s", class_name, def.name));
    Ref varnames = check(PyTuple_New(static_cast<Py_ssize_t>(def.params.size())));
    Ref annotations = check(PyDict_New());
    Ref defaults_list = check(PyList_New(0));
    Py_ssize_t i = 0;
    for (const Param& param : def.params) {
        check_status(PyTuple_SetItem(varnames, i++, check(PyUnicode_InternFromString(param.name)).release()));
        if (param.annotation) check_status(PyDict_SetItemString(annotations, param.name, text(param.annotation)));
        if (param.default_value.kind != Default::required)
            check_status(PyList_Append(defaults_list, default_object(param.default_value)));
    }
    if (def.returns) check_status(PyDict_SetItemString(annotations, "return", text(def.returns)));
    Ref defaults = list_size(defaults_list.get()) ? check(PyList_AsTuple(defaults_list)) : Ref();
    PyObject* module = PyDict_GetItemWithError(globals, Ref(text("__name__")));
    if (module == nullptr && PyErr_Occurred()) raise();
    // Its code finds it in the dict of its class, the module global of the class's name.
    Ref global = text(class_name);
    if (check_status(PySequence_Contains(varnames, global)))
        raise(PyExc_SystemError, "%U() has a parameter named %U, which its code would take for the global",
              qualname.get(), global.get());
    const char* attribute = held == Member::property ? "fget" : held == Member::class_method ? "__func__" : nullptr;
    PyObject* holder_type = held == Member::property       ? reinterpret_cast<PyObject*>(&PyProperty_Type)
                            : held == Member::class_method ? class_method_type
                                                           : Py_None;
    Ref place = check(Py_BuildValue("(OOzO)", global.get(), key, attribute, holder_type));
    Ref reach = attribute ? check(PyUnicode_FromFormat("%U.__dict__[%R].%s", global.get(), key, attribute))
                          : check(PyUnicode_FromFormat("%U.__dict__[%R]", global.get(), key));
    Ref code = make_code(globals, name, qualname, varnames, reach);
    Ref doc = def.doc ? text(def.doc) : none();
    Ref builtins = builtins_for(globals);

    FunctionObject* f = PyObject_GC_New(FunctionObject, type);
    if (f == nullptr) raise();
    f->vectorcall = function_vectorcall;
    f->def = &def;
#if PLENX_FAST_LAYER
    // Null where the probe of its interpreter disagreed: fast::observed() then always says yes.
    static const char thread_kept = 0;  // 3.11 reads the running thread's own state instead
    const void* observation = observation_of(PyThreadState_Get());
    f->observation = !context().observation_known ? nullptr : observation ? observation : &thread_kept;
    f->breaker = breaker_of(PyThreadState_Get());
#else
    f->observation = nullptr;
    f->breaker = nullptr;
#endif
    f->globals = Py_NewRef(globals);
    f->builtins = builtins.release();
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = Py_NewRef(module ? module : Py_None);
    f->doc = doc.release();
    f->annotations = annotations.release();
    f->defaults = defaults.release();
    f->kwdefaults = nullptr;
    f->code = code.release();
    f->varnames = varnames.release();
    f->place = place.release();
    f->owner = nullptr;
    f->type_params = nullptr;
    f->dict = nullptr;
    f->weakrefs = nullptr;
    f->context = &context();
    hold(f->context);
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace glue
