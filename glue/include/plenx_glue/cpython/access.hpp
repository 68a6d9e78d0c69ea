// plenx_glue/cpython/access.hpp: every read or write of the interpreter's private layouts.
//
// Each accessor names the CPython symbol it mirrors; shortcuts() and a probe at load guard each use.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#ifdef Py_LIMITED_API
#error "the interpreter's internals are not part of the stable-ABI build"
#endif

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "../ref.hpp"

namespace glue {

/// 3.11 to 3.13 (with the GIL) share the layout of dict key tables (dict_tables.hpp), and keep a
/// plain instance's attributes in an inline values array with insertion-order bytes (found
/// differently by each: see inline_values()).
#ifdef Py_GIL_DISABLED
inline constexpr bool mirrors_layouts = false;
#else
inline constexpr bool mirrors_layouts = PLENX_SHORTCUTS && PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000;
#endif

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
/// Where a function keeps what can be replaced in place with no version to tell: its code,
/// defaults and keyword defaults (PyFunctionObject's func_code, func_defaults, func_kwdefaults).
inline std::array<PyObject* const*, 3> replaceable_fields(PyObject* function) noexcept {
    auto* f = reinterpret_cast<PyFunctionObject*>(function);
    return {&f->func_code, &f->func_defaults, &f->func_kwdefaults};
}

/// PyDictObject.ma_version_tag: it changes with every change of the dict, before any value the
/// dict held is released, and no two dicts ever carry the same one. So while it is unchanged the
/// dict still holds (and keeps alive) every value read from it. (Deprecated from 3.12, still kept.)
inline uint64_t dict_version(PyObject* dict) noexcept { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }
/// Where dict_version() reads, for a check that compares many words at once.
inline const void* dict_version_at(PyObject* dict) noexcept { return &reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

/// PyHeapTypeObject.ht_module: the module a heap type belongs to (PyType_GetModule), or null.
inline PyObject*& type_module(PyTypeObject* type) noexcept { return reinterpret_cast<PyHeapTypeObject*>(type)->ht_module; }

/// PyModuleObject.md_state of a module object (what PyModule_GetState returns): the same place in
/// 3.11 to 3.13 (Include/internal/pycore_moduleobject.h).
inline void* module_state(PyObject* module) noexcept {
    struct ModuleHead {
        PyObject_HEAD
        PyObject* md_dict;
        PyModuleDef* md_def;
        void* md_state;
    };
    return reinterpret_cast<ModuleHead*>(module)->md_state;
}

/// PyTypeObject.tp_version_tag when it is valid, else 0: up to 3.12 Py_TPFLAGS_VALID_VERSION_TAG
/// says so; from 3.13 an invalid tag is 0 itself. A class changed through its setattr gets a new
/// one; tags are never reused.
inline unsigned int version_tag(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return type->tp_version_tag;
#else
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

inline PyThreadState* current_thread() noexcept;
#if PY_VERSION_HEX >= 0x030C0000
namespace detail {
/// This thread's own copy of the interpreter's thread variable (_Py_tss_tstate, which libpython
/// keeps to itself), once found (thread_variable.cpp), or null: the public call then serves.
/// Reading it here spares a call into libpython and its __tls_get_addr on every call of ours.
[[gnu::tls_model("initial-exec")]] inline constinit thread_local PyThreadState* const* thread_variable = nullptr;
/// Whether this thread has looked for it yet.
[[gnu::tls_model("initial-exec")]] inline constinit thread_local bool thread_variable_sought = false;
/// Looks for it (once per thread); the running thread's state either way.
PyThreadState* find_thread_variable() noexcept;
}  // namespace detail
#endif
/// The interpreter's check past the recursion count (exported, declared in its internal headers).
extern "C" int _Py_CheckRecursiveCall(PyThreadState* thread, const char* where);
#if PY_VERSION_HEX < 0x030C0000
namespace detail {
/// Whether current_thread() was seen to read the running thread at load (check_thread_mirror).
/// A fact of the binary and the interpreter; 3.11's interpreters share one GIL.
inline bool thread_mirrored = false;
}  // namespace detail
#endif

/// Py_EnterRecursiveCall(where), as the interpreter inlines it (_Py_EnterRecursiveCallTstate):
/// the C call counter, which is the frame counter up to 3.11. The running thread's state, which
/// leave_call() is given back; null, with RecursionError set, past the limit.
inline PyThreadState* enter_call(const char* where) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyThreadState* thread = current_thread();
#else
    // The thread read where the interpreter keeps it, once that was seen to hold at load.
    PyThreadState* thread = detail::thread_mirrored ? current_thread() : PyThreadState_Get();
#endif
#if PY_VERSION_HEX >= 0x030D0000
    if (thread->c_recursion_remaining-- < 0 && _Py_CheckRecursiveCall(thread, where) != 0) return nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    if (thread->c_recursion_remaining-- <= 0 && _Py_CheckRecursiveCall(thread, where) != 0) return nullptr;
#else
    if (thread->recursion_remaining-- <= 0 && _Py_CheckRecursiveCall(thread, where) != 0) return nullptr;
#endif
    return thread;
}

/// Counts a call of ours against the recursion limit as a Python frame counts (_Py_EnterRecursivePy);
/// false, with RecursionError set, past it. From 3.12 that is the Python frame counter alone; the C
/// stack our frames take is measured instead (stack.hpp). The running thread's state, which
/// leave_frame() is given back; null, with RecursionError set, past the limit.
inline PyThreadState* enter_frame() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyThreadState* thread = current_thread();  // never null while a call of ours runs
    // While a RecursionError is being handled the interpreter allows 50 frames more.
    if (--thread->py_recursion_remaining < (thread->recursion_headroom ? -50 : 0)) {
        thread->py_recursion_remaining++;
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
        return nullptr;
    }
    return thread;
#else
    return enter_call("");  // 3.11: Py_EnterRecursiveCall(""), the frame counter
#endif
}

/// Py_LeaveRecursiveCall() on the thread enter_call() gave.
inline void leave_call(PyThreadState* thread) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    thread->c_recursion_remaining++;
#else
    thread->recursion_remaining++;
#endif
}

