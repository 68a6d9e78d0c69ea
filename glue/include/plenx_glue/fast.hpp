// plenx_glue/fast.hpp: ops.hpp's operations with the glue's shortcuts, opted into at the call site.
//
// Each gives way to the generic C API wherever the two could differ; none runs while shortcuts() is off.
#pragma once

#include <array>
#include <span>

#include "function.hpp"
#include "ops.hpp"

#if !PLENX_FAST_LAYER
// The stable-ABI build: each name is the basic operation itself.
namespace glue::fast {
using namespace glue;
inline Ref get_property(PyObject* obj, PyObject* name) { return getattr(obj, name); }
inline Ref lookup_property(PyObject* obj, PyObject* name) { return lookup_attr(obj, name); }
inline PyObject* peek_property(PyObject*, PyObject*) noexcept { return nullptr; }
inline bool peek_properties(PyObject*, PyObject*, PyObject*, PyObject**, PyObject**) noexcept { return false; }
inline PyObject* peek_method(PyObject*, PyObject*) noexcept { return nullptr; }
inline bool one_digit_int(PyObject*, long*) noexcept { return false; }
/// Reads nothing in place: every comparison is called.
class KeyReader {
public:
    KeyReader(PyObject*, PyObject*, std::span<const Name* const> keys) noexcept : size_(keys.size()) {}
    size_t size() const noexcept { return size_; }
    bool read(size_t, PyObject**, PyObject**, const FunctionDef**) const noexcept { return false; }

private:
    size_t size_;
};
/// Never used: this build has no comparison slot of its own.
template <PyObject* (*decide)(const KeyReader&) noexcept>
PyObject* compare_in_place(PyObject*, PyObject*, int, Context*) noexcept { return nullptr; }
inline PyObject** instance_slot(PyObject*, PyObject*) noexcept { return nullptr; }
/// Reads nothing in place either.
struct SlotReader {
    explicit SlotReader(const Name&) noexcept {}
    PyObject** operator()(PyObject*) const noexcept { return nullptr; }
};
template <class... A>
Ref call_class(PyObject* cls, A... args) { return call(cls, args...); }
inline void prefetch_attributes(PyObject*) noexcept {}
/// Reads nothing in place.
template <size_t N>
class Places {
public:
    PyObject* peek(PyObject*, size_t, const std::array<const Name*, N>&) noexcept { return nullptr; }
};
/// Stands in for nothing: every original is called.
template <class... F>
constexpr bool observed(const Args&, F...) noexcept { return true; }
/// Hands nothing over: every __init__ runs as any call of it runs.
struct Construction {
    Construction(PyObject*, const FunctionDef&, const void*) noexcept {}
};
struct HandOver {
    HandOver(PyObject*, const FunctionDef&, const void*) noexcept {}
};
inline const void* handed_over(PyObject*, const FunctionDef&) noexcept { return nullptr; }
struct ClassState {
    explicit ClassState(PyObject*) noexcept {}
    bool holds(PyTypeObject*) const noexcept { return false; }
};
}  // namespace glue::fast
#else

#include "attributes.hpp"
#include "cpython/access.hpp"
#include "dicts.hpp"

