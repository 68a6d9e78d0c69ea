// glue/src/slots.cpp: the call and comparison slots of our classes.
//
// Each does what the interpreter's own slot does, with our own functions run directly.
#include <algorithm>

#include "plenx_glue/fast.hpp"
#include "plenx_glue/stack.hpp"

namespace glue {

namespace {

Name init_name{"__init__"};

/// The context of the module that made our class (install_slots): the class holds that module,
/// which holds its context. Null where the class has none.
Context* module_context(PyTypeObject* type) noexcept {
    PyObject* module = type_module(type);
    // Only install_slots sets it, to one of our modules (a module object made by its definition).
    auto** state = module ? static_cast<Context**>(module_state(module)) : nullptr;
    return state ? *state : nullptr;
}

/// A slot's call in the context of the module that made our class, else in the interpreter's,
/// held for the call.
class SlotCall {
public:
    explicit SlotCall(PyTypeObject* type) noexcept {
        context_ = module_context(type);  // the class keeps it
        if (context_ == nullptr && (context_ = interpreter_context()) != nullptr) {
            held_ = true;
            hold(context_);
        }
        if (context_ == nullptr) return;
        back_ = detail::remembered(detail::running.current, context_);
        detail::enter(context_);
    }
    ~SlotCall() {
        if (context_ == nullptr) return;
        detail::leave(back_);
        if (held_) release(context_);  // after leaving it: the last hold frees it
    }
    SlotCall(const SlotCall&) = delete;
    SlotCall& operator=(const SlotCall&) = delete;
    /// False, with an error set, where no context could be had.
    explicit operator bool() const noexcept { return context_ != nullptr; }

private:
    Context* back_ = nullptr;
    Context* context_ = nullptr;
    bool held_ = false;
};

/// A vectorcall's arguments as the tuple and dict that tp_call and tp_init take.
struct TupleAndDict {
    Ref positional, keywords;
};

TupleAndDict tuple_and_dict(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TupleAndDict made{check(PyTuple_New(nargs)), Ref()};
    for (Py_ssize_t i = 0; i < nargs; i++) PyTuple_SET_ITEM(made.positional.get(), i, Py_NewRef(args[i]));
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        made.keywords = check(PyDict_New());
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); i++)
            check_status(PyDict_SetItem(made.keywords, PyTuple_GET_ITEM(kwnames, i), args[nargs + i]));
    }
    return made;
}

/// `callable(...)` through its type's tp_call, counted as _PyObject_MakeTpCall counts it.
PyObject* call_through_slot(PyObject* callable, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            TupleAndDict call = tuple_and_dict(args, nargs, kwnames);
            if (Py_EnterRecursiveCall(" while calling a Python object")) raise();
            PyObject* result = Py_TYPE(callable)->tp_call(callable, call.positional, call.keywords);
            Py_LeaveRecursiveCall();
            if (result == nullptr && !PyErr_Occurred())
                raise(PyExc_SystemError, "%R returned NULL without setting an exception", callable);
            return check(result).release();
        },
        static_cast<PyObject*>(nullptr));
}

/// __init__ through the class's own slot, as type_call runs it.
PyObject* init_through_slot(PyTypeObject* type, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            TupleAndDict call = tuple_and_dict(args, nargs, kwnames);
            check_status(type->tp_init(self, call.positional, call.keywords));
            return Py_NewRef(Py_None);  // a new reference, as the caller takes over
        },
        static_cast<PyObject*>(nullptr));
}

/// The new instance, taken from `self` once its __init__ returned None; TypeError for any other
/// result, as type_call says (`self` is then let go by the caller, where it would have been).
PyObject* initialised(Ref& self, const Ref& result) noexcept {
    if (!result) return nullptr;
    if (result.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'", Py_TYPE(result.get())->tp_name);
        return nullptr;
    }
    return self.release();
}

