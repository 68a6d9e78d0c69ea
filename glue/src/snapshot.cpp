// glue/src/snapshot.cpp: checking that a Python function still is what it was.
//
// Only identities of objects we hold, and the dicts' versions, are compared: nothing runs code.
#include "plenx_glue/snapshot.hpp"

#include "plenx_glue/dicts.hpp"
#include "plenx_glue/cpython/access.hpp"
#include "plenx_glue/fast.hpp"
#include "plenx_glue/ops.hpp"

#include <atomic>
#include <cstring>

namespace glue {

namespace {

/// What each of `names` gives in `dict`, found without running code; false where that cannot be.
bool read_names(PyObject* dict, PyObject* names, std::vector<std::pair<Ref, Ref>>& entries) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); i++) {
        PyObject* name = PyTuple_GET_ITEM(names, i);
        PyObject* value = nullptr;
        if (!lookup_without_code(dict, name, &value)) return false;
        entries.emplace_back(own(name), Ref::borrow(value));
    }
    return true;
}

}  // namespace

bool FunctionSnapshot::take(PyObject* function) {
    if (!PyFunction_Check(function) || PyFunction_GET_CLOSURE(function) != nullptr) return false;
    PyObject* globals = PyFunction_GET_GLOBALS(function);
    // The builtins it reads were fixed when it was made; the function keeps them.
    Ref builtins_ref = getattr(function, Ref(text("__builtins__")));
    PyObject* builtins = builtins_ref.get();
    if (!PyDict_CheckExact(globals) || !PyDict_CheckExact(builtins)) return false;
    Ref code = own(PyFunction_GET_CODE(function));
    Ref names = getattr(code, Ref(text("co_names")));
    if (!PyTuple_CheckExact(names)) return false;
    // Names the code reads come from its globals, else its builtins; an attribute it reads of a
    // module it holds comes from that module's dict; a dict it holds it may read as a whole.
    std::vector<Watch> watches(2);
    watches[0] = Watch{globals, {}, false};
    watches[1] = Watch{builtins, {}, false};
    if (!read_names(globals, names, watches[0].entries) || !read_names(builtins, names, watches[1].entries)) return false;
    std::vector<PyObject*> values, modules;  // what the names gave; watches grows below
    for (const Watch& watch : watches)
        for (const auto& [name, value] : watch.entries)
            if (value) values.push_back(value);
    for (PyObject* value : values) {
        if (PyDict_CheckExact(value)) {
            watches.push_back(Watch{value, {}, true});
        } else if (PyModule_CheckExact(value)) {
            Watch watch{PyModule_GetDict(value), {}, false};
            if (!read_names(watch.dict, names, watch.entries)) return false;
            watches.push_back(std::move(watch));
            modules.push_back(value);
        } else if (PyModule_Check(value)) {
            return false;  // a module of a subclass may answer reads with code of its own
        }
    }
    if (watches.size() > most_probes || modules.size() + 3 > most_probes) return false;
    // Filled whole before anything is kept: the probes point into objects the watches hold.
    function_ = own(function);
    watches_ = std::move(watches);
    pointers_ = 0;
    const auto fields = replaceable_fields(function);
    for (size_t i = 0; i < fields.size(); i++) {
        held_[i] = Ref::borrow(*fields[i]);  // so no other object can come to stand at its address
        pointer_[pointers_++] = {fields[i], reinterpret_cast<uintptr_t>(*fields[i])};
    }
    for (PyObject* module : modules)
        pointer_[pointers_++] = {&module->ob_type, reinterpret_cast<uintptr_t>(&PyModule_Type)};
    versions_ = watches_.size();
    for (size_t i = 0; i < versions_; i++) version_[i] = {dict_version_at(watches_[i].dict), dict_version(watches_[i].dict)};
    return true;
}

bool FunctionSnapshot::names_unchanged() const noexcept {
    for (size_t i = 0; i < watches_.size(); i++) {
        const Watch& watch = watches_[i];
        if (dict_version(watch.dict) == version_[i].held) continue;
        if (watch.whole) return false;
        // Something else in that dict changed: all is well while every name read gives the same.
        for (const auto& [name, value] : watch.entries) {
            PyObject* now = nullptr;
            if (!lookup_without_code(watch.dict, name, &now) || now != value.get()) return false;
        }
        version_[i].held = dict_version(watch.dict);
    }
    return true;
}

