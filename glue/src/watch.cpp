// glue/src/watch.cpp: the audit hook, the tracer check and WatchedFunction, on the Limited API.
//
// Nothing here runs host code at a check: identities of objects we hold, read from dicts we hold.
#include "plenx_glue/watch.hpp"

#include "plenx_glue/context.hpp"
#include "plenx_glue/ops.hpp"

#include <atomic>
#include <cstdint>
#include <cstring>

namespace glue::watch {

namespace {

/// What an interpreter keeps of its hook, and the genuine sys functions the checks call.
struct Kept {
    bool tried = false;
    Ref hook;  // the capsule that owns `state`, also the hook function's self
    HookState* state = nullptr;
    Ref gettrace, getprofile;
};
PerContext<Kept> kept;

/// Counted up whenever a trace or profile function is set or cleared, in any interpreter; a
/// thread that found none since is noted with the count it saw, on the thread state it ran in.
std::atomic<uint64_t> trace_changes{1};
struct Untraced {
    PyThreadState* thread = nullptr;
    uint64_t changes = 0;
};
thread_local Untraced untraced;

template <size_t N>
bool is(const char* text, Py_ssize_t size, const char (&name)[N]) noexcept {
    return size == static_cast<Py_ssize_t>(N - 1) && std::memcmp(text, name, N - 1) == 0;
}

/// The hook: the event's length and first bytes are compared before anything else, as it runs
/// for every audit event of the interpreter. It never raises.
PyObject* hook(PyObject* self, PyObject* const* args, Py_ssize_t count) {
    auto* state = static_cast<HookState*>(PyCapsule_GetPointer(self, nullptr));
    if (state == nullptr || count != 2 || !PyUnicode_Check(args[0])) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    state->ran = true;
    Py_ssize_t size;
    const char* event = PyUnicode_AsUTF8AndSize(args[0], &size);
    if (event == nullptr) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    if (size == 18 && std::memcmp(event, "object.__", 9) == 0 &&
        (std::memcmp(event + 9, "setattr__", 9) == 0 || std::memcmp(event + 9, "delattr__", 9) == 0)) {
        // A watched function's attribute is assigned or deleted: trust in it is withdrawn for good.
        PyObject* target = PyTuple_Check(args[1]) && PyTuple_Size(args[1]) > 0 ? PyTuple_GetItem(args[1], 0) : nullptr;
        for (int i = 0; target != nullptr && i < HookState::most; i++)
            if (state->watched[i] == target) state->changed[i] = true;
    } else if (is(event, size, "sys.settrace") || is(event, size, "sys.setprofile") ||
               is(event, size, "sys._settraceallthreads") || is(event, size, "sys._setprofileallthreads")) {
        trace_changes.fetch_add(1, std::memory_order_relaxed);
    } else if (is(event, size, "sys.monitoring.register_callback")) {
        state->monitoring = true;
    }
    PyErr_Clear();
    Py_RETURN_NONE;
}

PyMethodDef hook_def = {"plenx_glue_watch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hook)),
                        METH_FASTCALL, nullptr};

/// Whether `function` is the C function `name` of the module called `module` (which host code
/// cannot make), found without running code of the host's.
bool module_function(PyObject* function, const char* module, const char* name) {
    if (function == nullptr || !PyCFunction_Check(function)) return false;
    PyObject* self = PyCFunction_GetSelf(function);
    if (self == nullptr || !PyModule_CheckExact(self)) return false;
    const char* module_name = PyModule_GetName(self);
    if (module_name == nullptr) raise();
    Ref own_name = getattr(function, Ref(text("__name__")));
    return std::strcmp(module_name, module) == 0 && PyUnicode_CompareWithASCIIString(own_name, name) == 0;
}

/// Whether a tool of sys.monitoring is in use, or has events set, now (or that cannot be told).
bool monitoring_in_use() {
    PyObject* monitoring = PySys_GetObject("monitoring");  // borrowed
    if (monitoring == nullptr) return false;  // an interpreter without sys.monitoring
    if (!PyModule_CheckExact(monitoring)) return true;
    PyObject* dict = PyModule_GetDict(monitoring);
    PyObject* get_tool = PyDict_GetItemString(dict, "get_tool");
    PyObject* get_events = PyDict_GetItemString(dict, "get_events");
    if (!module_function(get_tool, "sys.monitoring", "get_tool") || !module_function(get_events, "sys.monitoring", "get_events"))
        return true;
    Ref keep_tool = own(get_tool), keep_events = own(get_events);
    for (long tool = 0; tool < 6; tool++) {
        Ref id = integer(tool);
        if (call(keep_tool, id.get()).get() != Py_None) return true;
        Ref events = call(keep_events, id.get());
        if (!PyLong_CheckExact(events) || PyLong_AsLong(events) != 0) return true;
    }
    return false;
}

}  // namespace

bool install() noexcept {
    Kept& k = kept.get();
    if (k.tried) return k.state != nullptr;
    k.tried = true;
    const bool added = guarded(
        [&] {
            PyObject* add = PySys_GetObject("addaudithook");  // borrowed, from the interpreter's own sys
            PyObject* gettrace = PySys_GetObject("gettrace");
            PyObject* getprofile = PySys_GetObject("getprofile");
            if (!module_function(add, "sys", "addaudithook") || !module_function(gettrace, "sys", "gettrace") ||
                !module_function(getprofile, "sys", "getprofile"))
                return false;
            // A tool already in use may have a callback no event told us of: the stand-ins stay off.
            if (monitoring_in_use()) return false;
            Ref keep_add = own(add);
            auto* state = new HookState();
            Ref capsule = Ref::steal(PyCapsule_New(state, nullptr, [](PyObject* c) {
                delete static_cast<HookState*>(PyCapsule_GetPointer(c, nullptr));
            }));
            if (!capsule) {
                delete state;
                raise();
            }
            Ref function = check(PyCFunction_NewEx(&hook_def, capsule, nullptr));
            // An earlier hook that refuses with an Exception makes addaudithook return None
            // without adding it; whether it runs is seen at the first audited read (take()).
            call(keep_add, function.get());
            k.hook = capsule;
            k.state = state;
            k.gettrace = own(gettrace);
            k.getprofile = own(getprofile);
            return true;
        },
        false);
    PyErr_Clear();
    return added;
}

HookState* state() noexcept { return kept.get().state; }
PyObject* owner() noexcept { return kept.get().hook; }

bool observed() {
    const Kept& k = kept.get();
    if (k.state == nullptr || !k.state->ran || k.state->monitoring) return true;
    PyThreadState* thread = PyThreadState_Get();
    const uint64_t changes = trace_changes.load(std::memory_order_relaxed);
    if (untraced.thread != thread || untraced.changes != changes) {
        Ref trace = check(PyObject_CallNoArgs(k.gettrace));
        Ref profile = check(PyObject_CallNoArgs(k.getprofile));
        if (trace.get() != Py_None || profile.get() != Py_None) return true;
        untraced = {thread, changes};
    }
    // A scheduled collection, then the signal handlers (PyErr_CheckSignals runs both from 3.12
    // on). Pending calls (Py_AddPendingCall, C code's) are left to the eval loop's next check:
    // asking for them takes a lock, more than the helper's own call costs.
    if (PyErr_CheckSignals() < 0) raise();
    return false;
}

}  // namespace glue::watch

