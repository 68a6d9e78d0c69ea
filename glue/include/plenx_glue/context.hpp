// plenx_glue/context.hpp: what this library keeps for one interpreter, and which one is running.
//
// Nothing is shared between interpreters: names, memories, types and the modules' own state live here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "ref.hpp"

namespace glue {

#if PLENX_FAST_LAYER
/// What a class, at one version, makes of a name (see attributes.hpp).
struct SlotMemo {
    unsigned int version = 0;             // the class's version tag; 0 never matches
    bool in_place = false;                // a plain instance attribute, read and written at `index`
    bool own_function = false;            // class_attribute is one of our functions, found the generic way
    bool python_function = false;         // class_attribute is a Python function, found the generic way
    Py_ssize_t index = -1;                // the name's place among the shared keys, or -1: not there
    Py_ssize_t keys_seen = 0;             // how many shared keys there were when `index` was found
    PyObject* class_attribute = nullptr;  // borrowed: `holder` holds it while holder_version holds
    PyObject* holder = nullptr;           // the dict of the MRO that class_attribute was found in
    uint64_t holder_version = 0;
};

/// Where instances of one class, at one version, keep the keys one comparison reads
/// (fast::KeyReader): each key is a plain attribute, or a property over one of our getters whose
/// peek answers from one plain attribute (FunctionDef::peek_reads).
struct KeysMemo {
    static constexpr size_t most = 4;
    struct Key {
        Py_ssize_t index = -1;          // of the plain attribute read, in the inline values
        const void* getter = nullptr;   // the getter's FunctionDef, or null for a plain attribute
        PyObject* property = nullptr;   // borrowed: `holder` holds it while holder_version holds
        PyObject* holder = nullptr;
        uint64_t holder_version = 0;
    };
    unsigned int version = 0;  // the class's version tag; 0 never matches
    PyTypeObject* type = nullptr;  // compared by identity only
    const void* site = nullptr;  // the comparison's list of keys (static), compared by address
    size_t count = 0;            // how many keys it has
    Key keys[most];
};

/// A class version at which every name of a list (static, told apart by its address) is a plain
/// attribute, kept in its instances' inline values at `index` (glue::empty_in_place).
struct StoresMemo {
    static constexpr size_t most = 8;
    unsigned int version = 0;  // 0 never matches
    PyTypeObject* type = nullptr;  // compared by identity only
    const void* site = nullptr;
    size_t count = 0;  // how many names the list has (two lists may start at one address)
    Py_ssize_t index[most] = {};
};

struct Context;

/// What the comparison slot found for one operator on instances of one class, at one version
/// (slots.cpp): that its method is one of ours, uncleared, with a PeekPair; the dict the method
/// was found in; and where the instances keep the keys the PeekPair reads. Made only where all
/// of these were found, while shortcuts are on (see forget_comparisons()).
struct PairMemo {
    unsigned int version = 0;    // the class's version tag (it tells the class), never 0 in a memory made
    int op = -1;                 // Py_LT ... Py_GE; -1: empty
    PyObject* holder = nullptr;  // the dict of the MRO the method was found in (it holds the method)
    uint64_t holder_version = 0;
    // The method's PeekPair::compare (its definition's, static), or null: nothing remembered.
    PyObject* (*compare)(PyObject* self, PyObject* other, int op, Context* context) noexcept = nullptr;
    KeysMemo places;  // of the PeekPair's keys, at `version`
};

/// What `super(owner, self).name` found for instances of one class, at one version.
struct SuperMemo {
    unsigned int version = 0;    // type(self)'s version tag: it changes with any class of its MRO
    PyObject* owner = nullptr;   // compared by identity only
    PyObject* found = nullptr;   // borrowed: `holder` holds it while holder_version holds
    PyObject* holder = nullptr;  // the dict of the MRO that `found` was found in
    uint64_t holder_version = 0;
};

/// The last lookup of a name as a global, module attribute or class attribute (see lookup.hpp).
struct LookupMemo {
    PyObject* owner = nullptr;  // what was asked, compared by identity only
    PyObject* dict = nullptr;   // the dict that holds value
    uint64_t version = 0;       // dict's version when value was read from it
    unsigned int tag = 0;       // for a class: its version tag, and its metaclass's
    unsigned int meta_tag = 0;
    PyObject* value = nullptr;  // borrowed
};
#endif

/// One name in one interpreter: its interned string, and what lookups of it remember there.
struct NameState {
    PyObject* object = nullptr;  // strong
#if PLENX_FAST_LAYER
    SlotMemo slots[3];  // the three classes most recently seen with this attribute (the module's are three)
    SuperMemo supers[2];
    LookupMemo lookup;
    Py_ssize_t entry_hint = 0;  // where find_by_identity last found this key in a small dict
#endif
};

/// The most kinds of PerContext state one library may declare.
inline constexpr size_t most_extensions = 8;

/// This library's state in one interpreter. Version tags and dict versions are counted per
/// interpreter, so a memory is only ever compared with what its own interpreter made. One block:
/// the NameState of every Name follows it, so a name is found at a fixed offset from it.
struct alignas(16) Context {
    size_t holds = 0;              // the interpreter's own, our functions', modules' and running calls'
    void* extensions[most_extensions] = {};  // one per PerContext, made with the context
    PyTypeObject* function_type = nullptr;  // strong: the type of our function objects here
    PyObject* empty_tuple = nullptr;        // strong: the interpreter's ()
    /// A module of ours whose body is running here, with its globals (both borrowed: its import
    /// holds them), so that a class made there belongs to it (install_slots). Several at once,
    /// not one put back in call order: bodies run on two threads, or on two greenlets that switch
    /// inside the imports they run, end in any order.
    struct Loading {
        PyObject* globals = nullptr;  // null: a free place
        PyObject* module = nullptr;
    };
    Loading loading[4];
    bool shortcuts_on = false;
    // What the probes found of the interpreter's layouts (the same in every interpreter of a
    // process, but each finds out for itself, so no interpreter reads what another is writing).
    bool inline_values_known = false;
    bool dict_layout_known = false;
    bool property_layout_known = false;
    bool observation_known = false;  // what tracers set is where access.hpp reads it (probe_observation)
    bool collector_known = false;    // what may_collect() reads is the collector's (probe_collector)
#if PLENX_FAST_LAYER
    KeysMemo keys_memos[4];  // the comparisons' key places, most recent first
    StoresMemo stores_memos[6];  // empty_in_place(), one per list of names in use, newest first
    PairMemo pair_memos[2];  // the comparison slot's, most recent first
#endif

#if PLENX_FAST_LAYER
    /// Forgets what the comparisons remembered: each memory holds only while none of our
    /// functions has been cleared and shortcuts stayed on since it was made (so the comparison
    /// slot need not ask either again of its method).
    void forget_comparisons() noexcept {
        for (KeysMemo& memo : keys_memos) memo = KeysMemo{};
        for (PairMemo& memo : pair_memos) memo = PairMemo{};
    }
#endif