namespace {
constexpr uint64_t zero_word = 0, one_word = 1;
}  // namespace

void SnapshotNote::forget() noexcept {
    at_.fill(&zero_word);
    held_.fill(0);
    at_[0] = &one_word;  // never holds 0
    count_ = 0;
}

bool SnapshotNote::add(const void* at) noexcept {
    for (size_t i = 0; i < count_; i++)
        if (at_[i] == at) return true;
    if (count_ == most_words) return false;
    at_[count_] = at;
    held_[count_++] = read(at);
    return true;
}

void SnapshotNote::note(std::initializer_list<const FunctionSnapshot*> snapshots, std::initializer_list<const void*> words) noexcept {
    forget();
    at_[0] = &zero_word;
    bool fits = sizeof(uintptr_t) == sizeof(uint64_t);  // a pointer probe is read as a 64-bit word
    for (const FunctionSnapshot* snapshot : snapshots) {
        for (size_t i = 0; fits && i < snapshot->pointers_; i++) fits = add(snapshot->pointer_[i].at);
        for (size_t i = 0; fits && i < snapshot->versions_; i++) fits = add(snapshot->version_[i].at);
    }
    for (const void* at : words) fits = fits && add(at);
    if (!fits || count_ == 0) forget();  // noting nothing holds nothing
}

namespace {

#if PY_VERSION_HEX >= 0x030C0000
/// sys.monitoring's own function `name`: a C function of that very module, found without code.
Ref monitoring_function(PyObject* monitoring, const char* name) {
    PyObject* found = nullptr;
    if (!lookup_without_code(PyModule_GetDict(monitoring), Ref(text(name)), &found) || found == nullptr ||
        !PyCFunction_Check(found) || PyCFunction_GetSelf(found) != monitoring)
        return Ref();
    return own(found);
}

/// Whether the monitors read where access.hpp reads them are `expected`, byte for byte.
bool monitors_are(const unsigned char (&expected)[15]) noexcept {
    return std::memcmp(global_monitors(current_thread()), expected, 15) == 0;
}

/// The probe of 3.12 and 3.13: the monitors must be what sys.monitoring.get_events says of tools 0
/// to 5, have the legacy tracers' bits (tools 6 and 7) exactly while a thread has a profile or
/// trace function, and follow a free tool's global and local events as it sets them and clears them.
bool observation_agrees() {
    PyObject* monitoring = PySys_GetObject("monitoring");  // borrowed
    if (monitoring == nullptr || !PyModule_CheckExact(monitoring) || std::strcmp(PyModule_GetName(monitoring), "sys.monitoring") != 0)
        return false;
    Ref get_events = monitoring_function(monitoring, "get_events"), get_tool = monitoring_function(monitoring, "get_tool"),
        use_tool_id = monitoring_function(monitoring, "use_tool_id"), free_tool_id = monitoring_function(monitoring, "free_tool_id"),
        set_events = monitoring_function(monitoring, "set_events"),
        set_local_events = monitoring_function(monitoring, "set_local_events");
    if (!get_events || !get_tool || !use_tool_id || !free_tool_id || !set_events || !set_local_events) return false;
    unsigned char now[15] = {};
    std::memcpy(now, global_monitors(current_thread()), 15);
    unsigned char expected[15] = {};
    int free_tool = -1;
    for (int tool = 0; tool < 6; tool++) {
        Ref id = integer(tool);
        const long events = PyLong_AsLong(call(get_events, id.get()));
        if (events == -1 && PyErr_Occurred()) raise();
        for (int event = 0; event < 15; event++)
            if (events & (1L << event)) expected[event] |= static_cast<unsigned char>(1 << tool);
        if (call(get_tool, id.get()).get() == Py_None) free_tool = tool;
    }
    bool profiled = false, traced = false;
    for (PyThreadState* t = PyInterpreterState_ThreadHead(current_thread()->interp); t; t = PyThreadState_Next(t))
        profiled |= t->c_profilefunc != nullptr, traced |= t->c_tracefunc != nullptr;
    bool legacy_profile = false, legacy_trace = false;
    for (int event = 0; event < 15; event++) {
        legacy_profile |= (now[event] & 0x40) != 0, legacy_trace |= (now[event] & 0x80) != 0;
        expected[event] |= static_cast<unsigned char>(now[event] & 0xC0);
    }
    if (!monitors_are(expected) || legacy_profile != profiled || legacy_trace != traced || free_tool < 0) return false;
    // A free tool sets events of the first and the last kind, globally and on a code object of its own.
    Ref tool = integer(free_tool);
    Ref code = check(Py_CompileString("0", "<glue probe>", Py_eval_input));
    const unsigned char bit = static_cast<unsigned char>(1 << free_tool);
    call(use_tool_id, tool.get(), Ref(text("plenx glue probe")).get());
    bool agrees = false;
    try {
        constexpr long first = 1L << 0, last_local = 1L << 9, last = 1L << 14;  // PY_START, STOP_ITERATION, RERAISE
        unsigned char set[15];
        std::memcpy(set, now, 15);
        set[0] |= bit, set[14] |= bit;
        call(set_events, tool.get(), Ref(integer(first | last)).get());
        agrees = monitors_are(set) && !code_monitored(code);
        call(set_events, tool.get(), Ref(integer(0)).get());
        agrees = agrees && monitors_are(now);
        call(set_local_events, tool.get(), code.get(), Ref(integer(first | last_local)).get());
        agrees = agrees && code_monitored(code) && monitors_are(now);
        call(set_local_events, tool.get(), code.get(), Ref(integer(0)).get());
        agrees = agrees && !code_monitored(code);
    } catch (const python_error&) {
        PyErr_Clear();
        agrees = false;
        PyObject* cleared = PyObject_CallFunction(set_events, "ii", free_tool, 0);
        Py_XDECREF(cleared);
        PyErr_Clear();
    }
    call(free_tool_id, tool.get());
    return agrees;
}
#endif

}  // namespace

