"""The compiled interval module against its plain-Python model, over random operation sequences
with hostile objects (see lockstep.py); fuzz/model_run.py runs the same for much longer."""
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, rule

from lockstep import DrawSource, Lockstep


class IntervalsInLockstep(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.lockstep = Lockstep()

    @rule(data=st.data())
    def step(self, data):
        self.lockstep.step(DrawSource(data))

    def teardown(self):
        self.lockstep.close()


TestIntervalsInLockstep = IntervalsInLockstep.TestCase
TestIntervalsInLockstep.settings = settings(max_examples=400, stateful_step_count=25, deadline=None,
                                            suppress_health_check=list(HealthCheck))