namespace glue {

namespace {

/// The opcode of LOAD_GLOBAL in the running interpreter: the second instruction of `lambda: g`,
/// checked to name its first name. 0 where that does not hold.
int load_global_opcode() {
    Ref module = check(Py_CompileString("lambda: g.h", "<glue probe>", Py_eval_input));
    Ref consts = getattr(module, Ref(text("co_consts")));
    Ref code;
    for (Py_ssize_t i = 0; i < tuple_size(consts); i++)
        if (Py_TYPE(tuple_item(consts, i)) == Py_TYPE(module.get())) code = own(tuple_item(consts, i));
    if (!code) return 0;
    Ref bytes = getattr(code, Ref(text("co_code")));
    char* chars;
    Py_ssize_t size;
    if (!PyBytes_Check(bytes) || PyBytes_AsStringAndSize(bytes, &chars, &size) < 0 || size < 4) return 0;
    return static_cast<unsigned char>(chars[3]) == 0 ? static_cast<unsigned char>(chars[2]) : 0;
}

/// The names `code` reads as globals (LOAD_GLOBAL's name is its argument over two); false where
/// an argument could be extended (128 names or more).
bool global_names(PyObject* code, int opcode, std::vector<Ref>& names) {
    Ref co_names = getattr(code, Ref(text("co_names")));
    Ref bytes = getattr(code, Ref(text("co_code")));
    char* chars;
    Py_ssize_t size;
    if (!PyTuple_CheckExact(co_names) || tuple_size(co_names) >= 128 || !PyBytes_CheckExact(bytes) ||
        PyBytes_AsStringAndSize(bytes, &chars, &size) < 0)
        return false;
    std::vector<bool> read(static_cast<size_t>(tuple_size(co_names)));
    for (Py_ssize_t i = 0; i + 1 < size; i += 2) {
        if (static_cast<unsigned char>(chars[i]) != opcode) continue;
        const size_t index = static_cast<unsigned char>(chars[i + 1]) >> 1;
        if (index >= read.size()) return false;
        read[index] = true;
    }
    for (size_t i = 0; i < read.size(); i++) {
        if (!read[i]) continue;
        PyObject* name = tuple_item(co_names, static_cast<Py_ssize_t>(i));
        if (!PyUnicode_CheckExact(name)) return false;
        Ref interned = own(name);
        PyObject* raw = interned.release();
        PyUnicode_InternInPlace(&raw);
        names.push_back(Ref::steal(raw));
    }
    return true;
}

/// d[name] by identity of what it gives (borrowed), or null; false where the lookup raised.
bool read_entry(PyObject* dict, PyObject* name, PyObject** value) noexcept {
    *value = PyDict_GetItemWithError(dict, name);
    if (*value == nullptr && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

/// A function's attribute, or null for None.
Ref attribute_or_null(PyObject* function, const char* name) {
    Ref value = getattr(function, Ref(text(name)));
    return value.get() == Py_None ? Ref() : value;
}

}  // namespace

WatchedFunction::~WatchedFunction() {
    if (state_ != nullptr && slot_ >= 0) state_->watched[slot_] = nullptr, state_->changed[slot_] = false;
}

bool WatchedFunction::take(PyObject* function, std::initializer_list<const char*> path_reads,
                           std::initializer_list<std::pair<const char*, const char*>> attributes) {
    watch::HookState* state = watch::state();
    if (state == nullptr || function_ || function == nullptr) return false;
    // A plain function: the interpreter's own type, named so, without a closure.
    PyTypeObject* type = Py_TYPE(function);
    if (PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) return false;
    Ref type_name = getattr(reinterpret_cast<PyObject*>(type), Ref(text("__qualname__")));
    Ref type_module = getattr(reinterpret_cast<PyObject*>(type), Ref(text("__module__")));
    if (PyUnicode_CompareWithASCIIString(type_name, "function") != 0 ||
        PyUnicode_CompareWithASCIIString(type_module, "builtins") != 0 || attribute_or_null(function, "__closure__"))
        return false;
    int slot = -1;
    for (int i = 0; i < watch::HookState::most && slot < 0; i++)
        if (state->watched[i] == nullptr) slot = i;
    if (slot < 0) return false;
    state->ran = false;
    Ref code = getattr(function, Ref(text("__code__")));  // an audited read: the hook must see it
    if (!state->ran) return false;
    Ref defaults = attribute_or_null(function, "__defaults__");
    Ref kwdefaults = attribute_or_null(function, "__kwdefaults__");
    Ref globals = getattr(function, Ref(text("__globals__")));
    Ref builtins = getattr(function, Ref(text("__builtins__")));
    if (!PyDict_CheckExact(globals) || !PyDict_CheckExact(builtins)) return false;
    const int opcode = load_global_opcode();
    std::vector<Ref> names;
    if (opcode == 0 || !global_names(code, opcode, names)) return false;
    std::vector<Read> reads;
    for (Ref& name : names) {
        bool on_path = false;
        for (const char* read : path_reads) on_path |= PyUnicode_CompareWithASCIIString(name, read) == 0;
        if (!on_path) continue;
        PyObject *global, *builtin = nullptr;
        if (!read_entry(globals, name, &global) || (global == nullptr && !read_entry(builtins, name, &builtin)))
            return false;
        reads.push_back(Read{name, Ref::borrow(global), Ref::borrow(builtin)});
    }
    std::vector<AttributeRead> attribute_reads;
    for (const auto& [global_name, attribute] : attributes) {
        Ref global;
        for (const Read& read : reads)
            if (PyUnicode_CompareWithASCIIString(read.name, global_name) == 0) global = read.global;
        if (!global || !PyModule_CheckExact(global)) return false;
        Ref name = check(PyUnicode_InternFromString(attribute));
        PyObject* dict = PyModule_GetDict(global);
        PyObject* value;
        if (dict == nullptr || !read_entry(dict, name, &value) || value == nullptr) return false;
        attribute_reads.push_back(AttributeRead{global, dict, name, Ref::borrow(value)});
    }
    function_ = own(function);
    code_ = code, defaults_ = defaults, kwdefaults_ = kwdefaults, globals_ = globals, builtins_ = builtins;
    reads_ = std::move(reads);
    attributes_ = std::move(attribute_reads);
    hook_ = own(watch::owner());
    state_ = state;
    slot_ = slot;
    state->watched[slot] = function;
    state->changed[slot] = false;
    return true;
}

bool WatchedFunction::reads_unchanged() const noexcept {
    for (const Read& read : reads_) {
        PyObject* now;
        if (!read_entry(globals_, read.name, &now) || now != read.global.get()) return false;
        if (now == nullptr && (!read_entry(builtins_, read.name, &now) || now != read.builtin.get())) return false;
    }
    for (const AttributeRead& read : attributes_) {
        PyObject* now;
        if (!Py_IS_TYPE(read.module.get(), &PyModule_Type) || !read_entry(read.dict, read.name, &now) ||
            now != read.value.get())
            return false;
    }
    return true;
}

}  // namespace glue
