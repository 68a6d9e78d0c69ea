// plenx_glue/function.hpp: compiled functions that Python treats like its own functions.
//
// They bind as methods, take arguments by position or keyword, and carry annotations.
#pragma once

#include <span>

#include "names.hpp"
#include "ops.hpp"
#include "ref.hpp"

namespace glue {

/// The most parameters (self included) a compiled function may declare.
inline constexpr int max_params = 8;

/// A parameter's default value, made into an object when the function is created.
struct Default {
    enum Kind { required, none, integer, empty_dict } kind = required;
    long value = 0;
};
inline constexpr Default no_value{Default::none};
inline constexpr Default empty_mapping{Default::empty_dict};
inline constexpr Default integer_default(long v) { return {Default::integer, v}; }

/// One declared parameter; `annotation` is its source text, stored as a string.
struct Param {
    const char* name;
    const char* annotation = nullptr;
    Default default_value{};
};

/// The parameters of a method that takes nothing but the instance.
inline constexpr Param self_only[] = {{"self"}};

class Args;
class Lookup;
/// A function body: returns a new reference, or throws python_error.
using Impl = Ref (*)(const Args&);

/// A getter's answer when giving it runs nothing and changes nothing (borrowed), else null.
using Peek = PyObject* (*)(PyObject* self) noexcept;
/// How the comparison slot can often answer a comparison of two instances of one class in place
/// (fast layer): from the keys the comparison reads, each read where the instances keep it.
struct PeekPair {
    std::span<const Name* const> keys;  // of static storage: its address tells one list from another
    /// The slot's work while its memory is of this comparison (fast::compare_in_place).
    PyObject* (*compare)(PyObject* self, PyObject* other, int op, Context* context) noexcept;
};
/// What a peek that reads one plain attribute answers for that attribute's value (borrowed), or null.
using PeekValue = PyObject* (*)(PyObject* value) noexcept;
/// What calling `function` (one of ours, taking self alone) on `self` would return, when finding
/// it runs nothing and changes nothing (borrowed), else null.
using PeekCall = PyObject* (*)(PyObject* function, PyObject* self) noexcept;

/// Everything about a function that is fixed at compile time.
struct FunctionDef {
    const char* name;
    std::span<const Param> params;
    const char* returns;  // return annotation text, or nullptr for none
    Impl impl;
    Peek peek = nullptr;  // for a property getter whose answer can often be read in place
    const char* doc = nullptr;  // __doc__ (a property made from the getter takes it), or none
    const PeekPair* peek_pair = nullptr;  // for a comparison whose answer can often be found in place
    // For a getter whose peek reads one plain attribute and nothing else: that attribute, and
    // what the peek makes of its value (the peek is then peek_value of the attribute, in place).
    const Name* peek_reads = nullptr;
    PeekValue peek_value = nullptr;
    PeekCall peek_call = nullptr;  // for a method taking self alone whose result can often be found in place
};

/// The bound arguments of one call, in declaration order (borrowed).
class Args {
public:
    Args(PyObject* function, PyObject* globals, PyObject* builtins, PyObject* const* slots) noexcept
        : function_(function), globals_(globals), builtins_(builtins), slots_(slots) {}
    PyObject* operator[](size_t i) const noexcept { return slots_[i]; }
    /// The globals of the function's module.
    PyObject* globals() const noexcept { return globals_; }
    /// The builtins the function was defined with (its `__builtins__`), never the caller's.
    PyObject* builtins() const noexcept { return builtins_; }
    /// The function being run: one of ours.
    PyObject* function() const noexcept { return function_; }
    /// The class that defines the function (borrowed), as super() would use it.
    PyObject* owner() const;
    /// Looks a module global up at this use, as the interpreter does (NameError when absent).
    Ref global(const Name& name) const;
    /// The same, remembered between uses (defined in lookup.hpp).
    Ref global(const Lookup& name) const;

private:
    PyObject* function_;
    PyObject* globals_;
    PyObject* builtins_;
    PyObject* const* slots_;
};

/// One entry of a class body, in declaration order, and how the class's dict holds it.
struct Member {
    enum Kind { method, property, class_method } kind;
    const FunctionDef* def;
};

/// The function of `def` in the module of `globals`, held under `key` by the class `class_name`.
Ref make_function(const FunctionDef& def, PyObject* globals, const char* class_name, PyObject* key,
                  Member::Kind held);

/// invoke_from_own_code (below) from where no context is entered (a slot of ours between calls):
/// the call runs in its function's own.
Ref invoke_in_own_context(PyObject* function, PyObject* const* args);

/// Records the class that defines `function` (no-op for other objects).
void set_owner(PyObject* function, PyObject* owner) noexcept;

namespace detail {
/// Makes the type of our function objects in a new context; false with an error set.
bool make_function_type(Context* context) noexcept;
/// The start of our function objects' layout.
struct FunctionHead {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    const void* observation;  // where its interpreter keeps what tracers set (fast::observed), or null
    const void* breaker;      // where its interpreter notes work due (fast::observed)
    PyObject* globals;        // null once the collector has cleared the function
    PyObject* builtins;       // those it was made with
    Context* context;         // its interpreter's, which its calls run in
    PyObject* varnames;       // the parameter names, interned
};
}  // namespace detail

/// Whether `stack[0:positional]` followed by the keywords `kwnames` (a tuple or null) already is
/// every parameter of our `function` in declaration order, each keyword the interned name itself.
inline bool binds_in_order(PyObject* function, size_t positional, PyObject* kwnames) noexcept {
    PyObject* names = reinterpret_cast<detail::FunctionHead*>(function)->varnames;
    const Py_ssize_t keywords = kwnames ? tuple_size(kwnames) : 0;
    if (static_cast<Py_ssize_t>(positional) + keywords != tuple_size(names)) return false;
    for (Py_ssize_t i = 0; i < keywords; i++)
        if (tuple_item(kwnames, i) != tuple_item(names, static_cast<Py_ssize_t>(positional) + i)) return false;
    return true;
}

/// The definition behind one of our function objects, or nullptr for any other object.
inline const FunctionDef* definition_of(PyObject* o) noexcept {
    return Py_IS_TYPE(o, context().function_type) ? reinterpret_cast<detail::FunctionHead*>(o)->def : nullptr;
}

/// The globals of one of our function objects (borrowed), or null once the collector cleared it.
inline PyObject* globals_of(PyObject* function) noexcept { return reinterpret_cast<detail::FunctionHead*>(function)->globals; }

/// How many parameters one of our function objects declares (self included).
inline size_t parameter_count(PyObject* function) noexcept { return definition_of(function)->params.size(); }

/// The builtins a function made now in `globals` takes: its `__builtins__` (a module's dict), else the frame's.
Ref builtins_for(PyObject* globals);

/// Looks a name up in `globals`, then in `builtins`, raising NameError like the interpreter.
Ref global(PyObject* globals, PyObject* builtins, PyObject* name);

/// The same with the builtins of `globals` (builtins_for): for code run at module level.
Ref global(PyObject* globals, PyObject* name);

}  // namespace glue