/// Our __init__ `init` (its definition `ours`) on `stack`, self in front of the arguments: run
/// by `direct` where every parameter is given in order, so nothing is bound (told what this
/// construction was handed), else through the generic call.
template <class Direct>
[[gnu::always_inline]] inline Ref run_our_init(PyObject* self, PyObject* init, const FunctionDef* ours, PyObject** stack,
                                               Py_ssize_t nargs, PyObject* kwnames, bool in_order, const void* told,
                                               const FunctionDef* told_init, Direct direct) noexcept {
    if (in_order) {
        const fast::HandOver over(self, *ours, ours == told_init ? told : nullptr);
        return Ref::steal(guarded([&] { return direct().release(); }, static_cast<PyObject*>(nullptr)));
    }
    return Ref::steal(PyObject_Vectorcall(init, stack, static_cast<size_t>(nargs) + 1, kwnames));
}

/// The rest of construct() for a class whose module is unknown: __init__ found in the
/// interpreter's context (held meanwhile), then run in its own. Takes over `made`.
[[gnu::noinline]] PyObject* init_in_interpreter_context(PyTypeObject* type, PyObject* made, PyObject* const* args,
                                                        Py_ssize_t nargs, PyObject* kwnames, const void* told,
                                                        const FunctionDef* told_init) noexcept {
    Ref self = Ref::steal(made);
    const Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    PyObject* init;
    const FunctionDef* ours;
    {  // Only finding __init__ reads what the context keeps; the call then enters its own.
        SlotCall entered(type);
        if (!entered) return nullptr;
        init = class_attribute(type, init_name);
        ours = init != nullptr ? definition_of(init) : nullptr;
    }
    Ref result;
    if (ours) {
        Ref keep_init = own(init);  // the class may drop it while the body runs
        PyObject* stack[max_params];
        stack[0] = self;
        std::copy(args, args + total, stack + 1);
        result = run_our_init(self, init, ours, stack, nargs, kwnames, binds_in_order(init, static_cast<size_t>(nargs) + 1, kwnames),
                              told, told_init, [&] { return invoke_in_own_context(init, stack); });
    } else {
        if (PyErr_Occurred()) return nullptr;
        result = Ref::steal(init_through_slot(type, self, args, nargs, kwnames));
    }
    return initialised(self, result);
}

}  // namespace

