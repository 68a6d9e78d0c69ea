// interval_values.cpp: interval values and accumulation.
//
// IntervalValue, the construction of an Interval, adding measurements and looking them up.
#include "interval.hpp"

namespace interval {

using namespace glue;

namespace {

/// `percentage` as a float, converted the way C converts an object to a double.
Ref converted_percentage(PyObject* percentage) {
    if (PyFloat_CheckExact(percentage)) return own(percentage);
    const double value = PyFloat_AsDouble(percentage);
    if (value == -1.0 && PyErr_Occurred()) raise();
    return floating(value);
}

/// Converts `percentage` first, then insists on an exact int count.
Ref checked_percentage(PyObject* absolute_count, PyObject* percentage) {
    Ref converted = converted_percentage(percentage);
    require_exact(absolute_count, &PyLong_Type, "absolute_count");
    return converted;
}

/// IntervalValue(type, absolute_count, percentage)
constexpr Param value_params[] = {{"self"}, {"type", "DataSetType"}, {"absolute_count", "int"}, {"percentage", "float"}};
/// What it stores, in order.
const Name* const value_stored[] = {&names::type, &names::absolute_count, &names::percentage};
Ref value_init(const Args& a) {
    PyObject *self = a[0], *type = a[1], *absolute_count = a[2], *percentage = a[3];
    Ref converted = checked_percentage(absolute_count, percentage);
    fast::set_fresh(self, value_stored, type, absolute_count, converted.get());
    return none();
}

/// Interval(field)
constexpr Param init_params[] = {{"self"}, {"field", "Union[str, int, float]"}};
/// What it stores from the id on, in order (a restore's id may be given where storing them runs nothing).
const Name* const stored_from_id[] = {&names::id, &names::field, &names::values, &names::absolute_change_percentage_cache,
                                      &names::eligible_for_insights_cache, &names::insights_available};
/// The same in the two steps it stores them in (each list is told apart by its address).
const Name* const id_and_field[] = {&names::id, &names::field};
const Name* const fresh_state[] = {&names::values, &names::absolute_change_percentage_cache,
                                   &names::eligible_for_insights_cache, &names::insights_available};
Ref init(const Args& a) {
    PyObject *self = a[0], *field = a[1];
    const auto* restoration = static_cast<const Restoration*>(fast::handed_over(self, interval_init));
    Ref id = restoration ? restored_id(a, self, *restoration, stored_from_id) : new_id(a);
    fast::set_fresh(self, id_and_field, id.get(), field);
    // The list is made once both are stored: a collection it starts may run finalisers.
    Ref values = check(PyList_New(0));
    fast::set_fresh(self, fresh_state, values.get(), Ref(integer(-1)).get(), Py_None, Py_False);
    return none();
}

/// Appends IntervalValue(DataSetType.<member>, absolute_count, percentage) to `values`.
constexpr Param add_params[] = {{"self"}, {"absolute_count", "int"}, {"percentage", "float"}};
Ref add_value(const Args& a, const Lookup& member) {
    PyObject *self = a[0], *absolute_count = a[1], *percentage = a[2];
    Ref converted = checked_percentage(absolute_count, percentage);
    Ref values = fast::getattr(self, names::values);
    Ref value_class = a.global(names::IntervalValue);
    Ref type = data_set(a, member);
    Ref value = fast::call_class(value_class, type.get(), absolute_count, converted.get());
    append(values, value);
    return none();
}

Ref add_baseline(const Args& a) { return add_value(a, names::BASELINE); }
Ref add_production(const Args& a) { return add_value(a, names::PRODUCTION); }

/// The first value of the data set, or StopIteration (no message) when there is none.
Ref get_value(const Args& a, const Lookup& member) {
    Ref values = fast::getattr(a[0], names::values);
    Ref type = data_set(a, member);
    Ref found = find_value(values, type);
    if (!found) {
        PyErr_SetNone(PyExc_StopIteration);
        raise();
    }
    return found;
}

Ref get_baseline(const Args& a) { return get_value(a, names::BASELINE); }
Ref get_production(const Args& a) { return get_value(a, names::PRODUCTION); }

}  // namespace

#if PLENX_FAST_LAYER
bool remember_members(PyObject* globals, PyObject** baseline, PyObject** production) noexcept {
    PyObject* type = names::DataSetType.peek_global(globals);
    PyObject* found_baseline = type ? names::BASELINE.peek_attribute(type) : nullptr;
    PyObject* found_production = found_baseline ? names::PRODUCTION.peek_attribute(type) : nullptr;
    if (found_production == nullptr) return false;
    // The three memories were just found holding: what they rest on is remembered as one.
    const LookupMemo& by_global = names::DataSetType.state().lookup;
    const LookupMemo& by_baseline = names::BASELINE.state().lookup;
    const LookupMemo& by_production = names::PRODUCTION.state().lookup;
    MembersMemo& m = members_memo.get();
    m = MembersMemo{globals, by_global.version, type, by_baseline.tag, by_baseline.meta_tag,
                    {by_baseline.dict, by_production.dict}, {by_baseline.version, by_production.version},
                    {found_baseline, found_production}};
    if (!shortcuts() || by_production.tag != m.tag || by_production.meta_tag != m.meta_tag) m.tag = 0;
    *baseline = found_baseline;
    *production = found_production;
    return true;
}
#endif

namespace {

#if PLENX_FAST_LAYER  // the stable-ABI build cannot tell a read that runs nothing: it calls
/// get_value's result where every step of it runs nothing: `values` an exact list read in place,
/// DataSetType and its member as last looked up, each entry's `type` read in place and compared
/// by identity (object's own equality on both sides). Null where any step would be another.
PyObject* peek_value(PyObject* function, PyObject* self, const Lookup& member) noexcept {
    PyObject** slot = fast::instance_slot(self, names::values);
    PyObject* values = slot ? *slot : nullptr;
    if (values == nullptr || !PyList_CheckExact(values) || !shortcuts()) return nullptr;
    PyObject* members[2];
    if (!peek_members(globals_of(function), &members[0], &members[1])) return nullptr;
    PyObject* wanted = members[&member == &names::BASELINE ? 0 : 1];
    const richcmpfunc identity = PyBaseObject_Type.tp_richcompare;
    if (Py_TYPE(wanted)->tp_richcompare != identity) return nullptr;
    fast::SlotReader type_of(names::type);
    for (Py_ssize_t i = 0; i < list_size(values); i++) {
        PyObject** type_slot = type_of(list_item(values, i));
        PyObject* type = type_slot ? *type_slot : nullptr;
        if (type == nullptr || Py_TYPE(type)->tp_richcompare != identity) return nullptr;
        if (type == wanted) return list_item(values, i);
    }
    return nullptr;  // the call raises StopIteration
}

PyObject* peek_baseline(PyObject* function, PyObject* self) noexcept { return peek_value(function, self, names::BASELINE); }
PyObject* peek_production(PyObject* function, PyObject* self) noexcept { return peek_value(function, self, names::PRODUCTION); }
#else
constexpr PeekCall peek_baseline = nullptr, peek_production = nullptr;
#endif

}  // namespace

Ref data_set(const Args& a, const Lookup& member) {
    // Both as last looked up, where that still holds: nothing is held meanwhile.
    if (PyObject* data_set_type = names::DataSetType.peek_global(globals_of(a.function())))
        if (PyObject* found = member.peek_attribute(data_set_type)) return own(found);
    Ref data_set_type = a.global(names::DataSetType);
    return member.attribute(data_set_type);
}

namespace {
/// Whether `value.type == member`, where the type is kept in place and both compare by identity
/// (object's own equality), so nothing runs and nothing need be held: 1 or 0; -1 where the
/// comparison must be made.
int kept_type_is(PyObject* value, PyObject* member) noexcept {
#if PLENX_FAST_LAYER
    const richcmpfunc identity = PyBaseObject_Type.tp_richcompare;
    PyObject** slot = shortcuts() && Py_TYPE(member)->tp_richcompare == identity ? fast::instance_slot(value, names::type) : nullptr;
    if (slot && *slot && Py_TYPE(*slot)->tp_richcompare == identity) return *slot == member;
#else
    (void)value, (void)member;
#endif
    return -1;
}
}  // namespace

Ref find_value(PyObject* values, PyObject* member) {
    if (PyList_CheckExact(values)) {
        // The list may change while an entry's `type` is compared; re-check the size each time.
        for (Py_ssize_t i = 0; i < list_size(values); i++) {
            if (const int kept = kept_type_is(list_item(values, i), member); kept >= 0) {
                if (kept) return own(list_item(values, i));
                continue;
            }
            Ref value = own(list_item(values, i));
            Ref type = fast::getattr(value, names::type);
            if (fast::equals(type, member)) return value;
        }
        return Ref();
    }
    Ref iterator = check(PyObject_GetIter(values));
    while (Ref value = Ref::steal(PyIter_Next(iterator))) {
        Ref type = fast::getattr(value, names::type);
        if (fast::equals(type, member)) return value;
    }
    if (PyErr_Occurred()) raise();
    return Ref();
}

const FunctionDef interval_value_init{"__init__", value_params, "None", value_init, nullptr,
    "Record a measurement; `percentage` is stored as a float.\n"
    "\n"
    "`absolute_count` must be an exact int: TypeError otherwise (pass int(count) for numpy integers)."};
const FunctionDef interval_init{"__init__", init_params, "None", init, nullptr,
    "Start an empty interval for the bin `field`, with a new random `id`."};
const FunctionDef add_baseline_value{"add_baseline_value", add_params, "None", add_baseline, nullptr,
    "Add the bin's baseline measurement.\n"
    "\n"
    "`absolute_count` is the number of baseline records in the bin, an exact int (TypeError\n"
    "otherwise: pass int(count) for numpy integers); `percentage` is their share of the baseline\n"
    "data set, 0 to 100."};
const FunctionDef add_production_value{"add_production_value", add_params, "None", add_production, nullptr,
    "Add the bin's production measurement.\n"
    "\n"
    "`absolute_count` is the number of production records in the bin, an exact int (TypeError\n"
    "otherwise: pass int(count) for numpy integers); `percentage` is their share of the production\n"
    "data set, 0 to 100."};
const FunctionDef get_baseline_value{"get_baseline_value", self_only, "'IntervalValue'", get_baseline, nullptr,
    "Return the baseline measurement (an IntervalValue); StopIteration when there is none.",
    nullptr, nullptr, nullptr, peek_baseline};
const FunctionDef get_production_value{"get_production_value", self_only, "'IntervalValue'", get_production, nullptr,
    "Return the production measurement (an IntervalValue); StopIteration when there is none.",
    nullptr, nullptr, nullptr, peek_production};

}  // namespace interval