// The calls our own code makes of our functions are the commonest of all: inline where they are made.
#include "stack.hpp"
#if PLENX_FAST_LAYER
#include "cpython/access.hpp"  // enter_frame(): the Python frame counter is charged too
#else
namespace glue {
/// A call counts against the recursion limit: a token for leave_frame(), or null with
/// RecursionError set (the fast layer's gives the thread's state).
PyThreadState* enter_frame() noexcept;
void leave_frame(PyThreadState* token) noexcept;
}  // namespace glue
#endif

namespace glue {

namespace detail {
/// Raises the SystemError of a call of one of our functions that the collector has cleared.
[[noreturn, gnu::cold]] void raise_cleared_call();
}  // namespace detail

/// Runs one of our functions on arguments bound in declaration order, from our own code: no call
/// machinery, but counted as a Python frame. The caller keeps `function` alive for the call.
inline Ref invoke_from_own_code(PyObject* function, PyObject* const* args) {
    const auto* f = reinterpret_cast<detail::FunctionHead*>(function);
    if (f->globals == nullptr) detail::raise_cleared_call();
    PyThreadState* thread = stack_exhausted() ? nullptr : enter_frame();
    if (thread == nullptr) raise();
    struct Leave {
        PyThreadState* thread;
        ~Leave() { leave_frame(thread); }
    } leave{thread};
    return f->def->impl(Args(function, f->globals, f->builtins, args));
}

/// The same from inside an entry (Entered) of `entered` that lasts the call: where that is the
/// function's own context, the call runs inside it.
inline Ref invoke_in_context(PyObject* function, PyObject* const* args, const Context* entered) {
    if (reinterpret_cast<detail::FunctionHead*>(function)->context == entered) return invoke_from_own_code(function, args);
    return invoke_in_own_context(function, args);
}

}  // namespace glue