/// Ends what enter_frame() counted, on the thread it gave.
inline void leave_frame(PyThreadState* thread) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    thread->py_recursion_remaining++;
#else
    thread->recursion_remaining++;  // _Py_LeaveRecursiveCallTstate
#endif
}

namespace detail {
/// count_frame() where the count has no room left: the two made as they are.
[[gnu::noinline]] inline bool count_frame_at_limit() noexcept {
    PyThreadState* thread = enter_frame();
    if (thread == nullptr) return false;
    leave_frame(thread);
    return true;
}
}  // namespace detail

/// enter_frame() and leave_frame() at once, for a call answered without running anything: false,
/// with RecursionError set, past the limit. While the count has room, entering and leaving change
/// nothing, so only the count is read; at the limit (or past it, while an error is handled) the
/// two are made as they are.
[[gnu::always_inline]] inline bool count_frame() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    if (current_thread()->py_recursion_remaining > 0) return true;
#else
    if ((detail::thread_mirrored ? current_thread() : PyThreadState_Get())->recursion_remaining > 0) return true;
#endif
    return detail::count_frame_at_limit();
}

/// A class's own dict (borrowed; the class keeps it): PyTypeObject.tp_dict, which from 3.12 is
/// not set on the interpreter's static types; PyType_GetDict finds theirs.
inline PyObject* type_dict(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* dict = PyType_GetDict(type);
    Py_XDECREF(dict);
    return dict;
#else
    return type->tp_dict;
#endif
}

/// _PyType_Lookup: `name` in the dicts of type's MRO (borrowed, or null); it runs no code of the
/// host's unless a class dict holds keys other than strings, and assigns a version tag.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) noexcept { return _PyType_Lookup(type, name); }

