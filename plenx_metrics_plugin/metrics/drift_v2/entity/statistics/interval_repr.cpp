// interval_repr.cpp: readable text forms of measurements and intervals.
//
// They show the stored attributes as they are: nothing is computed, no cache is filled.
#include "interval.hpp"

#include <initializer_list>

namespace interval {

using namespace glue;

namespace {

/// `ClassName(name=value, ...)` over the attributes the instance has, in the given order.
Ref attributes_repr(PyObject* self, std::initializer_list<const Name*> attributes) {
    const int entered = Py_ReprEnter(self);
    if (entered != 0) {
        if (entered < 0) raise();
        return text("...");
    }
    struct Leave {
        PyObject* self;
        ~Leave() { Py_ReprLeave(self); }
    } leave{self};
    Ref parts = check(PyList_New(0));
    for (const Name* name : attributes) {
        Ref value = fast::lookup_attr(self, *name);
        if (!value) continue;
        Ref part = check(PyUnicode_FromFormat("%U=%R", name->get(), value.get()));
        check_status(PyList_Append(parts, part));
    }
    Ref separator = text(", ");
    Ref joined = check(PyUnicode_Join(separator, parts));
    Ref type_name = check(PyType_GetName(Py_TYPE(self)));
    return check(PyUnicode_FromFormat("%U(%U)", type_name.get(), joined.get()));
}

Ref value_repr(const Args& a) {
    return attributes_repr(a[0], {&names::type, &names::absolute_count, &names::percentage});
}

Ref interval_repr(const Args& a) {
    return attributes_repr(a[0], {&names::field, &names::lower_bound, &names::upper_bound, &names::id, &names::values,
                                  &names::absolute_change_percentage_cache, &names::eligible_for_insights_cache,
                                  &names::insights_available, &names::contribution_to_distance,
                                  &names::statistical_buffer});
}


}  // namespace

const FunctionDef interval_value_repr{"__repr__", self_only, "str", value_repr, nullptr,
    "Return the measurement as IntervalValue(type=..., absolute_count=..., percentage=...)."};
const FunctionDef interval_repr_def{"__repr__", self_only, "str", interval_repr, nullptr,
    "Return the interval's stored attributes as ClassName(field=..., id=..., ...)."};

}  // namespace interval