/// type.__call__ for our classes, without an argument tuple: object.__new__, then __init__, in
/// type_call's order (so __init__ is looked up after the instance exists). Anything unusual (a
/// replaced __new__, object's own __init__, a metaclass, abstract methods) takes the
/// interpreter's own path.
PyObject* detail::construct_slot(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    auto* type = reinterpret_cast<PyTypeObject*>(callable);
    // A construction armed for this call is taken before anything can run (fast::Construction).
    const void* told = nullptr;
    const FunctionDef* told_init = nullptr;
    if (PyTypeObject* armed = detail::handed.armed) {
        detail::handed.armed = nullptr;
        if (armed == type) told = detail::handed.data, told_init = detail::handed.next;
    }
    if (stack_exhausted()) return nullptr;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    if (!Py_IS_TYPE(callable, &PyType_Type) || type->tp_new != PyBaseObject_Type.tp_new ||
        type->tp_init == PyBaseObject_Type.tp_init || PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT) ||
        total >= max_params)
        return call_through_slot(callable, args, nargs, kwnames);
    // Calling a class counts against the recursion limit as _PyObject_MakeTpCall counts it.
    PyThreadState* thread = enter_call(" while calling a Python object");
    if (thread == nullptr) return nullptr;
    struct Leave {
        PyThreadState* thread;
        ~Leave() { leave_call(thread); }
    } leave{thread};
    // object.__new__ itself, with no arguments: it also lays out the instance's attribute storage.
    // The empty tuple is the interpreter's own, which the class's context keeps.
    Context* known = module_context(type);
    Ref made_args = known ? Ref() : Ref::steal(PyTuple_New(0));
    PyObject* no_args = known ? known->empty_tuple : made_args.get();
    Ref self = no_args ? Ref::steal(PyBaseObject_Type.tp_new(type, no_args, nullptr)) : Ref();
    if (!self) return nullptr;
    if (known == nullptr) return init_in_interpreter_context(type, self.release(), args, nargs, kwnames, told, told_init);
    // The call is in the context of the class's module from finding __init__ to its return; our
    // __init__ of that context runs inside this entry (the class keeps the context, its __init__ too).
    Entered entered(known);
    // The memory of the class's __init__ is looked for where it is: the classes constructed in
    // turn (an interval, then its values) would otherwise move each other's out of the first place.
    const unsigned int version = version_tag(type);
    const SlotMemo* memos = init_name.state().slots;
    const SlotMemo* memo = nullptr;
    constexpr size_t kept = std::size(NameState{}.slots);
    for (size_t i = 0; i < kept && memo == nullptr; i++)
        if (version != 0 && detail::memo_holds(memos[i], version)) memo = &memos[i];
    PyObject* init = memo ? memo->class_attribute : class_attribute(type, init_name);
    const FunctionDef* ours = init != nullptr ? definition_of(init) : nullptr;
    Ref result;
    if (ours) {
        Ref keep_init = own(init);  // the class may drop it while the body runs
        // self in front of the arguments: in the place before them, which the caller lends for
        // the call where it says so (as a bound method's call uses it), else in a copy.
        PyObject* copy[max_params];
        PyObject** stack = copy;
        struct Lent {
            PyObject** place = nullptr;
            PyObject* held = nullptr;
            ~Lent() {
                if (place) *place = held;
            }
        } lent;
        if (nargsf & PY_VECTORCALL_ARGUMENTS_OFFSET) {
            stack = const_cast<PyObject**>(args) - 1;
            lent.place = stack;
            lent.held = stack[0];
        } else {
            for (Py_ssize_t i = 0; i < total; i++) copy[i + 1] = args[i];
        }
        stack[0] = self;
        // Every parameter given, in order: nothing to bind, so the body runs at once.
        const bool in_order = kwnames == nullptr ? ours->params.size() == static_cast<size_t>(nargs) + 1
                                                 : binds_in_order(init, static_cast<size_t>(nargs) + 1, kwnames);
        result = run_our_init(self, init, ours, stack, nargs, kwnames, in_order, told, told_init,
                              [&] { return invoke_in_context(init, stack, known); });
    } else {
        if (PyErr_Occurred()) return nullptr;
        result = Ref::steal(init_through_slot(type, self, args, nargs, kwnames));
    }
    return initialised(self, result);
}

namespace {

// The comparison methods, by the operator's number (Py_LT ... Py_GE).
Name compare_names[] = {Name{"__lt__"}, Name{"__le__"}, Name{"__eq__"}, Name{"__ne__"}, Name{"__gt__"}, Name{"__ge__"}};

/// Makes the slot's memory of `op` on instances of `type`, whose method `name` is `method`, our
/// function of `def` (with a PeekPair): where memo_of found the method, and the places of the keys
/// the PeekPair reads. Left as it is where the memory already holds, or where something is not
/// found.
void remember_pair(PyTypeObject* type, int op, const Name& name, PyObject* method, const FunctionDef* def) noexcept {
    PairMemo* memos = context().pair_memos;
    if (!shortcuts() || detail::still_holds(memos[0], type, op)) return;
    if (detail::still_holds(memos[1], type, op)) {
        std::swap(memos[0], memos[1]);  // two classes compared in turn
        return;
    }
    // A method the collector has cleared raises when called (the memory is forgotten when one is).
    const SlotMemo* found = globals_of(method) != nullptr ? memo_of(type, name) : nullptr;
    if (found == nullptr || found->class_attribute != method || found->holder == nullptr) return;
    PairMemo fresh{found->version, op, found->holder, found->holder_version, def->peek_pair->compare};
    // Finding the places runs nothing, so the class is still as the method's memory found it.
    if (!fast::find_key_places(type, def->peek_pair->keys, fresh.places) || fresh.places.version != fresh.version)
        return;
    memos[1] = memos[0];
    memos[0] = fresh;
}

}  // namespace