/// The value of an exact int of at most one digit: 3.11 PyLongObject.ob_digit with the sign in
/// ob_size; 3.12 on PyUnstable_Long_CompactValue. False where the int is larger.
inline bool one_digit_value(PyObject* exact_int, long* value) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(exact_int))) return false;
    *value = static_cast<long>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(exact_int)));
    return true;
#else
    const Py_ssize_t size = Py_SIZE(exact_int);
    if (size < -1 || size > 1) return false;
    *value = size * static_cast<long>(reinterpret_cast<PyLongObject*>(exact_int)->ob_digit[0]);
    return true;
#endif
}

/// PyFloatObject.ob_fval, written in a float (or float subclass of float's layout) just allocated.
inline void set_float_value(PyObject* fresh_float, double value) noexcept {
    reinterpret_cast<PyFloatObject*>(fresh_float)->ob_fval = value;
}

/// propertyobject.prop_get (Objects/descrobject.c): the getter, just after the object header.
/// Read only once the property probe agreed.
inline PyObject* property_fget(PyObject* property) noexcept {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(property) + sizeof(PyObject));
}

#if PY_VERSION_HEX >= 0x030D0000
/// 3.13 PyDictValues (Include/internal/pycore_dict.h): a header of four bytes, the values, then
/// the insertion-order bytes after `capacity` values.
struct InlineValuesHead {
    uint8_t capacity;
    uint8_t size;
    uint8_t embedded;
    uint8_t valid;
    PyObject* values[1];
};
inline InlineValuesHead* inline_values_head(PyObject** values) noexcept {
    return reinterpret_cast<InlineValuesHead*>(reinterpret_cast<char*>(values) - offsetof(InlineValuesHead, values));
}
#endif

/// The array in which an instance of a class with a managed dict keeps its attribute values, or
/// null where it keeps them in a dict of its own. Only where mirrors_layouts and the probe
/// agreed.
/// - 3.11 _PyObject_ValuesPointer: a pointer four words before the object, null once a dict exists.
/// - 3.12 _PyObject_DictOrValuesPointer: three words before the object, a dict or the values
///   tagged by their low bit (_PyDictOrValues_IsValues, _PyDictOrValues_GetValues).
/// - 3.13 _PyObject_InlineValues: right after the object header, for a class with
///   Py_TPFLAGS_INLINE_VALUES; usable, as STORE_ATTR_INSTANCE_VALUE's guard has it, while the
///   managed dict three words before the object is null and the values are still `valid`.
inline PyObject** inline_values(PyObject* o) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyTypeObject* type = Py_TYPE(o);
    if (!(type->tp_flags & Py_TPFLAGS_INLINE_VALUES) || type->tp_basicsize != sizeof(PyObject)) return nullptr;
    if (reinterpret_cast<PyObject**>(o)[-3] != nullptr) return nullptr;
    auto* head = reinterpret_cast<InlineValuesHead*>(reinterpret_cast<char*>(o) + sizeof(PyObject));
    return head->valid ? head->values : nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    const uintptr_t dict_or_values = reinterpret_cast<uintptr_t*>(o)[-3];
    return (dict_or_values & 1) ? reinterpret_cast<PyObject**>(dict_or_values + 1) : nullptr;
#else
    return reinterpret_cast<PyObject***>(o)[-4];
#endif
}

/// The slot of the attribute at `index` among the class's shared keys, or null where the array
/// is too short for it (3.13 records its capacity; before, every array fits all shared keys).
inline PyObject** inline_slot(PyObject** values, Py_ssize_t index) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    if (index >= inline_values_head(values)->capacity) return nullptr;
#endif
    return values + index;
}

/// The value at `index` in `values`: null where it is not set, or past the array (inline_slot()).
inline PyObject* inline_value(PyObject** values, Py_ssize_t index) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    if (index >= inline_values_head(values)->capacity) return nullptr;
#endif
    return values[index];
}