namespace glue::detail {
/// What this thread's next construction, or next entry of our function `next` for `instance`,
/// is handed (`data` borrowed from the caller, alive while it runs).
struct Handed {
    PyTypeObject* armed = nullptr;  // the class whose next call is told, until that call starts
    const FunctionDef* next = nullptr;
    PyObject* instance = nullptr;
    const void* data = nullptr;
};
[[gnu::tls_model("initial-exec")]] inline constinit thread_local Handed handed{};

/// The call slot of our classes (slots.cpp): type.__call__ without an argument tuple.
PyObject* construct_slot(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept;

/// The comparison slot of our classes past its memory (slots.cpp): the interpreter's slot, with
/// our own functions run directly.
PyObject* compare_through_method(PyObject* self, PyObject* other, int op) noexcept;

/// Whether `memo` still is what the slot would find for `op` on instances of `type`: version tags
/// are never reused (so a match can only be this class as it is now), and the holder's version
/// covers a method replaced but not yet announced (a finaliser run by the old one sees a class
/// whose tag has not changed yet). An empty memory matches no operator.
inline bool still_holds(const PairMemo& memo, PyTypeObject* type, int op) noexcept {
    return memo.op == op && memo.version == version_tag(type) && dict_version(memo.holder) == memo.holder_version;
}
}  // namespace glue::detail

namespace glue::fast {

/// Whether a call of the Python functions `functions` from the function `a` runs would now be
/// seen by a trace or profile function, or by a tool of sys.monitoring (an event set for any
/// tool, or local events on one of their code objects): a native stand-in for them must then
/// call them. True for good where the probe of its interpreter disagreed (the function then keeps
/// no place to read). One read of what the interpreter keeps per call (found through the function
/// running, which belongs to one interpreter), plus one per function.
template <class... F>
inline bool observed(const Args& a, F... functions) noexcept {
    const auto* head = reinterpret_cast<glue::detail::FunctionHead*>(a.function());
    if (head->observation == nullptr) return true;
    // Work due at the eval loop's next check runs at the original's first instruction.
    return work_due(head->breaker) || calls_observed(head->observation) ||
           (code_monitored(PyFunction_GET_CODE(static_cast<PyObject*>(functions))) || ...);
}

/// Checks, once, that what observed() reads is where the running interpreter keeps it.
void probe_observation();

/// Whether making `tracked` more objects the collector tracks could start a collection before
/// they are all made (cpython/access.hpp), so that finalisers would run among them.
inline bool may_collect(int tracked) noexcept { return !context().collector_known || glue::may_collect(tracked); }
/// Whether making `tracked` more objects the collector tracks would start or schedule a
/// collection (cpython/access.hpp): native work that leaves out objects the original makes may
/// do so only where none would.
inline bool collection_due(int tracked) noexcept { return !context().collector_known || glue::collection_due(tracked); }
/// Checks, once, that what may_collect() and collection_due() read is the collector's own state.
void probe_collector();

/// `o.name`; a plain instance attribute is read in place.
inline Ref getattr(PyObject* o, const Name& name) {
    if (PyObject** slot = instance_slot(o, name); slot && *slot) return own(*slot);
    return glue::getattr(o, name.get());
}
/// lookup_attr with a plain instance attribute read in place.
inline Ref lookup_attr(PyObject* o, const Name& name) {
    if (PyObject** slot = instance_slot(o, name); slot && *slot) return own(*slot);
    return glue::lookup_attr(o, name.get());
}
/// `o.name = value`; a plain instance attribute is stored in place.
inline void setattr(PyObject* o, const Name& name, PyObject* value) {
    if (PyObject** slot = instance_slot(o, name); slot && store_in_place(o, slot, value)) return;
    glue::setattr(o, name.get(), value);
}

/// `cls(args...)`: where `cls` is a class with our call slot (install_slots) and type as its
/// metaclass, the slot that call reaches runs directly.
template <class... A>
Ref call_class(PyObject* cls, A... args) {
    PyObject* stack[] = {nullptr, static_cast<PyObject*>(args)...};
    const size_t nargsf = sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET;
    if (Py_IS_TYPE(cls, &PyType_Type) && reinterpret_cast<PyTypeObject*>(cls)->tp_vectorcall == glue::detail::construct_slot)
        return check(glue::detail::construct_slot(cls, stack + 1, nargsf, nullptr));
    return check(PyObject_Vectorcall(cls, stack + 1, nargsf, nullptr));
}

/// `self.name(*stack[1:])`: our function found on the class runs directly, anything else is called.
inline Ref call_method_stack(PyObject* const* stack, size_t positional, const Name& name, PyObject* kwnames) {
    if (PyObject* function = own_method(stack[0], name)) {
        Ref keep = own(function);  // the class may drop it while the body runs
        // Positional arguments alone bind in order where there is one for each parameter.
        if (kwnames == nullptr ? positional == parameter_count(function) : binds_in_order(function, positional, kwnames))
            return invoke_from_own_code(function, stack);
        return check(PyObject_Vectorcall(function, stack, positional, kwnames));
    }
    return check(PyObject_VectorcallMethod(name, stack, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

/// What `self.name()` would return, where that is one of our methods whose result can be found
/// without running anything (borrowed); else null, and the call must be made.
inline PyObject* peek_method(PyObject* self, const Name& name) noexcept {
    PyObject* function = own_method(self, name);
    const FunctionDef* def = function ? definition_of(function) : nullptr;
    if (def == nullptr || def->peek_call == nullptr || def->params.size() != 1 || globals_of(function) == nullptr)
        return nullptr;
    // The call it stands for counts against the recursion limit: past it, the call is made (and raises).
    PyThreadState* thread = enter_frame();
    if (thread == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* found = def->peek_call(function, self);
    leave_frame(thread);
    return found;
}

/// `self.name(args...)`.
template <class... A>
Ref call_method(PyObject* self, const Name& name, A... args) {
    PyObject* stack[] = {self, static_cast<PyObject*>(args)...};
    return call_method_stack(stack, sizeof...(A) + 1, name, nullptr);
}

/// `self.name(args...)` with the last len(kwnames) arguments passed by keyword.
template <class... A>
Ref call_method_kw(PyObject* self, const Name& name, PyObject* kwnames, A... args) {
    PyObject* stack[] = {self, static_cast<PyObject*>(args)...};
    const size_t positional = sizeof...(A) + 1 - static_cast<size_t>(tuple_size(kwnames));
    return call_method_stack(stack, positional, name, kwnames);
}

/// `o[key]`; a small dict holding that very string is read without hashing.
inline Ref subscript(PyObject* o, const Name& key) {
    if (PyObject* found = find_by_identity(o, key)) return own(found);
    return glue::subscript(o, key.get());
}

/// The value of an exact int of one digit, read in place; false for any other. Only while
/// shortcuts are on.
inline bool one_digit_int(PyObject* exact_int, long* value) noexcept { return one_digit_value(exact_int, value); }

/// The value of an exact int when it fits a long; one-digit ints are read in place.
inline bool small_int(PyObject* exact_int, long* value) noexcept {
    return (shortcuts() && one_digit_int(exact_int, value)) || glue::small_int(exact_int, value);
}

/// `a <op> b`; exact floats, or exact ints that fit a long, compare in C (the interpreter runs no code).
inline Ref compare(PyObject* a, PyObject* b, int op) {
    if (!shortcuts()) return glue::compare(a, b, op);
    if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b))
        return boolean(apply_comparison(PyFloat_AS_DOUBLE(a), PyFloat_AS_DOUBLE(b), op));
    if (PyLong_CheckExact(a) && PyLong_CheckExact(b)) {
        long x, y;
        if (small_int(a, &x) && small_int(b, &y)) return boolean(apply_comparison(x, y, op));
    }
    return glue::compare(a, b, op);
}

/// `bool(a == b)`: two types that keep object's own equality compare by identity.
inline bool equals(PyObject* a, PyObject* b) {
    const richcmpfunc identity = PyBaseObject_Type.tp_richcompare;
    if (shortcuts() && Py_TYPE(a)->tp_richcompare == identity && Py_TYPE(b)->tp_richcompare == identity) return a == b;
    return glue::equals(a, b);
}

/// `obj.name`; a property over one of our functions runs the getter's body directly.
Ref get_property(PyObject* obj, const Name& name);
/// get_property that answers null where getattr would raise AttributeError.
Ref lookup_property(PyObject* obj, const Name& name);

/// `obj.name` where finding it runs no code (a plain attribute, a getter's peek), borrowed; else null.
PyObject* peek_property(PyObject* obj, const Name& name) noexcept;
/// peek_property of `a` and of `b`, the class's lookup made once where both are of one class;
/// false where either would run code.
bool peek_properties(PyObject* a, PyObject* b, const Name& name, PyObject** x, PyObject** y) noexcept;

/// The keys one comparison of `a` and `b` reads, in place: for two instances of one class, where
/// each key is kept, found once per class version and list of keys (an array of static storage,
/// told apart by its address); otherwise key by key through peek_properties. Nothing runs; a key
/// that cannot be read so is not read (the comparison must then be called).
class KeyReader {
public:
    KeyReader(PyObject* a, PyObject* b, std::span<const Name* const> keys) noexcept
        : a_(a), b_(b), keys_(keys), size_(keys.size()) {
        PyTypeObject* type = Py_TYPE(a);
        // Inline values exist only for a class with a managed dict, where the probe found them.
        if (Py_TYPE(b) != type || !(type->tp_flags & Py_TPFLAGS_MANAGED_DICT) || !context().inline_values_known ||
            (values_a_ = inline_values(a)) == nullptr || (values_b_ = inline_values(b)) == nullptr)
            return;
        // The last comparison's memory first: a sort compares instances of one class throughout.
        const KeysMemo& last = context().keys_memos[0];
        memo_ = last.site == keys.data() && last.type == type && last.version == version_tag(type) && last.version != 0
                    ? &last : keys_memo(type, keys);
    }
    /// Two instances of the class of `places`, at its version, whose inline values are
    /// `values_a` and `values_b` (the comparison slot's memory found the places).
    KeyReader(const KeysMemo& places, PyObject** values_a, PyObject** values_b) noexcept
        : size_(places.count), memo_(&places), values_a_(values_a), values_b_(values_b) {}

    size_t size() const noexcept { return size_; }

    /// What `a` and `b` keep for key `i` (borrowed): the key's values, or, for a property over one
    /// of our getters (then `*getter`, else null), the plain attribute values whose peek_value
    /// the property answers. False where reading either could run code.
    [[gnu::always_inline]] bool read(size_t i, PyObject** x, PyObject** y, const FunctionDef** getter) const noexcept {
        *getter = nullptr;
        if (memo_ == nullptr) return peek_properties(a_, b_, *keys_[i], x, y);
        const KeysMemo::Key& key = memo_->keys[i];
        // The class's dict changes before its tag does (a finaliser of the old value sees the old
        // tag), and a property can be initialised again in place, with another getter: one the
        // collector has cleared too (a call of it raises).
        if (const auto* def = static_cast<const FunctionDef*>(key.getter)) {
            if (dict_version(key.holder) != key.holder_version) return false;
            PyObject* fget = property_fget(key.property);
            if (fget == nullptr || definition_of(fget) != def || globals_of(fget) == nullptr) return false;
            *getter = def;
        }
        return (*x = inline_value(values_a_, key.index)) != nullptr && (*y = inline_value(values_b_, key.index)) != nullptr;
    }

private:
    /// The memory of `type`'s places of `keys`, found or made; null where they are not all in place.
    static const KeysMemo* keys_memo(PyTypeObject* type, std::span<const Name* const> keys) noexcept;

    PyObject* a_ = nullptr;
    PyObject* b_ = nullptr;
    std::span<const Name* const> keys_;
    size_t size_;
    const KeysMemo* memo_ = nullptr;  // null: key by key
    PyObject** values_a_ = nullptr;
    PyObject** values_b_ = nullptr;
};

/// Where instances of `type` keep each of `keys` (at least one), at the class's current version
/// (KeysMemo); false where one is neither a plain attribute nor a property whose getter's peek
/// reads one.
bool find_key_places(PyTypeObject* type, std::span<const Name* const> keys, KeysMemo& found) noexcept;

/// The comparison slot's work for `self <op> other` while its latest memory (in `c`, the context
/// of self's class) is of a comparison whose PeekPair has this as its `compare`: where the memory
/// covers the two, the comparison's answer `decide` finds from their keys, read in place (a new
/// reference); else, or where `decide` finds none, the method is called. Instantiated where
/// `decide` is defined, so that all of it is one function, which calls nothing on its way to an
/// answer (`decide` calls nothing either).
template <PyObject* (*decide)(const KeyReader&) noexcept>
PyObject* compare_in_place(PyObject* self, PyObject* other, int op, Context* c) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    const PairMemo& memo = c->pair_memos[0];
    // A memory is forgotten when shortcuts are switched off, or when the collector clears one of
    // our functions (a call of it raises): Context::forget_comparisons().
    if (glue::detail::still_holds(memo, type, op) && Py_TYPE(other) == type) {
        PyObject** values_self = inline_values(self);
        PyObject** values_other = values_self ? inline_values(other) : nullptr;
        if (values_other != nullptr) {
            PyObject* known;
            {
                EnteredWithin entered(c);  // decide() reads attributes in place and calls nothing
                known = decide(KeyReader(memo.places, values_self, values_other));
            }
            if (known != nullptr) {
                // Nothing ran: the call it stands for still counts against the recursion limit.
                if (!count_frame()) return nullptr;
                return Py_NewRef(known);
            }
        }
    }
    return glue::detail::compare_through_method(self, other, op);
}

/// Where a class, at one version, has peek_property find one of a list of names: the name's
/// place in its instances' inline values, or the property over one of our getters with a peek
/// (`holder` holds it while its version holds).
struct Place {
    Py_ssize_t index = -1;                // of a plain attribute; -1: a property
    PyObject* property = nullptr;         // borrowed
    const FunctionDef* getter = nullptr;  // the property's getter's definition
    PyObject* holder = nullptr;
    uint64_t holder_version = 0;
};

/// The places of each of `names` for instances of `type` as it is now, into `found`; false where
/// one is neither a plain attribute nor a property over one of our getters with a peek.
bool find_places(PyTypeObject* type, std::span<const Name* const> names, Place* found) noexcept;

/// peek_property of each of one list of names (static, in the caller's per-interpreter state),
/// its places found once per class version for the two classes read last rather than name by
/// name: each read checks the object's class and version, and, for a property, what the generic
/// lookup would find again (the holder's version, the getter, not cleared). Anything else is
/// peek_property's to answer.
template <size_t N>
class Places {
public:
    PyObject* peek(PyObject* obj, size_t i, const std::array<const Name*, N>& names) noexcept {
        PyTypeObject* type = Py_TYPE(obj);
        const unsigned int version = version_tag(type);
        const Layout* layout = &kept_[0];
        // A layout made has a version other than 0; an empty one has no class.
        if (layout->version != version || layout->type != type) {
            layout = &kept_[1];
            if (layout->version != version || layout->type != type) layout = remember(type, version, names);
            if (layout == nullptr) return peek_property(obj, *names[i]);
        }
        const Place& place = layout->places[i];
        if (place.getter == nullptr) {
            PyObject** values = inline_values(obj);
            return values ? inline_value(values, place.index) : nullptr;
        }
        if (dict_version(place.holder) != place.holder_version) return peek_property(obj, *names[i]);
        // A property can be initialised again in place, with another getter, or one the collector cleared.
        PyObject* fget = property_fget(place.property);
        if (fget == nullptr || definition_of(fget) != place.getter || globals_of(fget) == nullptr)
            return peek_property(obj, *names[i]);
        return place.getter->peek(obj);
    }

private:
    struct Layout {
        unsigned int version = 0;
        PyTypeObject* type = nullptr;  // compared by identity only
        Place places[N];
    };
    const Layout* remember(PyTypeObject* type, unsigned int version, const std::array<const Name*, N>& names) noexcept {
        Layout fresh;
        if (version == 0 || !shortcuts() || !find_places(type, names, fresh.places) || version_tag(type) != version)
            return nullptr;
        fresh.version = version;
        fresh.type = type;
        kept_[1] = kept_[0];
        kept_[0] = fresh;
        return &kept_[0];
    }

    Layout kept_[2];  // most recent first
};

/// Checks, once, that properties are laid out as get_property expects (else it never shortcuts).
void probe_property_layout();

/// Gives our class `type`, made with the module globals `globals`, our call slot (no argument
/// tuple) and comparison slot, while shortcuts are on.
void install_slots(PyTypeObject* type, PyObject* globals) noexcept;

using glue::instance_slot, glue::prefetch_attributes, glue::SlotReader;

// ---- a construction told which instance it builds ----
// A caller of ours that calls one of our classes may need the new instance's own __init__ chain
// to know that it is building the instance for that caller (a restore, which overwrites what
// __init__ makes). Nothing of that is shared between calls: what is handed over lives on this
// thread only from one of our functions to the next one it enters for that instance, with
// nothing in between that could run code; wherever code of the host's may run, nothing is held.

/// For one call of our class `cls`, made right after this (nothing may run in between): the
/// class's call slot hands `data` (null: nothing) to the new instance's __init__ when that is our
/// `init`, run directly. What this thread was handed before is put back at the end.
class Construction {
public:
    Construction(PyObject* cls, const FunctionDef& init, const void* data) noexcept;
    ~Construction() { glue::detail::handed = saved_; }
    Construction(const Construction&) = delete;
    Construction& operator=(const Construction&) = delete;

private:
    glue::detail::Handed saved_;
};

/// Hands `data` (null: nothing) to the next entry of our function `next` for `self`, which must
/// follow at once (a direct call, nothing in between); taken there or not, it is let go at the
/// end of the scope.
class HandOver {
public:
    HandOver(PyObject* self, const FunctionDef& next, const void* data) noexcept : held_(data != nullptr) {
        if (!held_) return;
        glue::detail::handed.next = &next;
        glue::detail::handed.instance = self;
        glue::detail::handed.data = data;
    }
    ~HandOver() {
        if (held_) glue::detail::handed.instance = nullptr;
    }
    HandOver(const HandOver&) = delete;
    HandOver& operator=(const HandOver&) = delete;

private:
    bool held_;
};

/// A class as it stands: its version tag and the versions of the dicts of its MRO's classes
/// (object's aside, which never changes). It holds while nothing was set in or deleted from any of
/// them since, so every function found in them then is still held by them.
class ClassState {
public:
    explicit ClassState(PyObject* cls) noexcept {
        auto* type = reinterpret_cast<PyTypeObject*>(cls);
        PyObject* mro = PyType_Check(cls) ? type->tp_mro : nullptr;
        if (mro == nullptr || !PyTuple_CheckExact(mro) || PyTuple_GET_SIZE(mro) > static_cast<Py_ssize_t>(most) + 1 ||
            (tag_ = version_tag(type)) == 0)
            return;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); i++) {
            PyObject* base = PyTuple_GET_ITEM(mro, i);
            if (base == reinterpret_cast<PyObject*>(&PyBaseObject_Type)) continue;
            if (!PyType_Check(base) || !PyType_HasFeature(reinterpret_cast<PyTypeObject*>(base), Py_TPFLAGS_HEAPTYPE) ||
                count_ == most)
                return;
            dicts_[count_] = type_dict(reinterpret_cast<PyTypeObject*>(base));
            versions_[count_] = dict_version(dicts_[count_]);
            count_++;
        }
        type_ = type;
    }
    /// Whether `type` is the class, still as it stood.
    bool holds(PyTypeObject* type) const noexcept {
        if (type != type_ || version_tag(type) != tag_) return false;
        for (size_t i = 0; i < count_; i++)
            if (dict_version(dicts_[i]) != versions_[i]) return false;
        return true;
    }

private:
    static constexpr size_t most = 3;
    PyTypeObject* type_ = nullptr;  // null: never holds
    unsigned int tag_ = 0;
    size_t count_ = 0;
    PyObject* dicts_[most] = {};  // borrowed: compared while the class (which holds them) is unchanged
    uint64_t versions_[most] = {};
};

/// What was handed to this entry of our function `def` for `self` (borrowed), taken once: the
/// first thing the function does. Null when nothing was.
inline const void* handed_over(PyObject* self, const FunctionDef& def) noexcept {
    glue::detail::Handed& h = glue::detail::handed;
    if (h.instance != self || h.next != &def || self == nullptr) return nullptr;
    h.instance = nullptr;
    return h.data;
}

/// `super(owner, self).name`, looked up now and called later.
class SuperMethod {
public:
    SuperMethod(PyObject* owner, PyObject* self, const Name& name);
    template <class... A>
    Ref operator()(A... args) const {
        if (!self_) return call(attribute_, args...);
        // One of our functions with exactly these arguments runs as a call from our own code.
        if (definition_of(attribute_) && parameter_count(attribute_) == sizeof...(A) + 1) {
            PyObject* stack[] = {self_, static_cast<PyObject*>(args)...};
            return invoke_from_own_code(attribute_, stack);
        }
        return call(attribute_, self_, args...);
    }

