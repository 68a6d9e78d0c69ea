// glue/src/module.cpp: the import statement's semantics, and the module exec boundary.
//
// A module that cannot import what it needs fails to load with the interpreter's ImportError.
#include "plenx_glue/module.hpp"

#include "plenx_glue/stack.hpp"
#include "plenx_glue/fast.hpp"
#include "plenx_glue/function.hpp"

#include <cstring>
#include <string>
#include <utility>

namespace glue {

#if PLENX_FAST_LAYER
namespace {
/// With PLENX_GLUE_PROBES=required, a load whose probes turned a shortcut off fails, naming
/// them: the tests ask that of every interpreter the shortcuts are verified on, where a probe
/// that stopped agreeing would otherwise only show as lost speed.
void require_probes() {
    const char* setting = Py_GETENV("PLENX_GLUE_PROBES");
    if (setting == nullptr || std::strcmp(setting, "required") != 0 || !shortcuts()) return;
    const Context& c = context();
    const std::pair<bool, const char*> verdicts[] = {
        {c.property_layout_known, "property layout"}, {c.dict_layout_known, "dict layout"},
        {c.inline_values_known, "inline values"},
        // A sub-interpreter's pending calls go to the main one: the tracer check stays off there.
        {c.observation_known || PyInterpreterState_Get() != PyInterpreterState_Main(), "tracer state"},
        {c.collector_known, "collector counts"},
#if PY_VERSION_HEX < 0x030C0000
        {detail::thread_mirrored, "thread state"},
#endif
    };
    std::string failed;
    for (const auto& [agrees, what] : verdicts)
        if (!agrees) failed += (failed.empty() ? "" : ", ") + std::string(what);
    if (!failed.empty()) raise(PyExc_ImportError, "plenx_glue probes disagree: %s", failed.c_str());
}
}  // namespace
#endif

namespace {

Name import_key{"__import__"};
Name name_key{"__name__"};
Name spec_key{"__spec__"};
Name initializing_key{"_initializing"};
Name name_from_key{"name_from"};
Name builtins_key{"__builtins__"};

// Worded as the running interpreter words it (Py_Version), whatever headers this was built with.

/// builtins["__import__"](module, globals, locals, fromlist, 0) with the importing code's builtins.
Ref import(PyObject* globals, PyObject* builtins, PyObject* locals, const char* module, PyObject* fromlist) {
    Ref function = find_item(builtins, import_key);
    if (!function) raise(PyExc_ImportError, "__import__ not found");
    Ref level = integer(0);
    return call(function, Ref(text(module)).get(), globals, locals, fromlist, level.get());
}

/// Whether `module.__spec__._initializing` is true; until 3.13 a failure to tell counts as no.
bool is_initializing(PyObject* module) {
    const bool strict = Py_Version >= 0x030D0000;
    try {
        Ref spec = strict ? lookup_attr(module, spec_key) : getattr(module, spec_key);
        if (!spec) return false;
        Ref value = lookup_attr(spec, initializing_key);
        return value && truthy(value);
    } catch (const python_error&) {
        if (strict) throw;
        PyErr_Clear();
        return false;
    }
}

/// The module's file name for the message, or null for "unknown location".
Ref location_of(PyObject* module) {
    // From 3.13 only a module is asked, and only its missing file name is taken for unknown.
    if (Py_Version >= 0x030D0000 && !PyModule_Check(module)) return Ref();
    Ref path = Ref::steal(PyModule_GetFilenameObject(module));
    if (path && PyUnicode_Check(path)) return path;
    if (!path && Py_Version >= 0x030D0000 && !pending_is(PyExc_SystemError)) raise();
    PyErr_Clear();
    return Ref();
}

/// ImportError(message, name=package, path=path), with name_from where the interpreter sets it.
[[noreturn]] void raise_import_error(PyObject* message, PyObject* package, PyObject* path, PyObject* name) {
    PyErr_SetImportError(message, package, path);
    if (Py_Version < 0x030C0000) raise();
    // No C call sets it: it is an attribute of the error object (3.12 on).
    Ref error = fetch_error();
    check_status(PyObject_SetAttr(error, name_from_key, name));
    reraise(error);
}

/// The module's `__name__` as IMPORT_FROM reads it; null when absent or not a string.
Ref package_name(PyObject* module) {
    Ref name;
    if (Py_Version >= 0x030D0000) name = lookup_attr(module, name_key);
    // Until 3.13 any failure to read it only leaves the name unknown.
    else if (!(name = Ref::steal(PyObject_GetAttr(module, name_key)))) PyErr_Clear();
    return name && PyUnicode_Check(name) ? name : Ref();
}

/// IMPORT_FROM: the attribute, else the submodule in sys.modules, else the interpreter's ImportError.
Ref attribute_or_submodule(PyObject* module, PyObject* name) {
    if (Ref found = lookup_attr(module, name)) return found;
    Ref package = package_name(module);
    if (package) {
        Ref full = check(PyUnicode_FromFormat("%U.%U", package.get(), name));
        if (Ref submodule = Ref::steal(PyImport_GetModule(full))) return submodule;
        if (PyErr_Occurred()) raise();
    }
    Ref shown = package ? package : text("<unknown module name>");
    Ref path = location_of(module);
    Ref message;
    if (!path) {
        message = check(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name, shown.get()));
    } else if (is_initializing(module)) {
        message = check(PyUnicode_FromFormat("cannot import name %R from partially initialized module %R "
                                             "(most likely due to a circular import) (%S)",
                                             name, shown.get(), path.get()));
    } else {
        message = check(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name, shown.get(), path.get()));
    }
    raise_import_error(message, package.get(), path.get(), name);
}

}  // namespace