/// How many attributes are set in `values`, and which (their indices in the order they were
/// first set, what vars() lists): 3.11 and 3.12 _PyDictValues keep [-1] the prefix size, [-2]
/// the count and the indices before those; 3.13 keeps `size` and get_insertion_order_array().
inline int inline_count(PyObject** values) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return inline_values_head(values)->size;
#else
    return reinterpret_cast<uint8_t*>(values)[-2];
#endif
}
inline int inline_index_at(PyObject** values, int i) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return reinterpret_cast<uint8_t*>(values + inline_values_head(values)->capacity)[i];
#else
    return reinterpret_cast<uint8_t*>(values)[-3 - i];
#endif
}

/// _PyDictValues_AddToInsertionOrder: `index` joins the end of the insertion order. False, with
/// nothing changed, where the order bytes have no room left.
inline bool add_to_insertion_order(PyObject** values, Py_ssize_t index) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    InlineValuesHead* head = inline_values_head(values);
    if (head->size >= head->capacity) return false;
    reinterpret_cast<uint8_t*>(values + head->capacity)[head->size] = static_cast<uint8_t>(index);
    head->size++;
#else
    uint8_t* bytes = reinterpret_cast<uint8_t*>(values);
    const int count = bytes[-2] + 1;
    if (count + 2 > bytes[-1]) return false;
    bytes[-2 - count] = static_cast<uint8_t>(index);
    bytes[-2] = static_cast<uint8_t>(count);
#endif
    return true;
}

/// add_to_insertion_order() of each of the N `indices` in turn, done at once. False, with nothing
/// changed, where the order bytes have no room left for all of them.
template <size_t N>
inline bool add_all_to_insertion_order(PyObject** values, const Py_ssize_t* indices) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    InlineValuesHead* head = inline_values_head(values);
    const int size = head->size;
    if (size + static_cast<int>(N) > head->capacity) return false;
    uint8_t* order = reinterpret_cast<uint8_t*>(values + head->capacity) + size;
    for (size_t i = 0; i < N; i++) order[i] = static_cast<uint8_t>(indices[i]);
    head->size = static_cast<uint8_t>(size + static_cast<int>(N));
#else
    uint8_t* bytes = reinterpret_cast<uint8_t*>(values);
    const int count = bytes[-2];
    if (count + static_cast<int>(N) + 2 > bytes[-1]) return false;
    for (size_t i = 0; i < N; i++) bytes[-3 - count - static_cast<int>(i)] = static_cast<uint8_t>(indices[i]);
    bytes[-2] = static_cast<uint8_t>(count + static_cast<int>(N));
#endif
    return true;
}

// ---- what tracers and profilers see ----

#if PY_VERSION_HEX >= 0x030C0000
/// offsetof(PyInterpreterState, monitors), as the internal headers built against lay it out
/// (interp_layout.h); checked on a probe at load (probe_observation), as a patch release of the
/// same interpreter may move it.
extern "C" const size_t plenx_glue_monitors_offset;
#endif

/// The running thread's state, unchecked: 3.13 PyThreadState_GetUnchecked, before it
/// _PyThreadState_UncheckedGet (a read of the thread's own variable, no check, no lock), read
/// in place once this thread has found where (detail::thread_variable).
#if PY_VERSION_HEX < 0x030C0000
/// 3.11: &_PyRuntime.gilstate.tstate_current, as the internal headers built against lay it out
/// (interp_layout.h); checked at load (probe_observation).
extern "C" PyThreadState* const* const plenx_glue_tstate_current;
#endif
inline PyThreadState* current_thread() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    if (PyThreadState* const* variable = detail::thread_variable) [[likely]]
        return *variable;
    if (!detail::thread_variable_sought) return detail::find_thread_variable();
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked();
#else
    return _PyThreadState_UncheckedGet();
