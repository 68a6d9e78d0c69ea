// discrete_interval.cpp: the discrete statistics interval, one category of a categorical feature.
//
// Significant only above the statistical buffer; ordered by change percentage, then contribution.
#include "interval.hpp"

namespace interval {

using namespace glue;

namespace {

/// DiscreteStatisticsInterval(field)
constexpr Param init_params[] = {{"self"}, {"field", "Union[str, int, float]"}};
/// What it stores once the base's __init__ has returned.
const Name* const stored_after_base[] = {&names::contribution_to_distance, &names::statistical_buffer};
Ref init(const Args& a) {
    PyObject *self = a[0], *field = a[1];
    const void* restoration = fast::handed_over(self, discrete_init);
    {
        fast::SuperMethod base_init(a.owner(), self, names::init);
        const fast::HandOver over(self, interval_init, restoration && base_init.runs_directly(interval_init, 1) ? restoration : nullptr);
        base_init(field);
    }
    const Ref unset = integer(-1);
    fast::set_fresh(self, stored_after_base, unset.get(), unset.get());
    return none();
}

/// is_change_significant: a non-zero change strictly above the statistical buffer.
Ref significant(const Args& a) {
    PyObject* self = a[0];
    Ref change = read(self, names::absolute_change_percentage);
    if (!truthy(change)) return boolean(false);
    change = read(self, names::absolute_change_percentage);
    Ref buffer = fast::getattr(self, names::statistical_buffer);
    return boolean(NumberComparison(change, buffer, Py_GT).holds());
}

/// The significance where reading it runs nothing: the change its property keeps and a plain
/// buffer, both numbers read in place (the getter reads the change twice: the same value).
PyObject* peek_significant(PyObject* self) noexcept {
    PyObject* change = fast::peek_property(self, names::absolute_change_percentage);
    PyObject** slot = change ? fast::instance_slot(self, names::statistical_buffer) : nullptr;
    double x, y;
    bool numpy = false;
    PyTypeObject* float64 = seen->float64_type;
    if (slot == nullptr || *slot == nullptr || !detail::number<false>(change, &x, &numpy, float64) ||
        !detail::number<false>(*slot, &y, &numpy, float64))
        return nullptr;
    // `not change` first, then `change > buffer`, each as the interpreter decides it for numbers.
    return x != 0 && x > y ? Py_True : Py_False;
}

/// self < other: by change percentage, then contribution to distance.
/// What the intervals are ordered by, first to last.
const Name* const order_keys[] = {&names::absolute_change_percentage, &names::contribution_to_distance};

const PeekPair lt_in_place{order_keys, compare_ordered};

Ref less(const Args& a) {
    return ordered_less(a[0], a[1], order_keys);
}

/// self == other: change percentage and contribution to distance equal.
Ref equal(const Args& a) {
    return ordered_equal(a[0], a[1], order_keys);
}

/// to_dict(): the base entries, then the contribution to distance and the buffer.
Ref to_dict(const Args& a) { return to_dict_with(a, discrete_dict_shape); }

/// from_dict(dict_): a new interval from the stored field, id, measurements and numbers.
Ref from_dict(const Args& a) {
    PyObject* dict_ = a[1];
    require_exact(dict_, &PyDict_Type, "dict_");
    KeyReads stored(dict_);
    stored.prefetch();
    return restoring(
        [&] {
            Ref field = stored[names::field];
            Ref cls = a.global(names::DiscreteStatisticsInterval);
            bool id_given;
            Ref interval = construct_restored(a, cls, discrete_init, stored, stored_after_base, &id_given, field.get());
            restore_stored(interval, stored, {&names::contribution_to_distance, &names::statistical_buffer}, id_given);
            return interval;
        },
        [&](PyObject*) {
            Ref dict_text = formatted(dict_);
            return check(PyUnicode_FromFormat("Invalid interval dict: %U", dict_text.get()));
        });
}

}  // namespace

const FunctionDef discrete_init{"__init__", init_params, "None", init, nullptr,
    "Start an empty interval for the category `field`; statistical_buffer and\n"
    "contribution_to_distance start at -1."};
const FunctionDef discrete_is_change_significant{"is_change_significant", self_only, "bool", significant, peek_significant,
    "Whether absolute_change_percentage is above statistical_buffer (a zero change never is).\n"
    "\n"
    "Evaluated on every read, with the current statistical_buffer."};
const FunctionDef discrete_lt{"__lt__", compare_params, "bool", less, nullptr,
    "Return whether this interval sorts before `other`: by absolute_change_percentage, then\n"
    "contribution_to_distance.", &lt_in_place};
const FunctionDef discrete_eq{"__eq__", compare_params, "bool", equal, nullptr,
    "Return whether absolute_change_percentage and contribution_to_distance are both equal (field,\n"
    "counts and id are not compared)."};
const FunctionDef discrete_to_dict{"to_dict", self_only, "dict", to_dict, nullptr,
    "Return the interval as a new plain dict: the base entries, then contribution_to_distance and\n"
    "statistical_buffer."};
const FunctionDef discrete_from_dict{"from_dict", from_dict_params, "'DiscreteStatisticsInterval'", from_dict, nullptr,
    "Return a new interval restored from a dict that to_dict made.\n"
    "\n"
    "The id, field, measurements, contribution_to_distance, statistical_buffer and\n"
    "insights_available are restored; the change is computed again from the measurements.\n"
    "ValueError when a key is missing."};

}  // namespace interval