    /// Notes `module`'s body, with `globals`, as running; null where more than fit run at once
    /// (their classes then find the context by interpreter).
    Loading* start_loading(PyObject* globals, PyObject* module) noexcept {
        for (Loading& place : loading)
            if (place.globals == nullptr) {
                place = {globals, module};
                return &place;
            }
        return nullptr;
    }
    /// The module whose body is running with `globals`, or null.
    PyObject* module_loading(PyObject* globals) const noexcept {
        for (const Loading& place : loading)
            if (place.globals == globals) return place.module;
        return nullptr;
    }

    /// The state of the Name at `offset` (Name::offset()).
    NameState& name_at(size_t offset) noexcept { return *reinterpret_cast<NameState*>(reinterpret_cast<char*>(this) + offset); }
};

namespace detail {
/// Which of our calls this thread is in (one thread-local, so each entry finds both at one address).
struct Running {
    /// The context of the interpreter the thread runs our code in; null while none of our calls
    /// is in force on the thread.
    Context* current = nullptr;
    /// How many of our calls are in force on the thread, counting those of coroutines that
    /// switched away inside host code (greenlets) and are still to be resumed.
    size_t calls = 0;
};
[[gnu::tls_model("initial-exec")]] inline constinit thread_local Running running{};

/// What `current` goes back to when a call entered with `before` (`current` then) leaves: the
/// context the thread had before, or, where it had none, the call's own for as long as other calls
/// are in force. Calls need not leave in the order they entered: a greenlet that switches inside
/// host code leaves its call suspended while another greenlet of the thread enters and leaves
/// ours. Such greenlets share one thread state, so one interpreter and one context, and every call
/// entered with no context before is the first of its greenlet: the others then still in force
/// are all of that same context. Host code that switches the thread to another interpreter
/// returns before the call that made it does, so the context of an outer interpreter is put
/// back in call order; but where greenlets of the inner one (a legacy sub-interpreter run from
/// inside one of our calls) leave ours out of order, the first to leave puts the outer context
/// back while the others may still be resumed: one value per thread cannot tell the two apart.
inline Context* remembered(Context* before, Context* own) noexcept { return before != nullptr ? before : own; }
inline void enter(Context* c) noexcept {
    running.calls++;
    running.current = c;
}
inline void leave(Context* remembered) noexcept { running.current = --running.calls != 0 ? remembered : nullptr; }
/// Registers a kind of per-interpreter state at static initialisation; its index.
size_t register_extension(void* (*make)(), void (*destroy)(void*)) noexcept;
}  // namespace detail

/// The running call's context. Only valid inside one of our calls (Entered is in force).
inline Context& context() noexcept { return *detail::running.current; }

/// The running interpreter's context, made at its first use there; null with an error set.
Context* interpreter_context() noexcept;

namespace detail {
void destroy(Context* c) noexcept;
}
/// Keeps `c` alive; release() lets it go (the last one frees it, with the GIL held).
inline void hold(Context* c) noexcept { c->holds++; }
inline void release(Context* c) noexcept {
    if (--c->holds == 0) detail::destroy(c);
}

/// Makes `c` the running call's context for a scope, and puts back what detail::leave() says after it.
class Entered {
public:
    explicit Entered(Context* c) noexcept : back_(detail::remembered(detail::running.current, c)) { detail::enter(c); }
    ~Entered() { detail::leave(back_); }
    Entered(const Entered&) = delete;
    Entered& operator=(const Entered&) = delete;

private:
    Context* back_;
};

/// The same for a scope in which nothing can run but our own code, so no greenlet can switch
/// away inside it: it leaves before any other call does, and puts back just what was there.
class EnteredWithin {
public:
    explicit EnteredWithin(Context* c) noexcept : saved_(detail::running.current) { detail::running.current = c; }
    ~EnteredWithin() { detail::running.current = saved_; }
    EnteredWithin(const EnteredWithin&) = delete;
    EnteredWithin& operator=(const EnteredWithin&) = delete;

private:
    Context* saved_;
};

/// The same for an entry from host code that found its context by interpreter: held meanwhile,
/// and let go only after the call has left it (the last hold frees it).
class EnteredHeld {
public:
    explicit EnteredHeld(Context* c) noexcept : held_(c), entered_(c) {}

private:
    struct Held {
        explicit Held(Context* c) noexcept : context(c) { hold(c); }
        ~Held() { release(context); }
        Context* context;
    };
    Held held_;  // declared first, so let go last
    Entered entered_;
};

/// A module's own state of type T, one per interpreter, made with its context.
template <class T>
class PerContext {
public:
    PerContext() noexcept
        : index_(detail::register_extension([]() -> void* { return new (std::nothrow) T(); },
                                            [](void* p) { delete static_cast<T*>(p); })) {}
    PerContext(const PerContext&) = delete;
    PerContext& operator=(const PerContext&) = delete;

    T& get() const noexcept { return *static_cast<T*>(context().extensions[index_]); }
    T* operator->() const noexcept { return &get(); }

private:
    size_t index_;
};

}  // namespace glue