#endif
#else
    return __atomic_load_n(plenx_glue_tstate_current, __ATOMIC_RELAXED);
#endif
}

/// 3.11: checks once that current_thread() reads what PyThreadState_Get() gives (a patch release
/// could move it); until then, and where it does not, the public call serves.
inline void check_thread_mirror() noexcept {
#if PY_VERSION_HEX < 0x030C0000
    if (!detail::thread_mirrored) detail::thread_mirrored = current_thread() == PyThreadState_Get();
#endif
}

/// 3.12 and 3.13: where the thread's interpreter keeps its `monitors` (_Py_GlobalMonitors,
/// Include/cpython/code.h: for each of the 15 ungrouped events, the set of tools it is set for).
/// sys.settrace and sys.setprofile of any thread set events there too, for tools 7 and 6
/// (Python/legacy_tracing.c), so they show there as well.
#if PY_VERSION_HEX >= 0x030C0000
inline const unsigned char* global_monitors(PyThreadState* thread) noexcept {
    return reinterpret_cast<const unsigned char*>(thread->interp) + plenx_glue_monitors_offset;
}
#endif

/// What calls_observed() reads for the calls made in `thread`'s interpreter, found once (a
/// function made there keeps it): 3.12 and 3.13 global_monitors(); null on 3.11, where it is
/// the running thread's own.
inline const void* observation_of(PyThreadState* thread) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return global_monitors(thread);
#else
    (void)thread;
    return nullptr;
#endif
}

/// Whether calls of Python functions are seen now by what the interpreter keeps for tracers,
/// given observation_of() the interpreter running:
/// - 3.11: the running thread's `cframe->use_tracing` (_PyCFrame, Include/cpython/pystate.h),
///   255 while it has a trace or profile function and is not inside it
///   (_PyThreadState_UpdateTracingState).
/// - 3.12 and 3.13: any byte of the interpreter's `monitors`: an event set for any tool,
///   sys.settrace and sys.setprofile of any of its threads included.
inline bool calls_observed(const void* observation) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    static_assert(sizeof(_Py_GlobalMonitors) == 15);
    const auto* tools = static_cast<const unsigned char*>(observation);
    uint64_t low, high;  // bytes 0-7 and 7-14
    std::memcpy(&low, tools, 8);
    std::memcpy(&high, tools + 7, 8);
    return (low | high) != 0;
#else
    (void)observation;
    return current_thread()->cframe->use_tracing != 0;
#endif
}

#if PY_VERSION_HEX < 0x030D0000
/// offsetof(PyInterpreterState, ceval.eval_breaker), from the internal headers (interp_layout.h).
extern "C" const size_t plenx_glue_eval_breaker_offset;
#endif

/// Where work_due() reads, for the calls made in `thread`'s interpreter (a function made there
/// keeps it): 3.11 and 3.12 the interpreter's ceval.eval_breaker; null on 3.13, where it is the
/// running thread's own.
inline const void* breaker_of(PyThreadState* thread) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    (void)thread;
    return nullptr;
#else
    return reinterpret_cast<const char*>(thread->interp) + plenx_glue_eval_breaker_offset;
#endif
}

/// Whether the eval loop has work due at its next check, which the first instruction of a Python
/// call would do and a native stand-in would not (a scheduled collection and its finalisers, a
/// signal handler, a pending call, a request to drop the GIL): 3.11 and 3.12 the interpreter's
/// `ceval.eval_breaker` is nonzero; 3.13 the running thread's `eval_breaker` has one of its
/// _PY_EVAL_EVENTS_MASK bits (the low 8, Include/internal/pycore_ceval.h) set.
inline bool work_due(const void* breaker) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    (void)breaker;
    return (current_thread()->eval_breaker & 0xff) != 0;
#else
    return __atomic_load_n(static_cast<const int*>(breaker), __ATOMIC_RELAXED) != 0;
#endif
}