// At module level the frame's locals are the globals; in a function there are none.

Ref import_module(PyObject* globals, const char* module) {
    return import(globals, builtins_for(globals), globals, module, Py_None);
}

Ref import_module(const Args& a, const char* module) {
    return import(a.globals(), a.builtins(), Py_None, module, Py_None);
}

Ref import_from(const Args& a, const char* module, const Name& name) {
    Ref fromlist = check(PyTuple_Pack(1, name.get()));
    return attribute_or_submodule(import(a.globals(), a.builtins(), Py_None, module, fromlist), name);
}

void import_names(PyObject* globals, const char* module, std::initializer_list<const Name*> names) {
    Ref fromlist = name_tuple(names);
    Ref imported = import(globals, builtins_for(globals), globals, module, fromlist);
    for (const Name* name : names) check_status(PyDict_SetItem(globals, *name, attribute_or_submodule(imported, *name)));
}

void define_global(PyObject* globals, const Name& name, Ref value) { check_status(PyDict_SetItem(globals, name, value)); }

void free_module_state(void* module) noexcept {
    auto** state = static_cast<Context**>(PyModule_GetState(static_cast<PyObject*>(module)));
    if (state == nullptr) {
        PyErr_Clear();
        return;
    }
    if (Context* context = *state) {
        *state = nullptr;
        release(context);
    }
}

int exec_module(PyObject* module, void (*body)(PyObject* globals)) noexcept {
    if (stack_exhausted()) return -1;  // an import hook may load the module again from within its own load
    Context* context = interpreter_context();
    if (context == nullptr) return -1;
    // The module holds its interpreter's context for as long as it lives.
    auto** state = static_cast<Context**>(PyModule_GetState(module));
    if (state == nullptr) return -1;
    if (*state == nullptr) {
        *state = context;
        hold(context);
    }
    EnteredHeld entered(context);
    return guarded(
        [&] {
            read_shortcut_switch();
#if PLENX_FAST_LAYER
            if (!shortcuts()) context->forget_comparisons();  // made while they were on
            check_thread_mirror();
            fast::probe_property_layout();
            probe_dict_layout();  // before the attribute layout: remembering an attribute reads dict tables
            probe_inline_values();
            fast::probe_observation();
            fast::probe_collector();
            require_probes();
#endif
            PyObject* globals = PyModule_GetDict(module);
            // As importlib runs a module's body: `__builtins__` is set first, to the builtins of
            // the code that runs the import machinery, and the module's functions keep those.
            if (!find_item(globals, builtins_key))
                check_status(PyDict_SetItem(globals, builtins_key, PyEval_GetBuiltins()));
            // The classes made meanwhile belong to this module (install_slots).
            struct Loading {
                Context::Loading* place;
                ~Loading() {
                    if (place) *place = {};
                }
            } loading{context->start_loading(globals, module)};
            body(globals);
            return 0;
        },
        -1);
}

}  // namespace glue
