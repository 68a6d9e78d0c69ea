// interval_box.cpp: the drift control box's thresholds, read here while its code is as shipped.
//
// eligible_for_insights asks ControlBoxManager().get_control_box() for the box and the box for its
// two thresholds. Where each of these is the shipped method, unchanged, and nothing would see the
// calls, the answer is what the methods read: the manager class's box and the box's attributes.
#include "interval.hpp"

#include "interval_originals.hpp"

namespace interval {

using namespace glue;

#if PLENX_FAST_LAYER

namespace {

Name box_attribute{"_control_box"};
Name percent_attribute{"interval_percent_threshold_for_insights"};
Name count_attribute{"interval_count_threshold_for_insights"};

/// Whether calling `cls` without arguments would only make an instance that nobody can see made
/// or let go: type's own call, object's own __new__ and __init__, no attribute storage, no
/// finaliser, and making it would neither start nor schedule a collection (letting it go takes
/// back its count).
bool unseen_instance(PyObject* cls) noexcept {
    if (!Py_IS_TYPE(cls, &PyType_Type)) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (type->tp_new != PyBaseObject_Type.tp_new || type->tp_init != PyBaseObject_Type.tp_init ||
        type->tp_alloc != PyType_GenericAlloc || type->tp_finalize != nullptr || type->tp_del != nullptr ||
        PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT | Py_TPFLAGS_MANAGED_DICT) || type->tp_dictoffset != 0)
        return false;
    return !(PyType_HasFeature(type, Py_TPFLAGS_HAVE_GC) && fast::collection_due(1));
}

/// `cls.name` where finding it runs nothing: a plain class whose MRO holds a value that is no
/// descriptor (borrowed); else null.
PyObject* plain_class_attribute(PyObject* cls, const Name& name) noexcept {
    if (!Py_IS_TYPE(cls, &PyType_Type)) return nullptr;  // type's own lookup, whose own dict lacks the name
    const SlotMemo* memo = memo_of(reinterpret_cast<PyTypeObject*>(cls), name);
    PyObject* found = memo ? memo->class_attribute : nullptr;
    return found && Py_TYPE(found)->tp_descr_get == nullptr ? found : nullptr;
}

/// The shipped getter `method` of the box, returning its attribute `attribute`.
struct Getter {
    const Name& method;
    const Name& attribute;
    FunctionSnapshot Originals::*seen;
};
const Getter getters[] = {
    {names::get_interval_percent_threshold_for_insights, percent_attribute, &Originals::percent_threshold_seen},
    {names::get_interval_count_threshold_for_insights, count_attribute, &Originals::count_threshold_seen},
};

const Name* const getter_methods[] = {&getters[0].method, &getters[1].method};
const Name* const getter_attributes[] = {&getters[0].attribute, &getters[1].attribute};
static_assert(std::size(getters) == 2 && std::size(getters) <= InstancePlaces::most);

/// Where the native answer stands for a call: it runs nothing, but the call still counts against
/// the recursion limit, past which the call is made (and raises).
bool counted() noexcept {
    if (count_frame()) return true;
    PyErr_Clear();
    return false;
}

/// `method(manager)` where it is the shipped get_control_box, unchanged and unseen (a new
/// reference); else null.
Ref shipped_box(const Args& a, PyObject* method) noexcept {
    const Originals& o = seen.get();
    if (method == nullptr || !o.get_control_box_seen.unchanged(method) || fast::observed(a, method)) return Ref();
    // `return ControlBoxManager._control_box`: the global names what it named when the method was
    // vouched for, since the method is unchanged.
    PyObject* box = o.manager_global ? plain_class_attribute(o.manager_global, box_attribute) : nullptr;
    return box && counted() ? own(box) : Ref();
}

/// The dict the memory of `name` on `type` found its class attribute in; null where none holds.
PyObject* memo_holder(PyObject* type, const Name& name) noexcept {
    const SlotMemo* memo = memo_of(reinterpret_cast<PyTypeObject*>(type), name);
    return memo ? memo->holder : nullptr;
}

/// Starts the route of a manager class not made and its method found shipped, answered by `box`;
/// shipped_thresholds completes it when the box's getters are found shipped too, with nothing
/// run in between.
void begin_route(PyObject* manager_class, PyObject* method, PyObject* box) noexcept {
    Originals::ThresholdsRoute& r = seen.get().thresholds_route;
    r.note.forget();
    r.manager_tag = 0;
    r.manager_class = manager_class;
    r.method = method;
    r.box = box;
}

/// Completes the route begun for `box`, where the box's getters were just found shipped.
void complete_route(PyObject* box) noexcept {
    Originals& o = seen.get();
    Originals::ThresholdsRoute& r = o.thresholds_route;
    if (r.box != box || r.method == nullptr) return;
    PyObject* method_holder = memo_holder(r.manager_class, names::get_control_box);
    PyObject* box_holder = memo_holder(o.manager_global, box_attribute);
    const unsigned int manager_tag = version_tag(reinterpret_cast<PyTypeObject*>(r.manager_class));
    if (method_holder == nullptr || box_holder == nullptr || manager_tag == 0) return;
    r.note.note({&o.get_control_box_seen, &o.percent_threshold_seen, &o.count_threshold_seen},
                {dict_version_at(method_holder), dict_version_at(box_holder)});
    r.box_owner_tag = version_tag(reinterpret_cast<PyTypeObject*>(o.manager_global.get()));
    r.box_type_tag = version_tag(Py_TYPE(box));
    if (r.box_owner_tag != 0 && r.box_type_tag != 0) r.manager_tag = manager_tag;
    r.method = nullptr;  // begun again before it is completed again
}

}  // namespace

