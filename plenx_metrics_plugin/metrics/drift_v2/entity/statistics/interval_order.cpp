// interval_order.cpp: interval ordering and dictionary form.
//
// The base class leaves ordering and restoring to its subclasses; it owns the 11 shared entries.
#include "interval.hpp"

namespace interval {

using namespace glue;

namespace {

Ref not_implemented_error(const Args&) {
    PyErr_SetNone(PyExc_NotImplementedError);
    raise();
}

/// The keys of to_dict's 11 base entries, in order.
const DictShape shape({&names::id, &names::field, &names::absolute_change_percentage, &names::eligible_for_insights,
                       &names::insights_available, &names::is_change_significant, &names::increased_in_production,
                       &names::baseline_absolute_count, &names::baseline_percentage,
                       &names::production_absolute_count, &names::production_percentage});

/// to_dict(): the 11 base entries, each value passed through get_python_types.
Ref to_dict(const Args& a) {
    PyObject* self = a[0];
    // Sorted intervals lie in no order memory favours: start fetching what the entries read.
    fast::prefetch_attributes(self);
    if (PyObject** slot = fast::instance_slot(self, names::values); slot && *slot && PyList_CheckExact(*slot)) {
        PyObject* list = *slot;
        for (Py_ssize_t i = 0; i < list_size(list) && i < 2; i++) fast::prefetch_attributes(list_item(list, i));
    }
    decltype(shape)::Fill dict(shape);
    PythonTypes convert(a);
    auto put = [&](auto read) { fill_entry(convert, dict, [] { return static_cast<PyObject*>(nullptr); }, read); };
    // An attribute or property that can be read without running anything may be taken at once.
    auto attribute = [&](const Name& name) {
        fill_entry(convert, dict, [&] { return fast::peek_property(self, name); }, [&] { return read(self, name); });
    };
    // Each measurement entry looks its value up afresh; found in place, it runs nothing. Where
    // nothing ran since the last entry found the same method's value so, finding it again would
    // give that value (at the same depth, so its frame would be allowed again too).
    const Name* last_method = nullptr;
    PyObject* last_value = nullptr;  // borrowed: its interval's list holds it while nothing runs
    auto measured = [&](const Name& method, const Name& name) {
        bool again = convert.quiet() && &method == last_method && last_value != nullptr;
        last_method = &method;
        fill_entry(
            convert, dict,
            [&]() -> PyObject* {
                PyObject* value = again ? last_value : fast::peek_method(self, method);
                again = false;  // a second try follows a lookup that may have run code
                last_value = value;
                return value ? fast::peek_property(value, name) : nullptr;
            },
            [&] { return fast::getattr(measurement(self, method), name); });
    };
    attribute(names::id);
    attribute(names::field);
    attribute(names::absolute_change_percentage);
    attribute(names::eligible_for_insights);
    attribute(names::insights_available);
    attribute(names::is_change_significant);
    put([&] { return fast::call_method(self, names::has_increased_in_production); });
    measured(names::get_baseline_value, names::absolute_count);
    measured(names::get_baseline_value, names::percentage);
    measured(names::get_production_value, names::absolute_count);
    measured(names::get_production_value, names::percentage);
    return dict.finish();
}

/// Interval.from_dict(dict_): only a plain dict is accepted, and the base class restores nothing.
Ref from_dict(const Args& a) {
    PyObject* dict_ = a[1];
    require_exact(dict_, &PyDict_Type, "dict_");
    return not_implemented_error(a);
}

/// `self.<key> <op> other.<key>`, both read now; null when `other` has no such attribute.
Ref compare_key(PyObject* self, PyObject* other, const Name& key, int op) {
    Ref mine = read(self, key);
    Ref theirs = other_attribute(other, key);
    if (!theirs) return Ref();
    return NumberComparison(mine, theirs, op).result();
}

}  // namespace

namespace {

/// ordered_less's answer from the keys `keys` reads (an ordering rule has at least one), where
/// each is read in place and is a number (borrowed); else null. Only while shortcuts are on.
/// `in_slot`: for the comparison slot's work, which calls nothing (fast::compare_in_place): it
/// leaves the rarer keys to the method (a getter other than the change percentage's, an int of
/// more than one digit).
template <bool in_slot>
inline PyObject* less_from(const fast::KeyReader& keys) noexcept {
    const size_t count = keys.size();
    const Originals& o = seen.get();
    // As NumberComparison finds `mine == theirs`, then `mine < theirs` of the deciding key.
    for (size_t i = 0;; i++) {
        PyObject *mine, *theirs;
        const FunctionDef* getter;
        if (!keys.read(i, &mine, &theirs, &getter)) return nullptr;
        // The change percentage's getter answers the kept number itself (tested below, on the
        // number read anyway); any other getter answers what its peek makes of the kept value.
        const bool change = getter == &absolute_change_percentage;
        if (getter != nullptr && !change) {
            if (in_slot) return nullptr;
            if ((mine = getter->peek_value(mine)) == nullptr || (theirs = getter->peek_value(theirs)) == nullptr)
                return nullptr;
        }
        double x, y;
        bool numpy = false;
        if (!detail::number<!in_slot>(mine, &x, &numpy, o.float64_type) ||
            !detail::number<!in_slot>(theirs, &y, &numpy, o.float64_type))
            return nullptr;
        if (change && !(change_is_kept(x) && change_is_kept(y))) return nullptr;
        if (x == y && i + 1 != count) continue;
        const bool less = x < y;
        if (!numpy) return less ? Py_True : Py_False;
        return less ? o.numpy_true.get() : o.numpy_false.get();
    }
}

}  // namespace

PyObject* compare_ordered(PyObject* self, PyObject* other, int op, Context* c) noexcept {
    return fast::compare_in_place<less_from<true>>(self, other, op, c);
}

Ref ordered_less(PyObject* self, PyObject* other, OrderKeys keys) {
    if (basic_shortcuts())
        if (PyObject* known = less_from<false>(fast::KeyReader(self, other, keys))) return own(known);
    const Name* last = *(keys.end() - 1);
    for (const Name* key : keys) {
        if (key == last) break;
        Ref mine = read(self, *key);
        Ref theirs = other_attribute(other, *key);
        if (!theirs) return not_implemented();
        if (!NumberComparison(mine, theirs, Py_EQ).holds()) {
            last = key;  // decided here: read this key again and compare with <
            break;
        }
    }
    Ref result = compare_key(self, other, *last, Py_LT);
    return result ? result : not_implemented();
}

Ref ordered_equal(PyObject* self, PyObject* other, OrderKeys keys) {
    const Name* last = *(keys.end() - 1);
    for (const Name* key : keys) {
        Ref result = compare_key(self, other, *key, Py_EQ);
        if (!result) return not_implemented();
        // `a and b and c`: each result but the last is truth-tested; the last is returned as it is.
        if (key == last || !truthy(result)) return result;
    }
    return not_implemented();  // no keys
}

Ref to_dict_with(const Args& a, std::initializer_list<const Name*> own) {
    PyObject* self = a[0];
    Ref dict = fast::call_super(a.owner(), self, names::to_dict);
    for (const Name* name : own) {
        Ref convert = a.global(names::get_python_types);
        glue::set_item(dict, *name, python_types(a, convert, fast::getattr(self, *name)));
    }
    return dict;
}

/// The keywords that add_baseline_value and add_production_value are called with.
glue::PerContext<Ref> value_keywords;

void restore_stored(PyObject* interval, PyObject* dict_, std::initializer_list<const Name*> own, bool id_given) {
    // The id first: __init__ may have given it already, on the promise that nothing runs before this.
    if (!id_given) fast::setattr(interval, names::id, fast::subscript(dict_, names::id));
    Ref& keywords = value_keywords.get();
    if (!keywords) keywords = name_tuple({&names::absolute_count, &names::percentage});
    Ref baseline_count = fast::subscript(dict_, names::baseline_absolute_count);
    Ref baseline_share = fast::subscript(dict_, names::baseline_percentage);
    fast::call_method_kw(interval, names::add_baseline_value, keywords, baseline_count.get(), baseline_share.get());
    Ref production_count = fast::subscript(dict_, names::production_absolute_count);
    Ref production_share = fast::subscript(dict_, names::production_percentage);
    fast::call_method_kw(interval, names::add_production_value, keywords, production_count.get(), production_share.get());
    for (const Name* name : own) fast::setattr(interval, *name, fast::subscript(dict_, *name));
    read(interval, names::absolute_change_percentage);  // computes and caches it
    fast::setattr(interval, names::insights_available, fast::subscript(dict_, names::insights_available));
}

const FunctionDef interval_lt{"__lt__", compare_params, "bool", not_implemented_error, nullptr,
    "Not defined for the base class (NotImplementedError); the concrete intervals define it."};
const FunctionDef interval_eq{"__eq__", compare_params, "bool", not_implemented_error, nullptr,
    "Not defined for the base class (NotImplementedError); the concrete intervals define it."};
const FunctionDef interval_to_dict{"to_dict", self_only, "dict", to_dict, nullptr,
    "Return the interval as a new plain dict, for storage.\n"
    "\n"
    "Its entries: id, field, absolute_change_percentage, eligible_for_insights, insights_available,\n"
    "is_change_significant, increased_in_production, and the baseline and production counts and\n"
    "percentages."};
const FunctionDef interval_from_dict{"from_dict", from_dict_params, "'Interval'", from_dict, nullptr,
    "Not defined for the base class (NotImplementedError): use the concrete class's from_dict."};

}  // namespace interval