namespace {

/// How many probe calls ran: only ever counted up, by whichever interpreter runs them.
std::atomic<int> probe_calls_run{0};

/// Whether work_due() sees a pending call while one is due, and it runs when asked to.
bool breaker_agrees() {
    const int before = probe_calls_run.load();
    if (Py_AddPendingCall([](void*) -> int { probe_calls_run++; return 0; }, nullptr) != 0) return false;
    const bool due = work_due(breaker_of(PyThreadState_Get()));
    // A signal handler run here would have run at the next instruction of the import anyway.
    if (Py_MakePendingCalls() != 0) raise();
    return due && probe_calls_run.load() != before;
}

}  // namespace

void fast::probe_observation() {
    if (!shortcuts() || context().observation_known) return;
    // In a sub-interpreter the pending call goes to the main one: the stand-ins stay off there.
    if (!breaker_agrees()) return;
#if PY_VERSION_HEX >= 0x030C0000
    const bool agrees = guarded([] { return observation_agrees(); }, false);
#else
    // 3.11 keeps use_tracing in a public struct: it must say what the thread's own fields say.
    PyThreadState* thread = current_thread();
    const bool agrees = detail::thread_mirrored && thread == PyThreadState_Get() && calls_observed(nullptr) == (thread->tracing == 0 && (thread->c_tracefunc || thread->c_profilefunc));
#endif
    PyErr_Clear();
    context().observation_known = agrees;
}

void fast::probe_collector() {
    if (!shortcuts() || context().collector_known) return;
#if PY_VERSION_HEX < 0x030C0000
    if (!detail::thread_mirrored) return;
#endif
    PyThreadState* thread = current_thread();
    const int* enabled = reinterpret_cast<const int*>(reinterpret_cast<const char*>(thread->interp) + plenx_glue_gc_enabled_offset);
    const YoungGeneration* young = young_generation(thread);
    // The switch reads as gc.enable() and gc.disable() set it; the state is put back at once.
    const int was_enabled = PyGC_Disable();
    bool agrees = *enabled == 0;
    PyGC_Enable();
    agrees = agrees && *enabled == 1;
    if (!was_enabled) PyGC_Disable();
    // Each tracked object made counts one (unless it started a collection, which resets the
    // count); a set, which no free list serves.
    bool counted = false;
    for (int tries = 0; agrees && !counted && tries < 3; tries++) {
        const int before = young->count;
        Ref made = check(PySet_New(nullptr));
        counted = young->count == before + 1 && young->threshold >= 0;
    }
    context().collector_known = agrees && counted;
}

}  // namespace glue