bool thresholds_as_last_found(const Args& a, PyObject* manager_class, Ref* percent, Ref* count) noexcept {
    Originals& o = seen.get();
    const Originals::ThresholdsRoute& r = o.thresholds_route;
    // The manager class and the box's owner as they were (their slots, MRO and dicts' keys), every
    // snapshot word and holder dict as it was, and the box's class as it was (asked last: until
    // the note holds, the box may be gone).
    auto* type = reinterpret_cast<PyTypeObject*>(manager_class);
    if (manager_class != r.manager_class || r.manager_tag == 0 || !shortcuts() || !Py_IS_TYPE(manager_class, &PyType_Type) ||
        version_tag(type) != r.manager_tag ||
        version_tag(reinterpret_cast<PyTypeObject*>(o.manager_global.get())) != r.box_owner_tag || !r.note.holds() ||
        version_tag(Py_TYPE(r.box)) != r.box_type_tag)
        return false;
    // What may differ from one call to the next: whether making the manager could start a
    // collection, whether anything watches the calls, the recursion count, the box's attributes.
    if (PyType_HasFeature(type, Py_TPFLAGS_HAVE_GC) && fast::collection_due(1)) return false;
    PyObject* methods[std::size(getters)];
    PyObject* found[std::size(getters)];
    if (!o.box_places.find(r.box, getter_methods, getter_attributes, methods, found)) return false;
    for (size_t i = 0; i < std::size(getters); i++)
        if (methods[i] != (o.*getters[i].seen).function()) return false;
    if (fast::observed(a, o.get_control_box_seen.function(), methods[0], methods[1]) || !counted()) return false;
    *percent = own(found[0]);
    *count = own(found[1]);
    return true;
}

