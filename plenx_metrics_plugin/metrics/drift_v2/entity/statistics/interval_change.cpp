// interval_change.cpp: interval change measures.
//
// The change percentage and the eligibility are computed on first read and cached on the instance.
#include <plenx_glue/module.hpp>

#include "interval.hpp"

namespace interval {

using namespace glue;

namespace {

/// `o == 0`, by the host's truth rule.
bool equals_zero(PyObject* o) { return holds_against(o, 0, Py_EQ); }
/// `o != 0`, by the host's truth rule.
bool differs_from_zero(PyObject* o) { return holds_against(o, 0, Py_NE); }

/// INFINITY when the production side is non-zero, else the integer 0.
Ref infinity_unless_zero(const Args& a, PyObject* production_side) {
    if (differs_from_zero(production_side)) return a.global(names::INFINITY_);
    return integer(0);
}

/// _calculate_absolute_change_percentage(): the change relative to the baseline share, uncached.
Ref calculate(const Args& a) {
    Ref values = fast::getattr(a[0], names::values);
    if (length(values) != 2) return integer(-1);
    // Both are looked for before either is missed.
    Ref baseline_type = data_set(a, names::BASELINE);
    Ref baseline = find_value(values, baseline_type);
    Ref production_type = data_set(a, names::PRODUCTION);
    Ref production = find_value(values, production_type);
    if (!baseline || !production) return integer(-1);

    // A zero count on the baseline side wins over the percentages.
    Ref baseline_count = fast::getattr(baseline, names::absolute_count);
    if (equals_zero(baseline_count)) return infinity_unless_zero(a, fast::getattr(production, names::absolute_count));
    Ref baseline_share = fast::getattr(baseline, names::percentage);
    if (equals_zero(baseline_share)) return infinity_unless_zero(a, fast::getattr(production, names::percentage));

    Ref np = a.global(names::np);
    Ref abs = names::abs.attribute(np);
    Ref production_share = fast::getattr(production, names::percentage);
    return absolute(a, np, abs, production_share, baseline_share);
}

/// absolute_change_percentage: the cached value; -1 is the marker of "not computed yet".
Ref cached_change(const Args& a) {
    PyObject* self = a[0];
    Ref cached = fast::getattr(self, names::absolute_change_percentage_cache);
    if (holds_against(cached, -1, Py_NE)) return cached;
    Ref computed = fast::call_method(self, names::calculate_absolute_change_percentage);
    fast::setattr(self, names::absolute_change_percentage_cache, computed);
    return fast::getattr(self, names::absolute_change_percentage_cache);
}

/// The cached change percentage when reading the property would just return it: a number,
/// compared with the -1 marker without running anything.
PyObject* peek_cached_change(PyObject* cached) noexcept {
    // As NumberComparison(cached, -1, Py_NE) finds it.
    double value;
    bool numpy = false;
    if (!glue::shortcuts() || !detail::number(cached, &value, &numpy)) return nullptr;
    return change_is_kept(value) ? cached : nullptr;
}

/// The same, read from the instance.
PyObject* peek_change(PyObject* self) noexcept {
    PyObject** slot = fast::instance_slot(self, names::absolute_change_percentage_cache);
    return slot && *slot ? peek_cached_change(*slot) : nullptr;
}

/// is_change_significant: every change of a plain Interval is significant.
Ref always_significant(const Args&) { return boolean(true); }
PyObject* peek_always_significant(PyObject*) noexcept { return Py_True; }

/// Both thresholds reached by one measurement; the count is tested only when the share passes.
Ref reaches_thresholds(PyObject* value, PyObject* percent_threshold, PyObject* count_threshold) {
    Ref share = fast::getattr(value, names::percentage);
    Ref condition = NumberComparison(share, percent_threshold, Py_GE).result();
    if (!truthy(condition)) return condition;
    Ref count = fast::getattr(value, names::absolute_count);
    return NumberComparison(count, count_threshold, Py_GE).result();
}

/// The kept eligibility, where reading the property would just return it.
PyObject* peek_eligibility(PyObject* self) noexcept {
    PyObject** slot = fast::instance_slot(self, names::eligible_for_insights_cache);
    PyObject* cached = slot ? *slot : nullptr;
    return cached != Py_None ? cached : nullptr;
}

/// eligible_for_insights: the first two measurements, by position, against the control box.
Ref cached_eligibility(const Args& a) {
    PyObject* self = a[0];
    Ref cached = fast::getattr(self, names::eligible_for_insights_cache);
    if (cached.get() != Py_None) return cached;
    Ref box = control_box(a, a.global(names::ControlBoxManager));
    Ref percent_threshold, count_threshold;
    if (!shipped_thresholds(a, box, &percent_threshold, &count_threshold)) {
        percent_threshold = fast::call_method(box, names::get_interval_percent_threshold_for_insights);
        count_threshold = fast::call_method(box, names::get_interval_count_threshold_for_insights);
    }
    Ref values = fast::getattr(self, names::values);
    Ref baseline_condition = reaches_thresholds(item(values, 0), percent_threshold, count_threshold);
    Ref production_condition = reaches_thresholds(item(values, 1), percent_threshold, count_threshold);
    fast::setattr(self, names::eligible_for_insights_cache, truthy(baseline_condition) ? production_condition : baseline_condition);
    return fast::getattr(self, names::eligible_for_insights_cache);
}

/// has_increased_in_production(): the production share strictly above the baseline share.
Ref increased(const Args& a) {
    PyObject* self = a[0];
    Ref baseline = measurement(self, names::get_baseline_value);
    Ref production = measurement(self, names::get_production_value);
    Ref production_share = fast::getattr(production, names::percentage);
    Ref baseline_share = fast::getattr(baseline, names::percentage);
    return NumberComparison(production_share, baseline_share, Py_GT).result();
}


}  // namespace

const FunctionDef absolute_change_percentage{"absolute_change_percentage", self_only, "float", cached_change, peek_change,
    "The change of the bin's share, as a ratio of the baseline share.\n"
    "\n"
    "|production percentage - baseline percentage| / baseline percentage: 20.0 to 30.0 gives 0.5,\n"
    "not 50. INFINITY (inf) when the bin is empty in the baseline but not in production, 0 when\n"
    "it is empty in both, -1 while the interval lacks one of its two measurements. Computed on the\n"
    "first read that can compute it, then kept.",
    nullptr, &names::absolute_change_percentage_cache, peek_cached_change};
const FunctionDef is_change_significant{"is_change_significant", self_only, "bool", always_significant, peek_always_significant,
    "Whether the change counts as significant: always True here.\n"
    "\n"
    "DiscreteStatisticsInterval has a rule of its own."};
const FunctionDef eligible_for_insights{"eligible_for_insights", self_only, "bool", cached_eligibility, peek_eligibility,
    "Whether both measurements reach the insight thresholds of the drift control box.\n"
    "\n"
    "Each measurement's percentage and count must be at least the control box's percent and count\n"
    "thresholds. Computed on the first read, then kept."};
const FunctionDef calculate_absolute_change_percentage{"_calculate_absolute_change_percentage", self_only, "float", calculate, nullptr,
    "Return the change as absolute_change_percentage defines it, computed afresh and not kept."};
const FunctionDef has_increased_in_production{"has_increased_in_production", self_only, "bool", increased, nullptr,
    "Return whether the bin's share is larger in production than in the baseline."};

}  // namespace interval