PyObject* detail::compare_through_method(PyObject* self, PyObject* other, int op) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    SlotCall entered(type);
    if (!entered) return nullptr;
    const Name& name = compare_names[op];
    PyObject* method = class_attribute(type, name);
    if (method == nullptr) Py_RETURN_NOTIMPLEMENTED;
    Ref keep_method = own(method);
    PyObject* args[] = {self, other};
    // No recursion guard, as in the interpreter's slot: ours reach further comparisons only through guarded calls.
    if (const FunctionDef* def = definition_of(method); def && def->params.size() == 2) {
        // The next comparison of two instances of this class may be answered in place (richcompare).
        if (def->peek_pair) remember_pair(type, op, name, method, def);
        return guarded([&] { return invoke_from_own_code(method, args).release(); }, static_cast<PyObject*>(nullptr));
    }
    if (PyType_HasFeature(Py_TYPE(method), Py_TPFLAGS_METHOD_DESCRIPTOR)) return PyObject_Vectorcall(method, args, 2, nullptr);
    Ref bound = keep_method;
    if (descrgetfunc get = Py_TYPE(method)->tp_descr_get) {
        bound = Ref::steal(get(method, self, reinterpret_cast<PyObject*>(type)));
        // The interpreter's slot treats a method that cannot be bound as no method at all.
        if (!bound) {
            PyErr_Clear();
            Py_RETURN_NOTIMPLEMENTED;
        }
    }
    return PyObject_Vectorcall(bound, &other, 1, nullptr);
}

namespace {

/// richcompare once the C stack is known to have room.
inline PyObject* compare_with_room(PyObject* self, PyObject* other, int op) noexcept {
    if (Context* c = module_context(Py_TYPE(self)))
        if (auto compare = c->pair_memos[0].compare) return compare(self, other, op, c);
    return detail::compare_through_method(self, other, op);
}

/// richcompare near the end of the C stack (or at a thread's first call): stack_exhausted() decides.
[[gnu::noinline]] PyObject* compare_near_floor(PyObject* self, PyObject* other, int op) noexcept {
    if (stack_exhausted()) return nullptr;
    return compare_with_room(self, other, op);
}

/// tp_richcompare for our classes: the interpreter's slot, with our own functions run directly.
/// While the slot's latest memory is of a comparison that may be answered in place, that
/// comparison's own work decides (fast::compare_in_place).
PyObject* richcompare(PyObject* self, PyObject* other, int op) noexcept {
    // stack_exhausted(), with its rare case out of line: the common one needs no register kept.
    if (detail::stack_position() < detail::stack_floor) return compare_near_floor(self, other, op);
    return compare_with_room(self, other, op);
}

}  // namespace

fast::Construction::Construction(PyObject* cls, const FunctionDef& init, const void* data) noexcept
    : saved_(detail::handed) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    // Only a call that goes straight to our slot can be told (a metaclass's or a replaced
    // __new__ would run first).
    const bool ours = data != nullptr && shortcuts() && Py_IS_TYPE(cls, &PyType_Type) && type->tp_vectorcall == detail::construct_slot;
    detail::handed = {ours ? type : nullptr, &init, nullptr, data};
}

void fast::install_slots(PyTypeObject* type, PyObject* globals) noexcept {
    // The slots find their interpreter's context from the module the class belongs to.
    if (type_module(type) == nullptr)
        if (PyObject* module = context().module_loading(globals)) type_module(type) = Py_NewRef(module);
    // Only this class: subclasses made by host code do not inherit it and take the usual path.
    type->tp_vectorcall = detail::construct_slot;
    // Only over type's own slot: assigning a comparison method to the class later puts that back.
    if (type->tp_richcompare != PyBaseObject_Type.tp_richcompare) type->tp_richcompare = richcompare;
}

}  // namespace glue