Ref control_box(const Args& a, PyObject* manager_class) {
    seen.get().thresholds_route.method = nullptr;  // a route is only begun by this call's own answer
    Ref manager;
    if (shortcuts()) {
        // A manager nobody could see made is not made: its class's method is every instance's.
        if (unseen_instance(manager_class)) {
            PyObject* method = storeless_method(reinterpret_cast<PyTypeObject*>(manager_class), names::get_control_box);
            if (Ref box = shipped_box(a, method)) {
                begin_route(manager_class, method, box);
                return box;
            }
        }
        manager = call(manager_class);
        if (Ref box = shipped_box(a, plain_method(manager, names::get_control_box))) return box;
    } else {
        manager = call(manager_class);
    }
    // The manager is let go as soon as it has answered, as the expression's temporary is.
    return fast::call_method(manager, names::get_control_box);
}

bool shipped_thresholds(const Args& a, PyObject* box, Ref* percent, Ref* count) noexcept {
    Originals& o = seen.get();
    if (!shortcuts()) return false;
    // Each getter as the box finds it, and the plain attribute it returns (`return self.<attribute>`),
    // read in place.
    PyObject* methods[std::size(getters)];
    PyObject* found[std::size(getters)];
    if (!o.box_places.find_and_remember(box, getter_methods, getter_attributes, methods, found)) return false;
    for (size_t i = 0; i < std::size(getters); i++)
        if (!(o.*getters[i].seen).unchanged(methods[i])) return false;
    if (fast::observed(a, methods[0], methods[1]) || !counted()) return false;
    *percent = own(found[0]);
    *count = own(found[1]);
    complete_route(box);
    return true;
}

void remember_control_box(PyObject* manager_class) noexcept {
    Originals& o = seen.get();
    if (o.get_control_box_seen.function() != nullptr || !PyType_Check(manager_class)) return;
    trust::vouch([&] {
        Ref method = trust::entry(type_dict(reinterpret_cast<PyTypeObject*>(manager_class)), "get_control_box");
        if (!method || !trust::same_code_as(method, originals::control_box, "ControlBoxManager.get_control_box") ||
            !trust::reads_genuine_names(method, {{"ControlBoxManager", nullptr}, {"_control_box", nullptr}}))
            return false;
        // The box class the manager module defines, whose getters are vouched for the same way.
        Ref box_class = trust::entry(PyFunction_GET_GLOBALS(method.get()), "ControlBox");
        if (!box_class || !PyType_Check(box_class)) return false;
        FunctionSnapshot taken[std::size(getters) + 1];
        if (!taken[0].take(method)) return false;
        // What its global names now, read at once: the snapshot holds while the name gives it.
        Ref manager_global = trust::entry(PyFunction_GET_GLOBALS(method.get()), "ControlBoxManager");
        for (size_t i = 0; i < std::size(getters); i++) {
            const char* name = PyUnicode_AsUTF8(getters[i].method);
            const char* attribute = PyUnicode_AsUTF8(getters[i].attribute);
            if (name == nullptr || attribute == nullptr) return false;
            Ref getter = trust::entry(type_dict(reinterpret_cast<PyTypeObject*>(box_class.get())), name);
            const std::string qualname = std::string("ControlBox.") + name;
            if (!getter || !trust::same_code_as(getter, originals::control_box, qualname.c_str()) ||
                !trust::reads_genuine_names(getter, {{attribute, nullptr}}) || !taken[i + 1].take(getter))
                return false;
        }
        // Kept all at once, or not at all.
        o.manager_global = std::move(manager_global);
        o.get_control_box_seen = std::move(taken[0]);
        for (size_t i = 0; i < std::size(getters); i++) o.*getters[i].seen = std::move(taken[i + 1]);
        return true;
    });
}

#else
// The stable-ABI build calls the control box's methods.
Ref control_box(const Args&, PyObject* manager_class) {
    Ref manager = call(manager_class);
    return fast::call_method(manager, names::get_control_box);
}
bool shipped_thresholds(const Args&, PyObject*, Ref*, Ref*) noexcept { return false; }
bool thresholds_as_last_found(const Args&, PyObject*, Ref*, Ref*) noexcept { return false; }
void remember_control_box(PyObject*) noexcept {}
#endif

}  // namespace interval