    /// Whether calling it with `arguments` arguments runs our function `def` directly.
    bool runs_directly(const FunctionDef& def, size_t arguments) const noexcept {
        return self_ && definition_of(attribute_) == &def && parameter_count(attribute_) == arguments + 1;
    }

private:
    Ref attribute_;
    PyObject* self_ = nullptr;  // set when the attribute is a function still to be given self
};

}  // namespace glue::fast
#endif

namespace glue::fast {

/// `o.<names[i]> = values[i]` for each in turn.
[[gnu::noinline]] inline void set_each(PyObject* o, const Name* const* names, PyObject* const* values, size_t count) {
    for (size_t i = 0; i < count; i++) setattr(o, *names[i], values[i]);
}

/// `o.<names[0]> = values[0]`, then the next, and so on, made where nothing runs in between
/// (each value already made). Where none of them is set yet and each is a plain attribute kept
/// in o's inline values (empty_in_place), they are stored there with one look at the class;
/// otherwise one by one, as setattr stores them. `names` is an array of static storage.
template <size_t N, class... V>
[[gnu::always_inline]] inline void set_fresh(PyObject* o, const Name* const (&names)[N], V... values) {
    static_assert(N == sizeof...(V));
    PyObject* const given[] = {static_cast<PyObject*>(values)...};
#if PLENX_FAST_LAYER
    static_assert(N <= StoresMemo::most);
    PyObject** inline_ = kept_inline(o);
    if (const StoresMemo* places = inline_ ? empty_places(o, inline_, names) : nullptr) {
        // Storing into an empty place runs nothing and lets nothing go. Where the order of
        // insertion has no room, the generic store decides.
        if (add_all_to_insertion_order<N>(inline_, places->index)) {
            for (size_t i = 0; i < N; i++) inline_[places->index[i]] = Py_NewRef(given[i]);
            return;
        }
    }
#endif
    set_each(o, names, given, N);
}

/// Calls `super(owner, self).name(args...)`.
template <class... A>
Ref call_super(PyObject* owner, PyObject* self, const Name& name, A... args) {
    return SuperMethod(owner, self, name)(args...);
}

}  // namespace glue::fast