/// Offsets into PyInterpreterState of the collector's state (interp_layout.h).
extern "C" const size_t plenx_glue_gc_enabled_offset, plenx_glue_gc_collecting_offset, plenx_glue_gc_young_offset;
/// The youngest generation's count of objects made since its last collection, and the threshold
/// above which the next one made starts (3.11) or schedules (3.12, 3.13) a collection
/// (struct gc_generation).
struct YoungGeneration {
    uintptr_t head[2];  // PyGC_Head
    int threshold;
    int count;
};
inline YoungGeneration* young_generation(PyThreadState* thread) noexcept {
    return reinterpret_cast<YoungGeneration*>(reinterpret_cast<char*>(thread->interp) + plenx_glue_gc_young_offset);
}

/// Whether making `tracked` more objects that the collector tracks would take the youngest
/// generation's count past its threshold while the collector is enabled and not collecting: the
/// allocation that does starts a collection on 3.11, and schedules one on 3.12 and 3.13, which
/// runs at the eval loop's next check (_PyObject_GC_Link). Checked on a probe at load.
inline bool collection_due(int tracked) noexcept {
    PyThreadState* thread = current_thread();
    const char* interp = reinterpret_cast<const char*>(thread->interp);
    const YoungGeneration* young = young_generation(thread);
    return young->threshold != 0 && young->count + tracked > young->threshold &&
           *reinterpret_cast<const int*>(interp + plenx_glue_gc_enabled_offset) != 0 &&
           *reinterpret_cast<const int*>(interp + plenx_glue_gc_collecting_offset) == 0;
}

/// Whether making `tracked` more objects that the collector tracks could start a collection
/// (and run finalisers) before they are all made: 3.11 collects inside the allocation that takes
/// the youngest generation's count past its threshold, while the collector is enabled and not
/// already collecting (_PyObject_GC_Link). From 3.12 an allocation only schedules a collection,
/// which runs at the eval loop's next check. Checked on a probe at load (probe_collector).
inline bool may_collect(int tracked) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return collection_due(tracked);
#else
    (void)tracked;
    return false;
#endif
}

/// Whether a tool of sys.monitoring set events on this code object of its own
/// (sys.monitoring.set_local_events): 3.12 and 3.13 PyCodeObject._co_monitoring, null until the
/// code is first instrumented, then its `local_monitors` (_PyCoMonitoringData, Include/cpython/code.h:
/// a byte per each of the 10 local events). Always false on 3.11, which has no sys.monitoring.
inline bool code_monitored(PyObject* code) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    const _PyCoMonitoringData* data = reinterpret_cast<PyCodeObject*>(code)->_co_monitoring;
    if (data == nullptr) return false;
    static_assert(_PY_MONITORING_LOCAL_EVENTS == 10 && sizeof(data->local_monitors) >= 10);
    const auto* tools = reinterpret_cast<const unsigned char*>(&data->local_monitors);
    uint64_t low;
    uint16_t high;
    std::memcpy(&low, tools, 8);
    std::memcpy(&high, tools + 8, 2);
    return (low | high) != 0;
#else
    (void)code;
    return false;
#endif
}

/// PyHeapTypeObject.ht_cached_keys: the keys instances of the class share (a PyDictKeysObject).
inline void* shared_keys_of(PyTypeObject* type) noexcept {
    return PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) ? reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys : nullptr;
}

/// PyDictObject.ma_keys (a PyDictKeysObject), and whether the dict keeps its values there
/// (ma_values is null: not a split dict). ma_used: the number of items.
inline void* dict_keys_of(PyObject* dict) noexcept { return reinterpret_cast<PyDictObject*>(dict)->ma_keys; }
inline bool dict_is_combined(PyObject* dict) noexcept { return reinterpret_cast<PyDictObject*>(dict)->ma_values == nullptr; }
inline Py_ssize_t dict_used(PyObject* dict) noexcept { return reinterpret_cast<PyDictObject*>(dict)->ma_used; }

}  // namespace glue
