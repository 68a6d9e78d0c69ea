# interval.pyi: the types of the compiled interval module, for type checkers and stubtest.
from typing import Any, ClassVar, Union

from plenx_metrics_plugin.metrics.drift_v2.utils.constants import DataSetType
# A global of the module (it is what a bin empty in the baseline changes by), imported at load.
from plenx_metrics_plugin.metrics.drift_v2.utils.constants import INFINITY as INFINITY

class IntervalValue:
    """One measurement of a bin in one data set.

    `type` is the data set (DataSetType.BASELINE or PRODUCTION), `absolute_count` the number of its
    records in the bin and `percentage` their share of the data set, 0 to 100.
    """
    type: DataSetType
    absolute_count: int
    percentage: float
    def __init__(self, type: DataSetType, absolute_count: int, percentage: float) -> None:
        """Record a measurement; `percentage` is stored as a float.

        `absolute_count` must be an exact int: TypeError otherwise (pass int(count) for numpy integers).
        """
    def __repr__(self) -> str:
        """Return the measurement as IntervalValue(type=..., absolute_count=..., percentage=...)."""

class Interval:
    """One bin of a feature, measured in the baseline and in the production data set.

    The base of ContinuousStatisticsInterval (a value range) and DiscreteStatisticsInterval (a
    category), which define how intervals compare and are restored; its `<`, `==` and from_dict
    raise NotImplementedError.
    """
    id: str
    field: Union[str, int, float]
    values: list[IntervalValue]
    # -1 until computed, then the change percentage (an int, INFINITY or a numpy float).
    _absolute_change_percentage: float
    # None until computed.
    _eligible_for_insights: bool | None
    insights_available: bool
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __init__(self, field: Union[str, int, float]) -> None:
        """Start an empty interval for the bin `field`, with a new random `id`."""
    @property
    def absolute_change_percentage(self) -> float:
        """The change of the bin's share, as a ratio of the baseline share.

        |production percentage - baseline percentage| / baseline percentage: 20.0 to 30.0 gives 0.5,
        not 50. INFINITY (inf) when the bin is empty in the baseline but not in production, 0 when
        it is empty in both, -1 while the interval lacks one of its two measurements. Computed on the
        first read that can compute it, then kept.
        """
    @property
    def is_change_significant(self) -> bool:
        """Whether the change counts as significant: always True here.

        DiscreteStatisticsInterval has a rule of its own.
        """
    @property
    def eligible_for_insights(self) -> bool:
        """Whether both measurements reach the insight thresholds of the drift control box.

        Each measurement's percentage and count must be at least the control box's percent and count
        thresholds. Computed on the first read, then kept.
        """
    def _calculate_absolute_change_percentage(self) -> float:
        """Return the change as absolute_change_percentage defines it, computed afresh and not kept."""
    def add_baseline_value(self, absolute_count: int, percentage: float) -> None:
        """Add the bin's baseline measurement.

        `absolute_count` is the number of baseline records in the bin, an exact int (TypeError
        otherwise: pass int(count) for numpy integers); `percentage` is their share of the baseline
        data set, 0 to 100.
        """
    def add_production_value(self, absolute_count: int, percentage: float) -> None:
        """Add the bin's production measurement.

        `absolute_count` is the number of production records in the bin, an exact int (TypeError
        otherwise: pass int(count) for numpy integers); `percentage` is their share of the production
        data set, 0 to 100.
        """
    def get_baseline_value(self) -> IntervalValue:
        """Return the baseline measurement (an IntervalValue); StopIteration when there is none."""
    def get_production_value(self) -> IntervalValue:
        """Return the production measurement (an IntervalValue); StopIteration when there is none."""
    def has_increased_in_production(self) -> bool:
        """Return whether the bin's share is larger in production than in the baseline."""
    def __lt__(self, other: Any) -> bool:
        """Not defined for the base class (NotImplementedError); the concrete intervals define it."""
    def __eq__(self, other: object) -> bool:
        """Not defined for the base class (NotImplementedError); the concrete intervals define it."""
    def __gt__(self, other: Any) -> bool: ...
    def __le__(self, other: Any) -> bool: ...
    def __ge__(self, other: Any) -> bool: ...
    def to_dict(self) -> dict[str, Any]:
        """Return the interval as a new plain dict, for storage.

        Its entries: id, field, absolute_change_percentage, eligible_for_insights, insights_available,
        is_change_significant, increased_in_production, and the baseline and production counts and
        percentages.
        """
    @classmethod
    def from_dict(cls, dict_: dict[str, Any]) -> Interval:
        """Not defined for the base class (NotImplementedError): use the concrete class's from_dict."""
    def __repr__(self) -> str:
        """Return the interval's stored attributes as ClassName(field=..., id=..., ...)."""

class ContinuousStatisticsInterval(Interval):
    """The interval of a numeric feature: the values from lower_bound to upper_bound.

    Intervals sort by absolute_change_percentage, then lower_bound, then upper_bound.
    """
    field: str
    lower_bound: Union[int, float]
    upper_bound: Union[int, float]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __init__(self, lower_bound: Union[int, float], upper_bound: Union[int, float]) -> None:
        """Start an empty interval for the values from `lower_bound` to `upper_bound`.

        Each bound is rounded to 2 decimals; `field` is the text "lower-upper" of the rounded bounds.
        """
    def __lt__(self, other: Any) -> bool:
        """Return whether this interval sorts before `other`: by absolute_change_percentage, then
        lower_bound, then upper_bound.
        """
    def __eq__(self, other: object) -> bool:
        """Return whether absolute_change_percentage, lower_bound and upper_bound are all equal (counts,
        id and field are not compared).
        """
    def to_dict(self) -> dict[str, Any]:
        """Return the interval as a new plain dict: the base entries, then lower_bound and upper_bound."""
    @classmethod
    def from_dict(cls, dict_: dict[str, Any]) -> ContinuousStatisticsInterval:
        """Return a new interval restored from a dict that to_dict made.

        The id, bounds, measurements and insights_available are restored; the change is computed
        again from the measurements. ValueError when a key is missing.
        """

class DiscreteStatisticsInterval(Interval):
    """The interval of a categorical feature: the one category `field`.

    You set statistical_buffer and contribution_to_distance (both -1 at first). Intervals sort by
    absolute_change_percentage, then contribution_to_distance.
    """
    contribution_to_distance: float
    statistical_buffer: float
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __init__(self, field: Union[str, int, float]) -> None:
        """Start an empty interval for the category `field`; statistical_buffer and
        contribution_to_distance start at -1.
        """
    @property
    def is_change_significant(self) -> bool:
        """Whether absolute_change_percentage is above statistical_buffer (a zero change never is).

        Evaluated on every read, with the current statistical_buffer.
        """
    def __lt__(self, other: Any) -> bool:
        """Return whether this interval sorts before `other`: by absolute_change_percentage, then
        contribution_to_distance.
        """
    def __eq__(self, other: object) -> bool:
        """Return whether absolute_change_percentage and contribution_to_distance are both equal (field,
        counts and id are not compared).
        """
    def to_dict(self) -> dict[str, Any]:
        """Return the interval as a new plain dict: the base entries, then contribution_to_distance and
        statistical_buffer.
        """
    @classmethod
    def from_dict(cls, dict_: dict[str, Any]) -> DiscreteStatisticsInterval:
        """Return a new interval restored from a dict that to_dict made.

        The id, field, measurements, contribution_to_distance, statistical_buffer and
        insights_available are restored; the change is computed again from the measurements.
        ValueError when a key is missing.
        """
