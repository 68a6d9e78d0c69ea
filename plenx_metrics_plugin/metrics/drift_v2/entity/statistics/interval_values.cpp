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

#if PLENX_FAST_LAYER  // the stable-ABI build cannot tell a read that runs nothing: it calls
/// get_value's result where every step of it runs nothing: `values` an exact list read in place,
/// DataSetType and its member as last looked up, each entry's `type` read in place and compared
/// by identity (object's own equality on both sides). Null where any step would be another.
PyObject* peek_value(PyObject* function, PyObject* self, const Lookup& member) noexcept {
    PyObject** slot = fast::instance_slot(self, names::values);
    PyObject* values = slot ? *slot : nullptr;
    if (values == nullptr || !PyList_CheckExact(values) || !shortcuts()) return nullptr;
    PyObject* data_set_type = names::DataSetType.peek_global(globals_of(function));
    PyObject* wanted = data_set_type ? member.peek_attribute(data_set_type) : nullptr;
    const richcmpfunc identity = PyBaseObject_Type.tp_richcompare;
    if (wanted == nullptr || Py_TYPE(wanted)->tp_richcompare != identity) return nullptr;
    for (Py_ssize_t i = 0; i < list_size(values); i++) {
        PyObject** type_slot = fast::instance_slot(list_item(values, i), names::type);
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

Ref find_value(PyObject* values, PyObject* member) {
    if (PyList_CheckExact(values)) {
#if PLENX_FAST_LAYER
        const richcmpfunc identity = PyBaseObject_Type.tp_richcompare;
        const bool by_identity = shortcuts() && Py_TYPE(member)->tp_richcompare == identity;
#endif
        // The list may change while an entry's `type` is compared; re-check the size each time.
        for (Py_ssize_t i = 0; i < list_size(values); i++) {
#if PLENX_FAST_LAYER  // the stable-ABI build reads no type's slots, and nothing in place
            // A `type` kept in place and compared by identity: nothing runs, so nothing is held.
            if (PyObject** slot = by_identity ? fast::instance_slot(list_item(values, i), names::type) : nullptr;
                slot && *slot && Py_TYPE(*slot)->tp_richcompare == identity) {
                if (*slot == member) return own(list_item(values, i));
                continue;
            }
#endif
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
