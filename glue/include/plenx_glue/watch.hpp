// plenx_glue/watch.hpp: vouching for a Python function with no more than the Limited API shows.
//
// The basic layer's proof that a function still does what it did when it was vouched for, and
// that no tracer would see a native stand-in take its place: an audit hook of our own, the
// identities of what its code reads, and the work due at its first instruction run where it would run.
#pragma once

#include <initializer_list>
#include <utility>
#include <vector>

#include "ref.hpp"

namespace glue::watch {

/// What this interpreter's audit hook has seen (owned by the hook, which lives as long as the
/// interpreter; the WatchedFunctions and the context hold it too).
struct HookState {
    bool ran = false;         // the hook was called at least once: it is installed
    bool monitoring = false;  // a sys.monitoring callback was registered (or a tool was in use at load)
    static constexpr int most = 16;
    PyObject* watched[most] = {};  // borrowed: the WatchedFunction of each slot holds it
    bool changed[most] = {};       // its __code__, __defaults__ or __kwdefaults__ was assigned or deleted
};

/// Adds this interpreter's audit hook through the genuine sys.addaudithook, once (that raises the
/// `sys.addaudithook` event, which an earlier hook may refuse). Needs context(); never raises.
/// Whether it was added (WatchedFunction::take then checks that it runs).
bool install() noexcept;

/// The hook's state in the running call's interpreter, or null where it was not added.
HookState* state() noexcept;
/// The object that owns that state (borrowed), for a holder to keep it alive.
PyObject* owner() noexcept;

/// Whether a native stand-in must call the original now: the hook is not running, a monitoring
/// callback was registered, or this thread has a trace or profile function (asked of the
/// genuine sys.gettrace and sys.getprofile whenever one was set or cleared anywhere since this
/// thread last asked). Otherwise it runs the work that would run at the original's first
/// instruction (a scheduled collection, signal handlers) and answers false; an exception raised
/// there propagates.
bool observed();

}  // namespace glue::watch

namespace glue {

/// A Python function as it was when it was vouched for, checked with the Limited API alone: the
/// same object, none of its __code__, __defaults__ and __kwdefaults__ assigned since (the audit
/// hook says), and each global its code reads on the path stood in for (and each attribute
/// named of a module it reads) still the same object, read from the dicts by identity at every
/// check (PyDict_GetItemWithError with names interned: a key of the host's that hashes alike is
/// asked, as LOAD_GLOBAL would ask it).
class WatchedFunction {
public:
    WatchedFunction() = default;
    WatchedFunction(const WatchedFunction&) = delete;
    WatchedFunction& operator=(const WatchedFunction&) = delete;
    ~WatchedFunction();

    /// Takes it, for a plain function without a closure. `reads` are the globals its code reads
    /// on the path the native work stands in for (those it reads at all are checked, in its
    /// globals, else its builtins, as LOAD_GLOBAL finds them); `attributes` the (global,
    /// attribute) reads of modules there. Reads the function's attributes once (an
    /// `object.__getattr__` event each). False where it cannot (the hook not running, no slot).
    bool take(PyObject* function, std::initializer_list<const char*> reads,
              std::initializer_list<std::pair<const char*, const char*>> attributes = {});
    /// Whether `function` is the one taken and no attribute of it was assigned since.
    bool holds(PyObject* function) const noexcept {
        return function == function_.get() && function != nullptr && !state_->changed[slot_] && !state_->monitoring;
    }
    /// holds(), and every read of its code still gives what it gave.
    bool unchanged(PyObject* function) const noexcept { return holds(function) && reads_unchanged(); }
    /// Whether every read of its code still gives what it gave (holds() checked before).
    bool reads_unchanged() const noexcept;

    /// What it held when taken (borrowed), or null.
    PyObject* function() const noexcept { return function_; }
    PyObject* code() const noexcept { return code_; }
    PyObject* defaults() const noexcept { return defaults_; }
    PyObject* kwdefaults() const noexcept { return kwdefaults_; }
    PyObject* globals() const noexcept { return globals_; }

private:
    struct Read {
        Ref name;        // interned
        Ref global;      // what the globals gave, or null: absent
        Ref builtin;     // where absent there, what the builtins gave (null: absent)
    };
    struct AttributeRead {
        Ref module;      // the global's value, an exact module
        PyObject* dict;  // its dict (the module holds it)
        Ref name;
        Ref value;
    };
    Ref function_, code_, defaults_, kwdefaults_, globals_, builtins_;
    std::vector<Read> reads_;
    std::vector<AttributeRead> attributes_;
    Ref hook_;  // keeps state_ alive
    watch::HookState* state_ = nullptr;
    int slot_ = -1;
};

}  // namespace glue
