// glue/src/context.cpp: one context per interpreter, found from the interpreter that runs.
//
// The interpreter's own dict holds it, so it goes with the interpreter; our objects hold it too.
#include "plenx_glue/context.hpp"

#include <atomic>
#include <new>

#include "plenx_glue/function.hpp"
#include "plenx_glue/names.hpp"
#include "plenx_glue/ops.hpp"

namespace glue {

namespace {

void* (*extension_makers[most_extensions])() = {};
void (*extension_destroyers[most_extensions])(void*) = {};
size_t extensions_registered = 0;

/// Where the NameState of the index-th Name lies in a context's block.
NameState& name_state(Context* c, size_t index) noexcept { return c->name_at(sizeof(Context) + sizeof(NameState) * index); }

constexpr char capsule_name[] = "plenx_glue.context";

/// Moves whenever an interpreter lets its context go (as it ends): a thread's remembered context,
/// which may then be freed, is looked up again.
std::atomic<uint64_t> generation{1};

// The last context this thread found, for the interpreter it was found in (its address and its
// id, which is never reused: an interpreter made later at the same address is another one).
[[gnu::tls_model("initial-exec")]] constinit thread_local PyInterpreterState* cached_interpreter = nullptr;
[[gnu::tls_model("initial-exec")]] constinit thread_local int64_t cached_id = -1;
[[gnu::tls_model("initial-exec")]] constinit thread_local Context* cached_context = nullptr;
[[gnu::tls_model("initial-exec")]] constinit thread_local uint64_t cached_generation = 0;

}  // namespace

void detail::destroy(Context* c) noexcept {
    // The state of the modules first: it may hold objects whose release runs our code.
    {
        Entered entered(c);
        c->holds++;  // nothing released below may free it a second time
        for (size_t i = extensions_registered; i-- > 0;)
            if (void* state = c->extensions[i]) {
                c->extensions[i] = nullptr;
                extension_destroyers[i](state);
            }
        c->holds--;
    }
    for (size_t i = 0, n = name_count(); i < n; i++) Py_CLEAR(name_state(c, i).object);
    Py_CLEAR(c->function_type);
    Py_CLEAR(c->empty_tuple);
    c->~Context();
    ::operator delete(c, std::align_val_t{alignof(Context)});
}

namespace {

void capsule_gone(PyObject* capsule) {
    auto* c = static_cast<Context*>(PyCapsule_GetPointer(capsule, capsule_name));
    if (c == nullptr) {
        PyErr_Clear();
        return;
    }
    generation.fetch_add(1, std::memory_order_acq_rel);
    release(c);
}

/// A new context for the running interpreter, its names interned and our function type made; null on error.
Context* make_context() noexcept {
    void* block = ::operator new(sizeof(Context) + sizeof(NameState) * name_count(), std::align_val_t{alignof(Context)},
                                 std::nothrow);
    if (block == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    auto* c = new (block) Context;
    for (size_t i = 0, n = name_count(); i < n; i++) new (&name_state(c, i)) NameState;
    c->holds = 1;
    const bool made = [c] {
        Entered entered(c);
        for (size_t i = 0; i < extensions_registered; i++)
            if ((c->extensions[i] = extension_makers[i]()) == nullptr) {
                PyErr_NoMemory();
                return false;
            }
        return intern_names(c) && detail::make_function_type(c) && (c->empty_tuple = PyTuple_New(0)) != nullptr;
    }();
    if (made) return c;
    release(c);  // once left: no call's context is then one being freed
    return nullptr;
}

/// The key this library's context has in the interpreter's dict (each library has its own).
Ref context_key() { return check(PyUnicode_FromFormat("plenx_glue context %p", static_cast<void*>(&generation))); }

Context* find_or_make(PyInterpreterState* interpreter) noexcept {
    const uint64_t seen = generation.load(std::memory_order_acquire);
    PyObject* dict = PyInterpreterState_GetDict(interpreter);
    if (dict == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "the interpreter has no state dict");
        return nullptr;
    }
    Context* found = guarded(
        [&]() -> Context* {
            Ref key = context_key();
            Ref capsule = Ref::borrow(PyDict_GetItemWithError(dict, key));
            if (!capsule) {
                if (PyErr_Occurred()) raise();
                Context* made = make_context();
                if (made == nullptr) raise();
                Ref fresh = Ref::steal(PyCapsule_New(made, capsule_name, capsule_gone));
                if (!fresh) {
                    release(made);
                    raise();
                }
                // Making it may have run code that made one already: the first one stays.
                capsule = Ref::borrow(PyDict_GetItemWithError(dict, key));
                if (!capsule) {
                    if (PyErr_Occurred()) raise();
                    check_status(PyDict_SetItem(dict, key, fresh));
                    capsule = fresh;
                }
            }
            auto* c = static_cast<Context*>(PyCapsule_GetPointer(capsule, capsule_name));
            if (c == nullptr) raise();
            return c;
        },
        static_cast<Context*>(nullptr));
    if (found != nullptr) {
        cached_interpreter = interpreter;
        cached_id = PyInterpreterState_GetID(interpreter);
        cached_context = found;
        cached_generation = seen;
    }
    return found;
}

}  // namespace

size_t detail::register_extension(void* (*make)(), void (*destroy)(void*)) noexcept {
    // Static initialisation only, before any context exists; more than fit is a build fault.
    if (extensions_registered == most_extensions) __builtin_trap();
    extension_makers[extensions_registered] = make;
    extension_destroyers[extensions_registered] = destroy;
    return extensions_registered++;
}

Context* interpreter_context() noexcept {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    if (interpreter == cached_interpreter && cached_generation == generation.load(std::memory_order_acquire) &&
        PyInterpreterState_GetID(interpreter) == cached_id)
        return cached_context;
    return find_or_make(interpreter);
}

}  // namespace glue
