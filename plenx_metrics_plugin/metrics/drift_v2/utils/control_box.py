"""Stands in for the package's own drift `control_box` module: the drift configuration, as far
as the interval module reads it (the two thresholds a bin must reach to be reported as an
insight).

Host code sets the thresholds on the shared control box::

    box = ControlBoxManager().get_control_box()
    box.interval_percent_threshold_for_insights = 2.5
    box.interval_count_threshold_for_insights = 50

or installs a new one with ``ControlBoxManager.set_control_box(ControlBox(2.5, 50))``.
"""

#: Default share (in percent of the data set) both measurements of a bin must reach.
DEFAULT_INTERVAL_PERCENT_THRESHOLD_FOR_INSIGHTS = 5.0
#: Default record count both measurements of a bin must reach.
DEFAULT_INTERVAL_COUNT_THRESHOLD_FOR_INSIGHTS = 10


class ControlBox:
    """The drift configuration: thresholds for reporting a bin as an insight (both inclusive)."""

    def __init__(self,
                 interval_percent_threshold_for_insights=DEFAULT_INTERVAL_PERCENT_THRESHOLD_FOR_INSIGHTS,
                 interval_count_threshold_for_insights=DEFAULT_INTERVAL_COUNT_THRESHOLD_FOR_INSIGHTS):
        self.interval_percent_threshold_for_insights = interval_percent_threshold_for_insights
        self.interval_count_threshold_for_insights = interval_count_threshold_for_insights

    def get_interval_percent_threshold_for_insights(self):
        return self.interval_percent_threshold_for_insights

    def get_interval_count_threshold_for_insights(self):
        return self.interval_count_threshold_for_insights


class ControlBoxManager:
    """Hands out the process-wide control box."""

    __slots__ = ()  # a manager holds nothing: made and dropped on every use, cheaply
    _control_box = ControlBox()

    def get_control_box(self):
        return ControlBoxManager._control_box

    @classmethod
    def set_control_box(cls, control_box):
        """Replace the process-wide control box."""
        cls._control_box = control_box
